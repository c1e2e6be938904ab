// Mutexes of the cloud-side runtime: opaque handles over POSIX mutexes (not recursive).
#pragma once

struct UNI_MUTEX_S;
typedef UNI_MUTEX_S* MUTEX_HANDLE;

int CreateMutexAndInit(MUTEX_HANDLE* pMutexHandle);
int MutexLock(MUTEX_HANDLE mutexHandle);
int MutexUnLock(MUTEX_HANDLE mutexHandle);
// Destroys and frees the mutex; on a failed destroy the block is kept.
int ReleaseMutex(MUTEX_HANDLE mutexHandle);

// Holds a MUTEX_HANDLE for one scope.
class UniMutexGuard {
public:
    explicit UniMutexGuard(MUTEX_HANDLE m) : mMutex(m) { MutexLock(mMutex); }
    ~UniMutexGuard() { MutexUnLock(mMutex); }
    UniMutexGuard(const UniMutexGuard&) = delete;
    UniMutexGuard& operator=(const UniMutexGuard&) = delete;

private:
    MUTEX_HANDLE mMutex;
};
