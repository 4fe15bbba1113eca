// The BIOS of the simulated PC: the timer and keyboard interrupt handlers, the keyboard buffer in
// the BIOS data area, INT 16h, the real-mode interrupt vector table, and INT 13h for the diskette
// drives (floppy.cpp).
#include "machine/machine.hpp"

namespace pcplat {

namespace {

namespace bda {
constexpr uint32_t kEquipment = 0x410;
constexpr uint32_t kMemoryKib = 0x413;
constexpr uint32_t kShiftFlags = 0x417;
constexpr uint32_t kKeyHead = 0x41A;
constexpr uint32_t kKeyTail = 0x41C;
constexpr uint32_t kKeyBufferStart = 0x480;
constexpr uint32_t kKeyBufferEnd = 0x482;
constexpr uint32_t kTicks = 0x46C;
constexpr uint32_t kMidnight = 0x470;
constexpr uint16_t kBufferFirst = 0x1E; // offsets within segment 0x40
constexpr uint16_t kBufferLast = 0x3E;
constexpr uint32_t kSegment = 0x400;
} // namespace bda

constexpr uint32_t kTicksPerDay = 0x1800B0;
constexpr uint8_t kShiftRight = 0x01, kShiftLeft = 0x02, kCtrlDown = 0x04, kAltDown = 0x08;
constexpr uint16_t kZeroFlag = 0x0040;
constexpr uint32_t kIretStub = 0xF000FF53;      // F000:FF53, an IRET in the BIOS
constexpr uint32_t kDisketteTable = 0x00000522; // 0000:0522, where DOS keeps it
constexpr uint8_t kDisketteTableVector = 0x1E;
constexpr uint8_t kDisketteParameters[11] = {0xDF, 0x02, 0x25, 0x02, 0x12, 0x1B,
                                             0xFF, 0x6C, 0xF6, 0x0F, 0x08};
constexpr uint16_t kEquipmentWord = 0x0020; // 80-column colour
constexpr uint16_t kDiskettesFitted = 0x0001;
constexpr unsigned kDiskettesShift = 6; // bits 7-6: diskette drives less one

} // namespace

// The protected-mode entries of the BIOS handlers: plain functions, so that a far pointer can
// name them like any program's handler.
namespace bios_entry {
void timer();
void keyboard();
void iret() {}
} // namespace bios_entry

uint16_t Machine::bda_word(uint32_t offset) {
    return static_cast<uint16_t>(conventional_[offset] | (conventional_[offset + 1] << 8));
}

void Machine::set_bda_word(uint32_t offset, uint16_t value) {
    conventional_[offset] = static_cast<uint8_t>(value);
    conventional_[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void Machine::install_bios() {
    for (unsigned n = 0; n < 256; ++n) {
        vectors_[n] = handler_pointer(&bios_entry::iret);
        for (int i = 0; i < 4; ++i)
            conventional_[n * 4 + i] = static_cast<uint8_t>(kIretStub >> (8 * i));
    }
    vectors_[0x08] = handler_pointer(&bios_entry::timer);
    vectors_[0x09] = handler_pointer(&bios_entry::keyboard);
    for (int i = 0; i < 4; ++i)
        conventional_[kDisketteTableVector * 4 + i] =
            static_cast<uint8_t>(kDisketteTable >> (8 * i));
    for (size_t i = 0; i < sizeof kDisketteParameters; ++i)
        conventional_[kDisketteTable + i] = kDisketteParameters[i];
    const uint8_t diskettes = diskettes_->fitted_count();
    set_bda_word(bda::kEquipment,
                 diskettes ? kEquipmentWord | kDiskettesFitted | (diskettes - 1) << kDiskettesShift
                           : kEquipmentWord);
    set_bda_word(bda::kMemoryKib, 640);
    set_bda_word(bda::kKeyHead, bda::kBufferFirst);
    set_bda_word(bda::kKeyTail, bda::kBufferFirst);
    set_bda_word(bda::kKeyBufferStart, bda::kBufferFirst);
    set_bda_word(bda::kKeyBufferEnd, bda::kBufferLast);
    set_real_int(0x16, [this](RealRegs& r) { bios_int16(r); });
    set_real_int(0x1A, [this](RealRegs& r) { bios_int1a(r); });
    set_real_int(0x13, [this](RealRegs& r) { diskettes_->int13(r); });
}

void bios_entry::timer() {
    Machine::current().bios_timer();
}
void bios_entry::keyboard() {
    Machine::current().bios_keyboard();
}

void Machine::bios_timer() {
    uint32_t ticks = bda_word(bda::kTicks) | (uint32_t{bda_word(bda::kTicks + 2)} << 16);
    if (++ticks >= kTicksPerDay) {
        ticks = 0;
        conventional_[bda::kMidnight] = 1;
    }
    set_bda_word(bda::kTicks, static_cast<uint16_t>(ticks));
    set_bda_word(bda::kTicks + 2, static_cast<uint16_t>(ticks >> 16));
    software_int(0x1C);
    ports_.out8(ports::kPicCommand, Pic::kEoi);
}

void Machine::bios_keyboard() {
    const uint8_t code = ports_.in8(ports::kKbcData);
    const bool released = code & scan::kBreak;
    const uint8_t make = code & uint8_t(~scan::kBreak);
    uint8_t flags = conventional_[bda::kShiftFlags];
    auto track = [&](uint8_t bit) {
        flags = released ? uint8_t(flags & ~bit) : uint8_t(flags | bit);
    };
    if (make == scan::kLeftShift) {
        track(kShiftLeft);
    } else if (make == scan::kRightShift) {
        track(kShiftRight);
    } else if (make == scan::kCtrl) {
        track(kCtrlDown);
    } else if (make == scan::kAlt) {
        track(kAltDown);
    } else if (!released) {
        const bool shift = flags & (kShiftLeft | kShiftRight);
        const uint8_t ascii = ascii_for(make, shift, flags & kCtrlDown);
        const uint16_t head = bda_word(bda::kKeyHead), tail = bda_word(bda::kKeyTail);
        uint16_t next = static_cast<uint16_t>(tail + 2);
        if (next >= bda::kBufferLast) next = bda::kBufferFirst;
        if (next != head) { // a full buffer drops the key, as the BIOS does (it beeps)
            set_bda_word(bda::kSegment + tail, static_cast<uint16_t>(make << 8 | ascii));
            set_bda_word(bda::kKeyTail, next);
        }
    }
    conventional_[bda::kShiftFlags] = flags;
    ports_.out8(ports::kPicCommand, Pic::kEoi);
}

bool Machine::bios_key_waiting() {
    return bda_word(bda::kKeyHead) != bda_word(bda::kKeyTail);
}

uint16_t Machine::bios_read_key() {
    const uint16_t head = bda_word(bda::kKeyHead);
    if (head == bda_word(bda::kKeyTail)) return 0;
    const uint16_t key = bda_word(bda::kSegment + head);
    uint16_t next = static_cast<uint16_t>(head + 2);
    if (next >= bda::kBufferLast) next = bda::kBufferFirst;
    set_bda_word(bda::kKeyHead, next);
    return key;
}

void Machine::bios_int16(RealRegs& r) {
    const uint8_t function = static_cast<uint8_t>(r.eax >> 8);
    switch (function) {
    case 0x00:
    case 0x10: {
        // The BIOS waits with interrupts enabled.
        const uint8_t was = cpu_flags.interrupts;
        cpu_flags.interrupts = 1;
        while (!bios_key_waiting()) {
            if (keyboard_input_ended()) end_input_exhausted();
            wait_interrupt();
        }
        cpu_flags.interrupts = was;
        r.eax = (r.eax & 0xFFFF0000u) | bios_read_key();
        break;
    }
    case 0x01:
    case 0x11:
        if (bios_key_waiting()) {
            r.eax = (r.eax & 0xFFFF0000u) | bda_word(bda::kSegment + bda_word(bda::kKeyHead));
            r.flags &= uint16_t(~kZeroFlag);
        } else {
            r.flags |= kZeroFlag;
        }
        break;
    case 0x02:
        r.eax = (r.eax & 0xFFFFFF00u) | conventional_[bda::kShiftFlags];
        break;
    default:
        break;
    }
}

} // namespace pcplat
