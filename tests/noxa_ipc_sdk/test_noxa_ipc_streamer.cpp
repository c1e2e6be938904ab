// The cloud-gateway streamer against the cloud simulator's media gateway (its own framing and
// OpenSSL crypto), with the ring buffer fed by a synthetic writer whose frames prove their own
// integrity: the signed challenge both ways, frames checked and decrypted at the gateway, fresh
// readers on key frames, mask changes, stops, a new request, each misbehaviour of the gateway,
// the 401 back-off on the test clock, talk-back audio, and requests refused before they are taken.
#include "gateway.h"
#include "mqt_link.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_ipc_sdk/NStreamer/noxa_ipc_packager.h"
#include "noxa_ipc_sdk/NStreamer/noxa_ipc_streamer.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "noxa_ipc_sdk/moto_mqtt/noxa_ipc_moto_mqtt.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "process.h"
#include "ring_frames.h"
#include "sandbox.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kMediaKey = "MediaKey16chars!";

std::mutex gEvLock;
std::vector<int> gEvents;
std::vector<uint32_t> gEventSource;
struct Heard {
    uint32_t codec, sample, bits, channels, source;
    std::string bytes;
};
std::vector<Heard> gAudio;

// Wall-clock ms of the first streaming start told.
std::atomic<int64_t> gStartedMs{0};

int OnEvent(int event, void* args)
{
    if (event == 100 && gStartedMs.load() == 0) {
        gStartedMs.store(static_cast<int64_t>(uni_time_get_posix_ms()));
    }
    std::lock_guard<std::mutex> lock(gEvLock);
    gEvents.push_back(event);
    gEventSource.push_back(args != nullptr ? static_cast<uint32_t*>(args)[0] : 0xFFFFFFFF);
    return 0;
}

void OnAudio(const NSTREAM_AUDIO_S* a, uint32_t source)
{
    std::lock_guard<std::mutex> lock(gEvLock);
    gAudio.push_back({a->codecType, a->sample, a->dateBit, a->channels, source,
                      std::string(reinterpret_cast<const char*>(a->data), a->len)});
}

// What the viewers' module hands the application: events with their first word, talk-back.
std::vector<std::pair<int, uint32_t>> gAppEvents;
std::vector<TRANSFER_AUDIO_FRAME_S> gAppTalk;
std::string gAppTalkBytes;

int AppEvent(NOXA_P2P_EVENT_E event, void* args)
{
    std::lock_guard<std::mutex> lock(gEvLock);
    gAppEvents.emplace_back(event, args != nullptr ? static_cast<uint32_t*>(args)[0] : 0xFFFFFFFF);
    return 0;
}

void AppTalk(const TRANSFER_MEDIA_FRAME_S* frame, uint32_t)
{
    std::lock_guard<std::mutex> lock(gEvLock);
    gAppTalk.push_back(frame->audio);
    gAppTalkBytes.append(reinterpret_cast<const char*>(frame->audio.p_audio_buf), frame->audio.buf_len);
}

void WriteWav(const std::string& path, const std::vector<int16_t>& pcm)
{
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF", 4);
    u32(static_cast<uint32_t>(36 + pcm.size() * 2));
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    f.write("data", 4);
    u32(static_cast<uint32_t>(pcm.size() * 2));
    f.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
}

std::vector<int> Events()
{
    std::lock_guard<std::mutex> lock(gEvLock);
    return gEvents;
}

int CountOf(int event)
{
    int n = 0;
    for (int e : Events()) {
        n += e == event ? 1 : 0;
    }
    return n;
}

std::string Md5Hex(const std::string& text)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(text.data(), text.size(), md, &n, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += kHex[md[i] >> 4];
        out += kHex[md[i] & 15];
    }
    return out;
}

// The encoder and microphone of the test: 25 frames a second on channels 0, 1 and 9, a key frame
// every 10 video frames, each frame carrying its own sequence number and CRC.
class Writer {
public:
    Writer()
    {
        mThread = std::thread([this] {
            uint32_t n = 0;
            while (!mStop.load()) {
                const uint64_t pts = uni_time_get_posix_ms() * 1000;
                const uint32_t type = n % 10 == 0 ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P;
                Put(0, type, 3000 + (n % 7) * 100, pts);
                Put(1, type, 1200 + (n % 5) * 50, pts);
                Put(9, MEDIA_FRAME_TYPE_AUDIO, 640, pts);
                ++n;
                std::this_thread::sleep_for(40ms);
            }
        });
    }
    ~Writer()
    {
        mStop.store(true);
        mThread.join();
    }

private:
    void Put(int ch, uint32_t type, uint32_t size, uint64_t pts)
    {
        const std::vector<uint8_t> f = ringtest::MakeFrame(++mSeq[ch], type, size);
        noxa_ipc_ring_buffer_append_data(ch, f.data(), size, type, pts);
    }
    std::atomic<bool> mStop{false};
    uint32_t mSeq[16] = {};
    std::thread mThread;
};

// Whole test frames in a file the gateway wrote, checked one by one: the count, and the type of
// the first; -1 when any is torn.
struct FileFrames {
    int count = 0;
    uint32_t firstType = 99;
    uint32_t firstSeq = 0;  // the test frame's own number
    uint32_t smallest = UINT32_MAX;
    uint32_t largest = 0;
};
FileFrames ReadFrames(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    FileFrames r;
    const auto* p = reinterpret_cast<const uint8_t*>(all.data());
    size_t at = 0;
    while (at + ringtest::kFrameOverhead <= all.size()) {
        const uint32_t size = ringtest::GetLe32(p + at + 8);
        if (size < ringtest::kFrameOverhead || at + size > all.size() ||
            !ringtest::CheckFrame(p + at, size, ringtest::GetLe32(p + at), ringtest::GetLe32(p + at + 4))) {
            return FileFrames{-1, 99};
        }
        if (r.count == 0) {
            r.firstType = ringtest::GetLe32(p + at + 4);
            r.firstSeq = ringtest::GetLe32(p + at);
        }
        r.smallest = std::min(r.smallest, size);
        r.largest = std::max(r.largest, size);
        ++r.count;
        at += size;
    }
    return r;
}

// A gateway that takes connections and never says a word: when each connection came, and when
// the unit closed it (0 while open), in steady ms.
class SilentGateway {
public:
    SilentGateway()
    {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(0, bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a));
        EXPECT_EQ(0, listen(mListen, 4));
        EXPECT_EQ(0, getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len));
        mPort = ntohs(a.sin_port);
        mThread = std::thread([this] { Loop(); });
    }
    ~SilentGateway()
    {
        mStop.store(true);
        mThread.join();
        for (const Conn& c : mConns) {
            close(c.fd);
        }
        close(mListen);
    }
    uint16_t Port() const { return mPort; }
    struct Times {
        int64_t opened, closed;
    };
    std::vector<Times> Connections()
    {
        std::lock_guard<std::mutex> lock(mLock);
        std::vector<Times> out;
        for (const Conn& c : mConns) {
            out.push_back({c.opened, c.closed});
        }
        return out;
    }

private:
    struct Conn {
        int fd;
        int64_t opened, closed;
    };
    static int64_t Now()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void Loop()
    {
        while (!mStop.load()) {
            std::vector<pollfd> fds{{mListen, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(mLock);
                for (const Conn& c : mConns) {
                    fds.push_back({c.closed == 0 ? c.fd : -1, POLLIN, 0});
                }
            }
            if (poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mLock);
            for (size_t i = 1; i < fds.size(); ++i) {
                char b[256];
                if (fds[i].revents != 0 && recv(mConns[i - 1].fd, b, sizeof b, 0) <= 0) {
                    mConns[i - 1].closed = Now();  // what came (the challenge) is never answered
                }
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const int fd = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    mConns.push_back({fd, Now(), 0});
                }
            }
        }
    }
    int mListen = -1;
    uint16_t mPort = 0;
    std::atomic<bool> mStop{false};
    std::mutex mLock;
    std::vector<Conn> mConns;
    std::thread mThread;
};

class Streamer : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        ASSERT_NO_FATAL_FAILURE(mqtlink::InitCore());
        ASSERT_NO_FATAL_FAILURE(mqtlink::StartGateway());
        mqc_app_set_extra_reg_hook(noxa_ipc_register_extra_mqt_cb);
        ASSERT_EQ(0, kvs_write(CLOUD_ENC_KEY_NAME, kMediaKey.data(), 16));
        mqtlink::Activate();
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(1, 512, 25, 0, nullptr));
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr));
        mWriter = std::make_unique<Writer>();
        mSt = GetNStreamerInstance();
        ASSERT_NE(nullptr, mSt);
        NOXA_MEDIA_INFO_S info{};
        info.video_codec[0] = info.video_codec[1] = NOXA_CODEC_VIDEO_H264;
        info.video_width[0] = 1280;
        info.video_height[0] = 720;
        info.video_width[1] = 640;
        info.video_height[1] = 360;
        info.video_fps[0] = info.video_fps[1] = 25;
        info.video_freq[0] = info.video_freq[1] = 90000;
        info.audio_codec[9] = NOXA_CODEC_AUDIO_PCM;
        info.audio_sample[9] = 8000;
        info.audio_databits[9] = 16;
        ASSERT_EQ(0, mSt->ops.SetMediaSetting(&info));
        ASSERT_EQ(0, mSt->ops.RegisterCallBack(OnEvent, OnAudio));
    }
    void TearDown() override
    {
        noxa_ipc_streamer_stop_thread();
        mGateways.clear();
        mWriter.reset();
    }

    cloudsim::MediaGateway& NewGateway(uint32_t mask, cloudsim::GatewayFault mode = cloudsim::GatewayFault::None)
    {
        cloudsim::GatewayConfig c;
        c.devId = mqtlink::kDevId;
        c.localKey = mqtlink::kKey;
        c.mediaKey = kMediaKey;
        c.username = "gwuser";
        c.password = "gw-password-" + std::to_string(mGateways.size());
        c.sessionId = "session" + std::to_string(mGateways.size());
        c.mask = mask;
        c.outDir = mBox.Root();
        mGateways.push_back(std::make_unique<cloudsim::MediaGateway>(c));
        cloudsim::MediaGateway& gw = *mGateways.back();
        if (mode != cloudsim::GatewayFault::None) {
            gw.Fault(mode);
        }
        EXPECT_TRUE(gw.Start());
        return gw;
    }
    static std::string Request(const cloudsim::MediaGateway& gw, uint32_t mask)
    {
        return Request(gw.Config(), gw.Port(), mask);
    }
    static std::string Request(const cloudsim::GatewayConfig& c, uint16_t port, uint32_t mask)
    {
        return R"({"header":{"type":"start","sessionId":")" + c.sessionId + R"(","moto_id":"moto01"},)" +
               R"("msg":{"mode":"wg","host":"127.0.0.1","port":)" + std::to_string(port) +
               R"(,"username":")" + c.username + R"(","password":")" + c.password + R"(","streamType":)" +
               std::to_string(mask) + R"(,"encKeyMd5":")" + Md5Hex(kMediaKey) + R"("}})";
    }
    static int Route(const std::string& text)
    {
        cJSON* msg = cJSON_Parse(text.c_str());
        const int ret = MotoMqttMessage(msg);
        cJSON_Delete(msg);
        return ret;
    }
    // Streaming from the gateway, `frames` of each stream of the mask received.
    static bool Flowing(cloudsim::MediaGateway& gw, uint32_t mask, uint64_t frames, std::chrono::milliseconds limit = 20s)
    {
        return Eventually(
            [&] {
                cloudsim::GatewayStats s = gw.Stats();
                for (uint32_t bit = 1; bit <= 8; bit <<= 1) {
                    if ((mask & bit) != 0 && s.streams[bit].frames < frames) {
                        return false;
                    }
                }
                return s.streaming;
            },
            limit);
    }
    static uint32_t Alive()
    {
        uint32_t n = 9;
        noxa_ipc_streamer_alive_cnt(&n);
        return n;
    }

    TestSandbox mBox;
    std::unique_ptr<Writer> mWriter;
    NSTREAMER_S* mSt = nullptr;
    std::vector<std::unique_ptr<cloudsim::MediaGateway>> mGateways;
};

}  // namespace

// The whole road: the challenge both ways, every frame signed, decrypted and intact at the
// gateway, each stream from a fresh reader (video on a key frame), the events, then the gateway's
// stop.
TEST_F(Streamer, HandshakeThenEveryStreamVerifiedAndDecrypted)
{
    EXPECT_EQ(mSt, GetNStreamerInstance());
    EXPECT_EQ(0u, Alive());
    cloudsim::MediaGateway& gw = NewGateway(7);
    ASSERT_EQ(0, Route(Request(gw, 7)));
    ASSERT_TRUE(Flowing(gw, 7, 40)) << gw.Status() << LogCapture::All();
    EXPECT_EQ(1u, Alive());
    EXPECT_EQ(-938, mSt->ops.StartStreaming());
    cloudsim::GatewayStats s = gw.Stats();
    EXPECT_EQ(1u, s.connections);
    EXPECT_EQ(1u, s.auths);
    EXPECT_TRUE(s.errors.empty()) << gw.Status();
    EXPECT_GE(s.streams[2].keyFrames, 4u);
    EXPECT_TRUE(LogCapture::Logged("check server sign PASS"));
    EXPECT_TRUE(LogCapture::Logged("auth complete, 200 OK"));
    EXPECT_EQ(std::vector<int>{100}, Events());
    EXPECT_EQ(3u, gEventSource.at(0));

    ASSERT_TRUE(gw.SendStop());
    ASSERT_TRUE(Eventually([] { return Alive() == 0; }, 5s));
    EXPECT_EQ((std::vector<int>{100, 17, 101}), Events());
    ASSERT_TRUE(Eventually([&] { return !gw.Stats().connected; }, 5s));
    EXPECT_EQ(1u, gw.Stats().connections) << "a stop is no failure: no reconnect";
    EXPECT_EQ(0, mSt->ops.StartStreaming());
    for (const char* name : {"main.h264", "sub.h264", "audio.pcm"}) {
        const FileFrames f = ReadFrames(mBox.Root() + "/" + name);
        EXPECT_GE(f.count, 40) << name;
        EXPECT_EQ(std::string(name) == "audio.pcm" ? 3u : 1u, f.firstType) << name;
    }
}

// A mask from 2 to 6: the sub stream starts on a key frame from a fresh reader, the main stream
// goes on without a gap; back to 2 and to 6 again, sub starts fresh once more.
TEST_F(Streamer, MaskChangeStartsTheNewStreamFreshAndMainGoesOn)
{
    cloudsim::MediaGateway& gw = NewGateway(2);
    ASSERT_EQ(0, Route(Request(gw, 2)));
    ASSERT_TRUE(Flowing(gw, 2, 20)) << gw.Status();
    EXPECT_EQ(0u, gw.Stats().streams[4].frames);
    ASSERT_TRUE(gw.SendMask(6));
    ASSERT_TRUE(Flowing(gw, 6, 30)) << gw.Status();
    ASSERT_TRUE(LogCapture::Logged("set streamType to 6"));
    ASSERT_TRUE(gw.SendMask(2));
    std::this_thread::sleep_for(300ms);
    const uint64_t sub = gw.Stats().streams[4].frames;
    ASSERT_TRUE(gw.SendMask(6));
    ASSERT_TRUE(Flowing(gw, 4, sub + 20)) << gw.Status();
    cloudsim::GatewayStats s = gw.Stats();
    EXPECT_EQ(0u, s.streams[2].gaps) << "main read on without a reset";
    EXPECT_TRUE(s.errors.empty()) << gw.Status();  // every (re)start on a key frame, seqNo rising
    EXPECT_EQ(1u, s.connections);
}

// A stop of another session changes nothing; the matching stop ends the stream with 17 and 101.
// A new request while streaming moves the unit to the second gateway.
TEST_F(Streamer, StopsAndANewGateway)
{
    cloudsim::MediaGateway& gw1 = NewGateway(2);
    ASSERT_EQ(0, Route(Request(gw1, 2)));
    ASSERT_TRUE(Flowing(gw1, 2, 10)) << gw1.Status();
    ASSERT_EQ(0, Route(R"({"header":{"type":"stop","sessionId":"other"},"msg":{"mode":"wg"}})"));
    EXPECT_TRUE(LogCapture::Logged("receive invalid stop, ignore: other"));
    const uint64_t before = gw1.Stats().streams[2].frames;
    ASSERT_TRUE(Flowing(gw1, 2, before + 10));
    EXPECT_EQ(1u, Alive());

    cloudsim::MediaGateway& gw2 = NewGateway(6);
    ASSERT_EQ(0, Route(Request(gw2, 6)));
    ASSERT_TRUE(Flowing(gw2, 6, 10)) << gw2.Status() << LogCapture::All();
    EXPECT_FALSE(gw1.Stats().connected);
    EXPECT_EQ(1u, gw1.Stats().connections) << "the old gateway is left for good";
    EXPECT_EQ((std::vector<int>{100, 17, 101, 100}), Events());

    ASSERT_EQ(0, Route(R"({"header":{"type":"stop","sessionId":"session0"},"msg":{"mode":"wg"}})"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(1u, Alive()) << "the first gateway's session is over";
    ASSERT_EQ(0, Route(R"({"header":{"type":"stop","sessionId":"session1"},"msg":{"mode":"wg"}})"));
    ASSERT_TRUE(Eventually([] { return Alive() == 0; }, 5s));
    EXPECT_EQ((std::vector<int>{100, 17, 101, 100, 17, 101}), Events());
    EXPECT_TRUE(LogCapture::Logged("receive session stop request: session1"));
}

// Each misbehaviour of a live gateway: a bad frame signature or a ciphertext that does not decrypt
// is dropped and nothing else changes; a 60-byte command, a length over the receive buffer, an
// unknown type and a closed connection restart the connection, which authenticates again.
TEST_F(Streamer, GatewayMisbehaviour)
{
    cloudsim::MediaGateway& gw = NewGateway(2);
    ASSERT_EQ(0, Route(Request(gw, 2)));
    ASSERT_TRUE(Flowing(gw, 2, 10)) << gw.Status();
    const struct {
        cloudsim::GatewayFault fault;
        bool restarts;
        const char* log;
    } rows[] = {
        {cloudsim::GatewayFault::BadFrameSign, false, "Signature error!"},
        {cloudsim::GatewayFault::BadCipher, false, "audio frame does not decrypt, dropped"},
        {cloudsim::GatewayFault::Command60, true, "frame len error!!!!"},
        {cloudsim::GatewayFault::Length5000, true, "frame len error!!!! 5000"},
        {cloudsim::GatewayFault::UnknownType, true, "receive unknown frame type 9"},
        {cloudsim::GatewayFault::Close, true, "service stopped by server!"},
    };
    for (const auto& r : rows) {
        const cloudsim::GatewayStats before = gw.Stats();
        const size_t events = Events().size();
        const int logged = LogCapture::Count(r.log);
        EXPECT_NE("no unit connected", gw.Fault(r.fault)) << r.log;
        ASSERT_TRUE(Eventually([&] { return LogCapture::Count(r.log) > logged; }, 5s)) << r.log;
        if (r.restarts) {
            ASSERT_TRUE(Eventually([&] { return gw.Stats().auths == before.auths + 1 && Events().size() == events + 3; },
                                   10s))
                << r.log;
            EXPECT_EQ(before.connections + 1, gw.Stats().connections) << r.log;
            const std::vector<int> all = Events();
            EXPECT_EQ((std::vector<int>{17, 101, 100}), std::vector<int>(all.begin() + events, all.end())) << r.log;
        } else {
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(before.connections, gw.Stats().connections) << r.log;
            EXPECT_EQ(events, Events().size()) << r.log;
            EXPECT_EQ(2u, mSt->streamType.load()) << r.log;
        }
        ASSERT_TRUE(Flowing(gw, 2, gw.Stats().streams[2].frames + 10)) << r.log;
    }
    EXPECT_TRUE(gw.Stats().errors.empty()) << gw.Status();
    std::lock_guard<std::mutex> lock(gEvLock);
    EXPECT_TRUE(gAudio.empty()) << "a frame failing its signature or its decryption reaches nobody";
}

// A gateway that cannot prove itself is never answered and no stream starts.
TEST_F(Streamer, WrongServerSignatureIsNotAnswered)
{
    cloudsim::MediaGateway& gw = NewGateway(2, cloudsim::GatewayFault::BadServerSign);
    ASSERT_EQ(0, Route(Request(gw, 2)));
    ASSERT_TRUE(LogCapture::LoggedSoon("sign not match"));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(0u, gw.Stats().auths);
    EXPECT_TRUE(gw.Stats().errors.empty()) << gw.Status();
    EXPECT_TRUE(Events().empty());
}

// A gateway that refuses with 401: reconnects after 100 ms, then 200, 400... up to 30 s on the
// test clock, and no stop events for streams that never started. A new request starts over.
TEST_F(Streamer, RefusedAuthBacksOffOnTheTestClock)
{
    UniTestClock clock;
    cloudsim::MediaGateway& gw = NewGateway(2, cloudsim::GatewayFault::Refuse401);
    ASSERT_EQ(0, Route(Request(gw, 2)));
    ASSERT_TRUE(Eventually([&] { return gw.Stats().connections == 1 && LogCapture::Logged("reconnect in 100 ms"); },
                           10s));
    uint32_t delay = 100;
    for (int i = 0; i < 12; ++i) {
        const uint32_t n = gw.Stats().connections;
        clock.Advance(delay - 1);
        std::this_thread::sleep_for(150ms);
        ASSERT_EQ(n, gw.Stats().connections) << "before " << delay << " ms";
        clock.Advance(1);
        ASSERT_TRUE(Eventually([&] { return gw.Stats().connections == n + 1; }, 10s)) << delay;
        delay = std::min(delay * 2, 30000u);
        ASSERT_TRUE(LogCapture::LoggedSoon("reconnect in " + std::to_string(delay) + " ms")) << delay;
    }
    EXPECT_EQ(30000u, delay);
    EXPECT_TRUE(Events().empty()) << "nothing started, nothing stopped";
    gw.Fault(cloudsim::GatewayFault::None);
    cloudsim::MediaGateway& gw2 = NewGateway(2);
    ASSERT_EQ(0, Route(Request(gw2, 2)));
    ASSERT_TRUE(Eventually([&] { return gw2.Stats().auths == 1; }, 10s)) << "a new request does not wait";
}

// Talk-back: the speaker on (16), each frame decrypted to the audio callback with the format the
// gateway gave, the speaker off (17).
TEST_F(Streamer, TalkBackReachesTheAudioCallback)
{
    cloudsim::MediaGateway& gw = NewGateway(1);
    ASSERT_EQ(0, Route(Request(gw, 1)));
    ASSERT_TRUE(Flowing(gw, 1, 5)) << gw.Status();
    std::vector<int16_t> pcm(8000 / 5);  // 200 ms: five frames
    for (size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<int16_t>((i * 397) % 20000 - 10000);
    }
    const std::string wav = mBox.Root() + "/talk.wav";
    WriteWav(wav, pcm);
    ASSERT_EQ("", gw.Talk(wav));
    ASSERT_TRUE(Eventually([] { return CountOf(17) == 1; }, 5s));
    EXPECT_EQ((std::vector<int>{100, 16, 17}), Events());
    std::lock_guard<std::mutex> lock(gEvLock);
    ASSERT_EQ(5u, gAudio.size());
    std::string law;
    for (const Heard& h : gAudio) {
        EXPECT_EQ(105u, h.codec);
        EXPECT_EQ(8000u, h.sample);
        EXPECT_EQ(16u, h.bits);
        EXPECT_EQ(0u, h.channels);
        EXPECT_EQ(3u, h.source);
        law += h.bytes;
    }
    ASSERT_EQ(pcm.size(), law.size());
    for (size_t i = 0; i < pcm.size(); ++i) {
        ASSERT_EQ(cloudsim::MulawEncode(pcm[i]), static_cast<uint8_t>(law[i])) << i;
    }
}

// Requests that are refused before the thread sees them: missing or mistyped fields, values
// longer than their fields (each at its longest accepted), and a paused streamer.
TEST_F(Streamer, RequestsAreCheckedWholeBeforeTheyAreTaken)
{
    noxa_ipc_streamer_stop_thread();  // nothing takes the requests: they stay to be looked at
    mSt->request.store(NSTREAM_REQ_NONE);
    auto req = [](const std::string& host, const std::string& user, const std::string& pass,
                  const std::string& session, const std::string& moto, const std::string& port = "9000") {
        return R"({"header":{"sessionId":")" + session + R"(","moto_id":")" + moto +
               R"("},"msg":{"mode":"wg","host":")" + host + R"(","port":)" + port + R"(,"username":")" + user +
               R"(","password":")" + pass + R"(","streamType":3}})";
    };
    const std::string h255(255, 'h'), u32(32, 'u'), p32(32, 'p'), s32(32, 's'), m143(143, 'm');
    const struct {
        std::string msg;
        int ret;
    } rows[] = {
        {req(h255 + "h", u32, p32, s32, m143), -2},
        {req(h255, u32 + "u", p32, s32, m143), -2},
        {req(h255, u32, p32 + "p", s32, m143), -2},
        {req(h255, u32, p32, s32 + "s", m143), -2},
        {req(h255, u32, p32, s32, m143 + "m"), -2},
        {req(h255, u32, p32, s32, m143, "\"9000\""), -2},
        {req(h255, u32, p32, s32, m143, "null"), -2},
        {req(h255, u32, p32, s32, m143, "70000"), -2},
        {R"({"header":{"sessionId":"s"},"msg":{"mode":"wg","host":"h","port":1,"username":5,"password":"p","streamType":1}})", -2},
        {R"({"header":{"sessionId":"s"},"msg":{"mode":"wg","host":"h","port":1,"username":"u","password":"p"}})", -2},
        {R"({"msg":{"mode":"wg"}})", -2},
        {req(h255, u32, p32, s32, m143), 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.ret, Route(r.msg)) << r.msg;
        EXPECT_EQ(r.ret == 0 ? 1u : 0u, mSt->request.load()) << r.msg;
    }
    EXPECT_TRUE(LogCapture::Logged("mqtt message format error"));
    EXPECT_EQ(h255, std::string(mSt->pending.host));
    EXPECT_EQ(s32, std::string(mSt->pending.sessionId));
    EXPECT_EQ(m143, std::string(mSt->pending.motoId));
    EXPECT_EQ(9000u, mSt->pending.port);
    EXPECT_EQ(-2, ProcessMqttMessage(nullptr));

    mSt->request.store(NSTREAM_REQ_NONE);
    ASSERT_EQ(0, mSt->ops.PauseStreaming());
    EXPECT_EQ(0, Route(req("h", "u", "p", "s", "m")));
    EXPECT_EQ(0u, mSt->request.load());
    EXPECT_TRUE(LogCapture::Logged("streamer is paused!"));
    ASSERT_EQ(0, mSt->ops.ResumeStreaming());

    NOXA_PACKAGER_S* pk = GetPackagerInstance(5, 6);
    EXPECT_EQ(pk, mSt->packager);
    EXPECT_EQ(0u, pk->arg0);
    EXPECT_EQ(-3, pk->ops.Pack());
}

// The skill the cloud learns the gateway's streams from, read as the cloud reads it: the stream
// type of each video entry brings the frames of the channel of that size, and the audio entry is
// the format of the frames the audio stream brings.
TEST_F(Streamer, CloudGatewaySkills)
{
    ASSERT_EQ(0, mSt->ops.FillCloudGwSkills());
    EXPECT_EQ(1, noxa_ipc_skill_value(NOXA_SKILL_CLOUD_GW));
    char text[NOXA_SKILL_TEXT_MAX + 1];
    noxa_ipc_skill_text(text, sizeof text);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> skill(cJSON_Parse(("{" + std::string(text) + "}").c_str()),
                                                          cJSON_Delete);
    ASSERT_TRUE(cJSON_IsObject(skill.get())) << text;
    auto number = [](const cJSON* o, const char* key) {
        return static_cast<int>(cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(o, key)));
    };
    // The test's encoder: frames of 3000 to 3600 bytes on the 1280x720 channel, of 1200 to 1400
    // on the 640x360 one; 640-byte audio frames, 40 ms each.
    struct Channel {
        int width, height;
        uint32_t least, most;
    };
    const Channel channels[] = {{1280, 720, 3000, 3600}, {640, 360, 1200, 1400}};
    const char* const files[] = {"", "audio.pcm", "main.h264", "", "sub.h264"};  // the gateway's, by stream bit
    const cJSON* videos = cJSON_GetObjectItemCaseSensitive(skill.get(), "videos");
    ASSERT_EQ(2, cJSON_GetArraySize(videos)) << text;
    std::vector<std::pair<uint32_t, const Channel*>> announced;
    uint32_t mask = 1;
    for (const cJSON* v = videos->child; v != nullptr; v = v->next) {
        EXPECT_EQ(NOXA_CODEC_VIDEO_H264, number(v, "codecType")) << text;
        EXPECT_EQ(90000, number(v, "sampleRate")) << text;
        const Channel* ch = nullptr;
        for (const Channel& c : channels) {
            ch = c.width == number(v, "width") && c.height == number(v, "height") ? &c : ch;
        }
        ASSERT_NE(nullptr, ch) << "no channel of the size announced: " << text;
        const uint32_t type = static_cast<uint32_t>(number(v, "streamType"));
        ASSERT_TRUE(type == 2 || type == 4) << text;
        announced.emplace_back(type, ch);
        mask |= type;
    }
    ASSERT_EQ(7u, mask) << "two video streams of their own: " << text;
    const cJSON* audio = cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(skill.get(), "audios"), 0);
    EXPECT_EQ(NOXA_CODEC_AUDIO_PCM, number(audio, "codecType")) << text;
    const int audioBytes = number(audio, "sampleRate") * number(audio, "dataBit") / 8 * number(audio, "channels") / 25;

    cloudsim::MediaGateway& gw = NewGateway(mask);
    ASSERT_EQ(0, Route(Request(gw, mask)));
    ASSERT_TRUE(Flowing(gw, mask, 20)) << gw.Status();
    ASSERT_TRUE(gw.SendStop());
    ASSERT_TRUE(Eventually([&] { return !gw.Stats().connected; }, 5s));
    for (const auto& [type, ch] : announced) {
        const FileFrames f = ReadFrames(mBox.Root() + "/" + files[type]);
        ASSERT_GE(f.count, 20) << "stream type " << type;
        EXPECT_GE(f.smallest, ch->least) << "stream type " << type << " is not the " << ch->width << "x" << ch->height;
        EXPECT_LE(f.largest, ch->most) << "stream type " << type << " is not the " << ch->width << "x" << ch->height;
    }
    const FileFrames a = ReadFrames(mBox.Root() + "/" + files[1]);
    ASSERT_GE(a.count, 20);
    EXPECT_EQ(static_cast<uint32_t>(audioBytes), a.smallest);
    EXPECT_EQ(static_cast<uint32_t>(audioBytes), a.largest);
}

// The request comes over the cloud link on "/av/d/<devId>", also after the broker restarted.
TEST_F(Streamer, RequestArrivesOverTheLinkAlsoAfterABrokerRestart)
{
    mqtlink::Link link;
    ASSERT_TRUE(link.Start());
    ASSERT_TRUE(Eventually([&] { return mSt->moto->topicBooked.load() == 1; }, 10s));
    cloudsim::MediaGateway& gw = NewGateway(2);
    const std::string topic = "/av/d/" + mqtlink::kDevId;
    link.Cloud().Send(312, Request(gw, 2), topic);
    ASSERT_TRUE(Flowing(gw, 2, 5)) << LogCapture::All();
    // Answers go to the requester's moto topic.
    link.Cloud().Subscribe("/av/moto/moto01/d/" + mqtlink::kDevId);
    const size_t from = link.Cloud().Count();
    EXPECT_EQ(0, mSt->ops.PublishMotoMessage(R"({"mode":"wg","state":"streaming"})"));
    const cloudpeer::Decoded answer = link.Cloud().WaitProtocol(312, from);
    EXPECT_TRUE(answer.ok);
    EXPECT_EQ(R"({"mode":"wg","state":"streaming"})", answer.data);
    EXPECT_EQ(-2, mSt->ops.PublishMotoMessage("no json"));

    link.Broker().Stop();
    ASSERT_TRUE(Eventually([] { return mqc_app_online() == 0; }, 20s));
    ASSERT_TRUE(link.Broker().Start());
    ASSERT_TRUE(mqtlink::Link::WaitOnline());
    cloudsim::MediaGateway& gw2 = NewGateway(2);
    ASSERT_TRUE(Eventually(
        [&] {
            link.Cloud().Send(312, Request(gw2, 2), topic);
            return Eventually([&] { return gw2.Stats().connections > 0; }, 1s);
        },
        20s))
        << LogCapture::All();
    ASSERT_TRUE(Flowing(gw2, 2, 5));
}

// The viewers' module starts the streamer: its events reach the application's event callback with
// word 0 = 3, its talk-back the application's hook, it counts as an online viewer, its skills are
// set, and protocol 302 goes to the module's signalling callback.
TEST_F(Streamer, TheViewersModuleRoutesTheStreamAsAViewer)
{
    NOXA_P2P_TRANSFER_PARAM_S p{};
    p.on_rev_audio_cb = AppTalk;
    p.on_event_cb = AppEvent;
    p.max_client_num = 2;
    p.media_info.video_width[0] = 1280;
    ASSERT_EQ(0, noxa_ipc_tranfser_init(&p));
    EXPECT_EQ(1, noxa_ipc_skill_value(NOXA_SKILL_CLOUD_GW));
    EXPECT_EQ(51, noxa_ipc_skill_value(NOXA_SKILL_WEBRTC));
    EXPECT_EQ(0, noxa_ipc_get_online_client_cnt());
    cloudsim::MediaGateway& gw = NewGateway(1);
    ASSERT_EQ(0, Route(Request(gw, 1)));
    ASSERT_TRUE(Flowing(gw, 1, 5)) << gw.Status();
    EXPECT_EQ(1, noxa_ipc_get_online_client_cnt());
    EXPECT_EQ(0, noxa_ipc_get_watching_client_cnt()) << "no viewer of the module watches";
    WriteWav(mBox.Root() + "/talk.wav", std::vector<int16_t>(640, 1000));
    ASSERT_EQ("", gw.Talk(mBox.Root() + "/talk.wav"));
    ASSERT_TRUE(gw.SendStop());
    ASSERT_TRUE(Eventually([] { return noxa_ipc_get_online_client_cnt() == 0; }, 5s));
    {
        std::lock_guard<std::mutex> lock(gEvLock);
        const std::vector<std::pair<int, uint32_t>> want = {{100, 3}, {16, 3}, {17, 3}, {17, 3}, {101, 3}};
        EXPECT_EQ(want, gAppEvents);
        ASSERT_EQ(2u, gAppTalk.size());
        EXPECT_EQ(105u, gAppTalk[0].audio_codec);
        EXPECT_EQ(8000u, gAppTalk[0].audio_sample);
        EXPECT_EQ(320u, gAppTalk[0].buf_len);
        EXPECT_EQ(std::string(640, static_cast<char>(cloudsim::MulawEncode(1000))), gAppTalkBytes);
    }
    cJSON* rtc = cJSON_Parse(R"({"protocol":302,"t":1,"data":{"sdp":"x"}})");
    EXPECT_EQ(0, noxa_ipc_rtc_msg_parse(rtc));
    cJSON_Delete(rtc);
    EXPECT_TRUE(LogCapture::LoggedSoon("rtc signalling for"));
    noxa_ipc_tranfser_deinit();
}

// Paused (privacy mode), the stream ends and requests are ignored; resumed, a request streams.
TEST_F(Streamer, PauseEndsTheStreamAndIgnoresRequests)
{
    cloudsim::MediaGateway& gw = NewGateway(2);
    ASSERT_EQ(0, Route(Request(gw, 2)));
    ASSERT_TRUE(Flowing(gw, 2, 5)) << gw.Status();
    ASSERT_EQ(0, mSt->ops.PauseStreaming());
    ASSERT_TRUE(Eventually([] { return Alive() == 0; }, 5s));
    EXPECT_EQ((std::vector<int>{100, 17, 101}), Events());
    cloudsim::MediaGateway& gw2 = NewGateway(2);
    EXPECT_EQ(0, Route(Request(gw2, 2)));
    EXPECT_TRUE(LogCapture::Logged("streamer is paused!"));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(0u, gw2.Stats().connections);
    ASSERT_EQ(0, mSt->ops.ResumeStreaming());
    ASSERT_EQ(0, Route(Request(gw2, 2)));
    ASSERT_TRUE(Flowing(gw2, 2, 5)) << gw2.Status();
}

// The host "local": the stream as it would go out, into a file of the board, from a key frame.
TEST_F(Streamer, LocalHostWritesTheStreamIntoTheBoard)
{
    const std::string req = R"({"header":{"sessionId":"loc"},"msg":{"mode":"wg","host":"local","port":0,)"
                            R"("username":"u","password":"p","streamType":2}})";
    ASSERT_EQ(0, Route(req));
    const std::string path = mBox.Root() + "/tmp/nstreamer_local.bin";
    std::string bytes;
    ASSERT_TRUE(Eventually(
        [&] {
            std::ifstream in(path, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            return bytes.size() > 20000;
        },
        10s))
        << LogCapture::All();
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
               (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint8_t(bytes[at + 3]);
    };
    EXPECT_EQ(1u, be32(0));
    EXPECT_EQ(1u, be32(4)) << "a key frame first";
    EXPECT_EQ(2u, be32(28)) << "the main stream";
    size_t frames = 0;
    for (size_t at = 0; at + 28 <= bytes.size() && be32(at) == 1; at += 28 + be32(at + 8)) {
        ++frames;
    }
    EXPECT_GE(frames, 5u);
    ASSERT_EQ(0, Route(R"({"header":{"type":"stop","sessionId":"loc"},"msg":{"mode":"wg"}})"));
    ASSERT_TRUE(Eventually([] { return Alive() == 0; }, 5s));
}

// The local file is bounded: whole frames up to the bound, then the diagnostics end, logged once.
TEST_F(Streamer, LocalHostFileStopsAtItsBound)
{
    EXPECT_EQ(2u * 1024 * 1024, mSt->localFileMax.load()) << "the unit's /tmp is RAM";
    mSt->localFileMax.store(64 * 1024);
    const std::string req = R"({"header":{"sessionId":"loc"},"msg":{"mode":"wg","host":"local","port":0,)"
                            R"("username":"u","password":"p","streamType":3}})";
    ASSERT_EQ(0, Route(req));
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("local stream file full at "); }, 10s))
        << LogCapture::All();
    ASSERT_TRUE(Eventually([] { return Alive() == 0; }, 5s));
    const std::string path = mBox.Root() + "/tmp/nstreamer_local.bin";
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_LE(bytes.size(), 64u * 1024);
    EXPECT_GT(bytes.size(), 64u * 1024 - 4000) << "filled up to a frame's size";
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
               (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint8_t(bytes[at + 3]);
    };
    size_t at = 0;
    while (at + 28 <= bytes.size() && be32(at) == 1) {
        at += 28 + be32(at + 8);
    }
    EXPECT_EQ(bytes.size(), at) << "whole frames only";
    std::this_thread::sleep_for(500ms);
    std::ifstream again(path, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<std::streamoff>(bytes.size()), static_cast<std::streamoff>(again.tellg()));
    EXPECT_EQ(1, LogCapture::Count("local stream file full at "));
}

// A gateway that accepts and never answers the challenge holds the unit for the handshake bound
// only: the connection is closed, then tried again with the back-off (100 ms, 200 ms, ...). No
// stream started, so none is reported stopped.
TEST_F(Streamer, SilentGatewayIsLeftAfterTheHandshakeBound)
{
    EXPECT_EQ(10000u, mSt->handshakeMs.load());
    EXPECT_EQ(30000u, mSt->stallMs.load());
    mSt->handshakeMs.store(1000);
    SilentGateway gw;
    cloudsim::GatewayConfig c;
    c.username = "gwuser";
    c.password = "gw-password";
    c.sessionId = "silent";
    ASSERT_EQ(0, Route(Request(c, gw.Port(), 2)));
    ASSERT_TRUE(Eventually([&] { return gw.Connections().size() >= 3; }, 15s)) << LogCapture::All();
    const std::vector<SilentGateway::Times> t = gw.Connections();
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_NE(0, t[i].closed) << i;
        EXPECT_GE(t[i].closed - t[i].opened, 900) << i;
        EXPECT_LT(t[i].closed - t[i].opened, 3000) << i;
    }
    EXPECT_GE(t[1].opened - t[0].closed, 50) << "the back-off";
    EXPECT_GE(t[2].opened - t[1].closed, 150) << "the back-off doubled";
    EXPECT_TRUE(LogCapture::Logged("no handshake answer within 1000 ms"));
    EXPECT_TRUE(Events().empty());
    ASSERT_EQ(0, Route(R"({"header":{"type":"stop","sessionId":"silent"},"msg":{"mode":"wg"}})"));
    ASSERT_TRUE(Eventually([] { return Alive() == 0; }, 5s));
}

// A gateway frozen in the middle of a talk-back (it reads and sends nothing more, as a stopped
// process, while its socket still takes the unit's frames): once no audio came for the bound the
// talk ends and the link with it, so the unit's stream is reported stopped within the bound; the
// frozen gateway is then left after the handshake bound of each new try.
TEST_F(Streamer, GatewayFrozenMidTalkEndsTheTalkAndTheLink)
{
    mSt->stallMs.store(1500);
    mSt->handshakeMs.store(1000);
    cloudsim::MediaGateway& gw = NewGateway(7);
    ASSERT_EQ(0, Route(Request(gw, 7)));
    ASSERT_TRUE(Flowing(gw, 7, 10)) << gw.Status();
    const std::string wav = mBox.Root() + "/talk.wav";
    WriteWav(wav, std::vector<int16_t>(8000 * 20, 1000));  // 20 s
    std::thread talker([&] { gw.Talk(wav); });
    struct Joined {
        std::thread& t;
        ~Joined() { t.join(); }  // the frozen gateway's talk ends at its next frame
    } joined{talker};
    ASSERT_TRUE(Eventually(
        [] {
            std::lock_guard<std::mutex> lock(gEvLock);
            return gAudio.size() >= 5;
        },
        5s));
    gw.Fault(cloudsim::GatewayFault::Freeze);
    const auto frozen = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([] { return CountOf(101) == 1; }, 10s)) << LogCapture::All();
    const auto stopped = std::chrono::steady_clock::now() - frozen;
    EXPECT_GE(stopped, 1400ms);
    EXPECT_LT(stopped, 3500ms);
    EXPECT_TRUE(LogCapture::Logged("no talk-back audio for 1500 ms: speaker off, link dropped"));
    EXPECT_EQ((std::vector<int>{100, 16, 17, 17, 101}), Events());
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("no handshake answer within 1000 ms"); }, 5s))
        << "the frozen gateway takes the new connection and never answers";
    EXPECT_EQ(1u, gw.Stats().auths);
}

// A gateway frozen while the unit streams to it: once its socket takes nothing more (a send queue
// of 64 KB fills in seconds) and the bound has passed, the link is dropped and the stream reported
// stopped.
TEST_F(Streamer, GatewayFrozenWhileStreamingIsLeft)
{
    mSt->stallMs.store(1500);
    cloudsim::MediaGateway& gw = NewGateway(7);
    ASSERT_EQ(0, Route(Request(gw, 7)));
    ASSERT_TRUE(Flowing(gw, 7, 10)) << gw.Status();
    gw.Fault(cloudsim::GatewayFault::Freeze);
    const auto frozen = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([] { return CountOf(101) == 1; }, 30s)) << LogCapture::All();
    const auto stopped = std::chrono::steady_clock::now() - frozen;
    EXPECT_GE(stopped, 1400ms);
    EXPECT_TRUE(LogCapture::Logged("no progress on the link for 1500 ms"));
    EXPECT_EQ((std::vector<int>{100, 17, 101}), Events());
}

// A stream whose mask goes to 0 sends nothing and holds no monitor: its stop is told (101), and
// its start again when a stream is asked for. A gateway left quiet at mask 0 is never cut; one
// that then vanishes (its connection acknowledges nothing, as a host that is gone: a socket filter
// at the gateway, since a stopped process on loopback still answers the kernel's probes) is found
// by the keep-alive and left within its bound (idle 1 s + 2 probes 1 s apart), then tried again.
TEST_F(Streamer, MaskZeroReleasesTheMonitorAndAVanishedGatewayIsFoundByKeepAlive)
{
    EXPECT_EQ(30u, mSt->keepIdleS.load());
    EXPECT_EQ(5u, mSt->keepIntvlS.load());
    EXPECT_EQ(3u, mSt->keepCnt.load());
    mSt->keepIdleS.store(1);
    mSt->keepIntvlS.store(1);
    mSt->keepCnt.store(2);
    mSt->stallMs.store(1500);
    mSt->handshakeMs.store(1000);
    cloudsim::MediaGateway& gw = NewGateway(2);
    ASSERT_EQ(0, Route(Request(gw, 2)));
    ASSERT_TRUE(Flowing(gw, 2, 5)) << gw.Status();
    ASSERT_TRUE(gw.SendMask(0));
    ASSERT_TRUE(Eventually([] { return CountOf(101) == 1; }, 5s)) << LogCapture::All();
    EXPECT_EQ((std::vector<int>{100, 101}), Events());
    ASSERT_TRUE(gw.SendMask(2));
    ASSERT_TRUE(Eventually([] { return CountOf(100) == 2; }, 5s));
    ASSERT_TRUE(Flowing(gw, 2, gw.Stats().streams[2].frames + 5)) << gw.Status();
    ASSERT_TRUE(gw.SendMask(0));
    ASSERT_TRUE(Eventually([] { return CountOf(101) == 2; }, 5s));
    // Quiet, alive, past the stall bound: kept, and told nothing more.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(1u, gw.Stats().connections);
    EXPECT_TRUE(gw.Stats().connected);
    EXPECT_EQ(1u, Alive());
    EXPECT_EQ((std::vector<int>{100, 101, 100, 101}), Events());

    ASSERT_EQ("vanished", gw.Fault(cloudsim::GatewayFault::Vanish));
    const auto gone = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("no answer to keep-alive: the gateway is gone"); }, 15s))
        << LogCapture::All();
    const auto found = std::chrono::steady_clock::now() - gone;
    EXPECT_GE(found, 1500ms) << "a probe left unanswered is not a loss yet";
    EXPECT_LT(found, 6s);
    EXPECT_TRUE(LogCapture::Logged("reconnect in 100 ms"));
    // The frozen gateway's kernel still takes the new connection, which is never answered.
    ASSERT_TRUE(Eventually([] { return LogCapture::Count("connect success, ready to start auth") == 2; }, 5s))
        << "tried again as after any loss";
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("no handshake answer within 1000 ms"); }, 5s));
    EXPECT_EQ((std::vector<int>{100, 101, 100, 101}), Events()) << "a stop already told is not told twice";
}

// The first frames of a stream are of now: video starts on a key frame under one frame old, or on
// the next one to come, never on one the ring has held for a while (a start seconds in the past).
// The test's encoder sends a key frame, then inter frames for 300 ms before the request, and the
// next key frame 200 ms after the start is told.
TEST_F(Streamer, FirstFramesOfAStreamAreNotOlderThanAFrameTime)
{
    mWriter.reset();
    std::mutex lock;
    std::map<uint32_t, int64_t> appendedMs;  // the test frame's number -> wall ms of its append
    std::atomic<bool> key{true};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        uint32_t n = 1000;
        while (!stop.load()) {
            const uint32_t type = key.exchange(false) ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P;
            const uint64_t pts = uni_time_get_posix_ms() * 1000;
            const std::vector<uint8_t> v = ringtest::MakeFrame(++n, type, 3000);
            const std::vector<uint8_t> a = ringtest::MakeFrame(n, MEDIA_FRAME_TYPE_AUDIO, 640);
            noxa_ipc_ring_buffer_append_data(0, v.data(), 3000, type, pts);
            noxa_ipc_ring_buffer_append_data(9, a.data(), 640, MEDIA_FRAME_TYPE_AUDIO, pts);
            {
                std::lock_guard<std::mutex> g(lock);
                appendedMs[n] = static_cast<int64_t>(uni_time_get_posix_ms());
            }
            std::this_thread::sleep_for(40ms);
        }
    });
    struct Joined {
        std::atomic<bool>& stop;
        std::thread& t;
        ~Joined()
        {
            stop.store(true);
            t.join();
        }
    } joined{stop, writer};
    std::this_thread::sleep_for(300ms);
    cloudsim::MediaGateway& gw = NewGateway(3);
    ASSERT_EQ(0, Route(Request(gw, 3)));
    ASSERT_TRUE(Eventually([] { return gStartedMs.load() != 0; }, 10s)) << LogCapture::All();
    std::this_thread::sleep_for(200ms);
    key.store(true);
    ASSERT_TRUE(Flowing(gw, 3, 10)) << gw.Status();
    ASSERT_TRUE(gw.SendStop());
    ASSERT_TRUE(Eventually([&] { return !gw.Stats().connected; }, 5s));
    EXPECT_TRUE(gw.Stats().errors.empty()) << gw.Status();
    const int64_t started = gStartedMs.load();
    // Audio starts on the newest frame whatever its age (the writer's pace); video is checked.
    EXPECT_GE(ReadFrames(mBox.Root() + "/audio.pcm").count, 10);
    for (const char* name : {"main.h264"}) {
        const FileFrames f = ReadFrames(mBox.Root() + "/" + name);
        ASSERT_GE(f.count, 10) << name;
        std::lock_guard<std::mutex> g(lock);
        ASSERT_EQ(1u, appendedMs.count(f.firstSeq)) << name << " " << f.firstSeq;
        EXPECT_GE(appendedMs[f.firstSeq], started - 40) << name << ": the first frame was appended "
                                                        << started - appendedMs[f.firstSeq]
                                                        << " ms before the stream started";
    }
    EXPECT_EQ(1u, ReadFrames(mBox.Root() + "/main.h264").firstType);
}

// Without the media key and with its fetch failing, a new request asks the cloud once, at once;
// the reconnects that follow (no challenge can be encrypted) keep to the wait after that failure
// instead of each holding the thread for a fetch.
TEST_F(Streamer, ReconnectsKeepToTheMediaKeyWait)
{
    // The thread has taken the encryptor (with the stored key) before the key goes.
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("use key :"); }, 10s)) << LogCapture::All();
    ASSERT_EQ(0, kvs_delete(CLOUD_ENC_KEY_NAME));
    noxa_ipc_encrypt_reset();
    const int fetches = LogCapture::Count("media key fetch fails");
    cloudsim::MediaGateway& gw = NewGateway(2);
    ASSERT_EQ(0, Route(Request(gw, 2)));
    ASSERT_TRUE(Eventually([] { return LogCapture::Logged("reconnect in 800 ms"); }, 20s)) << LogCapture::All();
    EXPECT_GE(LogCapture::Count("connect to 127.0.0.1"), 4);
    EXPECT_EQ(fetches + 1, LogCapture::Count("media key fetch fails")) << LogCapture::All();
    EXPECT_TRUE(LogCapture::Logged("next try in 10 s"));
    EXPECT_TRUE(Events().empty());
    ASSERT_EQ(0, Route(R"({"header":{"type":"stop","sessionId":"session0"},"msg":{"mode":"wg"}})"));
    ASSERT_TRUE(Eventually([] { return Alive() == 0; }, 5s));
}
