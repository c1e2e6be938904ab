// Makes the unit's tones: "Ringbell.aac" (a two-note door chime, rung twice) and "Unlock.aac" (two
// short rising beeps), shaped as tone_shapes.h says, synthesised at 16 kHz mono after one AAC
// frame of silence and encoded to ADTS AAC-LC with the encoder calls the unit itself uses.
// Usage: tonegen OUTDIR
#include "faac/faac.h"
#include "tone_shapes.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using tones::kRate;
constexpr unsigned long kBitRate = 48000;

// One struck bell: partials above the note, each dying away at its own pace.
void AddBell(std::vector<double>& out, double start, double freq)
{
    static const double kRatio[] = {1.0, 2.0, 3.0, 4.2, 5.4};
    static const double kAmp[] = {1.0, 0.5, 0.25, 0.12, 0.06};
    static const double kDecay[] = {0.9, 0.5, 0.35, 0.25, 0.2};  // seconds to 1/e
    size_t first = static_cast<size_t>(start * kRate);
    for (size_t i = first; i < out.size(); ++i) {
        double t = static_cast<double>(i - first) / kRate;
        double attack = t < 0.005 ? t / 0.005 : 1.0;
        for (int k = 0; k < 5; ++k) {
            out[i] += attack * kAmp[k] * std::exp(-t / kDecay[k]) * std::sin(2 * M_PI * freq * kRatio[k] * t);
        }
    }
}

// A beep with 10 ms soft edges.
void AddBeep(std::vector<double>& out, double start, double length, double freq)
{
    size_t first = static_cast<size_t>(start * kRate);
    size_t n = static_cast<size_t>(length * kRate);
    for (size_t i = 0; i < n && first + i < out.size(); ++i) {
        double t = static_cast<double>(i) / kRate;
        double edge = std::min(t, length - t) / 0.01;
        double env = edge >= 1 ? 1 : 0.5 - 0.5 * std::cos(M_PI * edge);
        out[first + i] += env * std::sin(2 * M_PI * freq * t);
    }
}

std::vector<int16_t> ToPcm(const std::vector<double>& v, double peak)
{
    double most = 1e-9;
    for (double x : v) {
        most = std::max(most, std::fabs(x));
    }
    std::vector<int16_t> pcm(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        pcm[i] = static_cast<int16_t>(std::lround(v[i] / most * peak * 32767));
    }
    return pcm;
}

bool Encode(const std::vector<int16_t>& pcm, const std::string& path)
{
    unsigned long inputSamples = 0;
    unsigned long maxBytes = 0;
    faacEncHandle enc = faacEncOpen(kRate, 1, &inputSamples, &maxBytes);
    if (enc == nullptr) {
        return false;
    }
    faacEncConfigurationPtr cfg = faacEncGetCurrentConfiguration(enc);
    cfg->inputFormat = FAAC_INPUT_16BIT;
    cfg->aacObjectType = LOW;
    cfg->mpegVersion = MPEG4;
    cfg->bitRate = kBitRate;
    cfg->outputFormat = ADTS_STREAM;
    FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = faacEncSetConfiguration(enc, cfg) == 1 && f != nullptr;
    std::vector<unsigned char> out(maxBytes);
    std::vector<int16_t> block(inputSamples);
    for (size_t at = 0; ok && at < pcm.size(); at += inputSamples) {
        size_t n = std::min<size_t>(inputSamples, pcm.size() - at);
        std::copy(pcm.begin() + static_cast<long>(at), pcm.begin() + static_cast<long>(at + n), block.begin());
        int bytes = faacEncEncode(enc, reinterpret_cast<int32_t*>(block.data()), static_cast<unsigned>(n), out.data(),
                                  static_cast<unsigned>(out.size()));
        ok = bytes >= 0 && std::fwrite(out.data(), 1, static_cast<size_t>(bytes), f) == static_cast<size_t>(bytes);
    }
    for (int bytes = 1; ok && bytes > 0;) {
        bytes = faacEncEncode(enc, nullptr, 0, out.data(), static_cast<unsigned>(out.size()));
        ok = bytes >= 0 && std::fwrite(out.data(), 1, static_cast<size_t>(bytes), f) == static_cast<size_t>(bytes);
    }
    if (f != nullptr) {
        ok = std::fclose(f) == 0 && ok;
    }
    faacEncClose(enc);
    if (!ok) {
        std::remove(path.c_str());
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tonegen OUTDIR\n");
        return 2;
    }
    std::string dir = argv[1];

    const double lead = static_cast<double>(tones::kLeadSamples) / kRate;
    std::vector<double> ring(tones::kLeadSamples + static_cast<size_t>(tones::kRingSeconds * kRate));
    for (const tones::Bell& b : tones::kRingBells) {
        AddBell(ring, lead + b.start, b.freq);
    }
    std::vector<double> unlock(tones::kLeadSamples + static_cast<size_t>(tones::kUnlockSeconds * kRate));
    for (const tones::Beep& b : tones::kUnlockBeeps) {
        AddBeep(unlock, lead + b.start, b.length, b.freq);
    }

    if (!Encode(ToPcm(ring, 0.6), dir + "/Ringbell.aac") || !Encode(ToPcm(unlock, 0.5), dir + "/Unlock.aac")) {
        std::fprintf(stderr, "tonegen: could not write the tones to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
