// Threads of the cloud-side runtime. Every thread is created detached through CreateAndStart and
// stops cooperatively: its function loops while GetThrdSta() reads THRD_STA_RUNNING;
// DeleteThrdHandle requests the stop, and the record is freed later by whichever wrapped thread
// next sweeps the delete list.
#pragma once

#include <cstdint>

typedef enum {
    THRD_STA_INIT = 0,     // record created
    THRD_STA_RUNNING = 1,  // set just before the thread function is called
    THRD_STA_STOP = 2,     // stop requested
    THRD_STA_DELETE = 3,   // finished; the record may be freed
} THRD_STA_E;

// Only the name is applied (its first 10 characters); stack size and priority are accepted.
typedef struct {
    uint32_t stackDepth;
    uint32_t priority;
    const char* thrdname;
} THRD_PARAM_S;

struct UNI_THRD_S;
typedef UNI_THRD_S* THRD_HANDLE;

typedef void (*THREAD_ENTER_CB)(void);
typedef void (*THREAD_EXIT_CB)(void);
typedef void (*THREAD_FUNC)(void* arg);

#define THRD_NAME_LEN 10

int CreateAndStart(THRD_HANDLE* pThrdHandle, THREAD_ENTER_CB enter, THREAD_EXIT_CB exit, THREAD_FUNC func,
                   void* arg, const THRD_PARAM_S* thrdParam);
// The record's state; -1 for a null handle.
int GetThrdSta(THRD_HANDLE thrdHandle);
// Requests the stop: -1 while the thread has not yet started running (nothing changes). The
// caller must not use the handle afterwards.
int DeleteThrdHandle(THRD_HANDLE thrdHandle);
