// The MQTT application layer: the unit's one link to the cloud broker, made from the activation
// record, every message in the envelope of com_protocol. Received messages are checked and
// dispatched by protocol number; reports go out on "smart/device/out/<devId>".
//
// Threads: received messages are checked on the MQTT task thread; data-point commands (5) and
// queries (31) go on to the layer's ordered worker (mqc_work_post), which applies them one at a
// time in arrival order. A *_sync report waits for its PUBACK and must not be called on the MQTT
// task thread (a protocol handler): the task is what reads the PUBACK.
//
// Received envelopes whose sequence is not above the last one of the connection, or (once the
// clock is synced) whose "t" lies more than 300 s from the clock, are dropped: a captured command
// sent again does nothing.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

#include <cjson/cJSON.h>
#include <cstdint>
#include <string>

#define MQC_HANDLER_MAX 20
#define MQC_ADDITIONAL_TOPIC_MAX 2
#define MQC_WAKEUP_DATA_LEN 9

// Every publish while the link is down fails at once with this.
#define MQC_ERR_OFFLINE (-930)

// Protocol numbers of the cloud link.
typedef enum {
    PRO_DATA_PUSH = 4,
    PRO_CMD = 5,
    PRO_GW_RESET = 11,
    PRO_UG_SUMMER_TABLE = 41,
    PRO_UPGD_REQ = 15,
    PRO_DEV_UPGD_PROG = 16,
    PRO_MQ_ACK = 26,
    PRO_QUERY_DP = 31,
    PRO_DOORBELL_PRESS = 43,
    PRO_DOORBELL_ANSWER = 308,
} MQC_PROTOCOL_E;

// A handler of one protocol: the whole decoded message {"protocol","t","data"}; its result is
// logged when not 0.
typedef int (*MQC_PROT_CB)(cJSON* root);

// Once: registers the camera side's extra protocols (iot_register_extra_mqt_cb). 0.
int mqc_app_init(void);
// The camera side's registration of its protocols, which iot_register_extra_mqt_cb calls: the
// core cannot name it (the camera library stands on this one). Set before the first
// mqc_app_start, which runs mqc_app_init; null takes it away.
typedef int (*MQC_EXTRA_REG_HOOK)(void);
void mqc_app_set_extra_reg_hook(MQC_EXTRA_REG_HOOK hook);
// Starts the link from the activation record in the gateway (devId, localKey, MQTT URL). 0; -2
// without a record or with a URL that is not "ssl://host:port" or "tcp://host:port"; -1 when a
// link runs already; else the client's code.
int mqc_app_start(const char* mq_url);
// Ends the link (unactivation, tests). 0.
int mqc_app_stop(void);
// 1 while the link is up (subscribed).
int mqc_app_online(void);

// The handler of a protocol number (replaced when registered again): 0; -1 when all 20 are taken
// ("cannot register cbs. reach max 20"); -2 for NULL.
int mqc_app_register_cb(uint32_t protocol, MQC_PROT_CB cb);

// One received payload (the client's receive callback): checked, decoded and dispatched.
void mqc_app_recv(uint8_t* data, uint32_t len);

// The layer's ordered worker: jobs run one at a time, in the order they were posted, on one
// thread of their own (never the MQTT task, so a job may publish and wait for its PUBACK). For
// what the cloud asks of the unit: data-point commands and queries, and protocol handlers that
// must keep the order of the cloud's messages. The data is the job's own (fn frees it). 0; -2
// for a NULL fn; else the pool's code, and the job will not run (the caller keeps its data).
typedef void (*MQC_WORK_FUNC)(void* data);
int mqc_work_post(MQC_WORK_FUNC fn, void* data);

// The topics of the link.
std::string mqc_in_topic(void);
std::string mqc_out_topic(void);
// MQTT password of a device: characters 8..23 of the lower-case hex MD5 of localKey + devId.
std::string mqc_passwd(const char* local_key, const char* dev_id);

// Up to two more topics, subscribed now when online and again after every reconnect. A topic
// booked again keeps its slot and is subscribed afresh. Offline (or before the first start) the
// topic is kept and subscribed when the link comes up: 0. -1 when both slots are taken or the
// SUBSCRIBE could not go out (the topic is then not kept); -2 for NULL or an empty topic.
int mqc_book_additional_topic(const char* topic);
// Low-power wake-up: the link listens on "smart/device/wakeup/<devId>" instead of its in-topic.
int mqc_book_wakeup_topic(void);
// The 9-byte wake-up packet: "2.2", CRC-32 of the device id (big-endian), "WK". 0; -2 for NULL
// or a buffer below 9 bytes (*len gives the size).
int mqc_get_wakeup_data(uint8_t* buf, uint32_t* len);
// The link's socket, -1 without one.
int mqc_get_mqtt_socket_fd(void);

// Publishes. All fail at once with MQC_ERR_OFFLINE while the link is down.
// The object under the protocol number on the topic, QoS 1, next sequence number.
int mqc_send_mqtt_msg_with_topic(const char* topic, uint32_t protocol, const cJSON* obj);
// A JSON text under a protocol number on the out-topic, QoS 0.
int mqc_prot_data_rept_seq(uint32_t protocol, const char* json);
// 43 {"etype":..,"time":T,"file":name}.
int mqc_door_bell_press_generic(const char* etype, uint32_t time, const char* file);
// 308 with the caller's JSON as data.
int mqc_door_bell_answer(const char* json);

// Data points (protocol 4 {"devId":..,"dps":{..}}, "dpsTime" when an entry has a time).
// QoS 0; also for connected LAN clients (the unit runs no LAN server).
int dev_report_dp_json_async(const char* dev_id, const OBJ_DP_S* dps, uint32_t cnt, uint32_t flag);
// QoS 1, waits for the PUBACK up to timeout_s (0: 15 s): 0, MQ_PUB_TIMEOUT_ERR, offline, -2.
int noxa_iot_stat_dp_report_sync(const char* dev_id, const OBJ_DP_S* dps, uint32_t cnt, uint32_t timeout_s,
                                 uint32_t flag);
// A raw data point as base64 text, QoS 1, waits as above. time 0: now.
int noxa_iot_raw_dp_report_sync(const char* dev_id, uint8_t dpid, const uint8_t* data, uint32_t len,
                                uint32_t timeout_s, uint32_t flag);
int noxa_iot_raw_dp_report_sync_with_time(const char* dev_id, uint8_t dpid, const uint8_t* data, uint32_t len,
                                          uint32_t timeout_s, uint32_t flag, uint32_t time);
// 16 {"progress":P,"type":T}.
int noxa_iot_dev_upgd_progress_rept(uint32_t percent, const char* dev_id, uint32_t type);

// The camera side's MQTT protocols register here when the layer starts, through the hook: its
// result (0 without one).
int iot_register_extra_mqt_cb(void);
