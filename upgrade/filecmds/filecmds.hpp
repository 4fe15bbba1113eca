// The file commands' shared pieces: error codes, the checksum list, the single-file installer
// (COPYGFX installs through it too) and the program's entries on the library's function stack.
#pragma once

#include "engine/program.hpp"

#include <cstddef>
#include <cstdint>

namespace tolvanex {

// DOS paths: 255 characters and the terminating zero.
constexpr size_t kPathLimit = 255;
constexpr size_t kPathBuffer = kPathLimit + 1;
// The owner id of the upgrade program's file buffers in the library's memory report.
constexpr uint16_t kFileBufferOwner = 0;

// One record of "checksum.dat".
constexpr size_t kChecksumPathBytes = 128;
#pragma pack(push, 1)
struct ChecksumRecord {
    char path[kChecksumPathBytes]; // zero-terminated within the 128 bytes when well formed
    uint8_t checksum;              // sum of the file's bytes, modulo 256
};
#pragma pack(pop)
static_assert(sizeof(ChecksumRecord) == 129);

// The record's path holds its terminating zero; a path that runs into the checksum byte is none.
bool HasPath(const ChecksumRecord& record);

uint8_t ChecksumBytes(const uint8_t* data, uint32_t n);
// The checksum listed for name (any case), from the first record that names it; 0 when the list
// cannot be opened or does not name it.
uint16_t LookupChecksum(const char* name, uint8_t& checksum);
uint16_t CheckAllFiles();
uint16_t CheckOneFile(const ChecksumRecord& record);

bool IsPackedName(const char* name);
uint16_t CompareBytes(const void* a, const void* b, uint32_t n);
// The text before the path's last backslash (empty without one), into a kPathBuffer-byte buffer.
void DirectoryPart(const char* path, char* out);
// Installs one file from source (a full path) to destination and verifies what was written;
// sets the error register on every path. A packed file's installed name replaces the last
// character of destination in place.
uint16_t CopyAndVerifyFile(const char* source, char* destination);
uint16_t CopyMatchingFiles(const char* pattern, const char* prefix);
// Splits COPY's and COPYGFX's argument line "label,source destination" in place; false (the run
// fails) without the comma, without the blank after the source, or when the blank is at the end of
// what the line can hold.
bool SplitCopyLine(char* line, char*& label, char*& source, char*& destination);

uint16_t ParseVersion(const char* text, uint32_t& major, uint32_t& minor);
uint16_t ReadVersionTag(const char* name, uint32_t& major, uint32_t& minor);

void DeleteMatchingFiles(const char* pattern);

// A file opened through the library, closed on every way out.
class OpenFile {
  public:
    explicit OpenFile(FILE* file) : file_(file) {}
    ~OpenFile() { close(); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    void close() {
        if (file_) exec()->EXEC_FILEClose(file_);
        file_ = nullptr;
    }

  private:
    FILE* file_ = nullptr;
};

// A block of the library's memory under the file buffers' owner, returned on every way out.
class FileBuffer {
  public:
    explicit FileBuffer(uint32_t size, uint16_t owner = kFileBufferOwner)
        : data_(static_cast<uint8_t*>(exec()->EXEC_MEMFarMalloc(size, owner))), owner_(owner) {}
    ~FileBuffer() {
        if (data_) exec()->EXEC_MEMFarFree(data_, owner_);
    }
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;
    uint8_t* get() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

  private:
    uint8_t* data_ = nullptr;
    uint16_t owner_;
};

// An entry on the library's function stack for as long as it lives, so that a crash report
// names the command that was running.
class FunctionTrace {
  public:
    explicit FunctionTrace(uint32_t id);
    ~FunctionTrace();
    FunctionTrace(const FunctionTrace&) = delete;
    FunctionTrace& operator=(const FunctionTrace&) = delete;
    void step(uint32_t n);

  private:
    uint32_t* entry_ = nullptr;
};

} // namespace tolvanex
