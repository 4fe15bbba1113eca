// The mouse and its driver: a serial mouse on COM1 (IRQ 4) whose driver serves INT 33h and calls
// the program's event routine from its interrupt. A desk without a mouse has neither: INT 33h
// leaves the registers as they were, so a reset reads AX = 0.
#pragma once

#include <pcplat/cpu.h>
#include <pcplat/dpmi.h>

#include <cstdint>
#include <deque>

namespace pcplat {

class Machine;

class Mouse {
  public:
    static constexpr int kIrq = 4;
    static constexpr uint8_t kInterrupt = 0x33;
    static constexpr uint16_t kButtonCount = 3;
    // A text-mode driver's virtual screen, and the default speed: 8 mickeys per 8 pixels
    // horizontally, 16 vertically.
    static constexpr int16_t kDefaultMaxX = 639;
    static constexpr int16_t kDefaultMaxY = 199;
    static constexpr int16_t kDefaultRatioX = 8;
    static constexpr int16_t kDefaultRatioY = 16;

    Mouse(Machine& machine, bool present);
    // Claims INT 33h and the interrupt vector of IRQ 4 when the mouse is there; after the BIOS
    // has filled the vector table.
    void install();
    bool present() const { return present_; }

    // Queues one hardware event: motion in mickeys and the new button state (MOUSE_BUTTON_*).
    void event(int16_t dx_mickeys, int16_t dy_mickeys, uint8_t buttons);
    // Takes the next queued event into the serial port when it is free; true if IRQ 4 should be
    // raised.
    bool refill();
    size_t queued() const { return queue_.size() + (latched_ ? 1 : 0); }
    // The driver's handler of IRQ 4.
    void interrupt();

    // What the driver holds.
    int16_t x() const { return horizontal_.position; }
    int16_t y() const { return vertical_.position; }
    uint8_t buttons() const { return buttons_; }
    uint16_t call_mask() const { return call_mask_; }
    bool has_routine() const { return routine_.offset != 0; }

  private:
    struct Event {
        int16_t dx = 0;
        int16_t dy = 0;
        uint8_t buttons = 0;
    };
    struct Axis {
        int16_t min = 0;
        int16_t max = 0;
        int16_t ratio = 0;    // mickeys per 8 pixels
        int16_t position = 0; // pixels
        int32_t residue = 0;  // mickeys x 8 not yet a whole pixel
        uint16_t mickeys = 0; // since the reset, wrapping
        void move(int16_t mickey_delta);
        void set_range(int16_t a, int16_t b);
    };
    void int33(RealRegs& regs);
    void reset();
    void call_routine(uint16_t mask);

    Machine& machine_;
    bool present_ = false;
    std::deque<Event> queue_;
    Event latest_{};
    bool latched_ = false;
    Axis horizontal_{}, vertical_{};
    uint8_t buttons_ = 0;
    uint16_t call_mask_ = 0;
    FarPtr routine_{};
};

} // namespace pcplat
