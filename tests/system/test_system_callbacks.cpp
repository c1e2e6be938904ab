// The system callbacks on the whole process with the local cloud: a firmware image from the phone
// downloaded, flashed and restarted into, an altered or cut one leaving the flash alone; a reset from
// the phone that restarts the unit unactivated; the clocks on the simulator's local time; and an
// unprovisioned wireless unit offering its access point.
#include "cloud_peer.h"
#include "netsim.h"
#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A tool of the project run to its end: its output; "" when it failed.
std::string RunTool(const std::vector<std::string>& argv)
{
    ChildProcess tool(argv);
    int status = tool.WaitExit(60s);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << argv[0] << " failed: " << tool.Output();
        return "";
    }
    return tool.Output();
}

std::string Phone(const TestSandbox& sb, const std::vector<std::string>& words)
{
    std::vector<std::string> argv = {SourceDir() + "/tools/phone", sb.Root()};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunTool(argv);
}

// md5sum's answer for a sandbox file ("" when missing).
std::string Md5(const TestSandbox& sb, const std::string& unitPath)
{
    if (!sb.Exists(unitPath)) {
        return "";
    }
    std::string out = RunTool({"md5sum", sb.Path(unitPath)});
    return out.substr(0, out.find(' '));
}

void ExpectRestarted(ChildProcess& unit)
{
    int status = unit.WaitExit(90s);
    ASSERT_NE(-1, status) << unit.Output();
    ASSERT_TRUE(WIFEXITED(status)) << unit.Output();
    EXPECT_EQ(86, WEXITSTATUS(status)) << unit.Output();
}

void Stop(ChildProcess& unit)
{
    unit.Kill(SIGTERM);
    unit.WaitExit(10s);
}

TEST(SystemCallbacksSystem, AnImageFromThePhoneIsFlashedAndAnAlteredOrCutOneLeavesTheFlash)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    {
        ChildProcess unit({Doorphone(), "-m", "2", "-t", cloud.Pair()}, {"DOORPHONE_ROOT=" + sb.Root()});
        ASSERT_TRUE(unit.WaitForOutput("Dbg:mqtt is online", 60s)) << unit.Output() << cloud.Log();
        std::string md5 = Phone(sb, {"upgrade-image", "app.bin", "1000", "1.2.12"});
        md5 = md5.substr(0, md5.find('\n'));
        ASSERT_TRUE(md5.size() == 32 && md5.find_first_not_of("0123456789abcdef") == std::string::npos) << md5;
        ASSERT_NO_FATAL_FAILURE(ExpectRestarted(unit));
        EXPECT_EQ(md5, Md5(sb, "/.board/flash/app.bin")) << unit.Output();
        EXPECT_TRUE(Has(unit.Output(), "upgrade.sh: image installed")) << unit.Output();
        // What the rate rule let through: the start and the end.
        std::string reports = cloud.Command("reports");
        EXPECT_TRUE(Has(reports, "{\"progress\":0,")) << reports;
        EXPECT_TRUE(Has(reports, "{\"progress\":100,")) << reports;
    }
    // Started again, online on its stored activation: an altered image, then a cut one.
    const std::string flashed = Md5(sb, "/.board/flash/app.bin");
    const std::vector<std::string> faults[] = {{"corrupt"}, {"cut", "500"}};
    for (size_t i = 0; i < std::size(faults); ++i) {
        ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
        ASSERT_TRUE(unit.WaitForOutput("Dbg:mqtt is online", 60s)) << unit.Output() << cloud.Log();
        std::vector<std::string> words = {"upgrade-image", "b.bin", "1000", "1.2.13"};
        words.insert(words.end(), faults[i].begin(), faults[i].end());
        ASSERT_FALSE(Phone(sb, words).empty());
        ASSERT_NO_FATAL_FAILURE(ExpectRestarted(unit));
        EXPECT_EQ(flashed, Md5(sb, "/.board/flash/app.bin")) << faults[i][0] << ": the flash as it was";
        EXPECT_FALSE(Has(unit.Output(), "upgrade.sh")) << unit.Output();
        EXPECT_TRUE(cloud.WaitLog("upgrade status type 0", static_cast<int>(i) + 1, 10s)) << cloud.Log();
    }
    EXPECT_TRUE(Has(cloud.Log(), "status 4")) << cloud.Log();
}

TEST(SystemCallbacksSystem, AResetFromThePhoneRestartsTheUnitUnactivated)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    sb.Write("/DeviceInfo/RoomInfo.conf", "101\n");
    sb.Write("/DeviceInfo/Channel.conf", "Front\nBack\n");
    {
        ChildProcess unit({Doorphone(), "-m", "2", "-t", cloud.Pair()}, {"DOORPHONE_ROOT=" + sb.Root()});
        // Online, and past the start of the online services (which write the door names).
        ASSERT_TRUE(unit.WaitForOutput("Get Server Time Success", 60s)) << unit.Output() << cloud.Log();
        Phone(sb, {"reset", "1"});
        ASSERT_NO_FATAL_FAILURE(ExpectRestarted(unit));
        EXPECT_TRUE(Has(unit.Output(), "reset ipc success. please restart the ipc 3")) << unit.Output();
    }
    EXPECT_FALSE(sb.Exists("/DeviceInfo/RoomInfo.conf"));
    EXPECT_FALSE(sb.Exists("/DeviceInfo/Channel.conf"));
    EXPECT_FALSE(sb.Exists("/DeviceInfo/noxa/noxa_user.db"));
    std::string shell = sb.Read("/.board/shell.log");
    EXPECT_TRUE(Has(shell, "run: rm " + sb.Root() + "/DeviceInfo/noxa.cfgs/* -r\n")) << shell;
    // The next run: no activation record, so no link; it waits for a new token.
    ChildProcess again({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(again.WaitForOutput("[NetStatusDetThread] PID = ", 30s)) << again.Output();
    std::this_thread::sleep_for(10s);
    EXPECT_FALSE(Has(again.Output(), "(stored record)")) << again.Output();
    EXPECT_FALSE(Has(again.Output(), "mqtt is online")) << again.Output();
    Stop(again);
}

TEST(SystemCallbacksSystem, OnlineTheClocksHoldTheSimulatorsLocalTime)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    ChildProcess unit({Doorphone(), "-m", "2", "-t", cloud.Pair()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("Get Server Time Success: ", 90s)) << unit.Output() << cloud.Log();
    // The simulator's zone is +01:00; its summer time is an hour more.
    std::string out = unit.Output();
    unsigned long utc = 0;
    int zone = 0;
    int summer = 0;
    ASSERT_EQ(3, std::sscanf(out.c_str() + out.find("Get Server Time Success: "), "Get Server Time Success: %lu %d %d",
                             &utc, &zone, &summer))
        << out;
    EXPECT_EQ(3600, zone);
    const long offset = 3600 + 3600L * summer;
    ASSERT_TRUE(Eventually([&] { return sb.Exists("/.board/rtc") && sb.Exists("/.board/clock_offset"); }, 10s));
    const double boardUs = std::atof(sb.Read("/.board/clock_offset").c_str());
    EXPECT_NEAR(static_cast<double>(offset), boardUs / 1e6, 3.0) << "board clock ahead of UTC";
    const double chip = std::atof(sb.Read("/.board/rtc").c_str());
    EXPECT_NEAR(static_cast<double>(offset), chip, 3.0) << "clock chip ahead of UTC";
    Stop(unit);
}

TEST(SystemCallbacksSystem, AnUnprovisionedWirelessUnitOffersItsAccessPoint)
{
    TestSandbox sb;
    ASSERT_TRUE(NetSim(sb, {"cable", "pull"}));
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    // The rtl8188f module's address ends in 79:01.
    std::string show;
    bool offered = Eventually(
        [&] {
            show = RunTool({SourceDir() + "/tools/netsim", sb.Root(), "show"});
            return Has(show, "ap-essid=Lumavo-7901");
        },
        60s);
    EXPECT_TRUE(offered) << show << unit.Output();
    EXPECT_TRUE(Has(show, "hostapd")) << show;
    Stop(unit);
}

}  // namespace
