#include "exec_fixture.hpp"

#include <pcplat/dpmi.h>

#include <array>
#include <cstring>
#include <vector>

namespace vantrel {
namespace {

using pcplat::testing::CountingDevice;
using testing::ExecTest;

uint32_t limit_of(uint16_t sel) {
    uint32_t limit = 0;
    EXPECT_EQ(dpmi_get_limit(sel, &limit), 1);
    return limit;
}

using pcplat::testing::g_faults;
using pcplat::testing::record_fault;

TEST_F(ExecTest, SelectorsCoverTheirLengthPageGranularFromOneMebibyte) {
    EXPECT_EQ(limit_of(exec_->EXEC_SELCreate(0xD1000, 0x10000)), 0xFFFFu);
    EXPECT_EQ(limit_of(exec_->EXEC_SELCreate(0xD1000, 0x20000)), 0x1FFFFu);
    EXPECT_EQ(limit_of(exec_->EXEC_SELCreate(0xD1000, 0x100001)), 0x100FFFu);
    const uint16_t sel = exec_->EXEC_SELCreate(0xD1000, 0x1000);
    uint32_t base = 0;
    dpmi_get_base(sel, &base);
    EXPECT_EQ(base, 0xD1000u);
    exec_->EXEC_SELFree(sel);
    EXPECT_EQ(dpmi_get_base(sel, &base), 0);
}

TEST_F(ExecTest, BlockServicesTakeTheSelectorFirstAndTheOffsetLast) {
    CountingDevice dev(0x100);
    auto mapping = m().phys().map(0x300000, 0x100, dev, "counter");
    const uint16_t sel = exec_->EXEC_SELCreate(0x300000, 0x100);
    std::array<uint8_t, 20> data{};
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    exec_->EXEC_FARCopyTo(sel, data.data(), 20, 0x10);
    EXPECT_EQ(dev.writes[2], 10u);
    EXPECT_EQ(dev.writes[1], 0u);
    exec_->EXEC_FARCopyTo(sel, data.data(), 1, 0x40);
    EXPECT_EQ(dev.writes[1], 1u);
    EXPECT_EQ(std::memcmp(&dev.bytes_[0x10], data.data(), 20), 0);

    std::array<uint8_t, 20> back{};
    exec_->EXEC_FARCopyFrom(sel, back.data(), 20, 0x10);
    EXPECT_EQ(back, data);
    exec_->EXEC_FARFill(sel, 0x5A, 3, 0x80);
    EXPECT_EQ(dev.bytes_[0x82], 0x5A);
    EXPECT_EQ(dev.bytes_[0x83], 0x00);

    exec_->EXEC_FARWriteLong(sel, 0xF0, 0x11223344);
    exec_->EXEC_FARWriteWord(sel, 0xF4, 0x5566);
    exec_->EXEC_FARWriteByte(sel, 0xF6, 0x77);
    EXPECT_EQ(exec_->EXEC_FARReadLong(sel, 0xF3), 0x77556611u);
    EXPECT_EQ(exec_->EXEC_FARReadWord(sel, 0xF1), 0x2233);
    EXPECT_EQ(exec_->EXEC_FARGetWord(sel, 0xF1), exec_->EXEC_FARReadWord(sel, 0xF1));
    EXPECT_EQ(exec_->EXEC_FARReadByte(sel, 0xF6), 0x77);
}

TEST_F(ExecTest, AFillClearsTheWholeNvr) {
    const uint32_t linear = exec_->EXEC_PHYSMap(0xD4000, 0x20000);
    ASSERT_EQ(linear, 0xD4000u);
    const uint16_t nvr = exec_->EXEC_SELCreate(linear, 0x20000);
    exec_->EXEC_FARFill(nvr, 0x48, 0x20000, 0);
    EXPECT_EQ(exec_->EXEC_FARReadByte(nvr, 0x1FFFF), 0x48);
    exec_->EXEC_FARFill(nvr, 0, 0x20000, 0);
    const auto nvr_bytes = m().desk().nvr()->bytes();
    EXPECT_TRUE(std::all_of(nvr_bytes.begin(), nvr_bytes.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(exec_->EXEC_PHYSMap(0xFFFFF000, 0x2000), 0u);
}

TEST_F(ExecTest, ConventionalMemoryIsAskedForInParagraphs) {
    for (const auto& [size, paragraphs] :
         std::vector<std::pair<uint16_t, uint32_t>>{{1, 1}, {16, 1}, {17, 2}, {0xFFFF, 0x1000}}) {
        uint16_t segment = 0, sel = 0;
        ASSERT_EQ(exec_->EXEC_DOSAlloc(&segment, &sel, size), 1) << size;
        EXPECT_EQ(limit_of(sel), paragraphs * 16 - 1) << size;
        EXPECT_LT(segment, 0xA000);
        EXPECT_EQ(exec_->EXEC_DOSFree(sel), 1);
        EXPECT_EQ(exec_->EXEC_DOSFree(sel), 0);
    }
    // Without somewhere to put the segment or the selector nothing is allocated: ten such calls
    // for 64 KiB would otherwise use up all of conventional memory.
    uint16_t segment = 0, sel = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(exec_->EXEC_DOSAlloc(nullptr, &sel, 0xFFFF), 0);
        EXPECT_EQ(exec_->EXEC_DOSAlloc(&segment, nullptr, 0xFFFF), 0);
    }
    ASSERT_EQ(exec_->EXEC_DOSAlloc(&segment, &sel, 0xFFFF), 1);
    EXPECT_EQ(exec_->EXEC_DOSFree(sel), 1);
}

TEST_F(ExecTest, TheCardWindowsAnswerThroughTheirSelectors) {
    const uint16_t card0 = exec_->EXEC_SELCreate(0xD1000, 0x10000);
    const uint16_t card1 = exec_->EXEC_SELCreate(0xD2000, 0x10000);
    EXPECT_EQ(exec_->EXEC_FARReadWord(card0, 0x108), 0xC004);
    EXPECT_EQ(exec_->EXEC_FARReadWord(card1, 0x108), 0xFFFF);
    exec_->EXEC_FARWriteByte(card0, 0x9EE, 1);
    EXPECT_EQ(m().desk().card(0)->bytes()[0x9EE], 1);
}

TEST_F(ExecTest, AccessThroughSelectorZeroFaults) {
    g_faults.clear();
    FarPtr previous{};
    dpmi_get_exception(13, &previous);
    dpmi_set_exception(13, pcplat::exception_pointer(&record_fault));
    EXPECT_EQ(exec_->EXEC_FARReadByte(0, 0x10), 0xFF);
    exec_->EXEC_FARWriteWord(0, 0, 1);
    dpmi_set_exception(13, previous);
    ASSERT_EQ(g_faults.size(), 2u);
    EXPECT_EQ(g_faults[0].exception, 13);
    EXPECT_EQ(g_faults[0].fault_offset, 0x10u);
}

TEST_F(ExecTest, AFaultWithoutAHandlerEndsTheProgram) {
    EXPECT_EXIT(exec_->EXEC_FARReadLong(0, 0), ::testing::ExitedWithCode(3), "exception 13");
}

} // namespace
} // namespace vantrel
