#include "machine/devices.hpp"

namespace pcplat {

Pic::Pic(PortBus& ports) {
    PortHandlers h;
    h.in8 = [this](uint16_t port) -> uint8_t { return port == ports::kPicMask ? imr_ : irr_; };
    h.out8 = [this](uint16_t port, uint8_t value) {
        if (port == ports::kPicMask)
            imr_ = value;
        else
            command(value);
    };
    claim_ = ports.claim(ports::kPicCommand, 2, std::move(h), "interrupt controller (8259)");
}

void Pic::command(uint8_t value) {
    // Only the non-specific end of interrupt matters to the programs we run; the BIOS has done
    // the initialisation words.
    if (value != kEoi) return;
    ++eoi_count_;
    for (int irq = 0; irq < 8; ++irq) {
        if (isr_ & (1u << irq)) {
            isr_ &= uint8_t(~(1u << irq));
            return;
        }
    }
}

int Pic::deliverable() const {
    for (int irq = 0; irq < 8; ++irq) {
        if (isr_ & (1u << irq)) return -1; // a higher-priority one is in service
        if ((irr_ & (1u << irq)) && !(imr_ & (1u << irq))) return irq;
    }
    return -1;
}

void Pic::acknowledge(int irq) {
    irr_ &= uint8_t(~(1u << irq));
    isr_ |= uint8_t(1u << irq);
}

} // namespace pcplat
