// The common message worker "cmmod" of the cloud connection: one thread on which posted messages
// and timer messages of the cloud core run, so that their work stays off the "sys_timer" thread.
// Starting, stopping and releasing a timer message are cmmod_start_tm_msg, cmmod_stop_tm_msg and
// cmmod_release_tm_msg of the message worker (noxa_base/sys_serv/uni_msg_queue.h).
#pragma once

#include "noxa_base/sys_serv/uni_msg_queue.h"

#include <cstdint>

// Creates the worker once (stack 4096, priority 4, named "cmmod"), starting the system timer
// first. A second call returns 0.
int cmmod_init(void);
// The worker, NULL before cmmod_init.
MSG_WORKER_HANDLE cmmod_get_worker(void);
// A free message id on the worker with `handler` registered for it; -2 before cmmod_init.
int cmmod_reg_msg_hand(MSG_CALLBACK handler, uint16_t* msgID);
// A stopped timer message whose callback runs on "cmmod"; -2 before cmmod_init.
int cmmod_cr_tm_msg_hand(TM_MSG_CB cb, void* arg, TM_MSG_S** tmMsg);
// Posts Malloc'd data; the receiver frees it with Free. The data is handed over in every case:
// when the post fails (no worker, no memory) it is freed here.
int cmmod_post_msg(MSG_ID msgID, void* data, uint32_t len);
// Posts a fresh Malloc'd copy of the buffer; the receiver frees the copy.
int cmmod_post_msg_copy(MSG_ID msgID, const void* buf, uint32_t len);
