// The cloud set-up the cloud benchmarks share: the core started in the sandbox, the unit
// activated at the local cloud with a phone's pairing token, and the spread of the times.
#pragma once

#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace benchcloud {

inline std::atomic<int> gOnline{0};

inline void OnlineCb(uint8_t status)
{
    gOnline.store(status == STAT_CLOUD_CONN ? 1 : 0);
}

// The slot-4 callback: every command is reported back as it came.
inline void EchoDpCb(const RECV_OBJ_DP_S* dp)
{
    dev_report_dp_json_async(nullptr, dp->dps, dp->dps_cnt, 1);
}

// The cloud core on the sandbox's storage; false (the run skipped) when it did not start.
inline bool StartCore(benchmark::State& state, int logLevel = LOG_LEVEL_ERR)
{
    NOXA_IOT_INIT_PARAMS_S p = {};
    strcpy(p.platform, "bench");
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    if (noxa_iot_init_params("/DeviceInfo/noxa/", &p) != 0) {
        state.SkipWithError("cloud core did not start");
        return false;
    }
    uni_log_set_level(logLevel);
    return true;
}

// The simulated unit's identity, its callbacks, and the activation with the phone's token.
inline void ActivateAtLocalCloud(const std::string& pairToken, const NOXA_IOT_CBS_S* cbs, GET_NW_STAT_CB statusCb)
{
    const GW_PROD_INFO_S prod = {"noxa0test0unit0000000001", "T3stAuthKey0fTheSimulatedUnit001", nullptr, nullptr};
    noxa_iot_set_gw_prod_info(&prod);
    noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, cbs, "kwpzrmud4fjcvalo", "1.2.11");
    if (statusCb != nullptr) {
        noxa_iot_reg_get_wf_nw_stat_cb_params(statusCb, 3600);
    }
    gw_wifi_user_cfg("noxa", "kelp", pairToken.c_str());
    gw_active_start();
}

// Polls every 10 ms, at most `tries` times; true once `done` holds.
template <class Done>
bool WaitFor(Done done, int tries)
{
    for (int i = 0; i < tries && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Core, activation and the wait until the unit is online (30 s); false (the run skipped) when
// it did not come online.
inline bool StartOnline(benchmark::State& state, const std::string& pairToken, const NOXA_IOT_CBS_S* cbs,
                        int logLevel = LOG_LEVEL_ERR)
{
    if (!StartCore(state, logLevel)) {
        return false;
    }
    ActivateAtLocalCloud(pairToken, cbs, OnlineCb);
    if (!WaitFor([] { return gOnline.load() != 0; }, 3000)) {
        state.SkipWithError("the unit did not come online");
        return false;
    }
    return true;
}

// Sorts the times and reports how many, the median and the 99th percentile.
inline void ReportSpread(benchmark::State& state, std::vector<double>& ms, const char* countName)
{
    std::sort(ms.begin(), ms.end());
    state.counters[countName] = static_cast<double>(ms.size());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
}

}  // namespace benchcloud
