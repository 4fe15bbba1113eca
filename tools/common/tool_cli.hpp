// What the desk tools share on their command lines, so they answer alike: "tool: what went
// wrong" on standard error, exit 1 for a failure and 2 for a wrong command line, --version with
// the library the tool runs on, and one set of packing method names.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace tools {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSignalBase = 128;
// parse(): the command line is good, go on.
constexpr int kGoOn = -1;

// "NAME: reason" on standard error, one line.
void report(const std::string& program, const std::string& reason);

// --version prints "NAME VERSION (LIBRARY)"; `library` says which library and version the tool
// runs on, and is called only when the flag is given.
void add_version_flag(CLI::App& app, std::function<std::string()> library);

// Parses the command line: kGoOn, or the status to end with (0 after --help and --version, which
// print to standard output; kExitUsage after a mistake, reported in one line). The footer is the
// top-level help's closing text, set here, once every subcommand is made: a subcommand takes its
// parent's footer when it is made, and the long text belongs to the top-level help only.
int parse(CLI::App& app, const std::string& footer, int argc, char** argv);

// The packing methods: "0" or "stored", "1" or "huffman", "2" or "lzw", "3" or "lzw-sized", and
// "best", every method keeping the smallest block.
constexpr int kBestMethod = -1;
CLI::Option* add_method_option(CLI::App* command, std::string& text);
// 0 to 3, or kBestMethod; the option has refused anything else.
int method_number(const std::string& text);

} // namespace tools
