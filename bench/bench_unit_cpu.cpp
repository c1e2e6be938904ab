// CPU of the unit's process, idle (online, nothing happening) and during a door call watched by
// one viewer (main stream), each over a 20 s window: user + system ticks of every thread from
// /proc/PID/task. The simulated media layer's thread ("mi_sim_pump": capture, scaling,
// overlays, H.264 and JPEG encoding, the SoC's hardware on the unit) is counted apart; the rest
// is the unit's own. In percent of one core; the busiest threads are printed.
#include "unit_proc.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr auto kWindow = 20s;

struct Share {
    double total = 0;
    double sim = 0;
};

// CPU over one window, with the busiest threads of it printed under `what`.
Share Measure(unitproc::DoorCallCast& cast, const char* what)
{
    const pid_t pid = cast.UnitPid();
    const auto t0 = std::chrono::steady_clock::now();
    const std::map<std::string, long long> before = unitproc::TicksByThread(pid);
    cast.Pass(std::chrono::duration_cast<std::chrono::milliseconds>(kWindow));
    const std::map<std::string, long long> after = unitproc::TicksByThread(pid);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    Share s;
    std::vector<std::pair<double, std::string>> busiest;
    for (const auto& [name, ticks] : after) {
        auto it = before.find(name);
        const double pct = static_cast<double>(ticks - (it == before.end() ? 0 : it->second)) / tick / seconds * 100.0;
        s.total += pct;
        if (name == unitproc::kSimThread) {
            s.sim += pct;
        }
        busiest.emplace_back(pct, name);
    }
    std::sort(busiest.rbegin(), busiest.rend());
    std::fprintf(stderr, "%s: %.1f %% of a core, of it the simulation %.1f %%, the unit %.1f %%; busiest:", what,
                 s.total, s.sim, s.total - s.sim);
    for (size_t i = 0; i < busiest.size() && i < 6; ++i) {
        std::fprintf(stderr, " %s %.1f%%", busiest[i].second.c_str(), busiest[i].first);
    }
    std::fprintf(stderr, "\n");
    return s;
}

void BM_UnitCpuIdleAndInACallWithOneViewer(benchmark::State& state)
{
    unitproc::DoorCallCast cast;
    std::string why;
    if (!cast.Start(&why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    Share idle, call;
    for (auto _ : state) {
        cast.Pass(5s);  // the start's reports and uploads are over
        idle = Measure(cast, "idle");
        if (!cast.CallAndWatch(40, &why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        cast.Pass(5s);
        call = Measure(cast, "call with one viewer");
    }
    cast.Stop();
    state.counters["idle_total_pct"] = idle.total;
    state.counters["idle_sim_pct"] = idle.sim;
    state.counters["idle_unit_pct"] = idle.total - idle.sim;
    state.counters["call_total_pct"] = call.total;
    state.counters["call_sim_pct"] = call.sim;
    state.counters["call_unit_pct"] = call.total - call.sim;
}

BENCHMARK(BM_UnitCpuIdleAndInACallWithOneViewer)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
