#include "desk_fixture.hpp"

namespace pcplat {
namespace {

constexpr uint32_t k144 = 1474560;
constexpr uint32_t kTrack144 = 18 * 512;

std::string image_of(uint32_t size) {
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 512);
    return bytes;
}

struct Call {
    uint8_t ah, al, ch, cl, dh, dl;
    uint16_t es = 0, bx = 0;
};

class Floppy : public testing::DeskTest {
  protected:
    void prepare() override {
        testing::write_host_file(root_ / "desk" / "a.img", image_of(k144));
        testing::write_host_file(root_ / "desk" / "b.img", image_of(737280));
    }
    std::string profile_text() override {
        return "[floppy.a]\nimage = \"a.img\"\n"
               "[floppy.b]\nfitted = true\nimage = \"b.img\"\nwrite_protected = true\n"
               "fail_times = 2\n";
    }
    RealRegs int13(const Call& c) {
        RealRegs r{};
        r.eax = uint32_t{c.ah} << 8 | c.al;
        r.ecx = uint32_t{c.ch} << 8 | c.cl;
        r.edx = uint32_t{c.dh} << 8 | c.dl;
        r.es = c.es;
        r.ebx = c.bx;
        m().real_int(0x13, r);
        return r;
    }
    std::string image(char drive) {
        return testing::read_host_file(root_ / "desk" / (drive + std::string(".img")));
    }
};

uint8_t ah(const RealRegs& r) {
    return static_cast<uint8_t>(r.eax >> 8);
}

TEST_F(Floppy, FunctionsAnswerWithTheBiosStatusAndCarry) {
    const struct {
        const char* what;
        Call call;
        uint8_t status;
    } cases[] = {
        {"read a track", {0x02, 18, 0, 1, 0, 0, 0x1000}, 0x00},
        {"read the last sector", {0x02, 1, 79, 18, 1, 0, 0x1000}, 0x00},
        {"drive not fitted", {0x02, 1, 0, 1, 0, 2, 0x1000}, 0x01},
        {"fixed disk", {0x08, 0, 0, 0, 0, 0x80}, 0x01},
        {"unknown function", {0x42, 0, 0, 0, 0, 0}, 0x01},
        {"sector 0", {0x02, 1, 0, 0, 0, 0, 0x1000}, 0x04},
        {"past the track's end", {0x02, 2, 0, 18, 0, 0, 0x1000}, 0x04},
        {"no such cylinder", {0x04, 1, 80, 1, 0, 0}, 0x04},
        {"no such head", {0x04, 1, 0, 1, 2, 0}, 0x04},
        {"buffer past conventional memory", {0x02, 18, 0, 1, 0, 0, 0x9FFF}, 0x09},
        {"status of the last call", {0x01, 0, 0, 0, 0, 0}, 0x09},
        // Drive B: fails its first two operations, then works; it is write-protected.
        {"ordered failure 1", {0x02, 1, 0, 1, 0, 1, 0x1000}, 0x80},
        {"ordered failure 2", {0x04, 1, 0, 1, 0, 1}, 0x80},
        {"read after the failures", {0x02, 9, 0, 1, 0, 1, 0x1000}, 0x00},
        {"write-protected write", {0x03, 1, 0, 1, 0, 1, 0x1000}, 0x03},
        {"write-protected format", {0x05, 9, 0, 0, 0, 1, 0x1000}, 0x03},
        {"reset", {0x00, 0, 0, 0, 0, 0}, 0x00},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RealRegs r = int13(c.call);
        EXPECT_EQ(ah(r), c.status);
        EXPECT_EQ(r.flags & CARRY_FLAG, c.status ? CARRY_FLAG : 0);
    }
    EXPECT_EQ(m().diskettes().resets(), 1u);
    EXPECT_EQ(image('a'), image_of(k144));
    EXPECT_EQ(image('b'), image_of(737280));
}

TEST_F(Floppy, ReadAndWriteMoveSectorsBetweenMemoryAndTheImage) {
    auto ram = m().conventional();
    const uint32_t track = (5 * 2 + 1) * kTrack144; // cylinder 5, head 1
    ASSERT_EQ(ah(int13({0x02, 3, 5, 2, 1, 0, 0x1000, 0x0010})), 0);
    const std::string before = image('a');
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&ram[0x10010]), 3 * 512),
              before.substr(track + 512, 3 * 512));
    for (uint32_t i = 0; i < 512; ++i)
        ram[0x20000 + i] = static_cast<uint8_t>(0xA0 ^ i);
    const RealRegs r = int13({0x03, 1, 5, 18, 1, 0, 0x2000});
    EXPECT_EQ(ah(r), 0);
    EXPECT_EQ(r.eax & 0xFF, 1u);
    std::string expected = before;
    expected.replace(track + 17 * 512, 512, reinterpret_cast<char*>(&ram[0x20000]), 512);
    EXPECT_EQ(image('a'), expected);
}

TEST_F(Floppy, FormatFillsTheNamedSectorsWithTheTablesFillByte) {
    auto ram = m().conventional();
    // A parameter table of the program's own, fill byte 0x5A, and INT 1Eh pointing at it.
    ram[0x600 + 8] = 0x5A;
    const uint8_t old_vector[4] = {ram[0x78], ram[0x79], ram[0x7A], ram[0x7B]};
    ram[0x78] = 0x00, ram[0x79] = 0x06, ram[0x7A] = 0, ram[0x7B] = 0;
    const std::string before = image('a');
    // Sectors 18 down to 1 of cylinder 3, head 1; the last field is one more, never read.
    for (uint8_t n = 0; n < 19; ++n) {
        const uint8_t field[4] = {3, 1, static_cast<uint8_t>(18 - n), 2};
        std::copy(field, field + 4, &ram[0x7000 + 4 * n]);
    }
    ram[0x7000 + 4 * 18 + 2] = 99;
    EXPECT_EQ(ah(int13({0x05, 18, 3, 0, 1, 0, 0x0700})), 0);
    std::string expected = before;
    expected.replace((3 * 2 + 1) * kTrack144, kTrack144, std::string(kTrack144, '\x5A'));
    EXPECT_EQ(image('a'), expected);
    // An address field the image cannot hold formats nothing.
    ram[0x7000 + 4 * 5] = 4;
    EXPECT_EQ(ah(int13({0x05, 18, 3, 0, 1, 0, 0x0700})), 0x01);
    ram[0x600 + 8] = 0x00;
    ram[0x7000 + 4 * 5] = 3;
    ram[0x7000 + 4 * 5 + 3] = 3; // 1024-byte sectors
    EXPECT_EQ(ah(int13({0x05, 18, 3, 0, 1, 0, 0x0700})), 0x01);
    EXPECT_EQ(image('a'), expected);
    std::copy(old_vector, old_vector + 4, &ram[0x78]);
}

TEST_F(Floppy, ParametersAndMediaTypeFollowTheImageSize) {
    const struct {
        uint32_t size;
        uint8_t last_cylinder, sectors, type;
    } cases[] = {{368640, 39, 9, 1},
                 {737280, 79, 9, 3},
                 {1228800, 79, 15, 2},
                 {k144, 79, 18, 4},
                 {2949120, 79, 36, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        testing::write_host_file(root_ / "desk" / "a.img", std::string(c.size, '\0'));
        const RealRegs p = int13({0x08, 0, 0, 0, 0, 0});
        ASSERT_EQ(ah(p), 0);
        EXPECT_EQ(p.ebx & 0xFF, c.type);
        EXPECT_EQ(p.ecx & 0xFFFF, uint32_t{c.last_cylinder} << 8 | c.sectors);
        EXPECT_EQ(p.edx & 0xFFFF, 0x0102u); // last head 1, two drives
        const uint32_t table = uint32_t{p.es} * 16 + (p.edi & 0xFFFF);
        EXPECT_EQ(m().phys().read(table + 4, Width::b8), c.sectors);
        EXPECT_EQ(m().phys().read(table + 8, Width::b8), 0xF6u);
        const RealRegs media = int13({0x18, 0, c.last_cylinder, c.sectors, 0, 0});
        EXPECT_EQ(ah(media), 0);
        EXPECT_EQ(media.es, p.es);
        EXPECT_EQ(media.edi & 0xFFFF, p.edi & 0xFFFF);
        EXPECT_EQ(ah(int13({0x18, 0, c.last_cylinder, uint8_t(c.sectors - 1), 0, 0})), 0x0C);
    }
    // A size of no diskette, and an empty drive, which reports the drive's own format.
    testing::write_host_file(root_ / "desk" / "a.img", std::string(1000, '\0'));
    EXPECT_EQ(ah(int13({0x02, 1, 0, 1, 0, 0, 0x1000})), 0x0C);
    std::filesystem::remove(root_ / "desk" / "a.img");
    const RealRegs empty = int13({0x08, 0, 0, 0, 0, 0});
    EXPECT_EQ(ah(empty), 0);
    EXPECT_EQ(empty.ecx & 0xFFFF, 0x4F12u);
    EXPECT_EQ(ah(int13({0x02, 1, 0, 1, 0, 0, 0x1000})), 0x80);
    EXPECT_EQ(ah(int13({0x18, 0, 79, 18, 0, 0})), 0x80);
    EXPECT_EQ(ah(int13({0x08, 0, 0, 0, 0, 2})), 0x01);
}

TEST_F(Floppy, TheEquipmentWordCountsTheDrives) {
    auto ram = m().conventional();
    EXPECT_EQ(ram[0x410] | ram[0x411] << 8, 0x0061); // two diskette drives, colour
}

TEST(FloppyStart, ImagesThatAreMissingOrOfNoDiskettesSizeStopTheStart) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("desk-test-floppy-" + std::to_string(::getpid()));
    const struct {
        const char* profile;
        const char* problem;
    } cases[] = {
        {"floppy.a.image = \"none.img\"", "none.img is not an image file"},
        {"floppy.a.image = \"odd.img\"", "odd.img holds 1000 bytes, the size of no diskette"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        testing::write_host_file(dir / "odd.img", std::string(1000, '\0'));
        std::ofstream(dir / "desk.toml") << c.profile;
        MachineOptions o;
        o.desk_dir = dir;
        o.manual_clock = true;
        try {
            Machine machine(o);
            ADD_FAILURE() << c.profile << ": the desk started";
        } catch (const ProfileError& e) {
            const std::string message = e.what();
            EXPECT_TRUE(message.starts_with((dir / "desk.toml").string() + ": floppy.a.image: "))
                << message;
            EXPECT_NE(message.find(c.problem), std::string::npos) << message;
        }
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace pcplat
