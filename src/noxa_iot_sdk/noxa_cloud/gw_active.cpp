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
#include <system_error>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> s_started{false};
// The activation thread runs (started once, again after a cloud reset).
std::atomic<bool> s_threadRuns{false};
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

// The kept summer-time table in force.
void ApplySummerTable(const char* text)
{
    JsonPtr rows(cJSON_Parse(text), cJSON_Delete);
    if (cJSON_IsArray(rows.get())) {
        gw_apply_summer_table(rows.get());
    }
}

// Fills the gateway from a record and goes to state 2.
void Enter(const GW_ACTV_IF_S& ai)
{
    GW_CNTL_S* gw = get_gw_cntl();
    gw_set_active_ids(ai.key, ai.lckey);
    // The zone goes through the clock's own check: a bad one keeps the zone in force.
    if (ai.time_z[0] != '\0' && uni_set_time_zone(ai.time_z) != UNI_OK) {
        PR_ERR("activation time zone \"%.16s\" refused", ai.time_z);
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

// Why the activation waits, logged when it changes (not at every try).
enum class Waiting { Nothing, Token, Failure };

void ActivationThread()
{
    uint32_t failures = 0;
    Waiting waiting = Waiting::Nothing;
    int lastFailure = UNI_OK;
    for (;;) {
        char token[GW_TOKEN_LEN + 1] = {};
        gw_get_token(token);
        if (token[0] == '\0') {
            // No token yet: the phone's pairing binds one through gw_wifi_user_cfg.
            if (waiting != Waiting::Token) {
                PR_NOTICE("activation waits for a pairing token");
                waiting = Waiting::Token;
            }
            failures = 0;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        int ret = gw_active_once();
        if (ret == UNI_OK) {
            // Done before the link starts: a reset that comes over it starts a new thread.
            s_threadRuns.store(false);
            StartLink();
            return;
        }
        if (ret == IOT_API_ERR_TOKEN) {
            // Used, unknown or expired: asking again with it can never succeed.
            PR_ERR("token %s refused by the cloud: forgotten, waiting for a new pairing", uni_mask_secret(token).text);
            gw_drop_token(token);
            waiting = Waiting::Nothing;
            continue;
        }
        uint32_t wait = gw_active_backoff_ms(++failures);
        if (waiting != Waiting::Failure || ret != lastFailure) {
            PR_ERR("activation fails %d, tried again every %u s at most", ret, GW_ACTV_BACKOFF_MAX_MS / 1000);
            waiting = Waiting::Failure;
            lastFailure = ret;
        }
        PR_DEBUG("activation fails %d, next try in %u ms", ret, wait);
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
}

void StartActivationThread()
{
    if (s_threadRuns.exchange(true)) {
        return;
    }
    try {
        std::thread(ActivationThread).detach();
    } catch (const std::system_error& e) {
        s_threadRuns.store(false);
        PR_ERR("activation thread not started: %s", e.what());
    }
}

}  // namespace

int gw_apply_summer_table(const cJSON* rows)
{
    if (!cJSON_IsArray(rows)) {
        return UNI_COM_ERROR;
    }
    std::vector<SUM_ZONE_S> zones;
    const cJSON* row = nullptr;
    cJSON_ArrayForEach(row, rows)
    {
        int64_t start = 0;
        int64_t end = 0;
        if (!cJSON_IsArray(row) || !dp_json_integer(cJSON_GetArrayItem(row, 0), &start) ||
            !dp_json_integer(cJSON_GetArrayItem(row, 1), &end) || start < 0 || end < start || end > UINT32_MAX) {
            PR_ERR("summer table row dropped");
            continue;
        }
        zones.push_back(SUM_ZONE_S{static_cast<TIME_T>(start), static_cast<TIME_T>(end)});
    }
    if (zones.empty() && cJSON_GetArraySize(rows) != 0) {
        // A table of nothing but bad rows is a bad answer, not "no summer time".
        PR_ERR("summer table without a usable row: the table in force is kept");
        return UNI_COM_ERROR;
    }
    uni_set_sum_zone_tbl(zones.empty() ? nullptr : zones.data(), static_cast<uint32_t>(zones.size()));
    return UNI_OK;
}

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
    const int ret = kvs_delete("gw_ai");
    wd_dev_schema_delete(GW_SCHEMA_KEY);
    dp_schema_clear();
    gw->active_stat.store(UN_ACTIVE);
    gw_set_active_ids(nullptr, nullptr);
    gw_clear_token();
    if (ret != UNI_OK && ret != KVS_ERR_NOT_FOUND) {
        PR_ERR("activation record not deleted: %d", ret);
        return UNI_COM_ERROR;
    }
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
    StartActivationThread();
    return UNI_OK;
}

void gw_active_restart(void)
{
    if (s_started.load()) {
        StartActivationThread();
    }
}
