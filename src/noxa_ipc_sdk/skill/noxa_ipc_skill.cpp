#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Modules enable their skills from their own start threads; the upload reads the table later.
std::mutex s_lock;
int32_t s_words[NOXA_SKILL_NUM] = {};
char s_text[NOXA_SKILL_TEXT_MAX + 1] = {};

// The word skills in the order the cloud reads them, with their keys.
constexpr struct {
    int id;
    const char* key;
} kOrder[] = {
    {NOXA_SKILL_AI_DETECT, "aiDetect"},         {NOXA_SKILL_CLOUD_GW, "cloudGW"},
    {NOXA_SKILL_CLOUD_STORAGE, "cloudStorage"}, {NOXA_SKILL_DOORBELL_STORAGE, "doorbellStorage"},
    {NOXA_SKILL_LOCAL_STORAGE, "localStorage"}, {NOXA_SKILL_LOW_POWER, "lowPower"},
    {NOXA_SKILL_WEBRTC, "webrtc"},              {NOXA_SKILL_P2P, "p2p"},
    {NOXA_SKILL_PX, "px"},
};

// Appends one piece; a piece that would bring the text to the buffer's size is refused.
int __fill_skills(char* buf, size_t* len, const std::string& piece)
{
    if (*len + piece.size() >= NOXA_SKILL_BUF_LEN) {
        PR_ERR("skill buf is not enough\n");
        return UNI_INVALID_PARM;
    }
    memcpy(buf + *len, piece.data(), piece.size());
    *len += piece.size();
    buf[*len] = '\0';
    return UNI_OK;
}

// The upload places the text between the quotes of a JSON string as it stands: the streamer's
// text has plain quotes, which would end that string.
std::string Escaped(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
        }
        out += *p;
    }
    return out;
}

}  // namespace

int noxa_ipc_skill_enable(int id, const void* value)
{
    if (id < 0 || id >= NOXA_SKILL_NUM) {
        PR_ERR("unknown skill(%d)\n", id);
        return 0;
    }
    if (value == nullptr) {
        PR_ERR("skill %d without a value", id);
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_lock);
    if (id == NOXA_SKILL_CLOUD_GW_INFO) {
        const char* text = static_cast<const char*>(value);
        size_t n = strnlen(text, NOXA_SKILL_TEXT_MAX);
        memcpy(s_text, text, n);
        s_text[n] = '\0';
    } else {
        memcpy(&s_words[id], value, sizeof(int32_t));
    }
    return 0;
}

int32_t noxa_ipc_skill_value(int id)
{
    if (id < 0 || id >= NOXA_SKILL_NUM || id == NOXA_SKILL_CLOUD_GW_INFO) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(s_lock);
    return s_words[id];
}

size_t noxa_ipc_skill_text(char* buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(s_lock);
    size_t n = strnlen(s_text, size - 1);
    memcpy(buf, s_text, n);
    buf[n] = '\0';
    return n;
}

int noxa_ipc_skill_render(char buf[NOXA_SKILL_BUF_LEN])
{
    if (buf == nullptr) {
        return UNI_INVALID_PARM;
    }
    buf[0] = '\0';
    int32_t words[NOXA_SKILL_NUM];
    char text[NOXA_SKILL_TEXT_MAX + 1];
    {
        std::lock_guard<std::mutex> lock(s_lock);
        memcpy(words, s_words, sizeof(words));
        memcpy(text, s_text, sizeof(text));
    }
    size_t len = 0;
    int ret = __fill_skills(buf, &len, "{\\\"sdk_version\\\":\\\"" NOXA_SKILL_SDK_VERSION "\\\"");
    for (const auto& s : kOrder) {
        if (ret == UNI_OK && words[s.id] != 0) {
            ret = __fill_skills(buf, &len, std::string(",\\\"") + s.key + "\\\":" + std::to_string(words[s.id]));
        }
    }
    if (ret == UNI_OK) {
        ret = __fill_skills(buf, &len,
                            ",\\\"video_num\\\":" + std::to_string(noxa_ipc_ring_buffer_video_channel_num()));
    }
    if (ret == UNI_OK && text[0] != '\0') {
        ret = __fill_skills(buf, &len, "," + Escaped(text));
    }
    if (ret == UNI_OK) {
        ret = __fill_skills(buf, &len, "}");
    }
    return ret;
}

int noxa_ipc_upload_skills(void)
{
    char buf[NOXA_SKILL_BUF_LEN];
    int ret = noxa_ipc_skill_render(buf);
    if (ret != UNI_OK) {
        return ret;
    }
    PR_NOTICE("upload data: %s", buf);
    ret = http_dev_update_skill(0, buf);
    if (ret != UNI_OK) {
        PR_ERR("skill upload fails %d", ret);
    }
    return ret;
}
