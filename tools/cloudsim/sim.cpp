#include "sim.h"

#include <mosquitto.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <openssl/rand.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>

namespace fs = std::filesystem;

namespace cloudsim {

namespace {
std::mutex gLogLock;
}  // namespace

std::string gRoot;
std::string gCloudDir;
std::string gStatePath;
bool gQuiet = false;
std::atomic<bool> gStop{false};

FILE* gLog = nullptr;

std::recursive_mutex gLock;
std::condition_variable_any gHeardCv;  // the state, the broker and the link
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


std::string Print(const cJSON* j)
{
    char* t = cJSON_PrintUnformatted(j);
    std::string s = t != nullptr ? t : "";
    cJSON_free(t);
    return s;
}

std::string PercentDecode(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

cJSON* ApiOk(cJSON* result)
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddBoolToObject(o, "success", true);
    cJSON_AddItemToObject(o, "result", result != nullptr ? result : cJSON_CreateTrue());
    return o;
}

cJSON* ApiRefusal(const std::string& code, const std::string& msg)
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddBoolToObject(o, "success", false);
    cJSON_AddStringToObject(o, "errorCode", code.c_str());
    cJSON_AddStringToObject(o, "errorMsg", msg.c_str());
    return o;
}

std::string SignedAnswer(const std::string& key, cJSON* inner, bool wrongSign)
{
    std::string b64 = Base64(AesEncrypt(key, Print(inner)));
    cJSON_Delete(inner);
    int64_t t = Now();
    std::string sign = Md5Hex("result=" + b64 + "||t=" + std::to_string(t) + "||" + key);
    if (wrongSign) {
        sign[0] = sign[0] == '0' ? '1' : '0';
    }
    return "{\"result\":\"" + b64 + "\",\"t\":" + std::to_string(t) + ",\"sign\":\"" + sign + "\"}";
}

Json Parse(const std::string& text)
{
    return Json(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
}

namespace {
bool gDirty = false;       // under gLock
uint64_t gTextsTaken = 0;  // under gLock: the state's texts taken for the file, counted
// The file is written under its own lock, never under gLock: a publish (the unlock) must not
// wait for a disk write.
std::mutex gFileLock;
uint64_t gTextWritten = 0;  // under gFileLock: the latest text in the file
}  // namespace

void SaveState()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    gDirty = true;
}

void SaveStateNow()
{
    std::string text;
    uint64_t number = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        gDirty = false;
        text = gState.Text();
        number = ++gTextsTaken;
    }
    std::lock_guard<std::mutex> file(gFileLock);
    if (number < gTextWritten) {
        return;  // a newer state is in the file already
    }
    if (!State::Write(gStatePath, text)) {
        Log("error: cannot write " + gStatePath);
        return;
    }
    gTextWritten = number;
}

void SaveStateIfChanged()
{
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        if (!gDirty) {
            return;
        }
    }
    SaveStateNow();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFileAtomic(const std::string& path, const std::string& content, mode_t mode)
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

// ---- the broker account of a device ----

std::string DevicePassword(const std::string& devId, const std::string& localKey)
{
    return Md5Hex(localKey + devId).substr(8, 16);
}

std::vector<std::string> DeviceAcl(const Device& dev)
{
    const std::string& id = dev.devId;
    std::vector<std::string> acl = {
        "topic read smart/device/in/" + id,
        "topic write smart/device/out/" + id,
        // The media modules' topics the device books and answers on.
        "topic read /av/d/" + id,
        "topic write /av/moto/+/d/" + id,
    };
    acl.insert(acl.end(), dev.acl.begin(), dev.acl.end());
    return acl;
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
}  // namespace cloudsim
