// The online-log service: the place where failed jobs report their log sequences. Texts posted
// to its message id on the common worker "cmmod" are written to the log; uploading them to the
// cloud comes with the cloud API.
#pragma once

#include "noxa_iot_sdk/online_log/log_seq.h"

#include <cstdint>

#define LOG_SERV_NO_MSG_ID 0xFFFF
#define HTTPC_LOG_UP_BUF_LEN 5120

// Registers the service's handler on "cmmod" (which must exist). A second call returns 0.
int log_serv_init(void);
// The service's message id on "cmmod"; 65535 before log_serv_init.
uint16_t log_serv_get_msg_id(void);
// Error callback for log sequences: renders the frozen sequence and posts the text to the
// service, which owns it from then on.
void log_serv_handle_err_log_seq_cb(LOG_SEQ_HANDLE seq);

// Reserves, once, the buffer in which the HTTP log upload gathers its texts. 0, or -3.
int httpc_ipc_log_up_init(void);
// The buffer, HTTPC_LOG_UP_BUF_LEN bytes; NULL before httpc_ipc_log_up_init.
char* httpc_ipc_log_up_buf(void);
