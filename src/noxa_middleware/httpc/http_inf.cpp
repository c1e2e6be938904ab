#include "noxa_middleware/httpc/http_inf.h"

#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/online_log/log_serv.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t kRangeFlags = HDR_ADD_DEFAULT_USER_AGENT | HDR_ADD_CONN_KEEP_ALIVE | HDR_ADD_RANGE;
constexpr uint32_t kGetFlags = HDR_ADD_DEFAULT_USER_AGENT | HDR_ADD_CONN_KEEP_ALIVE;
constexpr uint32_t kPostFlags = HDR_ADD_DEFAULT_USER_AGENT | HDR_ADD_CONN_KEEP_ALIVE | HDR_ADD_CONTENT_TYPE_FORM_URLENCODE;

std::mutex s_logSeqMutex;
LOG_SEQ_HANDLE s_httpLogSeq = nullptr;

int __http_inf_read_cb(HTTP_SESSION_H session, uint8_t* buf, uint32_t len)
{
    return http_read_content(session, buf, len);
}

// A server that ignores the range sends the whole file: only an answer that says it holds the
// range is handed on. A 200 is the file from byte 0, so it stands for the range only when the
// range starts there; a resumed download must not append the file's head at its offset.
bool __range_usable(const HTTP_RESP_HDR_S* hdr, uint32_t rangeStart)
{
    return hdr->content_length != 0 && (hdr->status_code == 206 || (hdr->status_code == 200 && rangeStart == 0)) &&
           (hdr->accept_ranges == nullptr || strcmp(hdr->accept_ranges, "bytes") == 0);
}

int __http_inf_com_hanle(const HTTP_REQ_S* req, const char* url, uint32_t flags, HTTP_INF_RESP_CB cb, void* extra,
                         void* user_data)
{
    HTTP_SESSION_H session = nullptr;
    int ret = http_open_session(&session, url, 0, 0);
    if (ret != 0) {
        PR_ERR("Open session failed: %s (%d)", http_url_for_log(url).c_str(), ret);
        return HTTP_INF_OPEN_FAILED;
    }
    ret = http_prepare_req(session, req, flags);
    if (ret != 0) {
        http_close_session(&session);
        PR_ERR("Prepare request failed: %d", ret);
        return HTTP_INF_PREPARE_FAILED;
    }
    ret = http_send_request(session, req);
    if (ret != 0) {
        http_close_session(&session);
        PR_ERR("Send request failed: %d", ret);
        return HTTP_INF_SEND_FAILED;
    }
    HTTP_RESP_HDR_S* hdr = nullptr;
    ret = http_get_response_hdr(session, &hdr);
    if (ret != 0) {
        http_close_session(&session);
        PR_ERR("Get resp header failed: %d", ret);
        return HTTP_INF_RESP_HDR_FAILED;
    }
    if ((flags & HDR_ADD_RANGE) != 0 && !__range_usable(hdr, req->range_start)) {
        PR_ERR("Server Maybe Not support download in range. %u %d %s", static_cast<uint32_t>(hdr->content_length),
               hdr->status_code, hdr->accept_ranges != nullptr ? hdr->accept_ranges : "(null)");
        http_close_session(&session);
        return HTTP_INF_RANGE_REFUSED;
    }
    HTTP_RESP_S resp;
    resp.chunked = hdr->chunked;
    resp.content_len = static_cast<uint32_t>(hdr->content_length);
    resp.session = session;
    resp.read_content = __http_inf_read_cb;
    resp.user_data = user_data;
    resp.status_code = static_cast<uint32_t>(hdr->status_code);
    resp.extra = extra;
    ret = cb(&resp);
    http_close_session(&session);
    return ret;
}

HTTP_REQ_S __make_req(HTTP_METHOD_E type, const uint8_t* body, uint32_t body_len, HTTP_HEAD_ADD_CB add_cb,
                      void* add_data)
{
    HTTP_REQ_S req{};
    req.type = type;
    req.resource = nullptr;
    req.version = HTTP_VER_1_1;
    req.content = body;
    req.content_len = body_len;
    req.add_head_cb = add_cb;
    req.add_head_data = add_data;
    return req;
}

// The request line's resource comes from the URL itself.
int __request(HTTP_REQ_S& req, const char* url, uint32_t flags, HTTP_INF_RESP_CB cb, void* extra, void* user_data)
{
    if (url == nullptr || cb == nullptr) {
        return -2;
    }
    req.resource = url;
    return __http_inf_com_hanle(&req, url, flags, cb, extra, user_data);
}

}  // namespace

int http_inf_client_get(const char* url, HTTP_INF_RESP_CB cb, void* user_data)
{
    HTTP_REQ_S req = __make_req(HTTP_GET, nullptr, 0, nullptr, nullptr);
    return __request(req, url, kGetFlags, cb, nullptr, user_data);
}

int http_inf_client_get_file(const char* url, HTTP_INF_RESP_CB cb, void* user_data, uint32_t range_start,
                             uint32_t range_len)
{
    if (range_len == 0) {
        PR_DEBUG("Get File In Full Mode");
        return http_inf_client_get(url, cb, user_data);
    }
    PR_DEBUG("Get File In Range Mode [%u %u]", range_start, range_len);
    HTTP_REQ_S req = __make_req(HTTP_GET, nullptr, 0, nullptr, nullptr);
    req.range_start = range_start;
    req.range_len = range_len;
    return __request(req, url, kRangeFlags, cb, nullptr, user_data);
}

int http_inf_client_post(const char* url, HTTP_INF_RESP_CB cb, const uint8_t* body, uint32_t body_len,
                         HTTP_HEAD_ADD_CB add_cb, void* add_data, void* extra, void* user_data)
{
    HTTP_REQ_S req = __make_req(HTTP_POST, body, body_len, add_cb, add_data);
    return __request(req, url, kPostFlags, cb, extra, user_data);
}

int http_inf_client_post_custom(const char* url, HTTP_INF_RESP_CB cb, const uint8_t* body, uint32_t body_len,
                                HTTP_HEAD_ADD_CB add_cb, void* add_data, void* user_data)
{
    HTTP_REQ_S req = __make_req(HTTP_POST, body, body_len, add_cb, add_data);
    return __request(req, url, 0, cb, nullptr, user_data);
}

int http_inf_client_put(const char* url, HTTP_INF_RESP_CB cb, const uint8_t* body, uint32_t body_len,
                        HTTP_HEAD_ADD_CB add_cb, void* add_data, void* user_data)
{
    HTTP_REQ_S req = __make_req(HTTP_PUT, body, body_len, add_cb, add_data);
    return __request(req, url, 0, cb, nullptr, user_data);
}

int http_inf_read_resp_data(HTTP_RESP_S* resp, uint8_t* buf, uint32_t size)
{
    if (resp == nullptr || buf == nullptr || size == 0) {
        return -1;
    }
    return http_read_content(resp->session, buf, size);
}

HTTP_URL_H_S* create_http_url_h(uint16_t buf_len, uint8_t param_cnt)
{
    if (buf_len == 0) {
        buf_len = HTTP_URL_DEFAULT_BUF_LEN;
    }
    // The parameter table follows the text buffer, aligned for its pointers.
    size_t tableOff = sizeof(HTTP_URL_H_S) + buf_len;
    tableOff = (tableOff + alignof(HTTP_PARAM_H_S) - 1) / alignof(HTTP_PARAM_H_S) * alignof(HTTP_PARAM_H_S);
    size_t size = tableOff + sizeof(HTTP_PARAM_H_S) + param_cnt * sizeof(char*);
    auto* block = static_cast<uint8_t*>(Malloc(size));
    if (block == nullptr) {
        PR_ERR("malloc fails %u", static_cast<unsigned>(size));
        return nullptr;
    }
    memset(block, 0, size);
    auto* hu = reinterpret_cast<HTTP_URL_H_S*>(block);
    hu->param_in = reinterpret_cast<HTTP_PARAM_H_S*>(block + tableOff);
    hu->param_in->max_cnt = param_cnt;
    hu->buf_len = buf_len;
    hu->param_out = hu->buf + 1;  // behind the (empty) head and its NUL
    return hu;
}

int fill_url_head(HTTP_URL_H_S* hu, const char* url_h)
{
    if (hu == nullptr || url_h == nullptr) {
        return -2;
    }
    size_t len = strlen(url_h);
    // The head, its NUL, and room for the "?" the first parameter may add.
    if (len + 2 > hu->buf_len) {
        PR_ERR("url head of %u bytes does not fit %u", static_cast<unsigned>(len), hu->buf_len);
        return HTTP_URL_TRUNCATED;
    }
    memcpy(hu->buf, url_h, len + 1);
    hu->head_size = static_cast<uint16_t>(len);
    hu->param_out = hu->buf + len + 1;
    hu->param_in->cnt = 0;
    return 0;
}

int fill_url_param(HTTP_URL_H_S* hu, const char* key, const char* value)
{
    if (hu == nullptr || key == nullptr || value == nullptr) {
        return -2;
    }
    HTTP_PARAM_H_S* table = hu->param_in;
    if (table->cnt >= table->max_cnt) {
        return HTTP_URL_PARAM_FULL;
    }
    char* bufEnd = hu->buf + hu->buf_len;
    if (hu->head_size == 0 || hu->buf[hu->head_size - 1] != '?') {
        // Only before the first parameter: the head gains its "?" and the texts move behind it.
        if (hu->head_size + 2 > hu->buf_len) {
            return HTTP_URL_TRUNCATED;
        }
        hu->buf[hu->head_size++] = '?';
        hu->buf[hu->head_size] = '\0';
        if (hu->param_out < hu->buf + hu->head_size + 1) {
            hu->param_out = hu->buf + hu->head_size + 1;
        }
    }
    if (hu->param_out >= bufEnd) {
        return HTTP_URL_TRUNCATED;
    }
    size_t room = static_cast<size_t>(bufEnd - hu->param_out);
    int n = snprintf(hu->param_out, room, "%s=%s", key, value);
    if (n < 0) {
        return -1;
    }
    if (static_cast<size_t>(n) >= room) {
        hu->param_out[0] = '\0';
        return HTTP_URL_TRUNCATED;
    }
    table->pos[table->cnt++] = hu->param_out;
    hu->param_out += n + 1;
    return 0;
}

int http_log_seq_init(void)
{
    std::lock_guard<std::mutex> lock(s_logSeqMutex);
    if (s_httpLogSeq != nullptr) {
        return 0;
    }
    int ret = create_log_seq(HTTP_LOG_SEQ_NAME, log_serv_handle_err_log_seq_cb, &s_httpLogSeq);
    if (ret != 0) {
        PR_ERR("create log seq <http> fail..%d", ret);
        s_httpLogSeq = nullptr;
    }
    return ret;
}

LOG_SEQ_HANDLE http_get_log_seq(void)
{
    std::lock_guard<std::mutex> lock(s_logSeqMutex);
    return s_httpLogSeq;
}
