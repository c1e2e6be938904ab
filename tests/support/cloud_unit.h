// The unit's side of a cloud test: the core started in the sandbox as the simulated unit the
// local cloud (CloudPeer) knows, and its activation with a phone's pairing token. Header only:
// the suites that use it link the cloud core, the peer library does not.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// The core on the sandbox's storage, the sandbox's identity (the simulator knows it from the
// same device.conf) and the callbacks; `statusCb` may be null. Use with ASSERT_NO_FATAL_FAILURE.
inline void StartCloudUnit(const NOXA_IOT_CBS_S* cbs, GET_NW_STAT_CB statusCb)
{
    NOXA_IOT_INIT_PARAMS_S p = {};
    strcpy(p.platform, "test");
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
    const GW_PROD_INFO_S prod = {"noxa0test0unit0000000001", "T3stAuthKey0fTheSimulatedUnit001", nullptr, nullptr};
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&prod));
    ASSERT_EQ(0, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, cbs, "kwpzrmud4fjcvalo", "1.2.11"));
    if (statusCb != nullptr) {
        ASSERT_EQ(0, noxa_iot_reg_get_wf_nw_stat_cb_params(statusCb, 3600));
    }
}

// Binds the phone's token and starts the activation (not waiting for it).
inline bool StartActivation(const std::string& pairing)
{
    bool bound = gw_wifi_user_cfg("noxa", "kelp", pairing.c_str()) == 0;
    EXPECT_TRUE(bound);
    bool started = gw_active_start() == 0;
    EXPECT_TRUE(started);
    return bound && started;
}
