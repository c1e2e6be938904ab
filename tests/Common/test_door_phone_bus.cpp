// The bus thread against the door-station simulator: its start on the bus, then a door call with
// take-up, unlock and take-off, and a floor-model bus, each frame through the pseudo-terminal,
// the unit's link and the order handling.
#include "door_phone_util.h"

#include "process.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

class DoorPhoneBus : public DoorPhoneTest {
protected:
    void SetUp() override
    {
        DoorPhoneTest::SetUp();
        gBoardIoSleep = NoSleep;
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("linked at " + mSb.Root() + "/dev/ttyS2", 10s)) << mStation->Output();
        ASSERT_EQ(0, InitTalkSerial());
        ASSERT_EQ(0, ProcessTalkDataInit());
        ASSERT_TRUE(StationSaid("unit -> bus: announce kind 0 level 0")) << mStation->Output();
        ASSERT_TRUE(StationSaid("unit -> bus: coding order 46 addressA 0 addressB 0")) << mStation->Output();
    }

    bool StationSaid(const std::string& line) { return mStation->WaitForOutput(line, 5s); }
    // Runs passes of the bus thread until `done` holds (5 s at most).
    template <typename Done>
    bool Run(Done done)
    {
        auto end = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            ProcessTalkPass();
        }
        return true;
    }
    // Runs passes until the station has printed `line` and the unit has heard all it sent.
    bool RunUntilSaid(const std::string& line)
    {
        return Run([&] { return mStation->Output().find(line) != std::string::npos; });
    }

    std::unique_ptr<ChildProcess> mStation;
};

}  // namespace

TEST_F(DoorPhoneBus, DoorCallTakeUpUnlockAndTakeOff)
{
    mStation->WriteLine("call 2");
    ASSERT_TRUE(Run([] { return gDeviceState.SystemMainState != 0; })) << mStation->Output();
    EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
    EXPECT_EQ(1, gCurrentDoor);
    PushWaitIdle();
    EXPECT_EQ(kPushDelayShort, gDeviceState.PushDelayTimer) << "the push is armed";

    mStation->WriteLine("takeup");
    ASSERT_TRUE(Run([] { return gDeviceState.TakeUpRoom == 2; })) << mStation->Output();
    EXPECT_EQ(kCountdownStopped, gDeviceState.PushDelayTimer) << "answered: no push";
    EXPECT_EQ(kTakeUpTimeoutTicks, gDeviceState.CallTimeoutTimer);

    // The handset opens door 2: the lock pulses, and the unit passes the order on the bus.
    mStation->WriteLine("unlock 2");
    ASSERT_TRUE(Run([] { return gDeviceState.UnlockSessionTimer == kUnlockSessionTicks; })) << mStation->Output();
    EXPECT_EQ(kHc595Lock1, Hc595Image() & (kHc595Lock0 | kHc595Lock1));
    EXPECT_TRUE(RunUntilSaid("unit -> bus: talk order 13 value1 1 value2 0 target 0 source 5")) << mStation->Output();

    mStation->WriteLine("query");
    EXPECT_TRUE(RunUntilSaid("unit -> bus: state reply 0x0200 target 2 source 5")) << mStation->Output();

    mStation->WriteLine("takeoff");
    ASSERT_TRUE(Run([] { return gDeviceState.TakeUpRoom == 255; })) << mStation->Output();
    EXPECT_EQ(std::string::npos, mStation->Output().find("bad")) << mStation->Output();
}

TEST_F(DoorPhoneBus, FloorModelBusHearsItsRoomOnly)
{
    // Door group 2, building 3; the unit becomes room 1005 of it.
    mStation->WriteLine("config 2 3");
    ASSERT_TRUE(Run([] { return gAppState.FloorModel == 1; })) << mStation->Output();
    EXPECT_EQ(30000u, gDeviceState.CodingAddress);
    EXPECT_EQ(20030001u, gDeviceState.DoorAddress);
    gAppState.CodingEnable = 1;  // the key's coding window is open
    mStation->WriteLine("assign 31005");
    ASSERT_TRUE(Run([] { return gDeviceState.CodingAddress == 31005; })) << mStation->Output();
    EXPECT_TRUE(RunUntilSaid("unit -> bus: coding order 46 addressA 0 addressB 31005")) << mStation->Output();

    // Room 1005 rides in the high nibbles of target (1) and source (5); byte 8 holds 0 0.
    mStation->WriteLine("talk 8 0 0 32 82");  // room 2005: another room's take-up
    mStation->WriteLine("talk 8 0 0 16 82");  // room 1005, source 2
    ASSERT_TRUE(Run([] { return gDeviceState.TakeUpRoom != 255; })) << mStation->Output();
    EXPECT_EQ(2, gDeviceState.TakeUpRoom);

    // A busy room of the bus, addressed to this one.
    mStation->WriteLine("busy 31005");
    ASSERT_TRUE(Run([] { return gDeviceState.SystemMainState == SYS_STATE_CODING_BUSY; })) << mStation->Output();

    // The unit's own orders carry its room on the bus.
    PostTalkCommand(ComOrder_MonitorOn, 1, 0, 0);
    EXPECT_TRUE(RunUntilSaid("unit -> bus: talk order 6 value1 1 value2 0 target 0 source 5 room 1005"))
        << mStation->Output();
}

// Orders fed straight to the order handling, for what the bus walk above does not reach.
using DoorPhoneOrders = DoorPhoneTest;

TEST_F(DoorPhoneOrders, FloorBusCodingOrdersNeedAStationAndTheRightState)
{
    constexpr uint32_t kStation = 10010001;
    gAppState.FloorModel = 1;
    gDeviceState.CodingAddress = 10203;
    // A coding call names this room, but from another room (an address below the stations'):
    // no door address taken, no push.
    Feed(CodingFrameFor(ComOrder_CodingCall, 10203, 10204));
    EXPECT_EQ(0u, gDeviceState.DoorAddress);
    EXPECT_EQ(1, gAppState.PushReady);
    Feed(CodingFrameFor(ComOrder_CodingCall, 10203, kStation));
    EXPECT_EQ(kStation, gDeviceState.DoorAddress);

    // A station's take-off ends a ringing call only, never a talk.
    SetSystemMainState(SYS_STATE_TALK | 1);
    Feed(CodingFrameFor(ComOrder_CodingTakeOff, kStation, 10203));
    EXPECT_EQ(SYS_STATE_TALK | 1, gDeviceState.SystemMainState);
    EXPECT_TRUE(Posted().empty());
}

TEST_F(DoorPhoneOrders, LongSettingsClampToTheLongestRunningCountdown)
{
    // A push delay past 0x7FFF ticks must not wrap into "stopped": the call still times out.
    gAppState.PushDelay = 0x9000;
    Feed(TalkFrameFor(ComOrder_DeviceTriger, 0, 0, 1));
    EXPECT_EQ(0x7FFF, gDeviceState.CallTimeoutTimer);
    PushWaitIdle();  // the push delay is armed by the push's worker
    EXPECT_EQ(0x7FFF, gDeviceState.PushDelayTimer);
}
