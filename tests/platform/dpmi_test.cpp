#include "desk_fixture.hpp"

#include <pcplat/dpmi.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pcplat {
namespace {

using Dpmi = testing::DeskTest;
using testing::CountingDevice;

using testing::g_faults;
using testing::record_fault;

uint16_t make_selector(uint32_t base, uint32_t length) {
    uint16_t sel = 0;
    EXPECT_EQ(dpmi_alloc_ldt(1, &sel), 1);
    EXPECT_EQ(dpmi_set_base(sel, base), 1);
    EXPECT_EQ(dpmi_set_limit(sel, length - 1), 1);
    return sel;
}

uint32_t limit_of(uint16_t sel) {
    uint32_t limit = 0;
    EXPECT_EQ(dpmi_get_limit(sel, &limit), 1);
    return limit;
}

class Faults : public testing::DeskTest {
  protected:
    void SetUp() override {
        DeskTest::SetUp();
        g_faults.clear();
        ASSERT_EQ(dpmi_set_exception(13, exception_pointer(&record_fault)), 1);
    }
};

TEST_F(Dpmi, LimitsFromOneMebibyteUpArePageGranular) {
    EXPECT_EQ(limit_of(make_selector(0xD1000, 0x10000)), 0xFFFFu);
    EXPECT_EQ(limit_of(make_selector(0xD1000, 0x20000)), 0x1FFFFu);
    EXPECT_EQ(limit_of(make_selector(0xD1000, 0x100001)), 0x100FFFu);
    EXPECT_EQ(limit_of(make_selector(0, 0xFFFFF + 1)), 0xFFFFFu);
}

TEST_F(Dpmi, DescriptorsAreAllocatedConsecutivelyAndFreedOnce) {
    uint16_t first = 0;
    ASSERT_EQ(dpmi_alloc_ldt(3, &first), 1);
    uint32_t base = 1;
    EXPECT_EQ(dpmi_get_base(static_cast<uint16_t>(first + 16), &base), 1);
    EXPECT_EQ(base, 0u);
    EXPECT_EQ(dpmi_free_ldt(static_cast<uint16_t>(first + 8)), 1);
    EXPECT_EQ(dpmi_free_ldt(static_cast<uint16_t>(first + 8)), 0);
    EXPECT_EQ(dpmi_set_base(static_cast<uint16_t>(first + 8), 0), 0);
    EXPECT_EQ(dpmi_free_ldt(0), 0);
    uint16_t again = 0;
    ASSERT_EQ(dpmi_alloc_ldt(1, &again), 1);
    EXPECT_EQ(again, first + 8); // the hole is reused
}

TEST_F(Dpmi, BlockMovesAreWordCyclesThenOneByte) {
    CountingDevice dev(0x100);
    auto mapping = m().phys().map(0x200000, 0x100, dev, "counter");
    const uint16_t sel = make_selector(0x200000, 0x100);
    std::array<uint8_t, 20> data{};
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);

    far_copy_to(sel, 0x10, data.data(), 20);
    EXPECT_EQ(dev.writes[2], 10u);
    EXPECT_EQ(dev.writes[1], 0u);
    EXPECT_EQ(std::memcmp(&dev.bytes_[0x10], data.data(), 20), 0);

    far_copy_to(sel, 0x40, data.data(), 1);
    EXPECT_EQ(dev.writes[1], 1u);
    EXPECT_EQ(dev.writes[2], 10u);

    std::array<uint8_t, 7> back{};
    far_copy_from(back.data(), sel, 0x10, 7);
    EXPECT_EQ(dev.reads[2], 3u);
    EXPECT_EQ(dev.reads[1], 1u);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), 7), 0);

    far_fill(sel, 0x80, 0xA5, 5);
    EXPECT_EQ(dev.bytes_[0x84], 0xA5);
    EXPECT_EQ(dev.bytes_[0x85], 0x00);
    EXPECT_EQ(far_read16(sel, 0x80), 0xA5A5);

    far_copy_to(sel, 0, data.data(), 0); // nothing at all
    EXPECT_EQ(dev.writes[2], 10u + 2u);
}

TEST_F(Dpmi, SingleAccessesAreLittleEndianAndOneCycle) {
    CountingDevice dev(0x10);
    auto mapping = m().phys().map(0x200000, 0x10, dev, "counter");
    const uint16_t sel = make_selector(0x200000, 0x10);
    far_write32(sel, 0, 0x11223344);
    far_write16(sel, 4, 0x5566);
    far_write8(sel, 6, 0x77);
    EXPECT_EQ(dev.writes[4], 1u);
    EXPECT_EQ(dev.writes[2], 1u);
    EXPECT_EQ(dev.writes[1], 1u);
    EXPECT_EQ(far_read8(sel, 0), 0x44);
    EXPECT_EQ(far_read16(sel, 1), 0x2233);
    EXPECT_EQ(far_read32(sel, 3), 0x77556611u);
}

TEST_F(Dpmi, CardWindowsAndTheNvrAnswerOnTheBus) {
    const uint16_t card0 = make_selector(0xD1000, 0x10000);
    const uint16_t card1 = make_selector(0xD2000, 0x10000);
    EXPECT_EQ(far_read16(card0, 0x108), 0xC004);
    EXPECT_EQ(far_read16(card1, 0x108), 0xFFFF); // no second card on the default desk

    // The LCD text lands in the card's file, where a panel program can see it.
    far_copy_to(card0, 0x20, "HELLO", 5);
    const uint16_t nvr = make_selector(0xD4000, 0x20000);
    far_write8(nvr, 1, 0x48);
    far_write8(nvr, 0x1FFFE, 0x48);
    EXPECT_EQ(far_read8(nvr, 0x1FFFE), 0x48);
    stop();
    std::ifstream card_file(root_ / "desk" / "card0.bin", std::ios::binary);
    const std::string card((std::istreambuf_iterator<char>(card_file)), {});
    ASSERT_EQ(card.size(), 0x1000u);
    EXPECT_EQ(card.substr(0x20, 5), "HELLO");

    start(); // the NVR keeps its contents over a restart
    const uint16_t nvr_again = make_selector(0xD4000, 0x20000);
    EXPECT_EQ(far_read8(nvr_again, 1), 0x48);
    far_fill(nvr_again, 0, 0, 0x20000);
    EXPECT_EQ(far_read8(nvr_again, 0x1FFFE), 0);
}

TEST_F(Faults, SelectorZeroFreedSelectorsAndOffsetsPastTheLimitFault) {
    const uint16_t sel = make_selector(0xD1000, 0x100);
    EXPECT_EQ(far_read8(sel, 0xFF), 0); // the last byte is inside
    EXPECT_TRUE(g_faults.empty());

    EXPECT_EQ(far_read8(0, 0), 0xFF);
    ASSERT_EQ(g_faults.size(), 1u);
    EXPECT_EQ(g_faults[0].exception, 13);
    EXPECT_EQ(g_faults[0].error_code, 0u);

    EXPECT_EQ(far_read16(sel, 0xFF), 0xFFFF); // its second byte is past the limit
    ASSERT_EQ(g_faults.size(), 2u);
    EXPECT_EQ(g_faults[1].fault_selector, sel);
    EXPECT_EQ(g_faults[1].fault_offset, 0xFFu);

    ASSERT_EQ(dpmi_free_ldt(sel), 1);
    far_write32(sel, 0, 0x12345678);
    ASSERT_EQ(g_faults.size(), 3u);
    EXPECT_EQ(g_faults[2].error_code, sel & 0xFFFCu);

    far_write8(0x1234, 0, 1); // never allocated
    EXPECT_EQ(g_faults.size(), 4u);
}

TEST_F(Faults, ABlockMoveStopsAtItsFirstFault) {
    const uint16_t sel = make_selector(0xD1000, 0x10);
    std::array<uint8_t, 40> data{};
    far_copy_to(sel, 0, data.data(), 40);
    EXPECT_EQ(g_faults.size(), 1u);
    EXPECT_EQ(g_faults[0].fault_offset, 0x10u);
}

TEST_F(Faults, HandlersCanBeReadBackAndChained) {
    FarPtr mine{};
    ASSERT_EQ(dpmi_get_exception(13, &mine), 1);
    EXPECT_EQ(mine.offset, exception_pointer(&record_fault).offset);
    EXPECT_EQ(mine.selector, cpu_code_selector());
    EXPECT_EQ(dpmi_get_exception(32, &mine), 0);
    DpmiExceptionFrame frame{};
    frame.exception = 13;
    dpmi_chain_exception(mine, &frame);
    EXPECT_EQ(g_faults.size(), 1u);
}

TEST_F(Dpmi, AnUnhandledFaultEndsTheProgramWithAReport) {
    EXPECT_EXIT(far_read8(0, 0x10), ::testing::ExitedWithCode(3),
                "exception 13 .*selector 0x0000 offset 0x00000010");
}

TEST_F(Dpmi, DosMemoryComesInParagraphsBelow640K) {
    uint16_t segment = 0, sel = 0;
    for (uint32_t size : {1u, 16u, 17u, 0xFFFFu}) {
        const auto paragraphs = static_cast<uint16_t>((size + 15) / 16);
        ASSERT_EQ(dpmi_dos_alloc(paragraphs, &segment, &sel, nullptr), 1);
        EXPECT_EQ(limit_of(sel), uint32_t{paragraphs} * 16 - 1) << size;
        uint32_t base = 0;
        dpmi_get_base(sel, &base);
        EXPECT_EQ(base, uint32_t{segment} * 16);
        EXPECT_LT(base + paragraphs * 16, 0xA0000u);
        far_write8(sel, 0, 0x5A);
        EXPECT_EQ(m().conventional()[base], 0x5A);
        EXPECT_EQ(dpmi_dos_free(sel), 1);
    }
    EXPECT_EQ(dpmi_dos_free(sel), 0);
    EXPECT_EQ(dpmi_dos_alloc(0, &segment, &sel, nullptr), 0);
}

TEST_F(Dpmi, DosMemoryRunsOutAndSaysWhatIsLeft) {
    std::vector<uint16_t> blocks;
    uint16_t segment = 0, sel = 0, largest = 0;
    while (dpmi_dos_alloc(0x1000, &segment, &sel, &largest))
        blocks.push_back(sel);
    EXPECT_GE(blocks.size(), 8u);
    EXPECT_LT(largest, 0x1000);
    ASSERT_EQ(dpmi_dos_free(blocks[1]), 1);
    ASSERT_EQ(dpmi_dos_alloc(0x1000, &segment, &sel, &largest), 1);
    uint32_t base = 0;
    dpmi_get_base(blocks[0], &base);
    EXPECT_EQ(uint32_t{segment} * 16, base + 0x10000); // the hole is filled
}

TEST_F(Dpmi, PhysicalMappingsMustNotWrapAndEndOnce) {
    uint32_t linear = 0;
    EXPECT_EQ(dpmi_phys_map(0xF00000, 0x20000, &linear), 1);
    EXPECT_EQ(linear, 0xF00000u);
    EXPECT_EQ(dpmi_phys_map(0xFFFFF000, 0x1000, &linear), 1);
    EXPECT_EQ(dpmi_phys_map(0xFFFFF000, 0x1001, &linear), 0);
    EXPECT_EQ(dpmi_phys_map(0x1000, 0, &linear), 0);
    // Each mapping ends once, and only a mapping ends.
    EXPECT_EQ(dpmi_phys_unmap(0xF00000), 1);
    EXPECT_EQ(dpmi_phys_unmap(0xF00000), 0);
    EXPECT_EQ(dpmi_phys_unmap(0x1000), 0);
}

uint8_t bcd(int v) {
    return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

TEST_F(Dpmi, TheRealTimeClockCanBeSetWithoutTouchingTheHost) {
    RealRegs r{};
    r.eax = 0x0500;
    r.ecx = bcd(19) << 8 | bcd(80);
    r.edx = bcd(1) << 8 | bcd(1);
    ASSERT_EQ(dpmi_real_int(0x1A, &r), 1);
    EXPECT_EQ(r.flags & CARRY_FLAG, 0);

    r = RealRegs{};
    r.eax = 0x0400;
    ASSERT_EQ(dpmi_real_int(0x1A, &r), 1);
    EXPECT_EQ(r.ecx & 0xFFFF, 0x1980u);
    EXPECT_EQ(r.edx & 0xFFFF, 0x0101u);

    // The offset lives in the desk folder: the next power-on keeps the date.
    stop();
    start();
    r = RealRegs{};
    r.eax = 0x0400;
    dpmi_real_int(0x1A, &r);
    EXPECT_EQ(r.ecx & 0xFFFF, 0x1980u);

    r = RealRegs{};
    r.eax = 0x0300;
    r.ecx = bcd(14) << 8 | bcd(16);
    r.edx = bcd(38) << 8;
    dpmi_real_int(0x1A, &r);
    r = RealRegs{};
    r.eax = 0x0200;
    dpmi_real_int(0x1A, &r);
    EXPECT_EQ((r.ecx >> 8) & 0xFF, 0x14u);
    EXPECT_EQ(r.ecx & 0xFF, 0x16u);
    EXPECT_LE((r.edx >> 8) & 0xFF, 0x40u);
    r = RealRegs{};
    r.eax = 0x0400;
    dpmi_real_int(0x1A, &r);
    EXPECT_EQ(r.edx & 0xFFFF, 0x0101u); // setting the time kept the date
}

TEST_F(Dpmi, TheClockRefusesWhatItCannotHold) {
    RealRegs r{};
    r.eax = 0x0500;
    r.ecx = 0x2000;
    r.edx = 0x0230; // 30 February
    dpmi_real_int(0x1A, &r);
    EXPECT_EQ(r.flags & CARRY_FLAG, CARRY_FLAG);
    r = RealRegs{};
    r.eax = 0x0300;
    r.ecx = 0x2500; // hour 25
    dpmi_real_int(0x1A, &r);
    EXPECT_EQ(r.flags & CARRY_FLAG, CARRY_FLAG);
    r = RealRegs{};
    r.eax = 0x0300;
    r.ecx = 0x1A00; // not BCD
    dpmi_real_int(0x1A, &r);
    EXPECT_EQ(r.flags & CARRY_FLAG, CARRY_FLAG);
}

TEST_F(Dpmi, RealModeCallsReachOnlyRegisteredProcedures) {
    EXPECT_EQ(dpmi_real_int(0x1A, nullptr), 0);
    EXPECT_EQ(dpmi_real_call(nullptr), 0);
    RealRegs r{};
    r.cs = 0xC000;
    r.ip = 0x0010;
    EXPECT_EQ(dpmi_real_call(&r), 0);
    m().set_real_procedure(0xC000, 0x0010, [](RealRegs& regs) { regs.eax = 0x4F; });
    EXPECT_EQ(dpmi_real_call(&r), 1);
    EXPECT_EQ(r.eax, 0x4Fu);
    r = RealRegs{};
    r.eax = 0x1234;
    EXPECT_EQ(dpmi_real_int(0x99, &r), 1); // nobody home: the registers come back as they were
    EXPECT_EQ(r.eax, 0x1234u);
}

} // namespace
} // namespace pcplat
