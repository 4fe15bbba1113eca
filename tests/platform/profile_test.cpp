#include "desk/profile.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace pcplat {
namespace {

constexpr const char* kSource = "/x/desk.toml";

Profile parse(std::string_view text) {
    return parse_profile(text, kSource);
}

// The message of the ProfileError that text raises, or a note that there was none.
std::string error_of(std::string_view text) {
    try {
        parse(text);
    } catch (const ProfileError& e) {
        return e.what();
    }
    return "(no error)";
}

Profile defaults() {
    Profile profile;
    profile.source = kSource;
    return profile;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST(ProfileDefaults, EmptyAndCommentOnlyTextGiveTheDefaultDesk) {
    EXPECT_EQ(parse(""), defaults());
    EXPECT_EQ(parse("# nothing here\n\n"), defaults());
    const Profile profile = parse("");
    EXPECT_EQ(profile.source, kSource);
    EXPECT_TRUE(profile.cards[0].fitted);
    EXPECT_FALSE(profile.cards[1].fitted);
    EXPECT_EQ(profile.nvr_size, 128u * 1024);
    EXPECT_EQ(profile.nvr_address, 0xD4000u);
    EXPECT_TRUE(profile.memory_from_host);
    EXPECT_EQ(profile.drives, (std::map<char, std::string>{{'C', "c"}, {'D', "d"}}));
}

TEST(ProfileDefaults, DefaultProfileTextParsesToTheDefaults) {
    EXPECT_EQ(parse(default_profile_text()), defaults());
}

TEST(ProfileDefaults, DefaultProfileTextNamesEveryKey) {
    const std::string text = default_profile_text();
    for (const char* key :
         {"halt",     "[extender]",      "present",   "[memory]",     "available_kib", "swap_kib",
          "[drives]", "[card0]",         "[card1]",   "fitted",       "type",          "blocks",
          "[nvr]",    "size_kib",        "address",   "[gfx]",        "chip",          "id",
          "revision", "memory_field",    "polls",     "reject_block", "[floppy.a]",    "[floppy.b]",
          "image",    "write_protected", "fail_times"})
        EXPECT_NE(text.find(key), std::string::npos) << key;
    EXPECT_NE(text.find("[mouse]"), std::string::npos);
    for (const char* key : {"[pci]", "vendor", "device", "bar0"})
        EXPECT_NE(text.find(key), std::string::npos) << key;
}

TEST(ProfileDefaults, MemoryExampleInDefaultTextIsValidOnceUncommented) {
    std::string text = replace_all(default_profile_text(), "# available_kib", "available_kib");
    text = replace_all(text, "# swap_kib", "swap_kib");
    const Profile profile = parse(text);
    EXPECT_FALSE(profile.memory_from_host);
    EXPECT_EQ(profile.memory_available_kib, 16384u);
    EXPECT_EQ(profile.memory_swap_kib, 0u);
}

TEST(ProfileValues, EveryKeyIsRead) {
    const Profile profile = parse(R"(
halt = "wait"
[extender]
present = false
[memory]
available_kib = 8192
swap_kib = 4096
[drives]
e = "/abs/elsewhere"
Z = "zed"
[card0]
fitted = false
type = 0x1234
blocks = "reject"
reject_block = 3
[card1]
fitted = true
type = 0xFFFF
blocks = "stall"
[nvr]
size_kib = 32
address = 0xF00000
[gfx]
chip = false
id = 0x8901
revision = 0x07
memory_field = 6
[mouse]
present = false
[floppy.a]
fitted = false
[floppy.b]
fitted = true
image = "/disks/b.img"
write_protected = true
fail_times = 3
[pci]
vendor = 0x1106
device = 0x0691
bar0 = 0xD0000000
)");
    EXPECT_EQ(profile.halt, HaltMode::wait);
    EXPECT_FALSE(profile.extender_present);
    EXPECT_FALSE(profile.memory_from_host);
    EXPECT_EQ(profile.memory_available_kib, 8192u);
    EXPECT_EQ(profile.memory_swap_kib, 4096u);
    EXPECT_EQ(profile.drives, (std::map<char, std::string>{{'E', "/abs/elsewhere"}, {'Z', "zed"}}));
    EXPECT_EQ(profile.cards[0], (CardProfile{false, 0x1234, BlockMode::reject, 0, 3}));
    EXPECT_EQ(profile.cards[1], (CardProfile{true, 0xFFFF, BlockMode::stall}));
    EXPECT_EQ(profile.nvr_size, 32u * 1024);
    EXPECT_EQ(profile.nvr_address, 0xF00000u);
    EXPECT_EQ(profile.gfx, (GfxProfile{false, 0x8901, 0x07, 6}));
    EXPECT_FALSE(profile.mouse.present);
    EXPECT_EQ(profile.floppies[0], FloppyProfile{});
    EXPECT_EQ(profile.floppies[1], (FloppyProfile{true, "/disks/b.img", true, 3}));
    EXPECT_EQ(profile.pci, (PciProfile{0x1106, 0x0691, 0xD0000000}));
}

TEST(ProfileValues, ASlowCardHasADefaultPace) {
    EXPECT_EQ(parse("card0.blocks = \"slow\"").cards[0].polls, 1000u);
    EXPECT_EQ(parse("card0.blocks = \"busy\"").cards[0].polls, 0u); // busy for ever
}

TEST(ProfileValues, IntegersMayBeHexOctalBinaryOrUnderscored) {
    EXPECT_EQ(parse("card0.type = 0xc004").cards[0].type, 0xC004);
    EXPECT_EQ(parse("card0.type = 0o17").cards[0].type, 017);
    EXPECT_EQ(parse("card0.type = 0b101").cards[0].type, 5);
    EXPECT_EQ(parse("nvr.size_kib = 0x40").nvr_size, 64u * 1024);
    EXPECT_EQ(parse("memory.available_kib = 1_024").memory_available_kib, 1024u);
}

TEST(ProfileValues, PartialTablesKeepTheOtherDefaults) {
    const Profile profile = parse("[card1]\nfitted = true\n[nvr]\nsize_kib = 0\n");
    EXPECT_EQ(profile.cards[1], (CardProfile{true, 0xC004, BlockMode::accept}));
    EXPECT_EQ(profile.cards[0], defaults().cards[0]);
    EXPECT_EQ(profile.nvr_size, 0u);
    EXPECT_EQ(profile.nvr_address, 0xD4000u);
}

TEST(ProfileValues, DrivesTableReplacesTheDefaultMap) {
    EXPECT_EQ(parse("[drives]\nC = \"c\"\n").drives, (std::map<char, std::string>{{'C', "c"}}));
    EXPECT_TRUE(parse("[drives]\n").drives.empty());
    EXPECT_TRUE(parse("drives = {}\n").drives.empty());
}

TEST(ProfileValues, MemoryLimitsAreInclusive) {
    const Profile profile = parse("[memory]\navailable_kib = 2097151\nswap_kib = 2097151\n");
    EXPECT_EQ(profile.memory_available_kib, 2097151u);
    EXPECT_EQ(profile.memory_swap_kib, 2097151u);
    const Profile zero = parse("[memory]\navailable_kib = 0\n");
    EXPECT_FALSE(zero.memory_from_host);
    EXPECT_EQ(zero.memory_available_kib, 0u);
}

struct ErrorCase {
    const char* text;
    const char* message;
};

void expect_errors(std::initializer_list<ErrorCase> cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string message = error_of(c.text);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

TEST(ProfileErrors, SyntaxErrorsAreOneLineWithTheLineNumber) {
    expect_errors({
        {"halt = ", "/x/desk.toml: line 1: missing value after key-value separator '=' "
                    "(expected value, but got nothing)"},
        {"# one\n# two\n[nvr\n",
         "/x/desk.toml: line 3: an invalid key appeared (is not a valid key)"},
        {"[nvr]\nsize_kib = 1\nsize_kib = 2\n",
         "/x/desk.toml: line 3: value (\"size_kib\") already exists (value defined twice)"},
    });
    // The exact wording of other syntax errors is the TOML reader's; the shape is ours.
    for (const char* text : {"halt = \"exit", "a = 0xZZ", "x = 1.5.3", "[[[", "= 1"}) {
        const std::string message = error_of(text);
        EXPECT_TRUE(message.starts_with("/x/desk.toml: line 1: ")) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(ProfileErrors, UnknownKeysAndTablesAreRefusedAtEveryLevel) {
    expect_errors({
        {"colour = 1", "/x/desk.toml: colour: unknown key"},
        {"[card0]\ncolour = \"red\"\n", "/x/desk.toml: card0.colour: unknown key"},
        {"[card2]\nfitted = true\n", "/x/desk.toml: card2: unknown table"},
        {"[card0.extra]\n", "/x/desk.toml: card0.extra: unknown table"},
        {"[nvr]\nsize = 1\n", "/x/desk.toml: nvr.size: unknown key"},
        {"[extender]\npresnt = true\n", "/x/desk.toml: extender.presnt: unknown key"},
        {"[memory]\nfree_kib = 1\n", "/x/desk.toml: memory.free_kib: unknown key"},
        {"[gfx]\nmemory = 2\n", "/x/desk.toml: gfx.memory: unknown key"},
        {"[pci]\nbar1 = 0\n", "/x/desk.toml: pci.bar1: unknown key"},
        {"[floppy.c]\n", "/x/desk.toml: floppy.c: unknown table"},
        {"[floppy.a]\nreadonly = true\n", "/x/desk.toml: floppy.a.readonly: unknown key"},
        // The first in the file is named, not the first alphabetically.
        {"zzz = 1\naaa = 2\n", "/x/desk.toml: zzz: unknown key"},
        // A key name cannot break the message over two lines.
        {"\"a\\nb\" = 1", "/x/desk.toml: a?b: unknown key"},
    });
}

TEST(ProfileErrors, WrongTypesAreRefused) {
    expect_errors({
        {"card0.fitted = 1", "/x/desk.toml: card0.fitted: must be true or false"},
        {"card1.fitted = \"yes\"", "/x/desk.toml: card1.fitted: must be true or false"},
        {"extender.present = 0", "/x/desk.toml: extender.present: must be true or false"},
        {"nvr.size_kib = 64.0", "/x/desk.toml: nvr.size_kib: must be an integer"},
        {"nvr.size_kib = \"64\"", "/x/desk.toml: nvr.size_kib: must be an integer"},
        {"nvr.address = \"0xD4000\"", "/x/desk.toml: nvr.address: must be an integer"},
        {"card0.type = true", "/x/desk.toml: card0.type: must be an integer"},
        {"gfx.chip = \"S3\"", "/x/desk.toml: gfx.chip: must be true or false"},
        {"memory.available_kib = 1e3", "/x/desk.toml: memory.available_kib: must be an integer"},
        {"halt = 1", "/x/desk.toml: halt: must be \"exit\" or \"wait\""},
        {"nvr = 1", "/x/desk.toml: nvr: must be a table"},
        {"[[card0]]\nfitted = true\n", "/x/desk.toml: card0: must be a table"},
        {"drives = \"c\"", "/x/desk.toml: drives: must be a table"},
        {"floppy = 1", "/x/desk.toml: floppy: must be a table"},
        {"floppy.b = \"b.img\"", "/x/desk.toml: floppy.b: must be a table"},
        {"floppy.a.image = 1",
         "/x/desk.toml: floppy.a.image: must be a file name (a non-empty string)"},
        {"floppy.a.image = \"\"",
         "/x/desk.toml: floppy.a.image: must be a file name (a non-empty string)"},
        {"floppy.a.image = \"a\\u0000b\"",
         "/x/desk.toml: floppy.a.image: must not contain a NUL character"},
        {"floppy.a.write_protected = 1",
         "/x/desk.toml: floppy.a.write_protected: must be true or false"},
        {"floppy.a.fail_times = \"2\"", "/x/desk.toml: floppy.a.fail_times: must be an integer"},
        {"floppy.a.fail_times = -1",
         "/x/desk.toml: floppy.a.fail_times: must be between 0 and 4294967295, got -1"},
        // Settings of a drive that is not fitted would be lost.
        {"floppy.b.image = \"b.img\"",
         "/x/desk.toml: floppy.b.image: needs floppy.b.fitted = true"},
        {"[floppy.a]\nfitted = false\nfail_times = 1",
         "/x/desk.toml: floppy.a.fail_times: needs floppy.a.fitted = true"},
    });
}

TEST(ProfileErrors, OutOfRangeNumbersAreRefused) {
    expect_errors({
        {"nvr.size_kib = 256", "/x/desk.toml: nvr.size_kib: must be between 0 and 128, got 256"},
        {"nvr.size_kib = -1", "/x/desk.toml: nvr.size_kib: must be between 0 and 128, got -1"},
        {"nvr.address = 0xD5000", "/x/desk.toml: nvr.address: must be 0xD4000 or 0xF00000, got "
                                  "0xD5000"},
        {"card0.type = 0x10000",
         "/x/desk.toml: card0.type: must be between 0x0000 and 0xFFFF, got 0x10000"},
        {"card1.type = -1", "/x/desk.toml: card1.type: must be between 0x0000 and 0xFFFF, got "
                            "-0x0001"},
        {"gfx.id = 0x10000",
         "/x/desk.toml: gfx.id: must be between 0x0000 and 0xFFFF, got 0x10000"},
        {"gfx.revision = 0x100",
         "/x/desk.toml: gfx.revision: must be between 0x00 and 0xFF, got 0x100"},
        {"gfx.memory_field = 8", "/x/desk.toml: gfx.memory_field: must be between 0 and 7, got 8"},
        {"pci.vendor = 0x10000",
         "/x/desk.toml: pci.vendor: must be between 0x0000 and 0xFFFF, got 0x10000"},
        {"pci.bar0 = 0x100000000",
         "/x/desk.toml: pci.bar0: must be between 0x00000000 and 0xFFFFFFFF, got 0x100000000"},
        {"memory.available_kib = 2097152", "/x/desk.toml: memory.available_kib: must be between 0 "
                                           "and 2097151, got 2097152"},
        {"memory.available_kib = 1\nmemory.swap_kib = -5",
         "/x/desk.toml: memory.swap_kib: must be between 0 and 2097151, got -5"},
        // Too long for 64 bits: the reader saturates, which must not pass for a real value.
        {"memory.available_kib = 99999999999999999999",
         "/x/desk.toml: memory.available_kib: must be between 0 and 2097151, got a number too "
         "large"},
        {"memory.swap_kib = 1", "/x/desk.toml: memory.swap_kib: needs memory.available_kib as "
                                "well"},
    });
}

TEST(ProfileErrors, BadChoicesAreRefused) {
    expect_errors({
        {"halt = \"stop\"", "/x/desk.toml: halt: must be \"exit\" or \"wait\""},
        {"halt = \"EXIT\"", "/x/desk.toml: halt: must be \"exit\" or \"wait\""},
        {"card0.blocks = \"drop\"", "/x/desk.toml: card0.blocks: must be \"accept\", \"slow\", "
                                    "\"reject\", \"stall\" or \"busy\""},
        {"card1.blocks = 0", "/x/desk.toml: card1.blocks: must be \"accept\", \"slow\", "
                             "\"reject\", \"stall\" or \"busy\""},
        // A number the chosen behaviour would not look at is a slip, not a setting.
        {"card0.polls = 5", "/x/desk.toml: card0.polls: is only for blocks = \"slow\" or \"busy\""},
        {"[card0]\nblocks = \"slow\"\nreject_block = 1",
         "/x/desk.toml: card0.reject_block: is only for blocks = \"reject\""},
        {"[card0]\nblocks = \"slow\"\npolls = -1",
         "/x/desk.toml: card0.polls: must be between 0 and 4294967295, got -1"},
    });
}

TEST(ProfileErrors, BadDrivesAreRefused) {
    expect_errors({
        {"[drives]\nA = \"a\"\n",
         "/x/desk.toml: drives.A: A: is always the start directory and cannot be set"},
        {"[drives]\na = \"a\"\n",
         "/x/desk.toml: drives.a: A: is always the start directory and cannot be set"},
        {"[drives]\nCD = \"x\"\n", "/x/desk.toml: drives.CD: must be a drive letter B to Z"},
        {"[drives]\n1 = \"x\"\n", "/x/desk.toml: drives.1: must be a drive letter B to Z"},
        {"[drives]\n\"\" = \"x\"\n", "/x/desk.toml: drives.: must be a drive letter B to Z"},
        {"[drives]\nC = \"c\"\nc = \"d\"\n", "/x/desk.toml: drives.c: drive C: given twice"},
        {"[drives]\nE = \"\"\n",
         "/x/desk.toml: drives.E: must be a folder name (a non-empty string)"},
        {"[drives]\nE = 5\n", "/x/desk.toml: drives.E: must be a folder name (a non-empty string)"},
        {"[drives]\nE = \"a\\u0000b\"\n",
         "/x/desk.toml: drives.E: must not contain a NUL character"},
    });
}

TEST(ProfileErrors, TextThatIsNotUtf8IsRefusedBeforeTheTomlReaderSeesIt) {
    // The first: a stray continuation byte in a quoted key, on which the TOML reader reads past
    // its buffer.
    for (const auto& [text, line] : std::vector<std::pair<std::string, int>>{
             {"'\x83 1'", 1},
             {"halt = \"exit\"\n# caf\xC3", 2}, // cut at the end
             {"\n\n# \xC0\xAF overlong\n", 3},  // an overlong '/'
             {"# \xED\xA0\x80 a surrogate\n", 1},
             {"# \xF5\x80\x80\x80 past U+10FFFF\n", 1}}) {
        EXPECT_EQ(error_of(text), "/x/desk.toml: line " + std::to_string(line) + ": not UTF-8 text")
            << text;
    }
    EXPECT_EQ(parse("# caf\xC3\xA9, \xE2\x82\xAC, \xF0\x9F\x96\xA5\nhalt = \"wait\"\n").halt,
              HaltMode::wait);
}

TEST(ProfileErrors, DeepNestingIsRefusedInsteadOfOverflowingTheStack) {
    const std::string deep = "x = " + std::string(100000, '[') + "\n";
    EXPECT_EQ(error_of(deep), "/x/desk.toml: line 1: arrays or tables nested more than 32 deep");
    std::string inline_tables = "\n\nx = ";
    for (int i = 0; i < 50000; ++i)
        inline_tables += "{a=";
    EXPECT_EQ(error_of(inline_tables),
              "/x/desk.toml: line 3: arrays or tables nested more than 32 deep");
    // Brackets inside strings and comments are not nesting.
    const std::string brackets(100, '[');
    EXPECT_EQ(parse("# " + brackets + "\nhalt = \"wait\" # " + brackets + "\n").halt,
              HaltMode::wait);
    EXPECT_EQ(error_of("x = \"" + brackets + "\"\n"), "/x/desk.toml: x: unknown key");
    EXPECT_EQ(error_of("x = '''\n" + brackets + "\n'''\n"), "/x/desk.toml: x: unknown key");
    EXPECT_EQ(error_of("x = \"\\\"" + brackets + "\"\n"), "/x/desk.toml: x: unknown key");
}

class ProfileFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "profile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path write(const std::string& text) {
        const auto file = dir_ / "desk.toml";
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    std::filesystem::path dir_;
};

TEST_F(ProfileFile, LoadsAndNamesItsSource) {
    const auto file = write("halt = \"wait\"\r\n[card1]\r\nfitted = true\r\n");
    const Profile profile = load_profile(file);
    EXPECT_EQ(profile.source, file.string());
    EXPECT_EQ(profile.halt, HaltMode::wait);
    EXPECT_TRUE(profile.cards[1].fitted);
}

TEST_F(ProfileFile, ErrorsNameThePath) {
    const auto file = write("[nvr]\nsize_kib = 129\n");
    try {
        load_profile(file);
        FAIL() << "no error";
    } catch (const ProfileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  file.string() + ": nvr.size_kib: must be between 0 and 128, got 129");
    }
}

TEST_F(ProfileFile, MissingFileOrFolderIsAProfileError) {
    const auto missing = dir_ / "nowhere.toml";
    EXPECT_THROW(load_profile(missing), ProfileError);
    try {
        load_profile(missing);
    } catch (const ProfileError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with(missing.string() + ": ")) << e.what();
    }
    EXPECT_THROW(load_profile(dir_), ProfileError);
}

TEST(ProfileNames, EnumsHaveTheirProfileSpelling) {
    EXPECT_STREQ(to_string(HaltMode::exit), "exit");
    EXPECT_STREQ(to_string(HaltMode::wait), "wait");
    EXPECT_STREQ(to_string(BlockMode::accept), "accept");
    EXPECT_STREQ(to_string(BlockMode::reject), "reject");
    EXPECT_STREQ(to_string(BlockMode::stall), "stall");
}

} // namespace
} // namespace pcplat
