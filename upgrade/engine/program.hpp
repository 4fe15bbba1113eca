// The upgrade program's shared state and the pieces of the script engine that the command
// handlers use.
#pragma once

#include "engine/keywords.hpp"

#include <pcplat/desk_card.h>
#include <pcplat/host.h>
#include <vantrel/exec.h>

#include <cstdint>
#include <cstdio>

namespace tolvanex {

constexpr uint16_t kNotFound = 0xFFFF;
constexpr int kArgumentBuffer = kArgumentLimit + 1;
constexpr int kScriptNameLimit = 51;
constexpr int kCardWindows = 2;
// Where the card windows are, and the length of a selector over one.
constexpr uint32_t kCardWindowAddress[kCardWindows] = {DESK_CARD_WINDOW_0, DESK_CARD_WINDOW_1};
constexpr uint32_t kCardSelectorLength = 0x10000;

// A command handler: reads its own argument line from the script, does its work, and returns
// nonzero to go on or 0 to fail the run. A label search is requested through the program state.
using CommandHandler = uint16_t (*)(FILE* script);

// UPLOADPCIF's results.
enum PcifStatus : uint16_t {
    kPcifDone = 0,
    kPcifFailed = 100, // memory, or a short read of the file
    kPcifNoCard = 120,
    kPcifImageShort = 130,
    kPcifFormatOld = 140,
    kPcifFormatNew = 150,
    kPcifCannotOpen = 160,
    kPcifCardStuck = 180,
    kPcifBlockRejected = 190,
};

// The interface card upload's state, kept from one upload to the next: a record overwrites
// only the start of the block buffer, and the rest goes to the card as it was.
struct PcifState {
    uint8_t block[256]{};
    uint8_t p3 = 0, p5 = 0, p6 = 0, p7 = 0;
    uint8_t command = 0;
    uint16_t window = 0;
    uint16_t status = kPcifDone;
};

// What the whole run shares.
struct Program {
    ExecTable* exec = nullptr;
    char script_name[kScriptNameLimit + 1] = "tolvanex.des";
    uint16_t card_window[kCardWindows]{}; // selectors; 0: not mapped
    uint16_t label_search = 0;            // LabelSearch
    char jump_target[kArgumentBuffer]{};  // JumpTarget
    uint16_t error_register = 0;
    uint16_t nvr_selector = 0; // mapped by the first WIPENVR that finds memory, kept for the run
    PcifState pcif;
};

Program& program();
inline ExecTable* exec() {
    return program().exec;
}

// The codes in the error register: 0, or why the last file operation failed.
enum ErrorCode : uint16_t {
    kNoError = 0x0000,
    kCopyUnknownError = 0x1001,
    kCopyUnableToWriteDest = 0x1002,
    kCopyUnableToCreateDest = 0x1003,
    kCopyVerifyCompareFailed = 0x1004,
    kCopyVerifyReadFailed = 0x1005,
    kCopyUnableToOpenVerify = 0x1006,
    kCopyDecompressionFailed = 0x1007,
    kCopyVerifyAllocFailed = 0x1008,
    kCopyDecompAllocFailed = 0x1009,
    kCopyCompressedZeroLength = 0x100A,
    kCopyChecksumError = 0x100B,
    kCopyUnableToReadFile = 0x100C,
    kCopyMemoryAllocationFailed = 0x100D,
    kCopySourceZeroLength = 0x100E,
    kCopyUnableToOpenSource = 0x100F,
    kChecksumMismatch = 0x2001,
    kChecksumFileReadFailed = 0x2002,
    kChecksumMemoryAllocationFailed = 0x2003,
    kChecksumSourceFileZeroLength = 0x2004,
    kChecksumUnableToOpenSource = 0x2005,
    kChecksumBadFileName = 0x2006,
    kChecksumFileNotOpened = 0x2007,
    kMakeDirFileExists = 0x3001,
    kMakeDirFailed = 0x3002,
};

inline void SetErrorRegister(ErrorCode code) {
    program().error_register = code;
    host_note_error_code(code); // the test bench's record; nothing on the desk
}

// The script readers.
uint16_t ReadCommandWord(FILE* script);
uint16_t ReadArgumentLine(FILE* script, char* buffer, int limit = kArgumentLimit);
// A signed decimal number as "%d" reads one (leading blanks skipped, the rest ignored); false
// when there is none. Out-of-range numbers saturate instead of being undefined.
bool ReadDecimal(const char* text, long& value);

// Maps the card windows (a window that cannot be mapped stays 0), and frees them.
void MapCardWindows();
void FreeCardWindows();

// Runs the script named in the program state; returns when the run ended normally (the halts
// do not return): false when the script could not be opened.
bool RunScript();
// Asks the engine to go on at a label: forward, or from the start of the script.
void RequestLabelSearch(FILE* script, const char* label, bool from_start);

// The LCD and the error register.
void LcdWriteLine(const char* text, uint16_t line);
void LcdClearWideFields();
const char* ErrorCodeName(uint16_t code);

// Command handlers.
uint16_t CmdJump(FILE* script);
uint16_t CmdJumpBack(FILE* script);
uint16_t CmdReqJump(FILE* script);
uint16_t CmdReqJumpBack(FILE* script);
uint16_t CmdPrintDisplay(FILE* script);
uint16_t CmdClearDisplay(FILE* script);
uint16_t CmdPrintLcd(FILE* script);
uint16_t CmdClearLcd(FILE* script);
uint16_t CmdPrintErrorCode(FILE* script);
uint16_t CmdPrintErrorCodeLcd(FILE* script);
uint16_t CmdCopy(FILE* script);
uint16_t CmdDelete(FILE* script);
uint16_t CmdChecksumAllFiles(FILE* script);
uint16_t CmdMakeDir(FILE* script);
uint16_t CmdCheckVersion(FILE* script);
uint16_t CmdCopyGfx(FILE* script);
uint16_t CmdWipeNvr(FILE* script);
uint16_t CmdCheckDeskType(FILE* script);
uint16_t CmdUploadPcif(FILE* script);

// The desk's hardware.
void NvrWipe(uint32_t address);
// 0: no card at the first window; 1: only the first; 2: both.
uint16_t DeskType();
// Loads the image file into the card at the window; the status (PcifStatus) is also kept.
uint16_t PcifUpload(const char* path, uint16_t window);
// Hands the prepared block to the card: 1, or 0 with the status set.
uint16_t PcifSendBlock();

} // namespace tolvanex
