// Arithmetic on the x87's 80-bit extended reals, for clients that reach it through the table.
// Conversions to an integer saturate at +-0x6FFFFFFF rather than overflow.
#include "core/library.hpp"

#include <cmath>
#include <limits>

namespace vantrel {

namespace {

constexpr uint32_t kFromLongId = 0x10002010;
constexpr uint32_t kToLongId = 0x10002020;
constexpr uint32_t kCompareId = 0x10002030;
constexpr uint32_t kAddId = 0x10002040;
constexpr uint32_t kSubId = 0x10002050;
constexpr uint32_t kMulId = 0x10002060;
constexpr uint32_t kDivId = 0x10002070;

constexpr int32_t kLimit = 0x6FFFFFFF;
constexpr long double kLimitReal = kLimit;

static_assert(std::numeric_limits<long double>::digits == 64, "the x87 extended format");

// x87 control word: the rounding control field and its truncating setting.
constexpr uint16_t kRoundingControl = 0x0C00;

// x lies strictly inside +-kLimit. The unit rounds by its control word, which belongs to the
// caller: it is switched to truncation for this one store and then given back exactly.
int32_t truncate_in_range(long double x) {
    uint16_t caller = 0;
    __asm__ volatile("fnstcw %0" : "=m"(caller));
    const auto truncating = static_cast<uint16_t>(caller | kRoundingControl);
    int32_t result = 0;
    __asm__ volatile("fldcw %2\n\t"
                     "fistpl %0\n\t"
                     "fldcw %3"
                     : "=m"(result)
                     : "t"(x), "m"(truncating), "m"(caller)
                     : "st");
    return result;
}

} // namespace

} // namespace vantrel

using vantrel::TraceScope;

extern "C" {

long double EXEC_MATHFromLong(int32_t n) {
    TraceScope trace(vantrel::kFromLongId);
    return static_cast<long double>(n); // every 32-bit integer fits the 64-bit significand
}

int32_t EXEC_MATHToLong(long double x) {
    TraceScope trace(vantrel::kToLongId);
    // A NaN compares false to everything, so it is caught by asking for the inside of the range.
    if (!(x < vantrel::kLimitReal)) return vantrel::kLimit;
    if (x <= -vantrel::kLimitReal) return -vantrel::kLimit;
    return vantrel::truncate_in_range(x);
}

int32_t EXEC_MATHCompare(long double a, long double b) {
    TraceScope trace(vantrel::kCompareId);
    if (a < b) return -1;
    if (a == b) return 0;
    return 1; // greater, or unordered
}

long double EXEC_MATHAdd(long double a, long double b) {
    TraceScope trace(vantrel::kAddId);
    return a + b;
}

long double EXEC_MATHSub(long double a, long double b) {
    TraceScope trace(vantrel::kSubId);
    return a - b;
}

long double EXEC_MATHMul(long double a, long double b) {
    TraceScope trace(vantrel::kMulId);
    return a * b;
}

// Any non-zero divisor divides normally (a NaN divisor is not zero, so it gives NaN). A zero
// divisor gives 0 for a zero dividend and the saturation limit for any other, NaN included,
// whatever the signs.
long double EXEC_MATHDiv(long double a, long double b) {
    TraceScope trace(vantrel::kDivId);
    if (b != 0.0L) return a / b;
    return a == 0.0L ? 0.0L : vantrel::kLimitReal;
}

} // extern "C"
