// A test hook: disk faults on chosen files, named by the environment variable PCPLAT_FILE_FAULTS.
// Tests run as root, where permissions prove nothing, so a failing disk has to be made on purpose.
// Nothing changes while the variable is unset or empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pcplat {

// What the hook does to one open stream.
struct StreamFaults {
    std::optional<uint64_t> write_budget; // bytes the stream may still write; then the disk is full
    bool flip_first_byte = false;         // byte 0 of the file reads back inverted
    bool fail_sync = false;               // flushing the stream to the disk fails
    bool any() const { return write_budget.has_value() || flip_first_byte || fail_sync; }
};

class FileFaults {
  public:
    static constexpr const char* kVariable = "PCPLAT_FILE_FAULTS";

    // Rules separated by ';', each matching the name of a file (its last path component) with a
    // DOS wildcard pattern, ignoring case:
    //   create:PATTERN        opening such a file for writing ("w" or "a") fails, nothing is made
    //   full:PATTERN:BYTES    a stream of such a file writes BYTES bytes, then the disk is full
    //   flush:PATTERN         flushing a stream of such a file to the disk fails
    //   flip:PATTERN          the first byte of such a file reads back with its bits inverted
    // Throws std::invalid_argument naming the rule that cannot be used.
    static FileFaults parse(std::string_view rules);
    // The rules of PCPLAT_FILE_FAULTS; none when it is unset.
    static FileFaults from_environment();

    bool active() const { return !rules_.empty(); }
    bool refuses_create(std::string_view name) const;
    StreamFaults for_stream(std::string_view name) const;

  private:
    enum class Kind : uint8_t { create, full, flush, flip };
    struct Rule {
        Kind kind = Kind::create;
        std::string pattern;
        uint64_t bytes = 0;
    };
    std::vector<Rule> rules_;
};

} // namespace pcplat
