// The HTTP client against a scripted peer on 127.0.0.1 that answers exact bytes: URL parsing,
// the request header it writes, response headers good and bad, Content-Length and chunked bodies
// in pieces, bytes that came with the header, closes and silence, and the descriptors it leaves.
#include "noxa_middleware/httpc/httpc.h"

#include "http_session.h"
#include "noxa_adapter/network/uni_network.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace netpeer;
using Peer = ScriptedPeer;

namespace {

class Httpc : public testing::Test {
protected:
    void SetUp() override
    {
        Logs::Install();
        InstallLoopbackResolver();
    }
};

struct UrlRow {
    const char* url;
    int ret;
    const char* scheme;
    const char* host;
    uint32_t port;
    const char* resource;
};

std::string Text(const char* s)
{
    return s != nullptr ? s : "(null)";
}

TEST(HttpUrl, PartsOfEachUrl)
{
    const UrlRow rows[] = {
        {"http://h.test/a/b", 0, "http", "h.test", 80, "/a/b"},
        {"https://h.test/x?y=1", 0, "https", "h.test", 80, "/x?y=1"},  // 443 is the session's choice
        {"http://h:8080", 0, "http", "h", 8080, nullptr},
        {"http://h:8080/", 0, "http", "h", 8080, "/"},
        {"h.test:81/p", 0, nullptr, "h.test", 81, "/p"},
        {"h.test", 0, nullptr, "h.test", 80, nullptr},
        {"10.0.0.1/api", 0, nullptr, "10.0.0.1", 80, "/api"},
        {"http://h/a:b", 0, "http", "h", 80, "/a:b"},
        {"http://h:65535/", 0, "http", "h", 65535, "/"},
        {"http://h:x/", -2, nullptr, nullptr, 0, nullptr},
        {"http://h:/", -2, nullptr, nullptr, 0, nullptr},
        {"http://h:65536/", -2, nullptr, nullptr, 0, nullptr},
        {"http://h:80x/", -2, nullptr, nullptr, 0, nullptr},
    };
    for (const UrlRow& row : rows) {
        SCOPED_TRACE(row.url);
        std::vector<char> buf(strlen(row.url) + 10);  // exactly what the parser asks for
        HTTP_PARSED_URL_S parsed{};
        ASSERT_EQ(row.ret, http_parse_URL(row.url, buf.data(), static_cast<uint32_t>(buf.size()), &parsed));
        if (row.ret != 0) {
            continue;
        }
        EXPECT_EQ(Text(row.scheme), Text(parsed.scheme));
        EXPECT_EQ(Text(row.host), Text(parsed.hostname));
        EXPECT_EQ(row.port, parsed.port);
        EXPECT_EQ(Text(row.resource), Text(parsed.resource));
    }
    std::vector<char> small(strlen("http://h/") + 9);
    HTTP_PARSED_URL_S parsed{};
    EXPECT_EQ(-1, http_parse_URL("http://h/", small.data(), static_cast<uint32_t>(small.size()), &parsed));
    EXPECT_EQ(-1, http_parse_URL(nullptr, small.data(), 100, &parsed));
}

TEST_F(Httpc, HttpsWithoutPortOrWithPort80GoesTo443)
{
    for (const char* url : {"https://noxa.test/a", "https://noxa.test:80/a"}) {
        HTTP_SESSION_H s = nullptr;
        Logs::Clear();
        // Nothing listens on 127.0.0.1:443 here; the attempt shows where it went.
        EXPECT_NE(0, http_open_session(&s, url, 0, 0));
        EXPECT_EQ(nullptr, s);
        EXPECT_TRUE(Logs::Has("Force enable TLS flag")) << url;
        EXPECT_TRUE(Logs::Has("Connecting .. noxa.test:443")) << url;
    }
    // The flag alone does the same for a plain URL.
    HTTP_SESSION_H s = nullptr;
    Logs::Clear();
    EXPECT_NE(0, http_open_session(&s, "http://noxa.test/a", 1, 0));
    EXPECT_TRUE(Logs::Has("Connecting .. noxa.test:443"));
}

TEST_F(Httpc, PortWithoutPathSendsTheRootResource)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")});
    std::string url = std::string("http://") + kHost + ":" + std::to_string(peer.Port());
    Session ss(url);
    ASSERT_EQ(0, ss.ret);
    // A whole URL as the resource: its path part goes on the request line.
    ASSERT_EQ(0, ss.Get(url.c_str()));
    EXPECT_EQ(200, ss.hdr->status_code);
    ASSERT_EQ(1u, peer.Requests().size());
    EXPECT_EQ(0u, peer.Requests()[0].rfind("GET / HTTP/1.1\r\n", 0)) << peer.Requests()[0];
}

TEST_F(Httpc, RequestHeaderLinesInTheirOrder)
{
    Peer peer({Peer::Send("HTTP/1.1 204 No Content\r\n\r\n")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.ret);
    std::string body = "a=1&b=2";
    HTTP_REQ_S req = Request(HTTP_POST, "/api?x=1", &body);
    req.range_start = 100;
    req.range_len = 50;
    req.add_head_cb = [](HTTP_SESSION_H s, void* data) {
        return http_add_header(s, "X-Sign", static_cast<const char*>(data));
    };
    req.add_head_data = const_cast<char*>("abc");
    // Every flag but close and chunked; the form type loses to JSON.
    uint32_t flags = HDR_ADD_DEFAULT_USER_AGENT | HDR_ADD_CONN_KEEP_ALIVE | HDR_ADD_CONTENT_TYPE_JSON |
                     HDR_ADD_CONTENT_TYPE_FORM_URLENCODE | HDR_ADD_RANGE;
    ASSERT_EQ(0, http_prepare_req(ss.s, &req, flags));
    EXPECT_EQ(HTTP_SESSION_REQ_PREPARED, ss.s->state);
    ASSERT_EQ(0, http_send_request(ss.s, &req));
    EXPECT_EQ(HTTP_SESSION_REQ_SENT, ss.s->state);
    EXPECT_EQ(1u, ss.s->req_cnt);
    ASSERT_EQ(0, http_get_response_hdr(ss.s, &ss.hdr));
    EXPECT_EQ(HTTP_SESSION_IDLE, ss.s->state);
    EXPECT_EQ(0u, ss.s->req_cnt);
    ASSERT_EQ(1u, peer.Requests().size());
    EXPECT_EQ(std::string("POST /api?x=1 HTTP/1.1\r\n"
                          "Host: noxa.test\r\n"
                          "User-Agent: NOXA_IOT_SDK\r\n"
                          "Connection: keep-alive\r\n"
                          "Content-Type: application/json\r\n"
                          "Content-Length: 7\r\n"
                          "Range: bytes=100-149\r\n"
                          "X-Sign: abc\r\n"
                          "\r\n"
                          "a=1&b=2"),
              peer.Requests()[0]);
}

TEST_F(Httpc, CloseFormAndChunkedRequestBody)
{
    Peer peer({Peer::Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.ret);
    HTTP_REQ_S req = Request(HTTP_PUT, "/up");
    ASSERT_EQ(0, http_prepare_req(ss.s, &req,
                                  HDR_ADD_CONN_CLOSE | HDR_ADD_CONTENT_TYPE_FORM_URLENCODE |
                                      HDR_ADD_TRANSFER_ENCODING_CHUNKED));
    ASSERT_EQ(0, http_send_request(ss.s, &req));
    ASSERT_EQ(0, httpc_write_chunked(ss.s, reinterpret_cast<const uint8_t*>("hello world, "), 13));
    ASSERT_EQ(0, httpc_write_chunked(ss.s, reinterpret_cast<const uint8_t*>("bye"), 3));
    ASSERT_EQ(0, httpc_write_chunked(ss.s, nullptr, 0));
    EXPECT_EQ("ok", ss.Body(16));
    EXPECT_EQ(HTTP_SESSION_DONE, ss.s->state) << "a 1.0 answer keeps nothing alive";
    EXPECT_EQ(std::string("PUT /up HTTP/1.1\r\n"
                          "Host: noxa.test\r\n"
                          "Connection: close\r\n"
                          "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
                          "Transfer-Encoding: chunked\r\n"
                          "\r\n"
                          "d\r\nhello world, \r\n3\r\nbye\r\n0\r\n\r\n"),
              peer.Requests()[0]);
}

TEST_F(Httpc, PrepareRefusesWhatCannotBeSent)
{
    Peer peer({Peer::Silent()});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.ret);
    HTTP_REQ_S req = Request(HTTP_GET, "/");
    EXPECT_EQ(-2, http_prepare_req(ss.s, &req, HDR_ADD_CONN_KEEP_ALIVE | HDR_ADD_CONN_CLOSE));
    EXPECT_EQ(-1, http_add_header(ss.s, "X", "y")) << "not prepared";
    // A request line that does not fit the buffer is an error, never a header without it.
    std::string longPath = "/" + std::string(HTTP_SESSION_BUF_LEN, 'p');
    req.resource = longPath.c_str();
    EXPECT_EQ(-2, http_prepare_req(ss.s, &req, 0));
    EXPECT_EQ(HTTP_SESSION_IDLE, ss.s->state);
    // Header lines up to the limit, and not one byte over.
    req.resource = "/";
    ASSERT_EQ(0, http_prepare_req(ss.s, &req, 0));
    std::string value(HTTP_SESSION_BUF_LEN, 'v');
    int used = ss.s->buf_len;
    int fits = HTTP_SESSION_BUF_LEN - 3 - used - static_cast<int>(strlen("X-Big: \r\n"));
    EXPECT_EQ(-2, http_add_header(ss.s, "X-Big", value.substr(0, fits + 1).c_str()));
    EXPECT_EQ(used, ss.s->buf_len);
    EXPECT_EQ(0, http_add_header(ss.s, "X-Big", value.substr(0, fits).c_str()));
    EXPECT_EQ(HTTP_SESSION_BUF_LEN - 3, ss.s->buf_len);
    EXPECT_EQ(-2, http_add_header(ss.s, "X", ""));
    // POST with a length but no body.
    HTTP_REQ_S post = Request(HTTP_POST, "/");
    post.content_len = 5;
    EXPECT_EQ(-1, http_send_request(ss.s, &post));
}

TEST_F(Httpc, BadMethodOrVersionFailsTheSession)
{
    Peer peer({Peer::Silent()});
    const struct {
        int method;
        uint32_t version;
        const char* log;
    } rows[] = {
        {0, 1, "Method not yet supported."},
        {5, 1, "Method not yet supported."},
        {7, 0, "Method not yet supported."},
        {8, 1, "Unknown method given."},
        {1, 2, "Unknown version given"},
    };
    for (const auto& row : rows) {
        Session ss(Url(peer.Port()));
        ASSERT_EQ(0, ss.ret);
        Logs::Clear();
        HTTP_REQ_S req = Request(static_cast<HTTP_METHOD_E>(row.method), "/");
        req.version = row.version;
        EXPECT_EQ(-1, http_prepare_req(ss.s, &req, 0)) << row.method;
        EXPECT_EQ(HTTP_SESSION_FAILED, ss.s->state);
        EXPECT_TRUE(Logs::Has(row.log)) << row.log;
        EXPECT_EQ(-1, http_prepare_req(ss.s, &req, 0)) << "a failed session is only closed";
    }
}

TEST_F(Httpc, ContentLengthZeroEndsTheTransactionAtTheHeader)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nServer: t\r\n\r\n")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    EXPECT_EQ(HTTP_SESSION_IDLE, ss.s->state);
    EXPECT_EQ(0u, ss.s->req_cnt);
    EXPECT_STREQ("t", ss.hdr->server);
    uint8_t b;
    EXPECT_EQ(-2, http_read_content(ss.s, &b, 1)) << "nothing outstanding";
}

TEST_F(Httpc, BodyBytesThatCameWithTheHeaderAreServedFirst)
{
    // Bytes behind the body (a next response) are never served as this one's.
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123"), Peer::Gate(),
               Peer::Send("456789HTTP/1.1 200 OK\r\n")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    uint8_t buf[100];
    EXPECT_EQ(4, http_read_content(ss.s, buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, "0123", 4));
    EXPECT_EQ(HTTP_SESSION_READING_BODY, ss.s->state);
    peer.OpenGate();  // the rest only now, so it must come from the socket
    EXPECT_EQ(6, http_read_content(ss.s, buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, "456789", 6));
    EXPECT_EQ(0, http_read_content(ss.s, buf, sizeof(buf)));
    EXPECT_EQ(HTTP_SESSION_IDLE, ss.s->state);
    EXPECT_TRUE(Logs::Has("Using prefetch"));
    EXPECT_TRUE(Logs::Has("Using actual read"));
}

TEST_F(Httpc, ChunkedBodyReadWithASmallBuffer)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    EXPECT_EQ(1u, ss.hdr->chunked);
    std::vector<int> sizes;
    EXPECT_EQ("hello", ss.Body(3, &sizes));
    EXPECT_EQ((std::vector<int>{3, 2, 0}), sizes);
    EXPECT_EQ(HTTP_SESSION_IDLE, ss.s->state);
}

TEST_F(Httpc, ChunksSplitAcrossReceives)
{
    // Pieces that arrive only after the client has read what came before: inside a chunk's data,
    // and between a chunk and the next size line (an extension and upper-case hex there).
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhel"), Peer::Gate(),
               Peer::Send("lo\r\n"), Peer::Gate(), Peer::Send("1A;ext=1\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    uint8_t buf[3];
    EXPECT_EQ(3, http_read_content(ss.s, buf, 3));
    EXPECT_EQ(HTTP_CHUNK_READ_DATA, ss.s->chunk_state);
    peer.OpenGate();
    EXPECT_EQ(2, http_read_content(ss.s, buf, 3));
    EXPECT_EQ(HTTP_CHUNK_READ_LEN, ss.s->chunk_state);
    peer.OpenGate();
    std::vector<int> sizes;
    EXPECT_EQ("abcdefghijklmnopqrstuvwxyz", ss.Body(10, &sizes));
    EXPECT_EQ((std::vector<int>{10, 10, 6, 0}), sizes);
}

TEST_F(Httpc, BrokenChunkStreams)
{
    const struct {
        const char* chunks;
        int firstRead;
    } rows[] = {
        {"zz\r\nhello\r\n0\r\n\r\n", -2},                     // not a size
        {"ffffffffff\r\nhello\r\n0\r\n\r\n", -2},             // a size beyond 32 bits
        {"-5\r\nhello\r\n0\r\n\r\n", -2},                     // negative
        {"5x\r\nhello\r\n0\r\n\r\n", -2},                     // junk behind the size
        {"5\rXhello\r\n0\r\n\r\n", -2},                       // CR without LF
        {"000000000000000000000000000000005\r\nhello\r\n", -2},  // size line over 32 bytes
        {"5\r\nhelloXY0\r\n\r\n", -2},                        // no CRLF behind the data
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.chunks);
        Peer peer({Peer::Send(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") + row.chunks)});
        Session ss(Url(peer.Port()));
        ASSERT_EQ(0, ss.Get());
        uint8_t buf[16];
        EXPECT_EQ(row.firstRead, http_read_content(ss.s, buf, sizeof(buf)));
        EXPECT_EQ(HTTP_CHUNK_BROKEN, ss.s->chunk_state);
        EXPECT_EQ(-2, http_read_content(ss.s, buf, sizeof(buf))) << "stays broken";
    }
}

TEST_F(Httpc, HeaderBoundaryOfTheBuffer)
{
    // The longest header the buffer takes is 4,095 bytes; one more is refused.
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Pad: ";
    for (int total : {4095, 4096, 6000}) {
        SCOPED_TRACE(total);
        std::string pad(total - head.size() - 4, 'p');
        Peer peer({Peer::Send(head + pad + "\r\n\r\nok")});
        Session ss(Url(peer.Port()));
        int ret = ss.Get();
        if (total <= 4095) {
            ASSERT_EQ(0, ret);
            EXPECT_EQ(pad.size(), ss.s->hdr_walk - head.size() - 4u);
            EXPECT_EQ("ok", ss.Body(8));
        } else {
            EXPECT_EQ(-2, ret);
            EXPECT_EQ(HTTP_SESSION_FAILED, ss.s->state);
            EXPECT_TRUE(Logs::Has("Header not found."));
        }
    }
}

TEST_F(Httpc, HeaderLinesAsServersWriteThem)
{
    Peer peer({Peer::Send("HTTP/1.1 200 Fine Thanks\r\n"
                          "content-length:5\r\n"
                          "Server:  nginx \r\n"
                          "ACCEPT-RANGES:\tbytes\r\n"
                          "Content-Type: text/plain\r\n"
                          "Content-Encoding: identity\r\n"
                          "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                          "Keep-Alive: timeout=5, max=100\r\n"
                          "\r\nhello")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    const HTTP_RESP_HDR_S* h = ss.hdr;
    EXPECT_STREQ("HTTP", h->protocol);
    EXPECT_EQ(1u, h->version_1_1);
    EXPECT_EQ(200, h->status_code);
    EXPECT_STREQ("Fine Thanks", h->status_text);
    EXPECT_EQ(5, h->content_length);
    EXPECT_STREQ("nginx", h->server);
    EXPECT_STREQ("bytes", h->accept_ranges);
    EXPECT_STREQ("text/plain", h->content_type);
    EXPECT_STREQ("identity", h->content_encoding);
    EXPECT_EQ(784111777u, h->last_modified);
    EXPECT_EQ(1u, h->keep_alive);
    EXPECT_EQ(5, h->keep_alive_timeout);
    EXPECT_EQ(100, h->keep_alive_max);
    int32_t off = -1;
    ASSERT_EQ(0, http_get_response_hdr_value(ss.s, "server", &off));
    EXPECT_STREQ("nginx", ss.s->buf + off);
    EXPECT_EQ(-1, http_get_response_hdr_value(ss.s, "X-None", &off));
    EXPECT_EQ("hello", ss.Body(64));
}

TEST_F(Httpc, ConnectionAndKeepAliveDecideTheEndState)
{
    const struct {
        const char* header;
        uint32_t keepAlive;
        uint32_t endState;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", 1, HTTP_SESSION_IDLE},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx", 0, HTTP_SESSION_DONE},
        {"HTTP/1.1 200 OK\r\nConnection: Upgrade\r\nContent-Length: 1\r\n\r\nx", 0, HTTP_SESSION_DONE},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", 0, HTTP_SESSION_DONE},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\nx", 1, HTTP_SESSION_IDLE},
        {"HTTP/1.1 200 OK\r\nKeep-Alive: max=3\r\nContent-Length: 1\r\n\r\nx", 0, HTTP_SESSION_DONE},
        {"HTTP/1.1 200 OK\r\nKeep-Alive: timeout=x\r\nContent-Length: 1\r\n\r\nx", 0, HTTP_SESSION_DONE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.header);
        Peer peer({Peer::Send(row.header)});
        Session ss(Url(peer.Port()));
        ASSERT_EQ(0, ss.Get());
        EXPECT_EQ(row.keepAlive, ss.hdr->keep_alive);
        EXPECT_EQ("x", ss.Body(4));
        EXPECT_EQ(row.endState, ss.s->state);
    }
}

TEST_F(Httpc, MalformedHeadersFailTheResponse)
{
    const char* rows[] = {
        "HTTX/1.1 200 OK\r\n\r\n",
        "HTTP/2.0 200 OK\r\n\r\n",
        "HTTP/1.1\r\n\r\n",
        "HTTP/1.1 20 OK\r\n\r\n",
        "HTTP/1.1 2000 OK\r\n\r\n",
        "HTTP/1.1 200 OK\r\nNo colon here\r\nContent-Length: 4\r\n\r\nbody",
        "HTTP/1.1 200 OK\r\n: no name\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n",
    };
    for (const char* response : rows) {
        SCOPED_TRACE(response);
        Peer peer({Peer::Send(response)});
        Session ss(Url(peer.Port()));
        EXPECT_EQ(-2, ss.Get());
        EXPECT_EQ(HTTP_SESSION_FAILED, ss.s->state);
        uint8_t buf[8];
        EXPECT_EQ(-2, http_read_content(ss.s, buf, sizeof(buf))) << "nothing is served as body";
    }
}

TEST_F(Httpc, StatusWithoutReasonPhraseIsKept)
{
    Peer peer({Peer::Send("HTTP/1.1 200\r\nContent-Length: 2147483647\r\n\r\n")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    EXPECT_STREQ("", ss.hdr->status_text);
    EXPECT_EQ(2147483647, ss.hdr->content_length);
}

TEST_F(Httpc, NotFoundStopsAReadThatFetchesTheHeaderItself)
{
    Peer peer({Peer::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.ret);
    HTTP_REQ_S req = Request(HTTP_GET, "/missing");
    ASSERT_EQ(0, http_prepare_req(ss.s, &req, 0));
    ASSERT_EQ(0, http_send_request(ss.s, &req));
    uint8_t buf[32];
    EXPECT_EQ(-2, http_read_content(ss.s, buf, sizeof(buf)));
    EXPECT_TRUE(Logs::Has("HTTP status code: 404"));
    // The header is read now: the body is served whatever the status.
    EXPECT_EQ("not found", ss.Body(32));
}

TEST_F(Httpc, PeerClosingInMidBody)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123"), Peer::Gate()});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    uint8_t buf[16];
    EXPECT_EQ(4, http_read_content(ss.s, buf, sizeof(buf)));
    peer.OpenGate();  // the script ends: the peer closes
    EXPECT_EQ(HTTP_RECV_CLOSED, http_read_content(ss.s, buf, sizeof(buf)));
    EXPECT_EQ(HTTP_SESSION_FAILED, ss.s->state);
}

TEST_F(Httpc, PeerClosingInMidChunk)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8\r\n0123"), Peer::Gate()});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.Get());
    uint8_t buf[16];
    EXPECT_EQ(4, http_read_content(ss.s, buf, sizeof(buf)));
    peer.OpenGate();
    EXPECT_EQ(HTTP_RECV_CLOSED, http_read_content(ss.s, buf, sizeof(buf)));
    EXPECT_EQ(HTTP_CHUNK_BROKEN, ss.s->chunk_state);
}

TEST_F(Httpc, PeerClosingWithoutAnAnswer)
{
    Peer peer({});
    Session ss(Url(peer.Port()));
    EXPECT_EQ(HTTP_RECV_CLOSED, ss.Get());
    EXPECT_EQ(HTTP_SESSION_REQ_SENT, ss.s->state) << "nothing of a header came";
}

TEST_F(Httpc, SilentPeerTimesOut)
{
    // 10 s: the client's bound on any wait for a response.
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\n"), Peer::Silent()});
    Session ss(Url(peer.Port()));
    EXPECT_EQ(HTTP_RECV_TIMEOUT, ss.Get());
    EXPECT_EQ(HTTP_SESSION_FAILED, ss.s->state) << "part of a header had come";
    EXPECT_TRUE(Logs::Has("http socket recv select time out"));
}

TEST_F(Httpc, LargeBodyIsSentWhole)
{
    Peer peer({Peer::Send("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.ret);
    std::string body(3 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(i * 131 + 7);
    }
    HTTP_REQ_S req = Request(HTTP_PUT, "/big", &body);
    ASSERT_EQ(0, http_prepare_req(ss.s, &req, 0));
    ASSERT_EQ(0, http_send_request(ss.s, &req));
    ASSERT_EQ(0, http_get_response_hdr(ss.s, &ss.hdr));
    EXPECT_EQ(201, ss.hdr->status_code);
    std::string got = peer.Requests().at(0);
    ASSERT_GE(got.size(), body.size());
    EXPECT_TRUE(got.compare(got.size() - body.size(), body.size(), body) == 0);
}

TEST_F(Httpc, OpenFailuresReleaseEverything)
{
    int fds = OpenFdCount();
    HTTP_SESSION_H s = reinterpret_cast<HTTP_SESSION_H>(0x1);
    EXPECT_EQ(-1, http_open_session(nullptr, "http://noxa.test/", 0, 0));
    EXPECT_EQ(-1, http_open_session(&s, nullptr, 0, 0));
    std::string longUrl = "http://noxa.test/" + std::string(HTTP_SESSION_BUF_LEN, 'a');
    EXPECT_EQ(-2, http_open_session(&s, longUrl.c_str(), 0, 0));
    EXPECT_EQ(nullptr, s);
    std::string longHost = "http://" + std::string(256, 'h') + ".test/";
    EXPECT_EQ(-2, http_open_session(&s, longHost.c_str(), 0, 0));
    EXPECT_EQ(-2, http_open_session(&s, "http://h:99999/", 0, 0));
    EXPECT_EQ(-2, http_open_session(&s, "http://nowhere.invalid/", 0, 0));
    EXPECT_TRUE(Logs::Has("No entry for host nowhere.invalid found"));
    EXPECT_EQ(-2, http_open_session(&s, "http://300.1.2.3/", 0, 0));
    // Refused: the name's cache entry goes, so the next open asks the resolver again.
    std::string closed = Url(FreePort());
    unw_clear_dns_cache(kHost);
    int lookups = LookupCount();
    EXPECT_EQ(-7, http_open_session(&s, closed.c_str(), 0, 0));
    EXPECT_EQ(-7, http_open_session(&s, closed.c_str(), 0, 0));
    EXPECT_EQ(lookups + 2, LookupCount());
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(fds, OpenFdCount());
}

TEST_F(Httpc, NoDescriptorLeftOnAnyPath)
{
    const std::vector<Peer::Step> scripts[] = {
        {Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")},
        {Peer::Send("HTTP/1.1 200 OK\r\nbroken\r\n\r\n")},
        {},
        {Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc")},
    };
    for (const auto& script : scripts) {
        Peer peer(script);
        int fds = OpenFdCount();
        {
            Session ss(Url(peer.Port()));
            ASSERT_EQ(0, ss.ret);
            if (ss.Get() == 0) {
                ss.Body(4);
            }
        }
        // The peer's side of the connection is in this process too.
        ASSERT_TRUE(peer.WaitDone(1));
        EXPECT_EQ(fds, OpenFdCount());
    }
    HTTP_SESSION_H none = nullptr;
    EXPECT_EQ(-1, http_close_session(&none));
    EXPECT_EQ(-1, http_close_session(nullptr));
}

TEST_F(Httpc, LowLevelReadAndWrite)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody")});
    Session ss(Url(peer.Port()));
    ASSERT_EQ(0, ss.ret);
    const char req[] = "GET /raw HTTP/1.0\r\n\r\n";
    EXPECT_EQ(static_cast<int>(sizeof(req) - 1),
              http_lowlevel_write(ss.s, reinterpret_cast<const uint8_t*>(req), sizeof(req) - 1));
    EXPECT_EQ(HTTP_SESSION_LOWLEVEL, ss.s->state);
    std::string got;
    uint8_t buf[64];
    int n;
    while ((n = http_lowlevel_read(ss.s, buf, sizeof(buf))) > 0) {
        got.append(reinterpret_cast<char*>(buf), n);
    }
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody", got);
    EXPECT_EQ(HTTP_RECV_CLOSED, n);
    EXPECT_EQ("GET /raw HTTP/1.0\r\n\r\n", peer.Requests().at(0));
    EXPECT_EQ(-1, http_lowlevel_read(ss.s, nullptr, 1));
    EXPECT_EQ(-1, http_lowlevel_write(ss.s, buf, 0));
}

}  // namespace
