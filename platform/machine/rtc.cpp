// INT 1Ah: the BIOS tick count and the battery-backed real-time clock. The clock is host local
// time plus an offset kept in the desk folder, so setting it never touches the host's clock.
#include "machine/machine.hpp"

#include <ctime>

namespace pcplat {

namespace {

constexpr uint32_t kTicks = 0x46C;
constexpr uint32_t kMidnight = 0x470;

bool from_bcd(uint8_t bcd, int& value) {
    if ((bcd & 0x0F) > 9 || (bcd >> 4) > 9) return false;
    value = (bcd >> 4) * 10 + (bcd & 0x0F);
    return true;
}

uint8_t to_bcd(int value) {
    return static_cast<uint8_t>((value / 10) << 4 | (value % 10));
}

// Host local time as seconds of a calendar without time zones.
int64_t host_local_seconds() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return int64_t{now} + local.tm_gmtoff;
}

tm clock_now(int64_t offset) {
    const auto t = static_cast<time_t>(host_local_seconds() + offset);
    tm out{};
    gmtime_r(&t, &out);
    return out;
}

uint8_t byte_of(uint32_t reg, int shift) {
    return static_cast<uint8_t>(reg >> shift);
}

void set_carry(RealRegs& r, bool carry) {
    r.flags = carry ? uint16_t(r.flags | CARRY_FLAG) : uint16_t(r.flags & ~CARRY_FLAG);
}

} // namespace

void Machine::bios_int1a(RealRegs& r) {
    const uint8_t function = byte_of(r.eax, 8);
    const int64_t offset = desk_->clock_offset();
    switch (function) {
    case 0x00: { // tick count since midnight
        r.ecx = (r.ecx & 0xFFFF0000u) | bda_word(kTicks + 2);
        r.edx = (r.edx & 0xFFFF0000u) | bda_word(kTicks);
        r.eax = (r.eax & 0xFFFFFF00u) | conventional_[kMidnight];
        conventional_[kMidnight] = 0;
        set_carry(r, false);
        return;
    }
    case 0x01:
        set_bda_word(kTicks + 2, static_cast<uint16_t>(r.ecx));
        set_bda_word(kTicks, static_cast<uint16_t>(r.edx));
        conventional_[kMidnight] = 0;
        set_carry(r, false);
        return;
    case 0x02: { // read time: CH hours, CL minutes, DH seconds, DL daylight saving
        const tm now = clock_now(offset);
        r.ecx = (r.ecx & 0xFFFF0000u) | uint32_t{to_bcd(now.tm_hour)} << 8 | to_bcd(now.tm_min);
        r.edx = (r.edx & 0xFFFF0000u) | uint32_t{to_bcd(now.tm_sec)} << 8;
        set_carry(r, false);
        return;
    }
    case 0x04: { // read date: CH century, CL year, DH month, DL day
        const tm now = clock_now(offset);
        const int year = now.tm_year + 1900;
        r.ecx = (r.ecx & 0xFFFF0000u) | uint32_t{to_bcd(year / 100)} << 8 | to_bcd(year % 100);
        r.edx = (r.edx & 0xFFFF0000u) | uint32_t{to_bcd(now.tm_mon + 1)} << 8 | to_bcd(now.tm_mday);
        set_carry(r, false);
        return;
    }
    case 0x03:
    case 0x05: {
        tm wanted = clock_now(offset);
        bool ok = true;
        if (function == 0x03) {
            int hour = 0, minute = 0, second = 0;
            ok = from_bcd(byte_of(r.ecx, 8), hour) && from_bcd(byte_of(r.ecx, 0), minute) &&
                 from_bcd(byte_of(r.edx, 8), second) && hour < 24 && minute < 60 && second < 60;
            wanted.tm_hour = hour;
            wanted.tm_min = minute;
            wanted.tm_sec = second;
        } else {
            int century = 0, year = 0, month = 0, day = 0;
            ok = from_bcd(byte_of(r.ecx, 8), century) && from_bcd(byte_of(r.ecx, 0), year) &&
                 from_bcd(byte_of(r.edx, 8), month) && from_bcd(byte_of(r.edx, 0), day) &&
                 month >= 1 && month <= 12 && day >= 1 && day <= 31;
            wanted.tm_year = century * 100 + year - 1900;
            wanted.tm_mon = month - 1;
            wanted.tm_mday = day;
        }
        // A value the clock chip cannot hold is refused rather than stored half-way.
        if (ok) {
            tm normalised = wanted;
            const time_t t = timegm(&normalised);
            ok = normalised.tm_mday == wanted.tm_mday && normalised.tm_mon == wanted.tm_mon;
            if (ok) desk_->set_clock_offset(int64_t{t} - host_local_seconds());
        }
        set_carry(r, !ok);
        return;
    }
    default:
        set_carry(r, true);
        return;
    }
}

} // namespace pcplat
