// Resource files: the file layout byte for byte, lookups with and without the index,
// enumeration, deletion, packed entries, and damaged files refused without reading or writing
// outside the file.
#include "core/library.hpp"
#include "exec_fixture.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace vantrel::testing {
namespace {

std::string le16(uint16_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}
std::string le32(uint32_t v) {
    return le16(static_cast<uint16_t>(v)) + le16(static_cast<uint16_t>(v >> 16));
}
std::string header(uint16_t count, uint8_t version = 3, uint8_t state = 0, uint32_t index = 0) {
    return std::string("Q5VRSC") + static_cast<char>(version) + static_cast<char>(state) +
           le32(index) + le16(count);
}
std::string entry(const char* type, uint16_t id, const std::string& data) {
    return std::string(type, 4) + le16(id) + le32(static_cast<uint32_t>(data.size())) + data;
}
std::string index_record(const char* type, uint16_t id, uint32_t offset) {
    return std::string(type, 4) + le16(id) + le32(offset);
}

// The sizes of the reads the services ask of the file layer.
std::vector<uint32_t> g_reads;
uint32_t recording_read(void* buffer, uint32_t size, uint32_t count, FILE* file) {
    g_reads.push_back(size * count);
    return EXEC_FILERead(buffer, size, count, file);
}

class ResourceFilesTest : public ExecTest {
  protected:
    void SetUp() override {
        ExecTest::SetUp();
        owner3_at_start_ = owner3();
    }
    void TearDown() override {
        if (rsc_) exec_->EXEC_RSCClose(rsc_);
        EXPECT_EQ(owner3(), owner3_at_start_) << "resource file memory left allocated";
        EXPECT_EQ(depth(), 0);
        ExecTest::TearDown();
    }
    void put(const std::string& bytes, const char* name = "T.RSC") {
        std::ofstream(root_ / "a" / name, std::ios::binary) << bytes;
    }
    std::string contents() {
        if (rsc_) exec_->EXEC_FILEFlush(rsc_->file);
        return drive_a_file("T.RSC");
    }
    RSCFile* open() {
        if (rsc_) exec_->EXEC_RSCClose(rsc_);
        rsc_ = exec_->EXEC_RSCOpen("T.RSC");
        return rsc_;
    }
    void close() {
        exec_->EXEC_RSCClose(rsc_);
        rsc_ = nullptr;
    }
    uint16_t add(const char* type, uint16_t id, const std::string& data) {
        const auto size = static_cast<uint32_t>(data.size());
        if (!exec_->EXEC_RSCAdd(rsc_, type, id, size)) return 0;
        if (size == 0) return 1;
        EXPECT_EQ(exec_->EXEC_RSCFind(rsc_, type, id), size);
        return exec_->EXEC_RSCWrite(rsc_, size, data.data()) == size;
    }
    std::string read(const char* type, uint16_t id) {
        std::string data(exec_->EXEC_RSCFind(rsc_, type, id), '\0');
        if (!data.empty()) {
            EXPECT_EQ(exec_->EXEC_RSCRead(rsc_, data.size(), data.data()), data.size());
        }
        return data;
    }
    uint32_t owner3() {
        uint32_t peak = 0, current = 0;
        char name[64];
        exec_->EXEC_MEMGetUsage(3, &peak, &current, name);
        return current;
    }
    // "TYPE/id:size" of every entry, enumerated with "ANY ".
    std::string listing() {
        std::string out;
        char type[5] = "ANY ";
        uint16_t id = 0;
        uint32_t size = exec_->EXEC_RSCFindFirst(rsc_, type, &id);
        for (int guard = 0; guard < 100 && size != 0; ++guard) {
            out +=
                std::string(type, 4) + "/" + std::to_string(id) + ":" + std::to_string(size) + " ";
            std::memcpy(type, "ANY ", 4);
            size = exec_->EXEC_RSCFindNext(rsc_, type, &id);
        }
        return out;
    }

    RSCFile* rsc_ = nullptr;
    uint32_t owner3_at_start_ = 0;
};

TEST_F(ResourceFilesTest, ACreatedFileIsTheBareHeaderAndOpensWithTheCursorAtAny) {
    ASSERT_EQ(exec_->EXEC_RSCCreate("T.RSC"), 1);
    EXPECT_EQ(contents(), header(0));
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(std::string(rsc_->type, 4), "ANY ");
    EXPECT_EQ(rsc_->id, 0);
    EXPECT_EQ(exec_->EXEC_RSCCreate("NODIR\\T.RSC"), 0);
    EXPECT_EQ(exec_->EXEC_RSCOpen("MISSING.RSC"), nullptr);
}

TEST_F(ResourceFilesTest, OnlyVersions2And3WithTheMagicOpen) {
    const struct {
        std::string bytes;
        bool opens;
    } cases[] = {
        {header(0, 1), false},
        {header(0, 2), true},
        {header(0, 3), true},
        {header(0, 4), false},
        {"Q5VRSc" + header(0).substr(6), false},
        {header(0).substr(0, 13), false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        put(c.bytes);
        EXPECT_EQ(open() != nullptr, c.opens);
    }
}

TEST_F(ResourceFilesTest, AddAppendsZeroFilledEntriesAndRefusesOnlyTheSamePair) {
    put(header(0));
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(exec_->EXEC_RSCAdd(rsc_, "TEXT", 1, 3), 1);
    const std::string one = header(1) + entry("TEXT", 1, std::string(3, '\0'));
    EXPECT_EQ(contents(), one);
    EXPECT_EQ(exec_->EXEC_RSCAdd(rsc_, "TEXT", 1, 5), 0);
    EXPECT_EQ(contents(), one);
    EXPECT_EQ(exec_->EXEC_RSCAdd(rsc_, "TEXT", 2, 0), 1);
    EXPECT_EQ(exec_->EXEC_RSCAdd(rsc_, "ICON", 1, 1), 1);
    EXPECT_EQ(contents(), header(3) + entry("TEXT", 1, std::string(3, '\0')) +
                              entry("TEXT", 2, "") + entry("ICON", 1, std::string(1, '\0')));
    // An entry of size 0 cannot be told from a missing one.
    EXPECT_EQ(exec_->EXEC_RSCFind(rsc_, "TEXT", 2), 0u);
    EXPECT_EQ(exec_->EXEC_RSCAdd(nullptr, "TEXT", 9, 1), 0);
}

TEST_F(ResourceFilesTest, FindLeavesTheFileAtTheDataForReadAndWrite) {
    put(header(2) + entry("AAAA", 1, "first") + entry("BBBB", 7, "second"));
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(read("BBBB", 7), "second");
    EXPECT_EQ(exec_->EXEC_RSCFind(rsc_, "AAAA", 1), 5u);
    EXPECT_EQ(exec_->EXEC_RSCWrite(rsc_, 5, "FIRST"), 5u);
    EXPECT_EQ(read("AAAA", 1), "FIRST");
    EXPECT_EQ(exec_->EXEC_RSCFind(rsc_, "AAAA", 7), 0u);
    char buffer[8];
    EXPECT_EQ(exec_->EXEC_RSCRead(rsc_, 0, buffer), 0u);
    EXPECT_EQ(exec_->EXEC_RSCFind(rsc_, "BBBB", 7), 6u);
    EXPECT_EQ(exec_->EXEC_RSCRead(rsc_, 8, buffer), 0u) << "a read past the file's end";
}

TEST_F(ResourceFilesTest, DeleteMovesTheTailDownAndKeepsTheLength) {
    const std::string a = entry("AAAA", 1, "aa"), b = entry("BBBB", 2, "bbbbbbbbbbbbbbbbbbbbbbbb"),
                      c = entry("CCCC", 3, "c");
    put(header(3) + a + b + c + "tail");
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(exec_->EXEC_RSCDelete(rsc_, "BBBB", 3), 0);
    EXPECT_EQ(exec_->EXEC_RSCDelete(rsc_, "BBBB", 2), 1);
    const std::string moved = c + "tail";
    const std::string after = header(2) + a + moved + (b + c + "tail").substr(moved.size());
    EXPECT_EQ(contents(), after);
    EXPECT_EQ(read("CCCC", 3), "c");
    // The next entry goes right after the last one, over the stale bytes.
    EXPECT_EQ(add("DDDD", 4, "dd"), 1);
    const std::string added = header(3) + a + c + entry("DDDD", 4, "dd");
    EXPECT_EQ(contents(), added + after.substr(added.size()));
}

TEST_F(ResourceFilesTest, TheIndexFollowsTheEntriesAndAnAddMarksItInvalid) {
    const std::string a = entry("AAAA", 1, "x"), b = entry("BBBB", 2, "yy");
    put(header(2) + a + b);
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(exec_->EXEC_RSCBuildIndex(nullptr), 0);
    ASSERT_EQ(exec_->EXEC_RSCBuildIndex(rsc_), 1);
    const auto end = static_cast<uint32_t>(14 + a.size() + b.size());
    EXPECT_EQ(contents(), header(2, 3, 1, end) + a + b + index_record("AAAA", 1, 14) +
                              index_record("BBBB", 2, 14 + static_cast<uint32_t>(a.size())));
    EXPECT_EQ(read("BBBB", 2), "yy");
    EXPECT_EQ(exec_->EXEC_RSCFind(rsc_, "CCCC", 2), 0u);
    EXPECT_EQ(add("CCCC", 3, "z"), 1);
    const std::string now = contents();
    EXPECT_EQ(now.substr(0, 14), header(3, 3, 0, end)) << "the stale offset stays";
    EXPECT_EQ(now.substr(end, 11), entry("CCCC", 3, "z"));
}

TEST_F(ResourceFilesTest, TheIndexIsReadOnlyInVersion3AndInGroupsOf25) {
    std::string body;
    std::string records;
    for (uint16_t i = 0; i < 30; ++i) {
        records += index_record("ITEM", i, static_cast<uint32_t>(14 + body.size()));
        body += entry("ITEM", i, std::string(1, static_cast<char>('a' + i)));
    }
    const auto end = static_cast<uint32_t>(14 + body.size());
    const struct {
        uint8_t version, state;
        std::vector<uint32_t> reads; // after the header
    } cases[] = {
        {3, 1, {250, 50, 10}},
        {3, 0x2D, {}},
        {2, 1, {}},
    };
    exec_->EXEC_FILERead = recording_read;
    for (const auto& c : cases) {
        SCOPED_TRACE(int{c.state} + 256 * c.version);
        put(header(30, c.version, c.state, end) + body + records);
        ASSERT_NE(open(), nullptr);
        g_reads.clear();
        EXPECT_EQ(read("ITEM", 27), "\x7c") << "'a' + 27";
        std::vector<uint32_t> reads(g_reads.begin() + 1, g_reads.end() - 1); // header, data
        if (c.reads.empty()) {
            EXPECT_EQ(reads.size(), 28u) << "a walk of 28 entry headers";
        } else {
            EXPECT_EQ(reads, c.reads);
        }
    }
}

TEST_F(ResourceFilesTest, EnumerationWithAnyAndWithAType) {
    put(header(4) + entry("TEXT", 1, "a") + entry("ICON", 1, "bb") + entry("TEXT", 5, "ccc") +
        entry("ICON", 2, "dddd"));
    ASSERT_NE(open(), nullptr);
    char type[5] = "ANY ";
    uint16_t id = 99;
    EXPECT_EQ(exec_->EXEC_RSCFindNext(rsc_, type, &id), 0u) << "no entry ANY /0";
    EXPECT_EQ(listing(), "TEXT/1:1 ICON/1:2 TEXT/5:3 ICON/2:4 ");
    std::memcpy(type, "ICON", 4);
    EXPECT_EQ(exec_->EXEC_RSCFindFirst(rsc_, type, &id), 2u);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(exec_->EXEC_RSCFindNext(rsc_, type, &id), 4u);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(exec_->EXEC_RSCFindNext(rsc_, type, &id), 0u);
    // The cursor survives the deletion of another entry; deleting it ends the enumeration.
    std::memcpy(type, "TEXT", 4);
    EXPECT_EQ(exec_->EXEC_RSCFindFirst(rsc_, type, &id), 1u);
    EXPECT_EQ(exec_->EXEC_RSCDelete(rsc_, "ICON", 1), 1);
    EXPECT_EQ(exec_->EXEC_RSCFindNext(rsc_, type, &id), 3u);
    EXPECT_EQ(exec_->EXEC_RSCDelete(rsc_, "TEXT", 5), 1);
    EXPECT_EQ(exec_->EXEC_RSCFindNext(rsc_, type, &id), 0u);
}

TEST_F(ResourceFilesTest, PackedEntriesRoundTripInEveryMethod) {
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data += static_cast<char>("abcabd"[i % 6] + i / 700);
    for (uint8_t method = 0; method <= 3; ++method) {
        SCOPED_TRACE(int{method});
        exec_->EXEC_RSCSavePacked(data.data(), static_cast<uint32_t>(data.size()), "P.RSC", "DATA",
                                  method, method);
        ASSERT_EQ(exec_->EXEC_RSCPackedSize("P.RSC", "DATA", method), data.size());
        std::string out(data.size() + 1, '#');
        ASSERT_EQ(exec_->EXEC_RSCLoadPacked(out.data(), static_cast<uint32_t>(data.size()), "P.RSC",
                                            "DATA", method),
                  1);
        EXPECT_EQ(out, data + "#");
        // Too small a destination is refused before a byte is written.
        std::string small(10, '#');
        EXPECT_EQ(exec_->EXEC_RSCLoadPacked(small.data(), 9, "P.RSC", "DATA", method), 0);
        EXPECT_EQ(small, std::string(10, '#'));
        EXPECT_EQ(exec_->EXEC_RSCLoadPacked(out.data(), 0, "P.RSC", "DATA", method), 0);
    }
    EXPECT_EQ(exec_->EXEC_RSCPackedSize("P.RSC", "DATA", 9), 0u);
    EXPECT_EQ(exec_->EXEC_RSCPackedSize("NONE.RSC", "DATA", 0), 0u);
}

TEST_F(ResourceFilesTest, SavingOverwritesInPlaceOnlyWhenThePackedLengthIsTheSame) {
    put(header(2) + entry("AAAA", 1, std::string(5 + 3, 'x')) + entry("BBBB", 1, "b"));
    exec_->EXEC_RSCSavePacked("new", 3, "T.RSC", "AAAA", 1, 0);
    EXPECT_EQ(drive_a_file("T.RSC"), header(2) + entry("AAAA", 1, std::string("\0\3\0\0\0new", 8)) +
                                         entry("BBBB", 1, "b"));
    exec_->EXEC_RSCSavePacked("four", 4, "T.RSC", "AAAA", 1, 0);
    const std::string moved =
        header(2) + entry("BBBB", 1, "b") + entry("AAAA", 1, std::string("\0\4\0\0\0four", 9));
    EXPECT_EQ(drive_a_file("T.RSC"), moved);
    // A method the packer does not know leaves the stored entry alone, and says so.
    ::testing::internal::CaptureStdout();
    exec_->EXEC_RSCSavePacked("other", 5, "T.RSC", "AAAA", 1, 9);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error writing the data.\n");
    EXPECT_EQ(drive_a_file("T.RSC"), moved);
}

TEST_F(ResourceFilesTest, SavingReportsOnlyOnTheConsole) {
    const struct {
        std::string before;
        uint32_t size;
        std::string after;
        std::string printed;
    } cases[] = {
        // Nothing to pack: the write of 0 bytes reports an error either way.
        {header(0), 0, header(0), "Error writing the data.\n"},
        {header(1) + entry("AAAA", 1, "old"), 0, header(1) + entry("AAAA", 1, "") + "old",
         "Error writing the data.\n"},
        {"", 2, header(1) + entry("AAAA", 1, std::string("\0\2\0\0\0ab", 7)), ""},
        // A file that is not a resource file is kept, not replaced by a new one.
        {"not a resource file", 2, "not a resource file", "Failed to open resource file.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        std::filesystem::remove(root_ / "a" / "T.RSC");
        if (!c.before.empty()) put(c.before);
        ::testing::internal::CaptureStdout();
        exec_->EXEC_RSCSavePacked("ab", c.size, "T.RSC", "AAAA", 1, 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(drive_a_file("T.RSC"), c.after);
    }
    exec_->quiet = 1;
    ::testing::internal::CaptureStdout();
    exec_->EXEC_RSCSavePacked("ab", 0, "T.RSC", "AAAA", 1, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    exec_->quiet = 0;
}

TEST_F(ResourceFilesTest, DamagedFilesFailEveryServiceWithoutChange) {
    const std::string a = entry("AAAA", 1, "aa");
    const std::string cases[] = {
        header(2) + a,                                          // a count past the end
        header(1) + entry("AAAA", 1, "aa").substr(0, 11),       // data past the end
        header(1) + "AAAA" + le16(1) + le32(0xFFFFFFFF) + "aa", // a size that wraps
        header(1) + "AAAA" + le16(1) + le32(0xFFFFFFF6) + "aa", // offset + 10 + size wraps to 14
        header(1) + "AAA",                                      // a cut entry header
    };
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(bytes.size());
        put(bytes);
        ASSERT_NE(open(), nullptr) << "the header itself is sound";
        // Every lookup of an absent entry walks into the damage.
        char type[5] = "ZZZZ";
        uint16_t id = 0;
        EXPECT_EQ(exec_->EXEC_RSCFind(rsc_, "ZZZZ", 1), 0u);
        EXPECT_EQ(exec_->EXEC_RSCFindFirst(rsc_, type, &id), 0u);
        EXPECT_EQ(exec_->EXEC_RSCFindNext(rsc_, type, &id), 0u);
        EXPECT_EQ(exec_->EXEC_RSCAdd(rsc_, "NEW ", 1, 1), 0);
        EXPECT_EQ(exec_->EXEC_RSCDelete(rsc_, "ZZZZ", 1), 0);
        EXPECT_EQ(exec_->EXEC_RSCBuildIndex(rsc_), 0);
        close();
        EXPECT_EQ(exec_->EXEC_RSCPackedSize("T.RSC", "ZZZZ", 1), 0u);
        char out[16];
        EXPECT_EQ(exec_->EXEC_RSCLoadPacked(out, sizeof out, "T.RSC", "ZZZZ", 1), 0);
        EXPECT_EQ(drive_a_file("T.RSC"), bytes);
    }
}

TEST_F(ResourceFilesTest, ABadIndexFallsBackToTheEntriesItself) {
    const std::string a = entry("AAAA", 1, "aa"), b = entry("BBBB", 2, "b");
    const std::string body = a + b;
    const auto end = static_cast<uint32_t>(14 + body.size());
    const struct {
        uint32_t index_offset;
        std::string records;
    } cases[] = {
        {end + 5, index_record("AAAA", 1, 14) + index_record("BBBB", 2, 30)}, // past the end
        {0xFFFFFFF0, ""},                                                     // wraps
        {end, index_record("AAAA", 1, 14) + index_record("BBBB", 2, 0xFFFFFFF8)},
        {end, index_record("AAAA", 1, 14) + index_record("BBBB", 2, 14)}, // another entry
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index_offset);
        put(header(2, 3, 1, c.index_offset) + body + c.records);
        ASSERT_NE(open(), nullptr);
        EXPECT_EQ(read("BBBB", 2), "b");
        EXPECT_EQ(read("AAAA", 1), "aa");
    }
}

TEST(MemCompare, NullOrNothingComparesEqual) {
    const struct {
        const char *a, *b;
        uint32_t n;
        uint16_t equal;
    } cases[] = {
        {"abc", "abd", 2, 1}, {"abc", "abd", 3, 0}, {nullptr, "x", 1, 1},
        {"x", nullptr, 1, 1}, {"a", "b", 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EXEC_MEMCompare(c.a, c.b, c.n), c.equal) << c.n;
}

} // namespace
} // namespace vantrel::testing
