// The on-screen display's cost per second of video and the decoder's re-programming: the time
// stamp refresh (two canvases cleared, 19 glyphs each, published), the UTF-8 to GB2312 step with
// its linear table search, and one format change written over the simulated I2C bus. The decoder
// prints every register it writes: run with --benchmark_out=FILE --benchmark_out_format=console.
#include "Common/DeviceState.h"
#include "Common/I2C.h"
#include "Media/Pr2000.h"
#include "Media/osd.h"
#include "platform/board_dev.h"
#include "platform/board_path.h"
#include "platform/board_sim.h"
#include "platform/mi/mi_sim.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// A board root with the build's resources and the I2C bus nodes, made once.
class Board {
public:
    Board()
    {
        char tmpl[] = "/tmp/doorphone-bench-XXXXXX";
        mRoot = mkdtemp(tmpl);
        std::filesystem::create_directories(mRoot + "/customer");
        std::filesystem::create_directories(mRoot + "/dev");
        std::filesystem::create_directory_symlink(DOORPHONE_RES_DIR, mRoot + "/customer/res");
        for (const char* node : {"/dev/i2c-0", "/dev/i2c-1"}) {
            std::FILE* f = std::fopen((mRoot + node).c_str(), "w");
            std::fclose(f);
        }
        setenv("DOORPHONE_ROOT", mRoot.c_str(), 1);
        BoardReloadRoot();
        BoardDevReset();
        MiSimReset();
        MiSimSetManualClock(true);
        MI_SYS_Init();
        I2cBusTableInit();
        OsdSystemInit();
        OsdRegionsCreate();
    }
    ~Board() { std::filesystem::remove_all(mRoot); }

private:
    std::string mRoot;
};

Board& TheBoard()
{
    static Board board;
    return board;
}

void BM_TimeStampPass(benchmark::State& state)
{
    TheBoard();
    gDeviceState.WatermarkSetting = 1;
    time_t t = 1709622489;
    for (auto _ : state) {
        benchmark::DoNotOptimize(OsdTimeStampPass(t++));
    }
}
BENCHMARK(BM_TimeStampPass);

void BM_TextToGb2312(benchmark::State& state)
{
    // A door name of ten Chinese characters: each a search through most of the 7573 pairs.
    const char* text = "\xEF\xBB\xBF\xE5\x89\x8D\xE9\x97\xA8\xE5\x89\x8D\xE9\x97\xA8\xE5\x89\x8D\xE9\x97\xA8"
                       "\xE5\x89\x8D\xE9\x97\xA8\xE5\x89\x8D\xE9\x97\xA8";
    uint8_t out[64];
    for (auto _ : state) {
        benchmark::DoNotOptimize(OsdTextToGb2312(text, out, sizeof(out)));
    }
}
BENCHMARK(BM_TextToGb2312);

void BM_FormatChange1080(benchmark::State& state)
{
    TheBoard();
    const PR2000_MODE_S mode{3, 7, 9};
    for (auto _ : state) {
        SetPr2000Mode(&mode);
    }
}
BENCHMARK(BM_FormatChange1080)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
