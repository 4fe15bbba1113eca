// The battery-backed clock (BIOS INT 1Ah), the date check, date and time texts, and bounded
// string copy, append and compare.
#include "core/library.hpp"

#include <pcplat/dpmi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace vantrel {

namespace {

constexpr uint32_t kStrCopyId = 0x10003010;

constexpr uint8_t kClockInterrupt = 0x1A;
constexpr uint8_t kReadTime = 0x02;
constexpr uint8_t kSetTime = 0x03;
constexpr uint8_t kReadDate = 0x04;
constexpr uint8_t kSetDate = 0x05;
constexpr uint8_t kNoDaylightSaving = 0;

constexpr int32_t kFirstYear = 1970;
constexpr int32_t kLastYear = 2200;
// A clock reading before this year has never been set.
constexpr int32_t kFirstSetYear = 1999;
constexpr int32_t kUnsetClockYear = 2000;
constexpr uint8_t kFebruary = 2;
constexpr uint8_t kLeapFebruaryDays = 29;

constexpr std::array<uint8_t, 12> kMonthDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr std::array<const char*, 12> kMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "Sep 30 2200" and "23:59:59" with their terminators: the callers' buffers are this large.
constexpr size_t kDateTextSize = 12;
constexpr size_t kTimeTextSize = 9;
// Two digits per field keep the time text within its buffer.
constexpr uint8_t kLargestTimeField = 99;

constexpr uint8_t kUpperCaseOffset = 'a' - 'A';

uint8_t to_bcd(int value) {
    const int two_digits = value % 100;
    return static_cast<uint8_t>((two_digits / 10) << 4 | (two_digits % 10));
}

uint8_t from_bcd(uint8_t bcd) {
    return static_cast<uint8_t>((bcd >> 4) * 10 + (bcd & 0x0F));
}

uint8_t high_byte(uint32_t reg) {
    return static_cast<uint8_t>(reg >> 8);
}
uint8_t low_byte(uint32_t reg) {
    return static_cast<uint8_t>(reg);
}
uint32_t pack(uint8_t high, uint8_t low) {
    return uint32_t{high} << 8 | low;
}

// Runs one clock function. A call the BIOS refuses leaves the registers at 0, so a reading is
// all zeros rather than whatever the registers held.
RealRegs clock_call(uint8_t function, uint32_t ecx = 0, uint32_t edx = 0) {
    RealRegs regs{};
    regs.eax = pack(function, 0);
    regs.ecx = ecx;
    regs.edx = edx;
    if (!dpmi_real_int(kClockInterrupt, &regs) || (regs.flags & CARRY_FLAG) != 0) {
        regs.ecx = 0;
        regs.edx = 0;
    }
    return regs;
}

bool is_leap_year(int32_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Corrects the record in place: dates are brought into range, never rejected.
void check_date(ExecDate& date) {
    date.year = std::clamp(date.year, kFirstYear, kLastYear);
    if (date.month == kFebruary) {
        const uint8_t last = is_leap_year(date.year) ? kLeapFebruaryDays : kMonthDays[1];
        date.day = std::min(date.day, last);
    } else {
        if (date.month == 0 || date.month > kMonthDays.size()) date.month = 1;
        date.day = std::min(date.day, kMonthDays[date.month - 1]);
    }
    if (date.day == 0) date.day = 1;
}

uint8_t upper_case(uint8_t c) {
    return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - kUpperCaseOffset) : c;
}

// Position by position over at most count characters, as unsigned bytes; fold maps each byte
// before it is compared.
template <typename Fold>
int16_t compare(const char* first, const char* second, uint16_t count, Fold fold) {
    if (first == nullptr || second == nullptr) return 0;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t a = fold(static_cast<uint8_t>(first[i]));
        const uint8_t b = fold(static_cast<uint8_t>(second[i]));
        if (a != b) return a < b ? -1 : 1;
        if (a == '\0') return 0;
    }
    return 0;
}

} // namespace

} // namespace vantrel

using namespace vantrel;

extern "C" {

void EXEC_CLOCKGetDate(ExecDate* date) {
    if (date == nullptr) return;
    const RealRegs regs = clock_call(kReadDate);
    date->year = from_bcd(high_byte(regs.ecx)) * 100 + from_bcd(low_byte(regs.ecx));
    date->month = from_bcd(high_byte(regs.edx));
    date->day = from_bcd(low_byte(regs.edx));
    check_date(*date);
    if (date->year < kFirstSetYear) {
        date->year = kUnsetClockYear;
        check_date(*date);
        exec()->EXEC_CLOCKSetDate(date);
    }
}

void EXEC_CLOCKSetDate(ExecDate* date) {
    if (date == nullptr) return;
    if (date->year < kFirstSetYear) date->year = kUnsetClockYear;
    check_date(*date);
    clock_call(kSetDate, pack(to_bcd(date->year / 100), to_bcd(date->year % 100)),
               pack(to_bcd(date->month), to_bcd(date->day)));
}

void EXEC_CLOCKGetTime(ExecTime* time) {
    if (time == nullptr) return;
    const RealRegs regs = clock_call(kReadTime);
    time->hour = from_bcd(high_byte(regs.ecx));
    time->minute = from_bcd(low_byte(regs.ecx));
    time->second = from_bcd(high_byte(regs.edx));
    time->hundredths = 0; // the clock does not count them
}

void EXEC_CLOCKSetTime(ExecTime* time) {
    if (time == nullptr) return;
    clock_call(kSetTime, pack(to_bcd(time->hour), to_bcd(time->minute)),
               pack(to_bcd(time->second), kNoDaylightSaving));
}

void EXEC_DATEFormat(char* text, ExecDate* date) {
    if (text == nullptr || date == nullptr) return;
    check_date(*date);
    // Formatted with room to spare, then cut to the caller's 12 bytes: after the check the text
    // always fits, but the compiler cannot see that.
    char wide[kDateTextSize * 4];
    std::snprintf(wide, sizeof wide, "%s %d %d", kMonthNames[date->month - 1], date->day,
                  static_cast<int>(date->year));
    std::snprintf(text, kDateTextSize, "%.11s", wide);
}

void EXEC_TIMEFormat(char* text, ExecTime* time) {
    if (text == nullptr || time == nullptr) return;
    // As for the date: held to two digits the fields always fit, but not every build of the
    // compiler can see that (the sanitizers' cannot).
    char wide[kTimeTextSize * 2];
    std::snprintf(wide, sizeof wide, "%02d:%02d:%02d", std::min(time->hour, kLargestTimeField),
                  std::min(time->minute, kLargestTimeField),
                  std::min(time->second, kLargestTimeField));
    std::snprintf(text, kTimeTextSize, "%.8s", wide);
}

void EXEC_STRCopy(char* destination, const char* source, uint32_t size) {
    TraceScope trace(kStrCopyId);
    // A destination of no bytes has no room even for the terminator.
    if (destination == nullptr || size == 0) return;
    if (source == nullptr) {
        destination[0] = '\0';
        return;
    }
    const size_t length = strnlen(source, size - 1);
    std::memmove(destination, source, length);
    destination[length] = '\0';
}

void EXEC_STRAppend(char* destination, const char* source, uint16_t maximum) {
    if (destination == nullptr || source == nullptr) return;
    // The full length, not just its low 16 bits: a longer text must never look short enough.
    const size_t length = std::strlen(destination);
    if (length >= maximum) return;
    const size_t appended = strnlen(source, maximum - length);
    std::memmove(destination + length, source, appended);
    destination[length + appended] = '\0';
}

int16_t EXEC_STRCompare(const char* first, const char* second, uint16_t count) {
    return compare(first, second, count, [](uint8_t c) { return c; });
}

int16_t EXEC_STRCompareNoCase(const char* first, const char* second, uint16_t count) {
    return compare(first, second, count, upper_case);
}

} // extern "C"
