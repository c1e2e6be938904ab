// Message queues, the message worker and timer messages, and shared reference-counted data.
//
// A message queue is a FIFO of (id, data, length) drained by one dispatch loop that calls the
// handler registered for the id; the handler owns the data. A message worker is one thread
// running a queue's loop; a timer message is a system timer whose expiry posts a message to the
// worker, so that timed work runs on the worker's thread instead of the timer thread.
#pragma once

#include "noxa_adapter/system/uni_list.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/system/uni_thread.h"
#include "noxa_base/sys_serv/sys_timer.h"

#include <cstdint>

typedef uint32_t MSG_ID;  // the dispatch uses the low 16 bits

typedef struct {
    MSG_ID msgID;
    void* pMsgData;
    uint32_t msgDataLen;
} MESSAGE_S;

typedef void (*MSG_CALLBACK)(MESSAGE_S* msg);

struct MSG_NODE_S {
    LIST_HEAD node;
    MESSAGE_S msg;
};

struct MSG_QUE_S;
typedef MSG_QUE_S* MSG_QUE_HANDLE;

int CreateMsgQueAndInit(MSG_QUE_HANDLE* pMsgQueHandle);
// Links a node at the tail (atTail 1) or the head (0). Does not post the semaphore.
int AddMsgNodeToQue(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, void* data, uint32_t len, int atTail);
int PostMsgToQue(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, void* data, uint32_t len);
// At the head: jumps the queue.
int PostInstancyMsgToQue(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, void* data, uint32_t len);
// Waits for a posted message and returns the first node without unlinking it; -502 when the
// message was purged meanwhile.
int WaitMsgFromQue(MSG_QUE_HANDLE msgQueHandle, MSG_NODE_S** ppMsgNode);
int GetFirstMsgFromQue(MSG_QUE_HANDLE msgQueHandle, MSG_NODE_S** ppMsgNode);
// Unlinks and frees the node (not its data).
int DelAndFreeMsgNodeFromQue(MSG_QUE_HANDLE msgQueHandle, MSG_NODE_S* msgNode);
int RegMsgHandler(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID, MSG_CALLBACK handler);
int UnregMsgHandler(MSG_QUE_HANDLE msgQueHandle, MSG_ID msgID);
// A free handler slot, growing the table by 4 when every slot is in use.
int GetFreeMsgId(MSG_QUE_HANDLE msgQueHandle, uint16_t* pMsgID);
// Runs handlers until the queue is released. A message whose id has no handler is logged and its
// data given back with Free: post only data from Malloc.
int MsgQueDispatchLoop(MSG_QUE_HANDLE msgQueHandle);
// Ends a running loop and frees the queue once the loop is over (from inside a handler: when
// that handler returns). Pending nodes are freed, not their data.
int ReleaseMsgQue(MSG_QUE_HANDLE msgQueHandle);

// Timer messages.
struct TM_MSG_S;
typedef void (*TM_MSG_CB)(TM_MSG_S* tmMsg);
struct TM_MSG_S {
    TIMER_ID timerID;
    MSG_QUE_HANDLE msgQue;
    TM_MSG_CB cb;
    uint16_t msgID;
    void* data;  // the argument, for the callback
};

int CreateTmMsgHand(MSG_QUE_HANDLE msgQueHandle, void* data, TM_MSG_CB cb, TM_MSG_S** ppTmMsg);
int StartTmMsgHand(TM_MSG_S* tmMsg, uint32_t intervalMs, TIMER_TYPE_E type);
int StopTmMsgHand(TM_MSG_S* tmMsg);
// Deletes the timer (waiting for its running callback), drops the queued messages of it and
// frees it; may be called from its own callback.
int ReleaseTmMsgHand(TM_MSG_S* tmMsg);

// The message worker.
typedef struct {
    THRD_HANDLE thrdHandle;
    MSG_QUE_HANDLE msgQue;
} MSG_WORKER_S;
typedef MSG_WORKER_S* MSG_WORKER_HANDLE;

// Starts the system timer when needed, then the worker thread.
int CreateMsgWorker(MSG_WORKER_HANDLE* pWorker, THREAD_ENTER_CB enter, THREAD_EXIT_CB exit,
                    const THRD_PARAM_S* thrdParam);
void MsgWorkerThrd(void* arg);
int MsgWorkerPost(MSG_WORKER_HANDLE worker, MSG_ID msgID, void* data, uint32_t len);
// Posts a Malloc'd copy of the data; the handler frees it.
int MsgWorkerPostCopy(MSG_WORKER_HANDLE worker, MSG_ID msgID, const void* data, uint32_t len);
int MsgWorkerRegHandler(MSG_WORKER_HANDLE worker, MSG_ID msgID, MSG_CALLBACK handler);
int MsgWorkerUnregHandler(MSG_WORKER_HANDLE worker, MSG_ID msgID);
int MsgWorkerGetFreeMsgId(MSG_WORKER_HANDLE worker, uint16_t* pMsgID);
int MsgWorkerCreateTmMsg(MSG_WORKER_HANDLE worker, void* data, TM_MSG_CB cb, TM_MSG_S** ppTmMsg);
int cmmod_start_tm_msg(TM_MSG_S* tmMsg, uint32_t intervalMs, TIMER_TYPE_E type);
int cmmod_stop_tm_msg(TM_MSG_S* tmMsg);
int cmmod_release_tm_msg(TM_MSG_S* tmMsg);

// One buffer shared by several consumers; the last put releases it.
typedef struct {
    MUTEX_HANDLE mutex;
    uint32_t notOwned;  // always 0
    uint32_t refCount;
    uint32_t len;
    void* data;
} UNI_REF_DATA_S;

// copy 1: the bytes are copied into the holder's own block; otherwise the holder takes the
// caller's pointer (a Malloc'd block, freed with Free at release).
UNI_REF_DATA_S* uni_ref_data_create(void* data, uint32_t len, int copy, uint32_t count);
int uni_ref_data_get(UNI_REF_DATA_S* ref);
int uni_ref_data_put(UNI_REF_DATA_S* ref);
int uni_ref_data_free(UNI_REF_DATA_S* ref);
