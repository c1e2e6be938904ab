// The streamer's operations and the "wg" request, as the MQTT worker and the application call
// them: they leave requests and words for the streaming thread and never touch its connection.
#include "noxa_ipc_sdk/NStreamer/noxa_ipc_streamer.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "streamer_internal.h"

#include <cstdio>
#include <cstring>

using nstream::Copy;
using nstream::St;

namespace {

constexpr int kErrStreaming = -938;

int SetMediaSetting(const NOXA_MEDIA_INFO_S* info)
{
    if (info == nullptr) {
        return UNI_INVALID_PARM;
    }
    St().mediaSetting = *info;
    return UNI_OK;
}

int FillCloudGwSkills(void)
{
    const NOXA_MEDIA_INFO_S& m = St().mediaSetting;
    const int32_t on = 1;
    noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW, &on);
    char text[NOXA_SKILL_TEXT_MAX + 1];
    snprintf(text, sizeof text,
             "\"videos\":[{\"streamType\":2,\"codecType\":%u,\"sampleRate\":%u,\"profileId\":\"\",\"width\":%u,"
             "\"height\":%u},{\"streamType\":4,\"codecType\":%u,\"sampleRate\":%u,\"width\":%u,\"height\":%u}],"
             "\"audios\":[{\"codecType\":%u,\"sampleRate\":%u,\"dataBit\":%u,\"channels\":1}]",
             m.video_codec[0], m.video_freq[0], m.video_width[0], m.video_height[0], m.video_codec[1], m.video_freq[1],
             m.video_width[1], m.video_height[1], m.audio_codec[9], m.audio_sample[9], m.audio_databits[9]);
    noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, text);
    PR_NOTICE("CLOUD GW skill info:%s", text);
    return UNI_OK;
}

int SetServerAddress(const char* host, uint32_t port)
{
    if (host == nullptr) {
        return UNI_OK;
    }
    NSTREAMER_S& s = St();
    std::lock_guard<std::mutex> lock(s.requestLock);
    Copy(s.pending.host, sizeof s.pending.host, host);
    s.pending.port = port;
    return UNI_OK;
}

int StartStreaming(void)
{
    PR_NOTICE("start streaming");
    const uint32_t state = St().state.load();
    if (state != NSTREAM_IDLE) {
        PR_ERR("already streaming %u", state);
        return kErrStreaming;
    }
    PR_NOTICE("start streaming done");
    return UNI_OK;
}

// The thread owns the socket: it is asked to close and given a second for it.
int StopStreaming(void)
{
    NSTREAMER_S& s = St();
    s.request.store(NSTREAM_REQ_STOP);
    for (int i = 0; i < 50 && s.state.load() != NSTREAM_IDLE; ++i) {
        uni_sleep_ms(20);
    }
    return UNI_OK;
}

int PauseStreaming(void)
{
    St().paused.store(1);
    return UNI_OK;
}

int ResumeStreaming(void)
{
    St().paused.store(0);
    return UNI_OK;
}

int RegisterCallBack(NSTREAM_EVENT_CB eventCb, NSTREAM_AUDIO_CB audioCb)
{
    St().eventCb.store(eventCb);
    St().audioCb.store(audioCb);
    return UNI_OK;
}

int PublishMotoMessage(const char* json)
{
    NSTREAMER_S& s = St();
    cJSON* data = json != nullptr ? cJSON_Parse(json) : nullptr;
    if (data == nullptr) {
        PR_ERR("moto message is no JSON");
        return UNI_INVALID_PARM;
    }
    char motoId[NSTREAM_MOTO_ID_LEN];
    {
        std::lock_guard<std::mutex> lock(s.requestLock);
        Copy(motoId, sizeof motoId, s.pending.motoId);
    }
    const int ret = s.moto->ops.MotoPublishMqttMsg(motoId, 312, data);
    cJSON_Delete(data);
    return ret;
}

// A text item that fits its field (size with the NUL), else null.
const char* TextItem(const cJSON* obj, const char* name, size_t size)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!cJSON_IsString(v) || v->valuestring == nullptr || strnlen(v->valuestring, size) >= size) {
        return nullptr;
    }
    return v->valuestring;
}

bool NumberItem(const cJSON* obj, const char* name, uint32_t max, uint32_t* out)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!cJSON_IsNumber(v) || v->valuedouble < 0 || v->valuedouble > max) {
        return false;
    }
    *out = static_cast<uint32_t>(v->valuedouble);
    return true;
}

}  // namespace

NSTREAMER_OPS_S nstream::Ops()
{
    return NSTREAMER_OPS_S{SetMediaSetting, FillCloudGwSkills, SetServerAddress, StartStreaming, StopStreaming,
                           PauseStreaming,  ResumeStreaming,   RegisterCallBack, PublishMotoMessage};
}

int noxa_ipc_streamer_alive_cnt(uint32_t* cnt)
{
    if (cnt != nullptr) {
        *cnt = St().state.load() != NSTREAM_IDLE ? 1 : 0;
    }
    return UNI_OK;
}

int ProcessMqttMessage(cJSON* msg)
{
    NSTREAMER_S& s = St();
    if (s.paused.load() != 0) {
        PR_NOTICE("streamer is paused!");
        return UNI_OK;
    }
    if (msg == nullptr) {
        PR_ERR("null mqtt message");
        return UNI_INVALID_PARM;
    }
    const cJSON* header = cJSON_GetObjectItemCaseSensitive(msg, "header");
    const cJSON* body = cJSON_GetObjectItemCaseSensitive(msg, "msg");
    if (!cJSON_IsObject(header) || !cJSON_IsObject(body)) {
        PR_ERR("No header or msg in message");
        return UNI_INVALID_PARM;
    }
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(header, "type");
    const cJSON* session = cJSON_GetObjectItemCaseSensitive(header, "sessionId");
    const char* sessionText = cJSON_IsString(session) ? session->valuestring : "";
    if (cJSON_IsString(type) && strcmp(type->valuestring, "stop") == 0) {
        std::lock_guard<std::mutex> lock(s.requestLock);
        if (s.pending.sessionId[0] != '\0' && strcmp(sessionText, s.pending.sessionId) == 0) {
            s.request.store(NSTREAM_REQ_STOP);
            PR_NOTICE("receive session stop request: %s\n", sessionText);
        } else {
            PR_NOTICE("receive invalid stop, ignore: %s\n", sessionText);
        }
        return UNI_OK;
    }
    // Every field is checked before any is taken: a request too long for its field is refused whole.
    NSTREAM_REQUEST_S r{};
    const char* motoId = nullptr;
    const char* md5 = nullptr;
    const bool motoOk = cJSON_GetObjectItemCaseSensitive(header, "moto_id") == nullptr ||
                        (motoId = TextItem(header, "moto_id", sizeof r.motoId)) != nullptr;
    const bool md5Ok = cJSON_GetObjectItemCaseSensitive(body, "encKeyMd5") == nullptr ||
                       (md5 = TextItem(body, "encKeyMd5", sizeof r.encKeyMd5)) != nullptr;
    const char* host = TextItem(body, "host", sizeof r.host);
    const char* user = TextItem(body, "username", sizeof r.username);
    const char* pass = TextItem(body, "password", sizeof r.password);
    const char* sess = TextItem(header, "sessionId", sizeof r.sessionId);
    if (!motoOk || !md5Ok || host == nullptr || host[0] == '\0' || user == nullptr || pass == nullptr ||
        sess == nullptr || !NumberItem(body, "port", 65535, &r.port) ||
        !NumberItem(body, "streamType", 0xF, &r.streamType)) {
        PR_ERR("mqtt message format error");
        char* text = cJSON_PrintUnformatted(msg);
        PR_ERR("%s", text != nullptr ? text : "");
        cJSON_free(text);
        return UNI_INVALID_PARM;
    }
    if (md5 != nullptr) {
        PR_DEBUG("get encKeyMd5:%s", md5);
    }
    std::lock_guard<std::mutex> lock(s.requestLock);
    Copy(r.host, sizeof r.host, host);
    Copy(r.username, sizeof r.username, user);
    Copy(r.password, sizeof r.password, pass);
    Copy(r.sessionId, sizeof r.sessionId, sess);
    Copy(r.encKeyMd5, sizeof r.encKeyMd5, md5 != nullptr ? md5 : s.pending.encKeyMd5);
    Copy(r.motoId, sizeof r.motoId, motoId != nullptr ? motoId : s.pending.motoId);
    s.pending = r;
    PR_NOTICE("address %s:%u, auth %s:%s, sessionID %s, stream type %u", r.host, r.port, r.username, "****",
              r.sessionId, r.streamType);
    PR_NOTICE("new mqtt request pending\n");
    s.request.store(NSTREAM_REQ_NEW);
    return UNI_OK;
}
