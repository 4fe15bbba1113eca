#include "machine/devices.hpp"
#include "machine/machine.hpp"

namespace pcplat {

namespace {
constexpr uint64_t kNsPerSecond = 1'000'000'000;

// Conversions between host nanoseconds and timer input clocks, split so that neither side
// overflows 64 bits in any run length.
uint64_t clocks_in(uint64_t ns) {
    return ns / kNsPerSecond * Pit::kInputHz + ns % kNsPerSecond * Pit::kInputHz / kNsPerSecond;
}

uint64_t ns_for(uint64_t clocks) {
    return clocks / Pit::kInputHz * kNsPerSecond +
           (clocks % Pit::kInputHz * kNsPerSecond + Pit::kInputHz - 1) / Pit::kInputHz;
}
} // namespace

Pit::Pit(PortBus& ports, Clock& clock) : clock_(clock) {
    const uint64_t now = clock_.now_ns();
    for (auto& c : channels_)
        c.epoch_ns = now;
    PortHandlers counters;
    counters.in8 = [this](uint16_t port) { return read_counter(port - ports::kPitChannel0); };
    counters.out8 = [this](uint16_t port, uint8_t v) {
        write_counter(port - ports::kPitChannel0, v);
    };
    counters_ = ports.claim(ports::kPitChannel0, 3, std::move(counters), "timer (8254) counters");
    PortHandlers control_handlers;
    control_handlers.out8 = [this](uint16_t, uint8_t v) { control(v); };
    control_ =
        ports.claim(ports::kPitControl, 1, std::move(control_handlers), "timer (8254) control");
    publish_deadline();
}

void Pit::publish_deadline() {
    const Channel& c = channels_[0];
    // The first nanosecond at which tick number ticks_taken + 1 has fallen due.
    next_deadline_ns_.store(c.epoch_ns + ns_for((c.ticks_taken + 1) * c.divisor),
                            std::memory_order_relaxed);
}

uint64_t Pit::period_ns(int channel) const {
    return ns_for(channels_[channel].divisor);
}

uint64_t Pit::take_due_ticks() {
    Channel& c = channels_[0];
    // Exact in counter clocks, so a long run does not drift.
    const uint64_t total = clocks_in(clock_.now_ns() - c.epoch_ns) / c.divisor;
    const uint64_t due = total - c.ticks_taken;
    c.ticks_taken = total;
    if (due) publish_deadline();
    return due;
}

uint16_t Pit::current_count(const Channel& c) const {
    const uint64_t clocks = clocks_in(clock_.now_ns() - c.epoch_ns);
    return static_cast<uint16_t>(c.divisor - clocks % c.divisor);
}

void Pit::control(uint8_t value) {
    const int channel = value >> 6;
    if (channel == 3) return; // read-back command: not used by the desk's programs
    Channel& c = channels_[channel];
    const uint8_t access = (value >> 4) & 3;
    if (access == 0) { // counter latch
        c.latch = current_count(c);
        c.latched = true;
        c.latch_high_next = false;
        return;
    }
    c.access = access;
    c.mode = (value >> 1) & 7;
    c.high_next = false;
}

void Pit::write_counter(int channel, uint8_t value) {
    Channel& c = channels_[channel];
    uint16_t divisor = 0;
    if (c.access == 1) {
        divisor = value;
    } else if (c.access == 2) {
        divisor = static_cast<uint16_t>(value << 8);
    } else if (!c.high_next) {
        c.low = value;
        c.high_next = true;
        return;
    } else {
        divisor = static_cast<uint16_t>(c.low | (value << 8));
        c.high_next = false;
    }
    // A new count starts a new period now.
    c.divisor = divisor == 0 ? 65536 : divisor;
    c.epoch_ns = clock_.now_ns();
    c.ticks_taken = 0;
    if (channel == 0) publish_deadline();
    if (count_loaded) count_loaded(channel);
}

uint8_t Pit::read_counter(int channel) {
    Channel& c = channels_[channel];
    const uint16_t count = c.latched ? c.latch : current_count(c);
    if (c.access == 1) {
        c.latched = false;
        return static_cast<uint8_t>(count);
    }
    if (c.access == 2) {
        c.latched = false;
        return static_cast<uint8_t>(count >> 8);
    }
    if (!c.latch_high_next) {
        c.latch_high_next = true;
        return static_cast<uint8_t>(count);
    }
    c.latch_high_next = false;
    c.latched = false;
    return static_cast<uint8_t>(count >> 8);
}

} // namespace pcplat
