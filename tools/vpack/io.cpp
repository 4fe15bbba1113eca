#include "io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

namespace vpack {

namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr uint64_t kProgressFromBytes = uint64_t{4} << 20;
constexpr uint64_t kBytesPerMib = uint64_t{1} << 20;
constexpr size_t kMappedBytes = size_t{1} << 20;
constexpr int kSignalCheckMs = 100;

std::string reason() {
    return std::strerror(errno);
}

// --- signals ---

constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::array<struct sigaction, kSignals.size()> g_previous{};
volatile sig_atomic_t g_signal = 0;
// The temporary output the handler removes; written only while g_temp_set is 0.
char g_temp_path[4096];
volatile sig_atomic_t g_temp_set = 0;

void on_signal(int signal_number) {
    if (g_temp_set) ::unlink(g_temp_path);
    g_signal = signal_number;
    for (size_t i = 0; i < kSignals.size(); ++i) {
        if (kSignals[i] != signal_number) continue;
        const struct sigaction& previous = g_previous[i];
        if (previous.sa_handler == SIG_DFL) {
            // Nothing else to put right: end the way the signal ends a program.
            ::signal(signal_number, SIG_DFL);
            ::raise(signal_number);
        } else if (previous.sa_flags & SA_SIGINFO) {
            previous.sa_sigaction(signal_number, nullptr, nullptr);
        } else if (previous.sa_handler != SIG_IGN) {
            previous.sa_handler(signal_number);
        }
    }
}

void set_temp_path(const std::string& path) {
    g_temp_set = 0;
    if (path.empty() || path.size() >= sizeof g_temp_path) return;
    std::memcpy(g_temp_path, path.c_str(), path.size() + 1);
    g_temp_set = 1;
}

mode_t file_mode() {
    static const mode_t mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

} // namespace

void BytesRelease::operator()(uint8_t* p) const {
    if (mapped)
        ::munmap(p, mapped);
    else
        delete[] p;
}

Bytes::Bytes(size_t size, const std::string& what) : size_(size) {
    if (size >= kMappedBytes) {
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p != MAP_FAILED) {
            data_ = std::unique_ptr<uint8_t[], BytesRelease>(static_cast<uint8_t*>(p),
                                                             BytesRelease{size});
            return;
        }
    }
    try {
        // Never null, so a library service given an empty buffer still sees one.
        data_ = std::unique_ptr<uint8_t[], BytesRelease>(new uint8_t[size == 0 ? 1 : size],
                                                         BytesRelease{});
    } catch (const std::bad_alloc&) {
        throw Failure("not enough memory for " + what + " (" + std::to_string(size) + " bytes)");
    }
}

void install_signal_handlers() {
    ::signal(SIGPIPE, SIG_IGN); // a closed pipe shows as EPIPE on the write instead
    for (size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction current {};
        if (::sigaction(kSignals[i], nullptr, &current) != 0) continue;
        if (current.sa_handler == on_signal) continue;
        // An ignored signal (nohup) stays ignored.
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) continue;
        g_previous[i] = current;
        struct sigaction mine {};
        mine.sa_handler = on_signal;
        sigemptyset(&mine.sa_mask);
        ::sigaction(kSignals[i], &mine, nullptr);
    }
}

void check_interrupted() {
    if (g_signal) throw Interrupted{g_signal};
}

// --- progress ---

Progress::Progress(std::string name, uint64_t input_bytes)
    : name_(std::move(name)), enabled_(input_bytes > kProgressFromBytes && ::isatty(2)) {}

Progress::~Progress() {
    clear();
}

void Progress::show(const std::string& text) {
    if (!enabled_ || text == last_) return;
    last_ = text;
    shown_ = true;
    std::fprintf(stderr, "\rvpack: %s: %s\033[K", name_.c_str(), text.c_str());
    std::fflush(stderr);
}

void Progress::percent(const char* phase, uint64_t done, uint64_t total) {
    const uint64_t share = total == 0 ? 100 : done * 100 / total;
    show(std::string(phase) + " " + std::to_string(share) + "%");
}

void Progress::step(const std::string& phase) {
    show(phase);
}

void Progress::count(const char* phase, uint64_t bytes) {
    show(std::string(phase) + " " + std::to_string(bytes / kBytesPerMib) + " MiB");
}

void Progress::clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
    last_.clear();
}

// --- input ---

InputFile::InputFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw Failure(path + ": " + reason());
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw Failure(path + ": " + reason());
    if (S_ISDIR(st.st_mode)) throw Failure(path + ": is a folder, not a file");
    if (S_ISREG(st.st_mode)) {
        size_hint_ = static_cast<uint64_t>(st.st_size);
        if (size_hint_ > kMaxInputBytes)
            throw Failure(path + ": is " + std::to_string(size_hint_) +
                          " bytes; vpack takes files below 4 GiB");
    }
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Bytes InputFile::read_all(Progress& progress) {
    // Pipes and devices tell no size: gather chunks until the end.
    std::vector<uint8_t> gathered;
    Bytes bytes;
    const bool sized = size_hint_ > 0;
    if (sized) bytes = Bytes(static_cast<size_t>(size_hint_), path_);
    uint64_t done = 0;
    for (;;) {
        check_interrupted();
        if (sized) progress.percent("reading", done, size_hint_);
        uint8_t* target = nullptr;
        size_t room = kChunkBytes;
        if (sized) {
            if (done == size_hint_) break;
            target = bytes.data() + done;
            room = std::min<uint64_t>(room, size_hint_ - done);
        } else {
            if (gathered.size() + room > kMaxInputBytes)
                throw Failure(path_ + ": is 4 GiB or more; vpack takes files below 4 GiB");
            try {
                gathered.resize(done + room);
            } catch (const std::bad_alloc&) {
                throw Failure("not enough memory to read " + path_);
            }
            target = gathered.data() + done;
        }
        // A signal that comes between the check above and a read that blocks (a pipe with
        // nothing in it) would not end the read: wait in short slices instead, checking between.
        pollfd ready{fd_, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kSignalCheckMs);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        const ssize_t n = ::read(fd_, target, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure("cannot read " + path_ + ": " + reason());
        if (n == 0) break; // shorter than it was: take what is there
        done += static_cast<uint64_t>(n);
    }
    if (sized) {
        bytes.shrink(static_cast<size_t>(done));
        return bytes;
    }
    Bytes copy(static_cast<size_t>(done), path_);
    if (done > 0) std::memcpy(copy.data(), gathered.data(), static_cast<size_t>(done));
    return copy;
}

// --- output ---

OutputFile::OutputFile(std::string path, bool replace) : path_(std::move(path)), replace_(replace) {
    if (is_stdout()) {
        fd_ = STDOUT_FILENO;
        return;
    }
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw Failure(path_ + ": is a folder");
        if (!replace_) throw Failure(path_ + ": already exists (-f replaces it)");
    } else if (errno != ENOENT) {
        throw Failure(path_ + ": " + reason());
    }
    const size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    // A missing output folder is made, as for any tool that writes into one.
    std::error_code error;
    if (!dir.empty() && !std::filesystem::is_directory(dir, error)) {
        std::filesystem::create_directories(dir, error);
        if (error) throw Failure("cannot make the folder " + dir + ": " + error.message());
    }
    std::string pattern = dir + "." + base + ".vpack-XXXXXX";
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) throw Failure("cannot create " + path_ + ": " + reason());
    temp_ = pattern;
    set_temp_path(temp_);
    ::fchmod(fd_, file_mode());
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() {
    if (is_stdout()) return;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        set_temp_path("");
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

void OutputFile::write(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) {
            check_interrupted();
            continue;
        }
        // A reader that went away (vpack ... -o - | head) ends vpack as SIGPIPE would, but
        // through the ordinary way out, which removes what vpack made.
        if (n < 0 && errno == EPIPE) throw Interrupted{SIGPIPE};
        if (n <= 0) {
            const std::string what = is_stdout() ? "standard output" : path_;
            throw Failure("cannot write " + what + ": " + (n < 0 ? reason() : "nothing written"));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void OutputFile::commit() {
    if (is_stdout()) return;
    check_interrupted();
    const int fd = fd_;
    fd_ = -1;
    // The data reaches the disk before the name does: a crash after the rename must not leave
    // an output that is there but empty or cut.
    if (::fsync(fd) != 0) {
        const std::string why = reason();
        ::close(fd);
        throw Failure("cannot write " + path_ + ": " + why);
    }
    if (::close(fd) != 0) throw Failure("cannot write " + path_ + ": " + reason());
    if (replace_) {
        if (::rename(temp_.c_str(), path_.c_str()) != 0)
            throw Failure("cannot make " + path_ + ": " + reason());
        set_temp_path("");
        temp_.clear();
    } else {
        // link() refuses an output that appeared meanwhile; rename() would replace it.
        if (::link(temp_.c_str(), path_.c_str()) != 0) {
            if (errno == EEXIST) throw Failure(path_ + ": already exists (-f replaces it)");
            // Some file systems have no hard links.
            struct stat st {};
            if (::lstat(path_.c_str(), &st) == 0)
                throw Failure(path_ + ": already exists (-f replaces it)");
            if (::rename(temp_.c_str(), path_.c_str()) != 0)
                throw Failure("cannot make " + path_ + ": " + reason());
            set_temp_path("");
            temp_.clear();
        }
    }
    discard(); // the temporary name that link() leaves
}

void write_all(OutputFile& out, const uint8_t* data, size_t size, Progress& progress) {
    for (size_t done = 0; done < size;) {
        check_interrupted();
        progress.percent("writing", done, size);
        const size_t n = std::min(kChunkBytes, size - done);
        out.write(data + done, n);
        done += n;
    }
    out.commit();
}

std::string percent_of(uint64_t part, uint64_t whole) {
    if (whole == 0) return "-";
    const uint64_t tenths = (part * 1000 + whole / 2) / whole;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

} // namespace vpack
