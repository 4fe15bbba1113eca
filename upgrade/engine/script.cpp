// Reading the upgrade description file: command words and argument lines.
#include "engine/keywords.hpp"
#include "engine/program.hpp"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace tolvanex {

namespace {

bool is_letter(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_word(const char* word, const char* keyword) {
    for (; *word && *keyword; ++word, ++keyword)
        if (upper(*word) != upper(*keyword)) return false;
    return *word == *keyword;
}

} // namespace

bool ReadDecimal(const char* text, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text;
}

uint16_t ReadCommandWord(FILE* script) {
    char word[kLongestWord + 1] = {};
    size_t length = 0;
    bool collecting = false;
    for (;;) {
        const int c = std::fgetc(script);
        if (c == EOF) return kNotFound; // also a word cut off by the end of the file
        if (!collecting) {
            collecting = c == '#';
            continue;
        }
        if (!is_letter(c)) break; // the terminator goes with the word
        word[length++] = static_cast<char>(c);
        if (length == kLongestWord) return kNotFound;
    }
    for (size_t i = 0; i < kKeywords.size(); ++i)
        if (same_word(word, kKeywords[i])) return static_cast<uint16_t>(i);
    return kNotFound;
}

uint16_t ReadArgumentLine(FILE* script, char* buffer, int limit) {
    int index = 0;
    buffer[0] = '\0';
    while (index < limit) {
        const int c = std::fgetc(script);
        if (c == EOF) return 0;
        if (c == '\n') break;
        buffer[index++] = static_cast<char>(c);
        buffer[index] = '\0';
    }
    return 1;
}

} // namespace tolvanex
