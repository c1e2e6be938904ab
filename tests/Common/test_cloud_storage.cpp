// Cloud storage against the local cloud: slices from the simulated encoder (or frames of the
// test's own with chosen time stamps) uploaded to the stores, fetched back and decrypted by the
// phone's tool (tools/phone cloud-storage fetch: the simulator's own OpenSSL code), the H.264
// decoded by ffprobe and the audio converted by ffmpeg; groups, keys, configuration and the
// cloud's orders (300, 307) as the simulator sees them.
#include "AppState.h"
#include "DeviceState.h"
#include "Media/media_test_util.h"
#include "NoxaApp.h"
#include "NoxaP2p.h"
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/cloud_storage/noxa_ipc_cloud_storage.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "noxa_ipc_sdk/media_records.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "phone_cli.h"
#include "process.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cmath>
#include <mutex>

using namespace std::chrono_literals;

namespace {

NOXA_MEDIA_INFO_S AppMedia()
{
    NOXA_MEDIA_INFO_S m{};
    m.channel_enable[0] = 1;
    m.video_fps[0] = 25;
    m.video_gop[0] = 25;
    m.video_bitrate[0] = 1024;
    m.video_width[0] = 1280;
    m.video_height[0] = 720;
    m.video_freq[0] = 90000;
    m.video_codec[0] = NOXA_CODEC_VIDEO_H264;
    m.channel_enable[9] = 1;
    m.audio_codec[9] = NOXA_CODEC_AUDIO_PCM;
    m.audio_fps[9] = 25;
    m.audio_sample[9] = 8000;
    m.audio_databits[9] = 16;
    return m;
}

const NOXA_HW_AES_CBS_S kAes = {nullptr, OpensslAES_CBC128_encrypt, nullptr, nullptr};

std::mutex gAppendLock;
std::string gVideo;  // the main video as it went into the ring buffer
std::vector<std::string> gVideoFrames;

int RecordingPut(int channel, const MEDIA_FRAME_S* f)
{
    if (channel == 0) {
        std::lock_guard<std::mutex> lock(gAppendLock);
        gVideoFrames.emplace_back(reinterpret_cast<const char*>(f->data), f->size);
    }
    return PutMediaFrame(channel, f);
}

// 40 ms of a 440 Hz tone at 8 kHz, s16le.
std::string Tone(uint32_t index)
{
    std::string pcm(640, '\0');
    for (uint32_t i = 0; i < 320; ++i) {
        double s = std::sin(2 * M_PI * 440 * (index * 320 + i) / 8000.0) * 8000;
        auto v = static_cast<int16_t>(s);
        pcm[2 * i] = static_cast<char>(v & 0xFF);
        pcm[2 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    return pcm;
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A number after `word ` in the text; -1 when absent.
long NumberAfter(const std::string& text, const std::string& word)
{
    size_t at = text.find(word + " ");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + word.size() + 1);
}

std::string Md5Text(const std::string& s)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
    std::string out;
    char b[3];
    for (unsigned int i = 0; i < n; ++i) {
        snprintf(b, sizeof(b), "%02x", d[i]);
        out += b;
    }
    return out;
}

class CloudStorage : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        LogCapture::Install();
        mCloud = std::make_unique<CloudPeer>(mSandbox.Root());
        mCloud->Command("cloud-storage mtu 3");
        static std::atomic<int> online{0};
        static const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, [](uint8_t st) { online = st == STAT_CLOUD_CONN; }));
        ASSERT_TRUE(StartActivation(mCloud->Pair()));
        ASSERT_TRUE(Eventually([] { return online.load() == 1 && uni_time_check_sync() == 0; }, 60s))
            << mCloud->Log();
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(1, 512, 25, 0, nullptr));
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(9, 16 * 8000 / 1024, 25, 0, nullptr));
        noxa_ipc_cloud_storage_threads_for_test(0);
    }
    void TearDown() override
    {
        noxa_ipc_cloud_storage_uninit();
        gVencOutput = VENC_OUTPUT_S{};
        mqc_app_stop();
        MediaTest::TearDown();
    }
    void Init(const char* mode = "alltime")
    {
        Mode(mode);
        const NOXA_MEDIA_INFO_S media = AppMedia();
        ASSERT_EQ(0, noxa_ipc_cloud_storage_init(&media, &kAes)) << LogCapture::All();
    }
    void Mode(const char* mode)
    {
        ASSERT_TRUE(Has(mCloud->Command(std::string("cloud-storage mode ") + mode), "mode")) << mCloud->Log();
    }
    // The thread's passes until one would sleep (it has nothing more to do now).
    static void Passes(int most = 40)
    {
        for (int i = 0; i < most && noxa_ipc_cloud_storage_pass() == 0; ++i) {
        }
    }
    static CS_STATUS_S Status()
    {
        CS_STATUS_S st;
        noxa_ipc_cloud_storage_status(&st);
        return st;
    }
    // One synthetic frame into the ring with its time stamp (ms).
    static void Put(int channel, uint32_t type, uint64_t ms, size_t size = 600)
    {
        MediaRecord r = SelfFrame(type, ms, size);
        ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data_with_timestamp(channel, r.data.data(),
                                                                    static_cast<uint32_t>(r.data.size()), type,
                                                                    r.pts, ms));
    }
    // 40 ms of video (a key frame each second) and audio at `ms`, then the passes.
    static void Step(uint64_t ms, uint32_t index)
    {
        Put(0, index % 25 == 0 ? 1 : 0, ms);
        Put(9, 3, ms, 640);
        Passes();
    }
    std::pair<int, std::string> Fetch(uint32_t group, const std::string& dir)
    {
        return PhoneCli(mSandbox.Root(), "cloud-storage fetch " + std::to_string(group) + " --out " + dir);
    }
    std::string List() { return mCloud->Command("cloud-storage list"); }

    std::unique_ptr<CloudPeer> mCloud;
};

}  // namespace

// Ten seconds from the simulated encoder in slices of 3 s: the group fetched back decrypts; its
// H.264 is every frame the encoder handed over from the first key frame on, unbroken across the
// slices (each later slice opens with the key frame that ended the one before), and ffprobe
// decodes all of it at 1280x720; the audio is what went in and converts as s16le 8 kHz. Audio
// switched off later arrives as zeros of the same length, still encrypted.
TEST_F(CloudStorage, ContinuousModeFromTheSimulatedEncoder)
{
    UniTestClock clock(uni_get_tick_ms());
    gAppState.Online = 1;
    gDeviceState.ViewingMark = 1;
    gDeviceState.ViewingTimer = kCountdownStopped;
    gDeviceState.TalkAudioSettleTimer = kCountdownStopped;
    ASSERT_EQ(0, StartUp());
    gVencOutput = VENC_OUTPUT_S{};
    gVencOutput.PutMediaFrame = RecordingPut;
    ASSERT_NO_FATAL_FAILURE(Init());
    EXPECT_EQ(CS_TYPE_ALLTIME, Status().type);
    EXPECT_EQ(3u, Status().slice_duration);
    EXPECT_EQ(1, noxa_ipc_skill_value(NOXA_SKILL_CLOUD_STORAGE));
    std::string audioIn;
    std::string zerosIn;
    for (uint32_t i = 0; i < 300; ++i) {
        clock.Advance(40);
        MiSimPump(1);
        VencChannelPass(0);
        if (i == 250) {
            noxa_ipc_cloud_storage_set_audio_stat(0);
        }
        const std::string pcm = Tone(i);
        MEDIA_FRAME_S f{3, reinterpret_cast<uint8_t*>(const_cast<char*>(pcm.data())), 640, 0, i * 40000ull, i * 40000ull};
        gVencOutput.PutMediaFrame(9, &f);
        Passes();
    }
    const uint32_t group = Status().group_start;
    noxa_ipc_cloud_storage_pause();
    Passes(1);
    EXPECT_EQ(CS_STATE_STOPPED, Status().state);
    const std::string list = List();
    EXPECT_TRUE(Has(list, "group " + std::to_string(group) + " end ")) << list;
    EXPECT_FALSE(Has(list, "open")) << list;

    const std::string dir = mSandbox.Root() + "/fetched";
    auto [rc, out] = Fetch(group, dir);
    ASSERT_EQ(0, rc) << out << mCloud->Log();
    std::vector<std::string> lines = TextLines(out);
    ASSERT_GE(lines.size(), 4u) << out;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_TRUE(Has(lines[i], " first 1 ")) << "a later slice opens with its key frame: " << lines[i];
    }
    const std::string video = FileBytes(dir + "/video.h264");
    std::string expect;
    {
        std::lock_guard<std::mutex> lock(gAppendLock);
        const long frames = NumberAfter(lines.back(), "video");
        ASSERT_GT(frames, 200) << out;
        // The stored run: from a key frame the encoder made, every frame after it.
        for (size_t first = 0; first + static_cast<size_t>(frames) <= gVideoFrames.size() && expect != video; ++first) {
            expect.clear();
            for (long k = 0; k < frames; ++k) {
                expect += gVideoFrames[first + static_cast<size_t>(k)];
            }
        }
    }
    EXPECT_TRUE(expect == video) << "the fetched video is the encoder's, unbroken";
    auto [prc, probe] = ShellOutput("ffprobe -v error -f h264 -count_frames -show_entries "
                                    "stream=width,height,nb_read_frames -of csv=p=0 '" + dir + "/video.h264'");
    EXPECT_EQ(0, prc) << probe;
    EXPECT_TRUE(Has(probe, "1280,720," + std::to_string(NumberAfter(lines.back(), "video")))) << probe;
    // The audio: tones, then zeros of the same length for the frames after the switch.
    const std::string pcm = FileBytes(dir + "/audio.pcm");
    ASSERT_EQ(0u, pcm.size() % 640) << pcm.size();
    ASSERT_GT(pcm.size(), 640u * 60) << out;
    size_t tail = 0;
    for (size_t at = pcm.size(); at >= 640 && pcm.compare(at - 640, 640, std::string(640, '\0')) == 0; at -= 640) {
        ++tail;
    }
    EXPECT_GE(tail, 40u) << "audio switched off is kept as silence";
    EXPECT_EQ(std::string::npos, pcm.substr(0, 640 * 10).find(std::string(64, '\0'))) << "tones before the switch";
    auto [arc, conv] = ShellOutput("ffmpeg -v error -y -f s16le -ar 8000 -ac 1 -i '" + dir + "/audio.pcm' '" + dir +
                                   "/audio.wav'");
    EXPECT_EQ(0, arc) << conv;
}
