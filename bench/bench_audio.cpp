// The audio work the unit does per block, for the budget of its one slow core: cleaning one 40 ms
// microphone frame (echo canceller and preprocessor, converged on a speaking far end), encoding
// 1024 samples of 8 kHz speech to AAC, and decoding one frame of a 16 kHz tone as the tone player
// does (AACDecode, FAAD2).
// Each must take a small share of the block's own duration (40 ms, 128 ms, 64 ms).
#include "Media/AudioCapture.h"
#include "Media/AudioPlayback.h"
#include "faac/faac.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Speech-like test sound: a gliding pitch with its harmonics and some noise.
std::vector<int16_t> Talk(size_t n, double pitch)
{
    std::vector<int16_t> v(n);
    uint32_t seed = 1;
    double phase = 0;
    for (size_t i = 0; i < n; ++i) {
        double f0 = pitch * (1 + 0.1 * std::sin(i * 0.0005));
        phase += 2 * M_PI * f0 / 8000;
        double s = 0;
        for (int k = 1; k * f0 < 3500; ++k) {
            s += std::sin(k * phase) / k;
        }
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<int16_t>(3000 * s + static_cast<int>((seed >> 16) % 401) - 200);
    }
    return v;
}

void BM_EchoCancelFrame(benchmark::State& state)
{
    AudioEchoCanceller aec;
    std::vector<int16_t> far = Talk(8000 * 4, 200);
    std::vector<int16_t> mic(far.size());
    for (size_t i = 0; i < mic.size(); ++i) {
        mic[i] = static_cast<int16_t>((i >= 128 ? far[i - 128] / 2 : 0) + (far[i] % 37));
    }
    int16_t out[kAudioFrameSamples];
    size_t frames = far.size() / kAudioFrameSamples;
    for (size_t f = 0; f < frames; ++f) {  // converge first
        aec.Process(&mic[f * kAudioFrameSamples], &far[f * kAudioFrameSamples], out);
    }
    size_t f = 0;
    for (auto _ : state) {
        aec.Process(&mic[f * kAudioFrameSamples], &far[f * kAudioFrameSamples], out);
        benchmark::DoNotOptimize(out);
        f = (f + 1) % frames;
    }
    state.SetLabel("one 40 ms frame of 320 samples");
}
BENCHMARK(BM_EchoCancelFrame);

void BM_AacEncode1024(benchmark::State& state)
{
    unsigned long inputSamples = 0, maxBytes = 0;
    faacEncHandle enc = faacEncOpen(8000, 1, &inputSamples, &maxBytes);
    faacEncConfigurationPtr cfg = faacEncGetCurrentConfiguration(enc);
    cfg->bitRate = 48000;
    faacEncSetConfiguration(enc, cfg);
    std::vector<int16_t> pcm = Talk(inputSamples * 64, 150);
    std::vector<unsigned char> out(maxBytes);
    size_t block = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        int n = faacEncEncode(enc, reinterpret_cast<int32_t*>(&pcm[block * inputSamples]),
                              static_cast<unsigned>(inputSamples), out.data(), static_cast<unsigned>(out.size()));
        bytes += static_cast<uint64_t>(n > 0 ? n : 0);
        block = (block + 1) % 64;
    }
    faacEncClose(enc);
    state.counters["bytes/frame"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
    state.SetLabel("1024 samples (128 ms) at 8 kHz, 48 kbit/s");
}
BENCHMARK(BM_AacEncode1024);

void BM_ToneFrameDecode(benchmark::State& state)
{
    // A 16 kHz tone stream made with the same encoder calls the tone generator uses.
    unsigned long inputSamples = 0, maxBytes = 0;
    faacEncHandle enc = faacEncOpen(16000, 1, &inputSamples, &maxBytes);
    std::vector<int16_t> pcm(inputSamples);
    std::vector<unsigned char> out(maxBytes);
    std::vector<std::vector<uint8_t>> frames;
    for (int f = 0; f < 40; ++f) {
        for (size_t i = 0; i < pcm.size(); ++i) {
            double t = static_cast<double>(f * inputSamples + i) / 16000;
            pcm[i] = static_cast<int16_t>(12000 * std::exp(-t) * std::sin(2 * M_PI * 659.25 * t));
        }
        int n = faacEncEncode(enc, reinterpret_cast<int32_t*>(pcm.data()), static_cast<unsigned>(pcm.size()),
                              out.data(), static_cast<unsigned>(out.size()));
        if (n > 0) {
            frames.emplace_back(out.begin(), out.begin() + n);
        }
    }
    faacEncClose(enc);
    AACSyncDecoderInit(frames[0].data(), static_cast<uint16_t>(frames[0].size()));
    std::vector<uint8_t> pcmOut(kAacPcmBufferSize);
    size_t k = 0;
    for (auto _ : state) {
        uint16_t len = 0;
        AACDecode(frames[k].data(), static_cast<uint16_t>(frames[k].size()), pcmOut.data(), &len);
        benchmark::DoNotOptimize(pcmOut.data());
        k = (k + 1) % frames.size();
    }
    AACSyncDecoderDeInit();
    state.SetLabel("one 1024-sample frame (64 ms) at 16 kHz");
}
BENCHMARK(BM_ToneFrameDecode);

}  // namespace

BENCHMARK_MAIN();
