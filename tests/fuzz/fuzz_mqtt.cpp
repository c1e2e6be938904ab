// The MQTT parsers over arbitrary received bytes, walked as the client walks its receive buffer,
// and PUBLISH packets built from the input and parsed back.
#include "noxa_middleware/mqtt/libemqtt.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void Check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// One packet at p with n bytes at hand: every pointer handed back lies inside them.
void ParseOne(const uint8_t* p, uint32_t n)
{
    int lenBytes = mqtt_num_rem_len_bytes(p, n);
    int32_t rem = mqtt_parse_rem_len(p, n);
    int32_t total = mqtt_packet_len(p, n);
    Check(lenBytes >= 0 && lenBytes <= 4);
    if (total > 0) {
        Check(lenBytes >= 1 && rem >= 0 && total == 1 + lenBytes + rem);
    }
    (void)mqtt_parse_msg_id(p, n);

    const uint8_t* topic = nullptr;
    uint16_t topicLen = mqtt_parse_pub_topic_ptr(p, n, &topic);
    const uint8_t* msg = nullptr;
    uint32_t msgLen = mqtt_parse_pub_msg_ptr(p, n, &msg);
    Check((topic == nullptr) == (msg == nullptr));
    if (topic == nullptr) {
        Check(topicLen == 0 && msgLen == 0);
        return;
    }
    Check(total > 0 && static_cast<uint32_t>(total) <= n);
    Check(topic > p && topic + topicLen <= p + total);
    Check(msg >= topic + topicLen && msg + msgLen == p + total);

    // Copies into buffers of the exact size, so one byte too many is an overflow.
    std::unique_ptr<char[]> topicBuf(new char[topicLen + 1]);
    Check(mqtt_parse_pub_topic(p, n, topicBuf.get(), topicLen + 1) == topicLen);
    Check(memcmp(topicBuf.get(), topic, topicLen) == 0 && topicBuf[topicLen] == '\0');
    Check(mqtt_parse_pub_topic(p, n, topicBuf.get(), topicLen) == -1);
    std::unique_ptr<uint8_t[]> msgBuf(new uint8_t[msgLen]);
    Check(mqtt_parse_publish_msg(p, n, msgBuf.get(), msgLen) == static_cast<int32_t>(msgLen));
    if (msgLen != 0) {
        Check(memcmp(msgBuf.get(), msg, msgLen) == 0);
        Check(mqtt_parse_publish_msg(p, n, msgBuf.get(), msgLen - 1) == -1);
    }
}

std::vector<uint8_t> gSent;

int Capture(void*, const void* buf, unsigned int count)
{
    const auto* b = static_cast<const uint8_t*>(buf);
    gSent.assign(b, b + count);
    return static_cast<int>(count);
}

// data[0]: QoS and retain; data[1..2]: id; data[3]: topic length; then topic and payload.
void RoundTrip(const uint8_t* data, size_t size)
{
    if (size < 4) {
        return;
    }
    uint8_t qos = data[0] % 3;
    uint8_t retain = (data[0] >> 2) & 1;
    auto id = static_cast<uint16_t>((data[1] << 8) | data[2]);
    size_t topicLen = data[3] < size - 4 ? data[3] : size - 4;
    std::string topic(reinterpret_cast<const char*>(data + 4), topicLen);
    topic = topic.c_str();  // the builder takes a C text
    const uint8_t* payload = data + 4 + topicLen;
    auto payloadLen = static_cast<uint32_t>(size - 4 - topicLen);

    mqtt_broker_handle_t broker{};
    mqtt_init(&broker, "fuzz");
    broker.send = Capture;
    gSent.clear();
    int ret = mqtt_pub_msg_with_qos(&broker, topic.c_str(), payload, payloadLen, retain, qos, id);
    size_t rem = 2 + topic.size() + (qos != 0 ? 2 : 0) + payloadLen;
    if (rem > MQTT_MAX_BUILT_REM_LEN || (qos != 0 && id == 0)) {
        Check(ret == MQTT_ERR_PARAM && gSent.empty());
        return;
    }
    Check(ret == 1);
    const uint8_t* p = gSent.data();
    auto n = static_cast<uint32_t>(gSent.size());
    Check(mqtt_packet_len(p, n) == static_cast<int32_t>(n));
    Check(MQTTParseMessageQos(p) == qos && MQTTParseMessageRetain(p) == retain);
    Check(mqtt_parse_msg_id(p, n) == (qos != 0 ? id : 0));
    const uint8_t* t = nullptr;
    Check(mqtt_parse_pub_topic_ptr(p, n, &t) == topic.size() && memcmp(t, topic.data(), topic.size()) == 0);
    const uint8_t* m = nullptr;
    Check(mqtt_parse_pub_msg_ptr(p, n, &m) == payloadLen && (payloadLen == 0 || memcmp(m, payload, payloadLen) == 0));
    // Cut short, the packet is never taken as whole.
    Check(mqtt_parse_pub_topic_ptr(p, n - 1, &t) == 0 && t == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy: a read one byte past the input is caught.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
    if (size != 0) {
        memcpy(buf.get(), data, size);
    }
    // The input as a receive buffer holding several packets in a row.
    size_t off = 0;
    while (off < size) {
        auto left = static_cast<uint32_t>(size - off);
        ParseOne(buf.get() + off, left);
        int32_t total = mqtt_packet_len(buf.get() + off, left);
        if (total <= 0 || static_cast<uint32_t>(total) > left) {
            break;
        }
        off += static_cast<size_t>(total);
    }
    RoundTrip(data, size);
    return 0;
}
