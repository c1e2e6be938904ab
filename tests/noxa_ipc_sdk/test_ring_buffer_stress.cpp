// The ring under real threads: one writer at the channel's 25 fps (ten times sped up) and four
// readers of different speeds. Every frame carries its sequence number, type, size and a CRC, so
// a torn copy or one that caught a later frame's bytes is caught; readers must see frames in
// order, and a video reader that skips must land on a key frame. Meant for AddressSanitizer and
// ThreadSanitizer builds as much as for plain ones.
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "ring_frames.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kFrames = 1000;
constexpr auto kFramePeriod = 4ms;  // 25 fps, ten times faster
// The stalling reader lets the writer get this far ahead: past the 238 frames a reader may lag.
constexpr uint32_t kStall = 300;

std::atomic<bool> gKeyWanted{false};
void KeyRequest(int)
{
    gKeyWanted = true;
}

void QuietLog(const char*) {}

enum class Pace { kPrompt, kSteady, kSlow, kStalling };

struct Stream {
    int channel;
    bool video;
    std::atomic<uint32_t> written{0};
    std::atomic<bool> done{false};
};

struct Tally {
    uint32_t frames = 0;
    uint32_t corrupt = 0;
    uint32_t outOfOrder = 0;
    uint32_t skips = 0;
    uint32_t skipsOffKey = 0;
    uint32_t dropped = 0;  // copies the ring refused as overtaken
};

// Sizes around the nominal rates: video 1024 kbit/s (a key frame of 20-40 KB a second, inter
// frames of 1-6 KB), audio 16-bit 8 kHz (200-640 bytes a frame).
void Write(Stream& s)
{
    std::mt19937 rng(static_cast<uint32_t>(s.channel) + 1);
    for (uint32_t seq = 1; seq <= kFrames; ++seq) {
        uint32_t type = MEDIA_FRAME_TYPE_AUDIO;
        uint32_t size = 200 + rng() % 441;
        if (s.video) {
            bool key = seq % 25 == 1 || gKeyWanted.exchange(false);
            type = key ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P;
            size = key ? 20000 + rng() % 20001 : 1000 + rng() % 5001;
        }
        std::vector<uint8_t> f = ringtest::MakeFrame(seq, type, size);
        EXPECT_EQ(0, noxa_ipc_ring_buffer_append_data(s.channel, f.data(), size, type, seq));
        s.written = seq;
        std::this_thread::sleep_for(kFramePeriod);
    }
    s.done = true;
}

Tally Read(Stream& s, int user, Pace pace)
{
    Tally t;
    std::vector<uint8_t> buf(static_cast<size_t>(noxa_ipc_ring_buffer_get_max_frame_size()));
    uint32_t last = 0;
    for (;;) {
        bool finished = s.done;
        RING_BUFFER_NODE_S* node = s.video ? noxa_ipc_ring_buffer_get_video_frame(s.channel, user, 0)
                                           : noxa_ipc_ring_buffer_get_audio_frame(s.channel, user, 0);
        if (node == nullptr) {
            if (finished) {
                break;
            }
            std::this_thread::sleep_for(pace == Pace::kSteady ? 3ms : 1ms);
            continue;
        }
        RING_BUFFER_FRAME_S f{};
        int n = noxa_ipc_ring_buffer_copy_frame(s.channel, user, node, buf.data(), static_cast<uint32_t>(buf.size()), &f);
        if (n < 0) {
            ++t.dropped;
            continue;
        }
        ++t.frames;
        t.corrupt += ringtest::CheckFrame(buf.data(), static_cast<uint32_t>(n), f.seqNo, f.type) ? 0 : 1;
        if (last != 0 && f.seqNo <= last) {
            ++t.outOfOrder;
        } else if (last != 0 && f.seqNo != last + 1) {
            ++t.skips;
            t.skipsOffKey += s.video && f.type != MEDIA_FRAME_TYPE_I ? 1 : 0;
        }
        last = f.seqNo;
        if (pace == Pace::kSlow) {
            std::this_thread::sleep_for(6ms);  // slower than the writer: falls behind
        } else if (pace == Pace::kStalling && t.frames % 150 == 0) {
            while (!s.done && s.written < last + kStall) {
                std::this_thread::sleep_for(1ms);
            }
        }
    }
    return t;
}

void Stress(int channel, uint32_t bitrate, bool video)
{
    uni_log_init(LOG_LEVEL_INFO, 1024, QuietLog);
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, KeyRequest));  // sizes the readers' buffers
    if (channel != 0) {
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(channel, bitrate, 25, 0, nullptr));
    }
    Stream s{channel, video};
    const std::pair<int, Pace> readers[] = {
        {RING_BUFFER_USER_CLOUD_STORAGE, Pace::kPrompt},
        {RING_BUFFER_USER_VIDEO_MSG, Pace::kSteady},
        {RING_BUFFER_USER_P2P_BASE, Pace::kSlow},
        {RING_BUFFER_USER_STREAMER, Pace::kStalling},
    };
    std::vector<Tally> tallies(std::size(readers));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(readers); ++i) {
        threads.emplace_back([&, i] { tallies[i] = Read(s, readers[i].first, readers[i].second); });
    }
    std::thread writer([&] { Write(s); });
    writer.join();
    for (std::thread& t : threads) {
        t.join();
    }
    for (size_t i = 0; i < tallies.size(); ++i) {
        const Tally& t = tallies[i];
        SCOPED_TRACE(readers[i].first);
        EXPECT_GT(t.frames, 0u);
        EXPECT_EQ(0u, t.corrupt);
        EXPECT_EQ(0u, t.outOfOrder);
        EXPECT_EQ(0u, t.skipsOffKey);
        printf("user %d: %u frames, %u skips, %u dropped\n", readers[i].first, t.frames, t.skips, t.dropped);
    }
    EXPECT_GE(tallies[3].skips, 1u);  // the stalling reader was moved forward
}

}  // namespace

TEST(RingBufferStress, MainVideoWithFourReaders)
{
    Stress(0, 1024, true);
}

TEST(RingBufferStress, AudioWithFourReaders)
{
    Stress(9, 125, false);
}
