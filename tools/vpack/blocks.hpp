// Packed blocks, made and read through the runtime library as the desk does, and the packed
// files of upgrade disks (a name byte, then a block).
#pragma once

#include "io.hpp"

#include <vantrel/exec.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vpack {

constexpr size_t kBlockHeaderBytes = 5;
constexpr int kMethodCount = 4;
// Try every method and keep the smallest block.
constexpr int kBestMethod = -1;

// "stored", "Huffman", "LZW", "LZW sized"; null for a byte that names no method.
const char* method_name(uint8_t method);

struct BlockHeader {
    uint8_t method = 0;
    uint32_t length = 0; // unpacked
};

// What can be told of a block without unpacking it; Failure (the reason after "name: ") for a
// block the library would refuse or read past.
BlockHeader inspect_block(const uint8_t* block, size_t size, const std::string& name);

// Packs size bytes into a block placed `lead` bytes into the result (room for a disk file's
// name byte). method: 0 to 3, or kBestMethod. The library stores the data when a method does
// not make it smaller, so the block's own method byte says what was used.
Bytes pack_block(const uint8_t* data, size_t size, int method, size_t lead, const std::string& name,
                 Progress& progress);
// The same with a library the caller opened, for a process that must not take vpack's signal
// handlers with vpack's own opening of it (mkdisk's packing workers).
Bytes pack_block(ExecTable& exec, const uint8_t* data, size_t size, int method, size_t lead,
                 const std::string& name, Progress& progress);

// The unpacked data, or Failure when the block is damaged.
Bytes unpack_block(const uint8_t* block, size_t size, const std::string& name, Progress& progress);

// A packed disk file's name: the last character of the installed name becomes '_'. Failure for
// a name that is empty or already ends in '_' (the desk would take it for a packed file).
std::string disk_name(const std::string& installed_name);
// Failure (naming the file) unless the name ends in '_', as the desk's packed files do.
void check_disk_file_name(const std::string& disk_file_name);
// The name a packed disk file installs as, from its name and byte 0. Failure when byte 0
// cannot end a file name here (a separator, a control character) or the name does not end in
// '_'.
std::string installed_name(const std::string& disk_file_name, uint8_t name_byte);

// "runtime library V.R.S", from the library's Exec table.
std::string library_version();

// Closes the runtime library if a command opened it.
void close_library();

} // namespace vpack
