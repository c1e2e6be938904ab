// Shared by the door-phone suites: fresh door-phone state on a sandbox with the unit's queues, and
// frames as the bus thread hands them to the order handling (decoded, byte 0 = 0).
#pragma once

#include "board_io_util.h"

#include "ComFrame.h"
#include "DoorPhone.h"
#include "TalkSerial.h"
#include "talk_test_util.h"


using Order4 = std::array<uint8_t, 4>;

// A talk order from a station. On a floor-model bus `room` (0..9999) rides in the high nibbles
// of bytes 7 and 9 and in byte 8, as the stations of that bus send it.
inline Frame12 TalkFrameFor(uint8_t order, uint8_t value1, uint8_t target, uint8_t source, int room = -1)
{
    Frame12 f{};
    f[1] = order;
    f[2] = value1;
    f[7] = target;
    f[9] = source;
    if (room >= 0) {
        f[7] = static_cast<uint8_t>((room / 1000 % 10) << 4 | target);
        f[8] = static_cast<uint8_t>((room / 100 % 10) << 4 | (room / 10 % 10));
        f[9] = static_cast<uint8_t>((room % 10) << 4 | source);
    }
    return f;
}

inline Frame12 CodingFrameFor(uint8_t order, uint32_t a, uint32_t b)
{
    Frame12 f{};
    f[1] = order;
    auto da = ComBase240Split(a);
    auto db = ComBase240Split(b);
    std::copy(da.begin(), da.end(), f.begin() + 2);
    std::copy(db.begin(), db.end(), f.begin() + 6);
    return f;
}

inline void NoSleep(uint32_t) {}

class DoorPhoneTest : public BoardIoTest {
protected:
    void SetUp() override
    {
        BoardIoTest::SetUp();
        ResetLink();
        mQueues = std::make_unique<QueueGuard>();
        DEVICE_STATE_S& s = gDeviceState;
        s.ViewerCount = 0;
        s.TakeUpRoom = 255;
        s.TalkFlag = 0;
        s.CodingAddress = 0;
        s.DoorAddress = 0;
        s.AlarmSetting = 0;
        s.SdRecordSetting = 0;
        gPushWaitTimer = kCountdownStopped;
        gTriggerType = 0;
        gAppState.PushReady = 1;
    }
    void TearDown() override
    {
        PushWaitIdle();  // a push's waits may still run on the worker
        mQueues.reset();
        ResetLink();
    }

    static std::vector<Order4> Posted() { return TakePostedOrders(); }
    static void Feed(const Frame12& f) { HandleTalkFrame(f.data()); }

    std::unique_ptr<QueueGuard> mQueues;
};
