#include "desk_fixture.hpp"
#include "machine/text_stream.hpp"

#include <pcplat/dos.h>
#include <pcplat/win32.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace pcplat {
namespace {

namespace fs = std::filesystem;
using testing::read_host_file;
using testing::read_stream_by_char;
using testing::write_host_file;

std::string read_stream(FILE* f) {
    std::string text;
    char chunk[1000];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, got);
    return text;
}

// Closes a stream at the end of a test, whatever happens in it.
struct StreamCloser {
    void operator()(FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

// ---------------------------------------------------------------------------------------------
// Text and binary streams on host files

class FileStream : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "files-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        tmp_ = templ;
        file_ = tmp_ / "file.txt";
    }
    void TearDown() override { fs::remove_all(tmp_); }

    Stream open(const char* mode) { return Stream(open_dos_stream(file_, mode)); }

    std::string read_text(const std::string& raw, bool by_char) {
        write_host_file(file_, raw);
        Stream f = open("r");
        EXPECT_NE(f, nullptr);
        if (!f) return {};
        return by_char ? read_stream_by_char(f.get()) : read_stream(f.get());
    }

    fs::path tmp_;
    fs::path file_;
};

TEST_F(FileStream, TextReadsTurnCrLfIntoLf) {
    for (bool by_char : {false, true}) {
        EXPECT_EQ(read_text("one\r\ntwo\r\n", by_char), "one\ntwo\n");
        EXPECT_EQ(read_text("lone\rcr\r", by_char), "lone\rcr\r"); // CR alone, also at the end
        EXPECT_EQ(read_text("\r\r\n\n\r", by_char), "\r\n\n\r");
        EXPECT_EQ(read_text("unix\nlines\n", by_char), "unix\nlines\n");
        EXPECT_EQ(read_text("", by_char), "");
    }
}

TEST_F(FileStream, TextReadsJoinACrLfSplitAcrossReads) {
    // A CR as the last byte of any read-ahead block, whatever its size.
    for (size_t before : {size_t{4095}, size_t{4094}, size_t{8191}, size_t{1}, size_t{0}}) {
        const std::string head(before, 'x');
        EXPECT_EQ(read_text(head + "\r\nz\r", false), head + "\nz\r") << before;
        EXPECT_EQ(read_text(head + "\r\nz\r", true), head + "\nz\r") << before;
        EXPECT_EQ(read_text(head + "\rz", false), head + "\rz") << before;
    }
}

TEST_F(FileStream, TextReadsLinesWithFgets) {
    write_host_file(file_, "first line\r\nsecond\r\n\r\nlast");
    Stream f = open("rt");
    ASSERT_NE(f, nullptr);
    char line[64];
    std::vector<std::string> lines;
    while (std::fgets(line, sizeof line, f.get()))
        lines.emplace_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"first line\n", "second\n", "\n", "last"}));
    EXPECT_TRUE(std::feof(f.get()));
    EXPECT_FALSE(std::ferror(f.get()));
}

TEST_F(FileStream, TextWritesTurnLfIntoCrLf) {
    {
        Stream f = open("w");
        ASSERT_NE(f, nullptr);
        std::fputs("a\nb", f.get());
        std::fputc('\n', f.get());
        std::fprintf(f.get(), "%d\n", 42);
        std::fputs("cr\r", f.get());
        EXPECT_EQ(std::fclose(f.release()), 0);
    }
    EXPECT_EQ(read_host_file(file_), "a\r\nb\r\n42\r\ncr\r");

    // More than any internal block at once.
    const std::string many(10000, '\n');
    {
        Stream f = open("wt");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fwrite(many.data(), 1, many.size(), f.get()), many.size());
        EXPECT_EQ(std::ftell(f.get()), 20000);
    }
    std::string expected;
    for (size_t i = 0; i < many.size(); ++i)
        expected += "\r\n";
    EXPECT_EQ(read_host_file(file_), expected);
}

TEST_F(FileStream, BinaryModeIsUntouched) {
    write_host_file(file_, "a\r\nb\r");
    {
        Stream f = open("rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(read_stream(f.get()), "a\r\nb\r");
    }
    {
        Stream f = open("wb");
        ASSERT_NE(f, nullptr);
        std::fputs("x\ny\r\n", f.get());
    }
    EXPECT_EQ(read_host_file(file_), "x\ny\r\n");
}

TEST_F(FileStream, AppendModesAddAtTheEnd) {
    for (const char* mode : {"a", "at"}) {
        write_host_file(file_, "old\r\n");
        {
            Stream f = open(mode);
            ASSERT_NE(f, nullptr) << mode;
            EXPECT_EQ(std::ftell(f.get()), 5) << mode;
            std::fputs("new\n", f.get());
            std::rewind(f.get());
            std::fputs("more\n", f.get()); // appending ignores the position
            EXPECT_EQ(std::ftell(f.get()), 16) << mode;
        }
        EXPECT_EQ(read_host_file(file_), "old\r\nnew\r\nmore\r\n") << mode;
    }

    write_host_file(file_, "old\r\n");
    {
        Stream f = open("a+");
        ASSERT_NE(f, nullptr);
        char line[16];
        ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr); // reading starts at 0
        EXPECT_STREQ(line, "old\n");
        std::fseek(f.get(), 0, SEEK_SET);
        std::fputs("tail\n", f.get());
        std::fseek(f.get(), 0, SEEK_SET);
        EXPECT_EQ(read_stream(f.get()), "old\ntail\n");
    }
    EXPECT_EQ(read_host_file(file_), "old\r\ntail\r\n");

    // Append creates a missing file.
    fs::remove(file_);
    Stream f = open("a");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(fs::exists(file_));
}

TEST_F(FileStream, PositionsAreRawFileOffsets) {
    write_host_file(file_, "ab\r\ncd\r\nef");
    Stream f = open("r");
    ASSERT_NE(f, nullptr);
    char line[16];
    EXPECT_EQ(std::ftell(f.get()), 0);
    ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr);
    EXPECT_EQ(std::ftell(f.get()), 4);
    ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr);
    EXPECT_EQ(std::ftell(f.get()), 8);

    // Still raw after a seek, when the stream library would count the bytes itself.
    std::rewind(f.get());
    ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr);
    EXPECT_STREQ(line, "ab\n");
    const long second = std::ftell(f.get());
    EXPECT_EQ(second, 4);
    ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr);
    EXPECT_EQ(std::ftell(f.get()), 8);
    ASSERT_EQ(std::fseek(f.get(), second, SEEK_SET), 0);
    ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr);
    EXPECT_STREQ(line, "cd\n");

    ASSERT_EQ(std::fseek(f.get(), -2, SEEK_CUR), 0);
    EXPECT_EQ(std::ftell(f.get()), 6);
    EXPECT_EQ(read_stream(f.get()), "\nef");
    ASSERT_EQ(std::fseek(f.get(), -3, SEEK_END), 0);
    EXPECT_EQ(std::ftell(f.get()), 7);
    EXPECT_EQ(read_stream(f.get()), "\nef");
    EXPECT_NE(std::fseek(f.get(), -1, SEEK_SET), 0);
}

TEST_F(FileStream, ARefusedSeekLeavesThePositionAlone) {
    const std::string text(10000, 'x');
    write_host_file(file_, text);
    Stream f = open("r");
    ASSERT_NE(f, nullptr);
    char head[10];
    ASSERT_EQ(std::fread(head, 1, sizeof head, f.get()), sizeof head);
    EXPECT_NE(std::fseek(f.get(), -20000, SEEK_END), 0);
    EXPECT_NE(std::fseek(f.get(), -20000, SEEK_CUR), 0);
    EXPECT_EQ(std::ftell(f.get()), 10);
    EXPECT_EQ(read_stream(f.get()).size(), text.size() - sizeof head);
}

TEST_F(FileStream, RewindAfterAPartialReadStartsOver) {
    write_host_file(file_, "line one\r\nline two\r\n");
    Stream f = open("r");
    ASSERT_NE(f, nullptr);
    char part[4];
    ASSERT_EQ(std::fread(part, 1, sizeof part, f.get()), sizeof part);
    std::rewind(f.get());
    EXPECT_EQ(read_stream(f.get()), "line one\nline two\n");
    EXPECT_TRUE(std::feof(f.get()));
    std::rewind(f.get()); // also clears end of file
    EXPECT_FALSE(std::feof(f.get()));
    EXPECT_EQ(std::fgetc(f.get()), 'l');
}

TEST_F(FileStream, SeekingForgetsACrWaitingForItsLf) {
    const std::string head(4095, 'x');
    write_host_file(file_, head + "\r\nz");
    Stream f = open("r");
    ASSERT_NE(f, nullptr);
    std::string got(4095, '\0');
    ASSERT_EQ(std::fread(got.data(), 1, got.size(), f.get()), got.size());
    // The CR is read ahead but not yet given out; landing on its LF reads a plain LF.
    ASSERT_EQ(std::fseek(f.get(), 4096, SEEK_SET), 0);
    EXPECT_EQ(read_stream(f.get()), "\nz");
    ASSERT_EQ(std::fseek(f.get(), 4094, SEEK_SET), 0);
    EXPECT_EQ(read_stream(f.get()), "x\nz");
}

TEST_F(FileStream, UpdateModesMixReadingAndWriting) {
    write_host_file(file_, "ab\r\ncd\r\n");
    {
        Stream f = open("r+");
        ASSERT_NE(f, nullptr);
        char line[16];
        ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr);
        ASSERT_EQ(std::fseek(f.get(), 0, SEEK_CUR), 0);
        std::fputs("XY\n", f.get());
        EXPECT_EQ(std::ftell(f.get()), 8);
        std::rewind(f.get());
        EXPECT_EQ(read_stream(f.get()), "ab\nXY\n");
    }
    EXPECT_EQ(read_host_file(file_), "ab\r\nXY\r\n");

    {
        Stream f = open("w+");
        ASSERT_NE(f, nullptr);
        std::fputs("new\ntext\n", f.get());
        EXPECT_EQ(std::ftell(f.get()), 11);
        std::rewind(f.get());
        EXPECT_EQ(read_stream(f.get()), "new\ntext\n");
    }
    EXPECT_EQ(read_host_file(file_), "new\r\ntext\r\n");
}

TEST_F(FileStream, ReportsErrorsAsStdioDoes) {
    write_host_file(file_, "x");
    {
        Stream f = open("w");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fgetc(f.get()), EOF); // not open for reading
        EXPECT_TRUE(std::ferror(f.get()));
    }
    {
        Stream f = open("r");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fputc('y', f.get()), EOF); // not open for writing
        EXPECT_TRUE(std::ferror(f.get()));
    }
    EXPECT_EQ(read_host_file(tmp_ / "file.txt"), "");
}

TEST_F(FileStream, OpensOnlyOrdinaryFilesWithKnownModes) {
    errno = 0;
    EXPECT_EQ(open_dos_stream(tmp_ / "missing", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(open_dos_stream(tmp_ / "missing" / "file", "w"), nullptr);

    write_host_file(file_, "x");
    for (const char* mode : {"", "q", "rx", "r,ccs=UTF-8"}) {
        errno = 0;
        EXPECT_EQ(open_dos_stream(file_, mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
    EXPECT_EQ(open_dos_stream(file_, nullptr), nullptr);
    Stream both(open_dos_stream(file_, "r+b"));
    EXPECT_NE(both, nullptr);

    for (const char* mode : {"r", "rb", "r+"}) {
        errno = 0;
        EXPECT_EQ(open_dos_stream(tmp_, mode), nullptr) << mode;
        EXPECT_EQ(errno, EISDIR) << mode;
    }
    // A FIFO would block the open until someone writes to it.
    ASSERT_EQ(::mkfifo((tmp_ / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(open_dos_stream(tmp_ / "pipe", "r"), nullptr);
    EXPECT_EQ(open_dos_stream(tmp_ / "pipe", "rb"), nullptr);
}

// ---------------------------------------------------------------------------------------------
// The C API on a simulated desk

class FileApi : public testing::DeskTest {
  protected:
    fs::path a() const { return root_ / "a"; }
    fs::path c() const { return root_ / "desk" / "c"; }

    // Every match of a search, closing nothing: it must end by itself.
    std::vector<std::string> find_all(const char* pattern, uint32_t attrib) {
        std::vector<std::string> found;
        DosFindData find{};
        if (win32_find_first(pattern, attrib, &find) != 0) {
            EXPECT_EQ(find.search, nullptr);
            return found;
        }
        do {
            found.emplace_back(find.name);
        } while (win32_find_next(&find) == 0);
        EXPECT_EQ(find.search, nullptr);
        return found;
    }

    void TearDown() override {
        for (auto& entry : fs::recursive_directory_iterator(root_)) {
            if (!entry.is_symlink()) {
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
            }
        }
        testing::DeskTest::TearDown();
    }
};

TEST_F(FileApi, FindWalksEveryMatchInOrderAndEndsByItself) {
    write_host_file(a() / "b.dat", "12");
    write_host_file(a() / "A.DAT", "1");
    write_host_file(a() / "c.txt");
    fs::create_directories(a() / "dir.dat");

    DosFindData find{};
    ASSERT_EQ(win32_find_first("A:\\*.DAT", 0, &find), 0);
    EXPECT_STREQ(find.name, "A.DAT");
    EXPECT_EQ(find.attrib, uint32_t{DOS_ATTR_ARCHIVE});
    EXPECT_EQ(find.size, 1u);
    EXPECT_NE(find.search, nullptr);
    ASSERT_EQ(win32_find_next(&find), 0);
    EXPECT_STREQ(find.name, "b.dat");
    EXPECT_EQ(find.size, 2u);
    EXPECT_EQ(win32_find_next(&find), -1);
    EXPECT_EQ(find.search, nullptr);
    EXPECT_EQ(win32_find_next(&find), -1); // stays ended
    win32_find_close(&find);               // harmless after the end

    EXPECT_EQ(find_all("*.dat", DOS_ATTR_DIRECTORY),
              (std::vector<std::string>{"A.DAT", "b.dat", "dir.dat"}));
    EXPECT_EQ(find_all("A:\\*.none", 0), std::vector<std::string>{});
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(find_all("A:\\nodir\\*.*", 0), std::vector<std::string>{});
}

TEST_F(FileApi, FindCanBeClosedEarly) {
    for (const char* name : {"1.tmp", "2.tmp", "3.tmp"})
        write_host_file(a() / name);
    DosFindData find{};
    ASSERT_EQ(win32_find_first("*.tmp", 0, &find), 0);
    win32_find_close(&find);
    EXPECT_EQ(find.search, nullptr);
    EXPECT_EQ(win32_find_next(&find), -1);
    win32_find_close(&find);

    // A record holding rubbish from before is not taken for a search.
    DosFindData reused;
    std::memset(&reused, 0xA5, sizeof reused);
    ASSERT_EQ(win32_find_first("*.none", 0, &reused), -1);
    EXPECT_EQ(reused.search, nullptr);
    EXPECT_EQ(win32_find_first(nullptr, 0, &reused), -1);
    EXPECT_EQ(win32_find_first("*.*", 0, nullptr), -1);
    EXPECT_EQ(win32_find_next(nullptr), -1);
    win32_find_close(nullptr);
}

TEST_F(FileApi, DeletingTheMatchesOfASearchAsItRuns) {
    for (const char* name : {"a.tmp", "B.TMP", "c.tmp", "keep.txt"})
        write_host_file(a() / name);
    DosFindData find{};
    int deleted = 0;
    for (int more = win32_find_first("A:\\*.TMP", 0, &find); more == 0;
         more = win32_find_next(&find)) {
        EXPECT_EQ(dos_delete((std::string("A:\\") + find.name).c_str()), 0) << find.name;
        ++deleted;
    }
    EXPECT_EQ(deleted, 3);
    EXPECT_EQ(find_all("A:\\*.*", 0), (std::vector<std::string>{"keep.txt"}));
}

TEST_F(FileApi, MakeDirectoryMakesExactlyOne) {
    EXPECT_EQ(win32_make_directory("A:\\NEW"), 0);
    EXPECT_TRUE(fs::is_directory(a() / "NEW"));
    EXPECT_EQ(win32_make_directory("a:\\new\\Inner"), 0); // parent matched ignoring case
    EXPECT_TRUE(fs::is_directory(a() / "NEW" / "Inner"));
    EXPECT_EQ(win32_make_directory("C:\\ONC"), 0);
    EXPECT_TRUE(fs::is_directory(c() / "ONC"));

    EXPECT_EQ(win32_make_directory("A:\\one\\two"), -1); // parent missing
    EXPECT_FALSE(fs::exists(a() / "one"));
    EXPECT_EQ(win32_make_directory("A:\\new"), -1); // name taken, in any case
    EXPECT_EQ(win32_make_directory("A:\\NEW"), -1);
    write_host_file(a() / "file");
    EXPECT_EQ(win32_make_directory("A:\\FILE"), -1);
    EXPECT_EQ(win32_make_directory("A:\\"), -1);
    EXPECT_EQ(win32_make_directory("A:\\dir*"), -1);
    EXPECT_EQ(win32_make_directory("A:\\..\\escape"), -1);
    EXPECT_EQ(win32_make_directory(""), -1);
    EXPECT_EQ(win32_make_directory(nullptr), -1);
    EXPECT_FALSE(fs::exists(root_ / "escape"));
}

TEST_F(FileApi, DeleteRemovesOrdinaryFilesOnly) {
    write_host_file(a() / "gone.txt");
    write_host_file(a() / "locked.txt");
    fs::permissions(a() / "locked.txt", fs::perms::owner_write, fs::perm_options::remove);
    fs::create_directories(a() / "dir");

    EXPECT_EQ(dos_delete("A:\\GONE.TXT"), 0);
    EXPECT_FALSE(fs::exists(a() / "gone.txt"));
    EXPECT_EQ(dos_delete("A:\\gone.txt"), DOS_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(dos_delete("A:\\nodir\\gone.txt"), DOS_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(dos_delete("Q:\\x"), DOS_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(dos_delete(nullptr), DOS_ERROR_PATH_NOT_FOUND);

    EXPECT_EQ(dos_delete("A:\\locked.txt"), DOS_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::exists(a() / "locked.txt"));
    EXPECT_EQ(dos_delete("A:\\dir"), DOS_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_directory(a() / "dir"));
    EXPECT_EQ(dos_delete("A:\\"), DOS_ERROR_ACCESS_DENIED);

    // Wildcards name no file.
    write_host_file(a() / "w1.txt");
    EXPECT_EQ(dos_delete("A:\\w*.txt"), DOS_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(dos_delete("A:\\w?.txt"), DOS_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(fs::exists(a() / "w1.txt"));
}

TEST_F(FileApi, NothingOutsideTheDrivesCanBeTouched) {
    fs::create_directories(root_ / "outside");
    write_host_file(root_ / "outside" / "victim", "keep");
    fs::create_directory_symlink(root_ / "outside", a() / "link");
    fs::create_symlink(root_ / "outside" / "victim", a() / "victim");

    EXPECT_NE(dos_delete("A:\\link\\victim"), 0);
    EXPECT_NE(dos_delete("A:\\victim"), 0);
    EXPECT_NE(dos_delete("A:\\..\\outside\\victim"), 0);
    EXPECT_EQ(win32_fopen("A:\\victim", "w"), nullptr);
    EXPECT_EQ(win32_fopen("A:\\..\\outside\\victim", "r"), nullptr);
    EXPECT_EQ(win32_make_directory("A:\\link\\made"), -1);
    EXPECT_EQ(find_all("A:\\link\\*.*", 0), std::vector<std::string>{});
    EXPECT_EQ(read_host_file(root_ / "outside" / "victim"), "keep");
    EXPECT_FALSE(fs::exists(root_ / "outside" / "made"));
}

TEST_F(FileApi, FopenFindsNamesIgnoringCaseAndReadsText) {
    write_host_file(a() / "tolvanex.des", "COPY a,b\r\nSTOP\r\n");
    {
        Stream f(win32_fopen("A:\\TOLVANEX.DES", "r"));
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(read_stream(f.get()), "COPY a,b\nSTOP\n");
    }
    {
        Stream f(win32_fopen("tolvanex.DES", "rb"));
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(read_stream(f.get()), "COPY a,b\r\nSTOP\r\n");
    }
    {
        Stream f(win32_fopen("C:\\LOG.TXT", "w"));
        ASSERT_NE(f, nullptr);
        std::fputs("done\n", f.get());
    }
    EXPECT_EQ(read_host_file(c() / "LOG.TXT"), "done\r\n");

    EXPECT_EQ(win32_fopen("A:\\*.DES", "r"), nullptr);
    EXPECT_EQ(win32_fopen("A:\\missing\\x.txt", "w"), nullptr);
    EXPECT_EQ(win32_fopen("A:\\nothere.txt", "r"), nullptr);
    EXPECT_EQ(win32_fopen(nullptr, "r"), nullptr);
    EXPECT_EQ(win32_fopen("A:\\tolvanex.des", nullptr), nullptr);
}

} // namespace
} // namespace pcplat
