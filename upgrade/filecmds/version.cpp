// CHECKVERSION: reads the version tag of an installed file and lets the script branch on whether
// its version lies within a range.
#include "filecmds/filecmds.hpp"

#include <cstdio>
#include <cstring>

namespace tolvanex {

namespace {

constexpr char kTagStart[] = "$VER:";
constexpr size_t kTagStartLength = sizeof kTagStart - 1;
// The tag text: at most 254 characters and the terminating zero.
constexpr size_t kTagTextBuffer = 255;
constexpr unsigned kDecimalBase = 10;

struct Version {
    uint32_t major = 0;
    uint32_t minor = 0;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Digits to a number; wraps at 32 bits as the desk's tags were always read.
uint32_t read_number(const char*& p) {
    uint32_t value = 0;
    while (is_digit(*p))
        value = value * kDecimalBase + static_cast<uint32_t>(*p++ - '0');
    return value;
}

// Moves past the first occurrence of "$VER:"; false at the end of the file. A byte that breaks a
// partial match is not tried again as the start of a new one.
bool find_tag_start(FILE* file) {
    size_t matched = 0;
    while (matched < kTagStartLength) {
        const int c = std::fgetc(file);
        if (c == EOF) return false;
        matched = c == kTagStart[matched] ? matched + 1 : 0;
    }
    return true;
}

// The tag text up to a zero byte, the end of the file or 254 characters.
void read_tag_text(FILE* file, char* text) {
    size_t stored = 0;
    while (stored < kTagTextBuffer) {
        const int c = std::fgetc(file);
        if (c == EOF) break;
        text[stored++] = static_cast<char>(c);
        if (c == '\0') return;
    }
    // A tag that runs to the end of the file keeps its last character.
    text[stored < kTagTextBuffer ? stored : kTagTextBuffer - 1] = '\0';
}

bool within(const Version& v, const Version& low, const Version& high) {
    const bool above_low = v.major > low.major || (v.major == low.major && v.minor >= low.minor);
    const bool below_high =
        v.major < high.major || (v.major == high.major && v.minor <= high.minor);
    return above_low && below_high;
}

// The field up to the next comma or the end of the line; p moves past the comma.
void take_field(const char*& p, char* out) {
    const size_t length = std::strcspn(p, ",");
    std::memcpy(out, p, length);
    out[length] = '\0';
    p += length;
    if (*p == ',') ++p;
}

} // namespace

uint16_t ParseVersion(const char* text, uint32_t& major, uint32_t& minor) {
    const char* p = text;
    while (*p && !is_digit(*p))
        ++p;
    if (!*p) return 0;
    const uint32_t first = read_number(p);
    if (*p != '.') return 0;
    ++p;
    if (!is_digit(*p)) return 0;
    major = first;
    minor = read_number(p);
    return 1;
}

uint16_t ReadVersionTag(const char* name, uint32_t& major, uint32_t& minor) {
    OpenFile file(exec()->EXEC_FILEOpen(name, "rb"));
    if (!file || !find_tag_start(file.get())) return 0;
    char text[kTagTextBuffer];
    read_tag_text(file.get(), text);
    const char* blank = std::strchr(text, ' ');
    if (!blank || blank[1] != 'V') return 0;
    return ParseVersion(blank + 2, major, minor);
}

uint16_t CmdCheckVersion(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    char file[kArgumentBuffer], low_text[kArgumentBuffer], high_text[kArgumentBuffer];
    const char* p = line;
    take_field(p, file);
    take_field(p, low_text);
    take_field(p, high_text);
    const char* label = p; // the rest of the line, commas included
    Version low, high, version;
    if (!ParseVersion(low_text, low.major, low.minor)) return 0;
    if (!ParseVersion(high_text, high.major, high.minor)) return 0;
    const bool has_version = ReadVersionTag(file, version.major, version.minor) != 0;
    if (!has_version || !within(version, low, high)) RequestLabelSearch(script, label, false);
    return 1;
}

} // namespace tolvanex
