#include "machine/power_cut.hpp"

#include "desk/profile.hpp"
#include "machine/bench_trace.hpp"
#include "machine/drives.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pcplat {

namespace {

constexpr size_t kReadChunk = 65536;
constexpr mode_t kRestoredFileMode = 0666;

// The whole file, or nothing when there is no ordinary file to read.
std::optional<std::string> read_whole(const std::filesystem::path& host) {
    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_LARGEFILE | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat64 info {};
    if (::fstat64(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string content;
    for (;;) {
        const size_t had = content.size();
        content.resize(had + kReadChunk);
        const ssize_t got = ::read(fd, content.data() + had, kReadChunk);
        if (got < 0 && errno == EINTR) {
            content.resize(had);
            continue;
        }
        content.resize(had + size_t(got > 0 ? got : 0));
        if (got <= 0) break;
    }
    ::close(fd);
    return content;
}

void write_whole(const std::filesystem::path& host, const std::string& content) {
    const int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_LARGEFILE,
                          kRestoredFileMode);
    if (fd < 0) return;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t put = ::write(fd, content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += size_t(put);
    }
    ::close(fd);
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%05X", value);
    return text;
}

} // namespace

std::optional<uint64_t> PowerCut::step_from_environment() {
    const char* text = std::getenv(kVariable);
    if (text == nullptr || *text == '\0') return std::nullopt;
    const std::string_view value = text;
    uint64_t step = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), step);
    if (error != std::errc{} || end != value.data() + value.size() || step == 0)
        throw ProfileError(std::string(kVariable) + ": \"" + text +
                           "\" is not a step number (1 or more)");
    return step;
}

PowerCut::PowerCut(BenchTrace* trace, const DriveMap* drives, std::optional<uint64_t> cut_after,
                   std::function<void(uint64_t step)> power_off)
    : trace_(trace != nullptr && trace->active() ? trace : nullptr), drives_(drives),
      cut_after_(cut_after), power_off_(std::move(power_off)) {}

void PowerCut::opening_for_write(const std::filesystem::path& host) {
    if (!armed()) return;
    // The first open since the start finds the file as an earlier run (or the desk's maker)
    // left it, on the disk for good.
    durable_.try_emplace(host.string(), read_whole(host));
}

void PowerCut::opened_for_write(const std::filesystem::path& host, bool created, bool truncated) {
    if (!counting()) return;
    if (created) {
        step("create", name(host));
    } else if (truncated) {
        step("truncate", name(host));
    }
}

void PowerCut::written(const std::filesystem::path& host) {
    if (!counting()) return;
    step("write", name(host));
}

void PowerCut::flushed(const std::filesystem::path& host) {
    if (!counting()) return;
    if (armed()) durable_[host.string()] = read_whole(host);
    step("flush", name(host));
}

void PowerCut::renamed(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!counting()) return;
    if (armed()) {
        // The name goes with whatever a cut would leave of the file; a file not written since
        // the start is on the disk as it stands, and so is the target now.
        const auto source = durable_.find(from.string());
        if (source != durable_.end()) {
            durable_.insert_or_assign(to.string(), std::move(source->second));
            durable_.erase(source);
        } else {
            durable_.erase(to.string());
        }
    }
    step("rename", name(from) + " " + name(to));
}

void PowerCut::deleted(const std::filesystem::path& host) {
    if (!counting()) return;
    if (armed()) durable_.erase(host.string());
    step("delete", name(host));
}

void PowerCut::directory_made(const std::filesystem::path& host) {
    if (!counting()) return;
    step("mkdir", name(host));
}

void PowerCut::nvr_written(std::string_view kind, uint32_t first, uint32_t last) {
    if (!counting()) return;
    step(kind, hex(first) + "-" + hex(last));
}

void PowerCut::card_block(int window, std::string_view outcome, uint8_t command) {
    if (!counting()) return;
    char what[64];
    std::snprintf(what, sizeof what, "card%d 0x%02X %.*s", window, unsigned{command},
                  int(outcome.size()), outcome.data());
    step("card-block", what);
}

void PowerCut::step(std::string_view kind, const std::string& what) {
    ++steps_;
    if (trace_ != nullptr) {
        std::string line = "step " + std::to_string(steps_) + " ";
        line += kind;
        line += " ";
        line += what;
        trace_->record(line);
    }
    if (cut_after_ && steps_ == *cut_after_) fail();
}

std::string PowerCut::name(const std::filesystem::path& host) const {
    if (drives_ != nullptr)
        if (std::optional<std::string> dos = drives_->dos_name(host)) return *dos;
    return host.string();
}

void PowerCut::fail() {
    // Renames, deletes and directories are as the platform did them; only file data that never
    // reached the disk is lost.
    for (const auto& [path, content] : durable_) {
        if (content) {
            write_whole(path, *content);
        } else {
            ::unlink(path.c_str());
        }
    }
    if (power_off_) power_off_(steps_);
    _exit(kExitPowerCut);
}

} // namespace pcplat
