// The checksum and the compare that COPY relies on, against the plain definitions, at the
// lengths where their word-wide loops hand over to a byte tail or fold their lanes.
#include "filecmds/filecmds.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace tolvanex {
namespace {

constexpr uint32_t kLengths[] = {1, 3, 15, 16, 17, 511, 512, 513, 4095, 4096, 4097, 70001};

std::vector<uint8_t> pattern(uint32_t n, uint8_t fill) {
    std::vector<uint8_t> bytes(n, fill);
    if (fill == 0)
        for (uint32_t i = 0; i < n; ++i)
            bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    return bytes;
}

TEST(ChecksumBytesTest, IsTheByteSumModulo256) {
    // All 0xFF fills every lane to the top between folds.
    for (const uint8_t fill : {uint8_t{0}, uint8_t{0xFF}})
        for (const uint32_t n : kLengths) {
            const std::vector<uint8_t> bytes = pattern(n, fill);
            const auto sum = static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
            EXPECT_EQ(ChecksumBytes(bytes.data(), n), sum) << "fill " << int{fill} << ", " << n;
        }
}

TEST(CompareBytesTest, FindsADifferenceAnywhere) {
    for (const uint32_t n : kLengths) {
        const std::vector<uint8_t> a = pattern(n, 0);
        EXPECT_EQ(CompareBytes(a.data(), a.data(), n), 1) << n;
        for (const uint32_t at : {0u, n / 2, n - 1}) {
            std::vector<uint8_t> b = a;
            b[at] ^= 0x80;
            EXPECT_EQ(CompareBytes(a.data(), b.data(), n), 0) << n << " at " << at;
        }
    }
    const uint8_t byte = 1;
    EXPECT_EQ(CompareBytes(&byte, &byte, 0), 0);
    EXPECT_EQ(CompareBytes(nullptr, &byte, 1), 0);
}

} // namespace
} // namespace tolvanex
