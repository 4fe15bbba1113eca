// vpack: packs and unpacks files for upgrade disks (packed blocks, packed disk files, .Z files).
#include "blocks.hpp"
#include "io.hpp"
#include "tool_cli.hpp"
#include "zfile.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vpack;

namespace {

using tools::kExitFailed;
using tools::kExitOk;
static_assert(tools::kBestMethod == kBestMethod);
constexpr const char* kProgram = "vpack";
constexpr const char* kBlockSuffix = ".pk";
constexpr const char* kZSuffix = ".Z";

constexpr const char* kDescription =
    "Packs and unpacks files for upgrade disks: packed blocks, packed disk files and .Z files.";
constexpr const char* kFooter = R"(
Methods (-m):
  0, stored      the data as it is (the block is 5 bytes longer than the data)
  1, huffman     static Huffman coding of bytes
  2, lzw         the LZW code stream of 16-bit compress
  3, lzw-sized   the same stream, with the packer's hash table sized to the data
  best           every method, keeping the smallest block (ties: the lower method)
A method that does not make the data smaller stores it instead; pack and disk say so.

Packed disk files:
  The upgrade program unpacks each file of the upgrade disk whose name ends in '_' and installs
  it under its name with the last character put back: report.tx_ installs as report.txt. Byte 0
  of the file is that character; a packed block follows. Empty files cannot be packed (the desk
  refuses them), nor files whose name ends in '_' already.

.Z files:
  z and unz read and write the files of compress with 16-bit codes in block mode (its default),
  which uncompress and gzip -d read. .Z files made with fewer bits (compress -b12) are refused.

Outputs appear complete or not at all (written under a temporary name, renamed at the end). An
existing output is replaced only with -f. -o - writes to standard output.

Examples:
  vpack disk report.txt -o disk         makes disk/report.tx_ with the smallest block
  vpack disk -m huffman *.dll -o disk   every file Huffman-packed
  vpack info disk/*_                    method, sizes and installed name of each file
  vpack undisk disk/report.tx_ -o out   out/report.txt, as the desk would install it
  vpack z big.log                       big.log.Z; uncompress -c big.log.Z gives big.log

Output folders (-o) are made when missing.

Exit status: 0 done; 1 failed, with one line per failure on standard error; 2 a wrong command
line; 128 + N stopped by signal N.)";

void report(const std::string& reason) {
    tools::report(kProgram, reason);
}

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string file_name(const std::string& path) {
    return fs::path(path).filename().string();
}

// dir/name; an empty dir is the current folder.
std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool is_folder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The default output of unpack and unz: the input's name without its suffix.
std::string strip_suffix(const std::string& path, const std::string& suffix) {
    if (path.size() > suffix.size() && path.ends_with(suffix) &&
        !file_name(path.substr(0, path.size() - suffix.size())).empty())
        return path.substr(0, path.size() - suffix.size());
    throw Failure(path + ": name the output with -o (the name does not end in " + suffix + ")");
}

// "LZW, 12345 -> 6789 bytes (55.0%)", and why a method was not used.
std::string pack_summary(int requested, uint8_t used, uint64_t unpacked, uint64_t packed) {
    std::string text = std::string(method_name(used)) + ", " + std::to_string(unpacked) + " -> " +
                       std::to_string(packed) + " bytes (" + percent_of(packed, unpacked) + ")";
    if (requested != kBestMethod && requested != used)
        text += "; " + std::string(method_name(static_cast<uint8_t>(requested))) +
                " does not make it smaller";
    return text;
}

int run_pack(const std::string& in, std::string out_path, int method, bool force) {
    InputFile input(in);
    if (out_path.empty()) out_path = in + kBlockSuffix;
    OutputFile out(out_path, force);
    Progress progress(in, input.size_hint());
    const Bytes data = input.read_all(progress);
    const Bytes block = pack_block(data.data(), data.size(), method, 0, in, progress);
    write_all(out, block.data(), block.size(), progress);
    progress.clear();
    if (!out.is_stdout())
        say(out.path() + ": " + pack_summary(method, block[0], data.size(), block.size()));
    return kExitOk;
}

int run_unpack(const std::string& in, std::string out_path, bool force) {
    InputFile input(in);
    if (out_path.empty()) out_path = strip_suffix(in, kBlockSuffix);
    OutputFile out(out_path, force);
    Progress progress(in, input.size_hint());
    const Bytes block = input.read_all(progress);
    const Bytes data = unpack_block(block.data(), block.size(), in, progress);
    write_all(out, data.data(), data.size(), progress);
    return kExitOk;
}

// One file of info; Failure when it is neither a readable block, disk file nor .Z file.
void describe(const std::string& path) {
    InputFile input(path);
    Progress progress(path, input.size_hint());
    const Bytes bytes = input.read_all(progress);
    const std::string name = file_name(path);
    std::string text;
    const auto row = [&](const char* label, const std::string& value) {
        text += std::string("  ") + label + std::string(13 - std::string(label).size(), ' ') +
                value + "\n";
    };
    if (!name.empty() && name.back() == '_') {
        if (bytes.size() == 0) throw Failure(path + ": is empty");
        const std::string installed = installed_name(name, bytes[0]);
        const BlockHeader header = inspect_block(bytes.data() + 1, bytes.size() - 1, path);
        text = path + ": packed disk file\n";
        row("installs as", installed);
        row("method", std::to_string(header.method) + " (" + method_name(header.method) + ")");
        row("unpacked", std::to_string(header.length) + " bytes");
        row("block", std::to_string(bytes.size() - 1) + " bytes (" +
                         percent_of(bytes.size() - 1, header.length) + " of unpacked)");
    } else if (is_z(bytes.data(), bytes.size())) {
        const uint64_t length = unpack_z(bytes.data(), bytes.size(), path, nullptr, progress);
        text = path + ": .Z file\n";
        row("codes", "9 to 16 bits, block mode");
        row("unpacked", std::to_string(length) + " bytes");
        row("packed", std::to_string(bytes.size()) + " bytes (" + percent_of(bytes.size(), length) +
                          " of unpacked)");
    } else {
        const BlockHeader header = inspect_block(bytes.data(), bytes.size(), path);
        text = path + ": packed block\n";
        row("method", std::to_string(header.method) + " (" + method_name(header.method) + ")");
        row("unpacked", std::to_string(header.length) + " bytes");
        row("block", std::to_string(bytes.size()) + " bytes (" +
                         percent_of(bytes.size(), header.length) + " of unpacked)");
    }
    progress.clear();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// Runs one step per file; a failed file is reported and the others still run.
template <class Step>
int for_each_file(const std::vector<std::string>& files, Step step) {
    int status = kExitOk;
    for (const std::string& file : files) {
        try {
            step(file);
        } catch (const Failure& failure) {
            report(failure.what());
            status = kExitFailed;
        }
    }
    return status;
}

int run_disk(const std::vector<std::string>& files, const std::string& out_dir, int method,
             bool force) {
    return for_each_file(files, [&](const std::string& in) {
        InputFile input(in); // a folder or a missing file is refused before its name
        const std::string installed = file_name(in);
        const std::string packed_name = disk_name(installed);
        const std::string dir = out_dir.empty() ? fs::path(in).parent_path().string() : out_dir;
        OutputFile out(join(dir, packed_name), force);
        Progress progress(in, input.size_hint());
        const Bytes data = input.read_all(progress);
        Bytes file = pack_block(data.data(), data.size(), method, 1, in, progress);
        file[0] = static_cast<uint8_t>(installed.back());
        write_all(out, file.data(), file.size(), progress);
        progress.clear();
        say(out.path() + ": installs as " + installed + "; " +
            pack_summary(method, file[1], data.size(), file.size()));
    });
}

int run_undisk(const std::vector<std::string>& files, const std::string& out_option, bool force) {
    // -o is a folder when it is one, or ends in '/' (made when missing); else it is the file.
    const bool into_folder = !out_option.empty() && out_option != "-" &&
                             (is_folder(out_option) || out_option.back() == '/');
    if (files.size() > 1 && !out_option.empty() && !into_folder)
        throw Failure(out_option +
                      ": with several files, -o must name a folder (end it in '/' to make one)");
    return for_each_file(files, [&](const std::string& in) {
        const std::string name = file_name(in);
        check_disk_file_name(name);
        InputFile input(in);
        Progress progress(in, input.size_hint());
        const Bytes bytes = input.read_all(progress);
        if (bytes.size() == 0) throw Failure(in + ": is empty");
        // Byte 0 matters only where it makes the output's name.
        std::string out_path = out_option;
        if (out_path.empty())
            out_path = join(fs::path(in).parent_path().string(), installed_name(name, bytes[0]));
        if (into_folder) out_path = join(out_option, installed_name(name, bytes[0]));
        OutputFile out(out_path, force);
        const Bytes data = unpack_block(bytes.data() + 1, bytes.size() - 1, in, progress);
        write_all(out, data.data(), data.size(), progress);
        progress.clear();
        if (!out.is_stdout())
            say(in + ": installed as " + out.path() + " (" + std::to_string(data.size()) +
                " bytes)");
    });
}

int run_z(const std::string& in, std::string out_path, bool force) {
    InputFile input(in);
    if (out_path.empty()) out_path = in + kZSuffix;
    OutputFile out(out_path, force);
    Progress progress(in, input.size_hint());
    const Bytes data = input.read_all(progress);
    const Bytes z = make_z(data.data(), data.size(), in, progress);
    write_all(out, z.data(), z.size(), progress);
    return kExitOk;
}

int run_unz(const std::string& in, std::string out_path, bool force) {
    InputFile input(in);
    if (out_path.empty()) out_path = strip_suffix(in, kZSuffix);
    OutputFile out(out_path, force);
    Progress progress(in, input.size_hint());
    const Bytes z = input.read_all(progress);
    unpack_z(z.data(), z.size(), in, &out, progress);
    out.commit();
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, kProgram};
    tools::add_version_flag(app, library_version);
    app.require_subcommand(1);
    app.get_formatter()->column_width(28);

    std::string in;
    std::vector<std::string> ins;
    std::string out;
    std::string method_text = "best";
    bool force = false;
    const auto method_option = [&](CLI::App* command) {
        tools::add_method_option(command, method_text);
    };
    const auto force_flag = [&](CLI::App* command) {
        command->add_flag("-f,--force", force, "Replace an existing output");
    };

    CLI::App* pack = app.add_subcommand("pack", "Pack a file into a packed block");
    pack->add_option("IN", in, "The file to pack")->required();
    pack->add_option("-o,--output", out, "The block (default IN.pk)")->type_name("FILE");
    method_option(pack);
    force_flag(pack);

    CLI::App* unpack = app.add_subcommand("unpack", "Unpack a packed block");
    unpack->add_option("IN", in, "The block")->required();
    unpack->add_option("-o,--output", out, "The unpacked file (default IN without .pk)")
        ->type_name("FILE");
    force_flag(unpack);

    CLI::App* info = app.add_subcommand(
        "info", "Show the method, sizes and installed name of blocks, disk files and .Z files");
    info->add_option("FILE", ins, "Packed blocks, packed disk files (NAME_) or .Z files")
        ->required();

    CLI::App* disk = app.add_subcommand(
        "disk", "Make packed disk files: NAME.EXT becomes NAME.EX_, installed as NAME.EXT");
    disk->add_option("IN", ins, "The files as they are to be installed")->required();
    disk->add_option("-o,--output", out, "The folder for the packed files (default: beside each)")
        ->type_name("DIR");
    method_option(disk);
    force_flag(disk);

    CLI::App* undisk =
        app.add_subcommand("undisk", "Unpack packed disk files as the desk installs them");
    undisk->add_option("IN", ins, "Packed disk files (names ending in '_')")->required();
    undisk
        ->add_option("-o,--output", out,
                     "A folder (ending in '/' makes it when missing), or the output file for "
                     "one input (default: the installed name beside each)")
        ->type_name("PATH");
    force_flag(undisk);

    CLI::App* z = app.add_subcommand("z", "Make a .Z file (compress, 16-bit codes)");
    z->add_option("IN", in, "The file to pack")->required();
    z->add_option("-o,--output", out, "The .Z file (default IN.Z)")->type_name("FILE");
    force_flag(z);

    CLI::App* unz = app.add_subcommand("unz", "Unpack a .Z file made with 16-bit codes");
    unz->add_option("IN", in, "The .Z file")->required();
    unz->add_option("-o,--output", out, "The unpacked file (default IN without .Z)")
        ->type_name("FILE");
    force_flag(unz);

    if (const int status = tools::parse(app, kFooter, argc, argv); status != tools::kGoOn) {
        close_library(); // --version opened it
        return status;
    }

    install_signal_handlers();
    const int method = tools::method_number(method_text);
    int status = kExitFailed;
    try {
        if (pack->parsed()) status = run_pack(in, out, method, force);
        if (unpack->parsed()) status = run_unpack(in, out, force);
        if (info->parsed()) status = for_each_file(ins, describe);
        if (disk->parsed()) status = run_disk(ins, out, method, force);
        if (undisk->parsed()) status = run_undisk(ins, out, force);
        if (z->parsed()) status = run_z(in, out, force);
        if (unz->parsed()) status = run_unz(in, out, force);
    } catch (const Failure& failure) {
        report(failure.what());
        status = kExitFailed;
    } catch (const Interrupted& interrupted) {
        status = tools::kExitSignalBase + interrupted.signal_number;
    } catch (const std::bad_alloc&) {
        report("not enough memory");
        status = kExitFailed;
    } catch (const std::exception& e) {
        report(e.what());
        status = kExitFailed;
    }
    close_library();
    return status;
}
