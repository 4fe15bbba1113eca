// desksim schedule: the desk's input-schedule file, the keys and mouse events a machine on the
// desk delivers at chosen timer ticks. Entries are checked by the same reader the machine uses,
// and the file is replaced whole, so a machine starting meanwhile reads the old or the new one.
#include "desk/desk.hpp"
#include "desk/profile.hpp"
#include "desksim.hpp"
#include "machine/input_schedule.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace desksim {

namespace {

constexpr const char* kNewFileHeader =
    "# Input for this desk, delivered at timer ticks counted from power-on by every machine that\n"
    "# starts on it: TICK key \"TEXT\", TICK key 0xHH (a make code) or TICK mouse DX DY BUTTONS.\n";

bool is_scan_code(const std::string& word) {
    return word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') &&
           word.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
}

// The argument of key as the file writes it: a scan code or quoted text as given, anything else
// quoted here (its escapes such as \n kept).
std::string key_argument(const std::string& word) {
    if (is_scan_code(word) || (!word.empty() && word.front() == '"')) return word;
    std::string quoted = "\"";
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '\\' && i + 1 < word.size()) {
            quoted += word[i];
            quoted += word[++i];
        } else {
            if (word[i] == '"') quoted += '\\';
            quoted += word[i];
        }
    }
    return quoted + '"';
}

std::string read_text(const fs::path& path, bool& exists) {
    std::error_code error;
    exists = fs::exists(fs::symlink_status(path, error));
    if (!exists) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int add(const fs::path& path, const std::vector<std::string>& words) {
    if (words.size() < 2) return fail("add needs TICK key TEXT|0xHH or TICK mouse DX DY BUTTONS");
    std::string line = words[0] + " " + words[1];
    if (words[1] == "key") {
        if (words.size() != 3)
            return fail("key takes one TEXT (quote it for the shell if it has blanks) or one "
                        "scan code 0xHH");
        line += " " + key_argument(words[2]);
    } else {
        for (size_t i = 2; i < words.size(); ++i)
            line += " " + words[i];
    }
    std::optional<pcplat::ScheduledInput> entry;
    std::string problem;
    if (!pcplat::parse_input_line(line, entry, problem) || !entry)
        return fail("cannot schedule that: " + (problem.empty() ? "nothing given" : problem));
    bool exists = false;
    std::string text = read_text(path, exists);
    // What is there already must be good, or the desk would not start with it either.
    pcplat::parse_input_schedule(text, path.string());
    if (!exists) text = kNewFileHeader;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += pcplat::format_input(*entry) + '\n';
    ReplacedFile out(path);
    out.write(text.data(), text.size());
    out.commit();
    return write_out("scheduled: " + pcplat::format_input(*entry) + '\n') ? 0 : 1;
}

int list(const fs::path& path) {
    bool exists = false;
    auto entries = pcplat::parse_input_schedule(read_text(path, exists), path.string());
    if (entries.empty()) return write_out("nothing is scheduled on this desk\n") ? 0 : 1;
    // In the order they arrive.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.tick < b.tick; });
    std::string out;
    for (const auto& entry : entries)
        out += pcplat::format_input(entry) + '\n';
    return write_out(out) ? 0 : 1;
}

int clear(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error)))
        return write_out("nothing was scheduled on this desk\n") ? 0 : 1;
    if (!fs::remove(path, error) || error)
        return fail("cannot remove " + path.string() + ": " + error.message());
    return write_out("cleared " + path.string() + "\n") ? 0 : 1;
}

} // namespace

int run_schedule(const std::string& desk, ScheduleAction action,
                 const std::vector<std::string>& words) {
    const auto folder = desk_folder(desk, "input schedule");
    if (!folder) return 1;
    const fs::path path = *folder / pcplat::desk::kInputScheduleFile;
    try {
        switch (action) {
        case ScheduleAction::add:
            return add(path, words);
        case ScheduleAction::list:
            return list(path);
        case ScheduleAction::clear:
            return clear(path);
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 1;
}

} // namespace desksim
