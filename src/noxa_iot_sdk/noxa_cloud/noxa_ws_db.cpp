#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_base64.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_string.h"
#include "noxa_base/kv_storge/kv_storge.h"

#include <cjson/cJSON.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kGwBaseKey[] = "gw_bi";
constexpr char kGwWsmKey[] = "gw_wsm";
constexpr char kGwDescKey[] = "gw_di";
constexpr char kGwActvKey[] = "gw_ai";
constexpr char kDevPrefix[] = "ddi";
constexpr char kUserParamKey[] = "user_param_key";
constexpr size_t kDevKeyLen = 32;
constexpr uint32_t kSsidB64Len = 60;
constexpr uint32_t kPasswdB64Len = 100;
constexpr uint32_t kDlsTimeLen = 257;

// The stored length of a text field: up to its NUL, never past its buffer.
size_t __text_len(const NQ_DB_RW_S& f)
{
    return f.len == 0 ? 0 : strnlen(static_cast<const char*>(f.value), f.len);
}

// JSON string escapes for the two characters that end or escape a string and for control
// characters; every other byte goes out as it is, so plain texts stay byte-identical.
size_t __escaped_len(const char* s, size_t n)
{
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        out += c == '"' || c == '\\' ? 2 : c < 0x20 ? 6 : 1;
    }
    return out;
}

void __put_escaped(std::string& out, const char* s, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[7];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
}

uint32_t __b64_len(uint32_t n)
{
    return 4 * ((n + 2) / 3);
}

// The value of one field as JSON; false for an unknown type.
bool __put_value(std::string& out, const NQ_DB_RW_S& f)
{
    char num[24];
    switch (f.type) {
    case NQ_DB_INT8:
        snprintf(num, sizeof(num), "%d", *static_cast<const int8_t*>(f.value));
        break;
    case NQ_DB_UINT8:
        snprintf(num, sizeof(num), "%u", *static_cast<const uint8_t*>(f.value));
        break;
    case NQ_DB_INT16:
        snprintf(num, sizeof(num), "%d", *static_cast<const int16_t*>(f.value));
        break;
    case NQ_DB_UINT16:
        snprintf(num, sizeof(num), "%u", *static_cast<const uint16_t*>(f.value));
        break;
    case NQ_DB_INT32:
        snprintf(num, sizeof(num), "%" PRId32, *static_cast<const int32_t*>(f.value));
        break;
    case NQ_DB_BOOL:
        snprintf(num, sizeof(num), "%s", *static_cast<const int32_t*>(f.value) != 0 ? "true" : "false");
        break;
    case NQ_DB_STR: {
        size_t n = __text_len(f);
        if (n == 0) {
            out += "null";
        } else {
            out += '"';
            __put_escaped(out, static_cast<const char*>(f.value), n);
            out += '"';
        }
        return true;
    }
    case NQ_DB_RAW: {
        uint32_t n = f.len & 0xFFFF;
        if (n == 0) {
            out += "null";
        } else {
            std::string b64(__b64_len(n) + 1, '\0');
            uni_base64_encode(static_cast<const uint8_t*>(f.value), static_cast<int>(n), b64.data());
            out += '"';
            out += b64.c_str();
            out += '"';
        }
        return true;
    }
    default:
        PR_ERR("type invalid %d", f.type);
        return false;
    }
    out += num;
    return true;
}

// Room for the whole text: names, values (texts escaped), separators and the NUL.
size_t __serial_size(const NQ_DB_RW_S* rw, uint32_t cnt)
{
    size_t total = 2;
    for (uint32_t i = 0; i < cnt; ++i) {
        const NQ_DB_RW_S& f = rw[i];
        total += strlen(f.name) + 2;
        if (f.type <= NQ_DB_INT32) {
            total += 17;
        } else if (f.type == NQ_DB_BOOL) {
            total += 12;
        } else if (f.type == NQ_DB_STR) {
            total += 6 + __escaped_len(static_cast<const char*>(f.value), __text_len(f));
        } else {
            total += 6 + __b64_len(f.len & 0xFFFF);
        }
    }
    return total;
}

int __read_field(const cJSON* item, const NQ_DB_RW_S& f)
{
    if (item == nullptr) {
        memset(f.value, 0, f.len);
        return UNI_OK;
    }
    if (f.type <= NQ_DB_INT32) {
        if (!cJSON_IsNumber(item)) {
            return WS_DB_ERR_JSON_TYPE;
        }
        double d = item->valuedouble;
        static const double kMin[] = {-128, 0, -32768, 0};
        static const double kMax[] = {127, 255, 32767, 65535};
        if (f.type < NQ_DB_INT32 && (d < kMin[f.type] || d > kMax[f.type])) {
            return UNI_COM_ERROR;
        }
        switch (f.type) {
        case NQ_DB_INT8:
            *static_cast<int8_t*>(f.value) = static_cast<int8_t>(d);
            break;
        case NQ_DB_UINT8:
            *static_cast<uint8_t*>(f.value) = static_cast<uint8_t>(d);
            break;
        case NQ_DB_INT16:
            *static_cast<int16_t*>(f.value) = static_cast<int16_t>(d);
            break;
        case NQ_DB_UINT16:
            *static_cast<uint16_t*>(f.value) = static_cast<uint16_t>(d);
            break;
        default:
            *static_cast<int32_t*>(f.value) = item->valueint;
            break;
        }
        return UNI_OK;
    }
    if (f.type == NQ_DB_BOOL) {
        if (!cJSON_IsBool(item)) {
            return WS_DB_ERR_JSON_TYPE;
        }
        *static_cast<int32_t*>(f.value) = cJSON_IsTrue(item) ? 1 : 0;
        return UNI_OK;
    }
    if (f.type > NQ_DB_RAW) {
        return UNI_COM_ERROR;
    }
    if (!cJSON_IsString(item) && !cJSON_IsNull(item)) {
        return WS_DB_ERR_JSON_TYPE;
    }
    if (cJSON_IsNull(item)) {
        // No text, or no bytes; the caller's descriptor table is left as it is.
        memset(f.value, 0, f.len);
        return UNI_OK;
    }
    const char* s = item->valuestring;
    if (f.type == NQ_DB_STR) {
        size_t n = strlen(s);
        if (n + 1 > f.len) {
            return UNI_COM_ERROR;
        }
        memcpy(f.value, s, n + 1);
        return UNI_OK;
    }
    // Bytes that would not fit the field are refused, never written past it.
    return uni_base64_decode_n(s, static_cast<uint8_t*>(f.value), f.len) < 0 ? UNI_COM_ERROR : UNI_OK;
}

int __deserialize_n(const char* json, size_t len, const NQ_DB_RW_S* rw, uint32_t cnt)
{
    cJSON* root = cJSON_ParseWithLength(json, len);
    if (root == nullptr) {
        PR_ERR("json parse fails");
        PR_ERR("deserial fails %d", WS_DB_ERR_JSON);
        return WS_DB_ERR_JSON;
    }
    int ret = UNI_OK;
    for (uint32_t i = 0; i < cnt && ret == UNI_OK; ++i) {
        ret = __read_field(cJSON_GetObjectItemCaseSensitive(root, rw[i].name), rw[i]);
    }
    cJSON_Delete(root);
    if (ret != UNI_OK) {
        PR_ERR("deserial fails %d", ret);
    }
    return ret;
}

// A fuzzy-read or read buffer of the store as a JSON text of its length.
int __restore_from(const uint8_t* buf, uint32_t len, const NQ_DB_RW_S* rw, uint32_t cnt)
{
    return __deserialize_n(reinterpret_cast<const char*>(buf), len, rw, cnt);
}

std::string __dev_key(const char* id)
{
    char key[kDevKeyLen];
    snprintf(key, sizeof(key), "ddi-%s", id);
    return key;
}

// Descriptor of a text or byte field of a structure.
template <size_t N>
NQ_DB_RW_S __text(const char* name, char (&field)[N])
{
    return {name, NQ_DB_STR, field, N};
}

template <typename T>
NQ_DB_RW_S __num(const char* name, uint32_t type, T& field)
{
    return {name, type, &field, sizeof(T)};
}

// The four attached-module members after "attr_num", as both records write them.
void __attach_fields(NQ_DB_RW_S* out, GW_ATTACH_ATTR_S (&attr)[GW_ATTACH_NUM])
{
    static const char* const kTp[] = {"mst_tp_0", "mst_tp_1", "mst_tp_2", "mst_tp_3"};
    static const char* const kVer[] = {"mst_ver_0", "mst_ver_1", "mst_ver_2", "mst_ver_3"};
    for (int i = 0; i < GW_ATTACH_NUM; ++i) {
        out[2 * i] = __num(kTp[i], NQ_DB_UINT8, attr[i].mst_tp);
        out[2 * i + 1] = __text(kVer[i], attr[i].mst_ver);
    }
}

// The records' tables: descriptors over a structure the caller owns.
constexpr uint32_t kBaseCnt = 6;
std::array<NQ_DB_RW_S, kBaseCnt> __base_fields(GW_BASE_IF_S* bi)
{
    std::array<NQ_DB_RW_S, kBaseCnt> f;
    f[0] = __text("uuid", bi->uuid);
    f[1] = __text("auth_key", bi->auth_key);
    f[2] = __text("ap_ssid", bi->ap_ssid);
    f[3] = __text("ap_passwd", bi->ap_passwd);
    f[4] = __text("country_code", bi->country_code);
    f[5] = __num("prod_test", NQ_DB_BOOL, bi->prod_test);
    return f;
}

constexpr uint32_t kWsmCnt = 10;
struct WSM_WIRE_S {
    char ssid[kSsidB64Len];
    char passwd[kPasswdB64Len];
    uint8_t wfb64;
};
std::array<NQ_DB_RW_S, kWsmCnt> __wsm_fields(GW_WORK_STAT_MAG_S* w, WSM_WIRE_S* wire)
{
    std::array<NQ_DB_RW_S, kWsmCnt> f;
    f[0] = __num("nc_tp", NQ_DB_UINT8, w->nc_tp);
    f[1] = __text("ssid", wire->ssid);
    f[2] = __text("passwd", wire->passwd);
    f[3] = __num("md", NQ_DB_UINT8, w->md);
    f[4] = __num("random", NQ_DB_UINT8, w->random);
    f[5] = __num("wfb64", NQ_DB_UINT8, wire->wfb64);
    f[6] = __num("stat", NQ_DB_UINT8, w->stat);
    f[7] = __text("token", w->token);
    f[8] = __text("region", w->region);
    f[9] = __text("reg_key", w->reg_key);
    return f;
}

constexpr uint32_t kDescCnt = 22;
std::array<NQ_DB_RW_S, kDescCnt> __desc_fields(GW_DESC_IF_S* di)
{
    std::array<NQ_DB_RW_S, kDescCnt> f;
    f[0] = __num("abi", NQ_DB_UINT8, di->abi);
    f[1] = __text("id", di->id);
    f[2] = __text("swv", di->swv);
    f[3] = __text("bv", di->bv);
    f[4] = __text("pv", di->pv);
    f[5] = __text("lpv", di->lpv);
    f[6] = __text("pk", di->pk);
    f[7] = __text("cadv", di->cadv);
    f[8] = __text("cdv", di->cdv);
    f[9] = __text("dev_swv", di->dev_swv);
    f[10] = __text("s_id", di->s_id);
    f[11] = __num("dtp", NQ_DB_UINT8, di->dtp);
    // One byte of the word goes out; a missing member clears all of it.
    f[12] = {"sync", NQ_DB_UINT8, &di->sync, sizeof(di->sync)};
    f[13] = __num("attr_num", NQ_DB_UINT8, di->attr_num);
    __attach_fields(&f[14], di->attr);
    return f;
}

// The writer stores 12 members; the reader reads one more, "dls_time", into a scratch buffer.
constexpr uint32_t kActvCnt = 12;
std::array<NQ_DB_RW_S, kActvCnt + 1> __actv_fields(GW_ACTV_IF_S* ai, uint8_t* dls)
{
    std::array<NQ_DB_RW_S, kActvCnt + 1> f;
    f[0] = __text("key", ai->key);
    f[1] = __text("lckey", ai->lckey);
    f[2] = __text("h_url", ai->h_url);
    f[3] = __text("hs_url", ai->hs_url);
    f[4] = __text("hs_psk", ai->hs_psk);
    f[5] = __text("mqm_url", ai->mqm_url);
    f[6] = __text("mqs_url", ai->mqs_url);
    f[7] = __text("mq_url", ai->mq_url);
    f[8] = __text("time_z", ai->time_z);
    f[9] = __text("s_time_z", ai->s_time_z);
    f[10] = __text("wx_app_id", ai->wx_app_id);
    f[11] = __text("wx_uuid", ai->wx_uuid);
    f[12] = {"dls_time", NQ_DB_RAW, dls, kDlsTimeLen};
    return f;
}

constexpr uint32_t kDevCnt = 17;
std::array<NQ_DB_RW_S, kDevCnt> __dev_fields(DEV_DESC_IF_S* dev)
{
    std::array<NQ_DB_RW_S, kDevCnt> f;
    f[0] = __text("id", dev->id);
    f[1] = __text("sw_ver", dev->sw_ver);
    f[2] = __text("s_id", dev->s_id);
    f[3] = __text("pk", dev->pk);
    f[4] = __num("tp", NQ_DB_UINT8, dev->tp);
    f[5] = __num("bind", NQ_DB_BOOL, dev->bind);
    f[6] = __num("sync", NQ_DB_BOOL, dev->sync);
    f[7] = __num("uddd", NQ_DB_INT32, dev->uddd);
    f[8] = __num("attr_num", NQ_DB_UINT8, dev->attr_num);
    __attach_fields(&f[9], dev->attr);
    return f;
}

// The result with its message: "<what> fails <code>" as an error, or "<what> success".
int __outcome(int ret, const char* what)
{
    if (ret != UNI_OK) {
        // A record not written yet is a fresh unit's normal state, not an error.
        if (ret == KVS_ERR_NOT_FOUND) {
            PR_NOTICE("%s fails %d", what, ret);
        } else {
            PR_ERR("%s fails %d", what, ret);
        }
        return ret;
    }
    PR_DEBUG("%s success", what);
    return UNI_OK;
}

template <size_t N>
int __save(const char* key, const std::array<NQ_DB_RW_S, N>& f, uint32_t cnt, const char* what)
{
    return __outcome(__nq_db_serialize_save(key, f.data(), cnt), what);
}

template <size_t N>
int __restore(const char* key, const std::array<NQ_DB_RW_S, N>& f, const char* what)
{
    return __outcome(__nq_db_deserialize_restore(key, f.data(), N), what);
}

// A record saved through a copy: the descriptors want addresses they could write through.
template <typename T, typename Fields>
int __save_record(const T* rec, const char* key, const char* name, Fields fields)
{
    if (rec == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    T copy = *rec;
    auto f = fields(&copy);
    return __save(key, f, static_cast<uint32_t>(f.size()), name);
}

template <typename T, typename Fields>
int __restore_record(T* rec, const char* key, const char* name, Fields fields)
{
    if (rec == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    return __restore(key, fields(rec), name);
}

}  // namespace

int __nq_serialize(const NQ_DB_RW_S* rw, uint32_t cnt, char** out, uint32_t* outLen)
{
    if ((rw == nullptr && cnt != 0) || out == nullptr || outLen == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    std::string text;
    text.reserve(__serial_size(rw, cnt));
    if (cnt == 0) {
        text = "{}";
    } else {
        text = "{";
        for (uint32_t i = 0; i < cnt; ++i) {
            text += '"';
            text += rw[i].name;
            text += "\":";
            if (!__put_value(text, rw[i])) {
                return UNI_COM_ERROR;
            }
            text += i + 1 < cnt ? "," : " }";
        }
    }
    auto* buf = static_cast<char*>(Malloc(text.size() + 1));
    if (buf == nullptr) {
        PR_ERR("maloc fails %d", static_cast<int>(text.size() + 1));
        return UNI_MALLOC_FAILED;
    }
    memcpy(buf, text.c_str(), text.size() + 1);
    *out = buf;
    *outLen = static_cast<uint32_t>(text.size());
    return UNI_OK;
}

int __nq_deserialize(const char* json, const NQ_DB_RW_S* rw, uint32_t cnt)
{
    if (json == nullptr || (rw == nullptr && cnt != 0)) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    return __deserialize_n(json, strlen(json), rw, cnt);
}

int __nq_db_serialize_save(const char* key, const NQ_DB_RW_S* rw, uint32_t cnt)
{
    if (key == nullptr || rw == nullptr || cnt == 0) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    char* text = nullptr;
    uint32_t len = 0;
    int ret = __nq_serialize(rw, cnt, &text, &len);
    if (ret != UNI_OK) {
        return ret;
    }
    ret = kvs_write(key, text, len);
    Free(text);
    if (ret != UNI_OK) {
        PR_ERR("kvs_write fails %s %d", key, ret);
        return WS_DB_ERR_WRITE;
    }
    return UNI_OK;
}

int __nq_db_deserialize_restore(const char* key, const NQ_DB_RW_S* rw, uint32_t cnt)
{
    if (key == nullptr || rw == nullptr || cnt == 0) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    int ret = kvs_read(key, &buf, &len);
    if (ret == KVS_ERR_NOT_FOUND) {
        PR_NOTICE("kvs_read fails %s %d", key, ret);
        return KVS_ERR_NOT_FOUND;
    }
    if (ret != UNI_OK) {
        PR_ERR("kvs_read fails %s %d", key, ret);
        return WS_DB_ERR_READ;
    }
    ret = __restore_from(buf, len, rw, cnt);
    kvs_free_data(buf);
    return ret;
}

int ws_db_init(const char* path, const uint8_t* key, uint32_t keyLen)
{
    int ret = kvs_init(path, key, keyLen);
    if (ret != UNI_OK) {
        PR_ERR("kvs init fails %d", ret);
    }
    return ret;
}

int wd_gw_base_if_write(const GW_BASE_IF_S* bi)
{
    return __save_record(bi, kGwBaseKey, "gw base write", __base_fields);
}

int wd_gw_base_if_read(GW_BASE_IF_S* bi)
{
    return __restore_record(bi, kGwBaseKey, "gw base read", __base_fields);
}

int wd_gw_wsm_write(const GW_WORK_STAT_MAG_S* wsm)
{
    if (wsm == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    GW_WORK_STAT_MAG_S copy = *wsm;
    WSM_WIRE_S wire = {};
    wire.wfb64 = 1;
    uni_base64_encode(reinterpret_cast<const uint8_t*>(copy.ssid),
                      static_cast<int>(strnlen(copy.ssid, sizeof(copy.ssid) - 1)), wire.ssid);
    uni_base64_encode(reinterpret_cast<const uint8_t*>(copy.passwd),
                      static_cast<int>(strnlen(copy.passwd, sizeof(copy.passwd) - 1)), wire.passwd);
    return __save(kGwWsmKey, __wsm_fields(&copy, &wire), kWsmCnt, "gw_wsm write");
}

int wd_gw_wsm_read(GW_WORK_STAT_MAG_S* wsm)
{
    if (wsm == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    WSM_WIRE_S wire = {};
    int ret = __nq_db_deserialize_restore(kGwWsmKey, __wsm_fields(wsm, &wire).data(), kWsmCnt);
    if (ret == UNI_OK) {
        memset(wsm->ssid, 0, sizeof(wsm->ssid));
        memset(wsm->passwd, 0, sizeof(wsm->passwd));
        if (wire.wfb64 == 1) {
            // The decoded texts keep their NUL: one byte less than the fields.
            if (uni_base64_decode_n(wire.ssid, reinterpret_cast<uint8_t*>(wsm->ssid), sizeof(wsm->ssid) - 1) < 0 ||
                uni_base64_decode_n(wire.passwd, reinterpret_cast<uint8_t*>(wsm->passwd), sizeof(wsm->passwd) - 1) <
                    0) {
                memset(wsm->ssid, 0, sizeof(wsm->ssid));
                memset(wsm->passwd, 0, sizeof(wsm->passwd));
                ret = UNI_COM_ERROR;
            }
        } else {
            // Records from before the Base64 form hold the texts as they are.
            memcpy(wsm->ssid, wire.ssid, strnlen(wire.ssid, sizeof(wsm->ssid) - 1));
            memcpy(wsm->passwd, wire.passwd, strnlen(wire.passwd, sizeof(wsm->passwd) - 1));
        }
    }
    return __outcome(ret, "gw_wsm read");
}

int wd_gw_desc_if_write(const GW_DESC_IF_S* di)
{
    return __save_record(di, kGwDescKey, "gw_di write", __desc_fields);
}

int wd_gw_desc_if_read(GW_DESC_IF_S* di)
{
    int ret = __restore_record(di, kGwDescKey, "gw_di read", __desc_fields);
    if (ret != UNI_OK) {
        return ret;
    }
    if (di->swv[0] != '\0' && uni_check_version_str(di->swv) != 1) {
        PR_ERR("di->sw_ver:%s", di->swv);
        return UNI_COM_ERROR;
    }
    if (di->dev_swv[0] != '\0' && uni_check_version_str(di->dev_swv) != 1) {
        PR_ERR("di->dev_sw_ver:%s", di->dev_swv);
        return UNI_COM_ERROR;
    }
    return UNI_OK;
}

int wd_gw_actv_if_write(const GW_ACTV_IF_S* ai)
{
    if (ai == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    GW_ACTV_IF_S copy = *ai;
    return __save(kGwActvKey, __actv_fields(&copy, nullptr), kActvCnt, "gw_ai write");
}

int wd_gw_actv_if_read(GW_ACTV_IF_S* ai)
{
    uint8_t dls[kDlsTimeLen];
    return __restore_record(ai, kGwActvKey, "gw_ai read", [&](GW_ACTV_IF_S* rec) { return __actv_fields(rec, dls); });
}

int wd_dev_if_write(const DEV_DESC_IF_S* dev)
{
    return __save_record(dev, dev != nullptr ? __dev_key(dev->id).c_str() : "", "ddi write", __dev_fields);
}

int wd_dev_if_read(uint32_t* index, DEV_DESC_IF_S* dev)
{
    if (index == nullptr || dev == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    memset(dev, 0, sizeof(*dev));
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    int ret = kvs_fuzzy_read(kDevPrefix, index, &buf, &len);
    if (ret != UNI_OK) {
        PR_ERR("ddi fuzzy read fails %d", ret);
        return ret;
    }
    ret = __restore_from(buf, len, __dev_fields(dev).data(), kDevCnt);
    kvs_free_data(buf);
    return __outcome(ret, "ddi read");
}

int wd_dev_if_delete_all(void)
{
    return __outcome(kvs_fuzzy_delete(kDevPrefix), "ddi fuzzy delete");
}

int wd_dev_if_delete(const char* id)
{
    if (id == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    std::string key = __dev_key(id);
    int ret = kvs_delete(key.c_str());
    if (ret != UNI_OK) {
        PR_ERR("kvs_delete fails %s %d", key.c_str(), ret);
        return WS_DB_ERR_WRITE;
    }
    PR_DEBUG("ddi delete success");
    return UNI_OK;
}

int wd_dev_schema_write(const char* key, const char* schema)
{
    if (key == nullptr || schema == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    int ret = kvs_write(key, schema, static_cast<uint32_t>(strlen(schema) + 1));
    if (ret != UNI_OK) {
        PR_ERR("schema write fails %s %d", key, ret);
        return WS_DB_ERR_WRITE;
    }
    PR_DEBUG("schema write success");
    return UNI_OK;
}

int wd_dev_schema_read(const char* key, char** schema)
{
    if (key == nullptr || schema == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    int ret = kvs_read(key, &buf, &len);
    if (ret != UNI_OK) {
        PR_ERR("schema read fails %s %d", key, ret);
        return WS_DB_ERR_WRITE;
    }
    *schema = reinterpret_cast<char*>(buf);
    PR_DEBUG("schema %s read success", key);
    return UNI_OK;
}

int wd_dev_schema_delete(const char* key)
{
    if (key == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    int ret = kvs_delete(key);
    if (ret != UNI_OK) {
        PR_ERR("kvs_delete fails %s %d", key, ret);
        return WS_DB_ERR_WRITE;
    }
    PR_DEBUG("schema %s delete success", key);
    return UNI_OK;
}

int ws_db_user_param_write(const uint8_t* data, uint32_t len)
{
    if (data == nullptr || len == 0) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    int ret = kvs_write(kUserParamKey, data, len);
    if (ret != UNI_OK) {
        PR_ERR("kvs_write err:%d", ret);
    }
    return ret;
}

int ws_db_user_param_read(uint8_t** data, uint32_t* len)
{
    if (data == nullptr || len == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    int ret = kvs_read(kUserParamKey, data, len);
    if (ret != UNI_OK) {
        PR_ERR("kvs_read err:%d", ret);
    }
    return ret;
}

int wd_utils_serialize(const NQ_DB_RW_S* rw, uint32_t cnt, char** out, uint32_t* outLen)
{
    return __nq_serialize(rw, cnt, out, outLen);
}

int wd_utils_free_outbuf(char* buf)
{
    Free(buf);
    return UNI_OK;
}

int wd_utils_deserialize(const char* json, const NQ_DB_RW_S* rw, uint32_t cnt)
{
    return __nq_deserialize(json, rw, cnt);
}

int wd_common_write(const char* key, const uint8_t* value, uint32_t len)
{
    return kvs_write(key, value, len);
}

int wd_common_read(const char* key, uint8_t** value, uint32_t* len)
{
    return kvs_read(key, value, len);
}

int wd_common_free_data(uint8_t* data)
{
    return kvs_free_data(data);
}
