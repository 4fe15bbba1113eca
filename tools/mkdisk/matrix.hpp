// mkdisk matrix: a disk run on every desk with every set of answers, the outcomes as a table, the
// script's coverage over all the runs, an HTML page of both, and transcripts of what the
// operator saw, recorded to be checked against later runs.
#pragma once

#include "desk_run.hpp"

#include <optional>
#include <string>
#include <vector>

namespace mkdisk {

struct MatrixOptions {
    fs::path disk;
    std::vector<std::string> desks;
    std::vector<std::string> answers; // as given, with escapes
    std::string script;               // empty: the program's default
    std::string html;
    std::string record;
    std::string check;
    unsigned jobs = 0;
    double time_limit_s = 60;
};

// The keys of an --answers text: \n Enter, \t Tab, \\ a backslash, \xNN any byte; nullopt (and
// the reason in problem) for any other escape.
std::optional<std::string> decode_answers(const std::string& text, std::string& problem);

// Runs the matrix and reports it; the exit status: 0, or 1 when a run went wrong or the check
// found differences. Throws RunError for bad input, RunStopped on a stop.
int matrix(const Bench& bench, const MatrixOptions& options);

} // namespace mkdisk
