// The per-host CA store: lookups into an X.509 chain, ten hosts at most, and the replacement after
// a failed handshake with its three fetch tries.
#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"

#include "log_capture.h"
#include "noxa_adapter/utilities/mem_pool.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mbedtls/x509_crt.h>
#include <sstream>
#include <string>

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

    // The third try brings one: it replaces the stored certificate.
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

}  // namespace
