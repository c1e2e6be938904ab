#include "noxa_middleware/tls/tls_session_cache.h"

#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_middleware/tls/noxa_tls.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha256.h>
#include <mutex>

namespace {

// Longest host name kept (a DNS name has at most 253 characters).
constexpr size_t kHostMax = 255;

// Plain data, so that the cache needs nothing done at exit while a thread may still connect.
struct Entry {
    bool used = false;
    char host[kHostMax + 1] = {};
    uint16_t port = 0;
    uint8_t digest[TLS_CA_DIGEST_LEN] = {};
    mbedtls_ssl_session session;
    uint64_t born_ms = 0;  // the full handshake that made it
    uint64_t used_seq = 0;  // when last offered or kept, in uses of the cache
};

class Cache {
public:
    Cache()
    {
        for (Entry& e : mEntries) {
            mbedtls_ssl_session_init(&e.session);
        }
    }
    std::mutex mutex;

    Entry* Find(const char* host, uint16_t port)
    {
        for (Entry& e : mEntries) {
            if (e.used && e.port == port && strcmp(e.host, host) == 0) {
                return &e;
            }
        }
        return nullptr;
    }
    // A free place, else the least recently used one, emptied.
    Entry* Place()
    {
        Entry* oldest = &mEntries[0];
        for (Entry& e : mEntries) {
            if (!e.used) {
                return &e;
            }
            if (e.used_seq < oldest->used_seq) {
                oldest = &e;
            }
        }
        PR_DEBUG("tls session of %s:%u gives way", oldest->host, oldest->port);
        Clear(*oldest);
        return oldest;
    }
    // The master secret and the ticket leave memory with the entry.
    static void Clear(Entry& e)
    {
        mbedtls_ssl_session_free(&e.session);  // zeroises the master secret and the ticket
        mbedtls_ssl_session_init(&e.session);
        e.used = false;
        e.host[0] = '\0';
        e.port = 0;
        mbedtls_platform_zeroize(e.digest, sizeof(e.digest));
        e.born_ms = 0;
        e.used_seq = 0;
    }
    uint64_t NextUse() { return ++mUses; }
    template <class Fn>
    void ForEach(Fn fn)
    {
        for (Entry& e : mEntries) {
            if (e.used) {
                fn(e);
            }
        }
    }

private:
    std::array<Entry, TLS_SESSION_MAX> mEntries;
    uint64_t mUses = 0;
};

Cache& TheCache()
{
    static Cache cache;
    return cache;
}

// The server's ticket lifetime hint shortens the time a session is offered, never lengthens it.
uint64_t MaxAgeMs(const mbedtls_ssl_session& s)
{
    uint64_t max = TLS_SESSION_MAX_AGE_MS;
    if (s.ticket != nullptr && s.ticket_len != 0 && s.ticket_lifetime != 0) {
        max = std::min<uint64_t>(max, static_cast<uint64_t>(s.ticket_lifetime) * 1000u);
    }
    return max;
}

}  // namespace

int tls_ca_chain_digest(const mbedtls_x509_crt* chain, uint8_t digest[TLS_CA_DIGEST_LEN])
{
    mbedtls_sha256_context ctx;
    mbedtls_sha256_init(&ctx);
    int ret = mbedtls_sha256_starts_ret(&ctx, 0);
    for (const mbedtls_x509_crt* c = chain; ret == 0 && c != nullptr && c->raw.len != 0; c = c->next) {
        ret = mbedtls_sha256_update_ret(&ctx, c->raw.p, c->raw.len);
    }
    if (ret == 0) {
        ret = mbedtls_sha256_finish_ret(&ctx, digest);
    }
    mbedtls_sha256_free(&ctx);
    return ret;
}

bool tls_session_offer(mbedtls_ssl_context* ssl, const char* host, uint16_t port,
                       const uint8_t digest[TLS_CA_DIGEST_LEN])
{
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    Entry* e = cache.Find(host, port);
    if (e == nullptr) {
        return false;
    }
    uint64_t now = uni_get_tick_ms();
    if (memcmp(e->digest, digest, TLS_CA_DIGEST_LEN) != 0) {
        PR_DEBUG("tls session of %s:%u dropped: the CA of the host changed", host, port);
        Cache::Clear(*e);
        return false;
    }
    if (now - e->born_ms >= MaxAgeMs(e->session)) {
        PR_DEBUG("tls session of %s:%u dropped: too old", host, port);
        Cache::Clear(*e);
        return false;
    }
    // The context gets a copy: another connect to the host may offer the same session meanwhile.
    int ret = mbedtls_ssl_set_session(ssl, &e->session);
    if (ret != 0) {
        PR_ERR("mbedtls_ssl_set_session Fail. 0x%x", static_cast<unsigned>(-ret));
        return false;
    }
    e->used_seq = cache.NextUse();
    return true;
}

void tls_session_keep(const mbedtls_ssl_context* ssl, const char* host, uint16_t port,
                      const uint8_t digest[TLS_CA_DIGEST_LEN], bool resumed)
{
    if (strlen(host) > kHostMax) {
        return;
    }
    mbedtls_ssl_session fresh;
    mbedtls_ssl_session_init(&fresh);
    int ret = mbedtls_ssl_get_session(ssl, &fresh);
    if (ret != 0) {
        PR_ERR("mbedtls_ssl_get_session Fail. 0x%x", static_cast<unsigned>(-ret));
        mbedtls_ssl_session_free(&fresh);
        return;
    }
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    uint64_t now = uni_get_tick_ms();
    Entry* e = cache.Find(host, port);
    uint64_t born = now;
    if (e != nullptr && resumed && memcmp(e->digest, digest, TLS_CA_DIGEST_LEN) == 0) {
        born = e->born_ms;
    } else if (resumed) {
        // Resumed from a session forgotten meanwhile (a CA change, a forget): not kept again.
        mbedtls_ssl_session_free(&fresh);
        return;
    }
    if (e != nullptr) {
        Cache::Clear(*e);
    } else {
        e = cache.Place();
    }
    e->used = true;
    memcpy(e->host, host, strlen(host) + 1);
    e->port = port;
    memcpy(e->digest, digest, TLS_CA_DIGEST_LEN);
    e->session = fresh;  // the entry takes over the copy's blocks
    e->born_ms = born;
    e->used_seq = cache.NextUse();
}

void tls_session_drop(const char* host, uint16_t port)
{
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    Entry* e = cache.Find(host, port);
    if (e != nullptr) {
        Cache::Clear(*e);
    }
}

int tls_session_count(void)
{
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    int n = 0;
    cache.ForEach([&n](Entry&) { ++n; });
    return n;
}

void noxa_tls_session_forget(const char* host)
{
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.ForEach([host](Entry& e) {
        if (host == nullptr || strcmp(e.host, host) == 0) {
            Cache::Clear(e);
        }
    });
}
