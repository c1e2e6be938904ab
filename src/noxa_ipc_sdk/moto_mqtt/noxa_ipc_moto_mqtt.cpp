#include "noxa_ipc_sdk/moto_mqtt/noxa_ipc_moto_mqtt.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr const char* kDevTopicHead = "/av/d/";
constexpr const char* kMotoTopicHead = "/av/moto/";

// Guards creation, the topic and the module entries.
std::mutex s_mutex;
MOTO_MQTT_S s_moto;
bool s_made = false;

static_assert(MOTO_DEV_ID_LEN == GW_ID_LEN + 1);

// Under s_mutex. The topic waits for the device id: built before the activation it would stay
// "/av/d/" for good.
bool BuildTopic()
{
    if (s_moto.topic[0] != '\0') {
        return true;
    }
    char devId[GW_ID_LEN + 1];
    gw_get_dev_id(devId);
    if (devId[0] == '\0') {
        return false;
    }
    memcpy(s_moto.devId, devId, sizeof(devId));
    snprintf(s_moto.topic, sizeof(s_moto.topic), "%s%s", kDevTopicHead, s_moto.devId);
    return true;
}

int MotoMqttInit(void)
{
    return UNI_OK;
}

int MotoMqttBookTopicForce(void)
{
    if (get_gw_cntl() == nullptr) {
        PR_ERR("unlikely error");
        return UNI_COM_ERROR;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!BuildTopic()) {
        PR_DEBUG("book topic: no device id yet");
        return UNI_COM_ERROR;
    }
    PR_DEBUG("book topic start");
    int ret = mqc_book_additional_topic(s_moto.topic);
    if (ret != UNI_OK) {
        PR_ERR("book topic %s fail, ret %d", s_moto.topic, ret);
        s_moto.topicBooked.store(0);
        return ret;
    }
    s_moto.topicBooked.store(1);
    PR_DEBUG("book topic done");
    return UNI_OK;
}

int MotoPublishMqttMsg(const char* moto_id, uint32_t protocol, const cJSON* data)
{
    if (moto_id == nullptr || data == nullptr) {
        PR_ERR("param err");
        return UNI_INVALID_PARM;
    }
    size_t len = strnlen(moto_id, MOTO_ID_MAX + 1);
    if (len > MOTO_ID_MAX) {
        PR_ERR("MotoId too len, id:%s", moto_id);
        return UNI_INVALID_PARM;
    }
    // A wildcard in a PUBLISH topic makes the broker drop the whole link.
    if (len == 0 || strpbrk(moto_id, "/+#") != nullptr) {
        PR_ERR("bad moto id:%s", moto_id);
        return UNI_INVALID_PARM;
    }
    std::string topic;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (!BuildTopic()) {
            PR_ERR("no device id, nothing sent to moto %s", moto_id);
            return UNI_COM_ERROR;
        }
        topic = std::string(kMotoTopicHead) + moto_id + "/d/" + s_moto.devId;
    }
    PR_DEBUG("Send mqtt to topic:%s", topic.c_str());
    return mqc_send_mqtt_msg_with_topic(topic.c_str(), protocol, data);
}

int MotoModuleRegist(const char* name, MOTO_MODULE_CB callback)
{
    if (name == nullptr || name[0] == '\0' || strnlen(name, MOTO_MODULE_NAME_LEN) >= MOTO_MODULE_NAME_LEN ||
        callback == nullptr) {
        PR_ERR("param err");
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    for (auto& m : s_moto.modules) {
        if (strcmp(m.name, name) == 0) {
            if (m.callback == nullptr) {
                m.callback = callback;
            }
            return UNI_OK;
        }
    }
    for (auto& m : s_moto.modules) {
        if (m.name[0] == '\0') {
            strcpy(m.name, name);
            m.callback = callback;
            return UNI_OK;
        }
    }
    PR_ERR("no room for module %s", name);
    return UNI_COM_ERROR;
}

}  // namespace

MOTO_MQTT_S* GetMotoMqttInstance(void)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!s_made) {
        s_moto.topicBooked.store(0);
        s_moto.ops = MOTO_MQTT_OPS_S{MotoMqttInit, MotoMqttBookTopicForce, MotoPublishMqttMsg, MotoModuleRegist};
        noxa_ipc_mqt_set_moto_msg_cb(MotoMqttMessage);
        s_moto.inited = 1;
        s_made = true;
    }
    return &s_moto;
}

int MotoMqttMessage(cJSON* msg)
{
    if (msg == nullptr) {
        PR_ERR("null mqtt message");
        return UNI_INVALID_PARM;
    }
    const cJSON* body = cJSON_GetObjectItemCaseSensitive(msg, "msg");
    if (!cJSON_IsObject(body)) {
        PR_ERR("No msg in message");
        return UNI_INVALID_PARM;
    }
    const cJSON* mode = cJSON_GetObjectItemCaseSensitive(body, "mode");
    if (!cJSON_IsString(mode) || mode->valuestring == nullptr) {
        PR_ERR("No mode in msg");
        return UNI_INVALID_PARM;
    }
    MOTO_MODULE_CB callback = nullptr;
    {
        // Modules register at their start; the entry is read under the lock all the same, and
        // the callback runs outside it (it may publish or book).
        std::lock_guard<std::mutex> lock(s_mutex);
        for (const auto& m : s_moto.modules) {
            if (m.name[0] != '\0' && m.callback != nullptr && strcmp(m.name, mode->valuestring) == 0) {
                callback = m.callback;
                break;
            }
        }
    }
    if (callback == nullptr) {
        PR_ERR("no module recv the msg");
        return UNI_COM_ERROR;
    }
    return callback(msg);
}
