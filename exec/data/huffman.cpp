// Method 1 of packed blocks: static Huffman coding of bytes. The packer builds the code tree
// with the key tree as its priority queue and writes the tree as a table of 16-bit words; the
// unpacker decodes several bits per step from a lookup table built from that word table.
#include "core/library.hpp"
#include "data/pack.hpp"

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
    for (uint32_t i = 0; i < length; ++i)
        ++counts[source[i]];
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

// Writes the codes MSB first. Bits past the last code in its byte are left as they were.
void encode(const PackFrame& f, const uint8_t* source, uint32_t length, uint8_t* out) {
    TraceScope trace(kEncodeId);
    uint32_t accumulator = 0; // pending bits, right-aligned
    uint32_t pending = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const Code& code = f.codes[source[i]];
        for (uint32_t bit = 0; bit < code.length;) {
            // Whole bytes of the code at a time where the accumulator has room.
            const uint32_t take = std::min<uint32_t>(8 - bit % 8, code.length - bit);
            const uint32_t chunk =
                (code.bits[bit / 8] >> (8 - bit % 8 - take)) & ((1u << take) - 1);
            accumulator = accumulator << take | chunk;
            pending += take;
            bit += take;
            if (pending >= 8) {
                pending -= 8;
                *out++ = static_cast<uint8_t>(accumulator >> pending);
            }
        }
    }
    if (pending) {
        const uint8_t kept = static_cast<uint8_t>(0xFF >> pending);
        *out = static_cast<uint8_t>((*out & kept) | (accumulator << (8 - pending)));
    }
}

// --- Unpacking ---

constexpr uint32_t kLookupBits = 11;

// One entry per kLookupBits-bit window: the leaf reached within the window and its code length,
// or the inner node reached after the whole window.
struct LookupEntry {
    uint16_t target; // symbol, or node index when deeper
    uint8_t length;  // bits consumed
    uint8_t leaf;    // 1: target is a symbol
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

// Fills the entries under prefix (depth bits long) below node. False for a malformed table.
bool fill_lookup(const Table& t, LookupEntry* lookup, uint32_t node, uint32_t prefix,
                 uint32_t depth) {
    const uint16_t w = t.word(node);
    if (!(w & kInnerBit)) {
        if (w > 0xFF) return false;
        const uint32_t span = 1u << (kLookupBits - depth);
        for (uint32_t i = 0; i < span; ++i)
            lookup[(prefix << (kLookupBits - depth)) + i] = {w, static_cast<uint8_t>(depth), 1};
        return true;
    }
    if (depth == kLookupBits) { // the rest of the code is walked bit by bit, checked there
        lookup[prefix] = {static_cast<uint16_t>(node), static_cast<uint8_t>(depth), 0};
        return true;
    }
    uint32_t one, zero;
    if (!t.child(node, 0, one) || !t.child(node, 1, zero)) return false;
    return fill_lookup(t, lookup, one, prefix << 1 | 1, depth + 1) &&
           fill_lookup(t, lookup, zero, prefix << 1, depth + 1);
}

// Reads the stream most significant bit first; past its end it gives zero bits, and the caller
// checks that no code used them.
class BitReader {
  public:
    BitReader(const uint8_t* data, uint32_t size) : at_(data), end_(data + size) {}
    uint32_t peek(uint32_t bits) {
        while (count_ <= 24) {
            const uint32_t byte = at_ < end_ ? *at_ : 0;
            ++at_;
            buffer_ |= byte << (24 - count_);
            count_ += 8;
        }
        return buffer_ >> (32 - bits);
    }
    void skip(uint32_t bits) {
        buffer_ <<= bits;
        count_ -= bits;
        consumed_ += bits;
    }
    uint64_t consumed() const { return consumed_; }

  private:
    const uint8_t* at_;
    const uint8_t* end_;
    uint32_t buffer_ = 0;
    uint32_t count_ = 0;
    uint64_t consumed_ = 0;
};

bool decode(const Table& t, BitReader& bits, uint64_t available_bits, uint8_t* out,
            uint32_t length) {
    TraceScope trace(kDecodeId);
    uint8_t symbol;
    if (t.leaf(0, symbol)) { // one distinct value: every code is empty
        std::memset(out, symbol, length);
        return true;
    }
    std::array<LookupEntry, 1u << kLookupBits> lookup;
    if (!fill_lookup(t, lookup.data(), 0, 0, 0)) return false;
    for (uint32_t i = 0; i < length; ++i) {
        const LookupEntry& e = lookup[bits.peek(kLookupBits)];
        bits.skip(e.length);
        if (e.leaf) {
            out[i] = static_cast<uint8_t>(e.target);
        } else {
            // Codes longer than the window: one bit at a time, checking every step. A word
            // without the inner-node bit ends the walk, and must then be a byte, as in the window.
            uint32_t node = e.target;
            while (t.word(node) & kInnerBit) {
                const uint32_t bit = bits.peek(1);
                bits.skip(1);
                if (!t.child(node, bit ? 0 : 1, node)) return false;
                if (bits.consumed() > available_bits) return false;
            }
            if (!t.leaf(node, symbol)) return false;
            out[i] = symbol;
        }
        if (bits.consumed() > available_bits) return false;
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
    encode(f, source, length, destination + 9 + 2 * f.words);
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
    BitReader bits(packed + 9 + 2 * words, stream_bytes);
    return decode(table, bits, uint64_t{stream_bytes} * 8, destination, length) ? 1 : 0;
}

} // namespace vantrel::pack
