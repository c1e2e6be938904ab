// Counting semaphores of the cloud-side runtime: opaque handles over unnamed POSIX semaphores.
#pragma once

#include <cstdint>

struct UNI_SEM_S;
typedef UNI_SEM_S* SEM_HANDLE;

// The maximum is only logged: POSIX semaphores have no ceiling.
int CreateAndInitSemaphore(SEM_HANDLE* pHandle, uint32_t semCnt, uint32_t semMax);
// Blocks until the count is positive, then decrements it; an interrupted wait is a failure (-202).
int WaitSemaphore(SEM_HANDLE semHandle);
int PostSemaphore(SEM_HANDLE semHandle);
// Destroys and frees; the block is freed even when destroying fails (-109).
int ReleaseSemaphore(SEM_HANDLE semHandle);
