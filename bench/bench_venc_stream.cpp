// The encoder stream thread's own cost per encoded frame: one pass over the three channels with a
// frame waiting on channels 0 and 1 (descriptors, wait, query, fetch, hand-over with the gate,
// the recorder's key-frame split, release), the simulated encoder left out: its frames are put
// into the channels, untimed, before each pass. Hand-over and recording go to receivers that
// only count.
#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Media/VencStream.h"
#include "Media/VideoPipeline.h"
#include "platform/mi/mi_sim.h"
#include "platform/mi/mi_sys.h"
#include "platform/board_path.h"
#include "platform/mi/mi_venc.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

uint64_t gBytes = 0;

int Put(int, const MEDIA_FRAME_S* f)
{
    gBytes += f->size;
    return 0;
}
uint8_t Recording()
{
    return 1;
}
int Write(uint8_t*, uint32_t len, uint32_t, uint64_t)
{
    gBytes += len;
    return 0;
}

std::vector<uint8_t> Nal(uint8_t header, size_t len)
{
    std::vector<uint8_t> n(len, 0x5A);
    n[0] = n[1] = n[2] = 0;
    n[3] = 1;
    n[4] = header;
    return n;
}

// An empty board root for the simulation's state, removed at exit.
struct Root {
    Root()
    {
        char tmpl[] = "/tmp/doorphone-bench-XXXXXX";
        path = mkdtemp(tmpl);
        setenv("DOORPHONE_ROOT", path.c_str(), 1);
        BoardReloadRoot();
    }
    ~Root() { std::filesystem::remove_all(path); }
    std::string path;
};

void SetUp()
{
    static Root root;
    static bool done = [] {
        MiSimReset();
        MiSimSetManualClock(true);
        MI_SYS_Init();
        VideoApplyInputSize(1280, 720);
        SetVideoDynamicsInfo(0);
        std::fflush(stdout);
        bool ok = VideoInit() == 0;
        gVencOutput = VENC_OUTPUT_S{Put, Recording, Write, nullptr};
        gAppState.Online = 1;
        gDeviceState.ViewingMark = 1;
        gDeviceState.ViewingTimer = kCountdownStopped;
        return ok;
    }();
    if (!done) {
        std::fprintf(stderr, "chain not built\n");
    }
}

// keyFrame: channel 0's frame is an IDR pack (SPS, PPS, SEI, slice), else a P frame.
void Pass(benchmark::State& state, bool keyFrame)
{
    SetUp();
    std::vector<uint8_t> main = keyFrame ? Nal(0x67, 16) : Nal(0x41, 24 * 1024);
    if (keyFrame) {
        const std::vector<uint8_t> rest[] = {Nal(0x68, 8), Nal(0x06, 40), Nal(0x65, 60 * 1024)};
        for (const std::vector<uint8_t>& n : rest) {
            main.insert(main.end(), n.begin(), n.end());
        }
    }
    const std::vector<uint8_t> sub = Nal(0x41, 6 * 1024);
    const MI_U32 mainType = keyFrame ? E_MI_VENC_H264E_NALU_ISLICE : E_MI_VENC_H264E_NALU_PSLICE;
    for (auto _ : state) {
        state.PauseTiming();
        MiSimVencInject(0, main.data(), main.size(), mainType, 0);
        MiSimVencInject(1, sub.data(), sub.size(), E_MI_VENC_H264E_NALU_PSLICE, 0);
        state.ResumeTiming();
        benchmark::DoNotOptimize(VencChannelPass(0));
    }
    state.SetItemsProcessed(state.iterations() * 2);  // encoded frames
    benchmark::DoNotOptimize(gBytes);
}

void BM_VencPassPFrames(benchmark::State& state)
{
    Pass(state, false);
}
void BM_VencPassKeyFrame(benchmark::State& state)
{
    Pass(state, true);
}

}  // namespace

BENCHMARK(BM_VencPassPFrames);
BENCHMARK(BM_VencPassKeyFrame);
BENCHMARK_MAIN();
