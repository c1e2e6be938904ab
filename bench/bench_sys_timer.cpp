// Lateness of the system timer's callbacks: 50 cyclic 10 ms timers on the real clock while
// another thread keeps a second core busy. Lateness is how much each period exceeds 10 ms.
#include "noxa_base/sys_serv/sys_timer.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <mutex>
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
    }
    stop = true;
    busy.join();
    std::lock_guard<std::mutex> lock(gMutex);
    state.counters["callbacks"] = static_cast<double>(gLatenessMs.size());
    state.counters["median_late_ms"] = Percentile(gLatenessMs, 0.5);
    state.counters["p99_late_ms"] = Percentile(gLatenessMs, 0.99);
    state.counters["max_late_ms"] = Percentile(gLatenessMs, 1.0);
}
BENCHMARK(BM_SysTimerLateness)->Arg(5)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
