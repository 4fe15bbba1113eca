// The upgrade program: opens the runtime library, maps the card windows and runs the upgrade
// description file.
#include "engine/program.hpp"

#include <pcplat/host.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

namespace tolvanex {

namespace {

constexpr int kExitUsage = 64;
// Nothing ran: a dry run in a script must tell a wrong folder from a good upgrade.
constexpr int kExitNoScript = 6;
constexpr int kExitNoLibrary = 7;

void print_usage() {
    std::printf("Usage: tolvanex [SCRIPT | --help | --version]\n"
                "Carries out the upgrade description file SCRIPT (default \"tolvanex.des\" in the\n"
                "current directory, which is drive A:) on the desk. The desk is the simulated\n"
                "one named by DESKSIM (see desksim --help).\n"
                "Exit status: 0 at the end of the script, 1 after a failed run, 2 after STOP,\n"
                "6 when the script cannot be opened, 7 when the runtime library cannot be\n"
                "opened (see the README for the others).\n");
}

// The version of the program and of the runtime library it loads. The library is opened on the
// built-in desk, away from any desk in DESKSIM (a program may be running on it) and with the
// keyboard off standard input.
int print_version() {
    host_use_builtin_desk();
    ExecTable* exec = EXEC_OpenExec(0);
    if (!exec) {
        std::fprintf(stderr, "tolvanex: the runtime library cannot be opened\n");
        return kExitNoLibrary;
    }
    std::printf("tolvanex %s (runtime library %u.%u.%u)\n", DESK_VERSION, exec->version,
                exec->revision, exec->subrevision);
    EXEC_CloseExec();
    return 0;
}

} // namespace

} // namespace tolvanex

using namespace tolvanex;

int main(int argc, char** argv) {
    // COPY holds each file whole, and its read-back, and frees both before the next file. Kept in
    // the heap instead of being mapped and given back each time, the next file's buffers reuse
    // pages that are already there: a fresh page costs a fault, more than the copying it holds.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
    if (argc == 2) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0) {
            print_usage();
            return 0;
        }
        if (std::strcmp(argv[1], "--version") == 0) return print_version();
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
    MapCardWindows();
    const bool ran = RunScript();
    FreeCardWindows();
    EXEC_CloseExec();
    return ran ? 0 : kExitNoScript;
}
