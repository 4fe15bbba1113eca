#include "machine/buses.hpp"

#include <algorithm>
#include <stdexcept>

namespace pcplat {

uint32_t MemoryDevice::read(uint32_t offset, Width width) {
    const auto n = static_cast<uint32_t>(width);
    if (offset > bytes_.size() || bytes_.size() - offset < n) return PhysBus::kUnmapped;
    uint32_t value = 0;
    for (uint32_t i = 0; i < n; ++i)
        value |= uint32_t{bytes_[offset + i]} << (8 * i);
    return value;
}

void MemoryDevice::write(uint32_t offset, uint32_t value, Width width) {
    const auto n = static_cast<uint32_t>(width);
    if (offset > bytes_.size() || bytes_.size() - offset < n) return;
    for (uint32_t i = 0; i < n; ++i)
        bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

BusMapping PhysBus::map(uint32_t base, uint32_t size, BusDevice& device, std::string name) {
    if (size == 0 || base + (size - 1) < base)
        throw std::invalid_argument("bus region " + name + " is empty or wraps");
    for (const auto& r : regions_) {
        const uint64_t end = uint64_t{base} + size, r_end = uint64_t{r.base} + r.size;
        if (base < r_end && r.base < end)
            throw std::invalid_argument("bus region " + name + " overlaps " + r.name);
    }
    regions_.push_back({base, size, &device, std::move(name)});
    std::sort(regions_.begin(), regions_.end(),
              [](const Region& a, const Region& b) { return a.base < b.base; });
    return BusMapping(this, base);
}

void PhysBus::release(uint32_t base) {
    std::erase_if(regions_, [base](const Region& r) { return r.base == base; });
}

const PhysBus::Region* PhysBus::find(uint32_t address, uint32_t length) const {
    for (const auto& r : regions_) {
        if (address >= r.base && address - r.base < r.size)
            return (r.size - (address - r.base) >= length) ? &r : nullptr;
    }
    return nullptr;
}

uint32_t PhysBus::read(uint32_t address, Width width) {
    const auto n = static_cast<uint32_t>(width);
    if (const Region* r = find(address, n)) return r->device->read(address - r->base, width);
    if (n == 1) return 0xFF;
    uint32_t value = 0;
    for (uint32_t i = 0; i < n; ++i)
        value |= (read(address + i, Width::b8) & 0xFF) << (8 * i);
    return value;
}

void PhysBus::write(uint32_t address, uint32_t value, Width width) {
    const auto n = static_cast<uint32_t>(width);
    if (const Region* r = find(address, n))
        return r->device->write(address - r->base, value, width);
    if (n == 1) return;
    for (uint32_t i = 0; i < n; ++i)
        write(address + i, (value >> (8 * i)) & 0xFF, Width::b8);
}

std::vector<RegionInfo> PhysBus::regions() const {
    std::vector<RegionInfo> out;
    for (const auto& r : regions_)
        out.push_back({r.base, r.size, r.name});
    return out;
}

PortClaim PortBus::claim(uint16_t first, uint16_t count, PortHandlers handlers, std::string name) {
    if (count == 0 || uint32_t{first} + count > 0x10000)
        throw std::invalid_argument("port range " + name + " is empty or too long");
    for (const auto& r : ranges_) {
        if (first < r.first + r.count && r.first < first + count)
            throw std::invalid_argument("port range " + name + " overlaps " + r.name);
    }
    const uint32_t id = next_id_++;
    ranges_.push_back({id, first, count, std::move(handlers), std::move(name)});
    return PortClaim(this, id);
}

void PortBus::release(uint32_t id) {
    std::erase_if(ranges_, [id](const Range& r) { return r.id == id; });
}

const PortBus::Range* PortBus::find(uint16_t port) const {
    for (const auto& r : ranges_)
        if (port >= r.first && port - r.first < r.count) return &r;
    return nullptr;
}

uint8_t PortBus::in8(uint16_t port) {
    const Range* r = find(port);
    return (r && r->handlers.in8) ? r->handlers.in8(port) : 0xFF;
}

uint16_t PortBus::in16(uint16_t port) {
    const Range* r = find(port);
    if (r && r->handlers.in16) return r->handlers.in16(port);
    return static_cast<uint16_t>(in8(port) | (in8(static_cast<uint16_t>(port + 1)) << 8));
}

uint32_t PortBus::in32(uint16_t port) {
    const Range* r = find(port);
    if (r && r->handlers.in32) return r->handlers.in32(port);
    return in16(port) | (uint32_t{in16(static_cast<uint16_t>(port + 2))} << 16);
}

void PortBus::out8(uint16_t port, uint8_t value) {
    const Range* r = find(port);
    if (r && r->handlers.out8) r->handlers.out8(port, value);
}

void PortBus::out16(uint16_t port, uint16_t value) {
    const Range* r = find(port);
    if (r && r->handlers.out16) return r->handlers.out16(port, value);
    out8(port, static_cast<uint8_t>(value));
    out8(static_cast<uint16_t>(port + 1), static_cast<uint8_t>(value >> 8));
}

void PortBus::out32(uint16_t port, uint32_t value) {
    const Range* r = find(port);
    if (r && r->handlers.out32) return r->handlers.out32(port, value);
    out16(port, static_cast<uint16_t>(value));
    out16(static_cast<uint16_t>(port + 2), static_cast<uint16_t>(value >> 16));
}

std::vector<PortRangeInfo> PortBus::ranges() const {
    std::vector<PortRangeInfo> out;
    for (const auto& r : ranges_)
        out.push_back({r.first, r.count, r.name});
    std::sort(out.begin(), out.end(),
              [](const PortRangeInfo& a, const PortRangeInfo& b) { return a.first < b.first; });
    return out;
}

} // namespace pcplat
