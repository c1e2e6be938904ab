#include "noxa_base/sys_serv/nq_work_queue.h"

#include "noxa_adapter/system/uni_list.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/system/uni_thread.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>

namespace {

constexpr uint32_t kNqStackSize = 2560;
constexpr uint32_t kNqPriority = 3;
constexpr uint32_t kNqThreads = 2;
constexpr uint32_t kWaitStepMs = 1;

enum : int { WORK_IDLE = 1, WORK_RUNNING = 2 };

// One-slot wake-up: signals while it is set are one.
class WakeUp {
public:
    void Signal()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mSet = true;
        mCv.notify_one();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mCv.wait(lock, [this] { return mSet; });
        mSet = false;
    }

private:
    std::mutex mMutex;
    std::condition_variable mCv;
    bool mSet = false;
};

struct WORK_JOB_S {
    LIST_HEAD node;
    WORK_FUNC func;
    void* data;
};

struct WORK_THRD_S {
    std::atomic<int> run{0};
    THRD_HANDLE thrd = nullptr;
    WakeUp wake;
    std::atomic<int> state{WORK_IDLE};
    WORK_THRD_POOL_S* pool = nullptr;
    std::atomic<bool> started{false};  // CreateAndStart succeeded
    std::atomic<bool> exited{false};   // WorkThrdPoolProc is over
};

WORK_THRD_POOL_HANDLE s_nqPool = nullptr;
std::mutex s_nqMutex;

}  // namespace

struct WORK_THRD_POOL_S {
    LIST_HEAD jobs;
    MUTEX_HANDLE mutex;
    WORK_THRD_S* thrds;
    int thrdNum;
};

namespace {

void __free_pool(WORK_THRD_POOL_S* pool, uint32_t records)
{
    for (uint32_t i = 0; i < records; ++i) {
        pool->thrds[i].~WORK_THRD_S();
    }
    Free(pool->thrds);
    ReleaseMutex(pool->mutex);
    Free(pool);
}

// Stops the threads that did start and waits until none runs the pool any more: only then may
// their records go.
void __stop_started(WORK_THRD_POOL_S* pool, uint32_t records)
{
    for (uint32_t i = 0; i < records; ++i) {
        WORK_THRD_S& t = pool->thrds[i];
        if (!t.started.load()) {
            continue;
        }
        t.run.store(0);
        t.wake.Signal();
        while (!t.exited.load()) {
            uni_sleep_ms(kWaitStepMs);
        }
        DeleteThrdHandle(t.thrd);
    }
}

}  // namespace

int CreateWorkThrdPool(WORK_THRD_POOL_HANDLE* pPool, uint32_t stackSize, uint32_t priority, uint32_t thrdNum)
{
    if (pPool == nullptr || thrdNum == 0) {
        return UNI_INVALID_PARM;
    }
    auto* pool = static_cast<WORK_THRD_POOL_S*>(Malloc(sizeof(WORK_THRD_POOL_S)));
    if (pool == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    *pool = WORK_THRD_POOL_S{};
    uni_list_init(&pool->jobs);
    int ret = CreateMutexAndInit(&pool->mutex);
    if (ret != UNI_OK) {
        Free(pool);
        return ret;
    }
    pool->thrds = static_cast<WORK_THRD_S*>(Malloc(sizeof(WORK_THRD_S) * thrdNum));
    if (pool->thrds == nullptr) {
        __free_pool(pool, 0);
        return UNI_MALLOC_FAILED;
    }
    for (uint32_t i = 0; i < thrdNum; ++i) {
        new (&pool->thrds[i]) WORK_THRD_S;
        pool->thrds[i].pool = pool;
    }
    pool->thrdNum = static_cast<int>(thrdNum);
    for (uint32_t i = 0; i < thrdNum; ++i) {
        WORK_THRD_S& t = pool->thrds[i];
        char name[24];
        snprintf(name, sizeof(name), "%s-%u", "wk_th", i);
        THRD_PARAM_S param = {stackSize, priority, name};
        t.run.store(1);
        ret = CreateAndStart(&t.thrd, nullptr, nullptr, WorkThrdPoolProc, &t, &param);
        if (ret != UNI_OK) {
            t.run.store(0);
            __stop_started(pool, thrdNum);
            __free_pool(pool, thrdNum);
            return ret;
        }
        t.started.store(true);
    }
    *pPool = pool;
    return UNI_OK;
}

void WorkThrdPoolProc(void* arg)
{
    auto* t = static_cast<WORK_THRD_S*>(arg);
    WORK_THRD_POOL_S* pool = t->pool;
    t->state.store(WORK_IDLE);
    while (t->run.load() == 1) {
        t->wake.Wait();
        if (t->run.load() != 1) {
            break;
        }
        MutexLock(pool->mutex);
        if (uni_list_empty(&pool->jobs)) {
            t->state.store(WORK_IDLE);
            MutexUnLock(pool->mutex);
            continue;
        }
        auto* job = UNI_LIST_ENTRY(pool->jobs.next, WORK_JOB_S, node);
        t->state.store(WORK_RUNNING);
        uni_list_del(&job->node);
        MutexUnLock(pool->mutex);
        // Look at the list again after this job: adders signal only idle threads.
        t->wake.Signal();
        job->func(job->data);
        Free(job);
        t->state.store(WORK_IDLE);
    }
    t->exited.store(true);
}

int AddWorkToThrdPool(WORK_THRD_POOL_HANDLE pool, WORK_FUNC func, void* data)
{
    if (pool == nullptr || func == nullptr) {
        return UNI_INVALID_PARM;
    }
    auto* job = static_cast<WORK_JOB_S*>(Malloc(sizeof(WORK_JOB_S)));
    if (job == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    job->func = func;
    job->data = data;
    UniMutexGuard lock(pool->mutex);
    uni_list_add_tail(&job->node, &pool->jobs);
    for (int i = 0; i < pool->thrdNum; ++i) {
        if (pool->thrds[i].state.load() == WORK_IDLE) {
            pool->thrds[i].wake.Signal();
            break;
        }
    }
    return UNI_OK;
}

int nq_work_queue_init(void)
{
    std::lock_guard<std::mutex> lock(s_nqMutex);
    if (s_nqPool != nullptr) {
        PR_DEBUG("nq work queue is alreayd inited");
        return UNI_OK;
    }
    PR_DEBUG("init work queue. stack size:%d pro:%d num:%d", kNqStackSize, kNqPriority, kNqThreads);
    int ret = CreateWorkThrdPool(&s_nqPool, kNqStackSize, kNqPriority, kNqThreads);
    if (ret != UNI_OK) {
        s_nqPool = nullptr;
        PR_ERR("nq work queue create fails. ret:%d", ret);
        return ret;
    }
    PR_DEBUG("nq work queue create success");
    return UNI_OK;
}

int nq_work_queue_add(WORK_FUNC func, void* data)
{
    WORK_THRD_POOL_HANDLE pool = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_nqMutex);
        pool = s_nqPool;
    }
    if (pool == nullptr) {
        PR_ERR("nq work queue is NOT inited");
        return UNI_COM_ERROR;
    }
    int ret = AddWorkToThrdPool(pool, func, data);
    if (ret != UNI_OK) {
        PR_ERR("nq work queue add fails. ret:%d", ret);
    } else {
        PR_DEBUG("nq work queue add success");
    }
    return ret;
}
