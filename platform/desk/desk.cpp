#include "desk/desk.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
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
