#include "machine/devices.hpp"

#include <array>

namespace pcplat {

namespace {

constexpr uint8_t kStatusOutputFull = 0x01;
constexpr uint8_t kStatusSystemFlag = 0x04;
constexpr uint8_t kCommandAck = 0xFA;

struct KeyCap {
    uint8_t scan;
    char normal;
    char shifted;
};

// The character keys of the US layout.
constexpr std::array<KeyCap, 50> kKeyCaps{{
    {0x01, 0x1B, 0x1B}, {0x02, '1', '!'},   {0x03, '2', '@'},   {0x04, '3', '#'},
    {0x05, '4', '$'},   {0x06, '5', '%'},   {0x07, '6', '^'},   {0x08, '7', '&'},
    {0x09, '8', '*'},   {0x0A, '9', '('},   {0x0B, '0', ')'},   {0x0C, '-', '_'},
    {0x0D, '=', '+'},   {0x0E, 0x08, 0x08}, {0x0F, '\t', '\t'}, {0x10, 'q', 'Q'},
    {0x11, 'w', 'W'},   {0x12, 'e', 'E'},   {0x13, 'r', 'R'},   {0x14, 't', 'T'},
    {0x15, 'y', 'Y'},   {0x16, 'u', 'U'},   {0x17, 'i', 'I'},   {0x18, 'o', 'O'},
    {0x19, 'p', 'P'},   {0x1A, '[', '{'},   {0x1B, ']', '}'},   {0x1C, '\r', '\r'},
    {0x1E, 'a', 'A'},   {0x1F, 's', 'S'},   {0x20, 'd', 'D'},   {0x21, 'f', 'F'},
    {0x22, 'g', 'G'},   {0x23, 'h', 'H'},   {0x24, 'j', 'J'},   {0x25, 'k', 'K'},
    {0x26, 'l', 'L'},   {0x27, ';', ':'},   {0x28, '\'', '"'},  {0x29, '`', '~'},
    {0x2B, '\\', '|'},  {0x2C, 'z', 'Z'},   {0x2D, 'x', 'X'},   {0x2E, 'c', 'C'},
    {0x2F, 'v', 'V'},   {0x30, 'b', 'B'},   {0x31, 'n', 'N'},   {0x32, 'm', 'M'},
    {0x33, ',', '<'},   {0x39, ' ', ' '},
}};
constexpr std::array<KeyCap, 2> kMoreKeyCaps{{{0x34, '.', '>'}, {0x35, '/', '?'}}};

const KeyCap* find_cap(uint8_t scan) {
    for (const auto& k : kKeyCaps)
        if (k.scan == scan) return &k;
    for (const auto& k : kMoreKeyCaps)
        if (k.scan == scan) return &k;
    return nullptr;
}

} // namespace

std::optional<KeyStroke> keystroke_for(char c) {
    if (c == '\n') c = '\r';
    auto search = [c](const auto& caps) -> std::optional<KeyStroke> {
        for (const auto& k : caps) {
            if (k.normal == c) return KeyStroke{k.scan, false, false};
            if (k.shifted == c) return KeyStroke{k.scan, true, false};
        }
        return std::nullopt;
    };
    if (auto s = search(kKeyCaps)) return s;
    if (auto s = search(kMoreKeyCaps)) return s;
    // Control characters are control plus a letter.
    const auto u = static_cast<unsigned char>(c);
    if (u >= 1 && u <= 26) {
        const char letter = static_cast<char>('a' + u - 1);
        for (const auto& k : kKeyCaps)
            if (k.normal == letter) return KeyStroke{k.scan, false, true};
    }
    return std::nullopt;
}

uint8_t ascii_for(uint8_t scan, bool shift, bool ctrl) {
    const KeyCap* k = find_cap(scan);
    if (!k) return 0;
    const auto base = static_cast<uint8_t>(k->normal);
    if (ctrl) return (base >= 'a' && base <= 'z') ? static_cast<uint8_t>(base - 'a' + 1) : base;
    return static_cast<uint8_t>(shift ? k->shifted : k->normal);
}

Kbc::Kbc(PortBus& ports) {
    PortHandlers h;
    h.in8 = [this](uint16_t port) -> uint8_t {
        if (port == ports::kKbcData) return read_data();
        return static_cast<uint8_t>(kStatusSystemFlag | (full_ ? kStatusOutputFull : 0));
    };
    h.out8 = [this](uint16_t port, uint8_t) {
        // Keyboard commands (LEDs, rates) are acknowledged; controller commands are ignored.
        if (port == ports::kKbcData) queue_.push_front(kCommandAck);
    };
    PortHandlers status;
    status.in8 = h.in8;
    claim_ = ports.claim(ports::kKbcData, 1, std::move(h), "keyboard controller (8042) data");
    status_claim_ =
        ports.claim(ports::kKbcStatus, 1, std::move(status), "keyboard controller (8042) status");
}

void Kbc::type_text(std::string_view text) {
    for (const char c : text) {
        const auto stroke = keystroke_for(c);
        if (!stroke) continue;
        const uint8_t modifier = stroke->ctrl ? scan::kCtrl : scan::kLeftShift;
        const bool modified = stroke->ctrl || stroke->shift;
        if (modified) push_scancode(modifier);
        push_scancode(stroke->scan);
        push_scancode(stroke->scan | scan::kBreak);
        if (modified) push_scancode(modifier | scan::kBreak);
    }
}

void Kbc::press_key(uint8_t scan_code) {
    push_scancode(scan_code);
    push_scancode(scan_code | scan::kBreak);
}

bool Kbc::refill() {
    if (full_ || queue_.empty()) return false;
    data_ = queue_.front();
    queue_.pop_front();
    full_ = true;
    return true;
}

uint8_t Kbc::read_data() {
    full_ = false;
    if (!queue_.empty()) raise_attention(); // the next code can come in now
    return data_;
}

} // namespace pcplat
