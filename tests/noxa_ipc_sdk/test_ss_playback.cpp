// Playback and download of stored events: event folders written with the test's own record
// writer, played through the slots' callbacks and downloaded through the transfer module to a
// viewer of the test's own on the loopback port.
#include "media_records.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"
#include "noxa_ipc_sdk/stream_storage/noxa_ipc_stream_storage.h"
#include "noxa_ipc_sdk/stream_storage/ss_slots.h"
#include "process.h"
#include "sandbox.h"
#include "viewer_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kDay = 1796774400;  // 2026-12-09 00:00:00 UTC
constexpr uint32_t kNow = kDay + 86400 * 2;

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

struct Played {
    uint32_t type;
    uint64_t ms;
    std::chrono::steady_clock::time_point at;
};
std::mutex gLock;
std::vector<Played> gPlayed[SS_PB_SLOT_NUM];
std::atomic<int> gFinished[SS_PB_SLOT_NUM];

void OnVideo(uint32_t slot, const SS_PB_FRAME_S* f, uint64_t)
{
    std::lock_guard<std::mutex> lock(gLock);
    gPlayed[slot].push_back(Played{f->type, f->timestamp, std::chrono::steady_clock::now()});
}
void OnAudio(uint32_t slot, const SS_PB_FRAME_S* f)
{
    OnVideo(slot, f, f->timestamp);
}
void OnFinish(uint32_t slot, int, int)
{
    ++gFinished[slot];
}
std::vector<Played> PlayedOn(uint32_t slot)
{
    std::lock_guard<std::mutex> lock(gLock);
    return gPlayed[slot];
}
std::vector<uint64_t> Stamps(const std::vector<Played>& p)
{
    std::vector<uint64_t> out;
    for (const Played& x : p) {
        out.push_back(x.ms);
    }
    return out;
}

int NoEvent(NOXA_P2P_EVENT_E, void*)
{
    return 0;
}
void NoTalk(const TRANSFER_MEDIA_FRAME_S*, uint32_t) {}

// Frames `gapMs` apart from `ms`, a key frame every `gop`.
std::vector<MediaRecord> Frames(uint64_t ms, int count, int gop, uint64_t gapMs, size_t size = 200)
{
    std::vector<MediaRecord> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(SelfFrame(i % gop == 0 ? 1 : 0, ms + gapMs * i, size + i % 5));
    }
    return out;
}

std::string Name(uint32_t start, uint32_t duration)
{
    char buf[20];
    snprintf(buf, sizeof buf, "%010u_%04u", start, duration);
    return buf;
}

// Names of this process's threads.
std::vector<std::string> ThreadNames()
{
    std::vector<std::string> out;
    for (const std::string& t : Names("/proc/self/task")) {
        std::string comm = FileBytes("/proc/self/task/" + t + "/comm");
        out.push_back(comm.substr(0, comm.find('\n')));
    }
    return out;
}

// The device's local key, as activation would have set it: viewers prove it.
constexpr const char* kViewerKey = "0123456789abcdef";

class SsPlayback : public testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        uni_set_time_zone("+00:00");
        uni_time_set(kNow, 1);
        gNoxaSsSdHooks = NOXA_SS_SD_HOOKS_S{CardOk, Mount, Space, EventMode, nullptr};
        noxa_ipc_ss_threads_for_test(0);
        NOXA_MEDIA_INFO_S m{};
        m.channel_enable[0] = 1;
        m.video_fps[0] = 25;
        m.video_gop[0] = 50;
        m.video_bitrate[0] = 1024;
        m.video_codec[0] = NOXA_CODEC_VIDEO_H264;
        ASSERT_EQ(0, noxa_ipc_ss_init("/mnt/sdcard", &m, 20));
        noxa_ipc_ss_disk_monitor_round();  // storing possible
        NOXA_P2P_TRANSFER_PARAM_S p{};
        p.on_rev_audio_cb = NoTalk;
        p.rev_audio_codec = NOXA_CODEC_AUDIO_G711U;
        p.on_event_cb = NoEvent;
        p.max_client_num = 5;
        gw_set_local_key(kViewerKey);
        ASSERT_EQ(0, noxa_ipc_tranfser_init(&p));
    }
    void TearDown() override
    {
        noxa_ipc_ss_pb_stop_all();
        noxa_ipc_tranfser_deinit();
        noxa_ipc_ss_uninit();
    }
    std::string DayDir() const { return mSb.Path("/mnt/sdcard/DCIM/2026/12/09"); }
    // The slot started as a viewer's would be: a day query first, which sets how far it plays.
    static void StartSlot(uint32_t slot)
    {
        PLAYBACK_TIME_ARR_S* day = nullptr;
        ASSERT_EQ(0, noxa_ipc_pb_query_by_day(slot, 2026, 12, 9, &day));
        noxa_ipc_pb_query_free_ts_arr(day);
        ASSERT_EQ(0, noxa_ipc_ss_pb_start(slot, OnFinish, OnVideo, OnAudio));
    }
    static bool WaitPlayed(uint32_t slot, size_t n, std::chrono::milliseconds limit = 10s)
    {
        return Eventually([&] { return PlayedOn(slot).size() >= n; }, limit);
    }

    TestSandbox mSb;
};

}  // namespace

TEST_F(SsPlayback, QueriesListTheCardsDaysAndEvents)
{
    const uint32_t a = kDay + 3600;
    WriteEvent(DayDir() + "/" + Name(a + 100, 30), {{0, Frames(1000ull * (a + 100), 2, 2, 500)}},
               "{\"version\":1,\"eventType\":7,\"codec\":2}");
    WriteEvent(DayDir() + "/" + Name(a, 0),
               {{0, Frames(1000ull * a, 2, 2, 500)}, {20, Frames(1000ull * (a + 20), 2, 2, 500)}});
    WriteEvent(DayDir() + "/" + Name(a + 500, 0), {});  // open, no slice yet: not listed
    ASSERT_TRUE(std::filesystem::create_directories(DayDir() + "/not-an-event"));
    ASSERT_TRUE(std::filesystem::create_directories(mSb.Path("/mnt/sdcard/DCIM/2026/12/31")));
    ASSERT_TRUE(std::filesystem::create_directories(mSb.Path("/mnt/sdcard/DCIM/2026/12/1x")));
    uint32_t bits = 0;
    ASSERT_EQ(0, noxa_ipc_pb_query_by_month(2026, 12, &bits));
    EXPECT_EQ((1u << 9) | (1u << 31), bits);
    ASSERT_EQ(0, noxa_ipc_pb_query_by_month(2026, 11, &bits));
    EXPECT_EQ(0u, bits);
    PLAYBACK_TIME_ARR_S* day = nullptr;
    ASSERT_EQ(0, noxa_ipc_pb_query_by_day(0, 2026, 12, 9, &day));
    ASSERT_EQ(2u, day->file_count);
    EXPECT_EQ(0u, day->file_arr[0].type);
    EXPECT_EQ(a, day->file_arr[0].start_timestamp);
    EXPECT_EQ(a + 20, day->file_arr[0].end_timestamp) << "an open event lasts to its newest slice";
    EXPECT_EQ(7u, day->file_arr[1].type);
    EXPECT_EQ(a + 130, day->file_arr[1].end_timestamp);
    EXPECT_EQ(0, noxa_ipc_pb_query_free_ts_arr(day));
    EXPECT_EQ(-2, noxa_ipc_pb_query_by_day(10, 2026, 12, 9, &day));
    ASSERT_EQ(0, noxa_ipc_pb_query_by_day(0, 2026, 12, 10, &day));
    EXPECT_EQ(0u, day->file_count);
    noxa_ipc_pb_query_free_ts_arr(day);
}

// A seek opens the slice the time falls in by the event's own rule (from 9 s before the time,
// so 25 s into slices 0, 15, 30 opens slice 30) and starts at the last key frame before the time,
// or the first key frame of the slice when none is before it.
TEST_F(SsPlayback, SeekStartsAtTheKeyFrameBeforeTheTime)
{
    const uint32_t e = kDay + 7200;
    std::vector<std::pair<int, std::vector<MediaRecord>>> slices;
    for (int at : {0, 15, 30}) {
        slices.push_back({at, Frames(1000ull * (e + at), 30, 4, 500)});
    }
    WriteEvent(DayDir() + "/" + Name(e, 45), slices);
    const uint32_t f = kDay + 9000;
    std::vector<MediaRecord> late = Frames(1000ull * f, 20, 4, 500);
    for (int i = 0; i < 6; ++i) {
        late[i].type = 0;  // the first key frame 4 s in
    }
    WriteEvent(DayDir() + "/" + Name(f, 10), {{0, late}});
    const struct {
        uint32_t start, end, time;
        uint64_t firstMs;
    } rows[] = {
        {e, e + 45, e + 5, 1000ull * (e + 4)},
        {e, e + 45, e + 25, 1000ull * (e + 30)},
        {e, e + 45, e + 33, 1000ull * (e + 32)},
        {f, f + 10, f + 1, 1000ull * f + 4000},
    };
    uint32_t slot = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.time - r.start);
        ASSERT_NO_FATAL_FAILURE(StartSlot(slot));
        const SS_PB_FRAGMENT_S frag{0, r.start, r.end};
        ASSERT_EQ(0, noxa_ipc_ss_pb_seek(slot, &frag, r.time));
        ASSERT_TRUE(WaitPlayed(slot, 1));
        EXPECT_EQ(r.firstMs, PlayedOn(slot)[0].ms);
        EXPECT_EQ(1u, PlayedOn(slot)[0].type);
        ++slot;
    }
    const SS_PB_FRAGMENT_S frag{0, e, e + 45};
    EXPECT_EQ(-2, noxa_ipc_ss_pb_seek(0, &frag, e + 46));
    EXPECT_EQ(-2, noxa_ipc_ss_pb_seek(9, &frag, e + 1)) << "slot not started";
}

TEST_F(SsPlayback, AbuttingEventsPlayOnAndAGapEndsTheFragment)
{
    ViewerClient viewer(mSb, 0, kViewerKey);
    ASSERT_TRUE(viewer.Ok());
    viewer.Event(TRANS_PLAYBACK_START_TS, {0, 0, 0, 0});  // the session is in playback
    ASSERT_TRUE(viewer.WaitKind(ViewerClient::kAnswer, 5s));
    const uint32_t a = kDay + 3600;
    std::vector<MediaRecord> first = Frames(1000ull * a, 8, 4, 500);
    std::vector<MediaRecord> second = Frames(1000ull * (a + 4), 8, 4, 500);
    WriteEvent(DayDir() + "/" + Name(a, 4), {{0, first}});
    WriteEvent(DayDir() + "/" + Name(a + 4, 4), {{0, second}});
    WriteEvent(DayDir() + "/" + Name(a + 20, 4), {{0, Frames(1000ull * (a + 20), 8, 4, 500)}});
    ASSERT_NO_FATAL_FAILURE(StartSlot(0));
    const SS_PB_FRAGMENT_S frag{0, a, a + 4};
    ASSERT_EQ(0, noxa_ipc_ss_pb_seek(0, &frag, a));
    ASSERT_TRUE(viewer.WaitKind(ViewerClient::kFragmentEnd, 10s));
    std::vector<ViewerClient::Record> ends = viewer.Of(ViewerClient::kFragmentEnd);
    ASSERT_EQ(1u, ends.size());
    EXPECT_EQ(a + 4, ends[0].U32(0));
    EXPECT_EQ(a + 8, ends[0].U32(4));
    std::vector<uint64_t> want = Stamps({});
    for (const auto& list : {first, second}) {
        for (const MediaRecord& r : list) {
            want.push_back(r.ms);
        }
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(want, Stamps(PlayedOn(0))) << "both events whole, nothing of the one after the gap";
    EXPECT_EQ(0, gFinished[0].load());
}

TEST_F(SsPlayback, AFrameLargerThanTheSendBufferIsSkippedWithItsGroup)
{
    const uint32_t a = kDay + 3600;
    std::vector<MediaRecord> frames = Frames(1000ull * a, 12, 4, 100);
    frames[5] = SelfFrame(0, frames[5].ms, 400000);  // larger than one frame of 307,200 bytes
    WriteEvent(DayDir() + "/" + Name(a, 2), {{0, frames}});
    ASSERT_NO_FATAL_FAILURE(StartSlot(0));
    const SS_PB_FRAGMENT_S frag{0, a, a + 2};
    ASSERT_EQ(0, noxa_ipc_ss_pb_seek(0, &frag, a));
    ASSERT_TRUE(WaitPlayed(0, 9));
    std::this_thread::sleep_for(200ms);
    std::vector<uint64_t> want;
    for (int i : {0, 1, 2, 3, 4, 8, 9, 10, 11}) {
        want.push_back(frames[i].ms);
    }
    EXPECT_EQ(want, Stamps(PlayedOn(0)));
}

// Frames leave as far apart as their records' times (40 ms here); a pause stops them and keeps
// the place, the resume goes on from the very next frame; the event in playback is never deleted.
TEST_F(SsPlayback, PacedByTheRecordTimesAndResumedWhereItPaused)
{
    uni_time_set(kDay + 86400 * 5, 1);
    const uint32_t a = kDay + 3600;
    std::vector<MediaRecord> frames = Frames(1000ull * a, 75, 25, 40);
    WriteEvent(DayDir() + "/" + Name(a, 3), {{0, frames}});
    ASSERT_NO_FATAL_FAILURE(StartSlot(0));
    const SS_PB_FRAGMENT_S frag{0, a, a + 3};
    ASSERT_EQ(0, noxa_ipc_ss_pb_seek(0, &frag, a));
    ASSERT_TRUE(WaitPlayed(0, 30));
    ASSERT_EQ(0, noxa_ipc_ss_pb_set_status(0, SS_PB_PAUSE));
    const size_t atPause = PlayedOn(0).size();
    std::this_thread::sleep_for(400ms);
    const size_t later = PlayedOn(0).size();
    EXPECT_LE(later, atPause + 1) << "at most the frame already read";
    EXPECT_EQ(5, noxa_ipc_ss_delete_oldest_event()) << "a paused playback still holds its event";
    ASSERT_EQ(0, noxa_ipc_ss_pb_set_status(0, SS_PB_RESUME));
    ASSERT_TRUE(WaitPlayed(0, frames.size()));
    std::vector<Played> played = PlayedOn(0);
    std::vector<uint64_t> want;
    for (const MediaRecord& r : frames) {
        want.push_back(r.ms);
    }
    EXPECT_EQ(want, Stamps(played)) << "no frame lost or repeated across the pause";
    // Pacing: the gaps between hand-overs against the records' 40 ms, pause excluded.
    std::vector<int64_t> errors;
    for (size_t i = 1; i < played.size(); ++i) {
        if (i == later || i == atPause) {
            continue;
        }
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(played[i].at - played[i - 1].at).count();
        errors.push_back(std::llabs(gap - static_cast<int64_t>(played[i].ms - played[i - 1].ms)));
    }
    std::sort(errors.begin(), errors.end());
    EXPECT_LE(errors[errors.size() / 2], 10) << "median pacing error";
    auto span = std::chrono::duration_cast<std::chrono::milliseconds>(played[atPause - 1].at - played[0].at).count();
    const int64_t recorded = static_cast<int64_t>(played[atPause - 1].ms - played[0].ms);
    EXPECT_GE(span, recorded - 40);
    EXPECT_LE(span, recorded * 3 / 2 + 200);
}

// The viewer receives every record of the event's slices, in order and byte for byte, then the
// end (100): a closed event, and an open one up to its newest slice.
TEST_F(SsPlayback, DownloadsSendEverySliceByteForByte)
{
    ViewerClient viewer(mSb, 0, kViewerKey);
    ASSERT_TRUE(viewer.Ok());
    const uint32_t closed = kDay + 3600;
    const uint32_t open = kDay + 7200;
    for (uint32_t start : {closed, open}) {
        std::vector<std::pair<int, std::vector<MediaRecord>>> slices;
        for (int at : {0, 10, 20}) {
            std::vector<MediaRecord> f = Frames(1000ull * (start + at), 12, 4, 500);
            f.push_back(SelfFrame(3, f.back().ms + 20, 640));  // audio rides along
            slices.push_back({at, f});
        }
        WriteEvent(DayDir() + "/" + Name(start, start == closed ? 25 : 0), slices);
    }
    ASSERT_NO_FATAL_FAILURE(StartSlot(0));
    size_t seen = 0;
    for (uint32_t start : {closed, open}) {
        SCOPED_TRACE(start == closed ? "closed" : "open");
        const std::string event = DayDir() + "/" + Name(start, start == closed ? 25 : 0);
        std::string want;
        for (const std::string& s : Slices(event)) {
            want += FileBytes(event + "/" + s);
        }
        const uint32_t range[2] = {start, start + 25};
        ASSERT_EQ(0, noxa_ipc_ss_donwload_pre(0, range));
        ASSERT_EQ(0, noxa_ipc_ss_download_set_status(0, SS_DL_START));
        ASSERT_TRUE(viewer.WaitFor(
            [&](const std::vector<ViewerClient::Record>& rs) {
                return std::count_if(rs.begin(), rs.end(), [](const ViewerClient::Record& r) {
                           return r.kind == ViewerClient::kDlStatus && r.U32(0) == 100;
                       }) == static_cast<long>(seen + 1);
            },
            20s));
        std::string got;
        std::vector<ViewerClient::Record> all = viewer.Of(0);
        size_t ends = 0;
        for (const ViewerClient::Record& r : all) {
            if (r.kind == ViewerClient::kDlStatus) {
                ++ends;
            } else if (r.kind == ViewerClient::kDlData && ends == seen) {
                got.append(r.payload.begin(), r.payload.end());
            }
        }
        EXPECT_EQ(want.size(), got.size());
        EXPECT_TRUE(want == got) << "the records as the card keeps them";
        ++seen;
    }
    // Resume without a pause is refused, and yet kept.
    EXPECT_EQ(-1, noxa_ipc_ss_download_set_status(0, SS_DL_RESUME));
    EXPECT_EQ(-1, noxa_ipc_ss_download_set_status(0, SS_DL_RESUME));
    EXPECT_TRUE(LogCapture::Logged("stat already set [4]"));
    EXPECT_EQ(-1, noxa_ipc_ss_download_set_status(0, 9));
}

TEST_F(SsPlayback, ADownloadNeedsAStartedSlotAndEndsWhenItsViewerIsGone)
{
    ViewerClient viewer(mSb, 2, kViewerKey);
    ASSERT_TRUE(viewer.Ok());
    const uint32_t a = kDay + 3600;
    WriteEvent(DayDir() + "/" + Name(a, 5), {{0, Frames(1000ull * a, 10, 4, 500)}});
    const uint32_t range[2] = {a, a + 5};
    const uint32_t missing[2] = {a + 1, a + 5};
    EXPECT_EQ(-1, noxa_ipc_ss_donwload_pre(2, missing));
    EXPECT_EQ(-1, noxa_ipc_ss_donwload_pre(2, nullptr));
    EXPECT_EQ(-2, noxa_ipc_ss_donwload_pre(10, range));
    ASSERT_EQ(0, noxa_ipc_ss_donwload_pre(2, range));
    EXPECT_EQ(-2, noxa_ipc_ss_download_set_status(2, SS_DL_START)) << "the slot was never started";
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(viewer.Of(0).empty()) << "nothing sent";
    // Slot 1 has no viewer: the first send fails and the download ends, ready for another.
    ASSERT_NO_FATAL_FAILURE(StartSlot(1));
    ASSERT_EQ(0, noxa_ipc_ss_donwload_pre(1, range));
    ASSERT_EQ(0, noxa_ipc_ss_download_set_status(1, SS_DL_START));
    ASSERT_TRUE(LogCapture::LoggedSoon("download data failed, exit task"));
    ASSERT_TRUE(Eventually([&] { return noxa_ipc_ss_donwload_pre(1, range) == 0; }, 5s));
    EXPECT_FALSE(LogCapture::Logged("send stop to app"));
}

// A task that ends on its own (here on 500 records of no known type) leaves its slot as it is:
// only a stop clears a slot, after its task has ended, so calls on the slot meanwhile find it.
TEST_F(SsPlayback, ATaskEndedOnErrorsLeavesItsSlotToTheStop)
{
    const uint32_t a = kDay + 3600;
    std::vector<MediaRecord> frames = Frames(1000ull * a, 520, 520, 100, 40);
    for (size_t i = 1; i < frames.size(); ++i) {
        frames[i].type = 7;
    }
    WriteEvent(DayDir() + "/" + Name(a, 52), {{0, frames}});
    ASSERT_NO_FATAL_FAILURE(StartSlot(4));
    const SS_PB_FRAGMENT_S frag{0, a, a + 52};
    ASSERT_EQ(0, noxa_ipc_ss_pb_seek(4, &frag, a));
    ASSERT_TRUE(Eventually([] { return gFinished[4].load() == 1; }, 10s));
    EXPECT_TRUE(LogCapture::LoggedSoon("error num = 500,exit"));
    EXPECT_EQ(0, noxa_ipc_ss_pb_set_status(4, SS_PB_PAUSE));
    EXPECT_EQ(0, noxa_ipc_ss_pb_set_status(4, SS_PB_RESUME));
    EXPECT_EQ(5, noxa_ipc_ss_delete_oldest_event()) << "the slot still holds its event";
    EXPECT_EQ(0, noxa_ipc_ss_pb_stop(4));
    EXPECT_EQ(-2, noxa_ipc_ss_pb_set_status(4, SS_PB_PAUSE));
    EXPECT_EQ(4, noxa_ipc_ss_delete_oldest_event());
}

TEST_F(SsPlayback, StopAndStopAllJoinTheirTasks)
{
    ViewerClient viewer(mSb, 0, kViewerKey);
    ASSERT_TRUE(viewer.Ok());
    const uint32_t a = kDay + 3600;
    WriteEvent(DayDir() + "/" + Name(a, 20), {{0, Frames(1000ull * a, 500, 25, 40)}});
    const SS_PB_FRAGMENT_S frag{0, a, a + 20};
    for (uint32_t slot : {0u, 1u, 2u}) {
        ASSERT_NO_FATAL_FAILURE(StartSlot(slot));
        ASSERT_EQ(0, noxa_ipc_ss_pb_seek(slot, &frag, a));
    }
    const uint32_t range[2] = {a, a + 20};
    ASSERT_EQ(0, noxa_ipc_ss_donwload_pre(0, range));
    ASSERT_EQ(0, noxa_ipc_ss_download_set_status(0, SS_DL_START));
    ASSERT_EQ(0, noxa_ipc_ss_download_set_status(0, SS_DL_PAUSE));
    ASSERT_TRUE(WaitPlayed(2, 5));
    ASSERT_EQ(0, noxa_ipc_ss_pb_stop(2));
    size_t stopped = PlayedOn(2).size();
    EXPECT_EQ(-2, noxa_ipc_ss_pb_set_status(2, SS_PB_MUTE)) << "a stopped slot is cleared";
    ASSERT_TRUE(WaitPlayed(0, 5));
    ASSERT_EQ(0, noxa_ipc_ss_pb_stop_all());
    const size_t at0 = PlayedOn(0).size();
    const size_t at1 = PlayedOn(1).size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(stopped, PlayedOn(2).size());
    EXPECT_EQ(at0, PlayedOn(0).size());
    EXPECT_EQ(at1, PlayedOn(1).size());
    for (const std::string& t : ThreadNames()) {
        EXPECT_EQ(std::string::npos, t.find("ss_pb")) << t;
        EXPECT_EQ(std::string::npos, t.find("ss_dl")) << t;
    }
    EXPECT_EQ(4, noxa_ipc_ss_delete_oldest_event()) << "no slot holds the event any more";
}

// The slot's current slice reopened by number: that slice, else the nearest of the 14 below it.
TEST_F(SsPlayback, TheCurrentSliceOpensAtOrBelowItsNumber)
{
    const uint32_t e = kDay + 10800;
    WriteEvent(DayDir() + "/" + Name(e, 45), {{0, Frames(1000ull * e, 2, 2, 500)},
                                               {15, Frames(1000ull * (e + 15), 2, 2, 500)},
                                               {30, Frames(1000ull * (e + 30), 2, 2, 500)}});
    ss::Slot s;
    snprintf(s.curPath, sizeof s.curPath, "%s", "/mnt/sdcard/DCIM/2026/12/09");
    snprintf(s.curDir, sizeof s.curDir, "%s", Name(e, 45).c_str());
    const struct {
        uint32_t number;
        int result;
        uint32_t opened;
    } rows[] = {{30, 0, 30}, {29, 0, 15}, {44, 0, 30}, {14, 0, 0}, {0, 0, 0}, {45, -1, 0}, {100, -1, 0}};
    std::lock_guard<std::mutex> lock(s.lock);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.number);
        s.curFileIndex = 999;
        s.file2 = tmpfile();  // a second handle left open: closed with the first
        ASSERT_NE(nullptr, s.file2);
        EXPECT_EQ(r.result, ss::__ss_pb_open_cur_file(s, r.number));
        EXPECT_EQ(nullptr, s.file2);
        if (r.result != 0) {
            EXPECT_EQ(nullptr, s.file) << "a failed open leaves the slot without a file";
            continue;
        }
        ASSERT_NE(nullptr, s.file);
        EXPECT_EQ(r.opened, s.curFileIndex);
        char line[64];
        snprintf(line, sizeof line, "/%04u.media] open success", r.opened);
        EXPECT_TRUE(LogCapture::Logged(line)) << line;
    }
    // A slice that cannot open is logged by its path.
    EXPECT_TRUE(LogCapture::Logged("/0045.media] open failed"));
}
