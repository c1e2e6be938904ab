// The camera's MQTT protocols: one handler per protocol, registered with the MQTT application
// layer when it starts, which unpacks the message's "data" and hands the values to the callback
// that the owning module installed through its setter. A handler never answers by itself.
//
// Threads: handlers run on the MQTT task thread and only parse there. Each callback runs on the
// layer's ordered worker (mqc_work_post), one at a time in the order the messages came, with
// texts and objects of its own (the message is freed when the handler returns): a callback may
// publish and wait for its PUBACK, which only the MQTT task reads.
//
// A text or number of the wrong type (a number where a text belongs, a null) counts as missing.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>

// The callbacks. Their results are not looked at.
typedef int (*NOXA_IPC_ECHO_SHOW_CB)(const char* rtsp_url);
typedef int (*NOXA_IPC_CHROMECAST_CB)(const char* rtmp_url);
typedef int (*NOXA_IPC_CLOUD_STORAGE_ORDER_CB)(const char* action, const char* store_mode);
typedef int (*NOXA_IPC_CLOUD_STORAGE_EVENT_CB)(const char* action, int duration, const char* ext);
typedef int (*NOXA_IPC_DOORBELL_STATUS_CB)(const char* event, const char* data);
typedef void (*NOXA_IPC_RTC_MSG_CB)(const char* dev_id, const char* msg, int len);
typedef int (*NOXA_IPC_AI_DETECT_STORAGE_CB)(const char* action, const char* mode);
typedef int (*NOXA_IPC_AI_DATA_SYNC_CB)(const char* action, int count);
// The "data" object of protocol 312; the callback does not keep it.
typedef int (*NOXA_IPC_MOTO_MSG_CB)(cJSON* data);

// A Wi-Fi migration request: {"reqType":"wifiList"|"wifiInfo"|"wifiConnect","tId","devId",..}
// inside "data". No protocol carries it: its parser is registered for none.
typedef enum {
    NOXA_WIFI_MIGRATE_LIST = 0,
    NOXA_WIFI_MIGRATE_INFO = 1,
    NOXA_WIFI_MIGRATE_CONNECT = 2,
} NOXA_WIFI_MIGRATE_KIND_E;
// The texts live as long as the callback runs; ssid, pwd and iv are set for a connect only.
typedef struct {
    char devId[26];  // at most 25 characters of "devId"
    char tId[33];    // at most 32 characters of "tId"
    const char* data;  // "data" as unformatted JSON text
    const char* ssid;
    const char* pwd;
    const char* iv;
} NOXA_WIFI_MIGRATE_REQ_S;
typedef int (*NOXA_IPC_WIFI_MIGRATE_CB)(int kind, const NOXA_WIFI_MIGRATE_REQ_S* req);

// Setters: each stores its callback (null takes it away).
void noxa_ipc_mqt_set_echo_show_cb(NOXA_IPC_ECHO_SHOW_CB cb);
void noxa_ipc_mqt_set_cloud_storage_order_cb(NOXA_IPC_CLOUD_STORAGE_ORDER_CB cb);
void noxa_ipc_mqt_set_cloud_storage_event_cb(NOXA_IPC_CLOUD_STORAGE_EVENT_CB cb);
void noxa_ipc_mqt_set_chromecast_cb(NOXA_IPC_CHROMECAST_CB cb);
void noxa_ipc_mqt_set_doorbell_status_cb(NOXA_IPC_DOORBELL_STATUS_CB cb);
void noxa_ipc_mqt_set_rtc_msg_cb(NOXA_IPC_RTC_MSG_CB cb);
void noxa_ipc_mqt_set_ai_detect_storage_cb(NOXA_IPC_AI_DETECT_STORAGE_CB cb);
void noxa_ipc_mqt_set_ai_data_sync_cb(NOXA_IPC_AI_DATA_SYNC_CB cb);
void noxa_ipc_mqt_set_wifi_migrate_cb(NOXA_IPC_WIFI_MIGRATE_CB cb);
void noxa_ipc_mqt_set_moto_msg_cb(NOXA_IPC_MOTO_MSG_CB cb);

// Registers 301, 300, 307, 304, 308, 302 and 312 with the MQTT application layer; a failure is
// logged and the rest go on. 0. Set as the layer's hook by noxa_ipc_init_sdk.
int noxa_ipc_register_extra_mqt_cb(void);

// The handlers: the whole message {"protocol","t","data"}; 0 handled (or nobody listens), a
// negative code for a message they cannot take.
// 301 {"protocol":"EchoShow"|"ChromeCast","url":..}: -2 without either or for another protocol.
int noxa_ipc_3rd_party_streaming_parse(cJSON* root);
// 300 {"action":"store"|"abort"|"ai"|"aiAbort",..}: "store" takes "storeMode" ("max" without
// one), "ai" "mode" ("pic"), "aiAbort" "mode" (""). -2 without an action; other actions 0.
int noxa_ipc_cloud_storage_order_request_parse(cJSON* root);
// 307 {"action","duration","ext"}: "ext" goes on as JSON text. -2005 without a callback; -2
// for a missing item; -1 when "ext" cannot be printed.
int noxa_ipc_cloud_storage_event_request_parse(cJSON* root);
// 304 {"action":"add"|"delete","faceIds":[..]} (the count goes on) or {"action":"update"}.
int noxa_ipc_local_ai_data_sync_parse(cJSON* root);
// 308 {"type":"ac_doorbell","data":{"event":..}}: the event and the whole "data" as text; other
// types 0; -2 without type or event; -1 when "data" cannot be printed.
int noxa_ipc_doorbell_status_parse(cJSON* root);
// 302: the device id and "data" as unformatted JSON text. -1 without data or when it cannot be
// printed.
int noxa_ipc_rtc_msg_parse(cJSON* root);
// 312: a copy of "data". -1 without one.
int noxa_ipc_moto_msg_parse(cJSON* root);
// Wi-Fi migration (no protocol): the request kind and its record. -2 without "reqType", "tId",
// the "devId" (and for a connect "ssid", "pwd", "iv") a kind needs, or for another kind; -1 when
// "data" cannot be printed; 0 when nobody listens.
int noxa_ipc_wifi_migrate_parse(cJSON* root);
