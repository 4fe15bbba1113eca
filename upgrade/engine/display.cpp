// The console and LCD commands, and the LCD line writer.
#include "engine/program.hpp"

#include <pcplat/desk_card.h>
#include <pcplat/win32.h>

#include <cstdio>
#include <cstring>

namespace tolvanex {

namespace {

constexpr uint32_t kLcdLines = DESK_LCD_LINES;
constexpr uint32_t kLcdLineLength = DESK_LCD_LINE_LENGTH;
constexpr uint16_t kLcdLineCount = DESK_LCD_LINE_COUNT;
constexpr uint32_t kWideFields[] = {DESK_LCD_WIDE_FIELD_0, DESK_LCD_WIDE_FIELD_1};
constexpr uint32_t kWideFieldLength = DESK_LCD_WIDE_FIELD_LENGTH;
constexpr int kClearLines = 50;
// The comma must leave at least one of the 119 positions after it.
constexpr size_t kLastCommaIndex = 117;

} // namespace

void LcdWriteLine(const char* text, uint16_t line) {
    const uint16_t window = program().card_window[0];
    if (line >= kLcdLineCount || !window) return;
    char buffer[kArgumentBuffer];
    std::snprintf(buffer, sizeof buffer, "%-20.20s", text);
    exec()->EXEC_FARCopyTo(window, buffer, kLcdLineLength, kLcdLines + kLcdLineLength * line);
}

void LcdClearWideFields() {
    const uint16_t window = program().card_window[0];
    if (!window) return;
    char buffer[kArgumentBuffer];
    std::snprintf(buffer, sizeof buffer, "%-24.24s", "");
    for (const uint32_t field : kWideFields)
        exec()->EXEC_FARCopyTo(window, buffer, kWideFieldLength, field);
}

uint16_t CmdPrintDisplay(FILE* script) {
    char text[kArgumentBuffer];
    if (!ReadArgumentLine(script, text)) return 0;
    exec()->EXEC_Printf("%s\n", text);
    return 1;
}

uint16_t CmdClearDisplay(FILE*) {
    for (int i = 0; i < kClearLines; ++i)
        exec()->EXEC_Printf("\n");
    console_cursor_home();
    return 1;
}

uint16_t CmdPrintLcd(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    const char* comma = std::strchr(line, ',');
    if (!comma || static_cast<size_t>(comma - line) > kLastCommaIndex) return 0;
    char number[kArgumentBuffer] = {};
    std::memcpy(number, line, static_cast<size_t>(comma - line));
    long value = 0;
    if (!ReadDecimal(number, value)) return 0;
    LcdWriteLine(comma + 1, static_cast<uint16_t>(value));
    return 1;
}

uint16_t CmdClearLcd(FILE*) {
    for (uint16_t line = 0; line < kLcdLineCount; ++line)
        LcdWriteLine("", line);
    LcdClearWideFields();
    return 1;
}

} // namespace tolvanex
