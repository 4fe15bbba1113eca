// Faults of the host processor in the program (a wild pointer, a bus error, an invalid
// instruction) reach the DPMI exception handlers as the desk's processor exceptions would.
#pragma once

#include <pcplat/dpmi.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace pcplat {

class Machine;

// While it lives, SIGSEGV, SIGBUS and SIGILL of the thread that made it become exception 14
// (SIGSEGV, with the page-fault error code) or 13 (the others) of the machine. The fault cannot
// be resumed: after the handlers the program ends with the fault status. Everything on that path
// is safe in a signal handler: no allocation, no lock a faulting program may hold.
class HostFaults {
  public:
    explicit HostFaults(Machine& machine);
    ~HostFaults();
    HostFaults(const HostFaults&) = delete;
    HostFaults& operator=(const HostFaults&) = delete;

  private:
    struct sigaction saved_[3]{};
    stack_t saved_stack_{};
    bool own_stack_ = false;
};

// Writes out what a stream's buffer holds, unless someone holds the stream (a program that
// faulted inside stdio may): then its text stays. Safe in a signal handler.
void flush_unless_held(FILE* stream);
// One line on standard error with a single write, formatted without allocating.
void say_on_stderr(const char* format, ...);

// Ends the program after a fault that cannot be resumed: what its buffered standard output
// holds is written when nobody holds that stream, a temporary desk is removed, and the process
// exits with the fault status at once.
[[noreturn]] void end_after_host_fault();

} // namespace pcplat
