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
// A read of attributes before they are first set: a device fresh from start has none, so its
// refusal is a state, logged as progress (blue), not an error.
#define AUDIO_MI_QUERY(call, fmt)             \
    do {                                      \
        MI_S32 audioRc_ = (call);             \
        if (audioRc_ != MI_SUCCESS) {         \
            APP_DBG(fmt, audioRc_);           \
        }                                     \
    } while (0)

// The AAC message queue: heap copies of AAC frames handed to the asynchronous decoder. Board
// queue 224 (the project byte of the system's key 1248), messages of type 1248.
constexpr int kAacMsgQueueNumber = 224;
constexpr long kAacMsgType = 1248;
struct AAC_MSG_S {
    long Type;  // kAacMsgType
    struct {
        uint64_t Frame;   // address of the heap copy, in the sender's process
        uint32_t Length;  // its bytes
        uint32_t Owner;   // AacMsgOwner() of the sending process
    } Body;
};
// This process's mark on its messages: the queue outlives a process, and an address left by
// another one must never be freed or read.
uint32_t AacMsgOwner();
// Start-up step 9 of AudioInit: the queue made (anew) and emptied. Its id, or -1 ("create msg
// error ").
int AacMsgQueueInit();
// The queue's id, -1 while there is none.
int AacMsgQueueId();
// Empties the queue (as AacMsgQueueDrain) and removes it.
void AacMsgQueueRemove();
// Takes every waiting message off the queue: this process's copies are freed, anything another
// process left is dropped untouched. The number taken.
int AacMsgQueueDrain(int id);

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
// encoder, prepares the AAC message queue and starts AiGetFrameThread. SoC failures are logged and the set-up goes on.
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
