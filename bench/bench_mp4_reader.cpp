// The MP4 reader on the crafted files of the recorder's suite (tests/Media/mp4_craft_util.h):
// for each, the time Mp4Reader::Open takes and the peak memory it adds, measured in a child
// process of its own (VmHWM after the peak is reset, less the resident size before the open),
// with the allocation ceiling the unit sets at start. The worst of them is the figure: under 1 s
// and under 50 MB on a file of 64 KB. A watchdog ends a child past 1 GB, so that a reader
// without its check cannot take the machine ("over the cap" is then reported).
//   BENCH_MP4_NO_CEILING=1   leaves the ceiling out (FFmpeg's own, 2 GB, stays)
//   BENCH_MP4_SEEDS=DIR      also writes the crafted files and two small recordings to DIR
#include "Media/Mp4File.h"
#include "mp4_craft_util.h"
#include "platform/board_path.h"

extern "C" {
#include <libavutil/log.h>
}

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kFile = "/mnt/sdcard/DVR/20260314/101500.mp4";
constexpr long kCapKb = 1024 * 1024;

long StatusKb(const char* key)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(f, line)) {
        if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':') {
            return std::atol(line.c_str() + n + 1);
        }
    }
    return -1;
}

struct RESULT_S {
    double Seconds = 0;
    long PeakKb = 0;  // above the resident size before the open
    int Refused = 0;
    int OverCap = 0;
};

// One open of the file in a child process.
RESULT_S OpenInChild(bool ceiling)
{
    int fds[2];
    RESULT_S res;
    if (pipe(fds) != 0) {
        res.OverCap = -1;
        return res;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (ceiling) {
            Mp4LimitAllocations();
        }
        // The watchdog first, so that its stack is in the resident size before the open.
        std::atomic<long> before{kCapKb * 4};
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            while (!done) {
                if (StatusKb("VmRSS") - before > kCapKb) {
                    RESULT_S over;
                    over.OverCap = 1;
                    over.PeakKb = kCapKb;
                    (void)!write(fds[1], &over, sizeof over);
                    _exit(0);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM back to VmRSS
        before = StatusKb("VmRSS");
        const auto t0 = std::chrono::steady_clock::now();
        std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(kFile);
        RESULT_S mine;
        mine.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        mine.Refused = r ? 0 : 1;
        done = true;
        watchdog.join();
        mine.PeakKb = StatusKb("VmHWM") - before;
        (void)!write(fds[1], &mine, sizeof mine);
        _exit(0);
    }
    close(fds[1]);
    if (pid < 0 || read(fds[0], &res, sizeof res) != static_cast<ssize_t>(sizeof res)) {
        res.OverCap = -1;
    }
    close(fds[0]);
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
    }
    return res;
}

void BM_Open(benchmark::State& state, std::string bytes)
{
    const bool ceiling = std::getenv("BENCH_MP4_NO_CEILING") == nullptr;
    {
        std::ofstream o(BoardPath(kFile), std::ios::binary | std::ios::trunc);
        o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    RESULT_S worst;
    for (auto _ : state) {
        const RESULT_S r = OpenInChild(ceiling);
        if (r.OverCap < 0) {
            state.SkipWithError("the child gave no result");
            break;
        }
        state.SetIterationTime(r.Seconds);
        worst.Seconds = std::max(worst.Seconds, r.Seconds);
        worst.PeakKb = std::max(worst.PeakKb, r.PeakKb);
        worst.Refused = r.Refused;
        worst.OverCap |= r.OverCap;
    }
    state.counters["file_KB"] = static_cast<double>(bytes.size()) / 1024.0;
    state.counters["peak_MB"] = static_cast<double>(worst.PeakKb) / 1024.0;
    state.counters["worst_s"] = worst.Seconds;
    state.counters["refused"] = worst.Refused;
    state.counters["over_1GB"] = worst.OverCap;
}

}  // namespace

int main(int argc, char** argv)
{
    char root[] = "/tmp/bench-mp4-XXXXXX";
    if (mkdtemp(root) == nullptr) {
        return 1;
    }
    setenv("DOORPHONE_ROOT", root, 1);
    BoardReloadRoot();
    std::filesystem::create_directories(std::string(root) + "/mnt/sdcard/DVR/20260314");
    av_log_set_level(AV_LOG_QUIET);
    const std::vector<mp4craft::CRAFTED_S> files = mp4craft::CraftedFiles("/mnt/sdcard/DVR/20260314/scratch.mp4");
    if (const char* seeds = std::getenv("BENCH_MP4_SEEDS")) {
        std::vector<std::pair<std::string, std::string>> out = {
            {"one-fragment", mp4craft::Recording("/mnt/sdcard/DVR/20260314/scratch.mp4", 1, 40, false)},
            {"one-fragment-pcm", mp4craft::Recording("/mnt/sdcard/DVR/20260314/scratch.mp4", 1, 30, true, 8000)}};
        for (size_t i = 0; i < files.size(); ++i) {
            out.emplace_back("crafted-" + std::to_string(i), files[i].Bytes);
        }
        for (const auto& [name, bytes] : out) {
            std::ofstream(std::string(seeds) + "/" + name, std::ios::binary) << bytes;
        }
    }
    for (const mp4craft::CRAFTED_S& f : files) {
        benchmark::RegisterBenchmark(("BM_Open/" + f.Name).c_str(), BM_Open, f.Bytes)
            ->UseManualTime()
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
