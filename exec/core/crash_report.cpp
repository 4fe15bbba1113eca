// The crash report: what a field engineer reads when a program dies of a general-protection
// fault or a page fault. It names the exception and the service (and the step in it) that was
// running, from the function stack.
#include "core/library.hpp"

#include <pcplat/dos.h>
#include <pcplat/dpmi.h>

#include <array>
#include <cstring>
#include <string_view>

namespace vantrel {

namespace {

constexpr uint8_t kHandledExceptions[] = {DPMI_EXCEPTION_GP, DPMI_EXCEPTION_PAGE};
constexpr uint16_t kStandardOutput = 1;
constexpr int kHexDigits = 8;
// The exception number plus this is the character after "Exception 0": D for 13, E for 14.
constexpr char kExceptionDigitBase = 0x37;

// Report templates; the placeholders are overwritten before each write.
constexpr std::string_view kExceptionLine = "Exception 0_ at 0x________. \r\n";
constexpr size_t kExceptionDigit = 11;
constexpr size_t kExceptionPosition = 18;
constexpr std::string_view kErrorCodeLine = "Error Code : 0x________.\r\n";
constexpr size_t kErrorCodeValue = 15;
constexpr std::string_view kRegisterField = "     : 0x________  ";
constexpr size_t kRegisterName = 0;
constexpr size_t kRegisterNameWidth = 4;
constexpr size_t kRegisterValue = 9;
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kStackHeading = "Function Stack is : \r\n";
constexpr std::string_view kStackEntry = "   0x________.\r\n";
constexpr size_t kStackEntryValue = 5;
static_assert(kExceptionLine.size() == 30 && kErrorCodeLine.size() == 26 &&
              kRegisterField.size() == 19 && kStackHeading.size() == 22 &&
              kStackEntry.size() == 16);

constexpr int kFieldsPerLine = 4;

// The handlers found at the open, to pass each exception on to.
struct SavedHandlers {
    FarPtr saved[2]{};
    bool installed[2]{};
};
SavedHandlers g_crash;

void put_hex(char* at, uint32_t value) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = kHexDigits - 1; i >= 0; --i, value >>= 4)
        at[i] = kDigits[value & 0xF];
}

// Straight to handle 1, not through the buffered streams: they may be what broke.
void write_out(const char* text, size_t length) {
    dos_write(kStandardOutput, text, static_cast<uint16_t>(length), nullptr);
}

template <size_t N>
void write_out(const std::array<char, N>& text, size_t length = N) {
    write_out(text.data(), length);
}

template <size_t N>
std::array<char, N> from_template(std::string_view text) {
    std::array<char, N> buffer{};
    std::memcpy(buffer.data(), text.data(), N);
    return buffer;
}

struct Register {
    const char* name;
    uint32_t value;
};

void write_register_line(const Register (&registers)[kFieldsPerLine]) {
    constexpr size_t kField = kRegisterField.size();
    std::array<char, kField * kFieldsPerLine + kLineEnd.size()> line{};
    for (int i = 0; i < kFieldsPerLine; ++i) {
        char* field = line.data() + i * kField;
        std::memcpy(field, kRegisterField.data(), kField);
        const size_t name_length = std::strlen(registers[i].name);
        std::memcpy(field + kRegisterName + kRegisterNameWidth - name_length, registers[i].name,
                    name_length);
        put_hex(field + kRegisterValue, registers[i].value);
    }
    std::memcpy(line.data() + kField * kFieldsPerLine, kLineEnd.data(), kLineEnd.size());
    write_out(line);
}

// The entries as the library keeps them. A depth past the array's end (deeper than 500 calls)
// reads the word that took those marks; a broken depth cannot make the report read outside
// the stack.
void write_report(const DpmiExceptionFrame& frame) {
    const LibraryState& s = state();
    const int32_t depth = s.function_depth;
    uint32_t position = 0;
    if (depth >= 0 && depth < kFunctionStackEntries)
        position = s.function_stack[depth];
    else if (depth >= kFunctionStackEntries)
        position = s.trace_sink;

    auto first = from_template<kExceptionLine.size()>(kExceptionLine);
    first[kExceptionDigit] = static_cast<char>(s.crash_exception + kExceptionDigitBase);
    put_hex(first.data() + kExceptionPosition, position);
    write_out(first);

    auto error = from_template<kErrorCodeLine.size()>(kErrorCodeLine);
    put_hex(error.data() + kErrorCodeValue, s.crash_error_code);
    write_out(error);

    write_register_line(
        {{"EAX", frame.eax}, {"EBX", frame.ebx}, {"ECX", frame.ecx}, {"EDX", frame.edx}});
    write_register_line(
        {{"ESI", frame.esi}, {"EDI", frame.edi}, {"DS", frame.ds}, {"ES", frame.es}});

    write_out(kStackHeading.data(), kStackHeading.size());
    const int32_t listed = depth < 0 ? 0 : std::min<int32_t>(depth, kFunctionStackEntries);
    auto entry = from_template<kStackEntry.size()>(kStackEntry);
    for (int32_t i = 0; i < listed; ++i) {
        put_hex(entry.data() + kStackEntryValue, s.function_stack[i]);
        write_out(entry);
    }
}

int slot_of(uint8_t exception) {
    return exception == DPMI_EXCEPTION_GP ? 0 : 1;
}

void on_exception(DpmiExceptionFrame* frame) {
    LibraryState& s = state();
    // Cleared before the call: a routine that faults itself must not run again.
    if (void (*restore)(void) = s.graphics_restore) {
        s.graphics_restore = nullptr;
        restore();
    }
    if (!s.crash_report_written) {
        s.crash_report_written = 1;
        s.crash_exception = frame->exception;
        s.crash_error_code = frame->error_code;
        write_report(*frame);
    }
    dpmi_chain_exception(g_crash.saved[slot_of(frame->exception)], frame);
}

} // namespace

void install_exception_handlers() {
    const FarPtr mine = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&on_exception)),
                         cpu_code_selector()};
    for (uint8_t exception : kHandledExceptions) {
        const int slot = slot_of(exception);
        FarPtr previous{};
        if (!dpmi_get_exception(exception, &previous)) return;
        // A second open finds our own handler: passing on to it would never end.
        if (previous.offset != mine.offset || previous.selector != mine.selector)
            g_crash.saved[slot] = previous;
        if (!dpmi_set_exception(exception, mine)) return;
        g_crash.installed[slot] = true;
    }
}

void restore_exception_handlers() {
    for (uint8_t exception : kHandledExceptions) {
        const int slot = slot_of(exception);
        if (!g_crash.installed[slot]) continue;
        dpmi_set_exception(exception, g_crash.saved[slot]);
        g_crash.installed[slot] = false;
    }
}

} // namespace vantrel

extern "C" void E_SetGFXActive(void (*restore)(void)) {
    vantrel::state().graphics_restore = restore;
}
