// The timer, keyboard and mouse hooks and their handlers. The handlers run at interrupt time on
// top of whatever was interrupted, so they touch only the hook state and the callback they call.
#include "hw/interrupt_hooks.hpp"

#include <pcplat/dos.h>
#include <pcplat/dpmi.h>
#include <pcplat/mouse.h>

namespace vantrel {

namespace {

constexpr uint8_t kTimerVector = 0x1C;
constexpr uint8_t kKeyboardVector = 0x09;
constexpr uint8_t kMouseInterrupt = 0x33;
constexpr uint16_t kPitControl = 0x43;
constexpr uint16_t kPitChannel0 = 0x40;
constexpr uint8_t kChannel0RateGenerator = 0x34; // channel 0, low then high byte, mode 2, binary
constexpr uint16_t kTickDivisor = 0x76B8;        // 1193182 / 30392 = 39.26 Hz
constexpr uint16_t kKeyboardData = 0x60;
constexpr uint16_t kPicCommand = 0x20;
constexpr uint8_t kEndOfInterrupt = 0x20;
constexpr uint16_t kMouseDriverPresent = 0xFFFF;
constexpr uint16_t kEveryMouseEvent = 0x00FF;

FarPtr our_handler(void (*handler)()) {
    return FarPtr{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handler)), cpu_code_selector()};
}

void E_TimerHandler() {
    HookState& h = hooks();
    if (h.timer_callback) h.timer_callback();
    // The handler found at installation runs on and returns from the interrupt.
    cpu_call_vector(h.saved_timer_vector);
}

void E_KeyboardHandler() {
    HookState& h = hooks();
    h.last_scan_code = io_inb(kKeyboardData);
    if (h.keyboard_callback) h.keyboard_callback();
    // No chain to the BIOS: while the hook is in, keys reach only the callback.
    io_outb(kPicCommand, kEndOfInterrupt);
}

void E_MouseHandler(const RealRegs* regs) {
    HookState& h = hooks();
    h.mouse_regs.event_mask = static_cast<uint16_t>(regs->eax);
    h.mouse_regs.buttons = static_cast<uint16_t>(regs->ebx);
    h.mouse_regs.x = static_cast<uint16_t>(regs->ecx);
    h.mouse_regs.y = static_cast<uint16_t>(regs->edx);
    h.mouse_regs.mickeys_x = static_cast<uint16_t>(regs->esi);
    h.mouse_regs.mickeys_y = static_cast<uint16_t>(regs->edi);
    if (h.mouse_callback) h.mouse_callback();
}

void mouse_driver(RealRegs& regs) {
    dpmi_real_int(kMouseInterrupt, &regs);
}

} // namespace

uint16_t E_TimerHookOn() {
    HookState& h = hooks();
    dos_get_vector(kTimerVector, &h.saved_timer_vector);
    dos_set_vector(kTimerVector, our_handler(&E_TimerHandler));
    io_outb(kPitControl, kChannel0RateGenerator);
    io_outb(kPitChannel0, static_cast<uint8_t>(kTickDivisor & 0xFF));
    io_outb(kPitChannel0, static_cast<uint8_t>(kTickDivisor >> 8));
    return 1;
}

void E_TimerHookOff() {
    dos_set_vector(kTimerVector, hooks().saved_timer_vector);
}

uint16_t E_KeyboardHookOn() {
    HookState& h = hooks();
    dos_get_vector(kKeyboardVector, &h.saved_keyboard_vector);
    dos_set_vector(kKeyboardVector, our_handler(&E_KeyboardHandler));
    return 1;
}

void E_KeyboardHookOff() {
    dos_set_vector(kKeyboardVector, hooks().saved_keyboard_vector);
}

uint16_t E_MouseHookOn() {
    RealRegs regs{};
    regs.eax = MOUSE_RESET;
    mouse_driver(regs);
    if (static_cast<uint16_t>(regs.eax) != kMouseDriverPresent) return 0;
    regs = RealRegs{};
    regs.eax = MOUSE_SET_EVENT_ROUTINE;
    regs.ecx = kEveryMouseEvent;
    regs.es = cpu_code_selector();
    regs.edx = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&E_MouseHandler));
    mouse_driver(regs);
    return 1;
}

void E_MouseHookOff() {
    RealRegs regs{};
    regs.eax = MOUSE_RESET;
    mouse_driver(regs);
}

} // namespace vantrel
