// What the speaker plays: blocks of 16-bit PCM (talk-back and tones) through SendFrameToAo, the
// talk-back levels, and the tone player: one ADTS AAC file at a time, decoded frame by frame
// (FAAD2) on a thread of its own, with the speaker switched to the file's rate and the amplifier
// on; the speaker's rate and volume are restored afterwards.
#pragma once

#include <atomic>
#include <cstdint>

constexpr const char* kRingbellTonePath = "/customer/res/Ringbell.aac";
constexpr const char* kUnlockTonePath = "/customer/res/Unlock.aac";
constexpr uint16_t kToneTimeoutTicks = 3000;  // 30 s
constexpr int32_t kToneVolumeDb = -45;
constexpr int32_t kTalkVolumeDb = -46;
constexpr int32_t kTalkVqeVolume = 9;
constexpr uint8_t kAoCodecPcm = 0;
constexpr uint8_t kAoCodecAac = 97;
constexpr uint8_t kAoRateIndex8000 = 11;
// The player's buffers: one ADTS frame (at most 8191 bytes) and the PCM of one decoded frame.
constexpr uint32_t kAacFrameBufferSize = 8192;
constexpr uint32_t kAacPcmBufferSize = 16384;

// Speaker rate by ADTS sampling-frequency index; 96001 marks the indexes not played at their rate.
extern const uint32_t kAdtsSampleRates[13];

// The tone record: written by the starter and stopper (under the player's lock), read by the player.
struct TONE_RECORD_S {
    char Path[64] = {};
    std::atomic<uint8_t> Run{0};   // 1 while a tone is to play
    std::atomic<uint8_t> Loop{0};  // 1: start again from the beginning at the end of the file
};

extern TONE_RECORD_S gToneRecord;

// Every wait of the tone player goes through here (milliseconds); tests put their own in.
extern void (*gTonePlayerSleep)(uint32_t ms);

// Plays one block of 16-bit mono PCM (waits up to 100 ms for room). Nothing is sent for 0 bytes or
// while the talk-start countdown runs.
void SendFrameToAo(uint8_t* pcm, uint32_t len);
// Talk-back levels on (speaker -46 dB, microphone 9) or off (-40 dB, 8).
void SetTalkVolume(uint8_t on);

// Starts the player on the file (a unit path) unless a tone plays already; the tone time-out
// (30 s) starts with it. A player that ended by itself is joined first.
void StartRingDecode(const char* path, uint8_t loop);
// Stops a playing tone and waits for its player.
void StopRingDecode();
void StartRingbellAudio();
// Stops the ring tone only: another tone (the unlock tone) plays to its end.
void StopRingbellAudio();
// Starts the unlock tone; a ring tone that plays is stopped for it.
void StartUnlockAudio();
void StopUnlockAudio();

// Re-opens the speaker for a codec: 97 (AAC) at the rate of the sampling-frequency index with
// 1024 samples a frame, 0 (PCM) at 8000 Hz with 320; other codecs keep the set-up. The queue is
// cleared in every case. Indexes above 12 do nothing.
void AudioDecodeInit(uint8_t codec, uint8_t index);
// The codec and index AudioDecodeInit last set (0 and 11 at start).
uint8_t AudioDecodeCodec();
uint8_t AudioDecodeIndex();

// The player's decoder, initialised from the first ADTS frame: 0, or -1.
int AACSyncDecoderInit(uint8_t* frame, uint16_t len);
void AACSyncDecoderDeInit();
// Decodes one frame into out (room for kAacPcmBufferSize bytes): the first channel as 16-bit PCM,
// its byte count in *outLen (untouched when the frame gave no samples). 0, or -1 (no decoder, a
// frame that does not decode, or more PCM than the buffer holds).
int AACDecode(uint8_t* frame, uint16_t len, uint8_t* out, uint16_t* outLen);

// Opens and configures the player's decoder without initialising it from a frame: 0, or -1.
int AACSyncDecoderOpen();

// The asynchronous decoder: AAC frames put on the AAC message queue (AACAsyncPutFrame, heap
// copies) are decoded by AACDecodeThread and played with SendFrameToAo. Nothing starts it yet.
// Init opens the decoder from the first frame, makes the queue if there is none (else drops what
// waits on it) and starts the thread: 0, or -1.
int AACAsyncDecoderInit(uint8_t* frame, uint16_t len);
// Stops the thread, then closes the decoder, empties and removes the queue.
void AACAsyncDecoderDeInit();
// Queues a copy of one frame (waits for room): 0, or -1 without a queue or when it cannot be sent.
int AACAsyncPutFrame(const uint8_t* frame, uint16_t len);
// AACDecode on the asynchronous decoder.
int AACAsyncDecode(uint8_t* frame, uint16_t len, uint8_t* out, uint16_t* outLen);
// Thread body: decodes and plays frame by frame (AACDecodePass) while the decoder runs.
void* AACDecodeThread(void* arg);
// One frame off the queue, decoded and played: 1, or 0 when none was waiting.
int AACDecodePass(int queue);
// 1 between AACAsyncDecoderInit and AACAsyncDecoderDeInit.
uint8_t AACAsyncDecoderActive();

// The player thread (argument: the tone record) and its steps, which tests call one by one:
// RingDecodeOpen (file, first frame, speaker at the file's rate and -45 dB; -1 when the file
// cannot be opened: the speaker and amplifier untouched, the run flag cleared),
// RingDecodeAmplifierOn (amplifier on, then 1 s in short waits that end early on a stop),
// RingDecodePass (one frame or one wait for the queue; 0 when playing is over) and
// RingDecodeClose (speaker back to its rate and volume, run flag cleared).
void* RingDecodeThread(void* arg);
int RingDecodeOpen(TONE_RECORD_S* tone);
void RingDecodeAmplifierOn(TONE_RECORD_S* tone);
int RingDecodePass(TONE_RECORD_S* tone);
void RingDecodeClose(TONE_RECORD_S* tone);

// ADTS frame length (13 bits, header included) of a 7-byte header, or -1 when the header does not
// begin with the sync word or the length is below 7.
int AdtsFrameLength(const uint8_t header[7]);
