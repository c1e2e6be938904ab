#include "faces.h"

#include "api_calls.h"
#include "sim.h"
#include "storage.h"


#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace cloudsim {

namespace {

constexpr const char* kFaceBucket = "noxa-face";
constexpr size_t kPicHeadLen = 64;

struct Acquaintance {
    int id = 0;
    std::string url;
    bool encrypted = true;
    std::string key;  // the 16 characters the picture is encrypted under
};

std::mutex sFaceLock;
std::map<std::string, std::map<int, Acquaintance>> sFaces;  // by device id, then face id

void Put32(std::string* out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<char>((v >> shift) & 0xFF));
    }
}

// The device's picture format, written apart from the unit's: "NXPC", version 1, the IV, the
// plain length (big-endian), 36 zero bytes, then AES-128-CBC with PKCS#7 padding.
bool EncryptPicture(const std::string& plain, const std::string& key, const std::string& iv, std::string* out)
{
    const std::string cipher = AesCbcEncrypt(key, iv, plain);
    if (cipher.empty()) {
        return false;
    }
    out->assign("NXPC");
    Put32(out, 1);
    out->append(iv);
    Put32(out, static_cast<uint32_t>(plain.size()));
    out->append(kPicHeadLen - out->size(), '\0');
    out->append(cipher);
    return true;
}

// A face picture: the file's bytes, or reproducible bytes of the id.
std::string PictureBytes(int id, const std::string& file, std::string* why)
{
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            *why = "cannot read " + file;
            return "";
        }
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string bytes(2000 + static_cast<size_t>(id % 97), '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 31 + static_cast<size_t>(id) * 7 + 5) & 0xFF);
    }
    return bytes;
}

std::string FaceAdd(Device* dev, const std::vector<std::string>& w)
{
    // face add ID [FILE] [clear|missing]
    const std::string usage = "face add ID [FILE] [clear|missing]";
    if (w.size() < 3 || w.size() > 5 || w[2].empty() || w[2].find_first_not_of("0123456789") != std::string::npos ||
        w[2].size() > 9) {
        return usage;
    }
    const int id = std::atoi(w[2].c_str());
    std::string file;
    bool clear = false;
    bool missing = false;
    for (size_t i = 3; i < w.size(); ++i) {
        if (w[i] == "clear") {
            clear = true;
        } else if (w[i] == "missing") {
            missing = true;
        } else if (file.empty()) {
            file = w[i];
        } else {
            return usage;
        }
    }
    std::string why;
    const std::string plain = PictureBytes(id, file, &why);
    if (!why.empty()) {
        return "error: " + why;
    }
    Acquaintance a;
    a.id = id;
    a.encrypted = !clear;
    std::string stored = plain;
    if (a.encrypted) {
        a.key = RandomText(16, kAlnum);
        if (!EncryptPicture(plain, a.key, RandomText(16, "0123456789abcdef"), &stored)) {
            return "error: the picture was not encrypted";
        }
    }
    const std::string object = dev->devId + "/acquaintance/" + std::to_string(id) + ".jpg";
    // "missing": listed, but never put in the store (a download that fails).
    if (!missing) {
        std::string err = StorePut(kFaceBucket, object, stored);
        if (!err.empty()) {
            return "error: " + err;
        }
    }
    a.url = StoreGetUrl(kFaceBucket, object);
    if (a.url.empty()) {
        return "error: the stores do not run";
    }
    {
        std::lock_guard<std::mutex> lock(sFaceLock);
        sFaces[dev->devId][id] = a;
    }
    std::string out = "face " + std::to_string(id) + " " + kFaceBucket + "/" + object + " " + Md5Hex(plain) + " " +
                      std::to_string(plain.size()) + (a.encrypted ? " encrypted" : " clear") +
                      (missing ? " (not in the store)" : "");
    Log(out);
    return out;
}

// "key value" a line: texts as they are, numbers as numbers, arrays and objects as JSON.
std::string SkillLines(const std::string& text)
{
    Json j = Parse(text);
    if (!cJSON_IsObject(j.get())) {
        return "skill text is no JSON object: " + text;
    }
    std::string out;
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, j.get())
    {
        out += std::string(e->string) + " " + (cJSON_IsString(e) ? std::string(e->valuestring) : Print(e)) + "\n";
    }
    return out.empty() ? "no skills in " + text : out.substr(0, out.size() - 1);
}

}  // namespace

bool FaceApi(const std::string& api, const std::string& devId, const cJSON*, cJSON** inner, std::string* line)
{
    const std::string who = devId.empty() ? "device" : devId;
    if (api == "noxa.device.ipc.ai.face.storage.config.get") {
        cJSON* r = cJSON_CreateObject();
        if (!StoreConfig(r, kFaceBucket)) {
            cJSON_Delete(r);
            *inner = ApiRefusal("STORAGE_DOWN", "the object stores do not run");
            *line = "stores down";
            return true;
        }
        cJSON_AddStringToObject(r, "mode", "face");
        cJSON_AddStringToObject(cJSON_AddObjectToObject(r, "pathConfig"), "face", (who + "/face").c_str());
        const cJSON* provider = cJSON_GetObjectItemCaseSensitive(r, "provider");
        *line = std::string("face storage config ") + (cJSON_IsString(provider) ? provider->valuestring : "");
        *inner = ApiInjected(api, ApiOk(r), line);
        return true;
    }
    if (api == "noxa.device.ipc.ai.face.db.get") {
        cJSON* r = cJSON_CreateObject();
        cJSON* list = cJSON_AddArrayToObject(r, "acquaintance");
        std::lock_guard<std::mutex> lock(sFaceLock);
        for (const auto& [id, a] : sFaces[devId]) {
            cJSON* e = cJSON_CreateObject();
            cJSON_AddStringToObject(e, "path", a.url.c_str());
            cJSON_AddNumberToObject(e, "id", id);
            cJSON_AddBoolToObject(e, "encryption", a.encrypted);
            cJSON_AddStringToObject(e, "key", a.key.c_str());
            cJSON_AddItemToArray(list, e);
        }
        *line = "faces " + std::to_string(cJSON_GetArraySize(list));
        *inner = ApiInjected(api, ApiOk(r), line);
        return true;
    }
    return false;
}

void KeepSkill(const std::string& devId, const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    Device* dev = FindDevice(devId);
    if (dev != nullptr) {
        dev->skill = text;
        SaveState();
    }
}

bool FaceSkillCommand(const std::vector<std::string>& w, const std::string& devId, std::string* out)
{
    if (w.empty() || (w[0] != "skills" && w[0] != "face")) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(gLock);
    Device* dev = FindDevice(devId);
    if (dev == nullptr) {
        *out = devId.empty() ? "no device activated yet" : "no device " + devId;
        return true;
    }
    if (w[0] == "skills") {
        *out = dev->skill.empty() ? "no skills reported" : SkillLines(dev->skill);
        return true;
    }
    const std::string sub = w.size() >= 2 ? w[1] : "";
    if (sub == "add") {
        *out = FaceAdd(dev, w);
    } else if (sub == "list") {
        std::lock_guard<std::mutex> l(sFaceLock);
        for (const auto& [id, a] : sFaces[dev->devId]) {
            *out += std::to_string(id) + (a.encrypted ? " encrypted " : " clear ") + a.url + "\n";
        }
        *out = out->empty() ? "no faces" : out->substr(0, out->size() - 1);
    } else if (sub == "remove" && w.size() == 3) {
        std::lock_guard<std::mutex> l(sFaceLock);
        const bool gone = sFaces[dev->devId].erase(std::atoi(w[2].c_str())) != 0;
        *out = gone ? "face " + w[2] + " removed" : "no face " + w[2];
    } else if (sub == "sync" && w.size() >= 3) {
        // Protocol 304: the face data of the device changed; "add" and "delete" name the ids.
        cJSON* data = cJSON_CreateObject();
        cJSON_AddStringToObject(data, "action", w[2].c_str());
        cJSON* ids = cJSON_AddArrayToObject(data, "faceIds");
        if (w.size() == 3 && w[2] != "update") {
            std::lock_guard<std::mutex> l(sFaceLock);
            for (const auto& [id, a] : sFaces[dev->devId]) {
                cJSON_AddItemToArray(ids, cJSON_CreateNumber(id));
            }
        }
        for (size_t i = 3; i < w.size(); ++i) {
            cJSON_AddItemToArray(ids, cJSON_CreateNumber(std::atoi(w[i].c_str())));
        }
        *out = SendToDevice(dev, 304, data, false);
    } else {
        *out = "face add ID [FILE] [clear|missing] | list | remove ID | sync add|update|delete [ID...]";
    }
    return true;
}

}  // namespace cloudsim
