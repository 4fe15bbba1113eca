// The desk runner: runs an upgrade disk through the real upgrade program on a copy of a starting
// desk and reports what the operator saw and what the desk holds afterwards. The starting desk
// is never touched; each run works in a temporary folder of its own, removed afterwards however
// the run ends. A pool runs many runs at once, one desk per worker.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace mkdisk {

namespace fs = std::filesystem;

// Input the bench cannot run with (a missing disk, a broken profile, a program that does not
// start): one line for the user, who has to change something.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A signal asked the tool to stop: the run's program was ended and its folder removed.
struct RunStopped {
    int signal_number = 0;
};

// The platform's status for a program that waited for a key after its answers ran out.
constexpr int kStatusAnswersRanOut = 5;
constexpr int kLcdRows = 6; // four lines, then the two wide fields

// FNV-1a, 64 bits: enough to tell two versions of a desk's file apart, and the same on every host.
class Digest {
  public:
    void add(const void* data, size_t size);
    uint64_t value() const { return value_; }
    static std::string hex(uint64_t value);

  private:
    uint64_t value_ = 0xcbf29ce484222325ull;
};

// A desk to start from: a desk folder, copied whole (profile, state files, the drives' files),
// or a profile file alone, for a fresh desk.
struct StartingDesk {
    fs::path path;
    bool folder = false;
    std::string name; // as the user named it
};

// Throws RunError unless path is a desk folder or a profile file whose profile is sound and
// whose drives lie inside the desk folder (a copy must hold all the desk can change).
StartingDesk check_starting_desk(const fs::path& path);

// A file or folder on one of the desk's drives.
struct DeskFile {
    std::string path;    // DOS style from the drive: C:\DESK\DESKAPP.EXE; a folder ends in '\'
    uint64_t size = 0;   // bytes; 0 for a folder
    uint64_t digest = 0; // of the bytes; 0 for a folder
    bool operator==(const DeskFile&) const = default;
};

// What lasts on a desk: its drives, its NVR, what its cards took, its LCD.
struct DeskState {
    std::vector<DeskFile> files;           // by path
    std::optional<uint64_t> nvr;           // digest of nvr.bin; none on a desk without one
    std::vector<std::string> card_blocks;  // card-blocks.log, one record each
    std::array<std::string, kLcdRows> lcd; // as desksim lcd shows the rows
    bool operator==(const DeskState&) const = default;
};

// What differs between two states, one item each: a file's path, "NVR", "card block N", "LCD
// row N"; empty when they are the same.
std::vector<std::string> state_differences(const DeskState& a, const DeskState& b);

// What lasts on a desk and differs between an uninterrupted run's end (uncut) and a cut run's
// (cut), one item each: "C:\APP\LIB.DLL (missing)", "(extra)" or "(changed)", a folder the same
// way, "NVR", "card blocks". start is the starting desk: the card blocks compared are the last
// ones, as many as the uninterrupted run sent (a card keeps the last image it took, so an image
// sent again whole after the cut is the same).
std::vector<std::string> lasting_differences(const DeskState& start, const DeskState& uncut,
                                             const DeskState& cut);

// A fresh copy of a starting desk, and of the disk when the program could write to it, in a
// temporary folder that goes with the object.
class WorkDesk {
  public:
    WorkDesk(const StartingDesk& desk, const fs::path& disk);
    ~WorkDesk();
    WorkDesk(const WorkDesk&) = delete;
    WorkDesk& operator=(const WorkDesk&) = delete;

    const fs::path& folder() const { return folder_; }
    const fs::path& desk() const { return desk_; }
    const fs::path& disk() const { return disk_; }
    DeskState state() const;

  private:
    fs::path folder_;
    fs::path desk_;
    fs::path disk_;
};

// One run of the upgrade program.
struct Run {
    fs::path disk;       // the disk folder: the program's start directory, drive A:
    StartingDesk desk;   // used by run_desk(); run_on() takes the desk it is given
    std::string script;  // the script on the disk; empty: the program's default
    std::string answers; // the keys on the program's standard input, then its end
    std::vector<std::pair<std::string, std::string>> environment; // PCPLAT_* hooks and the like
    std::chrono::milliseconds time_limit{60'000};
    // Nonzero: run_desk() first runs the disk with the power failing right after this step
    // (PCPLAT_POWER_CUT), then boots the desk as the cut left it and runs the disk again; the
    // result is the second run's.
    uint64_t power_cut_after = 0;
};

// A file's whole content; empty when it cannot be read.
std::string read_text(const fs::path& path);

// A step of the run that changed the desk's lasting state, as the bench trace numbers them
// (the first is step 1).
struct StepRecord {
    size_t commands = 0; // how many commands had started: the step is in the last of them
    std::string kind;    // create, write, flush, rename, ..., card-block
    std::string what;    // the file, files, NVR bytes or card block
    bool operator==(const StepRecord&) const = default;
};

struct LcdChange {
    size_t commands = 0; // how many commands had started when the row showed this
    int row = 0;
    std::string text;
    bool operator==(const LcdChange&) const = default;
};

struct RunResult {
    int exit_status = 0; // the program's, or 128 + N when signal N ended it
    bool timed_out = false;
    std::string console;    // standard output
    std::string errors;     // standard error, the work folder's path shown as DESK or DISK
    std::vector<int> lines; // the script line of each command started, in order
    std::vector<LcdChange> lcd_changes;
    uint16_t error_code = 0; // the error register at the end
    DeskState before;        // the starting desk
    DeskState after;
    std::vector<StepRecord> steps;
    int cut_status = 0; // with power_cut_after: the exit status of the run the power failed under

    bool answers_ran_out() const { return !timed_out && exit_status == kStatusAnswersRanOut; }
    // Files on the drives that the run made or changed, by path.
    std::vector<std::string> installed() const;
};

// Where the program is and what stops every run.
struct Bench {
    fs::path tolvanex;
    // The number of a signal that asked the tool to stop, or 0; asked often while a program runs.
    // Once it is nonzero, running programs are ended and RunStopped is thrown.
    std::function<int()> stop;
};

// The upgrade program beside this tool, or where `program` (argv[0]) says it is.
fs::path tolvanex_beside(const char* program);

// The line of each byte offset of a script: the command whose word ends at OFFSET is on the line
// holding byte OFFSET - 1.
class ScriptLines {
  public:
    explicit ScriptLines(const std::string& text);
    int line_of_command(uint32_t word_end) const;
    int count() const { return static_cast<int>(newlines_.size()) + 1; }

  private:
    std::vector<size_t> newlines_;
};

// Runs the program on the work desk as it is now (twice on one desk is a desk booted again).
// Throws RunError when the program cannot be started, RunStopped on a stop.
RunResult run_on(const Bench& bench, WorkDesk& desk, const Run& run);
// On a fresh copy of run.desk, removed afterwards.
RunResult run_desk(const Bench& bench, const Run& run);

// Every run, jobs at a time (0: one per core), one desk each; the results in the order of runs.
// progress(done, total) is called from the workers, one call at a time. Meanwhile SIGINT,
// SIGTERM, SIGHUP and SIGQUIT are taken by the pool (their handlers do not run) and stop it:
// RunStopped.
std::vector<RunResult> run_all(const Bench& bench, const std::vector<Run>& runs, unsigned jobs,
                               const std::function<void(size_t, size_t)>& progress = {});
// The workers run_all uses for that many runs.
unsigned workers_for(size_t runs, unsigned jobs);

} // namespace mkdisk
