#include "pack_pool.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace mkdisk {

namespace {

constexpr int kPollMs = 100;
constexpr uint8_t kDone = 0;
constexpr uint8_t kFailed = 1;

std::string error_text(int error) {
    return std::strerror(error);
}

bool write_exact(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// False at the end of the stream (or a cut one).
bool read_exact(int fd, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A message: its length, then its bytes.
bool send(int fd, const std::string& text) {
    const auto length = static_cast<uint32_t>(text.size());
    return write_exact(fd, &length, sizeof length) && write_exact(fd, text.data(), text.size());
}

std::optional<std::string> receive(int fd) {
    uint32_t length = 0;
    if (!read_exact(fd, &length, sizeof length)) return std::nullopt;
    std::string text(length, '\0');
    if (!read_exact(fd, text.data(), length)) return std::nullopt;
    return text;
}

std::string ended_how(int status) {
    if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
    return "ended with status " + std::to_string(WEXITSTATUS(status));
}

} // namespace

PackPool::PackPool(unsigned workers, Work work) {
    if (workers == 0) throw std::invalid_argument("a pool needs a worker");
    std::fflush(nullptr); // nothing buffered is written twice
    const pid_t parent = ::getpid();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mkdisk-workers-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder for the packing workers in " +
                                 pattern.substr(0, pattern.rfind('/')) + ": " + error_text(errno));
    scratch_ = pattern;
    try {
        workers_.reserve(workers); // a started worker is always on the list
        for (unsigned w = 0; w < workers; ++w) {
            int to_worker[2], from_worker[2];
            if (::pipe2(to_worker, O_CLOEXEC) != 0)
                throw std::runtime_error("cannot make a pipe: " + error_text(errno));
            if (::pipe2(from_worker, O_CLOEXEC) != 0) {
                const int error = errno;
                ::close(to_worker[0]);
                ::close(to_worker[1]);
                throw std::runtime_error("cannot make a pipe: " + error_text(error));
            }
            Worker worker;
            worker.jobs = to_worker[1];
            worker.results = from_worker[0];
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(to_worker[1]);
                ::close(from_worker[0]);
                for (Worker& other : workers_) {
                    ::close(other.jobs);
                    ::close(other.results);
                }
                ::setenv("TMPDIR", scratch_.c_str(), 1);
                serve(parent, to_worker[0], from_worker[1], work);
            }
            ::close(to_worker[0]);
            ::close(from_worker[1]);
            if (pid < 0) {
                const int error = errno;
                ::close(worker.jobs);
                ::close(worker.results);
                throw std::runtime_error("cannot start a packing worker: " + error_text(error));
            }
            worker.pid = pid;
            workers_.push_back(worker);
        }
    } catch (...) {
        end_all();
        throw;
    }
}

PackPool::~PackPool() {
    end_all();
}

void PackPool::end_all() {
    for (Worker& w : workers_) {
        ::close(w.jobs);
        ::close(w.results);
        if (w.pid > 0) ::kill(w.pid, SIGKILL);
    }
    for (Worker& w : workers_)
        while (w.pid > 0 && ::waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    workers_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
}

void PackPool::serve(pid_t parent, int jobs, int results, const Work& work) {
    // Stopping is mkdisk's to decide: it ends the workers itself. Nor may a worker outlive it.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::signal(s, SIG_IGN);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    for (;;) {
        const std::optional<std::string> job = receive(jobs);
        if (!job) ::_exit(0); // no more jobs
        uint8_t status = kDone;
        std::string result;
        try {
            result = work(*job);
        } catch (const std::exception& e) {
            status = kFailed;
            result = e.what();
        } catch (...) {
            status = kFailed;
            result = "the packing worker failed";
        }
        if (!send(results, static_cast<char>(status) + result)) ::_exit(1);
    }
}

void PackPool::run(const std::vector<std::string>& jobs,
                   const std::function<void(size_t, const std::string&)>& done,
                   const std::function<void(size_t)>& finished, const std::function<void()>& stop) {
    std::vector<std::optional<std::string>> results(jobs.size());
    std::vector<bool> failed(jobs.size(), false);
    std::vector<size_t> busy_with(workers_.size(), SIZE_MAX);
    size_t next = 0, in = 0, delivered = 0;
    const auto hand_out = [&](size_t w) {
        if (next >= jobs.size()) return;
        if (!send(workers_[w].jobs, jobs[next]))
            throw std::runtime_error("cannot reach a packing worker: " + error_text(errno));
        busy_with[w] = next++;
    };
    for (size_t w = 0; w < workers_.size(); ++w)
        hand_out(w);
    while (delivered < jobs.size()) {
        stop();
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        for (size_t w = 0; w < workers_.size(); ++w)
            if (busy_with[w] != SIZE_MAX) {
                fds.push_back({workers_[w].results, POLLIN, 0});
                which.push_back(w);
            }
        if (::poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR)
            throw std::runtime_error("cannot wait for the packing workers: " + error_text(errno));
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            const size_t w = which[k];
            std::optional<std::string> message = receive(workers_[w].results);
            if (!message || message->empty()) {
                stop(); // a signal that ended the worker too comes first
                int status = 0;
                while (::waitpid(workers_[w].pid, &status, 0) < 0 && errno == EINTR) {
                }
                workers_[w].pid = -1;
                throw std::runtime_error("a packing worker " + ended_how(status));
            }
            const size_t job = busy_with[w];
            busy_with[w] = SIZE_MAX;
            failed[job] = (*message)[0] == static_cast<char>(kFailed);
            results[job] = message->substr(1);
            hand_out(w);
            if (finished) finished(++in);
        }
        for (; delivered < jobs.size() && results[delivered]; ++delivered) {
            if (failed[delivered]) throw JobFailed(*results[delivered]);
            done(delivered, *results[delivered]);
            results[delivered].reset();
        }
    }
}

} // namespace mkdisk
