#include "machine/drives.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace pcplat {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kReadOnly = 0x01;
constexpr uint32_t kHidden = 0x02;
constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kArchive = 0x20;

// ---------------------------------------------------------------------------------------------
// Wildcards

struct WildcardCase {
    const char* pattern;
    const char* name;
    bool matches;
};

void PrintTo(const WildcardCase& c, std::ostream* os) {
    *os << '"' << c.pattern << "\" on \"" << c.name << '"';
}

class DriveWildcard : public ::testing::TestWithParam<WildcardCase> {};

TEST_P(DriveWildcard, Matches) {
    const WildcardCase& c = GetParam();
    EXPECT_EQ(dos_wildcard_match(c.pattern, c.name), c.matches)
        << "pattern \"" << c.pattern << "\" name \"" << c.name << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    DriveWildcards, DriveWildcard,
    ::testing::Values(
        // "*.*" is every name, with or without a dot.
        WildcardCase{"*.*", "readme", true}, WildcardCase{"*.*", "setup.exe", true},
        WildcardCase{"*.*", "a.b.c", true}, WildcardCase{"*.*", ".profile", true},
        WildcardCase{"*", "setup.exe", true},
        // A trailing ".*" also means "no extension"; a trailing "." means only that.
        WildcardCase{"foo.*", "foo", true}, WildcardCase{"foo.*", "foo.txt", true},
        WildcardCase{"foo.*", "foobar", false}, WildcardCase{".*", "foo", false},
        WildcardCase{"*.", "readme", true}, WildcardCase{"*.", "readme.txt", false},
        WildcardCase{"foo.", "foo", true}, WildcardCase{"foo.", "foo.c", false},
        // '?' is exactly one character.
        WildcardCase{"?", "a", true}, WildcardCase{"?", "ab", false},
        WildcardCase{"??", "a", false}, WildcardCase{"a?c", "abc", true},
        WildcardCase{"a?c", "ac", false}, WildcardCase{"file?.dat", "file1.dat", true},
        WildcardCase{"file?.dat", "file12.dat", false},
        // Case does not matter on either side.
        WildcardCase{"*.TXT", "notes.txt", true}, WildcardCase{"NoTeS.TxT", "NOTES.txt", true},
        WildcardCase{"notes.txt", "notes.tx", false},
        // A star has to give back characters for the rest to match.
        WildcardCase{"*a*b", "xaxb", true}, WildcardCase{"*a*b", "xaxbx", false},
        WildcardCase{"*.bak", "a.txt.bak", true}, WildcardCase{"*.txt", "a.txt.bak", false},
        WildcardCase{"a**b", "ab", true}, WildcardCase{"*x", "abc", false}));

// ---------------------------------------------------------------------------------------------
// The map and path resolution

class DriveMapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "drives-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        tmp_ = templ;
        a_ = tmp_ / "a";
        c_ = tmp_ / "c";
        fs::create_directories(a_);
        fs::create_directories(c_);
        drives_.map('A', a_);
        drives_.map('c', c_);
    }
    void TearDown() override {
        // Read-only folders must be writable again before they can be emptied.
        for (auto& entry : fs::recursive_directory_iterator(tmp_)) {
            if (!entry.is_symlink()) {
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
            }
        }
        fs::remove_all(tmp_);
    }

    static void write_file(const fs::path& path, const std::string& text = "") {
        std::ofstream(path, std::ios::binary) << text;
    }
    static void make_read_only(const fs::path& path) {
        fs::permissions(path, fs::perms::owner_write, fs::perm_options::remove);
    }
    static void set_mtime(const fs::path& path, time_t when) {
        const struct utimbuf times { when, when };
        ASSERT_EQ(::utime(path.c_str(), &times), 0);
    }
    static std::vector<std::string> names(const std::vector<FindEntry>& entries) {
        std::vector<std::string> result;
        for (const FindEntry& e : entries)
            result.push_back(e.name);
        return result;
    }
    static const FindEntry* entry(const std::vector<FindEntry>& entries, const std::string& name) {
        auto it = std::find_if(entries.begin(), entries.end(),
                               [&](const FindEntry& e) { return e.name == name; });
        return it == entries.end() ? nullptr : &*it;
    }

    fs::path tmp_, a_, c_;
    DriveMap drives_;
};

TEST_F(DriveMapTest, MapsLettersInAnyCaseAndListsThemInOrder) {
    EXPECT_EQ(drives_.current_drive(), 'A');
    EXPECT_EQ(drives_.letters(), (std::vector<char>{'A', 'C'}));
    EXPECT_EQ(drives_.root('a'), a_);
    EXPECT_EQ(drives_.root('C'), c_);
    EXPECT_EQ(drives_.root('D'), std::nullopt);
    EXPECT_EQ(drives_.root('1'), std::nullopt);

    // A folder given with a trailing separator is the same root.
    drives_.map('D', tmp_ / "c" / "");
    EXPECT_EQ(drives_.root('D'), c_);
}

TEST_F(DriveMapTest, RefusesToMapMissingFoldersAndNonLetters) {
    EXPECT_THROW(drives_.map('E', tmp_ / "missing"), std::invalid_argument);
    write_file(tmp_ / "plain");
    EXPECT_THROW(drives_.map('E', tmp_ / "plain"), std::invalid_argument);
    EXPECT_THROW(drives_.map('1', a_), std::invalid_argument);
    EXPECT_EQ(drives_.root('E'), std::nullopt);
}

TEST_F(DriveMapTest, ResolvesEveryPathForm) {
    fs::create_directories(a_ / "dir");
    EXPECT_EQ(drives_.resolve("A:\\dir\\file"), a_ / "dir" / "file");
    EXPECT_EQ(drives_.resolve("a:/dir/file"), a_ / "dir" / "file");
    EXPECT_EQ(drives_.resolve("\\file"), a_ / "file"); // root of the current drive
    EXPECT_EQ(drives_.resolve("file"), a_ / "file");   // relative to A:'s root
    EXPECT_EQ(drives_.resolve("dir\\file"), a_ / "dir" / "file");
    EXPECT_EQ(drives_.resolve("C:file"), c_ / "file"); // relative on C:
    EXPECT_EQ(drives_.resolve("c:\\file"), c_ / "file");
    EXPECT_EQ(drives_.resolve("A:\\"), a_);
    EXPECT_EQ(drives_.resolve("C:"), c_);
    EXPECT_EQ(drives_.resolve("A:\\dir\\\\file"), a_ / "dir" / "file");

    EXPECT_EQ(drives_.resolve(""), std::nullopt);
    EXPECT_EQ(drives_.resolve("D:\\file"), std::nullopt); // not mapped
}

TEST_F(DriveMapTest, MatchesNamesIgnoringCaseThroughSeveralLevels) {
    fs::create_directories(a_ / "Setup" / "DATA");
    write_file(a_ / "Setup" / "DATA" / "tolvanex.des");
    EXPECT_EQ(drives_.resolve("A:\\SETUP\\data\\TOLVANEX.DES"),
              a_ / "Setup" / "DATA" / "tolvanex.des");
    // A last component that does not exist is taken as given, in the matched directory.
    EXPECT_EQ(drives_.resolve("a:\\setup\\Data\\NEW.TXT"), a_ / "Setup" / "DATA" / "NEW.TXT");
    // A directory on the way must exist, and must be a directory.
    EXPECT_EQ(drives_.resolve("A:\\setup\\nothere\\file"), std::nullopt);
    EXPECT_EQ(drives_.resolve("A:\\setup\\data\\tolvanex.des\\file"), std::nullopt);
}

TEST_F(DriveMapTest, PrefersTheExactNameThenTheFirstInNameOrder) {
    fs::create_directories(a_ / "abc");
    fs::create_directories(a_ / "ABC");
    fs::create_directories(a_ / "aBc");
    EXPECT_EQ(drives_.resolve("A:\\abc"), a_ / "abc");
    EXPECT_EQ(drives_.resolve("A:\\aBc"), a_ / "aBc");
    EXPECT_EQ(drives_.resolve("A:\\Abc"), a_ / "ABC"); // 'A' < 'a' in byte order
}

TEST_F(DriveMapTest, HandlesDotsWithoutClimbingOutOfTheDrive) {
    fs::create_directories(a_ / "sub");
    EXPECT_EQ(drives_.resolve("A:\\sub\\..\\x"), a_ / "x");
    EXPECT_EQ(drives_.resolve("A:\\sub\\.\\x"), a_ / "sub" / "x");
    EXPECT_EQ(drives_.resolve("A:\\sub\\.."), a_);
    EXPECT_EQ(drives_.resolve("A:\\.."), std::nullopt);
    EXPECT_EQ(drives_.resolve("..\\c\\x"), std::nullopt);
    EXPECT_EQ(drives_.resolve("A:\\sub\\..\\..\\c"), std::nullopt);
    EXPECT_EQ(drives_.resolve("C:..\\a"), std::nullopt);
}

TEST_F(DriveMapTest, RefusesLinksThatLeadOutOfTheDrive) {
    fs::create_directories(tmp_ / "outside");
    write_file(tmp_ / "outside" / "secret", "x");
    fs::create_directory_symlink(tmp_ / "outside", a_ / "out");
    fs::create_directory_symlink("../outside", a_ / "relout");
    fs::create_symlink(tmp_ / "outside" / "newfile", a_ / "dangling");
    EXPECT_EQ(drives_.resolve("A:\\out"), std::nullopt);
    EXPECT_EQ(drives_.resolve("A:\\out\\secret"), std::nullopt);
    EXPECT_EQ(drives_.resolve("A:\\RELOUT\\secret"), std::nullopt);
    // Writing through a dangling link would create its target outside.
    EXPECT_EQ(drives_.resolve("A:\\dangling"), std::nullopt);

    // Links that stay inside are fine.
    fs::create_directories(a_ / "real");
    fs::create_directory_symlink(a_ / "real", a_ / "alias");
    fs::create_directory_symlink("real", a_ / "relalias");
    EXPECT_EQ(drives_.resolve("A:\\alias\\f"), a_ / "alias" / "f");
    EXPECT_EQ(drives_.resolve("A:\\relalias\\f"), a_ / "relalias" / "f");
}

TEST_F(DriveMapTest, WorksWhenTheDriveFolderIsReachedThroughALink) {
    fs::create_directory_symlink(a_, tmp_ / "a-link");
    drives_.map('E', tmp_ / "a-link");
    write_file(a_ / "f.txt");
    EXPECT_EQ(drives_.resolve("E:\\F.TXT"), tmp_ / "a-link" / "f.txt");
    EXPECT_EQ(names(drives_.search("E:\\*.*", 0)), (std::vector<std::string>{"f.txt"}));
}

TEST_F(DriveMapTest, RefusesForbiddenCharacters) {
    for (const char* bad : {"a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "dir:x", "A:x:y"}) {
        EXPECT_EQ(drives_.resolve(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(drives_.resolve(std::string("a\x01"
                                          "b")),
              std::nullopt);
    EXPECT_EQ(drives_.resolve(std::string("a\x1f"
                                          "b")),
              std::nullopt);
    EXPECT_EQ(drives_.resolve(std::string("ab\0", 3)), std::nullopt);
    EXPECT_EQ(drives_.resolve("1:x"), std::nullopt); // ':' only after a drive letter
    // Characters DOS allows stay allowed.
    EXPECT_EQ(drives_.resolve("A:\\a+b;c[1]"), a_ / "a+b;c[1]");
}

// ---------------------------------------------------------------------------------------------
// Searches

TEST_F(DriveMapTest, SearchGivesAttributesOfEachKindOfEntry) {
    write_file(a_ / "plain.txt", "12345");
    write_file(a_ / "locked.txt");
    make_read_only(a_ / "locked.txt");
    write_file(a_ / ".hidden");
    fs::create_directories(a_ / "dir");
    fs::create_directories(a_ / "rodir");
    make_read_only(a_ / "rodir");
    fs::create_directories(a_ / ".git");

    const std::vector<FindEntry> all = drives_.search("A:\\*.*", 0x16);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(entry(all, "plain.txt")->attrib, kArchive);
    EXPECT_EQ(entry(all, "plain.txt")->size, 5u);
    EXPECT_EQ(entry(all, "locked.txt")->attrib, kArchive | kReadOnly);
    EXPECT_EQ(entry(all, ".hidden")->attrib, kArchive | kHidden);
    EXPECT_EQ(entry(all, "dir")->attrib, kDirectory);
    EXPECT_EQ(entry(all, "dir")->size, 0u);
    EXPECT_EQ(entry(all, "rodir")->attrib, kDirectory | kReadOnly);
    EXPECT_EQ(entry(all, ".git")->attrib, kDirectory | kHidden);
}

TEST_F(DriveMapTest, SearchOnlyFindsWhatTheAttributesAllow) {
    write_file(a_ / "plain.txt");
    write_file(a_ / "locked.txt");
    make_read_only(a_ / "locked.txt");
    write_file(a_ / ".hidden");
    fs::create_directories(a_ / "dir");
    fs::create_directories(a_ / ".git");

    EXPECT_EQ(names(drives_.search("A:\\*.*", 0)),
              (std::vector<std::string>{"locked.txt", "plain.txt"}));
    EXPECT_EQ(names(drives_.search("A:\\*.*", kReadOnly | kArchive)),
              (std::vector<std::string>{"locked.txt", "plain.txt"}));
    EXPECT_EQ(names(drives_.search("A:\\*.*", kDirectory)),
              (std::vector<std::string>{"dir", "locked.txt", "plain.txt"}));
    EXPECT_EQ(names(drives_.search("A:\\*.*", kHidden)),
              (std::vector<std::string>{".hidden", "locked.txt", "plain.txt"}));
    EXPECT_EQ(names(drives_.search("A:\\*.*", kHidden | kDirectory)),
              (std::vector<std::string>{".git", ".hidden", "dir", "locked.txt", "plain.txt"}));
}

TEST_F(DriveMapTest, SearchOrderIsByNameIgnoringCaseAndRepeatable) {
    for (const char* name :
         {"b.txt", "ab.txt", "C.TXT", "aB.txt", "B2.txt", "_x.txt", "AB.txt", "Ab.txt"}) {
        write_file(a_ / name);
    }
    // Case folds to lower case, as strcasecmp does, so '_' comes before the letters; names
    // equal but for case come in byte order.
    const std::vector<std::string> expected{"_x.txt", "AB.txt", "Ab.txt", "aB.txt",
                                            "ab.txt", "b.txt",  "B2.txt", "C.TXT"};
    EXPECT_EQ(names(drives_.search("*.txt", 0)), expected);
    EXPECT_EQ(names(drives_.search("A:\\*.TXT", 0)), expected);
}

TEST_F(DriveMapTest, SearchListsDotEntriesFirstInSubdirectoriesOnly) {
    fs::create_directories(a_ / "Sub" / "inner");
    write_file(a_ / "Sub" / "file.txt");
    write_file(a_ / "top.txt");

    const std::vector<FindEntry> sub = drives_.search("A:\\SUB\\*.*", kDirectory);
    EXPECT_EQ(names(sub), (std::vector<std::string>{".", "..", "file.txt", "inner"}));
    EXPECT_EQ(sub[0].attrib, kDirectory);
    EXPECT_EQ(sub[1].attrib, kDirectory);
    EXPECT_EQ(names(drives_.search("A:\\SUB\\*", kDirectory)),
              (std::vector<std::string>{".", "..", "file.txt", "inner"}));

    // Not without directories asked for, not when the pattern does not match, not in a root.
    EXPECT_EQ(names(drives_.search("A:\\sub\\*.*", 0)), (std::vector<std::string>{"file.txt"}));
    EXPECT_EQ(names(drives_.search("A:\\sub\\*.txt", kDirectory)),
              (std::vector<std::string>{"file.txt"}));
    EXPECT_EQ(names(drives_.search("A:\\*.*", kDirectory)),
              (std::vector<std::string>{"Sub", "top.txt"}));
}

TEST_F(DriveMapTest, SearchPatternsTakeEveryPathForm) {
    fs::create_directories(a_ / "Data");
    write_file(a_ / "Data" / "one.dat");
    write_file(a_ / "Data" / "two.dat");
    write_file(a_ / "Data" / "three.txt");
    write_file(c_ / "c.dat");

    const std::vector<std::string> dats{"one.dat", "two.dat"};
    EXPECT_EQ(names(drives_.search("A:\\DATA\\*.DAT", 0)), dats);
    EXPECT_EQ(names(drives_.search("data/*.dat", 0)), dats);
    EXPECT_EQ(names(drives_.search("\\data\\???.dat", 0)), dats);
    EXPECT_EQ(names(drives_.search("C:*.dat", 0)), (std::vector<std::string>{"c.dat"}));
    // A name without wildcards finds that entry, a directory too when asked for.
    EXPECT_EQ(names(drives_.search("A:\\data\\ONE.DAT", 0)), (std::vector<std::string>{"one.dat"}));
    EXPECT_EQ(names(drives_.search("A:\\DATA", kDirectory)), (std::vector<std::string>{"Data"}));
    EXPECT_TRUE(drives_.search("A:\\DATA", 0).empty());
}

TEST_F(DriveMapTest, SearchFindsNothingForBadOrMissingDirectories) {
    fs::create_directories(a_ / "data");
    write_file(a_ / "data" / "f.dat");
    EXPECT_TRUE(drives_.search("A:\\missing\\*.*", 0).empty());
    EXPECT_TRUE(drives_.search("A:\\d*\\*.*", 0).empty()); // wildcards only in the last part
    EXPECT_TRUE(drives_.search("A:\\data\\", 0).empty());
    EXPECT_TRUE(drives_.search("A:\\..\\*.*", 0).empty());
    EXPECT_TRUE(drives_.search("Q:\\*.*", 0).empty());
    EXPECT_TRUE(drives_.search("A:\\data\\f|*", 0).empty());
    EXPECT_TRUE(drives_.search("", 0).empty());
    EXPECT_TRUE(drives_.search("A:\\data\\f.dat\\*", 0).empty());
}

TEST_F(DriveMapTest, SearchLeavesOutWhatADosPathCouldNotReach) {
    fs::create_directories(tmp_ / "outside");
    write_file(tmp_ / "outside" / "secret");
    write_file(a_ / "good");
    fs::create_symlink(tmp_ / "outside" / "secret", a_ / "leak");
    fs::create_directory_symlink(tmp_ / "outside", a_ / "leakdir");
    fs::create_symlink(a_ / "good", a_ / "alias");
    fs::create_symlink(a_ / "nothing", a_ / "broken");
    write_file(a_ / "back\\slash");
    ASSERT_EQ(::mkfifo((a_ / "pipe").c_str(), 0600), 0);

    EXPECT_EQ(names(drives_.search("A:\\*", kDirectory | kHidden)),
              (std::vector<std::string>{"alias", "good"}));
}

TEST_F(DriveMapTest, SearchReportsSizeAndLocalTimeAsDos) {
    write_file(a_ / "stamp.txt", "abc");
    struct tm when {};
    when.tm_year = 2021 - 1900;
    when.tm_mon = 6 - 1;
    when.tm_mday = 15;
    when.tm_hour = 13;
    when.tm_min = 45;
    when.tm_sec = 31;
    when.tm_isdst = -1;
    set_mtime(a_ / "stamp.txt", ::mktime(&when));
    write_file(a_ / "old.txt");
    set_mtime(a_ / "old.txt", 0); // 1970: before DOS time starts

    const std::vector<FindEntry> found = drives_.search("*.txt", 0);
    ASSERT_EQ(found.size(), 2u);
    const FindEntry* stamp = entry(found, "stamp.txt");
    EXPECT_EQ(stamp->size, 3u);
    EXPECT_EQ(stamp->time, (13 << 11) | (45 << 5) | (31 / 2));
    EXPECT_EQ(stamp->date, ((2021 - 1980) << 9) | (6 << 5) | 15);
    const FindEntry* old = entry(found, "old.txt");
    EXPECT_EQ(old->date, (0 << 9) | (1 << 5) | 1);
    EXPECT_EQ(old->time, 0);
}

TEST_F(DriveMapTest, SearchClampsSizesBeyondFourGigabytes) {
    const fs::path big = a_ / "big.img";
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY | O_LARGEFILE, 0644);
    ASSERT_GE(fd, 0);
    const off64_t five_gib = off64_t{5} << 30;
    const int truncated = ::ftruncate64(fd, five_gib); // sparse: takes no space
    ::close(fd);
    if (truncated != 0) GTEST_SKIP() << "host cannot make a 5 GiB sparse file";
    const std::vector<FindEntry> found = drives_.search("A:\\big.img", 0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].size, 0xFFFFFFFFu);
}

} // namespace
} // namespace pcplat
