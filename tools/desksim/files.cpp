#include "desk/desk.hpp"
#include "desk/profile.hpp"
#include "desksim.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace fs = std::filesystem;

namespace desksim {

namespace {

constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::array<struct sigaction, kSignals.size()> g_previous{};
// The temporary file a signal removes; set only while g_temp_set is 0.
char g_temp_path[4096];
volatile sig_atomic_t g_temp_set = 0;

void on_signal(int signal_number) {
    if (g_temp_set) ::unlink(g_temp_path);
    // Then the signal ends desksim as it would have.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void watch_signals(const std::string& temp) {
    if (temp.size() >= sizeof g_temp_path) return;
    std::memcpy(g_temp_path, temp.c_str(), temp.size() + 1);
    g_temp_set = 1;
    for (size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction mine {};
        mine.sa_handler = on_signal;
        sigemptyset(&mine.sa_mask);
        ::sigaction(kSignals[i], &mine, &g_previous[i]);
        // An ignored signal (nohup) stays ignored.
        if (!(g_previous[i].sa_flags & SA_SIGINFO) && g_previous[i].sa_handler == SIG_IGN)
            ::sigaction(kSignals[i], &g_previous[i], nullptr);
    }
}

void unwatch_signals() {
    for (size_t i = 0; i < kSignals.size(); ++i)
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    g_temp_set = 0;
}

std::string reason() {
    return std::strerror(errno);
}

} // namespace

std::optional<fs::path> desk_folder(const std::string& given, const char* without) {
    std::string desk = given;
    if (desk.empty()) {
        const char* named = std::getenv("DESKSIM");
        if (!named || !*named) {
            fail(std::string("name a desk folder, or set DESKSIM; the built-in desk keeps no ") +
                 without);
            return std::nullopt;
        }
        desk = named;
    }
    try {
        pcplat::check_desk_folder(desk);
    } catch (const pcplat::ProfileError& e) {
        fail(e.what());
        return std::nullopt;
    }
    return fs::path(desk);
}

ReplacedFile::ReplacedFile(fs::path path) : path_(std::move(path)) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw std::runtime_error(path_.string() + ": is a folder");
    // Hidden, beside the output: the rename stays within one file system.
    std::string name = path_.filename().string();
    name.insert(name.begin(), '.');
    name += ".desksim-XXXXXX";
    std::string pattern = (path_.parent_path() / name).string();
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) throw std::runtime_error("cannot create " + path_.string() + ": " + reason());
    temp_ = pattern;
    watch_signals(temp_);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
}

ReplacedFile::~ReplacedFile() {
    discard();
}

void ReplacedFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        unwatch_signals();
        temp_.clear();
    }
}

void ReplacedFile::write(const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw std::runtime_error("cannot write " + path_.string() + ": " +
                                     (n < 0 ? reason() : std::string("nothing written")));
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

void ReplacedFile::commit() {
    const int fd = fd_;
    fd_ = -1;
    // The data reaches the disk before the name does.
    if (::fsync(fd) != 0) {
        const std::string why = reason();
        ::close(fd);
        throw std::runtime_error("cannot write " + path_.string() + ": " + why);
    }
    if (::close(fd) != 0)
        throw std::runtime_error("cannot write " + path_.string() + ": " + reason());
    if (::rename(temp_.c_str(), path_.c_str()) != 0)
        throw std::runtime_error("cannot make " + path_.string() + ": " + reason());
    unwatch_signals();
    temp_.clear();
}

} // namespace desksim
