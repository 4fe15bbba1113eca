#include "machine/file_faults.hpp"

#include "machine/drives.hpp"

#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace pcplat {

namespace {

constexpr char kRuleSeparator = ';';
constexpr char kFieldSeparator = ':';

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

[[noreturn]] void bad_rule(std::string_view rule, std::string_view why) {
    throw std::invalid_argument(std::string(FileFaults::kVariable) + ": rule \"" +
                                std::string(rule) + "\": " + std::string(why));
}

} // namespace

FileFaults FileFaults::parse(std::string_view rules) {
    FileFaults faults;
    for (const std::string_view rule : split(rules, kRuleSeparator)) {
        if (rule.empty()) continue; // "a;;b" and a trailing ';' are harmless
        const std::vector<std::string_view> fields = split(rule, kFieldSeparator);
        Rule parsed;
        const std::string_view kind = fields[0];
        size_t wanted = 2;
        if (kind == "create") {
            parsed.kind = Kind::create;
        } else if (kind == "full") {
            parsed.kind = Kind::full;
            wanted = 3;
        } else if (kind == "flush") {
            parsed.kind = Kind::flush;
        } else if (kind == "flip") {
            parsed.kind = Kind::flip;
        } else {
            bad_rule(rule, "unknown kind (create, full, flush or flip)");
        }
        if (fields.size() != wanted) bad_rule(rule, "wrong number of fields");
        if (fields[1].empty()) bad_rule(rule, "empty pattern");
        parsed.pattern = fields[1];
        if (parsed.kind == Kind::full) {
            const std::string_view number = fields[2];
            const auto [end, error] =
                std::from_chars(number.data(), number.data() + number.size(), parsed.bytes);
            if (number.empty() || error != std::errc{} || end != number.data() + number.size())
                bad_rule(rule, "the byte count is not a number");
        }
        faults.rules_.push_back(std::move(parsed));
    }
    return faults;
}

FileFaults FileFaults::from_environment() {
    const char* rules = std::getenv(kVariable);
    return rules ? parse(rules) : FileFaults{};
}

bool FileFaults::refuses_create(std::string_view name) const {
    for (const Rule& rule : rules_)
        if (rule.kind == Kind::create && dos_wildcard_match(rule.pattern, name)) return true;
    return false;
}

StreamFaults FileFaults::for_stream(std::string_view name) const {
    StreamFaults faults;
    for (const Rule& rule : rules_) {
        if (!dos_wildcard_match(rule.pattern, name)) continue;
        switch (rule.kind) {
        case Kind::create:
            break;
        case Kind::full:
            faults.write_budget = rule.bytes;
            break;
        case Kind::flush:
            faults.fail_sync = true;
            break;
        case Kind::flip:
            faults.flip_first_byte = true;
            break;
        }
    }
    return faults;
}

} // namespace pcplat
