// The TLS sessions kept for resumption, one per host and port: a call to a host it talked to
// lately resumes instead of paying for the elliptic-curve handshake and the certificate check
// again. A session is kept only after a handshake that verified the server's certificate, with
// the digest of the CA chain it was verified against; it is offered again only while that chain
// is the same (a host whose CA was replaced gets a full handshake) and while it is younger than
// its lifetime. Used by noxa_tls.cpp; every call takes one lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

constexpr size_t TLS_CA_DIGEST_LEN = 32;
// Hosts the unit talks to: the cloud API, the broker, a few storage hosts.
constexpr int TLS_SESSION_MAX = 8;
// Longest a master secret is reused, whatever lifetime the server announces.
constexpr uint64_t TLS_SESSION_MAX_AGE_MS = 3600u * 1000u;

// SHA-256 over the DER of every certificate of the chain, in order. 0 or the mbed TLS error.
int tls_ca_chain_digest(const mbedtls_x509_crt* chain, uint8_t digest[TLS_CA_DIGEST_LEN]);

// Hands the kept session of (host, port) to ssl for its handshake when it was verified against
// the same CA chain and is young enough; a session that fails either test is forgotten. True when
// a session was offered.
bool tls_session_offer(mbedtls_ssl_context* ssl, const char* host, uint16_t port,
                       const uint8_t digest[TLS_CA_DIGEST_LEN]);

// Keeps the session of a finished, verified handshake for (host, port), in place of the one kept
// before. A resumed session keeps the age of the full handshake that made it. When every place
// is taken the least recently used session gives way.
void tls_session_keep(const mbedtls_ssl_context* ssl, const char* host, uint16_t port,
                      const uint8_t digest[TLS_CA_DIGEST_LEN], bool resumed);

// Forgets the session of (host, port).
void tls_session_drop(const char* host, uint16_t port);

// The number of sessions kept (for tests).
int tls_session_count(void);
