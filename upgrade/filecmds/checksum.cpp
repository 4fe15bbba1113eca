// The checksum list "checksum.dat" of the upgrade disk, and CHECKSUMALLFILES, which checks every
// listed file before anything is installed.
#include "filecmds/filecmds.hpp"

#include <cstdio>
#include <cstring>

namespace tolvanex {

namespace {

constexpr const char* kChecksumList = "checksum.dat";
constexpr uint16_t kNameLine = 3;
constexpr char kSeparator = '\\';

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_name(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (upper(*a) != upper(*b)) return false;
    return *a == *b;
}

bool read_record(FILE* list, ChecksumRecord& record) {
    return exec()->EXEC_FILERead(&record, sizeof record, 1, list) == 1;
}

// The name shown for a record: its path after the last backslash, unless the path has none or
// begins with it.
const char* display_name(const char* path) {
    const char* separator = std::strrchr(path, kSeparator);
    return separator && separator != path ? separator + 1 : path;
}

} // namespace

bool HasPath(const ChecksumRecord& record) {
    return std::memchr(record.path, '\0', sizeof record.path) != nullptr;
}

// Sixteen bytes per step: the even and the odd bytes of each word add up in 16-bit lanes, which
// are folded into the total before they can overflow. Only the sum modulo 256 counts. Fewer,
// wider steps matter where the program runs emulated, at a cost per instruction.
uint8_t ChecksumBytes(const uint8_t* data, uint32_t n) {
    constexpr uint32_t kLaneMask = 0x00FF00FF;
    constexpr uint32_t kStep = 16;
    constexpr uint32_t kStepsPerFold = 32; // 32 * 16 / 2 * 255 < 65536 per lane
    uint32_t total = 0;
    uint32_t i = 0;
    while (n - i >= kStep) {
        uint32_t lanes = 0;
        for (uint32_t s = 0; s < kStepsPerFold && n - i >= kStep; ++s, i += kStep) {
            uint32_t w[4];
            std::memcpy(w, data + i, sizeof w);
            lanes += (w[0] & kLaneMask) + ((w[0] >> 8) & kLaneMask) + (w[1] & kLaneMask) +
                     ((w[1] >> 8) & kLaneMask) + (w[2] & kLaneMask) + ((w[2] >> 8) & kLaneMask) +
                     (w[3] & kLaneMask) + ((w[3] >> 8) & kLaneMask);
        }
        total += (lanes & 0xFFFF) + (lanes >> 16);
    }
    for (; i < n; ++i)
        total += data[i];
    return static_cast<uint8_t>(total);
}

// Records are read a batch at a time: COPY looks up every file it copies, and a read per record
// costs a repositioning of the stream each. A batch holds whole records only, as single reads
// would, so a cut last record still ends the list.
uint16_t LookupChecksum(const char* name, uint8_t& checksum) {
    constexpr uint32_t kBatch = 64;
    OpenFile list(exec()->EXEC_FILEOpen(kChecksumList, "rb"));
    if (!list) return 0;
    ChecksumRecord records[kBatch];
    for (uint32_t got;
         (got = exec()->EXEC_FILERead(records, sizeof records[0], kBatch, list.get())) > 0;) {
        for (uint32_t i = 0; i < got; ++i) {
            if (HasPath(records[i]) && same_name(records[i].path, name)) {
                checksum = records[i].checksum;
                return 1;
            }
        }
        if (got < kBatch) break;
    }
    return 0;
}

uint16_t CheckOneFile(const ChecksumRecord& record) {
    OpenFile file(exec()->EXEC_FILEOpen(record.path, "rb"));
    if (!file) {
        SetErrorRegister(kChecksumUnableToOpenSource);
        return 0;
    }
    const uint32_t n = exec()->EXEC_FILELength(file.get());
    if (n == 0) {
        SetErrorRegister(kChecksumSourceFileZeroLength);
        return 0;
    }
    FileBuffer data(n);
    if (!data) {
        SetErrorRegister(kChecksumMemoryAllocationFailed);
        return 0;
    }
    if (exec()->EXEC_FILERead(data.get(), n, 1, file.get()) != 1) {
        SetErrorRegister(kChecksumFileReadFailed);
        return 0;
    }
    if (ChecksumBytes(data.get(), n) != record.checksum) {
        SetErrorRegister(kChecksumMismatch);
        return 0;
    }
    return 1;
}

uint16_t CheckAllFiles() {
    SetErrorRegister(kNoError);
    OpenFile list(exec()->EXEC_FILEOpen(kChecksumList, "rb"));
    if (!list) {
        SetErrorRegister(kChecksumFileNotOpened);
        return 0;
    }
    uint16_t result = 1;
    ChecksumRecord record{};
    while (result == 1 && read_record(list.get(), record)) {
        // A path without its terminating zero would run into the checksum and beyond.
        if (!HasPath(record) || record.path[0] == '\0') {
            SetErrorRegister(kChecksumBadFileName);
            result = 0;
            continue;
        }
        const char* name = display_name(record.path);
        LcdWriteLine(name, kNameLine);
        exec()->EXEC_Printf("%s\n", name);
        result = CheckOneFile(record);
    }
    return result;
}

uint16_t CmdChecksumAllFiles(FILE* script) {
    char label[kArgumentBuffer];
    if (!ReadArgumentLine(script, label)) return 0;
    if (!CheckAllFiles()) RequestLabelSearch(script, label, false);
    return 1;
}

} // namespace tolvanex
