// Tracked memory: blocks from the process heap behind a 16-byte header, one chain of all live
// blocks, byte counts in total and per owner, and a registry that lets a free refuse anything
// that is not one of our live blocks without touching it. Freed small blocks are kept in a
// bounded cache for reuse; other freed memory goes back to the heap.
#include "core/library.hpp"

#include <pcplat/win32.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace vantrel {

namespace {

constexpr uint32_t kIdAlloc = 0x10007010;
constexpr uint32_t kIdCalloc = 0x10007020;
constexpr uint32_t kIdFree = 0x10007030;
constexpr uint32_t kIdFarFree = 0x10007040;
constexpr uint32_t kIdFarMalloc = 0x10007050;
constexpr uint32_t kIdAllocClear = 0x10007060;

// Progress marks of EXEC_MEMFarFree, read by the crash report.
enum FarFreeStep : unsigned {
    kStepLocked = 1,
    kStepPointerGiven = 2,
    kStepHeaderFormed = 3,
    kStepSignatureMatched = 4,
    kStepReleasing = 5,
    kStepReleased = 6,
    kStepRejecting = 7,
    kStepUnlocking = 8,
    kStepUnlocked = 9,
};

constexpr uint32_t kHeaderSize = sizeof(MemBlockHeader);
constexpr uint32_t kLargestRequest = std::numeric_limits<uint32_t>::max() - kHeaderSize;
constexpr uint32_t kPopulateFrom = uint32_t{1} << 20;

constexpr const char* kFarMallocFailed = "FarMalloc Failed. requested %lu bytes.\n";
constexpr const char* kInvalidFree = "EXEC_MEMFarFree - Invalid memory free... ************\n";
constexpr const char* kSignatureFound = "SIG = 0x%08X (should be 0x%08X)\n";

constexpr size_t kOwnerNameMax = 10;
constexpr const char* kOwnerNames[kOwnerCount] = {
    "Upgrade", "Core",    "Pack",    "Resource",   "Owner 4",  "Owner 5",  "Owner 6",
    "Owner 7", "Owner 8", "Owner 9", "CardUpload", "Owner 11", "Owner 12", "Owner 13",
};
constexpr const char* kTotalName = "Total";
constexpr const char* kUnknownName = "???";

constexpr bool names_fit() {
    for (const char* name : kOwnerNames)
        if (std::string_view(name).size() > kOwnerNameMax) return false;
    return true;
}
static_assert(names_fit(), "callers give 11-byte name buffers");

// --- Registry of live blocks -------------------------------------------------------------------

constexpr uint32_t kRegistryMinCapacity = 64;
constexpr uint32_t kNotFound = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kFibonacciMultiplier = 0x9E3779B1u;
constexpr unsigned kHeaderAlignmentBits = 3; // heap blocks are at least 8-byte aligned

uint32_t home_slot(const LiveBlockSet& set, uintptr_t header) {
    const uint32_t hashed =
        static_cast<uint32_t>(header >> kHeaderAlignmentBits) * kFibonacciMultiplier;
    // The high bits of a multiplicative hash are the well mixed ones.
    return hashed >> set.shift;
}

uint32_t find_slot(const LiveBlockSet& set, uintptr_t header) {
    if (set.capacity == 0) return kNotFound;
    const uint32_t mask = set.capacity - 1;
    for (uint32_t i = home_slot(set, header);; i = (i + 1) & mask) {
        const LiveBlock& entry = set.slots[i];
        if (!entry.header) return kNotFound;
        if (reinterpret_cast<uintptr_t>(entry.header) == header) return i;
    }
}

void place(LiveBlockSet& set, LiveBlock block) {
    const uint32_t mask = set.capacity - 1;
    uint32_t i = home_slot(set, reinterpret_cast<uintptr_t>(block.header));
    while (set.slots[i].header)
        i = (i + 1) & mask;
    set.slots[i] = block;
}

// Makes room for one more block, keeping the set at most half full. False when the heap has no
// memory for a larger table: the allocation then fails as an exhausted heap does.
bool reserve_one(LiveBlockSet& set) {
    if ((set.count + 1) * 2 <= set.capacity) return true;
    const uint32_t capacity = set.capacity ? set.capacity * 2 : kRegistryMinCapacity;
    auto* slots = static_cast<LiveBlock*>(std::calloc(capacity, sizeof(LiveBlock)));
    if (!slots) return false;
    LiveBlock* old_slots = set.slots;
    const uint32_t old_capacity = set.capacity;
    set.slots = slots;
    set.capacity = capacity;
    set.shift = 32 - std::countr_zero(capacity);
    for (uint32_t i = 0; i < old_capacity; ++i)
        if (old_slots[i].header) place(set, old_slots[i]);
    std::free(old_slots);
    return true;
}

void insert(LiveBlockSet& set, LiveBlock block) {
    place(set, block);
    ++set.count;
}

// Backward-shift deletion: later members of the probe run move up, so lookups need no
// tombstones.
void erase_slot(LiveBlockSet& set, uint32_t hole) {
    const uint32_t mask = set.capacity - 1;
    for (uint32_t next = (hole + 1) & mask; set.slots[next].header; next = (next + 1) & mask) {
        const uint32_t home = home_slot(set, reinterpret_cast<uintptr_t>(set.slots[next].header));
        // The entry may fill the hole unless its home lies cyclically in (hole, next].
        const bool stays =
            hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
        if (stays) continue;
        set.slots[hole] = set.slots[next];
        hole = next;
    }
    set.slots[hole] = LiveBlock{};
    --set.count;
}

// The live block whose bytes hold all of [address, address + 4), or null. Walks the registry,
// not the chain, so a client that overwrote block links cannot lead it astray.
const LiveBlock* live_block_holding_word(const LiveBlockSet& set, uintptr_t address) {
    for (uint32_t i = 0; i < set.capacity; ++i) {
        const LiveBlock& entry = set.slots[i];
        if (!entry.header) continue;
        const auto start = reinterpret_cast<uintptr_t>(entry.header);
        if (address >= start && address - start <= entry.size - sizeof(uint32_t)) return &entry;
    }
    return nullptr;
}

// --- Small-block cache ---------------------------------------------------------------------------

constexpr uint32_t kLargestCached = kSizeClassStep * kSizeClassCount;

// The size class of a block of block_size bytes (16 or more), or kSizeClassCount when it is
// too large to be cached.
uint32_t size_class(uint32_t block_size) {
    return block_size <= kLargestCached ? (block_size - 1) / kSizeClassStep : kSizeClassCount;
}

// A registered block of block_size bytes, or null when neither the cache nor the heap has one.
MemBlockHeader* take_block(LibraryState& s, uint32_t block_size) {
    SmallBlockCache& cache = s.small_blocks;
    if (!reserve_one(s.live_blocks)) return nullptr;
    MemBlockHeader* header;
    const uint32_t c = size_class(block_size);
    if (c == kSizeClassCount)
        header = static_cast<MemBlockHeader*>(std::malloc(block_size));
    else if (cache.count[c])
        header = cache.blocks[c][--cache.count[c]];
    else // the whole class, so that any block of the class may reuse it
        header = static_cast<MemBlockHeader*>(std::malloc((c + 1) * kSizeClassStep));
    if (header) insert(s.live_blocks, LiveBlock{header, block_size});
    return header;
}

// Unregisters the block in registry slot and gives its memory to the cache while the block's
// class has room there, else back to the heap.
void release_block(LibraryState& s, uint32_t slot) {
    SmallBlockCache& cache = s.small_blocks;
    const LiveBlock block = s.live_blocks.slots[slot];
    erase_slot(s.live_blocks, slot);
    const uint32_t c = size_class(block.size);
    if (c < kSizeClassCount && cache.count[c] < kCachedPerClass)
        cache.blocks[c][cache.count[c]++] = block.header;
    else
        std::free(block.header);
}

// --- Chain and statistics ----------------------------------------------------------------------
// The helpers take the state the service fetched once.

// Called with all event sources locked.
void count_failed_allocation(LibraryState& s, uint32_t requested) {
    s.table->EXEC_DEBUGPrintf(kFarMallocFailed, static_cast<unsigned long>(requested));
    ++s.failed_allocations;
}

void add_usage(LibraryState& s, uint32_t bytes, uint16_t owner) {
    ExecTable* t = s.table;
    t->bytes_allocated += bytes;
    if (t->bytes_allocated > t->peak_allocated) t->peak_allocated = t->bytes_allocated;
    if (owner >= kOwnerCount) return;
    OwnerUsage& usage = s.owners[owner];
    usage.current += bytes;
    if (usage.current > usage.peak) usage.peak = usage.current;
}

// A block freed under another owner than it was allocated for must not wrap a count round.
void remove_usage(LibraryState& s, uint32_t bytes, uint16_t owner) {
    ExecTable* t = s.table;
    t->bytes_allocated -= std::min(bytes, static_cast<uint32_t>(t->bytes_allocated));
    if (owner >= kOwnerCount) return;
    OwnerUsage& usage = s.owners[owner];
    usage.current -= std::min(bytes, usage.current);
}

void link_newest(LibraryState& s, MemBlockHeader* header) {
    header->newer = nullptr;
    header->older = s.newest_block;
    if (s.newest_block) s.newest_block->newer = header;
    s.newest_block = header;
}

void unlink(LibraryState& s, MemBlockHeader* header) {
    if (header->older) header->older->newer = header->newer;
    if (header->newer) header->newer->older = header->older;
    if (s.newest_block == header) s.newest_block = header->older;
}

void reject_free(LibraryState& s, uintptr_t header_address, bool registered) {
    uint32_t found = 0;
    // Only memory of our own live blocks is read; anything else reports 0.
    if (registered || live_block_holding_word(s.live_blocks, header_address))
        std::memcpy(&found, reinterpret_cast<const void*>(header_address), sizeof found);
    s.table->EXEC_DEBUGPrintf(kInvalidFree);
    s.table->EXEC_DEBUGPrintf(kSignatureFound, found, EXEC_MEM_SIGNATURE);
    ++s.rejected_frees;
}

} // namespace

void initialise_memory_statistics() {
    LibraryState& s = state();
    if (s.statistics_initialised) return;
    ExecTable* t = s.table;
    t->bytes_allocated = 0;
    t->peak_allocated = 0;
    t->free_at_start = t->EXEC_MEMCoreLeft();
    for (OwnerUsage& usage : s.owners)
        usage = OwnerUsage{};
    s.statistics_initialised = 1;
}

// Large blocks are file images and unpacked data, about to be filled whole: their pages are
// mapped in one call rather than by one fault each, which costs more than the copying itself.
void populate(void* block, uint32_t size) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
    if (end <= first) return;
    // Huge pages where the host has them: a 2 MiB page is one fault instead of 512.
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

} // namespace vantrel

using namespace vantrel;

extern "C" void* EXEC_MEMFarMalloc(uint32_t size, uint16_t owner) {
    TraceScope trace(kIdFarMalloc);
    EventLockAll lock;
    LibraryState& s = state();
    const uint32_t block_size = size + kHeaderSize;
    MemBlockHeader* header = size <= kLargestRequest ? take_block(s, block_size) : nullptr;
    if (!header) {
        count_failed_allocation(s, size);
        return nullptr;
    }
    if (block_size >= kPopulateFrom) populate(header, block_size);
    add_usage(s, block_size, owner);
    header->signature = EXEC_MEM_SIGNATURE;
    header->size = block_size;
    link_newest(s, header);
    return header + 1;
}

extern "C" void EXEC_MEMFarFree(void* block, uint16_t owner) {
    TraceScope trace(kIdFarFree);
    LibraryState& s = state();
    {
        EventLockAll lock;
        trace.step(kStepLocked);
        if (!s.statistics_initialised) initialise_memory_statistics();
        if (block) {
            trace.step(kStepPointerGiven);
            // Integer arithmetic: a wild pointer below 16 must not become undefined behaviour.
            const uintptr_t header_address = reinterpret_cast<uintptr_t>(block) - kHeaderSize;
            trace.step(kStepHeaderFormed);
            LiveBlockSet& live = s.live_blocks;
            const uint32_t slot = find_slot(live, header_address);
            auto* header = reinterpret_cast<MemBlockHeader*>(header_address);
            if (slot != kNotFound && header->signature == EXEC_MEM_SIGNATURE) {
                trace.step(kStepSignatureMatched);
                header->signature = 0;
                remove_usage(s, live.slots[slot].size, owner);
                unlink(s, header);
                trace.step(kStepReleasing);
                release_block(s, slot);
                trace.step(kStepReleased);
            } else {
                trace.step(kStepRejecting);
                reject_free(s, header_address, slot != kNotFound);
            }
        }
        trace.step(kStepUnlocking);
    }
    trace.step(kStepUnlocked);
}

extern "C" void* EXEC_MEMAlloc(uint32_t size, uint16_t owner) {
    TraceScope trace(kIdAlloc);
    return exec()->EXEC_MEMFarMalloc(size, owner);
}

extern "C" void EXEC_MEMFree(void* block, uint16_t owner) {
    TraceScope trace(kIdFree);
    exec()->EXEC_MEMFarFree(block, owner);
}

extern "C" void* EXEC_MEMCalloc(uint32_t count, uint32_t item_size, uint16_t owner) {
    TraceScope trace(kIdCalloc);
    const uint64_t total = uint64_t{count} * item_size;
    if (total > std::numeric_limits<uint32_t>::max()) {
        // A product that wraps would hand out a block smaller than asked for. Reported with the
        // request saturated to the largest 32-bit size.
        EventLockAll lock;
        count_failed_allocation(state(), std::numeric_limits<uint32_t>::max());
        return nullptr;
    }
    void* block = exec()->EXEC_MEMFarMalloc(static_cast<uint32_t>(total), owner);
    if (block) std::memset(block, 0, static_cast<size_t>(total));
    return block;
}

extern "C" void* EXEC_MEMAllocClear(uint32_t size, uint16_t owner) {
    TraceScope trace(kIdAllocClear);
    void* block = exec()->EXEC_MEMFarMalloc(size, owner);
    if (block) std::memset(block, 0, size);
    return block;
}

extern "C" uint32_t EXEC_MEMCoreLeft(void) {
    Win32MemoryStatus status{};
    win32_global_memory_status(&status);
    const uint64_t free_bytes = uint64_t{status.avail_phys} + status.avail_page_file;
    // More than 4 GiB free is still "all of it" to a 32-bit caller, not a small wrapped number.
    return static_cast<uint32_t>(
        std::min<uint64_t>(free_bytes, std::numeric_limits<uint32_t>::max()));
}

extern "C" void EXEC_MEMGetUsage(uint16_t owner, uint32_t* peak, uint32_t* current, char* name) {
    if (!peak || !current || !name) return;
    const char* text = kUnknownName;
    if (owner < kOwnerCount) {
        text = kOwnerNames[owner];
        *peak = state().owners[owner].peak;
        *current = state().owners[owner].current;
    } else if (owner == kOwnerTotal) {
        text = kTotalName;
        *peak = exec()->peak_allocated;
        *current = exec()->bytes_allocated;
    } else {
        *peak = 0;
        *current = 0;
    }
    std::memcpy(name, text, std::strlen(text) + 1);
}

extern "C" void EXEC_MEMGetErrors(uint32_t* failed, uint32_t* rejected) {
    if (!failed || !rejected) return;
    *failed = state().failed_allocations;
    *rejected = state().rejected_frees;
}

extern "C" MemBlockHeader* EXEC_MEMFirstBlock(void) {
    return state().newest_block;
}

extern "C" MemBlockHeader* EXEC_MEMNextBlock(MemBlockHeader* block) {
    return block ? block->older : nullptr;
}
