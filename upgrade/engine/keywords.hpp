// The command words of upgrade scripts and the length of their argument lines, shared by the
// upgrade program and the tools that read scripts as it does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tolvanex {

// In this order: a command's index is its number.
constexpr std::array<const char*, 23> kKeywords{
    "END",
    "PRINTDISPLAY",
    "PRINTLCD",
    "REQJUMP",
    "JUMP",
    "LABEL",
    "COPY",
    "DELETE",
    "STOP",
    "JUMPBACK",
    "REQJUMPBACK",
    "UPLOADPCIF",
    "CLEARDISPLAY",
    "CLEARLCD",
    "WIPENVR",
    "COPYGFX",
    "PRINTERRORCODE",
    "PRINTERRORCODELCD",
    "CHECKSUMALLFILES",
    "CHECKDESKTYPE",
    "MAKEDIR",
    "QUIT",
    "CHECKVERSION",
};

enum Keyword : uint16_t {
    kEnd = 0,
    kPrintDisplay = 1,
    kPrintLcd = 2,
    kReqJump = 3,
    kJump = 4,
    kLabel = 5,
    kCopy = 6,
    kDelete = 7,
    kStop = 8,
    kJumpBack = 9,
    kReqJumpBack = 10,
    kUploadPcif = 11,
    kClearDisplay = 12,
    kClearLcd = 13,
    kWipeNvr = 14,
    kCopyGfx = 15,
    kPrintErrorCode = 16,
    kPrintErrorCodeLcd = 17,
    kChecksumAllFiles = 18,
    kCheckDeskType = 19,
    kMakeDir = 20,
    kQuit = 21,
    kCheckVersion = 22,
    kKeywordCount = 23,
};

// A word this long is no keyword; the reading stops there.
constexpr size_t kLongestWord = 19;
// An argument line holds at most this many characters; the rest of a longer line is free text.
constexpr int kArgumentLimit = 119;

} // namespace tolvanex
