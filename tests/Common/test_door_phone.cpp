// Door-phone control: orders fed to the order handling as the bus thread hands them on, the
// state's countdowns, the doorbell push and the timer task's actions, driven tick by tick.
#include "door_phone_util.h"

#include "ConfigFileParse.h"
#include "DoorPhoneLinks.h"
#include "platform/board.h"

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr uint8_t kHandset = 2;
constexpr uint8_t kStation = 1;

class DoorPhone : public DoorPhoneTest {
protected:
    // A call of door `door` as a station sends it (source 1, target 0).
    static void Call(uint8_t door) { Feed(TalkFrameFor(ComOrder_DeviceTriger, door, 0, kStation)); }
    static void Order(uint8_t order, uint8_t source, uint8_t value1 = 0)
    {
        Feed(TalkFrameFor(order, value1, 0, source));
    }
    // Waits until the file is gone (a thread of the unit removes it).
    bool Gone(const std::string& unitPath)
    {
        for (int i = 0; i < 500 && mSb.Exists(unitPath); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return !mSb.Exists(unitPath);
    }
};

}  // namespace

TEST_F(DoorPhone, CallFromDoorTwoStartsTheCallAndThePush)
{
    int pulses = 0;
    gDuringSleep = [&](uint32_t ms) {
        if (ms == kOutputPulseMs && Gpio(kGpioRing) == '1') {
            ++pulses;
        }
    };
    Call(1);  // "Door 2"
    PushWaitIdle();
    // The call state names the door that was current before the order (door 0 on a fresh unit).
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    EXPECT_EQ(1, gCurrentDoor);
    EXPECT_EQ(1, gDeviceState.ViewingMark);
    EXPECT_EQ(0, gTriggerType);
    EXPECT_EQ(1, pulses);
    EXPECT_EQ(kCallRingGuardTicks, gDeviceState.RingPulseGuardTimer);
    EXPECT_EQ(kCallTimeoutBaseTicks, gDeviceState.CallTimeoutTimer);
    // The push: door 1 waits a second for its picture, then a second to settle.
    EXPECT_EQ((std::vector<uint32_t>{kOutputPulseMs, 1000, 1000}), gSleeps);
    EXPECT_EQ(0, gAppState.PushReady);
    EXPECT_EQ(kPushDelayShort, gAppState.PushDelay);
    EXPECT_EQ(kPushDelayShort, gDeviceState.PushDelayTimer);
    EXPECT_EQ(kPushWaitTicks, gPushWaitTimer);
    EXPECT_EQ(kPushGuardTicks, gDeviceState.PushGuardTimer);
    EXPECT_TRUE(Posted().empty()) << "a bus call sends nothing back";

    // The push delay runs out: SendImageThread takes the snapshot and removes it.
    mSb.Write(kSnapshotFile, "JPEG picture");
    gDuringSleep = nullptr;
    gBoardIoSleep = NoSleep;  // the image thread waits on its own thread
    Ticks(kPushDelayShort - 1);
    EXPECT_EQ(0, gAppState.PushReady);
    Ticks(1);
    EXPECT_EQ(1, gAppState.PushReady);
    EXPECT_TRUE(Gone(kSnapshotFile)) << "SendImageThread did not run";

    // The same door again while its call runs: no new push, the state takes the door now current.
    Ticks(kPushWaitTicks);
    gAppState.PushReady = 0;
    Call(1);
    EXPECT_EQ(0x0102, gDeviceState.SystemMainState);
    EXPECT_EQ(kCountdownStopped, gDeviceState.PushDelayTimer);
}

// A bus call routes the calling door's picture before the push's waits, with the board path only
// (the station already shows it: no talk order 6), so the snapshot is of that door.
TEST_F(DoorPhone, BusCallShowsTheCallingDoorsPicture)
{
    for (uint8_t door : {0, 1, 0}) {
        SCOPED_TRACE(door);
        gDeviceState.SystemMainState = 0;
        gPushWaitTimer = kCountdownStopped;
        gAppState.PushReady = 1;
        std::vector<uint32_t> videoDuringWaits;
        gDuringSleep = [&](uint32_t ms) {
            if (ms != kOutputPulseMs) {  // the push's waits, not the ring output's pulse
                videoDuringWaits.push_back(Hc595Image() & kHc595VideoDoor0);
            }
        };
        Call(door);
        PushWaitIdle();
        const uint32_t video = door == 0 ? kHc595VideoDoor0 : 0;
        EXPECT_EQ(video, Hc595Image() & kHc595VideoDoor0);
        EXPECT_EQ(door == 0 ? kHc595Monitor0 : kHc595Monitor1, Hc595Image() & (kHc595Monitor0 | kHc595Monitor1));
        ASSERT_FALSE(videoDuringWaits.empty());
        for (uint32_t v : videoDuringWaits) {
            EXPECT_EQ(video, v) << "the push waited on the other door's picture";
        }
        EXPECT_EQ(10, gDeviceState.CaptureWaitTimer) << "the snapshot is armed after the switch";
        EXPECT_TRUE(Posted().empty()) << "nothing on the bus";
        gDeviceState.CaptureWaitTimer = kCountdownStopped;
    }
}

TEST_F(DoorPhone, CallOrderEdges)
{
    Call(2);  // no such door
    EXPECT_EQ(1, gTriggerType);
    EXPECT_EQ(0, gDeviceState.SystemMainState);
    EXPECT_TRUE(gSleeps.empty());

    gDeviceState.SystemMainState = 0x0302;  // talking: only the door changes
    Call(0);
    EXPECT_EQ(0x0302, gDeviceState.SystemMainState);
    EXPECT_EQ(0, gCurrentDoor);
    EXPECT_EQ(kCountdownStopped, gDeviceState.PushGuardTimer);

    // Floor model: door 0 calls through its coding orders, so its talk order starts no push.
    gDeviceState.SystemMainState = 0;
    gAppState.FloorModel = 1;
    Call(0);
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    EXPECT_EQ(1, gTriggerType);
    EXPECT_EQ(1, gAppState.PushReady);
    EXPECT_EQ(kFloorSessionTicks, gDeviceState.FloorSessionTimer);
}

// The push waits on its worker: a handset's take-up 100 ms into them is answered at once by the
// bus thread, and the push takes no snapshot and arms no delay.
TEST_F(DoorPhone, TakeUpWhileThePushWaitsIsAnsweredAndCancelsIt)
{
    std::atomic<bool> parked{false}, release{false};
    gDuringSleep = [&](uint32_t ms) {
        if (ms == 1000 && !parked.exchange(true)) {
            while (!release) {
                std::this_thread::sleep_for(1ms);
            }
        }
    };
    Call(1);
    for (int i = 0; i < 5000 && !parked; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(parked) << "the push did not wait on its worker";
    Order(ComOrder_TakeUp, kHandset);  // the bus thread is free: the order is handled now
    EXPECT_EQ(kHandset, gDeviceState.TakeUpRoom);
    EXPECT_EQ(kTakeUpTimeoutTicks, gDeviceState.CallTimeoutTimer);
    release = true;
    PushWaitIdle();
    EXPECT_EQ(std::vector<uint32_t>{1000}, std::vector<uint32_t>(gSleeps.begin() + 1, gSleeps.end()))
        << "no settle wait after the cancel";
    EXPECT_EQ(kCountdownStopped, gDeviceState.CaptureWaitTimer) << "no snapshot";
    EXPECT_EQ(kCountdownStopped, gDeviceState.PushDelayTimer);
    EXPECT_EQ(kCountdownStopped, gPushWaitTimer);
    Ticks(kTakeUpTimeoutTicks);
    EXPECT_EQ(0, gDeviceState.SystemMainState);
    EXPECT_EQ(1, gAppState.PushReady) << "the next call pushes again";

    // Without a take-up the next call's push goes out as before.
    gDuringSleep = nullptr;
    Call(1);
    PushWaitIdle();
    EXPECT_EQ(kPushDelayShort, gDeviceState.PushDelayTimer);
    EXPECT_EQ(10, gDeviceState.CaptureWaitTimer);
}

TEST_F(DoorPhone, TakeUpDuringThePushCancelsItAndShortensTheCall)
{
    Call(1);
    PushWaitIdle();
    ASSERT_EQ(kPushDelayShort, gDeviceState.PushDelayTimer);
    mSb.Write(kSnapshotFile, "JPEG picture");
    Order(ComOrder_TakeUp, kHandset);
    EXPECT_EQ(kCountdownStopped, gDeviceState.PushDelayTimer);
    EXPECT_EQ(kTakeUpTimeoutTicks, gDeviceState.CallTimeoutTimer);
    EXPECT_EQ(kHandset, gDeviceState.TakeUpRoom);

    Ticks(kTakeUpTimeoutTicks - 1);
    EXPECT_EQ(0, gAppState.PushReady) << "the push delay ran: SendImageThread started";
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    Ticks(1);
    EXPECT_EQ(0, gDeviceState.SystemMainState) << "the answered call ends after 2 s";
    EXPECT_EQ(1, gAppState.PushReady);
    EXPECT_TRUE(mSb.Exists(kSnapshotFile));
}

TEST_F(DoorPhone, TakeUpWithViewersAsksTheDoorToShow)
{
    PtyPeer bus(mSb);
    ASSERT_EQ(0, InitTalkSerial());
    gCurrentDoor = 1;
    gDeviceState.ViewerCount = 1;
    gAppState.UnlockEndsSession = 1;
    gDeviceState.CallTimeoutTimer = 5000;
    Order(ComOrder_TakeUp, kHandset);
    EXPECT_EQ(255, gDeviceState.TakeUpRoom);
    EXPECT_EQ(5000, gDeviceState.CallTimeoutTimer) << "an unlock ends this session, not the time-out";
    ByteVec sent = bus.Read(12);
    EXPECT_EQ("02 16 11 10 10 10 10 10 10 15 9C 03", ToHex(sent.data(), sent.size())) << "talk order 6, door 1";
}

TEST_F(DoorPhone, UnlockFromTheRoomThatTookTheCall)
{
    gCurrentDoor = 1;
    gDeviceState.TakeUpRoom = kHandset;
    Order(ComOrder_UnLock, 3);  // another room
    EXPECT_EQ(kCountdownStopped, gDeviceState.UnlockSessionTimer);
    EXPECT_EQ(0, Hc595Image() & (kHc595Lock0 | kHc595Lock1));
    EXPECT_TRUE(Posted().empty());

    Order(ComOrder_UnLock, kHandset);
    EXPECT_EQ(kUnlockSessionTicks, gDeviceState.UnlockSessionTimer);
    EXPECT_EQ(kHc595Lock1, Hc595Image() & (kHc595Lock0 | kHc595Lock1)) << "door 1's lock pulses";
    EXPECT_EQ(1, gAppState.UnlockedDoor);
    EXPECT_EQ((std::vector<Order4>{{ComOrder_UnLock, 1, 0, 0}}), Posted());

    Order(ComOrder_UnLockFeedback, kStation, 7);  // the station holds the lock 7 s
    EXPECT_EQ(700, gDeviceState.UnlockSessionTimer);

    Ticks(kUnlockHoldTicks);
    EXPECT_EQ(0, Hc595Image() & kHc595Lock1) << "the hold is over";
    EXPECT_EQ(0, gDeviceState.SystemMainState) << "no session end was asked for";
    Ticks(700 - kUnlockHoldTicks);
    EXPECT_EQ(kCountdownStopped, gDeviceState.UnlockSessionTimer);
    EXPECT_TRUE(Posted().empty());
}

TEST_F(DoorPhone, UnlockSessionEndsTheCallAndWatchesDoorZero)
{
    gCurrentDoor = 1;
    gDeviceState.SystemMainState = 0x0102;
    gDeviceState.TakeUpRoom = kHandset;
    gDeviceState.ViewerCount = 2;
    gDeviceState.ViewingTimer = 50;
    gAppState.UnlockEndsSession = 1;
    MonitorPower(1, 1);
    Order(ComOrder_UnLock, kHandset);
    Posted();
    Ticks(kUnlockSessionTicks);
    EXPECT_EQ(0u, gAppState.UnlockEndsSession);
    EXPECT_EQ(0x0201, gDeviceState.SystemMainState) << "back to watching door 0";
    EXPECT_EQ(0, gCurrentDoor);
    EXPECT_EQ(0, gDeviceState.ViewerCount);
    EXPECT_EQ(kCountdownStopped, gDeviceState.ViewingTimer);
    EXPECT_EQ(kMonitorTimeoutTicks, gDeviceState.CallTimeoutTimer);
    EXPECT_EQ(kHc595Monitor0 | kHc595VideoDoor0, Hc595Image());
    EXPECT_EQ((std::vector<Order4>{{ComOrder_TakeOff, 0, 0, 0}, {ComOrder_MonitorOn, 0, 0, 0}}), Posted());

    // The same end by the take-off of that room, once no unlock session runs.
    gDeviceState.SystemMainState = 0x0102;
    gCurrentDoor = 1;
    gDeviceState.TakeUpRoom = kHandset;
    gAppState.UnlockEndsSession = 1;
    Order(ComOrder_TakeOff, kHandset);
    EXPECT_EQ(255, gDeviceState.TakeUpRoom);
    EXPECT_EQ(0x0201, gDeviceState.SystemMainState);
}

TEST_F(DoorPhone, TakeOffOfAnotherRoomChangesNothing)
{
    gDeviceState.SystemMainState = 0x0101;
    gDeviceState.TakeUpRoom = kHandset;
    gAppState.UnlockEndsSession = 1;
    Order(ComOrder_TakeOff, 3);
    EXPECT_EQ(kHandset, gDeviceState.TakeUpRoom);
    Order(ComOrder_TakeOff, kStation);
    EXPECT_EQ(kHandset, gDeviceState.TakeUpRoom);
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    // While an unlock session runs, the room's take-off leaves the end to it.
    gDeviceState.UnlockSessionTimer = 100;
    Order(ComOrder_TakeOff, kHandset);
    EXPECT_EQ(255, gDeviceState.TakeUpRoom);
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    EXPECT_EQ(1u, gAppState.UnlockEndsSession);
}

TEST_F(DoorPhone, UnansweredCallTimesOutToIdle)
{
    Call(0);
    PushWaitIdle();
    gDeviceState.PushDelayTimer = kCountdownStopped;  // the push is not this test's
    MonitorPower(0, 1);
    const uint16_t timeout = gDeviceState.CallTimeoutTimer;
    ASSERT_EQ(kCallTimeoutBaseTicks, timeout);
    Ticks(timeout - 1);
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    EXPECT_EQ(0, gAppState.PushReady);
    Ticks(1);
    EXPECT_EQ(0, gDeviceState.SystemMainState);
    EXPECT_EQ(1, gAppState.PushReady);
    EXPECT_EQ(0, gDeviceState.ViewingMark);
    EXPECT_EQ(kHc595VideoDoor0, Hc595Image()) << "door 0's monitor path is off";
    // Detection may run outside floor model: the motion alarm comes back after 35 s (the
    // countdown, after the time-out's in the tick, has run once already).
    EXPECT_EQ(kMotionResumeLongTicks - 1, gDeviceState.MotionResumeTimer);
    Ticks(1);
    EXPECT_EQ(kCountdownStopped, gDeviceState.CallTimeoutTimer) << "fired twice";
}

TEST_F(DoorPhone, CallTimeOutVariants)
{
    struct {
        int32_t viewers;
        uint8_t floor;
        uint32_t atOnce;
        uint32_t pushDelay;
        uint16_t motionResume;
        uint8_t viewingMark;
    } rows[] = {
        // The motion resume runs after the time-out in the same tick: one tick less.
        {0, 0, 0, 3000, kMotionResumeShortTicks - 1, 0},
        {0, 0, 1, 100, kCountdownStopped, 0},  // resumes at once (the flag is used up)
        {0, 1, 0, 100, kCountdownStopped, 0},  // floor model: no motion watching
        {1, 0, 0, 100, kCountdownStopped, 1},  // a viewer keeps the door and its mark
    };
    for (const auto& r : rows) {
        TimeTaskInit();
        gDeviceState.ViewerCount = r.viewers;
        gAppState.FloorModel = r.floor;
        gAppState.MotionResumeAtOnce = r.atOnce;
        gAppState.PushDelay = r.pushDelay;
        gDeviceState.ViewingMark = 1;
        gAppState.PushReady = 0;
        gDeviceState.SystemMainState = 0x0201;
        gDeviceState.CallTimeoutTimer = 1;
        Ticks(1);
        EXPECT_EQ(0, gDeviceState.SystemMainState);
        EXPECT_EQ(r.motionResume, gDeviceState.MotionResumeTimer) << r.viewers << r.floor << r.atOnce;
        EXPECT_EQ(r.viewingMark, gDeviceState.ViewingMark);
        EXPECT_EQ(0u, gAppState.MotionResumeAtOnce);
        EXPECT_EQ(1, gAppState.PushReady);
    }
}

TEST_F(DoorPhone, StateSetsItsCountdowns)
{
    constexpr uint16_t R = 77, S = kCountdownStopped;
    struct {
        uint16_t state;
        uint8_t floor;
        uint16_t callTimeout, motionResume, pushWait, floorSession;
    } rows[] = {
        {0x0101, 0, kCallTimeoutBaseTicks + 40, S, R, S},
        {0x0102, 1, kCallTimeoutBaseTicks + 40, S, R, kFloorSessionTicks},
        {0x0000, 0, S, R, S, S},
        {0x0000, 1, S, R, S, S},
        {0x0500, 1, S, R, S, kFloorSessionTicks},
        {0x0201, 1, kMonitorTimeoutTicks, S, S, S},
        {0x0302, 0, kMonitorTimeoutTicks, S, S, S},
        {0x0302, 1, kMonitorTimeoutTicks, S, S, kFloorSessionTicks},
    };
    gAppState.PushDelay = 40;
    for (const auto& r : rows) {
        DEVICE_STATE_S& s = gDeviceState;
        s.CallTimeoutTimer = R;
        s.MotionResumeTimer = R;
        gPushWaitTimer = R;
        s.FloorSessionTimer = R;
        gAppState.FloorModel = r.floor;
        SetSystemMainState(r.state);
        EXPECT_EQ(r.state, s.SystemMainState);
        EXPECT_EQ(r.callTimeout, s.CallTimeoutTimer) << std::hex << r.state;
        EXPECT_EQ(r.motionResume, s.MotionResumeTimer) << std::hex << r.state;
        EXPECT_EQ(r.pushWait, gPushWaitTimer) << std::hex << r.state;
        EXPECT_EQ(r.floorSession, s.FloorSessionTimer) << std::hex << r.state;
    }
    EXPECT_EQ(SYS_STATE_TALK, GetSystemMainState());
    EXPECT_EQ(2, GetSystemSubState());
}

TEST_F(DoorPhone, PushDelayRuleAndTheSecondPush)
{
    struct {
        uint32_t setting;
        uint32_t used;
    } rows[] = {{0, 15}, {99, 15}, {100, 100}, {1500, 1500}, {6000, 6000}};
    for (const auto& r : rows) {
        gPushWaitTimer = kCountdownStopped;
        gAppState.PushDelay = r.setting;
        PushMsgTrigger();
        PushWaitIdle();
        EXPECT_EQ(r.used, gAppState.PushDelay) << r.setting;
        EXPECT_EQ(r.used, gDeviceState.PushDelayTimer) << r.setting;
    }
    // Door 0 outside floor model has its picture at once: one settle wait only.
    gSleeps.clear();
    gPushWaitTimer = kCountdownStopped;
    PushMsgTrigger();
    PushWaitIdle();
    EXPECT_EQ((std::vector<uint32_t>{1000}), gSleeps);
    // Door 0 on a floor-model bus waits 5 s.
    gSleeps.clear();
    gPushWaitTimer = kCountdownStopped;
    gAppState.FloorModel = 1;
    PushMsgTrigger();
    PushWaitIdle();
    EXPECT_EQ((std::vector<uint32_t>{5000, 1000}), gSleeps);

    // A second push while the first was armed less than 2 s ago only re-arms the guard.
    gSleeps.clear();
    gDeviceState.PushGuardTimer = kCountdownStopped;
    gDeviceState.PushDelayTimer = 321;
    gAppState.PushReady = 1;
    gPushWaitTimer = 150;
    PushMsgTrigger();
    EXPECT_EQ(kPushGuardTicks, gDeviceState.PushGuardTimer);
    EXPECT_EQ(321, gDeviceState.PushDelayTimer);
    EXPECT_EQ(1, gAppState.PushReady);
    EXPECT_TRUE(gSleeps.empty());
}

TEST_F(DoorPhone, SendImageReadsTheSnapshotOrTheLogo)
{
    mSb.Write(kSnapshotFile, std::string(5000, 'j'));
    EXPECT_EQ(5000, SendDoorbellImage());
    EXPECT_EQ((std::vector<uint32_t>{300}), gSleeps) << "found at the first try";
    EXPECT_FALSE(mSb.Exists(kSnapshotFile));

    // No snapshot: eleven waits, then the logo (which stays).
    gSleeps.clear();
    mSb.Write(kLogoFile, "logo");
    EXPECT_EQ(4, SendDoorbellImage());
    EXPECT_EQ(std::vector<uint32_t>(11, 300), gSleeps);
    EXPECT_TRUE(mSb.Exists(kLogoFile));

    // Neither: no push.
    ASSERT_EQ(0, unlink(mSb.Path(kLogoFile).c_str()));
    EXPECT_EQ(-1, SendDoorbellImage());

    // The snapshot appears while the thread waits.
    gSleeps.clear();
    gDuringSleep = [this](uint32_t) {
        if (gSleeps.size() == 4) {
            mSb.Write(kSnapshotFile, "late");
        }
    };
    EXPECT_EQ(4, SendDoorbellImage());
    EXPECT_EQ(4u, gSleeps.size());
}

TEST_F(DoorPhone, SnapshotOverOneMebibyteGoesWithoutPicture)
{
    mSb.Write(kSnapshotFile, std::string(kSnapshotMaxBytes, 'j'));
    EXPECT_EQ(kSnapshotMaxBytes, SendDoorbellImage()) << "exactly 1 MiB is sent whole";
    mSb.Write(kSnapshotFile, std::string(kSnapshotMaxBytes + 1, 'j'));
    EXPECT_EQ(0, SendDoorbellImage()) << "never a cut picture";
    EXPECT_FALSE(mSb.Exists(kSnapshotFile));
}

TEST_F(DoorPhone, TargetAndOrderFilter)
{
    struct {
        uint8_t target;
        bool handled;
    } rows[] = {{0, true}, {5, true}, {3, false}, {1, false}, {15, false}};
    for (const auto& r : rows) {
        gDeviceState.SystemMainState = 0;
        gDeviceState.PushGuardTimer = kCountdownStopped;
        gPushWaitTimer = 100;  // no push waits in this test
        Feed(TalkFrameFor(ComOrder_DeviceTriger, 0, r.target, kStation));
        EXPECT_EQ(r.handled ? 0x0101 : 0, gDeviceState.SystemMainState) << int(r.target);
    }
    // A talk order above 17 is none of the unit's.
    gDeviceState.SystemMainState = 0;
    gDeviceState.TakeUpRoom = 255;
    Feed(TalkFrameFor(ComOrder_TakeUp + 16, 0, 0, kHandset));
    EXPECT_EQ(255, gDeviceState.TakeUpRoom);
}

TEST_F(DoorPhone, FloorModelHearsOnlyItsRoom)
{
    gAppState.FloorModel = 1;
    gDeviceState.CodingAddress = 21234;  // room 1234
    struct {
        int room;
        uint8_t target;
        bool handled;
    } rows[] = {
        {1234, 0, true}, {1234, 5, true}, {1234, 3, false},
        {1235, 0, false}, {1244, 0, false}, {1334, 0, false}, {2234, 0, false}, {234, 0, false},
    };
    for (const auto& r : rows) {
        gDeviceState.TakeUpRoom = 255;
        Feed(TalkFrameFor(ComOrder_TakeUp, 0, r.target, kHandset, r.room));
        EXPECT_EQ(r.handled ? kHandset : 255, gDeviceState.TakeUpRoom) << r.room << " target " << int(r.target);
    }
    // A frame without room digits (as outside floor model) is another room's too.
    gDeviceState.TakeUpRoom = 255;
    Order(ComOrder_TakeUp, kHandset);
    EXPECT_EQ(255, gDeviceState.TakeUpRoom);
}

TEST_F(DoorPhone, CodingConfigurationAndAssignment)
{
    PtyPeer bus(mSb);
    ASSERT_EQ(0, InitTalkSerial());
    gDeviceState.CodingAddress = 1234;
    gDeviceState.DoorAddress = 55;

    // value1 0 outside floor model: nothing.
    Feed(CodingFrameFor(ComOrder_CodingConfig, 0 + 240 * 3, 0));
    EXPECT_EQ(0, gAppState.FloorModel);
    EXPECT_EQ(1234u, gDeviceState.CodingAddress);
    EXPECT_EQ(55u, gDeviceState.DoorAddress);

    // value1 2, value2 3: floor model, building 3 of door group 2.
    Feed(CodingFrameFor(ComOrder_CodingConfig, 2 + 240 * 3, 0));
    EXPECT_EQ(1, gAppState.FloorModel);
    EXPECT_EQ(31234u, gDeviceState.CodingAddress);
    EXPECT_EQ(20030001u, gDeviceState.DoorAddress);

    // An assignment only in the key's coding window.
    Feed(CodingFrameFor(ComOrder_CodingAssign, 0, 35678));
    EXPECT_EQ(31234u, gDeviceState.CodingAddress);
    EXPECT_FALSE(mSb.Exists(kRoomInfoFile));
    gAppState.CodingEnable = 1;
    gDeviceState.KeyWindowTimer = 600;
    gDeviceState.LedPattern = 6;
    Feed(CodingFrameFor(ComOrder_CodingAssign, 0, 35678));
    EXPECT_EQ("35678", mSb.Read(kRoomInfoFile));
    EXPECT_EQ(35678u, gDeviceState.CodingAddress);
    EXPECT_EQ(kCountdownStopped, gDeviceState.KeyWindowTimer);
    EXPECT_EQ(0u, gAppState.CodingEnable);
    EXPECT_EQ(0u, gDeviceState.LedPattern);
    ByteVec sent = bus.Read(12);
    ComBody body = ComCodingOrderBody(ComOrder_CodingAddress, 0, 35678);
    ASSERT_EQ(12u, sent.size());
    EXPECT_EQ(ToHex(body.data(), body.size()), ToHex(sent.data() + 1, 10)) << "coding order 46 with the new room";
}

TEST_F(DoorPhone, CodingOrdersForTheUnitsRoom)
{
    PtyPeer bus(mSb);
    ASSERT_EQ(0, InitTalkSerial());
    gAppState.FloorModel = 1;
    gDeviceState.CodingAddress = 10203;
    const uint32_t station = 10010001;

    // Busy: another room talks.
    gDeviceState.ViewingTimer = 30;
    Feed(CodingFrameFor(ComOrder_CodingBusy, 10204, 0));
    EXPECT_EQ(0, gDeviceState.SystemMainState) << "another room's";
    Feed(CodingFrameFor(ComOrder_CodingBusy, 10203, 0));
    EXPECT_EQ(SYS_STATE_CODING_BUSY, gDeviceState.SystemMainState);
    EXPECT_EQ(kCountdownStopped, gDeviceState.ViewingTimer);

    // Ring from a door station (address 10000001 and above) to this room.
    gCurrentDoor = 1;
    Feed(CodingFrameFor(ComOrder_CodingRing, 10203, 9999999));
    EXPECT_EQ(SYS_STATE_CODING_BUSY, gDeviceState.SystemMainState) << "not a door station";
    Feed(CodingFrameFor(ComOrder_CodingRing, 10203, station));
    EXPECT_EQ(0x0102, gDeviceState.SystemMainState);
    EXPECT_EQ(kCodingRingGuardTicks, gDeviceState.RingPulseGuardTimer);
    EXPECT_EQ(1, gDeviceState.ViewingMark);

    // Take-off by the station while the call rings.
    Feed(CodingFrameFor(ComOrder_CodingTakeOff, station, 10204));
    EXPECT_EQ(0x0102, gDeviceState.SystemMainState) << "another room's";
    Feed(CodingFrameFor(ComOrder_CodingTakeOff, station, 10203));
    EXPECT_EQ(0, gDeviceState.SystemMainState);
    EXPECT_EQ((std::vector<Order4>{{ComOrder_TakeOff, 0, 0, 0}}), Posted());

    // While the unit's user talks, any room's ring is answered 2 s later from the timer task.
    gDeviceState.TalkFlag = 1;
    gDeviceState.DoorAddress = station;
    Feed(CodingFrameFor(ComOrder_CodingRing, 10555, station));
    EXPECT_EQ(kCodingReplyTicks, gDeviceState.CodingReplyTimer);
    Ticks(kCodingReplyTicks);
    ByteVec sent = bus.Read(24);
    ASSERT_EQ(24u, sent.size());
    ComBody coding = ComCodingOrderBody(ComOrder_CodingAnswer, station, 10203);
    ComBody talk = ComTalkOrderBody(ComOrder_TakeUp, 0, 1, 0, true, 10203);
    EXPECT_EQ(ToHex(coding.data(), 10), ToHex(sent.data() + 1, 10));
    EXPECT_EQ(ToHex(talk.data(), 10), ToHex(sent.data() + 13, 10));

    // A coding call from the station to this room starts the push.
    gAppState.PushReady = 1;
    Feed(CodingFrameFor(ComOrder_CodingCall, 10203, station));
    PushWaitIdle();
    EXPECT_EQ(station, gDeviceState.DoorAddress);
    EXPECT_EQ(0, gAppState.PushReady);
    EXPECT_EQ(kPushWaitTicks, gPushWaitTimer);
}

TEST_F(DoorPhone, StateQueryIsAnsweredWithTheState)
{
    PtyPeer bus(mSb);
    ASSERT_EQ(0, InitTalkSerial());
    gDeviceState.SystemMainState = 0x0302;
    gCurrentDoor = 1;
    Order(ComOrder_StateQuery, kHandset);
    Order(ComOrder_StateQuery2, 3);
    ByteVec sent = bus.Read(24);
    ASSERT_EQ(24u, sent.size());
    ComBody a = ComDeviceStateBody(0x0502, kHandset, false, 0);
    ComBody b = ComDeviceStateBody(0x0502, 3, false, 0);
    EXPECT_EQ(ToHex(a.data(), 10), ToHex(sent.data() + 1, 10));
    EXPECT_EQ(ToHex(b.data(), 10), ToHex(sent.data() + 13, 10));
}

TEST_F(DoorPhone, FloorSessionEnds)
{
    gAppState.FloorModel = 1;
    gDeviceState.TalkFlag = 1;
    gDeviceState.TakeUpRoom = 5;
    gDeviceState.ViewerCount = 1;
    gDeviceState.ViewingMark = 1;
    gCurrentDoor = 1;
    gAppState.PushReady = 0;
    SetSystemMainState(0x0302);
    MonitorPower(1, 1);
    ASSERT_EQ(kFloorSessionTicks, gDeviceState.FloorSessionTimer);
    gDeviceState.FloorSessionTimer = 1;
    Ticks(1);
    EXPECT_EQ(0, gDeviceState.SystemMainState);
    EXPECT_EQ(0, gDeviceState.TalkFlag);
    EXPECT_EQ(255, gDeviceState.TakeUpRoom);
    EXPECT_EQ(0, gDeviceState.ViewerCount);
    EXPECT_EQ(0, gCurrentDoor);
    EXPECT_EQ(0, gDeviceState.ViewingMark);
    EXPECT_EQ(1, gAppState.PushReady);
    EXPECT_EQ(0, Hc595Image() & kHc595Monitor1);
    EXPECT_EQ((std::vector<Order4>{{ComOrder_CodingTakeOff, 0, 0, 1}, {ComOrder_TakeOff, 0, 0, 0}}), Posted());
}

TEST_F(DoorPhone, MonitorUnlockAndGateHelpers)
{
    // Monitor off while the unit's user talks on a floor-model bus hangs the coding call up first.
    gDeviceState.TalkFlag = 1;
    DoorMonitorControl(1, 1);
    DoorMonitorControl(1, 0);
    EXPECT_EQ(0, gDeviceState.TalkFlag);
    EXPECT_EQ((std::vector<Order4>{{ComOrder_MonitorOn, 1, 0, 0}, {ComOrder_CodingTakeOff, 0, 0, 1},
                                   {ComOrder_TakeOff, 0, 0, 0}}),
              Posted());
    gDeviceState.TalkFlag = 1;
    gDeviceState.SystemMainState = SYS_STATE_CODING_BUSY;
    ComMonitorControl(0, 0);
    EXPECT_EQ((std::vector<Order4>{{ComOrder_TakeOff, 0, 0, 0}}), Posted()) << "no coding order while busy";

    struct {
        uint8_t floor;
        uint8_t current;
        uint16_t state;
        int32_t viewers;
        Order4 posted;
    } rows[] = {
        {0, 0, 0, 0, {ComOrder_UnLock, 0, 0, 0}},
        {0, 1, 0, 0, {ComOrder_UnLock, 1, 0, 0}},
        {1, 1, 0, 0, {ComOrder_UnLock, 1, 0, 0}},
        {1, 0, 0, 0, {ComOrder_CodingUnlock, 0, 0, 0}},
        {1, 0, 0x0301, 0, {ComOrder_CodingUnlock, 0, 0, 1}},
        {1, 0, 0, 1, {ComOrder_CodingUnlock, 0, 0, 1}},
    };
    for (const auto& r : rows) {
        gAppState.FloorModel = r.floor;
        gCurrentDoor = r.current;
        gDeviceState.SystemMainState = r.state;
        gDeviceState.ViewerCount = r.viewers;
        DoorUnlock(r.current);
        EXPECT_EQ((std::vector<Order4>{r.posted}), Posted()) << int(r.floor) << int(r.current);
    }

    gAppState.FloorModel = 0;
    gCurrentDoor = 1;
    int gatePulses = 0;
    gDuringSleep = [&](uint32_t) { gatePulses += Gpio(kGpioGate) == '1'; };
    GateOpen();
    EXPECT_EQ(1, gatePulses);
    EXPECT_EQ((std::vector<Order4>{{ComOrder_GateOpen, 1, 0, 0}}), Posted());
}

TEST_F(DoorPhone, MotionConditions)
{
    struct {
        uint8_t floor, alarm, sd;
        int alarmAllowed, recordAllowed, detectionAllowed;
    } rows[] = {
        {0, 0, 0, 0, 0, 1},
        {0, 1, 1, 1, 0, 1},  // recording needs a mounted card as well
        {1, 1, 1, 0, 0, 0},
    };
    for (const auto& r : rows) {
        gAppState.FloorModel = r.floor;
        gDeviceState.AlarmSetting = r.alarm;
        gDeviceState.SdRecordSetting = r.sd;
        EXPECT_EQ(r.alarmAllowed, MotionAlarmAllowed());
        EXPECT_EQ(r.recordAllowed, MotionRecordAllowed());
        EXPECT_EQ(r.detectionAllowed, DetectionAllowed());
    }
    // Without the settings store's links: a new unit's settings, each empty link logged as the
    // wiring fault it is.
    gDeviceState.AlarmSetting = 1;
    gDeviceState.WatermarkSetting = 0;
    testing::internal::CaptureStdout();
    LoadDoorSettings();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, gDeviceState.AlarmSetting);
    EXPECT_EQ(0, gDeviceState.SdRecordSetting);
    EXPECT_EQ(1u, gDeviceState.WatermarkSetting);
    for (const char* link : {"AlarmSetting", "SdRecordSetting", "WatermarkSetting"}) {
        const std::string line = std::string("wiring fault: link gDoorPhoneLinks.") + link + " is empty";
        EXPECT_NE(std::string::npos, out.find(line)) << line << "\n" << out;
    }
}

TEST_F(DoorPhone, BusThreadStartAnnouncesTheUnit)
{
    PtyPeer bus(mSb);
    ASSERT_EQ(0, InitTalkSerial());
    mSb.Write(kRoomInfoFile, "10000001");
    gAppState.FloorModel = 1;
    ASSERT_EQ(0, ProcessTalkDataInit());
    EXPECT_EQ(0, gAppState.FloorModel);
    EXPECT_EQ(10000001u, gDeviceState.CodingAddress);
    ByteVec sent = bus.Read(24);
    EXPECT_EQ("02 01 33 00 00 33 55 10 10 10 10 03 02 3E 10 10 10 10 10 10 10 10 BE 03",
              ToHex(sent.data(), sent.size()));
}

TEST_F(DoorPhone, SafeRebootRestartsTheBoard)
{
    EXPECT_EXIT(SafeReboot(), testing::ExitedWithCode(kBoardRebootExitStatus), "");
    EXPECT_TRUE(mSb.Exists("/.board/reboot"));
}

namespace {

std::vector<std::string> gLinkCalls;
void Called(const std::string& what)
{
    gLinkCalls.push_back(what);
}

}  // namespace

// The rooms above the door-phone control are reached through the named links, each at its
// event; an empty link is skipped and logged once as the wiring fault it is, naming it.
TEST_F(DoorPhone, LinksAreCalledAtTheirEvents)
{
    gDoorPhoneLinks = DOOR_PHONE_LINKS_S{
        [](uint8_t door, uint8_t idle) { Called("doorbell " + std::to_string(door) + " " + std::to_string(idle)); },
        [](uint8_t door, uint8_t open) { Called("lock " + std::to_string(door) + " " + std::to_string(open)); },
        [](const char* text) { Called(std::string("channels ") + text); },
        [](const uint8_t*, uint32_t len) { Called("notify " + std::to_string(len)); },
        [] { return uint8_t{1}; },
        [] { return uint8_t{0}; },
        [] { return uint32_t{0}; },
        [] { Called("record stop"); },
        [] { return uint8_t{1}; },
        [](uint8_t on) { Called("motion " + std::to_string(on)); },
        nullptr,
    };
    gBoardIoSleep = NoSleep;
    struct {
        const char* event;
        std::function<void()> run;
        std::vector<std::string> calls;
    } rows[] = {
        // The ring is reported first, ahead of the ring output's pulse and the push.
        {"call from door 1 while the motion alarm records",
         [] {
             Call(1);
             PushWaitIdle();
             gDeviceState.PushDelayTimer = kCountdownStopped;  // no SendImageThread in the later rows
         },
         {"doorbell 1 0", "record stop"}},
        {"ring reset", [] { RingReset(); }, {"doorbell 0 1", "doorbell 1 1"}},
        {"unlock by the room with the call",
         [] {
             gDeviceState.TakeUpRoom = kHandset;
             Order(ComOrder_UnLock, kHandset);
         },
         {"lock 1 1"}},
        // The lock's hold and the unlock session end in the same tick: each reports it closed.
        {"unlock session over", [] { Ticks(kUnlockSessionTicks); }, {"lock 1 0", "lock 1 0"}},
        {"motion resume", [] { gDeviceState.MotionResumeTimer = 1; Ticks(1); }, {"motion 1"}},
        {"record timer", [] { gDeviceState.RecordTimer = 1; Ticks(1); }, {"record stop"}},
        {"doorbell picture",
         [this] {
             mSb.Write(kSnapshotFile, "jpeg");
             SendDoorbellImage();
         },
         {"notify 4"}},
    };
    for (const auto& r : rows) {
        gLinkCalls.clear();
        r.run();
        EXPECT_EQ(r.calls, gLinkCalls) << r.event;
    }
    LoadDoorSettings();
    EXPECT_EQ(1, gDeviceState.AlarmSetting);
    EXPECT_EQ(0, gDeviceState.SdRecordSetting);
    EXPECT_EQ(0u, gDeviceState.WatermarkSetting);
    gDoorPhoneLinks = DOOR_PHONE_LINKS_S{};

    testing::internal::CaptureStdout();
    for (int i = 0; i < 2; ++i) {
        gDeviceState.RecordTimer = 1;
        Ticks(1);
        mSb.Write(kSnapshotFile, "jpeg");
        EXPECT_EQ(4, SendDoorbellImage());
    }
    const std::string out = testing::internal::GetCapturedStdout();
    for (const char* link : {"gDoorPhoneLinks.RecordStop", "gDoorPhoneLinks.NotifyDoorbell"}) {
        const std::string line = std::string("wiring fault: link ") + link + " is empty";
        const size_t first = out.find(line);
        EXPECT_NE(std::string::npos, first) << line << "\n" << out;
        EXPECT_EQ(std::string::npos, out.find(line, first + 1)) << "once: " << line;
    }
}

namespace {
std::atomic<int> gPulsesBeforeRing{-1};
std::atomic<int> gPulses{0};
}  // namespace

// The phone hears a bus call's ring at once: the ring report goes before the ring output's 200 ms
// pulse, which holds the bus thread.
TEST_F(DoorPhone, TheRingIsReportedBeforeTheRingOutputPulses)
{
    gPulses = 0;
    gPulsesBeforeRing = -1;
    gDuringSleep = [this](uint32_t ms) {
        if (ms == kOutputPulseMs && Gpio(kGpioRing) == '1') {
            ++gPulses;
        }
    };
    gDoorPhoneLinks.RespondDoorbell = [](uint8_t, uint8_t idle) {
        if (idle == 0) {
            gPulsesBeforeRing = gPulses.load();
        }
    };
    Call(0);
    PushWaitIdle();
    EXPECT_EQ(1, gPulses.load());
    EXPECT_EQ(0, gPulsesBeforeRing.load());
    gDoorPhoneLinks = DOOR_PHONE_LINKS_S{};
    gDuringSleep = nullptr;
}
