// The simulated desk PC. One Machine is current per process; the C API of pcplat forwards to it.
// Tests make a fresh machine each; a program gets one built from its environment on first use.
#pragma once

#include "desk/desk.hpp"
#include "desk/profile.hpp"
#include "machine/attention.hpp"
#include "machine/bench_trace.hpp"
#include "machine/buses.hpp"
#include "machine/devices.hpp"
#include "machine/drives.hpp"
#include "machine/file_faults.hpp"
#include "machine/floppy.hpp"
#include "machine/host_faults.hpp"
#include "machine/input_schedule.hpp"
#include "machine/mouse.hpp"
#include "machine/power_cut.hpp"

#include <pcplat/dpmi.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace pcplat {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t now_ns() = 0;
};

class HostClock final : public Clock {
  public:
    uint64_t now_ns() override;
};

// Time that moves only when a test says so.
class ManualClock final : public Clock {
  public:
    uint64_t now_ns() override { return now_; }
    void advance_ns(uint64_t ns) {
        now_ += ns;
        raise_attention();
    }

  private:
    uint64_t now_ = 0;
};

// The local descriptor table as the DPMI host keeps it.
class Descriptors {
  public:
    static constexpr uint16_t kCodeSelector = 0x000F;
    static constexpr uint16_t kDataSelector = 0x0017;
    struct Descriptor {
        uint32_t base = 0;
        uint32_t limit = 0;
        bool allocated = false;
    };
    // count consecutive descriptors; 0 when there is no room.
    uint16_t allocate(uint16_t count);
    bool free(uint16_t selector);
    Descriptor* find(uint16_t selector);
    bool set_base(uint16_t selector, uint32_t base);
    // Page granular from 1 MiB up: the low 12 bits become ones.
    bool set_limit(uint16_t selector, uint32_t limit);

  private:
    static constexpr uint16_t kFirstIndex = 16;
    static constexpr uint16_t kEntries = 8192;
    static uint16_t index_of(uint16_t selector) { return selector >> 3; }
    std::map<uint16_t, Descriptor> table_; // by index
};

// Conventional memory blocks handed out by DPMI 0100h, between the DOS kernel and 640 KiB.
class DosMemory {
  public:
    static constexpr uint16_t kFirstSegment = 0x0800;
    static constexpr uint16_t kEndSegment = 0xA000;
    // The segment of a new block, or nothing (then largest_free() tells what would fit).
    std::optional<uint16_t> allocate(uint16_t paragraphs);
    bool free(uint16_t segment);
    uint16_t largest_free() const;

  private:
    std::map<uint16_t, uint16_t> blocks_; // segment -> paragraphs
};

// Real-mode services reached through DPMI 0300h (by interrupt number) and 0301h (by CS:IP).
using RealModeService = std::function<void(RealRegs&)>;

struct MachineOptions {
    // The desk folder with desk.toml and the state files; empty for the built-in default desk in
    // a fresh temporary folder that goes with the machine.
    std::filesystem::path desk_dir;
    // Drive A:; empty for the current directory.
    std::filesystem::path start_dir;
    bool manual_clock = false;
    // Keyboard from standard input and the cursor on standard output.
    bool host_console = false;
};

class HostConsole;

// The status a program ends with after a processor exception nobody handled.
constexpr int kExitFault = 3;

class Machine {
  public:
    // Throws ProfileError for a desk that cannot start.
    explicit Machine(const MachineOptions& options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The process's machine: the one installed, else one built from the environment (DESKSIM
    // names the desk folder); a desk that cannot start ends the process with a message.
    static Machine& current() { return installed_ ? *installed_ : start_from_environment(); }
    static Machine* installed() { return installed_; }
    // Makes this the current machine (nullptr: none).
    static void install(Machine* machine);
    // The machine a program gets: from DESKSIM, or the built-in default desk.
    static std::unique_ptr<Machine> from_environment(bool host_console);

    // Delivers pending hardware interrupts if the interrupt flag is set. Every API call is one,
    // so the way out when nothing is pending must stay this short.
    void safe_point() {
        if (attention_raised()) serve_safe_point();
    }

    // The processor.
    bool interrupts_enabled() const { return cpu_flags.interrupts != 0; }
    void cli() { cpu_flags.interrupts = 0; }
    void sti() {
        cpu_flags.interrupts = 1;
        safe_point();
    }
    FarPtr vector(uint8_t n) const { return vectors_[n]; }
    void set_vector(uint8_t n, FarPtr v) { vectors_[n] = v; }
    void call_vector(FarPtr v);
    void software_int(uint8_t n);
    FarPtr exception_handler(uint8_t n) const { return exceptions_[n]; }
    void set_exception_handler(uint8_t n, FarPtr v) { exceptions_[n] = v; }
    // Raises a processor exception through the installed handler chain.
    void raise_fault(uint8_t exception, uint32_t error_code, uint16_t selector, uint32_t offset);
    // A fault of the host processor (see HostFaults): through the same chain, from the signal
    // handler. Afterwards the program can only end.
    [[noreturn]] void raise_host_fault(DpmiExceptionFrame& frame);
    // True from a host fault on: nothing may then wait for a lock or serve interrupts.
    bool in_host_fault() const { return in_host_fault_; }
    unsigned faults() const { return faults_; }

    // Far access through a selector; false (after the fault has been raised) when it faults.
    bool far_read(uint16_t selector, uint32_t offset, Width width, uint32_t& value);
    bool far_write(uint16_t selector, uint32_t offset, Width width, uint32_t value);

    bool real_int(uint8_t n, RealRegs& regs);
    bool real_call(RealRegs& regs);
    // Registers what real-mode interrupt n does (BIOS services); replaces an earlier one.
    void set_real_int(uint8_t n, RealModeService service) { real_ints_[n] = std::move(service); }
    void set_real_procedure(uint16_t segment, uint16_t offset, RealModeService service);

    PhysBus& phys() { return phys_; }
    PortBus& ports() { return ports_; }
    Pic& pic() { return *pic_; }
    Pit& pit() { return *pit_; }
    Kbc& kbc() { return *kbc_; }
    Mouse& mouse() { return *mouse_; }
    Speaker& speaker() { return *speaker_; }
    Descriptors& descriptors() { return descriptors_; }
    DosMemory& dos_memory() { return dos_memory_; }
    DriveMap& drives() { return drives_; }
    Diskettes& diskettes() { return *diskettes_; }
    Desk& desk() { return *desk_; }
    const Profile& profile() const { return profile_; }
    Clock& clock() { return *clock_; }
    // Null unless the machine was made with a manual clock.
    ManualClock* manual_clock() { return manual_clock_; }
    std::span<uint8_t> conventional() { return conventional_; }
    const std::filesystem::path& desk_dir() const { return desk_dir_; }
    bool desk_is_temporary() const { return desk_is_temporary_; }
    // PCPLAT_UNATTENDED, read at the start: no one will press the panel keys of this desk (a
    // test bench's copy), so once piped keyboard input has ended no answer can ever come.
    static constexpr const char* kUnattendedVariable = "PCPLAT_UNATTENDED";
    bool unattended() const { return unattended_; }
    // The desk folder as text made once, for a path that may not allocate.
    const char* desk_dir_text() const { return desk_dir_text_.c_str(); }

    // The BIOS keyboard buffer: words of (scan << 8 | ascii), as INT 16h gives them.
    bool bios_key_waiting();
    uint16_t bios_read_key(); // 0 when none
    // The console's extended-key state: the scan code still to give after a 0.
    std::optional<uint8_t>& pending_extended() { return pending_extended_; }
    // The BIOS's own handlers of INT 08h and INT 09h.
    void bios_timer();
    void bios_keyboard();
    // A short rest for a program that polls for something that has not come (host clock only).
    void idle();
    // Waits for an interrupt (host input or timer) while the flag is set.
    void wait_interrupt();

    HostConsole* host_console() { return console_.get(); }
    // True when no key can ever come again: standard input has ended and nothing is queued or
    // scheduled.
    bool keyboard_input_ended();
    // Ends a program that would wait for a key forever, with a message.
    [[noreturn]] void end_input_exhausted();

    // Timer ticks (channel 0 periods) since power-on, counted as safe points take them.
    uint64_t ticks() const { return ticks_; }
    // Input to arrive once the tick count reaches entry.tick: keys through the keyboard
    // controller as typed keys come, mouse events through mouse().event(). A desk's
    // input-schedule file is scheduled at power-on.
    void schedule(ScheduledInput entry);
    void schedule_key(uint64_t tick, std::string_view text);
    void schedule_scancode(uint64_t tick, uint8_t make_code);
    void schedule_mouse(uint64_t tick, int16_t dx_mickeys, int16_t dy_mickeys, uint8_t buttons);
    size_t scheduled_count() const { return schedule_.size(); }

    // Physical ranges mapped for the program (DPMI 0800h), by linear address; 0801h ends one.
    std::multiset<uint32_t>& phys_mappings() { return phys_mappings_; }

    uint32_t last_error = 0; // GetLastError
    FileFaults file_faults;  // the test hook, from PCPLAT_FILE_FAULTS at the start
    BenchTrace& bench_trace() { return *bench_trace_; }
    // The steps that change the desk's lasting state, and the power cut (PCPLAT_POWER_CUT).
    PowerCut& power_cut() { return *power_cut_; }
    // Ends a platform call that may have written the NVR: whatever it wrote is one step, kind
    // "nvr-write" or "nvr-fill".
    void end_nvr_call(std::string_view kind);
    std::map<void*, unsigned> modules; // loaded by win32_load_library, with their load counts

  private:
    std::multiset<uint32_t> phys_mappings_;
    static Machine& start_from_environment();
    void serve_safe_point();
    void deliver_scheduled();
    void install_bios();
    void run_ticker();
    void bios_int16(RealRegs& regs);
    void bios_int1a(RealRegs& regs);
    uint16_t bda_word(uint32_t offset);
    void set_bda_word(uint32_t offset, uint16_t value);
    // The machine's part of a power cut, after the files are put back: the process ends at once.
    [[noreturn]] void power_off(uint64_t step);

    Profile profile_;
    std::filesystem::path desk_dir_;
    std::string desk_dir_text_;
    bool desk_is_temporary_ = false;
    bool unattended_ = false;
    std::unique_ptr<DeskLock> desk_lock_; // a named desk runs one machine at a time
    std::unique_ptr<Clock> clock_;
    ManualClock* manual_clock_ = nullptr;
    uint64_t ticks_ = 0;
    std::multimap<uint64_t, ScheduledInput> schedule_; // by tick, in the order scheduled
    PhysBus phys_;
    PortBus ports_;
    std::vector<uint8_t> conventional_;
    MemoryDevice ram_;
    BusMapping ram_mapping_;
    std::unique_ptr<Pic> pic_;
    std::unique_ptr<Pit> pit_;
    std::unique_ptr<Kbc> kbc_;
    std::unique_ptr<Mouse> mouse_;
    std::unique_ptr<Speaker> speaker_;
    std::unique_ptr<Pci> pci_;
    std::unique_ptr<Vga> vga_;
    std::unique_ptr<Desk> desk_;
    Descriptors descriptors_;
    DosMemory dos_memory_;
    DriveMap drives_;
    std::unique_ptr<Diskettes> diskettes_;
    std::unique_ptr<HostConsole> console_;

    std::atomic<bool> stop_ticker_{false};
    std::thread ticker_; // watches the host clock and standard input for the main thread
    sigset_t program_signal_mask_{}; // the program's thread's mask before the watcher started

    static inline Machine* installed_ = nullptr;
    std::array<FarPtr, 256> vectors_{};
    std::array<FarPtr, 32> exceptions_{};
    std::array<RealModeService, 256> real_ints_{};
    std::map<uint32_t, RealModeService> real_procedures_;
    std::optional<uint8_t> pending_extended_;
    unsigned faults_ = 0;
    int fault_nesting_ = 0;
    bool in_host_fault_ = false;
    std::unique_ptr<BenchTrace> bench_trace_;
    std::unique_ptr<PowerCut> power_cut_;
    std::unique_ptr<HostFaults> host_faults_;
};

// Packs a protected-mode handler into a far pointer of the program's code segment.
FarPtr handler_pointer(void (*handler)());
FarPtr exception_pointer(DpmiExceptionHandler handler);

// The version of the platform library that is loaded ("3.7.1").
const char* library_version();

} // namespace pcplat
