#include "exec_fixture.hpp"

#include <pcplat/dpmi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vantrel::testing {
namespace {

constexpr char kGuard = '#';

bool same_date(const ExecDate& a, const ExecDate& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

std::string show(const ExecDate& d) {
    return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day);
}

class ClockTest : public ExecTest {
  protected:
    // The clock straight through the BIOS, in packed BCD: CH:CL and DH:DL.
    RealRegs clock_call(uint8_t function, uint16_t cx = 0, uint16_t dx = 0) {
        RealRegs regs{};
        regs.eax = uint32_t{function} << 8;
        regs.ecx = cx;
        regs.edx = dx;
        EXPECT_EQ(dpmi_real_int(0x1A, &regs), 1);
        EXPECT_EQ(regs.flags & CARRY_FLAG, 0) << "clock function " << int(function);
        return regs;
    }
    // Midday, so that no test date rolls over while it runs.
    void set_midday() { clock_call(0x03, 0x1200, 0x0000); }
};

using DateCheckTest = ExecTest;
using StringTest = ExecTest;

// The date check runs on the caller's record when a date is formatted.
ExecDate checked(ExecTable* table, ExecDate date) {
    char text[12];
    table->EXEC_DATEFormat(text, &date);
    return date;
}

TEST_F(DateCheckTest, CorrectsOutOfRangeDates) {
    struct Case {
        ExecDate in;
        ExecDate out;
    };
    const Case cases[] = {
        {{2000, 31, 2}, {2000, 29, 2}}, // leap year
        {{1900, 29, 2}, {1970, 28, 2}}, // the year is clamped before February is judged
        {{2100, 30, 2}, {2100, 28, 2}}, // a century that is not a leap year
        {{2400, 30, 2}, {2200, 28, 2}}, // clamped to the last year
        {{2004, 29, 2}, {2004, 29, 2}}, // valid leap day stays
        {{2000, 5, 13}, {2000, 5, 1}},  // month 13 becomes January
        {{2000, 5, 0}, {2000, 5, 1}},   // month 0 too
        {{2000, 31, 4}, {2000, 30, 4}}, // April has 30 days
        {{2000, 200, 12}, {2000, 31, 12}}, {{-5, 15, 6}, {1970, 15, 6}},
    };
    for (const Case& c : cases) {
        const ExecDate result = checked(exec_, c.in);
        EXPECT_TRUE(same_date(result, c.out)) << show(c.in) << " gave " << show(result);
    }
    for (uint8_t month = 0; month <= 13; ++month) {
        const ExecDate result = checked(exec_, ExecDate{2001, 0, month});
        EXPECT_EQ(result.day, 1) << "day 0 in month " << int(month);
    }
}

TEST_F(DateCheckTest, FormatsDatesAndTimes) {
    char date_text[13];
    std::memset(date_text, kGuard, sizeof date_text);
    ExecDate build_date{2000, 13, 4};
    exec_->EXEC_DATEFormat(date_text, &build_date);
    EXPECT_STREQ(date_text, "Apr 13 2000");

    // The longest date text fills the 12-byte buffer exactly.
    ExecDate longest{2500, 31, 9};
    exec_->EXEC_DATEFormat(date_text, &longest);
    EXPECT_STREQ(date_text, "Sep 30 2200");
    EXPECT_EQ(date_text[12], kGuard);

    char time_text[10];
    std::memset(time_text, kGuard, sizeof time_text);
    ExecTime build_time{16, 14, 78, 38};
    exec_->EXEC_TIMEFormat(time_text, &build_time);
    EXPECT_STREQ(time_text, "14:16:38");
    ExecTime early{5, 7, 0, 9};
    exec_->EXEC_TIMEFormat(time_text, &early);
    EXPECT_STREQ(time_text, "07:05:09");

    // Fields beyond two digits must not run past the 9-byte buffer.
    ExecTime wild{200, 150, 0, 255};
    exec_->EXEC_TIMEFormat(time_text, &wild);
    EXPECT_STREQ(time_text, "99:99:99");
    EXPECT_EQ(time_text[9], kGuard);

    EXPECT_STREQ(exec_->build_date, "Apr 13 2000");
    EXPECT_STREQ(exec_->build_time, "14:16:38");

    exec_->EXEC_DATEFormat(nullptr, &build_date);
    exec_->EXEC_DATEFormat(date_text, nullptr);
    exec_->EXEC_TIMEFormat(nullptr, &build_time);
    exec_->EXEC_TIMEFormat(time_text, nullptr);
}

TEST_F(ClockTest, UnsetClockIsMovedToTheYear2000) {
    set_midday();
    clock_call(0x05, 0x1980, 0x0101);
    ExecDate date{};
    exec_->EXEC_CLOCKGetDate(&date);
    EXPECT_TRUE(same_date(date, ExecDate{2000, 1, 1})) << show(date);
    const RealRegs now = clock_call(0x04);
    EXPECT_EQ(now.ecx & 0xFFFF, 0x2000u);
    EXPECT_EQ(now.edx & 0xFFFF, 0x0101u);
}

TEST_F(ClockTest, SetDateWritesTheCheckedDate) {
    set_midday();
    ExecDate date{2023, 15, 6};
    exec_->EXEC_CLOCKSetDate(&date);
    RealRegs now = clock_call(0x04);
    EXPECT_EQ(now.ecx & 0xFFFF, 0x2023u);
    EXPECT_EQ(now.edx & 0xFFFF, 0x0615u);
    ExecDate read{};
    exec_->EXEC_CLOCKGetDate(&read);
    EXPECT_TRUE(same_date(read, date)) << show(read);

    ExecDate impossible{2000, 31, 2};
    exec_->EXEC_CLOCKSetDate(&impossible);
    now = clock_call(0x04);
    EXPECT_EQ(now.ecx & 0xFFFF, 0x2000u);
    EXPECT_EQ(now.edx & 0xFFFF, 0x0229u);

    ExecDate early{1985, 10, 3};
    exec_->EXEC_CLOCKSetDate(&early);
    EXPECT_TRUE(same_date(early, ExecDate{2000, 10, 3})) << show(early);
    now = clock_call(0x04);
    EXPECT_EQ(now.ecx & 0xFFFF, 0x2000u);

    exec_->EXEC_CLOCKSetDate(nullptr);
    exec_->EXEC_CLOCKGetDate(nullptr);
}

TEST_F(ClockTest, TimeRoundTrip) {
    ExecTime set{20, 10, 55, 30};
    exec_->EXEC_CLOCKSetTime(&set);
    const RealRegs now = clock_call(0x02);
    EXPECT_EQ(now.ecx & 0xFFFF, 0x1020u);

    ExecTime read{1, 2, 3, 4};
    exec_->EXEC_CLOCKGetTime(&read);
    EXPECT_EQ(read.hour, 10);
    EXPECT_EQ(read.minute, 20);
    EXPECT_GE(read.second, 30);
    EXPECT_LE(read.second, 32);
    EXPECT_EQ(read.hundredths, 0);

    exec_->EXEC_CLOCKSetTime(nullptr);
    exec_->EXEC_CLOCKGetTime(nullptr);
}

TEST_F(StringTest, CopyIsBoundedBySize) {
    char text[8];
    exec_->EXEC_STRCopy(text, "abcdef", 4);
    EXPECT_STREQ(text, "abc");
    exec_->EXEC_STRCopy(text, "ab", 8);
    EXPECT_STREQ(text, "ab");
    exec_->EXEC_STRCopy(text, "abcdef", 1);
    EXPECT_STREQ(text, "");
    std::strcpy(text, "keep");
    exec_->EXEC_STRCopy(text, nullptr, 8);
    EXPECT_STREQ(text, "");
    exec_->EXEC_STRCopy(nullptr, "abc", 8);

    // No room at all: not even the terminator is written.
    std::strcpy(text, "keep");
    exec_->EXEC_STRCopy(text, "abc", 0);
    EXPECT_STREQ(text, "keep");
}

TEST_F(StringTest, CopyLeavesItsIdOnTheFunctionStack) {
    const int32_t before = depth();
    char text[4];
    exec_->EXEC_STRCopy(text, "a", sizeof text);
    EXPECT_EQ(depth(), before);
    EXPECT_EQ(exec_->function_stack[before + 1], 0x10003010u);
}

TEST_F(StringTest, AppendBoundsTheResultLength) {
    char text[8];
    std::memset(text, kGuard, sizeof text);
    std::strcpy(text, "ab");
    exec_->EXEC_STRAppend(text, "xyz", 4);
    EXPECT_STREQ(text, "abxy");
    EXPECT_EQ(text[5], kGuard) << "maximum + 1 bytes at most";

    exec_->EXEC_STRAppend(text, "z", 4);
    EXPECT_STREQ(text, "abxy") << "already at the maximum";
    exec_->EXEC_STRAppend(text, "z", 2);
    EXPECT_STREQ(text, "abxy") << "beyond the maximum";
    exec_->EXEC_STRAppend(text, "z", 7);
    EXPECT_STREQ(text, "abxyz");

    exec_->EXEC_STRAppend(text, nullptr, 7);
    EXPECT_STREQ(text, "abxyz");
    exec_->EXEC_STRAppend(nullptr, "z", 7);
}

TEST_F(StringTest, CompareOrdersUnsignedBytes) {
    EXPECT_EQ(exec_->EXEC_STRCompare("word", "word", 10), 0);
    EXPECT_EQ(exec_->EXEC_STRCompare("WORD", "word", 10), -1);
    EXPECT_EQ(exec_->EXEC_STRCompare("word", "WORD", 10), 1);
    EXPECT_EQ(exec_->EXEC_STRCompare("abX", "abY", 2), 0);
    EXPECT_EQ(exec_->EXEC_STRCompare("abX", "abY", 3), -1);
    EXPECT_EQ(exec_->EXEC_STRCompare("ab", "abc", 5), -1);
    EXPECT_EQ(exec_->EXEC_STRCompare("abc", "ab", 5), 1);
    EXPECT_EQ(exec_->EXEC_STRCompare("a", "b", 0), 0);
    EXPECT_EQ(exec_->EXEC_STRCompare("\xE9", "a", 1), 1);
    EXPECT_EQ(exec_->EXEC_STRCompare(nullptr, "a", 1), 0);
    EXPECT_EQ(exec_->EXEC_STRCompare("a", nullptr, 1), 0);
}

TEST_F(StringTest, CompareNoCaseFoldsToUpperCase) {
    EXPECT_EQ(exec_->EXEC_STRCompareNoCase("word", "WORD", 10), 0);
    EXPECT_EQ(exec_->EXEC_STRCompareNoCase("Word", "worE", 3), 0);
    EXPECT_EQ(exec_->EXEC_STRCompareNoCase("Word", "worE", 4), -1);
    // Letters are ordered as upper case: 'a' (as 'A') comes before '_', unlike a plain compare.
    EXPECT_EQ(exec_->EXEC_STRCompareNoCase("a", "_", 1), -1);
    EXPECT_EQ(exec_->EXEC_STRCompare("a", "_", 1), 1);
    EXPECT_EQ(exec_->EXEC_STRCompareNoCase("\xE9", "a", 1), 1);
    EXPECT_EQ(exec_->EXEC_STRCompareNoCase(nullptr, "a", 1), 0);
}

} // namespace
} // namespace vantrel::testing
