// A door call's road to the cloud through the whole process: the local cloud (tools/cloudsim, its
// broker and object stores), the unit (doorphone) and the door-station simulator on its bus. Each
// call starts when the station puts "call 1" on the bus (its stamp) and is timed to the cloud's
// receipt of the ring report (239 "0"), of the press event (43) and of the picture's message
// (154), all on the host's monotonic clock. The push keeps its waits (the snapshot's settling, the
// push delay, the snapshot's file), so 43 and 154 come seconds later. Calls are spaced: the
// handset hangs up and the push has ended (the unit sends neither a push nor a ring report while
// one runs). 50th and 95th percentiles (nearest rank) of 50 calls.
#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"
#include "unit_cast.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kCalls = 50;
const std::string kCallFrame = "] bus -> unit: talk order 0";

double Percentile(const std::vector<double>& sorted, int pct)
{
    size_t rank = (sorted.size() * static_cast<size_t>(pct) + 99) / 100;
    return sorted[rank == 0 ? 0 : rank - 1];
}

// The stamp of the n-th call frame the station put on the bus (0-based), -1 when not yet.
long long NthCall(const std::string& out, int n)
{
    size_t at = 0;
    for (int i = 0; i <= n; ++i) {
        at = out.find(kCallFrame, at);
        if (at == std::string::npos) {
            return -1;
        }
        at += kCallFrame.size();
    }
    size_t open = out.rfind("[mono ", at - kCallFrame.size());
    return open == std::string::npos ? -1 : std::atoll(out.c_str() + open + 6);
}

// The first arrival at the cloud after `since` whose line holds `what`, -1 when none yet.
long long Arrival(CloudPeer& cloud, long long since, const std::string& what)
{
    std::istringstream lines(cloud.Command("arrivals"));
    std::string line;
    while (std::getline(lines, line)) {
        const long long t = std::atoll(line.c_str());
        if (t > since && line.find(what) != std::string::npos) {
            return t;
        }
    }
    return -1;
}

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

void BM_DoorCallToCloud(benchmark::State& state)
{
    TestSandbox box;
    CloudPeer cloud(box.Root());
    if (cloud.Command("stores").rfind("s3 ", 0) != 0) {
        state.SkipWithError("no object stores");
        return;
    }
    UnitCast cast;
    if (!StartUnitCast(state, box, cloud, &cast, true)) {
        return;
    }
    ChildProcess& station = *cast.station;
    ChildProcess& unit = *cast.unit;
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the full-state report goes out first
    std::vector<double> ring;
    std::vector<double> press;
    std::vector<double> picture;
    for (auto _ : state) {
        for (int i = 0; i < kCalls; ++i) {
            station.WriteLine("call 1");
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            long long t0 = -1;
            long long t239 = -1;
            long long t43 = -1;
            long long t154 = -1;
            while (t154 < 0 && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                if (t0 < 0) {
                    t0 = NthCall(station.Output(), i);
                    continue;
                }
                t239 = t239 < 0 ? Arrival(cloud, t0, "dp 239 \"0\"") : t239;
                t43 = t43 < 0 ? Arrival(cloud, t0, "protocol 43 ") : t43;
                t154 = Arrival(cloud, t0, "dp 154 ");
            }
            if (t0 < 0 || t239 < 0 || t43 < 0 || t154 < 0) {
                state.SkipWithError("a call did not reach the cloud");
                break;
            }
            ring.push_back(static_cast<double>(t239 - t0) / 1000.0);
            press.push_back(static_cast<double>(t43 - t0) / 1000.0);
            picture.push_back(static_cast<double>(t154 - t0) / 1000.0);
            // The handset hangs up; the push has ended once its thread has and its 2 s guard ran out.
            station.WriteLine("takeoff");
            const auto pushEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (Count(unit.Output(), "SendImageThread End") <= i &&
                   std::chrono::steady_clock::now() < pushEnd) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2100));
        }
    }
    unit.Kill(SIGTERM);
    unit.WaitExit(std::chrono::seconds(10));
    if (ring.empty()) {
        return;
    }
    // Every call's figures on stderr, in their order, for a look at the tail.
    for (size_t i = 0; i < ring.size(); ++i) {
        fprintf(stderr, "call %zu: 239 %.1f ms, 43 %.1f ms, 154 %.1f ms\n", i, ring[i], press[i], picture[i]);
    }
    for (auto* v : {&ring, &press, &picture}) {
        std::sort(v->begin(), v->end());
    }
    state.counters["calls"] = static_cast<double>(ring.size());
    state.counters["ring239_p50_ms"] = Percentile(ring, 50);
    state.counters["ring239_p95_ms"] = Percentile(ring, 95);
    state.counters["ring239_max_ms"] = ring.back();
    state.counters["press43_p50_ms"] = Percentile(press, 50);
    state.counters["press43_p95_ms"] = Percentile(press, 95);
    state.counters["pic154_p50_ms"] = Percentile(picture, 50);
    state.counters["pic154_p95_ms"] = Percentile(picture, 95);
}

BENCHMARK(BM_DoorCallToCloud)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
