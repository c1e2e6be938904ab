// The one-call requests against nginx and the scripted peer: what each call puts on the wire,
// what its callback sees, the range check, every failure code with its session closed (the
// process's descriptors counted), the URL parameter builder and the "http" log sequence.
#include "noxa_middleware/httpc/http_inf.h"

#include "http_session.h"
#include "noxa_adapter/utilities/mem_pool.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

using namespace netpeer;
using Peer = ScriptedPeer;

namespace {

// What a callback saw.
struct Seen {
    int calls = 0;
    HTTP_RESP_S resp{};
    std::string body;
    int result = 0;  // what the callback returns
};

int Collect(HTTP_RESP_S* resp)
{
    auto* seen = static_cast<Seen*>(resp->user_data);
    ++seen->calls;
    seen->resp = *resp;
    uint8_t buf[5];
    int n;
    while ((n = resp->read_content(resp->session, buf, sizeof(buf))) > 0) {
        seen->body.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    }
    return seen->result;
}

int ReadThroughDescriptor(HTTP_RESP_S* resp)
{
    auto* seen = static_cast<Seen*>(resp->user_data);
    ++seen->calls;
    uint8_t buf[64];
    int n = http_inf_read_resp_data(resp, buf, sizeof(buf));
    seen->body.assign(reinterpret_cast<char*>(buf), n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(-1, http_inf_read_resp_data(resp, buf, 0));
    EXPECT_EQ(-1, http_inf_read_resp_data(nullptr, buf, 1));
    return 7;
}

int AddSign(HTTP_SESSION_H s, void* data)
{
    return http_add_header(s, "X-Sign", static_cast<const char*>(data));
}

class HttpInf : public testing::Test {
protected:
    void SetUp() override
    {
        Logs::Install();
        InstallLoopbackResolver();
        fds = OpenFdCount();
    }
    // Every path closes its session.
    void TearDown() override { EXPECT_EQ(fds, OpenFdCount()); }
    int fds = 0;
    Seen seen;
};

TEST_F(HttpInf, GetHandsTheResponseToTheCallback)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nhello world")});
    seen.result = 42;
    EXPECT_EQ(42, http_inf_client_get(Url(peer.Port(), "/dev/info?x=1").c_str(), Collect, &seen));
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ("hello world", seen.body);
    EXPECT_EQ(200u, seen.resp.status_code);
    EXPECT_EQ(11u, seen.resp.content_len);
    EXPECT_EQ(0u, seen.resp.chunked);
    EXPECT_EQ(nullptr, seen.resp.extra);
    EXPECT_EQ(std::string("GET /dev/info?x=1 HTTP/1.1\r\n"
                          "Host: noxa.test\r\n"
                          "User-Agent: NOXA_IOT_SDK\r\n"
                          "Connection: keep-alive\r\n\r\n"),
              peer.Requests().at(0));
}

TEST_F(HttpInf, ChunkedAnswerAndTheDescriptorsReadCall)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n")});
    EXPECT_EQ(7, http_inf_client_get(Url(peer.Port()).c_str(), ReadThroughDescriptor, &seen));
    EXPECT_EQ("abcd", seen.body);
}

TEST_F(HttpInf, NotFoundReachesTheCallback)
{
    Nginx nginx(NginxSite{});
    EXPECT_EQ(0, http_inf_client_get(Url(nginx.Port(), "/none").c_str(), Collect, &seen));
    EXPECT_EQ(404u, seen.resp.status_code);
    EXPECT_NE(std::string::npos, seen.body.find("404 Not Found"));
}

TEST_F(HttpInf, FileInFullAndInRangeFromNginx)
{
    Nginx nginx(NginxSite{});
    std::string file(3000, '\0');
    for (size_t i = 0; i < file.size(); ++i) {
        file[i] = static_cast<char>('0' + i % 10);
    }
    WriteFile(nginx.Root() + "/fw.bin", file);
    const std::string url = Url(nginx.Port(), "/fw.bin");
    EXPECT_EQ(0, http_inf_client_get_file(url.c_str(), Collect, &seen, 0, 0));
    EXPECT_EQ(file, seen.body);
    EXPECT_TRUE(Logs::Has("Get File In Full Mode"));
    Seen part;
    EXPECT_EQ(0, http_inf_client_get_file(url.c_str(), Collect, &part, 1000, 24));
    EXPECT_EQ(206u, part.resp.status_code);
    EXPECT_EQ(file.substr(1000, 24), part.body);
    EXPECT_TRUE(Logs::Has("Get File In Range Mode [1000 24]"));
    EXPECT_TRUE(nginx.LogHas("access.log", "\"GET /fw.bin HTTP/1.1\" 206 24"));
}

TEST_F(HttpInf, RangeAnswersThatAreUsableOrNot)
{
    const struct {
        const char* response;
        uint32_t start;
        int ret;
    } rows[] = {
        // The whole file with no word on ranges: the range when it starts at byte 0.
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", 0, 0},
        // A resumed download must not get the file's head as the bytes from its offset.
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", 10, -719},
        {"HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 13\r\n\r\n0123456789abc", 10, -719},
        {"HTTP/1.1 206 Partial Content\r\nAccept-Ranges: bytes\r\nContent-Length: 3\r\n\r\nabc", 10, 0},
        {"HTTP/1.1 200 OK\r\nAccept-Ranges: none\r\nContent-Length: 3\r\n\r\nabc", 0, -719},
        {"HTTP/1.1 200 OK\r\nAccept-Ranges: Bytes\r\nContent-Length: 3\r\n\r\nabc", 0, -719},
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 0\r\n\r\n", 10, -719},
        {"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 3\r\n\r\nabc", 10, -719},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 0, -719},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.response) + " from " + std::to_string(row.start));
        Peer peer({Peer::Send(row.response)});
        Seen s;
        EXPECT_EQ(row.ret, http_inf_client_get_file(Url(peer.Port(), "/f").c_str(), Collect, &s, row.start, 3));
        EXPECT_EQ(row.ret == 0 ? 1 : 0, s.calls);
        EXPECT_EQ(row.ret == 0 ? "abc" : "", s.body);
        const std::string range =
            "\r\nRange: bytes=" + std::to_string(row.start) + "-" + std::to_string(row.start + 2) + "\r\n";
        EXPECT_NE(std::string::npos, peer.Requests().at(0).find(range));
    }
}

TEST_F(HttpInf, PostWithFormTypeSignHeaderAndExtra)
{
    Peer peer({Peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}")});
    const std::string body = "data=0A1B";
    int extra = 5;
    EXPECT_EQ(0, http_inf_client_post(Url(peer.Port(), "/api.json?a=1&sign=x").c_str(), Collect,
                                      reinterpret_cast<const uint8_t*>(body.data()), body.size(), AddSign,
                                      const_cast<char*>("s1"), &extra, &seen));
    EXPECT_EQ(&extra, seen.resp.extra);
    EXPECT_EQ("{}", seen.body);
    EXPECT_EQ(std::string("POST /api.json?a=1&sign=x HTTP/1.1\r\n"
                          "Host: noxa.test\r\n"
                          "User-Agent: NOXA_IOT_SDK\r\n"
                          "Connection: keep-alive\r\n"
                          "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
                          "Content-Length: 9\r\n"
                          "X-Sign: s1\r\n\r\n"
                          "data=0A1B"),
              peer.Requests().at(0));
}

TEST_F(HttpInf, CustomPostAndPutCarryOnlyHostLengthAndTheCallersLines)
{
    Peer peer({Peer::Send("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n")});
    const std::string body = "media";
    auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
    EXPECT_EQ(0, http_inf_client_post_custom(Url(peer.Port(), "/o").c_str(), Collect, bytes, 5, AddSign,
                                             const_cast<char*>("p"), &seen));
    EXPECT_EQ(0, http_inf_client_put(Url(peer.Port(), "/o").c_str(), Collect, bytes, 5, AddSign,
                                     const_cast<char*>("q"), &seen));
    EXPECT_EQ(2, seen.calls);
    EXPECT_EQ(201u, seen.resp.status_code);
    ASSERT_EQ(2u, peer.Requests().size());
    EXPECT_EQ("POST /o HTTP/1.1\r\nHost: noxa.test\r\nContent-Length: 5\r\nX-Sign: p\r\n\r\nmedia", peer.Requests()[0]);
    EXPECT_EQ("PUT /o HTTP/1.1\r\nHost: noxa.test\r\nContent-Length: 5\r\nX-Sign: q\r\n\r\nmedia", peer.Requests()[1]);
}

TEST_F(HttpInf, PostAndPutToNginx)
{
    NginxSite site;
    site.server = "location /dav/ { dav_methods PUT; create_full_put_path on; }\n location = /echo { return 200 \"ok\"; }";
    Nginx nginx(site);
    const std::string blob(10000, 'z');
    auto* bytes = reinterpret_cast<const uint8_t*>(blob.data());
    EXPECT_EQ(0, http_inf_client_put(Url(nginx.Port(), "/dav/p.bin").c_str(), Collect, bytes, blob.size(), nullptr,
                                     nullptr, &seen));
    EXPECT_EQ(201u, seen.resp.status_code);
    EXPECT_EQ(blob, ReadFile(nginx.Root() + "/dav/p.bin"));
    Seen post;
    EXPECT_EQ(0, http_inf_client_post(Url(nginx.Port(), "/echo").c_str(), Collect, bytes, 100, nullptr, nullptr,
                                      nullptr, &post));
    EXPECT_EQ(200u, post.resp.status_code);
    EXPECT_EQ("ok", post.body);
}

int FailSign(HTTP_SESSION_H, void*)
{
    return -3;
}

TEST_F(HttpInf, EachFailingStepHasItsCodeAndClosesTheSession)
{
    EXPECT_EQ(-2, http_inf_client_get(nullptr, Collect, &seen));
    EXPECT_EQ(-2, http_inf_client_get("http://noxa.test/", nullptr, &seen));
    EXPECT_EQ(-2, http_inf_client_post(nullptr, Collect, nullptr, 0, nullptr, nullptr, nullptr, &seen));
    EXPECT_EQ(-2, http_inf_client_put("http://noxa.test/", nullptr, nullptr, 0, nullptr, nullptr, &seen));
    EXPECT_EQ(-706, http_inf_client_get(Url(FreePort()).c_str(), Collect, &seen));
    EXPECT_TRUE(Logs::Has("Open session failed"));
    // A storage URL carries its signature in the query: the log shows the URL without it.
    std::string signedUrl = Url(FreePort(), "/c/o.jpg?sv=2020-12-06&sig=SeCrEtSiGnAtUrE&X-Amz-Credential=AKID");
    EXPECT_EQ(-706, http_inf_client_put(signedUrl.c_str(), Collect, nullptr, 0, nullptr, nullptr, &seen));
    EXPECT_TRUE(Logs::Has("/c/o.jpg?... ("));
    EXPECT_EQ(0, Logs::Count("SeCrEtSiGnAtUrE"));
    EXPECT_EQ(0, Logs::Count("AKID"));
    Peer silent({Peer::Silent()});
    EXPECT_EQ(-707, http_inf_client_post(Url(silent.Port()).c_str(), Collect, nullptr, 0, FailSign, nullptr, nullptr,
                                         &seen));
    // A POST that claims a body it does not have is never sent.
    EXPECT_EQ(-708, http_inf_client_post(Url(silent.Port()).c_str(), Collect, nullptr, 10, nullptr, nullptr, nullptr,
                                         &seen));
    Peer closing({});
    EXPECT_EQ(-711, http_inf_client_get(Url(closing.Port()).c_str(), Collect, &seen));
    Peer broken({Peer::Send("HTTP/1.1 200 OK\r\nbad line\r\n\r\n")});
    EXPECT_EQ(-711, http_inf_client_get(Url(broken.Port()).c_str(), Collect, &seen));
    EXPECT_EQ(0, seen.calls) << "no callback without a whole header";
}

TEST(HttpUrlBuilder, ParametersBehindOneQuestionMark)
{
    HTTP_URL_H_S* hu = create_http_url_h(0, 2);
    ASSERT_NE(nullptr, hu);
    EXPECT_EQ(1024, hu->buf_len);
    ASSERT_EQ(0, fill_url_head(hu, "https://a.test/d.json"));
    ASSERT_EQ(0, fill_url_param(hu, "a", "noxa.device.active"));
    ASSERT_EQ(0, fill_url_param(hu, "t", "1700000000"));
    EXPECT_EQ(-705, fill_url_param(hu, "v", "1.0"));
    EXPECT_STREQ("https://a.test/d.json?", hu->buf);
    EXPECT_EQ(strlen("https://a.test/d.json?"), hu->head_size);
    ASSERT_EQ(2, hu->param_in->cnt);
    EXPECT_STREQ("a=noxa.device.active", hu->param_in->pos[0]);
    EXPECT_STREQ("t=1700000000", hu->param_in->pos[1]);
    // The texts lie in the buffer behind the head, each with its NUL.
    EXPECT_EQ(hu->buf + hu->head_size + 1, hu->param_in->pos[0]);
    EXPECT_EQ(hu->param_in->pos[0] + strlen("a=noxa.device.active") + 1, hu->param_in->pos[1]);
    Free(hu);
}

TEST(HttpUrlBuilder, LimitsOfTheBuffer)
{
    HTTP_URL_H_S* hu = create_http_url_h(16, 4);
    ASSERT_NE(nullptr, hu);
    EXPECT_EQ(-2, fill_url_head(nullptr, "x"));
    EXPECT_EQ(-2, fill_url_head(hu, nullptr));
    EXPECT_EQ(-2, fill_url_param(hu, nullptr, "v"));
    EXPECT_EQ(-2, fill_url_param(nullptr, "k", "v"));
    // A head that leaves no room for its "?" does not fit.
    EXPECT_EQ(-704, fill_url_head(hu, "http://a.test/xy"));
    EXPECT_EQ(-704, fill_url_head(hu, "http://a.test/x"));
    ASSERT_EQ(0, fill_url_head(hu, "http://a.test?"));  // already ends in "?": not doubled
    EXPECT_EQ(-704, fill_url_param(hu, "k", "v")) << "only the NUL was left";
    EXPECT_EQ(0, hu->param_in->cnt);
    ASSERT_EQ(0, fill_url_head(hu, "h"));
    ASSERT_EQ(0, fill_url_param(hu, "k", "12345"));  // "h?" NUL "k=12345" NUL: 5 bytes left
    EXPECT_EQ(-704, fill_url_param(hu, "k", "123"));
    ASSERT_EQ(0, fill_url_param(hu, "k", "12"));  // to the last byte
    EXPECT_EQ(-704, fill_url_param(hu, "k", ""));
    EXPECT_STREQ("h?", hu->buf);
    EXPECT_EQ(2, hu->param_in->cnt);
    EXPECT_STREQ("k=12", hu->param_in->pos[1]);
    EXPECT_EQ(hu->buf + hu->buf_len, hu->param_in->pos[1] + 5);
    Free(hu);
}

TEST(HttpLogSeq, CreatedOnce)
{
    EXPECT_EQ(nullptr, http_get_log_seq());
    ASSERT_EQ(0, http_log_seq_init());
    LOG_SEQ_HANDLE seq = http_get_log_seq();
    ASSERT_NE(nullptr, seq);
    ASSERT_EQ(0, http_log_seq_init());
    EXPECT_EQ(seq, http_get_log_seq());
    // A failure freezes it and hands it to the online-log service under its name.
    LOG_SEQ_ENTRY_S step = log_seq_int(1, -706);
    ASSERT_EQ(0, insert_log_seq(seq, &step));
    step = log_seq_int(2, -711);
    Logs::Install();
    ASSERT_EQ(0, insert_error_log_seq(seq, &step));
    EXPECT_TRUE(Logs::Has("http 1:-706 2:-711")) << "no service here: the text is dropped with its content";
}

}  // namespace
