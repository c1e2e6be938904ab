// A recording cut by a power loss, on the whole process: a recorder (this suite's own child,
// the simulated chain recording through MP4RecordStart) is killed with SIGKILL mid-file; the unit
// started on that card recovers the file with its card thread, and the phone's viewer lists the
// day and the file and plays it into an H.264 file that ffprobe reads at 1280x720.
#include "Common/RecordFile.h"
#include "Common/SDCard.h"
#include "Media/Mp4File.h"
#include "Media/Mp4Record.h"
#include "Media/VencStream.h"
#include "Media/VideoPipeline.h"
#include "cloud_peer.h"
#include "platform/board.h"
#include "platform/board_card.h"
#include "platform/board_sim.h"
#include "platform/decoder_sim.h"
#include "platform/mi/mi_sim.h"
#include "process.h"
#include "recording_check.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pthread.h>

using namespace std::chrono_literals;

namespace {

constexpr const char* kChildVariable = "DOORPHONE_RECORD_CHILD";
constexpr const char* kDayDir = "/mnt/sdcard/DVR/20260314";

std::string RunOutput(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    if (p != nullptr) {
        pclose(p);
    }
    return out;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

std::string Viewer()
{
    return BinaryDir() + "/tools/viewer";
}

}  // namespace

// The child: records the simulated camera (frames as fast as the encoder makes them) until it is
// killed. Skipped unless started by the test below.
TEST(RecordChild, RecordsUntilKilled)
{
    if (std::getenv(kChildVariable) == nullptr) {
        GTEST_SKIP() << "run by RecordingRoad";
    }
    BoardDevReset();
    MiSimReset();
    MiSimSetManualClock(true);
    BoardI2cSetNack(1, kBoardDecoderAddress, true);
    SysInit();
    VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
    v.VencRun = 0;
    pthread_join(v.VencThread, nullptr);
    v.VencThreadStarted = 0;
    VideoApplyInputSize(1280, 720);
    SetVideoDynamicsInfo(0);
    ASSERT_EQ(0, VideoInit());
    MP4RecordLockInit();
    Mp4RecordInstallLinks();
    ASSERT_EQ(0, BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr));
    struct tm t {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 14;
    t.tm_hour = 12;
    struct timeval tv = {timegm(&t), 0};
    ASSERT_EQ(0, BoardSetTimeOfDay(&tv));
    ASSERT_EQ(0, MP4RecordStart());
    std::printf("recording\n");
    std::fflush(stdout);
    for (;;) {
        MiSimPump(1);
        VencChannelPass(0);
    }
}

TEST(RecordingRoad, KilledMidFileRecoveredListedAndPlayed)
{
    TestSandbox sb;
    const std::vector<std::string> env = {"DOORPHONE_ROOT=" + sb.Root(), "TZ=UTC0"};
    const std::string cut = std::string(kDayDir) + "/120000.mp4";
    size_t fragments = 0;
    {
        ChildProcess recorder({"/proc/self/exe", "--gtest_filter=RecordChild.RecordsUntilKilled"},
                              {"DOORPHONE_ROOT=" + sb.Root(), "TZ=UTC0", std::string(kChildVariable) + "=1"});
        ASSERT_TRUE(recorder.WaitForOutput("recording\n", 60s)) << recorder.Output();
        ASSERT_TRUE(Eventually([&] { return WholeMdats(sb.Path(cut)) >= 5; }, 120s)) << recorder.Output();
        recorder.Kill(SIGKILL);
        ASSERT_NE(-1, recorder.WaitExit(10s));
        fragments = WholeMdats(sb.Path(cut));
    }
    ASSERT_GE(fragments, 5u);
    ASSERT_LT(fragments, 100u);
    ASSERT_TRUE(sb.Exists(cut)) << "the cut file keeps its start name";

    CloudPeer cloud(sb.Root());
    std::vector<std::string> unitEnv = env;
    ChildProcess unit({Doorphone(), "-m", "2", "-t", cloud.Pair()}, unitEnv);
    char recovered[64];
    std::snprintf(recovered, sizeof recovered, "120000_1200%02zu.mp4", fragments);
    const std::string name = std::string(kDayDir) + "/" + recovered;
    ASSERT_TRUE(unit.WaitForOutput("recovered " + cut + " as " + name, 60s)) << unit.Output();
    ASSERT_TRUE(unit.WaitForOutput("Dbg:Init P2P With Max Users:6", 60s)) << unit.Output() << cloud.Log();
    ASSERT_TRUE(Eventually([&] { return sb.Exists("/.board/p2p.port"); }, 10s)) << unit.Output();
    // The listing below is in the cloud's zone, which the unit takes at the time sync after the
    // services that start before it (cloud recording asks the cloud first).
    ASSERT_TRUE(unit.WaitForOutput("Get Server Time Success", 60s)) << unit.Output();
    EXPECT_FALSE(sb.Exists(cut));

    // The recovered file plays whole in ffprobe: every sample of its complete fragments.
    const std::string probe =
        RunOutput("ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,nb_read_frames -of "
            "default=nw=1 '" + sb.Path(name) + "'");
    EXPECT_NE(std::string::npos, probe.find("codec_name=h264")) << probe;
    EXPECT_NE(std::string::npos, probe.find("width=1280")) << probe;
    EXPECT_NE(std::string::npos, probe.find("height=720")) << probe;
    EXPECT_NE(std::string::npos, probe.find("nb_read_frames=" + std::to_string(25 * fragments))) << probe;

    auto viewer = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {Viewer(), sb.Root(), "--client", "0"});
        ChildProcess v(args, {"TZ=UTC0"});
        EXPECT_NE(-1, v.WaitExit(120s)) << v.Output();
        return v.Output();
    };
    const std::string days = viewer({"--days", "2026", "3"});
    EXPECT_NE(std::string::npos, days.find("answer event=8 result=0 words=0 2026 3 16384")) << days;  // bit 14
    const std::string files = viewer({"--files", "2026", "3", "14"});
    // The file is named in the board's local time; online, the unit's offset is the cloud's zone
    // (+01:00), so 12:00:00 there is 2026-03-14 11:00:00 UTC.
    const uint32_t start = 1773489600 - 3600;
    const uint32_t end = start + static_cast<uint32_t>(fragments);
    const std::string line = "file type=0 start=" + std::to_string(start) + " end=" + std::to_string(end);
    EXPECT_NE(std::string::npos, files.find("day list files=1\n")) << files;
    EXPECT_NE(std::string::npos, files.find(line)) << files;
    const std::string out = sb.Path("/played.h264");
    const std::string played = viewer({"--play", std::to_string(start), std::to_string(end), "--frames", "--video", out});
    EXPECT_NE(std::string::npos, played.find("playback finished")) << played;
    EXPECT_EQ(25 * fragments, Count(played, "playback video codec=h264")) << played;
    const std::string streams = RunOutput("ffprobe -v error -show_streams '" + out + "'");
    EXPECT_NE(std::string::npos, streams.find("codec_name=h264")) << streams;
    EXPECT_NE(std::string::npos, streams.find("width=1280")) << streams;
    EXPECT_NE(std::string::npos, streams.find("height=720")) << streams;
    unit.Kill(SIGTERM);
    unit.WaitExit(10s);
}
