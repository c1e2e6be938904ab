// A signed cloud API POST there and back: the unit signs and encrypts, opens its TLS connection
// to the local cloud (tools/cloudsim), the simulator checks the sign and answers, the unit checks
// the answer's sign and decrypts it. Median and 99th percentile of 200 calls of the skill upload,
// measured at the unit. The unit activates with a phone token first, as on a board.
#include "cloud_peer.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kCalls = 200;
const bool kDebug = getenv("BENCH_DEBUG") != nullptr;
std::atomic<int> gOnline{0};

void StatusCb(uint8_t status)
{
    gOnline.store(status == STAT_CLOUD_CONN ? 1 : 0);
}

const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

void BM_SignedPostRoundTrip(benchmark::State& state)
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
    uni_log_set_level(kDebug ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERR);
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
    ms.reserve(kCalls);
    for (auto _ : state) {
        for (int i = 0; i < kCalls; ++i) {
            auto start = std::chrono::steady_clock::now();
            int ret = http_dev_update_skill(0, "{\\\"p2p\\\":1,\\\"cloudStorage\\\":1}");
            auto end = std::chrono::steady_clock::now();
            if (ret != 0) {
                state.SkipWithError("a call failed");
                mqc_app_stop();
                return;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
    }
    mqc_app_stop();
    std::sort(ms.begin(), ms.end());
    state.counters["calls"] = static_cast<double>(ms.size());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
}

BENCHMARK(BM_SignedPostRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
