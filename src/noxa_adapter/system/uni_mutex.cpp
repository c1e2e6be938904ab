#include "noxa_adapter/system/uni_mutex.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"

#include <new>
#include <pthread.h>

struct UNI_MUTEX_S {
    pthread_mutex_t mutex;
};

int CreateMutexAndInit(MUTEX_HANDLE* pMutexHandle)
{
    if (pMutexHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    void* block = Malloc(sizeof(UNI_MUTEX_S));
    if (block == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    auto* m = new (block) UNI_MUTEX_S;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        Free(block);
        return UNI_MUTEX_INIT_FAILED;
    }
    *pMutexHandle = m;
    return UNI_OK;
}

int MutexLock(MUTEX_HANDLE mutexHandle)
{
    if (mutexHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    return pthread_mutex_lock(&mutexHandle->mutex) == 0 ? UNI_OK : UNI_MUTEX_LOCK_FAILED;
}

int MutexUnLock(MUTEX_HANDLE mutexHandle)
{
    if (mutexHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    return pthread_mutex_unlock(&mutexHandle->mutex) == 0 ? UNI_OK : UNI_MUTEX_UNLOCK_FAILED;
}

int ReleaseMutex(MUTEX_HANDLE mutexHandle)
{
    if (mutexHandle == nullptr) {
        return UNI_INVALID_PARM;
    }
    if (pthread_mutex_destroy(&mutexHandle->mutex) != 0) {
        return UNI_MUTEX_RELEASE_FAILED;
    }
    Free(mutexHandle);
    return UNI_OK;
}
