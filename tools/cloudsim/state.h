// What the cloud keeps about its devices, in "<root>/.board/cloud/state.json": ports, accounts,
// tokens, and per device its keys, online state, the last value and time of each data point,
// events, progress reports, acknowledgements and its skill text. Written whole (temporary file,
// rename) on every change, so a restart of the simulator finds it as it was.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace cloudsim {

struct DpValue {
    std::string json;  // the value as reported
    int64_t t = 0;
    std::string problem;  // "" when it fit the schema
};

struct Device {
    std::string devId;
    std::string uuid;
    std::string localKey;
    std::string password;  // the broker password derived from the keys
    int64_t activated = 0;
    bool online = false;
    int64_t lastSeen = 0;
    bool reset = false;  // a reset was sent; the next activation binds it again
    std::deque<std::string> acl;  // further ACL lines ("topic read TOPIC") given by command
    std::map<int, DpValue> dps;
    std::deque<std::string> events;    // protocols 43 and 308, one JSON line each
    std::deque<std::string> progress;  // protocol 16
    std::deque<std::string> acks;      // protocol 26 and the commands still waiting for one
    std::string skill;                 // the last skill text uploaded (skill.update)
    std::string mediaKey;              // handed out by the secret call; kept across restarts
    std::deque<std::string> notifications;  // data points 115, 154, 185 as they arrived, decoded
    // Run time only: the sequence numbers of this connection and of this process, and the
    // latest reported values with the moment they came (round trips wait on them).
    uint32_t lastInSeq = 0;
    uint32_t outSeq = 0;
    struct Heard {
        int dp;
        std::string json;
        std::chrono::steady_clock::time_point at;
    };
    std::deque<Heard> heard;
    uint64_t heardCount = 0;
    // Every data point and doorbell event as it arrived, on the host's monotonic clock (which
    // other processes of the host read too: a benchmark times the unit's road with it).
    struct Arrival {
        int64_t monoUs;
        int protocol;
        int dp;  // -1 for an event
        std::string json;
    };
    std::deque<Arrival> arrivals;
};

struct Token {
    int64_t created = 0;
    bool used = false;
};

struct State {
    uint16_t apiPort = 0;
    uint16_t mqttPort = 0;
    std::string simPassword;  // the simulator's own broker account ("cloudsim")
    std::map<std::string, Device> devices;
    std::map<std::string, Token> tokens;  // by the 8-character token
    std::string current;                  // the device commands go to by default
    int nextAck = 1;

    bool Load(const std::string& path);
    bool Save(const std::string& path) const;
    // Save in two halves: the text (under the simulator's lock), then the file (outside it).
    std::string Text() const;
    static bool Write(const std::string& path, const std::string& text);
};

// Keeps a list from growing without bound.
void PushBounded(std::deque<std::string>* list, const std::string& item, size_t max = 200);

}  // namespace cloudsim
