#include "machine/machine.hpp"

#include <pcplat/host.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <span>

extern "C" void host_use_builtin_desk(void) {
    ::unsetenv("DESKSIM");
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDIN_FILENO);
        ::close(null_fd);
    }
}

extern "C" void host_note_command(uint32_t script_offset) {
    pcplat::Machine& m = pcplat::Machine::current();
    if (!m.bench_trace().active()) return;
    pcplat::CardWindow* card0 = m.desk().card(0);
    m.bench_trace().command(script_offset,
                            card0 ? card0->file().bytes() : std::span<const uint8_t>{});
}

extern "C" void host_note_error_code(uint16_t code) {
    pcplat::Machine::current().bench_trace().error_code(code);
}
