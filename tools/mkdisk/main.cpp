// mkdisk: turns a folder of files into an upgrade disk folder (packed files, "checksum.dat") and
// checks an upgrade script against the disk before it goes out; writes and shows the interface
// card images that the script's UPLOADPCIF loads; runs a disk on many desks (matrix).
#include "blocks.hpp"
#include "card_image.hpp"
#include "desk_run.hpp"
#include "filecmds/dos_paths.hpp"
#include "io.hpp"
#include "machine/machine.hpp"
#include "matrix.hpp"
#include "pack_match.hpp"
#include "pack_pool.hpp"
#include "rehearse.hpp"
#include "script_check.hpp"

#include "tool_cli.hpp"
#include <pcplat/host.h>
#include <pcplat/win32.h>
#include <vantrel/exec.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using tools::kExitOk;
using tools::kExitSignalBase;
constexpr int kExitProblems = tools::kExitFailed;
constexpr const char* kChecksumList = "checksum.dat";
constexpr const char* kDefaultScript = "tolvanex.des";
constexpr size_t kRecordPath = 128;
constexpr size_t kRecordSize = kRecordPath + 1;
constexpr uint32_t kMaxFileBytes = 0xFFFFFFFAu; // a packed file must fit 32-bit lengths

constexpr const char* kFooter = R"(
An upgrade disk is a folder whose root is drive A: on the desk: the upgrade script
(tolvanex.des), the files it installs, and "checksum.dat", the list of every file with its
8-bit checksum that COPY and CHECKSUMALLFILES check against. A packed file has a name ending
in '_' (report.tx_); its first byte is the character that the '_' stands for, then a packed
block that COPY unpacks.

Examples:
  mkdisk build release/ disk/ --pack '*.exe' --pack 'bin\*.dll' -m best
  mkdisk check disk/
  mkdisk sums disk/            after editing files on a disk by hand
  mkdisk cardimage write card.txt -o disk/CARD.IMG   (see mkdisk cardimage --help)
  mkdisk matrix disk/ --desks old-desk/ examples/desks/one-card.toml --answers y n
                               every desk with every answer, and the script's coverage
  mkdisk rehearse disk/ --desk old-desk/ --answers y
                               the power cut after each step, and what the desk keeps then

build makes the disk's files on one worker per core (--jobs to choose); the disk is the same,
byte for byte, whatever their number. It writes the disk into a new folder beside DISK
(.DISK.mkdisk-XXXXXX) and puts it in DISK's place only when it is complete, so a failed or
stopped build leaves an old disk as it was.
DISK must not be the source folder, lie inside it or hold it. An existing DISK must be empty,
or, with --force, a disk folder that mkdisk made: one that holds checksum.dat and no file that
checksum.dat does not list. Any other folder (a home folder, a source tree, a disk with files
added by hand) is refused even with --force: empty it yourself or choose another folder.

Exit status: 0 the disk is fine, 1 problems were found (each on standard error; the disk is
still written) or mkdisk failed (nothing was changed), 2 a wrong command line, 128 + N
stopped by signal N (nothing was changed).)";

constexpr const char* kCardFooter = R"(
A card image is the header (format 5, a reserved byte, up to 255 bytes of text, the target byte)
and records, each a block for the card: L A B and N = L data bytes (L 0 stands for 256), or, with
B = 0, a block of N zeros that the file does not hold, sent with B' in place of B.

A description has one item a line; blank lines and lines starting with '#' are skipped, and on
every line but 'text' a word starting with '#' begins a comment. Numbers are decimal or 0x hex.
  format 5                 optional, 5 when left out; others only make images the desk refuses
  reserved 0x00            optional, 0 when left out
  text PCIF loader 2.1     optional: the rest of the line after one blank, with \\ and \xNN
  target 0x21              required
  block a=0x01 b=0x02 data=0102ff        one record: 1 to 256 bytes in hex, b not 0
  block a=0x01 b=0x02 file=firmware.bin  the file (beside the description) in 256-byte records
  zeros a=0x01 b=0x07 length=256         a record of 1 to 256 zeros, sent with B' = b

Examples:
  mkdisk cardimage write card.txt -o disk/CARD.IMG
  mkdisk cardimage show disk/CARD.IMG > card.txt)";

constexpr const char* kMatrixFooter = R"(
The disk runs through the real upgrade program beside mkdisk on a copy of each desk with each
answers text: the answers are the keys typed on the keyboard, \n for Enter (\t, \\ and \xNN
too); a run that waits for a key after its answers ran out ends there. A desk is a desk folder
(its profile, state files and drives' files, such as a desk with the old software installed) or
a profile file alone (a fresh desk); the desks themselves are never changed. The runs use every
core (--jobs to choose).

Printed: a table of desk, answers, exit status, the error code the program ended with, the
labels the run reached, the files it installed and the LCD's four lines; then the script's
command lines that no combination ran.

  --html FILE    one page: the table, and the script with each line's count of runs
  --record DIR   each combination's transcript (screen, LCD changes, exit status) into DIR
  --check DIR    compare with transcripts recorded before: the differences, exit status 1

Example:
  mkdisk matrix disk/ --desks examples/desks/one-card.toml examples/desks/no-nvr.toml \
      --answers y n --html matrix.html --record transcripts/
  mkdisk matrix disk/ --desks examples/desks/one-card.toml examples/desks/no-nvr.toml \
      --answers y n --check transcripts/     after a change to the disk or a new build

Exit status: 0 done, 1 a run went wrong (answers ran out, no end within the time limit, the
desk did not start), the check found differences or mkdisk failed, 2 a wrong command line,
128 + N stopped by signal N (no copy of a desk is left behind).)";

constexpr const char* kRehearseFooter = R"(
The disk runs through the real upgrade program beside mkdisk on a copy of the desk (a desk folder
or a profile file alone, never changed itself) with the answers typed (\n for Enter, as for
matrix). That first run counts every step that changes what the desk keeps without power: a file
made, written, flushed, renamed or deleted, a folder made, each platform call that writes the
NVR, each block a card answers. Then, for each step K (every Nth with --every N: N, 2N, ...), a
fresh copy of the desk runs the disk with the power failing right after step K (file data not
flushed by then is lost), boots, and runs the disk again from its start with the same answers.
Its files, NVR and card blocks are compared with the uninterrupted run's (the card's last
blocks, as many as that run sent). The runs use every core (--jobs to choose).

One line per cut point: the step, the script line and command it came in, what it changed, and
"same", "differs: ..." (the files, NVR or card blocks) or "run failed: ..."; then a summary.
A progress bar shows on a terminal.

Example:
  mkdisk build examples/power-cut-bad bad/ && desksim new desk/
  mkdisk rehearse bad/ --desk desk/ --answers ''

Exit status: 0 every cut point ends the same, 1 one differs or its run failed, or the rehearsal
could not run (a missing disk, a broken profile, answers that ran out), 2 a wrong command line,
128 + N stopped by signal N (no copy of a desk is left behind).)";

struct Problem : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string reason() {
    return std::strerror(errno);
}

// --- signals ---
// A signal that asks mkdisk to stop is only noted; the work stops at the next check, between
// files and between steps, and what it made goes as the stack unwinds (the half-built disk and
// the desk's temporary folder). A second signal ends mkdisk at once.
volatile sig_atomic_t g_signal = 0;

void note_signal(int signal_number) {
    if (g_signal) {
        ::signal(signal_number, SIG_DFL);
        ::raise(signal_number);
        return;
    }
    g_signal = signal_number;
}

void install_signal_handlers() {
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current {};
        // An ignored signal (nohup, a background job) stays ignored.
        if (::sigaction(s, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction mine {};
        mine.sa_handler = note_signal;
        sigemptyset(&mine.sa_mask);
        mine.sa_flags = SA_RESTART;
        ::sigaction(s, &mine, nullptr);
    }
    // A closed standard output must not end mkdisk halfway, say while it puts the disk in place.
    ::signal(SIGPIPE, SIG_IGN);
}

// vpack's own checks, inside packing, throw the same.
void stop_if_signalled() {
    if (g_signal) throw vpack::Interrupted{g_signal};
}

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Problem("cannot read " + path.string());
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) throw Problem("cannot read " + path.string());
    return bytes;
}

// Under a temporary name, flushed, then renamed over the old file: a crash or a failure leaves
// the old file or the new one, never a cut one, and another name of the old file (a hard link,
// the target of a symbolic link) is left alone.
void write_file(const fs::path& path, const uint8_t* bytes, size_t size) {
    vpack::OutputFile out(path.string(), true);
    out.write(bytes, size);
    out.commit();
}
void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
    write_file(path, bytes.data(), bytes.size());
}

uint8_t checksum(const uint8_t* bytes, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A path below the disk root, DOS style.
std::string dos_path(const fs::path& relative) {
    std::string out;
    for (const fs::path& part : relative) {
        if (!out.empty()) out += '\\';
        out += part.string();
    }
    return out;
}

// The runtime library on a machine whose drive A: is the disk, as on the desk.
class Desk {
  public:
    explicit Desk(const fs::path& disk) {
        pcplat::MachineOptions options;
        options.start_dir = disk;
        machine_ = std::make_unique<pcplat::Machine>(options);
        pcplat::Machine::install(machine_.get());
    }
    ~Desk() {
        vpack::close_library();
        pcplat::Machine::install(nullptr);
    }
    Desk(const Desk&) = delete;
    Desk& operator=(const Desk&) = delete;

    // Source paths of the files a COPY pattern finds, built as COPY builds them.
    std::vector<std::string> matches(const std::string& pattern) {
        const std::string directory = tolvanex::SearchFolder(pattern);
        std::vector<std::string> out;
        DosFindData found{};
        for (int r = win32_find_first(pattern.c_str(), 0, &found); r == 0;
             r = win32_find_next(&found))
            out.push_back(tolvanex::JoinFoundName(directory, found.name));
        return out;
    }
    bool exists(const std::string& path) {
        DosFindData found{};
        const bool hit = win32_find_first(path.c_str(), 0, &found) == 0;
        if (hit) win32_find_close(&found);
        return hit;
    }
    // Opened as the upgrade program opens it.
    std::optional<std::vector<uint8_t>> read(const std::string& path) {
        FILE* file = win32_fopen(path.c_str(), "rb");
        if (!file) return std::nullopt;
        std::vector<uint8_t> bytes;
        uint8_t chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            bytes.insert(bytes.end(), chunk, chunk + n);
        const bool failed = std::ferror(file);
        std::fclose(file);
        if (failed) return std::nullopt;
        return bytes;
    }

  private:
    std::unique_ptr<pcplat::Machine> machine_;
};

struct Report {
    int problems = 0;
    void problem(const std::string& text) {
        std::cerr << "mkdisk: " << text << '\n';
        ++problems;
    }
};

struct Record {
    std::string path;
    uint8_t sum;
};

std::vector<Record> read_list(const fs::path& disk) {
    std::vector<Record> records;
    std::ifstream in(disk / kChecksumList, std::ios::binary);
    char raw[kRecordSize];
    while (in.read(raw, kRecordSize)) {
        char* end = std::find(raw, raw + kRecordPath, '\0');
        records.push_back({std::string(raw, static_cast<size_t>(end - raw)),
                           static_cast<uint8_t>(raw[kRecordPath])});
    }
    return records;
}

// Every file of the disk but the list itself, by DOS path, in a stable order.
std::map<std::string, fs::path> disk_files(const fs::path& disk) {
    std::map<std::string, fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(disk)) {
        if (!entry.is_regular_file()) continue;
        // Lexically: a linked file is on the disk under its own name, not its target's.
        const fs::path relative = entry.path().lexically_relative(disk);
        if (relative == kChecksumList) continue;
        files.emplace(dos_path(relative), entry.path());
    }
    return files;
}

// What the list records of a file.
struct Listed {
    uint64_t size = 0;
    uint8_t sum = 0;
};

// The list of every file on the disk; a file that `known` holds is not read again.
void write_list(const fs::path& disk, Report& report,
                const std::map<std::string, Listed>& known = {}) {
    std::vector<uint8_t> list;
    for (const auto& [name, path] : disk_files(disk)) {
        stop_if_signalled();
        if (name.size() >= kRecordPath) {
            report.problem(name +
                           ": the path is longer than the list's 127 characters; not listed");
            continue;
        }
        Listed file;
        if (const auto it = known.find(name); it != known.end()) {
            file = it->second;
        } else {
            const std::vector<uint8_t> bytes = read_file(path);
            file = {bytes.size(), checksum(bytes.data(), bytes.size())};
        }
        if (file.size == 0) report.problem(name + ": empty; the desk refuses empty files");
        std::vector<uint8_t> record(kRecordSize, 0);
        std::copy(name.begin(), name.end(), record.begin());
        record[kRecordPath] = file.sum;
        list.insert(list.end(), record.begin(), record.end());
    }
    write_file(disk / kChecksumList, list);
}

void check_list(const fs::path& disk, Report& report) {
    if (!fs::exists(disk / kChecksumList)) {
        report.problem(std::string(kChecksumList) + " is missing");
        return;
    }
    const std::vector<Record> records = read_list(disk);
    const auto files = disk_files(disk);
    for (const Record& r : records) {
        stop_if_signalled();
        auto it = std::find_if(files.begin(), files.end(),
                               [&](const auto& f) { return f.first == r.path; });
        if (it == files.end()) {
            report.problem(r.path + ": listed in " + kChecksumList + " but not on the disk");
            continue;
        }
        const std::vector<uint8_t> bytes = read_file(it->second);
        if (bytes.empty())
            report.problem(r.path + ": empty; the desk refuses empty files");
        else if (checksum(bytes.data(), bytes.size()) != r.sum)
            report.problem(r.path + ": the checksum differs from " + kChecksumList);
    }
    for (const auto& [name, path] : files) {
        const std::string wanted = upper(name);
        if (std::none_of(records.begin(), records.end(),
                         [&](const Record& r) { return upper(r.path) == wanted; }))
            std::cerr << "mkdisk: note: " << name << " is not in " << kChecksumList << '\n';
    }
}

void check_script(const fs::path& disk, const std::string& script, Desk& desk, Report& report) {
    const fs::path path = disk / script;
    if (!fs::exists(path)) {
        report.problem("no script " + script + " on the disk");
        return;
    }
    const std::vector<uint8_t> bytes = read_file(path);
    const std::vector<Record> records = read_list(disk);
    mkdisk::ScriptFacts facts;
    facts.matches = [&](const std::string& pattern) { return desk.matches(pattern); };
    facts.exists = [&](const std::string& p) { return desk.exists(p); };
    facts.read = [&](const std::string& p) { return desk.read(p); };
    facts.listed = [&](const std::string& name) {
        const std::string wanted = upper(name);
        return std::any_of(records.begin(), records.end(),
                           [&](const Record& r) { return upper(r.path) == wanted; });
    };
    for (const mkdisk::Finding& f :
         mkdisk::check_script(std::string(bytes.begin(), bytes.end()), facts))
        report.problem(script + (f.line ? ":" + std::to_string(f.line) : std::string()) + ": " +
                       f.text);
}

struct BuildOptions {
    fs::path source;
    fs::path disk;
    std::vector<std::string> pack;
    std::string method = "best";
    std::string script = kDefaultScript;
    bool force = false;
    unsigned jobs = 0; // one per core
};

// Whether `inner` is `outer` or lies inside it; both absolute, links resolved.
bool within(const fs::path& inner, const fs::path& outer) {
    const fs::path relative = inner.lexically_relative(outer);
    return !relative.empty() && *relative.begin() != "..";
}

// Why a folder is not a disk folder that mkdisk made; empty when it is one. mkdisk leaves no mark
// of its own on a disk (it would go to the desk), so a made disk is known by its list: a
// checksum.dat of whole records, and no file (at any depth) that the list does not name, compared
// as the desk compares names. Folders do not count: the files in them do.
std::string not_made_by_mkdisk(const fs::path& folder) {
    const fs::path list = folder / kChecksumList;
    if (!fs::is_regular_file(fs::symlink_status(list)))
        return std::string("it holds no ") + kChecksumList;
    if (fs::file_size(list) % kRecordSize != 0)
        return std::string("its ") + kChecksumList + " is not a list of whole records";
    std::set<std::string> listed;
    for (const Record& r : read_list(folder))
        listed.insert(upper(r.path));
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const fs::file_status status = entry.symlink_status();
        if (fs::is_directory(status)) continue;
        const fs::path relative = entry.path().lexically_relative(folder);
        if (relative == kChecksumList) continue;
        const std::string name = dos_path(relative);
        if (!fs::is_regular_file(status)) return name + " is not a plain file";
        if (!listed.contains(upper(name))) return name + " is not in " + kChecksumList;
    }
    return "";
}

// Where the disk goes: DISK with its links resolved. Throws, before anything is touched, for a
// DISK that build must not replace.
fs::path disk_place(const BuildOptions& o) {
    if (!fs::is_directory(o.source)) throw Problem(o.source.string() + " is not a folder");
    const fs::path source = fs::canonical(o.source);
    fs::path place = fs::weakly_canonical(fs::absolute(o.disk));
    if (!place.has_filename()) place = place.parent_path();
    const std::string disk = o.disk.string();
    if (within(place, source))
        throw Problem("the disk folder " + disk + (place == source ? " is" : " lies inside") +
                      " the source folder " + o.source.string() +
                      "; choose a disk folder outside it");
    if (within(source, place))
        throw Problem("the disk folder " + disk + " holds the source folder " + o.source.string() +
                      "; choose a disk folder outside it");
    const fs::file_status status = fs::symlink_status(place);
    if (!fs::exists(status)) return place;
    if (!fs::is_directory(status)) throw Problem(disk + " exists and is not a folder");
    if (fs::is_empty(place)) return place;
    if (!o.force)
        throw Problem(disk + " is not empty (--force replaces a disk folder that mkdisk made)");
    if (const std::string why = not_made_by_mkdisk(place); !why.empty())
        throw Problem(disk + " is not a disk folder that mkdisk made (" + why +
                      "), and --force replaces only those: empty it yourself or choose another "
                      "folder");
    return place;
}

mode_t new_folder_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0777 & ~mask);
}

// Makes the rename that swapped the disk in last through a crash.
void flush_folder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The disk being built: a new folder beside its place, put there by put_in_place() when
// complete. Until then the place is not touched, and whatever was made for the build (the folder,
// and the folders on the way to the place that did not exist) goes with this object.
class NewDisk {
  public:
    explicit NewDisk(const fs::path& place) : place_(place) {
        const fs::path parent = place.parent_path();
        try {
            for (fs::path p = parent; !fs::exists(p); p = p.parent_path())
                made_parents_.push_back(p);
            fs::create_directories(parent);
            std::string pattern =
                (parent / ("." + place.filename().string() + ".mkdisk-XXXXXX")).string();
            if (!::mkdtemp(pattern.data()))
                throw Problem("cannot make a folder beside " + place.string() + ": " + reason());
            folder_ = pattern;
            // mkdtemp makes it private: give it the old disk folder's permissions, or a new
            // folder's.
            struct stat old {};
            const mode_t mode =
                ::stat(place.c_str(), &old) == 0 ? old.st_mode & 07777 : new_folder_mode();
            ::chmod(folder_.c_str(), mode);
        } catch (...) {
            clean_up();
            throw;
        }
    }
    ~NewDisk() { clean_up(); }
    NewDisk(const NewDisk&) = delete;
    NewDisk& operator=(const NewDisk&) = delete;

    const fs::path& folder() const { return folder_; }

    // Swaps the new disk in at once where the file system can (the old one then goes), else
    // moves the old one aside, the new one in, and the old one away.
    void put_in_place() {
        stop_if_signalled();
        if (!fs::exists(fs::symlink_status(place_))) {
            if (::rename(folder_.c_str(), place_.c_str()) != 0)
                throw Problem("cannot make " + place_.string() + ": " + reason());
            folder_.clear();
        } else if (::renameat2(AT_FDCWD, folder_.c_str(), AT_FDCWD, place_.c_str(),
                               RENAME_EXCHANGE) != 0) {
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                throw Problem("cannot put the new disk in place of " + place_.string() + ": " +
                              reason());
            // rename() replaces an empty folder: a fresh one is the old disk's new name.
            std::string aside =
                (place_.parent_path() / ("." + place_.filename().string() + ".mkdisk-XXXXXX"))
                    .string();
            if (!::mkdtemp(aside.data()))
                throw Problem("cannot make a folder beside " + place_.string() + ": " + reason());
            if (::rename(place_.c_str(), aside.c_str()) != 0) {
                const std::string why = reason();
                ::rmdir(aside.c_str());
                throw Problem("cannot move the old disk " + place_.string() + " aside: " + why);
            }
            if (::rename(folder_.c_str(), place_.c_str()) != 0) {
                const std::string why = reason();
                ::rename(aside.c_str(), place_.c_str());
                throw Problem("cannot make " + place_.string() + ": " + why);
            }
            folder_ = aside;
        }
        made_parents_.clear();
        flush_folder(place_.parent_path());
        clean_up(); // the old disk
    }

  private:
    void clean_up() {
        std::error_code ignored;
        if (!folder_.empty()) fs::remove_all(folder_, ignored);
        folder_.clear();
        for (const fs::path& p : made_parents_) // innermost first; only while empty
            fs::remove(p, ignored);
        made_parents_.clear();
    }

    fs::path place_;
    fs::path folder_;
    std::vector<fs::path> made_parents_;
};

// --- the disk's files, made by the packing workers ---

// One file for the disk: where it comes from, where it goes (nowhere for a file that clashes
// with another: it is only packed, for its line), and how it is packed.
struct DiskFileJob {
    std::string source;
    std::string target;
    bool packed = false;
    char installed = 0;
    int method = 0;

    std::string encode() const {
        return source + '\0' + target + '\0' + (packed ? '1' : '0') + installed +
               std::to_string(method);
    }
    static DiskFileJob decode(const std::string& text) {
        DiskFileJob job;
        const size_t first = text.find('\0');
        const size_t second = text.find('\0', first + 1);
        job.source = text.substr(0, first);
        job.target = text.substr(first + 1, second - first - 1);
        job.packed = text[second + 1] == '1';
        job.installed = text[second + 2];
        job.method = std::stoi(text.substr(second + 3));
        return job;
    }
};

struct DiskFile {
    uint64_t in = 0;  // bytes read
    uint64_t out = 0; // bytes on the disk
    uint8_t method = 0;
    uint8_t sum = 0;

    std::string encode() const {
        return std::to_string(in) + ' ' + std::to_string(out) + ' ' + std::to_string(method) + ' ' +
               std::to_string(sum);
    }
    static DiskFile decode(const std::string& text) {
        unsigned long long in = 0, out = 0;
        unsigned method = 0, sum = 0;
        std::sscanf(text.c_str(), "%llu %llu %u %u", &in, &out, &method, &sum);
        return {in, out, static_cast<uint8_t>(method), static_cast<uint8_t>(sum)};
    }
};

// The runtime library of a packing worker, opened as vpack opens it: packing needs no desk.
ExecTable& worker_library() {
    static ExecTable* const table = [] {
        host_use_builtin_desk();
        return EXEC_OpenExec(0);
    }();
    if (!table) throw Problem("the runtime library cannot start");
    return *table;
}

// A packed disk file: the installed name's last character, then the block of the method asked
// for, or the smallest of all, made as vpack makes it.
vpack::Bytes pack_disk_file(const uint8_t* data, size_t size, char installed, int method,
                            const std::string& name, vpack::Progress& progress) {
    vpack::Bytes file = vpack::pack_block(worker_library(), data, size, method, 1, name, progress);
    file[0] = static_cast<uint8_t>(installed);
    return file;
}

// In a packing worker: reads the file, packs it as asked, writes it to the new disk and sums it
// for the list.
std::string make_disk_file(const std::string& job_text) {
    const DiskFileJob job = DiskFileJob::decode(job_text);
    vpack::Progress quiet(job.source, 0); // mkdisk shows the progress of the whole build
    vpack::Bytes data;
    try {
        vpack::InputFile in(job.source);
        data = in.read_all(quiet);
    } catch (const vpack::Failure&) {
        throw Problem("cannot read " + job.source);
    }
    DiskFile made{data.size(), data.size()};
    vpack::Bytes packed;
    const uint8_t* file = data.data();
    if (job.packed) {
        packed =
            pack_disk_file(data.data(), data.size(), job.installed, job.method, job.source, quiet);
        made.method = packed[1];
        made.out = packed.size();
        file = packed.data();
    }
    made.sum = checksum(file, made.out);
    if (!job.target.empty()) write_file(job.target, file, made.out);
    return made.encode();
}

// What becomes of one source file, decided before any is read so that the workers can make
// the files in any order; told in the order of the source.
struct Planned {
    std::string name;      // below the source, DOS style
    std::string disk_name; // on the disk
    std::string note;      // told instead of making the file
    std::string left_out;  // a problem that keeps the file off the disk
    std::string clash;     // a problem: made for its line, then kept off the disk
    bool packed = false;
    bool job = false;
};

// "mkdisk: build: 12 of 200 files made on 2 workers", in place on standard error while it is a
// terminal.
class BuildProgress {
  public:
    BuildProgress(size_t total, unsigned workers)
        : total_(total), workers_(workers), shown_(total > 0 && ::isatty(STDERR_FILENO) != 0) {
        show(0);
    }
    ~BuildProgress() {
        if (!shown_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    BuildProgress(const BuildProgress&) = delete;
    BuildProgress& operator=(const BuildProgress&) = delete;

    void show(size_t done) {
        if (!shown_) return;
        std::fprintf(stderr, "\rmkdisk: build: %zu of %zu files made on %u worker%s\033[K", done,
                     total_, workers_, workers_ == 1 ? "" : "s");
        std::fflush(stderr);
    }

  private:
    size_t total_;
    unsigned workers_;
    bool shown_;
};

int build(const BuildOptions& o) {
    const int method = tools::method_number(o.method);
    const fs::path place = disk_place(o);
    stop_if_signalled();
    NewDisk new_disk(place);
    const fs::path disk = new_disk.folder();
    Report report;
    std::vector<std::pair<std::string, fs::path>> sources;
    for (const auto& entry : fs::recursive_directory_iterator(o.source))
        if (entry.is_regular_file())
            sources.emplace_back(dos_path(entry.path().lexically_relative(o.source)), entry.path());
    std::sort(sources.begin(), sources.end());

    std::vector<Planned> plan;
    std::vector<std::string> jobs;
    std::vector<size_t> plan_of_job;
    std::map<std::string, std::string> made; // disk name (upper case) -> source name
    for (const auto& [name, path] : sources) {
        stop_if_signalled();
        Planned& p = plan.emplace_back();
        p.name = name;
        if (upper(name) == upper(kChecksumList)) {
            p.note = name + " in the source is replaced by the new list";
            continue;
        }
        const std::string& dos_name = name; // clang 14 cannot capture a structured binding
        p.packed = std::any_of(o.pack.begin(), o.pack.end(), [&](const std::string& g) {
            return mkdisk::pack_pattern_matches(g, dos_name);
        });
        p.disk_name = name;
        if (p.packed) {
            const uintmax_t size = fs::file_size(path);
            if (size == 0) {
                p.left_out = name + ": empty; an empty file cannot be packed";
                continue;
            }
            if (size > kMaxFileBytes) {
                p.left_out = name + ": too large to pack";
                continue;
            }
            p.disk_name.back() = '_';
        }
        DiskFileJob job{path.string(), "", p.packed, name.back(), method};
        if (auto [it, fresh] = made.emplace(upper(p.disk_name), name); !fresh) {
            p.clash =
                name + " and " + it->second + " would both be " + p.disk_name + " on the disk";
        } else {
            // Where the file lies in the source, not where a link leads (which may be outside
            // it).
            const fs::path relative = path.lexically_relative(o.source);
            std::string file_name = relative.filename().string();
            if (p.packed) file_name.back() = '_';
            fs::create_directories(disk / relative.parent_path());
            job.target = (disk / relative.parent_path() / file_name).string();
        }
        p.job = true;
        plan_of_job.push_back(plan.size() - 1);
        jobs.push_back(job.encode());
    }

    uint64_t total_in = 0, total_out = 0;
    size_t files = 0;
    std::map<std::string, Listed> listed; // disk name -> what the list says of it
    size_t told = 0;
    // The plan up to `until`; the file there (when it was made) as the worker made it.
    const auto tell = [&](size_t until, const DiskFile* file) {
        for (; told < until; ++told) {
            const Planned& p = plan[told];
            if (!p.note.empty()) std::cerr << "mkdisk: note: " << p.note << '\n';
            if (!p.left_out.empty()) report.problem(p.left_out);
        }
        if (!file) return;
        const Planned& p = plan[told++];
        if (p.packed) {
            std::printf("  %-40s %10llu -> %10llu bytes (%s)\n", p.disk_name.c_str(),
                        static_cast<unsigned long long>(file->in),
                        static_cast<unsigned long long>(file->out),
                        vpack::method_name(file->method));
        } else {
            if (p.name.back() == '_')
                report.problem(p.name +
                               ": ends in '_', so COPY would take it for a packed file; pack it "
                               "(--pack) or rename it");
            std::printf("  %-40s %10llu bytes\n", p.disk_name.c_str(),
                        static_cast<unsigned long long>(file->in));
        }
        total_in += file->in;
        if (!p.clash.empty()) {
            report.problem(p.clash);
            return;
        }
        total_out += file->out;
        ++files;
        listed[p.disk_name] = {file->out, file->sum};
    };
    if (!jobs.empty()) {
        mkdisk::PackPool pool(mkdisk::workers_for(jobs.size(), o.jobs), make_disk_file);
        BuildProgress progress(jobs.size(), pool.size());
        try {
            pool.run(
                jobs,
                [&](size_t job, const std::string& result) {
                    const DiskFile file = DiskFile::decode(result);
                    tell(plan_of_job[job], &file);
                },
                [&](size_t done) { progress.show(done); }, stop_if_signalled);
        } catch (const mkdisk::JobFailed& failed) {
            throw Problem(failed.what());
        }
    }
    tell(plan.size(), nullptr);
    write_list(disk, report, listed);
    std::printf("%zu files, %llu bytes in, %llu bytes on the disk\n", files,
                static_cast<unsigned long long>(total_in),
                static_cast<unsigned long long>(total_out));
    stop_if_signalled();
    // Against the new folder: findings name DOS paths on drive A:, the same wherever it is. The
    // desk's machine starts only now, after the workers are gone.
    Desk desk(disk);
    check_script(disk, o.script, desk, report);
    new_disk.put_in_place();
    return report.problems ? kExitProblems : kExitOk;
}

int sums(const fs::path& disk) {
    if (!fs::is_directory(disk)) throw Problem(disk.string() + " is not a folder");
    Report report;
    write_list(disk, report);
    return report.problems ? kExitProblems : kExitOk;
}

int check(const fs::path& disk_folder, const std::string& script) {
    if (!fs::is_directory(disk_folder)) throw Problem(disk_folder.string() + " is not a folder");
    const fs::path disk = fs::canonical(disk_folder);
    Report report;
    Desk desk(disk);
    check_list(disk, report);
    stop_if_signalled();
    check_script(disk, script, desk, report);
    stop_if_signalled();
    if (!report.problems) std::printf("%s: no problems found\n", disk_folder.c_str());
    return report.problems ? kExitProblems : kExitOk;
}

int card_write(const fs::path& description, const std::string& output, bool force) {
    const std::vector<uint8_t> text = read_file(description);
    const fs::path folder = description.parent_path();
    const mkdisk::CardImage image = mkdisk::read_card_description(
        std::string(text.begin(), text.end()), description.string(),
        [&](const std::string& name) -> std::optional<std::vector<uint8_t>> {
            const fs::path path = folder / name;
            std::error_code error;
            if (!fs::is_regular_file(path, error)) return std::nullopt;
            try {
                return read_file(path);
            } catch (const Problem&) {
                return std::nullopt;
            }
        });
    const std::vector<uint8_t> bytes = mkdisk::write_card_image(image);
    vpack::OutputFile out(output, force);
    out.write(bytes.data(), bytes.size());
    out.commit();
    return kExitOk;
}

// The description on standard output; for an image the desk would not take, of what comes before
// the problem, which then goes to standard error.
int card_show(const fs::path& file) {
    const mkdisk::CardParse parsed = mkdisk::parse_card_image(read_file(file));
    std::string text = mkdisk::print_card_description(parsed.image, parsed.header);
    if (parsed.whole) {
        const auto& records = parsed.image.records;
        const auto zeros = std::count_if(records.begin(), records.end(),
                                         [](const mkdisk::CardRecord& r) { return r.zeros(); });
        text += "# " + std::to_string(records.size()) + " records (" +
                std::to_string(records.size() - static_cast<size_t>(zeros)) + " of data, " +
                std::to_string(zeros) + " of zeros), then the end block the desk adds\n";
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    if (!parsed.problem) return kExitOk;
    std::cerr << "mkdisk: " << file.string() << " " << parsed.problem->text << '\n';
    return kExitProblems;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Builds and checks upgrade disks for the desk.", "mkdisk"};
    tools::add_version_flag(app, vpack::library_version);
    app.require_subcommand(1);

    BuildOptions b;
    CLI::App* build_cmd =
        app.add_subcommand("build", "Make a disk folder from a folder of files, write checksum.dat "
                                    "and check the script");
    build_cmd->add_option("source", b.source, "folder of files, laid out as on the disk")
        ->required();
    build_cmd
        ->add_option("disk", b.disk,
                     "the disk folder to make: new, empty, or (with --force) one mkdisk made")
        ->required();
    build_cmd->add_option(
        "-p,--pack", b.pack,
        "pack files matching this wildcard, as the desk matches it: a name (in any folder), or a "
        "path below the source with '\\'; repeatable");
    tools::add_method_option(build_cmd, b.method);
    build_cmd->add_option("-s,--script", b.script, "the upgrade script to check, on the disk")
        ->capture_default_str();
    build_cmd->add_option("-j,--jobs", b.jobs, "files made at a time (default: one per core)")
        ->check(CLI::PositiveNumber);
    build_cmd->add_flag("-f,--force", b.force,
                        "replace a non-empty disk folder, only one that mkdisk made: it holds "
                        "checksum.dat and no file that checksum.dat does not list");

    fs::path sums_disk;
    CLI::App* sums_cmd =
        app.add_subcommand("sums", "Rewrite checksum.dat of a disk folder from its files");
    sums_cmd->add_option("disk", sums_disk, "the disk folder")->required();

    fs::path check_disk;
    std::string check_script_name = kDefaultScript;
    CLI::App* check_cmd = app.add_subcommand(
        "check", "Check a disk folder: checksum.dat against the files, and the script");
    check_cmd->add_option("disk", check_disk, "the disk folder")->required();
    check_cmd->add_option("-s,--script", check_script_name, "the upgrade script, on the disk")
        ->capture_default_str();

    CLI::App* card_cmd = app.add_subcommand(
        "cardimage", "Write and show interface card images, the files that UPLOADPCIF loads");
    card_cmd->require_subcommand(1);
    fs::path card_description;
    std::string card_output;
    bool card_force = false;
    CLI::App* card_write_cmd =
        card_cmd->add_subcommand("write", "Write a card image from its text description");
    card_write_cmd->add_option("description", card_description, "the text description")->required();
    card_write_cmd->add_option("-o,--output", card_output, "the image file to write")->required();
    card_write_cmd->add_flag("-f,--force", card_force, "replace an existing image file");
    fs::path card_file;
    CLI::App* card_show_cmd = card_cmd->add_subcommand(
        "show", "Print a card image as a text description (exit 1 when the desk would refuse it)");
    card_show_cmd->add_option("image", card_file, "the image file")->required();
    card_cmd->footer(kCardFooter);

    // What the commands that run a disk on desks share.
    const CLI::Validator answers_check(
        [](std::string& text) {
            std::string problem;
            return mkdisk::decode_answers(text, problem) ? std::string() : problem;
        },
        "");
    const auto add_run_options = [](CLI::App* command, unsigned& jobs, double& time_limit_s,
                                    std::string& script) {
        command->add_option("-j,--jobs", jobs, "runs at a time (default: one per core)")
            ->check(CLI::PositiveNumber);
        command
            ->add_option("--time-limit", time_limit_s, "seconds a run may take before it is ended")
            ->check(CLI::PositiveNumber)
            ->capture_default_str();
        command->add_option("-s,--script", script, "the upgrade script on the disk");
    };
    mkdisk::MatrixOptions m;
    CLI::App* matrix_cmd = app.add_subcommand(
        "matrix", "Run a disk on every desk with every set of answers: outcomes and coverage");
    matrix_cmd->add_option("disk", m.disk, "the disk folder")->required();
    matrix_cmd->add_option("--desks", m.desks, "desk folders or profile files")->required();
    matrix_cmd->add_option("--answers", m.answers, "keys typed, one text a combination")
        ->required()
        ->check(answers_check);
    matrix_cmd->add_option("--html", m.html, "write a page of the table and the covered script")
        ->type_name("FILE");
    matrix_cmd->add_option("--record", m.record, "save each combination's transcript in DIR")
        ->type_name("DIR");
    matrix_cmd->add_option("--check", m.check, "compare with the transcripts saved in DIR")
        ->type_name("DIR");
    add_run_options(matrix_cmd, m.jobs, m.time_limit_s, m.script);
    matrix_cmd->footer(kMatrixFooter);

    mkdisk::RehearseOptions r;
    CLI::App* rehearse_cmd = app.add_subcommand(
        "rehearse", "Cut the power after each step of a disk's run and run it again: what differs");
    rehearse_cmd->add_option("disk", r.disk, "the disk folder")->required();
    rehearse_cmd->add_option("--desk", r.desk, "the starting desk: a desk folder or a profile")
        ->required();
    rehearse_cmd->add_option("--answers", r.answers, "the keys typed")
        ->required()
        ->check(answers_check);
    rehearse_cmd->add_option("--every", r.every, "cut after every Nth step only")
        ->check(CLI::PositiveNumber)
        ->type_name("N");
    add_run_options(rehearse_cmd, r.jobs, r.time_limit_s, r.script);
    rehearse_cmd->footer(kRehearseFooter);

    if (const int status = tools::parse(app, kFooter, argc, argv); status != tools::kGoOn) {
        vpack::close_library(); // --version opened it
        return status;
    }
    install_signal_handlers();
    try {
        if (*build_cmd) return build(b);
        if (*sums_cmd) return sums(sums_disk);
        if (*card_write_cmd) return card_write(card_description, card_output, card_force);
        if (*card_show_cmd) return card_show(card_file);
        if (*matrix_cmd)
            return mkdisk::matrix(
                {mkdisk::tolvanex_beside(argv[0]), [] { return static_cast<int>(g_signal); }}, m);
        if (*rehearse_cmd)
            return mkdisk::rehearse(
                {mkdisk::tolvanex_beside(argv[0]), [] { return static_cast<int>(g_signal); }}, r);
        return check(check_disk, check_script_name);
    } catch (const vpack::Interrupted& interrupted) {
        return kExitSignalBase + interrupted.signal_number;
    } catch (const mkdisk::RunStopped& stopped) {
        return kExitSignalBase + stopped.signal_number;
    } catch (const std::exception& e) {
        // After a signal a failure is its doing: vpack's handler removes the temporary file
        // being written, so its rename fails.
        if (g_signal) return kExitSignalBase + g_signal;
        std::cerr << "mkdisk: " << e.what() << '\n';
        return kExitProblems;
    }
}
