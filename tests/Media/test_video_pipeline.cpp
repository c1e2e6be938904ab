// The video chain on the simulated media layer: the graph start-up builds, its teardown and
// rebuild, failures on the way, the format record, and the start-up race with the format watch.
#include "Common/DeviceState.h"
#include "Media/MiWrapper.h"
#include "media_test_util.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::string FirstLine(const std::string& s)
{
    return s.substr(0, s.find('\n') + 1);
}

int Count(const std::string& s, const std::string& what)
{
    int n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST_F(MediaTest, StartUpBuildsTheChainAndTeardownLeavesNothing)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, StartUp());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(kStartUpGraph1080, MiSimDumpGraph());
    EXPECT_NE(std::string::npos, out.find("[VideoInit] 1920x1080 25fps"));
    EXPECT_NE(std::string::npos, out.find("record w:1920 h:1080"));
    EXPECT_EQ(300, gDeviceState.VideoSettleTimer);
    // The decoder's driver went in through the shell runner.
    std::string tools = mSandbox.Read("/.board/tools.log");
    EXPECT_NE(std::string::npos, tools.find("insmod ")) << tools;
    EXPECT_NE(std::string::npos, tools.find("/customer/ko/nvp6124b.ko chmap=1")) << tools;

    gDeviceState.RecordTimer = 100;
    EXPECT_EQ(0, VideoDeInit());
    EXPECT_EQ(FirstLine(kStartUpGraph1080), MiSimDumpGraph())
        << "only the sensor pad stays: the time stamp regions went with the scaler's ports";
    EXPECT_EQ(kCountdownStopped, gDeviceState.RecordTimer);

    // A restart puts them back on the rebuilt ports.
    EXPECT_EQ(0, VideoInit());
    VideoRestart();
    EXPECT_EQ(kStartUpGraph1080, MiSimDumpGraph());
    EXPECT_EQ(0, gVencState.Pause);
    EXPECT_EQ(3, MiSimCallCount("MI_VPE_CreateChannel"));
    // The rebuilt chain encodes.
    MiSimPump(3);
    EXPECT_EQ(3u, MiSimVencFrames(0));
    EXPECT_EQ(3u, MiSimVencFrames(1));
    EXPECT_EQ(1u, MiSimVencFrames(2)) << "the JPEG channel runs at 10 of 25 frames";
}

TEST_F(MediaTest, FailedScalerChannelReturnsBeforeAnyBinding)
{
    SysInit();
    StopEncoderThread();
    SetVideoDynamicsInfo(0);
    const MI_S32 code = MiErrCode(E_MI_MODULE_ID_VPE, E_MI_ERR_NOMEM);
    MiSimFailCall("MI_VPE_CreateChannel", code);
    EXPECT_EQ(code, VideoInit());
    EXPECT_EQ(0, MiSimCallCount("MI_SYS_BindChnPort2"));
    EXPECT_EQ(0, MiSimCallCount("MI_VENC_CreateChn"));
    EXPECT_EQ(std::string::npos, MiSimDumpGraph().find("bind"));
}

TEST_F(MediaTest, FailedDetectionChannelIsReportedAndTheRestRuns)
{
    const MI_S32 code = MiErrCode(E_MI_MODULE_ID_DIVP, E_MI_ERR_NOMEM);
    MiSimFailCall("MI_DIVP_CreateChn", code);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, StartUp());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("[DIVPChnCreate] MI_DIVP_CreateChn Fail 0xa00c200c"));
    // The next steps still ran: the output port (reported too, the channel is missing) and the
    // port depth, whose failure ends the function before the binding.
    EXPECT_EQ(1, MiSimCallCount("MI_DIVP_SetOutputPortAttr"));
    EXPECT_NE(std::string::npos, out.find("[DIVPChnCreate] MI_DIVP_SetOutputPortAttr Fail"));
    EXPECT_EQ(1, MiSimCallCount("MI_SYS_SetChnOutputPortDepth") - 4) << "VIF and the three VPE ports first";
    EXPECT_EQ(0, MiSimCallCount("MI_DIVP_StartChn"));
    // The streams are there all the same.
    std::string graph = MiSimDumpGraph();
    EXPECT_EQ(3, Count(graph, "venc chn"));
    EXPECT_EQ(std::string::npos, graph.find("divp"));
}

TEST_F(MediaTest, StreamIndexOutOfBounds)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, CreateVencStream(3, 640, 360, 0, 0, 0, 0));
    EXPECT_EQ(-1, DestroyVencStream(3));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(2, Count(out, "index is out of bounds!"));
    EXPECT_EQ(0, MiSimCallCount("MI_VPE_GetPortMode"));
}

// Input sizes by resolution code: capture window and rates of the chain.
TEST_F(MediaTest, InputSizesGiveCaptureWindowAndRates)
{
    struct Row {
        uint8_t resolutionCode;
        const char* vif;
        const char* bind;
        const char* record;
    };
    const Row rows[] = {
        {4, "cap 0,0 1920x1080 dest 1920x1080", "rate 25/25 type 4", "record w:1920 h:1080"},
        {0, "cap 0,0 1280x720 dest 1280x720", "rate 25/25 type 4", "record w:1280 h:720"},
        {1, "cap 20,0 934x288 dest 934x288", "rate 50/25 type 4", "record w:640 h:480"},
        {2, "cap 20,0 934x240 dest 934x240", "rate 50/25 type 4", "record w:640 h:480"},
    };
    SysInit();
    StopEncoderThread();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.resolutionCode);
        gVideoDynamicsInfo.ResolutionCode = r.resolutionCode;
        testing::internal::CaptureStdout();
        SetVideoDynamicsInfo(0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(r.record));
        ASSERT_EQ(0, VideoInit());
        std::string graph = MiSimDumpGraph();
        EXPECT_NE(std::string::npos, graph.find(r.vif)) << graph;
        EXPECT_NE(std::string::npos, graph.find("bind vif.0.0.0 -> vpe.0.0.0 " + std::string(r.bind))) << graph;
        EXPECT_NE(std::string::npos, graph.find("venc chn 0 dev 0 h264 1280x720")) << "the recorded stream stays 720p";
        ASSERT_EQ(0, VideoDeInit());
    }
}

TEST_F(MediaTest, FormatCodesOutsideTheTablesChangeNothing)
{
    SysInit();
    StopEncoderThread();
    SetVideoDynamicsInfo(0);
    VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
    v.ResolutionCode = 7;
    testing::internal::CaptureStdout();
    SetVideoDynamicsInfo(3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1920, v.SensorWidth);
    EXPECT_EQ(0u, v.Type) << "an unknown size leaves the record alone";
    EXPECT_NE(std::string::npos, out.find("sensor w:1920 h:1080"));
    EXPECT_NE(std::string::npos, out.find("record w:1920 h:1080"));
    EXPECT_NE(std::string::npos, out.find("rate:25 type:3"));

    // Rate codes: the list entry, and a code past the five entries keeps the rate.
    v.ResolutionCode = 4;
    const struct {
        uint8_t code;
        uint8_t rate;
    } rates[] = {{0, 5}, {2, 15}, {4, 25}, {1, 10}, {5, 10}, {200, 10}};
    for (const auto& r : rates) {
        v.FrameRateCode = r.code;
        testing::internal::CaptureStdout();
        SetVideoDynamicsInfo(1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.rate, v.FrameRate) << "code " << int(r.code);
        EXPECT_EQ(r.code, v.PrevFrameRateCode);
    }
}

namespace {

// Threads of this process named `name` (the kernel's list).
int ThreadsNamed(const std::string& name)
{
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        n += std::getline(comm, line) && line == name ? 1 : 0;
    }
    return n;
}

}  // namespace

// The format watch writes the format record from its own thread: however often the media system
// starts there is one, and a stop ends it (as the fixture does before a test drives the record).
TEST_F(MediaTest, OneFormatWatchHoweverOftenItStartsAndAStopEndsIt)
{
    ASSERT_EQ(0, SysInit());
    ASSERT_EQ(0, SensorFmtStart());
    for (int i = 0; i < 500 && ThreadsNamed("SensorFmtThread") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(1, ThreadsNamed("SensorFmtThread"));
    StopEncoderThread();
    EXPECT_EQ(0, ThreadsNamed("SensorFmtThread")) << "stopped and joined";
    SensorFmtStop();  // a second stop does nothing
}

// The format watch measures the input before start-up has built the chain: the chain is built
// once, for the measured size, and the main thread's default does not overwrite it.
TEST_F(MediaTest, InputMeasuredBeforeTheFirstBuildIsBuiltOnce)
{
    SysInit();
    StopEncoderThread();
    EXPECT_EQ(0, VideoReady());
    EXPECT_EQ(0, VideoApplyInputSize(1280, 720));  // the watch's first poll
    SetVideoDynamicsInfo(0);
    ASSERT_EQ(0, VideoInit());
    EXPECT_EQ(1, VideoReady());
    EXPECT_EQ(1, MiSimCallCount("MI_VPE_CreateChannel"));
    EXPECT_NE(std::string::npos, MiSimDumpGraph().find("vif chn 0 port 0 cap 0,0 1280x720"));
    EXPECT_EQ(1280, gVideoDynamicsInfo.SensorWidth);

    // The next poll sees the same size: nothing happens; a new size rebuilds once.
    EXPECT_EQ(0, VideoApplyInputSize(1280, 720));
    EXPECT_EQ(1, MiSimCallCount("MI_VPE_CreateChannel"));
    EXPECT_EQ(1, VideoApplyInputSize(1920, 1080));
    EXPECT_EQ(2, MiSimCallCount("MI_VPE_CreateChannel"));
    EXPECT_EQ(kStartUpGraph1080, MiSimDumpGraph());
}

// The same with the watch on its own thread: whatever the interleaving, the chain is whole and
// for the measured size, and never built twice at once.
TEST_F(MediaTest, InputMeasuredDuringStartUpEndsInOneWholeChain)
{
    for (int round = 0; round < 5; ++round) {
        MiSimReset();
        MiSimSetManualClock(true);
        SysInit();
        StopEncoderThread();
        std::thread watch([] { VideoApplyInputSize(1280, 720); });
        SetVideoDynamicsInfo(0);
        ASSERT_EQ(0, VideoInit());
        watch.join();
        std::string graph = MiSimDumpGraph();
        EXPECT_EQ(1, Count(graph, "vpe chn 0 max 1280x720")) << graph;
        EXPECT_EQ(5, Count(graph, "bind ")) << graph;
        EXPECT_LE(MiSimCallCount("MI_VPE_CreateChannel"), 2);
        EXPECT_EQ(MiSimCallCount("MI_VPE_CreateChannel") - 1, MiSimCallCount("MI_VPE_DestroyChannel"));
        MediaSystemDeInit();
    }
}

TEST_F(MediaTest, MediaSystemTeardownStopsTheThreadAndEverything)
{
    ASSERT_EQ(0, SysInit());
    EXPECT_EQ(1, gVideoDynamicsInfo.VencRun);
    SetVideoDynamicsInfo(0);
    ASSERT_EQ(0, VideoInit());
    MediaSystemDeInit();
    EXPECT_EQ(0, gVideoDynamicsInfo.VencRun);
    EXPECT_EQ(0, gVideoDynamicsInfo.VencThreadStarted) << "joined";
    EXPECT_EQ("", MiSimDumpGraph()) << "nothing stays on the ports";
    EXPECT_EQ(0, VideoReady());
    EXPECT_EQ(0, VideoApplyInputSize(1280, 720)) << "nothing rebuilds after the teardown";
    EXPECT_EQ(1, MiSimCallCount("MI_VPE_CreateChannel"));
    std::string tools = mSandbox.Read("/.board/tools.log");
    EXPECT_NE(std::string::npos, tools.find("rmmod mi_ao mi_divp mi_ai mi_venc mi_vif mi_vpe mi_sensor drv_ms_cus_nvp6124b"));
}

namespace {

// The media clock brought up with the fixed time stamps; a failing step stops the rest.
TEST_F(MediaTest, MediaClockStartSetsTheTimeStampsAndStopsAtTheFirstFailure)
{
    ASSERT_EQ(0, MiSysInitPts());
    MI_U64 pts = 0;
    ASSERT_EQ(0, MI_SYS_GetCurPts(&pts));
    EXPECT_EQ(kMiPtsSync, pts);
    MiSimPump(2);
    ASSERT_EQ(0, MI_SYS_GetCurPts(&pts));
    EXPECT_EQ(kMiPtsSync + 2 * 40000u, pts) << "the clock runs on from the synchronised value";

    const struct {
        const char* fails;
        int baseCalls;  // MI_SYS_InitPtsBase reached
        int syncCalls;
    } rows[] = {
        {"MI_SYS_Init", 0, 0},
        {"MI_SYS_GetVersion", 0, 0},
        {"MI_SYS_GetCurPts", 0, 0},
        {"MI_SYS_InitPtsBase", 1, 0},
        {"MI_SYS_SyncPts", 1, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fails);
        const int base = MiSimCallCount("MI_SYS_InitPtsBase");
        const int sync = MiSimCallCount("MI_SYS_SyncPts");
        MiSimFailCall(r.fails, static_cast<MI_S32>(0xA0098007));
        EXPECT_EQ(static_cast<int>(0xA0098007), MiSysInitPts());
        EXPECT_EQ(base + r.baseCalls, MiSimCallCount("MI_SYS_InitPtsBase"));
        EXPECT_EQ(sync + r.syncCalls, MiSimCallCount("MI_SYS_SyncPts"));
        MiSimClearFailures();
    }
    EXPECT_EQ(0, MiSysExit());
}

}  // namespace
