#include "machine/machine.hpp"

#include <pcplat/dos.h>

#include <cstdio>
#include <unistd.h>

using pcplat::Machine;

extern "C" {

void dos_get_vector(uint8_t n, FarPtr* vector) {
    Machine& m = Machine::current();
    m.safe_point();
    if (vector) *vector = m.vector(n);
}

void dos_set_vector(uint8_t n, FarPtr vector) {
    Machine& m = Machine::current();
    m.safe_point();
    m.set_vector(n, vector);
}

int dos_write(uint16_t handle, const void* data, uint16_t count, uint16_t* written) {
    // After a host fault (a crash report on its way out) no interrupt may run and no stdio lock
    // may be waited for.
    Machine& m = Machine::current();
    const bool host_fault = m.in_host_fault();
    if (!host_fault) m.safe_point();
    if (written) *written = 0;
    if (handle != 1 && handle != 2) return DOS_ERROR_INVALID_HANDLE;
    if (count == 0) return 0;
    if (!data) return DOS_ERROR_WRITE_FAULT;
    // Straight to the handle, after what the program's buffered streams already hold.
    FILE* stream = handle == 1 ? stdout : stderr;
    if (host_fault)
        pcplat::flush_unless_held(stream);
    else
        std::fflush(stream);
    uint16_t done = 0;
    const auto* bytes = static_cast<const char*>(data);
    while (done < count) {
        const ssize_t n = ::write(handle, bytes + done, count - done);
        if (n <= 0) break;
        done = static_cast<uint16_t>(done + n);
    }
    if (written) *written = done;
    return done == count ? 0 : DOS_ERROR_WRITE_FAULT;
}

} // extern "C"
