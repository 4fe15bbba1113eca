#include "machine/devices.hpp"

namespace pcplat {

namespace {
constexpr uint32_t kEnable = 0x80000000u;
constexpr uint32_t kDeviceMask = 0x00FFFF00u; // bus, device, function
constexpr uint32_t kIdRegister = 0x00;
constexpr uint32_t kClassRegister = 0x08;
constexpr uint32_t kBar0Register = 0x10;
constexpr uint32_t kHostBridgeClass = 0x06000003; // bridge, host, revision 3
} // namespace

Pci::Pci(PortBus& ports, const PciProfile& bridge) : bridge_(bridge) {
    PortHandlers h;
    h.in32 = [this](uint16_t port) -> uint32_t {
        return port == ports::kPciAddress ? address_ : read_config();
    };
    h.out32 = [this](uint16_t port, uint32_t v) {
        if (port == ports::kPciAddress) address_ = v;
    };
    // Byte reads of CONFIG_DATA give the lanes of the dword.
    h.in8 = [this](uint16_t port) -> uint8_t {
        if (port >= ports::kPciData)
            return static_cast<uint8_t>(read_config() >> (8 * (port - ports::kPciData)));
        return static_cast<uint8_t>(address_ >> (8 * (port - ports::kPciAddress)));
    };
    h.out8 = [this](uint16_t port, uint8_t v) {
        if (port >= ports::kPciData) return;
        const int shift = 8 * (port - ports::kPciAddress);
        address_ = (address_ & ~(0xFFu << shift)) | (uint32_t{v} << shift);
    };
    claim_ = ports.claim(ports::kPciAddress, 8, std::move(h), "PCI configuration");
}

uint32_t Pci::read_config() const {
    if (!(address_ & kEnable) || (address_ & kDeviceMask) != 0) return 0xFFFFFFFFu;
    switch (address_ & 0xFC) {
    case kIdRegister:
        return uint32_t{bridge_.device} << 16 | bridge_.vendor;
    case kClassRegister:
        return kHostBridgeClass;
    case kBar0Register:
        return bridge_.bar0;
    default:
        return 0;
    }
}

} // namespace pcplat
