// The script engine's run: the dispatcher, the label search, the failure screen, and the state
// the whole run shares.
#include "engine/keywords.hpp"
#include "engine/program.hpp"

#include <pcplat/cpu.h>
#include <pcplat/host.h>
#include <pcplat/win32.h>

namespace tolvanex {

namespace {

constexpr int kClearLines = 50;

Program g_program;

// The handler of every command that has one; null for the commands the engine carries out
// itself and for numbers that are no command.
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
    case kCopyGfx:
        return CmdCopyGfx;
    case kWipeNvr:
        return CmdWipeNvr;
    case kCheckDeskType:
        return CmdCheckDeskType;
    case kUploadPcif:
        return CmdUploadPcif;
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

// Tells the test bench which command runs (on the desk, nothing): by where its word ends.
void note_command(int32_t word_end) {
    if (word_end >= 0) host_note_command(static_cast<uint32_t>(word_end));
}

// One command in normal running; false fails the run.
bool dispatch(FILE* script, uint16_t k, bool& finished) {
    if (k != kNotFound) note_command(exec()->EXEC_FILETell(script));
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
    if (CommandHandler handler = handler_of(k)) return handler(script) != 0;
    unknown_command(k);
    return false;
}

// One command while a label is searched for; false fails the run.
bool search(FILE* script, uint16_t k) {
    if (k == kLabel) {
        const int32_t label_word_end = exec()->EXEC_FILETell(script);
        char name[kArgumentBuffer];
        if (!ReadArgumentLine(script, name)) return false;
        if (exec()->EXEC_STRCompareNoCase(name, program().jump_target, kArgumentBuffer) == 0) {
            program().label_search = 0;
            note_command(label_word_end);
        }
        return true;
    }
    if (k == kNotFound) {
        unknown_command(k);
        return false;
    }
    return true; // passed over; its argument line is free text to the next word search
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

void MapCardWindows() {
    for (int i = 0; i < kCardWindows; ++i)
        program().card_window[i] =
            exec()->EXEC_SELCreate(kCardWindowAddress[i], kCardSelectorLength);
}

void FreeCardWindows() {
    for (uint16_t& window : program().card_window) {
        if (window) exec()->EXEC_SELFree(window);
        window = 0;
    }
}

} // namespace tolvanex
