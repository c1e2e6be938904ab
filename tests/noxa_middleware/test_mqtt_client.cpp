// The MQTT client against a real broker: mosquitto, started by the test on free loopback ports
// with a plain listener, one with a password file and one with TLS (a server certificate signed
// by the build's test CA at test time). Echo of QoS 0 and 1 on the device's own topic, a refused
// password, a paused broker that starves the keepalive, a restarted broker, the message ids of
// more than 65,535 QoS 1 publishes, and bursts of two publishing threads.
#include "noxa_middleware/mqtt/mqtt_client.h"

#include "mosquitto_peer.h"
#include "mqtt_test_util.h"
#include "net_peers.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_middleware/mqtt/mqtt_client_internal.h"
#include "noxa_middleware/tls/noxa_tls.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

using namespace mqtttest;
using mqttpeer::Mosquitto;

namespace {

constexpr const char* kTopic = "smart/device/in/dev1";
constexpr uint16_t kKeepalive = 60;

class MqttBroker : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, StartServices());
        ASSERT_EQ(0, noxa_tls_init());
    }
    void TearDown() override
    {
        if (mH != nullptr) {
            EXPECT_EQ(0, delete_mqtt_hand(mH));
        }
        if (HasFailure()) {
            Rec().DumpLog();
            if (mBroker) {
                fputs(mBroker->Log().c_str(), stdout);
            }
        }
    }

    bool Tls() const { return GetParam(); }

    void StartBroker(bool password = false)
    {
        Mosquitto::Config cfg;
        cfg.password = password;
        if (Tls()) {
            ASSERT_TRUE(netpeer::TestPki::HaveTestCa());
            mPki.Server("rsa", &cfg.tlsCert, &cfg.tlsKey);
        }
        mBroker = std::make_unique<Mosquitto>(cfg);
    }

    // Created and started on the plain or TLS listener (or the password one).
    void Connect(const char* user = "door", const char* pass = nullptr, bool authPort = false)
    {
        MQ_CLIENT_INFO_S info = {kTopic, "dev1", user, pass};
        const char* hosts[] = {netpeer::kHost};
        uint16_t port = authPort ? mBroker->AuthPort() : (Tls() ? mBroker->TlsPort() : mBroker->Port());
        ASSERT_EQ(0, create_mqtt_hand(hosts, 1, port, Tls() ? 1 : 0, &info, kKeepalive, OnRecv, &mH));
        RegisterAll(mH);
        ASSERT_EQ(0, mqtt_client_start(mH, "mq_test"));
    }

    bool WaitConnected(int n) { return Rec().WaitFor([n](Recorder& r) { return r.connected >= n; }); }

    // Publishes and waits for the echo on our own topic (and for QoS 1 the PUBACK).
    void Echo(const std::string& payload, uint8_t qos)
    {
        size_t before = ReceivedCount();
        size_t acks = PubResultCount() + qos;
        ASSERT_EQ(0, mqtt_publish_async(mH, kTopic, qos, reinterpret_cast<const uint8_t*>(payload.data()),
                                        static_cast<uint32_t>(payload.size()), 0, OnPub, nullptr));
        ASSERT_TRUE(Rec().WaitFor(
            [before, acks](Recorder& r) { return r.received.size() > before && r.pubResults.size() == acks; }));
        EXPECT_EQ(payload, Rec().Read([](Recorder& r) { return r.received.back(); }));
        if (qos == 1) {
            EXPECT_EQ(0, Rec().Read([](Recorder& r) { return r.pubResults.back().second; }));
        }
    }

    // Waits for back-off line n and moves the clock past it.
    void SkipBackoff(int n)
    {
        ASSERT_TRUE(Rec().WaitLog("and sleeptime:", n));
        long ms = NumberAfter(Rec().LogLines("and sleeptime:")[static_cast<size_t>(n) - 1], "sleeptime:");
        ASSERT_GE(ms, 1000);
        mClock.Advance(static_cast<uint64_t>(ms));
    }

    UniTestClock mClock{NextClockBase()};
    netpeer::TestPki mPki;
    std::unique_ptr<Mosquitto> mBroker;
    MQ_HANDLE mH = nullptr;
};

}  // namespace

TEST_P(MqttBroker, EchoOfQos0AndQos1)
{
    StartBroker();
    Connect();
    ASSERT_TRUE(WaitConnected(1));
    EXPECT_EQ(1, mqtt_get_conn_stat(mH));
    Echo("hello at qos 0", 0);
    Echo("{\"protocol\":5,\"t\":1}", 1);
    // QoS 1 back to back, up to all eight slots: each PUBACK (often in the same segment as the
    // echo of that message) finds its slot, none times out, the link stays.
    const int kCount = 400;
    const int base = static_cast<int>(PubResultCount());
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Rec().WaitFor(
            [i, base](Recorder& r) { return static_cast<int>(r.pubResults.size()) - base > i - MQ_PUB_SLOT_NUM; }));
        std::string msg = "m" + std::to_string(i);
        ASSERT_EQ(0, mqtt_publish_async(mH, kTopic, 1, reinterpret_cast<const uint8_t*>(msg.data()),
                                        static_cast<uint32_t>(msg.size()), 0, OnPub, reinterpret_cast<void*>(i + 10)));
    }
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.pubResults.size() == kCount + 1 && r.received.size() == kCount + 2; }));
    Rec().Read([](Recorder& r) {
        for (const auto& [arg, ret] : r.pubResults) {
            EXPECT_EQ(0, ret) << arg;
        }
        for (int i = 0; i < kCount; ++i) {
            EXPECT_EQ("m" + std::to_string(i), r.received[static_cast<size_t>(i) + 2]);
        }
        EXPECT_TRUE(r.allNulTerminated);
        EXPECT_EQ(0, r.disconnected);
        return 0;
    });
    EXPECT_EQ(0, Rec().LogCount("qos1 package timeout"));
}

TEST_P(MqttBroker, WrongPasswordIsRefusedWithCode5)
{
    if (Tls()) {
        GTEST_SKIP() << "the password listener is plain";
    }
    StartBroker(true);
    Connect("door", "wrong", true);
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.denies.size() == 1; }));
    EXPECT_TRUE(Rec().WaitLog("mqtt connect respond err data:5"));
    SkipBackoff(1);
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.denies.size() == 2; }));
    // New credentials for the next CONNECT.
    ASSERT_EQ(0, mqtt_update_auth(mH, "door", "secret"));
    SkipBackoff(2);
    ASSERT_TRUE(WaitConnected(1));
    Echo("authorised", 1);
    Rec().Read([](Recorder& r) {
        EXPECT_EQ((std::vector<int>{1, 2}), r.denies);
        return 0;
    });
    EXPECT_EQ(2, mBroker->LogCount("not authorised"));
}

TEST_P(MqttBroker, PausedBrokerStarvesTheKeepaliveAndTheLinkComesBack)
{
    StartBroker();
    Connect();
    ASSERT_TRUE(WaitConnected(1));
    mBroker->Pause();
    mClock.Advance(kKeepalive * 1000);
    ASSERT_TRUE(Rec().WaitLog("mqtt_ping <<--"));
    // No PINGRESP: 42 s later the response timer shuts the link down under the blocked receive.
    mClock.Advance(MQ_RESP_TIMEOUT_MS);
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.disconnected == 1; }));
    EXPECT_EQ(1, Rec().LogCount("respond timeout -->>"));
    // The next try reaches the paused broker's kernel and waits for the CONNACK; it comes once
    // the broker runs again.
    SkipBackoff(1);
    ASSERT_TRUE(Rec().WaitLog(Tls() ? "mqtt over TLS is enabled" : "mqtt socket create success."));
    mBroker->Resume();
    ASSERT_TRUE(WaitConnected(2));
    Echo("after the pause", 1);
}

TEST_P(MqttBroker, RestartedBrokerGetsTheSubscriptionAgain)
{
    StartBroker();
    Connect();
    ASSERT_TRUE(WaitConnected(1));
    Echo("before", 0);
    mBroker->Stop();
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.disconnected == 1; }));
    // Refused while it is down: a second back-off, then a fresh lookup.
    SkipBackoff(1);
    ASSERT_TRUE(Rec().WaitLog("mqtt socket connect fail."));
    ASSERT_TRUE(mBroker->Start());
    mClock.Advance(1000);
    SkipBackoff(2);
    ASSERT_TRUE(WaitConnected(2));
    // The new broker knows nothing of the old session: the echo proves the new SUBSCRIBE.
    Echo("after", 0);
    EXPECT_EQ(2, Rec().LogCount("select mqtt host:noxa.test"));
}

TEST_P(MqttBroker, MessageIdsWrapWithoutZero)
{
    if (Tls()) {
        GTEST_SKIP() << "the id wrap does not depend on the transport";
    }
    StartBroker();
    Connect();
    ASSERT_TRUE(WaitConnected(1));
    // More than 65,535 QoS 1 publishes, eight in flight; mosquitto drops a link that sends id 0.
    const int kCount = 65540;
    const std::string msg = "wrap";
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Rec().WaitFor([i](Recorder& r) { return static_cast<int>(r.pubResults.size()) > i - MQ_PUB_SLOT_NUM; }));
        ASSERT_EQ(0, mqtt_publish_async(mH, "smart/device/out/dev1", 1, reinterpret_cast<const uint8_t*>(msg.data()),
                                        static_cast<uint32_t>(msg.size()), 0, OnPub, nullptr))
            << i;
    }
    ASSERT_TRUE(Rec().WaitFor([](Recorder& r) { return r.pubResults.size() == kCount; }));
    Rec().Read([](Recorder& r) {
        int failed = 0;
        for (const auto& res : r.pubResults) {
            failed += res.second != 0 ? 1 : 0;
        }
        EXPECT_EQ(0, failed);
        EXPECT_EQ(1, r.connected);
        EXPECT_EQ(0, r.disconnected);
        return 0;
    });
    EXPECT_EQ(0, mBroker->LogCount("protocol error"));
    // Still up: one more round trip.
    Echo("still here", 1);
}

TEST_P(MqttBroker, BurstsOfTwoThreadsArriveWholeAndInOrder)
{
    StartBroker();
    Connect();
    ASSERT_TRUE(WaitConnected(1));
    // Two publishers in bursts of up to 100 messages (mosquitto drops QoS 0 messages for a
    // subscriber that falls further behind): queued publishes overtake no one and none is lost;
    // now and then one too long for the queue (written directly behind it) and a QoS 1 one.
    const int kEach = 2000;
    const size_t kAhead = 100;
    auto burst = [&](char who) {
        for (int i = 0; i < kEach; ++i) {
            if (i % 50 == 0) {
                size_t sent = 2 * static_cast<size_t>(i);
                ASSERT_TRUE(Rec().WaitFor([&](Recorder& r) { return r.received.size() + kAhead >= sent; }, 20000));
            }
            std::string msg = who + std::to_string(i);
            if (i % 250 == 7) {
                msg.append(MQ_TX_QUEUE_LEN + 100, who);
            }
            uint8_t qos = i % 100 == 50 ? 1 : 0;
            ASSERT_EQ(0, mqtt_publish_async(mH, kTopic, qos, reinterpret_cast<const uint8_t*>(msg.data()),
                                            static_cast<uint32_t>(msg.size()), 0, nullptr, nullptr))
                << msg.substr(0, 8);
        }
    };
    std::thread a(burst, 'a');
    std::thread b(burst, 'b');
    a.join();
    b.join();
    EXPECT_TRUE(Rec().WaitFor([](Recorder& r) { return r.received.size() == 2 * kEach; }, 20000))
        << ReceivedCount() << " of " << 2 * kEach;
    Rec().Read([](Recorder& r) {
        int next[2] = {0, 0};
        for (const std::string& m : r.received) {
            int who = m[0] == 'a' ? 0 : 1;
            std::string head = m[0] + std::to_string(next[who]);
            EXPECT_EQ(head, m.substr(0, head.size()));
            size_t tail = next[who] % 250 == 7 ? MQ_TX_QUEUE_LEN + 100 : 0;
            EXPECT_EQ(head.size() + tail, m.size()) << head;
            ++next[who];
        }
        EXPECT_EQ(0, r.disconnected);
        return 0;
    });
}

INSTANTIATE_TEST_SUITE_P(Transport, MqttBroker, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });
