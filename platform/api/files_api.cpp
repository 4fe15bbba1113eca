// Directory search, directory creation, file deletion, C streams, and flushing and replacing
// files, all by DOS path.
#include "machine/machine.hpp"
#include "machine/text_stream.hpp"

#include <pcplat/dos.h>
#include <pcplat/win32.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr mode_t kNewDirectoryMode = 0777;

struct Search {
    std::vector<pcplat::FindEntry> entries;
    size_t next = 0;
};

// Copies the next match into find. The state goes as soon as its last match is handed out, so a
// caller that stops at the last match without closing leaks nothing.
void hand_out_next(Search* search, DosFindData* find) {
    const pcplat::FindEntry& entry = search->entries[search->next++];
    find->attrib = entry.attrib;
    find->size = entry.size;
    find->time = entry.time;
    find->date = entry.date;
    const size_t length = std::min(entry.name.size(), sizeof(find->name) - 1);
    std::memcpy(find->name, entry.name.data(), length);
    find->name[length] = '\0';
    if (search->next == search->entries.size()) {
        delete search;
        find->search = nullptr;
    } else {
        find->search = search;
    }
}

// The DOS path of the directory holding the last component ("C:." for "C:name").
std::string dos_parent(std::string_view path) {
    const size_t start = (path.size() >= 2 && path[1] == ':') ? 2 : 0;
    const size_t separator = path.find_last_of("\\/");
    if (separator == std::string_view::npos || separator < start) {
        return std::string(path.substr(0, start)) + ".";
    }
    return std::string(path.substr(0, std::max(separator, start + 1)));
}

// DOS tells a missing file from a missing directory on the way.
int not_found_error(const pcplat::DriveMap& drives, std::string_view path) {
    const std::optional<std::filesystem::path> parent = drives.resolve(dos_parent(path));
    struct stat64 info {};
    if (parent && ::stat64(parent->c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return DOS_ERROR_FILE_NOT_FOUND;
    }
    return DOS_ERROR_PATH_NOT_FOUND;
}

} // namespace

extern "C" {

int win32_find_first(const char* pattern, uint32_t attrib, DosFindData* find) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    if (find == nullptr) return -1;
    // Whatever the record held before is not ours to free: it may be uninitialised.
    find->search = nullptr;
    if (pattern == nullptr) return -1;
    try {
        std::vector<pcplat::FindEntry> entries = m.drives().search(pattern, attrib);
        if (entries.empty()) {
            m.last_error = WIN32_ERROR_FILE_NOT_FOUND;
            return -1;
        }
        hand_out_next(new Search{std::move(entries), 0}, find);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int win32_find_next(DosFindData* find) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    if (find == nullptr || find->search == nullptr) {
        m.last_error = kErrorNoMoreFiles;
        return -1;
    }
    hand_out_next(static_cast<Search*>(find->search), find);
    return 0;
}

void win32_find_close(DosFindData* find) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    if (find == nullptr) return;
    delete static_cast<Search*>(find->search);
    find->search = nullptr;
}

int win32_make_directory(const char* path) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    if (path == nullptr) return -1;
    try {
        const std::optional<std::filesystem::path> host = m.drives().resolve(path);
        if (!host) {
            m.last_error = WIN32_ERROR_PATH_NOT_FOUND;
            return -1;
        }
        if (::mkdir(host->c_str(), kNewDirectoryMode) != 0) {
            m.last_error =
                errno == EEXIST ? kErrorAlreadyExists : uint32_t(WIN32_ERROR_PATH_NOT_FOUND);
            return -1;
        }
        m.power_cut().directory_made(*host);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

FILE* win32_fopen(const char* path, const char* mode) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        const std::optional<std::filesystem::path> host = m.drives().resolve(path);
        if (!host) {
            errno = ENOENT;
            return nullptr;
        }
        return pcplat::open_dos_stream(*host, mode, &m.file_faults, &m.power_cut());
    } catch (const std::exception&) {
        errno = ENOMEM;
        return nullptr;
    }
}

int win32_flush_file_buffers(FILE* file) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    if (file == nullptr) {
        m.last_error = WIN32_ERROR_INVALID_HANDLE;
        return -1;
    }
    if (pcplat::sync_dos_stream(file) != 0) {
        m.last_error = WIN32_ERROR_WRITE_FAULT;
        return -1;
    }
    return 0;
}

int win32_move_file_replace(const char* from, const char* to) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    const auto fail = [&m](uint32_t error) {
        m.last_error = error;
        return -1;
    };
    if (from == nullptr || to == nullptr) return fail(WIN32_ERROR_PATH_NOT_FOUND);
    try {
        const pcplat::DriveMap& drives = m.drives();
        const std::optional<std::filesystem::path> source = drives.resolve(from);
        const std::optional<std::filesystem::path> target = drives.resolve(to);
        if (!source || !target) return fail(WIN32_ERROR_PATH_NOT_FOUND);
        struct statx info {};
        if (::statx(AT_FDCWD, source->c_str(), AT_STATX_SYNC_AS_STAT, STATX_TYPE, &info) != 0) {
            return fail(errno == ENOENT ? WIN32_ERROR_FILE_NOT_FOUND : WIN32_ERROR_PATH_NOT_FOUND);
        }
        if (!S_ISREG(info.stx_mode)) return fail(WIN32_ERROR_ACCESS_DENIED);
        // What DOS would not overwrite stays: a directory, or a file with the read-only bit (the
        // owner's write bit here; the check is ours, since a privileged host user could).
        if (::statx(AT_FDCWD, target->c_str(), AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_MODE,
                    &info) == 0) {
            if (!S_ISREG(info.stx_mode) || (info.stx_mode & S_IWUSR) == 0)
                return fail(WIN32_ERROR_ACCESS_DENIED);
        } else if (errno != ENOENT) {
            return fail(WIN32_ERROR_PATH_NOT_FOUND);
        }
        if (::rename(source->c_str(), target->c_str()) != 0) return fail(WIN32_ERROR_ACCESS_DENIED);
        m.power_cut().renamed(*source, *target);
        return 0;
    } catch (const std::exception&) {
        return fail(WIN32_ERROR_ACCESS_DENIED);
    }
}

int dos_delete(const char* path) {
    pcplat::Machine& m = pcplat::Machine::current();
    m.safe_point();
    if (path == nullptr) return DOS_ERROR_PATH_NOT_FOUND;
    try {
        const pcplat::DriveMap& drives = m.drives();
        const std::optional<std::filesystem::path> host = drives.resolve(path);
        if (!host) return not_found_error(drives, path);
        // statx: sizes and times of host files need not fit the 32-bit stat record.
        struct statx info {};
        if (::statx(AT_FDCWD, host->c_str(), AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_MODE,
                    &info) != 0) {
            return errno == ENOENT ? DOS_ERROR_FILE_NOT_FOUND : DOS_ERROR_PATH_NOT_FOUND;
        }
        // Only ordinary files go; the owner's write bit is the read-only attribute (the check
        // is ours, since a privileged host user could unlink anything).
        if (!S_ISREG(info.stx_mode) || (info.stx_mode & S_IWUSR) == 0) {
            return DOS_ERROR_ACCESS_DENIED;
        }
        if (::unlink(host->c_str()) != 0) {
            return errno == ENOENT ? DOS_ERROR_FILE_NOT_FOUND : DOS_ERROR_ACCESS_DENIED;
        }
        m.power_cut().deleted(*host);
        return 0;
    } catch (const std::exception&) {
        return DOS_ERROR_ACCESS_DENIED;
    }
}

} // extern "C"
