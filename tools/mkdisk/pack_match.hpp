// Which source files `mkdisk build --pack PATTERN` packs: the pattern means what it means on the
// desk, so a disk builder can write the same wildcard as in the upgrade script.
#pragma once

#include <string_view>

namespace mkdisk {

// Whether the pattern takes the file at dos_path (below the source, '\' between folders). A
// pattern without '\' or '/' is matched against the file's name, in any folder; one with them
// names a path below the source, matched folder by folder and name by name as the desk matches
// a name ('/' is taken for '\').
bool pack_pattern_matches(std::string_view pattern, std::string_view dos_path);

} // namespace mkdisk
