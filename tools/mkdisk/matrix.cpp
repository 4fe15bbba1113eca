#include "matrix.hpp"

#include "io.hpp"
#include "script_check.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

namespace mkdisk {

namespace {

constexpr const char* kDefaultScript = "tolvanex.des";
constexpr const char* kTranscriptSuffix = ".transcript";
constexpr size_t kNameLength = 40;
constexpr int kExitDeskFailed = 4;    // the platform's: the desk could not start
constexpr size_t kLongestDiff = 2000; // lines a side compared line by line; past it, whole

void write_text(const fs::path& path, const std::string& text) {
    vpack::OutputFile out(path.string(), true);
    out.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    out.commit();
}

std::string trim_right(std::string text) {
    text.erase(text.find_last_not_of(" \t\r") + 1);
    return text;
}

std::string hex4(uint16_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", unsigned{code});
    return text;
}

std::string shown_answers(const std::string& given) {
    return given.empty() ? "(none)" : given;
}

std::string exit_text(const RunResult& r) {
    if (r.timed_out) return "timed out";
    const std::string n = std::to_string(r.exit_status);
    switch (r.exit_status) {
    case 0:
        return n + " done";
    case 1:
        return n + " failed";
    case 2:
        return n + " stop";
    case 3:
        return n + " crashed";
    case kExitDeskFailed:
        return n + " no desk";
    case kStatusAnswersRanOut:
        return n + " answers ran out";
    default:
        return n;
    }
}

// The LCD's four lines as the table shows them, empty ones at the end left out: a line never
// written (all zeros) is empty.
std::string lcd_text(const DeskState& state) {
    std::vector<std::string> lines;
    for (int row = 0; row < 4; ++row) {
        std::string line = state.lcd[static_cast<size_t>(row)];
        if (line.find_first_not_of('.') == std::string::npos) line.clear();
        lines.push_back(trim_right(line));
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i)
        out += (i ? " | " : "") + lines[i];
    return out;
}

// A name for a file: letters, digits, '.', '-' and '_' kept, the rest '_'.
std::string slug(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, kNameLength))
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
    return out.empty() ? "none" : out;
}

// The combination's transcript file: readable, and unique through the digest of both names.
std::string record_name(const std::string& desk, const std::string& answers) {
    Digest digest;
    const std::string key = desk + '\n' + answers;
    digest.add(key.data(), key.size());
    return slug(fs::path(desk).filename().string()) + "--" + slug(answers) + "--" +
           Digest::hex(digest.value()).substr(0, 8) + kTranscriptSuffix;
}

// What the operator saw, as lines that compare well: the screen, the LCD's changes, the end.
std::string transcript(const RunResult& r, const std::string& desk, const std::string& answers) {
    std::ostringstream out;
    out << "desk: " << desk << "\nanswers: " << shown_answers(answers) << "\nscreen:\n";
    std::istringstream console(r.console);
    for (std::string line; std::getline(console, line);)
        out << "  " << line << '\n';
    if (!r.console.empty() && r.console.back() != '\n') out << "(no line feed at the end)\n";
    out << "LCD:\n";
    for (const LcdChange& change : r.lcd_changes)
        out << "  row " << change.row << " |" << change.text << "|\n";
    if (!r.errors.empty()) {
        out << "standard error:\n";
        std::istringstream errors(r.errors);
        for (std::string line; std::getline(errors, line);)
            out << "  " << line << '\n';
    }
    out << "exit status: " << exit_text(r) << '\n';
    return out.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines that differ, "-" the recorded and "+" the new, in order (a longest common
// subsequence; transcripts are short).
std::vector<std::string> line_differences(const std::string& recorded, const std::string& now) {
    const std::vector<std::string> a = split_lines(recorded), b = split_lines(now);
    std::vector<std::string> out;
    if (a.size() > kLongestDiff || b.size() > kLongestDiff) {
        out.emplace_back("- (" + std::to_string(a.size()) + " lines recorded)");
        out.emplace_back("+ (" + std::to_string(b.size()) + " lines now)");
        return out;
    }
    std::vector<std::vector<uint16_t>> common(a.size() + 1, std::vector<uint16_t>(b.size() + 1));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            common[i][j] = a[i] == b[j] ? static_cast<uint16_t>(common[i + 1][j + 1] + 1)
                                        : std::max(common[i + 1][j], common[i][j + 1]);
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            ++i, ++j;
        } else if (i < a.size() && (j == b.size() || common[i + 1][j] >= common[i][j + 1])) {
            out.push_back("- " + a[i++]);
        } else {
            out.push_back("+ " + b[j++]);
        }
    }
    return out;
}

std::string html_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

struct Row {
    std::string desk;
    std::string answers;
    const RunResult* result = nullptr;
    std::vector<std::string> labels;
    std::vector<std::string> installed;
};

void print_table(const std::vector<Row>& rows) {
    const std::vector<std::string> head{"desk",           "answers",   "exit", "error",
                                        "labels reached", "installed", "LCD"};
    std::vector<std::vector<std::string>> cells{head};
    for (const Row& row : rows) {
        std::string labels;
        for (const std::string& l : row.labels)
            labels += (labels.empty() ? "" : " ") + l;
        cells.push_back({row.desk, shown_answers(row.answers), exit_text(*row.result),
                         hex4(row.result->error_code), labels.empty() ? "-" : labels,
                         std::to_string(row.installed.size()) +
                             (row.installed.size() == 1 ? " file" : " files"),
                         lcd_text(row.result->after)});
    }
    std::vector<size_t> width(head.size(), 0);
    for (const auto& line : cells)
        for (size_t c = 0; c < line.size(); ++c)
            width[c] = std::max(width[c], line[c].size());
    for (const auto& line : cells) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c)
            text += line[c] + (c + 1 < line.size() ? std::string(width[c] - line[c].size() + 2, ' ')
                                                   : std::string());
        std::cout << trim_right(text) << '\n';
    }
}

std::string html_page(const std::string& disk, const std::string& script_name,
                      const std::vector<std::string>& script, const std::vector<Row>& rows,
                      const std::map<int, int>& runs_of_line, size_t combinations) {
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<title>Desk matrix: " << html_escape(disk) << "</title>\n<style>\n"
        << "body { font-family: sans-serif; margin: 1.5em; }\n"
        << "table { border-collapse: collapse; }\n"
        << "th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; "
           "vertical-align: top; }\n"
        << "pre, .script td, .lcd { font-family: monospace; white-space: pre; }\n"
        << ".script td { border: none; padding: 0 0.5em; }\n"
        << ".ran { background: #e3f6e3; }\n.never { background: #fbe0e0; }\n"
        << ".count { text-align: right; color: #555; }\n.bad { color: #b00000; }\n"
        << "</style>\n</head>\n<body>\n<h1>Desk matrix: " << html_escape(disk) << "</h1>\n";
    out << "<table class=\"matrix\">\n<tr><th>desk</th><th>answers</th><th>exit</th>"
        << "<th>error</th><th>labels reached</th><th>installed</th><th>LCD</th></tr>\n";
    for (const Row& row : rows) {
        const RunResult& r = *row.result;
        std::string labels, installed, lcd;
        for (const std::string& l : row.labels)
            labels += (labels.empty() ? "" : " ") + l;
        for (const std::string& f : row.installed)
            installed += html_escape(f) + "<br>";
        for (int line = 0; line < 4; ++line)
            lcd += html_escape(r.after.lcd[static_cast<size_t>(line)]) + (line < 3 ? "\n" : "");
        const bool bad = r.timed_out || r.exit_status >= 3;
        out << "<tr><td>" << html_escape(row.desk) << "</td><td>"
            << html_escape(shown_answers(row.answers)) << "</td><td"
            << (bad ? " class=\"bad\"" : "") << ">" << html_escape(exit_text(r)) << "</td><td>"
            << hex4(r.error_code) << "</td><td>" << html_escape(labels) << "</td><td>"
            << row.installed.size() << (row.installed.size() == 1 ? " file" : " files")
            << (installed.empty() ? "" : "<br>" + installed) << "</td><td class=\"lcd\">" << lcd
            << "</td></tr>\n";
    }
    out << "</table>\n<h2>Script " << html_escape(script_name) << "</h2>\n<p>Each command line "
        << "shows in how many of the " << combinations
        << " combinations it ran; never-run lines are marked.</p>\n<table class=\"script\">\n";
    for (size_t i = 0; i < script.size(); ++i) {
        const int line = static_cast<int>(i + 1);
        const auto it = runs_of_line.find(line);
        out << "<tr";
        if (it != runs_of_line.end())
            out << " class=\"" << (it->second ? "ran" : "never") << "\" data-line=\"" << line
                << "\" data-runs=\"" << it->second << "\"";
        out << "><td class=\"count\">"
            << (it == runs_of_line.end() ? std::string() : std::to_string(it->second) + "x")
            << "</td><td class=\"count\">" << line << "</td><td>"
            << html_escape(trim_right(script[i])) << "</td></tr>\n";
    }
    out << "</table>\n</body>\n</html>\n";
    return out.str();
}

} // namespace

std::optional<std::string> decode_answers(const std::string& text, std::string& problem) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        const char e = i + 1 < text.size() ? text[++i] : '\0';
        if (e == 'n') {
            out += '\n';
        } else if (e == 't') {
            out += '\t';
        } else if (e == '\\') {
            out += '\\';
        } else if (e == 'x' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            problem = "--answers '" + text + "': unknown escape '\\" + std::string(e ? 1 : 0, e) +
                      "' (\\n is Enter; \\t, \\\\ and \\xNN work too)";
            return std::nullopt;
        }
    }
    return out;
}

int matrix(const Bench& bench, const MatrixOptions& o) {
    // Everything is checked before the first run, so bad input costs no time.
    std::error_code error;
    if (!fs::is_directory(o.disk, error)) throw RunError("no disk folder " + o.disk.string());
    const std::string script_name = o.script.empty() ? kDefaultScript : o.script;
    if (!fs::is_regular_file(o.disk / script_name, error))
        throw RunError("no script " + script_name + " on the disk " + o.disk.string());
    std::vector<StartingDesk> desks;
    for (const std::string& d : o.desks)
        desks.push_back(check_starting_desk(d));
    std::vector<std::string> keys;
    for (const std::string& a : o.answers) {
        std::string problem;
        const std::optional<std::string> decoded = decode_answers(a, problem);
        if (!decoded) throw RunError(problem);
        keys.push_back(*decoded);
    }
    if (::access(bench.tolvanex.c_str(), X_OK) != 0)
        throw RunError("no upgrade program at " + bench.tolvanex.string());
    if (!o.check.empty() && !fs::is_directory(o.check, error))
        throw RunError("no recorded transcripts in " + o.check + ": not a folder");

    std::vector<Run> runs;
    for (const StartingDesk& desk : desks)
        for (const std::string& k : keys) {
            Run run;
            run.disk = o.disk;
            run.desk = desk;
            run.script = o.script;
            run.answers = k;
            run.time_limit = std::chrono::milliseconds(static_cast<int64_t>(o.time_limit_s * 1000));
            runs.push_back(std::move(run));
        }
    const unsigned workers = workers_for(runs.size(), o.jobs);
    const bool terminal = ::isatty(STDERR_FILENO);
    const auto progress = [&](size_t done, size_t total) {
        if (!terminal) return;
        std::fprintf(stderr, "\rmkdisk: matrix: %zu of %zu runs done on %u workers", done, total,
                     workers);
        if (done == total) std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    };
    const std::vector<RunResult> results = run_all(bench, runs, workers, progress);

    const std::string script_text = read_text(o.disk / script_name);
    const std::vector<ScriptCommand> commands = script_commands(script_text);
    std::map<int, std::string> label_at;
    std::map<int, int> runs_of_line; // every command line, and how many runs ran it
    for (const ScriptCommand& c : commands) {
        runs_of_line.emplace(c.line, 0);
        if (c.word == "LABEL") label_at.emplace(c.line, c.argument);
    }

    std::vector<Row> rows;
    int status = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        const RunResult& r = results[i];
        Row row{o.desks[i / keys.size()], o.answers[i % keys.size()], &r, {}, r.installed()};
        const std::set<int> ran(r.lines.begin(), r.lines.end());
        for (const int line : ran)
            ++runs_of_line[line];
        std::set<std::string> seen;
        for (const int line : r.lines)
            if (const auto it = label_at.find(line);
                it != label_at.end() && seen.insert(it->second).second)
                row.labels.push_back(it->second);
        const std::string which = row.desk + ", answers " + shown_answers(row.answers);
        if (r.answers_ran_out()) {
            std::cerr << "mkdisk: " << which << ": the answers ran out"
                      << (r.lines.empty()
                              ? std::string()
                              : " at " + script_name + ":" + std::to_string(r.lines.back()))
                      << '\n';
            status = 1;
        } else if (r.timed_out) {
            std::cerr << "mkdisk: " << which << ": no end within " << o.time_limit_s << " s\n";
            status = 1;
        } else if (r.exit_status == kExitDeskFailed || r.exit_status == 3 || r.exit_status >= 6) {
            const std::string reason = r.errors.substr(0, r.errors.find('\n'));
            std::cerr << "mkdisk: " << which << ": " << exit_text(r)
                      << (reason.empty() ? std::string() : ": " + reason) << '\n';
            status = 1;
        }
        rows.push_back(std::move(row));
    }

    print_table(rows);
    std::vector<int> never;
    for (const auto& [line, count] : runs_of_line)
        if (!count) never.push_back(line);
    const std::vector<std::string> script_lines = split_lines(script_text);
    std::cout << "\nScript coverage of " << script_name << ": "
              << runs_of_line.size() - never.size() << " of " << runs_of_line.size()
              << " command lines ran in at least one combination";
    std::cout << (never.empty() ? std::string(".\n") : "; never ran:\n");
    for (const int line : never) {
        const std::string text = static_cast<size_t>(line) <= script_lines.size()
                                     ? trim_right(script_lines[static_cast<size_t>(line - 1)])
                                     : std::string();
        std::cout << "  " << script_name << ":" << line << "  " << text << '\n';
    }
    std::cout << results.size() << (results.size() == 1 ? " run" : " runs") << " on " << workers
              << (workers == 1 ? " worker" : " workers") << ".\n";

    if (!o.html.empty())
        write_text(o.html, html_page(o.disk.string(), script_name, script_lines, rows, runs_of_line,
                                     results.size()));

    std::vector<std::pair<std::string, std::string>> transcripts;
    for (const Row& row : rows)
        transcripts.emplace_back(record_name(row.desk, row.answers),
                                 transcript(*row.result, row.desk, row.answers));
    if (!o.check.empty()) {
        size_t differ = 0;
        std::set<std::string> names;
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& [name, now] = transcripts[i];
            names.insert(name);
            const fs::path file = fs::path(o.check) / name;
            const std::string which = rows[i].desk + ", answers " + shown_answers(rows[i].answers);
            if (!fs::is_regular_file(file, error)) {
                std::cout << "\n" << which << ": not recorded in " << o.check << '\n';
                ++differ;
                continue;
            }
            const std::vector<std::string> lines = line_differences(read_text(file), now);
            if (lines.empty()) continue;
            ++differ;
            std::cout << "\n" << which << ": differs from " << file.string() << ":\n";
            for (const std::string& line : lines)
                std::cout << "  " << line << '\n';
        }
        for (const auto& entry : fs::directory_iterator(o.check))
            if (entry.path().extension() == kTranscriptSuffix &&
                !names.count(entry.path().filename().string())) {
                std::cout << "\n"
                          << entry.path().string() << ": recorded, but no longer in the matrix\n";
                ++differ;
            }
        std::cout << "\nCheck against " << o.check << ": "
                  << (differ ? std::to_string(differ) + " of the transcripts differ"
                             : std::string("no differences"))
                  << ".\n";
        if (differ) status = 1;
    }
    if (!o.record.empty()) {
        fs::create_directories(o.record);
        for (const auto& [name, text] : transcripts)
            write_text(fs::path(o.record) / name, text);
        std::cout << "Recorded " << transcripts.size() << " transcripts in " << o.record << ".\n";
    }
    std::cout << std::flush;
    return status;
}

} // namespace mkdisk
