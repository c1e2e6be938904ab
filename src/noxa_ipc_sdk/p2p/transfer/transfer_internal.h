// Inside of the viewer transfer module: its state, shared by the sessions (noxa_ipc_transfer.cpp)
// and the acceptor that admits viewers (transfer_accept.cpp).
#pragma once

#include "noxa_ipc_transfer.h"

#include "noxa_adapter/utilities/uni_bytes.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sys/uio.h>
#include <thread>
#include <vector>

namespace transfer {

enum class SessionState { Free, Live, Playback };

// A viewer's largest incoming record: events and talk-back frames are small.
constexpr uint32_t kRecvMax = 64 * 1024;

struct Session {
    std::mutex lock;  // the socket's writes and the state
    int fd = -1;
    std::atomic<bool> connected{false};
    std::atomic<bool> stop{false};
    std::atomic<SessionState> state{SessionState::Free};
    // The streams the viewer started; each is set before its start reaches the application and
    // cleared before its stop does (under the module's view lock).
    std::atomic<bool> videoOn{false};
    std::atomic<bool> audioOn{false};
    std::atomic<bool> talkOn{false};
    std::atomic<bool> streaming{false};
    std::atomic<uint32_t> quality{0};
    // Reader thread only: talk frames dropped outside a talk, repeated starts already logged.
    uint32_t talkDropped = 0;
    uint32_t repeatLogged = 0;
    std::thread reader;
    std::thread live;
    std::vector<uint8_t> recv;
    std::vector<uint8_t> video;
    std::vector<uint8_t> audio;
    std::vector<uint8_t> g711;
};

struct Module {
    std::atomic<bool> inited{false};
    std::atomic<bool> stopping{false};
    NOXA_P2P_TRANSFER_PARAM_S param{};
    uint32_t clients = NOXA_P2P_CLIENT_MAX;
    uint32_t talkCodec = 0;
    uint32_t videoCodec[2] = {};
    int listenFd = -1;
    int wakeFd = -1;  // an eventfd: the stop wakes the acceptor out of its sleep
    std::thread acceptor;
    // Starts and stops of watching streams (live video, streaming) with the application's answer
    // to them, one at a time:
    // a stop then counts the watchers left after its own mark is cleared, and of two viewers
    // leaving together exactly one is the last.
    std::mutex viewLock;
    Session sessions[NOXA_P2P_CLIENT_MAX];
};

Module& Mod();

// The records' little-endian words.
inline constexpr auto& Put32 = uni_put_le32;
inline constexpr auto& Put64 = uni_put_le64;
inline constexpr auto& Get32 = uni_get_le32;

// Every iovec written; false when the peer is gone.
bool SendAll(int fd, const struct iovec* iov, int cnt);
// A refusal with its reason to a connection that is no session (yet); the connection is closed.
void Refuse(int fd, uint32_t client, uint32_t reason);
// A viewer admitted: its session opened on the connection, the welcome sent, its threads started.
void OpenSession(int fd, uint32_t client, uint32_t quality);
// The acceptor thread: takes connections, challenges them and admits the proven ones.
void AcceptLoop();
// The descriptor number a connection waiting for its hello stays below (the soft descriptor limit
// raised towards the hard one first); newcomers that would take one at or above it are closed.
int WaitingFdBound();

}  // namespace transfer
