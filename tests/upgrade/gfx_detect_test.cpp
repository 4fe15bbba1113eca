#include "../platform/desk_fixture.hpp"

#include "hwcmds/gfx.hpp"

#include <pcplat/cpu.h>

namespace tolvanex {
namespace {

uint8_t get(uint16_t index_port, uint8_t index) {
    io_outb(index_port, index);
    return io_inb(index_port + 1);
}

using GfxDetect = pcplat::testing::DeskTest; // the default desk: a recognised chip with 2 MB

// The detection leaves the adapter unlocked and its enhanced registers on; the driver that is
// installed next relies on that.
TEST_F(GfxDetect, LeavesTheRegistersAsItWroteThem) {
    EXPECT_EQ(GfxDetectChip(), 2);
    EXPECT_EQ(io_inb(0x3C4), 0x08);
    EXPECT_EQ(io_inb(0x3D4), 0x36); // the last register read
    EXPECT_EQ(get(0x3C4, 0x08), 0x06);
    EXPECT_EQ(get(0x3D4, 0x38), 0x48);
    EXPECT_EQ(get(0x3D4, 0x39), 0xA5);
    EXPECT_EQ(get(0x3D4, 0x40), 0x31); // bit 0 set, the power-on bits kept
    // A second look finds the same.
    EXPECT_EQ(GfxDetectChip(), 2);
    EXPECT_EQ(get(0x3D4, 0x40), 0x31);
}

} // namespace
} // namespace tolvanex
