// Phone to door through the whole process: the local cloud (tools/cloudsim and its broker), the
// unit (doorphone) and the door-station simulator on its bus. Each trip sends the simulator's
// data-point command 241 and ends at the unlock order on the bus, stamped by the door station on
// the monotonic clock. 50th, 95th and 99th percentiles (nearest rank) of 100 trips.
#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"
#include "unit_cast.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kTrips = 100;
const std::string kUnlock = "] unit -> bus: talk order 13 value1 0";

// Nearest rank: the smallest trip time that `pct` percent of the trips do not exceed.
double Percentile(const std::vector<double>& sorted, int pct)
{
    size_t rank = (sorted.size() * static_cast<size_t>(pct) + 99) / 100;
    return sorted[rank == 0 ? 0 : rank - 1];
}

long long MonoUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The stamp of the n-th unlock line (0-based), -1 when it is not there yet.
long long NthStamp(const std::string& out, int n)
{
    size_t at = 0;
    for (int i = 0; i <= n; ++i) {
        at = out.find(kUnlock, at);
        if (at == std::string::npos) {
            return -1;
        }
        at += kUnlock.size();
    }
    size_t open = out.rfind("[mono ", at - kUnlock.size());
    return open == std::string::npos ? -1 : std::atoll(out.c_str() + open + 6);
}

void BM_PhoneUnlockToBus(benchmark::State& state)
{
    TestSandbox box;
    CloudPeer cloud(box.Root());
    UnitCast cast;
    if (!StartUnitCast(state, box, cloud, &cast, true)) {
        return;
    }
    ChildProcess& station = *cast.station;
    ChildProcess& unit = *cast.unit;
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the full-state report goes out first
    std::vector<double> ms;
    for (auto _ : state) {
        for (int i = 0; i < kTrips; ++i) {
            const long long t0 = MonoUs();
            cloud.Command("dp 241 1");
            long long t1 = -1;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while ((t1 = NthStamp(station.Output(), i)) < 0 && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (t1 < 0) {
                state.SkipWithError("no unlock order on the bus");
                break;
            }
            ms.push_back(static_cast<double>(t1 - t0) / 1000.0);
            // The lock's session and the bus's pace settle before the next trip.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            unit.Output();  // its log read between trips, so a full pipe never stalls the unit
        }
    }
    unit.Kill(SIGTERM);
    unit.WaitExit(std::chrono::seconds(10));
    if (ms.empty()) {
        return;
    }
    std::sort(ms.begin(), ms.end());
    state.counters["trips"] = static_cast<double>(ms.size());
    state.counters["p50_ms"] = Percentile(ms, 50);
    state.counters["p95_ms"] = Percentile(ms, 95);
    state.counters["p99_ms"] = Percentile(ms, 99);
    state.counters["max_ms"] = ms.back();
}

BENCHMARK(BM_PhoneUnlockToBus)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
