#include "tool_cli.hpp"

#include <cstdio>
#include <exception>
#include <utility>

namespace tools {

void report(const std::string& program, const std::string& reason) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), reason.c_str());
}

void add_version_flag(CLI::App& app, std::function<std::string()> library) {
    app.set_version_flag(
        "--version",
        [name = app.get_name(), library = std::move(library)] {
            std::string line = name + " " DESK_VERSION;
            try {
                line += " (" + library() + ")";
            } catch (const std::exception& e) {
                line += " (" + std::string(e.what()) + ")";
            }
            return line;
        },
        "Show the version of the program and of its library, and exit");
}

int parse(CLI::App& app, const std::string& footer, int argc, char** argv) {
    app.footer(footer);
    try {
        app.parse(argc, argv);
        return kGoOn;
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string reason = e.what();
        for (char& c : reason)
            if (c == '\n') c = ' ';
        report(app.get_name(), reason + " (see " + app.get_name() + " --help)");
        return kExitUsage;
    }
}

CLI::Option* add_method_option(CLI::App* command, std::string& text) {
    return command
        ->add_option("-m,--method", text,
                     "0|stored, 1|huffman, 2|lzw, 3|lzw-sized or best (the default)")
        ->type_name("METHOD")
        ->check(
            CLI::IsMember({"0", "1", "2", "3", "stored", "huffman", "lzw", "lzw-sized", "best"}));
}

int method_number(const std::string& text) {
    if (text == "best") return kBestMethod;
    if (text == "0" || text == "stored") return 0;
    if (text == "1" || text == "huffman") return 1;
    if (text == "2" || text == "lzw") return 2;
    return 3;
}

} // namespace tools
