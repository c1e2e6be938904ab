// The cloud simulator against a fake device written here on OpenSSL, libmosquitto and zlib:
// activation over HTTPS, the broker's accounts and ACL, envelopes both ways, the log and the
// state kept across a restart of the simulator.
#include "cloud_peer.h"
#include "phone_cli.h"
#include "process.h"
#include "sandbox.h"
#include "tool_refusal.h"

#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"

#include <httplib.h>

#include <algorithm>
#include <cjson/cJSON.h>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mutex>
#include <sstream>
#include <thread>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/wait.h>
#include <zlib.h>

using namespace std::chrono_literals;

namespace {

// ---- the fake device's own crypto and envelope ----

std::string Aes(bool enc, const std::string& key, const std::string& in)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(in.size() + 16, '\0');
    int n1 = 0;
    int n2 = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                                nullptr, enc ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx, o, &n1, reinterpret_cast<const unsigned char*>(in.data()),
                               static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, o + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? static_cast<size_t>(n1 + n2) : 0);
    return out;
}

std::string Md5(const std::string& text)
{
    unsigned char md[16];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), md, &n, EVP_md5(), nullptr);
    char hex[33];
    for (int i = 0; i < 16; ++i) {
        snprintf(hex + 2 * i, 3, "%02x", md[i]);
    }
    return hex;
}

std::string HexUp(const std::string& b)
{
    std::string out;
    char x[3];
    for (unsigned char c : b) {
        snprintf(x, sizeof(x), "%02X", c);
        out += x;
    }
    return out;
}

std::string Unbase64(const std::string& t)
{
    std::string out(t.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(t.data()),
                            static_cast<int>(t.size()));
    size_t pad = t.size() >= 2 ? (t[t.size() - 1] == '=') + (t[t.size() - 2] == '=') : 0;
    out.resize(n < 0 ? 0 : static_cast<size_t>(n) - pad);
    return out;
}

void Be32(std::string* s, uint32_t v)
{
    for (int sh = 24; sh >= 0; sh -= 8) {
        s->push_back(static_cast<char>(v >> sh));
    }
}

std::string Seal(const std::string& key, uint32_t seq, const std::string& json)
{
    std::string body;
    Be32(&body, seq);
    body += Aes(true, key, json);
    std::string out = "2.2";
    Be32(&out, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
    return out + body;
}

// The JSON inside an envelope, "" when any check fails.
std::string Open(const std::string& key, const std::string& env)
{
    if (env.size() < 27 || env.compare(0, 3, "2.2") != 0) {
        return "";
    }
    uint32_t crc = 0;
    for (int i = 3; i < 7; ++i) {
        crc = (crc << 8) | static_cast<unsigned char>(env[i]);
    }
    std::string body = env.substr(7);
    if (crc != crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))) {
        return "";
    }
    return Aes(false, key, env.substr(11));
}

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
Json J(const std::string& s)
{
    return Json(cJSON_Parse(s.c_str()), cJSON_Delete);
}
std::string Print(const cJSON* j)
{
    char* t = cJSON_PrintUnformatted(j);
    std::string s = t;
    cJSON_free(t);
    return s;
}

// ---- the fake device ----

struct ApiAnswer {
    int status = 0;
    bool signOk = false;
    std::string inner;  // the decrypted result JSON
};

// One cloud API call as a device makes it, signed and encrypted under key.
ApiAnswer CallApi(const CloudPeer& cloud, const std::string& name, const std::string& idKey, const std::string& id,
                  const std::string& key, const std::string& body, const std::string& signKey = "")
{
    std::map<std::string, std::string> q = {{"a", name}, {"v", "4.4"}, {"t", "1700000000"}, {idKey, id}};
    std::string text;
    std::string url = "/d.json?";
    for (const auto& [k, v] : q) {
        text += k + "=" + v + "||";
        url += k + "=" + v + "&";
    }
    url += "sign=" + Md5(text + (signKey.empty() ? key : signKey));
    httplib::SSLClient cli("127.0.0.1", cloud.ApiPort());
    cli.set_ca_cert_path(cloud.CaPem().c_str());
    cli.enable_server_certificate_verification(true);
    httplib::Headers h = {{"User-Agent", NOXA_CLOUD_USER_AGENT}};
    auto res = cli.Post(url.c_str(), h, "data=" + HexUp(Aes(true, key, body)), "application/x-www-form-urlencoded");
    ApiAnswer a;
    if (!res) {
        return a;
    }
    a.status = res->status;
    Json outer = J(res->body);
    const cJSON* r = cJSON_GetObjectItem(outer.get(), "result");
    const cJSON* t = cJSON_GetObjectItem(outer.get(), "t");
    const cJSON* s = cJSON_GetObjectItem(outer.get(), "sign");
    if (cJSON_IsString(r) && cJSON_IsNumber(t) && cJSON_IsString(s)) {
        a.signOk = Md5(std::string("result=") + r->valuestring + "||t=" + std::to_string(static_cast<long long>(t->valuedouble)) +
                       "||" + key) == s->valuestring;
        a.inner = Aes(false, key, Unbase64(r->valuestring));
    } else {
        a.inner = res->body;
    }
    return a;
}

std::string ActivationBody(const std::string& token, const std::string& uuid, const std::string& product = NOXA_CLOUD_PRODUCT_KEY)
{
    return "{\"token\":\"" + token + "\",\"productKey\":\"" + product + "\",\"uuid\":\"" + uuid +
           "\",\"softVer\":\"1.2.11\",\"protocolVer\":\"2.2\",\"lanProVer\":\"3.3\"}";
}

const std::string kUuid = NOXA_CLOUD_BUILTIN_UUID;
const std::string kPreKey = std::string(NOXA_CLOUD_BUILTIN_AUTHKEY).substr(0, 16);

struct Activation {
    std::string devId;
    std::string localKey;
    std::string mqttUrl;
    std::string schema;
};

Activation Activate(CloudPeer& cloud)
{
    ApiAnswer a = CallApi(cloud, "noxa.device.active", "uuid", kUuid, kPreKey,
                          ActivationBody(CloudPeer::Token8(cloud.Pair()), kUuid));
    Json j = J(a.inner);
    const cJSON* r = cJSON_GetObjectItem(j.get(), "result");
    Activation act;
    auto s = [&](const char* k) {
        const cJSON* v = cJSON_GetObjectItem(r, k);
        return std::string(cJSON_IsString(v) ? v->valuestring : "");
    };
    act.devId = s("devId");
    act.localKey = s("localKey");
    act.mqttUrl = s("mqttUrl");
    act.schema = s("schema");
    return act;
}

// A device on the broker: libmosquitto with the CA, its messages collected.
class FakeDevice {
public:
    // The client id is the user's unless one is given.
    FakeDevice(const CloudPeer& cloud, const std::string& user, const std::string& pass, std::string clientId = "")
    {
        if (clientId.empty()) {
            clientId = user.empty() ? "anonymous-device" : user;
        }
        mMq = mosquitto_new(clientId.c_str(), true, this);
        if (!user.empty()) {
            mosquitto_username_pw_set(mMq, user.c_str(), pass.c_str());
        }
        mosquitto_tls_set(mMq, cloud.CaPem().c_str(), nullptr, nullptr, nullptr, nullptr);
        mosquitto_int_option(mMq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(mMq, [](mosquitto*, void* o, int rc) {
            auto* self = static_cast<FakeDevice*>(o);
            std::lock_guard<std::mutex> l(self->mLock);
            self->mConnack = rc;
            self->mCv.notify_all();
        });
        mosquitto_subscribe_callback_set(mMq, [](mosquitto*, void* o, int, int n, const int* granted) {
            auto* self = static_cast<FakeDevice*>(o);
            std::lock_guard<std::mutex> l(self->mLock);
            self->mGranted.push_back(n > 0 ? granted[0] : -1);
            self->mCv.notify_all();
        });
        mosquitto_publish_callback_set(mMq, [](mosquitto*, void* o, int mid) {
            auto* self = static_cast<FakeDevice*>(o);
            std::lock_guard<std::mutex> l(self->mLock);
            self->mAcked.push_back(mid);
            self->mCv.notify_all();
        });
        mosquitto_disconnect_callback_set(mMq, [](mosquitto*, void* o, int) {
            auto* self = static_cast<FakeDevice*>(o);
            std::lock_guard<std::mutex> l(self->mLock);
            ++self->mDisconnects;
            self->mCv.notify_all();
        });
        mosquitto_message_callback_set(mMq, [](mosquitto*, void* o, const mosquitto_message* m) {
            auto* self = static_cast<FakeDevice*>(o);
            std::lock_guard<std::mutex> l(self->mLock);
            self->mMessages.emplace_back(m->topic, std::string(static_cast<char*>(m->payload), static_cast<size_t>(m->payloadlen)));
            self->mCv.notify_all();
        });
        mosquitto_connect(mMq, "127.0.0.1", cloud.MqttPort(), 30);
        mosquitto_loop_start(mMq);
    }
    ~FakeDevice()
    {
        mosquitto_disconnect(mMq);
        mosquitto_loop_stop(mMq, true);
        mosquitto_destroy(mMq);
    }
    // The CONNACK's code, -1 when none came.
    int Connack()
    {
        std::unique_lock<std::mutex> l(mLock);
        mCv.wait_for(l, 10s, [&] { return mConnack >= 0; });
        return mConnack;
    }
    // The granted QoS of the SUBACK (128 refused), -1 when none came.
    int Subscribe(const std::string& topic)
    {
        std::unique_lock<std::mutex> l(mLock);
        size_t before = mGranted.size();
        l.unlock();
        mosquitto_subscribe(mMq, nullptr, topic.c_str(), 1);
        l.lock();
        mCv.wait_for(l, 10s, [&] { return mGranted.size() > before; });
        return mGranted.size() > before ? mGranted.back() : -1;
    }
    // QoS 1; the message id.
    int Publish(const std::string& topic, const std::string& payload)
    {
        int mid = 0;
        mosquitto_publish(mMq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
        return mid;
    }
    // True once the broker has dealt with the message: acknowledged it, or closed the connection.
    bool Handled(int mid)
    {
        std::unique_lock<std::mutex> l(mLock);
        return mCv.wait_for(l, 10s, [&] {
            return mDisconnects > 0 || std::find(mAcked.begin(), mAcked.end(), mid) != mAcked.end();
        });
    }
    // The next message (topic, payload); empty topic on time-out.
    std::pair<std::string, std::string> Next(std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock<std::mutex> l(mLock);
        mCv.wait_for(l, timeout, [&] { return !mMessages.empty(); });
        if (mMessages.empty()) {
            return {};
        }
        auto m = mMessages.front();
        mMessages.pop_front();
        return m;
    }

private:
    mosquitto* mMq = nullptr;
    std::mutex mLock;
    std::condition_variable mCv;
    int mConnack = -1;
    std::vector<int> mGranted;
    std::vector<int> mAcked;
    int mDisconnects = 0;
    std::deque<std::pair<std::string, std::string>> mMessages;
};

std::string Password(const Activation& a)
{
    return Md5(a.localKey + a.devId).substr(8, 16);
}

bool PortOpen(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

class CloudSimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mosquitto_lib_init(); }
    TestSandbox sb;
    CloudPeer cloud{sb.Root()};
};

// ---- activation ----

TEST_F(CloudSimTest, ActivationChecksProductUuidSignAndToken)
{
    std::string used = CloudPeer::Token8(cloud.Pair());
    ASSERT_EQ(14u, cloud.Pair().size());
    ApiAnswer first = CallApi(cloud, "noxa.device.active", "uuid", kUuid, kPreKey, ActivationBody(used, kUuid));
    ASSERT_TRUE(first.signOk) << first.inner;
    ASSERT_NE(std::string::npos, first.inner.find("\"success\":true")) << first.inner;

    struct Case {
        const char* what;
        std::string token;
        std::string uuid;
        std::string product;
        std::string signKey;
        int status;
        const char* code;
    };
    std::string fresh = CloudPeer::Token8(cloud.Pair());
    const Case cases[] = {
        {"reused token", used, kUuid, NOXA_CLOUD_PRODUCT_KEY, "", 200, "TOKEN_INVALID"},
        {"unknown token", "zzzzzzzz", kUuid, NOXA_CLOUD_PRODUCT_KEY, "", 200, "TOKEN_INVALID"},
        {"product key", fresh, kUuid, "wrongproductkey0", "", 200, "PRODUCT_KEY_INVALID"},
        {"signed with another key", fresh, kUuid, NOXA_CLOUD_PRODUCT_KEY, "0123456789abcdef", 200, "SIGN_INVALID"},
        {"unknown uuid", fresh, "noxaunknown000000000", NOXA_CLOUD_PRODUCT_KEY, "", 403, "SIGN_INVALID"},
    };
    for (const Case& c : cases) {
        ApiAnswer a = CallApi(cloud, "noxa.device.active", "uuid", c.uuid, kPreKey, ActivationBody(c.token, c.uuid, c.product),
                              c.signKey);
        EXPECT_EQ(c.status, a.status) << c.what;
        EXPECT_EQ(c.status == 200, a.signOk) << c.what;
        EXPECT_NE(std::string::npos, a.inner.find(std::string("\"errorCode\":\"") + c.code + "\"")) << c.what << ": " << a.inner;
    }
    // The refusals left the fresh token unused: it still activates, the same device again.
    ApiAnswer again = CallApi(cloud, "noxa.device.active", "uuid", kUuid, kPreKey, ActivationBody(fresh, kUuid));
    EXPECT_NE(std::string::npos, again.inner.find("\"success\":true")) << again.inner;
    EXPECT_NE(std::string::npos, cloud.Command("devices").find("uuid " + kUuid));
    EXPECT_EQ(1, cloud.LogCount("refused: sign mismatch"));
}

TEST_F(CloudSimTest, ActivationHandsOutKeysUrlsAndTheSchema)
{
    // The board's own identity (device.conf) activates as well as the built-in one.
    std::string conf = sb.Read("/DeviceInfo/device.conf");
    std::string uuid = conf.substr(conf.find("UUID=") + 5, conf.find('\n', conf.find("UUID=")) - conf.find("UUID=") - 5);
    std::string authKey = conf.substr(conf.find("AUTHKEY=") + 8, 32);
    ApiAnswer a = CallApi(cloud, "noxa.device.active", "uuid", uuid, authKey.substr(0, 16),
                          ActivationBody(CloudPeer::Token8(cloud.Pair()), uuid));
    ASSERT_TRUE(a.signOk) << a.inner;
    Json j = J(a.inner);
    const cJSON* r = cJSON_GetObjectItem(j.get(), "result");
    std::string devId = cJSON_GetObjectItem(r, "devId")->valuestring;
    EXPECT_GE(16u, devId.size());
    EXPECT_EQ(16u, std::string(cJSON_GetObjectItem(r, "localKey")->valuestring).size());
    EXPECT_EQ("ssl://mqtt.cloudsim.test:" + std::to_string(cloud.MqttPort()), cJSON_GetObjectItem(r, "mqttUrl")->valuestring);
    EXPECT_EQ(cloud.ApiUrl(), cJSON_GetObjectItem(r, "httpsUrl")->valuestring);
    EXPECT_EQ("api_url=" + cloud.ApiUrl() + "\n", sb.Read("/etc/cloud.conf").substr(sb.Read("/etc/cloud.conf").find("api_url")));
    EXPECT_NE(std::string::npos, sb.Read("/.board/net/hosts").find("127.0.0.1 api.cloudsim.test mqtt.cloudsim.test"));
    EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItem(r, "dstTable")));

    // A further identity, once the cloud is told of it.
    const std::string other = "noxa0other0unit000002";
    const std::string otherKey = "Zz9OtherAuthKeyOfADeviceBinUnit0";
    std::string tok = CloudPeer::Token8(cloud.Pair());
    EXPECT_EQ(403, CallApi(cloud, "noxa.device.active", "uuid", other, otherKey.substr(0, 16), ActivationBody(tok, other)).status);
    cloud.AddIdentity(other, otherKey);
    EXPECT_TRUE(CallApi(cloud, "noxa.device.active", "uuid", other, otherKey.substr(0, 16), ActivationBody(tok, other)).signOk);

    Json schema = J(cJSON_GetObjectItem(r, "schema")->valuestring);
    ASSERT_TRUE(cJSON_IsArray(schema.get()));
    EXPECT_EQ(50, cJSON_GetArraySize(schema.get()));
    std::map<int, std::string> types;
    const cJSON* row = nullptr;
    cJSON_ArrayForEach(row, schema.get())
    {
        const cJSON* p = cJSON_GetObjectItem(row, "property");
        types[cJSON_GetObjectItem(row, "id")->valueint] = Print(p);
    }
    const std::pair<int, const char*> expected[] = {
        {105, "{\"type\":\"bool\"}"},
        {108, "{\"type\":\"enum\",\"range\":[\"0\",\"1\",\"2\"]}"},
        {169, "{\"type\":\"string\",\"maxlen\":255}"},
        {147, "{\"type\":\"value\",\"min\":0,\"max\":2147483647,\"step\":1,\"scale\":0}"},
        {241, "{\"type\":\"value\",\"min\":0,\"max\":1,\"step\":1,\"scale\":0,\"accept\":[\"bool\",\"value\"]}"},
        {185, "{\"type\":\"raw\",\"maxlen\":4096}"},
    };
    for (const auto& [id, prop] : expected) {
        EXPECT_EQ(prop, types[id]) << id;
    }
}

// ---- the broker ----

TEST_F(CloudSimTest, BrokerTakesTheDerivedPasswordOnlyAndKeepsDevicesToTheirTopics)
{
    Activation act = Activate(cloud);
    ASSERT_FALSE(act.devId.empty());
    {
        FakeDevice wrong(cloud, act.devId, "0000000000000000");
        EXPECT_EQ(5, wrong.Connack());
        FakeDevice anonymous(cloud, "", "");
        EXPECT_EQ(5, anonymous.Connack());
    }
    FakeDevice dev(cloud, act.devId, Password(act));
    ASSERT_EQ(0, dev.Connack());
    ASSERT_TRUE(cloud.WaitLog("online " + act.devId));
    EXPECT_NE(std::string::npos, cloud.Command("devices").find(act.devId + " online"));

    // Its in-topic and a booked media topic reach it; another device's topic is granted and silent.
    EXPECT_EQ(1, dev.Subscribe("smart/device/in/" + act.devId));
    EXPECT_EQ(1, dev.Subscribe("/av/d/" + act.devId));
    EXPECT_EQ(1, dev.Subscribe("smart/device/in/nxsomeoneelse"));
    cloud.Command("publish smart/device/in/nxsomeoneelse 5 {\"dps\":{\"101\":true}}");
    cloud.Command("publish /av/d/" + act.devId + " 312 {\"msg\":{\"mode\":\"wg\"}}");
    auto booked = dev.Next();
    EXPECT_EQ("/av/d/" + act.devId, booked.first);
    EXPECT_NE(std::string::npos, Open(act.localKey, booked.second).find("\"protocol\":312"));
    cloud.Command("query 101");
    auto in = dev.Next();
    EXPECT_EQ("smart/device/in/" + act.devId, in.first);

    // A topic given by command is readable once the command has answered.
    const std::string extra = "smart/extra/" + act.devId;
    EXPECT_EQ(1, dev.Subscribe(extra));
    cloud.Command("publish " + extra + " 5 {}");
    EXPECT_NE(std::string::npos, cloud.Command("acl read " + extra).find("may read"));
    EXPECT_EQ(1, dev.Subscribe(extra));
    cloud.Command("publish " + extra + " 5 {}");
    auto granted = dev.Next();
    EXPECT_EQ(extra, granted.first);
    EXPECT_EQ(std::string(), dev.Next(200ms).first);  // the one before the command never came

    // It writes its out-topic and a media module's topic.
    dev.Publish("/av/moto/m1/d/" + act.devId, Seal(act.localKey, 1, "{\"protocol\":312,\"t\":1,\"data\":{\"x\":1}}"));
    dev.Publish("smart/device/out/" + act.devId, Seal(act.localKey, 2, "{\"protocol\":16,\"t\":1,\"data\":{\"progress\":5,\"type\":0}}"));
    ASSERT_TRUE(cloud.WaitLog("<- " + act.devId + " seq 2 protocol 16"));
    EXPECT_EQ(1, cloud.LogCount("<- " + act.devId + " on /av/moto/m1/d/" + act.devId + " seq 1 protocol 312"));

    // Another device's out-topic is not passed on. The broker may refuse that publish by acknowledging
    // it or by closing the connection (MQTT allows both; this broker at times closes), so it goes on a
    // connection of its own. A report sent after the broker dealt with it comes through the same
    // broker to the cloud after it: once that report is logged, the refused one would have been too.
    {
        FakeDevice other(cloud, act.devId, Password(act), act.devId + "-other");
        ASSERT_EQ(0, other.Connack());
        int mid = other.Publish("smart/device/out/nxsomeoneelse", Seal(act.localKey, 1, "{\"protocol\":4,\"t\":1,\"data\":{}}"));
        ASSERT_TRUE(other.Handled(mid));
    }
    dev.Publish("smart/device/out/" + act.devId, Seal(act.localKey, 3, "{\"protocol\":16,\"t\":1,\"data\":{\"progress\":6,\"type\":0}}"));
    ASSERT_TRUE(cloud.WaitLog("<- " + act.devId + " seq 3 protocol 16"));
    EXPECT_EQ(0, cloud.LogCount("out/nxsomeoneelse"));
}

// ---- envelopes both ways ----

TEST_F(CloudSimTest, CommandsReachTheDeviceAndReportsAreDecodedAndKept)
{
    Activation act = Activate(cloud);
    FakeDevice dev(cloud, act.devId, Password(act));
    ASSERT_EQ(0, dev.Connack());
    ASSERT_EQ(1, dev.Subscribe("smart/device/in/" + act.devId));

    // The phone's words become typed values; off-schema words go out as written.
    struct Sent {
        const char* command;
        int protocol;
        const char* data;  // without the ackId
    };
    const Sent sent[] = {
        {"dp 101 true 108 2 147 42 169 'a b'", 5, "{\"dps\":{\"101\":true,\"108\":\"2\",\"147\":42,\"169\":\"a b\"}"},
        {"dp 241 true 242 1", 5, "{\"dps\":{\"241\":true,\"242\":1}"},
        {"dp 101 7 108 9", 5, "{\"dps\":{\"101\":7,\"108\":9}"},
        {"query 101 241", 31, "{\"dpId\":[101,241]"},
        {"reset 1", 11, "{\"type\":1"},
        {"dst [[1,2,3600]]", 41, "{\"dst\":[[1,2,3600]]"},
        {"upgrade https://x.test/fw.bin 0123 1.2.12 1000", 15,
         "{\"url\":\"https://x.test/fw.bin\",\"md5\":\"0123\",\"version\":\"1.2.12\",\"size\":1000"},
    };
    uint32_t lastSeq = 0;
    for (const Sent& s : sent) {
        cloud.Command(s.command);
        auto m = dev.Next();
        ASSERT_EQ("smart/device/in/" + act.devId, m.first) << s.command;
        std::string json = Open(act.localKey, m.second);
        Json j = J(json);
        ASSERT_TRUE(j) << s.command;
        uint32_t seq = 0;
        for (int i = 7; i < 11; ++i) {
            seq = (seq << 8) | static_cast<unsigned char>(m.second[i]);
        }
        EXPECT_GT(seq, lastSeq) << s.command;
        lastSeq = seq;
        EXPECT_EQ(s.protocol, cJSON_GetObjectItem(j.get(), "protocol")->valueint) << s.command;
        std::string data = Print(cJSON_GetObjectItem(j.get(), "data"));
        EXPECT_EQ(0u, data.find(s.data)) << s.command << ": " << data;
        EXPECT_NE(std::string::npos, data.find("\"ackId\":")) << s.command;
    }

    // Raw bytes go as they are.
    cloud.Command("raw 00 01 FE ff");
    EXPECT_EQ(std::string("\x00\x01\xFE\xFF", 4), dev.Next().second);

    // Reports, an event, progress and an acknowledgement, each decoded into the state.
    const std::string out = "smart/device/out/" + act.devId;
    dev.Publish(out, Seal(act.localKey, 1, "{\"protocol\":4,\"t\":1700000000,\"data\":{\"devId\":\"" + act.devId +
                                               "\",\"dps\":{\"101\":true,\"239\":\"1\",\"110\":\"x\"},\"dpsTime\":{\"101\":1700000005}}}"));
    dev.Publish(out, Seal(act.localKey, 2, "{\"protocol\":43,\"t\":1700000001,\"data\":{\"etype\":\"doorbell\",\"time\":1700000001,\"file\":\"a.jpg\"}}"));
    dev.Publish(out, Seal(act.localKey, 3, "{\"protocol\":26,\"t\":1700000002,\"data\":{\"ackId\":1}}"));
    ASSERT_TRUE(cloud.WaitLog("<- " + act.devId + " seq 3 protocol 26"));
    std::string reports = cloud.Command("reports");
    EXPECT_NE(std::string::npos, reports.find("101 status_light = true at 2023-11-14T22:13:25Z")) << reports;
    EXPECT_NE(std::string::npos, reports.find("239 door1_ring_state = \"1\" at 2023-11-14T22:13:20Z")) << reports;
    EXPECT_NE(std::string::npos, reports.find("110 sd_status = \"x\" at 2023-11-14T22:13:20Z (not an integer)")) << reports;
    EXPECT_NE(std::string::npos, reports.find("ackId 1 protocol 5 sent")) << reports;
    EXPECT_NE(std::string::npos, reports.find("acked")) << reports;
    EXPECT_NE(std::string::npos, cloud.Command("events").find("protocol 43 {\"etype\":\"doorbell\"")) << cloud.Command("events");

    // A round trip: the command out, the same value reported back, timed at the cloud.
    std::thread echo([&] {
        Json cmd = J(Open(act.localKey, dev.Next().second));
        const cJSON* dps = cJSON_GetObjectItem(cJSON_GetObjectItem(cmd.get(), "data"), "dps");
        dev.Publish(out, Seal(act.localKey, 4, "{\"protocol\":4,\"t\":1,\"data\":{\"dps\":" + Print(dps) + "}}"));
    });
    std::string rtt = cloud.Command("rtt 147 77");
    echo.join();
    EXPECT_EQ(0u, rtt.find("rtt 147 ")) << rtt;
    EXPECT_EQ(rtt.size() - 3, rtt.find(" us")) << rtt;
    EXPECT_NE(std::string::npos, cloud.Command("rtt 147 78 100").find("no report of 78 in time"));
}

TEST_F(CloudSimTest, BrokenOrReplayedEnvelopesAreLoggedAndDropped)
{
    Activation act = Activate(cloud);
    FakeDevice dev(cloud, act.devId, Password(act));
    ASSERT_EQ(0, dev.Connack());
    const std::string out = "smart/device/out/" + act.devId;
    std::string good = Seal(act.localKey, 5, "{\"protocol\":4,\"t\":1,\"data\":{\"dps\":{\"101\":true}}}");
    std::string badCrc = good;
    badCrc[4] ^= 1;
    std::string shortCipher = good.substr(0, good.size() - 1);
    shortCipher[3] = 0;  // CRC no longer matters: it is checked first, so fix it up below
    std::string body = shortCipher.substr(7);
    uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    std::string crcBytes;
    Be32(&crcBytes, crc);
    shortCipher.replace(3, 4, crcBytes);

    const std::pair<std::string, const char*> cases[] = {
        {"garbage", "too short (7 bytes)"},
        {"3.0" + good.substr(3), "is not 2.2"},
        {badCrc, "CRC "},
        {shortCipher, "not a multiple of 16"},
        {Seal("0123456789abcdef", 6, "{\"protocol\":4,\"t\":1,\"data\":{}}"), "bad padding"},
        {Seal(act.localKey, 7, "[1,2]"), "not a JSON object"},
        {Seal(act.localKey, 8, "{\"protocol\":\"4\",\"data\":{}}"), "no integer \"protocol\""},
        {Seal(act.localKey, 9, "{\"protocol\":4}"), "no \"data\""},
    };
    for (const auto& [payload, why] : cases) {
        dev.Publish(out, payload);
    }
    dev.Publish(out, good);
    dev.Publish(out, good);  // replayed: sequence 5 again
    ASSERT_TRUE(cloud.WaitLog("sequence 5 not above 5"));
    // Every broken one and the replay dropped, each with its reason.
    EXPECT_EQ(static_cast<int>(std::size(cases)) + 1, cloud.LogCount("drop <- " + act.devId + ": "));
    std::string log = cloud.Log();
    for (const auto& [payload, why] : cases) {
        EXPECT_NE(std::string::npos, log.find(std::string(why))) << why;
    }
    EXPECT_EQ(1, cloud.LogCount("<- " + act.devId + " seq 5 protocol 4"));

    // A new connection starts the sequence again.
    {
        FakeDevice again(cloud, act.devId, Password(act));
        ASSERT_EQ(0, again.Connack());
        again.Publish(out, Seal(act.localKey, 1, "{\"protocol\":4,\"t\":1,\"data\":{\"dps\":{\"101\":false}}}"));
        EXPECT_TRUE(cloud.WaitLog("<- " + act.devId + " seq 1 protocol 4"));
    }
}

// A call the cloud refuses (an armed `fail NAME code`) acts on nothing: a refused group start opens
// no group, a refused stop ends none, a refused skill report keeps no skill. Each goes through
// once the failure is cleared.
TEST_F(CloudSimTest, ARefusedCallChangesNothingAtTheCloud)
{
    Activation act = Activate(cloud);
    ASSERT_FALSE(act.devId.empty());
    auto call = [&](const std::string& api, const std::string& body) {
        return CallApi(cloud, "noxa.device." + api, "devId", act.devId, act.localKey, body).inner;
    };
    auto refused = [](const std::string& inner) {
        return inner.find("\"success\":false") != std::string::npos && inner.find("SYSTEM_BUSY") != std::string::npos;
    };
    const std::string start = "ipc.media.storage.notify.upload.start";
    const std::string stop = "ipc.media.storage.notify.upload.stop";
    const std::string startBody = "{\"startTime\":1700000000,\"payloadInfo\":\"{}\",\"mtu\":3,\"enKeyMd5\":\"0000\"}";
    const std::string stopBody = "{\"startTime\":1700000000,\"endTime\":1700000009}";

    cloud.Command("fail " + start + " code SYSTEM_BUSY");
    EXPECT_TRUE(refused(call(start, startBody)));
    EXPECT_EQ("no groups", cloud.Command("cloud-storage list")) << cloud.Log();
    cloud.Command("fail " + start + " ok");
    EXPECT_NE(std::string::npos, call(start, startBody).find("\"success\":true"));
    EXPECT_EQ(0u, cloud.Command("cloud-storage list").find("group 1700000000 end open starts 1 "))
        << cloud.Command("cloud-storage list");

    cloud.Command("fail " + stop + " code SYSTEM_BUSY");
    EXPECT_TRUE(refused(call(stop, stopBody)));
    EXPECT_EQ(0u, cloud.Command("cloud-storage list").find("group 1700000000 end open "))
        << cloud.Command("cloud-storage list");
    cloud.Command("fail " + stop + " ok");
    EXPECT_NE(std::string::npos, call(stop, stopBody).find("\"success\":true"));
    EXPECT_EQ(0u, cloud.Command("cloud-storage list").find("group 1700000000 end 1700000009 "))
        << cloud.Command("cloud-storage list");

    const std::string skill = "{\"devId\":\"" + act.devId + "\",\"skill\":\"{\\\"cloudStorage\\\":1}\"}";
    cloud.Command("fail skill.update code SYSTEM_BUSY");
    EXPECT_TRUE(refused(call("skill.update", skill)));
    EXPECT_EQ("no skills reported", cloud.Command("skills"));
    cloud.Command("fail skill.update ok");
    EXPECT_NE(std::string::npos, call("skill.update", skill).find("\"success\":true"));
    EXPECT_NE("no skills reported", cloud.Command("skills"));
    EXPECT_EQ(3, cloud.LogCount("not run)")) << cloud.Log();
}

// ---- the phone's CLI and the FIFO ----

TEST_F(CloudSimTest, PhoneCliAndFifoReachTheSameCommands)
{
    auto phone = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {SourceDir() + "/tools/phone", sb.Root()};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess p(argv);
        EXPECT_NE(-1, p.WaitExit(20s));
        return p.Output();
    };
    std::string token = phone({"pair"});
    EXPECT_EQ(15u, token.size()) << token;  // and its newline
    EXPECT_EQ(0u, token.find("AY"));
    EXPECT_EQ("no device activated yet\n", phone({"dp", "101", "true"}));
    EXPECT_EQ("no devices\n", phone({"devices"}));
    // Every command, the phone's own (pic, the fetch's folder) with the simulator's.
    const std::string help = phone({"help"});
    for (const char* command : {"pic BUCKET/FILE", "cloud-storage fetch GROUP --out DIR", "message N --out DIR",
                                "viewer-key", "broker stop|start", "fail NAME", "upgrade URL MD5"}) {
        EXPECT_NE(std::string::npos, help.find(command)) << command << "\n" << help;
    }

    std::string tok8 = CloudPeer::Token8(token);
    ApiAnswer a = CallApi(cloud, "noxa.device.active", "uuid", kUuid, kPreKey, ActivationBody(tok8, kUuid));
    EXPECT_NE(std::string::npos, a.inner.find("\"success\":true")) << a.inner;
    EXPECT_NE(std::string::npos, phone({"devices"}).find(" offline uuid " + kUuid));
    // A string with a space stays one value on its way through the CLI.
    EXPECT_NE(std::string::npos, phone({"dp", "169", "a zone"}).find("\"169\":\"a zone\"") );

    std::ofstream(sb.Path("/.board/cloudsim.cmd")) << "query 105\n";
    EXPECT_TRUE(cloud.WaitLog("protocol 31 {\"protocol\":31"));
    EXPECT_EQ(1, cloud.LogCount("command: query 105"));
}

// An unknown or incomplete command ends with status 2, what is wrong and the usage.
TEST_F(CloudSimTest, PhoneCliRefusesUnknownAndIncompleteCommands)
{
    ExpectRefusals(SourceDir() + "/tools/phone", {
        {{sb.Root()}, "phone: no command"},
        {{sb.Root(), "nosuch"}, "phone: unknown command: nosuch"},
        {{sb.Root(), "dp"}, "phone: incomplete or wrong: dp"},
        {{sb.Root(), "dp", "241"}, "phone: incomplete or wrong: dp 241"},
        {{sb.Root(), "dp", "241", "1", "148"}, "phone: incomplete or wrong: dp 241 1 148"},
        {{sb.Root(), "query"}, "phone: incomplete or wrong: query"},
        {{sb.Root(), "pic"}, "phone: incomplete or wrong: pic"},
        {{sb.Root(), "pic", "no-slash"}, "phone: incomplete or wrong: pic no-slash"},
        {{sb.Root(), "message", "1"}, "phone: incomplete or wrong: message 1"},
        {{sb.Root(), "message", "one", "--out", "/tmp"}, "phone: incomplete or wrong: message one --out /tmp"},
        {{sb.Root(), "reset", "7"}, "phone: incomplete or wrong: reset 7"},
        {{sb.Root(), "broker", "explode"}, "phone: incomplete or wrong: broker explode"},
        {{sb.Root(), "cloud-storage"}, "phone: incomplete or wrong: cloud-storage"},
        {{sb.Root(), "cloud-storage", "mode", "sometimes"}, "phone: incomplete or wrong: cloud-storage mode sometimes"},
        {{sb.Root(), "cloud-storage", "fetch", "G1"}, "phone: incomplete or wrong: cloud-storage fetch G1"},
        {{sb.Root(), "cloud-storage", "fetch", "G1", "/tmp/out"}, "phone: incomplete or wrong: cloud-storage fetch G1 /tmp/out"},
        {{sb.Root(), "upgrade-image", "a.bin"}, "phone: incomplete or wrong: upgrade-image a.bin"},
        {{sb.Root(), "upgrade-image", "a.bin", "100", "1.2.3", "cut"}, "phone: incomplete or wrong: upgrade-image a.bin 100 1.2.3 cut"},
        {{sb.Root(), "face"}, "phone: incomplete or wrong: face"},
        {{sb.Root(), "stream"}, "phone: incomplete or wrong: stream"},
        {{sb.Root(), "@dev1"}, "phone: no command"},
    }, {"\nUsage: tools/phone ROOT COMMAND"});
    // Without any argument: the usage, not the shell's own text.
    EXPECT_TRUE(ToolRefuses({SourceDir() + "/tools/phone"}, 2, "phone: no board root and no command\nUsage:"));
    // A fetch that fails says what was asked and what the store answered.
    const auto [rc, out] = PhoneCli(sb.Root(), "pic nobucket/door.jpg");
    EXPECT_NE(0, rc);
    EXPECT_NE(std::string::npos, out.find("fetching nobucket/door.jpg (bucket nobucket, file door.jpg) from the store: error"))
        << out;
}

// The phone's endpoints answer the owner's phone only: without the sandbox's secret (kept with
// mode 0600) or with another, a request is refused and learns nothing.
TEST_F(CloudSimTest, PhoneEndpointsRefuseRequestsWithoutTheSandboxSecret)
{
    Activation act = Activate(cloud);
    struct stat st = {};
    ASSERT_EQ(0, stat(sb.Path("/.board/cloud/phone.secret").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    std::string secret = sb.Read("/.board/cloud/phone.secret");
    secret.erase(secret.find_last_not_of("\n") + 1);
    ASSERT_EQ(32u, secret.size());
    httplib::SSLClient client("127.0.0.1", cloud.ApiPort());
    client.enable_server_certificate_verification(false);
    const std::string wrong = std::string(secret.rbegin(), secret.rend());
    for (const char* path : {"/phone/cmd", "/phone/pair"}) {
        for (const std::string& auth : {std::string(), "Bearer " + wrong, "Bearer " + secret + "x", secret}) {
            httplib::Headers headers;
            if (!auth.empty()) {
                headers.emplace("Authorization", auth);
            }
            auto res = client.Post(path, headers, "viewer-key", "text/plain");
            ASSERT_TRUE(res) << path;
            EXPECT_EQ(401, res->status) << path << " with '" << auth << "'";
            EXPECT_EQ(std::string::npos, res->body.find(act.localKey)) << path;
            EXPECT_EQ(std::string::npos, res->body.find("\"token\"")) << path;
        }
    }
    // The owner's phone, through tools/phone, still gets its answers.
    EXPECT_EQ(act.localKey + "\n", PhoneCli(sb.Root(), "viewer-key").second);
    // The secret outlives a restart of the simulator.
    cloud.Stop();
    cloud.Start();
    EXPECT_EQ(secret + "\n", sb.Read("/.board/cloud/phone.secret"));
    EXPECT_EQ(act.localKey, cloud.Command("viewer-key"));
}

// The simulator's own options: a wrong one, or a root it cannot use, is named with what is wrong.
TEST(CloudSimOptions, AWrongOptionOrRootIsNamed)
{
    const std::string file = "/tmp/cloudsim-options-" + std::to_string(getpid());
    const std::string plain = file + ".d";
    const std::string spaced = file + " d";
    std::ofstream(file) << "not a folder\n";
    std::filesystem::create_directories(plain + "/.board");
    std::filesystem::create_directories(spaced);
    ExpectRefusals(BinaryDir() + "/tools/cloudsim", {
        {{"--root", "/nonexistent/x"}, "cloudsim: the board root /nonexistent/x does not exist"},
        {{"--root", file}, "cloudsim: the board root " + file + " is not a folder"},
        {{"--root", plain}, "cloudsim: the board root " + plain + " is not a sandbox (lay one out with tools/mksandbox)"},
        {{"--root", spaced}, "cloudsim: the board root " + spaced + " may hold only letters, digits and _ . / + -"},
        {{"--root"}, "cloudsim: --root needs a folder"},
        {{"--ca-dir"}, "cloudsim: --ca-dir needs a folder"},
        {{"--fast"}, "cloudsim: --fast is not an option"},
        {{}, "cloudsim: no board root: give --root DIR"},
    }, {}, {"DOORPHONE_ROOT="});
    std::remove(file.c_str());
    EXPECT_FALSE(std::filesystem::exists("/nonexistent")) << "nothing made for a root that is not there";
    // Nothing written into a folder that is no board.
    EXPECT_EQ(1, std::distance(std::filesystem::recursive_directory_iterator(plain), {}));
    EXPECT_TRUE(std::filesystem::is_empty(spaced));
    std::filesystem::remove_all(plain);
    std::filesystem::remove_all(spaced);
}

// A stop signal while the simulator starts (here while its object stores come up) ends the start
// there, instead of after it: it never says it is ready, and its broker and stores end with it.
TEST(CloudSimOptions, AStopSignalDuringTheStartEndsItThere)
{
    TestSandbox sb;
    // The children of `parent` (their ids and command names).
    const auto children = [](pid_t parent) {
        std::vector<std::pair<pid_t, std::string>> out;
        for (const PROC_STAT_S& p : ProcessTable()) {
            if (p.Parent == parent && p.State != "Z") {
                out.emplace_back(p.Pid, p.Name);
            }
        }
        return out;
    };
    ChildProcess sim({BinaryDir() + "/tools/cloudsim", "--root", sb.Root(), "--quiet", "--stores"});
    // The stores are Node programs: once one runs, the start waits for their ports.
    ASSERT_TRUE(Eventually(
        [&] {
            for (const auto& c : children(sim.Pid())) {
                if (c.second == "node") {
                    return true;
                }
            }
            return false;
        },
        60s))
        << sim.Output();
    const auto started = children(sim.Pid());
    ASSERT_EQ(std::string::npos, sb.Read("/.board/cloudsim.log").find("cloud simulator ready"))
        << "the start was over before the signal";
    sim.Kill(SIGTERM);
    const int status = sim.WaitExit(30s);
    ASSERT_NE(-1, status) << sim.Output();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << sim.Output();
    const std::string log = sb.Read("/.board/cloudsim.log");
    EXPECT_EQ(std::string::npos, log.find("cloud simulator ready")) << "it finished its start first\n" << log;
    EXPECT_NE(std::string::npos, log.find("stopping (signal 15)")) << log;
    for (const auto& c : started) {
        EXPECT_TRUE(Eventually(
            [&] {
                std::ifstream in("/proc/" + std::to_string(c.first) + "/stat");
                std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                const size_t close = stat.rfind(") ");
                return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
            },
            10s))
            << c.second << " " << c.first << " left running";
    }
}

// The owner's phone gets the device's local key for its viewers; the state file that keeps every
// key is readable by its owner only.
TEST_F(CloudSimTest, ViewerKeyIsTheDevicesLocalKeyAndStateIsTheOwnersOnly)
{
    EXPECT_EQ("no device activated yet", cloud.Command("viewer-key"));
    Activation act = Activate(cloud);
    EXPECT_EQ(act.localKey, cloud.Command("viewer-key"));
    EXPECT_EQ(act.localKey, cloud.Command("@" + act.devId + " viewer-key"));
    struct stat st = {};
    ASSERT_TRUE(Eventually([&] { return sb.Read("/.board/cloud/state.json").find(act.localKey) != std::string::npos; },
                           5s));
    ASSERT_EQ(0, stat(sb.Path("/.board/cloud/state.json").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

// ---- restarts ----

TEST_F(CloudSimTest, StateAndPortsOutliveARestartAndNothingIsLeftRunning)
{
    Activation act = Activate(cloud);
    {
        FakeDevice dev(cloud, act.devId, Password(act));
        ASSERT_EQ(0, dev.Connack());
        dev.Publish("smart/device/out/" + act.devId, Seal(act.localKey, 1, "{\"protocol\":4,\"t\":1700000000,\"data\":{\"dps\":{\"134\":true}}}"));
        ASSERT_TRUE(cloud.WaitLog("<- " + act.devId + " seq 1 protocol 4"));
    }
    ASSERT_TRUE(cloud.WaitLog("offline " + act.devId));
    uint16_t api = cloud.ApiPort();
    uint16_t mqtt = cloud.MqttPort();
    cloud.Stop();
    EXPECT_FALSE(PortOpen(api));
    EXPECT_FALSE(PortOpen(mqtt));
    EXPECT_EQ(std::string::npos, sb.Read("/.board/cloud/state.json").find("\"online\":\ttrue"));

    // The servers' certificate stays while the build's CA is the same.
    std::string cert = sb.Read("/.board/cloud/tls/server.pem");
    cloud.Start();
    EXPECT_EQ(cert, sb.Read("/.board/cloud/tls/server.pem"));
    {
        // A second simulator on the same root refuses to run.
        ChildProcess second({BinaryDir() + "/tools/cloudsim", "--root", sb.Root(), "--quiet"});
        int status = second.WaitExit(10s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << second.Output();
        EXPECT_NE(std::string::npos, second.Output().find("already runs"));
    }
    EXPECT_EQ(api, cloud.ApiPort());
    EXPECT_EQ(mqtt, cloud.MqttPort());
    EXPECT_NE(std::string::npos, cloud.Command("reports").find("134 motion_alarm = true"));
    FakeDevice dev(cloud, act.devId, Password(act));
    EXPECT_EQ(0, dev.Connack());
    EXPECT_TRUE(cloud.WaitLog("online " + act.devId, 2));

    // The broker stopped and started again by command: the device falls off, the account stays.
    EXPECT_NE(std::string::npos, cloud.Command("broker stop").find("broker stop"));
    EXPECT_TRUE(cloud.WaitLog("offline " + act.devId + " (broker stopped)"));
    EXPECT_FALSE(PortOpen(mqtt));
    cloud.Command("broker start");
    FakeDevice back(cloud, act.devId, Password(act));
    EXPECT_EQ(0, back.Connack());
}

}  // namespace
