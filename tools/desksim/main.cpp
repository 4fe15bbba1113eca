// desksim: makes desk folders for the simulated desk PC and shows the desk a program would get.
#include "desk/desk.hpp"
#include "desk/profile.hpp"
#include "desk_view.hpp"
#include "desksim.hpp"
#include "machine/machine.hpp"
#include "panel.hpp"
#include "tool_cli.hpp"

#include <pcplat/desk_card.h>

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace desksim {

int fail(const std::string& reason) {
    tools::report("desksim", reason);
    return tools::kExitFailed;
}

// Output goes out in one piece, and a failed write (a full disk, a closed pipe) is a failure.
bool write_out(const std::string& text) {
    std::cout << text << std::flush;
    if (std::cout) return true;
    fail("cannot write to standard output");
    return false;
}

} // namespace desksim

namespace {

using tools::kExitOk;
constexpr int kExitError = tools::kExitFailed;
constexpr int kLabelWidth = 15;
constexpr uint32_t kBytesPerKib = 1024;
constexpr const char* kProgram = "desksim";

constexpr const char* kDescription = "Sets up and shows desks for the simulated desk PC.";
constexpr const char* kFooter = R"(
Which desk a program gets:
  DESKSIM=DIR   the desk folder DIR, as desksim new makes it: its profile DIR/desk.toml
                (cards, NVR, drives, memory status, halt) and the desk's state, kept between
                runs in card0.bin, card1.bin, nvr.bin and clock-offset, the blocks its
                cards answered in card-blocks.log, the speaker's tones in speaker.log
                and the input to arrive at timer ticks in input-schedule. A folder without
                desk.toml is not a desk and is refused. A program running on the desk
                holds desk.lock: a second program, and info, are refused meanwhile.
  unset         the built-in default desk, with its state in a temporary folder that is
                removed when the program ends.

The LCD and the panel keys live in card 0's window (card0.bin, made with the desk); lcd and
press work on the desk named by DESKSIM, also while a program runs on it. The panel keys are
momentary: press puts a key down for 250 ms and lets it go again; with --hold it stays down
until press release.

panel shows the desk live in a terminal, twenty times a second, while a program runs on it: the
LCD, the panel keys, each fitted card's mailbox and the last blocks it took, the NVR (how much
of it is 0x00, 0xFF or other, and its first and last bytes) and the graphics adapter. It only
reads the state files and never takes the desk's lock. Its keys: y and n press yes and no as
press does, Y and N hold a key down or let it go, r lets go of both, q quits (so do Ctrl-C and
the ending signals); keys the panel put down are let go when it ends.

Examples:
  desksim new ~/desks/bench     make a desk folder with a commented default profile
  desksim new ~/desks/two --from examples/desks/two-cards.toml   a desk from a profile
  DESKSIM=~/desks/bench desksim info
  DESKSIM=~/desks/bench desksim lcd              show the four LCD lines and the two wide fields
  DESKSIM=~/desks/bench desksim press yes        press the yes key: down for 250 ms, then up
  DESKSIM=~/desks/bench desksim press --hold no  keep the no key down until...
  DESKSIM=~/desks/bench desksim press release    ...this lets go of both keys
  desksim card-log ~/desks/bench   every block the cards answered (card-blocks.log): number,
                                   card, taken/rejected/stalled, command, P3 P5 P6 P7, 256 bytes
  desksim sound ~/desks/bench -o beeps.wav   the speaker's tones of the latest run that sounded
                                   (speaker.log) as a WAV file: square waves at their pitches
  desksim schedule ~/desks/bench add 40 key "y\n"     type y and Enter at timer tick 40 of every
                                   run on the desk (input-schedule; ticks count from power-on)
  desksim schedule ~/desks/bench add 80 key 0x3B      press F1 (make code 0x3B) at tick 80
  desksim schedule ~/desks/bench add 90 mouse 10 -4 1 a mouse event: mickeys right and down,
                                   buttons (1 left, 2 right, 4 middle)
  desksim schedule ~/desks/bench list                 what is scheduled, in order; clear: none
  desksim panel ~/desks/bench      the desk live, in a terminal of 80x24 or more

Exit status: 0 done, 1 failed (the reason is on standard error; panel without a terminal too),
2 a wrong command line, 128 + N when signal N cut a press short or ended the panel (the keys
are let go and the terminal given back first).)";

using desksim::blocks_text;
using desksim::hex;

void row(std::ostream& out, std::string_view label, std::string_view value) {
    out << label << std::string(kLabelWidth - std::min<size_t>(label.size(), kLabelWidth - 1), ' ')
        << value << '\n';
}

std::string pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

using desksim::fail;
using desksim::write_out;

std::string describe(pcplat::Machine& machine) {
    const pcplat::Profile& profile = machine.profile();
    std::ostringstream out;

    row(out, "Profile", profile.source);
    row(out, "Desk folder",
        machine.desk_dir().string() +
            (machine.desk_is_temporary() ? " (temporary, removed at exit)" : ""));
    row(out, "Halt",
        profile.halt == pcplat::HaltMode::exit
            ? "exit (status 2 after STOP, 1 after a failed run)"
            : "wait (waits forever after the final screens, as the desk does)");
    row(out, "Extender",
        profile.extender_present ? "present" : "missing (programs refuse to start)");
    row(out, "Memory status",
        profile.memory_from_host
            ? std::string("the host's own figures")
            : std::to_string(profile.memory_available_kib) + " KiB available, " +
                  std::to_string(profile.memory_swap_kib) + " KiB paging file");
    const int64_t offset = machine.desk().clock_offset();
    row(out, "Clock offset",
        (offset >= 0 ? "+" : "") + std::to_string(offset) + " s from host local time");

    out << "\nDrives\n";
    const char current = machine.drives().current_drive();
    for (const char letter : machine.drives().letters()) {
        const auto root = machine.drives().root(letter);
        out << "  " << letter << ":  " << (root ? root->string() : std::string("?"))
            << (letter == current ? "  (current drive, the start directory)" : "") << '\n';
    }

    out << "\nCards\n";
    for (int i = 0; i < 2; ++i) {
        const pcplat::CardProfile& card = profile.cards[i];
        out << "  card " << i << "  window " << hex(pcplat::desk::kCardWindowBase[i], 5) << "  ";
        const pcplat::CardWindow* window = machine.desk().card(i);
        if (!card.fitted || !window) {
            out << "absent\n";
            continue;
        }
        out << "fitted  type " << hex(card.type, 4) << "  blocks " << pad(blocks_text(card), 6)
            << "  file " << window->file().path().string() << '\n';
    }

    out << '\n';
    if (machine.desk().nvr()) {
        row(out, "NVR",
            std::to_string(profile.nvr_size / kBytesPerKib) + " KiB at " +
                hex(machine.desk().nvr_address(), 5) + ", file " +
                (machine.desk_dir() / pcplat::desk::kNvrFile).string());
    } else {
        row(out, "NVR", "none");
    }
    const pcplat::GfxProfile& gfx = profile.gfx;
    row(out, "Graphics",
        gfx.chip ? "S3-style chip, id " + hex(gfx.id, 4) + ", revision " + hex(gfx.revision, 2) +
                       ", memory field " + std::to_string(gfx.memory_field) + " (CRT 0x36 bits 7-5)"
                 : std::string("plain VGA adapter (no extended registers)"));
    row(out, "PCI bridge",
        "vendor " + hex(profile.pci.vendor, 4) + ", device " + hex(profile.pci.device, 4) +
            ", BAR0 " + hex(profile.pci.bar0, 8) + " (bus 0, device 0, function 0)");

    out << "\nPorts\n";
    for (const auto& range : machine.ports().ranges()) {
        const uint32_t last = uint32_t{range.first} + range.count - 1;
        out << "  " << hex(range.first, 4) << '-' << hex(last, 4) << "  " << range.name << '\n';
    }

    out << "\nBus regions\n";
    for (const auto& region : machine.phys().regions()) {
        const uint32_t last = region.base + (region.size - 1);
        out << "  " << pad(hex(region.base, 5) + '-' + hex(last, 5), 17) << "  " << region.name
            << '\n';
    }
    return out.str();
}

int run_info() {
    std::unique_ptr<pcplat::Machine> machine;
    try {
        machine = pcplat::Machine::from_environment(false);
    } catch (const pcplat::ProfileError& e) {
        return fail(e.what());
    }
    return write_out(describe(*machine)) ? kExitOk : kExitError;
}

// Writes text to a file that must not exist yet; a half-written file is removed.
std::error_code write_new_file(const fs::path& file, const std::string& text) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return {errno, std::generic_category()};
    std::error_code error;
    for (size_t done = 0; done < text.size() && !error;) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            error = {errno, std::generic_category()};
    }
    if (::close(fd) != 0 && !error) error = {errno, std::generic_category()};
    if (error) ::unlink(file.c_str());
    return error;
}

// The profile text of a new desk: the commented default, or a profile file's text, checked
// before anything is made.
std::optional<std::string> new_profile_text(const std::string& from) {
    if (from.empty()) return pcplat::default_profile_text();
    std::error_code error;
    if (fs::is_directory(from, error)) {
        fail(from + " is a folder, not a desk profile");
        return std::nullopt;
    }
    std::ifstream in(from, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        fail("cannot read " + from + ": " + std::strerror(errno));
        return std::nullopt;
    }
    try {
        pcplat::parse_profile(text, from);
    } catch (const pcplat::ProfileError& e) {
        fail(e.what());
        return std::nullopt;
    }
    return text;
}

int run_new(const fs::path& dir_argument, const std::string& from) {
    const std::optional<std::string> text = new_profile_text(from);
    if (!text) return kExitError;
    std::error_code error;
    const fs::path dir = fs::absolute(dir_argument, error).lexically_normal();
    if (error) return fail("cannot use " + dir_argument.string() + ": " + error.message());
    const fs::path profile_file = dir / pcplat::desk::kProfileFile;
    const auto refuse = [&] {
        return fail(profile_file.string() + " already exists; not touching an existing desk");
    };

    if (fs::exists(fs::symlink_status(profile_file, error))) return refuse();
    fs::create_directories(dir, error);
    if (error || !fs::is_directory(dir))
        return fail("cannot make the folder " + dir.string() + ": " +
                    (error ? error.message() : std::string("it is not a folder")));
    error = write_new_file(profile_file, *text);
    if (error == std::errc::file_exists) return refuse();
    if (error) return fail("cannot write " + profile_file.string() + ": " + error.message());

    std::ostringstream out;
    out << "Made a desk in " << dir.string() << ":\n";
    out << "  " << pad(pcplat::desk::kProfileFile, 12)
        << (from.empty() ? std::string("the profile, every key at its default")
                         : "the profile, a copy of " + from)
        << " (edit it to change the desk)\n";
    const pcplat::Profile profile = pcplat::load_profile(profile_file);
    // The folders inside the desk that the profile's drives point at; a drive on a host folder
    // elsewhere is the engineer's to make.
    for (const auto& [letter, folder] : profile.drives) {
        if (fs::path(folder).is_absolute()) continue;
        const fs::path drive_dir = dir / folder;
        fs::create_directories(drive_dir, error);
        if (error)
            return fail("cannot make the folder " + drive_dir.string() + ": " + error.message());
        out << "  " << pad(folder + "/", 12) << "drive " << letter << ":\n";
    }
    // The state files as a program makes them when it starts, so lcd and press work at once.
    pcplat::PhysBus bus;
    const pcplat::Desk desk(dir, profile, bus);
    for (int i = 0; i < 2; ++i)
        if (profile.cards[i].fitted)
            out << "  " << pad(pcplat::desk::kCardFile[i], 12) << "card " << i
                << "'s window (LCD text, panel keys, mailbox)\n";
    if (profile.nvr_size)
        out << "  " << pad(pcplat::desk::kNvrFile, 12) << "the non-volatile RAM\n";
    out << "The desk keeps its state in those files between runs.\n";
    out << "Use it by naming it in DESKSIM, for example:\n";
    out << "  DESKSIM=" << pcplat::shell_word(dir.string()) << " " << kProgram << " info\n";
    return write_out(out.str()) ? kExitOk : kExitError;
}

// Card window 0: where the LCD text starts, and the panel keys.
constexpr uint32_t kLcdLineOffset = DESK_LCD_LINES;
constexpr uint32_t kPanelYesOffset = DESK_PANEL_YES;
constexpr uint32_t kPanelNoOffset = DESK_PANEL_NO;

// card0.bin of the desk named by DESKSIM, made as a program would make it if the desk has none
// yet. The built-in desk keeps no state, so it has none to show or press on.
std::string card0_path(std::string& error) {
    const char* desk = std::getenv("DESKSIM");
    if (!desk || !*desk) {
        error = "DESKSIM names no desk folder; the built-in desk keeps no LCD or panel state";
        return {};
    }
    pcplat::Profile profile;
    try {
        pcplat::check_desk_folder(desk);
        profile = pcplat::load_profile(fs::path(desk) / pcplat::desk::kProfileFile);
    } catch (const pcplat::ProfileError& e) {
        error = e.what();
        return {};
    }
    if (!profile.cards[0].fitted) {
        error = "card 0 is not fitted on this desk (" + profile.source + "), so it has no LCD " +
                "or panel keys";
        return {};
    }
    const fs::path card = fs::path(desk) / pcplat::desk::kCardFile[0];
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(card, ec))) {
        // Made, with the type word, and let go; it takes no block, so logs none.
        pcplat::CardLog log(fs::path(desk) / pcplat::desk::kCardLogFile);
        pcplat::CardWindow(card, profile.cards[0], 0, log);
    }
    if (!fs::is_regular_file(card, ec)) {
        error = card.string() + " is not a plain file";
        return {};
    }
    return card.string();
}

int run_lcd() {
    std::string error;
    const std::string card = card0_path(error);
    if (card.empty()) return fail(error);
    const int fd = ::open(card.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open " + card + ": " + std::strerror(errno));
    constexpr uint32_t kAreaEnd = desksim::kLcdAreaEnd;
    uint8_t area[kAreaEnd] = {};
    ssize_t got = 0;
    do {
        got = ::pread(fd, area + kLcdLineOffset, kAreaEnd - kLcdLineOffset, kLcdLineOffset);
    } while (got < 0 && errno == EINTR);
    const int read_errno = errno;
    ::close(fd);
    if (got < 0) return fail("cannot read " + card + ": " + std::strerror(read_errno));
    if (static_cast<uint32_t>(got) != kAreaEnd - kLcdLineOffset)
        return fail(card + " is too short to hold the LCD text");

    std::string out;
    for (const std::string& line : desksim::lcd_frame(area))
        out += line + '\n';
    return write_out(out) ? kExitOk : kExitError;
}

// Waits the press time out; a signal that would end desksim cuts it short and is returned.
int wait_press_time(const sigset_t& ending) {
    const auto until = std::chrono::steady_clock::now() + desksim::kPressTime;
    for (;;) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= left.zero()) return 0;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                               static_cast<long>(ns % 1'000'000'000)};
        const int signal_number = ::sigtimedwait(&ending, nullptr, &timeout);
        if (signal_number > 0) return signal_number;
        if (errno != EINTR && errno != EAGAIN) return 0;
    }
}

// Panel keys are momentary: yes and no go down, stay down for the press time and come up again,
// leaving the other key as it is; held stays down until release, which lets go of both.
int run_press(const std::string& key, bool held) {
    std::string error;
    const std::string card = card0_path(error);
    if (card.empty()) return fail(error);
    const int fd = ::open(card.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return fail("cannot open " + card + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kPanelYesOffset + 1)) {
        ::close(fd);
        return fail(card + " is too short to hold the panel keys");
    }
    int write_errno = 0;
    const auto put = [&](uint32_t offset, uint8_t value) {
        const int error = desksim::put_byte(fd, offset, value);
        if (error && !write_errno) write_errno = error;
        return error == 0;
    };
    int signal_number = 0;
    if (key == "release") {
        if (put(kPanelYesOffset, 0)) put(kPanelNoOffset, 0);
    } else {
        const uint32_t offset = key == "yes" ? kPanelYesOffset : kPanelNoOffset;
        // Signals are taken only between down and up, so a key is never left down by one.
        sigset_t ending;
        sigemptyset(&ending);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&ending, s);
        if (!held) ::sigprocmask(SIG_BLOCK, &ending, nullptr);
        if (put(offset, 1) && !held) {
            signal_number = wait_press_time(ending);
            put(offset, 0);
        }
    }
    if (::close(fd) != 0 && !write_errno) write_errno = errno;
    if (write_errno) return fail("cannot write " + card + ": " + std::strerror(write_errno));
    return signal_number ? tools::kExitSignalBase + signal_number : kExitOk;
}

// The desk folder a command is given, else the one DESKSIM names; empty (and reported) when
// there is neither, since the built-in desk keeps no state to show.
std::string named_desk(const std::string& given, const std::string& missing) {
    if (!given.empty()) return given;
    const char* named = std::getenv("DESKSIM");
    if (named && *named) return named;
    fail("name a desk folder, or set DESKSIM; the built-in desk keeps no " + missing);
    return {};
}

// The blocks the desk's cards answered, one line each, as an engineer compares them with the
// image: the data bytes in hex, all 256 of them, because the card gets all 256.
int run_card_log(const std::string& given) {
    const std::string desk = named_desk(given, "log");
    if (desk.empty()) return kExitError;
    try {
        pcplat::check_desk_folder(desk);
    } catch (const pcplat::ProfileError& e) {
        return fail(e.what());
    }
    const fs::path path = fs::path(desk) / pcplat::desk::kCardLogFile;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (fs::exists(path, ec)) return fail("cannot open " + path.string());
        return write_out("no card has taken a block on this desk yet\n") ? kExitOk : kExitError;
    }
    std::string out;
    uint8_t record[pcplat::desk::kCardLogRecord];
    uint32_t number = 0;
    while (in.read(reinterpret_cast<char*>(record), sizeof record))
        out += desksim::card_log_line(++number, record) + '\n';
    if (in.gcount() != 0)
        out += "(the log ends inside a record: " + std::to_string(in.gcount()) + " bytes left)\n";
    return write_out(out) ? kExitOk : kExitError;
}

int run_panel(const std::string& given) {
    const std::string desk = named_desk(given, "state to show");
    return desk.empty() ? kExitError : desksim::run_panel(desk);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, kProgram};
    tools::add_version_flag(
        app, [] { return std::string("platform library ") + pcplat::library_version(); });
    app.require_subcommand(0, 1); // none given is reported below, naming the commands

    CLI::App* info = app.add_subcommand("info", "Show the desk a program would get now");
    CLI::App* make = app.add_subcommand("new", "Make a desk folder with the default profile");
    std::string dir;
    make->add_option("DIR", dir, "The desk folder to make (parents too)")->required();
    std::string from;
    make->add_option("--from", from,
                     "Start from this desk profile (examples/desks/ has some) instead of the "
                     "default")
        ->type_name("PROFILE");
    CLI::App* lcd = app.add_subcommand("lcd", "Show the LCD text of the desk named by DESKSIM");
    CLI::App* press = app.add_subcommand(
        "press", "Press the panel's yes or no key (down for 250 ms), or release both");
    std::string key;
    press->add_option("KEY", key, "yes, no or release")
        ->required()
        ->check(CLI::IsMember({"yes", "no", "release"}));
    bool held = false;
    press->add_flag("--hold", held, "Keep the key down until desksim press release");
    CLI::App* card_log = app.add_subcommand(
        "card-log", "Show every block the desk's interface cards answered, one line each");
    std::string log_desk;
    card_log->add_option("DIR", log_desk, "The desk folder (default: the one DESKSIM names)");
    CLI::App* sound =
        app.add_subcommand("sound", "Make a WAV file of the speaker's tones (speaker.log)");
    std::string sound_desk;
    sound->add_option("DIR", sound_desk, "The desk folder (default: the one DESKSIM names)");
    std::string wav;
    sound->add_option("-o,--output", wav, "The WAV file to write (replaced if it exists)")
        ->type_name("FILE.wav")
        ->required();
    CLI::App* schedule = app.add_subcommand(
        "schedule", "Add, list or clear keys and mouse events to arrive at timer ticks");
    schedule->require_subcommand(1);
    std::string schedule_desk;
    schedule->add_option("DIR", schedule_desk, "The desk folder (default: the one DESKSIM names)");
    CLI::App* schedule_add = schedule->add_subcommand(
        "add", "Add TICK key TEXT, TICK key 0xHH (a make code) or TICK mouse DX DY BUTTONS");
    std::vector<std::string> add_words;
    schedule_add->add_option("ENTRY", add_words, "TICK key TEXT|0xHH, or TICK mouse DX DY BUTTONS")
        ->required()
        ->allow_extra_args();
    CLI::App* schedule_list =
        schedule->add_subcommand("list", "Show what is scheduled, in the order it arrives");
    CLI::App* schedule_clear = schedule->add_subcommand("clear", "Remove the whole schedule");
    CLI::App* panel = app.add_subcommand(
        "panel", "Show the desk live in the terminal: LCD, panel keys, cards, NVR, graphics");
    std::string panel_desk;
    panel->add_option("DIR", panel_desk, "The desk folder (default: the one DESKSIM names)");

    if (const int status = tools::parse(app, kFooter, argc, argv); status != tools::kGoOn)
        return status;

    try {
        if (info->parsed()) return run_info();
        if (make->parsed()) return run_new(dir, from);
        if (lcd->parsed()) return run_lcd();
        if (press->parsed()) return run_press(key, held);
        if (card_log->parsed()) return run_card_log(log_desk);
        if (sound->parsed()) return desksim::run_sound(sound_desk, wav);
        if (schedule_add->parsed())
            return desksim::run_schedule(schedule_desk, desksim::ScheduleAction::add, add_words);
        if (schedule_list->parsed())
            return desksim::run_schedule(schedule_desk, desksim::ScheduleAction::list, {});
        if (schedule_clear->parsed())
            return desksim::run_schedule(schedule_desk, desksim::ScheduleAction::clear, {});
        if (panel->parsed()) return run_panel(panel_desk);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    fail("a command is needed: info, new, lcd, press, card-log, sound, schedule or panel (see "
         "desksim --help)");
    return tools::kExitUsage;
}
