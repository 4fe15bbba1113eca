// The desk's own hardware on the physical bus: the interface card windows and the non-volatile
// RAM, each backed by a file in the desk folder (memory-mapped, shared), so the desk keeps its
// state between runs and another program can watch the LCD and press panel keys. Also the
// real-time clock's offset from host time, kept in the desk folder.
#pragma once

#include "desk/profile.hpp"
#include "machine/buses.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace pcplat {

namespace desk {
constexpr uint32_t kCardWindowBase[2] = {0xD1000, 0xD2000};
constexpr uint32_t kCardWindowSize = 0x1000;
constexpr uint32_t kCardTypeOffset = 0x108;
constexpr const char* kCardFile[2] = {"card0.bin", "card1.bin"};
constexpr const char* kNvrFile = "nvr.bin";
constexpr const char* kClockFile = "clock-offset";
constexpr const char* kProfileFile = "desk.toml";
constexpr const char* kLockFile = "desk.lock";
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

// An interface card's shared-memory window. The card writes its type word at start.
class CardWindow : public MemoryDevice {
  public:
    CardWindow(const std::filesystem::path& file, const CardProfile& profile);
    const CardProfile& profile() const { return profile_; }
    const MappedFile& file() const { return file_; }

  private:
    MappedFile file_;
    CardProfile profile_;
};

class Desk {
  public:
    // Maps the fitted cards and the NVR on the bus; throws std::runtime_error when a state file
    // cannot be made.
    Desk(const std::filesystem::path& folder, const Profile& profile, PhysBus& bus);
    CardWindow* card(int i) { return cards_[i].get(); }
    MemoryDevice* nvr() { return nvr_file_ ? &nvr_ : nullptr; }
    uint32_t nvr_address() const { return nvr_address_; }

    // Seconds added to host local time to give the real-time clock.
    int64_t clock_offset() const { return clock_offset_; }
    void set_clock_offset(int64_t seconds); // and keep it in the desk folder

  private:
    std::filesystem::path folder_;
    std::unique_ptr<CardWindow> cards_[2];
    BusMapping card_mappings_[2];
    std::unique_ptr<MappedFile> nvr_file_;
    MemoryDevice nvr_;
    BusMapping nvr_mapping_;
    uint32_t nvr_address_ = 0;
    int64_t clock_offset_ = 0;
};

} // namespace pcplat
