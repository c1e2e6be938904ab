// The upgrade against the local cloud, with the cloud core in this process: the simulator's offer
// (protocol 15) reaches the upgrade callback, the image comes down through the service API's
// download, the installer flashes it and the unit restarts; an altered or cut image installs
// nothing, and the simulator hears the failure's status. The restart is counted, not done.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_base/events.h"
#include "sandbox.h"

#include "SystemCallbacks.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace std::chrono_literals;

Events gEvents;

const NOXA_IOT_CBS_S kCbs = {
    [](uint8_t status) { gEvents.Add("status" + std::to_string(status)); },
    IPC_APP_upgrade_inform,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(UpgradeCloud, TheImageIsFlashedAndAnAlteredOrCutOneIsReported)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    gSystemReboot = [] { gEvents.Add("reboot"); };
    ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, kCbs.gw_status_cb));
    ASSERT_TRUE(StartActivation(cloud.Pair()));
    ASSERT_TRUE(gEvents.WaitFor("status7")) << cloud.Log();

    const struct {
        const char* name;
        const char* fault;  // "" for none
        bool installed;
    } rows[] = {{"app.bin", "", true}, {"bad.bin", "corrupt", false}, {"cut.bin", "cut 500", false}};
    std::string flashed;
    int reboots = 0;
    for (const auto& r : rows) {
        std::istringstream image(cloud.Command(std::string("firmware ") + r.name + " 1000"));
        std::string url;
        std::string md5;
        std::string size;
        image >> url >> md5 >> size;
        ASSERT_EQ("1000", size);
        if (r.fault[0] != '\0') {
            cloud.Command(r.fault);
        }
        const int installs = cloud.LogCount("upgrade status");
        const std::string tools = sb.Read("/.board/tools.log");
        cloud.Command("upgrade " + url + " " + md5 + " 1.2.12 1000");
        ASSERT_TRUE(gEvents.WaitFor("reboot", ++reboots)) << r.name << cloud.Log();
        const bool ranInstaller = Has(sb.Read("/.board/tools.log").substr(tools.size()), "upgrade.sh");
        EXPECT_EQ(r.installed, ranInstaller) << r.name;
        if (r.installed) {
            std::string bytes = sb.Read("/.board/flash/app.bin");
            EXPECT_EQ(1000u, bytes.size());
            EXPECT_EQ(sb.Read("/dev/VN204QH_APP.bin"), bytes);
            EXPECT_TRUE(Has(sb.Read("/.board/tools.log"), "flashed app.bin md5 " + md5)) << r.name;
            flashed = bytes;
            // The phone sees what the rate rule let through: the start, then the end.
            std::string reports = cloud.Command("reports");
            EXPECT_TRUE(Has(reports, "{\"progress\":0,\"type\":0}")) << reports;
            EXPECT_TRUE(Has(reports, "{\"progress\":100,\"type\":0}")) << reports;
            EXPECT_EQ(installs, cloud.LogCount("upgrade status")) << "no failure reported";
        } else {
            EXPECT_EQ(flashed, sb.Read("/.board/flash/app.bin")) << r.name << ": the flash as it was";
            EXPECT_TRUE(cloud.WaitLog("upgrade status", installs + 1, 10s)) << r.name << cloud.Log();
            EXPECT_TRUE(Has(cloud.Log(), " status 4")) << cloud.Log();
        }
    }
}

}  // namespace
