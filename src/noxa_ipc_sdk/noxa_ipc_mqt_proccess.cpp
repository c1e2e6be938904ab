#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

// Set by their owners at their start, when the MQTT task may already be reading them.
std::atomic<NOXA_IPC_ECHO_SHOW_CB> s_echoShowCb{nullptr};
std::atomic<NOXA_IPC_CLOUD_STORAGE_ORDER_CB> s_cloudStorageOrderCb{nullptr};
std::atomic<NOXA_IPC_CLOUD_STORAGE_EVENT_CB> s_cloudStorageEventCb{nullptr};
std::atomic<NOXA_IPC_CHROMECAST_CB> s_chromecastCb{nullptr};
std::atomic<NOXA_IPC_DOORBELL_STATUS_CB> s_doorbellStatusCb{nullptr};
std::atomic<NOXA_IPC_RTC_MSG_CB> s_rtcMsgCb{nullptr};
std::atomic<NOXA_IPC_AI_DETECT_STORAGE_CB> s_aiDetectStorageCb{nullptr};
std::atomic<NOXA_IPC_AI_DATA_SYNC_CB> s_aiDataSyncCb{nullptr};
std::atomic<NOXA_IPC_WIFI_MIGRATE_CB> s_wifiMigrateCb{nullptr};
std::atomic<NOXA_IPC_MOTO_MSG_CB> s_motoMsgCb{nullptr};

constexpr int kErrNoCallback = -2005;

// An item of an object; a JSON null counts as missing.
const cJSON* ItemOf(const cJSON* obj, const char* key)
{
    const cJSON* item = cJSON_IsObject(obj) ? cJSON_GetObjectItemCaseSensitive(obj, key) : nullptr;
    return cJSON_IsNull(item) ? nullptr : item;
}

// A text item, or null when it is missing or of another type: a number or a null where a text
// belongs would give a null string that is compared or passed on.
const char* TextOf(const cJSON* obj, const char* key)
{
    const cJSON* item = ItemOf(obj, key);
    return cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : nullptr;
}

const cJSON* DataOf(const cJSON* root)
{
    const cJSON* data = ItemOf(root, "data");
    return cJSON_IsObject(data) ? data : nullptr;
}

struct JsonText {
    void operator()(char* p) const { cJSON_free(p); }
};
using TextPtr = std::unique_ptr<char, JsonText>;

// One callback call with its own copies of the values, run on the MQTT layer's ordered worker.
struct SlotJob {
    std::function<void()> call;
};

void RunSlotJob(void* data)
{
    std::unique_ptr<SlotJob> job(static_cast<SlotJob*>(data));
    job->call();
}

int PostSlotCall(const char* what, std::function<void()> call)
{
    auto* job = new SlotJob{std::move(call)};
    int ret = mqc_work_post(RunSlotJob, job);
    if (ret != UNI_OK) {
        PR_ERR("%s not queued %d", what, ret);
        delete job;
    }
    return ret;
}

int Register(uint32_t protocol, MQC_PROT_CB handler, bool core_text)
{
    int ret = mqc_app_register_cb(protocol, handler);
    if (ret != UNI_OK) {
        if (core_text) {
            PR_ERR("iot_mqc_app_register_cb err err:%d id:%u", ret, protocol);
        } else {
            PR_ERR("err: %d, id: %u", ret, protocol);
        }
    }
    return ret;
}

}  // namespace

void noxa_ipc_mqt_set_echo_show_cb(NOXA_IPC_ECHO_SHOW_CB cb)
{
    s_echoShowCb.store(cb);
}

void noxa_ipc_mqt_set_cloud_storage_order_cb(NOXA_IPC_CLOUD_STORAGE_ORDER_CB cb)
{
    s_cloudStorageOrderCb.store(cb);
}

void noxa_ipc_mqt_set_cloud_storage_event_cb(NOXA_IPC_CLOUD_STORAGE_EVENT_CB cb)
{
    s_cloudStorageEventCb.store(cb);
}

void noxa_ipc_mqt_set_chromecast_cb(NOXA_IPC_CHROMECAST_CB cb)
{
    s_chromecastCb.store(cb);
}

void noxa_ipc_mqt_set_doorbell_status_cb(NOXA_IPC_DOORBELL_STATUS_CB cb)
{
    s_doorbellStatusCb.store(cb);
}

void noxa_ipc_mqt_set_rtc_msg_cb(NOXA_IPC_RTC_MSG_CB cb)
{
    s_rtcMsgCb.store(cb);
}

void noxa_ipc_mqt_set_ai_detect_storage_cb(NOXA_IPC_AI_DETECT_STORAGE_CB cb)
{
    s_aiDetectStorageCb.store(cb);
}

void noxa_ipc_mqt_set_ai_data_sync_cb(NOXA_IPC_AI_DATA_SYNC_CB cb)
{
    s_aiDataSyncCb.store(cb);
}

void noxa_ipc_mqt_set_wifi_migrate_cb(NOXA_IPC_WIFI_MIGRATE_CB cb)
{
    s_wifiMigrateCb.store(cb);
}

void noxa_ipc_mqt_set_moto_msg_cb(NOXA_IPC_MOTO_MSG_CB cb)
{
    s_motoMsgCb.store(cb);
}

int noxa_ipc_register_extra_mqt_cb(void)
{
    Register(301, noxa_ipc_3rd_party_streaming_parse, true);
    Register(300, noxa_ipc_cloud_storage_order_request_parse, true);
    Register(307, noxa_ipc_cloud_storage_event_request_parse, true);
    Register(304, noxa_ipc_local_ai_data_sync_parse, true);
    Register(308, noxa_ipc_doorbell_status_parse, true);
    Register(302, noxa_ipc_rtc_msg_parse, false);
    Register(312, noxa_ipc_moto_msg_parse, false);
    PR_DEBUG("iot_register_extra_mqt_cb done");
    return UNI_OK;
}

int noxa_ipc_3rd_party_streaming_parse(cJSON* root)
{
    const cJSON* data = DataOf(root);
    const char* protocol = TextOf(data, "protocol");
    const char* url = TextOf(data, "url");
    if (protocol == nullptr || url == nullptr) {
        PR_ERR("3rd party streaming: no protocol or url");
        return UNI_INVALID_PARM;
    }
    if (strcmp(protocol, "EchoShow") == 0) {
        PR_DEBUG("===============rtsp url:%s\n", url);
        NOXA_IPC_ECHO_SHOW_CB cb = s_echoShowCb.load();
        if (cb == nullptr) {
            PR_WARN("echo show callback is not registered");
            return UNI_OK;
        }
        return PostSlotCall("echo show", [cb, u = std::string(url)] { cb(u.c_str()); });
    }
    if (strcmp(protocol, "ChromeCast") == 0) {
        PR_DEBUG("===============rtmp url:%s", url);
        NOXA_IPC_CHROMECAST_CB cb = s_chromecastCb.load();
        if (cb == nullptr) {
            PR_WARN("chromecast callback is not registered");
            return UNI_OK;
        }
        return PostSlotCall("chromecast", [cb, u = std::string(url)] { cb(u.c_str()); });
    }
    PR_ERR("3rd party streaming: unknown protocol %s", protocol);
    return UNI_INVALID_PARM;
}

int noxa_ipc_cloud_storage_order_request_parse(cJSON* root)
{
    const cJSON* data = DataOf(root);
    const char* action = TextOf(data, "action");
    if (action == nullptr) {
        PR_ERR("cloud storage req without action");
        return UNI_INVALID_PARM;
    }
    PR_DEBUG("get cloud storage req");
    PR_DEBUG("action:%s\n", action);
    bool order = strcmp(action, "abort") == 0 || strcmp(action, "store") == 0;
    bool ai = strcmp(action, "ai") == 0 || strcmp(action, "aiAbort") == 0;
    if (order) {
        std::string mode = "max";
        if (strcmp(action, "store") == 0) {
            if (const char* m = TextOf(data, "storeMode")) {
                mode = m;
            }
            PR_DEBUG("storeMode:%s\n", mode.c_str());
        }
        NOXA_IPC_CLOUD_STORAGE_ORDER_CB cb = s_cloudStorageOrderCb.load();
        if (cb == nullptr) {
            PR_WARN("cloud storage callback is not registered");
            return UNI_OK;
        }
        return PostSlotCall("cloud storage order", [cb, a = std::string(action), mode] { cb(a.c_str(), mode.c_str()); });
    } else if (ai) {
        const char* m = TextOf(data, "mode");
        std::string mode;
        if (strcmp(action, "ai") == 0) {
            mode = m != nullptr ? m : "pic";
            PR_DEBUG("aiMode:%s\n", mode.c_str());
        } else {
            mode = m != nullptr ? m : "";
            PR_DEBUG("aiAbortMode:%s\n", mode.c_str());
        }
        NOXA_IPC_AI_DETECT_STORAGE_CB cb = s_aiDetectStorageCb.load();
        if (cb == nullptr) {
            PR_WARN("ai_detect_storage_cb callback is not registered");
            return UNI_OK;
        }
        return PostSlotCall("ai detect storage", [cb, a = std::string(action), mode] { cb(a.c_str(), mode.c_str()); });
    }
    return UNI_OK;
}

int noxa_ipc_cloud_storage_event_request_parse(cJSON* root)
{
    PR_DEBUG("cloud storage event remote trigger");
    NOXA_IPC_CLOUD_STORAGE_EVENT_CB cb = s_cloudStorageEventCb.load();
    if (cb == nullptr) {
        PR_WARN("cloud storage event callback is not registered");
        return kErrNoCallback;
    }
    const cJSON* data = DataOf(root);
    if (data == nullptr) {
        PR_ERR("data null");
        return UNI_INVALID_PARM;
    }
    const char* action = TextOf(data, "action");
    if (action == nullptr) {
        PR_ERR("action null");
        return UNI_INVALID_PARM;
    }
    const cJSON* duration = ItemOf(data, "duration");
    if (!cJSON_IsNumber(duration)) {
        PR_ERR("duration null");
        return UNI_INVALID_PARM;
    }
    const cJSON* ext = ItemOf(data, "ext");
    if (ext == nullptr) {
        PR_ERR("ext null");
        return UNI_INVALID_PARM;
    }
    PR_DEBUG("action:%s, duration:%d\n", action, duration->valueint);
    TextPtr text(cJSON_PrintUnformatted(ext));
    if (text == nullptr) {
        PR_ERR("ext cannot be printed");
        return UNI_COM_ERROR;
    }
    return PostSlotCall("cloud storage event",
                        [cb, a = std::string(action), d = duration->valueint, e = std::string(text.get())] {
                            cb(a.c_str(), d, e.c_str());
                        });
}

int noxa_ipc_local_ai_data_sync_parse(cJSON* root)
{
    PR_DEBUG("doorbell_status changed trigger");
    const cJSON* data = DataOf(root);
    const char* action = TextOf(data, "action");
    if (action == nullptr) {
        PR_ERR("ai data sync without action");
        return UNI_INVALID_PARM;
    }
    NOXA_IPC_AI_DATA_SYNC_CB cb = s_aiDataSyncCb.load();
    if (cb == nullptr) {
        PR_WARN("doorbell status callback is not registered");
        return UNI_OK;
    }
    PR_DEBUG("action:%s\n", action);
    int count = 0;
    if (strcmp(action, "add") == 0 || strcmp(action, "delete") == 0) {
        const cJSON* ids = ItemOf(data, "faceIds");
        if (!cJSON_IsArray(ids)) {
            PR_ERR("ai data sync %s without faceIds", action);
            return UNI_INVALID_PARM;
        }
        count = cJSON_GetArraySize(ids);
    } else if (strcmp(action, "update") != 0) {
        PR_ERR("ai data sync: unknown action %s", action);
        return UNI_INVALID_PARM;
    }
    return PostSlotCall("ai data sync", [cb, a = std::string(action), count] { cb(a.c_str(), count); });
}

int noxa_ipc_doorbell_status_parse(cJSON* root)
{
    PR_DEBUG("doorbell_status changed trigger");
    const cJSON* data = DataOf(root);
    const char* type = TextOf(data, "type");
    if (type == nullptr) {
        PR_ERR("doorbell status without type");
        return UNI_INVALID_PARM;
    }
    NOXA_IPC_DOORBELL_STATUS_CB cb = s_doorbellStatusCb.load();
    if (cb == nullptr) {
        PR_WARN("doorbell status callback is not registered");
        return UNI_OK;
    }
    PR_DEBUG("action:%s\n", type);
    if (strcmp(type, "ac_doorbell") != 0) {
        return UNI_OK;
    }
    const char* event = TextOf(ItemOf(data, "data"), "event");
    if (event == nullptr) {
        PR_ERR("doorbell status without event");
        return UNI_INVALID_PARM;
    }
    TextPtr text(cJSON_PrintUnformatted(data));
    if (text == nullptr) {
        PR_ERR("doorbell status cannot be printed");
        return UNI_COM_ERROR;
    }
    PR_DEBUG("event:%s, data:%s\n", event, text.get());
    return PostSlotCall("doorbell status",
                        [cb, e = std::string(event), d = std::string(text.get())] { cb(e.c_str(), d.c_str()); });
}

int noxa_ipc_rtc_msg_parse(cJSON* root)
{
    if (root == nullptr) {
        PR_ERR("root_json is null");
        return UNI_COM_ERROR;
    }
    const cJSON* data = ItemOf(root, "data");
    if (data == nullptr) {
        PR_ERR("data failed");
        return UNI_COM_ERROR;
    }
    TextPtr text(cJSON_PrintUnformatted(data));
    if (text == nullptr) {
        PR_ERR("rtc message cannot be printed");
        return UNI_COM_ERROR;
    }
    NOXA_IPC_RTC_MSG_CB cb = s_rtcMsgCb.load();
    if (cb != nullptr) {
        char devId[GW_ID_LEN + 1];
        gw_get_dev_id(devId);
        return PostSlotCall("rtc message", [cb, id = std::string(devId), m = std::string(text.get())] {
            cb(id.c_str(), m.c_str(), static_cast<int>(m.size()));
        });
    }
    return UNI_OK;
}

int noxa_ipc_moto_msg_parse(cJSON* root)
{
    if (root == nullptr) {
        PR_ERR("root_json is null");
        return UNI_COM_ERROR;
    }
    const cJSON* data = ItemOf(root, "data");
    if (data == nullptr) {
        PR_ERR("data failed");
        return UNI_COM_ERROR;
    }
    NOXA_IPC_MOTO_MSG_CB cb = s_motoMsgCb.load();
    if (cb == nullptr) {
        return UNI_OK;
    }
    std::shared_ptr<cJSON> copy(cJSON_Duplicate(data, 1), cJSON_Delete);
    if (copy == nullptr) {
        PR_ERR("moto message not copied");
        return UNI_MALLOC_FAILED;
    }
    return PostSlotCall("moto message", [cb, copy] { cb(copy.get()); });
}

namespace {

struct MigrateKind {
    const char* name;
    NOXA_WIFI_MIGRATE_KIND_E kind;
};
constexpr MigrateKind kMigrateKinds[] = {
    {"wifiList", NOXA_WIFI_MIGRATE_LIST},
    {"wifiInfo", NOXA_WIFI_MIGRATE_INFO},
    {"wifiConnect", NOXA_WIFI_MIGRATE_CONNECT},
};

// "data" for the log with its "pwd" masked: the connect line must not carry the pass phrase.
TextPtr MaskedData(const cJSON* data)
{
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> copy(cJSON_Duplicate(data, 1), cJSON_Delete);
    if (copy == nullptr) {
        return TextPtr(nullptr);
    }
    if (const char* pwd = TextOf(copy.get(), "pwd")) {
        cJSON_ReplaceItemInObjectCaseSensitive(copy.get(), "pwd", cJSON_CreateString(uni_mask_secret(pwd).text));
    }
    return TextPtr(cJSON_PrintUnformatted(copy.get()));
}

}  // namespace

int noxa_ipc_wifi_migrate_parse(cJSON* root)
{
    PR_DEBUG("wifi migrate trigger");
    const cJSON* data = DataOf(root);
    if (data == nullptr) {
        PR_ERR("data_json is null");
        return UNI_INVALID_PARM;
    }
    const char* reqType = TextOf(data, "reqType");
    if (reqType == nullptr) {
        PR_ERR("reqType_json is null");
        return UNI_INVALID_PARM;
    }
    const char* tId = TextOf(data, "tId");
    if (tId == nullptr) {
        PR_ERR("tid_json is null");
        return UNI_INVALID_PARM;
    }
    NOXA_IPC_WIFI_MIGRATE_CB cb = s_wifiMigrateCb.load();
    if (cb == nullptr) {
        PR_WARN("wifi migrate callback is not registered");
        return UNI_OK;
    }
    PR_DEBUG("reqType:%s", reqType);
    const MigrateKind* kind = nullptr;
    for (const MigrateKind& k : kMigrateKinds) {
        if (strcmp(reqType, k.name) == 0) {
            kind = &k;
        }
    }
    if (kind == nullptr) {
        PR_ERR("wifi migrate: unknown reqType %s", reqType);
        return UNI_INVALID_PARM;
    }
    const char* devId = TextOf(data, "devId");
    const char* ssid = TextOf(data, "ssid");
    const char* pwd = TextOf(data, "pwd");
    const char* iv = TextOf(data, "iv");
    const bool connect = kind->kind == NOXA_WIFI_MIGRATE_CONNECT;
    if (connect && (devId == nullptr || ssid == nullptr || pwd == nullptr || iv == nullptr)) {
        PR_ERR("devId or ssid or passwd iv is null");
        return UNI_INVALID_PARM;
    }
    if (devId == nullptr) {
        PR_ERR("devId_json is null");
        return UNI_INVALID_PARM;
    }
    TextPtr text(cJSON_PrintUnformatted(data));
    if (text == nullptr) {
        PR_ERR("data_string is null");
        return UNI_COM_ERROR;
    }
    if (connect) {
        TextPtr shown = MaskedData(data);
        PR_DEBUG("devId:%s, ssid:%s, pwd:%s, iv:%s, data:%s", devId, ssid, uni_mask_secret(pwd).text, iv,
                 shown != nullptr ? shown.get() : "");
    } else {
        PR_DEBUG("devId:%s, data:%s", devId, text.get());
    }
    struct Texts {
        std::string devId, tId, data, ssid, pwd, iv;
    };
    auto t = std::make_shared<Texts>(Texts{devId, tId, text.get(), connect ? ssid : "", connect ? pwd : "",
                                           connect ? iv : ""});
    return PostSlotCall("wifi migrate", [cb, k = kind->kind, connect, t] {
        NOXA_WIFI_MIGRATE_REQ_S req = {};
        snprintf(req.devId, sizeof(req.devId), "%s", t->devId.c_str());
        snprintf(req.tId, sizeof(req.tId), "%s", t->tId.c_str());
        req.data = t->data.c_str();
        req.ssid = connect ? t->ssid.c_str() : nullptr;
        req.pwd = connect ? t->pwd.c_str() : nullptr;
        req.iv = connect ? t->iv.c_str() : nullptr;
        cb(k, &req);
    });
}
