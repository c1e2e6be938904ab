// MI_AI and MI_AO on the simulated board. Each capture period the speaker plays 40 ms of what is
// queued (appended to "<root>/.board/speaker.wav") and the microphone hears 40 ms: the visitor
// (the file "<root>/.board/mic.wav" when present, else a voice while the visitor stands there),
// the speaker through the echo path, and room noise. What the speaker played in the same period
// is the microphone frame's echo reference.
#include "mi_state.h"
#include "platform/board_path.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

using namespace misim;

// Audio calls first play and capture the periods the clock has run since anyone last did, so
// that a change takes effect from now and a late pump never costs sound.
#define MI_SIM_AUDIO_ENTER()                          \
    misim::State& s = misim::S();                     \
    if (MI_S32 injected_ = misim::Enter(__func__)) {  \
        return injected_;                             \
    }                                                 \
    std::unique_lock<std::mutex> lk(s.audioMu);       \
    CatchUpClock(s)

namespace {

// Waits until `ready` or the timeout (< 0: no timeout). On the real-time clock it wakes at each
// period's end and runs what is due itself: a sender or a taker never times out because the pump
// thread was late.
template <typename Ready>
void __Wait(State& s, std::unique_lock<std::mutex>& lk, MI_S32 timeoutMs, Ready ready)
{
    using Clock = std::chrono::steady_clock;
    if (timeoutMs == 0) {
        return;
    }
    const Clock::time_point deadline =
        timeoutMs > 0 ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point::max();
    while (!ready()) {
        Clock::time_point wake = deadline;
        if (s.audioClock) {
            wake = std::min(wake, PeriodEnd(s, s.audioPeriods + 1));
        }
        if (wake == Clock::time_point::max()) {
            s.audioCv.wait(lk);
        } else {
            s.audioCv.wait_until(lk, wake);
        }
        CatchUpClock(s);
        if (Clock::now() >= deadline) {
            return;
        }
    }
}

MI_S32 __AiErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_AI, reason);
}
MI_S32 __AoErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_AO, reason);
}

// The codec's rates; anything else (96001 among them) is refused.
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

constexpr uint32_t kSpeakerFileRate = 16000;

uint32_t __Get32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The first channel of a 16-bit PCM WAV file at the given rate, or nothing.
std::vector<int16_t> __ReadWav(const std::string& path, uint32_t rate)
{
    std::vector<int16_t> pcm;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return pcm;
    }
    uint8_t head[12];
    uint32_t fileRate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;
    if (std::fread(head, 1, 12, f) == 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
        uint8_t chunk[8];
        while (std::fread(chunk, 1, 8, f) == 8) {
            uint32_t len = __Get32(chunk + 4);
            if (std::memcmp(chunk, "fmt ", 4) == 0 && len >= 16) {
                uint8_t fmt[16];
                if (std::fread(fmt, 1, 16, f) != 16) {
                    break;
                }
                channels = static_cast<uint16_t>(fmt[2] | (fmt[3] << 8));
                fileRate = __Get32(fmt + 4);
                bits = static_cast<uint16_t>(fmt[14] | (fmt[15] << 8));
                len -= 16;
            } else if (std::memcmp(chunk, "data", 4) == 0) {
                if (channels == 0 || bits != 16 || fileRate == 0) {
                    break;  // only 16-bit PCM is played
                }
                std::vector<uint8_t> raw(len);
                size_t n = std::fread(raw.data(), 1, len, f);
                size_t step = 2u * channels;
                std::vector<int16_t> first;
                for (size_t i = 0; i + 1 < n; i += step) {
                    first.push_back(static_cast<int16_t>(raw[i] | (raw[i + 1] << 8)));
                }
                Resampler r;
                r.Run(first.data(), first.size(), fileRate, rate, pcm);
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

// Appends a played period to the speaker file at the file's rate, keeping its header's sizes right.
void __WriteSpeaker(AudioOut& ao)
{
    std::vector<int16_t> pcm;
    ao.toFile.Run(ao.played.data(), ao.played.size(), ao.attr.sampleRate, kSpeakerFileRate, pcm);
    std::string path = BoardPath("/.board/speaker.wav");
    FILE* f = std::fopen(path.c_str(), ao.wavBytes ? "r+b" : "wb");
    if (f == nullptr) {
        return;
    }
    uint8_t h[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0};
    std::memcpy(h + 36, "data", 4);
    __Put32(h + 24, kSpeakerFileRate);
    __Put32(h + 28, kSpeakerFileRate * 2);
    h[32] = 2;
    h[34] = 16;
    ao.wavBytes += static_cast<uint32_t>(pcm.size() * 2);
    __Put32(h + 4, 36 + ao.wavBytes);
    __Put32(h + 40, ao.wavBytes);
    std::fwrite(h, 1, sizeof(h), f);
    std::fseek(f, 0, SEEK_END);
    std::vector<uint8_t> bytes(pcm.size() * 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(pcm[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) >> 8);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// A voice-like sound: the harmonics of a gliding pitch shaped by two formants that move from vowel
// to vowel, in syllables of 200 ms with 60 ms pauses between them.
double __Voice(AudioIn& ai, uint32_t rate)
{
    static const double kFormants[4][2] = {{730, 1090}, {270, 2290}, {530, 1840}, {570, 840}};
    double t = ai.voiceTime;
    ai.voiceTime += 1.0 / rate;
    double f0 = 125 + 20 * std::sin(2 * M_PI * 0.8 * t);
    ai.voicePhase = std::fmod(ai.voicePhase + 2 * M_PI * f0 / rate, 2 * M_PI);
    double inSyllable = std::fmod(t, 0.26);
    if (inSyllable >= 0.2) {
        return 0;
    }
    const double* f = kFormants[static_cast<int>(t / 0.26) % 4];
    double v = 0;
    for (int k = 1; k * f0 < 3400; ++k) {
        double fk = k * f0;
        double d1 = (fk - f[0]) / 90;
        double d2 = (fk - f[1]) / 120;
        double amp = (1 / (1 + d1 * d1) + 0.5 / (1 + d2 * d2)) / std::sqrt(k);
        v += amp * std::sin(k * ai.voicePhase);
    }
    return 2000 * std::sin(M_PI * inSyllable / 0.2) * v;
}

int16_t __Clip(double v)
{
    return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

// Takes the oldest n captured samples off the fifos.
void __DropFront(AudioIn& ai, size_t n)
{
    n = std::min(n, ai.fifo.size());
    const auto count = static_cast<std::ptrdiff_t>(n);
    ai.fifo.erase(ai.fifo.begin(), ai.fifo.begin() + count);
    ai.echoFifo.erase(ai.echoFifo.begin(), ai.echoFifo.begin() + count);
    ai.visitorFifo.erase(ai.visitorFifo.begin(), ai.visitorFifo.begin() + count);
    ai.heardFifo.erase(ai.heardFifo.begin(), ai.heardFifo.begin() + count);
    while (n > 0 && !ai.fifoPeriods.empty()) {
        AudioIn::Stretch& front = ai.fifoPeriods.front();
        const uint32_t k = static_cast<uint32_t>(std::min<size_t>(n, front.left));
        front.left -= k;
        n -= k;
        if (front.left == 0) {
            ai.fifoPeriods.pop_front();
        }
    }
}

void __ClearFifo(AudioIn& ai)
{
    ai.fifo.clear();
    ai.echoFifo.clear();
    ai.visitorFifo.clear();
    ai.heardFifo.clear();
    ai.fifoPeriods.clear();
}

// n microphone samples: the visitor, the speaker's echo and room noise. ref is what the speaker
// played in the same period, at the microphone's rate.
void __Capture(State& s, const std::vector<int16_t>& ref)
{
    AudioIn& ai = s.ai;
    const EchoPath& path = s.echo;
    if (!ai.fileChecked) {
        ai.file = __ReadWav(BoardPath("/.board/mic.wav"), ai.attr.sampleRate);
        ai.fileChecked = true;
    }
    ai.speakerLine.insert(ai.speakerLine.end(), ref.begin(), ref.end());
    size_t keep = path.delay + path.impulse.size() + ref.size();
    while (ai.speakerLine.size() > keep) {
        ai.speakerLine.pop_front();
    }
    size_t lineLen = ai.speakerLine.size();
    for (size_t i = 0; i < ref.size(); ++i) {
        double visitor = 0;
        if (!ai.file.empty()) {
            visitor = ai.file[ai.filePos];
            ai.filePos = (ai.filePos + 1) % ai.file.size();
        } else if (s.visitor) {
            visitor = __Voice(ai, ai.attr.sampleRate);
        }
        // Sample i of this period is line[lineLen - ref.size() + i]; the echo hears it `delay` later.
        double echo = 0;
        for (size_t k = 0; k < path.impulse.size(); ++k) {
            size_t back = path.delay + k + ref.size() - i;  // samples back from the line's end
            if (back <= lineLen && path.impulse[k] != 0) {
                echo += path.impulse[k] * ai.speakerLine[lineLen - back];
            }
        }
        echo *= path.gain;
        ai.noise = ai.noise * 1103515245u + 12345u;
        int noise = static_cast<int>((ai.noise >> 16) % 101) - 50;
        ai.fifo.push_back(__Clip(visitor + echo + noise));
        ai.visitorFifo.push_back(__Clip(visitor));
        ai.heardFifo.push_back(__Clip(echo));
        ai.echoFifo.push_back(ref[i]);
    }
    const auto n = static_cast<uint32_t>(ref.size());
    ai.fifoPeriods.push_back(AudioIn::Stretch{s.audioPeriods, n, n});
    // One second is kept; older sound is lost as in a full capture buffer.
    if (ai.fifo.size() > ai.attr.sampleRate) {
        __DropFront(ai, ai.fifo.size() - ai.attr.sampleRate);
    }
}

// What the speaker played this period at the microphone's rate (n samples).
std::vector<int16_t> __SpeakerAtMic(AudioOut& ao, MI_U32 n, uint32_t micRate)
{
    std::vector<int16_t> ref;
    if (!ao.sounded) {
        ao.toMic.Reset();
        ao.toMicPending.clear();
        ref.assign(n, 0);
        return ref;
    }
    std::vector<int16_t> conv;
    ao.toMic.Run(ao.played.data(), ao.played.size(), ao.attr.sampleRate, micRate, conv);
    ao.toMicPending.insert(ao.toMicPending.end(), conv.begin(), conv.end());
    for (MI_U32 i = 0; i < n; ++i) {
        if (ao.toMicPending.empty()) {
            ref.push_back(0);
            continue;
        }
        ref.push_back(ao.toMicPending.front());
        ao.toMicPending.pop_front();
    }
    return ref;
}

// The speaker's queue: whole frames of the set size, about one second of sound.
size_t __AoRoom(const AudioOut& ao)
{
    MI_U32 per = ao.attr.ptNumPerFrm;
    MI_U32 frames = std::max<MI_U32>(1, ao.attr.sampleRate / per);
    return static_cast<size_t>(frames) * per;
}

}  // namespace

namespace misim {

void Resampler::Run(const int16_t* in, size_t n, uint32_t inRate, uint32_t outRate, std::vector<int16_t>& out)
{
    if (n == 0 || inRate == 0 || outRate == 0) {
        return;
    }
    double step = static_cast<double>(inRate) / outRate;
    // Position -1 is the last sample of the previous block.
    auto at = [&](long i) { return i < 0 ? static_cast<double>(mLast) : static_cast<double>(in[i]); };
    while (mPos <= static_cast<double>(n - 1)) {
        long i = static_cast<long>(std::floor(mPos));
        double frac = mPos - i;
        double v = frac == 0 ? at(i) : at(i) + frac * (at(i + 1) - at(i));
        out.push_back(__Clip(v));
        mPos += step;
    }
    mPos -= static_cast<double>(n);
    mLast = in[n - 1];
}

void AudioPeriod(State& s)
{
    AudioOut& ao = s.ao;
    ao.sounded = false;
    if (ao.attrSet && ao.enabled && ao.chnEnabled && !ao.queue.empty()) {
        // A partly filled period plays silence after the queued sound.
        MI_U32 period = __PeriodSamples(ao.attr);
        MI_U32 n = std::min<MI_U32>(period, static_cast<MI_U32>(ao.queue.size()));
        ao.played.assign(ao.queue.begin(), ao.queue.begin() + n);
        ao.played.resize(period, 0);
        ao.queue.erase(ao.queue.begin(), ao.queue.begin() + n);
        ao.sounded = true;
        __WriteSpeaker(ao);
    }
    if (s.ai.attrSet && s.ai.enabled && s.ai.chnEnabled) {
        MI_U32 n = __PeriodSamples(s.ai.attr);
        __Capture(s, __SpeakerAtMic(ao, n, s.ai.attr.sampleRate));
    }
    s.audioCv.notify_all();
}

void AudioReset(State& s)
{
    s.ai = AudioIn{};
    s.ao = AudioOut{};
    s.echo = EchoPath{};
}

}  // namespace misim

void MiSimSetEchoPath(uint32_t delaySamples, double gain, const std::vector<double>& impulse)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.audioMu);
    CatchUpClock(s);
    s.echo.delay = delaySamples;
    s.echo.gain = gain;
    s.echo.impulse = impulse.empty() ? std::vector<double>{1.0} : impulse;
    s.ai.speakerLine.clear();
}

void MiSimAiFrameParts(std::vector<int16_t>* visitor, std::vector<int16_t>* echo)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.audioMu);
    if (visitor != nullptr) {
        *visitor = s.ai.takenVisitor;
    }
    if (echo != nullptr) {
        *echo = s.ai.takenHeard;
    }
}

// --- microphone ---

MI_S32 MI_AI_SetPubAttr(MI_U32 dev, const MI_AUDIO_Attr_t* attr)
{
    MI_SIM_AUDIO_ENTER();
    return __SetAttr(s.ai, E_MI_MODULE_ID_AI, dev, attr);
}

MI_S32 MI_AI_GetPubAttr(MI_U32 dev, MI_AUDIO_Attr_t* attr)
{
    MI_SIM_AUDIO_ENTER();
    return __GetAttr(s.ai, E_MI_MODULE_ID_AI, dev, attr);
}

MI_S32 MI_AI_Enable(MI_U32 dev)
{
    MI_SIM_AUDIO_ENTER();
    return __EnableDev(s.ai, E_MI_MODULE_ID_AI, dev);
}

MI_S32 MI_AI_Disable(MI_U32 dev)
{
    MI_SIM_AUDIO_ENTER();
    if (dev != 0) {
        return __AiErr(E_MI_ERR_INVALID_DEVID);
    }
    s.ai.enabled = false;
    s.ai.chnEnabled = false;
    s.audioCv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AI_EnableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_AUDIO_ENTER();
    return __EnableChn(s.ai, E_MI_MODULE_ID_AI, dev, chn);
}

MI_S32 MI_AI_DisableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_AUDIO_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ai.chnEnabled = false;
    __ClearFifo(s.ai);
    s.audioCv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AI_SetVqeVolume(MI_U32 dev, MI_U32 chn, MI_S32 volume)
{
    MI_SIM_AUDIO_ENTER();
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
    MI_SIM_AUDIO_ENTER();
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
    MI_SIM_AUDIO_ENTER();
    if (dev != 0 || chn != 0) {
        return __AiErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ai.vqeEnabled = false;
    return MI_SUCCESS;
}

MI_S32 MI_AI_GetFrame(MI_U32 dev, MI_U32 chn, MI_AUDIO_Frame_t* frame, MI_AUDIO_AecFrame_t* aec, MI_S32 timeoutMs)
{
    MI_SIM_AUDIO_ENTER();
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
    __Wait(s, lk, timeoutMs, [&] { return !s.ai.chnEnabled || s.ai.fifo.size() >= n; });
    if (!s.ai.chnEnabled) {
        return __AiErr(E_MI_ERR_NOT_PERM);
    }
    if (s.ai.fifo.size() < n) {
        return __AiErr(E_MI_ERR_BUF_EMPTY);
    }
    AudioIn& ai = s.ai;
    ai.taken.assign(ai.fifo.begin(), ai.fifo.begin() + n);
    ai.takenEcho.assign(ai.echoFifo.begin(), ai.echoFifo.begin() + n);
    ai.takenVisitor.assign(ai.visitorFifo.begin(), ai.visitorFifo.begin() + n);
    ai.takenHeard.assign(ai.heardFifo.begin(), ai.heardFifo.begin() + n);
    // When the frame's first sample was captured: its period's time and its place in it.
    MI_U64 stamp = s.audioPeriods * 40000;
    if (!ai.fifoPeriods.empty()) {
        const AudioIn::Stretch& first = ai.fifoPeriods.front();
        stamp = first.period * 40000 + static_cast<MI_U64>(first.samples - first.left) * 1000000 / ai.attr.sampleRate;
    }
    __DropFront(ai, n);
    *frame = MI_AUDIO_Frame_t{};
    frame->bitWidth = E_MI_AUDIO_BIT_WIDTH_16;
    frame->soundMode = E_MI_AUDIO_SOUND_MODE_MONO;
    frame->virAddr[0] = ai.taken.data();
    frame->len = n * 2;
    frame->seq = ai.seq++;
    frame->timeStamp = stamp;
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
    MI_SIM_AUDIO_ENTER();
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
    MI_SIM_AUDIO_ENTER();
    s.ai = AudioIn{};
    s.audioCv.notify_all();
    return MI_SUCCESS;
}

// --- speaker ---

MI_S32 MI_AO_SetPubAttr(MI_U32 dev, const MI_AUDIO_Attr_t* attr)
{
    MI_SIM_AUDIO_ENTER();
    return __SetAttr(s.ao, E_MI_MODULE_ID_AO, dev, attr);
}

MI_S32 MI_AO_GetPubAttr(MI_U32 dev, MI_AUDIO_Attr_t* attr)
{
    MI_SIM_AUDIO_ENTER();
    return __GetAttr(s.ao, E_MI_MODULE_ID_AO, dev, attr);
}

MI_S32 MI_AO_Enable(MI_U32 dev)
{
    MI_SIM_AUDIO_ENTER();
    return __EnableDev(s.ao, E_MI_MODULE_ID_AO, dev);
}

MI_S32 MI_AO_Disable(MI_U32 dev)
{
    MI_SIM_AUDIO_ENTER();
    if (dev != 0) {
        return __AoErr(E_MI_ERR_INVALID_DEVID);
    }
    s.ao.enabled = false;
    s.ao.chnEnabled = false;
    s.ao.queue.clear();
    s.audioCv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AO_EnableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_AUDIO_ENTER();
    return __EnableChn(s.ao, E_MI_MODULE_ID_AO, dev, chn);
}

MI_S32 MI_AO_DisableChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_AUDIO_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ao.chnEnabled = false;
    s.ao.queue.clear();
    s.audioCv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AO_SetAdecAttr(MI_U32 dev, MI_U32 chn, const MI_AO_AdecAttr_t* attr)
{
    MI_SIM_AUDIO_ENTER();
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
    MI_SIM_AUDIO_ENTER();
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
    MI_SIM_AUDIO_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ao.adecSet = false;
    return MI_SUCCESS;
}

MI_S32 MI_AO_SetVolume(MI_U32 dev, MI_S32 volumeDb)
{
    MI_SIM_AUDIO_ENTER();
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
    MI_SIM_AUDIO_ENTER();
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
    MI_SIM_AUDIO_ENTER();
    if (dev != 0) {
        return __AoErr(E_MI_ERR_INVALID_DEVID);
    }
    s.ao.srcGain = gain;
    return MI_SUCCESS;
}

MI_S32 MI_AO_SendFrame(MI_U32 dev, MI_U32 chn, const MI_AUDIO_Frame_t* frame, MI_S32 timeoutMs)
{
    MI_SIM_AUDIO_ENTER();
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
    size_t room = __AoRoom(s.ao);
    __Wait(s, lk, timeoutMs, [&] { return !s.ao.chnEnabled || s.ao.queue.size() + n <= room; });
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
    MI_SIM_AUDIO_ENTER();
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
    state->chnTotalNum = static_cast<MI_U32>(__AoRoom(s.ao) / per);
    state->chnBusyNum = static_cast<MI_U32>((s.ao.queue.size() + per - 1) / per);
    state->chnFreeNum = state->chnTotalNum > state->chnBusyNum ? state->chnTotalNum - state->chnBusyNum : 0;
    return MI_SUCCESS;
}

MI_S32 MI_AO_ClearChn(MI_U32 dev, MI_U32 chn)
{
    MI_SIM_AUDIO_ENTER();
    if (dev != 0 || chn != 0) {
        return __AoErr(E_MI_ERR_INVALID_CHNID);
    }
    s.ao.queue.clear();
    s.audioCv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_AO_DeInitDev()
{
    MI_SIM_AUDIO_ENTER();
    uint32_t written = s.ao.wavBytes;
    s.ao = AudioOut{};
    s.ao.wavBytes = written;  // the speaker file goes on
    s.audioCv.notify_all();
    return MI_SUCCESS;
}
