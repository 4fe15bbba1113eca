// `mkdisk build --pack PATTERN` must take the files the desk's own directory search finds for the
// same pattern: a pattern with folders in the folder it names, a bare name in every folder.
#include "pack_match.hpp"

#include "machine/drives.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Every file of the tree, below its root. X.EXE is a folder.
const std::vector<std::string> kFiles = {
    "README",    "A.TXT",         "readme.txt",    "APP.EXE",      "X.EXE/INNER.DLL", "BIN/A.DLL",
    "BIN/b.dll", "BIN/SUB/A.DLL", "BIN/SUB/C.EXE", "DATA/CFG.INI", "DATA/NOTES",
};

class PackMatch : public ::testing::TestWithParam<const char*> {
  protected:
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "pack-match-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        for (const std::string& file : kFiles) {
            const fs::path path = root_ / file;
            fs::create_directories(path.parent_path());
            std::ofstream(path) << file;
        }
        drives_.map('A', root_);
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }

    // What the desk's search finds for the pattern: in the folder it names, or, for a bare name,
    // in every folder of the tree.
    static std::set<std::string> found_by_desk(const std::string& pattern) {
        std::vector<std::string> folders{""};
        if (pattern.find_first_of("\\/") == std::string::npos)
            for (const auto& entry : fs::recursive_directory_iterator(root_))
                if (entry.is_directory())
                    folders.push_back(dos(entry.path().lexically_relative(root_)) + "\\");
        std::set<std::string> found;
        for (const std::string& folder : folders) {
            const std::string searched = folder + pattern;
            const size_t last = searched.find_last_of("\\/");
            const std::string prefix =
                last == std::string::npos ? "" : searched.substr(0, last + 1);
            for (const pcplat::FindEntry& e : drives_.search("A:\\" + searched, 0))
                found.insert(upper(prefix + e.name));
        }
        return found;
    }

    static std::set<std::string> packed_by_mkdisk(const std::string& pattern) {
        std::set<std::string> packed;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (!entry.is_regular_file()) continue;
            const std::string name = dos(entry.path().lexically_relative(root_));
            if (mkdisk::pack_pattern_matches(pattern, name)) packed.insert(upper(name));
        }
        return packed;
    }

    // The search gives the folders as the pattern spells them, '/' or '\\', in any case; no two
    // names of the tree differ only in case, so comparing in upper case loses nothing.
    static std::string upper(std::string s) {
        for (char& c : s)
            c = c == '/' ? '\\' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    }

    static std::string dos(const fs::path& relative) {
        std::string out;
        for (const fs::path& part : relative) {
            if (!out.empty()) out += '\\';
            out += part.string();
        }
        return out;
    }

    static inline fs::path root_;
    static inline pcplat::DriveMap drives_;
};

TEST_P(PackMatch, TakesWhatTheDeskFinds) {
    const std::string pattern = GetParam();
    EXPECT_EQ(packed_by_mkdisk(pattern), found_by_desk(pattern));
}

INSTANTIATE_TEST_SUITE_P(Patterns, PackMatch,
                         ::testing::Values("*.EXE", "*.exe", "*.DLL", "BIN\\*", "BIN/*.dll",
                                           "bin\\sub\\*.*", "X.EXE\\*", "README.*", "README", "*.",
                                           "DATA\\*.", "*.*", "?.DLL", "BIN\\?.DLL", "BIN\\SUB",
                                           "NONE\\*.*", "README.TXT"));

} // namespace
