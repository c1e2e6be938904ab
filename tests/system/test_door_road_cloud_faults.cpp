// The door road with the cloud failing under it: the broker restarted before the push, the object
// stores down during a call. Each run keeps what the phone stored, the activation and the card's
// recordings, and the next call goes the whole road once the cloud is back.
#include "door_road.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iterator>
#include <regex>
#include <string>

using namespace std::chrono_literals;

namespace {

using namespace door_road;

class DoorRoadCloudFaults : public DoorRoadTest {
protected:
    // The unit's output from `from` on.
    std::string OutputFrom(size_t from)
    {
        const std::string out = mUnit->Output();
        return from < out.size() ? out.substr(from) : std::string();
    }
    bool WaitOutputFrom(size_t from, const std::string& text, std::chrono::milliseconds limit)
    {
        return Eventually([&] { return Has(OutputFrom(from), text); }, limit);
    }
    // The station hangs up a call nobody took: the unit is idle again once the call's own time
    // (30 s and the push delay) has run out.
    void HangUp()
    {
        mStation->WriteLine("takeoff");
        // Idle (0), or already watching door 1 for motion again (0x201), after the call's start.
        ASSERT_TRUE(Eventually(
            [this] {
                const std::string out = mUnit->Output();
                auto last = [&out](const char* text) {
                    const size_t at = out.rfind(text);
                    return at == std::string::npos ? -1L : static_cast<long>(at);
                };
                const long call = last("SystemMainState 0x201 -> 0x101");
                const long idle = std::max(last("SystemMainState 0x101 -> 0\n"), last("SystemMainState 0x101 -> 0x201"));
                return call >= 0 && idle > call;
            },
            60s))
            << mUnit->Output();
    }
};

}  // namespace

// The broker goes away before the push: the unit sees the link drop, the call's ring report and
// press event fail and say so, and once the broker is back the unit is online again and the next
// call's notification arrives.
TEST_F(DoorRoadCloudFaults, TheBrokerRestartedBeforeThePushLosesNothing)
{
    const Keepsakes k = Keep();
    const size_t rings = Rings();
    const size_t notices = Notices();
    const int events = mCloud->LogCount("protocol 43 ");
    const int puts = mCloud->LogCount("s3 PUT noxa-detect.");
    ASSERT_TRUE(Has(mCloud->Command("broker stop"), "stop")) << mCloud->Log();
    ASSERT_TRUE(mUnit->WaitForOutput("----mqtt is offline", 30s)) << mUnit->Output();
    const size_t from = mUnit->Output().size();

    ASSERT_NO_FATAL_FAILURE(StationCalls());
    // The ring report and the press event cannot go out: said as errors, and no picture goes up
    // for a press the phone never heard of.
    EXPECT_TRUE(WaitOutputFrom(from, "Door1 ring report not sent: ", 10s)) << OutputFrom(from);
    EXPECT_TRUE(WaitOutputFrom(from, "doorbell press event not sent: ", 20s)) << OutputFrom(from);
    EXPECT_TRUE(WaitOutputFrom(from, "SendImageThread End", 20s)) << OutputFrom(from);
    EXPECT_EQ(puts, mCloud->LogCount("s3 PUT noxa-detect.")) << mCloud->Log();

    mCloud->Command("broker start");
    ASSERT_TRUE(WaitOutputFrom(from, "Dbg:Net status change to:7", 60s)) << OutputFrom(from) << mCloud->Log();
    EXPECT_EQ(-1, mUnit->WaitExit(100ms)) << "the unit keeps running";
    ASSERT_NO_FATAL_FAILURE(HangUp());
    // The failed push is not replayed later as if it were a new ring.
    EXPECT_EQ(rings, Rings()) << mCloud->Log();
    EXPECT_EQ(notices, Notices()) << mCloud->Command("notifications");
    EXPECT_EQ(events, mCloud->LogCount("protocol 43 ")) << mCloud->Log();

    ASSERT_NO_FATAL_FAILURE(WholeRoad("after_broker"));
    ASSERT_NO_FATAL_FAILURE(CheckKept(k, false));
}

// Both object stores down during a call: the ring report and the press event still arrive, the
// picture's failed upload is logged and no notification goes out without its picture; the unit
// carries on online and back to idle, and with the stores back the next call's picture arrives.
TEST_F(DoorRoadCloudFaults, TheObjectStoresDownDuringACallLoseNothing)
{
    const Keepsakes k = Keep();
    ASSERT_EQ(0u, mCloud->Command("stores").rfind("s3 ", 0)) << mCloud->Log();
    const size_t rings = Rings();
    const size_t notices = Notices();
    const int events = mCloud->LogCount("protocol 43 ");
    std::string stopped;
    try {
        stopped = mCloud->Command("stores stop");
    } catch (const std::exception& e) {
        FAIL() << e.what() << "\n" << mCloud->Log();
    }
    ASSERT_EQ("stores stopped", stopped) << mCloud->Log();
    const size_t from = mUnit->Output().size();

    ASSERT_NO_FATAL_FAILURE(StationCalls());
    EXPECT_TRUE(mCloud->WaitLog("{\"239\":\"0\"}", static_cast<int>(rings) + 1, 20s)) << mCloud->Log();
    // The press event goes out before the picture.
    EXPECT_TRUE(mCloud->WaitLog("protocol 43 ", events + 1, 20s)) << mCloud->Log();
    EXPECT_TRUE(Has(mCloud->Command("events"), "\"etype\":\"doorbell\"")) << mCloud->Command("events");
    // The picture's upload is tried three times, each failure logged with the object it was for;
    // and no message goes out without its picture.
    ASSERT_TRUE(WaitOutputFrom(from, "SendImageThread End", 30s)) << OutputFrom(from);
    const std::string out = OutputFrom(from);
    const std::regex failed("HTTPS PUT fail:[^ ,]+/detect/[0-9]+\\.jpeg,size [0-9]+,ret -[0-9]+");
    EXPECT_EQ(3, std::distance(std::sregex_iterator(out.begin(), out.end(), failed), std::sregex_iterator())) << out;
    EXPECT_TRUE(Has(out, "notification_content_upload_from_buffer put failed:")) << out;
    EXPECT_EQ(notices, Notices()) << mCloud->Command("notifications");

    // The unit carries on: running, online (a query is answered), idle after the hang-up.
    EXPECT_EQ(-1, mUnit->WaitExit(100ms)) << "the unit keeps running";
    EXPECT_FALSE(Has(OutputFrom(from), "----mqtt is offline")) << OutputFrom(from);
    const int sensitivity = mCloud->LogCount(Rep("106", "\"2\""));
    mCloud->Command("query 106");
    EXPECT_TRUE(mCloud->WaitLog(Rep("106", "\"2\""), sensitivity + 1, 20s)) << mCloud->Log();
    ASSERT_NO_FATAL_FAILURE(HangUp());

    ASSERT_EQ("stores started", mCloud->Command("stores start")) << mCloud->Log();
    ASSERT_NO_FATAL_FAILURE(WholeRoad("after_stores"));
    ASSERT_NO_FATAL_FAILURE(CheckKept(k, false));
}
