// desksim sound: the tones of a desk's speaker.log as a WAV file a person can play. Each tone is
// a square wave at its pitch for its length, placed at its logged time; between tones there is
// silence. The file starts with the first tone.
#include "desk/desk.hpp"
#include "desksim.hpp"
#include "machine/speaker_log.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace desksim {

namespace {

constexpr uint32_t kSampleRate = 44100;
constexpr uint16_t kBitsPerSample = 16;
constexpr uint16_t kChannels = 1;
constexpr uint32_t kBytesPerSample = kBitsPerSample / 8;
constexpr uint32_t kHeaderBytes = 44;
constexpr uint16_t kPcm = 1;
constexpr uint32_t kFmtChunkBytes = 16;
// A quarter of full scale: a square wave is loud.
constexpr int16_t kAmplitude = 8192;
// Nobody hears a tone above this, and the samples could only alias it to a false pitch.
constexpr double kHighestAudibleHz = 20000;
constexpr uint64_t kUsPerSecond = 1'000'000;
constexpr size_t kChunkSamples = 1 << 16;
// The RIFF size fields are 32 bits.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8);

uint64_t sample_at(uint64_t us) {
    return (us * kSampleRate + kUsPerSecond / 2) / kUsPerSecond;
}

// The RIFF header of 16-bit mono PCM: the fields in their order, little-endian.
std::array<uint8_t, kHeaderBytes> wav_header(uint32_t data_bytes) {
    std::array<uint8_t, kHeaderBytes> h{};
    size_t at = 0;
    const auto put = [&](uint32_t value, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i)
            h[at++] = static_cast<uint8_t>(value >> (8 * i));
    };
    const auto tag = [&](const char(&text)[5]) {
        for (size_t i = 0; i < 4; ++i)
            h[at++] = static_cast<uint8_t>(text[i]);
    };
    tag("RIFF");
    put(kHeaderBytes - 8 + data_bytes, 4);
    tag("WAVE");
    tag("fmt ");
    put(kFmtChunkBytes, 4);
    put(kPcm, 2);
    put(kChannels, 2);
    put(kSampleRate, 4);
    put(kSampleRate * kChannels * kBytesPerSample, 4);
    put(kChannels * kBytesPerSample, 2);
    put(kBitsPerSample, 2);
    tag("data");
    put(data_bytes, 4);
    return h;
}

struct Span {
    uint64_t first = 0; // samples from the start of the file
    uint64_t end = 0;
    double hz = 0;
};

std::string seconds_text(uint64_t us) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", double(us) / kUsPerSecond);
    return buffer;
}

} // namespace

int run_sound(const std::string& desk, const std::string& output) {
    const auto folder = desk_folder(desk, "speaker log");
    if (!folder) return 1;
    const fs::path log_path = *folder / pcplat::desk::kSpeakerLogFile;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(log_path, error)))
        return fail(log_path.string() + ": no such log: the speaker has not sounded on this desk");
    std::ifstream in(log_path, std::ios::binary);
    if (!in) return fail("cannot read " + log_path.string() + ": " + std::strerror(errno));
    std::vector<pcplat::ToneRecord> tones;
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        const auto tone = pcplat::parse_tone(line);
        if (!tone)
            return fail(log_path.string() + ": line " + std::to_string(number) +
                        ": not a tone (tick, start_ms, divisor, hz, length_ms)");
        tones.push_back(*tone);
    }
    if (in.bad()) return fail("cannot read " + log_path.string() + ": " + std::strerror(errno));
    if (tones.empty()) return fail(log_path.string() + ": holds no tone");

    std::stable_sort(tones.begin(), tones.end(),
                     [](const auto& a, const auto& b) { return a.start_us < b.start_us; });
    const uint64_t origin_us = tones.front().start_us;
    uint64_t end_us = 0;
    std::vector<Span> spans;
    for (const auto& tone : tones) {
        const uint64_t from = tone.start_us - origin_us;
        const uint64_t to = from + tone.length_us;
        end_us = std::max(end_us, to);
        spans.push_back({sample_at(from), sample_at(to), tone.hz()});
    }
    const uint64_t samples = sample_at(end_us);
    if (samples * kBytesPerSample > kMaxDataBytes)
        return fail(log_path.string() + ": the tones span " + seconds_text(end_us) +
                    " seconds, too long for a WAV file");

    try {
        ReplacedFile out(output);
        const auto header = wav_header(static_cast<uint32_t>(samples * kBytesPerSample));
        out.write(header.data(), header.size());
        std::vector<int16_t> chunk;
        for (uint64_t at = 0; at < samples; at += chunk.size()) {
            chunk.assign(std::min<uint64_t>(kChunkSamples, samples - at), 0);
            const uint64_t chunk_end = at + chunk.size();
            for (const Span& s : spans) {
                if (s.hz > kHighestAudibleHz || s.end <= at || s.first >= chunk_end) continue;
                for (uint64_t n = std::max(at, s.first); n < std::min(chunk_end, s.end); ++n) {
                    const double cycles = double(n - s.first) * s.hz / kSampleRate;
                    const bool high = cycles - std::floor(cycles) < 0.5;
                    chunk[n - at] = high ? kAmplitude : static_cast<int16_t>(-kAmplitude);
                }
            }
            // WAV samples are little-endian, as this machine's are.
            out.write(chunk.data(), chunk.size() * sizeof(int16_t));
        }
        out.commit();
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return write_out("Wrote " + output + ": " + std::to_string(tones.size()) +
                     (tones.size() == 1 ? " tone, " : " tones, ") + seconds_text(end_us) +
                     " seconds (16-bit mono PCM at 44.1 kHz, from " + seconds_text(origin_us) +
                     " s after power-on)\n")
               ? 0
               : 1;
}

} // namespace desksim
