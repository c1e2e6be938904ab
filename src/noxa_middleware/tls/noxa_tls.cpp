#include "noxa_middleware/tls/noxa_tls.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_middleware/tls/noxa_tls_ca.h"
#include "noxa_middleware/tls/sock_wait.h"
#include "noxa_middleware/tls/tls_session_cache.h"

#include <atomic>
#include <cstring>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/debug.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <mutex>
#include <new>
#include <string>

struct NOXA_TLS_HANDLER {
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt cacert;
    // Used by the wrapper's own socket callbacks during the handshake.
    int socket_fd;
    uint32_t timeout;  // seconds
    MUTEX_HANDLE write_mutex;
    MUTEX_HANDLE read_mutex;
    // Resumption: whether this connect may keep its session (certificates loaded, the server's
    // name checked), the CA chain's digest it is kept under, whether a kept session was offered,
    // and whether the server's certificate was checked (it is not in a resumed handshake).
    bool resumable;
    bool offered;
    bool cert_checked;
    bool resumed;
    uint8_t ca_digest[TLS_CA_DIGEST_LEN];
};

namespace {

// In order of preference; the list ends with 0.
const int kCiphersuites[NOXA_TLS_CIPHERSUITE_NUM + 1] = {
    0xC013,  // TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA
    0xC027,  // TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256
    0x00AE,  // TLS_PSK_WITH_AES_128_CBC_SHA256
    0xC02B,  // TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256
    0xC009,  // TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA
    0,
};

// MBEDTLS_ERR_X509_UNKNOWN_SIG_ALG combined with MBEDTLS_ERR_OID_NOT_FOUND: a server certificate
// signed with an algorithm the library does not know. Worth one more try, never a loop.
constexpr int kUnknownSigAlg = -0x262E;
constexpr int kDebugThreshold = 1;

std::atomic<int> s_loadCert{1};
std::atomic<NOXA_TLS_HOST_CA_CB> s_hostCa{nullptr};
std::atomic<NOXA_TLS_CA_REFRESH_CB> s_caRefresh{nullptr};

std::mutex s_pskMutex;
std::string s_pskUuid;
std::string s_pskAuthKey;

// One generator for every session, seeded from the system's entropy: client randoms and
// ephemeral keys must not be guessable. mbed TLS locks it inside (threading is on).
std::once_flag s_rngOnce;
int s_rngRet = 0;
mbedtls_entropy_context s_entropy;
mbedtls_ctr_drbg_context s_ctrDrbg;

int __rng_setup()
{
    std::call_once(s_rngOnce, [] {
        static const char kPers[] = "noxa_tls";
        mbedtls_entropy_init(&s_entropy);
        mbedtls_ctr_drbg_init(&s_ctrDrbg);
        s_rngRet = mbedtls_ctr_drbg_seed(&s_ctrDrbg, mbedtls_entropy_func, &s_entropy,
                                         reinterpret_cast<const unsigned char*>(kPers), sizeof(kPers) - 1);
        if (s_rngRet != 0) {
            PR_ERR("mbedtls_ctr_drbg_seed Fail. %x", static_cast<unsigned>(-s_rngRet));
        } else {
            PR_DEBUG("tls random generator seeded");
        }
    });
    return s_rngRet;
}

// The pre-shared key of this device for the next connect, when both texts are registered.
int __conf_psk(NOXA_TLS_HANDLER* h)
{
    uint8_t key[NOXA_TLS_PSK_KEY_LEN];
    char identity[NOXA_TLS_PSK_IDENTITY_MAX];
    if (__noxa_tls_psk_derive(key, identity, sizeof(identity)) != 0) {
        return 0;  // nothing registered: the suite is simply not offered
    }
    int ret = mbedtls_ssl_conf_psk(&h->conf, key, sizeof(key), reinterpret_cast<const unsigned char*>(identity),
                                   strlen(identity));
    mbedtls_platform_zeroize(key, sizeof(key));
    if (ret != 0) {
        PR_ERR("mbedtls_ssl_conf_psk Fail. 0x%x", static_cast<unsigned>(-ret));
    }
    return ret;
}

void __noxa_tls_debug(void* ctx, int level, const char* file, int line, const char* str)
{
    (void)ctx;
    (void)level;
    uni_log_print_raw("%s %d:%s", file, line, str);
}

int __noxa_tls_socket_send_cb(void* ctx, const unsigned char* buf, size_t len)
{
    auto* h = static_cast<NOXA_TLS_HANDLER*>(ctx);
    int ret = unw_send(h->socket_fd, buf, static_cast<uint32_t>(len));
    if (ret < 0) {
        PR_ERR("unw_send error ret %d, errno %d", ret, unw_get_errno());
    }
    return ret;
}

int __noxa_tls_socket_recv_cb(void* ctx, unsigned char* buf, size_t len)
{
    auto* h = static_cast<NOXA_TLS_HANDLER*>(ctx);
    unw_set_block(h->socket_fd, 0);
    int ret = noxa_sock_wait_readable(h->socket_fd, h->timeout * 1000);
    if (ret <= 0) {
        PR_ERR("select fail.%d", ret);
        unw_set_block(h->socket_fd, 1);
        return -1;
    }
    ret = unw_recv(h->socket_fd, buf, static_cast<uint32_t>(len));
    if (ret < 0) {
        PR_ERR("unw_recv error ret %d, errno %d", ret, unw_get_errno());
    }
    unw_set_block(h->socket_fd, 1);
    return ret;
}

// mbed TLS takes a PEM text with its NUL counted and a DER blob as it is.
int __parse_builtin_ca(mbedtls_x509_crt* chain)
{
    static const char kPem[] = "-----BEGIN";
    size_t len = g_noxa_tls_builtin_ca_len;
    if (len >= sizeof(kPem) - 1 && memcmp(g_noxa_tls_builtin_ca, kPem, sizeof(kPem) - 1) == 0) {
        ++len;
    }
    return mbedtls_x509_crt_parse(chain, g_noxa_tls_builtin_ca, len);
}

// Called for every certificate of the server's chain in a full handshake, never in a resumed one.
// The flags are left as the library set them.
int __verify_seen(void* ctx, mbedtls_x509_crt* crt, int depth, uint32_t* flags)
{
    (void)crt;
    (void)depth;
    (void)flags;
    static_cast<NOXA_TLS_HANDLER*>(ctx)->cert_checked = true;
    return 0;
}

// Steps up to the handshake; the handle is zero-filled and its contexts initialised.
int __setup(NOXA_TLS_HANDLER* h, int loadCert, const char* hostname, uint32_t port, int setHostname)
{
    int ret = __rng_setup();
    if (ret != 0) {
        return ret;
    }
    mbedtls_ssl_conf_dbg(&h->conf, __noxa_tls_debug, nullptr);
    mbedtls_ssl_conf_rng(&h->conf, mbedtls_ctr_drbg_random, &s_ctrDrbg);
    ret = mbedtls_ssl_config_defaults(&h->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        PR_ERR("mbedtls_ssl_config_defaults Fail. %x %d", static_cast<unsigned>(-ret), ret);
        return ret;
    }
    mbedtls_ssl_conf_authmode(&h->conf, NOXA_TLS_AUTH_MODE);
    mbedtls_debug_set_threshold(kDebugThreshold);
    ret = __conf_psk(h);
    if (ret != 0) {
        return ret;
    }
    if (loadCert == 1) {
        ret = __parse_builtin_ca(&h->cacert);
        if (ret != 0) {
            PR_ERR("cert parse fail. ret: %x", static_cast<unsigned>(-ret));
            return ret;
        }
        // Most hosts chain to the built-in root; storage hosts bring their own CA.
        NOXA_TLS_HOST_CA_CB hostCa = s_hostCa.load();
        if (hostCa != nullptr && hostname != nullptr) {
            hostCa(&h->cacert, hostname, static_cast<uint16_t>(port));
        }
        mbedtls_ssl_conf_ca_chain(&h->conf, &h->cacert, nullptr);
        mbedtls_ssl_conf_ciphersuites(&h->conf, kCiphersuites);
        mbedtls_ssl_conf_verify(&h->conf, __verify_seen, h);
        // A session is kept under the chain it was checked against: a later connect whose chain
        // differs (the host's CA replaced) never resumes it.
        h->resumable = setHostname != 0 && hostname != nullptr && tls_ca_chain_digest(&h->cacert, h->ca_digest) == 0;
    }
    ret = mbedtls_ssl_setup(&h->ssl, &h->conf);
    if (ret != 0) {
        PR_ERR("mbedtls_ssl_setup Fail. 0x%x", static_cast<unsigned>(-ret));
        return ret;
    }
    if (loadCert == 1 && setHostname != 0 && hostname != nullptr) {
        ret = mbedtls_ssl_set_hostname(&h->ssl, hostname);
        if (ret != 0) {
            PR_ERR("mbedtls_ssl_set_hostname Fail. 0x%x", static_cast<unsigned>(-ret));
            return ret;
        }
    }
    if (h->resumable) {
        h->offered = tls_session_offer(&h->ssl, hostname, static_cast<uint16_t>(port), h->ca_digest);
    }
    return 0;
}

// After a handshake: a verified one keeps its session for the next connect to the host; a failed
// one forgets the host's session, which may be what the server refused.
void __after_handshake(NOXA_TLS_HANDLER* h, const char* hostname, uint32_t port, int result)
{
    if (!h->resumable) {
        return;
    }
    auto p = static_cast<uint16_t>(port);
    if (result != 0) {
        if (h->offered) {
            PR_DEBUG("tls session of %s:%u dropped: handshake failed", hostname, p);
        }
        tls_session_drop(hostname, p);
        return;
    }
    h->resumed = h->offered && !h->cert_checked;
    if (h->resumed) {
        PR_DEBUG("tls session of %s:%u resumed", hostname, p);
    } else if (h->offered) {
        PR_DEBUG("tls session of %s:%u refused by the server: full handshake", hostname, p);
    }
    // A pre-shared-key handshake checks no certificate and is not kept.
    if ((h->cert_checked || h->resumed) && mbedtls_ssl_get_verify_result(&h->ssl) == 0) {
        tls_session_keep(&h->ssl, hostname, p, h->ca_digest, h->resumed);
    }
}

int __handshake(NOXA_TLS_HANDLER* h)
{
    bool retried = false;
    while (true) {
        int ret = mbedtls_ssl_handshake(&h->ssl);
        if (ret == 0) {
            return 0;
        }
        if (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        if (ret == kUnknownSigAlg && !retried) {
            retried = true;
            continue;
        }
        return ret;
    }
}

}  // namespace

void noxa_tls_set_ca_hooks(NOXA_TLS_HOST_CA_CB host_ca, NOXA_TLS_CA_REFRESH_CB ca_refresh)
{
    s_hostCa.store(host_ca);
    s_caRefresh.store(ca_refresh);
}

int noxa_tls_init(void)
{
    return __rng_setup();
}

int noxa_tls_connect(NOXA_TLS_HANDLER** handler, const char* hostname, uint32_t port, int set_hostname,
                     void* net_ctx, NOXA_TLS_SEND_CB send_cb, NOXA_TLS_RECV_CB recv_cb, int socket_fd,
                     uint32_t timeout_s)
{
    int loadCert = s_loadCert.exchange(1);
    if (handler == nullptr) {
        PR_ERR("NULL Input");
        return UNI_INVALID_PARM;
    }
    if (net_ctx == nullptr || send_cb == nullptr || recv_cb == nullptr) {
        PR_ERR("custom net ctx must be set");
        return UNI_COM_ERROR;
    }
    auto* h = static_cast<NOXA_TLS_HANDLER*>(Malloc(sizeof(NOXA_TLS_HANDLER)));
    if (h == nullptr) {
        PR_ERR("malloc fails");
        return UNI_MALLOC_FAILED;
    }
    memset(h, 0, sizeof(*h));
    int ret = CreateMutexAndInit(&h->write_mutex);
    if (ret != UNI_OK) {
        PR_ERR("mutex create Fail. %d", ret);
        Free(h);
        return ret;
    }
    ret = CreateMutexAndInit(&h->read_mutex);
    if (ret != UNI_OK) {
        PR_ERR("read_mutex create Fail. %d", ret);
        ReleaseMutex(h->write_mutex);
        Free(h);
        return ret;
    }
    mbedtls_ssl_init(&h->ssl);
    mbedtls_ssl_config_init(&h->conf);
    mbedtls_x509_crt_init(&h->cacert);
    *handler = h;
    uint64_t start = uni_get_tick_ms();

    ret = __setup(h, loadCert, hostname, port, set_hostname);
    if (ret != 0) {
        return ret;
    }
    if (socket_fd >= 0) {
        h->socket_fd = socket_fd;
        h->timeout = timeout_s;
        unw_set_timeout(socket_fd, static_cast<int>(timeout_s * 1000), TRANS_SEND);
        mbedtls_ssl_set_bio(&h->ssl, h, __noxa_tls_socket_send_cb, __noxa_tls_socket_recv_cb, nullptr);
    } else {
        PR_ERR("IN NOXA SDK,shoule not enter here!!!!!");
        mbedtls_ssl_set_bio(&h->ssl, net_ctx, send_cb, recv_cb, nullptr);
    }
    uint64_t setupEnd = uni_get_tick_ms();

    ret = __handshake(h);
    __after_handshake(h, hostname, port, ret);
    if (ret != 0) {
        PR_ERR("mbedtls_ssl_handshake returned %x %d", static_cast<unsigned>(-ret), ret);
        NOXA_TLS_CA_REFRESH_CB refresh = s_caRefresh.load();
        if (refresh != nullptr && hostname != nullptr) {
            refresh(hostname);
        }
        return ret;
    }
    uint64_t shakeEnd = uni_get_tick_ms();

    mbedtls_ssl_set_bio(&h->ssl, net_ctx, send_cb, recv_cb, nullptr);
    uint32_t flags = mbedtls_ssl_get_verify_result(&h->ssl);
    if (flags != 0) {
        PR_ERR("mbedtls_ssl_get_verify_result flag %x", flags);
    }
    uint64_t verifyEnd = uni_get_tick_ms();
    PR_DEBUG("sock(%d) Suit:%s Cost:%llu(setup)%llu(shake)%llu(verify)", socket_fd,
             mbedtls_ssl_get_ciphersuite(&h->ssl), static_cast<unsigned long long>(setupEnd - start),
             static_cast<unsigned long long>(shakeEnd - setupEnd),
             static_cast<unsigned long long>(verifyEnd - shakeEnd));
    return 0;
}

int noxa_tls_write(NOXA_TLS_HANDLER* handler, const uint8_t* buf, uint32_t len)
{
    if (handler == nullptr || buf == nullptr || len == 0) {
        PR_ERR("Input Invalid");
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(handler->write_mutex);
    uint32_t written = 0;
    while (written < len) {
        int ret = mbedtls_ssl_write(&handler->ssl, buf + written, len - written);
        if (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        if (ret <= 0) {
            PR_ERR("mbedtls_ssl_write returned %d", ret);
            return ret;
        }
        written += static_cast<uint32_t>(ret);
    }
    return static_cast<int>(written);
}

int noxa_tls_read(NOXA_TLS_HANDLER* handler, uint8_t* buf, uint32_t len)
{
    if (handler == nullptr || buf == nullptr || len == 0) {
        PR_ERR("Input Invalid");
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(handler->read_mutex);
    return mbedtls_ssl_read(&handler->ssl, buf, len);
}

int noxa_tls_close_notify(NOXA_TLS_HANDLER* handler)
{
    if (handler == nullptr) {
        PR_ERR("Input Invalid");
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(handler->write_mutex);
    int ret = 0;
    do {
        ret = mbedtls_ssl_close_notify(&handler->ssl);  // nothing sent before the handshake ended
    } while (ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (ret != 0) {
        PR_DEBUG("mbedtls_ssl_close_notify returned %d", ret);
    }
    return ret;
}

int noxa_tls_disconnect(NOXA_TLS_HANDLER* handler)
{
    if (handler == nullptr) {
        PR_ERR("Input Invalid");
        return UNI_INVALID_PARM;
    }
    // A read still running would use the contexts freed below.
    int ret = MutexLock(handler->read_mutex);
    if (ret != UNI_OK) {
        PR_ERR("read_mutex lock err %d", ret);
        return ret;
    }
    mbedtls_x509_crt_free(&handler->cacert);
    mbedtls_ssl_free(&handler->ssl);
    mbedtls_ssl_config_free(&handler->conf);
    // A mutex is destroyed unlocked only.
    MutexUnLock(handler->read_mutex);
    ReleaseMutex(handler->read_mutex);
    ReleaseMutex(handler->write_mutex);
    Free(handler);
    PR_TRACE("NOXA_TLS Disconnect Success");
    return UNI_OK;
}

void noxa_tls_set_load_cert(int flag)
{
    PR_TRACE("set cert loaded:%d", flag);
    s_loadCert.store(flag);
}

void noxa_tls_set_psk_param(const char* uuid, const char* authkey)
{
    std::lock_guard<std::mutex> lock(s_pskMutex);
    s_pskUuid = uuid != nullptr ? uuid : "";
    s_pskAuthKey = authkey != nullptr ? authkey : "";
}

int __noxa_tls_psk_derive(uint8_t key[NOXA_TLS_PSK_KEY_LEN], char* identity, size_t identity_size)
{
    std::string uuid;
    std::string authKey;
    {
        std::lock_guard<std::mutex> lock(s_pskMutex);
        uuid = s_pskUuid;
        authKey = s_pskAuthKey;
    }
    // "01", the random bytes in hexadecimal, the uuid.
    constexpr size_t kRandomLen = 16;
    if (key == nullptr || identity == nullptr || uuid.empty() || authKey.empty() ||
        2 + 2 * kRandomLen + uuid.size() + 1 > identity_size) {
        return -1;
    }
    uint8_t random[kRandomLen];
    if (__rng_setup() != 0 || mbedtls_ctr_drbg_random(&s_ctrDrbg, random, sizeof(random)) != 0) {
        return -1;
    }
    // The key depends on nothing but the device's own two texts, so the cloud can derive it too;
    // whatever varies goes into the identity.
    const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    int ret = mbedtls_md_hmac(sha256, reinterpret_cast<const unsigned char*>(authKey.data()), authKey.size(),
                              reinterpret_cast<const unsigned char*>(uuid.data()), uuid.size(), key);
    mbedtls_platform_zeroize(&authKey[0], authKey.size());
    if (ret != 0) {
        return -1;
    }
    static const char kHex[] = "0123456789abcdef";
    size_t n = 0;
    identity[n++] = '0';
    identity[n++] = '1';
    for (uint8_t b : random) {
        identity[n++] = kHex[b >> 4];
        identity[n++] = kHex[b & 0x0F];
    }
    memcpy(identity + n, uuid.c_str(), uuid.size() + 1);
    return 0;
}

int noxa_tls_is_resumed(const NOXA_TLS_HANDLER* handler)
{
    return handler != nullptr && handler->resumed ? 1 : 0;
}

int noxa_tls_x509_crt_parse(mbedtls_x509_crt* crt, const uint8_t* buf, size_t len)
{
    return mbedtls_x509_crt_parse(crt, buf, len);
}
