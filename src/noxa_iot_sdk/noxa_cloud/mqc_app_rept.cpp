// Reports and events the unit publishes on the cloud link.
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_base64.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/noxa_cloud/dp_schema.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app_internal.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// Prints and publishes; the text is freed here.
int PublishJson(const char* topic, int32_t protocol, const cJSON* data, uint8_t qos, uint32_t timeout_s, bool wait)
{
    char* text = cJSON_PrintUnformatted(data);
    if (text == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    int ret = mqc_publish(topic, protocol, text, qos, timeout_s, wait);
    cJSON_free(text);
    return ret;
}

const char* DevIdOf(const char* dev_id)
{
    return dev_id != nullptr && dev_id[0] != '\0' ? dev_id : get_gw_cntl()->devId;
}

// {"devId":..,"dps":{"<id>":v},"dpsTime":{"<id>":t}} with "dpsTime" only when a time is given.
// NULL for a record the report cannot carry.
cJSON* DpReport(const char* dev_id, const OBJ_DP_S* dps, uint32_t cnt)
{
    if (dps == nullptr || cnt == 0) {
        return nullptr;
    }
    JsonPtr root(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(root.get(), "devId", DevIdOf(dev_id));
    cJSON* values = cJSON_AddObjectToObject(root.get(), "dps");
    cJSON* times = nullptr;
    for (uint32_t i = 0; i < cnt; ++i) {
        cJSON* item = dp_schema_report_item(&dps[i]);
        if (item == nullptr) {
            PR_ERR("dp %u type %u cannot be reported", dps[i].dpid, dps[i].type);
            return nullptr;
        }
        std::string id = std::to_string(dps[i].dpid);
        cJSON_AddItemToObject(values, id.c_str(), item);
        if (dps[i].time_stamp != 0) {
            if (times == nullptr) {
                times = cJSON_AddObjectToObject(root.get(), "dpsTime");
            }
            cJSON_AddNumberToObject(times, id.c_str(), dps[i].time_stamp);
        }
    }
    return root.release();
}

}  // namespace

int dev_report_dp_json_async(const char* dev_id, const OBJ_DP_S* dps, uint32_t cnt, uint32_t flag)
{
    (void)flag;
    JsonPtr rept(DpReport(dev_id, dps, cnt), cJSON_Delete);
    if (rept == nullptr) {
        return UNI_INVALID_PARM;
    }
    return PublishJson(nullptr, PRO_DATA_PUSH, rept.get(), 0, 0, false);
}

int noxa_iot_stat_dp_report_sync(const char* dev_id, const OBJ_DP_S* dps, uint32_t cnt, uint32_t timeout_s,
                                 uint32_t flag)
{
    (void)flag;
    JsonPtr rept(DpReport(dev_id, dps, cnt), cJSON_Delete);
    if (rept == nullptr) {
        return UNI_INVALID_PARM;
    }
    return PublishJson(nullptr, PRO_DATA_PUSH, rept.get(), 1, timeout_s, true);
}

int noxa_iot_raw_dp_report_sync_with_time(const char* dev_id, uint8_t dpid, const uint8_t* data, uint32_t len,
                                          uint32_t timeout_s, uint32_t flag, uint32_t time)
{
    (void)flag;
    if (data == nullptr || len == 0 || len > 0x100000) {
        return UNI_INVALID_PARM;
    }
    std::vector<char> b64(4 * ((len + 2) / 3) + 1);
    uni_base64_encode(data, static_cast<int>(len), b64.data());
    JsonPtr root(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(root.get(), "devId", DevIdOf(dev_id));
    std::string id = std::to_string(dpid);
    cJSON_AddStringToObject(cJSON_AddObjectToObject(root.get(), "dps"), id.c_str(), b64.data());
    if (time != 0) {
        cJSON_AddNumberToObject(cJSON_AddObjectToObject(root.get(), "dpsTime"), id.c_str(), time);
    }
    return PublishJson(nullptr, PRO_DATA_PUSH, root.get(), 1, timeout_s, true);
}

int noxa_iot_raw_dp_report_sync(const char* dev_id, uint8_t dpid, const uint8_t* data, uint32_t len,
                                uint32_t timeout_s, uint32_t flag)
{
    return noxa_iot_raw_dp_report_sync_with_time(dev_id, dpid, data, len, timeout_s, flag, 0);
}

int noxa_iot_dev_upgd_progress_rept(uint32_t percent, const char* dev_id, uint32_t type)
{
    (void)dev_id;
    if (percent > 100) {
        return UNI_INVALID_PARM;
    }
    char text[64];
    snprintf(text, sizeof(text), "{\"progress\":%u,\"type\":%u}", percent, type);
    return mqc_publish(nullptr, PRO_DEV_UPGD_PROG, text, 0, 0, false);
}

int mqc_door_bell_press_generic(const char* etype, uint32_t time, const char* file)
{
    if (etype == nullptr || file == nullptr) {
        return UNI_INVALID_PARM;
    }
    JsonPtr root(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(root.get(), "etype", etype);
    cJSON_AddNumberToObject(root.get(), "time", time);
    cJSON_AddStringToObject(root.get(), "file", file);
    return PublishJson(nullptr, PRO_DOORBELL_PRESS, root.get(), 0, 0, false);
}

int mqc_door_bell_answer(const char* json)
{
    JsonPtr data(cJSON_Parse(json != nullptr ? json : ""), cJSON_Delete);
    if (data == nullptr) {
        PR_ERR("doorbell answer is no json");
        return UNI_INVALID_PARM;
    }
    return PublishJson(nullptr, PRO_DOORBELL_ANSWER, data.get(), 0, 0, false);
}

int mqc_prot_data_rept_seq(uint32_t protocol, const char* json)
{
    JsonPtr data(cJSON_Parse(json != nullptr ? json : ""), cJSON_Delete);
    if (data == nullptr || protocol > INT32_MAX) {
        PR_ERR("protocol %u data is no json", protocol);
        return UNI_INVALID_PARM;
    }
    return PublishJson(nullptr, static_cast<int32_t>(protocol), data.get(), 0, 0, false);
}

int mqc_send_mqtt_msg_with_topic(const char* topic, uint32_t protocol, const cJSON* obj)
{
    if (topic == nullptr || obj == nullptr || protocol > INT32_MAX) {
        return UNI_INVALID_PARM;
    }
    return PublishJson(topic, static_cast<int32_t>(protocol), obj, 1, 0, false);
}
