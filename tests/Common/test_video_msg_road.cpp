// The doorbell's video message against the local cloud and its store: the unit activated in this
// process, the live pipeline feeding the ring buffer while a viewing is marked, an unanswered
// press, the second press leaving a message; the phone (tools/phone) fetches the picture and the
// media, decrypts them and FFmpeg plays the video at 1280x720 and converts the audio, with S3 and
// with Azure. With the
// detect storage refusing video the next message sends nothing; the phone's accept on protocol
// 308 is answered to the cloud and puts the call in talk.
#include "AppState.h"
#include "DeviceState.h"
#include "DoorbellCall.h"
#include "Media/AudioCapture.h"
#include "Media/media_test_util.h"
#include "NoxaApp.h"
#include "NoxaP2p.h"
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/video_msg/noxa_ipc_video_msg.h"
#include "phone_cli.h"
#include "process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

using namespace std::chrono_literals;

namespace {

std::atomic<int> gOnline{0};

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The 1-based number of the first notification line after `after` holding `part`; 0 when none.
size_t FindNotification(CloudPeer& cloud, const std::string& part, size_t after)
{
    const std::vector<std::string> lines = cloud.Notifications();
    for (size_t i = after; i < lines.size(); ++i) {
        if (lines[i].find(part) != std::string::npos) {
            return i + 1;
        }
    }
    return 0;
}

size_t NotificationCount(CloudPeer& cloud)
{
    return cloud.Notifications().size();
}

class VideoMsgRoad : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        LogCapture::Install();
        mCloud = std::make_unique<CloudPeer>(mSandbox.Root());
        ASSERT_EQ(0u, mCloud->Command("stores").rfind("s3 ", 0)) << mCloud->Log();
        // The camera's protocols register when the link starts, as noxa_ipc_init_sdk sets it.
        mqc_app_set_extra_reg_hook(noxa_ipc_register_extra_mqt_cb);
        static const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, [](uint8_t st) { gOnline = st == STAT_CLOUD_CONN; }));
        ASSERT_TRUE(StartActivation(mCloud->Pair()));
        ASSERT_TRUE(Eventually([] { return gOnline.load() == 1 && uni_time_check_sync() == 0; }, 60s))
            << mCloud->Log();
    }
    void TearDown() override
    {
        noxa_ipc_video_msg_uninit();
        DoorbellCallWaitIdle();
        gVencOutput = VENC_OUTPUT_S{};
        mqc_app_stop();
        MediaTest::TearDown();
    }
    // A press nobody answers, then the second press: the message starts. The picture is the press
    // snapshot.
    void LeaveMessage()
    {
        DoorbellPress();
        DoorbellTimerExpired();  // unanswered: the call waits for a message
        ASSERT_EQ(DOORBELL_WAIT_MSG, DoorbellCallView().state);
        DoorbellPress();
        ASSERT_EQ(DOORBELL_RECORDING, DoorbellCallView().state) << LogCapture::All();
        ASSERT_EQ(VIDEO_MSG_RECORDING, noxa_ipc_video_msg_view().state);
    }

    // One message left and opened by the phone: its picture, its video played by FFmpeg at
    // 1280x720, its audio converted.
    void PlayedByThePhone(const std::string& pic, const char* store)
    {
        const size_t before = NotificationCount(*mCloud);
        ASSERT_NO_FATAL_FAILURE(LeaveMessage());
        size_t n = 0;
        auto found = [&] { return (n = FindNotification(*mCloud, " cmd ipc_leave_msg ", before)) != 0; };
        ASSERT_TRUE(Eventually(found, 40s)) << mCloud->Command("notifications") << LogCapture::All();
        const std::string line = TextLines(mCloud->Command("notifications"))[n - 1];
        EXPECT_NE(std::string::npos,
                  line.find(" dp 185 cmd ipc_leave_msg type image with resources bucket noxa-detect "))
            << line;
        const std::string dir = mSandbox.Path(std::string("/phone-") + store);
        auto [rc, info] = PhoneCli(mSandbox.Root(), "message " + std::to_string(n) + " --out " + dir);
        ASSERT_EQ(0, rc) << info << mCloud->Log();
        EXPECT_NE(std::string::npos, info.find("codec 2 fps 25 size 1280x720")) << info;
        EXPECT_TRUE(FileText(dir + "/picture.jpg") == pic) << "the visitor's picture";
        auto [jrc, jpeg] = ShellOutput("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + dir +
                                       "/picture.jpg");
        EXPECT_TRUE(jrc == 0 && jpeg.find("mjpeg") != std::string::npos) << jpeg;

        // FFmpeg plays the video whole at 1280x720, about ten seconds of it, and converts the audio.
        auto [prc, probe] = ShellOutput("ffprobe -v error -f h264 -count_frames -select_streams v:0 -show_entries "
                                        "stream=width,height,nb_read_frames -of csv=p=0 " + dir + "/video.h264");
        ASSERT_EQ(0, prc) << probe;
        int width = 0;
        int height = 0;
        int frames = 0;
        ASSERT_EQ(3, sscanf(probe.c_str(), "%d,%d,%d", &width, &height, &frames)) << probe;
        EXPECT_EQ(1280, width);
        EXPECT_EQ(720, height);
        EXPECT_GE(frames, 150) << "ten seconds of a simulated encoder that may fall behind under load";
        EXPECT_LE(frames, 300);
        EXPECT_NE(std::string::npos, info.find(" frames " + std::to_string(frames) + " ")) << info;
        const size_t audioBytes = FileText(dir + "/audio.pcm").size();
        EXPECT_GE(audioBytes, 8u * 16000u) << "eight seconds of 8 kHz s16le at least";
        auto [arc, aout] = ShellOutput("ffmpeg -v error -y -f s16le -ar 8000 -ac 1 -i " + dir + "/audio.pcm " + dir +
                                       "/audio.wav");
        EXPECT_EQ(0, arc) << aout;
    }

    std::unique_ptr<CloudPeer> mCloud;
};

}  // namespace

TEST_F(VideoMsgRoad, ViewingMarkedMessageLeftThePhonePlaysIt)
{
    // The unit's media: the live pipeline on its own threads, frames through the gate while a
    // viewing is marked (a call, a monitor or a viewer on the unit).
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(1, 512, 25, 0, nullptr));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(9, 16 * 8000 / 1024, 25, 0, nullptr));
    gVencOutput = VENC_OUTPUT_S{};
    gVencOutput.PutMediaFrame = PutMediaFrame;
    gAppState.Online = 1;
    gDeviceState.ViewingMark = 1;
    gDeviceState.ViewingTimer = kCountdownStopped;
    gDeviceState.TalkAudioSettleTimer = kCountdownStopped;
    ASSERT_EQ(0, StartLive());

    // The service as the cloud-side start brings it up (type 0, 10 s), through the links.
    DoorbellCallInstall();
    FillMediaInfo();
    ASSERT_NE(nullptr, gNoxaAppLinks.VideoMsgInit);
    ASSERT_EQ(0, gNoxaAppLinks.VideoMsgInit(&gNoxaMediaInfo, 0, 10));
    snprintf(gDemoResourceDir, sizeof(gDemoResourceDir), "%s", "/demo");
    // The press picture: a JPEG of FFmpeg's test pattern.
    const std::string jpeg = mSandbox.Path("/pattern.jpg");
    auto [frc, fout] = ShellOutput("ffmpeg -v error -y -f lavfi -i testsrc=size=640x360 -frames:v 1 " + jpeg);
    ASSERT_EQ(0, frc) << fout;
    const std::string pic = FileText(jpeg);
    ASSERT_GT(pic.size(), 1000u);
    mSandbox.Write("/demo/resource/media/demo_snapshot.jpg", pic);
    ASSERT_TRUE(Eventually([] { return noxa_ipc_ring_buffer_find_pre_video_by_frame(0, 0) != nullptr; }, 10s));

    // With each store: the message goes up beside the picture, the phone opens and plays it.
    for (const char* store : {"s3", "azure"}) {
        SCOPED_TRACE(store);
        mCloud->Command(std::string("storage ") + store);
        notification_reset();  // the unit fetches the configuration naming the store
        ASSERT_TRUE(Eventually([] { return DoorbellCallView().state == DOORBELL_IDLE; }, 20s));
        ASSERT_TRUE(Eventually([] { return noxa_ipc_video_msg_view().state == VIDEO_MSG_IDLE; }, 20s));
        ASSERT_NO_FATAL_FAILURE(PlayedByThePhone(pic, store));
    }

    // The phone opens video messages only: the unanswered call's event is none, nor is a number
    // past the list.
    const size_t unconnected = FindNotification(*mCloud, " cmd ipc_unconnected ", 0);
    ASSERT_NE(0u, unconnected);
    for (size_t which : {unconnected, NotificationCount(*mCloud) + 1}) {
        auto [rc, out] = PhoneCli(mSandbox.Root(), "message " + std::to_string(which) + " --out " +
                                                       mSandbox.Path("/phone-none"));
        EXPECT_NE(0, rc) << out;
        EXPECT_NE(std::string::npos, out.find("phone: error: ")) << out;
    }

    // The detect storage takes no video now: the next message is refused whole, no 185.
    mCloud->Command("detect-content video off");
    notification_reset();
    ASSERT_TRUE(Eventually([] { return DoorbellCallView().state == DOORBELL_IDLE; }, 20s));
    const size_t count = NotificationCount(*mCloud);
    ASSERT_NO_FATAL_FAILURE(LeaveMessage());
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("video message upload: -4"); }, 40s)) << LogCapture::All();
    DoorbellCallWaitIdle();
    EXPECT_EQ(0u, FindNotification(*mCloud, " cmd ipc_leave_msg ", count)) << mCloud->Command("notifications");

    // The phone takes a new call: its accept is answered to the cloud and the call is in talk.
    ASSERT_TRUE(Eventually([] { return DoorbellCallView().state == DOORBELL_IDLE; }, 20s));
    DoorbellPress();
    ASSERT_TRUE(Eventually([&] { return mCloud->Command("events").find("ac_doorbell") != std::string::npos; }, 10s));
    auto [src, sout] =
        PhoneCli(mSandbox.Root(), "send 308 '{\"type\":\"ac_doorbell\",\"data\":{\"event\":\"accept\"}}'");
    ASSERT_EQ(0, src) << sout;
    EXPECT_TRUE(Eventually([] { return DoorbellCallView().state == DOORBELL_TALKING; }, 10s)) << LogCapture::All();
    EXPECT_TRUE(Eventually([&] { return mCloud->Command("events").find("\"event\":\"accept\"") != std::string::npos; },
                           10s))
        << mCloud->Command("events");
    AudioDeInit();
}
