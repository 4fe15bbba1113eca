// Debug output to "debug.txt". The function stack itself is TraceScope in library.hpp.
#include "core/library.hpp"

#include <cstdarg>
#include <cstdio>

namespace vantrel {

namespace {

constexpr const char* kDebugFileName = "debug.txt";
constexpr const char* kDebugFileMode = "at";
// The text is already formatted: it goes out through "%s" so that a '%' in it stays literal.
constexpr const char* kPlainText = "%s";

void write_debug_text(const char* text) {
    ExecTable* table = exec();
    // No interrupt handler or event callback may run (and write) in the middle of a message.
    const InterruptsOff quiet_interrupts;
    LibraryState& s = state();
    if (s.debug_file_open) {
        table->EXEC_FILEPrintf(s.debug_file, kPlainText, text);
        return;
    }
    // No file kept open: each message opens, appends and closes it.
    FILE* file = table->EXEC_FILEOpen(kDebugFileName, kDebugFileMode);
    if (file == nullptr) return; // nowhere to put it: the message is dropped
    table->EXEC_FILEPrintf(file, kPlainText, text);
    table->EXEC_FILEClose(file);
}

} // namespace

} // namespace vantrel

extern "C" void EXEC_DEBUGPrintf(const char* format, ...) {
    if ((vantrel::state().mode & vantrel::kModeDebug) == 0 || vantrel::exec() == nullptr) return;
    if (format == nullptr) return;
    char text[vantrel::kFormatBufferSize];
    va_list args;
    va_start(args, format);
    // Cut rather than overflow a text that does not fit.
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) return;
    vantrel::write_debug_text(text);
}
