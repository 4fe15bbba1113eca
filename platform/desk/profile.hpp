// The desk profile: which desk the simulated PC is. Read from "desk.toml" in a desk folder; every
// key has a default, so an empty profile is a complete desk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pcplat {

// A profile that cannot be used. what() is one line naming the file, the key and the problem.
class ProfileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class HaltMode : uint8_t { exit, wait };
// How the interface card answers blocks handed to it through the mailbox: takes each at once;
// takes it after some reads of the command byte; refuses one block (or all); never finishes one;
// or is busy (command byte nonzero) for some reads, or for ever, before it takes any.
enum class BlockMode : uint8_t { accept, slow, reject, stall, busy };

struct CardProfile {
    bool fitted = false;
    uint16_t type = 0xC004; // the word the card shows at offset 0x108 of its window
    BlockMode blocks = BlockMode::accept;
    // slow: reads of the command byte a block takes; busy: reads before the card is idle, 0 for
    // never.
    uint32_t polls = 0;
    // reject: the block refused, counted from 1 within an image (the end block too); 0: all.
    uint32_t reject_block = 0;
    bool operator==(const CardProfile&) const = default;
};

// The graphics adapter: an S3-style chip, or a plain VGA adapter without extended registers.
struct GfxProfile {
    bool chip = true;
    uint16_t id = 0x8811;     // CRT 0x2D (high byte) and 0x2E (low byte)
    uint8_t revision = 0x40;  // CRT 0x2F
    uint8_t memory_field = 4; // bits 7-5 of CRT 0x36: 4 (or 0) means 2 MB, 6 means 1 MB
    bool operator==(const GfxProfile&) const = default;
};

// The PCI host bridge at bus 0, device 0, function 0.
struct PciProfile {
    uint16_t vendor = 0x8086;
    uint16_t device = 0x7190;
    uint32_t bar0 = 0xE0000008; // base address register 0, configuration offset 0x10
    bool operator==(const PciProfile&) const = default;
};

// A diskette drive: BIOS drive 0 (floppy.a) or 1 (floppy.b), working on an image file whose size
// gives the diskette's geometry.
struct FloppyProfile {
    bool fitted = false;
    std::string image; // relative to the desk folder unless absolute; empty: no diskette
    bool write_protected = false;
    uint32_t fail_times = 0; // operations that fail (status 80h) before the drive works again
    bool operator==(const FloppyProfile&) const = default;
};

// The mouse and its driver (INT 33h); without one, no driver answers.
struct MouseProfile {
    bool present = true;
    bool operator==(const MouseProfile&) const = default;
};

struct Profile {
    std::string source = "built-in default desk"; // where it came from, for people
    HaltMode halt = HaltMode::exit;
    bool extender_present = true;
    // Memory status reported to programs; 0 means the host's own figures.
    uint32_t memory_available_kib = 0;
    uint32_t memory_swap_kib = 0;
    bool memory_from_host = true;
    // Drive letters B to Z mapped to host folders; relative folders are inside the desk folder.
    // A: is always the directory the program was started in.
    std::map<char, std::string> drives{{'C', "c"}, {'D', "d"}};
    CardProfile cards[2]{{true, 0xC004, BlockMode::accept, 0, 0},
                         {false, 0xC004, BlockMode::accept, 0, 0}};
    uint32_t nvr_size = 0x20000;    // bytes; 0 for a desk without NVR
    uint32_t nvr_address = 0xD4000; // 0xD4000 or 0xF00000
    GfxProfile gfx;
    MouseProfile mouse;
    PciProfile pci;
    FloppyProfile floppies[2]{{true, "", false, 0}, {false, "", false, 0}};
    bool operator==(const Profile&) const = default;
};

// Parses profile text; source names the file in messages.
Profile parse_profile(std::string_view text, const std::string& source);
// Reads a profile file; a missing file is a ProfileError too.
Profile load_profile(const std::filesystem::path& file);
// The commented default profile that "desksim new" writes.
std::string default_profile_text();

const char* to_string(HaltMode mode);
const char* to_string(BlockMode mode);

} // namespace pcplat
