#include "machine/mouse.hpp"

#include "machine/machine.hpp"

#include <pcplat/mouse.h>

#include <algorithm>

namespace pcplat {

namespace {

constexpr int32_t kPixelsPerRatioStep = 8; // ratios are mickeys per 8 pixels
constexpr uint8_t kButtonBits = MOUSE_BUTTON_LEFT | MOUSE_BUTTON_RIGHT | MOUSE_BUTTON_MIDDLE;

uint32_t with_low_word(uint32_t reg, uint16_t value) {
    return (reg & 0xFFFF0000u) | value;
}

// The protected-mode entry of the driver's IRQ 4 handler, a plain function so that a far pointer
// can name it.
void irq_entry() {
    Machine::current().mouse().interrupt();
}

} // namespace

void Mouse::Axis::move(int16_t mickey_delta) {
    // The part of a pixel that a slow movement makes is kept for the next event, so a mouse
    // pushed gently still gets somewhere.
    residue += int32_t{mickey_delta} * kPixelsPerRatioStep;
    const int32_t pixels = residue / ratio;
    residue -= pixels * ratio;
    position = static_cast<int16_t>(std::clamp<int32_t>(position + pixels, min, max));
    mickeys = static_cast<uint16_t>(mickeys + mickey_delta);
}

void Mouse::Axis::set_range(int16_t a, int16_t b) {
    // The driver takes the two limits in either order.
    min = std::min(a, b);
    max = std::max(a, b);
    position = std::clamp(position, min, max);
}

Mouse::Mouse(Machine& machine, bool present) : machine_(machine), present_(present) {
    reset();
}

void Mouse::install() {
    if (!present_) return;
    machine_.set_vector(Pic::kVectorBase + kIrq, handler_pointer(&irq_entry));
    machine_.set_real_int(kInterrupt, [this](RealRegs& r) { int33(r); });
}

void Mouse::reset() {
    horizontal_ = Axis{0, kDefaultMaxX, kDefaultRatioX, (kDefaultMaxX + 1) / 2, 0, 0};
    vertical_ = Axis{0, kDefaultMaxY, kDefaultRatioY, (kDefaultMaxY + 1) / 2, 0, 0};
    call_mask_ = 0;
    routine_ = FarPtr{};
}

void Mouse::event(int16_t dx_mickeys, int16_t dy_mickeys, uint8_t buttons) {
    if (!present_) return; // nothing is plugged in to tell
    queue_.push_back(Event{dx_mickeys, dy_mickeys, buttons});
    raise_attention();
}

bool Mouse::refill() {
    if (latched_ || queue_.empty()) return false;
    latest_ = queue_.front();
    queue_.pop_front();
    latched_ = true;
    return true;
}

void Mouse::interrupt() {
    if (latched_) {
        latched_ = false;
        const uint8_t before = buttons_;
        buttons_ = latest_.buttons & kButtonBits;
        horizontal_.move(latest_.dx);
        vertical_.move(latest_.dy);
        uint16_t mask = (latest_.dx || latest_.dy) ? MOUSE_EVENT_MOVE : 0;
        for (unsigned i = 0; i < 3; ++i) {
            const uint8_t bit = static_cast<uint8_t>(1u << i);
            if ((buttons_ & bit) && !(before & bit)) mask |= MOUSE_EVENT_LEFT_DOWN << (2 * i);
            if (!(buttons_ & bit) && (before & bit)) mask |= MOUSE_EVENT_LEFT_UP << (2 * i);
        }
        if (mask & call_mask_) call_routine(mask);
    }
    machine_.ports().out8(ports::kPicCommand, Pic::kEoi);
    if (!queue_.empty()) raise_attention(); // the next event can come in now
}

void Mouse::call_routine(uint16_t mask) {
    if (routine_.offset == 0) return;
    if (routine_.selector != Descriptors::kCodeSelector) {
        // A far call through a selector that is not the program's code is a fault, as on the PC.
        machine_.raise_fault(DPMI_EXCEPTION_GP, routine_.selector & 0xFFFCu, routine_.selector,
                             routine_.offset);
        return;
    }
    RealRegs regs{};
    regs.eax = mask;
    regs.ebx = buttons_;
    regs.ecx = static_cast<uint16_t>(horizontal_.position);
    regs.edx = static_cast<uint16_t>(vertical_.position);
    regs.esi = horizontal_.mickeys;
    regs.edi = vertical_.mickeys;
    reinterpret_cast<MouseEventRoutine>(static_cast<uintptr_t>(routine_.offset))(&regs);
}

void Mouse::int33(RealRegs& regs) {
    const auto cx = static_cast<int16_t>(regs.ecx);
    const auto dx = static_cast<int16_t>(regs.edx);
    switch (static_cast<uint16_t>(regs.eax)) {
    case MOUSE_RESET:
        reset();
        regs.eax = with_low_word(regs.eax, 0xFFFF);
        regs.ebx = with_low_word(regs.ebx, kButtonCount);
        break;
    case MOUSE_SET_X_RANGE:
        horizontal_.set_range(cx, dx);
        break;
    case MOUSE_SET_Y_RANGE:
        vertical_.set_range(cx, dx);
        break;
    case MOUSE_SET_EVENT_ROUTINE:
        call_mask_ = static_cast<uint16_t>(regs.ecx);
        routine_ = FarPtr{regs.edx, regs.es};
        break;
    case MOUSE_SET_RATIO:
        // A ratio of 0 or less would stop or reverse the pointer (and divide by zero): such a
        // value leaves that axis's ratio as it was.
        if (cx > 0) horizontal_.ratio = cx;
        if (dx > 0) vertical_.ratio = dx;
        break;
    default:
        break;
    }
}

} // namespace pcplat
