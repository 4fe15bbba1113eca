#include "desk_fixture.hpp"

#include <pcplat/cpu.h>
#include <pcplat/dos.h>
#include <pcplat/dpmi.h>
#include <pcplat/win32.h>

namespace pcplat {
namespace {

using Interrupts = testing::DeskTest;

int g_user_ticks = 0;
FarPtr g_saved_1c{};
int g_keys_seen = 0;
uint8_t g_last_scan = 0;
int g_timer_calls = 0;

void count_tick() {
    ++g_user_ticks;
}

void count_and_chain() {
    ++g_user_ticks;
    cpu_call_vector(g_saved_1c);
}

void keyboard_hook() {
    g_last_scan = io_inb(0x60);
    ++g_keys_seen;
    io_outb(0x20, 0x20);
}

// An INT 08h replacement that forgets the end of interrupt.
void timer_without_eoi() {
    ++g_timer_calls;
}

class InterruptsWithHooks : public testing::DeskTest {
  protected:
    void SetUp() override {
        g_user_ticks = g_keys_seen = g_timer_calls = 0;
        g_last_scan = 0;
        DeskTest::SetUp();
    }
};

TEST_F(Interrupts, TheTimerStartsAt18Point2HzAndFollowsTheDivisor) {
    EXPECT_EQ(m().pit().divisor(0), 65536u);
    EXPECT_NEAR(m().pit().rate_hz(0), 18.2, 0.01);
    m().manual_clock()->advance_ns(1'000'000'000);
    cpu_poll();
    EXPECT_EQ(bios_ticks(), 18u);

    // Channel 0, low then high byte, mode 2, divisor 0x76B8 = 30392.
    io_outb(0x43, 0x34);
    io_outb(0x40, 0xB8);
    io_outb(0x40, 0x76);
    EXPECT_EQ(m().pit().divisor(0), 30392u);
    EXPECT_NEAR(m().pit().rate_hz(0), 39.26, 0.01);
    EXPECT_EQ(m().pit().mode(0), 2);
    m().manual_clock()->advance_ns(10'000'000'000);
    cpu_poll();
    EXPECT_EQ(bios_ticks(), 18u + 392u); // 39.26 Hz for ten seconds
}

TEST_F(Interrupts, TheCounterCanBeLatchedAndRead) {
    m().manual_clock()->advance_ns(1'000'000); // 1193 input clocks
    io_outb(0x43, 0x00);                       // latch channel 0
    const unsigned low = io_inb(0x40);
    const unsigned high = io_inb(0x40);
    EXPECT_EQ(low | high << 8, 65536u - 1193u);
}

TEST_F(InterruptsWithHooks, TheTimerRunsInt1ChThroughTheBios) {
    FarPtr old{};
    dos_get_vector(0x1C, &old);
    g_saved_1c = old;
    dos_set_vector(0x1C, handler_pointer(&count_and_chain));
    pass_ticks(5);
    EXPECT_EQ(g_user_ticks, 5);
    EXPECT_EQ(bios_ticks(), 5u);
    EXPECT_EQ(m().pic().eoi_count(), 5u);

    dos_set_vector(0x1C, old);
    pass_ticks(2);
    EXPECT_EQ(g_user_ticks, 5);
    EXPECT_EQ(bios_ticks(), 7u);
}

TEST_F(InterruptsWithHooks, InterruptsWaitWhileTheFlagIsClearAndComeAtSti) {
    dos_set_vector(0x1C, handler_pointer(&count_tick));
    cpu_cli();
    EXPECT_EQ(cpu_interrupts_enabled(), 0);
    pass_ticks(3);
    cpu_poll();
    EXPECT_EQ(g_user_ticks, 0);
    EXPECT_TRUE(m().pic().requested(0));
    cpu_sti();
    // The controller held one request; the ticks that found it held are lost, as on a PC.
    EXPECT_EQ(g_user_ticks, 1);
    EXPECT_EQ(cpu_interrupts_enabled(), 1);
}

TEST_F(InterruptsWithHooks, WithoutEndOfInterruptNoFurtherTickComes) {
    dos_set_vector(0x08, handler_pointer(&timer_without_eoi));
    pass_ticks(1);
    pass_ticks(1);
    EXPECT_EQ(g_timer_calls, 1);
    EXPECT_TRUE(m().pic().in_service(0));
    io_outb(0x20, 0x20);
    pass_ticks(1);
    EXPECT_EQ(g_timer_calls, 2);
}

TEST_F(InterruptsWithHooks, KeysReachTheBiosBufferUnlessInt09hIsHooked) {
    m().kbc().type_text("Y");
    EXPECT_EQ(console_key_waiting(), 1);
    EXPECT_EQ(console_read_key(), 'Y');
    EXPECT_EQ(console_key_waiting(), 0);

    FarPtr bios{};
    dos_get_vector(0x09, &bios);
    dos_set_vector(0x09, handler_pointer(&keyboard_hook));
    m().kbc().type_text("n");
    cpu_poll();
    EXPECT_EQ(g_keys_seen, 2); // make and break
    EXPECT_EQ(g_last_scan, 0x31 | 0x80);
    EXPECT_EQ(console_key_waiting(), 0);

    dos_set_vector(0x09, bios);
    m().kbc().type_text("n");
    EXPECT_EQ(console_read_key(), 'n');
}

TEST_F(Interrupts, ExtendedKeysComeAsZeroThenTheScanCode) {
    m().kbc().press_key(scan::kF1);
    m().kbc().press_key(scan::kUp);
    EXPECT_EQ(console_read_key(), 0);
    EXPECT_EQ(console_read_key(), 0x3B);
    EXPECT_EQ(console_read_key(), 0);
    EXPECT_EQ(console_read_key(), 0x48);
}

TEST_F(Interrupts, ShiftAndControlAreTrackedByTheBios) {
    m().kbc().type_text("a!\x03\n");
    EXPECT_EQ(console_read_key(), 'a');
    EXPECT_EQ(console_read_key(), '!');
    EXPECT_EQ(console_read_key(), 3);
    EXPECT_EQ(console_read_key(), '\r');
}

TEST_F(Interrupts, TheBiosBufferHoldsFifteenKeys) {
    m().kbc().type_text("abcdefghijklmnopqrst");
    cpu_poll();
    std::string got;
    while (console_key_waiting())
        got.push_back(static_cast<char>(console_read_key()));
    EXPECT_EQ(got, "abcdefghijklmno");
}

TEST_F(Interrupts, Int16hReadsAndPeeksTheBuffer) {
    m().kbc().type_text("q");
    cpu_poll();
    RealRegs r{};
    r.eax = 0x0100;
    ASSERT_EQ(dpmi_real_int(0x16, &r), 1);
    EXPECT_EQ(r.flags & 0x40, 0);
    EXPECT_EQ(r.eax & 0xFFFF, 0x1071u);
    r = RealRegs{};
    ASSERT_EQ(dpmi_real_int(0x16, &r), 1);
    EXPECT_EQ(r.eax & 0xFFFF, 0x1071u);
    r = RealRegs{};
    r.eax = 0x0100;
    dpmi_real_int(0x16, &r);
    EXPECT_EQ(r.flags & 0x40, 0x40);
}

TEST_F(InterruptsWithHooks, SoftwareInterruptsCallTheProtectedModeVector) {
    dos_set_vector(0x60, handler_pointer(&count_tick));
    cpu_int(0x60);
    EXPECT_EQ(g_user_ticks, 1);
    EXPECT_EQ(cpu_interrupts_enabled(), 1);
}

TEST_F(Interrupts, TheSpeakerFollowsChannel2AndPortB) {
    io_outb(0x43, 0xB6);
    io_outb(0x42, 1193 & 0xFF);
    io_outb(0x42, 1193 >> 8);
    EXPECT_FALSE(m().speaker().sounding());
    io_outb(0x61, io_inb(0x61) | 3);
    EXPECT_TRUE(m().speaker().sounding());
    EXPECT_NEAR(m().speaker().tone_hz(), 1000.15, 0.01);
    io_outb(0x61, io_inb(0x61) & ~3);
    EXPECT_FALSE(m().speaker().sounding());
    EXPECT_EQ(io_inb(0x61) & 3, 0);
}

TEST_F(Interrupts, PciConfigurationShowsTheHostBridge) {
    io_outl(0xCF8, 0x80000000);
    EXPECT_EQ(io_inl(0xCFC), 0x71908086u); // the default bridge: device 0x7190, vendor 0x8086
    io_outl(0xCF8, 0x80000800);            // device 1: nothing there
    EXPECT_EQ(io_inl(0xCFC), 0xFFFFFFFFu);
    EXPECT_EQ(io_inl(0xCF8), 0x80000800u);
}

TEST_F(Interrupts, TheRealModeVectorTableIsInConventionalMemory) {
    auto ram = m().conventional();
    // INT 1Eh points at the diskette parameters at 0000:0522.
    EXPECT_EQ(ram[0x78] | ram[0x79] << 8, 0x0522);
    EXPECT_EQ(ram[0x7A] | ram[0x7B] << 8, 0x0000);
    EXPECT_EQ(ram[0x522 + 4], 18); // sectors per track of a 1.44 MB diskette
    EXPECT_EQ(ram[0x413] | ram[0x414] << 8, 640);
}

TEST(Halt, EndsTheProcessWithTheReasonAsStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [](int reason) {
        const auto dir = std::filesystem::temp_directory_path() / "desk-halt-test";
        std::filesystem::create_directories(dir);
        testing::write_host_file(dir / "desk.toml"); // the default desk
        MachineOptions o;
        o.desk_dir = dir;
        o.manual_clock = true;
        Machine m(o);
        Machine::install(&m);
        cpu_halt(reason);
    };
    EXPECT_EXIT(run(CPU_HALT_STOP), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(run(CPU_HALT_FAILED), ::testing::ExitedWithCode(1), "");
}

} // namespace
} // namespace pcplat
