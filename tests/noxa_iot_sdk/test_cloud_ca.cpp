// The per-host CA store: lookups into an X.509 chain, ten hosts at most, and the replacement after
// a failed handshake with its three fetch tries, bounded (never inside a fetch, one at a time, one
// a minute), down to an API host whose certificate nothing trusts.
#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"

#include "log_capture.h"
#include "net_peers.h"
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_middleware/tls/noxa_tls_ca.h"
#include "platform/board_net.h"
#include "sandbox.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mbedtls/x509_crt.h>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Two CA certificates made here: one kept as DER, one as PEM.
struct Certs {
    std::string der;
    std::string pem;
    std::string dir;

    Certs()
    {
        char tmpl[] = "/tmp/doorphone-ca-XXXXXX";
        dir = mkdtemp(tmpl);
        for (const char* cn : {"First", "Other"}) {
            std::string cmd = std::string("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes") +
                              " -days 2 -subj /CN=" + cn + " -keyout " + dir + "/" + cn + ".key -out " + dir + "/" + cn +
                              ".pem > /dev/null 2>&1";
            EXPECT_EQ(0, std::system(cmd.c_str()));
        }
        std::string toDer = "openssl x509 -in " + dir + "/First.pem -outform DER -out " + dir + "/First.der";
        EXPECT_EQ(0, std::system(toDer.c_str()));
        der = ReadAll(dir + "/First.der");
        pem = ReadAll(dir + "/Other.pem");
    }
    ~Certs() { std::filesystem::remove_all(dir); }
};

const uint8_t* Bytes(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

// The subject of each certificate in the chain, in order.
std::string Subjects(const mbedtls_x509_crt* chain)
{
    std::string all;
    for (const mbedtls_x509_crt* c = chain; c != nullptr && c->raw.len != 0; c = c->next) {
        char name[128];
        mbedtls_x509_dn_gets(name, sizeof(name), &c->subject);
        all += std::string(name) + ";";
    }
    return all;
}

class CloudCa : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, LogCapture::Install());
        ASSERT_FALSE(certs.der.empty());
        ASSERT_FALSE(certs.pem.empty());
        mbedtls_x509_crt_init(&chain);
    }
    void TearDown() override { mbedtls_x509_crt_free(&chain); }
    Certs certs;
    mbedtls_x509_crt chain;
};

TEST_F(CloudCa, StoredCertificateJoinsTheChain)
{
    EXPECT_EQ(-901, cloud_parse_ca_for_url(&chain, "storage.test", 443));
    ASSERT_EQ(0, cloud_store_ca("storage.test", Bytes(certs.der), certs.der.size()));
    ASSERT_EQ(0, cloud_store_ca("pics.test", Bytes(certs.pem), certs.pem.size()));
    // Behind what the chain held already; the port plays no part.
    ASSERT_EQ(0, cloud_parse_ca_for_url(&chain, "pics.test", 1));
    ASSERT_EQ(0, cloud_parse_ca_for_url(&chain, "storage.test", 8883));
    EXPECT_EQ("CN=Other;CN=First;", Subjects(&chain));
    EXPECT_EQ(-901, cloud_parse_ca_for_url(&chain, "storage.tes", 443)) << "names match exactly";
}

TEST_F(CloudCa, BadArgumentsAndBadCertificates)
{
    EXPECT_EQ(-2, cloud_parse_ca_for_url(nullptr, "h.test", 443));
    EXPECT_EQ(-2, cloud_parse_ca_for_url(&chain, nullptr, 443));
    EXPECT_EQ(-2, cloud_store_ca(nullptr, Bytes(certs.der), certs.der.size()));
    EXPECT_EQ(-2, cloud_store_ca("", Bytes(certs.der), certs.der.size()));
    EXPECT_EQ(-2, cloud_store_ca(std::string(256, 'h').c_str(), Bytes(certs.der), certs.der.size()));
    EXPECT_EQ(0, cloud_store_ca(std::string(255, 'h').c_str(), Bytes(certs.der), certs.der.size()));
    EXPECT_EQ(-2, cloud_store_ca("h.test", nullptr, 10));
    EXPECT_EQ(-2, cloud_store_ca("h.test", Bytes(certs.der), 0));
    // Bytes that are no certificate are kept, but do not parse.
    ASSERT_EQ(0, cloud_store_ca("junk.test", Bytes("not a certificate"), 17));
    int ret = cloud_parse_ca_for_url(&chain, "junk.test", 443);
    EXPECT_LT(ret, 0);
    EXPECT_NE(-901, ret);
}

TEST_F(CloudCa, TenHostsAtMostTheOldestMakesRoom)
{
    for (int i = 0; i < CLOUD_CA_MAX_NUM; ++i) {
        ASSERT_EQ(0, cloud_store_ca(("h" + std::to_string(i) + ".test").c_str(), Bytes(certs.der), certs.der.size()));
    }
    // A host stored again keeps its place; the new certificate replaces the old one.
    ASSERT_EQ(0, cloud_store_ca("h0.test", Bytes(certs.pem), certs.pem.size()));
    ASSERT_EQ(0, cloud_store_ca("h10.test", Bytes(certs.der), certs.der.size()));
    EXPECT_EQ(0, cloud_has_ca("h0.test"));
    for (int i = 1; i <= CLOUD_CA_MAX_NUM; ++i) {
        EXPECT_EQ(1, cloud_has_ca(("h" + std::to_string(i) + ".test").c_str())) << i;
    }
    cloud_clear_ca();
    EXPECT_EQ(0, cloud_has_ca("h5.test"));
}

int s_fetches = 0;
int s_failFirst = 0;
std::string s_answer;

int Fetch(const char* host, uint8_t** cert, uint32_t* len)
{
    ++s_fetches;
    EXPECT_STREQ("storage.test", host);
    if (s_fetches <= s_failFirst) {
        return -1;
    }
    *cert = static_cast<uint8_t*>(Malloc(s_answer.size()));
    memcpy(*cert, s_answer.data(), s_answer.size());
    *len = static_cast<uint32_t>(s_answer.size());
    return 0;
}

TEST_F(CloudCa, ReplaceNeedsAStoredHostAndAFetchThatWorks)
{
    EXPECT_EQ(-2, cloud_replace_ca(nullptr));
    EXPECT_EQ(-1, cloud_replace_ca("storage.test"));
    EXPECT_TRUE(LogCapture::Logged("can not find the replace CA"));
    ASSERT_EQ(0, cloud_store_ca("storage.test", Bytes(certs.der), certs.der.size()));
    EXPECT_EQ(-1, cloud_replace_ca("storage.test")) << "nothing to fetch with";
    cloud_set_ca_fetch_cb(Fetch);
    s_failFirst = 3;
    EXPECT_EQ(-1, cloud_replace_ca("storage.test"));
    EXPECT_EQ(3, s_fetches);
    ASSERT_EQ(0, cloud_parse_ca_for_url(&chain, "storage.test", 443));
    EXPECT_EQ("CN=First;", Subjects(&chain)) << "the old one stays";

    // The third try brings one: it replaces the stored certificate (the limit of one refresh a
    // minute lifted, as for any suite that replaces certificates in one process).
    cloud_ca_refresh_limit_reset();
    s_fetches = 0;
    s_failFirst = 2;
    s_answer = certs.pem;
    EXPECT_EQ(0, cloud_replace_ca("storage.test"));
    EXPECT_EQ(3, s_fetches);
    EXPECT_TRUE(LogCapture::Logged("replace CA for url storage.test"));
    mbedtls_x509_crt_free(&chain);
    mbedtls_x509_crt_init(&chain);
    ASSERT_EQ(0, cloud_parse_ca_for_url(&chain, "storage.test", 443));
    EXPECT_EQ("CN=Other;", Subjects(&chain));
}

// A refresh fetches through the cloud API: a failed handshake there must not start another
// refresh, a second refresh of the host waits its turn, and a host is refreshed once a minute.
std::atomic<int> s_nestedFetches{0};
std::atomic<int> s_innerResults{0};
std::string s_nestedAnswer;

int NestingFetch(const char* host, uint8_t** cert, uint32_t* len)
{
    ++s_nestedFetches;
    // What a failed handshake of the fetch itself asks for, on this thread and on another.
    int inner = cloud_replace_ca(host) + cloud_replace_ca("h2.test");
    int other = 0;
    std::thread([&] { other = cloud_replace_ca(host); }).join();
    s_innerResults.store(inner + other);
    *cert = static_cast<uint8_t*>(Malloc(s_nestedAnswer.size()));
    memcpy(*cert, s_nestedAnswer.data(), s_nestedAnswer.size());
    *len = static_cast<uint32_t>(s_nestedAnswer.size());
    return 0;
}

TEST_F(CloudCa, OneRefreshPerHostAtATimeAndAMinuteNeverInsideAFetch)
{
    UniTestClock clock;
    s_nestedAnswer = certs.pem;
    ASSERT_EQ(0, cloud_store_ca("h1.test", Bytes(certs.der), certs.der.size()));
    ASSERT_EQ(0, cloud_store_ca("h2.test", Bytes(certs.der), certs.der.size()));
    cloud_set_ca_fetch_cb(NestingFetch);
    EXPECT_EQ(0, cloud_replace_ca("h1.test"));
    EXPECT_EQ(1, s_nestedFetches.load()) << "no refresh inside the fetch, none beside it";
    EXPECT_EQ(-3, s_innerResults.load());
    EXPECT_TRUE(LogCapture::Logged("no CA refresh of h1.test inside a CA fetch"));
    EXPECT_TRUE(LogCapture::Logged("CA refresh of h1.test runs already"));
    const struct {
        uint64_t advanceMs;
        int ret;
        int fetches;
    } rows[] = {{0, -1, 1}, {CLOUD_CA_REFRESH_GAP_MS - 1, -1, 1}, {1, 0, 2}, {1000, -1, 2}};
    for (const auto& r : rows) {
        clock.Advance(r.advanceMs);
        EXPECT_EQ(r.ret, cloud_replace_ca("h1.test")) << r.advanceMs;
        EXPECT_EQ(r.fetches, s_nestedFetches.load()) << r.advanceMs;
    }
    EXPECT_EQ(0, cloud_replace_ca("h2.test")) << "each host has its own minute";
    cloud_ca_refresh_limit_reset();
    EXPECT_EQ(0, cloud_replace_ca("h1.test"));
}

int OpenFds()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
    }
    return n;
}

// The API host answers with a certificate nothing trusts (a captive portal, a rotated certificate,
// a wrong clock). The call fails within seconds after a handful of connections, every socket is
// closed again, and the next call within the minute tries no refresh.
TEST(CloudCaRefresh, AnUntrustedApiHostFailsTheCallWithoutALoop)
{
    using namespace std::chrono_literals;
    // Held so that a call that never returns can still take them down before the process ends.
    auto box = std::make_unique<TestSandbox>();
    ASSERT_EQ(0, LogCapture::Install());
    auto self = std::make_unique<Certs>();  // self-signed
    auto server =
        std::make_unique<netpeer::SslServer>(self->dir + "/First.pem", self->dir + "/First.key",
                                             std::vector<std::string>{"-no_tls1_3"});
    box->Write("/.board/net/hosts", "127.0.0.1\tapi.portal.test\n");
    box->Write("/etc/cloud.conf", "api_url=https://api.portal.test:" + std::to_string(server->Port()) + "/d.json\n");
    NOXA_IOT_INIT_PARAMS_S p = {};
    strcpy(p.platform, "test");
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
    unw_set_sys_resolver(BoardResolveHost);
    const GW_PROD_INFO_S prod = {"noxa0test0unit0000000001", "T3stAuthKey0fTheSimulatedUnit001", nullptr, nullptr};
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&prod));
    // As the activation's start keeps it for the API host.
    ASSERT_EQ(0, cloud_store_ca("api.portal.test", g_noxa_tls_builtin_ca, g_noxa_tls_builtin_ca_len));
    const int fds = OpenFds();
    const int handshakes[] = {4, 5};  // the call and 3 fetch tries; then the call alone
    for (int expect : handshakes) {
        auto start = std::chrono::steady_clock::now();
        auto done = std::make_shared<std::atomic<bool>>(false);
        auto ret = std::make_shared<std::atomic<int>>(0);
        std::thread([done, ret] {
            ret->store(http_gw_timer_cnt(0, nullptr));
            done->store(true);
        }).detach();
        for (int i = 0; i < 600 && !done->load(); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        if (!done->load()) {
            // A call that never returns takes the process with it, after the server and the
            // sandbox (the call's thread cannot be stopped).
            fprintf(stderr, "the API call did not return within 30 s\n");
            server.reset();
            self.reset();
            box.reset();
            std::_Exit(1);
        }
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_NE(0, ret->load());
        EXPECT_LT(took, 5s);
        EXPECT_EQ(expect, static_cast<int>(LogCapture::Count("mbedtls_ssl_handshake returned"))) << LogCapture::All();
        EXPECT_EQ(fds, OpenFds()) << "every socket closed again";
    }
    EXPECT_EQ(3, LogCapture::Count("fetch CA of api.portal.test fails"));
}

}  // namespace
