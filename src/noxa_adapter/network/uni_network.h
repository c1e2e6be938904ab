// IPv4 sockets of the cloud side. Addresses (u32) and ports (u16) cross this layer in host byte
// order; errno values come back folded into UNW_ERRNO_E; host names resolve through a cache of
// 8 names. Every send passes MSG_NOSIGNAL: a peer that has gone away gives -11 (EPIPE), never a
// SIGPIPE that would end the process.
#pragma once

#include <cstdint>
#include <sys/select.h>

typedef enum {
    UNW_SUCCESS = 0,
    UNW_FAIL = -1,
    UNW_EINTR = -2,
    UNW_EBADF = -3,
    UNW_EAGAIN = -4,
    UNW_EFAULT = -5,
    UNW_EBUSY = -6,
    UNW_EINVAL = -7,
    UNW_ENFILE = -8,
    UNW_EMFILE = -9,
    UNW_ENOSPC = -10,
    UNW_EPIPE = -11,
    UNW_EWOULDBLOCK = -12,
    UNW_ENOTSOCK = -13,
    UNW_ENOPROTOOPT = -14,
    UNW_EADDRINUSE = -15,
    UNW_EADDRNOTAVAIL = -16,
    UNW_ENETDOWN = -17,
    UNW_ENETUNREACH = -18,
    UNW_ENETRESET = -19,
    UNW_ECONNRESET = -20,
    UNW_ENOBUFS = -21,
    UNW_EISCONN = -22,
    UNW_ENOTCONN = -23,
    UNW_ETIMEDOUT = -24,
    UNW_ECONNREFUSED = -25,
    UNW_EHOSTDOWN = -26,
    UNW_EHOSTUNREACH = -27,
    UNW_ENOMEM = -28,
    UNW_EMSGSIZE = -29,
} UNW_ERRNO_E;

// A negative descriptor handed to an operation comes back as descriptor - 3000, with no system call.
#define UNW_FD_GUARD_BASE 3000
// unw_gethostbyname: the name could not be resolved.
#define UNW_DNS_FAIL (-3000)
#define UNW_DNS_CACHE_SIZE 8
#define UNW_DNS_NAME_LEN 128

// unw_socket_create: 0 TCP, anything else UDP.
typedef enum {
    PROTOCOL_TCP = 0,
    PROTOCOL_UDP = 1,
} UNW_PROTOCOL_TYPE;

// unw_set_timeout: 0 the receive time-out, anything else the send time-out.
typedef enum {
    TRANS_RECV = 0,
    TRANS_SEND = 1,
} UNW_TRANS_TYPE_E;

// A resolver that stands in for the cache when registered: 0 with the host-order address.
typedef int (*UNW_GETHOSTBYNAME_CB)(const char* domain, uint32_t* addr, void* arg);
// The system's name lookup under the cache: 0 with the host-order address, else non-zero.
typedef int (*UNW_SYS_RESOLVE_CB)(const char* domain, uint32_t* addr);

// errno e folded: the table's code, or -100 - e for the others. The table is searched in order,
// so EAGAIN (== EWOULDBLOCK here) gives -4 and -12 never comes; callers test for both.
int unw_errno_trans(int err);
int unw_get_errno(void);

int unw_socket_create(int type);
int unw_connect(int fd, uint32_t addr, uint16_t port);
int unw_bind(int fd, uint32_t addr, uint16_t port);
// Binds to a dotted address with port 0; -3000 for a null text.
int unw_socket_bind(int fd, const char* ip);
int unw_listen(int fd, int backlog);
// The new descriptor; the peer's address and port when asked for; -1 on failure.
int unw_accept(int fd, uint32_t* addr, uint16_t* port);
int unw_send(int fd, const void* buf, uint32_t nbytes);
int unw_recv(int fd, void* buf, uint32_t nbytes);
int unw_sendto(int fd, const void* buf, uint32_t nbytes, uint32_t addr, uint16_t port);
// The sender is stored only when at least one byte came.
int unw_recvfrom(int fd, void* buf, uint32_t nbytes, uint32_t* addr, uint16_t* port);
// Receives exactly nd_size bytes: nd_size; -1 for a null buffer or buf_size < nd_size; -2 when
// the peer closes or an error ends it first (the bytes that came are in buf).
int unw_recv_nd_size(int fd, void* buf, uint32_t buf_size, uint32_t nd_size);
// ms_timeout 0 waits without limit; maxfd < 1 gives maxfd - 3000.
int unw_select(int maxfd, fd_set* readfds, fd_set* writefds, fd_set* errorfds, uint32_t ms_timeout);
// block 1 clears O_NONBLOCK, any other value sets it.
int unw_set_block(int fd, int block);
// 1 when the socket is non-blocking and the last operation would have blocked (errno EAGAIN).
int unw_get_nonblock(int fd);
int unw_set_timeout(int fd, int ms_timeout, int type);
int unw_set_reuse(int fd);
int unw_set_broadcast(int fd);
int unw_disable_nagle(int fd);
// All four options are attempted; -1 when any of them fails.
int unw_set_keepalive(int fd, int alive, uint32_t idle, uint32_t intr, uint32_t cnt);
int unw_set_cloexec(int fd);
// Host-order address of a dotted text; 0xFFFFFFFF for a null or malformed text.
uint32_t unw_str2addr(const char* ip);

// Creates the cache's mutex; -1 when it exists.
int unw_dns_cache_init(void);
// 0 with the host-order address, or -3000.
int unw_gethostbyname(const char* domain, uint32_t* addr, void* arg);
// Clears the entry of exactly that name; -1 before init or for a null name.
int unw_clear_dns_cache(const char* domain);
int unw_clear_all_dns_cache(void);
int unw_register_gethostbyname(UNW_GETHOSTBYNAME_CB hostbyname);
// Resolves (or takes a dotted address), creates a TCP socket (tries + 1 attempts, 1 s apart),
// sets the send time-out and connects: 0 with the descriptor, or -1 with *sockfd = -1.
int unw_connect_to_domain(int* sockfd, const char* hostname, uint16_t port, uint32_t retry_cnt,
                          uint32_t timeout_ms);

// The system lookup the cache sits on (getaddrinfo, IPv4). A replacement lets tests count
// lookups and answer names without asking any name server; null puts the system one back.
// Returns the one that was in place.
UNW_SYS_RESOLVE_CB unw_set_sys_resolver(UNW_SYS_RESOLVE_CB resolver);
int unw_sys_resolve(const char* domain, uint32_t* addr);
