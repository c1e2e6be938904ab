#include "noxa_middleware/httpc/httpc.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_middleware/tls/noxa_tls.h"
#include "noxa_middleware/tls/sock_wait.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mbedtls/ssl.h>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBufLen = HTTP_SESSION_BUF_LEN;
// The request header never grows past this, so the CRLF that ends it and the NUL always fit.
constexpr int kHdrLimit = kBufLen - 3;
// A response header has at most this many bytes (the buffer keeps a NUL behind them).
constexpr int kRespHdrMax = kBufLen - 1;
constexpr int kUrlMargin = 10;
constexpr int kChunkLineMax = 32;
constexpr uint32_t kDefaultSocketTries = 3;
constexpr uint32_t kSocketRetryMs = 1000;
constexpr uint32_t kTlsTimeoutS = 10;
constexpr int kTlsRecvTries = 20;
constexpr uint32_t kTlsRecvNoMemMs = 100;
constexpr uint32_t kTlsRecvAgainMs = 10;
constexpr uint32_t kNoAddr = 0xFFFFFFFFu;

const char* const kMethodNames[] = {nullptr, "GET", "HEAD", "POST", "PUT"};

bool __has_body(const HTTP_REQ_S* req)
{
    return req->type == HTTP_POST || req->type == HTTP_PUT;
}

void __fail(HTTP_SESSION_H s)
{
    s->state = HTTP_SESSION_FAILED;
}

// The end of a response: the connection is idle again, or done when the server closes it.
void __end_response(HTTP_SESSION_H s)
{
    if (s->req_cnt > 0) {
        --s->req_cnt;
    }
    s->bytes_read = 0;
    s->state = s->resp.keep_alive != 0 ? HTTP_SESSION_IDLE : HTTP_SESSION_DONE;
}

// Decimal digits of [p, end) as a non-negative int32; false on anything else or overflow.
bool __parse_dec(const char* p, const char* end, int32_t* out)
{
    if (p >= end) {
        return false;
    }
    int64_t v = 0;
    for (; p < end; ++p) {
        if (!isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) {
            return false;
        }
    }
    *out = static_cast<int32_t>(v);
    return true;
}

// "<key>=<decimal>" at p: the value, or -1.
int32_t __parse_param(const char* p, const char* key)
{
    size_t klen = strlen(key);
    if (p == nullptr || strncasecmp(p, key, klen) != 0 || p[klen] != '=') {
        return -1;
    }
    p += klen + 1;
    const char* e = p;
    while (isdigit(static_cast<unsigned char>(*e))) {
        ++e;
    }
    int32_t v = -1;
    return __parse_dec(p, e, &v) ? v : -1;
}

int __send_all(HTTP_SESSION_H s, const uint8_t* data, uint32_t len)
{
    if (s->tls != nullptr) {
        int ret = noxa_tls_write(s->tls, data, len);
        return ret == static_cast<int>(len) ? 0 : -1;
    }
    // A socket may take less than asked: go on until all of it went or a real error came.
    uint32_t sent = 0;
    while (sent < len) {
        int n = unw_send(s->sockfd, data + sent, len - sent);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && unw_get_errno() == UNW_EINTR) {
            continue;
        }
        PR_ERR("send fails %d err:%d after %u of %u bytes", n, unw_get_errno(), sent, len);
        return -1;
    }
    return 0;
}

// One receive from the connection. *again is set when a plain socket had nothing although select
// said it had (the caller may try later).
int __sock_recv(HTTP_SESSION_H s, uint8_t* buf, uint32_t len, bool retry, bool* again)
{
    *again = false;
    if (s->tls != nullptr) {
        int n = noxa_tls_read(s->tls, buf, len);
        if (n > 0) {
            return n;
        }
        if (n == 0 || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || n == MBEDTLS_ERR_SSL_CONN_EOF) {
            return HTTP_RECV_CLOSED;
        }
        return n;
    }
    for (int attempt = 0;; ++attempt) {
        unw_set_block(s->sockfd, 0);
        int ret = noxa_sock_wait_readable(s->sockfd, HTTP_RECV_SELECT_MS);
        if (ret < 0) {
            PR_ERR("select fail %d err:%d", ret, unw_get_errno());
            unw_set_block(s->sockfd, 1);
            return HTTP_RECV_EAGAIN;
        }
        if (ret == 0) {
            PR_ERR("http socket recv select time out. err:%d", unw_get_errno());
            unw_set_block(s->sockfd, 1);
            return HTTP_RECV_TIMEOUT;
        }
        int n = unw_recv(s->sockfd, buf, len);
        int err = unw_get_errno();
        unw_set_block(s->sockfd, 1);
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            return HTTP_RECV_CLOSED;
        }
        if (err == UNW_EAGAIN && retry && attempt == 0) {
            continue;
        }
        if (!retry) {
            PR_ERR("The recv data may larger than recv buff,you may need to set wait_for_to to true");
        }
        *again = err == UNW_EAGAIN;
        return HTTP_RECV_EAGAIN;
    }
}

// Body bytes: those that came with the header first, then the connection.
int __http_recv(HTTP_SESSION_H s, uint8_t* buf, uint32_t len, bool retry, bool* again)
{
    int avail = s->buf_len - s->read_pos;
    if (avail > 0) {
        int n = std::min(avail, static_cast<int>(std::min<uint32_t>(len, INT_MAX)));
        PR_TRACE("Using prefetch: %d %d %d %d", s->buf_len, s->read_pos, n, static_cast<int>(len));
        memcpy(buf, s->buf + s->read_pos, n);
        s->read_pos += n;
        *again = false;
        return n;
    }
    int n = __sock_recv(s, buf, len, retry, again);
    PR_TRACE("Using actual read: %d %d", static_cast<int>(len), n);
    return n;
}

int __noxa_tls_http_send_cb(void* ctx, const unsigned char* buf, size_t len)
{
    auto* s = static_cast<HTTP_SESSION_H>(ctx);
    return unw_send(s->sockfd, buf, static_cast<uint32_t>(len));
}

int __noxa_tls_http_recv_cb(void* ctx, unsigned char* buf, size_t len)
{
    auto* s = static_cast<HTTP_SESSION_H>(ctx);
    int ret = -1;
    for (int attempt = 1; attempt <= kTlsRecvTries; ++attempt) {
        unw_set_block(s->sockfd, 0);
        int sel = noxa_sock_wait_readable(s->sockfd, HTTP_RECV_SELECT_MS);
        if (sel < 0) {
            PR_ERR("select fail %d err:%d", sel, unw_get_errno());
            ret = HTTP_RECV_EAGAIN;
            break;
        }
        if (sel == 0) {
            PR_ERR("http socket recv select time out. err:%d", unw_get_errno());
            ret = HTTP_RECV_TIMEOUT;
            break;
        }
        ret = unw_recv(s->sockfd, buf, static_cast<uint32_t>(len));
        if (ret >= 0) {
            break;
        }
        int err = unw_get_errno();
        if (err == UNW_ENOMEM) {
            PR_ERR("tls http recv no memory.len:%d ret:%d err:%d. try recv again %d", static_cast<int>(len), ret, err,
                   attempt);
            uni_sleep_ms(kTlsRecvNoMemMs);
        } else if (err == UNW_EAGAIN) {
            PR_ERR("tls http recv again.len:%d ret:%d err:%d. try recv again %d", static_cast<int>(len), ret, err,
                   attempt);
            uni_sleep_ms(kTlsRecvAgainMs);
        } else {
            PR_ERR("tls http recv fail.len:%d ret:%d err:%d", static_cast<int>(len), ret, err);
            break;
        }
        if (attempt == kTlsRecvTries) {
            PR_ERR("tls http recv fail.len:%d err:%d", static_cast<int>(len), err);
            ret = -1;
        }
    }
    unw_set_block(s->sockfd, 1);
    return ret;
}

void __free_session(HTTP_SESSION_H s)
{
    if (s->tls != nullptr) {
        noxa_tls_disconnect(s->tls);
    }
    if (s->sockfd >= 0) {
        close(s->sockfd);
    }
    Free(s->buf);
    Free(s);
}

int __append_line(HTTP_SESSION_H s, const char* name, const char* value)
{
    size_t need = strlen(name) + 2 + strlen(value) + 2;
    if (static_cast<size_t>(s->buf_len) + need > static_cast<size_t>(kHdrLimit)) {
        PR_ERR("header line %s does not fit: %d + %u bytes", name, s->buf_len, static_cast<unsigned>(need));
        return -2;
    }
    s->buf_len += snprintf(s->buf + s->buf_len, kBufLen - s->buf_len, "%s: %s\r\n", name, value);
    return 0;
}

int __append_standard_lines(HTTP_SESSION_H s, const HTTP_REQ_S* req, uint32_t flags)
{
    int ret = __append_line(s, "Host", s->hostname);
    if (ret == 0 && (flags & HDR_ADD_DEFAULT_USER_AGENT) != 0) {
        ret = __append_line(s, "User-Agent", HTTP_USER_AGENT);
    }
    if (ret == 0 && (flags & HDR_ADD_CONN_KEEP_ALIVE) != 0) {
        ret = __append_line(s, "Connection", "keep-alive");
        if (ret == 0 && (flags & HDR_ADD_CONN_CLOSE) != 0) {
            PR_ERR("keep-alive and close together");
            return -2;
        }
    } else if (ret == 0 && (flags & HDR_ADD_CONN_CLOSE) != 0) {
        ret = __append_line(s, "Connection", "close");
    }
    if (ret == 0 && (flags & HDR_ADD_CONTENT_TYPE_JSON) != 0) {
        ret = __append_line(s, "Content-Type", "application/json");
    } else if (ret == 0 && (flags & HDR_ADD_CONTENT_TYPE_FORM_URLENCODE) != 0) {
        ret = __append_line(s, "Content-Type", "application/x-www-form-urlencoded; charset=UTF-8");
    }
    char value[48];
    if (ret == 0 && (flags & HDR_ADD_TRANSFER_ENCODING_CHUNKED) != 0) {
        ret = __append_line(s, "Transfer-Encoding", "chunked");
        s->chunk_state = HTTP_CHUNK_READ_LEN;
    } else if (ret == 0 && __has_body(req)) {
        snprintf(value, sizeof(value), "%u", req->content_len);
        ret = __append_line(s, "Content-Length", value);
    }
    if (ret == 0 && (flags & HDR_ADD_RANGE) != 0) {
        if (req->range_len == 0) {
            snprintf(value, sizeof(value), "bytes=%u-", req->range_start);
        } else {
            unsigned long long last = static_cast<unsigned long long>(req->range_start) + req->range_len - 1;
            snprintf(value, sizeof(value), "bytes=%u-%llu", req->range_start, last);
        }
        ret = __append_line(s, "Range", value);
    }
    return ret;
}

// The resource of the request line: the request's own text when it is a path, "/" for none,
// else the path part of the URL it holds. NULL when that URL does not parse.
const char* __request_resource(const HTTP_REQ_S* req, std::vector<char>& scratch)
{
    if (req->resource == nullptr) {
        return "/";
    }
    if (req->resource[0] == '/') {
        return req->resource;
    }
    PR_TRACE("Have to extract\n\r");
    scratch.resize(strlen(req->resource) + kUrlMargin);
    HTTP_PARSED_URL_S url;
    int ret = http_parse_URL(req->resource, scratch.data(), static_cast<uint32_t>(scratch.size()), &url);
    if (ret != 0) {
        PR_ERR("Resource extraction error: %d", ret);
        return nullptr;
    }
    return url.resource != nullptr ? url.resource : "/";
}

// Header names that the client keeps; matched without regard to case.
void __parse_hdr_line(HTTP_RESP_HDR_S* h, const char* name, size_t nameLen, char* value)
{
    auto is = [name, nameLen](const char* n) { return strlen(n) == nameLen && strncasecmp(name, n, nameLen) == 0; };
    if (is("Accept-Ranges")) {
        h->accept_ranges = value;
    } else if (is("Server")) {
        h->server = value;
    } else if (is("Content-Type")) {
        h->content_type = value;
    } else if (is("Content-Encoding")) {
        h->content_encoding = value;
    } else if (is("Last-Modified")) {
        h->last_modified = uni_http_date_to_time(value);
    } else if (is("Connection")) {
        if (strcasecmp(value, "Keep-Alive") == 0) {
            PR_TRACE("Server allows keep alive");
            h->keep_alive = 1;
        } else {
            if (h->keep_alive != 0) {
                PR_TRACE("Keep-Alive present but connection: Close ?");
            }
            PR_TRACE("Server does not allow keep alive");
            h->keep_alive = 0;
        }
    } else if (is("Keep-Alive")) {
        h->keep_alive = 0;
        if (strstr(value, "timeout") == nullptr) {
            PR_TRACE("No timeout specified in response header.");
            PR_TRACE("NAK'ing keep alive by force");
            return;
        }
        h->keep_alive_timeout = __parse_param(value, "timeout");
        if (h->keep_alive_timeout < 0) {
            PR_TRACE("timeout value not found !");
            return;
        }
        PR_TRACE("Server timeout value: %d", h->keep_alive_timeout);
        const char* max = strstr(value, "max");
        if (max == nullptr) {
            PR_TRACE("max value not found !");
            return;
        }
        h->keep_alive_max = __parse_param(max, "max");
        if (h->keep_alive_max < 0) {
            PR_TRACE("max value invalid !");
            return;
        }
        PR_TRACE("Alive Max value:%d", h->keep_alive_max);
        h->keep_alive = 1;
    } else if (is("Transfer-Encoding")) {
        if (strcasecmp(value, "chunked") == 0) {
            h->chunked = 1;
        }
    }
}

// The status line and the header lines of buf[0, hdrLen), which ends in the empty line. Line
// ends become NULs in place (the LF stays), so the texts of the record point into the buffer.
int __parse_resp_hdr(char* buf, int hdrLen, HTTP_RESP_HDR_S* h)
{
    memset(h, 0, sizeof(*h));
    PR_TRACE("Parsing HTTP header");
    PR_TRACE("header:%.*s", hdrLen, buf);
    char* end = buf + hdrLen;
    auto* eol = static_cast<char*>(memmem(buf, hdrLen, "\r\n", 2));
    auto* slash = static_cast<char*>(memchr(buf, '/', eol - buf));
    if (slash == nullptr || slash - buf != 4 || strncasecmp(buf, "HTTP", 4) != 0) {
        PR_ERR("Protocol mismatch in header.");
        return -2;
    }
    *slash = '\0';
    h->protocol = buf;
    char* ver = slash + 1;
    auto* sp = static_cast<char*>(memchr(ver, ' ', eol - ver));
    if (sp == nullptr) {
        PR_ERR("Protocol version not found.");
        return -2;
    }
    *sp = '\0';
    if (strcmp(ver, "1.1") == 0) {
        h->version_1_1 = 1;
        PR_TRACE("Defaulting to keep alive");
        h->keep_alive = 1;
    } else if (strcmp(ver, "1.0") != 0) {
        PR_ERR("Protocol version mismatch.");
        return -2;
    }
    char* code = sp + 1;
    auto* codeEnd = static_cast<char*>(memchr(code, ' ', eol - code));
    if (codeEnd == nullptr) {
        codeEnd = eol;  // a status line without a reason phrase
    }
    if (codeEnd - code != 3 || !__parse_dec(code, codeEnd, &h->status_code)) {
        PR_ERR("Status code not found.");
        return -2;
    }
    *eol = '\0';
    h->status_text = codeEnd < eol ? codeEnd + 1 : eol;

    for (char* line = eol + 2; line < end;) {
        eol = static_cast<char*>(memmem(line, end - line, "\r\n", 2));
        if (eol == line) {
            break;  // the empty line
        }
        *eol = '\0';
        auto* colon = static_cast<char*>(memchr(line, ':', eol - line));
        if (colon == nullptr || colon == line) {
            PR_ERR("Header parsing error in name %s", line);
            return -2;
        }
        char* value = colon + 1;
        while (*value == ' ' || *value == '\t') {
            ++value;
        }
        for (char* t = eol; t > value && (t[-1] == ' ' || t[-1] == '\t');) {
            *--t = '\0';
        }
        size_t nameLen = colon - line;
        while (nameLen > 0 && (line[nameLen - 1] == ' ' || line[nameLen - 1] == '\t')) {
            --nameLen;
        }
        if (nameLen == 14 && strncasecmp(line, "Content-Length", 14) == 0 &&
            !__parse_dec(value, value + strlen(value), &h->content_length)) {
            PR_ERR("Content-Length invalid: %s", value);
            return -2;
        }
        __parse_hdr_line(h, line, nameLen, value);
        line = eol + 2;
    }
    return 0;
}

// "hex size[;extension]" of a chunk; -1 when it is not one.
int32_t __parse_chunk_size(const char* line)
{
    int64_t v = 0;
    const char* p = line;
    for (; isxdigit(static_cast<unsigned char>(*p)); ++p) {
        v = v * 16 + (isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : (tolower(*p) - 'a' + 10));
        if (v > INT32_MAX) {
            return -1;
        }
    }
    if (p == line) {
        return -1;
    }
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    return (*p == '\0' || *p == ';') ? static_cast<int32_t>(v) : -1;
}

void __break_chunks(HTTP_SESSION_H s)
{
    s->chunk_state = HTTP_CHUNK_BROKEN;
    __fail(s);
}

// The next chunk-size line: the size, or a negative code with the chunk stream broken.
int __read_chunk_len(HTTP_SESSION_H s)
{
    char line[kChunkLineMax + 1];
    int len = 0;
    bool again = false;
    uint8_t c = 0;
    while (true) {
        int n = __http_recv(s, &c, 1, true, &again);
        if (n < 0) {
            PR_ERR("Error while reading chunk len: %d", n);
            __break_chunks(s);
            return n;
        }
        if (c == '\r') {
            break;
        }
        if (len == kChunkLineMax) {
            PR_ERR("Unable to read length. Header corrupted.");
            __break_chunks(s);
            return -2;
        }
        line[len++] = static_cast<char>(c);
    }
    int n = __http_recv(s, &c, 1, true, &again);
    if (n < 0 || c != '\n') {
        PR_ERR("Unable to read len. No newline");
        __break_chunks(s);
        return n < 0 ? n : -2;
    }
    line[len] = '\0';
    PR_TRACE("Chunk size str (value in hex): %s", line);
    int32_t size = __parse_chunk_size(line);
    if (size < 0) {
        PR_ERR("Chunk size invalid: %s", line);
        __break_chunks(s);
        return -2;
    }
    PR_TRACE("Chunk size: %d", size);
    return size;
}

// The CRLF behind a chunk's data.
int __zap_chunk_boundary(HTTP_SESSION_H s)
{
    uint8_t crlf[2];
    bool again = false;
    for (uint8_t& c : crlf) {
        int n = __http_recv(s, &c, 1, true, &again);
        if (n < 0) {
            PR_ERR("Error while reading chunk len: %d", n);
            s->chunk_state = HTTP_CHUNK_BROKEN;
            return n;
        }
    }
    if (crlf[0] != '\r' || crlf[1] != '\n') {
        s->chunk_state = HTTP_CHUNK_BROKEN;
        return -2;
    }
    return 0;
}

// A failed body receive: a receive that found nothing may be tried again; a closed or failed
// connection ends the body.
int __body_recv_failed(HTTP_SESSION_H s, int n, bool again, const char* what, bool chunked)
{
    if (n == HTTP_RECV_EAGAIN && again) {
        return n;
    }
    if (n == HTTP_RECV_EAGAIN || n == HTTP_RECV_CLOSED) {
        PR_ERR("%s: %d", what, n);
        if (chunked) {
            s->chunk_state = HTTP_CHUNK_BROKEN;
        } else {
            __fail(s);
        }
    }
    return n;
}

int __read_chunk_data(HTTP_SESSION_H s, uint8_t* buf, uint32_t size, const char* what)
{
    uint32_t remain = static_cast<uint32_t>(s->chunk_len) - s->bytes_read;
    bool again = false;
    int n = __http_recv(s, buf, std::min(size, remain), false, &again);
    if (n < 0) {
        return __body_recv_failed(s, n, again, what, true);
    }
    s->state = HTTP_SESSION_READING_BODY;
    s->bytes_read += static_cast<uint32_t>(n);
    if (s->bytes_read == static_cast<uint32_t>(s->chunk_len)) {
        if (__zap_chunk_boundary(s) != 0) {
            PR_ERR("Could not zap chunk boundary");
            return -2;
        }
        s->chunk_state = HTTP_CHUNK_READ_LEN;
    }
    return n;
}

int __read_chunked(HTTP_SESSION_H s, uint8_t* buf, uint32_t size)
{
    if (s->chunk_state == HTTP_CHUNK_READ_LEN) {
        int len = __read_chunk_len(s);
        if (len < 0) {
            return len;
        }
        s->chunk_len = len;
        s->bytes_read = 0;
        if (len == 0) {
            if (__zap_chunk_boundary(s) != 0) {
                PR_ERR("At end of transaction, ");
                PR_ERR("could not zap chunk boundary");
                return -2;
            }
            __end_response(s);
            return 0;
        }
        s->chunk_state = HTTP_CHUNK_READ_DATA;
        int n = __read_chunk_data(s, buf, size, "Failed to read chunk data");
        PR_TRACE("Read %d bytes of start chunked data.", n);
        return n;
    }
    if (s->chunk_state == HTTP_CHUNK_READ_DATA) {
        PR_TRACE("Readng %d bytes of chunked data (b/w)... remn'g %d", static_cast<int>(size),
                 s->chunk_len - static_cast<int>(s->bytes_read));
        int n = __read_chunk_data(s, buf, size, "Failed to read partial chunk");
        PR_TRACE("Read %d bytes of partial chunked data.", n);
        return n;
    }
    PR_ERR("Unknown state %d", static_cast<int>(s->chunk_state));
    return -2;
}

int __read_standard(HTTP_SESSION_H s, uint8_t* buf, uint32_t size)
{
    uint32_t total = static_cast<uint32_t>(s->resp.content_length);
    if (s->bytes_read >= total) {
        PR_TRACE("Standard read complete");
        __end_response(s);
        return 0;
    }
    uint32_t want = std::min(size, total - s->bytes_read);
    PR_TRACE("contentlen:%u size_remain:%u size_to_read:%u", total, total - s->bytes_read, want);
    s->state = HTTP_SESSION_READING_BODY;
    bool again = false;
    int n = __http_recv(s, buf, want, false, &again);
    if (n < 0) {
        return __body_recv_failed(s, n, again, "Error in reading content", false);
    }
    s->bytes_read += static_cast<uint32_t>(n);
    return n;
}

}  // namespace

int http_parse_URL(const char* url, char* buf, uint32_t buf_len, HTTP_PARSED_URL_S* parsed)
{
    if (url == nullptr || buf == nullptr || parsed == nullptr) {
        PR_ERR("Cannot parse URL");
        return -1;
    }
    size_t len = strlen(url);
    if (buf_len < len + kUrlMargin) {
        PR_ERR("Cannot parse URL");
        PR_ERR("Temporary buffer size is less than required");
        return -1;
    }
    memcpy(buf, url, len + 1);
    parsed->scheme = nullptr;
    parsed->port = HTTP_DEFAULT_PORT;
    parsed->resource = nullptr;
    char* host = buf;
    char* sep = strstr(buf, "://");
    if (sep != nullptr) {
        *sep = '\0';
        parsed->scheme = buf;
        host = sep + 3;
        PR_TRACE("Scheme: %s", parsed->scheme);
    } else {
        PR_TRACE("No scheme in given URL");
    }
    parsed->hostname = host;
    char* slash = strchr(host, '/');
    char* colon = strchr(host, ':');
    if (colon != nullptr && (slash == nullptr || colon < slash)) {
        *colon = '\0';
        PR_TRACE("Parse: Hostname: %s", host);
        const char* digits = colon + 1;
        const char* digitsEnd = slash != nullptr ? slash : digits + strlen(digits);
        int32_t port = 0;
        if (!__parse_dec(digits, digitsEnd, &port) || port > 0xFFFF) {
            PR_ERR("Port number parsing failed: %s", digits);
            return -2;
        }
        parsed->port = static_cast<uint32_t>(port);
        PR_TRACE("Parse: Port No: %d", port);
        parsed->resource = slash;
    } else {
        PR_TRACE("No port number given");
        if (slash != nullptr) {
            // One byte to the right, so that the host can end in place.
            memmove(slash + 1, slash, strlen(slash) + 1);
            *slash = '\0';
            parsed->resource = slash + 1;
        }
    }
    if (parsed->resource != nullptr) {
        PR_TRACE("Resource: %s", http_url_for_log(parsed->resource).c_str());
    } else {
        PR_TRACE("No resource specified in given URL");
    }
    return 0;
}

std::string http_url_for_log(const char* url)
{
    if (url == nullptr) {
        return "(null)";
    }
    const char* query = strchr(url, '?');
    return query == nullptr ? std::string(url) : std::string(url, static_cast<size_t>(query - url)) + "?...";
}

int http_open_session(HTTP_SESSION_H* session, const char* url, uint32_t flags, uint32_t socket_tries)
{
    if (session == nullptr || url == nullptr) {
        PR_ERR("Cannot create session.");
        PR_ERR("NULL pointer(s) received as argument.");
        return -1;
    }
    *session = nullptr;
    if (strnlen(url, kBufLen) >= static_cast<size_t>(kBufLen)) {
        PR_ERR("Host name corrupt");
        return -2;
    }
    auto* s = static_cast<HTTP_SESSION_H>(Malloc(sizeof(HTTP_SESSION_S)));
    if (s == nullptr) {
        PR_ERR("Could not allocate session object");
        return -2;
    }
    memset(s, 0, sizeof(*s));
    s->sockfd = -1;
    s->hdr_walk = -1;
    s->buf = static_cast<char*>(Malloc(kBufLen));
    if (s->buf == nullptr) {
        PR_ERR("Could not allocate prefetch buffer");
        Free(s);
        return -2;
    }
    HTTP_PARSED_URL_S parsed;
    int ret = http_parse_URL(url, s->buf, kBufLen, &parsed);
    if (ret == 0 && strlen(parsed.hostname) > HTTP_HOST_NAME_LEN) {
        PR_ERR("Host name corrupt");
        ret = -2;
    }
    if (ret != 0) {
        __free_session(s);
        return ret;
    }
    bool tls = (flags & 1) != 0;
    if (parsed.scheme != nullptr && strcmp(parsed.scheme, "https") == 0) {
        PR_TRACE("Force enable TLS flag");
        tls = true;
    }
    if (tls && parsed.port == HTTP_DEFAULT_PORT) {
        parsed.port = HTTPS_DEFAULT_PORT;
    }
    const char* host = parsed.hostname;
    auto port = static_cast<uint16_t>(parsed.port);

    uint64_t start = uni_get_tick_ms();
    uint32_t addr = kNoAddr;
    if (isalpha(static_cast<unsigned char>(host[0]))) {
        if (unw_gethostbyname(host, &addr, nullptr) != 0) {
            PR_ERR("No entry for host %s found", host);
            addr = kNoAddr;
        }
    } else {
        addr = unw_str2addr(host);
    }
    int fd = -1;
    if (addr != kNoAddr) {
        uint32_t tries = socket_tries != 0 ? socket_tries : kDefaultSocketTries;
        for (uint32_t i = 0; i < tries && fd < 0; ++i) {
            fd = unw_socket_create(PROTOCOL_TCP);
            if (fd < 0) {
                PR_ERR("Unable to create socket");
                uni_sleep_ms(kSocketRetryMs);
            }
        }
    }
    if (fd < 0) {
        // The next attempt resolves afresh.
        unw_clear_dns_cache(host);
        PR_ERR("Socket creation for %s:%d failed", host, port);
        __free_session(s);
        return -2;
    }
    s->sockfd = fd;
    unw_set_timeout(fd, HTTP_SEND_TIMEOUT_MS, TRANS_SEND);
    // Header and body leave as separate TLS records: without this each request waits for the
    // peer's delayed acknowledgement.
    unw_disable_nagle(fd);
    PR_TRACE("Connecting .. %s:%d", host, port);
    if (unw_connect(fd, addr, port) != 0) {
        PR_ERR("tcp connect failed %s:%d errno=%d", host, port, unw_get_errno());
        unw_clear_dns_cache(host);
        __free_session(s);
        return -7;
    }
    uint64_t tcpEnd = uni_get_tick_ms();
    PR_TRACE("Connected .. sockfd: %d", fd);
    memcpy(s->hostname, host, strlen(host) + 1);
    if (tls) {
        ret = noxa_tls_connect(&s->tls, s->hostname, port, 1, s, __noxa_tls_http_send_cb, __noxa_tls_http_recv_cb, fd,
                               kTlsTimeoutS);
        if (ret != 0) {
            __free_session(s);
            return ret;
        }
    }
    uint64_t tlsEnd = uni_get_tick_ms();
    PR_DEBUG("Connect: %s Port: %d cost %llu(tcp)%llu(tls)", s->hostname, port,
             static_cast<unsigned long long>(tcpEnd - start), static_cast<unsigned long long>(tlsEnd - tcpEnd));
    s->state = HTTP_SESSION_IDLE;
    *session = s;
    return 0;
}

int http_prepare_req(HTTP_SESSION_H session, const HTTP_REQ_S* req, uint32_t flags)
{
    if (session == nullptr || req == nullptr) {
        PR_ERR("Cannot prepare request, invalid parameters. State: %d",
               session != nullptr ? static_cast<int>(session->state) : -1);
        return -1;
    }
    if (session->state != HTTP_SESSION_IDLE && session->state != HTTP_SESSION_REQ_SENT) {
        PR_ERR("Cannot prepare request, invalid session state. State: %d", static_cast<int>(session->state));
        return -1;
    }
    session->chunk_state = HTTP_CHUNK_NONE;
    session->chunk_len = 0;
    auto method = static_cast<uint32_t>(req->type);
    if (method < HTTP_GET || method > HTTP_PUT) {
        PR_ERR(method < 8 ? "Method not yet supported." : "Unknown method given.");
        PR_ERR("HTTPC: Method invalid");
        __fail(session);
        return -1;
    }
    if (req->version != HTTP_VER_1_0 && req->version != HTTP_VER_1_1) {
        PR_ERR("Unknown version given");
        PR_ERR("HTTPC: version invalid");
        __fail(session);
        return -1;
    }
    std::vector<char> scratch;
    const char* resource = __request_resource(req, scratch);
    if (resource == nullptr) {
        PR_ERR("HTTPC: resource invalid");
        __fail(session);
        return -1;
    }
    int len = snprintf(session->buf, kBufLen, "%s %s HTTP/%s\r\n", kMethodNames[method], resource,
                       req->version == HTTP_VER_1_1 ? "1.1" : "1.0");
    if (len < 0 || len > kHdrLimit) {
        PR_ERR("request line does not fit: %d bytes", len);
        return -2;
    }
    session->buf_len = len;
    int ret = __append_standard_lines(session, req, flags);
    if (ret != 0) {
        return ret;
    }
    session->state = HTTP_SESSION_REQ_PREPARED;
    if (req->add_head_cb != nullptr) {
        ret = req->add_head_cb(session, req->add_head_data);
        if (ret != 0) {
            PR_ERR("add header callback fails %d", ret);
            __fail(session);
            return ret;
        }
    }
    return 0;
}

int http_add_header(HTTP_SESSION_H session, const char* name, const char* value)
{
    PR_TRACE("Enter: %s", __func__);
    if (session == nullptr || name == nullptr || value == nullptr || session->state != HTTP_SESSION_REQ_PREPARED) {
        PR_ERR("Cannot add header");
        return -1;
    }
    return __append_line(session, name, value);
}

int http_send_request(HTTP_SESSION_H session, const HTTP_REQ_S* req)
{
    if (session == nullptr || req == nullptr || session->state != HTTP_SESSION_REQ_PREPARED) {
        PR_ERR("Cannot send request");
        return -1;
    }
    bool chunked = session->chunk_state == HTTP_CHUNK_READ_LEN;
    bool body = __has_body(req) && req->content_len != 0 && !chunked;
    if (body && req->content == nullptr) {
        PR_ERR("Cannot send request. Buffer empty.");
        return -1;
    }
    int hdrLen = session->buf_len;
    memcpy(session->buf + hdrLen, "\r\n", 3);
    hdrLen += 2;
    session->buf_len = 0;
    session->read_pos = 0;
    session->hdr_walk = -1;
    memset(&session->resp, 0, sizeof(session->resp));
    session->bytes_read = 0;
    PR_TRACE("send header:%s ", session->buf);
    if (__send_all(session, reinterpret_cast<const uint8_t*>(session->buf), static_cast<uint32_t>(hdrLen)) != 0) {
        PR_ERR("Failed to send header");
        __fail(session);
        return -3;
    }
    if (body && __send_all(session, req->content, req->content_len) != 0) {
        PR_ERR("Failed to send data.");
        __fail(session);
        return -3;
    }
    session->state = HTTP_SESSION_REQ_SENT;
    ++session->req_cnt;
    return 0;
}

int http_get_response_hdr(HTTP_SESSION_H session, HTTP_RESP_HDR_S** resp)
{
    if (session == nullptr) {
        PR_ERR("Unable to get resp header.");
        return -1;
    }
    if (session->state != HTTP_SESSION_REQ_SENT && !(session->state == HTTP_SESSION_IDLE && session->req_cnt > 0)) {
        PR_ERR("Unable to get resp header, invalid session state. State: %d", static_cast<int>(session->state));
        return -1;
    }
    PR_TRACE("Start header read");
    char* buf = session->buf;
    memset(buf, 0, kBufLen);
    session->buf_len = 0;
    session->read_pos = 0;
    session->hdr_walk = -1;
    int got = 0;
    char* end = nullptr;
    bool again = false;
    while (end == nullptr) {
        if (got >= kRespHdrMax) {
            PR_ERR("Header not found.");
            PR_ERR("The stream may be in inconsistent state or");
            PR_ERR("in a rare case, the header may be bigger that %d bytes", kRespHdrMax);
            __fail(session);
            return -2;
        }
        int n = __sock_recv(session, reinterpret_cast<uint8_t*>(buf + got), kRespHdrMax - got, true, &again);
        if (n < 0) {
            if (got > 0) {
                __fail(session);
            }
            return n;
        }
        int from = std::max(0, got - 3);
        got += n;
        end = static_cast<char*>(memmem(buf + from, got - from, "\r\n\r\n", 4));
    }
    session->buf_len = got;
    int hdrLen = static_cast<int>(end - buf) + 4;
    if (__parse_resp_hdr(buf, hdrLen, &session->resp) != 0) {
        __fail(session);
        return -2;
    }
    session->read_pos = hdrLen;
    session->hdr_walk = hdrLen;
    PR_TRACE("Header has used up %d bytes from the %d bytes header", hdrLen, got);
    session->state = HTTP_SESSION_RESP_HDR_READ;
    session->bytes_read = 0;
    if (session->resp.chunked != 0) {
        session->chunk_state = HTTP_CHUNK_READ_LEN;
    } else if (session->resp.content_length == 0) {
        PR_TRACE("No content present. Closing this x'action");
        __end_response(session);
    }
    if (resp != nullptr) {
        *resp = &session->resp;
    }
    return 0;
}

int http_read_content(HTTP_SESSION_H session, uint8_t* buf, uint32_t size)
{
    if (session == nullptr || buf == nullptr || size == 0) {
        PR_ERR("Cannot read content.");
        return -1;
    }
    switch (session->state) {
    case HTTP_SESSION_IDLE:
        if (session->req_cnt == 0) {
            PR_ERR("Cannot read content, no outstanding requests. Session state %d", static_cast<int>(session->state));
            return -2;
        }
        [[fallthrough]];
    case HTTP_SESSION_REQ_SENT: {
        int ret = http_get_response_hdr(session, nullptr);
        if (ret != 0) {
            return ret;
        }
        if (session->resp.status_code != 200) {
            PR_ERR("Not reading any content.");
            PR_ERR("HTTP status code: %d", session->resp.status_code);
            return -2;
        }
        if (session->state != HTTP_SESSION_RESP_HDR_READ) {
            return 0;  // a response without a body
        }
        break;
    }
    case HTTP_SESSION_RESP_HDR_READ:
    case HTTP_SESSION_READING_BODY:
        if (session->chunk_state == HTTP_CHUNK_BROKEN) {
            return -2;
        }
        break;
    default:
        PR_ERR("Cannot read content. Unknown state %d", static_cast<int>(session->state));
        return -2;
    }
    if (session->resp.chunked != 0) {
        return __read_chunked(session, buf, size);
    }
    return __read_standard(session, buf, size);
}

int http_close_session(HTTP_SESSION_H* session)
{
    if (session == nullptr || *session == nullptr) {
        return -1;
    }
    HTTP_SESSION_H s = *session;
    // A clean end keeps the TLS session resumable at servers that keep sessions by id. Not after a
    // failure or in the middle of a request, where the server may not be reading any more.
    bool clean = s->state == HTTP_SESSION_IDLE || s->state == HTTP_SESSION_RESP_HDR_READ ||
                 s->state == HTTP_SESSION_READING_BODY || s->state == HTTP_SESSION_DONE;
    if (s->tls != nullptr && clean) {
        noxa_tls_close_notify(s->tls);
    }
    __free_session(s);
    *session = nullptr;
    return 0;
}

int http_get_response_hdr_value(HTTP_SESSION_H session, const char* name, int32_t* value_offset)
{
    if (session == nullptr || name == nullptr || value_offset == nullptr) {
        PR_ERR("Unable to get resp header.");
        return -1;
    }
    if (session->state == HTTP_SESSION_IDLE || session->state == HTTP_SESSION_REQ_SENT) {
        if (session->hdr_walk < 0 || session->state == HTTP_SESSION_REQ_SENT) {
            int ret = http_get_response_hdr(session, nullptr);
            if (ret != 0) {
                return ret;
            }
        }
    }
    if (session->hdr_walk < 0) {
        PR_ERR("Invalid state: %d. Cannot read hdr value", static_cast<int>(session->state));
        return -1;
    }
    // Parsed lines end in a NUL and the LF behind it.
    size_t nameLen = strlen(name);
    char* buf = session->buf;
    char* end = buf + session->hdr_walk;
    auto* line = static_cast<char*>(memchr(buf, '\n', end - buf));
    while (line != nullptr && ++line < end && *line != '\r') {
        if (strncasecmp(line, name, nameLen) == 0 && line[nameLen] == ':') {
            const char* value = line + nameLen + 1;
            while (*value == ' ' || *value == '\t') {
                ++value;
            }
            *value_offset = static_cast<int32_t>(value - buf);
            return 0;
        }
        line = static_cast<char*>(memchr(line, '\n', end - line));
    }
    return -1;
}

int httpc_write_chunked(HTTP_SESSION_H session, const uint8_t* data, uint32_t len)
{
    if (session == nullptr || (data == nullptr && len != 0)) {
        PR_ERR("Invalid params");
        return -1;
    }
    if (session->state != HTTP_SESSION_REQ_SENT || session->chunk_state != HTTP_CHUNK_READ_LEN) {
        PR_ERR("Cannot write data. session state: %d, session chunk state: %d", static_cast<int>(session->state),
               static_cast<int>(session->chunk_state));
        return -2;
    }
    char line[16];
    int n = snprintf(line, sizeof(line), "%x\r\n", len);
    static const uint8_t kCrlf[] = {'\r', '\n'};
    if (__send_all(session, reinterpret_cast<const uint8_t*>(line), static_cast<uint32_t>(n)) != 0 ||
        (len != 0 && __send_all(session, data, len) != 0) || __send_all(session, kCrlf, sizeof(kCrlf)) != 0) {
        session->chunk_state = HTTP_CHUNK_BROKEN;
        return -2;
    }
    return 0;
}

int http_lowlevel_read(HTTP_SESSION_H session, uint8_t* buf, uint32_t len)
{
    if (session == nullptr || buf == nullptr || len == 0) {
        PR_ERR("Cannot read lowlevel");
        return -1;
    }
    if (session->state == HTTP_SESSION_CREATED || session->state == HTTP_SESSION_FAILED) {
        PR_ERR("Unable to do lowlevel read");
        return -1;
    }
    session->state = HTTP_SESSION_LOWLEVEL;
    bool again = false;
    return __http_recv(session, buf, len, false, &again);
}

int http_lowlevel_write(HTTP_SESSION_H session, const uint8_t* buf, uint32_t len)
{
    if (session == nullptr || buf == nullptr || len == 0) {
        PR_ERR("Cannot write lowlevel");
        return -1;
    }
    if (session->state == HTTP_SESSION_CREATED || session->state == HTTP_SESSION_FAILED) {
        PR_ERR("Unable to do lowlevel write");
        return -1;
    }
    session->state = HTTP_SESSION_LOWLEVEL;
    return __send_all(session, buf, len) == 0 ? static_cast<int>(len) : -3;
}
