#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mbedtls/x509_crt.h>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kFetchTries = 3;

struct CLOUD_CA_S {
    std::string host;
    // The certificate as the cloud gave it, with a NUL behind it so that a PEM text parses.
    std::vector<uint8_t> cert;
};

std::mutex s_caMutex;
std::vector<CLOUD_CA_S> s_caList;  // oldest first
std::atomic<CLOUD_CA_FETCH_CB> s_fetchCb{nullptr};

// CA fetches running on this thread (a refresh's fetch goes through the same TLS wrapper).
thread_local int t_fetchDepth = 0;

// Refreshes by host: when the last one started, and whether one runs now.
struct Refresh {
    std::string host;
    uint64_t startMs;
    bool running;
};
std::mutex s_refreshMutex;
std::vector<Refresh> s_refreshes;

std::vector<CLOUD_CA_S>::iterator __find_ca(const char* host)
{
    return std::find_if(s_caList.begin(), s_caList.end(), [host](const CLOUD_CA_S& ca) { return ca.host == host; });
}

// mbed TLS takes a PEM text with its NUL counted and a DER blob as it is.
size_t __parse_len(const std::vector<uint8_t>& cert)
{
    static const char kPem[] = "-----BEGIN";
    size_t len = cert.size() - 1;
    if (len >= sizeof(kPem) - 1 && memcmp(cert.data(), kPem, sizeof(kPem) - 1) == 0) {
        return len + 1;
    }
    return len;
}

}  // namespace

int cloud_parse_ca_for_url(mbedtls_x509_crt* chain, const char* host, uint16_t port)
{
    (void)port;
    if (chain == nullptr || host == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_caMutex);
    auto it = __find_ca(host);
    if (it == s_caList.end()) {
        return CLOUD_CA_NOT_FOUND;
    }
    int ret = mbedtls_x509_crt_parse(chain, it->cert.data(), __parse_len(it->cert));
    if (ret != 0) {
        PR_ERR("stored CA of %s does not parse: -0x%x", host, static_cast<unsigned>(-ret));
    }
    return ret;
}

CloudCaFetchScope::CloudCaFetchScope()
{
    ++t_fetchDepth;
}

CloudCaFetchScope::~CloudCaFetchScope()
{
    --t_fetchDepth;
}

namespace {

// Takes the host's refresh turn: false (logged) when one runs or the last began too recently.
bool __refresh_begin(const char* host)
{
    std::lock_guard<std::mutex> lock(s_refreshMutex);
    uint64_t now = uni_get_tick_ms();
    // Entries past the gap and idle are of no more use.
    s_refreshes.erase(std::remove_if(s_refreshes.begin(), s_refreshes.end(),
                                     [now](const Refresh& r) {
                                         return !r.running && now - r.startMs >= CLOUD_CA_REFRESH_GAP_MS;
                                     }),
                      s_refreshes.end());
    auto it = std::find_if(s_refreshes.begin(), s_refreshes.end(), [host](const Refresh& r) { return r.host == host; });
    if (it != s_refreshes.end()) {
        if (it->running) {
            PR_NOTICE("CA refresh of %s runs already", host);
        } else {
            PR_NOTICE("CA of %s refreshed %llu ms ago: not again yet", host,
                      static_cast<unsigned long long>(now - it->startMs));
        }
        return false;
    }
    try {
        s_refreshes.push_back(Refresh{host, now, true});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void __refresh_end(const char* host)
{
    std::lock_guard<std::mutex> lock(s_refreshMutex);
    for (Refresh& r : s_refreshes) {
        if (r.host == host) {
            r.running = false;
        }
    }
}

}  // namespace

int cloud_replace_ca(const char* host)
{
    if (host == nullptr) {
        return UNI_INVALID_PARM;
    }
    if (cloud_has_ca(host) == 0) {
        PR_ERR("can not find the replace CA");
        return UNI_COM_ERROR;
    }
    CLOUD_CA_FETCH_CB fetch = s_fetchCb.load();
    if (fetch == nullptr) {
        PR_ERR("no way to fetch the CA of %s", host);
        return UNI_COM_ERROR;
    }
    // The fetch's own handshake failing must not start another fetch, and so on without end.
    if (t_fetchDepth > 0) {
        PR_NOTICE("no CA refresh of %s inside a CA fetch", host);
        return UNI_COM_ERROR;
    }
    if (!__refresh_begin(host)) {
        return UNI_COM_ERROR;
    }
    CloudCaFetchScope scope;
    int result = UNI_COM_ERROR;
    // The fetch is a request to the cloud: no lock is held meanwhile.
    for (int i = 0; i < kFetchTries; ++i) {
        uint8_t* cert = nullptr;
        uint32_t len = 0;
        int ret = fetch(host, &cert, &len);
        if (ret == UNI_OK && cert != nullptr && len != 0) {
            result = cloud_store_ca(host, cert, len);
            Free(cert);
            if (result == UNI_OK) {
                PR_NOTICE("replace CA for url %s", host);
            }
            break;
        }
        if (cert != nullptr) {
            Free(cert);
        }
        PR_ERR("fetch CA of %s fails %d, try %d", host, ret, i + 1);
    }
    __refresh_end(host);
    return result;
}

void cloud_ca_refresh_limit_reset(void)
{
    std::lock_guard<std::mutex> lock(s_refreshMutex);
    s_refreshes.erase(std::remove_if(s_refreshes.begin(), s_refreshes.end(), [](const Refresh& r) { return !r.running; }),
                      s_refreshes.end());
}

int cloud_store_ca(const char* host, const uint8_t* cert, uint32_t len)
{
    if (host == nullptr || host[0] == '\0' || strlen(host) > CLOUD_CA_HOST_LEN || cert == nullptr || len == 0) {
        return UNI_INVALID_PARM;
    }
    CLOUD_CA_S ca;
    try {
        ca.host = host;
        ca.cert.assign(cert, cert + len);
        ca.cert.push_back(0);
    } catch (const std::bad_alloc&) {
        return UNI_MALLOC_FAILED;
    }
    std::lock_guard<std::mutex> lock(s_caMutex);
    auto it = __find_ca(host);
    if (it != s_caList.end()) {
        it->cert.swap(ca.cert);
        return UNI_OK;
    }
    if (s_caList.size() >= CLOUD_CA_MAX_NUM) {
        s_caList.erase(s_caList.begin());
    }
    try {
        s_caList.push_back(std::move(ca));
    } catch (const std::bad_alloc&) {
        return UNI_MALLOC_FAILED;
    }
    return UNI_OK;
}

int cloud_has_ca(const char* host)
{
    if (host == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(s_caMutex);
    return __find_ca(host) != s_caList.end() ? 1 : 0;
}

void cloud_clear_ca(void)
{
    std::lock_guard<std::mutex> lock(s_caMutex);
    s_caList.clear();
}

void cloud_set_ca_fetch_cb(CLOUD_CA_FETCH_CB cb)
{
    s_fetchCb.store(cb);
}
