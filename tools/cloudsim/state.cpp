#include "state.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace cloudsim {

namespace {

std::string Str(const cJSON* o, const char* key)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsString(v) ? v->valuestring : "";
}

double Num(const cJSON* o, const char* key)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsNumber(v) ? v->valuedouble : 0;
}

cJSON* StrList(const std::deque<std::string>& list)
{
    cJSON* a = cJSON_CreateArray();
    for (const auto& s : list) {
        cJSON_AddItemToArray(a, cJSON_CreateString(s.c_str()));
    }
    return a;
}

void ReadList(const cJSON* o, const char* key, std::deque<std::string>* list)
{
    const cJSON* a = cJSON_GetObjectItemCaseSensitive(o, key);
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, a)
    {
        if (cJSON_IsString(e)) {
            list->push_back(e->valuestring);
        }
    }
}

}  // namespace

void PushBounded(std::deque<std::string>* list, const std::string& item, size_t max)
{
    list->push_back(item);
    while (list->size() > max) {
        list->pop_front();
    }
}

bool State::Load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(ss.str().c_str()), cJSON_Delete);
    if (!root) {
        return false;
    }
    apiPort = static_cast<uint16_t>(Num(root.get(), "apiPort"));
    mqttPort = static_cast<uint16_t>(Num(root.get(), "mqttPort"));
    simPassword = Str(root.get(), "simPassword");
    current = Str(root.get(), "current");
    nextAck = static_cast<int>(Num(root.get(), "nextAck"));
    if (nextAck < 1) {
        nextAck = 1;
    }
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, cJSON_GetObjectItemCaseSensitive(root.get(), "tokens"))
    {
        tokens[e->string] = Token{static_cast<int64_t>(Num(e, "created")),
                                  cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(e, "used")) != 0};
    }
    cJSON_ArrayForEach(e, cJSON_GetObjectItemCaseSensitive(root.get(), "devices"))
    {
        Device d;
        d.devId = e->string;
        d.uuid = Str(e, "uuid");
        d.localKey = Str(e, "localKey");
        d.password = Str(e, "password");
        d.activated = static_cast<int64_t>(Num(e, "activated"));
        d.online = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(e, "online"));
        d.lastSeen = static_cast<int64_t>(Num(e, "lastSeen"));
        d.reset = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(e, "reset"));
        const cJSON* dp = nullptr;
        cJSON_ArrayForEach(dp, cJSON_GetObjectItemCaseSensitive(e, "dps"))
        {
            d.dps[std::atoi(dp->string)] =
                DpValue{Str(dp, "value"), static_cast<int64_t>(Num(dp, "t")), Str(dp, "problem")};
        }
        ReadList(e, "events", &d.events);
        ReadList(e, "progress", &d.progress);
        ReadList(e, "acks", &d.acks);
        ReadList(e, "acl", &d.acl);
        d.skill = Str(e, "skill");
        d.mediaKey = Str(e, "mediaKey");
        ReadList(e, "notifications", &d.notifications);
        devices[d.devId] = d;
    }
    return true;
}

std::string State::Text() const
{
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "apiPort", apiPort);
    cJSON_AddNumberToObject(root, "mqttPort", mqttPort);
    cJSON_AddStringToObject(root, "simPassword", simPassword.c_str());
    cJSON_AddStringToObject(root, "current", current.c_str());
    cJSON_AddNumberToObject(root, "nextAck", nextAck);
    cJSON* toks = cJSON_AddObjectToObject(root, "tokens");
    for (const auto& [tok, t] : tokens) {
        cJSON* o = cJSON_AddObjectToObject(toks, tok.c_str());
        cJSON_AddNumberToObject(o, "created", static_cast<double>(t.created));
        cJSON_AddBoolToObject(o, "used", t.used);
    }
    cJSON* devs = cJSON_AddObjectToObject(root, "devices");
    for (const auto& [id, d] : devices) {
        cJSON* o = cJSON_AddObjectToObject(devs, id.c_str());
        cJSON_AddStringToObject(o, "uuid", d.uuid.c_str());
        cJSON_AddStringToObject(o, "localKey", d.localKey.c_str());
        cJSON_AddStringToObject(o, "password", d.password.c_str());
        cJSON_AddNumberToObject(o, "activated", static_cast<double>(d.activated));
        cJSON_AddBoolToObject(o, "online", d.online);
        cJSON_AddNumberToObject(o, "lastSeen", static_cast<double>(d.lastSeen));
        cJSON_AddBoolToObject(o, "reset", d.reset);
        cJSON* dps = cJSON_AddObjectToObject(o, "dps");
        for (const auto& [dpId, v] : d.dps) {
            cJSON* x = cJSON_AddObjectToObject(dps, std::to_string(dpId).c_str());
            cJSON_AddStringToObject(x, "value", v.json.c_str());
            cJSON_AddNumberToObject(x, "t", static_cast<double>(v.t));
            if (!v.problem.empty()) {
                cJSON_AddStringToObject(x, "problem", v.problem.c_str());
            }
        }
        cJSON_AddItemToObject(o, "events", StrList(d.events));
        cJSON_AddItemToObject(o, "progress", StrList(d.progress));
        cJSON_AddItemToObject(o, "acks", StrList(d.acks));
        cJSON_AddItemToObject(o, "acl", StrList(d.acl));
        if (!d.skill.empty()) {
            cJSON_AddStringToObject(o, "skill", d.skill.c_str());
        }
        cJSON_AddStringToObject(o, "mediaKey", d.mediaKey.c_str());
        cJSON_AddItemToObject(o, "notifications", StrList(d.notifications));
    }
    char* printed = cJSON_Print(root);
    cJSON_Delete(root);
    std::string text = printed != nullptr ? printed : "";
    cJSON_free(printed);
    return text;
}

bool State::Write(const std::string& path, const std::string& text)
{
    // It holds every device's local and media keys: readable by its owner only.
    std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // An older state file left aside may have been made with wider rights.
    if (fd >= 0 && ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        return false;
    }
    FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (fd >= 0 && f == nullptr) {
        ::close(fd);
    }
    bool ok = f != nullptr;
    if (ok) {
        ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        ok = std::fclose(f) == 0 && ok;
    }
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool State::Save(const std::string& path) const
{
    return Write(path, Text());
}

}  // namespace cloudsim
