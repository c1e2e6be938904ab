#include "cloud_storage.h"

#include "../../src/noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "sim.h"
#include "storage.h"

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

namespace cloudsim {

namespace {

constexpr const char* kMediaBucket = "noxa-media";
constexpr size_t kRecordHead = 24;

struct Group {
    int64_t start = 0;
    int64_t end = -1;  // -1 while open
    std::string key;   // the 16 characters its frames are encrypted under
    std::string md5;   // what the unit sent last
    std::string payload;
    int mtu = 0;
    int starts = 0;
};

struct CsDevice {
    std::string mode = "event";
    std::string key;  // as handed out (a test may hand out any length)
    std::vector<Group> groups;
    std::vector<std::string> events;
};

std::mutex sLock;
std::map<std::string, CsDevice> sDevices;
int sMtu = 10;

CsDevice& Dev(const std::string& devId)
{
    return sDevices[devId];
}

std::string Key16(const std::string& key)
{
    return key.substr(0, 16);
}

Group* FindGroup(CsDevice& d, int64_t start)
{
    for (Group& g : d.groups) {
        if (g.start == start) {
            return &g;
        }
    }
    return nullptr;
}

int64_t Number(const cJSON* body, const char* key)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(body, key);
    return cJSON_IsNumber(v) ? static_cast<int64_t>(v->valuedouble) : -1;
}

std::string Text(const cJSON* body, const char* key)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(body, key);
    return cJSON_IsString(v) ? v->valuestring : "";
}

uint32_t Le32(const std::string& b, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    }
    return v;
}

uint64_t Le64(const std::string& b, size_t at)
{
    return Le32(b, at) | (static_cast<uint64_t>(Le32(b, at + 4)) << 32);
}

std::string SlicePrefix(const std::string& devId, int64_t start)
{
    return devId + "/media/" + std::to_string(start) + "_";
}

std::string ListGroups(const std::string& devId, const CsDevice& d)
{
    std::string out;
    for (const Group& g : d.groups) {
        out += "group " + std::to_string(g.start) + " end " + (g.end < 0 ? std::string("open") : std::to_string(g.end)) +
               " starts " + std::to_string(g.starts) + " mtu " + std::to_string(g.mtu) + " md5 " + g.md5 + "\n";
        std::vector<std::string> keys;
        std::string err;
        if (!StoreList(kMediaBucket, SlicePrefix(devId, g.start), &keys, &err)) {
            out += "  error: " + err + "\n";
            continue;
        }
        for (const std::string& k : keys) {
            out += "  " + k.substr(k.rfind('/') + 1) + "\n";
        }
    }
    return out.empty() ? "no groups" : out.substr(0, out.size() - 1);
}

// Every slice of the group split into records; key and audio frames decrypted; the video into
// DIR/video.h264 and the audio into DIR/audio.pcm. One line per slice, then the totals.
std::string Fetch(const std::string& devId, const Group& g, const std::string& dir)
{
    std::vector<std::string> keys;
    std::string err;
    if (!StoreList(kMediaBucket, SlicePrefix(devId, g.start), &keys, &err)) {
        return "error: list: " + err;
    }
    if (keys.empty()) {
        return "error: no slices of group " + std::to_string(g.start);
    }
    std::ofstream video(dir + "/video.h264", std::ios::binary | std::ios::trunc);
    std::ofstream audio(dir + "/audio.pcm", std::ios::binary | std::ios::trunc);
    if (!video || !audio) {
        return "error: cannot write into " + dir;
    }
    std::string out;
    size_t vFrames = 0;
    size_t keyFrames = 0;
    size_t aFrames = 0;
    size_t aBytes = 0;
    uint64_t firstMs = 0;
    uint64_t lastMs = 0;
    for (const std::string& k : keys) {
        std::string bytes;
        if (!StoreGet(kMediaBucket, k, &bytes, &err)) {
            return out + "error: get " + k + ": " + err;
        }
        const std::string name = k.substr(k.rfind('/') + 1);
        size_t at = 0;
        size_t records = 0;
        size_t v = 0;
        size_t a = 0;
        int first = -1;
        while (at < bytes.size()) {
            if (bytes.size() - at < kRecordHead) {
                return out + "error: " + name + ": a cut record head at " + std::to_string(at);
            }
            const uint32_t type = Le32(bytes, at);
            const uint32_t size = Le32(bytes, at + 4);
            const uint64_t ms = Le64(bytes, at + 8);
            if (size > bytes.size() - at - kRecordHead) {
                return out + "error: " + name + ": record at " + std::to_string(at) + " runs past the end";
            }
            std::string data = bytes.substr(at + kRecordHead, size);
            if (type == 1 || type == 3) {
                std::string plain;
                if (!AesCbcDecrypt(g.key, NOXA_CLOUD_STORAGE_IV, data, &plain)) {
                    return out + "error: " + name + ": record at " + std::to_string(at) + " does not decrypt";
                }
                data.swap(plain);
            } else if (type != 0) {
                return out + "error: " + name + ": record type " + std::to_string(type);
            }
            if (first < 0) {
                first = static_cast<int>(type);
            }
            if (firstMs == 0) {
                firstMs = ms;
            }
            lastMs = ms;
            if (type == 3) {
                audio.write(data.data(), static_cast<std::streamsize>(data.size()));
                ++a;
                aBytes += data.size();
            } else {
                video.write(data.data(), static_cast<std::streamsize>(data.size()));
                ++v;
                keyFrames += type == 1 ? 1 : 0;
            }
            ++records;
            at += kRecordHead + size;
        }
        vFrames += v;
        aFrames += a;
        out += "slice " + name + " records " + std::to_string(records) + " first " + std::to_string(first) + " video " +
               std::to_string(v) + " audio " + std::to_string(a) + "\n";
    }
    out += "group " + std::to_string(g.start) + " slices " + std::to_string(keys.size()) + " video " +
           std::to_string(vFrames) + " key " + std::to_string(keyFrames) + " audio " + std::to_string(aFrames) +
           " bytes " + std::to_string(aBytes) + " ms " + std::to_string(firstMs) + ".." + std::to_string(lastMs);
    return out;
}

cJSON* Order(const std::string& action, const std::string& mode)
{
    cJSON* data = cJSON_CreateObject();
    cJSON_AddStringToObject(data, "action", action.c_str());
    if (!mode.empty()) {
        cJSON_AddStringToObject(data, "storeMode", mode.c_str());
    }
    return data;
}

const char* kUsage =
    "cloud-storage mode alltime|event|none | mtu N | key KEY | order ACTION [MODE] | trigger ACTION SECONDS [EXT] "
    "| list | events | fetch GROUP DIR";

}  // namespace

std::string CloudStorageMode(const std::string& devId)
{
    std::lock_guard<std::mutex> lock(sLock);
    return Dev(devId).mode;
}

int CloudStorageMtu()
{
    std::lock_guard<std::mutex> lock(sLock);
    return sMtu;
}

bool CloudStorageApi(const std::string& api, const std::string& devId, const cJSON* body, cJSON** inner,
                     std::string* line)
{
    const std::string prefix = "noxa.device.ipc.media.storage.";
    if (api.rfind(prefix, 0) != 0) {
        return false;
    }
    const std::string name = api.substr(prefix.size());
    std::lock_guard<std::mutex> lock(sLock);
    CsDevice& d = Dev(devId);
    if (name == "notify.upload.start") {
        const int64_t start = Number(body, "startTime");
        const std::string md5 = Text(body, "enKeyMd5");
        if (d.key.empty()) {
            d.key = RandomText(16, kAlnum);
        }
        // The unit keeps the first 16 characters of what it is handed.
        const bool need = md5 != Md5Hex(Key16(d.key));
        Group* g = FindGroup(d, start);
        if (g == nullptr) {
            d.groups.push_back(Group{});
            g = &d.groups.back();
            g->start = start;
        }
        g->key = Key16(d.key);
        g->md5 = md5;
        g->payload = Text(body, "payloadInfo");
        g->mtu = static_cast<int>(Number(body, "mtu"));
        ++g->starts;
        cJSON* r = cJSON_CreateObject();
        cJSON_AddBoolToObject(r, "needUpdate", need);
        if (need) {
            cJSON_AddStringToObject(r, "encryptKey", d.key.c_str());
        }
        *inner = ApiOk(r);
        *line = "upload start " + std::to_string(start) + (need ? " needUpdate, key " + Masked(d.key) : "");
        return true;
    }
    if (name == "notify.upload.stop") {
        const int64_t start = Number(body, "startTime");
        Group* g = FindGroup(d, start);
        if (g != nullptr) {
            g->end = Number(body, "endTime");
        }
        *inner = ApiOk(nullptr);
        *line = "cloud storage stop " + std::to_string(start) + ".." + std::to_string(Number(body, "endTime")) +
                (g == nullptr ? " (no such group)" : "");
        return true;
    }
    if (name == "report.event") {
        cJSON* copy = cJSON_Duplicate(body, true);
        cJSON_DeleteItemFromObjectCaseSensitive(copy, "devId");
        d.events.push_back(Stamp(Now()) + " " + Print(copy));
        cJSON_Delete(copy);
        *inner = ApiOk(nullptr);
        *line = "cloud storage event " + d.events.back();
        return true;
    }
    return false;
}

bool CloudStorageCommand(const std::vector<std::string>& w, const std::string& devId, std::string* out)
{
    if (w.empty() || w[0] != "cloud-storage") {
        return false;
    }
    if (w.size() < 2) {
        *out = kUsage;
        return true;
    }
    const std::string& what = w[1];
    if (what == "mtu" && w.size() == 3) {
        std::lock_guard<std::mutex> lock(sLock);
        sMtu = std::atoi(w[2].c_str());
        *out = "storage restriction mtu " + std::to_string(sMtu);
        return true;
    }
    Device* dev = FindDevice(devId);
    if (dev == nullptr) {
        *out = devId.empty() ? "no device activated yet" : "no device " + devId;
        return true;
    }
    std::unique_lock<std::mutex> lock(sLock);
    CsDevice& d = Dev(devId);
    if (what == "mode" && w.size() == 3 && (w[2] == "alltime" || w[2] == "event" || w[2] == "none")) {
        d.mode = w[2];
        lock.unlock();
        // As a cloud tells a unit of a new plan: a store order with the mode, or an abort.
        *out = "mode " + w[2] + "; " +
               SendToDevice(dev, 300, w[2] == "none" ? Order("abort", "") : Order("store", w[2]), false);
    } else if (what == "key" && w.size() == 3) {
        d.key = w[2];
        *out = "the next start hands out key " + Masked(d.key) + " (" + std::to_string(d.key.size()) + " characters)";
    } else if (what == "order" && (w.size() == 3 || w.size() == 4)) {
        lock.unlock();
        *out = SendToDevice(dev, 300, Order(w[2], w.size() == 4 ? w[3] : ""), false);
    } else if (what == "trigger" && (w.size() == 4 || w.size() == 5)) {
        cJSON* data = cJSON_CreateObject();
        cJSON_AddStringToObject(data, "action", w[2].c_str());
        cJSON_AddNumberToObject(data, "duration", std::atof(w[3].c_str()));
        cJSON* ext = w.size() == 5 ? cJSON_Parse(w[4].c_str()) : cJSON_CreateObject();
        cJSON_AddItemToObject(data, "ext", ext != nullptr ? ext : cJSON_CreateString(w[4].c_str()));
        lock.unlock();
        *out = SendToDevice(dev, 307, data, false);
    } else if (what == "list") {
        CsDevice copy = d;
        lock.unlock();
        *out = ListGroups(devId, copy);
    } else if (what == "events") {
        std::string text;
        for (const std::string& e : d.events) {
            text += e + "\n";
        }
        *out = text.empty() ? "no events" : text.substr(0, text.size() - 1);
    } else if (what == "fetch" && w.size() == 4) {
        Group* g = FindGroup(d, std::atoll(w[2].c_str()));
        if (g == nullptr) {
            *out = "error: no group " + w[2];
            return true;
        }
        Group copy = *g;
        lock.unlock();
        *out = Fetch(devId, copy, w[3]);
    } else {
        *out = kUsage;
    }
    return true;
}

}  // namespace cloudsim
