// The error register and the commands that show it.
#include "engine/program.hpp"

#include <array>
#include <cstdio>

namespace tolvanex {

namespace {

struct ErrorName {
    uint16_t code;
    const char* text;
};

constexpr std::array<ErrorName, 25> kErrorNames{{
    {0x0000, "ERROR_NOERROR."},
    {0x1001, "ERROR_COPY_UNKNOWNERROR."},
    {0x1002, "ERROR_COPY_UNABLETOWRITEDEST."},
    {0x1003, "ERROR_COPY_UNABLETOCREATEDEST."},
    {0x1004, "ERROR_COPY_VERIFYCOMPAREFAILED."},
    {0x1005, "ERROR_COPY_VERIFYREADFAILED."},
    {0x1006, "ERROR_COPY_UNABLETOOPENVERIFY."},
    {0x1007, "ERROR_COPY_DECOMPRESSIONFAILED."},
    {0x1008, "ERROR_COPY_VERIFYALLOCFAILED."},
    {0x1009, "ERROR_COPY_DECOMPALLOCFAILED."},
    {0x100A, "ERROR_COPY_COMPRESSEDZEROLENGTH."},
    {0x100B, "ERROR_COPY_CHECKSUMERROR."},
    {0x100C, "ERROR_COPY_UNABLETOREADFILE."},
    {0x100D, "ERROR_COPY_MEMORYALLOCATIONFAILED."},
    {0x100E, "ERROR_COPY_SOURCEZEROLENGTH."},
    {0x100F, "ERROR_COPY_UNABLETOOPENSOURCE."},
    {0x2001, "ERROR_CHECKSUM_CHECKSUMMISMATCH."},
    {0x2002, "ERROR_CHECKSUM_FILEREADFAILED."},
    {0x2003, "ERROR_CHECKSUM_MEMORYALLOCATIONFAILED."},
    {0x2004, "ERROR_CHECKSUM_SOURCEFILEZEROLENGTH."},
    {0x2005, "ERROR_CHECKSUM_UNABLETOOPENSOURCE."},
    {0x2006, "ERROR_CHECKSUM_BADFILENAME."},
    {0x2007, "ERROR_CHECKSUM_CHECKSUMFILENOTOPENED."},
    {0x3001, "ERROR_MAKEDIR_FILEEXISTS."},
    {0x3002, "ERROR_MAKEDIR_DIRMAKEFAILED."},
}};

constexpr const char* kUnknownName = "ERROR_COPY_UNKNOWNERROR.";

} // namespace

const char* ErrorCodeName(uint16_t code) {
    for (const ErrorName& e : kErrorNames)
        if (e.code == code) return e.text;
    return kUnknownName;
}

uint16_t CmdPrintErrorCode(FILE*) {
    const uint16_t code = program().error_register;
    exec()->EXEC_Printf("Error Code 0x%04X = '%s'\n", unsigned{code}, ErrorCodeName(code));
    return 1;
}

uint16_t CmdPrintErrorCodeLcd(FILE* script) {
    char line[kArgumentBuffer];
    if (!ReadArgumentLine(script, line)) return 0;
    long value = 0;
    if (!ReadDecimal(line, value)) return 0;
    char text[kArgumentBuffer];
    std::snprintf(text, sizeof text, "Error Code 0x%04X", unsigned{program().error_register});
    LcdWriteLine(text, static_cast<uint16_t>(value));
    return 1;
}

} // namespace tolvanex
