// Lateness of the system timer's callbacks: 50 cyclic 10 ms timers on the real clock while
// another thread keeps a second core busy. Lateness is how much each period exceeds 10 ms. A
// cyclic timer is re-armed from the moment its callback is about to run, so lateness is never
// made up: the callbacks missed per second are what the timers owed (50 x 100 a second) and did
// not deliver.
#include "noxa_base/sys_serv/sys_timer.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimers = 50;
constexpr uint32_t kPeriodMs = 10;

struct TimerProbe {
    Clock::time_point last;
};

std::mutex gMutex;
std::vector<double> gLatenessMs;
TimerProbe gProbes[kTimers];

void OnTimer(TIMER_ID, void* arg)
{
    auto* probe = static_cast<TimerProbe*>(arg);
    Clock::time_point now = Clock::now();
    double late = std::chrono::duration<double, std::milli>(now - probe->last).count() - kPeriodMs;
    probe->last = now;
    std::lock_guard<std::mutex> lock(gMutex);
    gLatenessMs.push_back(late);
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void BM_SysTimerLateness(benchmark::State& state)
{
    system_timer_init();
    std::atomic<bool> stop{false};
    std::thread busy([&stop] {
        volatile uint64_t spin = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            spin = spin + 1;
        }
    });
    std::vector<TIMER_ID> ids(kTimers);
    double seconds = 0;
    for (auto _ : state) {
        gLatenessMs.clear();
        Clock::time_point start = Clock::now();
        for (int i = 0; i < kTimers; ++i) {
            gProbes[i].last = start;
            sys_add_timer(OnTimer, &gProbes[i], &ids[i]);
        }
        for (int i = 0; i < kTimers; ++i) {
            sys_start_timer(ids[i], kPeriodMs, TIMER_CYCLE);
        }
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        for (int i = 0; i < kTimers; ++i) {
            sys_delete_timer(ids[i]);
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    stop = true;
    busy.join();
    std::lock_guard<std::mutex> lock(gMutex);
    double owed = seconds * kTimers * 1000.0 / kPeriodMs;
    double got = static_cast<double>(gLatenessMs.size());
    state.counters["callbacks"] = got;
    state.counters["owed"] = owed;
    state.counters["missed_per_s"] = (owed - got) / seconds;
    state.counters["missed_per_s_per_timer"] = (owed - got) / seconds / kTimers;
    state.counters["missed_pct"] = 100.0 * (owed - got) / owed;
    state.counters["mean_late_ms"] = got != 0 ? std::accumulate(gLatenessMs.begin(), gLatenessMs.end(), 0.0) / got : 0;
    state.counters["median_late_ms"] = Percentile(gLatenessMs, 0.5);
    state.counters["p99_late_ms"] = Percentile(gLatenessMs, 0.99);
    state.counters["max_late_ms"] = Percentile(gLatenessMs, 1.0);
}
BENCHMARK(BM_SysTimerLateness)->Arg(5)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
