// The road of one door call through the whole process, each hop checked by the peer that sees it:
// a visitor at door 1 (the door-station simulator on the bus, the visitor's voice in the board's
// microphone file), the local cloud with its broker and object stores, and the owner's phone
// (tools/phone for data points and pictures, tools/viewer for live view and talk-back).
#include "aac_decode.h"
#include "door_road.h"
#include "door_scene.h"
#include "tone_shapes.h"
#include "tone_spans.h"
#include "voice_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

using namespace std::chrono_literals;

namespace {

using namespace door_road;

class DoorRoad : public DoorRoadTest {
protected:
    // Door 1 rung as an analogue door, the phone talking back; how far the visitor stands above
    // the talk-back's echo in what a listening phone hears, in dB.
    void RingAndTalkBack(double* echoDb, size_t ringPlayed = 0);
};

// The road with the card recording events: motion alarm and SD recording on in event mode, and
// door 1's camera mkcamera's door scene, the doorway empty until the test brings the visitor.
class DoorRoadRecorded : public DoorRoad {
protected:
    void Prepare() override
    {
        for (const char* key : {"noxa_alarm_on_off", "noxa_sd_record_on_off"}) {
            mSb.Write(std::string("/DeviceInfo/noxa.cfgs/") + key, "1\n");
        }
        mSb.Write("/DeviceInfo/noxa.cfgs/noxa_sd_record_mode", "0\n");
        ASSERT_TRUE(MakeDoorScene(mSb, std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png", &mScene)) << mScene.log;
        ASSERT_EQ("", PutDoorCamera(mSb, mScene.wall));
    }

    // A closed recording's span on the unit's clock, from its name "DAY/HHMMSS_HHMMSS.mp4".
    struct Span {
        std::string path;
        long long from = 0, to = 0;
    };
    static Span SpanOf(const std::string& path)
    {
        Span s{path};
        const std::string name = path.substr(path.rfind('/') + 1);
        const std::string day = path.substr(path.rfind('/') - 8, 8);
        struct tm tm = {};
        if (strptime((day + name.substr(0, 6)).c_str(), "%Y%m%d%H%M%S", &tm) == nullptr) {
            return s;
        }
        s.from = timegm(&tm);
        const int end = std::atoi(name.substr(7, 6).c_str());
        s.to = s.from - (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) + end / 10000 * 3600 + end / 100 % 100 * 60 +
               end % 100;
        if (s.to < s.from) {
            s.to += 86400;  // past midnight
        }
        return s;
    }

    DoorScene mScene;
};

}  // namespace

// Steps 1, 2, 3 and 5: call, push with picture, live view with the visitor's voice, the phone
// opening the door on the bus and pulsing the lock.
TEST_F(DoorRoad, CallPushWatchAndOpen)
{
    // The call on one clock: the cloud sets the unit's clock (by its zone) soon after it is online.
    ASSERT_TRUE(mUnit->WaitForOutput("Get Server Time Success", 30s)) << mUnit->Output();
    const size_t rings = Rings();
    const size_t notices = Notices();
    ASSERT_NO_FATAL_FAILURE(StationCalls());
    ASSERT_NO_FATAL_FAILURE(PushArrives(rings, notices));

    // Step 3: live view at the main quality, door 1's scene, and the visitor's voice as mu-law.
    const auto viewStart = std::chrono::steady_clock::now();
    RunViewer({"--client", "0", "--live", "6", "--quality", "0", "--video", mSb.Path("/live.264"), "--audio",
               mSb.Path("/live.wav")},
              30s);
    const double viewed = std::chrono::duration<double>(std::chrono::steady_clock::now() - viewStart).count();
    std::vector<DecodedPicture> pics = DecodeAnnexB(mSb.Read("/live.264"), 48);
    ASSERT_GT(pics.size(), 50u) << mUnit->Output();
    EXPECT_EQ(1280, pics.back().width);
    EXPECT_EQ(720, pics.back().height);
    EXPECT_GT(pics.back().meanV, pics.back().meanU + 10) << "door 1's scene";
    // The live pictures carry the time stamp too (the main port's, at 20,10), running on: the
    // first and the last picture are the viewing's length apart, and later than the push's.
    const TimeStamp first = ReadTimeStamp(mSb, pics.front(), 20, 10, "ascii_16x32", 16, 32);
    const TimeStamp last = ReadTimeStamp(mSb, pics.back(), 20, 10, "ascii_16x32", 16, 32);
    ASSERT_FALSE(first.text.empty()) << first.why;
    ASSERT_FALSE(last.text.empty()) << last.why;
    printf("time stamps: push %s, live %s .. %s over %zu pictures; weakest glyph match %.2f %.2f %.2f\n",
           mPushStamp.text.c_str(), first.text.c_str(), last.text.c_str(), pics.size(), mPushStamp.weakest,
           first.weakest, last.weakest);
    EXPECT_GE(last.seconds - first.seconds, (pics.size() - 1) / 25.0 - 1) << first.text << " " << last.text;
    EXPECT_LE(last.seconds - first.seconds, viewed + 1) << first.text << " " << last.text;
    EXPECT_GE(first.seconds, mPushStamp.seconds) << first.text << " " << mPushStamp.text;
    EXPECT_LE(first.seconds - mPushStamp.seconds, 20) << first.text << " " << mPushStamp.text;
    const std::vector<int16_t> heard = ViewerWav(mSb, "/live.wav");
    ASSERT_GT(heard.size(), 8000u * 3) << mUnit->Output();
    const double visitor = BestCorrelation(Slice(mVisitor, 8000, 4000), heard, 0);
    printf("visitor's voice in the live audio: %.3f\n", visitor);
    EXPECT_GE(visitor, 0.8);

    // Step 5: data point 241 puts door 1's unlock order on the bus (the station decodes it) and is
    // reported; 148 pulses door 1's lock, plays the unlock tone whole and reports open, then closed.
    mCloud->Command("dp 241 1");
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 13 value1 0", 10s)) << mStation->Output();
    EXPECT_TRUE(mCloud->WaitLog(Rep("241", "1"), 1, 20s)) << mCloud->Log();
    const size_t beforeTone = SpeakerFile(mSb).size();
    // Reports of 241 "0" before the pulse (the full state, the unlock's own end) do not count.
    const int closedBefore = mCloud->LogCount(Rep("241", "0"));
    mCloud->Command("dp 148 true");
    EXPECT_TRUE(Eventually(
        [this] {
            const std::string h = Hc595History();
            const size_t open = h.find("lock0=1");
            return open != std::string::npos && h.find("lock0=0", open) != std::string::npos;
        },
        15s))
        << Hc595History();
    // The lock's state goes out as door 1's 241: open with the command, closed once the pulse ends.
    EXPECT_TRUE(mCloud->WaitLog(Rep("148", "true"), 1, 20s)) << mCloud->Log();
    EXPECT_TRUE(mCloud->WaitLog(Rep("241", "0"), closedBefore + 1, 20s)) << mCloud->Log();
    const std::string log = mCloud->Log();
    EXPECT_LT(log.find(Rep("148", "true")), log.rfind(Rep("241", "0")));
    std::vector<int16_t> tone;
    Eventually(
        [&] {
            const size_t now = SpeakerFile(mSb).size();
            std::this_thread::sleep_for(300ms);
            tone = SpeakerFile(mSb);
            return tone.size() > beforeTone && tone.size() == now;
        },
        10s);
    std::vector<ToneSpan> beeps = ToneSpans(Slice(tone, beforeTone, tone.size()), tones::kRate);
    ASSERT_EQ(std::size(tones::kUnlockBeeps), beeps.size()) << "the unlock tone whole";
    mStation->WriteLine("takeoff");
}

// Step 1's analogue run and step 4: door 1 rung as an analogue door chimes; the phone talks back
// while a second viewer listens: the call is taken up on the bus, the ring tone stops, the voice
// is in the speaker; and how far the visitor stands above the echo in what a listening phone hears.
// ringPlayed: the phone answers only once the speaker has played that much of the ring tone
// (16 kHz samples).
void DoorRoad::RingAndTalkBack(double* echoDb, size_t ringPlayed)
{
    EXPECT_TRUE(SpeakerFile(mSb).empty()) << "the speaker is quiet until the doorbell";
    mStation->WriteLine("doorbell 1 1");
    ASSERT_TRUE(mUnit->WaitForOutput("[__DoorRings] Door1 ", 10s)) << mUnit->Output();
    ASSERT_TRUE(mUnit->WaitForOutput("[AudioDecodeInit] 97 ", 10s)) << mUnit->Output();
    // The chime's start as the speaker played it (less the frame that sets the decoder up).
    const std::vector<int16_t> chime = DecodeAdts(mSb.Read("/customer/res/Ringbell.aac")).pcm;
    ASSERT_GT(chime.size(), 16000u);
    std::vector<int16_t> played;
    ASSERT_TRUE(Eventually([&] { return (played = SpeakerFile(mSb)).size() >= 8000; }, 10s)) << mUnit->Output();
    size_t same = 0;
    for (size_t i = 2048; i < 8000; ++i) {
        same += std::abs(chime[i] - played[i - 1024]) <= 2;
    }
    EXPECT_GT(same, (8000u - 2048) * 99 / 100) << "the speaker plays the ring tone";

    // The bell rings a second; the phone answers once it stopped ringing, while the chime plays.
    std::this_thread::sleep_for(1200ms);
    if (ringPlayed > 0) {
        ASSERT_TRUE(Eventually([&] { return SpeakerFile(mSb).size() >= ringPlayed; }, 10s)) << mUnit->Output();
    }
    ChildProcess listener({BinaryDir() + "/tools/viewer", mSb.Root(), "--client", "1", "--live", "7", "--audio",
                           mSb.Path("/heard.wav")});
    ASSERT_TRUE(listener.WaitForOutput("welcome", 10s)) << listener.Output();
    const size_t heardBefore = SpeakerFile(mSb).size();
    const std::vector<int16_t> voice = Voice(3.0);
    WriteWav(mSb.Path("/voice.wav"), voice, 8000);
    RunViewer({"--client", "0", "--talk", mSb.Path("/voice.wav")}, 30s);
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 8 value1 0 value2 1 target 0", 10s))
        << mStation->Output();
    const std::string out = mUnit->Output();
    const size_t talk = out.find("enable speaker 1");
    ASSERT_NE(std::string::npos, talk) << out;
    // The chime is stopped (the speaker back at 8 kHz) before the talk state is set.
    const size_t stopped = out.find("[AudioDecodeInit] 0 8000", talk);
    const size_t talking = out.find("-> 0x301", talk);
    ASSERT_NE(std::string::npos, talking) << out;
    EXPECT_LT(stopped, talking) << "the ring tone plays on\n" << out;
    EXPECT_GE(VoiceInSpeaker(mSb, voice, heardBefore), 0.9) << mUnit->Output();

    // What the listening phone heard meanwhile: the visitor at least 15 dB above the talk-back's
    // echo (each part's share of the heard sound, by its best normalised correlation).
    ASSERT_NE(-1, listener.WaitExit(30s)) << listener.Output();
    const std::vector<int16_t> heard = ViewerWav(mSb, "/heard.wav");
    ASSERT_GT(heard.size(), 8000u * 5) << listener.Output();
    // The 1.5 s where the talk-back's echo is strongest, and in it the visitor's share (the
    // visitor's file loops, so twice its length holds every alignment).
    const std::vector<int16_t> part = Slice(voice, 8000, 12000);
    size_t lag = 0;
    const double echo = BestCorrelation(part, heard, 0, &lag);
    std::vector<int16_t> looped = mVisitor;
    looped.insert(looped.end(), mVisitor.begin(), mVisitor.end());
    const double visitor = BestCorrelation(Slice(heard, lag, part.size()), looped, 0);
    printf("heard back: visitor %.3f, talk-back echo %.3f\n", visitor, echo);
    ASSERT_GT(visitor, 0.5);
    mStation->WriteLine("takeoff");
    *echoDb = 20 * std::log10(visitor / std::max(echo, 1e-6));
}

TEST_F(DoorRoad, AnalogueRingChimesAndThePhoneTalksBack)
{
    double echoDb = 0;
    ASSERT_NO_FATAL_FAILURE(RingAndTalkBack(&echoDb));
}

// The echo canceller learns the room from the speaker's sound: measured here, speexdsp hands the
// preprocessor the residual-echo estimate it suppresses only after some 1.6 s of it, and with the
// visitor talking all the time the ring tone's two strikes are what it learns from. The
// phone answers once the tone has played 2.4 s (its second strike starts at 1.6 s): from the
// talk's first second the visitor stands at least 15 dB above the talk-back's echo.
TEST_F(DoorRoad, TheTalkBackEchoIsCancelled)
{
    double echoDb = 0;
    ASSERT_NO_FATAL_FAILURE(RingAndTalkBack(&echoDb, 16000 * 24 / 10));
    printf("the visitor %.1f dB above the talk-back's echo\n", echoDb);
    EXPECT_GE(echoDb, 15.0);
}

// Step 6: with the cloud recording all the time, a call is watched and ends (the viewer leaves,
// the station hangs up): the unit is idle again, and the cloud's group holds the viewing period,
// whose frames FFmpeg decodes.
TEST_F(DoorRoad, TheCallEndsIdleAndTheCloudHoldsTheViewing)
{
    mCloud->Command("cloud-storage mtu 3");
    ASSERT_TRUE(Has(mCloud->Command("cloud-storage mode alltime"), "protocol 300")) << mCloud->Log();
    ASSERT_TRUE(mCloud->WaitLog(": upload start ", 1, 30s)) << mCloud->Log() << mUnit->Output();
    const auto start = std::chrono::steady_clock::now();
    auto wallMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const long long callMs = wallMs();
    const std::string idleOutputs = Outputs();
    const int normal = mCloud->LogCount(Rep("239", "\"1\""));
    const int normal2 = mCloud->LogCount(Rep("240", "\"1\""));
    ASSERT_NO_FATAL_FAILURE(StationCalls());
    RunViewer({"--client", "0", "--live", "6", "--quality", "0"}, 30s);
    const size_t stationHeard = mStation->Output().size();
    mStation->WriteLine("takeoff");
    ASSERT_TRUE(mUnit->WaitForOutput("SystemMainState 0x101 -> 0x201", 15s)) << mUnit->Output();
    const double viewed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long endMs = wallMs();

    // The call's session is over: with the last viewer gone the unit is back in its idle state,
    // which watches door 1 for motion (state 0x201, door 1's monitor path kept on and its
    // camera selected, as before the call); both doorbells are reported back to normal and the
    // station's hang-up, from a room that never took the call, changes nothing.
    EXPECT_TRUE(mCloud->WaitLog(Rep("239", "\"1\""), normal + 1, 20s)) << mCloud->Log();
    EXPECT_TRUE(mCloud->WaitLog(Rep("240", "\"1\""), normal2 + 1, 20s)) << mCloud->Log();
    EXPECT_TRUE(mUnit->WaitForOutput("ComOrder_TakeOff TakeUpRoom(255)  uSource(2)", 10s)) << mUnit->Output();
    std::this_thread::sleep_for(1s);
    const std::string unitOut = mUnit->Output();
    EXPECT_GT(unitOut.rfind("SystemMainState 0x101 -> 0x201"), unitOut.rfind("SystemMainState 0x201 -> 0x101"))
        << unitOut;
    EXPECT_EQ(unitOut.rfind("SystemMainState 0x101 -> 0x201"), unitOut.rfind("SystemMainState "))
        << "idle stays\n" << unitOut;
    EXPECT_EQ("monitor0=1 monitor1=0 lock0=0 lock1=0 video=door0", Outputs()) << Hc595History();
    EXPECT_EQ(idleOutputs, Outputs()) << Hc595History();
    EXPECT_FALSE(Has(mStation->Output().substr(stationHeard), "unit -> bus: talk order 5 ")) << mStation->Output();

    // The newest group with the slices of the call; fetched and decrypted as the phone does.
    std::string group;
    size_t slices = 0;
    ASSERT_TRUE(Eventually(
        [&] {
            std::string g;
            size_t n = 0;
            for (const std::string& line : TextLines(mCloud->Command("cloud-storage list"))) {
                if (line.rfind("group ", 0) == 0) {
                    g = line.substr(6, line.find(' ', 6) - 6);
                    n = 0;
                } else if (Has(line, ".media")) {
                    ++n;
                }
            }
            group = g;
            slices = n;
            return n >= 3;
        },
        60s))
        << mCloud->Command("cloud-storage list") << mCloud->Log();
    const std::string dir = mSb.Root() + "/fetched";
    auto [rc, out] = PhoneCli(mSb.Root(), "cloud-storage fetch " + group + " --out " + dir);
    ASSERT_EQ(0, rc) << out;
    auto [prc, probe] = ShellOutput("ffprobe -v error -f h264 -count_frames -show_entries "
                                    "stream=width,height,nb_read_frames,r_frame_rate -of csv=p=0 '" + dir + "/video.h264'");
    ASSERT_EQ(0, prc) << probe;
    EXPECT_TRUE(Has(probe, "1280,720,25/1,")) << probe;
    // The group's time span ("ms FIRST..LAST") holds the call, and the decoded frames fill it.
    const std::string span = After(out, " ms ");
    const long long first = std::atoll(span.c_str());
    const long long last = std::atoll(span.c_str() + span.find("..") + 2);
    EXPECT_LE(first, callMs + 1000) << out;
    EXPECT_GE(last, endMs - 1000) << out;
    const double decoded = std::atoi(probe.substr(probe.rfind(',') + 1).c_str()) / 25.0;
    EXPECT_NEAR(static_cast<double>(last - first) / 1000, decoded, 1.0) << out << probe;
    EXPECT_GE(decoded + 1.0, viewed) << probe;
}

// Fault run: a viewer dropping without a goodbye (killed mid-view) leaves the unit serving the
// next viewer's video, and the next call goes the whole road to the phone's picture.
TEST_F(DoorRoad, AViewerDroppingWithoutGoodbyeLeavesTheRoadOpen)
{
    ASSERT_NO_FATAL_FAILURE(StationCalls());
    {
        ChildProcess dropped({BinaryDir() + "/tools/viewer", mSb.Root(), "--client", "0", "--live", "30", "--video",
                              mSb.Path("/dropped.264")});
        ASSERT_TRUE(Eventually([this] { return mSb.Read("/dropped.264").size() > 20000; }, 15s)) << dropped.Output();
        dropped.Kill(SIGKILL);
        dropped.WaitExit(10s);
    }
    RunViewer({"--client", "0", "--live", "4", "--quality", "0", "--video", mSb.Path("/next.264")}, 40s);
    std::vector<DecodedPicture> pics = DecodeAnnexB(mSb.Read("/next.264"));
    ASSERT_GT(pics.size(), 25u) << mUnit->Output();
    EXPECT_EQ(1280, pics.back().width);
    mStation->WriteLine("takeoff");
    ASSERT_TRUE(mUnit->WaitForOutput("SystemMainState 0x101 -> 0x201", 15s)) << mUnit->Output();

    const size_t rings = Rings();
    const size_t notices = Notices();
    mStation->WriteLine("call 1");
    ASSERT_NO_FATAL_FAILURE(PushArrives(rings, notices));
    EXPECT_EQ(-1, mUnit->WaitExit(100ms)) << "the unit keeps running";
    mStation->WriteLine("takeoff");
}

// Step 6 on the card: a visitor moving at door 1 opens an event recording before the call; the
// call at door 1 leaves it running (only a call at door 2 takes the camera away from door 1's
// recording), so one recording holds the whole call, and once the visitor is gone it closes and
// plays clean in ffprobe, every sample decoding.
TEST_F(DoorRoadRecorded, TheCardHoldsTheCallInAnEventRecording)
{
    // The visitor comes once the cloud set the unit's clock, so that the names keep one clock.
    ASSERT_TRUE(mUnit->WaitForOutput("Get Server Time Success", 30s)) << mUnit->Output();
    ASSERT_EQ("", PutDoorCamera(mSb, mScene.visitor));
    ASSERT_TRUE(mUnit->WaitForOutput("[MP4RecordStart] MP4 File Name: ", 60s)) << mUnit->Output();

    const long long callFrom = UnitClock(mSb);
    const size_t callStart = mUnit->Output().size();
    ASSERT_NO_FATAL_FAILURE(StationCalls());
    RunViewer({"--client", "0", "--live", "6", "--quality", "0"}, 30s);
    mStation->WriteLine("takeoff");
    ASSERT_TRUE(mUnit->WaitForOutput("ComOrder_TakeOff TakeUpRoom(255)  uSource(2)", 15s)) << mUnit->Output();
    const long long callTo = UnitClock(mSb);
    const std::string inCall = mUnit->Output().substr(callStart);
    EXPECT_FALSE(Has(inCall, "[MP4Encoder_FileClose] ")) << "the call closed the recording\n" << inCall;
    EXPECT_FALSE(Has(inCall, "[MP4RecordStart] ")) << "a second recording in the call\n" << inCall;

    // The visitor leaves: 5 s without motion close the file (it has lasted 10 s by then).
    ASSERT_EQ("", PutDoorCamera(mSb, mScene.wall));
    ASSERT_TRUE(Eventually(
        [&] {
            const std::string out = mUnit->Output();
            return out.rfind("[MP4Encoder_FileClose] ") != std::string::npos &&
                   out.rfind("[MP4Encoder_FileClose] ") > out.rfind("[MP4RecordStart] ") && !Recordings().empty();
        },
        60s))
        << mUnit->Output();
    std::vector<Span> spans;
    for (const auto& [path, size] : Recordings()) {
        spans.push_back(SpanOf(path));
    }
    const auto holder = std::find_if(spans.begin(), spans.end(), [&](const Span& s) {
        return s.from <= callFrom && s.to >= callTo;
    });
    ASSERT_TRUE(holder != spans.end()) << "no recording holds the call " << callFrom << ".." << callTo << ": "
                                       << (spans.empty() ? "none" : spans.back().path) << "\n"
                                       << mUnit->Output();
    auto [rc, probe] = ShellOutput("ffprobe -v error -count_frames -count_packets -show_entries "
                                   "stream=codec_name,width,height,nb_read_frames,nb_read_packets:format=duration "
                                   "-of default=nw=1 '" + mSb.Path(holder->path) + "'");
    EXPECT_EQ(0, rc) << probe;
    for (const std::string& line : TextLines(probe)) {
        EXPECT_NE(std::string::npos, line.find('=')) << "ffprobe: " << line;
    }
    EXPECT_TRUE(Has(probe, "codec_name=h264\nwidth=1280\nheight=720\n")) << probe;
    const int frames = std::atoi(After(probe, "nb_read_frames=").c_str());
    EXPECT_EQ(std::to_string(frames), After(probe, "nb_read_packets=")) << "every sample decodes\n" << probe;
    // Its samples fill the span its name gives.
    const double duration = std::atof(After(probe, "duration=").c_str());
    EXPECT_NEAR(static_cast<double>(holder->to - holder->from), duration, 1.5) << holder->path << "\n" << probe;
    EXPECT_NEAR(duration * 25, frames, 25) << probe;
}
