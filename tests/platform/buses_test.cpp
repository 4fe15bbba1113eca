#include "desk_fixture.hpp"

#include <stdexcept>

namespace pcplat {
namespace {

using testing::CountingDevice;

TEST(PhysBus, NothingAnswersWhereNothingIsMapped) {
    PhysBus bus;
    EXPECT_EQ(bus.read(0x1234, Width::b8), 0xFFu);
    EXPECT_EQ(bus.read(0x1234, Width::b16), 0xFFFFu);
    EXPECT_EQ(bus.read(0xFFFFFFFE, Width::b32), 0xFFFFFFFFu);
    bus.write(0x1234, 0, Width::b32); // lost, and no harm
    EXPECT_EQ(bus.read(0x1234, Width::b32), 0xFFFFFFFFu);
}

TEST(PhysBus, RegionsKeepTheWidthOfEachAccess) {
    PhysBus bus;
    CountingDevice dev(0x100);
    auto mapping = bus.map(0xE0000, 0x100, dev, "test");
    bus.write(0xE0010, 0x12345678, Width::b32);
    EXPECT_EQ(bus.read(0xE0010, Width::b16), 0x5678u);
    EXPECT_EQ(bus.read(0xE0012, Width::b8), 0x34u);
    EXPECT_EQ(dev.writes[4], 1u);
    EXPECT_EQ(dev.reads[2], 1u);
    EXPECT_EQ(dev.reads[1], 1u);
}

TEST(PhysBus, AnAccessOverTheEdgeOfARegionIsSplitIntoBytes) {
    PhysBus bus;
    CountingDevice dev(0x10);
    auto mapping = bus.map(0xE0000, 0x10, dev, "test");
    bus.write(0xE000E, 0xAABBCCDD, Width::b32);
    EXPECT_EQ(dev.writes[1], 2u); // the two bytes inside; the rest went nowhere
    EXPECT_EQ(dev.bytes_[0xE], 0xDD);
    EXPECT_EQ(dev.bytes_[0xF], 0xCC);
    EXPECT_EQ(bus.read(0xE000E, Width::b32), 0xFFFFCCDDu);
}

TEST(PhysBus, OverlapsAreRefusedAndMappingsGoWithTheirHandle) {
    PhysBus bus;
    CountingDevice a(0x100), b(0x100);
    {
        auto mapping = bus.map(0xE0000, 0x100, a, "a");
        EXPECT_THROW((void)bus.map(0xE00FF, 0x10, b, "b"), std::invalid_argument);
        EXPECT_THROW((void)bus.map(0xFFFFFFF0, 0x20, b, "wraps"), std::invalid_argument);
        EXPECT_EQ(bus.regions().size(), 1u);
    }
    EXPECT_TRUE(bus.regions().empty());
    auto again = bus.map(0xE00FF, 0x10, b, "b");
    EXPECT_EQ(bus.regions().front().name, "b");
}

TEST(PortBus, UnclaimedPortsReadAllOnes) {
    PortBus ports;
    EXPECT_EQ(ports.in8(0x300), 0xFF);
    EXPECT_EQ(ports.in16(0x300), 0xFFFF);
    EXPECT_EQ(ports.in32(0x300), 0xFFFFFFFFu);
    ports.out32(0x300, 1);
}

TEST(PortBus, WideAccessesToByteHandlersAreSplitLowByteFirst) {
    PortBus ports;
    std::vector<std::pair<uint16_t, uint8_t>> seen;
    PortHandlers h;
    h.out8 = [&](uint16_t port, uint8_t v) { seen.emplace_back(port, v); };
    h.in8 = [](uint16_t port) { return static_cast<uint8_t>(port & 0xFF); };
    auto claim = ports.claim(0x3C4, 4, h, "test");
    ports.out16(0x3C4, 0x1234);
    ports.out32(0x3C4, 0xAABBCCDD);
    const std::vector<std::pair<uint16_t, uint8_t>> want{
        {0x3C4, 0x34}, {0x3C5, 0x12}, {0x3C4, 0xDD}, {0x3C5, 0xCC}, {0x3C6, 0xBB}, {0x3C7, 0xAA}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(ports.in16(0x3C4), 0xC5C4);
    EXPECT_EQ(ports.in32(0x3C4), 0xC7C6C5C4u);
}

TEST(PortBus, ClaimsDoNotOverlapAndEndWithTheirHandle) {
    PortBus ports;
    PortHandlers h;
    h.in8 = [](uint16_t) -> uint8_t { return 0x42; };
    {
        auto claim = ports.claim(0x60, 1, h, "kbc");
        EXPECT_THROW((void)ports.claim(0x5F, 2, h, "other"), std::invalid_argument);
        EXPECT_EQ(ports.in8(0x60), 0x42);
    }
    EXPECT_EQ(ports.in8(0x60), 0xFF);
}

} // namespace
} // namespace pcplat
