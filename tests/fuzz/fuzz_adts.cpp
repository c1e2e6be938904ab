// The tone player's file reader over arbitrary files: the first ADTS frame that sets the
// decoder up, then frame by frame (header, length, FAAD2) to the end of the file. The speaker is
// held muted by the talk-start countdown, so only the reading and decoding run; every pass must
// consume a frame, so a file of n bytes ends within n / 7 passes.
#include "Common/DeviceState.h"
#include "Media/AudioPlayback.h"
#include "fuzz_util.h"

#include <cstring>

namespace {

using fuzz::Check;

const char kTone[] = "/customer/res/Fuzz.aac";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox({"/customer/res"});
    gTonePlayerSleep = [](uint32_t) {};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::PutFile(kTone, data, size);
    gDeviceState.TalkAudioSettleTimer = 0x7FFF;
    TONE_RECORD_S tone;
    std::snprintf(tone.Path, sizeof(tone.Path), "%s", kTone);
    tone.Run = 1;
    if (RingDecodeOpen(&tone) != 0) {
        Check(tone.Run == 0);
        return 0;
    }
    Check(size >= 7);
    size_t passes = 0;
    while (RingDecodePass(&tone) != 0) {
        ++passes;
        Check(passes <= size / 7 + 2);
    }
    RingDecodeClose(&tone);
    Check(tone.Run == 0);
    gDeviceState.TalkAudioSettleTimer = kCountdownStopped;
    return 0;
}
