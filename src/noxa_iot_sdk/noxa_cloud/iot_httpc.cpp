#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_base64.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/online_log/log_seq.h"
#include "noxa_middleware/httpc/http_inf.h"
#include "platform/board_path.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// An answer above this is no answer of the API (the largest, activation with its schema, is a
// few KiB).
constexpr uint32_t kMaxAnswer = 64 * 1024;

std::string Md5Hex(const std::string& text)
{
    UNI_MD5_CTX_S ctx;
    uint8_t digest[UNI_MD5_DIGEST_LEN];
    uni_md5_init(&ctx);
    uni_md5_update(&ctx, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
    uni_md5_final(&ctx, digest);
    return iot_hex_lower(digest, sizeof(digest));
}

struct AnswerBuf {
    std::string text;
    bool tooLong = false;
};

// The response callback of every API call: the answer text, bounded.
int __httpc_gw_common_cb(HTTP_RESP_S* resp)
{
    auto* ans = static_cast<AnswerBuf*>(resp->user_data);
    if (resp->status_code != 200) {
        PR_ERR("api answered status %u", resp->status_code);
    }
    uint8_t buf[1024];
    for (;;) {
        int n = resp->read_content(resp->session, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        if (ans->text.size() + static_cast<size_t>(n) > kMaxAnswer) {
            ans->tooLong = true;
            break;
        }
        ans->text.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    }
    return resp->status_code == 200 ? UNI_OK : UNI_COM_ERROR;
}

// The add-header callback of every API call.
int __httpc_gw_common_add_head_cb(HTTP_SESSION_H session, void*)
{
    int ret = http_add_header(session, "User-Agent", NOXA_CLOUD_USER_AGENT);
    if (ret == 0) {
        ret = http_add_header(session, "Content-Type", "application/x-www-form-urlencoded");
    }
    if (ret == 0) {
        ret = http_add_header(session, "Connection", "close");
    }
    return ret;
}

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// The cloud's error answers and the codes its callers act on; any other refusal is -1.
const struct {
    const char* errorCode;
    int code;
} kRefusals[] = {
    {"TOKEN_INVALID", IOT_API_ERR_TOKEN},   {"TOKEN_EXPIRED", IOT_API_ERR_TOKEN},
    {"ORDER_EXPIRED", IOT_API_ERR_TOKEN},   {"NO_CONFIG", IOT_API_ERR_NO_CONFIG},
    {"INVALID_ORDER", IOT_API_ERR_NO_CONFIG}, {"NO_VALID_ORDER", IOT_API_ERR_NO_ORDER},
};

// Tags of the "http" log sequence.
enum : uint8_t { kSeqApi = 1, kSeqPost = 2, kSeqResult = 3 };

// The "http" sequence is one for every thread's calls: each call keeps its steps aside, and only
// an error puts them into the sequence, which is cleared, filled, frozen and rendered (by its
// error callback, on this thread) under one lock. Another call can then neither clear an error
// before it is rendered nor mix its own steps into it.
std::mutex s_seqMutex;
thread_local std::vector<LOG_SEQ_ENTRY_S> t_seqSteps;

void SeqBegin()
{
    t_seqSteps.clear();
}

void SeqStep(const LOG_SEQ_ENTRY_S& e)
{
    if (t_seqSteps.size() < LOG_SEQ_ENTRY_NUM) {
        t_seqSteps.push_back(e);
    }
}

void SeqError(const LOG_SEQ_ENTRY_S& e)
{
    LOG_SEQ_HANDLE seq = http_get_log_seq();
    if (seq == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(s_seqMutex);
    clear_log_seq(seq);
    for (const LOG_SEQ_ENTRY_S& step : t_seqSteps) {
        insert_log_seq(seq, &step);
    }
    insert_error_log_seq(seq, &e);
}

}  // namespace

int iot_httpc_get_api_url(char* url, uint32_t len)
{
    if (url == nullptr || len == 0) {
        return UNI_INVALID_PARM;
    }
    std::string found;
    if (FILE* f = BoardFopen(IOT_CLOUD_CONF, "r")) {
        char line[512];
        while (fgets(line, sizeof(line), f) != nullptr) {
            std::string l(line);
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r' || l.back() == ' ')) {
                l.pop_back();
            }
            if (l.rfind("api_url=", 0) == 0) {
                found = l.substr(8);
            }
        }
        fclose(f);
    }
    if (found.empty()) {
        found = NOXA_CLOUD_DEFAULT_API_URL;
    }
    if (found.size() >= len) {
        PR_ERR("api url too long");
        return UNI_COM_ERROR;
    }
    memcpy(url, found.c_str(), found.size() + 1);
    return UNI_OK;
}

std::string iot_api_sign(IOT_API_PARAMS params, const char* key)
{
    params.erase(std::remove_if(params.begin(), params.end(), [](const auto& p) { return p.first == "sign"; }),
                 params.end());
    std::sort(params.begin(), params.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& p : params) {
        text += p.first + "=" + p.second + "||";
    }
    text += key != nullptr ? key : "";
    return Md5Hex(text);
}

std::string iot_hex_lower(const uint8_t* data, size_t len)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out(len * 2, '0');
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = kHex[data[i] >> 4];
        out[2 * i + 1] = kHex[data[i] & 15];
    }
    return out;
}

std::string iot_url_encode(const std::string& text, bool keep_slash)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

int iot_api_encode_body(const char* json, const uint8_t key[IOT_API_KEY_LEN], std::string* body)
{
    if (json == nullptr || key == nullptr || body == nullptr) {
        return UNI_INVALID_PARM;
    }
    uint8_t* cipher = nullptr;
    uint32_t cipherLen = 0;
    int ret = uni_aes128_ecb_encode(reinterpret_cast<const uint8_t*>(json), static_cast<uint32_t>(strlen(json)),
                                    &cipher, &cipherLen, key);
    if (ret != 0) {
        return ret;
    }
    std::string hex = iot_hex_lower(cipher, cipherLen);
    uni_aes_free(cipher);
    std::transform(hex.begin(), hex.end(), hex.begin(), [](char c) { return static_cast<char>(toupper(c)); });
    *body = "data=" + hex;
    return UNI_OK;
}

int iot_api_refusal_code(const cJSON* inner)
{
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(inner, "errorCode");
    const cJSON* msg = cJSON_GetObjectItemCaseSensitive(inner, "errorMsg");
    const char* codeText = cJSON_IsString(code) ? code->valuestring : "";
    PR_ERR("api refused: errorCode %s %s", codeText, cJSON_IsString(msg) ? msg->valuestring : "");
    for (const auto& r : kRefusals) {
        if (strcmp(codeText, r.errorCode) == 0) {
            return r.code;
        }
    }
    return UNI_COM_ERROR;
}

int iot_api_decode_answer(const char* text, uint32_t len, const uint8_t key[IOT_API_KEY_LEN], cJSON** result)
{
    if (text == nullptr || key == nullptr || result == nullptr) {
        return UNI_INVALID_PARM;
    }
    *result = nullptr;
    JsonPtr outer(cJSON_ParseWithLength(text, len), cJSON_Delete);
    if (outer == nullptr || !cJSON_IsObject(outer.get())) {
        PR_ERR("api answer is no json");
        return UNI_COM_ERROR;
    }
    const cJSON* res = cJSON_GetObjectItemCaseSensitive(outer.get(), "result");
    const cJSON* t = cJSON_GetObjectItemCaseSensitive(outer.get(), "t");
    const cJSON* sign = cJSON_GetObjectItemCaseSensitive(outer.get(), "sign");
    if (!cJSON_IsString(res) || !cJSON_IsNumber(t) || !cJSON_IsString(sign)) {
        // A plain refusal from a server that could not tell the key.
        if (cJSON_GetObjectItemCaseSensitive(outer.get(), "success") != nullptr) {
            return iot_api_refusal_code(outer.get());
        }
        PR_ERR("api answer without result, t or sign");
        return UNI_COM_ERROR;
    }
    std::string keyText(reinterpret_cast<const char*>(key), IOT_API_KEY_LEN);
    char tText[32];
    snprintf(tText, sizeof(tText), "%.0f", t->valuedouble);
    std::string expect = Md5Hex(std::string("result=") + res->valuestring + "||t=" + tText + "||" + keyText);
    if (expect != sign->valuestring) {
        PR_ERR("sign mismatch");
        return UNI_COM_ERROR;
    }
    size_t b64Len = strlen(res->valuestring);
    std::vector<uint8_t> cipher(3 * (b64Len / 4) + 3);
    int cipherLen = uni_base64_decode_n(res->valuestring, cipher.data(), static_cast<uint32_t>(cipher.size()));
    if (cipherLen <= 0 || b64Len % 4 != 0 || cipherLen % UNI_AES_BLOCK != 0) {
        PR_ERR("api result: bad base64 or block size");
        return UNI_COM_ERROR;
    }
    std::vector<uint8_t> plain(static_cast<size_t>(cipherLen) + 1, 0);
    if (uni_aes128_ecb_decrypt(cipher.data(), static_cast<uint32_t>(cipherLen), plain.data(), key) != 0) {
        return UNI_COM_ERROR;
    }
    int plainLen = uni_pkcs7_unpad_len(plain.data(), static_cast<uint32_t>(cipherLen));
    if (plainLen < 0) {
        PR_ERR("api result: bad padding");
        return UNI_COM_ERROR;
    }
    JsonPtr inner(cJSON_ParseWithLength(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(plainLen)),
                  cJSON_Delete);
    if (inner == nullptr || !cJSON_IsObject(inner.get())) {
        PR_ERR("api result is no json");
        return UNI_COM_ERROR;
    }
    const cJSON* success = cJSON_GetObjectItemCaseSensitive(inner.get(), "success");
    if (!cJSON_IsTrue(success)) {
        return iot_api_refusal_code(inner.get());
    }
    *result = cJSON_DetachItemFromObjectCaseSensitive(inner.get(), "result");
    return UNI_OK;
}

int iot_httpc_post_with_key(const char* api_url, const char* api, const char* ver, const char* idkey,
                            const char* id, const char* key, const char* body_json, cJSON** result)
{
    if (api_url == nullptr || api == nullptr || ver == nullptr || idkey == nullptr || id == nullptr ||
        key == nullptr || strlen(key) != IOT_API_KEY_LEN || body_json == nullptr || result == nullptr) {
        return UNI_INVALID_PARM;
    }
    *result = nullptr;
    IOT_API_PARAMS params = {
        {"a", std::string("noxa.device.") + api},
        {"v", ver},
        {"t", std::to_string(uni_time_get_posix())},
        {idkey, id},
    };
    std::string sign = iot_api_sign(params, key);
    std::string url = api_url;
    char sep = url.find('?') == std::string::npos ? '?' : '&';
    for (const auto& p : params) {
        url += sep + p.first + "=" + iot_url_encode(p.second);
        sep = '&';
    }
    url += "&sign=" + sign;
    const auto* keyBytes = reinterpret_cast<const uint8_t*>(key);
    std::string body;
    int ret = iot_api_encode_body(body_json, keyBytes, &body);
    if (ret != UNI_OK) {
        return ret;
    }
    http_log_seq_init();
    SeqBegin();
    SeqStep(log_seq_str(kSeqApi, api));
    AnswerBuf ans;
    ret = http_inf_client_post_custom(url.c_str(), __httpc_gw_common_cb, reinterpret_cast<const uint8_t*>(body.data()),
                                      static_cast<uint32_t>(body.size()), __httpc_gw_common_add_head_cb, nullptr, &ans);
    SeqStep(log_seq_int(kSeqPost, ret));
    if (ans.tooLong) {
        PR_ERR("api answer above %u bytes", kMaxAnswer);
        SeqError(log_seq_int(kSeqResult, UNI_COM_ERROR));
        return UNI_COM_ERROR;
    }
    if (ret != UNI_OK) {
        // A 403 carries a plain refusal worth logging.
        if (!ans.text.empty()) {
            JsonPtr plain(cJSON_ParseWithLength(ans.text.data(), ans.text.size()), cJSON_Delete);
            if (plain != nullptr && cJSON_GetObjectItemCaseSensitive(plain.get(), "success") != nullptr) {
                ret = iot_api_refusal_code(plain.get());
                SeqError(log_seq_int(kSeqResult, ret));
                return ret;
            }
        }
        PR_ERR("api %s post fails %d", api, ret);
        SeqError(log_seq_int(kSeqResult, UNI_COM_ERROR));
        return UNI_COM_ERROR;
    }
    ret = iot_api_decode_answer(ans.text.data(), static_cast<uint32_t>(ans.text.size()), keyBytes, result);
    if (ret != UNI_OK) {
        SeqError(log_seq_int(kSeqResult, ret));
    } else {
        SeqStep(log_seq_int(kSeqResult, ret));
    }
    return ret;
}

int iot_httpc_common_post(const char* api, const char* ver, const char* body_json, cJSON** result)
{
    char apiUrl[IOT_API_URL_LEN + 1];
    int ret = iot_httpc_get_api_url(apiUrl, sizeof(apiUrl));
    if (ret != UNI_OK) {
        return ret;
    }
    GW_CNTL_S* gw = get_gw_cntl();
    char devId[GW_ID_LEN + 1];
    char localKey[GW_LOCAL_KEY_LEN + 1];
    gw_get_active_ids(devId, localKey);
    if (gw->active_stat.load() == ACTIVATED && devId[0] != '\0') {
        return iot_httpc_post_with_key(apiUrl, api, ver, "devId", devId, localKey, body_json, result);
    }
    char preKey[IOT_API_KEY_LEN + 1] = {};
    memcpy(preKey, gw->gw_base.auth_key, IOT_API_KEY_LEN);
    return iot_httpc_post_with_key(apiUrl, api, ver, "uuid", gw->gw_base.uuid, preKey, body_json, result);
}

int http_gw_active(const char* token, cJSON** result)
{
    if (token == nullptr || result == nullptr) {
        return UNI_INVALID_PARM;
    }
    GW_CNTL_S* gw = get_gw_cntl();
    JsonPtr body(cJSON_CreateObject(), cJSON_Delete);
    if (body == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    cJSON_AddStringToObject(body.get(), "token", token);
    cJSON_AddStringToObject(body.get(), "productKey", gw->product_key);
    cJSON_AddStringToObject(body.get(), "uuid", gw->gw_base.uuid);
    cJSON_AddStringToObject(body.get(), "softVer", gw->sw_ver);
    cJSON_AddStringToObject(body.get(), "protocolVer", gw->mq_pro_ver);
    cJSON_AddStringToObject(body.get(), "lanProVer", gw->lan_pro_ver);
    char* text = cJSON_PrintUnformatted(body.get());
    if (text == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    int ret = iot_httpc_common_post("active", "4.4", text, result);
    cJSON_free(text);
    return ret;
}

int iot_api_require_keys(cJSON** result, const char* const* keys)
{
    if (result == nullptr || keys == nullptr) {
        return UNI_INVALID_PARM;
    }
    bool ok = cJSON_IsObject(*result);
    for (const char* const* k = keys; ok && *k != nullptr; ++k) {
        const cJSON* at = *result;
        std::string path = *k;
        for (size_t from = 0; at != nullptr;) {
            size_t slash = path.find('/', from);
            at = cJSON_GetObjectItemCaseSensitive(at, path.substr(from, slash - from).c_str());
            if (slash == std::string::npos) {
                break;
            }
            from = slash + 1;
        }
        if (at == nullptr || cJSON_IsNull(at)) {
            PR_ERR("fail to get value for key %s", *k);
            ok = false;
        }
    }
    if (!ok) {
        cJSON_Delete(*result);
        *result = nullptr;
        return IOT_API_ERR_KEY_MISSING;
    }
    return UNI_OK;
}

namespace {

// One call whose reply must hold the keys given; the reply goes to *result, or is deleted when
// result is NULL.
int PostNeeding(const char* api, const char* ver, const char* body, cJSON** result,
                std::initializer_list<const char*> keys)
{
    cJSON* reply = nullptr;
    int ret = iot_httpc_common_post(api, ver, body, &reply);
    if (ret == UNI_OK && keys.size() != 0) {
        std::vector<const char*> list(keys);
        list.push_back(nullptr);
        ret = iot_api_require_keys(&reply, list.data());
        if (ret != UNI_OK) {
            SeqError(log_seq_int(kSeqResult, ret));
        }
    }
    if (result != nullptr) {
        *result = reply;
    } else {
        cJSON_Delete(reply);
    }
    return ret;
}

// {"devId":"<id>"} plus the members given.
std::string DevBody(std::initializer_list<std::pair<const char*, cJSON*>> members)
{
    JsonPtr body(cJSON_CreateObject(), cJSON_Delete);
    char devId[GW_ID_LEN + 1];
    gw_get_dev_id(devId);
    cJSON_AddStringToObject(body.get(), "devId", devId);
    for (const auto& m : members) {
        cJSON_AddItemToObject(body.get(), m.first, m.second);
    }
    char* text = cJSON_PrintUnformatted(body.get());
    std::string out = text != nullptr ? text : "{}";
    cJSON_free(text);
    return out;
}

int PicChunkCb(HTTP_RESP_S* resp)
{
    auto* pic = static_cast<HTTPC_PIC_BUF_S*>(resp->user_data);
    if (resp->status_code != 200) {
        PR_ERR("picture answered status %u", resp->status_code);
        return UNI_COM_ERROR;
    }
    if (resp->content_len > HTTPC_PIC_MAX_LEN) {
        PR_ERR("picture of %u bytes above %u refused", resp->content_len, HTTPC_PIC_MAX_LEN);
        return UNI_COM_ERROR;
    }
    std::vector<uint8_t> data;
    uint8_t buf[2048];
    for (;;) {
        int n = resp->read_content(resp->session, buf, sizeof(buf));
        if (n < 0) {
            PR_ERR("picture read fails %d", n);
            return n;
        }
        if (n == 0) {
            break;
        }
        if (data.size() + static_cast<size_t>(n) > HTTPC_PIC_MAX_LEN) {
            PR_ERR("picture above %u bytes refused", HTTPC_PIC_MAX_LEN);
            return UNI_COM_ERROR;
        }
        data.insert(data.end(), buf, buf + n);
    }
    if (resp->content_len != 0 && data.size() != resp->content_len) {
        PR_ERR("picture cut: %zu of %u bytes", data.size(), resp->content_len);
        return UNI_COM_ERROR;
    }
    pic->data = static_cast<uint8_t*>(malloc(data.empty() ? 1 : data.size()));
    if (pic->data == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    if (!data.empty()) {
        memcpy(pic->data, data.data(), data.size());
    }
    pic->len = static_cast<uint32_t>(data.size());
    return UNI_OK;
}

}  // namespace

int http_gw_timer_cnt(uint32_t, cJSON** result)
{
    cJSON* reply = nullptr;
    int ret = PostNeeding("time.get", "1.0", "{}", &reply, {"time", "timeZone"});
    if (ret == UNI_OK) {
        const cJSON* t = cJSON_GetObjectItemCaseSensitive(reply, "time");
        const cJSON* zone = cJSON_GetObjectItemCaseSensitive(reply, "timeZone");
        int32_t offset = 0;
        // A time before this build was made, or a zone no place on earth keeps, is a bad answer:
        // the clock and zone in force stay.
        if (!cJSON_IsNumber(t) || !(t->valuedouble >= uni_time_build_year_start()) ||
            t->valuedouble > 4294967295.0 || !cJSON_IsString(zone) ||
            uni_parse_time_zone(zone->valuestring, &offset) != UNI_OK) {
            PR_ERR("cloud time malformed");
            cJSON_Delete(reply);
            return IOT_API_ERR_KEY_MISSING;
        }
        ret = uni_set_time_zone(zone->valuestring);
        if (ret == UNI_OK) {
            ret = uni_time_set(static_cast<TIME_T>(t->valuedouble), 1);
        }
        PR_NOTICE("cloud time %u zone %s: clock set %d", static_cast<TIME_T>(t->valuedouble), zone->valuestring, ret);
    }
    if (result != nullptr && ret == UNI_OK) {
        *result = reply;
    } else {
        cJSON_Delete(reply);
    }
    return ret;
}

int http_get_dev_token_create(cJSON** result)
{
    if (result == nullptr) {
        return UNI_INVALID_PARM;
    }
    return PostNeeding("token.create", "1.0", DevBody({}).c_str(), result, {"token"});
}

int http_ipc_cloud_storage_event_notify_v10(int type, const char* body_json, cJSON** result)
{
    static const char* const kNames[] = {"ipc.media.storage.notify.upload.start",
                                         "ipc.media.storage.notify.upload.stop", "ipc.media.storage.report.event"};
    if (type < 0 || type > 2 || body_json == nullptr) {
        return UNI_INVALID_PARM;
    }
    JsonPtr body(cJSON_Parse(body_json), cJSON_Delete);
    if (!cJSON_IsObject(body.get())) {
        PR_ERR("notify body is no JSON object");
        return UNI_INVALID_PARM;
    }
    cJSON_DeleteItemFromObjectCaseSensitive(body.get(), "devId");
    char devId[GW_ID_LEN + 1];
    gw_get_dev_id(devId);
    cJSON_AddStringToObject(body.get(), "devId", devId);
    char* text = cJSON_PrintUnformatted(body.get());
    if (text == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    int ret = PostNeeding(kNames[type], "1.0", text, result, {});
    cJSON_free(text);
    return ret;
}

int httpc_iot_cloud_storage_encrypt_key_get(cJSON** result)
{
    if (result == nullptr) {
        return UNI_INVALID_PARM;
    }
    return PostNeeding("ipc.storage.secret.get", "1.0", DevBody({}).c_str(), result, {"encryptKey"});
}

int http_dev_update_skill(uint32_t, const char* skill)
{
    if (skill == nullptr) {
        return UNI_INVALID_PARM;
    }
    char devId[GW_ID_LEN + 1];
    gw_get_dev_id(devId);
    std::string body = std::string("{\"devId\":\"") + devId + "\",\"skill\":\"" + skill + "\"}";
    return PostNeeding("skill.update", "1.0", body.c_str(), nullptr, {});
}

int http_ipc_ai_face_storage_config_get_v3(cJSON** result)
{
    if (result == nullptr) {
        return UNI_INVALID_PARM;
    }
    return PostNeeding("ipc.ai.face.storage.config.get", "3.0", DevBody({}).c_str(), result,
                       {"token", "ak", "sk", "expiration", "bucket", "endpoint", "region", "provider", "mode",
                        "pathConfig/face"});
}

int http_ipc_ai_face_report(int kind, const char* json, cJSON** result)
{
    static const char* const kNames[] = {"ipc.ai.face.db.get", "ipc.ai.face.signed.report", "ipc.ai.face.new.report"};
    if (kind < 0 || kind > 2 || result == nullptr || (kind != 0 && json == nullptr)) {
        return UNI_INVALID_PARM;
    }
    std::string body = kind == 0 ? DevBody({}) : DevBody({{"msg", cJSON_CreateString(json)}});
    if (kind == 0) {
        return PostNeeding(kNames[0], "1.0", body.c_str(), result, {"acquaintance"});
    }
    if (kind == 2) {
        return PostNeeding(kNames[2], "1.0", body.c_str(), result, {"faceId"});
    }
    return PostNeeding(kNames[1], "1.0", body.c_str(), result, {});
}

int http_gw_upgrd_stat_update(uint32_t cloud_tp, int status)
{
    std::string body = DevBody({{"type", cJSON_CreateNumber(cloud_tp)}, {"upgradeStatus", cJSON_CreateNumber(status)}});
    return PostNeeding("upgrade.status.update", "1.0", body.c_str(), nullptr, {});
}

int http_dev_upgrd_stat_update(const char* dev_id, uint32_t cloud_tp, int status)
{
    if (dev_id == nullptr) {
        return UNI_INVALID_PARM;
    }
    JsonPtr body(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(body.get(), "devId", dev_id);
    cJSON_AddNumberToObject(body.get(), "type", cloud_tp);
    cJSON_AddNumberToObject(body.get(), "upgradeStatus", status);
    char* text = cJSON_PrintUnformatted(body.get());
    if (text == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    int ret = PostNeeding("upgrade.status.update", "1.0", text, nullptr, {});
    cJSON_free(text);
    return ret;
}

int httpc_get_pic(const char* url, HTTPC_PIC_BUF_S* pic)
{
    if (url == nullptr || pic == nullptr) {
        return UNI_INVALID_PARM;
    }
    pic->data = nullptr;
    pic->len = 0;
    int ret = http_inf_client_get(url, PicChunkCb, pic);
    if (ret != UNI_OK && pic->data != nullptr) {
        free(pic->data);
        pic->data = nullptr;
        pic->len = 0;
    }
    return ret;
}
