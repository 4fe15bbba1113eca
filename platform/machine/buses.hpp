// The physical memory bus and the I/O port bus of the simulated PC. Devices claim ranges through
// RAII handles, so a device that goes away unregisters itself.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace pcplat {

enum class Width : uint8_t { b8 = 1, b16 = 2, b32 = 4 };

// A device on the physical bus; offsets are relative to the start of its region.
class BusDevice {
  public:
    virtual ~BusDevice() = default;
    virtual uint32_t read(uint32_t offset, Width width) = 0;
    virtual void write(uint32_t offset, uint32_t value, Width width) = 0;
};

// Plain memory over a byte span owned elsewhere (a vector, a mapped file).
class MemoryDevice : public BusDevice {
  public:
    explicit MemoryDevice(std::span<uint8_t> bytes = {}) : bytes_(bytes) {}
    void attach(std::span<uint8_t> bytes) { bytes_ = bytes; }
    std::span<uint8_t> bytes() const { return bytes_; }
    uint32_t read(uint32_t offset, Width width) override;
    void write(uint32_t offset, uint32_t value, Width width) override;

  private:
    std::span<uint8_t> bytes_;
};

// Keeps a registration (a mapped region, a claimed port range) alive; its end undoes it.
template <class Owner>
class Registration {
  public:
    Registration() = default;
    Registration(Owner* owner, uint32_t key) : owner_(owner), key_(key) {}
    Registration(Registration&& other) noexcept { *this = std::move(other); }
    Registration& operator=(Registration&& other) noexcept {
        if (this != &other) {
            reset();
            owner_ = other.owner_;
            key_ = other.key_;
            other.owner_ = nullptr;
        }
        return *this;
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { reset(); }
    void reset() {
        if (owner_) owner_->release(key_);
        owner_ = nullptr;
    }

  private:
    Owner* owner_ = nullptr;
    uint32_t key_ = 0;
};

class PhysBus;
class PortBus;
using BusMapping = Registration<PhysBus>;
using PortClaim = Registration<PortBus>;

struct RegionInfo {
    uint32_t base = 0;
    uint32_t size = 0;
    std::string name;
};

class PhysBus {
  public:
    static constexpr uint32_t kUnmapped = 0xFFFFFFFFu;

    // Maps size bytes at base; throws std::invalid_argument for an empty, wrapping or
    // overlapping region.
    [[nodiscard]] BusMapping map(uint32_t base, uint32_t size, BusDevice& device, std::string name);
    // One bus cycle of the given width. Where nothing answers reads give all ones and writes are
    // lost; an access that straddles a region boundary is split into byte cycles.
    uint32_t read(uint32_t address, Width width);
    void write(uint32_t address, uint32_t value, Width width);
    std::vector<RegionInfo> regions() const;

  private:
    friend class Registration<PhysBus>;
    struct Region {
        uint32_t base;
        uint32_t size;
        BusDevice* device;
        std::string name;
    };
    const Region* find(uint32_t address, uint32_t length) const;
    void release(uint32_t base);
    std::vector<Region> regions_; // sorted by base
};

// Handlers of a port range; missing 16/32-bit handlers are served by byte accesses.
struct PortHandlers {
    std::function<uint8_t(uint16_t port)> in8;
    std::function<void(uint16_t port, uint8_t value)> out8;
    std::function<uint16_t(uint16_t port)> in16;
    std::function<void(uint16_t port, uint16_t value)> out16;
    std::function<uint32_t(uint16_t port)> in32;
    std::function<void(uint16_t port, uint32_t value)> out32;
};

struct PortRangeInfo {
    uint16_t first = 0;
    uint16_t count = 0;
    std::string name;
};

class PortBus {
  public:
    // Claims count ports from first; throws std::invalid_argument when one is already claimed.
    [[nodiscard]] PortClaim claim(uint16_t first, uint16_t count, PortHandlers handlers,
                                  std::string name);
    // Unclaimed ports read all ones and ignore writes.
    uint8_t in8(uint16_t port);
    uint16_t in16(uint16_t port);
    uint32_t in32(uint16_t port);
    void out8(uint16_t port, uint8_t value);
    void out16(uint16_t port, uint16_t value);
    void out32(uint16_t port, uint32_t value);
    std::vector<PortRangeInfo> ranges() const;

  private:
    friend class Registration<PortBus>;
    struct Range {
        uint32_t id;
        uint16_t first;
        uint16_t count;
        PortHandlers handlers;
        std::string name;
    };
    const Range* find(uint16_t port) const;
    void release(uint32_t id);
    std::vector<Range> ranges_;
    uint32_t next_id_ = 1;
};

} // namespace pcplat
