// An HTTP client session for the suites: one request at a time up to its response header, and
// the body read in pieces of a chosen size.
#pragma once

#include "net_peers.h"
#include "noxa_middleware/httpc/httpc.h"

#include <string>
#include <vector>

namespace netpeer {

inline std::string Url(uint16_t port, const std::string& path = "/", bool tls = false)
{
    return std::string(tls ? "https://" : "http://") + kHost + ":" + std::to_string(port) + path;
}

inline HTTP_REQ_S Request(HTTP_METHOD_E method, const char* resource, const std::string* body = nullptr)
{
    HTTP_REQ_S req{};
    req.type = method;
    req.resource = resource;
    req.version = HTTP_VER_1_1;
    if (body != nullptr) {
        req.content = reinterpret_cast<const uint8_t*>(body->data());
        req.content_len = static_cast<uint32_t>(body->size());
    }
    return req;
}

constexpr uint32_t kKeepAlive = HDR_ADD_DEFAULT_USER_AGENT | HDR_ADD_CONN_KEEP_ALIVE;

// One session, closed at the end of the scope.
struct Session {
    HTTP_SESSION_H s = nullptr;
    int ret = -1;
    HTTP_RESP_HDR_S* hdr = nullptr;
    int last = 0;  // the read that ended the last body: 0 or an error

    explicit Session(const std::string& url, uint32_t flags = 0) { ret = http_open_session(&s, url.c_str(), flags, 0); }
    ~Session()
    {
        if (s != nullptr) {
            http_close_session(&s);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int Send(const HTTP_REQ_S& req, uint32_t flags)
    {
        int r = http_prepare_req(s, &req, flags);
        if (r == 0) {
            r = http_send_request(s, &req);
        }
        return r != 0 ? r : http_get_response_hdr(s, &hdr);
    }
    int Get(const char* resource = "/", uint32_t flags = kKeepAlive) { return Send(Request(HTTP_GET, resource), flags); }
    // The body in reads of `piece` bytes; the size of each read (the final 0 or error included).
    std::string Body(uint32_t piece = 1000, std::vector<int>* sizes = nullptr)
    {
        std::string body;
        std::vector<uint8_t> buf(piece);
        while (true) {
            last = http_read_content(s, buf.data(), piece);
            if (sizes != nullptr) {
                sizes->push_back(last);
            }
            if (last <= 0) {
                return body;
            }
            body.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(last));
        }
    }
};

}  // namespace netpeer
