#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_middleware/httpc/http_inf.h"
#include "noxa_middleware/tls/noxa_tls.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mbedtls/md.h>
#include <mbedtls/sha256.h>
#include <memory>

namespace {

constexpr int kCaTries = 3;
constexpr const char* kAzureVersion = "2021-08-06";

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

void HmacSha256(const std::string& key, const std::string& msg, uint8_t out[32])
{
    mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), reinterpret_cast<const uint8_t*>(key.data()),
                    key.size(), reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), out);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

// Spaces around a value dropped, runs inside it made one.
std::string TrimAll(const std::string& v)
{
    std::string out;
    bool space = false;
    for (char c : v) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            space = !out.empty();
            continue;
        }
        if (space) {
            out += ' ';
            space = false;
        }
        out += c;
    }
    return out;
}

// A number of the reply that a cast may take: finite and within [lo, hi].
bool NumberIn(const cJSON* item, double lo, double hi)
{
    return cJSON_IsNumber(item) && std::isfinite(item->valuedouble) && item->valuedouble >= lo &&
           item->valuedouble <= hi;
}

// Copies a text member of the reply; false when it is missing or no text. A longer value is
// refused rather than cut (a cut key or path would upload to the wrong place).
bool TakeText(const cJSON* obj, const char* key, char* dst, size_t size, bool required = true)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (!cJSON_IsString(v)) {
        if (required) {
            PR_ERR("storage config lacks %s", key);
        }
        dst[0] = '\0';
        return !required;
    }
    size_t n = strlen(v->valuestring);
    if (n >= size) {
        PR_ERR("storage config %s too long: %u", key, static_cast<unsigned>(n));
        dst[0] = '\0';
        return false;
    }
    memcpy(dst, v->valuestring, n + 1);
    return true;
}

int PostForObject(const char* api, const char* body, JsonPtr* out)
{
    cJSON* result = nullptr;
    int ret = iot_httpc_common_post(api, "1.0", body, &result);
    out->reset(result);
    if (ret != UNI_OK) {
        return ret;
    }
    if (!cJSON_IsObject(result)) {
        PR_ERR("%s: reply is no object", api);
        return CLOUD_ERR_KEY_MISSING;
    }
    return UNI_OK;
}

std::string DevBody(int kind)
{
    std::string devId = get_gw_cntl()->devId;
    return "{\"devId\":\"" + devId + "\",\"type\":" + std::to_string(kind) + "}";
}

// The host part of a URL ("https://h:p/x", "h:p", "h/x"): the key of its stored certificate.
std::string HostOf(const char* url)
{
    std::string s = url;
    size_t scheme = s.find("://");
    if (scheme != std::string::npos) {
        s = s.substr(scheme + 3);
    }
    s = s.substr(0, s.find_first_of("/?"));
    size_t colon = s.rfind(':');
    if (colon != std::string::npos) {
        s = s.substr(0, colon);
    }
    return s;
}

struct PutTarget {
    const char* provider;
    const char* ak;
    const char* sk;
    const char* bucket;
    const char* endpoint;
    const char* region;
    const char* token;
    const char* dir;
};

struct PutHeaders {
    std::vector<std::pair<std::string, std::string>> lines;
};

int AddPutHeaders(HTTP_SESSION_H session, void* data)
{
    for (const auto& [name, value] : static_cast<PutHeaders*>(data)->lines) {
        int ret = http_add_header(session, name.c_str(), value.c_str());
        if (ret != 0) {
            return ret;
        }
    }
    return 0;
}

struct StoreAnswer {
    uint32_t status = 0;
};

int ReadStoreAnswer(HTTP_RESP_S* resp)
{
    auto* ans = static_cast<StoreAnswer*>(resp->user_data);
    ans->status = resp->status_code;
    // The session hands out the content of a 200 answer only; an empty one ends the request.
    bool content = resp->status_code == 200 && (resp->chunked != 0 || resp->content_len != 0);
    uint8_t buf[512];
    while (content) {
        int n = resp->read_content(resp->session, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
    }
    // S3 answers 200, Azure 201.
    return resp->status_code / 100 == 2 ? UNI_OK : UNI_COM_ERROR;
}

std::string AmzDate(TIME_T now)
{
    time_t t = now;
    tm tmv{};
    gmtime_r(&t, &tmv);
    char buf[20];
    strftime(buf, sizeof(buf), "%Y%m%dT%H%M%SZ", &tmv);
    return buf;
}

std::string JoinPath(const char* dir, const char* name)
{
    std::string path = dir != nullptr ? dir : "";
    while (!path.empty() && path.front() == '/') {
        path.erase(0, 1);
    }
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path + name;
}

}  // namespace

std::string cloud_uri_encode(const std::string& text, bool keep_slash)
{
    return iot_url_encode(text, keep_slash);
}

std::string cloud_sha256_hex(const uint8_t* data, size_t len)
{
    uint8_t digest[32];
    mbedtls_sha256_ret(data, len, digest, 0);
    return iot_hex_lower(digest, sizeof(digest));
}

std::string cloud_sigv4_authorization(const CLOUD_SIGV4_REQ_S& req, std::string* canonical, std::string* to_sign)
{
    std::vector<std::pair<std::string, std::string>> query;
    query.reserve(req.query.size());
    for (const auto& [k, v] : req.query) {
        query.emplace_back(cloud_uri_encode(k, false), cloud_uri_encode(v, false));
    }
    std::sort(query.begin(), query.end());
    // Names are lower case and sorted; a name given twice has its values joined by commas.
    std::vector<std::pair<std::string, std::string>> headers;
    headers.emplace_back("host", TrimAll(req.host));
    for (const auto& [k, v] : req.headers) {
        headers.emplace_back(Lower(k), TrimAll(v));
    }
    std::stable_sort(headers.begin(), headers.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string cr = req.method + "\n";
    std::string path = req.path.empty() || req.path[0] != '/' ? "/" + req.path : req.path;
    cr += cloud_uri_encode(path, true) + "\n";
    for (size_t i = 0; i < query.size(); ++i) {
        cr += (i != 0 ? "&" : "") + query[i].first + "=" + query[i].second;
    }
    cr += "\n";
    std::string signedHeaders;
    for (size_t i = 0; i < headers.size(); ++i) {
        if (i != 0 && headers[i].first == headers[i - 1].first) {
            cr.insert(cr.size() - 1, "," + headers[i].second);
            continue;
        }
        cr += headers[i].first + ":" + headers[i].second + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + headers[i].first;
    }
    cr += "\n" + signedHeaders + "\n" + req.payload_hash;
    std::string day = req.amz_date.substr(0, 8);
    std::string scope = day + "/" + req.region + "/" + req.service + "/aws4_request";
    std::string sts = "AWS4-HMAC-SHA256\n" + req.amz_date + "\n" + scope + "\n" +
                      cloud_sha256_hex(reinterpret_cast<const uint8_t*>(cr.data()), cr.size());
    uint8_t k[32];
    HmacSha256("AWS4" + req.sk, day, k);
    HmacSha256(std::string(reinterpret_cast<char*>(k), 32), req.region, k);
    HmacSha256(std::string(reinterpret_cast<char*>(k), 32), req.service, k);
    HmacSha256(std::string(reinterpret_cast<char*>(k), 32), "aws4_request", k);
    uint8_t sig[32];
    HmacSha256(std::string(reinterpret_cast<char*>(k), 32), sts, sig);
    if (canonical != nullptr) {
        *canonical = cr;
    }
    if (to_sign != nullptr) {
        *to_sign = sts;
    }
    return "AWS4-HMAC-SHA256 Credential=" + req.ak + "/" + scope + ", SignedHeaders=" + signedHeaders +
           ", Signature=" + iot_hex_lower(sig, sizeof(sig));
}

int cloud_get_storage_config(CLOUD_STORAGE_CFG_S* cfg, int kind)
{
    if (cfg == nullptr) {
        return UNI_INVALID_PARM;
    }
    JsonPtr r(nullptr, cJSON_Delete);
    int ret = PostForObject("ipc.storage.config.get", DevBody(kind).c_str(), &r);
    if (ret != UNI_OK) {
        PR_ERR("get storage config fails %d", ret);
        return ret;
    }
    CLOUD_STORAGE_CFG_S c{};
    const cJSON* j = r.get();
    const cJSON* exp = cJSON_GetObjectItemCaseSensitive(j, "expiration");
    const cJSON* longest = cJSON_GetObjectItemCaseSensitive(j, "videoLongestTime");
    bool ok = TakeText(j, "provider", c.provider, sizeof(c.provider)) && TakeText(j, "ak", c.ak, sizeof(c.ak)) &&
              TakeText(j, "sk", c.sk, sizeof(c.sk), false) && TakeText(j, "bucket", c.bucket, sizeof(c.bucket)) &&
              TakeText(j, "endpoint", c.endpoint, sizeof(c.endpoint)) &&
              TakeText(j, "region", c.region, sizeof(c.region), false) &&
              TakeText(j, "token", c.token, sizeof(c.token), false) &&
              TakeText(j, "mediaPath", c.media_path, sizeof(c.media_path), false) &&
              TakeText(j, "mediaStor", c.store_mode, sizeof(c.store_mode));
    // Numbers out of range are a bad answer, never cast as they are.
    const bool longestOk = !cJSON_IsNumber(longest) || longest->valuedouble <= 0 || NumberIn(longest, 0, UINT32_MAX);
    if (!ok || !NumberIn(exp, -9.0e15, 9.0e15) || !longestOk) {
        PR_ERR("storage config lacks a key or holds a number out of range");
        return CLOUD_ERR_KEY_MISSING;
    }
    c.expiration = static_cast<int64_t>(exp->valuedouble);
    c.video_longest_time = cJSON_IsNumber(longest) && longest->valuedouble > 0
                               ? static_cast<uint32_t>(longest->valuedouble)
                               : 0;
    c.slice_duration = cfg->slice_duration;  // fetched on its own
    *cfg = c;
    return UNI_OK;
}

int cloud_get_storage_restriction_config(CLOUD_STORAGE_CFG_S* cfg)
{
    if (cfg == nullptr) {
        return UNI_INVALID_PARM;
    }
    JsonPtr r(nullptr, cJSON_Delete);
    int ret = PostForObject("ipc.storage.restriction.get", DevBody(1).c_str(), &r);
    if (ret != UNI_OK) {
        PR_ERR("get storage restriction fails %d", ret);
        return ret;
    }
    const cJSON* storage = cJSON_GetObjectItemCaseSensitive(r.get(), "storage");
    const cJSON* mtu = cJSON_GetObjectItemCaseSensitive(storage, "mtu");
    if (!cJSON_IsNumber(mtu) || mtu->valuedouble < 0 || mtu->valuedouble > 86400) {
        PR_ERR("storage restriction lacks storage.mtu");
        return CLOUD_ERR_KEY_MISSING;
    }
    cfg->slice_duration = static_cast<uint32_t>(mtu->valuedouble);
    return UNI_OK;
}

int cloud_get_detect_storage_config(CLOUD_DETECT_STORAGE_CFG_S* cfg)
{
    if (cfg == nullptr) {
        return UNI_INVALID_PARM;
    }
    JsonPtr r(nullptr, cJSON_Delete);
    int ret = PostForObject("ipc.detect.storage.config.get", DevBody(2).c_str(), &r);
    if (ret != UNI_OK) {
        PR_ERR("get detect storage config fails %d", ret);
        return ret;
    }
    CLOUD_DETECT_STORAGE_CFG_S c{};
    const cJSON* j = r.get();
    bool ok = TakeText(j, "provider", c.provider, sizeof(c.provider)) && TakeText(j, "ak", c.ak, sizeof(c.ak)) &&
              TakeText(j, "sk", c.sk, sizeof(c.sk), false) && TakeText(j, "bucket", c.bucket, sizeof(c.bucket)) &&
              TakeText(j, "endpoint", c.endpoint, sizeof(c.endpoint)) &&
              TakeText(j, "region", c.region, sizeof(c.region), false) &&
              TakeText(j, "token", c.token, sizeof(c.token), false) &&
              TakeText(j, "path", c.dir, sizeof(c.dir), false);
    const cJSON* content = cJSON_GetObjectItemCaseSensitive(j, "content");
    if (!ok || !cJSON_IsObject(content)) {
        if (ok) {
            PR_ERR("detect storage config lacks content");
        }
        return CLOUD_ERR_KEY_MISSING;
    }
    static const struct {
        const char* key;
        uint32_t bit;
    } kContent[] = {{"picture", CLOUD_CONTENT_PIC}, {"audio", CLOUD_CONTENT_AUDIO}, {"video", CLOUD_CONTENT_VIDEO}};
    for (const auto& e : kContent) {
        if (cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(content, e.key))) {
            c.flags |= e.bit;
        }
    }
    *cfg = c;
    return UNI_OK;
}

int cloud_put_data_to_file(void* cfg, const char* scheme, int kind, const char* name, const char* content_type,
                           const uint8_t* data, uint32_t len)
{
    if (cfg == nullptr || scheme == nullptr || name == nullptr || name[0] == '\0' || (data == nullptr && len != 0)) {
        return UNI_INVALID_PARM;
    }
    PutTarget t{};
    CLOUD_DETECT_STORAGE_CFG_S* detect = nullptr;
    if (kind == CLOUD_STORAGE_KIND_DETECT) {
        detect = static_cast<CLOUD_DETECT_STORAGE_CFG_S*>(cfg);
        t = {detect->provider, detect->ak, detect->sk, detect->bucket, detect->endpoint, detect->region,
             detect->token, detect->dir};
    } else if (kind == CLOUD_STORAGE_KIND_CLOUD || kind == CLOUD_STORAGE_KIND_FACE) {
        auto* c = static_cast<CLOUD_STORAGE_CFG_S*>(cfg);
        t = {c->provider, c->ak, c->sk, c->bucket, c->endpoint, c->region, c->token, c->media_path};
    } else {
        return UNI_INVALID_PARM;
    }
    if (t.endpoint[0] == '\0' || t.bucket[0] == '\0') {
        return UNI_INVALID_PARM;
    }
    bool azure = strcmp(t.provider, "azure") == 0;
    std::string object = JoinPath(t.dir, name);
    // The host the certificate is fetched for; the endpoint may carry a port.
    std::string hostPort = azure ? std::string(t.ak) + t.endpoint : std::string(t.bucket) + "." + t.endpoint;
    std::string host = HostOf(hostPort.c_str());
    // Azure keeps the container in the path, S3 the bucket in the host.
    std::string path = "/" + (azure ? std::string(t.bucket) + "/" : std::string()) + object;
    std::string url = std::string(scheme) + "://" + hostPort + cloud_uri_encode(path, true);
    PutHeaders h;
    const char* ctype = content_type != nullptr ? content_type : "";
    if (azure) {
        std::string sas = t.token;
        if (!sas.empty() && sas[0] == '?') {
            sas.erase(0, 1);
        }
        url += "?" + sas;
        h.lines.emplace_back("x-ms-blob-type", "BlockBlob");
        h.lines.emplace_back("x-ms-version", kAzureVersion);
        if (ctype[0] != '\0') {
            h.lines.emplace_back("Content-Type", ctype);
        }
    } else {
        CLOUD_SIGV4_REQ_S s;
        s.method = "PUT";
        s.host = host;
        s.path = path;
        s.payload_hash = cloud_sha256_hex(data, len);
        s.amz_date = AmzDate(uni_time_get_posix());
        s.region = t.region[0] != '\0' ? t.region : "us-east-1";
        s.service = "s3";
        s.ak = t.ak;
        s.sk = t.sk;
        if (ctype[0] != '\0') {
            s.headers.emplace_back("Content-Type", ctype);
        }
        s.headers.emplace_back("x-amz-content-sha256", s.payload_hash);
        s.headers.emplace_back("x-amz-date", s.amz_date);
        if (t.token[0] != '\0') {
            s.headers.emplace_back("x-amz-security-token", t.token);
        }
        h.lines = s.headers;
        h.lines.emplace_back("Authorization", cloud_sigv4_authorization(s));
    }
    auto start = std::chrono::steady_clock::now();
    StoreAnswer ans;
    int ret = http_inf_client_put(url.c_str(), ReadStoreAnswer, data, len, AddPutHeaders, &h, &ans);
    auto costMs = static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (ret != UNI_OK) {
        if (ans.status != 0) {
            PR_ERR("store answered %u", ans.status);
        }
        PR_ERR("HTTPS PUT fail:%s,size %d,ret %d", object.c_str(), static_cast<int>(len), ret);
        return ret;
    }
    PR_NOTICE("HTTPS PUT %s done,size %d cost %llu ms", object.c_str(), static_cast<int>(len), costMs);
    if (detect != nullptr) {
        snprintf(detect->path, sizeof(detect->path), "%s", object.c_str());
    }
    return UNI_OK;
}

int cloud_fetch_ca(const char* host, uint8_t** cert, uint32_t* len)
{
    if (host == nullptr || cert == nullptr || len == nullptr) {
        return UNI_INVALID_PARM;
    }
    *cert = nullptr;
    *len = 0;
    CloudCaFetchScope scope;
    JsonPtr body(cJSON_CreateObject(), cJSON_Delete);
    if (body == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    cJSON_AddStringToObject(body.get(), "url", host);
    char* text = cJSON_PrintUnformatted(body.get());
    if (text == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    JsonPtr r(nullptr, cJSON_Delete);
    int ret = PostForObject("ca.get", text, &r);
    cJSON_free(text);
    if (ret != UNI_OK) {
        return ret;
    }
    const cJSON* ca = cJSON_GetObjectItemCaseSensitive(r.get(), "ca");
    if (!cJSON_IsString(ca) || ca->valuestring[0] == '\0') {
        PR_ERR("ca reply lacks ca");
        return CLOUD_ERR_KEY_MISSING;
    }
    size_t n = strlen(ca->valuestring);
    auto* copy = static_cast<uint8_t*>(Malloc(n));
    if (copy == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    memcpy(copy, ca->valuestring, n);
    *cert = copy;
    *len = static_cast<uint32_t>(n);
    return UNI_OK;
}

void cloud_operation_init(void)
{
    cloud_set_ca_fetch_cb(cloud_fetch_ca);
    // The TLS wrapper below reaches the stored certificates only through these.
    noxa_tls_set_ca_hooks(cloud_parse_ca_for_url, cloud_replace_ca);
}

int cloud_require_new_ca(const char* url, int kind)
{
    if (url == nullptr || strlen(url) > CLOUD_CA_URL_MAX || (kind != CLOUD_CA_KIND_CLOUD && kind != CLOUD_CA_KIND_DETECT)) {
        return UNI_INVALID_PARM;
    }
    std::string host = HostOf(url);
    if (host.empty()) {
        return UNI_INVALID_PARM;
    }
    if (cloud_has_ca(host.c_str()) != 0) {
        return UNI_OK;
    }
    int ret = UNI_COM_ERROR;
    for (int i = 0; i < kCaTries; ++i) {
        uint8_t* cert = nullptr;
        uint32_t len = 0;
        ret = cloud_fetch_ca(host.c_str(), &cert, &len);
        if (ret == UNI_OK) {
            ret = cloud_store_ca(host.c_str(), cert, len);
            Free(cert);
            if (ret == UNI_OK) {
                PR_NOTICE("got CA for url %s", host.c_str());
                return UNI_OK;
            }
        }
        PR_ERR("require CA of %s fails %d, try %d", host.c_str(), ret, i + 1);
    }
    return ret;
}
