#include "platform/board_msgq.h"

#include "platform/board_path.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <vector>

namespace {

// Queue id + 1 of each owned number (0: none); plain words, read by a signal handler.
std::atomic<int> gOwned[kBoardMsgQueueNumberMax + 1];
std::once_flag gCleanupOnce;

// The CRC of POSIX cksum: polynomial 0x04C11DB7, most significant bit first, the length
// appended low byte first, complemented. The shell gets the same number from `cksum`.
uint32_t PosixCksum(const std::string& text)
{
    static const std::vector<uint32_t> table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) {
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            }
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0;
    auto add = [&](uint8_t b) { crc = (crc << 8) ^ table[(crc >> 24) ^ b]; };
    for (unsigned char c : text) {
        add(c);
    }
    for (size_t n = text.size(); n != 0; n >>= 8) {
        add(static_cast<uint8_t>(n & 0xFF));
    }
    return ~crc;
}

std::string TrimRoot(std::string root)
{
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

void OnEndSignal(int sig)
{
    BoardMsgQueueRemoveOwned();
    // SA_RESETHAND put the default action back: the signal now ends the process as it would have.
    std::raise(sig);
}

// The owner removes its queues however it ends in an orderly way; a handler the application set
// for a signal is left alone.
void InstallCleanup()
{
    std::atexit(BoardMsgQueueRemoveOwned);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old = {};
        if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction sa = {};
        sa.sa_handler = OnEndSignal;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

void Own(int number, int id)
{
    std::call_once(gCleanupOnce, InstallCleanup);
    int old = gOwned[number].exchange(id + 1);
    if (old != 0 && old != id + 1) {
        msgctl(old - 1, IPC_RMID, nullptr);
    }
}

bool ValidNumber(int number)
{
    if (number < 1 || number > kBoardMsgQueueNumberMax) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// Ids of the queues whose key is in [base + 1, base + 255].
std::vector<int> BoardQueueIds(const std::string& root)
{
    std::vector<int> ids;
    const uint32_t base = static_cast<uint32_t>(BoardMsgQueueKeyBase(root));
    FILE* f = std::fopen("/proc/sysvipc/msg", "r");
    if (f == nullptr) {
        return ids;
    }
    char line[512];
    if (std::fgets(line, sizeof(line), f) != nullptr) {  // header
        long long key = 0;
        int id = 0;
        while (std::fgets(line, sizeof(line), f) != nullptr) {
            if (std::sscanf(line, "%lld %d", &key, &id) == 2) {
                uint32_t k = static_cast<uint32_t>(key);
                if ((k & 0xFFFFFF00u) == base && (k & 0xFFu) != 0) {
                    ids.push_back(id);
                }
            }
        }
    }
    std::fclose(f);
    return ids;
}

}  // namespace

key_t BoardMsgQueueKeyBase(const std::string& root)
{
    return static_cast<key_t>((PosixCksum(TrimRoot(root)) & 0xFFFFFFu) << 8);
}

key_t BoardMsgQueueKey(int number)
{
    if (!ValidNumber(number)) {
        return -1;
    }
    return static_cast<key_t>(static_cast<uint32_t>(BoardMsgQueueKeyBase(BoardRoot())) | static_cast<uint32_t>(number));
}

int BoardMsgQueueCreate(int number)
{
    const key_t key = BoardMsgQueueKey(number);
    if (key == -1) {
        return -1;
    }
    // Orders left by a run that was killed must not reach this one.
    for (int tries = 0; tries < 3; ++tries) {
        int id = msgget(key, IPC_CREAT | IPC_EXCL | 0600);
        if (id >= 0) {
            Own(number, id);
            return id;
        }
        if (errno != EEXIST) {
            return -1;
        }
        int stale = msgget(key, 0);
        if (stale >= 0) {
            msgctl(stale, IPC_RMID, nullptr);
        }
    }
    errno = EEXIST;
    return -1;
}

int BoardMsgQueueOpen(int number)
{
    const key_t key = BoardMsgQueueKey(number);
    if (key == -1) {
        return -1;
    }
    int id = msgget(key, IPC_CREAT | IPC_EXCL | 0600);
    if (id >= 0) {
        Own(number, id);
        return id;
    }
    return errno == EEXIST ? msgget(key, 0) : -1;
}

int BoardMsgQueueSend(int id, const void* msg, size_t bodySize, int flags)
{
    return msgsnd(id, msg, bodySize, flags);
}

long BoardMsgQueueReceive(int id, void* msg, size_t bodySize, long type, int flags)
{
    return msgrcv(id, msg, bodySize, type, flags);
}

int BoardMsgQueueRemove(int id)
{
    for (auto& owned : gOwned) {
        int expected = id + 1;
        owned.compare_exchange_strong(expected, 0);
    }
    return msgctl(id, IPC_RMID, nullptr);
}

void BoardMsgQueueRemoveOwned()
{
    const int savedErrno = errno;
    for (auto& owned : gOwned) {
        int v = owned.exchange(0);
        if (v != 0) {
            msgctl(v - 1, IPC_RMID, nullptr);
        }
    }
    errno = savedErrno;
}

int BoardMsgQueueRemoveBoard(const std::string& root)
{
    int n = 0;
    for (int id : BoardQueueIds(root)) {
        if (msgctl(id, IPC_RMID, nullptr) == 0) {
            ++n;
        }
    }
    return n;
}

int BoardMsgQueueCountBoard(const std::string& root)
{
    return static_cast<int>(BoardQueueIds(root).size());
}
