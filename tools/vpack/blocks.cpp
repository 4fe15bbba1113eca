#include "blocks.hpp"

#include "zfile.hpp"

#include <pcplat/host.h>
#include <vantrel/exec.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vpack {

namespace {

constexpr uint8_t kStored = 0;
constexpr uint8_t kHuffman = 1;
constexpr uint8_t kLzw = 2;
constexpr uint8_t kLzwSized = 3;
constexpr uint8_t kNoLength = 0xFF; // the readers' mark of a block without an unpacked length
constexpr size_t kHuffmanTableOffset = 9;

ExecTable* g_table = nullptr;

ExecTable& library() {
    if (g_table) return *g_table;
    // Packing needs no desk.
    host_use_builtin_desk();
    g_table = EXEC_OpenExec(0);
    if (!g_table) throw Failure("the runtime library cannot start");
    // The library has put in its own handlers; ours go first and pass the signal on.
    install_signal_handlers();
    return *g_table;
}

uint32_t read_u32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string hex_byte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace

std::string library_version() {
    const ExecTable& exec = library();
    return "runtime library " + std::to_string(exec.version) + "." + std::to_string(exec.revision) +
           "." + std::to_string(exec.subrevision);
}

const char* method_name(uint8_t method) {
    switch (method) {
    case kStored:
        return "stored";
    case kHuffman:
        return "Huffman";
    case kLzw:
        return "LZW";
    case kLzwSized:
        return "LZW sized";
    default:
        return nullptr;
    }
}

BlockHeader inspect_block(const uint8_t* block, size_t size, const std::string& name) {
    if (size < kBlockHeaderBytes)
        throw Failure(name + ": too short for a packed block (" + std::to_string(size) +
                      " bytes; the header alone takes 5)");
    const BlockHeader header{block[0], read_u32(block + 1)};
    if (header.method == kNoLength)
        throw Failure(name + ": method byte 0xFF marks a block without an unpacked length");
    if (!method_name(header.method))
        throw Failure(name + ": not a packed block (method byte " + hex_byte(header.method) +
                      " names no method)");
    const size_t payload = size - kBlockHeaderBytes;
    if (header.method == kStored && payload != header.length)
        throw Failure(name + ": damaged: the stored block holds " + std::to_string(payload) +
                      " bytes, its header says " + std::to_string(header.length));
    if (header.method == kHuffman) {
        const uint32_t words = size < kHuffmanTableOffset ? 0 : read_u32(block + 5);
        if (words == 0 || words > (size - kHuffmanTableOffset) / 2)
            throw Failure(name + ": damaged: the Huffman code table is missing or cut short");
    }
    return header;
}

Bytes pack_block(const uint8_t* data, size_t size, int method, size_t lead, const std::string& name,
                 Progress& progress) {
    return pack_block(library(), data, size, method, lead, name, progress);
}

Bytes pack_block(ExecTable& exec, const uint8_t* data, size_t size, int method, size_t lead,
                 const std::string& name, Progress& progress) {
    if (size == 0)
        throw Failure(name + ": is empty; a packed block holds at least one byte (the desk " +
                      "refuses packed files that unpack to nothing)");
    if (size > kMaxInputBytes) throw Failure(name + ": vpack packs files below 4 GiB");
    const size_t room = lead + size + kBlockHeaderBytes;
    const auto pack_with = [&](int with, Bytes& into) {
        progress.step(std::string("packing: ") + method_name(static_cast<uint8_t>(with)));
        // The packer leaves the padding bits of a Huffman stream's last byte as it finds them:
        // cleared, the same data always packs to the same bytes, whatever the memory held.
        std::memset(into.data() + lead, 0, size + kBlockHeaderBytes);
        const uint32_t block_size = exec.EXEC_PACKCompress(
            static_cast<uint8_t>(with), data, into.data() + lead, static_cast<uint32_t>(size));
        check_interrupted();
        if (block_size < kBlockHeaderBytes || block_size > size + kBlockHeaderBytes)
            throw Failure(name + ": the library could not pack it with method " +
                          std::to_string(with));
        return static_cast<size_t>(block_size);
    };

    Bytes best(room, "the packed block of " + name);
    if (method != kBestMethod) {
        best.shrink(lead + pack_with(method, best));
        return best;
    }
    size_t best_size = pack_with(kStored, best);
    Bytes trial(room, "the packed block of " + name);
    for (int with = kHuffman; with < kMethodCount; ++with) {
        const size_t trial_size = pack_with(with, trial);
        if (trial_size < best_size) { // a tie keeps the lower method
            std::swap(best, trial);
            best_size = trial_size;
        }
    }
    best.shrink(lead + best_size);
    return best;
}

Bytes unpack_block(const uint8_t* block, size_t size, const std::string& name, Progress& progress) {
    const BlockHeader header = inspect_block(block, size, name);
    Bytes out(header.length, "the unpacked data of " + name);
    ExecTable& exec = library();
    progress.step(std::string("unpacking: ") + method_name(header.method));
    if (!exec.EXEC_PACKDecompress(block, out.data(), static_cast<uint32_t>(size))) {
        check_interrupted();
        if (header.method == kLzw || header.method == kLzwSized) {
            // The library refuses a code stream that gives fewer or more bytes than the header
            // says; say which.
            const std::optional<uint64_t> length =
                lzw_stream_length(block + kBlockHeaderBytes, size - kBlockHeaderBytes, progress);
            if (length && *length != header.length)
                throw Failure(name + ": damaged: its code stream gives " + std::to_string(*length) +
                              " bytes, its header says " + std::to_string(header.length));
        }
        throw Failure(name + ": damaged: the " + method_name(header.method) +
                      " data does not unpack");
    }
    check_interrupted();
    return out;
}

std::string disk_name(const std::string& installed_name) {
    if (installed_name.empty()) throw Failure("a packed disk file needs a name");
    if (installed_name.back() == '_')
        throw Failure(installed_name +
                      ": the name ends in '_' already, so the desk would take it for a packed "
                      "file; rename it first");
    return installed_name.substr(0, installed_name.size() - 1) + '_';
}

void check_disk_file_name(const std::string& disk_file_name) {
    if (disk_file_name.empty() || disk_file_name.back() != '_')
        throw Failure(disk_file_name +
                      ": not a packed disk file (its name does not end in '_'; the desk copies "
                      "such files as they are)");
}

std::string installed_name(const std::string& disk_file_name, uint8_t name_byte) {
    check_disk_file_name(disk_file_name);
    const char last = static_cast<char>(name_byte);
    // The installed name is made here, so byte 0 must not lead anywhere else.
    if (name_byte < 0x20 || name_byte == 0x7F || last == '/' || last == '\\')
        throw Failure(disk_file_name + ": byte 0 (" + hex_byte(name_byte) +
                      ") cannot end a file name");
    std::string name = disk_file_name;
    name.back() = last;
    if (name == "." || name == "..")
        throw Failure(disk_file_name + ": byte 0 makes the name \"" + name +
                      "\", which names a folder");
    return name;
}

void close_library() {
    if (!g_table) return;
    g_table = nullptr;
    EXEC_CloseExec();
}

} // namespace vpack
