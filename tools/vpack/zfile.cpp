#include "zfile.hpp"

#include "data/lzw_codec.hpp"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace vpack {

namespace lzw = vantrel::lzw;

namespace {

constexpr uint8_t kMagic[2] = {0x1F, 0x9D};
constexpr uint8_t kBlockMode = 0x80;
constexpr uint8_t kUnknownFlags = 0x60;
constexpr uint8_t kBitsMask = 0x1F;
constexpr uint8_t kOurFlags = kBlockMode | lzw::kMaxBits;
// Decoded bytes gathered before each write; far above the longest string (65280 bytes).
constexpr size_t kFlushBytes = size_t{1} << 20;

template <class T>
std::unique_ptr<T[]> table(size_t entries) {
    try {
        return std::make_unique_for_overwrite<T[]>(entries);
    } catch (const std::bad_alloc&) {
        throw Failure("not enough memory for the LZW tables");
    }
}

// Strings are copied out of the decoder's stack in fixed 8 or 16 byte moves, which may read and
// write up to this much past their end: the stack and the output buffer have the room.
constexpr size_t kCopySlack = 16;

struct DecoderTables {
    std::unique_ptr<uint8_t[]> suffix_and_stack =
        table<uint8_t>(lzw::kSuffixBytes + lzw::kStackBytes + kCopySlack);
    std::unique_ptr<uint16_t[]> prefix = table<uint16_t>(lzw::kPrefixEntries);
    lzw::DecoderTables view() { return {suffix_and_stack.get(), prefix.get()}; }
};

// Most strings are a few bytes long; a call to memcpy for each costs more than decoding them.
inline void copy_string(uint8_t* to, const uint8_t* from, uint32_t count) {
    if (count <= 8)
        std::memcpy(to, from, 8);
    else if (count <= 16)
        std::memcpy(to, from, 16);
    else
        std::memcpy(to, from, count);
}

std::string hex_byte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace

bool is_z(const uint8_t* bytes, size_t size) {
    return size >= 2 && bytes[0] == kMagic[0] && bytes[1] == kMagic[1];
}

void check_z_header(const uint8_t* bytes, size_t size, const std::string& name) {
    if (!is_z(bytes, size)) throw Failure(name + ": not a .Z file (it does not start with 1F 9D)");
    if (size < kZHeaderBytes) throw Failure(name + ": the .Z header is cut short");
    const uint8_t flags = bytes[2];
    const unsigned bits = flags & kBitsMask;
    if (bits != lzw::kMaxBits)
        throw Failure(name + ": made with " + std::to_string(bits) +
                      "-bit codes; only 16-bit .Z files can be read");
    if (!(flags & kBlockMode))
        throw Failure(name + ": made without block mode (compress -C); only block-mode .Z files "
                             "can be read");
    if (flags & kUnknownFlags)
        throw Failure(name + ": the .Z header has flags this reader does not know (" +
                      hex_byte(flags) + ")");
}

Bytes make_z(const uint8_t* data, size_t size, const std::string& name, Progress& progress) {
    const auto length = static_cast<uint32_t>(size);
    const uint32_t hsize = lzw::hash_size(length, false); // compress's own table: the same codes
    const auto hash = table<int32_t>(hsize);
    const auto codes = table<uint16_t>(hsize);
    const lzw::EncoderTables tables{hash.get(), codes.get(), hsize};

    // Room for what text and most binaries give; the rare input that codes to more is coded
    // again into exactly the room it needs, rather than holding twice its size throughout.
    const uint64_t bound = lzw::max_encoded_size(length);
    uint64_t room = std::min<uint64_t>(bound, uint64_t{length} + length / 2 + 4096);
    for (;;) {
        if (kZHeaderBytes + room > SIZE_MAX)
            throw Failure("not enough memory to pack " + name + " (" + std::to_string(size) +
                          " bytes)");
        Bytes out(static_cast<size_t>(kZHeaderBytes + room), "the packed data of " + name);
        out[0] = kMagic[0];
        out[1] = kMagic[1];
        out[2] = kOurFlags;
        progress.step("packing");
        const uint64_t stream = lzw::encode(data, length, out.data() + kZHeaderBytes, room, tables);
        check_interrupted();
        if (stream <= room) {
            out.shrink(static_cast<size_t>(kZHeaderBytes + stream));
            return out;
        }
        room = stream;
    }
}

uint64_t unpack_z(const uint8_t* z, size_t size, const std::string& name, OutputFile* out,
                  Progress& progress) {
    check_z_header(z, size, name);
    const uint8_t* stream = z + kZHeaderBytes;
    const auto stream_size = static_cast<uint32_t>(size - kZHeaderBytes);
    if (!out) {
        const std::optional<uint64_t> length = lzw_stream_length(stream, stream_size, progress);
        if (!length) throw Failure(name + ": damaged: a code in the stream names no string");
        return *length;
    }
    uint64_t total = 0;
    DecoderTables tables;
    Bytes buffer(kFlushBytes + kCopySlack, "the unpacked data");
    size_t filled = 0;
    const auto flush = [&] {
        out->write(buffer.data(), filled);
        total += filled;
        filled = 0;
        progress.count("unpacking", total);
        check_interrupted();
    };
    const lzw::Decoded result =
        lzw::decode(stream, stream_size, tables.view(), [&](const uint8_t* bytes, uint32_t count) {
            if (count > kFlushBytes - filled) flush();
            copy_string(buffer.data() + filled, bytes, count);
            filled += count;
            return true;
        });
    if (filled > 0) flush();
    if (result == lzw::Decoded::malformed)
        throw Failure(name + ": damaged: a code in the stream names no string (after " +
                      std::to_string(total) + " unpacked bytes)");
    return total;
}

std::optional<uint64_t> lzw_stream_length(const uint8_t* stream, size_t size, Progress& progress) {
    DecoderTables tables;
    uint64_t total = 0;
    progress.step("checking the code stream");
    const lzw::Decoded result = lzw::decode(stream, static_cast<uint32_t>(size), tables.view(),
                                            [&](const uint8_t*, uint32_t count) {
                                                total += count;
                                                return true;
                                            });
    check_interrupted();
    if (result == lzw::Decoded::malformed) return std::nullopt;
    return total;
}

} // namespace vpack
