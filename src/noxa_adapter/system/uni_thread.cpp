#include "noxa_adapter/system/uni_thread.h"

#include "noxa_adapter/system/uni_list.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/prctl.h>

struct UNI_THRD_S {
    pthread_t tid;
    std::atomic<int> status;
    THREAD_FUNC func;
    void* arg;
    THREAD_ENTER_CB enter;
    THREAD_EXIT_CB exit;
    char name[THRD_NAME_LEN + 2];
    LIST_HEAD delNode;
};

namespace {

// The stopped records waiting to be freed; its mutex also guards every record's state changes.
struct THRD_DEL_MGR_S {
    LIST_HEAD delList;
    MUTEX_HANDLE mutex;
};

// How often a thread whose function returned looks for its stop request.
constexpr uint32_t kStopPollMs = 200;

std::atomic<THRD_DEL_MGR_S*> s_delMgr{nullptr};
std::once_flag s_delMgrOnce;

THRD_DEL_MGR_S* __get_del_mgr()
{
    std::call_once(s_delMgrOnce, [] {
        PR_DEBUG("Init Thread Del Mgr");
        auto* mgr = static_cast<THRD_DEL_MGR_S*>(Malloc(sizeof(THRD_DEL_MGR_S)));
        if (mgr == nullptr) {
            PR_ERR("Malloc Del Mgr Fails");
            return;
        }
        uni_list_init(&mgr->delList);
        if (CreateMutexAndInit(&mgr->mutex) != UNI_OK) {
            PR_ERR("Create Mutex Fails");
            Free(mgr);
            return;
        }
        s_delMgr.store(mgr);
    });
    return s_delMgr.load();
}

// Frees finished records in the order of their stop requests; stops at the first one still
// running, which a later sweep picks up.
void __free_all_del_thrd_node()
{
    THRD_DEL_MGR_S* mgr = s_delMgr.load();
    MutexLock(mgr->mutex);
    while (!uni_list_empty(&mgr->delList)) {
        PR_TRACE("del list not empty...deleting");
        auto* rec = UNI_LIST_ENTRY(mgr->delList.next, UNI_THRD_S, delNode);
        if (rec->status.load() != THRD_STA_DELETE) {
            PR_TRACE("Thread:%s is still running..", rec->name);
            break;
        }
        uni_list_del(&rec->delNode);
        MutexUnLock(mgr->mutex);
        PR_TRACE("Final Free Thread:%s", rec->name);
        unsigned long tid = static_cast<unsigned long>(rec->tid);
        rec->~UNI_THRD_S();
        Free(rec);
        PR_TRACE("real delete thread:0x%lx", tid);
        MutexLock(mgr->mutex);
    }
    MutexUnLock(mgr->mutex);
}

int __read_status(UNI_THRD_S* rec)
{
    UniMutexGuard lock(s_delMgr.load()->mutex);
    return rec->status.load();
}

void* __WrapRunFunc(void* arg)
{
    auto* rec = static_cast<UNI_THRD_S*>(arg);
    __free_all_del_thrd_node();
    prctl(PR_SET_NAME, rec->name);
    if (rec->enter != nullptr) {
        PR_DEBUG("enter Thread:%s func call", rec->name);
        rec->enter();
    }
    PR_DEBUG("Thread:%s Exec Start. Set to Running Status", rec->name);
    {
        UniMutexGuard lock(s_delMgr.load()->mutex);
        rec->status.store(THRD_STA_RUNNING);
    }
    rec->func(rec->arg);

    // A function that returns without a stop request keeps its thread until one comes.
    while (__read_status(rec) != THRD_STA_STOP) {
        uni_sleep_ms(kStopPollMs);
    }
    if (rec->exit != nullptr) {
        PR_DEBUG("exit Thread:%s func call", rec->name);
        rec->exit();
    }
    PR_DEBUG("Thread:%s Exec Finish. Set to Delete Status", rec->name);
    {
        UniMutexGuard lock(s_delMgr.load()->mutex);
        // From here on any sweep may free the record.
        rec->status.store(THRD_STA_DELETE);
    }
    __free_all_del_thrd_node();
    return nullptr;
}

}  // namespace

int CreateAndStart(THRD_HANDLE* pThrdHandle, THREAD_ENTER_CB enter, THREAD_EXIT_CB exit, THREAD_FUNC func,
                   void* arg, const THRD_PARAM_S* thrdParam)
{
    if (__get_del_mgr() == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    if (func == nullptr || pThrdHandle == nullptr) {
        PR_ERR("Invalid Param");
        return UNI_INVALID_PARM;
    }
    void* block = Malloc(sizeof(UNI_THRD_S));
    if (block == nullptr) {
        PR_ERR("Malloc Thread Mgr Fails");
        return UNI_MALLOC_FAILED;
    }
    memset(block, 0, sizeof(UNI_THRD_S));
    auto* rec = new (block) UNI_THRD_S;
    rec->status.store(THRD_STA_INIT);
    rec->func = func;
    rec->arg = arg;
    rec->enter = enter;
    rec->exit = exit;
    uni_list_init(&rec->delNode);
    if (thrdParam != nullptr && thrdParam->thrdname != nullptr) {
        strncpy(rec->name, thrdParam->thrdname, THRD_NAME_LEN);
        rec->name[THRD_NAME_LEN] = '\0';
    }
    // The handle is out before the thread runs: thread functions poll it.
    *pThrdHandle = rec;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int err = pthread_create(&rec->tid, &attr, __WrapRunFunc, rec);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        PR_ERR("Create Thread Fails %d", err);
        rec->~UNI_THRD_S();
        Free(rec);
        *pThrdHandle = nullptr;
        return UNI_THRD_CREATE_FAILED;
    }
    return UNI_OK;
}

int GetThrdSta(THRD_HANDLE thrdHandle)
{
    if (thrdHandle == nullptr) {
        PR_ERR("Invalid Param");
        return -1;
    }
    return thrdHandle->status.load();
}

int DeleteThrdHandle(THRD_HANDLE thrdHandle)
{
    THRD_DEL_MGR_S* mgr = s_delMgr.load();
    if (thrdHandle == nullptr || mgr == nullptr) {
        PR_ERR("Invalid Param");
        return UNI_INVALID_PARM;
    }
    PR_DEBUG("Delete Thread:%s", thrdHandle->name);
    UniMutexGuard lock(mgr->mutex);
    int status = thrdHandle->status.load();
    if (status == THRD_STA_INIT) {
        return -1;
    }
    if (status != THRD_STA_RUNNING) {
        // A second request: the record is on the delete list already.
        return UNI_OK;
    }
    PR_DEBUG("Add Thread:%s To Delete List", thrdHandle->name);
    thrdHandle->status.store(THRD_STA_STOP);
    uni_list_add_tail(&thrdHandle->delNode, &mgr->delList);
    return UNI_OK;
}
