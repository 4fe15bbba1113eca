#include "desk_fixture.hpp"

#include <pcplat/cpu.h>

namespace pcplat {
namespace {

constexpr uint16_t kSeq = 0x3C4;
constexpr uint16_t kCrtc = 0x3D4;

uint8_t get(uint16_t index_port, uint8_t index) {
    io_outb(index_port, index);
    return io_inb(index_port + 1);
}

void put(uint16_t index_port, uint8_t index, uint8_t value) {
    io_outb(index_port, index);
    io_outb(index_port + 1, value);
}

void unlock_all() {
    put(kSeq, 0x08, 0x06);
    put(kCrtc, 0x38, 0x48);
    put(kCrtc, 0x39, 0xA5);
}

class ChipDesk : public testing::DeskTest {
    std::string profile_text() override {
        return "[gfx]\nid = 0x8901\nrevision = 0x07\nmemory_field = 6\n";
    }
};

class PlainVgaDesk : public testing::DeskTest {
    std::string profile_text() override { return "[gfx]\nchip = false\n"; }
};

TEST_F(ChipDesk, ExtendedRegistersReadAllOnesAndIgnoreWritesUntilTheirKey) {
    struct Case {
        uint16_t port;
        uint8_t index;
    };
    const Case locked[] = {{kCrtc, 0x2D}, {kCrtc, 0x2E}, {kCrtc, 0x2F},
                           {kCrtc, 0x36}, {kCrtc, 0x31}, {kCrtc, 0x40},
                           {kCrtc, 0x6A}, {kSeq, 0x09},  {kSeq, 0x18}};
    for (const Case& c : locked) {
        SCOPED_TRACE(c.index);
        put(c.port, c.index, 0x5A);
        EXPECT_EQ(get(c.port, c.index), 0xFF);
    }
    // A wrong key opens nothing, and the key registers read back what was written.
    put(kSeq, 0x08, 0x05);
    put(kCrtc, 0x38, 0x47);
    put(kCrtc, 0x39, 0xA4);
    EXPECT_EQ(get(kSeq, 0x08), 0x05);
    EXPECT_EQ(get(kCrtc, 0x38), 0x47);
    EXPECT_EQ(get(kCrtc, 0x39), 0xA4);
    EXPECT_EQ(get(kSeq, 0x09), 0xFF);
    EXPECT_EQ(get(kCrtc, 0x2D), 0xFF);
    EXPECT_EQ(get(kCrtc, 0x40), 0xFF);

    // Each key opens its own block: 0x38 the chip's 0x2D-0x3F, 0x39 the system registers.
    put(kCrtc, 0x38, 0x48);
    EXPECT_EQ(get(kCrtc, 0x2D), 0x89);
    EXPECT_EQ(get(kCrtc, 0x40), 0xFF);
    put(kCrtc, 0x39, 0xA5);
    put(kSeq, 0x08, 0x06);
    // The writes made while locked were lost.
    EXPECT_EQ(get(kCrtc, 0x31), 0x00);
    EXPECT_EQ(get(kCrtc, 0x40), 0x30);
    EXPECT_EQ(get(kCrtc, 0x6A), 0x00);
    EXPECT_EQ(get(kSeq, 0x09), 0x00);

    // A key taken back locks again.
    put(kCrtc, 0x38, 0x00);
    EXPECT_EQ(get(kCrtc, 0x2F), 0xFF);
}

TEST_F(ChipDesk, IdentityComesFromTheProfileAndCannotBeWritten) {
    unlock_all();
    const uint8_t expected[][2] = {{0x2D, 0x89}, {0x2E, 0x01}, {0x2F, 0x07}};
    for (const auto& [index, value] : expected) {
        put(kCrtc, index, 0x00);
        EXPECT_EQ(get(kCrtc, index), value) << int(index);
    }
    // The memory size field sits in bits 7-5 beside other set bits.
    put(kCrtc, 0x36, 0x00);
    EXPECT_EQ(get(kCrtc, 0x36) & 0xE0, 6 << 5);
    EXPECT_NE(get(kCrtc, 0x36) & 0x1F, 0);
}

TEST_F(ChipDesk, OpenRegistersKeepWhatIsWritten) {
    unlock_all();
    // Bit 0 of the system configuration behaves as written, beside the power-on bits.
    put(kCrtc, 0x40, get(kCrtc, 0x40) | 0x01);
    EXPECT_EQ(get(kCrtc, 0x40), 0x31);
    put(kCrtc, 0x40, 0x30);
    EXPECT_EQ(get(kCrtc, 0x40), 0x30);
    const std::pair<uint16_t, uint8_t> registers[] = {{kCrtc, 0x00}, {kCrtc, 0x18}, {kCrtc, 0x31},
                                                      {kCrtc, 0xFF}, {kSeq, 0x01},  {kSeq, 0x12}};
    uint8_t value = 0x10;
    for (const auto& [port, index] : registers)
        put(port, index, ++value);
    value = 0x10;
    for (const auto& [port, index] : registers)
        EXPECT_EQ(get(port, index), ++value) << port << ' ' << int(index);
    // The index ports read back, and a word written to an index port sets index and data.
    io_outb(kSeq, 0x12);
    EXPECT_EQ(io_inb(kSeq), 0x12);
    io_outw(kCrtc, 0x7740);
    EXPECT_EQ(io_inb(kCrtc), 0x40);
    EXPECT_EQ(get(kCrtc, 0x40), 0x77);
}

TEST_F(PlainVgaDesk, StandardRegistersWorkAndTheKeysOpenNothing) {
    put(kCrtc, 0x0C, 0x12);
    put(kSeq, 0x02, 0x0F);
    EXPECT_EQ(get(kCrtc, 0x0C), 0x12);
    EXPECT_EQ(get(kSeq, 0x02), 0x0F);
    unlock_all();
    for (const uint8_t index : {0x2D, 0x2E, 0x2F, 0x36, 0x38, 0x39, 0x40})
        EXPECT_EQ(get(kCrtc, index), 0xFF) << int(index);
    EXPECT_EQ(get(kSeq, 0x08), 0xFF);
    io_outb(kCrtc, 0x2D);
    EXPECT_EQ(io_inb(kCrtc), 0x2D);
}

} // namespace
} // namespace pcplat
