// A voice-like test sound, its WAV file, and how well a stretch of it is found again in what the
// speaker played: what the whole-process suites check talk-back with.
#pragma once

#include "process.h"
#include "sandbox.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A voice-like test sound: a gliding tone with a syllable rhythm, 8 kHz.
std::vector<int16_t> Voice(double seconds)
{
    const int n = static_cast<int>(seconds * 8000);
    std::vector<int16_t> pcm(n);
    double phase = 0;
    for (int i = 0; i < n; ++i) {
        const double t = i / 8000.0;
        const double f = 300 + 500 * (0.5 + 0.5 * std::sin(2 * M_PI * 0.7 * t)) + 200 * std::sin(2 * M_PI * 3.1 * t);
        phase += 2 * M_PI * f / 8000.0;
        const double env = 0.35 + 0.65 * std::fabs(std::sin(2 * M_PI * 2.3 * t));
        pcm[i] = static_cast<int16_t>(9000 * env * (std::sin(phase) + 0.3 * std::sin(2.7 * phase)));
    }
    return pcm;
}

void WriteWav(const std::string& path, const std::vector<int16_t>& pcm, uint32_t rate)
{
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t bytes = static_cast<uint32_t>(pcm.size() * 2);
    f.write("RIFF", 4);
    u32(36 + bytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    f.write("data", 4);
    u32(bytes);
    f.write(reinterpret_cast<const char*>(pcm.data()), bytes);
}

// The best normalised cross-correlation of `part` (16 kHz) within `heard` from `from` on.
double BestCorrelation(const std::vector<int16_t>& part, const std::vector<int16_t>& heard, size_t from)
{
    double best = 0;
    double pp = 0;
    for (int16_t s : part) {
        pp += static_cast<double>(s) * s;
    }
    for (size_t lag = from; lag + part.size() <= heard.size(); ++lag) {
        double ph = 0;
        double hh = 0;
        for (size_t i = 0; i < part.size(); ++i) {
            ph += static_cast<double>(part[i]) * heard[lag + i];
            hh += static_cast<double>(heard[lag + i]) * heard[lag + i];
        }
        if (hh > 0) {
            best = std::max(best, ph / std::sqrt(pp * hh));
        }
    }
    return best;
}

// How well the voice's stretch past the talk-start pause (1 s to 2.5 s), at the speaker's 16 kHz,
// is found in the speaker file after its first `before` samples; 0 when the file did not grow by
// that much within 10 s.
double VoiceInSpeaker(const TestSandbox& sb, const std::vector<int16_t>& voice, size_t before)
{
    std::vector<int16_t> part;
    for (size_t i = 8000; i < 8000 + 12000; ++i) {
        part.push_back(voice[i]);
        part.push_back(static_cast<int16_t>((voice[i] + voice[i + 1]) / 2));
    }
    std::vector<int16_t> heard;
    const bool grew = Eventually(
        [&] {
            heard = SpeakerFile(sb);
            return heard.size() >= before + part.size();
        },
        std::chrono::seconds(10));
    return grew ? BestCorrelation(part, heard, before) : 0;
}

}  // namespace
