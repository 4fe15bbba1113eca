#include "desk_view.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>

namespace desksim {

std::string hex(uint32_t value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, value);
    return buffer;
}

std::string blocks_text(const pcplat::CardProfile& card) {
    std::string text = to_string(card.blocks);
    switch (card.blocks) {
    case pcplat::BlockMode::slow:
        return text + " (" + std::to_string(card.polls) + " polls a block)";
    case pcplat::BlockMode::busy:
        return text + (card.polls ? " (" + std::to_string(card.polls) + " polls)" : " (for ever)");
    case pcplat::BlockMode::reject:
        return text + (card.reject_block ? " block " + std::to_string(card.reject_block)
                                         : std::string(" every block"));
    default:
        return text;
    }
}

namespace {
std::string lcd_row(std::span<const uint8_t> bytes) {
    std::string text = "|";
    for (const uint8_t byte : bytes)
        text += byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
    return text + "|";
}
} // namespace

std::vector<std::string> lcd_frame(std::span<const uint8_t> window) {
    constexpr uint32_t kWideFields[2] = {DESK_LCD_WIDE_FIELD_0, DESK_LCD_WIDE_FIELD_1};
    const std::string narrow_rule = "+" + std::string(DESK_LCD_LINE_LENGTH, '-') + "+";
    const std::string wide_rule = "+" + std::string(DESK_LCD_WIDE_FIELD_LENGTH, '-') + "+";
    std::vector<std::string> rows{narrow_rule};
    for (uint32_t line = 0; line < DESK_LCD_LINE_COUNT; ++line)
        rows.push_back(lcd_row(
            window.subspan(DESK_LCD_LINES + DESK_LCD_LINE_LENGTH * line, DESK_LCD_LINE_LENGTH)));
    rows.push_back(wide_rule);
    for (const uint32_t field : kWideFields)
        rows.push_back(lcd_row(window.subspan(field, DESK_LCD_WIDE_FIELD_LENGTH)));
    rows.push_back(wide_rule);
    return rows;
}

std::string card_log_line(uint32_t number, std::span<const uint8_t> record) {
    static constexpr const char* kOutcome[] = {"taken", "rejected", "stalled"};
    const auto pad = [](std::string text, size_t width) {
        if (text.size() < width) text.append(width - text.size(), ' ');
        return text;
    };
    const uint8_t* p = record.data() + DESK_CARD_PARAMS;
    std::string out = std::to_string(number) + "  card " + std::to_string(record[0] & 1) + "  " +
                      pad(record[1] < std::size(kOutcome) ? kOutcome[record[1]] : "?", 8) + "  " +
                      (record[2] == DESK_CARD_CMD_END ? "end " : "data") + " " + hex(record[2], 2) +
                      "  P3 " + hex(p[0], 2) + "  P5 " + hex(p[2], 2) + "  P6 " + hex(p[3], 2) +
                      "  P7 " + hex(p[4], 2) + "  ";
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = DESK_CARD_DATA; i < record.size(); ++i) {
        out += kDigits[record[i] >> 4];
        out += kDigits[record[i] & 0xF];
    }
    return out;
}

int put_byte(int fd, uint32_t offset, uint8_t value) {
    ssize_t n = 0;
    do {
        n = ::pwrite(fd, &value, 1, offset);
    } while (n < 0 && errno == EINTR);
    if (n == 1) return 0;
    return n < 0 && errno ? errno : EIO;
}

} // namespace desksim
