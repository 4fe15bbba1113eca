#include "exec_fixture.hpp"

#include "core/library.hpp"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace vantrel::testing {
namespace {

using Calls = std::vector<std::string>;

// What debug output asked of the table, in order; each recorder passes the call on.
Calls g_calls;

void record_disable() {
    g_calls.push_back("disable");
    EXEC_INTDisable();
}
void record_enable() {
    g_calls.push_back("enable");
    EXEC_INTEnable();
}
FILE* record_open(const char* name, const char* mode) {
    g_calls.push_back(std::string("open ") + name + " " + mode);
    return EXEC_FILEOpen(name, mode);
}
int32_t record_printf(FILE* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = std::string(format) == "%s" ? va_arg(args, const char*) : "?";
    va_end(args);
    g_calls.push_back(std::string("printf ") + format + " " + text);
    return EXEC_FILEPrintf(file, "%s", text.c_str());
}
void record_close(FILE* file) {
    g_calls.push_back("close");
    EXEC_FILEClose(file);
}

class DebugTest : public ExecTest {
  protected:
    void SetUp() override {
        ExecTest::SetUp();
        g_calls.clear();
        exec_->EXEC_INTDisable = record_disable;
        exec_->EXEC_INTEnable = record_enable;
        exec_->EXEC_FILEOpen = record_open;
        exec_->EXEC_FILEPrintf = record_printf;
        exec_->EXEC_FILEClose = record_close;
    }
    // The closing report of debug mode is not this test's output.
    void TearDown() override {
        ::testing::internal::CaptureStdout();
        ExecTest::TearDown();
        std::fflush(stdout);
        ::testing::internal::GetCapturedStdout();
    }
};

class DebugOffTest : public DebugTest {};

class DebugAppendTest : public DebugTest {
    uint16_t open_mode() override { return 1; }
};

class DebugKeptFileTest : public DebugTest {
    uint16_t open_mode() override { return 3; }
};

// A directory where the debug file belongs: it can never be opened.
class DebugFileBlockedTest : public DebugTest {
    uint16_t open_mode() override { return 3; }
    void prepare() override { std::filesystem::create_directories(root_ / "a" / "debug.txt"); }
};

TEST_F(DebugOffTest, WritesNothingAndCreatesNoFile) {
    exec_->EXEC_DEBUGPrintf("message %d\n", 1);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_FALSE(drive_a_has("debug.txt"));
}

TEST_F(DebugAppendTest, EachMessageOpensAppendsAndCloses) {
    exec_->EXEC_DEBUGPrintf("first %d\n", 1);
    EXPECT_EQ(g_calls,
              (Calls{"disable", "open debug.txt at", "printf %s first 1\n", "close", "enable"}));
    exec_->EXEC_DEBUGPrintf("%s\n", "second 100%d");
    EXPECT_EQ(drive_a_file("debug.txt"), "first 1\r\nsecond 100%d\r\n");

    // Nothing is kept open between messages: a deleted file comes back with the next one.
    std::filesystem::remove(root_ / "a" / "debug.txt");
    exec_->EXEC_DEBUGPrintf("third\n");
    EXPECT_EQ(drive_a_file("debug.txt"), "third\r\n");
}

TEST_F(DebugAppendTest, LongMessageIsCut) {
    const std::string long_text(2000, 'd');
    exec_->EXEC_DEBUGPrintf("%s", long_text.c_str());
    EXPECT_EQ(drive_a_file("debug.txt"), long_text.substr(0, 1023));
}

TEST_F(DebugKeptFileTest, MessagesGoToTheFileOpenedAtOpen) {
    EXPECT_TRUE(drive_a_has("debug.txt"));
    exec_->EXEC_DEBUGPrintf("kept %d\n", 3);
    exec_->EXEC_DEBUGPrintf("again\n");
    EXPECT_EQ(g_calls, (Calls{"disable", "printf %s kept 3\n", "enable", "disable",
                              "printf %s again\n", "enable"}));
    EXEC_FILEFlush(state().debug_file);
    EXPECT_EQ(drive_a_file("debug.txt"), "kept 3\r\nagain\r\n");
}

TEST_F(DebugFileBlockedTest, MessagesAreDroppedSilently) {
    exec_->EXEC_DEBUGPrintf("lost %d\n", 1);
    EXPECT_EQ(g_calls, (Calls{"disable", "open debug.txt at", "enable"}));
    EXPECT_TRUE(std::filesystem::is_directory(root_ / "a" / "debug.txt"));
}

using FunctionStackTest = ExecTest;

TEST_F(FunctionStackTest, ScopeMarksStepsAndPopsOnExit) {
    const int32_t before = depth();
    {
        TraceScope outer(0x10007040);
        outer.step(4);
        EXPECT_EQ(depth(), before + 1);
        EXPECT_EQ(exec_->function_stack[depth()], 0x10007044u);
        {
            TraceScope inner(0x10003010);
            EXPECT_EQ(exec_->function_stack[depth()], 0x10003010u);
        }
        outer.step(2);
        EXPECT_EQ(exec_->function_stack[depth()], 0x10007042u) << "a later step replaces it";
    }
    EXPECT_EQ(depth(), before);
}

} // namespace
} // namespace vantrel::testing
