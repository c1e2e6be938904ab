// Data points from the phone through the whole process: the local cloud (simulator and broker),
// the door-station simulator on the bus and the unit. A command opens a door on the bus, pulses
// the current door's lock, opens the gate, switches the door shown, and a setting outlives a
// restart of the unit.
#include "door_cast.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <thread>

using namespace std::chrono_literals;

namespace {

class PhoneDp : public DoorCastTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(DoorCastTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(StartUnit({"-m", "2", "-t", mCloud->Pair()}));
    }
    bool WaitReport(const std::string& id, const std::string& value, int n = 1)
    {
        return mCloud->WaitLog(Rep(id, value), n, 20s);
    }
};

}  // namespace

TEST_F(PhoneDp, CommandsReachTheBusTheLocksAndTheVideoAndASettingOutlivesARestart)
{
    // The full state goes out once online: both doors not ringing, both locks closed.
    ASSERT_TRUE(WaitReport("240", "\"1\"")) << mCloud->Log();

    // Door 1's unlock: the order for door 0 on the bus, and 241 reported.
    mCloud->Command("dp 241 1");
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 13 value1 0", 10s)) << mStation->Output();
    EXPECT_TRUE(WaitReport("241", "1")) << mCloud->Log();

    // The current door's lock: its output pulses and the lock icon shows.
    mCloud->Command("dp 148 true");
    EXPECT_TRUE(Eventually([this] { return Hc595History().find("lock0=1") != std::string::npos; }, 10s))
        << Hc595History();
    EXPECT_TRUE(mUnit->WaitForOutput("icon 0 shown", 10s)) << mUnit->Output();
    EXPECT_TRUE(WaitReport("148", "true")) << mCloud->Log();

    // The gate: its order on the bus, then true and a second later false.
    mCloud->Command("dp 232 true");
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 12", 10s)) << mStation->Output();
    EXPECT_TRUE(WaitReport("232", "true")) << mCloud->Log();
    EXPECT_TRUE(WaitReport("232", "false")) << mCloud->Log();
    std::string log = mCloud->Log();
    EXPECT_LT(log.find(Rep("232", "true")), log.find(Rep("232", "false")));

    // The channel switch: video and monitor on door 2, the list reported with door 2 current.
    mCloud->Command("dp 231 {\"cmd\":1,\"cc\":2}");
    EXPECT_TRUE(Eventually(
        [this] {
            // The board counts doors from 0: "video=door1" is the picture of "Door 2".
            return std::regex_search(Hc595History(), std::regex("monitor1=1 .*video=door1"));
        },
        10s))
        << Hc595History();
    EXPECT_TRUE(Eventually(
        [this] { return std::regex_search(mCloud->Command("state"), std::regex(R"(cc[\\"]*:1)")); }, 10s))
        << mCloud->Command("state");

    // A setting: stored, and the full state of the next run shows it.
    mCloud->Command("dp 134 true");
    ASSERT_TRUE(WaitReport("134", "true")) << mCloud->Log();
    const int before = mCloud->LogCount(Rep("134", "true"));
    mUnit->Kill(SIGTERM);
    mUnit->WaitExit(10s);
    StartUnit({});
    EXPECT_TRUE(WaitReport("134", "true", before + 1)) << mCloud->Log();
    EXPECT_TRUE(std::regex_search(mCloud->Command("state"), std::regex("alarm[a-z_]* = true"))) << mCloud->Command("state");
}
