// Steady-state memory of the unit's process during a door call watched by one viewer (main
// stream): VmRSS and VmHWM from /proc/PID/status, split into what the simulated board holds and
// the unit's own share. The simulation's part is (a) the resident pages of the libraries only it
// uses (FFmpeg with x264 and what FFmpeg alone brings: /proc/PID/smaps, owners by ldd) and (b) what the simulated media layer counts it holds
// (picture buffers, what the encoders and scalers touched when set up: "<root>/.board/media_memory").
// The unit's own share is VmRSS minus both. The largest mappings are printed to find what holds
// the rest. That subtraction credits to the encoders whatever the process grew by while they were
// set up, other threads' allocations included; so the same scene runs a second time with the unit
// under heaptrack, whose stacks split the heap at its peak (the call) by owner: the simulated
// board (allocations inside a simulated SoC call or its pump thread), OpenCV (the person
// detector's stand-in) and the unit's own heap (BENCH_HEAPTRACK=0 leaves that run out).
#include "unit_proc.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr double kMb = 1024.0;  // kB per MB

void BM_UnitMemoryInACallWithOneViewer(benchmark::State& state)
{
    unitproc::DoorCallCast cast;
    std::string why;
    if (!cast.Start(&why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    for (auto _ : state) {
        if (!cast.CallAndWatch(40, &why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        cast.Pass(20s);  // steady state: every encoder and buffer of the call has been used
    }
    const pid_t pid = cast.UnitPid();
    const long rss = unitproc::StatusKb(pid, "VmRSS");
    const long hwm = unitproc::StatusKb(pid, "VmHWM");
    const long anon = unitproc::StatusKb(pid, "RssAnon");
    const long file = unitproc::StatusKb(pid, "RssFile");
    const std::map<std::string, long> maps = unitproc::RssByMapping(pid);
    const unitproc::SimHeld held = unitproc::ReadSimHeld(cast.Box());
    const std::map<std::string, long long> faults = unitproc::FaultsByThread(pid);
    cast.Stop();
    if (rss < 0 || maps.empty()) {
        state.SkipWithError("no /proc entry of the unit");
        return;
    }
    const unitproc::LibraryOwners owners(BinaryDir() + "/src/Common/doorphone");
    long simLibs = 0;
    long standIn = 0;
    std::vector<std::pair<long, std::string>> largest;
    for (const auto& [name, kb] : maps) {
        const unitproc::Owner o = owners.Of(name);
        simLibs += o == unitproc::Owner::Simulation ? kb : 0;
        standIn += o == unitproc::Owner::StandIn ? kb : 0;
        largest.emplace_back(kb, name);
    }
    std::sort(largest.rbegin(), largest.rend());
    const double simFrames = static_cast<double>(held.frames) / 1024.0;
    const double simCodecs = static_cast<double>(held.codecs) / 1024.0;
    const double own = static_cast<double>(rss) - simLibs - simFrames - simCodecs;
    std::fprintf(stderr, "unit process: VmRSS %.1f MB (anonymous %.1f, files %.1f), VmHWM %.1f MB\n", rss / kMb,
                 anon / kMb, file / kMb, hwm / kMb);
    std::fprintf(stderr, "simulation: libraries %.1f MB, pictures %.1f MB, encoders and scalers %.1f MB\n",
                 simLibs / kMb, simFrames / kMb, simCodecs / kMb);
    std::fprintf(stderr, "unit's own share: %.1f MB: anonymous %.1f MB, library and program pages %.1f MB (of them "
                 "%.1f MB brought by OpenCV, the person detector's stand-in)\n",
                 own / kMb, (anon - simFrames - simCodecs) / kMb, (file - simLibs) / kMb, standIn / kMb);
    std::fprintf(stderr, "largest mappings (resident):\n");
    static const char* const kOwner[] = {"", "  (simulation)", "  (stand-in)"};
    for (size_t i = 0; i < largest.size() && i < 16; ++i) {
        std::fprintf(stderr, "  %7.1f MB  %s%s\n", largest[i].first / kMb, largest[i].second.c_str(),
                     kOwner[static_cast<int>(owners.Of(largest[i].second))]);
    }
    std::vector<std::pair<long long, std::string>> touched;
    for (const auto& [name, n] : faults) {
        touched.emplace_back(n, name);
    }
    std::sort(touched.rbegin(), touched.rend());
    std::fprintf(stderr, "pages first touched by thread (minor faults x 4 KB, since the start):");
    for (size_t i = 0; i < touched.size() && i < 10; ++i) {
        std::fprintf(stderr, " %s %.1f MB", touched[i].second.c_str(), static_cast<double>(touched[i].first) * 4 / kMb);
    }
    std::fprintf(stderr, "\n");
    state.counters["vmrss_mb"] = rss / kMb;
    state.counters["vmhwm_mb"] = hwm / kMb;
    state.counters["sim_libs_mb"] = simLibs / kMb;
    state.counters["sim_pictures_mb"] = simFrames / kMb;
    state.counters["sim_codecs_mb"] = simCodecs / kMb;
    state.counters["unit_own_mb"] = own / kMb;
    state.counters["unit_own_anon_mb"] = (anon - simFrames - simCodecs) / kMb;
    state.counters["standin_libs_mb"] = standIn / kMb;

    const char* heap = std::getenv("BENCH_HEAPTRACK");
    if (heap != nullptr && std::string(heap) == "0") {
        return;
    }
    if (std::system("command -v heaptrack > /dev/null 2>&1") != 0) {
        std::fprintf(stderr, "heaptrack is not installed: the heap figures are left out\n");
        return;
    }
    const std::string profile = "/tmp/doorphone-heap-" + std::to_string(getpid());
    unitproc::DoorCallCast traced(profile);
    if (!traced.Start(&why) || !traced.CallAndWatch(40, &why)) {
        traced.Stop();
        state.SkipWithError(("under heaptrack: " + why).c_str());
        return;
    }
    traced.Pass(20s);
    traced.Stop();
    const std::string heapFile = traced.HeapProfileFile();
    const unitproc::HeapSplit split = unitproc::HeapByOwner(heapFile);
    std::remove(heapFile.c_str());
    if (!split.ok) {
        state.SkipWithError("no heaptrack profile");
        return;
    }
    constexpr double kMiB = 1024.0 * 1024.0;
    std::fprintf(stderr, "heap at its peak (heaptrack): %.2f MB: simulation %.2f MB, OpenCV %.2f MB, the unit's own %.2f MB\n",
                 split.total / kMiB, split.simulation / kMiB, split.standIn / kMiB, split.unit / kMiB);
    state.counters["heap_peak_mb"] = split.total / kMiB;
    state.counters["heap_sim_mb"] = split.simulation / kMiB;
    state.counters["heap_standin_mb"] = split.standIn / kMiB;
    state.counters["heap_unit_own_mb"] = split.unit / kMiB;
}

BENCHMARK(BM_UnitMemoryInACallWithOneViewer)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
