// Steps that change the desk's lasting state, and the power failing after one of them: the
// model lives here and nowhere else. Each step goes to the bench trace as "step K KIND WHAT".
// PCPLAT_POWER_CUT=K (read when a machine starts) makes the power fail right after step K: what
// files hold goes back to their last flush, and the process ends at once with kExitPowerCut.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pcplat {

class BenchTrace;
class DriveMap;

// The status a program ends with when the power failed under it.
constexpr int kExitPowerCut = 8;

class PowerCut {
  public:
    static constexpr const char* kVariable = "PCPLAT_POWER_CUT";

    // The step of PCPLAT_POWER_CUT; none when it is unset or empty. Throws ProfileError for
    // anything but a step number from 1.
    static std::optional<uint64_t> step_from_environment();

    // trace, when active, gets every step; drives name the files in it (DOS paths). After the
    // files are put back, power_off ends the process (the machine's part: the terminal, a
    // temporary desk); it must not return, and the cut ends the process itself if it does.
    PowerCut(BenchTrace* trace, const DriveMap* drives, std::optional<uint64_t> cut_after,
             std::function<void(uint64_t step)> power_off);
    PowerCut(const PowerCut&) = delete;
    PowerCut& operator=(const PowerCut&) = delete;

    // Steps are counted while anyone is looking: the trace, or a cut to come.
    bool counting() const { return trace_ != nullptr || cut_after_.has_value(); }
    bool armed() const { return cut_after_.has_value(); }
    uint64_t steps() const { return steps_; }

    // A stream is about to open host for writing: what the file holds now is what a cut keeps
    // until the next flush (nothing at all for a file that is not there yet).
    void opening_for_write(const std::filesystem::path& host);
    // The open made the file (created) or emptied an existing one ("w" on it).
    void opened_for_write(const std::filesystem::path& host, bool created, bool truncated);
    void written(const std::filesystem::path& host);
    // The file's data reached the disk: a cut keeps what it holds now.
    void flushed(const std::filesystem::path& host);
    void renamed(const std::filesystem::path& from, const std::filesystem::path& to);
    void deleted(const std::filesystem::path& host);
    void directory_made(const std::filesystem::path& host);
    // One platform call wrote NVR bytes first to last (offsets in the NVR); kind "nvr-write" or
    // "nvr-fill".
    void nvr_written(std::string_view kind, uint32_t first, uint32_t last);
    // A card answered a block; it is in the card log.
    void card_block(int window, std::string_view outcome, uint8_t command);

  private:
    void step(std::string_view kind, const std::string& what);
    std::string name(const std::filesystem::path& host) const;
    [[noreturn]] void fail();

    // What a cut leaves of a file opened for writing since the machine started: its content at
    // the last flush (or as it was found), or nothing for one never flushed since it was made.
    // Files not in here are on the disk as they stand. Kept only while a cut is armed.
    std::map<std::string, std::optional<std::string>> durable_;
    BenchTrace* trace_ = nullptr;
    const DriveMap* drives_ = nullptr;
    std::optional<uint64_t> cut_after_;
    std::function<void(uint64_t)> power_off_;
    uint64_t steps_ = 0;
};

} // namespace pcplat
