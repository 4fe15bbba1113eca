#include "card_image.hpp"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace mkdisk {

namespace {

std::string plural(size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string hex_byte(uint8_t b) {
    char out[5];
    std::snprintf(out, sizeof out, "0x%02x", b);
    return out;
}

class Cursor {
  public:
    Cursor(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    bool at_end() const { return pos_ == size_; }
    size_t pos() const { return pos_; }
    size_t left() const { return size_ - pos_; }
    std::optional<uint8_t> byte() {
        if (at_end()) return std::nullopt;
        return bytes_[pos_++];
    }
    void take(size_t n, std::vector<uint8_t>& out) {
        n = std::min(n, left());
        out.insert(out.end(), bytes_ + pos_, bytes_ + pos_ + n);
        pos_ += n;
    }

  private:
    const uint8_t* bytes_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace

CardParse parse_card_image(const uint8_t* bytes, size_t size) {
    CardParse out;
    CardImage& image = out.image;
    Cursor in(bytes, size);
    const auto fail = [&](std::string text) {
        if (!out.problem) out.problem = CardProblem{in.pos(), std::move(text)};
        return out;
    };
    const auto header_ends = [&](const std::string& what) {
        return fail("ends inside the header at offset " + std::to_string(in.pos()) + ": " + what);
    };

    const std::optional<uint8_t> format = in.byte();
    if (!format) return header_ends("the format byte is missing");
    image.format = *format;
    out.header = CardHeader::format;
    if (image.format != kCardFormat)
        out.problem = CardProblem{0, "has format " + std::to_string(image.format) +
                                         " (offset 0); the desk takes only format 5"};
    const std::optional<uint8_t> reserved = in.byte();
    if (!reserved) return header_ends("the reserved byte is missing");
    image.reserved = *reserved;
    out.header = CardHeader::reserved;
    const std::optional<uint8_t> text_length = in.byte();
    if (!text_length) return header_ends("the text length is missing");
    in.take(*text_length, image.text);
    if (image.text.size() < *text_length)
        return header_ends(std::to_string(*text_length - image.text.size()) + " of its " +
                           plural(*text_length, "text byte") + " missing");
    out.header = CardHeader::text;
    const std::optional<uint8_t> target = in.byte();
    if (!target) return header_ends("the target byte is missing");
    image.target = *target;
    out.header = CardHeader::all;

    while (!in.at_end()) {
        CardRecord r;
        r.offset = in.pos();
        const auto inside = [&](const char* where) {
            return "ends inside record " + std::to_string(image.records.size() + 1) + " (" + where +
                   ", offset " + std::to_string(r.offset) + "): ";
        };
        r.length = *in.byte();
        const std::optional<uint8_t> a = in.byte();
        if (!a) return fail(inside("after L") + "A and B are missing");
        r.a = *a;
        const std::optional<uint8_t> b = in.byte();
        if (!b) return fail(inside("after A") + "B is missing");
        r.b = *b;
        if (r.zeros()) {
            const std::optional<uint8_t> zero_b = in.byte();
            if (!zero_b) return fail(inside("after B = 0") + "B' is missing");
            r.zero_b = *zero_b;
        } else {
            in.take(r.size(), r.data);
            if (r.data.size() < r.size())
                return fail(inside("inside its data") + std::to_string(r.size() - r.data.size()) +
                            " of its " + plural(r.size(), "data byte") + " missing");
        }
        image.records.push_back(std::move(r));
    }
    out.whole = true;
    return out;
}

CardParse parse_card_image(const std::vector<uint8_t>& bytes) {
    return parse_card_image(bytes.data(), bytes.size());
}

std::vector<uint8_t> write_card_image(const CardImage& image) {
    if (image.text.size() > 255) throw std::invalid_argument("the text is over 255 bytes");
    std::vector<uint8_t> out;
    const auto put = [&out](std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes)
            out.push_back(b);
    };
    put({image.format, image.reserved, static_cast<uint8_t>(image.text.size())});
    out.insert(out.end(), image.text.begin(), image.text.end());
    out.push_back(image.target);
    for (const CardRecord& r : image.records) {
        put({r.length, r.a, r.b});
        if (r.zeros()) {
            out.push_back(r.zero_b);
            continue;
        }
        if (r.data.size() != r.size())
            throw std::invalid_argument("a record's data does not match its length");
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    return out;
}

// --- descriptions ---

std::string print_card_description(const CardImage& image, CardHeader header) {
    std::ostringstream out;
    if (header >= CardHeader::format) out << "format " << int(image.format) << '\n';
    if (header >= CardHeader::reserved) out << "reserved " << hex_byte(image.reserved) << '\n';
    if (header >= CardHeader::text && !image.text.empty()) {
        out << "text ";
        for (size_t i = 0; i < image.text.size(); ++i) {
            const uint8_t c = image.text[i];
            // A last blank is escaped so that an editor that trims lines keeps it.
            const bool last_blank = c == ' ' && i + 1 == image.text.size();
            if (c == '\\')
                out << "\\\\";
            else if (c >= 0x20 && c < 0x7f && !last_blank)
                out << static_cast<char>(c);
            else
                out << "\\x" << hex_byte(c).substr(2);
        }
        out << '\n';
    }
    if (header < CardHeader::all) return out.str();
    out << "target " << hex_byte(image.target) << '\n';
    size_t number = 0;
    for (const CardRecord& r : image.records) {
        ++number;
        if (r.zeros()) {
            out << "zeros a=" << hex_byte(r.a) << " b=" << hex_byte(r.zero_b)
                << " length=" << r.size();
        } else {
            out << "block a=" << hex_byte(r.a) << " b=" << hex_byte(r.b) << " data=";
            for (uint8_t d : r.data)
                out << hex_byte(d).substr(2);
        }
        out << "  # record " << number << " at offset " << r.offset << '\n';
    }
    return out.str();
}

namespace {

class DescriptionReader {
  public:
    DescriptionReader(const std::string& name, const CardFileReader& read_file)
        : name_(name), read_file_(read_file) {}

    CardImage read(const std::string& text) {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            ++line_number_;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            read_line(line);
        }
        if (!have_target_) fail("the description has no 'target' line; the image needs one");
        size_t offset = 3 + image_.text.size() + 1;
        for (CardRecord& r : image_.records) {
            r.offset = offset;
            offset += r.zeros() ? 4 : 3 + r.size();
        }
        return std::move(image_);
    }

  private:
    [[noreturn]] void fail(const std::string& reason) const {
        throw CardDescriptionError(name_ + ":" + std::to_string(line_number_) + ": " + reason);
    }

    void read_line(const std::string& line) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') return;
        const size_t word_end = std::min(line.find_first_of(" \t", start), line.size());
        const std::string keyword = line.substr(start, word_end - start);
        if (keyword == "text") {
            // The rest of the line after one blank, as it stands: blanks and '#' are text.
            once(have_text_, "text");
            read_text(word_end < line.size() ? line.substr(word_end + 1) : std::string());
            return;
        }
        std::vector<std::string> words;
        std::istringstream rest(line.substr(word_end));
        for (std::string w; rest >> w && w[0] != '#';)
            words.push_back(w);
        if (keyword == "format" || keyword == "reserved" || keyword == "target") {
            if (words.size() != 1) fail("'" + keyword + "' takes one number");
            uint8_t& field = keyword == "format"     ? image_.format
                             : keyword == "reserved" ? image_.reserved
                                                     : image_.target;
            once(keyword == "format"     ? have_format_
                 : keyword == "reserved" ? have_reserved_
                                         : have_target_,
                 keyword);
            field = static_cast<uint8_t>(number(words[0], keyword, 255));
        } else if (keyword == "block") {
            block(fields(words, {"a", "b"}, {"data", "file"}));
        } else if (keyword == "zeros") {
            const auto f = fields(words, {"a", "b", "length"}, {});
            CardRecord r;
            r.a = static_cast<uint8_t>(number(f.at("a"), "a", 255));
            r.zero_b = static_cast<uint8_t>(number(f.at("b"), "b", 255));
            const unsigned length = number(f.at("length"), "length", kCardBlock);
            if (length == 0) fail("length must be 1 to 256");
            r.length = static_cast<uint8_t>(length); // 256 is written as 0
            image_.records.push_back(std::move(r));
        } else {
            fail("'" + keyword +
                 "' is not a line of a card image description (format, reserved, text, target, "
                 "block, zeros)");
        }
    }

    void once(bool& seen, const std::string& keyword) const {
        if (seen) fail("a second '" + keyword + "' line");
        seen = true;
    }

    struct Fields {
        std::vector<std::pair<std::string, std::string>> pairs;
        const std::string& at(const std::string& key) const {
            return std::find_if(pairs.begin(), pairs.end(),
                                [&](const auto& p) { return p.first == key; })
                ->second;
        }
        bool has(const std::string& key) const {
            return std::any_of(pairs.begin(), pairs.end(),
                               [&](const auto& p) { return p.first == key; });
        }
    };
    // key=value words; every key of `required` once, and exactly one of `one_of` when it is not
    // empty.
    Fields fields(const std::vector<std::string>& words, const std::vector<std::string>& required,
                  const std::vector<std::string>& one_of) const {
        Fields f;
        for (const std::string& w : words) {
            const size_t eq = w.find('=');
            if (eq == std::string::npos) fail("'" + w + "' is not key=value");
            std::string key = w.substr(0, eq);
            const bool known = std::find(required.begin(), required.end(), key) != required.end() ||
                               std::find(one_of.begin(), one_of.end(), key) != one_of.end();
            if (!known) fail("unknown key '" + key + "'");
            if (f.has(key)) fail("'" + key + "' given twice");
            f.pairs.emplace_back(std::move(key), w.substr(eq + 1));
        }
        for (const std::string& key : required)
            if (!f.has(key)) fail("'" + key + "=' is missing");
        if (!one_of.empty() && std::count_if(one_of.begin(), one_of.end(),
                                             [&](const auto& k) { return f.has(k); }) != 1)
            fail("give one of 'data=' and 'file='");
        return f;
    }

    void block(const Fields& f) {
        const uint8_t a = static_cast<uint8_t>(number(f.at("a"), "a", 255));
        const uint8_t b = static_cast<uint8_t>(number(f.at("b"), "b", 255));
        // B = 0 means a record of zeros, whose data the file does not hold.
        if (b == 0) fail("b must not be 0 in a block (a record of zeros is a 'zeros' line)");
        std::vector<uint8_t> data;
        if (f.has("data")) {
            data = hex_data(f.at("data"));
            if (data.empty() || data.size() > kCardBlock) fail("data must be 1 to 256 bytes");
        } else {
            const std::optional<std::vector<uint8_t>> file = read_file_(f.at("file"));
            if (!file) fail("cannot read " + f.at("file"));
            if (file->empty()) fail(f.at("file") + " is empty");
            data = *file;
        }
        for (size_t at = 0; at < data.size(); at += kCardBlock) {
            CardRecord r;
            r.a = a;
            r.b = b;
            const size_t n = std::min(kCardBlock, data.size() - at);
            r.length = static_cast<uint8_t>(n); // 256 is written as 0
            r.data.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                          data.begin() + static_cast<std::ptrdiff_t>(at + n));
            image_.records.push_back(std::move(r));
        }
    }

    unsigned number(const std::string& text, const std::string& what, unsigned max) const {
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const std::string digits = hex ? text.substr(2) : text;
        unsigned value = 0;
        bool good = !digits.empty() && digits.size() <= 8;
        for (char c : digits) {
            const int d = digit(c);
            if (d < 0 || (!hex && d > 9)) good = false;
            if (good) value = value * (hex ? 16 : 10) + unsigned(d);
        }
        if (!good || value > max)
            fail(what + " must be a number from 0 to " + std::to_string(max) +
                 " (decimal or 0x hex), not '" + text + "'");
        return value;
    }

    static int digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    std::vector<uint8_t> hex_data(const std::string& text) const {
        if (text.size() % 2) fail("data needs two hex digits a byte");
        std::vector<uint8_t> out;
        for (size_t i = 0; i < text.size(); i += 2) {
            const int hi = digit(text[i]), lo = digit(text[i + 1]);
            if (hi < 0 || lo < 0) fail("data holds '" + text.substr(i, 2) + "', not hex");
            out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        return out;
    }

    void read_text(const std::string& text) {
        std::vector<uint8_t>& out = image_.text;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\\') {
                out.push_back(static_cast<uint8_t>(text[i]));
            } else if (i + 1 < text.size() && text[i + 1] == '\\') {
                out.push_back('\\');
                ++i;
            } else if (i + 3 < text.size() && text[i + 1] == 'x' && digit(text[i + 2]) >= 0 &&
                       digit(text[i + 3]) >= 0) {
                out.push_back(static_cast<uint8_t>(digit(text[i + 2]) * 16 + digit(text[i + 3])));
                i += 3;
            } else {
                fail("the text holds a '\\' that is neither '\\\\' nor '\\xNN'");
            }
        }
        if (out.size() > 255)
            fail("the text is " + std::to_string(out.size()) + " bytes; at most 255 fit");
    }

    std::string name_;
    const CardFileReader& read_file_;
    int line_number_ = 0;
    CardImage image_;
    bool have_format_ = false, have_reserved_ = false, have_text_ = false, have_target_ = false;
};

} // namespace

CardImage read_card_description(const std::string& text, const std::string& name,
                                const CardFileReader& read_file) {
    return DescriptionReader(name, read_file).read(text);
}

} // namespace mkdisk
