// The recording index and playback with a recording sink in place of the transfer module: the
// days and files a viewer is shown, where a playback starts, what each frame carries, files
// chained to the finished answer, pause, and stops that leave no thread behind.
#include "Common/AppLog.h"
#include "Common/AppState.h"
#include "Common/NoxaApp.h"
#include "Common/NoxaP2p.h"
#include "Common/NoxaSettings.h"
#include "Media/Playback.h"
#include "mp4_craft_util.h"
#include "record_test_util.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr const char* kDay = "/mnt/sdcard/DVR/20260314";
constexpr uint32_t kMidnight = 1773446400;  // 2026-03-14 00:00:00 UTC

struct Sent {
    uint32_t client;
    uint32_t type;
    uint64_t ms;
    std::vector<uint8_t> bytes;
};

std::mutex gLock;
std::condition_variable gChanged;
std::vector<Sent> gSent;
struct Heard {
    uint32_t client, codec, rate, bits, channel;
    uint64_t ms;
    std::vector<uint8_t> bytes;
};
std::vector<Heard> gAudio;
std::vector<uint32_t> gFinished;
std::vector<PLAYBACK_TIME_S> gDayList;
std::atomic<int> gPauseWaits{0};
// Called with each frame before it is kept (tests hold the thread there).
std::function<void(const Sent&)> gOnFrame;
// What the video sender answers from now on (0 sent; the transfer module's refusals else).
std::atomic<int> gAnswer{0};

int SendVideo(uint32_t client, const TRANSFER_MEDIA_FRAME_S* f)
{
    Sent s{client, f->video.frame_type, f->video.pts, std::vector<uint8_t>(f->video.p_buf, f->video.p_buf + f->video.buf_len)};
    if (gOnFrame) {
        gOnFrame(s);
    }
    std::lock_guard<std::mutex> lock(gLock);
    gSent.push_back(std::move(s));
    gChanged.notify_all();
    return gAnswer.load();
}

int SendAudio(uint32_t client, const TRANSFER_MEDIA_FRAME_S* f)
{
    const TRANSFER_AUDIO_FRAME_S& a = f->audio;
    Heard s{client, a.audio_codec, a.audio_sample, a.audio_databits, a.audio_channel, a.pts,
            std::vector<uint8_t>(a.p_audio_buf, a.p_audio_buf + a.buf_len)};
    EXPECT_EQ(a.pts / 1000, a.timestamp);
    std::lock_guard<std::mutex> lock(gLock);
    gAudio.push_back(std::move(s));
    return 0;
}

int SendFinish(uint32_t client)
{
    std::lock_guard<std::mutex> lock(gLock);
    gFinished.push_back(client);
    gChanged.notify_all();
    return 0;
}

int SendDayList(uint32_t, const PLAYBACK_TIME_S* files, uint32_t count)
{
    std::lock_guard<std::mutex> lock(gLock);
    gDayList.assign(files, files + count);
    return 0;
}

void Wait(uint32_t ms)
{
    if (ms == 20) {
        ++gPauseWaits;
    }
    std::this_thread::yield();
}

uint32_t At(int hh, int mm, int ss)
{
    return kMidnight + hh * 3600 + mm * 60 + ss;
}

constexpr uint32_t kPcmChunkBytes = 320;  // 20 ms of 16-bit samples at 8 kHz

// A chunk of the private track, its bytes telling its number.
std::vector<uint8_t> FakePcm(uint32_t number)
{
    std::vector<uint8_t> p(kPcmChunkBytes);
    for (size_t i = 0; i < p.size(); ++i) {
        p[i] = static_cast<uint8_t>(number * 7 + i);
    }
    return p;
}

// A closed recording of `video` fake samples and `chunks` 20 ms PCM chunks in its private
// track (at another rate, chunks of as many samples in a mono 16-bit track), two beside each
// video sample.
void WriteRecordingWithPcm(const std::string& unitPath, uint32_t video, uint32_t chunks, uint32_t rate = 8000)
{
    std::unique_ptr<Mp4Writer> w = Mp4Writer::Create(unitPath);
    ASSERT_TRUE(w) << unitPath;
    ASSERT_EQ(0, w->AddPcmTrack(rate));
    ASSERT_EQ(0, w->AddH264Track(1280, 720, kFakeSps.data(), kFakeSps.size(), kFakePps.data(), kFakePps.size()));
    for (uint32_t i = 0; i < std::max(video, (chunks + 1) / 2); ++i) {
        if (i < video) {
            std::vector<uint8_t> s = FakeSample(i + 1, i % 50 == 0);
            ASSERT_EQ(0, w->WriteSample(s.data(), static_cast<uint32_t>(s.size()), kMp4SampleDuration, i % 50 == 0));
        }
        for (uint32_t k = 2 * i; k < 2 * i + 2 && k < chunks; ++k) {
            const std::vector<uint8_t> p = FakePcm(k + 1);
            ASSERT_EQ(0, w->WritePcmSample(p.data(), kPcmChunkBytes, kPcmChunkBytes / 2));
        }
    }
    ASSERT_EQ(0, w->Close());
}

class PlaybackTest : public testing::Test {
protected:
    void SetUp() override
    {
        Mp4LimitAllocations();  // as the unit sets it at start
        setenv("TZ", "UTC0", 1);
        tzset();
        gSent.clear();
        gAudio.clear();
        gFinished.clear();
        gDayList.clear();
        gPauseWaits = 0;
        gOnFrame = nullptr;
        gAnswer = 0;
        gPlaybackOutput = PLAYBACK_OUTPUT_S{SendVideo, SendFinish, SendDayList, Wait, SendAudio};
        PlaybackInstallLinks();
        std::filesystem::create_directories(sb.Path(kDay));
        testing::internal::CaptureStdout();
    }
    void TearDown() override
    {
        StopPlayback();
        testing::internal::GetCapturedStdout();
        gNoxaAppLinks.LocalTimeOffset = nullptr;
    }
    // Waits (bounded) until the sink satisfies cond.
    template <typename Cond>
    bool WaitFor(Cond cond)
    {
        std::unique_lock<std::mutex> lock(gLock);
        return gChanged.wait_for(lock, std::chrono::seconds(30), cond);
    }
    // A file under a recording's name, of the size of one fragment (the list reads no file).
    void Named(const std::string& unitPath, size_t bytes = kMp4OneFragmentMinBytes)
    {
        sb.Write(unitPath, std::string(bytes, 'x'));
    }
    std::vector<PLAYBACK_TIME_S> ListDay()
    {
        PB_DAY_QUERY_S q{0, 2026, 3, 14, {}};
        SeekFileInfoByDate(&q);
        return q.Files;
    }
    TestSandbox sb;
};

}  // namespace

// Days 1 and 31 give bits 1 and 31; a day whose files were never closed or last two minutes
// lists nothing of them; one that crossed midnight ends the next day; names too short for both
// times are never read, nor files too small for a fragment; the list is in time order with the
// local offset taken off.
TEST_F(PlaybackTest, MonthBitsAndTheDayList)
{
    for (const char* d : {"/mnt/sdcard/DVR/20260301", "/mnt/sdcard/DVR/20260331", "/mnt/sdcard/DVR/20260415"}) {
        std::filesystem::create_directories(sb.Path(d));
    }
    sb.Write("/mnt/sdcard/DVR/20260305", "a file, not a folder");
    PB_MONTH_QUERY_S m{0, 2026, 3, 0};
    ASSERT_EQ(0, SeekFileByMonth(&m));
    EXPECT_EQ((1u << 1) | (1u << 14) | (1u << 31), m.Days);

    sb.Write(std::string(kDay) + "/101500.mp4", "");
    EXPECT_TRUE(ListDay().empty());
    PB_DAY_QUERY_S q{0, 2026, 3, 14, {}};
    EXPECT_EQ(-1, SeekFileInfoByDate(&q));

    for (const char* n : {"235950_000040.mp4", "100000_100200.mp4", "12.mp4_4567890123", "x.mp4", "110000_110005.mp4",
                          "090000_090065.mp4", "093000_093010.mp4", "120000_090000.mp4"}) {
        Named(std::string(kDay) + "/" + n);
    }
    sb.Write(std::string(kDay) + "/100500_100510.mp4", "");
    Named(std::string(kDay) + "/100600_100610.mp4", kMp4OneFragmentMinBytes - 1);
    gNoxaAppLinks.LocalTimeOffset = [] { return 3600; };
    const std::vector<PLAYBACK_TIME_S> files = ListDay();
    ASSERT_EQ(4u, files.size());
    // 09:00:65 reads as 09:01:05, as the clock routines make of it; 23:59:50 to 00:00:40 is 50 s.
    const uint32_t want[4][2] = {{At(9, 0, 0), At(9, 1, 5)},
                                 {At(9, 30, 0), At(9, 30, 10)},
                                 {At(11, 0, 0), At(11, 0, 5)},
                                 {At(23, 59, 50), At(24, 0, 40)}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(0u, files[i].type);
        EXPECT_EQ(want[i][0] - 3600, files[i].start_timestamp) << i;
        EXPECT_EQ(want[i][1] - 3600, files[i].end_timestamp) << i;
    }
}

// The viewer event's day query: the list goes out through the day-list sender and word 4 holds
// its count, whatever the answer's 16 words could carry.
TEST_F(PlaybackTest, DayQueryEventSendsTheWholeList)
{
    for (int i = 0; i < 20; ++i) {
        char n[32];
        std::snprintf(n, sizeof n, "/%02d0000_%02d0010.mp4", i, i);
        Named(std::string(kDay) + n);
    }
    uint32_t w[NOXA_P2P_EVENT_WORDS] = {3, 2026, 3, 14};
    EXPECT_EQ(0, __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_QUERY_DAY_TS, w));
    EXPECT_EQ(20u, w[4]);
    std::lock_guard<std::mutex> lock(gLock);
    ASSERT_EQ(20u, gDayList.size());
    EXPECT_EQ(At(19, 0, 0), gDayList[19].start_timestamp);
    EXPECT_EQ(At(19, 0, 10), gDayList[19].end_timestamp);
}

// Played from 10 s into a 30 s file: the first sample is the 226th (a second early) stamped
// start + 9,040 ms, each sync sample carries the file's SPS and PPS before it, the rest goes out
// as stored with a start code, and the client hears the end once. From the section start, the
// first sample is the file's first.
TEST_F(PlaybackTest, PlaysFromAMomentWithParameterSetsOnSyncSamples)
{
    WriteFakeRecording(std::string(kDay) + "/101500_101530.mp4", 750);
    ASSERT_EQ(1u, ListDay().size());
    const uint32_t start = At(10, 15, 0), end = At(10, 15, 30);
    EXPECT_EQ(-1, StartPlayback(start, start, end + 1, 2)) << "no such section";
    ASSERT_EQ(0, StartPlayback(start + 10, start, end, 2));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    EXPECT_EQ(0, GetPlaybackState());
    std::lock_guard<std::mutex> lock(gLock);
    EXPECT_EQ(std::vector<uint32_t>{2}, gFinished);
    ASSERT_EQ(750u - 225u, gSent.size());
    EXPECT_EQ(uint64_t(start) * 1000 + 9040, gSent[0].ms);
    std::vector<uint8_t> key = {0, 0, 0, 1};
    key.insert(key.end(), kFakeSps.begin(), kFakeSps.end());
    key.insert(key.end(), {0, 0, 0, 1});
    key.insert(key.end(), kFakePps.begin(), kFakePps.end());
    for (size_t i = 0; i < gSent.size(); ++i) {
        const uint32_t number = static_cast<uint32_t>(226 + i);
        const Sent& s = gSent[i];
        ASSERT_EQ(2u, s.client);
        ASSERT_EQ(uint64_t(start) * 1000 + number * 40, s.ms) << i;
        std::vector<uint8_t> want = FakeSample(number, (number - 1) % 50 == 0);
        want[0] = want[1] = want[2] = 0, want[3] = 1;
        if ((number - 1) % 50 == 0) {
            want.insert(want.begin(), key.begin(), key.end());
        }
        ASSERT_EQ((number - 1) % 50 == 0 ? 1u : 0u, s.type) << i;
        ASSERT_EQ(want, s.bytes) << i;
    }
}

// Two recordings of a day chained: the second follows the first stamped from its own start,
// then the finished answer; a day query meanwhile does not upset the walk.
TEST_F(PlaybackTest, ChainsTheDaysRecordingsThenFinishes)
{
    WriteFakeRecording(std::string(kDay) + "/101500_101502.mp4", 50);
    WriteFakeRecording(std::string(kDay) + "/102000_102001.mp4", 25);
    ASSERT_EQ(2u, ListDay().size());
    ASSERT_EQ(0, StartPlayback(At(10, 15, 0), At(10, 15, 0), At(10, 15, 2), 1));
    EXPECT_EQ(1, PlaybackOwner());
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    ASSERT_EQ(75u, gSent.size());
    EXPECT_EQ(uint64_t(At(10, 15, 0)) * 1000 + 40, gSent[0].ms);
    EXPECT_EQ(uint64_t(At(10, 15, 0)) * 1000 + 50 * 40, gSent[49].ms);
    EXPECT_EQ(uint64_t(At(10, 20, 0)) * 1000 + 40, gSent[50].ms);
    EXPECT_EQ(1u, gSent[50].type) << "the second file starts at its key frame";
    EXPECT_EQ(std::vector<uint32_t>{1}, gFinished);
}

// Pause holds the frames back (the thread waits in 20 ms steps) until resume; only the client
// that plays can pause it.
TEST_F(PlaybackTest, PauseHoldsTheFramesUntilResume)
{
    WriteFakeRecording(std::string(kDay) + "/101500_101504.mp4", 100);
    ListDay();
    std::atomic<bool> paused{false};
    gOnFrame = [&](const Sent& s) {
        if (s.ms == uint64_t(At(10, 15, 0)) * 1000 + 10 * 40) {
            uint32_t w[NOXA_P2P_EVENT_WORDS] = {1};
            __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_PAUSE, w);  // another client: ignored
            EXPECT_EQ(0, gPauseWaits.load());
            w[0] = 4;
            __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_PAUSE, w);
            paused = true;
        }
    };
    ASSERT_EQ(0, StartPlayback(At(10, 15, 0), At(10, 15, 0), At(10, 15, 4), 4));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (gPauseWaits < 50 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(gPauseWaits.load(), 50);
    {
        std::lock_guard<std::mutex> lock(gLock);
        EXPECT_EQ(10u, gSent.size()) << "nothing after the pause";
    }
    uint32_t w[NOXA_P2P_EVENT_WORDS] = {4};
    __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_RESUME, w);
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    EXPECT_EQ(100u, gSent.size());
}

// A stop while the thread moves to the next file, and a card format during playback, end the
// thread: nothing of the next file, no finished answer, and a new start plays alone.
TEST_F(PlaybackTest, StopsDuringTheSwitchAndTheFormatLeaveNoThread)
{
    WriteFakeRecording(std::string(kDay) + "/101500_101501.mp4", 25);
    WriteFakeRecording(std::string(kDay) + "/102000_102001.mp4", 25);
    ListDay();
    std::mutex m;
    std::condition_variable cv;
    bool atLast = false;
    bool stopping = false;
    gOnFrame = [&](const Sent& s) {
        if (s.ms != uint64_t(At(10, 15, 0)) * 1000 + 25 * 40) {
            return;
        }
        std::unique_lock<std::mutex> lock(m);
        atLast = true;
        cv.notify_all();
        cv.wait(lock, [&] { return stopping; });
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the stop has asked meanwhile
    };
    ASSERT_EQ(0, StartPlayback(At(10, 15, 0), At(10, 15, 0), At(10, 15, 1), 0));
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return atLast; }));
        stopping = true;
        cv.notify_all();
    }
    uint32_t w[NOXA_P2P_EVENT_WORDS] = {0};
    __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_STOP, w);
    EXPECT_EQ(0, GetPlaybackState());
    EXPECT_EQ(-1, PlaybackOwner());
    {
        std::lock_guard<std::mutex> lock(gLock);
        EXPECT_EQ(25u, gSent.size()) << "nothing of the next file";
        EXPECT_TRUE(gFinished.empty());
        gSent.clear();
    }
    atLast = stopping = false;
    gOnFrame = [&](const Sent& s) {
        if (s.ms != uint64_t(At(10, 20, 0)) * 1000 + 5 * 40) {
            return;
        }
        std::unique_lock<std::mutex> lock(m);
        atLast = true;
        cv.notify_all();
        cv.wait(lock, [&] { return stopping; });
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    ASSERT_EQ(0, StartPlayback(At(10, 20, 0), At(10, 20, 0), At(10, 20, 1), 0));
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return atLast; }));
        stopping = true;
        cv.notify_all();
    }
    EXPECT_EQ(0, gNoxaSettingsLinks.StopSdPlayback());  // the card format's stop
    EXPECT_EQ(0, GetPlaybackState());
    std::lock_guard<std::mutex> lock(gLock);
    EXPECT_EQ(5u, gSent.size());
    EXPECT_TRUE(gFinished.empty());
}

// Files the index lists but the player cannot use: 803 samples play at 40 ms each (not 39), a
// file shorter than a second played from past its end plays whole, a file that is no MP4 is
// passed over, and a day ending in one ends the thread with the finished answer.
TEST_F(PlaybackTest, OddFilesNeitherHangNorMisstamp)
{
    WriteFakeRecording(std::string(kDay) + "/080000_080033.mp4", 803, 40);
    sb.Write(std::string(kDay) + "/081000_081005.mp4", "not an mp4 at all");
    WriteFakeRecording(std::string(kDay) + "/082000_082001.mp4", 10, 40);
    sb.Write(std::string(kDay) + "/083000_083005.mp4", "");
    ListDay();
    ASSERT_EQ(0, StartPlayback(At(8, 0, 0), At(8, 0, 0), At(8, 0, 33), 1));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    EXPECT_EQ(0, GetPlaybackState());
    {
        std::lock_guard<std::mutex> lock(gLock);
        ASSERT_EQ(813u, gSent.size());
        EXPECT_EQ(uint64_t(At(8, 0, 0)) * 1000 + 803 * 40, gSent[802].ms);
        EXPECT_EQ(uint64_t(At(8, 20, 0)) * 1000 + 40, gSent[803].ms) << "the broken file is passed over";
        gSent.clear();
        gFinished.clear();
    }
    ASSERT_EQ(0, StartPlayback(At(8, 20, 30), At(8, 20, 0), At(8, 20, 1), 1));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    EXPECT_EQ(10u, gSent.size()) << "from its first sample";
}

// No event recording starts while a playback runs.
TEST_F(PlaybackTest, NoEventRecordingDuringPlayback)
{
    MP4RecordLockInit();
    ASSERT_EQ(0, BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr));
    gDeviceState.SdRecordSetting = 1;
    gAppState.FloorModel = 0;
    gDeviceState.RecordHoldTimer = kCountdownStopped;
    WriteFakeRecording(std::string(kDay) + "/101500_101504.mp4", 100);
    ListDay();
    std::atomic<int> started{-2};
    gOnFrame = [&](const Sent& s) {
        if (s.ms == uint64_t(At(10, 15, 0)) * 1000 + 40) {
            started = MotionRecordStart();
        }
    };
    ASSERT_EQ(0, StartPlayback(At(10, 15, 0), At(10, 15, 0), At(10, 15, 4), 1));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    EXPECT_EQ(-1, started.load());
    EXPECT_EQ(0, GetMP4RecordState());
    EXPECT_EQ(0, MotionRecordStart()) << "once the playback is over";
    MP4RecordStop();
    gDeviceState.SdRecordSetting = 0;
}

// A viewer gone in the middle of a playback: the send answers that its session is gone (-1 not
// connected, -ENOENT no such client, -ENXIO no longer in playback) and the playback ends there:
// not a frame more, not the day's next file, no finished answer to nobody, and event recording
// is no longer held back.
TEST_F(PlaybackTest, AViewerGoneEndsThePlayback)
{
    WriteFakeRecording(std::string(kDay) + "/101500_101504.mp4", 100);
    WriteFakeRecording(std::string(kDay) + "/102000_102004.mp4", 100);
    ASSERT_EQ(2u, ListDay().size());
    for (int answer : {-1, -ENOENT, -ENXIO}) {
        SCOPED_TRACE(answer);
        {
            std::lock_guard<std::mutex> lock(gLock);
            gSent.clear();
            gFinished.clear();
        }
        gAnswer = 0;
        gOnFrame = [answer](const Sent& s) {
            if (s.ms == uint64_t(At(10, 15, 0)) * 1000 + 30 * 40) {
                gAnswer = answer;
            }
        };
        ASSERT_EQ(0, StartPlayback(At(10, 15, 0), At(10, 15, 0), At(10, 15, 4), 1));
        for (int i = 0; i < 3000 && GetPlaybackState() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(0, GetPlaybackState()) << "the playback walks on for nobody";
        EXPECT_EQ(-1, PlaybackOwner());
        std::lock_guard<std::mutex> lock(gLock);
        EXPECT_EQ(30u, gSent.size());
        EXPECT_TRUE(gFinished.empty());
    }
}

// The recorder leaves a file closed after midnight in its start day's folder: it is listed with
// its end the next day and plays, beside the day's other recording.
TEST_F(PlaybackTest, ARecordingAcrossMidnightIsListedAndPlays)
{
    WriteFakeRecording(std::string(kDay) + "/235950_000040.mp4", 50);
    WriteFakeRecording(std::string(kDay) + "/235900_235930.mp4", 25);
    const std::vector<PLAYBACK_TIME_S> files = ListDay();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(At(23, 59, 50), files[1].start_timestamp);
    EXPECT_EQ(At(24, 0, 40), files[1].end_timestamp);
    ASSERT_EQ(0, StartPlayback(At(23, 59, 50), At(23, 59, 50), At(24, 0, 40), 1));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    EXPECT_EQ(50u, gSent.size());
}

// A busy day: the folder holds more recordings than the list takes; the list keeps the latest,
// whatever order the folder gives them in.
TEST_F(PlaybackTest, ADayOverTheListsSizeKeepsItsLatest)
{
    constexpr int kFiles = 1450;
    for (int i = kFiles - 1; i >= 0; --i) {
        const int t = i * 59;  // every 59 s, from midnight
        char n[40];
        std::snprintf(n, sizeof n, "/%02d%02d%02d_%02d%02d%02d.mp4", t / 3600, t / 60 % 60, t % 60, (t + 30) / 3600,
                      (t + 30) / 60 % 60, (t + 30) % 60);
        Named(std::string(kDay) + n);
    }
    const std::vector<PLAYBACK_TIME_S> files = ListDay();
    ASSERT_EQ(1440u, files.size());
    EXPECT_EQ(At(0, 0, 0) + 10 * 59, files.front().start_timestamp) << "the 10 earliest left out";
    EXPECT_EQ(At(0, 0, 0) + (kFiles - 1) * 59, files.back().start_timestamp);
}

// A card without recordings is no error: no recording folder gives no days and no red line; a
// recording folder that cannot be read still is one.
TEST_F(PlaybackTest, ACardWithoutRecordingsHasNoDays)
{
    std::filesystem::remove_all(sb.Path("/mnt/sdcard/DVR"));
    PB_MONTH_QUERY_S m{0, 2026, 3, 0};
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, SeekFileByMonth(&m));
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, m.Days);
    EXPECT_EQ(std::string::npos, out.find("fail to open dir")) << out;
    // A day without recordings has no folder: none listed, and no error line either.
    PB_DAY_QUERY_S q{0, 2026, 3, 15, {}};
    EXPECT_EQ(-1, SeekFileInfoByDate(&q));
    const std::string day = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(q.Files.empty());
    EXPECT_EQ(std::string::npos, day.find(APP_LOG_RED)) << day;
    sb.Write("/mnt/sdcard/DVR", "a file where the folder should be");
    EXPECT_EQ(-1, SeekFileByMonth(&m));
    EXPECT_EQ(-1, SeekFileInfoByDate(&q));
    const std::string unreadable = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(q.Files.empty());
    EXPECT_NE(std::string::npos, unreadable.find(std::string(APP_LOG_RED) + "[ScanRecordDir] fail to open dir")) << unreadable;
}

// The private track: a file of video and 16-bit PCM is a QuickTime file that ffprobe reads with
// both streams (one without the track stays MP4). Played from 1 s in, the sound goes out beside
// the video from the asked moment (the video a second early), each chunk as stored, codec 101,
// 8000 Hz, 16 bits, channel 0, stamped section start + number x 20 ms; the day's next file sounds
// from its own start, and a file without the track plays its video alone.
TEST_F(PlaybackTest, PlaysThePrivateTrackBesideTheVideo)
{
    const std::string first = std::string(kDay) + "/101500_101502.mp4";
    const std::string plain = std::string(kDay) + "/103000_103001.mp4";
    WriteRecordingWithPcm(first, 50, 100);
    WriteRecordingWithPcm(std::string(kDay) + "/102000_102001.mp4", 25, 50);
    WriteFakeRecording(plain, 25);
    const std::string probe = "ffprobe -v quiet -count_packets -show_entries stream=codec_name,codec_type,codec_tag_string,"
                              "sample_rate,channels,nb_read_packets:format_tags=major_brand -of csv=p=0 ";
    const std::string streams = RunOutput(probe + "'" + sb.Path(first) + "'");
    EXPECT_NE(std::string::npos, streams.find("pcm_s16le,audio,sowt,8000,1,100")) << streams;
    EXPECT_NE(std::string::npos, streams.find("h264,video,avc1,50")) << streams;
    EXPECT_NE(std::string::npos, streams.find("qt  ")) << streams;
    const std::string plainStreams = RunOutput(probe + "'" + sb.Path(plain) + "'");
    EXPECT_EQ(std::string::npos, plainStreams.find("audio")) << plainStreams;
    EXPECT_NE(std::string::npos, plainStreams.find("iso5")) << plainStreams;

    const uint32_t start = At(10, 15, 0);
    ASSERT_EQ(0, StartPlayback(start + 1, start, At(10, 15, 2), 3));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    ASSERT_EQ(25u + 25u + 25u, gSent.size());
    EXPECT_EQ(uint64_t(start) * 1000 + 26 * 40, gSent[0].ms) << "the video a second early";
    ASSERT_EQ(50u + 50u, gAudio.size());
    for (size_t i = 0; i < gAudio.size(); ++i) {
        const bool second = i >= 50;
        const uint32_t number = second ? static_cast<uint32_t>(i - 49) : static_cast<uint32_t>(51 + i);
        const Heard& h = gAudio[i];
        ASSERT_EQ(3u, h.client);
        ASSERT_EQ(101u, h.codec);
        ASSERT_EQ(8000u, h.rate);
        ASSERT_EQ(16u, h.bits);
        ASSERT_EQ(0u, h.channel);
        ASSERT_EQ(uint64_t(second ? At(10, 20, 0) : start) * 1000 + number * 20, h.ms) << i;
        ASSERT_EQ(FakePcm(number), h.bytes) << i;
    }
    EXPECT_EQ(uint64_t(At(10, 30, 0)) * 1000 + 40, gSent[50].ms) << "the plain file's video";
    EXPECT_EQ(std::vector<uint32_t>{3}, gFinished);
}

// A mono 16-bit track at 96 kHz is no private track (its frames would go out labelled 8 kHz):
// the reader leaves it, and its file's video plays alone.
TEST_F(PlaybackTest, ASoundTrackAtAnotherRateIsNoPrivateTrack)
{
    const std::string path = std::string(kDay) + "/101500_101501.mp4";
    WriteRecordingWithPcm(path, 25, 50, 96000);
    {
        std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(path);
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->HasPcm());
        EXPECT_EQ(0u, r->PcmSampleCount());
        EXPECT_EQ(25u, r->SampleCount());
    }
    const uint32_t start = At(10, 15, 0);
    ASSERT_EQ(0, StartPlayback(start, start, At(10, 15, 1), 3));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    EXPECT_EQ(25u, gSent.size());
    EXPECT_TRUE(gAudio.empty());
}

// A crafted file among the day's recordings, its runs claiming 16 million samples in a 64 KB
// file: the player refuses it and goes on to the next recording.
TEST_F(PlaybackTest, AFileClaimingMoreSamplesThanItHoldsIsPassedOver)
{
    WriteFakeRecording(std::string(kDay) + "/080000_080001.mp4", 25, 40);
    const std::string crafted = std::string(kDay) + "/081000_081010.mp4";
    const std::string written = mp4craft::Recording(std::string(kDay) + "/scratch.mp4", 10, 250, false);
    ASSERT_FALSE(written.empty());
    sb.Write(crafted, mp4craft::RunsClaim(written, 16u << 20));
    EXPECT_FALSE(Mp4Reader::Open(crafted));
    WriteFakeRecording(std::string(kDay) + "/082000_082001.mp4", 10, 40);
    ASSERT_EQ(3u, ListDay().size());
    ASSERT_EQ(0, StartPlayback(At(8, 0, 0), At(8, 0, 0), At(8, 0, 1), 1));
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    ASSERT_EQ(35u, gSent.size());
    EXPECT_EQ(uint64_t(At(8, 20, 0)) * 1000 + 40, gSent[25].ms) << "the crafted file is passed over";
}

// Viewers list days of their own: client 2 lists the 14th, client 3 the 13th, then client 2
// plays a recording of the 14th, all of it and the 14th's next one; the 13th listed again in the
// middle of the playback changes neither what plays nor what plays next.
TEST_F(PlaybackTest, EachPlaybackWalksItsOwnDay)
{
    constexpr const char* kDayBefore = "/mnt/sdcard/DVR/20260313";
    std::filesystem::create_directories(sb.Path(kDayBefore));
    WriteFakeRecording(std::string(kDay) + "/101500_101501.mp4", 25);
    WriteFakeRecording(std::string(kDay) + "/102000_102001.mp4", 25);
    WriteFakeRecording(std::string(kDayBefore) + "/101500_101501.mp4", 25);
    WriteFakeRecording(std::string(kDayBefore) + "/101600_101601.mp4", 25);
    uint32_t w[NOXA_P2P_EVENT_WORDS] = {2, 2026, 3, 14};
    EXPECT_EQ(0, __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_QUERY_DAY_TS, w));
    EXPECT_EQ(2u, w[4]);
    uint32_t other[NOXA_P2P_EVENT_WORDS] = {3, 2026, 3, 13};
    EXPECT_EQ(0, __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_QUERY_DAY_TS, other));
    EXPECT_EQ(2u, other[4]);
    gOnFrame = [](const Sent& s) {
        if (s.ms == uint64_t(At(10, 15, 0)) * 1000 + 10 * 40) {
            uint32_t q[NOXA_P2P_EVENT_WORDS] = {3, 2026, 3, 13};
            __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_QUERY_DAY_TS, q);
        }
    };
    uint32_t play[NOXA_P2P_EVENT_WORDS] = {2, At(10, 15, 0), At(10, 15, 1), At(10, 15, 0)};
    __NOXA_APP_p2p_event_cb(TRANS_PLAYBACK_START_TS, play);
    ASSERT_EQ(2, PlaybackOwner()) << "the recording of the 14th is found";
    ASSERT_TRUE(WaitFor([] { return !gFinished.empty(); }));
    std::lock_guard<std::mutex> lock(gLock);
    ASSERT_EQ(50u, gSent.size());
    EXPECT_EQ(uint64_t(At(10, 15, 0)) * 1000 + 25 * 40, gSent[24].ms);
    EXPECT_EQ(uint64_t(At(10, 20, 0)) * 1000 + 40, gSent[25].ms) << "the 14th's next recording";
    EXPECT_EQ(std::vector<uint32_t>{2}, gFinished);
}
