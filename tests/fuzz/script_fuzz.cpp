// A whole run of an arbitrary upgrade script on a small upgrade disk, bounded: the operator's
// answers come from the input and run out, a halt ends the run instead of the process, and
// backward jumps are counted so a script that loops for ever is cut short. The program's own
// calls to the platform's halt, keys and rewind are wrapped at link time (--wrap), so nothing
// of the program or the platform is changed for it.
#include "filecmds/filecmds.hpp"
#include "upgrade_disk.hpp"

#include <pcplat/cpu.h>
#include <pcplat/win32.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

struct RunEnded {}; // a halt, answers that ran out, or too many backward jumps

constexpr int kLongestLoop = 32;
std::string g_answers;
size_t g_next_answer = 0;
int g_rewinds = 0;
FILE* g_script = nullptr;
ExecTable g_real{};

FILE* open_recorded(const char* path, const char* mode) {
    FILE* file = g_real.EXEC_FILEOpen(path, mode);
    if (file && path && std::string(path) == "tolvanex.des") g_script = file;
    return file;
}
void close_recorded(FILE* file) {
    if (file == g_script) g_script = nullptr;
    g_real.EXEC_FILEClose(file);
}

} // namespace

extern "C" {
[[noreturn]] void __wrap_cpu_halt(int) {
    throw RunEnded{};
}
int __wrap_console_key_waiting(void) {
    if (g_next_answer == g_answers.size()) throw RunEnded{};
    return 1;
}
int __wrap_console_read_key(void) {
    if (g_next_answer == g_answers.size()) throw RunEnded{};
    return static_cast<unsigned char>(g_answers[g_next_answer++]);
}
void __real_rewind(FILE* file);
void __wrap_rewind(FILE* file) {
    if (++g_rewinds > kLongestLoop) throw RunEnded{};
    __real_rewind(file);
}
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The screens of thousands of runs are of no use; the fuzzer reports on standard error.
    std::fflush(stdout);
    if (FILE* null = std::fopen("/dev/null", "w")) dup2(fileno(null), STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        LLVMFuzzerInitialize(nullptr, nullptr);
        fuzz::upgrade_disk();
        ExecTable* exec = tolvanex::exec();
        g_real = *exec;
        exec->EXEC_FILEOpen = open_recorded;
        exec->EXEC_FILEClose = close_recorded;
        return true;
    }();
    (void)ready;
    fuzz::UpgradeDisk& disk = fuzz::upgrade_disk();
    disk.lay_out();
    // The script, then after a NUL byte the keys the operator presses.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    fuzz::write_file(disk.root() / "tolvanex.des", input.substr(0, split));
    g_answers = split == std::string::npos ? "" : input.substr(split + 1);
    g_next_answer = 0;
    g_rewinds = 0;
    try {
        tolvanex::RunScript();
    } catch (const RunEnded&) {
    }
    if (g_script) close_recorded(g_script); // a halt leaves the script open, as on the desk
    if (!fuzz::known_code(tolvanex::program().error_register))
        fuzz::bug("the error register holds a code no command writes");
    // The trace may be left deep only by a halt inside a command, which unwinds here; the
    // entries are popped by then.
    if (*tolvanex::exec()->function_depth != 0) fuzz::bug("the function stack is not at depth 0");
    if (fuzz::in_use(0) != 0) fuzz::bug("file buffers were not given back");
    return 0;
}
