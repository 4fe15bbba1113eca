// Input that arrives at chosen timer ticks, so a test or a person can drive a program's key and
// mouse handling on a desk without a panel and without racing the clock. The desk folder's
// "input-schedule" file holds one entry a line ('#' starts a comment, blank lines are skipped):
//
//   TICK key "TEXT"           types TEXT on the US keyboard (escapes: \n Enter, \t, \b, \e Esc,
//                             \\, \", \xHH for any other control character)
//   TICK key 0xHH             presses and releases the key with make code 0x01 to 0x7F
//   TICK mouse DX DY BUTTONS  a mouse event: DX, DY mickeys (-32768 to 32767), BUTTONS the
//                             button state 0 to 7 (1 left, 2 right, 4 middle)
//
// TICK counts timer ticks (channel 0 interrupts) since power-on; an entry arrives at the first
// safe point once that many ticks have fallen due, entries of one tick in file order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pcplat {

struct ScheduledInput {
    enum class Kind : uint8_t { text, scancode, mouse };
    uint64_t tick = 0;
    Kind kind = Kind::text;
    std::string text;     // text: what is typed
    uint8_t scancode = 0; // scancode: the make code pressed and released
    int16_t dx = 0;       // mouse: mickeys right
    int16_t dy = 0;       // mouse: mickeys down
    uint8_t buttons = 0;  // mouse: button state
    bool operator==(const ScheduledInput&) const = default;
};

// One line: true with the entry, or with nothing for a blank line or a comment; false with the
// problem in one line of text.
bool parse_input_line(std::string_view line, std::optional<ScheduledInput>& entry,
                      std::string& problem);
// A whole schedule; a bad line is a ProfileError "SOURCE: line N: problem".
std::vector<ScheduledInput> parse_input_schedule(std::string_view text, const std::string& source);
// The desk's schedule file; none when it does not exist.
std::vector<ScheduledInput> load_input_schedule(const std::filesystem::path& file);
// The line that parse_input_line reads back as this entry.
std::string format_input(const ScheduledInput& entry);

} // namespace pcplat
