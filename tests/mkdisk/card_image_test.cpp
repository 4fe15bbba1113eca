// Card images: where a cut or wrong image is caught, and that a description gives back the very
// bytes it was printed from.
#include "card_image.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using mkdisk::CardHeader;
using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kHeader{5, 0, 0, 0x21};

std::optional<Bytes> no_files(const std::string&) {
    return std::nullopt;
}

mkdisk::CardImage read(const std::string& text, const mkdisk::CardFileReader& files = no_files) {
    return mkdisk::read_card_description(text, "card.txt", files);
}

TEST(CardImage, TheFirstProblemIsFoundWhereItIs) {
    struct Case {
        Bytes bytes;
        std::string problem;
        size_t offset;
        CardHeader header;
        size_t records;
    };
    const Case cases[] = {
        {{}, "at offset 0: the format byte is missing", 0, CardHeader::none, 0},
        {{5}, "the reserved byte is missing", 1, CardHeader::format, 0},
        {{5, 0}, "the text length is missing", 2, CardHeader::reserved, 0},
        {{5, 0, 3, 'a'}, "2 of its 3 text bytes missing", 4, CardHeader::reserved, 0},
        {{5, 0, 0}, "the target byte is missing", 3, CardHeader::text, 0},
        // A wrong format is the first problem even when the header is cut after it.
        {{6, 0, 0},
         "has format 6 (offset 0); the desk takes only format 5",
         0,
         CardHeader::text,
         0},
        {kHeader + Bytes{2}, "record 1 (after L, offset 4): A and B are missing", 5,
         CardHeader::all, 0},
        {kHeader + Bytes{2, 1}, "(after A, offset 4): B is missing", 6, CardHeader::all, 0},
        {kHeader + Bytes{2, 1, 0}, "(after B = 0, offset 4): B' is missing", 7, CardHeader::all, 0},
        {kHeader + Bytes{2, 1, 3, 9}, "inside its data, offset 4): 1 of its 2 data bytes missing",
         8, CardHeader::all, 0},
        // L = 0 is 256 bytes, and a record of zeros holds none.
        {kHeader + Bytes{0, 1, 0, 7} + Bytes{0, 1, 3} + Bytes(255, 1),
         "record 2 (inside its data, offset 8): 1 of its 256", 266, CardHeader::all, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        const mkdisk::CardParse parsed = mkdisk::parse_card_image(c.bytes);
        ASSERT_TRUE(parsed.problem);
        EXPECT_THAT(parsed.problem->text, HasSubstr(c.problem));
        EXPECT_EQ(parsed.problem->offset, c.offset);
        EXPECT_EQ(parsed.header, c.header);
        EXPECT_EQ(parsed.image.records.size(), c.records);
    }
}

TEST(CardImage, WholeImagesComeBackByteForByteThroughTheirDescription) {
    Bytes every_byte;
    for (int i = 0; i < 255; ++i)
        every_byte.push_back(static_cast<uint8_t>(255 - i));
    const Bytes images[] = {
        kHeader, kHeader + Bytes{3, 1, 2, 0xff, 0, 0x7f},
        kHeader + Bytes{0, 9, 9} + Bytes(256, 0xaa) + Bytes{0, 1, 0, 0} + Bytes{1, 0, 0, 0x50},
        // Text that needs escapes: '\', '#', a leading and a last blank, control bytes.
        Bytes{5, 0x33, 7, ' ', '\\', '#', 0, '\r', '\n', ' ', 0x40},
        Bytes{5, 0, 255} + every_byte + Bytes{0, 1, 2, 3, 4},
        Bytes{4, 0, 0, 0x21, 1, 2, 3, 4}, // whole, but a format the desk refuses
    };
    for (const Bytes& bytes : images) {
        SCOPED_TRACE(::testing::PrintToString(bytes));
        const mkdisk::CardParse parsed = mkdisk::parse_card_image(bytes);
        ASSERT_TRUE(parsed.whole);
        EXPECT_EQ(parsed.problem.has_value(), bytes[0] != 5);
        const std::string description = mkdisk::print_card_description(parsed.image);
        EXPECT_EQ(mkdisk::write_card_image(read(description)), bytes) << description;
    }
}

TEST(CardImage, DescriptionsBuildRecords) {
    const auto files = [](const std::string& name) -> std::optional<Bytes> {
        if (name == "fw.bin") return Bytes(600, 0x11);
        if (name == "one.bin") return Bytes(256, 0x22);
        return std::nullopt;
    };
    const Bytes bytes = mkdisk::write_card_image(read("\r\n"
                                                      "  # the loader\r\n"
                                                      "text  two blanks # kept\r\n"
                                                      "block a=1 b=2 file=fw.bin  # in three\r\n"
                                                      "target 0x21\r\n"
                                                      "zeros b=0X07 length=256 a=3\r\n"
                                                      "block a=4 b=5 file=one.bin\r\n",
                                                      files));
    const mkdisk::CardParse parsed = mkdisk::parse_card_image(bytes);
    ASSERT_FALSE(parsed.problem);
    const mkdisk::CardImage& image = parsed.image;
    EXPECT_EQ(image.format, 5);
    EXPECT_EQ(std::string(image.text.begin(), image.text.end()), " two blanks # kept");
    ASSERT_EQ(image.records.size(), 5u);
    std::vector<int> lengths;
    for (const auto& r : image.records)
        lengths.push_back(r.length);
    EXPECT_EQ(lengths, (std::vector<int>{0, 0, 88, 0, 0}));
    EXPECT_EQ(image.records[2].data, Bytes(88, 0x11));
    EXPECT_TRUE(image.records[3].zeros());
    EXPECT_EQ(image.records[3].zero_b, 7);
    EXPECT_EQ(image.records[4].data, Bytes(256, 0x22));
}

TEST(CardImage, DescriptionErrorsNameTheLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"text x\n", "card.txt:1: the description has no 'target' line"},
        {"target 256\n", "card.txt:1: target must be a number from 0 to 255"},
        {"target 0x\n", "card.txt:1: target must be a number"},
        {"target 1\ntarget 2\n", "card.txt:2: a second 'target' line"},
        {"target 1\nblock a=1 b=0 data=00\n", "card.txt:2: b must not be 0"},
        {"target 1\nblock a=1 b=2 data=\n", "data must be 1 to 256 bytes"},
        {"target 1\nblock a=1 b=2 data=" + std::string(514, '0') + "\n",
         "data must be 1 to 256 bytes"},
        {"target 1\nblock a=1 b=2 data=0g\n", "data holds '0g', not hex"},
        {"target 1\nblock a=1 b=2 data=012\n", "two hex digits a byte"},
        {"target 1\nblock a=1 b=2\n", "give one of 'data=' and 'file='"},
        {"target 1\nblock a=1 b=2 data=01 file=x\n", "give one of"},
        {"target 1\nblock a=1 data=01\n", "'b=' is missing"},
        {"target 1\nblock a=1 b=1 c=1 data=01\n", "unknown key 'c'"},
        {"target 1\nblock a=1 b=2 file=gone.bin\n", "card.txt:2: cannot read gone.bin"},
        {"target 1\nzeros a=1 b=2 length=0\n", "length must be 1 to 256"},
        {"target 1\nzeros a=1 b=2 length=257\n", "length must be a number from 0 to 256"},
        {"target 1\ntext " + std::string(256, 'x') + "\n", "card.txt:2: the text is 256 bytes"},
        {"target 1\ntext a\\qb\n", "a '\\' that is neither"},
        {"target 1\ntext a\\x4\n", "a '\\' that is neither"},
        {"target 1\n\nframe 2\n", "card.txt:3: 'frame' is not a line"},
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        try {
            read(text);
            ADD_FAILURE() << "read";
        } catch (const mkdisk::CardDescriptionError& e) {
            EXPECT_THAT(e.what(), HasSubstr(error));
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
    }
}

} // namespace
