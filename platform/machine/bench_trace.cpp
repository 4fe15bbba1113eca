#include "machine/bench_trace.hpp"

#include "desk/profile.hpp"

#include <pcplat/desk_card.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pcplat {

namespace {

constexpr uint32_t kRowOffset[BenchTrace::kLcdRows] = {DESK_LCD_LINES,
                                                       DESK_LCD_LINES + DESK_LCD_LINE_LENGTH,
                                                       DESK_LCD_LINES + 2 * DESK_LCD_LINE_LENGTH,
                                                       DESK_LCD_LINES + 3 * DESK_LCD_LINE_LENGTH,
                                                       DESK_LCD_WIDE_FIELD_0,
                                                       DESK_LCD_WIDE_FIELD_1};
constexpr uint32_t kLcdAreaEnd = DESK_LCD_WIDE_FIELD_1 + DESK_LCD_WIDE_FIELD_LENGTH;

} // namespace

std::string lcd_row_text(std::span<const uint8_t> card0, int row) {
    const uint32_t width =
        row < DESK_LCD_LINE_COUNT ? DESK_LCD_LINE_LENGTH : DESK_LCD_WIDE_FIELD_LENGTH;
    std::string text;
    for (uint32_t i = 0; i < width; ++i) {
        const uint8_t b = card0[kRowOffset[row] + i];
        text += b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
    }
    return text;
}

BenchTrace::BenchTrace() {
    const char* path = std::getenv(kVariable);
    if (path == nullptr || *path == '\0') return;
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw ProfileError(std::string(kVariable) + ": cannot write " + path + ": " +
                           std::strerror(errno));
}

BenchTrace::~BenchTrace() {
    if (fd_ >= 0) ::close(fd_);
}

void BenchTrace::command(uint32_t script_offset, std::span<const uint8_t> card0) {
    if (fd_ < 0) return;
    if (card0.size() >= kLcdAreaEnd) lcd_changes(card0);
    record("command " + std::to_string(script_offset));
}

// Commands are where a run's LCD is compared: what one command wrote shows before the next.
void BenchTrace::lcd_changes(std::span<const uint8_t> card0) {
    for (int row = 0; row < kLcdRows; ++row) {
        std::string text = lcd_row_text(card0, row);
        if (lcd_seen_ && text != lcd_[row])
            record("lcd " + std::to_string(row) + " |" + text + "|");
        lcd_[row] = std::move(text);
    }
    lcd_seen_ = true;
}

void BenchTrace::error_code(uint16_t code) {
    if (fd_ < 0) return;
    char text[16];
    std::snprintf(text, sizeof text, "error 0x%04X", unsigned{code});
    record(text);
}

void BenchTrace::record(std::string_view line) {
    if (fd_ < 0) return;
    std::string text(line);
    text += '\n';
    // One write per record: O_APPEND keeps records whole even if the run is cut off after it.
    (void)!::write(fd_, text.data(), text.size());
}

} // namespace pcplat
