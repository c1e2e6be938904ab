#include "AudioPlayback.h"

#include "AudioCapture.h"
#include "Common/AppLog.h"
#include "Common/DeviceState.h"
#include "Common/Peripheral.h"
#include "platform/board_msgq.h"
#include "platform/board_path.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <neaacdec.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/msg.h>
#include <sys/select.h>

const uint32_t kAdtsSampleRates[13] = {96001, 96001, 96001, 48000, 44100, 32000, 24000,
                                       22050, 16000, 12000, 11025, 8000,  96001};

TONE_RECORD_S gToneRecord;

namespace {

constexpr int32_t kAoSendTimeoutMs = 100;
constexpr uint32_t kAoTonePerFrame = 1024;
constexpr uint32_t kAmplifierWaitMs = 1000;
constexpr uint32_t kAmplifierStepMs = 50;
constexpr uint32_t kQueueWaitMs = 100;
constexpr uint32_t kFramePauseMs = 2;
constexpr uint32_t kLoopQueuedFrames = 10;  // a looping tone refills once the queue is this short

void __SelectSleep(uint32_t ms)
{
    struct timeval tv = {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    select(0, nullptr, nullptr, nullptr, &tv);
}

std::atomic<uint8_t> gAoCodec{kAoCodecPcm};
std::atomic<uint8_t> gAoIndex{kAoRateIndex8000};

// Start and stop come from several threads (bus, ring, timer, cloud): one lock, one player.
std::mutex gToneLock;
pthread_t gToneThread{};
bool gToneThreadLive = false;  // created and not joined yet

NeAACDecHandle gAacSyncDecoder = nullptr;

// The asynchronous decoder: its handle is used by its thread only while the thread runs.
NeAACDecHandle gAacAsyncDecoder = nullptr;
std::mutex gAsyncLock;  // init and deinit
std::atomic<uint8_t> gAsyncRun{0};
std::atomic<uint8_t> gAsyncActive{0};
pthread_t gAsyncThread{};
bool gAsyncThreadLive = false;
constexpr uint32_t kAsyncFrameWaitMs = 10;
constexpr uint32_t kAsyncIdleWaitMs = 60;

NeAACDecHandle __OpenDecoder()
{
    NeAACDecHandle h = NeAACDecOpen();
    if (h == nullptr) {
        return nullptr;
    }
    NeAACDecConfigurationPtr cfg = NeAACDecGetCurrentConfiguration(h);
    cfg->defObjectType = LC;
    cfg->defSampleRate = 48000;
    cfg->outputFormat = FAAD_FMT_16BIT;
    cfg->dontUpSampleImplicitSBR = 1;
    NeAACDecSetConfiguration(h, cfg);
    return h;
}

// Opened and initialised from the first frame, or null (logged under `label`).
NeAACDecHandle __InitDecoder(uint8_t* frame, uint16_t len, const char* label)
{
    NeAACDecHandle h = __OpenDecoder();
    if (h == nullptr) {
        return nullptr;
    }
    unsigned long rate = 0;
    unsigned char channels = 0;
    if (NeAACDecInit(h, frame, len, &rate, &channels) < 0) {
        APP_ERR("NeAACDecInit failed");
        NeAACDecClose(h);
        return nullptr;
    }
    AppLogPrint(APP_LOG_BLUE, label, "samplerate %d, channels %d\n", static_cast<int>(rate), channels);
    return h;
}

int __Decode(NeAACDecHandle h, uint8_t* frame, uint16_t len, uint8_t* out, uint16_t* outLen)
{
    if (h == nullptr || frame == nullptr || out == nullptr || outLen == nullptr) {
        return -1;
    }
    NeAACDecFrameInfo info{};
    void* samples = NeAACDecDecode(h, &info, frame, len);
    if (info.error != 0) {
        APP_ERR("%s", NeAACDecGetErrorMessage(info.error));
        return -1;
    }
    if (samples == nullptr || info.samples == 0) {
        return 0;
    }
    // Channel 0 of whatever the frame carries (SBR doubles the samples, stereo interleaves them).
    unsigned channels = info.channels != 0 ? info.channels : 1;
    unsigned long frames = info.samples / channels;
    if (frames * 2 > kAacPcmBufferSize) {
        APP_ERR("%lu samples do not fit the PCM buffer", frames);
        return -1;
    }
    const int16_t* pcm = static_cast<const int16_t*>(samples);
    for (unsigned long i = 0; i < frames; ++i) {
        std::memcpy(out + 2 * i, &pcm[i * channels], 2);
    }
    *outLen = static_cast<uint16_t>(frames * 2);
    return 0;
}

// The one player's state; only the player thread touches it.
struct TONE_PLAYER_S {
    FILE* File = nullptr;
    bool Draining = false;  // the file is read to its end: waiting for the queue
    MI_S32 SavedVolume = 0;
    uint8_t SavedCodec = kAoCodecPcm;
    uint8_t SavedIndex = kAoRateIndex8000;
    uint8_t Frame[kAacFrameBufferSize];
    uint8_t Pcm[kAacPcmBufferSize];
};
TONE_PLAYER_S gPlayer;

// Waits while the speaker has more than `most` frames queued (and the tone is still wanted):
// true to wait once more, false when done waiting (also when the query fails).
bool __QueueBusy(const TONE_RECORD_S* tone, MI_U32 most)
{
    if (!tone->Run) {
        return false;
    }
    MI_AO_ChnState_t st{};
    if (MI_AO_QueryChnStat(0, 0, &st) != MI_SUCCESS) {
        return false;
    }
    return st.chnBusyNum > most;
}

void __JoinPlayerLocked()
{
    if (gToneThreadLive) {
        pthread_join(gToneThread, nullptr);
        gToneThreadLive = false;
    }
}

}  // namespace

void (*gTonePlayerSleep)(uint32_t ms) = __SelectSleep;

void SendFrameToAo(uint8_t* pcm, uint32_t len)
{
    if (len == 0 || CountdownRunning(gDeviceState.TalkAudioSettleTimer)) {
        return;
    }
    MI_AUDIO_Frame_t frame{};
    frame.bitWidth = E_MI_AUDIO_BIT_WIDTH_16;
    frame.soundMode = E_MI_AUDIO_SOUND_MODE_MONO;
    frame.virAddr[0] = pcm;
    frame.len = len;
    MI_S32 rc = MI_AO_SendFrame(0, 0, &frame, kAoSendTimeoutMs);
    if (rc != MI_SUCCESS) {
        APP_ERR("MI_AO_SendFrame Fail %#x", rc);
    }
}

void SetTalkVolume(uint8_t on)
{
    MI_AO_SetVolume(0, on ? kTalkVolumeDb : kAudioVolumeDb);
    MI_AI_SetVqeVolume(0, 0, on ? kTalkVqeVolume : kAudioVqeVolume);
}

namespace {

void __StartLocked(const char* path, uint8_t loop)
{
    if (gToneRecord.Run) {
        return;  // a tone plays: it goes on
    }
    __JoinPlayerLocked();  // a player that ended by itself
    std::snprintf(gToneRecord.Path, sizeof(gToneRecord.Path), "%s", path);
    gToneRecord.Loop = loop;
    gToneRecord.Run = 1;
    gDeviceState.RingToneTimer = kToneTimeoutTicks;
    if (pthread_create(&gToneThread, nullptr, RingDecodeThread, &gToneRecord) != 0) {
        APP_ERR("RingDecodeThread not started");
        gToneRecord.Run = 0;
        return;
    }
    gToneThreadLive = true;
}

void __StopLocked()
{
    gToneRecord.Run = 0;
    __JoinPlayerLocked();
}

bool __PlayingLocked(const char* path)
{
    return gToneRecord.Run && std::strcmp(gToneRecord.Path, path) == 0;
}

}  // namespace

void StartRingDecode(const char* path, uint8_t loop)
{
    std::lock_guard<std::mutex> lk(gToneLock);
    __StartLocked(path, loop);
}

void StopRingDecode()
{
    std::lock_guard<std::mutex> lk(gToneLock);
    __StopLocked();
}

void StartRingbellAudio()
{
    StartRingDecode(kRingbellTonePath, 0);
}

void StopRingbellAudio()
{
    // The end of a call stops its ring, never the unlock tone of the door just opened.
    std::lock_guard<std::mutex> lk(gToneLock);
    if (__PlayingLocked(kRingbellTonePath)) {
        __StopLocked();
    }
}

void StartUnlockAudio()
{
    // The door opens while the ring still sounds: the unlock tone is what the user must hear.
    std::lock_guard<std::mutex> lk(gToneLock);
    if (__PlayingLocked(kRingbellTonePath)) {
        __StopLocked();
    }
    __StartLocked(kUnlockTonePath, 0);
}

void StopUnlockAudio()
{
    StopRingDecode();
}

void AudioDecodeInit(uint8_t codec, uint8_t index)
{
    if (index > 12) {
        return;
    }
    APP_DBG("%d %d", codec, static_cast<int>(kAdtsSampleRates[index]));
    if (codec == kAoCodecAac || codec == kAoCodecPcm) {
        MI_AUDIO_Attr_t attr{};
        AUDIO_MI_CALL(MI_AO_GetPubAttr(0, &attr), "MI_AO_GetPubAttr %#x");
        AUDIO_MI_CALL(MI_AO_DisableChn(0, 0), "MI_AO_DisableChn %#x");
        AUDIO_MI_CALL(MI_AO_Disable(0), "MI_AO_Disable %#x");
        attr.sampleRate = codec == kAoCodecAac ? kAdtsSampleRates[index] : kAudioSampleRate;
        attr.ptNumPerFrm = codec == kAoCodecAac ? kAoTonePerFrame : kAudioFrameSamples;
        AUDIO_MI_CALL(MI_AO_SetPubAttr(0, &attr), "MI_AO_SetPubAttr %#x");
        AUDIO_MI_CALL(MI_AO_Enable(0), "MI_AO_Enable %#x");
        AUDIO_MI_CALL(MI_AO_EnableChn(0, 0), "MI_AO_EnableChn %#x");
    }
    MI_AO_ClearChn(0, 0);
    MI_AO_ChnState_t st{};
    MI_AO_QueryChnStat(0, 0, &st);
    gAoIndex = index;
    gAoCodec = codec;
}

uint8_t AudioDecodeCodec()
{
    return gAoCodec;
}

uint8_t AudioDecodeIndex()
{
    return gAoIndex;
}

int AACSyncDecoderOpen()
{
    AACSyncDecoderDeInit();
    gAacSyncDecoder = __OpenDecoder();
    return gAacSyncDecoder != nullptr ? 0 : -1;
}

int AACSyncDecoderInit(uint8_t* frame, uint16_t len)
{
    AACSyncDecoderDeInit();
    gAacSyncDecoder = __InitDecoder(frame, len, "AACSyncDecoderDeInit");
    return gAacSyncDecoder != nullptr ? 0 : -1;
}

void AACSyncDecoderDeInit()
{
    if (gAacSyncDecoder != nullptr) {
        NeAACDecClose(gAacSyncDecoder);
    }
    gAacSyncDecoder = nullptr;
}

int AACDecode(uint8_t* frame, uint16_t len, uint8_t* out, uint16_t* outLen)
{
    return __Decode(gAacSyncDecoder, frame, len, out, outLen);
}

int AACAsyncDecode(uint8_t* frame, uint16_t len, uint8_t* out, uint16_t* outLen)
{
    return __Decode(gAacAsyncDecoder, frame, len, out, outLen);
}

int AACAsyncDecoderInit(uint8_t* frame, uint16_t len)
{
    std::lock_guard<std::mutex> lk(gAsyncLock);
    if (gAsyncThreadLive) {
        return -1;  // running: one decoder, one thread
    }
    gAacAsyncDecoder = __InitDecoder(frame, len, "AACAsyncDecoderDeInit");
    if (gAacAsyncDecoder == nullptr) {
        return -1;
    }
    // Frames left from before this decoder are dropped here, not by the thread, so that a frame
    // put once this returns is always played.
    int id = AacMsgQueueId();
    if (id < 0) {
        AacMsgQueueInit();  // "create msg error " when it cannot be made
    } else {
        AacMsgQueueDrain(id);
    }
    gAsyncRun = 1;
    if (pthread_create(&gAsyncThread, nullptr, AACDecodeThread, nullptr) != 0) {
        APP_ERR("AACDecodeThread not started");
        gAsyncRun = 0;
        NeAACDecClose(gAacAsyncDecoder);
        gAacAsyncDecoder = nullptr;
        return -1;
    }
    gAsyncThreadLive = true;
    gAsyncActive = 1;
    return 0;
}

void AACAsyncDecoderDeInit()
{
    std::lock_guard<std::mutex> lk(gAsyncLock);
    // The thread first: it decodes with the handle until it has stopped.
    if (gAsyncThreadLive) {
        gAsyncRun = 0;
        pthread_join(gAsyncThread, nullptr);
        gAsyncThreadLive = false;
        AacMsgQueueRemove();
    }
    if (gAacAsyncDecoder != nullptr) {
        NeAACDecClose(gAacAsyncDecoder);
        gAacAsyncDecoder = nullptr;
    }
    gAsyncActive = 0;
}

uint8_t AACAsyncDecoderActive()
{
    return gAsyncActive;
}

int AACAsyncPutFrame(const uint8_t* frame, uint16_t len)
{
    const int id = AacMsgQueueId();
    if (id < 0 || frame == nullptr || len == 0) {
        return -1;
    }
    auto* copy = static_cast<uint8_t*>(std::malloc(len));
    if (copy == nullptr) {
        return -1;
    }
    std::memcpy(copy, frame, len);
    AAC_MSG_S msg{};
    msg.Type = kAacMsgType;
    msg.Body.Frame = reinterpret_cast<uintptr_t>(copy);
    msg.Body.Length = len;
    msg.Body.Owner = AacMsgOwner();
    if (BoardMsgQueueSend(id, &msg, sizeof(msg.Body), 0) != 0) {
        std::free(copy);  // not queued: nobody else will free it
        return -1;
    }
    return 0;
}

int AACDecodePass(int queue)
{
    AAC_MSG_S msg{};
    if (BoardMsgQueueReceive(queue, &msg, sizeof(msg.Body), kAacMsgType, IPC_NOWAIT | MSG_NOERROR) < 0) {
        return 0;
    }
    if (msg.Body.Owner != AacMsgOwner()) {
        return 1;  // another process's address: meaningless here, dropped untouched
    }
    auto* frame = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(msg.Body.Frame));
    static uint8_t pcm[kAacPcmBufferSize];  // the decoder thread's only buffer
    uint16_t pcmLen = 0;
    const uint16_t len = static_cast<uint16_t>(std::min<uint32_t>(msg.Body.Length, 0xFFFF));
    if (AACAsyncDecode(frame, len, pcm, &pcmLen) == 0) {
        SendFrameToAo(pcm, pcmLen);
    }
    std::free(frame);
    return 1;
}

void* AACDecodeThread(void*)
{
    prctl(PR_SET_NAME, "AACDecodeThread");
    const int id = AacMsgQueueId();
    while (gAsyncRun) {
        if (id >= 0 && AACDecodePass(id) != 0) {
            gTonePlayerSleep(kAsyncFrameWaitMs);
        } else {
            gTonePlayerSleep(kAsyncIdleWaitMs);
        }
    }
    return nullptr;
}

int AdtsFrameLength(const uint8_t h[7])
{
    if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) {
        return -1;
    }
    int len = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
    return len < 7 ? -1 : len;
}

int RingDecodeOpen(TONE_RECORD_S* tone)
{
    TONE_PLAYER_S& p = gPlayer;
    p.File = BoardFopen(tone->Path, "rb");
    if (p.File == nullptr) {
        std::perror("RingDecodeThread ");
        tone->Run = 0;
        return -1;
    }
    uint8_t h[7];
    size_t got = std::fread(h, 1, sizeof(h), p.File);
    std::rewind(p.File);
    int len = got == sizeof(h) ? AdtsFrameLength(h) : -1;
    // The first frame sets the decoder up and is not played.
    size_t first = len > 0 ? std::fread(p.Frame, 1, static_cast<size_t>(len), p.File) : 0;
    if (first == 0 || AACSyncDecoderInit(p.Frame, static_cast<uint16_t>(first)) != 0) {
        APP_ERR("%s is no ADTS AAC file: not played", tone->Path);
        std::fclose(p.File);
        p.File = nullptr;
        tone->Run = 0;
        return -1;
    }
    MI_AO_GetVolume(0, &p.SavedVolume);
    p.SavedCodec = gAoCodec;
    p.SavedIndex = gAoIndex;
    MI_AO_SetVolume(0, kToneVolumeDb);
    AudioDecodeInit(kAoCodecAac, static_cast<uint8_t>((h[2] >> 2) & 0x0F));
    p.Draining = false;
    return 0;
}

void RingDecodeAmplifierOn(TONE_RECORD_S* tone)
{
    SetSpeakerPower(1);
    for (uint32_t waited = 0; waited < kAmplifierWaitMs && tone->Run; waited += kAmplifierStepMs) {
        gTonePlayerSleep(kAmplifierStepMs);
    }
}

int RingDecodePass(TONE_RECORD_S* tone)
{
    TONE_PLAYER_S& p = gPlayer;
    if (!tone->Run || p.File == nullptr) {
        return 0;
    }
    if (p.Draining) {
        // A looping tone refills when the queue runs short; a one-shot tone ends when it is empty.
        if (__QueueBusy(tone, tone->Loop ? kLoopQueuedFrames : 0)) {
            gTonePlayerSleep(kQueueWaitMs);
            return 1;
        }
        p.Draining = false;
        if (tone->Loop && tone->Run) {
            std::rewind(p.File);
            return 1;
        }
        return 0;
    }
    uint8_t h[7];
    size_t got = std::fread(h, 1, sizeof(h), p.File);
    if (got < sizeof(h)) {
        p.Draining = true;  // the end of the file (a partial header counts as its end)
        return 1;
    }
    int len = AdtsFrameLength(h);
    if (len < 0) {
        APP_ERR("corrupt ADTS frame in %s: tone stopped", tone->Path);
        return 0;
    }
    std::fseek(p.File, -static_cast<long>(sizeof(h)), SEEK_CUR);
    size_t n = std::fread(p.Frame, 1, static_cast<size_t>(len), p.File);
    uint16_t pcmLen = 0;  // a frame without samples sends nothing
    if (AACDecode(p.Frame, static_cast<uint16_t>(n), p.Pcm, &pcmLen) == 0) {
        SendFrameToAo(p.Pcm, pcmLen);
    }
    gTonePlayerSleep(kFramePauseMs);
    return 1;
}

void RingDecodeClose(TONE_RECORD_S* tone)
{
    TONE_PLAYER_S& p = gPlayer;
    if (p.File != nullptr) {
        std::fclose(p.File);
        p.File = nullptr;
    }
    MI_AO_SetVolume(0, p.SavedVolume);
    AudioDecodeInit(p.SavedCodec, p.SavedIndex);
    AACSyncDecoderDeInit();
    tone->Run = 0;
}

void* RingDecodeThread(void* arg)
{
    prctl(PR_SET_NAME, "RingDecodeThread");
    auto* tone = static_cast<TONE_RECORD_S*>(arg);
    if (RingDecodeOpen(tone) != 0) {
        return nullptr;
    }
    RingDecodeAmplifierOn(tone);
    while (RingDecodePass(tone) != 0) {
    }
    RingDecodeClose(tone);
    return nullptr;
}
