// Methods 2 and 3: the code stream against the system's compress/uncompress, crafted streams
// that must be refused or cut short cleanly, and the packer's and unpacker's contract.
#include "core/library.hpp"
#include "data/lzw_codec.hpp"
#include "exec_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace vantrel::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t size, uint32_t seed, uint32_t alphabet = 256) {
    std::mt19937 g(seed);
    Bytes b(size);
    for (auto& v : b)
        v = static_cast<uint8_t>((g() >> 8) % alphabet);
    return b;
}

// Words from a small vocabulary: compressible, but with enough variety to fill the table.
Bytes text(size_t size, uint32_t seed = 1) {
    static const char* const words[] = {"the ",   "packed ", "block ", "desk ",  "upgrade ",
                                        "code ",  "table ",  "\n",     "width ", "group ",
                                        "clear ", "string ", "of ",    "and ",   "to "};
    std::mt19937 g(seed);
    Bytes b;
    while (b.size() < size) {
        const char* w = words[g() % std::size(words)];
        b.insert(b.end(), w, w + std::char_traits<char>::length(w));
        if (g() % 16 == 0) b.push_back(static_cast<uint8_t>('0' + g() % 10));
    }
    b.resize(size);
    return b;
}

Bytes encode(const Bytes& data, bool sized = false) {
    const uint32_t size = static_cast<uint32_t>(data.size());
    const uint32_t h = lzw::hash_size(size, sized);
    std::vector<int32_t> hash(h);
    std::vector<uint16_t> codes(h);
    Bytes out(lzw::max_encoded_size(size));
    out.resize(
        lzw::encode(data.data(), size, out.data(), out.size(), {hash.data(), codes.data(), h}));
    return out;
}

struct Decoding {
    lzw::Decoded status;
    Bytes data;
};
Decoding decode(const Bytes& stream) {
    Bytes suffix_and_stack(lzw::kSuffixBytes + lzw::kStackBytes);
    std::vector<uint16_t> prefix(lzw::kPrefixEntries);
    Decoding d;
    d.status =
        lzw::decode(stream.data(), static_cast<uint32_t>(stream.size()),
                    {suffix_and_stack.data(), prefix.data()}, [&](const uint8_t* s, uint32_t n) {
                        d.data.insert(d.data.end(), s, s + n);
                        return true;
                    });
    return d;
}

// Runs a shell command with data on its standard input; its standard output.
Bytes run(const std::string& command, const Bytes& input) {
    // Named by process: test cases may run side by side.
    const auto file = std::filesystem::path(::testing::TempDir()) /
                      ("lzw_test_input." + std::to_string(getpid()));
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()),
               static_cast<std::streamsize>(input.size()));
    FILE* pipe = popen((command + " < '" + file.string() + "'").c_str(), "r");
    Bytes out;
    uint8_t buffer[65536];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    if (pipe) pclose(pipe);
    std::filesystem::remove(file);
    return out;
}
bool have_tools() {
    return std::system("command -v compress >/dev/null && command -v uncompress >/dev/null") == 0;
}
const Bytes kMagic{0x1F, 0x9D, 0x90};

// Writes codes as a decoder reads them: tracks the next free code and widens, padding the group,
// when the decoder will.
struct StreamWriter {
    Bytes bytes;
    uint32_t n = 9, maxcode = 511, next_free = 257, bits = 0, group_codes = 0;
    bool first = true;

    void raw(uint32_t code) {
        for (uint32_t b = 0; b < n; ++b, ++bits) {
            if (bits % 8 == 0) bytes.push_back(0);
            if (code >> b & 1) bytes.back() |= static_cast<uint8_t>(1 << bits % 8);
        }
        group_codes = (group_codes + 1) % 8;
    }
    void end_group() {
        for (; group_codes != 0; group_codes = (group_codes + 1) % 8)
            for (uint32_t b = 0; b < n; ++b, ++bits)
                if (bits % 8 == 0) bytes.push_back(0);
    }
    StreamWriter& code(uint32_t c) {
        if (next_free > maxcode) {
            end_group();
            ++n;
            maxcode = n == 16 ? 65536 : (1u << n) - 1;
        }
        raw(c);
        if (!first && next_free < 65536) ++next_free;
        first = false;
        return *this;
    }
    StreamWriter& clear() {
        raw(256);
        end_group();
        n = 9;
        maxcode = 511;
        next_free = 256;
        return *this;
    }
};

TEST(LzwCodec, StreamIsCompressOutputUntilTheTableFills) {
    if (!have_tools()) GTEST_SKIP() << "compress/uncompress not installed";
    for (const Bytes& data :
         {text(40000), Bytes{'x'}, Bytes{'a', 'b'}, Bytes{'a', 'b', 'a', 'b', 'a'}, Bytes(7, 0),
          Bytes(3000, 0), random_bytes(5000, 2), random_bytes(50000, 3),
          random_bytes(30000, 4, 3)}) {
        Bytes expected = run("compress -c", data);
        ASSERT_GE(expected.size(), 3u);
        ASSERT_EQ(Bytes(expected.begin(), expected.begin() + 3), kMagic);
        expected.erase(expected.begin(), expected.begin() + 3);
        const Bytes ours = encode(data);
        EXPECT_EQ(ours, expected) << data.size() << " bytes";
        Bytes z = kMagic;
        z.insert(z.end(), ours.begin(), ours.end());
        EXPECT_EQ(run("uncompress -c", z), data);
        EXPECT_EQ(decode(expected).data, data);
    }
}

// Inputs that fill the table many times over, so that CLEAR codes and width resets occur.
TEST(LzwCodec, LargeInputsDecodeBothWays) {
    if (!have_tools()) GTEST_SKIP() << "compress/uncompress not installed";
    Bytes mixed = text(1 << 20, 5);
    const Bytes noise = random_bytes(1 << 20, 6);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    const Bytes more = text(1 << 19, 7);
    mixed.insert(mixed.end(), more.begin(), more.end());
    for (const Bytes& data : {mixed, Bytes(3 << 20, 0)}) {
        const Bytes theirs = run("compress -c", data);
        ASSERT_GT(theirs.size(), 3u);
        const Decoding d = decode(Bytes(theirs.begin() + 3, theirs.end()));
        EXPECT_EQ(d.status, lzw::Decoded::complete);
        EXPECT_TRUE(d.data == data) << data.size();
        Bytes z = kMagic;
        const Bytes ours = encode(data);
        z.insert(z.end(), ours.begin(), ours.end());
        EXPECT_TRUE(run("uncompress -c", z) == data) << data.size();
        EXPECT_TRUE(decode(ours).data == data);
    }
}

TEST(LzwCodec, MalformedCodesAreRefused) {
    for (uint32_t first : {256u, 257u, 300u, 511u})
        EXPECT_EQ(decode(StreamWriter().code(first).code('a').bytes).status,
                  lzw::Decoded::malformed)
            << first;
    // A code above the next free code at every width; the next free code itself is fine.
    for (uint32_t width = 9; width <= 16; ++width) {
        for (uint32_t extra : {0u, 1u}) {
            StreamWriter w;
            w.code('a');
            while (w.next_free <= (1u << (width - 1)))
                w.code('b');
            const size_t literals = w.next_free - 256;
            w.code(w.next_free + extra);
            ASSERT_EQ(w.n, width);
            const Decoding d = decode(w.bytes);
            EXPECT_EQ(d.status, extra ? lzw::Decoded::malformed : lzw::Decoded::complete) << width;
            EXPECT_EQ(d.data.size(), literals + (extra ? 0 : 2)) << width;
        }
    }
    // After CLEAR the next free code is 256, so 257 is above it.
    StreamWriter w;
    w.code('a').code('b').code('c').clear().code(257);
    EXPECT_EQ(decode(w.bytes).status, lzw::Decoded::malformed);
}

TEST(LzwCodec, ClearAnywhereButFirst) {
    StreamWriter twice;
    twice.code('a').code('b').code(257).clear().clear().code('c').code('d').code(257);
    const Decoding d = decode(twice.bytes);
    EXPECT_EQ(d.status, lzw::Decoded::complete);
    EXPECT_EQ(d.data, (Bytes{'a', 'b', 'a', 'b', 'c', 'd', 'c', 'd'}));

    StreamWriter last;
    last.code('a').code('b').clear();
    EXPECT_EQ(decode(last.bytes).status, lzw::Decoded::complete);
    EXPECT_EQ(decode(last.bytes).data, (Bytes{'a', 'b'}));

    StreamWriter many;
    many.code('a');
    for (int i = 0; i < 100000; ++i)
        many.clear();
    many.code('z');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(decode(many.bytes).data, (Bytes{'a', 'z'}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(LzwCodec, StreamsThatStopEarlyEndTheData) {
    StreamWriter w;
    for (uint8_t c : {'a', 'b', 'c'})
        w.code(c);
    EXPECT_EQ(decode(Bytes(w.bytes.begin(), w.bytes.end() - 1)).data, (Bytes{'a', 'b'}))
        << "mid-code";
    for (int i = 0; i < 7; ++i)
        w.code('d');
    ASSERT_EQ(w.bytes.size(), 12u);
    EXPECT_EQ(decode(Bytes(w.bytes.begin(), w.bytes.begin() + 9)).data.size(), 8u)
        << "at a group boundary";
    StreamWriter widened;
    while (widened.n == 9)
        widened.code('e');
    const size_t codes = widened.next_free - 256 - 1;
    widened.bytes.resize(widened.bytes.size() - 2); // the first 10-bit code, whole bytes of it
    const Decoding d = decode(widened.bytes);
    EXPECT_EQ(d.status, lzw::Decoded::complete);
    EXPECT_EQ(d.data, Bytes(codes, 'e')) << "right after the width change";
    EXPECT_EQ(decode({}).data, Bytes{});
}

// Each code the next free one: code c stands for c - 255 bytes, past 8000 of them at the end.
TEST(LzwCodec, LongStringsFitTheStack) {
    StreamWriter w;
    w.code('q');
    for (uint32_t c = 257; c <= 8500; ++c)
        w.code(c);
    const Decoding d = decode(w.bytes);
    EXPECT_EQ(d.status, lzw::Decoded::complete);
    EXPECT_EQ(d.data.size(), 8245u * 8246 / 2);
    EXPECT_TRUE(std::all_of(d.data.begin(), d.data.end(), [](uint8_t b) { return b == 'q'; }));
}

// A short input whose strings outnumber 4096 codes: with a 5003-slot table, the hash of such a
// code lands past the table's end.
TEST(LzwCodec, LimitedRoomKeepsAPrefixAndCountsTheWhole) {
    // Room that ends inside the stream, at chunk edges and past it: the count is always the
    // whole stream's, the bytes kept are its prefix, and nothing past the room is touched.
    Bytes data = text(60000, 9);
    const Bytes incompressible = random_bytes(40000, 9);
    data.insert(data.end(), incompressible.begin(), incompressible.end());
    const Bytes whole = encode(data);
    const uint32_t h = lzw::hash_size(static_cast<uint32_t>(data.size()), false);
    std::vector<int32_t> hash(h);
    std::vector<uint16_t> codes(h);
    for (const uint64_t room :
         {uint64_t{0}, uint64_t{1}, uint64_t{16000}, uint64_t{16512}, uint64_t{whole.size() - 1},
          uint64_t{whole.size()}, uint64_t{whole.size() + 100}}) {
        constexpr size_t kGuard = 64;
        Bytes out(room + kGuard, 0xEE);
        const uint64_t counted = lzw::encode(data.data(), static_cast<uint32_t>(data.size()),
                                             out.data(), room, {hash.data(), codes.data(), h});
        EXPECT_EQ(counted, whole.size()) << "room " << room;
        const size_t kept = std::min<size_t>(room, whole.size());
        EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + kept, out.begin()))
            << "room " << room;
        EXPECT_TRUE(std::all_of(out.begin() + kept, out.end(), [](uint8_t b) { return b == 0xEE; }))
            << "room " << room;
    }
}

TEST(LzwCodec, SizedTableIsNeverLeft) {
    Bytes data;
    for (uint32_t a = 0; a < 256 && data.size() < 3950; ++a)
        for (uint32_t b = a + 1; b < 256 && data.size() < 3950; ++b)
            data.insert(data.end(), {static_cast<uint8_t>(a), static_cast<uint8_t>(b)});
    data.insert(data.end(), {data[3899], data[3900], 0xFF, data[3901], data[3902], 0xF0});
    const uint32_t h = lzw::hash_size(static_cast<uint32_t>(data.size()), true);
    ASSERT_EQ(h, 5003u);
    constexpr uint32_t kGuard = 16384;
    std::vector<int32_t> hash(h + kGuard, -1);
    std::vector<uint16_t> codes(h + kGuard, 0xABCD);
    Bytes out(lzw::max_encoded_size(data.size()));
    out.resize(lzw::encode(data.data(), static_cast<uint32_t>(data.size()), out.data(), out.size(),
                           {hash.data(), codes.data(), h}));
    EXPECT_EQ(std::vector<int32_t>(hash.begin() + h, hash.end()), std::vector<int32_t>(kGuard, -1));
    EXPECT_EQ(std::vector<uint16_t>(codes.begin() + h, codes.end()),
              std::vector<uint16_t>(kGuard, 0xABCD));
    EXPECT_EQ(decode(out).data, data);
}

// --- The packer and unpacker behind EXEC_PACKCompress and EXEC_PACKDecompress ---------------

std::vector<uint32_t> g_sizes;
std::vector<uint32_t> g_stack_at_malloc;
int g_allocations_left;
EXEC_MEMFarMallocFn g_real_malloc;
void* recording_malloc(uint32_t size, uint16_t owner) {
    ExecTable* t = state().table;
    if (owner == 2) g_sizes.push_back(size);
    g_stack_at_malloc.assign(t->function_stack + 1, t->function_stack + 1 + *t->function_depth);
    if (g_allocations_left-- <= 0) return nullptr;
    return g_real_malloc(size, owner);
}

class LzwTest : public ExecTest {
  protected:
    void SetUp() override {
        ExecTest::SetUp();
        owner2_ = owner2_current();
        depth_ = depth();
    }
    void TearDown() override {
        if (g_real_malloc) exec_->EXEC_MEMFarMalloc = g_real_malloc;
        g_real_malloc = nullptr;
        ExecTest::TearDown();
    }
    void record(int allowed = 1000) {
        if (!g_real_malloc) g_real_malloc = exec_->EXEC_MEMFarMalloc;
        exec_->EXEC_MEMFarMalloc = recording_malloc;
        g_allocations_left = allowed;
        g_sizes.clear();
    }
    // Every call leaves the compression owner's memory and the function stack as they were.
    void expect_balanced() {
        EXPECT_EQ(owner2_current(), owner2_);
        EXPECT_EQ(depth(), depth_);
    }
    // Packs into room for length + 5 bytes plus a guard that must stay as it was.
    Bytes pack(uint8_t method, const Bytes& data) {
        Bytes out(data.size() + 5 + 16, 0xEE);
        const uint32_t size = exec_->EXEC_PACKCompress(method, data.data(), out.data(),
                                                       static_cast<uint32_t>(data.size()));
        expect_balanced();
        EXPECT_EQ(Bytes(out.end() - 16, out.end()), Bytes(16, 0xEE)) << "past length + 5";
        out.resize(size);
        return out;
    }
    // Unpacks into room for the stated length plus a guard; the status.
    uint16_t unpack(const Bytes& block, Bytes& out, size_t guard = 16) {
        const uint32_t length = block[1] | block[2] << 8 | block[3] << 16 | block[4] << 24;
        out.assign(length + guard, 0xEE);
        const uint16_t ok = exec_->EXEC_PACKDecompress(block.data(), out.data(),
                                                       static_cast<uint32_t>(block.size()));
        expect_balanced();
        EXPECT_EQ(Bytes(out.end() - guard, out.end()), Bytes(guard, 0xEE)) << "past L";
        out.resize(length);
        return ok;
    }
    static Bytes block(uint8_t method, uint32_t length, const Bytes& payload) {
        // Sized at once: GCC 12 at -O3 takes an insert after five bytes for an overflow.
        Bytes b(5 + payload.size());
        b[0] = method;
        for (int i = 0; i < 4; ++i)
            b[1 + i] = static_cast<uint8_t>(length >> (8 * i));
        std::copy(payload.begin(), payload.end(), b.begin() + 5);
        return b;
    }
    uint32_t owner2_current() {
        uint32_t peak = 0, current = 0;
        char name[16];
        exec_->EXEC_MEMGetUsage(2, &peak, &current, name);
        return current;
    }
    uint32_t owner2_ = 0;
    int32_t depth_ = 0;
};

TEST_F(LzwTest, BlocksCarryTheStreamOrAreStored) {
    Bytes many_zeros(3 << 20, 0);
    many_zeros[1000] = 7;
    for (const Bytes& data : {text(100000), text(2500000, 9), many_zeros}) {
        for (uint8_t method : {2, 3}) {
            const Bytes b = pack(method, data);
            ASSERT_EQ(b[0], method);
            EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), block(method, uint32_t(data.size()), {}));
            EXPECT_TRUE(Bytes(b.begin() + 5, b.end()) == encode(data, method == 3));
            Bytes out;
            EXPECT_EQ(unpack(b, out), 1);
            EXPECT_TRUE(out == data);
        }
    }
    // A stream no shorter than the data is not kept: the data is stored.
    for (const Bytes& data : {Bytes{'x'}, Bytes{'a', 'b', 'c'}, random_bytes(20000, 10)})
        for (uint8_t method : {2, 3}) {
            const Bytes b = pack(method, data);
            ASSERT_EQ(b.size(), data.size() + 5);
            EXPECT_EQ(b[0], 0);
        }
}

// Methods 2 and 3 differ only where a slot holding the pair (0, 0) ends a probe early; this
// input meets that with the 5003-slot table.
TEST_F(LzwTest, SizedAndUnsizedStreamsDecodeAlike) {
    const Bytes same = text(30000, 11);
    const Bytes same2 = pack(2, same), same3 = pack(3, same);
    EXPECT_EQ(Bytes(same2.begin() + 5, same2.end()), Bytes(same3.begin() + 5, same3.end()));
    const Bytes data = random_bytes(3000, 62, 32);
    const Bytes two = pack(2, data), three = pack(3, data);
    ASSERT_EQ(two[0], 2);
    ASSERT_EQ(three[0], 3);
    EXPECT_NE(Bytes(two.begin() + 5, two.end()), Bytes(three.begin() + 5, three.end()));
    for (const Bytes& b : {two, three}) {
        Bytes out;
        EXPECT_EQ(unpack(b, out), 1);
        EXPECT_EQ(out, data);
    }
}

TEST_F(LzwTest, TableSizesFollowMethodAndLength) {
    const std::pair<uint32_t, uint32_t> sizes[] = {
        {4095, 5003},   {4096, 9001},   {8191, 9001},   {8192, 18013},  {16383, 18013},
        {16384, 35023}, {32767, 35023}, {32768, 50021}, {46999, 50021}, {47000, 69001}};
    record();
    for (auto [length, h] : sizes) {
        g_sizes.clear();
        pack(3, text(length));
        EXPECT_EQ(g_sizes, (std::vector<uint32_t>{4 * h, 2 * h})) << length;
    }
    g_sizes.clear();
    const Bytes b = pack(2, text(100));
    EXPECT_EQ(g_sizes, (std::vector<uint32_t>{4 * 69001, 2 * 69001}));
    EXPECT_EQ(g_stack_at_malloc, (std::vector<uint32_t>{0x10009131, 0x10009310}));
    g_sizes.clear();
    Bytes out;
    EXPECT_EQ(unpack(b, out), 1);
    EXPECT_EQ(g_sizes, (std::vector<uint32_t>{131072, 138002}));
    EXPECT_EQ(g_stack_at_malloc, (std::vector<uint32_t>{0x10009140, 0x10009320}));
}

TEST_F(LzwTest, WithoutTablesPackingStoresAndUnpackingFails) {
    const Bytes data = text(10000);
    const Bytes packed = pack(2, data);
    for (int allowed : {0, 1}) {
        record(allowed);
        for (uint8_t method : {2, 3}) {
            const Bytes b = pack(method, data);
            EXPECT_EQ(b[0], 0) << allowed;
            EXPECT_EQ(b.size(), data.size() + 5);
        }
        Bytes out;
        EXPECT_EQ(unpack(packed, out), 0) << allowed;
    }
}

TEST_F(LzwTest, UnpackerKeepsToItsBuffers) {
    const Bytes data = text(5000);
    const Bytes full = pack(2, data);
    Bytes out;
    // Ends early: refused, since the rest of the destination would be whatever was there; what
    // was decoded is the data's start and nothing else is touched.
    Bytes cut(full.begin(), full.begin() + 5 + 1000);
    EXPECT_EQ(unpack(cut, out), 0);
    const size_t decoded = std::find(out.begin(), out.end(), 0xEE) - out.begin();
    EXPECT_GT(decoded, 1000u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + decoded),
              Bytes(data.begin(), data.begin() + decoded));
    EXPECT_EQ(Bytes(out.begin() + decoded, out.end()), Bytes(out.size() - decoded, 0xEE));
    // Longer than L, by a whole string or by one byte: refused, and only L bytes land.
    for (uint32_t length : {1000u, static_cast<uint32_t>(data.size() - 1)}) {
        Bytes shorter = full;
        for (int i = 0; i < 4; ++i)
            shorter[1 + i] = static_cast<uint8_t>(length >> (8 * i));
        EXPECT_EQ(unpack(shorter, out), 0) << length;
        EXPECT_EQ(out, Bytes(data.begin(), data.begin() + length)) << length;
    }
    Bytes empty = block(2, 0, {});
    EXPECT_EQ(unpack(empty, out), 1);
    // Malformed streams fail, whatever they wrote stays within L.
    StreamWriter bad;
    bad.code('a').code('b').code(400);
    EXPECT_EQ(unpack(block(2, 50, bad.bytes), out), 0);
    EXPECT_EQ(unpack(block(3, 50, StreamWriter().code(256).bytes), out), 0);
}

} // namespace
} // namespace vantrel::testing
