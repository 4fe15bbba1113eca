#include "exec_fixture.hpp"
#include "lamps.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// In debug mode, so that the example module's messages (one at its initialisation, one in its
// cleanup) show in "debug.txt" what the loader made it do.
class SharedLibraries : public testing::ExecTest {
  protected:
    uint16_t open_mode() override { return 1; }
    void prepare() override { fs::create_directories(root_ / "desk" / "c" / "sll"); }
    void TearDown() override {
        // The table outlives the desk: leave no record of this test on its list.
        while (ExecNode* listed = first_listed())
            exec_->EXEC_SLLClose(reinterpret_cast<SllLibrary*>(listed));
        exec_->quiet = 1; // no closing report in the test's output
        ExecTest::TearDown();
    }

    // Places a module at a path below the test's folder ("a/..." is drive A:, the current one).
    void place(const std::string& where, const char* module = LAMPS_MODULE_PATH) {
        fs::copy_file(module, root_ / where);
    }
    LampsLibrary* open(const char* name, uint32_t argument = 8) {
        return reinterpret_cast<LampsLibrary*>(exec_->EXEC_SLLOpen(name, 1, argument));
    }
    // Packed fields, read by value.
    static uint16_t opens(const LampsLibrary* lamps) { return lamps->library.open_count; }
    static uint16_t lamps_of(const LampsLibrary* lamps) { return lamps->count; }
    ExecNode* first_listed() { return exec_->libraries.head; }
    int16_t timer_locks() { return exec_->events[EXEC_EVENT_TIMER].lock_count; }
    uint16_t listed() { return exec_->libraries.count; }
    size_t loaded() { return m().modules.size(); }
    // The module's messages, without the text file's CRs.
    std::string messages() {
        std::string text = drive_a_file("debug.txt");
        std::erase(text, '\r');
        return text;
    }
    uint32_t lamp_memory() {
        uint32_t peak = 0, current = 0;
        char name[16];
        exec_->EXEC_MEMGetUsage(LAMPS_OWNER, &peak, &current, name);
        return current;
    }
};

constexpr const char* kInit = "lamps.sll: 8 lamps\n";
constexpr const char* kClosed = "lamps.sll: closed\n";

TEST_F(SharedLibraries, OpensOfOneNameShareTheModuleAndTheLastCloseUnloadsIt) {
    place("a/lamps.sll");
    LampsLibrary* lamps = open(LAMPS_NAME);
    ASSERT_NE(lamps, nullptr);
    EXPECT_EQ(opens(lamps), 1);
    const uint32_t handle = lamps->library.module;
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(first_listed(), &lamps->library.node);
    lamps->set(3, 1);

    EXPECT_EQ(open(LAMPS_NAME, 99), lamps); // shared as it is: no second initialisation
    EXPECT_EQ(opens(lamps), 2);
    EXPECT_EQ(lamps_of(lamps), 8);
    EXPECT_EQ(lamps->lit(3), 1);
    // The same file under another spelling is another name: refused, and the module in use is
    // neither initialised again nor cleaned up.
    EXPECT_EQ(open("LAMPS.SLL"), nullptr);
    EXPECT_EQ(lamps->lit(3), 1);
    EXPECT_EQ(m().modules.begin()->second, 1u);

    exec_->EXEC_SLLClose(&lamps->library);
    EXPECT_EQ(opens(lamps), 1);
    EXPECT_EQ(listed(), 1);
    EXPECT_EQ(messages(), kInit);

    exec_->EXEC_SLLClose(&lamps->library);
    EXPECT_EQ(listed(), 0);
    EXPECT_EQ(first_listed(), nullptr);
    EXPECT_EQ(loaded(), 0u);
    EXPECT_EQ(messages(), std::string(kInit) + kClosed);
    EXPECT_EQ(lamp_memory(), 0u);

    // A record no longer (or never) on the list, and null, change nothing; the gone record is
    // not even read.
    exec_->EXEC_SLLClose(&lamps->library);
    exec_->EXEC_SLLClose(nullptr);
    SllLibrary stranger{};
    stranger.open_count = 1;
    exec_->EXEC_SLLClose(&stranger);
    EXPECT_EQ(uint16_t{stranger.open_count}, 1);
    EXPECT_EQ(messages(), std::string(kInit) + kClosed);
    EXPECT_EQ(depth(), 0);

    // A module opened again after its unload starts afresh.
    lamps = open(LAMPS_NAME, 4);
    ASSERT_NE(lamps, nullptr);
    EXPECT_EQ(lamps_of(lamps), 4);
    EXPECT_EQ(lamps->lit(3), 0);
}

TEST_F(SharedLibraries, AnOpenCountThatCannotRiseIsRefusedNotWrapped) {
    place("a/lamps.sll");
    LampsLibrary* lamps = open(LAMPS_NAME);
    ASSERT_NE(lamps, nullptr);
    lamps->library.open_count = 0xFFFF;
    EXPECT_EQ(open(LAMPS_NAME), nullptr);
    EXPECT_EQ(opens(lamps), 0xFFFF);
    lamps->library.open_count = 1;
}

// Where a module is looked for, and every way an open fails: a failed open leaves no module
// loaded, nothing on the list and no memory of the module's behind.
TEST_F(SharedLibraries, ModulesAreFoundByNameThenInTheLibraryFolder) {
    const std::string long35 = "lamps.sll" + std::string(35 - 9, 'x');
    const std::string long28 = "lamps.sll" + std::string(28 - 9, 'y');
    struct Case {
        const char* what;
        std::string where; // "" for nowhere
        const char* module;
        std::string name;
        uint32_t argument;
        bool opens;
        std::string debug; // what the module printed
    };
    const Case cases[] = {
        {"as given", "a/lamps.sll", LAMPS_MODULE_PATH, LAMPS_NAME, 8, true, kInit},
        {"in c:\\sll\\", "desk/c/sll/lamps.sll", LAMPS_MODULE_PATH, LAMPS_NAME, 8, true, kInit},
        {"as given, by a path", "desk/c/lamps.sll", LAMPS_MODULE_PATH, "c:\\lamps.sll", 8, false,
         std::string(kInit) + kClosed},
        {"nowhere", "", LAMPS_MODULE_PATH, LAMPS_NAME, 8, false, ""},
        {"without the entry", "a/noentry.sll", NO_ENTRY_MODULE_PATH, "noentry.sll", 8, false, ""},
        {"refusing its argument", "a/lamps.sll", LAMPS_MODULE_PATH, LAMPS_NAME, 0, false, ""},
        {"renamed: its record names another module", "desk/c/sll/other.sll", LAMPS_MODULE_PATH,
         "other.sll", 8, false, std::string(kInit) + kClosed},
        // Names that do not fit the path buffer are refused, not cut to the name of a module.
        {"36 characters", "a/" + long35, LAMPS_MODULE_PATH, long35 + "z", 8, false, ""},
        {"29 characters, found only in c:\\sll\\", "desk/c/sll/" + long28, LAMPS_MODULE_PATH,
         long28 + "z", 8, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root_ / "a");
        fs::remove_all(root_ / "desk" / "c");
        fs::create_directories(root_ / "a");
        fs::create_directories(root_ / "desk" / "c" / "sll");
        if (!c.where.empty()) place(c.where, c.module);
        LampsLibrary* lamps = open(c.name.c_str(), c.argument);
        EXPECT_EQ(lamps != nullptr, c.opens);
        EXPECT_EQ(listed(), c.opens ? 1 : 0);
        EXPECT_EQ(loaded(), c.opens ? 1u : 0u);
        EXPECT_EQ(messages(), c.debug);
        EXPECT_EQ(depth(), 0);
        if (lamps) exec_->EXEC_SLLClose(&lamps->library);
        EXPECT_EQ(loaded(), 0u);
        EXPECT_EQ(lamp_memory(), 0u);
    }
}

// The function stack and the event locks as the module's own calls into the table see them.
ExecTable* g_table;
EXEC_MEMAllocClearFn g_alloc;
EXEC_MEMFreeFn g_free;
std::vector<uint32_t> g_seen;
bool g_locked_in_cleanup = false;

void note_innermost_two() {
    const int32_t d = *g_table->function_depth;
    g_seen.insert(g_seen.end(), {g_table->function_stack[d - 1], g_table->function_stack[d]});
}

TEST_F(SharedLibraries, ModulesRunInsideTheLoadersFunctionIds) {
    place("a/lamps.sll");
    g_table = exec_;
    g_alloc = exec_->EXEC_MEMAllocClear;
    g_free = exec_->EXEC_MEMFree;
    g_seen.clear();
    exec_->EXEC_MEMAllocClear = [](uint32_t size, uint16_t owner) {
        note_innermost_two();
        return g_alloc(size, owner);
    };
    exec_->EXEC_MEMFree = [](void* block, uint16_t owner) {
        note_innermost_two();
        g_locked_in_cleanup = g_table->events[EXEC_EVENT_TIMER].lock_count > 0;
        g_free(block, owner);
    };
    LampsLibrary* lamps = open(LAMPS_NAME);
    ASSERT_NE(lamps, nullptr);
    exec_->EXEC_SLLClose(&lamps->library);
    exec_->EXEC_MEMAllocClear = g_alloc;
    exec_->EXEC_MEMFree = g_free;
    EXPECT_EQ(g_seen, (std::vector<uint32_t>{0x10006040, 0x10006020, 0x10006050, 0x10006030}));
    EXPECT_TRUE(g_locked_in_cleanup);
    EXPECT_EQ(depth(), 0);
    EXPECT_EQ(timer_locks(), 0);
}

} // namespace
} // namespace vantrel
