// The cloud HTTPS API as a device calls it (signed query, encrypted body and answer), and the
// activation it serves.
#include "../../src/noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "api_calls.h"
#include "schema.h"
#include "storage.h"
#include "cloud_storage.h"
#include "faces.h"
#include "sim.h"

#include <httplib.h>

#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

namespace cloudsim {

namespace {

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

}  // namespace

std::string BrokerUrl()
{
    return std::string("ssl://") + kMqttHost + ":" + std::to_string(gState.mqttPort);
}

std::string ApiUrl()
{
    return std::string("https://") + kApiHost + ":" + std::to_string(gState.apiPort) + NOXA_CLOUD_API_PATH;
}

namespace {

cJSON* Activate(const std::string& uuid, const cJSON* body, std::string* logLine)
{
    auto text = [&](const char* key) {
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(body, key);
        return std::string(cJSON_IsString(v) ? v->valuestring : "");
    };
    std::string token = text("token");
    *logLine = "activate uuid " + uuid + " token " + token + " softVer " + text("softVer");
    if (text("productKey") != NOXA_CLOUD_PRODUCT_KEY) {
        return ApiRefusal("PRODUCT_KEY_INVALID", "unknown product key \"" + text("productKey") + "\"");
    }
    if (text("uuid") != uuid) {
        return ApiRefusal("UUID_MISMATCH", "the body's uuid is not the request's");
    }
    std::string devId;
    std::string localKey = RandomText(16, kAlnum);
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        auto tok = gState.tokens.find(token);
        if (tok == gState.tokens.end() || tok->second.used) {
            return ApiRefusal("TOKEN_INVALID", tok == gState.tokens.end() ? "unknown token" : "token already used");
        }
        if (Now() - tok->second.created > kTokenLifetime) {
            return ApiRefusal("TOKEN_EXPIRED", "token older than 10 minutes");
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
        if (!gBroker->SetAccount(devId, d.password, DeviceAcl(d))) {
            Log("error: cannot add the broker account of " + devId);
        }
        SaveStateNow();
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
    return ApiOk(r);
}

}  // namespace

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
        res.set_content(SignedAnswer(keys[0], ApiRefusal("SIGN_INVALID", "sign mismatch")), "application/json");
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
        res.set_content(SignedAnswer(key, ApiRefusal("DATA_INVALID", "body not readable: " + why)), "application/json");
        return;
    }
    Log(head + who + " body " + plain);
    if (ApiFault(a, q, key, body.get(), res)) {
        return;
    }
    cJSON* inner = nullptr;
    std::string line;
    const bool activation = a == "noxa.device.active" && q.count("uuid") != 0;
    line = activation ? "activate uuid " + q["uuid"] : "call";
    // An armed refusal answers before the call acts (an activation's token stays unused); a missing
    // key is taken out of a call that took place.
    if ((inner = ApiArmedRefusal(a, &line)) != nullptr) {
    } else if (activation) {
        inner = ApiInjected(a, Activate(q["uuid"], body.get(), &line), &line);
    } else if (CloudStorageApi(a, q["devId"], body.get(), &inner, &line) ||
               StorageApi(a, q["devId"], body.get(), &inner, &line)) {
        inner = ApiInjected(a, inner, &line);
    } else if (FaceApi(a, q["devId"], body.get(), &inner, &line)) {
    } else if ((inner = ApiCall(a, q, body.get(), &line)) == nullptr) {
        inner = ApiRefusal("API_NOT_SUPPORTED", "the simulator does not serve " + a);
        line = "not served";
    }
    const cJSON* ok = cJSON_GetObjectItemCaseSensitive(inner, "success");
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(inner, "errorCode");
    Log(head + line + (cJSON_IsTrue(ok) ? ": ok" : std::string(": refused ") + (cJSON_IsString(code) ? code->valuestring : "")));
    res.set_content(SignedAnswer(key, inner), "application/json");
}

}  // namespace cloudsim
