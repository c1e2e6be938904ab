// The snapshot URL of a notification: a signed GET of the object last uploaded, for S3 (signature
// version 4 in the query), Azure (the container's SAS) and OSS (HMAC-SHA1 in the query).
#include "noxa_ipc_sdk/noxa_ipc_notification.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_base64.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_middleware/httpc/httpc.h"

#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr uint32_t kUrlExpiresS = 60;
// Base64 of an HMAC-SHA1 is 28 characters; each may become "%XX".
constexpr uint32_t kOssSignatureLimit = 28 * 3 + 1;

enum : uint8_t { kSeqUrl = 40, kSeqMsg };


// The whole text encoded; "" (and false) when it cannot be.
bool Encode(const std::string& in, std::string* out)
{
    std::string buf(in.size() * 3 + 1, '\0');
    const int n = __url_encode(in.c_str(), buf.data(), static_cast<uint32_t>(buf.size()));
    if (n < 0) {
        out->clear();
        return false;
    }
    buf.resize(static_cast<size_t>(n));
    *out = std::move(buf);
    return true;
}

std::string Enc(const std::string& in)
{
    std::string out;
    Encode(in, &out);
    return out;
}

// An object path as the URL's path: one leading '/', each segment encoded.
std::string UrlPath(const char* path)
{
    std::string p = path != nullptr ? path : "";
    while (!p.empty() && p.front() == '/') {
        p.erase(0, 1);
    }
    return "/" + cloud_uri_encode(p, true);
}

std::string AmzDate(TIME_T now)
{
    const time_t t = now;
    tm v{};
    gmtime_r(&t, &v);
    char buf[20];
    strftime(buf, sizeof(buf), "%Y%m%dT%H%M%SZ", &v);
    return buf;
}

std::string AzureUrl(const CLOUD_DETECT_STORAGE_CFG_S& c, const char* path)
{
    std::string sas = c.token;
    if (!sas.empty() && sas.front() == '?') {
        sas.erase(0, 1);
    }
    const std::string p = UrlPath(path);
    return "https://" + std::string(c.ak) + c.endpoint + "/" + c.bucket + p + "?" + sas + "&v=1.0&bucket=" +
           Enc(c.bucket) + "&typath=" + p;
}

std::string OssUrl(const CLOUD_DETECT_STORAGE_CFG_S& c, const char* path, TIME_T now)
{
    std::string token;
    if (!Encode(c.token, &token)) {
        notify_seq_error(kSeqUrl, "malloc_token");
        return "";
    }
    const std::string p = UrlPath(path);
    const std::string expires = std::to_string(static_cast<uint64_t>(now) + kUrlExpiresS);
    const std::string toSign = "GET\n\n\n" + expires + "\n/" + c.bucket + p + "?security-token=" + token;
    uint8_t mac[UNI_SHA1_DIGEST_LEN];
    uni_hmac_sha1(mac, reinterpret_cast<const uint8_t*>(c.sk), static_cast<uint32_t>(strlen(c.sk)),
                  reinterpret_cast<const uint8_t*>(toSign.data()), static_cast<uint32_t>(toSign.size()));
    char b64[4 * ((UNI_SHA1_DIGEST_LEN + 2) / 3) + 1];
    uni_base64_encode(mac, UNI_SHA1_DIGEST_LEN, b64);
    // Sized for the worst case: every character of the Base64 text encoded.
    char sig[kOssSignatureLimit];
    if (__url_encode(b64, sig, sizeof(sig)) < 0) {
        notify_seq_error(kSeqUrl, "malloc_sign");
        return "";
    }
    return "https://" + std::string(c.bucket) + "." + c.endpoint + p + "?Expires=" + expires +
           "&OSSAccessKeyId=" + Enc(c.ak) + "&Signature=" + sig + "&v=1.0&bucket=" + Enc(c.bucket) +
           "&security-token=" + token;
}

}  // namespace

int __url_encode(const char* in, char* out, uint32_t limit)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (in == nullptr || out == nullptr || limit == 0) {
        return -1;
    }
    uint32_t n = 0;
    for (const char* p = in; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        const uint32_t need = keep ? 1 : 3;
        if (n + need >= limit) {
            out[0] = '\0';
            return -1;
        }
        if (keep) {
            out[n++] = static_cast<char>(c);
        } else {
            out[n++] = '%';
            out[n++] = kHex[c >> 4];
            out[n++] = kHex[c & 15];
        }
    }
    out[n] = '\0';
    return static_cast<int>(n);
}

std::string __s3_presign_v4(const char* method, const char* host, const char* path, const char* region,
                            const char* ak, const char* sk, const char* token, TIME_T now, uint32_t expires,
                            const std::vector<std::pair<std::string, std::string>>& extra)
{
    const std::string date = AmzDate(now);
    const std::string credential = std::string(ak) + "/" + date.substr(0, 8) + "/" + region + "/s3/aws4_request";
    const bool hasToken = token != nullptr && token[0] != '\0';
    CLOUD_SIGV4_REQ_S r;
    r.method = method;
    r.host = host;
    r.region = region;
    r.service = "s3";
    r.ak = ak;
    r.sk = sk;
    r.amz_date = date;
    r.payload_hash = "UNSIGNED-PAYLOAD";
    r.query = {{"X-Amz-Algorithm", "AWS4-HMAC-SHA256"},
               {"X-Amz-Credential", credential},
               {"X-Amz-Date", date},
               {"X-Amz-Expires", std::to_string(expires)},
               {"X-Amz-SignedHeaders", "host"}};
    if (hasToken) {
        r.query.emplace_back("X-Amz-Security-Token", token);
    }
    r.query.insert(r.query.end(), extra.begin(), extra.end());
    // The signer's path is the object's name, not yet encoded.
    std::string plainPath = path != nullptr ? path : "";
    while (!plainPath.empty() && plainPath.front() == '/') {
        plainPath.erase(0, 1);
    }
    r.path = "/" + plainPath;
    const std::string auth = cloud_sigv4_authorization(r);
    const size_t at = auth.rfind("Signature=");
    if (at == std::string::npos) {
        return "";
    }
    std::string url = "https://" + std::string(host) + UrlPath(path) + "?";
    if (hasToken) {
        url += "X-Amz-Security-Token=" + Enc(token) + "&";
    }
    url += "X-Amz-Algorithm=AWS4-HMAC-SHA256&X-Amz-Credential=" + Enc(credential) + "&X-Amz-Date=" + date +
           "&X-Amz-Expires=" + std::to_string(expires) + "&X-Amz-SignedHeaders=host";
    for (const auto& [k, v] : extra) {
        url += "&" + Enc(k) + "=" + Enc(v);
    }
    return url + "&X-Amz-Signature=" + auth.substr(at + 10);
}

std::string notification_snapshot_url(const CLOUD_DETECT_STORAGE_CFG_S& c, const char* path, TIME_T now)
{
    if (path == nullptr || path[0] == '\0') {
        return "";
    }
    if (strcmp(c.provider, "s3") == 0) {
        const std::string host = std::string(c.bucket) + "." + c.endpoint;
        return __s3_presign_v4("GET", host.c_str(), path, c.region, c.ak, c.sk, c.token, now, kUrlExpiresS,
                               {{"bucket", c.bucket}, {"v", "1.0"}});
    }
    if (strcmp(c.provider, "azure") == 0) {
        return AzureUrl(c, path);
    }
    return OssUrl(c, path, now);
}

int notification_snapshot_message_upload(int dp, const char* unused, int timeout_s)
{
    (void)unused;
    // The configuration with the path the last upload left in it.
    auto cfg = std::make_unique<CLOUD_DETECT_STORAGE_CFG_S>();
    if (dp < 0 || dp > 255 || notification_config_copy(cfg.get()) != UNI_OK || cfg->path[0] == '\0') {
        PR_ERR("snapshot_message_upload failed:%d\n", UNI_COM_ERROR);
        return UNI_COM_ERROR;
    }
    const bool oss = strcmp(cfg->provider, "s3") != 0 && strcmp(cfg->provider, "azure") != 0;
    PR_DEBUG("[%s]", cfg->provider);
    const std::string url = notification_snapshot_url(*cfg, cfg->path, uni_time_get_posix());
    if (url.empty()) {
        PR_ERR("Malloc Fail");
        notify_seq_error(kSeqUrl, "malloc_url");
        return UNI_MALLOC_FAILED;
    }
    // Signature and token stay out of the log: the URL is shown without its query.
    if (oss) {
        PR_NOTICE("oss uri:%s\n", http_url_for_log(url.c_str()).c_str());
    } else {
        PR_NOTICE("###url:%s\n", http_url_for_log(url.c_str()).c_str());
    }
    const int ret = g_notification_ops.report(nullptr, static_cast<uint8_t>(dp),
                                              reinterpret_cast<const uint8_t*>(url.data()),
                                              static_cast<uint32_t>(url.size()),
                                              static_cast<uint32_t>(timeout_s < 0 ? 0 : timeout_s), 1);
    if (ret != UNI_OK) {
        PR_ERR("snapshot_message_upload failed:%d\n", ret);
        notify_seq_error(kSeqMsg, "up_msg_err");
        return ret;
    }
    PR_NOTICE("snapshot_message_upload success");
    return UNI_OK;
}
