// The device's cloud API calls (time, tokens, storage notices, media key, skill, faces, upgrade
// status), failures armed by `fail`, and the firmware images and pictures the unit downloads.
#include "api_calls.h"

#include "faces.h"
#include "sim.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

namespace cloudsim {

namespace {

struct Fault {
    std::string what;  // code, missing, sign, 500, stall, slow
    std::string arg;   // the error code, the key or the milliseconds
};

struct Image {
    std::string bytes;
    std::string md5;
};

std::mutex sMutex;
std::map<std::string, Fault> sFaults;         // by the call's name without "noxa.device."
std::map<std::string, std::string> sMediaKey;  // of ids the state does not know (never activated)
std::map<std::string, Image> sImages;
std::map<std::string, std::pair<std::string, bool>> sPictures;  // bytes, chunked
// Read without sMutex by the MQTT side, which holds the state lock (taken after sMutex here).
std::atomic<int64_t> sClockOffset{0};
std::string sZone = "+01:00";
bool sCorrupt = false;
int64_t sCutLeft = -1;  // bytes still served before the cut; -1 none
int sFaceId = 100;

std::string Short(const std::string& a)
{
    const std::string prefix = "noxa.device.";
    return a.rfind(prefix, 0) == 0 ? a.substr(prefix.size()) : a;
}

std::string Text(const cJSON* body, const char* key)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(body, key);
    return cJSON_IsString(v) ? v->valuestring : "";
}

// An armed failure's refusal.
cJSON* Refuse(const std::string& code)
{
    return ApiRefusal(code, "injected " + code);
}

// The device's media key, drawn at its first secret call and kept in the state, so a restarted
// cloud hands out the key the device's pictures were made with. Takes the state lock, so it is
// called before sMutex (the commands take the two the other way round).
std::string MediaKeyOf(const std::string& devId)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    Device* d = FindDevice(devId);
    if (d == nullptr) {
        return "";
    }
    if (d->mediaKey.empty()) {
        d->mediaKey = RandomText(16, kAlnum);
        SaveStateNow();
    }
    return d->mediaKey;
}

// The result of one call, or NULL for a call the simulator does not know.
cJSON* Result(const std::string& name, const std::string& devId, const cJSON* body, std::string* line,
              const std::string& mediaKey)
{
    cJSON* r = cJSON_CreateObject();
    if (name == "time.get") {
        cJSON_AddNumberToObject(r, "time", static_cast<double>(CloudNow()));
        cJSON_AddStringToObject(r, "timeZone", sZone.c_str());
        *line = "time " + std::to_string(CloudNow()) + " zone " + sZone;
    } else if (name == "token.create") {
        std::string full = Pair();
        cJSON_AddStringToObject(r, "token", full.substr(2, 8).c_str());
        cJSON_AddStringToObject(r, "region", full.substr(0, 2).c_str());
        *line = "token " + full.substr(2, 8);
    } else if (name == "ipc.storage.secret.get") {
        std::string k = mediaKey;
        if (k.empty()) {
            std::string& kept = sMediaKey[devId];
            if (kept.empty()) {
                kept = RandomText(16, kAlnum);
            }
            k = kept;
        }
        cJSON_AddStringToObject(r, "encryptKey", k.c_str());
        *line = "media key " + Masked(k);
    } else if (name == "skill.update") {
        KeepSkill(devId, Text(body, "skill"));
        *line = "skill " + Text(body, "skill");
    } else if (name == "ipc.ai.face.signed.report") {
        *line = "signed face " + Text(body, "msg");
    } else if (name == "ipc.ai.face.new.report") {
        cJSON_AddStringToObject(r, "faceId", std::to_string(++sFaceId).c_str());
        *line = "new face " + std::to_string(sFaceId) + " " + Text(body, "msg");
    } else if (name == "upgrade.status.update") {
        *line = "upgrade status type " + std::to_string(cJSON_GetNumberValue(cJSON_GetObjectItem(body, "type"))) +
                " status " + std::to_string(cJSON_GetNumberValue(cJSON_GetObjectItem(body, "upgradeStatus"))) +
                " of " + Text(body, "devId");
    } else {
        cJSON_Delete(r);
        return nullptr;
    }
    return r;
}

}  // namespace

int64_t CloudNow()
{
    return Now() + sClockOffset.load();
}

cJSON* ApiArmedRefusal(const std::string& a, std::string* line)
{
    std::lock_guard<std::mutex> lock(sMutex);
    auto f = sFaults.find(Short(a));
    if (f == sFaults.end() || f->second.what != "code") {
        return nullptr;
    }
    *line += " (injected " + f->second.arg + ", not run)";
    return Refuse(f->second.arg);
}

cJSON* ApiInjected(const std::string& a, cJSON* answer, std::string* line)
{
    std::lock_guard<std::mutex> lock(sMutex);
    auto f = sFaults.find(Short(a));
    cJSON* result = cJSON_GetObjectItemCaseSensitive(answer, "result");
    if (f != sFaults.end() && f->second.what == "missing" && cJSON_IsObject(result)) {
        cJSON_DeleteItemFromObjectCaseSensitive(result, f->second.arg.c_str());
        *line += " (without " + f->second.arg + ")";
    }
    return answer;
}

cJSON* ApiCall(const std::string& a, const std::map<std::string, std::string>& q, const cJSON* body,
               std::string* line)
{
    std::string name = Short(a);
    auto dev = q.find("devId");
    const std::string devId = dev != q.end() ? dev->second : "";
    const std::string mediaKey = name == "ipc.storage.secret.get" ? MediaKeyOf(devId) : "";
    std::lock_guard<std::mutex> lock(sMutex);
    cJSON* r = Result(name, devId, body, line, mediaKey);
    if (r == nullptr) {
        return nullptr;
    }
    auto f = sFaults.find(name);
    if (f != sFaults.end() && f->second.what == "missing") {
        cJSON_DeleteItemFromObjectCaseSensitive(r, f->second.arg.c_str());
        *line += " (without " + f->second.arg + ")";
    }
    return ApiOk(r);
}

bool ApiFault(const std::string& a, const std::map<std::string, std::string>& q, const std::string& key,
              const cJSON* body, httplib::Response& res)
{
    Fault f;
    {
        std::lock_guard<std::mutex> lock(sMutex);
        auto it = sFaults.find(Short(a));
        if (it == sFaults.end() || it->second.what == "code" || it->second.what == "missing") {
            return false;
        }
        f = it->second;
    }
    Log("api " + a + ": injected " + f.what);
    if (f.what == "slow") {
        // The right answer, late.
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoll(f.arg.c_str()));
        while (std::chrono::steady_clock::now() < end && !gStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    if (f.what == "500") {
        res.status = 500;
        res.set_content("internal error", "text/plain");
    } else if (f.what == "stall") {
        // Longer than the unit waits for an answer; the simulator's end cuts it short.
        for (int i = 0; i < 150 && !gStop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        res.status = 504;
    } else {  // sign: the real answer under a sign that does not match
        std::string line;
        cJSON* inner = ApiCall(a, q, body, &line);
        res.set_content(SignedAnswer(key, inner != nullptr ? inner : Refuse("API_NOT_SUPPORTED"), true),
                        "application/json");
    }
    return true;
}

bool RunApiCommand(const std::vector<std::string>& w, std::string* out)
{
    if (w.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(sMutex);
    const std::string& cmd = w[0];
    if (cmd == "fail" && w.size() >= 3) {
        std::string name = Short(w[1]);
        const std::string& what = w[2];
        if (what == "ok") {
            sFaults.erase(name);
            *out = "fail " + name + " cleared";
        } else if ((what == "code" || what == "missing" || what == "slow") && w.size() == 4) {
            sFaults[name] = Fault{what, w[3]};
            *out = "fail " + name + " " + what + " " + w[3];
        } else if (what == "sign" || what == "500" || what == "stall") {
            sFaults[name] = Fault{what, ""};
            *out = "fail " + name + " " + what;
        } else {
            *out = "fail NAME code ERRORCODE|missing KEY|slow MS|sign|500|stall|ok";
        }
    } else if (cmd == "time" && w.size() == 3) {
        sClockOffset.store(std::atoll(w[1].c_str()) - Now());
        sZone = w[2];
        *out = "time " + w[1] + " zone " + sZone;
    } else if (cmd == "firmware" && w.size() == 3) {
        // Reproducible bytes per name and size.
        size_t size = static_cast<size_t>(std::atoll(w[2].c_str()));
        std::mt19937 gen(static_cast<uint32_t>(std::hash<std::string>()(w[1]) ^ size));
        Image img;
        img.bytes.resize(size);
        for (auto& c : img.bytes) {
            c = static_cast<char>(gen());
        }
        img.md5 = Md5Hex(img.bytes);
        sImages[w[1]] = img;
        sCorrupt = false;
        sCutLeft = -1;
        *out = "https://" + std::string(kApiHost) + ":" + std::to_string(gState.apiPort) + "/fw/" + w[1] + " " +
               img.md5 + " " + std::to_string(size);
    } else if (cmd == "corrupt" && w.size() <= 2) {
        sCorrupt = w.size() == 1 || w[1] != "off";
        *out = std::string("corrupt ") + (sCorrupt ? "on" : "off");
    } else if (cmd == "cut" && w.size() == 2) {
        sCutLeft = w[1] == "off" ? -1 : std::atoll(w[1].c_str());
        *out = "cut " + w[1];
    } else if (cmd == "picture" && (w.size() == 3 || w.size() == 4)) {
        size_t size = static_cast<size_t>(std::atoll(w[2].c_str()));
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>(i * 7 + 3);
        }
        sPictures[w[1]] = {bytes, w.size() == 4 && w[3] == "chunked"};
        *out = "https://" + std::string(kApiHost) + ":" + std::to_string(gState.apiPort) + "/pic/" + w[1] + " " +
               Md5Hex(bytes) + " " + std::to_string(size);
    } else {
        return false;
    }
    Log(*out);
    return true;
}

void RegisterApiRoutes(httplib::Server& svr)
{
    svr.Get(R"(/fw/([A-Za-z0-9_.-]+))", [](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(sMutex);
        auto it = sImages.find(req.matches[1]);
        if (it == sImages.end()) {
            res.status = 404;
            return;
        }
        auto bytes = std::make_shared<std::string>(it->second.bytes);
        if (sCorrupt) {
            for (size_t i = 0; i < bytes->size(); i += 4096) {
                (*bytes)[i] = static_cast<char>((*bytes)[i] ^ 0x5a);
            }
        }
        Log("firmware " + std::string(req.matches[1]) + " " + req.get_header_value("Range"));
        // Ranges are cut out by the server library from the offsets it hands in.
        res.set_content_provider(bytes->size(), "application/octet-stream",
                                 [bytes](size_t offset, size_t length, httplib::DataSink& sink) {
                                     size_t n = std::min<size_t>(length, 8192);
                                     std::lock_guard<std::mutex> l(sMutex);
                                     if (sCutLeft >= 0) {
                                         if (sCutLeft == 0) {
                                             Log("firmware cut");
                                             return false;
                                         }
                                         n = std::min<size_t>(n, static_cast<size_t>(sCutLeft));
                                         sCutLeft -= static_cast<int64_t>(n);
                                     }
                                     sink.write(bytes->data() + offset, n);
                                     return true;
                                 });
    });
    svr.Get(R"(/pic/([A-Za-z0-9_.-]+))", [](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(sMutex);
        auto it = sPictures.find(req.matches[1]);
        if (it == sPictures.end()) {
            res.status = 404;
            return;
        }
        if (!it->second.second) {
            res.set_content(it->second.first, "image/jpeg");
            return;
        }
        auto bytes = std::make_shared<std::string>(it->second.first);
        auto at = std::make_shared<size_t>(0);
        res.set_chunked_content_provider("image/jpeg", [bytes, at](size_t, httplib::DataSink& sink) {
            size_t n = std::min<size_t>(bytes->size() - *at, 16384);
            if (n == 0) {
                sink.done();
                return true;
            }
            sink.write(bytes->data() + *at, n);
            *at += n;
            return true;
        });
    });
}

}  // namespace cloudsim
