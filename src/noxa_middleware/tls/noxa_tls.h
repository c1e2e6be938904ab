// TLS client sessions of the cloud links (HTTP and MQTT) over an already connected TCP socket:
// mbed TLS 1.2 with a fixed list of five cipher suites and the server's certificate verified
// against the built-in CA plus the CA that the cloud connection keeps for the host. Whole-buffer
// writes and single reads, each under its own mutex, so one reader and one writer may run at once.
// The session of a verified handshake is kept per host and port and resumed at the next connect.
#pragma once

#include <cstddef>
#include <cstdint>

struct NOXA_TLS_HANDLER;
struct mbedtls_x509_crt;

// The transport in mbed TLS's forms: bytes sent or received, 0 (receive: peer closed) or a
// negative code.
typedef int (*NOXA_TLS_SEND_CB)(void* ctx, const unsigned char* buf, size_t len);
typedef int (*NOXA_TLS_RECV_CB)(void* ctx, unsigned char* buf, size_t len);

// Verification is always required.
#define NOXA_TLS_AUTH_MODE 2
#define NOXA_TLS_CIPHERSUITE_NUM 5

// The certificates the cloud connection keeps per host, reached through hooks it sets at start
// (this layer never includes it): host_ca adds the stored CA of a host to a chain (its result is
// not looked at); ca_refresh fetches the host's CA anew after a failed handshake (the cloud
// connection bounds how often). Without them only the built-in CA is trusted and nothing is
// refreshed. Either may be NULL.
typedef int (*NOXA_TLS_HOST_CA_CB)(mbedtls_x509_crt* chain, const char* host, uint16_t port);
typedef int (*NOXA_TLS_CA_REFRESH_CB)(const char* host);
void noxa_tls_set_ca_hooks(NOXA_TLS_HOST_CA_CB host_ca, NOXA_TLS_CA_REFRESH_CB ca_refresh);

// Seeds the random generator of every session from the system's entropy. 0, or the mbed TLS
// error of the seeding.
int noxa_tls_init(void);

// Sets a session up over socket_fd and runs the handshake. Until the handshake ends, the
// wrapper's own socket callbacks carry the bytes (each receive waits at most timeout_s seconds);
// afterwards send_cb and recv_cb with net_ctx. 0 with *handler set; -2 NULL out pointer; -1
// without a transport (net_ctx or a callback NULL); -3 no memory; a mutex error; else the mbed TLS
// error of the failing step. Once *handler is set, a failed connect leaves it there and the
// caller releases it with noxa_tls_disconnect. A failed handshake asks the cloud connection for a
// new certificate of the host (the ca_refresh hook) before it returns.
int noxa_tls_connect(NOXA_TLS_HANDLER** handler, const char* hostname, uint32_t port, int set_hostname,
                     void* net_ctx, NOXA_TLS_SEND_CB send_cb, NOXA_TLS_RECV_CB recv_cb, int socket_fd,
                     uint32_t timeout_s);
// Session resumption: after a handshake that checked the server's certificate, the session is
// kept for the host and port (8 of them at most, an hour at most, less when the server's ticket
// says so) and offered at the next connect there. The server takes it (no key exchange, no
// certificate: a fraction of the time) or refuses it (a full handshake, whose session is then
// kept instead). A session is offered only while the CA chain built for the host is the one it
// was checked against, so a host whose CA was replaced gets a full handshake; a failed handshake
// forgets the host's session. Connects without certificates (noxa_tls_set_load_cert(0)) or
// without the server name neither offer nor keep one.
// Forgets the kept sessions of host (every port), or all of them for NULL.
void noxa_tls_session_forget(const char* host);
// 1 when the handshake of this handle resumed a kept session; 0 otherwise and for NULL.
int noxa_tls_is_resumed(const NOXA_TLS_HANDLER* handler);

// Writes all of buf: len, or the mbed TLS error that stopped it; -2 for NULL or 0.
int noxa_tls_write(NOXA_TLS_HANDLER* handler, const uint8_t* buf, uint32_t len);
// One read: the bytes read, 0, or the mbed TLS error (MBEDTLS_ERR_SSL_WANT_READ included); -2 for
// NULL or 0.
int noxa_tls_read(NOXA_TLS_HANDLER* handler, uint8_t* buf, uint32_t len);
// Tells the server that this side ends the connection cleanly (a close_notify alert), after a
// finished handshake only; under the write lock, so the caller makes sure the socket is not stuck
// on data the server no longer reads. Servers that keep sessions by id forget those of
// connections cut without it. 0 or the mbed TLS error; -2 for NULL.
int noxa_tls_close_notify(NOXA_TLS_HANDLER* handler);
// Waits for a running read, then frees the session. The caller makes sure no write runs. 0; -2
// for NULL; the mutex error (the handle is left as it was).
int noxa_tls_disconnect(NOXA_TLS_HANDLER* handler);
// Certificates for the next connect only (0: no CA chain, no server name, any suite of the
// library); every connect sets it back to 1.
void noxa_tls_set_load_cert(int flag);
// Identity for the pre-shared-key suite; the texts are copied. With both set (not empty), every
// connect offers the PSK suite with the key of __noxa_tls_psk_derive.
void noxa_tls_set_psk_param(const char* uuid, const char* authkey);

#define NOXA_TLS_PSK_KEY_LEN 32
#define NOXA_TLS_PSK_IDENTITY_MAX 128
// The pre-shared key of the registered uuid and auth key, and a fresh identity for it:
//   key      = HMAC-SHA256(key: auth key, message: uuid), 32 bytes, the same on every connect;
//   identity = "01" (layout version), 16 random bytes as 32 lowercase hex digits, the uuid.
// 0; -1 when either text is not registered, the identity does not fit identity_size (NUL
// included) or the random generator fails.
int __noxa_tls_psk_derive(uint8_t key[NOXA_TLS_PSK_KEY_LEN], char* identity, size_t identity_size);
int noxa_tls_x509_crt_parse(mbedtls_x509_crt* crt, const uint8_t* buf, size_t len);
