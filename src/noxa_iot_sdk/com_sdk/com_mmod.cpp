#include "noxa_iot_sdk/com_sdk/com_mmod.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <atomic>
#include <mutex>

namespace {

constexpr uint32_t kCmmodStack = 4096;
constexpr uint32_t kCmmodPriority = 4;

std::mutex s_cmmodMutex;
std::atomic<MSG_WORKER_HANDLE> s_cmmod{nullptr};

}  // namespace

int cmmod_init(void)
{
    std::lock_guard<std::mutex> lock(s_cmmodMutex);
    if (s_cmmod.load() != nullptr) {
        return UNI_OK;
    }
    // Timer messages need the system timer; the worker starts it, but say so when it cannot.
    int ret = system_timer_init();
    if (ret != UNI_OK) {
        PR_ERR("system timer init fails %d", ret);
        return ret;
    }
    const THRD_PARAM_S param = {kCmmodStack, kCmmodPriority, "cmmod"};
    MSG_WORKER_HANDLE worker = nullptr;
    ret = CreateMsgWorker(&worker, nullptr, nullptr, &param);
    if (ret != UNI_OK) {
        PR_ERR("create cmmod worker fails %d", ret);
        return ret;
    }
    s_cmmod.store(worker);
    PR_DEBUG("cmmod worker created");
    return UNI_OK;
}

MSG_WORKER_HANDLE cmmod_get_worker(void)
{
    return s_cmmod.load();
}

int cmmod_reg_msg_hand(MSG_CALLBACK handler, uint16_t* msgID)
{
    MSG_WORKER_HANDLE worker = s_cmmod.load();
    if (worker == nullptr || handler == nullptr || msgID == nullptr) {
        return UNI_INVALID_PARM;
    }
    // One registration at a time, so two callers never get the same free id.
    std::lock_guard<std::mutex> lock(s_cmmodMutex);
    uint16_t id = 0;
    int ret = MsgWorkerGetFreeMsgId(worker, &id);
    if (ret != UNI_OK) {
        return ret;
    }
    ret = MsgWorkerRegHandler(worker, id, handler);
    if (ret != UNI_OK) {
        return ret;
    }
    *msgID = id;
    return UNI_OK;
}

int cmmod_cr_tm_msg_hand(TM_MSG_CB cb, void* arg, TM_MSG_S** tmMsg)
{
    MSG_WORKER_HANDLE worker = s_cmmod.load();
    if (worker == nullptr) {
        return UNI_INVALID_PARM;
    }
    return MsgWorkerCreateTmMsg(worker, arg, cb, tmMsg);
}

int cmmod_post_msg(MSG_ID msgID, void* data, uint32_t len)
{
    MSG_WORKER_HANDLE worker = s_cmmod.load();
    int ret = worker == nullptr ? UNI_INVALID_PARM : MsgWorkerPost(worker, msgID, data, len);
    if (ret != UNI_OK) {
        // Nobody will receive it: the sender has already let go of it.
        Free(data);
    }
    return ret;
}

int cmmod_post_msg_copy(MSG_ID msgID, const void* buf, uint32_t len)
{
    MSG_WORKER_HANDLE worker = s_cmmod.load();
    if (worker == nullptr) {
        return UNI_INVALID_PARM;
    }
    return MsgWorkerPostCopy(worker, msgID, buf, len);
}
