// Whole diskette tracks through the BIOS disk interrupt, for programs that prepare or copy
// diskettes track by track. The BIOS runs in real mode, so every call goes through the DPMI host
// with a register block, and the track passes through one block of conventional memory.
#include "core/library.hpp"

#include <cstring>

namespace {

constexpr uint16_t kDiskInterrupt = 0x13;
constexpr uint32_t kSectorBytes = 512;
constexpr int kAttempts = 5;
constexpr uint16_t kCarry = 0x0001;
constexpr uint32_t kDisketteVector = 0x1E * 4; // linear address of the INT 1Eh vector
constexpr uint32_t kVectorBytes = 4;
constexpr uint32_t kAddressFieldBytes = 4;
constexpr uint8_t kSectorSizeCode = 2; // 512 bytes
constexpr uint32_t kLargestBlock = 0xFFFF;
// Reported for a call the DPMI host refused: a status the diskette BIOS never gives.
constexpr uint8_t kHostRefused = 0xFF;
constexpr uint8_t kInvalidParameter = 0x01;

namespace bios {
constexpr uint8_t kReset = 0x00, kRead = 0x02, kWrite = 0x03, kVerify = 0x04, kFormat = 0x05,
                  kParameters = 0x08, kSetMedia = 0x18;
}

namespace status {
constexpr uint16_t kParameters = 0x0100, kFormat = 0x0200, kWrite = 0x0300, kNoMemory = 0x0301,
                   kVerify = 0x0400, kRead = 0x0500, kNoSelector = 0x0A01;
}

// The current drive, as the latest EXEC_DISKGetGeometry found it.
struct DiskGeometry {
    uint8_t cylinders = 0;
    uint8_t heads = 0;
    uint8_t sectors = 0;
    uint8_t drive = 0;
    uint16_t table_offset = 0;
    uint16_t table_segment = 0;
};
DiskGeometry g_geometry;

struct BiosCall {
    uint8_t function = 0;
    uint8_t al = 0, ch = 0, cl = 0, dh = 0, dl = 0;
    uint16_t es = 0, bx = 0;
};

uint8_t ah(const ExecRealRegs& regs) {
    return static_cast<uint8_t>(regs.eax >> 8);
}

// One INT 13h call; true when it succeeded. regs holds the registers after it.
bool call_bios(const BiosCall& c, ExecRealRegs& regs) {
    std::memset(&regs, 0, sizeof regs);
    regs.eax = uint32_t{c.function} << 8 | c.al;
    regs.ecx = uint32_t{c.ch} << 8 | c.cl;
    regs.edx = uint32_t{c.dh} << 8 | c.dl;
    regs.ebx = c.bx;
    regs.es = c.es;
    if (!vantrel::exec()->EXEC_DPMIRealInt(kDiskInterrupt, &regs)) {
        // The BIOS never ran: a failure, not the success the untouched flags would read as.
        std::memset(&regs, 0, sizeof regs);
        regs.eax = uint32_t{kHostRefused} << 8;
        regs.flags = kCarry;
        return false;
    }
    return !(regs.flags & kCarry);
}

// Up to five attempts, with a reset after each failure; 0, or base plus the last BIOS status.
uint16_t with_retries(const BiosCall& c, uint16_t base) {
    ExecRealRegs regs;
    for (int attempt = 1;; ++attempt) {
        if (call_bios(c, regs)) return 0;
        const uint8_t failure = ah(regs);
        // A reset of the first drive resets the controller, which serves every drive.
        ExecRealRegs reset;
        call_bios({bios::kReset}, reset);
        if (attempt == kAttempts) return static_cast<uint16_t>(base + failure);
    }
}

// A block of conventional memory for one call.
class DosBlock {
  public:
    explicit DosBlock(uint32_t bytes) {
        // A track too large for one block would overrun it.
        if (bytes <= kLargestBlock)
            ok_ = vantrel::exec()->EXEC_DOSAlloc(&segment_, &selector_,
                                                 static_cast<uint16_t>(bytes)) != 0;
    }
    ~DosBlock() {
        if (ok_) vantrel::exec()->EXEC_DOSFree(selector_);
    }
    DosBlock(const DosBlock&) = delete;
    DosBlock& operator=(const DosBlock&) = delete;
    bool ok() const { return ok_; }
    uint16_t segment() const { return segment_; }
    uint16_t selector() const { return selector_; }

  private:
    bool ok_ = false;
    uint16_t segment_ = 0;
    uint16_t selector_ = 0;
};

uint32_t track_bytes() {
    return uint32_t{g_geometry.sectors} * kSectorBytes;
}

BiosCall track_call(uint8_t function, uint16_t cylinder, uint16_t head, uint16_t segment) {
    return {function,
            g_geometry.sectors,
            static_cast<uint8_t>(cylinder),
            1,
            static_cast<uint8_t>(head),
            g_geometry.drive,
            segment,
            0};
}

uint16_t format_pass(uint16_t cylinder, uint16_t head) {
    ExecTable* t = vantrel::exec();
    // One address field more than the track has sectors; the BIOS formats only AL of them.
    const uint32_t fields = g_geometry.sectors + 1u;
    DosBlock block(fields * kAddressFieldBytes);
    if (!block.ok()) return status::kNoMemory;
    for (uint32_t n = 1; n <= fields; ++n) {
        const uint32_t at = (n - 1) * kAddressFieldBytes;
        t->EXEC_FARWriteByte(block.selector(), at, static_cast<uint8_t>(cylinder));
        t->EXEC_FARWriteByte(block.selector(), at + 1, static_cast<uint8_t>(head));
        t->EXEC_FARWriteByte(block.selector(), at + 2, static_cast<uint8_t>(n));
        t->EXEC_FARWriteByte(block.selector(), at + 3, kSectorSizeCode);
    }
    BiosCall call = track_call(bios::kFormat, cylinder, head, block.segment());
    call.cl = 0;
    return with_retries(call, status::kFormat);
}

uint16_t write_pass(uint16_t cylinder, uint16_t head, const void* data) {
    DosBlock block(track_bytes());
    if (!block.ok()) return status::kNoMemory;
    vantrel::exec()->EXEC_FARCopyTo(block.selector(), data, track_bytes(), 0);
    return with_retries(track_call(bios::kWrite, cylinder, head, block.segment()), status::kWrite);
}

uint16_t verify_pass(uint16_t cylinder, uint16_t head) {
    return with_retries(track_call(bios::kVerify, cylinder, head, 0), status::kVerify);
}

uint16_t read_pass(uint16_t cylinder, uint16_t head, void* destination) {
    DosBlock block(track_bytes());
    if (!block.ok()) return status::kNoMemory;
    const uint16_t result =
        with_retries(track_call(bios::kRead, cylinder, head, block.segment()), status::kRead);
    vantrel::exec()->EXEC_FARCopyFrom(block.selector(), destination, track_bytes(), 0);
    return result;
}

// Points INT 1Eh at the parameter table of the current drive's format for the length of one
// track service, and puts the old vector back at its end.
class MediaSetup {
  public:
    MediaSetup() {
        ExecTable* t = vantrel::exec();
        selector_ = t->EXEC_SELCreate(kDisketteVector, kVectorBytes);
        if (!selector_) return;
        saved_segment_ = t->EXEC_FARReadWord(selector_, 2);
        saved_offset_ = t->EXEC_FARReadWord(selector_, 0);
        ExecRealRegs regs;
        const BiosCall set_media{
            bios::kSetMedia,    0, static_cast<uint8_t>(g_geometry.cylinders - 1),
            g_geometry.sectors, 0, g_geometry.drive};
        call_bios(set_media, regs);
        if (ah(regs) == 0) {
            g_geometry.table_segment = regs.es;
            g_geometry.table_offset = static_cast<uint16_t>(regs.edi);
        }
        t->EXEC_FARWriteWord(selector_, 2, g_geometry.table_segment);
        t->EXEC_FARWriteWord(selector_, 0, g_geometry.table_offset);
    }
    ~MediaSetup() {
        if (!selector_) return;
        ExecTable* t = vantrel::exec();
        t->EXEC_FARWriteWord(selector_, 2, saved_segment_);
        t->EXEC_FARWriteWord(selector_, 0, saved_offset_);
        t->EXEC_SELFree(selector_);
    }
    MediaSetup(const MediaSetup&) = delete;
    MediaSetup& operator=(const MediaSetup&) = delete;
    bool ok() const { return selector_ != 0; }

  private:
    uint16_t selector_ = 0;
    uint16_t saved_segment_ = 0;
    uint16_t saved_offset_ = 0;
};

} // namespace

extern "C" {

uint16_t EXEC_DISKGetGeometry(uint16_t drive, uint16_t* cylinders, uint16_t* heads,
                              uint16_t* sectors) {
    g_geometry.drive = static_cast<uint8_t>(drive);
    ExecRealRegs regs;
    const bool ok = call_bios({bios::kParameters, 0, 0, 0, 0, g_geometry.drive}, regs);
    // Taken from the registers even after a failure; the status tells the caller.
    g_geometry.heads = static_cast<uint8_t>((regs.edx >> 8) + 1);
    g_geometry.cylinders = static_cast<uint8_t>((regs.ecx >> 8) + 1);
    g_geometry.sectors = static_cast<uint8_t>(regs.ecx);
    g_geometry.table_offset = static_cast<uint16_t>(regs.edi);
    g_geometry.table_segment = regs.es;
    // A caller may want only some of the figures.
    if (cylinders) *cylinders = g_geometry.cylinders;
    if (heads) *heads = g_geometry.heads;
    if (sectors) *sectors = g_geometry.sectors;
    return ok ? 0 : static_cast<uint16_t>(status::kParameters + ah(regs));
}

uint16_t EXEC_DISKWriteTrack(uint16_t cylinder, uint16_t head, const void* data) {
    // Without data the track must not even be formatted.
    if (!data) return status::kWrite + kInvalidParameter;
    MediaSetup media;
    if (!media.ok()) return status::kNoSelector;
    // A failed pass ends the service: a track that did not format is not written, and one
    // that was not written is not verified.
    uint16_t result = format_pass(cylinder, head);
    if (result == 0) result = write_pass(cylinder, head, data);
    if (result == 0) result = verify_pass(cylinder, head);
    return result;
}

uint16_t EXEC_DISKReadTrack(uint16_t cylinder, uint16_t head, void* destination) {
    if (!destination) return status::kRead + kInvalidParameter;
    MediaSetup media;
    if (!media.ok()) return status::kNoSelector;
    // The block is copied out even after a failed read; the status tells what it is worth.
    return read_pass(cylinder, head, destination);
}

} // extern "C"
