// The LZW code stream of .Z files (without the 3-byte magic): codes of 9 to 16 bits, least
// significant bit first, in groups of eight codes; block mode with ratio-driven CLEAR.
//
// A pure codec: the caller owns every table and every output byte, nothing here allocates,
// traces or keeps state between calls. The library's packer and the vpack tool both use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::lzw {

constexpr uint32_t kClear = 256, kFirstFree = 257, kFreeLimit = 65536;
constexpr uint32_t kSuffixBytes = 65536; // suffix table
constexpr uint32_t kStackBytes = 65536;  // output stack: the longest string (65280) + 1 fits
constexpr uint32_t kPrefixEntries = 69001;
constexpr uint32_t kMaxBits = 16;

// Hash table size: 69001, or, when sized, the smallest of compress's table sizes that suits
// the input length (small inputs need little memory).
inline uint32_t hash_size(uint32_t length, bool sized) {
    if (!sized) return 69001;
    if (length < 4096) return 5003;
    if (length < 8192) return 9001;
    if (length < 16384) return 18013;
    if (length < 32768) return 35023;
    if (length < 47000) return 50021;
    return 69001;
}

// A bound on encode()'s result: at most one code of at most two bytes per input byte and per
// CLEAR (one per 10000 input bytes at most), plus up to eight group paddings of at most 16 bytes
// per table generation.
inline uint64_t max_encoded_size(uint64_t length) {
    if (length == 0) return 0;
    const uint64_t clears = length / 10000 + 1;
    return 2 * (length + clears) + 128 * (clears + 1);
}

struct EncoderTables {
    int32_t* hash;   // size entries
    uint16_t* codes; // size entries
    uint32_t size;   // H, from hash_size(length, ...) or larger
};

namespace detail {

// The coder. kFixedSize, when not 0, is the table size as a constant (the common 69001), which
// frees registers in the hot loops.
template <uint32_t kFixedSize>
uint64_t encode(const uint8_t* in, uint32_t length, uint8_t* out, uint64_t capacity,
                int32_t* const hash, uint16_t* const codes, uint32_t size) {
    const uint32_t hsize = kFixedSize ? kFixedSize : size;

    // The hash spreads c over the table: shift it by 8 minus the doublings of H that reach 64K.
    uint32_t hshift = 8;
    for (uint64_t f = hsize; f < 65536; f *= 2)
        --hshift;
    // Empty slots are negative with bits 24..30 clear (the full table keeps a filter there).
    constexpr int kEmptyByte = 0x80;
    constexpr uint32_t kFilterBits = 0x7F000000;
    auto clear_table = [&] { std::memset(hash, kEmptyByte, sizeof(int32_t) * hsize); };
    clear_table();

    // Output. The input goes in chunks, and a chunk starts only where the room left holds all
    // that its bytes can give (one code of at most two bytes each, plus group padding), so the
    // hot loops write without a check. Near the end of the room a chunk is coded into a scratch
    // buffer instead, and only what fits is kept; the rest is counted.
    constexpr uint32_t kChunk = 8192;
    constexpr uint32_t kChunkRoom = 2 * kChunk + 128;
    uint8_t scratch[kChunkRoom];
    const uint64_t room = capacity < max_encoded_size(length) ? capacity : max_encoded_size(length);
    uint8_t* const out_end = out + static_cast<uintptr_t>(room);
    uint8_t* wp = out;   // where the next kept byte goes
    uint8_t* base = out; // start of the current chunk's bytes (out, or the scratch buffer)
    uint8_t* op = out;   // next byte of the current chunk
    uint64_t before = 0; // bytes counted before base
    auto begin_chunk = [&] {
        if (out_end - wp >= static_cast<ptrdiff_t>(kChunkRoom)) {
            base = op = wp;
        } else {
            base = op = scratch;
        }
    };
    auto end_chunk = [&] {
        const auto made = static_cast<uint64_t>(op - base);
        if (base == scratch) {
            const auto left = static_cast<uint64_t>(out_end - wp);
            const auto kept = static_cast<size_t>(made < left ? made : left);
            std::memcpy(wp, scratch, kept);
            wp += kept;
        } else {
            wp += made;
        }
        before += made;
        base = op;
    };

    // Bits gather in a 32-bit accumulator (fewer than 16 pending between codes) and leave two
    // bytes at a time. A group is 8 codes of n bits, whole bytes.
    uint32_t acc = 0;
    uint32_t pending = 0;
    uint32_t n = 9;
    uint32_t maxcode = 511;
    uint32_t free_code = kFirstFree;

    auto put = [&](uint32_t code) {
        acc |= code << pending;
        pending += n;
        if (pending >= 16) {
            op[0] = static_cast<uint8_t>(acc);
            op[1] = static_cast<uint8_t>(acc >> 8);
            op += 2;
            acc >>= 16;
            pending -= 16;
        }
    };
    // The group in progress, holding group_codes codes, goes out as n whole bytes, zero padded.
    auto end_group = [&](uint32_t group_codes) {
        if (group_codes == 0) return;
        for (uint32_t bits = pending + (8 - group_codes) * n; bits >= 8; bits -= 8) {
            *op++ = static_cast<uint8_t>(acc);
            acc >>= 8;
        }
        acc = 0;
        pending = 0;
    };
    // While the table fills, every code is followed by a new entry, so the codes since the last
    // group boundary follow from the free code (width changes fall on multiples of 8 codes):
    // after the code output at free code f, the group holds (f - 256) mod 8 of them.
    auto fill_group_codes = [&] { return (free_code - 256) & 7; };
    auto widen = [&]() {
        end_group(fill_group_codes());
        ++n;
        maxcode = n == kMaxBits ? kFreeLimit : (1u << n) - 1;
    };

    // With a full table, CLEAR when the ratio of input to output has stopped improving.
    // out_count counts the bytes of the groups completed so far.
    uint64_t ratio = 0;
    uint32_t checkpoint = 10000;
    uint32_t full_group_codes = 0; // codes in the group while the table is full
    auto check_ratio = [&](uint32_t in_count) {
        checkpoint = in_count + 10000;
        const uint64_t bits = 8 * (before + static_cast<uint64_t>(op - base)) + pending;
        const uint64_t out_count = (bits - full_group_codes * n) / 8;
        // Unsigned, so that inputs past 2 GiB do not turn the ratio negative.
        uint64_t rat;
        if (in_count > 0x7FFFFF) {
            const uint64_t r = out_count >> 8;
            rat = r == 0 ? 0x7FFFFFFF : in_count / r;
        } else {
            rat = out_count == 0 ? 0x7FFFFFFF : (uint64_t{in_count} << 8) / out_count;
        }
        if (rat > 0x7FFFFFFF) rat = 0x7FFFFFFF;
        if (rat > ratio) {
            ratio = rat;
            return false;
        }
        ratio = 0;
        clear_table();
        free_code = kFirstFree;
        put(kClear);
        end_group((full_group_codes + 1) & 7);
        n = 9;
        maxcode = 511;
        return true;
    };

    // Once the table is full it stays as it is until CLEAR. Most lookups now miss, and a miss
    // would walk a long chain: note in bits 24..30 of hash[e] which groups of following bytes the
    // string e has entries for, and skip the walk when there are none. (A table that can fill
    // has at least 69001 slots, so every code e has its slot.)
    auto bucket_bit = [](uint32_t c) { return uint32_t{0x01000000} << ((c * 7) >> 8); };
    auto build_filter = [&] {
        for (uint32_t s = 0; s < hsize; ++s) {
            const int32_t h = hash[s];
            if (h >= 0)
                hash[h & 0xFFFF] |= static_cast<int32_t>(bucket_bit(uint32_t(h) >> 16 & 0xFF));
        }
    };

    const uint8_t* ip = in;
    const uint8_t* const end = in + length;
    uint32_t ent = *ip++;
    bool full = false;
    while (ip != end) {
        begin_chunk();
        const uint8_t* const chunk_end =
            static_cast<uint32_t>(end - ip) > kChunk ? ip + kChunk : end;
        while (ip != chunk_end) {
            while (ip != chunk_end && !full) {
                // Filling the table: compress's hash and probe, a new code for every miss.
                const uint32_t c = *ip++;
                const auto fcode = static_cast<int32_t>((c << 16) + ent);
                uint32_t i = (c << hshift) ^ ent;
                // With a sized table ent can outgrow H; fold the index rather than leave the table.
                if (i >= hsize) i %= hsize;
                int32_t h = hash[i];
                uint32_t k = codes[i];
                if (h == fcode) {
                    ent = k;
                    continue;
                }
                // The first slot is free only when negative; further ones also when 0 (the pair
                // 0,0 ends a chain, as in compress).
                if (h >= 0) {
                    const uint32_t disp = i == 0 ? 1 : hsize - i;
                    do {
                        i = i >= disp ? i - disp : i - disp + hsize;
                        h = hash[i];
                    } while (h != fcode && h > 0);
                    if (h == fcode) {
                        ent = codes[i];
                        continue;
                    }
                }
                put(ent);
                if (free_code > maxcode) [[unlikely]]
                    widen();
                ent = c;
                codes[i] = static_cast<uint16_t>(free_code);
                hash[i] = fcode;
                if (++free_code == kFreeLimit) [[unlikely]] {
                    full = true;
                    full_group_codes = (kFreeLimit - 1 - 256) & 7;
                    build_filter();
                }
            }
            while (ip != chunk_end && full) {
                const uint32_t c = *ip++;
                const auto fcode = static_cast<int32_t>((c << 16) + ent);
                uint32_t i = (c << hshift) ^ ent;
                if (i >= hsize) i %= hsize;
                int32_t h = hash[i] & ~int32_t{kFilterBits};
                uint32_t k = codes[i];
                if (h == fcode) {
                    ent = k;
                    continue;
                }
                if (h >= 0 && (hash[ent] & bucket_bit(c))) {
                    const uint32_t disp = i == 0 ? 1 : hsize - i;
                    do {
                        i = i >= disp ? i - disp : i - disp + hsize;
                        h = hash[i] & ~int32_t{kFilterBits};
                    } while (h != fcode && h > 0);
                    if (h == fcode) {
                        ent = codes[i];
                        continue;
                    }
                }
                put(ent);
                full_group_codes = (full_group_codes + 1) & 7;
                ent = c;
                const auto in_count = static_cast<uint32_t>(ip - in);
                if (in_count >= checkpoint) [[unlikely]] {
                    if (check_ratio(in_count)) full = false;
                }
            }
        }
        end_chunk();
    }
    begin_chunk();
    put(ent);
    if (!full && free_code > maxcode) widen();
    // The last group only as far as it holds code bits.
    for (; pending > 0; pending = pending > 8 ? pending - 8 : 0) {
        *op++ = static_cast<uint8_t>(acc);
        acc >>= 8;
    }
    end_chunk();
    return before;
}

} // namespace detail

// Writes the code stream to out as far as it fits in capacity and counts all of it; returns
// the counted size (even past capacity). No 0-for-no-gain rule here. Returns 0 for an empty
// input, and for a hash table smaller than hash_size(length, true), which could fill up.
inline uint64_t encode(const uint8_t* in, uint32_t length, uint8_t* out, uint64_t capacity,
                       const EncoderTables& t) {
    if (length == 0 || t.size < hash_size(length, true)) return 0;
    if (t.size == 69001)
        return detail::encode<69001>(in, length, out, capacity, t.hash, t.codes, 0);
    return detail::encode<0>(in, length, out, capacity, t.hash, t.codes, t.size);
}

struct DecoderTables {
    uint8_t* suffix_and_stack; // kSuffixBytes of suffixes, then kStackBytes of output stack
    uint16_t* prefix;          // kPrefixEntries entries
};

enum class Decoded { complete, malformed };

// Decodes a whole payload; calls sink(const uint8_t* bytes, uint32_t count) -> bool for each
// string in output order (a sink returning false stops decoding with success). The bytes are
// valid until the sink returns.
//
// The end of the payload ends the data, wherever it falls (mid-code, at a group boundary, after
// a width change): complete. malformed, after the sink got everything before the fault, for: a
// first code above 255 (CLEAR included) and a code above the next free code (so a code right
// after CLEAR must be a byte). That one check per code keeps every string chain inside the
// table and strictly descending, so chains end and no string outgrows the stack.
template <class Sink>
Decoded decode(const uint8_t* in, uint32_t length, const DecoderTables& t, Sink&& sink) {
    uint8_t* const suffix = t.suffix_and_stack;
    uint8_t* const stack_top = t.suffix_and_stack + kSuffixBytes + kStackBytes;
    uint16_t* const prefix = t.prefix;
    for (uint32_t v = 0; v < 256; ++v) {
        prefix[v] = 0;
        suffix[v] = static_cast<uint8_t>(v);
    }

    uint32_t n = 9;
    uint32_t maxcode = 511;
    bool clear = false;
    // Start as if right after a CLEAR: the first code then makes entry 256 (never referenced,
    // 256 being CLEAR) and leaves the state the first code of compress leaves.
    uint32_t free_code = kClear;
    uint32_t oldcode = 0;
    uint32_t finchar = 0;
    uint8_t copy[kMaxBits + 4];
    uint32_t pos = 0;

    for (;;) {
        // A new group: at the start, after CLEAR, and when the width grows.
        if (free_code > maxcode) {
            ++n;
            maxcode = n == kMaxBits ? kFreeLimit : (1u << n) - 1;
        }
        if (clear) {
            n = 9;
            maxcode = 511;
            clear = false;
        }
        const uint32_t avail = length - pos;
        if (avail == 0) return Decoded::complete;
        const uint32_t group_bytes = avail < n ? avail : n;
        const uint8_t* g = in + pos;
        // Codes are read four bytes at a time; near the end, from a zero-padded copy.
        if (avail < n + 4) {
            std::memset(copy, 0, sizeof copy);
            std::memcpy(copy, g, group_bytes);
            g = copy;
        }
        const bool first_group = pos == 0;
        pos += group_bytes;
        const uint32_t count = 8 * group_bytes / n; // codes wholly inside the group
        const uint32_t mask = (1u << n) - 1;

        for (uint32_t k = 0, bit = 0; k < count; ++k, bit += n) {
            uint32_t word;
            std::memcpy(&word, g + (bit >> 3), 4);
            uint32_t code = (word >> (bit & 7)) & mask;

            if (code == kClear) {
                if (first_group && k == 0) return Decoded::malformed;
                free_code = kClear;
                clear = true;
                break; // the rest of the group is padding
            }
            if (code > free_code) return Decoded::malformed;
            const uint32_t incode = code;
            if (code < 256) {
                // A byte: the suffix table holds every byte value at its own index.
                finchar = code;
                if (!sink(static_cast<const uint8_t*>(suffix + code), uint32_t{1}))
                    return Decoded::complete;
            } else {
                uint8_t* sp = stack_top;
                if (code == free_code) { // KwKwK: the string being defined
                    *--sp = static_cast<uint8_t>(finchar);
                    code = oldcode;
                }
                while (code >= 256) {
                    *--sp = suffix[code];
                    code = prefix[code];
                }
                finchar = code;
                *--sp = static_cast<uint8_t>(code);
                if (!sink(static_cast<const uint8_t*>(sp), static_cast<uint32_t>(stack_top - sp)))
                    return Decoded::complete;
            }
            if (free_code < kFreeLimit) {
                prefix[free_code] = static_cast<uint16_t>(oldcode);
                suffix[free_code] = static_cast<uint8_t>(finchar);
                ++free_code;
            }
            oldcode = incode;
            if (free_code > maxcode) break; // wider codes from the next group on
        }
    }
}

struct DecodeResult {
    Decoded status;
    uint64_t written; // bytes stored at out
    bool overflowed;  // the data went on past capacity
};

// decode() into a buffer: stores the data at out, at most capacity bytes (data beyond them is
// dropped, decoding stops there, successfully, and overflowed tells). Bytes past those written
// are left as they were.
inline DecodeResult decode_into(const uint8_t* in, uint32_t length, const DecoderTables& t,
                                uint8_t* out, uint64_t capacity) {
    uint8_t* op = out;
    size_t room = capacity < SIZE_MAX ? static_cast<size_t>(capacity) : SIZE_MAX;
    bool overflowed = false;
    auto sink = [&](const uint8_t* s, uint32_t count) {
        if (count > room) {
            std::memcpy(op, s, room);
            op += room;
            room = 0;
            overflowed = true;
            return false;
        }
        room -= count;
        // Strings are mostly short: fixed-size moves, overlapping, beat a call to memcpy.
        if (count < 4) {
            op[0] = s[0];
            op[count / 2] = s[count / 2];
            op[count - 1] = s[count - 1];
        } else if (count < 8) {
            std::memcpy(op, s, 4);
            std::memcpy(op + count - 4, s + count - 4, 4);
        } else if (count <= 16) {
            std::memcpy(op, s, 8);
            std::memcpy(op + count - 8, s + count - 8, 8);
        } else {
            std::memcpy(op, s, count);
        }
        op += count;
        return true;
    };
    const Decoded status = decode(in, length, t, sink);
    return {status, static_cast<uint64_t>(op - out), overflowed};
}

} // namespace vantrel::lzw
