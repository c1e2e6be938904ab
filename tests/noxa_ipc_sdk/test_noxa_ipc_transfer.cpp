// The viewer transfer module seen from a viewer on its loopback port: the challenge and the proof
// of the hello, the refused calls, the client cap, what playback and download senders put on the
// wire, events with their answers, streams that act only when they change, talk-back to the hook
// only within a talk, malformed records answered, and live media from the ring buffer. The viewer side here reads the
// records with its own code (12-byte head: kind, client, length; little-endian words).
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_ipc_sdk/p2p/transfer/transfer_internal.h"
#include "sandbox.h"
#include "silent_crowd.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Record kinds as the viewer knows them.
enum Kind : uint32_t {
    kHello = 1, kWelcome = 2, kEvent = 3, kRefused = 4, kTalk = 5, kAnswer = 6,
    kLiveVideo = 10, kLiveAudio = 11, kPbVideo = 12, kPbAudio = 13, kPbFinish = 14, kFragmentEnd = 15,
    kDlData = 16, kDlStatus = 17, kChallenge = 18,
};

// The device's local key as the phone has it from the cloud.
const std::string kKey = "k3yOfThisUnit.16";

uint32_t W32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

uint64_t W64(const std::vector<uint8_t>& b, size_t at)
{
    return W32(b, at) | (uint64_t(W32(b, at + 4)) << 32);
}

void Add32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b.push_back(uint8_t(v >> (8 * i)));
    }
}

struct Record {
    uint32_t kind = 0;
    uint32_t client = 0;
    std::vector<uint8_t> payload;
};

// HMAC-SHA256 over the challenge and the client number (little-endian), with OpenSSL.
std::vector<uint8_t> Proof(const std::string& key, const std::vector<uint8_t>& challenge, uint32_t client)
{
    std::vector<uint8_t> msg = challenge;
    Add32(msg, client);
    std::vector<uint8_t> mac(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), mac.data(), &len);
    mac.resize(len);
    return mac;
}

// A hello: quality and the proof.
std::vector<uint8_t> Hello(uint32_t quality, const std::vector<uint8_t>& proof)
{
    std::vector<uint8_t> p;
    Add32(p, quality);
    p.insert(p.end(), proof.begin(), proof.end());
    return p;
}

class Viewer {
public:
    Viewer(const TestSandbox& board, uint32_t client, uint32_t quality = 0) : mClient(client)
    {
        std::string port = board.Read("/.board/p2p.port");
        mFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(atoi(port.c_str())));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv = {5, 0};
        setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            Record c = Next();
            EXPECT_EQ(kChallenge, c.kind);
            Send(kHello, Hello(quality, Proof(kKey, c.payload, client)));
        }
    }
    ~Viewer() { close(mFd); }
    int Fd() const { return mFd; }

    void Send(uint32_t kind, const std::vector<uint8_t>& payload)
    {
        std::vector<uint8_t> rec;
        Add32(rec, kind);
        Add32(rec, mClient);
        Add32(rec, uint32_t(payload.size()));
        rec.insert(rec.end(), payload.begin(), payload.end());
        ASSERT_EQ(ssize_t(rec.size()), send(mFd, rec.data(), rec.size(), MSG_NOSIGNAL));
    }

    void Event(uint32_t code, std::vector<uint32_t> words)
    {
        std::vector<uint8_t> p;
        Add32(p, code);
        Add32(p, uint32_t(words.size()));
        for (uint32_t w : words) {
            Add32(p, w);
        }
        Send(kEvent, p);
    }

    // The next record; kind 0 when the connection ended or nothing came within 5 s.
    Record Next()
    {
        Record r;
        std::vector<uint8_t> head(12);
        if (!Read(head.data(), 12)) {
            return r;
        }
        r.payload.resize(W32(head, 8));
        if (!Read(r.payload.data(), r.payload.size())) {
            return r;
        }
        r.kind = W32(head, 0);
        r.client = W32(head, 4);
        return r;
    }

    // The next record of a kind, others skipped.
    Record NextOf(uint32_t kind)
    {
        for (int i = 0; i < 1000; ++i) {
            Record r = Next();
            if (r.kind == kind || r.kind == 0) {
                return r;
            }
        }
        return {};
    }

private:
    bool Read(uint8_t* p, size_t len)
    {
        size_t got = 0;
        while (got < len) {
            ssize_t n = recv(mFd, p + got, len - got, 0);
            if (n <= 0) {
                return false;
            }
            got += size_t(n);
        }
        return true;
    }

    int mFd = -1;
    uint32_t mClient;
};

std::mutex gMutex;
std::vector<std::pair<int, std::vector<uint32_t>>> gEvents;
std::vector<uint8_t> gTalk;
std::vector<std::vector<uint8_t>> gTalkAll;
TRANSFER_AUDIO_FRAME_S gTalkFrame{};
// Counts the application sees at each event: watching, online.
std::vector<std::pair<int, int>> gCounts;

int OnEvent(NOXA_P2P_EVENT_E event, void* args)
{
    auto* words = static_cast<uint32_t*>(args);
    std::lock_guard<std::mutex> lock(gMutex);
    gEvents.push_back({event, std::vector<uint32_t>(words, words + 4)});
    gCounts.push_back({noxa_ipc_get_watching_client_cnt(), noxa_ipc_get_online_client_cnt()});
    if (event == TRANS_ABILITY_QUERY) {
        words[1] = 7;
    }
    if (event == TRANS_PLAYBACK_START_TS && words[3] == 0) {
        noxa_ipc_playback_send_finish(words[0]);  // the application's failed start
    }
    return 0;
}

void OnTalk(const TRANSFER_MEDIA_FRAME_S* f, uint32_t)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gTalkFrame = f->audio;
    gTalk.assign(f->audio.p_audio_buf, f->audio.p_audio_buf + f->audio.buf_len);
    gTalkAll.push_back(gTalk);
}

int Occurrences(const std::string& text)
{
    const std::string all = LogCapture::All();
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++n;
    }
    return n;
}

// A connection of its own: bytes as the test writes them, records as they come.
class RawLink {
public:
    explicit RawLink(const TestSandbox& board)
    {
        std::string port = board.Read("/.board/p2p.port");
        mFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(atoi(port.c_str())));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv = {5, 0};
        setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_EQ(0, connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        ::Record c = Next();
        EXPECT_EQ(kChallenge, c.kind);
        EXPECT_EQ(0u, c.client);
        challenge = c.payload;
    }
    std::vector<uint8_t> challenge;
    ~RawLink() { close(mFd); }
    void Bytes(const std::vector<uint8_t>& b) { send(mFd, b.data(), b.size(), MSG_NOSIGNAL); }
    void Put(uint32_t kind, uint32_t client, uint32_t len, const std::vector<uint8_t>& payload)
    {
        std::vector<uint8_t> rec;
        Add32(rec, kind);
        Add32(rec, client);
        Add32(rec, len);
        rec.insert(rec.end(), payload.begin(), payload.end());
        Bytes(rec);
    }
    // The next record, kind 0 when none came or the connection ended.
    ::Record Next()
    {
        ::Record r;
        std::vector<uint8_t> head(12);
        if (!Read(head.data(), 12)) {
            return r;
        }
        r.payload.resize(W32(head, 8));
        if (!Read(r.payload.data(), r.payload.size())) {
            return r;
        }
        r.kind = W32(head, 0);
        r.client = W32(head, 4);
        return r;
    }
    // True when the unit closed the connection (nothing more arrives; bytes it never read may
    // turn the close into a reset).
    bool Closed()
    {
        uint8_t b;
        const ssize_t n = recv(mFd, &b, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

private:
    bool Read(uint8_t* p, size_t len)
    {
        size_t got = 0;
        while (got < len) {
            ssize_t n = recv(mFd, p + got, len - got, 0);
            if (n <= 0) {
                return false;
            }
            got += size_t(n);
        }
        return true;
    }
    int mFd = -1;
};

NOXA_P2P_TRANSFER_PARAM_S Param(uint32_t clients)
{
    NOXA_P2P_TRANSFER_PARAM_S p{};
    p.on_rev_audio_cb = OnTalk;
    p.rev_audio_codec = NOXA_CODEC_AUDIO_G711U;
    p.rev_audio_sample = 8000;
    p.rev_audio_databits = 16;
    p.on_event_cb = OnEvent;
    p.max_client_num = clients;
    p.media_info.video_codec[0] = NOXA_CODEC_VIDEO_H264;
    p.media_info.video_width[0] = 1280;
    p.media_info.video_height[0] = 720;
    p.media_info.video_fps[0] = 25;
    return p;
}

class Transfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, LogCapture::Install());
        gw_set_local_key(kKey.c_str());
        std::lock_guard<std::mutex> lock(gMutex);
        gEvents.clear();
        gTalk.clear();
        gTalkAll.clear();
        gCounts.clear();
    }
    void TearDown() override { noxa_ipc_tranfser_deinit(); }

    void Start(uint32_t clients = 6)
    {
        NOXA_P2P_TRANSFER_PARAM_S p = Param(clients);
        ASSERT_EQ(0, noxa_ipc_tranfser_init(&p));
    }

    TestSandbox mBoard;
};

TEST_F(Transfer, EveryCallRefusedBeforeInit)
{
    TRANSFER_MEDIA_FRAME_S f{};
    STORAGE_FRAME_HEAD_S h{};
    uint8_t byte = 0;
    uint32_t frag[2] = {1, 2};
    EXPECT_EQ(-1, noxa_ipc_get_online_client_cnt());
    EXPECT_EQ(-1, noxa_ipc_playback_send_video_frame(0, &f));
    EXPECT_EQ(-1, noxa_ipc_playback_send_audio_frame(0, &f));
    EXPECT_EQ(-1, noxa_ipc_playback_send_finish(0));
    EXPECT_EQ(-1, noxa_ipc_playback_send_fragment_end(0, frag));
    EXPECT_EQ(-1, noxa_ipc_4_app_download_data(0, &h, &byte));
    EXPECT_EQ(-1, noxa_ipc_4_app_download_status(0, 100));
    EXPECT_TRUE(LogCapture::Logged("The Transfer Module Is Not Inited"));
}

TEST_F(Transfer, InitWithoutCallbacksRefused)
{
    NOXA_P2P_TRANSFER_PARAM_S noEvent = Param(1);
    noEvent.on_event_cb = nullptr;
    NOXA_P2P_TRANSFER_PARAM_S noTalk = Param(1);
    noTalk.on_rev_audio_cb = nullptr;
    EXPECT_EQ(-1, noxa_ipc_tranfser_init(nullptr));
    EXPECT_EQ(-1, noxa_ipc_tranfser_init(&noEvent));
    EXPECT_EQ(-1, noxa_ipc_tranfser_init(&noTalk));
    EXPECT_EQ(-1, noxa_ipc_get_online_client_cnt());
    EXPECT_FALSE(mBoard.Exists("/.board/p2p.port"));
}

// Six asked for, five served: reader 5 + 5 would be the first WebRTC session's. The index equal
// to the count is outside like any above it.
TEST_F(Transfer, ClientCountCappedAndIndexChecked)
{
    struct Row {
        uint32_t asked;
        uint32_t served;
    };
    const Row rows[] = {{6, 5}, {5, 5}, {2, 2}, {0, 5}};
    for (const Row& r : rows) {
        Start(r.asked);
        TRANSFER_MEDIA_FRAME_S f{};
        STORAGE_FRAME_HEAD_S h{};
        uint8_t byte = 0;
        uint32_t frag[2] = {1, 2};
        uint32_t n = r.served;
        EXPECT_EQ(-ENOENT, noxa_ipc_playback_send_video_frame(n, &f)) << r.asked;
        EXPECT_EQ(-ENOENT, noxa_ipc_playback_send_audio_frame(n, &f)) << r.asked;
        EXPECT_EQ(-ENOENT, noxa_ipc_playback_send_finish(n)) << r.asked;
        EXPECT_EQ(-ENOENT, noxa_ipc_playback_send_fragment_end(n, frag)) << r.asked;
        EXPECT_EQ(-2, noxa_ipc_4_app_download_data(n, &h, &byte)) << r.asked;
        EXPECT_EQ(-2, noxa_ipc_4_app_download_status(n, 100)) << r.asked;
        // The last served index is inside: not in playback, not connected.
        EXPECT_EQ(-ENXIO, noxa_ipc_playback_send_video_frame(n - 1, &f)) << r.asked;
        {
            Viewer outside(mBoard, n);
            Record rec = outside.Next();
            EXPECT_EQ(kRefused, rec.kind) << r.asked;
            Viewer inside(mBoard, n - 1);
            rec = inside.Next();
            ASSERT_EQ(kWelcome, rec.kind) << r.asked;
            EXPECT_EQ(n, W32(rec.payload, 48)) << r.asked;
            EXPECT_EQ(1, noxa_ipc_get_online_client_cnt()) << r.asked;
            Viewer twice(mBoard, n - 1);
            EXPECT_EQ(kRefused, twice.Next().kind) << r.asked;
        }
        noxa_ipc_tranfser_deinit();
    }
}

TEST_F(Transfer, WelcomeCarriesWireCodes)
{
    Start();
    Viewer v(mBoard, 0);
    Record r = v.Next();
    ASSERT_EQ(kWelcome, r.kind);
    ASSERT_EQ(13u * 4, r.payload.size());
    const uint32_t want[13] = {0, 0, 1, 1280, 720, 25, 11, 8000, 11, 8000, 16, 0, 5};
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(want[i], W32(r.payload, 4 * i)) << "word " << i;
    }
}

// The senders' answers outside and inside playback, and their records on the wire.
TEST_F(Transfer, PlaybackSendersOnTheWire)
{
    Start();
    Viewer v(mBoard, 1);
    ASSERT_EQ(kWelcome, v.Next().kind);
    uint8_t bytes[5] = {0, 0, 0, 1, 0x65};
    int16_t pcm[4] = {1, -1, 300, -300};
    TRANSFER_MEDIA_FRAME_S video{};
    video.video = {NOXA_CODEC_VIDEO_H264, 1, bytes, sizeof bytes, 0, 5};
    TRANSFER_MEDIA_FRAME_S audio{};
    audio.audio = {NOXA_CODEC_AUDIO_PCM, 8000, 16, 0, reinterpret_cast<uint8_t*>(pcm), sizeof pcm, 1234, 9};
    uint32_t frag[2] = {1700000000, 1700000060};
    EXPECT_EQ(-ENXIO, noxa_ipc_playback_send_video_frame(1, &video));
    EXPECT_EQ(-ENXIO, noxa_ipc_playback_send_audio_frame(1, &audio));
    EXPECT_EQ(-ENXIO, noxa_ipc_playback_send_fragment_end(1, frag));
    EXPECT_EQ(-ENOENT, noxa_ipc_playback_send_audio_frame(1, nullptr));

    v.Event(TRANS_PLAYBACK_START_TS, {9, 100, 200, 150});
    ASSERT_EQ(kAnswer, v.Next().kind);
    ASSERT_EQ(0, noxa_ipc_playback_send_video_frame(1, &video));
    Record r = v.Next();
    ASSERT_EQ(kPbVideo, r.kind);
    EXPECT_EQ(1u, r.client);
    EXPECT_EQ(1u, W32(r.payload, 0));     // H.264
    EXPECT_EQ(1u, W32(r.payload, 4));     // key frame
    EXPECT_EQ(5000u, W64(r.payload, 8));  // time stamp 0: timestamp in ms
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 5), std::vector<uint8_t>(r.payload.begin() + 16, r.payload.end()));

    ASSERT_EQ(0, noxa_ipc_playback_send_audio_frame(1, &audio));
    r = v.Next();
    ASSERT_EQ(kPbAudio, r.kind);
    EXPECT_EQ(10u, W32(r.payload, 0));  // 16-bit PCM
    EXPECT_EQ(8000u, W32(r.payload, 4));
    EXPECT_EQ(16u, W32(r.payload, 8));
    EXPECT_EQ(1234u, W64(r.payload, 16));
    EXPECT_EQ(24u + sizeof pcm, r.payload.size());
    TRANSFER_MEDIA_FRAME_S aac = audio;
    aac.audio.audio_codec = 103;
    EXPECT_EQ(-1, noxa_ipc_playback_send_audio_frame(1, &aac));

    ASSERT_EQ(0, noxa_ipc_playback_send_fragment_end(1, frag));
    r = v.Next();
    ASSERT_EQ(kFragmentEnd, r.kind);
    EXPECT_EQ(frag[0], W32(r.payload, 0));
    EXPECT_EQ(frag[1], W32(r.payload, 4));

    ASSERT_EQ(0, noxa_ipc_playback_send_finish(1));
    EXPECT_EQ(kPbFinish, v.Next().kind);
    EXPECT_EQ(-ENXIO, noxa_ipc_playback_send_video_frame(1, &video));
}

// A failed start inside the callback finishes at once; the viewer sees the finish before the answer.
TEST_F(Transfer, FailedPlaybackStartFinishes)
{
    Start();
    Viewer v(mBoard, 0);
    ASSERT_EQ(kWelcome, v.Next().kind);
    v.Event(TRANS_PLAYBACK_START_TS, {0, 100, 200, 0});
    EXPECT_EQ(kPbFinish, v.Next().kind);
    EXPECT_EQ(kAnswer, v.Next().kind);
    TRANSFER_MEDIA_FRAME_S video{};
    EXPECT_EQ(-ENXIO, noxa_ipc_playback_send_video_frame(0, &video));
}

TEST_F(Transfer, DownloadRecordsAndFinish)
{
    Start();
    Viewer v(mBoard, 2);
    ASSERT_EQ(kWelcome, v.Next().kind);
    const uint8_t data[3] = {7, 8, 9};
    STORAGE_FRAME_HEAD_S h{1, 3, 1700000000123ull, 42};
    EXPECT_EQ(-2, noxa_ipc_4_app_download_data(2, nullptr, data));
    EXPECT_EQ(-2, noxa_ipc_4_app_download_data(2, &h, nullptr));
    ASSERT_EQ(0, noxa_ipc_4_app_download_data(2, &h, data));
    Record r = v.Next();
    ASSERT_EQ(kDlData, r.kind);
    ASSERT_EQ(27u, r.payload.size());
    EXPECT_EQ(1u, W32(r.payload, 0));
    EXPECT_EQ(3u, W32(r.payload, 4));
    EXPECT_EQ(1700000000123ull, W64(r.payload, 8));
    EXPECT_EQ(42u, W64(r.payload, 16));
    EXPECT_EQ(9, r.payload[26]);
    ASSERT_EQ(0, noxa_ipc_4_app_download_status(2, 100));
    r = v.Next();
    ASSERT_EQ(kDlStatus, r.kind);
    EXPECT_EQ(100u, W32(r.payload, 0));
    EXPECT_TRUE(LogCapture::Logged("send finish to app"));
    EXPECT_EQ(-1, noxa_ipc_4_app_download_status(3, 100));  // nobody there
}

// Events reach the callback with the client in word 0 (clarity aside) and come back with the
// words the callback wrote.
TEST_F(Transfer, EventsAnsweredWithWrittenWords)
{
    Start();
    Viewer v(mBoard, 3);
    ASSERT_EQ(kWelcome, v.Next().kind);
    struct Row {
        uint32_t code;
        std::vector<uint32_t> sent;
        std::vector<uint32_t> answered;
    };
    const Row rows[] = {
        {TRANS_ABILITY_QUERY, {0, 0}, {3, 7}},
        {TRANS_LIVE_VIDEO_CLARITY_SET, {1}, {1}},
        {TRANS_PLAYBACK_PAUSE, {0}, {3}},  // another slot named: the viewer's own is used
        {TRANS_SPEAKER_START, {3}, {3}},
    };
    for (const Row& row : rows) {
        v.Event(row.code, row.sent);
        Record r = v.NextOf(kAnswer);
        ASSERT_EQ(kAnswer, r.kind) << row.code;
        EXPECT_EQ(row.code, W32(r.payload, 0));
        ASSERT_EQ(row.answered.size(), W32(r.payload, 8)) << row.code;
        for (size_t i = 0; i < row.answered.size(); ++i) {
            EXPECT_EQ(row.answered[i], W32(r.payload, 12 + 4 * i)) << row.code << " word " << i;
        }
    }
    // A code the application does not know is answered as failed without reaching it.
    v.Event(768, {0});
    Record r = v.NextOf(kAnswer);
    EXPECT_EQ(768u, W32(r.payload, 0));
    EXPECT_EQ(uint32_t(-1), W32(r.payload, 4));
    std::lock_guard<std::mutex> lock(gMutex);
    ASSERT_EQ(4u, gEvents.size());
    EXPECT_EQ(TRANS_PLAYBACK_PAUSE, gEvents[2].first);
    EXPECT_EQ(3u, gEvents[2].second[0]);
}

TEST_F(Transfer, TalkFramesReachTheHook)
{
    Start();
    Viewer v(mBoard, 0);
    ASSERT_EQ(kWelcome, v.Next().kind);
    std::vector<uint8_t> frame(320);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = uint8_t(i * 7);
    }
    v.Event(TRANS_SPEAKER_START, {0});
    ASSERT_EQ(kAnswer, v.Next().kind);
    v.Send(kTalk, frame);
    // An answer after the talk frame: the frame was handed over before it.
    v.Event(TRANS_ABILITY_QUERY, {0, 0});
    ASSERT_EQ(kAnswer, v.Next().kind);
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ(frame, gTalk);
    EXPECT_EQ(uint32_t(NOXA_CODEC_AUDIO_G711U), gTalkFrame.audio_codec);
    EXPECT_EQ(8000u, gTalkFrame.audio_sample);
    EXPECT_EQ(16u, gTalkFrame.audio_databits);
    EXPECT_EQ(320u, gTalkFrame.buf_len);
}

// Live view starts at a key frame of the chosen channel; the microphone's PCM leaves as mu-law.
TEST_F(Transfer, LiveMediaFromTheRingBuffer)
{
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(1, 512, 25, 0, nullptr));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr));
    Start();
    Viewer main(mBoard, 0, 0);
    Viewer sub(mBoard, 1, 1);
    ASSERT_EQ(kWelcome, main.Next().kind);
    ASSERT_EQ(kWelcome, sub.Next().kind);
    main.Event(TRANS_LIVE_VIDEO_START, {0});
    main.Event(TRANS_LIVE_AUDIO_START, {0});
    sub.Event(TRANS_LIVE_VIDEO_START, {1});
    ASSERT_EQ(kAnswer, main.Next().kind);
    ASSERT_EQ(kAnswer, main.Next().kind);
    ASSERT_EQ(kAnswer, sub.Next().kind);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the live threads take their readers

    const uint8_t p[4] = {0, 0, 1, 0x41};
    const uint8_t key0[4] = {0, 0, 1, 0x65};
    const uint8_t key1[5] = {0, 0, 1, 0x65, 1};
    const int16_t pcm[4] = {0, 0, 1000, -1000};
    ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(0, p, sizeof p, MEDIA_FRAME_TYPE_P, 1));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(1, p, sizeof p, MEDIA_FRAME_TYPE_P, 1));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(0, key0, sizeof key0, MEDIA_FRAME_TYPE_I, 40));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(1, key1, sizeof key1, MEDIA_FRAME_TYPE_I, 40));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(9, reinterpret_cast<const uint8_t*>(pcm), sizeof pcm,
                                                  MEDIA_FRAME_TYPE_AUDIO, 41));
    // A live view starts only at a key frame under a frame time old: a live thread that the
    // machine's load keeps from its first read past that waits for the next one, which an
    // encoder asked for would send. The key frames come again until the test ends.
    struct Encoder {
        std::atomic<bool> stop{false};
        std::thread t;
        ~Encoder()
        {
            stop = true;
            t.join();
        }
    } encoder;
    encoder.t = std::thread([&] {
        while (!encoder.stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            noxa_ipc_ring_buffer_append_data(0, key0, sizeof key0, MEDIA_FRAME_TYPE_I, 40);
            noxa_ipc_ring_buffer_append_data(1, key1, sizeof key1, MEDIA_FRAME_TYPE_I, 40);
        }
    });

    // Video and audio leave in the order the thread finds them: take the first of each.
    Record r;
    Record a;
    for (int i = 0; i < 20 && (r.kind == 0 || a.kind == 0); ++i) {
        Record n = main.Next();
        ASSERT_NE(0u, n.kind);
        if (n.kind == kLiveVideo && r.kind == 0) {
            r = n;
        } else if (n.kind == kLiveAudio && a.kind == 0) {
            a = n;
        }
    }
    ASSERT_EQ(kLiveVideo, r.kind);
    EXPECT_EQ(0u, W32(r.payload, 0));  // channel
    EXPECT_EQ(1u, W32(r.payload, 8));  // the key frame first, the P frame before it dropped
    EXPECT_EQ(40u, W64(r.payload, 12));
    EXPECT_EQ(std::vector<uint8_t>(key0, key0 + 4), std::vector<uint8_t>(r.payload.begin() + 28, r.payload.end()));
    ASSERT_EQ(kLiveAudio, a.kind);
    EXPECT_EQ(11u, W32(a.payload, 0));  // mu-law
    ASSERT_EQ(24u, a.payload.size());
    EXPECT_EQ(0xFF, a.payload[20]);
    EXPECT_EQ(0xFF, a.payload[21]);
    EXPECT_EQ(0xCE, a.payload[22]);  // +1000 and -1000 differ only in the sign bit
    EXPECT_EQ(0x4E, a.payload[23]);
    r = sub.NextOf(kLiveVideo);
    ASSERT_EQ(kLiveVideo, r.kind);
    EXPECT_EQ(1u, W32(r.payload, 0));
    EXPECT_EQ(33u, r.payload.size());
    EXPECT_EQ(2, noxa_ipc_get_online_client_cnt());
}

// A viewer that vanishes while watching leaves the application's view like a stop would.
TEST_F(Transfer, VanishedViewerStopsItsView)
{
    Start();
    {
        Viewer v(mBoard, 4);
        ASSERT_EQ(kWelcome, v.Next().kind);
        v.Event(TRANS_LIVE_VIDEO_START, {4});
        ASSERT_EQ(kAnswer, v.Next().kind);
    }
    for (int i = 0; i < 200 && noxa_ipc_get_online_client_cnt() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(0, noxa_ipc_get_online_client_cnt());
    std::lock_guard<std::mutex> lock(gMutex);
    ASSERT_EQ(2u, gEvents.size());
    EXPECT_EQ(TRANS_LIVE_VIDEO_STOP, gEvents[1].first);
    EXPECT_EQ(4u, gEvents[1].second[0]);
}

// A viewer that vanishes (no stops, no bye) has the stop of everything it started told, each
// once and for its own client: its audio, its talk and its playback; its playback senders then
// answer that it is not in playback.
TEST_F(Transfer, VanishedViewerStopsItsTalkAndPlayback)
{
    Start();
    {
        Viewer v(mBoard, 3);
        ASSERT_EQ(kWelcome, v.Next().kind);
        for (uint32_t code : {TRANS_LIVE_AUDIO_START, TRANS_SPEAKER_START, TRANS_PLAYBACK_START_TS}) {
            v.Event(code, {3, 100, 200, 150});
            ASSERT_EQ(kAnswer, v.Next().kind);
        }
    }
    for (int i = 0; i < 200 && noxa_ipc_get_online_client_cnt() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(0, noxa_ipc_get_online_client_cnt());
    TRANSFER_MEDIA_FRAME_S video{};
    EXPECT_EQ(-ENXIO, noxa_ipc_playback_send_video_frame(3, &video));
    std::lock_guard<std::mutex> lock(gMutex);
    std::vector<int> codes;
    for (const auto& e : gEvents) {
        codes.push_back(e.first);
        EXPECT_EQ(3u, e.second[0]) << e.first;
    }
    EXPECT_EQ((std::vector<int>{TRANS_LIVE_AUDIO_START, TRANS_SPEAKER_START, TRANS_PLAYBACK_START_TS,
                                TRANS_LIVE_AUDIO_STOP, TRANS_SPEAKER_STOP, TRANS_PLAYBACK_STOP}),
              codes);
}

// Talk-back reaches the speaker only between the session's own talk start and stop; frames
// outside are dropped and counted in the log.
TEST_F(Transfer, TalkPlaysOnlyBetweenItsStartAndStop)
{
    Start();
    {
        Viewer v(mBoard, 0);
        ASSERT_EQ(kWelcome, v.Next().kind);
        const std::vector<uint8_t> before(160, 0x11), during(160, 0x22), after(160, 0x33);
        v.Send(kTalk, before);
        v.Event(TRANS_SPEAKER_START, {0});
        ASSERT_EQ(kAnswer, v.NextOf(kAnswer).kind);
        v.Send(kTalk, during);
        v.Event(TRANS_SPEAKER_STOP, {0});
        ASSERT_EQ(kAnswer, v.NextOf(kAnswer).kind);
        v.Send(kTalk, after);
        v.Event(TRANS_ABILITY_QUERY, {0, 0});
        ASSERT_EQ(kAnswer, v.NextOf(kAnswer).kind);
        std::lock_guard<std::mutex> lock(gMutex);
        EXPECT_EQ(std::vector<std::vector<uint8_t>>{during}, gTalkAll);
    }
    for (int i = 0; i < 200 && noxa_ipc_get_online_client_cnt() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(LogCapture::Logged("p2p client 0: 2 talk frames without a talk start dropped")) << LogCapture::All();
}

// A stop of a stream the session never started, and a start of one it runs already, change
// nothing: the application never sees them (the repeated start logged once).
TEST_F(Transfer, StreamEventsActOnlyWhenTheyChangeTheSession)
{
    Start();
    Viewer v(mBoard, 1);
    ASSERT_EQ(kWelcome, v.Next().kind);
    const struct {
        uint32_t code;
        bool reaches;
        int result;
    } rows[] = {
        {TRANS_LIVE_VIDEO_STOP, false, -1},       {TRANS_LIVE_AUDIO_STOP, false, -1},
        {TRANS_SPEAKER_STOP, false, -1},          {TRANS_STREAMING_VIDEO_STOP, false, -1},
        {TRANS_LIVE_VIDEO_START, true, 0},        {TRANS_LIVE_VIDEO_START, false, 0},
        {TRANS_LIVE_VIDEO_START, false, 0},       {TRANS_STREAMING_VIDEO_START, true, 0},
        {TRANS_STREAMING_VIDEO_START, false, 0},  {TRANS_LIVE_VIDEO_STOP, true, 0},
        {TRANS_LIVE_VIDEO_STOP, false, -1},       {TRANS_STREAMING_VIDEO_STOP, true, 0},
        {TRANS_SPEAKER_START, true, 0},           {TRANS_SPEAKER_START, false, 0},
    };
    for (const auto& r : rows) {
        size_t before = 0;
        {
            std::lock_guard<std::mutex> lock(gMutex);
            before = gEvents.size();
        }
        v.Event(r.code, {1});
        Record a = v.NextOf(kAnswer);
        ASSERT_EQ(kAnswer, a.kind) << r.code;
        EXPECT_EQ(r.code, W32(a.payload, 0));
        EXPECT_EQ(uint32_t(r.result), W32(a.payload, 4)) << r.code;
        std::lock_guard<std::mutex> lock(gMutex);
        EXPECT_EQ(before + (r.reaches ? 1 : 0), gEvents.size()) << r.code;
    }
    EXPECT_EQ(1, Occurrences("p2p client 1: event 0 while its stream runs: ignored")) << LogCapture::All();
    EXPECT_EQ(2, Occurrences("p2p client 1: event 1 without its start: ignored")) << LogCapture::All();
}

// The count a stop asks is of the sessions still watching (live video or streaming), the stopping
// one already left out; the online count stays the viewers connected.
TEST_F(Transfer, WatchingCountLeavesTheStoppingSessionOut)
{
    Start();
    Viewer a(mBoard, 0);
    Viewer idle(mBoard, 1);
    Viewer streamer(mBoard, 2);
    ASSERT_EQ(kWelcome, a.Next().kind);
    ASSERT_EQ(kWelcome, idle.Next().kind);
    ASSERT_EQ(kWelcome, streamer.Next().kind);
    a.Event(TRANS_LIVE_VIDEO_START, {0});
    ASSERT_EQ(kAnswer, a.NextOf(kAnswer).kind);
    streamer.Event(TRANS_STREAMING_VIDEO_START, {2});
    ASSERT_EQ(kAnswer, streamer.NextOf(kAnswer).kind);
    a.Event(TRANS_LIVE_VIDEO_STOP, {0});
    ASSERT_EQ(kAnswer, a.NextOf(kAnswer).kind);
    streamer.Event(TRANS_STREAMING_VIDEO_STOP, {2});
    ASSERT_EQ(kAnswer, streamer.NextOf(kAnswer).kind);
    std::lock_guard<std::mutex> lock(gMutex);
    const std::vector<std::pair<int, int>> want = {{1, 3}, {2, 3}, {1, 3}, {0, 3}};
    EXPECT_EQ(want, gCounts);
}

// Two watchers gone at once: exactly one of their stops finds nobody left watching.
TEST_F(Transfer, TwoWatchersLeavingTogetherLeaveOneLastStop)
{
    Start();
    for (int round = 0; round < 20; ++round) {
        {
            Viewer a(mBoard, 0);
            Viewer b(mBoard, 1);
            ASSERT_EQ(kWelcome, a.Next().kind);
            ASSERT_EQ(kWelcome, b.Next().kind);
            a.Event(TRANS_LIVE_VIDEO_START, {0});
            b.Event(TRANS_LIVE_VIDEO_START, {1});
            ASSERT_EQ(kAnswer, a.NextOf(kAnswer).kind);
            ASSERT_EQ(kAnswer, b.NextOf(kAnswer).kind);
            std::lock_guard<std::mutex> lock(gMutex);
            gCounts.clear();
            gEvents.clear();
        }
        for (int i = 0; i < 300 && noxa_ipc_get_online_client_cnt() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> lock(gMutex);
        ASSERT_EQ(2u, gCounts.size()) << round;
        EXPECT_EQ(1, (gCounts[0].first == 0) + (gCounts[1].first == 0)) << round;
    }
}

// A hello that cannot be one, an event too short to read and a record above the bound each get
// an answer naming their fault and the client asked for.
TEST_F(Transfer, MalformedRecordsAreAnsweredWithTheirReason)
{
    Start();
    const struct {
        uint32_t kind, client, len;
        size_t sent;  // payload bytes sent
        uint32_t reason;
        uint32_t answeredClient;
    } hellos[] = {
        {kHello, 3, 8, 8, 6, 3},               // a hello of the wrong length
        {kHello, 2, 2 * 1024 * 1024, 0, 6, 2}, // far above any hello
        {kHello, 1, 4, 4, 4, 1},               // the hello of old, without a proof
        {kEvent, 1, 8, 8, 3, 0},               // no hello first
    };
    for (const auto& h : hellos) {
        RawLink l(mBoard);
        l.Put(h.kind, h.client, h.len, std::vector<uint8_t>(h.sent, 0));
        Record r = l.Next();
        ASSERT_EQ(kRefused, r.kind) << h.len;
        EXPECT_EQ(h.answeredClient, r.client) << h.len;
        EXPECT_EQ(h.reason, W32(r.payload, 0)) << h.len;
        EXPECT_TRUE(l.Closed());
    }
    Viewer v(mBoard, 4);
    ASSERT_EQ(kWelcome, v.Next().kind);
    // Too short for its word count, and more words than a record holds: refused, the viewer told.
    v.Send(kEvent, {TRANS_ABILITY_QUERY, 0, 0, 0});
    Record r = v.Next();
    ASSERT_EQ(kAnswer, r.kind);
    EXPECT_EQ(uint32_t(TRANS_ABILITY_QUERY), W32(r.payload, 0));
    EXPECT_EQ(uint32_t(-1), W32(r.payload, 4));
    EXPECT_EQ(0u, W32(r.payload, 8));
    std::vector<uint8_t> many;
    Add32(many, TRANS_ABILITY_QUERY);
    Add32(many, 17);
    many.resize(8 + 17 * 4);
    v.Send(kEvent, many);
    r = v.Next();
    ASSERT_EQ(kAnswer, r.kind);
    EXPECT_EQ(uint32_t(-1), W32(r.payload, 4));
    EXPECT_EQ(2, Occurrences("p2p client 4: bad event record")) << LogCapture::All();
    // A record above the bound ends the connection with its reason.
    std::vector<uint8_t> head;
    Add32(head, kTalk);
    Add32(head, 4);
    Add32(head, 64 * 1024 + 1);
    ASSERT_EQ(ssize_t(12), write(v.Fd(), head.data(), head.size()));
    r = v.Next();
    ASSERT_EQ(kRefused, r.kind);
    EXPECT_EQ(4u, r.client);
    EXPECT_EQ(7u, W32(r.payload, 0));
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_TRUE(gEvents.empty()) << "nothing of it reached the application";
}

// Only a hello proven with the device's local key over this connection's challenge is served.
TEST_F(Transfer, ProofDecidesWhoIsServed)
{
    Start();
    RawLink first(mBoard);
    RawLink second(mBoard);
    ASSERT_EQ(16u, first.challenge.size());
    EXPECT_NE(first.challenge, second.challenge) << "every connection its own challenge";
    const std::vector<uint8_t> proof = Proof(kKey, first.challenge, 2);
    first.Put(kHello, 2, 36, Hello(0, proof));
    ASSERT_EQ(kWelcome, first.Next().kind);
    const struct {
        const char* what;
        std::string key;     // the key the hello is made with ("": the proof of the first connection)
        uint32_t proofFor;   // the client number the proof is made for
        bool unitHasKey;
        uint32_t reason;     // 0: served
    } rows[] = {
        {"right key", kKey, 3, true, 0},
        {"wrong key", "k3yOfThisUnit.17", 3, true, 4},
        {"proof of another client", kKey, 1, true, 4},
        {"proof replayed from another connection", "", 2, true, 4},
        {"unit without a key (not activated, or reset)", kKey, 3, false, 5},
    };
    for (const auto& r : rows) {
        gw_set_local_key(r.unitHasKey ? kKey.c_str() : nullptr);
        RawLink l(mBoard);
        const uint32_t client = r.key.empty() ? 2 : 3;
        l.Put(kHello, client, 36, Hello(0, r.key.empty() ? proof : Proof(r.key, l.challenge, r.proofFor)));
        Record a = l.Next();
        if (r.reason == 0) {
            EXPECT_EQ(kWelcome, a.kind) << r.what;
            continue;
        }
        ASSERT_EQ(kRefused, a.kind) << r.what;
        EXPECT_EQ(client, a.client) << r.what;
        EXPECT_EQ(r.reason, W32(a.payload, 0)) << r.what;
        EXPECT_TRUE(l.Closed()) << r.what;
    }
    EXPECT_EQ(3, Occurrences("refused: wrong proof")) << LogCapture::All();
    EXPECT_TRUE(LogCapture::Logged("p2p client 3 refused: the unit has no local key")) << LogCapture::All();
    for (int i = 0; i < 200 && noxa_ipc_get_online_client_cnt() != 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(1, noxa_ipc_get_online_client_cnt()) << "only the first stays";
}

// A connection keeps its place for its whole two seconds however many connect after it: the
// owner's hello 1.5 s after its challenge, behind 150 connections that never speak and come
// again as soon as they are closed, is welcomed.
TEST_F(Transfer, WaitingConnectionKeepsItsPlaceBehindACrowd)
{
    Start();
    RawLink owner(mBoard);
    const auto challenged = std::chrono::steady_clock::now();
    {
        SilentCrowd crowd(uint16_t(atoi(mBoard.Read("/.board/p2p.port").c_str())), 150);
        for (int i = 0; i < 500 && crowd.Taken() < 150; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(150u, crowd.Taken()) << "every one of the crowd is taken";
        std::this_thread::sleep_until(challenged + std::chrono::milliseconds(1500));
        owner.Put(kHello, 1, 36, Hello(0, Proof(kKey, owner.challenge, 1)));
        Record r = owner.Next();
        ASSERT_EQ(kWelcome, r.kind) << "refused with " << (r.payload.size() >= 4 ? W32(r.payload, 0) : 0);
        EXPECT_EQ(150u, crowd.Waiting()) << "nobody of the crowd closed before its time";
    }
}

// Connections that would take the descriptors the unit keeps for its own links, or that find
// none left, are closed at once instead of waiting in the listen queue; those already waiting
// keep their places.
TEST_F(Transfer, NewcomersBeyondTheDescriptorsAreClosedAtOnce)
{
    // A soft limit no higher than the select() bound, so that this test can use up the descriptors.
    rlimit was{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &was));
    rlimit lim = was;
    lim.rlim_cur = std::min<rlim_t>(was.rlim_max, FD_SETSIZE);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
    Start();
    const int bound = transfer::WaitingFdBound();
    ASSERT_GT(bound, 16);
    // The sockets first, so that the unit's side of each connection takes the lowest number free
    // when it connects.
    const uint16_t port = uint16_t(atoi(mBoard.Read("/.board/p2p.port").c_str()));
    int socks[5];
    for (int& s : socks) {
        s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv = {3, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    auto connectTo = [port](int s) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    };
    // The first bytes of the unit: 18 (a challenge), 0 closed at once, -1 nothing within 3 s.
    auto first = [](int s, std::vector<uint8_t>* challenge) -> int {
        uint8_t rec[12 + 16];
        size_t got = 0;
        while (got < sizeof rec) {
            const ssize_t n = recv(s, rec + got, sizeof rec - got, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return got == 0 ? 0 : -1;
            }
            if (n < 0) {
                return -1;
            }
            got += size_t(n);
        }
        challenge->assign(rec + 12, rec + sizeof rec);
        return int(W32(std::vector<uint8_t>(rec, rec + 4), 0));
    };
    // Numbers taken up to a few below the bound (the module's threads may open one meanwhile), then
    // every one below it; then every one there is. Taken again before each newcomer.
    std::vector<int> held;
    auto takeBelow = [&held](int top) {
        for (;;) {
            const int fd = dup(2);
            if (fd < 0 || fd >= top) {
                if (fd >= 0) {
                    close(fd);
                }
                return;
            }
            held.push_back(fd);
        }
    };
    takeBelow(bound - 8);
    std::vector<uint8_t> challenge;
    ASSERT_TRUE(connectTo(socks[0]));
    EXPECT_EQ(18, first(socks[0], &challenge)) << "a number below the bound: the connection waits";
    const auto challenged = std::chrono::steady_clock::now();
    std::vector<uint8_t> ignored;
    // Closed at once when every number below the bound is taken. Another thread of the process may
    // free one between the taking and the accept, and the newcomer then rightly waits below the
    // bound: the numbers are taken again and a fresh connection tries, a few times at most.
    auto turnedAwayAtTheBound = [&](int s) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            takeBelow(bound);
            if (attempt > 0) {
                close(s);
                s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                timeval tv = {3, 0};
                setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            }
            if (!connectTo(s)) {
                close(s);
                return false;
            }
            const int got = first(s, &ignored);
            if (got != 18) {
                close(s);
                return got == 0;
            }
        }
        close(s);
        return false;
    };
    EXPECT_TRUE(turnedAwayAtTheBound(socks[1])) << "the numbers from the bound on are the unit's";
    EXPECT_TRUE(turnedAwayAtTheBound(socks[2])) << "and stay so";
    socks[1] = socks[2] = -1;
    // No descriptor left at all: the unit's spare one takes each newcomer to close it.
    takeBelow(INT32_MAX);
    ASSERT_EQ(EMFILE, errno);
    ASSERT_TRUE(connectTo(socks[3]));
    EXPECT_EQ(0, first(socks[3], &ignored)) << "out of descriptors, a newcomer is not left waiting";
    takeBelow(INT32_MAX);
    ASSERT_TRUE(connectTo(socks[4]));
    EXPECT_EQ(0, first(socks[4], &ignored)) << "and the next one neither";
    for (int fd : held) {
        close(fd);
    }
    // The first one keeps its place (until its two seconds are over).
    uint8_t byte = 0;
    const ssize_t n = recv(socks[0], &byte, 1, MSG_DONTWAIT);
    const int err = errno;
    if (std::chrono::steady_clock::now() - challenged < std::chrono::milliseconds(1900)) {
        EXPECT_TRUE(n < 0 && err == EAGAIN) << "the waiting connection was closed before its time";
    }
    for (int s : socks) {
        if (s >= 0) {
            close(s);
        }
    }
    setrlimit(RLIMIT_NOFILE, &was);
    EXPECT_TRUE(LogCapture::Logged("p2p connection refused: no hello while others wait")) << LogCapture::All();
}

TEST_F(Transfer, SignallingIsLogged)
{
    const char msg[] = "{\"type\":\"offer\"}";
    noxa_ipc_p2p_rtc_msg_cb("noxa0123456789abcdef", msg, int(sizeof msg - 1));
    EXPECT_TRUE(LogCapture::Logged("rtc signalling for noxa0123456789abcdef"));
}

}  // namespace
