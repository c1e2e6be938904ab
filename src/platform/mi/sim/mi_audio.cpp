// MI_AI and MI_AO on the simulated board. Each capture period the speaker plays 40 ms of what is
// queued (written to "<root>/.board/speaker.wav") and the microphone hears 40 ms: the file
// "<root>/.board/mic.wav" when present, else a quiet room with a voice while the visitor stands
// there. What the speaker played in the same period is the microphone frame's echo reference.
#include "mi_state.h"
#include "platform/board_path.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

using namespace misim;

namespace {

MI_S32 __AiErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_AI, reason);
}
MI_S32 __AoErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_AO, reason);
}

bool __ValidAttr(const MI_AUDIO_Attr_t& a)
{
    bool rate = a.sampleRate == 8000 || a.sampleRate == 11025 || a.sampleRate == 12000 || a.sampleRate == 16000 ||
                a.sampleRate == 22050 || a.sampleRate == 24000 || a.sampleRate == 32000 || a.sampleRate == 44100 ||
                a.sampleRate == 48000;
    return rate && a.bitWidth == E_MI_AUDIO_BIT_WIDTH_16 && a.soundMode == E_MI_AUDIO_SOUND_MODE_MONO &&
           a.ptNumPerFrm > 0 && a.ptNumPerFrm <= 4096;
}

// Public attributes, device and channel enable: the same for the microphone and the speaker.
MI_S32 __SetAttr(AudioDev& d, MI_U32 module, MI_U32 dev, const MI_AUDIO_Attr_t* attr)
{
    if (dev != 0) {
        return MiErrCode(module, E_MI_ERR_INVALID_DEVID);
    }
    if (attr == nullptr) {
        return MiErrCode(module, E_MI_ERR_NULL_PTR);
    }
    if (!__ValidAttr(*attr)) {
        return MiErrCode(module, E_MI_ERR_ILLEGAL_PARAM);
    }
    if (d.enabled) {
        return MiErrCode(module, E_MI_ERR_NOT_PERM);  // disable first, as a rate change needs
    }
    d.attr = *attr;
    d.attrSet = true;
    return MI_SUCCESS;
}

MI_S32 __GetAttr(const AudioDev& d, MI_U32 module, MI_U32 dev, MI_AUDIO_Attr_t* attr)
{
    if (dev != 0) {
        return MiErrCode(module, E_MI_ERR_INVALID_DEVID);
    }
    if (attr == nullptr) {
        return MiErrCode(module, E_MI_ERR_NULL_PTR);
    }
    if (!d.attrSet) {
        return MiErrCode(module, E_MI_ERR_NOT_CONFIG);
    }
    *attr = d.attr;
    return MI_SUCCESS;
}

MI_S32 __EnableDev(AudioDev& d, MI_U32 module, MI_U32 dev)
{
    if (dev != 0) {
        return MiErrCode(module, E_MI_ERR_INVALID_DEVID);
    }
    if (!d.attrSet) {
        return MiErrCode(module, E_MI_ERR_NOT_CONFIG);
    }
    d.enabled = true;
    return MI_SUCCESS;
}

MI_S32 __EnableChn(AudioDev& d, MI_U32 module, MI_U32 dev, MI_U32 chn)
{
    if (dev != 0 || chn != 0) {
        return MiErrCode(module, E_MI_ERR_INVALID_CHNID);
    }
    if (!d.enabled) {
        return MiErrCode(module, E_MI_ERR_NOT_PERM);
    }
    d.chnEnabled = true;
    return MI_SUCCESS;
}

MI_U32 __PeriodSamples(const MI_AUDIO_Attr_t& a)
{
    return a.sampleRate / 25;
}

// 16-bit mono PCM of a WAV file ("data" chunk), or nothing.
std::vector<int16_t> __ReadWav(const std::string& path)
{
    std::vector<int16_t> pcm;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return pcm;
    }
    uint8_t head[12];
    if (std::fread(head, 1, 12, f) == 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
        uint8_t chunk[8];
        while (std::fread(chunk, 1, 8, f) == 8) {
            uint32_t len = chunk[4] | (chunk[5] << 8) | (chunk[6] << 16) | (static_cast<uint32_t>(chunk[7]) << 24);
            if (std::memcmp(chunk, "data", 4) == 0) {
                std::vector<uint8_t> raw(len);
                size_t n = std::fread(raw.data(), 1, len, f);
                for (size_t i = 0; i + 1 < n; i += 2) {
                    pcm.push_back(static_cast<int16_t>(raw[i] | (raw[i + 1] << 8)));
                }
                break;
            }
            if (std::fseek(f, len + (len & 1), SEEK_CUR) != 0) {
                break;
            }
        }
    }
    std::fclose(f);
    return pcm;
}

void __Put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Appends played samples to the speaker file, keeping its header's sizes right.
void __WriteSpeaker(AudioOut& ao, const std::vector<int16_t>& pcm)
{
    std::string path = BoardPath("/.board/speaker.wav");
    FILE* f = std::fopen(path.c_str(), ao.wavBytes ? "r+b" : "wb");
    if (f == nullptr) {
        return;
    }
    uint8_t h[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0};
    std::memcpy(h + 36, "data", 4);
    __Put32(h + 24, ao.attr.sampleRate);
    __Put32(h + 28, ao.attr.sampleRate * 2);
    h[32] = 2;
    h[34] = 16;
    ao.wavBytes += static_cast<uint32_t>(pcm.size() * 2);
    __Put32(h + 4, 36 + ao.wavBytes);
    __Put32(h + 40, ao.wavBytes);
    std::fwrite(h, 1, sizeof(h), f);
    std::fseek(f, 0, SEEK_END);
    for (int16_t v : pcm) {
        uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8)};
        std::fwrite(b, 1, 2, f);
    }
    std::fclose(f);
}

void __Capture(State& s, MI_U32 n)
{
    AudioIn& ai = s.ai;
    if (!ai.fileChecked) {
        ai.file = __ReadWav(BoardPath("/.board/mic.wav"));
        ai.fileChecked = true;
    }
    for (MI_U32 i = 0; i < n; ++i) {
        int16_t v;
        if (!ai.file.empty()) {
            v = ai.file[ai.filePos];
            ai.filePos = (ai.filePos + 1) % ai.file.size();
        } else {
            ai.noise = ai.noise * 1103515245u + 12345u;
            int noise = static_cast<int>((ai.noise >> 16) % 101) - 50;
            double t = static_cast<double>(s.periods * n + i) / ai.attr.sampleRate;
            int voice = s.visitor ? static_cast<int>(3000 * std::sin(2 * M_PI * 440 * t)) : 0;
            v = static_cast<int16_t>(voice + noise);
        }
        ai.fifo.push_back(v);
        ai.echoFifo.push_back(i < s.ao.played.size() ? s.ao.played[i] : 0);
    }
    // One second is kept; older sound is lost as in a full capture buffer.
    while (ai.fifo.size() > ai.attr.sampleRate) {
        ai.fifo.pop_front();
        ai.echoFifo.pop_front();
    }
}

}  // namespace

namespace misim {

void AudioPeriod(State& s)
{
    AudioOut& ao = s.ao;
    ao.played.clear();
    if (ao.attrSet && ao.enabled && ao.chnEnabled && !ao.queue.empty()) {
        MI_U32 n = std::min<MI_U32>(__PeriodSamples(ao.attr), static_cast<MI_U32>(ao.queue.size()));
        ao.played.assign(ao.queue.begin(), ao.queue.begin() + n);
        ao.queue.erase(ao.queue.begin(), ao.queue.begin() + n);
        __WriteSpeaker(ao, ao.played);
    }
    if (s.ai.attrSet && s.ai.enabled && s.ai.chnEnabled) {
        __Capture(s, __PeriodSamples(s.ai.attr));
    }
    s.cv.notify_all();
}

void AudioReset(State& s)
{
    s.ai = AudioIn{};
    s.ao = AudioOut{};
}

}  // namespace misim

// --- microphone ---

MI_S32 MI_AI_SetPubAttr(MI_U32 dev, const MI_AUDIO_Attr_t* attr)
{
    MI_SIM_ENTER();
    return __SetAttr(s.ai, E_MI_MODULE_ID_AI, dev, attr);
}

MI_S32 MI_AI_GetPubAttr(MI_U32 dev, MI_AUDIO_Attr_t* attr)
{
    MI_SIM_ENTER();
    return __GetAttr(s.ai, E_MI_MODULE_ID_AI, dev, attr);
}

MI_S32 MI_AI_Enable(MI_U32 dev)
{
    MI_SIM_ENTER();
    return __EnableDev(s.ai, E_MI_MODULE_ID_AI, dev);
}

MI_S32 MI_AI_Disable(MI_U32 dev)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __AiErr(E_MI_ERR_INVALID_DEVID);
    }
    s.ai.enabled = false;
    s.ai.chnEnabled = false;
    s.cv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AI_EnableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_ENTER();
    return __EnableChn(s.ai, E_MI_MODULE_ID_AI, dev, chn);
}

MI_S32 MI_AI_DisableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ai.chnEnabled = false;
    s.ai.fifo.clear();
    s.ai.echoFifo.clear();
    s.cv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AI_SetVqeVolume(MI_U32 dev, MI_U32 chn, MI_S32 volume)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    if (!s.ai.chnEnabled) {
        return __AiErr(E_MI_ERR_NOT_PERM);
    }
    if (volume < 0 || volume > 21) {
        return __AiErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.ai.vqeVolume = volume;
    s.ai.vqeEnabled = true;
    return MI_SUCCESS;
}

MI_S32 MI_AI_GetVqeVolume(MI_U32 dev, MI_U32 chn, MI_S32* volume)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    if (volume == nullptr) {
        return __AiErr(E_MI_ERR_NULL_PTR);
    }
    *volume = s.ai.vqeVolume;
    return MI_SUCCESS;
}

MI_S32 MI_AI_DisableVqe(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ai.vqeEnabled = false;
    return MI_SUCCESS;
}

MI_S32 MI_AI_GetFrame(MI_U32 dev, MI_U32 chn, MI_AUDIO_Frame_t* frame, MI_AUDIO_AecFrame_t* aec, MI_S32 timeoutMs)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    if (frame == nullptr) {
        return __AiErr(E_MI_ERR_NULL_PTR);
    }
    if (!s.ai.chnEnabled) {
        return __AiErr(E_MI_ERR_NOT_PERM);
    }
    if (s.ai.out) {
        return __AiErr(E_MI_ERR_BUSY);  // the previous frame is not released
    }
    MI_U32 n = s.ai.attr.ptNumPerFrm;
    auto ready = [&] { return !s.ai.chnEnabled || s.ai.fifo.size() >= n; };
    if (timeoutMs < 0) {
        s.cv.wait(lk, ready);
    } else if (timeoutMs > 0) {
        s.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (!s.ai.chnEnabled) {
        return __AiErr(E_MI_ERR_NOT_PERM);
    }
    if (s.ai.fifo.size() < n) {
        return __AiErr(E_MI_ERR_BUF_EMPTY);
    }
    AudioIn& ai = s.ai;
    ai.taken.assign(ai.fifo.begin(), ai.fifo.begin() + n);
    ai.takenEcho.assign(ai.echoFifo.begin(), ai.echoFifo.begin() + n);
    ai.fifo.erase(ai.fifo.begin(), ai.fifo.begin() + n);
    ai.echoFifo.erase(ai.echoFifo.begin(), ai.echoFifo.begin() + n);
    *frame = MI_AUDIO_Frame_t{};
    frame->bitWidth = E_MI_AUDIO_BIT_WIDTH_16;
    frame->soundMode = E_MI_AUDIO_SOUND_MODE_MONO;
    frame->virAddr[0] = ai.taken.data();
    frame->len = n * 2;
    frame->seq = ai.seq++;
    frame->timeStamp = s.periods * 40000;
    if (aec != nullptr) {
        *aec = MI_AUDIO_AecFrame_t{};
        aec->refFrame = *frame;
        aec->refFrame.virAddr[0] = ai.takenEcho.data();
        aec->valid = 1;
    }
    ai.out = true;
    return MI_SUCCESS;
}

MI_S32 MI_AI_ReleaseFrame(MI_U32 dev, MI_U32 chn, MI_AUDIO_Frame_t* frame, MI_AUDIO_AecFrame_t*)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    if (frame == nullptr) {
        return __AiErr(E_MI_ERR_NULL_PTR);
    }
    if (!s.ai.out) {
        return __AiErr(E_MI_ERR_NOT_PERM);
    }
    s.ai.out = false;
    return MI_SUCCESS;
}

MI_S32 MI_AI_DeInitDev()
{
    MI_SIM_ENTER();
    s.ai = AudioIn{};
    s.cv.notify_all();
    return MI_SUCCESS;
}

// --- speaker ---

MI_S32 MI_AO_SetPubAttr(MI_U32 dev, const MI_AUDIO_Attr_t* attr)
{
    MI_SIM_ENTER();
    return __SetAttr(s.ao, E_MI_MODULE_ID_AO, dev, attr);
}

MI_S32 MI_AO_GetPubAttr(MI_U32 dev, MI_AUDIO_Attr_t* attr)
{
    MI_SIM_ENTER();
    return __GetAttr(s.ao, E_MI_MODULE_ID_AO, dev, attr);
}

MI_S32 MI_AO_Enable(MI_U32 dev)
{
    MI_SIM_ENTER();
    return __EnableDev(s.ao, E_MI_MODULE_ID_AO, dev);
}

MI_S32 MI_AO_Disable(MI_U32 dev)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __AoErr(E_MI_ERR_INVALID_DEVID);
    }
    s.ao.enabled = false;
    s.ao.chnEnabled = false;
    s.ao.queue.clear();
    s.cv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AO_EnableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_ENTER();
    return __EnableChn(s.ao, E_MI_MODULE_ID_AO, dev, chn);
}

MI_S32 MI_AO_DisableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ao.chnEnabled = false;
    s.ao.queue.clear();
    s.cv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AO_SetAdecAttr(MI_U32 dev, MI_U32 chn, const MI_AO_AdecAttr_t* attr)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    if (attr == nullptr) {
        return __AoErr(E_MI_ERR_NULL_PTR);
    }
    s.ao.adec = *attr;
    s.ao.adecSet = true;
    return MI_SUCCESS;
}

MI_S32 MI_AO_GetAdecAttr(MI_U32 dev, MI_U32 chn, MI_AO_AdecAttr_t* attr)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    if (attr == nullptr) {
        return __AoErr(E_MI_ERR_NULL_PTR);
    }
    if (!s.ao.adecSet) {
        return __AoErr(E_MI_ERR_NOT_CONFIG);
    }
    *attr = s.ao.adec;
    return MI_SUCCESS;
}

MI_S32 MI_AO_DisableAdec(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ao.adecSet = false;
    return MI_SUCCESS;
}

MI_S32 MI_AO_SetVolume(MI_U32 dev, MI_S32 volumeDb)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __AoErr(E_MI_ERR_INVALID_DEVID);
    }
    if (volumeDb < -60 || volumeDb > 30) {
        return __AoErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.ao.volume = volumeDb;  // kept, not applied: the speaker file shows what was sent
    return MI_SUCCESS;
}

MI_S32 MI_AO_GetVolume(MI_U32 dev, MI_S32* volumeDb)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __AoErr(E_MI_ERR_INVALID_DEVID);
    }
    if (volumeDb == nullptr) {
        return __AoErr(E_MI_ERR_NULL_PTR);
    }
    *volumeDb = s.ao.volume;
    return MI_SUCCESS;
}

MI_S32 MI_AO_SetSrcGain(MI_U32 dev, MI_S32 gain)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __AoErr(E_MI_ERR_INVALID_DEVID);
    }
    s.ao.srcGain = gain;
    return MI_SUCCESS;
}

MI_S32 MI_AO_SendFrame(MI_U32 dev, MI_U32 chn, const MI_AUDIO_Frame_t* frame, MI_S32 timeoutMs)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    if (frame == nullptr || frame->virAddr[0] == nullptr) {
        return __AoErr(E_MI_ERR_NULL_PTR);
    }
    if (!s.ao.chnEnabled) {
        return __AoErr(E_MI_ERR_NOT_PERM);
    }
    if (frame->len == 0 || (frame->len & 1)) {
        return __AoErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    size_t n = frame->len / 2;
    size_t room = s.ao.attr.sampleRate;  // one second of sound can wait
    auto fits = [&] { return !s.ao.chnEnabled || s.ao.queue.size() + n <= room; };
    if (timeoutMs < 0) {
        s.cv.wait(lk, fits);
    } else if (timeoutMs > 0) {
        s.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), fits);
    }
    if (!s.ao.chnEnabled) {
        return __AoErr(E_MI_ERR_NOT_PERM);
    }
    if (s.ao.queue.size() + n > room) {
        return __AoErr(E_MI_ERR_BUF_FULL);
    }
    const auto* pcm = static_cast<const int16_t*>(frame->virAddr[0]);
    s.ao.queue.insert(s.ao.queue.end(), pcm, pcm + n);
    return MI_SUCCESS;
}

MI_S32 MI_AO_QueryChnStat(MI_U32 dev, MI_U32 chn, MI_AO_ChnState_t* state)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    if (state == nullptr) {
        return __AoErr(E_MI_ERR_NULL_PTR);
    }
    if (!s.ao.attrSet) {
        return __AoErr(E_MI_ERR_NOT_CONFIG);
    }
    MI_U32 per = s.ao.attr.ptNumPerFrm;
    state->chnTotalNum = s.ao.attr.sampleRate / per;
    state->chnBusyNum = static_cast<MI_U32>((s.ao.queue.size() + per - 1) / per);
    state->chnFreeNum = state->chnTotalNum > state->chnBusyNum ? state->chnTotalNum - state->chnBusyNum : 0;
    return MI_SUCCESS;
}

MI_S32 MI_AO_ClearChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ao.queue.clear();
    s.cv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AO_DeInitDev()
{
    MI_SIM_ENTER();
    uint32_t written = s.ao.wavBytes;
    s.ao = AudioOut{};
    s.ao.wavBytes = written;  // the speaker file goes on
    s.cv.notify_all();
    return MI_SUCCESS;
}
