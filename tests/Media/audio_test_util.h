// The microphone and speaker on the simulated media layer (manual clock), set up by AudioInit with
// its capture thread stopped, so that tests drive capture passes, tone-player steps and the
// speaker's periods themselves. Also: signals and levels.
#pragma once

#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Media/AudioCapture.h"
#include "Media/AudioPlayback.h"
#include "aac_decode.h"
#include "media_test_util.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

class AudioTest : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        ASSERT_EQ(0, MI_SYS_Init());
        gTonePlayerSleep = [](uint32_t) {};
        gAppState.Online = 1;
        gDeviceState.TalkAudioSettleTimer = kCountdownStopped;
        gVencOutput = VENC_OUTPUT_S{};
    }
    void TearDown() override
    {
        StopRingDecode();
        CloseAACEncoder();
        gVencOutput = VENC_OUTPUT_S{};
        MediaTest::TearDown();
    }

    // AudioInit with its capture thread stopped again (the log kept aside).
    static void StartAudio()
    {
        testing::internal::CaptureStdout();
        AudioInit();
        testing::internal::GetCapturedStdout();
        StopCaptureThread();
    }
    static void StopCaptureThread()
    {
        if (gAudioState.AiThreadStarted) {
            gAudioState.AiRun = 0;
            pthread_join(gAudioState.AiThread, nullptr);
            gAudioState.AiThreadStarted = 0;
        }
    }
    static MI_AUDIO_Attr_t AoAttr()
    {
        MI_AUDIO_Attr_t a{};
        EXPECT_EQ(0, MI_AO_GetPubAttr(0, &a));
        return a;
    }
    static MI_S32 AoVolume()
    {
        MI_S32 v = 0;
        EXPECT_EQ(0, MI_AO_GetVolume(0, &v));
        return v;
    }
    static MI_U32 AoQueued()
    {
        MI_AO_ChnState_t st{};
        EXPECT_EQ(0, MI_AO_QueryChnStat(0, 0, &st));
        return st.chnBusyNum;
    }
    // The speaker file's samples (16 kHz).
    std::vector<int16_t> Speaker() const
    {
        std::string wav = mSandbox.Read("/.board/speaker.wav");
        std::vector<int16_t> pcm(wav.size() > 44 ? (wav.size() - 44) / 2 : 0);
        if (!pcm.empty()) {
            std::memcpy(pcm.data(), wav.data() + 44, pcm.size() * 2);
        }
        return pcm;
    }
};

inline double Energy(const std::vector<int16_t>& v, size_t from = 0, size_t to = SIZE_MAX)
{
    double e = 0;
    for (size_t i = from; i < v.size() && i < to; ++i) {
        e += static_cast<double>(v[i]) * v[i];
    }
    return e;
}

inline double Db(double ratio)
{
    return 10 * std::log10(ratio);
}

// A voice-like far-end talker: a gliding pitch with its harmonics, in syllables, plus a breath
// of noise, continuous across calls.
class TalkerSignal {
public:
    explicit TalkerSignal(double pitch, uint32_t rate = 8000) : mPitch(pitch), mRate(rate) {}
    std::vector<int16_t> Next(size_t n)
    {
        std::vector<int16_t> out(n);
        for (size_t i = 0; i < n; ++i, ++mN) {
            double t = static_cast<double>(mN) / mRate;
            double f0 = mPitch * (1 + 0.15 * std::sin(2 * M_PI * 0.6 * t));
            mPhase = std::fmod(mPhase + 2 * M_PI * f0 / mRate, 2 * M_PI);
            double v = 0;
            for (int k = 1; k * f0 < 3500; ++k) {
                v += std::sin(k * mPhase + k * k) / k;
            }
            mSeed = mSeed * 1103515245u + 12345u;
            double noise = static_cast<double>(static_cast<int>((mSeed >> 16) % 2001) - 1000) / 1000;
            double env = 0.55 + 0.45 * std::sin(2 * M_PI * 3.1 * t);
            out[i] = static_cast<int16_t>(std::lround(env * (4000 * v + 600 * noise)));
        }
        return out;
    }

private:
    double mPitch;
    uint32_t mRate;
    double mPhase = 0;
    uint64_t mN = 0;
    uint32_t mSeed = 7;
};
