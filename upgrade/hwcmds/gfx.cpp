// COPYGFX: installs the graphics driver that fits the adapter the desk has.
#include "hwcmds/gfx.hpp"

#include "engine/program.hpp"
#include "filecmds/filecmds.hpp"

#include <pcplat/cpu.h>

#include <algorithm>
#include <iterator>
#include <string>

namespace tolvanex {

namespace {

constexpr uint16_t kSequencerIndex = 0x3C4;
constexpr uint16_t kCrtcIndex = 0x3D4; // colour addressing
constexpr uint16_t kDataPortOffset = 1;

constexpr uint8_t kSequencerUnlock = 0x08;
constexpr uint8_t kSequencerUnlockKey = 0x06;
constexpr uint8_t kLock1 = 0x38;
constexpr uint8_t kLock1Key = 0x48;
constexpr uint8_t kLock2 = 0x39;
constexpr uint8_t kLock2Key = 0xA5;
constexpr uint8_t kSystemConfig = 0x40;
constexpr uint8_t kEnhancedOn = 0x01;
constexpr uint8_t kIdHigh = 0x2D;
constexpr uint8_t kIdLow = 0x2E;
constexpr uint8_t kRevision = 0x2F;
constexpr uint8_t kConfiguration = 0x36;
constexpr uint8_t kMemoryFieldMask = 0xE0;
constexpr int kMemoryFieldShift = 5;
// The chips the 1 MB and 2 MB drivers are for: one identity in two revision families, and one
// identity in any revision.
constexpr uint8_t kFamilyIdHigh = 0x88;
constexpr uint8_t kFamilyIdLow = 0x11;
constexpr uint8_t kRevisionFamilyMask = 0xF0;
constexpr uint8_t kFamilyRevisions[] = {0x40, 0x50};
constexpr uint8_t kChipIdHigh = 0x89;
constexpr uint8_t kChipIdLow = 0x01;

enum Driver : uint16_t { kGenericDriver = 0, kDriver1Mb = 1, kDriver2Mb = 2 };
constexpr const char* kDriverNames[] = {"gfx_vesa.dl_", "gfx_s31m.dl_", "gfx_s32m.dl_"};
// The LCD line that shows the name of the file being installed.
constexpr uint16_t kNameLine = 3;

void write_register(uint16_t index_port, uint8_t index, uint8_t value) {
    io_outb(index_port, index);
    io_outb(index_port + kDataPortOffset, value);
}

uint8_t read_register(uint16_t index_port, uint8_t index) {
    io_outb(index_port, index);
    return io_inb(index_port + kDataPortOffset);
}

bool recognised(uint8_t id_high, uint8_t id_low, uint8_t revision) {
    const uint8_t family = revision & kRevisionFamilyMask;
    const bool family_revision = std::find(std::begin(kFamilyRevisions), std::end(kFamilyRevisions),
                                           family) != std::end(kFamilyRevisions);
    return (id_high == kFamilyIdHigh && id_low == kFamilyIdLow && family_revision) ||
           (id_high == kChipIdHigh && id_low == kChipIdLow);
}

// The memory size field: 4 (and 0) is 2 MB, 6 is 1 MB; no other size has a driver of its own.
Driver driver_for_memory(uint8_t configuration) {
    switch ((configuration & kMemoryFieldMask) >> kMemoryFieldShift) {
    case 0:
    case 4:
        return kDriver2Mb;
    case 6:
        return kDriver1Mb;
    default:
        return kGenericDriver;
    }
}

// Shows and prints the driver's name, then installs it from the source prefix.
bool install(const char* prefix, const char* driver, char* destination) {
    LcdWriteLine(driver, kNameLine);
    exec()->EXEC_Printf("%s\n", driver);
    const std::string source = std::string(prefix) + driver;
    return CopyAndVerifyFile(source.c_str(), destination) != 0;
}

} // namespace

uint16_t GfxDetectChip() {
    write_register(kSequencerIndex, kSequencerUnlock, kSequencerUnlockKey);
    write_register(kCrtcIndex, kLock1, kLock1Key);
    write_register(kCrtcIndex, kLock2, kLock2Key);
    write_register(kCrtcIndex, kSystemConfig,
                   read_register(kCrtcIndex, kSystemConfig) | kEnhancedOn);
    const uint8_t id_high = read_register(kCrtcIndex, kIdHigh);
    const uint8_t id_low = read_register(kCrtcIndex, kIdLow);
    const uint8_t revision = read_register(kCrtcIndex, kRevision);
    const uint8_t configuration = read_register(kCrtcIndex, kConfiguration);
    if (!recognised(id_high, id_low, revision)) return kGenericDriver;
    return driver_for_memory(configuration);
}

uint16_t CmdCopyGfx(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    // CopyAndVerifyFile completes a packed driver's name in the destination in place; the
    // fallback gets the path as the first attempt left it.
    char *label = nullptr, *prefix = nullptr, *destination = nullptr;
    if (!SplitCopyLine(line, label, prefix, destination)) return 0;
    if (install(prefix, kDriverNames[GfxDetectChip()], destination)) return 1;
    if (install(prefix, kDriverNames[kGenericDriver], destination)) return 1;
    RequestLabelSearch(script, label, false);
    return 1;
}

} // namespace tolvanex
