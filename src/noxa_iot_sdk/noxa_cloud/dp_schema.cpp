#include "noxa_iot_sdk/noxa_cloud/dp_schema.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_base64.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

std::mutex s_schemaMutex;
std::map<uint8_t, DP_SCHEMA_ENTRY_S> s_schema;

bool TypeOf(const char* text, DP_SCHEMA_TP_E* type)
{
    static const struct {
        const char* name;
        DP_SCHEMA_TP_E type;
    } kTypes[] = {{"bool", DP_SCHEMA_BOOL},   {"value", DP_SCHEMA_VALUE},   {"string", DP_SCHEMA_STR},
                  {"enum", DP_SCHEMA_ENUM},   {"bitmap", DP_SCHEMA_BITMAP}, {"raw", DP_SCHEMA_RAW}};
    for (const auto& t : kTypes) {
        if (strcmp(text, t.name) == 0) {
            *type = t.type;
            return true;
        }
    }
    return false;
}

// Converts one entry into `dp`; false (logged) when it does not fit the schema.
bool ConvertOne(const DP_SCHEMA_ENTRY_S& s, const cJSON* item, OBJ_DP_S* dp)
{
    int64_t v = 0;
    dp->dpid = s.id;
    switch (s.type) {
    case DP_SCHEMA_BOOL:
        // The phone sends switches as true/false or as 0/1.
        if (cJSON_IsBool(item)) {
            dp->value.dp_bool = cJSON_IsTrue(item) ? 1 : 0;
        } else if (dp_json_integer(item, &v) && (v == 0 || v == 1)) {
            dp->value.dp_bool = static_cast<int32_t>(v);
        } else {
            return false;
        }
        dp->type = PROP_BOOL;
        return true;
    case DP_SCHEMA_VALUE:
        if (s.acceptBool && cJSON_IsBool(item)) {
            dp->type = PROP_BOOL;
            dp->value.dp_bool = cJSON_IsTrue(item) ? 1 : 0;
            return true;
        }
        if (!dp_json_integer(item, &v) || v < s.min || v > s.max) {
            return false;
        }
        dp->type = PROP_VALUE;
        dp->value.dp_value = static_cast<int32_t>(v);
        return true;
    case DP_SCHEMA_ENUM:
        if (!cJSON_IsString(item)) {
            return false;
        }
        for (size_t i = 0; i < s.range.size(); ++i) {
            if (s.range[i] == item->valuestring) {
                dp->type = PROP_ENUM;
                dp->value.dp_enum = static_cast<uint32_t>(i);
                return true;
            }
        }
        return false;
    case DP_SCHEMA_STR:
        if (!cJSON_IsString(item) || strlen(item->valuestring) > s.maxlen) {
            return false;
        }
        dp->type = PROP_STR;
        dp->value.dp_str = item->valuestring;
        return true;
    case DP_SCHEMA_BITMAP: {
        uint32_t bits = s.maxlen >= 32 ? 32 : s.maxlen;
        if (!dp_json_integer(item, &v) || v < 0 || v >= (int64_t{1} << bits)) {
            return false;
        }
        dp->type = PROP_BITMAP;
        dp->value.dp_bitmap = static_cast<uint32_t>(v);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

int dp_schema_load(const char* text)
{
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(text != nullptr ? text : ""), cJSON_Delete);
    if (root == nullptr || !cJSON_IsArray(root.get())) {
        PR_ERR("schema is no array");
        return UNI_COM_ERROR;
    }
    std::map<uint8_t, DP_SCHEMA_ENTRY_S> next;
    const cJSON* row = nullptr;
    cJSON_ArrayForEach(row, root.get())
    {
        const cJSON* id = cJSON_GetObjectItemCaseSensitive(row, "id");
        const cJSON* prop = cJSON_GetObjectItemCaseSensitive(row, "property");
        const cJSON* type = cJSON_GetObjectItemCaseSensitive(prop, "type");
        int64_t idv = 0;
        DP_SCHEMA_ENTRY_S e;
        if (!dp_json_integer(id, &idv) || idv < 1 || idv > 255 || !cJSON_IsString(type) || !TypeOf(type->valuestring, &e.type)) {
            PR_WARN("schema row skipped");
            continue;
        }
        e.id = static_cast<uint8_t>(idv);
        int64_t n = 0;
        if (dp_json_integer(cJSON_GetObjectItemCaseSensitive(prop, "min"), &n)) {
            e.min = n;
        }
        if (dp_json_integer(cJSON_GetObjectItemCaseSensitive(prop, "max"), &n)) {
            e.max = n;
        }
        if (dp_json_integer(cJSON_GetObjectItemCaseSensitive(prop, "maxlen"), &n) && n >= 0 && n <= 65535) {
            e.maxlen = static_cast<uint32_t>(n);
        }
        const cJSON* r = nullptr;
        cJSON_ArrayForEach(r, cJSON_GetObjectItemCaseSensitive(prop, "range"))
        {
            if (cJSON_IsString(r)) {
                e.range.emplace_back(r->valuestring);
            }
        }
        cJSON_ArrayForEach(r, cJSON_GetObjectItemCaseSensitive(prop, "accept"))
        {
            if (cJSON_IsString(r) && strcmp(r->valuestring, "bool") == 0) {
                e.acceptBool = true;
            }
        }
        next[e.id] = std::move(e);
    }
    std::lock_guard<std::mutex> lock(s_schemaMutex);
    s_schema = std::move(next);
    PR_DEBUG("schema holds %u data points", static_cast<unsigned>(s_schema.size()));
    return UNI_OK;
}

void dp_schema_clear(void)
{
    std::lock_guard<std::mutex> lock(s_schemaMutex);
    s_schema.clear();
}

bool dp_schema_get(uint8_t id, DP_SCHEMA_ENTRY_S* entry)
{
    std::lock_guard<std::mutex> lock(s_schemaMutex);
    auto it = s_schema.find(id);
    if (it == s_schema.end()) {
        return false;
    }
    if (entry != nullptr) {
        *entry = it->second;
    }
    return true;
}

int dp_schema_convert(const cJSON* dps, uint32_t time_stamp, RECV_OBJ_DP_S** obj, std::vector<DP_RAW_ENTRY_S>* raw)
{
    if (!cJSON_IsObject(dps) || obj == nullptr || raw == nullptr) {
        return UNI_INVALID_PARM;
    }
    *obj = nullptr;
    raw->clear();
    uint32_t cnt = static_cast<uint32_t>(cJSON_GetArraySize(dps));
    auto* rec = static_cast<RECV_OBJ_DP_S*>(Malloc(sizeof(RECV_OBJ_DP_S) + sizeof(OBJ_DP_S) * (cnt == 0 ? 1 : cnt)));
    if (rec == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    memset(rec, 0, sizeof(RECV_OBJ_DP_S));
    rec->cmd_tp = 1;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, dps)
    {
        char* end = nullptr;
        const char* key = item->string != nullptr ? item->string : "";
        long id = strtol(key, &end, 10);
        DP_SCHEMA_ENTRY_S s;
        if (key[0] == '\0' || *end != '\0' || id < 1 || id > 255 || !dp_schema_get(static_cast<uint8_t>(id), &s)) {
            PR_ERR("dp %s not in schema, dropped", key);
            continue;
        }
        if (s.type == DP_SCHEMA_RAW) {
            if (!cJSON_IsString(item)) {
                PR_ERR("dp %ld raw is no text, dropped", id);
                continue;
            }
            size_t textLen = strlen(item->valuestring);
            DP_RAW_ENTRY_S r{s.id, std::vector<uint8_t>(3 * (textLen / 4) + 3)};
            int n = uni_base64_decode_n(item->valuestring, r.data.data(), static_cast<uint32_t>(r.data.size()));
            if (n < 0 || static_cast<uint32_t>(n) > s.maxlen || textLen % 4 != 0) {
                PR_ERR("dp %ld raw is no base64 or too long, dropped", id);
                continue;
            }
            r.data.resize(static_cast<size_t>(n));
            raw->push_back(std::move(r));
            continue;
        }
        OBJ_DP_S* dp = &rec->dps[rec->dps_cnt];
        memset(dp, 0, sizeof(*dp));
        if (!ConvertOne(s, item, dp)) {
            PR_ERR("dp %ld has a wrong type or value, dropped", id);
            continue;
        }
        dp->time_stamp = time_stamp;
        ++rec->dps_cnt;
    }
    if (rec->dps_cnt == 0) {
        Free(rec);
        return UNI_OK;
    }
    *obj = rec;
    return UNI_OK;
}

cJSON* dp_schema_report_item(const OBJ_DP_S* dp)
{
    if (dp == nullptr) {
        return nullptr;
    }
    switch (dp->type) {
    case PROP_BOOL:
        return cJSON_CreateBool(dp->value.dp_bool != 0);
    case PROP_VALUE:
        return cJSON_CreateNumber(dp->value.dp_value);
    case PROP_STR:
        return cJSON_CreateString(dp->value.dp_str != nullptr ? dp->value.dp_str : "");
    case PROP_ENUM: {
        DP_SCHEMA_ENTRY_S s;
        if (dp_schema_get(dp->dpid, &s) && s.type == DP_SCHEMA_ENUM && dp->value.dp_enum < s.range.size()) {
            return cJSON_CreateString(s.range[dp->value.dp_enum].c_str());
        }
        return cJSON_CreateNumber(dp->value.dp_enum);
    }
    case PROP_BITMAP:
        return cJSON_CreateNumber(dp->value.dp_bitmap);
    default:
        return nullptr;
    }
}

bool dp_json_integer(const cJSON* item, int64_t* v)
{
    if (!cJSON_IsNumber(item)) {
        return false;
    }
    double d = item->valuedouble;
    if (!std::isfinite(d) || d != std::floor(d) || d < -9.0e15 || d > 9.0e15) {
        return false;
    }
    *v = static_cast<int64_t>(d);
    return true;
}
