#include "noxa_adapter/network/uni_network.h"

#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct UNW_ERRNO_ROW_S {
    int sys;
    int code;
};

// Searched from the first row: EWOULDBLOCK equals EAGAIN here, so its row is never reached.
constexpr UNW_ERRNO_ROW_S kErrnoTable[] = {
    {EINTR, UNW_EINTR},
    {EBADF, UNW_EBADF},
    {EAGAIN, UNW_EAGAIN},
    {EFAULT, UNW_EFAULT},
    {EBUSY, UNW_EBUSY},
    {EINVAL, UNW_EINVAL},
    {ENFILE, UNW_ENFILE},
    {EMFILE, UNW_EMFILE},
    {ENOSPC, UNW_ENOSPC},
    {EPIPE, UNW_EPIPE},
    {EWOULDBLOCK, UNW_EWOULDBLOCK},
    {ENOTSOCK, UNW_ENOTSOCK},
    {ENOPROTOOPT, UNW_ENOPROTOOPT},
    {EADDRINUSE, UNW_EADDRINUSE},
    {EADDRNOTAVAIL, UNW_EADDRNOTAVAIL},
    {ENETDOWN, UNW_ENETDOWN},
    {ENETUNREACH, UNW_ENETUNREACH},
    {ENETRESET, UNW_ENETRESET},
    {ECONNRESET, UNW_ECONNRESET},
    {ENOBUFS, UNW_ENOBUFS},
    {EISCONN, UNW_EISCONN},
    {ENOTCONN, UNW_ENOTCONN},
    {ETIMEDOUT, UNW_ETIMEDOUT},
    {ECONNREFUSED, UNW_ECONNREFUSED},
    {EHOSTDOWN, UNW_EHOSTDOWN},
    {EHOSTUNREACH, UNW_EHOSTUNREACH},
    {ENOMEM, UNW_ENOMEM},
    {EMSGSIZE, UNW_EMSGSIZE},
};

// unw_recv_nd_size: the peer's close or an error ended the receive before all bytes came.
constexpr int kRecvShort = -2;

struct UNW_DNS_ENTRY_S {
    char domain[UNW_DNS_NAME_LEN];  // empty when the first byte is 0
    uint32_t ip;                    // host order
};

UNW_DNS_ENTRY_S s_dnsCache[UNW_DNS_CACHE_SIZE];
std::atomic<MUTEX_HANDLE> s_dnsMutex{nullptr};
std::atomic<UNW_GETHOSTBYNAME_CB> s_extResolver{nullptr};
std::atomic<UNW_SYS_RESOLVE_CB> s_sysResolver{unw_sys_resolve};

sockaddr_in __make_addr(uint32_t addr, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    return sa;
}

int __set_int_opt(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0 ? 0 : UNW_FAIL;
}

// The cached name must equal the query: a cached "a.example.com" must not answer "a.example.com.cn".
bool __dns_match(const UNW_DNS_ENTRY_S& e, const char* domain)
{
    return e.domain[0] != '\0' && strcmp(e.domain, domain) == 0;
}

bool __is_dotted_ipv4(const char* text)
{
    in_addr a{};
    return inet_pton(AF_INET, text, &a) == 1;
}

}  // namespace

int unw_errno_trans(int err)
{
    for (const auto& row : kErrnoTable) {
        if (row.sys == err) {
            return row.code;
        }
    }
    return -100 - err;
}

int unw_get_errno(void)
{
    return unw_errno_trans(errno);
}

int unw_socket_create(int type)
{
    int fd = type == PROTOCOL_TCP ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : socket(AF_INET, SOCK_DGRAM, 0);
    return fd < 0 ? UNW_FAIL : fd;
}

int unw_connect(int fd, uint32_t addr, uint16_t port)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    sockaddr_in sa = __make_addr(addr, port);
    return connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : UNW_FAIL;
}

int unw_bind(int fd, uint32_t addr, uint16_t port)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    sockaddr_in sa = __make_addr(addr, port);
    return bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : UNW_FAIL;
}

int unw_socket_bind(int fd, const char* ip)
{
    if (ip == nullptr) {
        return -UNW_FD_GUARD_BASE;
    }
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    in_addr a{};
    if (inet_pton(AF_INET, ip, &a) != 1) {
        errno = EINVAL;
        return UNW_FAIL;
    }
    return unw_bind(fd, ntohl(a.s_addr), 0);
}

int unw_listen(int fd, int backlog)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    return listen(fd, backlog) == 0 ? 0 : UNW_FAIL;
}

int unw_accept(int fd, uint32_t* addr, uint16_t* port)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int cfd = accept(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    if (cfd < 0) {
        return UNW_FAIL;
    }
    if (addr != nullptr) {
        *addr = ntohl(sa.sin_addr.s_addr);
    }
    if (port != nullptr) {
        *port = ntohs(sa.sin_port);
    }
    return cfd;
}

int unw_send(int fd, const void* buf, uint32_t nbytes)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    return static_cast<int>(send(fd, buf, nbytes, MSG_NOSIGNAL));
}

int unw_recv(int fd, void* buf, uint32_t nbytes)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    return static_cast<int>(recv(fd, buf, nbytes, 0));
}

int unw_sendto(int fd, const void* buf, uint32_t nbytes, uint32_t addr, uint16_t port)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    sockaddr_in sa = __make_addr(addr, port);
    return static_cast<int>(
        sendto(fd, buf, nbytes, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
}

int unw_recvfrom(int fd, void* buf, uint32_t nbytes, uint32_t* addr, uint16_t* port)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    auto n = static_cast<int>(recvfrom(fd, buf, nbytes, 0, reinterpret_cast<sockaddr*>(&sa), &len));
    if (n > 0) {
        if (addr != nullptr) {
            *addr = ntohl(sa.sin_addr.s_addr);
        }
        if (port != nullptr) {
            *port = ntohs(sa.sin_port);
        }
    }
    return n;
}

int unw_recv_nd_size(int fd, void* buf, uint32_t buf_size, uint32_t nd_size)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    if (buf == nullptr || buf_size < nd_size) {
        return UNW_FAIL;
    }
    auto* p = static_cast<uint8_t*>(buf);
    uint32_t got = 0;
    while (got < nd_size) {
        ssize_t n = recv(fd, p + got, nd_size - got, 0);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0) {
            // The peer has closed: waiting longer can bring nothing more, and a short count
            // would pass a caller's "< 0" test as a whole message.
            return kRecvShort;
        }
        int err = unw_get_errno();
        if (err == UNW_EINTR || err == UNW_EAGAIN || err == UNW_EWOULDBLOCK) {
            uni_sleep_ms(10);
            continue;
        }
        return kRecvShort;
    }
    return static_cast<int>(got);
}

int unw_select(int maxfd, fd_set* readfds, fd_set* writefds, fd_set* errorfds, uint32_t ms_timeout)
{
    if (maxfd < 1) {
        return maxfd - UNW_FD_GUARD_BASE;
    }
    timeval tv{};
    timeval* ptv = nullptr;
    if (ms_timeout != 0) {
        tv.tv_sec = ms_timeout / 1000;
        tv.tv_usec = (ms_timeout % 1000) * 1000;
        ptv = &tv;
    }
    return select(maxfd, readfds, writefds, errorfds, ptv);
}

int unw_set_block(int fd, int block)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return UNW_FAIL;
    }
    flags = block == 1 ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0 ? 0 : UNW_FAIL;
}

int unw_get_nonblock(int fd)
{
    if (fd < 0) {
        return UNW_FAIL;
    }
    int saved = errno;
    int flags = fcntl(fd, F_GETFL, 0);
    errno = saved;
    if (flags < 0 || (flags & O_NONBLOCK) == 0) {
        return 0;
    }
    return errno == EAGAIN ? 1 : 0;
}

int unw_set_timeout(int fd, int ms_timeout, int type)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    timeval tv{};
    tv.tv_sec = ms_timeout / 1000;
    tv.tv_usec = (ms_timeout % 1000) * 1000;
    int name = type == TRANS_RECV ? SO_RCVTIMEO : SO_SNDTIMEO;
    return setsockopt(fd, SOL_SOCKET, name, &tv, sizeof(tv)) == 0 ? 0 : UNW_FAIL;
}

int unw_set_reuse(int fd)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    return __set_int_opt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
}

int unw_set_broadcast(int fd)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    return __set_int_opt(fd, SOL_SOCKET, SO_BROADCAST, 1);
}

int unw_disable_nagle(int fd)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    return __set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}

int unw_set_keepalive(int fd, int alive, uint32_t idle, uint32_t intr, uint32_t cnt)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    int ret = 0;
    ret |= __set_int_opt(fd, SOL_SOCKET, SO_KEEPALIVE, alive);
    ret |= __set_int_opt(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(idle));
    ret |= __set_int_opt(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(intr));
    ret |= __set_int_opt(fd, IPPROTO_TCP, TCP_KEEPCNT, static_cast<int>(cnt));
    return ret == 0 ? 0 : UNW_FAIL;
}

int unw_set_cloexec(int fd)
{
    if (fd < 0) {
        return fd - UNW_FD_GUARD_BASE;
    }
    int flags = fcntl(fd, F_GETFD, 0);
    if (flags < 0) {
        return UNW_FAIL;
    }
    return fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0 ? 0 : UNW_FAIL;
}

uint32_t unw_str2addr(const char* ip)
{
    in_addr a{};
    if (ip == nullptr || inet_pton(AF_INET, ip, &a) != 1) {
        return 0xFFFFFFFFu;
    }
    return ntohl(a.s_addr);
}

int unw_sys_resolve(const char* domain, uint32_t* addr)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int ret = getaddrinfo(domain, nullptr, &hints, &res);
    if (ret != 0 || res == nullptr) {
        return ret != 0 ? ret : EAI_NONAME;
    }
    *addr = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(res);
    return 0;
}

UNW_SYS_RESOLVE_CB unw_set_sys_resolver(UNW_SYS_RESOLVE_CB resolver)
{
    return s_sysResolver.exchange(resolver != nullptr ? resolver : unw_sys_resolve);
}

int unw_dns_cache_init(void)
{
    if (s_dnsMutex.load() != nullptr) {
        return UNW_FAIL;
    }
    MUTEX_HANDLE m = nullptr;
    if (CreateMutexAndInit(&m) != 0) {
        return UNW_FAIL;
    }
    MUTEX_HANDLE expected = nullptr;
    if (!s_dnsMutex.compare_exchange_strong(expected, m)) {
        ReleaseMutex(m);
        return UNW_FAIL;
    }
    return 0;
}

int unw_gethostbyname(const char* domain, uint32_t* addr, void* arg)
{
    if (domain == nullptr || addr == nullptr) {
        return UNW_DNS_FAIL;
    }
    if (UNW_GETHOSTBYNAME_CB ext = s_extResolver.load()) {
        return ext(domain, addr, arg);
    }
    MUTEX_HANDLE m = s_dnsMutex.load();
    if (m == nullptr) {
        // No cache yet: resolve every time rather than fail.
        return s_sysResolver.load()(domain, addr) == 0 ? 0 : UNW_DNS_FAIL;
    }
    UniMutexGuard lock(m);
    int freeSlot = -1;
    for (int i = 0; i < UNW_DNS_CACHE_SIZE; ++i) {
        if (__dns_match(s_dnsCache[i], domain)) {
            *addr = s_dnsCache[i].ip;
            return 0;
        }
        if (s_dnsCache[i].domain[0] == '\0') {
            freeSlot = i;
        }
    }
    uint32_t ip = 0;
    if (s_sysResolver.load()(domain, &ip) != 0) {
        printf("gethostbyname error %d\n", errno);
        if (res_init() == 0) {
            printf("call noxa_hal_net_res_init\n");
        } else {
            printf("res init failed %d\n", errno);
        }
        return UNW_DNS_FAIL;
    }
    *addr = ip;
    // A name too long for an entry is not stored: cut, it would never match again.
    if (freeSlot >= 0 && strlen(domain) < UNW_DNS_NAME_LEN) {
        printf("store dns info to position %d for %s 0x%08x\n", freeSlot, domain, ip);
        snprintf(s_dnsCache[freeSlot].domain, UNW_DNS_NAME_LEN, "%s", domain);
        s_dnsCache[freeSlot].ip = ip;
    }
    return 0;
}

int unw_clear_dns_cache(const char* domain)
{
    MUTEX_HANDLE m = s_dnsMutex.load();
    if (m == nullptr || domain == nullptr) {
        return UNW_FAIL;
    }
    UniMutexGuard lock(m);
    for (auto& e : s_dnsCache) {
        if (__dns_match(e, domain)) {
            printf("clean dns info for %s\n", domain);
            e = UNW_DNS_ENTRY_S{};
            break;
        }
    }
    return 0;
}

int unw_clear_all_dns_cache(void)
{
    MUTEX_HANDLE m = s_dnsMutex.load();
    if (m == nullptr) {
        return UNW_FAIL;
    }
    UniMutexGuard lock(m);
    for (auto& e : s_dnsCache) {
        e = UNW_DNS_ENTRY_S{};
    }
    return 0;
}

int unw_register_gethostbyname(UNW_GETHOSTBYNAME_CB hostbyname)
{
    printf("register extern gethostbyname\n");
    s_extResolver.store(hostbyname);
    return 0;
}

int unw_connect_to_domain(int* sockfd, const char* hostname, uint16_t port, uint32_t retry_cnt,
                          uint32_t timeout_ms)
{
    if (sockfd == nullptr || hostname == nullptr) {
        return UNW_FAIL;
    }
    *sockfd = -1;
    uint32_t addr = 0;
    bool byName = isalpha(static_cast<unsigned char>(hostname[0])) != 0;
    if (byName) {
        if (unw_gethostbyname(hostname, &addr, nullptr) != 0) {
            unw_clear_dns_cache(hostname);
            printf("Socket creation for %s:%d failed\n", hostname, port);
            return UNW_FAIL;
        }
    } else {
        // inet_addr would turn a malformed text into 255.255.255.255 and connect there.
        if (!__is_dotted_ipv4(hostname)) {
            printf("Socket creation for %s:%d failed\n", hostname, port);
            return UNW_FAIL;
        }
        addr = unw_str2addr(hostname);
    }

    int fd = -1;
    for (uint32_t attempt = 0; attempt <= retry_cnt; ++attempt) {
        fd = unw_socket_create(PROTOCOL_TCP);
        if (fd >= 0) {
            break;
        }
        if (attempt < retry_cnt) {
            uni_sleep_ms(1000);
        }
    }
    if (fd < 0) {
        printf("Unable to create socket\n");
        if (byName) {
            unw_clear_dns_cache(hostname);
        }
        printf("Socket creation for %s:%d failed\n", hostname, port);
        return UNW_FAIL;
    }

    unw_set_timeout(fd, static_cast<int>(timeout_ms), TRANS_SEND);
    printf("Connecting .. %s:%d\n", hostname, port);
    if (unw_connect(fd, addr, port) != 0) {
        printf("tcp connect failed %s:%d errno=%d\n", hostname, port, errno);
        close(fd);
        if (byName) {
            unw_clear_dns_cache(hostname);
        }
        return UNW_FAIL;
    }
    printf("Connected .. sockfd: %d\n", fd);
    *sockfd = fd;
    return 0;
}
