// A phone viewer of the test's own on the unit's transfer port: it connects as a client, sends
// events and collects every record the unit sends, on a thread of its own. Records are read with
// this file's code (12-byte head: kind, client, length; little-endian words), never the unit's.
// The connection set-up is Connect() alone: the unit's challenge, then the hello with the proof
// (HMAC-SHA256 with OpenSSL, keyed by the device's local key).
#pragma once

#include "sandbox.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ViewerClient {
public:
    enum Kind : uint32_t {
        kHello = 1, kWelcome = 2, kEvent = 3, kAnswer = 6, kFragmentEnd = 15, kDlData = 16, kDlStatus = 17,
        kChallenge = 18,
    };
    struct Record {
        uint32_t kind = 0;
        std::vector<uint8_t> payload;
        uint32_t U32(size_t at) const
        {
            uint32_t v = 0;
            for (int i = 3; i >= 0 && at + i < payload.size(); --i) {
                v = (v << 8) | payload[at + i];
            }
            return v;
        }
    };
    using Records = std::vector<Record>;

    // `key`: the device's local key, as the owner's phone has it.
    ViewerClient(const TestSandbox& board, uint32_t client, const std::string& key) : mClient(client)
    {
        mOk = Connect(board, key);
    }
    ~ViewerClient()
    {
        mStop = true;
        if (mReader.joinable()) {
            mReader.join();
        }
        close(mFd);
    }
    bool Ok() const { return mOk; }

    void Event(uint32_t code, const std::vector<uint32_t>& words)
    {
        std::vector<uint32_t> p = {code, static_cast<uint32_t>(words.size())};
        p.insert(p.end(), words.begin(), words.end());
        Send(kEvent, p);
    }
    // Every record so far of a kind (0: all).
    Records Of(uint32_t kind)
    {
        std::lock_guard<std::mutex> lock(mLock);
        Records out;
        for (const Record& r : mRecords) {
            if (kind == 0 || r.kind == kind) {
                out.push_back(r);
            }
        }
        return out;
    }
    // Waits until `done` holds for the records so far; whether it did within `limit`.
    bool WaitFor(const std::function<bool(const Records&)>& done, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mLock);
        return mCv.wait_for(lock, limit, [&] { return done(mRecords); });
    }
    bool WaitKind(uint32_t kind, std::chrono::milliseconds limit)
    {
        auto has = [kind](const Records& rs) {
            return std::any_of(rs.begin(), rs.end(), [kind](const Record& r) { return r.kind == kind; });
        };
        return WaitFor(has, limit);
    }

private:
    // The unit's challenge first; the hello names the client, the unit's default quality and the
    // proof over the challenge and the client number; the welcome answers it.
    bool Connect(const TestSandbox& board, const std::string& key)
    {
        const int port = atoi(board.Read("/.board/p2p.port").c_str());
        mFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (port <= 0 || connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            return false;
        }
        Record r;
        if (!ReadRecord(r, 5000) || r.kind != kChallenge) {
            return false;
        }
        std::vector<uint8_t> msg = r.payload;
        for (int i = 0; i < 4; ++i) {
            msg.push_back(static_cast<uint8_t>(mClient >> (8 * i)));
        }
        uint8_t mac[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), mac, &len);
        std::vector<uint32_t> hello = {0xFFFFFFFFu};
        for (unsigned i = 0; i + 4 <= len; i += 4) {
            hello.push_back(mac[i] | mac[i + 1] << 8 | mac[i + 2] << 16 | static_cast<uint32_t>(mac[i + 3]) << 24);
        }
        Send(kHello, hello);
        if (!ReadRecord(r, 5000) || r.kind != kWelcome) {
            return false;
        }
        mReader = std::thread([this] {
            for (Record rec; !mStop;) {
                if (ReadRecord(rec, 100)) {
                    std::lock_guard<std::mutex> lock(mLock);
                    mRecords.push_back(rec);
                    mCv.notify_all();
                }
            }
        });
        return true;
    }
    void Send(uint32_t kind, const std::vector<uint32_t>& words)
    {
        std::vector<uint32_t> w = {kind, mClient, static_cast<uint32_t>(4 * words.size())};
        w.insert(w.end(), words.begin(), words.end());
        std::vector<uint8_t> rec;
        for (uint32_t v : w) {
            for (int i = 0; i < 4; ++i) {
                rec.push_back(static_cast<uint8_t>(v >> (8 * i)));
            }
        }
        for (size_t at = 0; at < rec.size();) {
            ssize_t n = send(mFd, rec.data() + at, rec.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            at += static_cast<size_t>(n);
        }
    }
    // One record, waiting at most waitMs for its first byte.
    bool ReadRecord(Record& r, int waitMs)
    {
        pollfd p = {mFd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) {
            return false;
        }
        Record head;
        head.payload.resize(12);
        if (!ReadAll(head.payload.data(), 12)) {
            mStop = true;
            return false;
        }
        r.kind = head.U32(0);
        r.payload.resize(head.U32(8));
        return ReadAll(r.payload.data(), r.payload.size());
    }
    bool ReadAll(uint8_t* p, size_t len)
    {
        for (size_t got = 0; got < len;) {
            ssize_t n = recv(mFd, p + got, len - got, 0);
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }

    uint32_t mClient;
    int mFd = -1;
    bool mOk = false;
    std::atomic<bool> mStop{false};
    std::thread mReader;
    std::mutex mLock;
    std::condition_variable mCv;
    Records mRecords;
};
