// DOS drives and paths on host folders: drive letters map to folders, '\' separates, names match
// without regard to case, and no path reaches outside its drive's folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pcplat {

struct FindEntry {
    std::string name;    // as on the host
    uint32_t attrib = 0; // DOS attribute bits
    uint32_t size = 0;
    uint16_t time = 0; // DOS packed time and date of the last write
    uint16_t date = 0;
};

// DOS wildcard match ignoring case: '*' any run, '?' one character; a trailing ".*" also matches
// names without a dot, so "*.*" matches every name, and a trailing "." matches only those.
bool dos_wildcard_match(std::string_view pattern, std::string_view name);

class DriveMap {
  public:
    // Maps a drive letter (any case) to a host folder, which must exist.
    void map(char letter, const std::filesystem::path& host_root);
    std::optional<std::filesystem::path> root(char letter) const;
    char current_drive() const { return current_; }
    // Letters in use, in order.
    std::vector<char> letters() const;

    // The host path of a DOS path. Existing components are matched without regard to case; the
    // last component need not exist. Empty for forbidden characters, an unmapped drive, a missing
    // directory on the way, or a path that climbs out of its drive.
    std::optional<std::filesystem::path> resolve(std::string_view dos_path) const;
    // A host path under a drive's folder as a DOS path ("C:\DESK\APP.EXE", the host's case), by
    // the drive with the longest folder that holds it; nothing when none does.
    std::optional<std::string> dos_name(const std::filesystem::path& host) const;

    // A directory search: the entries of the pattern's directory whose names match its last
    // component and whose attributes are allowed by attrib, sorted by name ignoring case (in a
    // subdirectory "." and ".." come first, as DOS gives them).
    std::vector<FindEntry> search(std::string_view dos_pattern, uint32_t attrib) const;

  private:
    std::filesystem::path roots_[26];
    std::filesystem::path real_roots_[26]; // the roots with links resolved, to judge containment
    char current_ = 'A';
};

} // namespace pcplat
