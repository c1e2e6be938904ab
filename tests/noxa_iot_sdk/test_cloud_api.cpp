// The cloud API calls of the unit against the local cloud (tools/cloudsim): the request's sign and
// body against OpenSSL, each wrapper and its reply keys, each failure the simulator can inject and
// the code it gives (without a descriptor left open), the cloud clock, pictures encrypted for the
// phone and checked with OpenSSL, pictures fetched with a bound, and firmware downloads checked by
// size and MD5.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "cloud_wire.h"
#include "log_capture.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/gw_upgrade.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_iot_sdk/online_log/log_seq.h"
#include "noxa_middleware/httpc/http_inf.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <dirent.h>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<int> gStatus{0};

void StatusCb(uint8_t status)
{
    gStatus.store(status);
}

const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

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

std::vector<std::string> Split(const std::string& s)
{
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;) {
        w.push_back(x);
    }
    return w;
}

bool WaitLogged(const std::string& text)
{
    for (int i = 0; i < 200; ++i) {
        if (LogCapture::Logged(text)) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string Hex(const unsigned char* d, size_t n)
{
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof(two), "%02x", d[i]);
        out += two;
    }
    return out;
}

class CloudApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        mCloud = std::make_unique<CloudPeer>(mBox.Root());
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, StatusCb));
        ASSERT_TRUE(StartActivation(mCloud->Pair()));
        for (int i = 0; i < 300 && gStatus.load() != STAT_CLOUD_CONN; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(STAT_CLOUD_CONN, gStatus.load()) << LogCapture::All() << mCloud->Log();
        // The unit takes the cloud's clock as it comes online; both sides log it.
        ASSERT_TRUE(mCloud->WaitLog("api noxa.device.time.get v1.0")) << mCloud->Log();
        ASSERT_TRUE(WaitLogged("cloud time sync on first link up: 0")) << LogCapture::All();
    }

    void TearDown() override { mqc_app_stop(); }

    TestSandbox mBox;
    std::unique_ptr<CloudPeer> mCloud;
};

TEST_F(CloudApi, RequestSignAndBodyAreOpenSslsTheSimulatorTakesThemAndAWrongSignedAnswerIsNeverParsed)
{
    // A capturing server answers as the cloud would; the unit's query and body are checked
    // against MD5 and AES computed here, then the same bytes go to the simulator.
    const GW_CNTL_S* gw = get_gw_cntl();
    const std::string key(gw->localKey, 16);
    const std::string devId = gw->devId;
    httplib::Server srv;
    std::string target;
    std::string body;
    bool wrongSign = false;
    srv.Post("/d.json", [&](const httplib::Request& req, httplib::Response& res) {
        target = req.target;
        body = req.body;
        std::string answer = cloudpeer::ApiAnswer("{\"success\":true,\"result\":{\"time\":1}}", key);
        if (wrongSign) {
            size_t at = answer.find("\"sign\":\"") + 8;
            answer[at] = answer[at] == '0' ? '1' : '0';
        }
        res.set_content(answer, "application/json");
    });
    int port = srv.bind_to_any_port("127.0.0.1");
    std::thread th([&] { srv.listen_after_bind(); });
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/d.json";
    const char* json = "{\"devId\":\"x\",\"skill\":\"{\\\"p2p\\\":1} vector\"}";
    for (bool bad : {true, false}) {
        wrongSign = bad;
        cJSON* result = nullptr;
        int ret = iot_httpc_post_with_key(url.c_str(), "skill.update", "1.0", "devId", devId.c_str(), key.c_str(),
                                          json, &result);
        EXPECT_EQ(bad ? -1 : 0, ret);
        EXPECT_EQ(bad, result == nullptr);
        cJSON_Delete(result);
    }
    srv.stop();
    th.join();
    // The last request's parameters, in the order sent, and the sign over them sorted.
    std::string query = target.substr(target.find('?') + 1);
    std::replace(query.begin(), query.end(), '&', ' ');
    std::map<std::string, std::string> params;
    std::string order;
    for (const std::string& kv : Split(query)) {
        std::string name = kv.substr(0, kv.find('='));
        params[name] = kv.substr(kv.find('=') + 1);
        order += name + ",";
    }
    EXPECT_EQ("a,v,t,devId,sign,", order);
    EXPECT_EQ("noxa.device.skill.update", params["a"]);
    EXPECT_EQ(devId, params["devId"]);
    std::string signed_ = "a=" + params["a"] + "||devId=" + params["devId"] + "||t=" + params["t"] + "||v=" +
                          params["v"] + "||" + key;
    EXPECT_EQ(cloudpeer::Md5Hex(signed_), params["sign"]);
    cloudpeer::Bytes cipher = cloudpeer::Aes128Ecb(cloudpeer::Bytes(json, json + strlen(json)), key, true);
    std::string hex;
    char two[3];
    for (uint8_t b : cipher) {
        snprintf(two, sizeof(two), "%02X", b);
        hex += two;
    }
    EXPECT_EQ("data=" + hex, body);
    // The simulator takes the very request.
    httplib::SSLClient sim("127.0.0.1", mCloud->ApiPort());
    sim.set_ca_cert_path(mCloud->CaPem().c_str());
    sim.enable_server_certificate_verification(true);
    auto res = sim.Post(target.c_str(), httplib::Headers{{"User-Agent", "NOXA_IOT_SDK"}}, body,
                        "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
    cJSON* result = nullptr;
    EXPECT_EQ(0, iot_api_decode_answer(res->body.data(), static_cast<uint32_t>(res->body.size()),
                                       reinterpret_cast<const uint8_t*>(key.data()), &result));
    cJSON_Delete(result);
    EXPECT_TRUE(mCloud->WaitLog("skill {\"p2p\":1} vector: ok")) << mCloud->Log();
}

TEST_F(CloudApi, EveryWrapperAgainstTheSimulator)
{
    struct Row {
        const char* name;
        std::function<int(cJSON**)> call;
        std::vector<const char*> keys;  // in the reply
        const char* simLog;             // what the simulator logged
    };
    const Row rows[] = {
        {"token", [](cJSON** r) { return http_get_dev_token_create(r); }, {"token"}, ": token "},
        {"notify start",
         [](cJSON** r) { return http_ipc_cloud_storage_event_notify_v10(0, "{\"startTime\":1700000000}", r); },
         {"needUpdate"}, "upload start 1700000000"},
        {"notify stop",
         [](cJSON** r) { return http_ipc_cloud_storage_event_notify_v10(1, "{\"startTime\":1,\"endTime\":2}", r); },
         {}, "noxa.device.ipc.media.storage.notify.upload.stop v1.0"},
        {"notify event", [](cJSON** r) { return http_ipc_cloud_storage_event_notify_v10(2, "{\"type\":3}", r); }, {},
         "noxa.device.ipc.media.storage.report.event v1.0"},
        {"secret", [](cJSON** r) { return httpc_iot_cloud_storage_encrypt_key_get(r); }, {"encryptKey"},
         "media key"},
        {"skill",
         [](cJSON**) { return http_dev_update_skill(0, "{\\\"p2p\\\":1,\\\"cloudStorage\\\":1}"); },
         {}, "skill {\"p2p\":1,\"cloudStorage\":1}"},
        {"face config", [](cJSON** r) { return http_ipc_ai_face_storage_config_get_v3(r); },
         {"token", "ak", "sk", "bucket", "endpoint", "region", "provider", "mode", "pathConfig"},
         "face storage config"},
        {"faces", [](cJSON** r) { return http_ipc_ai_face_report(0, nullptr, r); }, {"acquaintance"}, "faces 0"},
        {"signed face", [](cJSON** r) { return http_ipc_ai_face_report(1, "{\"v\":0,\"faceId\":7}", r); }, {},
         "signed face {\"v\":0,\"faceId\":7}"},
        {"new face", [](cJSON** r) { return http_ipc_ai_face_report(2, "{\"angle\":0}", r); }, {"faceId"},
         "new face 101"},
        {"gw upgrade", [](cJSON**) { return http_gw_upgrd_stat_update(gw_fw_tp_to_cloud_tp(0), 2); }, {},
         "upgrade status type 0.000000 status 2.000000 of nx"},
        {"dev upgrade", [](cJSON**) { return http_dev_upgrd_stat_update("sub1", 3, 4); }, {},
         "upgrade status type 3.000000 status 4.000000 of sub1"},
    };
    int fds = OpenFds();
    for (const auto& r : rows) {
        cJSON* reply = nullptr;
        ASSERT_EQ(0, r.call(&reply)) << r.name << LogCapture::All();
        for (const char* k : r.keys) {
            EXPECT_NE(nullptr, cJSON_GetObjectItemCaseSensitive(reply, k)) << r.name << " " << k;
        }
        cJSON_Delete(reply);
        EXPECT_TRUE(mCloud->WaitLog(r.simLog, 1, 2s)) << r.name << "\n" << mCloud->Log();
    }
    EXPECT_EQ(fds, OpenFds());
    // The device id goes into every notice body.
    EXPECT_TRUE(mCloud->WaitLog(std::string("{\"type\":3,\"devId\":\"") + noxa_iot_get_dev_id() + "\"}"))
        << mCloud->Log();
}

TEST_F(CloudApi, EachInjectedFailureGivesItsCodeAndLeavesNoDescriptor)
{
    const struct {
        const char* fail;
        int ret;
    } rows[] = {
        {"fail ipc.ai.face.storage.config.get code NO_CONFIG", IOT_API_ERR_NO_CONFIG},
        {"fail ipc.ai.face.storage.config.get code INVALID_ORDER", IOT_API_ERR_NO_CONFIG},
        {"fail ipc.ai.face.storage.config.get code NO_VALID_ORDER", IOT_API_ERR_NO_ORDER},
        {"fail ipc.ai.face.storage.config.get code ORDER_EXPIRED", IOT_API_ERR_TOKEN},
        {"fail ipc.ai.face.storage.config.get code SOMETHING_ELSE", -1},
        {"fail ipc.ai.face.storage.config.get missing bucket", IOT_API_ERR_KEY_MISSING},
        {"fail ipc.ai.face.storage.config.get missing pathConfig", IOT_API_ERR_KEY_MISSING},
        {"fail ipc.ai.face.storage.config.get sign", -1},
        {"fail ipc.ai.face.storage.config.get 500", -1},
        {"fail ipc.ai.face.storage.config.get stall", -1},
    };
    int fds = OpenFds();
    for (const auto& r : rows) {
        ASSERT_EQ(0u, mCloud->Command(r.fail).rfind("fail ", 0));
        cJSON* reply = nullptr;
        EXPECT_EQ(r.ret, http_ipc_ai_face_storage_config_get_v3(&reply)) << r.fail;
        EXPECT_EQ(nullptr, reply) << r.fail;
        cJSON_Delete(reply);
        // The failed call froze the "http" log sequence: the API, then its result.
        char* text = nullptr;
        ASSERT_EQ(0, make_log_seq_string(http_get_log_seq(), &text)) << r.fail;
        std::string seq = text;
        Free(text);
        EXPECT_EQ(0u, seq.rfind("http 1:ipc.ai.face.sto", 0)) << seq;
        EXPECT_NE(std::string::npos, seq.find(" 3:" + std::to_string(r.ret)))
            << r.fail << " " << seq;
    }
    mCloud->Command("fail ipc.ai.face.storage.config.get ok");
    cJSON* reply = nullptr;
    EXPECT_EQ(0, http_ipc_ai_face_storage_config_get_v3(&reply));
    cJSON_Delete(reply);
    EXPECT_EQ(fds, OpenFds());
    EXPECT_TRUE(LogCapture::Logged("sign mismatch")) << LogCapture::All();
    // A media key the cloud does not hand out: the picture cannot be encrypted.
    mCloud->Command("fail ipc.storage.secret.get missing encryptKey");
    uint8_t* out = nullptr;
    uint32_t outLen = 0;
    const uint8_t pic[3] = {1, 2, 3};
    EXPECT_EQ(-803, cloud_encrypt_pic_with_random_iv(pic, sizeof(pic), &out, &outLen, nullptr));
    EXPECT_EQ(nullptr, out);
}

TEST_F(CloudApi, CloudTimeSetsTheClockAndTheZone)
{
    ASSERT_EQ("time 1900000000 zone +05:30", mCloud->Command("time 1900000000 +05:30"));
    cJSON* reply = nullptr;
    ASSERT_EQ(0, http_gw_timer_cnt(0, &reply));
    EXPECT_NEAR(1900000000.0, cJSON_GetNumberValue(cJSON_GetObjectItem(reply, "time")), 2.0);
    cJSON_Delete(reply);
    EXPECT_EQ(0, uni_time_check_sync());
    int32_t offset = 0;
    ASSERT_EQ(0, uni_get_time_zone(&offset));
    EXPECT_EQ(5 * 3600 + 1800, offset);
    EXPECT_NEAR(1900000000.0, static_cast<double>(uni_time_get_posix()), 5.0);
    EXPECT_TRUE(mCloud->WaitLog("api noxa.device.time.get v1.0: time 19000000")) << mCloud->Log();

    // Answers no clock may take: a time before this build, a zone no place keeps or that does not
    // scan. Refused as bad answers; the clock and the zone stay.
    const char* bad[] = {"time 0 +01:00", "time 4 +01:00", "time 1900000000 +99999999:00",
                         "time 1900000000 +99:99", "time 1900000000 +14:30", "time 1900000000 -12:01"};
    for (const char* cmd : bad) {
        ASSERT_EQ(0u, mCloud->Command(cmd).rfind("time ", 0)) << cmd;
        EXPECT_EQ(IOT_API_ERR_KEY_MISSING, http_gw_timer_cnt(0, nullptr)) << cmd;
        ASSERT_EQ(0, uni_get_time_zone(&offset));
        EXPECT_EQ(5 * 3600 + 1800, offset) << cmd;
        EXPECT_NEAR(1900000000.0, static_cast<double>(uni_time_get_posix()), 30.0) << cmd;
    }
}

// Numbers of an answer that no cast can take are a bad answer, never an undefined cast.
TEST_F(CloudApi, NumbersOutOfRangeAreABadAnswer)
{
    const std::string key(get_gw_cntl()->localKey, 16);
    std::string inner;
    httplib::Server srv;
    srv.Post("/d.json", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(cloudpeer::ApiAnswer("{\"success\":true,\"result\":" + inner + "}", key), "application/json");
    });
    int port = srv.bind_to_any_port("127.0.0.1");
    std::thread th([&] { srv.listen_after_bind(); });
    const std::string conf = mBox.Read("/etc/cloud.conf");
    mBox.Write("/etc/cloud.conf", "api_url=http://127.0.0.1:" + std::to_string(port) + "/d.json\n");
    const std::string cfg = R"("provider":"s3","ak":"AK","bucket":"b","endpoint":"e.test","mediaStor":"event")";
    const struct {
        std::string result;
        int ret;
    } rows[] = {
        {"{" + cfg + R"(,"expiration":1900000000,"videoLongestTime":60})", 0},
        {"{" + cfg + R"(,"expiration":1900000000,"videoLongestTime":-5})", 0},
        {"{" + cfg + R"(,"expiration":1e300,"videoLongestTime":60})", IOT_API_ERR_KEY_MISSING},
        {"{" + cfg + R"(,"expiration":-1e300})", IOT_API_ERR_KEY_MISSING},
        {"{" + cfg + R"(,"expiration":1900000000,"videoLongestTime":1e20})", IOT_API_ERR_KEY_MISSING},
        {"{" + cfg + R"(,"expiration":1900000000,"videoLongestTime":4294967296})", IOT_API_ERR_KEY_MISSING},
    };
    for (const auto& r : rows) {
        inner = r.result;
        CLOUD_STORAGE_CFG_S c{};
        EXPECT_EQ(r.ret, cloud_get_storage_config(&c, 1)) << r.result;
        if (r.ret == 0) {
            EXPECT_EQ(1900000000, c.expiration);
            EXPECT_EQ(r.result.find("-5") != std::string::npos ? 0u : 60u, c.video_longest_time);
        }
    }
    inner = R"({"time":1e300,"timeZone":"+01:00"})";
    EXPECT_EQ(IOT_API_ERR_KEY_MISSING, http_gw_timer_cnt(0, nullptr));
    inner = R"({"storage":{"mtu":1e300}})";
    CLOUD_STORAGE_CFG_S c{};
    EXPECT_EQ(IOT_API_ERR_KEY_MISSING, cloud_get_storage_restriction_config(&c));
    mBox.Write("/etc/cloud.conf", conf);
    srv.stop();
    th.join();
}

// AES-128-CBC with PKCS#7 by OpenSSL.
cloudpeer::Bytes Cbc(const cloudpeer::Bytes& in, const uint8_t* key, const uint8_t* iv, bool enc, bool* ok)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    cloudpeer::Bytes out(in.size() + 16);
    int n1 = 0;
    int n2 = 0;
    *ok = EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv, enc ? 1 : 0) == 1 &&
          EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
          EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(*ok ? static_cast<size_t>(n1 + n2) : 0);
    return out;
}

TEST_F(CloudApi, PicturesRoundTripWithOpenSslAndBrokenOnesAreRefused)
{
    cloudpeer::Bytes pic(70001);
    for (size_t i = 0; i < pic.size(); ++i) {
        pic[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    uint8_t* a = nullptr;
    uint32_t aLen = 0;
    ASSERT_EQ(0, cloud_encrypt_pic_with_random_iv(pic.data(), static_cast<uint32_t>(pic.size()), &a, &aLen, nullptr));
    // The key was fetched from the cloud and kept in the store.
    uint8_t* key = nullptr;
    uint32_t keyLen = 0;
    ASSERT_EQ(0, wd_common_read("cloud_enc_key", &key, &keyLen));
    ASSERT_EQ(16u, keyLen);
    std::string keyText(reinterpret_cast<char*>(key), 16);
    wd_common_free_data(key);
    // Header by the layout the phone reads: magic, version, IV text, plain length, zeros.
    ASSERT_EQ(64u + (pic.size() / 16 + 1) * 16, aLen);
    EXPECT_EQ(0, memcmp(a, "NXPC\0\0\0\1", 8));
    for (int i = 8; i < 24; ++i) {
        EXPECT_TRUE(isxdigit(a[i])) << i;
    }
    EXPECT_EQ(pic.size(), (uint32_t(a[24]) << 24) | (uint32_t(a[25]) << 16) | (uint32_t(a[26]) << 8) | a[27]);
    for (int i = 28; i < 64; ++i) {
        EXPECT_EQ(0, a[i]) << i;
    }
    bool ok = false;
    cloudpeer::Bytes plain = Cbc(cloudpeer::Bytes(a + 64, a + aLen), reinterpret_cast<const uint8_t*>(keyText.data()),
                                 a + 8, false, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(pic, plain);
    // Two random IVs differ; a given IV is used as it stands.
    uint8_t* b = nullptr;
    uint32_t bLen = 0;
    ASSERT_EQ(0, cloud_encrypt_pic_with_random_iv(pic.data(), static_cast<uint32_t>(pic.size()), &b, &bLen, nullptr));
    EXPECT_NE(0, memcmp(a + 8, b + 8, 16));
    EXPECT_NE(0, memcmp(a + 64, b + 64, 64));
    free(b);
    ASSERT_EQ(0, cloud_encrypt_pic_with_random_iv(pic.data(), 5, &b, &bLen, "0123456789abcdef"));
    EXPECT_EQ(0, memcmp(b + 8, "0123456789abcdef", 16));
    free(b);
    // The unit's own decryption, with the key given and with the stored one.
    for (const char* k : {keyText.c_str(), static_cast<const char*>(nullptr)}) {
        uint8_t* back = nullptr;
        uint32_t backLen = 0;
        ASSERT_EQ(0, cloud_decrypt_pic_with_random_iv(a, aLen, &back, &backLen, k));
        EXPECT_EQ(pic, cloudpeer::Bytes(back, back + backLen));
        free(back);
    }
    // One flipped byte in the header, the length or the padding; a short or ragged input.
    const struct {
        const char* what;
        uint32_t at;
        uint32_t len;
    } rows[] = {
        {"magic", 0, aLen},          {"version", 7, aLen},  {"plain length", 27, aLen},
        {"plain length high", 24, aLen}, {"reserved", 40, aLen}, {"padding", aLen - 1, aLen},
        {"short", 0, 64 + 15},        {"ragged", 0, aLen - 1}, {"header only", 0, 64},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> bad(a, a + r.len);
        if (r.len == aLen) {
            bad[r.at] ^= 0x41;
        }
        uint8_t* back = nullptr;
        uint32_t backLen = 0;
        EXPECT_EQ(-1, cloud_decrypt_pic_with_random_iv(bad.data(), r.len, &back, &backLen, keyText.c_str()))
            << r.what;
        EXPECT_EQ(nullptr, back) << r.what;
    }
    free(a);
}

TEST_F(CloudApi, PicturesAreFetchedUpToTwoMebibytes)
{
    const struct {
        const char* cmd;
        int ret;
    } rows[] = {
        {"picture small 3000", 0},
        {"picture small_chunked 70000 chunked", 0},
        {"picture edge 2097152", 0},
        {"picture big 2097153", -1},
        {"picture big_chunked 3000000 chunked", -1},
    };
    int fds = OpenFds();
    for (const auto& r : rows) {
        std::vector<std::string> w = Split(mCloud->Command(r.cmd));
        ASSERT_EQ(3u, w.size()) << r.cmd;
        HTTPC_PIC_BUF_S pic = {};
        EXPECT_EQ(r.ret, httpc_get_pic(w[0].c_str(), &pic)) << r.cmd;
        if (r.ret == 0) {
            EXPECT_EQ(std::stoul(w[2]), pic.len);
            EXPECT_EQ(w[1], cloudpeer::Md5Hex(std::string(reinterpret_cast<char*>(pic.data), pic.len)));
        } else {
            EXPECT_EQ(nullptr, pic.data);
        }
        free(pic.data);
    }
    EXPECT_EQ(fds, OpenFds());
}

struct Download {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    int result = 99;
    uint32_t next = 0;  // offset the next piece must start at
    bool inOrder = true;
    EVP_MD_CTX* md5 = nullptr;
    uint32_t pieces = 0;
};

int DataCb(const NOXA_FW_INFO_S* fw, uint32_t total, uint32_t offset, const uint8_t* data, uint32_t len,
           uint32_t* remain, void* priv)
{
    auto* d = static_cast<Download*>(priv);
    // Every third piece leaves its last 10 bytes, which must come again.
    uint32_t keep = (d->pieces++ % 3 == 1 && len > 10) ? 10 : 0;
    d->inOrder = d->inOrder && offset == d->next && total == fw->file_size && *remain == 0;
    EVP_DigestUpdate(d->md5, data, len - keep);
    d->next = offset + len - keep;
    *remain = keep;
    return 0;
}

void FinishCb(const NOXA_FW_INFO_S*, int result, void* priv)
{
    auto* d = static_cast<Download*>(priv);
    std::lock_guard<std::mutex> lock(d->m);
    d->result = result;
    d->done = true;
    d->cv.notify_all();
}

TEST_F(CloudApi, FirmwareArrivesInOrderAndACorruptOrCutImageFails)
{
    std::vector<std::string> w = Split(mCloud->Command("firmware fw1 3145728"));
    ASSERT_EQ(3u, w.size());
    const struct {
        const char* setup;  // simulator command before the download
        int64_t sizeDelta;  // to the announced size
        bool ok;
    } rows[] = {
        {"corrupt off", 0, true},
        {"corrupt", 0, false},
        {"cut 1000000", 0, false},
        {"cut 100", 0, false},
        {"cut off", 1, false},   // announced larger than the image
        {"cut off", -1, false},  // announced smaller: the MD5 cannot match
    };
    int fds = OpenFds();
    for (const auto& r : rows) {
        mCloud->Command("corrupt off");
        mCloud->Command(r.setup);
        NOXA_FW_INFO_S fw = {};
        snprintf(fw.fw_url, sizeof(fw.fw_url), "%s", w[0].c_str());
        snprintf(fw.fw_md5, sizeof(fw.fw_md5), "%s", w[1].c_str());
        snprintf(fw.sw_ver, sizeof(fw.sw_ver), "1.2.12");
        fw.file_size = static_cast<uint32_t>(std::stoll(w[2]) + r.sizeDelta);
        Download d;
        d.md5 = EVP_MD_CTX_new();
        EVP_DigestInit_ex(d.md5, EVP_md5(), nullptr);
        ASSERT_EQ(0, noxa_iot_upgrade_gw(&fw, DataCb, FinishCb, &d, 0, 0)) << r.setup;
        // One download at a time.
        EXPECT_EQ(-1, noxa_iot_upgrade_gw(&fw, DataCb, FinishCb, &d, 0, 0)) << r.setup;
        memset(&fw, 0, sizeof(fw));  // the download works on its own copy
        {
            std::unique_lock<std::mutex> lock(d.m);
            ASSERT_TRUE(d.cv.wait_for(lock, 60s, [&] { return d.done; })) << r.setup;
        }
        unsigned char md[16];
        unsigned n = 0;
        EVP_DigestFinal_ex(d.md5, md, &n);
        EVP_MD_CTX_free(d.md5);
        if (r.ok) {
            EXPECT_EQ(0, d.result) << LogCapture::All();
            EXPECT_TRUE(d.inOrder);
            EXPECT_EQ(3145728u, d.next);
            EXPECT_EQ(w[1], Hex(md, n));
        } else {
            EXPECT_NE(0, d.result) << r.setup;
        }
    }
    // The thread has gone with its connection.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(fds, OpenFds());
}

}  // namespace
