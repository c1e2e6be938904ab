// How well the phone's talk-back is found again in what the speaker played: what the
// whole-process suites check talk-back with.
#pragma once

#include "media_check.h"
#include "process.h"
#include "sandbox.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// How well the voice's stretch past the talk-start pause (1 s to 2.5 s), at the speaker's 16 kHz,
// is found in the speaker file after its first `before` samples, once the talk (sent whole by
// now) has played out: the file grew by at least the stretch and then stayed the same for half a
// second. 0 when it did not within 10 s.
double VoiceInSpeaker(const TestSandbox& sb, const std::vector<int16_t>& voice, size_t before)
{
    std::vector<int16_t> part;
    for (size_t i = 8000; i < 8000 + 12000; ++i) {
        part.push_back(voice[i]);
        part.push_back(static_cast<int16_t>((voice[i] + voice[i + 1]) / 2));
    }
    std::vector<int16_t> heard;
    const bool played = Eventually(
        [&] {
            const size_t was = SpeakerFile(sb).size();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            heard = SpeakerFile(sb);
            return heard.size() >= before + part.size() && heard.size() == was;
        },
        std::chrono::seconds(10));
    return played ? BestCorrelation(part, heard, before) : 0;
}

}  // namespace
