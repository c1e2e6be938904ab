// The road of every cloud HTTPS API call: "noxa.device.<name>" with a version, the query signed
// with MD5 over its sorted parameters and the key, the JSON body AES-128-ECB under the key as
// upper-case hex behind "data=", the answer checked by its "sign" and decrypted from its base64
// "result". Before activation the key is the auth key's first 16 characters and the id the
// UUID ("uuid"); afterwards the local key and the device id ("devId").
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#define IOT_API_KEY_LEN 16
#define IOT_API_URL_LEN 255
#define IOT_CLOUD_CONF "/etc/cloud.conf"

// Results besides 0 and -1.
#define IOT_API_ERR_NO_CONFIG (-2002)  // invalid order or no configuration
#define IOT_API_ERR_NO_ORDER (-2004)   // no valid order
#define IOT_API_ERR_TOKEN (-2006)      // token or order expired
#define IOT_API_ERR_KEY_MISSING (-803) // a reply without a key the call needs

// Pictures fetched by httpc_get_pic above this are refused: a server must not make the unit
// allocate without limit.
#define HTTPC_PIC_MAX_LEN (2u * 1024u * 1024u)

using IOT_API_PARAMS = std::vector<std::pair<std::string, std::string>>;

// The API URL: "api_url=" of "/etc/cloud.conf", else the build's placeholder. 0, or -1 when
// neither fits the buffer.
int iot_httpc_get_api_url(char* url, uint32_t len);

// The sign of a query: lower-case hex MD5 of the parameters (other than "sign") sorted by name,
// each "name=value", joined with "||", then "||" and the key.
std::string iot_api_sign(IOT_API_PARAMS params, const char* key);
// RFC 3986: unreserved characters kept (and '/' when keep_slash), every other byte as %XX.
std::string iot_url_encode(const std::string& text, bool keep_slash = false);
// Two lower-case hex digits per byte.
std::string iot_hex_lower(const uint8_t* data, size_t len);
// "data=" and the upper-case hex of AES-128-ECB (PKCS#7) of the body under the key.
int iot_api_encode_body(const char* json, const uint8_t key[IOT_API_KEY_LEN], std::string* body);
// Checks an answer ({"result":base64,"t":T,"sign":md5}) and hands back the inner "result" (the
// caller deletes it; may be NULL for a value-less success). 0; -1 not JSON, a sign that does not
// match, bad base64, block or padding, a refusal; -2006 token refused or expired; -2002 no
// configuration.
int iot_api_decode_answer(const char* text, uint32_t len, const uint8_t key[IOT_API_KEY_LEN], cJSON** result);
// The inner JSON of a refusal mapped to its result (errorCode logged).
int iot_api_refusal_code(const cJSON* inner);

// One call with the key and id given: POST <url>?a=noxa.device.<api>&v=<ver>&t=<t>&<idkey>=<id>
// &sign=... The result as iot_api_decode_answer; -1 also for a transport failure or a status
// other than 200.
int iot_httpc_post_with_key(const char* api_url, const char* api, const char* ver, const char* idkey,
                            const char* id, const char* key, const char* body_json, cJSON** result);
// The same with the gateway's identity: the device id and local key once activated, else the
// UUID and the auth key's first 16 characters.
int iot_httpc_common_post(const char* api, const char* ver, const char* body_json, cJSON** result);

// -803 (the reply deleted and *result NULL) unless the reply is an object holding every key
// of the NULL-ended list; a key "a/b" asks for member b of object a.
int iot_api_require_keys(cJSON** result, const char* const* keys);

// Activation ("noxa.device.active" 4.4) with an 8-character token: the result record.
int http_gw_active(const char* token, cJSON** result);


// Cloud time ("noxa.device.time.get" 1.0, reply "time" and "timeZone"): sets the core clock
// (synced) and the zone. The reply is handed back when result is not NULL.
int http_gw_timer_cnt(uint32_t unused, cJSON** result);
// "noxa.device.token.create" 1.0: the reply carries "token".
int http_get_dev_token_create(cJSON** result);
// type 0 upload start, 1 upload stop, 2 event report; the JSON body gets the device id.
int http_ipc_cloud_storage_event_notify_v10(int type, const char* body_json, cJSON** result);
// "noxa.device.ipc.storage.secret.get" 1.0: the reply carries "encryptKey".
int httpc_iot_cloud_storage_encrypt_key_get(cJSON** result);
// "noxa.device.skill.update" 1.0; the skill text goes in as it stands (its caller escaped it).
int http_dev_update_skill(uint32_t unused, const char* skill);
// "noxa.device.ipc.ai.face.storage.config.get" 3.0; -2002 when there is no configuration.
int http_ipc_ai_face_storage_config_get_v3(cJSON** result);
// kind 0 all known faces ("acquaintance"), 1 signed face, 2 new face ("faceId").
int http_ipc_ai_face_report(int kind, const char* json, cJSON** result);
// Upgrade status of the gateway / of a device ("noxa.device.upgrade.status.update" 1.0).
int http_gw_upgrd_stat_update(uint32_t cloud_tp, int status);
int http_dev_upgrd_stat_update(const char* dev_id, uint32_t cloud_tp, int status);

// A picture in memory: data from malloc, released by its caller with free.
typedef struct {
    uint8_t* data;
    uint32_t len;
} HTTPC_PIC_BUF_S;
// GET of a picture into memory: 0; -2 NULL arguments; -1 a status other than 200 or a picture
// above HTTPC_PIC_MAX_LEN; -3 no memory; else the request helpers' codes.
int httpc_get_pic(const char* url, HTTPC_PIC_BUF_S* pic);
