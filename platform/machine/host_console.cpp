#include "machine/host_console.hpp"

#include "machine/attention.hpp"
#include "machine/devices.hpp"

#include <array>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <termios.h>
#include <unistd.h>

namespace pcplat {

namespace {

termios g_saved{};
bool g_saved_valid = false;

void restore_terminal() {
    if (g_saved_valid) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

std::atomic<int> g_pending_signal{0};

// A signal that ends the process must not leave the terminal in raw mode, nor a temporary desk
// behind: the handler restores the terminal and leaves the rest to the next safe point, which
// ends the program the ordinary way. A second signal ends it at once.
void note_signal(int signal_number) {
    restore_terminal();
    if (g_pending_signal.exchange(signal_number) != 0) {
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
        return;
    }
    raise_attention();
}

void (*g_saved_sigpipe)(int) = SIG_DFL;

struct EscapeKey {
    std::string_view sequence;
    uint8_t scan;
};

// What terminals send for the keys that have no character.
constexpr std::array<EscapeKey, 26> kEscapeKeys{{
    {"[A", 0x48},   {"[B", 0x50},   {"[C", 0x4D},   {"[D", 0x4B},   {"[H", 0x47},   {"[F", 0x4F},
    {"[1~", 0x47},  {"[4~", 0x4F},  {"[2~", 0x52},  {"[3~", 0x53},  {"[5~", 0x49},  {"[6~", 0x51},
    {"OP", 0x3B},   {"OQ", 0x3C},   {"OR", 0x3D},   {"OS", 0x3E},   {"[15~", 0x3F}, {"[17~", 0x40},
    {"[18~", 0x41}, {"[19~", 0x42}, {"[20~", 0x43}, {"[21~", 0x44}, {"[23~", 0x57}, {"[24~", 0x58},
    {"OH", 0x47},   {"OF", 0x4F},
}};
constexpr char kEscape = 0x1B;

} // namespace

void HostConsole::restore_terminal() {
    pcplat::restore_terminal();
}

HostConsole::HostConsole() {
    stdout_terminal_ = isatty(STDOUT_FILENO);
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &g_saved) == 0) {
        g_saved_valid = true;
        termios raw = g_saved;
        // Keys one at a time and no echo; signals and output processing stay as they are.
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        raw_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    for (int s : kEndingSignals)
        std::signal(s, note_signal);
    // A reader of the output that goes away (tolvanex | head) must not end an upgrade half way:
    // the writes fail and the run goes on.
    g_saved_sigpipe = std::signal(SIGPIPE, SIG_IGN);
}

int HostConsole::pending_signal() {
    return g_pending_signal.load();
}

HostConsole::~HostConsole() {
    if (raw_) restore_terminal();
    for (int s : kEndingSignals)
        std::signal(s, SIG_DFL);
    std::signal(SIGPIPE, g_saved_sigpipe);
}

bool HostConsole::wait_input(int timeout_ms) {
    if (closed_) {
        if (timeout_ms > 0) usleep(static_cast<useconds_t>(timeout_ms) * 1000);
        return false;
    }
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

void HostConsole::poll(Kbc& kbc) {
    bool got = false;
    while (!closed_ && wait_input(0)) {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            // A terminal in raw mode reads 0 only when nothing is there; a pipe or file has ended.
            if (!raw_ || n < 0) closed_ = true;
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            // CR LF from a file is one Enter.
            const char c = buffer[i];
            if (c == '\n' && last_was_cr_) {
                last_was_cr_ = false;
                continue;
            }
            last_was_cr_ = c == '\r';
            pending_.push_back(c);
        }
        got = true;
    }
    if (got || closed_) translate(pending_, true, kbc);
}

void HostConsole::translate(std::string& pending, bool flush, Kbc& kbc) {
    size_t i = 0;
    while (i < pending.size()) {
        if (pending[i] != kEscape) {
            kbc.type_text(std::string_view(&pending[i], 1));
            ++i;
            continue;
        }
        const std::string_view rest = std::string_view(pending).substr(i + 1);
        if (rest.empty()) {
            if (!flush) break;
            kbc.press_key(0x01); // a lone Esc
            ++i;
            continue;
        }
        bool matched = false;
        for (const auto& key : kEscapeKeys) {
            if (rest.starts_with(key.sequence)) {
                kbc.press_key(key.scan);
                i += 1 + key.sequence.size();
                matched = true;
                break;
            }
        }
        if (matched) continue;
        if (rest[0] == '[' || rest[0] == 'O') {
            // An unknown sequence: skip up to its final byte.
            size_t end = 1;
            while (end < rest.size() && !(rest[end] >= 0x40 && rest[end] <= 0x7E))
                ++end;
            i += 1 + std::min(end + 1, rest.size());
            continue;
        }
        kbc.press_key(0x01);
        ++i;
    }
    pending.erase(0, i);
}

} // namespace pcplat
