// One detection pass on 480x288 frames: MotionDetectProc and HumanDetectProc on the simulated
// image engine, frame A the door scene's wall, frame B with a visitor (skimage's astronaut): a
// visitor region (192 lines high) and nearly the whole picture (the detector then runs on all of
// it). The detector with one thread (the unit's one core) and with OpenCV's default pool.
// Each run reports the median and the 95th percentile of single passes.
#include "Media/HumanDetect.h"
#include "Media/MotionDetect.h"
#include "platform/board_path.h"
#include "platform/mi/mi_sim.h"
#include "scene.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kW = 480;
constexpr int kH = 288;

// A board root with the kernel's memory figures the detector checks, removed at exit.
struct Root {
    Root()
    {
        char tmpl[] = "/tmp/doorphone-bench-XXXXXX";
        path = mkdtemp(tmpl);
        std::filesystem::create_directories(path + "/proc");
        std::ofstream(path + "/proc/meminfo") << "MemTotal: 65536 kB\nMemFree: 20480 kB\nMemAvailable: 28672 kB\n";
        setenv("DOORPHONE_ROOT", path.c_str(), 1);
        BoardReloadRoot();
    }
    ~Root() { std::filesystem::remove_all(path); }
    std::string path;
};

// An NV12 detection frame from the door scene.
struct Nv12 {
    std::vector<uint8_t> data;
    MI_SYS_BufInfo_t info{};
    explicit Nv12(const std::vector<uint8_t>& i420)
    {
        data.assign(i420.begin(), i420.begin() + kW * kH);
        data.resize(kW * kH * 3 / 2);
        const uint8_t* u = i420.data() + kW * kH;
        const uint8_t* v = u + kW * kH / 4;
        for (int i = 0; i < kW * kH / 4; ++i) {
            data[kW * kH + 2 * i] = u[i];
            data[kW * kH + 2 * i + 1] = v[i];
        }
        info.frame.width = kW;
        info.frame.height = kH;
        info.frame.virAddr[0] = data.data();
        info.frame.virAddr[1] = data.data() + kW * kH;
        info.frame.stride[0] = info.frame.stride[1] = kW;
        info.frame.bufSize = static_cast<MI_U32>(data.size());
    }
};

struct Scenes {
    Nv12 wall;
    Nv12 visitor;
    Nv12 whole;
};

const Scenes& Frames()
{
    static Root root;
    static const Scenes scenes = [] {
        const std::string dir = DOORPHONE_PHOTO_DIR;
        const cv::Mat wall = SceneLoad(dir + "/brick.png");
        const cv::Mat person = SceneLoad(dir + "/astronaut.png");
        if (wall.empty() || person.empty()) {
            std::exit(1);
        }
        MiSimReset();
        std::fflush(stdout);
        MotionDetectInit();
        HumanDetectInit();
        // Changed everywhere but a margin of two blocks: the region grows to the whole picture.
        return Scenes{Nv12(SceneFrame(wall, nullptr, {}, kW, kH)),
                      Nv12(SceneFrame(wall, &person, ScenePlace(person, 192, 0.5, kW, kH), kW, kH)),
                      Nv12(SceneFrame(wall, &person, cv::Rect(16, 16, kW - 32, kH - 32), kW, kH))};
    }();
    return scenes;
}

template <typename Fn>
void Timed(benchmark::State& state, Fn pass)
{
    std::vector<double> ms;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(pass());
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}

void BM_MotionDetectProc(benchmark::State& state)
{
    const Scenes& s = Frames();
    const MI_SYS_BufInfo_t* b = state.range(0) == 0 ? &s.visitor.info : &s.whole.info;
    Timed(state, [&] { return MotionDetectProc(&s.wall.info, b); });
}
BENCHMARK(BM_MotionDetectProc)->Arg(0)->Arg(1)->ArgNames({"whole"})->Iterations(200);

// Args: region (0 visitor, 1 whole picture), threads (1, or 0 for OpenCV's default pool).
void BM_HumanDetectProc(benchmark::State& state)
{
    const Scenes& s = Frames();
    const MI_SYS_BufInfo_t* b = state.range(0) == 0 ? &s.visitor.info : &s.whole.info;
    HumanDetectConfig().NumThreads = static_cast<int32_t>(state.range(1));
    int persons = 0;
    Timed(state, [&] { return persons = HumanDetectProc(&s.wall.info, b); });
    state.counters["persons"] = persons;
    HumanDetectConfig().NumThreads = 1;
}
BENCHMARK(BM_HumanDetectProc)
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 0})
    ->Args({1, 0})
    ->ArgNames({"whole", "threads"})
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
