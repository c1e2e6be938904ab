// The road of a door call through the whole process: the unit on a sandbox, the door-station
// simulator on its bus. The unit announces itself, a call from door 2 starts the call state and
// the doorbell push, a handset takes up and opens the door (the lock output pulses in the
// 74HC595), and a call nobody answers times out back to idle.
#include "process.h"
#include "sandbox.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::string Doorphone()
{
    return BinaryDir() + "/src/Common/doorphone";
}

class DoorCall : public testing::Test {
protected:
    void SetUp() override
    {
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("linked at " + mSb.Root() + "/dev/ttyS2", 10s)) << mStation->Output();
        mUnit = std::make_unique<ChildProcess>(std::vector<std::string>{Doorphone()},
                                               std::vector<std::string>{"DOORPHONE_ROOT=" + mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("unit -> bus: announce kind 0 level 0", 20s))
            << mStation->Output() << mUnit->Output();
        ASSERT_TRUE(mStation->WaitForOutput("unit -> bus: coding order 46 addressA 0 addressB 0", 5s));
    }
    void TearDown() override
    {
        if (mUnit) {
            mUnit->Kill(SIGTERM);
        }
    }
    // The 74HC595's history, older lines first.
    std::string Hc595History() { return mSb.Read("/.board/74HC595.log.old") + mSb.Read("/.board/74HC595.log"); }
    // Polls what the unit's threads leave on the board until `cond` holds.
    template <typename Cond>
    static bool Eventually(Cond cond, std::chrono::milliseconds limit)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }
    bool UnitSaid(const std::string& text, std::chrono::milliseconds limit = 10s)
    {
        return mUnit->WaitForOutput(text, limit);
    }

    TestSandbox mSb;
    std::unique_ptr<ChildProcess> mStation;
    std::unique_ptr<ChildProcess> mUnit;
};

}  // namespace

TEST_F(DoorCall, CallTakeUpAndUnlock)
{
    mStation->WriteLine("call 2");
    EXPECT_TRUE(UnitSaid("Com Order ComOrder_DeviceTriger 1")) << mUnit->Output();
    EXPECT_TRUE(UnitSaid("SystemMainState 0 -> 0x101")) << mUnit->Output();
    // The push has the encoder take a snapshot of the door; when the push delay runs out
    // SendImageThread sends that picture (a JPEG of some kilobytes, not the fallback logo).
    EXPECT_TRUE(UnitSaid("Capture /dev/demo_snapshot.jpg")) << mUnit->Output();
    EXPECT_TRUE(UnitSaid("doorbell notification (picture of ")) << mUnit->Output();
    std::string out = mUnit->Output();
    size_t at = out.find("doorbell notification (picture of ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_GT(std::atoi(out.c_str() + at + std::strlen("doorbell notification (picture of ")), 2000) << out;
    EXPECT_TRUE(Eventually([this] { return !mSb.Exists("/dev/demo_snapshot.jpg"); }, 5s)) << "snapshot kept";

    // A handset takes the call up: the unit leaves the call to it, 2 s later.
    mStation->WriteLine("takeup");
    EXPECT_TRUE(UnitSaid("Com Order ComOrder_TakeUp 2")) << mUnit->Output();
    EXPECT_TRUE(UnitSaid("SystemMainState 0x101 -> 0")) << mUnit->Output();

    // The handset opens door 2: its lock output pulses for 5 s and the order goes on the bus.
    mStation->WriteLine("unlock 2");
    EXPECT_TRUE(UnitSaid("ComOrder_UnLock TakeUpRoom(2)  uSource(2)")) << mUnit->Output();
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 13 value1 1 value2 0 target 0 source 5", 10s))
        << mStation->Output();
    auto openedAndClosed = [this] {
        std::string h = Hc595History();
        size_t open = h.find("lock1=1");
        return open != std::string::npos && h.find("lock1=0", open) != std::string::npos;
    };
    EXPECT_TRUE(Eventually(openedAndClosed, 10s)) << Hc595History();
    mStation->WriteLine("takeoff");
    EXPECT_TRUE(UnitSaid("ComOrder_TakeOff TakeUpRoom(2)  uSource(2)")) << mUnit->Output();
    EXPECT_EQ(-1, mUnit->WaitExit(100ms)) << "the unit must keep running";
}

TEST_F(DoorCall, UnansweredCallTimesOutToIdle)
{
    mStation->WriteLine("call 1");
    ASSERT_TRUE(UnitSaid("SystemMainState 0 -> 0x101")) << mUnit->Output();
    // 30 s and the push delay; nobody answers.
    EXPECT_TRUE(UnitSaid("call/monitor time-out", 45s)) << mUnit->Output();
    EXPECT_TRUE(UnitSaid("SystemMainState 0x101 -> 0", 1s)) << mUnit->Output();
    // The call did not end on its own before that.
    std::string out = mUnit->Output();
    EXPECT_EQ(out.find("call/monitor time-out"), out.rfind("call/monitor time-out"));
}
