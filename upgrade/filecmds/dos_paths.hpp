// Joining a directory-search result to the folder it was found in. The platform's search reads a
// pattern as DOS does: '/' separates as '\' does, and a drive prefix without a separator ("C:")
// means that drive's current directory, its root. A path built for a found name must follow the
// same rules, or a command acts on another file than the one the search found.
#pragma once

#include <string>
#include <string_view>

namespace tolvanex {

constexpr char kDosSeparator = '\\';

// The folder a pattern searches, as a path to which "\" and a found name are added: the text
// before the last separator, or "C:" for a pattern "C:NAME", or empty (the current drive's root)
// for a plain name. Slashes become backslashes, so every path built from it is spelt one way
// (the checksum list is looked up by that spelling).
inline std::string SearchFolder(std::string_view pattern) {
    std::string_view folder;
    if (const size_t separator = pattern.find_last_of("\\/"); separator != std::string_view::npos)
        folder = pattern.substr(0, separator);
    else if (pattern.size() >= 2 && pattern[1] == ':')
        folder = pattern.substr(0, 2);
    std::string out(folder);
    for (char& c : out)
        if (c == '/') c = kDosSeparator;
    return out;
}

inline std::string JoinFoundName(std::string_view folder, std::string_view name) {
    std::string path(folder);
    path += kDosSeparator;
    path += name;
    return path;
}

// A folder named with a separator after it, such as C:\APP\ or C:\APP/, is the folder C:\APP; a
// root (C:\ or \ alone) keeps its separator.
inline std::string_view WithoutTrailingSeparators(std::string_view path) {
    const auto is_root = [](std::string_view p) {
        return p.size() == 1 || (p.size() == 3 && p[1] == ':');
    };
    while (!path.empty() && (path.back() == '\\' || path.back() == '/') && !is_root(path))
        path.remove_suffix(1);
    return path;
}

} // namespace tolvanex
