// The ring, key and LED threads, one pass or sample at a time.
#include "board_io_util.h"

#include "ConfigFileParse.h"
#include "DoorPhone.h"
#include "TalkSerial.h"
#include "talk_test_util.h"


namespace {

class RingKey : public BoardIoTest {
protected:
    // Orders the ring thread handed to the bus thread.
    static std::vector<std::array<uint8_t, 4>> Posted() { return TakePostedOrders(); }

    // The key down for `samples` samples, then released and sampled once more.
    int Press(int samples)
    {
        int ended = 0;
        Key(true);
        for (int i = 0; i < samples; ++i) {
            ended |= KeyDetectStep();
        }
        Key(false);
        ended |= KeyDetectStep();
        return ended;
    }

    uint8_t Leds() { return Hc595Image() & (kHc595Led0 | kHc595Led1 | kHc595Led2); }
    void TearDown() override { PushWaitIdle(); }  // a push's waits may still run on the worker
};

int gResets = 0;
int gResetType = -1;

}  // namespace

TEST_F(RingKey, ContinuousRingPulsesUnderItsGuardButStartsTheCallOnce)
{
    QueueGuard queues;
    gDeviceState.RecordTimer = 1234;
    int pulses = 0;
    gDuringSleep = [&](uint32_t ms) {
        if (ms == kOutputPulseMs && Gpio(kGpioRing) == '1') {
            ++pulses;
        }
    };
    SetSar(950);  // door 1 (shown as "Door 2")
    RingDetectPass();
    PushWaitIdle();  // the push's waits run on the worker
    EXPECT_EQ(1, pulses);
    EXPECT_EQ('0', Gpio(kGpioRing));
    EXPECT_EQ(kRingPulseGuardTicks, gDeviceState.RingPulseGuardTimer);
    EXPECT_EQ(0x0102, gDeviceState.SystemMainState);
    EXPECT_EQ(1, gCurrentDoor);
    EXPECT_EQ(1, gDeviceState.ViewingMark);
    EXPECT_EQ(1u, gAppState.UnlockEndsSession);
    EXPECT_EQ(1u, gAppState.MotionResumeAtOnce);
    EXPECT_EQ(kCountdownStopped, gDeviceState.RecordTimer) << "a ring at door 1 ends the record timer";
    // The push sets the short push delay; the call, armed again after it, waits that much longer.
    EXPECT_EQ(kCallTimeoutBaseTicks + kPushDelayShort, gDeviceState.CallTimeoutTimer);
    // The door's monitor comes on (talk order 6), then the call goes out on the bus.
    EXPECT_EQ((std::vector<std::array<uint8_t, 4>>{{6, 1, 0, 0}, {0, 1, 0, 0}}), Posted());
    EXPECT_EQ(kHc595Monitor1, Hc595Image() & (kHc595Monitor0 | kHc595Monitor1 | kHc595VideoDoor0));
    // The doorbell push of door 1: a second's wait for the picture, a second's settle.
    EXPECT_EQ((std::vector<uint32_t>{kOutputPulseMs, kRingProbeMs, 1000, 1000}), gSleeps);
    EXPECT_EQ(kPushDelayShort, gDeviceState.PushDelayTimer);
    EXPECT_EQ(kPushGuardTicks, gDeviceState.PushGuardTimer);
    gDeviceState.PushDelayTimer = kCountdownStopped;  // the push itself is the door-phone suite's

    // The level stays up: no new call, and no pulse while the guard runs.
    for (int pass = 0; pass < 5; ++pass) {
        RingDetectPass();
        Ticks(1);
    }
    EXPECT_EQ(1, pulses);
    EXPECT_TRUE(Posted().empty()) << "the call was started again";
    Ticks(kRingPulseGuardTicks - 5);
    RingDetectPass();
    EXPECT_EQ(2, pulses) << "the guard is over: the ring output pulses again";
    EXPECT_TRUE(Posted().empty());
    EXPECT_EQ(0x0102, gDeviceState.SystemMainState);
}

TEST_F(RingKey, DoorZeroRingIsProbedAndTalkIsLeftAlone)
{
    QueueGuard queues;
    SetSar(500);
    LockOutput(1, 1);
    RingDetectPass();
    PushWaitIdle();
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    EXPECT_EQ(0, gCurrentDoor);
    EXPECT_EQ(0, Hc595Image() & (kHc595Lock0 | kHc595Lock1)) << "the probe releases the locks";
    EXPECT_EQ(kHc595Monitor0 | kHc595VideoDoor0, Hc595Image()) << "door 0 is shown";
    EXPECT_EQ('1', Gpio(kGpioRingSense));
    EXPECT_EQ(1u, gAppState.MotionResumeAtOnce);
    EXPECT_EQ((std::vector<std::array<uint8_t, 4>>{{6, 0, 0, 0}, {0, 0, 0, 0}}), Posted());

    // While the unit talks a ring only pulses the ring output.
    TimeTaskInit();
    gDeviceState.SystemMainState = 0x0302;
    gCurrentDoor = 1;
    gSleeps.clear();
    RingDetectPass();
    EXPECT_EQ((std::vector<uint32_t>{kOutputPulseMs}), gSleeps);
    EXPECT_EQ(0x0302, gDeviceState.SystemMainState);
    EXPECT_EQ(1, gCurrentDoor);
    EXPECT_TRUE(Posted().empty());

    // A quiet input does nothing at all.
    SetSar(0);
    TimeTaskInit();
    gDeviceState.SystemMainState = 0;
    gSleeps.clear();
    RingDetectPass();
    EXPECT_TRUE(gSleeps.empty());
    EXPECT_EQ(0, gDeviceState.SystemMainState);
    EXPECT_TRUE(Posted().empty());
}

TEST_F(RingKey, HoldingTheKeyThreeSecondsResetsOnceAndTheKeyGoesOnWorking)
{
    void (*const handlers[])(int) = {
        [](int type) {
            ++gResets;
            gResetType = type;
        },
        nullptr,  // the system callbacks are not installed yet: logged and ignored
    };
    for (auto handler : handlers) {
        SCOPED_TRACE(handler != nullptr ? "reset handler" : "no reset handler");
        gResets = 0;
        gKeyResetHandler = handler;
        Key(true);
        for (uint32_t i = 0; i < kKeyHoldSamples; ++i) {
            ASSERT_EQ(0, KeyDetectStep()) << "sample " << i;
        }
        EXPECT_EQ(0, gResets);
        EXPECT_EQ(handler != nullptr ? 1 : 0, KeyDetectStep()) << "the 30th sample is the reset";
        EXPECT_EQ(handler != nullptr ? 1 : 0, gResets);
        EXPECT_EQ(0, gResetType);
        // Held on and let go: the hold counted once, and its end is no press.
        for (uint32_t i = 0; i < 2 * kKeyHoldSamples + 3; ++i) {
            ASSERT_EQ(0, KeyDetectStep()) << "sample " << i;
        }
        EXPECT_EQ(0, Press(0));
        EXPECT_EQ(handler != nullptr ? 1 : 0, gResets);
        EXPECT_EQ(0u, gDeviceState.KeyStep);
        EXPECT_EQ(0u, gAppState.PushDelay);
        // The next short press is taken as ever.
        EXPECT_EQ(0, Press(2));
        EXPECT_EQ(1u, gDeviceState.KeyStep);
        EXPECT_EQ(100u, gAppState.PushDelay);
        gDeviceState.KeyStep = 0;
        gAppState.PushDelay = 0;
    }
    gKeyResetHandler = nullptr;
}

TEST_F(RingKey, PressesOfHalfASecondOrMoreDoNothing)
{
    gDeviceState.LedPattern = 3;
    for (int samples : {5, 6, 15, 29}) {
        EXPECT_EQ(0, Press(samples)) << samples;
        EXPECT_EQ(0u, gDeviceState.KeyStep) << samples;
        EXPECT_EQ(0u, gAppState.PushDelay) << samples;
        EXPECT_EQ(kCountdownStopped, gDeviceState.KeyWindowTimer) << samples;
        EXPECT_EQ(3u, gDeviceState.LedPattern) << samples;
    }
    // A failed read of the key is no press either.
    ASSERT_EQ(0, unlink(mSb.Path("/sys/class/gpio/gpio66/value").c_str()));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, KeyDetectStep());
    }
    EXPECT_EQ(0u, gDeviceState.KeyStep);
}

TEST_F(RingKey, ShortPressesStepThePushDelayAndTheWindowKeepsIt)
{
    gDeviceState.LedPattern = 3;
    SetLed(0, 1);
    struct {
        int samples;
        uint32_t step;
        uint32_t pushDelay;
        uint8_t leds;
        uint16_t window;
    } rows[] = {
        {1, 1, 100, 0, kKeyWindowStepTicks},
        {4, 2, 1500, kHc595Led0, kKeyWindowStepTicks},
        {2, 3, 3000, kHc595Led0 | kHc595Led1, kKeyWindowStepTicks},
        {3, 4, 6000, kHc595Led0 | kHc595Led1 | kHc595Led2, kKeyWindowStepTicks},
        {2, kKeyStepDone, 6000, kHc595Led0 | kHc595Led1 | kHc595Led2, kKeyWindowLastTicks},
    };
    for (const auto& r : rows) {
        gAppState.PushReady = 0;
        EXPECT_EQ(0, Press(r.samples));
        EXPECT_EQ(r.step, gDeviceState.KeyStep);
        EXPECT_EQ(r.pushDelay, gAppState.PushDelay);
        EXPECT_EQ(r.leds, Leds()) << "step " << r.step;
        EXPECT_EQ(r.window, gDeviceState.KeyWindowTimer);
        EXPECT_EQ(1, gAppState.PushReady);
        EXPECT_EQ(7u, gDeviceState.LedPattern) << "the LEDs are the key's";
        EXPECT_EQ(500u, LedStep());
        EXPECT_EQ(r.leds, Leds()) << "the LED thread touched the key's LEDs";
        Ticks(r.window - 1);  // the next press comes just inside the window
    }
    EXPECT_EQ(kKeyStepDone, gDeviceState.KeyStep);
    Ticks(1);  // 100 ms after the fifth press
    EXPECT_EQ(0u, gDeviceState.KeyStep);
    EXPECT_EQ(3u, gDeviceState.LedPattern) << "the saved pattern comes back";
    EXPECT_EQ(6000u, gAppState.PushDelay);
    EXPECT_EQ("6000", mSb.Read(kPushInfoFile)) << "the window's end saves the setting";
    EXPECT_EQ(80u, LedStep());
}

TEST_F(RingKey, FloorModelKeyOpensTheCodingWindowUntilOnline)
{
    gAppState.FloorModel = 1;
    gDeviceState.LedPattern = 2;
    SetLed(1, 1);
    EXPECT_EQ(0, Press(2));
    EXPECT_EQ(1u, gAppState.CodingEnable);
    EXPECT_EQ(0, Leds());
    EXPECT_EQ(6u, gDeviceState.LedPattern);
    EXPECT_EQ(kKeyWindowCodingTicks, gDeviceState.KeyWindowTimer);
    EXPECT_EQ(0u, gDeviceState.KeyStep);
    EXPECT_EQ(0u, gAppState.PushDelay);
    Ticks(kKeyWindowCodingTicks);
    EXPECT_EQ(0u, gAppState.CodingEnable);
    EXPECT_EQ(0u, gDeviceState.LedPattern);

    gAppState.Online = 1;  // online, the key steps the push delay again
    EXPECT_EQ(0, Press(2));
    EXPECT_EQ(0u, gAppState.CodingEnable);
    EXPECT_EQ(1u, gDeviceState.KeyStep);
    EXPECT_EQ(100u, gAppState.PushDelay);
}

TEST_F(RingKey, LedPatterns)
{
    constexpr uint8_t L0 = kHc595Led0, L1 = kHc595Led1, L2 = kHc595Led2, ALL = L0 | L1 | L2;
    struct {
        uint32_t pattern;
        uint8_t wired;
        uint8_t before;
        uint8_t after;
        uint32_t wait;
    } rows[] = {
        {0, 0, ALL, 0, 800},       {0, 0, 0, L0, 800},         {1, 0, L0 | L2, L0 | L2, 500},
        {2, 1, L0 | L2, L1, 500},  {2, 0, L0 | L1, L2, 500},   {3, 0, L1 | L2, ALL, 80},
        {3, 0, ALL, L1 | L2, 80},  {4, 0, L0 | L2, L1, 500},   {5, 0, 0, ALL, 500},
        {6, 0, L1, L0 | L2, 80},   {7, 0, L0 | L1, L0 | L1, 500}, {9, 0, L2, L2, 500},
    };
    LockOutput(0, 1);  // other outputs are never touched
    for (const auto& r : rows) {
        for (int led = 0; led < 3; ++led) {
            SetLed(led, (r.before & (kHc595Led0 >> led)) != 0);
        }
        gDeviceState.LedPattern = r.pattern;
        gAppState.Wired = r.wired;
        EXPECT_EQ(r.wait, LedStep()) << "pattern " << r.pattern;
        EXPECT_EQ(r.after, Leds()) << "pattern " << r.pattern;
        EXPECT_EQ(kHc595Lock0, Hc595Image() & ~ALL) << "pattern " << r.pattern;
    }

    gDeviceState.LedPattern = 5;
    gAppState.ResetFlag = 1;
    EXPECT_EQ(500u, LedStep());
    EXPECT_EQ(0, Leds()) << "a reset darkens the LEDs";
    gDeviceState.KeyStep = 2;
    SetLed(2, 1);
    EXPECT_EQ(500u, LedStep());
    EXPECT_EQ(L2, Leds()) << "the key's step stays shown";
}
