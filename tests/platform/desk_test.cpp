#include "desk_fixture.hpp"

#include <pcplat/dpmi.h>

#include <cstdlib>

namespace pcplat {
namespace {

uint16_t window(uint32_t base, uint32_t length) {
    uint16_t sel = 0;
    EXPECT_EQ(dpmi_alloc_ldt(1, &sel), 1);
    dpmi_set_base(sel, base);
    dpmi_set_limit(sel, length - 1);
    return sel;
}

class TwoCardDesk : public testing::DeskTest {
    std::string profile_text() override {
        return "[card0]\ntype = 0xC010\n[card1]\nfitted = true\ntype = 0xC004\n"
               "[nvr]\naddress = 0xF00000\n";
    }
};

TEST_F(TwoCardDesk, BothCardsShowTheirTypeAndTheNvrMovesUp) {
    EXPECT_EQ(far_read16(window(0xD1000, 0x10000), 0x108), 0xC010);
    EXPECT_EQ(far_read16(window(0xD2000, 0x10000), 0x108), 0xC004);
    const uint16_t low = window(0xD4000, 0x20000);
    far_write8(low, 1, 0x48);
    EXPECT_EQ(far_read8(low, 1), 0xFF); // nothing answers at 0xD4000 on this desk
    uint32_t linear = 0;
    ASSERT_EQ(dpmi_phys_map(0xF00000, 0x20000, &linear), 1);
    const uint16_t high = window(linear, 0x20000);
    far_write8(high, 0x1FFFE, 0x48);
    EXPECT_EQ(far_read8(high, 0x1FFFE), 0x48);
}

class SmallNvrDesk : public testing::DeskTest {
    std::string profile_text() override { return "[nvr]\nsize_kib = 64\n"; }
};

TEST_F(SmallNvrDesk, ASmallerNvrDoesNotAnswerAtItsTop) {
    const uint16_t nvr = window(0xD4000, 0x20000);
    far_write8(nvr, 1, 0x48);
    far_write8(nvr, 0x1FFFE, 0x48);
    EXPECT_EQ(far_read8(nvr, 1), 0x48);
    EXPECT_EQ(far_read8(nvr, 0x1FFFE), 0xFF);
    EXPECT_EQ(std::filesystem::file_size(root_ / "desk" / "nvr.bin"), 0x10000u);
}

class NoCardDesk : public testing::DeskTest {
    std::string profile_text() override { return "[card0]\nfitted = false\n[nvr]\nsize_kib = 0\n"; }
};

TEST_F(NoCardDesk, AbsentHardwareReadsAllOnesAndLeavesNoFiles) {
    EXPECT_EQ(far_read16(window(0xD1000, 0x10000), 0x108), 0xFFFF);
    EXPECT_FALSE(std::filesystem::exists(root_ / "desk" / "card0.bin"));
    EXPECT_FALSE(std::filesystem::exists(root_ / "desk" / "nvr.bin"));
}

class MappedDrives : public testing::DeskTest {
    std::string profile_text() override {
        return "[drives]\nC = \"system\"\nE = \"" + (root_ / "elsewhere").string() + "\"\n";
    }
    void prepare() override { std::filesystem::create_directories(root_ / "elsewhere"); }
};

TEST_F(MappedDrives, DrivesFollowTheProfile) {
    EXPECT_EQ(m().drives().root('C'), root_ / "desk" / "system");
    EXPECT_EQ(m().drives().root('E'), root_ / "elsewhere");
    EXPECT_FALSE(m().drives().root('D')); // a [drives] table replaces the default map
    EXPECT_EQ(m().drives().root('A'), root_ / "a");
}

TEST(DeskStart, AMissingDriveFolderStopsTheStart) {
    const auto dir = std::filesystem::temp_directory_path() / "desk-test-missing-drive";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "desk.toml") << "[drives]\nE = \"/no/such/folder\"\n";
    MachineOptions o;
    o.desk_dir = dir;
    o.manual_clock = true;
    try {
        Machine m(o);
        FAIL() << "the desk started";
    } catch (const ProfileError& e) {
        EXPECT_NE(std::string(e.what()).find("drives.E"), std::string::npos) << e.what();
    }
    std::filesystem::remove_all(dir);
}

TEST(DeskStart, OnlyAFolderWithAProfileIsADesk) {
    const auto root = std::filesystem::temp_directory_path() /
                      ("desk-test-not-a-desk-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "home");
    testing::write_host_file(root / "file", "text");
    const struct {
        std::filesystem::path path;
        std::string message;
    } cases[] = {
        {root / "home", (root / "home").string() +
                            ": not a desk folder (no desk.toml); make one with: desksim new " +
                            (root / "home").string()},
        {root / "file", (root / "file").string() + " is not a folder"},
        {root / "absent", (root / "absent").string() + ": the desk folder does not exist"},
    };
    for (const auto& c : cases) {
        MachineOptions o;
        o.desk_dir = c.path;
        o.manual_clock = true;
        try {
            Machine m(o);
            ADD_FAILURE() << c.path << ": the desk started";
        } catch (const ProfileError& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(root / "home")); // nothing written before the refusal
    EXPECT_EQ(testing::read_host_file(root / "file"), "text");
    std::filesystem::remove_all(root);
}

TEST(DeskStart, TheDefaultDeskLivesInATemporaryFolderThatGoesWithIt) {
    std::filesystem::path folder;
    {
        MachineOptions o;
        o.manual_clock = true;
        Machine m(o);
        folder = m.desk_dir();
        EXPECT_TRUE(m.desk_is_temporary());
        EXPECT_TRUE(std::filesystem::exists(folder / "card0.bin"));
        EXPECT_EQ(m.profile().source, "built-in default desk");
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST(DeskStart, DesksimNamesTheDeskFolder) {
    const auto dir = std::filesystem::temp_directory_path() / "desk-test-env";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "desk.toml") << "halt = \"wait\"\n";
    ::setenv("DESKSIM", dir.c_str(), 1);
    auto m = Machine::from_environment(false);
    ::unsetenv("DESKSIM");
    EXPECT_EQ(m->desk_dir(), dir);
    EXPECT_FALSE(m->desk_is_temporary());
    EXPECT_EQ(m->profile().halt, HaltMode::wait);
    m.reset();
    EXPECT_TRUE(std::filesystem::exists(dir / "card0.bin")); // a named desk keeps its state
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace pcplat
