// The library's LZW and Huffman coders built for the host, to time the code itself beside
// compress where the product's i386 programs run under an emulator. The streams are the
// library's: native_bench.sh checks them against vpack's byte for byte.
//   coders z IN OUT      a .Z file of 16-bit codes, as vpack z writes it
//   coders unz IN OUT    the data of such a .Z file, as vpack unz writes it
//   coders huffman IN    method 1 packing and unpacking of IN: MB/s, min/median/max of 7 rounds
#include "data/lzw_codec.hpp"
#include "data/pack.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace lzw = vantrel::lzw;
namespace pack = vantrel::pack;

std::vector<uint8_t> read_file(const char* path) {
    std::vector<uint8_t> data;
    FILE* f = std::fopen(path, "rb");
    if (!f) return data;
    uint8_t chunk[1 << 16];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        data.insert(data.end(), chunk, chunk + got);
    std::fclose(f);
    return data;
}

int z(const char* in_path, const char* out_path) {
    const std::vector<uint8_t> in = read_file(in_path);
    const auto length = static_cast<uint32_t>(in.size());
    const uint32_t hsize = lzw::hash_size(length, false);
    const auto hash = std::make_unique_for_overwrite<int32_t[]>(hsize);
    const auto codes = std::make_unique_for_overwrite<uint16_t[]>(hsize);
    std::vector<uint8_t> out(3 + lzw::max_encoded_size(length));
    out[0] = 0x1F, out[1] = 0x9D, out[2] = 0x80 | lzw::kMaxBits;
    const uint64_t stream = lzw::encode(in.data(), length, out.data() + 3, out.size() - 3,
                                        {hash.get(), codes.get(), hsize});
    FILE* f = std::fopen(out_path, "wb");
    const bool ok = f && std::fwrite(out.data(), 1, 3 + stream, f) == 3 + stream;
    return f && std::fclose(f) == 0 && ok ? 0 : 1;
}

int unz(const char* in_path, const char* out_path) {
    const std::vector<uint8_t> in = read_file(in_path);
    if (in.size() < 3) return 1;
    std::vector<uint8_t> suffix_and_stack(lzw::kSuffixBytes + lzw::kStackBytes + 16);
    std::vector<uint16_t> prefix(lzw::kPrefixEntries);
    constexpr size_t kFlush = size_t{1} << 20;
    std::vector<uint8_t> buffer(kFlush + 16);
    size_t filled = 0;
    FILE* f = std::fopen(out_path, "wb");
    if (!f) return 1;
    const lzw::Decoded result = lzw::decode(in.data() + 3, static_cast<uint32_t>(in.size() - 3),
                                            {suffix_and_stack.data(), prefix.data()},
                                            [&](const uint8_t* bytes, uint32_t count) {
                                                if (count > kFlush - filled) {
                                                    std::fwrite(buffer.data(), 1, filled, f);
                                                    filled = 0;
                                                }
                                                std::memcpy(buffer.data() + filled, bytes, count);
                                                filled += count;
                                                return true;
                                            });
    std::fwrite(buffer.data(), 1, filled, f);
    return std::fclose(f) == 0 && result == lzw::Decoded::complete ? 0 : 1;
}

int huffman(const char* in_path) {
    const std::vector<uint8_t> in = read_file(in_path);
    const auto length = static_cast<uint32_t>(in.size());
    std::vector<uint8_t> block(length + 5), back(length);
    std::vector<double> pack_rates, unpack_rates;
    uint32_t packed = 0;
    for (int round = 0; round < 7; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        packed = pack::huffman_pack(in.data(), block.data(), length);
        const auto t1 = std::chrono::steady_clock::now();
        const bool ok = packed && pack::huffman_unpack(block.data(), back.data(), packed);
        const auto t2 = std::chrono::steady_clock::now();
        if (!ok || back != in) return 1;
        pack_rates.push_back(length / std::chrono::duration<double>(t1 - t0).count() / 1e6);
        unpack_rates.push_back(length / std::chrono::duration<double>(t2 - t1).count() / 1e6);
    }
    for (auto* rates : {&unpack_rates, &pack_rates}) {
        std::sort(rates->begin(), rates->end());
        std::printf("  %-22s %6.0f %6.0f %6.0f\n",
                    rates == &pack_rates ? "pack (bytes in)" : "unpack (bytes out)", rates->front(),
                    (*rates)[rates->size() / 2], rates->back());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "z" && argc == 4) return z(argv[2], argv[3]);
    if (mode == "unz" && argc == 4) return unz(argv[2], argv[3]);
    if (mode == "huffman" && argc == 3) return huffman(argv[2]);
    std::fprintf(stderr, "usage: coders z IN OUT | unz IN OUT | huffman IN\n");
    return 2;
}
