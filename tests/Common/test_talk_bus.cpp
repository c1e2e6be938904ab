// The bus link against the door-station simulator: the unit's port is the simulator's
// pseudo-terminal, every frame the unit writes comes back as the bus echo, and the simulator
// decodes the unit's frames with code of its own.
#include "AppState.h"
#include "process.h"
#include "talk_test_util.h"

#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

// True while an own frame of the unit waits for its echo.
bool EchoAwaited()
{
    for (const auto& copy : gDeviceState.LastSent) {
        if (copy[0] == 2) {
            return true;
        }
    }
    return false;
}

class TalkBus : public testing::Test {
protected:
    void SetUp() override
    {
        ResetLink();
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mSandbox.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("linked at " + mSandbox.Root() + "/dev/ttyS2", 10s)) << mStation->Output();
        ASSERT_EQ(0, InitTalkSerial());
    }
    void TearDown() override { ResetLink(); }

    // How often the simulator has printed `line` so far.
    size_t Said(const std::string& line)
    {
        std::string out = mStation->Output();
        size_t seen = 0;
        for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
            ++seen;
        }
        return seen;
    }
    // Waits until the simulator has printed `line`.
    bool StationSaid(const std::string& line)
    {
        return mStation->WaitForOutput(line, 5s);
    }

    TestSandbox mSandbox;
    std::unique_ptr<ChildProcess> mStation;
    std::vector<Frame12> mGot;
};

}  // namespace

TEST_F(TalkBus, OwnFrameIsDecodedByTheStationAndItsEchoDropped)
{
    ASSERT_EQ(0, SendTalkOrder(8, 0, 1, 0));
    EXPECT_TRUE(StationSaid("unit -> bus: talk order 8 value1 0 value2 1 target 0 source 5 "
                            "[02 18 10 11 10 10 10 10 10 15 9E 03]"))
        << mStation->Output();
    // The echo has come back and been taken off the ring without reaching the order handling.
    ASSERT_TRUE(Pump(mGot, [] { return !EchoAwaited(); })) << "echo never came back";
    EXPECT_TRUE(mGot.empty());
}

TEST_F(TalkBus, UnitFramesAgreeWithTheStationsDecoder)
{
    gDeviceState.CodingAddress = 21234;
    gDeviceState.DoorAddress = 20000001;
    gAppState.FloorModel = 1;
    SendTalkOrder(13, 1, 0, 0);
    SendCodingOrder(46, 0, 21234, kComBusPort);
    SendDeviceState(3);
    SendAnnounceFrame(0, 255);
    gAppState.FloorModel = 0;
    SendCodingOrder(38, 20000001, 21234, kComBusPort);
    gDeviceState.CodingAddress = 0;
    gDeviceState.DoorAddress = 0;
    const char* lines[] = {
        "unit -> bus: talk order 13 value1 1 value2 0 target 0 source 5 room 1234",
        "unit -> bus: coding order 46 addressA 0 addressB 21234",
        "unit -> bus: state reply 0x0200 target 3 source 5 room 1234",
        "unit -> bus: announce kind 0 level 0",
        "unit -> bus: coding order 38 addressA 20000001 addressB 21234",
    };
    for (const char* line : lines) {
        EXPECT_TRUE(StationSaid(line)) << line << "\n" << mStation->Output();
    }
    EXPECT_EQ(std::string::npos, mStation->Output().find("bad")) << mStation->Output();
}

TEST_F(TalkBus, SameStationFrameTwiceIsDeliveredTwice)
{
    mStation->WriteLine("call 2");
    mStation->WriteLine("call 2");
    ASSERT_TRUE(Pump(mGot, [this] { return mGot.size() >= 2; })) << mStation->Output();
    for (const Frame12& f : mGot) {
        EXPECT_EQ("00 00 01 00 00 00 00 00 00 01 82 03", ToHex(f.data(), 12));
    }
}

TEST_F(TalkBus, DoorCallRightAfterTheUnitsFrameIsNotLost)
{
    SendTalkOrder(6, 0, 0, 0);
    // Let the echo come back and the echo check of the sent frame begin.
    ASSERT_TRUE(Pump(mGot, [] { return gDeviceState.ComPort[kComBusPort].EchoWait == 1; }));
    ASSERT_TRUE(mGot.empty());
    mStation->WriteLine("call 1");
    ASSERT_TRUE(Pump(mGot, [this] { return !mGot.empty(); })) << mStation->Output();
    EXPECT_EQ(0, mGot[0][1]);   // talk order 0: a call
    EXPECT_EQ(0, mGot[0][2]);   // from door 1
    EXPECT_EQ(1, mGot[0][9]);   // the door station's source

    // And with the send delay used up, a frame straight after the unit's next own frame.
    SendTalkOrder(6, 1, 0, 0);
    mStation->WriteLine("call 2");
    mGot.clear();
    ASSERT_TRUE(Pump(mGot, [this] { return !mGot.empty() && !EchoAwaited(); })) << mStation->Output();
    EXPECT_EQ(1, mGot[0][2]);
    EXPECT_EQ(1u, mGot.size()) << "the unit's own frame must not be handed on";
}

TEST_F(TalkBus, OrderPostedByAnotherThreadGoesOutFromTheBusThread)
{
    QueueGuard q;
    std::thread cloud([] { EXPECT_EQ(0, PostTalkCommand(13, 1, 0, 0)); });
    cloud.join();
    ASSERT_TRUE(Pump(mGot, [this] {
        return Said("unit -> bus: talk order 13 value1 1 value2 0 target 0") == 1 && !EchoAwaited();
    })) << mStation->Output();
    EXPECT_TRUE(mGot.empty()) << "the echo of the posted order is dropped";
}

TEST_F(TalkBus, WholeDoorCallScriptReachesTheUnit)
{
    // The orders a door call brings, as a person would type them.
    for (const char* cmd : {"call 1", "takeup 3", "unlock 1 3", "feedback 5", "takeoff 3"}) {
        mStation->WriteLine(cmd);
    }
    ASSERT_TRUE(Pump(mGot, [this] { return mGot.size() >= 5; })) << mStation->Output();
    struct {
        int order, value1, source;
    } want[] = {{0, 0, 1}, {8, 0, 3}, {13, 0, 3}, {14, 5, 1}, {5, 0, 3}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(want[i].order, mGot[i][1]) << i;
        EXPECT_EQ(want[i].value1, mGot[i][2]) << i;
        EXPECT_EQ(want[i].source, mGot[i][9] & 0x0F) << i;
    }
}
