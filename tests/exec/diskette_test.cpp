#include "exec_fixture.hpp"

#include <pcplat/dpmi.h>

#include <array>
#include <vector>

namespace vantrel::testing {
namespace {

constexpr uint32_t k144 = 1474560;
constexpr uint32_t kTrack144 = 18 * 512;
constexpr uint32_t kVector = 0x1E * 4;
constexpr uint32_t kDosTable = 0x522;

std::string image_of(uint32_t size, unsigned seed = 0) {
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 13 + i / 512 + seed);
    return bytes;
}

// Every BIOS call the services make, with the INT 1Eh vector as it was at that moment.
struct SeenCall {
    uint8_t function;
    uint32_t vector;
};
std::vector<SeenCall> g_seen;
bool g_refuse = false;

uint16_t watching_real_int(uint16_t interrupt, ExecRealRegs* regs) {
    const auto ram = pcplat::Machine::current().conventional();
    g_seen.push_back({static_cast<uint8_t>(regs->eax >> 8), ram[kVector] | ram[kVector + 1] << 8 |
                                                                ram[kVector + 2] << 16 |
                                                                uint32_t{ram[kVector + 3]} << 24});
    if (g_refuse) return 0;
    return static_cast<uint16_t>(
        dpmi_real_int(static_cast<uint8_t>(interrupt), reinterpret_cast<RealRegs*>(regs)));
}

class Diskette : public ExecTest {
  protected:
    void prepare() override {
        pcplat::testing::write_host_file(root_ / "desk" / "a.img", image_of(k144));
        pcplat::testing::write_host_file(root_ / "desk" / "b.img", image_of(737280));
    }
    std::string profile_text() override {
        return "[floppy.a]\nimage = \"a.img\"\n"
               "[floppy.b]\nfitted = true\nimage = \"b.img\"\nwrite_protected = true\n";
    }
    void SetUp() override {
        ExecTest::SetUp();
        const auto ram = m().conventional();
        low_memory_.assign(ram.begin(), ram.begin() + kDosTable + 11);
        g_seen.clear();
        g_refuse = false;
    }
    std::string image(char drive = 'a') {
        return pcplat::testing::read_host_file(root_ / "desk" / (drive + std::string(".img")));
    }
    uint16_t geometry(uint16_t drive, std::array<uint16_t, 3>& chs) {
        return exec_->EXEC_DISKGetGeometry(drive, &chs[0], &chs[1], &chs[2]);
    }
    // The vector table and the parameter table as they were, and the function stack empty.
    void expect_restored() {
        const auto ram = m().conventional();
        EXPECT_TRUE(std::equal(low_memory_.begin(), low_memory_.end(), ram.begin()));
        EXPECT_EQ(depth(), 0);
    }
    unsigned resets() { return m().diskettes().resets(); }

    std::vector<uint8_t> low_memory_;
};

TEST_F(Diskette, GeometryFollowsEveryDisketteSizeAndReadsWholeTracks) {
    const struct {
        uint32_t size;
        uint16_t cylinders, heads, sectors;
    } cases[] = {{368640, 40, 2, 9},
                 {737280, 80, 2, 9},
                 {1228800, 80, 2, 15},
                 {k144, 80, 2, 18},
                 {2949120, 80, 2, 36}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string bytes = image_of(c.size, c.sectors);
        pcplat::testing::write_host_file(root_ / "desk" / "a.img", bytes);
        std::array<uint16_t, 3> chs{};
        EXPECT_EQ(geometry(0, chs), 0);
        EXPECT_EQ(chs, (std::array<uint16_t, 3>{c.cylinders, c.heads, c.sectors}));
        // The last track, and not a byte more.
        const uint32_t track = c.sectors * 512u;
        std::vector<char> buffer(track + 16, '\xEE');
        EXPECT_EQ(exec_->EXEC_DISKReadTrack(c.cylinders - 1, 1, buffer.data()), 0);
        EXPECT_EQ(std::string(buffer.data(), track), bytes.substr(c.size - track));
        EXPECT_EQ(std::string(buffer.data() + track, 16), std::string(16, '\xEE'));
        expect_restored();
    }
    EXPECT_EQ(resets(), 0u);
}

TEST_F(Diskette, WrittenTracksLandInTheImageAndReadBack) {
    std::string expected = image();
    std::array<uint16_t, 3> chs{};
    ASSERT_EQ(geometry(0, chs), 0);
    const std::pair<uint16_t, uint16_t> tracks[] = {{0, 0}, {40, 1}, {79, 1}};
    for (const auto& [cylinder, head] : tracks) {
        SCOPED_TRACE(cylinder * 2 + head);
        const std::string data = image_of(kTrack144, cylinder + 100 * head + 1).substr(0);
        EXPECT_EQ(exec_->EXEC_DISKWriteTrack(cylinder, head, data.data()), 0);
        expected.replace((cylinder * 2 + head) * kTrack144, kTrack144, data);
        EXPECT_EQ(image(), expected);
        std::string back(kTrack144, '\0');
        EXPECT_EQ(exec_->EXEC_DISKReadTrack(cylinder, head, back.data()), 0);
        EXPECT_EQ(back, data);
        expect_restored();
    }
    EXPECT_EQ(resets(), 0u);
}

TEST_F(Diskette, FailuresAreRetriedFiveTimesWithAResetAfterEach) {
    const struct {
        const char* what;
        uint16_t drive;
        uint32_t fail_times;
        bool write;
        uint16_t status;
        unsigned resets;
        uint32_t failures_left;
    } cases[] = {
        {"write-protected: the format fails", 1, 0, true, 0x0203, 5, 0},
        {"write-protected diskettes read", 1, 0, false, 0x0000, 0, 0},
        {"four failures, then the format works", 0, 4, true, 0x0000, 4, 0},
        {"five failures end the write at the format", 0, 7, true, 0x0280, 5, 2},
        {"four failures, then the read works", 0, 4, false, 0x0000, 4, 0},
        {"five failures end the read", 0, 5, false, 0x0580, 5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const char letter = static_cast<char>('a' + c.drive);
        const std::string before = image(letter);
        std::array<uint16_t, 3> chs{};
        ASSERT_EQ(geometry(c.drive, chs), 0);
        m().diskettes().fail_next(static_cast<uint8_t>(c.drive), c.fail_times);
        const unsigned resets_before = resets();
        const std::string data(chs[2] * 512u, '\x42');
        std::string read(chs[2] * 512u, '\0');
        const uint16_t status = c.write ? exec_->EXEC_DISKWriteTrack(2, 1, data.data())
                                        : exec_->EXEC_DISKReadTrack(2, 1, read.data());
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(resets() - resets_before, c.resets);
        EXPECT_EQ(m().diskettes().failures_left(static_cast<uint8_t>(c.drive)), c.failures_left);
        const uint32_t track_at = 5 * chs[2] * 512u;
        if (c.write && c.status == 0) {
            EXPECT_EQ(image(letter).substr(track_at, data.size()), data);
        } else {
            EXPECT_EQ(image(letter), before);
        }
        if (!c.write && c.status == 0) {
            EXPECT_EQ(read, before.substr(track_at, read.size()));
        }
        expect_restored();
    }
}

TEST_F(Diskette, MissingDrivesAndDiskettesAreReportedAsBiosFailures) {
    std::array<uint16_t, 3> chs{};
    EXPECT_EQ(geometry(2, chs), 0x0101); // no drive 2: the registers read as cleared
    EXPECT_EQ(chs, (std::array<uint16_t, 3>{1, 1, 0}));
    std::filesystem::remove(root_ / "desk" / "a.img");
    EXPECT_EQ(geometry(0, chs), 0); // an empty drive still knows its own format
    EXPECT_EQ(chs, (std::array<uint16_t, 3>{80, 2, 18}));
    std::string track(kTrack144, '\0');
    EXPECT_EQ(exec_->EXEC_DISKReadTrack(0, 0, track.data()), 0x0580);
    EXPECT_EQ(exec_->EXEC_DISKWriteTrack(0, 0, track.data()), 0x0280);
    EXPECT_EQ(resets(), 10u);
    expect_restored();
}

TEST_F(Diskette, TheVectorPointsAtTheMediaTableOnlyDuringTheCall) {
    exec_->EXEC_DPMIRealInt = watching_real_int;
    std::array<uint16_t, 3> chs{};
    ASSERT_EQ(geometry(0, chs), 0);
    const std::string data(kTrack144, '\x17');
    EXPECT_EQ(exec_->EXEC_DISKWriteTrack(3, 0, data.data()), 0);
    const uint32_t dos_table = kDosTable;                           // 0000:0522
    const uint32_t media_table = 0xF000u << 16 | (0xEFC7 + 3 * 16); // the 1.44 MB table
    ASSERT_EQ(g_seen.size(), 5u);
    const uint8_t functions[] = {0x08, 0x18, 0x05, 0x03, 0x04};
    const uint32_t vectors[] = {dos_table, dos_table, media_table, media_table, media_table};
    for (size_t i = 0; i < g_seen.size(); ++i) {
        EXPECT_EQ(g_seen[i].function, functions[i]) << i;
        EXPECT_EQ(g_seen[i].vector, vectors[i]) << i;
    }
    expect_restored();
}

TEST_F(Diskette, CallsTheHostRefusesAreFailuresNotSuccesses) {
    exec_->EXEC_DPMIRealInt = watching_real_int;
    std::array<uint16_t, 3> chs{};
    ASSERT_EQ(geometry(0, chs), 0);
    g_refuse = true;
    const std::string before = image();
    std::string track(kTrack144, '\0');
    EXPECT_EQ(exec_->EXEC_DISKReadTrack(0, 0, track.data()), 0x05FF);
    EXPECT_EQ(exec_->EXEC_DISKWriteTrack(0, 0, track.data()), 0x02FF);
    EXPECT_EQ(geometry(0, chs), 0x01FF);
    EXPECT_EQ(image(), before);
    expect_restored();
}

TEST_F(Diskette, NullArgumentsAreRefusedBeforeTheDiskIsTouched) {
    std::array<uint16_t, 3> chs{};
    ASSERT_EQ(geometry(0, chs), 0);
    const std::string before = image();
    EXPECT_EQ(exec_->EXEC_DISKWriteTrack(0, 0, nullptr), 0x0301);
    EXPECT_EQ(exec_->EXEC_DISKReadTrack(0, 0, nullptr), 0x0501);
    EXPECT_EQ(image(), before);
    uint16_t sectors = 0;
    EXPECT_EQ(exec_->EXEC_DISKGetGeometry(0, nullptr, nullptr, &sectors), 0);
    EXPECT_EQ(sectors, 18);
    EXPECT_EQ(exec_->EXEC_DPMIRealInt(0x13, nullptr), 0);
    expect_restored();
}

} // namespace
} // namespace vantrel::testing
