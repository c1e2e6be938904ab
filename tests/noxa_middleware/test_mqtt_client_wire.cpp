// The MQTT client against a broker played by the test, packet by packet, on a loopback port:
// the bytes of CONNECT and SUBSCRIBE, packets that share or split receives, payloads that fill or
// overflow the receive buffer, a stream sent packet by packet, refusals and the back-off, keepalive and QoS 1 time-outs on the
// test clock, topic booking, and quit and delete while the task waits.
#include "noxa_middleware/mqtt/mqtt_client.h"

#include "mqtt_test_util.h"
#include "net_peers.h"
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/sys_serv/sys_timer.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"

#include <algorithm>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace mqtttest;

namespace {

constexpr const char* kTopic = "smart/device/in/dev1";
constexpr uint16_t kKeepalive = 30;

// Every timer due at the current test time has run once this returns: the system timer runs a
// pass's due timers in id order, and this probe is the newest timer.
std::atomic<int> s_probeRuns{0};
void ProbeCb(TIMER_ID, void*)
{
    ++s_probeRuns;
}
void TimerBarrier()
{
    TIMER_ID id = 0;
    ASSERT_EQ(0, sys_add_timer(ProbeCb, nullptr, &id));
    int before = s_probeRuns.load();
    ASSERT_EQ(0, sys_start_timer(id, 0, TIMER_ONCE));
    auto end = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (s_probeRuns.load() == before && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_NE(before, s_probeRuns.load()) << "the system timer stopped";
    sys_delete_timer(id);
}

MQ_HANDLE g_handle = nullptr;

class MqttWire : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, StartServices());
        mThreadsBefore = ThreadCount();
    }
    void TearDown() override
    {
        if (mH != nullptr) {
            EXPECT_EQ(0, delete_mqtt_hand(mH));
        }
        g_handle = nullptr;
        if (HasFailure()) {
            Rec().DumpLog();
        }
    }

    void Create(std::vector<const char*> hosts = {netpeer::kHost}, uint16_t keepalive = kKeepalive)
    {
        MQ_CLIENT_INFO_S info = {kTopic, "dev1", "u1", "p1"};
        ASSERT_EQ(0, create_mqtt_hand(hosts.data(), static_cast<uint8_t>(hosts.size()), mBroker.Port(), 0, &info,
                                      keepalive, OnRecv, &mH));
        g_handle = mH;
    }
    void Start(bool withPermit = false)
    {
        RegisterAll(mH, withPermit);
        ASSERT_EQ(0, mqtt_client_start(mH, "mq_test"));
    }
    // Created (unless it was), started, subscribed, online.
    void Online(uint16_t keepalive = kKeepalive)
    {
        if (mH == nullptr) {
            Create({netpeer::kHost}, keepalive);
        }
        Start();
        ASSERT_FALSE(mBroker.Handshake().empty());
        ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected >= 1; }));
    }
    // The back-off line number n: its sleep time, after checking it against the range.
    long Backoff(int n)
    {
        EXPECT_TRUE(Rec().WaitLog("and sleeptime:", n));
        auto lines = Rec().LogLines("and sleeptime:");
        if (lines.size() < static_cast<size_t>(n)) {
            return 0;
        }
        const std::string& line = lines[static_cast<size_t>(n) - 1];
        long count = NumberAfter(line, "fail_cnt:");
        long ms = NumberAfter(line, "sleeptime:");
        EXPECT_GE(ms, 1000) << line;
        EXPECT_LE(ms, std::min(count * 1000 + 5000 + 999, 300000L)) << line;
        return ms;
    }
    void Up(const std::string& payload, uint8_t qos, intptr_t arg, MQ_PUB_CB cb = OnPub, uint32_t timeoutS = 0)
    {
        ASSERT_EQ(0, mqtt_publish_async(mH, kTopic, qos, reinterpret_cast<const uint8_t*>(payload.data()),
                                        static_cast<uint32_t>(payload.size()), timeoutS, cb, reinterpret_cast<void*>(arg)));
    }
    bool WaitReceived(size_t n) { return Rec().WaitFor([n](Recorder& r) { return r.received.size() >= n; }); }
    bool WaitPubResults(size_t n) { return Rec().WaitFor([n](Recorder& r) { return r.pubResults.size() >= n; }); }
    // Every thread the client started has ended.
    bool WaitThreadsBack()
    {
        auto end = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (ThreadCount() > mThreadsBefore && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // At most as many as before: a thread of an earlier test of the process may end meanwhile.
        return ThreadCount() <= mThreadsBefore;
    }

    UniTestClock mClock{NextClockBase()};
    ScriptedBroker mBroker;
    MQ_HANDLE mH = nullptr;
    int mThreadsBefore = 0;
};

Bytes ConnectBytes(const std::string& id, const std::string& user, const std::string& pass, uint16_t alive)
{
    Bytes body = {0x00, 0x06, 'M', 'Q', 'I', 's', 'd', 'p', 0x03, 0xC2, static_cast<uint8_t>(alive >> 8),
                  static_cast<uint8_t>(alive)};
    for (const std::string* s : {&id, &user, &pass}) {
        body.push_back(0);
        body.push_back(static_cast<uint8_t>(s->size()));
        body.insert(body.end(), s->begin(), s->end());
    }
    return Packet(0x10, body);
}

}  // namespace

TEST(MqttCreate, BadInputIsRefused)
{
    Rec().Reset();
    InstallLogTap();
    ASSERT_EQ(0, cmmod_init());
    const char* hosts[] = {"a.test", nullptr};
    MQ_CLIENT_INFO_S good = {kTopic, "dev1", "u", nullptr};
    MQ_CLIENT_INFO_S noTopic = {nullptr, "dev1", "u", "p"};
    MQ_CLIENT_INFO_S noId = {kTopic, nullptr, "u", "p"};
    MQ_CLIENT_INFO_S noUser = {kTopic, "dev1", nullptr, "p"};
    MQ_HANDLE h = nullptr;
    struct Row {
        const char* const* hosts;
        uint8_t num;
        const MQ_CLIENT_INFO_S* info;
        MQ_RECV_CB cb;
        MQ_HANDLE* out;
    } rows[] = {
        {nullptr, 1, &good, OnRecv, &h}, {hosts, 0, &good, OnRecv, &h},  {hosts, 1, nullptr, OnRecv, &h},
        {hosts, 1, &noTopic, OnRecv, &h}, {hosts, 1, &noId, OnRecv, &h}, {hosts, 1, &noUser, OnRecv, &h},
        {hosts, 1, &good, nullptr, &h},  {hosts, 2, &good, OnRecv, &h},  {hosts, 1, &good, OnRecv, nullptr},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(-2, create_mqtt_hand(r.hosts, r.num, 1883, 0, r.info, 0, r.cb, r.out));
        EXPECT_EQ(nullptr, h);
    }
    EXPECT_EQ(9, Rec().LogCount("Input in invalid"));
    // A password is optional; a handle without a task is freed at once.
    ASSERT_EQ(0, create_mqtt_hand(hosts, 1, 1883, 0, &good, 0, OnRecv, &h));
    EXPECT_EQ(0, mqtt_get_conn_stat(h));
    EXPECT_EQ(-1, mqtt_get_socket_fd(h));
    EXPECT_EQ(0, mqtt_client_quit(h));
    EXPECT_EQ(0, delete_mqtt_hand(h));
    // Null handles.
    EXPECT_EQ(-2, mqtt_register_cb(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(-2, mqtt_update_auth(nullptr, "u", "p"));
    EXPECT_EQ(-2, mqtt_client_start(nullptr, "x"));
    EXPECT_EQ(0, mqtt_get_conn_stat(nullptr));
    EXPECT_EQ(-1, mqtt_get_socket_fd(nullptr));
    EXPECT_EQ(-2, mq_disconnect(nullptr));
    EXPECT_EQ(-2, mqtt_client_quit(nullptr));
    EXPECT_EQ(-2, delete_mqtt_hand(nullptr));
    EXPECT_EQ(-1, mqtt_book_additional_topic(nullptr, "t"));
    EXPECT_EQ(-1, mqtt_add_topic_without_subcribe(nullptr, "t"));
}

TEST(MqttCreate, NeedsTheCommonWorker)
{
    if (cmmod_get_worker() != nullptr) {
        GTEST_SKIP() << "an earlier test of this process started the worker";
    }
    InstallLogTap();
    const char* hosts[] = {"a.test"};
    MQ_CLIENT_INFO_S info = {kTopic, "dev1", "u", "p"};
    MQ_HANDLE h = nullptr;
    EXPECT_EQ(-2, create_mqtt_hand(hosts, 1, 1883, 0, &info, 0, OnRecv, &h));
    EXPECT_EQ(nullptr, h);
}

// The update_auth callback renews the credentials right before each CONNECT.
void RenewAuth()
{
    OnUpdateAuth();
    mqtt_update_auth(g_handle, "u2", "p2");
}

TEST_F(MqttWire, ConnectAndSubscribeBytes)
{
    Create();
    ASSERT_EQ(0, mqtt_add_topic_without_subcribe(mH, "smart/device/extra"));
    EXPECT_EQ(-1, mqtt_add_topic_without_subcribe(mH, "smart/device/other")) << "one extra slot";
    mqtt_register_cb(mH, OnConn, OnDisconn, OnDeny, nullptr, RenewAuth);
    ASSERT_EQ(0, mqtt_client_start(mH, "mq_test"));
    EXPECT_EQ(-1, mqtt_client_start(mH, "mq_test")) << "one task per handle";
    Bytes sub = mBroker.Handshake();
    ASSERT_FALSE(sub.empty());
    EXPECT_EQ(ConnectBytes("dev1", "u2", "p2", kKeepalive), mBroker.LastConnect());
    EXPECT_EQ(0x82, sub[0]);
    EXPECT_EQ((std::vector<std::string>{kTopic, "smart/device/extra"}), SubscribeTopics(sub));
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 1; }));
    EXPECT_EQ(1, mqtt_get_conn_stat(mH));
    EXPECT_GE(mqtt_get_socket_fd(mH), 0);
    EXPECT_EQ(1, Rec().Read([](Recorder& r) { return r.updateAuth; }));
    EXPECT_EQ(1, Rec().LogCount("select mqtt host:noxa.test"));
}

TEST_F(MqttWire, PacketsSharingAndSplittingReceives)
{
    Online();
    // Four packets in one segment: another topic (dropped), ours, a PUBACK nobody waits for, ours.
    mBroker.Send(Cat({Publish("smart/device/in/dev2", "theirs"), Publish(kTopic, "first"), Puback(77),
                      Publish(kTopic, "second")}));
    ASSERT_TRUE(WaitReceived(2));
    // The PUBACK of our QoS 1 publish in the same segment as the next message.
    Up("up", 1, 5);
    Bytes pub = mBroker.ReadType(0x30);
    ASSERT_FALSE(pub.empty());
    EXPECT_EQ(0x32, pub[0]);
    mBroker.Send(Cat({Puback(PublishId(pub)), Publish(kTopic, "third")}));
    ASSERT_TRUE(WaitReceived(3));
    ASSERT_TRUE(WaitPubResults(1));
    // A message split over two receives: the first part goes with a whole one, and the rest is
    // sent only once that one has been delivered.
    Bytes split = Publish(kTopic, "fourth, split in two");
    mBroker.Send(Cat({Publish(kTopic, "whole"), Bytes(split.begin(), split.begin() + 7)}));
    ASSERT_TRUE(WaitReceived(4));
    mBroker.Send(Bytes(split.begin() + 7, split.end()));
    ASSERT_TRUE(WaitReceived(5));
    // The length bytes themselves split.
    Bytes big = Publish(kTopic, std::string(300, 'L'));
    mBroker.Send(Cat({Publish(kTopic, "whole2"), Bytes(big.begin(), big.begin() + 2)}));
    ASSERT_TRUE(WaitReceived(6));
    mBroker.Send(Bytes(big.begin() + 2, big.end()));
    ASSERT_TRUE(WaitReceived(7));

    Rec().Read([](Recorder& r) {
        EXPECT_EQ((std::vector<std::string>{"first", "second", "third", "whole", "fourth, split in two", "whole2",
                                            std::string(300, 'L')}),
                  r.received);
        EXPECT_TRUE(r.allNulTerminated);
        EXPECT_EQ((std::vector<std::pair<intptr_t, int>>{{5, 0}}), r.pubResults);
        return 0;
    });
    EXPECT_EQ(0, Disconnected());
}

TEST_F(MqttWire, PayloadsAroundTheBufferSizeArriveWhole)
{
    Online();
    // A payload that makes the whole PUBLISH `total` bytes long.
    auto payloadFor = [](size_t total, char c) {
        size_t lenBytes = total - 2 < 128 ? 1 : (total - 3 < 16384 ? 2 : 3);
        return std::string(total - 1 - lenBytes - 2 - strlen(kTopic), c);
    };
    // Just below, at and above the 512-byte buffer, a long one and the largest accepted.
    const size_t totals[] = {511, 512, 513, 2000, MQ_MAX_PACKET_LEN};
    std::vector<std::string> sent;
    for (size_t total : totals) {
        std::string payload = payloadFor(total, static_cast<char>('a' + sent.size()));
        Bytes pkt = Publish(kTopic, payload);
        ASSERT_EQ(total, pkt.size());
        sent.push_back(payload);
        mBroker.Send(pkt);
        ASSERT_TRUE(WaitReceived(sent.size())) << total;
    }
    Rec().Read([&](Recorder& r) {
        EXPECT_EQ(sent, r.received);
        EXPECT_TRUE(r.allNulTerminated);
        return 0;
    });
    EXPECT_EQ(0, Disconnected());
    // Longer than the largest packet: read and thrown away, the link stays and the next packet
    // arrives. A QoS 1 one is still acknowledged, its id found behind a topic of any length (one
    // longer than the receive buffer too) and whatever the topic.
    Bytes tooLong = Publish(kTopic, payloadFor(MQ_MAX_PACKET_LEN + 1, 'z'));
    ASSERT_EQ(MQ_MAX_PACKET_LEN + 1u, tooLong.size());
    const struct {
        Bytes pkt;
        uint16_t ackId;  // 0: none expected
    } overs[] = {
        {tooLong, 0},
        {Publish(kTopic, std::string(40000, 'q'), 1, 0x4242), 0x4242},
        {Publish(std::string(600, 't'), std::string(20000, 'r'), 1, 0x0707), 0x0707},
    };
    for (const auto& o : overs) {
        mBroker.Send(Cat({o.pkt, Publish(kTopic, "after " + std::to_string(o.pkt.size()))}));
        if (o.ackId != 0) {
            EXPECT_EQ(Puback(o.ackId), mBroker.ReadType(0x40)) << o.pkt.size();
        }
        sent.push_back("after " + std::to_string(o.pkt.size()));
        ASSERT_TRUE(WaitReceived(sent.size())) << o.pkt.size();
    }
    EXPECT_EQ(3, Rec().LogCount("discarded"));
    Rec().Read([&](Recorder& r) {
        EXPECT_EQ(sent, r.received) << "nothing of the long ones delivered";
        return 0;
    });
    EXPECT_EQ(0, Disconnected()) << "the link stays";
}

TEST_F(MqttWire, StreamSentPacketByPacketArrivesWholeAndInOrder)
{
    Online();
    // The broker's way in a stream: each packet its own send, as fast as it can. The task reads
    // what came meanwhile in one piece, so packets keep straddling the buffer's end and some do
    // not fit it at all; a QoS 1 one among them is acknowledged.
    std::vector<std::string> sent;
    for (int i = 0; i < 400; ++i) {
        std::string payload(static_cast<size_t>(i * 37 % 700 + 1), static_cast<char>('a' + i % 26));
        payload.replace(0, std::min<size_t>(payload.size(), 4), std::to_string(i).substr(0, payload.size()));
        uint8_t qos = i % 97 == 50 ? 1 : 0;
        mBroker.Send(Publish(kTopic, payload, qos, static_cast<uint16_t>(qos != 0 ? 1000 + i : 0)));
        sent.push_back(payload);
    }
    ASSERT_TRUE(WaitReceived(sent.size())) << ReceivedCount();
    for (int id : {1050, 1147, 1244, 1341}) {
        EXPECT_EQ(Puback(static_cast<uint16_t>(id)), mBroker.ReadType(0x40));
    }
    Rec().Read([&](Recorder& r) {
        EXPECT_EQ(sent, r.received);
        EXPECT_TRUE(r.allNulTerminated);
        return 0;
    });
    EXPECT_EQ(0, Disconnected());
}

TEST_F(MqttWire, IncomingQos1IsAcknowledgedAndQos2Dropped)
{
    Online();
    mBroker.Send(Cat({Publish(kTopic, "two", 2, 9), Publish(kTopic, "one", 1, 0x1234)}));
    Bytes ack = mBroker.ReadType(0x40);
    EXPECT_EQ(Puback(0x1234), ack);
    mBroker.Send(Publish(kTopic, "zero"));
    ASSERT_TRUE(WaitReceived(2));
    Rec().Read([](Recorder& r) {
        EXPECT_EQ((std::vector<std::string>{"one", "zero"}), r.received);
        return 0;
    });
    EXPECT_EQ(1, Rec().LogCount("do't support qos == 2 publish message"));
}

TEST_F(MqttWire, TopicsMatchWholeAndWithoutCase)
{
    Online();
    mBroker.Send(Cat({Publish("SMART/Device/IN/DEV1", "upper"), Publish("smart/device/in/dev", "prefix"),
                      Publish("smart/device/in/dev12", "longer"), Publish("smart/device/extra", "not yet")}));
    mBroker.Send(Publish(kTopic, "end"));
    ASSERT_TRUE(WaitReceived(2));

    // Booked while online: subscribed at once; its SUBACK shares a segment with its first message.
    ASSERT_EQ(0, mqtt_book_additional_topic(mH, "smart/device/extra"));
    Bytes sub = mBroker.ReadType(0x80);
    ASSERT_FALSE(sub.empty());
    EXPECT_EQ((std::vector<std::string>{"smart/device/extra"}), SubscribeTopics(sub));
    mBroker.Send(Cat({Suback(IdOf(sub, 2)), Publish("smart/device/extra", "extra")}));
    ASSERT_TRUE(WaitReceived(3));
    EXPECT_EQ(-1, mqtt_book_additional_topic(mH, "smart/device/more"));
    EXPECT_EQ(-1, mqtt_add_topic_without_subcribe(mH, "smart/device/more"));

    // The wake-up topic: UNSUBSCRIBE of ours, SUBSCRIBE of the new one.
    ASSERT_EQ(0, mqtt_book_wakeup_topic(mH, "smart/device/wake"));
    Bytes unsub = mBroker.ReadType(0xA0);
    ASSERT_FALSE(unsub.empty());
    EXPECT_EQ(0xA2, unsub[0]);
    EXPECT_EQ(std::string(kTopic), std::string(unsub.begin() + 6, unsub.end()));
    sub = mBroker.ReadType(0x80);
    EXPECT_EQ((std::vector<std::string>{"smart/device/wake"}), SubscribeTopics(sub));
    EXPECT_GT(IdOf(sub, 2), IdOf(unsub, 2));

    Rec().Read([](Recorder& r) {
        EXPECT_EQ((std::vector<std::string>{"upper", "end", "extra"}), r.received);
        return 0;
    });
    // The extra topic is subscribed again at the next connect.
    mBroker.Drop();
    long ms = Backoff(1);
    mClock.Advance(static_cast<uint64_t>(ms));
    sub = mBroker.Handshake();
    EXPECT_EQ((std::vector<std::string>{kTopic, "smart/device/extra"}), SubscribeTopics(sub));
    EXPECT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 2; }));
}

TEST_F(MqttWire, RefusalsCountUpAndTheBackoffGrows)
{
    Create();
    Start();
    for (int n = 1; n <= 3; ++n) {
        ASSERT_FALSE(mBroker.Handshake(5).empty()) << n;
        ASSERT_TRUE(Rec().WaitFor([n](Recorder& r) { return r.denies.size() == static_cast<size_t>(n); }));
        long ms = Backoff(n);
        EXPECT_LE(ms, n * 1000 + 5000 + 999);
        mClock.Advance(static_cast<uint64_t>(ms));
    }
    EXPECT_EQ(3, Rec().LogCount("mqtt connect respond err data:5"));
    // Accepted: the count starts again after the next refusal.
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 1; }));
    mBroker.Drop();
    mClock.Advance(static_cast<uint64_t>(Backoff(4)));
    ASSERT_FALSE(mBroker.Handshake(4).empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.denies.size() == 4; }));
    Rec().Read([](Recorder& r) {
        EXPECT_EQ((std::vector<int>{1, 2, 3, 1}), r.denies);
        EXPECT_EQ(1, r.disconnected) << "refused links were never online, only the dropped one was";
        EXPECT_EQ(1, r.connected);
        return 0;
    });
    // The first packet must be the CONNACK.
    mClock.Advance(static_cast<uint64_t>(Backoff(5)));
    ASSERT_TRUE(mBroker.Accept());
    ASSERT_FALSE(mBroker.Read().empty());
    mBroker.Send(Suback(1));
    EXPECT_TRUE(mBroker.WaitClosed());
    EXPECT_TRUE(Rec().WaitLog("msg_ack_type:32.recv:144"));
}

TEST_F(MqttWire, BackoffIsCappedAndShrinksWithPingResponses)
{
    Rec().permitAnswer = 0;
    Create();
    Start(true);
    // Denied by the permit callback 300 times: the back-off is capped at 300 s from the 295th on.
    for (int n = 1; n <= 300; ++n) {
        long ms = Backoff(n);
        ASSERT_LE(ms, 300000);
        if (n == 300) {
            Rec().permitAnswer = 1;
        }
        mClock.Advance(static_cast<uint64_t>(ms));
    }
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 1; }));
    EXPECT_EQ(300, Rec().LogCount("mqtt task is not permit to execute. random sleep.."));
    // Each PINGRESP divides the failure count by 4.
    mClock.Advance(kKeepalive * 1000);
    ASSERT_FALSE(mBroker.ReadType(0xC0).empty());
    mBroker.Send(Pingresp());
    ASSERT_TRUE(Rec().WaitLog("ping respond. update fail_cnt:75 "));
    mClock.Advance(kKeepalive * 1000);
    ASSERT_FALSE(mBroker.ReadType(0xC0).empty());
    mBroker.Send(Pingresp());
    ASSERT_TRUE(Rec().WaitLog("ping respond. update fail_cnt:18 "));
    mBroker.Drop();
    ASSERT_TRUE(Rec().WaitLog("mqtt fail_cnt:19 and"));
}

TEST_F(MqttWire, PermitMinusOneWaitsASecond)
{
    Rec().permitAnswer = -1;
    Create();
    Start(true);
    for (int n = 1; n <= 3; ++n) {
        ASSERT_TRUE(Rec().WaitLog("short sleep..", n));
        if (n == 3) {
            Rec().permitAnswer = 1;
        }
        mClock.Advance(1000);
    }
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 1; }));
    EXPECT_EQ(0, Rec().LogCount("and sleeptime:")) << "no back-off for -1";
}

TEST_F(MqttWire, NoPingResponseClosesTheLinkAfter42s)
{
    Online();
    // No packet from the broker for the keepalive time: PINGREQ.
    mClock.Advance(kKeepalive * 1000 - 1);
    TimerBarrier();
    mClock.Advance(1);
    EXPECT_EQ(Bytes({0xC0, 0x00}), mBroker.ReadType(0xC0));
    ASSERT_TRUE(Rec().WaitLog("mqtt_ping <<--"));
    mClock.Advance(MQ_RESP_TIMEOUT_MS - 1);
    TimerBarrier();
    EXPECT_EQ(0, Rec().LogCount("respond timeout -->>"));
    mClock.Advance(1);
    EXPECT_TRUE(mBroker.WaitClosed());
    EXPECT_TRUE(Rec().WaitFor([](Recorder& r) { return r.disconnected == 1; }));
    EXPECT_EQ(0, mqtt_get_conn_stat(mH));

    // Back: this time the PINGRESP comes, the link stays and the next PINGREQ follows.
    mClock.Advance(static_cast<uint64_t>(Backoff(1)));
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 2; }));
    mClock.Advance(kKeepalive * 1000);
    ASSERT_FALSE(mBroker.ReadType(0xC0).empty());
    mBroker.Send(Pingresp());
    ASSERT_TRUE(Rec().WaitLog("ping respond."));
    mClock.Advance(MQ_RESP_TIMEOUT_MS);
    TimerBarrier();
    EXPECT_EQ(1, Rec().LogCount("respond timeout -->>"));
    EXPECT_FALSE(mBroker.ReadType(0xC0).empty()) << "the keepalive runs again";
    EXPECT_EQ(1, Disconnected());
}

TEST_F(MqttWire, Qos1TimesOutAfter15sAndTheThirdInARowCloses)
{
    Online(3600);  // no keepalive within the minutes this test moves the clock
    // One publish at a time, without PUBACK: -926 between 15 and 15.5 s.
    auto timeout = [&](intptr_t arg) {
        Up("lost", 1, arg);
        ASSERT_FALSE(mBroker.ReadType(0x30).empty());
        mClock.Advance(14999);
        TimerBarrier();
        ASSERT_EQ(static_cast<size_t>(arg - 1), PubResultCount()) << "too early";
        mClock.Advance(501);
        ASSERT_TRUE(WaitPubResults(static_cast<size_t>(arg)));
    };
    timeout(1);
    timeout(2);
    // A PUBACK between time-outs starts the count again.
    Up("acked", 1, 3);
    Bytes pub = mBroker.ReadType(0x30);
    mBroker.Send(Puback(PublishId(pub)));
    ASSERT_TRUE(WaitPubResults(3));
    timeout(4);
    timeout(5);
    EXPECT_EQ(0, Disconnected());
    timeout(6);
    EXPECT_TRUE(mBroker.WaitClosed()) << "three time-outs in a row";
    EXPECT_TRUE(Rec().WaitFor([](Recorder& r) { return r.disconnected == 1; }));
    Rec().Read([](Recorder& r) {
        EXPECT_EQ((std::vector<std::pair<intptr_t, int>>{{1, -926}, {2, -926}, {3, 0}, {4, -926}, {5, -926}, {6, -926}}),
                  r.pubResults);
        return 0;
    });
    EXPECT_EQ(2, Rec().LogCount("qos1 package timeout. cnt:2"));
    EXPECT_EQ(1, Rec().LogCount("qos1 package timeout. cnt:3"));
}

TEST_F(MqttWire, Qos1OwnTimeoutAndOneSlotPerTick)
{
    Online();
    Up("a", 1, 1, OnPub, 2);
    Up("b", 1, 2, OnPub, 2);
    ASSERT_FALSE(mBroker.ReadType(0x30).empty());
    ASSERT_FALSE(mBroker.ReadType(0x30).empty());
    mClock.Advance(2000);
    TimerBarrier();
    EXPECT_EQ(1u, PubResultCount()) << "one slot per tick";
    mClock.Advance(500);
    TimerBarrier();
    EXPECT_EQ(2u, PubResultCount());

    // The cloud sets the wall clock decades ahead: the time-outs run on the tick, not on it.
    Up("waiting", 1, 3);
    ASSERT_FALSE(mBroker.ReadType(0x30).empty());
    uni_time_set(2000000000u, 1);
    mClock.Advance(600);
    TimerBarrier();
    EXPECT_EQ(2u, PubResultCount());
    mClock.Advance(14400);
    TimerBarrier();
    EXPECT_EQ(3u, PubResultCount());
}

TEST_F(MqttWire, SlotsAreTakenBeforeSendingAndRefusedWhenFull)
{
    Online();
    for (intptr_t i = 1; i <= MQ_PUB_SLOT_NUM; ++i) {
        Up("q" + std::to_string(i), 1, i);
    }
    // A caller that retries at once makes a run of refusals: logged once, and their count when a
    // slot is free again.
    std::string ninth = "ninth";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(-1, mqtt_publish_async(mH, kTopic, 1, reinterpret_cast<const uint8_t*>(ninth.data()), 5, 0, OnPub,
                                         reinterpret_cast<void*>(9)));
    }
    EXPECT_EQ(1, Rec().LogCount("can't find  free mqmde"));
    EXPECT_EQ(0, Rec().LogCount("publishes refused"));
    // Without a callback no slot is needed.
    Up("free", 1, 0, nullptr);
    std::vector<uint16_t> ids;
    for (int i = 0; i < MQ_PUB_SLOT_NUM + 1; ++i) {
        Bytes pub = mBroker.ReadType(0x30);
        ASSERT_FALSE(pub.empty());
        ids.push_back(PublishId(pub));
    }
    // Id 1 went to the SUBSCRIBE; the refused publishes took ids 10 to 12 but never went out.
    EXPECT_EQ((std::vector<uint16_t>{2, 3, 4, 5, 6, 7, 8, 9, 13}), ids);
    mBroker.Send(Puback(ids[3]));
    ASSERT_TRUE(WaitPubResults(1));
    Up("ninth", 1, 9);
    EXPECT_EQ(14, PublishId(mBroker.ReadType(0x30)));
    EXPECT_EQ(1, Rec().LogCount("3 publishes refused, all 8 in-flight slots taken"));
    EXPECT_EQ((std::pair<intptr_t, int>{4, 0}), Rec().Read([](Recorder& r) { return r.pubResults[0]; }));

    // Bad arguments.
    const uint8_t d[1] = {'x'};
    EXPECT_EQ(-2, mqtt_publish_async(nullptr, kTopic, 0, d, 1, 0, nullptr, nullptr));
    EXPECT_EQ(-2, mqtt_publish_async(mH, nullptr, 0, d, 1, 0, nullptr, nullptr));
    EXPECT_EQ(-2, mqtt_publish_async(mH, kTopic, 0, nullptr, 1, 0, nullptr, nullptr));
    EXPECT_EQ(-2, mqtt_publish_async(mH, kTopic, 0, d, 0, 0, nullptr, nullptr));
    EXPECT_EQ(-2, mqtt_publish_async(mH, kTopic, 2, d, 1, 0, nullptr, nullptr));

    // A link reset completes every waiting slot with -926.
    mBroker.Drop();
    mClock.Advance(static_cast<uint64_t>(Backoff(1)));
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(WaitPubResults(MQ_PUB_SLOT_NUM + 1));
    Rec().Read([](Recorder& r) {
        for (size_t i = 1; i < r.pubResults.size(); ++i) {
            EXPECT_EQ(-926, r.pubResults[i].second);
        }
        return 0;
    });
    EXPECT_EQ(MQ_PUB_SLOT_NUM, Rec().LogCount("reset use table:"));
}

TEST_F(MqttWire, PublishWhileClosedFailsWithoutCallback)
{
    Create();
    const uint8_t d[1] = {'x'};
    EXPECT_EQ(-1, mqtt_publish_async(mH, kTopic, 0, d, 1, 0, nullptr, nullptr));
    EXPECT_GT(0, mqtt_publish_async(mH, kTopic, 1, d, 1, 0, OnPub, nullptr));
    EXPECT_EQ(-1, mqtt_book_wakeup_topic(mH, "w"));
    EXPECT_EQ(0u, PubResultCount()) << "a failed send frees its slot quietly";
    // The slot is free again: eight more fit.
    Online();
}

TEST_F(MqttWire, HostsResolveInTurnAndTheCacheIsClearedOnClose)
{
    Create({"nowhere.invalid", netpeer::kHost});
    Start();
    ASSERT_TRUE(Rec().WaitLog("resolve mqtt host Fail:nowhere.invalid"));
    mClock.Advance(1000);
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 1; }));
    int lookups = netpeer::LookupCount();
    mBroker.Drop();
    mClock.Advance(static_cast<uint64_t>(Backoff(1)));
    // The socket was open: the same address again, without a lookup.
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 2; }));
    EXPECT_EQ(lookups, netpeer::LookupCount());
    // A refused connect resolves again (the cache was cleared on close).
    mBroker.StopListening();
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.disconnected == 2; }));
    mClock.Advance(static_cast<uint64_t>(Backoff(2)));
    ASSERT_TRUE(Rec().WaitLog("mqtt socket connect fail."));
    mClock.Advance(1000);
    mClock.Advance(static_cast<uint64_t>(Backoff(3)));
    ASSERT_TRUE(Rec().WaitLog("select mqtt host:noxa.test", 2));
    EXPECT_EQ(1, Rec().LogCount("resolve mqtt host Fail:")) << "the host index stays on the one that worked";
    EXPECT_GT(netpeer::LookupCount(), lookups);
}

TEST_F(MqttWire, DisconnectSendsDisconnectWithoutCallback)
{
    Online();
    EXPECT_EQ(0, mq_disconnect(mH));
    EXPECT_EQ(Bytes({0xE0, 0x00}), mBroker.ReadType(0xE0));
    EXPECT_EQ(0, mqtt_get_conn_stat(mH));
    mBroker.Drop();
    mClock.Advance(static_cast<uint64_t>(Backoff(1)));
    ASSERT_FALSE(mBroker.Handshake().empty());
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.connected == 2; }));
    EXPECT_EQ(0, Disconnected());

    // A malformed length drops the link.
    mBroker.Send({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
    EXPECT_TRUE(mBroker.WaitClosed());
    EXPECT_TRUE(Rec().WaitFor([](Recorder& r) { return r.disconnected == 1; }));
    EXPECT_TRUE(Rec().WaitLog("__mq_conn_recv err:"));
}

// ---- quit and delete ----------------------------------------------------------------------

// Runs fn on another thread and tells whether it returned within the limit (a hang does not).
template <class Fn>
bool ReturnsPromptly(Fn fn)
{
    auto done = std::async(std::launch::async, fn);
    return done.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
}

TEST_F(MqttWire, QuitAndDeleteDuringABackoff)
{
    // The test clock stands still: a back-off would never end by itself. One after a refused
    // permit, quit first; one after a refused CONNECT, deleted at once.
    for (const bool quit : {true, false}) {
        SCOPED_TRACE(quit ? "quit, then delete" : "delete");
        Rec().Reset();
        Rec().permitAnswer = quit ? 0 : 1;
        Create();
        Start(quit);
        if (!quit) {
            ASSERT_FALSE(mBroker.Handshake(5).empty());
        }
        ASSERT_TRUE(Rec().WaitLog("and sleeptime:"));
        if (quit) {
            EXPECT_TRUE(ReturnsPromptly([this] { EXPECT_EQ(0, mqtt_client_quit(mH)); }));
            EXPECT_EQ(1, Rec().LogCount("mqtt real status:9"));
            EXPECT_EQ(1, Rec().LogCount("quit mqtt while loop."));
        }
        EXPECT_TRUE(ReturnsPromptly([this] { EXPECT_EQ(0, delete_mqtt_hand(mH)); }));
        mH = nullptr;
        EXPECT_TRUE(WaitThreadsBack());
    }
}

TEST_F(MqttWire, DeleteWhileOnlineEndsTheBlockedReceive)
{
    Online();
    Up("pending", 1, 7);
    ASSERT_FALSE(mBroker.ReadType(0x30).empty());
    EXPECT_TRUE(ReturnsPromptly([this] { EXPECT_EQ(0, delete_mqtt_hand(mH)); }));
    mH = nullptr;
    EXPECT_TRUE(mBroker.WaitClosed());
    EXPECT_TRUE(WaitThreadsBack());
    Rec().Read([](Recorder& r) {
        EXPECT_EQ((std::vector<std::pair<intptr_t, int>>{{7, -926}}), r.pubResults) << "owed results are paid";
        EXPECT_EQ(1, r.disconnected);
        return 0;
    });
}

// Deleting from the task's own receive callback: the task frees the handle as it ends.
void DeleteFromCallback(uint8_t* data, uint32_t len)
{
    OnRecv(data, len);
    EXPECT_EQ(0, delete_mqtt_hand(g_handle));
    // The handle is still usable until this callback returns.
    EXPECT_EQ(1, mqtt_get_conn_stat(g_handle));
}

TEST_F(MqttWire, DeleteFromTheReceiveCallback)
{
    MQ_CLIENT_INFO_S info = {kTopic, "dev1", "u1", "p1"};
    const char* hosts[] = {netpeer::kHost};
    ASSERT_EQ(0, create_mqtt_hand(hosts, 1, mBroker.Port(), 0, &info, kKeepalive, DeleteFromCallback, &g_handle));
    RegisterAll(g_handle);
    ASSERT_EQ(0, mqtt_client_start(g_handle, "mq_test"));
    ASSERT_FALSE(mBroker.Handshake().empty());
    mBroker.Send(Publish(kTopic, "bye"));
    EXPECT_TRUE(mBroker.WaitClosed());
    EXPECT_TRUE(WaitThreadsBack());
    EXPECT_EQ(1u, ReceivedCount());
    EXPECT_TRUE(Rec().WaitLog("quit mqtt while loop."));
}
