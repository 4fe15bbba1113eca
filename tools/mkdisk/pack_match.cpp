#include "pack_match.hpp"

#include "machine/drives.hpp"

#include <vector>

namespace mkdisk {

namespace {

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t begin = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !is_separator(path[i])) continue;
        parts.push_back(path.substr(begin, i - begin));
        begin = i + 1;
    }
    return parts;
}

} // namespace

bool pack_pattern_matches(std::string_view pattern, std::string_view dos_path) {
    const std::vector<std::string_view> names = components(dos_path);
    const std::vector<std::string_view> wanted = components(pattern);
    if (wanted.size() == 1) return pcplat::dos_wildcard_match(pattern, names.back());
    if (wanted.size() != names.size()) return false;
    for (size_t i = 0; i < names.size(); ++i)
        if (!pcplat::dos_wildcard_match(wanted[i], names[i])) return false;
    return true;
}

} // namespace mkdisk
