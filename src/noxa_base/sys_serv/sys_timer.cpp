#include "noxa_base/sys_serv/sys_timer.h"

#include "noxa_adapter/system/uni_list.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/system/uni_thread.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <atomic>
#include <mutex>
#include <pthread.h>

namespace {

struct TIMER_NODE_S {
    LIST_HEAD node;
    uint32_t expireSec;
    uint32_t expireMs;
    uint32_t intervalMs;
    uint32_t armed;
    SYS_TIMER_CB cb;
    uint32_t id;
    TIMER_TYPE_E type;
    void* arg;
    uint64_t lastPass;  // the pass that last ran it: a pass runs each timer at most once
};

constexpr uint32_t kPassMs = 10;
constexpr uint32_t kWaitStepMs = 1;
constexpr TIMER_ID kMaxTimerId = 0xFFFF;

}  // namespace

struct TIMER_QUE_S {
    LIST_HEAD timers;
    uint32_t count;
    MUTEX_HANDLE mutex;
    uint64_t passes;
    // The callback running right now, so that deleting its timer can wait for it.
    bool running;
    uint32_t runningId;
    pthread_t runningThread;
};

namespace {

struct SysTimerService {
    std::atomic<bool> inited{false};
    TIMER_QUE_HANDLE que = nullptr;
    THRD_HANDLE thrd = nullptr;
    std::atomic<bool> threadDone{false};
    // Set when the service is released from one of its own callbacks: the thread then frees the
    // queue itself once its pass is over.
    std::atomic<bool> releaseOnExit{false};
};

SysTimerService s_timer;
std::once_flag s_timerOnce;
thread_local bool t_onTimerThread = false;

TIMER_NODE_S* __entry(LIST_HEAD* pos)
{
    return UNI_LIST_ENTRY(pos, TIMER_NODE_S, node);
}

TIMER_NODE_S* __find(TIMER_QUE_HANDLE que, TIMER_ID id)
{
    UNI_LIST_FOR_EACH(pos, &que->timers) {
        TIMER_NODE_S* t = __entry(pos);
        if (t->id == id) {
            return t;
        }
    }
    return nullptr;
}

TIMER_NODE_S* __last(TIMER_QUE_HANDLE que)
{
    return uni_list_empty(&que->timers) ? nullptr : __entry(que->timers.prev);
}

// The next id: last + 1, or 1 for an empty queue; past 65535 the lowest id not in use (the list
// is in ascending id order). 0 when all are in use.
TIMER_ID __idle_id_locked(TIMER_QUE_HANDLE que)
{
    TIMER_NODE_S* last = __last(que);
    if (last == nullptr) {
        return 1;
    }
    if (last->id < kMaxTimerId) {
        return static_cast<TIMER_ID>(last->id + 1);
    }
    uint32_t want = 1;
    UNI_LIST_FOR_EACH(pos, &que->timers) {
        if (__entry(pos)->id != want) {
            break;
        }
        ++want;
    }
    return want <= kMaxTimerId ? static_cast<TIMER_ID>(want) : 0;
}

TIMER_NODE_S* __new_node(uint32_t intervalMs, SYS_TIMER_CB cb, TIMER_ID id, void* arg)
{
    auto* t = static_cast<TIMER_NODE_S*>(Malloc(sizeof(TIMER_NODE_S)));
    if (t != nullptr) {
        *t = TIMER_NODE_S{};
        t->intervalMs = intervalMs;
        t->cb = cb;
        t->id = id;
        t->arg = arg;
        t->type = TIMER_ONCE;
    }
    return t;
}

// Inserts at its place in id order (at the tail unless the id is a reused one).
void __insert_sorted(TIMER_QUE_HANDLE que, TIMER_NODE_S* t)
{
    TIMER_NODE_S* last = __last(que);
    if (last == nullptr || last->id < t->id) {
        uni_list_add_tail(&t->node, &que->timers);
        ++que->count;
        return;
    }
    UNI_LIST_FOR_EACH(pos, &que->timers) {
        if (__entry(pos)->id > t->id) {
            uni_list_add_tail(&t->node, pos);  // right before pos
            ++que->count;
            return;
        }
    }
    uni_list_add_tail(&t->node, &que->timers);
    ++que->count;
}

void __expiry_from_now(TIMER_NODE_S* t)
{
    uint32_t sec = 0;
    uint32_t ms = 0;
    uni_get_system_time(&sec, &ms);
    t->expireSec = sec + t->intervalMs / 1000;
    t->expireMs = ms + t->intervalMs % 1000;
    if (t->expireMs >= 1000) {
        t->expireSec += 1;
        t->expireMs -= 1000;
    }
}

bool __due(const TIMER_NODE_S* t, uint32_t sec, uint32_t ms)
{
    return t->expireSec < sec || (t->expireSec == sec && t->expireMs <= ms);
}

int __service_check()
{
    if (!s_timer.inited.load()) {
        PR_ERR("system timer has not been inited");
        return UNI_COM_ERROR;
    }
    return UNI_OK;
}

// One queue operation on the service's queue, with its failure line.
int __service_op(int (*op)(TIMER_QUE_HANDLE, TIMER_ID), TIMER_ID timerID, const char* failFormat)
{
    int ret = __service_check();
    if (ret == UNI_OK) {
        ret = op(s_timer.que, timerID);
        if (ret != UNI_OK) {
            PR_ERR(failFormat, timerID, ret);
        }
    }
    return ret;
}

int __service_start()
{
    int ret = CreateTimerQueAndInit(&s_timer.que);
    if (ret != UNI_OK) {
        PR_ERR("create timer queue fails");
        return ret;
    }
    THRD_PARAM_S param = {3072, 5, "sys_timer"};
    ret = CreateAndStart(&s_timer.thrd, nullptr, nullptr, sys_timer_thrd, s_timer.que, &param);
    if (ret != UNI_OK) {
        PR_ERR("create timer thread fails");
        ReleaseTimerQue(s_timer.que);
        s_timer.que = nullptr;
        return ret;
    }
    s_timer.inited.store(true);
    return UNI_OK;
}

}  // namespace

int CreateTimerQueAndInit(TIMER_QUE_HANDLE* pTimerQueHandle)
{
    if (pTimerQueHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    auto* que = static_cast<TIMER_QUE_S*>(Malloc(sizeof(TIMER_QUE_S)));
    if (que == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    *que = TIMER_QUE_S{};
    uni_list_init(&que->timers);
    int ret = CreateMutexAndInit(&que->mutex);
    if (ret != UNI_OK) {
        Free(que);
        return ret;
    }
    *pTimerQueHandle = que;
    return UNI_OK;
}

int ReleaseTimerQue(TIMER_QUE_HANDLE timerQueHandle)
{
    if (timerQueHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    int ret = ReleaseMutex(timerQueHandle->mutex);
    if (ret != UNI_OK) {
        return ret;
    }
    UNI_LIST_FOR_EACH_SAFE(pos, nxt, &timerQueHandle->timers) {
        uni_list_del(pos);
        Free(__entry(pos));
    }
    Free(timerQueHandle);
    return UNI_OK;
}

int AddTimerToQue(TIMER_QUE_HANDLE timerQueHandle, uint32_t intervalMs, SYS_TIMER_CB cb, TIMER_ID timerID,
                  void* arg)
{
    if (timerQueHandle == nullptr || cb == nullptr || timerID == 0) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(timerQueHandle->mutex);
    TIMER_NODE_S* last = __last(timerQueHandle);
    // Ids only grow along the list; an id equal to the last one is a duplicate too.
    if (last != nullptr && last->id >= timerID) {
        return __find(timerQueHandle, timerID) != nullptr ? UNI_TIMER_ID_EXIST : UNI_TIMER_ID_INVALID;
    }
    TIMER_NODE_S* t = __new_node(intervalMs, cb, timerID, arg);
    if (t == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    uni_list_add_tail(&t->node, &timerQueHandle->timers);
    ++timerQueHandle->count;
    return UNI_OK;
}

int DeleteTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID)
{
    if (timerQueHandle == nullptr || timerID == 0) {
        return UNI_INVALID_PARM;
    }
    TIMER_NODE_S* t = nullptr;
    {
        UniMutexGuard lock(timerQueHandle->mutex);
        t = __find(timerQueHandle, timerID);
        if (t == nullptr) {
            return UNI_TIMER_ID_NOT_FOUND;
        }
        uni_list_del(&t->node);
        --timerQueHandle->count;
    }
    Free(t);
    // The caller may free the timer's argument next: a callback of this timer running on
    // another thread must be over first. From inside its own callback there is nothing to wait for.
    for (;;) {
        MutexLock(timerQueHandle->mutex);
        bool busy = timerQueHandle->running && timerQueHandle->runningId == timerID &&
                    !pthread_equal(timerQueHandle->runningThread, pthread_self());
        MutexUnLock(timerQueHandle->mutex);
        if (!busy) {
            break;
        }
        uni_sleep_ms(kWaitStepMs);
    }
    return UNI_OK;
}

int StartTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID, uint32_t intervalMs, TIMER_TYPE_E type)
{
    if (timerQueHandle == nullptr || timerID == 0) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(timerQueHandle->mutex);
    TIMER_NODE_S* t = __find(timerQueHandle, timerID);
    if (t == nullptr) {
        return UNI_TIMER_ID_NOT_FOUND;
    }
    if (intervalMs != 0) {
        t->intervalMs = intervalMs;
    }
    __expiry_from_now(t);
    t->type = type;
    t->armed = 1;
    return UNI_OK;
}

int TriggerTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID)
{
    if (timerQueHandle == nullptr || timerID == 0) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(timerQueHandle->mutex);
    TIMER_NODE_S* t = __find(timerQueHandle, timerID);
    if (t == nullptr) {
        return UNI_TIMER_ID_NOT_FOUND;
    }
    uint32_t sec = 0;
    uni_get_system_time(&sec, nullptr);
    // One second back, and never below 0: a wrapped expiry would never come.
    if (sec > 0) {
        t->expireSec = sec - 1;
    } else {
        t->expireSec = 0;
        t->expireMs = 0;
    }
    return UNI_OK;
}

int StopTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID)
{
    if (timerQueHandle == nullptr || timerID == 0) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(timerQueHandle->mutex);
    TIMER_NODE_S* t = __find(timerQueHandle, timerID);
    if (t == nullptr) {
        return UNI_TIMER_ID_NOT_FOUND;
    }
    t->armed = 0;
    return UNI_OK;
}

int IsTimerRunFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID)
{
    if (timerQueHandle == nullptr) {
        return 0;
    }
    UniMutexGuard lock(timerQueHandle->mutex);
    TIMER_NODE_S* t = __find(timerQueHandle, timerID);
    return t != nullptr ? static_cast<int>(t->armed) : 0;
}

int GetIdleTimerId(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID* pTimerID)
{
    if (timerQueHandle == nullptr || pTimerID == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(timerQueHandle->mutex);
    TIMER_ID id = __idle_id_locked(timerQueHandle);
    if (id == 0) {
        return UNI_COM_ERROR;
    }
    *pTimerID = id;
    return UNI_OK;
}

int DispatchTimerFromQue(TIMER_QUE_HANDLE timerQueHandle)
{
    if (timerQueHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    uint32_t sec = 0;
    uint32_t ms = 0;
    uni_get_system_time(&sec, &ms);
    MutexLock(timerQueHandle->mutex);
    const uint64_t pass = ++timerQueHandle->passes;
    for (;;) {
        TIMER_NODE_S* due = nullptr;
        // From the head each time: the last callback may have changed the list.
        UNI_LIST_FOR_EACH(pos, &timerQueHandle->timers) {
            TIMER_NODE_S* t = __entry(pos);
            if (t->cb != nullptr && t->armed == 1 && t->lastPass != pass && __due(t, sec, ms)) {
                due = t;
                break;
            }
        }
        if (due == nullptr) {
            break;
        }
        due->lastPass = pass;
        if (due->type != TIMER_ONCE) {
            // Each period counts from the moment its callback is about to run.
            __expiry_from_now(due);
        } else {
            due->armed = 0;
        }
        SYS_TIMER_CB cb = due->cb;
        auto id = static_cast<TIMER_ID>(due->id);
        void* arg = due->arg;
        timerQueHandle->running = true;
        timerQueHandle->runningId = id;
        timerQueHandle->runningThread = pthread_self();
        MutexUnLock(timerQueHandle->mutex);
        cb(id, arg);
        MutexLock(timerQueHandle->mutex);
        timerQueHandle->running = false;
    }
    MutexUnLock(timerQueHandle->mutex);
    return UNI_OK;
}

void sys_timer_thrd(void* arg)
{
    auto* que = static_cast<TIMER_QUE_HANDLE>(arg);
    if (que == nullptr) {
        PR_ERR("sys timer handle init fail.\n");
        return;
    }
    t_onTimerThread = true;
    PR_DEBUG("system timer process run.\n");
    while (GetThrdSta(s_timer.thrd) == THRD_STA_RUNNING) {
        DispatchTimerFromQue(que);
        uni_sleep_ms(kPassMs);
    }
    PR_DEBUG("system timer process exit.\n");
    if (s_timer.releaseOnExit.load()) {
        int ret = ReleaseTimerQue(que);
        if (ret != UNI_OK) {
            PR_ERR("ReleaseTimerQue Fails. %d", ret);
        }
    }
    s_timer.threadDone.store(true);
}

int system_timer_init(void)
{
    int ret = UNI_OK;
    bool first = false;
    std::call_once(s_timerOnce, [&] {
        first = true;
        ret = __service_start();
    });
    if (first) {
        return ret;
    }
    if (s_timer.inited.load()) {
        PR_DEBUG("system timer has been inited");
        return UNI_OK;
    }
    PR_ERR("system timer has not been inited");
    return UNI_COM_ERROR;
}

int system_timer_release(void)
{
    if (!s_timer.inited.exchange(false)) {
        PR_ERR("system timer has not been inited");
        return UNI_COM_ERROR;
    }
    // A thread that has not yet marked itself running would refuse the stop and run for ever.
    while (GetThrdSta(s_timer.thrd) == THRD_STA_INIT) {
        uni_sleep_ms(kWaitStepMs);
    }
    int ret = DeleteThrdHandle(s_timer.thrd);
    if (ret != UNI_OK) {
        PR_ERR("Delete System Timer Thread Fails. %d", ret);
    } else {
        PR_DEBUG("Delete System Timer Thread Success");
    }
    if (t_onTimerThread) {
        // Inside a callback: the pass still walks the queue; the thread frees it at its end.
        s_timer.releaseOnExit.store(true);
        return UNI_OK;
    }
    while (!s_timer.threadDone.load()) {
        uni_sleep_ms(kWaitStepMs);
    }
    ret = ReleaseTimerQue(s_timer.que);
    if (ret != UNI_OK) {
        PR_ERR("ReleaseTimerQue Fails. %d", ret);
        return ret;
    }
    PR_DEBUG("ReleaseTimerQue Success");
    s_timer.que = nullptr;
    return UNI_OK;
}

int sys_add_timer(SYS_TIMER_CB cb, void* arg, TIMER_ID* pTimerID)
{
    int ret = __service_check();
    if (ret != UNI_OK) {
        return ret;
    }
    if (cb == nullptr || pTimerID == nullptr) {
        PR_ERR("add timer fails, invild input");
        return UNI_INVALID_PARM;
    }
    TIMER_QUE_HANDLE que = s_timer.que;
    // Id and insertion under one lock: two adders never get the same id.
    UniMutexGuard lock(que->mutex);
    TIMER_ID id = __idle_id_locked(que);
    if (id == 0) {
        PR_ERR("Get Idle Timer Id Fails %d", UNI_COM_ERROR);
        return UNI_COM_ERROR;
    }
    TIMER_NODE_S* t = __new_node(0, cb, id, arg);
    if (t == nullptr) {
        PR_ERR("add timer to queue fails %d", UNI_MALLOC_FAILED);
        return UNI_MALLOC_FAILED;
    }
    __insert_sorted(que, t);
    *pTimerID = id;
    return UNI_OK;
}

int sys_start_timer(TIMER_ID timerID, uint32_t intervalMs, TIMER_TYPE_E type)
{
    int ret = __service_check();
    if (ret == UNI_OK) {
        ret = StartTimerFromQue(s_timer.que, timerID, intervalMs, type);
        if (ret != UNI_OK) {
            PR_ERR("Start Timer Fails %d %d %d ret:%d", timerID, intervalMs, type, ret);
        }
    }
    return ret;
}

int sys_trigger_timer(TIMER_ID timerID)
{
    return __service_op(TriggerTimerFromQue, timerID, "Trigger Timer Fails %d  ret:%d");
}

int sys_stop_timer(TIMER_ID timerID)
{
    return __service_op(StopTimerFromQue, timerID, "Stop Timer Fails %d ret:%d");
}

int sys_delete_timer(TIMER_ID timerID)
{
    return __service_op(DeleteTimerFromQue, timerID, "Delete Timer Fails %d ret:%d");
}

int IsThisSysTimerRun(TIMER_ID timerID)
{
    if (!s_timer.inited.load()) {
        return 0;
    }
    return IsTimerRunFromQue(s_timer.que, timerID);
}
