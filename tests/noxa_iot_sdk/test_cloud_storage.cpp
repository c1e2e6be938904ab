// Object storage against the local cloud: the configurations as the simulator hands them out,
// S3 uploads through the simulator's signature gate into s3rver and read back, refusals of a
// wrong secret or token, Azure block blobs in azurite under the simulator's SAS, and the
// storage CA: fetched on demand, replaced after the simulator rotates it.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "log_capture.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_base/events.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>

namespace {

Events gEvents;

const NOXA_IOT_CBS_S kCbs = {};

std::string FromB64(const std::string& text)
{
    std::string out(text.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) {
        return "<not base64>";
    }
    size_t pad = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) {
        ++pad;
    }
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::string Bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

int Put(void* cfg, int kind, const std::string& name, const char* type, const std::string& data)
{
    return cloud_put_data_to_file(cfg, "https", kind, name.c_str(), type,
                                  reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()));
}

class CloudStorage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        LogCapture::Install();
        sBox = new TestSandbox();
        sCloud = new CloudPeer(sBox->Root());
        ASSERT_NE(sCloud->Command("stores").rfind("s3 ", 0), std::string::npos) << sCloud->Log();
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, nullptr));
        ASSERT_TRUE(StartActivation(sCloud->Pair()));
        for (int i = 0; i < 200 && noxa_iot_get_active_stat() != ACTIVATED; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(ACTIVATED, noxa_iot_get_active_stat()) << sCloud->Log();
    }

    static void TearDownTestSuite()
    {
        mqc_app_stop();
        delete sCloud;
        delete sBox;
    }

    void SetUp() override { sCloud->Command("storage s3"); }

    static std::string Object(const std::string& bucket, const std::string& key)
    {
        return FromB64(sCloud->Command("object " + bucket + " '" + key + "'"));
    }

    static std::string CaUrl(const CLOUD_STORAGE_CFG_S& c)
    {
        return strcmp(c.provider, "azure") == 0 ? std::string(c.ak) + c.endpoint
                                                : std::string(c.bucket) + "." + c.endpoint;
    }

    static TestSandbox* sBox;
    static CloudPeer* sCloud;
};

TestSandbox* CloudStorage::sBox = nullptr;
CloudPeer* CloudStorage::sCloud = nullptr;

TEST_F(CloudStorage, ConfigurationsAreFilled)
{
    CLOUD_STORAGE_CFG_S cfg{};
    ASSERT_EQ(0, cloud_get_storage_config(&cfg, 1)) << LogCapture::All();
    EXPECT_STREQ("s3", cfg.provider);
    EXPECT_STREQ("noxa-media", cfg.bucket);
    EXPECT_EQ(0, strncmp(cfg.endpoint, "s3.cloudsim.test:", 17)) << cfg.endpoint;
    EXPECT_STREQ("eu-central-1", cfg.region);
    EXPECT_STREQ("event", cfg.store_mode);
    EXPECT_EQ(60u, cfg.video_longest_time);
    EXPECT_EQ(std::string(noxa_iot_get_dev_id()) + "/media", cfg.media_path);
    EXPECT_GT(strlen(cfg.ak), 0u);
    EXPECT_GT(strlen(cfg.sk), 0u);
    EXPECT_GT(strlen(cfg.token), 0u);
    EXPECT_GT(cfg.expiration, static_cast<int64_t>(time(nullptr)));
    ASSERT_EQ(0, cloud_get_storage_restriction_config(&cfg));
    EXPECT_EQ(10u, cfg.slice_duration);

    CLOUD_DETECT_STORAGE_CFG_S det{};
    ASSERT_EQ(0, cloud_get_detect_storage_config(&det));
    EXPECT_STREQ("noxa-detect", det.bucket);
    EXPECT_EQ(CLOUD_CONTENT_PIC | CLOUD_CONTENT_VIDEO, det.flags) << "pictures and video messages";
    EXPECT_EQ(std::string(noxa_iot_get_dev_id()) + "/detect", det.dir);

    // A host the cloud has no certificate for: three tries, then the refusal.
    EXPECT_NE(0, cloud_require_new_ca("https://files.example.org:443/x", CLOUD_CA_KIND_DETECT));
    EXPECT_TRUE(LogCapture::Logged("require CA of files.example.org fails -1, try 3"));
    EXPECT_FALSE(LogCapture::Logged("try 4"));
    EXPECT_EQ(3, sCloud->LogCount("ca for files.example.org"));
    EXPECT_FALSE(cloud_has_ca("files.example.org"));

    // Arguments the calls refuse before any request.
    EXPECT_EQ(-2, cloud_get_storage_config(nullptr, 1));
    EXPECT_EQ(-2, cloud_require_new_ca(std::string(257, 'a').c_str(), 1));
    EXPECT_EQ(-2, cloud_require_new_ca("noxa-media.s3.cloudsim.test", 3));
    EXPECT_EQ(-2, cloud_put_data_to_file(&cfg, "https", 1, "x", "", nullptr, 0));
}

TEST_F(CloudStorage, S3PutsPassTheGateAndReadBack)
{
    CLOUD_STORAGE_CFG_S cfg{};
    ASSERT_EQ(0, cloud_get_storage_config(&cfg, 1));
    std::string small = Bytes(1000, 1);
    // The store's certificate chains to a CA only the API hands out.
    cloud_clear_ca();
    EXPECT_NE(0, Put(&cfg, 0, "before_ca.media", "media/av", small));
    ASSERT_EQ(0, cloud_require_new_ca(CaUrl(cfg).c_str(), CLOUD_CA_KIND_CLOUD)) << LogCapture::All();
    EXPECT_TRUE(cloud_has_ca("noxa-media.s3.cloudsim.test"));

    struct Row {
        std::string name;
        const char* type;
        std::string data;
    } rows[] = {
        {"1700000000_0001.media", "media/av", small},
        {"big slice 512k.media", "media/av", Bytes(512 * 1024, 2)},
        {"empty.media", "", ""},
        {"dir/ünï+$=;@.jpg", "image/jpeg", Bytes(3000, 3)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(0, Put(&cfg, 0, row.name, row.type, row.data)) << sCloud->Log();
        EXPECT_EQ(row.data, Object("noxa-media", std::string(cfg.media_path) + "/" + row.name));
        EXPECT_TRUE(LogCapture::Logged("HTTPS PUT " + std::string(cfg.media_path) + "/" + row.name + " done,size " +
                                       std::to_string(row.data.size()) + " cost "));
    }
    EXPECT_EQ(0, sCloud->LogCount("SignatureDoesNotMatch")) << sCloud->Log();

    // A detect upload records the object's path in its configuration.
    CLOUD_DETECT_STORAGE_CFG_S det{};
    ASSERT_EQ(0, cloud_get_detect_storage_config(&det));
    ASSERT_EQ(0, cloud_require_new_ca((std::string(det.bucket) + "." + det.endpoint).c_str(), CLOUD_CA_KIND_DETECT));
    ASSERT_EQ(0, Put(&det, 2, "1700000001.jpeg", "image/jpeg", small));
    EXPECT_EQ(std::string(det.dir) + "/1700000001.jpeg", det.path);
    EXPECT_EQ(small, Object("noxa-detect", det.path));
}

TEST_F(CloudStorage, WrongSecretOrTokenIsRefusedByTheGate)
{
    CLOUD_STORAGE_CFG_S cfg{};
    ASSERT_EQ(0, cloud_get_storage_config(&cfg, 1));
    ASSERT_EQ(0, cloud_require_new_ca(CaUrl(cfg).c_str(), CLOUD_CA_KIND_CLOUD));
    struct Row {
        const char* name;
        void (*spoil)(CLOUD_STORAGE_CFG_S*);
        const char* code;
    } rows[] = {
        {"secret", [](CLOUD_STORAGE_CFG_S* c) { c->sk[0] = c->sk[0] == 'x' ? 'y' : 'x'; }, "403 SignatureDoesNotMatch"},
        {"region", [](CLOUD_STORAGE_CFG_S* c) { strcpy(c->region, "us-west-2"); }, "400 AuthorizationHeaderMalformed"},
        {"token", [](CLOUD_STORAGE_CFG_S* c) { c->token[3] ^= 1; }, "403 InvalidToken"},
        {"key_id", [](CLOUD_STORAGE_CFG_S* c) { c->ak[0] ^= 1; }, "403 InvalidAccessKeyId"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CLOUD_STORAGE_CFG_S bad = cfg;
        row.spoil(&bad);
        int before = sCloud->LogCount(row.code);
        std::string name = std::string("refused_") + row.name + ".media";
        EXPECT_NE(0, Put(&bad, 0, name, "media/av", "data"));
        EXPECT_TRUE(sCloud->WaitLog(row.code, before + 1)) << sCloud->Log();
        EXPECT_TRUE(LogCapture::Logged("HTTPS PUT fail:" + std::string(cfg.media_path) + "/" + name + ",size 4,ret "));
        EXPECT_EQ(0u, sCloud->Command("object noxa-media " + std::string(cfg.media_path) + "/" + name).rfind("error", 0));
    }
}

// The gate also takes what AWS's own signer makes: header-signed GET and HEAD, a presigned GET;
// a spoiled one of each is refused before s3rver sees it.
TEST_F(CloudStorage, GateChecksBotocoreHeaderAndQuerySignatures)
{
    if (system("/usr/bin/python3 -c 'import botocore' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-botocore is not installed (scripts/deps.sh)";
    }
    CLOUD_STORAGE_CFG_S cfg{};
    ASSERT_EQ(0, cloud_get_storage_config(&cfg, 1));
    ASSERT_EQ(0, cloud_require_new_ca(CaUrl(cfg).c_str(), CLOUD_CA_KIND_CLOUD));
    std::string data = Bytes(5000, 5);
    std::string key = std::string(cfg.media_path) + "/read back.media";
    ASSERT_EQ(0, Put(&cfg, 0, "read back.media", "media/av", data));
    std::string port = strchr(cfg.endpoint, ':') + 1;
    std::string cmd = std::string("/usr/bin/python3 ") + DOORPHONE_SOURCE_DIR + "/tests/support/s3_gate_botocore.py " +
                      port + " " + sBox->Path("/.board/cloud/stores/tls/ca.pem") + " '" + cfg.ak + "' '" + cfg.sk +
                      "' '" + cfg.token + "' " + cfg.region + " " + cfg.bucket + " '" + key + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string out;
    char line[512];
    while (fgets(line, sizeof(line), p) != nullptr) {
        out += line;
    }
    EXPECT_EQ(0, pclose(p)) << out;
    std::string bodyHash = cloud_sha256_hex(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    std::string emptyHash = cloud_sha256_hex(nullptr, 0);
    for (const std::string& expect : {"get 200 " + bodyHash + " -", "head 200 " + emptyHash + " -",
                                      "query 200 " + bodyHash + " -"}) {
        EXPECT_TRUE(out.find(expect + "\n") != std::string::npos) << expect << "\n" << out << sCloud->Log();
    }
    for (const char* expect : {"get_wrong_secret 403 ", "head_no_token 403 ", "query_wrong_secret 403 ",
                               "query_tampered 403 "}) {
        EXPECT_TRUE(out.find(expect) != std::string::npos) << expect << "\n" << out;
    }
    EXPECT_TRUE(out.find("SignatureDoesNotMatch\n") != std::string::npos) << out;
}

// An encrypted picture as the phone app reads it: the picture header ("NXPC", version, IV text,
// plain length, reserved) and AES-128-CBC made here with OpenSSL, uploaded by the unit, fetched
// and decrypted by tools/phone.
TEST_F(CloudStorage, PhoneFetchesAndDecryptsAPicture)
{
    const std::string key16 = "0123456789abcdef";
    const std::string iv = "a1b2c3d4e5f60789";
    std::string plain = Bytes(4321, 6);
    std::string header(64, '\0');
    memcpy(&header[0], "NXPC", 4);
    header[7] = 1;
    memcpy(&header[8], iv.data(), 16);
    for (int i = 0; i < 4; ++i) {
        header[24 + i] = static_cast<char>(plain.size() >> (24 - 8 * i));
    }
    std::string cipher(plain.size() + 16, '\0');
    int n1 = 0;
    int n2 = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key16.data()),
                       reinterpret_cast<const unsigned char*>(iv.data()));
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(cipher.data()), &n1,
                      reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(cipher.data()) + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    cipher.resize(static_cast<size_t>(n1 + n2));

    CLOUD_DETECT_STORAGE_CFG_S det{};
    ASSERT_EQ(0, cloud_get_detect_storage_config(&det));
    ASSERT_EQ(0, cloud_require_new_ca((std::string(det.bucket) + "." + det.endpoint).c_str(), CLOUD_CA_KIND_DETECT));
    ASSERT_EQ(0, Put(&det, 2, "1700000002.jpeg", "image/jpeg", header + cipher));
    auto phone = [&](const std::string& args) {
        std::string cmd = std::string(DOORPHONE_SOURCE_DIR) + "/tools/phone " + sBox->Root() + " pic " + args + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        std::string out;
        char buf[4096];
        size_t n = 0;
        while (p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0) {
            out.append(buf, n);
        }
        int rc = p != nullptr ? pclose(p) : -1;
        return std::make_pair(rc, out);
    };
    auto [rc, out] = phone(std::string(det.bucket) + "/" + det.path + " " + key16);
    EXPECT_EQ(0, rc) << out;
    EXPECT_TRUE(out == plain) << out.size() << " bytes";
    auto raw = phone(std::string(det.bucket) + "/" + det.path);
    EXPECT_EQ(header + cipher, raw.second);
    auto wrong = phone(std::string(det.bucket) + "/" + det.path + " " + std::string(16, 'z'));
    EXPECT_NE(0, wrong.first);
    EXPECT_NE(plain, wrong.second);

    // The unit's own encryption, under the media key the cloud handed it, reads back the same way.
    uint8_t* enc = nullptr;
    uint32_t encLen = 0;
    ASSERT_EQ(0, cloud_encrypt_pic_with_random_iv(reinterpret_cast<const uint8_t*>(plain.data()),
                                                  static_cast<uint32_t>(plain.size()), &enc, &encLen, nullptr));
    const std::string unitPic(reinterpret_cast<const char*>(enc), encLen);
    free(enc);
    uint8_t* mk = nullptr;
    uint32_t mkLen = 0;
    ASSERT_EQ(0, kvs_read(CLOUD_ENC_KEY_NAME, &mk, &mkLen));
    const std::string mediaKey(reinterpret_cast<const char*>(mk), mkLen);
    kvs_free_data(mk);
    ASSERT_EQ(0, Put(&det, 2, "1700000003.jpeg", "image/jpeg", unitPic));
    auto unit = phone(std::string(det.bucket) + "/" + det.path + " " + mediaKey);
    EXPECT_EQ(0, unit.first) << unit.second;
    EXPECT_TRUE(unit.second == plain) << unit.second.size() << " bytes";
}

TEST_F(CloudStorage, AzureBlockBlobKeepsItsTypeAndAWrongSasIsRefused)
{
    sCloud->Command("storage azure");
    CLOUD_STORAGE_CFG_S cfg{};
    ASSERT_EQ(0, cloud_get_storage_config(&cfg, 1));
    ASSERT_STREQ("azure", cfg.provider);
    ASSERT_EQ(0, cloud_require_new_ca(CaUrl(cfg).c_str(), CLOUD_CA_KIND_CLOUD));
    EXPECT_TRUE(cloud_has_ca("devstoreaccount1.blob.cloudsim.test"));
    std::string data = Bytes(70 * 1024, 4);
    ASSERT_EQ(0, Put(&cfg, 4, "face_1.jpg", "image/jpeg", data)) << LogCapture::All();
    std::string key = std::string(cfg.media_path) + "/face_1.jpg";
    EXPECT_EQ(data, Object("noxa-media", key));
    // Read back with the test's own client: the blob keeps its content type.
    std::string port = sBox->Read("/.board/cloud/stores/ports");
    port = port.substr(port.find("azurite=") + 8);
    httplib::SSLClient c("127.0.0.1", static_cast<uint16_t>(std::stoi(port)));
    c.set_ca_cert_path(sBox->Path("/.board/cloud/stores/tls/ca.pem").c_str());
    c.enable_server_certificate_verification(true);
    auto r = c.Get("/devstoreaccount1/noxa-media/" + key + "?" + cfg.token);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("image/jpeg", r->get_header_value("Content-Type"));
    EXPECT_EQ("BlockBlob", r->get_header_value("x-ms-blob-type"));

    CLOUD_STORAGE_CFG_S bad = cfg;
    char* sig = strstr(bad.token, "sig=");
    ASSERT_NE(nullptr, sig);
    sig[4] = sig[4] == 'A' ? 'B' : 'A';
    EXPECT_NE(0, Put(&bad, 0, "forged.jpg", "image/jpeg", data));
    EXPECT_EQ(0u, sCloud->Command("object noxa-media " + std::string(cfg.media_path) + "/forged.jpg").rfind("error", 0));
}

// Both stores away and back ("stores stop|start"): meanwhile the API still hands out the
// configurations and a PUT fails (connection refused); after the start the same endpoints take
// PUTs again and the objects from before are still there.
TEST_F(CloudStorage, StoppedStoresRefuseThenComeBackWithTheirData)
{
    const std::string endpoints = sCloud->Command("stores");
    for (const char* provider : {"s3", "azure"}) {
        SCOPED_TRACE(provider);
        sCloud->Command(std::string("storage ") + provider);
        CLOUD_STORAGE_CFG_S cfg{};
        ASSERT_EQ(0, cloud_get_storage_config(&cfg, 1));
        ASSERT_EQ(0, cloud_require_new_ca(CaUrl(cfg).c_str(), CLOUD_CA_KIND_CLOUD)) << LogCapture::All();
        const std::string dir = std::string(cfg.media_path) + "/";
        const std::string before = Bytes(2000, 7);
        const std::string after = Bytes(3000, 8);
        ASSERT_EQ(0, Put(&cfg, 0, "before_stop.media", "media/av", before)) << sCloud->Log();

        ASSERT_EQ("stores stopped", sCloud->Command("stores stop")) << sCloud->Log();
        EXPECT_EQ(endpoints + " (stopped)", sCloud->Command("stores"));
        EXPECT_NE(0, Put(&cfg, 0, "while_stopped.media", "media/av", after));
        EXPECT_EQ(0u, sCloud->Command("object noxa-media " + dir + "before_stop.media").rfind("error", 0));
        CLOUD_STORAGE_CFG_S meanwhile{};
        EXPECT_EQ(0, cloud_get_storage_config(&meanwhile, 1)) << sCloud->Log();
        EXPECT_STREQ(cfg.endpoint, meanwhile.endpoint);

        ASSERT_EQ("stores started", sCloud->Command("stores start")) << sCloud->Log();
        EXPECT_EQ(endpoints, sCloud->Command("stores")) << "the same ports";
        EXPECT_EQ(before, Object("noxa-media", dir + "before_stop.media"));
        ASSERT_EQ(0, Put(&cfg, 0, "after_start.media", "media/av", after)) << LogCapture::All();
        EXPECT_EQ(after, Object("noxa-media", dir + "after_start.media"));
        EXPECT_EQ(0u, sCloud->Command("object noxa-media " + dir + "while_stopped.media").rfind("error", 0));
    }
    EXPECT_EQ("stores started", sCloud->Command("stores start")) << "a start of running stores changes nothing";
    EXPECT_EQ(endpoints, sCloud->Command("stores"));
}

TEST_F(CloudStorage, RotatedCaFailsOneHandshakeThenIsReplaced)
{
    CLOUD_STORAGE_CFG_S cfg{};
    ASSERT_EQ(0, cloud_get_storage_config(&cfg, 1));
    ASSERT_EQ(0, cloud_require_new_ca(CaUrl(cfg).c_str(), CLOUD_CA_KIND_CLOUD));
    ASSERT_EQ(0, Put(&cfg, 0, "before_rotation.media", "media/av", "one"));
    ASSERT_EQ("storage CA rotated, stores restarted", sCloud->Command("rotate-ca"));
    EXPECT_FALSE(LogCapture::Logged("replace CA for url noxa-media.s3.cloudsim.test"));
    // The first handshake fails on the old CA and has the host's certificate fetched again.
    EXPECT_NE(0, Put(&cfg, 0, "during_rotation.media", "media/av", "two"));
    EXPECT_TRUE(LogCapture::Logged("replace CA for url noxa-media.s3.cloudsim.test")) << LogCapture::All();
    ASSERT_EQ(0, Put(&cfg, 0, "after_rotation.media", "media/av", "three"));
    EXPECT_EQ("three", Object("noxa-media", std::string(cfg.media_path) + "/after_rotation.media"));
    // A host that never had a certificate has nothing to replace.
    EXPECT_EQ(-1, cloud_replace_ca("unknown.s3.cloudsim.test"));
    EXPECT_TRUE(LogCapture::Logged("can not find the replace CA"));
}

}  // namespace
