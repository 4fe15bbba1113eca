// The steps that change the desk's lasting state and the power cut after one of them: a cut
// loses exactly the file data that was never flushed, and leaves renames, deletes and
// directories as they were done.
#include "desk_fixture.hpp"

#include <pcplat/dos.h>
#include <pcplat/dpmi.h>
#include <pcplat/win32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace pcplat {
namespace {

namespace fs = std::filesystem;
using testing::read_host_file;
using testing::write_host_file;

// One program on drive C:, step by step, each step numbered as the trace must number it.
void write_some(FILE* f, const char* text) {
    std::fputs(text, f);
    std::fflush(f); // out of stdio's buffer: the write reaches the host file
}

void program() {
    FILE* a = win32_fopen("C:\\A.TXT", "wb");                // 1 create
    write_some(a, "flushed");                                // 2 write
    win32_flush_file_buffers(a);                             // 3 flush
    write_some(a, "+more");                                  // 4 write
    FILE* b = win32_fopen("C:\\B.TXT", "wb");                // 5 create
    write_some(b, "never flushed");                          // 6 write
    std::fclose(b);                                          // nothing buffered: no step
    win32_move_file_replace("C:\\B.TXT", "C:\\C.TXT");       // 7 rename
    dos_delete("C:\\OLD.TXT");                               // 8 delete
    win32_make_directory("C:\\DIR");                         // 9 mkdir
    FILE* keep = win32_fopen("C:\\KEEP.TXT", "w");           // 10 truncate
    write_some(keep, "new\n");                               // 11 write
    FILE* done = win32_fopen("C:\\DONE.TXT", "wb");          // 12 create
    write_some(done, "whole");                               // 13 write
    win32_flush_file_buffers(done);                          // 14 flush
    win32_move_file_replace("C:\\DONE.TXT", "C:\\KEEP.TXT"); // 15 rename over KEEP
    std::fclose(a);
    std::fclose(keep);
    std::fclose(done);
}

constexpr const char* kSteps[] = {
    "step 1 create C:\\A.TXT",
    "step 2 write C:\\A.TXT",
    "step 3 flush C:\\A.TXT",
    "step 4 write C:\\A.TXT",
    "step 5 create C:\\B.TXT",
    "step 6 write C:\\B.TXT",
    "step 7 rename C:\\B.TXT C:\\C.TXT",
    "step 8 delete C:\\OLD.TXT",
    "step 9 mkdir C:\\DIR",
    "step 10 truncate C:\\KEEP.TXT",
    "step 11 write C:\\KEEP.TXT",
    "step 12 create C:\\DONE.TXT",
    "step 13 write C:\\DONE.TXT",
    "step 14 flush C:\\DONE.TXT",
    "step 15 rename C:\\DONE.TXT C:\\KEEP.TXT",
};

// Drive C: after a run: file name -> content; directories as "<dir>".
using Files = std::map<std::string, std::string>;

class PowerCutModel : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // No process id in the name: the death test's child runs this again and must meet the
        // same folder.
        root_ = fs::temp_directory_path() /
                (std::string("desk-power-cut-") +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "desk" / "c");
        fs::create_directories(root_ / "a");
        write_host_file(root_ / "desk" / "desk.toml");
        write_host_file(root_ / "desk" / "c" / "OLD.TXT", "old");
        write_host_file(root_ / "desk" / "c" / "KEEP.TXT", "kept\r\n");
    }
    void TearDown() override {
        ::unsetenv("PCPLAT_POWER_CUT");
        ::unsetenv("PCPLAT_TRACE");
        fs::remove_all(root_);
    }

    // Starts a machine with the hooks set, runs body, and ends as a program ends.
    [[noreturn]] void run(const char* cut, void (*body)()) {
        if (cut) ::setenv("PCPLAT_POWER_CUT", cut, 1);
        ::setenv("PCPLAT_TRACE", (root_ / "trace.txt").c_str(), 1);
        MachineOptions options;
        options.desk_dir = root_ / "desk";
        options.start_dir = root_ / "a";
        options.manual_clock = true;
        Machine machine(options);
        Machine::install(&machine);
        body();
        Machine::install(nullptr);
        std::exit(0);
    }

    Files drive_c() const {
        Files files;
        for (const auto& entry : fs::recursive_directory_iterator(root_ / "desk" / "c")) {
            const std::string name = entry.path().lexically_relative(root_ / "desk" / "c");
            files[name] = entry.is_directory() ? "<dir>" : read_host_file(entry.path());
        }
        return files;
    }

    std::vector<std::string> trace() const {
        std::istringstream in(read_host_file(root_ / "trace.txt"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    fs::path root_;
};

TEST_F(PowerCutModel, EveryStepIsNumberedInTheTraceAndAnUncutRunKeepsEverything) {
    EXPECT_EXIT(run(nullptr, program), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(trace(), std::vector<std::string>(std::begin(kSteps), std::end(kSteps)));
    EXPECT_EQ(drive_c(), (Files{{"A.TXT", "flushed+more"},
                                {"C.TXT", "never flushed"},
                                {"DIR", "<dir>"},
                                {"KEEP.TXT", "whole"}}));
}

TEST_F(PowerCutModel, ACutLosesExactlyWhatWasNotFlushed) {
    const struct {
        const char* cut;
        Files after;
    } cases[] = {
        // Written but never flushed: the new file is gone.
        {"2", {{"OLD.TXT", "old"}, {"KEEP.TXT", "kept\r\n"}}},
        // The flushed part stays, what came after it is lost.
        {"4", {{"A.TXT", "flushed"}, {"OLD.TXT", "old"}, {"KEEP.TXT", "kept\r\n"}}},
        // A renamed file never flushed vanishes under its new name; a delete stays done.
        {"8", {{"A.TXT", "flushed"}, {"KEEP.TXT", "kept\r\n"}}},
        // A file emptied and written again, never flushed, holds what it held before.
        {"11", {{"A.TXT", "flushed"}, {"DIR", "<dir>"}, {"KEEP.TXT", "kept\r\n"}}},
        // A flushed file renamed over another takes its place for good.
        {"15", {{"A.TXT", "flushed"}, {"DIR", "<dir>"}, {"KEEP.TXT", "whole"}}},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EXIT(run(c.cut, program), ::testing::ExitedWithCode(kExitPowerCut),
                    std::string("power failed after step ") + c.cut + " ");
        EXPECT_EQ(drive_c(), c.after) << "cut after step " << c.cut;
        EXPECT_EQ(trace().size(), std::stoul(c.cut)) << "the trace ends at the cut";
    }
}

void desk_devices() {
    uint16_t nvr = 0, card = 0, ram = 0;
    dpmi_alloc_ldt(1, &ram);
    dpmi_set_base(ram, 0x10000);
    dpmi_set_limit(ram, 0xFFFF);
    dpmi_alloc_ldt(1, &nvr);
    dpmi_set_base(nvr, 0xD4000);
    dpmi_set_limit(nvr, 0x1FFFF);
    dpmi_alloc_ldt(1, &card);
    dpmi_set_base(card, DESK_CARD_WINDOW_0);
    dpmi_set_limit(card, DESK_CARD_WINDOW_SIZE - 1);
    far_fill(nvr, 0, 0xA5, 0x20000); // 1: one fill, however many bus cycles
    const uint8_t bytes[3] = {1, 2, 3};
    far_copy_to(nvr, 0x10, bytes, sizeof bytes);              // 2
    far_write16(nvr, 0x1FFFE, 0xBEEF);                        // 3
    far_fill(ram, 0, 0, 16);                                  // conventional memory: no step
    far_read8(nvr, 0x10);                                     // a read: no step
    far_write8(card, DESK_CARD_COMMAND, DESK_CARD_CMD_BLOCK); // 4: the card takes a block
    far_write8(card, DESK_CARD_DATA, 7);                      // the mailbox is not lasting: no step
    far_write8(card, DESK_CARD_COMMAND, DESK_CARD_CMD_END);   // 5
}

TEST_F(PowerCutModel, EachCallThatWritesTheNvrAndEachCardBlockIsOneStep) {
    EXPECT_EXIT(run(nullptr, desk_devices), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "step 1 nvr-fill 0x00000-0x1FFFF",
                           "step 2 nvr-write 0x00010-0x00012",
                           "step 3 nvr-write 0x1FFFE-0x1FFFF",
                           "step 4 card-block card0 0x10 taken",
                           "step 5 card-block card0 0x50 taken",
                       }));
    // Cut after the fill: the NVR is memory on the bus, its bytes are there for good.
    write_host_file(root_ / "trace.txt");
    EXPECT_EXIT(run("1", desk_devices), ::testing::ExitedWithCode(kExitPowerCut), "step 1 ");
    EXPECT_EQ(read_host_file(root_ / "desk" / "nvr.bin"), std::string(0x20000, '\xA5'));
    EXPECT_FALSE(fs::exists(root_ / "desk" / "card-blocks.log"));
}

TEST_F(PowerCutModel, AStepNumberThatIsNoneStopsTheDesk) {
    for (const char* bad : {"0", "x", "-1", "3x", " 2"}) {
        ::setenv("PCPLAT_POWER_CUT", bad, 1);
        MachineOptions options;
        options.desk_dir = root_ / "desk";
        options.start_dir = root_ / "a";
        options.manual_clock = true;
        EXPECT_THROW(Machine{options}, ProfileError) << bad;
    }
}

} // namespace
} // namespace pcplat
