// The media ring against plain copying, every buffer page-aligned on both sides (copies between
// addresses a few bytes apart modulo 4 KiB hit a slow path of the CPU and would flatter the ring).
//
// In cache: a 64 KiB video frame appended and copied out by four readers (five copies of the
// frame per round, with every check of the ring), beside the same five copies done with memcpy
// through a buffer of the pool's size, each on its own and then in alternating blocks of rounds
// (median round of each, and memcpy's time over the ring's: 1 is memcpy speed); and the append
// alone of 1 KiB audio frames.
//
// The unit's own case: one writer thread at 25 frames/s main video, 25 sub video and 50 audio
// (sizes of the channels' bit rates, a key frame a second) and four reader threads (recorder,
// cloud, two viewers) that poll every millisecond and copy each frame out. The same threads run
// it once through the ring and once through a lock-free memcpy ring of the same pools, in turns.
// The headline is the writer's append cost per frame, video and audio, median over all frames,
// as speed against the memcpy ring (`append_video_vs_memcpy`: memcpy's cost over the ring's, 1 is
// memcpy speed). Each reader's lag (append to copy done) is printed beside it for both rings but
// not compared: with readers that poll every millisecond it measures the poll, not the buffer.
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kVideoFrame = 64 * 1024;
constexpr uint32_t kAudioFrame = 1024;
constexpr int kReaders = 4;
constexpr size_t kPage = 4096;
constexpr size_t kPool0 = 1310720;  // channel 0: 1024 kbit/s for 10 s
constexpr size_t kPool1 = 655360;   // channel 1: 512 kbit/s
constexpr size_t kPool9 = 160000;   // channel 9: 125 "kbit/s" of PCM

void Quiet(const char*) {}

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using PageBuf = std::unique_ptr<uint8_t, FreeDeleter>;

// Page-aligned and filled with noise.
PageBuf Page(size_t n)
{
    size_t rounded = (n + kPage - 1) / kPage * kPage;
    PageBuf buf(static_cast<uint8_t*>(std::aligned_alloc(kPage, rounded)));
    std::mt19937 rng(static_cast<uint32_t>(n));
    for (size_t i = 0; i < rounded; ++i) {
        buf.get()[i] = static_cast<uint8_t>(rng());
    }
    return buf;
}

// Channels as the application makes them; the logger at its usual level, so that the filtered
// progress messages cost what they cost on the unit.
void SetUp()
{
    static bool done = [] {
        uni_log_init(LOG_LEVEL_INFO, 1024, Quiet);
        return noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr) == 0 &&
               noxa_ipc_ring_buffer_init(1, 512, 25, 0, nullptr) == 0 &&
               noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr) == 0;
    }();
    (void)done;
}

double Median(std::vector<double> v)
{
    if (v.empty()) {
        return 0;
    }
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// The in-cache round through the ring: one append on channel 0, four readers copy it out.
struct RingInCache {
    PageBuf frame = Page(kVideoFrame);
    std::vector<PageBuf> out;
    uint32_t n = 0;

    RingInCache()
    {
        for (int r = 0; r < kReaders; ++r) {
            out.push_back(Page(kVideoFrame));
        }
    }
    // False when the ring refused the frame or a reader missed it.
    bool Round()
    {
        uint32_t type = n % 25 == 0 ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P;
        ++n;
        if (noxa_ipc_ring_buffer_append_data(0, frame.get(), kVideoFrame, type, n) != 0) {
            return false;
        }
        for (int r = 0; r < kReaders; ++r) {
            int user = RING_BUFFER_USER_P2P_BASE + r;
            RING_BUFFER_NODE_S* node = noxa_ipc_ring_buffer_get_video_frame(0, user, 0);
            if (node == nullptr ||
                noxa_ipc_ring_buffer_copy_frame(0, user, node, out[r].get(), kVideoFrame, nullptr) != static_cast<int>(kVideoFrame)) {
                return false;
            }
        }
        benchmark::ClobberMemory();
        return true;
    }
};

// The same five copies with memcpy, through a page-aligned buffer of channel 0's pool size.
struct MemcpyInCache {
    PageBuf frame = Page(kVideoFrame);
    PageBuf pool = Page(kPool0);
    std::vector<PageBuf> out;
    size_t offset = 0;

    MemcpyInCache()
    {
        for (int r = 0; r < kReaders; ++r) {
            out.push_back(Page(kVideoFrame));
        }
    }
    void Round()
    {
        if (offset + kVideoFrame >= kPool0) {
            offset = 0;
        }
        memcpy(pool.get() + offset, frame.get(), kVideoFrame);
        for (int r = 0; r < kReaders; ++r) {
            memcpy(out[r].get(), pool.get() + offset, kVideoFrame);
        }
        benchmark::ClobberMemory();
        offset += kVideoFrame;
    }
};

void BM_RingAppendAndFourReaders(benchmark::State& state)
{
    SetUp();
    RingInCache ring;
    for (auto _ : state) {
        if (!ring.Round()) {
            state.SkipWithError("append refused or a reader missed a frame");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kVideoFrame * (1 + kReaders));
}

void BM_MemcpySameBytes(benchmark::State& state)
{
    MemcpyInCache plain;
    for (auto _ : state) {
        plain.Round();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kVideoFrame * (1 + kReaders));
}

// Both in turns, blocks of rounds, so that both see the same load of the machine.
void BM_RingVsMemcpyInCache(benchmark::State& state)
{
    SetUp();
    constexpr int kBlocks = 40;
    constexpr int kRoundsPerBlock = 200;
    RingInCache ring;
    MemcpyInCache plain;
    std::vector<double> ringNs, plainNs;
    for (auto _ : state) {
        for (int b = 0; b < kBlocks; ++b) {
            auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < kRoundsPerBlock; ++i) {
                if (!ring.Round()) {
                    state.SkipWithError("append refused or a reader missed a frame");
                    return;
                }
            }
            auto t1 = std::chrono::steady_clock::now();
            for (int i = 0; i < kRoundsPerBlock; ++i) {
                plain.Round();
            }
            auto t2 = std::chrono::steady_clock::now();
            ringNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / kRoundsPerBlock);
            plainNs.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count() / kRoundsPerBlock);
        }
    }
    double r = Median(ringNs), m = Median(plainNs);
    state.counters["ring_round_us"] = r / 1000.0;
    state.counters["memcpy_round_us"] = m / 1000.0;
    state.counters["speed_vs_memcpy"] = r != 0 ? m / r : 0;
}

void BM_RingAppendAudio1K(benchmark::State& state)
{
    SetUp();
    PageBuf frame = Page(kAudioFrame);
    uint64_t pts = 0;
    for (auto _ : state) {
        if (noxa_ipc_ring_buffer_append_data(9, frame.get(), kAudioFrame, MEDIA_FRAME_TYPE_AUDIO, ++pts) != 0) {
            state.SkipWithError("append refused");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// ---- the unit's own case ----

using Clock = std::chrono::steady_clock;

uint64_t NowNs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

constexpr int kTickMs = 20;  // audio every tick, video every other
constexpr int kRoundS = 2;
constexpr int kRoundsEach = 2;
constexpr auto kPoll = std::chrono::milliseconds(1);
// Key frame once a second; sizes that give the channels' nominal bit rates.
constexpr uint32_t kMainI = 30000, kMainP = 4000, kSubI = 15000, kSubP = 2000, kPcm = 320;

// A plain lock-free ring of the same pools: the writer copies the frame behind the previous one
// and publishes its record with a release store; a reader copies it out when it sees it.
struct PlainRing {
    struct Rec {
        uint64_t off, size, appendNs;
    };
    static constexpr uint32_t kRecs = 256;
    PageBuf pool;
    size_t poolSize;
    size_t tail = 0;
    Rec recs[kRecs] = {};
    std::atomic<uint32_t> seq{0};

    explicit PlainRing(size_t size) : pool(Page(size)), poolSize(size) {}
    void Append(const uint8_t* data, uint32_t size, uint64_t appendNs)
    {
        if (tail + size > poolSize) {
            tail = 0;
        }
        memcpy(pool.get() + tail, data, size);
        uint32_t s = seq.load(std::memory_order_relaxed) + 1;
        recs[s % kRecs] = Rec{tail, size, appendNs};
        tail += size;
        seq.store(s, std::memory_order_release);
    }
};

struct ReaderSpec {
    const char* name;
    int user;
    int video;  // channel
};
constexpr ReaderSpec kUnitReaders[kReaders] = {
    {"recorder", RING_BUFFER_USER_SD_STORAGE, 0},
    {"cloud", RING_BUFFER_USER_CLOUD_STORAGE, 0},
    {"viewer1", RING_BUFFER_USER_P2P_BASE, 0},
    {"viewer2", RING_BUFFER_USER_P2P_BASE + 1, 1},
};

struct Figures {
    std::vector<double> appendVideoNs, appendAudioNs;
    std::vector<double> lagUs[kReaders];
    uint64_t skipped[kReaders] = {};  // sequence numbers never handed to the reader
    uint64_t torn[kReaders] = {};     // copies the ring refused (overwritten meanwhile)
};

double P99(std::vector<double> v)
{
    if (v.empty()) {
        return 0;
    }
    size_t at = (v.size() - 1) * 99 / 100;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(at), v.end());
    return v[at];
}

// The writer's pace: 20 ms ticks for 2 s; frame f of a channel is a key frame every 25th.
template <typename AppendFn>
void Writer(AppendFn append, Figures& fig, uint32_t& frameNo)
{
    PageBuf mainI = Page(kMainI), mainP = Page(kMainP), subI = Page(kSubI), subP = Page(kSubP), pcm = Page(kPcm);
    Clock::time_point next = Clock::now();
    for (int tick = 0; tick < kRoundS * 1000 / kTickMs; ++tick) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(kTickMs);
        auto timed = [&](int ch, const uint8_t* d, uint32_t n, uint32_t type, std::vector<double>& into) {
            uint64_t t0 = NowNs();
            append(ch, d, n, type, t0);
            into.push_back(static_cast<double>(NowNs() - t0));
        };
        if (tick % 2 == 0) {
            bool key = frameNo % 25 == 0;
            ++frameNo;
            timed(0, key ? mainI.get() : mainP.get(), key ? kMainI : kMainP, key ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P,
                  fig.appendVideoNs);
            timed(1, key ? subI.get() : subP.get(), key ? kSubI : kSubP, key ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P,
                  fig.appendVideoNs);
        }
        timed(9, pcm.get(), kPcm, MEDIA_FRAME_TYPE_AUDIO, fig.appendAudioNs);
    }
}

// One round through the ring: four readers poll, copy out and note each frame's lag.
void RingRound(Figures& fig, uint32_t& frameNo)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            const ReaderSpec& spec = kUnitReaders[r];
            PageBuf vbuf = Page(kMainI), abuf = Page(kPcm * 4);
            uint32_t lastSeq[2] = {0, 0};
            std::vector<double>& lag = fig.lagUs[r];
            auto take = [&](int ch, RING_BUFFER_NODE_S* node, uint8_t* buf, uint32_t size, int which) {
                RING_BUFFER_FRAME_S f{};
                if (noxa_ipc_ring_buffer_copy_frame(ch, spec.user, node, buf, size, &f) < 0) {
                    ++fig.torn[r];
                    return;
                }
                lag.push_back(static_cast<double>(NowNs() - f.pts) / 1000.0);
                if (lastSeq[which] != 0 && f.seqNo != lastSeq[which] + 1) {
                    fig.skipped[r] += f.seqNo - lastSeq[which] - 1;
                }
                lastSeq[which] = f.seqNo;
            };
            while (!stop.load()) {
                bool any = false;
                while (RING_BUFFER_NODE_S* v = noxa_ipc_ring_buffer_get_video_frame(spec.video, spec.user, 0)) {
                    take(spec.video, v, vbuf.get(), kMainI, 0);
                    any = true;
                }
                while (RING_BUFFER_NODE_S* a = noxa_ipc_ring_buffer_get_audio_frame(9, spec.user, 0)) {
                    take(9, a, abuf.get(), kPcm * 4, 1);
                    any = true;
                }
                if (!any) {
                    std::this_thread::sleep_for(kPoll);
                }
            }
        });
    }
    Writer([](int ch, const uint8_t* d, uint32_t n, uint32_t type,
              uint64_t t0) { noxa_ipc_ring_buffer_append_data_with_timestamp(ch, d, n, type, t0, t0 / 1000000); },
           fig, frameNo);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }
}

// The same round through plain memcpy rings.
void MemcpyRound(Figures& fig, uint32_t& frameNo)
{
    PlainRing main(kPool0), sub(kPool1), audio(kPool9);
    auto ringOf = [&](int ch) -> PlainRing& { return ch == 0 ? main : (ch == 1 ? sub : audio); };
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            const ReaderSpec& spec = kUnitReaders[r];
            PageBuf vbuf = Page(kMainI), abuf = Page(kPcm * 4);
            uint32_t next[2] = {1, 1};
            PlainRing* rings[2] = {&ringOf(spec.video), &audio};
            uint8_t* bufs[2] = {vbuf.get(), abuf.get()};
            while (!stop.load()) {
                bool any = false;
                for (int w = 0; w < 2; ++w) {
                    PlainRing& ring = *rings[w];
                    while (next[w] <= ring.seq.load(std::memory_order_acquire)) {
                        PlainRing::Rec rec = ring.recs[next[w] % PlainRing::kRecs];
                        memcpy(bufs[w], ring.pool.get() + rec.off, rec.size);
                        fig.lagUs[r].push_back(static_cast<double>(NowNs() - rec.appendNs) / 1000.0);
                        ++next[w];
                        any = true;
                    }
                }
                if (!any) {
                    std::this_thread::sleep_for(kPoll);
                }
            }
        });
    }
    Writer([&](int ch, const uint8_t* d, uint32_t n, uint32_t, uint64_t t0) { ringOf(ch).Append(d, n, t0); }, fig,
           frameNo);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }
}

void BM_UnitWriterAndFourReaders(benchmark::State& state)
{
    SetUp();
    Figures ring, plain;
    uint32_t ringFrames = 0, plainFrames = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRoundsEach; ++i) {
            RingRound(ring, ringFrames);
            MemcpyRound(plain, plainFrames);
        }
    }
    auto put = [&](const std::string& what, double r, double m) {
        state.counters["ring_" + what] = r;
        state.counters["memcpy_" + what] = m;
    };
    const double rv = Median(ring.appendVideoNs), mv = Median(plain.appendVideoNs);
    const double ra = Median(ring.appendAudioNs), ma = Median(plain.appendAudioNs);
    put("append_video_ns", rv, mv);
    put("append_audio_ns", ra, ma);
    state.counters["append_video_vs_memcpy"] = rv != 0 ? mv / rv : 0;
    state.counters["append_audio_vs_memcpy"] = ra != 0 ? ma / ra : 0;
    for (int r = 0; r < kReaders; ++r) {
        std::string name = kUnitReaders[r].name;
        put(name + "_lag_us", Median(ring.lagUs[r]), Median(plain.lagUs[r]));
        state.counters["ring_" + name + "_lag_p99_us"] = P99(ring.lagUs[r]);
        state.counters["memcpy_" + name + "_lag_p99_us"] = P99(plain.lagUs[r]);
        state.counters["ring_" + name + "_skipped"] = static_cast<double>(ring.skipped[r]);
        state.counters["ring_" + name + "_torn"] = static_cast<double>(ring.torn[r]);
    }
}

}  // namespace

BENCHMARK(BM_RingAppendAndFourReaders);
BENCHMARK(BM_MemcpySameBytes);
BENCHMARK(BM_RingVsMemcpyInCache)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RingAppendAudio1K);
BENCHMARK(BM_UnitWriterAndFourReaders)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
