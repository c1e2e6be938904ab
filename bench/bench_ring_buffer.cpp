// The media ring against plain copying. A 64 KiB video frame appended and copied out by four
// readers (five copies of the frame per round, with every check of the ring), beside the same
// five copies done with memcpy through a buffer of the pool's size: the ratio of their byte rates
// is the ring's overhead. And the append alone of 1 KiB audio frames, per frame.
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kVideoFrame = 64 * 1024;
constexpr uint32_t kAudioFrame = 1024;
constexpr int kReaders = 4;
constexpr size_t kPool0 = 1310720;  // channel 0: 1024 kbit/s for 10 s

void Quiet(const char*) {}

// Channels as the application makes them; the logger at its usual level, so that the filtered
// progress messages cost what they cost on the unit.
void SetUp()
{
    static bool done = [] {
        uni_log_init(LOG_LEVEL_INFO, 1024, Quiet);
        return noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr) == 0 &&
               noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr) == 0;
    }();
    (void)done;
}

std::vector<uint8_t> RandomBytes(size_t n)
{
    std::vector<uint8_t> v(n);
    std::mt19937 rng(1);
    for (uint8_t& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

void BM_RingAppendAndFourReaders(benchmark::State& state)
{
    SetUp();
    std::vector<uint8_t> frame = RandomBytes(kVideoFrame);
    std::vector<std::vector<uint8_t>> out(kReaders, std::vector<uint8_t>(kVideoFrame));
    uint32_t n = 0;
    for (auto _ : state) {
        uint32_t type = n % 25 == 0 ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P;
        ++n;
        if (noxa_ipc_ring_buffer_append_data(0, frame.data(), kVideoFrame, type, n) != 0) {
            state.SkipWithError("append refused");
            break;
        }
        for (int r = 0; r < kReaders; ++r) {
            int user = RING_BUFFER_USER_P2P_BASE + r;
            RING_BUFFER_NODE_S* node = noxa_ipc_ring_buffer_get_video_frame(0, user, 0);
            if (node == nullptr ||
                noxa_ipc_ring_buffer_copy_frame(0, user, node, out[r].data(), kVideoFrame, nullptr) != static_cast<int>(kVideoFrame)) {
                state.SkipWithError("reader missed a frame");
                return;
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kVideoFrame * (1 + kReaders));
}

void BM_MemcpySameBytes(benchmark::State& state)
{
    std::vector<uint8_t> frame = RandomBytes(kVideoFrame);
    std::vector<uint8_t> pool(kPool0);
    std::vector<std::vector<uint8_t>> out(kReaders, std::vector<uint8_t>(kVideoFrame));
    size_t offset = 0;
    for (auto _ : state) {
        if (offset + kVideoFrame >= pool.size()) {
            offset = 0;
        }
        memcpy(pool.data() + offset, frame.data(), kVideoFrame);
        for (int r = 0; r < kReaders; ++r) {
            memcpy(out[r].data(), pool.data() + offset, kVideoFrame);
        }
        benchmark::ClobberMemory();
        offset += kVideoFrame;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kVideoFrame * (1 + kReaders));
}

void BM_RingAppendAudio1K(benchmark::State& state)
{
    SetUp();
    std::vector<uint8_t> frame = RandomBytes(kAudioFrame);
    uint64_t pts = 0;
    for (auto _ : state) {
        if (noxa_ipc_ring_buffer_append_data(9, frame.data(), kAudioFrame, MEDIA_FRAME_TYPE_AUDIO, ++pts) != 0) {
            state.SkipWithError("append refused");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_RingAppendAndFourReaders);
BENCHMARK(BM_MemcpySameBytes);
BENCHMARK(BM_RingAppendAudio1K);

BENCHMARK_MAIN();
