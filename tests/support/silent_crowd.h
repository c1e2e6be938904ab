// A crowd of local connections to the viewers' port that never say a word, as a script on the host
// would hold them: each one opened again when the unit closes it (at once, or a retry later), and,
// with a retry, a connect not through within it given up and made anew, as a client with a short
// connect time-out does. Loopback only; every socket is closed when the crowd goes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

class SilentCrowd {
public:
    using Clock = std::chrono::steady_clock;

    SilentCrowd(uint16_t port, size_t count, std::chrono::milliseconds retry = std::chrono::milliseconds(0))
        : mPort(port), mRetry(retry), mSlots(count)
    {
        mThread = std::thread([this] { Loop(); });
    }
    ~SilentCrowd()
    {
        mStop = true;
        mThread.join();
        for (Slot& s : mSlots) {
            Drop(s);
        }
    }
    SilentCrowd(const SilentCrowd&) = delete;
    SilentCrowd& operator=(const SilentCrowd&) = delete;

    // Connects made so far (the first ones and every one made again).
    size_t Opened() const { return mOpened.load(); }
    // Connections the unit has taken: their challenge arrived.
    size_t Taken() const { return mTaken.load(); }
    // Connections open and taken by the unit right now.
    size_t Waiting() const { return mWaiting.load(); }

private:
    enum class State { Closed, Connecting, Up, Taken };
    struct Slot {
        int fd = -1;
        State state = State::Closed;
        Clock::time_point at{};  // connect made, or when to make it again
    };

    void Drop(Slot& s)
    {
        if (s.fd >= 0) {
            close(s.fd);
        }
        if (s.state == State::Taken) {
            --mWaiting;
        }
        s.fd = -1;
        s.state = State::Closed;
    }
    void Open(Slot& s, Clock::time_point now)
    {
        Drop(s);
        s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        s.at = now;
        if (s.fd < 0) {
            s.at = now + std::chrono::milliseconds(100);
            return;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(mPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int rc = connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        s.state = rc == 0 ? State::Up : State::Connecting;
        ++mOpened;
    }
    // The unit closed it (or the connect failed): made again at once or after the retry.
    void Lost(Slot& s, Clock::time_point now)
    {
        Drop(s);
        s.at = now + mRetry;
        if (mRetry.count() == 0) {
            Open(s, now);
        }
    }
    void Loop()
    {
        for (Slot& s : mSlots) {
            Open(s, Clock::now());
        }
        std::vector<pollfd> fds(mSlots.size());
        while (!mStop) {
            for (size_t i = 0; i < mSlots.size(); ++i) {
                const Slot& s = mSlots[i];
                fds[i] = pollfd{s.fd, static_cast<short>(s.state == State::Connecting ? POLLOUT : POLLIN), 0};
            }
            poll(fds.data(), fds.size(), 10);
            const Clock::time_point now = Clock::now();
            for (size_t i = 0; i < mSlots.size(); ++i) {
                Slot& s = mSlots[i];
                const short ev = fds[i].revents;
                if (s.state == State::Closed) {
                    if (now >= s.at) {
                        Open(s, now);
                    }
                } else if (s.state == State::Connecting) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    if (ev != 0) {
                        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                        if (err != 0) {
                            Lost(s, now);
                        } else {
                            s.state = State::Up;
                        }
                    } else if (mRetry.count() > 0 && now - s.at >= mRetry) {
                        Open(s, now);  // not through in time: given up and made again
                    }
                } else if (ev != 0) {
                    uint8_t sink[256];
                    if (recv(s.fd, sink, sizeof sink, 0) <= 0) {
                        Lost(s, now);  // the challenge is read and never answered; a close is answered by a new one
                    } else if (s.state == State::Up) {
                        s.state = State::Taken;
                        ++mTaken;
                        ++mWaiting;
                    }
                }
            }
        }
    }

    uint16_t mPort;
    std::chrono::milliseconds mRetry;
    std::vector<Slot> mSlots;
    std::atomic<bool> mStop{false};
    std::atomic<size_t> mOpened{0};
    std::atomic<size_t> mTaken{0};
    std::atomic<size_t> mWaiting{0};
    std::thread mThread;
};
