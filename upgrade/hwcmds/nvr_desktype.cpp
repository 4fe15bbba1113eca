// WIPENVR clears the desk's non-volatile RAM once it has made sure memory answers there;
// CHECKDESKTYPE branches on which interface cards answer at the two card windows.
#include "engine/program.hpp"

#include <pcplat/desk_card.h>
#include <pcplat/dpmi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tolvanex {

namespace {

constexpr uint32_t kNvrSize = 0x20000;
constexpr uint32_t kNvrDefaultAddress = 0xF00000;
// Where the NVR of most desks answers; the default address means "look here first".
constexpr uint32_t kNvrProbeAddress = 0xD4000;
constexpr uint8_t kTestByte = 0x48;
constexpr uint32_t kTestOffsets[2] = {1, kNvrSize - 2};

constexpr uint32_t kCardTypeOffset = DESK_CARD_TYPE;
constexpr uint16_t kNoCard = 0xFFFF;

// Writes the test byte at offset and reads it back, a byte at a time as the bus sees it. held
// gets the byte that was there, for put_back.
bool keeps_test_byte(uint16_t selector, uint32_t offset, uint8_t& held) {
    const uint8_t written = kTestByte;
    uint8_t read = 0;
    exec()->EXEC_FARCopyFrom(selector, &held, 1, offset);
    exec()->EXEC_FARCopyTo(selector, &written, 1, offset);
    exec()->EXEC_FARCopyFrom(selector, &read, 1, offset);
    return read == kTestByte;
}

// A memory that is not cleared (a part too small, or another memory where the probe looked)
// gets back what the test wrote over.
void put_back(uint16_t selector, uint32_t offset, uint8_t held) {
    exec()->EXEC_FARCopyTo(selector, &held, 1, offset);
}

// A selector for 128 KiB of physical memory at address, or 0.
uint16_t map_nvr(uint32_t address, uint32_t& linear) {
    linear = exec()->EXEC_PHYSMap(address, kNvrSize);
    if (!linear) return 0;
    const uint16_t selector = exec()->EXEC_SELCreate(linear, kNvrSize);
    if (!selector) {
        dpmi_phys_unmap(linear);
        linear = 0;
    }
    return selector;
}

} // namespace

void NvrWipe(uint32_t address) {
    uint16_t& nvr = program().nvr_selector;
    if (!nvr && address == kNvrDefaultAddress) {
        uint32_t linear = 0;
        const uint16_t probe = map_nvr(kNvrProbeAddress, linear);
        uint8_t held = 0;
        if (probe) {
            const bool found = keeps_test_byte(probe, kTestOffsets[0], held);
            // The probe only looks: the byte goes back, so that a part too small to clear
            // below keeps every byte it held.
            put_back(probe, kTestOffsets[0], held);
            if (found) {
                nvr = probe;
            } else {
                // No NVR there: the probe's selector and mapping go back to the host.
                exec()->EXEC_SELFree(probe);
                dpmi_phys_unmap(linear);
            }
        }
    }
    if (!nvr) {
        uint32_t linear = 0;
        nvr = map_nvr(address, linear);
    }
    if (!nvr) return;
    // A smaller memory keeps the first byte but not the last, and none keeps neither: either is
    // left as it was.
    uint8_t held[2] = {};
    for (int i = 0; i < 2; ++i) {
        if (keeps_test_byte(nvr, kTestOffsets[i], held[i])) continue;
        for (int j = i; j >= 0; --j)
            put_back(nvr, kTestOffsets[j], held[j]);
        return;
    }
    exec()->EXEC_FARFill(nvr, 0, kNvrSize, 0);
}

uint16_t DeskType() {
    bool present[kCardWindows] = {};
    for (int i = 0; i < kCardWindows; ++i) {
        const uint16_t selector =
            exec()->EXEC_SELCreate(kCardWindowAddress[i], kCardSelectorLength);
        if (!selector) continue;
        present[i] = exec()->EXEC_FARReadWord(selector, kCardTypeOffset) != kNoCard;
        exec()->EXEC_SELFree(selector);
    }
    if (!present[0]) return 0;
    return present[1] ? 2 : 1;
}

uint16_t CmdWipeNvr(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    // As "%lX" reads it: blanks skipped, either case, an optional 0x; too large saturates.
    char* end = nullptr;
    const unsigned long address = std::strtoul(line, &end, 16);
    if (end == line) return 0;
    NvrWipe(static_cast<uint32_t>(address));
    return 1;
}

uint16_t CmdCheckDeskType(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    char* comma = std::strchr(line, ',');
    // Without a comma there is no number text.
    if (!comma) return 0;
    *comma = '\0';
    long wanted = 0;
    if (!ReadDecimal(comma + 1, wanted)) return 0;
    if (DeskType() != wanted) RequestLabelSearch(script, line, false);
    return 1;
}

} // namespace tolvanex
