// The acceptor of the viewers' port: every connection gets a challenge at once and has two seconds
// in all for a hello that proves, with the device's local key, that the owner's phone sent it.
// Hellos are read in one poll loop without ever waiting on a connection, so a client that dawdles
// holds up no other. Every connection keeps its place for its two seconds: the table holds as many
// as the descriptors allow, and a newcomer beyond that is closed at once rather than left in the
// listen queue, where a crowd would make the kernel drop the owner's connects. The thread sleeps
// until a connection, a hello, a deadline or the module's stop.
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "transfer_internal.h"
#include "transfer_wire.h"

#include <mbedtls/md.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace transfer {
namespace {

constexpr int64_t kHelloMs = 2000;
// Descriptors a waiting connection never takes: the unit's own links (cloud, storage, LAN, the
// viewers' sessions, card and device files) must still find some below the select() bound.
constexpr int kFdReserve = 128;
// Connections taken from the listen queue in one round, so that hellos are read between bursts.
constexpr size_t kAcceptsPerRound = 256;
// Out of descriptors with no spare to turn a newcomer away: the listen queue is looked at again
// after this instead of in a loop.
constexpr int64_t kNoFdPauseMs = 100;
constexpr int64_t kCrowdLogMs = 10000;

struct Pending {
    int fd = -1;
    int64_t deadline = 0;
    uint8_t challenge[P2P_WIRE_CHALLENGE_SIZE] = {};
    uint8_t buf[P2P_WIRE_HEAD_SIZE + P2P_WIRE_HELLO_SIZE] = {};
    size_t got = 0;
};

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Random(uint8_t* p, size_t len)
{
    while (len > 0) {
        const ssize_t n = getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The challenge goes out as soon as the connection is taken: nothing else is read before it.
bool Challenge(Pending& p)
{
    if (!Random(p.challenge, sizeof p.challenge)) {
        PR_ERR("p2p: no random bytes for a challenge");
        return false;
    }
    uint8_t head[P2P_WIRE_HEAD_SIZE];
    Put32(head, P2P_WIRE_CHALLENGE);
    Put32(head + 4, 0);
    Put32(head + 8, P2P_WIRE_CHALLENGE_SIZE);
    struct iovec iov[2] = {{head, sizeof head}, {p.challenge, sizeof p.challenge}};
    return SendAll(p.fd, iov, 2);
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t len)
{
    uint8_t diff = 0;
    for (size_t i = 0; i < len; ++i) {
        diff |= a[i] ^ b[i];
    }
    return diff == 0;
}

// 0 proven; else the reason of the refusal.
uint32_t CheckProof(const Pending& p, uint32_t client)
{
    char key[GW_LOCAL_KEY_LEN + 1];
    gw_get_local_key(key);
    if (key[0] == '\0') {
        PR_ERR("p2p client %u refused: the unit has no local key (not activated)", client);
        return P2P_REFUSED_NO_KEY;
    }
    uint8_t msg[P2P_WIRE_CHALLENGE_SIZE + 4];
    memcpy(msg, p.challenge, P2P_WIRE_CHALLENGE_SIZE);
    Put32(msg + P2P_WIRE_CHALLENGE_SIZE, client);
    uint8_t want[P2P_WIRE_PROOF_SIZE];
    const int rc = mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), reinterpret_cast<uint8_t*>(key),
                                   strlen(key), msg, sizeof msg, want);
    memset(key, 0, sizeof key);
    if (rc != 0 || !SameBytes(want, p.buf + P2P_WIRE_HEAD_SIZE + 4, P2P_WIRE_PROOF_SIZE)) {
        PR_ERR("p2p client %u refused: wrong proof", client);
        return P2P_REFUSED_PROOF;
    }
    return 0;
}

enum class Step { Wait, Done };

// Reads what the connection has; Done when it was admitted, refused or closed.
Step ReadHello(Pending& p)
{
    for (;;) {
        const size_t need = p.got < P2P_WIRE_HEAD_SIZE ? P2P_WIRE_HEAD_SIZE : P2P_WIRE_HEAD_SIZE + Get32(p.buf + 8);
        if (p.got == need) {
            break;
        }
        const ssize_t n = recv(p.fd, p.buf + p.got, need - p.got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Step::Wait;
        }
        if (n <= 0) {
            close(p.fd);  // gone before its hello
            return Step::Done;
        }
        p.got += static_cast<size_t>(n);
        if (p.got == P2P_WIRE_HEAD_SIZE) {
            const uint32_t kind = Get32(p.buf);
            const uint32_t client = Get32(p.buf + 4);
            const uint32_t len = Get32(p.buf + 8);
            if (kind != P2P_WIRE_HELLO) {
                PR_ERR("p2p connection refused: record %u before a hello", kind);
                Refuse(p.fd, 0, P2P_REFUSED_NO_HELLO);
                return Step::Done;
            }
            if (len == 4) {
                PR_ERR("p2p client %u refused: hello without a proof", client);
                Refuse(p.fd, client, P2P_REFUSED_PROOF);
                return Step::Done;
            }
            if (len != P2P_WIRE_HELLO_SIZE) {
                PR_ERR("p2p client %u refused: hello of %u bytes", client, len);
                Refuse(p.fd, client, P2P_REFUSED_HELLO_SIZE);
                return Step::Done;
            }
        }
    }
    const uint32_t client = Get32(p.buf + 4);
    uint32_t reason = CheckProof(p, client);
    if (reason == 0 && client >= Mod().clients) {
        reason = P2P_REFUSED_CLIENT;
    } else if (reason == 0 && Mod().sessions[client].connected.load()) {
        reason = P2P_REFUSED_BUSY;
    }
    if (reason != 0) {
        Refuse(p.fd, client, reason);
        return Step::Done;
    }
    // The session's reader reads with blocking calls.
    fcntl(p.fd, F_SETFL, fcntl(p.fd, F_GETFL) & ~O_NONBLOCK);
    OpenSession(p.fd, client, Get32(p.buf + P2P_WIRE_HEAD_SIZE));
    return Step::Done;
}

// A refusal that a crowd repeats: logged once in a while with how many so far, since whoever
// makes the crowd would otherwise fill the log too.
struct Tally {
    uint32_t count = 0;
    int64_t loggedAt = 0;
    bool Due(int64_t now)
    {
        ++count;
        if (loggedAt != 0 && now - loggedAt < kCrowdLogMs) {
            return false;
        }
        loggedAt = now;
        return true;
    }
};

struct Acceptor {
    std::vector<Pending> pending;
    std::vector<pollfd> fds;
    int bound = 0;         // a waiting connection's descriptor stays below this
    int spare = -1;        // given up for a moment to take a newcomer when descriptors run out
    int64_t pausedUntil = 0;  // out of descriptors and of the spare: the queue is left until then
    Tally expired;
    Tally turnedAway;
    Tally noFd;
};

int Spare()
{
    return eventfd(0, EFD_CLOEXEC);
}

void Expire(Acceptor& a, Pending& p, int64_t now)
{
    const uint32_t client = p.got >= P2P_WIRE_HEAD_SIZE ? Get32(p.buf + 4) : 0;
    if (a.expired.Due(now)) {
        PR_ERR("p2p connection refused: no hello within %lld ms (%u so far)", static_cast<long long>(kHelloMs),
               a.expired.count);
    }
    Refuse(p.fd, client, P2P_REFUSED_NO_HELLO);
}

// A newcomer the table has no descriptor for: closed at once, so that no connect waits in the
// kernel's queue behind it.
void TurnAway(Acceptor& a, int fd, int64_t now)
{
    close(fd);
    if (a.turnedAway.Due(now)) {
        PR_ERR("p2p connection refused: no hello while others wait (%u so far, %zu waiting)", a.turnedAway.count,
               a.pending.size());
    }
}

// One accept; false when the queue is empty (or cannot be served now).
bool AcceptOne(Acceptor& a, int listenFd)
{
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int64_t now = NowMs();
    if (fd < 0) {
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED) {
            return true;
        }
        if (err == EAGAIN || err == EWOULDBLOCK) {
            return false;
        }
        if ((err == EMFILE || err == ENFILE) && a.spare >= 0) {
            // The spare descriptor takes the newcomer to close it; it is taken again at once.
            close(a.spare);
            const int taken = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            const int takenErr = errno;
            a.spare = Spare();
            if (taken >= 0) {
                TurnAway(a, taken, now);
                return true;
            }
            if (takenErr == EAGAIN || takenErr == EWOULDBLOCK) {
                return false;
            }
        }
        // The queue stays readable while nothing can be taken: looked at again in a while.
        a.pausedUntil = now + kNoFdPauseMs;
        if (a.noFd.Due(now)) {
            PR_ERR("p2p acceptor: accept failed (%d), %u times so far", err, a.noFd.count);
        }
        return false;
    }
    if (fd >= a.bound) {
        TurnAway(a, fd, now);
        return true;
    }
    Pending p;
    p.fd = fd;
    p.deadline = now + kHelloMs;
    if (Challenge(p)) {
        a.pending.push_back(p);
    } else {
        close(fd);
    }
    return true;
}

}  // namespace

int WaitingFdBound()
{
    // Select() takes no descriptor at or above FD_SETSIZE, and other parts of the unit wait on their
    // sockets with it: the crowd is kept below that whatever the limit. A soft limit below it is
    // raised as far as the hard one allows.
    struct rlimit lim {};
    rlim_t top = FD_SETSIZE;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        const rlim_t want = std::min<rlim_t>(lim.rlim_max, FD_SETSIZE);
        if (lim.rlim_cur < want) {
            struct rlimit raised = lim;
            raised.rlim_cur = want;
            if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
                lim = raised;
            }
        }
        top = std::min<rlim_t>(lim.rlim_cur, FD_SETSIZE);
    }
    const int n = static_cast<int>(top);
    return n - std::min(kFdReserve, n / 4);
}

void AcceptLoop()
{
    pthread_setname_np(pthread_self(), "p2p_accept");
    Module& m = Mod();
    fcntl(m.listenFd, F_SETFL, fcntl(m.listenFd, F_GETFL) | O_NONBLOCK);
    Acceptor a;
    a.bound = WaitingFdBound();
    a.spare = Spare();
    a.pending.reserve(64);
    while (!m.stopping.load()) {
        const int64_t now = NowMs();
        int64_t wait = -1;  // nothing to time: sleep until something arrives
        auto until = [&](int64_t at) {
            const int64_t left = std::max<int64_t>(0, at - now);
            wait = wait < 0 ? left : std::min(wait, left);
        };
        const bool paused = now < a.pausedUntil;
        if (paused) {
            until(a.pausedUntil);
        }
        if (a.spare < 0) {
            a.spare = Spare();
        }
        a.fds.clear();
        a.fds.push_back(pollfd{m.wakeFd, POLLIN, 0});
        a.fds.push_back(pollfd{paused ? -1 : m.listenFd, POLLIN, 0});
        for (const Pending& p : a.pending) {
            a.fds.push_back(pollfd{p.fd, POLLIN, 0});
            until(p.deadline);
        }
        if (poll(a.fds.data(), a.fds.size(), static_cast<int>(wait)) < 0 && errno != EINTR) {
            PR_ERR("p2p acceptor: poll failed (%d)", errno);
            usleep(10000);
            continue;
        }
        if ((a.fds[0].revents & POLLIN) != 0) {
            uint64_t v = 0;
            (void)!read(m.wakeFd, &v, sizeof v);
        }
        const int64_t after = NowMs();
        size_t kept = 0;
        for (size_t i = 0; i < a.pending.size(); ++i) {
            Pending& p = a.pending[i];
            if ((a.fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && ReadHello(p) == Step::Done) {
                continue;
            }
            if (after >= p.deadline) {
                Expire(a, p, after);
                continue;
            }
            if (kept != i) {
                a.pending[kept] = p;
            }
            ++kept;
        }
        a.pending.resize(kept);
        // The listen queue is emptied every round: a client left there would wait behind others.
        if ((a.fds[1].revents & POLLIN) != 0) {
            for (size_t n = 0; n < kAcceptsPerRound && AcceptOne(a, m.listenFd); ++n) {
            }
        }
    }
    for (const Pending& p : a.pending) {
        close(p.fd);
    }
    if (a.spare >= 0) {
        close(a.spare);
    }
}

}  // namespace transfer
