// The unit's MQTT application layer online against a broker of the test's own (plain TCP on
// 127.0.0.1), with the cloud played by the libmosquitto peer of the cloud suites (written apart
// from the unit's envelope code). Also what the camera protocol suites share: the slot calls of
// the MQTT layer's ordered worker, awaited without sleeping.
#pragma once

#include "noxa_iot_sdk/cloud_wire.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_middleware/mosquitto_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace mqtlink {

// 25 characters: the longest device id, so topics are built at their longest.
const std::string kDevId = "noxadev000000000000000001";
const std::string kKey = "0123456789abcdef";

// The core on the sandbox's storage, started as a gateway (nothing online yet).
inline void InitCore()
{
    NOXA_IOT_INIT_PARAMS_S p = {};
    strcpy(p.platform, "test");
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
}

inline void StartGateway()
{
    static const NOXA_IOT_CBS_S kCbs = {};
    ASSERT_EQ(0, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, "kwpzrmud4fjcvalo", "1.2.11"));
}

inline void Activate()
{
    gw_set_active_ids(kDevId.c_str(), kKey.c_str());
    get_gw_cntl()->active_stat.store(ACTIVATED);
}

// Every job posted to the ordered worker before this call has run when it returns true.
inline bool WorkerDrained()
{
    auto* done = new std::promise<void>;
    std::future<void> f = done->get_future();
    int ret = mqc_work_post(
        [](void* p) {
            std::unique_ptr<std::promise<void>> d(static_cast<std::promise<void>*>(p));
            d->set_value();
        },
        done);
    if (ret != 0) {
        delete done;
        return false;
    }
    return f.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

// A broker and the cloud's client on it; the unit's link started by Start().
class Link {
public:
    Link() : mBroker(mqttpeer::Mosquitto::Config{}) {}
    ~Link()
    {
        mqc_app_stop();
        mCloud.reset();
    }

    // The link up (subscribed) within 20 s.
    bool Start()
    {
        std::string url = "tcp://127.0.0.1:" + std::to_string(mBroker.Port());
        if (mqc_app_start(url.c_str()) != 0) {
            return false;
        }
        return WaitOnline();
    }
    static bool WaitOnline()
    {
        for (int i = 0; i < 400 && mqc_app_online() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return mqc_app_online() == 1;
    }
    cloudpeer::Cloud& Cloud()
    {
        if (mCloud == nullptr) {
            mCloud = std::make_unique<cloudpeer::Cloud>("127.0.0.1", mBroker.Port(), kDevId, kKey);
        }
        return *mCloud;
    }
    mqttpeer::Mosquitto& Broker() { return mBroker; }

private:
    mqttpeer::Mosquitto mBroker;
    std::unique_ptr<cloudpeer::Cloud> mCloud;
};

}  // namespace mqtlink
