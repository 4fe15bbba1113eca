#include "desk/desk.hpp"

#include <cerrno>
#include <chrono>
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

CardWindow::CardWindow(const std::filesystem::path& file, const CardProfile& profile)
    : file_(file, desk::kCardWindowSize), profile_(profile) {
    attach(file_.bytes());
    // The card's firmware shows its type as soon as it runs.
    write(desk::kCardTypeOffset, profile.type, Width::b16);
}

Desk::Desk(const std::filesystem::path& folder, const Profile& profile, PhysBus& bus)
    : folder_(folder) {
    for (int i = 0; i < 2; ++i) {
        if (!profile.cards[i].fitted) continue;
        cards_[i] = std::make_unique<CardWindow>(folder / desk::kCardFile[i], profile.cards[i]);
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
