// The HTTP client's response side over arbitrary bytes from the server: the header read into
// the session buffer and parsed in place, header values looked up, then the body read in
// caller-sized pieces by Content-Length or chunked transfer coding. The body bytes handed out
// are checked against an independent decoding of what followed the header.
#include "fuzz_util.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_middleware/httpc/httpc.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using fuzz::Check;
using Bytes = std::vector<uint8_t>;

// The body a correct reader delivers: complete, or a prefix before the stream went wrong.
struct Body {
    Bytes bytes;
    bool complete = false;
};

Body Chunked(const uint8_t* r, size_t n)
{
    Body b;
    size_t pos = 0;
    for (;;) {
        std::string line;
        for (;;) {
            if (pos >= n) {
                return b;
            }
            char c = static_cast<char>(r[pos++]);
            if (c == '\r') {
                break;
            }
            if (line.size() == 32) {
                return b;
            }
            line += c;
        }
        if (pos >= n || r[pos++] != '\n') {
            return b;
        }
        line = line.c_str();  // the size line is read as a C text
        size_t i = 0;
        int64_t size = 0;
        for (; i < line.size() && isxdigit(static_cast<unsigned char>(line[i])); ++i) {
            size = size * 16 + (isdigit(static_cast<unsigned char>(line[i])) ? line[i] - '0' : tolower(line[i]) - 'a' + 10);
            if (size > INT32_MAX) {
                return b;
            }
        }
        if (i == 0) {
            return b;
        }
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i < line.size() && line[i] != ';') {
            return b;
        }
        if (size == 0) {
            b.complete = pos + 2 <= n && r[pos] == '\r' && r[pos + 1] == '\n';
            return b;
        }
        size_t take = std::min<size_t>(static_cast<size_t>(size), n - pos);
        b.bytes.insert(b.bytes.end(), r + pos, r + pos + take);
        pos += take;
        if (take < static_cast<size_t>(size) || pos + 2 > n || r[pos] != '\r' || r[pos + 1] != '\n') {
            return b;
        }
        pos += 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    MemPoolSetPassThrough(1);  // every block of its own, so that the sanitizer sees its bounds
    return 0;
}

// Input: the size of the caller's reads (0: 4,096), then the server's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 65536) {
        return 0;
    }
    uint32_t piece = data[0] != 0 ? data[0] : 4096;
    const uint8_t* stream = data + 1;
    size_t streamLen = size - 1;

    int fds[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    int room = 256 * 1024;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    for (size_t off = 0; off < streamLen;) {
        ssize_t w = write(fds[1], stream + off, streamLen - off);
        Check(w > 0);
        off += static_cast<size_t>(w);
    }
    close(fds[1]);

    // A session as http_send_request leaves it: a request sent, its response not read yet.
    auto* s = static_cast<HTTP_SESSION_H>(Malloc(sizeof(HTTP_SESSION_S)));
    memset(s, 0, sizeof(*s));
    s->sockfd = fds[0];
    s->hdr_walk = -1;
    s->buf = static_cast<char*>(Malloc(HTTP_SESSION_BUF_LEN));
    s->state = HTTP_SESSION_REQ_SENT;
    s->req_cnt = 1;

    HTTP_RESP_HDR_S* resp = nullptr;
    int ret = http_get_response_hdr(s, &resp);
    if (ret == 0) {
        Check(resp == &s->resp);
        int hdrLen = s->hdr_walk;
        Check(hdrLen >= 4 && hdrLen <= s->buf_len && s->buf_len < HTTP_SESSION_BUF_LEN);
        Check(strcasecmp(resp->protocol, "HTTP") == 0);
        Check(resp->status_code >= 0 && resp->status_code <= 999 && resp->content_length >= 0);
        for (const char* text : {resp->status_text, resp->server, resp->accept_ranges, resp->content_type,
                                 resp->content_encoding}) {
            Check(text == nullptr || (text >= s->buf && text < s->buf + hdrLen));
        }
        for (const char* name : {"Content-Length", "Location", "content-type", "X"}) {
            int32_t at = -1;
            if (http_get_response_hdr_value(s, name, &at) == 0) {
                Check(at > 0 && at < hdrLen);
            }
        }

        // The body, in pieces of the caller's size (exact blocks: one byte too many is caught).
        bool hasBody = resp->chunked != 0 || resp->content_length != 0;
        Body want;
        const uint8_t* after = stream + hdrLen;
        size_t afterLen = streamLen - static_cast<size_t>(hdrLen);
        if (resp->chunked != 0) {
            want = Chunked(after, afterLen);
        } else {
            size_t len = std::min<size_t>(static_cast<size_t>(resp->content_length), afterLen);
            want.bytes.assign(after, after + len);
            want.complete = len == static_cast<size_t>(resp->content_length);
        }
        Bytes got;
        int last = hasBody ? 1 : 0;
        std::unique_ptr<uint8_t[]> buf(new uint8_t[piece]);
        while (last > 0) {
            last = http_read_content(s, buf.get(), piece);
            Check(last <= static_cast<int>(piece));
            if (last > 0) {
                got.insert(got.end(), buf.get(), buf.get() + last);
                Check(got.size() <= want.bytes.size());
            }
        }
        if (want.complete) {
            Check(last == 0 && got == want.bytes);
            Check(s->state == (resp->keep_alive != 0 ? HTTP_SESSION_IDLE : HTTP_SESSION_DONE));
        } else {
            Check(last < 0 && got.size() <= want.bytes.size() &&
                  std::equal(got.begin(), got.end(), want.bytes.begin()));
        }
    }
    Check(http_close_session(&s) == 0 && s == nullptr);
    return 0;
}
