// The service API's reports and doorbell events as the local cloud (tools/cloudsim and its
// broker) receives them from the cloud connection in this process.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<int> gOnline{0};

const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class IpcCloud : public testing::Test {
protected:
    void SetUp() override
    {
        mCloud = std::make_unique<CloudPeer>(mBox.Root());
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, [](uint8_t st) { gOnline = st == STAT_CLOUD_CONN; }));
        ASSERT_TRUE(StartActivation(mCloud->Pair()));
        for (int i = 0; i < 600 && gOnline == 0; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(1, gOnline.load()) << mCloud->Log();
    }
    void TearDown() override { mqc_app_stop(); }
    bool WaitAnswer(const std::string& cmd, const std::string& part)
    {
        for (int i = 0; i < 100; ++i) {
            if (Has(mCloud->Command(cmd), part)) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    TestSandbox mBox;
    std::unique_ptr<CloudPeer> mCloud;
};

}  // namespace

TEST_F(IpcCloud, ReportsAndTheDoorbellEventAtTheCloud)
{
    EXPECT_EQ(0, noxa_ipc_dp_report(nullptr, 108, PROP_ENUM, "2", 1));
    const uint32_t on = 1;
    EXPECT_EQ(-2, noxa_ipc_dp_report(nullptr, 101, PROP_BOOL, &on, 2));
    EXPECT_EQ(0, noxa_ipc_dp_report(nullptr, 134, PROP_BOOL, &on, 1));
    EXPECT_TRUE(WaitAnswer("state", "motion_alarm = true")) << mCloud->Command("state");
    std::string state = mCloud->Command("state");
    EXPECT_TRUE(Has(state, "= \"2\"")) << state;
    EXPECT_FALSE(Has(state, "101")) << state;

    // Mode 1: the event alone (protocol 43), no picture message.
    EXPECT_EQ(0, noxa_ipc_notify_door_bell_press_generic(1, nullptr, 0, 0));
    EXPECT_TRUE(WaitAnswer("events", "ac_doorbell")) << mCloud->Command("events") << mCloud->Log();
    EXPECT_FALSE(Has(mCloud->Command("reports"), "154")) << mCloud->Command("reports");
    EXPECT_EQ(0, noxa_ipc_door_bell_cancel());
    EXPECT_TRUE(WaitAnswer("events", "cancel")) << mCloud->Command("events");
}
