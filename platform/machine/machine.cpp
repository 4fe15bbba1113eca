#include "machine/machine.hpp"

#include "machine/host_console.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace pcplat {

namespace {

constexpr uint32_t kConventionalSize = 0xA0000;
// Ticks a single safe point may catch up on; more means the host stood still (a debugger, a
// suspended process) and those ticks are lost, as they would be on a PC with interrupts off.
constexpr uint64_t kMaxCatchUpTicks = 1000;
constexpr int kIdleWaitMs = 1;
constexpr int kExitDeskFailed = 4;
constexpr int kExitInputEnded = 5;
constexpr int kExitSignalBase = 128; // as a shell reports a signal
constexpr int kMaxFaultNesting = 4;

std::unique_ptr<Machine> g_own; // the machine a program built from its environment

sigset_t ending_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kEndingSignals)
        sigaddset(&set, s);
    return set;
}

std::filesystem::path make_temporary_desk() {
    std::string pattern = (std::filesystem::temp_directory_path() / "desksim-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary desk folder");
    return pattern;
}

// What the DPMI host does with an exception nobody handles: the program ends. After a host
// fault only what is safe in a signal handler is done: no stdio lock, no allocation.
void default_exception_handler(DpmiExceptionFrame* frame) {
    const Machine* m = Machine::installed();
    const bool host_fault = m && m->in_host_fault();
    if (!host_fault) std::fflush(stdout);
    say_on_stderr("desk PC: unhandled processor exception %u (error code 0x%08X) at selector "
                  "0x%04X offset 0x%08X; the program ends\n",
                  unsigned{frame->exception}, frame->error_code, unsigned{frame->fault_selector},
                  frame->fault_offset);
    if (host_fault) end_after_host_fault();
    std::exit(kExitFault);
}

uint32_t all_ones(Width width) {
    return width == Width::b32 ? 0xFFFFFFFFu : (1u << (8 * static_cast<unsigned>(width))) - 1;
}

} // namespace

uint64_t HostClock::now_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

FarPtr handler_pointer(void (*handler)()) {
    return FarPtr{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handler)),
                  Descriptors::kCodeSelector};
}

FarPtr exception_pointer(DpmiExceptionHandler handler) {
    return FarPtr{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handler)),
                  Descriptors::kCodeSelector};
}

Machine::Machine(const MachineOptions& options) : conventional_(kConventionalSize, 0) {
    if (options.desk_dir.empty()) {
        desk_dir_ = make_temporary_desk();
        desk_dir_text_ = desk_dir_.string();
        desk_is_temporary_ = true;
    } else {
        desk_dir_ = options.desk_dir;
        check_desk_folder(desk_dir_);
        desk_lock_ = std::make_unique<DeskLock>(desk_dir_);
    }
    try {
        file_faults = FileFaults::from_environment();
        bench_trace_ = std::make_unique<BenchTrace>();
        const char* unattended = std::getenv(kUnattendedVariable);
        unattended_ = unattended && *unattended && std::string_view(unattended) != "0";
        power_cut_ = std::make_unique<PowerCut>(bench_trace_.get(), &drives_,
                                                PowerCut::step_from_environment(),
                                                [this](uint64_t step) { power_off(step); });
        if (!desk_is_temporary_) profile_ = load_profile(desk_dir_ / desk::kProfileFile);
        if (options.manual_clock) {
            auto manual = std::make_unique<ManualClock>();
            manual_clock_ = manual.get();
            clock_ = std::move(manual);
        } else {
            clock_ = std::make_unique<HostClock>();
        }
        ram_.attach(conventional_);
        ram_mapping_ = phys_.map(0, kConventionalSize, ram_, "conventional RAM");
        pic_ = std::make_unique<Pic>(ports_);
        pit_ = std::make_unique<Pit>(ports_, *clock_);
        kbc_ = std::make_unique<Kbc>(ports_);
        mouse_ = std::make_unique<Mouse>(*this, profile_.mouse.present);
        speaker_ = std::make_unique<Speaker>(ports_, *pit_, *clock_, ticks_,
                                             desk_dir_ / desk::kSpeakerLogFile);
        pci_ = std::make_unique<Pci>(ports_, profile_.pci);
        vga_ = std::make_unique<Vga>(ports_, profile_.gfx);
        desk_ = std::make_unique<Desk>(desk_dir_, profile_, phys_, power_cut_.get());
        diskettes_ = std::make_unique<Diskettes>(profile_, desk_dir_, conventional_, phys_);

        if (!desk_is_temporary_)
            for (auto& entry : load_input_schedule(desk_dir_ / desk::kInputScheduleFile))
                schedule(std::move(entry));

        drives_.map('A', options.start_dir.empty() ? std::filesystem::current_path()
                                                   : options.start_dir);
        for (const auto& [letter, folder] : profile_.drives) {
            std::filesystem::path root = folder;
            if (root.is_relative()) {
                root = desk_dir_ / root;
                std::filesystem::create_directories(root);
            }
            if (!std::filesystem::is_directory(root))
                throw ProfileError(profile_.source + ": drives." + letter + ": folder " +
                                   root.string() + " does not exist");
            drives_.map(letter, root);
        }
    } catch (const ProfileError&) {
        if (desk_is_temporary_) std::filesystem::remove_all(desk_dir_);
        throw;
    } catch (const std::exception& e) {
        if (desk_is_temporary_) std::filesystem::remove_all(desk_dir_);
        throw ProfileError(desk_dir_.string() + ": " + e.what());
    }
    install_bios();
    mouse_->install();
    // One processor per process: a new machine starts it with interrupts on.
    cpu_flags.interrupts = 1;
    raise_attention();
    for (auto& handler : exceptions_)
        handler = exception_pointer(&default_exception_handler);
    host_faults_ = std::make_unique<HostFaults>(*this);
    if (options.host_console) console_ = std::make_unique<HostConsole>();
    if (!manual_clock_) {
        // Those signals are taken on the watcher thread, so the program's own thread never runs
        // a handler (and never sees EINTR from them). qemu's i386 user mode needs it too: a
        // handler on a thread other than the newest leaves that thread with the newest one's
        // thread-local storage.
        const sigset_t ending = ending_signals();
        pthread_sigmask(SIG_BLOCK, &ending, &program_signal_mask_);
        ticker_ = std::thread([this, ending] {
            pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
            run_ticker();
        });
    }
}

// The host side of the interrupt lines: raises the attention flag when a timer tick falls due
// or standard input has something, and never touches the machine itself.
void Machine::run_ticker() {
    using std::chrono::nanoseconds;
    constexpr uint64_t kLongestSleepNs = 5'000'000;
    constexpr uint64_t kBackoffNs = 1'000'000;
    while (!stop_ticker_.load(std::memory_order_relaxed)) {
        const uint64_t now = clock_->now_ns();
        const uint64_t deadline = pit_->next_deadline_ns();
        if (deadline <= now) {
            raise_attention();
            std::this_thread::sleep_for(nanoseconds(kBackoffNs));
            continue;
        }
        const uint64_t wait_ns = std::min(deadline - now, kLongestSleepNs);
        if (console_ && !console_->input_closed()) {
            if (console_->wait_input(static_cast<int>((wait_ns + 999'999) / 1'000'000))) {
                raise_attention();
                std::this_thread::sleep_for(nanoseconds(kBackoffNs));
            }
        } else {
            std::this_thread::sleep_for(nanoseconds(wait_ns));
        }
    }
}

Machine::~Machine() {
    host_faults_.reset();
    stop_ticker_.store(true);
    if (ticker_.joinable()) {
        ticker_.join();
        pthread_sigmask(SIG_SETMASK, &program_signal_mask_, nullptr);
    }
    if (installed_ == this) installed_ = nullptr;
    speaker_.reset(); // logs a tone still sounding while the desk folder is there
    console_.reset();
    desk_.reset();
    if (desk_is_temporary_) {
        std::error_code ec;
        std::filesystem::remove_all(desk_dir_, ec);
    }
    desk_lock_.reset(); // the state files are let go of first
}

const char* library_version() {
    return DESK_VERSION;
}

void Machine::install(Machine* machine) {
    installed_ = machine;
}

std::unique_ptr<Machine> Machine::from_environment(bool host_console) {
    MachineOptions options;
    if (const char* desk = std::getenv("DESKSIM"); desk && *desk) options.desk_dir = desk;
    options.host_console = host_console;
    return std::make_unique<Machine>(options);
}

Machine& Machine::start_from_environment() {
    try {
        g_own = from_environment(true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "desk PC cannot start: %s\n", e.what());
        std::exit(kExitDeskFailed);
    }
    installed_ = g_own.get();
    return *installed_;
}

void Machine::serve_safe_point() {
    clear_attention();
    if (const int signal_number = HostConsole::pending_signal(); console_ && signal_number) {
        std::fflush(stdout);
        std::exit(kExitSignalBase + signal_number); // the desk and the terminal are put right
    }
    if (console_) console_->poll(*kbc_);
    uint64_t due = std::min(pit_->take_due_ticks(), kMaxCatchUpTicks);
    deliver_scheduled();
    for (;;) {
        if (due > 0) {
            ++ticks_;
            deliver_scheduled();
            // The controller latches one request; a tick that finds it still latched is lost.
            if (!pic_->requested(0)) pic_->raise(0);
            --due;
        }
        if (kbc_->refill()) pic_->raise(1);
        if (mouse_->refill()) pic_->raise(Mouse::kIrq);
        const int irq = interrupts_enabled() ? pic_->deliverable() : -1;
        if (irq < 0) {
            if (due == 0) break;
            continue;
        }
        pic_->acknowledge(irq);
        cli(); // an interrupt gate
        call_vector(vectors_[Pic::kVectorBase + irq]);
        cpu_flags.interrupts = 1; // the interrupt return restores the flag
    }
    // A request still held (the flag is clear, or one in service blocks it) needs the next sti.
    if (pic_->has_request()) raise_attention();
}

void Machine::schedule(ScheduledInput entry) {
    const uint64_t tick = entry.tick;
    schedule_.emplace(tick, std::move(entry));
    raise_attention(); // one that is due already comes at the next safe point
}

void Machine::schedule_key(uint64_t tick, std::string_view text) {
    ScheduledInput entry;
    entry.tick = tick;
    entry.text = text;
    schedule(std::move(entry));
}

void Machine::schedule_scancode(uint64_t tick, uint8_t make_code) {
    ScheduledInput entry;
    entry.tick = tick;
    entry.kind = ScheduledInput::Kind::scancode;
    entry.scancode = make_code;
    schedule(std::move(entry));
}

void Machine::schedule_mouse(uint64_t tick, int16_t dx_mickeys, int16_t dy_mickeys,
                             uint8_t buttons) {
    ScheduledInput entry;
    entry.tick = tick;
    entry.kind = ScheduledInput::Kind::mouse;
    entry.dx = dx_mickeys;
    entry.dy = dy_mickeys;
    entry.buttons = buttons;
    schedule(std::move(entry));
}

void Machine::deliver_scheduled() {
    while (!schedule_.empty() && schedule_.begin()->first <= ticks_) {
        const ScheduledInput& entry = schedule_.begin()->second;
        switch (entry.kind) {
        case ScheduledInput::Kind::text:
            kbc_->type_text(entry.text);
            break;
        case ScheduledInput::Kind::scancode:
            kbc_->press_key(entry.scancode);
            break;
        case ScheduledInput::Kind::mouse:
            mouse_->event(entry.dx, entry.dy, entry.buttons); // ignored without a mouse
            break;
        }
        schedule_.erase(schedule_.begin());
    }
}

void Machine::call_vector(FarPtr v) {
    if (v.selector != Descriptors::kCodeSelector || v.offset == 0) {
        raise_fault(DPMI_EXCEPTION_GP, v.selector & 0xFFFCu, v.selector, v.offset);
        return;
    }
    reinterpret_cast<InterruptHandler>(static_cast<uintptr_t>(v.offset))();
}

void Machine::software_int(uint8_t n) {
    const uint8_t was = cpu_flags.interrupts;
    cli();
    call_vector(vectors_[n]);
    cpu_flags.interrupts = was;
}

void Machine::raise_fault(uint8_t exception, uint32_t error_code, uint16_t selector,
                          uint32_t offset) {
    ++faults_;
    DpmiExceptionFrame frame{};
    frame.error_code = error_code;
    frame.cs = Descriptors::kCodeSelector;
    frame.eflags = interrupts_enabled() ? 0x202u : 0x002u;
    frame.ss = Descriptors::kDataSelector;
    frame.exception = exception;
    frame.fault_selector = selector;
    frame.fault_offset = offset;
    frame.ds = Descriptors::kDataSelector;
    frame.es = Descriptors::kDataSelector;
    // A handler that keeps faulting would recurse without end.
    if (++fault_nesting_ > kMaxFaultNesting) default_exception_handler(&frame);
    // Exception handlers run with interrupts off; the flag comes back with the return.
    const uint8_t was = cpu_flags.interrupts;
    cli();
    dpmi_chain_exception(exceptions_[exception < exceptions_.size() ? exception : 0], &frame);
    cpu_flags.interrupts = was;
    --fault_nesting_;
}

void Machine::raise_host_fault(DpmiExceptionFrame& frame) {
    ++faults_;
    in_host_fault_ = true;
    cli();
    dpmi_chain_exception(exceptions_[frame.exception], &frame);
    // The handlers returned, but the faulting instruction cannot be run again.
    say_on_stderr("desk PC: processor exception %u in the program cannot be resumed; the program "
                  "ends\n",
                  unsigned{frame.exception});
    end_after_host_fault();
}

namespace {

// Where an access through a selector lands: program memory for the program's own flat
// selectors, the physical bus for every descriptor of the local table.
struct Target {
    bool program_memory = false;
    uint32_t address = 0;
};

} // namespace

static bool resolve_access(Machine& m, uint16_t selector, uint32_t offset, Width width,
                           bool writing, Target& target) {
    const uint32_t n = static_cast<uint32_t>(width);
    if (selector == Descriptors::kDataSelector ||
        (selector == Descriptors::kCodeSelector && !writing)) {
        target = {true, offset};
        return true;
    }
    if (selector == 0 || selector == Descriptors::kCodeSelector) {
        m.raise_fault(DPMI_EXCEPTION_GP, 0, selector, offset);
        return false;
    }
    const Descriptors::Descriptor* d = m.descriptors().find(selector);
    if (!d) {
        m.raise_fault(DPMI_EXCEPTION_GP, selector & 0xFFFCu, selector, offset);
        return false;
    }
    if (uint64_t{offset} + n - 1 > d->limit) {
        m.raise_fault(DPMI_EXCEPTION_GP, 0, selector, offset);
        return false;
    }
    target = {false, d->base + offset};
    return true;
}

bool Machine::far_read(uint16_t selector, uint32_t offset, Width width, uint32_t& value) {
    Target t;
    if (!resolve_access(*this, selector, offset, width, false, t)) {
        value = all_ones(width);
        return false;
    }
    if (t.program_memory) {
        value = 0;
        std::memcpy(&value, reinterpret_cast<const void*>(static_cast<uintptr_t>(t.address)),
                    static_cast<size_t>(width));
        return true;
    }
    value = phys_.read(t.address, width);
    return true;
}

bool Machine::far_write(uint16_t selector, uint32_t offset, Width width, uint32_t value) {
    Target t;
    if (!resolve_access(*this, selector, offset, width, true, t)) return false;
    if (t.program_memory) {
        std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(t.address)), &value,
                    static_cast<size_t>(width));
        return true;
    }
    phys_.write(t.address, value, width);
    return true;
}

bool Machine::real_int(uint8_t n, RealRegs& regs) {
    if (real_ints_[n]) real_ints_[n](regs);
    return true;
}

void Machine::set_real_procedure(uint16_t segment, uint16_t offset, RealModeService service) {
    real_procedures_[uint32_t{segment} << 16 | offset] = std::move(service);
}

bool Machine::real_call(RealRegs& regs) {
    // There is no real-mode code to run here, only the procedures devices registered; a call
    // anywhere else is refused instead of running into nothing.
    const auto it = real_procedures_.find(uint32_t{regs.cs} << 16 | regs.ip);
    if (it == real_procedures_.end()) return false;
    it->second(regs);
    return true;
}

void Machine::idle() {
    constexpr auto kRest = std::chrono::microseconds(100);
    if (!manual_clock_) std::this_thread::sleep_for(kRest);
}

void Machine::wait_interrupt() {
    if (!manual_clock_ && !attention_raised())
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWaitMs));
    safe_point();
}

bool Machine::keyboard_input_ended() {
    if (!console_ || !console_->input_closed() || kbc_->queued() != 0 || bios_key_waiting())
        return false;
    // Keys still to come from the schedule are input too.
    return std::none_of(schedule_.begin(), schedule_.end(), [](const auto& entry) {
        return entry.second.kind != ScheduledInput::Kind::mouse;
    });
}

void Machine::end_nvr_call(std::string_view kind) {
    NvrMemory* nvr = desk_->nvr();
    if (nvr == nullptr) return;
    if (const std::optional<NvrMemory::Range> written = nvr->take_written())
        power_cut_->nvr_written(kind, written->first, written->last);
}

void Machine::power_off(uint64_t step) {
    // What the screen showed is not kept, but a person watching sees it up to the cut.
    std::fflush(stdout);
    std::fprintf(stderr, "desk PC: the power failed after step %llu (%s)\n",
                 static_cast<unsigned long long>(step), PowerCut::kVariable);
    HostConsole::restore_terminal();
    if (desk_is_temporary_) {
        std::error_code ec;
        std::filesystem::remove_all(desk_dir_, ec);
    }
    // No destructor and no stdio flush: buffered file data is lost, as it is on a desk.
    _exit(kExitPowerCut);
}

[[noreturn]] void Machine::end_input_exhausted() {
    std::fflush(stdout);
    std::fprintf(stderr, "desk PC: the program waits for a key, but keyboard input has ended\n");
    std::exit(kExitInputEnded);
}

} // namespace pcplat
