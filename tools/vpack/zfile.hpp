// .Z files as 16-bit compress writes them: 0x1F 0x9D, a flags byte, then the LZW code stream
// that packed blocks of methods 2 and 3 carry.
#pragma once

#include "io.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vpack {

constexpr size_t kZHeaderBytes = 3;

// Starts with the .Z magic (whatever its flags say).
bool is_z(const uint8_t* bytes, size_t size);
// Failure (after "name: ") unless the header says block mode and 16-bit codes.
void check_z_header(const uint8_t* bytes, size_t size, const std::string& name);

// Header and code stream of size bytes.
Bytes make_z(const uint8_t* data, size_t size, const std::string& name, Progress& progress);

// Decodes a .Z file into out (null: only counts) and returns the unpacked size; Failure when
// the header is refused or the stream is damaged.
uint64_t unpack_z(const uint8_t* z, size_t size, const std::string& name, OutputFile* out,
                  Progress& progress);

// The number of bytes an LZW code stream gives; nothing for a malformed stream.
std::optional<uint64_t> lzw_stream_length(const uint8_t* stream, size_t size, Progress& progress);

} // namespace vpack
