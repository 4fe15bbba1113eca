/* The mouse driver (INT 33h), reached through dpmi_real_int(0x33, regs) as on the desk: the
 * function in AX, its arguments in the other registers of the block. */
#ifndef PCPLAT_MOUSE_H
#define PCPLAT_MOUSE_H

#include <pcplat/dpmi.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    /* Reset: AX comes back 0xFFFF with BX the button count when a driver is present, else 0.
     * The reset also drops the event routine and puts the ranges and ratios back. */
    MOUSE_RESET = 0x00,
    MOUSE_SET_X_RANGE = 0x07,       /* CX minimum, DX maximum */
    MOUSE_SET_Y_RANGE = 0x08,       /* CX minimum, DX maximum */
    MOUSE_SET_EVENT_ROUTINE = 0x0C, /* CX event mask, ES:EDX the routine (protected mode) */
    MOUSE_SET_RATIO = 0x0F,         /* CX, DX: mickeys per 8 pixels, horizontal and vertical */
};

/* What happened, in AX of an event routine's call and in the mask of function 0Ch. */
enum {
    MOUSE_EVENT_MOVE = 0x01,
    MOUSE_EVENT_LEFT_DOWN = 0x02,
    MOUSE_EVENT_LEFT_UP = 0x04,
    MOUSE_EVENT_RIGHT_DOWN = 0x08,
    MOUSE_EVENT_RIGHT_UP = 0x10,
    MOUSE_EVENT_MIDDLE_DOWN = 0x20,
    MOUSE_EVENT_MIDDLE_UP = 0x40,
};

/* Button state bits, in BX. */
enum { MOUSE_BUTTON_LEFT = 0x01, MOUSE_BUTTON_RIGHT = 0x02, MOUSE_BUTTON_MIDDLE = 0x04 };

/* The event routine that function 0Ch registers from protected mode (ES the program's code
 * selector, EDX the routine). The driver calls it from its interrupt, with the interrupt flag
 * clear, for each event whose kind is in the mask, and passes the registers it would load on
 * the desk: EAX the event mask, EBX the buttons, ECX and EDX the position, ESI and EDI the
 * horizontal and vertical mickey counts. */
typedef void (*MouseEventRoutine)(const RealRegs* regs);

#ifdef __cplusplus
}
#endif

#endif
