// A signed cloud API POST there and back: the unit signs and encrypts, opens its TLS connection
// to the local cloud (tools/cloudsim), the simulator checks the sign and answers, the unit checks
// the answer's sign and decrypts it. 200 calls of the skill upload in each of two ways, taken in
// turns: as the unit makes them (the TLS session of the call before resumed) and with a full
// handshake (the kept sessions forgotten first). Median, 95th and 99th percentile of each,
// measured at the unit, and the ratio of the medians (full / resumed). The unit activates with a
// phone token first, as on a board.
#include "cloud_bench_util.h"
#include "cloud_peer.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_middleware/tls/noxa_tls.h"
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kCalls = 200;
const bool kDebug = getenv("BENCH_DEBUG") != nullptr;
const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

void BM_SignedPostRoundTrip(benchmark::State& state)
{
    TestSandbox box;
    CloudPeer cloud(box.Root());
    if (!benchcloud::StartOnline(state, cloud.Pair(), &kCbs, kDebug ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERR)) {
        return;
    }
    std::vector<double> ms[2];  // resumed, full
    for (auto& v : ms) {
        v.reserve(kCalls);
    }
    for (auto _ : state) {
        for (int i = 0; i < 2 * kCalls; ++i) {
            bool full = i % 2 == 1;
            if (full) {
                noxa_tls_session_forget(nullptr);
            }
            auto start = std::chrono::steady_clock::now();
            int ret = http_dev_update_skill(0, "{\\\"p2p\\\":1,\\\"cloudStorage\\\":1}");
            auto end = std::chrono::steady_clock::now();
            if (ret != 0) {
                state.SkipWithError("a call failed");
                mqc_app_stop();
                return;
            }
            ms[full ? 1 : 0].push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
    }
    mqc_app_stop();
    benchcloud::ReportSpread(state, ms[0], "calls");
    const char* const kWay[2] = {"resumed", "full"};
    double median[2];
    for (int w = 0; w < 2; ++w) {
        std::vector<double>& v = ms[w];
        std::sort(v.begin(), v.end());
        median[w] = v[v.size() / 2];
        state.counters[std::string(kWay[w]) + "_median_ms"] = median[w];
        state.counters[std::string(kWay[w]) + "_p95_ms"] = v[v.size() * 95 / 100];
        state.counters[std::string(kWay[w]) + "_p99_ms"] = v[v.size() * 99 / 100];
    }
    state.counters["full_over_resumed"] = median[1] / median[0];
}

BENCHMARK(BM_SignedPostRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
