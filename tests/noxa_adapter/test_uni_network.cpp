// The socket layer on 127.0.0.1: the errno folding, the descriptor guard, exact-size receives,
// options read back, sends to a closed peer, and the DNS cache with a counting name lookup.
#include "noxa_adapter/network/uni_network.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// A file descriptor closed at the end of its scope.
class Fd {
public:
    explicit Fd(int fd = -1) : mFd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return mFd; }
    void Reset(int fd = -1)
    {
        if (mFd >= 0) {
            close(mFd);
        }
        mFd = fd;
    }

private:
    int mFd;
};

// A TCP listener on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    Fd fd{unw_socket_create(PROTOCOL_TCP)};
    uint16_t port = 0;

    Listener()
    {
        EXPECT_EQ(0, unw_bind(fd.Get(), kLoopback, 0));
        EXPECT_EQ(0, unw_listen(fd.Get(), 4));
        sockaddr_in sa{};
        socklen_t len = sizeof(sa);
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
};

// A connected pair: the client side and the accepted side.
struct TcpPair {
    Listener listener;
    Fd client{unw_socket_create(PROTOCOL_TCP)};
    Fd server;
    uint32_t peerAddr = 0;
    uint16_t peerPort = 0;

    TcpPair()
    {
        EXPECT_EQ(0, unw_connect(client.Get(), kLoopback, listener.port));
        server.Reset(unw_accept(listener.fd.Get(), &peerAddr, &peerPort));
        EXPECT_GE(server.Get(), 0);
    }
};

int IntOpt(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof(v);
    EXPECT_EQ(0, getsockopt(fd, level, name, &v, &len));
    return v;
}

uint16_t LocalPort(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

TEST(UnwErrno, FoldsEveryRowOfTheTable)
{
    const struct {
        int sys;
        int code;
    } rows[] = {
        {EINTR, -2},        {EBADF, -3},         {EAGAIN, -4},       {EFAULT, -5},       {EBUSY, -6},
        {EINVAL, -7},       {ENFILE, -8},        {EMFILE, -9},       {ENOSPC, -10},      {EPIPE, -11},
        {ENOTSOCK, -13},    {ENOPROTOOPT, -14},  {EADDRINUSE, -15},  {EADDRNOTAVAIL, -16}, {ENETDOWN, -17},
        {ENETUNREACH, -18}, {ENETRESET, -19},    {ECONNRESET, -20},  {ENOBUFS, -21},     {EISCONN, -22},
        {ENOTCONN, -23},    {ETIMEDOUT, -24},    {ECONNREFUSED, -25}, {EHOSTDOWN, -26},  {EHOSTUNREACH, -27},
        {ENOMEM, -28},      {EMSGSIZE, -29},
        // EWOULDBLOCK is EAGAIN here: the earlier row wins, -12 never comes.
        {EWOULDBLOCK, -4},
        // Values outside the table.
        {200, -300},        {EACCES, -100 - EACCES}, {0, -100},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.code, unw_errno_trans(r.sys)) << "errno " << r.sys;
        errno = r.sys;
        EXPECT_EQ(r.code, unw_get_errno()) << "errno " << r.sys;
    }
}

TEST(UnwGuard, NegativeDescriptorsNeverReachTheSystem)
{
    char buf[4] = {};
    errno = 0;
    EXPECT_EQ(-3001, unw_send(-1, buf, sizeof(buf)));
    EXPECT_EQ(-3005, unw_recv(-5, buf, sizeof(buf)));
    EXPECT_EQ(-3002, unw_connect(-2, kLoopback, 80));
    EXPECT_EQ(-3001, unw_set_keepalive(-1, 1, 1, 1, 1));
    EXPECT_EQ(-3001, unw_recv_nd_size(-1, buf, sizeof(buf), 1));
    EXPECT_EQ(-3000, unw_select(0, nullptr, nullptr, nullptr, 1));
    EXPECT_EQ(-3000, unw_socket_bind(3, nullptr));
    EXPECT_EQ(-1, unw_get_nonblock(-1));
    EXPECT_EQ(0, errno);  // nothing was attempted
}

TEST(UnwAddr, DottedTextInHostOrder)
{
    EXPECT_EQ(0xC0A80102u, unw_str2addr("192.168.1.2"));
    EXPECT_EQ(kLoopback, unw_str2addr("127.0.0.1"));
    EXPECT_EQ(0xFFFFFFFFu, unw_str2addr(nullptr));
    EXPECT_EQ(0xFFFFFFFFu, unw_str2addr("1.2.3.x"));
}

TEST(UnwTcp, AcceptReportsThePeerInHostOrder)
{
    TcpPair pair;
    EXPECT_EQ(kLoopback, pair.peerAddr);
    EXPECT_EQ(LocalPort(pair.client.Get()), pair.peerPort);
    EXPECT_EQ(5, unw_send(pair.client.Get(), "hello", 5));
    char buf[8] = {};
    EXPECT_EQ(5, unw_recv(pair.server.Get(), buf, sizeof(buf)));
    EXPECT_STREQ("hello", buf);
}

TEST(UnwTcp, SendToAClosedPeerFailsWithoutSigpipe)
{
    TcpPair pair;
    pair.server.Reset();
    // The first send may still be taken; the peer's reset makes a later one fail. A SIGPIPE
    // would end this test process instead.
    int ret = 0;
    for (int i = 0; i < 50 && ret >= 0; ++i) {
        ret = unw_send(pair.client.Get(), "x", 1);
        if (ret >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_LT(ret, 0);
    int err = unw_get_errno();
    EXPECT_TRUE(err == UNW_EPIPE || err == UNW_ECONNRESET) << err;
}

TEST(UnwRecvNdSize, GathersThreeDelayedChunks)
{
    for (int block : {1, 0}) {
        TcpPair pair;
        ASSERT_EQ(0, unw_set_block(pair.client.Get(), block));
        std::string sent = "0123456789abcdefghijKLMNOPQRST";
        std::thread peer([&] {
            for (size_t off = 0; off < sent.size(); off += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                ASSERT_EQ(10, unw_send(pair.server.Get(), sent.data() + off, 10));
            }
        });
        std::vector<char> buf(sent.size());
        EXPECT_EQ(static_cast<int>(sent.size()),
                  unw_recv_nd_size(pair.client.Get(), buf.data(), buf.size(), buf.size()))
            << "block " << block;
        peer.join();
        EXPECT_EQ(sent, std::string(buf.begin(), buf.end())) << "block " << block;
    }
}

TEST(UnwRecvNdSize, PeerClosingMidMessageIsAnError)
{
    TcpPair pair;
    std::thread peer([&] {
        unw_send(pair.server.Get(), "abcde", 5);
        pair.server.Reset();
    });
    char buf[10] = {};
    EXPECT_EQ(-2, unw_recv_nd_size(pair.client.Get(), buf, sizeof(buf), sizeof(buf)));
    peer.join();
    EXPECT_EQ(0, memcmp(buf, "abcde", 5));
}

TEST(UnwRecvNdSize, RefusesBadArguments)
{
    TcpPair pair;
    char buf[4];
    EXPECT_EQ(-1, unw_recv_nd_size(pair.client.Get(), nullptr, 4, 4));
    EXPECT_EQ(-1, unw_recv_nd_size(pair.client.Get(), buf, 3, 4));
    EXPECT_EQ(0, unw_recv_nd_size(pair.client.Get(), buf, 4, 0));
}

TEST(UnwRecvNdSize, ResetByPeerEndsWithMinusTwo)
{
    TcpPair pair;
    linger lg{1, 0};  // close with a reset instead of an orderly end
    setsockopt(pair.server.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    pair.server.Reset();
    char buf[8];
    EXPECT_EQ(-2, unw_recv_nd_size(pair.client.Get(), buf, sizeof(buf), sizeof(buf)));
    EXPECT_EQ(UNW_ECONNRESET, unw_get_errno());
}

TEST(UnwOptions, KeepaliveTimeoutsAndFlagsReadBack)
{
    Fd fd(unw_socket_create(PROTOCOL_TCP));
    ASSERT_GE(fd.Get(), 0);
    EXPECT_EQ(SOCK_STREAM, IntOpt(fd.Get(), SOL_SOCKET, SO_TYPE));

    EXPECT_EQ(0, unw_set_keepalive(fd.Get(), 1, 102, 5, 1));
    EXPECT_EQ(1, IntOpt(fd.Get(), SOL_SOCKET, SO_KEEPALIVE));
    EXPECT_EQ(102, IntOpt(fd.Get(), IPPROTO_TCP, TCP_KEEPIDLE));
    EXPECT_EQ(5, IntOpt(fd.Get(), IPPROTO_TCP, TCP_KEEPINTVL));
    EXPECT_EQ(1, IntOpt(fd.Get(), IPPROTO_TCP, TCP_KEEPCNT));
    EXPECT_EQ(-1, unw_set_keepalive(fd.Get(), 1, 0, 5, 1));  // idle 0 is refused by the kernel

    const struct {
        int ms;
        int type;
        int opt;
    } timeouts[] = {  // whole jiffies: the kernel rounds to them
        {1500, TRANS_RECV, SO_RCVTIMEO}, {12000, TRANS_SEND, SO_SNDTIMEO}, {200, 7, SO_SNDTIMEO}};
    for (const auto& t : timeouts) {
        EXPECT_EQ(0, unw_set_timeout(fd.Get(), t.ms, t.type));
        timeval tv{};
        socklen_t len = sizeof(tv);
        ASSERT_EQ(0, getsockopt(fd.Get(), SOL_SOCKET, t.opt, &tv, &len));
        EXPECT_EQ(t.ms, tv.tv_sec * 1000 + tv.tv_usec / 1000) << t.ms;
    }

    EXPECT_EQ(0, unw_set_reuse(fd.Get()));
    EXPECT_EQ(1, IntOpt(fd.Get(), SOL_SOCKET, SO_REUSEADDR));
    EXPECT_EQ(0, unw_disable_nagle(fd.Get()));
    EXPECT_EQ(1, IntOpt(fd.Get(), IPPROTO_TCP, TCP_NODELAY));
    EXPECT_EQ(0, unw_set_cloexec(fd.Get()));
    EXPECT_NE(0, fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);

    Fd udp(unw_socket_create(PROTOCOL_UDP));
    EXPECT_EQ(SOCK_DGRAM, IntOpt(udp.Get(), SOL_SOCKET, SO_TYPE));
    EXPECT_EQ(0, unw_set_broadcast(udp.Get()));
    EXPECT_EQ(1, IntOpt(udp.Get(), SOL_SOCKET, SO_BROADCAST));
}

TEST(UnwOptions, NonBlockingModeAndWouldBlock)
{
    TcpPair pair;
    int fd = pair.client.Get();
    EXPECT_EQ(0, unw_set_block(fd, 0));
    EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    char c;
    EXPECT_EQ(-1, unw_recv(fd, &c, 1));
    EXPECT_EQ(UNW_EAGAIN, unw_get_errno());
    EXPECT_EQ(1, unw_get_nonblock(fd));

    EXPECT_EQ(0, unw_set_block(fd, 1));
    EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    errno = EAGAIN;
    EXPECT_EQ(0, unw_get_nonblock(fd));  // blocking: never "would block"
}

TEST(UnwSelect, WaitsForReadability)
{
    TcpPair pair;
    int fd = pair.client.Get();
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(fd, &rfds);
    EXPECT_EQ(0, unw_select(fd + 1, &rfds, nullptr, nullptr, 10));
    unw_send(pair.server.Get(), "z", 1);
    FD_ZERO(&rfds);
    FD_SET(fd, &rfds);
    EXPECT_EQ(1, unw_select(fd + 1, &rfds, nullptr, nullptr, 0));  // 0: no limit
    EXPECT_TRUE(FD_ISSET(fd, &rfds));
}

TEST(UnwUdp, SendtoAndRecvfromCarryTheSender)
{
    Fd a(unw_socket_create(PROTOCOL_UDP));
    Fd b(unw_socket_create(PROTOCOL_UDP));
    ASSERT_EQ(0, unw_socket_bind(a.Get(), "127.0.0.1"));
    ASSERT_EQ(0, unw_bind(b.Get(), kLoopback, 0));
    EXPECT_EQ(-1, unw_socket_bind(b.Get(), "not.an.address"));
    EXPECT_EQ(3, unw_sendto(a.Get(), "udp", 3, kLoopback, LocalPort(b.Get())));
    char buf[8] = {};
    uint32_t addr = 0;
    uint16_t port = 0;
    EXPECT_EQ(3, unw_recvfrom(b.Get(), buf, sizeof(buf), &addr, &port));
    EXPECT_STREQ("udp", buf);
    EXPECT_EQ(kLoopback, addr);
    EXPECT_EQ(LocalPort(a.Get()), port);
}

// The name lookup under the cache, counted. Names other than "localhost" get made-up
// addresses, so no name server is ever asked.
std::atomic<int> gLookups{0};
std::map<std::string, int> gLookupsOf;
bool gLookupFails = false;

int CountingResolver(const char* domain, uint32_t* addr)
{
    ++gLookups;
    ++gLookupsOf[domain];
    if (gLookupFails) {
        return -1;
    }
    if (strcmp(domain, "localhost") == 0) {
        return unw_sys_resolve(domain, addr);
    }
    *addr = 0x0A000000u | static_cast<uint32_t>(std::hash<std::string>{}(domain) & 0xFFFFFF);
    return 0;
}

class UnwDns : public testing::Test {
protected:
    void SetUp() override
    {
        unw_dns_cache_init();  // -1 when an earlier test in this process made it
        unw_clear_all_dns_cache();
        gLookups = 0;
        gLookupsOf.clear();
        gLookupFails = false;
        unw_set_sys_resolver(CountingResolver);
    }
    void TearDown() override { unw_set_sys_resolver(nullptr); }

    static uint32_t Resolve(const char* name)
    {
        uint32_t addr = 0;
        EXPECT_EQ(0, unw_gethostbyname(name, &addr, nullptr)) << name;
        return addr;
    }
};

TEST_F(UnwDns, ACachedNameIsLookedUpOnceUntilCleared)
{
    uint32_t first = Resolve("m1.cloud.example.com");
    EXPECT_EQ(first, Resolve("m1.cloud.example.com"));
    EXPECT_EQ(1, gLookups);

    EXPECT_EQ(0, unw_clear_dns_cache("m1.cloud.example.com"));
    EXPECT_EQ(first, Resolve("m1.cloud.example.com"));
    EXPECT_EQ(2, gLookups);

    EXPECT_EQ(0, unw_clear_all_dns_cache());
    Resolve("m1.cloud.example.com");
    EXPECT_EQ(3, gLookups);
    EXPECT_EQ(-1, unw_clear_dns_cache(nullptr));
}

TEST_F(UnwDns, OnlyTheExactNameMatches)
{
    uint32_t shortName = Resolve("a.example.com");
    uint32_t longer = Resolve("a.example.com.cn");
    EXPECT_EQ(2, gLookups);
    EXPECT_NE(shortName, longer);

    // Clearing a prefix of a cached name leaves that name alone.
    unw_clear_dns_cache("a.example");
    EXPECT_EQ(shortName, Resolve("a.example.com"));
    EXPECT_EQ(longer, Resolve("a.example.com.cn"));
    EXPECT_EQ(2, gLookups);
}

TEST_F(UnwDns, NamesThatAreNeverCached)
{
    // A ninth name resolves but finds no room; a name too long for an entry; a failed lookup.
    std::vector<std::string> names;
    for (int i = 0; i < UNW_DNS_CACHE_SIZE + 1; ++i) {
        names.push_back("host" + std::to_string(i) + ".example.com");
        Resolve(names.back().c_str());
    }
    EXPECT_EQ(9, gLookups);
    for (const auto& n : names) {
        Resolve(n.c_str());
    }
    EXPECT_EQ(10, gLookups);
    EXPECT_EQ(2, gLookupsOf[names.back()]);
    unw_clear_all_dns_cache();  // room again
    std::string tooLong(200, 'n');
    Resolve(tooLong.c_str());
    Resolve(tooLong.c_str());
    EXPECT_EQ(2, gLookupsOf[tooLong]);
    gLookupFails = true;
    uint32_t addr = 123;
    EXPECT_EQ(UNW_DNS_FAIL, unw_gethostbyname("nowhere.example.com", &addr, nullptr));
    gLookupFails = false;
    Resolve("nowhere.example.com");
    EXPECT_EQ(2, gLookupsOf["nowhere.example.com"]);
}

int gExtArgSeen = 0;
int ExternalResolver(const char*, uint32_t* addr, void* arg)
{
    gExtArgSeen = *static_cast<int*>(arg);
    *addr = 0x01020304;
    return 0;
}

TEST_F(UnwDns, AnExternalResolverReplacesTheCache)
{
    unw_register_gethostbyname(ExternalResolver);
    int arg = 42;
    uint32_t addr = 0;
    EXPECT_EQ(0, unw_gethostbyname("x.example.com", &addr, &arg));
    unw_register_gethostbyname(nullptr);
    EXPECT_EQ(0x01020304u, addr);
    EXPECT_EQ(42, gExtArgSeen);
    EXPECT_EQ(0, gLookups);
}

TEST_F(UnwDns, ConnectToDomainResolvesOnceAndConnects)
{
    Listener listener;
    for (int i = 0; i < 2; ++i) {
        int fd = -5;
        ASSERT_EQ(0, unw_connect_to_domain(&fd, "localhost", listener.port, 3, 10000));
        ASSERT_GE(fd, 0);
        Fd conn(fd);
        Fd accepted(unw_accept(listener.fd.Get(), nullptr, nullptr));
        EXPECT_GE(accepted.Get(), 0);
        timeval tv{};
        socklen_t len = sizeof(tv);
        getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
        EXPECT_EQ(10, tv.tv_sec);
    }
    EXPECT_EQ(1, gLookups);
}

TEST_F(UnwDns, ConnectToADottedAddressLeavesTheCacheAlone)
{
    Listener listener;
    int fd = -5;
    ASSERT_EQ(0, unw_connect_to_domain(&fd, "127.0.0.1", listener.port, 0, 1000));
    Fd conn(fd);
    EXPECT_EQ(0, gLookups);
    // Not cached either: a lookup of the same text goes to the resolver.
    Resolve("127.0.0.1");
    EXPECT_EQ(1, gLookups);
}

TEST_F(UnwDns, FailedConnectsGiveMinusOneAndNoDescriptor)
{
    uint16_t closedPort = 0;
    {
        Listener gone;
        closedPort = gone.port;
    }
    const char* hosts[] = {"localhost", "1.2.3.x", "999.1.1.1", "127.0.0.1"};
    for (const char* host : hosts) {
        int fd = 77;
        EXPECT_EQ(-1, unw_connect_to_domain(&fd, host, closedPort, 0, 1000)) << host;
        EXPECT_EQ(-1, fd) << host;  // never 0: a caller closing it would close stdin
    }
    // The refused connect cleared localhost from the cache.
    Resolve("localhost");
    EXPECT_EQ(2, gLookupsOf["localhost"]);

    gLookupFails = true;
    int fd = 77;
    EXPECT_EQ(-1, unw_connect_to_domain(&fd, "nowhere.example.com", closedPort, 0, 1000));
    EXPECT_EQ(-1, fd);
}

}  // namespace
