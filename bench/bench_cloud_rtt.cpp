// A data point's round trip between the local cloud (tools/cloudsim and its broker, TLS on the
// unit's link) and the unit's cloud connection in this process: the simulator's "rtt ID VALUE"
// sends the command (protocol 5) and times, at the cloud, until the unit's report of that value
// (protocol 4) has arrived; the unit's slot-4 callback reports every command back. Median and
// 99th percentile of 1,000 trips. The unit activates with a phone token first, as on a board.
#include "cloud_bench_util.h"
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
const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, benchcloud::EchoDpCb, nullptr, nullptr, nullptr};

void BM_DataPointRoundTripAtTheSimulator(benchmark::State& state)
{
    TestSandbox box;
    CloudPeer cloud(box.Root());
    if (!benchcloud::StartOnline(state, cloud.Pair(), &kCbs)) {
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
    benchcloud::ReportSpread(state, ms, "trips");
    state.counters["max_ms"] = ms.back();
}

BENCHMARK(BM_DataPointRoundTripAtTheSimulator)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
