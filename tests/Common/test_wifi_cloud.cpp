// The gateway's Wi-Fi with the cloud core in this process, on a wireless board: unprovisioned it
// offers its access point; the user's network (gw_wifi_user_cfg) ends it, is joined, leased and
// kept, and the unit goes online with the user's token. The whole process started again on the
// board (powered up anew) joins the kept network by itself and comes online without a token.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "netsim.h"
#include "noxa_base/events.h"
#include "process.h"
#include "sandbox.h"

#include "AppState.h"
#include "Network.h"
#include "Peripheral.h"
#include "WifiFunctions.h"
#include "noxa_iot_sdk/noxa_cloud/gw_wifi.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "platform/board_path.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

Events gEvents;

// The join's waits take no time, but the 8 s one lets wpa_supplicant, started in the background,
// come up as it does meanwhile on the unit.
void JoinWait(uint32_t ms)
{
    if (ms == 8000) {
        std::string run = BoardRoot() + "/.board/net/run/wpa_supplicant";
        Eventually([&] { return access(run.c_str(), F_OK) == 0; }, 10s);
    }
}

const NOXA_IOT_CBS_S kCbs = {
    [](uint8_t status) { gEvents.Add("status" + std::to_string(status)); }, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(WifiCloud, TheUsersNetworkIsJoinedAndKeptAndARestartedUnitRejoinsIt)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    ASSERT_TRUE(NetSim(sb, {"cable", "pull"}));
    ASSERT_TRUE(NetSim(sb, {"wifi", "add", "Home", "secret123", "6", "60"}));
    // A wireless unit as its start leaves it: the module's driver loaded, wlan0 down.
    gAppState.Wired = 0;
    gBoardIoSleep = JoinWait;
    LoadWifiDriver();
    WifiFunctionsInstall();
    ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, kCbs.gw_status_cb));

    // Nothing kept: the access point for the phone.
    ASSERT_EQ(0, gw_wifi_start());
    ASSERT_TRUE(Eventually([&] { return sb.Read("/.board/net/if/wlan0/essid") == "Lumavo-7901\n"; }, 10s));

    ASSERT_EQ(0, gw_wifi_user_cfg("Home", "secret123", cloud.Pair().c_str()));
    EXPECT_FALSE(sb.Exists("/.board/net/run/hostapd")) << "the access point ended";
    WF_IP_INFO_S ip = {};
    ASSERT_EQ(0, wf_get_ip(WF_STATION, &ip));
    EXPECT_STREQ("192.168.20.100", ip.ip);
    EXPECT_STREQ("192.168.20.1", ip.gw) << sb.Read("/proc/net/route");
    GW_WORK_STAT_MAG_S kept = {};
    ASSERT_EQ(0, wd_gw_wsm_read(&kept));
    EXPECT_STREQ("Home", kept.ssid);
    EXPECT_STREQ("secret123", kept.passwd);
    EXPECT_STREQ("", kept.token) << "a used token is not kept";

    ASSERT_EQ(0, gw_active_start());
    ASSERT_TRUE(gEvents.WaitFor("status7")) << cloud.Log();
    mqc_app_stop();

    // The board powered up anew, the whole process on it: the kept network, then the cloud.
    ASSERT_TRUE(NetSim(sb, {"boot"}));
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("Dbg:mqtt is online", 90s)) << unit.Output() << cloud.Log();
    EXPECT_TRUE(Has(unit.Output(), "hwl_bnw_station_conn()\t0")) << unit.Output();
    EXPECT_TRUE(Has(sb.Read("/etc/wpa.conf"), "ssid=\"Home\"\n"));
    EXPECT_EQ("192.168.20.100\n", sb.Read("/.board/net/if/wlan0/addr"));
    EXPECT_FALSE(sb.Exists("/.board/net/run/hostapd")) << "no access point beside the kept network";
    EXPECT_EQ(1, cloud.LogCount("activate")) << "online on the stored activation";
    unit.Kill(SIGTERM);
    unit.WaitExit(10s);
}

}  // namespace
