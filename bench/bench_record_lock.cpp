// How long the encoder thread waits for the record lock while recordings open and close: an
// encoder at 25 frames per second (a 5 KB P frame, a 40 KB key frame with its SPS and PPS every
// 50) takes the lock for each frame, as MP4Encoder_WriteVideo does, while another thread starts a
// recording on a nearly full card (FreeSize removes 30 old files first), records 3 s and stops
// it (trailer, sync, rename). Also what a recorded second costs: bytes and fdatasync calls.
// Goal: no wait over one frame period (40 ms).
#include "Common/RecordFile.h"
#include "Common/SDCard.h"
#include "Media/Mp4Record.h"
#include "platform/board.h"
#include "platform/board_card.h"
#include "sandbox.h"
#include "sdcard_tool.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

// Every fdatasync of the process is counted (linked with --wrap=fdatasync).
extern "C" int __real_fdatasync(int fd);
static std::atomic<uint64_t> gSyncs{0};
extern "C" int __wrap_fdatasync(int fd)
{
    ++gSyncs;
    return __real_fdatasync(fd);
}

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Nal(uint8_t header, size_t len)
{
    std::vector<uint8_t> n(len, 0x5A);
    n[0] = n[1] = n[2] = 0;
    n[3] = 1;
    n[4] = header;
    return n;
}

// 40 old recordings in a day folder of last year, so that FreeSize has 30 to remove.
void OldFiles(const TestSandbox& sb)
{
    for (int i = 0; i < 40; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/mnt/sdcard/DVR/20250101/%02d%02d00_%02d%02d30.mp4", i / 60, i % 60, i / 60, i % 60);
        SdCardFile(sb, name, 1024);
    }
}

void RecordLock(benchmark::State& state)
{
    setenv("TZ", "UTC0", 1);
    TestSandbox sb;
    MP4RecordLockInit();
    Mp4RecordInstallLinks();
    BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr);
    SdCardTool(sb, "fill 200");  // 200 MiB free: below the 300 MiB a recording start wants
    const std::vector<uint8_t> sps = {0, 0, 0, 1, 0x67, 0x4D, 0x40, 0x1F, 0xE8, 0x80, 0x28, 0x02, 0xDD, 0x80};
    const std::vector<uint8_t> pps = {0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80};
    const std::vector<uint8_t> idr = Nal(0x65, 40000);
    const std::vector<uint8_t> p = Nal(0x41, 5000);

    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::vector<double> waits;
        std::thread encoder([&] {
            std::vector<uint8_t> buf;
            auto next = Clock::now();
            uint32_t frame = 0;
            while (!done) {
                next += std::chrono::milliseconds(40);
                std::this_thread::sleep_until(next);
                const auto t0 = Clock::now();
                { MP4RecordWriteLock lock; }
                waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                if (GetMP4RecordState() != 1) {
                    continue;
                }
                if (frame++ % 50 == 0) {
                    for (const auto* n : {&sps, &pps, &idr}) {
                        buf = *n;
                        MP4Encoder_WriteVideo(buf.data(), static_cast<uint32_t>(buf.size()), buf[4] & 0x1F, 0);
                    }
                } else {
                    buf = p;
                    MP4Encoder_WriteVideo(buf.data(), static_cast<uint32_t>(buf.size()), 1, 0);
                }
            }
        });
        double startMax = 0, stopMax = 0;
        const int rounds = static_cast<int>(state.range(0));
        const uint64_t syncs0 = gSyncs;
        for (int r = 0; r < rounds; ++r) {
            OldFiles(sb);
            const auto t0 = Clock::now();
            MP4RecordStart();
            startMax = std::max(startMax, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const auto t1 = Clock::now();
            MP4RecordStop();
            stopMax = std::max(stopMax, std::chrono::duration<double, std::milli>(Clock::now() - t1).count());
        }
        const uint64_t syncs = gSyncs - syncs0;
        done = true;
        encoder.join();
        uint64_t bytes = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(sb.Path("/mnt/sdcard/DVR"))) {
            if (e.is_regular_file() && e.path().parent_path().filename() != "20250101") {
                bytes += e.file_size();
            }
        }
        std::sort(waits.begin(), waits.end());
        const double seconds = 3.0 * rounds;
        state.counters["wait_max_ms"] = waits.empty() ? 0 : waits.back();
        state.counters["wait_p99_ms"] = waits.empty() ? 0 : waits[waits.size() * 99 / 100];
        state.counters["waits_over_40ms"] = static_cast<double>(std::count_if(waits.begin(), waits.end(), [](double w) { return w > 40; }));
        state.counters["start_max_ms"] = startMax;
        state.counters["stop_max_ms"] = stopMax;
        state.counters["bytes_per_s"] = bytes / seconds;
        state.counters["fdatasync_per_s"] = syncs / seconds;
        std::filesystem::remove_all(sb.Path("/mnt/sdcard/DVR"));
    }
}

}  // namespace

BENCHMARK(RecordLock)->Arg(5)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
