#include "machine/devices.hpp"
#include "machine/machine.hpp"
#include "machine/speaker_log.hpp"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <vector>

namespace pcplat {

namespace {
constexpr uint8_t kWritable = 0x0F;
constexpr uint8_t kRefreshToggle = 0x10;
constexpr uint32_t kMaxDivisor = 65536;
constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kUsPerMs = 1000;

std::string ms_text(uint64_t us) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%llu.%03llu",
                  static_cast<unsigned long long>(us / kUsPerMs),
                  static_cast<unsigned long long>(us % kUsPerMs));
    return buffer;
}

bool parse_unsigned(std::string_view text, uint64_t& out) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size();
}

// "123.456" (or "123", or fewer decimals) as microseconds.
bool parse_ms(std::string_view text, uint64_t& us) {
    const size_t dot = text.find('.');
    uint64_t whole = 0;
    if (!parse_unsigned(text.substr(0, dot), whole) || whole > UINT64_MAX / kUsPerMs / 2)
        return false;
    uint64_t fraction = 0;
    if (dot != std::string_view::npos) {
        const std::string_view digits = text.substr(dot + 1);
        if (digits.empty() || digits.size() > 3 || !parse_unsigned(digits, fraction)) return false;
        for (size_t i = digits.size(); i < 3; ++i)
            fraction *= 10;
    }
    us = whole * kUsPerMs + fraction;
    return true;
}

bool parse_hz(std::string_view text) {
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() && value > 0;
}

} // namespace

double ToneRecord::hz() const {
    return divisor ? double(Pit::kInputHz) / divisor : 0.0;
}

std::string speaker_log_header() {
    return "# The desk speaker's tones since power-on, one a line: the timer tick and the time it\n"
           "# began at, timer channel 2's divisor, its pitch (1193182 Hz / divisor) and how long\n"
           "# it sounded.\n"
           "#      tick      start_ms  divisor          hz     length_ms\n";
}

std::string format_tone(const ToneRecord& tone) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%11llu %13s %8u %11.2f %13s\n",
                  static_cast<unsigned long long>(tone.tick), ms_text(tone.start_us).c_str(),
                  tone.divisor, tone.hz(), ms_text(tone.length_us).c_str());
    return buffer;
}

std::optional<ToneRecord> parse_tone(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t i = 0; i < line.size();) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
            continue;
        }
        const size_t end = line.find_first_of(" \t\r", i);
        fields.push_back(line.substr(i, end == std::string_view::npos ? end : end - i));
        i = end == std::string_view::npos ? line.size() : end;
    }
    if (fields.size() != 5) return std::nullopt;
    ToneRecord tone;
    uint64_t divisor = 0;
    if (!parse_unsigned(fields[0], tone.tick) || !parse_ms(fields[1], tone.start_us) ||
        !parse_unsigned(fields[2], divisor) || divisor == 0 || divisor > kMaxDivisor ||
        !parse_hz(fields[3]) || !parse_ms(fields[4], tone.length_us))
        return std::nullopt;
    tone.divisor = static_cast<uint32_t>(divisor);
    return tone;
}

Speaker::Speaker(PortBus& ports, Pit& pit, Clock& clock, const uint64_t& ticks,
                 std::filesystem::path log_file)
    : pit_(pit), clock_(clock), ticks_(ticks), power_on_ns_(clock.now_ns()),
      log_file_(std::move(log_file)) {
    PortHandlers h;
    h.in8 = [this](uint16_t) -> uint8_t {
        // Bit 4 toggles with memory refresh; programs poll it for short delays.
        refresh_ = !refresh_;
        return static_cast<uint8_t>(value_ | (refresh_ ? kRefreshToggle : 0));
    };
    h.out8 = [this](uint16_t, uint8_t v) { write_port(v); };
    claim_ =
        ports.claim(ports::kSystemControlB, 1, std::move(h), "system control port B (speaker)");
    pit_.count_loaded = [this](int channel) {
        // A new count while the speaker sounds is the next tone, without a gap.
        if (channel != 2 || !sounding()) return;
        end_tone();
        begin_tone();
    };
}

Speaker::~Speaker() {
    pit_.count_loaded = nullptr;
    if (sounding()) end_tone();
}

void Speaker::write_port(uint8_t value) {
    const bool was = sounding();
    value_ = value & kWritable;
    if (!was && sounding())
        begin_tone();
    else if (was && !sounding())
        end_tone();
}

void Speaker::begin_tone() {
    tone_tick_ = ticks_;
    tone_start_ns_ = clock_.now_ns();
    tone_divisor_ = pit_.divisor(2);
}

void Speaker::end_tone() {
    ToneRecord tone;
    tone.tick = tone_tick_;
    tone.start_us = (tone_start_ns_ - power_on_ns_) / kNsPerUs;
    tone.divisor = tone_divisor_;
    tone.length_us = (clock_.now_ns() - tone_start_ns_) / kNsPerUs;
    // A log that cannot be written costs the record, never the program's run.
    std::ofstream log(log_file_, log_started_ ? std::ios::app : std::ios::trunc);
    if (!log_started_) log << speaker_log_header();
    log_started_ = true;
    log << format_tone(tone);
    if (log) ++tones_logged_;
}

} // namespace pcplat
