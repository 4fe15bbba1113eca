// A small upgrade disk for the targets that run the upgrade program's commands, laid out anew
// before every input (a script may delete or add files on it), and the desk's drives emptied.
#pragma once

#include "engine/program.hpp"
#include "fuzz_desk.hpp"

#include <ftw.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

class UpgradeDisk {
    // The disk's files by DOS path. The packed file is its name byte, then a stored block of
    // "packed\n" (it installs as C.TXT).
    static constexpr std::pair<std::string_view, std::string_view> kFiles[] = {
        {"A.BIN", {"\x01\x02\xff", 3}},
        {"DATA\\B.TXT", "hello, desk\n"},
        {"DATA\\APP.EXE", "$VER:APP.EXE V2.4 (a stand-in)\n"},
        {"EMPTY.DAT", ""},
        {"DATA\\C.TX_", {"t\0\7\0\0\0packed\n", 13}},
    };

  public:
    UpgradeDisk() {
        std::string pattern = (fs::temp_directory_path() / "fuzz-disk-XXXXXX").string();
        if (!mkdtemp(pattern.data())) bug("cannot make a disk folder");
        root_ = pattern;
        lay_out();
        tolvanex::program().exec = &library(root_);
        tolvanex::MapCardWindows();
    }
    // Runs at exit, in the fuzzer's own thread. The folder goes through libc's walk rather than
    // std::filesystem: under the i386 emulator ASan misjudged that thread's stack in
    // remove_all's copy of an entry name and stopped on an internal check after a whole run.
    ~UpgradeDisk() {
        nftw(
            root_.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    UpgradeDisk(const UpgradeDisk&) = delete;
    UpgradeDisk& operator=(const UpgradeDisk&) = delete;

    const fs::path& root() const { return root_; }

    // Removes what a folder holds. The listing is taken whole before anything goes, and a
    // listing that fails is taken again: a range-for over the folder would throw from its
    // increment (under the i386 emulator a listing beside removals once failed with ENOTDIR),
    // ending the fuzzer on a fault of its own.
    static void empty_folder(const fs::path& folder) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::error_code error;
            std::vector<fs::path> entries;
            for (fs::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error))
                entries.push_back(it->path());
            for (const fs::path& entry : entries)
                fs::remove_all(entry, error);
            if (fs::is_empty(folder, error)) return;
        }
        bug(("cannot empty " + folder.string()).c_str());
    }

    // The disk's files as at first, empty drives C: and D:, and the program's state as at start.
    void lay_out() {
        empty_folder(root_);
        std::string list;
        for (const auto& [dos_path, bytes] : kFiles) {
            std::string host_path(dos_path);
            std::replace(host_path.begin(), host_path.end(), '\\', '/');
            write_file(root_ / host_path, std::string(bytes));
            // Listed as mkdisk lists it: the path in 128 bytes, then the sum of the bytes.
            std::string record(dos_path);
            record.resize(128, '\0');
            unsigned sum = 0;
            for (char c : bytes)
                sum += static_cast<unsigned char>(c);
            list += record + static_cast<char>(sum & 0xFF);
        }
        write_file(root_ / "checksum.dat", list);
        if (pcplat::Machine* m = pcplat::Machine::installed()) {
            for (char drive : {'C', 'D'}) {
                if (const auto host = m->drives().root(drive)) empty_folder(*host);
            }
        }
        tolvanex::Program& p = tolvanex::program();
        p.label_search = 0;
        p.jump_target[0] = '\0';
        p.error_register = 0;
    }

  private:
    fs::path root_;
};

inline UpgradeDisk& upgrade_disk() {
    static UpgradeDisk disk;
    return disk;
}

// The error register holds no value that no command writes.
inline bool known_code(uint16_t code) {
    return code == 0 || (code >= 0x1001 && code <= 0x100F) || (code >= 0x2001 && code <= 0x2007) ||
           code == 0x3001 || code == 0x3002;
}

} // namespace fuzz
