// speaker.log in a desk folder: the speaker's tones since power-on, one a line, written by the
// speaker model and read back by desksim. Lines starting with '#' are comments; a tone line holds
// five fields separated by blanks:
//
//   tick       timer ticks (channel 0 interrupts) since power-on when the tone began
//   start_ms   when it began, in ms since power-on, to the microsecond
//   divisor    timer channel 2's divisor, 1 to 65536
//   hz         its pitch, 1193182 / divisor, to 0.01 Hz (for people: the divisor is exact)
//   length_ms  how long it sounded, in ms to the microsecond
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pcplat {

struct ToneRecord {
    uint64_t tick = 0;
    uint64_t start_us = 0;
    uint32_t divisor = 0;
    uint64_t length_us = 0;
    double hz() const;
};

// The comment lines at the head of a new log.
std::string speaker_log_header();
// One tone line, ending in a line feed.
std::string format_tone(const ToneRecord& tone);
// A tone line (without its line feed); nothing for a line that is not one. Comments and blank
// lines are not tones either: test for them first.
std::optional<ToneRecord> parse_tone(std::string_view line);

} // namespace pcplat
