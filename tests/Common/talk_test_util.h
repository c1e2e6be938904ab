// Shared by the bus link suites: a pseudo-terminal standing in for the bus, the unit's queues
// in a sandbox, and a pump that runs passes of the link until something has happened.
#pragma once

#include "DeviceState.h"
#include "TalkSerial.h"
#include "platform/board_msgq.h"
#include "read_bytes.h"
#include "sandbox.h"

#include <array>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using Frame12 = std::array<uint8_t, kComFrameLen>;
using ByteVec = std::vector<uint8_t>;

inline ByteVec HexBytes(const std::string& hex)
{
    ByteVec out;
    for (size_t i = 0; i < hex.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string ToHex(const uint8_t* b, size_t n)
{
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(t, sizeof(t), i ? " %02X" : "%02X", b[i]);
        s += t;
    }
    return s;
}

// The test's own end of a pseudo-terminal whose slave is the sandbox's "/dev/ttyS2".
class PtyPeer {
public:
    explicit PtyPeer(const TestSandbox& sb)
    {
        mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (mMaster < 0 || grantpt(mMaster) != 0 || unlockpt(mMaster) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        std::string link = sb.Path("/dev/ttyS2");
        unlink(link.c_str());
        if (symlink(ptsname(mMaster), link.c_str()) != 0) {
            throw std::runtime_error("cannot link " + link);
        }
    }
    ~PtyPeer() { close(mMaster); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    void Write(const ByteVec& bytes) const
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(mMaster, bytes.data(), bytes.size()));
    }
    // Reads until `count` bytes have come or the time is up.
    ByteVec Read(size_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) const
    {
        return ReadBytes(mMaster, count, limit);
    }
    int Fd() const { return mMaster; }

private:
    int mMaster = -1;
};

// The queues of one sandbox, removed at the end of the test.
struct QueueGuard {
    QueueGuard() { EXPECT_EQ(0, TalkQueueInit()); }
    ~QueueGuard() { TalkQueueRemove(); }
};

// Orders other threads handed to the bus thread and not yet taken, oldest first (taken now).
inline std::vector<std::array<uint8_t, 4>> TakePostedOrders()
{
    std::vector<std::array<uint8_t, 4>> out;
    DOOR_CMD_MSG_S msg;
    while (BoardMsgQueueReceive(gDeviceState.CmdQueueId, &msg, sizeof(msg.Body), 0, IPC_NOWAIT) == sizeof(msg.Body)) {
        out.push_back({msg.Body[0], msg.Body[1], msg.Body[2], msg.Body[3]});
    }
    return out;
}

// Fresh link state for each test (tests of one executable may share a process).
inline void ResetLink()
{
    CloseTalkSerial();
    for (auto& p : gDeviceState.ComPort) {
        p = COM_PORT_REC_S{};
    }
    std::memset(gDeviceState.LastSent, 0, sizeof(gDeviceState.LastSent));
    gDeviceState.LastSentIndex = 0;
}

// Runs passes of the link (10 ms waits for bytes) until `done` holds or the time is up; frames
// handed on are collected in `got`.
template <typename Done>
bool Pump(std::vector<Frame12>& got, Done done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        TalkLinkPass(10, [&got](const uint8_t* f) {
            Frame12 a;
            std::memcpy(a.data(), f, a.size());
            got.push_back(a);
        });
    }
    return true;
}

// True once thread `tid` of this process sleeps in poll (the kernel names the call it is blocked
// in); false when that has not happened within `limit`.
inline bool WaitInPoll(pid_t tid, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(path);
        long call = -1;
        if (in >> call) {  // "running" while it runs
#ifdef SYS_poll
            if (call == SYS_poll) {
                return true;
            }
#endif
            if (call == SYS_ppoll) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}
