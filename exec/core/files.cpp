// Buffered files and formatted console output: thin layers over C streams that add null checks,
// a bounded formatting buffer, the table's quiet flag and a length query that keeps the position.
#include "core/library.hpp"

#include <pcplat/win32.h>

#include <cstdarg>
#include <cstdio>

namespace vantrel {

namespace {

// The table's origins are the C library's.
static_assert(SEEK_SET == 0 && SEEK_CUR == 1 && SEEK_END == 2);

// Formats into a buffer of its own; text longer than the buffer is cut, never overflowed.
class FormattedText {
  public:
    FormattedText(const char* format, va_list args) {
        if (format == nullptr) return;
        const int wanted = std::vsnprintf(buffer_, sizeof buffer_, format, args);
        if (wanted <= 0) return;
        length_ = static_cast<size_t>(wanted) < sizeof buffer_ ? static_cast<size_t>(wanted)
                                                               : sizeof buffer_ - 1;
    }
    FormattedText(const FormattedText&) = delete;
    FormattedText& operator=(const FormattedText&) = delete;

    // Written as plain bytes: a '%' that came in through an argument is not a format again.
    int32_t write_to(FILE* file) const {
        if (length_ == 0) return 0;
        return static_cast<int32_t>(std::fwrite(buffer_, 1, length_, file));
    }

  private:
    char buffer_[kFormatBufferSize]{};
    size_t length_ = 0;
};

// Reading and writing may follow each other on an update stream only after a positioning call;
// a seek to where the stream already is satisfies that without moving it.
void reposition_here(FILE* file) {
    const long here = std::ftell(file);
    if (here >= 0) std::fseek(file, here, SEEK_SET);
}

} // namespace

} // namespace vantrel

extern "C" {

FILE* EXEC_FILEOpen(const char* name, const char* mode) {
    // The desk's file names are DOS paths.
    return win32_fopen(name, mode);
}

void EXEC_FILEClose(FILE* file) {
    if (file == nullptr) return;
    std::fflush(file);
    std::fclose(file);
}

uint32_t EXEC_FILERead(void* buffer, uint32_t size, uint32_t count, FILE* file) {
    if (file == nullptr || buffer == nullptr) return 0;
    vantrel::reposition_here(file);
    return static_cast<uint32_t>(std::fread(buffer, size, count, file));
}

uint32_t EXEC_FILEWrite(const void* buffer, uint32_t size, uint32_t count, FILE* file) {
    if (file == nullptr || buffer == nullptr) return 0;
    vantrel::reposition_here(file);
    return static_cast<uint32_t>(std::fwrite(buffer, size, count, file));
}

int32_t EXEC_FILESeek(FILE* file, int32_t offset, int32_t origin) {
    if (file == nullptr) return 1;
    return std::fseek(file, offset, origin);
}

int32_t EXEC_FILETell(FILE* file) {
    if (file == nullptr) return 0;
    return static_cast<int32_t>(std::ftell(file));
}

int32_t EXEC_FILEFlush(FILE* file) {
    if (file == nullptr) return 0;
    return std::fflush(file);
}

uint32_t EXEC_FILELength(FILE* file) {
    if (file == nullptr) return 0;
    const long position = std::ftell(file);
    // Without a position to return to, measuring would lose the caller's place.
    if (position < 0) return 0;
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
    std::fseek(file, position, SEEK_SET);
    return length < 0 ? 0 : static_cast<uint32_t>(length);
}

int32_t EXEC_FILEPrintf(FILE* file, const char* format, ...) {
    if (file == nullptr) return 0;
    va_list args;
    va_start(args, format);
    const vantrel::FormattedText text(format, args);
    va_end(args);
    return text.write_to(file);
}

int32_t EXEC_Printf(const char* format, ...) {
    const ExecTable* table = vantrel::exec();
    if (table != nullptr && table->quiet != 0) return 0;
    va_list args;
    va_start(args, format);
    const vantrel::FormattedText text(format, args);
    va_end(args);
    return text.write_to(stdout);
}

} // extern "C"
