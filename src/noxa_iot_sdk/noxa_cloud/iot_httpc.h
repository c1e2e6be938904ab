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
#define IOT_API_ERR_NO_CONFIG (-2002)
#define IOT_API_ERR_TOKEN (-2006)

using IOT_API_PARAMS = std::vector<std::pair<std::string, std::string>>;

// The API URL: "api_url=" of "/etc/cloud.conf", else the build's placeholder. 0, or -1 when
// neither fits the buffer.
int iot_httpc_get_api_url(char* url, uint32_t len);

// The sign of a query: lower-case hex MD5 of the parameters (other than "sign") sorted by name,
// each "name=value", joined with "||", then "||" and the key.
std::string iot_api_sign(IOT_API_PARAMS params, const char* key);
// RFC 3986: unreserved characters kept, every other byte as %XX.
std::string iot_url_encode(const std::string& text);
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

// Activation ("noxa.device.active" 4.4) with an 8-character token: the result record.
int http_gw_active(const char* token, cJSON** result);

// A secret for the log: its first two characters and "***" (only "***" for short texts).
std::string iot_mask_secret(const char* secret);
