// SD event storage on the sandbox's card: what the writer leaves in the event folders (read back
// with the test's own record parser), the storage's status under start and stop requests, and the
// disk monitor and deletion with scripted card hooks. Frames come from a synthetic writer whose
// bytes name them; the writer and the monitor are driven step by step.
#include "media_records.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "noxa_ipc_sdk/stream_storage/noxa_ipc_stream_storage.h"
#include "noxa_ipc_sdk/stream_storage/ss_manager.h"
#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <future>
#include <mutex>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMidnight = 1796774400;  // 2026-12-09 00:00:00 UTC

std::atomic<int> gCard{1};
std::atomic<int> gRecordMode{1};
std::atomic<uint32_t> gFreeKb{4000000};
std::atomic<int> gRemounts{0};
std::mutex gReportLock;
std::vector<int> gReports;

int CardStatus()
{
    return gCard;
}
const char* MountPath()
{
    return "/mnt/sdcard";
}
void Capacity(uint32_t* total, uint32_t* used, uint32_t* free)
{
    *total = 7761920;
    *free = gFreeKb;
    *used = *total - *free;
}
int RecordMode()
{
    return gRecordMode;
}
void Remount()
{
    ++gRemounts;
}
int CaptureReport(const char*, const OBJ_DP_S* dp, uint32_t, uint32_t)
{
    std::lock_guard<std::mutex> lock(gReportLock);
    if (dp->dpid == 110) {
        gReports.push_back(dp->value.dp_value);
    }
    return 0;
}
std::vector<int> Reports()
{
    std::lock_guard<std::mutex> lock(gReportLock);
    return gReports;
}

// The application's media description; bitrate and audio as a test wants them.
NOXA_MEDIA_INFO_S Media(uint32_t kbps = 1024, bool audio = false)
{
    NOXA_MEDIA_INFO_S m{};
    m.channel_enable[0] = 1;
    m.video_fps[0] = 25;
    m.video_gop[0] = 25;
    m.video_bitrate[0] = kbps;
    m.video_width[0] = 1280;
    m.video_height[0] = 720;
    m.video_freq[0] = 90000;
    m.video_codec[0] = NOXA_CODEC_VIDEO_H264;
    m.channel_enable[9] = audio ? 1 : 0;
    m.audio_codec[9] = NOXA_CODEC_AUDIO_PCM;
    m.audio_fps[9] = 25;
    m.audio_sample[9] = 8000;
    m.audio_databits[9] = 16;
    return m;
}

// `count` video frames at 25 fps from `ms`, a key frame every `gop`.
std::vector<MediaRecord> Video(uint64_t ms, int count, int gop = 25, size_t size = 300)
{
    std::vector<MediaRecord> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(SelfFrame(i % gop == 0 ? 1 : 0, ms + 40ull * i, size + i % 7));
    }
    return out;
}

// Runs fn on its own thread; whether it returned within `limit`. A call that hangs is left behind
// (the test then fails and its process ends).
bool ReturnsWithin(std::function<void()> fn, std::chrono::milliseconds limit)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> f = done->get_future();
    std::thread([fn, done] {
        fn();
        done->set_value();
    }).detach();
    return f.wait_for(limit) == std::future_status::ready;
}

class StreamStorage : public testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        uni_set_time_zone("+00:00");
        gNoxaSsSdHooks = NOXA_SS_SD_HOOKS_S{CardStatus, MountPath, Capacity, RecordMode, Remount};
        gNoxaIpcOps.dp_report_async = CaptureReport;
        noxa_ipc_ss_threads_for_test(0);
    }
    void TearDown() override
    {
        noxa_ipc_ss_uninit();
        chmod(mSb.Path("/mnt/sdcard/DCIM").c_str(), 0755);
    }
    // Storage on the card with the wall clock at `now`, storing made possible by the monitor.
    void Start(const NOXA_MEDIA_INFO_S& media, uint32_t now)
    {
        uni_time_set(now, 1);
        ASSERT_EQ(0, noxa_ipc_ss_init("/mnt/sdcard", &media, 20));
        noxa_ipc_ss_disk_monitor_round();
        ASSERT_EQ(0, noxa_ipc_ss_set_write_mode(gRecordMode)) << LogCapture::All();
    }
    // Appends a frame to the ring buffer and lets the storage thread's passes take what is there.
    static void Put(const MediaRecord& r, int channel = 0)
    {
        ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data_with_timestamp(channel, r.data.data(),
                                                                     static_cast<uint32_t>(r.data.size()), r.type,
                                                                     r.pts, r.ms));
        Drain();
    }
    static void Drain()
    {
        for (int i = 0; i < 100 && noxa_ipc_ss_storage_pass() == 0; ++i) {
        }
    }
    std::string Dcim() const { return mSb.Path("/mnt/sdcard/DCIM"); }
    // The records of an event folder, its slices in order.
    std::vector<MediaRecord> EventRecords(const std::string& event) const
    {
        std::vector<MediaRecord> out;
        for (const std::string& s : Slices(Dcim() + "/" + event)) {
            bool whole = false;
            auto part = ParseRecords(FileBytes(Dcim() + "/" + event + "/" + s), &whole);
            EXPECT_TRUE(whole) << event << "/" << s;
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }

    TestSandbox mSb;
};

int LogLines(const std::string& text)
{
    std::string all = LogCapture::All();
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++n;
    }
    return n;
}

std::string Day(uint32_t t)
{
    time_t tt = t;
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[16];
    strftime(buf, sizeof buf, "%Y/%m/%d", &tm);
    return buf;
}

std::string EventName(uint32_t start, uint32_t duration)
{
    char buf[20];
    snprintf(buf, sizeof buf, "%010u_%04u", start, duration);
    return buf;
}

}  // namespace

TEST(StreamStorageSizes, SliceDurationsAndTheBufferOfTheApplicationsMedia)
{
    const struct {
        uint32_t gop, fps, seconds;
    } rows[] = {{25, 25, 10}, {200, 25, 16}, {50, 10, 10}, {250, 25, 10}, {150, 25, 12}};
    for (const auto& r : rows) {
        EXPECT_EQ(r.seconds, ss::SliceDurationFor(r.gop, r.fps)) << r.gop << "/" << r.fps;
    }
    // Six seconds of 1024 kbit/s video and of 8 kHz 16-bit audio.
    EXPECT_EQ(786432u + 96000u, ss::BufferSizeFor(Media(1024, true)));
    EXPECT_EQ(786432u, ss::BufferSizeFor(Media(1024, false)));
}

TEST_F(StreamStorage, AnEventPastMidnightGoesOnInTheNextDaysFolder)
{
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    ASSERT_NO_FATAL_FAILURE(Start(Media(), kMidnight - 2));
    EXPECT_EQ(1, noxa_ipc_skill_value(NOXA_SKILL_LOCAL_STORAGE));
    ASSERT_EQ(0, noxa_ipc_ss_start_event());
    // 23:59:58 to 00:00:03, a key frame a second; the stop ends the event at the next video frame.
    std::vector<MediaRecord> frames = Video((kMidnight - 2) * 1000ull, 126);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i == 125) {
            ASSERT_EQ(0, noxa_ipc_ss_stop_event());
        }
        ASSERT_NO_FATAL_FAILURE(Put(frames[i]));
    }
    EXPECT_EQ(E_STORAGE_STOP, noxa_ipc_ss_get_status());
    const std::string first = Day(kMidnight - 2) + "/" + EventName(kMidnight - 2, 2);
    const std::string second = Day(kMidnight) + "/" + EventName(kMidnight, 3);
    ASSERT_EQ((std::vector<std::string>{first, second}), EventFolders(Dcim())) << LogCapture::All();
    // The first key frame past midnight begins the second event; nothing lost, nothing twice.
    EXPECT_EQ(std::vector<MediaRecord>(frames.begin(), frames.begin() + 50), EventRecords(first));
    EXPECT_EQ(std::vector<MediaRecord>(frames.begin() + 50, frames.end()), EventRecords(second));
    EXPECT_EQ("{\"version\":1,\"eventType\":0,\"codec\":2}", FileBytes(Dcim() + "/" + first + "/.info"));
}

TEST_F(StreamStorage, AStopInTheSecondOfTheStartKeepsItsZeroDuration)
{
    const uint32_t t = kMidnight + 3600;
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    ASSERT_NO_FATAL_FAILURE(Start(Media(), t));
    ASSERT_EQ(0, noxa_ipc_ss_start_event());
    std::vector<MediaRecord> frames = Video(t * 1000ull, 3);
    ASSERT_NO_FATAL_FAILURE(Put(frames[0]));
    ASSERT_NO_FATAL_FAILURE(Put(frames[1]));
    EXPECT_EQ(E_STORAGE_ONGOING, noxa_ipc_ss_get_status());
    ASSERT_EQ(0, noxa_ipc_ss_stop_event());
    EXPECT_EQ(-1, noxa_ipc_ss_start_event()) << "an event still runs";
    ASSERT_NO_FATAL_FAILURE(Put(frames[2]));
    EXPECT_EQ(E_STORAGE_STOP, noxa_ipc_ss_get_status());
    const std::string event = Day(t) + "/" + EventName(t, 0);
    ASSERT_EQ(std::vector<std::string>{event}, EventFolders(Dcim()));
    EXPECT_EQ(frames, EventRecords(event));
}

// A record larger than the whole working buffer goes to the slice behind the flushed buffer,
// never into the buffer.
TEST_F(StreamStorage, AFrameLargerThanTheBufferIsWrittenWholeInItsPlace)
{
    const uint32_t t = kMidnight + 7200;
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    ASSERT_NO_FATAL_FAILURE(Start(Media(64), t));  // a 49,152-byte buffer for a 64 kbit/s stream
    ASSERT_EQ(0, noxa_ipc_ss_start_event());
    std::vector<MediaRecord> frames = Video(t * 1000ull, 6, 25, 1000);
    frames[4] = SelfFrame(0, frames[4].ms, 55000);
    for (const MediaRecord& f : frames) {
        ASSERT_NO_FATAL_FAILURE(Put(f));
    }
    ASSERT_EQ(0, noxa_ipc_ss_stop_event());
    ASSERT_NO_FATAL_FAILURE(Put(SelfFrame(0, frames.back().ms + 40)));
    const std::string event = Day(t) + "/" + EventName(t, 0);
    ASSERT_EQ(std::vector<std::string>{event}, EventFolders(Dcim()));
    frames.push_back(SelfFrame(0, frames.back().ms + 40));
    EXPECT_EQ(frames, EventRecords(event));
}

TEST_F(StreamStorage, AWriteProtectedCardGivesStatus5AndWritesNothing)
{
    const uint32_t t = kMidnight + 300;
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    ASSERT_NO_FATAL_FAILURE(Start(Media(), t));
    ASSERT_EQ(0, chmod(Dcim().c_str(), 0555));
    ASSERT_EQ(0, noxa_ipc_ss_start_event());
    for (const MediaRecord& f : Video(t * 1000ull, 30)) {
        ASSERT_NO_FATAL_FAILURE(Put(f));
    }
    EXPECT_EQ(E_STORAGE_UNWRITEABLE, noxa_ipc_ss_get_status());
    EXPECT_TRUE(Names(Dcim()).empty());
    // Writable again: a new start writes from the next key frame on.
    ASSERT_EQ(0, chmod(Dcim().c_str(), 0755));
    ASSERT_EQ(0, noxa_ipc_ss_start_event());
    std::vector<MediaRecord> more = Video(t * 1000ull + 1200, 30);
    for (const MediaRecord& f : more) {
        ASSERT_NO_FATAL_FAILURE(Put(f));
    }
    EXPECT_EQ(E_STORAGE_ONGOING, noxa_ipc_ss_get_status());
    EXPECT_EQ(1u, EventFolders(Dcim()).size());
}

// A trigger while an event records lengthens that event: it never opens a second folder over
// the open one (which would leave the first unfinished and drop its buffer).
TEST_F(StreamStorage, ATriggerDuringAnEventLengthensItInItsOwnFolder)
{
    const uint32_t t = kMidnight + 600;
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    ASSERT_NO_FATAL_FAILURE(Start(Media(), t));
    EXPECT_EQ(-2, noxa_ipc_ss_trigger_event(601));
    ASSERT_EQ(0, noxa_ipc_ss_trigger_event(2));
    std::vector<MediaRecord> frames = Video(t * 1000ull, 150);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i == 25) {
            ASSERT_EQ(E_STORAGE_ONGOING, noxa_ipc_ss_get_status());
            ASSERT_EQ(0, noxa_ipc_ss_trigger_event(3));  // now 5 s from the start
            EXPECT_EQ(E_STORAGE_ONGOING, noxa_ipc_ss_get_status());
        }
        ASSERT_NO_FATAL_FAILURE(Put(frames[i]));
    }
    EXPECT_EQ(E_STORAGE_STOP, noxa_ipc_ss_get_status());
    const std::string event = Day(t) + "/" + EventName(t, 5);
    ASSERT_EQ(std::vector<std::string>{event}, EventFolders(Dcim())) << LogCapture::All();
    EXPECT_EQ(std::vector<MediaRecord>(frames.begin(), frames.begin() + 126), EventRecords(event));
}

// With no frame coming (the frame gate closed) nothing carries out a start or a stop: the storage
// thread keeps trying to anchor its start, and the monitor, bringing the card back in all-time
// mode, leaves a restart behind the pending stop and goes on. Uninit still ends both.
TEST_F(StreamStorage, UninitReturnsWhileNoFrameComes)
{
    noxa_ipc_ss_threads_for_test(1);
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    gRecordMode = 2;
    uni_time_set(kMidnight, 1);
    NOXA_MEDIA_INFO_S media = Media();
    ASSERT_EQ(0, noxa_ipc_ss_init("/mnt/sdcard", &media, 20));
    ASSERT_TRUE(LogCapture::LoggedSoon("write_mode set 0 -> 2")) << LogCapture::All();
    EXPECT_EQ(E_STORAGE_START, noxa_ipc_ss_get_status());
    gCard = 5;  // out: the monitor stops the writing, which no frame carries out
    ASSERT_TRUE(Eventually([] { return noxa_ipc_ss_get_status() == E_STORAGE_READY_TO_STOP; }, 5s));
    gCard = 1;  // back: the monitor asks for a restart behind the pending stop
    ASSERT_TRUE(Eventually([] { return noxa_ipc_ss_get_status() == E_STORAGE_RESTART; }, 5s)) << LogCapture::All();
    bool returned = ReturnsWithin([] { noxa_ipc_ss_uninit(); }, 10s);
    if (!returned) {
        ADD_FAILURE() << "uninit hangs";
        std::_Exit(1);
    }
}

// The monitor never waits for the storage thread: a card that comes back while a stop is pending
// leaves a restart for the next frame, and the card pulled again is seen in the next round. The
// frames then close the first event and record into a new one.
TEST_F(StreamStorage, TheMonitorSeesTheCardWhileAStopWaitsForAFrame)
{
    UniTestClock clock;
    const uint32_t t = kMidnight + 600;
    gRecordMode = 2;
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    ASSERT_NO_FATAL_FAILURE(Start(Media(), t));
    std::vector<MediaRecord> frames = Video(t * 1000ull, 100);
    for (size_t i = 0; i < 50; ++i) {
        ASSERT_NO_FATAL_FAILURE(Put(frames[i]));
    }
    ASSERT_EQ(E_STORAGE_ONGOING, noxa_ipc_ss_get_status());
    auto round = [&clock](int card) {
        gCard = card;
        const bool returned = ReturnsWithin([] { noxa_ipc_ss_disk_monitor_round(); }, 5s);
        clock.Advance(1000);
        return returned;
    };
    ASSERT_TRUE(round(5));
    EXPECT_EQ(E_STORAGE_READY_TO_STOP, noxa_ipc_ss_get_status());
    if (!round(1)) {
        ADD_FAILURE() << "the monitor waits for a frame";
        std::_Exit(1);
    }
    EXPECT_EQ(E_STORAGE_RESTART, noxa_ipc_ss_get_status());
    ASSERT_TRUE(round(5));
    EXPECT_EQ(E_STORAGE_READY_TO_STOP, noxa_ipc_ss_get_status()) << "the open event still needs its frame";
    ASSERT_TRUE(round(1));
    EXPECT_EQ((std::vector<int>{1, 5, 1, 5, 1}), Reports());
    EXPECT_EQ(E_STORAGE_RESTART, noxa_ipc_ss_get_status());
    for (size_t i = 50; i < frames.size(); ++i) {
        ASSERT_NO_FATAL_FAILURE(Put(frames[i]));
    }
    EXPECT_EQ(E_STORAGE_ONGOING, noxa_ipc_ss_get_status());
    const std::vector<std::string> events = EventFolders(Dcim());
    ASSERT_EQ(2u, events.size()) << LogCapture::All();
    EXPECT_EQ(Day(t) + "/" + EventName(t, 2), events[0]) << "the first event closed by the frame after the restart";
}

TEST_F(StreamStorage, TheMonitorReportsEachChangeOnceAndMakesStoringPossible)
{
    UniTestClock clock;
    uni_time_set(kMidnight, 1);
    NOXA_MEDIA_INFO_S media = Media();
    gCard = 0;
    ASSERT_EQ(0, noxa_ipc_ss_init("/mnt/sdcard", &media, 20));
    EXPECT_EQ(-1, noxa_ipc_ss_set_write_mode(1)) << "not before a usable card";
    const int script[] = {0, 1, 1, 5, 5, 2, 2, 1, 1};
    for (int s : script) {
        gCard = s;
        noxa_ipc_ss_disk_monitor_round();
        clock.Advance(1000);
    }
    EXPECT_EQ((std::vector<int>{1, 5, 2, 1}), Reports());
    EXPECT_TRUE(std::filesystem::is_directory(mSb.Path("/mnt/sdcard/DCIM")));
    EXPECT_FALSE(std::filesystem::exists(mSb.Path("/mnt/sdcard/.noxa_sd_test")));
    EXPECT_TRUE(LogCapture::Logged("stream storage seize 786432 bytes memory for media data, slice duration 10"));
    EXPECT_TRUE(LogCapture::Logged("write_mode set 1 -> 0")) << "a card gone stops the writing";
    EXPECT_EQ(2, LogLines("write_mode set 0 -> 1")) << "back with the record mode";
}

// Space: below 20,480 KB free is reported once and nothing deleted in that round; at exactly
// 20,480 nothing is reported and the oldest events go; free space above 20,480 after a low report
// is reported back as normal; an event that began less than 600 s ago stays.
TEST_F(StreamStorage, LowSpaceDeletesTheOldestEventsButNeverARecentOne)
{
    UniTestClock clock;
    const uint32_t now = kMidnight + 86400 * 3;
    uni_time_set(now, 1);
    const uint32_t old1 = now - 86400 * 2;
    const uint32_t old2 = old1 + 100;
    const uint32_t recent = now - 500;
    for (uint32_t s : {old1, old2, recent}) {
        WriteEvent(Dcim() + "/" + Day(s) + "/" + EventName(s, 60), {{0, Video(s * 1000ull, 3)}});
    }
    const std::string recentEvent = Day(recent) + "/" + EventName(recent, 60);
    // The application's pictures beside the events are none of the deletion's business.
    ASSERT_TRUE(std::filesystem::create_directories(Dcim() + "/20261211"));
    std::ofstream(Dcim() + "/20261211/120000.jpg") << "jpeg";
    NOXA_MEDIA_INFO_S media = Media();
    ASSERT_EQ(0, noxa_ipc_ss_init("/mnt/sdcard", &media, 20));
    auto rounds = [&](int n) {
        for (int i = 0; i < n; ++i) {
            noxa_ipc_ss_disk_monitor_round();
            clock.Advance(1000);
        }
    };
    gFreeKb = 20000;
    rounds(10);
    EXPECT_EQ((std::vector<int>{1, 2}), Reports());
    EXPECT_EQ(3u, EventFolders(Dcim()).size()) << "nothing deleted in the round of the report";
    gFreeKb = 20480;
    rounds(10);
    EXPECT_EQ((std::vector<int>{1, 2}), Reports());
    EXPECT_EQ((std::vector<std::string>{Day(old2) + "/" + EventName(old2, 60), recentEvent}), EventFolders(Dcim()));
    rounds(1);  // after a deletion the space is looked at again a round later
    EXPECT_EQ(std::vector<std::string>{recentEvent}, EventFolders(Dcim()));
    gFreeKb = 30000;
    rounds(10);
    EXPECT_EQ((std::vector<int>{1, 2, 1}), Reports());
    EXPECT_FALSE(std::filesystem::exists(Dcim() + "/" + Day(old1))) << "the emptied day folder went";
    EXPECT_EQ(std::vector<std::string>{recentEvent}, EventFolders(Dcim()));
    EXPECT_TRUE(std::filesystem::exists(Dcim() + "/20261211/120000.jpg"));
    // 600 s after its start it still stays; a second later it may go.
    clock.Advance((recent + 600ull - uni_time_get_posix()) * 1000);
    EXPECT_EQ(5, noxa_ipc_ss_delete_oldest_event());
    clock.Advance(1000);
    EXPECT_EQ(4, noxa_ipc_ss_delete_oldest_event());
}

// An event folder that cannot be emptied (a folder with content where a slice file should be) is
// passed over, and deleting everything ends although it stays.
TEST_F(StreamStorage, AnEntryThatCannotBeRemovedIsPassedOverAndDeleteAllEnds)
{
    const uint32_t now = kMidnight + 86400 * 3;
    const uint32_t stuck = now - 86400 * 2;
    const uint32_t later = stuck + 1000;
    const uint32_t nextDay = now - 86400;
    ASSERT_NO_FATAL_FAILURE(Start(Media(), now));
    WriteEvent(Dcim() + "/" + Day(stuck) + "/" + EventName(stuck, 60), {{10, Video(stuck * 1000ull, 2)}});
    ASSERT_TRUE(std::filesystem::create_directories(Dcim() + "/" + Day(stuck) + "/" + EventName(stuck, 60) +
                                                    "/0000.media/inner"));
    WriteEvent(Dcim() + "/" + Day(later) + "/" + EventName(later, 60), {{0, Video(later * 1000ull, 2)}});
    WriteEvent(Dcim() + "/" + Day(nextDay) + "/" + EventName(nextDay, 60), {{0, Video(nextDay * 1000ull, 2)}});
    ASSERT_TRUE(std::filesystem::create_directories(Dcim() + "/20261211"));
    EXPECT_EQ(6, noxa_ipc_ss_delete_oldest_event());
    EXPECT_EQ(4, noxa_ipc_ss_delete_oldest_event()) << "the next one is taken";
    const std::string stuckEvent = Day(stuck) + "/" + EventName(stuck, 60);
    EXPECT_EQ((std::vector<std::string>{stuckEvent, Day(nextDay) + "/" + EventName(nextDay, 60)}), EventFolders(Dcim()));
    bool returned = ReturnsWithin([] { EXPECT_EQ(0, noxa_ipc_ss_delete_all_files()); }, 60s);
    if (!returned) {
        ADD_FAILURE() << "delete all spins on the folder it cannot remove";
        std::_Exit(1);
    }
    EXPECT_EQ(std::vector<std::string>{stuckEvent}, EventFolders(Dcim()));
    EXPECT_TRUE(std::filesystem::is_directory(Dcim() + "/20261211"));
    EXPECT_TRUE(LogCapture::Logged("write_mode set 1 -> 0"));
    EXPECT_TRUE(LogCapture::Logged("write_mode set 0 -> 1")) << "the write mode comes back";
}

// Paths live in 128-byte fields: one that would not fit is refused, never cut short into a folder
// of another name.
TEST_F(StreamStorage, APathThatDoesNotFitItsFieldIsRefusedNeverCut)
{
    const uint32_t t = kMidnight + 900;
    const std::string base = "/mnt/sdcard/" + std::string(98, 'a');  // DCIM fits, an event folder not
    ASSERT_TRUE(std::filesystem::create_directories(mSb.Path(base)));
    NOXA_MEDIA_INFO_S media = Media();
    EXPECT_EQ(-2, noxa_ipc_ss_init((base + std::string(20, 'b')).c_str(), &media, 20));
    media.video_codec[0] = 99;
    EXPECT_EQ(-2, noxa_ipc_ss_init(base.c_str(), &media, 20));
    media.video_codec[0] = NOXA_CODEC_VIDEO_H264;
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 10, nullptr));
    uni_time_set(t, 1);
    ASSERT_EQ(0, noxa_ipc_ss_init(base.c_str(), &media, 20));
    noxa_ipc_ss_disk_monitor_round();
    ASSERT_EQ(0, noxa_ipc_ss_start_event()) << LogCapture::All();
    for (const MediaRecord& f : Video(t * 1000ull, 5)) {
        ASSERT_NO_FATAL_FAILURE(Put(f));
    }
    EXPECT_EQ(E_STORAGE_UNWRITEABLE, noxa_ipc_ss_get_status());
    EXPECT_TRUE(LogCapture::Logged("path too long for its field"));
    EXPECT_EQ(std::vector<std::string>{"DCIM"}, Names(mSb.Path(base)));
    EXPECT_TRUE(Names(mSb.Path(base + "/DCIM")).empty());
}
