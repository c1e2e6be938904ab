// The TLS wrapper against openssl s_server on 127.0.0.1: every suite of the list negotiated with a
// matching server, servers it must refuse (foreign CA, other suites, a silent listener, an unknown
// signature algorithm), the pre-shared-key suite, the server name sent, the per-host CA and its
// replacement after a failed handshake, whole writes, and a read and a write running at once;
// sessions resumed with servers that keep them, refused ones falling back to a full handshake,
// and never resumed past a CA change, a load without certificates or their age.
#include "noxa_middleware/tls/noxa_tls.h"

#include "net_peers.h"
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"
#include "noxa_middleware/tls/tls_session_cache.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <mbedtls/ssl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace netpeer;

namespace {

// The caller's transport after the handshake: plain send and receive on the socket.
int NetSend(void* ctx, const unsigned char* buf, size_t len)
{
    return static_cast<int>(send(*static_cast<int*>(ctx), buf, len, MSG_NOSIGNAL));
}

int NetRecv(void* ctx, unsigned char* buf, size_t len)
{
    return static_cast<int>(recv(*static_cast<int*>(ctx), buf, len, 0));
}

int ConnectTcp(uint16_t port)
{
    int fd = unw_socket_create(PROTOCOL_TCP);
    EXPECT_EQ(0, unw_connect(fd, 0x7F000001, port));
    return fd;
}

// One TLS client connection to a loopback port.
struct Client {
    int fd = -1;
    NOXA_TLS_HANDLER* tls = nullptr;
    int ret = -1;

    Client(uint16_t port, uint32_t timeoutS = 5, const char* host = kHost)
    {
        fd = ConnectTcp(port);
        ret = noxa_tls_connect(&tls, host, port, 1, &fd, NetSend, NetRecv, fd, timeoutS);
    }
    ~Client()
    {
        if (tls != nullptr) {
            if (ret == 0) {
                EXPECT_EQ(0, noxa_tls_close_notify(tls));  // as the HTTP client ends a call
            }
            EXPECT_EQ(0, noxa_tls_disconnect(tls));
        }
        close(fd);
    }
    std::string Read(size_t want)
    {
        std::string got;
        uint8_t buf[256];
        while (got.size() < want) {
            int n = noxa_tls_read(tls, buf, sizeof(buf));
            if (n <= 0) {
                break;
            }
            got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        }
        return got;
    }
    // A line to the server: s_server prints what it receives.
    bool Says(SslServer& server, const std::string& line)
    {
        return ret == 0 &&
               noxa_tls_write(tls, reinterpret_cast<const uint8_t*>(line.data()), static_cast<uint32_t>(line.size())) ==
                   static_cast<int>(line.size()) &&
               server.WaitFor(line);
    }
};

int s_fetches = 0;
std::string s_fetchFile;

// The cloud's answer to a certificate request: the file the test chose.
int FetchCa(const char* host, uint8_t** cert, uint32_t* len)
{
    ++s_fetches;
    EXPECT_STREQ(kHost, host);
    std::string der = ReadFile(s_fetchFile);
    *cert = static_cast<uint8_t*>(Malloc(der.size()));
    memcpy(*cert, der.data(), der.size());
    *len = static_cast<uint32_t>(der.size());
    return 0;
}

class Tls : public testing::Test {
protected:
    void SetUp() override
    {
        if (!TestPki::HaveTestCa()) {
            GTEST_SKIP() << "the build carries a product CA: no key to sign test servers with";
        }
        Logs::Install();
        ASSERT_EQ(0, noxa_tls_init());
        // What the cloud core sets at its start.
        noxa_tls_set_ca_hooks(cloud_parse_ca_for_url, cloud_replace_ca);
    }
    TestPki pki;
};

struct SuiteRow {
    int id;
    const char* openssl;  // the server's only suite
    const char* mbedtls;  // the name the wrapper logs
    const char* key;
};

class TlsSuite : public Tls, public testing::WithParamInterface<SuiteRow> {};

TEST_P(TlsSuite, NegotiatedWithAServerOfferingOnlyIt)
{
    const SuiteRow& row = GetParam();
    std::string cert, key;
    pki.Server(row.key, &cert, &key);
    SslServer server(cert, key, {"-cipher", row.openssl, "-no_tls1_3", "-rev"});
    Client c(server.Port());
    ASSERT_EQ(0, c.ret) << server.Output();
    EXPECT_TRUE(server.WaitFor(std::string("Ciphersuite: ") + row.openssl)) << server.Output();
    // The hello offers the list in its order (the pre-shared-key suite only with a key set).
    EXPECT_TRUE(server.WaitFor("Client cipher list: ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES128-SHA256:"
                               "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-SHA:TLS_EMPTY_RENEGOTIATION_INFO_SCSV\n"));
    EXPECT_TRUE(Logs::Has(std::string("Suit:") + row.mbedtls));
    // Data both ways through the caller's transport.
    ASSERT_EQ(6, noxa_tls_write(c.tls, reinterpret_cast<const uint8_t*>("hello\n"), 6));
    EXPECT_EQ("olleh\n", c.Read(6));
}

INSTANTIATE_TEST_SUITE_P(
    Offered, TlsSuite,
    testing::Values(SuiteRow{0xC013, "ECDHE-RSA-AES128-SHA", "TLS-ECDHE-RSA-WITH-AES-128-CBC-SHA", "rsa"},
                    SuiteRow{0xC027, "ECDHE-RSA-AES128-SHA256", "TLS-ECDHE-RSA-WITH-AES-128-CBC-SHA256", "rsa"},
                    SuiteRow{0xC02B, "ECDHE-ECDSA-AES128-GCM-SHA256", "TLS-ECDHE-ECDSA-WITH-AES-128-GCM-SHA256", "ec"},
                    SuiteRow{0xC009, "ECDHE-ECDSA-AES128-SHA", "TLS-ECDHE-ECDSA-WITH-AES-128-CBC-SHA", "ec"}),
    [](const testing::TestParamInfo<SuiteRow>& info) {
        char name[8];
        snprintf(name, sizeof(name), "%04X", static_cast<unsigned>(info.param.id & 0xFFFF));
        return std::string(name);
    });

TEST_F(Tls, ServerOfferingOnlyOtherSuitesIsRefused)
{
    std::string cert, key;
    pki.Server("rsa", &cert, &key);
    SslServer server(cert, key, {"-cipher", "ECDHE-RSA-AES256-GCM-SHA384:AES128-SHA", "-no_tls1_3"});
    Client c(server.Port());
    EXPECT_LT(c.ret, 0);
    EXPECT_NE(nullptr, c.tls);  // left for the caller to release
    EXPECT_TRUE(Logs::Has("mbedtls_ssl_handshake returned"));
}

TEST_F(Tls, ServerNameReachesTheServer)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    // A second context for the name makes s_server print the name it received.
    SslServer server(cert, key, {"-servername", kHost, "-cert2", cert, "-key2", key, "-no_tls1_3"});
    Client c(server.Port());
    ASSERT_EQ(0, c.ret);
    EXPECT_TRUE(server.WaitFor(std::string("Hostname in TLS extension: \"") + kHost + "\"")) << server.Output();
}

TEST_F(Tls, ServerNameMustMatchTheCertificate)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    SslServer server(cert, key, {"-no_tls1_3"});
    Client c(server.Port(), 5, "other.test");
    EXPECT_EQ(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED, c.ret);
}

TEST_F(Tls, ForeignCaFailsAndAsksOnceForTheHostsCa)
{
    std::string cert, key;
    pki.ForeignServer(&cert, &key);
    SslServer server(cert, key, {"-no_tls1_3"});
    Client c(server.Port());
    EXPECT_EQ(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED, c.ret);
    // Nothing stored for the host: the replacement finds nothing, and is asked exactly once.
    EXPECT_EQ(1, Logs::Count("can not find the replace CA"));
}

TEST_F(Tls, HostCaReplacedAfterAFailedHandshakeIsTrustedNextTime)
{
    std::string cert, key;
    pki.ForeignServer(&cert, &key);
    SslServer server(cert, key, {"-no_tls1_3", "-rev"});
    // The stored CA of the host is stale (the built-in one); the cloud now hands out the foreign one.
    std::string stale = ReadFile(pki.CaDer());
    ASSERT_EQ(0, cloud_store_ca(kHost, reinterpret_cast<const uint8_t*>(stale.data()), stale.size()));
    s_fetchFile = pki.ForeignCaDer();
    cloud_set_ca_fetch_cb(FetchCa);
    {
        Client c(server.Port());
        EXPECT_EQ(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED, c.ret);
    }
    EXPECT_EQ(1, s_fetches);
    EXPECT_EQ(1, Logs::Count("replace CA for url noxa.test"));
    Client again(server.Port());
    ASSERT_EQ(0, again.ret);
    ASSERT_EQ(4, noxa_tls_write(again.tls, reinterpret_cast<const uint8_t*>("abc\n"), 4));
    EXPECT_EQ("cba\n", again.Read(4));
    EXPECT_EQ(1, s_fetches);
}

TEST_F(Tls, SilentListenerFailsAfterTheTimeout)
{
    ScriptedPeer silent({ScriptedPeer::Silent()});
    auto start = std::chrono::steady_clock::now();
    Client c(silent.Port(), 1);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(-1, c.ret);
    EXPECT_GE(took.count(), 950);
    EXPECT_LT(took.count(), 5000);
    EXPECT_TRUE(Logs::Has("select fail.0"));
}

TEST_F(Tls, CertificateSignedWithAnUnknownAlgorithmFails)
{
    // A server certificate signed with Ed25519, which this library cannot check.
    TempDir dir;
    std::string caKey = dir.File("ed.key"), ca = dir.File("ed_ca.pem");
    ASSERT_TRUE(RunCmd("openssl genpkey -algorithm ed25519 -out " + caKey));
    ASSERT_TRUE(RunCmd("openssl req -x509 -key " + caKey + " -subj /CN=Ed -addext basicConstraints=critical,CA:TRUE -out " +
                    ca));
    std::string key = dir.File("s.key"), csr = dir.File("s.csr"), cert = dir.File("s.pem");
    ASSERT_TRUE(RunCmd("openssl ecparam -name prime256v1 -genkey -noout -out " + key));
    ASSERT_TRUE(RunCmd("openssl req -new -key " + key + " -subj /CN=noxa.test -out " + csr));
    ASSERT_TRUE(RunCmd("openssl x509 -req -in " + csr + " -CA " + ca + " -CAkey " + caKey + " -set_serial 7 -out " + cert));
    SslServer server(cert, key, {"-no_tls1_3"});
    Client c(server.Port());
    EXPECT_EQ(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED, c.ret);
    EXPECT_EQ(1, Logs::Count("mbedtls_ssl_handshake returned"));
}

// The library's code for a certificate signed with an algorithm it does not know.
constexpr int kUnknownSigAlg = -0x262E;
int s_recvCalls = 0;

int SwallowSend(void*, const unsigned char*, size_t len)
{
    return static_cast<int>(len);
}

int UnknownSigAlgRecv(void*, unsigned char*, size_t)
{
    ++s_recvCalls;
    return kUnknownSigAlg;
}

TEST_F(Tls, UnknownSignatureAlgorithmCodeIsRetriedOnceOnly)
{
    // Without a socket the caller's transport carries the handshake; it answers every read with
    // the code, which once made the handshake loop for ever.
    int ctx = 0;
    NOXA_TLS_HANDLER* tls = nullptr;
    EXPECT_EQ(kUnknownSigAlg, noxa_tls_connect(&tls, kHost, 443, 1, &ctx, SwallowSend, UnknownSigAlgRecv, -1, 1));
    EXPECT_EQ(2, s_recvCalls);
    ASSERT_NE(nullptr, tls);
    EXPECT_EQ(0, noxa_tls_disconnect(tls));
}

TEST_F(Tls, WriteOfTwentyThousandBytesReturnsAll)
{
    std::string cert, key;
    pki.Server("rsa", &cert, &key);
    SslServer server(cert, key, {"-no_tls1_3"});
    Client c(server.Port());
    ASSERT_EQ(0, c.ret);
    // 200 numbered lines of 100 bytes: more than one record of 16 KiB.
    std::string data;
    for (int i = 0; i < 200; ++i) {
        char line[101];
        snprintf(line, sizeof(line), "%04d%095d\n", i, 0);
        data += line;
    }
    ASSERT_EQ(20000u, data.size());
    EXPECT_EQ(20000, noxa_tls_write(c.tls, reinterpret_cast<const uint8_t*>(data.data()), 20000));
    EXPECT_TRUE(server.WaitFor(data.substr(19900))) << "last line not received";
    std::string out = server.Output();
    EXPECT_NE(std::string::npos, out.find(data.substr(0, 100)));
}

TEST_F(Tls, ReadAndWriteRunAtOnce)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    SslServer server(cert, key, {"-no_tls1_3", "-rev"});
    Client c(server.Port());
    ASSERT_EQ(0, c.ret);
    // The reader waits inside a read until the writer's line comes back reversed.
    std::string got;
    std::atomic<bool> reading{false};
    std::thread reader([&] {
        reading = true;
        got = c.Read(6);
    });
    while (!reading) {
        std::this_thread::yield();
    }
    EXPECT_EQ(6, noxa_tls_write(c.tls, reinterpret_cast<const uint8_t*>("write\n"), 6));
    reader.join();
    EXPECT_EQ("etirw\n", got);
}

TEST_F(Tls, CertificatesOffForOneConnectOnly)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    SslServer server(cert, key, {"-no_tls1_3"});
    noxa_tls_set_load_cert(0);
    {
        Client c(server.Port());
        EXPECT_EQ(MBEDTLS_ERR_SSL_CA_CHAIN_REQUIRED, c.ret);
    }
    Client again(server.Port());
    EXPECT_EQ(0, again.ret);
}

// The device's pre-shared key by the rule of docs/developer-notes.md ("TLS and HTTP"), computed
// with OpenSSL, in hex.
std::string PskHex(const std::string& uuid, const std::string& authKey)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), authKey.data(), static_cast<int>(authKey.size()),
         reinterpret_cast<const unsigned char*>(uuid.data()), uuid.size(), mac, &len);
    std::string hex;
    char b[3];
    for (unsigned int i = 0; i < len; ++i) {
        snprintf(b, sizeof(b), "%02x", mac[i]);
        hex += b;
    }
    return hex;
}

TEST(TlsPsk, KeyFromUuidAndAuthKeyOnlyIdentityFresh)
{
    const std::string uuid = "noxa6f1e2d3c4b5a6978";
    const std::string authKey = "Zr8Kq2Lm5Np7Wx1Yv4Tb6Hc9Jd3Fg0Sa";
    uint8_t key[NOXA_TLS_PSK_KEY_LEN];
    char identity[NOXA_TLS_PSK_IDENTITY_MAX];
    noxa_tls_set_psk_param(uuid.c_str(), "");
    EXPECT_EQ(-1, __noxa_tls_psk_derive(key, identity, sizeof(identity))) << "no auth key";
    noxa_tls_set_psk_param(uuid.c_str(), authKey.c_str());
    EXPECT_EQ(-1, __noxa_tls_psk_derive(key, identity, 2 + 32 + uuid.size())) << "no room for the NUL";

    std::string identities[2];
    for (std::string& id : identities) {
        ASSERT_EQ(0, __noxa_tls_psk_derive(key, identity, sizeof(identity)));
        std::string hex;
        char b[3];
        for (uint8_t v : key) {
            snprintf(b, sizeof(b), "%02x", v);
            hex += b;
        }
        EXPECT_EQ(PskHex(uuid, authKey), hex);
        id = identity;
        ASSERT_EQ(2 + 32 + uuid.size(), id.size()) << id;
        EXPECT_EQ("01", id.substr(0, 2));
        EXPECT_EQ(std::string::npos, id.substr(2, 32).find_first_not_of("0123456789abcdef")) << id;
        EXPECT_EQ(uuid, id.substr(34));
    }
    EXPECT_NE(identities[0], identities[1]) << "the random part repeats";
}

TEST(TlsPsk, HandshakeWithAServerHoldingOnlyTheKey)
{
    Logs::Install();
    ASSERT_EQ(0, noxa_tls_init());
    const std::string uuid = "noxa6f1e2d3c4b5a6978";
    const std::string authKey = "Zr8Kq2Lm5Np7Wx1Yv4Tb6Hc9Jd3Fg0Sa";
    const struct {
        const char* what;
        std::string authKey;  // registered on the unit
        std::string serverKey;
        bool ok;
    } rows[] = {
        {"the device's key", authKey, PskHex(uuid, authKey), true},
        {"another device's key", authKey, PskHex(uuid, "another auth key"), false},
        {"no auth key: the suite is not offered", "", PskHex(uuid, authKey), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        noxa_tls_set_psk_param(uuid.c_str(), row.authKey.c_str());
        SslServer server("", "",
                         {"-psk", row.serverKey, "-cipher", "PSK-AES128-CBC-SHA256", "-no_tls1_3", "-rev", "-debug"});
        Client c(server.Port());
        if (!row.ok) {
            EXPECT_LT(c.ret, 0) << server.Output();
            continue;
        }
        ASSERT_EQ(0, c.ret) << server.Output();
        EXPECT_TRUE(Logs::Has("Suit:TLS-PSK-WITH-AES-128-CBC-SHA256"));
        ASSERT_EQ(4, noxa_tls_write(c.tls, reinterpret_cast<const uint8_t*>("psk\n"), 4));
        EXPECT_EQ("ksp\n", c.Read(4));
        // The identity on the wire, as s_server's debug output names it.
        ASSERT_TRUE(server.WaitFor("identity=01")) << server.Output();
        std::string out = server.Output();
        size_t at = out.find("identity=01") + 9;
        EXPECT_EQ(uuid + "\n", out.substr(at + 34, uuid.size() + 1)) << out;
    }
}

// ---- Session resumption ----

int Occurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

class TlsResume : public Tls {
protected:
    void SetUp() override
    {
        Tls::SetUp();
        // Suites of one process start alike: no session, no stored CA, no fetches.
        noxa_tls_session_forget(nullptr);
        cloud_clear_ca();
        cloud_set_ca_fetch_cb(nullptr);
        cloud_ca_refresh_limit_reset();
        s_fetches = 0;
    }
    // s_server's plain mode, which tells a reused session ("Reused session-id").
    const std::vector<std::string> kArgs = {"-no_tls1_3"};
};

TEST_F(TlsResume, ServersThatKeepSessionsResumeOthersFallBackToAFullHandshake)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    const struct {
        const char* what;
        std::vector<std::string> args;
        bool resumes;
    } rows[] = {
        {"session cache and tickets", {}, true},
        {"session cache only", {"-no_ticket"}, true},
        {"tickets only", {"-no_cache"}, true},
        {"neither", {"-no_cache", "-no_ticket"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        noxa_tls_session_forget(nullptr);
        Logs::Clear();
        std::vector<std::string> args = kArgs;
        args.insert(args.end(), row.args.begin(), row.args.end());
        SslServer server(cert, key, args);
        for (int i = 0; i < 3; ++i) {
            Client c(server.Port());
            ASSERT_EQ(0, c.ret) << server.Output();
            EXPECT_TRUE(c.Says(server, "resume " + std::to_string(i) + "\n")) << "connect " << i;
            EXPECT_EQ(row.resumes && i > 0 ? 1 : 0, noxa_tls_is_resumed(c.tls)) << "connect " << i;
        }
        // The server's own account of the three connections.
        EXPECT_EQ(row.resumes ? 2 : 0, Occurrences(server.Output(), "Reused session-id")) << server.Output();
        EXPECT_EQ(row.resumes ? 2 : 0, Logs::Count("tls session of noxa.test:" + std::to_string(server.Port()) + " resumed"));
        EXPECT_EQ(row.resumes ? 0 : 2, Logs::Count("refused by the server: full handshake"));
        EXPECT_EQ(1, tls_session_count());
    }
}

TEST_F(TlsResume, RestartedServerRefusesTheSessionAndTheFullHandshakeChecksItsCertificate)
{
    std::string cert, key, foreignCert, foreignKey;
    pki.Server("rsa", &cert, &key);
    pki.ForeignServer(&foreignCert, &foreignKey);
    SslServer server(cert, key, kArgs);
    {
        Client c(server.Port());
        EXPECT_TRUE(c.Says(server, "first\n"));
    }
    // The same certificate in a new process: the session and the ticket key are gone there.
    server.Restart(cert, key, kArgs);
    {
        Client c(server.Port());
        ASSERT_EQ(0, c.ret) << server.Output();
        EXPECT_EQ(0, noxa_tls_is_resumed(c.tls));
        EXPECT_TRUE(c.Says(server, "second\n"));
    }
    EXPECT_EQ(1, Logs::Count("refused by the server: full handshake"));
    {
        Client c(server.Port());
        EXPECT_EQ(1, noxa_tls_is_resumed(c.tls)) << "the new server's session is kept";
        EXPECT_TRUE(c.Says(server, "third\n"));
    }
    // Another server on that port, its certificate of nobody's CA: it cannot take the session,
    // and the full handshake that follows checks its certificate and fails.
    server.Restart(foreignCert, foreignKey, kArgs);
    {
        Client c(server.Port());
        EXPECT_EQ(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED, c.ret);
    }
    EXPECT_EQ(0, tls_session_count());
    EXPECT_EQ(1, Logs::Count("dropped: handshake failed"));
    EXPECT_EQ(0, Occurrences(server.Output(), "Reused session-id"));
}

TEST_F(TlsResume, NeverResumedOnceTheHostsCaWasReplaced)
{
    std::string cert, key;
    pki.ForeignServer(&cert, &key);
    SslServer server(cert, key, kArgs);
    const std::string signer = ReadFile(pki.ForeignCaDer());
    const std::string other = ReadFile(pki.CaDer());
    auto store = [](const std::string& der) {
        return cloud_store_ca(kHost, reinterpret_cast<const uint8_t*>(der.data()), static_cast<uint32_t>(der.size()));
    };
    ASSERT_EQ(0, store(signer));
    for (int i = 0; i < 2; ++i) {
        Client c(server.Port());
        EXPECT_TRUE(c.Says(server, "trusted " + std::to_string(i) + "\n")) << server.Output();
        EXPECT_EQ(i, noxa_tls_is_resumed(c.tls));
    }
    // The cloud replaces the host's CA: the server's certificate chains to nothing trusted any
    // more. Resuming would skip the check; the full handshake refuses the server, and asks for
    // the host's CA as after any failed handshake.
    ASSERT_EQ(0, store(other));
    s_fetchFile = pki.CaDer();
    cloud_set_ca_fetch_cb(FetchCa);
    cloud_ca_refresh_limit_reset();
    {
        Client c(server.Port());
        EXPECT_EQ(MBEDTLS_ERR_X509_CERT_VERIFY_FAILED, c.ret);
        EXPECT_EQ(0, noxa_tls_is_resumed(c.tls));
    }
    EXPECT_EQ(1, Logs::Count("dropped: the CA of the host changed"));
    EXPECT_EQ(1, s_fetches);
    EXPECT_EQ(1, Occurrences(server.Output(), "Reused session-id"));
    // The signer again: a full handshake first, then resumed.
    ASSERT_EQ(0, store(signer));
    for (int i = 0; i < 2; ++i) {
        Client c(server.Port());
        EXPECT_TRUE(c.Says(server, "again " + std::to_string(i) + "\n")) << server.Output();
        EXPECT_EQ(i, noxa_tls_is_resumed(c.tls));
    }
}

TEST_F(TlsResume, NotOfferedWithoutCertificatesNorPastItsAge)
{
    UniTestClock clock;
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    SslServer server(cert, key, kArgs);
    {
        Client c(server.Port());
        EXPECT_TRUE(c.Says(server, "full\n"));
    }
    // Without certificates nothing is checked, so no kept session may stand in for the check.
    noxa_tls_set_load_cert(0);
    {
        Client c(server.Port());
        EXPECT_EQ(MBEDTLS_ERR_SSL_CA_CHAIN_REQUIRED, c.ret);
    }
    // Nor without the server's name checked.
    {
        int fd = ConnectTcp(server.Port());
        NOXA_TLS_HANDLER* tls = nullptr;
        EXPECT_EQ(0, noxa_tls_connect(&tls, kHost, server.Port(), 0, &fd, NetSend, NetRecv, fd, 5));
        EXPECT_EQ(0, noxa_tls_is_resumed(tls));
        noxa_tls_disconnect(tls);
        close(fd);
    }
    // The age counts from the full handshake, resumptions or not.
    clock.Advance(TLS_SESSION_MAX_AGE_MS - 1);
    {
        Client c(server.Port());
        EXPECT_EQ(1, noxa_tls_is_resumed(c.tls));
        EXPECT_TRUE(c.Says(server, "still\n"));
    }
    clock.Advance(1);
    {
        Client c(server.Port());
        EXPECT_EQ(0, noxa_tls_is_resumed(c.tls));
        EXPECT_TRUE(c.Says(server, "aged\n"));
    }
    EXPECT_EQ(1, Logs::Count("dropped: too old"));
    EXPECT_EQ(1, Occurrences(server.Output(), "Reused session-id"));
}

TEST_F(TlsResume, AtMostEightHostsTheLeastRecentlyUsedGivesWay)
{
    std::string cert, key;
    pki.Server("ec", &cert, &key);
    std::vector<std::unique_ptr<SslServer>> servers;
    for (int i = 0; i <= TLS_SESSION_MAX; ++i) {
        servers.push_back(std::make_unique<SslServer>(cert, key, kArgs));
    }
    // The first one is used again before the last comes, so the second gives way.
    for (int i = 0; i <= TLS_SESSION_MAX; ++i) {
        if (i == TLS_SESSION_MAX) {
            Client c(servers[0]->Port());
            EXPECT_EQ(1, noxa_tls_is_resumed(c.tls));
        }
        Client c(servers[static_cast<size_t>(i)]->Port());
        EXPECT_TRUE(c.Says(*servers[static_cast<size_t>(i)], "host\n"));
        EXPECT_LE(tls_session_count(), TLS_SESSION_MAX);
    }
    EXPECT_EQ(TLS_SESSION_MAX, tls_session_count());
    const struct {
        size_t server;
        int resumed;
    } rows[] = {{TLS_SESSION_MAX, 1}, {0, 1}, {1, 0}};
    for (const auto& row : rows) {
        Client c(servers[row.server]->Port());
        EXPECT_EQ(row.resumed, noxa_tls_is_resumed(c.tls)) << "server " << row.server;
    }
}

}  // namespace
