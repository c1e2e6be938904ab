// Continuous cloud recording against each local store: a feeder appends the main stream (25 fps,
// a 40 KB key frame each second and 4.5 KB P frames: about 1 Mbit/s) and 8 kHz PCM in real time,
// the recording thread slices, encrypts and uploads (10 s slices, the unit activated at the local
// cloud). Per slice: the upload time, and the reader's lag when it is done (newest frame appended
// less the last frame stored). Groups the thread stopped (lag or errors) are counted at the cloud.
// CS_BENCH_SECONDS sets the recorded time per store (default 120).
#include "cloud_bench_util.h"
#include "NoxaApp.h"
#include "cloud_peer.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_ipc_sdk/cloud_storage/noxa_ipc_cloud_storage.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "sandbox.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const NOXA_IOT_CBS_S kCbs = {};
const NOXA_HW_AES_CBS_S kAes = {nullptr, OpensslAES_CBC128_encrypt, nullptr, nullptr};

int Seconds()
{
    const char* s = getenv("CS_BENCH_SECONDS");
    return s != nullptr && atoi(s) > 0 ? atoi(s) : 120;
}

void BM_ContinuousRecording(benchmark::State& state)
{
    const bool azure = state.range(0) == 1;
    TestSandbox box;
    CloudPeer cloud(box.Root());
    if (cloud.Command("stores").rfind("s3 ", 0) != 0) {
        state.SkipWithError("the object stores do not run (scripts/deps.sh)");
        return;
    }
    cloud.Command(azure ? "storage azure" : "storage s3");
    if (!benchcloud::StartOnline(state, cloud.Pair(), &kCbs)) {
        mqc_app_stop();
        return;
    }
    cloud.Command("cloud-storage mode alltime");
    static bool rings = false;
    if (!rings) {
        noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr);
        noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr);
        rings = true;
    }
    FillMediaInfo();  // the application's media description
    const NOXA_MEDIA_INFO_S media = gNoxaMediaInfo;
    noxa_ipc_cloud_storage_threads_for_test(1);
    if (noxa_ipc_cloud_storage_init(&media, &kAes) != 0) {
        state.SkipWithError("cloud storage did not start");
        mqc_app_stop();
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> newest{0};
    std::vector<double> uploadMs;
    std::vector<double> lagMs;
    for (auto _ : state) {
        std::thread feeder([&] {
            std::vector<uint8_t> key(40000, 0x5a);
            std::vector<uint8_t> p(4500, 0x33);
            std::vector<uint8_t> pcm(640, 0x01);
            auto next = std::chrono::steady_clock::now();
            for (uint32_t i = 0; !stop; ++i) {
                const uint64_t ms = uni_time_get_posix_ms();
                const bool isKey = i % 25 == 0;
                noxa_ipc_ring_buffer_append_data_with_timestamp(0, isKey ? key.data() : p.data(),
                                                                isKey ? 40000 : 4500, isKey ? 1 : 0, ms * 1000, ms);
                noxa_ipc_ring_buffer_append_data_with_timestamp(9, pcm.data(), 640, 3, ms * 1000, ms);
                newest = ms;
                next += std::chrono::milliseconds(40);
                std::this_thread::sleep_until(next);
            }
        });
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds());
        uint32_t seen = 0;
        while (std::chrono::steady_clock::now() < end) {
            CS_STATUS_S st;
            noxa_ipc_cloud_storage_status(&st);
            if (st.slices_uploaded != seen) {
                seen = st.slices_uploaded;
                uploadMs.push_back(static_cast<double>(st.upload_ms_last));
                lagMs.push_back(static_cast<double>(newest.load() - st.last_frame_ms));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        stop = true;
        feeder.join();
    }
    const int stops = cloud.LogCount("cloud storage stop");
    noxa_ipc_cloud_storage_uninit();
    mqc_app_stop();
    if (uploadMs.empty()) {
        state.SkipWithError("no slice went up");
        return;
    }
    CS_STATUS_S st;
    noxa_ipc_cloud_storage_status(&st);
    benchcloud::ReportSpread(state, uploadMs, "slices");
    state.counters["max_upload_ms"] = uploadMs.back();
    state.counters["slice_s"] = st.slice_duration;
    std::sort(lagMs.begin(), lagMs.end());
    state.counters["median_lag_ms"] = lagMs[lagMs.size() / 2];
    state.counters["max_lag_ms"] = lagMs.back();
    state.counters["groups_stopped"] = stops;
}
BENCHMARK(BM_ContinuousRecording)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
