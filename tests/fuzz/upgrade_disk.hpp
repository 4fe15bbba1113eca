// A small upgrade disk for the targets that run the upgrade program's commands, laid out anew
// before every input (a script may delete or add files on it), and the desk's drives emptied.
#pragma once

#include "engine/program.hpp"
#include "fuzz_desk.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

class UpgradeDisk {
  public:
    UpgradeDisk() {
        std::string pattern = (fs::temp_directory_path() / "fuzz-disk-XXXXXX").string();
        if (!mkdtemp(pattern.data())) bug("cannot make a disk folder");
        root_ = pattern;
        lay_out();
        tolvanex::program().exec = &library(root_);
        tolvanex::MapCardWindows();
    }
    ~UpgradeDisk() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    UpgradeDisk(const UpgradeDisk&) = delete;
    UpgradeDisk& operator=(const UpgradeDisk&) = delete;

    const fs::path& root() const { return root_; }

    // The disk's files as at first, empty drives C: and D:, and the program's state as at start.
    void lay_out() {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(root_, ignored))
            fs::remove_all(entry.path(), ignored);
        write_file(root_ / "A.BIN", std::string("\x01\x02\xff", 3));
        write_file(root_ / "DATA" / "B.TXT", "hello, desk\n");
        write_file(root_ / "DATA" / "APP.EXE", "$VER:APP.EXE V2.4 (a stand-in)\n");
        write_file(root_ / "EMPTY.DAT", "");
        // A packed file: its name byte, then a stored block of "packed\n" (installs as C.TXT).
        write_file(root_ / "DATA" / "C.TX_", std::string("t\0\7\0\0\0packed\n", 13));
        write_file(root_ / "checksum.dat", checksum_list());
        if (pcplat::Machine* m = pcplat::Machine::installed()) {
            for (char drive : {'C', 'D'}) {
                if (const auto host = m->drives().root(drive)) {
                    for (const auto& entry : fs::directory_iterator(*host, ignored))
                        fs::remove_all(entry.path(), ignored);
                }
            }
        }
        tolvanex::Program& p = tolvanex::program();
        p.label_search = 0;
        p.jump_target[0] = '\0';
        p.error_register = 0;
    }

  private:
    // Every file of the disk with its sum, as mkdisk lists them.
    std::string checksum_list() const {
        std::string list;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (!entry.is_regular_file() || entry.path().filename() == "checksum.dat") continue;
            std::string name = fs::relative(entry.path(), root_).string();
            for (char& c : name)
                if (c == '/') c = '\\';
            std::ifstream in(entry.path(), std::ios::binary);
            unsigned sum = 0;
            for (char c; in.get(c);)
                sum += static_cast<unsigned char>(c);
            name.resize(128, '\0');
            list += name;
            list += static_cast<char>(sum & 0xFF);
        }
        return list;
    }

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
