// Video messages from the ring buffer with the notification replaced: the start's checks, the
// buffer sizes and the header byte for byte, a message recorded on the test clock whose records
// decrypt (the test's own OpenSSL) to the very frames appended, refusals while recording, messages
// back to back that share no frame, a message without frames that still ends, a full buffer, the
// audio-only form, a cloud that takes no video, fresh keys within one second, the doorbell
// answers, and an uninit while an upload is under way.
#include "noxa_ipc_sdk/video_msg/noxa_ipc_video_msg.h"

#include "media_records.h"
#include "mqt_link.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "process.h"
#include "ring_frames.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct SentFile {
    uint32_t type;
    std::string key;
    std::string bytes;
};
struct Sent {
    uint32_t name;
    std::string kind;
    std::string resource;
    std::vector<SentFile> files;
};

std::mutex gSentLock;
std::vector<Sent> gSent;
std::vector<std::string> gCalls;  // answers and handler calls, in order
uint32_t gFlags = CLOUD_CONTENT_PIC | CLOUD_CONTENT_VIDEO;
// An upload the test holds until it lets it go.
std::mutex gGateLock;
std::condition_variable gGateCv;
bool gHold = false;
bool gInUpload = false;

int CaptureNotify(const NOXA_NOTIFICATION_S* n)
{
    Sent s{n->name, n->kind, n->resource, {}};
    for (uint32_t i = 0; i < n->file_count; ++i) {
        s.files.push_back({n->files[i].type, std::string(n->files[i].key, strnlen(n->files[i].key, 20)),
                           std::string(n->files[i].data, n->files[i].size)});
    }
    {
        std::unique_lock<std::mutex> lock(gGateLock);
        gInUpload = true;
        gGateCv.notify_all();
        gGateCv.wait(lock, [] { return !gHold; });
        gInUpload = false;
    }
    std::lock_guard<std::mutex> lock(gSentLock);
    gSent.push_back(std::move(s));
    return 0;
}

int Config(CLOUD_DETECT_STORAGE_CFG_S* c)
{
    *c = CLOUD_DETECT_STORAGE_CFG_S{};
    c->flags = gFlags;
    return 0;
}

std::string Decrypt(const std::string& cipher, const std::string& key, const std::string& iv)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(cipher.size() + 16, '\0');
    int n = 0;
    int tail = 0;
    bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const uint8_t*>(key.data()),
                                 reinterpret_cast<const uint8_t*>(iv.data())) == 1 &&
              EVP_DecryptUpdate(ctx, reinterpret_cast<uint8_t*>(out.data()), &n,
                                reinterpret_cast<const uint8_t*>(cipher.data()),
                                static_cast<int>(cipher.size())) == 1 &&
              EVP_DecryptFinal_ex(ctx, reinterpret_cast<uint8_t*>(out.data()) + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? out.substr(0, static_cast<size_t>(n + tail)) : std::string("<refused>");
}

// A frame the test can name again: the ring frames' own sequence, type and CRC.
struct Frame {
    uint32_t id;
    uint32_t type;
};

// The message media as the phone reads it: the header's words and the records, key and audio
// frames decrypted with the message key and the fixed IV.
struct Media {
    uint32_t words[10] = {};
    std::string iv;
    std::vector<MediaRecord> records;
    bool whole = false;
    std::vector<Frame> frames;  // the test frames found in the records, in order
    bool intact = true;         // every record is a whole test frame
};

Media Read(const std::string& bytes, const std::string& key)
{
    Media m;
    if (bytes.size() < VIDEO_MSG_HEADER_SIZE) {
        return m;
    }
    for (int i = 0; i < 10; ++i) {
        m.words[i] = static_cast<uint32_t>(LeAt(bytes, 4 * i, 4));
    }
    m.iv = bytes.substr(40, 16);
    m.records = ParseRecords(bytes.substr(VIDEO_MSG_HEADER_SIZE), &m.whole);
    for (MediaRecord& r : m.records) {
        if (r.type == 1 || r.type == 3) {
            std::string plain = Decrypt(std::string(r.data.begin(), r.data.end()), key, m.iv);
            r.data.assign(plain.begin(), plain.end());
        }
        const uint32_t id = r.data.size() >= 4 ? ringtest::GetLe32(r.data.data()) : 0;
        const bool ok = ringtest::CheckFrame(r.data.data(), static_cast<uint32_t>(r.data.size()), id, r.type);
        m.intact = m.intact && ok;
        m.frames.push_back({id, r.type});
    }
    return m;
}

class VideoMsg : public testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        mSavedOps = gNoxaIpcOps;
        mSavedNotify = g_notification_ops;
        gNoxaIpcOps.generic_notify = CaptureNotify;
        gNoxaIpcOps.door_bell_answer = [](const char* json) {
            gCalls.push_back(std::string("answer ") + json);
            return 0;
        };
        gVideoMsgLinks.DoorbellStatusHandle = [](const char* s) { gCalls.push_back(std::string("status ") + s); };
        g_notification_ops.get_config = Config;
        g_notification_ops.require_ca = [](const char*, int) { return 0; };
        gFlags = CLOUD_CONTENT_PIC | CLOUD_CONTENT_VIDEO;
        notification_reset();
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(9, 16 * 8000 / 1024, 25, 0, nullptr));
        uni_time_set(1796774400, 1);
    }
    void TearDown() override
    {
        {
            std::lock_guard<std::mutex> lock(gGateLock);
            gHold = false;
        }
        gGateCv.notify_all();
        noxa_ipc_video_msg_uninit();
        gNoxaIpcOps = mSavedOps;
        g_notification_ops = mSavedNotify;
        gVideoMsgLinks = VIDEO_MSG_LINKS_S{};
    }
    void Init(int type = VIDEO_MSG_TYPE_AV, int seconds = 10)
    {
        noxa_ipc_video_msg_thread_for_test(0);
        NOXA_MEDIA_INFO_S m = AppMedia();
        ASSERT_EQ(0, noxa_ipc_video_msg_init(&m, type, seconds));
    }
    // 40 ms of the stream: a video frame (every 25th a key frame) and an audio frame.
    void Tick(bool video = true, bool audio = true)
    {
        mClock.Advance(40);
        if (video) {
            const uint32_t type = mVideo % 25 == 0 ? 1 : 0;
            auto f = ringtest::MakeFrame(mVideo, type, type == 1 ? 12000 : 3000);
            ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(0, f.data(), static_cast<uint32_t>(f.size()), type, mVideo));
            ++mVideo;
        }
        if (audio) {
            auto f = ringtest::MakeFrame(100000 + mAudio, 3, 320);
            ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(9, f.data(), 320, 3, mAudio));
            ++mAudio;
        }
    }
    // The thread's passes until it waits.
    static void Drain()
    {
        for (int i = 0; i < 200 && noxa_ipc_video_msg_pass() == 0; ++i) {
        }
    }
    void Run(int ticks, bool video = true, bool audio = true)
    {
        for (int i = 0; i < ticks; ++i) {
            ASSERT_NO_FATAL_FAILURE(Tick(video, audio));
            Drain();
        }
    }
    static std::vector<Sent> Taken()
    {
        std::lock_guard<std::mutex> lock(gSentLock);
        auto out = gSent;
        gSent.clear();
        return out;
    }
    static std::string Pic(size_t n, char c) { return std::string(n, c); }
    int Leave(const std::string& pic)
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(pic.data());
        return noxa_ipc_video_msg_leave(bytes, static_cast<uint32_t>(pic.size()));
    }

    UniTestClock mClock;
    NOXA_IPC_API_OPS_S mSavedOps;
    NOTIFICATION_OPS_S mSavedNotify;
    uint32_t mVideo = 0;
    uint32_t mAudio = 0;
};

}  // namespace

TEST_F(VideoMsg, StartChecksDurationsAndSkill)
{
    NOXA_MEDIA_INFO_S m = AppMedia();
    NOXA_MEDIA_INFO_S fast = m;
    fast.video_bitrate[0] = 2049;
    noxa_ipc_video_msg_thread_for_test(0);
    EXPECT_EQ(-2, noxa_ipc_video_msg_init(nullptr, 0, 10));
    EXPECT_EQ(-2, noxa_ipc_video_msg_init(&m, 3, 10));
    EXPECT_EQ(-2, noxa_ipc_video_msg_init(&m, -1, 10));
    EXPECT_EQ(-2, noxa_ipc_video_msg_init(&fast, 0, 10));
    EXPECT_EQ(-2, noxa_ipc_video_msg_init(&fast, 1, 10));
    EXPECT_TRUE(LogCapture::Logged("main video stream bitrate too big: 2049"));
    EXPECT_EQ(0u, noxa_ipc_video_msg_view().inited);
    EXPECT_EQ(-1, noxa_ipc_video_msg_leave(nullptr, 0));
    EXPECT_TRUE(LogCapture::Logged("noxa_ipc_leave_video_msg error")) << "nothing is taken before the start";

    const struct {
        int type;
        int seconds;
        int kept;
    } rows[] = {{0, 10, 10}, {0, 0, 10}, {1, 11, 10}, {0, 1, 1}, {2, 15, 15}, {2, 16, 15}, {2, -3, 15}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "type " << r.type << " seconds " << r.seconds);
        ASSERT_EQ(0, noxa_ipc_video_msg_init(r.type == 2 ? &fast : &m, r.type, r.seconds));
        EXPECT_EQ(r.kept, noxa_ipc_video_msg_view().duration);
        EXPECT_EQ(r.type, noxa_ipc_skill_value(NOXA_SKILL_DOORBELL_STORAGE));
        EXPECT_EQ(-1, noxa_ipc_video_msg_init(&m, 0, 10)) << "already inited";
        noxa_ipc_video_msg_uninit();
    }
}

TEST_F(VideoMsg, BufferSizesAndTheHeaderByteForByte)
{
    NOXA_MEDIA_INFO_S m = AppMedia();
    EXPECT_EQ(1441792u + 176000u, noxa_ipc_video_msg_buffer_size(&m, 0, 10));
    EXPECT_EQ(1441792u, noxa_ipc_video_msg_buffer_size(&m, 1, 10));
    EXPECT_EQ(15u * 16000u + 16000u, noxa_ipc_video_msg_buffer_size(&m, 2, 15));
    m.channel_enable[9] = 0;
    EXPECT_EQ(1441792u, noxa_ipc_video_msg_buffer_size(&m, 0, 10));

    m = AppMedia();
    const uint8_t iv[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    const std::string ivText(reinterpret_cast<const char*>(iv), 16);
    auto le = [](std::initializer_list<uint32_t> words) {
        std::string s;
        for (uint32_t w : words) {
            for (int i = 0; i < 4; ++i) {
                s.push_back(static_cast<char>(w >> (8 * i)));
            }
        }
        return s;
    };
    const struct {
        int type;
        std::string want;
    } rows[] = {
        {0, le({1, 2, 25, 1280, 720, 251, 101, 16, 0, 8000}) + ivText},
        {1, le({1, 2, 25, 1280, 720, 251, 101, 16, 0, 8000}) + ivText},
        {2, le({1, 0, 0, 0, 0, 0, 101, 16, 0, 8000}) + ivText},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> out(VIDEO_MSG_HEADER_SIZE, 0xEE);
        noxa_ipc_video_msg_put_header(out.data(), &m, r.type, 251, iv);
        EXPECT_EQ(r.want, std::string(out.begin(), out.end())) << "type " << r.type;
    }
}

// Ten seconds of stream: the upload carries the picture and the media; the media's header names
// the stream and the fixed IV, the records are the frames appended from the newest key frame on,
// unbroken, key and audio frames encrypted under the message key, and nothing before a key frame.
TEST_F(VideoMsg, MessageRecordsWhatTheRingHoldsAndDecrypts)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    ASSERT_NO_FATAL_FAILURE(Run(40));  // the newest key frame is frame 25
    const std::string pic = Pic(5000, 'J');
    ASSERT_EQ(0, Leave(pic));
    EXPECT_EQ(-1, Leave(pic));
    EXPECT_TRUE(LogCapture::Logged("Already start leaving message"));
    const VIDEO_MSG_VIEW_S v = noxa_ipc_video_msg_view();
    EXPECT_EQ(1441792u + 176000u, v.capacity);
    ASSERT_NO_FATAL_FAILURE(Run(300));
    EXPECT_EQ(VIDEO_MSG_IDLE, noxa_ipc_video_msg_view().state);
    EXPECT_EQ(0u, noxa_ipc_video_msg_view().capacity) << "the buffers go with the upload";

    const std::vector<Sent> sent = Taken();
    ASSERT_EQ(1u, sent.size());
    const Sent& s = sent[0];
    EXPECT_EQ(5u, s.name);
    EXPECT_EQ("image", s.kind);
    EXPECT_EQ("resources", s.resource);
    ASSERT_EQ(2u, s.files.size());
    EXPECT_EQ(1u, s.files[0].type);
    EXPECT_EQ(pic, s.files[0].bytes);
    EXPECT_EQ(0u, s.files[1].type);
    const std::string key = s.files[1].key;
    ASSERT_EQ(16u, key.size());
    EXPECT_EQ(std::string::npos, key.find_first_not_of("0123456789abcdef")) << key;
    EXPECT_EQ(key, noxa_ipc_video_msg_view().key);

    Media m = Read(s.files[1].bytes, key);
    EXPECT_TRUE(m.whole);
    EXPECT_TRUE(m.intact) << "every record decrypts to a whole frame";
    EXPECT_EQ(std::string(NOXA_VIDEO_MSG_IV), m.iv);
    ASSERT_FALSE(m.frames.empty());
    EXPECT_EQ(1u, m.frames[0].type) << "a message starts on a key frame";
    EXPECT_EQ(25u, m.frames[0].id) << "the newest key frame when the message started";
    uint32_t video = 0;
    uint32_t nextVideo = 25;
    uint32_t nextAudio = 0;
    for (const Frame& f : m.frames) {
        if (f.type == 3) {
            if (nextAudio != 0) {
                EXPECT_EQ(nextAudio, f.id) << "audio unbroken";
            }
            nextAudio = f.id + 1;
        } else {
            EXPECT_EQ(nextVideo, f.id) << "video unbroken";
            nextVideo = f.id + 1;
            ++video;
        }
    }
    const uint32_t words[10] = {1, 2, 25, 1280, 720, video, 101, 16, 0, 8000};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(words[i], m.words[i]) << "header word " << i;
    }
    // Ten seconds of the test clock from the leave, behind the key frame that opened it.
    EXPECT_GE(video, 255u);
    EXPECT_LE(video, 266u);
    EXPECT_TRUE(LogCapture::Logged("STOP because of timeout"));
}

// Back to back: the second message starts at the first key frame after the last frame of the
// first ("event overlap"); no frame is in both, video or audio.
TEST_F(VideoMsg, MessagesBackToBackShareNoFrame)
{
    ASSERT_NO_FATAL_FAILURE(Init(VIDEO_MSG_TYPE_AV, 2));
    ASSERT_NO_FATAL_FAILURE(Run(30));
    ASSERT_EQ(0, Leave(Pic(100, 'a')));
    ASSERT_NO_FATAL_FAILURE(Run(51));
    ASSERT_EQ(VIDEO_MSG_IDLE, noxa_ipc_video_msg_view().state);
    // The newest key frame (75) went into the first message: the second waits for frame 100,
    // which the stream brings while the thread's pass waits.
    ASSERT_EQ(0, Leave(Pic(100, 'b')));
    std::thread pass([] { noxa_ipc_video_msg_pass(); });
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("event overlap, skip to next I frame"); }, 10s));
    for (int i = 0; i < 30; ++i) {
        ASSERT_NO_FATAL_FAILURE(Tick());
    }
    pass.join();
    ASSERT_NO_FATAL_FAILURE(Run(60));
    const std::vector<Sent> sent = Taken();
    ASSERT_EQ(2u, sent.size());
    Media a = Read(sent[0].files[1].bytes, sent[0].files[1].key);
    Media b = Read(sent[1].files[1].bytes, sent[1].files[1].key);
    ASSERT_TRUE(a.intact && b.intact);
    ASSERT_FALSE(a.frames.empty());
    ASSERT_FALSE(b.frames.empty());
    EXPECT_NE(sent[0].files[1].key, sent[1].files[1].key);
    uint32_t lastVideo = 0;
    uint32_t lastAudio = 0;
    for (const Frame& f : a.frames) {
        (f.type == 3 ? lastAudio : lastVideo) = f.id;
    }
    EXPECT_EQ(1u, b.frames[0].type);
    EXPECT_EQ(100u, b.frames[0].id) << "the first key frame after the first message";
    for (const Frame& f : b.frames) {
        EXPECT_GT(f.id, f.type == 3 ? lastAudio : lastVideo) << "frame " << f.id << " in both messages";
    }
    EXPECT_TRUE(LogCapture::Logged("event overlap, skip to next I frame"));
}

// The frame gate closed: no frame comes. The message still ends after its duration, is dropped
// (nothing to show), frees its buffers, and the next message is taken.
TEST_F(VideoMsg, MessageWithoutFramesEndsAfterItsDuration)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    ASSERT_EQ(0, Leave(Pic(100, 'a')));
    for (int i = 0; i < 3; ++i) {
        mClock.Advance(4000);
        Drain();
    }
    const VIDEO_MSG_VIEW_S v = noxa_ipc_video_msg_view();
    EXPECT_EQ(VIDEO_MSG_IDLE, v.state);
    EXPECT_EQ(0u, v.capacity) << "no buffer held";
    EXPECT_TRUE(Taken().empty()) << "a message without a key frame is not sent";
    EXPECT_TRUE(LogCapture::Logged("video message without a key frame: dropped"));
    EXPECT_EQ(0, Leave(Pic(100, 'b'))) << "the next message is taken";
    ASSERT_NO_FATAL_FAILURE(Run(300));
    EXPECT_EQ(1u, Taken().size());
}

// Audio alone while the video gate is closed: ended by the duration, and dropped, since a video
// message without a key frame shows nothing.
TEST_F(VideoMsg, AudioWithoutVideoIsDroppedAtTheEnd)
{
    ASSERT_NO_FATAL_FAILURE(Init(VIDEO_MSG_TYPE_AV, 1));
    ASSERT_EQ(0, Leave(Pic(100, 'a')));
    ASSERT_NO_FATAL_FAILURE(Run(30, false, true));
    EXPECT_EQ(VIDEO_MSG_IDLE, noxa_ipc_video_msg_view().state);
    EXPECT_TRUE(Taken().empty());
}

// A stream above what the buffer was sized for: forced out when the next frame does not fit, the
// media within the buffer and whole.
TEST_F(VideoMsg, FullBufferForcesTheMessageOut)
{
    ASSERT_NO_FATAL_FAILURE(Init(VIDEO_MSG_TYPE_VIDEO, 1));  // (1024 kbit/s / 8) * 2 s
    ASSERT_NO_FATAL_FAILURE(Run(30));
    ASSERT_EQ(0, Leave(Pic(100, 'a')));
    const uint32_t cap = noxa_ipc_video_msg_view().capacity;
    EXPECT_EQ(262144u, cap);
    for (int i = 0; i < 40 && noxa_ipc_video_msg_view().state == VIDEO_MSG_RECORDING; ++i) {
        // 12 kB key frames at 25 fps: 300 kB/s, more than the buffer holds for the second.
        mClock.Advance(40);
        auto f = ringtest::MakeFrame(mVideo, 1, 12000);
        ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(0, f.data(), 12000, 1, mVideo++));
        Drain();
    }
    Drain();
    EXPECT_TRUE(LogCapture::Logged("memory insufficient to buffer data"));
    const std::vector<Sent> sent = Taken();
    ASSERT_EQ(1u, sent.size());
    EXPECT_LT(sent[0].files[1].bytes.size(), cap);
    Media m = Read(sent[0].files[1].bytes, sent[0].files[1].key);
    EXPECT_TRUE(m.whole && m.intact);
    for (const Frame& f : m.frames) {
        EXPECT_NE(3u, f.type) << "video only";
    }
}

// Audio only: one file, "pcm" under the message key, kind "audio", header without video.
TEST_F(VideoMsg, AudioOnlyMessage)
{
    gFlags = CLOUD_CONTENT_PIC | CLOUD_CONTENT_AUDIO;
    ASSERT_NO_FATAL_FAILURE(Init(VIDEO_MSG_TYPE_AUDIO, 2));
    ASSERT_NO_FATAL_FAILURE(Run(30));
    ASSERT_EQ(0, noxa_ipc_video_msg_leave(nullptr, 0)) << "no picture for audio alone";
    EXPECT_EQ(16000u * 3, noxa_ipc_video_msg_view().capacity);
    ASSERT_NO_FATAL_FAILURE(Run(80));
    const std::vector<Sent> sent = Taken();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("audio", sent[0].kind);
    ASSERT_EQ(1u, sent[0].files.size());
    EXPECT_EQ(3u, sent[0].files[0].type);
    Media m = Read(sent[0].files[0].bytes, sent[0].files[0].key);
    EXPECT_TRUE(m.whole && m.intact);
    const uint32_t words[10] = {1, 0, 0, 0, 0, 0, 101, 16, 0, 8000};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(words[i], m.words[i]) << "header word " << i;
    }
    ASSERT_GE(m.frames.size(), 45u);
    for (const Frame& f : m.frames) {
        EXPECT_EQ(3u, f.type);
    }
}

// Refusals at the leave: pictures that are none or too big, names past the table.
TEST_F(VideoMsg, LeaveRefusals)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    const std::string big = Pic(VIDEO_MSG_PIC_MAX, 'x');
    EXPECT_EQ(-1, noxa_ipc_video_msg_leave(nullptr, 100));
    EXPECT_EQ(-1, noxa_ipc_video_msg_leave(reinterpret_cast<const uint8_t*>(big.data()), 0));
    EXPECT_EQ(-1, Leave(big));
    EXPECT_TRUE(LogCapture::Logged("PIC is null or too big"));
    EXPECT_EQ(-2, __leave_video_msg(reinterpret_cast<const uint8_t*>(big.data()), 100, 23));
    EXPECT_EQ(VIDEO_MSG_IDLE, noxa_ipc_video_msg_view().state);
    EXPECT_EQ(0u, noxa_ipc_video_msg_view().capacity);
    EXPECT_EQ(0, Leave(Pic(VIDEO_MSG_PIC_MAX - 1, 'y')));
}

// The detect storage takes pictures only: the message is refused whole (-4 logged), nothing sent;
// with video allowed the same message goes.
TEST_F(VideoMsg, CloudWithoutVideoGetsNoMessage)
{
    ASSERT_NO_FATAL_FAILURE(Init(VIDEO_MSG_TYPE_AV, 1));
    for (uint32_t flags : {CLOUD_CONTENT_PIC, CLOUD_CONTENT_PIC | CLOUD_CONTENT_VIDEO}) {
        SCOPED_TRACE(flags);
        gFlags = flags;
        notification_reset();
        ASSERT_NO_FATAL_FAILURE(Run(30));
        ASSERT_EQ(0, Leave(Pic(100, 'a')));
        ASSERT_NO_FATAL_FAILURE(Run(40));
        EXPECT_EQ(VIDEO_MSG_IDLE, noxa_ipc_video_msg_view().state);
        EXPECT_EQ((flags & CLOUD_CONTENT_VIDEO) != 0 ? 1u : 0u, Taken().size());
        EXPECT_EQ(1, LogCapture::Count("video message upload: -4")) << "the refusal, once";
    }
    EXPECT_EQ(1, LogCapture::Count("video not support"));
}

// Keys of messages started within one second differ: a generator seeded with the second would
// give the same one, and anyone with the message's time would have it.
TEST_F(VideoMsg, KeysOfOneSecondDiffer)
{
    ASSERT_NO_FATAL_FAILURE(Run(30));
    std::vector<std::string> keys;
    for (int i = 0; i < 4; ++i) {
        // A key frame newer than what the last message took, on the standing clock.
        for (int k = 0; k < 25; ++k) {
            const uint32_t type = mVideo % 25 == 0 ? 1 : 0;
            auto f = ringtest::MakeFrame(mVideo, type, 3000);
            ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(0, f.data(), 3000, type, mVideo++));
            auto a = ringtest::MakeFrame(100000 + mAudio, 3, 320);
            ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(9, a.data(), 320, 3, mAudio++));
        }
        ASSERT_NO_FATAL_FAILURE(Init(VIDEO_MSG_TYPE_AV, 1));
        ASSERT_EQ(0, Leave(Pic(100, 'a')));
        noxa_ipc_video_msg_pass();
        keys.push_back(noxa_ipc_video_msg_view().key);
        noxa_ipc_video_msg_uninit();  // the clock stands: the next message starts in the same second
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(16u, keys[i].size());
        for (size_t j = 0; j < i; ++j) {
            EXPECT_NE(keys[i], keys[j]) << "messages " << j << " and " << i;
        }
    }
}

// The phone's answers (protocol 308, through the service's slot): an accept is answered to the
// cloud with the data text before the call tracking hears it; the others only reach the tracking.
TEST_F(VideoMsg, DoorbellAnswersReachTheCallTracking)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    gCalls.clear();
    for (const char* msg : {R"({"protocol":308,"data":{"type":"ac_doorbell","data":{"event":"accept"}}})",
                            R"({"protocol":308,"data":{"type":"ac_doorbell","data":{"event":"heartbeat"}}})",
                            R"({"protocol":308,"data":{"type":"ac_doorbell","data":{"event":"stop"}}})"}) {
        cJSON* root = cJSON_Parse(msg);
        EXPECT_EQ(0, noxa_ipc_doorbell_status_parse(root));
        cJSON_Delete(root);
    }
    ASSERT_TRUE(mqtlink::WorkerDrained());
    const std::vector<std::string> want = {R"(answer {"type":"ac_doorbell","data":{"event":"accept"}})",
                                           "status accept", "status heartbeat", "status stop"};
    EXPECT_EQ(want, gCalls);
    gVideoMsgLinks.DoorbellStatusHandle = nullptr;
    EXPECT_EQ(0, __doorbell_status_change_callback("stop", "{}"));
    EXPECT_TRUE(LogCapture::Logged("wiring fault: link gVideoMsgLinks.DoorbellStatusHandle is empty"));
}

// Uninit while the thread uploads: the thread finishes the upload and releases its buffers under
// the lock before the lock goes; nothing is used after it was freed (the sanitizer's word).
TEST_F(VideoMsg, UninitDuringAnUploadWaitsForTheThread)
{
    uni_test_clock_clear();
    noxa_ipc_video_msg_thread_for_test(1);
    NOXA_MEDIA_INFO_S media = AppMedia();
    ASSERT_EQ(0, noxa_ipc_video_msg_init(&media, VIDEO_MSG_TYPE_AV, 1));
    std::atomic<bool> feeding{true};
    std::thread feed([&] {
        for (uint32_t i = 0; feeding; ++i) {
            const uint32_t type = i % 25 == 0 ? 1 : 0;
            auto f = ringtest::MakeFrame(i, type, 2000);
            noxa_ipc_ring_buffer_append_data(0, f.data(), 2000, type, i);
            std::this_thread::sleep_for(10ms);
        }
    });
    ASSERT_TRUE(Eventually([] { return noxa_ipc_ring_buffer_find_pre_video_by_frame(0, 0) != nullptr; }, 5s));
    {
        std::lock_guard<std::mutex> lock(gGateLock);
        gHold = true;
    }
    ASSERT_EQ(0, Leave(Pic(100, 'a')));
    {
        std::unique_lock<std::mutex> lock(gGateLock);
        ASSERT_TRUE(gGateCv.wait_for(lock, 10s, [] { return gInUpload; }));
    }
    std::thread stopper([] { noxa_ipc_video_msg_uninit(); });
    ASSERT_TRUE(Eventually([] { return noxa_ipc_video_msg_view().inited == 0; }, 5s));
    std::this_thread::sleep_for(50ms);  // uninit is now waiting for the thread (or gone ahead)
    {
        std::lock_guard<std::mutex> lock(gGateLock);
        gHold = false;
    }
    gGateCv.notify_all();
    stopper.join();
    feeding = false;
    feed.join();
    EXPECT_EQ(1u, Taken().size());
    const VIDEO_MSG_VIEW_S v = noxa_ipc_video_msg_view();
    EXPECT_EQ(0u, v.capacity);
    EXPECT_EQ(VIDEO_MSG_IDLE, v.state);
}
