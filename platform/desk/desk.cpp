#include "desk/desk.hpp"

#include "machine/power_cut.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace pcplat {

namespace {
[[noreturn]] void fail(const std::filesystem::path& path, const char* what) {
    throw std::runtime_error(path.string() + ": cannot " + what + ": " + std::strerror(errno));
}
} // namespace

std::string shell_word(const std::string& text) {
    const bool plain =
        !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                "0123456789/._-+,:@%") == std::string::npos;
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void check_desk_folder(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status))
        throw ProfileError(folder.string() + ": the desk folder does not exist");
    if (!fs::is_directory(status)) throw ProfileError(folder.string() + " is not a folder");
    if (!fs::exists(folder / desk::kProfileFile, ec))
        throw ProfileError(folder.string() + ": not a desk folder (no " + desk::kProfileFile +
                           "); make one with: desksim new " + shell_word(folder.string()));
}

namespace {
// The process id a lock file names; 0 when it names none (yet).
long lock_holder(int fd) {
    char text[24] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    const long pid = std::strtol(text, nullptr, 10);
    return pid > 0 ? pid : 0;
}
} // namespace

DeskLock::DeskLock(const std::filesystem::path& folder) {
    // The holder writes its id just after it locks; a refused start waits that long for it.
    constexpr int kIdWaits = 100;
    constexpr auto kIdWait = std::chrono::milliseconds(10);
    const auto path = folder / desk::kLockFile;
    const auto refuse = [&](const std::string& why) {
        if (fd_ >= 0) ::close(fd_);
        throw ProfileError(why);
    };
    // No link is followed and no fifo waited on: the id is written into what is found here.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd_ < 0) refuse(path.string() + ": cannot open: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
        refuse(path.string() + " is not a plain file");
    for (int waits = 0;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) refuse(path.string() + ": cannot lock: " + std::strerror(errno));
        const long holder = lock_holder(fd_);
        if (holder || ++waits > kIdWaits)
            refuse(folder.string() + ": the desk is in use by " +
                   (holder ? "process " + std::to_string(holder) : std::string("another process")));
        std::this_thread::sleep_for(kIdWait);
    }
    owner_ = ::getpid();
    const std::string id = std::to_string(owner_) + "\n";
    if (::ftruncate(fd_, 0) != 0 ||
        ::pwrite(fd_, id.data(), id.size(), 0) != static_cast<ssize_t>(id.size()))
        refuse(path.string() + ": cannot write: " + std::strerror(errno));
}

DeskLock::~DeskLock() {
    // Emptied before it is let go, so a start refused meanwhile waits for the next holder's id
    // instead of naming this process. A child forked with the machine shares the lock and
    // leaves its parent's id alone.
    if (::getpid() == owner_) static_cast<void>(::ftruncate(fd_, 0));
    ::close(fd_);
}

MappedFile::MappedFile(const std::filesystem::path& path, uint32_t size)
    : path_(path), size_(size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fail(path, "open");
    struct stat st {};
    // A state file of another size (a profile that changed) is resized; what fits is kept.
    if (fstat(fd, &st) != 0 ||
        (st.st_size != static_cast<off_t>(size) && ftruncate(fd, size) != 0)) {
        ::close(fd);
        fail(path, "size");
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) fail(path, "map");
    data_ = static_cast<uint8_t*>(p);
}

MappedFile::~MappedFile() {
    if (data_) munmap(data_, size_);
}

CardLog::~CardLog() {
    if (fd_ >= 0) ::close(fd_);
}

void CardLog::append(std::span<const uint8_t> record) {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ssize_t n = -1;
    if (fd_ >= 0) {
        do {
            n = ::write(fd_, record.data(), record.size());
        } while (n < 0 && errno == EINTR);
    }
    // The program on the desk cannot be told; the engineer reading the log must be.
    if (n != static_cast<ssize_t>(record.size()) && !warned_) {
        warned_ = true;
        std::fprintf(stderr, "desk: cannot write %s: %s; the card log is incomplete\n",
                     path_.c_str(), n < 0 ? std::strerror(errno) : "short write");
    }
}

CardWindow::CardWindow(const std::filesystem::path& file, const CardProfile& profile, int index,
                       CardLog& log, PowerCut* steps)
    : file_(file, desk::kCardWindowSize), profile_(profile), index_(index), log_(log),
      steps_(steps) {
    attach(file_.bytes());
    // The card's firmware shows its type as soon as it runs, and starts with an empty mailbox.
    MemoryDevice::write(DESK_CARD_TYPE, profile.type, Width::b16);
    set(DESK_CARD_ERROR, 0);
    set(DESK_CARD_COMMAND, 0);
    if (profile.blocks == BlockMode::busy) {
        state_ = State::busy;
        countdown_ = profile.polls;
        set(DESK_CARD_COMMAND, desk::kCommandBusy);
    }
}

uint32_t CardWindow::read(uint32_t offset, Width width) {
    if (offset != DESK_CARD_COMMAND) return MemoryDevice::read(offset, width);
    // A poll: the card gets on with what it is doing.
    ++polls_;
    if (state_ == State::busy && countdown_ && --countdown_ == 0) {
        state_ = State::idle;
        set(DESK_CARD_COMMAND, 0);
    } else if (state_ == State::working && --countdown_ == 0) {
        finish(CardOutcome::taken, DESK_CARD_CMD_DONE);
    }
    const uint32_t value = MemoryDevice::read(offset, width);
    // "Done" is shown until the program has seen it; then the card is idle again.
    if (state_ == State::done) {
        state_ = State::idle;
        set(DESK_CARD_COMMAND, 0);
    }
    return value;
}

void CardWindow::write(uint32_t offset, uint32_t value, Width width) {
    MemoryDevice::write(offset, value, width);
    // A card at work does not look at its mailbox; other values mean nothing to it.
    if (offset != DESK_CARD_COMMAND || state_ != State::idle) return;
    const uint8_t written = file_.bytes()[DESK_CARD_COMMAND];
    if (written == DESK_CARD_CMD_BLOCK || written == DESK_CARD_CMD_END) command(written);
}

void CardWindow::command(uint8_t command) {
    command_ = command;
    const uint32_t number = image_blocks_ + 1;
    switch (profile_.blocks) {
    case BlockMode::slow:
        if (profile_.polls) {
            state_ = State::working;
            countdown_ = profile_.polls;
        } else {
            finish(CardOutcome::taken, DESK_CARD_CMD_DONE);
        }
        return;
    case BlockMode::reject:
        if (!profile_.reject_block || profile_.reject_block == number) {
            finish(CardOutcome::rejected, 0);
            return;
        }
        break;
    case BlockMode::stall:
        // The command stays where the program wrote it.
        finish(CardOutcome::stalled, command);
        state_ = State::stalled;
        return;
    case BlockMode::accept:
    case BlockMode::busy:
        break;
    }
    finish(CardOutcome::taken, 0);
}

void CardWindow::finish(CardOutcome outcome, uint8_t reply) {
    const std::span<const uint8_t> window = file_.bytes();
    uint8_t record[desk::kCardLogRecord];
    std::memcpy(record, window.data(), sizeof record);
    record[0] = static_cast<uint8_t>(index_);
    record[1] = static_cast<uint8_t>(outcome);
    record[2] = command_;
    log_.append(record);
    if (outcome == CardOutcome::taken) {
        image_blocks_ = command_ == DESK_CARD_CMD_END ? 0 : image_blocks_ + 1;
        set(DESK_CARD_ERROR, 0);
    } else if (outcome == CardOutcome::rejected) {
        set(DESK_CARD_ERROR, 1);
    }
    set(DESK_CARD_COMMAND, reply);
    state_ = reply == DESK_CARD_CMD_DONE ? State::done : State::idle;
    if (steps_ != nullptr) {
        constexpr const char* kOutcomeNames[] = {"taken", "rejected", "stalled"};
        steps_->card_block(index_, kOutcomeNames[static_cast<int>(outcome)], command_);
    }
}

void NvrMemory::write(uint32_t offset, uint32_t value, Width width) {
    MemoryDevice::write(offset, value, width);
    const uint32_t last = offset + static_cast<uint32_t>(width) - 1;
    if (!written_) {
        written_ = Range{offset, last};
    } else {
        written_->first = std::min(written_->first, offset);
        written_->last = std::max(written_->last, last);
    }
}

std::optional<NvrMemory::Range> NvrMemory::take_written() {
    return std::exchange(written_, std::nullopt);
}

Desk::Desk(const std::filesystem::path& folder, const Profile& profile, PhysBus& bus,
           PowerCut* steps)
    : folder_(folder), card_log_(folder / desk::kCardLogFile) {
    for (int i = 0; i < 2; ++i) {
        if (!profile.cards[i].fitted) continue;
        cards_[i] = std::make_unique<CardWindow>(folder / desk::kCardFile[i], profile.cards[i], i,
                                                 card_log_, steps);
        card_mappings_[i] = bus.map(desk::kCardWindowBase[i], desk::kCardWindowSize, *cards_[i],
                                    "interface card " + std::to_string(i));
    }
    if (profile.nvr_size) {
        nvr_file_ = std::make_unique<MappedFile>(folder / desk::kNvrFile, profile.nvr_size);
        nvr_.attach(nvr_file_->bytes());
        nvr_address_ = profile.nvr_address;
        nvr_mapping_ = bus.map(nvr_address_, profile.nvr_size, nvr_, "non-volatile RAM");
    }
    std::ifstream in(folder / desk::kClockFile);
    long long seconds = 0;
    if (in >> seconds) clock_offset_ = seconds;
}

void Desk::set_clock_offset(int64_t seconds) {
    clock_offset_ = seconds;
    // Written beside and renamed, so a crash never leaves half a number.
    const auto path = folder_ / desk::kClockFile;
    const auto temporary = folder_ / (std::string(desk::kClockFile) + ".new");
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << seconds << '\n';
        if (!out.flush()) return;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
}

} // namespace pcplat
