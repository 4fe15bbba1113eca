#include "machine/machine.hpp"

namespace pcplat {

namespace {
constexpr uint16_t kSelectorBits = 7; // local table, privilege 3
constexpr uint32_t kPageGranular = 0x100000;
constexpr uint32_t kPageMask = 0xFFF;
} // namespace

uint16_t Descriptors::allocate(uint16_t count) {
    if (count == 0) return 0;
    for (uint32_t first = kFirstIndex; first + count <= kEntries; ++first) {
        bool room = true;
        for (uint32_t i = first; i < first + count && room; ++i) {
            const auto it = table_.find(static_cast<uint16_t>(i));
            room = it == table_.end() || !it->second.allocated;
            if (!room) first = i; // continue the scan after the taken entry
        }
        if (!room) continue;
        for (uint32_t i = first; i < first + count; ++i)
            table_[static_cast<uint16_t>(i)] = Descriptor{0, 0, true};
        return static_cast<uint16_t>((first << 3) | kSelectorBits);
    }
    return 0;
}

Descriptors::Descriptor* Descriptors::find(uint16_t selector) {
    if ((selector & kSelectorBits) != kSelectorBits) return nullptr;
    const auto it = table_.find(index_of(selector));
    return (it != table_.end() && it->second.allocated) ? &it->second : nullptr;
}

bool Descriptors::free(uint16_t selector) {
    Descriptor* d = find(selector);
    if (!d) return false;
    table_.erase(index_of(selector));
    return true;
}

bool Descriptors::set_base(uint16_t selector, uint32_t base) {
    Descriptor* d = find(selector);
    if (!d) return false;
    d->base = base;
    return true;
}

bool Descriptors::set_limit(uint16_t selector, uint32_t limit) {
    Descriptor* d = find(selector);
    if (!d) return false;
    // From 1 MiB up the descriptor counts in pages, so the last page is always whole.
    d->limit = limit >= kPageGranular ? (limit | kPageMask) : limit;
    return true;
}

std::optional<uint16_t> DosMemory::allocate(uint16_t paragraphs) {
    if (paragraphs == 0) return std::nullopt;
    uint32_t candidate = kFirstSegment;
    for (const auto& [segment, size] : blocks_) {
        if (segment - candidate >= paragraphs) break;
        candidate = uint32_t{segment} + size;
    }
    if (candidate + paragraphs > kEndSegment) return std::nullopt;
    blocks_[static_cast<uint16_t>(candidate)] = paragraphs;
    return static_cast<uint16_t>(candidate);
}

bool DosMemory::free(uint16_t segment) {
    return blocks_.erase(segment) == 1;
}

uint16_t DosMemory::largest_free() const {
    uint32_t candidate = kFirstSegment, largest = 0;
    for (const auto& [segment, size] : blocks_) {
        largest = std::max<uint32_t>(largest, segment - candidate);
        candidate = uint32_t{segment} + size;
    }
    largest = std::max<uint32_t>(largest, kEndSegment - candidate);
    return static_cast<uint16_t>(std::min<uint32_t>(largest, 0xFFFF));
}

} // namespace pcplat
