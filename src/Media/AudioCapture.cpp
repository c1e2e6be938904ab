#include "AudioCapture.h"

#include "Common/AppLog.h"
#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "VencStream.h"
#include "platform/board.h"
#include "platform/board_msgq.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"
#include "platform/mi/mi_sys.h"

#include <cstdlib>
#include <mutex>
#include <random>
#include <speex/speex_echo.h>
#include <sys/msg.h>
#include <speex/speex_preprocess.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <unistd.h>

AUDIO_STATE_S gAudioState;

namespace {

constexpr uint32_t kAiPoolFrames = 6;
constexpr int32_t kAoSrcGain = 5;
constexpr MI_U32 kAdecType = 1;
constexpr unsigned long kAacBitRate = 48000;
constexpr unsigned long kAacQuality = 50;
// The capture loop waits this long for a frame, so that a stop is seen even without frames.
constexpr int32_t kAiWaitMs = 200;
constexpr int kAiRetryMs = 10;

std::atomic<uint32_t> gAiBadFrameLen{kAudioFrameBytes};  // the last wrong frame size logged

std::atomic<int> gAacMsgQueue{-1};

std::mutex gAacLock;
faacEncHandle gAacEncoder = nullptr;
unsigned long gAacInputSamples = 0;
unsigned long gAacMaxOutputBytes = 0;

void __WaitMs(int ms)
{
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    select(0, nullptr, nullptr, nullptr, &tv);
}

uint64_t __NowUs()
{
    struct timeval tv {};
    BoardGetTimeOfDay(&tv);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

MI_AUDIO_Attr_t __Attr(MI_U32 poolFrames)
{
    MI_AUDIO_Attr_t a{};
    a.sampleRate = kAudioSampleRate;
    a.bitWidth = E_MI_AUDIO_BIT_WIDTH_16;
    a.workMode = E_MI_AUDIO_MODE_I2S_MASTER;
    a.soundMode = E_MI_AUDIO_SOUND_MODE_MONO;
    a.frameNum = poolFrames;
    a.ptNumPerFrm = kAudioFrameSamples;
    a.codecChnCnt = 0;
    a.chnCnt = 1;
    a.i2s = MI_AUDIO_I2sConfig_t{0, 0, 1};
    return a;
}

}  // namespace

AudioEchoCanceller::AudioEchoCanceller()
    : mEcho(speex_echo_state_init(kAudioFrameSamples, kAudioEchoTailSamples)),
      mPre(speex_preprocess_state_init(kAudioFrameSamples, kAudioSampleRate))
{
    spx_int32_t rate = kAudioSampleRate;
    speex_echo_ctl(mEcho, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    speex_preprocess_ctl(mPre, SPEEX_PREPROCESS_SET_ECHO_STATE, mEcho);
}

AudioEchoCanceller::~AudioEchoCanceller()
{
    speex_preprocess_state_destroy(mPre);
    speex_echo_state_destroy(mEcho);
}

void AudioEchoCanceller::Process(const int16_t* mic, const int16_t* played, int16_t* out)
{
    speex_echo_cancellation(mEcho, mic, played, out);
    speex_preprocess_run(mPre, out);
}

bool AudioFrameGateOpen()
{
    return gAppState.Online != 0 && !CountdownRunning(gDeviceState.TalkAudioSettleTimer);
}

int AiGetFramePass(AudioEchoCanceller& aec, int32_t timeoutMs)
{
    static const int16_t kSilence[kAudioFrameSamples] = {};
    MI_AUDIO_Frame_t frame{};
    MI_AUDIO_AecFrame_t ref{};
    MI_S32 rc = MI_AI_GetFrame(0, 0, &frame, &ref, timeoutMs);
    if (rc != MI_SUCCESS) {
        return rc;
    }
    // The canceller always works on 320 samples: any other frame would be read past its end.
    // Logged once for each new wrong size, not 25 times a second.
    if (frame.len != kAudioFrameBytes || frame.virAddr[0] == nullptr) {
        if (frame.len != gAiBadFrameLen) {
            AppLogPrint(APP_LOG_RED, "AiGetFrameThread", "frame of %u bytes, not %u: dropped", frame.len,
                        kAudioFrameBytes);
            gAiBadFrameLen = frame.len;
        }
        MI_AI_ReleaseFrame(0, 0, &frame, &ref);
        return MI_SUCCESS;
    }
    const int16_t* played = kSilence;
    if (ref.valid && ref.refFrame.virAddr[0] != nullptr && ref.refFrame.len == kAudioFrameBytes) {
        played = static_cast<const int16_t*>(ref.refFrame.virAddr[0]);
    }
    int16_t out[kAudioFrameSamples] = {};
    aec.Process(static_cast<const int16_t*>(frame.virAddr[0]), played, out);
    if (AudioFrameGateOpen()) {
        MEDIA_FRAME_S media{};
        media.type = MEDIA_FRAME_TYPE_AUDIO;
        media.data = reinterpret_cast<uint8_t*>(out);
        media.size = kAudioFrameBytes;
        media.pts = __NowUs();
        media.timestamp = media.pts;
        // PutMediaFrame of the viewer side (appends to the media ring buffer).
        if (gVencOutput.PutMediaFrame != nullptr) {
            gVencOutput.PutMediaFrame(MEDIA_CHANNEL_AUDIO, &media);
        }
    }
    MI_AI_ReleaseFrame(0, 0, &frame, &ref);
    return MI_SUCCESS;
}

void* AiGetFrameThread(void*)
{
    prctl(PR_SET_NAME, "AiGetFrameThread");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    AudioEchoCanceller aec;
    while (gAudioState.AiRun) {
        if (AiGetFramePass(aec, kAiWaitMs) != MI_SUCCESS) {
            __WaitMs(kAiRetryMs);
        }
    }
    return nullptr;
}

void AudioInit()
{
    MI_AUDIO_Attr_t ai = __Attr(kAiPoolFrames);
    AUDIO_MI_CALL(MI_AI_SetPubAttr(0, &ai), "MI_AI_SetPubAttr Fail %#x");
    AUDIO_MI_CALL(MI_AI_GetPubAttr(0, &ai), "MI_AI_GetPubAttr Fail %#x");
    AUDIO_MI_CALL(MI_AI_Enable(0), "MI_AI_Enable Fail %#x");
    const MI_SYS_ChnPort_t aiPort{E_MI_MODULE_ID_AI, 0, 0, 0};
    AUDIO_MI_CALL(MI_SYS_SetChnOutputPortDepth(&aiPort, 1, 8), "MI_SYS_SetChnOutputPortDepth Fail %#x");
    AUDIO_MI_CALL(MI_AI_EnableChn(0, 0), "MI_AI_EnableChn Fail %#x");
    MI_AI_SetVqeVolume(0, 0, kAudioVqeVolume);
    APP_DBG("%d", kAudioVqeVolume);

    MI_AUDIO_Attr_t ao{};
    AUDIO_MI_QUERY(MI_AO_GetPubAttr(0, &ao), "MI_AO_GetPubAttr Fail %#x");
    ao = __Attr(0);
    AUDIO_MI_CALL(MI_AO_SetPubAttr(0, &ao), "MI_AO_SetPubAttr Fail %#x");
    AUDIO_MI_CALL(MI_AO_Enable(0), "MI_AO_Enable Fail %#x");
    AUDIO_MI_CALL(MI_AO_EnableChn(0, 0), "MI_AO_EnableChn Fail %#x");
    MI_AO_AdecAttr_t adec{};
    AUDIO_MI_QUERY(MI_AO_GetAdecAttr(0, 0, &adec), "MI_AO_GetAdecAttr Fail %#x");
    adec = MI_AO_AdecAttr_t{kAdecType, kAudioSampleRate, E_MI_AUDIO_SOUND_MODE_MONO};
    AUDIO_MI_CALL(MI_AO_SetAdecAttr(0, 0, &adec), "MI_AO_SetAdecAttr Fail %#x");
    MI_S32 volume = 0;
    MI_AO_GetVolume(0, &volume);
    MI_AO_SetVolume(0, kAudioVolumeDb);
    MI_AO_SetSrcGain(0, kAoSrcGain);

    InitAACEncoder();
    AacMsgQueueInit();

    gAudioState.AiRun = 1;
    if (pthread_create(&gAudioState.AiThread, nullptr, AiGetFrameThread, nullptr) == 0) {
        gAudioState.AiThreadStarted = 1;
    } else {
        APP_ERR("AiGetFrameThread not started");
        gAudioState.AiRun = 0;
    }
}

void AudioDeInit()
{
    gAudioState.AiRun = 0;
    if (gAudioState.AiThreadStarted) {
        pthread_join(gAudioState.AiThread, nullptr);
        gAudioState.AiThreadStarted = 0;
    }
    MI_AI_DisableVqe(0, 0);
    MI_AI_DisableChn(0, 0);
    MI_AI_Disable(0);
    MI_AO_DisableAdec(0, 0);
    MI_AO_DisableChn(0, 0);
    MI_AO_Disable(0);
}

int InitAACEncoder()
{
    // The test and the open under one lock: two callers never both open an encoder.
    std::lock_guard<std::mutex> lk(gAacLock);
    if (gAacEncoder != nullptr) {
        return -1;
    }
    gAacEncoder = faacEncOpen(kAudioSampleRate, 1, &gAacInputSamples, &gAacMaxOutputBytes);
    if (gAacEncoder == nullptr) {
        APP_ERR("faacEncOpen!");
        return -1;
    }
    APP_DBG("nMaxOutputBytes = %d nInputSamples = %d", static_cast<int>(gAacMaxOutputBytes),
            static_cast<int>(gAacInputSamples));
    faacEncConfigurationPtr cfg = faacEncGetCurrentConfiguration(gAacEncoder);
    cfg->inputFormat = FAAC_INPUT_16BIT;
    cfg->aacObjectType = LOW;
    cfg->mpegVersion = MPEG4;
    cfg->useTns = 0;
    cfg->allowMidside = 1;
    cfg->bitRate = kAacBitRate;
    cfg->bandWidth = 0;
    cfg->quantqual = kAacQuality;
    cfg->outputFormat = ADTS_STREAM;
    if (faacEncSetConfiguration(gAacEncoder, cfg) == 0) {
        APP_ERR("faacEncSetConfiguration refused: the encoder keeps its defaults");
    }
    return 0;
}

void CloseAACEncoder()
{
    std::lock_guard<std::mutex> lk(gAacLock);
    if (gAacEncoder != nullptr) {
        faacEncClose(gAacEncoder);
    }
    gAacEncoder = nullptr;
}

int AACEncodeFrame(faacEncHandle handle, uint8_t* pcm, uint32_t len, uint8_t* out, uint32_t outSize)
{
    return faacEncEncode(handle, reinterpret_cast<int32_t*>(pcm), len / 2, out, outSize);
}

faacEncHandle GetAACEncoderHandle()
{
    std::lock_guard<std::mutex> lk(gAacLock);
    return gAacEncoder;
}

uint32_t AacMsgOwner()
{
    static const uint32_t owner = [] {
        std::random_device rd;
        uint32_t v = rd() ^ static_cast<uint32_t>(getpid());
        return v != 0 ? v : 1u;
    }();
    return owner;
}

int AacMsgQueueDrain(int id)
{
    int taken = 0;
    AAC_MSG_S msg{};
    while (id >= 0 && BoardMsgQueueReceive(id, &msg, sizeof(msg.Body), kAacMsgType, IPC_NOWAIT | MSG_NOERROR) >= 0) {
        if (msg.Body.Owner == AacMsgOwner()) {
            std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(msg.Body.Frame)));
        }
        ++taken;
    }
    return taken;
}

int AacMsgQueueInit()
{
    int id = BoardMsgQueueCreate(kAacMsgQueueNumber);
    if (id < 0) {
        APP_ERR("create msg error ");
        return -1;
    }
    AacMsgQueueDrain(id);
    gAacMsgQueue = id;
    return id;
}

int AacMsgQueueId()
{
    return gAacMsgQueue;
}

void AacMsgQueueRemove()
{
    int id = gAacMsgQueue.exchange(-1);
    if (id >= 0) {
        AacMsgQueueDrain(id);
        BoardMsgQueueRemove(id);
    }
}
