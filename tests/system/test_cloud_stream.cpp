// The phone's live stream through the cloud's media gateway on the whole process: the unit paired
// with the local cloud, `tools/phone ROOT stream start` sends the "wg" request, the gateway checks
// and decrypts what comes (main H.264 that ffprobe reads at 1280x720, audio that plays as s16le
// 8 kHz), the phone talks through the gateway into the speaker, and `stream stop` ends it.
#include "cloud_peer.h"
#include "phone_cli.h"
#include "process.h"
#include "sandbox.h"
#include "voice_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

off_t SizeOf(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// "<name> frames N ... fps F ..." of the gateway's status: F, -1 when the line is missing.
double FpsOf(const std::string& status, const std::string& name)
{
    const size_t at = status.find("\n" + name + " frames ");
    const size_t fps = at == std::string::npos ? std::string::npos : status.find(" fps ", at);
    return fps == std::string::npos ? -1 : std::atof(status.c_str() + fps + 5);
}

}  // namespace

TEST(CloudStream, StartTalkAndStopThroughTheGateway)
{
    TestSandbox sb;
    CloudPeer cloud(sb.Root());
    ChildProcess station({BinaryDir() + "/tools/doorstation", "--root", sb.Root()});
    ASSERT_TRUE(station.WaitForOutput("linked at " + sb.Root() + "/dev/ttyS2", 10s)) << station.Output();
    ChildProcess unit({Doorphone(), "-m", "2", "-t", cloud.Pair()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("Dbg:Init P2P With Max Users:6", 60s)) << unit.Output() << cloud.Log();
    ASSERT_TRUE(Eventually([&] { return Has(cloud.Command("devices"), " online "); }, 30s)) << cloud.Log();

    // The request goes out until the unit has booked its topic and takes it.
    const std::string out = sb.Path("/stream");
    std::string status;
    ASSERT_TRUE(Eventually(
        [&] {
            auto [rc, text] = PhoneCli(sb.Root(), "stream start --streams 3 --out " + out);
            EXPECT_EQ(0, rc) << text;
            return Eventually(
                [&] {
                    status = PhoneCli(sb.Root(), "stream status").second;
                    return Has(status, " auths 1 ");
                },
                5s);
        },
        60s))
        << status << unit.Output() << cloud.Log();
    ASSERT_TRUE(unit.WaitForOutput("Dbg:streaming start type 3", 10s)) << unit.Output();
    std::this_thread::sleep_for(6s);
    status = PhoneCli(sb.Root(), "stream status").second;
    EXPECT_FALSE(Has(status, "error ")) << status;
    const double mainFps = FpsOf(status, "main");
    EXPECT_GT(mainFps, 20) << status;
    EXPECT_LT(mainFps, 30) << status;
    EXPECT_GT(FpsOf(status, "audio"), 10) << status;
    EXPECT_EQ(-1, FpsOf(status, "sub")) << "not asked for\n" << status;

    auto [prc, probe] = ShellOutput("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                                    "stream=codec_name,width,height,nb_read_frames -of default=nw=1 " +
                                    out + "/main.h264");
    EXPECT_EQ(0, prc) << probe;
    EXPECT_TRUE(Has(probe, "codec_name=h264")) << probe;
    EXPECT_TRUE(Has(probe, "width=1280")) << probe;
    EXPECT_TRUE(Has(probe, "height=720")) << probe;
    const size_t n = probe.find("nb_read_frames=");
    ASSERT_NE(std::string::npos, n) << probe;
    EXPECT_GE(std::atoi(probe.c_str() + n + 15), 100) << probe;
    // Raw audio read as s16le mono 8 kHz: its length in time is the stream's.
    auto [arc, audio] = ShellOutput("ffprobe -v error -f s16le -ar 8000 -ac 1 -show_entries format=duration "
                                    "-of default=nw=1:nk=1 " +
                                    out + "/audio.pcm");
    EXPECT_EQ(0, arc) << audio;
    EXPECT_GT(std::atof(audio.c_str()), 4.0) << audio << " " << SizeOf(out + "/audio.pcm");

    // The phone talks through the gateway: the voice reaches the speaker (16 kHz there).
    const size_t heardBefore = SpeakerFile(sb).size();
    const std::vector<int16_t> voice = Voice(3.0);
    WriteWav(sb.Path("/voice.wav"), voice, 8000);
    auto [trc, talk] = PhoneCli(sb.Root(), "stream talk " + sb.Path("/voice.wav"));
    EXPECT_EQ(0, trc) << talk;
    EXPECT_TRUE(Has(talk, "talk done")) << talk;
    EXPECT_TRUE(unit.WaitForOutput("Dbg:enable audio speaker", 5s)) << unit.Output();
    EXPECT_GE(VoiceInSpeaker(sb, voice, heardBefore), 0.9) << unit.Output();

    auto [src, stop] = PhoneCli(sb.Root(), "stream stop");
    EXPECT_EQ(0, src) << stop;
    EXPECT_TRUE(unit.WaitForOutput("Dbg:streaming stop type 3", 10s)) << unit.Output();
    unit.Kill(SIGTERM);
    unit.WaitExit(10s);
}
