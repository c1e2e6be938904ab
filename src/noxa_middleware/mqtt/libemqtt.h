// MQTT 3.1 packets ("MQIsdp", protocol level 3) of the cloud connection: builders that send a
// whole packet with one call of the record's send hook, and parsers that read a received packet
// in place. The parsers take the number of bytes at hand and never read past it or past the
// packet's own length.
#pragma once

#include <cstdint>

#define MQTT_PROTOCOL_NAME "MQIsdp"
#define MQTT_PROTOCOL_LEVEL 3
#define MQTT_DEFAULT_KEEPALIVE 300
#define MQTT_DEFAULT_CLIENT_ID "emqtt"

#define MQTT_CLIENT_ID_LEN 50  // with the NUL
#define MQTT_USER_NAME_LEN 41
#define MQTT_PASSWORD_LEN 17

// The builders write the remaining length in at most two bytes.
#define MQTT_MAX_BUILT_REM_LEN 16383
// SUBSCRIBE and UNSUBSCRIBE carry a one-byte remaining length.
#define MQTT_MAX_SUB_REM_LEN 127

#define MQTT_MSG_CONNECT 0x10
#define MQTT_MSG_CONNACK 0x20
#define MQTT_MSG_PUBLISH 0x30
#define MQTT_MSG_PUBACK 0x40
#define MQTT_MSG_PUBREC 0x50
#define MQTT_MSG_PUBREL 0x60
#define MQTT_MSG_PUBCOMP 0x70
#define MQTT_MSG_SUBSCRIBE 0x80
#define MQTT_MSG_SUBACK 0x90
#define MQTT_MSG_UNSUBSCRIBE 0xA0
#define MQTT_MSG_UNSUBACK 0xB0
#define MQTT_MSG_PINGREQ 0xC0
#define MQTT_MSG_PINGRESP 0xD0
#define MQTT_MSG_DISCONNECT 0xE0

#define MQTT_CONNECT_USER_FLAG 0x80
#define MQTT_CONNECT_PASSWORD_FLAG 0x40
#define MQTT_CONNECT_CLEAN_SESSION_FLAG 0x02

#define MQTT_PUB_QOS1_FLAG 0x02
#define MQTT_PUB_QOS2_FLAG 0x04
#define MQTT_PUB_RETAIN_FLAG 0x01

#define MQTTParseMessageType(buf) ((buf)[0] & 0xF0)
#define MQTTParseMessageQos(buf) (((buf)[0] & 0x06) >> 1)
#define MQTTParseMessageRetain(buf) ((buf)[0] & 0x01)

// Builder results besides 1 (the whole packet went to the send hook).
enum {
    MQTT_PUB_ERR_VAR_HEADER = -1,
    MQTT_PUB_ERR_FIXED_HEADER = -2,
    MQTT_PUB_ERR_PACKET = -3,     // no memory for the packet
    MQTT_PUB_ERR_SEND = -4,       // the send hook took less than the packet
    MQTT_CONNECT_ERR_MEMORY = -5,
    MQTT_CONNECT_ERR_SEND = -6,
    MQTT_ERR_PARAM = -7,          // null record or text, bad QoS or id, or a packet too large
};

// Sends count bytes of buf; returns the number of bytes sent (fewer, or negative, is a failure).
typedef int (*MQTT_SEND_CB)(void* socket_info, const void* buf, unsigned int count);

// One broker connection's codec state.
struct mqtt_broker_handle_t {
    void* socket_info;  // handed back to the send hook
    MQTT_SEND_CB send;
    char clientid[MQTT_CLIENT_ID_LEN];
    char username[MQTT_USER_NAME_LEN];
    char password[MQTT_PASSWORD_LEN];
    uint8_t clean_session;
    uint16_t seq;    // next message id, never 0
    uint16_t alive;  // keepalive seconds
};

// Keepalive 300, next id 1, clean session; the client id (at most 49 characters) or "emqtt".
// The socket information and the send hook are left for the caller to set.
void mqtt_init(mqtt_broker_handle_t* broker, const char* clientid);
// Copies each text that is non-null and non-empty (40 and 16 characters at most).
void mqtt_init_auth(mqtt_broker_handle_t* broker, const char* username, const char* password);
void mqtt_set_alive(mqtt_broker_handle_t* broker, uint16_t alive);

// 1; -5 memory; -6 short send; -7 null record.
int mqtt_connect(mqtt_broker_handle_t* broker);
// 1; -3 memory; -4 short send; -7 a null topic, QoS above 2, id 0 with QoS 1 or 2, or a packet
// whose remaining length exceeds 16383.
int mqtt_pub_msg_with_qos(mqtt_broker_handle_t* broker, const char* topic, const void* msg, uint32_t msg_len,
                          uint8_t retain, uint8_t qos, uint16_t message_id);
// The rest: 1 or -1 (also for a topic that does not fit the one-byte remaining length).
int mqtt_puback(mqtt_broker_handle_t* broker, uint16_t message_id);
int mqtt_subscribe(mqtt_broker_handle_t* broker, const char* topic, uint16_t* message_id);
int mqtt_multi_topics_subscribe(mqtt_broker_handle_t* broker, int topic_cnt, const char* const* topics,
                                uint16_t* message_id);
int mqtt_unsubscribe(mqtt_broker_handle_t* broker, const char* topic, uint16_t* message_id);
int mqtt_ping(mqtt_broker_handle_t* broker);
int mqtt_disconnect(mqtt_broker_handle_t* broker);
// QoS 1 and 2: the next id, stored in *message_id and returned; the counter wraps from 65535 to
// 1, since id 0 is invalid for QoS 1 and 2 and a broker drops the link on it. Other QoS: 0.
int mqtt_next_msg_id(mqtt_broker_handle_t* broker, uint8_t qos, uint16_t* message_id);

// Parsers. buf holds len received bytes, starting at a fixed header.
// Number of remaining-length bytes: the first of bytes 1..3 without 0x80 ends them, else 4.
// 0 when len ends before that can be told.
int mqtt_num_rem_len_bytes(const uint8_t* buf, uint32_t len);
// The remaining length (up to 268,435,455); -1 when its bytes are cut short or a fourth byte
// still says "more".
int32_t mqtt_parse_rem_len(const uint8_t* buf, uint32_t len);
// The whole packet's length (1 + length bytes + remaining length); 0 while the length bytes are
// not all at hand; -1 when they are malformed.
int32_t mqtt_packet_len(const uint8_t* buf, uint32_t len);
// PUBLISH (0x30) to UNSUBACK (0xB0): the message id; 0 for a PUBLISH of QoS 0, other types, a
// packet not wholly in buf, or one too short to hold the id.
uint16_t mqtt_parse_msg_id(const uint8_t* buf, uint32_t len);
// PUBLISH: the topic length and a pointer to the topic (not NUL-terminated); else 0 and null.
uint16_t mqtt_parse_pub_topic_ptr(const uint8_t* buf, uint32_t len, const uint8_t** topic_ptr);
// Copies the topic with a NUL; its length, 0 when there is none, -1 when it does not fit.
int mqtt_parse_pub_topic(const uint8_t* buf, uint32_t len, char* topic, uint32_t topic_size);
// PUBLISH: the payload length and a pointer to the payload; else 0 and null.
uint32_t mqtt_parse_pub_msg_ptr(const uint8_t* buf, uint32_t len, const uint8_t** msg_ptr);
// Copies the payload; its length (0 when there is none), -1 when it does not fit.
int32_t mqtt_parse_publish_msg(const uint8_t* buf, uint32_t len, uint8_t* msg, uint32_t msg_size);
