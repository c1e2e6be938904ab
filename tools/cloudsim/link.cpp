// The simulator's MQTT side: its own link to the broker, what it sends to a device, and every
// message from a device checked, logged decoded and kept.
#include "api_calls.h"
#include "schema.h"
#include "sim.h"

#include <mosquitto.h>

#include <chrono>
#include <thread>

namespace cloudsim {

std::string SendToDevice(Device* dev, int protocol, cJSON* data, bool wantAck, const std::string& topicIn)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    int ack = 0;
    if (wantAck && cJSON_IsObject(data)) {
        ack = gState.nextAck++;
        cJSON_AddNumberToObject(data, "ackId", ack);
    }
    cJSON* msg = cJSON_CreateObject();
    cJSON_AddNumberToObject(msg, "protocol", protocol);
    // The cloud's own clock, shifted by `time` as time.get hands it out: a unit synced to it
    // checks the messages' time against it.
    cJSON_AddNumberToObject(msg, "t", static_cast<double>(CloudNow()));
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
                       std::to_string(protocol) + " " + json + (dev->online ? "" : " (device offline)");
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

namespace {

int64_t MonoUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Arrived(Device* dev, int protocol, int dp, const std::string& json)
{
    dev->arrivals.push_back(Device::Arrival{MonoUs(), protocol, dp, json});
    if (dev->arrivals.size() > 256) {
        dev->arrivals.pop_front();
    }
}

std::string StampMs()
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    std::string s = Stamp(ms / 1000);
    char frac[8];
    snprintf(frac, sizeof(frac), ".%03d", static_cast<int>(ms % 1000));
    return s.substr(0, s.size() - 1) + frac + "Z";
}

// A notification as the phone reads it: the bucket, each file's object and key (the picture's
// IV text; "-" for a clear file) and, for the event form, its command, type and "with"; a signed
// URL as it came; anything else as text.
std::string NotificationLine(int dp, const Bytes& raw)
{
    std::string line = StampMs() + " dp " + std::to_string(dp);
    Json j = Parse(raw);
    if (!j || !cJSON_IsObject(j.get())) {
        if (raw.rfind("https://", 0) == 0) {
            return line + " url " + raw;
        }
        return line + " text " + raw;
    }
    auto text = [&](const char* key) {
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(j.get(), key);
        return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
    };
    for (const char* key : {"cmd", "type", "with"}) {
        if (!text(key).empty()) {
            line += std::string(" ") + key + " " + text(key);
        }
    }
    line += " bucket " + text("bucket");
    const cJSON* files = cJSON_GetObjectItemCaseSensitive(j.get(), "files");
    const cJSON* f = nullptr;
    cJSON_ArrayForEach(f, files)
    {
        const cJSON* path = cJSON_GetArrayItem(f, 0);
        const cJSON* key = cJSON_GetArrayItem(f, 1);
        std::string k = cJSON_IsString(key) ? key->valuestring : "";
        line += std::string(" file ") + (cJSON_IsString(path) ? path->valuestring : "?") + " key " +
                (k.empty() ? "-" : k);
    }
    if (!cJSON_IsArray(files)) {
        line += " (no files array)";
    }
    return line;
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
                if (id == 115 || id == 154 || id == 185) {
                    PushBounded(&dev->notifications, NotificationLine(static_cast<int>(id), raw));
                }
            }
        }
        if (!problem.empty()) {
            Log("   dp " + std::string(e->string) + " " + Print(e) + ": " + problem);
        }
        dev->dps[static_cast<int>(id)] = v;
        Arrived(dev, 4, static_cast<int>(id), v.json);
        dev->heard.push_back(Device::Heard{static_cast<int>(id), v.json, std::chrono::steady_clock::now()});
        if (dev->heard.size() > 64) {
            dev->heard.pop_front();
        }
        ++dev->heardCount;
        gHeardCv.notify_all();
    }
}

}  // namespace

void HandleUplink(const std::string& topic, const Bytes& payload)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    // The broker logs a connection before it reads the client's first message: taking its
    // log first puts every new connection (which restarts the sequence) before its messages.
    HandleBrokerLines();
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
        Arrived(dev, env.protocol, -1, Print(data));
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
    // Commands leave at once (no Nagle delay behind an unacknowledged segment).
    mosquitto_int_option(gMq, MOSQ_OPT_TCP_NODELAY, 1);
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
    for (int i = 0; i < ms / 10 && !gMqUp && !gStop; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return gMqUp;
}

}  // namespace cloudsim
