// rsctool: makes, lists and edits resource files (typed, numbered data blocks in one file)
// through the runtime library's own resource file services.
#include "blocks.hpp"
#include "io.hpp"
#include "tool_cli.hpp"

#include <pcplat/host.h>
#include <vantrel/exec.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using vpack::Bytes;
using vpack::Failure;

namespace {

using tools::kExitFailed;
using tools::kExitOk;
constexpr const char* kProgram = "rsctool";
constexpr const char* kWorkName = "WORK.RSC";
constexpr size_t kHeaderBytes = 14;
constexpr size_t kCountOffset = 12;

constexpr const char* kDescription =
    "Makes, lists and edits resource files: data blocks named by a 4-byte type and a 16-bit id.";
constexpr const char* kFooter = R"(
Entries are named TYPE:ID. TYPE is 1 to 4 characters, filled up with spaces to 4 ("TXT"
is "TXT "); ID is 0 to 65535. Examples: TEXT:1, ICON:200, "DAT :7".

Packed entries hold a packed block (method byte, unpacked length, payload) as the desk's
programs store them. add -m packs with a method (names as vpack's: stored, huffman, lzw,
lzw-sized, best); extract -u unpacks. list shows which entries hold a packed block; the file
itself does not mark them, so a plain entry that happens to start like one is shown as packed.

Every change is made on a copy and the file is replaced only when the change is complete.
create keeps an existing file unless -f; add refuses an entry that exists unless -f.

Examples:
  rsctool create game.rsc
  rsctool add game.rsc TEXT:1 readme.txt          stored as it is
  rsctool add game.rsc -m lzw DATA:7 level.dat    stored packed
  rsctool list game.rsc
  rsctool extract game.rsc -u DATA:7 -o level.dat
  rsctool delete game.rsc TEXT:1
  rsctool index game.rsc                          builds the lookup index

Exit status: 0 done; 1 failed, with one line on standard error; 2 a wrong command line; 128 + N
stopped by signal N.)";

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

struct EntryName {
    char type[4];
    uint16_t id = 0;
};

EntryName parse_entry(const std::string& text) {
    const size_t colon = text.rfind(':');
    const std::string type = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string id = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (type.empty() || type.size() > 4 || id.empty() || id.size() > 5 ||
        id.find_first_not_of("0123456789") != std::string::npos || std::stoul(id) > 65535)
        throw Failure(text + ": not an entry name (TYPE:ID, TYPE 1 to 4 characters, ID 0 to "
                             "65535)");
    EntryName entry;
    std::memset(entry.type, ' ', 4);
    std::memcpy(entry.type, type.data(), type.size());
    entry.id = static_cast<uint16_t>(std::stoul(id));
    return entry;
}

std::string show_type(const char* type) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(type[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

std::string show(const EntryName& e) {
    return show_type(e.type) + ":" + std::to_string(e.id);
}

// The library runs on a desk of its own whose drive A: is a private folder holding a copy of
// the resource file; the copy goes back into place only once a change is complete.
class Workspace {
  public:
    Workspace() {
        std::string pattern = (fs::temp_directory_path() / "rsctool-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw Failure("cannot make a working folder");
        folder_ = pattern;
    }
    ~Workspace() {
        if (table_) EXEC_CloseExec();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    ExecTable& library() {
        if (table_) return *table_;
        host_use_builtin_desk();
        const fs::path here = fs::current_path();
        fs::current_path(folder_);
        table_ = EXEC_OpenExec(0);
        fs::current_path(here);
        if (!table_) throw Failure("the runtime library cannot start");
        table_->quiet = 1; // the services' console messages are ours to word
        vpack::install_signal_handlers();
        return *table_;
    }

    // Copies the resource file in (its header is checked by the library's open).
    void load(const std::string& path) {
        vpack::InputFile input(path);
        vpack::Progress progress(path, input.size_hint());
        const Bytes bytes = input.read_all(progress);
        put(bytes.data(), bytes.size());
        library();
    }
    void put(const uint8_t* data, size_t size) {
        vpack::OutputFile out((folder_ / kWorkName).string(), true);
        out.write(data, size);
        out.commit();
    }
    Bytes contents() {
        vpack::InputFile input((folder_ / kWorkName).string());
        vpack::Progress progress(kWorkName, input.size_hint());
        return input.read_all(progress);
    }
    // Puts the changed copy in place of path.
    void save(const std::string& path, bool replace) {
        const Bytes bytes = contents();
        vpack::OutputFile out(path, replace);
        vpack::Progress progress(path, bytes.size());
        vpack::write_all(out, bytes.data(), bytes.size(), progress);
    }

  private:
    fs::path folder_;
    ExecTable* table_ = nullptr;
};

// An open handle on the working copy, closed with the object.
class Resource {
  public:
    Resource(ExecTable& t, const std::string& shown) : t_(t) {
        rsc_ = t_.EXEC_RSCOpen(kWorkName);
        if (!rsc_) throw Failure(shown + ": not a resource file");
    }
    ~Resource() { t_.EXEC_RSCClose(rsc_); }
    Resource(const Resource&) = delete;
    Resource& operator=(const Resource&) = delete;
    RSCFile* get() { return rsc_; }

  private:
    ExecTable& t_;
    RSCFile* rsc_ = nullptr;
};

uint16_t entry_count(Workspace& work) {
    const Bytes bytes = work.contents();
    if (bytes.size() < kHeaderBytes) return 0;
    return static_cast<uint16_t>(bytes[kCountOffset] | bytes[kCountOffset + 1] << 8);
}

// The entry's stored bytes; the handle then stands after them.
std::vector<uint8_t> read_entry(ExecTable& t, RSCFile* rsc, uint32_t size,
                                const std::string& what) {
    std::vector<uint8_t> data(size);
    if (size != 0 && t.EXEC_RSCRead(rsc, size, data.data()) != size)
        throw Failure(what + ": cannot be read");
    return data;
}

// The method and unpacked length when the stored bytes are a packed block the library can
// unpack; method -1 otherwise.
struct Packing {
    int method = -1;
    uint32_t length = 0;
};
// The unpacked length a packed block's header names, when the bytes start like one and the
// length is one a buffer can have: plain bytes that only look like a header can name any.
std::optional<uint32_t> claimed_length(const std::vector<uint8_t>& data) {
    if (data.size() < vpack::kBlockHeaderBytes || data[0] >= vpack::kMethodCount) return {};
    const uint32_t length = data[1] | data[2] << 8 | data[3] << 16 | uint32_t{data[4]} << 24;
    if (length > std::vector<uint8_t>().max_size()) return {};
    return length;
}

Packing packing_of(ExecTable& t, const std::vector<uint8_t>& data) {
    const std::optional<uint32_t> length = claimed_length(data);
    if (!length) return {};
    std::vector<uint8_t> out;
    try {
        out.resize(*length);
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (!t.EXEC_PACKDecompress(data.data(), out.data(), static_cast<uint32_t>(data.size())))
        return {};
    return {data[0], *length};
}

int run_create(const std::string& path, bool force) {
    Workspace work;
    ExecTable& t = work.library();
    if (!t.EXEC_RSCCreate(kWorkName)) throw Failure(path + ": cannot be made");
    work.save(path, force);
    say(path + ": empty resource file made");
    return kExitOk;
}

int run_list(const std::string& path) {
    Workspace work;
    work.load(path);
    ExecTable& t = work.library();
    Resource rsc(t, path);
    const uint32_t count = entry_count(work);
    std::string text = "type        id        size  contents\n";
    char type[4];
    uint16_t id = 0;
    std::memcpy(type, "ANY ", 4);
    uint32_t size = t.EXEC_RSCFindFirst(rsc.get(), type, &id);
    // A match overwrites the "ANY " argument with the entry's type, which tells an entry of
    // size 0 from the end. The count bounds the walk even when a damaged file holds a name
    // twice.
    uint32_t listed = 0;
    while (listed < count && !(size == 0 && std::memcmp(type, "ANY ", 4) == 0)) {
        EntryName entry;
        std::memcpy(entry.type, type, 4);
        entry.id = id;
        const std::vector<uint8_t> data = read_entry(t, rsc.get(), size, path + ": " + show(entry));
        const Packing p = packing_of(t, data);
        const std::string contents =
            p.method < 0
                ? "plain"
                : "packed, " + std::string(vpack::method_name(static_cast<uint8_t>(p.method))) +
                      ", " + std::to_string(p.length) + " bytes unpacked";
        char line[64];
        std::snprintf(line, sizeof line, "%-8s %5u %11lu  ", show_type(entry.type).c_str(),
                      unsigned{entry.id}, static_cast<unsigned long>(size));
        text += line + contents + "\n";
        ++listed;
        std::memcpy(type, "ANY ", 4);
        size = t.EXEC_RSCFindNext(rsc.get(), type, &id);
    }
    if (listed < count)
        throw Failure(path + ": damaged (" + std::to_string(count) + " entries, " +
                      std::to_string(listed) + " readable)");
    text += std::to_string(count) + (count == 1 ? " entry\n" : " entries\n");
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return kExitOk;
}

// The smallest packed form's method, as vpack's "best" chooses (ties: the lower method).
uint8_t best_method(ExecTable& t, const Bytes& data) {
    std::vector<uint8_t> out(data.size() + vpack::kBlockHeaderBytes);
    uint8_t best = 0;
    uint32_t smallest = UINT32_MAX;
    for (uint8_t m = 0; m < vpack::kMethodCount; ++m) {
        const uint32_t n =
            t.EXEC_PACKCompress(m, data.data(), out.data(), static_cast<uint32_t>(data.size()));
        if (n != 0 && n < smallest && out[0] == m) {
            smallest = n;
            best = m;
        }
    }
    return best;
}

int run_add(const std::string& path, const std::string& name, const std::string& in,
            const std::string& method_text, bool force) {
    const EntryName entry = parse_entry(name);
    vpack::InputFile input(in);
    vpack::Progress progress(in, input.size_hint());
    const Bytes data = input.read_all(progress);
    Workspace work;
    work.load(path);
    ExecTable& t = work.library();
    const std::string what = path + ": " + show(entry);
    {
        Resource rsc(t, path);
        // The delete tells an entry of size 0 from none; it works on the copy only.
        if (t.EXEC_RSCDelete(rsc.get(), entry.type, entry.id) && !force)
            throw Failure(what + ": already exists (-f replaces it)");
        if (method_text.empty()) {
            const auto size = static_cast<uint32_t>(data.size());
            if (!t.EXEC_RSCAdd(rsc.get(), entry.type, entry.id, size))
                throw Failure(what + ": cannot be added (the name is taken or the file is full)");
            if (size != 0 && (t.EXEC_RSCFind(rsc.get(), entry.type, entry.id) != size ||
                              t.EXEC_RSCWrite(rsc.get(), size, data.data()) != size))
                throw Failure(what + ": cannot be written");
        }
    }
    std::string summary = std::to_string(data.size()) + " bytes, plain";
    if (!method_text.empty()) {
        if (data.size() == 0) throw Failure(in + ": is empty; an empty file cannot be packed");
        const int requested = tools::method_number(method_text);
        const uint8_t method = requested == tools::kBestMethod ? best_method(t, data)
                                                               : static_cast<uint8_t>(requested);
        t.EXEC_RSCSavePacked(data.data(), static_cast<uint32_t>(data.size()), kWorkName, entry.type,
                             entry.id, method);
        const uint32_t unpacked = t.EXEC_RSCPackedSize(kWorkName, entry.type, entry.id);
        if (unpacked != data.size()) throw Failure(what + ": cannot be stored packed");
        Resource rsc(t, path);
        const uint32_t stored = t.EXEC_RSCFind(rsc.get(), entry.type, entry.id);
        const std::vector<uint8_t> block = read_entry(t, rsc.get(), stored, what);
        summary = std::to_string(data.size()) + " -> " + std::to_string(stored) + " bytes, " +
                  vpack::method_name(block[0]);
    }
    work.save(path, true);
    say(what + ": added (" + summary + ")");
    return kExitOk;
}

int run_extract(const std::string& path, const std::string& name, std::string out_path, bool unpack,
                bool force) {
    const EntryName entry = parse_entry(name);
    Workspace work;
    work.load(path);
    ExecTable& t = work.library();
    const std::string what = path + ": " + show(entry);
    std::vector<uint8_t> data;
    {
        Resource rsc(t, path);
        const uint32_t size = t.EXEC_RSCFind(rsc.get(), entry.type, entry.id);
        if (size == 0) {
            // An entry of size 0 is found by the delete only; the copy is thrown away anyway.
            if (!t.EXEC_RSCDelete(rsc.get(), entry.type, entry.id))
                throw Failure(what + ": no such entry");
        }
        data = read_entry(t, rsc.get(), size, what);
    }
    if (unpack) {
        const std::optional<uint32_t> length = claimed_length(data);
        if (!length) throw Failure(what + ": not a packed entry");
        std::vector<uint8_t> unpacked(*length);
        if (!t.EXEC_RSCLoadPacked(unpacked.data(), *length, kWorkName, entry.type, entry.id))
            throw Failure(what + ": damaged packed entry");
        data.swap(unpacked);
    }
    if (out_path.empty()) out_path = "-";
    vpack::OutputFile out(out_path, force);
    vpack::Progress progress(out_path, data.size());
    vpack::write_all(out, data.data(), data.size(), progress);
    return kExitOk;
}

int run_delete(const std::string& path, const std::string& name) {
    const EntryName entry = parse_entry(name);
    Workspace work;
    work.load(path);
    ExecTable& t = work.library();
    {
        Resource rsc(t, path);
        if (!t.EXEC_RSCDelete(rsc.get(), entry.type, entry.id))
            throw Failure(path + ": " + show(entry) + ": no such entry");
    }
    work.save(path, true);
    say(path + ": " + show(entry) + ": deleted");
    return kExitOk;
}

int run_index(const std::string& path) {
    Workspace work;
    work.load(path);
    ExecTable& t = work.library();
    {
        Resource rsc(t, path);
        if (!t.EXEC_RSCBuildIndex(rsc.get())) throw Failure(path + ": damaged, no index built");
    }
    work.save(path, true);
    const uint16_t count = entry_count(work);
    say(path + ": index of " + std::to_string(count) + (count == 1 ? " entry" : " entries") +
        " built");
    return kExitOk;
}

std::string library_version() {
    Workspace work;
    const ExecTable& t = work.library();
    return "runtime library " + std::to_string(t.version) + "." + std::to_string(t.revision) + "." +
           std::to_string(t.subrevision);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, kProgram};
    tools::add_version_flag(app, library_version);
    app.require_subcommand(1);
    app.get_formatter()->column_width(28);

    std::string file, name, in, out, method_text;
    bool force = false;
    bool unpack = false;
    const auto file_arg = [&](CLI::App* command) {
        command->add_option("FILE", file, "The resource file")->required();
    };
    const auto entry_arg = [&](CLI::App* command) {
        command->add_option("ENTRY", name, "The entry, TYPE:ID")->required();
    };
    const auto force_flag = [&](CLI::App* command, const char* text) {
        command->add_flag("-f,--force", force, text);
    };

    CLI::App* create = app.add_subcommand("create", "Make an empty resource file");
    file_arg(create);
    force_flag(create, "Replace an existing file");

    CLI::App* list = app.add_subcommand("list", "List the entries: type, id, size and packing");
    file_arg(list);

    CLI::App* add = app.add_subcommand("add", "Add a file as an entry, plain or packed (-m)");
    file_arg(add);
    entry_arg(add);
    add->add_option("IN", in, "The file whose bytes the entry holds")->required();
    add->add_option("-m,--method", method_text,
                    "Store packed: 0|stored, 1|huffman, 2|lzw, 3|lzw-sized or best")
        ->type_name("METHOD")
        ->check(
            CLI::IsMember({"0", "1", "2", "3", "stored", "huffman", "lzw", "lzw-sized", "best"}));
    force_flag(add, "Replace an entry of the same name");

    CLI::App* extract = app.add_subcommand("extract", "Write an entry's bytes to a file");
    file_arg(extract);
    entry_arg(extract);
    extract->add_option("-o,--output", out, "The output (default: standard output)")
        ->type_name("FILE");
    extract->add_flag("-u,--unpack", unpack, "Unpack a packed entry");
    force_flag(extract, "Replace an existing output");

    CLI::App* del = app.add_subcommand("delete", "Delete an entry");
    file_arg(del);
    entry_arg(del);

    CLI::App* index = app.add_subcommand("index", "Build the lookup index");
    file_arg(index);

    if (const int status = tools::parse(app, kFooter, argc, argv); status != tools::kGoOn)
        return status;

    vpack::install_signal_handlers();
    int status = kExitFailed;
    try {
        if (create->parsed()) status = run_create(file, force);
        if (list->parsed()) status = run_list(file);
        if (add->parsed()) status = run_add(file, name, in, method_text, force);
        if (extract->parsed()) status = run_extract(file, name, out, unpack, force);
        if (del->parsed()) status = run_delete(file, name);
        if (index->parsed()) status = run_index(file);
    } catch (const Failure& failure) {
        tools::report(kProgram, failure.what());
        status = kExitFailed;
    } catch (const vpack::Interrupted& interrupted) {
        status = tools::kExitSignalBase + interrupted.signal_number;
    } catch (const std::bad_alloc&) {
        tools::report(kProgram, "not enough memory");
        status = kExitFailed;
    } catch (const std::exception& e) {
        tools::report(kProgram, e.what());
        status = kExitFailed;
    }
    return status;
}
