// The HTTP/1.x client under the cloud API calls, downloads and uploads of the cloud side: one TCP
// connection per session (TLS for "https"), one request header built from a method, a resource
// and standard header flags, the body sent whole, the response header read into the session's
// 4,096-byte buffer, and the body handed out in caller-sized pieces by Content-Length or chunked
// transfer coding. A session is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

struct NOXA_TLS_HANDLER;

// A URL as the log may show it: without its query, which may carry a signature or a token
// ("sig=", "X-Amz-Signature=", "X-Amz-Credential=", "X-Amz-Security-Token="); "?..." marks one.
std::string http_url_for_log(const char* url);

#define HTTP_SESSION_BUF_LEN 4096
#define HTTP_HOST_NAME_LEN 255
#define HTTP_DEFAULT_PORT 80
#define HTTPS_DEFAULT_PORT 443
#define HTTP_USER_AGENT "NOXA_IOT_SDK"

// Receive codes besides those of the TLS layer.
#define HTTP_RECV_EAGAIN (-11)   // nothing arrived, a failed select, or the one retry used up
#define HTTP_RECV_CLOSED (-12)   // the peer closed the connection
#define HTTP_RECV_TIMEOUT (-13)  // nothing within HTTP_RECV_SELECT_MS
#define HTTP_RECV_SELECT_MS 10000
#define HTTP_SEND_TIMEOUT_MS 12000

typedef enum {
    HTTP_SESSION_CREATED = 0,
    HTTP_SESSION_IDLE = 1,  // connected; a kept-alive connection again after a response
    HTTP_SESSION_REQ_PREPARED = 2,
    HTTP_SESSION_REQ_SENT = 3,
    HTTP_SESSION_RESP_HDR_READ = 4,
    HTTP_SESSION_READING_BODY = 5,
    HTTP_SESSION_DONE = 6,  // response finished, connection not reusable
    HTTP_SESSION_FAILED = 7,
    HTTP_SESSION_LOWLEVEL = 8,
} HTTP_SESSION_STATE_E;

typedef enum {
    HTTP_CHUNK_NONE = 0,
    HTTP_CHUNK_READ_LEN = 1,  // expecting a chunk-size line
    HTTP_CHUNK_READ_DATA = 2,
    HTTP_CHUNK_BROKEN = 4,
} HTTP_CHUNK_STATE_E;

// A 32-bit word on purpose: callers may hand in any value, and the client refuses the others.
typedef enum : uint32_t {
    HTTP_GET = 1,
    HTTP_HEAD = 2,
    HTTP_POST = 3,
    HTTP_PUT = 4,
    // 0 and 5 to 7 are refused as not supported, 8 and above as unknown.
} HTTP_METHOD_E;

typedef enum {
    HTTP_VER_1_0 = 0,
    HTTP_VER_1_1 = 1,
} HTTP_VERSION_E;

// Standard header lines of http_prepare_req, written in the order of the bits below.
typedef enum {
    HDR_ADD_DEFAULT_USER_AGENT = 1,
    HDR_ADD_CONN_KEEP_ALIVE = 2,
    HDR_ADD_CONN_CLOSE = 4,  // not with HDR_ADD_CONN_KEEP_ALIVE
    HDR_ADD_TRANSFER_ENCODING_CHUNKED = 8,
    HDR_ADD_CONTENT_TYPE_JSON = 16,
    HDR_ADD_CONTENT_TYPE_FORM_URLENCODE = 32,  // only without HDR_ADD_CONTENT_TYPE_JSON
    HDR_ADD_RANGE = 64,
} HTTP_HDR_FLAG;

// The parsed response header; the texts point into the session's buffer and live as long as
// the session. Absent headers leave 0 or NULL.
typedef struct {
    const char* protocol;  // "HTTP"
    uint32_t version_1_1;
    int32_t status_code;
    const char* status_text;
    const char* server;
    const char* accept_ranges;
    uint32_t last_modified;  // posix seconds
    const char* content_type;
    const char* content_encoding;
    uint32_t keep_alive;
    int32_t keep_alive_timeout;
    int32_t keep_alive_max;
    uint32_t chunked;
    int32_t content_length;
} HTTP_RESP_HDR_S;

struct HTTP_SESSION_S;
typedef HTTP_SESSION_S* HTTP_SESSION_H;

// Appends the caller's header lines with http_add_header; 0 to go on.
typedef int (*HTTP_HEAD_ADD_CB)(HTTP_SESSION_H session, void* data);

typedef struct {
    HTTP_METHOD_E type;
    const char* resource;  // "/path", a whole URL, or NULL for "/"
    uint32_t version;      // HTTP_VERSION_E
    const uint8_t* content;
    uint32_t content_len;
    HTTP_HEAD_ADD_CB add_head_cb;  // called after the standard lines
    void* add_head_data;
    uint32_t range_start;
    uint32_t range_len;
} HTTP_REQ_S;

struct HTTP_SESSION_S {
    uint32_t req_cnt;  // requests sent whose responses have not ended
    uint32_t state;    // HTTP_SESSION_STATE_E
    int32_t sockfd;
    char hostname[HTTP_HOST_NAME_LEN + 1];
    // The request header while it is built, then the response header with the first body bytes
    // read behind it.
    char* buf;
    int32_t buf_len;   // bytes in the buffer
    int32_t read_pos;  // body bytes between read_pos and buf_len are served first
    int32_t hdr_walk;  // end of the parsed header, -1 when there is none
    HTTP_RESP_HDR_S resp;
    uint32_t chunk_state;  // HTTP_CHUNK_STATE_E
    int32_t chunk_len;
    uint32_t bytes_read;  // of the current chunk, or of the whole body without chunking
    NOXA_TLS_HANDLER* tls;
};

typedef struct {
    char* scheme;    // NULL without "://"
    char* hostname;
    uint32_t port;   // 80 unless given
    char* resource;  // from the first "/" on; NULL without one
} HTTP_PARSED_URL_S;

// Opens a connection to the URL's host (flag bit 0 or an "https" scheme: TLS, port 80 then
// meaning 443). socket_tries 0 means 3. 0 with the session in state 1; -1 NULL argument; -2 no
// memory, a URL or host name too long, a host that does not resolve, or no socket; the URL
// parser's code; -7 TCP connect failed; the TLS code when the handshake fails. On failure
// nothing stays allocated and *session is NULL.
int http_open_session(HTTP_SESSION_H* session, const char* url, uint32_t flags, uint32_t socket_tries);
// Writes the request line and the header lines of the flags (HTTP_HDR_FLAG), then calls the
// request's add-header callback. 0 and state 2; -1 bad arguments, state or request (a bad
// method, version or resource fails the session); -2 keep-alive and close together, or a header
// that does not fit the buffer.
int http_prepare_req(HTTP_SESSION_H session, const HTTP_REQ_S* req, uint32_t flags);
// "name: value" in state 2: 0; -1 otherwise; -2 when it does not fit.
int http_add_header(HTTP_SESSION_H session, const char* name, const char* value);
// Sends the header and, for POST and PUT, the body (a chunked request writes its body with
// httpc_write_chunked). 0 and state 3; -1 bad state or a body missing; -3 send failure.
int http_send_request(HTTP_SESSION_H session, const HTTP_REQ_S* req);
// Reads and parses the response header: 0 and state 4 (or 1 / 6 when there is no body); -1
// bad argument or state; -2 a malformed or oversized header; a receive code.
int http_get_response_hdr(HTTP_SESSION_H session, HTTP_RESP_HDR_S** resp);
// Body bytes copied (at most size), 0 at the end of the body; -1 bad argument; -2 no request
// outstanding, a status other than 200 when it reads the header itself, a bad state or a broken
// chunk stream; a receive code.
int http_read_content(HTTP_SESSION_H session, uint8_t* buf, uint32_t size);
// Closes the connection and frees the session; *session becomes NULL.
int http_close_session(HTTP_SESSION_H* session);
// Splits a URL in the scratch buffer (which must hold the URL and 10 more bytes). 0; -1 buffer
// too small or NULL; -2 a port that is not a number up to 65535.
int http_parse_URL(const char* url, char* buf, uint32_t buf_len, HTTP_PARSED_URL_S* parsed);
// Offset of the value of a header line in the session buffer; the header is read first in
// state 1 or 3. 0, or -1 (bad state, no such line).
int http_get_response_hdr_value(HTTP_SESSION_H session, const char* name, int32_t* value_offset);
// One chunk of a chunked request in state 3 (length 0 ends the body). 0; -1 bad arguments; -2
// wrong state, or a failed send (the chunk stream is then broken).
int httpc_write_chunked(HTTP_SESSION_H session, const uint8_t* data, uint32_t len);
// Raw reads (through the prefetched bytes first) and writes; the session goes to state 8.
int http_lowlevel_read(HTTP_SESSION_H session, uint8_t* buf, uint32_t len);
int http_lowlevel_write(HTTP_SESSION_H session, const uint8_t* buf, uint32_t len);
