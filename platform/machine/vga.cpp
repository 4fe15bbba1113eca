#include "machine/devices.hpp"

#include <functional>

namespace pcplat {

namespace {
constexpr uint8_t kAbsent = 0xFF;
constexpr uint8_t kLastStandardSequencer = 0x04;
constexpr uint8_t kLastStandardCrtc = 0x18;

constexpr uint8_t kSequencerUnlock = 0x08;
constexpr uint8_t kSequencerUnlockKey = 0x06;

constexpr uint8_t kLock1 = 0x38; // opens CRT 0x2D-0x3F
constexpr uint8_t kLock1Key = 0x48;
constexpr uint8_t kLock2 = 0x39; // opens CRT 0x40 and up
constexpr uint8_t kLock2Key = 0xA5;
constexpr uint8_t kFirstChipCrtc = 0x2D;
constexpr uint8_t kLastChipCrtc = 0x3F;
constexpr uint8_t kFirstSystemCrtc = 0x40;

constexpr uint8_t kIdHigh = 0x2D;
constexpr uint8_t kIdLow = 0x2E;
constexpr uint8_t kRevision = 0x2F;
constexpr uint8_t kConfiguration = 0x36;
constexpr uint8_t kMemoryFieldBits = 0x07;
constexpr int kMemoryFieldShift = 5;
// The configuration's other bits (bus and memory type straps) are set, as on a real board, so a
// reader has to mask the memory size field out.
constexpr uint8_t kConfigurationStraps = 0x0E;
// System configuration at power-on; bit 0 (enhanced registers on) is clear.
constexpr uint8_t kSystemConfig = 0x40;
constexpr uint8_t kSystemConfigPowerOn = 0x30;

uint8_t value_of(const uint8_t* reg) {
    return reg ? *reg : kAbsent;
}

void store(uint8_t* reg, uint8_t value) {
    if (reg) *reg = value;
}

bool read_only(uint8_t crtc_index) {
    return crtc_index == kIdHigh || crtc_index == kIdLow || crtc_index == kRevision ||
           crtc_index == kConfiguration;
}

// An index port and the data port after it: the data port reads and writes the register the
// index names, where lookup finds it (null: it reads 0xFF and writes vanish), except the ones
// fixed says are read-only.
PortHandlers bank_ports(uint16_t index_port, uint8_t& index,
                        std::function<uint8_t*(uint8_t)> lookup, bool (*fixed)(uint8_t)) {
    PortHandlers handlers;
    handlers.in8 = [index_port, &index, lookup](uint16_t port) {
        return port == index_port ? index : value_of(lookup(index));
    };
    handlers.out8 = [index_port, &index, lookup, fixed](uint16_t port, uint8_t v) {
        if (port == index_port)
            index = v;
        else if (!fixed || !fixed(index))
            store(lookup(index), v);
    };
    return handlers;
}
} // namespace

Vga::Vga(PortBus& ports, const GfxProfile& profile) : chip_(profile.chip) {
    crtc_.registers[kIdHigh] = static_cast<uint8_t>(profile.id >> 8);
    crtc_.registers[kIdLow] = static_cast<uint8_t>(profile.id);
    crtc_.registers[kRevision] = profile.revision;
    crtc_.registers[kConfiguration] = static_cast<uint8_t>(
        (profile.memory_field & kMemoryFieldBits) << kMemoryFieldShift | kConfigurationStraps);
    crtc_.registers[kSystemConfig] = kSystemConfigPowerOn;

    sequencer_claim_ =
        ports.claim(ports::kVgaSequencerIndex, 2,
                    bank_ports(
                        ports::kVgaSequencerIndex, sequencer_.index,
                        [this](uint8_t i) { return sequencer_register(i); }, nullptr),
                    "VGA sequencer");
    crtc_claim_ = ports.claim(ports::kVgaCrtcIndex, 2,
                              bank_ports(
                                  ports::kVgaCrtcIndex, crtc_.index,
                                  [this](uint8_t i) { return crtc_register(i); }, read_only),
                              "VGA CRT controller");
}

uint8_t* Vga::sequencer_register(uint8_t index) {
    if (index <= kLastStandardSequencer) return &sequencer_.registers[index];
    if (!chip_) return nullptr;
    const bool open = sequencer_.registers[kSequencerUnlock] == kSequencerUnlockKey;
    if (index == kSequencerUnlock || (index > kSequencerUnlock && open))
        return &sequencer_.registers[index];
    return nullptr;
}

uint8_t* Vga::crtc_register(uint8_t index) {
    if (index <= kLastStandardCrtc) return &crtc_.registers[index];
    if (!chip_) return nullptr;
    if (index == kLock1 || index == kLock2) return &crtc_.registers[index];
    const bool chip_open = crtc_.registers[kLock1] == kLock1Key;
    const bool system_open = crtc_.registers[kLock2] == kLock2Key;
    if ((index >= kFirstChipCrtc && index <= kLastChipCrtc && chip_open) ||
        (index >= kFirstSystemCrtc && system_open))
        return &crtc_.registers[index];
    return nullptr;
}

} // namespace pcplat
