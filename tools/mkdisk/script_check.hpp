// Reads an upgrade script the way the upgrade program does and finds what would go wrong on the
// desk before the disk leaves the building: labels that no LABEL defines (or that a forward
// search cannot reach), command words that are no command, argument lines the program would
// refuse, and COPY/COPYGFX sources that match nothing on the disk or are missing from its
// checksum list, and interface card images that UPLOADPCIF would not find or that the card would
// not take.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mkdisk {

struct Finding {
    int line = 0; // 1-based line of the command
    std::string text;
};

struct ScriptFacts {
    // Files the COPY source pattern matches on the disk (drive A:), as the desk finds them; empty
    // when nothing matches.
    std::function<std::vector<std::string>(const std::string& pattern)> matches;
    // Whether the checksum list holds a record for the name, compared as COPY does.
    std::function<bool(const std::string& name)> listed;
    // Whether a file of exactly this DOS path exists on the disk.
    std::function<bool(const std::string& path)> exists;
    // The bytes of the file at this DOS path on the disk; nullopt when it cannot be read.
    std::function<std::optional<std::vector<uint8_t>>(const std::string& path)> read;
};

// Every problem found in the script text, in script order.
std::vector<Finding> check_script(const std::string& text, const ScriptFacts& facts);

// A command of the script as the program meets it when it reads on from the start.
struct ScriptCommand {
    int line = 0;         // 1-based
    std::string word;     // the command's name, upper case: LABEL
    std::string argument; // the rest of its line (a LABEL's name), blanks at the ends trimmed
};

// Every command in the script text, in script order; words that are no command are left out.
std::vector<ScriptCommand> script_commands(const std::string& text);

} // namespace mkdisk
