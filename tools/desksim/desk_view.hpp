// What desksim's commands share when they show a desk's state files or press its panel keys:
// the LCD as the desk shows it, a card log record as one line, and one byte written in place.
#pragma once

#include "desk/desk.hpp"

#include <pcplat/desk_card.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace desksim {

// "0x" and the value in that many upper-case hex digits.
std::string hex(uint32_t value, int digits);

// How a card answers blocks, with the numbers its behaviour takes.
std::string blocks_text(const pcplat::CardProfile& card);

// Card window 0 up to the end of the LCD's second wide field: what the LCD text needs.
constexpr uint32_t kLcdAreaEnd = DESK_LCD_WIDE_FIELD_1 + DESK_LCD_WIDE_FIELD_LENGTH;
// The LCD as the desk's hardware shows it, framed: the four lines, then the two wide fields,
// one character per byte and anything unprintable as '.'. The window holds kLcdAreaEnd bytes.
std::vector<std::string> lcd_frame(std::span<const uint8_t> window);

// One record of card-blocks.log (numbered from 1) as one line: card, outcome, command, the
// parameters and all 256 data bytes in hex, because the card gets all 256.
std::string card_log_line(uint32_t number, std::span<const uint8_t> record);

// How long a momentary press keeps a panel key down: long enough for a program that polls the
// panel, even under an emulator, and short enough to be one press for one question.
constexpr auto kPressTime = std::chrono::milliseconds(250);

// Writes one byte of a state file in place (a running program has the file mapped, so it must
// be neither truncated nor replaced): 0, or the errno of the failure.
int put_byte(int fd, uint32_t offset, uint8_t value);

} // namespace desksim
