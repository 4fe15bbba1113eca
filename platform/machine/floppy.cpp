// INT 13h for the diskette drives, on image files.
#include "machine/floppy.hpp"

#include <fstream>
#include <vector>

namespace pcplat {

namespace {

constexpr Diskettes::Format kFormats[] = {
    {368640, 40, 2, 9, 1},   // 360 KiB, 5.25"
    {737280, 80, 2, 9, 3},   // 720 KiB, 3.5"
    {1228800, 80, 2, 15, 2}, // 1.2 MiB, 5.25"
    {1474560, 80, 2, 18, 4}, // 1.44 MiB, 3.5"
    {2949120, 80, 2, 36, 6}, // 2.88 MiB, 3.5"
};
// What function 08h reports for an empty drive: the drive's own (largest common) format.
constexpr const Diskettes::Format& kEmptyDriveFormat = kFormats[3];

// The BIOS's parameter tables live in ROM at F000:EFC7, one per format, 16 bytes apart.
constexpr uint16_t kRomSegment = 0xF000;
constexpr uint16_t kRomOffset = 0xEFC7;
constexpr uint32_t kTableStride = 16;
constexpr uint32_t kFillByteAt = 8;
constexpr uint32_t kDisketteVector = 0x1E * 4;
constexpr uint32_t kFormatFieldBytes = 4;
constexpr uint8_t kSectorSizeCode = 2; // 128 << 2 = 512 bytes

namespace fn {
constexpr uint8_t kReset = 0x00, kStatus = 0x01, kRead = 0x02, kWrite = 0x03, kVerify = 0x04,
                  kFormat = 0x05, kParameters = 0x08, kSetMedia = 0x18;
}

uint8_t low(uint32_t reg) {
    return static_cast<uint8_t>(reg);
}
uint8_t high(uint32_t reg) {
    return static_cast<uint8_t>(reg >> 8);
}
void set_low(uint32_t& reg, uint8_t value) {
    reg = (reg & 0xFFFFFF00u) | value;
}
void set_high(uint32_t& reg, uint8_t value) {
    reg = (reg & 0xFFFF00FFu) | uint32_t{value} << 8;
}

bool read_image(const std::filesystem::path& image, uint64_t offset, uint8_t* out, size_t n) {
    std::ifstream in(image, std::ios::binary);
    if (!in.seekg(static_cast<std::streamoff>(offset))) return false;
    in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
    return static_cast<size_t>(in.gcount()) == n;
}

bool write_image(const std::filesystem::path& image, uint64_t offset, const uint8_t* bytes,
                 size_t n) {
    std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    if (!out.seekp(static_cast<std::streamoff>(offset))) return false;
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
    return static_cast<bool>(out.flush());
}

} // namespace

std::optional<Diskettes::Format> Diskettes::format_of(uint64_t image_bytes) {
    for (const Format& f : kFormats)
        if (f.image_bytes == image_bytes) return f;
    return std::nullopt;
}

Diskettes::Diskettes(const Profile& profile, const std::filesystem::path& desk_dir,
                     std::span<uint8_t> conventional, PhysBus& phys)
    : conventional_(conventional), phys_(phys) {
    for (int n = 0; n < kDrives; ++n) {
        const FloppyProfile& p = profile.floppies[n];
        Drive& d = drives_[n];
        d.fitted = p.fitted;
        d.write_protected = p.write_protected;
        d.fail_times = p.fail_times;
        if (!p.fitted || p.image.empty()) continue;
        d.image = p.image;
        if (d.image.is_relative()) d.image = desk_dir / d.image;
        const std::string key = profile.source + ": floppy." + char('a' + n) + ".image: ";
        std::error_code error;
        if (!std::filesystem::is_regular_file(d.image, error))
            throw ProfileError(key + d.image.string() + " is not an image file");
        const uint64_t size = std::filesystem::file_size(d.image, error);
        if (error || !format_of(size))
            throw ProfileError(key + d.image.string() + " holds " + std::to_string(size) +
                               " bytes, the size of no diskette (360 KiB, 720 KiB, 1.2 MiB, "
                               "1.44 MiB or 2.88 MiB)");
    }
    for (size_t i = 0; i < std::size(kFormats); ++i) {
        const uint8_t gap = kFormats[i].sectors == 9 ? 0x2A : 0x1B;
        const uint8_t format_gap = kFormats[i].sectors == 15   ? 0x54
                                   : kFormats[i].sectors == 18 ? 0x6C
                                                               : 0x50;
        const uint8_t table[11] = {
            0xDF, 0x02, 0x25, kSectorSizeCode, kFormats[i].sectors, gap, 0xFF, format_gap,
            0xF6, 0x0F, 0x08};
        std::copy(std::begin(table), std::end(table), rom_bytes_.begin() + i * kTableStride);
    }
    rom_.attach(rom_bytes_);
    rom_mapping_ = phys_.map(uint32_t{kRomSegment} * 16 + kRomOffset, rom_bytes_.size(), rom_,
                             "diskette parameter tables");
}

uint8_t Diskettes::fitted_count() const {
    uint8_t count = 0;
    for (const Drive& d : drives_)
        count += d.fitted ? 1 : 0;
    return count;
}

std::optional<std::filesystem::path> Diskettes::image(uint8_t drive) const {
    if (!fitted(drive) || drives_[drive].image.empty()) return std::nullopt;
    return drives_[drive].image;
}

uint16_t Diskettes::table_offset(const Format& format) {
    for (size_t i = 0; i < std::size(kFormats); ++i)
        if (kFormats[i].image_bytes == format.image_bytes)
            return static_cast<uint16_t>(kRomOffset + i * kTableStride);
    return kRomOffset;
}

uint8_t Diskettes::medium(uint8_t drive, Format& format) const {
    if (!fitted(drive)) return kBadCommand;
    const Drive& d = drives_[drive];
    if (d.image.empty()) return kNotReady;
    // Read at every operation: a test may take the diskette out or change it.
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(d.image, error);
    if (error) return kNotReady;
    const auto found = format_of(size);
    if (!found) return kMediaUnknown;
    format = *found;
    return kOk;
}

// The format fills new sectors with the byte of the parameter table INT 1Eh points at, as the
// controller is programmed from that table.
uint8_t Diskettes::fill_byte() const {
    const uint32_t offset = conventional_[kDisketteVector] | conventional_[kDisketteVector + 1]
                                                                 << 8;
    const uint32_t segment = conventional_[kDisketteVector + 2] | conventional_[kDisketteVector + 3]
                                                                      << 8;
    return static_cast<uint8_t>(phys_.read(segment * 16 + offset + kFillByteAt, Width::b8));
}

void Diskettes::int13(RealRegs& r) {
    const uint8_t function = high(r.eax);
    uint8_t status = kBadCommand;
    if (low(r.edx) & 0x80) {
        status = kBadCommand; // no fixed disks on the desk
    } else if (function == fn::kReset) {
        ++resets_; // resets the controller, whichever drive is named
        status = kOk;
    } else if (function == fn::kStatus) {
        status = last_status_;
    } else if (function >= fn::kRead && function <= fn::kFormat) {
        status = transfer(r);
    } else if (function == fn::kParameters) {
        status = parameters(r);
    } else if (function == fn::kSetMedia) {
        status = set_media(r);
    }
    set_high(r.eax, status);
    if (status != kOk)
        r.flags |= CARRY_FLAG;
    else
        r.flags &= static_cast<uint16_t>(~CARRY_FLAG);
    last_status_ = status;
}

uint8_t Diskettes::transfer(RealRegs& r) {
    const uint8_t function = high(r.eax);
    const uint8_t count = low(r.eax);
    const uint8_t drive = low(r.edx);
    const uint8_t head = high(r.edx);
    const uint16_t cylinder = static_cast<uint16_t>(high(r.ecx) | (low(r.ecx) & 0xC0) << 2);
    const uint8_t sector = low(r.ecx) & 0x3F;
    const bool format = function == fn::kFormat;
    set_low(r.eax, 0); // sectors moved, until they are
    Format f{};
    if (const uint8_t status = medium(drive, f)) return status;
    Drive& d = drives_[drive];
    if (d.fail_times > 0) {
        --d.fail_times;
        return kNotReady;
    }
    if (cylinder >= f.cylinders || head >= f.heads) return kSectorNotFound;
    if (format ? count == 0 || count > f.sectors
               : count == 0 || sector == 0 || sector + count - 1 > f.sectors)
        return kSectorNotFound;
    if ((format || function == fn::kWrite) && d.write_protected) return kWriteProtected;

    const uint64_t track = (uint64_t{cylinder} * f.heads + head) * f.sectors * kSectorBytes;
    const uint64_t first = track + uint64_t{sector - 1u} * kSectorBytes;
    const uint32_t bytes = count * (format ? kFormatFieldBytes : kSectorBytes);
    const uint32_t buffer = uint32_t{r.es} * 16 + (r.ebx & 0xFFFF);
    if (function != fn::kVerify && buffer + bytes > conventional_.size()) return kBoundary;
    uint8_t* memory = conventional_.data() + buffer;

    if (function == fn::kRead) {
        if (!read_image(d.image, first, memory, bytes)) return kControllerFailure;
    } else if (function == fn::kWrite) {
        if (!write_image(d.image, first, memory, bytes)) return kControllerFailure;
    } else if (function == fn::kVerify) {
        std::vector<uint8_t> scratch(bytes);
        if (!read_image(d.image, first, scratch.data(), bytes)) return kControllerFailure;
    } else {
        // An image holds 512-byte sectors 1 to N of its own track only: refuse any other
        // address field before touching the track.
        for (uint32_t i = 0; i < bytes; i += kFormatFieldBytes) {
            const uint8_t* field = memory + i;
            if (field[0] != static_cast<uint8_t>(cylinder) || field[1] != head || field[2] == 0 ||
                field[2] > f.sectors || field[3] != kSectorSizeCode)
                return kBadCommand;
        }
        const std::vector<uint8_t> blank(kSectorBytes, fill_byte());
        for (uint32_t i = 0; i < bytes; i += kFormatFieldBytes) {
            const uint64_t at = track + uint64_t{memory[i + 2] - 1u} * kSectorBytes;
            if (!write_image(d.image, at, blank.data(), blank.size())) return kControllerFailure;
        }
        return kOk;
    }
    set_low(r.eax, count);
    return kOk;
}

uint8_t Diskettes::parameters(RealRegs& r) {
    const uint8_t drive = low(r.edx);
    if (!fitted(drive)) return kBadCommand;
    Format f{};
    if (medium(drive, f) != kOk) f = kEmptyDriveFormat;
    const uint16_t last_cylinder = f.cylinders - 1;
    r.eax &= 0xFFFF0000u;
    r.ebx = (r.ebx & 0xFFFF0000u) | f.drive_type;
    set_high(r.ecx, static_cast<uint8_t>(last_cylinder));
    set_low(r.ecx, static_cast<uint8_t>(f.sectors | (last_cylinder >> 8) << 6));
    set_high(r.edx, static_cast<uint8_t>(f.heads - 1));
    set_low(r.edx, fitted_count());
    r.es = kRomSegment;
    r.edi = (r.edi & 0xFFFF0000u) | table_offset(f);
    return kOk;
}

uint8_t Diskettes::set_media(RealRegs& r) {
    Format f{};
    if (const uint8_t status = medium(low(r.edx), f)) return status;
    const unsigned cylinders = (high(r.ecx) | (low(r.ecx) & 0xC0) << 2) + 1;
    const unsigned sectors = low(r.ecx) & 0x3F;
    if (cylinders != f.cylinders || sectors != f.sectors) return kMediaUnknown;
    r.es = kRomSegment;
    r.edi = (r.edi & 0xFFFF0000u) | table_offset(f);
    return kOk;
}

} // namespace pcplat
