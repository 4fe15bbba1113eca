// Method 1 of packed blocks: static Huffman coding of bytes. The packer builds the code tree
// with the key tree as its priority queue and writes the tree as a table of 16-bit words; the
// unpacker decodes several bits per step from a lookup table built from that word table.
#include "core/library.hpp"
#include "data/pack.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace vantrel::pack {

namespace {

constexpr uint32_t kPackId = 0x100092D0;
constexpr uint32_t kUnpackId = 0x100092F0;
constexpr uint32_t kByteCountId = 0x10009210;
constexpr uint32_t kSetParentsId = 0x10009220;
constexpr uint32_t kFreeTreeId = 0x10009230;
constexpr uint32_t kCodeOfSymbolId = 0x10009280;
constexpr uint32_t kTableWriterId = 0x100092A0;
constexpr uint32_t kBuildTreeId = 0x100092B0;
constexpr uint32_t kEncodeId = 0x100092C0;
constexpr uint32_t kDecodeId = 0x100092E0;

constexpr uint16_t kInnerBit = 0x8000;
constexpr uint32_t kMaxLeaves = 256;
constexpr uint32_t kMaxNodes = 2 * kMaxLeaves - 1;
constexpr uint32_t kTableRoom = 1024;
constexpr uint32_t kMaxCodeBits = 320; // 40 bytes; a code is at most 255 bits

#pragma pack(push, 1)
struct HuffmanNode {
    KeyTreeNode queue; // key = weight
    uint8_t inner;
    uint8_t symbol;
    uint32_t weight;
    HuffmanNode* zero;
    HuffmanNode* one;
    HuffmanNode* parent;
};
#pragma pack(pop)

struct Code {
    uint16_t length = 0;
    uint8_t bits[kMaxCodeBits / 8]{}; // most significant bit first
};

// Everything the packer keeps in its own frame.
struct PackFrame {
    uint32_t counts[kMaxLeaves]{};
    Code codes[kMaxLeaves];
    uint16_t table[kTableRoom]{};
    uint32_t words = 0;
    HuffmanNode* nodes[kMaxNodes]{};
    uint32_t node_count = 0;
    HuffmanNode* leaf_of[kMaxLeaves]{};
    HuffmanNode* root = nullptr;
};

void count_bytes(const uint8_t* source, uint32_t length, uint32_t* counts) {
    TraceScope trace(kByteCountId);
    // Four tables in turn: a run of one value would otherwise wait on its own count each byte.
    uint32_t lanes[4][kMaxLeaves]{};
    uint32_t i = 0;
    for (; i + 4 <= length; i += 4) {
        ++lanes[0][source[i]];
        ++lanes[1][source[i + 1]];
        ++lanes[2][source[i + 2]];
        ++lanes[3][source[i + 3]];
    }
    for (; i < length; ++i)
        ++lanes[0][source[i]];
    for (uint32_t v = 0; v < kMaxLeaves; ++v)
        counts[v] += lanes[0][v] + lanes[1][v] + lanes[2][v] + lanes[3][v];
}

HuffmanNode* new_node(PackFrame& f, uint32_t weight) {
    auto* node = static_cast<HuffmanNode*>(exec()->EXEC_MEMFarMalloc(sizeof(HuffmanNode), kOwner));
    if (!node) return nullptr;
    std::memset(node, 0, sizeof *node);
    exec()->EXEC_TREEInitNode(&node->queue, weight);
    node->weight = weight;
    f.nodes[f.node_count++] = node;
    return node;
}

void free_tree(PackFrame& f) {
    TraceScope trace(kFreeTreeId);
    for (uint32_t i = 0; i < f.node_count; ++i)
        exec()->EXEC_MEMFarFree(f.nodes[i], kOwner);
    f.node_count = 0;
    f.root = nullptr;
}

// Repeatedly joins the two lightest nodes; the lighter (or, among equals, the older) becomes the
// 1-child. False when a node cannot be allocated.
bool build_tree(PackFrame& f) {
    TraceScope trace(kBuildTreeId);
    KeyTree queue;
    exec()->EXEC_TREEInit(&queue);
    for (uint32_t v = 0; v < kMaxLeaves; ++v) {
        if (!f.counts[v]) continue;
        HuffmanNode* leaf = new_node(f, f.counts[v]);
        if (!leaf) return false;
        leaf->symbol = static_cast<uint8_t>(v);
        f.leaf_of[v] = leaf;
        exec()->EXEC_TREEInsert(&queue, &leaf->queue);
    }
    for (;;) {
        auto* a = reinterpret_cast<HuffmanNode*>(exec()->EXEC_TREEFirst(&queue));
        if (!a) break;
        auto* b = reinterpret_cast<HuffmanNode*>(exec()->EXEC_TREENext(&a->queue));
        if (!b) {
            f.root = a;
            break;
        }
        HuffmanNode* inner = new_node(f, a->weight + b->weight);
        if (!inner) return false;
        inner->inner = 1;
        inner->one = a;
        inner->zero = b;
        exec()->EXEC_TREEInsert(&queue, &inner->queue);
        exec()->EXEC_TREERemove(&queue, &a->queue);
        exec()->EXEC_TREERemove(&queue, &b->queue);
    }
    return true;
}

void set_parents(PackFrame& f) {
    TraceScope trace(kSetParentsId);
    f.root->parent = nullptr;
    for (uint32_t i = 0; i < f.node_count; ++i) {
        HuffmanNode* n = f.nodes[i];
        if (!n->inner) continue;
        n->one->parent = n;
        n->zero->parent = n;
    }
}

// The branch bits from the root down to the symbol's leaf.
void make_codes(PackFrame& f) {
    TraceScope trace(kCodeOfSymbolId);
    for (uint32_t v = 0; v < kMaxLeaves; ++v) {
        Code& code = f.codes[v];
        const HuffmanNode* leaf = f.leaf_of[v];
        if (!leaf) continue;
        uint16_t depth = 0;
        for (const HuffmanNode* n = leaf; n->parent; n = n->parent)
            ++depth;
        code.length = depth;
        uint16_t bit = depth;
        for (const HuffmanNode* n = leaf; n->parent; n = n->parent) {
            --bit;
            if (n->parent->one == n) code.bits[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
        }
    }
}

// Pre-order: a leaf is its symbol; an inner node is two words (its 1-child's index, then its
// 0-child's), with the 1-child's subtree right after them. Depth is at most 255.
uint32_t write_table(PackFrame& f, const HuffmanNode* node, uint32_t at) {
    if (!node->inner) {
        f.table[at] = node->symbol;
        return at + 1;
    }
    f.table[at] = static_cast<uint16_t>(kInnerBit | (at + 2));
    const uint32_t zero_at = write_table(f, node->one, at + 2);
    f.table[at + 1] = static_cast<uint16_t>(kInnerBit | zero_at);
    return write_table(f, node->zero, zero_at);
}

void store_big_endian(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

// Writes the codes MSB first into the stream_bytes bytes at out. Bits past the last code in its
// byte are left as they were.
void encode(const PackFrame& f, const uint8_t* source, uint32_t length, uint8_t* out,
            uint32_t stream_bytes) {
    TraceScope trace(kEncodeId);
    if (stream_bytes == 0) return; // one distinct value: every code is empty
    // The pending bits are the low ones of a word, fewer than 8 between symbols; the bits above
    // them belong to bytes already written.
    uint32_t pending = 0;
    uint32_t used = 0;
    auto put = [&](uint32_t value, uint32_t bits) {
        pending = pending << bits | value;
        used += bits;
        for (; used >= 8; used -= 8)
            *out++ = static_cast<uint8_t>(pending >> (used - 8));
    };
    auto put_symbol = [&](uint8_t v) {
        const Code& code = f.codes[v];
        for (uint32_t bit = 0; bit < code.length; bit += 8) {
            const uint32_t take = std::min<uint32_t>(8, code.length - bit);
            put(code.bits[bit / 8] >> (8 - take), take);
        }
    };
    // Codes of up to 12 bits (nearly all of them) as value << 8 | length, in one load; two of
    // them always fit the word with the pending bits. Longer ones are marked and go out through
    // put_symbol.
    constexpr uint32_t kPairBits = 12;
    constexpr uint32_t kLongCode = 0x80000000;
    uint32_t short_codes[kMaxLeaves];
    for (uint32_t v = 0; v < kMaxLeaves; ++v) {
        const Code& code = f.codes[v];
        const uint32_t first_bits = code.bits[0] << 8 | code.bits[1];
        short_codes[v] = code.length > kPairBits
                             ? kLongCode
                             : (first_bits >> (16 - code.length)) << 8 | code.length;
    }
    // Two symbols join the pending bits, and all four bytes of the word they fill from the top
    // are stored, of which the whole ones stay: a pair moves out at most three bytes. The pairs
    // whose stores stay clear of the stream's last byte (whose padding bits are kept) are
    // counted first and run without checks but for a long code, which ends the run.
    const uint8_t* in = source;
    const uint8_t* const in_end = source + length;
    uint8_t* const last = out + stream_bytes - 1;
    for (;;) {
        const auto room = static_cast<size_t>(last - out); // a pair needs 4
        const size_t fit = room >= 4 ? (room - 4) / 3 + 1 : 0;
        const size_t pairs = std::min(fit, static_cast<size_t>(in_end - in) / 2);
        if (pairs == 0) break;
        const uint8_t* const run_end = in + 2 * pairs;
        for (; in != run_end; in += 2) {
            const uint32_t a = short_codes[in[0]];
            const uint32_t b = short_codes[in[1]];
            if ((a | b) & kLongCode) break;
            pending = pending << (a & 0xFF) | a >> 8;
            pending = pending << (b & 0xFF) | b >> 8;
            used += (a & 0xFF) + (b & 0xFF);
            store_big_endian(out, pending << (32 - used));
            out += used / 8;
            used %= 8;
        }
        if (in != run_end) {
            put_symbol(in[0]);
            put_symbol(in[1]);
            in += 2;
        }
    }
    while (in != in_end)
        put_symbol(*in++);
    if (used) {
        const uint8_t kept = static_cast<uint8_t>(0xFF >> used);
        *out = static_cast<uint8_t>((*out & kept) | pending << (8 - used));
    }
}

// --- Unpacking ---

constexpr uint32_t kLookupBits = 12;
constexpr uint32_t kLookupSize = 1u << kLookupBits;

// One entry per kLookupBits-bit window: the one or two codes that end within it, or the inner
// node reached after the whole window when the first code is longer. Four bytes, so that the
// decoding loop takes an entry in one load; count and bits first, where i386 reads them from the
// loaded word's low bytes without shifting.
struct LookupEntry {
    uint8_t count;      // symbols decoded by the entry
    uint8_t bits;       // bits they take (count 0: none, see decode())
    uint8_t symbols[2]; // count 1 or 2: the symbols, stored two at a time; count 0: the node
    uint32_t node() const { return symbols[0] | symbols[1] << 8; }
};

struct Lookup {
    std::array<LookupEntry, kLookupSize> entries;
    std::array<uint8_t, kLookupSize> first_bits; // bits of each entry's first symbol alone
};

struct Table {
    const uint8_t* words;
    uint32_t size;
    uint16_t word(uint32_t i) const {
        return static_cast<uint16_t>(words[2 * i] | words[2 * i + 1] << 8);
    }
    // A child must lie after its node and inside the table; otherwise walks could loop or leave
    // the table.
    bool child(uint32_t node, uint32_t which, uint32_t& out) const {
        if (node + 1 >= size) return false;
        const uint16_t w = word(node + which);
        if (!(w & kInnerBit)) return false;
        out = w & 0x7FFFu;
        return out > node && out < size;
    }
    bool leaf(uint32_t node, uint8_t& symbol) const {
        const uint16_t w = word(node);
        if (w & kInnerBit) return false;
        if (w > 0xFF) return false;
        symbol = static_cast<uint8_t>(w);
        return true;
    }
};

// Fills the entries under prefix (depth bits long) below node with the first code each window
// starts with. False for a malformed table.
bool fill_lookup(const Table& t, Lookup& lookup, uint32_t node, uint32_t prefix, uint32_t depth) {
    const uint16_t w = t.word(node);
    const uint32_t first = prefix << (kLookupBits - depth);
    if (!(w & kInnerBit)) {
        if (w > 0xFF) return false;
        const uint32_t span = 1u << (kLookupBits - depth);
        const auto bits = static_cast<uint8_t>(depth);
        for (uint32_t i = first; i < first + span; ++i) {
            lookup.entries[i] = {1, bits, {static_cast<uint8_t>(w), 0}};
            lookup.first_bits[i] = bits;
        }
        return true;
    }
    if (depth == kLookupBits) { // the rest of the code is walked bit by bit, checked there
        lookup.entries[first] = {
            0, 0, {static_cast<uint8_t>(node), static_cast<uint8_t>(node >> 8)}};
        lookup.first_bits[first] = kLookupBits;
        return true;
    }
    uint32_t one, zero;
    if (!t.child(node, 0, one) || !t.child(node, 1, zero)) return false;
    return fill_lookup(t, lookup, one, prefix << 1 | 1, depth + 1) &&
           fill_lookup(t, lookup, zero, prefix << 1, depth + 1);
}

// Adds to each entry the second code where it too ends within the window. The entry for the
// bits after the first code tells it: the window shifted left, zeros after, starts with the
// same code whenever that code ends before the zeros.
void pair_lookup(Lookup& lookup) {
    constexpr uint32_t kMask = kLookupSize - 1;
    for (uint32_t w = 0; w <= kMask; ++w) {
        LookupEntry& e = lookup.entries[w];
        if (e.count != 1 || e.bits == kLookupBits) continue;
        const uint32_t after = (w << e.bits) & kMask;
        if (lookup.entries[after].count == 0 || e.bits + lookup.first_bits[after] > kLookupBits)
            continue;
        e.symbols[1] = lookup.entries[after].symbols[0];
        e.count = 2;
        e.bits = static_cast<uint8_t>(e.bits + lookup.first_bits[after]);
    }
}

uint32_t load_big_endian(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Decodes length symbols. The stream is read most significant bit first from a byte p and a
// bit position counted from it; past the stream's end it gives zero bits, and a code that used
// them fails the decoding. Far from the end, windows are read four bytes at a time without
// checks.
bool decode(const Table& t, const uint8_t* stream, uint32_t stream_bytes, uint8_t* out,
            uint32_t length) {
    TraceScope trace(kDecodeId);
    uint8_t symbol;
    if (t.leaf(0, symbol)) { // one distinct value: every code is empty
        std::memset(out, symbol, length);
        return true;
    }
    Lookup lookup;
    if (!fill_lookup(t, lookup, 0, 0, 0)) return false;
    pair_lookup(lookup);

    const uint8_t* const end = stream + stream_bytes;
    const uint8_t* p = stream;
    uint32_t pos = 0; // bits after p; p catches up between runs of steps
    auto bytes_left = [&] { return static_cast<size_t>(end - p) - (pos >> 3); };
    // Codes longer than the window: one bit at a time from the entry's node, checking every
    // step. A word without the inner-node bit ends the walk, and must then be a byte, as in the
    // window.
    auto walk = [&](uint32_t node, uint8_t& leaf_symbol) {
        while (t.word(node) & kInnerBit) {
            if (bytes_left() == 0) return false;
            const uint32_t bit = p[pos >> 3] >> (7 - (pos & 7)) & 1;
            ++pos;
            if (!t.child(node, bit ? 0 : 1, node)) return false;
        }
        return t.leaf(node, leaf_symbol);
    };
    uint8_t* o = out;
    uint8_t* const out_end = out + length;
    // Far from both ends, a step reads four bytes and looks up two windows in them (at least 25
    // bits are there past the bit position: 12 for the first, 12 after the first entry's bits),
    // for up to four symbols and at most three bytes of the stream. Runs of steps that stay
    // clear of both ends are counted first and go without checks or branches: an entry for a
    // code longer than the window gives nothing and takes no bits, and ends the run (when the
    // first entry is one, so is the second: the same window). Each run is followed by one checked
    // symbol, which walks such a code; near the ends only checked symbols are left.
    constexpr size_t kRunSteps = 256;
    // One symbol, checking that its bits lie inside the stream; the window is zero padded past
    // the end.
    auto checked_step = [&] {
        p += pos >> 3;
        pos &= 7;
        const auto left = static_cast<size_t>(end - p);
        uint32_t w = 0;
        for (size_t i = 0; i < 4; ++i)
            w = w << 8 | (i < left ? p[i] : 0u);
        const uint32_t window = (w << pos) >> (32 - kLookupBits);
        if (lookup.first_bits[window] > uint64_t{left} * 8 - pos) return false;
        pos += lookup.first_bits[window];
        const LookupEntry& e = lookup.entries[window];
        if (e.count) {
            *o++ = e.symbols[0];
            return true;
        }
        return walk(e.node(), *o++);
    };
    const uint8_t* const fast_end = stream_bytes >= 4 ? end - 4 : stream;
    while (o != out_end) {
        p += pos >> 3;
        pos &= 7;
        const auto out_steps = static_cast<size_t>(out_end - o) / 4;
        const auto in_steps = p < fast_end ? static_cast<size_t>(fast_end - p) / 3 : 0;
        for (size_t steps = std::min({out_steps, in_steps, kRunSteps}); steps > 0;) {
            const uint32_t w = load_big_endian(p + (pos >> 3)) << (pos & 7);
            const LookupEntry first = lookup.entries[w >> (32 - kLookupBits)];
            const LookupEntry second = lookup.entries[(w << first.bits) >> (32 - kLookupBits)];
            std::memcpy(o, first.symbols, 2);
            o += first.count;
            std::memcpy(o, second.symbols, 2);
            o += second.count;
            pos += first.bits + second.bits;
            // A long code (count 0) ends the run without a branch.
            steps = std::min(steps - 1, second.count * kRunSteps);
        }
        if (o != out_end && !checked_step()) return false;
    }
    return true;
}

} // namespace

uint32_t huffman_pack(const uint8_t* source, uint8_t* destination, uint32_t length) {
    TraceScope trace(kPackId);
    PackFrame f;
    count_bytes(source, length, f.counts);
    const bool built = build_tree(f);
    if (!built || !f.root) {
        free_tree(f);
        return 0;
    }
    set_parents(f);
    make_codes(f);
    {
        TraceScope table_trace(kTableWriterId);
        f.words = write_table(f, f.root, 0);
    }
    free_tree(f);
    uint64_t bits = 0;
    for (uint32_t v = 0; v < kMaxLeaves; ++v)
        bits += uint64_t{f.codes[v].length} * f.counts[v];
    const uint64_t stream_bytes = (bits + 7) / 8;
    if (4 + 2 * uint64_t{f.words} + stream_bytes >= length) return 0;
    write_header(destination, kHuffman, length);
    for (int i = 0; i < 4; ++i)
        destination[5 + i] = static_cast<uint8_t>(f.words >> (8 * i));
    for (uint32_t i = 0; i < f.words; ++i) {
        destination[9 + 2 * i] = static_cast<uint8_t>(f.table[i]);
        destination[10 + 2 * i] = static_cast<uint8_t>(f.table[i] >> 8);
    }
    encode(f, source, length, destination + 9 + 2 * f.words, static_cast<uint32_t>(stream_bytes));
    return static_cast<uint32_t>(9 + 2 * f.words + stream_bytes);
}

// The block is checked as it is read: a table or stream that would take the decoder outside the
// block makes the unpacking fail instead.
uint16_t huffman_unpack(const uint8_t* packed, uint8_t* destination, uint32_t packed_length) {
    TraceScope trace(kUnpackId);
    if (packed[0] != kHuffman || packed_length < 9) return 0;
    const uint32_t length = read_length(packed);
    const uint32_t words = packed[5] | packed[6] << 8 | packed[7] << 16 | uint32_t{packed[8]} << 24;
    if (words == 0 || words > (packed_length - 9) / 2) return 0;
    const Table table{packed + 9, words};
    const uint32_t stream_bytes = packed_length - 9 - 2 * words;
    return decode(table, packed + 9 + 2 * words, stream_bytes, destination, length) ? 1 : 0;
}

} // namespace vantrel::pack
