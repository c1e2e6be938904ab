// The acceptor of the viewers' port: every connection gets a challenge at once and has two seconds
// in all for a hello that proves, with the device's local key, that the owner's phone sent it.
// Hellos are read in one poll loop without ever waiting on a connection, so a client that dawdles
// holds up no other; and connections that never say anything cannot fill the table: a new one takes
// the place of the oldest without its hello, once that one has had its grace.
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
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace transfer {
namespace {

constexpr int64_t kHelloMs = 2000;
// Connections waiting for their hello at once. When the table is full a new connection takes the
// place of the oldest one that has sent nothing (or, failing that, the oldest), but only of one
// challenged at least the grace ago: until then newcomers wait in the listen queue, in their order.
// A crowd that reconnects as fast as it is closed can then never push an owner's client out between
// its challenge and its hello, however loaded the machine, and the owner waits at most about a grace
// behind the crowd.
constexpr size_t kPendingMax = 64;
constexpr int64_t kGraceMs = 500;
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

// Connections closed to make room, and when that was last logged.
struct Crowding {
    uint32_t closed = 0;
    int64_t loggedAt = 0;
};

// When a connection past its grace may be closed for a newcomer.
int64_t RoomAt(const Pending& p)
{
    return p.deadline - kHelloMs + kGraceMs;
}

// The place of the oldest connection past its grace that has sent nothing (else of the oldest past
// its grace) for a new one; false when every connection is still in its grace.
bool MakeRoom(std::vector<Pending>& pending, Crowding& crowd)
{
    const int64_t now = NowMs();
    size_t victim = pending.size();
    for (size_t i = 0; i < pending.size(); ++i) {
        if (now < RoomAt(pending[i])) {
            continue;
        }
        if (victim == pending.size()) {
            victim = i;
            continue;
        }
        const bool silent = pending[i].got == 0;
        const bool victimSilent = pending[victim].got == 0;
        if ((silent && !victimSilent) || (silent == victimSilent && pending[i].deadline < pending[victim].deadline)) {
            victim = i;
        }
    }
    if (victim == pending.size()) {
        return false;
    }
    // Logged once in a while: whoever fills the table would otherwise fill the log too.
    ++crowd.closed;
    if (crowd.loggedAt == 0 || now - crowd.loggedAt >= kCrowdLogMs) {
        crowd.loggedAt = now;
        PR_ERR("p2p connection refused: no hello while others wait (%u so far)", crowd.closed);
    }
    const Pending& p = pending[victim];
    Refuse(p.fd, p.got >= P2P_WIRE_HEAD_SIZE ? Get32(p.buf + 4) : 0, P2P_REFUSED_NO_HELLO);
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(victim));
    return true;
}

void Expire(Pending& p)
{
    const uint32_t client = p.got >= P2P_WIRE_HEAD_SIZE ? Get32(p.buf + 4) : 0;
    PR_ERR("p2p connection refused: no hello within %lld ms", static_cast<long long>(kHelloMs));
    Refuse(p.fd, client, P2P_REFUSED_NO_HELLO);
}

}  // namespace

void AcceptLoop()
{
    pthread_setname_np(pthread_self(), "p2p_accept");
    Module& m = Mod();
    // The listen queue is emptied every round: a client waiting there is one that may wait behind
    // idle connections.
    fcntl(m.listenFd, F_SETFL, fcntl(m.listenFd, F_GETFL) | O_NONBLOCK);
    std::vector<Pending> pending;
    pending.reserve(kPendingMax);
    std::vector<pollfd> fds;
    Crowding crowd;
    while (!m.stopping.load()) {
        const int64_t now = NowMs();
        int64_t wait = -1;  // nothing to time: sleep until something arrives or the stop
        auto until = [&](int64_t at) {
            const int64_t left = std::max<int64_t>(0, at - now);
            wait = wait < 0 ? left : std::min(wait, left);
        };
        // A full table in its grace takes nobody: the listen queue is left alone until a place frees.
        bool listening = true;
        if (pending.size() >= kPendingMax) {
            int64_t roomAt = RoomAt(pending.front());
            for (const Pending& p : pending) {
                roomAt = std::min(roomAt, RoomAt(p));
            }
            listening = now >= roomAt;
            if (!listening) {
                until(roomAt);
            }
        }
        fds.assign(1, pollfd{m.wakeFd, POLLIN, 0});
        fds.push_back(pollfd{listening ? m.listenFd : -1, POLLIN, 0});
        for (const Pending& p : pending) {
            fds.push_back(pollfd{p.fd, POLLIN, 0});
            until(p.deadline);
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0 && errno != EINTR) {
            PR_ERR("p2p acceptor: poll failed (%d)", errno);
            usleep(10000);
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t v = 0;
            (void)!read(m.wakeFd, &v, sizeof v);
        }
        std::vector<Pending> still;
        for (size_t i = 0; i < pending.size(); ++i) {
            Pending& p = pending[i];
            if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && ReadHello(p) == Step::Done) {
                continue;
            }
            if (NowMs() >= p.deadline) {
                Expire(p);
                continue;
            }
            still.push_back(p);
        }
        pending.swap(still);
        for (size_t n = 0; (fds[1].revents & POLLIN) != 0 && n < kPendingMax; ++n) {
            if (pending.size() >= kPendingMax && !MakeRoom(pending, crowd)) {
                break;  // the rest wait in the listen queue
            }
            Pending p;
            p.fd = accept4(m.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (p.fd < 0) {
                break;
            }
            p.deadline = NowMs() + kHelloMs;
            if (Challenge(p)) {
                pending.push_back(p);
            } else {
                close(p.fd);
            }
        }
    }
    for (const Pending& p : pending) {
        close(p.fd);
    }
}

}  // namespace transfer
