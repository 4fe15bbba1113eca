// The PC's own devices on the port bus: interrupt controller, timer, keyboard controller,
// speaker port, PCI configuration space and the graphics adapter's registers.
#pragma once

#include "desk/profile.hpp"
#include "machine/attention.hpp"
#include "machine/buses.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

namespace pcplat {

class Clock;

namespace ports {
constexpr uint16_t kPicCommand = 0x20;
constexpr uint16_t kPicMask = 0x21;
constexpr uint16_t kPitChannel0 = 0x40;
constexpr uint16_t kPitChannel2 = 0x42;
constexpr uint16_t kPitControl = 0x43;
constexpr uint16_t kKbcData = 0x60;
constexpr uint16_t kSystemControlB = 0x61;
constexpr uint16_t kKbcStatus = 0x64;
constexpr uint16_t kPciAddress = 0xCF8;
constexpr uint16_t kPciData = 0xCFC;
constexpr uint16_t kVgaSequencerIndex = 0x3C4; // data at index + 1
constexpr uint16_t kVgaCrtcIndex = 0x3D4;      // colour addressing; data at index + 1
} // namespace ports

// The master 8259: IRQ n raises vector 8 + n. A non-specific EOI (0x20 to port 0x20) ends the
// highest-priority interrupt in service.
class Pic {
  public:
    static constexpr uint8_t kVectorBase = 0x08;
    static constexpr uint8_t kEoi = 0x20;
    explicit Pic(PortBus& ports);
    void raise(int irq) { irr_ |= uint8_t(1u << irq); }
    // Something is requested, masked or not: a safe point may yet have to deliver it.
    bool has_request() const { return irr_ != 0; }
    // The IRQ that the processor would take now, or -1.
    int deliverable() const;
    void acknowledge(int irq);
    bool requested(int irq) const { return irr_ & (1u << irq); }
    bool in_service(int irq) const { return isr_ & (1u << irq); }
    unsigned eoi_count() const { return eoi_count_; }

  private:
    void command(uint8_t value);
    uint8_t irr_ = 0, isr_ = 0, imr_ = 0;
    unsigned eoi_count_ = 0;
    PortClaim claim_;
};

// The 8253/8254 timer: channel 0 drives IRQ 0 at 1193182 Hz / divisor (65536 at power-on, 18.2
// Hz); channel 2 drives the speaker.
class Pit {
  public:
    static constexpr uint32_t kInputHz = 1193182;
    Pit(PortBus& ports, Clock& clock);
    // Ticks of channel 0 that have fallen due since the last call.
    uint64_t take_due_ticks();
    // When the next tick of channel 0 falls due; may be read from another thread.
    uint64_t next_deadline_ns() const { return next_deadline_ns_.load(std::memory_order_relaxed); }
    uint32_t divisor(int channel) const { return channels_[channel].divisor; }
    double rate_hz(int channel) const { return double(kInputHz) / divisor(channel); }
    uint64_t period_ns(int channel) const;
    uint8_t mode(int channel) const { return channels_[channel].mode; }
    // Told the channel each time a new count is loaded into it (after both bytes where both are
    // written).
    std::function<void(int channel)> count_loaded;

  private:
    struct Channel {
        uint32_t divisor = 65536;
        uint8_t access = 3; // 1 low byte, 2 high byte, 3 low then high
        uint8_t mode = 3;
        bool high_next = false;
        uint8_t low = 0;
        uint16_t latch = 0;
        bool latched = false;
        bool latch_high_next = false;
        uint64_t epoch_ns = 0;
        uint64_t ticks_taken = 0;
    };
    void control(uint8_t value);
    void write_counter(int channel, uint8_t value);
    uint8_t read_counter(int channel);
    uint16_t current_count(const Channel& c) const;
    void publish_deadline();
    Channel channels_[3];
    std::atomic<uint64_t> next_deadline_ns_{0};
    Clock& clock_;
    PortClaim counters_, control_;
};

// System control port B (0x61): bit 0 gates timer channel 2, bit 1 feeds the speaker. A tone
// sounds while both are set, at channel 2's rate; a count loaded into channel 2 meanwhile ends
// that tone and starts the next. Each tone is appended to the log file when it ends (the file is
// started afresh by the first tone after power-on); one still sounding when the speaker goes is
// logged with its length so far.
class Speaker {
  public:
    // ticks: the machine's timer tick count, read when a tone starts.
    Speaker(PortBus& ports, Pit& pit, Clock& clock, const uint64_t& ticks,
            std::filesystem::path log_file);
    ~Speaker();
    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;
    bool sounding() const { return (value_ & 3) == 3; }
    double tone_hz() const { return sounding() ? pit_.rate_hz(2) : 0.0; }
    uint8_t port_value() const { return value_; }
    unsigned tones_logged() const { return tones_logged_; }

  private:
    void write_port(uint8_t value);
    void begin_tone();
    void end_tone();
    uint8_t value_ = 0;
    bool refresh_ = false;
    Pit& pit_;
    Clock& clock_;
    const uint64_t& ticks_;
    uint64_t power_on_ns_ = 0;
    std::filesystem::path log_file_;
    bool log_started_ = false;
    unsigned tones_logged_ = 0;
    // The tone sounding now.
    uint64_t tone_tick_ = 0;
    uint64_t tone_start_ns_ = 0;
    uint32_t tone_divisor_ = 0;
    PortClaim claim_;
};

// The US keyboard layout, both ways.
struct KeyStroke {
    uint8_t scan = 0;
    bool shift = false;
    bool ctrl = false;
};
std::optional<KeyStroke> keystroke_for(char c);
// The character a make code gives with the shift and control keys as they are; 0 for none (an
// extended key).
uint8_t ascii_for(uint8_t scan, bool shift, bool ctrl);

namespace scan {
constexpr uint8_t kBreak = 0x80;
constexpr uint8_t kLeftShift = 0x2A;
constexpr uint8_t kRightShift = 0x36;
constexpr uint8_t kCtrl = 0x1D;
constexpr uint8_t kAlt = 0x38;
constexpr uint8_t kF1 = 0x3B;
constexpr uint8_t kUp = 0x48;
constexpr uint8_t kLeft = 0x4B;
constexpr uint8_t kRight = 0x4D;
constexpr uint8_t kDown = 0x50;
} // namespace scan

// The keyboard controller: scan codes wait in a queue; one at a time sits in the output buffer
// at port 0x60 and raises IRQ 1 until it is read.
class Kbc {
  public:
    explicit Kbc(PortBus& ports);
    void push_scancode(uint8_t code) {
        queue_.push_back(code);
        raise_attention();
    }
    // Types text as a US keyboard would: make and break codes, with shift where needed. A line
    // feed is the Enter key.
    void type_text(std::string_view text);
    // Presses and releases one key by its make code (an extended key such as F1 or an arrow).
    void press_key(uint8_t scan_code);
    // Loads the next code into the output buffer when it is empty; true if IRQ 1 should be
    // raised.
    bool refill();
    size_t queued() const { return queue_.size() + (full_ ? 1 : 0); }

  private:
    uint8_t read_data();
    std::deque<uint8_t> queue_;
    uint8_t data_ = 0;
    bool full_ = false;
    PortClaim claim_, status_claim_;
};

// PCI configuration mechanism 1 with one host bridge at bus 0, device 0, function 0, whose
// identity and base address register 0 come from the profile.
class Pci {
  public:
    Pci(PortBus& ports, const PciProfile& bridge);

  private:
    uint32_t read_config() const;
    PciProfile bridge_;
    uint32_t address_ = 0;
    PortClaim claim_;
};

// The graphics adapter's sequencer and CRT controller: index port, then data port. Standard
// registers hold what is written. An S3-style chip adds extended registers, locked at power-on:
// CRT 0x38 = 0x48 opens CRT 0x2D-0x3F (identity 0x2D/0x2E, revision 0x2F and configuration 0x36,
// all from the profile and read-only), CRT 0x39 = 0xA5 opens CRT 0x40 and up, and sequencer
// 0x08 = 0x06 opens sequencer 0x09 and up. A locked register, and any register that the adapter
// lacks (every extended one on a plain VGA adapter), reads 0xFF and ignores writes.
class Vga {
  public:
    Vga(PortBus& ports, const GfxProfile& profile);

  private:
    struct Bank {
        uint8_t index = 0; // what the index port holds
        std::array<uint8_t, 256> registers{};
    };
    // Where a register's value lives, or null while it reads 0xFF and ignores writes.
    uint8_t* sequencer_register(uint8_t index);
    uint8_t* crtc_register(uint8_t index);

    bool chip_ = false;
    Bank sequencer_, crtc_;
    PortClaim sequencer_claim_, crtc_claim_;
};

} // namespace pcplat
