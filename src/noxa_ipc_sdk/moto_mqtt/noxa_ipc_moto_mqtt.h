// Moto MQTT: carries the media-service messages between the cloud's media modules ("moto") and
// the modules of the unit over the cloud link. Messages come as protocol 312 on "/av/d/<devId>"
// and go by their msg "mode" to the module registered under that name (two at most); answers
// are published on "/av/moto/<motoId>/d/<devId>".
//
// The instance is one registry with its operation table; the first GetMotoMqttInstance makes it
// and installs the protocol-312 callback. Modules reach it through the table:
//     MOTO_MQTT_S* moto = GetMotoMqttInstance();
//     moto->ops.MotoModuleRegist("wg", ProcessMqttMessage);
//     while (moto->ops.MotoMqttBookTopicForce() != 0) sleep 2 s;   // booked: 0, also offline
//
// Threads: module callbacks run on the MQTT layer's ordered worker, one message at a time in
// arrival order, with a message object that is freed when they return.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <cstdint>

#define MOTO_MODULE_MAX 2
#define MOTO_MODULE_NAME_LEN 16  // with its NUL
#define MOTO_DEV_ID_LEN 26       // with its NUL
#define MOTO_TOPIC_LEN 64        // with its NUL
#define MOTO_ID_MAX 16           // characters of a moto id that can be answered

// Gets the whole message object ({"header":..,"msg":..}); its result is the routing's result.
typedef int (*MOTO_MODULE_CB)(cJSON* msg);

typedef struct {
    char name[MOTO_MODULE_NAME_LEN];  // empty: a free entry
    MOTO_MODULE_CB callback;
} MOTO_MODULE_S;

typedef struct {
    // 0.
    int (*MotoMqttInit)(void);
    // Subscribes "/av/d/<devId>" (again on every call): 0, also offline (subscribed when the
    // link comes up); -1 while the unit has no device id; else the booking's error.
    int (*MotoMqttBookTopicForce)(void);
    // Publishes data under the protocol on "/av/moto/<motoId>/d/<devId>" (QoS 1). -2 for a moto
    // id that is empty, longer than 16 characters or holds '/', '+' or '#', or a null data; -1
    // without a device id; else the publish's result.
    int (*MotoPublishMqttMsg)(const char* moto_id, uint32_t protocol, const cJSON* data);
    // A module by name (1 to 15 characters): 0; a known name keeps the callback it has; -1 when
    // both entries are taken; -2 for a bad name or a null callback.
    int (*MotoModuleRegist)(const char* name, MOTO_MODULE_CB callback);
} MOTO_MQTT_OPS_S;

typedef struct {
    uint32_t inited;
    std::atomic<uint32_t> topicBooked;  // 1 once the device topic is subscribed
    char devId[MOTO_DEV_ID_LEN];
    char topic[MOTO_TOPIC_LEN];
    MOTO_MODULE_S modules[MOTO_MODULE_MAX];
    MOTO_MQTT_OPS_S ops;
} MOTO_MQTT_S;

// The registry (made on the first call).
MOTO_MQTT_S* GetMotoMqttInstance(void);

// The protocol-312 callback: routes the "data" object by msg "mode". -2 for a message without
// msg or mode; -1 when no module takes that mode; else the module's result.
int MotoMqttMessage(cJSON* msg);
