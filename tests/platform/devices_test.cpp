// The speaker's tone log, the PCI host bridge from the profile and the input schedule, on a
// desk with a manual clock.
#include "desk_fixture.hpp"

#include "machine/input_schedule.hpp"
#include "machine/speaker_log.hpp"

#include <pcplat/cpu.h>
#include <pcplat/mouse.h>

#include <sstream>

namespace pcplat {
namespace {

constexpr uint64_t kNsPerMs = 1'000'000;

class Devices : public testing::DeskTest {
  protected:
    void advance_ms(uint64_t ms) { m().manual_clock()->advance_ns(ms * kNsPerMs); }
    void load_channel2(uint16_t divisor) {
        io_outb(0x43, 0xB6);
        io_outb(0x42, static_cast<uint8_t>(divisor));
        io_outb(0x42, static_cast<uint8_t>(divisor >> 8));
    }
    void speaker(bool on) { io_outb(0x61, static_cast<uint8_t>(io_inb(0x61) & ~3) | (on ? 3 : 0)); }

    std::string log_text() { return testing::read_host_file(root_ / "desk" / "speaker.log"); }
    // The tone lines of the log, checked to be tones.
    std::vector<ToneRecord> tones() {
        std::vector<ToneRecord> out;
        std::istringstream in(log_text());
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            const auto tone = parse_tone(line);
            EXPECT_TRUE(tone) << line;
            if (tone) out.push_back(*tone);
        }
        return out;
    }
};

TEST_F(Devices, AToneIsLoggedWithItsTickTimePitchAndLength) {
    pass_ticks(5);
    const uint64_t start_us = m().clock().now_ns() / 1000;
    load_channel2(1193);
    speaker(true);
    EXPECT_NEAR(m().speaker().tone_hz(), 1000.15, 0.01);
    advance_ms(250);
    speaker(false);
    ASSERT_EQ(tones().size(), 1u);
    const ToneRecord tone = tones()[0];
    EXPECT_EQ(tone.tick, 5u);
    EXPECT_EQ(tone.start_us, start_us);
    EXPECT_EQ(tone.divisor, 1193u);
    EXPECT_EQ(tone.length_us, 250'000u);
    EXPECT_NE(log_text().find("1193     1000.15       250.000\n"), std::string::npos) << log_text();
}

TEST_F(Devices, ANewCountWhileSoundingStartsTheNextToneWithoutAGap) {
    load_channel2(1193);
    speaker(true);
    advance_ms(100);
    load_channel2(2386);
    advance_ms(50);
    load_channel2(0); // a count of 0 is 65536
    advance_ms(10);
    speaker(false);
    load_channel2(597); // silent: no tone
    const auto t = tones();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].divisor, 1193u);
    EXPECT_EQ(t[1].divisor, 2386u);
    EXPECT_EQ(t[2].divisor, 65536u);
    EXPECT_EQ(t[1].start_us, t[0].start_us + t[0].length_us);
    EXPECT_EQ(t[2].start_us, t[1].start_us + t[1].length_us);
    EXPECT_EQ(t[2].length_us, 10'000u);
}

TEST_F(Devices, OnlyGateAndDataTogetherSound) {
    load_channel2(1193);
    for (const uint8_t bits : {0x01, 0x02, 0x0C, 0x00}) {
        io_outb(0x61, bits);
        advance_ms(10);
    }
    EXPECT_EQ(m().speaker().tones_logged(), 0u);
    EXPECT_FALSE(std::filesystem::exists(root_ / "desk" / "speaker.log"));
}

TEST_F(Devices, AToneSoundingAtPowerOffIsLoggedAndTheNextPowerOnStartsAfresh) {
    load_channel2(1193);
    speaker(true);
    advance_ms(30);
    stop();
    ASSERT_EQ(tones().size(), 1u);
    EXPECT_EQ(tones()[0].length_us, 30'000u);
    start(); // a run that sounds nothing leaves the log as it was
    stop();
    EXPECT_EQ(tones().size(), 1u);
    start();
    load_channel2(2000);
    speaker(true);
    speaker(false);
    ASSERT_EQ(tones().size(), 1u);
    EXPECT_EQ(tones()[0].divisor, 2000u);
    EXPECT_EQ(tones()[0].length_us, 0u);
}

TEST(SpeakerLog, LinesReadBackAsWrittenAndOthersAreRefused) {
    const ToneRecord tone{12345, 987'654'321, 65536, 1'000'001};
    const std::string line = format_tone(tone);
    const auto back = parse_tone(line.substr(0, line.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->tick, tone.tick);
    EXPECT_EQ(back->start_us, tone.start_us);
    EXPECT_EQ(back->divisor, tone.divisor);
    EXPECT_EQ(back->length_us, tone.length_us);
    EXPECT_TRUE(parse_tone("0 1.5 1193 1000.15 20"));
    for (const char* bad :
         {"", "1 2 3 4", "1 2.0 1193 1000.15 5 6", "x 2.0 1193 1000.15 5", "1 -2.0 1193 1000.15 5",
          "1 2.0 0 1000.15 5", "1 2.0 65537 18.2 5", "1 2.0001 1193 1000.15 5",
          "1 2. 1193 1000.15 5", "1 2.0 1193 fast 5", "1 2.0 1193 1000.15 5ms"})
        EXPECT_FALSE(parse_tone(bad)) << bad;
}

class OtherBridge : public testing::DeskTest {
    std::string profile_text() override {
        return "[pci]\nvendor = 0x1106\ndevice = 0x0691\nbar0 = 0xD0000008\n";
    }
};

TEST_F(OtherBridge, ConfigurationSpaceShowsTheProfilesHostBridge) {
    const struct {
        uint32_t address;
        uint32_t value;
    } reads[] = {
        {0x80000000, 0x06911106}, // device << 16 | vendor
        {0x80000010, 0xD0000008}, // base address register 0
        {0x80000008, 0x06000003}, // class: host bridge
        {0x80000014, 0},          // other registers read 0
        {0x80000810, 0xFFFFFFFF}, // device 1: nobody answers
        {0x80010010, 0xFFFFFFFF}, // bus 1
        {0x00000010, 0xFFFFFFFF}, // enable bit clear
    };
    for (const auto& r : reads) {
        io_outl(0xCF8, r.address);
        EXPECT_EQ(io_inl(0xCFC), r.value) << std::hex << r.address;
    }
}

// Keys arrive at their ticks through the keyboard controller, as typed keys do.
class Schedule : public testing::DeskTest {
  protected:
    std::string bios_keys() {
        std::string keys;
        while (m().bios_key_waiting())
            keys += static_cast<char>(m().bios_read_key() & 0xFF);
        return keys;
    }
};

TEST_F(Schedule, KeysArriveAtTheirTicksAndNotBefore) {
    m().schedule_key(3, "ab");
    m().schedule_scancode(3, 0x1C); // Enter, after the text of the same tick
    m().schedule_key(5, "C");
    m().safe_point();
    const struct {
        uint64_t ticks;
        const char* keys;
    } steps[] = {{2, ""}, {1, "ab\r"}, {1, ""}, {1, "C"}};
    for (const auto& step : steps) {
        pass_ticks(step.ticks);
        EXPECT_EQ(bios_keys(), step.keys) << "at tick " << m().ticks();
    }
    EXPECT_EQ(m().scheduled_count(), 0u);
}

TEST_F(Schedule, KeysDueWhileInterruptsAreOffComeWhenTheyAreOn) {
    m().schedule_key(1, "x");
    cpu_cli();
    pass_ticks(2);
    EXPECT_EQ(bios_keys(), "");
    cpu_sti();
    EXPECT_EQ(bios_keys(), "x");
}

TEST_F(Schedule, MouseEventsReachTheDriverAtTheirTick) {
    RealRegs reset{}; // AX 0: the pointer to 320, 100, ratios 8 and 16 mickeys per 8 pixels
    dpmi_real_int(0x33, &reset);
    m().schedule_mouse(2, 16, 32, MOUSE_BUTTON_LEFT);
    pass_ticks(1);
    EXPECT_EQ(m().mouse().x(), 320);
    pass_ticks(1);
    EXPECT_EQ(m().mouse().x(), 336);
    EXPECT_EQ(m().mouse().y(), 116);
    EXPECT_EQ(m().mouse().buttons(), MOUSE_BUTTON_LEFT);
}

class ScheduleFile : public Schedule {
    void prepare() override {
        testing::write_host_file(root_ / "desk" / "input-schedule",
                                 "# a comment\n\n4 key \"n\\n\"\n  2   key 0x15\n"
                                 "3 mouse -5 7 1\n");
    }
};

TEST_F(ScheduleFile, TheDesksScheduleIsReadAtPowerOn) {
    EXPECT_EQ(m().scheduled_count(), 3u);
    pass_ticks(2);
    EXPECT_EQ(bios_keys(), "y"); // make code 0x15
    EXPECT_EQ(m().mouse().buttons(), 0);
    pass_ticks(2);
    EXPECT_EQ(bios_keys(), "n\r");
    EXPECT_EQ(m().mouse().buttons(), MOUSE_BUTTON_LEFT);
}

TEST(InputSchedule, EntriesReadBackAsWritten) {
    const ScheduledInput entries[] = {
        {7, ScheduledInput::Kind::text, "Yes \"sir\"\\ \t\b\x1b\x03\n", 0, 0, 0, 0},
        {0, ScheduledInput::Kind::scancode, "", 0x3B, 0, 0, 0},
        {UINT64_MAX, ScheduledInput::Kind::mouse, "", 0, -32768, 32767, 7},
    };
    for (const auto& entry : entries) {
        std::optional<ScheduledInput> back;
        std::string problem;
        ASSERT_TRUE(parse_input_line(format_input(entry), back, problem)) << problem;
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, entry) << format_input(entry);
    }
}

TEST(InputSchedule, BadLinesAreRefusedWithTheirLineNumber) {
    const struct {
        const char* line;
        const char* problem;
    } cases[] = {
        {"key \"a\"", "must start with a tick"},
        {"-1 key \"a\"", "must start with a tick"},
        {"18446744073709551616 key \"a\"", "must start with a tick"},
        {"5", "key or mouse must follow"},
        {"5 press \"a\"", "not press"},
        {"5 key", "key needs"},
        {"5 key a", "not a"},
        {"5 key 0x80", "not 0x80"},
        {"5 key 0x00", "not 0x00"},
        {"5 key 0x100", "not 0x100"},
        {"5 key \"\"", "nothing to type"},
        {"5 key \"abc", "no closing double quote"},
        {"5 key \"a\\\"", "no closing double quote"},
        {"5 key \"a\" b", "nothing may follow"},
        {"5 key \"\\q\"", "unknown escape \\q"},
        {"5 key \"\\x4\"", "two hex digits"},
        {"5 key \"\xc3\xa9\"", "byte 0xC3, which no key"},
        {"5 key \"\\x00\"", "byte 0x00"},
        {"5 mouse 1 2", "three numbers"},
        {"5 mouse 1 2 3 4", "three numbers"},
        {"5 mouse 32768 0 0", "DX must be"},
        {"5 mouse 0 1.5 0", "DY must be"},
        {"5 mouse 0 0 8", "BUTTONS must be 0 to 7"},
    };
    for (const auto& c : cases) {
        const std::string text = "1 key \"ok\"\n" + std::string(c.line) + "\n";
        try {
            parse_input_schedule(text, "/d/input-schedule");
            ADD_FAILURE() << "accepted: " << c.line;
        } catch (const ProfileError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("/d/input-schedule: line 2: ", 0), 0u) << what;
            EXPECT_NE(what.find(c.problem), std::string::npos) << c.line << " -> " << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
}

TEST(InputSchedule, ABadScheduleStopsTheDeskLikeABadProfile) {
    const auto dir = std::filesystem::temp_directory_path() / "desk-bad-schedule-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    testing::write_host_file(dir / "desk.toml");
    testing::write_host_file(dir / "input-schedule", "10 key \"ok\"\n10 key 0xFF\n");
    MachineOptions options;
    options.desk_dir = dir;
    options.manual_clock = true;
    EXPECT_THROW(Machine{options}, ProfileError);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace pcplat
