// COPY: installs files from the upgrade disk, unpacking packed ones, and verifies what it wrote.
#include "filecmds/dos_paths.hpp"
#include "filecmds/filecmds.hpp"

#include <pcplat/dos.h>
#include <pcplat/win32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace tolvanex {

namespace {

constexpr uint32_t kIdDirectoryPart = 0xFFFF1000;
constexpr uint16_t kNameLine = 3;
constexpr char kPackedMark = '_';
// The checksum list names files without their drive prefix ("A:\").
constexpr size_t kDrivePrefixLength = 3;

// A packed file: the installed name's last character, then a packed block (method, unpacked
// length in little-endian order, payload).
constexpr uint32_t kPackedHeaderLength = 6;
constexpr size_t kNameByte = 0;
constexpr size_t kMethodByte = 1;
constexpr size_t kLengthBytes = 2;
constexpr uint8_t kMethodWithoutLength = 0xFF;
// The unpacked data and its read-back are held at once.
constexpr uint64_t kUnpackedBuffers = 2;
// Files are read in blocks of this size: each is summed or compared while still in the cache.
constexpr uint32_t kBlockBytes = 1u << 20;

// Work files beside the destination: "~TVX0000.TMP" to "~TVX9999.TMP".
constexpr const char* kTempNameFormat = "~TVX%04u.TMP";
constexpr unsigned kTempNames = 10000;
constexpr uint32_t kAnyEntry = DOS_ATTR_DIRECTORY | DOS_ATTR_HIDDEN | DOS_ATTR_SYSTEM;

uint32_t little_endian_32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

bool entry_exists(const char* path) {
    DosFindData find{};
    if (win32_find_first(path, kAnyEntry, &find) != 0) return false;
    win32_find_close(&find);
    return true;
}

// The file a destination is written as before it takes the destination's name, so that a
// failure at any step leaves the old destination exactly as it was. Removed unless it became
// the destination.
class WorkFile {
  public:
    WorkFile() = default;
    ~WorkFile() {
        if (made_) dos_delete(path_);
    }
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;

    // Picks a name that is free in the destination's directory; false when none fits.
    bool choose_beside(const char* destination) {
        // Beside the destination, so that the final rename stays within one directory.
        const std::string folder = SearchFolder(destination);
        for (unsigned tried = 0; tried < kTempNames; ++tried) {
            char name[kPathBuffer];
            std::snprintf(name, sizeof name, kTempNameFormat, next_number_);
            next_number_ = (next_number_ + 1) % kTempNames;
            const std::string path = JoinFoundName(folder, name);
            if (path.size() > kPathLimit) return false;
            std::strcpy(path_, path.c_str());
            if (!entry_exists(path_)) return true;
        }
        return false;
    }

    const char* path() const { return path_; }
    void mark_made() { made_ = true; }

    bool become(const char* destination) {
        if (win32_move_file_replace(path_, destination) != 0) return false;
        made_ = false;
        return true;
    }

  private:
    static inline unsigned next_number_ = 0;
    char path_[kPathBuffer]{};
    bool made_ = false;
};

// Writes size bytes to a new work file and flushes them to the disk. Sets the register.
bool write_work_file(WorkFile& work, const char* destination, const uint8_t* data, uint32_t size) {
    if (std::strlen(destination) > kPathLimit || !work.choose_beside(destination)) {
        SetErrorRegister(kCopyUnableToCreateDest);
        return false;
    }
    OpenFile out(exec()->EXEC_FILEOpen(work.path(), "wb"));
    if (!out) {
        SetErrorRegister(kCopyUnableToCreateDest);
        return false;
    }
    work.mark_made();
    // Written means on the disk: a full disk may show only when the buffers go out.
    const bool written = exec()->EXEC_FILEWrite(data, size, 1, out.get()) == 1 &&
                         win32_flush_file_buffers(out.get()) == 0;
    out.close();
    SetErrorRegister(written ? kNoError : kCopyUnableToWriteDest);
    return written;
}

// Reads the work file back and compares it with what was meant to be written. Sets the register.
// The read-back buffer is allocated whole, so a desk short of memory fails here as it always
// did, but the file comes back one block at a time into its first block: each block is compared
// while it is still in the cache, and the rest of the buffer is never touched (fresh pages cost
// a fault each, more than the reading itself). Every block is read before a difference counts,
// so a file that cannot be read back whole is a failed read, as it would be read in one piece.
bool verify_work_file(const WorkFile& work, const uint8_t* data, uint32_t size, uint8_t* readback) {
    OpenFile in(exec()->EXEC_FILEOpen(work.path(), "rb"));
    if (!in) {
        SetErrorRegister(kCopyUnableToOpenVerify);
        return false;
    }
    bool same = true;
    for (uint32_t done = 0; done < size;) {
        const uint32_t block = std::min(size - done, kBlockBytes);
        if (exec()->EXEC_FILERead(readback, block, 1, in.get()) != 1) {
            SetErrorRegister(kCopyVerifyReadFailed);
            return false;
        }
        same = same && CompareBytes(readback, data + done, block);
        done += block;
    }
    in.close();
    if (!same) {
        SetErrorRegister(kCopyVerifyCompareFailed);
        return false;
    }
    SetErrorRegister(kNoError);
    return true;
}

// The verified work file takes the destination's name in one step.
uint16_t replace_destination(WorkFile& work, const char* destination) {
    if (!work.become(destination)) {
        SetErrorRegister(kCopyUnableToCreateDest);
        return 0;
    }
    SetErrorRegister(kNoError);
    return 1;
}

uint16_t install_packed(const uint8_t* image, uint32_t n, char* destination) {
    // Without a whole header there is no length to trust, and nothing past the image is read.
    const uint32_t length = n < kPackedHeaderLength || image[kMethodByte] == kMethodWithoutLength
                                ? 0
                                : little_endian_32(image + kLengthBytes);
    if (length == 0) {
        SetErrorRegister(kCopyCompressedZeroLength);
        return 0;
    }
    // A length beyond the memory there is would only be found out part way through unpacking.
    if (uint64_t{length} * kUnpackedBuffers > exec()->EXEC_MEMCoreLeft()) {
        SetErrorRegister(kCopyDecompAllocFailed);
        return 0;
    }
    FileBuffer unpacked(length);
    if (!unpacked) {
        SetErrorRegister(kCopyDecompAllocFailed);
        return 0;
    }
    FileBuffer readback(length);
    if (!readback) {
        SetErrorRegister(kCopyVerifyAllocFailed);
        return 0;
    }
    if (!exec()->EXEC_PACKDecompress(image + 1, unpacked.get(), n - 1)) {
        SetErrorRegister(kCopyDecompressionFailed);
        return 0;
    }
    if (const size_t last = std::strlen(destination); last > 0)
        destination[last - 1] = static_cast<char>(image[kNameByte]);
    WorkFile work;
    if (!write_work_file(work, destination, unpacked.get(), length)) return 0;
    if (!verify_work_file(work, unpacked.get(), length, readback.get())) return 0;
    return replace_destination(work, destination);
}

uint16_t install_plain(const uint8_t* image, uint32_t n, const char* destination) {
    WorkFile work;
    if (!write_work_file(work, destination, image, n)) return 0;
    FileBuffer readback(n);
    if (!readback) {
        SetErrorRegister(kCopyVerifyAllocFailed);
        return 0;
    }
    if (!verify_work_file(work, image, n, readback.get())) return 0;
    return replace_destination(work, destination);
}

// Reads the whole source into image, summing it block by block on the way: one pass over the
// data instead of a read and then a sum. False when any block cannot be read.
bool read_and_sum(FILE* in, uint8_t* image, uint32_t n, uint8_t& sum) {
    sum = 0;
    for (uint32_t done = 0; done < n;) {
        const uint32_t block = std::min(n - done, kBlockBytes);
        if (exec()->EXEC_FILERead(image + done, block, 1, in) != 1) return false;
        sum = static_cast<uint8_t>(sum + ChecksumBytes(image + done, block));
        done += block;
    }
    return true;
}

bool checksum_matches(const char* source, uint8_t sum) {
    const char* listed_name = source + std::min(std::strlen(source), kDrivePrefixLength);
    uint8_t listed = 0;
    return LookupChecksum(listed_name, listed) && listed == sum;
}

} // namespace

bool IsPackedName(const char* name) {
    const size_t length = std::strlen(name);
    return length > 0 && name[length - 1] == kPackedMark;
}

// Word by word, a block at a time without a branch per word: where the program runs emulated,
// std::memcmp's vector code costs several times more.
uint16_t CompareBytes(const void* a, const void* b, uint32_t n) {
    if (!a || !b || n == 0) return 0;
    constexpr uint32_t kBlock = 4096;
    const auto* x = static_cast<const uint8_t*>(a);
    const auto* y = static_cast<const uint8_t*>(b);
    uint32_t i = 0;
    for (; n - i >= kBlock; i += kBlock) {
        uint32_t differs = 0;
        for (uint32_t k = i; k < i + kBlock; k += sizeof(uint32_t)) {
            uint32_t u, v;
            std::memcpy(&u, x + k, sizeof u);
            std::memcpy(&v, y + k, sizeof v);
            differs |= u ^ v;
        }
        if (differs) return 0;
    }
    return std::memcmp(x + i, y + i, n - i) == 0 ? 1 : 0;
}

void DirectoryPart(const char* path, char* out) {
    FunctionTrace trace(kIdDirectoryPart);
    const std::string folder = SearchFolder(path);
    // A longer directory can only lead to paths that are refused for their length anyway.
    const size_t length = std::min(folder.size(), kPathLimit);
    std::memcpy(out, folder.data(), length);
    out[length] = '\0';
}

uint16_t CopyAndVerifyFile(const char* source, char* destination) {
    SetErrorRegister(kCopyUnknownError);
    if (std::strlen(source) > kPathLimit) {
        SetErrorRegister(kCopyUnableToOpenSource);
        return 0;
    }
    OpenFile in(exec()->EXEC_FILEOpen(source, "rb"));
    if (!in) {
        SetErrorRegister(kCopyUnableToOpenSource);
        return 0;
    }
    const uint32_t n = exec()->EXEC_FILELength(in.get());
    if (n == 0) {
        SetErrorRegister(kCopySourceZeroLength);
        return 0;
    }
    FileBuffer image(n);
    if (!image) {
        SetErrorRegister(kCopyMemoryAllocationFailed);
        return 0;
    }
    uint8_t sum = 0;
    if (!read_and_sum(in.get(), image.get(), n, sum)) {
        SetErrorRegister(kCopyUnableToReadFile);
        return 0;
    }
    if (!checksum_matches(source, sum)) {
        SetErrorRegister(kCopyChecksumError);
        return 0;
    }
    if (IsPackedName(source)) return install_packed(image.get(), n, destination);
    return install_plain(image.get(), n, destination);
}

uint16_t CopyMatchingFiles(const char* pattern, const char* prefix) {
    char directory[kPathBuffer];
    DirectoryPart(pattern, directory);
    uint16_t result = 1;
    DosFindData find{};
    for (int more = win32_find_first(pattern, 0, &find); more == 0 && result == 1;
         more = win32_find_next(&find)) {
        // Built at full length: CopyAndVerifyFile refuses what does not fit a DOS path.
        std::string destination = std::string(prefix) + find.name;
        const std::string source = JoinFoundName(directory, find.name);
        LcdWriteLine(find.name, kNameLine);
        exec()->EXEC_Printf("%s\n", find.name);
        result = CopyAndVerifyFile(source.c_str(), destination.data());
    }
    win32_find_close(&find);
    return result;
}

bool SplitCopyLine(char* line, char*& label, char*& source, char*& destination) {
    char* comma = std::strchr(line, ',');
    if (!comma) return false;
    char* blank = std::strchr(comma + 1, ' ');
    if (!blank || blank + 1 - line >= kArgumentLimit) return false;
    *comma = '\0';
    *blank = '\0';
    label = line;
    source = comma + 1;
    destination = blank + 1;
    return true;
}

uint16_t CmdCopy(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    char *label = nullptr, *source = nullptr, *destination = nullptr;
    if (!SplitCopyLine(line, label, source, destination)) return 0;
    if (!CopyMatchingFiles(source, destination)) RequestLabelSearch(script, label, false);
    return 1;
}

} // namespace tolvanex
