#include "machine/drives.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace pcplat {

namespace fs = std::filesystem;

namespace {

constexpr int kDriveCount = 26;
constexpr char kDriveSeparator = ':';
constexpr std::string_view kForbiddenChars = "<>:\"|";
constexpr unsigned char kFirstPrintable = 0x20;

constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
// An entry is found only if the search asked for each of these bits that it has.
constexpr uint32_t kFilteredAttrs = kAttrHidden | kAttrSystem | kAttrDirectory;

constexpr int kMaxSymlinks = 40; // as the kernel allows, so loops end
constexpr uint64_t kMaxDosSize = UINT32_MAX;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int kDosFirstYear = 1980;
constexpr int kDosLastYear = 2107;
constexpr uint16_t kDosFirstDate = (1 << 5) | 1; // 1980-01-01
constexpr uint16_t kDosLastDate =
    ((kDosLastYear - kDosFirstYear) << 9) | (12 << 5) | 31;          // 2107-12-31
constexpr uint16_t kDosLastTime = (23 << 11) | (59 << 5) | (58 / 2); // 23:59:58

char to_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return to_lower(x) == to_lower(y); });
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_wildcard(char c) {
    return c == '*' || c == '?';
}

bool is_forbidden(char c) {
    return static_cast<unsigned char>(c) < kFirstPrintable ||
           kForbiddenChars.find(c) != std::string_view::npos;
}

int drive_index(char letter) {
    const char upper = (letter >= 'a' && letter <= 'z') ? char(letter - 'a' + 'A') : letter;
    return (upper >= 'A' && upper <= 'Z') ? upper - 'A' : -1;
}

// '*' any run, '?' one character, ignoring case.
bool match_plain(std::string_view pattern, std::string_view name) {
    size_t p = 0;
    size_t n = 0;
    size_t star = std::string_view::npos;
    size_t star_name = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_name = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || to_lower(pattern[p]) == to_lower(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++star_name;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// A DOS path split up: the drive, the directories on the way (with "." and ".." still in them)
// and the last component (empty when the path ends in a separator).
struct DosPath {
    int drive = 0;
    std::vector<std::string> dirs;
    std::string last;
};

std::optional<DosPath> split_dos_path(std::string_view text, char current_drive,
                                      bool wildcards_in_last) {
    if (text.empty()) return std::nullopt;
    DosPath path;
    path.drive = drive_index(current_drive);
    if (text.size() >= 2 && text[1] == kDriveSeparator) {
        path.drive = drive_index(text[0]);
        if (path.drive < 0) return std::nullopt;
        text.remove_prefix(2);
    }
    for (char c : text) {
        if (is_forbidden(c)) return std::nullopt;
    }
    // Every path is taken from the drive's root: that is each drive's current directory.
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
        if (is_separator(c)) {
            if (!part.empty()) parts.push_back(std::move(part));
            part.clear();
        } else {
            part += c;
        }
    }
    for (const std::string& dir : parts) {
        if (std::any_of(dir.begin(), dir.end(), is_wildcard)) return std::nullopt;
    }
    if (!wildcards_in_last && std::any_of(part.begin(), part.end(), is_wildcard)) {
        return std::nullopt;
    }
    path.dirs = std::move(parts);
    path.last = std::move(part);
    return path;
}

// Applies "." and ".." without looking at the host; nullopt when the path climbs above the root.
std::optional<std::vector<std::string>> normalize(const std::vector<std::string>& parts) {
    std::vector<std::string> result;
    for (const std::string& part : parts) {
        if (part == ".") continue;
        if (part == "..") {
            if (result.empty()) return std::nullopt;
            result.pop_back();
            continue;
        }
        result.push_back(part);
    }
    return result;
}

struct DirEntry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

// The names in a host directory other than "." and "..". Empty when it cannot be read.
std::vector<DirEntry> list_directory(const fs::path& dir) {
    std::vector<DirEntry> entries;
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) return entries;
    // readdir64: host file systems hand out 64-bit inode numbers, which readdir cannot hold here.
    while (const dirent64* entry = ::readdir64(handle)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back({std::string(name), entry->d_type});
    }
    ::closedir(handle);
    return entries;
}

// The host name in dir that the DOS name means: the exact name, else the first in name order of
// those equal ignoring case.
std::optional<std::string> find_host_name(const fs::path& dir, const std::string& dos_name) {
    struct stat64 info {};
    if (::lstat64((dir / dos_name).c_str(), &info) == 0) return dos_name;
    std::optional<std::string> best;
    for (DirEntry& entry : list_directory(dir)) {
        if (iequals(entry.name, dos_name) && (!best || entry.name < *best)) {
            best = std::move(entry.name);
        }
    }
    return best;
}

bool is_host_directory(const fs::path& path) {
    struct stat64 info {};
    return ::stat64(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void push_components(std::vector<std::string>& pending, const fs::path& path) {
    std::vector<std::string> parts;
    for (const fs::path& part : path)
        parts.push_back(part.string());
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

// Where path, taken from the real directory start, really leads: symbolic links are followed
// (dangling ones too, since creating a file through one lands at its target) and what does not
// exist is taken as written.
std::optional<fs::path> real_location(const fs::path& start, const fs::path& path) {
    std::vector<std::string> pending;
    push_components(pending, path);
    fs::path result = start;
    int links = 0;
    bool missing = false;
    while (!pending.empty()) {
        const std::string part = std::move(pending.back());
        pending.pop_back();
        if (part.empty() || part == "." || part == "/") continue;
        if (part == "..") {
            result = result.parent_path();
            continue;
        }
        fs::path next = result / part;
        struct stat64 info {};
        if (!missing && ::lstat64(next.c_str(), &info) != 0) missing = true;
        if (!missing && S_ISLNK(info.st_mode)) {
            if (++links > kMaxSymlinks) return std::nullopt;
            std::error_code error;
            const fs::path target = fs::read_symlink(next, error);
            if (error) return std::nullopt;
            if (target.is_absolute()) result = "/";
            push_components(pending, target);
            continue;
        }
        result = std::move(next);
    }
    return result;
}

bool is_within(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (p == path.end() || *p != *r) return false;
    }
    return true;
}

// Whether host, a path below the drive's root, stays inside the drive with links followed. The
// walk starts at the root's real location, known since the drive was mapped: the links that
// matter are the ones inside the drive, and the folders above it cost a lookup each otherwise.
bool stays_inside(const fs::path& host, const fs::path& root, const fs::path& real_root) {
    const std::optional<fs::path> real = real_location(real_root, host.lexically_relative(root));
    return real && is_within(*real, real_root);
}

// Walks the names down from the drive's root, matching each without regard to case.
std::optional<fs::path> locate(const fs::path& root, const fs::path& real_root,
                               const std::vector<std::string>& names, bool last_may_be_missing) {
    fs::path host = root;
    for (size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        const std::optional<std::string> actual = find_host_name(host, names[i]);
        if (!actual) {
            if (!(last && last_may_be_missing)) return std::nullopt;
            host /= names[i];
            break;
        }
        host /= *actual;
        if (!last && !is_host_directory(host)) return std::nullopt;
    }
    if (!stays_inside(host, root, real_root)) return std::nullopt;
    return host;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = int(doy - (153 * mp + 2) / 5 + 1);
    month = int(mp < 10 ? mp + 3 : mp - 9);
    year = int(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// Host seconds since the epoch to DOS packed local time and date, held to the range DOS has.
void to_dos_time(int64_t seconds, uint16_t& time, uint16_t& date) {
    // time_t may be 32 bits here: take the zone's offset at the nearest time it can hold.
    const time_t probe = time_t(std::clamp<int64_t>(seconds, INT32_MIN, INT32_MAX));
    struct tm local {};
    const int64_t offset = ::localtime_r(&probe, &local) ? local.tm_gmtoff : 0;
    const int64_t local_seconds = seconds + offset;
    int64_t days = local_seconds / kSecondsPerDay;
    int64_t in_day = local_seconds % kSecondsPerDay;
    if (in_day < 0) {
        in_day += kSecondsPerDay;
        --days;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    civil_from_days(days, year, month, day);
    if (year < kDosFirstYear) {
        time = 0;
        date = kDosFirstDate;
        return;
    }
    if (year > kDosLastYear) {
        time = kDosLastTime;
        date = kDosLastDate;
        return;
    }
    const int hour = int(in_day / 3600);
    const int minute = int(in_day / 60 % 60);
    const int second = int(in_day % 60);
    time = uint16_t((hour << 11) | (minute << 5) | (second / 2));
    date = uint16_t(((year - kDosFirstYear) << 9) | (month << 5) | day);
}

// The entry for a host file or directory (following symbolic links); nullopt for anything else
// (devices, pipes, dangling links), which a DOS program could not use.
std::optional<FindEntry> describe(const fs::path& host, std::string name) {
    struct statx info {};
    if (::statx(AT_FDCWD, host.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS, &info) != 0) {
        return std::nullopt;
    }
    FindEntry entry;
    if (S_ISDIR(info.stx_mode)) {
        entry.attrib = kAttrDirectory;
    } else if (S_ISREG(info.stx_mode)) {
        entry.attrib = kAttrArchive;
        entry.size = uint32_t(std::min<uint64_t>(info.stx_size, kMaxDosSize));
    } else {
        return std::nullopt;
    }
    if ((info.stx_mode & S_IWUSR) == 0) entry.attrib |= kAttrReadOnly;
    if (name.size() > 0 && name[0] == '.' && name != "." && name != "..") {
        entry.attrib |= kAttrHidden;
    }
    to_dos_time(info.stx_mtime.tv_sec, entry.time, entry.date);
    entry.name = std::move(name);
    return entry;
}

bool allowed_by(const FindEntry& entry, uint32_t attrib) {
    return (entry.attrib & kFilteredAttrs & ~attrib) == 0;
}

// By name ignoring case; names equal but for case by their bytes, so the order is total.
bool name_before(const FindEntry& a, const FindEntry& b) {
    const bool less = std::lexicographical_compare(
        a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), [](char x, char y) {
            return static_cast<unsigned char>(to_lower(x)) <
                   static_cast<unsigned char>(to_lower(y));
        });
    if (less) return true;
    if (iequals(a.name, b.name)) return a.name < b.name;
    return false;
}

// A host name a DOS path could not name back (say "a\b" or "x:y") is left out of searches, so
// that acting on a found name never reaches a different file.
bool reachable_by_dos(std::string_view name) {
    return std::none_of(name.begin(), name.end(), [](char c) {
        return is_forbidden(c) || is_separator(c) || is_wildcard(c);
    });
}

} // namespace

bool dos_wildcard_match(std::string_view pattern, std::string_view name) {
    if (match_plain(pattern, name)) return true;
    if (name.find('.') != std::string_view::npos) return false;
    // DOS: "name.*" and "name." also mean the name without any extension.
    if (pattern.ends_with(".*")) return match_plain(pattern.substr(0, pattern.size() - 2), name);
    if (pattern.ends_with('.')) return match_plain(pattern.substr(0, pattern.size() - 1), name);
    return false;
}

void DriveMap::map(char letter, const fs::path& host_root) {
    const int index = drive_index(letter);
    if (index < 0) throw std::invalid_argument(std::string("not a drive letter: ") + letter);
    std::error_code error;
    if (!fs::is_directory(host_root, error)) {
        throw std::invalid_argument("drive folder is not a directory: " + host_root.string());
    }
    fs::path root = fs::absolute(host_root).lexically_normal();
    if (!root.has_filename() && root != root.root_path()) root = root.parent_path();
    roots_[index] = root;
    // Containment is judged on the real location, so a root reached through a link still works.
    real_roots_[index] = fs::canonical(root);
}

std::optional<fs::path> DriveMap::root(char letter) const {
    const int index = drive_index(letter);
    if (index < 0 || roots_[index].empty()) return std::nullopt;
    return roots_[index];
}

std::vector<char> DriveMap::letters() const {
    std::vector<char> result;
    for (int i = 0; i < kDriveCount; ++i) {
        if (!roots_[i].empty()) result.push_back(char('A' + i));
    }
    return result;
}

std::optional<fs::path> DriveMap::resolve(std::string_view dos_path) const {
    std::optional<DosPath> path = split_dos_path(dos_path, current_, false);
    if (!path || roots_[path->drive].empty()) return std::nullopt;
    if (!path->last.empty()) path->dirs.push_back(std::move(path->last));
    const std::optional<std::vector<std::string>> names = normalize(path->dirs);
    if (!names) return std::nullopt;
    return locate(roots_[path->drive], real_roots_[path->drive], *names, true);
}

std::optional<std::string> DriveMap::dos_name(const fs::path& host) const {
    int best = -1;
    for (int i = 0; i < kDriveCount; ++i) {
        if (roots_[i].empty() || !is_within(host, roots_[i])) continue;
        if (best < 0 || std::distance(roots_[i].begin(), roots_[i].end()) >
                            std::distance(roots_[best].begin(), roots_[best].end()))
            best = i;
    }
    if (best < 0) return std::nullopt;
    std::string name = std::string(1, char('A' + best)) + kDriveSeparator;
    const fs::path relative = host.lexically_relative(roots_[best]);
    if (relative.empty() || relative == ".") return name + '\\';
    for (const fs::path& part : relative)
        name += '\\' + part.string();
    return name;
}

std::vector<FindEntry> DriveMap::search(std::string_view dos_pattern, uint32_t attrib) const {
    const std::optional<DosPath> path = split_dos_path(dos_pattern, current_, true);
    if (!path || roots_[path->drive].empty() || path->last.empty()) return {};
    const std::optional<std::vector<std::string>> dirs = normalize(path->dirs);
    if (!dirs) return {};
    const fs::path& real_root = real_roots_[path->drive];
    const std::optional<fs::path> dir = locate(roots_[path->drive], real_root, *dirs, false);
    if (!dir || !is_host_directory(*dir)) return {};

    ::tzset(); // follow changes of TZ
    const std::string& pattern = path->last;
    std::vector<FindEntry> found;
    for (DirEntry& host : list_directory(*dir)) {
        if (!reachable_by_dos(host.name) || !dos_wildcard_match(pattern, host.name)) continue;
        const fs::path host_path = *dir / host.name;
        const bool may_be_link = host.type == DT_LNK || host.type == DT_UNKNOWN;
        if (may_be_link && !stays_inside(host_path, roots_[path->drive], real_root)) continue;
        std::optional<FindEntry> entry = describe(host_path, std::move(host.name));
        if (entry && allowed_by(*entry, attrib)) found.push_back(std::move(*entry));
    }
    std::sort(found.begin(), found.end(), name_before);

    // DOS lists "." and ".." first in every directory but a root.
    if (!dirs->empty() && (attrib & kAttrDirectory) != 0) {
        std::vector<FindEntry> dots;
        if (dos_wildcard_match(pattern, ".")) {
            if (auto entry = describe(*dir, ".")) dots.push_back(std::move(*entry));
        }
        if (dos_wildcard_match(pattern, "..")) {
            if (auto entry = describe(dir->parent_path(), "..")) dots.push_back(std::move(*entry));
        }
        found.insert(found.begin(), dots.begin(), dots.end());
    }
    return found;
}

} // namespace pcplat
