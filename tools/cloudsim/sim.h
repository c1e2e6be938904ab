// What the parts of the cloud simulator share: its state under one lock, the broker, its own
// MQTT link, the log, and small helpers.
#pragma once

#include "broker.h"
#include "codec.h"
#include "proc.h"
#include "state.h"

#include <atomic>
#include <cjson/cJSON.h>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

struct mosquitto;
namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace cloudsim {

inline constexpr const char* kApiHost = "api.cloudsim.test";
inline constexpr const char* kMqttHost = "mqtt.cloudsim.test";
inline constexpr const char* kHosts[] = {"api.cloudsim.test", "mqtt.cloudsim.test", "s3.cloudsim.test",
                                         "blob.cloudsim.test"};
inline constexpr const char* kSimUser = "cloudsim";
inline constexpr int64_t kTokenLifetime = 600;
inline const std::string kAlnum = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
inline const std::string kLowerAlnum = "abcdefghijklmnopqrstuvwxyz0123456789";

extern std::string gRoot;
extern std::string gCloudDir;
extern std::string gStatePath;
extern bool gQuiet;
extern std::atomic<bool> gStop;
extern FILE* gLog;
extern std::recursive_mutex gLock;  // the state, the broker and the link
extern std::condition_variable_any gHeardCv;  // a device reported a data point
extern State gState;
extern std::unique_ptr<Broker> gBroker;
extern mosquitto* gMq;
extern std::atomic<bool> gMqUp;

int64_t Now();
std::string Stamp(int64_t t);  // UTC, ISO 8601; "-" for 0
void Log(const std::string& text);
std::string Masked(const std::string& secret);
std::string RandomText(size_t n, const std::string& alphabet);
std::string Print(const cJSON* j);
using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
Json Parse(const std::string& text);
// %XX decoded (a '%' without two hex digits stays as it is).
std::string PercentDecode(const std::string& s);
// An API call's inner answer: success with its result (NULL: true), or a refusal.
cJSON* ApiOk(cJSON* result);
cJSON* ApiRefusal(const std::string& code, const std::string& msg);
// The signed, encrypted envelope of an inner answer (taken and freed) under the device's key;
// wrongSign spoils the sign for the fault tests.
std::string SignedAnswer(const std::string& key, cJSON* inner, bool wrongSign = false);
// Marks the state changed: the simulator's housekeeping writes it within 20 ms (messages do
// not wait for the file). SaveStateNow writes at once (activation, pairing, the end).
void SaveState();
void SaveStateNow();
void SaveStateIfChanged();
std::string ReadFile(const std::string& path);
bool WriteFileAtomic(const std::string& path, const std::string& content, mode_t mode = 0644);

// Accounts on the broker.
Device* FindDevice(const std::string& devId);
std::string DevicePassword(const std::string& devId, const std::string& localKey);
std::vector<std::string> DeviceAcl(const Device& dev);
bool CheckLogin(const std::string& user, const std::string& pass);

// The MQTT side (link.cpp).
std::string SendToDevice(Device* dev, int protocol, cJSON* data, bool wantAck, const std::string& topic = "");
void SetOnline(Device* dev, bool online, const std::string& why);
void HandleBrokerLines();
void StartMqttLink();
void StopMqttLink();
bool WaitMqttUp(int ms);

// The HTTPS side (api.cpp).
void HandleApi(const httplib::Request& req, httplib::Response& res);
std::string ApiUrl();
std::string BrokerUrl();

// Commands (commands.cpp).
std::string Pair();
std::string RunCommand(const std::string& line);
void FifoLoop(const std::string& path);

}  // namespace cloudsim
