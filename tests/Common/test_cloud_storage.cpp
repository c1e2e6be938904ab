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
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "phone_cli.h"
#include "process.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cmath>
#include <dirent.h>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The application's own media description as its start fills it (channels 0, 1 and 9).
NOXA_MEDIA_INFO_S FilledMediaInfo()
{
    FillMediaInfo();
    return gNoxaMediaInfo;
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
        mqc_app_set_extra_reg_hook(noxa_ipc_register_extra_mqt_cb);
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
        const NOXA_MEDIA_INFO_S media = FilledMediaInfo();
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
    // Recording paused (the group stops and its rest goes up), then the group's video frames as
    // the phone fetches them; -1 when the fetch fails. The fetch's lines in mFetched.
    long VideoOfStoppedGroup(uint32_t group)
    {
        noxa_ipc_cloud_storage_pause();
        Passes(1);
        auto [rc, out] = Fetch(group, mSandbox.Root() + "/g" + std::to_string(group));
        mFetched = out;
        EXPECT_EQ(0, rc) << out;
        return rc == 0 ? NumberAfter(TextLines(out).back(), "video") : -1;
    }

    std::unique_ptr<CloudPeer> mCloud;
    std::string mFetched;
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

// The key: a unit without one sends "0000", takes the cloud's and starts again with its MD5; a
// 20-character key is cut to 16 (start twice, record rewritten: a second init uses it without
// asking); 65 characters and 15 characters are refused (-803) and no group opens.
TEST_F(CloudStorage, KeyFromTheStartNotification)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    EXPECT_STREQ("0000", Status().md5);
    const uint64_t t0 = uni_time_get_posix_ms();
    Step(t0, 0);
    ASSERT_EQ(CS_STATE_OPEN, Status().state) << LogCapture::All();
    EXPECT_EQ(1, mCloud->LogCount("\"enKeyMd5\":\"0000\"")) << mCloud->Log();
    EXPECT_EQ(1, mCloud->LogCount("needUpdate, key")) << mCloud->Log();
    const std::string first = Status().key;
    EXPECT_EQ(16u, first.size());
    EXPECT_EQ(1, mCloud->LogCount("\"enKeyMd5\":\"" + Md5Text(first) + "\"")) << mCloud->Log();

    struct Row {
        std::string key;
        bool taken;
    };
    const Row rows[] = {{"ABCDEFGHIJKLMNOPqrst", true}, {std::string(65, 'k'), false}, {"fifteen-chars-k", false}};
    uint64_t ms = t0 + 1000;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key.size());
        mCloud->Command("cloud-storage key " + r.key);
        noxa_ipc_cloud_storage_pause();
        Passes(1);
        ASSERT_EQ(CS_STATE_STOPPED, Status().state);
        noxa_ipc_cloud_storage_resume();
        Step(ms += 1000, 0);
        if (r.taken) {
            EXPECT_EQ(CS_STATE_OPEN, Status().state);
            EXPECT_EQ(r.key.substr(0, 16), std::string(Status().key));
            EXPECT_EQ(1, mCloud->LogCount("\"enKeyMd5\":\"" + Md5Text(r.key.substr(0, 16)) + "\""));
        } else {
            EXPECT_NE(CS_STATE_OPEN, Status().state);
            EXPECT_TRUE(LogCapture::Logged("invalid key value for key encryptKey"));
            EXPECT_EQ("ABCDEFGHIJKLMNOP", std::string(Status().key)) << "the key in force stays";
        }
    }
    // The record kept the 16 characters: a new start checks them and uses them.
    noxa_ipc_cloud_storage_uninit();
    LogCapture::Install();
    const NOXA_MEDIA_INFO_S media = FilledMediaInfo();
    ASSERT_EQ(0, noxa_ipc_cloud_storage_init(&media, &kAes));
    EXPECT_TRUE(LogCapture::Logged("use current encrypt key")) << LogCapture::All();
    EXPECT_EQ(Md5Text("ABCDEFGHIJKLMNOP"), std::string(Status().md5));
}

// Groups turn on the frames' time: 1800 s after the start, and at local midnight (the key frame
// within a slice of 00:00); each stop names the last uploaded second. A slice the store cannot
// take (s3rver away a moment) stays in memory with the group open, and goes up whole later.
TEST_F(CloudStorage, GroupsTurnAndSurviveAFailedUpload)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    uint64_t ms = uni_time_get_posix_ms();
    uint32_t n = 0;
    for (; n < 100; ++n) {
        Step(ms + n * 40, n);
    }
    const uint32_t g1 = Status().group_start;
    ASSERT_NE(0u, g1);
    // 1800 s later.
    const uint64_t later = ms + 1800 * 1000ull;
    for (uint32_t i = 0; i < 50; ++i) {
        Step(later + i * 40, i);
    }
    const uint32_t g2 = Status().group_start;
    EXPECT_EQ(static_cast<uint32_t>(later / 1000), g2);
    std::string list = List();
    const uint32_t lastOfG1 = static_cast<uint32_t>((ms + 99 * 40) / 1000);
    EXPECT_TRUE(Has(list, "group " + std::to_string(g1) + " end " + std::to_string(lastOfG1))) << list;

    // Local midnight on a whole minute at least 10 s after the next frames: a zone that puts it
    // there (zones are whole minutes).
    const uint64_t base = later + 60000;
    const uint32_t midnight = (static_cast<uint32_t>(base / 1000) + 10 + 59) / 60 * 60;
    int32_t off = static_cast<int32_t>((86400 - midnight % 86400) % 86400);
    if (off > 14 * 3600) {
        off -= 86400;
    }
    char zone[16];
    snprintf(zone, sizeof(zone), "%c%02d:%02d", off < 0 ? '-' : '+', std::abs(off) / 3600, std::abs(off) % 3600 / 60);
    ASSERT_EQ(0, uni_set_time_zone(zone)) << zone;
    uint32_t k = 0;
    uint32_t afterMidnight = 0;  // frames from midnight's key frame on
    auto frame = [&] {
        const uint64_t at = base + k * 40ull;
        if (afterMidnight != 0 || (k % 25 == 0 && at / 1000 >= midnight)) {
            ++afterMidnight;
        }
        Step(at, k++);
    };
    while (base + k * 40ull < (midnight + 5) * 1000ull) {
        frame();
    }
    const uint32_t g3 = Status().group_start;
    EXPECT_GE(g3, midnight);
    EXPECT_LE(g3, midnight + 1);
    EXPECT_TRUE(LogCapture::Logged("new day start")) << LogCapture::All();
    list = List();
    EXPECT_TRUE(Has(list, "group " + std::to_string(g2) + " end ")) << list;

    // The store away for four seconds of frames: the slice waits in memory, the group stays open.
    ASSERT_TRUE(Has(mCloud->Command("s3rver stop"), "stopped"));
    for (int i = 0; i < 100; ++i) {
        frame();
    }
    EXPECT_EQ(CS_STATE_OPEN, Status().state);
    EXPECT_TRUE(LogCapture::Logged("fail to upload media file"));
    EXPECT_GT(Status().buffer_used, 0u);
    ASSERT_TRUE(Has(mCloud->Command("s3rver start"), "started"));
    for (int i = 0; i < 100; ++i) {
        frame();
    }
    noxa_ipc_cloud_storage_pause();
    Passes(1);
    list = List();
    EXPECT_TRUE(Has(list, "group " + std::to_string(g3) + " end ")) << list;
    const std::string dir = mSandbox.Root() + "/g3";
    auto [rc, out] = Fetch(g3, dir);
    ASSERT_EQ(0, rc) << out;
    EXPECT_EQ(static_cast<long>(afterMidnight), NumberAfter(TextLines(out).back(), "video"))
        << out << "every frame from midnight's key frame on, none lost while the store was away";
}

namespace {

// The encoder's side of the key-frame request: asked, the next frame it makes is a key frame.
std::atomic<int> gKeyRequests{0};
std::atomic<bool> gKeyAsked{false};
void AskKeyFrame(int channel)
{
    EXPECT_EQ(0, channel);
    ++gKeyRequests;
    gKeyAsked = true;
}

}  // namespace

// A busy scene at a fixed QP: 20 s at three times the rate the buffer is sized for, so a full
// buffer forces a slice out (-112) every second or so, inside a group of pictures. The frame that
// did not fit is not stored and a key frame is asked at once; the encoder makes it one frame
// later. Every slice opens with that key frame (or the audio before it): the group loses one frame
// at each cut, not the rest of its group of pictures.
TEST_F(CloudStorage, FullBufferAndPFramesBeforeTheKeyFrame)
{
    noxa_ipc_cloud_storage_set_key_frame_request(AskKeyFrame);
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms() - 20000;
    constexpr uint32_t kFrames = 20 * 25;
    uint32_t cuts = 0;
    uint32_t cutsInGroup = 0;
    for (uint32_t k = 0; k < kFrames; ++k) {
        const bool key = k % 25 == 0 || gKeyAsked.exchange(false);
        const uint32_t slices = Status().slices_uploaded;
        const int asked = gKeyRequests;
        // 1024 kbit/s at 25 fps is 5243 bytes a frame.
        Put(0, key ? 1 : 0, ms + k * 40, key ? 40000 : 15700);
        Put(9, 3, ms + k * 40, 640);
        Passes();
        if (Status().slices_uploaded != slices) {
            ++cuts;
            cutsInGroup += key ? 0 : 1;
            EXPECT_TRUE(key || gKeyRequests == asked + 1) << "frame " << k << ": a key frame asked at the cut";
        }
    }
    EXPECT_EQ((1024u * 1024 / 8 + 8000u * 2) * 4, Status().buffer_capacity) << "for the slice and one second";
    EXPECT_GE(cutsInGroup, 10u) << LogCapture::All();
    EXPECT_LE(gKeyRequests.load(), static_cast<int>(cuts));
    const long video = VideoOfStoppedGroup(Status().group_start);
    printf("%u cuts, %u inside a group: %s\n", cuts, cutsInGroup, TextLines(mFetched).back().c_str());
    EXPECT_GE(video, static_cast<long>(kFrames - cutsInGroup)) << mFetched;
    EXPECT_LE(video, static_cast<long>(kFrames)) << mFetched;
    for (const std::string& line : TextLines(mFetched)) {
        EXPECT_TRUE(line.rfind("slice ", 0) != 0 || Has(line, " first 1 ") || Has(line, " first 3 ")) << line;
    }
}

// "none" (-2002 here): no recording, the configuration asked again after 3600 s only.
TEST_F(CloudStorage, ConfigurationNoneAskedAgainAfterAnHour)
{
    UniTestClock clock(uni_get_tick_ms());
    mCloud->Command("fail ipc.storage.config.get code NO_CONFIG");
    ASSERT_NO_FATAL_FAILURE(Init());
    EXPECT_EQ(CS_TYPE_NONE, Status().type);
    const int asked = mCloud->LogCount("ipc.storage.config.get");
    EXPECT_EQ(1000u, noxa_ipc_cloud_storage_pass());
    clock.Advance(3599 * 1000);
    noxa_ipc_cloud_storage_pass();
    EXPECT_EQ(asked, mCloud->LogCount("ipc.storage.config.get"));
    mCloud->Command("fail ipc.storage.config.get ok");
    clock.Advance(1000);
    noxa_ipc_cloud_storage_pass();
    EXPECT_LT(asked, mCloud->LogCount("ipc.storage.config.get"));
    EXPECT_EQ(CS_TYPE_ALLTIME, Status().type);
    EXPECT_EQ(CS_STATE_OPEN, Status().state) << "a group starts at once";
}

// Protocol 300: "abort" makes the type none and the group stops (no hourly fetch undoes it at
// once); "store" with another mode fetches the configuration, with the same mode keeps going.
TEST_F(CloudStorage, Protocol300StoreAndAbort)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    Put(0, 1, uni_time_get_posix_ms());
    noxa_ipc_cloud_storage_pass();
    EXPECT_EQ(CS_STATE_OPEN, Status().state) << "a group opens on its first frame";
    mCloud->Command("cloud-storage order abort");
    ASSERT_TRUE(Eventually([] { return Status().type == CS_TYPE_NONE; }, 10s)) << LogCapture::All();
    noxa_ipc_cloud_storage_pass();
    EXPECT_EQ(CS_STATE_STOPPED, Status().state);
    EXPECT_EQ(1000u, noxa_ipc_cloud_storage_pass());
    EXPECT_EQ(CS_TYPE_NONE, Status().type) << "the abort holds: no fetch undoes it";
    // "store" with another mode than the one in force ("max" after the abort) fetches anew.
    mCloud->Command("cloud-storage order store alltime");
    ASSERT_TRUE(Eventually([] { return Status().type == CS_TYPE_ALLTIME; }, 10s)) << LogCapture::All();
    EXPECT_TRUE(LogCapture::Logged("new cloud type -> 0"));
    const int before = mCloud->LogCount("ipc.storage.config.get");
    mCloud->Command("cloud-storage order store alltime");
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("keep going"); }, 10s));
    EXPECT_EQ(before, mCloud->LogCount("ipc.storage.config.get"));
}

namespace {

int Snapshot(void* buf, int* size)
{
    static const char kJpeg[] = "\xff\xd8\xff\xe0 a door picture \xff\xd9";
    memcpy(buf, kJpeg, sizeof(kJpeg) - 1);
    *size = sizeof(kJpeg) - 1;
    return 0;
}

}  // namespace

// Protocol 307 "pic_v" in event mode: the event with its source as it came, reported at its
// start; the picture as a notification and in the media store; the group opens two seconds back.
// A source too long for the report is refused rather than cut.
TEST_F(CloudStorage, Protocol307EventWithPreRecord)
{
    noxa_ipc_cloud_storage_set_snapshot_reader(Snapshot);
    ASSERT_NO_FATAL_FAILURE(Init("event"));
    EXPECT_EQ(CS_TYPE_EVENT, Status().type);
    const uint64_t ms = uni_time_get_posix_ms() - 3000;
    for (uint32_t i = 0; i < 75; ++i) {
        Put(0, i % 25 == 0 ? 1 : 0, ms + i * 40);
        Put(9, 3, ms + i * 40, 640);
    }
    EXPECT_EQ(100u, noxa_ipc_cloud_storage_pass()) << "no event: nothing read";
    mCloud->Command("cloud-storage trigger pic_v 5 '{\"src\":\"door\",\"n\":1}'");
    ASSERT_TRUE(Eventually([] { return noxa_ipc_cloud_storage_get_event_status(CS_EVENT_TYPE_MQTT) == 2; }, 10s))
        << LogCapture::All();
    Passes();
    EXPECT_EQ(CS_STATE_OPEN, Status().state) << LogCapture::All();
    const uint32_t lastPut = static_cast<uint32_t>((ms + 74 * 40) / 1000);
    EXPECT_GE(lastPut - Status().group_start, 1u);
    EXPECT_LE(lastPut - Status().group_start, 3u) << "about two seconds back, on a key frame";
    ASSERT_TRUE(Eventually([&] { return Has(mCloud->Command("cloud-storage events"), "sourceId"); }, 10s));
    EXPECT_TRUE(Has(mCloud->Command("cloud-storage events"), "\"sourceId\":{\"src\":\"door\",\"n\":1}"))
        << mCloud->Command("cloud-storage events");
    ASSERT_TRUE(Eventually([&] { return Has(mCloud->Command("notifications"), "dp 185"); }, 20s))
        << mCloud->Command("notifications") << LogCapture::All();
    EXPECT_TRUE(Eventually([] { return LogCapture::Logged(".jpg done"); }, 10s)) << "the picture in the media store";

    const std::string longExt = "'{\"s\":\"" + std::string(520, 'x') + "\"}'";
    mCloud->Command("cloud-storage trigger record 5 " + longExt);
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("event source too long"); }, 10s)) << LogCapture::All();
    EXPECT_EQ(1, LogCapture::Count("new event index"));
}

namespace {

// The application's reader before any motion picture was taken: none, and no size.
int NoSnapshotYet(void*, int* size)
{
    *size = 0;
    return -1;
}

}  // namespace

// A cloud "record" trigger that comes before any motion picture: the event is recorded without a
// picture, and that is no error (it was one red line per trigger); a picture too big still is.
TEST_F(CloudStorage, ARecordTriggerBeforeAnyPictureIsNoError)
{
    noxa_ipc_cloud_storage_set_snapshot_reader(NoSnapshotYet);
    ASSERT_NO_FATAL_FAILURE(Init("event"));
    const int errorsBefore = LogCapture::Count(" Err][");
    for (int i = 1; i <= 3; ++i) {
        mCloud->Command("cloud-storage trigger record 5 '{\"n\":" + std::to_string(i) + "}'");
        ASSERT_TRUE(Eventually([&] { return LogCapture::Count("free cloud_storage_iot_event") == i; }, 10s))
            << LogCapture::All();
    }
    EXPECT_EQ(3, LogCapture::Count("new event index")) << LogCapture::All();
    EXPECT_EQ(3, LogCapture::Count("no snapshot yet, the event goes without a picture")) << LogCapture::All();
    EXPECT_EQ(0, LogCapture::Count(" Err][") - errorsBefore) << LogCapture::All();
    EXPECT_FALSE(LogCapture::Logged(".jpg done")) << "no picture in the media store";

    noxa_ipc_cloud_storage_set_snapshot_reader([](void*, int* size) {
        *size = CS_SNAPSHOT_MAX + 1;
        return 0;
    });
    mCloud->Command("cloud-storage trigger record 5 '{\"n\":4}'");
    ASSERT_TRUE(Eventually([] { return LogCapture::Count("free cloud_storage_iot_event") == 4; }, 10s))
        << LogCapture::All();
    EXPECT_EQ(1, LogCapture::Count("fail to get snap or oversize 102401")) << LogCapture::All();
    noxa_ipc_cloud_storage_set_snapshot_reader(nullptr);
}

// With no frames at all (the gate closed) an event cannot anchor its pre-record; stopping the
// service still ends its thread.
TEST_F(CloudStorage, UninitWithoutFramesEndsTheThread)
{
    noxa_ipc_cloud_storage_threads_for_test(1);
    ASSERT_NO_FATAL_FAILURE(Init("event"));
    const uint8_t pic[] = {0xff, 0xd8, 0xff, 0xd9};
    ASSERT_GE(noxa_ipc_cloud_storage_event_add(pic, sizeof(pic), 0, 10), 0) << LogCapture::All();
    std::this_thread::sleep_for(300ms);
    std::atomic<bool> done{false};
    std::thread stop([&] {
        noxa_ipc_cloud_storage_uninit();
        done = true;
    });
    const bool ended = Eventually([&] { return done.load(); }, 10s);
    if (!ended) {
        stop.detach();
        FAIL() << "uninit hangs on the pre-record anchor";
    }
    stop.join();
}

namespace {

// The names of this process's threads now, one a line.
std::string ThreadNames()
{
    std::string names;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                names += FileBytes(std::string("/proc/self/task/") + e->d_name + "/comm");
            }
        }
        closedir(d);
    }
    return names;
}

// Threads named as the protocol-307 task's (the first 10 characters).
int TaskThreads()
{
    int n = 0;
    for (const std::string& name : TextLines(ThreadNames())) {
        n += name == "cloud_stor";
    }
    return n;
}

}  // namespace

// Every protocol-307 message runs on a short thread of its own, which ends when its work ends,
// whatever the action (an unsupported one included): 20 triggers leave none of them behind.
TEST_F(CloudStorage, Protocol307TasksEndTheirThreads)
{
    noxa_ipc_cloud_storage_threads_for_test(1);
    ASSERT_NO_FATAL_FAILURE(Init("event"));
    ASSERT_EQ(0, TaskThreads()) << ThreadNames();
    for (int i = 0; i < 20; ++i) {
        mCloud->Command(std::string("cloud-storage trigger ") + (i % 2 == 0 ? "pic" : "dance") + " 5");
    }
    ASSERT_TRUE(Eventually([] { return LogCapture::Count("receive cloud storage event trigger") == 20; }, 20s))
        << LogCapture::All();
    // The last tasks may start after their message is logged: wait for their work first.
    EXPECT_TRUE(Eventually([] { return LogCapture::Count("unsupported action") == 10; }, 5s))
        << LogCapture::All();
    EXPECT_TRUE(Eventually([] { return TaskThreads() == 0; }, 5s)) << ThreadNames();
    EXPECT_EQ(10, LogCapture::Count("unsupported action"));
}

namespace {

// The list's "group" lines.
std::vector<std::string> GroupLines(const std::string& list)
{
    std::vector<std::string> groups;
    for (const std::string& line : TextLines(list)) {
        if (line.rfind("group ", 0) == 0) {
            groups.push_back(line);
        }
    }
    return groups;
}

}  // namespace

// The reader starts on the newest key frame, here five seconds old: the group opens at that
// frame's second, and the cloud sees one group with its slices, no empty one before it.
TEST_F(CloudStorage, AGroupOpensAtItsFirstFramesSecond)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms() - 5000;
    for (uint32_t i = 0; i < 100; ++i) {
        Step(ms + i * 40, i);
    }
    const uint32_t first = static_cast<uint32_t>(ms / 1000);
    EXPECT_EQ(first, Status().group_start);
    noxa_ipc_cloud_storage_pause();
    Passes(1);
    const std::string list = List();
    const std::vector<std::string> groups = GroupLines(list);
    ASSERT_EQ(1u, groups.size()) << list;
    EXPECT_EQ(0u, groups[0].rfind("group " + std::to_string(first) + " end " +
                                      std::to_string(static_cast<uint32_t>((ms + 99 * 40) / 1000)) + " ", 0))
        << list;
    EXPECT_TRUE(Has(list, std::to_string(first) + "_0000.media")) << list;
}

// A group stopped and another started within the same second: the second takes the next second,
// so that its first slice does not replace the first group's in the store.
TEST_F(CloudStorage, TwoGroupsInOneSecondKeepTheirSlices)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms() / 1000 * 1000 + 100;
    const uint32_t second = static_cast<uint32_t>(ms / 1000);
    Step(ms, 0);
    ASSERT_EQ(second, Status().group_start);
    noxa_ipc_cloud_storage_pause();
    Passes(1);
    ASSERT_EQ(CS_STATE_STOPPED, Status().state);
    noxa_ipc_cloud_storage_resume();
    Step(ms + 400, 0);
    EXPECT_EQ(second + 1, Status().group_start);
    noxa_ipc_cloud_storage_pause();
    Passes(1);
    const std::string list = List();
    const std::vector<std::string> groups = GroupLines(list);
    ASSERT_EQ(2u, groups.size()) << list;
    EXPECT_TRUE(Has(list, std::to_string(second) + "_0000.media")) << list;
    EXPECT_TRUE(Has(list, std::to_string(second + 1) + "_0000.media")) << list;
    for (uint32_t g : {second, second + 1}) {
        auto [rc, out] = Fetch(g, mSandbox.Root() + "/g" + std::to_string(g));
        ASSERT_EQ(0, rc) << out;
        EXPECT_EQ(1, NumberAfter(TextLines(out).back(), "video")) << out << "each group its own key frame";
    }
}

// The store away when a group turns: the old group's last slice stays in memory and goes up
// once the store is back, before the new group's first; the old group keeps every frame.
TEST_F(CloudStorage, AGroupChangeKeepsTheSliceTheStoreRefused)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms();
    for (uint32_t n = 0; n < 100; ++n) {
        Step(ms + n * 40, n);
    }
    const uint32_t g1 = Status().group_start;
    ASSERT_GT(Status().buffer_used, 0u);
    ASSERT_TRUE(Has(mCloud->Command("s3rver stop"), "stopped"));
    const uint64_t later = ms + 1800 * 1000ull;
    uint32_t k = 0;
    for (; k < 2; ++k) {
        Step(later + k * 40, k);
    }
    EXPECT_EQ(g1, Status().group_start) << "the group stays while its slice waits";
    EXPECT_GT(Status().buffer_used, 0u);
    ASSERT_TRUE(Has(mCloud->Command("s3rver start"), "started"));
    for (; k < 50; ++k) {
        Step(later + k * 40, k);
    }
    EXPECT_EQ(static_cast<uint32_t>(later / 1000), Status().group_start);
    EXPECT_EQ(100, VideoOfStoppedGroup(g1)) << mFetched;
}

// The object stores away for a hundred tries: one error line when the refusals begin, none per
// try, and one line with their count when a slice goes up again; nothing of the group is lost.
TEST_F(CloudStorage, AStoreAwayLogsOnceAndCountsItsRefusals)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms();
    uint32_t k = 0;
    for (; k < 100; ++k) {
        Step(ms + k * 40, k);
    }
    const uint32_t group = Status().group_start;
    ASSERT_TRUE(Has(mCloud->Command("stores stop"), "stopped")) << mCloud->Log();
    const int errorsBefore = LogCapture::Count(" Err][");
    for (; k < 200; ++k) {
        Step(ms + k * 40, k);
    }
    const int errors = LogCapture::Count(" Err][") - errorsBefore;
    EXPECT_EQ(1, LogCapture::Count("fail to upload media file")) << LogCapture::All();
    EXPECT_EQ(1, errors) << LogCapture::All();
    int loud = 0;  // the transport's lines above Debug
    for (const std::string& line : TextLines(LogCapture::All())) {
        loud += Has(line, "HTTPS PUT fail") && !Has(line, " Debug][");
    }
    EXPECT_EQ(1, loud) << "the details of the first try only";
    ASSERT_TRUE(Has(mCloud->Command("stores start"), "started")) << mCloud->Log();
    for (; k < 250; ++k) {
        Step(ms + k * 40, k);
    }
    EXPECT_EQ(1, LogCapture::Count("refused uploads in")) << LogCapture::All();
    int told = 0;  // at the unit's level (errors only), or the first line is never closed
    for (const std::string& line : TextLines(LogCapture::All())) {
        told += Has(line, "refused uploads in") && Has(line, " Err][");
    }
    EXPECT_EQ(1, told) << LogCapture::All();
    EXPECT_EQ(group, Status().group_start);
    EXPECT_EQ(250, VideoOfStoppedGroup(group)) << mFetched;
}

// The recording's buffers are held only while a recording runs: none in event mode without an
// event, the full slice buffer from the event's group on, none again once it stopped; in
// continuous mode from the first frame's group until a pause.
TEST_F(CloudStorage, TheRecordingBuffersComeAndGoWithARecording)
{
    const uint32_t size = (1024u * 1024 / 8 + 8000u * 2) * 4;
    ASSERT_NO_FATAL_FAILURE(Init("event"));
    EXPECT_EQ(0u, Status().buffer_capacity);
    const uint64_t ms = uni_time_get_posix_ms() - 3000;
    uint32_t k = 0;
    for (; k < 75; ++k) {
        Put(0, k % 25 == 0 ? 1 : 0, ms + k * 40);
        Put(9, 3, ms + k * 40, 640);
    }
    EXPECT_EQ(100u, noxa_ipc_cloud_storage_pass());
    EXPECT_EQ(0u, Status().buffer_capacity) << "no event, nothing held";
    const uint8_t pic[] = {0xff, 0xd8, 0xff, 0xd9};
    ASSERT_GE(noxa_ipc_cloud_storage_event_add(pic, sizeof(pic), 0, 2), 0) << LogCapture::All();
    Passes();
    ASSERT_EQ(CS_STATE_OPEN, Status().state) << LogCapture::All();
    EXPECT_EQ(size, Status().buffer_capacity);
    // Frames past the event's end: the group stops and gives its buffers back.
    for (; k < 75 + 150 && Status().state == CS_STATE_OPEN; ++k) {
        Step(ms + k * 40, k);
    }
    EXPECT_EQ(CS_STATE_STOPPED, Status().state) << LogCapture::All();
    EXPECT_EQ(0u, Status().buffer_capacity);
    EXPECT_EQ(100u, noxa_ipc_cloud_storage_pass());
    EXPECT_EQ(0u, Status().buffer_capacity);

    ASSERT_NO_FATAL_FAILURE(Mode("alltime"));
    ASSERT_TRUE(Eventually([] { return Status().type == CS_TYPE_ALLTIME; }, 10s)) << LogCapture::All();
    Step(ms + k * 40, 0);
    ++k;
    EXPECT_EQ(CS_STATE_OPEN, Status().state) << LogCapture::All();
    EXPECT_EQ(size, Status().buffer_capacity);
    noxa_ipc_cloud_storage_pause();
    Passes(1);
    EXPECT_EQ(CS_STATE_STOPPED, Status().state);
    EXPECT_EQ(0u, Status().buffer_capacity);
}

// A live view's start cuts the ring's history and asks the encoder for a key frame. When that
// finds the recorder some frames behind (a slice upload under load), the recording keeps every
// frame before the cut and every frame from the key frame that followed it, instead of waiting
// for the next one: no group of pictures goes missing.
TEST_F(CloudStorage, AHistoryCutLeavesNoGapInTheRecording)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms() - 4000;
    uint32_t k = 0;
    for (; k < 10; ++k) {
        Step(ms + k * 40, k);
    }
    // Ten frames the recorder has not read yet, then the cut at the newest of them.
    for (; k < 20; ++k) {
        Put(0, 0, ms + k * 40);
    }
    noxa_ipc_ring_buffer_clean_user_state_and_buffer(0, 0);
    // The key frame asked for, its group of 50 frames, and the next key frame.
    for (; k <= 70; ++k) {
        Put(0, k == 20 || k == 70 ? 1 : 0, ms + k * 40);
    }
    Passes(200);
    // Frames 0..18 (19 was the newest at the cut, taken out of the history) and 20..70.
    EXPECT_EQ(19 + 51, VideoOfStoppedGroup(Status().group_start)) << mFetched;
}

namespace {

std::atomic<bool> gCutWhileEncrypting{false};

// The encryption of the recorder's key frames, during which a live view starts once when armed.
int CuttingEncrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* outLen, const uint8_t* key,
                   const uint8_t* iv)
{
    if (gCutWhileEncrypting.exchange(false)) {
        noxa_ipc_ring_buffer_clean_user_state_and_buffer(0, 0);
    }
    return OpensslAES_CBC128_encrypt(in, len, out, outLen, key, iv);
}

}  // namespace

// A live view starting while the recorder stores the newest key frame cuts the history at the
// frame the recorder stands on: that is no lag, the group goes on with the key frame that follows.
TEST_F(CloudStorage, AHistoryCutUnderTheRecorderKeepsItsGroup)
{
    Mode("alltime");
    const NOXA_MEDIA_INFO_S media = FilledMediaInfo();
    const NOXA_HW_AES_CBS_S aes = {nullptr, CuttingEncrypt, nullptr, nullptr};
    ASSERT_EQ(0, noxa_ipc_cloud_storage_init(&media, &aes)) << LogCapture::All();
    const uint64_t ms = uni_time_get_posix_ms() - 4000;
    uint32_t k = 0;
    for (; k < 50; ++k) {
        Step(ms + k * 40, k);
    }
    const uint32_t group = Status().group_start;
    gCutWhileEncrypting = true;
    Step(ms + k * 40, k);  // a key frame: the cut comes while it is encrypted
    ++k;
    ASSERT_FALSE(gCutWhileEncrypting.load());
    for (; k < 81; ++k) {
        Step(ms + k * 40, k == 51 ? 0 : k);  // 51: the key frame the live view asked for
    }
    EXPECT_EQ(group, Status().group_start);
    EXPECT_EQ(81, VideoOfStoppedGroup(group)) << mFetched;
    EXPECT_EQ(1u, GroupLines(List()).size()) << List();
}

// The storage configuration fetch refused on every pass (HTTP 500), asked again every 3 s: one
// error line when the failures begin, and one, at the same level, with their count when the cloud
// answers again; none for the fetches between.
TEST_F(CloudStorage, AFailingConfigurationFetchIsToldOnce)
{
    UniTestClock clock(uni_get_tick_ms());
    mCloud->Command("fail ipc.storage.config.get 500");
    const int errorsBefore = LogCapture::Count(" Err][");
    ASSERT_NO_FATAL_FAILURE(Init());
    for (int i = 0; i < 12; ++i, clock.Advance(3000)) {
        EXPECT_EQ(3000u, noxa_ipc_cloud_storage_pass());
    }
    EXPECT_EQ(1, LogCapture::Count(" Err][") - errorsBefore) << LogCapture::All();
    mCloud->Command("fail ipc.storage.config.get ok");
    noxa_ipc_cloud_storage_pass();
    EXPECT_EQ(CS_TYPE_ALLTIME, Status().type);
    EXPECT_EQ(2, LogCapture::Count(" Err][") - errorsBefore) << LogCapture::All();
    EXPECT_EQ(1, LogCapture::Count("] the cloud storage configuration came after 13 failed fetches in ")) << LogCapture::All();
}

// The cloud refuses a group's start (an API refusal) and the start is asked again every 3 s: one
// error line when the refusals begin, none per try (the refusal's own lines at Warning for the
// first try, at Debug after it), and one, at the same level, with their count and length when the
// cloud takes the start; the group then opens at the frame that waited.
TEST_F(CloudStorage, ARefusedGroupStartIsToldOnce)
{
    UniTestClock clock(uni_get_tick_ms());
    ASSERT_NO_FATAL_FAILURE(Init());
    const std::string api = "ipc.media.storage.notify.upload.start";
    mCloud->Command("fail " + api + " code SYSTEM_BUSY");
    const int errorsBefore = LogCapture::Count(" Err][");
    const uint64_t ms = uni_time_get_posix_ms();
    Put(0, 1, ms);
    Put(9, 3, ms, 640);
    for (int i = 0; i < 20; ++i, clock.Advance(3000)) {
        EXPECT_EQ(3000u, noxa_ipc_cloud_storage_pass());
    }
    EXPECT_NE(CS_STATE_OPEN, Status().state);
    EXPECT_EQ(1, LogCapture::Count(" Err][") - errorsBefore) << LogCapture::All();
    int refused = 0;  // the refusal's lines from the API call, and those of them above Debug
    int loud = 0;
    int told = 0;
    for (const std::string& line : TextLines(LogCapture::All())) {
        if (Has(line, "api refused: errorCode SYSTEM_BUSY")) {
            ++refused;
            loud += !Has(line, " Debug][");
        }
        told += Has(line, "] fail to notify cloud start, ret ") && Has(line, " Err][");
    }
    EXPECT_EQ(20, refused) << "every try asked the cloud";
    EXPECT_EQ(1, loud) << "the first try's only";
    EXPECT_EQ(1, told) << LogCapture::All();
    mCloud->Command("fail " + api + " ok");
    Passes();
    EXPECT_EQ(CS_STATE_OPEN, Status().state) << LogCapture::All();
    EXPECT_EQ(static_cast<uint32_t>(ms / 1000), Status().group_start);
    EXPECT_EQ(2, LogCapture::Count(" Err][") - errorsBefore) << LogCapture::All();
    EXPECT_EQ(1, LogCapture::Count("] the cloud took the start of group " + std::to_string(ms / 1000) +
                                   " after 20 refused starts in 60000 ms"))
        << LogCapture::All();
}

// Event mode, the stores away when the last event ends: the group's last slice stays in memory
// and its stop is tried again every 200 ms, though no event is left to drive the thread. An event
// that comes meanwhile waits for it, then opens a group of its own; the cloud sees the first one
// end at its last frame.
TEST_F(CloudStorage, AnEventGroupsRefusedStopIsTriedAgain)
{
    ASSERT_NO_FATAL_FAILURE(Init("event"));
    const uint64_t ms = uni_time_get_posix_ms() - 3000;
    uint32_t k = 0;
    for (; k < 75; ++k) {
        Put(0, k % 25 == 0 ? 1 : 0, ms + k * 40);
        Put(9, 3, ms + k * 40, 640);
    }
    const uint8_t pic[] = {0xff, 0xd8, 0xff, 0xd9};
    ASSERT_GE(noxa_ipc_cloud_storage_event_add(pic, sizeof(pic), 0, 2), 0) << LogCapture::All();
    for (Passes(); Status().slices_uploaded == 0 && k < 300; ++k) {
        Step(ms + k * 40, k);
    }
    const uint32_t g1 = Status().group_start;
    ASSERT_TRUE(Has(mCloud->Command("stores stop"), "stopped")) << mCloud->Log();
    for (; !LogCapture::Logged("no event exist now") && k < 400; ++k) {
        Step(ms + k * 40, k);
    }
    EXPECT_EQ(CS_STATE_OPEN, Status().state) << "its last slice waits";
    EXPECT_EQ(200u, noxa_ipc_cloud_storage_pass()) << "the stop tried again";
    ASSERT_GE(noxa_ipc_cloud_storage_event_add(pic, sizeof(pic), 0, 2), 0) << LogCapture::All();
    EXPECT_EQ(200u, noxa_ipc_cloud_storage_pass()) << "the new event waits for the stop";
    ASSERT_TRUE(Has(mCloud->Command("stores start"), "started")) << mCloud->Log();
    Passes();
    EXPECT_EQ(CS_STATE_OPEN, Status().state) << LogCapture::All();
    EXPECT_GT(Status().group_start, g1);
    // The frame read last found no event: the one before it is the group's last.
    const std::string end = " end " + std::to_string((ms + (k - 2) * 40) / 1000);
    EXPECT_TRUE(Has(List(), "group " + std::to_string(g1) + end)) << List();
}

// At a group change the cloud refuses the old group's stop notice, or the new group's start: no
// group is open meanwhile (nothing goes up under a group the cloud does not know), the refused
// notice is sent again, and once the cloud answers the new group opens at the key frame that
// changed it, with every frame from it on. (Local midnight hours away: only 1800 s turn groups.)
TEST_F(CloudStorage, AGroupChangeTheCloudRefusesIsTriedAgain)
{
    const int32_t off = static_cast<int32_t>((6 * 3600 + 86400 - uni_time_get_posix() % 86400) % 86400) / 60 * 60;
    char zone[16];
    snprintf(zone, sizeof(zone), "%c%02d:%02d", off > 14 * 3600 ? '-' : '+', (off > 14 * 3600 ? 86400 - off : off) / 3600,
             (off > 14 * 3600 ? 86400 - off : off) % 3600 / 60);
    ASSERT_EQ(0, uni_set_time_zone(zone)) << zone;
    ASSERT_NO_FATAL_FAILURE(Init());
    uint64_t at = uni_time_get_posix_ms();
    for (uint32_t n = 0; n < 50; ++n) {
        Step(at + n * 40, n);
    }
    const std::pair<const char*, uint32_t> rows[] = {{"ipc.media.storage.notify.upload.stop", 200},
                                                     {"ipc.media.storage.notify.upload.start", 3000}};
    for (const auto& [api, waitMs] : rows) {
        SCOPED_TRACE(api);
        const std::string end = "group " + std::to_string(Status().group_start) + " end " +
                                std::to_string((at + 49 * 40) / 1000);
        const uint32_t slices = Status().slices_uploaded;
        at += 1800 * 1000ull;
        mCloud->Command(std::string("fail ") + api + " 500");
        uint32_t k = 0;
        for (uint32_t wait = 0; k < 5; ++k) {
            Put(0, k == 0 ? 1 : 0, at + k * 40);
            Put(9, 3, at + k * 40, 640);
            for (int i = 0; i < 40 && (wait = noxa_ipc_cloud_storage_pass()) == 0; ++i) {
            }
            EXPECT_EQ(waitMs, wait) << k;
            EXPECT_NE(CS_STATE_OPEN, Status().state) << k;
        }
        EXPECT_EQ(slices + 1, Status().slices_uploaded) << "the old group's last slice, nothing after it";
        mCloud->Command(std::string("fail ") + api + " ok");
        for (; k < 50; ++k) {
            Step(at + k * 40, k);
        }
        EXPECT_EQ(static_cast<uint32_t>(at / 1000), Status().group_start);
        EXPECT_TRUE(Has(List(), end)) << List();
    }
    EXPECT_EQ(50, VideoOfStoppedGroup(Status().group_start)) << mFetched;
}

// The stores away while the recorder holds both readers at one moment: the audio ring holds less
// time than the video one, so the audio reader falls out of it first and is moved to the newest
// frame. Back before the video reader falls out too, the recording goes on from the frame it held,
// and the sound from the oldest the ring still has after it, not from the newest: one second of
// sound missing at most, not eight.
TEST_F(CloudStorage, TheSoundFollowsTheVideoWhenOnlyTheAudioReaderFellBehind)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms() - 40000;
    uint32_t k = 0;
    for (; k < 140; ++k) {
        Step(ms + k * 40, k);
    }
    const uint32_t group = Status().group_start;
    ASSERT_TRUE(Has(mCloud->Command("stores stop"), "stopped")) << mCloud->Log();
    bool audioSkipped = false;
    for (; k < 140 + 240 && !audioSkipped; ++k) {
        Step(ms + k * 40, k);
        audioSkipped = LogCapture::Logged("skip to latest audio frame");
    }
    ASSERT_TRUE(audioSkipped) << "the audio reader fell behind first";
    EXPECT_FALSE(LogCapture::Logged("skip to latest I frame")) << "the video reader still holds its frame";
    ASSERT_TRUE(Has(mCloud->Command("stores start"), "started")) << mCloud->Log();
    for (const uint32_t end = k + 150; k < end; ++k) {
        Step(ms + k * 40, k);
    }
    EXPECT_EQ(group, Status().group_start);
    const long video = VideoOfStoppedGroup(group);
    ASSERT_GT(video, 150) << mFetched;
    const long audio = NumberAfter(TextLines(mFetched).back(), "audio");
    EXPECT_GE(audio, video - 25) << mFetched;
}

// The stores away for 56 s of frames: both readers fall behind the ring and skip, the audio one to
// the newest frame, the video one to a key frame seconds before it. Once the stores are back, the
// group that follows keeps its sound from its first key frame on: every slice holds as many audio
// frames as video frames (the first slice lost half a second of sound, 62 of 75).
TEST_F(CloudStorage, AStoreOutageLeavesNoSliceWithoutItsSound)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const uint64_t ms = uni_time_get_posix_ms() - 80000;
    uint32_t k = 0;
    for (; k < 100; ++k) {
        Step(ms + k * 40, k);
    }
    ASSERT_TRUE(Has(mCloud->Command("stores stop"), "stopped")) << mCloud->Log();
    for (; k < 100 + 56 * 25; ++k) {
        Step(ms + k * 40, k);
    }
    ASSERT_TRUE(Has(mCloud->Command("stores start"), "started")) << mCloud->Log();
    for (; k < 1500 + 300; ++k) {
        Step(ms + k * 40, k);
    }
    const uint32_t group = Status().group_start;
    ASSERT_GE(group, static_cast<uint32_t>((ms + 1500 * 40) / 1000 - 10)) << "a group of the frames after the outage";
    ASSERT_GE(VideoOfStoppedGroup(group), 250) << mFetched;
    int slices = 0;
    for (const std::string& line : TextLines(mFetched)) {
        if (line.rfind("slice ", 0) == 0) {
            ++slices;
            EXPECT_EQ(NumberAfter(line, "video"), NumberAfter(line, "audio")) << mFetched;
        }
    }
    EXPECT_GE(slices, 3) << mFetched;
}
