// DELETE removes the ordinary files that match a pattern; MAKEDIR makes one directory.
#include "filecmds/dos_paths.hpp"
#include "filecmds/filecmds.hpp"

#include <pcplat/dos.h>
#include <pcplat/win32.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tolvanex {

namespace {

constexpr uint32_t kIdDeleteMatchingFiles = 0xFFFF0000;
enum DeleteStep : uint32_t {
    kStepDirectoryKnown = 1,
    kStepSearched = 2,
};
constexpr uint16_t kNameLine = 3;

} // namespace

void DeleteMatchingFiles(const char* pattern) {
    FunctionTrace trace(kIdDeleteMatchingFiles);
    char directory[kPathBuffer];
    DirectoryPart(pattern, directory);
    trace.step(kStepDirectoryKnown);
    DosFindData find{};
    int more = win32_find_first(pattern, 0, &find);
    trace.step(kStepSearched);
    for (; more == 0; more = win32_find_next(&find)) {
        const std::string path = JoinFoundName(directory, find.name);
        // Skipped, not cut: a cut path could name another file.
        if (path.size() > kPathLimit) continue;
        LcdWriteLine(find.name, kNameLine);
        exec()->EXEC_Printf("%s\n", find.name);
        dos_delete(path.c_str()); // a file that stays (read-only, in use) is not reported
    }
}

uint16_t CmdDelete(FILE* script) {
    char pattern[kArgumentBuffer];
    if (!ReadArgumentLine(script, pattern)) return 0;
    DeleteMatchingFiles(pattern);
    return 1;
}

uint16_t CmdMakeDir(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    char* comma = std::strchr(line, ',');
    if (!comma) return 0;
    *comma = '\0';
    const char* label = line;
    // With or without a separator at its end, it is one folder, found and made alike.
    const std::string directory(WithoutTrailingSeparators(comma + 1));
    DosFindData find{};
    if (win32_find_first(directory.c_str(), DOS_ATTR_DIRECTORY, &find) == 0) {
        const uint32_t attributes = find.attrib;
        win32_find_close(&find);
        // Only a plain directory will do; a file, or a directory with more bits, is in the way.
        if (attributes != DOS_ATTR_DIRECTORY) {
            SetErrorRegister(kMakeDirFileExists);
            RequestLabelSearch(script, label, false);
        }
    } else if (win32_make_directory(directory.c_str()) != 0) {
        SetErrorRegister(kMakeDirFailed);
        RequestLabelSearch(script, label, false);
    }
    return 1;
}

} // namespace tolvanex
