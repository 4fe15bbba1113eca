// The speaker's tone log and the PCI host bridge from the profile, on a desk with a manual
// clock.
#include "desk_fixture.hpp"

#include "machine/speaker_log.hpp"

#include <pcplat/cpu.h>

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

} // namespace
} // namespace pcplat
