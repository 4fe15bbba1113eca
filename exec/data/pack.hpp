// The method routines behind EXEC_PACKCompress and EXEC_PACKDecompress. Each takes the whole
// block (header included) and keeps the contract of its service: a packer returns the block size
// or 0 (then the data is stored), an unpacker returns 1 or 0.
#pragma once

#include <cstdint>

namespace vantrel::pack {

constexpr uint32_t kHeaderSize = 5;
constexpr uint16_t kOwner = 2; // the compression service's memory owner

enum Method : uint8_t { kStored = 0, kHuffman = 1, kLzw = 2, kLzwSized = 3 };

// Block header: method byte, then the unpacked length (little-endian).
inline void write_header(uint8_t* block, uint8_t method, uint32_t length) {
    block[0] = method;
    for (int i = 0; i < 4; ++i)
        block[1 + i] = static_cast<uint8_t>(length >> (8 * i));
}
inline uint32_t read_length(const uint8_t* block) {
    return block[1] | block[2] << 8 | block[3] << 16 | static_cast<uint32_t>(block[4]) << 24;
}

uint32_t huffman_pack(const uint8_t* source, uint8_t* destination, uint32_t length);
uint16_t huffman_unpack(const uint8_t* packed, uint8_t* destination, uint32_t packed_length);

uint32_t lzw_pack(const uint8_t* source, uint8_t* destination, uint32_t length, bool sized);
uint16_t lzw_unpack(const uint8_t* packed, uint8_t* destination, uint32_t packed_length);

} // namespace vantrel::pack
