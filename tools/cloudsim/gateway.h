// The cloud's media gateway: listens on a loopback port for the unit that a "wg" request sent
// there, runs the signed challenge, then checks and decrypts every media frame (header, signature,
// rising seqNo per stream, each video stream starting on a key frame) and writes main.h264,
// sub.h264 and audio.pcm. It sends the commands of the phone (stream mask, talk-back audio, stop)
// and, on request, misbehaves. Its framing and crypto are its own (OpenSSL EVP), never the unit's.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cloudsim {

struct GatewayConfig {
    std::string devId;
    std::string localKey;  // signs every frame
    std::string mediaKey;  // encrypts every body (16 characters)
    std::string username;
    std::string password;  // keys the challenge's signatures
    std::string sessionId;
    uint32_t mask = 3;
    std::string outDir;  // "" writes no files
    std::function<void(const std::string&)> log;
};

// Handshake modes that stay until cleared, and single misbehaviours on the live connection.
enum class GatewayFault {
    None,
    BadServerSign,  // command 1 carries a wrong signature (mode)
    Refuse401,      // command 3 answers 401 (mode)
    Command60,      // a command frame of length 60
    Length5000,     // a header announcing 5000 bytes
    BadFrameSign,   // a talk-back frame with a wrong signature
    BadCipher,      // a signed talk-back frame whose ciphertext is no whole block
    UnknownType,    // a frame of type 9
    Close,          // the connection closed at once
    Freeze,         // reads and sends nothing more, as a stopped process (None thaws)
    Vanish,         // frozen, and its connection acknowledges nothing more (not even keep-alive
                    // probes), as a host that is gone; the connection stays deaf
};

struct GatewayStream {
    uint64_t frames = 0;
    uint64_t keyFrames = 0;
    uint64_t bytes = 0;
    uint32_t lastSeq = 0;
    uint64_t gaps = 0;        // seqNo jumps on a running stream
    bool started = false;     // a frame came on this connection
    int64_t firstMs = 0;      // arrival of the first and last frame (steady ms)
    int64_t lastMs = 0;
    std::vector<int64_t> latencyMs;  // arrival wall ms - frame's ms stamp
};

struct GatewayStats {
    uint32_t connections = 0;
    uint32_t auths = 0;       // handshakes that completed
    bool connected = false;
    bool streaming = false;
    std::map<uint32_t, GatewayStream> streams;  // by stream bit
    std::map<std::string, uint32_t> errors;     // reason -> count
    uint64_t signatureErrors = 0;
};

class MediaGateway {
public:
    explicit MediaGateway(GatewayConfig config);
    ~MediaGateway();
    MediaGateway(const MediaGateway&) = delete;
    MediaGateway& operator=(const MediaGateway&) = delete;

    // Listens on 127.0.0.1 at a free port; false when it cannot.
    bool Start();
    void Stop();
    uint16_t Port() const { return mPort; }
    const GatewayConfig& Config() const { return mCfg; }

    // Command 5; the streams added start on a key frame.
    bool SendMask(uint32_t mask);
    // Command 6 status 1, the WAV (16-bit mono 8000 Hz) as encrypted G.711 mu-law frames of 40 ms
    // in real time, command 6 status 0. "" or the reason it failed.
    std::string Talk(const std::string& wavPath);
    // Command 4.
    bool SendStop();
    // A mode (BadServerSign, Refuse401; None clears them) or a single misbehaviour now.
    std::string Fault(GatewayFault f);

    GatewayStats Stats();
    // One line per stream (frames, fps, key frames, latency p50/p95) and the counters.
    std::string Status();

private:
    void Loop();
    void Serve(int fd);
    bool Handshake(int fd);
    bool Media(int fd);
    bool CheckMedia(const std::string& frame);
    bool SendFrame(const std::string& frame);
    std::string Command(uint32_t id, const std::string& json);
    void Error(const std::string& why);
    void Log(const std::string& text);
    void OpenFiles();

    GatewayConfig mCfg;
    int mListen = -1;
    uint16_t mPort = 0;
    std::thread mThread;
    std::atomic<bool> mStop{false};
    std::mutex mSendLock;  // the live connection's writes
    int mFd = -1;          // under mSendLock
    std::mutex mLock;      // stats, modes, files
    GatewayStats mStats;
    bool mBadSign = false;
    bool mRefuse = false;
    std::atomic<bool> mFrozen{false};
    uint32_t mMask = 0;
    std::string mRandom;  // the unit's challenge of this connection
    FILE* mFiles[3] = {nullptr, nullptr, nullptr};  // audio, main, sub
    uint32_t mTalkSeq = 0;
};

// G.711 mu-law of one 16-bit sample, and back.
uint8_t MulawEncode(int16_t pcm);
int16_t MulawDecode(uint8_t u);

}  // namespace cloudsim
