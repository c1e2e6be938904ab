// The whole process with the local cloud: a fresh board pairs with a phone token and goes online,
// a phone command reaches the unit (it acknowledges), the broker's stop and return show as the
// offline and online lines, the skills upload reaches the phone, and the next start goes online
// with the stored activation alone.
#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Polls a phone command until its answer holds `part`.
bool WaitAnswer(CloudPeer& cloud, const std::string& cmd, const std::string& part, std::chrono::seconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (Has(cloud.Command(cmd), part)) {
            return true;
        }
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

TEST(SystemCloud, PairsGoesOnlineFollowsTheBrokerAndComesBackWithoutToken)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    // The QR token as the phone shows it: region, token, registration key.
    std::string pairing = cloud.Pair();
    std::string token = CloudPeer::Token8(pairing);
    // The cloud's clock answers a while after the link is up, as a busy cloud does.
    ASSERT_EQ("fail time.get slow 3000", cloud.Command("fail time.get slow 3000"));
    {
        ChildProcess unit({Doorphone(), "-m", "2", "-t", pairing}, {"DOORPHONE_ROOT=" + sb.Root()});
        ASSERT_TRUE(unit.WaitForOutput("Dbg:mqtt is online", 60s)) << unit.Output() << cloud.Log();
        std::string out = unit.Output();
        EXPECT_FALSE(Has(out, "T3stAuthKey0fTheSimulatedUnit001")) << "the auth key is never logged in the clear";
        // The cloud learns of the login from its broker's log, a moment after the unit's SUBACK.
        EXPECT_TRUE(WaitAnswer(cloud, "devices", " online ", 10s)) << cloud.Command("devices");
        // The unit took the cloud's clock as it came online: both sides log it.
        EXPECT_TRUE(cloud.WaitLog("api noxa.device.time.get v1.0: time ", 1, 20s)) << cloud.Log();
        EXPECT_TRUE(unit.WaitForOutput("cloud time synced: ", 20s)) << unit.Output();
        // The full state report at link-up waited for that clock: no report carries the
        // seconds since start as its time.
        EXPECT_TRUE(WaitAnswer(cloud, "reports", "104 ", 20s)) << cloud.Command("reports");
        EXPECT_FALSE(Has(cloud.Command("reports"), " at 1970-")) << cloud.Command("reports");
        // The skills upload after online: the transfer module's value and the ring buffer's two
        // video channels, as the phone sees them.
        EXPECT_TRUE(WaitAnswer(cloud, "skills", "video_num 2", 20s)) << cloud.Command("skills") << cloud.Log();
        const std::string skills = cloud.Command("skills");
        EXPECT_TRUE(Has(skills, "sdk_version 4.8.10\n")) << skills;
        EXPECT_TRUE(Has(skills, "webrtc 51\n")) << skills;
        // Cloud recording and the cloud gateway, with the streams of the media description.
        EXPECT_TRUE(Has(skills, "cloudStorage 1\n")) << skills;
        EXPECT_TRUE(Has(skills, "cloudGW 1\n")) << skills;
        EXPECT_TRUE(Has(skills, "\"width\":1280,\"height\":720")) << skills;
        EXPECT_TRUE(Has(skills, "\"width\":640,\"height\":360")) << skills;

        // A command reaches the unit: it answers the command's ackId.
        cloud.Command("query 101");
        EXPECT_TRUE(WaitAnswer(cloud, "reports", "ack", 20s)) << cloud.Command("reports") << cloud.Log();

        cloud.Command("broker stop");
        EXPECT_TRUE(unit.WaitForOutput("----mqtt is offline", 30s)) << unit.Output();
        cloud.Command("broker start");
        auto online = [&] {
            std::string o = unit.Output();
            size_t off = o.find("----mqtt is offline");
            return off != std::string::npos && o.find("Dbg:Net status change to:7", off) != std::string::npos;
        };
        auto end = std::chrono::steady_clock::now() + 60s;
        while (!online() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(200ms);
        }
        EXPECT_TRUE(online()) << unit.Output();
        unit.Kill(SIGTERM);
        unit.WaitExit(10s);
    }
    // The next run: no options, no token, the stored activation.
    ChildProcess again({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(again.WaitForOutput("Dbg:mqtt is online", 60s)) << again.Output() << cloud.Log();
    EXPECT_EQ(1, cloud.LogCount("activate")) << "activated once: " << cloud.Log();
    again.Kill(SIGTERM);
    again.WaitExit(10s);
}

TEST(SystemCloud, ARefusedTokenIsForgottenAndTheUnitStaysOffline)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    ChildProcess unit({Doorphone(), "-m", "2", "-t", "AYZZZZZZZZ1234"}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(cloud.WaitLog("TOKEN_INVALID", 1, 30s)) << cloud.Log() << unit.Output();
    ASSERT_TRUE(unit.WaitForOutput("refused by the cloud: forgotten, waiting for a new pairing", 30s))
        << unit.Output();
    // A refused token was tried again after 1 s: it is not tried at all now.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(1, cloud.LogCount("TOKEN_INVALID")) << cloud.Log();
    EXPECT_FALSE(Has(unit.Output(), "Dbg:mqtt is online"));
    EXPECT_FALSE(Has(cloud.Command("devices"), " online "));
    unit.Kill(SIGTERM);
    unit.WaitExit(10s);
}

}  // namespace
