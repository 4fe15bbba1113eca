// Reading and writing input-schedule lines. Every problem names the line, so a person can fix a
// schedule from the message alone, and nothing that cannot be typed or delivered is accepted.
#include "machine/input_schedule.hpp"

#include "desk/profile.hpp"
#include "machine/devices.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace pcplat {

namespace {

constexpr uint8_t kFirstMakeCode = 0x01;
constexpr uint8_t kLastMakeCode = 0x7F;
constexpr uint8_t kAllButtons = 0x07;
constexpr char kEscape = 0x1B;
constexpr char kBackspace = 0x08;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The next blank-separated word of rest, taken off its front.
std::string_view next_word(std::string_view& rest) {
    size_t i = 0;
    while (i < rest.size() && blank(rest[i]))
        ++i;
    size_t end = i;
    while (end < rest.size() && !blank(rest[end]))
        ++end;
    const std::string_view word = rest.substr(i, end - i);
    rest.remove_prefix(end);
    return word;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

template <typename Int>
bool parse_int(std::string_view text, Int& out, int base = 10) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return error == std::errc{} && end == text.data() + text.size();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string shown(char c) {
    const auto u = static_cast<unsigned char>(c);
    char buffer[16];
    if (u >= 0x20 && u < 0x7F)
        std::snprintf(buffer, sizeof buffer, "'%c'", c);
    else
        std::snprintf(buffer, sizeof buffer, "byte 0x%02X", u);
    return buffer;
}

// The text between double quotes, its escapes undone; false with the problem.
bool parse_quoted(std::string_view quoted, std::string& text, std::string& problem) {
    text.clear();
    size_t i = 1; // past the opening quote
    for (;; ++i) {
        if (i >= quoted.size()) {
            problem = "the text has no closing double quote";
            return false;
        }
        char c = quoted[i];
        if (c == '"') break;
        if (c == '\\') {
            if (++i == quoted.size()) {
                problem = "the text has no closing double quote";
                return false;
            }
            switch (quoted[i]) {
            case 'n':
                c = '\n';
                break;
            case 't':
                c = '\t';
                break;
            case 'b':
                c = kBackspace;
                break;
            case 'e':
                c = kEscape;
                break;
            case '\\':
            case '"':
                c = quoted[i];
                break;
            case 'x': {
                const int high = i + 1 < quoted.size() ? hex_digit(quoted[i + 1]) : -1;
                const int low = i + 2 < quoted.size() ? hex_digit(quoted[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    problem = "\\x needs two hex digits";
                    return false;
                }
                c = static_cast<char>(high << 4 | low);
                i += 2;
                break;
            }
            default:
                problem = std::string("unknown escape \\") + quoted[i] +
                          " (known: \\n \\t \\b \\e \\\\ \\\" \\xHH)";
                return false;
            }
        }
        if (!keystroke_for(c)) {
            problem = "the text holds " + shown(c) + ", which no key of the US keyboard types";
            return false;
        }
        text += c;
    }
    if (i + 1 != quoted.size()) {
        problem = "nothing may follow the closing double quote";
        return false;
    }
    if (text.empty()) {
        problem = "the text is empty: nothing to type";
        return false;
    }
    return true;
}

bool parse_key(std::string_view argument, ScheduledInput& entry, std::string& problem) {
    if (argument.empty()) {
        problem = "key needs \"TEXT\" in double quotes or a scan code 0x01 to 0x7F";
        return false;
    }
    if (argument.front() == '"') {
        entry.kind = ScheduledInput::Kind::text;
        return parse_quoted(argument, entry.text, problem);
    }
    unsigned code = 0;
    if (argument.size() > 2 && (argument.substr(0, 2) == "0x" || argument.substr(0, 2) == "0X") &&
        argument.size() <= 4 && parse_int(argument.substr(2), code, 16) && code >= kFirstMakeCode &&
        code <= kLastMakeCode) {
        entry.kind = ScheduledInput::Kind::scancode;
        entry.scancode = static_cast<uint8_t>(code);
        return true;
    }
    problem = "key takes \"TEXT\" in double quotes or a scan code 0x01 to 0x7F, not " +
              std::string(argument);
    return false;
}

bool parse_mouse(std::string_view rest, ScheduledInput& entry, std::string& problem) {
    const std::string_view dx = next_word(rest);
    const std::string_view dy = next_word(rest);
    const std::string_view buttons = next_word(rest);
    const std::string_view extra = next_word(rest);
    if (buttons.empty() || !extra.empty()) {
        problem = "mouse takes three numbers: DX DY BUTTONS";
        return false;
    }
    int value = 0;
    const auto mickeys = [&](std::string_view word, const char* name, int16_t& out) {
        if (!parse_int(word, value) || value < std::numeric_limits<int16_t>::min() ||
            value > std::numeric_limits<int16_t>::max()) {
            problem = std::string("mouse ") + name + " must be a whole number of mickeys from " +
                      "-32768 to 32767, not " + std::string(word);
            return false;
        }
        out = static_cast<int16_t>(value);
        return true;
    };
    if (!mickeys(dx, "DX", entry.dx) || !mickeys(dy, "DY", entry.dy)) return false;
    if (!parse_int(buttons, value) || value < 0 || value > kAllButtons) {
        problem =
            "mouse BUTTONS must be 0 to 7 (1 left, 2 right, 4 middle), not " + std::string(buttons);
        return false;
    }
    entry.kind = ScheduledInput::Kind::mouse;
    entry.buttons = static_cast<uint8_t>(value);
    return true;
}

} // namespace

bool parse_input_line(std::string_view line, std::optional<ScheduledInput>& entry,
                      std::string& problem) {
    entry.reset();
    std::string_view rest = line;
    const std::string_view tick = next_word(rest);
    if (tick.empty() || tick.front() == '#') return true;
    ScheduledInput input;
    if (!parse_int(tick, input.tick)) {
        problem =
            "the line must start with a tick, a whole number from 0, not " + std::string(tick);
        return false;
    }
    const std::string_view kind = next_word(rest);
    bool ok = false;
    if (kind == "key")
        ok = parse_key(trimmed(rest), input, problem);
    else if (kind == "mouse")
        ok = parse_mouse(rest, input, problem);
    else
        problem = kind.empty() ? "key or mouse must follow the tick"
                               : "key or mouse must follow the tick, not " + std::string(kind);
    if (ok) entry = std::move(input);
    return ok;
}

std::vector<ScheduledInput> parse_input_schedule(std::string_view text, const std::string& source) {
    std::vector<ScheduledInput> entries;
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        ++number;
        std::optional<ScheduledInput> entry;
        std::string problem;
        if (!parse_input_line(text.substr(start, end - start), entry, problem)) {
            // The problem may quote the line, which could carry control characters.
            for (char& c : problem)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
            throw ProfileError(source + ": line " + std::to_string(number) + ": " + problem);
        }
        if (entry) entries.push_back(std::move(*entry));
        start = end + 1;
    }
    return entries;
}

std::vector<ScheduledInput> load_input_schedule(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(file, error))) return {};
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ProfileError(file.string() + ": cannot open: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ProfileError(file.string() + ": cannot read: " + std::strerror(errno));
    return parse_input_schedule(text.str(), file.string());
}

std::string format_input(const ScheduledInput& entry) {
    std::string line = std::to_string(entry.tick);
    char buffer[64];
    switch (entry.kind) {
    case ScheduledInput::Kind::text:
        line += " key \"";
        for (const char c : entry.text) {
            switch (c) {
            case '\n':
                line += "\\n";
                break;
            case '\t':
                line += "\\t";
                break;
            case kBackspace:
                line += "\\b";
                break;
            case kEscape:
                line += "\\e";
                break;
            case '\\':
            case '"':
                line += '\\';
                line += c;
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned char>(c));
                    line += buffer;
                } else {
                    line += c;
                }
            }
        }
        line += '"';
        break;
    case ScheduledInput::Kind::scancode:
        std::snprintf(buffer, sizeof buffer, " key 0x%02X", entry.scancode);
        line += buffer;
        break;
    case ScheduledInput::Kind::mouse:
        std::snprintf(buffer, sizeof buffer, " mouse %d %d %u", entry.dx, entry.dy,
                      unsigned{entry.buttons});
        line += buffer;
        break;
    }
    return line;
}

} // namespace pcplat
