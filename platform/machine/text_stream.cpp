#include "machine/text_stream.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace pcplat {

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr size_t kReadBufferSize = 4096;
constexpr size_t kWriteChunk = 2048; // input bytes translated at a time
constexpr mode_t kNewFileMode = 0666;
constexpr char kAllBits = char(0xFF);

struct OpenMode {
    char kind = 'r'; // 'r', 'w' or 'a'
    bool update = false;
    bool binary = false;
};

std::optional<OpenMode> parse_mode(const char* mode) {
    if (mode == nullptr) return std::nullopt;
    OpenMode parsed;
    parsed.kind = mode[0];
    if (parsed.kind != 'r' && parsed.kind != 'w' && parsed.kind != 'a') return std::nullopt;
    for (const char* c = mode + 1; *c != '\0'; ++c) {
        if (*c == '+') {
            parsed.update = true;
        } else if (*c == 'b') {
            parsed.binary = true;
        } else if (*c != 't') {
            return std::nullopt;
        }
    }
    return parsed;
}

int open_flags(const OpenMode& mode) {
    int flags = O_CLOEXEC | O_LARGEFILE;
    flags |= mode.update ? O_RDWR : (mode.kind == 'r' ? O_RDONLY : O_WRONLY);
    if (mode.kind == 'w') flags |= O_CREAT | O_TRUNC;
    if (mode.kind == 'a') flags |= O_CREAT | O_APPEND;
    return flags;
}

// The stdio mode that matches what the descriptor was opened for.
std::string stdio_mode(const OpenMode& mode) {
    std::string result(1, mode.kind);
    if (mode.update) result += '+';
    return result;
}

// Opens an ordinary file only: O_NONBLOCK keeps a FIFO from stalling the open, and the type check
// keeps directories and devices out (a DOS program cannot open those as files).
int open_regular_file(const std::filesystem::path& host, const OpenMode& mode) {
    const int fd = ::open(host.c_str(), open_flags(mode) | O_NONBLOCK, kNewFileMode);
    if (fd < 0) return -1;
    struct stat64 info {};
    if (::fstat64(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : EACCES;
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The state behind one stream of ours: a text stream, or a binary one that the fault hook or the
// step count watches. It keeps its own read-ahead of raw bytes, so it always knows the raw offset
// of the next byte the program will see.
class DosFile {
  public:
    DosFile(int fd, bool translate, const StreamFaults& faults, PowerCut* steps,
            const std::filesystem::path& host)
        : fd_(fd), translate_(translate), faults_(faults), steps_(steps),
          host_(steps ? host : std::filesystem::path{}) {}
    DosFile(const DosFile&) = delete;
    DosFile& operator=(const DosFile&) = delete;

    bool start_at_end() {
        const off64_t end = ::lseek64(fd_, 0, SEEK_END);
        if (end < 0) return false;
        offset_ = end;
        return true;
    }

    ssize_t read(char* out, size_t size) {
        size_t produced = 0;
        while (produced < size) {
            if (pos_ == len_) {
                const ssize_t got = fill();
                if (got < 0) return produced > 0 ? ssize_t(produced) : -1;
                if (got == 0) break;
            }
            if (!translate_) {
                const size_t take = std::min(size - produced, len_ - pos_);
                std::memcpy(out + produced, buffer_.data() + pos_, take);
                produced += take;
                consume(take);
                continue;
            }
            if (buffer_[pos_] == kCr && pos_ + 1 == len_) {
                // A CR at the end of the read-ahead: whether it starts a CR LF pair depends on
                // the next byte.
                const ssize_t got = fill();
                if (got < 0) return produced > 0 ? ssize_t(produced) : -1;
            }
            if (buffer_[pos_] == kCr && pos_ + 1 < len_ && buffer_[pos_ + 1] == kLf) {
                out[produced++] = kLf;
                consume(2);
            } else {
                out[produced++] = buffer_[pos_];
                consume(1);
            }
        }
        return ssize_t(produced);
    }

    ssize_t write(const char* data, size_t size) {
        if (pos_ != len_) {
            // Read-ahead lies beyond the program's position: write where the program is.
            if (::lseek64(fd_, offset_, SEEK_SET) < 0) return -1;
        }
        pos_ = len_ = 0;

        size_t done = 0;
        std::array<char, 2 * kWriteChunk> out{};
        // Untranslated bytes go out as they are, in one piece: a binary stream watched for its
        // steps writes as fast as a plain one.
        if (!translate_) done = write_all(data, size);
        while (translate_ && done < size) {
            const size_t take = std::min(kWriteChunk, size - done);
            size_t out_len = 0;
            for (size_t i = 0; i < take; ++i) {
                if (data[done + i] == kLf) out[out_len++] = kCr;
                out[out_len++] = data[done + i];
            }
            const size_t written = write_all(out.data(), out_len);
            if (written < out_len) {
                done += input_bytes_within(data + done, take, written);
                break;
            }
            done += take;
        }
        const off64_t now = ::lseek64(fd_, 0, SEEK_CUR);
        if (now >= 0) offset_ = now;
        if (steps_ != nullptr && done > 0) steps_->written(host_);
        if (done == 0 && size > 0) return -1; // stdio retries a 0 forever
        return ssize_t(done);
    }

    // a + b, false instead of an overflow.
    static bool add_offset(off64_t a, off64_t b, off64_t& sum) {
        constexpr off64_t kMax = std::numeric_limits<off64_t>::max();
        constexpr off64_t kMin = std::numeric_limits<off64_t>::min();
        if ((b > 0 && a > kMax - b) || (b < 0 && a < kMin - b)) return false;
        sum = a + b;
        return true;
    }

    int seek(off64_t* where, int whence) {
        off64_t target = 0;
        switch (whence) {
        case SEEK_SET:
            target = *where;
            break;
        case SEEK_CUR:
            if (*where == 0) {
                // ftell: report without disturbing the read-ahead.
                *where = offset_;
                return 0;
            }
            if (!add_offset(offset_, *where, target)) {
                errno = EOVERFLOW;
                return -1;
            }
            break;
        case SEEK_END: {
            // fstat rather than lseek: a refused seek must leave the descriptor where it was.
            struct stat64 info {};
            if (::fstat64(fd_, &info) != 0) return -1;
            if (!add_offset(off64_t(info.st_size), *where, target)) {
                errno = EOVERFLOW;
                return -1;
            }
            break;
        }
        default:
            errno = EINVAL;
            return -1;
        }
        if (target < 0) {
            errno = EINVAL;
            return -1;
        }
        if (::lseek64(fd_, target, SEEK_SET) < 0) return -1;
        // Dropping the read-ahead also drops a CR still waiting for its partner.
        pos_ = len_ = 0;
        offset_ = target;
        *where = target;
        return 0;
    }

    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

    int sync() {
        if (faults_.fail_sync) {
            errno = EIO;
            return -1;
        }
        if (::fsync(fd_) != 0) return -1;
        if (steps_ != nullptr) steps_->flushed(host_);
        return 0;
    }

  private:
    void consume(size_t raw_bytes) {
        pos_ += raw_bytes;
        offset_ += off64_t(raw_bytes);
    }

    // Reads more raw bytes after the unconsumed ones (moved to the front). -1 on error.
    ssize_t fill() {
        const size_t kept = len_ - pos_;
        std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
        pos_ = 0;
        len_ = kept;
        // The descriptor stands just after the kept bytes.
        const off64_t raw_start = offset_ + off64_t(kept);
        ssize_t got = 0;
        do {
            got = ::read(fd_, buffer_.data() + len_, buffer_.size() - len_);
        } while (got < 0 && errno == EINTR);
        if (got > 0 && raw_start == 0 && faults_.flip_first_byte) buffer_[len_] ^= kAllBits;
        if (got > 0) len_ += size_t(got);
        return got;
    }

    size_t write_all(const char* data, size_t size) {
        size_t written = 0;
        size_t allowed = size;
        if (faults_.write_budget) allowed = size_t(std::min<uint64_t>(size, *faults_.write_budget));
        while (written < allowed) {
            const ssize_t put = ::write(fd_, data + written, allowed - written);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) break;
            written += size_t(put);
        }
        if (faults_.write_budget) {
            *faults_.write_budget -= written;
            if (written < size) errno = ENOSPC;
        }
        return written;
    }

    // How many input bytes are wholly on disk when out_written translated bytes were written.
    static size_t input_bytes_within(const char* data, size_t size, size_t out_written) {
        size_t used = 0;
        size_t count = 0;
        while (count < size) {
            const size_t need = data[count] == kLf ? 2 : 1;
            if (used + need > out_written) break;
            used += need;
            ++count;
        }
        return count;
    }

    int fd_ = -1;
    bool translate_ = true;
    StreamFaults faults_;
    PowerCut* steps_ = nullptr;
    std::filesystem::path host_; // for the steps
    std::array<char, kReadBufferSize> buffer_{};
    size_t pos_ = 0;
    size_t len_ = 0;
    off64_t offset_ = 0; // raw offset of the next byte the program reads or writes
};

// Our streams by their FILE, so that a flush to the disk finds the descriptor behind a stream
// that stdio knows only through its functions. Entries live exactly as long as their streams.
std::mutex g_streams_mutex;
std::unordered_map<FILE*, DosFile*> g_streams;

void register_stream(FILE* file, DosFile* dos_file) {
    const std::lock_guard lock(g_streams_mutex);
    g_streams[file] = dos_file;
}

DosFile* registered_stream(FILE* file) {
    const std::lock_guard lock(g_streams_mutex);
    const auto found = g_streams.find(file);
    return found == g_streams.end() ? nullptr : found->second;
}

void forget_stream(DosFile* dos_file) {
    const std::lock_guard lock(g_streams_mutex);
    std::erase_if(g_streams, [dos_file](const auto& entry) { return entry.second == dos_file; });
}

ssize_t dos_read(void* cookie, char* out, size_t size) {
    return static_cast<DosFile*>(cookie)->read(out, size);
}

ssize_t dos_write(void* cookie, const char* data, size_t size) {
    return static_cast<DosFile*>(cookie)->write(data, size);
}

int dos_seek(void* cookie, off64_t* where, int whence) {
    return static_cast<DosFile*>(cookie)->seek(where, whence);
}

int dos_close(void* cookie) {
    auto* file = static_cast<DosFile*>(cookie);
    forget_stream(file);
    const int result = file->close();
    delete file;
    return result;
}

bool creates(const OpenMode& mode) {
    return mode.kind == 'w' || mode.kind == 'a';
}

// What is at host before an open: nothing, or an ordinary file of some size.
std::optional<uint64_t> existing_size(const std::filesystem::path& host) {
    struct stat64 info {};
    if (::stat64(host.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return uint64_t(info.st_size);
}

} // namespace

FILE* open_dos_stream(const std::filesystem::path& host, const char* mode, const FileFaults* faults,
                      PowerCut* steps) {
    const std::optional<OpenMode> parsed = parse_mode(mode);
    if (!parsed) {
        errno = EINVAL;
        return nullptr;
    }
    StreamFaults stream_faults;
    if (faults != nullptr && faults->active()) {
        const std::string name = host.filename().string();
        if (creates(*parsed) && faults->refuses_create(name)) {
            errno = EACCES;
            return nullptr;
        }
        stream_faults = faults->for_stream(name);
    }
    PowerCut* watch = steps != nullptr && steps->counting() && (creates(*parsed) || parsed->update)
                          ? steps
                          : nullptr;
    std::optional<uint64_t> size_before;
    if (watch != nullptr) {
        size_before = existing_size(host);
        watch->opening_for_write(host);
    }
    const int fd = open_regular_file(host, *parsed);
    if (fd < 0) return nullptr;
    if (watch != nullptr)
        watch->opened_for_write(host, !size_before,
                                parsed->kind == 'w' && size_before.value_or(0) > 0);
    const std::string stdio = stdio_mode(*parsed);

    if (parsed->binary && !stream_faults.any() && watch == nullptr) {
        FILE* file = ::fdopen(fd, stdio.c_str());
        if (file == nullptr) {
            const int error = errno;
            ::close(fd);
            errno = error;
        }
        return file;
    }

    auto* dos_file = new DosFile(fd, !parsed->binary, stream_faults, watch, host);
    // Plain "a" starts at the end, as a binary append stream does; "a+" reads from the start.
    if (parsed->kind == 'a' && !parsed->update && !dos_file->start_at_end()) {
        const int error = errno;
        dos_file->close();
        delete dos_file;
        errno = error;
        return nullptr;
    }
    const cookie_io_functions_t functions{dos_read, dos_write, dos_seek, dos_close};
    FILE* file = ::fopencookie(dos_file, stdio.c_str(), functions);
    if (file == nullptr) {
        const int error = errno;
        dos_file->close();
        delete dos_file;
        errno = error;
        return nullptr;
    }
    register_stream(file, dos_file);
    // stdio works out positions from what is left in its own buffer, counted after translation.
    // With no stdio buffer the only read-ahead is ours, and ours is counted in raw bytes. It also
    // lets an injected full disk fail the write that meets it, not a later flush. A binary
    // stream watched only for its steps keeps the buffer a plain one has, so that its writes
    // reach the file as they would unwatched.
    if (!parsed->binary || stream_faults.any()) std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

int sync_dos_stream(FILE* file) {
    if (file == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (std::fflush(file) != 0) return -1;
    if (DosFile* dos_file = registered_stream(file)) return dos_file->sync();
    const int fd = ::fileno(file);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return ::fsync(fd);
}

} // namespace pcplat
