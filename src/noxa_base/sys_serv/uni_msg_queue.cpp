#include "noxa_base/sys_serv/uni_msg_queue.h"

#include "noxa_adapter/system/uni_semaphore.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>
#include <vector>

namespace {

constexpr uint16_t kTableStep = 4;
constexpr uint32_t kSemMax = 1000;
constexpr uint32_t kReleasePollMs = 10;
constexpr int kReleasePatience = 10;  // polls before saying that the loop is slow to end
constexpr uint32_t kWaitStepMs = 1;

enum : int { LOOP_ENDED = -1, LOOP_STOP = 0, LOOP_RUNNING = 1 };

}  // namespace

struct MSG_QUE_S {
    LIST_HEAD msgs;
    uint32_t count;
    MUTEX_HANDLE mutex;
    SEM_HANDLE sem;
    MSG_CALLBACK* handlers;
    uint16_t capacity;
    uint16_t used;
    std::atomic<int> runState;
    // The node whose handler runs right now and the loop's thread, for purges and release.
    MSG_NODE_S* current;
    pthread_t loopThread;
    std::atomic<bool> releaseOnExit;
};

namespace {

MSG_NODE_S* __first(MSG_QUE_HANDLE que)
{
    return uni_list_empty(&que->msgs) ? nullptr : UNI_LIST_ENTRY(que->msgs.next, MSG_NODE_S, node);
}

bool __on_loop_thread(MSG_QUE_HANDLE que)
{
    return que->runState.load() != LOOP_ENDED && pthread_equal(que->loopThread, pthread_self());
}

// Frees everything. The loop must be over.
int __free_queue(MSG_QUE_HANDLE que)
{
    int ret = ReleaseMutex(que->mutex);
    if (ret != UNI_OK) {
        return ret;
    }
    ReleaseSemaphore(que->sem);
    Free(que->handlers);
    UNI_LIST_FOR_EACH_SAFE(pos, nxt, &que->msgs) {
        uni_list_del(pos);
        Free(UNI_LIST_ENTRY(pos, MSG_NODE_S, node));
    }
    que->~MSG_QUE_S();
    Free(que);
    return UNI_OK;
}

// Grows the table by one step when every slot is in use. Caller holds the queue mutex.
int __free_id_locked(MSG_QUE_HANDLE que, uint16_t* id)
{
    if (que->used >= que->capacity) {
        uint32_t newCap = static_cast<uint32_t>(que->capacity) + kTableStep;
        if (newCap > 0xFFFF) {
            return UNI_COM_ERROR;
        }
        auto* table = static_cast<MSG_CALLBACK*>(Malloc(sizeof(MSG_CALLBACK) * newCap));
        if (table == nullptr) {
            return UNI_MALLOC_FAILED;
        }
        memset(table, 0, sizeof(MSG_CALLBACK) * newCap);
        if (que->handlers != nullptr) {
            memcpy(table, que->handlers, sizeof(MSG_CALLBACK) * que->capacity);
        }
        Free(que->handlers);
        que->handlers = table;
        que->capacity = static_cast<uint16_t>(newCap);
    }
    for (uint16_t i = 0; i < que->capacity; ++i) {
        if (que->handlers[i] == nullptr) {
            *id = i;
            return UNI_OK;
        }
    }
    return UNI_COM_ERROR;
}

void __set_handler_locked(MSG_QUE_HANDLE que, uint16_t id, MSG_CALLBACK handler)
{
    if (que->handlers[id] == nullptr && handler != nullptr) {
        ++que->used;
    } else if (que->handlers[id] != nullptr && handler == nullptr) {
        --que->used;
    }
    que->handlers[id] = handler;
}

int __post(MSG_QUE_HANDLE que, MSG_ID id, void* data, uint32_t len, int atTail)
{
    int ret = AddMsgNodeToQue(que, id, data, len, atTail);
    if (ret != UNI_OK) {
        return ret;
    }
    return PostSemaphore(que->sem);
}

void __TmMsgTimerCb(TIMER_ID, void* arg)
{
    auto* tm = static_cast<TM_MSG_S*>(arg);
    PostMsgToQue(tm->msgQue, tm->msgID, tm, sizeof(uint32_t));
}

void __TmMsgHandler(MESSAGE_S* msg)
{
    auto* tm = static_cast<TM_MSG_S*>(msg->pMsgData);
    // The callback may release its own timer message: nothing touches tm after it.
    tm->cb(tm);
}

}  // namespace

int CreateMsgQueAndInit(MSG_QUE_HANDLE* pMsgQueHandle)
{
    if (pMsgQueHandle == nullptr) {
        PR_ERR("create msg queue fails, invalid param");
        return UNI_INVALID_PARM;
    }
    void* block = Malloc(sizeof(MSG_QUE_S));
    if (block == nullptr) {
        PR_ERR("malloc fails %d", static_cast<int>(sizeof(MSG_QUE_S)));
        return UNI_MALLOC_FAILED;
    }
    memset(block, 0, sizeof(MSG_QUE_S));
    auto* que = new (block) MSG_QUE_S;
    uni_list_init(&que->msgs);
    que->runState.store(LOOP_ENDED);
    que->releaseOnExit.store(false);
    if (CreateMutexAndInit(&que->mutex) != UNI_OK) {
        PR_ERR("create mutex fails");
        Free(block);
        return UNI_MALLOC_FAILED;
    }
    int ret = CreateAndInitSemaphore(&que->sem, 0, kSemMax);
    if (ret != UNI_OK) {
        PR_ERR("create semaphore fails");
        ReleaseMutex(que->mutex);
        Free(block);
        return ret;
    }
    *pMsgQueHandle = que;
    return UNI_OK;
}

int AddMsgNodeToQue(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, void* data, uint32_t len, int atTail)
{
    if (msgQueHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    auto* node = static_cast<MSG_NODE_S*>(Malloc(sizeof(MSG_NODE_S)));
    if (node == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    node->msg.msgID = msgID;
    node->msg.pMsgData = data;
    node->msg.msgDataLen = len;
    UniMutexGuard lock(msgQueHandle->mutex);
    if (atTail != 0) {
        uni_list_add_tail(&node->node, &msgQueHandle->msgs);
    } else {
        uni_list_add(&node->node, &msgQueHandle->msgs);
    }
    ++msgQueHandle->count;
    return UNI_OK;
}

int PostMsgToQue(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, void* data, uint32_t len)
{
    return __post(msgQueHandle, msgID, data, len, 1);
}

int PostInstancyMsgToQue(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, void* data, uint32_t len)
{
    return __post(msgQueHandle, msgID, data, len, 0);
}

int WaitMsgFromQue(MSG_QUE_HANDLE msgQueHandle, MSG_NODE_S** ppMsgNode)
{
    if (msgQueHandle == nullptr || ppMsgNode == nullptr) {
        return UNI_INVALID_PARM;
    }
    int ret;
    do {
        ret = WaitSemaphore(msgQueHandle->sem);
    } while (ret == UNI_SEM_WAIT_FAILED && errno == EINTR);
    if (ret != UNI_OK) {
        return ret;
    }
    return GetFirstMsgFromQue(msgQueHandle, ppMsgNode);
}

int GetFirstMsgFromQue(MSG_QUE_HANDLE msgQueHandle, MSG_NODE_S** ppMsgNode)
{
    if (msgQueHandle == nullptr || ppMsgNode == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(msgQueHandle->mutex);
    MSG_NODE_S* node = __first(msgQueHandle);
    if (node == nullptr) {
        return UNI_MSG_LIST_EMPTY;
    }
    *ppMsgNode = node;
    return UNI_OK;
}

int DelAndFreeMsgNodeFromQue(MSG_QUE_HANDLE msgQueHandle, MSG_NODE_S* msgNode)
{
    if (msgQueHandle == nullptr || msgNode == nullptr) {
        return UNI_INVALID_PARM;
    }
    {
        UniMutexGuard lock(msgQueHandle->mutex);
        uni_list_del(&msgNode->node);
        --msgQueHandle->count;
        if (msgQueHandle->current == msgNode) {
            msgQueHandle->current = nullptr;
        }
    }
    Free(msgNode);
    return UNI_OK;
}

int RegMsgHandler(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, MSG_CALLBACK handler)
{
    if (msgQueHandle == nullptr || handler == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(msgQueHandle->mutex);
    if (msgID >= msgQueHandle->capacity) {
        return UNI_INVALID_PARM;
    }
    __set_handler_locked(msgQueHandle, static_cast<uint16_t>(msgID), handler);
    return UNI_OK;
}

int UnregMsgHandler(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID)
{
    if (msgQueHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(msgQueHandle->mutex);
    if (msgID >= msgQueHandle->capacity) {
        return UNI_INVALID_PARM;
    }
    __set_handler_locked(msgQueHandle, static_cast<uint16_t>(msgID), nullptr);
    return UNI_OK;
}

int GetFreeMsgId(MSG_QUE_HANDLE msgQueHandle, uint16_t* pMsgID)
{
    if (msgQueHandle == nullptr || pMsgID == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(msgQueHandle->mutex);
    return __free_id_locked(msgQueHandle, pMsgID);
}

int MsgQueDispatchLoop(MSG_QUE_HANDLE msgQueHandle)
{
    if (msgQueHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    MSG_QUE_HANDLE que = msgQueHandle;
    {
        UniMutexGuard lock(que->mutex);
        que->loopThread = pthread_self();
        que->runState.store(LOOP_RUNNING);
    }
    while (que->runState.load() != LOOP_STOP) {
        int ret;
        do {
            ret = WaitSemaphore(que->sem);
        } while (ret == UNI_SEM_WAIT_FAILED && errno == EINTR);
        if (ret != UNI_OK) {
            continue;
        }
        MSG_NODE_S* node = nullptr;
        MSG_CALLBACK handler = nullptr;
        {
            // Node, handler and `current` in one step: a timer message released meanwhile is
            // either purged before the loop sees it or waited for while its handler runs.
            UniMutexGuard lock(que->mutex);
            node = __first(que);
            if (node == nullptr) {
                continue;
            }
            uint16_t id = static_cast<uint16_t>(node->msg.msgID & 0xFFFF);
            if (id < que->capacity) {
                handler = que->handlers[id];
            }
            que->current = node;
        }
        if (handler != nullptr) {
            handler(&node->msg);
        } else if (node->msg.pMsgData != nullptr) {
            // The data belongs to the handler; with none it would be lost for good. Timer
            // messages never get here: their records are purged with their handler.
            PR_WARN("no handler for msg %u, data dropped", node->msg.msgID);
            Free(node->msg.pMsgData);
        }
        DelAndFreeMsgNodeFromQue(que, node);
    }
    bool release = que->releaseOnExit.load();
    {
        UniMutexGuard lock(que->mutex);
        que->runState.store(LOOP_ENDED);
    }
    if (release) {
        // Released by one of its own handlers: the queue goes now that the loop is over.
        __free_queue(que);
    }
    return UNI_OK;
}

int ReleaseMsgQue(MSG_QUE_HANDLE msgQueHandle)
{
    if (msgQueHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    MSG_QUE_HANDLE que = msgQueHandle;
    bool looping = false;
    bool onLoop = false;
    {
        UniMutexGuard lock(que->mutex);
        looping = que->runState.load() == LOOP_RUNNING;
        onLoop = looping && pthread_equal(que->loopThread, pthread_self());
        if (looping) {
            que->runState.store(LOOP_STOP);
            que->releaseOnExit.store(onLoop);
        }
    }
    if (looping) {
        // A message no handler takes wakes the waiting loop at once.
        PostInstancyMsgToQue(que, static_cast<MSG_ID>(que->capacity) + 1, nullptr, 0);
        if (onLoop) {
            return UNI_OK;
        }
        // The queue must not be freed under a handler that is still running: wait for it.
        for (int polls = 0; que->runState.load() != LOOP_ENDED; ++polls) {
            if (polls == kReleasePatience) {
                PR_WARN("msg queue loop still busy, waiting for it to end");
            }
            uni_sleep_ms(kReleasePollMs);
        }
        // The loop sets the state under the mutex and touches nothing after it.
        UniMutexGuard lock(que->mutex);
    }
    return __free_queue(que);
}

int CreateTmMsgHand(MSG_QUE_HANDLE msgQueHandle, void* data, TM_MSG_CB cb, TM_MSG_S** ppTmMsg)
{
    if (msgQueHandle == nullptr || cb == nullptr || ppTmMsg == nullptr) {
        return UNI_INVALID_PARM;
    }
    auto* tm = static_cast<TM_MSG_S*>(Malloc(sizeof(TM_MSG_S)));
    if (tm == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    *tm = TM_MSG_S{};
    tm->cb = cb;
    tm->msgQue = msgQueHandle;
    tm->data = data;
    {
        // Id taken and handler registered in one step: two creators never share an id.
        UniMutexGuard lock(msgQueHandle->mutex);
        int ret = __free_id_locked(msgQueHandle, &tm->msgID);
        if (ret != UNI_OK) {
            Free(tm);
            return ret;
        }
        __set_handler_locked(msgQueHandle, tm->msgID, __TmMsgHandler);
    }
    int ret = sys_add_timer(__TmMsgTimerCb, tm, &tm->timerID);
    if (ret != UNI_OK) {
        UnregMsgHandler(msgQueHandle, tm->msgID);
        Free(tm);
        return ret;
    }
    *ppTmMsg = tm;
    return UNI_OK;
}

int StartTmMsgHand(TM_MSG_S* tmMsg, uint32_t intervalMs, TIMER_TYPE_E type)
{
    if (tmMsg == nullptr) {
        return UNI_INVALID_PARM;
    }
    return sys_start_timer(tmMsg->timerID, intervalMs, type);
}

int StopTmMsgHand(TM_MSG_S* tmMsg)
{
    if (tmMsg == nullptr) {
        return UNI_INVALID_PARM;
    }
    return sys_stop_timer(tmMsg->timerID);
}

int ReleaseTmMsgHand(TM_MSG_S* tmMsg)
{
    if (tmMsg == nullptr) {
        return UNI_INVALID_PARM;
    }
    MSG_QUE_HANDLE que = tmMsg->msgQue;
    // No more posts: the timer goes first, after any running expiry callback.
    sys_delete_timer(tmMsg->timerID);
    std::vector<MSG_NODE_S*> dropped;
    {
        UniMutexGuard lock(que->mutex);
        if (tmMsg->msgID < que->capacity && que->handlers[tmMsg->msgID] == __TmMsgHandler) {
            __set_handler_locked(que, tmMsg->msgID, nullptr);
        }
        // Queued expiries would reach a later holder of the same id with this freed record.
        UNI_LIST_FOR_EACH_SAFE(pos, nxt, &que->msgs) {
            auto* node = UNI_LIST_ENTRY(pos, MSG_NODE_S, node);
            if (node != que->current && node->msg.pMsgData == tmMsg && (node->msg.msgID & 0xFFFF) == tmMsg->msgID) {
                uni_list_del(pos);
                --que->count;
                dropped.push_back(node);
            }
        }
    }
    for (MSG_NODE_S* node : dropped) {
        Free(node);
    }
    // Its handler running on the worker (released from another thread): let it finish.
    for (;;) {
        bool busy = false;
        {
            UniMutexGuard lock(que->mutex);
            busy = que->current != nullptr && que->current->msg.pMsgData == tmMsg && !__on_loop_thread(que);
        }
        if (!busy) {
            break;
        }
        uni_sleep_ms(kWaitStepMs);
    }
    Free(tmMsg);
    return UNI_OK;
}

int CreateMsgWorker(MSG_WORKER_HANDLE* pWorker, THREAD_ENTER_CB enter, THREAD_EXIT_CB exit,
                    const THRD_PARAM_S* thrdParam)
{
    if (pWorker == nullptr) {
        return UNI_INVALID_PARM;
    }
    int ret = system_timer_init();
    if (ret != UNI_OK) {
        return ret;
    }
    auto* worker = static_cast<MSG_WORKER_S*>(Malloc(sizeof(MSG_WORKER_S)));
    if (worker == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    *worker = MSG_WORKER_S{};
    ret = CreateMsgQueAndInit(&worker->msgQue);
    if (ret != UNI_OK) {
        Free(worker);
        return ret;
    }
    ret = CreateAndStart(&worker->thrdHandle, enter, exit, MsgWorkerThrd, worker, thrdParam);
    if (ret != UNI_OK) {
        ReleaseMsgQue(worker->msgQue);
        Free(worker);
        return ret;
    }
    *pWorker = worker;
    return UNI_OK;
}

void MsgWorkerThrd(void* arg)
{
    auto* worker = static_cast<MSG_WORKER_S*>(arg);
    MsgQueDispatchLoop(worker->msgQue);
}

int MsgWorkerPost(MSG_WORKER_HANDLE worker, MSG_ID msgID, void* data, uint32_t len)
{
    if (worker == nullptr) {
        return UNI_INVALID_PARM;
    }
    return PostMsgToQue(worker->msgQue, msgID, data, len);
}

int MsgWorkerPostCopy(MSG_WORKER_HANDLE worker, MSG_ID msgID, const void* data, uint32_t len)
{
    if (worker == nullptr || (data == nullptr && len != 0)) {
        return UNI_INVALID_PARM;
    }
    void* copy = nullptr;
    if (len != 0) {
        copy = Malloc(len);
        if (copy == nullptr) {
            return UNI_MALLOC_FAILED;
        }
        memcpy(copy, data, len);
    }
    int ret = PostMsgToQue(worker->msgQue, msgID, copy, len);
    if (ret != UNI_OK) {
        Free(copy);
    }
    return ret;
}

int MsgWorkerRegHandler(MSG_WORKER_HANDLE worker, MSG_ID msgID, MSG_CALLBACK handler)
{
    return worker == nullptr ? UNI_INVALID_PARM : RegMsgHandler(worker->msgQue, msgID, handler);
}

int MsgWorkerUnregHandler(MSG_WORKER_HANDLE worker, MSG_ID msgID)
{
    return worker == nullptr ? UNI_INVALID_PARM : UnregMsgHandler(worker->msgQue, msgID);
}

int MsgWorkerGetFreeMsgId(MSG_WORKER_HANDLE worker, uint16_t* pMsgID)
{
    return worker == nullptr ? UNI_INVALID_PARM : GetFreeMsgId(worker->msgQue, pMsgID);
}

int MsgWorkerCreateTmMsg(MSG_WORKER_HANDLE worker, void* data, TM_MSG_CB cb, TM_MSG_S** ppTmMsg)
{
    return worker == nullptr ? UNI_INVALID_PARM : CreateTmMsgHand(worker->msgQue, data, cb, ppTmMsg);
}

int cmmod_start_tm_msg(TM_MSG_S* tmMsg, uint32_t intervalMs, TIMER_TYPE_E type)
{
    return StartTmMsgHand(tmMsg, intervalMs, type);
}

int cmmod_stop_tm_msg(TM_MSG_S* tmMsg)
{
    return StopTmMsgHand(tmMsg);
}

int cmmod_release_tm_msg(TM_MSG_S* tmMsg)
{
    return ReleaseTmMsgHand(tmMsg);
}

UNI_REF_DATA_S* uni_ref_data_create(void* data, uint32_t len, int copy, uint32_t count)
{
    if (copy == 1 && data == nullptr && len != 0) {
        return nullptr;
    }
    size_t size = sizeof(UNI_REF_DATA_S) + (copy == 1 ? len : 0);
    auto* ref = static_cast<UNI_REF_DATA_S*>(Malloc(size));
    if (ref == nullptr) {
        return nullptr;
    }
    *ref = UNI_REF_DATA_S{};
    if (CreateMutexAndInit(&ref->mutex) != UNI_OK) {
        Free(ref);
        return nullptr;
    }
    ref->refCount = count;
    ref->len = len;
    if (copy == 1) {
        ref->data = ref + 1;
        if (len != 0) {
            memcpy(ref->data, data, len);
        }
    } else {
        ref->data = data;
    }
    ref->notOwned = 0;
    return ref;
}

namespace {

// A referenced datum is freed with the holder; a copied one lives in the holder's block.
void __ref_release(UNI_REF_DATA_S* ref)
{
    ReleaseMutex(ref->mutex);
    if (ref->data != static_cast<void*>(ref + 1)) {
        Free(ref->data);
    }
    Free(ref);
}

}  // namespace

int uni_ref_data_get(UNI_REF_DATA_S* ref)
{
    if (ref == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(ref->mutex);
    ++ref->refCount;
    return UNI_OK;
}

int uni_ref_data_put(UNI_REF_DATA_S* ref)
{
    if (ref == nullptr) {
        return UNI_INVALID_PARM;
    }
    bool last = false;
    {
        UniMutexGuard lock(ref->mutex);
        if (ref->refCount > 0) {
            --ref->refCount;
        }
        last = ref->refCount == 0;
    }
    if (last) {
        __ref_release(ref);
    }
    return UNI_OK;
}

int uni_ref_data_free(UNI_REF_DATA_S* ref)
{
    if (ref == nullptr) {
        return UNI_INVALID_PARM;
    }
    __ref_release(ref);
    return UNI_OK;
}
