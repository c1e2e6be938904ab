// The CA certificates that the cloud hands out for its storage and API hosts, one per host, ten at
// most. The TLS wrapper adds the stored certificate of the host it connects to beside its built-in
// root, and asks for a fresh one after a failed handshake.
#pragma once

#include <cstdint>

#define CLOUD_CA_MAX_NUM 10
#define CLOUD_CA_HOST_LEN 255

// No certificate is stored for the host (the key-not-found code of the cloud side).
#define CLOUD_CA_NOT_FOUND (-901)

struct mbedtls_x509_crt;

// Fetches the current certificate of a host from the cloud: 0 with a Malloc'd copy of the
// certificate (DER, or PEM with its NUL counted) that the store takes over.
typedef int (*CLOUD_CA_FETCH_CB)(const char* host, uint8_t** cert, uint32_t* len);

// Parses the certificate stored for the host into the chain. 0, -901 when none is stored, -2 for
// a NULL argument, or the parser's error. The port is not used: one certificate per host.
int cloud_parse_ca_for_url(mbedtls_x509_crt* chain, const char* host, uint16_t port);
// After a failed handshake: fetches the host's certificate again (at most 3 tries) and replaces
// the stored one. -1 when the host has no stored certificate or every fetch failed, -2 for NULL.
// The fetch is itself a request to the cloud, whose handshake may fail too: a refresh never
// starts inside a CA fetch of the same thread, one refresh per host runs at a time, and a host is
// refreshed at most once per CLOUD_CA_REFRESH_GAP_MS (each refused with -1).
int cloud_replace_ca(const char* host);
#define CLOUD_CA_REFRESH_GAP_MS 60000u
// Tests that replace certificates more often within one process lift the limit first.
void cloud_ca_refresh_limit_reset(void);

// Marks a CA fetch running on this thread for its scope (cloud_replace_ca and the storage CA
// fetch set it): a failed handshake inside it starts no refresh.
class CloudCaFetchScope {
public:
    CloudCaFetchScope();
    ~CloudCaFetchScope();
    CloudCaFetchScope(const CloudCaFetchScope&) = delete;
    CloudCaFetchScope& operator=(const CloudCaFetchScope&) = delete;
};

// Stores (or replaces) the certificate of a host. The oldest entry makes room for an eleventh
// host. 0, -2 for a bad argument (a host above 255 characters, an empty certificate), -3.
int cloud_store_ca(const char* host, const uint8_t* cert, uint32_t len);
// 1 when a certificate is stored for the host.
int cloud_has_ca(const char* host);
// Forgets every stored certificate.
void cloud_clear_ca(void);
// The cloud API installs its fetch here; without one cloud_replace_ca has nothing to fetch.
void cloud_set_ca_fetch_cb(CLOUD_CA_FETCH_CB cb);
