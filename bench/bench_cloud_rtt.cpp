// A data point's round trip between the local cloud (tools/cloudsim and its broker, TLS on the
// unit's link) and the unit's cloud connection in this process: the simulator's "rtt ID VALUE"
// sends the command (protocol 5) and times, at the cloud, until the unit's report of that value
// (protocol 4) has arrived; the unit's slot-4 callback reports every command back. Median and
// 99th percentile of 1,000 trips. The unit activates with a phone token first, as on a board.
#include "cloud_peer.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kTrips = 1000;
std::atomic<int> gOnline{0};

void StatusCb(uint8_t status)
{
    gOnline.store(status == STAT_CLOUD_CONN ? 1 : 0);
}

void ObjDpCb(const RECV_OBJ_DP_S* dp)
{
    dev_report_dp_json_async(nullptr, dp->dps, dp->dps_cnt, 1);
}

const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, ObjDpCb, nullptr, nullptr, nullptr};

void BM_DataPointRoundTripAtTheSimulator(benchmark::State& state)
{
    TestSandbox box;
    CloudPeer cloud(box.Root());
    NOXA_IOT_INIT_PARAMS_S p = {};
    strcpy(p.platform, "bench");
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    if (noxa_iot_init_params("/DeviceInfo/noxa/", &p) != 0) {
        state.SkipWithError("cloud core did not start");
        return;
    }
    uni_log_set_level(LOG_LEVEL_ERR);
    const GW_PROD_INFO_S prod = {"noxa0test0unit0000000001", "T3stAuthKey0fTheSimulatedUnit001", nullptr, nullptr};
    noxa_iot_set_gw_prod_info(&prod);
    noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, "kwpzrmud4fjcvalo", "1.2.11");
    noxa_iot_reg_get_wf_nw_stat_cb_params(StatusCb, 3600);
    gw_wifi_user_cfg("noxa", "kelp", cloud.Pair().c_str());
    gw_active_start();
    for (int i = 0; i < 3000 && gOnline.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (gOnline.load() == 0) {
        state.SkipWithError("the unit did not come online");
        return;
    }
    std::vector<double> ms;
    ms.reserve(kTrips);
    for (auto _ : state) {
        for (int i = 0; i < kTrips; ++i) {
            // A new value every time, so that each report is the answer to its own command.
            std::string answer = cloud.Command("rtt 147 " + std::to_string(1000 + i));
            size_t at = answer.find(" us");
            size_t num = answer.rfind(' ', at - 1);
            if (at == std::string::npos || num == std::string::npos) {
                state.SkipWithError(("no round trip: " + answer).c_str());
                mqc_app_stop();
                return;
            }
            ms.push_back(std::stod(answer.substr(num + 1, at - num - 1)) / 1000.0);
        }
    }
    mqc_app_stop();
    std::sort(ms.begin(), ms.end());
    state.counters["trips"] = static_cast<double>(ms.size());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
    state.counters["max_ms"] = ms.back();
}

BENCHMARK(BM_DataPointRoundTripAtTheSimulator)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
