// The PC speaker and one read of PCI configuration space, straight on the ports.
#include "core/library.hpp"

namespace {
constexpr uint16_t kPitChannel2 = 0x42;
constexpr uint16_t kPitControl = 0x43;
constexpr uint16_t kSystemControlB = 0x61;
constexpr uint16_t kPciConfigAddress = 0xCF8;
constexpr uint16_t kPciConfigData = 0xCFC;
// Channel 2, low byte then high byte, mode 3 (square wave), binary counting.
constexpr uint8_t kChannel2SquareWave = 0xB6;
constexpr uint8_t kGateAndSpeakerData = 0x03;
} // namespace

extern "C" void E_Sound(uint16_t divisor) {
    io_outb(kPitControl, kChannel2SquareWave);
    io_outb(kPitChannel2, static_cast<uint8_t>(divisor));
    io_outb(kPitChannel2, static_cast<uint8_t>(divisor >> 8));
    io_outb(kSystemControlB, static_cast<uint8_t>(io_inb(kSystemControlB) | kGateAndSpeakerData));
}

// Channel 2 stays programmed: the next E_Sound sets it again anyway.
extern "C" void E_NoSound(void) {
    io_outb(kSystemControlB, static_cast<uint8_t>(io_inb(kSystemControlB) & ~kGateAndSpeakerData));
}

// The caller composes the address (enable bit, bus, device, function) and the register offset;
// CONFIG_ADDRESS keeps what was written.
extern "C" uint32_t E_GetBaseAddress0(uint32_t config_address, uint32_t offset) {
    io_outl(kPciConfigAddress, config_address + offset);
    return io_inl(kPciConfigData);
}
