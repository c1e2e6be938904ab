// The system timer: one process-wide timer queue scanned every 10 ms by the thread "sys_timer",
// which runs the callbacks of expired timers on that thread. Expiry is on the monotonic clock
// (uni_get_system_time), so a test clock moves timers too.
#pragma once

#include <cstdint>

typedef uint16_t TIMER_ID;  // 0 is never a valid id

typedef enum {
    TIMER_ONCE = 0,
    TIMER_CYCLE = 1,  // any non-zero type is cyclic
} TIMER_TYPE_E;

typedef void (*SYS_TIMER_CB)(TIMER_ID timerID, void* pTimerArg);

struct TIMER_QUE_S;
typedef TIMER_QUE_S* TIMER_QUE_HANDLE;

// The service. Every call before system_timer_init returns -1. Initialisation happens once per
// process; after system_timer_release the service stays down.
int system_timer_init(void);
int system_timer_release(void);
// Adds a stopped timer and returns its id: the last id + 1, or the lowest free id once ids
// would pass 65535.
int sys_add_timer(SYS_TIMER_CB cb, void* arg, TIMER_ID* pTimerID);
// Arms the timer; an interval of 0 keeps the stored one.
int sys_start_timer(TIMER_ID timerID, uint32_t intervalMs, TIMER_TYPE_E type);
// An armed timer fires at the next pass.
int sys_trigger_timer(TIMER_ID timerID);
int sys_stop_timer(TIMER_ID timerID);
// Removes the timer; when its callback is running on another thread, waits for it to return.
int sys_delete_timer(TIMER_ID timerID);
// 1 when armed; 0 when stopped, absent or before init.
int IsThisSysTimerRun(TIMER_ID timerID);

// The timer queue under the service. Codes: -2 bad argument or id 0, -3 no memory, -401 id
// exists, -402 no such id, -403 id out of order.
int CreateTimerQueAndInit(TIMER_QUE_HANDLE* pTimerQueHandle);
int ReleaseTimerQue(TIMER_QUE_HANDLE timerQueHandle);
int AddTimerToQue(TIMER_QUE_HANDLE timerQueHandle, uint32_t intervalMs, SYS_TIMER_CB cb, TIMER_ID timerID,
                  void* arg);
int DeleteTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID);
int StartTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID, uint32_t intervalMs, TIMER_TYPE_E type);
int TriggerTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID);
int StopTimerFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID);
int IsTimerRunFromQue(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID timerID);
int GetIdleTimerId(TIMER_QUE_HANDLE timerQueHandle, TIMER_ID* pTimerID);
// One pass: runs the callback of every timer due at the pass time, each at most once.
int DispatchTimerFromQue(TIMER_QUE_HANDLE timerQueHandle);

// Body of the "sys_timer" thread (argument: the queue).
void sys_timer_thrd(void* arg);
