// The whole process on the simulated network: it starts wired on the cable, and a cable pulled
// or plugged in for long enough restarts it on the other network.
#include "netsim.h"
#include "process.h"
#include "sandbox.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

// The status thread waits 10 s, then a changed cable needs 9 passes of 1 s (and 2 s more on
// the way to Wi-Fi): a restart comes about 21 s after the change at the latest.
constexpr auto kSwitchLimit = 60s;

void ExpectRebooted(ChildProcess& unit, const TestSandbox& sb)
{
    int status = unit.WaitExit(kSwitchLimit);
    ASSERT_NE(-1, status) << unit.Output();
    ASSERT_TRUE(WIFEXITED(status)) << unit.Output();
    EXPECT_EQ(86, WEXITSTATUS(status)) << unit.Output();
    EXPECT_TRUE(sb.Exists("/.board/reboot"));
}

}  // namespace

TEST(NetworkSystem, StartsWiredAndRestartsWhenTheCableIsPulled)
{
    TestSandbox sb;
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("hwl_bnw_station_conn()\t1", 20s)) << unit.Output();
    ASSERT_TRUE(unit.WaitForOutput("udhcpc: lease of 192.168.10.100", 20s)) << unit.Output();
    ASSERT_TRUE(unit.WaitForOutput("[NetStatusDetThread] PID = ", 20s)) << unit.Output();
    // A fresh unit drew its address and gave it to the port.
    std::string mac = sb.Read("/DeviceInfo/mac.conf");
    EXPECT_NE("00:00:00:00:00:00", mac);
    std::string port = sb.Read("/.board/net/if/eth0/hwaddr");
    EXPECT_STRCASEEQ((mac + "\n").c_str(), port.c_str());
    EXPECT_EQ("192.168.10.100\n", sb.Read("/.board/net/if/eth0/addr"));
    EXPECT_FALSE(sb.Exists("/.board/net/if/wlan0"));

    ASSERT_TRUE(NetSim(sb, {"cable", "pull"}));
    ExpectRebooted(unit, sb);
    EXPECT_NE(std::string::npos, unit.Output().find("Change to Wifi")) << unit.Output();
}

TEST(NetworkSystem, StartsWirelessWithoutTheCableAndRestartsWiredWhenItIsPlugged)
{
    TestSandbox sb;
    ASSERT_TRUE(NetSim(sb, {"cable", "pull"}));
    std::string mac;
    {
        ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
        ASSERT_TRUE(unit.WaitForOutput("hwl_bnw_station_conn()\t0", 20s)) << unit.Output();
        ASSERT_TRUE(unit.WaitForOutput("[NetStatusDetThread] PID = ", 20s)) << unit.Output();
        EXPECT_TRUE(sb.Exists("/.board/net/if/wlan0"));  // the rtl8188f driver found its module
        EXPECT_NE(std::string::npos, sb.Read("/.board/shell.log").find("run: insmod " + sb.Root() + "/customer/ko/rtl8188f.ko\n"));
        mac = sb.Read("/DeviceInfo/mac.conf");
        ASSERT_TRUE(NetSim(sb, {"cable", "plug"}));
        ExpectRebooted(unit, sb);
        EXPECT_NE(std::string::npos, unit.Output().find("Change to Wired")) << unit.Output();
    }
    // The board comes up again: wired now, with the address drawn on the first start.
    ASSERT_TRUE(NetSim(sb, {"boot"}));
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("hwl_bnw_station_conn()\t1", 20s)) << unit.Output();
    EXPECT_EQ(mac, sb.Read("/DeviceInfo/mac.conf"));
    EXPECT_STRCASEEQ((mac + "\n").c_str(), sb.Read("/.board/net/if/eth0/hwaddr").c_str());
    unit.Kill(SIGTERM);
}
