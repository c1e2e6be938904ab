#include "noxa_iot_sdk/noxa_cloud/gw_active.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"
#include "noxa_iot_sdk/noxa_cloud/dp_schema.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_middleware/tls/noxa_tls_ca.h"
#include "platform/board_net.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> s_started{false};
// The MQTT URL of the record in force (the link is started from it).
GW_ACTV_IF_S s_record;

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// Cloud hosts are answered by the board; other names by the system. A ".test" name is never
// asked of a name server.
int CloudResolve(const char* domain, uint32_t* addr)
{
    if (BoardResolveHost(domain, addr) == 0) {
        return 0;
    }
    size_t len = strlen(domain);
    if (len >= 5 && strcmp(domain + len - 5, ".test") == 0) {
        return -1;
    }
    return unw_sys_resolve(domain, addr);
}

// The host of "scheme://host[:port]/...".
std::string HostOf(const char* url)
{
    std::string u(url != nullptr ? url : "");
    size_t at = u.find("://");
    u = at == std::string::npos ? u : u.substr(at + 3);
    return u.substr(0, u.find_first_of(":/?"));
}

void StoreCaFor(const std::string& host)
{
    if (!host.empty() && !cloud_has_ca(host.c_str())) {
        cloud_store_ca(host.c_str(), g_noxa_tls_builtin_ca, g_noxa_tls_builtin_ca_len);
    }
}

template <size_t N>
bool Take(char (&dst)[N], const cJSON* item, bool required)
{
    if (!cJSON_IsString(item)) {
        return !required;
    }
    size_t len = strlen(item->valuestring);
    if (len >= N || (required && len == 0)) {
        return false;
    }
    memcpy(dst, item->valuestring, len + 1);
    return true;
}

// The kept summer-time table ([[start,end,offset],...]) in force; rows that are no interval are
// left out.
void ApplySummerTable(const char* text)
{
    JsonPtr rows(cJSON_Parse(text), cJSON_Delete);
    if (!cJSON_IsArray(rows.get())) {
        return;
    }
    std::vector<SUM_ZONE_S> zones;
    const cJSON* row = nullptr;
    cJSON_ArrayForEach(row, rows.get())
    {
        const cJSON* start = cJSON_GetArrayItem(row, 0);
        const cJSON* end = cJSON_GetArrayItem(row, 1);
        if (cJSON_IsNumber(start) && cJSON_IsNumber(end) && start->valuedouble >= 0 &&
            end->valuedouble >= start->valuedouble) {
            zones.push_back(SUM_ZONE_S{static_cast<TIME_T>(start->valuedouble), static_cast<TIME_T>(end->valuedouble)});
        }
    }
    uni_set_sum_zone_tbl(zones.empty() ? nullptr : zones.data(), static_cast<uint32_t>(zones.size()));
}

// Fills the gateway from a record and goes to state 2.
void Enter(const GW_ACTV_IF_S& ai)
{
    GW_CNTL_S* gw = get_gw_cntl();
    static_assert(sizeof(gw->devId) >= sizeof(ai.key));
    memcpy(gw->devId, ai.key, sizeof(ai.key));
    char key[GW_LOCAL_KEY_LEN + 1] = {};
    memcpy(key, ai.lckey, std::min(sizeof(key) - 1, sizeof(ai.lckey)));
    gw_set_local_key(key);
    if (ai.time_z[0] != '\0') {
        uni_set_time_zone(ai.time_z);
    }
    ApplySummerTable(ai.s_time_z);
    s_record = ai;
    gw->active_stat.store(ACTIVATED);
}

void StartLink()
{
    StoreCaFor(HostOf(s_record.mq_url));
    int ret = mqc_app_start(s_record.mq_url);
    if (ret != UNI_OK) {
        PR_ERR("mqtt link not started %d", ret);
    }
}

void LoadSchema(const char* devId)
{
    (void)devId;
    char* schema = nullptr;
    if (wd_dev_schema_read(GW_SCHEMA_KEY, &schema) == UNI_OK) {
        dp_schema_load(schema);
        wd_common_free_data(reinterpret_cast<uint8_t*>(schema));
    } else {
        PR_ERR("no stored schema: data-point commands will be dropped");
    }
}

void ActivationThread()
{
    uint32_t failures = 0;
    for (;;) {
        int ret = gw_active_once();
        if (ret == UNI_OK) {
            StartLink();
            return;
        }
        if (ret == UNI_INVALID_PARM) {
            // No token yet: the phone's pairing binds one through gw_wifi_user_cfg.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        uint32_t wait = gw_active_backoff_ms(++failures);
        PR_ERR("activation fails %d, next try in %u ms", ret, wait);
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
}

}  // namespace

uint32_t gw_active_backoff_ms(uint32_t failures)
{
    uint32_t wait = GW_ACTV_BACKOFF_MIN_MS;
    for (uint32_t i = 1; i < failures && wait < GW_ACTV_BACKOFF_MAX_MS; ++i) {
        wait *= 2;
    }
    return wait < GW_ACTV_BACKOFF_MAX_MS ? wait : GW_ACTV_BACKOFF_MAX_MS;
}

int gw_active_load(void)
{
    GW_ACTV_IF_S ai = {};
    int ret = wd_gw_actv_if_read(&ai);
    if (ret != UNI_OK) {
        return ret;
    }
    if (ai.key[0] == '\0' || strlen(ai.lckey) != GW_LOCAL_KEY_LEN) {
        PR_ERR("stored activation record is incomplete");
        return UNI_COM_ERROR;
    }
    Enter(ai);
    LoadSchema(ai.key);
    PR_NOTICE("activated as %s (stored record)", ai.key);
    return UNI_OK;
}

int gw_active_apply(const cJSON* result)
{
    GW_ACTV_IF_S ai = {};
    const cJSON* dst = cJSON_GetObjectItemCaseSensitive(result, "dstTable");
    const cJSON* schema = cJSON_GetObjectItemCaseSensitive(result, "schema");
    if (!cJSON_IsObject(result) || !Take(ai.key, cJSON_GetObjectItemCaseSensitive(result, "devId"), true) ||
        !Take(ai.lckey, cJSON_GetObjectItemCaseSensitive(result, "localKey"), true) ||
        strlen(ai.lckey) != GW_LOCAL_KEY_LEN ||
        !Take(ai.mq_url, cJSON_GetObjectItemCaseSensitive(result, "mqttUrl"), true) ||
        !Take(ai.h_url, cJSON_GetObjectItemCaseSensitive(result, "httpsUrl"), false) ||
        !Take(ai.time_z, cJSON_GetObjectItemCaseSensitive(result, "timeZone"), false)) {
        PR_ERR("activation result incomplete or too long");
        return UNI_COM_ERROR;
    }
    if (cJSON_IsArray(dst)) {
        char* text = cJSON_PrintUnformatted(dst);
        if (text != nullptr && strlen(text) < sizeof(ai.s_time_z)) {
            strcpy(ai.s_time_z, text);
        } else {
            PR_ERR("summer-time table too long, not kept");
        }
        cJSON_free(text);
    }
    // The schema first: a record without its schema would drop every command after a restart.
    if (cJSON_IsString(schema)) {
        if (dp_schema_load(schema->valuestring) != UNI_OK ||
            wd_dev_schema_write(GW_SCHEMA_KEY, schema->valuestring) != UNI_OK) {
            PR_ERR("schema not stored");
            return UNI_COM_ERROR;
        }
    }
    int ret = wd_gw_actv_if_write(&ai);
    if (ret != UNI_OK) {
        return ret;
    }
    Enter(ai);
    PR_NOTICE("activated as %s", ai.key);
    return UNI_OK;
}

int gw_active_once(void)
{
    GW_CNTL_S* gw = get_gw_cntl();
    char token[GW_TOKEN_LEN + 1] = {};
    gw_get_token(token);
    if (token[0] == '\0') {
        return UNI_INVALID_PARM;
    }
    uint8_t expected = UN_ACTIVE;
    gw->active_stat.compare_exchange_strong(expected, ACTIVATING);
    PR_NOTICE("activate with token %s", uni_mask_secret(token).text);
    cJSON* result = nullptr;
    int ret = http_gw_active(token, &result);
    JsonPtr res(result, cJSON_Delete);
    if (ret != UNI_OK) {
        return ret;
    }
    return gw_active_apply(res.get());
}

int gw_active_clear(void)
{
    GW_CNTL_S* gw = get_gw_cntl();
    kvs_delete("gw_ai");
    wd_dev_schema_delete(GW_SCHEMA_KEY);
    dp_schema_clear();
    gw->active_stat.store(UN_ACTIVE);
    memset(gw->devId, 0, sizeof(gw->devId));
    gw_set_local_key(nullptr);
    gw_clear_token();
    PR_NOTICE("activation record cleared");
    return UNI_OK;
}

int gw_active_start(void)
{
    if (s_started.exchange(true)) {
        return UNI_COM_ERROR;
    }
    unw_set_sys_resolver(CloudResolve);
    char apiUrl[IOT_API_URL_LEN + 1];
    if (iot_httpc_get_api_url(apiUrl, sizeof(apiUrl)) == UNI_OK) {
        StoreCaFor(HostOf(apiUrl));
    }
    if (gw_active_load() == UNI_OK) {
        StartLink();
        return UNI_OK;
    }
    std::thread(ActivationThread).detach();
    return UNI_OK;
}
