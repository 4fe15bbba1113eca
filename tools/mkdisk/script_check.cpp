#include "script_check.hpp"

#include "card_image.hpp"
#include "engine/keywords.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace mkdisk {

namespace {

// The command words and numbers, as the program has them.
using namespace tolvanex;
constexpr int kNotFound = -1; // a word that is no command
constexpr size_t kLineLimit = kArgumentLimit;
constexpr std::array<std::string_view, 3> kGfxDrivers{"gfx_s31m.dl_", "gfx_s32m.dl_",
                                                      "gfx_vesa.dl_"};

bool takes_argument(int k) {
    switch (k) {
    case kEnd:
    case kLabel: // its name is free text in normal running
    case kStop:
    case kClearDisplay:
    case kClearLcd:
    case kPrintErrorCode:
    case kQuit:
        return false;
    default:
        return true;
    }
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The script as the program reads it: character by character, after text-mode CR LF folding.
class Reader {
  public:
    explicit Reader(std::string text) : text_(std::move(text)) {}

    struct Word {
        int command = kNotFound;
        std::string word;
        bool end_of_file = false;
        size_t at = 0; // the '#'
    };

    Word read_word(size_t& pos) const {
        Word w;
        while (pos < text_.size() && text_[pos] != '#')
            ++pos;
        if (pos == text_.size()) {
            w.end_of_file = true;
            return w;
        }
        w.at = pos++;
        for (;;) {
            if (w.word.size() == kLongestWord) return w;
            if (pos == text_.size()) {
                w.end_of_file = true;
                return w;
            }
            const char c = text_[pos++];
            if (!is_letter(c)) break;
            w.word += c;
        }
        for (size_t i = 0; i < kKeywords.size(); ++i)
            if (same_ignoring_case(w.word, kKeywords[i])) {
                w.command = static_cast<int>(i);
                break;
            }
        return w;
    }

    // The argument line; nullopt when the end of the file cuts it off. cut: longer than the
    // program takes.
    std::optional<std::string> read_argument(size_t& pos, bool& cut) const {
        std::string line;
        cut = false;
        while (line.size() < kLineLimit) {
            if (pos == text_.size()) return std::nullopt;
            const char c = text_[pos++];
            if (c == '\n') return line;
            line += c;
        }
        cut = pos < text_.size() && text_[pos] != '\n';
        return line;
    }

    int line_of(size_t pos) const {
        return 1 + static_cast<int>(std::count(
                       text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
    }

  private:
    std::string text_;
};

enum class Search { found, end_of_file, unknown_word, cut_label };

// The program's label search: words are read from pos; only LABEL reads its line.
Search search_label(const Reader& reader, size_t pos, const std::string& label) {
    for (;;) {
        Reader::Word w = reader.read_word(pos);
        if (w.end_of_file) return Search::end_of_file;
        if (w.command == kNotFound) return Search::unknown_word;
        if (w.command != kLabel) continue;
        bool cut = false;
        std::optional<std::string> name = reader.read_argument(pos, cut);
        if (!name) return Search::cut_label;
        if (same_ignoring_case(*name, label)) return Search::found;
    }
}

// "x.y" somewhere in the text, as the program reads a version bound.
bool holds_version(std::string_view text) {
    size_t i = text.find_first_of("0123456789");
    if (i == std::string_view::npos) return false;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        ++i;
    return i + 1 < text.size() && text[i] == '.' &&
           std::isdigit(static_cast<unsigned char>(text[i + 1]));
}

// Whether the program finds a number at the start of text, as "%ld" or "%lX" reads one.
bool holds_number(const std::string& text, int base) {
    char* end = nullptr;
    std::strtoul(text.c_str(), &end, base);
    return end != text.c_str();
}

// A path on the upgrade disk (drive A: or the current drive), as opposed to the desk's drives.
bool on_disk(std::string_view path) {
    return path.size() < 2 || path[1] != ':' || path[0] == 'A' || path[0] == 'a';
}

// The name COPY looks up in the checksum list: the path without its drive prefix (three
// characters, whatever they are).
std::string list_name(const std::string& path) {
    return path.size() > 3 ? path.substr(3) : std::string();
}

class Checker {
  public:
    Checker(const std::string& text, const ScriptFacts& facts)
        : reader_(fold_crlf(text)), facts_(facts) {}

    std::vector<Finding> run() {
        size_t pos = 0;
        bool ends = false;
        for (;;) {
            Reader::Word w = reader_.read_word(pos);
            if (w.end_of_file) {
                if (!w.word.empty())
                    report(w.at, "the script ends inside the command word '#" + w.word + "'");
                break;
            }
            if (w.command == kNotFound) {
                report(w.at, "'#" + w.word + "' is not a command: the run would fail here");
                continue;
            }
            if (w.command == kEnd || w.command == kQuit) ends = true;
            if (!takes_argument(w.command)) continue;
            bool cut = false;
            std::optional<std::string> line = reader_.read_argument(pos, cut);
            if (!line) {
                report(w.at, "the end of the file cuts off the argument line of #" +
                                 std::string(kKeywords[static_cast<size_t>(w.command)]) +
                                 ": the run would fail");
                break;
            }
            if (cut)
                report(w.at, "the argument line of #" +
                                 std::string(kKeywords[static_cast<size_t>(w.command)]) +
                                 " is longer than 119 characters and would be cut");
            command(w, *line, pos);
        }
        if (!ends)
            findings_.push_back(
                {0, "no #END or #QUIT: the run would fail at the end of the script"});
        std::stable_sort(findings_.begin(), findings_.end(),
                         [](const Finding& a, const Finding& b) { return a.line < b.line; });
        return findings_;
    }

  private:
    static std::string fold_crlf(const std::string& text) {
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
        return out;
    }

    void report(size_t at, std::string text) {
        findings_.push_back({reader_.line_of(at), std::move(text)});
    }

    void command(const Reader::Word& w, const std::string& line, size_t after) {
        const std::string name(kKeywords[static_cast<size_t>(w.command)]);
        switch (w.command) {
        case kJump:
        case kReqJump:
        case kChecksumAllFiles:
            label(w, name, line, after);
            break;
        case kJumpBack:
        case kReqJumpBack:
            label(w, name, line, 0);
            break;
        case kCopy:
        case kCopyGfx: {
            const size_t comma = line.find(',');
            const size_t blank = comma == std::string::npos ? comma : line.find(' ', comma + 1);
            if (blank == std::string::npos || blank + 1 >= kLineLimit) {
                report(w.at, "#" + name + " needs 'label,source destination': the run would fail");
                return;
            }
            label(w, name, line.substr(0, comma), after);
            const std::string source = line.substr(comma + 1, blank - comma - 1);
            if (w.command == kCopy)
                copy_source(w, source);
            else
                gfx_sources(w, source);
            break;
        }
        case kCheckDeskType:
        case kMakeDir: {
            const size_t comma = line.find(',');
            if (comma == std::string::npos) {
                report(w.at, "#" + name + " needs 'label,...': the run would fail");
                return;
            }
            if (w.command == kCheckDeskType && !holds_number(line.substr(comma + 1), 10)) {
                report(w.at, "#CHECKDESKTYPE needs 'label,desk type' with the type a number (0, 1 "
                             "or 2): the run would fail");
                return;
            }
            label(w, name, line.substr(0, comma), after);
            break;
        }
        case kUploadPcif:
            card_image(w, line);
            break;
        case kWipeNvr:
            if (!holds_number(line, 16))
                report(w.at, "#WIPENVR needs the NVR's address in hexadecimal (F00000 or D4000): "
                             "the run would fail");
            break;
        case kCheckVersion: {
            std::vector<std::string> fields;
            size_t start = 0;
            for (int i = 0; i < 3; ++i) {
                size_t comma = line.find(',', start);
                fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos
                                                                               : comma - start));
                start = comma == std::string::npos ? line.size() : comma + 1;
            }
            if (!holds_version(fields[1]) || !holds_version(fields[2])) {
                report(w.at, "#CHECKVERSION needs two versions such as 3.7: the run would fail");
                return;
            }
            label(w, name, line.substr(std::min(start, line.size())), after);
            break;
        }
        default:
            break;
        }
    }

    void label(const Reader::Word& w, const std::string& name, const std::string& target,
               size_t from) {
        switch (search_label(reader_, from, target)) {
        case Search::found:
            return;
        case Search::end_of_file:
            report(w.at, "#" + name + " names the label '" + target + "', which no #LABEL " +
                             (from ? "after it" : "in the script") + " defines");
            return;
        case Search::unknown_word:
            report(w.at,
                   "#" + name + " to '" + target +
                       "': the search for the label meets a word that is not a command first");
            return;
        case Search::cut_label:
            report(w.at, "#" + name + " to '" + target +
                             "': the search meets a #LABEL cut off by the end of the file");
            return;
        }
    }

    void copy_source(const Reader::Word& w, const std::string& pattern) {
        if (!on_disk(pattern)) return; // the desk's own drives: nothing to check here
        const std::vector<std::string> found = facts_.matches(pattern);
        if (found.empty()) {
            report(w.at, "#COPY source '" + pattern + "' matches no file on the disk");
            return;
        }
        for (const std::string& path : found)
            if (!facts_.listed(list_name(path)))
                report(w.at, "#COPY of " + path + ": '" + list_name(path) +
                                 "' is not in checksum.dat, so the copy would fail");
    }

    void gfx_sources(const Reader::Word& w, const std::string& prefix) {
        if (!on_disk(prefix)) return;
        // A chip's own driver may be left off the disk: COPYGFX then installs the generic
        // one, which must be there. A driver on the disk but not in the list fails its copy.
        for (std::string_view driver : kGfxDrivers) {
            const std::string path = prefix + std::string(driver);
            if (!facts_.exists(path)) {
                if (driver == kGfxDrivers.back())
                    report(w.at, "#COPYGFX: the generic driver " + path +
                                     " is not on the disk, and every desk may need it");
            } else if (!facts_.listed(list_name(path))) {
                report(w.at, "#COPYGFX: '" + list_name(path) + "' is not in checksum.dat");
            }
        }
    }

    // The program opens the path as written and walks the whole image before the card sees its
    // end block; a bad header sends nothing, a bad record stops the upload after the ones before.
    void card_image(const Reader::Word& w, const std::string& path) {
        if (!on_disk(path)) return;
        const std::string what = "#UPLOADPCIF: ";
        if (path.empty()) {
            report(w.at, what + "no image path: the card would get nothing");
            return;
        }
        if (!facts_.exists(path)) {
            report(w.at, what + "the image " + path + " is not on the disk");
            return;
        }
        const std::optional<std::vector<uint8_t>> bytes = facts_.read(path);
        if (!bytes) {
            report(w.at, what + "the image " + path + " cannot be read");
            return;
        }
        const CardParse parsed = parse_card_image(*bytes);
        if (!parsed.problem) return;
        const bool records_sent =
            parsed.header == CardHeader::all && parsed.image.format == kCardFormat;
        report(w.at, what + path + " " + parsed.problem->text +
                         (records_sent ? "; the upload would stop there, without its end block"
                                       : "; the card would get no image"));
    }

    Reader reader_;
    const ScriptFacts& facts_;
    std::vector<Finding> findings_;
};

} // namespace

std::vector<Finding> check_script(const std::string& text, const ScriptFacts& facts) {
    return Checker(text, facts).run();
}

std::vector<ScriptCommand> script_commands(const std::string& text) {
    const Reader reader(text);
    std::vector<ScriptCommand> out;
    size_t pos = 0;
    for (;;) {
        const Reader::Word w = reader.read_word(pos);
        if (w.end_of_file) break;
        if (w.command == kNotFound) continue;
        ScriptCommand command{reader.line_of(w.at), kKeywords[static_cast<size_t>(w.command)], {}};
        // A word that the line feed ended has no argument on its line.
        if (text[pos - 1] != '\n') {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            command.argument = text.substr(pos, end - pos);
        }
        const size_t first = command.argument.find_first_not_of(" \t\r");
        const size_t last = command.argument.find_last_not_of(" \t\r");
        command.argument = first == std::string::npos
                               ? std::string()
                               : command.argument.substr(first, last - first + 1);
        out.push_back(std::move(command));
        if (!takes_argument(w.command)) continue;
        bool cut = false;
        if (!reader.read_argument(pos, cut)) break;
    }
    return out;
}

} // namespace mkdisk
