#include "noxa_iot_sdk/online_log/log_serv.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::mutex s_logServMutex;
std::atomic<uint16_t> s_logServMsgId{LOG_SERV_NO_MSG_ID};
std::atomic<char*> s_logUpBuf{nullptr};

// On "cmmod": the text is ours to free.
void __log_serv_msg_handler(MESSAGE_S* msg)
{
    if (msg->pMsgData != nullptr && msg->msgDataLen != 0) {
        PR_WARN("online log: %.*s", static_cast<int>(msg->msgDataLen), static_cast<const char*>(msg->pMsgData));
    }
    Free(msg->pMsgData);
}

}  // namespace

int log_serv_init(void)
{
    std::lock_guard<std::mutex> lock(s_logServMutex);
    if (s_logServMsgId.load() != LOG_SERV_NO_MSG_ID) {
        return UNI_OK;
    }
    uint16_t id = LOG_SERV_NO_MSG_ID;
    int ret = cmmod_reg_msg_hand(__log_serv_msg_handler, &id);
    if (ret != UNI_OK) {
        PR_ERR("log service register fails %d", ret);
        return ret;
    }
    s_logServMsgId.store(id);
    PR_DEBUG("log service msg id %u", id);
    return UNI_OK;
}

uint16_t log_serv_get_msg_id(void)
{
    return s_logServMsgId.load();
}

void log_serv_handle_err_log_seq_cb(LOG_SEQ_HANDLE seq)
{
    char* text = nullptr;
    int ret = make_log_seq_string(seq, &text);
    if (ret != UNI_OK) {
        PR_ERR("make log seq string fails %d", ret);
        return;
    }
    uint16_t id = s_logServMsgId.load();
    if (id == LOG_SERV_NO_MSG_ID) {
        PR_ERR("log service not inited, drop: %s", text);
        Free(text);
        return;
    }
    // The handler gets the text with its NUL and frees it.
    ret = cmmod_post_msg(id, text, static_cast<uint32_t>(strlen(text) + 1));
    if (ret != UNI_OK) {
        PR_ERR("post log seq fails %d", ret);
    }
}

int httpc_ipc_log_up_init(void)
{
    std::lock_guard<std::mutex> lock(s_logServMutex);
    if (s_logUpBuf.load() != nullptr) {
        return UNI_OK;
    }
    auto* buf = static_cast<char*>(Malloc(HTTPC_LOG_UP_BUF_LEN));
    if (buf == nullptr) {
        PR_ERR("malloc log upload buffer fails");
        return UNI_MALLOC_FAILED;
    }
    buf[0] = '\0';
    s_logUpBuf.store(buf);
    return UNI_OK;
}

char* httpc_ipc_log_up_buf(void)
{
    return s_logUpBuf.load();
}
