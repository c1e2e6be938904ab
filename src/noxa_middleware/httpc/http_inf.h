// One-call HTTP requests over the session client: open a session for the URL, send one request,
// read the response header, check a byte-range answer, hand the response to the caller's callback
// and close the session whatever happens. Also a small builder of URL query parameters and the
// "http" log sequence of the cloud connection.
#pragma once

#include "noxa_middleware/httpc/httpc.h"
#include "noxa_iot_sdk/online_log/log_seq.h"

#include <cstdint>

// Error codes of the request helpers.
#define HTTP_INF_OPEN_FAILED (-706)
#define HTTP_INF_PREPARE_FAILED (-707)
#define HTTP_INF_SEND_FAILED (-708)
#define HTTP_INF_RESP_HDR_FAILED (-711)
#define HTTP_INF_RANGE_REFUSED (-719)
#define HTTP_URL_PARAM_FULL (-705)
#define HTTP_URL_TRUNCATED (-704)

#define HTTP_URL_DEFAULT_BUF_LEN 1024
#define HTTP_LOG_SEQ_NAME "http"

typedef int (*HTTP_INF_READ_CB)(HTTP_SESSION_H session, uint8_t* buf, uint32_t len);

// What a response callback gets; it lives on the stack of the request call, and the session is
// closed as soon as the callback returns.
typedef struct {
    uint32_t chunked;
    uint32_t content_len;
    HTTP_SESSION_H session;
    HTTP_INF_READ_CB read_content;  // http_read_content on the session
    void* user_data;                // the last argument of the request call
    uint32_t status_code;           // not checked by the helpers (except for ranges)
    void* extra;                    // http_inf_client_post's extra argument, else NULL
} HTTP_RESP_S;

// Its result is the request's result.
typedef int (*HTTP_INF_RESP_CB)(HTTP_RESP_S* resp);

// All request calls: -2 for a NULL URL or callback; -706 open, -707 prepare, -708 send, -711
// response header, -719 unusable range answer; else the callback's result.
int http_inf_client_get(const char* url, HTTP_INF_RESP_CB cb, void* user_data);
// range_len 0: the whole file; otherwise bytes range_start .. range_start + range_len - 1, the
// answer checked to be a usable range (a Content-Length, status 206, or 200 for a range from
// byte 0; Accept-Ranges absent or "bytes").
int http_inf_client_get_file(const char* url, HTTP_INF_RESP_CB cb, void* user_data, uint32_t range_start,
                             uint32_t range_len);
int http_inf_client_post(const char* url, HTTP_INF_RESP_CB cb, const uint8_t* body, uint32_t body_len,
                         HTTP_HEAD_ADD_CB add_cb, void* add_data, void* extra, void* user_data);
// Only the Host and Content-Length lines; the rest comes from the add-header callback.
int http_inf_client_post_custom(const char* url, HTTP_INF_RESP_CB cb, const uint8_t* body, uint32_t body_len,
                                HTTP_HEAD_ADD_CB add_cb, void* add_data, void* user_data);
int http_inf_client_put(const char* url, HTTP_INF_RESP_CB cb, const uint8_t* body, uint32_t body_len,
                        HTTP_HEAD_ADD_CB add_cb, void* add_data, void* user_data);
// -1 for NULL or size 0; else http_read_content on the response's session.
int http_inf_read_resp_data(HTTP_RESP_S* resp, uint8_t* buf, uint32_t size);

// A URL under construction: the head text and, behind it in the same buffer, one "name=value"
// text per parameter, which the caller joins in the order its signing needs. One Malloc'd block,
// given back with Free.
typedef struct {
    uint8_t max_cnt;
    uint8_t cnt;
    char* pos[];
} HTTP_PARAM_H_S;

typedef struct {
    HTTP_PARAM_H_S* param_in;
    char* param_out;     // where the next parameter text goes
    uint16_t head_size;  // of the head text with its "?"
    uint16_t buf_len;
    char buf[];
} HTTP_URL_H_S;

// buf_len 0 means 1,024. NULL without memory.
HTTP_URL_H_S* create_http_url_h(uint16_t buf_len, uint8_t param_cnt);
// 0; -2 for NULL; -704 when the base does not fit.
int fill_url_head(HTTP_URL_H_S* hu, const char* url_h);
// 0; -2 for NULL; -705 table full; -704 no room; -1 formatting failed.
int fill_url_param(HTTP_URL_H_S* hu, const char* key, const char* value);

// Creates the "http" log sequence once: 0 or the code of create_log_seq.
int http_log_seq_init(void);
// NULL before http_log_seq_init.
LOG_SEQ_HANDLE http_get_log_seq(void);
