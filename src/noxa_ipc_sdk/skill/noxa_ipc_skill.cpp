#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"

#include "noxa_adapter/utilities/uni_log.h"

#include <cstring>
#include <mutex>

namespace {

// Modules enable their skills from their own start threads; the upload reads the table later.
std::mutex s_lock;
int32_t s_words[NOXA_SKILL_NUM] = {};
char s_text[NOXA_SKILL_TEXT_MAX + 1] = {};

}  // namespace

int noxa_ipc_skill_enable(int id, const void* value)
{
    if (id < 0 || id >= NOXA_SKILL_NUM) {
        PR_ERR("unknown skill(%d)\n", id);
        return 0;
    }
    if (value == nullptr) {
        PR_ERR("skill %d without a value", id);
        return 0;
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
