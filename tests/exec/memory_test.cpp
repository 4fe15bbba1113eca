// Tracked memory. The library is one instance per process: figures are checked as changes.
#include "exec_fixture.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace vantrel::testing {
namespace {

struct Usage {
    uint32_t peak = 0, current = 0;
    std::string name;
};

MemBlockHeader* header_of(void* block) {
    return static_cast<MemBlockHeader*>(block) - 1;
}

class MemoryTest : public ExecTest {
  protected:
    Usage usage(uint16_t owner) {
        Usage u;
        char name[11] = "unchanged";
        exec_->EXEC_MEMGetUsage(owner, &u.peak, &u.current, name);
        u.name = name;
        return u;
    }
    uint32_t failed() { return errors().first; }
    uint32_t rejected() { return errors().second; }
    std::pair<uint32_t, uint32_t> errors() {
        std::pair<uint32_t, uint32_t> e;
        exec_->EXEC_MEMGetErrors(&e.first, &e.second);
        return e;
    }
    // By value: the table is packed, its fields unaligned.
    uint32_t allocated() const { return exec_->bytes_allocated; }
};

TEST_F(MemoryTest, OwnerAndTotalCountsWithPeaksKept) {
    const uint32_t total = allocated();
    const Usage owner = usage(3);
    void* block = exec_->EXEC_MEMFarMalloc(100, 3);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(header_of(block)->signature, EXEC_MEM_SIGNATURE);
    EXPECT_EQ(header_of(block)->size, 116u);
    EXPECT_EQ(allocated() - total, 116u);
    EXPECT_EQ(usage(3).current - owner.current, 116u);
    EXPECT_EQ(usage(3).name, "Resource");
    const Usage high = usage(3), high_total = usage(14);
    EXPECT_EQ(high_total.name, "Total");
    EXPECT_EQ(high_total.current, allocated());
    EXPECT_EQ(high_total.peak, uint32_t{exec_->peak_allocated});

    exec_->EXEC_MEMFree(block, 3);
    EXPECT_EQ(allocated(), total);
    EXPECT_EQ(usage(3).current, owner.current);
    EXPECT_EQ(usage(3).peak, high.peak);
    EXPECT_EQ(usage(14).peak, high_total.peak);

    // Owner 20: totals only.
    const Usage before20 = usage(13);
    block = exec_->EXEC_MEMAlloc(40, 20);
    EXPECT_EQ(allocated() - total, 56u);
    EXPECT_EQ(usage(13).current, before20.current);
    const Usage unknown = usage(20);
    EXPECT_EQ(unknown.name, "???");
    EXPECT_EQ(unknown.peak + unknown.current, 0u);
    exec_->EXEC_MEMFarFree(block, 20);
    EXPECT_EQ(allocated(), total);
}

TEST_F(MemoryTest, NullArgumentsChangeNothing) {
    uint32_t a = 7, b = 7;
    char name[11] = "keep";
    exec_->EXEC_MEMGetUsage(1, nullptr, &b, name);
    exec_->EXEC_MEMGetUsage(1, &a, nullptr, name);
    exec_->EXEC_MEMGetUsage(1, &a, &b, nullptr);
    exec_->EXEC_MEMGetErrors(nullptr, &b);
    exec_->EXEC_MEMGetErrors(&a, nullptr);
    EXPECT_EQ(a + b, 14u);
    EXPECT_STREQ(name, "keep");
    const auto errors_before = errors();
    const int32_t depth_before = depth();
    exec_->EXEC_MEMFarFree(nullptr, 0);
    EXPECT_EQ(errors(), errors_before);
    EXPECT_EQ(depth(), depth_before);
    EXPECT_EQ(exec_->EXEC_MEMNextBlock(nullptr), nullptr);
}

TEST_F(MemoryTest, ChainRunsNewestToOldestAndRelinksOnFree) {
    void* first = exec_->EXEC_MEMFarMalloc(8, 1);
    void* second = exec_->EXEC_MEMFarMalloc(8, 1);
    void* third = exec_->EXEC_MEMFarMalloc(8, 1);
    MemBlockHeader* const oldest_before = header_of(first)->older;
    EXPECT_EQ(exec_->EXEC_MEMFirstBlock(), header_of(third));
    EXPECT_EQ(exec_->EXEC_MEMNextBlock(header_of(third)), header_of(second));
    EXPECT_EQ(exec_->EXEC_MEMNextBlock(header_of(second)), header_of(first));
    EXPECT_EQ(header_of(third)->newer, nullptr);

    exec_->EXEC_MEMFarFree(second, 1);
    EXPECT_EQ(header_of(third)->older, header_of(first));
    EXPECT_EQ(header_of(first)->newer, header_of(third));
    exec_->EXEC_MEMFarFree(third, 1);
    EXPECT_EQ(exec_->EXEC_MEMFirstBlock(), header_of(first));
    EXPECT_EQ(header_of(first)->newer, nullptr);
    exec_->EXEC_MEMFarFree(first, 1);
    EXPECT_EQ(exec_->EXEC_MEMFirstBlock(), oldest_before);
}

TEST_F(MemoryTest, ManyBlocksFreedInAnyOrderAreAllAccepted) {
    // Grows the registry several times and frees out of order: a lost or misplaced registry
    // entry shows up as a refused free or a wrong total.
    const uint32_t total = allocated(), refused = rejected();
    std::mt19937 rng(12345);
    std::vector<void*> live;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 700; ++i)
            live.push_back(exec_->EXEC_MEMFarMalloc(1 + rng() % 64, 5));
        std::shuffle(live.begin(), live.end(), rng);
        for (size_t i = live.size() / 2; i < live.size(); ++i)
            exec_->EXEC_MEMFarFree(live[i], 5);
        live.resize(live.size() / 2);
    }
    size_t chained = 0;
    for (MemBlockHeader* h = exec_->EXEC_MEMFirstBlock(); h; h = exec_->EXEC_MEMNextBlock(h))
        chained += std::count(live.begin(), live.end(), h + 1);
    EXPECT_EQ(chained, live.size());
    for (void* block : live)
        exec_->EXEC_MEMFarFree(block, 5);
    EXPECT_EQ(rejected(), refused);
    EXPECT_EQ(allocated(), total);
}

TEST_F(MemoryTest, ReusedMemoryIsNeverHandedOutTwice) {
    // Sizes on both sides of the largest block freed memory is kept for, allocated and freed at
    // random: a block given to two callers, or reused memory smaller than the block placed in
    // it, shows as overlapping blocks or as a changed fill.
    struct Live {
        uint8_t* block;
        uint32_t size;
        uint8_t fill;
    };
    const uint32_t total = allocated(), refused = rejected();
    std::mt19937 rng(2026);
    std::vector<Live> live;
    auto intact = [](const Live& l) {
        return std::all_of(l.block, l.block + l.size, [&](uint8_t b) { return b == l.fill; });
    };
    for (int op = 1; op <= 20000; ++op) {
        if (live.empty() || (live.size() < 150 && rng() % 2)) {
            const uint32_t size = rng() % 300;
            auto* block = static_cast<uint8_t*>(exec_->EXEC_MEMFarMalloc(size, 6));
            ASSERT_NE(block, nullptr);
            const auto fill = static_cast<uint8_t>(op);
            std::memset(block, fill, size);
            live.push_back({block, size, fill});
        } else {
            const size_t i = rng() % live.size();
            ASSERT_TRUE(intact(live[i])) << "block of " << live[i].size << " bytes";
            exec_->EXEC_MEMFarFree(live[i].block, 6);
            live[i] = live.back();
            live.pop_back();
        }
        if (op % 1000) continue;
        std::vector<Live> by_address = live;
        std::sort(by_address.begin(), by_address.end(),
                  [](const Live& a, const Live& b) { return a.block < b.block; });
        for (size_t i = 0; i + 1 < by_address.size(); ++i)
            ASSERT_LE(by_address[i].block + by_address[i].size,
                      reinterpret_cast<uint8_t*>(header_of(by_address[i + 1].block)));
        for (const Live& l : live)
            ASSERT_TRUE(intact(l)) << "block of " << l.size << " bytes";
    }
    for (const Live& l : live)
        exec_->EXEC_MEMFarFree(l.block, 6);
    EXPECT_EQ(rejected(), refused);
    EXPECT_EQ(allocated(), total);
}

TEST_F(MemoryTest, ClearingAllocatorsZeroTheWholeBlock) {
    for (int round = 0; round < 2; ++round) {
        // Dirty the heap first so that a missing clear shows.
        void* dirty = exec_->EXEC_MEMFarMalloc(256, 0);
        std::memset(dirty, 0xA5, 256);
        exec_->EXEC_MEMFarFree(dirty, 0);
        auto* block = static_cast<uint8_t*>(round == 0 ? exec_->EXEC_MEMAllocClear(256, 0)
                                                       : exec_->EXEC_MEMCalloc(16, 16, 0));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(header_of(block)->size, 256u + 16u);
        EXPECT_EQ(std::count(block, block + 256, 0), 256);
        exec_->EXEC_MEMFree(block, 0);
    }
}

class CoreLeftTest : public MemoryTest {
    std::string profile_text() override {
        return "[memory]\navailable_kib = 3000\nswap_kib = 72\n";
    }
};

TEST_F(CoreLeftTest, IsFreePhysicalMemoryPlusFreePagingSpace) {
    EXPECT_EQ(exec_->EXEC_MEMCoreLeft(), (3000u + 72u) * 1024u);
}

// Seen by a spy in the EXEC_EVENTUnlock slot: the innermost function stack entries.
std::vector<std::pair<uint32_t, uint32_t>> g_at_unlock;
EXEC_EVENTUnlockFn g_unlock = nullptr;
ExecTable* g_table = nullptr;

TEST_F(MemoryTest, ServicesUnlockThroughTheTableUnderTheirIdsAndSteps) {
    g_at_unlock.clear();
    g_unlock = exec_->EXEC_EVENTUnlock;
    g_table = exec_;
    exec_->EXEC_EVENTUnlock = [](uint16_t source) {
        const int32_t d = *g_table->function_depth;
        g_at_unlock.emplace_back(g_table->function_stack[d - 1], g_table->function_stack[d]);
        g_unlock(source);
    };
    const int32_t depth_before = depth();
    exec_->EXEC_MEMFree(exec_->EXEC_MEMAlloc(64, 1), 1);
    exec_->EXEC_EVENTUnlock = g_unlock;

    using Ids = std::vector<std::pair<uint32_t, uint32_t>>;
    // Alloc over FarMalloc; Free over FarFree at its step 8, "before unlocking".
    EXPECT_EQ(g_at_unlock, Ids({{0x10007010, 0x10007050}, {0x10007030, 0x10007048}}));
    EXPECT_EQ(depth(), depth_before);
    // The last mark, "after unlocking", stays in the popped entry.
    EXPECT_EQ(exec_->function_stack[depth_before + 2], 0x10007049u);
}

// --- Failures, with debug output on ----------------------------------------------------------

class MemoryFailureTest : public MemoryTest {
  protected:
    uint16_t open_mode() override { return 1; }
    // Lines end in CR LF in the text file on the disk.
    std::string debug_text() {
        std::string text = drive_a_file("debug.txt");
        std::erase(text, '\r');
        return text;
    }
    void expect_rejected(void* pointer, uint32_t value_found) {
        const uint32_t total = allocated();
        const Usage owner = usage(4);
        MemBlockHeader* const newest = exec_->EXEC_MEMFirstBlock();
        const auto before = errors();
        const size_t text_before = debug_text().size();
        exec_->EXEC_MEMFarFree(pointer, 4);
        EXPECT_EQ(errors(), std::make_pair(before.first, before.second + 1));
        EXPECT_EQ(allocated(), total);
        EXPECT_EQ(usage(4).current, owner.current);
        EXPECT_EQ(exec_->EXEC_MEMFirstBlock(), newest);
        char line[64];
        std::snprintf(line, sizeof line, "SIG = 0x%08X (should be 0x0F0F1234)\n", value_found);
        EXPECT_EQ(debug_text().substr(text_before),
                  "EXEC_MEMFarFree - Invalid memory free... ************\n" + std::string(line));
    }
};

TEST_F(MemoryFailureTest, RequestsTheHeapCannotMeetFailAndAreCounted) {
    const uint32_t total = allocated(), count = failed();
    EXPECT_EQ(exec_->EXEC_MEMFarMalloc(0xFFFFFFF0u, 2), nullptr);   // size + 16 wraps to 0
    EXPECT_EQ(exec_->EXEC_MEMFarMalloc(0xF0000000u, 2), nullptr);   // beyond a 32-bit process
    EXPECT_EQ(exec_->EXEC_MEMCalloc(0x10000, 0x10001, 2), nullptr); // product wraps to 64 KiB
    EXPECT_EQ(failed() - count, 3u);
    EXPECT_EQ(allocated(), total);
    EXPECT_EQ(debug_text(), "FarMalloc Failed. requested 4294967280 bytes.\n"
                            "FarMalloc Failed. requested 4026531840 bytes.\n"
                            "FarMalloc Failed. requested 4294967295 bytes.\n");
}

TEST_F(MemoryFailureTest, PointerIntoALiveBlockReportsTheBytesInFront) {
    auto* block = static_cast<uint8_t*>(exec_->EXEC_MEMFarMalloc(64, 4));
    const uint32_t marker = 0xDEADBEEF, last_word = 0xCAFEF00D;
    std::memcpy(block + 16, &marker, 4);
    std::memcpy(block + 60, &last_word, 4);
    expect_rejected(block + 32, marker);
    expect_rejected(block + 4, 80);         // the header's size field
    expect_rejected(block + 76, last_word); // the block's last word
    expect_rejected(block + 78, 0);         // runs past the end: not read
    const uint32_t total = allocated();
    exec_->EXEC_MEMFarFree(block, 4); // still ours, and freed
    EXPECT_EQ(total - allocated(), 80u);
}

TEST_F(MemoryFailureTest, ForeignPointersAreNeitherReadNorReleased) {
    void* block = exec_->EXEC_MEMFarMalloc(64, 4);
    exec_->EXEC_MEMFarFree(block, 4);
    expect_rejected(block, 0); // second free

    // Buffers carrying a perfect header: only the registry tells them from our blocks.
    const MemBlockHeader forged{EXEC_MEM_SIGNATURE, 48, nullptr, nullptr};
    alignas(16) uint8_t on_stack[64];
    std::memcpy(on_stack, &forged, sizeof forged);
    expect_rejected(on_stack + 16, 0);
    auto* on_heap = static_cast<uint8_t*>(std::malloc(64));
    std::memcpy(on_heap, &forged, sizeof forged);
    expect_rejected(on_heap + 16, 0);
    std::free(on_heap);
    expect_rejected(reinterpret_cast<void*>(8), 0);
}

TEST_F(MemoryFailureTest, LiveBlockWithOverwrittenSignatureStaysLive) {
    void* block = exec_->EXEC_MEMFarMalloc(24, 4);
    header_of(block)->signature = 0x12345678;
    expect_rejected(block, 0x12345678);
    header_of(block)->signature = EXEC_MEM_SIGNATURE;
    const uint32_t refused = rejected();
    exec_->EXEC_MEMFarFree(block, 4);
    EXPECT_EQ(rejected(), refused);
}

} // namespace
} // namespace vantrel::testing
