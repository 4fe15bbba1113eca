// The host's terminal as the desk PC's keyboard and screen: keys from standard input (raw mode
// while it is a terminal, or piped bytes) become scan codes at the keyboard controller.
#pragma once

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <string>

namespace pcplat {

// The signals a person or a shell sends to end a program: the console notes them, and the
// machine's watcher thread is the one that takes them.
constexpr std::array<int, 4> kEndingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

class Kbc;

class HostConsole {
  public:
    HostConsole();
    ~HostConsole();
    HostConsole(const HostConsole&) = delete;
    HostConsole& operator=(const HostConsole&) = delete;

    // Takes what standard input has ready, without waiting.
    void poll(Kbc& kbc);
    // Waits up to timeout_ms for input; true when some may be ready.
    bool wait_input(int timeout_ms);
    // Standard input has ended: no key will ever come from it again.
    bool input_closed() const { return closed_; }
    bool stdout_is_terminal() const { return stdout_terminal_; }

    // A terminating signal that arrived (0 for none); the machine ends the program at its next
    // safe point.
    static int pending_signal();
    // Puts the terminal back as it was before raw mode, for a way out that runs no destructor.
    static void restore_terminal();

    // Turns host input bytes into key strokes; kept public for the tests.
    static void translate(std::string& pending, bool flush, Kbc& kbc);

  private:
    bool raw_ = false;
    std::atomic<bool> closed_{false}; // read by the machine's host watcher too
    bool stdout_terminal_ = false;
    bool last_was_cr_ = false;
    std::string pending_;
};

} // namespace pcplat
