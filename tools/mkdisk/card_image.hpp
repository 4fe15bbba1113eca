// Interface card images, the files UPLOADPCIF hands to the desk's PC interface card: read from
// bytes exactly as the upgrade program walks them, written back, and turned into and out of a
// line-based text description that a disk author can edit and keep under version control.
//
// Layout, all single bytes: format (the desk takes 5), reserved, text length T, T text bytes,
// target, then records up to the end of the file. A record is L (0 stands for 256 = N), A, B,
// then N data bytes; or, when B is 0, one more byte B' and no data (N zero bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mkdisk {

constexpr uint8_t kCardFormat = 5;
constexpr size_t kCardBlock = 256;

struct CardRecord {
    size_t offset = 0; // of its L byte in the file
    uint8_t length = 0;
    uint8_t a = 0;
    uint8_t b = 0;
    uint8_t zero_b = 0;        // B', sent in place of B by a record of zeros (b == 0)
    std::vector<uint8_t> data; // the N bytes; empty for a record of zeros

    size_t size() const { return length ? length : kCardBlock; }
    bool zeros() const { return b == 0; }
};

struct CardImage {
    uint8_t format = kCardFormat;
    uint8_t reserved = 0;
    std::vector<uint8_t> text;
    uint8_t target = 0;
    std::vector<CardRecord> records;
};

// How much of the header a parse got: a printer shows only the fields that were there.
enum class CardHeader { none, format, reserved, text, all };

struct CardProblem {
    size_t offset = 0; // the byte where it shows
    std::string text;  // reads after the file's name: "ends inside record 3 (after L) ..."
};

struct CardParse {
    CardImage image; // everything up to the problem
    CardHeader header = CardHeader::none;
    std::optional<CardProblem> problem; // the first one; none for an image the desk takes
    // Whether every byte belongs to a field (the format may still be wrong).
    bool whole = false;
};

// Never reads outside the bytes.
CardParse parse_card_image(const uint8_t* bytes, size_t size);
CardParse parse_card_image(const std::vector<uint8_t>& bytes);

// Throws std::invalid_argument for a record whose data does not match its length.
std::vector<uint8_t> write_card_image(const CardImage& image);

// The description of what a parse got; read_card_description of a whole image's gives an image
// that writes as the same bytes.
std::string print_card_description(const CardImage& image, CardHeader header = CardHeader::all);

// "NAME:LINE: reason", one line.
struct CardDescriptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A file named by a "file=" block, relative to the description; nullopt when it cannot be read.
using CardFileReader = std::function<std::optional<std::vector<uint8_t>>(const std::string&)>;

CardImage read_card_description(const std::string& text, const std::string& name,
                                const CardFileReader& read_file);

} // namespace mkdisk
