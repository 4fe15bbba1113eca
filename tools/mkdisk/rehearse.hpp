// mkdisk rehearse: the power fails after each step of a disk's run that changes the desk's
// lasting state; the desk boots and runs the disk again from its start, and what it holds then is
// compared with what an uninterrupted run leaves.
#pragma once

#include "desk_run.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace mkdisk {

struct RehearseOptions {
    fs::path disk;
    std::string desk;
    std::string answers; // as given, with escapes
    std::string script;  // empty: the program's default
    uint64_t every = 1;  // cut after steps every, 2 * every, ...
    unsigned jobs = 0;
    double time_limit_s = 60;
};

// Runs the rehearsal and reports it; the exit status: 0, or 1 when a cut point differs or its run
// failed. Throws RunError for bad input, RunStopped on a stop.
int rehearse(const Bench& bench, const RehearseOptions& options);

} // namespace mkdisk
