#include "core/library.hpp"
#include "exec_fixture.hpp"

#include <cstring>

namespace vantrel {
namespace {

using testing::ExecTest;

class DebugMode : public ExecTest {
    uint16_t open_mode() override { return 1; }
};

class DebugFileKept : public ExecTest {
    uint16_t open_mode() override { return 3; }
};

TEST_F(ExecTest, TheTableCarriesItsVersionAndReservedFields) {
    EXPECT_EQ(exec_->version, 3);
    EXPECT_EQ(exec_->revision, 7);
    EXPECT_EQ(exec_->subrevision, 1);
    EXPECT_STREQ(exec_->build_time, "14:16:38");
    EXPECT_STREQ(exec_->build_date, "Apr 13 2000");
    const uint32_t ticks = exec_->tick_count; // packed fields are read by value
    EXPECT_EQ(ticks, 0u);
    EXPECT_EQ(exec_->reserved_area_pointer, reinterpret_cast<uint8_t*>(exec_) + 0x48);
    uint32_t* const reserved1 = exec_->reserved_pointer1;
    uint32_t* const reserved2 = exec_->reserved_pointer2;
    ASSERT_NE(reserved1, nullptr);
    ASSERT_NE(reserved2, nullptr);
    EXPECT_NE(reserved1, reserved2);
    EXPECT_EQ(*reserved1, 0u);
    const uint16_t quiet = exec_->quiet;
    EXPECT_EQ(quiet, 0);
    uint32_t* const stack = exec_->function_stack;
    int32_t* const stack_depth = exec_->function_depth;
    EXPECT_EQ(stack, state().function_stack);
    EXPECT_EQ(stack_depth, &state().function_depth);
    EXPECT_EQ(state().table, exec_);
}

TEST_F(ExecTest, ServicesReachEachOtherThroughTheTable) {
    // A client that replaces a slot is honoured by the library's own services.
    static int locks = 0;
    const auto original = exec_->EXEC_EVENTLock;
    exec_->EXEC_EVENTLock = [](uint16_t source) {
        ++locks;
        EXEC_EVENTLock(source);
    };
    void* block = exec_->EXEC_MEMAlloc(10, 1);
    exec_->EXEC_MEMFree(block, 1);
    exec_->EXEC_EVENTLock = original;
    EXPECT_GE(locks, 2);

    // So are replaced interrupt and unlock slots, which the library's locks call in turn.
    static int disables = 0, enables = 0, unlocks = 0;
    const auto disable = exec_->EXEC_INTDisable;
    const auto enable = exec_->EXEC_INTEnable;
    const auto unlock = exec_->EXEC_EVENTUnlock;
    exec_->EXEC_INTDisable = [] {
        ++disables;
        EXEC_INTDisable();
    };
    exec_->EXEC_INTEnable = [] {
        ++enables;
        EXEC_INTEnable();
    };
    exec_->EXEC_EVENTUnlock = [](uint16_t source) {
        ++unlocks;
        EXEC_EVENTUnlock(source);
    };
    block = exec_->EXEC_MEMFarMalloc(10, 1);
    exec_->EXEC_MEMFarFree(block, 1);
    exec_->EXEC_INTDisable = disable;
    exec_->EXEC_INTEnable = enable;
    exec_->EXEC_EVENTUnlock = unlock;
    EXPECT_EQ(unlocks, 2);
    EXPECT_EQ(disables, 4); // one pair around each lock and each unlock
    EXPECT_EQ(enables, 4);

    // Each interrupt slot counts on its own: a client may replace just one of them.
    enables = 0;
    exec_->EXEC_INTEnable = [] {
        ++enables;
        EXEC_INTEnable();
    };
    block = exec_->EXEC_MEMFarMalloc(10, 1);
    exec_->EXEC_MEMFarFree(block, 1);
    exec_->EXEC_INTEnable = enable;
    EXPECT_EQ(enables, 4);
}

TEST_F(ExecTest, ClosingInMode0PrintsNothing) {
    ::testing::internal::CaptureStdout();
    EXEC_CloseExec();
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    exec_ = EXEC_OpenExec(0); // for the fixture's own close
}

TEST_F(DebugMode, ClosingInDebugModePrintsTheReport) {
    EXPECT_FALSE(drive_a_has("debug.txt")); // mode 1 opens nothing at the open
    const uint32_t peak = exec_->peak_allocated, at_start = exec_->free_at_start;
    ::testing::internal::CaptureStdout();
    EXEC_CloseExec();
    std::fflush(stdout);
    const std::string report = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(report, "----------------STDIO Buffer-----------------\n"
                      "\n---------------------------------------------\n"
                      "----------------DEBUG Buffer-----------------\n"
                      "\n---------------------------------------------\n"
                      "Memory:\n"
                      "Maximum allocated == " +
                          std::to_string(peak) +
                          " bytes\nCoreleft at start == " + std::to_string(at_start) + " bytes\n");
    exec_ = EXEC_OpenExec(0);
}

TEST_F(DebugFileKept, Mode3OpensTheDebugFileAtOnce) {
    EXPECT_TRUE(drive_a_has("debug.txt"));
    EXPECT_EQ(state().debug_file_open, 1);
    EXEC_CloseExec();
    EXPECT_EQ(state().debug_file_open, 0);
    EXPECT_EQ(state().debug_file, nullptr);
    exec_ = EXEC_OpenExec(0);
}

class NoExtender : public pcplat::testing::DeskTest {
    std::string profile_text() override { return "[extender]\npresent = false\n"; }
};

TEST_F(NoExtender, TheLibraryRefusesToRunOutsideTheExtender) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(EXEC_OpenExec(0), nullptr);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "EXEC will only run under Borland 32RTM.EXE\n");
    EXPECT_EQ(state().table, nullptr);
}

TEST_F(ExecTest, TheMemoryStatisticsStartOnce) {
    const uint32_t at_start = exec_->free_at_start;
    EXPECT_GT(at_start, 0u);
    EXEC_CloseExec();
    exec_ = EXEC_OpenExec(0);
    const uint32_t again = exec_->free_at_start;
    EXPECT_EQ(again, at_start);
}

TEST_F(ExecTest, FunctionStackDeeperThan500StaysInsideTheArray) {
    const int32_t base = depth();
    const uint32_t guard = state().reserved_words[0];
    {
        std::vector<std::unique_ptr<TraceScope>> scopes;
        for (int i = 0; i < 600; ++i)
            scopes.push_back(std::make_unique<TraceScope>(0x10000000u + i));
        EXPECT_EQ(depth(), base + 600);
        scopes.back()->step(5); // beyond the array: nothing is written
        EXPECT_EQ(exec_->function_stack[500], 0x10000000u + 499u - uint32_t(base));
    }
    EXPECT_EQ(depth(), base);
    EXPECT_EQ(state().reserved_words[0], guard);
}

} // namespace
} // namespace vantrel
