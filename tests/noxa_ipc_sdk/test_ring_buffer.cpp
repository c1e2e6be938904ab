// The media ring buffer driven from one thread: sizes and placement in the pool, first reads and
// key-frame waits, the lag test, pre-frame searches, anchors with audio sync, history cuts and
// sequence wraps. Each test is its own process, so every channel starts uninitialised.
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "ring_frames.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kP = MEDIA_FRAME_TYPE_P;
constexpr uint32_t kI = MEDIA_FRAME_TYPE_I;
constexpr uint32_t kA = MEDIA_FRAME_TYPE_AUDIO;
// Channel 0 as the application makes it: 1024 kbit/s, 25 fps, 10 s.
constexpr uint32_t kPool0 = 1310720;
constexpr uint32_t kMaxFrame0 = 196608;

std::string gLog;
void CaptureLog(const char* line)
{
    gLog += line;
}

int gKeyRequests = 0;
std::function<void(int)> gOnKeyRequest;  // what the "encoder" does when asked for a key frame
void KeyRequest(int channel)
{
    ++gKeyRequests;
    if (gOnKeyRequest) {
        gOnKeyRequest(channel);
    }
}

uint32_t Seq(const RING_BUFFER_NODE_S* n)
{
    return n != nullptr ? n->seqNo.load() : 0;
}

class RingBuffer : public testing::Test {
protected:
    void SetUp() override
    {
        uni_log_init(LOG_LEVEL_TRACE, 1024, CaptureLog);
        uni_time_init();
        uni_time_set(1700000000, 1);
    }

    int Init(int channel, RING_BUFFER_KEY_FRAME_REQUEST request = nullptr)
    {
        return noxa_ipc_ring_buffer_init(channel, channel >= 9 ? 125 : 1024, 25, 0, request);
    }

    int Append(int channel, uint32_t type, uint32_t size = 64)
    {
        ++mMade;
        std::vector<uint8_t> f = ringtest::MakeFrame(mMade, type, std::max(size, ringtest::kFrameOverhead));
        return noxa_ipc_ring_buffer_append_data(channel, f.data(), size, type, mMade);
    }

    // Video frames on channel 0 (a key frame every 25, the first one a key frame), each followed
    // by `audioEach` audio frames on channel 9.
    void AppendAv(uint32_t frames, int audioEach)
    {
        for (uint32_t k = 1; k <= frames; ++k) {
            ASSERT_EQ(0, Append(0, k % 25 == 1 ? kI : kP));
            for (int a = 0; a < audioEach; ++a) {
                ASSERT_EQ(0, Append(9, kA));
            }
        }
    }

    RING_BUFFER_NODE_S* Read(int channel, int user, int retry = 0)
    {
        return channel <= 7 ? noxa_ipc_ring_buffer_get_video_frame(channel, user, retry)
                            : noxa_ipc_ring_buffer_get_audio_frame(channel, user, retry);
    }

    // Runs a call that waits for a frame on its own thread while the test clock moves on, so its
    // bounded wait ends without the test waiting out the limit.
    RING_BUFFER_NODE_S* WhileClockRuns(const std::function<RING_BUFFER_NODE_S*()>& call)
    {
        std::atomic<bool> done{false};
        RING_BUFFER_NODE_S* result = nullptr;
        std::thread t([&] {
            result = call();
            done = true;
        });
        while (!done) {
            mClock.Advance(100);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        t.join();
        return result;
    }

    UniTestClock mClock;
    uint32_t mMade = 0;
};

}  // namespace

TEST_F(RingBuffer, SizesFollowBitRateFrameRateAndSeconds)
{
    struct Row {
        int channel;
        uint32_t bitrate, fps, seconds;
        uint32_t pool, maxFrame, nodes;
        uint32_t step;  // a frame size that divides the pool
    };
    const Row rows[] = {
        {0, 1024, 25, 0, kPool0, kMaxFrame0, 250, 65536},
        {1, 512, 25, 0, 655360, 98304, 250, 65536},
        {9, 125, 25, 0, 160000, 23936, 250, 16000},
        {2, 100, 15, 4, 51200, 19200, 60, 12800},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.channel);
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(r.channel, r.bitrate, r.fps, r.seconds, nullptr));
        uint32_t type = r.channel >= 9 ? kA : kI;
        // Frames follow each other in the pool; the one that would end exactly at the pool end
        // starts again at offset 0.
        uint32_t fit = r.pool / r.step;
        const uint8_t* base = nullptr;
        uint32_t appended = 0;
        for (uint32_t k = 0; k < fit; ++k, ++appended) {
            ASSERT_EQ(0, Append(r.channel, type, r.step));
            RING_BUFFER_NODE_S* n = Read(r.channel, 0);
            ASSERT_NE(nullptr, n);
            base = k == 0 ? n->data.load() : base;
            EXPECT_EQ(k + 1 < fit ? k * r.step : 0, static_cast<uint32_t>(n->data.load() - base)) << k;
        }
        // The pool starts on a page, so frames copied from page-aligned buffers stay off the
        // short distances modulo 4 KiB that slow the copies down.
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(base) % 4096);
        // Frame k goes to node k modulo the node count.
        while (appended <= r.nodes) {
            ASSERT_EQ(0, Append(r.channel, type, 16));
            ++appended;
            RING_BUFFER_NODE_S* n = Read(r.channel, 0);
            ASSERT_NE(nullptr, n);
            EXPECT_EQ(appended % r.nodes, n->index.load());
        }
        EXPECT_EQ(-2, Append(r.channel, type, r.maxFrame + 1));
        EXPECT_EQ(0, Append(r.channel, type, r.maxFrame));
    }
    EXPECT_EQ(10, noxa_ipc_ring_buffer_get_max_buf_secs());
    EXPECT_EQ(static_cast<int>(kMaxFrame0), noxa_ipc_ring_buffer_get_max_frame_size());
}

TEST_F(RingBuffer, InitRefusesBadArgumentsAndASecondInit)
{
    EXPECT_EQ(-1, noxa_ipc_ring_buffer_get_max_buf_secs());
    EXPECT_EQ(-1, noxa_ipc_ring_buffer_get_max_frame_size());
    struct Row {
        int channel;
        uint32_t bitrate, fps, seconds;
        int result;
    };
    const Row rows[] = {
        {16, 1024, 25, 0, -2}, {-1, 1024, 25, 0, -2}, {0, 0, 25, 0, -2},  {0, 2049, 25, 0, -2},
        {0, 1024, 0, 0, -2},   {0, 1024, 25, 11, -2}, {0, 2048, 25, 10, 0}, {0, 1024, 25, 0, -1},
        {7, 1, 1, 1, 0},       {8, 64, 25, 0, 0},     {9, 125, 25, 0, 0},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        EXPECT_EQ(r.result, noxa_ipc_ring_buffer_init(r.channel, r.bitrate, r.fps, r.seconds, nullptr)) << i;
    }
    EXPECT_EQ(10, noxa_ipc_ring_buffer_get_max_buf_secs());
    EXPECT_EQ(2048 * 192, noxa_ipc_ring_buffer_get_max_frame_size());
    EXPECT_EQ(2, noxa_ipc_ring_buffer_video_channel_num());
    EXPECT_NE(std::string::npos, gLog.find("RingBuffer Channel:0 Already Inited"));
}

TEST_F(RingBuffer, AppendRefusals)
{
    uint8_t byte = 0;
    EXPECT_EQ(-1, Append(0, kI));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_append_data(16, &byte, 1, kI, 0));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_append_data(-1, &byte, 1, kI, 0));
    ASSERT_EQ(0, Init(0));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_append_data(0, nullptr, 10, kI, 0));

    // A one-second buffer's frame limit (1.5 s of the rate) exceeds its whole pool.
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(3, 100, 10, 1, nullptr));  // pool 12800, limit 19200
    EXPECT_EQ(-1, Append(3, kI, 12801));
    EXPECT_EQ(0, Append(3, kI, 12800));

    EXPECT_EQ(-1, noxa_ipc_ring_buffer_set_max_frame_size(4, 1000));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_set_max_frame_size(16, 1000));
    EXPECT_EQ(0, noxa_ipc_ring_buffer_set_max_frame_size(0, 1000));
    EXPECT_EQ(-2, Append(0, kI, 1001));
    EXPECT_EQ(0, Append(0, kI, 1000));
    EXPECT_EQ(1000, noxa_ipc_ring_buffer_get_max_frame_size());
}

TEST_F(RingBuffer, OnlyAFrameReachingThePoolEndRestarts)
{
    ASSERT_EQ(0, Init(9));  // pool 160000
    std::vector<const uint8_t*> at;
    for (uint32_t size : {20000, 20000, 20000, 20000, 20000, 20000, 20000, 19999, 1}) {
        ASSERT_EQ(0, Append(9, kA, size));
        at.push_back(noxa_ipc_ring_buffer_find_pre_audio_by_frame(9, 0)->data.load());
    }
    EXPECT_EQ(140000, at[7] - at[0]);  // ends one byte short of the pool end
    EXPECT_EQ(at[0], at[8]);           // would end exactly at it
}

TEST_F(RingBuffer, FirstReadTakesTheKeyFrameOfTheLastThreeSeconds)
{
    // Up to 3 x 25 - 1 = 74 older nodes are searched; without a key frame there the encoder is
    // asked once and the next key frame returned.
    struct Row {
        int channel;
        uint32_t interFrames;  // after the key frame
        bool found;
    };
    for (const Row& r : {Row{0, 74, true}, Row{1, 75, false}}) {
        SCOPED_TRACE(r.interFrames);
        ASSERT_EQ(0, Init(r.channel, KeyRequest));
        ASSERT_EQ(0, Append(r.channel, kI));
        for (uint32_t k = 0; k < r.interFrames; ++k) {
            ASSERT_EQ(0, Append(r.channel, kP));
        }
        gKeyRequests = 0;
        gOnKeyRequest = [&](int channel) {
            EXPECT_EQ(r.channel, channel);
            Append(channel, kP);
            Append(channel, kI);
        };
        RING_BUFFER_NODE_S* n = Read(r.channel, 2);
        ASSERT_NE(nullptr, n);
        EXPECT_EQ(kI, n->type.load());
        EXPECT_EQ(r.found ? 1 : r.interFrames + 3, Seq(n));
        EXPECT_EQ(r.found ? 0 : 1, gKeyRequests);
    }
}

TEST_F(RingBuffer, KeyFrameWaitGivesUpAndAsksAgainNextTime)
{
    ASSERT_EQ(0, Init(0, KeyRequest));
    ASSERT_EQ(0, Append(0, kP));
    gOnKeyRequest = [&](int) { mClock.Advance(2001); };  // no key frame comes
    EXPECT_EQ(nullptr, Read(0, 1));
    EXPECT_EQ(1, gKeyRequests);

    gOnKeyRequest = [&](int channel) { Append(channel, kI); };
    EXPECT_EQ(2u, Seq(Read(0, 1)));
    EXPECT_EQ(2, gKeyRequests);
}

TEST_F(RingBuffer, LiveViewerStartsOnlyOnAKeyFrameUnderOneFrameOld)
{
    // 25 fps: one frame is 40 ms. A recorder still starts on the held key frame; a viewer's slot
    // takes it only while it is the newest frame and younger than that, else asks for a new one.
    ASSERT_EQ(0, Init(0, KeyRequest));
    ASSERT_EQ(0, Append(0, kI));
    mClock.Advance(39);
    EXPECT_EQ(1u, Seq(Read(0, RING_BUFFER_USER_P2P_BASE)));
    EXPECT_EQ(0, gKeyRequests);

    mClock.Advance(1);
    EXPECT_EQ(1u, Seq(Read(0, RING_BUFFER_USER_SD_STORAGE)));
    gOnKeyRequest = [&](int channel) {
        Append(channel, kP);
        Append(channel, kI);
    };
    EXPECT_EQ(3u, Seq(Read(0, RING_BUFFER_USER_P2P_BASE + 1)));
    EXPECT_EQ(1, gKeyRequests);

    // A fresh key frame with an inter frame after it is no longer the picture of now.
    ASSERT_EQ(0, Append(0, kP));
    EXPECT_EQ(6u, Seq(Read(0, RING_BUFFER_USER_WEBRTC_BASE)));
    EXPECT_EQ(2, gKeyRequests);
    // Nor is a key frame stamped ahead of the clock (the wall clock was set back).
    mClock.Advance(1000);
    ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data_with_timestamp(0, nullptr, 0, kI, 7, uni_time_get_posix_ms() + 500));
    EXPECT_EQ(9u, Seq(Read(0, RING_BUFFER_USER_WEBRTC_BASE + 1)));
    EXPECT_EQ(3, gKeyRequests);
    // The cloud-gateway streamer is a live reader too: a key frame one frame old is not taken.
    mClock.Advance(40);
    EXPECT_EQ(11u, Seq(Read(0, RING_BUFFER_USER_STREAMER)));
    EXPECT_EQ(4, gKeyRequests);
}

TEST_F(RingBuffer, AppendEndsAWaitOnItsChannel)
{
    ASSERT_EQ(0, Init(0));
    ASSERT_EQ(0, Init(9));
    RING_BUFFER_APPEND_MARK_S mark{};
    noxa_ipc_ring_buffer_append_mark(1u << 0, &mark);
    ASSERT_EQ(0, Append(9, kA));
    EXPECT_EQ(0, noxa_ipc_ring_buffer_wait_append(&mark, 1));  // not a channel it follows
    // A frame appended between the mark and the wait is not slept through.
    ASSERT_EQ(0, Append(0, kI));
    EXPECT_EQ(1, noxa_ipc_ring_buffer_wait_append(&mark, 60000));

    // A waiter on two channels is woken by the frame of either; an hour's bound shows it did not
    // time out.
    noxa_ipc_ring_buffer_append_mark((1u << 0) | (1u << 9), &mark);
    std::atomic<int> woken{-1};
    std::thread waiter([&] { woken = noxa_ipc_ring_buffer_wait_append(&mark, 3600 * 1000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(0, Append(9, kA));
    waiter.join();
    EXPECT_EQ(1, woken.load());
}

TEST_F(RingBuffer, ReadersInEverySlotGetEveryFrameIntact)
{
    // Slot u joins after u frames, so the writer meets every set of slots in use; each reader then
    // follows the writer frame by frame across two pool laps.
    ASSERT_EQ(0, Init(0));
    std::vector<uint8_t> buf(kMaxFrame0);
    uint32_t last[RING_BUFFER_USER_NUM] = {};
    for (uint32_t k = 1; k <= 60; ++k) {
        ASSERT_EQ(0, Append(0, k % 25 == 1 ? kI : kP, 50000));
        for (int user = 0; user < RING_BUFFER_USER_NUM; ++user) {
            if (k < static_cast<uint32_t>(user) + 1) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << "frame " << k << " user " << user);
            // A new reader starts on the newest key frame and catches up.
            RING_BUFFER_NODE_S* n = last[user] == 0 ? noxa_ipc_ring_buffer_get_pre_video_frame(0, user, 0) : Read(0, user);
            ASSERT_NE(nullptr, n);
            for (; n != nullptr; n = Read(0, user)) {
                RING_BUFFER_FRAME_S f{};
                ASSERT_EQ(50000, noxa_ipc_ring_buffer_copy_frame(0, user, n, buf.data(), kMaxFrame0, &f));
                EXPECT_TRUE(ringtest::CheckFrame(buf.data(), 50000, f.seqNo, f.type));
                EXPECT_EQ(last[user] == 0 ? 1u : last[user] + 1, f.seqNo);
                last[user] = f.seqNo;
            }
        }
    }
    for (uint32_t seq : last) {
        EXPECT_EQ(60u, seq);
    }
}

TEST_F(RingBuffer, ReaderFarBehindSkipsToTheNewestKeyFrame)
{
    // 10 s at 25 fps: more than 250 - 12 = 238 frames behind, or the writer's next frame able to
    // reach the reader's bytes.
    struct Row {
        int channel;
        uint32_t behind;
        uint32_t size;
        bool skips;
    };
    const Row rows[] = {{0, 200, 1000, false}, {1, 238, 1000, false}, {2, 239, 1000, true}, {3, 200, 6000, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.channel);
        ASSERT_EQ(0, Init(r.channel));
        ASSERT_EQ(0, Append(r.channel, kI, r.size));
        ASSERT_EQ(1u, Seq(Read(r.channel, 1)));
        for (uint32_t k = 1; k <= r.behind; ++k) {
            ASSERT_EQ(0, Append(r.channel, k == r.behind ? kI : kP, r.size));
        }
        EXPECT_EQ(r.skips ? 1 : 0, noxa_ipc_ring_buffer_if_delay(r.channel, 1));
        EXPECT_EQ(r.skips ? r.behind + 1 : 2, Seq(Read(r.channel, 1)));
    }
}

TEST_F(RingBuffer, WriterOneMaximumFrameFromThePoolEndEndangersTheFirstBytes)
{
    // The reader's frame sits at offset 0; the writer has stopped exactly one maximum frame (or
    // one byte more) short of the pool end. A maximum frame then ends exactly at the pool end,
    // so it restarts at offset 0, onto the reader's bytes: the reader must already count as late.
    for (uint32_t shortBy : {0u, 1u}) {
        SCOPED_TRACE(shortBy);
        int channel = static_cast<int>(shortBy);
        ASSERT_EQ(0, Init(channel));
        ASSERT_EQ(0, Append(channel, kI, 1000));
        const uint8_t* mine = Read(channel, 1)->data.load();
        for (uint32_t rest = kPool0 - kMaxFrame0 - 1000 - shortBy; rest > 0;) {
            uint32_t size = std::min(rest, kMaxFrame0);
            ASSERT_EQ(0, Append(channel, kP, size));
            rest -= size;
        }
        EXPECT_EQ(shortBy == 0 ? 1 : 0, noxa_ipc_ring_buffer_if_delay(channel, 1));
        ASSERT_EQ(0, Append(channel, kI, kMaxFrame0));
        const uint8_t* newest = noxa_ipc_ring_buffer_find_pre_video_by_frame(channel, 0)->data.load();
        EXPECT_EQ(shortBy == 0, newest == mine);
    }
}

TEST_F(RingBuffer, PreFrameSearches)
{
    ASSERT_EQ(0, Init(0));
    ASSERT_EQ(0, Init(9));
    AppendAv(260, 1);
    // At most 25 x (10 - 1) - 10 = 215 frames back.
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_video_by_frame(0, 216));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_audio_by_frame(9, 216));
    EXPECT_NE(std::string::npos, gLog.find("backward frame num too big 216 > 215 max"));

    // Key frames at 1, 26, ..., 251; the head (260) is frame 1 back. The first key frame at least
    // N back, or the oldest one seen when the limit ends the walk.
    const std::pair<uint32_t, uint32_t> video[] = {{0, 251}, {10, 251}, {11, 226}, {215, 51}};
    for (const auto& [back, seq] : video) {
        EXPECT_EQ(seq, Seq(noxa_ipc_ring_buffer_find_pre_video_by_frame(0, back))) << back;
    }
    const std::pair<uint32_t, uint32_t> audio[] = {{0, 260}, {30, 230}, {215, 45}};
    for (const auto& [back, seq] : audio) {
        EXPECT_EQ(seq, Seq(noxa_ipc_ring_buffer_find_pre_audio_by_frame(9, back))) << back;
    }
    // Positioning: the reader goes on after the found frame.
    EXPECT_EQ(226u, Seq(noxa_ipc_ring_buffer_get_pre_video_frame(0, 3, 11)));
    EXPECT_EQ(227u, Seq(Read(0, 3)));
    EXPECT_EQ(230u, Seq(noxa_ipc_ring_buffer_get_pre_audio_frame(9, 3, 30)));
    EXPECT_EQ(231u, Seq(Read(9, 3)));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_video_by_frame(9, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_audio_by_frame(0, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_get_pre_video_frame(0, 16, 0));

    // More audio asked for than was ever appended: from the first frame.
    ASSERT_EQ(0, Init(10));
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(0, Append(10, kA));
    }
    EXPECT_EQ(1u, Seq(noxa_ipc_ring_buffer_find_pre_audio_by_frame(10, 100)));

    // Frames stamped under another clock setting: no video start, audio from the head.
    ASSERT_EQ(0, Init(1));
    ASSERT_EQ(0, Init(11));
    uint8_t frame[16] = {};
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data_with_timestamp(1, frame, 16, kI, 0, 0));
        ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data_with_timestamp(11, frame, 16, kA, 0, 0));
    }
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_video_by_frame(1, 2));
    EXPECT_EQ(3u, Seq(noxa_ipc_ring_buffer_find_pre_audio_by_frame(11, 2)));
}

TEST_F(RingBuffer, AnchorStartsTheAudioAfterTheVideo)
{
    ASSERT_EQ(0, Init(0));
    ASSERT_EQ(0, Init(9));
    // Video frame k gets append count 3k - 2, its two audio frames 3k - 1 and 3k.
    AppendAv(60, 2);
    ASSERT_EQ(0, noxa_ipc_ring_buffer_anchor_user(0, 1, 30, 0));
    RING_BUFFER_NODE_S* v = Read(0, 1);
    ASSERT_EQ(26u, Seq(v));
    EXPECT_EQ(76u, v->syncSeq.load());
    RING_BUFFER_NODE_S* a = Read(9, 1);
    EXPECT_EQ(51u, Seq(a));
    EXPECT_EQ(77u, a->syncSeq.load());
    EXPECT_EQ(52u, Seq(Read(9, 1)));
    EXPECT_EQ(27u, Seq(Read(0, 1)));

    // Only newer: the search finds 26 again, which the reader has had; the next key frame is 51.
    ASSERT_EQ(0, noxa_ipc_ring_buffer_anchor_user(0, 1, 30, 1));
    EXPECT_EQ(51u, Seq(Read(0, 1)));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_sync_audio_channel(1));  // the sync point was used up
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_sync_audio_channel(16));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_anchor_user(16, 1, 0, 0));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_anchor_user(0, 16, 0, 0));

    // A node the caller holds; a node from elsewhere is ignored.
    noxa_ipc_ring_buffer_anchor_user_to_node(0, 2, noxa_ipc_ring_buffer_find_pre_video_by_frame(0, 11));
    EXPECT_EQ(27u, Seq(Read(0, 2)));
    RING_BUFFER_NODE_S stray;
    noxa_ipc_ring_buffer_anchor_user_to_node(0, 3, &stray);
    noxa_ipc_ring_buffer_anchor_user_to_node(0, 3, noxa_ipc_ring_buffer_find_pre_audio_by_frame(9, 0));
    EXPECT_EQ(51u, Seq(Read(0, 3)));  // still a first read: the newest key frame
}

TEST_F(RingBuffer, ReadersKeepToTheirChannels)
{
    ASSERT_EQ(0, Init(0));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(8, 64, 25, 0, nullptr));
    ASSERT_EQ(0, Init(9));
    ASSERT_EQ(0, Append(0, kI));
    ASSERT_EQ(0, Append(8, kI));
    ASSERT_EQ(0, Append(9, kA));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_get_video_frame(8, 0, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_get_video_frame(9, 0, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_get_audio_frame(8, 0, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_get_audio_frame(0, 0, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_get_video_frame(0, 16, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_get_audio_frame(9, -1, 0));
    EXPECT_EQ(0, noxa_ipc_ring_buffer_if_delay(9, 0));
    EXPECT_EQ(0, noxa_ipc_ring_buffer_if_delay(0, 16));
    // Channel 8 takes anchors and cleans all the same.
    EXPECT_EQ(0, noxa_ipc_ring_buffer_anchor_user(8, 0, 0, 0));
    noxa_ipc_ring_buffer_clean_user_state_and_buffer(8, 0);
    EXPECT_EQ(-1, noxa_ipc_ring_buffer_anchor_user(8, 0, 0, 0));

    // Nothing new gives null; a retry gives the last frame again.
    RING_BUFFER_NODE_S* first = Read(9, 1);
    ASSERT_EQ(1u, Seq(first));
    EXPECT_EQ(nullptr, Read(9, 1));
    EXPECT_EQ(first, Read(9, 1, 1));
    ASSERT_EQ(0, Append(9, kA));
    EXPECT_EQ(2u, Seq(Read(9, 1)));
}

TEST_F(RingBuffer, CleanCutsTheHistory)
{
    ASSERT_EQ(0, Init(0));
    ASSERT_EQ(0, Init(9));
    for (uint32_t type : {kI, kP, kP, kI}) {
        ASSERT_EQ(0, Append(0, type));
        ASSERT_EQ(0, Append(9, kA));
    }
    ASSERT_EQ(4u, Seq(Read(0, 1)));
    ASSERT_EQ(4u, Seq(Read(9, 1)));
    noxa_ipc_ring_buffer_clean_user_state_and_buffer(0, 5);
    noxa_ipc_ring_buffer_clean_user_state_and_buffer(9, 5);
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_video_by_frame(0, 0));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_audio_by_frame(9, 0));

    // The cut head is a key frame, but no longer one to hand out; nor are inter frames after the
    // cut, to a positioned reader or a new one.
    EXPECT_EQ(nullptr, WhileClockRuns([&] { return Read(0, 1); }));
    ASSERT_EQ(0, Append(0, kP));
    EXPECT_EQ(nullptr, WhileClockRuns([&] { return Read(0, 1); }));
    EXPECT_EQ(nullptr, WhileClockRuns([&] { return Read(0, 2); }));
    ASSERT_EQ(0, Append(0, kI));
    EXPECT_EQ(6u, Seq(Read(0, 1)));
    EXPECT_EQ(6u, Seq(Read(0, 2)));

    // Audio goes on with the first frame after the cut.
    EXPECT_EQ(nullptr, Read(9, 1));
    ASSERT_EQ(0, Append(9, kA));
    EXPECT_EQ(5u, Seq(Read(9, 1)));
}

TEST_F(RingBuffer, SequenceNumbersWrapPastZero)
{
    ASSERT_EQ(0, Init(0));
    ASSERT_EQ(0, Init(9));
    noxa_ipc_ring_buffer_set_seq_for_test(0, 0xFFFFFFFE);
    ASSERT_EQ(0, Append(0, kI));
    ASSERT_EQ(0xFFFFFFFFu, Seq(Read(0, 1)));
    ASSERT_EQ(0, Append(0, kP));
    ASSERT_EQ(0, Append(0, kI));
    EXPECT_EQ(1u, Seq(Read(0, 1)));
    EXPECT_EQ(2u, Seq(Read(0, 1)));
    EXPECT_EQ(0, noxa_ipc_ring_buffer_if_delay(0, 1));
    EXPECT_EQ(0xFFFFFFFFu, Seq(noxa_ipc_ring_buffer_get_pre_video_frame(0, 2, 2)));
    EXPECT_EQ(2u, Seq(noxa_ipc_ring_buffer_get_next_target_frame(0, 2, 0xFFFFFFFF, kI)));

    // The module-wide append count orders the channels across its wrap through 0 as well.
    noxa_ipc_ring_buffer_set_sync_seq_for_test(0xFFFFFFFB);
    ASSERT_EQ(0, Append(9, kA));  // 0xFFFFFFFC
    ASSERT_EQ(0, Append(0, kI));  // 0xFFFFFFFD: the anchor
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(0, Append(9, kA));  // 0xFFFFFFFE, 0xFFFFFFFF, 0, 1
    }
    ASSERT_EQ(0, noxa_ipc_ring_buffer_anchor_user(0, 3, 0, 0));
    EXPECT_EQ(0xFFFFFFFEu, Read(9, 3)->syncSeq.load());
}

TEST_F(RingBuffer, TargetWaitGivesUp)
{
    ASSERT_EQ(0, Init(0));
    ASSERT_EQ(0, Append(0, kI));
    ASSERT_EQ(1u, Seq(Read(0, 1)));
    EXPECT_EQ(nullptr, WhileClockRuns([] { return noxa_ipc_ring_buffer_get_next_target_frame(0, 1, 1, kI); }));
}

TEST_F(RingBuffer, OverwrittenFramesAreNeverHandedOut)
{
    ASSERT_EQ(0, Init(0, KeyRequest));
    ASSERT_EQ(0, Init(9));
    ASSERT_EQ(0, Append(0, kI, 100000));
    RING_BUFFER_NODE_S* key = noxa_ipc_ring_buffer_find_pre_video_by_frame(0, 0);
    ASSERT_NE(nullptr, key);

    std::vector<uint8_t> buf(100000);
    RING_BUFFER_FRAME_S f{};
    ASSERT_EQ(100000, noxa_ipc_ring_buffer_copy_frame(0, 1, key, buf.data(), 100000, &f));
    EXPECT_TRUE(ringtest::CheckFrame(buf.data(), 100000, mMade, kI));
    EXPECT_EQ(1u, f.seqNo);
    EXPECT_EQ(kI, f.type);
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_copy_frame(0, 1, key, buf.data(), 99999, &f));
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_copy_frame(9, 1, key, buf.data(), 100000, &f));
    RING_BUFFER_NODE_S stray;
    EXPECT_EQ(-2, noxa_ipc_ring_buffer_copy_frame(0, 1, &stray, buf.data(), 100000, &f));

    // 19 frames of 64 KiB: the last restarts at offset 0, over the key frame's bytes, while its
    // node is still well inside the node window.
    for (int k = 0; k < 19; ++k) {
        ASSERT_EQ(0, Append(0, kP, 65536));
    }
    EXPECT_EQ(-1, noxa_ipc_ring_buffer_copy_frame(0, 1, key, buf.data(), 100000, &f));
    EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_video_by_frame(0, 0));
    gOnKeyRequest = [&](int channel) { Append(channel, kI); };
    EXPECT_EQ(21u, Seq(Read(0, 1)));
    EXPECT_EQ(1, gKeyRequests);
}
