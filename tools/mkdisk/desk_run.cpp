#include "desk_run.hpp"

#include "desk/desk.hpp"
#include "desk/profile.hpp"
#include "machine/bench_trace.hpp"
#include "machine/machine.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace mkdisk {

namespace {

constexpr const char* kTraceFile = "trace";
constexpr int kPollMs = 50; // how soon a stop or the time limit is seen
constexpr size_t kChunk = 65536;

std::string error_text(int error) {
    return std::strerror(error);
}

// A file descriptor closed with its owner.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

void make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    // Close-on-exec: a program started by another worker must not hold this run's pipe open.
    if (::pipe2(fds, O_CLOEXEC) != 0) throw RunError("cannot make a pipe: " + error_text(errno));
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
}

uint64_t file_digest(const fs::path& path, uint64_t& size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw RunError("cannot read " + path.string());
    Digest digest;
    std::vector<char> buffer(kChunk);
    size = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<size_t>(in.gcount());
        digest.add(buffer.data(), got);
        size += got;
    }
    if (in.bad()) throw RunError("cannot read " + path.string());
    return digest.value();
}

// Every file and folder below a drive's folder, DOS style.
void list_drive(char letter, const fs::path& root, std::vector<DeskFile>& out) {
    std::error_code error;
    if (!fs::is_directory(root, error)) return;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string path{letter, ':'};
        for (const fs::path& part : it->path().lexically_relative(root)) {
            path += '\\';
            path += part.string();
        }
        DeskFile file;
        if (it->is_directory()) {
            file.path = path + "\\";
        } else {
            file.path = path;
            file.digest = file_digest(it->path(), file.size);
        }
        out.push_back(std::move(file));
    }
}

// Copies a folder, links followed, so the copy holds everything a run may change.
void copy_folder(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy(from, to, fs::copy_options::recursive, error);
    if (error) throw RunError("cannot copy " + from.string() + ": " + error.message());
}

// Whether the program, running as this process does, could change anything in the folder.
bool writable(const fs::path& folder) {
    if (::access(folder.c_str(), W_OK) == 0) return true;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error))
        if (::access(entry.path().c_str(), W_OK) == 0) return true;
    return false;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A child's status as a shell shows it.
int shell_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 128;
}

// The program's environment: this process's, without anything that would point the program at
// another desk or hook, then the run's own settings.
std::vector<std::string> child_environment(const WorkDesk& desk, const fs::path& trace,
                                           const Run& run) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string_view setting(*e);
        if (setting.starts_with("DESKSIM=") || setting.starts_with("PCPLAT_")) continue;
        out.emplace_back(setting);
    }
    out.push_back("DESKSIM=" + desk.desk().string());
    out.push_back(std::string(pcplat::BenchTrace::kVariable) + "=" + trace.string());
    out.push_back(std::string(pcplat::Machine::kUnattendedVariable) + "=1");
    for (const auto& [name, value] : run.environment)
        out.push_back(name + "=" + value);
    return out;
}

struct Trace {
    std::vector<uint32_t> commands;
    std::vector<LcdChange> lcd;
    std::optional<uint16_t> error_code;
    std::vector<StepRecord> steps;
};

Trace read_trace(const fs::path& path) {
    Trace trace;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("command ")) {
            trace.commands.push_back(
                static_cast<uint32_t>(std::strtoul(line.c_str() + 8, nullptr, 10)));
        } else if (line.starts_with("error ")) {
            trace.error_code = static_cast<uint16_t>(std::strtoul(line.c_str() + 6, nullptr, 16));
        } else if (line.starts_with("lcd ") && line.size() > 7 && line.back() == '|') {
            const int row = line[4] - '0';
            const size_t bar = line.find('|');
            if (row < 0 || row >= kLcdRows || bar == std::string::npos) continue;
            trace.lcd.push_back(
                {trace.commands.size(), row, line.substr(bar + 1, line.size() - bar - 2)});
        } else if (line.starts_with("step ")) {
            // "step K KIND WHAT": the steps come numbered in order, K is their count.
            const size_t kind = line.find(' ', 5);
            if (kind == std::string::npos) continue;
            const size_t what = line.find(' ', kind + 1);
            trace.steps.push_back(
                {trace.commands.size(), line.substr(kind + 1, what - kind - 1),
                 what == std::string::npos ? std::string() : line.substr(what + 1)});
        }
    }
    return trace;
}

} // namespace

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Digest::add(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        value_ ^= bytes[i];
        value_ *= 0x100000001b3ull;
    }
}

std::string Digest::hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

StartingDesk check_starting_desk(const fs::path& path) {
    std::error_code error;
    StartingDesk desk{path, fs::is_directory(path, error), path.string()};
    fs::path profile_file = path;
    if (desk.folder) {
        profile_file = path / pcplat::desk::kProfileFile;
        if (!fs::is_regular_file(profile_file, error))
            throw RunError(path.string() + " is not a desk: it holds no " +
                           pcplat::desk::kProfileFile);
    } else if (!fs::is_regular_file(path, error)) {
        throw RunError("no desk " + path.string() + ": neither a desk folder nor a profile");
    }
    pcplat::Profile profile;
    try {
        profile = pcplat::load_profile(profile_file);
    } catch (const pcplat::ProfileError& e) {
        throw RunError(e.what());
    }
    for (const auto& [letter, folder] : profile.drives) {
        const fs::path relative = fs::path(folder).lexically_normal();
        if (relative.is_absolute() || relative.empty() || *relative.begin() == "..")
            throw RunError(profile_file.string() + ": drives." + letter + ": " + folder +
                           " lies outside the desk folder, which a copy of the desk cannot hold");
    }
    return desk;
}

std::vector<std::string> state_differences(const DeskState& a, const DeskState& b) {
    std::vector<std::string> out;
    std::map<std::string, const DeskFile*> in_b;
    for (const DeskFile& f : b.files)
        in_b.emplace(f.path, &f);
    std::set<std::string> seen;
    for (const DeskFile& f : a.files) {
        seen.insert(f.path);
        const auto it = in_b.find(f.path);
        if (it == in_b.end() || !(*it->second == f)) out.push_back(f.path);
    }
    for (const DeskFile& f : b.files)
        if (!seen.count(f.path)) out.push_back(f.path);
    std::sort(out.begin(), out.end());
    if (a.nvr != b.nvr) out.emplace_back("NVR");
    const size_t blocks = std::max(a.card_blocks.size(), b.card_blocks.size());
    for (size_t i = 0; i < blocks; ++i)
        if (i >= a.card_blocks.size() || i >= b.card_blocks.size() ||
            a.card_blocks[i] != b.card_blocks[i])
            out.push_back("card block " + std::to_string(i + 1));
    for (int row = 0; row < kLcdRows; ++row)
        if (a.lcd[static_cast<size_t>(row)] != b.lcd[static_cast<size_t>(row)])
            out.push_back("LCD row " + std::to_string(row));
    return out;
}

std::vector<std::string> lasting_differences(const DeskState& start, const DeskState& uncut,
                                             const DeskState& cut) {
    std::vector<std::string> differences;
    std::map<std::string, const DeskFile*> expected;
    for (const DeskFile& file : uncut.files)
        expected[file.path] = &file;
    std::map<std::string, const DeskFile*> found;
    for (const DeskFile& file : cut.files)
        found[file.path] = &file;
    // Both maps are in path order; one walk names each difference once, in that order.
    auto e = expected.begin();
    auto f = found.begin();
    while (e != expected.end() || f != found.end()) {
        if (f == found.end() || (e != expected.end() && e->first < f->first)) {
            differences.push_back(e->first + " (missing)");
            ++e;
        } else if (e == expected.end() || f->first < e->first) {
            differences.push_back(f->first + " (extra)");
            ++f;
        } else {
            if (!(*e->second == *f->second)) differences.push_back(e->first + " (changed)");
            ++e;
            ++f;
        }
    }
    if (uncut.nvr != cut.nvr) differences.push_back("NVR");
    const size_t sent =
        uncut.card_blocks.size() - std::min(uncut.card_blocks.size(), start.card_blocks.size());
    const bool same_blocks = cut.card_blocks.size() >= sent &&
                             std::equal(uncut.card_blocks.end() - static_cast<std::ptrdiff_t>(sent),
                                        uncut.card_blocks.end(),
                                        cut.card_blocks.end() - static_cast<std::ptrdiff_t>(sent));
    if (!same_blocks) differences.push_back("card blocks");
    return differences;
}

WorkDesk::WorkDesk(const StartingDesk& desk, const fs::path& disk) {
    std::string pattern = (fs::temp_directory_path() / "mkdisk-desk-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw RunError("cannot make a temporary folder in " + fs::temp_directory_path().string() +
                       ": " + error_text(errno));
    folder_ = pattern;
    try {
        desk_ = folder_ / "desk";
        if (desk.folder) {
            // A program running on the starting desk holds its lock: its state is half written.
            Fd lock(::open((desk.path / pcplat::desk::kLockFile).c_str(), O_RDONLY | O_CLOEXEC));
            if (lock.get() >= 0 && ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0)
                throw RunError(desk.name + " is in use by a program running on it");
            copy_folder(desk.path, desk_);
            fs::remove(desk_ / pcplat::desk::kLockFile);
        } else {
            fs::create_directory(desk_);
            fs::copy_file(desk.path, desk_ / pcplat::desk::kProfileFile);
        }
        std::error_code error;
        if (!fs::is_directory(disk, error)) throw RunError("no disk folder " + disk.string());
        if (writable(disk)) {
            disk_ = folder_ / "disk";
            copy_folder(disk, disk_);
        } else {
            disk_ = fs::absolute(disk);
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        throw;
    }
}

WorkDesk::~WorkDesk() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

DeskState WorkDesk::state() const {
    DeskState state;
    const pcplat::Profile profile = pcplat::load_profile(desk_ / pcplat::desk::kProfileFile);
    for (const auto& [letter, folder] : profile.drives)
        list_drive(letter, desk_ / folder, state.files);
    std::sort(state.files.begin(), state.files.end(),
              [](const DeskFile& a, const DeskFile& b) { return a.path < b.path; });
    std::error_code error;
    const fs::path nvr = desk_ / pcplat::desk::kNvrFile;
    if (profile.nvr_size && fs::is_regular_file(nvr, error)) {
        uint64_t size = 0;
        state.nvr = file_digest(nvr, size);
    }
    const std::string log = read_text(desk_ / pcplat::desk::kCardLogFile);
    for (size_t at = 0; at + pcplat::desk::kCardLogRecord <= log.size();
         at += pcplat::desk::kCardLogRecord)
        state.card_blocks.push_back(log.substr(at, pcplat::desk::kCardLogRecord));
    const std::string card0 = read_text(desk_ / pcplat::desk::kCardFile[0]);
    std::vector<uint8_t> window(pcplat::desk::kCardWindowSize, 0);
    std::copy_n(card0.begin(), std::min(card0.size(), window.size()), window.begin());
    for (int row = 0; row < kLcdRows; ++row)
        state.lcd[static_cast<size_t>(row)] = pcplat::lcd_row_text(window, row);
    return state;
}

std::vector<std::string> RunResult::installed() const {
    std::map<std::string, uint64_t> had;
    for (const DeskFile& f : before.files)
        had.emplace(f.path, f.digest ^ f.size);
    std::vector<std::string> out;
    for (const DeskFile& f : after.files) {
        if (f.path.ends_with('\\')) continue;
        const auto it = had.find(f.path);
        if (it == had.end() || it->second != (f.digest ^ f.size)) out.push_back(f.path);
    }
    return out;
}

fs::path tolvanex_beside(const char* program) {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error || self.filename() != "mkdisk") self = fs::absolute(program ? program : "", error);
    return self.parent_path() / "tolvanex";
}

ScriptLines::ScriptLines(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n') newlines_.push_back(i);
}

int ScriptLines::line_of_command(uint32_t word_end) const {
    const size_t byte = word_end ? word_end - 1 : 0;
    // Newlines before the byte; a word ended by a line feed is on the line that feed ends.
    return 1 + static_cast<int>(std::lower_bound(newlines_.begin(), newlines_.end(), byte) -
                                newlines_.begin());
}

RunResult run_on(const Bench& bench, WorkDesk& desk, const Run& run) {
    RunResult result;
    result.before = desk.state();
    const fs::path trace = desk.folder() / kTraceFile;
    fs::remove(trace);

    const std::vector<std::string> environment = child_environment(desk, trace, run);
    std::vector<char*> envp;
    for (const std::string& s : environment)
        envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    const std::string program = bench.tolvanex.string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    if (!run.script.empty()) argv.push_back(const_cast<char*>(run.script.c_str()));
    argv.push_back(nullptr);
    const std::string start_dir = desk.disk().string();

    Fd in_read, in_write, out_read, out_write, err_read, err_write, exec_read, exec_write;
    make_pipe(in_read, in_write);
    make_pipe(out_read, out_write);
    make_pipe(err_read, err_write);
    make_pipe(exec_read, exec_write);

    const pid_t pid = ::fork();
    if (pid < 0) throw RunError("cannot start " + program + ": " + error_text(errno));
    if (pid == 0) {
        // Only async-signal-safe calls here: other workers' threads may hold any lock.
        ::setpgid(0, 0);
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            ::sigaction(s, &plain, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(in_read.get(), STDIN_FILENO) < 0 || ::dup2(out_write.get(), STDOUT_FILENO) < 0 ||
            ::dup2(err_write.get(), STDERR_FILENO) < 0 || ::chdir(start_dir.c_str()) != 0) {
            const int e = errno;
            (void)!::write(exec_write.get(), &e, sizeof e);
            ::_exit(127);
        }
        ::execve(argv[0], argv.data(), envp.data());
        const int e = errno;
        (void)!::write(exec_write.get(), &e, sizeof e);
        ::_exit(127);
    }
    ::setpgid(pid, pid); // also here, so a kill of the group cannot come before the child's own
    in_read.reset();
    out_write.reset();
    err_write.reset();
    exec_write.reset();
    ::fcntl(in_write.get(), F_SETFL, O_NONBLOCK);

    const auto deadline = std::chrono::steady_clock::now() + run.time_limit;
    size_t written = 0;
    if (run.answers.empty()) in_write.reset();
    int stopped_by = 0;
    char buffer[kChunk];
    while (out_read.get() >= 0 || err_read.get() >= 0) {
        if (const int signal_number = bench.stop ? bench.stop() : 0) {
            stopped_by = signal_number;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timed_out = true;
            break;
        }
        pollfd fds[3] = {
            {out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}, {in_write.get(), POLLOUT, 0}};
        if (::poll(fds, 3, kPollMs) < 0 && errno != EINTR)
            throw RunError("cannot watch the program: " + error_text(errno));
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? result.console : result.errors).append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                (i == 0 ? out_read : err_read).reset();
        }
        if (fds[2].fd >= 0 && fds[2].revents) {
            const ssize_t n =
                ::write(in_write.get(), run.answers.data() + written, run.answers.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            // All given, or the program will read no more: either way its input has ended.
            if (written == run.answers.size() || (n < 0 && errno != EAGAIN && errno != EINTR))
                in_write.reset();
        }
    }
    if (stopped_by || result.timed_out) ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    int exec_error = 0;
    if (::read(exec_read.get(), &exec_error, sizeof exec_error) == sizeof exec_error)
        throw RunError("cannot run " + program + ": " + error_text(exec_error));
    if (stopped_by) throw RunStopped{stopped_by};
    result.exit_status = shell_status(status);

    const std::string script_name = run.script.empty() ? "tolvanex.des" : run.script;
    const ScriptLines lines(read_text(desk.disk() / script_name));
    const Trace record = read_trace(trace);
    for (const uint32_t offset : record.commands)
        result.lines.push_back(lines.line_of_command(offset));
    result.lcd_changes = record.lcd;
    result.error_code = record.error_code.value_or(0);
    result.steps = record.steps;
    result.after = desk.state();
    // What the last commands wrote shows in the card's file only.
    std::array<std::string, kLcdRows> shown = result.before.lcd;
    for (const LcdChange& change : result.lcd_changes)
        shown[static_cast<size_t>(change.row)] = change.text;
    for (int row = 0; row < kLcdRows; ++row)
        if (result.after.lcd[static_cast<size_t>(row)] != shown[static_cast<size_t>(row)])
            result.lcd_changes.push_back(
                {result.lines.size(), row, result.after.lcd[static_cast<size_t>(row)]});
    replace_all(result.errors, desk.desk().string(), "DESK");
    replace_all(result.errors, desk.disk().string(), "DISK");
    return result;
}

RunResult run_desk(const Bench& bench, const Run& run) {
    if (const int signal_number = bench.stop ? bench.stop() : 0) throw RunStopped{signal_number};
    WorkDesk desk(run.desk, run.disk);
    if (run.power_cut_after == 0) return run_on(bench, desk, run);
    Run cut = run;
    cut.power_cut_after = 0;
    cut.environment.emplace_back(pcplat::PowerCut::kVariable, std::to_string(run.power_cut_after));
    const int cut_status = run_on(bench, desk, cut).exit_status;
    RunResult after = run_on(bench, desk, run);
    after.cut_status = cut_status;
    return after;
}

unsigned workers_for(size_t runs, unsigned jobs) {
    if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(jobs, runs)));
}

std::vector<RunResult> run_all(const Bench& bench, const std::vector<Run>& runs, unsigned jobs,
                               const std::function<void(size_t, size_t)>& progress) {
    std::vector<RunResult> results(runs.size());
    std::vector<std::exception_ptr> failures(runs.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> give_up{false};
    std::atomic<int> stop{0};
    std::atomic<unsigned> finished{0};
    std::mutex report;
    size_t done = 0;
    Bench pool = bench;
    pool.stop = [&] { return stop.load(); };
    const auto work = [&] {
        while (!give_up) {
            const size_t i = next++;
            if (i >= runs.size()) break;
            try {
                results[i] = run_desk(pool, runs[i]);
            } catch (...) {
                failures[i] = std::current_exception();
                give_up = true;
            }
            const std::lock_guard<std::mutex> lock(report);
            ++done;
            if (progress) progress(done, runs.size());
        }
        ++finished;
    };
    // The signals that stop the tool are waited for here rather than handled: a handler that
    // interrupts a thread in the emulator the desk runs on can leave that thread unable to join
    // the others. The workers start with them blocked, as this thread has them.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&ending, s);
    ::pthread_sigmask(SIG_BLOCK, &ending, &before);
    std::vector<std::thread> workers;
    const unsigned count = workers_for(runs.size(), jobs);
    try {
        for (unsigned w = 0; w < count; ++w)
            workers.emplace_back(work);
    } catch (...) {
        give_up = true;
        stop = SIGTERM;
        for (std::thread& t : workers)
            t.join();
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw;
    }
    while (finished < count) {
        if (!stop) {
            if (const int asked = bench.stop ? bench.stop() : 0) stop = asked;
        }
        const timespec wait{0, kPollMs * 1'000'000L};
        const int signal_number = ::sigtimedwait(&ending, nullptr, &wait);
        if (signal_number > 0 && !stop) stop = signal_number;
    }
    for (std::thread& t : workers)
        t.join();
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (stop) throw RunStopped{stop};
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
    return results;
}

} // namespace mkdisk
