// The speaker's side: the tone files the build makes, the tone player step by step (rate, frame
// size, volume, amplifier, what reaches the speaker file, the speaker restored), its thread
// (a second start ignored, a missing file, the time-out row), broken and long ADTS frames, the
// decoder's channel handling, talk-back levels and the talk-start mute.
#include "Common/Peripheral.h"
#include "Common/TimeTask.h"
#include "audio_test_util.h"
#include "faac/faac.h"
#include "platform/board_msgq.h"
#include "platform/mi/mi_sim.h"
#include "tone_shapes.h"
#include "tone_spans.h"

#include <fstream>
#include <sys/msg.h>
#include <iterator>

namespace {

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Start offsets of the ADTS frames of a stream.
std::vector<size_t> Frames(const std::vector<uint8_t>& s)
{
    std::vector<size_t> at;
    for (size_t i = 0; i + 7 <= s.size();) {
        int len = AdtsFrameLength(&s[i]);
        if (len < 0) {
            break;
        }
        at.push_back(i);
        i += static_cast<size_t>(len);
    }
    return at;
}

class TonePlayer : public AudioTest {
protected:
    void SetUp() override
    {
        AudioTest::SetUp();
        StartAudio();
        SetSpeakerPower(0);
    }
    char Amplifier() const { return mSandbox.Read("/sys/class/gpio/gpio16/value")[0]; }

    // Plays the tone record through the steps, the speaker running one period after each step.
    // The number of passes, or -1 when the player did not finish within `most` passes.
    int Play(TONE_RECORD_S& tone, int most = 2000)
    {
        testing::internal::CaptureStdout();
        int passes = -1;
        if (RingDecodeOpen(&tone) == 0) {
            mDuring = AoAttr();
            mVolumeDuring = AoVolume();
            RingDecodeAmplifierOn(&tone);
            mAmplifierDuring = Amplifier();
            for (int i = 0; i < most; ++i) {
                int sends = MiSimCallCount("MI_AO_SendFrame");
                int more = RingDecodePass(&tone);
                // The speaker plays on while more than a frame waits (so the queue neither runs
                // dry nor fills up), and for every pass that sent nothing.
                if (sends == MiSimCallCount("MI_AO_SendFrame")) {
                    MiSimPump(1);
                }
                while (AoQueued() > 1) {
                    MiSimPump(1);
                }
                if (more == 0) {
                    passes = i + 1;
                    break;
                }
            }
            RingDecodeClose(&tone);
        }
        mLog = testing::internal::GetCapturedStdout();
        return passes;
    }
    static void Set(TONE_RECORD_S& tone, const char* path, uint8_t loop = 0)
    {
        std::snprintf(tone.Path, sizeof(tone.Path), "%s", path);
        tone.Loop = loop;
        tone.Run = 1;
    }

    MI_AUDIO_Attr_t mDuring{};
    MI_S32 mVolumeDuring = 0;
    char mAmplifierDuring = '?';
    std::string mLog;
};

}  // namespace

TEST_F(TonePlayer, TheBuiltTonesAreAdtsAacThatDecodes)
{
    for (const char* name : {"/customer/res/Ringbell.aac", "/customer/res/Unlock.aac"}) {
        std::vector<uint8_t> file = ReadFile(mSandbox.Path(name));
        ASSERT_FALSE(file.empty()) << name;
        std::vector<size_t> frames = Frames(file);
        ASSERT_FALSE(frames.empty());
        size_t last = frames.back();
        EXPECT_EQ(file.size(), last + static_cast<size_t>(AdtsFrameLength(&file[last]))) << "whole frames only";
        DecodedAac dec = DecodeAdts(file);
        EXPECT_EQ(16000u, dec.rate) << name;
        EXPECT_EQ(1u, dec.channels);
        EXPECT_EQ(0, dec.errors);
        double rms = std::sqrt(Energy(dec.pcm) / static_cast<double>(dec.pcm.size()));
        EXPECT_GT(rms, 1000) << name << " is not silent";
    }
    // The sandbox lists them among the installed files.
    std::string md5 = mSandbox.Read("/customer/ApplicantMD5");
    EXPECT_NE(std::string::npos, md5.find("  customer/res/Ringbell.aac\n")) << md5;
    EXPECT_NE(std::string::npos, md5.find("  customer/res/Unlock.aac\n")) << md5;
}

TEST_F(TonePlayer, RingTonePlaysAtItsRateAndTheSpeakerIsRestored)
{
    TONE_RECORD_S tone;
    Set(tone, kRingbellTonePath);
    int passes = Play(tone);
    ASSERT_GT(passes, 0) << mLog;
    EXPECT_EQ(16000u, mDuring.sampleRate);
    EXPECT_EQ(1024u, mDuring.ptNumPerFrm);
    EXPECT_EQ(-45, mVolumeDuring);
    EXPECT_EQ('0', mAmplifierDuring) << "the amplifier is on (0) while the tone plays";
    EXPECT_NE(std::string::npos, mLog.find("samplerate 16000, channels ")) << mLog;

    // Afterwards: 8 kHz, 320 samples, the volume start-up set; the amplifier stays on.
    MI_AUDIO_Attr_t after = AoAttr();
    EXPECT_EQ(8000u, after.sampleRate);
    EXPECT_EQ(320u, after.ptNumPerFrm);
    EXPECT_EQ(-40, AoVolume());
    EXPECT_EQ(kAoCodecPcm, AudioDecodeCodec());
    EXPECT_EQ(kAoRateIndex8000, AudioDecodeIndex());
    EXPECT_EQ('0', Amplifier());
    EXPECT_EQ(0, tone.Run);

    // The one-shot tone ended only once everything queued had played: the speaker file holds
    // the file's sound after the first frame (which only sets the decoder up), sample for sample
    // from the second played frame on (the first lacks the overlap of the frame not decoded).
    std::vector<uint8_t> file = ReadFile(mSandbox.Path(kRingbellTonePath));
    DecodedAac dec = DecodeAdts(file);
    std::vector<int16_t> expected(dec.pcm.begin() + 1024, dec.pcm.end());
    std::vector<int16_t> played = Speaker();
    ASSERT_GE(played.size(), expected.size());
    size_t mismatches = 0;
    for (size_t i = 1024; i < expected.size(); ++i) {
        mismatches += std::abs(expected[i] - played[i]) > 2;
    }
    EXPECT_EQ(0u, mismatches);
    EXPECT_GT(Energy(played, 0, 1024), 0) << "the first frame plays too";
    EXPECT_LT(played.size(), expected.size() + 640 + 1) << "at most the rest of a period of silence";
    EXPECT_EQ(0u, AoQueued());
}

// The player uses the first frame only to set its decoder up: the tones start with a frame of
// silence, so every beep reaches the speaker as long as the generator made it.
TEST_F(TonePlayer, UnlockBeepsPlayAsLongAsMade)
{
    TONE_RECORD_S tone;
    Set(tone, kUnlockTonePath);
    ASSERT_GT(Play(tone), 0) << mLog;
    std::vector<ToneSpan> beeps = ToneSpans(Speaker(), tones::kRate);
    ASSERT_EQ(std::size(tones::kUnlockBeeps), beeps.size());
    for (size_t i = 0; i < beeps.size(); ++i) {
        // The soft edges stay below a tenth of the peak for about 2 ms each.
        const double made = tones::kUnlockBeeps[i].length - 0.004;
        EXPECT_NEAR(made, static_cast<double>(beeps[i].length) / tones::kRate, 0.008) << "beep " << i;
    }
}

TEST_F(TonePlayer, LoopingToneStartsAgainUntilStopped)
{
    std::vector<uint8_t> file = ReadFile(mSandbox.Path(kUnlockTonePath));
    size_t frames = Frames(file).size();
    TONE_RECORD_S tone;
    Set(tone, kUnlockTonePath, 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, RingDecodeOpen(&tone));
    int sends = MiSimCallCount("MI_AO_SendFrame");
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(1, RingDecodePass(&tone));
        MiSimPump(1);
    }
    int sent = MiSimCallCount("MI_AO_SendFrame") - sends;
    EXPECT_GT(static_cast<size_t>(sent), 2 * frames) << "the file plays over and over";
    // A stop mid-way: the next pass ends the tone.
    tone.Run = 0;
    EXPECT_EQ(0, RingDecodePass(&tone));
    RingDecodeClose(&tone);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(8000u, AoAttr().sampleRate);
}

TEST_F(TonePlayer, MissingFileLeavesSpeakerAndAmplifierAlone)
{
    TONE_RECORD_S tone;
    Set(tone, "/customer/res/Nothing.aac");
    int setAttr = MiSimCallCount("MI_AO_SetPubAttr");
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, Play(tone));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("RingDecodeThread : No such file or directory")) << err;
    EXPECT_EQ(0, tone.Run);
    EXPECT_EQ(setAttr, MiSimCallCount("MI_AO_SetPubAttr"));
    EXPECT_EQ(0, MiSimCallCount("MI_AO_ClearChn"));
    EXPECT_EQ(-40, AoVolume());
    EXPECT_EQ('1', Amplifier());

    // Through the thread the same: the start leaves the speaker alone.
    testing::internal::CaptureStderr();
    StartRingDecode("/customer/res/Nothing.aac", 0);
    StopRingDecode();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(setAttr, MiSimCallCount("MI_AO_SetPubAttr"));
    EXPECT_EQ('1', Amplifier());
}

// A broken frame in the middle: playing stops there, the speaker is restored. A frame longer
// than 2048 (and than 4098) bytes is read whole by its 13-bit length: the frames after it play.
TEST_F(TonePlayer, BrokenAndLongFrames)
{
    std::vector<uint8_t> ring = ReadFile(mSandbox.Path(kRingbellTonePath));
    std::vector<size_t> at = Frames(ring);
    ASSERT_GT(at.size(), 20u);
    std::vector<uint8_t> head(ring.begin(), ring.begin() + static_cast<long>(at[10]));
    std::vector<uint8_t> tail(ring.begin() + static_cast<long>(at[10]), ring.begin() + static_cast<long>(at[20]));

    std::vector<uint8_t> broken = head;
    broken.insert(broken.end(), {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE});
    broken.insert(broken.end(), tail.begin(), tail.end());
    mSandbox.Write("/customer/res/Broken.aac", std::string(broken.begin(), broken.end()));
    TONE_RECORD_S tone;
    Set(tone, "/customer/res/Broken.aac");
    int sends = MiSimCallCount("MI_AO_SendFrame");
    ASSERT_GT(Play(tone), 0);
    EXPECT_NE(std::string::npos, mLog.find("corrupt ADTS frame in /customer/res/Broken.aac: tone stopped")) << mLog;
    // Frames 1 to 9 are decoded (the decoder gives the first one's samples with the next), none
    // after the broken one.
    EXPECT_EQ(8, MiSimCallCount("MI_AO_SendFrame") - sends);
    EXPECT_EQ(8000u, AoAttr().sampleRate);
    EXPECT_EQ(-40, AoVolume());
    EXPECT_EQ(0, tone.Run);

    std::vector<uint8_t> big(6000, 0x5A);
    ASSERT_EQ(0, AdtsWriteHeader(big.data(), MPEG4, LOW, 16000, 1, static_cast<unsigned>(big.size())));
    std::vector<uint8_t> longFrame = head;
    longFrame.insert(longFrame.end(), big.begin(), big.end());
    longFrame.insert(longFrame.end(), tail.begin(), tail.end());
    mSandbox.Write("/customer/res/Long.aac", std::string(longFrame.begin(), longFrame.end()));
    Set(tone, "/customer/res/Long.aac");
    sends = MiSimCallCount("MI_AO_SendFrame");
    ASSERT_GT(Play(tone), 0) << mLog;
    EXPECT_EQ(std::string::npos, mLog.find("corrupt")) << mLog;
    // The long frame does not decode and is skipped; the ten after it play.
    EXPECT_GE(MiSimCallCount("MI_AO_SendFrame") - sends, 18);
}

TEST_F(TonePlayer, ThreadPlaysOneToneAtATime)
{
    std::atomic<int> waits{0};
    static std::atomic<int>* sWaits = &waits;
    gTonePlayerSleep = [](uint32_t) {
        ++*sWaits;
        std::this_thread::yield();
    };
    int volumeReads = MiSimCallCount("MI_AO_GetVolume");
    testing::internal::CaptureStdout();
    StartRingbellAudio();
    EXPECT_EQ(1, gToneRecord.Run);
    EXPECT_EQ(kToneTimeoutTicks, gDeviceState.RingToneTimer);
    // The player is in its amplifier wait or playing; a second start of a tone is ignored.
    while (waits < 5) {
        std::this_thread::yield();
    }
    gDeviceState.RingToneTimer = 1234;
    StartRingbellAudio();
    EXPECT_STREQ(kRingbellTonePath, gToneRecord.Path);
    EXPECT_EQ(1234, gDeviceState.RingToneTimer);
    EXPECT_EQ(16000u, AoAttr().sampleRate);

    // The tone time-out row of the timer task stops it; the speaker is back at 8 kHz.
    gDeviceState.RingToneTimer = 1;
    TimeTaskTick();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, gToneRecord.Run);
    EXPECT_EQ(kCountdownStopped, gDeviceState.RingToneTimer);
    EXPECT_EQ(volumeReads + 1, MiSimCallCount("MI_AO_GetVolume")) << "one player saved the volume";
    EXPECT_EQ(8000u, AoAttr().sampleRate);
    EXPECT_EQ(-40, AoVolume());

    // A player that ended by itself is joined by the next start, which then plays.
    testing::internal::CaptureStdout();
    gTonePlayerSleep = [](uint32_t) {};
    StartUnlockAudio();
    while (gToneRecord.Run) {
        MiSimPump(1);
        std::this_thread::yield();
    }
    StartUnlockAudio();
    EXPECT_STREQ(kUnlockTonePath, gToneRecord.Path);
    StopUnlockAudio();
    StopUnlockAudio();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, gToneRecord.Run);
}

// An unlock while the ring tone plays: the ring stops and the unlock tone plays; the end of the
// call (the ring stop) then leaves the unlock tone to play to its end.
TEST_F(TonePlayer, UnlockToneTakesOverAndOutlivesTheRingStop)
{
    gTonePlayerSleep = [](uint32_t) { std::this_thread::yield(); };
    testing::internal::CaptureStdout();
    StartRingbellAudio();
    while (MiSimCallCount("MI_AO_SendFrame") < 3) {
        MiSimPump(1);
        std::this_thread::yield();
    }
    StartUnlockAudio();
    const int sends = MiSimCallCount("MI_AO_SendFrame");  // the ring's player is joined by now
    EXPECT_STREQ(kUnlockTonePath, gToneRecord.Path);
    EXPECT_EQ(1, gToneRecord.Run);
    StopRingbellAudio();
    EXPECT_EQ(1, gToneRecord.Run) << "the ring stop cut the unlock tone";
    while (gToneRecord.Run) {
        MiSimPump(1);
        std::this_thread::yield();
    }
    testing::internal::GetCapturedStdout();
    // Every frame but the decoder's set-up frame and the one whose samples the decoder holds back.
    const size_t frames = Frames(ReadFile(mSandbox.Path(kUnlockTonePath))).size();
    EXPECT_EQ(static_cast<int>(frames) - 2, MiSimCallCount("MI_AO_SendFrame") - sends);
    StopRingDecode();
}

// The asynchronous decoder plays the frames queued to it. The kernel queue outlives a process:
// messages another process left carry addresses of its heap, which are dropped, never freed.
TEST_F(TonePlayer, AsyncDecoderPlaysQueuedFramesAndDropsStaleOnes)
{
    const int id = AacMsgQueueId();
    ASSERT_GE(id, 0) << "AudioInit makes the AAC message queue";
    AAC_MSG_S stale{};
    stale.Type = kAacMsgType;
    stale.Body.Frame = 0xDEAD0000u;
    stale.Body.Length = 100;
    stale.Body.Owner = AacMsgOwner() ^ 1;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, BoardMsgQueueSend(id, &stale, sizeof(stale.Body), IPC_NOWAIT));
    }
    std::vector<uint8_t> file = ReadFile(mSandbox.Path(kUnlockTonePath));
    std::vector<size_t> at = Frames(file);
    ASSERT_GT(at.size(), 5u);
    at.push_back(file.size());
    gTonePlayerSleep = [](uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, AACAsyncDecoderInit(&file[0], static_cast<uint16_t>(at[1])));
    EXPECT_EQ(1, AACAsyncDecoderActive());
    const int sends = MiSimCallCount("MI_AO_SendFrame");
    for (size_t i = 1; i + 1 < at.size(); ++i) {
        ASSERT_EQ(0, AACAsyncPutFrame(&file[at[i]], static_cast<uint16_t>(at[i + 1] - at[i])));
    }
    // All but the frame whose samples the decoder holds back reach the speaker.
    const int expected = static_cast<int>(at.size()) - 3;
    for (int i = 0; i < 5000 && MiSimCallCount("MI_AO_SendFrame") - sends < expected; ++i) {
        MiSimPump(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int sent = MiSimCallCount("MI_AO_SendFrame") - sends;
    AACAsyncPutFrame(&file[at[1]], static_cast<uint16_t>(at[2] - at[1]));  // left for the teardown
    AACAsyncDecoderDeInit();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(expected, sent) << log;
    EXPECT_NE(std::string::npos, log.find("[AACAsyncDecoderDeInit] samplerate 16000")) << log;
    EXPECT_EQ(0, AACAsyncDecoderActive());
    EXPECT_EQ(-1, AacMsgQueueId()) << "the queue is removed with the decoder";
    EXPECT_EQ(0, BoardMsgQueueCountBoard(mSandbox.Root()));
    EXPECT_EQ(-1, AACAsyncPutFrame(&file[at[1]], 10));
}

TEST_F(TonePlayer, SpeakerSetUpForCodecs)
{
    testing::internal::CaptureStdout();
    AudioDecodeInit(kAoCodecAac, 3);
    EXPECT_EQ(48000u, AoAttr().sampleRate);
    EXPECT_EQ(1024u, AoAttr().ptNumPerFrm);
    // Index 12 (7350 Hz) asks for the marker rate 96001, which the speaker refuses: it stays as it
    // was, and the refusal is logged.
    AudioDecodeInit(kAoCodecAac, 12);
    EXPECT_EQ(48000u, AoAttr().sampleRate);
    EXPECT_EQ(12, AudioDecodeIndex());
    // Another codec keeps the set-up but clears the queue; an index past the table does nothing.
    int clears = MiSimCallCount("MI_AO_ClearChn");
    AudioDecodeInit(8, 11);
    EXPECT_EQ(clears + 1, MiSimCallCount("MI_AO_ClearChn"));
    EXPECT_EQ(48000u, AoAttr().sampleRate);
    AudioDecodeInit(kAoCodecPcm, 13);
    EXPECT_EQ(clears + 1, MiSimCallCount("MI_AO_ClearChn"));
    AudioDecodeInit(kAoCodecPcm, 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(8000u, AoAttr().sampleRate);
    EXPECT_EQ(320u, AoAttr().ptNumPerFrm);
    EXPECT_NE(std::string::npos, log.find("[AudioDecodeInit] MI_AO_SetPubAttr 0xa0052003")) << log;
    EXPECT_NE(std::string::npos, log.find("[AudioDecodeInit] 97 96001")) << log;
    EXPECT_EQ(96001u, kAdtsSampleRates[0]);
    EXPECT_EQ(8000u, kAdtsSampleRates[11]);
}

// Stereo AAC: the decoder keeps the first channel, and says how many bytes that is.
TEST_F(TonePlayer, DecoderKeepsTheFirstChannel)
{
    uint8_t none[16] = {};
    uint16_t len = 77;
    EXPECT_EQ(-1, AACDecode(none, sizeof(none), none, &len)) << "no decoder";
    EXPECT_EQ(77, len);

    unsigned long inputSamples = 0, maxBytes = 0;
    faacEncHandle enc = faacEncOpen(16000, 2, &inputSamples, &maxBytes);
    ASSERT_NE(nullptr, enc);
    std::vector<int16_t> in(inputSamples);
    std::vector<uint8_t> stream;
    std::vector<uint8_t> out(maxBytes);
    std::vector<int16_t> left;
    for (int f = 0; f < 12; ++f) {
        for (size_t i = 0; i < in.size(); i += 2) {
            double t = static_cast<double>(left.size()) / 16000;
            in[i] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 500 * t));
            in[i + 1] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 2100 * t));
            left.push_back(in[i]);
        }
        int n = faacEncEncode(enc, reinterpret_cast<int32_t*>(in.data()), static_cast<unsigned>(in.size()), out.data(),
                              static_cast<unsigned>(out.size()));
        ASSERT_GE(n, 0);
        stream.insert(stream.end(), out.begin(), out.begin() + n);
    }
    faacEncClose(enc);
    std::vector<size_t> at = Frames(stream);
    ASSERT_GE(at.size(), 8u);

    testing::internal::CaptureStdout();
    ASSERT_EQ(0, AACSyncDecoderInit(&stream[at[0]], static_cast<uint16_t>(at[1] - at[0])));
    std::vector<int16_t> decoded;
    std::vector<uint8_t> pcm(kAacPcmBufferSize);
    for (size_t k = 0; k + 1 < at.size(); ++k) {
        uint16_t n = 0;
        ASSERT_EQ(0, AACDecode(&stream[at[k]], static_cast<uint16_t>(at[k + 1] - at[k]), pcm.data(), &n));
        ASSERT_TRUE(n == 0 || n == 2048) << n;
        const auto* s = reinterpret_cast<const int16_t*>(pcm.data());
        decoded.insert(decoded.end(), s, s + n / 2);
    }
    // A frame that does not decode: -1, the error printed.
    std::vector<uint8_t> junk(40, 0x33);
    AdtsWriteHeader(junk.data(), MPEG4, LOW, 16000, 2, static_cast<unsigned>(junk.size()));
    uint16_t n = 5;
    int rc = AACDecode(junk.data(), static_cast<uint16_t>(junk.size()), pcm.data(), &n);
    AACSyncDecoderDeInit();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(5, n);
    EXPECT_NE(std::string::npos, log.find("samplerate 16000, channels 2")) << log;

    // The 500 Hz left channel, not the 2100 Hz right one: correlate past the encoder's delay.
    ASSERT_GT(decoded.size(), 8192u);
    double bestL = 0, bestR = 0;
    for (size_t lag = 0; lag <= 2048; ++lag) {
        double cl = 0, cr = 0, e = 0;
        for (size_t i = 4096; i < 8192; ++i) {
            double t = static_cast<double>(i - lag) / 16000;
            cl += decoded[i] * std::sin(2 * M_PI * 500 * t);
            cr += decoded[i] * std::sin(2 * M_PI * 2100 * t);
            e += static_cast<double>(decoded[i]) * decoded[i];
        }
        bestL = std::max(bestL, std::fabs(cl) / std::sqrt(e * 2048));
        bestR = std::max(bestR, std::fabs(cr) / std::sqrt(e * 2048));
    }
    EXPECT_GT(bestL, 0.9);
    EXPECT_LT(bestR, 0.2);
}

TEST_F(TonePlayer, TalkBackLevelsAndTheTalkStartMute)
{
    SetTalkVolume(1);
    EXPECT_EQ(-46, AoVolume());
    MI_S32 vqe = 0;
    ASSERT_EQ(0, MI_AI_GetVqeVolume(0, 0, &vqe));
    EXPECT_EQ(9, vqe);
    SetTalkVolume(0);
    EXPECT_EQ(-40, AoVolume());
    ASSERT_EQ(0, MI_AI_GetVqeVolume(0, 0, &vqe));
    EXPECT_EQ(8, vqe);

    std::vector<int16_t> block(320, 1000);
    auto* pcm = reinterpret_cast<uint8_t*>(block.data());
    struct Row {
        uint16_t settle;
        uint32_t len;
        MI_U32 queued;
    } rows[] = {
        {50, 640, 0},  // muted while the talk-start countdown runs: dropped, not delayed
        {1, 640, 0},
        {0, 640, 1},
        {kCountdownStopped, 640, 2},
        {kCountdownStopped, 0, 2},  // nothing to send
    };
    for (const Row& r : rows) {
        gDeviceState.TalkAudioSettleTimer = r.settle;
        SendFrameToAo(pcm, r.len);
        EXPECT_EQ(r.queued, AoQueued()) << r.settle << " " << r.len;
    }
    // A full queue: the send waits its 100 ms, then the failure is logged.
    testing::internal::CaptureStdout();
    for (int i = 0; i < 30; ++i) {
        SendFrameToAo(pcm, 640);
    }
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("MI_AO_SendFrame Fail 0xa005200f")) << log;
    EXPECT_EQ(25u, AoQueued());
}
