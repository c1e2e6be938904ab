// Work pools: threads that each run queued (function, argument) jobs once, and the process-wide
// "nq work queue" of two such threads.
#pragma once

#include <cstdint>

typedef void (*WORK_FUNC)(void* data);

struct WORK_THRD_POOL_S;
typedef WORK_THRD_POOL_S* WORK_THRD_POOL_HANDLE;

// Threads are named "wk_th-0", "wk_th-1", ... The pool lives until the process ends.
int CreateWorkThrdPool(WORK_THRD_POOL_HANDLE* pPool, uint32_t stackSize, uint32_t priority, uint32_t thrdNum);
int AddWorkToThrdPool(WORK_THRD_POOL_HANDLE pool, WORK_FUNC func, void* data);
// Body of a work thread (argument: its record).
void WorkThrdPoolProc(void* arg);

int nq_work_queue_init(void);
// -1 before nq_work_queue_init.
int nq_work_queue_add(WORK_FUNC func, void* data);
