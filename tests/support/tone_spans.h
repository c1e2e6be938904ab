// Where sound is in 16-bit PCM: the spans whose short-time level stays above a tenth of the
// loudest, for the tone suites that measure beeps as they reached the speaker.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

struct ToneSpan {
    size_t start;
    size_t length;
};

// Level = the peak over a 2 ms window (at `rate`); gaps shorter than `minGap` samples do not
// split a span.
inline std::vector<ToneSpan> ToneSpans(const std::vector<int16_t>& pcm, unsigned rate, size_t minGap = 0)
{
    const size_t window = std::max<size_t>(1, rate / 500);
    int most = 1;
    for (int16_t s : pcm) {
        most = std::max(most, std::abs(static_cast<int>(s)));
    }
    const int threshold = most / 10;
    std::vector<ToneSpan> spans;
    bool in = false;
    size_t quietSince = 0;
    for (size_t at = 0; at + window <= pcm.size(); at += window) {
        int peak = 0;
        for (size_t i = at; i < at + window; ++i) {
            peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
        }
        if (peak > threshold) {
            if (!in && (spans.empty() || at - quietSince > minGap)) {
                spans.push_back({at, 0});
            }
            in = true;
            spans.back().length = at + window - spans.back().start;
        } else if (in) {
            in = false;
            quietSince = at;
        }
    }
    return spans;
}
