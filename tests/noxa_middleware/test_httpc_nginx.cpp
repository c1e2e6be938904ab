// The HTTP client against nginx on 127.0.0.1, plain and over TLS: files by Content-Length, byte
// ranges, a 404 with its page, kept-alive and closed connections, POST and PUT bodies as the
// server stored them, and HTTPS with an RSA and an ECDSA certificate, one suite each; calls of one
// request each that resume the TLS session of the call before, with tickets or nginx's cache.
#include "noxa_middleware/httpc/httpc.h"

#include "http_session.h"
#include "noxa_middleware/tls/noxa_tls.h"

#include <cstring>
#include <mbedtls/x509.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace netpeer;

namespace {

// POST bodies go through a proxied location, so that nginx reads them and can log them as they
// came (relative paths are below nginx's own folder); PUT bodies are stored as files.
const char* const kLocations = R"(
    location = /post { proxy_pass http://127.0.0.1:$server_port/sink; access_log logs/body.log body; }
    location = /sink { return 200 "posted\n"; }
    location /dav/ { dav_methods PUT; create_full_put_path on; }
    location /norange/ { max_ranges 0; }
)";

NginxSite Site(const std::string& cert = "", const std::string& key = "", const std::string& ciphers = "")
{
    NginxSite site;
    site.server = kLocations;
    site.cert = cert;
    site.key = key;
    site.ciphers = ciphers;
    site.extraHttp = "  log_format body escape=none '$request_body';";
    return site;
}

std::string Pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>('a' + (i * 7) % 26);
    }
    return s;
}

class HttpcNginx : public testing::Test {
protected:
    void SetUp() override
    {
        Logs::Install();
        InstallLoopbackResolver();
    }
    std::string Url(const Nginx& n, const std::string& path, bool tls = false) const
    {
        return netpeer::Url(tls ? n.SslPort() : n.Port(), path, tls);
    }
};

TEST_F(HttpcNginx, FilesByContentLengthOverOneKeptAliveConnection)
{
    Nginx srv(Site());
    const std::string a = Pattern(70000), b = "second file\n";
    WriteFile(srv.Root() + "/a.bin", a);
    WriteFile(srv.Root() + "/b.txt", b);
    Session ss(Url(srv, "/"));
    ASSERT_EQ(0, ss.ret);
    HTTP_REQ_S req = Request(HTTP_GET, "/a.bin");
    ASSERT_EQ(0, ss.Send(req, kKeepAlive));
    EXPECT_EQ(200, ss.hdr->status_code);
    EXPECT_EQ(70000, ss.hdr->content_length);
    EXPECT_STREQ("bytes", ss.hdr->accept_ranges);
    EXPECT_NE(0u, ss.hdr->last_modified);
    EXPECT_EQ(a, ss.Body(4096));
    EXPECT_EQ(HTTP_SESSION_IDLE, ss.s->state);
    // The same connection carries the next request.
    int fd = ss.s->sockfd;
    HTTP_REQ_S next = Request(HTTP_GET, "/b.txt");
    ASSERT_EQ(0, ss.Send(next, kKeepAlive));
    EXPECT_EQ(b, ss.Body());
    EXPECT_EQ(fd, ss.s->sockfd);
    EXPECT_TRUE(srv.LogHas("access.log", "\"GET /a.bin HTTP/1.1\" 200 70000"));
    EXPECT_TRUE(srv.LogHas("access.log", "\"GET /b.txt HTTP/1.1\" 200 12"));
    EXPECT_TRUE(srv.LogHas("access.log", "\"NOXA_IOT_SDK\""));
}

TEST_F(HttpcNginx, ConnectionCloseEndsTheSession)
{
    Nginx srv(Site());
    WriteFile(srv.Root() + "/c.txt", "close me");
    Session ss(Url(srv, "/"));
    HTTP_REQ_S req = Request(HTTP_GET, "/c.txt");
    ASSERT_EQ(0, ss.Send(req, HDR_ADD_CONN_CLOSE));
    EXPECT_EQ(0u, ss.hdr->keep_alive);
    EXPECT_EQ("close me", ss.Body());
    EXPECT_EQ(HTTP_SESSION_DONE, ss.s->state);
    EXPECT_EQ(-1, ss.Send(req, 0)) << "a finished connection is only closed";
}

TEST_F(HttpcNginx, RangeAnsweredWithPartialContent)
{
    Nginx srv(Site());
    const std::string f = Pattern(1000);
    WriteFile(srv.Root() + "/r.bin", f);
    Session ss(Url(srv, "/"));
    HTTP_REQ_S req = Request(HTTP_GET, "/r.bin");
    req.range_start = 100;
    req.range_len = 50;
    ASSERT_EQ(0, ss.Send(req, kKeepAlive | HDR_ADD_RANGE));
    EXPECT_EQ(206, ss.hdr->status_code);
    EXPECT_EQ(50, ss.hdr->content_length);
    EXPECT_EQ(f.substr(100, 50), ss.Body(7));
}

TEST_F(HttpcNginx, NotFoundCarriesItsPage)
{
    Nginx srv(Site());
    Session ss(Url(srv, "/"));
    HTTP_REQ_S req = Request(HTTP_GET, "/missing");
    ASSERT_EQ(0, ss.Send(req, kKeepAlive));
    EXPECT_EQ(404, ss.hdr->status_code);
    EXPECT_NE(std::string::npos, ss.Body().find("404 Not Found"));
    EXPECT_EQ(0, ss.last);
}

TEST_F(HttpcNginx, PostAndPutBodiesArriveAsSent)
{
    Nginx srv(Site());
    const std::string form = "a=1&b=" + std::string(5000, 'x');
    {
        Session ss(Url(srv, "/"));
        HTTP_REQ_S req = Request(HTTP_POST, "/post", &form);
        ASSERT_EQ(0, ss.Send(req, kKeepAlive | HDR_ADD_CONTENT_TYPE_FORM_URLENCODE));
        EXPECT_EQ(200, ss.hdr->status_code);
        EXPECT_EQ("posted\n", ss.Body());
    }
    EXPECT_TRUE(srv.LogHas("body.log", form + "\n"));
    EXPECT_EQ(form + "\n", srv.Log("body.log"));
    const std::string blob = Pattern(200000);
    {
        Session ss(Url(srv, "/"));
        HTTP_REQ_S req = Request(HTTP_PUT, "/dav/up/blob.bin", &blob);
        ASSERT_EQ(0, ss.Send(req, 0));
        EXPECT_EQ(201, ss.hdr->status_code);
        ss.Body();
    }
    EXPECT_EQ(blob, ReadFile(srv.Root() + "/dav/up/blob.bin"));
}

TEST_F(HttpcNginx, RangeIgnoredWhenTheServerDoesNotDoRanges)
{
    Nginx srv(Site());
    WriteFile(srv.Root() + "/norange/f.txt", "whole file");
    Session ss(Url(srv, "/"));
    HTTP_REQ_S req = Request(HTTP_GET, "/norange/f.txt");
    req.range_start = 2;
    req.range_len = 3;
    ASSERT_EQ(0, ss.Send(req, kKeepAlive | HDR_ADD_RANGE));
    EXPECT_EQ(200, ss.hdr->status_code);
    EXPECT_EQ(nullptr, ss.hdr->accept_ranges);
    EXPECT_EQ("whole file", ss.Body());
}

class HttpsNginx : public HttpcNginx {
protected:
    void SetUp() override
    {
        if (!TestPki::HaveTestCa()) {
            GTEST_SKIP() << "the build carries a product CA: no key to sign test servers with";
        }
        HttpcNginx::SetUp();
        ASSERT_EQ(0, noxa_tls_init());
    }
    TestPki pki;
};

TEST_F(HttpsNginx, RsaCertificateOneSuite)
{
    std::string cert, key;
    pki.Server("rsa", &cert, &key);
    Nginx srv(Site(cert, key, "ECDHE-RSA-AES128-SHA256"));
    const std::string f = Pattern(100000);
    WriteFile(srv.Root() + "/big.bin", f);
    Session ss(Url(srv, "/", true));
    ASSERT_EQ(0, ss.ret);
    ASSERT_NE(nullptr, ss.s->tls);
    EXPECT_TRUE(Logs::Has("Suit:TLS-ECDHE-RSA-WITH-AES-128-CBC-SHA256"));
    HTTP_REQ_S req = Request(HTTP_GET, "/big.bin");
    ASSERT_EQ(0, ss.Send(req, kKeepAlive));
    EXPECT_EQ(f, ss.Body(3000));
    HTTP_REQ_S missing = Request(HTTP_GET, "/nothing");
    ASSERT_EQ(0, ss.Send(missing, kKeepAlive)) << "kept alive over TLS";
    EXPECT_EQ(404, ss.hdr->status_code);
}

TEST_F(HttpsNginx, EcdsaCertificateOneSuiteAndUploads)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    Nginx srv(Site(cert, key, "ECDHE-ECDSA-AES128-GCM-SHA256"));
    Session ss(Url(srv, "/", true));
    ASSERT_EQ(0, ss.ret);
    EXPECT_TRUE(Logs::Has("Suit:TLS-ECDHE-ECDSA-WITH-AES-128-GCM-SHA256"));
    const std::string blob = Pattern(50000);
    HTTP_REQ_S req = Request(HTTP_PUT, "/dav/s.bin", &blob);
    ASSERT_EQ(0, ss.Send(req, kKeepAlive));
    EXPECT_EQ(201, ss.hdr->status_code);
    ss.Body();
    EXPECT_EQ(blob, ReadFile(srv.Root() + "/dav/s.bin"));
}

TEST_F(HttpsNginx, ServerWithOtherSuitesOnlyIsRefusedWithoutLeaks)
{
    std::string cert, key;
    pki.Server("rsa", &cert, &key);
    Nginx srv(Site(cert, key, "AES256-GCM-SHA384"));
    int fds = OpenFdCount();
    HTTP_SESSION_H s = nullptr;
    int ret = http_open_session(&s, Url(srv, "/", true).c_str(), 0, 0);
    EXPECT_LT(ret, -7) << "the TLS layer's code";
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(fds, OpenFdCount());
}

TEST_F(HttpsNginx, ForeignCaIsRefused)
{
    std::string cert, key;
    pki.ForeignServer(&cert, &key);
    Nginx srv(Site(cert, key));
    HTTP_SESSION_H s = nullptr;
    EXPECT_EQ(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED, http_open_session(&s, Url(srv, "/", true).c_str(), 0, 0));
}

TEST_F(HttpsNginx, CallsOfOneRequestEachResumeTheSessionOfTheCallBefore)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    const struct {
        const char* what;
        const char* server;  // lines of the server block
    } rows[] = {
        {"tickets", ""},
        {"session cache only", "    ssl_session_tickets off;\n    ssl_session_cache shared:noxa:1m;\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        noxa_tls_session_forget(nullptr);
        NginxSite site = Site(cert, key);
        site.server += std::string(row.server) + "    access_log logs/tls.log tls;\n";
        site.extraHttp += "\n  log_format tls '$request_uri reused=$ssl_session_reused';";
        Nginx srv(site);
        WriteFile(srv.Root() + "/f.txt", "file\n");
        for (int i = 0; i < 3; ++i) {
            Session ss(Url(srv, "/", true));
            ASSERT_EQ(0, ss.ret);
            EXPECT_EQ(i > 0 ? 1 : 0, noxa_tls_is_resumed(ss.s->tls)) << "call " << i;
            const std::string path = "/f.txt?call=" + std::to_string(i);
            ASSERT_EQ(0, ss.Get(path.c_str(), HDR_ADD_DEFAULT_USER_AGENT | HDR_ADD_CONN_CLOSE));
            EXPECT_EQ("file\n", ss.Body());
        }
        // nginx's own account of the three connections.
        ASSERT_TRUE(srv.LogHas("tls.log", "call=2")) << srv.Log("tls.log");
        EXPECT_EQ("/f.txt?call=0 reused=.\n/f.txt?call=1 reused=r\n/f.txt?call=2 reused=r\n", srv.Log("tls.log"));
    }
}

}  // namespace
