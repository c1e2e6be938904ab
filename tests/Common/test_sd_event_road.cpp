// SD event storage beside the live media pipeline on the simulated board: events recorded from
// the simulated encoder through PutMediaFrame and the ring buffer, read back with the test's own
// parser and decoder, played through a slot, and downloaded by tools/viewer from a unit that is
// activated at the local cloud.
#include "AppState.h"
#include "DeviceState.h"
#include "Media/AudioCapture.h"
#include "Media/media_test_util.h"
#include "NoxaApp.h"
#include "NoxaP2p.h"
#include "NoxaStreamStorage.h"
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "mi/decode_util.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/media_records.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/stream_storage/noxa_ipc_stream_storage.h"
#include "process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>

using namespace std::chrono_literals;

namespace {

int CardOk()
{
    return 1;
}
const char* Mount()
{
    return "/mnt/sdcard";
}
void Space(uint32_t* total, uint32_t* used, uint32_t* free)
{
    *total = 7761920;
    *used = 0;
    *free = 7761920;
}
int EventMode()
{
    return 1;
}

// The application's ring buffers (its channels 0, 1 and 9).
void InitRings()
{
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(1, 512, 25, 0, nullptr));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(9, 16 * 8000 / 1024, 25, 0, nullptr));
}

// What went into the ring buffer, per channel, as the ring buffer stamps it.
std::mutex gAppendLock;
std::vector<MediaRecord> gAppended[2];  // main video, audio

int RecordingPut(int channel, const MEDIA_FRAME_S* f)
{
    if (channel == 0 || channel == 9) {
        MediaRecord r;
        r.type = f->type;
        r.ms = uni_time_get_posix_ms();  // the test clock stands still during the hand-over
        r.pts = f->pts;
        r.data.assign(f->data, f->data + f->size);
        std::lock_guard<std::mutex> lock(gAppendLock);
        gAppended[channel == 0 ? 0 : 1].push_back(std::move(r));
    }
    return PutMediaFrame(channel, f);
}

// Where `part` stands in `whole` as one unbroken run; -1 when it does not.
long RunIn(const std::vector<MediaRecord>& whole, const std::vector<MediaRecord>& part)
{
    if (part.empty()) {
        return -1;
    }
    for (size_t i = 0; i + part.size() <= whole.size(); ++i) {
        if (whole[i] == part[0] && std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(i))) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::vector<MediaRecord> OfTypes(const std::vector<MediaRecord>& rs, bool video)
{
    std::vector<MediaRecord> out;
    for (const MediaRecord& r : rs) {
        if ((r.type != 3) == video) {
            out.push_back(r);
        }
    }
    return out;
}

// Frames ffprobe reads from an H.264 Annex B file; -1 when it reports an error.
int ProbeFrames(const std::string& path)
{
    std::string cmd = "ffprobe -v error -f h264 -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                      "-of csv=p=0 '" + path + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, p) != nullptr) {
        out += buf;
    }
    int rc = pclose(p);
    char* end = nullptr;
    long n = strtol(out.c_str(), &end, 10);
    if (rc != 0 || end == out.c_str() || (*end != '\n' && *end != '\0')) {
        ADD_FAILURE() << "ffprobe " << path << ": " << out;
        return -1;
    }
    return static_cast<int>(n);
}

class SdEventPipeline : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        LogCapture::Install();
        gNoxaSsSdHooks = NOXA_SS_SD_HOOKS_S{CardOk, Mount, Space, EventMode, nullptr};
        gAppState.Online = 1;
        gDeviceState.ViewingMark = 1;
        gDeviceState.ViewingTimer = kCountdownStopped;
        gDeviceState.TalkAudioSettleTimer = kCountdownStopped;
        gVencOutput = VENC_OUTPUT_S{};
        gVencOutput.PutMediaFrame = RecordingPut;
    }
    void TearDown() override
    {
        noxa_ipc_ss_pb_stop_all();
        noxa_ipc_ss_uninit();
        gVencOutput = VENC_OUTPUT_S{};
        MediaTest::TearDown();
    }
    std::string Dcim() const { return mSandbox.Path("/mnt/sdcard/DCIM"); }
    // The one event folder on the card and its records, slices in order.
    std::string OnlyEvent() const
    {
        std::vector<std::string> events = EventFolders(Dcim());
        EXPECT_EQ(1u, events.size());
        return events.empty() ? "" : Dcim() + "/" + events[0];
    }
    static std::string SlicesBytes(const std::string& event)
    {
        std::string all;
        for (const std::string& s : Slices(event)) {
            all += FileBytes(event + "/" + s);
        }
        return all;
    }
    // Each slice begins with a key frame and ends on a whole record.
    static void CheckSlices(const std::string& event)
    {
        for (const std::string& s : Slices(event)) {
            bool whole = false;
            std::vector<MediaRecord> rs = ParseRecords(FileBytes(event + "/" + s), &whole);
            EXPECT_TRUE(whole) << s;
            ASSERT_FALSE(rs.empty()) << s;
            EXPECT_EQ(1u, rs[0].type) << s << " begins with a key frame";
        }
    }
};

}  // namespace

// A 60 s event on the manual clock: every record in the slices is a frame the encoder handed
// over, in the order it was appended, byte for byte with its time stamps, none missing between
// the first and the last; the H.264 decodes whole.
TEST_F(SdEventPipeline, ASixtySecondEventParsesBackAsAppended)
{
    const uint32_t t0 = 1796774400 + 12 * 3600;
    UniTestClock clock;
    uni_time_set(t0, 1);
    uni_set_time_zone("+00:00");
    ASSERT_NO_FATAL_FAILURE(InitRings());
    SysInit();
    StopEncoderThread();
    VideoApplyInputSize(1280, 720);
    SetVideoDynamicsInfo(0);
    ASSERT_EQ(0, VideoInit());
    noxa_ipc_ss_threads_for_test(0);
    NOXA_MEDIA_INFO_S media = AppMedia();
    ASSERT_EQ(0, noxa_ipc_ss_init("/mnt/sdcard", &media, 20));
    noxa_ipc_ss_disk_monitor_round();
    uint32_t audioIndex = 0;
    auto step = [&] {
        clock.Advance(40);
        MiSimPump(1);
        VencChannelPass(0);
        MediaRecord a = SelfFrame(3, audioIndex++, 640);
        MEDIA_FRAME_S f{3, a.data.data(), 640, 0, a.pts, a.pts};
        gVencOutput.PutMediaFrame(9, &f);
        for (int i = 0; i < 20 && noxa_ipc_ss_storage_pass() == 0; ++i) {
        }
    };
    for (int i = 0; i < 75; ++i) {
        step();
    }
    ASSERT_EQ(0, noxa_ipc_ss_start_event()) << LogCapture::All();
    for (int i = 0; i < 1500; ++i) {
        step();
    }
    ASSERT_EQ(0, noxa_ipc_ss_stop_event());
    for (int i = 0; i < 5 && noxa_ipc_ss_get_status() != E_STORAGE_STOP; ++i) {
        step();
    }
    ASSERT_EQ(E_STORAGE_STOP, noxa_ipc_ss_get_status());

    const std::string event = OnlyEvent();
    ASSERT_FALSE(event.empty());
    ASSERT_NO_FATAL_FAILURE(CheckSlices(event));
    EXPECT_GE(Slices(event).size(), 6u);
    std::vector<MediaRecord> stored = ParseRecords(SlicesBytes(event));
    std::vector<MediaRecord> video = OfTypes(stored, true);
    std::vector<MediaRecord> audio = OfTypes(stored, false);
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(1u, video[0].type);
    // Two seconds of pre-record, then the 60 s: at least 62 s of video, on a key frame.
    EXPECT_GE(video.back().ms - video[0].ms, 61900u);
    EXPECT_LE(video.back().ms - video[0].ms, 64000u);
    EXPECT_GE(RunIn(gAppended[0], video), 0) << "the stored video is the appended video, unbroken";
    EXPECT_GE(RunIn(gAppended[1], audio), 0) << "the stored audio is the appended audio, unbroken";
    EXPECT_GE(audio.front().ms, video.front().ms) << "the audio starts behind its video";
    const uint32_t start = static_cast<uint32_t>(video.front().ms / 1000);
    const uint32_t end = static_cast<uint32_t>(video.back().ms / 1000);
    char name[20];
    snprintf(name, sizeof name, "%010u_%04u", start, end - start);
    EXPECT_EQ(name, event.substr(event.rfind('/') + 1));
    TestDecoder decoder(AV_CODEC_ID_H264);
    size_t pictures = 0;
    for (const MediaRecord& r : video) {
        DecodedPicture pic;
        pictures += decoder.Decode(r.data.data(), r.data.size(), &pic) && pic.width == 1280 ? 1 : 0;
    }
    EXPECT_EQ(video.size(), pictures);
}

// The must-show road: the unit activated at the local cloud (it has its local key), the live
// pipeline feeding the storage on its own threads, one event recorded and played through slot 0
// (the H.264 of the callbacks decodes), then tools/viewer downloads it as client 0.
TEST_F(SdEventPipeline, RecordPlayAndDownloadThroughTheViewer)
{
    static const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    static std::atomic<int> online{0};
    CloudPeer cloud(mSandbox.Root());
    ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, [](uint8_t st) { online = st == STAT_CLOUD_CONN; }));
    ASSERT_TRUE(StartActivation(cloud.Pair()));
    ASSERT_TRUE(Eventually([] { return online.load() == 1 && uni_time_check_sync() == 0; }, 60s)) << cloud.Log();

    ASSERT_NO_FATAL_FAILURE(InitRings());
    ASSERT_EQ(0, StartLive());
    NOXA_MEDIA_INFO_S media = AppMedia();
    noxa_ipc_ss_threads_for_test(1);
    ASSERT_EQ(0, noxa_ipc_ss_init("/mnt/sdcard", &media, 20));
    ASSERT_TRUE(Eventually([] { return noxa_ipc_ss_start_event() == 0; }, 10s)) << LogCapture::All();
    std::this_thread::sleep_for(12s);
    ASSERT_EQ(0, noxa_ipc_ss_stop_event());
    ASSERT_TRUE(Eventually([] { return noxa_ipc_ss_get_status() == E_STORAGE_STOP; }, 10s));
    AudioDeInit();
    EXPECT_TRUE(Eventually([&] { return cloud.Command("state").find("sd_status = 1") != std::string::npos; }, 10s))
        << cloud.Command("state");

    const std::string event = OnlyEvent();
    ASSERT_FALSE(event.empty());
    ASSERT_NO_FATAL_FAILURE(CheckSlices(event));
    const std::string stored = SlicesBytes(event);
    std::vector<MediaRecord> video = OfTypes(ParseRecords(stored), true);
    ASSERT_GT(video.size(), 200u) << "about 12 s at 25 fps";
    const uint32_t start = static_cast<uint32_t>(video.front().ms / 1000);

    // Played through slot 0: the callbacks' video is H.264 that decodes.
    static std::mutex playedLock;
    static std::string played;
    static std::atomic<int> playedFrames{0};
    static std::atomic<int> finished{0};
    POSIX_TM_S tm{};
    uni_local_time_get(start, &tm);
    PLAYBACK_TIME_ARR_S* day = nullptr;
    ASSERT_EQ(0, noxa_ipc_pb_query_by_day(0, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, &day));
    ASSERT_EQ(1u, day->file_count);
    const PLAYBACK_TIME_S& listed = day->file_arr[0];
    const SS_PB_FRAGMENT_S frag{listed.type, listed.start_timestamp, listed.end_timestamp};
    noxa_ipc_pb_query_free_ts_arr(day);
    ASSERT_EQ(start, frag.start);
    ASSERT_EQ(0, noxa_ipc_ss_pb_accelerate_send_frame(50));
    ASSERT_EQ(0, noxa_ipc_ss_pb_start(
                     0, [](uint32_t, int, int) { ++finished; },
                     [](uint32_t, const SS_PB_FRAME_S* f, uint64_t) {
                         std::lock_guard<std::mutex> lock(playedLock);
                         played.append(reinterpret_cast<const char*>(f->data), f->size);
                         ++playedFrames;
                     },
                     nullptr));
    ASSERT_EQ(0, noxa_ipc_ss_pb_seek(0, &frag, frag.start));
    // The slot plays up to the event's last whole second, then reports the end.
    ASSERT_TRUE(Eventually([] { return finished.load() != 0; }, 60s)) << playedFrames.load();
    const std::string playedPath = mSandbox.Path("/played.264");
    {
        std::lock_guard<std::mutex> lock(playedLock);
        std::ofstream(playedPath, std::ios::binary) << played;
    }
    EXPECT_EQ(playedFrames.load(), ProbeFrames(playedPath));
    EXPECT_GE(playedFrames.load() + 25, static_cast<int>(video.size()));

    // The viewer's download of the event as client 0, whose slot is started.
    gNoxaMediaInfo = media;
    NoxaStreamStorageInstallLinks();
    ASSERT_EQ(0, InitNoxaP2p(6));
    ASSERT_TRUE(Eventually([this] { return mSandbox.Exists("/.board/p2p.port"); }, 10s));
    const std::string records = mSandbox.Path("/dl.media");
    const std::string dlVideo = mSandbox.Path("/dl.264");
    ChildProcess viewer({BinaryDir() + "/tools/viewer", mSandbox.Root(), "--client", "0", "--download",
                         std::to_string(frag.start), std::to_string(frag.end), "--records", records, "--video",
                         dlVideo});
    ASSERT_EQ(0, viewer.WaitExit(120s)) << viewer.Output();
    EXPECT_NE(std::string::npos, viewer.Output().find("download finished")) << viewer.Output();
    EXPECT_TRUE(FileBytes(records) == stored) << "the event's slices, in order, byte for byte";
    EXPECT_EQ(static_cast<int>(video.size()), ProbeFrames(dlVideo));
    noxa_ipc_tranfser_deinit();
    mqc_app_stop();
}
