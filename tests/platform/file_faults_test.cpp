// The file calls behind a safe replace (flush to the disk, move over a file) and the fault hook
// that lets tests break the disk under them.
#include "desk_fixture.hpp"
#include "machine/file_faults.hpp"
#include "machine/text_stream.hpp"

#include <pcplat/win32.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

namespace pcplat {
namespace {

namespace fs = std::filesystem;
using testing::read_host_file;
using testing::read_stream_by_char;
using testing::write_host_file;

struct StreamCloser {
    void operator()(FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

TEST(FileFaultRules, ParseEveryKindAndRefuseWhatCannotBeMeant) {
    const FileFaults faults = FileFaults::parse("create:~TVX*.TMP;full:*.BIN:100;flush:A.*;"
                                                "flip:a.bin;");
    EXPECT_TRUE(faults.active());
    EXPECT_TRUE(faults.refuses_create("~tvx0001.tmp"));
    EXPECT_FALSE(faults.refuses_create("X.TMP"));
    const StreamFaults bin = faults.for_stream("A.BIN");
    ASSERT_TRUE(bin.write_budget.has_value());
    EXPECT_EQ(*bin.write_budget, 100u);
    EXPECT_TRUE(bin.fail_sync);
    EXPECT_TRUE(bin.flip_first_byte);
    EXPECT_FALSE(faults.for_stream("B.TXT").any());
    EXPECT_FALSE(FileFaults::parse("").active());

    for (const char* bad :
         {"drop:*.*", "full:*.*", "full:*.*:ten", "full:*.*:-1", "flip:", "create", "flush:a:b"}) {
        EXPECT_THROW(FileFaults::parse(bad), std::invalid_argument) << bad;
    }
}

class FaultedStream : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "faults-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        tmp_ = templ;
    }
    void TearDown() override { fs::remove_all(tmp_); }

    Stream open(const char* name, const char* mode) {
        return Stream(open_dos_stream(tmp_ / name, mode, &faults_));
    }

    fs::path tmp_;
    FileFaults faults_;
};

TEST_F(FaultedStream, RefusedCreationMakesNothing) {
    faults_ = FileFaults::parse("create:*.TMP");
    for (const char* mode : {"wb", "w", "ab", "a+"}) {
        errno = 0;
        EXPECT_EQ(open("x.tmp", mode), nullptr) << mode;
        EXPECT_EQ(errno, EACCES) << mode;
    }
    EXPECT_FALSE(fs::exists(tmp_ / "x.tmp"));
    EXPECT_NE(open("x.dat", "wb"), nullptr);
    // Reading is not creating.
    write_host_file(tmp_ / "old.tmp", "old");
    Stream old = open("old.tmp", "rb");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(read_stream_by_char(old.get()), "old");
}

TEST_F(FaultedStream, AFullDiskFailsTheWriteThatMeetsIt) {
    faults_ = FileFaults::parse("full:*.BIN:10");
    const std::string data(25, 'x');
    {
        Stream f = open("a.bin", "wb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fwrite(data.data(), 4, 1, f.get()), 1u);
        EXPECT_EQ(std::fwrite(data.data(), data.size(), 1, f.get()), 0u);
        EXPECT_TRUE(std::ferror(f.get()));
    }
    EXPECT_EQ(read_host_file(tmp_ / "a.bin"), std::string(10, 'x'));
    {
        // Each stream gets its own budget; text streams count the bytes that reach the disk.
        Stream f = open("b.bin", "w");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fputs("1234\n6789\n", f.get()), EOF);
    }
    EXPECT_EQ(read_host_file(tmp_ / "b.bin"), "1234\r\n6789");
}

TEST_F(FaultedStream, FlippedReadsTouchOnlyTheFirstByte) {
    faults_ = FileFaults::parse("flip:*.BIN");
    write_host_file(tmp_ / "a.bin", std::string("\x0F\r\nrest", 7));
    Stream f = open("a.bin", "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_stream_by_char(f.get()), std::string("\xF0\r\nrest", 7)); // binary: CR LF stays
    ASSERT_EQ(std::fseek(f.get(), 1, SEEK_SET), 0);
    EXPECT_EQ(read_stream_by_char(f.get()), "\r\nrest");
    std::rewind(f.get());
    EXPECT_EQ(std::fgetc(f.get()), 0xF0); // every read of it, not just the first
    EXPECT_EQ(std::ftell(f.get()), 1);
    EXPECT_EQ(read_host_file(tmp_ / "a.bin"), std::string("\x0F\r\nrest", 7));

    write_host_file(tmp_ / "c.dat", "plain");
    Stream other = open("c.dat", "rb");
    EXPECT_EQ(read_stream_by_char(other.get()), "plain");
}

TEST_F(FaultedStream, SyncReachesTheDiskUnlessTheFlushFails) {
    faults_ = FileFaults::parse("flush:bad.*");
    for (const char* mode : {"wb", "w"}) {
        Stream good = open("good.bin", mode);
        ASSERT_NE(good, nullptr);
        std::fputs("data", good.get());
        EXPECT_EQ(sync_dos_stream(good.get()), 0) << mode;
        EXPECT_EQ(read_host_file(tmp_ / "good.bin"), "data");

        Stream bad = open("bad.bin", mode);
        ASSERT_NE(bad, nullptr);
        std::fputs("data", bad.get());
        errno = 0;
        EXPECT_EQ(sync_dos_stream(bad.get()), -1) << mode;
        EXPECT_EQ(errno, EIO);
    }
    EXPECT_EQ(sync_dos_stream(nullptr), -1);
}

// ---------------------------------------------------------------------------------------------
// The C API on a simulated desk

class SafeReplace : public testing::DeskTest {
  protected:
    fs::path c() const { return root_ / "desk" / "c"; }
    void TearDown() override {
        if (fs::exists(c() / "locked.exe"))
            fs::permissions(c() / "locked.exe", fs::perms::owner_write, fs::perm_options::add);
        testing::DeskTest::TearDown();
    }
};

TEST_F(SafeReplace, MoveReplacesAnOrdinaryFileInOneStep) {
    write_host_file(c() / "new.tmp", "new");
    write_host_file(c() / "app.exe", "old");
    EXPECT_EQ(win32_move_file_replace("C:\\NEW.TMP", "C:\\APP.EXE"), 0); // names ignoring case
    EXPECT_EQ(read_host_file(c() / "app.exe"), "new");
    EXPECT_FALSE(fs::exists(c() / "new.tmp"));
    EXPECT_FALSE(fs::exists(c() / "APP.EXE"));

    write_host_file(c() / "new.tmp", "fresh");
    EXPECT_EQ(win32_move_file_replace("C:\\new.tmp", "C:\\FRESH.DAT"), 0);
    EXPECT_EQ(read_host_file(c() / "FRESH.DAT"), "fresh");
}

TEST_F(SafeReplace, MoveLeavesBothAloneWhenItCannot) {
    write_host_file(c() / "new.tmp", "new");
    fs::create_directories(c() / "dir.exe");
    write_host_file(c() / "locked.exe", "old");
    fs::permissions(c() / "locked.exe", fs::perms::owner_write, fs::perm_options::remove);

    EXPECT_EQ(win32_move_file_replace("C:\\new.tmp", "C:\\dir.exe"), -1);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_ACCESS_DENIED});
    EXPECT_EQ(win32_move_file_replace("C:\\new.tmp", "C:\\locked.exe"), -1);
    EXPECT_EQ(read_host_file(c() / "locked.exe"), "old");
    EXPECT_EQ(win32_move_file_replace("C:\\gone.tmp", "C:\\x.exe"), -1);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(win32_move_file_replace("C:\\dir.exe", "C:\\x.exe"), -1);
    EXPECT_EQ(win32_move_file_replace("C:\\new.tmp", "C:\\nodir\\x.exe"), -1);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_PATH_NOT_FOUND});
    EXPECT_EQ(win32_move_file_replace("C:\\new.tmp", "C:\\..\\outside"), -1);
    EXPECT_EQ(win32_move_file_replace(nullptr, "C:\\x.exe"), -1);
    EXPECT_EQ(win32_move_file_replace("C:\\new.tmp", nullptr), -1);
    EXPECT_EQ(read_host_file(c() / "new.tmp"), "new");
    EXPECT_FALSE(fs::exists(root_ / "desk" / "outside"));
}

TEST_F(SafeReplace, FlushGoesThroughTheMachinesFaults) {
    m().file_faults = FileFaults::parse("flush:*.TMP");
    Stream good(win32_fopen("C:\\A.DAT", "wb"));
    ASSERT_NE(good, nullptr);
    std::fputs("x", good.get());
    EXPECT_EQ(win32_flush_file_buffers(good.get()), 0);
    EXPECT_EQ(read_host_file(c() / "A.DAT"), "x");

    Stream bad(win32_fopen("C:\\B.TMP", "wb"));
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(win32_flush_file_buffers(bad.get()), -1);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_WRITE_FAULT});
    EXPECT_EQ(win32_flush_file_buffers(nullptr), -1);
}

TEST_F(SafeReplace, TheMachineTakesItsFaultsFromTheEnvironment) {
    EXPECT_FALSE(m().file_faults.active());
    ::setenv(FileFaults::kVariable, "create:*.TMP", 1);
    stop();
    start();
    ::unsetenv(FileFaults::kVariable);
    EXPECT_TRUE(m().file_faults.active());
    EXPECT_EQ(win32_fopen("C:\\X.TMP", "wb"), nullptr);

    ::setenv(FileFaults::kVariable, "bogus", 1);
    stop();
    EXPECT_THROW(start(), ProfileError);
    ::unsetenv(FileFaults::kVariable);
    start();
}

} // namespace
} // namespace pcplat
