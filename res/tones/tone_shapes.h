// The shapes of the unit's tones, shared by the generator and the tests that listen to them.
#pragma once

#include <cstddef>

namespace tones {

constexpr unsigned long kRate = 16000;
// Silence before the first sound: the player uses the first AAC frame (1024 samples) only to
// set its decoder up, so sound in it would never be heard.
constexpr size_t kLeadSamples = 1024;

struct Beep {
    double start;   // seconds after the lead silence
    double length;  // seconds, 10 ms soft edges included
    double freq;
};
constexpr Beep kUnlockBeeps[] = {{0.0, 0.12, 1046.5}, {0.15, 0.15, 1568.0}};  // C6, G6
constexpr double kUnlockSeconds = 0.4;

struct Bell {
    double start;
    double freq;
};
constexpr Bell kRingBells[] = {{0.0, 659.25}, {0.55, 523.25}, {1.6, 659.25}, {2.15, 523.25}};  // ding dong, twice
constexpr double kRingSeconds = 3.4;

}  // namespace tones
