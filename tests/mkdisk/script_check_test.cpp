// The script checker reads scripts as the upgrade program does: forward and backward label
// searches, the argument layouts that make a run fail, and the sources COPY would not find.
#include "script_check.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct FakeDisk {
    std::map<std::string, std::vector<std::string>> patterns;
    std::vector<std::string> list;
    std::vector<std::string> files;
    std::map<std::string, std::vector<uint8_t>> contents; // of files that can be read

    mkdisk::ScriptFacts facts() {
        mkdisk::ScriptFacts f;
        f.matches = [this](const std::string& p) {
            auto it = patterns.find(p);
            return it == patterns.end() ? std::vector<std::string>{} : it->second;
        };
        f.listed = [this](const std::string& n) {
            return std::find(list.begin(), list.end(), n) != list.end();
        };
        f.exists = [this](const std::string& p) {
            return std::find(files.begin(), files.end(), p) != files.end();
        };
        f.read = [this](const std::string& p) -> std::optional<std::vector<uint8_t>> {
            auto it = contents.find(p);
            if (it == contents.end()) return std::nullopt;
            return it->second;
        };
        return f;
    }
};

std::vector<std::string> texts(const std::vector<mkdisk::Finding>& findings) {
    std::vector<std::string> out;
    for (const auto& f : findings)
        out.push_back(std::to_string(f.line) + ": " + f.text);
    return out;
}

std::vector<std::string> check(const std::string& script, FakeDisk disk = {}) {
    return texts(mkdisk::check_script(script, disk.facts()));
}

TEST(ScriptCheck, ACleanScriptHasNoFindings) {
    EXPECT_THAT(
        check("#PRINTDISPLAY hello\n#JUMP done\n#PRINTDISPLAY skipped\n#LABEL done\n#END\n"),
        IsEmpty());
    EXPECT_THAT(check("#label top\r\n#REQJUMPBACK TOP\r\n#quit\r\n"), IsEmpty())
        << "case and CR LF";
}

TEST(ScriptCheck, ForwardSearchesDoNotSeeLabelsAbove) {
    EXPECT_THAT(check("#LABEL again\n#JUMP again\n#END\n"),
                ElementsAre(HasSubstr(
                    "2: #JUMP names the label 'again', which no #LABEL after it defines")));
    EXPECT_THAT(check("#LABEL again\n#JUMPBACK again\n#END\n"), IsEmpty());
}

TEST(ScriptCheck, LabelsMatchCharacterForCharacter) {
    // Two blanks make the target begin with a blank; a trailing blank makes another name.
    EXPECT_THAT(check("#JUMP  done\n#LABEL done\n#END\n"), ElementsAre(HasSubstr("' done'")));
    EXPECT_THAT(check("#JUMP done\n#LABEL done \n#END\n"), ElementsAre(HasSubstr("'done'")));
}

TEST(ScriptCheck, EveryLabelBearingCommandIsFollowed) {
    const std::string script = "#COPY l1,A:\\X C:\\\n"
                               "#MAKEDIR l2,C:\\D\n"
                               "#CHECKDESKTYPE l3,4\n"
                               "#CHECKSUMALLFILES l4\n"
                               "#CHECKVERSION C:\\F,1.0,2.0,l5,with comma\n"
                               "#COPYGFX l6,A:\\ C:\\G.DLL\n"
                               "#REQJUMP l7\n"
                               "#END\n";
    FakeDisk disk;
    disk.patterns["A:\\X"] = {"A:\\X"};
    disk.list = {"X", "gfx_s31m.dl_", "gfx_s32m.dl_", "gfx_vesa.dl_"};
    disk.files = {"A:\\gfx_s31m.dl_", "A:\\gfx_s32m.dl_", "A:\\gfx_vesa.dl_"};
    const auto found = check(script, disk);
    ASSERT_EQ(found.size(), 7u) << ::testing::PrintToString(found);
    for (const char* label : {"'l1'", "'l2'", "'l3'", "'l4'", "'l5,with comma'", "'l6'", "'l7'"})
        EXPECT_THAT(found, ::testing::Contains(HasSubstr(label)));
}

TEST(ScriptCheck, ASearchFailsAtAWordThatIsNoCommand) {
    // While searching, argument lines are passed over as free text: a '#' in them starts a word.
    EXPECT_THAT(
        check("#JUMP there\n#PRINTDISPLAY 50 #1 off\n#LABEL there\n#END\n"),
        ElementsAre(HasSubstr("1: #JUMP to 'there': the search for the label meets a word")));
}

TEST(ScriptCheck, RunFailuresAreFound) {
    EXPECT_THAT(check("#PRINTDISPLAY hi\n"), ElementsAre(HasSubstr("no #END or #QUIT")));
    EXPECT_THAT(check("#PRINTDISPLAY hi\n#FROB\n#END\n"),
                ElementsAre(HasSubstr("2: '#FROB' is not a command")));
    EXPECT_THAT(check("#END\n#PRINTDISPLAY no line feed"),
                ElementsAre(HasSubstr("cuts off the argument line")));
    EXPECT_THAT(check("#COPY nolabel A:\\X C:\\\n#END\n"),
                ElementsAre(HasSubstr("needs 'label,source destination'")));
    EXPECT_THAT(check("#COPY l,A:\\X\n#LABEL l\n#END\n"),
                ElementsAre(HasSubstr("needs 'label,source destination'")));
    EXPECT_THAT(check("#MAKEDIR C:\\D\n#END\n"),
                ElementsAre(HasSubstr("#MAKEDIR needs 'label,...'")));
    EXPECT_THAT(check("#CHECKDESKTYPE l,two\n#LABEL l\n#END\n"),
                ElementsAre(HasSubstr("#CHECKDESKTYPE needs 'label,desk type'")));
    EXPECT_THAT(check("#CHECKDESKTYPE l, -1\n#LABEL l\n#END\n"), IsEmpty());
    EXPECT_THAT(check("#WIPENVR nvr\n#END\n"), ElementsAre(HasSubstr("#WIPENVR needs")));
    EXPECT_THAT(check("#WIPENVR  0xf00000\n#WIPENVR D4000 the NVR\n#END\n"), IsEmpty());
    EXPECT_THAT(check("#CHECKVERSION F,3,4.0,l\n#LABEL l\n#END\n"),
                ElementsAre(HasSubstr("two versions")));
    EXPECT_THAT(check("#CHECKVERSION F,x3.7y,v4.0,l\n#LABEL l\n#END\n"), IsEmpty());
    EXPECT_THAT(check("#PRINTDISPLAY " + std::string(130, 'x') + "\n#END\n"),
                ElementsAre(HasSubstr("longer than 119 characters")));
}

TEST(ScriptCheck, CopySourcesMustMatchAndBeListed) {
    FakeDisk disk;
    disk.patterns["A:\\DATA\\*.*"] = {"A:\\DATA\\ONE.BIN", "A:\\DATA\\TWO.BIN"};
    disk.patterns["ONE.BIN"] = {"\\ONE.BIN"};
    disk.list = {"DATA\\ONE.BIN"};
    const auto found = check("#COPY f,A:\\DATA\\*.* C:\\\n"
                             "#COPY f,A:\\NONE\\*.* C:\\\n"
                             "#COPY f,ONE.BIN C:\\\n"
                             "#COPY f,C:\\OLD\\*.* D:\\\n" // the desk's own drive: not checked
                             "#LABEL f\n#END\n",
                             disk);
    EXPECT_THAT(
        found,
        ElementsAre(
            HasSubstr("1: #COPY of A:\\DATA\\TWO.BIN: 'DATA\\TWO.BIN' is not in checksum.dat"),
            HasSubstr("2: #COPY source 'A:\\NONE\\*.*' matches no file"),
            // without a backslash the lookup loses the name's first characters
            HasSubstr("3: #COPY of \\ONE.BIN: 'E.BIN' is not in checksum.dat")));
}

TEST(ScriptCheck, CopyGfxNeedsTheGenericDriverAndListedOnes) {
    FakeDisk disk;
    disk.files = {"A:\\GFX\\gfx_vesa.dl_", "A:\\GFX\\gfx_s31m.dl_"};
    disk.list = {"GFX\\gfx_vesa.dl_"};
    const std::string script = "#COPYGFX f,A:\\GFX\\ C:\\DRV.DLL\n#LABEL f\n#END\n";
    // The missing 2 MB driver falls back to the generic one; the unlisted 1 MB one would fail.
    EXPECT_THAT(check(script, disk),
                ElementsAre(HasSubstr("'GFX\\gfx_s31m.dl_' is not in checksum.dat")));
    disk.files = {"A:\\GFX\\gfx_s32m.dl_"};
    disk.list = {"GFX\\gfx_s32m.dl_"};
    EXPECT_THAT(
        check(script, disk),
        ElementsAre(HasSubstr("the generic driver A:\\GFX\\gfx_vesa.dl_ is not on the disk")));
}

TEST(ScriptCheck, UploadPcifImagesMustBeOnTheDiskAndWhole) {
    FakeDisk disk;
    disk.files = {"A:\\GOOD.IMG", "A:\\CUT.IMG", "OLD.IMG", "A:\\LOCKED.IMG"};
    disk.contents["A:\\GOOD.IMG"] = {5, 0, 0, 0x21, 1, 1, 1, 0xee};
    disk.contents["A:\\CUT.IMG"] = {5, 0, 0, 0x21, 1, 1, 1, 0xee, 2};
    disk.contents["OLD.IMG"] = {4, 0, 0, 0x21};
    const auto found = check("#UPLOADPCIF A:\\GOOD.IMG\n"
                             "#UPLOADPCIF A:\\CUT.IMG\n"
                             "#UPLOADPCIF OLD.IMG\n"
                             "#UPLOADPCIF A:\\NONE.IMG\n"
                             "#UPLOADPCIF A:\\LOCKED.IMG\n"
                             "#UPLOADPCIF C:\\CARD\\ON.DESK\n" // the desk's own drive
                             "#UPLOADPCIF \n"
                             "#END\n",
                             disk);
    EXPECT_THAT(found, ElementsAre(HasSubstr("2: #UPLOADPCIF: A:\\CUT.IMG ends inside record 2 "
                                             "(after L, offset 8): A and B are missing; the "
                                             "upload would stop there, without its end block"),
                                   HasSubstr("3: #UPLOADPCIF: OLD.IMG has format 4 (offset 0); the "
                                             "desk takes only format 5; the card would get no "
                                             "image"),
                                   HasSubstr("4: #UPLOADPCIF: the image A:\\NONE.IMG is not on "
                                             "the disk"),
                                   HasSubstr("5: #UPLOADPCIF: the image A:\\LOCKED.IMG cannot be "
                                             "read"),
                                   HasSubstr("7: #UPLOADPCIF: no image path")));
}

} // namespace
