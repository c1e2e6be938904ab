// The service API's thin entry points: reports, notifications, time, device and Wi-Fi calls.
#include "noxa_ipc_sdk/noxa_ipc_api.h"

#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/gw_upgrade.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/thing_config.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_iot_sdk/online_log/log_seq.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "platform/board_path.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

extern LOG_SEQ_HANDLE noxa_ipc_notify_log_seq;

#define IPC_LOG(level, fmt, ...) \
    uni_log_print("noxa_ipc_api", level, __FILE__, __LINE__, __func__, fmt, ##__VA_ARGS__)
#define IPC_ERR(fmt, ...) IPC_LOG(LOG_LEVEL_ERR, fmt, ##__VA_ARGS__)
#define IPC_INFO(fmt, ...) IPC_LOG(LOG_LEVEL_INFO, fmt, ##__VA_ARGS__)

namespace {

int UpgradeGw(const NOXA_FW_INFO_S* fw, void* data_cb, void* finish_cb, void* priv)
{
    return noxa_iot_upgrade_gw(fw, reinterpret_cast<GET_FILE_DATA_CB>(data_cb),
                               reinterpret_cast<UPGRADE_NOTIFY_CB>(finish_cb), priv, 0, 0);
}

int ServiceTimeSync()
{
    cJSON* reply = nullptr;
    int rc = http_gw_timer_cnt(0, &reply);
    cJSON_Delete(reply);
    return rc;
}

}  // namespace

NOXA_IPC_API_OPS_S gNoxaIpcOps = {
    dev_report_dp_json_async,
    noxa_iot_stat_dp_report_sync,
    noxa_iot_raw_dp_report_sync,
    noxa_iot_dev_upgd_progress_rept,
    mqc_door_bell_press_generic,
    mqc_door_bell_answer,
    mqc_prot_data_rept_seq,
    gw_wifi_user_cfg,
    notification_motion_send,
    notification_doorbell_send,
    notification_generic_send,
    UpgradeGw,
    ServiceTimeSync,
    nullptr,
};

namespace {

constexpr uint32_t kProgressWindowMs = 2000;
constexpr uint32_t kTooFastEvery = 5;
constexpr uint32_t kNotifyTimeoutS = 5;
constexpr int kNotifyNames = 23;

// Tags of the notification log sequence's entries.
enum : uint8_t { kSeqSnap = 1, kSeqType, kSeqName, kSeqMalloc, kSeqUpload, kSeqMsg, kSeqTooFast, kSeqMq };

std::mutex s_notifyLock;
// Times on the monotonic clock: the first cloud clock set neither frees nor holds back a report.
std::atomic<uint64_t> s_lastMotionMs{0};
std::atomic<bool> s_motionSeen{false};
std::atomic<uint32_t> s_motionSuppressed{0};
std::atomic<uint64_t> s_lastGenericMs{0};
std::atomic<bool> s_genericSeen{false};
std::atomic<uint32_t> s_genericSuppressed{0};
std::atomic<int> s_qrConnected{0};
std::mutex s_progressLock;
uint64_t s_progressMs = 0;
int s_progressValue = -1;


void SeqErrorInt(uint8_t tag, int32_t value)
{
    if (noxa_ipc_notify_log_seq == nullptr) {
        return;
    }
    LOG_SEQ_ENTRY_S e = log_seq_int(tag, value);
    insert_error_log_seq(noxa_ipc_notify_log_seq, &e);
    clear_log_seq(noxa_ipc_notify_log_seq);
}

template <typename Fn, typename... Args>
int Op(Fn fn, const char* what, Args... args)
{
    if (fn == nullptr) {
        IPC_ERR("wiring fault: link gNoxaIpcOps.%s is empty", what);
        return -1;
    }
    return fn(args...);
}

// One record from (id, type, value): -1 for no value or a type it cannot take.
int BuildRecord(uint8_t dp_id, uint8_t type, const void* value, OBJ_DP_S* dp)
{
    if (value == nullptr) {
        IPC_ERR("input error");
        return -1;
    }
    memset(dp, 0, sizeof(*dp));
    dp->dpid = dp_id;
    dp->type = type;
    switch (type) {
    case PROP_ENUM:
        dp->value.dp_enum = static_cast<uint32_t>(atoi(static_cast<const char*>(value)));
        break;
    case PROP_STR:
        dp->value.dp_str = const_cast<char*>(static_cast<const char*>(value));
        break;
    case PROP_BOOL:
    case PROP_VALUE:
    case PROP_BITMAP:
        memcpy(&dp->value.dp_value, value, sizeof(int32_t));
        break;
    default:
        IPC_ERR("type[%d] not support", type);
        return -1;
    }
    return 0;
}

// The one record of a report. Only one is built: any other count would make the cloud side
// read past it.
int OneRecord(uint8_t dp_id, uint8_t type, const void* value, uint32_t cnt, OBJ_DP_S* dp)
{
    int ret = BuildRecord(dp_id, type, value, dp);
    if (ret != 0) {
        return ret;
    }
    if (cnt != 1) {
        IPC_ERR("count %u not supported", cnt);
        return -2;
    }
    return 0;
}

// true when the spacing holds the notification back; every fifth holds records "too_fast".
bool TooSoon(std::atomic<uint64_t>& last, std::atomic<bool>& seen, std::atomic<uint32_t>& suppressed)
{
    const uint64_t now = uni_get_tick_ms();
    if (!seen || now - last >= kNotifySpacingMs) {
        return false;
    }
    if (++suppressed >= kTooFastEvery) {
        suppressed = 0;
        notify_seq_error(kSeqTooFast, "too_fast");
    }
    return true;
}

const char* TypeText(int type)
{
    return type == 1 ? "jpeg" : type == 2 ? "png" : nullptr;
}

int ProgressType()
{
    return 0;  // cloud module type of channel 0: the main firmware
}

}  // namespace

void noxa_ipc_api_reset_state(void)
{
    s_lastMotionMs = 0;
    s_motionSeen = false;
    s_motionSuppressed = 0;
    s_lastGenericMs = 0;
    s_genericSeen = false;
    s_genericSuppressed = 0;
    s_qrConnected = 0;
    std::lock_guard<std::mutex> lock(s_progressLock);
    s_progressMs = 0;
    s_progressValue = -1;
}

int noxa_ipc_dp_report(const char* dev_id, uint8_t dp_id, uint8_t type, const void* value, uint32_t cnt)
{
    OBJ_DP_S dp;
    int ret = OneRecord(dp_id, type, value, cnt, &dp);
    if (ret != 0) {
        return ret;
    }
    return gNoxaIpcOps.dp_report_async(dev_id, &dp, cnt, 1);
}

int noxa_ipc_dp_report_async(const char* dev_id, uint8_t dp_id, uint8_t type, const void* value, uint32_t cnt)
{
    OBJ_DP_S dp;
    int ret = OneRecord(dp_id, type, value, cnt, &dp);
    if (ret != 0) {
        return ret;
    }
    return gNoxaIpcOps.dp_report_async(dev_id, &dp, cnt, 0);
}

int noxa_ipc_dp_report_sync(const char* dev_id, uint8_t dp_id, uint8_t type, const void* value, uint32_t cnt,
                            uint32_t timeout_s)
{
    OBJ_DP_S dp;
    int ret = OneRecord(dp_id, type, value, cnt, &dp);
    if (ret != 0) {
        return ret;
    }
    return gNoxaIpcOps.dp_report_sync(dev_id, &dp, cnt, timeout_s, 1);
}

int noxa_ipc_raw_dp_report_sync(const char* dev_id, uint8_t dp_id, const uint8_t* data, uint32_t len,
                                uint32_t timeout_s)
{
    return gNoxaIpcOps.raw_dp_report_sync(dev_id, dp_id, data, len, timeout_s, 1);
}

int noxa_ipc_notify_motion_detect(const char* data, uint32_t size, int type)
{
    if (data == nullptr) {
        IPC_ERR("invalid input");
        notify_seq_error(kSeqSnap, "snap_null");
        return -2;
    }
    if (size > kNotifyMaxBytes) {
        IPC_ERR("notification content len is too big, 150KB max");
        notify_seq_error(kSeqSnap, "snap_large");
        return -2;
    }
    const char* text = TypeText(type);
    if (text == nullptr) {
        SeqErrorInt(kSeqType, type);
        return -2;
    }
    IPC_INFO("size:%d type: %d", size, type);
    if (TooSoon(s_lastMotionMs, s_motionSeen, s_motionSuppressed)) {
        IPC_INFO("notify EVENT_ADD_SPACE_TIME hasn't reach,should return\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(s_notifyLock);
    int ret = Op(gNoxaIpcOps.motion_notify, "motion_notify", data, size, text);
    if (ret != 0) {
        ret = Op(gNoxaIpcOps.motion_notify, "motion_notify", data, size, text);
        if (ret != 0) {
            notify_seq_error(kSeqUpload, "upload_err");
        }
    }
    s_lastMotionMs = uni_get_tick_ms();
    s_motionSeen = true;
    return ret;
}

int noxa_ipc_notify_door_bell_press_generic(int mode, uint8_t* data, uint32_t size, int type)
{
    if (mode < 0 || mode > 1) {
        IPC_ERR("invalid input");
        notify_seq_error(kSeqSnap, "doorbell_err");
        return -2;
    }
    if (mode == 0 && (data == nullptr || size == 0)) {
        IPC_ERR("invalid input");
        notify_seq_error(kSeqSnap, "snap_err");
        return -2;
    }
    const char* text = TypeText(type);
    if (mode == 0 && text == nullptr) {
        IPC_ERR("unsupported notify data type %d", type);
        notify_seq_error(kSeqType, "type_err");
        return -2;
    }
    const char* etype = mode == 0 ? "doorbell" : "ac_doorbell";
    IPC_INFO("size:%d type %d", size, type);
    // The event names the picture it goes with: the upload below takes the same name.
    const TIME_T now = uni_time_get_posix();
    const uint32_t nameTime = mode == 0 ? notification_name_time(now) : now;
    char file[32] = "";
    if (mode == 0) {
        snprintf(file, sizeof(file), "%u.%s", static_cast<unsigned>(nameTime), text);
    }
    int ret = gNoxaIpcOps.door_bell_press(etype, now, file);
    if (ret != 0) {
        // Offline or refused: the phone heard nothing of this press, and no picture follows.
        IPC_ERR("doorbell press event not sent: %d", ret);
        notify_seq_error(kSeqMq, "mq43_err");
        return ret;
    }
    IPC_INFO("send mq done");
    if (mode == 1) {
        return 0;
    }
    // Uploads (at most three) and the message: their failures are recorded where they happen.
    std::lock_guard<std::mutex> lock(s_notifyLock);
    ret = Op(gNoxaIpcOps.doorbell_notify, "doorbell_notify", static_cast<const uint8_t*>(data), size, text,
             nameTime);
    if (ret != 0) {
        return ret;
    }
    IPC_INFO("send dp done");
    return 0;
}

int noxa_ipc_notify_with_event(const char* data, uint32_t size, int type, uint32_t name)
{
    if (data == nullptr || size == 0) {
        IPC_ERR("param error, buffer error");
        notify_seq_error(kSeqSnap, "snap_err");
        return -2;
    }
    if (type < 0 || type > 3) {
        IPC_ERR("param error, type error");
        notify_seq_error(kSeqType, "type_err");
        return -2;
    }
    if (name >= kNotifyNames) {
        IPC_ERR("param error, name error");
        notify_seq_error(kSeqName, "name_err");
        return -2;
    }
    // On the stack: nothing to free, whatever the generic call answers.
    NOXA_NOTIFICATION_S n = {};
    n.file_count = 1;
    n.name = name;
    snprintf(n.kind, sizeof(n.kind), "image");
    snprintf(n.resource, sizeof(n.resource), "resources");
    n.files[0].data = data;
    n.files[0].size = size;
    n.files[0].type = static_cast<uint32_t>(type);
    return noxa_ipc_notify_generic(&n);
}

int noxa_ipc_notify_generic(const NOXA_NOTIFICATION_S* notify)
{
    if (notify == nullptr) {
        IPC_ERR("param is null");
        notify_seq_error(kSeqSnap, "notify_null");
        return -1;
    }
    if (notify->name == 0 && TooSoon(s_lastGenericMs, s_genericSeen, s_genericSuppressed)) {
        IPC_INFO("EVENT_ADD_SPACE_TIME hasn't reaching");
        return -1;
    }
    if (notify->file_count > NOXA_NOTIFY_MAX_FILES) {
        IPC_ERR("file count %u above %u", notify->file_count, NOXA_NOTIFY_MAX_FILES);
        notify_seq_error(kSeqType, "type_err");
        return -2;
    }
    for (uint32_t i = 0; i < notify->file_count; ++i) {
        if (notify->files[i].type > 3) {
            IPC_ERR("type is invalid.%d", notify->files[i].type);
            notify_seq_error(kSeqType, "type_err");
            return -2;
        }
    }
    int ret;
    {
        // Uploads and the message record their own failures.
        std::lock_guard<std::mutex> lock(s_notifyLock);
        ret = Op(gNoxaIpcOps.generic_notify, "generic_notify", notify);
    }
    if (notify->name == 0) {
        s_lastGenericMs = uni_get_tick_ms();
        s_genericSeen = true;
    }
    return ret;
}

int noxa_ipc_leave_video_msg(const uint8_t* pic, uint32_t size)
{
    return Op(gNoxaIpcOps.leave_video_msg, "leave_video_msg", pic, size);
}

namespace {

int DoorbellAnswer(const char* event)
{
    const char* id = noxa_iot_get_dev_id();
    char dev[26] = {};
    snprintf(dev, sizeof(dev), "%s", id != nullptr ? id : "");
    char json[128];
    snprintf(json, sizeof(json), "{\"type\":\"ac_doorbell\",\"data\":{\"event\":\"%s\",\"devId\":\"%s\"}}", event, dev);
    return gNoxaIpcOps.door_bell_answer(json);
}

}  // namespace

int noxa_ipc_door_bell_cancel(void)
{
    return DoorbellAnswer("cancel");
}

int noxa_ipc_door_bell_stop(void)
{
    return DoorbellAnswer("stop");
}

int noxa_ipc_get_service_time(TIME_T* utc, int32_t* zone)
{
    if (utc == nullptr || zone == nullptr) {
        IPC_ERR("invalid param");
        return -2;
    }
    if (uni_time_check_sync() != 0) {
        return -1;
    }
    *utc = uni_time_get_posix();
    uni_get_time_zone(zone);
    IPC_INFO("ipc get service time %u %u \n", *utc, static_cast<uint32_t>(*zone));
    return 0;
}

int noxa_ipc_get_service_time_force(TIME_T* utc, int32_t* zone)
{
    int ret = noxa_ipc_get_service_time(utc, zone);
    if (ret == -1) {
        IPC_INFO("no service time now, force sync");
        if (Op(gNoxaIpcOps.service_time_sync, "service_time_sync") == 0) {
            ret = noxa_ipc_get_service_time(utc, zone);
        }
    }
    if (ret == 0) {
        IPC_INFO("got service time %d %d", *utc, *zone);
    }
    return ret;
}

int noxa_ipc_get_utc_time(TIME_T* t)
{
    if (t == nullptr) {
        IPC_ERR("invalid param");
        return -2;
    }
    *t = uni_time_get_posix();
    return 0;
}

int noxa_ipc_get_utc_tm(POSIX_TM_S* tm)
{
    if (tm == nullptr) {
        return -2;
    }
    return uni_get_utc_tm(tm) == 0 ? 0 : -1;
}

int noxa_ipc_get_local_time(TIME_T t, POSIX_TM_S* tm)
{
    if (tm == nullptr) {
        IPC_ERR("invalid param");
        return -2;
    }
    return uni_local_time_get(t, tm);
}

int noxa_ipc_check_in_dls(TIME_T t, int* in_dls)
{
    if (in_dls == nullptr) {
        IPC_ERR("invalid param");
        return -2;
    }
    *in_dls = uni_is_in_sum_zone(t) ? 1 : 0;
    return 0;
}

int noxa_ipc_get_local_time_dls(POSIX_TM_S* tm)
{
    if (tm == nullptr) {
        return -2;
    }
    return uni_get_dst_tm(tm);
}

int noxa_ipc_get_device_id(char* buf, int* len)
{
    if (buf == nullptr || len == nullptr) {
        IPC_ERR("buf or len is null");
        return -2;
    }
    const char* id = noxa_iot_get_dev_id();
    const size_t n = id != nullptr ? strlen(id) : 0;
    if (*len < 0 || n > static_cast<size_t>(*len)) {
        IPC_ERR("buf not enough");
        return -2;
    }
    memcpy(buf, id, n);
    *len = static_cast<int>(n);
    return 0;
}

int noxa_ipc_upgrade_download_start(const NOXA_FW_INFO_S* fw, void* data_cb, void* finish_cb, void* priv)
{
    return Op(gNoxaIpcOps.upgrade_gw, "upgrade_gw", fw, data_cb, finish_cb, priv);
}

int noxa_ipc_upgrade_progress_report(uint32_t percent)
{
    if (percent > 100) {
        IPC_ERR("invalid percent %d.\n", percent);
        return -1;
    }
    const uint64_t now = uni_get_tick_ms();
    {
        std::lock_guard<std::mutex> lock(s_progressLock);
        const int p = static_cast<int>(percent);
        if (s_progressValue >= 0 && now - s_progressMs < kProgressWindowMs) {
            const int step = p - s_progressValue;
            if ((p <= 94 && step >= 0 && step <= 7) || (p >= 95 && p == s_progressValue)) {
                return 0;
            }
        }
        s_progressMs = now;
        s_progressValue = p;
    }
    IPC_INFO("mqtt report download percent:%d \n", percent);
    const int ret = gNoxaIpcOps.upgd_progress_rept(percent, nullptr, static_cast<uint32_t>(ProgressType()));
    if (ret != 0) {
        IPC_ERR("noxa_iot_dev_upgd_progress_rept err:%d", ret);
    }
    return 0;
}

int noxa_ipc_upgrade_progress_status(const char* dev_id, uint8_t module, int status)
{
    const uint32_t type = gw_fw_tp_to_cloud_tp(module);
    if (dev_id == nullptr) {
        IPC_INFO("send gw upgrade status to app [%d]", status);
        return http_gw_upgrd_stat_update(type, status);
    }
    IPC_INFO("send devId[%s] upgrade status to app [%d]", dev_id, status);
    return http_dev_upgrd_stat_update(dev_id, type, status);
}

int noxa_ipc_direct_connect(const char* text, int source)
{
    if (source != 0) {
        return -2;
    }
    // The QR text holds the pairing token and the Wi-Fi pass phrase: only its length and head.
    IPC_INFO("Rev:%s", uni_mask_secret(text != nullptr ? text : "").text);
    IPC_INFO("Source:%d", source);
    if (s_qrConnected != 0) {
        return 0;
    }
    cJSON* root = text != nullptr ? cJSON_Parse(text) : nullptr;
    if (root == nullptr) {
        IPC_ERR("%s", cJSON_GetErrorPtr() != nullptr ? cJSON_GetErrorPtr() : "no text");
        return -802;
    }
    const cJSON* s = cJSON_GetObjectItemCaseSensitive(root, "s");
    const cJSON* t = cJSON_GetObjectItemCaseSensitive(root, "t");
    const cJSON* p = cJSON_GetObjectItemCaseSensitive(root, "p");
    if (!cJSON_IsString(s) || !cJSON_IsString(t)) {
        IPC_ERR("data format error");
        cJSON_Delete(root);
        return -803;
    }
    const char* passwd = cJSON_IsString(p) && p->valuestring[0] != '\0' ? p->valuestring : nullptr;
    IPC_INFO("Parse ssid:%s token:%s", s->valuestring, uni_mask_secret(t->valuestring).text);
    if (passwd != nullptr) {
        IPC_INFO("Parse passwd:%s", uni_mask_secret(passwd).text);
    }
    const int ret = gNoxaIpcOps.wifi_user_cfg(s->valuestring, passwd, t->valuestring);
    cJSON_Delete(root);
    if (ret != 0) {
        return ret;
    }
    s_qrConnected = 1;
    return 0;
}

int noxa_ipc_qrcode_recon_init(void)
{
    s_qrConnected = 0;
    set_gw_ext_stat(1);
    IPC_INFO("wifi QRcode_connect flag clear:%d", 0);
    return 0;
}

int noxa_ipc_set_channel_time(uint32_t ms)
{
    // The provisioning sniffer's dwell per channel (wf_nw_wifi_switch_signal_channel_time_set);
    // this build has no such sniffer, so the value is only kept.
    if (ms < 100 || ms > 2000) {
        return -4;
    }
    wf_nw_wifi_switch_signal_channel_time_set(ms);
    return 0;
}

int noxa_ipc_get_mqtt_online(void)
{
    uint8_t st = 0;
    get_wf_gw_nw_status(&st);
    return st == 7 || st == 8 ? 1 : 0;
}

int noxa_ipc_book_wakeup_topic(void)
{
    return mqc_book_wakeup_topic();
}

int noxa_ipc_get_wakeup_data(uint8_t* buf, uint32_t* len)
{
    return mqc_get_wakeup_data(buf, len);
}

int noxa_ipc_get_mqtt_socket_fd(void)
{
    return mqc_get_mqtt_socket_fd();
}

int noxa_ipc_get_heartbeat_data(uint8_t* buf, uint32_t* len)
{
    if (buf == nullptr || len == nullptr) {
        IPC_ERR("input is null");
        return -2;
    }
    if (*len < 2) {
        IPC_ERR("the size of arr is too small  %u < 2", *len);
        return -2;
    }
    buf[0] = 0xF0;
    buf[1] = 0x00;
    *len = 2;
    return 0;
}

int noxa_ipc_mqtt_send(uint32_t protocol, const char* text)
{
    return gNoxaIpcOps.prot_data_rept(protocol, text);
}

int noxa_ipc_report_living_msg(int code)
{
    const char* id = noxa_iot_get_dev_id();
    char json[160];
    snprintf(json, sizeof(json), "{\"type\":\"echo_chrome_warn\",\"devId\":\"%s\",\"error_code\":%d}",
             id != nullptr ? id : "", code);
    const int ret = gNoxaIpcOps.prot_data_rept(305, json);
    if (ret != 0) {
        IPC_ERR("report fail, %d %s %d %s", ret, "living", code, json);
    }
    return 0;
}

int noxa_ipc_report_p2p_msg(void)
{
    const char* json = "{\"cmd\":\"startup_notify\"}";
    const int ret = gNoxaIpcOps.prot_data_rept(303, json);
    if (ret != 0) {
        IPC_ERR("report fail, %d  %s", ret, json);
    }
    IPC_INFO("report p2p buff %s", json);
    return ret;
}

int noxa_ipc_set_log_level(uint32_t level)
{
    return uni_log_set_level(level);
}

int noxa_ipc_log_setting(uint32_t level, FILE* stream, int ms_flag)
{
    IPC_INFO("---noxa_ipc_log_setting begin---");
    if (uni_log_set_level(level) != 0) {
        IPC_ERR("---noxa_iot_set_log_attr error---");
    }
    if (uni_log_set_usr_stream(stream) != 0) {
        IPC_ERR("---noxa_iot_set_log_file error---");
    }
    uni_log_set_ms_flag(static_cast<uint32_t>(ms_flag));
    IPC_INFO("---noxa_ipc_log_setting end---");
    return 0;
}

int noxa_ipc_parse_meminfo(FILE* f, uint32_t* kb)
{
    char line[128];
    unsigned long total = 0;
    unsigned long mfree = 0;
    unsigned long cached = 0;
    bool newStyle = false;
    while (fgets(line, sizeof(line), f) != nullptr) {
        unsigned long v[6];
        char unit[80];
        if (sscanf(line, "Mem: %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6) {
            // The old style counts bytes: total used free shared buffers cached.
            *kb = static_cast<uint32_t>((v[2] + v[5]) / 1024);
            return 0;
        }
        if (sscanf(line, "MemTotal: %lu %79s", &total, unit) >= 1) {
            newStyle = true;
            IPC_INFO("total is %lu", total);
        } else if (sscanf(line, "MemFree: %lu", &mfree) == 1) {
            IPC_INFO("mfree is %lu", mfree);
        } else if (sscanf(line, "Cached: %lu", &cached) == 1) {
            IPC_INFO("cached is %lu", cached);
        }
    }
    if (!newStyle) {
        return -1;
    }
    *kb = static_cast<uint32_t>(mfree + cached);
    return 0;
}

int noxa_ipc_get_free_mem(uint32_t* kb)
{
    if (kb == nullptr) {
        return -2;
    }
    FILE* f = BoardFopen("/proc/meminfo", "r");
    if (f == nullptr) {
        return -1;
    }
    const int ret = noxa_ipc_parse_meminfo(f, kb);
    fclose(f);
    return ret;
}

int noxa_ipc_get_activation_state(void)
{
    return noxa_iot_get_active_stat();
}

int noxa_ipc_thing_config_start(const char* ssid, const char* passwd, int with_token, uint32_t timeout_s)
{
    std::string token;
    if (with_token != 0) {
        cJSON* reply = nullptr;
        const int ret = http_get_dev_token_create(&reply);
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> owned(reply, cJSON_Delete);
        const cJSON* t = cJSON_GetObjectItemCaseSensitive(reply, "token");
        if (ret == IOT_API_ERR_KEY_MISSING || (ret == 0 && !cJSON_IsString(t))) {
            IPC_ERR("no token returned");
            return -802;
        }
        if (ret != 0) {
            IPC_ERR("fail to get token, ret %d", ret);
            return ret;
        }
        // The region the cloud names for the token, else the one the unit is bound in.
        const cJSON* r = cJSON_GetObjectItemCaseSensitive(reply, "region");
        char region[GW_REGION_LEN + 1];
        gw_get_region(region);
        token = (cJSON_IsString(r) ? std::string(r->valuestring).substr(0, GW_REGION_LEN) : std::string(region)) +
                t->valuestring;
    } else {
        char bound[GW_TOKEN_LEN + 1];
        gw_get_token(bound);
        token = bound;
    }
    char storedSsid[WIFI_SSID_LEN + 1] = "";
    char storedPasswd[WIFI_PASSWD_LEN + 1] = "";
    if (ssid == nullptr) {
        gw_get_network(storedSsid, storedPasswd);
        ssid = storedSsid;
        passwd = storedPasswd;
    }
    IPC_INFO("ready to broadcast with ssid %s passwd %s token %s", ssid, uni_mask_secret(passwd).text,
             uni_mask_secret(token.c_str()).text);
    return thing_config_start(ssid, passwd, token.c_str(), timeout_s);
}

namespace {

constexpr uint32_t kPaddingEntryBytes = 48;  // what each entry reserves at least
constexpr uint32_t kPaddingTextMax = 64 * 1024;
constexpr char kPaddingHead[] = "\"padding\":{";

// `text` as the inside of a JSON string: a quote or a control character in a value must not end
// the string or the object it sits in.
void AppendEscaped(std::string& out, const char* text)
{
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
}

}  // namespace

int noxa_ipc_build_padding(NOXA_IPC_TEXT_CTX_S* ctx, const NOXA_IPC_PADDING_LIST_S* list)
{
    if (ctx == nullptr || list == nullptr || (list->count != 0 && list->items == nullptr) ||
        (ctx->text == nullptr && (ctx->len != 0 || ctx->size != 0)) || (ctx->text != nullptr && ctx->len >= ctx->size)) {
        return -2;
    }
    std::string add = kPaddingHead;
    for (uint32_t i = 0; i < list->count; ++i) {
        const NOXA_IPC_PADDING_S& e = list->items[i];
        if (e.kind > 1) {
            continue;
        }
        if (e.key == nullptr || e.value == nullptr) {
            return -2;
        }
        add += '"';
        AppendEscaped(add, e.key);
        add += "\":\"";
        AppendEscaped(add, e.value);
        add += "\",";
    }
    // The closing brace takes the place of the last comma.
    if (add.back() == ',') {
        add.back() = '}';
    } else {
        add += '}';
    }
    const uint64_t need = static_cast<uint64_t>(ctx->len) + add.size() + 1;
    if (need > kPaddingTextMax) {
        return -2;
    }
    if (need > ctx->size) {
        const uint64_t reserve = static_cast<uint64_t>(ctx->len) + sizeof(kPaddingHead) + 1 +
                                 static_cast<uint64_t>(kPaddingEntryBytes) * list->count;
        const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(std::max(need, reserve), kPaddingTextMax));
        char* grown = static_cast<char*>(Malloc(size));
        if (grown == nullptr) {
            return -3;
        }
        if (ctx->text != nullptr) {
            memcpy(grown, ctx->text, ctx->len);
            Free(ctx->text);
        }
        ctx->text = grown;
        ctx->size = size;
    }
    memcpy(ctx->text + ctx->len, add.data(), add.size());
    ctx->len += static_cast<uint32_t>(add.size());
    ctx->text[ctx->len] = '\0';
    return 0;
}
