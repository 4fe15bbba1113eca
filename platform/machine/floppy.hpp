// The diskette drives: BIOS drives 0 and 1 on image files named in the profile, served through
// INT 13h. A diskette's format follows from its image's size; every transfer goes straight to
// the image file, so a test sees the bytes on the "diskette" at once.
#pragma once

#include "desk/profile.hpp"
#include "machine/buses.hpp"

#include <pcplat/dpmi.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace pcplat {

class Diskettes {
  public:
    static constexpr int kDrives = 2;
    static constexpr uint32_t kSectorBytes = 512;

    // BIOS status codes (AH) of the diskette services.
    enum Status : uint8_t {
        kOk = 0x00,
        kBadCommand = 0x01, // also: a drive that is not fitted
        kWriteProtected = 0x03,
        kSectorNotFound = 0x04,
        kBoundary = 0x09, // a buffer outside conventional memory
        kMediaUnknown = 0x0C,
        kControllerFailure = 0x20, // the host could not read or write the image
        kNotReady = 0x80,          // no diskette, or a failure ordered by fail_times
    };

    struct Format {
        uint32_t image_bytes;
        uint16_t cylinders;
        uint8_t heads;
        uint8_t sectors;
        uint8_t drive_type; // BL of function 08h
    };
    static std::optional<Format> format_of(uint64_t image_bytes);

    // Throws ProfileError for an image that is missing or of no diskette's size.
    Diskettes(const Profile& profile, const std::filesystem::path& desk_dir,
              std::span<uint8_t> conventional, PhysBus& phys);

    // INT 13h for diskette drives.
    void int13(RealRegs& regs);

    // Resets of the controller (function 00h) since power-on.
    unsigned resets() const { return resets_; }
    uint8_t fitted_count() const;
    bool fitted(uint8_t drive) const { return drive < kDrives && drives_[drive].fitted; }
    // The image of a fitted drive with a diskette, as the host sees it.
    std::optional<std::filesystem::path> image(uint8_t drive) const;
    void set_write_protected(uint8_t drive, bool on) { drives_.at(drive).write_protected = on; }
    void fail_next(uint8_t drive, uint32_t operations) {
        drives_.at(drive).fail_times = operations;
    }
    uint32_t failures_left(uint8_t drive) const { return drives_.at(drive).fail_times; }

  private:
    struct Drive {
        bool fitted = false;
        std::filesystem::path image; // empty: no diskette
        bool write_protected = false;
        uint32_t fail_times = 0;
    };
    uint8_t transfer(RealRegs& r);
    uint8_t parameters(RealRegs& r);
    uint8_t set_media(RealRegs& r);
    // The format of the diskette in a fitted drive, or the status that says why there is none.
    uint8_t medium(uint8_t drive, Format& format) const;
    uint8_t fill_byte() const;
    static uint16_t table_offset(const Format& format);

    std::array<Drive, kDrives> drives_;
    std::span<uint8_t> conventional_;
    PhysBus& phys_;
    unsigned resets_ = 0;
    uint8_t last_status_ = kOk;
    // The BIOS's own parameter tables, one per format, in ROM.
    class Rom : public MemoryDevice {
      public:
        using MemoryDevice::MemoryDevice;
        void write(uint32_t, uint32_t, Width) override {}
    };
    std::array<uint8_t, 5 * 16> rom_bytes_{};
    Rom rom_;
    BusMapping rom_mapping_;
};

} // namespace pcplat
