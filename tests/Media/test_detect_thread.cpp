// The detection thread in virtual 10 ms ticks: the alarm decision of a pass and what it sets off
// (the push flag, an event recording and its hold), the human flag, the lengths of event
// recordings beside the timer task, continuous recording; then on the simulated chain: frames
// taken and given back, the alarm zone on the detection scaler, and the thread itself.
#include "Common/AppState.h"
#include "Common/DoorPhoneLinks.h"
#include "Common/NoxaSettings.h"
#include "Common/TimeTask.h"
#include "Media/DetectThread.h"
#include "Media/HumanDetect.h"
#include "Media/MotionDetect.h"
#include "Media/Playback.h"
#include "detect_test_util.h"
#include "process.h"
#include "record_test_util.h"

#include <chrono>
#include <functional>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kDay = "/mnt/sdcard/DVR/20260314";
constexpr int kPassTicks = 20;  // a pass every 200 ms: two frames 120 ms apart, the detectors, 60 ms

// What the detectors find in the next pass.
int gPersons = 0;
int gChanged = 0;
int gHumanCalls = 0;
int gMotionCalls = 0;
std::vector<uint32_t> gWaits;
std::function<void(uint32_t)> gOnWait;

int FakeHuman(const MI_SYS_BufInfo_t*, const MI_SYS_BufInfo_t*)
{
    ++gHumanCalls;
    return gPersons;
}

int FakeMotion(const MI_SYS_BufInfo_t*, const MI_SYS_BufInfo_t*)
{
    ++gMotionCalls;
    return gChanged;
}

void FakeWait(uint32_t ms)
{
    gWaits.push_back(ms);
    if (gOnWait) {
        gOnWait(ms);
    }
}

std::vector<uint8_t> Unit(const std::vector<uint8_t>& nal)
{
    std::vector<uint8_t> u = {0, 0, 0, 1};
    u.insert(u.end(), nal.begin(), nal.end());
    return u;
}

void Write(std::vector<uint8_t> unit, uint32_t type)
{
    MP4Encoder_WriteVideo(unit.data(), static_cast<uint32_t>(unit.size()), type, 0);
}

// Samples, and the recorded length in 10 ms ticks, of a closed recording.
uint32_t SamplesOf(const std::string& unitPath)
{
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(unitPath);
    return r ? r->SampleCount() : 0;
}

class DetectTest : public RecordTest {
protected:
    void SetUp() override
    {
        RecordTest::SetUp();
        mSaved = gDetectOps;
        gDetectOps = {FakeHuman, FakeMotion, FakeWait};
        gPersons = gChanged = gHumanCalls = gMotionCalls = 0;
        gWaits.clear();
        gOnWait = nullptr;
        TimeTaskInit();
        DEVICE_STATE_S& s = gDeviceState;
        s.VideoSettleTimer = kCountdownStopped;
        s.AlarmSetting = 1;
        s.SdRecordSetting = 1;
        gAppState.FloorModel = 0;
        gCurrentDoor = 0;
        IPC_APP_set_human_filter(0);
        IPC_APP_set_sd_record_mode(0);
        ClearHumanFlag();
        TakeMotionPushFlag();
        DetectThreadInstallLinks();
        mIdrs = MiSimCallCount("MI_VENC_RequestIdr");
    }
    void TearDown() override
    {
        StopPlayback();
        gDetectOps = mSaved;
        gOnWait = nullptr;
        RecordTest::TearDown();
    }
    static void ClearHumanFlag()
    {
        for (int i = 0; i <= kHumanMissMax && GetHumanFliterResult() != 0; ++i) {
            SetHumanFliterResult(0);
        }
    }
    // One pass on frames the fake detectors judge.
    static uint8_t Pass(int persons, int changed)
    {
        gPersons = persons;
        gChanged = changed;
        MI_SYS_BufInfo_t a{};
        MI_SYS_BufInfo_t b{};
        const uint8_t alarm = DetectPass(&a, &b);
        RecordingUpkeep();
        return alarm;
    }
    // One 10 ms tick of virtual time from 10:00:00: the encoder's frame every 40 ms (a key frame
    // when the recorder asked for one, as the encoder answers), the timer task, a detection pass
    // every 200 ms with an alarm when `alarm` says so.
    void Tick(const std::function<bool(int)>& alarm)
    {
        if (mTick % 100 == 0) {
            SetClock(10, mTick / 6000, mTick / 100 % 60);
        }
        if (mTick % 4 == 0 && GetMP4RecordState() == 1) {
            const int idrs = MiSimCallCount("MI_VENC_RequestIdr");
            if (idrs != mIdrs || ++mGop == 50) {
                mIdrs = idrs;
                mGop = 0;
                Write(Unit(kFakeSps), 7);
                Write(Unit(kFakePps), 8);
                std::vector<uint8_t> idr = FakeSample(1, true);
                Write(Unit(std::vector<uint8_t>(idr.begin() + 4, idr.end())), 5);
            } else {
                std::vector<uint8_t> p = FakeSample(static_cast<uint32_t>(mTick), false);
                Write(Unit(std::vector<uint8_t>(p.begin() + 4, p.end())), 1);
            }
        }
        TimeTaskTick();
        if (mTick % kPassTicks == 0) {
            Pass(0, alarm(mTick) ? 1020 : 0);
        }
        ++mTick;
    }

public:
    // A listed recording played and paused, so the playback runs.
    void StartPausedPlayback()
    {
        gPlaybackOutput.SendVideo = [](uint32_t, const TRANSFER_MEDIA_FRAME_S*) { return 0; };
        gPlaybackOutput.SendFinish = [](uint32_t) { return 0; };
        gPlaybackOutput.Sleep = [](uint32_t) { std::this_thread::sleep_for(1ms); };
        std::filesystem::create_directories(mSandbox.Path(kDay));
        WriteFakeRecording(std::string(kDay) + "/090000_090010.mp4", 250);
        PB_DAY_QUERY_S q{0, 2026, 3, 14, {}};
        ASSERT_EQ(0, SeekFileInfoByDate(&q));
        ASSERT_EQ(0, StartPlayback(q.Files[0].start_timestamp, q.Files[0].start_timestamp, q.Files[0].end_timestamp, 0));
        PausePlayback();
        ASSERT_EQ(1, GetPlaybackState());
    }

protected:
    DETECT_OPS_S mSaved{};
    int mTick = 0;
    int mIdrs = 0;
    int mGop = 0;
};

}  // namespace

// One pass's decision and what it sets off, row by row from an idle unit: the push flag (alarm
// setting on, door 0), the event start (card, SD recording on, event mode, door 0, picture
// settled, no playback) and the hold of a running recording.
TEST_F(DetectTest, AlarmTruthTable)
{
    struct Row {
        const char* what;
        uint8_t filter;
        int persons;
        int changed;
        std::function<void(DetectTest*)> setUp;
        uint8_t alarm;
        int flag;
        uint8_t recording;
    };
    const Row rows[] = {
        {"nothing", 0, 0, 0, nullptr, 0, 0, 0},
        {"filter off: a person without motion", 0, 2, 0, nullptr, 0, 0, 0},
        {"filter off: motion", 0, 0, 1020, nullptr, 1, 1, 1},
        {"filter off: a failed measure counts as motion", 0, 0, -1, nullptr, 1, 1, 1},
        {"filter on: motion without a person", 1, 0, 1020, nullptr, 0, 0, 0},
        {"filter on: a person without motion", 1, 1, 0, nullptr, 1, 1, 1},
        {"alarm setting off: records, no push", 0, 0, 1020, [](DetectTest*) { gDeviceState.AlarmSetting = 0; }, 1, 0, 1},
        {"SD recording off: push only", 0, 0, 1020, [](DetectTest*) { gDeviceState.SdRecordSetting = 0; }, 1, 1, 0},
        {"door 1 watched: neither", 0, 0, 1020, [](DetectTest*) { gCurrentDoor = 1; }, 1, 0, 0},
        {"floor model: neither", 0, 0, 1020, [](DetectTest*) { gAppState.FloorModel = 1; }, 1, 0, 0},
        {"continuous mode: no event start", 0, 0, 1020, [](DetectTest*) { IPC_APP_set_sd_record_mode(1); }, 1, 1, 1},
        {"picture still settling", 0, 0, 1020, [](DetectTest*) { gDeviceState.VideoSettleTimer = 100; }, 1, 1, 0},
        {"card not mounted", 0, 0, 1020, [](DetectTest*) { BoardUmount(kSdMountPoint); }, 1, 1, 0},
        {"playback running", 0, 0, 1020, [](DetectTest* t) { t->StartPausedPlayback(); }, 1, 1, 0},
        {"the last file's hold not cleared yet", 0, 0, 1020, [](DetectTest*) { gDeviceState.RecordHoldTimer = 0; }, 1,
         1, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        IPC_APP_set_human_filter(r.filter);
        if (r.setUp) {
            r.setUp(this);
        }
        EXPECT_EQ(r.alarm, Pass(r.persons, r.changed));
        EXPECT_EQ(r.flag, gDoorPhoneLinks.TakeMotionFlag());
        EXPECT_EQ(0, gDoorPhoneLinks.TakeMotionFlag()) << "taken once";
        // Continuous mode opens its file in the upkeep, whatever the alarm.
        EXPECT_EQ(r.recording, GetMP4RecordState());
        if (r.recording == 1) {
            EXPECT_EQ(kRecordHoldTicks, gDeviceState.RecordHoldTimer.load());
        }
        // Back to an idle unit.
        StopPlayback();
        MP4RecordStop();
        ClearHumanFlag();
        gDeviceState.AlarmSetting = 1;
        gDeviceState.SdRecordSetting = 1;
        gDeviceState.VideoSettleTimer = kCountdownStopped;
        gCurrentDoor = 0;
        gAppState.FloorModel = 0;
        IPC_APP_set_sd_record_mode(0);
        BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr);
    }
    // A running recording: an alarm pass holds it 5 s more, a quiet pass does not.
    ASSERT_EQ(0, MP4RecordStart());
    gDeviceState.RecordHoldTimer = 100;
    EXPECT_EQ(0, Pass(0, 0));
    EXPECT_EQ(100, gDeviceState.RecordHoldTimer.load());
    EXPECT_EQ(1, Pass(0, 255));
    EXPECT_EQ(kRecordHoldTicks, gDeviceState.RecordHoldTimer.load());
}

// A person found once keeps the alarm up, motion or not, for that pass and the next 20, while
// the detector rests; the flag falls in the 21st pass without one, before its decision.
TEST_F(DetectTest, HumanFlagFallsOnThe21stMiss)
{
    IPC_APP_set_human_filter(1);
    std::vector<uint8_t> alarms;
    for (int pass = 0; pass < 24; ++pass) {
        alarms.push_back(Pass(pass == 0 ? 1 : 0, 0));
    }
    const std::vector<uint8_t> expected = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0};
    EXPECT_EQ(expected, alarms);
    EXPECT_EQ(3, gHumanCalls) << "run in pass 0, then again from pass 22";
    EXPECT_EQ(24, gMotionCalls);
    // With the flag down the misses do not pile up: one person brings it back at once.
    EXPECT_EQ(1, Pass(1, 0));
    EXPECT_EQ(1, GetHumanFliterResult());
}

// Event recordings beside the timer task, frames at 25 per second: a single alarm gives just over
// 10 s (the hold runs out at 5 s, the stop waits for 1001 ticks); an alarm at 7 s moves the end to
// 5 s after it; alarms every 5 s keep the file until the timer task ends it at 65 s, after which
// nothing is recorded until the next alarm.
TEST_F(DetectTest, EventRecordingLengths)
{
    struct Row {
        const char* what;
        std::function<bool(int)> alarm;  // by tick
        int ticks;
        const char* name;
        uint32_t samples;
    };
    const Row rows[] = {
        {"one alarm", [](int t) { return t == 0; }, 1500, "100000_100010.mp4", 255},
        {"an alarm at 7 s", [](int t) { return t == 0 || t == 700; }, 1500, "100000_100012.mp4", 300},
        {"alarms every 5 s", [](int t) { return t % 500 == 0 && t < 6500; }, 6900, "100000_100105.mp4", 1625},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::filesystem::remove_all(mSandbox.Path(kDay));
        mTick = 0;
        int opened = -1;
        int closed = -1;
        while (mTick < r.ticks) {
            const uint8_t before = GetMP4RecordState();
            Tick(r.alarm);
            opened = opened < 0 && before == 0 && GetMP4RecordState() == 1 ? mTick - 1 : opened;
            closed = closed < 0 && before == 1 && GetMP4RecordState() == 0 ? mTick - 1 : closed;
        }
        EXPECT_EQ(0, opened);
        EXPECT_EQ(0, GetMP4RecordState()) << "nothing opened after the file closed";
        ASSERT_EQ(std::vector<std::string>{r.name}, Names(kDay));
        EXPECT_EQ(r.samples, SamplesOf(std::string(kDay) + "/" + r.name)) << "closed at tick " << closed;
        EXPECT_EQ(kCountdownStopped, gDeviceState.RecordHoldTimer.load());
    }
    // The next alarm opens the next file.
    ASSERT_EQ(0, mTick % kPassTicks);
    Tick([](int) { return true; });
    EXPECT_EQ(1, GetMP4RecordState());
}

// Continuous recording with door 1 watched and no alarm at all: files of 65 s, the next opened in
// the first pass after the timer task closed one.
TEST_F(DetectTest, ContinuousRecordingChainsFilesWhateverTheDoor)
{
    IPC_APP_set_sd_record_mode(1);
    gCurrentDoor = 1;
    while (mTick < 6600) {
        Tick([](int) { return false; });
    }
    EXPECT_EQ(1, GetMP4RecordState());
    EXPECT_EQ((std::vector<std::string>{"100000_100105.mp4", "100105.mp4"}), Names(kDay));
    EXPECT_EQ(1625u, SamplesOf(std::string(kDay) + "/100000_100105.mp4"));
    EXPECT_EQ(0, TakeMotionPushFlag());
}

// One turn of the thread on the simulated chain: frame A, 120 ms, frame B, the pass, B and A given
// back, 60 ms. A frame that cannot be taken, or a pair of two sizes (the zone changed between
// them), makes no decision and no recording upkeep; a frame taken is always given back.
TEST_F(DetectTest, FramesTakenAndGivenBack)
{
    ASSERT_EQ(0, MI_SYS_Init());
    ASSERT_EQ(0, BuildDetectChain(1920, 1080));
    IPC_APP_set_sd_record_mode(1);  // the upkeep would open a file
    struct Row {
        const char* what;
        int failAfter;  // GetBuf calls that pass before one fails; -1 none
        bool zoneBetween;
        std::vector<uint32_t> waits;
        int putBacks;
        bool decided;
    };
    const Row rows[] = {
        {"both frames", -1, false, {120, 60}, 2, true},
        {"frame A missing", 0, false, {60}, 0, false},
        {"frame B missing", 1, false, {120, 60}, 1, false},
        {"zone changed between the frames", -1, true, {120, 60}, 2, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        MiSimPump(3);
        gWaits.clear();
        gMotionCalls = 0;
        gOnWait = [&r](uint32_t ms) {
            if (ms == kDetectFrameGapMs && r.zoneBetween) {
                ASSERT_EQ(0, MotionDetectSetZone(1, 10, 20, 50, 50));
            }
            MiSimPump(3);
        };
        if (r.failAfter >= 0) {
            MiSimFailCall("MI_SYS_ChnOutputPortGetBuf", MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_BUF_EMPTY), 1, r.failAfter);
        }
        const int puts = MiSimCallCount("MI_SYS_ChnOutputPortPutBuf");
        EXPECT_EQ(r.decided, DetectThreadStep());
        MiSimClearFailures();
        EXPECT_EQ(r.waits, gWaits);
        EXPECT_EQ(r.putBacks, MiSimCallCount("MI_SYS_ChnOutputPortPutBuf") - puts);
        EXPECT_EQ(r.decided ? 1 : 0, gMotionCalls);
        EXPECT_EQ(r.decided ? 1 : 0, GetMP4RecordState());
        MP4RecordStop();
        ASSERT_EQ(0, MotionDetectSetZone(0, 0, 0, 0, 0));
    }
}

// The zone through the settings store's link onto the detection scaler: the crop of the 640x360
// input and the output size, as the graph and the next detection frame show them. Off, the whole
// picture at 480x288 whatever the stored zone; a zone reaching past the picture is moved inside
// it; nothing is smaller than 32x32.
TEST_F(DetectTest, ZoneOnTheDetectionScaler)
{
    ASSERT_EQ(0, MI_SYS_Init());
    ASSERT_EQ(0, BuildDetectChain(1920, 1080));
    ASSERT_EQ(0, MotionDetectInit());
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, HumanDetectInit());
    testing::internal::GetCapturedStdout();
    struct Row {
        uint8_t on, x, y, w, h;
        const char* divp;
        MI_U16 outW, outH;
    };
    const Row rows[] = {
        {1, 10, 20, 50, 50, "crop 64,72 320x180 out 256x160", 256, 160},
        {0, 10, 20, 50, 50, "crop 0,0 640x360 out 480x288", 480, 288},
        {1, 0, 0, 100, 100, "crop 0,0 640x360 out 480x288", 480, 288},
        {1, 100, 0, 100, 100, "crop 0,0 640x360 out 480x288", 480, 288},
        {1, 90, 95, 20, 10, "crop 512,324 128x36 out 96x32", 96, 32},
        {1, 50, 50, 0, 0, "crop 320,180 32x32 out 32x32", 32, 32},
        {1, 255, 255, 255, 255, "crop 0,0 640x360 out 480x288", 480, 288},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.on) + " " + std::to_string(r.x) + "," + std::to_string(r.y) + "," +
                     std::to_string(r.w) + "," + std::to_string(r.h));
        EXPECT_EQ(0, gNoxaSettingsLinks.MotionDetectSetZone(r.on, r.x, r.y, r.w, r.h));
        EXPECT_NE(std::string::npos, MiSimDumpGraph().find(std::string("divp chn 0 max 640x360 ") + r.divp))
            << MiSimDumpGraph();
        // Both detectors take a pair of that size, and give every engine buffer back.
        MI_SYS_BufInfo_t a{};
        MI_SYS_BufInfo_t b{};
        MI_SYS_BUF_HANDLE ha = 0;
        MI_SYS_BUF_HANDLE hb = 0;
        ASSERT_EQ(0, CaptureDetectFrame(&a, &ha));
        ASSERT_EQ(0, CaptureDetectFrame(&b, &hb));
        EXPECT_EQ(r.outW, a.frame.width);
        EXPECT_EQ(r.outH, a.frame.height);
        const int blocks = MiSimMmaBlocks();
        EXPECT_GE(MotionDetectProc(&a, &b), 0);
        EXPECT_GE(HumanDetectProc(&a, &b), 0);
        EXPECT_EQ(blocks, MiSimMmaBlocks());
        MI_SYS_ChnOutputPortPutBuf(hb);
        MI_SYS_ChnOutputPortPutBuf(ha);
    }
    // From the phone: the zone's switch and its text.
    ASSERT_EQ(0, IPC_APP_set_alarm_zone_draw("{\"num\":1,\"region0\":{\"x\":10,\"y\":20,\"xlen\":50,\"ylen\":50}}"));
    IPC_APP_set_alarm_zone_onoff(1);
    EXPECT_NE(std::string::npos, MiSimDumpGraph().find("crop 64,72 320x180 out 256x160")) << MiSimDumpGraph();
    IPC_APP_set_alarm_zone_onoff(0);
    EXPECT_NE(std::string::npos, MiSimDumpGraph().find("crop 0,0 640x360 out 480x288")) << MiSimDumpGraph();
    HumanDetectDeInit();
    MotionDetectDeInit();
    // Without the scaler channel: each failure logged, the last one returned.
    MediaSystemDeInit();
    testing::internal::CaptureStdout();
    EXPECT_NE(0, MotionDetectSetZone(1, 10, 20, 50, 50));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("[MotionDetectSetZone] MI_DIVP_GetChnAttr Fail 0x")) << log;
    EXPECT_NE(std::string::npos, log.find("MI_DIVP_SetOutputPortAttr Fail 0x")) << log;
}

// The thread itself on the simulated camera with the real detectors: a stop during its first wait
// ends it before any detector is made; running, the visitor walking in raises the push flag; the
// media teardown stops it and every detector and engine buffer is given back.
TEST_F(DetectTest, ThreadRaisesTheFlagAndEndsWithTheMediaTeardown)
{
    ASSERT_EQ(0, MI_SYS_Init());
    ASSERT_EQ(0, BuildDetectChain(1920, 1080));
    gDetectOps = mSaved;
    ASSERT_EQ(0, StartDetectThread());
    EXPECT_EQ(1, GetDetectThreadRun());
    StopDetectThread();
    EXPECT_EQ(0, GetDetectThreadRun());
    EXPECT_EQ(0, MiSimCallCount("MI_IVE_Create"));

    // The waits move the camera on instead of the clock.
    gDetectOps.Sleep = [](uint32_t ms) { MiSimPump(static_cast<int>(std::max<uint32_t>(1, ms / 40))); };
    gDeviceState.SdRecordSetting = 0;
    SetMotionSensitivity(0);  // the scene's frame counter stays below it
    ASSERT_EQ(0, StartDetectThread());
    ASSERT_TRUE(Eventually([] { return MiSimCallCount("MI_SYS_ChnOutputPortPutBuf") >= 20; }, 60s));
    EXPECT_EQ(0, TakeMotionPushFlag()) << "the empty doorway raises nothing";
    MiSimSetVisitor(true);
    EXPECT_TRUE(Eventually([] { return gDoorPhoneLinks.TakeMotionFlag() == 1; }, 60s));
    testing::internal::CaptureStdout();
    MediaSystemDeInit();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, GetDetectThreadRun());
    EXPECT_EQ(2, MiSimCallCount("MI_IVE_Create"));
    EXPECT_EQ(2, MiSimCallCount("MI_IVE_Destroy"));
    EXPECT_EQ(0, MiSimMmaBlocks());
}

// The media teardown stops the recording before it stops the thread: a continuous file that the
// pass under way opens in between is closed too, and nothing stays open.
TEST_F(DetectTest, TeardownClosesAFileTheLastPassOpened)
{
    ASSERT_EQ(0, MI_SYS_Init());
    ASSERT_EQ(0, BuildDetectChain(1920, 1080));
    IPC_APP_set_sd_record_mode(1);
    gDetectOps.Sleep = [](uint32_t ms) { MiSimPump(static_cast<int>(std::max<uint32_t>(1, ms / 40))); };
    // Once asked to, the pass measures until the thread is told to stop.
    static std::atomic<bool> hold{false};
    static std::atomic<bool> held{false};
    gDetectOps.Motion = [](const MI_SYS_BufInfo_t*, const MI_SYS_BufInfo_t*) {
        held = hold.load();
        while (hold && GetDetectThreadRun() != 0) {
            std::this_thread::sleep_for(1ms);
        }
        return 0;
    };
    ASSERT_EQ(0, StartDetectThread());
    ASSERT_TRUE(Eventually([] { return GetMP4RecordState() == 1; }, 60s));
    hold = true;
    ASSERT_TRUE(Eventually([] { return held.load(); }, 60s));
    testing::internal::CaptureStdout();
    MediaSystemDeInit();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, GetMP4RecordState());
    auto count = [&log](const std::string& what) {
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(1u, count("[MP4RecordStart] 0 0")) << log;
    EXPECT_EQ(2u, count("no sample, removed")) << log;
}
