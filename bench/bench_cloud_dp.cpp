// A data point's round trip through the unit's cloud link over TLS: the cloud (a libmosquitto
// client with an encoder of its own, OpenSSL and zlib) sends a command (protocol 5), the unit
// decodes it, checks it against the schema on a work thread and hands it to the slot-4 callback,
// which reports the value back (protocol 4); the time runs until the cloud has the report.
// Median and 99th percentile of 1,000 trips, one in flight, on a mosquitto of the bench's own
// (its TLS listener for the unit, the plain one for the cloud's client).
#include "cloud_bench_util.h"
#include "cloud_wire.h"
#include "mosquitto_peer.h"
#include "net_peers.h"
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/dp_schema.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "platform/board_net.h"
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kTrips = 1000;
const std::string kDevId = "bench01";
const std::string kKey = "0123456789abcdef";

const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, benchcloud::EchoDpCb, nullptr, nullptr, nullptr};

void BM_DataPointRoundTripTls(benchmark::State& state)
{
    if (!netpeer::TestPki::HaveTestCa()) {
        state.SkipWithError("no test CA in this build");
        return;
    }
    TestSandbox box;
    netpeer::TestPki pki;
    mqttpeer::Mosquitto::Config cfg;
    pki.Server("rsa", &cfg.tlsCert, &cfg.tlsKey);
    mqttpeer::Mosquitto broker(cfg);
    box.Write("/.board/net/hosts", "127.0.0.1 noxa.test\n");  // the name the test certificate carries
    if (!benchcloud::StartCore(state)) {
        return;
    }
    unw_set_sys_resolver(BoardResolveHost);
    noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, "kwpzrmud4fjcvalo", "1.2.11");
    noxa_iot_reg_get_wf_nw_stat_cb_params(benchcloud::OnlineCb, 3600);
    GW_CNTL_S* gw = get_gw_cntl();
    strcpy(gw->devId, kDevId.c_str());
    strcpy(gw->localKey, kKey.c_str());
    dp_schema_load(R"([{"id":101,"code":"switch","mode":"rw","type":"obj","property":{"type":"bool"}}])");

    std::mutex m;
    std::condition_variable cv;
    size_t got = 0;
    cloudpeer::Cloud cloud("127.0.0.1", broker.Port(), kDevId, kKey);
    cloud.OnEach = [&](const cloudpeer::Cloud::Received&) {
        std::lock_guard<std::mutex> lock(m);
        ++got;
        cv.notify_all();
    };
    std::string url = "ssl://noxa.test:" + std::to_string(broker.TlsPort());
    mqc_app_start(url.c_str());
    if (!benchcloud::WaitFor([] { return benchcloud::gOnline.load() != 0; }, 1000)) {
        state.SkipWithError("the unit did not come online");
        mqc_app_stop();
        return;
    }
    std::vector<double> ms;
    ms.reserve(kTrips);
    bool lost = false;
    for (auto _ : state) {
        for (int i = 0; i < kTrips && !lost; ++i) {
            size_t before = 0;
            {
                std::lock_guard<std::mutex> lock(m);
                before = got;
            }
            auto t0 = std::chrono::steady_clock::now();
            cloud.Send(PRO_CMD, i % 2 == 0 ? R"({"dps":{"101":true}})" : R"({"dps":{"101":false}})");
            std::unique_lock<std::mutex> lock(m);
            lost = !cv.wait_for(lock, std::chrono::seconds(5), [&] { return got > before; });
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
    }
    mqc_app_stop();
    if (lost) {
        state.SkipWithError("a report did not come back");
        return;
    }
    benchcloud::ReportSpread(state, ms, "trips");
    state.counters["max_ms"] = ms.back();
}

BENCHMARK(BM_DataPointRoundTripTls)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
