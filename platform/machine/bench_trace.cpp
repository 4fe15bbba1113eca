#include "machine/bench_trace.hpp"

#include "desk/profile.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pcplat {

BenchTrace::BenchTrace() {
    const char* path = std::getenv(kVariable);
    if (path == nullptr || *path == '\0') return;
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw ProfileError(std::string(kVariable) + ": cannot write " + path + ": " +
                           std::strerror(errno));
}

BenchTrace::~BenchTrace() {
    if (fd_ >= 0) ::close(fd_);
}

void BenchTrace::command(uint32_t script_offset) {
    if (fd_ < 0) return;
    record("command " + std::to_string(script_offset));
}

void BenchTrace::record(std::string_view line) {
    if (fd_ < 0) return;
    std::string text(line);
    text += '\n';
    // One write per record: O_APPEND keeps records whole even if the run is cut off after it.
    (void)!::write(fd_, text.data(), text.size());
}

} // namespace pcplat
