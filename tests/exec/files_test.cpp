#include "exec_fixture.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace vantrel::testing {
namespace {

class FilesTest : public ExecTest {
  protected:
    void put_drive_a_file(const std::string& name, const std::string& bytes) {
        std::ofstream(root_ / "a" / name, std::ios::binary) << bytes;
    }
    FILE* open(const char* name, const char* mode) { return exec_->EXEC_FILEOpen(name, mode); }
};

// Runs the body with standard output captured and returns what it printed.
template <typename Body>
std::string printed_by(Body body) {
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

TEST_F(FilesTest, NullHandleAndBufferAreRefused) {
    char buffer[4]{};
    EXPECT_EQ(exec_->EXEC_FILESeek(nullptr, 0, 0), 1);
    EXPECT_EQ(exec_->EXEC_FILETell(nullptr), 0);
    EXPECT_EQ(exec_->EXEC_FILELength(nullptr), 0u);
    EXPECT_EQ(exec_->EXEC_FILEFlush(nullptr), 0);
    EXPECT_EQ(exec_->EXEC_FILERead(buffer, 1, 4, nullptr), 0u);
    EXPECT_EQ(exec_->EXEC_FILEWrite(buffer, 1, 4, nullptr), 0u);
    EXPECT_EQ(exec_->EXEC_FILEPrintf(nullptr, "%d", 1), 0);
    exec_->EXEC_FILEClose(nullptr);
    EXPECT_EQ(open("missing.bin", "rb"), nullptr);

    put_drive_a_file("data.bin", "abcdef");
    FILE* file = open("data.bin", "rb+");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(exec_->EXEC_FILERead(nullptr, 1, 4, file), 0u);
    EXPECT_EQ(exec_->EXEC_FILETell(file), 0) << "a null buffer must read nothing";
    EXPECT_EQ(exec_->EXEC_FILEWrite(nullptr, 1, 4, file), 0u);
    exec_->EXEC_FILEClose(file);
    EXPECT_EQ(drive_a_file("data.bin"), "abcdef");
}

TEST_F(FilesTest, LengthKeepsThePosition) {
    put_drive_a_file("data.bin", std::string(300, 'x').replace(100, 1, "y"));
    FILE* file = open("A:\\DATA.BIN", "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(exec_->EXEC_FILESeek(file, 100, 0), 0);
    EXPECT_EQ(exec_->EXEC_FILELength(file), 300u);
    EXPECT_EQ(exec_->EXEC_FILETell(file), 100);
    char next = 0;
    EXPECT_EQ(exec_->EXEC_FILERead(&next, 1, 1, file), 1u);
    EXPECT_EQ(next, 'y');
    exec_->EXEC_FILEClose(file);
}

TEST_F(FilesTest, ReadingAndWritingAlternateOnAnUpdateStream) {
    put_drive_a_file("data.bin", "0123456789");
    FILE* file = open("data.bin", "rb+");
    ASSERT_NE(file, nullptr);
    char buffer[3]{};
    ASSERT_EQ(exec_->EXEC_FILERead(buffer, 1, 3, file), 3u);
    EXPECT_EQ(std::string(buffer, 3), "012");
    ASSERT_EQ(exec_->EXEC_FILEWrite("XY", 1, 2, file), 2u);
    ASSERT_EQ(exec_->EXEC_FILERead(buffer, 1, 2, file), 2u);
    EXPECT_EQ(std::string(buffer, 2), "56");
    ASSERT_EQ(exec_->EXEC_FILEWrite("Z", 1, 1, file), 1u);
    exec_->EXEC_FILEClose(file);
    EXPECT_EQ(drive_a_file("data.bin"), "012XY56Z89");
}

TEST_F(FilesTest, FlushPutsBufferedBytesOnDisk) {
    FILE* file = open("data.bin", "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(exec_->EXEC_FILEWrite("abc", 1, 3, file), 3u);
    EXPECT_EQ(exec_->EXEC_FILEFlush(file), 0);
    EXPECT_EQ(drive_a_file("data.bin"), "abc");
    exec_->EXEC_FILEClose(file);
}

TEST_F(FilesTest, TextAppendWritesCrLfAndCountsCharacters) {
    FILE* file = open("log.txt", "at");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(exec_->EXEC_FILEPrintf(file, "a %d\n", 1), 4);
    exec_->EXEC_FILEClose(file);
    file = open("log.txt", "at");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(exec_->EXEC_FILEPrintf(file, "%s\n", "b"), 2);
    exec_->EXEC_FILEClose(file);
    EXPECT_EQ(drive_a_file("log.txt"), "a 1\r\nb\r\n");
}

TEST_F(FilesTest, FormattedTextIsWrittenUnchanged) {
    FILE* file = open("out.bin", "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(exec_->EXEC_FILEPrintf(file, "%s|", "100%d%s"), 8);
    exec_->EXEC_FILEClose(file);
    EXPECT_EQ(drive_a_file("out.bin"), "100%d%s|");

    int32_t result = 0;
    const std::string shown = printed_by([&] { result = exec_->EXEC_Printf("%s", "50%x"); });
    EXPECT_EQ(shown, "50%x");
    EXPECT_EQ(result, 4);
}

TEST_F(FilesTest, TextBeyondTheFormattingBufferIsCut) {
    const std::string long_text(2000, 'q');
    constexpr size_t kLongest = 1023;

    FILE* file = open("out.bin", "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(exec_->EXEC_FILEPrintf(file, "%s", long_text.c_str()), int32_t{kLongest});
    exec_->EXEC_FILEClose(file);
    EXPECT_EQ(drive_a_file("out.bin"), long_text.substr(0, kLongest));

    int32_t result = 0;
    const std::string shown =
        printed_by([&] { result = exec_->EXEC_Printf("%s", long_text.c_str()); });
    EXPECT_EQ(shown, long_text.substr(0, kLongest));
    EXPECT_EQ(result, int32_t{kLongest});
}

TEST_F(FilesTest, QuietFlagSilencesTheConsoleOnly) {
    exec_->quiet = 1;
    int32_t result = -1;
    EXPECT_EQ(printed_by([&] { result = exec_->EXEC_Printf("hidden %d\n", 7); }), "");
    EXPECT_EQ(result, 0);

    FILE* file = open("out.txt", "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(exec_->EXEC_FILEPrintf(file, "kept %d", 7), 6);
    exec_->EXEC_FILEClose(file);
    EXPECT_EQ(drive_a_file("out.txt"), "kept 7");

    exec_->quiet = 0;
    EXPECT_EQ(printed_by([&] { result = exec_->EXEC_Printf("shown %d\n", 7); }), "shown 7\n");
    EXPECT_EQ(result, 8);
}

} // namespace
} // namespace vantrel::testing
