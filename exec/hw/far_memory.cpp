// Far memory: selectors over physical ranges, conventional-memory blocks, and byte, word and
// long access through a selector. Thin layers over the DPMI host.
#include "core/library.hpp"

#include <pcplat/dpmi.h>

namespace {
constexpr uint32_t kParagraphBytes = 16;
constexpr uint32_t kPageGranularLimit = 0x100000;
constexpr uint32_t kPageBits = 0xFFF;
} // namespace

extern "C" {

uint16_t EXEC_DOSAlloc(uint16_t* segment, uint16_t* selector, uint16_t size) {
    // A block whose selector the caller cannot hold could never be freed.
    if (!segment || !selector) return 0;
    // Computed in 32 bits, so 0xFFFF bytes ask for 0x1000 paragraphs.
    const uint32_t paragraphs = (uint32_t{size} + kParagraphBytes - 1) / kParagraphBytes;
    return dpmi_dos_alloc(static_cast<uint16_t>(paragraphs), segment, selector, nullptr) ? 1 : 0;
}

uint16_t EXEC_DOSFree(uint16_t selector) {
    return dpmi_dos_free(selector) ? 1 : 0;
}

void EXEC_FARWriteByte(uint16_t selector, uint32_t offset, uint8_t value) {
    far_write8(selector, offset, value);
}

void EXEC_FARWriteWord(uint16_t selector, uint32_t offset, uint16_t value) {
    far_write16(selector, offset, value);
}

void EXEC_FARWriteLong(uint16_t selector, uint32_t offset, uint32_t value) {
    far_write32(selector, offset, value);
}

uint8_t EXEC_FARReadByte(uint16_t selector, uint32_t offset) {
    return far_read8(selector, offset);
}

uint16_t EXEC_FARReadWord(uint16_t selector, uint32_t offset) {
    return far_read16(selector, offset);
}

uint16_t EXEC_FARGetWord(uint16_t selector, uint32_t offset) {
    return far_read16(selector, offset);
}

uint32_t EXEC_FARReadLong(uint16_t selector, uint32_t offset) {
    return far_read32(selector, offset);
}

void EXEC_FARCopyTo(uint16_t selector, const void* source, uint32_t count, uint32_t offset) {
    far_copy_to(selector, offset, source, count);
}

void EXEC_FARFill(uint16_t selector, uint8_t value, uint32_t count, uint32_t offset) {
    far_fill(selector, offset, value, count);
}

void EXEC_FARCopyFrom(uint16_t selector, void* destination, uint32_t count, uint32_t offset) {
    far_copy_from(destination, selector, offset, count);
}

uint16_t EXEC_SELCreate(uint32_t base, uint32_t length) {
    uint16_t selector = 0;
    if (!dpmi_alloc_ldt(1, &selector)) return 0;
    uint32_t limit = length - 1;
    // The host takes limits from 1 MiB up only page granular.
    if (limit >= kPageGranularLimit) limit |= kPageBits;
    if (!dpmi_set_base(selector, base) || !dpmi_set_limit(selector, limit)) {
        dpmi_free_ldt(selector);
        return 0;
    }
    return selector;
}

void EXEC_SELFree(uint16_t selector) {
    dpmi_free_ldt(selector);
}

uint32_t EXEC_PHYSMap(uint32_t physical, uint32_t size) {
    uint32_t linear = 0;
    return dpmi_phys_map(physical, size, &linear) ? linear : 0;
}

} // extern "C"
