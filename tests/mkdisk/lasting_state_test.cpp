// What a power-cut rehearsal counts as a difference in what a desk keeps: files by path and
// digest, the NVR, and the card's last blocks (an image sent again whole after a cut is the
// same; one cut short, or never sent again, is not).
#include "desk_run.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mkdisk {
namespace {

DeskState desk(std::vector<DeskFile> files, std::vector<std::string> blocks,
               std::optional<uint64_t> nvr = 1) {
    DeskState state;
    state.files = std::move(files);
    state.card_blocks = std::move(blocks);
    state.nvr = nvr;
    return state;
}

TEST(LastingDifferences, FilesNvrAndTheCardsLastImage) {
    const DeskFile folder{"C:\\APP\\", 0, 0};
    const DeskFile app{"C:\\APP\\APP.EXE", 10, 7};
    const DeskFile lib{"C:\\APP\\LIB.DLL", 5, 8};
    const DeskFile work{"C:\\APP\\~TVX0000.TMP", 5, 8};
    const DeskState start = desk({}, {"old"});
    const DeskState uncut = desk({folder, app, lib}, {"old", "b1", "b2", "end"}, 2);
    const struct {
        const char* what;
        DeskState cut;
        std::vector<std::string> expected;
    } cases[] = {
        {"all the same", uncut, {}},
        {"a file missing, one extra, one changed",
         desk({folder, {"C:\\APP\\APP.EXE", 10, 9}, work}, uncut.card_blocks, 2),
         {"C:\\APP\\APP.EXE (changed)", "C:\\APP\\LIB.DLL (missing)",
          "C:\\APP\\~TVX0000.TMP (extra)"}},
        {"a folder missing", desk({app, lib}, uncut.card_blocks, 2), {"C:\\APP\\ (missing)"}},
        {"the NVR", desk(uncut.files, uncut.card_blocks, 1), {"NVR"}},
        {"an image cut short, then sent again whole",
         desk(uncut.files, {"old", "b1", "b1", "b2", "end"}, 2),
         {}},
        {"an image cut short, not sent again",
         desk(uncut.files, {"old", "b1"}, 2),
         {"card blocks"}},
        {"an image whole, then cut short when sent again",
         desk(uncut.files, {"old", "b1", "b2", "end", "b1"}, 2),
         {"card blocks"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lasting_differences(start, uncut, c.cut), c.expected) << c.what;
}

} // namespace
} // namespace mkdisk
