// The MQTT 3.1 codec: golden bytes of every packet the client builds, message ids, the limits
// of the builders, and the parsers on whole, cut and lying packets.
#include "noxa_middleware/mqtt/libemqtt.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A send hook that records every call; it can take fewer bytes than offered.
struct Wire {
    std::vector<Bytes> sends;
    int shortBy = 0;
};

int WireSend(void* info, const void* buf, unsigned int count)
{
    auto* wire = static_cast<Wire*>(info);
    const auto* b = static_cast<const uint8_t*>(buf);
    wire->sends.emplace_back(b, b + count);
    return static_cast<int>(count) - wire->shortBy;
}

class Mqtt : public testing::Test {
protected:
    void SetUp() override { Init(nullptr); }

    void Init(const char* clientId)
    {
        memset(&broker, 0xAA, sizeof(broker));  // mqtt_init must set every field it owns
        mqtt_init(&broker, clientId);
        broker.socket_info = &wire;
        broker.send = WireSend;
    }

    // The one packet sent since the last call.
    Bytes Sent()
    {
        EXPECT_EQ(1u, wire.sends.size());
        Bytes b = wire.sends.empty() ? Bytes{} : wire.sends.back();
        wire.sends.clear();
        return b;
    }

    mqtt_broker_handle_t broker{};
    Wire wire;
};

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// A PUBLISH built by hand: header byte, remaining-length bytes, then the rest.
Bytes Publish(uint8_t first, const Bytes& lenBytes, const std::string& topic, int id, const std::string& payload)
{
    Bytes out{first};
    out.insert(out.end(), lenBytes.begin(), lenBytes.end());
    out.push_back(static_cast<uint8_t>(topic.size() >> 8));
    out.push_back(static_cast<uint8_t>(topic.size()));
    out.insert(out.end(), topic.begin(), topic.end());
    if (id >= 0) {
        out.push_back(static_cast<uint8_t>(id >> 8));
        out.push_back(static_cast<uint8_t>(id));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TEST_F(Mqtt, ConnectWithoutCredentialsIsTheGolden21Bytes)
{
    // The defaults of mqtt_init: client "emqtt", keep-alive 300 s, clean session.
    EXPECT_EQ(1, mqtt_connect(&broker));
    const Bytes golden{0x10, 0x13, 0x00, 0x06, 0x4D, 0x51, 0x49, 0x73, 0x64, 0x70, 0x03,
                       0x02, 0x01, 0x2C, 0x00, 0x05, 0x65, 0x6D, 0x71, 0x74, 0x74};
    EXPECT_EQ(golden, Sent());
}

TEST_F(Mqtt, ConnectCarriesCredentialsAndKeepalive)
{
    Init("dev01");
    mqtt_init_auth(&broker, "user", "pw");
    mqtt_set_alive(&broker, 60);
    EXPECT_EQ(1, mqtt_connect(&broker));
    Bytes expected = Concat({{0x10, 12 + 7 + 6 + 4},
                             {0x00, 0x06},
                             Text("MQIsdp"),
                             {0x03, 0xC2, 0x00, 0x3C},
                             {0x00, 0x05},
                             Text("dev01"),
                             {0x00, 0x04},
                             Text("user"),
                             {0x00, 0x02},
                             Text("pw")});
    EXPECT_EQ(expected, Sent());

    // Null or empty texts leave the stored ones; only a password sets only its flag.
    mqtt_init_auth(&broker, nullptr, "");
    EXPECT_STREQ("user", broker.username);
    EXPECT_STREQ("pw", broker.password);
    Init("d");
    mqtt_init_auth(&broker, nullptr, "secret");
    EXPECT_EQ(1, mqtt_connect(&broker));
    EXPECT_EQ(0x42, Sent()[11]);  // the connect flags
}

TEST_F(Mqtt, TextsAreCutWithRoomForTheirEnd)
{
    const std::string longId(80, 'i');
    Init(longId.c_str());
    EXPECT_EQ(std::string(49, 'i'), broker.clientid);
    mqtt_init_auth(&broker, std::string(60, 'u').c_str(), std::string(30, 'p').c_str());
    EXPECT_EQ(std::string(40, 'u'), broker.username);
    EXPECT_EQ(std::string(16, 'p'), broker.password);

    // The longest CONNECT: 12 + 51 + 42 + 18 = 123 bytes of remaining length.
    EXPECT_EQ(1, mqtt_connect(&broker));
    Bytes b = Sent();
    ASSERT_EQ(125u, b.size());
    EXPECT_EQ(123, b[1]);
    EXPECT_EQ(49, b[15]);
}

TEST_F(Mqtt, PublishGoldenPackets)
{
    EXPECT_EQ(1, mqtt_pub_msg_with_qos(&broker, "a", "xy", 2, 0, 1, 7));
    EXPECT_EQ((Bytes{0x32, 0x07, 0x00, 0x01, 'a', 0x00, 0x07, 'x', 'y'}), Sent());

    const struct {
        uint8_t retain;
        uint8_t qos;
        uint16_t id;
        Bytes expected;
    } rows[] = {
        {0, 0, 0, {0x30, 0x05, 0x00, 0x01, 't', 'p', 'q'}},
        {1, 0, 9, {0x31, 0x05, 0x00, 0x01, 't', 'p', 'q'}},  // QoS 0 carries no id
        {0, 2, 0x1234, {0x34, 0x07, 0x00, 0x01, 't', 0x12, 0x34, 'p', 'q'}},
        {1, 1, 0xFFFF, {0x33, 0x07, 0x00, 0x01, 't', 0xFF, 0xFF, 'p', 'q'}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(1, mqtt_pub_msg_with_qos(&broker, "t", "pq", 2, r.retain, r.qos, r.id));
        EXPECT_EQ(r.expected, Sent()) << int(r.qos) << " " << int(r.retain);
    }
    EXPECT_EQ(1, mqtt_pub_msg_with_qos(&broker, "t", nullptr, 0, 0, 0, 0));
    EXPECT_EQ((Bytes{0x30, 0x03, 0x00, 0x01, 't'}), Sent());
}

TEST_F(Mqtt, PublishRemainingLengthBytes)
{
    // Remaining length = 2 + 1 + payload.
    const struct {
        uint32_t payload;
        Bytes lenBytes;
    } rows[] = {
        {124, {0x7F}},
        {125, {0x80, 0x01}},
        {197, {0xC8, 0x01}},  // remaining length 200
        {16380, {0xFF, 0x7F}},
    };
    for (const auto& r : rows) {
        std::string payload(r.payload, 'z');
        EXPECT_EQ(1, mqtt_pub_msg_with_qos(&broker, "t", payload.data(), r.payload, 0, 0, 0));
        EXPECT_EQ(Publish(0x30, r.lenBytes, "t", -1, payload), Sent()) << r.payload;
    }
}

TEST_F(Mqtt, PublishRefusesWhatItCannotBuild)
{
    std::string big(16381, 'z');  // remaining length 16384 needs a third length byte
    std::string longTopic(16382, 't');
    EXPECT_EQ(MQTT_ERR_PARAM, mqtt_pub_msg_with_qos(&broker, "t", big.data(), big.size(), 0, 0, 0));
    EXPECT_EQ(MQTT_ERR_PARAM, mqtt_pub_msg_with_qos(&broker, longTopic.c_str(), "", 0, 0, 0, 0));
    EXPECT_EQ(MQTT_ERR_PARAM, mqtt_pub_msg_with_qos(&broker, nullptr, "x", 1, 0, 0, 0));
    EXPECT_EQ(MQTT_ERR_PARAM, mqtt_pub_msg_with_qos(&broker, "t", "x", 1, 0, 3, 1));
    EXPECT_EQ(MQTT_ERR_PARAM, mqtt_pub_msg_with_qos(&broker, "t", "x", 1, 0, 1, 0));  // id 0
    EXPECT_EQ(MQTT_ERR_PARAM, mqtt_pub_msg_with_qos(&broker, "t", nullptr, 1, 0, 0, 0));
    EXPECT_TRUE(wire.sends.empty());
}

TEST_F(Mqtt, ShortSendsAreFailures)
{
    wire.shortBy = 1;
    EXPECT_EQ(MQTT_CONNECT_ERR_SEND, mqtt_connect(&broker));
    EXPECT_EQ(MQTT_PUB_ERR_SEND, mqtt_pub_msg_with_qos(&broker, "t", "x", 1, 0, 0, 0));
    EXPECT_EQ(-1, mqtt_puback(&broker, 1));
    EXPECT_EQ(-1, mqtt_subscribe(&broker, "t", nullptr));
    EXPECT_EQ(-1, mqtt_unsubscribe(&broker, "t", nullptr));
    EXPECT_EQ(-1, mqtt_ping(&broker));
    EXPECT_EQ(-1, mqtt_disconnect(&broker));
    EXPECT_EQ(7u, wire.sends.size());  // one send each, never retried

    broker.send = nullptr;
    EXPECT_EQ(-1, mqtt_ping(&broker));
}

TEST_F(Mqtt, SmallPackets)
{
    EXPECT_EQ(1, mqtt_puback(&broker, 0xBEEF));
    EXPECT_EQ((Bytes{0x40, 0x02, 0xBE, 0xEF}), Sent());
    EXPECT_EQ(1, mqtt_ping(&broker));
    EXPECT_EQ((Bytes{0xC0, 0x00}), Sent());
    EXPECT_EQ(1, mqtt_disconnect(&broker));
    EXPECT_EQ((Bytes{0xE0, 0x00}), Sent());
}

TEST_F(Mqtt, SubscribeAndUnsubscribeTakeIdsInTurn)
{
    uint16_t id = 0;
    for (uint16_t expected : {1, 2, 3}) {
        EXPECT_EQ(1, mqtt_subscribe(&broker, "s/t", &id));
        EXPECT_EQ(expected, id);
        EXPECT_EQ((Bytes{0x82, 0x08, 0x00, static_cast<uint8_t>(expected), 0x00, 0x03, 's', '/', 't', 0x00}), Sent());
    }
    EXPECT_EQ(1, mqtt_unsubscribe(&broker, "s/t", &id));
    EXPECT_EQ(4, id);
    EXPECT_EQ((Bytes{0xA2, 0x07, 0x00, 0x04, 0x00, 0x03, 's', '/', 't'}), Sent());

    const char* topics[] = {"ab", "cde"};
    EXPECT_EQ(1, mqtt_multi_topics_subscribe(&broker, 2, topics, nullptr));
    EXPECT_EQ((Bytes{0x82, 0x0D, 0x00, 0x05, 0x00, 0x02, 'a', 'b', 0x00, 0x00, 0x03, 'c', 'd', 'e', 0x00}), Sent());
    uint16_t next = 0;
    EXPECT_EQ(6, mqtt_next_msg_id(&broker, 1, &next));
}

TEST_F(Mqtt, SubscribeRefusesWhatOneLengthByteCannotHold)
{
    std::string fits(122, 't');  // 2 + 2 + 122 + 1 = 127
    std::string tooLong(123, 't');
    uint16_t id = 0;
    EXPECT_EQ(1, mqtt_subscribe(&broker, fits.c_str(), &id));
    EXPECT_EQ(127, Sent()[1]);
    EXPECT_EQ(-1, mqtt_subscribe(&broker, tooLong.c_str(), &id));
    EXPECT_EQ(1, mqtt_unsubscribe(&broker, tooLong.c_str(), &id));  // no QoS byte: 127
    EXPECT_EQ(127, Sent()[1]);
    EXPECT_EQ(-1, mqtt_unsubscribe(&broker, (tooLong + "t").c_str(), &id));

    const char* many[] = {fits.c_str(), "x"};
    const char* withNull[] = {"x", nullptr};
    EXPECT_EQ(-1, mqtt_multi_topics_subscribe(&broker, 2, many, &id));
    EXPECT_EQ(-1, mqtt_multi_topics_subscribe(&broker, 2, withNull, &id));
    EXPECT_EQ(-1, mqtt_multi_topics_subscribe(&broker, 0, many, &id));
    EXPECT_EQ(-1, mqtt_multi_topics_subscribe(&broker, 1, nullptr, &id));
    EXPECT_EQ(-1, mqtt_subscribe(&broker, nullptr, &id));
    EXPECT_TRUE(wire.sends.empty());
    // Refused packets do not use up ids.
    EXPECT_EQ(1, mqtt_subscribe(&broker, "x", &id));
    EXPECT_EQ(3, id);
}

TEST_F(Mqtt, MessageIdsSkipZeroWhenWrapping)
{
    uint16_t id = 0;
    EXPECT_EQ(0, mqtt_next_msg_id(&broker, 0, &id));
    EXPECT_EQ(0, id);
    EXPECT_EQ(1, broker.seq);  // QoS 0 leaves the counter

    broker.seq = 65534;
    EXPECT_EQ(65534, mqtt_next_msg_id(&broker, 1, &id));
    EXPECT_EQ(65535, mqtt_next_msg_id(&broker, 2, &id));
    EXPECT_EQ(1, mqtt_next_msg_id(&broker, 1, &id));
    EXPECT_EQ(1, id);

    broker.seq = 65535;
    EXPECT_EQ(1, mqtt_subscribe(&broker, "t", &id));
    EXPECT_EQ(65535, id);
    EXPECT_EQ(1, mqtt_subscribe(&broker, "t", &id));
    EXPECT_EQ(1, id);
}

TEST(MqttParse, RemainingLength)
{
    const struct {
        Bytes packet;
        int lenBytes;
        int32_t remLen;
        int32_t packetLen;
    } rows[] = {
        {{0xD0, 0x00}, 1, 0, 2},
        {{0x30, 0x80, 0x01}, 2, 128, 131},
        {{0x30, 0xC8, 0x01}, 2, 200, 203},
        {{0x30, 0xFF, 0x7F}, 2, 16383, 16386},
        {{0x30, 0x80, 0x80, 0x01}, 3, 16384, 16388},
        {{0x30, 0xFF, 0xFF, 0xFF, 0x7F}, 4, 268435455, 268435460},
        // Cut short: more bytes are needed.
        {{0x30}, 0, -1, 0},
        {{0x30, 0x80}, 0, -1, 0},
        {{0x30, 0xFF, 0xFF, 0xFF}, 4, -1, 0},
        // A fourth length byte that still says "more".
        {{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 4, -1, -1},
    };
    for (const auto& r : rows) {
        auto n = static_cast<uint32_t>(r.packet.size());
        EXPECT_EQ(r.lenBytes, mqtt_num_rem_len_bytes(r.packet.data(), n)) << testing::PrintToString(r.packet);
        EXPECT_EQ(r.remLen, mqtt_parse_rem_len(r.packet.data(), n)) << testing::PrintToString(r.packet);
        EXPECT_EQ(r.packetLen, mqtt_packet_len(r.packet.data(), n)) << testing::PrintToString(r.packet);
    }
    EXPECT_EQ(0, mqtt_num_rem_len_bytes(nullptr, 4));
}

TEST(MqttParse, MessageIds)
{
    const struct {
        Bytes packet;
        uint16_t id;
    } rows[] = {
        {{0x40, 0x02, 0x12, 0x34}, 0x1234},               // PUBACK
        {{0x90, 0x03, 0x00, 0x07, 0x00}, 7},             // SUBACK
        {{0xB0, 0x02, 0xAB, 0xCD}, 0xABCD},              // UNSUBACK
        {{0x20, 0x02, 0x00, 0x00}, 0},                   // CONNACK: outside the range
        {{0xD0, 0x00}, 0},                               // PINGRESP
        {{0x40, 0x01, 0x12}, 0},                         // too short for an id
        {{0x40, 0x02, 0x12}, 0},                         // cut short
        {Publish(0x30, {0x05}, "ab", -1, "p"), 0},       // QoS 0
        {Publish(0x32, {0x07}, "ab", 0x0102, "p"), 0x0102},
        {Publish(0x34, {0x06}, "ab", 0x0A0B, ""), 0x0A0B},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.id, mqtt_parse_msg_id(r.packet.data(), static_cast<uint32_t>(r.packet.size())))
            << testing::PrintToString(r.packet);
    }
}

TEST(MqttParse, PublishTopicAndPayload)
{
    // A topic past 255 bytes and a two-byte length: offsets in full width.
    const std::string longTopic(300, 'T');
    const std::string payload(40, 'p');
    const struct {
        Bytes packet;
        std::string topic;
        std::string payload;
    } rows[] = {
        {Publish(0x30, {0x0E}, "a/b/c", -1, "{\"t\":1}"), "a/b/c", "{\"t\":1}"},
        {Publish(0x32, {0x09}, "a/b", 5, "xy"), "a/b", "xy"},
        {Publish(0x33, {0x07}, "a/b", 5, ""), "a/b", ""},
        {Publish(0x30, {0xD6, 0x02}, longTopic, -1, payload), longTopic, payload},
        {Publish(0x32, {0xD8, 0x02}, longTopic, 9, payload), longTopic, payload},
    };
    for (const auto& r : rows) {
        const uint8_t* p = r.packet.data();
        auto n = static_cast<uint32_t>(r.packet.size());
        const uint8_t* topic = nullptr;
        ASSERT_EQ(r.topic.size(), mqtt_parse_pub_topic_ptr(p, n, &topic)) << r.topic.size();
        EXPECT_EQ(r.topic, std::string(reinterpret_cast<const char*>(topic), r.topic.size()));
        const uint8_t* msg = nullptr;
        ASSERT_EQ(r.payload.size(), mqtt_parse_pub_msg_ptr(p, n, &msg));
        EXPECT_EQ(p + n, msg + r.payload.size());
        EXPECT_EQ(r.payload, std::string(reinterpret_cast<const char*>(msg), r.payload.size()));

        std::vector<char> topicBuf(r.topic.size() + 1);
        EXPECT_EQ(static_cast<int>(r.topic.size()), mqtt_parse_pub_topic(p, n, topicBuf.data(), topicBuf.size()));
        EXPECT_EQ(r.topic, topicBuf.data());
        EXPECT_EQ(-1, mqtt_parse_pub_topic(p, n, topicBuf.data(), r.topic.size()));  // no room for the NUL
        std::vector<uint8_t> msgBuf(r.payload.size());
        EXPECT_EQ(static_cast<int>(r.payload.size()), mqtt_parse_publish_msg(p, n, msgBuf.data(), msgBuf.size()));
        EXPECT_EQ(r.payload, std::string(msgBuf.begin(), msgBuf.end()));
        if (!r.payload.empty()) {
            EXPECT_EQ(-1, mqtt_parse_publish_msg(p, n, msgBuf.data(), msgBuf.size() - 1));
        }
    }
}

TEST(MqttParse, PublishParsersRefuseBrokenPackets)
{
    const Bytes rows[] = {
        {0x40, 0x02, 0x00, 0x01},                             // not a PUBLISH
        {0x30, 0x08, 0x00, 0x03, 'a', 'b', 'c', 'x', 'y'},    // one byte missing
        {0x30, 0x04, 0x00, 0x09, 'a', 'b'},                   // topic longer than the packet
        {0x32, 0x05, 0x00, 0x03, 'a', 'b', 'c'},              // QoS 1 without room for the id
        {0x30, 0x01, 0x00},                                   // no room for the topic length
        {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},                 // malformed length
        {0x30},                                               // header only
    };
    for (const auto& b : rows) {
        const uint8_t* topic = b.data();
        const uint8_t* msg = b.data();
        auto n = static_cast<uint32_t>(b.size());
        EXPECT_EQ(0, mqtt_parse_pub_topic_ptr(b.data(), n, &topic)) << testing::PrintToString(b);
        EXPECT_EQ(nullptr, topic);
        EXPECT_EQ(0u, mqtt_parse_pub_msg_ptr(b.data(), n, &msg)) << testing::PrintToString(b);
        EXPECT_EQ(nullptr, msg);
        char t[16];
        uint8_t m[16];
        EXPECT_EQ(0, mqtt_parse_pub_topic(b.data(), n, t, sizeof(t)));
        EXPECT_EQ(0, mqtt_parse_publish_msg(b.data(), n, m, sizeof(m)));
    }
    // A whole packet followed by more bytes is parsed within its own length.
    Bytes two = Concat({Publish(0x30, {0x04}, "a", -1, "p"), {0xD0, 0x00}});
    const uint8_t* msg = nullptr;
    EXPECT_EQ(1u, mqtt_parse_pub_msg_ptr(two.data(), static_cast<uint32_t>(two.size()), &msg));
    EXPECT_EQ('p', *msg);
}

}  // namespace
