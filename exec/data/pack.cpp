// Packed blocks: the two services, the stored method and the dispatch to the coders.
#include "data/pack.hpp"
#include "core/library.hpp"

#include <cstring>

namespace vantrel::pack {

namespace {

constexpr uint32_t kCompressId = 0x10009130;
constexpr uint32_t kDecompressId = 0x10009140;
constexpr uint32_t kStoredPackId = 0x10009110;
constexpr uint32_t kStoredUnpackId = 0x10009120;

uint32_t stored_pack(const uint8_t* source, uint8_t* destination, uint32_t length) {
    TraceScope trace(kStoredPackId);
    write_header(destination, kStored, length);
    std::memcpy(destination + kHeaderSize, source, length);
    return length + kHeaderSize;
}

uint16_t stored_unpack(const uint8_t* packed, uint8_t* destination, uint32_t packed_length) {
    TraceScope trace(kStoredUnpackId);
    if (packed[0] != kStored) return 0;
    const uint32_t length = read_length(packed);
    if (packed_length - kHeaderSize != length) return 0;
    std::memcpy(destination, packed + kHeaderSize, length);
    return 1;
}

} // namespace

} // namespace vantrel::pack

using namespace vantrel::pack;

extern "C" uint32_t EXEC_PACKCompress(uint8_t method, const void* source, void* destination,
                                      uint32_t length) {
    vantrel::TraceScope trace(kCompressId);
    if (!source || !destination || length == 0) return 0;
    const auto* in = static_cast<const uint8_t*>(source);
    auto* out = static_cast<uint8_t*>(destination);
    // A block must fit the 32-bit length the caller gave room for.
    if (length > UINT32_MAX - kHeaderSize) return 0;
    if (method == kStored) return stored_pack(in, out, length);
    if (method > kLzwSized) return 0;
    trace.step(1);
    uint32_t result = method == kHuffman ? huffman_pack(in, out, length)
                                         : lzw_pack(in, out, length, method == kLzwSized);
    trace.step(2);
    if (result == 0) {
        trace.step(3);
        result = stored_pack(in, out, length);
        trace.step(4);
    }
    trace.step(5);
    return result;
}

extern "C" uint16_t EXEC_PACKDecompress(const void* packed, void* destination,
                                        uint32_t packed_length) {
    vantrel::TraceScope trace(kDecompressId);
    if (!packed || !destination || packed_length < kHeaderSize) return 0;
    const auto* in = static_cast<const uint8_t*>(packed);
    auto* out = static_cast<uint8_t*>(destination);
    switch (in[0]) {
    case kStored:
        return stored_unpack(in, out, packed_length);
    case kHuffman:
        return huffman_unpack(in, out, packed_length);
    case kLzw:
    case kLzwSized:
        return lzw_unpack(in, out, packed_length);
    default:
        return 0;
    }
}
