#include "noxa_adapter/system/uni_semaphore.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <new>
#include <semaphore.h>

struct UNI_SEM_S {
    sem_t sem;
};

int CreateAndInitSemaphore(SEM_HANDLE* pHandle, uint32_t semCnt, uint32_t semMax)
{
    if (pHandle == nullptr) {
        PR_ERR("invalid param");
        return UNI_INVALID_PARM;
    }
    void* block = Malloc(sizeof(UNI_SEM_S));
    if (block == nullptr) {
        PR_ERR("malloc fails");
        return UNI_MALLOC_FAILED;
    }
    auto* s = new (block) UNI_SEM_S;
    if (sem_init(&s->sem, 0, semCnt) != 0) {
        PR_ERR("semaphore init fails %d %d", semCnt, semMax);
        Free(block);
        return UNI_SEM_INIT_FAILED;
    }
    *pHandle = s;
    return UNI_OK;
}

int WaitSemaphore(SEM_HANDLE semHandle)
{
    if (semHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    return sem_wait(&semHandle->sem) == 0 ? UNI_OK : UNI_SEM_WAIT_FAILED;
}

int PostSemaphore(SEM_HANDLE semHandle)
{
    if (semHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    return sem_post(&semHandle->sem) == 0 ? UNI_OK : UNI_SEM_POST_FAILED;
}

int ReleaseSemaphore(SEM_HANDLE semHandle)
{
    if (semHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    int ret = sem_destroy(&semHandle->sem) == 0 ? UNI_OK : UNI_MUTEX_RELEASE_FAILED;
    Free(semHandle);
    return ret;
}
