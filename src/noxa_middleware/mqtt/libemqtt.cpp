#include "noxa_middleware/mqtt/libemqtt.h"

#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <array>
#include <cstring>
#include <memory>

namespace {

// Variable header of CONNECT: "MQIsdp" with its length, level, flags, keepalive.
constexpr uint32_t kConnectVarHeader = 12;
constexpr uint32_t kMaxRemLenBytes = 4;
// Fixed header (type and one length byte) plus the largest one-byte remaining length.
constexpr uint32_t kSubPacketMax = 2 + MQTT_MAX_SUB_REM_LEN;
constexpr uint32_t kPubStackPacket = 512;

struct MemFree {
    void operator()(uint8_t* p) const { Free(p); }
};
using PacketBuf = std::unique_ptr<uint8_t, MemFree>;

// Copies at most size - 1 characters and always ends with a NUL.
void __copy_text(char* dst, size_t size, const char* src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

uint8_t* __put_rem_len(uint8_t* p, uint32_t len)
{
    do {
        uint8_t b = len & 0x7F;
        len >>= 7;
        *p++ = len != 0 ? (b | 0x80) : b;
    } while (len != 0);
    return p;
}

uint32_t __rem_len_bytes(uint32_t len)
{
    return len < 128 ? 1 : (len < 16384 ? 2 : (len < 2097152 ? 3 : 4));
}

uint8_t* __put_u16(uint8_t* p, uint16_t v)
{
    *p++ = static_cast<uint8_t>(v >> 8);
    *p++ = static_cast<uint8_t>(v);
    return p;
}

uint8_t* __put_str(uint8_t* p, const void* s, uint16_t len)
{
    p = __put_u16(p, len);
    if (len != 0) {
        memcpy(p, s, len);
    }
    return p + len;
}

uint16_t __get_u16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool __send_all(mqtt_broker_handle_t* broker, const uint8_t* buf, uint32_t len)
{
    if (broker->send == nullptr) {
        return false;
    }
    int sent = broker->send(broker->socket_info, buf, len);
    return sent >= 0 && static_cast<uint32_t>(sent) == len;
}

uint16_t __take_id(mqtt_broker_handle_t* broker)
{
    if (broker->seq == 0) {
        broker->seq = 1;  // a record never set up by mqtt_init
    }
    uint16_t id = broker->seq;
    broker->seq = id == 0xFFFF ? 1 : static_cast<uint16_t>(id + 1);
    return id;
}

// Packets of two bytes: type and a zero remaining length.
int __send_empty(mqtt_broker_handle_t* broker, uint8_t type)
{
    if (broker == nullptr) {
        return -1;
    }
    const uint8_t packet[2] = {type, 0x00};
    return __send_all(broker, packet, sizeof(packet)) ? 1 : -1;
}

// SUBSCRIBE or UNSUBSCRIBE of n topics: message id, then each topic (and a QoS byte 0 when
// subscribing). Built on the stack; refused when it needs more than one length byte.
int __send_topics(mqtt_broker_handle_t* broker, uint8_t type, int n, const char* const* topics, bool withQos,
                  uint16_t* message_id)
{
    uint32_t rem = 2;
    for (int i = 0; i < n; ++i) {
        rem += 2 + static_cast<uint32_t>(strnlen(topics[i], kSubPacketMax)) + (withQos ? 1 : 0);
        if (rem > MQTT_MAX_SUB_REM_LEN) {
            return -1;
        }
    }
    std::array<uint8_t, kSubPacketMax> packet;
    uint16_t id = __take_id(broker);
    uint8_t* p = packet.data();
    *p++ = type;
    *p++ = static_cast<uint8_t>(rem);
    p = __put_u16(p, id);
    for (int i = 0; i < n; ++i) {
        p = __put_str(p, topics[i], static_cast<uint16_t>(strlen(topics[i])));
        if (withQos) {
            *p++ = 0x00;
        }
    }
    if (message_id != nullptr) {
        *message_id = id;
    }
    return __send_all(broker, packet.data(), static_cast<uint32_t>(p - packet.data())) ? 1 : -1;
}

// The fixed header of the packet in buf: its size and the packet's whole length, when the
// header is well formed and the whole packet lies within len.
bool __packet_view(const uint8_t* buf, uint32_t len, uint32_t* hdr, uint32_t* pkt)
{
    int32_t total = mqtt_packet_len(buf, len);
    if (total <= 0 || static_cast<uint32_t>(total) > len) {
        return false;
    }
    *hdr = 1 + static_cast<uint32_t>(mqtt_num_rem_len_bytes(buf, len));
    *pkt = static_cast<uint32_t>(total);
    return true;
}

// Offsets of a PUBLISH: topic at hdr + 2, payload after the topic and, with QoS, the id.
struct PubLayout {
    uint32_t topicOff;
    uint16_t topicLen;
    uint32_t idOff;  // 0 for QoS 0
    uint32_t msgOff;
    uint32_t pktLen;
};

bool __pub_layout(const uint8_t* buf, uint32_t len, PubLayout* l)
{
    uint32_t hdr = 0;
    uint32_t pkt = 0;
    if (buf == nullptr || !__packet_view(buf, len, &hdr, &pkt) || MQTTParseMessageType(buf) != MQTT_MSG_PUBLISH ||
        hdr + 2 > pkt) {
        return false;
    }
    l->topicLen = __get_u16(buf + hdr);
    l->topicOff = hdr + 2;
    uint32_t after = l->topicOff + l->topicLen;
    l->idOff = 0;
    if (MQTTParseMessageQos(buf) != 0) {
        l->idOff = after;
        after += 2;
    }
    if (after > pkt) {
        return false;
    }
    l->msgOff = after;
    l->pktLen = pkt;
    return true;
}

}  // namespace

void mqtt_init(mqtt_broker_handle_t* broker, const char* clientid)
{
    if (broker == nullptr) {
        return;
    }
    broker->alive = MQTT_DEFAULT_KEEPALIVE;
    broker->seq = 1;
    memset(broker->clientid, 0, sizeof(broker->clientid));
    memset(broker->username, 0, sizeof(broker->username));
    memset(broker->password, 0, sizeof(broker->password));
    __copy_text(broker->clientid, sizeof(broker->clientid), clientid != nullptr ? clientid : MQTT_DEFAULT_CLIENT_ID);
    broker->clean_session = 1;
}

void mqtt_init_auth(mqtt_broker_handle_t* broker, const char* username, const char* password)
{
    if (broker == nullptr) {
        return;
    }
    if (username != nullptr && username[0] != '\0') {
        __copy_text(broker->username, sizeof(broker->username), username);
    }
    if (password != nullptr && password[0] != '\0') {
        __copy_text(broker->password, sizeof(broker->password), password);
    }
}

void mqtt_set_alive(mqtt_broker_handle_t* broker, uint16_t alive)
{
    if (broker != nullptr) {
        broker->alive = alive;
    }
}

int mqtt_connect(mqtt_broker_handle_t* broker)
{
    if (broker == nullptr) {
        return MQTT_ERR_PARAM;
    }
    auto idLen = static_cast<uint16_t>(strnlen(broker->clientid, sizeof(broker->clientid) - 1));
    auto userLen = static_cast<uint16_t>(strnlen(broker->username, sizeof(broker->username) - 1));
    auto pwdLen = static_cast<uint16_t>(strnlen(broker->password, sizeof(broker->password) - 1));
    uint8_t flags = 0;
    if (userLen != 0) {
        flags |= MQTT_CONNECT_USER_FLAG;
    }
    if (pwdLen != 0) {
        flags |= MQTT_CONNECT_PASSWORD_FLAG;
    }
    if (broker->clean_session != 0) {
        flags |= MQTT_CONNECT_CLEAN_SESSION_FLAG;
    }
    uint32_t rem = kConnectVarHeader + 2 + idLen + (userLen != 0 ? 2 + userLen : 0) + (pwdLen != 0 ? 2 + pwdLen : 0);
    uint32_t total = 1 + __rem_len_bytes(rem) + rem;
    PacketBuf packet(static_cast<uint8_t*>(Malloc(total)));
    if (!packet) {
        return MQTT_CONNECT_ERR_MEMORY;
    }
    uint8_t* p = packet.get();
    *p++ = MQTT_MSG_CONNECT;
    p = __put_rem_len(p, rem);
    p = __put_str(p, MQTT_PROTOCOL_NAME, sizeof(MQTT_PROTOCOL_NAME) - 1);
    *p++ = MQTT_PROTOCOL_LEVEL;
    *p++ = flags;
    p = __put_u16(p, broker->alive);
    p = __put_str(p, broker->clientid, idLen);
    if (userLen != 0) {
        p = __put_str(p, broker->username, userLen);
    }
    if (pwdLen != 0) {
        p = __put_str(p, broker->password, pwdLen);
    }
    return __send_all(broker, packet.get(), total) ? 1 : MQTT_CONNECT_ERR_SEND;
}

int mqtt_pub_msg_with_qos(mqtt_broker_handle_t* broker, const char* topic, const void* msg, uint32_t msg_len,
                          uint8_t retain, uint8_t qos, uint16_t message_id)
{
    if (broker == nullptr || topic == nullptr || (msg == nullptr && msg_len != 0) || qos > 2 ||
        (qos != 0 && message_id == 0)) {
        return MQTT_ERR_PARAM;
    }
    size_t topicLen = strnlen(topic, MQTT_MAX_BUILT_REM_LEN + 1);
    uint64_t rem = 2 + topicLen + (qos != 0 ? 2 : 0) + static_cast<uint64_t>(msg_len);
    if (rem > MQTT_MAX_BUILT_REM_LEN) {
        return MQTT_ERR_PARAM;
    }
    uint32_t total = 1 + __rem_len_bytes(static_cast<uint32_t>(rem)) + static_cast<uint32_t>(rem);
    // The cloud's messages are mostly short: those are built on the stack.
    std::array<uint8_t, kPubStackPacket> small;
    PacketBuf block;
    uint8_t* packet = small.data();
    if (total > small.size()) {
        block.reset(static_cast<uint8_t*>(Malloc(total)));
        if (!block) {
            return MQTT_PUB_ERR_PACKET;
        }
        packet = block.get();
    }
    uint8_t* p = packet;
    *p++ = static_cast<uint8_t>(MQTT_MSG_PUBLISH | (qos << 1) | (retain != 0 ? MQTT_PUB_RETAIN_FLAG : 0));
    p = __put_rem_len(p, static_cast<uint32_t>(rem));
    p = __put_str(p, topic, static_cast<uint16_t>(topicLen));
    if (qos != 0) {
        p = __put_u16(p, message_id);
    }
    if (msg_len != 0) {
        memcpy(p, msg, msg_len);
    }
    return __send_all(broker, packet, total) ? 1 : MQTT_PUB_ERR_SEND;
}

int mqtt_puback(mqtt_broker_handle_t* broker, uint16_t message_id)
{
    if (broker == nullptr) {
        return -1;
    }
    uint8_t packet[4] = {MQTT_MSG_PUBACK, 0x02};
    __put_u16(packet + 2, message_id);
    return __send_all(broker, packet, sizeof(packet)) ? 1 : -1;
}

int mqtt_subscribe(mqtt_broker_handle_t* broker, const char* topic, uint16_t* message_id)
{
    if (broker == nullptr || topic == nullptr) {
        return -1;
    }
    return __send_topics(broker, MQTT_MSG_SUBSCRIBE | 0x02, 1, &topic, true, message_id);
}

int mqtt_multi_topics_subscribe(mqtt_broker_handle_t* broker, int topic_cnt, const char* const* topics,
                                uint16_t* message_id)
{
    if (broker == nullptr || topics == nullptr || topic_cnt < 1) {
        return -1;
    }
    for (int i = 0; i < topic_cnt; ++i) {
        if (topics[i] == nullptr) {
            PR_ERR(" %s para is error\n", __func__);
            return -1;
        }
    }
    return __send_topics(broker, MQTT_MSG_SUBSCRIBE | 0x02, topic_cnt, topics, true, message_id);
}

int mqtt_unsubscribe(mqtt_broker_handle_t* broker, const char* topic, uint16_t* message_id)
{
    if (broker == nullptr || topic == nullptr) {
        return -1;
    }
    return __send_topics(broker, MQTT_MSG_UNSUBSCRIBE | 0x02, 1, &topic, false, message_id);
}

int mqtt_ping(mqtt_broker_handle_t* broker)
{
    return __send_empty(broker, MQTT_MSG_PINGREQ);
}

int mqtt_disconnect(mqtt_broker_handle_t* broker)
{
    return __send_empty(broker, MQTT_MSG_DISCONNECT);
}

int mqtt_next_msg_id(mqtt_broker_handle_t* broker, uint8_t qos, uint16_t* message_id)
{
    uint16_t id = 0;
    if (broker != nullptr && (qos == 1 || qos == 2)) {
        id = __take_id(broker);
    }
    if (message_id != nullptr) {
        *message_id = id;
    }
    return id;
}

int mqtt_num_rem_len_bytes(const uint8_t* buf, uint32_t len)
{
    if (buf == nullptr) {
        return 0;
    }
    for (uint32_t i = 1; i < kMaxRemLenBytes; ++i) {
        if (i >= len) {
            return 0;
        }
        if ((buf[i] & 0x80) == 0) {
            return static_cast<int>(i);
        }
    }
    return kMaxRemLenBytes;
}

int32_t mqtt_parse_rem_len(const uint8_t* buf, uint32_t len)
{
    int n = mqtt_num_rem_len_bytes(buf, len);
    if (n == 0 || static_cast<uint32_t>(n) + 1 > len || (buf[n] & 0x80) != 0) {
        return -1;
    }
    int32_t value = 0;
    for (int i = n; i >= 1; --i) {
        value = (value << 7) | (buf[i] & 0x7F);
    }
    return value;
}

int32_t mqtt_packet_len(const uint8_t* buf, uint32_t len)
{
    int n = mqtt_num_rem_len_bytes(buf, len);
    if (n == 0 || static_cast<uint32_t>(n) + 1 > len) {
        return 0;
    }
    int32_t rem = mqtt_parse_rem_len(buf, len);
    return rem < 0 ? -1 : 1 + n + rem;
}

uint16_t mqtt_parse_msg_id(const uint8_t* buf, uint32_t len)
{
    if (buf == nullptr || len == 0) {
        return 0;
    }
    uint8_t type = MQTTParseMessageType(buf);
    if (type < MQTT_MSG_PUBLISH || type > MQTT_MSG_UNSUBACK) {
        return 0;
    }
    if (type == MQTT_MSG_PUBLISH) {
        PubLayout l{};
        return __pub_layout(buf, len, &l) && l.idOff != 0 ? __get_u16(buf + l.idOff) : 0;
    }
    uint32_t hdr = 0;
    uint32_t pkt = 0;
    if (!__packet_view(buf, len, &hdr, &pkt) || hdr + 2 > pkt) {
        return 0;
    }
    return __get_u16(buf + hdr);
}

uint16_t mqtt_parse_pub_topic_ptr(const uint8_t* buf, uint32_t len, const uint8_t** topic_ptr)
{
    PubLayout l{};
    bool ok = __pub_layout(buf, len, &l);
    if (topic_ptr != nullptr) {
        *topic_ptr = ok ? buf + l.topicOff : nullptr;
    }
    return ok ? l.topicLen : 0;
}

int mqtt_parse_pub_topic(const uint8_t* buf, uint32_t len, char* topic, uint32_t topic_size)
{
    const uint8_t* ptr = nullptr;
    uint16_t n = mqtt_parse_pub_topic_ptr(buf, len, &ptr);
    if (ptr == nullptr || topic == nullptr) {
        return 0;
    }
    if (static_cast<uint32_t>(n) + 1 > topic_size) {
        return -1;
    }
    memcpy(topic, ptr, n);
    topic[n] = '\0';
    return n;
}

uint32_t mqtt_parse_pub_msg_ptr(const uint8_t* buf, uint32_t len, const uint8_t** msg_ptr)
{
    PubLayout l{};
    bool ok = __pub_layout(buf, len, &l);
    if (msg_ptr != nullptr) {
        *msg_ptr = ok ? buf + l.msgOff : nullptr;
    }
    return ok ? l.pktLen - l.msgOff : 0;
}

int32_t mqtt_parse_publish_msg(const uint8_t* buf, uint32_t len, uint8_t* msg, uint32_t msg_size)
{
    const uint8_t* ptr = nullptr;
    uint32_t n = mqtt_parse_pub_msg_ptr(buf, len, &ptr);
    if (ptr == nullptr || msg == nullptr) {
        return 0;
    }
    if (n > msg_size) {
        return -1;
    }
    if (n != 0) {
        memcpy(msg, ptr, n);
    }
    return static_cast<int32_t>(n);
}
