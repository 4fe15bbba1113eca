#include "rehearse.hpp"

#include "machine/power_cut.hpp"
#include "matrix.hpp"
#include "tool_cli.hpp"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <sstream>

namespace mkdisk {

namespace {

constexpr const char* kDefaultScript = "tolvanex.des";
constexpr int kStatusEnd = 0;  // the script came to an END
constexpr int kStatusStop = 2; // ... or to a STOP
constexpr size_t kBarWidth = 30;

// What was happening at a step: the script line, its command word, and the step itself.
struct CutPoint {
    uint64_t step = 0;
    int line = 0;
    std::string command;
    std::string change; // "rename C:\APP\~TVX0000.TMP C:\APP\APP.EXE"
};

enum class Outcome : uint8_t { same, differs, failed };

struct Verdict {
    Outcome outcome = Outcome::same;
    std::string text;
};

// The command word of each line of the script (its first word), by line number from 1.
std::vector<std::string> command_words(const std::string& script) {
    std::vector<std::string> words(1);
    std::istringstream in(script);
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(" \t");
        const size_t end = line.find_first_of(" \t\r", start);
        words.push_back(start == std::string::npos ? "" : line.substr(start, end - start));
    }
    return words;
}

std::vector<CutPoint> cut_points_of(const RunResult& run, const std::string& script) {
    const std::vector<std::string> words = command_words(script);
    std::vector<CutPoint> points;
    for (const StepRecord& step : run.steps) {
        CutPoint point;
        point.step = points.size() + 1;
        point.change = step.kind + " " + step.what;
        if (step.commands > 0 && step.commands <= run.lines.size()) {
            point.line = run.lines[step.commands - 1];
            if (point.line > 0 && static_cast<size_t>(point.line) < words.size())
                point.command = words[static_cast<size_t>(point.line)];
        }
        points.push_back(std::move(point));
    }
    return points;
}

std::string join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

Verdict judge(const RunResult& uncut, const RunResult& cut, uint64_t step) {
    char text[160];
    if (cut.cut_status != pcplat::kExitPowerCut) {
        // The run took another way before the step came: the run is not repeatable.
        std::snprintf(text, sizeof text,
                      "run failed: the power cut did not come (the run ended with status %d "
                      "before step %" PRIu64 ")",
                      cut.cut_status, step);
        return {Outcome::failed, text};
    }
    if (cut.timed_out) return {Outcome::failed, "run failed: the run after the cut timed out"};
    if (cut.answers_ran_out())
        return {Outcome::failed, "run failed: the answers ran out in the run after the cut"};
    // Another way to a good end (the disk finds its work done) is no failure; an error the
    // uninterrupted run did not meet, or an end it did not come to, is.
    const bool good_end = cut.exit_status == kStatusEnd || cut.exit_status == kStatusStop;
    if ((cut.exit_status != uncut.exit_status && !good_end) ||
        (cut.error_code != 0 && uncut.error_code == 0)) {
        std::snprintf(text, sizeof text, "run failed: error code 0x%04X, status %d",
                      unsigned{cut.error_code}, cut.exit_status);
        return {Outcome::failed, text};
    }
    const std::vector<std::string> differences =
        lasting_differences(uncut.before, uncut.after, cut.after);
    if (differences.empty()) return {Outcome::same, "same"};
    return {Outcome::differs, "differs: " + join(differences)};
}

// A bar on standard error while it is a terminal; nothing when it is not.
class ProgressBar {
  public:
    explicit ProgressBar(size_t total) : total_(total), shown_(::isatty(STDERR_FILENO) != 0) {}
    ~ProgressBar() { clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void show(size_t done) {
        if (!shown_ || total_ == 0) return;
        const size_t filled = done * kBarWidth / total_;
        const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, ' ');
        std::fprintf(stderr, "\r[%s] %zu/%zu cut points", bar.c_str(), done, total_);
        std::fflush(stderr);
    }
    void clear() {
        if (!shown_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }

  private:
    size_t total_;
    bool shown_;
};

} // namespace

int rehearse(const Bench& bench, const RehearseOptions& options) {
    std::string problem;
    const std::optional<std::string> answers = decode_answers(options.answers, problem);
    if (!answers) throw RunError("--answers: " + problem);
    Run run;
    run.disk = options.disk;
    run.desk = check_starting_desk(options.desk);
    run.script = options.script;
    run.answers = *answers;
    run.time_limit = std::chrono::milliseconds(static_cast<int64_t>(options.time_limit_s * 1000));

    const RunResult uncut = run_desk(bench, run);
    const std::string script_name = run.script.empty() ? kDefaultScript : run.script;
    if (uncut.timed_out) {
        std::ostringstream limit;
        limit << options.time_limit_s;
        throw RunError("the run did not end within " + limit.str() + " s");
    }
    if (uncut.answers_ran_out())
        throw RunError("the answers ran out: the program waited for a key after them" +
                       (uncut.lines.empty()
                            ? std::string()
                            : " at " + script_name + ":" + std::to_string(uncut.lines.back())));
    if (uncut.exit_status > kStatusStop) {
        // The desk did not start, the program crashed or could not run its script.
        const std::string reason = uncut.errors.substr(0, uncut.errors.find('\n'));
        throw RunError("the run ended with status " + std::to_string(uncut.exit_status) +
                       (reason.empty() ? std::string() : ": " + reason));
    }
    const std::string script = read_text(run.disk / script_name);
    const std::vector<CutPoint> points = cut_points_of(uncut, script);

    std::vector<Run> runs;
    std::vector<const CutPoint*> chosen;
    for (const CutPoint& point : points) {
        if (point.step % options.every != 0) continue;
        Run cut = run;
        cut.power_cut_after = point.step;
        runs.push_back(std::move(cut));
        chosen.push_back(&point);
    }
    const unsigned workers = workers_for(runs.size(), options.jobs);
    std::printf("%zu steps change the desk's lasting state; the power is cut after %zu of them, "
                "%u worker%s\n",
                points.size(), runs.size(), workers, workers == 1 ? "" : "s");
    std::fflush(stdout);

    ProgressBar bar(runs.size());
    bar.show(0);
    const std::vector<RunResult> results =
        run_all(bench, runs, workers, [&bar](size_t done, size_t) { bar.show(done); });
    bar.clear();

    const int step_width = static_cast<int>(std::to_string(points.size()).size());
    size_t same = 0, differ = 0, failed = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        const CutPoint& point = *chosen[i];
        const Verdict verdict = judge(uncut, results[i], point.step);
        ++(verdict.outcome == Outcome::same      ? same
           : verdict.outcome == Outcome::differs ? differ
                                                 : failed);
        std::printf("step %*" PRIu64 "  line %d %s  %s: %s\n", step_width, point.step, point.line,
                    point.command.c_str(), point.change.c_str(), verdict.text.c_str());
    }
    std::printf("%zu cut point%s: %zu same, %zu differ", runs.size(), runs.size() == 1 ? "" : "s",
                same, differ);
    if (failed) std::printf(", %zu run%s failed", failed, failed == 1 ? "" : "s");
    std::printf("\n");
    return differ + failed == 0 ? tools::kExitOk : tools::kExitFailed;
}

} // namespace mkdisk
