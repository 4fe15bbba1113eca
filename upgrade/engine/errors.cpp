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
    {kNoError, "ERROR_NOERROR."},
    {kCopyUnknownError, "ERROR_COPY_UNKNOWNERROR."},
    {kCopyUnableToWriteDest, "ERROR_COPY_UNABLETOWRITEDEST."},
    {kCopyUnableToCreateDest, "ERROR_COPY_UNABLETOCREATEDEST."},
    {kCopyVerifyCompareFailed, "ERROR_COPY_VERIFYCOMPAREFAILED."},
    {kCopyVerifyReadFailed, "ERROR_COPY_VERIFYREADFAILED."},
    {kCopyUnableToOpenVerify, "ERROR_COPY_UNABLETOOPENVERIFY."},
    {kCopyDecompressionFailed, "ERROR_COPY_DECOMPRESSIONFAILED."},
    {kCopyVerifyAllocFailed, "ERROR_COPY_VERIFYALLOCFAILED."},
    {kCopyDecompAllocFailed, "ERROR_COPY_DECOMPALLOCFAILED."},
    {kCopyCompressedZeroLength, "ERROR_COPY_COMPRESSEDZEROLENGTH."},
    {kCopyChecksumError, "ERROR_COPY_CHECKSUMERROR."},
    {kCopyUnableToReadFile, "ERROR_COPY_UNABLETOREADFILE."},
    {kCopyMemoryAllocationFailed, "ERROR_COPY_MEMORYALLOCATIONFAILED."},
    {kCopySourceZeroLength, "ERROR_COPY_SOURCEZEROLENGTH."},
    {kCopyUnableToOpenSource, "ERROR_COPY_UNABLETOOPENSOURCE."},
    {kChecksumMismatch, "ERROR_CHECKSUM_CHECKSUMMISMATCH."},
    {kChecksumFileReadFailed, "ERROR_CHECKSUM_FILEREADFAILED."},
    {kChecksumMemoryAllocationFailed, "ERROR_CHECKSUM_MEMORYALLOCATIONFAILED."},
    {kChecksumSourceFileZeroLength, "ERROR_CHECKSUM_SOURCEFILEZEROLENGTH."},
    {kChecksumUnableToOpenSource, "ERROR_CHECKSUM_UNABLETOOPENSOURCE."},
    {kChecksumBadFileName, "ERROR_CHECKSUM_BADFILENAME."},
    {kChecksumFileNotOpened, "ERROR_CHECKSUM_CHECKSUMFILENOTOPENED."},
    {kMakeDirFileExists, "ERROR_MAKEDIR_FILEEXISTS."},
    {kMakeDirFailed, "ERROR_MAKEDIR_DIRMAKEFAILED."},
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
