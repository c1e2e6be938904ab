// The cloud's MQTT envelope: every PUBLISH payload between the unit and the cloud.
//   "2.2" (3 bytes) | CRC-32 (4, big-endian) | sequence (4, big-endian) | ciphertext
// The ciphertext is AES-128-ECB (PKCS#7) under the local key of {"protocol":N,"t":T,"data":...};
// the CRC-32 covers the sequence and the ciphertext. Pure: bytes in, results out, no I/O.
#pragma once

#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"

#include <cjson/cJSON.h>
#include <cstdint>
#include <vector>

#define MQ_ENV_VER_LEN 3
#define MQ_ENV_HEAD_LEN 11  // version, CRC-32, sequence
#define MQ_ENV_MIN_LEN (MQ_ENV_HEAD_LEN + 16)
#define MQ_ENV_KEY_LEN 16

// What the decoder refuses, in the order it checks.
typedef enum {
    MQ_ENV_OK = 0,
    MQ_ENV_ERR_SHORT = -1510,
    MQ_ENV_ERR_VERSION = -1511,
    MQ_ENV_ERR_CRC = -1512,
    MQ_ENV_ERR_BLOCK = -1513,
    MQ_ENV_ERR_PADDING = -1514,
    MQ_ENV_ERR_JSON = -1515,
    MQ_ENV_ERR_PROTOCOL = -1516,
    MQ_ENV_ERR_DATA = -1517,
    MQ_ENV_ERR_PARAM = -2,
    MQ_ENV_ERR_MEMORY = -3,
} MQ_ENV_ERR_E;

// A decoded message. `root` is the whole JSON object (owned, cJSON_Delete); `data` points into
// it.
typedef struct {
    uint32_t seq;
    int32_t protocol;
    uint32_t t;  // 0 when the sender gave no time
    cJSON* root;
    cJSON* data;
} MQ_ENV_MSG_S;

// The plain text the envelope carries: {"protocol":N,"t":T,"data":<data_json>}. data_json is a
// JSON text (object or value).
int mq_env_plain_text(int32_t protocol, uint32_t t, const char* data_json, std::vector<char>* out);

// Packs a message: 0, -2 (NULL, or data_json empty), -3, or the cipher's code.
int mq_env_pack(uint32_t seq, int32_t protocol, uint32_t t, const char* data_json, const uint8_t key[MQ_ENV_KEY_LEN],
                std::vector<uint8_t>* out);

// Unpacks and checks: length, version, CRC, block size, padding, JSON object, integer
// "protocol", object or value "data". 0 with msg->root set (the caller deletes it), else one of
// MQ_ENV_ERR_E with nothing to free.
int mq_env_unpack(const uint8_t* buf, uint32_t len, const uint8_t key[MQ_ENV_KEY_LEN], MQ_ENV_MSG_S* msg);

// The text of a refusal for the log.
const char* mq_env_err_text(int err);
