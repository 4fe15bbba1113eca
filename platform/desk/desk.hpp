// The desk's own hardware on the physical bus: the interface card windows and the non-volatile
// RAM, each backed by a file in the desk folder (memory-mapped, shared), so the desk keeps its
// state between runs and another program can watch the LCD and press panel keys. Also the
// real-time clock's offset from host time, kept in the desk folder.
#pragma once

#include "desk/profile.hpp"
#include "machine/buses.hpp"

#include <pcplat/desk_card.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace pcplat {

class PowerCut;

namespace desk {
constexpr uint32_t kCardWindowBase[2] = {DESK_CARD_WINDOW_0, DESK_CARD_WINDOW_1};
constexpr uint32_t kCardWindowSize = DESK_CARD_WINDOW_SIZE;
constexpr const char* kCardFile[2] = {"card0.bin", "card1.bin"};
constexpr uint8_t kCommandBusy = 0x20; // what a busy card shows
// Every block a card answered, appended in order: a record of kCardLogRecord bytes holding the
// window (0 or 1), the outcome (CardOutcome), the command, then the mailbox's bytes 3 to 263
// (P3, 0, P5, P6, P7 and the 256 data bytes) at their own offsets.
constexpr const char* kCardLogFile = "card-blocks.log";
constexpr uint32_t kCardLogRecord = DESK_CARD_DATA + DESK_CARD_DATA_SIZE;
constexpr const char* kNvrFile = "nvr.bin";
constexpr const char* kClockFile = "clock-offset";
constexpr const char* kProfileFile = "desk.toml";
constexpr const char* kLockFile = "desk.lock";
// The speaker's tones of the latest power-on that sounded one (machine/speaker_log.hpp).
constexpr const char* kSpeakerLogFile = "speaker.log";
// Keys and mouse events to arrive at given timer ticks (machine/input_schedule.hpp).
constexpr const char* kInputScheduleFile = "input-schedule";
} // namespace desk

// A path as it can be pasted into a shell.
std::string shell_word(const std::string& text);

// Throws ProfileError, before anything is written there, unless folder is a desk folder: a
// folder holding desk.toml. Naming the home folder by mistake must not scatter state files in it.
void check_desk_folder(const std::filesystem::path& folder);

// A desk folder held by one machine: an exclusive flock on desk.lock, which holds the holder's
// process id for the one refused. The kernel lets go when the process dies, however it dies.
class DeskLock {
  public:
    // Throws ProfileError, naming the holder's process id when another one has the desk.
    explicit DeskLock(const std::filesystem::path& folder);
    ~DeskLock();
    DeskLock(const DeskLock&) = delete;
    DeskLock& operator=(const DeskLock&) = delete;

  private:
    int fd_ = -1;
    int owner_ = 0; // the process that took the lock
};

// A file of a fixed size mapped shared into memory; created (zero-filled) when missing.
class MappedFile {
  public:
    MappedFile(const std::filesystem::path& path, uint32_t size);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<uint8_t> bytes() const { return {data_, size_}; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
};

enum class CardOutcome : uint8_t { taken, rejected, stalled };

// The log of blocks the cards answered, a file in the desk folder opened at the first block.
class CardLog {
  public:
    explicit CardLog(std::filesystem::path path) : path_(std::move(path)) {}
    ~CardLog();
    CardLog(const CardLog&) = delete;
    CardLog& operator=(const CardLog&) = delete;
    void append(std::span<const uint8_t> record);

  private:
    std::filesystem::path path_;
    int fd_ = -1;
    bool warned_ = false;
};

// An interface card's shared-memory window. The card writes its type word at start and answers
// the mailbox as its profile says. It works only when the program touches the command byte: a
// write of a command hands it a block, and each read of it is a poll, which is the time the card
// has to finish, so the card's answers do not depend on host speed.
class CardWindow : public MemoryDevice {
  public:
    // steps, when given, counts each block the card answers.
    CardWindow(const std::filesystem::path& file, const CardProfile& profile, int index,
               CardLog& log, PowerCut* steps = nullptr);
    const CardProfile& profile() const { return profile_; }
    const MappedFile& file() const { return file_; }
    uint32_t read(uint32_t offset, Width width) override;
    void write(uint32_t offset, uint32_t value, Width width) override;
    // Reads of the command byte since power-on.
    uint64_t polls() const { return polls_; }

  private:
    enum class State : uint8_t { idle, busy, working, done, stalled };
    void command(uint8_t command);
    void finish(CardOutcome outcome, uint8_t reply);
    void set(uint32_t offset, uint8_t value) { file_.bytes()[offset] = value; }

    MappedFile file_;
    CardProfile profile_;
    int index_;
    CardLog& log_;
    PowerCut* steps_ = nullptr;
    State state_ = State::idle;
    uint32_t countdown_ = 0;    // polls left while busy or working
    uint32_t image_blocks_ = 0; // blocks taken since the last end block
    uint8_t command_ = 0;       // the command being answered
    uint64_t polls_ = 0;
};

// The NVR's memory, noting which bytes were written, so that a run of bus cycles (one platform
// call's) can count as one step.
class NvrMemory : public MemoryDevice {
  public:
    struct Range {
        uint32_t first = 0;
        uint32_t last = 0;
    };
    void write(uint32_t offset, uint32_t value, Width width) override;
    // The bytes written since the last call, if any.
    std::optional<Range> take_written();

  private:
    std::optional<Range> written_;
};

class Desk {
  public:
    // Maps the fitted cards and the NVR on the bus; throws std::runtime_error when a state file
    // cannot be made. steps, when given, counts the blocks the cards answer.
    Desk(const std::filesystem::path& folder, const Profile& profile, PhysBus& bus,
         PowerCut* steps = nullptr);
    CardWindow* card(int i) { return cards_[i].get(); }
    NvrMemory* nvr() { return nvr_file_ ? &nvr_ : nullptr; }
    uint32_t nvr_address() const { return nvr_address_; }

    // Seconds added to host local time to give the real-time clock.
    int64_t clock_offset() const { return clock_offset_; }
    void set_clock_offset(int64_t seconds); // and keep it in the desk folder

  private:
    std::filesystem::path folder_;
    CardLog card_log_;
    std::unique_ptr<CardWindow> cards_[2];
    BusMapping card_mappings_[2];
    std::unique_ptr<MappedFile> nvr_file_;
    NvrMemory nvr_;
    BusMapping nvr_mapping_;
    uint32_t nvr_address_ = 0;
    int64_t clock_offset_ = 0;
};

} // namespace pcplat
