// Packed blocks: the services' contract, the stored and Huffman methods byte for byte, round
// trips of every method, and Huffman blocks that must be refused rather than followed.
#include "core/library.hpp"
#include "exec_fixture.hpp"

#include <random>
#include <string>
#include <vector>

namespace vantrel::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

void put_le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A Huffman block from its parts.
Bytes huffman_block(uint32_t length, const std::vector<uint16_t>& table, const Bytes& stream) {
    Bytes b{1};
    put_le32(b, length);
    put_le32(b, static_cast<uint32_t>(table.size()));
    for (uint16_t w : table) {
        b.push_back(static_cast<uint8_t>(w));
        b.push_back(static_cast<uint8_t>(w >> 8));
    }
    b.insert(b.end(), stream.begin(), stream.end());
    return b;
}

// The plain walk from the root, one bit per step, for blocks known to be well formed; counts
// the bits taken into bits_taken if given.
Bytes walk_bit_by_bit(const Bytes& block, uint64_t* bits_taken = nullptr) {
    const uint32_t length = le32(&block[1]);
    const uint32_t words = le32(&block[5]);
    auto word = [&](uint32_t i) {
        return static_cast<uint16_t>(block[9 + 2 * i] | block[10 + 2 * i] << 8);
    };
    const uint8_t* stream = &block[9 + 2 * words];
    uint64_t bit = 0;
    Bytes out;
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t at = 0;
        while (word(at) & 0x8000) {
            const bool one = stream[bit / 8] & (0x80 >> (bit % 8));
            ++bit;
            at = word(at + (one ? 0 : 1)) & 0x7FFF;
        }
        out.push_back(static_cast<uint8_t>(word(at)));
    }
    if (bits_taken) *bits_taken = bit;
    return out;
}

class PackTest : public ExecTest {
  protected:
    // Packs with the given method into a destination of exactly length + 5 bytes, pre-filled so
    // that bytes the packer leaves alone are visible.
    Bytes pack(uint8_t method, const Bytes& data, uint8_t fill = 0xEE) {
        Bytes out(data.size() + 5, fill);
        const uint32_t size = exec_->EXEC_PACKCompress(method, data.data(), out.data(),
                                                       static_cast<uint32_t>(data.size()));
        out.resize(size);
        return out;
    }
    // Unpacks into a destination of the block's stated length; empty optional-like on failure.
    bool unpack(const Bytes& block, Bytes& out, uint8_t fill = 0xEE) {
        out.assign(block.size() >= 5 ? le32(&block[1]) : 0, fill);
        return exec_->EXEC_PACKDecompress(block.data(), out.data(),
                                          static_cast<uint32_t>(block.size())) == 1;
    }
    uint32_t owner2_current() {
        uint32_t peak = 0, current = 0;
        char name[16];
        exec_->EXEC_MEMGetUsage(2, &peak, &current, name);
        return current;
    }
};

TEST_F(PackTest, BadArgumentsWriteNothing) {
    Bytes data = bytes("abc"), out(16, 0xEE);
    EXPECT_EQ(exec_->EXEC_PACKCompress(0, nullptr, out.data(), 3), 0u);
    EXPECT_EQ(exec_->EXEC_PACKCompress(0, data.data(), nullptr, 3), 0u);
    EXPECT_EQ(exec_->EXEC_PACKCompress(1, data.data(), out.data(), 0), 0u);
    for (unsigned method : {4u, 0x7Fu, 0xFFu})
        EXPECT_EQ(
            exec_->EXEC_PACKCompress(static_cast<uint8_t>(method), data.data(), out.data(), 3), 0u);
    EXPECT_EQ(out, Bytes(16, 0xEE));
    EXPECT_EQ(exec_->EXEC_PACKDecompress(nullptr, out.data(), 8), 0);
    EXPECT_EQ(exec_->EXEC_PACKDecompress(data.data(), nullptr, 8), 0);
    Bytes block = pack(0, data);
    EXPECT_EQ(exec_->EXEC_PACKDecompress(block.data(), out.data(), 4), 0);
    for (unsigned method : {4u, 0xFFu}) {
        block[0] = static_cast<uint8_t>(method);
        EXPECT_EQ(exec_->EXEC_PACKDecompress(block.data(), out.data(), 8), 0);
    }
    EXPECT_EQ(depth(), 0);
}

TEST_F(PackTest, StoredBlocksMustHaveExactlyTheirLength) {
    Bytes block = pack(0, bytes("hello"));
    EXPECT_EQ(block, (Bytes{0, 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'}));
    Bytes out;
    EXPECT_TRUE(unpack(block, out));
    EXPECT_EQ(out, bytes("hello"));
    Bytes longer = block;
    longer.push_back('!');
    EXPECT_FALSE(unpack(longer, out));
    block.pop_back();
    EXPECT_FALSE(unpack(block, out));
}

TEST_F(PackTest, HuffmanBlockOfNineteenAsAndOneB) {
    Bytes data(19, 'a');
    data.push_back('b');
    for (uint8_t fill : {0x00, 0xFF}) {
        Bytes block = pack(1, data, fill);
        ASSERT_EQ(block.size(), 20u);
        // b (1) enters the queue before a (19) and becomes the 1-child; the padding after the
        // last code keeps what the destination held.
        Bytes expected{
            1,    20,   0,    0,   0, 4,   0, 0, 0, 0x02,
            0x80, 0x03, 0x80, 'b', 0, 'a', 0, 0, 0, static_cast<uint8_t>(0x10 | (fill & 0x0F))};
        EXPECT_EQ(block, expected);
        Bytes out;
        EXPECT_TRUE(unpack(block, out));
        EXPECT_EQ(out, data);
    }
}

TEST_F(PackTest, HuffmanPaddingAndTheBytesAfterTheBlockKeepWhatTheyHeld) {
    // The packer stores whole words ahead of what it has written: across stream lengths around
    // the point where it stops doing so, the last byte must keep the destination's bits after
    // the last code, and nothing past the block may change.
    std::mt19937 random(7);
    int huffman_blocks = 0;
    for (size_t length = 24; length <= 72; ++length) {
        Bytes data(length);
        for (uint8_t& b : data)
            b = "aaaabbcd"[random() % 8];
        Bytes blocks[2];
        for (uint8_t fill : {0x00, 0xFF}) {
            Bytes out(length + 5, fill);
            const uint32_t size =
                exec_->EXEC_PACKCompress(1, data.data(), out.data(), static_cast<uint32_t>(length));
            EXPECT_EQ(Bytes(out.begin() + size, out.end()), Bytes(out.size() - size, fill));
            out.resize(size);
            blocks[fill & 1] = out;
        }
        if (blocks[0][0] != 1) continue;
        ++huffman_blocks;
        uint64_t bits = 0;
        ASSERT_EQ(walk_bit_by_bit(blocks[0], &bits), data);
        const auto padding = static_cast<uint8_t>((1u << (7 - (bits + 7) % 8)) - 1);
        ASSERT_EQ(blocks[0].size(), blocks[1].size()) << length;
        EXPECT_EQ(blocks[0].back() & padding, 0) << length;
        EXPECT_EQ(blocks[1].back() & padding, padding) << length;
        blocks[0].back() |= padding;
        EXPECT_EQ(blocks[0], blocks[1]) << length;
        Bytes out;
        ASSERT_TRUE(unpack(blocks[0], out)) << length;
        EXPECT_EQ(out, data) << length;
    }
    EXPECT_GT(huffman_blocks, 40);
}

TEST_F(PackTest, HuffmanThatDoesNotGainIsStored) {
    Bytes block = pack(1, bytes("aab"));
    EXPECT_EQ(block, (Bytes{0, 3, 0, 0, 0, 'a', 'a', 'b'}));
}

TEST_F(PackTest, OneRepeatedValueIsASingleLeaf) {
    Bytes data(7, 'z');
    Bytes block = pack(1, data);
    EXPECT_EQ(block, (Bytes{1, 7, 0, 0, 0, 1, 0, 0, 0, 'z', 0}));
    Bytes out;
    EXPECT_TRUE(unpack(block, out));
    EXPECT_EQ(out, data);
    EXPECT_EQ(pack(1, Bytes(6, 'z')).size(), 11u); // 6 + 5: not smaller, stored
    EXPECT_EQ(pack(1, Bytes(6, 'z'))[0], 0);
}

TEST_F(PackTest, HuffmanTreeOrderAmongEqualWeights) {
    // Weights a=1 b=1 c=2: a and b join first (a, the older, is the 1-child); the join (2) goes
    // after c (2) in the queue, so c is taken first and becomes the root's 1-child.
    Bytes block = pack(1, bytes("abccabccabccabccabccabccabcc"));
    ASSERT_EQ(block[0], 1);
    const std::vector<uint16_t> expected{0x8002, 0x8003, 'c', 0x8005, 0x8006, 'a', 'b'};
    ASSERT_EQ(le32(&block[5]), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(block[9 + 2 * i] | block[10 + 2 * i] << 8, expected[i]) << "word " << i;
}

TEST_F(PackTest, EveryMethodRoundTripsVariedData) {
    std::mt19937 random(3);
    std::vector<Bytes> inputs;
    inputs.push_back(Bytes{42});
    inputs.push_back(bytes("a"));
    inputs.push_back(bytes("The quick brown fox jumps over the lazy dog. "));
    Bytes text;
    while (text.size() < 200000)
        text.insert(text.end(), inputs.back().begin(), inputs.back().end());
    inputs.push_back(text);
    Bytes noise(70000);
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>(random());
    inputs.push_back(noise);
    Bytes skewed(100000); // all 256 values, very uneven: long codes
    for (size_t i = 0; i < skewed.size(); ++i)
        skewed[i] = static_cast<uint8_t>(
            i % 3 ? 0
                  : std::min<uint32_t>(
                        255, std::countr_zero(static_cast<uint32_t>(random()) | 0x80000000u) * 9 +
                                 random() % 9));
    inputs.push_back(skewed);
    inputs.push_back(Bytes(100000, 0));

    for (const Bytes& data : inputs) {
        for (uint8_t method = 0; method <= 3; ++method) {
            Bytes block = pack(method, data);
            ASSERT_GE(block.size(), 6u);
            EXPECT_LE(block.size(), data.size() + 5);
            EXPECT_TRUE(block[0] == method || block[0] == 0);
            EXPECT_EQ(le32(&block[1]), data.size());
            Bytes out;
            ASSERT_TRUE(unpack(block, out)) << "method " << int{method} << " size " << data.size();
            EXPECT_EQ(out, data) << "method " << int{method} << " size " << data.size();
            if (block[0] == 1) {
                EXPECT_EQ(walk_bit_by_bit(block), data);
            }
        }
        EXPECT_EQ(depth(), 0);
    }
    EXPECT_EQ(owner2_current(), 0u);
}

TEST_F(PackTest, LongestCodesDecodeThroughTheSlowPath) {
    // Fibonacci weights give a maximally deep tree: codes far longer than a lookup window.
    Bytes data;
    uint32_t a = 1, b = 1;
    for (uint8_t v = 0; v < 24; ++v) {
        data.insert(data.end(), a, v);
        const uint32_t next = a + b;
        a = b;
        b = next;
    }
    std::shuffle(data.begin(), data.end(), std::mt19937(5));
    Bytes block = pack(1, data);
    ASSERT_EQ(block[0], 1);
    Bytes out;
    ASSERT_TRUE(unpack(block, out));
    EXPECT_EQ(out, data);
    EXPECT_EQ(walk_bit_by_bit(block), data);
}

TEST_F(PackTest, CodesAroundTheDecoderWindowAndThePackersShortCodes) {
    // Fibonacci weights over n values give codes of every length up to n - 1, so the longest
    // lands inside, on and past the 12-bit limit of the unpacker's window and of the codes the
    // packer writes in pairs; one byte more or less leaves the last code to decode alone or in
    // a pair.
    for (uint8_t values : {12, 13, 14, 16, 17, 18}) {
        for (uint32_t extra : {0u, 1u}) {
            Bytes data(extra, 0);
            uint32_t a = 1, b = 1;
            for (uint8_t v = 0; v < values; ++v) {
                data.insert(data.end(), a, static_cast<uint8_t>(v * 13));
                const uint32_t next = a + b;
                a = b;
                b = next;
            }
            std::shuffle(data.begin(), data.end(), std::mt19937(values));
            Bytes block = pack(1, data);
            ASSERT_EQ(block[0], 1) << int{values};
            Bytes out;
            ASSERT_TRUE(unpack(block, out)) << int{values} << " values, " << data.size();
            EXPECT_EQ(out, data) << int{values} << " values, " << data.size();
            EXPECT_EQ(walk_bit_by_bit(block), data) << int{values} << " values, " << data.size();
        }
    }
}

TEST_F(PackTest, MalformedHuffmanBlocksAreRefused) {
    Bytes out;
    const Bytes two_bits{0x40};
    struct Case {
        const char* what;
        Bytes block;
    };
    const std::vector<Case> cases{
        {"empty table", huffman_block(3, {}, {0})},
        {"table longer than the block",
         [] {
             Bytes b = huffman_block(1, {'x'}, {});
             b[5] = 0x10;
             return b;
         }()},
        {"child pointing at its own node", huffman_block(2, {0x8000, 0x8002, 'a'}, two_bits)},
        {"child pointing backwards",
         huffman_block(2, {0x8002, 0x8003, 0x8000, 0x8000, 'a'}, two_bits)},
        {"child past the table", huffman_block(2, {0x8002, 0x8009, 'a'}, {0x00})},
        {"inner node cut by the table's end",
         huffman_block(2, {0x8002, 0x8003, 'a', 0x8004}, {0x7F})},
        {"leaf word above 255", huffman_block(2, {0x8002, 0x8003, 0x0100, 'b'}, two_bits)},
        {"single leaf above 255", huffman_block(2, {0x0141}, {})},
        {"bits run out mid-stream", huffman_block(20, {0x8002, 0x8003, 'a', 'b'}, {0xFF})},
        {"no stream at all", huffman_block(1, {0x8002, 0x8003, 'a', 'b'}, {})},
        {"header only", Bytes{1, 1, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        out.assign(64, 0xEE);
        EXPECT_EQ(exec_->EXEC_PACKDecompress(c.block.data(), out.data(),
                                             static_cast<uint32_t>(c.block.size())),
                  0)
            << c.what;
    }
    EXPECT_EQ(depth(), 0);
}

TEST_F(PackTest, BitsRunningOutInsideALongCodeAreRefused) {
    // Each inner node's 1-child is a leaf and its 0-child goes deeper: 'z' sits 13 bits down,
    // past a lookup window.
    std::vector<uint16_t> table;
    for (uint16_t i = 0; i < 13; ++i) {
        const uint16_t at = static_cast<uint16_t>(3 * i);
        table.push_back(static_cast<uint16_t>(0x8000 | (at + 2)));
        table.push_back(static_cast<uint16_t>(0x8000 | (at + 3)));
        table.push_back(static_cast<uint16_t>('a' + i));
    }
    table.push_back('z');
    Bytes out(1);
    // Thirteen 0 bits reach 'z': two bytes. One byte is not enough.
    Bytes ok = huffman_block(1, table, {0x00, 0x00});
    ASSERT_EQ(exec_->EXEC_PACKDecompress(ok.data(), out.data(), static_cast<uint32_t>(ok.size())),
              1);
    EXPECT_EQ(out[0], 'z');
    Bytes cut = huffman_block(1, table, {0x00});
    EXPECT_EQ(exec_->EXEC_PACKDecompress(cut.data(), out.data(), static_cast<uint32_t>(cut.size())),
              0);
    // A leaf word above 255 is refused below the window as it is within it, not walked as an
    // inner node whose next word happens to look like a child.
    table.back() = 0x0141;
    table.push_back(0x8000 | static_cast<uint16_t>(table.size() + 1));
    table.push_back('y');
    Bytes deep = huffman_block(1, table, {0x00, 0x00});
    EXPECT_EQ(
        exec_->EXEC_PACKDecompress(deep.data(), out.data(), static_cast<uint32_t>(deep.size())), 0);
}

// Allocation through the table fails after a number of successes.
int g_allocations_left;
EXEC_MEMFarMallocFn g_real_malloc;
std::vector<uint32_t> g_stack_at_malloc;
void* limited_malloc(uint32_t size, uint16_t owner) {
    ExecTable* t = state().table;
    for (int32_t i = 1; i <= *t->function_depth; ++i)
        g_stack_at_malloc.push_back(t->function_stack[i]);
    g_stack_at_malloc.push_back(0);
    if (g_allocations_left-- <= 0) return nullptr;
    return g_real_malloc(size, owner);
}

TEST_F(PackTest, HuffmanWithoutNodeMemoryStoresTheData) {
    Bytes data;
    for (int i = 0; i < 20; ++i)
        data.insert(data.end(), {'m', 'i', 's', 's', 'i', 's', 's', 'i', 'p', 'p', 'i', ' '});
    g_real_malloc = exec_->EXEC_MEMFarMalloc;
    exec_->EXEC_MEMFarMalloc = limited_malloc;
    for (int allowed : {0, 3, 8}) {
        g_allocations_left = allowed;
        Bytes block = pack(1, data);
        EXPECT_EQ(block[0], 0) << allowed;
        EXPECT_EQ(block.size(), data.size() + 5);
        EXPECT_EQ(owner2_current(), 0u) << "nodes freed after a failed allocation";
    }
    g_allocations_left = 1000;
    g_stack_at_malloc.clear();
    Bytes block = pack(1, data);
    exec_->EXEC_MEMFarMalloc = g_real_malloc;
    EXPECT_EQ(block[0], 1);
    // Nodes are allocated while the compressor (step 1), the Huffman packer and its tree builder
    // are on the function stack.
    ASSERT_GE(g_stack_at_malloc.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(g_stack_at_malloc.begin(), g_stack_at_malloc.begin() + 4),
              (std::vector<uint32_t>{0x10009131, 0x100092D0, 0x100092B0, 0}));
    EXPECT_EQ(owner2_current(), 0u);
}

} // namespace
} // namespace vantrel::testing
