// The bench trace: a record of what a run did, for the tools that rehearse and compare upgrade
// disks. PCPLAT_TRACE names the file (read when a machine starts); unset, nothing is written.
// Each record is one line appended with a single write, so the file is whole up to the moment a
// run ends, however it ends:
//   command OFFSET          the program starts the script command whose word ends at OFFSET
//                           (the byte offset in the script file just past the character that
//                           ends the word: the command is on the line holding OFFSET - 1)
//   lcd ROW |TEXT|          before a command record: LCD row ROW (0-3 the lines, 4 and 5 the
//                           wide fields) shows TEXT now, changed since the last command started
//                           (the first command only takes note of what the LCD shows)
//   error CODE              the program set its error register to CODE (0x followed by four
//                           hexadecimal digits)
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pcplat {

class BenchTrace {
  public:
    static constexpr const char* kVariable = "PCPLAT_TRACE";
    static constexpr int kLcdRows = 6;
    BenchTrace();
    ~BenchTrace();
    BenchTrace(const BenchTrace&) = delete;
    BenchTrace& operator=(const BenchTrace&) = delete;
    bool active() const { return fd_ >= 0; }
    // card0 is card window 0 (its LCD area), empty when the desk has no card there.
    void command(uint32_t script_offset, std::span<const uint8_t> card0 = {});
    void error_code(uint16_t code);
    // Appends one line (the newline is added).
    void record(std::string_view line);

  private:
    void lcd_changes(std::span<const uint8_t> card0);

    int fd_ = -1;
    bool lcd_seen_ = false;
    std::string lcd_[kLcdRows];
};

// An LCD row as the LCD shows it, one character a byte: printable ASCII as it is, any other
// byte as '.'. Rows 0-3 are the lines, 4 and 5 the wide fields; card0 must hold the LCD area.
std::string lcd_row_text(std::span<const uint8_t> card0, int row);

} // namespace pcplat
