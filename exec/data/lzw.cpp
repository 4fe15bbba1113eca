// Methods 2 and 3 of packed blocks: the LZW packer and unpacker around the codec. Tables come
// from the memory service under the compression owner and go back on every path.
#include "core/library.hpp"
#include "data/lzw_codec.hpp"
#include "data/pack.hpp"

namespace vantrel::pack {

namespace {

constexpr uint32_t kLzwPackId = 0x10009310;
constexpr uint32_t kLzwUnpackId = 0x10009320;
constexpr uint32_t kLzwCoderId = 0x10009330;

constexpr uint32_t kSuffixAndStackBytes = lzw::kSuffixBytes + lzw::kStackBytes;
constexpr uint32_t kPrefixBytes = lzw::kPrefixEntries * sizeof(uint16_t);

// The coder's state of the current call. The services are not reentrant, so one instance
// serves them all; every call starts by resetting it.
struct CoderState {
    lzw::EncoderTables encoder{};
    lzw::DecoderTables decoder{};
    uint64_t counted = 0; // stream bytes the coder produced
    uint64_t written = 0; // bytes the decoder stored
};
CoderState g_coder;

void* allocate(uint32_t size) {
    return exec()->EXEC_MEMFarMalloc(size, kOwner);
}
void release(void* block) {
    if (block) exec()->EXEC_MEMFarFree(block, kOwner);
}

} // namespace

uint32_t lzw_pack(const uint8_t* source, uint8_t* destination, uint32_t length, bool sized) {
    TraceScope trace(kLzwPackId);
    g_coder = CoderState{};
    write_header(destination, sized ? kLzwSized : kLzw, length);

    const uint32_t hsize = lzw::hash_size(length, sized);
    auto* hash = static_cast<int32_t*>(allocate(hsize * sizeof(int32_t)));
    auto* codes = hash ? static_cast<uint16_t*>(allocate(hsize * sizeof(uint16_t))) : nullptr;
    if (!codes) {
        release(hash);
        return 0;
    }
    g_coder.encoder = {hash, codes, hsize};
    {
        TraceScope core(kLzwCoderId);
        // The stream gets the room of the data itself; a longer one is rejected below anyway.
        g_coder.counted =
            lzw::encode(source, length, destination + kHeaderSize, length, g_coder.encoder);
    }
    release(codes);
    release(hash);
    g_coder.encoder = {};
    if (g_coder.counted == 0 || g_coder.counted >= length) return 0;
    return static_cast<uint32_t>(g_coder.counted) + kHeaderSize;
}

// 1 when the payload decodes to exactly the L bytes the header gives; 0 for a wrong method
// byte, a table allocation failure, a malformed stream (see lzw::decode) and a stream that gives
// fewer bytes (the rest of the destination would hold whatever was there) or more (the header
// does not describe it). After a failure the destination may hold part of the data, never more
// than L bytes.
uint16_t lzw_unpack(const uint8_t* packed, uint8_t* destination, uint32_t packed_length) {
    TraceScope trace(kLzwUnpackId);
    g_coder = CoderState{};
    if (packed_length < kHeaderSize) return 0;
    if (packed[0] != kLzw && packed[0] != kLzwSized) return 0;

    auto* suffix_and_stack = static_cast<uint8_t*>(allocate(kSuffixAndStackBytes));
    auto* prefix = suffix_and_stack ? static_cast<uint16_t*>(allocate(kPrefixBytes)) : nullptr;
    if (!prefix) {
        release(suffix_and_stack);
        return 0;
    }
    g_coder.decoder = {suffix_and_stack, prefix};
    const uint32_t length = read_length(packed);
    lzw::DecodeResult result;
    {
        TraceScope core(kLzwCoderId);
        result = lzw::decode_into(packed + kHeaderSize, packed_length - kHeaderSize,
                                  g_coder.decoder, destination, length);
    }
    g_coder.written = result.written;
    release(prefix);
    release(suffix_and_stack);
    g_coder.decoder = {};
    const bool whole = result.written == length && !result.overflowed;
    return result.status == lzw::Decoded::complete && whole ? 1 : 0;
}

} // namespace vantrel::pack
