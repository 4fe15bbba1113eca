#include "desk_fixture.hpp"
#include "machine/host_console.hpp"

#include <pcplat/win32.h>

namespace pcplat {
namespace {

using Console = testing::DeskTest;

// Everything the console gives until nothing waits.
std::vector<int> read_all() {
    std::vector<int> keys;
    while (console_key_waiting())
        keys.push_back(console_read_key());
    return keys;
}

TEST_F(Console, TerminalEscapesBecomeExtendedKeys) {
    std::string input = "a\x1b[A\x1bOP\x1b[24~b";
    HostConsole::translate(input, true, m().kbc());
    EXPECT_TRUE(input.empty());
    const std::vector<int> want{'a', 0, 0x48, 0, 0x3B, 0, 0x58, 'b'};
    EXPECT_EQ(read_all(), want);
}

TEST_F(Console, ALoneEscapeWaitsForMoreUnlessFlushed) {
    std::string input = "x\x1b";
    HostConsole::translate(input, false, m().kbc());
    EXPECT_EQ(input, "\x1b");
    HostConsole::translate(input, true, m().kbc());
    const std::vector<int> want{'x', 0x1B};
    EXPECT_EQ(read_all(), want);
}

TEST_F(Console, UnknownEscapeSequencesAreDropped) {
    std::string input = "\x1b[99;5Xz";
    HostConsole::translate(input, true, m().kbc());
    const std::vector<int> want{'z'};
    EXPECT_EQ(read_all(), want);
}

TEST_F(Console, TheCursorIsLeftAloneWhenOutputIsNotATerminal) {
    ::testing::internal::CaptureStdout();
    console_cursor_home();
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(KeyMap, EveryPrintableCharacterRoundTrips) {
    for (int c = 0x20; c < 0x7F; ++c) {
        const auto stroke = keystroke_for(static_cast<char>(c));
        ASSERT_TRUE(stroke) << c;
        EXPECT_EQ(ascii_for(stroke->scan, stroke->shift, stroke->ctrl), c) << c;
    }
    EXPECT_EQ(keystroke_for('\n')->scan, 0x1C);
    EXPECT_FALSE(keystroke_for('\x7F'));
}

} // namespace
} // namespace pcplat
