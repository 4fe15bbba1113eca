// Interface card images as mkdisk reads them. Any bytes parse without a read outside them; a
// whole image writes back, and comes back through its printed description, byte for byte. Any
// text as a description is read or refused with one error, and what it reads writes an image
// that parses whole.
#include "card_image.hpp"
#include "fuzz_desk.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const mkdisk::CardParse parsed = mkdisk::parse_card_image(data, size);
    if (parsed.whole) {
        if (parsed.problem.has_value() != (parsed.image.format != mkdisk::kCardFormat))
            fuzz::bug("a whole image's problem is not its format alone");
        if (mkdisk::write_card_image(parsed.image) != bytes)
            fuzz::bug("the parsed image writes other bytes");
        const std::string description = mkdisk::print_card_description(parsed.image);
        try {
            const mkdisk::CardImage again =
                mkdisk::read_card_description(description, "printed", [](const std::string&) {
                    return std::optional<std::vector<uint8_t>>();
                });
            if (mkdisk::write_card_image(again) != bytes)
                fuzz::bug("the printed description writes other bytes");
        } catch (const mkdisk::CardDescriptionError&) {
            fuzz::bug("the printed description is refused");
        }
    } else if (!parsed.problem) {
        fuzz::bug("a cut image has no problem");
    }

    // A "file=" block gets its own name's bytes.
    const auto files = [](const std::string& name) -> std::optional<std::vector<uint8_t>> {
        if (name.empty()) return std::nullopt;
        return std::vector<uint8_t>(name.begin(), name.end());
    };
    try {
        const mkdisk::CardImage image = mkdisk::read_card_description(
            std::string(reinterpret_cast<const char*>(data), size), "fuzz.txt", files);
        const mkdisk::CardParse back = mkdisk::parse_card_image(mkdisk::write_card_image(image));
        if (!back.whole) fuzz::bug("a read description writes a cut image");
    } catch (const mkdisk::CardDescriptionError&) {
    }
    return 0;
}
