// The three interrupt hooks of the event machinery: the timer tick (INT 1Ch), the keyboard
// (INT 09h) and the mouse driver's event routine (INT 33h). Each handler only notes what
// happened and calls the callback that the event dispatch registered; a callback that is not
// null also marks its hook as installed, so install and remove strictly alternate.
#pragma once

#include <pcplat/cpu.h>
#include <vantrel/exec.h>

#include <cstdint>

namespace vantrel {

using HookCallback = void (*)();

struct HookState {
    HookCallback timer_callback = nullptr;
    FarPtr saved_timer_vector{};
    HookCallback keyboard_callback = nullptr;
    uint8_t last_scan_code = 0; // read from port 0x60 by the latest keyboard interrupt
    FarPtr saved_keyboard_vector{};
    HookCallback mouse_callback = nullptr;
    MouseRegs mouse_regs{}; // the driver's registers at the latest event
};

inline HookState g_hook_state;
inline HookState& hooks() {
    return g_hook_state;
}

// Installs the INT 1Ch handler and sets the tick to 39.26 Hz; returns 1.
uint16_t E_TimerHookOn();
// Puts the saved INT 1Ch handler back; the tick rate stays.
void E_TimerHookOff();
// Installs the INT 09h handler, which keeps keys from the BIOS; returns 1.
uint16_t E_KeyboardHookOn();
void E_KeyboardHookOff();
// Resets the mouse driver and registers the event routine; 1 if a driver answered, else 0 and
// nothing is installed.
uint16_t E_MouseHookOn();
// Resets the mouse driver, which drops the event routine.
void E_MouseHookOff();

} // namespace vantrel
