// What the fuzz targets share: the runtime library open on a simulated desk with a manual clock
// (no watcher thread, no terminal), made once per process, and a way to say "this is a bug".
#pragma once

#include "machine/machine.hpp"

#include <vantrel/exec.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace fuzz {

// The first call makes the desk (drive A: is start_dir, or a temporary folder) and opens the
// library on it; later calls return the same table.
inline ExecTable& library(const std::filesystem::path& start_dir = {}) {
    static std::unique_ptr<pcplat::Machine> machine = [&] {
        pcplat::MachineOptions options;
        options.manual_clock = true;
        options.start_dir = start_dir;
        auto made = std::make_unique<pcplat::Machine>(options);
        pcplat::Machine::install(made.get());
        return made;
    }();
    static ExecTable* table = EXEC_OpenExec(0);
    if (!table) {
        std::fprintf(stderr, "fuzz: the runtime library does not open\n");
        std::abort();
    }
    return *table;
}

// Bytes of an owner's blocks still allocated.
inline uint32_t in_use(uint16_t owner) {
    uint32_t peak = 0, current = 0;
    char name[64] = {};
    library().EXEC_MEMGetUsage(owner, &peak, &current, name);
    return current;
}

// A broken promise of the code under test: the fuzzer keeps the input that shows it.
[[noreturn]] inline void bug(const char* what) {
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

} // namespace fuzz
