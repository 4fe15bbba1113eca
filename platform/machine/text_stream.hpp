// C streams over host files with DOS text-mode translation.
#pragma once

#include "machine/file_faults.hpp"
#include "machine/power_cut.hpp"

#include <cstdio>
#include <filesystem>

namespace pcplat {

// fopen on a host file. Without 'b' in the mode the stream is a DOS text stream: reads turn CR LF
// into LF (a lone CR stays), writes turn LF into CR LF, and positions (ftell, fseek) are raw file
// offsets. Modes are "r", "w", "a" with optional '+', 'b' and 't'. Only ordinary files open:
// directories and devices are refused. Null (errno set) on failure. faults, when given, is the
// test hook's say on this file; steps, when given and counting, sees the stream's opening for
// writing, each write that reaches the file and each flush to the disk.
FILE* open_dos_stream(const std::filesystem::path& host, const char* mode,
                      const FileFaults* faults = nullptr, PowerCut* steps = nullptr);

// Flushes a stream and then its file to the disk (fsync). 0 on success, -1 (errno set) on failure.
int sync_dos_stream(FILE* file);

} // namespace pcplat
