// Reading desk.toml. Every problem becomes one ProfileError line naming the file and the key, so a
// person can fix a profile from the message alone; anything not understood is refused rather
// than ignored, so a misspelt key cannot silently leave a default in place.
#include "desk/profile.hpp"

#include <toml.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

namespace pcplat {

namespace {

// std::map keeps tables in key order, so checks and messages do not depend on hashing.
using Value = toml::basic_value<toml::discard_comments, std::map, std::vector>;
using Table = Value::table_type;

constexpr int64_t kMaxMemoryKib = 0x7FFFFFFF / 1024; // the status fields are signed 32-bit bytes
constexpr int64_t kMaxNvrKib = 128;
constexpr int64_t kMaxCardType = 0xFFFF;
constexpr int64_t kMaxCardPolls = 0xFFFFFFFF;
constexpr int64_t kDefaultSlowPolls = 1000;
constexpr int64_t kMaxGfxId = 0xFFFF;
constexpr int64_t kMaxGfxRevision = 0xFF;
constexpr int64_t kMaxGfxMemoryField = 7; // three bits
constexpr int64_t kMaxFailTimes = 0xFFFFFFFF;
constexpr int64_t kMaxPciId = 0xFFFF;
constexpr int64_t kMaxPciRegister = 0xFFFFFFFF;
constexpr uint32_t kBytesPerKib = 1024;
constexpr uint32_t kNvrAddresses[] = {0xD4000, 0xF00000};
// The TOML parser recurses per nested array or inline table and overflows the stack on a few
// thousand levels; a profile never needs more than a handful.
constexpr int kMaxNesting = 32;

// Messages are one line; a key or file name could carry control characters.
std::string one_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        out += std::iscntrl(static_cast<unsigned char>(c)) ? '?' : c;
    return out;
}

std::string hex(int64_t value, int digits = 1) {
    char buffer[32];
    const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : uint64_t(value);
    std::snprintf(buffer, sizeof buffer, "%s0x%0*llX", value < 0 ? "-" : "", digits,
                  static_cast<unsigned long long>(magnitude));
    return buffer;
}

enum class Radix { decimal, hex };

std::string number_text(int64_t value, Radix radix, int digits) {
    // The TOML reader saturates integers too long for 64 bits instead of refusing them.
    if (value == std::numeric_limits<int64_t>::max()) return "a number too large";
    if (value == std::numeric_limits<int64_t>::min()) return "a number too small";
    return radix == Radix::hex ? hex(value, digits) : std::to_string(value);
}

class ProfileReader {
  public:
    explicit ProfileReader(const std::string& source) : source_(source) {}

    [[noreturn]] void fail(std::string_view key, std::string_view problem) const {
        std::string message = source_;
        message += ": ";
        message += key;
        message += ": ";
        message += problem;
        throw ProfileError(one_line(message));
    }

    // Refuses keys outside known, reporting the first in the file.
    void reject_unknown(const Table& table, std::string_view prefix,
                        std::initializer_list<std::string_view> known) const {
        const Table::value_type* first = nullptr;
        for (const auto& entry : table) {
            if (std::find(known.begin(), known.end(), entry.first) != known.end()) continue;
            if (!first || before(entry.second, first->second)) first = &entry;
        }
        if (first)
            fail(join(prefix, first->first),
                 first->second.is_table() ? "unknown table" : "unknown key");
    }

    // The sub-table key of table, or null when absent.
    const Table* table_at(const Table& table, std::string_view prefix, const std::string& key,
                          std::initializer_list<std::string_view> known) const {
        const auto found = table.find(key);
        if (found == table.end()) return nullptr;
        const std::string name = join(prefix, key);
        if (!found->second.is_table()) fail(name, "must be a table");
        reject_unknown(found->second.as_table(), name, known);
        return &found->second.as_table();
    }

    void read_bool(const Table& table, std::string_view prefix, const std::string& key,
                   bool& out) const {
        const auto found = table.find(key);
        if (found == table.end()) return;
        if (!found->second.is_boolean()) fail(join(prefix, key), "must be true or false");
        out = found->second.as_boolean();
    }

    std::optional<int64_t> read_int(const Table& table, std::string_view prefix,
                                    const std::string& key, int64_t min, int64_t max,
                                    Radix radix = Radix::decimal, int digits = 1) const {
        const auto found = table.find(key);
        if (found == table.end()) return std::nullopt;
        const std::string name = join(prefix, key);
        if (!found->second.is_integer()) fail(name, "must be an integer");
        const int64_t value = found->second.as_integer();
        if (value < min || value > max)
            fail(name, "must be between " + number_text(min, radix, digits) + " and " +
                           number_text(max, radix, digits) + ", got " +
                           number_text(value, radix, digits));
        return value;
    }

    template <typename Enum>
    void read_choice(const Table& table, std::string_view prefix, const std::string& key,
                     std::initializer_list<std::pair<std::string_view, Enum>> choices,
                     Enum& out) const {
        const auto found = table.find(key);
        if (found == table.end()) return;
        if (found->second.is_string()) {
            const std::string& text = found->second.as_string().str;
            for (const auto& [name, value] : choices) {
                if (text == name) {
                    out = value;
                    return;
                }
            }
        }
        std::string problem = "must be ";
        size_t i = 0;
        for (const auto& choice : choices) {
            if (i > 0) problem += i + 1 == choices.size() ? " or " : ", ";
            problem += '"';
            problem += choice.first;
            problem += '"';
            ++i;
        }
        fail(join(prefix, key), problem);
    }

  private:
    static std::string join(std::string_view prefix, std::string_view key) {
        std::string name(prefix);
        if (!name.empty()) name += '.';
        name += key;
        return name;
    }
    static bool before(const Value& a, const Value& b) {
        const auto la = a.location();
        const auto lb = b.location();
        return std::pair(la.line(), la.column()) < std::pair(lb.line(), lb.column());
    }

    std::string source_;
};

// Finds nesting of arrays and inline tables deeper than the parser can take. Follows TOML's
// strings and comments so brackets inside them do not count; table headers are depth one or two.
std::optional<size_t> too_deep_line(std::string_view text) {
    size_t line = 1;
    int depth = 0;
    size_t i = 0;
    const auto starts = [&](std::string_view token) {
        return text.substr(i, token.size()) == token;
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == '#') {
            while (i < text.size() && text[i] != '\n')
                ++i;
        } else if (starts("\"\"\"") || starts("'''")) {
            const std::string_view close = text.substr(i, 3);
            const bool escapes = c == '"';
            i += 3;
            while (i < text.size() && !starts(close)) {
                if (escapes && text[i] == '\\') ++i; // the escaped character, maybe a newline
                if (i < text.size() && text[i] == '\n') ++line;
                ++i;
            }
            i += 3;
            // A closing run may carry up to two more quotes that belong to the string.
            while (i < text.size() && text[i] == c)
                ++i;
        } else if (c == '"' || c == '\'') {
            ++i;
            while (i < text.size() && text[i] != c && text[i] != '\n') {
                if (c == '"' && text[i] == '\\' && i + 1 < text.size() && text[i + 1] != '\n') ++i;
                ++i;
            }
            if (i < text.size() && text[i] == c) ++i;
        } else {
            if (c == '[' || c == '{') {
                if (++depth > kMaxNesting) return line;
            } else if ((c == ']' || c == '}') && depth > 0) {
                --depth;
            }
            ++i;
        }
    }
    return std::nullopt;
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r.");
    return std::string(text.substr(first, last + 1 - first));
}

// toml11 reports errors over several lines: "[error] toml::where: reason", then the file and
// the offending lines with "^--- note" markers. Keep the reason and the last note.
std::string condense_toml_error(std::string_view what) {
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= what.size();) {
        const size_t end = std::min(what.find('\n', start), what.size());
        lines.push_back(what.substr(start, end - start));
        start = end + 1;
    }
    std::string reason;
    if (!lines.empty()) {
        std::string_view head = lines.front();
        if (head.starts_with("[error]")) head.remove_prefix(7);
        while (!head.empty() && head.front() == ' ')
            head.remove_prefix(1);
        if (head.starts_with("toml::")) {
            const size_t colon = head.find(": ");
            head = colon == std::string_view::npos ? std::string_view{} : head.substr(colon + 2);
        }
        reason = trim(head);
    }
    std::string note;
    for (const auto line : lines) {
        for (const std::string_view marker : {"^--- ", "~~~ "}) {
            const size_t at = line.find(marker);
            if (at != std::string_view::npos) {
                note = trim(line.substr(at + marker.size()));
                break;
            }
        }
    }
    if (note == "here") note.clear(); // says nothing on one line
    if (reason.empty())
        reason = note;
    else if (!note.empty() && note != reason)
        reason += " (" + note + ")";
    return reason.empty() ? "not valid TOML" : reason;
}

// The line of the first byte sequence that is not UTF-8, which TOML text must be. The TOML
// reader itself reads past the end of its buffer on some such sequences (a stray continuation
// byte in a quoted key, found by fuzzing), so they never reach it.
std::optional<size_t> not_utf8_line(std::string_view text) {
    size_t line = 1;
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        uint32_t lowest = 0; // smallest code point of that length, to refuse overlong forms
        if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4;
            lowest = 0x10000;
        } else if (byte >= 0xE0) {
            length = 3;
            lowest = 0x800;
        } else if (byte >= 0xC2) {
            length = 2;
            lowest = 0x80;
        } else if (byte >= 0x80) {
            return line;
        }
        if (length > 1) {
            if (byte > 0xF4 || text.size() - i < length) return line;
            uint32_t code = byte & (0xFFu >> (length + 1));
            for (size_t k = 1; k < length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                if ((next & 0xC0) != 0x80) return line;
                code = code << 6 | (next & 0x3Fu);
            }
            if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return line;
        }
        if (byte == '\n') ++line;
        i += length;
    }
    return std::nullopt;
}

Value parse_toml(std::string_view text, const std::string& source) {
    if (const auto line = too_deep_line(text))
        throw ProfileError(one_line(source + ": line " + std::to_string(*line) +
                                    ": arrays or tables nested more than " +
                                    std::to_string(kMaxNesting) + " deep"));
    if (const auto line = not_utf8_line(text))
        throw ProfileError(source + ": line " + std::to_string(*line) + ": not UTF-8 text");
    std::istringstream in{std::string(text)};
    try {
        return toml::parse<toml::discard_comments, std::map, std::vector>(in, source);
    } catch (const toml::exception& e) {
        throw ProfileError(one_line(source + ": line " + std::to_string(e.location().line()) +
                                    ": " + condense_toml_error(e.what())));
    } catch (const std::exception& e) {
        throw ProfileError(
            one_line(source + ": cannot be read as TOML: " + condense_toml_error(e.what())));
    }
}

void read_drives(const ProfileReader& reader, const Table& table, Profile& profile) {
    profile.drives.clear();
    for (const auto& [key, value] : table) {
        const std::string name = "drives." + key;
        const char letter =
            key.size() == 1 ? char(std::toupper(static_cast<unsigned char>(key[0]))) : '\0';
        if (letter == 'A') reader.fail(name, "A: is always the start directory and cannot be set");
        if (letter < 'B' || letter > 'Z') reader.fail(name, "must be a drive letter B to Z");
        if (profile.drives.count(letter))
            reader.fail(name, std::string("drive ") + letter + ": given twice");
        if (!value.is_string() || value.as_string().str.empty())
            reader.fail(name, "must be a folder name (a non-empty string)");
        const std::string& folder = value.as_string().str;
        // A NUL would cut the path short at the host.
        if (folder.find('\0') != std::string::npos)
            reader.fail(name, "must not contain a NUL character");
        profile.drives[letter] = folder;
    }
}

void read_card(const ProfileReader& reader, const Table& top, int index, Profile& profile) {
    const std::string key = "card" + std::to_string(index);
    const Table* table =
        reader.table_at(top, "", key, {"fitted", "type", "blocks", "polls", "reject_block"});
    if (!table) return;
    CardProfile& card = profile.cards[index];
    reader.read_bool(*table, key, "fitted", card.fitted);
    if (const auto type = reader.read_int(*table, key, "type", 0, kMaxCardType, Radix::hex, 4))
        card.type = static_cast<uint16_t>(*type);
    reader.read_choice<BlockMode>(*table, key, "blocks",
                                  {{"accept", BlockMode::accept},
                                   {"slow", BlockMode::slow},
                                   {"reject", BlockMode::reject},
                                   {"stall", BlockMode::stall},
                                   {"busy", BlockMode::busy}},
                                  card.blocks);
    const auto polls = reader.read_int(*table, key, "polls", 0, kMaxCardPolls);
    const auto reject_block = reader.read_int(*table, key, "reject_block", 0, kMaxCardPolls);
    // A key the chosen behaviour would not look at is a mistake in the profile.
    if (polls && card.blocks != BlockMode::slow && card.blocks != BlockMode::busy)
        reader.fail(key + ".polls", "is only for blocks = \"slow\" or \"busy\"");
    if (reject_block && card.blocks != BlockMode::reject)
        reader.fail(key + ".reject_block", "is only for blocks = \"reject\"");
    card.polls = static_cast<uint32_t>(
        polls.value_or(card.blocks == BlockMode::slow ? kDefaultSlowPolls : 0));
    card.reject_block = static_cast<uint32_t>(reject_block.value_or(0));
}

void read_gfx(const ProfileReader& reader, const Table& top, Profile& profile) {
    const Table* table =
        reader.table_at(top, "", "gfx", {"chip", "id", "revision", "memory_field"});
    if (!table) return;
    GfxProfile& gfx = profile.gfx;
    reader.read_bool(*table, "gfx", "chip", gfx.chip);
    if (const auto id = reader.read_int(*table, "gfx", "id", 0, kMaxGfxId, Radix::hex, 4))
        gfx.id = static_cast<uint16_t>(*id);
    if (const auto revision =
            reader.read_int(*table, "gfx", "revision", 0, kMaxGfxRevision, Radix::hex, 2))
        gfx.revision = static_cast<uint8_t>(*revision);
    if (const auto field = reader.read_int(*table, "gfx", "memory_field", 0, kMaxGfxMemoryField))
        gfx.memory_field = static_cast<uint8_t>(*field);
}

void read_pci(const ProfileReader& reader, const Table& top, Profile& profile) {
    const Table* table = reader.table_at(top, "", "pci", {"vendor", "device", "bar0"});
    if (!table) return;
    PciProfile& pci = profile.pci;
    if (const auto vendor = reader.read_int(*table, "pci", "vendor", 0, kMaxPciId, Radix::hex, 4))
        pci.vendor = static_cast<uint16_t>(*vendor);
    if (const auto device = reader.read_int(*table, "pci", "device", 0, kMaxPciId, Radix::hex, 4))
        pci.device = static_cast<uint16_t>(*device);
    if (const auto bar0 = reader.read_int(*table, "pci", "bar0", 0, kMaxPciRegister, Radix::hex, 8))
        pci.bar0 = static_cast<uint32_t>(*bar0);
}

void read_floppies(const ProfileReader& reader, const Table& top, Profile& profile) {
    const Table* floppy = reader.table_at(top, "", "floppy", {"a", "b"});
    if (!floppy) return;
    for (int drive = 0; drive < 2; ++drive) {
        const std::string letter(1, static_cast<char>('a' + drive));
        const std::string key = "floppy." + letter;
        const Table* table = reader.table_at(*floppy, "floppy", letter,
                                             {"fitted", "image", "write_protected", "fail_times"});
        if (!table) continue;
        FloppyProfile& f = profile.floppies[drive];
        reader.read_bool(*table, key, "fitted", f.fitted);
        if (const auto found = table->find("image"); found != table->end()) {
            if (!found->second.is_string() || found->second.as_string().str.empty())
                reader.fail(key + ".image", "must be a file name (a non-empty string)");
            f.image = found->second.as_string().str;
            if (f.image.find('\0') != std::string::npos)
                reader.fail(key + ".image", "must not contain a NUL character");
        }
        reader.read_bool(*table, key, "write_protected", f.write_protected);
        if (const auto n = reader.read_int(*table, key, "fail_times", 0, kMaxFailTimes))
            f.fail_times = static_cast<uint32_t>(*n);
        // Settings of a drive that is not there would be silently ignored.
        if (!f.fitted)
            for (const char* setting : {"image", "write_protected", "fail_times"})
                if (table->count(setting))
                    reader.fail(key + "." + setting, "needs " + key + ".fitted = true");
    }
}

} // namespace

Profile parse_profile(std::string_view text, const std::string& source) {
    const Value document = parse_toml(text, source);
    const ProfileReader reader(source);
    Profile profile;
    profile.source = source;
    const Table& top = document.as_table();
    reader.reject_unknown(top, "",
                          {"halt", "extender", "memory", "drives", "card0", "card1", "nvr", "gfx",
                           "mouse", "floppy", "pci"});

    reader.read_choice<HaltMode>(
        top, "", "halt", {{"exit", HaltMode::exit}, {"wait", HaltMode::wait}}, profile.halt);

    if (const Table* extender = reader.table_at(top, "", "extender", {"present"}))
        reader.read_bool(*extender, "extender", "present", profile.extender_present);

    if (const Table* memory = reader.table_at(top, "", "memory", {"available_kib", "swap_kib"})) {
        const auto available =
            reader.read_int(*memory, "memory", "available_kib", 0, kMaxMemoryKib);
        const auto swap = reader.read_int(*memory, "memory", "swap_kib", 0, kMaxMemoryKib);
        if (swap && !available)
            reader.fail("memory.swap_kib", "needs memory.available_kib as well");
        if (available) {
            profile.memory_from_host = false;
            profile.memory_available_kib = static_cast<uint32_t>(*available);
            profile.memory_swap_kib = static_cast<uint32_t>(swap.value_or(0));
        }
    }

    if (const auto found = top.find("drives"); found != top.end()) {
        if (!found->second.is_table()) reader.fail("drives", "must be a table");
        read_drives(reader, found->second.as_table(), profile);
    }

    read_card(reader, top, 0, profile);
    read_card(reader, top, 1, profile);

    if (const Table* nvr = reader.table_at(top, "", "nvr", {"size_kib", "address"})) {
        if (const auto size = reader.read_int(*nvr, "nvr", "size_kib", 0, kMaxNvrKib))
            profile.nvr_size = static_cast<uint32_t>(*size) * kBytesPerKib;
        if (const auto found = nvr->find("address"); found != nvr->end()) {
            if (!found->second.is_integer()) reader.fail("nvr.address", "must be an integer");
            const int64_t address = found->second.as_integer();
            if (std::find(std::begin(kNvrAddresses), std::end(kNvrAddresses), address) ==
                std::end(kNvrAddresses))
                reader.fail("nvr.address", "must be " + hex(kNvrAddresses[0]) + " or " +
                                               hex(kNvrAddresses[1]) + ", got " +
                                               number_text(address, Radix::hex, 1));
            profile.nvr_address = static_cast<uint32_t>(address);
        }
    }

    read_gfx(reader, top, profile);
    if (const Table* mouse = reader.table_at(top, "", "mouse", {"present"}))
        reader.read_bool(*mouse, "mouse", "present", profile.mouse.present);
    read_floppies(reader, top, profile);
    read_pci(reader, top, profile);
    return profile;
}

Profile load_profile(const std::filesystem::path& file) {
    const std::string source = file.string();
    std::error_code error;
    if (std::filesystem::is_directory(file, error))
        throw ProfileError(one_line(source + ": is a folder, not a profile file"));
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ProfileError(one_line(source + ": cannot open: " + std::strerror(errno)));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ProfileError(one_line(source + ": cannot read: " + std::strerror(errno)));
    return parse_profile(text.str(), source);
}

std::string default_profile_text() {
    return R"(# desk.toml: the profile of a simulated desk. Every key is optional and the values below are
# the defaults, so an empty file is a complete desk. Numbers may be written in hex (0xC004).
# The desk keeps its state beside this file: card0.bin, card1.bin, nvr.bin and clock-offset.

# After the screens are final: "exit" ends the program (status 2 after STOP, 1 after a failed
# run); "wait" waits forever, as the desk does.
halt = "exit"

[extender]
# false: the DOS extender's mark is missing, so programs refuse to start.
present = true

[memory]
# The memory status programs are told. Without available_kib they get the host's own figures.
# available_kib = 16384   # available physical memory, KiB
# swap_kib = 0            # available paging file, KiB (only together with available_kib)

[drives]
# Drive letters B to Z and their host folders, relative to this folder unless absolute. This
# table replaces the default C: and D: as a whole. A: is always the folder the program started in.
C = "c"
D = "d"

[card0]
# Interface card 0, window at 0xD1000.
fitted = true
type = 0xC004       # the card's type word, 0 to 0xFFFF
blocks = "accept"   # how it answers blocks handed to it: "accept" (at once), "slow" (after
                    # polls reads of the command byte), "reject" (the block reject_block, counted
                    # from 1 in an image, or every block when 0), "stall" (never finishes one) or
                    # "busy" (the command byte nonzero for polls reads, or for ever when 0)
# polls = 1000
# reject_block = 0

[card1]
# Interface card 1, window at 0xD2000.
fitted = false
type = 0xC004
blocks = "accept"

[nvr]
size_kib = 128      # non-volatile RAM, 0 (none) to 128 KiB
address = 0xD4000   # 0xD4000 or 0xF00000

[gfx]
# The graphics adapter. chip = true: an S3-style chip, whose extended CRT registers (locked until
# the keys 0x48 and 0xA5 are written to CRT 0x38 and 0x39) tell its identity and memory size;
# false: a plain VGA adapter, whose extended registers read 0xFF. The other keys describe the chip.
chip = true
id = 0x8811         # chip identity, 0 to 0xFFFF: CRT 0x2D is the high byte, 0x2E the low byte
revision = 0x40     # chip revision, 0 to 0xFF: CRT 0x2F
memory_field = 4    # video memory size, 0 to 7, bits 7-5 of CRT 0x36: 4 (or 0) 2 MB, 6 1 MB

[mouse]
# A mouse with its driver (INT 33h, a text-mode driver: 0 to 639 by 0 to 199). false: no driver
# answers, as on a desk without a mouse.
present = true

[floppy.a]
# The first diskette drive (BIOS drive 0, INT 13h). Its diskette is an image file, relative to
# this folder unless absolute, whose size gives the format: 360 KiB, 720 KiB, 1.2 MiB, 1.44 MiB
# or 2.88 MiB. Without an image the drive is empty.
fitted = true
# image = "a.img"
write_protected = false
fail_times = 0      # the next operations that fail (status 80h), to rehearse retries

[floppy.b]
# The second diskette drive (BIOS drive 1); the same keys.
fitted = false

[pci]
# The PCI host bridge at bus 0, device 0, function 0 (configuration mechanism 1, ports 0xCF8 and
# 0xCFC). Configuration offset 0 reads device << 16 | vendor, offset 0x10 base address register 0.
vendor = 0x8086     # vendor id, 0 to 0xFFFF
device = 0x7190     # device id, 0 to 0xFFFF
bar0 = 0xE0000008   # base address register 0, 0 to 0xFFFFFFFF
)";
}

const char* to_string(HaltMode mode) {
    switch (mode) {
    case HaltMode::exit:
        return "exit";
    case HaltMode::wait:
        return "wait";
    }
    return "?";
}

const char* to_string(BlockMode mode) {
    switch (mode) {
    case BlockMode::accept:
        return "accept";
    case BlockMode::slow:
        return "slow";
    case BlockMode::reject:
        return "reject";
    case BlockMode::stall:
        return "stall";
    case BlockMode::busy:
        return "busy";
    }
    return "?";
}

} // namespace pcplat
