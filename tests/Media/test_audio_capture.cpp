// Audio capture on the simulated microphone and speaker: the devices as start-up opens them, the
// echo canceller at work on a microphone that hears the visitor and the speaker's echo, the audio
// gate (online, talk-start countdown), frames of the wrong size, and the teardown.
#include "audio_test_util.h"
#include "media_check.h"
#include "platform/mi/mi_sim.h"

#include <chrono>
#include <cstdio>
#include <sys/time.h>
#include <thread>

namespace {

struct Handed {
    int channel;
    uint32_t type;
    uint32_t size;
    uint64_t pts;
    std::vector<int16_t> pcm;
};
std::vector<Handed> gHanded;

int PutFrame(int channel, const MEDIA_FRAME_S* f)
{
    Handed h{channel, f->type, f->size, f->pts, {}};
    h.pcm.resize(f->size / 2);
    std::memcpy(h.pcm.data(), f->data, f->size);
    gHanded.push_back(std::move(h));
    return 0;
}

class AudioCapture : public AudioTest {
protected:
    void SetUp() override
    {
        AudioTest::SetUp();
        gHanded.clear();
        gVencOutput.PutMediaFrame = PutFrame;
    }
};

}  // namespace

TEST_F(AudioCapture, StartUpOpensBothDevicesAndTheCaptureThread)
{
    testing::internal::CaptureStdout();
    AudioInit();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, gAudioState.AiThreadStarted);
    EXPECT_NE(nullptr, GetAACEncoderHandle());
    EXPECT_NE(std::string::npos, log.find("nMaxOutputBytes = ")) << log;

    MI_AUDIO_Attr_t ai{};
    ASSERT_EQ(0, MI_AI_GetPubAttr(0, &ai));
    EXPECT_EQ(8000u, ai.sampleRate);
    EXPECT_EQ(320u, ai.ptNumPerFrm);
    EXPECT_EQ(6u, ai.frameNum);
    EXPECT_EQ(1u, ai.chnCnt);
    EXPECT_EQ(1, ai.i2s.syncClock);
    MI_S32 vqe = 0;
    ASSERT_EQ(0, MI_AI_GetVqeVolume(0, 0, &vqe));
    EXPECT_EQ(8, vqe);
    MI_AUDIO_Attr_t ao = AoAttr();
    EXPECT_EQ(8000u, ao.sampleRate);
    EXPECT_EQ(320u, ao.ptNumPerFrm);
    EXPECT_EQ(0u, ao.frameNum);
    EXPECT_EQ(-40, AoVolume());
    MI_AO_AdecAttr_t adec{};
    ASSERT_EQ(0, MI_AO_GetAdecAttr(0, 0, &adec));
    EXPECT_EQ(1u, adec.adecType);
    EXPECT_EQ(8000u, adec.sampleRate);

    // The thread takes the microphone's frames as they come.
    MiSimPump(5);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (MiSimCallCount("MI_AI_ReleaseFrame") < 5 && std::chrono::steady_clock::now() < end) {
        std::this_thread::yield();
    }
    EXPECT_EQ(5, MiSimCallCount("MI_AI_ReleaseFrame")) << "the capture thread did not take the frames";
    MI_AUDIO_Frame_t f{};

    testing::internal::CaptureStdout();
    AudioDeInit();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, gAudioState.AiThreadStarted);
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_AI, E_MI_ERR_NOT_PERM), MI_AI_GetFrame(0, 0, &f, nullptr, 0));
    uint8_t pcm[640] = {};
    MI_AUDIO_Frame_t out{};
    out.virAddr[0] = pcm;
    out.len = sizeof(pcm);
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_AO, E_MI_ERR_NOT_PERM), MI_AO_SendFrame(0, 0, &out, 0));
}

TEST_F(AudioCapture, StartUpFailuresAreLoggedAndTheRestGoesOn)
{
    MiSimFailCall("MI_AI_SetPubAttr", MiErrCode(E_MI_MODULE_ID_AI, E_MI_ERR_BUSY));
    MiSimFailCall("MI_AO_Enable", MiErrCode(E_MI_MODULE_ID_AO, E_MI_ERR_BUSY));
    testing::internal::CaptureStdout();
    AudioInit();
    std::string log = testing::internal::GetCapturedStdout();
    StopCaptureThread();
    EXPECT_NE(std::string::npos, log.find("[AudioInit] MI_AI_SetPubAttr Fail 0xa0042012")) << log;
    EXPECT_NE(std::string::npos, log.find("[AudioInit] MI_AO_Enable Fail 0xa0052012")) << log;
    EXPECT_EQ(1, MiSimCallCount("MI_AO_SetVolume"));
    EXPECT_NE(nullptr, GetAACEncoderHandle());
}

// The speaker talks (a far-end voice) and the microphone hears its echo: after a few seconds the
// echo is gone from the cleaned output. Then the visitor talks at the same time: the visitor
// stays. When the visitor has left, the echo is still gone (the double talk did not upset the
// canceller).
TEST_F(AudioCapture, EchoIsCancelledAndTheVisitorRemains)
{
    StartAudio();
    AudioEchoCanceller aec;
    TalkerSignal farEnd(210);
    struct Take {
        std::vector<int16_t> visitor, echo, out;
    };
    auto passes = [&](int n) {
        Take t;
        for (int i = 0; i < n; ++i) {
            std::vector<int16_t> block = farEnd.Next(kAudioFrameSamples);
            SendFrameToAo(reinterpret_cast<uint8_t*>(block.data()), kAudioFrameBytes);
            MiSimPump(1);
            size_t before = gHanded.size();
            EXPECT_EQ(0, AiGetFramePass(aec, 0));
            EXPECT_EQ(before + 1, gHanded.size());
            std::vector<int16_t> v, e;
            MiSimAiFrameParts(&v, &e);
            t.visitor.insert(t.visitor.end(), v.begin(), v.end());
            t.echo.insert(t.echo.end(), e.begin(), e.end());
            t.out.insert(t.out.end(), gHanded.back().pcm.begin(), gHanded.back().pcm.end());
        }
        return t;
    };
    // The echo's level in the microphone and in the cleaned output over the last 2 s of a take.
    auto echoDrop = [](const Take& t, double* in, double* out) {
        size_t from = t.out.size() - 2 * 8000;
        double full = 2 * 8000 * 32768.0 * 32768.0;
        *in = Db(Energy(t.echo, from) / full);
        *out = Db(Energy(t.out, from) / full);
        return *in - *out;
    };
    std::vector<int16_t> prime = farEnd.Next(kAudioFrameSamples);
    SendFrameToAo(reinterpret_cast<uint8_t*>(prime.data()), kAudioFrameBytes);

    double in1 = 0, out1 = 0;
    double drop1 = echoDrop(passes(150), &in1, &out1);  // 6 s of the far end alone

    MiSimSetVisitor(true);
    Take both = passes(100);  // 4 s of double talk
    // The preprocessor's overlap-add delays the output by about a frame: the visitor is looked
    // for there. The share of the visitor kept, and the rest (residual echo, room noise and the
    // preprocessor's shaping of the voice) against the microphone's echo.
    const size_t from = 8000;
    double gain = 0;
    size_t lag = 0;
    for (size_t l = kAudioFrameSamples - 40; l <= kAudioFrameSamples + 40; ++l) {
        double vv = 0, ov = 0;
        for (size_t i = from; i + l < both.out.size(); ++i) {
            vv += static_cast<double>(both.visitor[i]) * both.visitor[i];
            ov += static_cast<double>(both.out[i + l]) * both.visitor[i];
        }
        if (ov / vv > gain) {
            gain = ov / vv;
            lag = l;
        }
    }
    double rest = 0;
    for (size_t i = from; i + lag < both.out.size(); ++i) {
        double r = both.out[i + lag] - gain * both.visitor[i];
        rest += r * r;
    }
    double visitorKept = Db(gain * gain);
    double restBelowEcho = Db(Energy(both.echo, from, both.out.size() - lag) / rest);

    MiSimSetVisitor(false);
    passes(25);
    double in2 = 0, out2 = 0;
    double drop2 = echoDrop(passes(50), &in2, &out2);  // 3 s of the far end alone again

    std::printf("echo cancelling, far end alone: echo %.1f dBFS in the microphone, %.1f dBFS in the output: "
                "%.1f dB less\n",
                in1, out1, drop1);
    std::printf("echo cancelling, double talk: visitor kept at %.1f dB (%zu samples later), the rest %.1f dB below "
                "the microphone's echo\n",
                visitorKept, lag, restBelowEcho);
    std::printf("echo cancelling, far end alone after the visitor left: %.1f dBFS in, %.1f dBFS out: %.1f dB less\n",
                in2, out2, drop2);
    EXPECT_GE(drop1, 15.0);
    EXPECT_GE(visitorKept, -6.0);
    EXPECT_GE(restBelowEcho, 6.0);
    EXPECT_GE(drop2, 15.0);
}

// A door call as the road runs it: the visitor talks all the time, the ring tone plays (16 kHz,
// the speaker re-opened for it), the phone answers while it plays: the speaker is back at 8 kHz,
// half a second of talk-start silence, then the phone's voice. The canceller keeps what the ring
// tone taught it across all that (speexdsp turns its residual-echo filter on only after some 1.6 s
// of the speaker's sound), so from the talk's first second the visitor stands at least 15 dB above
// the voice's echo. Either order of the talk-back's frames and the capture passes.
TEST_F(AudioCapture, TheRingToneTrainsTheCancellerForTheTalkBackUnderDoubleTalk)
{
    // The visitor: a tone gliding around 1.3 kHz that never pauses, looped from the board's file.
    std::vector<int16_t> visitor(4 * 8000);
    double phase = 0;
    for (size_t i = 0; i < visitor.size(); ++i) {
        const double t = i / 8000.0;
        phase += 2 * M_PI * (1300 + 400 * std::sin(2 * M_PI * 0.9 * t) + 150 * std::sin(2 * M_PI * 4.3 * t)) / 8000;
        visitor[i] = static_cast<int16_t>(8000 * (0.4 + 0.6 * std::fabs(std::sin(2 * M_PI * 1.7 * t))) * std::sin(phase));
    }
    WriteWav(mSandbox.Path("/.board/mic.wav"), visitor, 8000);
    DecodedAac ring = DecodeAdts(mSandbox.Read("/customer/res/Ringbell.aac"));
    ASSERT_EQ(16000u, ring.rate);
    ASSERT_GT(ring.pcm.size(), 16000u * 3);
    const std::vector<int16_t> voice = Voice(3.0);
    StartAudio();

    for (bool talkAfterPass : {false, true}) {
        SCOPED_TRACE(talkAfterPass ? "talk-back frames after the capture pass" : "talk-back frames before it");
        AudioEchoCanceller aec;  // as the capture thread makes it at start-up
        std::vector<int16_t> out;
        std::vector<int16_t> heardVisitor;
        auto pass = [&] {
            MiSimPump(1);
            gHanded.clear();
            ASSERT_EQ(0, AiGetFramePass(aec, 0));
            ASSERT_EQ(1u, gHanded.size());
            out.insert(out.end(), gHanded[0].pcm.begin(), gHanded[0].pcm.end());
            std::vector<int16_t> v;
            MiSimAiFrameParts(&v, nullptr);
            heardVisitor.insert(heardVisitor.end(), v.begin(), v.end());
        };
        for (int i = 0; i < 50; ++i) {
            pass();  // idle: the visitor alone
        }
        // 2.4 s of the ring tone (its set-up frame is not played), the queue kept a few frames deep.
        AudioDecodeInit(kAoCodecAac, 8);
        size_t sent = 1024;
        for (int i = 0; i < 60; ++i) {
            while (AoQueued() < 3 && sent + 1024 <= ring.pcm.size()) {
                SendFrameToAo(reinterpret_cast<uint8_t*>(&ring.pcm[sent]), 2048);
                sent += 1024;
            }
            ASSERT_NO_FATAL_FAILURE(pass());
        }
        // The answer: the tone stopped, the speaker back at 8 kHz, 0.5 s of silence, then the voice
        // (whose first half second the countdown dropped).
        AudioDecodeInit(kAoCodecPcm, kAoRateIndex8000);
        for (int i = 0; i < 13; ++i) {
            ASSERT_NO_FATAL_FAILURE(pass());
        }
        const size_t talkStart = out.size();
        std::vector<int16_t> talk(voice.begin() + 4000, voice.end());
        talk.resize(talk.size() / kAudioFrameSamples * kAudioFrameSamples);
        for (size_t at = 0; at < talk.size(); at += kAudioFrameSamples) {
            if (!talkAfterPass) {
                SendFrameToAo(reinterpret_cast<uint8_t*>(&talk[at]), kAudioFrameBytes);
            }
            ASSERT_NO_FATAL_FAILURE(pass());
            if (talkAfterPass) {
                SendFrameToAo(reinterpret_cast<uint8_t*>(&talk[at]), kAudioFrameBytes);
            }
        }
        for (int i = 0; i < 4; ++i) {
            ASSERT_NO_FATAL_FAILURE(pass());
        }
        // The talk's 0.5 s to 2 s: the voice's echo and the visitor, each by its best normalised
        // correlation with the output (the echo path, the preprocessor's frame and a period at most).
        const std::vector<int16_t> part(talk.begin() + 4000, talk.begin() + 16000);
        const size_t from = talkStart + 4000;
        std::vector<int16_t> window(out.begin() + static_cast<long>(from),
                                    out.begin() + static_cast<long>(std::min(out.size(), from + part.size() + 1200)));
        const double echo = BestCorrelation(part, window, 0);
        const std::vector<int16_t> spoken(heardVisitor.begin() + static_cast<long>(from - 800),
                                          heardVisitor.begin() + static_cast<long>(from + part.size()));
        const std::vector<int16_t> kept(window.begin(), window.begin() + static_cast<long>(part.size() - 800));
        const double visitorShare = BestCorrelation(kept, spoken, 0);
        const double margin = 20 * std::log10(visitorShare / std::max(echo, 1e-6));
        std::printf("talk-back after the ring tone, double talk: visitor %.3f, echo %.3f: %.1f dB apart\n",
                    visitorShare, echo, margin);
        EXPECT_GT(visitorShare, 0.5);
        EXPECT_GE(margin, 15.0);
    }
}

TEST_F(AudioCapture, OfflineOrMutedFramesAreNotHandedOverButReleased)
{
    StartAudio();
    AudioEchoCanceller aec;
    struct Row {
        uint32_t online;
        uint16_t settle;
        bool handed;
    } rows[] = {
        {0, kCountdownStopped, false},  // offline
        {1, 50, false},                 // the talk-start countdown runs
        {1, 1, false},
        {1, 0, true},                   // it has just run out
        {1, kCountdownStopped, true},
        {1, 0x8000, true},              // stopped
    };
    for (const Row& r : rows) {
        gAppState.Online = r.online;
        gDeviceState.TalkAudioSettleTimer = r.settle;
        gHanded.clear();
        int released = MiSimCallCount("MI_AI_ReleaseFrame");
        MiSimPump(1);
        ASSERT_EQ(0, AiGetFramePass(aec, 0));
        EXPECT_EQ(released + 1, MiSimCallCount("MI_AI_ReleaseFrame")) << r.online << " " << r.settle;
        EXPECT_EQ(r.handed, AudioFrameGateOpen());
        ASSERT_EQ(r.handed ? 1u : 0u, gHanded.size()) << r.online << " " << r.settle;
        if (r.handed) {
            EXPECT_EQ(9, gHanded[0].channel);
            EXPECT_EQ(static_cast<uint32_t>(MEDIA_FRAME_TYPE_AUDIO), gHanded[0].type);
            EXPECT_EQ(640u, gHanded[0].size);
            struct timeval now {};
            gettimeofday(&now, nullptr);
            uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000 + now.tv_usec;
            EXPECT_LE(gHanded[0].pts, nowUs);
            EXPECT_GT(gHanded[0].pts + 5000000, nowUs) << "the pts is the wall-clock time of the hand-over";
        }
    }
    // No frame: the pass says so and hands nothing over.
    gHanded.clear();
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_AI, E_MI_ERR_BUF_EMPTY), AiGetFramePass(aec, 0));
    EXPECT_TRUE(gHanded.empty());
}

TEST_F(AudioCapture, FramesOfAnotherSizeAreReleasedUnused)
{
    StartAudio();
    // The microphone set to 20 ms frames behind the unit's back.
    ASSERT_EQ(0, MI_AI_DisableChn(0, 0));
    ASSERT_EQ(0, MI_AI_Disable(0));
    MI_AUDIO_Attr_t a{};
    ASSERT_EQ(0, MI_AI_GetPubAttr(0, &a));
    a.ptNumPerFrm = 160;
    ASSERT_EQ(0, MI_AI_SetPubAttr(0, &a));
    ASSERT_EQ(0, MI_AI_Enable(0));
    ASSERT_EQ(0, MI_AI_EnableChn(0, 0));
    AudioEchoCanceller aec;
    MiSimPump(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, AiGetFramePass(aec, 0));
    EXPECT_EQ(0, AiGetFramePass(aec, 0));
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(gHanded.empty());
    EXPECT_EQ(2, MiSimCallCount("MI_AI_ReleaseFrame"));
    size_t at = log.find("frame of 320 bytes, not 640: dropped");
    EXPECT_NE(std::string::npos, at) << log;
    EXPECT_EQ(std::string::npos, log.find("dropped", at + 40)) << "logged once";
}

TEST_F(AudioCapture, TheThreadRetriesWithoutMicrophoneAndStops)
{
    // No microphone at all: the thread keeps trying, and a stop is seen without any frame.
    gAudioState.AiRun = 1;
    ASSERT_EQ(0, pthread_create(&gAudioState.AiThread, nullptr, AiGetFrameThread, nullptr));
    gAudioState.AiThreadStarted = 1;
    while (MiSimCallCount("MI_AI_GetFrame") < 3) {
        std::this_thread::yield();
    }
    testing::internal::CaptureStdout();
    AudioDeInit();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, gAudioState.AiThreadStarted);
}
