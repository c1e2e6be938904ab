// Event notifications with pictures: the picture (or media) goes to the cloud's "detect" object
// store first, pictures encrypted under the media key with a random IV; then a small JSON
// message naming the bucket, the object paths and their keys goes to the cloud as a raw data
// point (115 motion, 154 doorbell press, 185 event). The entry points that choose data points,
// names and spacing are in noxa_ipc_api.h.
#pragma once

#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"
#include "noxa_iot_sdk/online_log/log_seq.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Results besides 0, -1, -2, -3.
#define NOTIFICATION_ERR_INIT (-1100)    // no detect-storage configuration or no CA for its host
#define NOTIFICATION_ERR_PUT (-1102)     // the upload failed
#define NOTIFICATION_ERR_PACK (-1103)    // the message could not take the file
#define NOTIFICATION_ERR_REFUSED (-4)    // a type the configuration or this unit does not take

// A configuration is used this long before it is fetched again.
#define NOTIFICATION_CONFIG_REUSE_MS 600000u

#define NOTIFICATION_BUCKET_LEN 64
#define NOTIFICATION_KEY_LEN 33
#define NOTIFICATION_PATH_LEN 256

// The texts of "cmd" by index (NOTIFICATION_NAME_E).
enum NOTIFICATION_NAME_E : uint32_t {
    NOTIFICATION_NAME_MOTION = 0,
    NOTIFICATION_NAME_DOORBELL = 1,
    NOTIFICATION_NAME_LEAVE_MSG = 5,
    NOTIFICATION_NAME_CONNECTED = 6,
    NOTIFICATION_NAME_UNCONNECTED = 7,
    NOTIFICATION_NAME_HUMAN = 9,
    NOTIFICATION_NAME_COUNT = 24,
};
// "ipc_motion" ... "power"; "" for an index outside the table.
const char* notification_name_text(uint32_t index);

// The detect-storage configuration and when it was taken (uni_get_tick_ms).
typedef struct {
    uint32_t inited;
    uint64_t init_ms;
    CLOUD_DETECT_STORAGE_CFG_S cfg;
} NOTIFICATION_CTL_S;
extern NOTIFICATION_CTL_S g_notification_ctl;

// One file of a message: its decryption key (the picture's IV text, or the caller's media key;
// empty for a clear file) and its object path.
typedef struct {
    char key[NOTIFICATION_KEY_LEN];
    char path[NOTIFICATION_PATH_LEN];
} NOTIFICATION_FILE_S;

// A message knows how many files it was made for; packing past that is refused.
typedef struct {
    uint32_t capacity;
    uint32_t count;
    char bucket[NOTIFICATION_BUCKET_LEN];
    std::vector<NOTIFICATION_FILE_S> files;
} NOTIFICATION_MESSAGE_S;

// A message for `count` files (at least one is made room for); NULL without memory.
NOTIFICATION_MESSAGE_S* notification_message_malloc(uint32_t count);
void notification_message_free(NOTIFICATION_MESSAGE_S* msg);

// What the module calls in the cloud core; tests replace entries.
typedef struct {
    int (*get_config)(CLOUD_DETECT_STORAGE_CFG_S* cfg);
    int (*require_ca)(const char* url, int kind);
    int (*put)(void* cfg, const char* scheme, int kind, const char* name, const char* content_type,
               const uint8_t* data, uint32_t len);
    int (*encrypt_pic)(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len, const char* iv);
    int (*report)(const char* dev_id, uint8_t dpid, const uint8_t* data, uint32_t len, uint32_t timeout_s,
                  uint32_t flag);
    int (*report_with_time)(const char* dev_id, uint8_t dpid, const uint8_t* data, uint32_t len,
                            uint32_t timeout_s, uint32_t flag, uint32_t time);
} NOTIFICATION_OPS_S;
extern NOTIFICATION_OPS_S g_notification_ops;

// The configuration, fetched again when it is missing or 600 s old, with the CA of its host.
// 0, or the failing call's result.
int __content_check_init(void);
// The configuration as it is now (fresh as above), with the object path the last upload left.
int notification_config_copy(CLOUD_DETECT_STORAGE_CFG_S* cfg);

// Uploads "<name_time>.<suffix>" as "image/<suffix>", encrypted under a random IV when `encrypt`
// is set (the IV is the file's key), and packs the file into msg. 0; -2 bad input; -1100; -1102;
// -1103; the encryption's error.
int notification_content_upload_from_buffer(int name_time, const char* suffix, const uint8_t* data, uint32_t len,
                                            int encrypt, NOTIFICATION_MESSAGE_S* msg);
// By suffix: "jpeg" and "png" (the configuration's picture flag) encrypted as above; "media"
// (video flag) and "pcm" (audio flag) uploaded as they are with the caller's 16-character key
// packed. -4 for a type the configuration does not allow or that is none of these; otherwise as
// above.
int notification_content_upload_from_buffer_generic(int name_time, const char* suffix, const uint8_t* data,
                                                    uint32_t len, const char* key16,
                                                    NOTIFICATION_MESSAGE_S* msg);
// Adds the configuration's bucket and last uploaded object (and the key, when given) to msg. 0;
// -1 for NULL or a message that is full.
int __message_pack(const char* key, NOTIFICATION_MESSAGE_S* msg);

// The message texts: {"v":"3.0","bucket":..,"files":[[path,key],...]} and the generic form with
// the extra member, "cmd", "type", "with". Texts are JSON-escaped; `extra` goes in as it is.
std::string notification_message_text(const NOTIFICATION_MESSAGE_S* msg);
std::string notification_message_text_generic(const NOTIFICATION_MESSAGE_S* msg, const char* cmd, const char* with,
                                              const char* type, const char* extra);

// Sends the message as raw data point dp, waiting up to timeout_s for the cloud's PUBACK (never on
// the MQTT task thread). 0; -1 NULL message; -3 no memory; the report's error.
int notification_message_upload(int dp, const NOTIFICATION_MESSAGE_S* msg, int timeout_s);
int notification_message_upload_with_time(int dp, const NOTIFICATION_MESSAGE_S* msg, int timeout_s, uint32_t time);
int notification_message_upload_generic(int dp, const NOTIFICATION_MESSAGE_S* msg, int timeout_s, const char* cmd,
                                        const char* with, const char* type, const char* extra);

// A signed download URL of the object last uploaded (60 s), as raw data point dp. The picture
// cannot be decrypted from it (no key goes with it). 0 or error.
int notification_snapshot_message_upload(int dp, const char* unused, int timeout_s);
// That URL for a configuration and an object path at posix time `now`; "" when it cannot be made.
std::string notification_snapshot_url(const CLOUD_DETECT_STORAGE_CFG_S& cfg, const char* path, TIME_T now);

// Percent-encoding of URL parts: letters, digits, "-", ".", "_", "~" kept, a space "%20", any
// other byte "%XX". out holds `limit` bytes with the NUL; the length, or -1 when it does not fit.
int __url_encode(const char* in, char* out, uint32_t limit);
// A presigned S3 URL (signature version 4, query string, payload "UNSIGNED-PAYLOAD", host the only
// signed header): "https://<host><path>?[X-Amz-Security-Token=..&]X-Amz-Algorithm=..&X-Amz-Credential=..
// &X-Amz-Date=..&X-Amz-Expires=..&X-Amz-SignedHeaders=host[&extra...]&X-Amz-Signature=..". `token`
// NULL or "" leaves the token out; `extra` are further query parameters, signed too.
std::string __s3_presign_v4(const char* method, const char* host, const char* path, const char* region,
                            const char* ak, const char* sk, const char* token, TIME_T now, uint32_t expires,
                            const std::vector<std::pair<std::string, std::string>>& extra);

// The "notify" log sequence: made at the service's start; its error entries go to the online log.
int notify_log_seq_init(LOG_SEQ_HANDLE* seq);
void log_notify_err_log_seq_cb(LOG_SEQ_HANDLE seq);
// One failed step (tag and text) into that sequence, which then goes out; nothing before the start.
void notify_seq_error(uint8_t tag, const char* text);

// The service API's notification work (the gNoxaIpcOps entries): one upload and message 115;
// the press picture (at most three uploads) and message 154 named by `time`; the files of a
// notification record (at most three uploads each) and message 185.
int notification_motion_send(const char* data, uint32_t size, const char* type);
int notification_doorbell_send(const uint8_t* data, uint32_t size, const char* type, uint32_t time);
int notification_generic_send(const NOXA_NOTIFICATION_S* notify);

// The time that names the next upload's object ("<time>.<suffix>"): `now`, or one second past the
// name given last when that is not older (two pictures of one second would take one name, and
// the second would replace the first in the store). A clock set back by more than a minute is
// followed at once.
uint32_t notification_name_time(uint32_t now);

// Forgets the configuration (tests).
void notification_reset(void);
