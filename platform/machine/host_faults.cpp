#include "machine/host_faults.hpp"

#include "machine/machine.hpp"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

namespace pcplat {

namespace {

constexpr std::array<int, 3> kFaultSignals{SIGSEGV, SIGBUS, SIGILL};
constexpr uint8_t kGeneralProtection = 13;
constexpr uint8_t kPageFault = 14;

// The handler's own stack: a fault may come from a stack that has run out. Mapped, not a
// global array, so that AddressSanitizer sees plain memory where the handler's frames go.
constexpr size_t kFaultStackSize = 64 * 1024;
void* fault_stack() {
    static void* const stack = [] {
        void* p = mmap(nullptr, kFaultStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }();
    return stack;
}

// Set while a host fault is handled; a fault on that path ends the program at once.
volatile sig_atomic_t g_handling = 0;

void fill_frame(DpmiExceptionFrame& frame, int signal, const siginfo_t* info,
                const ucontext_t* context) {
    const greg_t* r = context->uc_mcontext.gregs;
    auto reg = [r](int n) { return static_cast<uint32_t>(r[n]); };
    frame.exception = signal == SIGSEGV ? kPageFault : kGeneralProtection;
    // The page-fault error code says what the access was (present, write, user); for the others
    // there is none.
    frame.error_code = signal == SIGSEGV ? reg(REG_ERR) : 0;
    frame.eip = reg(REG_EIP);
    frame.cs = Descriptors::kCodeSelector;
    frame.eflags = reg(REG_EFL);
    frame.esp = reg(REG_UESP);
    frame.ss = Descriptors::kDataSelector;
    frame.fault_selector = Descriptors::kDataSelector;
    frame.fault_offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr));
    frame.eax = reg(REG_EAX);
    frame.ebx = reg(REG_EBX);
    frame.ecx = reg(REG_ECX);
    frame.edx = reg(REG_EDX);
    frame.esi = reg(REG_ESI);
    frame.edi = reg(REG_EDI);
    frame.ebp = reg(REG_EBP);
    // The host's segment registers mean nothing on the desk: the program's data selector.
    frame.ds = Descriptors::kDataSelector;
    frame.es = Descriptors::kDataSelector;
}

// The i386 ABI wants the stack 16-byte aligned at a call; the emulator that runs this code on
// 64-bit hosts enters signal handlers 4 bytes off, which breaks whatever relies on it (the
// sanitizers' frame layout among them). The handler aligns it again.
__attribute__((force_align_arg_pointer)) void on_host_fault(int signal, siginfo_t* info,
                                                            void* context) {
    if (g_handling) _exit(kExitFault); // the handlers themselves faulted
    g_handling = 1;
    Machine* machine = Machine::installed();
    if (machine == nullptr) _exit(kExitFault);
    DpmiExceptionFrame frame{};
    fill_frame(frame, signal, info, static_cast<const ucontext_t*>(context));
    machine->raise_host_fault(frame);
}

// rm -rf of a folder, from a signal handler: a child process made without the fork handlers,
// which may need locks the faulting program holds.
void remove_folder(const char* folder) {
    const pid_t child = _Fork();
    if (child == 0) {
        const char* argv[] = {"rm", "-rf", "--", folder, nullptr};
        execv("/bin/rm", const_cast<char* const*>(argv));
        _exit(127);
    }
    if (child > 0) waitpid(child, nullptr, 0);
}

} // namespace

HostFaults::HostFaults(Machine&) {
    if (void* memory = fault_stack()) {
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = kFaultStackSize;
        sigaltstack(&stack, &saved_stack_);
        own_stack_ = true;
    }
    struct sigaction action {};
    action.sa_sigaction = &on_host_fault;
    // SA_NODEFER: a fault inside the handlers comes in again, and ends the program.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kFaultSignals.size(); ++i)
        sigaction(kFaultSignals[i], &action, &saved_[i]);
}

HostFaults::~HostFaults() {
    for (size_t i = 0; i < kFaultSignals.size(); ++i)
        sigaction(kFaultSignals[i], &saved_[i], nullptr);
    if (own_stack_) sigaltstack(&saved_stack_, nullptr);
}

void flush_unless_held(FILE* stream) {
    if (ftrylockfile(stream) != 0) return;
    fflush_unlocked(stream);
    funlockfile(stream);
}

void say_on_stderr(const char* format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length > 0) (void)!::write(2, text, std::min<size_t>(size_t(length), sizeof text - 1));
}

void end_after_host_fault() {
    flush_unless_held(stdout);
    if (Machine* m = Machine::installed(); m && m->desk_is_temporary())
        remove_folder(m->desk_dir_text());
    _exit(kExitFault);
}

} // namespace pcplat
