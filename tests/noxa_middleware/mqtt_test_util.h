// Tools of the MQTT client's suites: the client's log lines caught for the test, one recorder of
// every callback (the client's callbacks carry no argument of their own), MQTT packets built by
// hand, and a scripted broker on a loopback port that the test drives packet by packet.
#pragma once

#include "net_peers.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_middleware/mqtt/mqtt_client.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace mqtttest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous limits for things that happen at once on loopback: only a hang runs into them.
constexpr int kWaitMs = 20000;

// ---- every callback, recorded -------------------------------------------------------------

struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    int connected = 0;
    int disconnected = 0;
    int updateAuth = 0;
    int permitCalls = 0;
    std::vector<int> denies;
    std::vector<std::string> received;
    bool allNulTerminated = true;
    std::vector<std::pair<intptr_t, int>> pubResults;  // argument, result
    std::atomic<int> permitAnswer{1};
    std::vector<std::string> lines;  // log lines

    // A fresh start for the next test of the same process.
    void Reset()
    {
        std::lock_guard<std::mutex> lock(m);
        connected = disconnected = updateAuth = permitCalls = 0;
        denies.clear();
        received.clear();
        allNulTerminated = true;
        pubResults.clear();
        permitAnswer = 1;
        lines.clear();
    }

    template <class Pred>
    bool WaitFor(Pred pred, int ms = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(*this); });
    }
    template <class Fn>
    void Update(Fn fn)
    {
        {
            std::lock_guard<std::mutex> lock(m);
            fn(*this);
        }
        cv.notify_all();
    }
    template <class Fn>
    auto Read(Fn fn)
    {
        std::lock_guard<std::mutex> lock(m);
        return fn(*this);
    }
    // The log lines holding text, in order (called with the lock held).
    std::vector<std::string> LinesWith(const std::string& text) const
    {
        std::vector<std::string> out;
        for (const auto& l : lines) {
            if (l.find(text) != std::string::npos) {
                out.push_back(l);
            }
        }
        return out;
    }
    std::vector<std::string> LogLines(const std::string& text)
    {
        return Read([&](Recorder& r) { return r.LinesWith(text); });
    }
    int LogCount(const std::string& text) { return static_cast<int>(LogLines(text).size()); }
    bool WaitLog(const std::string& text, int n = 1, int ms = kWaitMs)
    {
        return WaitFor([&](Recorder& r) { return static_cast<int>(r.LinesWith(text).size()) >= n; }, ms);
    }
    void DumpLog()
    {
        Read([](Recorder& r) {
            for (const auto& l : r.lines) {
                fputs(l.c_str(), stdout);
            }
            return 0;
        });
    }
};

inline Recorder& Rec()
{
    static Recorder* r = new Recorder;  // outlives every thread of the process
    return *r;
}

// Start of a test's clock: test clocks only move forward, also when one process runs several
// tests (the system timer reads a step back as a wrap of the tick).
inline uint64_t NextClockBase()
{
    static uint64_t base = 1000000;
    base += 100000000;
    return base;
}

inline void CaptureLine(const char* line)
{
    Rec().Update([&](Recorder& r) { r.lines.emplace_back(line); });
}

inline void InstallLogTap()
{
    uni_log_init(LOG_LEVEL_DEBUG, 1024, CaptureLine);
}

// What every client test starts with: a clean recorder, the log tap, "*.test" names on
// 127.0.0.1 and the common worker. The result of cmmod_init.
inline int StartServices()
{
    Rec().Reset();
    InstallLogTap();
    netpeer::InstallLoopbackResolver();
    return cmmod_init();
}

// The number that follows `key` in a log line (e.g. "sleeptime:" in the back-off line).
inline long NumberAfter(const std::string& line, const std::string& key)
{
    size_t at = line.find(key);
    return at == std::string::npos ? -1 : std::strtol(line.c_str() + at + key.size(), nullptr, 10);
}

inline void OnRecv(uint8_t* data, uint32_t len)
{
    Rec().Update([&](Recorder& r) {
        r.received.emplace_back(reinterpret_cast<char*>(data), len);
        r.allNulTerminated = r.allNulTerminated && data[len] == '\0';
    });
}
inline void OnConn() { Rec().Update([](Recorder& r) { ++r.connected; }); }
inline void OnDisconn() { Rec().Update([](Recorder& r) { ++r.disconnected; }); }
inline void OnDeny(uint8_t n) { Rec().Update([n](Recorder& r) { r.denies.push_back(n); }); }
inline int OnPermit()
{
    Rec().Update([](Recorder& r) { ++r.permitCalls; });
    return Rec().permitAnswer.load();
}
inline void OnUpdateAuth() { Rec().Update([](Recorder& r) { ++r.updateAuth; }); }
inline void OnPub(int ret, void* arg)
{
    Rec().Update([&](Recorder& r) { r.pubResults.emplace_back(reinterpret_cast<intptr_t>(arg), ret); });
}

inline void RegisterAll(MQ_HANDLE h, bool withPermit = false)
{
    mqtt_register_cb(h, OnConn, OnDisconn, OnDeny, withPermit ? OnPermit : nullptr, OnUpdateAuth);
}

inline int Connected() { return Rec().Read([](Recorder& r) { return r.connected; }); }
inline int Disconnected() { return Rec().Read([](Recorder& r) { return r.disconnected; }); }
inline size_t ReceivedCount() { return Rec().Read([](Recorder& r) { return r.received.size(); }); }
inline size_t PubResultCount() { return Rec().Read([](Recorder& r) { return r.pubResults.size(); }); }

// Threads of this process, from the kernel's list.
inline int ThreadCount()
{
    int n = 0;
    if (FILE* f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof(line), f) != nullptr) {
            if (strncmp(line, "Threads:", 8) == 0) {
                n = atoi(line + 8);
            }
        }
        fclose(f);
    }
    return n;
}

// ---- packets by hand ----------------------------------------------------------------------

inline void PutLen(Bytes& b, uint32_t len)
{
    do {
        uint8_t d = len & 0x7F;
        len >>= 7;
        b.push_back(len != 0 ? (d | 0x80) : d);
    } while (len != 0);
}

inline Bytes Packet(uint8_t first, const Bytes& body)
{
    Bytes b{first};
    PutLen(b, static_cast<uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

inline Bytes Publish(const std::string& topic, const std::string& payload, uint8_t qos = 0, uint16_t id = 0)
{
    Bytes body{static_cast<uint8_t>(topic.size() >> 8), static_cast<uint8_t>(topic.size())};
    body.insert(body.end(), topic.begin(), topic.end());
    if (qos != 0) {
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id));
    }
    body.insert(body.end(), payload.begin(), payload.end());
    return Packet(static_cast<uint8_t>(0x30 | (qos << 1)), body);
}

inline Bytes Connack(uint8_t rc) { return {0x20, 0x02, 0x00, rc}; }
inline Bytes Suback(uint16_t id) { return {0x90, 0x03, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x00}; }
inline Bytes Puback(uint16_t id) { return {0x40, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}; }
inline Bytes Pingresp() { return {0xD0, 0x00}; }

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline uint16_t IdOf(const Bytes& pkt, size_t at) { return static_cast<uint16_t>(pkt[at] << 8 | pkt[at + 1]); }

// Message id of a PUBLISH with QoS > 0 (one length byte or two).
inline uint16_t PublishId(const Bytes& pkt)
{
    size_t hdr = (pkt[1] & 0x80) != 0 ? 3 : 2;
    size_t topicLen = IdOf(pkt, hdr);
    return IdOf(pkt, hdr + 2 + topicLen);
}

// The topics of a SUBSCRIBE, in order.
inline std::vector<std::string> SubscribeTopics(const Bytes& pkt)
{
    std::vector<std::string> topics;
    size_t at = 4;  // type, one length byte, message id
    while (at + 2 <= pkt.size()) {
        size_t n = IdOf(pkt, at);
        topics.emplace_back(pkt.begin() + static_cast<long>(at + 2), pkt.begin() + static_cast<long>(at + 2 + n));
        at += 2 + n + 1;
    }
    return topics;
}

// ---- a broker played by the test ----------------------------------------------------------

// Listens on a loopback port of its own; one client connection at a time, driven by the test.
class ScriptedBroker {
public:
    ScriptedBroker()
    {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        if (bind(mListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(mListen, 8) != 0 ||
            getsockname(mListen, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            throw std::runtime_error("scripted broker: no port");
        }
        mPort = ntohs(sa.sin_port);
    }
    ~ScriptedBroker()
    {
        StopListening();
    }
    ScriptedBroker(const ScriptedBroker&) = delete;
    ScriptedBroker& operator=(const ScriptedBroker&) = delete;

    uint16_t Port() const { return mPort; }

    bool Accept(int ms = kWaitMs)
    {
        Drop();
        pollfd p{mListen, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) {
            return false;
        }
        mConn = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        setsockopt(mConn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        mIn.clear();
        return mConn >= 0;
    }

    // The next whole packet from the client; empty when it closed or nothing came in time.
    Bytes Read(int ms = kWaitMs)
    {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t total = WholeLength();
            if (total != 0 && mIn.size() >= total) {
                Bytes pkt(mIn.begin(), mIn.begin() + static_cast<long>(total));
                mIn.erase(mIn.begin(), mIn.begin() + static_cast<long>(total));
                return pkt;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd p{mConn, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                return {};
            }
            uint8_t buf[4096];
            ssize_t n = recv(mConn, buf, sizeof(buf), 0);
            if (n <= 0) {
                return {};
            }
            mIn.insert(mIn.end(), buf, buf + n);
        }
    }

    // The next packet of the given type, skipping PINGREQs (the keepalive may send one).
    Bytes ReadType(uint8_t type, int ms = kWaitMs)
    {
        for (;;) {
            Bytes pkt = Read(ms);
            if (pkt.empty() || (pkt[0] & 0xF0) == type) {
                return pkt;
            }
        }
    }

    // One send call: on loopback the bytes arrive together.
    void Send(const Bytes& b) { ::send(mConn, b.data(), b.size(), MSG_NOSIGNAL); }

    // True when the client closed its side (all it sent before is read and dropped).
    bool WaitClosed(int ms = kWaitMs)
    {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd p{mConn, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                return false;
            }
            uint8_t buf[4096];
            if (recv(mConn, buf, sizeof(buf), 0) <= 0) {
                return true;
            }
        }
    }

    // Accept, CONNECT, CONNACK with rc; when accepted also SUBSCRIBE and SUBACK. Returns the
    // SUBSCRIBE (or the CONNECT for a refusal).
    Bytes Handshake(uint8_t rc = 0)
    {
        if (!Accept()) {
            return {};
        }
        Bytes connect = Read();
        if (connect.empty() || connect[0] != 0x10) {
            return {};
        }
        mConnect = connect;
        Send(Connack(rc));
        if (rc != 0) {
            return connect;
        }
        Bytes sub = ReadType(0x80);
        if (sub.empty()) {
            return {};
        }
        Send(Suback(IdOf(sub, 2)));
        return sub;
    }

    const Bytes& LastConnect() const { return mConnect; }

    // Connects to the port are refused from now on.
    void StopListening()
    {
        Drop();
        if (mListen >= 0) {
            close(mListen);
            mListen = -1;
        }
    }

    void Drop()
    {
        if (mConn >= 0) {
            close(mConn);
            mConn = -1;
        }
    }

private:
    size_t WholeLength() const
    {
        size_t len = 0;
        size_t mult = 1;
        for (size_t i = 1; i < mIn.size() && i <= 4; ++i) {
            len += (mIn[i] & 0x7F) * mult;
            if ((mIn[i] & 0x80) == 0) {
                return 1 + i + len;
            }
            mult *= 128;
        }
        return 0;
    }

    int mListen = -1;
    int mConn = -1;
    uint16_t mPort = 0;
    Bytes mIn;
    Bytes mConnect;
};

}  // namespace mqtttest
