// The commands of the phone and of the FIFO: pairing tokens, data points, queries, resets,
// summer time, raw bytes, and what the cloud has heard.
#include "api_calls.h"
#include "cloud_storage.h"
#include "faces.h"
#include "messages.h"
#include "schema.h"
#include "sim.h"
#include "storage.h"
#include "stream.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace cloudsim {

namespace {


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
    "  rtt ID VALUE [MS]       a data-point command and the time until the device reports that value\n"
    "  reset [TYPE]            reset (11): 0 unactivate (default), 1 factory reset\n"
    "  dst TABLE               summer-time table (41): [[start,end,offset],...] or start,end,offset;...\n"
    "  upgrade URL MD5 VERSION SIZE   firmware upgrade (15)\n"
    "  send PROTOCOL JSON      any protocol with a JSON object as data\n"
    "  publish TOPIC PROTOCOL JSON    an envelope on any topic, under the device's key\n"
    "  raw HEX                 any bytes as the envelope on the device's in-topic\n"
    "  reports                 each data point's last value and time, progress, acknowledgements\n"
    "  state                   each data point's last reported value by name\n"
    "  events                  doorbell events (43) and answers (308)\n"
    "  notifications           notifications (115, 154, 185) as they arrived: objects and keys\n"
    "  media-key [KEY]         the device's media key, as the phone gets it to decrypt pictures;\n"
    "                          with KEY the key the next secret calls hand out (any length)\n"
    "  arrivals                the last data points and events with their arrival (monotonic us)\n"
    "  viewer-key              the device's local key, as the owner's phone gets it for its viewers\n"
    "  acl read|write TOPIC    lets the device read or write one more topic\n"
    "  broker stop|start|pause|resume   the broker (pause: SIGSTOP)\n"
    "  stores                  starts the object stores (s3rver behind the signature gate, azurite)\n"
    "  stores stop|start       both stores away (connections refused) and back on the same ports\n"
    "                          with their data\n"
    "  s3rver stop|start       s3rver alone away and back (the gate answers that it does not)\n"
    "  storage s3|azure        which store the storage configurations name\n"
    "  rotate-ca               a new storage CA; the stores restart on its certificates\n"
    "  object BUCKET KEY       an object's bytes (base64) as the phone app fetches it\n"
    "  fail NAME code ERRORCODE|missing KEY|slow MS|sign|500|stall|ok   next answers of an API call\n"
    "  time EPOCH ZONE         the cloud's clock and zone (\"+01:00\")\n"
    "  firmware NAME SIZE      a firmware image: its URL, MD5 and size\n"
    "  corrupt [off]           firmware served altered under the old MD5\n"
    "  cut N|off               firmware answers close after N more bytes\n"
    "  picture NAME SIZE [chunked]   a picture to download: its URL, MD5 and size\n"
    "  skills                  the device's last skill text, one skill a line\n"
    "  face add ID [FILE] [clear|missing]   a known face: its picture in the store (encrypted\n"
    "                          under a key of its own unless clear; missing: listed, never stored)\n"
    "  face list|remove ID     the known faces the device downloads (ipc.ai.face.db.get)\n"
    "  face sync add|update|delete [ID...]   face data changed (304; add/delete: the ids)\n"
    "  detect-content [picture|audio|video on|off]   what the detect storage takes (picture, video)\n"
    "  message N               notification N, a video message, opened: picture, video, audio (base64)\n"
    "  stream start [--streams MASK] [--out DIR]   a media gateway and the unit's \"wg\" request (312)\n"
    "  stream mask M|talk FILE.wav|stop|status   the newest gateway's commands and what it received\n"
    "  stream fault badsign|401|cmd60|len5000|badframe|badcipher|unknown|close|freeze|vanish|off   misbehaviour\n"
    "  cloud-storage mode alltime|event|none   what the storage configuration names; sent as 300\n"
    "  cloud-storage mtu N|key KEY   slice seconds of the restriction; the key the next start hands out\n"
    "  cloud-storage order ACTION [MODE] | trigger ACTION SECONDS [EXT]   protocol 300 / 307\n"
    "  cloud-storage list|events|fetch GROUP DIR   groups and slices, event reports, a group decrypted\n"
    "  help";

}  // namespace

std::string Pair()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    std::string tok = RandomText(8, kLowerAlnum);
    gState.tokens[tok] = Token{Now(), false};
    for (auto it = gState.tokens.begin(); it != gState.tokens.end();) {
        it = Now() - it->second.created > 7 * 86400 ? gState.tokens.erase(it) : std::next(it);
    }
    SaveStateNow();
    std::string full = "AY" + tok + RandomText(4, kLowerAlnum);
    Log("pair: token " + full);
    return full;
}

namespace {

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

}  // namespace

std::string RunCommand(const std::string& line)
{
    std::vector<std::string> w = Words(line);
    {
        // Outside the state lock: a talk lasts as long as its file.
        const bool at = !w.empty() && w[0].size() > 1 && w[0][0] == '@';
        std::string out;
        if (StreamCommand(std::vector<std::string>(w.begin() + (at ? 1 : 0), w.end()), at ? w[0].substr(1) : "", &out)) {
            return out;
        }
    }
    std::unique_lock<std::recursive_mutex> lock(gLock);
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
    if (std::string out; StorageCommand(w, &out)) {
        return out;
    }
    if (cmd == "pair") {
        return Pair();
    }
    if (std::string out; RunApiCommand(w, &out)) {
        return out;
    }
    if (std::string out; CloudStorageCommand(w, devId, &out)) {
        return out;
    }
    if (std::string out; FaceSkillCommand(w, devId, &out)) {
        return out;
    }
    if (std::string out; MessageCommand(w, devId, &out)) {
        return out;
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
    static const std::set<std::string> kDeviceCommands = {"reports", "state", "events", "dp", "query", "reset", "dst",
                                                          "upgrade", "send", "publish", "raw", "acl", "rtt",
                                                          "viewer-key", "notifications", "media-key", "arrivals"};
    if (kDeviceCommands.count(cmd) == 0) {
        return "unknown command: " + line + " (help lists them)";
    }
    Device* dev = FindDevice(devId);
    if (dev == nullptr) {
        return devId.empty() ? "no device activated yet" : "no device " + devId;
    }
    if (cmd == "viewer-key") {
        // What the owner's phone is given to prove its viewers to the unit; a reset device has none.
        if (dev->reset || dev->localKey.empty()) {
            return "error: " + dev->devId + " is not activated";
        }
        return dev->localKey;
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
    if (cmd == "state") {
        // Each data point's last reported value by its schema name.
        std::string out;
        for (const auto& [id, v] : dev->dps) {
            const DpDef* def = FindDp(id);
            out += (def != nullptr ? def->code : std::to_string(id)) + " = " + v.json + "\n";
        }
        return out.empty() ? "no reports" : out.substr(0, out.size() - 1);
    }
    if (cmd == "notifications") {
        std::string out;
        for (const auto& n : dev->notifications) {
            out += n + "\n";
        }
        return out.empty() ? "no notifications" : out.substr(0, out.size() - 1);
    }
    if (cmd == "media-key" && w.size() == 2) {
        dev->mediaKey = w[1];
        SaveStateNow();
        std::string out = "media key of " + dev->devId + " set (" + std::to_string(w[1].size()) + " characters)";
        Log(out);
        return out;
    }
    if (cmd == "media-key") {
        return dev->mediaKey.empty() ? "error: no media key handed out to " + dev->devId : dev->mediaKey;
    }
    if (cmd == "arrivals") {
        std::string out;
        for (const auto& a : dev->arrivals) {
            out += std::to_string(a.monoUs) + " protocol " + std::to_string(a.protocol) +
                   (a.dp >= 0 ? " dp " + std::to_string(a.dp) : std::string()) + " " + a.json + "\n";
        }
        return out.empty() ? "no arrivals" : out.substr(0, out.size() - 1);
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
        if (!notes.empty()) {
            Log("dp command" + notes);
        }
        return SendToDevice(dev, 5, data, true) + notes;
    }
    if (cmd == "rtt" && (w.size() == 3 || w.size() == 4)) {
        // One data point there and back: the command out, the device's report of the same value in.
        bool off = false;
        cJSON* value = PhoneValue(FindDp(std::atoi(w[1].c_str())), w[2], &off);
        std::string want = Print(value);
        int id = std::atoi(w[1].c_str());
        cJSON* data = cJSON_CreateObject();
        cJSON_AddItemToObject(cJSON_AddObjectToObject(data, "dps"), w[1].c_str(), value);
        uint64_t before = dev->heardCount;
        auto start = std::chrono::steady_clock::now();
        auto deadline = start + std::chrono::milliseconds(w.size() == 4 ? std::atoi(w[3].c_str()) : 5000);
        std::string sent = SendToDevice(dev, 5, data, false);
        if (sent.rfind("->", 0) != 0) {
            return sent;
        }
        std::chrono::steady_clock::time_point at;
        auto heard = [&] {
            uint64_t fresh = std::min<uint64_t>(dev->heardCount - before, dev->heard.size());
            for (size_t i = dev->heard.size() - fresh; i < dev->heard.size(); ++i) {
                if (dev->heard[i].dp == id && dev->heard[i].json == want) {
                    at = dev->heard[i].at;
                    return true;
                }
            }
            return false;
        };
        if (!gHeardCv.wait_until(lock, deadline, heard)) {
            return "rtt " + w[1] + " no report of " + want + " in time";
        }
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - start).count();
        return "rtt " + w[1] + " " + std::to_string(us) + " us";
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
    if (cmd == "acl" && w.size() == 3 && (w[1] == "read" || w[1] == "write")) {
        dev->acl.push_back("topic " + w[1] + " " + w[2]);
        if (!gBroker->SetAccount(dev->devId, dev->password, DeviceAcl(*dev))) {
            return "the broker's ACL could not be changed";
        }
        SaveState();
        std::string out = "acl " + dev->devId + " may " + w[1] + " " + w[2];
        Log(out);
        return out;
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
        if (pending.size() > 64 * 1024 && pending.find('\n') == std::string::npos) {
            Log("FIFO: a line over 64 KiB dropped");
            pending.clear();
        }
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

}  // namespace cloudsim
