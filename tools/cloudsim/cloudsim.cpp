// Cloud simulator: the device cloud the unit activates with and stays connected to, on loopback.
//
// It serves the cloud HTTPS API (activation) and the phone's small API, runs its own mosquitto
// (TLS, accounts added at activation), talks to each device over MQTT in the envelope, logs every
// message decoded in "<root>/.board/cloudsim.log", keeps its state in "<root>/.board/cloud/",
// and takes commands from the FIFO "<root>/.board/cloudsim.cmd" and from tools/phone.
//
// Usage: cloudsim --root DIR [--ca-dir DIR] [--quiet]
//   --ca-dir  the test CA ("test_ca.der", "test_ca.key") that signs the servers' certificate
//             (default: res/tls of the build this program lies in)
//   --quiet   log to the file only
//   --die-with-parent  end when the process that started it ends (test helpers)
#include "../../src/noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "broker.h"
#include "codec.h"
#include "schema.h"
#include "state.h"

#include <httplib.h>

#include <atomic>
#include <cjson/cJSON.h>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mosquitto.h>
#include <mutex>
#include <set>
#include <sys/prctl.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace cloudsim;

namespace {

const char* kApiHost = "api.cloudsim.test";
const char* kMqttHost = "mqtt.cloudsim.test";
const char* kHosts[] = {"api.cloudsim.test", "mqtt.cloudsim.test", "s3.cloudsim.test", "blob.cloudsim.test"};
const char* kSimUser = "cloudsim";
const int64_t kTokenLifetime = 600;

std::string gRoot;
std::string gCloudDir;
std::string gStatePath;
bool gQuiet = false;
std::atomic<bool> gStop{false};

std::mutex gLogLock;
FILE* gLog = nullptr;

std::recursive_mutex gLock;  // the state, the broker and the link
State gState;
std::unique_ptr<Broker> gBroker;
mosquitto* gMq = nullptr;
std::atomic<bool> gMqUp{false};

int64_t Now()
{
    return static_cast<int64_t>(time(nullptr));
}

std::string Stamp(int64_t t)
{
    if (t == 0) {
        return "-";
    }
    time_t tt = static_cast<time_t>(t);
    tm tmv{};
    gmtime_r(&tt, &tmv);
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return buf;
}

void Log(const std::string& text)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm tmv{};
    localtime_r(&tv.tv_sec, &tmv);
    char head[32];
    snprintf(head, sizeof(head), "%02d:%02d:%02d.%03ld ", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
             static_cast<long>(tv.tv_usec / 1000));
    std::string line = head + text + "\n";
    std::lock_guard<std::mutex> lock(gLogLock);
    if (!gQuiet) {
        fwrite(line.data(), 1, line.size(), stdout);
        fflush(stdout);
    }
    if (gLog != nullptr) {
        fwrite(line.data(), 1, line.size(), gLog);
        fflush(gLog);
    }
}

std::string Masked(const std::string& secret)
{
    return secret.size() <= 4 ? "****" : secret.substr(0, 4) + "****";
}

std::string RandomText(size_t n, const std::string& alphabet)
{
    std::string out;
    unsigned char b[64];
    RAND_bytes(b, static_cast<int>(n));
    for (size_t i = 0; i < n; ++i) {
        out += alphabet[b[i] % alphabet.size()];
    }
    return out;
}

const std::string kAlnum = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const std::string kLowerAlnum = "abcdefghijklmnopqrstuvwxyz0123456789";

std::string Print(const cJSON* j)
{
    char* t = cJSON_PrintUnformatted(j);
    std::string s = t != nullptr ? t : "";
    cJSON_free(t);
    return s;
}

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
Json Parse(const std::string& text)
{
    return Json(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
}

void SaveState()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    if (!gState.Save(gStatePath)) {
        Log("error: cannot write " + gStatePath);
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFileAtomic(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    fs::create_directories(fs::path(path).parent_path());
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) {
            return false;
        }
    }
    chmod(tmp.c_str(), mode);
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

uint16_t FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        port = ntohs(sa.sin_port);
    }
    close(fd);
    return port;
}

// ---- identities the cloud knows (the factory's register) ----

// Auth keys the cloud holds for a UUID: the built-in identity, the one in the board's
// "/DeviceInfo/device.conf" (a UUID alone there pairs with the built-in key), and any line
// "UUID AUTHKEY" of "<root>/.board/cloud/identities".
std::vector<std::string> AuthKeysOf(const std::string& uuid)
{
    std::vector<std::string> keys;
    if (uuid == NOXA_CLOUD_BUILTIN_UUID) {
        keys.push_back(NOXA_CLOUD_BUILTIN_AUTHKEY);
    }
    std::ifstream conf(gRoot + "/DeviceInfo/device.conf");
    std::string line;
    std::string confUuid;
    std::string confKey;
    while (std::getline(conf, line)) {
        if (line.rfind("UUID=", 0) == 0) {
            confUuid = line.substr(5);
        } else if (line.rfind("AUTHKEY=", 0) == 0) {
            confKey = line.substr(8);
        }
    }
    if (!confUuid.empty() && confUuid == uuid) {
        keys.push_back(confKey.empty() ? NOXA_CLOUD_BUILTIN_AUTHKEY : confKey);
    }
    std::ifstream ids(gCloudDir + "/identities");
    while (std::getline(ids, line)) {
        std::istringstream ls(line);
        std::string u;
        std::string k;
        if (ls >> u >> k && u == uuid) {
            keys.push_back(k);
        }
    }
    return keys;
}

// ---- the broker account of a device ----

std::string DevicePassword(const std::string& devId, const std::string& localKey)
{
    return Md5Hex(localKey + devId).substr(8, 16);
}

std::vector<std::string> DeviceAcl(const std::string& devId)
{
    return {
        "topic read smart/device/in/" + devId,
        "topic write smart/device/out/" + devId,
        // The media modules' topics the device books and answers on.
        "topic read /av/d/" + devId,
        "topic write /av/moto/+/d/" + devId,
    };
}

// Logs in with the account on the broker: activation answers only once the broker took it.
bool CheckLogin(const std::string& user, const std::string& pass)
{
    std::string ca = gCloudDir + "/tls/ca.pem";
    for (int attempt = 0; attempt < 40 && !gStop; ++attempt) {
        std::atomic<int> rc{-1};
        mosquitto* m = mosquitto_new(("cloudsim-check-" + RandomText(6, kLowerAlnum)).c_str(), true, &rc);
        mosquitto_username_pw_set(m, user.c_str(), pass.c_str());
        mosquitto_tls_set(m, ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        mosquitto_connect_callback_set(m, [](mosquitto*, void* obj, int r) { static_cast<std::atomic<int>*>(obj)->store(r); });
        uint16_t port = gState.mqttPort;
        if (mosquitto_connect(m, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS) {
            for (int i = 0; i < 40 && rc < 0; ++i) {
                if (mosquitto_loop(m, 50, 1) != MOSQ_ERR_SUCCESS) {
                    break;
                }
            }
            if (rc == 0) {
                mosquitto_disconnect(m);
                mosquitto_loop(m, 50, 1);
            }
        }
        mosquitto_destroy(m);
        if (rc == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// ---- publishing to a device ----

Device* FindDevice(const std::string& devId)
{
    auto it = gState.devices.find(devId);
    return it == gState.devices.end() ? nullptr : &it->second;
}

// Sends {"protocol":P,"t":now,"data":data} to the device; with an ackId when asked. Takes data.
std::string SendToDevice(Device* dev, int protocol, cJSON* data, bool wantAck, const std::string& topicIn = "")
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    int ack = 0;
    if (wantAck && cJSON_IsObject(data)) {
        ack = gState.nextAck++;
        cJSON_AddNumberToObject(data, "ackId", ack);
    }
    cJSON* msg = cJSON_CreateObject();
    cJSON_AddNumberToObject(msg, "protocol", protocol);
    cJSON_AddNumberToObject(msg, "t", static_cast<double>(Now()));
    cJSON_AddItemToObject(msg, "data", data);
    std::string json = Print(msg);
    cJSON_Delete(msg);
    std::string topic = topicIn.empty() ? "smart/device/in/" + dev->devId : topicIn;
    uint32_t seq = ++dev->outSeq;
    Bytes payload = EnvelopeEncode(dev->localKey, seq, json);
    int rc = gMq != nullptr ? mosquitto_publish(gMq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                                payload.data(), 1, false)
                            : MOSQ_ERR_NO_CONN;
    std::string where = topicIn.empty() ? "" : " on " + topic;
    if (rc != MOSQ_ERR_SUCCESS) {
        --dev->outSeq;
        std::string why = "not sent to " + dev->devId + where + ": " + mosquitto_strerror(rc);
        Log(why);
        return why;
    }
    std::string line = "-> " + dev->devId + where + " seq " + std::to_string(seq) + " protocol " +
                       std::to_string(protocol) + " " + json;
    Log(line);
    if (ack != 0) {
        PushBounded(&dev->acks, "ackId " + std::to_string(ack) + " protocol " + std::to_string(protocol) +
                                    " sent " + Stamp(Now()) + " waiting");
        SaveState();
    }
    return line;
}

// ---- what comes from the devices ----

void SetOnline(Device* dev, bool online, const std::string& why)
{
    if (online) {
        dev->lastInSeq = 0;  // a new connection starts its sequence anew
    }
    if (dev->online != online) {
        dev->online = online;
        dev->lastSeen = Now();
        Log(std::string(online ? "online " : "offline ") + dev->devId + (why.empty() ? "" : " (" + why + ")"));
        SaveState();
    }
}

// The broker's log tells who connects and who goes.
void HandleBrokerLines()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    if (!gBroker) {
        return;
    }
    for (const std::string& line : gBroker->NewLogLines()) {
        const std::string neu = "New client connected from ";
        if (line.rfind(neu, 0) == 0) {
            size_t as = line.find(" as ");
            size_t end = line.find(" (", as + 4);
            if (as != std::string::npos && end != std::string::npos) {
                if (Device* d = FindDevice(line.substr(as + 4, end - as - 4))) {
                    SetOnline(d, true, "");
                }
            }
            continue;
        }
        if (line.find("not authorised") != std::string::npos) {
            Log("broker: " + line);
            continue;
        }
        std::string id;
        std::string why;
        if (line.rfind("Client ", 0) == 0) {
            size_t sp = line.find(' ', 7);
            id = line.substr(7, sp == std::string::npos ? std::string::npos : sp - 7);
            why = line.substr(7 + id.size());
        } else if (line.rfind("Socket error on client ", 0) == 0) {
            size_t comma = line.find(',', 23);
            id = line.substr(23, comma == std::string::npos ? std::string::npos : comma - 23);
            why = "socket error";
        }
        if (Device* d = FindDevice(id)) {
            if (why.find("already connected") != std::string::npos) {
                continue;  // the new connection's line follows
            }
            while (!why.empty() && (why.front() == ' ' || why.back() == '.')) {
                why.erase(why.front() == ' ' ? 0 : why.size() - 1, 1);
            }
            SetOnline(d, false, why);
        }
    }
}

void StoreReport(Device* dev, const cJSON* data, int64_t msgTime)
{
    const cJSON* devId = cJSON_GetObjectItemCaseSensitive(data, "devId");
    if (cJSON_IsString(devId) && dev->devId != devId->valuestring) {
        Log("   devId \"" + std::string(devId->valuestring) + "\" is not the sender's");
    }
    const cJSON* dps = cJSON_GetObjectItemCaseSensitive(data, "dps");
    const cJSON* times = cJSON_GetObjectItemCaseSensitive(data, "dpsTime");
    if (!cJSON_IsObject(dps)) {
        Log("   no \"dps\" object");
        return;
    }
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, dps)
    {
        char* end = nullptr;
        long id = strtol(e->string, &end, 10);
        const DpDef* def = *end == '\0' ? FindDp(static_cast<int>(id)) : nullptr;
        std::string problem = CheckReport(def, e);
        const cJSON* t = cJSON_GetObjectItemCaseSensitive(times, e->string);
        DpValue v{Print(e), cJSON_IsNumber(t) ? static_cast<int64_t>(t->valuedouble) : msgTime, problem};
        if (def != nullptr && std::string(def->type) == "raw" && cJSON_IsString(e)) {
            Bytes raw;
            if (FromBase64(e->valuestring, &raw)) {
                Log("   dp " + std::to_string(id) + " raw: " + raw);
            }
        }
        if (!problem.empty()) {
            Log("   dp " + std::string(e->string) + " " + Print(e) + ": " + problem);
        }
        dev->dps[static_cast<int>(id)] = v;
    }
}

void HandleUplink(const std::string& topic, const Bytes& payload)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    std::string id;
    const std::string out = "smart/device/out/";
    if (topic.rfind(out, 0) == 0) {
        id = topic.substr(out.size());
    } else if (size_t d = topic.rfind("/d/"); topic.rfind("/av/moto/", 0) == 0 && d != std::string::npos) {
        id = topic.substr(d + 3);
    }
    Device* dev = FindDevice(id);
    if (dev == nullptr) {
        Log("drop <- " + topic + ": unknown device (" + std::to_string(payload.size()) + " bytes)");
        return;
    }
    std::string where = topic.rfind(out, 0) == 0 ? "" : " on " + topic;
    Envelope env;
    std::string why;
    if (!EnvelopeDecode(dev->localKey, payload, &env, &why)) {
        Log("drop <- " + dev->devId + where + ": " + why + " [" + HexUpper(payload.substr(0, 48)) +
            (payload.size() > 48 ? "..." : "") + "]");
        return;
    }
    if (env.seq <= dev->lastInSeq) {
        HandleBrokerLines();  // a reconnect the log has not shown yet resets the count
    }
    if (env.seq <= dev->lastInSeq) {
        Log("drop <- " + dev->devId + where + ": sequence " + std::to_string(env.seq) + " not above " +
            std::to_string(dev->lastInSeq) + " " + env.json);
        return;
    }
    dev->lastInSeq = env.seq;
    if (!dev->online) {
        SetOnline(dev, true, "message");
    }
    dev->lastSeen = Now();
    Log("<- " + dev->devId + where + " seq " + std::to_string(env.seq) + " protocol " + std::to_string(env.protocol) +
        " " + env.json);
    Json root = Parse(env.json);
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(root.get(), "data");
    const cJSON* t = cJSON_GetObjectItemCaseSensitive(root.get(), "t");
    int64_t msgTime = cJSON_IsNumber(t) ? static_cast<int64_t>(t->valuedouble) : Now();
    switch (env.protocol) {
    case 4:
        StoreReport(dev, data, msgTime);
        break;
    case 16:
        PushBounded(&dev->progress, Stamp(msgTime) + " " + Print(data), 100);
        break;
    case 43:
    case 308:
        PushBounded(&dev->events, Stamp(msgTime) + " protocol " + std::to_string(env.protocol) + " " + Print(data));
        break;
    case 26: {
        const cJSON* ack = cJSON_GetObjectItemCaseSensitive(data, "ackId");
        std::string head = "ackId " + (cJSON_IsNumber(ack) ? std::to_string(ack->valueint) : std::string("?")) + " ";
        bool found = false;
        for (auto& a : dev->acks) {
            if (a.rfind(head, 0) == 0 && a.size() > 8 && a.compare(a.size() - 7, 7, "waiting") == 0) {
                a = a.substr(0, a.size() - 7) + "acked " + Stamp(Now());
                found = true;
                break;
            }
        }
        if (!found) {
            Log("   " + head + "answers no command waiting for it");
            PushBounded(&dev->acks, head + "unexpected " + Stamp(Now()));
        }
        break;
    }
    default:
        break;
    }
    SaveState();
}

// ---- the simulator's own MQTT link ----

void StartMqttLink()
{
    gMq = mosquitto_new("cloudsim", true, nullptr);
    mosquitto_username_pw_set(gMq, kSimUser, gState.simPassword.c_str());
    std::string ca = gCloudDir + "/tls/ca.pem";
    mosquitto_tls_set(gMq, ca.c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_reconnect_delay_set(gMq, 1, 2, false);
    mosquitto_connect_callback_set(gMq, [](mosquitto* m, void*, int rc) {
        if (rc != 0) {
            Log("cloud link refused by the broker: " + std::string(mosquitto_connack_string(rc)));
            return;
        }
        mosquitto_subscribe(m, nullptr, "smart/device/out/+", 1);
        mosquitto_subscribe(m, nullptr, "/av/moto/+/d/+", 1);
        gMqUp = true;
        Log("cloud link up (subscribed smart/device/out/+, /av/moto/+/d/+)");
    });
    mosquitto_disconnect_callback_set(gMq, [](mosquitto*, void*, int rc) {
        gMqUp = false;
        if (!gStop) {
            Log("cloud link down (" + std::to_string(rc) + ")");
        }
    });
    mosquitto_message_callback_set(gMq, [](mosquitto*, void*, const mosquitto_message* msg) {
        HandleUplink(msg->topic, Bytes(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen)));
    });
    mosquitto_connect_async(gMq, "127.0.0.1", gState.mqttPort, 30);
    mosquitto_loop_start(gMq);
}

void StopMqttLink()
{
    if (gMq == nullptr) {
        return;
    }
    mosquitto_disconnect(gMq);
    mosquitto_loop_stop(gMq, true);
    mosquitto_destroy(gMq);
    gMq = nullptr;
}

bool WaitMqttUp(int ms)
{
    for (int i = 0; i < ms / 10 && !gMqUp; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return gMqUp;
}

// ---- the cloud HTTPS API ----

std::string PercentDecode(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() + 0 && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::map<std::string, std::string> QueryOf(const std::string& target)
{
    std::map<std::string, std::string> q;
    size_t qm = target.find('?');
    if (qm == std::string::npos) {
        return q;
    }
    std::string rest = target.substr(qm + 1);
    size_t at = 0;
    while (at <= rest.size()) {
        size_t amp = rest.find('&', at);
        std::string part = rest.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        size_t eq = part.find('=');
        if (!part.empty()) {
            q[PercentDecode(part.substr(0, eq))] = eq == std::string::npos ? "" : PercentDecode(part.substr(eq + 1));
        }
        if (amp == std::string::npos) {
            break;
        }
        at = amp + 1;
    }
    return q;
}

std::string SignOf(const std::map<std::string, std::string>& q, const std::string& key)
{
    std::string text;
    for (const auto& [name, value] : q) {  // std::map: sorted by name, byte order
        if (name == "sign") {
            continue;
        }
        text += name + "=" + value + "||";
    }
    return Md5Hex(text + key);
}

std::string Answer(const std::string& key, cJSON* inner)
{
    std::string b64 = Base64(AesEncrypt(key, Print(inner)));
    cJSON_Delete(inner);
    int64_t t = Now();
    cJSON* out = cJSON_CreateObject();
    cJSON_AddStringToObject(out, "result", b64.c_str());
    cJSON_AddNumberToObject(out, "t", static_cast<double>(t));
    cJSON_AddStringToObject(out, "sign", Md5Hex("result=" + b64 + "||t=" + std::to_string(t) + "||" + key).c_str());
    std::string s = Print(out);
    cJSON_Delete(out);
    return s;
}

cJSON* Failure(const std::string& code, const std::string& msg)
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddBoolToObject(o, "success", false);
    cJSON_AddStringToObject(o, "errorCode", code.c_str());
    cJSON_AddStringToObject(o, "errorMsg", msg.c_str());
    return o;
}

cJSON* Success(cJSON* result)
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddBoolToObject(o, "success", true);
    cJSON_AddItemToObject(o, "result", result);
    return o;
}

// Summer time of the zone handed out (+01:00): last Sunday of March to last Sunday of October,
// 01:00 UTC both, this year and the next.
cJSON* DstTable()
{
    cJSON* table = cJSON_CreateArray();
    time_t now = time(nullptr);
    tm tmv{};
    gmtime_r(&now, &tmv);
    auto lastSunday = [](int year, int month) {
        tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month;  // the first of the next month, then back
        t.tm_mday = 1;
        t.tm_hour = 1;
        time_t first = timegm(&t);
        tm f{};
        gmtime_r(&first, &f);
        int back = f.tm_wday == 0 ? 7 : f.tm_wday;
        return static_cast<double>(first - back * 86400);
    };
    for (int y = tmv.tm_year + 1900; y <= tmv.tm_year + 1901; ++y) {
        cJSON* row = cJSON_CreateArray();
        cJSON_AddItemToArray(row, cJSON_CreateNumber(lastSunday(y, 3)));
        cJSON_AddItemToArray(row, cJSON_CreateNumber(lastSunday(y, 10)));
        cJSON_AddItemToArray(row, cJSON_CreateNumber(3600));
        cJSON_AddItemToArray(table, row);
    }
    return table;
}

std::string BrokerUrl()
{
    return std::string("ssl://") + kMqttHost + ":" + std::to_string(gState.mqttPort);
}

std::string ApiUrl()
{
    return std::string("https://") + kApiHost + ":" + std::to_string(gState.apiPort) + NOXA_CLOUD_API_PATH;
}

cJSON* Activate(const std::string& uuid, const cJSON* body, std::string* logLine)
{
    auto text = [&](const char* key) {
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(body, key);
        return std::string(cJSON_IsString(v) ? v->valuestring : "");
    };
    std::string token = text("token");
    *logLine = "activate uuid " + uuid + " token " + token + " softVer " + text("softVer");
    if (text("productKey") != NOXA_CLOUD_PRODUCT_KEY) {
        return Failure("PRODUCT_KEY_INVALID", "unknown product key \"" + text("productKey") + "\"");
    }
    if (text("uuid") != uuid) {
        return Failure("UUID_MISMATCH", "the body's uuid is not the request's");
    }
    std::string devId;
    std::string localKey = RandomText(16, kAlnum);
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        auto tok = gState.tokens.find(token);
        if (tok == gState.tokens.end() || tok->second.used) {
            return Failure("TOKEN_INVALID", tok == gState.tokens.end() ? "unknown token" : "token already used");
        }
        if (Now() - tok->second.created > kTokenLifetime) {
            return Failure("TOKEN_EXPIRED", "token older than 10 minutes");
        }
        tok->second.used = true;
        for (auto& [id, d] : gState.devices) {
            if (d.uuid == uuid) {
                devId = id;
            }
        }
        if (devId.empty()) {
            devId = "nx" + RandomText(14, "0123456789abcdef");
        }
        Device& d = gState.devices[devId];
        d.devId = devId;
        d.uuid = uuid;
        d.localKey = localKey;
        d.password = DevicePassword(devId, localKey);
        d.activated = Now();
        d.reset = false;
        d.lastInSeq = 0;
        gState.current = devId;
        if (!gBroker->SetAccount(devId, d.password, DeviceAcl(devId))) {
            Log("error: cannot add the broker account of " + devId);
        }
        SaveState();
    }
    if (!CheckLogin(devId, DevicePassword(devId, localKey))) {
        Log("error: the broker does not take the account of " + devId + " yet");
    }
    cJSON* r = cJSON_CreateObject();
    cJSON_AddStringToObject(r, "devId", devId.c_str());
    cJSON_AddStringToObject(r, "localKey", localKey.c_str());
    cJSON_AddStringToObject(r, "timeZone", "+01:00");
    cJSON_AddItemToObject(r, "dstTable", DstTable());
    cJSON_AddStringToObject(r, "mqttUrl", BrokerUrl().c_str());
    cJSON_AddStringToObject(r, "httpsUrl", ApiUrl().c_str());
    cJSON_AddStringToObject(r, "schema", SchemaJson().c_str());
    *logLine += ": devId " + devId + " localKey " + Masked(localKey);
    return Success(r);
}

void HandleApi(const httplib::Request& req, httplib::Response& res)
{
    auto q = QueryOf(req.target);
    std::string a = q["a"];
    std::string head = "api " + a + " v" + q["v"] + ": ";
    std::vector<std::string> keys;
    std::string who;
    if (q.count("devId") != 0) {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        if (Device* d = FindDevice(q["devId"])) {
            keys.push_back(d->localKey);
        }
        who = "devId " + q["devId"];
    } else if (q.count("uuid") != 0) {
        for (const auto& k : AuthKeysOf(q["uuid"])) {
            keys.push_back(k.substr(0, 16));
        }
        who = "uuid " + q["uuid"];
    }
    if (keys.empty()) {
        Log(head + "refused: unknown device (" + (who.empty() ? "no uuid or devId" : who) + ")");
        res.status = 403;
        res.set_content("{\"success\":false,\"errorCode\":\"SIGN_INVALID\"}", "application/json");
        return;
    }
    std::string key;
    for (const auto& k : keys) {
        if (SignOf(q, k) == q["sign"]) {
            key = k;
        }
    }
    if (key.empty()) {
        Log(head + "refused: sign mismatch (" + who + ")");
        res.set_content(Answer(keys[0], Failure("SIGN_INVALID", "sign mismatch")), "application/json");
        return;
    }
    if (req.get_header_value("User-Agent") != NOXA_CLOUD_USER_AGENT) {
        Log(head + "note: User-Agent \"" + req.get_header_value("User-Agent") + "\"");
    }
    Bytes cipher;
    Bytes plain;
    std::string why = "no data=";
    Json body(nullptr, cJSON_Delete);
    if (req.body.rfind("data=", 0) == 0 && FromHex(req.body.substr(5), &cipher) &&
        (why = "body", AesDecrypt(key, cipher, &plain, &why))) {
        body = Parse(plain);
    }
    if (!body) {
        Log(head + "refused: cannot read the body (" + why + ")");
        res.set_content(Answer(key, Failure("DATA_INVALID", "body not readable: " + why)), "application/json");
        return;
    }
    Log(head + who + " body " + plain);
    cJSON* inner = nullptr;
    std::string line;
    if (a == "noxa.device.active" && q.count("uuid") != 0) {
        inner = Activate(q["uuid"], body.get(), &line);
    } else {
        inner = Failure("API_NOT_SUPPORTED", "the simulator does not serve " + a);
        line = "not served";
    }
    const cJSON* ok = cJSON_GetObjectItemCaseSensitive(inner, "success");
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(inner, "errorCode");
    Log(head + line + (cJSON_IsTrue(ok) ? ": ok" : std::string(": refused ") + (cJSON_IsString(code) ? code->valuestring : "")));
    res.set_content(Answer(key, inner), "application/json");
}

// ---- commands (FIFO and tools/phone) ----

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    std::string cur;
    bool quoted = false;
    bool any = false;
    for (char c : line) {
        if (c == '\'' ) {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (any) {
                words.push_back(cur);
            }
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any) {
        words.push_back(cur);
    }
    return words;
}

const char* kHelp =
    "commands (an optional first word @DEVID picks the device; default: the last activated):\n"
    "  pair                    a pairing token for the unit (RRttttttttKKKK)\n"
    "  devices                 the devices, online or offline\n"
    "  dp ID VALUE [ID VALUE]  data-point command (protocol 5); VALUE as the schema types it\n"
    "  query ID...             data-point query (31)\n"
    "  reset [TYPE]            reset (11): 0 unactivate (default), 1 factory reset\n"
    "  dst TABLE               summer-time table (41): [[start,end,offset],...] or start,end,offset;...\n"
    "  upgrade URL MD5 VERSION SIZE   firmware upgrade (15)\n"
    "  send PROTOCOL JSON      any protocol with a JSON object as data\n"
    "  publish TOPIC PROTOCOL JSON    an envelope on any topic, under the device's key\n"
    "  raw HEX                 any bytes as the envelope on the device's in-topic\n"
    "  reports                 each data point's last value and time, progress, acknowledgements\n"
    "  events                  doorbell events (43) and answers (308)\n"
    "  broker stop|start|pause|resume   the broker (pause: SIGSTOP)\n"
    "  help";

std::string Pair()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    std::string tok = RandomText(8, kLowerAlnum);
    gState.tokens[tok] = Token{Now(), false};
    for (auto it = gState.tokens.begin(); it != gState.tokens.end();) {
        it = Now() - it->second.created > 7 * 86400 ? gState.tokens.erase(it) : std::next(it);
    }
    SaveState();
    std::string full = "AY" + tok + RandomText(4, kLowerAlnum);
    Log("pair: token " + full);
    return full;
}

cJSON* ParseDst(const std::string& text)
{
    cJSON* j = cJSON_Parse(text.c_str());
    if (j != nullptr) {
        return j;
    }
    cJSON* table = cJSON_CreateArray();
    std::istringstream rows(text);
    std::string row;
    while (std::getline(rows, row, ';')) {
        cJSON* r = cJSON_CreateArray();
        std::istringstream cells(row);
        std::string cell;
        while (std::getline(cells, cell, ',')) {
            cJSON_AddItemToArray(r, cJSON_CreateNumber(std::atof(cell.c_str())));
        }
        cJSON_AddItemToArray(table, r);
    }
    return table;
}

std::string RunCommand(const std::string& line)
{
    std::vector<std::string> w = Words(line);
    std::lock_guard<std::recursive_mutex> lock(gLock);
    std::string devId = gState.current;
    if (!w.empty() && w[0].size() > 1 && w[0][0] == '@') {
        devId = w[0].substr(1);
        w.erase(w.begin());
    }
    if (w.empty()) {
        return "";
    }
    const std::string& cmd = w[0];
    if (cmd == "help") {
        return kHelp;
    }
    if (cmd == "pair") {
        return Pair();
    }
    if (cmd == "devices") {
        std::string out;
        for (const auto& [id, d] : gState.devices) {
            out += id + (d.online ? " online" : " offline") + " uuid " + d.uuid + " activated " + Stamp(d.activated) +
                   " seen " + Stamp(d.lastSeen) + (d.reset ? " reset" : "") + (id == gState.current ? " *" : "") + "\n";
        }
        return out.empty() ? "no devices" : out.substr(0, out.size() - 1);
    }
    if (cmd == "broker" && w.size() == 2) {
        if (w[1] == "stop") {
            gBroker->Stop();
            for (auto& [id, d] : gState.devices) {
                SetOnline(&d, false, "broker stopped");
            }
        } else if (w[1] == "start") {
            if (!gBroker->Running() && !gBroker->Start(gState.mqttPort)) {
                return "the broker did not start on port " + std::to_string(gState.mqttPort);
            }
            WaitMqttUp(3000);
        } else if (w[1] == "pause") {
            gBroker->Pause();
        } else if (w[1] == "resume") {
            gBroker->Resume();
        } else {
            return "broker stop|start|pause|resume";
        }
        std::string out = "broker " + w[1] + " (pid " + std::to_string(gBroker->Pid()) + ")";
        Log(out);
        return out;
    }
    static const std::set<std::string> kDeviceCommands = {"reports", "events", "dp", "query", "reset", "dst",
                                                          "upgrade", "send", "publish", "raw"};
    if (kDeviceCommands.count(cmd) == 0) {
        return "unknown command: " + line + " (help lists them)";
    }
    Device* dev = FindDevice(devId);
    if (dev == nullptr) {
        return devId.empty() ? "no device activated yet" : "no device " + devId;
    }
    if (cmd == "reports") {
        std::string out;
        for (const auto& [id, v] : dev->dps) {
            const DpDef* def = FindDp(id);
            out += std::to_string(id) + " " + (def != nullptr ? def->code : "?") + " = " + v.json + " at " +
                   Stamp(v.t) + (v.problem.empty() ? "" : " (" + v.problem + ")") + "\n";
        }
        for (const auto& p : dev->progress) {
            out += "progress " + p + "\n";
        }
        for (const auto& a : dev->acks) {
            out += a + "\n";
        }
        return out.empty() ? "no reports" : out.substr(0, out.size() - 1);
    }
    if (cmd == "events") {
        std::string out;
        for (const auto& e : dev->events) {
            out += e + "\n";
        }
        return out.empty() ? "no events" : out.substr(0, out.size() - 1);
    }
    if (cmd == "dp" && w.size() >= 3 && w.size() % 2 == 1) {
        cJSON* dps = cJSON_CreateObject();
        std::string notes;
        for (size_t i = 1; i + 1 < w.size(); i += 2) {
            const DpDef* def = FindDp(std::atoi(w[i].c_str()));
            bool off = false;
            cJSON_AddItemToObject(dps, w[i].c_str(), PhoneValue(def, w[i + 1], &off));
            if (off) {
                notes += " (dp " + w[i] + " off-schema)";
            }
        }
        cJSON* data = cJSON_CreateObject();
        cJSON_AddItemToObject(data, "dps", dps);
        return SendToDevice(dev, 5, data, true) + notes;
    }
    if (cmd == "query" && w.size() >= 2) {
        cJSON* ids = cJSON_CreateArray();
        for (size_t i = 1; i < w.size(); ++i) {
            cJSON_AddItemToArray(ids, cJSON_CreateNumber(std::atoi(w[i].c_str())));
        }
        cJSON* data = cJSON_CreateObject();
        cJSON_AddItemToObject(data, "dpId", ids);
        return SendToDevice(dev, 31, data, true);
    }
    if (cmd == "reset" && w.size() <= 2) {
        cJSON* data = cJSON_CreateObject();
        cJSON_AddNumberToObject(data, "type", w.size() == 2 ? std::atoi(w[1].c_str()) : 0);
        dev->reset = true;
        return SendToDevice(dev, 11, data, true);
    }
    if (cmd == "dst" && w.size() == 2) {
        cJSON* data = cJSON_CreateObject();
        cJSON_AddItemToObject(data, "dst", ParseDst(w[1]));
        return SendToDevice(dev, 41, data, true);
    }
    if (cmd == "upgrade" && w.size() == 5) {
        cJSON* data = cJSON_CreateObject();
        cJSON_AddStringToObject(data, "url", w[1].c_str());
        cJSON_AddStringToObject(data, "md5", w[2].c_str());
        cJSON_AddStringToObject(data, "version", w[3].c_str());
        cJSON_AddNumberToObject(data, "size", std::atof(w[4].c_str()));
        return SendToDevice(dev, 15, data, true);
    }
    if ((cmd == "send" && w.size() == 3) || (cmd == "publish" && w.size() == 4)) {
        size_t at = cmd == "send" ? 1 : 2;
        cJSON* data = cJSON_Parse(w[at + 1].c_str());
        if (data == nullptr) {
            return "not JSON: " + w[at + 1];
        }
        return SendToDevice(dev, std::atoi(w[at].c_str()), data, false, cmd == "send" ? "" : w[1]);
    }
    if (cmd == "raw" && w.size() >= 2) {
        std::string hex;
        for (size_t i = 1; i < w.size(); ++i) {
            hex += w[i];
        }
        Bytes bytes;
        if (!FromHex(hex, &bytes)) {
            return "not hexadecimal: " + hex;
        }
        std::string topic = "smart/device/in/" + dev->devId;
        int rc = gMq != nullptr ? mosquitto_publish(gMq, nullptr, topic.c_str(), static_cast<int>(bytes.size()),
                                                    bytes.data(), 1, false)
                                : MOSQ_ERR_NO_CONN;
        std::string out = rc == MOSQ_ERR_SUCCESS ? "raw -> " + dev->devId + " " + std::to_string(bytes.size()) +
                                                       " bytes " + HexUpper(bytes)
                                                 : std::string("raw not sent: ") + mosquitto_strerror(rc);
        Log(out);
        return out;
    }
    return "unknown or incomplete command: " + line + " (help lists them)";
}

void FifoLoop(const std::string& path)
{
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) {
        Log("error: cannot make the FIFO " + path);
        return;
    }
    // Opened for writing too, so the FIFO never reads end-of-file between two writers.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    std::string pending;
    while (!gStop && fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) {
            continue;
        }
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) {
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (line.find_first_not_of(" \t\r") == std::string::npos) {
                continue;
            }
            Log("command: " + line);
            std::string out = RunCommand(line);
            std::istringstream lines(out);
            std::string l;
            while (std::getline(lines, l)) {
                Log("  " + l);
            }
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    unlink(path.c_str());
}

// ---- set-up ----

bool EnsureCertificates(const std::string& caDir)
{
    std::string tls = gCloudDir + "/tls";
    fs::create_directories(tls);
    if (fs::exists(tls + "/server.pem") && fs::exists(tls + "/server.key") && fs::exists(tls + "/ca.pem")) {
        return true;
    }
    std::string caDer = caDir + "/test_ca.der";
    std::string caKey = caDir + "/test_ca.key";
    if (!fs::exists(caDer) || !fs::exists(caKey)) {
        Log("error: no test CA in " + caDir + " (build the project first, or give --ca-dir)");
        return false;
    }
    std::string san = "subjectAltName=";
    for (const char* h : kHosts) {
        san += std::string("DNS:") + h + ",";
    }
    san += "DNS:localhost,IP:127.0.0.1";
    WriteFileAtomic(tls + "/server.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                                         "extendedKeyUsage=serverAuth\n" + san + "\n");
    std::string serial = std::to_string(1000 + (Now() % 1000000));
    bool ok = RunProgram({"openssl", "x509", "-inform", "DER", "-in", caDer, "-out", tls + "/ca.pem"}) &&
              RunProgram({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", tls + "/server.key",
                          "-subj", "/O=Noxa Test/CN=cloudsim.test", "-out", tls + "/server.csr"}) &&
              RunProgram({"openssl", "x509", "-req", "-sha256", "-days", "3650", "-in", tls + "/server.csr", "-CA",
                          caDer, "-CAform", "DER", "-CAkey", caKey, "-set_serial", serial, "-extfile",
                          tls + "/server.ext", "-out", tls + "/server.pem"});
    chmod((tls + "/server.key").c_str(), 0600);
    if (!ok) {
        Log("error: making the server certificate failed");
        fs::remove(tls + "/server.pem");
    }
    return ok;
}

// The board's name lookup answers the cloud's hosts with 127.0.0.1; the unit finds the API here.
void WriteBoardFiles()
{
    std::string hostsPath = gRoot + "/.board/net/hosts";
    std::string kept;
    std::istringstream old(ReadFile(hostsPath));
    std::string line;
    while (std::getline(old, line)) {
        if (line.find("cloudsim.test") == std::string::npos) {
            kept += line + "\n";
        }
    }
    std::string ours = "127.0.0.1";
    for (const char* h : kHosts) {
        ours += std::string(" ") + h;
    }
    WriteFileAtomic(hostsPath, kept + ours + "\n");
    WriteFileAtomic(gRoot + "/etc/cloud.conf", "# written by the cloud simulator\napi_url=" + ApiUrl() + "\n");
    WriteFileAtomic(gCloudDir + "/ports", "api=" + std::to_string(gState.apiPort) + "\nmqtt=" +
                                              std::to_string(gState.mqttPort) + "\n");
}

std::string ExeDir()
{
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string caDir;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) {
            gRoot = argv[++i];
        } else if (a == "--ca-dir" && i + 1 < argc) {
            caDir = argv[++i];
        } else if (a == "--quiet") {
            gQuiet = true;
        } else if (a == "--die-with-parent") {
            // Test helpers: a test killed hard leaves no simulator (and so no broker) behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
        } else {
            fprintf(stderr, "usage: cloudsim --root DIR [--ca-dir DIR] [--quiet] [--die-with-parent]\n");
            return 2;
        }
    }
    if (gRoot.empty() && getenv("DOORPHONE_ROOT") != nullptr) {
        gRoot = getenv("DOORPHONE_ROOT");
    }
    if (gRoot.empty() || !fs::is_directory(gRoot)) {
        fprintf(stderr, "cloudsim: no board root (--root DIR)\n");
        return 2;
    }
    gRoot = fs::canonical(gRoot).string();
    if (caDir.empty()) {
        caDir = ExeDir() + "/../res/tls";
    }
    gCloudDir = gRoot + "/.board/cloud";
    gStatePath = gCloudDir + "/state.json";
    fs::create_directories(gCloudDir + "/broker");
    gLog = fopen((gRoot + "/.board/cloudsim.log").c_str(), "ab");

    // Signals are taken by the main thread alone; every thread made later inherits the mask.
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!EnsureCertificates(caDir)) {
        return 1;
    }
    std::string tls = gCloudDir + "/tls";
    if (!gState.Load(gStatePath) && fs::exists(gStatePath)) {
        Log("error: " + gStatePath + " is not readable; starting with an empty cloud");
    }
    for (auto& [id, d] : gState.devices) {
        d.online = false;
    }
    if (gState.simPassword.empty()) {
        gState.simPassword = RandomText(24, kAlnum);
    }
    mosquitto_lib_init();

    // A root keeps its ports, so an activated unit finds its cloud again; a fresh root (or one
    // whose ports are taken before any device activated) takes free ones.
    bool keepPorts = gState.apiPort != 0 && !gState.devices.empty();
    httplib::SSLServer svr((tls + "/server.pem").c_str(), (tls + "/server.key").c_str());
    gBroker = std::make_unique<Broker>(gCloudDir + "/broker", tls + "/server.pem", tls + "/server.key");
    gBroker->SetAccount(kSimUser, gState.simPassword, {"topic readwrite #"});
    for (auto& [id, d] : gState.devices) {
        gBroker->SetAccount(id, d.password, DeviceAcl(id));
    }
    bool up = false;
    for (int attempt = 0; attempt < 10 && !up; ++attempt) {
        if (gState.apiPort == 0 || (!keepPorts && attempt > 0)) {
            gState.apiPort = FreePort();
            gState.mqttPort = FreePort();
        }
        if (!svr.bind_to_port("127.0.0.1", gState.apiPort)) {
            Log("API port " + std::to_string(gState.apiPort) + " is taken");
        } else if (!gBroker->Start(gState.mqttPort)) {
            Log("broker did not start on port " + std::to_string(gState.mqttPort) + ": " +
                ReadFile(gCloudDir + "/broker/mosquitto.stderr"));
            svr.stop();
        } else {
            up = true;
        }
        if (!up && keepPorts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }
    if (!up) {
        Log("error: cannot open the cloud's ports");
        return 1;
    }
    SaveState();
    WriteBoardFiles();

    svr.Post(NOXA_CLOUD_API_PATH, HandleApi);
    svr.Post("/phone/pair", [](const httplib::Request&, httplib::Response& res) {
        std::string tok = Pair();
        res.set_content("{\"token\":\"" + tok + "\",\"expiresIn\":" + std::to_string(kTokenLifetime) + "}",
                        "application/json");
    });
    svr.Post("/phone/cmd", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(RunCommand(req.body) + "\n", "text/plain");
    });
    std::thread server([&svr] { svr.listen_after_bind(); });

    StartMqttLink();
    if (!WaitMqttUp(10000)) {
        Log("warning: the simulator's own link to the broker is not up yet");
    }
    std::thread fifo(FifoLoop, gRoot + "/.board/cloudsim.cmd");
    std::thread tail([] {
        while (!gStop) {
            HandleBrokerLines();
            {
                std::lock_guard<std::recursive_mutex> lock(gLock);
                if (gBroker->Reap()) {
                    Log("broker ended on its own");
                    for (auto& [id, d] : gState.devices) {
                        SetOnline(&d, false, "broker ended");
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Log("cloud simulator ready: api " + ApiUrl() + " mqtt " + BrokerUrl() + " (broker pid " +
        std::to_string(gBroker->Pid()) + "); root " + gRoot);

    int sig = 0;
    while (sigwait(&stopSet, &sig) == 0 && sig == SIGHUP) {
    }
    Log("stopping (signal " + std::to_string(sig) + ")");
    gStop = true;
    svr.stop();
    server.join();
    fifo.join();
    tail.join();
    StopMqttLink();
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        gBroker->Stop();
        for (auto& [id, d] : gState.devices) {
            d.online = false;
        }
        SaveState();
    }
    gBroker.reset();
    mosquitto_lib_cleanup();
    Log("stopped");
    if (gLog != nullptr) {
        fclose(gLog);
    }
    return 0;
}
