// Extended-real arithmetic: saturating conversions, ordered and unordered comparison, division
// by every kind of divisor, and the caller's x87 control word left as it was.
#include "exec_fixture.hpp"

#include <cmath>
#include <functional>
#include <limits>

namespace vantrel::testing {
namespace {

constexpr int32_t kLimit = 0x6FFFFFFF;
constexpr long double kL = kLimit;
const long double kNaN = std::numeric_limits<long double>::quiet_NaN();
const long double kInf = std::numeric_limits<long double>::infinity();

uint16_t control_word() {
    uint16_t cw = 0;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    return cw;
}

void set_control_word(uint16_t cw) {
    __asm__ volatile("fldcw %0" : : "m"(cw));
}

TEST_F(ExecTest, ToLongTruncatesAndSaturates) {
    const struct {
        long double x;
        int32_t expected;
    } cases[] = {
        {2.9L, 2},
        {-2.9L, -2},
        {0.0L, 0},
        {1879048190.5L, 1879048190},
        {-1879048190.5L, -1879048190},
        {1879048191.0L, kLimit},
        {-1879048191.0L, -kLimit},
        {3e9L, kLimit},
        {-5e9L, static_cast<int32_t>(0x90000001u)},
        {kInf, kLimit},
        {-kInf, -kLimit},
        {kNaN, kLimit},
        {-kNaN, kLimit},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exec_->EXEC_MATHToLong(c.x), c.expected) << static_cast<double>(c.x);
        EXPECT_EQ(depth(), 0);
    }
}

TEST_F(ExecTest, ToLongGivesTheCallersRoundingModeBack) {
    const uint16_t original = control_word();
    // Nearest, down, up, chop, then two with double precision.
    for (uint16_t cw : {0x037F, 0x077F, 0x0B7F, 0x0F7F, 0x027F, 0x0A7F}) {
        set_control_word(cw);
        const int32_t up = exec_->EXEC_MATHToLong(2.7L);
        const int32_t down = exec_->EXEC_MATHToLong(-2.7L);
        const uint16_t after = control_word();
        set_control_word(original);
        EXPECT_EQ(up, 2) << std::hex << cw;
        EXPECT_EQ(down, -2) << std::hex << cw;
        EXPECT_EQ(after, cw);
    }
}

TEST_F(ExecTest, FromLongIsExact) {
    for (int32_t n : {std::numeric_limits<int32_t>::min(), -1, 0, 1, 0x7FFFFFFF})
        EXPECT_EQ(exec_->EXEC_MATHFromLong(n), static_cast<long double>(n));
    EXPECT_EQ(exec_->EXEC_MATHFromLong(std::numeric_limits<int32_t>::min()), -2147483648.0L);
}

TEST_F(ExecTest, CompareTreatsUnorderedAsGreater) {
    const struct {
        long double a, b;
        int32_t expected;
    } cases[] = {
        {1.0L, 2.0L, -1},
        {2.0L, 1.0L, 1},
        {1.5L, 1.5L, 0},
        {-0.0L, 0.0L, 0},
        {kNaN, 1.0L, 1},
        {1.0L, kNaN, 1},
        {kNaN, kNaN, 1},
        // Differ only beyond a double's 53 bits.
        {1.0L, 1.0L + std::ldexp(1.0L, -63), -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exec_->EXEC_MATHCompare(c.a, c.b), c.expected)
            << static_cast<double>(c.a) << " " << static_cast<double>(c.b);
}

TEST_F(ExecTest, ArithmeticKeepsTheExtendedSignificand) {
    const long double tiny = std::ldexp(1.0L, -63);
    EXPECT_EQ(exec_->EXEC_MATHSub(exec_->EXEC_MATHAdd(1.0L, tiny), 1.0L), tiny);
    EXPECT_EQ(exec_->EXEC_MATHMul(1.0L + tiny, 1.0L + tiny), 1.0L + 2 * tiny); // tiny² rounds off
    EXPECT_EQ(exec_->EXEC_MATHMul(-3.0L, 0.5L), -1.5L);
    EXPECT_TRUE(std::isnan(exec_->EXEC_MATHAdd(kInf, -kInf)));
}

TEST_F(ExecTest, DivisionDividesByEveryNonZeroDivisor) {
    const struct {
        long double a, b, expected;
    } cases[] = {
        {10, 4, 2.5L},
        {10, 1, 10},
        {10, 0.5L, 20},
        {10, -2, -5},
        {-10, -4, 2.5L},
        {1, 3, 1.0L / 3.0L},
        {10, kInf, 0},
        // A zero divisor of either sign: 0 for a zero dividend, +L for any other.
        {0, 0, 0},
        {-0.0L, 0, 0},
        {0, -0.0L, 0},
        {10, 0, kL},
        {-10, 0, kL},
        {-10, -0.0L, kL},
        {kInf, 0, kL},
        {kNaN, 0, kL}, // a dividend other than zero
    };
    for (const auto& c : cases) {
        const long double q = exec_->EXEC_MATHDiv(c.a, c.b);
        EXPECT_EQ(q, c.expected) << static_cast<double>(c.a) << " / " << static_cast<double>(c.b);
        EXPECT_FALSE(std::signbit(q) && q == 0) << "a zero quotient by zero is +0";
    }
    // A NaN divisor is not a zero one: NaN out.
    const long double nan_cases[][2] = {{kNaN, 2}, {2, kNaN}, {0, kNaN}};
    for (const auto& c : nan_cases)
        EXPECT_TRUE(std::isnan(exec_->EXEC_MATHDiv(c[0], c[1])));
}

TEST_F(ExecTest, EachArithmeticServiceTracesItsId) {
    const std::pair<uint32_t, std::function<void()>> calls[] = {
        {0x10002010, [&] { exec_->EXEC_MATHFromLong(1); }},
        {0x10002020, [&] { exec_->EXEC_MATHToLong(1.0L); }},
        {0x10002030, [&] { exec_->EXEC_MATHCompare(1.0L, 2.0L); }},
        {0x10002040, [&] { exec_->EXEC_MATHAdd(1.0L, 2.0L); }},
        {0x10002050, [&] { exec_->EXEC_MATHSub(1.0L, 2.0L); }},
        {0x10002060, [&] { exec_->EXEC_MATHMul(1.0L, 2.0L); }},
        {0x10002070, [&] { exec_->EXEC_MATHDiv(1.0L, 0.0L); }},
    };
    for (const auto& [id, call] : calls) {
        exec_->function_stack[1] = 0;
        call();
        EXPECT_EQ(depth(), 0) << std::hex << id;
        EXPECT_EQ(exec_->function_stack[1], id); // the popped entry stays readable
    }
}

} // namespace
} // namespace vantrel::testing
