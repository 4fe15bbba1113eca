// The bench trace: a record of what a run did, for the tools that rehearse and compare upgrade
// disks. PCPLAT_TRACE names the file (read when a machine starts); unset, nothing is written.
// Each record is one line appended with a single write, so the file is whole up to the moment a
// run ends, however it ends:
//   command OFFSET          the program starts the script command whose word ends at OFFSET
//                           (the byte offset in the script file just past the character that
//                           ends the word: the command is on the line holding OFFSET - 1)
#pragma once

#include <cstdint>
#include <string_view>

namespace pcplat {

class BenchTrace {
  public:
    static constexpr const char* kVariable = "PCPLAT_TRACE";
    BenchTrace();
    ~BenchTrace();
    BenchTrace(const BenchTrace&) = delete;
    BenchTrace& operator=(const BenchTrace&) = delete;
    bool active() const { return fd_ >= 0; }
    void command(uint32_t script_offset);
    // Appends one line (the newline is added).
    void record(std::string_view line);

  private:
    int fd_ = -1;
};

} // namespace pcplat
