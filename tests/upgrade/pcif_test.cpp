// UPLOADPCIF's upload against the desk's card model: the status of each way an upload ends and
// exactly what the card was handed, read back from the card's block log.
#include "../platform/desk_fixture.hpp"

#include "desk/desk.hpp"
#include "engine/program.hpp"

#include <optional>
#include <string>
#include <vector>

namespace tolvanex {
namespace {

using Bytes = std::string;

// What the card log holds for one block; data is compared over its length, the rest of the 256
// bytes must be zero unless the test says otherwise.
struct Block {
    pcplat::CardOutcome outcome;
    uint8_t command, p3, p5, p6, p7;
    Bytes data; // the start of the block; the rest is zero
};

constexpr auto kTaken = pcplat::CardOutcome::taken;
constexpr auto kRejected = pcplat::CardOutcome::rejected;

Block data_block(uint8_t p3, uint8_t p5, uint8_t p6, uint8_t p7, Bytes data,
                 pcplat::CardOutcome outcome = kTaken) {
    return {outcome, 0x10, p3, p5, p6, p7, std::move(data)};
}
Block end_block(Bytes data = "") {
    return {kTaken, 0x50, 0, 0x50, 0, 0, std::move(data)};
}

Bytes image(Bytes text, uint8_t target, Bytes records, uint8_t format = 5) {
    return Bytes{char(format), 0, char(text.size())} + text + char(target) + records;
}

class PcifUploadTest : public pcplat::testing::DeskTest {
  protected:
    void SetUp() override {
        DeskTest::SetUp();
        program() = Program{};
        program().exec = EXEC_OpenExec(0);
        ASSERT_NE(program().exec, nullptr);
        MapCardWindows();
    }
    void TearDown() override {
        FreeCardWindows();
        EXEC_CloseExec();
        DeskTest::TearDown();
    }
    // The desk powered on again with another profile; the program starts afresh.
    void restart(const std::string& profile) {
        TearDown();
        profile_ = profile;
        SetUp();
    }
    std::string profile_text() override { return profile_; }

    uint16_t upload(const std::optional<Bytes>& bytes) {
        if (bytes) pcplat::testing::write_host_file(root_ / "a" / "CARD.IMG", *bytes);
        return PcifUpload("CARD.IMG", 0);
    }

    std::vector<std::string> log() {
        const Bytes all = pcplat::testing::read_host_file(root_ / "desk" / "card-blocks.log");
        std::vector<std::string> records;
        for (size_t at = 0; at + pcplat::desk::kCardLogRecord <= all.size();
             at += pcplat::desk::kCardLogRecord)
            records.push_back(all.substr(at, pcplat::desk::kCardLogRecord));
        EXPECT_EQ(all.size() % pcplat::desk::kCardLogRecord, 0u);
        return records;
    }

    void expect_log(const std::vector<Block>& expected) {
        const std::vector<std::string> got = log();
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            const Block& b = expected[i];
            Bytes want{0, char(b.outcome), char(b.command), char(b.p3),
                       0, char(b.p5),      char(b.p6),      char(b.p7)};
            want += b.data + Bytes(256 - b.data.size(), '\0');
            EXPECT_EQ(got[i], want) << "block " << i + 1;
        }
    }

    std::string profile_;
};

const Bytes kAll256 = [] {
    Bytes b;
    for (int i = 0; i < 256; ++i)
        b += char(255 - i);
    return b;
}();

struct Case {
    const char* name;
    const char* profile;
    std::optional<Bytes> image; // none: no file
    uint16_t status;
    std::vector<Block> blocks;
};

class PcifCases : public PcifUploadTest, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        profile_ = GetParam().profile;
        PcifUploadTest::SetUp();
    }
};

TEST_P(PcifCases, StatusAndWhatTheCardGot) {
    EXPECT_EQ(upload(GetParam().image), GetParam().status);
    expect_log(GetParam().blocks);
}

const char* const kNoCard = "[card0]\nfitted = false\n";

INSTANTIATE_TEST_SUITE_P(
    Images, PcifCases,
    ::testing::Values(
        Case{"OnlyTheEndBlock", "", image("", 0x21, ""), 0, {end_block()}},
        // The text is not sent by itself, but a short record leaves its tail in the buffer.
        Case{"ShortRecordKeepsTheText",
             "",
             image("abcdef", 0x21, Bytes("\x03\x01\x02XYZ", 6)),
             0,
             {data_block(0x21, 0x02, 3, 0x01, "XYZdef"), end_block("XYZdef")}},
        Case{"LengthZeroCarries256Bytes",
             "",
             image("", 0x07, Bytes("\x00\x09\x02", 3) + kAll256),
             0,
             {data_block(0x07, 0x02, 0, 0x09, kAll256), end_block(kAll256)}},
        Case{"ZeroRecordOf256",
             "",
             image("", 0x07, Bytes("\x00\x09\x02", 3) + kAll256 + Bytes("\x00\x0A\x00\x33", 4)),
             0,
             {data_block(0x07, 0x02, 0, 0x09, kAll256), data_block(0x07, 0x33, 0, 0x0A, ""),
              end_block()}},
        Case{"ZeroRecordOfThree",
             "",
             image("abcdef", 0x07, Bytes("\x03\x0A\x00\x33", 4)),
             0,
             {data_block(0x07, 0x33, 3, 0x0A, Bytes("\0\0\0def", 6)),
              end_block(Bytes("\0\0\0def", 6))}},
        Case{"AcceptedTypeC005", "[card0]\ntype = 0xC005\n", image("", 1, ""), 0, {end_block()}},
        Case{"AcceptedTypeC107", "[card0]\ntype = 0xC107\n", image("", 1, ""), 0, {end_block()}},
        Case{"RefusedTypeC006", "[card0]\ntype = 0xC006\n", image("", 1, ""), 120, {}},
        Case{"NoCard", kNoCard, image("", 1, Bytes("\x01\x01\x01x", 4)), 120, {}},
        // The last check to fail gives the code.
        Case{"OldFormatAndNoCard", kNoCard, image("", 1, "", 4), 120, {}},
        Case{"OldFormat", "", image("", 1, "", 4), 140, {}},
        Case{"NewFormat", "", image("", 1, "", 6), 150, {}},
        Case{"EmptyFile", "", Bytes(), 130, {}},
        Case{"NoReservedByte", "", Bytes("\x05", 1), 130, {}},
        Case{"EndsInTheText",
             "",
             Bytes("\x05\x00\x04"
                   "ab",
                   5),
             130,
             {}},
        Case{"NoTargetByte", "", Bytes("\x05\x00\x00", 3), 130, {}},
        // Blocks before the cut are handed over; no end block follows.
        Case{"EndsAfterL",
             "",
             image("", 2, Bytes("\x01\x01\x01x\x05", 5)),
             130,
             {data_block(2, 1, 1, 1, "x")}},
        Case{"EndsAfterA", "", image("", 2, Bytes("\x05\x01", 2)), 130, {}},
        Case{"EndsInTheData", "", image("", 2, Bytes("\x05\x01\x01xyz", 6)), 130, {}},
        Case{"EndsBeforeBPrime", "", image("", 2, Bytes("\x05\x01\x00", 3)), 130, {}},
        Case{"NoFile", "", std::nullopt, 160, {}},
        Case{"RejectedFiveTimes", "[card0]\nblocks = \"reject\"\n",
             image("", 2, Bytes("\x01\x01\x01x", 4)), 190,
             std::vector<Block>(5, data_block(2, 1, 1, 1, "x", kRejected))},
        Case{"SecondBlockRejected",
             "[card0]\nblocks = \"reject\"\nreject_block = 2\n",
             image("", 2, Bytes("\x01\x01\x01x\x01\x02\x01y", 8)),
             190,
             {data_block(2, 1, 1, 1, "x"), data_block(2, 1, 1, 2, "y", kRejected),
              data_block(2, 1, 1, 2, "y", kRejected), data_block(2, 1, 1, 2, "y", kRejected),
              data_block(2, 1, 1, 2, "y", kRejected), data_block(2, 1, 1, 2, "y", kRejected)}},
        Case{"EndBlockRejected",
             "[card0]\nblocks = \"reject\"\nreject_block = 2\n",
             image("", 2, Bytes("\x01\x01\x01x", 4)),
             190,
             {data_block(2, 1, 1, 1, "x"),
              {kRejected, 0x50, 0, 0x50, 0, 0, "x"},
              {kRejected, 0x50, 0, 0x50, 0, 0, "x"},
              {kRejected, 0x50, 0, 0x50, 0, 0, "x"},
              {kRejected, 0x50, 0, 0x50, 0, 0, "x"},
              {kRejected, 0x50, 0, 0x50, 0, 0, "x"}}},
        // Done (0x80) after some polls, then idle again for the next block.
        Case{"SlowCard",
             "[card0]\nblocks = \"slow\"\npolls = 5000\n",
             image("", 2, Bytes("\x01\x01\x01x\x01\x02\x01y", 8)),
             0,
             {data_block(2, 1, 1, 1, "x"), data_block(2, 1, 1, 2, "y"), end_block("y")}},
        Case{"BusyAWhile",
             "[card0]\nblocks = \"busy\"\npolls = 5000\n",
             image("", 2, ""),
             0,
             {end_block()}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

using PcifUpload = PcifUploadTest;

// Nothing goes to a card that is not there, or not one of ours.
TEST_F(PcifUpload, AnUnacceptedCardIsNotWrittenTo) {
    restart("[card0]\ntype = 0xFFFF\n");
    EXPECT_EQ(upload(image("", 1, Bytes("\x01\x01\x01x", 4))), 120);
    const Bytes window = pcplat::testing::read_host_file(root_ / "desk" / "card0.bin");
    EXPECT_EQ(window.substr(0, 0x108), Bytes(0x108, '\0'));
}

TEST_F(PcifUpload, AWindowThatIsNotMappedIsNoCard) {
    FreeCardWindows();
    EXPECT_EQ(upload(image("", 1, "")), 120);
    EXPECT_TRUE(log().empty());
}

// A card that never finishes: the first attempt waits the whole poll limit, and as the count
// carries over, each later attempt looks once before it gives up.
TEST_F(PcifUpload, AStalledCardIsGivenUpAfterOneFullWait) {
    restart("[card0]\nblocks = \"stall\"\n");
    EXPECT_EQ(upload(image("", 1, Bytes("\x01\x01\x01x", 4))), 180);
    expect_log({data_block(1, 1, 1, 1, "x", pcplat::CardOutcome::stalled)});
    // The wake-up look, the first idle look, the completion wait, four idle looks.
    EXPECT_EQ(m().desk().card(0)->polls(), 1 + 1 + (1 + (1u << 24)) + 4);
}

// A card that stays busy: the first idle wait takes the whole limit, the others look once, and
// the card is handed nothing but the wake-up value in its command byte.
TEST_F(PcifUpload, ACardThatStaysBusyIsHandedNothing) {
    restart("[card0]\nblocks = \"busy\"\n");
    EXPECT_EQ(upload(image("", 1, Bytes("\x01\x01\x01x", 4))), 180);
    expect_log({});
    EXPECT_EQ(m().desk().card(0)->polls(), 1 + (1 + (1u << 24)) + 4);
    const Bytes window = pcplat::testing::read_host_file(root_ / "desk" / "card0.bin");
    EXPECT_EQ(window.substr(0, 0x108), Bytes(1, '\x01') + Bytes(0x107, '\0'));
}

// The buffer, the parameters and the status live from one upload to the next.
TEST_F(PcifUpload, TheNextUploadStartsFromTheLastOnesBuffer) {
    EXPECT_EQ(upload(image("abcdef", 1, Bytes("\x02\x01\x01XY", 5))), 0);
    EXPECT_EQ(upload(image("", 2, Bytes("\x01\x03\x01Z", 4))), 0);
    expect_log({data_block(1, 1, 2, 1, "XYcdef"), end_block("XYcdef"),
                data_block(2, 1, 1, 3, "ZYcdef"), end_block("ZYcdef")});
    EXPECT_EQ(upload(image("", 2, "", 4)), 140);
    EXPECT_EQ(program().pcif.status, 140);
}

} // namespace
} // namespace tolvanex
