#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_base/sys_serv/sys_timer.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_wifi.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
// The status change is told through the work queue.
#include "noxa_base/sys_serv/nq_work_queue.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

GW_CNTL_S s_gw;
// Writers of the control block's texts; readers copy them once they are set.
std::mutex s_gwMutex;

// The poll's timer and the status it last reported. Only the "sys_timer" thread runs the poll.
std::mutex s_pollMutex;
TIMER_ID s_pollTimer = 0;
std::atomic<uint8_t> s_lastNwStat{STAT_NO_CLOUD};

// NULL counts as "". False when the text does not fit (the field is then left as it was).
template <size_t N>
bool __copy_text(char (&dst)[N], const char* src)
{
    if (src == nullptr) {
        src = "";
    }
    size_t len = strnlen(src, N);
    if (len >= N) {
        return false;
    }
    memcpy(dst, src, len + 1);
    return true;
}

template <size_t N>
bool __fits(const char* src)
{
    return src == nullptr || strnlen(src, N) < N;
}

void __poll_timer_cb(TIMER_ID, void*)
{
    gw_nw_stat_poll();
}

std::mutex s_passMutex;

void __poll_work(void*)
{
    gw_nw_stat_poll();
}

}  // namespace

GW_CNTL_S* get_gw_cntl(void)
{
    return &s_gw;
}

int noxa_iot_set_gw_prod_info(const GW_PROD_INFO_S* prod)
{
    if (prod == nullptr || prod->uuid == nullptr || prod->auth_key == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    GW_BASE_IF_S next = {};
    if (!__copy_text(next.uuid, prod->uuid) || !__copy_text(next.auth_key, prod->auth_key) ||
        !__copy_text(next.ap_ssid, prod->ap_ssid) || !__copy_text(next.ap_passwd, prod->ap_passwd)) {
        PR_ERR("prod info too long");
        return UNI_INVALID_PARM;
    }
    std::unique_lock<std::mutex> lock(s_gwMutex);
    GW_BASE_IF_S& cur = s_gw.gw_base;
    // The identity in the store, when there is one, is what the new one is compared with: the
    // same identity at every start keeps the stored Wi-Fi state.
    GW_BASE_IF_S stored = cur;
    bool inStore = wd_gw_base_if_read(&stored) == UNI_OK;
    if (strcmp(stored.uuid, next.uuid) == 0 && strcmp(stored.auth_key, next.auth_key) == 0 &&
        strcmp(stored.ap_ssid, next.ap_ssid) == 0 && strcmp(stored.ap_passwd, next.ap_passwd) == 0) {
        if (inStore) {
            cur = stored;
        }
        return UNI_OK;
    }
    PR_NOTICE("gw prod info changed, uuid:%s", next.uuid);
    lock.unlock();
    // What belongs to the identity before goes first, the new identity is stored last: a power
    // cut in between leaves the old identity in the store, so the next start sees the change
    // again and clears again. Stored first, the new identity would start with the old state.
    // The activation: with another device's id and key the unit would go online as that device;
    // it starts unactivated instead. gw_active_clear takes the gateway's lock itself.
    PR_NOTICE("the activation of the identity before is dropped");
    bool cleared = gw_active_clear() == UNI_OK;
    // Its media key: pictures under it are for the old device's phones, not the new one's.
    auto gone = [](int ret) { return ret == UNI_OK || ret == KVS_ERR_NOT_FOUND; };
    cleared = gone(kvs_delete(CLOUD_ENC_KEY_NAME)) && cleared;
    lock.lock();
    // The Wi-Fi state bound to the old identity, and its sub-devices; the start parameters stay.
    GW_WORK_STAT_MAG_S wsm = {};
    wsm.nc_tp = s_gw.gw_wsm.nc_tp;
    wsm.md = s_gw.gw_wsm.md;
    s_gw.gw_wsm = wsm;
    cleared = gone(wd_gw_wsm_write(&wsm)) && cleared;
    cleared = gone(wd_dev_if_delete_all()) && cleared;
    memcpy(cur.uuid, next.uuid, sizeof(cur.uuid));
    memcpy(cur.auth_key, next.auth_key, sizeof(cur.auth_key));
    memcpy(cur.ap_ssid, next.ap_ssid, sizeof(cur.ap_ssid));
    memcpy(cur.ap_passwd, next.ap_passwd, sizeof(cur.ap_passwd));
    // The new identity serves this run either way; while some of the old state may still be
    // stored, it is not stored itself, so the next start clears again.
    if (!cleared) {
        PR_ERR("the state of the identity before not cleared: new identity not stored");
        return UNI_OK;
    }
    wd_gw_base_if_write(&cur);
    return UNI_OK;
}

int noxa_iot_wf_soc_dev_init(uint32_t cfg, GW_WF_START_MODE_E mode, const NOXA_IOT_CBS_S* cbs,
                             const char* fw_key, const char* sw_ver)
{
    if (cbs == nullptr || fw_key == nullptr || sw_ver == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    if (static_cast<uint32_t>(mode) > WF_START_SMART_FIRST_2 || cfg > 0xFF ||
        !__fits<sizeof(s_gw.product_key)>(fw_key) || !__fits<sizeof(s_gw.sw_ver)>(sw_ver)) {
        PR_ERR("invalid param cfg:%u mode:%d", cfg, mode);
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_gwMutex);
    if (s_gw.started.load()) {
        PR_ERR("gw already started");
        return UNI_COM_ERROR;
    }
    __copy_text(s_gw.product_key, fw_key);
    __copy_text(s_gw.sw_ver, sw_ver);
    s_gw.gw_wsm.nc_tp = static_cast<uint8_t>(cfg);
    s_gw.gw_wsm.md = static_cast<uint8_t>(mode);
    s_gw.cbs = *cbs;
    s_gw.started.store(true);
    PR_NOTICE("gw start cfg:%u mode:%d pk:%s sw:%s", cfg, mode, s_gw.product_key, s_gw.sw_ver);
    return UNI_OK;
}

void gw_get_active_ids(char devId[GW_ID_LEN + 1], char localKey[GW_LOCAL_KEY_LEN + 1])
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    if (devId != nullptr) {
        memcpy(devId, s_gw.devId, GW_ID_LEN + 1);
    }
    if (localKey != nullptr) {
        memcpy(localKey, s_gw.localKey, GW_LOCAL_KEY_LEN + 1);
    }
}

void gw_get_dev_id(char devId[GW_ID_LEN + 1])
{
    gw_get_active_ids(devId, nullptr);
}

void gw_set_active_ids(const char* devId, const char* localKey)
{
    char id[GW_ID_LEN + 1] = {};
    char key[GW_LOCAL_KEY_LEN + 1] = {};
    if (devId != nullptr) {
        memcpy(id, devId, strnlen(devId, GW_ID_LEN));
    }
    if (localKey != nullptr) {
        memcpy(key, localKey, strnlen(localKey, GW_LOCAL_KEY_LEN));
    }
    std::lock_guard<std::mutex> lock(s_gwMutex);
    memcpy(s_gw.devId, id, sizeof(id));
    memcpy(s_gw.localKey, key, sizeof(key));
}

const char* noxa_iot_get_dev_id(void)
{
    thread_local char copy[GW_ID_LEN + 1];
    gw_get_dev_id(copy);
    return copy;
}

uint8_t noxa_iot_get_active_stat(void)
{
    return s_gw.active_stat.load();
}

int get_wf_gw_nw_status(uint8_t* stat)
{
    if (stat == nullptr) {
        return UNI_INVALID_PARM;
    }
    *stat = s_gw.nw_stat.load();
    return UNI_OK;
}

int set_gw_ext_stat(uint8_t stat)
{
    s_gw.ext_stat.store(stat);
    return UNI_OK;
}

int noxa_iot_reg_get_wf_nw_stat_cb_params(GET_NW_STAT_CB cb, uint32_t interval_s)
{
    // Interval 0 would rerun the poll on every 10 ms pass of the timer thread.
    if (cb == nullptr || interval_s == 0 || interval_s > UINT32_MAX / 1000) {
        PR_ERR("invalid param");
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_pollMutex);
    if (s_pollTimer == 0) {
        int ret = sys_add_timer(__poll_timer_cb, nullptr, &s_pollTimer);
        if (ret != UNI_OK) {
            PR_ERR("add nw stat timer fails %d", ret);
            return ret;
        }
    }
    // Only changes from now on are news to the caller.
    s_lastNwStat.store(s_gw.nw_stat.load());
    s_gw.nw_stat_cb.store(cb);
    s_gw.nw_stat_interval_s.store(interval_s);
    int ret = sys_start_timer(s_pollTimer, interval_s * 1000, TIMER_CYCLE);
    if (ret != UNI_OK) {
        PR_ERR("start nw stat timer fails %d", ret);
    }
    return ret;
}

void gw_nw_stat_poll(void)
{
    // The timer and the work queue both run passes: one at a time, so that the callback sees the
    // changes in the order they happened.
    std::lock_guard<std::mutex> pass(s_passMutex);
    uint8_t stat = s_gw.nw_stat.load();
    if (stat == s_lastNwStat.exchange(stat)) {
        return;
    }
    PR_DEBUG("nw stat changed to %u", stat);
    GET_NW_STAT_CB cb = s_gw.nw_stat_cb.load();
    if (cb != nullptr) {
        cb(stat);
    }
}

namespace {

std::atomic<bool> s_timeSyncAsked{false};
std::atomic<bool> s_timeAnswered{false};
// The retry: its timer and the failures so far (one try runs at a time: the timer is armed only
// by a try that failed).
std::mutex s_timeMutex;
TIMER_ID s_timeTimer = 0;
uint32_t s_timeFailures = 0;

void __cloud_time_work(void*)
{
    gw_time_sync_step();
}

// On "sys_timer": the call itself goes to the work queue.
void __time_timer_cb(TIMER_ID, void*)
{
    if (nq_work_queue_add(__cloud_time_work, nullptr) != UNI_OK) {
        PR_ERR("cloud time try not queued");
    }
}

}  // namespace

uint32_t gw_time_retry_ms(uint32_t failures)
{
    uint64_t wait = GW_TIME_RETRY_FIRST_MS;
    for (uint32_t i = 1; i < failures && wait < GW_TIME_RETRY_MAX_MS; ++i) {
        wait *= 2;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(wait, GW_TIME_RETRY_MAX_MS));
}

int gw_time_sync_step(void)
{
    {
        // Set meanwhile by another caller of time.get: nothing more to try.
        std::lock_guard<std::mutex> lock(s_timeMutex);
        if (s_timeFailures != 0 && uni_time_check_sync() == UNI_OK) {
            return UNI_OK;
        }
    }
    int ret = http_gw_timer_cnt(0, nullptr);
    if (!s_timeAnswered.exchange(true)) {
        PR_NOTICE("cloud time sync on first link up: %d", ret);
    }
    if (ret == UNI_OK) {
        // Once per run and worth seeing whatever the log level: the clock the unit stamps with.
        uni_log_print_raw("cloud time synced: %u\r\n", uni_time_get_posix());
        return UNI_OK;
    }
    std::lock_guard<std::mutex> lock(s_timeMutex);
    uint32_t wait = gw_time_retry_ms(++s_timeFailures);
    // Without the cloud's clock every time stamp of the unit is wrong: try until it comes.
    PR_ERR("cloud time not synced %d, next try in %u s", ret, wait / 1000);
    if (s_timeTimer == 0 && sys_add_timer(__time_timer_cb, nullptr, &s_timeTimer) != UNI_OK) {
        s_timeTimer = 0;
        PR_ERR("cloud time retry timer not added");
        return ret;
    }
    sys_start_timer(s_timeTimer, wait, TIMER_ONCE);
    return ret;
}

int gw_time_answered(void)
{
    return s_timeAnswered.load() ? 1 : 0;
}

void gw_set_nw_stat(uint8_t stat)
{
    // The unit takes the cloud's clock when the link first comes up (on the work queue: the
    // caller may hold the MQTT client's locks); a failed try arms the next one.
    if (stat == STAT_CLOUD_CONN && !s_timeSyncAsked.exchange(true)) {
        nq_work_queue_add(__cloud_time_work, nullptr);
    }
    // The link tells a change at once (a pass on the work queue) rather than at the next poll;
    // the caller may hold the MQTT client's locks, so the callback never runs here.
    if (s_gw.nw_stat.exchange(stat) != stat && s_gw.nw_stat_cb.load() != nullptr) {
        nq_work_queue_add(__poll_work, nullptr);
    }
}

int gw_wifi_user_cfg(const char* ssid, const char* passwd, const char* token)
{
    if (ssid == nullptr || ssid[0] == '\0') {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    if (token == nullptr) {
        token = "";
    }
    GW_WORK_STAT_MAG_S next = {};
    size_t tokenLen = strlen(token);
    if (!__copy_text(next.ssid, ssid) || !__copy_text(next.passwd, passwd) ||
        tokenLen > GW_REGION_LEN + GW_TOKEN_LEN + GW_REG_KEY_LEN) {
        PR_ERR("wifi user cfg too long");
        return UNI_INVALID_PARM;
    }
    size_t off = 0;
    auto take = [&](char* dst, size_t n) {
        size_t len = std::min(n, tokenLen - off);
        memcpy(dst, token + off, len);
        off += len;
    };
    take(next.region, GW_REGION_LEN);
    take(next.token, GW_TOKEN_LEN);
    take(next.reg_key, GW_REG_KEY_LEN);
    {
        std::lock_guard<std::mutex> lock(s_gwMutex);
        GW_WORK_STAT_MAG_S& wsm = s_gw.gw_wsm;
        memcpy(wsm.ssid, next.ssid, sizeof(wsm.ssid));
        memcpy(wsm.passwd, next.passwd, sizeof(wsm.passwd));
        memcpy(wsm.token, next.token, sizeof(wsm.token));
        memcpy(wsm.region, next.region, sizeof(wsm.region));
        memcpy(wsm.reg_key, next.reg_key, sizeof(wsm.reg_key));
    }
    PR_NOTICE("wifi user cfg ssid:%s region:%s token:%s", next.ssid, next.region, uni_mask_secret(next.token).text);
    // The token is bound whatever the join gives: a wired unit activates with it all the same.
    gw_wifi_join(next.ssid, next.passwd);
    return UNI_OK;
}

int noxa_iot_gw_wf_user_cfg(const char* ssid, const char* passwd, const char* token)
{
    return gw_wifi_user_cfg(ssid, passwd, token);
}

int gw_call_status_changed(uint8_t status)
{
    return gw_call_slot(s_gw.cbs.gw_status_cb, status);
}

int gw_call_ug_inform(const NOXA_FW_INFO_S* fw)
{
    return gw_call_slot(s_gw.cbs.gw_ug_cb, fw);
}

int gw_call_reset(GW_RESET_TYPE_E type)
{
    return gw_call_slot(s_gw.cbs.gw_reset_cb, type);
}

int gw_call_dev_ug_inform(const char* dev_id, const NOXA_FW_INFO_S* fw)
{
    return gw_call_slot(s_gw.cbs.dev_ug_cb, dev_id, fw);
}

void gw_get_token(char token[GW_TOKEN_LEN + 1])
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    memcpy(token, s_gw.gw_wsm.token, GW_TOKEN_LEN);
    token[GW_TOKEN_LEN] = '\0';
}

void gw_clear_token(void)
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    memset(s_gw.gw_wsm.token, 0, sizeof(s_gw.gw_wsm.token));
}

void gw_get_local_key(char key[GW_LOCAL_KEY_LEN + 1])
{
    gw_get_active_ids(nullptr, key);
}

void gw_set_local_key(const char* key)
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    memset(s_gw.localKey, 0, sizeof(s_gw.localKey));
    if (key != nullptr) {
        memcpy(s_gw.localKey, key, strnlen(key, GW_LOCAL_KEY_LEN));
    }
}

void gw_drop_token(const char* token)
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    if (token != nullptr && strncmp(s_gw.gw_wsm.token, token, sizeof(s_gw.gw_wsm.token)) == 0) {
        memset(s_gw.gw_wsm.token, 0, sizeof(s_gw.gw_wsm.token));
    }
}

void gw_get_network(char ssid[WIFI_SSID_LEN + 1], char passwd[WIFI_PASSWD_LEN + 1])
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    memcpy(ssid, s_gw.gw_wsm.ssid, WIFI_SSID_LEN);
    ssid[WIFI_SSID_LEN] = '\0';
    memcpy(passwd, s_gw.gw_wsm.passwd, WIFI_PASSWD_LEN);
    passwd[WIFI_PASSWD_LEN] = '\0';
}

void gw_get_region(char region[GW_REGION_LEN + 1])
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    memcpy(region, s_gw.gw_wsm.region, GW_REGION_LEN);
    region[GW_REGION_LEN] = '\0';
}

void gw_set_network(const char* ssid, const char* passwd)
{
    std::lock_guard<std::mutex> lock(s_gwMutex);
    __copy_text(s_gw.gw_wsm.ssid, ssid);
    __copy_text(s_gw.gw_wsm.passwd, passwd);
}
