// The SD event storage as this application sees it: never started, so the viewer events and the
// format worker reach it through their links and are refused in the storage's own words; and a
// download asked for by tools/viewer looks at nothing on the board and sends nothing.
#include "NoxaP2p.h"
#include "NoxaSettings.h"
#include "NoxaStreamStorage.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_ipc_sdk/stream_storage/noxa_ipc_stream_storage.h"
#include "process.h"
#include "sd_card_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kStart = 1796774400 + 3600;  // 2026-12-09 01:00 UTC

class SdEventApp : public SdCardTest {
protected:
    void SetUp() override
    {
        SdCardTest::SetUp();
        LogCapture::Install();
        NoxaStreamStorageInstallLinks();
    }
    static void Event(NOXA_P2P_EVENT_E e, std::vector<uint32_t> words, int rc = 0)
    {
        words.resize(NOXA_P2P_EVENT_WORDS, 0);
        EXPECT_EQ(rc, __NOXA_APP_p2p_event_cb(e, words.data())) << e;
    }
};

}  // namespace

TEST_F(SdEventApp, ViewerEventsAreAnsweredByTheStorageThatNeverStarted)
{
    const NOXA_P2P_LINKS_S& l = gNoxaP2pLinks;
    const uint32_t range[2] = {kStart, kStart + 60};
    EXPECT_EQ(-2, l.SsPbSetStatus(0, SS_PB_MUTE));
    EXPECT_EQ(0, l.SsPbStop(0));
    EXPECT_EQ(-1, l.SsDownloadPre(0, range));
    EXPECT_EQ(-2, l.SsDownloadSetStatus(0, SS_DL_START));
    testing::internal::CaptureStdout();
    Event(TRANS_PLAYBACK_MUTE, {1});
    Event(TRANS_PLAYBACK_UNMUTE, {1});
    Event(TRANS_PLAYBACK_STOP, {1});
    Event(TRANS_DOWNLOAD_START, {2, kStart, kStart + 60}, -1);  // answered as not done
    Event(TRANS_DOWNLOAD_PAUSE, {3});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(LogCapture::Logged("curr pb 1 not inited.")) << LogCapture::All();
    EXPECT_TRUE(LogCapture::Logged("stream storage not inited"));
    EXPECT_FALSE(LogCapture::Logged("pb index[2] not init")) << "a refused preparation starts nothing";
    EXPECT_TRUE(LogCapture::Logged("pb index[3] not init"));
    EXPECT_EQ(std::string::npos, out.find("wiring fault")) << out;
}

TEST_F(SdEventApp, AFormatFindsTheStorageNotInited)
{
    Mount();
    gSettingsSleep = [](uint32_t) {};
    testing::internal::CaptureStdout();
    SdFormatRun();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(LogCapture::Logged("storage not inited")) << LogCapture::All();
    EXPECT_TRUE(LogCapture::Logged("stop all pb videos"));
    EXPECT_EQ(std::string::npos, out.find("link gNoxaSettingsLinks.SdWriteMode is empty")) << out;
    EXPECT_EQ(std::string::npos, out.find("link gNoxaSettingsLinks.StopAllPlayback is empty")) << out;
    EXPECT_EQ(100u, GetSdFormatProgress());
}

// Without storage there is no DCIM to search: an event laid out at the board's root (where a
// search from an empty DCIM path would look) is never found, and the viewer gets no data.
TEST_F(SdEventApp, ADownloadFromTheViewerReadsNothingAndSendsNothing)
{
    const std::string bait = sb.Path("/2026/12/09/" + std::to_string(kStart) + "_0010");
    ASSERT_TRUE(std::filesystem::create_directories(bait));
    std::ofstream(bait + "/0000.media") << std::string(24, '\0');
    uni_set_time_zone("+00:00");
    gNoxaP2pModule.OnlineClientCount = [] { return 0; };
    gw_set_local_key("0123456789abcdef");  // as activation sets it; the viewer proves it
    ASSERT_EQ(0, InitNoxaP2p(6));
    ASSERT_TRUE(Eventually([this] { return sb.Exists("/.board/p2p.port"); }, 5s));
    const std::string records = sb.Path("/dl.media");
    ChildProcess viewer({BinaryDir() + "/tools/viewer", sb.Root(), "--client", "0", "--key", "0123456789abcdef", "--download",
                         std::to_string(kStart), std::to_string(kStart + 60), "--records", records, "--frames"});
    const int status = viewer.WaitExit(30s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << ": the refusal ends the viewer's wait";
    const std::string out = viewer.Output();
    EXPECT_NE(std::string::npos, out.find("answer event=19 result=-1")) << out;
    EXPECT_NE(std::string::npos, out.find("download refused")) << out;
    EXPECT_EQ(std::string::npos, out.find("download type=")) << out;
    EXPECT_EQ(std::string::npos, out.find("download finished")) << out;
    EXPECT_FALSE(std::filesystem::exists(records)) << "a refused download leaves no records file";
    EXPECT_TRUE(LogCapture::Logged("stream storage not inited")) << LogCapture::All();
    EXPECT_FALSE(LogCapture::Logged("dlEventSize")) << "the bait was found";
    noxa_ipc_tranfser_deinit();
}
