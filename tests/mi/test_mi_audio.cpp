// The simulated microphone and speaker: what the microphone hears (visitor, the speaker through
// the echo path, room noise), the echo reference, the speaker's bounded queue and its file, the
// rates it refuses, and the real-time clock.
#include "platform/board_dev.h"
#include "platform/board_sim.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"
#include "platform/mi/mi_sim.h"
#include "platform/mi/mi_sys.h"
#include "platform/mi/sim/mi_state.h"
#include "sandbox.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

MI_AUDIO_Attr_t Attr(MI_U32 rate, MI_U32 perFrame)
{
    return MI_AUDIO_Attr_t{rate, E_MI_AUDIO_BIT_WIDTH_16, 0, E_MI_AUDIO_SOUND_MODE_MONO, 6, perFrame, 0, 1, {0, 0, 1}};
}

class MiAudio : public testing::Test {
protected:
    void SetUp() override
    {
        BoardDevReset();
        MiSimReset();
        MiSimSetManualClock(true);
        ASSERT_EQ(0, MI_SYS_Init());
    }
    void TearDown() override { MiSimReset(); }

    static void OpenSpeaker(MI_U32 rate, MI_U32 perFrame)
    {
        MI_AUDIO_Attr_t a = Attr(rate, perFrame);
        ASSERT_EQ(0, MI_AO_SetPubAttr(0, &a));
        ASSERT_EQ(0, MI_AO_Enable(0));
        ASSERT_EQ(0, MI_AO_EnableChn(0, 0));
    }
    static void OpenMicrophone()
    {
        MI_AUDIO_Attr_t a = Attr(8000, 320);
        ASSERT_EQ(0, MI_AI_SetPubAttr(0, &a));
        ASSERT_EQ(0, MI_AI_Enable(0));
        ASSERT_EQ(0, MI_AI_EnableChn(0, 0));
    }
    static MI_S32 Send(const std::vector<int16_t>& pcm, MI_S32 timeoutMs = 0)
    {
        MI_AUDIO_Frame_t f{};
        f.virAddr[0] = const_cast<int16_t*>(pcm.data());
        f.len = static_cast<MI_U32>(pcm.size() * 2);
        return MI_AO_SendFrame(0, 0, &f, timeoutMs);
    }
    // One microphone frame: the samples, the echo reference, the visitor's and the echo's parts.
    struct Mic {
        std::vector<int16_t> pcm, ref, visitor, echo;
    };
    static Mic Take()
    {
        Mic m;
        MI_AUDIO_Frame_t f{};
        MI_AUDIO_AecFrame_t aec{};
        EXPECT_EQ(0, MI_AI_GetFrame(0, 0, &f, &aec, 0));
        const auto* p = static_cast<const int16_t*>(f.virAddr[0]);
        const auto* r = static_cast<const int16_t*>(aec.refFrame.virAddr[0]);
        m.pcm.assign(p, p + f.len / 2);
        m.ref.assign(r, r + aec.refFrame.len / 2);
        MiSimAiFrameParts(&m.visitor, &m.echo);
        EXPECT_EQ(0, MI_AI_ReleaseFrame(0, 0, &f, &aec));
        return m;
    }
    std::vector<int16_t> SpeakerFile(uint32_t* rate = nullptr) const
    {
        std::string wav = mSandbox.Read("/.board/speaker.wav");
        if (wav.size() < 44) {
            return {};
        }
        if (rate != nullptr) {
            std::memcpy(rate, wav.data() + 24, 4);
        }
        std::vector<int16_t> pcm((wav.size() - 44) / 2);
        std::memcpy(pcm.data(), wav.data() + 44, pcm.size() * 2);
        return pcm;
    }

    TestSandbox mSandbox;
};

std::vector<int16_t> Ramp(size_t n, int start)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<int16_t>(start + static_cast<int>(i) * 7 % 3001 - 1500);
    }
    return v;
}

}  // namespace

// The microphone hears the speaker `delay` samples later through the impulse response, times the
// gain; the echo reference is what the speaker played in the same period; the rest is noise.
TEST_F(MiAudio, MicrophoneHearsTheSpeakerThroughTheEchoPath)
{
    OpenSpeaker(8000, 320);
    OpenMicrophone();
    MiSimSetEchoPath(100, 0.5, {1.0, 0.0, -0.5});
    std::vector<int16_t> played;
    std::vector<Mic> frames;
    for (int k = 0; k < 6; ++k) {
        std::vector<int16_t> block = Ramp(320, k * 100);
        played.insert(played.end(), block.begin(), block.end());
        ASSERT_EQ(0, Send(block));
        MiSimPump(1);
        frames.push_back(Take());
    }
    for (size_t k = 0; k < frames.size(); ++k) {
        const Mic& m = frames[k];
        ASSERT_EQ(320u, m.pcm.size());
        EXPECT_EQ(0, std::memcmp(m.ref.data(), played.data() + k * 320, 640)) << "frame " << k;
        for (size_t i = 0; i < 320; ++i) {
            long n = static_cast<long>(k * 320 + i);
            auto at = [&](long j) { return j >= 0 ? played[static_cast<size_t>(j)] : 0; };
            double expect = 0.5 * (at(n - 100) - 0.5 * at(n - 102));
            ASSERT_NEAR(expect, m.echo[i], 0.51) << "frame " << k << " sample " << i;
            EXPECT_EQ(0, m.visitor[i]);
            EXPECT_LE(std::abs(m.pcm[i] - m.echo[i]), 51) << "room noise only";
        }
    }
    // A silent speaker leaves only the tail of the echo, then room noise.
    MiSimPump(2);
    Take();
    Mic quiet = Take();
    for (size_t i = 0; i < 320; ++i) {
        EXPECT_EQ(0, quiet.ref[i]);
        EXPECT_EQ(0, quiet.echo[i]);
        EXPECT_LE(std::abs(quiet.pcm[i]), 50);
    }
}

TEST_F(MiAudio, VisitorFromARecordingOrAGeneratedVoice)
{
    // A recording at 16 kHz: heard at the microphone's 8 kHz, looped.
    std::vector<int16_t> rec(1600);
    for (size_t i = 0; i < rec.size(); ++i) {
        rec[i] = static_cast<int16_t>(2000 * std::sin(2 * M_PI * 300 * static_cast<double>(i) / 16000));
    }
    std::string wav = "RIFF....WAVEfmt ";
    uint8_t fmt[20] = {16, 0, 0, 0, 1, 0, 1, 0, 0x80, 0x3E, 0, 0, 0, 0x7D, 0, 0, 2, 0, 16, 0};
    wav.append(reinterpret_cast<const char*>(fmt), sizeof(fmt));
    wav += "data";
    uint32_t len = static_cast<uint32_t>(rec.size() * 2);
    wav.append(reinterpret_cast<const char*>(&len), 4);
    wav.append(reinterpret_cast<const char*>(rec.data()), len);
    mSandbox.Write("/.board/mic.wav", wav);
    OpenMicrophone();
    MiSimPump(3);
    std::vector<int16_t> heard;
    for (int k = 0; k < 3; ++k) {
        Mic m = Take();
        heard.insert(heard.end(), m.visitor.begin(), m.visitor.end());
    }
    for (size_t i = 0; i < heard.size(); ++i) {
        ASSERT_NEAR(rec[(2 * i) % rec.size()], heard[i], 1) << i;
    }

    // Without a recording: silence, until the visitor stands there and speaks in syllables.
    MiSimReset();
    MiSimSetManualClock(true);
    ASSERT_EQ(0, MI_SYS_Init());
    mSandbox.Write("/.board/mic.wav", "");
    OpenMicrophone();
    MiSimPump(1);
    EXPECT_EQ(0, Take().visitor[0]);
    MiSimSetVisitor(true);
    std::vector<int16_t> voice;
    for (int k = 0; k < 50; ++k) {
        MiSimPump(1);
        Mic m = Take();
        voice.insert(voice.end(), m.visitor.begin(), m.visitor.end());
    }
    double rms = 0;
    int quietWindows = 0;
    for (size_t w = 0; w + 160 <= voice.size(); w += 160) {
        double e = 0;
        for (size_t i = w; i < w + 160; ++i) {
            e += static_cast<double>(voice[i]) * voice[i];
        }
        rms += e;
        quietWindows += e == 0;
    }
    rms = std::sqrt(rms / static_cast<double>(voice.size()));
    EXPECT_GT(rms, 300);
    EXPECT_GE(quietWindows, 5) << "pauses between syllables";
}

TEST_F(MiAudio, SpeakerQueueIsBounded)
{
    // Rates the codec does not run at are refused, 96001 among them.
    for (MI_U32 rate : {96001u, 7350u, 96000u, 0u}) {
        MI_AUDIO_Attr_t a = Attr(rate, 1024);
        EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_AO, E_MI_ERR_ILLEGAL_PARAM), MI_AO_SetPubAttr(0, &a)) << rate;
    }
    OpenSpeaker(16000, 1024);
    MI_AO_ChnState_t st{};
    ASSERT_EQ(0, MI_AO_QueryChnStat(0, 0, &st));
    EXPECT_EQ(15u, st.chnTotalNum);
    EXPECT_EQ(0u, st.chnBusyNum);
    std::vector<int16_t> frame = Ramp(1024, 0);
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(0, Send(frame)) << i;
    }
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_AO, E_MI_ERR_BUF_FULL), Send(frame));
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_AO, E_MI_ERR_BUF_FULL), Send(frame, 20)) << "nothing plays meanwhile";
    ASSERT_EQ(0, MI_AO_QueryChnStat(0, 0, &st));
    EXPECT_EQ(15u, st.chnBusyNum);
    EXPECT_EQ(0u, st.chnFreeNum);

    // A sender waiting for room goes on once the speaker has played enough.
    MI_S32 rc = -1;
    std::thread sender([&] { rc = Send(frame, -1); });
    while (MiSimCallCount("MI_AO_SendFrame") < 18) {
        std::this_thread::yield();
    }
    MiSimPump(2);  // 1280 samples played: room for one more frame
    sender.join();
    EXPECT_EQ(0, rc);

    // The speaker file runs at 16 kHz: a 16 kHz sound goes in unchanged.
    std::vector<int16_t> file = SpeakerFile();
    ASSERT_EQ(1280u, file.size());
    for (size_t i = 0; i < file.size(); ++i) {
        ASSERT_EQ(frame[i % 1024], file[i]) << i;
    }
    ASSERT_EQ(0, MI_AO_ClearChn(0, 0));
    ASSERT_EQ(0, MI_AO_QueryChnStat(0, 0, &st));
    EXPECT_EQ(0u, st.chnBusyNum);
    MiSimPump(3);
    EXPECT_EQ(1280u, SpeakerFile().size()) << "silence is left out";

    // A partly filled period plays silence after what was queued.
    ASSERT_EQ(0, Send(std::vector<int16_t>(100, 1000)));
    MiSimPump(1);
    file = SpeakerFile();
    ASSERT_EQ(1280u + 640u, file.size());
    EXPECT_EQ(1000, file[1280 + 99]);
    EXPECT_EQ(0, file[1280 + 100]);
}

// The speaker at 16 kHz and the microphone at 8 kHz: the echo reference is the speaker's sound at
// the microphone's rate.
TEST_F(MiAudio, EchoReferenceFollowsTheSpeakersRate)
{
    OpenSpeaker(16000, 1024);
    OpenMicrophone();
    std::vector<int16_t> tone(1280);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<int16_t>(i * 20 - 12800);
    }
    ASSERT_EQ(0, Send(tone));
    MiSimPump(2);
    std::vector<int16_t> ref = Take().ref;
    std::vector<int16_t> ref2 = Take().ref;
    ref.insert(ref.end(), ref2.begin(), ref2.end());
    ASSERT_EQ(640u, ref.size());
    for (size_t i = 0; i < ref.size(); ++i) {
        ASSERT_EQ(tone[2 * i], ref[i]) << i;
    }
}

TEST_F(MiAudio, RealTimeClockDeliversFramesOnItsOwn)
{
    MiSimSetManualClock(false);
    OpenMicrophone();
    MI_AUDIO_Frame_t f{};
    MI_AUDIO_AecFrame_t aec{};
    ASSERT_EQ(0, MI_AI_GetFrame(0, 0, &f, &aec, -1));
    EXPECT_EQ(640u, f.len);
    EXPECT_EQ(0, MI_AI_ReleaseFrame(0, 0, &f, &aec));
}

// The real-time clock keeps time as the codec's does: with the pump held up 300 ms (its lock
// taken, as a loaded machine's scheduler would keep it waiting) and the capture thread waking
// late on top, every period the clock passed was played and captured, and the frames come out
// in order, each stamped with when it was captured.
TEST_F(MiAudio, ALatePumpAndALateTakerLoseNoPeriod)
{
    using Clock = std::chrono::steady_clock;
    OpenSpeaker(8000, 320);
    OpenMicrophone();
    const std::vector<int16_t> sound = Ramp(8000, 0);  // one second: the speaker's whole queue
    for (size_t at = 0; at < sound.size(); at += 320) {
        ASSERT_EQ(0, Send(std::vector<int16_t>(sound.begin() + at, sound.begin() + at + 320)));
    }
    const auto before = Clock::now();
    MiSimSetManualClock(false);
    const auto after = Clock::now();
    {
        std::lock_guard<std::mutex> held(misim::S().mu);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto periods = [](Clock::duration d) {
        return static_cast<size_t>(d / std::chrono::milliseconds(40));
    };
    const size_t least = periods(Clock::now() - after);
    std::vector<MI_AUDIO_Frame_t> frames;
    for (;;) {
        MI_AUDIO_Frame_t f{};
        MI_AUDIO_AecFrame_t aec{};
        if (MI_AI_GetFrame(0, 0, &f, &aec, 0) != 0) {
            break;
        }
        frames.push_back(f);
        ASSERT_EQ(0, MI_AI_ReleaseFrame(0, 0, &f, &aec));
    }
    std::vector<int16_t> file = SpeakerFile();
    const size_t most = periods(Clock::now() - before);
    MiSimSetManualClock(true);
    EXPECT_GE(frames.size(), least);
    EXPECT_LE(frames.size(), most);
    for (size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(k, frames[k].seq);
        EXPECT_EQ((k + 1) * 40000, frames[k].timeStamp) << "frame " << k;
    }
    // The speaker played the same periods, its sound whole (at the file's 16 kHz, every other
    // sample is one of the queued ones; the resampler keeps the last one between two back).
    EXPECT_GE(file.size() + 1, least * 640);
    EXPECT_LE(file.size(), most * 640);
    for (size_t i = 0; 2 * i < file.size(); ++i) {
        ASSERT_EQ(sound[i], file[2 * i]) << i;
    }
}
