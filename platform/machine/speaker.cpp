#include "machine/devices.hpp"

namespace pcplat {

namespace {
constexpr uint8_t kWritable = 0x0F;
constexpr uint8_t kRefreshToggle = 0x10;
} // namespace

Speaker::Speaker(PortBus& ports, const Pit& pit) : pit_(pit) {
    PortHandlers h;
    h.in8 = [this](uint16_t) -> uint8_t {
        // Bit 4 toggles with memory refresh; programs poll it for short delays.
        refresh_ = !refresh_;
        return static_cast<uint8_t>(value_ | (refresh_ ? kRefreshToggle : 0));
    };
    h.out8 = [this](uint16_t, uint8_t v) { value_ = v & kWritable; };
    claim_ =
        ports.claim(ports::kSystemControlB, 1, std::move(h), "system control port B (speaker)");
}

} // namespace pcplat
