#include "panel.hpp"

#include "desk/desk.hpp"
#include "desk/profile.hpp"
#include "desk_view.hpp"
#include "tool_cli.hpp"

#include <pcplat/desk_card.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Last: its macros (timeout, erase, move, OK) must meet none of the headers above.
#include <curses.h>

namespace desksim {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using pcplat::desk::kCardLogRecord;

constexpr const char* kProgram = "desksim";
// A new picture at least this often, keys or not: twenty a second.
constexpr int kFrameMs = 50;
constexpr int kMinColumns = 80;
// How long a message about a key that could not be put down stays in the help line.
constexpr auto kNoticeTime = std::chrono::seconds(3);
// Blocks remembered per card; a tall terminal shows that many at most.
constexpr size_t kKeptBlocks = 64;
// The card log is read at most this many records a picture, so a long log left by earlier runs
// does not hold the panel up: it catches up over a few pictures.
constexpr uint32_t kLogRecordsPerFrame = 4096;
constexpr uint32_t kHexRowBytes = 16;
constexpr uint32_t kBytesPerKib = 1024;
constexpr int kRightColumn = 32; // panel keys and graphics, beside the LCD
constexpr int kLcdRows = 9;
constexpr int kExitSignalBase = tools::kExitSignalBase;

volatile std::sig_atomic_t g_signal = 0;
void on_signal(int signal_number) {
    g_signal = signal_number;
}
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Up to size bytes of a state file as they are now, into bytes (cut to what the file holds):
// an empty string, or why nothing could be read. Read rather than mapped, so a file cut short
// meanwhile (a program started with a changed profile resizes it) cannot fault the panel.
std::string read_state(const fs::path& path, uint32_t size, std::vector<uint8_t>& bytes) {
    bytes.resize(size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        bytes.clear();
        return errno == ENOENT ? "not made yet" : std::strerror(errno);
    }
    size_t done = 0;
    int error = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(done));
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0)
            break;
        else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    ::close(fd);
    bytes.resize(done);
    return error ? std::strerror(error) : std::string();
}

// The blocks the cards answered, from card-blocks.log: each look reads what was appended since
// the last one. A log that shrank or was replaced (a new desk in the folder) is read anew.
class BlockLog {
  public:
    struct Block {
        uint32_t number = 0; // in the whole log, from 1
        std::array<uint8_t, kCardLogRecord> record{};
    };

    explicit BlockLog(fs::path path) : path_(std::move(path)) {}

    void update() {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (errno == ENOENT) reset(); // no card has taken a block yet
            problem_ = errno == ENOENT ? std::string() : std::strerror(errno);
            return;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            problem_ = "not a plain file";
            ::close(fd);
            return;
        }
        problem_.clear();
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (st.st_dev != device_ || st.st_ino != inode_ || size < offset_) {
            reset();
            device_ = st.st_dev;
            inode_ = st.st_ino;
        }
        // Whole records only: one being appended is read at the next look.
        const uint64_t records =
            std::min<uint64_t>((size - offset_) / kCardLogRecord, kLogRecordsPerFrame);
        buffer_.resize(records * kCardLogRecord);
        size_t done = 0;
        while (done < buffer_.size()) {
            const ssize_t n = ::pread(fd, buffer_.data() + done, buffer_.size() - done,
                                      static_cast<off_t>(offset_ + done));
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n == 0 || errno != EINTR)
                break;
        }
        ::close(fd);
        for (size_t at = 0; at + kCardLogRecord <= done; at += kCardLogRecord) {
            Block block;
            block.number = ++records_;
            std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(at), kCardLogRecord,
                        block.record.begin());
            const int card = block.record[0] & 1;
            if (block.record[1] < std::size(counts_[card])) ++counts_[card][block.record[1]];
            last_[card].push_back(block);
            if (last_[card].size() > kKeptBlocks) last_[card].pop_front();
            offset_ += kCardLogRecord;
        }
    }

    const std::deque<Block>& last(int card) const { return last_[card]; }
    uint32_t count(int card, pcplat::CardOutcome outcome) const {
        return counts_[card][static_cast<int>(outcome)];
    }
    // Why the log cannot be read, or empty.
    const std::string& problem() const { return problem_; }

  private:
    void reset() {
        offset_ = 0;
        records_ = 0;
        for (int card = 0; card < 2; ++card) {
            last_[card].clear();
            std::fill(std::begin(counts_[card]), std::end(counts_[card]), 0);
        }
    }

    fs::path path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    uint64_t offset_ = 0; // the whole records read so far
    uint32_t records_ = 0;
    std::deque<Block> last_[2];
    uint32_t counts_[2][3] = {};
    std::string problem_;
    std::vector<uint8_t> buffer_;
};

// The process running on the desk, from the id desk.lock holds, or 0. The lock itself is never
// taken: the panel must not stand in the way of a program starting on the desk.
long desk_holder(const fs::path& desk) {
    const int fd = ::open((desk / pcplat::desk::kLockFile).c_str(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return 0;
    char text[24] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    if (n <= 0) return 0;
    const long pid = std::strtol(text, nullptr, 10);
    // A holder killed outright leaves its id behind.
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) ? pid : 0;
}

// What the card's command byte says about its mailbox.
std::string mailbox_text(uint8_t command) {
    switch (command) {
    case 0:
        return "idle";
    case DESK_CARD_CMD_BLOCK:
        return "data block handed over";
    case DESK_CARD_CMD_END:
        return "end block handed over";
    case DESK_CARD_CMD_DONE:
        return "done";
    case pcplat::desk::kCommandBusy:
        return "busy";
    default:
        return "command " + hex(command, 2);
    }
}

// A panel key as the panel put it down: for the press time, or held until let go.
struct PanelKey {
    const char* name;
    uint32_t offset;
    bool held = false;
    std::optional<Clock::time_point> up_at;
    bool ours() const { return held || up_at; }
};

// Text at a row and column, cut at the terminal's right edge.
void put(int y, int x, const std::string& text, attr_t attributes = A_NORMAL) {
    if (y < 0 || y >= LINES || x < 0 || x >= COLS) return;
    attron(attributes);
    mvaddnstr(y, x, text.c_str(), COLS - x);
    attroff(attributes);
}

class Panel {
  public:
    Panel(fs::path desk, pcplat::Profile profile)
        : desk_(std::move(desk)), profile_(std::move(profile)),
          log_(desk_ / pcplat::desk::kCardLogFile) {
        note_profile_file();
    }

    void draw();
    // Acts on a key typed at the terminal; false for the one that ends the panel.
    bool key(int typed);
    // Lets the momentary keys go when their time is up.
    void tick(Clock::time_point now);
    // How long to wait for a key before the next picture, in milliseconds.
    int wait_ms(Clock::time_point now) const;
    // Lets go of the keys the panel put down, on the way out: an empty string, or what failed.
    std::string let_go();

  private:
    std::string set_key(PanelKey& key, bool down);
    void notice(std::string text) {
        notice_ = std::move(text);
        notice_until_ = Clock::now() + kNoticeTime;
    }
    void note_profile_file();
    void reload_profile();
    int minimum_rows() const;
    void draw_too_small();
    void draw_lcd_and_keys(int top);
    int draw_card(int top, int card, int block_rows);
    void draw_nvr(int top, int hex_rows);

    fs::path desk_;
    pcplat::Profile profile_;
    struct stat profile_stat_ {};
    std::string profile_problem_;
    BlockLog log_;
    PanelKey keys_[2]{{"yes", DESK_PANEL_YES, false, std::nullopt},
                      {"no", DESK_PANEL_NO, false, std::nullopt}};
    std::string notice_;
    Clock::time_point notice_until_{};
    std::vector<uint8_t> window_;
    std::vector<uint8_t> nvr_;
};

void Panel::note_profile_file() {
    ::stat((desk_ / pcplat::desk::kProfileFile).c_str(), &profile_stat_);
}

// desk.toml is read again when it changes; a broken one leaves the desk shown as it was.
void Panel::reload_profile() {
    const fs::path file = desk_ / pcplat::desk::kProfileFile;
    struct stat now {};
    if (::stat(file.c_str(), &now) != 0) {
        profile_problem_ = file.string() + ": " + std::strerror(errno);
        profile_stat_ = {};
        return;
    }
    if (now.st_ino == profile_stat_.st_ino && now.st_size == profile_stat_.st_size &&
        now.st_mtim.tv_sec == profile_stat_.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == profile_stat_.st_mtim.tv_nsec)
        return;
    profile_stat_ = now;
    try {
        profile_ = pcplat::load_profile(file);
        profile_problem_.clear();
    } catch (const pcplat::ProfileError& e) {
        profile_problem_ = e.what();
    }
}

std::string Panel::set_key(PanelKey& key, bool down) {
    if (!profile_.cards[0].fitted) return "card 0 is not fitted: the desk has no panel keys";
    const fs::path card = desk_ / pcplat::desk::kCardFile[0];
    const int fd = ::open(card.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return "cannot open " + card.string() + ": " + std::strerror(errno);
    struct stat st {};
    std::string problem;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < static_cast<off_t>(key.offset + 1))
        problem = card.string() + " is too short to hold the panel keys";
    else if (const int error = put_byte(fd, key.offset, down ? 1 : 0))
        problem = "cannot write " + card.string() + ": " + std::strerror(error);
    ::close(fd);
    return problem;
}

bool Panel::key(int typed) {
    const auto on = [&](PanelKey& key, bool down, bool held) {
        const std::string problem = set_key(key, down);
        if (!problem.empty()) {
            notice(problem);
            return;
        }
        key.held = down && held;
        key.up_at.reset();
        if (down && !held) key.up_at = Clock::now() + kPressTime;
    };
    switch (typed) {
    case 'q':
    case 'Q':
        return false;
    case 'y':
    case 'n':
        on(keys_[typed == 'y' ? 0 : 1], true, false);
        break;
    case 'Y':
    case 'N': {
        PanelKey& key = keys_[typed == 'Y' ? 0 : 1];
        on(key, !key.held, true);
        break;
    }
    case 'r':
    case 'R':
        for (PanelKey& key : keys_)
            on(key, false, false);
        break;
    default: // KEY_RESIZE among them: the next picture fits the new size
        break;
    }
    return true;
}

void Panel::tick(Clock::time_point now) {
    for (PanelKey& key : keys_) {
        if (!key.up_at || *key.up_at > now) continue;
        key.up_at.reset();
        const std::string problem = set_key(key, false);
        if (!problem.empty()) notice(problem);
    }
    if (!notice_.empty() && now >= notice_until_) notice_.clear();
}

int Panel::wait_ms(Clock::time_point now) const {
    int wait = kFrameMs;
    for (const PanelKey& key : keys_) {
        if (!key.up_at) continue;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*key.up_at - now).count();
        wait = static_cast<int>(std::clamp<long long>(left, 0, wait));
    }
    return wait;
}

std::string Panel::let_go() {
    std::string problems;
    for (PanelKey& key : keys_) {
        if (!key.ours()) continue;
        key.held = false;
        key.up_at.reset();
        const std::string problem = set_key(key, false);
        if (!problem.empty() && problems.empty())
            problems = "the " + std::string(key.name) + " key may still be down: " + problem;
    }
    return problems;
}

// Rows: the title and a blank, the LCD with the keys and graphics beside it, a blank, each card
// (three rows and at least one block when fitted, one when not), a blank, the NVR with one row
// of hex, and the help line.
int Panel::minimum_rows() const {
    int rows = 2 + kLcdRows + 1 + 1 + 2 + 1;
    for (const pcplat::CardProfile& card : profile_.cards)
        rows += card.fitted ? 4 : 1;
    return rows;
}

void Panel::draw_too_small() {
    const std::string text = "The panel needs a terminal of at least " +
                             std::to_string(kMinColumns) + "x" + std::to_string(minimum_rows()) +
                             "; this one is " + std::to_string(COLS) + "x" + std::to_string(LINES) +
                             ". Make it larger, or press q to quit.";
    // Wrapped between words, whatever the width; a word longer than a row is cut.
    const size_t width = static_cast<size_t>(std::max(COLS, 1));
    int row = 0;
    for (size_t at = 0; at < text.size() && row < LINES; ++row) {
        size_t end = std::min(at + width, text.size());
        if (end < text.size()) {
            const size_t space = text.rfind(' ', end);
            if (space != std::string::npos && space > at) end = space;
        }
        put(row, 0, text.substr(at, end - at), A_BOLD);
        at = text.find_first_not_of(' ', end);
        if (at == std::string::npos) break;
    }
}

void Panel::draw_lcd_and_keys(int top) {
    const int x = kRightColumn;
    put(top, x, "Panel keys", A_BOLD);
    std::string problem;
    if (!profile_.cards[0].fitted) {
        put(top, 0, "LCD", A_BOLD);
        put(top + 1, 2, "card 0 is not fitted:");
        put(top + 2, 2, "no LCD, no panel keys");
        window_.clear();
    } else {
        const fs::path card = desk_ / pcplat::desk::kCardFile[0];
        problem = read_state(card, pcplat::desk::kCardWindowSize, window_);
        if (problem.empty() && window_.size() < kLcdAreaEnd) problem = "too short for the LCD";
        if (problem.empty()) {
            const std::vector<std::string> rows = lcd_frame(window_);
            for (size_t i = 0; i < rows.size(); ++i)
                put(top + static_cast<int>(i), 0, rows[i]);
        } else {
            put(top, 0, "LCD", A_BOLD);
            put(top + 1, 2, std::string(pcplat::desk::kCardFile[0]) + ":");
            put(top + 2, 2, problem.substr(0, kRightColumn - 4));
        }
    }
    for (int i = 0; i < 2; ++i) {
        const PanelKey& key = keys_[i];
        std::string state = "-";
        bool down = false;
        if (window_.size() > key.offset) {
            down = window_[key.offset] != 0;
            state = down ? "DOWN" : "up";
        }
        put(top + 1 + i, x + 2, key.name);
        put(top + 1 + i, x + 7, state, down ? A_REVERSE | A_BOLD : A_NORMAL);
        if (key.held)
            put(top + 1 + i, x + 13, "held by the panel (" + std::string(i ? "N" : "Y") + ")");
        else if (key.up_at)
            put(top + 1 + i, x + 13, "pressed by the panel");
    }

    put(top + 4, x, "Graphics", A_BOLD);
    const pcplat::GfxProfile& gfx = profile_.gfx;
    if (gfx.chip) {
        put(top + 5, x + 2,
            "S3-style chip, id " + hex(gfx.id, 4) + ", revision " + hex(gfx.revision, 2));
        put(top + 6, x + 2,
            "memory field " + std::to_string(gfx.memory_field) + " (CRT 0x36 bits 7-5)");
    } else {
        put(top + 5, x + 2, "plain VGA adapter (no extended registers)");
    }

    put(top + 8, x, "Program", A_BOLD);
    const long holder = desk_holder(desk_);
    put(top + 8, x + 9,
        holder ? "process " + std::to_string(holder) + " runs on the desk" : "none on the desk");
}

// A card's rows: returns the rows drawn.
int Panel::draw_card(int top, int card, int block_rows) {
    const std::string title = "Card " + std::to_string(card);
    const pcplat::CardProfile& profile = profile_.cards[card];
    if (!profile.fitted) {
        put(top, 0, title, A_BOLD);
        put(top, 8, "not fitted (window " + hex(pcplat::desk::kCardWindowBase[card], 5) + ")");
        return 1;
    }
    put(top, 0, title, A_BOLD);
    std::vector<uint8_t> own;
    std::vector<uint8_t>& window = card == 0 ? window_ : own;
    std::string problem;
    const fs::path file = desk_ / pcplat::desk::kCardFile[card];
    if (card != 0 || window.empty())
        problem = read_state(file, pcplat::desk::kCardWindowSize, window);
    if (problem.empty() && window.size() < DESK_CARD_TYPE + 2) problem = "too short";

    std::string line = "window " + hex(pcplat::desk::kCardWindowBase[card], 5) + "  blocks " +
                       blocks_text(profile);
    if (problem.empty()) {
        const uint16_t type =
            static_cast<uint16_t>(window[DESK_CARD_TYPE] | window[DESK_CARD_TYPE + 1] << 8);
        line += "  type " + hex(type, 4) + (type == 0xFFFF ? " (no card)" : "");
    }
    put(top, 8, line);

    if (!problem.empty()) {
        put(top + 1, 2, std::string(pcplat::desk::kCardFile[card]) + ": " + problem);
    } else {
        const uint8_t* p = window.data() + DESK_CARD_PARAMS;
        const uint8_t command = window[DESK_CARD_COMMAND];
        put(top + 1, 2, "mailbox ");
        put(top + 1, 10, mailbox_text(command), command ? A_BOLD : A_NORMAL);
        const int after = 10 + static_cast<int>(mailbox_text(command).size());
        put(top + 1, after,
            " (" + hex(command, 2) + ")  error " + hex(window[DESK_CARD_ERROR], 2) + "  P3 " +
                hex(p[0], 2) + " P5 " + hex(p[2], 2) + " P6 " + hex(p[3], 2) + " P7 " +
                hex(p[4], 2),
            window[DESK_CARD_ERROR] ? A_BOLD : A_NORMAL);
    }

    using pcplat::CardOutcome;
    const std::deque<BlockLog::Block>& blocks = log_.last(card);
    if (!log_.problem().empty())
        put(top + 2, 2, std::string(pcplat::desk::kCardLogFile) + ": " + log_.problem());
    else if (blocks.empty())
        put(top + 2, 2, "no block taken yet");
    else
        put(top + 2, 2,
            "blocks: " + std::to_string(log_.count(card, CardOutcome::taken)) + " taken, " +
                std::to_string(log_.count(card, CardOutcome::rejected)) + " rejected, " +
                std::to_string(log_.count(card, CardOutcome::stalled)) +
                " stalled; the last, from " + pcplat::desk::kCardLogFile + ":");
    const size_t shown = std::min(blocks.size(), static_cast<size_t>(block_rows));
    for (size_t i = 0; i < shown; ++i) {
        const BlockLog::Block& block = blocks[blocks.size() - shown + i];
        put(top + 3 + static_cast<int>(i), 4, card_log_line(block.number, block.record));
    }
    return 3 + block_rows;
}

void Panel::draw_nvr(int top, int hex_rows) {
    put(top, 0, "NVR", A_BOLD);
    if (!profile_.nvr_size) {
        put(top, 8, "none on this desk");
        return;
    }
    std::string line = std::to_string(profile_.nvr_size / kBytesPerKib) + " KiB at " +
                       hex(profile_.nvr_address, 5);
    const std::string problem = read_state(desk_ / pcplat::desk::kNvrFile, profile_.nvr_size, nvr_);
    if (!problem.empty()) {
        put(top, 8, line + "  " + pcplat::desk::kNvrFile + ": " + problem);
        return;
    }
    uint32_t zeros = 0;
    uint32_t ones = 0;
    for (const uint8_t byte : nvr_) {
        zeros += byte == 0x00;
        ones += byte == 0xFF;
    }
    const uint32_t size = static_cast<uint32_t>(nvr_.size());
    line += "   0x00: " + std::to_string(zeros) + "  0xFF: " + std::to_string(ones) +
            "  other: " + std::to_string(size - zeros - ones);
    if (size < profile_.nvr_size) line += "  (the file holds " + std::to_string(size) + " bytes)";
    put(top, 8, line);

    // The first rows and, given two rows or more, the last one: a memory test looks at both ends.
    const uint32_t rows = (size + kHexRowBytes - 1) / kHexRowBytes;
    const size_t first_rows = static_cast<size_t>(std::max(hex_rows - 1, 1));
    std::vector<uint32_t> shown;
    for (uint32_t row = 0; row < rows && shown.size() < first_rows; ++row)
        shown.push_back(row);
    if (hex_rows > 1 && rows && shown.back() != rows - 1) shown.push_back(rows - 1);
    for (size_t i = 0; i < shown.size(); ++i) {
        const uint32_t from = shown[i] * kHexRowBytes;
        const uint32_t to = std::min(from + kHexRowBytes, size);
        char address[16];
        std::snprintf(address, sizeof address, "%05X ", from);
        std::string hex_text = address;
        std::string text;
        for (uint32_t at = from; at < to; ++at) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02x", nvr_[at]);
            hex_text += byte;
            text += nvr_[at] >= 0x20 && nvr_[at] <= 0x7E ? static_cast<char>(nvr_[at]) : '.';
        }
        hex_text.append((kHexRowBytes - (to - from)) * 3, ' ');
        put(top + 1 + static_cast<int>(i), 2, hex_text + "  " + text);
    }
}

void Panel::draw() {
    reload_profile();
    erase();
    if (COLS < kMinColumns || LINES < minimum_rows()) {
        draw_too_small();
        refresh();
        return;
    }
    log_.update();

    const std::string title = "desksim panel  " + desk_.string();
    put(0, 0, std::string(static_cast<size_t>(COLS), ' '), A_REVERSE);
    put(0, 0, title, A_REVERSE | A_BOLD);
    if (!profile_problem_.empty()) put(1, 0, profile_problem_ + " (shown as it was)", A_BOLD);

    draw_lcd_and_keys(2);
    int row = 2 + kLcdRows + 1;

    // Rows left over show both ends of the NVR, then more blocks, then more of the NVR.
    const int fitted = profile_.cards[0].fitted + profile_.cards[1].fitted;
    int spare = LINES - minimum_rows();
    int hex_rows = 1 + std::min(spare, 1);
    spare -= hex_rows - 1;
    int block_rows[2] = {1, 1};
    if (fitted) {
        const int each = std::min<int>(spare / fitted, kKeptBlocks - 1);
        for (int card = 0; card < 2; ++card) {
            if (!profile_.cards[card].fitted) continue;
            block_rows[card] += each;
            spare -= each;
        }
    }
    hex_rows += std::min(spare, 3);
    for (int card = 0; card < 2; ++card)
        row += draw_card(row, card, block_rows[card]);
    draw_nvr(row + 1, hex_rows);

    const std::string help = notice_.empty()
                                 ? "y/n press yes/no   Y/N hold or let go   r release both   q quit"
                                 : notice_;
    put(LINES - 1, 0, std::string(static_cast<size_t>(COLS - 1), ' '), A_REVERSE);
    put(LINES - 1, 0, help, A_REVERSE | (notice_.empty() ? A_NORMAL : A_BOLD));
    refresh();
}

// The terminal in curses mode for as long as it lives; given back as it was however the panel
// ends, an exception included.
class Screen {
  public:
    Screen() : screen_(newterm(nullptr, stdout, stdin)) {
        if (!screen_) return;
        cbreak(); // Ctrl-C and Ctrl-\ stay signals
        noecho();
        keypad(stdscr, TRUE);
        curs_set(0);
    }
    ~Screen() { close(); }
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;
    // Why the panel cannot be drawn on this terminal, or empty.
    std::string problem() const {
        const char* term = std::getenv("TERM");
        const std::string name = term && *term ? "TERM=" + std::string(term) : "TERM unset";
        if (!screen_) return "no terminal description for this terminal (" + name + ")";
        // A terminal that cannot place the cursor (TERM=dumb) would get a stream of text.
        const char* place = tigetstr(const_cast<char*>("cup"));
        if (!place || place == reinterpret_cast<char*>(-1))
            return "this terminal cannot place the cursor (" + name + ")";
        return {};
    }
    void close() {
        if (!screen_) return;
        endwin();
        delscreen(screen_);
        screen_ = nullptr;
    }

  private:
    SCREEN* screen_;
};

// The ending signals only note themselves; the loop ends the panel at its next turn.
class SignalNotes {
  public:
    SignalNotes() {
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            ::sigaction(kEndingSignals[i], &action, &saved_[i]);
    }
    ~SignalNotes() {
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            ::sigaction(kEndingSignals[i], &saved_[i], nullptr);
    }
    SignalNotes(const SignalNotes&) = delete;
    SignalNotes& operator=(const SignalNotes&) = delete;

  private:
    struct sigaction saved_[std::size(kEndingSignals)]{};
};

} // namespace

int run_panel(const fs::path& desk_argument) {
    std::error_code ec;
    const fs::path desk = fs::absolute(desk_argument, ec).lexically_normal();
    pcplat::Profile profile;
    try {
        pcplat::check_desk_folder(desk);
        profile = pcplat::load_profile(desk / pcplat::desk::kProfileFile);
    } catch (const pcplat::ProfileError& e) {
        tools::report(kProgram, e.what());
        return tools::kExitFailed;
    }
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        tools::report(kProgram, "panel needs a terminal on standard input and output; in a "
                                "script use lcd, press and card-log");
        return tools::kExitFailed;
    }

    // Noted before curses starts, so that curses leaves these signals to the panel.
    g_signal = 0;
    const SignalNotes notes;
    std::string failure;
    std::string let_go;
    {
        Screen screen;
        const std::string problem = screen.problem();
        if (!problem.empty()) {
            screen.close();
            tools::report(kProgram, problem);
            return tools::kExitFailed;
        }
        Panel panel(desk, std::move(profile));
        try {
            while (!g_signal) {
                const Clock::time_point now = Clock::now();
                panel.tick(now);
                panel.draw();
                timeout(panel.wait_ms(Clock::now()));
                const int typed = getch();
                if (typed != ERR && !panel.key(typed)) break;
            }
        } catch (const std::exception& e) {
            failure = e.what();
        }
        let_go = panel.let_go();
    }
    if (!failure.empty()) tools::report(kProgram, failure);
    if (!let_go.empty()) tools::report(kProgram, let_go);
    if (g_signal) return kExitSignalBase + g_signal;
    return failure.empty() && let_go.empty() ? tools::kExitOk : tools::kExitFailed;
}

} // namespace desksim
