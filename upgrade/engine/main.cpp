// The upgrade program: opens the runtime library, maps the card windows and runs the upgrade
// description file.
#include "engine/keywords.hpp"
#include "engine/program.hpp"

#include <pcplat/cpu.h>
#include <pcplat/win32.h>

#include <cstring>

namespace tolvanex {

namespace {

constexpr uint16_t kCardSegments[kCardWindows] = {0xD100, 0xD200};
constexpr uint32_t kCardWindowLength = 0x10000;
constexpr uint32_t kParagraphBytes = 16;
constexpr int kClearLines = 50;
constexpr int kExitUsage = 64;
// Nothing ran: a dry run in a script must tell a wrong folder from a good upgrade.
constexpr int kExitNoScript = 6;
constexpr int kExitNoLibrary = 7;

Program g_program;

// The handler of every command that has one in this build; null for the commands the engine
// carries out itself and for those that are not available yet.
CommandHandler handler_of(uint16_t k) {
    switch (k) {
    case kPrintDisplay:
        return CmdPrintDisplay;
    case kPrintLcd:
        return CmdPrintLcd;
    case kClearDisplay:
        return CmdClearDisplay;
    case kClearLcd:
        return CmdClearLcd;
    case kPrintErrorCode:
        return CmdPrintErrorCode;
    case kPrintErrorCodeLcd:
        return CmdPrintErrorCodeLcd;
    case kCopy:
        return CmdCopy;
    case kDelete:
        return CmdDelete;
    case kChecksumAllFiles:
        return CmdChecksumAllFiles;
    case kMakeDir:
        return CmdMakeDir;
    case kCheckVersion:
        return CmdCheckVersion;
    default:
        return nullptr;
    }
}

void unknown_command(uint16_t k) {
    exec()->EXEC_Printf("ERROR - Unknown Command %u.\n", unsigned{k});
}

[[noreturn]] void failure_screen() {
    for (int i = 0; i < kClearLines; ++i)
        exec()->EXEC_Printf("\n");
    console_cursor_home();
    exec()->EXEC_Printf("*** UPGRADE DISK ERROR ***\n");
    LcdWriteLine("", 0);
    LcdWriteLine(" UPGRADE DISK ERROR ", 1);
    LcdWriteLine("", 2);
    LcdWriteLine("", 3);
    cpu_halt(CPU_HALT_FAILED);
}

// One command in normal running; false fails the run.
bool dispatch(FILE* script, uint16_t k, bool& finished) {
    switch (k) {
    case kEnd:
    case kQuit:
        finished = true;
        return true;
    case kLabel:
        return true; // its name is passed over as free text
    case kStop:
        cpu_halt(CPU_HALT_STOP);
    case kJump:
        return CmdJump(script) != 0;
    case kJumpBack:
        return CmdJumpBack(script) != 0;
    case kReqJump:
        return CmdReqJump(script) != 0;
    case kReqJumpBack:
        return CmdReqJumpBack(script) != 0;
    default:
        break;
    }
    if (k >= kKeywordCount) {
        unknown_command(k);
        return false;
    }
    if (CommandHandler handler = handler_of(k)) return handler(script) != 0;
    exec()->EXEC_Printf("%s: this command is not available in this build.\n", KeywordName(k));
    return false;
}

// One command while a label is searched for; false fails the run.
bool search(FILE* script, uint16_t k) {
    if (k == kLabel) {
        char name[kArgumentBuffer];
        if (!ReadArgumentLine(script, name)) return false;
        if (exec()->EXEC_STRCompareNoCase(name, program().jump_target, kArgumentBuffer) == 0)
            program().label_search = 0;
        return true;
    }
    if (k == kNotFound) {
        unknown_command(k);
        return false;
    }
    return true; // passed over; its argument line is free text to the next word search
}

void print_usage() {
    std::printf("Usage: tolvanex [SCRIPT]\n"
                "Carries out the upgrade description file SCRIPT (default \"tolvanex.des\" in the\n"
                "current directory, which is drive A:) on the desk. The desk is the simulated\n"
                "one named by DESKSIM (see desksim --help).\n"
                "Exit status: 0 at the end of the script, 1 after a failed run, 2 after STOP,\n"
                "6 when the script cannot be opened, 7 when the runtime library cannot be\n"
                "opened (see the README for the others).\n");
}

} // namespace

Program& program() {
    return g_program;
}

void RequestLabelSearch(FILE* script, const char* label, bool from_start) {
    exec()->EXEC_STRCopy(program().jump_target, label, kArgumentBuffer);
    program().label_search = 1;
    if (from_start) rewind(script); // also clears the end-of-file and error state
}

bool RunScript() {
    FILE* script = exec()->EXEC_FILEOpen(program().script_name, "r");
    if (!script) {
        exec()->EXEC_Printf("Unable to open upgrade description file '%s'\n",
                            program().script_name);
        return false;
    }
    program().label_search = 0;
    bool ok = true, finished = false;
    while (ok && !finished) {
        const uint16_t k = ReadCommandWord(script);
        ok = program().label_search ? search(script, k) : dispatch(script, k, finished);
    }
    if (!ok) failure_screen(); // the script stays open and the library is not closed
    exec()->EXEC_FILEClose(script);
    return true;
}

} // namespace tolvanex

using namespace tolvanex;

int main(int argc, char** argv) {
    if (argc == 2) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0) {
            print_usage();
            return 0;
        }
        // Refused rather than cut: a cut name could open another script.
        if (std::strlen(argv[1]) > kScriptNameLimit) {
            std::fprintf(stderr, "tolvanex: the script name is longer than %d characters: %s\n",
                         kScriptNameLimit, argv[1]);
            return kExitUsage;
        }
        std::strcpy(program().script_name, argv[1]);
    }
    program().exec = EXEC_OpenExec(0);
    if (!program().exec) {
        std::fprintf(stderr, "tolvanex: the runtime library cannot be opened\n");
        return kExitNoLibrary;
    }
    for (int i = 0; i < kCardWindows; ++i)
        program().card_window[i] =
            exec()->EXEC_SELCreate(uint32_t{kCardSegments[i]} * kParagraphBytes, kCardWindowLength);
    const bool ran = RunScript();
    for (uint16_t& window : program().card_window) {
        if (window) exec()->EXEC_SELFree(window);
        window = 0;
    }
    EXEC_CloseExec();
    return ran ? 0 : kExitNoScript;
}
