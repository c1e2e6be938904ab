// The unit's microphone and speaker (AI and AO device 0, channel 0): set-up and teardown, the
// capture thread that cleans the microphone's 40 ms frames of the speaker's echo (speexdsp echo
// canceller and preprocessor) and hands them to the viewer side as audio channel 9, and the AAC
// encoder the recorder opens and closes.
#pragma once

#include "Common/AppLog.h"
#include "faac/faac.h"
#include "platform/mi/mi_common.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

struct SpeexEchoState_;
struct SpeexPreprocessState_;

constexpr uint32_t kAudioSampleRate = 8000;
constexpr uint32_t kAudioFrameSamples = 320;  // 40 ms
constexpr uint32_t kAudioFrameBytes = kAudioFrameSamples * 2;
constexpr uint32_t kAudioEchoTailSamples = 3200;  // 400 ms of echo
constexpr int32_t kAudioVolumeDb = -40;
constexpr int32_t kAudioVqeVolume = 8;

// An MI call of a set-up whose failure is logged (red, with the calling function's name, the
// message given its result) while the set-up goes on.
#define AUDIO_MI_CALL(call, fmt)              \
    do {                                      \
        MI_S32 audioRc_ = (call);             \
        if (audioRc_ != MI_SUCCESS) {         \
            APP_ERR(fmt, audioRc_);           \
        }                                     \
    } while (0)

// The capture thread's state words.
struct AUDIO_STATE_S {
    std::atomic<uint8_t> AiRun{0};  // 1 while AiGetFrameThread is to run
    pthread_t AiThread{};
    std::atomic<uint8_t> AiThreadStarted{0};
};

extern AUDIO_STATE_S gAudioState;

// The echo canceller (frame 320, filter 3200 samples, 8 kHz) with the noise-suppressing
// preprocessor linked to it; made when the capture loop starts, destroyed when it ends.
class AudioEchoCanceller {
public:
    AudioEchoCanceller();
    ~AudioEchoCanceller();
    AudioEchoCanceller(const AudioEchoCanceller&) = delete;
    AudioEchoCanceller& operator=(const AudioEchoCanceller&) = delete;

    // Cleans one frame of kAudioFrameSamples microphone samples against what the speaker played
    // while it was captured.
    void Process(const int16_t* mic, const int16_t* played, int16_t* out);

private:
    SpeexEchoState_* mEcho;
    SpeexPreprocessState_* mPre;
};

// Start-up step 10: opens the microphone and the speaker, sets their levels, opens the AAC
// encoder and starts AiGetFrameThread. SoC failures are logged and the set-up goes on.
void AudioInit();
// Before a firmware upgrade: stops the capture thread, then closes both devices.
void AudioDeInit();
// Thread body (argument ignored): capture passes while the run flag is set. Result null.
void* AiGetFrameThread(void* arg);
// One pass of the capture loop: waits up to timeoutMs (-1: for ever) for a microphone frame,
// cleans it and hands it over while the audio gate is open; the frame is always released. 0, or
// the MI error when no frame came. A frame of another size than 640 bytes is released unused.
int AiGetFramePass(AudioEchoCanceller& aec, int32_t timeoutMs);
// The audio gate: the cloud link online and the talk-start countdown idle or just run out.
bool AudioFrameGateOpen();

// Opens the 8 kHz mono AAC encoder (ADTS, LC, 48 kbit/s): 0; -1 when it is open already (the
// open one stays) or the encoder cannot be opened.
int InitAACEncoder();
// Closes the encoder if it is open.
void CloseAACEncoder();
// One block of 16-bit PCM (len bytes) through faacEncEncode: its result.
int AACEncodeFrame(faacEncHandle handle, uint8_t* pcm, uint32_t len, uint8_t* out, uint32_t outSize);
// The open encoder, or null.
faacEncHandle GetAACEncoderHandle();
