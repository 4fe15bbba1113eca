#include "machine/machine.hpp"

#include <pcplat/dpmi.h>

using pcplat::Machine;
using pcplat::Width;

namespace {

constexpr uint32_t kParagraph = 16;

// The machine after a safe point, as every call of a program meets it.
Machine& at_safe_point() {
    Machine& m = Machine::current();
    m.safe_point();
    return m;
}

uint32_t far_read(uint16_t selector, uint32_t offset, Width width) {
    uint32_t value = 0;
    at_safe_point().far_read(selector, offset, width, value);
    return value;
}

// Each call that writes the NVR is one step of the desk's lasting state, however many bus cycles
// it takes.
constexpr const char* kNvrWrite = "nvr-write";
constexpr const char* kNvrFill = "nvr-fill";

// Ends a call for the NVR's step count on every way out of it.
class NvrCall {
  public:
    NvrCall(Machine& m, const char* kind) : m_(m), kind_(kind) {}
    ~NvrCall() { m_.end_nvr_call(kind_); }
    NvrCall(const NvrCall&) = delete;
    NvrCall& operator=(const NvrCall&) = delete;

  private:
    Machine& m_;
    const char* kind_;
};

void far_write(uint16_t selector, uint32_t offset, Width width, uint32_t value) {
    Machine& m = at_safe_point();
    const NvrCall call(m, kNvrWrite);
    m.far_write(selector, offset, width, value);
}

} // namespace

extern "C" {

int dpmi_alloc_ldt(uint16_t count, uint16_t* first_selector) {
    const uint16_t selector = at_safe_point().descriptors().allocate(count);
    if (selector == 0) return 0;
    if (first_selector) *first_selector = selector;
    return 1;
}

int dpmi_free_ldt(uint16_t selector) {
    return at_safe_point().descriptors().free(selector) ? 1 : 0;
}

int dpmi_get_base(uint16_t selector, uint32_t* base) {
    const auto* d = at_safe_point().descriptors().find(selector);
    if (!d) return 0;
    if (base) *base = d->base;
    return 1;
}

int dpmi_set_base(uint16_t selector, uint32_t base) {
    return at_safe_point().descriptors().set_base(selector, base) ? 1 : 0;
}

int dpmi_set_limit(uint16_t selector, uint32_t limit) {
    return at_safe_point().descriptors().set_limit(selector, limit) ? 1 : 0;
}

int dpmi_get_limit(uint16_t selector, uint32_t* limit) {
    const auto* d = at_safe_point().descriptors().find(selector);
    if (!d) return 0;
    if (limit) *limit = d->limit;
    return 1;
}

int dpmi_dos_alloc(uint16_t paragraphs, uint16_t* segment, uint16_t* selector, uint16_t* largest) {
    Machine& m = at_safe_point();
    const auto block = m.dos_memory().allocate(paragraphs);
    const uint16_t sel = block ? m.descriptors().allocate(1) : 0;
    if (!block || sel == 0) {
        if (block) m.dos_memory().free(*block);
        if (largest) *largest = m.dos_memory().largest_free();
        return 0;
    }
    m.descriptors().set_base(sel, uint32_t{*block} * kParagraph);
    m.descriptors().set_limit(sel, uint32_t{paragraphs} * kParagraph - 1);
    if (segment) *segment = *block;
    if (selector) *selector = sel;
    return 1;
}

int dpmi_dos_free(uint16_t selector) {
    Machine& m = at_safe_point();
    const auto* d = m.descriptors().find(selector);
    if (!d || d->base % kParagraph != 0 || d->base / kParagraph > 0xFFFF) return 0;
    if (!m.dos_memory().free(static_cast<uint16_t>(d->base / kParagraph))) return 0;
    m.descriptors().free(selector);
    return 1;
}

int dpmi_phys_map(uint32_t physical, uint32_t size, uint32_t* linear) {
    at_safe_point();
    if (size == 0 || physical + (size - 1) < physical) return 0;
    // Linear addresses are physical ones on this machine.
    Machine::current().phys_mappings().insert(physical);
    if (linear) *linear = physical;
    return 1;
}

int dpmi_phys_unmap(uint32_t linear) {
    auto& mappings = at_safe_point().phys_mappings();
    const auto it = mappings.find(linear);
    if (it == mappings.end()) return 0;
    mappings.erase(it);
    return 1;
}

int dpmi_get_exception(uint8_t exception, FarPtr* handler) {
    Machine& m = at_safe_point();
    if (exception >= 32) return 0;
    if (handler) *handler = m.exception_handler(exception);
    return 1;
}

int dpmi_set_exception(uint8_t exception, FarPtr handler) {
    Machine& m = at_safe_point();
    if (exception >= 32 || handler.selector != pcplat::Descriptors::kCodeSelector) return 0;
    m.set_exception_handler(exception, handler);
    return 1;
}

void dpmi_chain_exception(FarPtr handler, DpmiExceptionFrame* frame) {
    if (!frame) return;
    if (handler.selector != pcplat::Descriptors::kCodeSelector || handler.offset == 0) {
        // Nothing sane to pass it to: the host's own handler ends the program.
        handler = Machine::current().exception_handler(DPMI_EXCEPTION_GP);
        if (handler.selector != pcplat::Descriptors::kCodeSelector || handler.offset == 0) return;
    }
    reinterpret_cast<DpmiExceptionHandler>(static_cast<uintptr_t>(handler.offset))(frame);
}

int dpmi_real_int(uint8_t n, RealRegs* regs) {
    if (!regs) return 0;
    return at_safe_point().real_int(n, *regs) ? 1 : 0;
}

int dpmi_real_call(RealRegs* regs) {
    if (!regs) return 0;
    return at_safe_point().real_call(*regs) ? 1 : 0;
}

uint8_t far_read8(uint16_t selector, uint32_t offset) {
    return static_cast<uint8_t>(far_read(selector, offset, Width::b8));
}

uint16_t far_read16(uint16_t selector, uint32_t offset) {
    return static_cast<uint16_t>(far_read(selector, offset, Width::b16));
}

uint32_t far_read32(uint16_t selector, uint32_t offset) {
    return far_read(selector, offset, Width::b32);
}

void far_write8(uint16_t selector, uint32_t offset, uint8_t value) {
    far_write(selector, offset, Width::b8, value);
}

void far_write16(uint16_t selector, uint32_t offset, uint16_t value) {
    far_write(selector, offset, Width::b16, value);
}

void far_write32(uint16_t selector, uint32_t offset, uint32_t value) {
    far_write(selector, offset, Width::b32, value);
}

void far_copy_to(uint16_t selector, uint32_t offset, const void* source, uint32_t count) {
    Machine& m = at_safe_point();
    const NvrCall call(m, kNvrWrite);
    const auto* src = static_cast<const uint8_t*>(source);
    uint32_t i = 0;
    for (; i + 1 < count; i += 2) {
        const uint32_t word = src[i] | (uint32_t{src[i + 1]} << 8);
        if (!m.far_write(selector, offset + i, Width::b16, word)) return;
    }
    if (i < count) m.far_write(selector, offset + i, Width::b8, src[i]);
}

void far_copy_from(void* destination, uint16_t selector, uint32_t offset, uint32_t count) {
    Machine& m = at_safe_point();
    auto* dst = static_cast<uint8_t*>(destination);
    uint32_t i = 0, value = 0;
    for (; i + 1 < count; i += 2) {
        if (!m.far_read(selector, offset + i, Width::b16, value)) return;
        dst[i] = static_cast<uint8_t>(value);
        dst[i + 1] = static_cast<uint8_t>(value >> 8);
    }
    if (i < count && m.far_read(selector, offset + i, Width::b8, value))
        dst[i] = static_cast<uint8_t>(value);
}

void far_fill(uint16_t selector, uint32_t offset, uint8_t value, uint32_t count) {
    Machine& m = at_safe_point();
    const NvrCall call(m, kNvrFill);
    const uint32_t word = value | (uint32_t{value} << 8);
    uint32_t i = 0;
    for (; i + 1 < count; i += 2)
        if (!m.far_write(selector, offset + i, Width::b16, word)) return;
    if (i < count) m.far_write(selector, offset + i, Width::b8, value);
}

} // extern "C"
