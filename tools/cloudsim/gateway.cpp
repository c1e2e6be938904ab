#include "gateway.h"

#include "codec.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cloudsim {

namespace {

constexpr uint32_t kHead = 28;
constexpr uint32_t kSign = 32;
constexpr uint32_t kMaxFrame = 4 * 1024 * 1024;  // what a media frame may announce
constexpr uint32_t kTypeP = 0;
constexpr uint32_t kTypeI = 1;
constexpr uint32_t kTypeAudio = 3;
constexpr uint32_t kTypeCmd = 4;

int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Be32(std::string* s, uint32_t v)
{
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    s->append(b, 4);
}

uint32_t GetBe32(const std::string& s, size_t at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(s.data() + at);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string Hmac(const std::string& key, const std::string& data)
{
    unsigned char out[32];
    size_t n = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                  reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, sizeof out, &n) == nullptr) {
        return std::string(32, '\0');
    }
    return std::string(reinterpret_cast<char*>(out), n);
}

std::string RandomBytes(size_t n)
{
    std::string b(n, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(b.data()), static_cast<int>(n));
    return b;
}

// A frame's signature: over the bytes before the ciphertext and the ciphertext's last 16 bytes.
std::string FrameSign(const std::string& key, const std::string& frame, size_t cipherOff, size_t cipherLen)
{
    return Hmac(key, frame.substr(0, cipherOff) + frame.substr(cipherOff + cipherLen - 16, 16));
}

bool ReadAll(int fd, std::string* out, size_t n, const std::atomic<bool>& stop, int idleMs)
{
    out->resize(n);
    size_t got = 0;
    int64_t idleSince = SteadyMs();
    while (got < n) {
        if (stop.load()) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, 100);
        if (r == 0) {
            if (idleMs > 0 && SteadyMs() - idleSince > idleMs) {
                return false;
            }
            continue;
        }
        const ssize_t k = recv(fd, out->data() + got, n - got, 0);
        if (k <= 0) {
            if (k < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            return false;
        }
        got += static_cast<size_t>(k);
        idleSince = SteadyMs();
    }
    return true;
}

int64_t Percentile(std::vector<int64_t> v, double p)
{
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

const char* StreamName(uint32_t bit)
{
    switch (bit) {
    case 1:
        return "audio";
    case 2:
        return "main";
    case 4:
        return "sub";
    case 8:
        return "third";
    default:
        return "?";
    }
}

}  // namespace

uint8_t MulawEncode(int16_t pcm)
{
    constexpr int kBias = 0x84;
    constexpr int kClip = 32635;
    int sample = pcm;
    const int sign = sample < 0 ? 0x80 : 0;
    if (sample < 0) {
        sample = -sample;
    }
    sample = std::min(sample, kClip) + kBias;
    int exponent = 7;
    for (int mask = 0x4000; (sample & mask) == 0 && exponent > 0; mask >>= 1) {
        --exponent;
    }
    const int mantissa = (sample >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

int16_t MulawDecode(uint8_t u)
{
    u = static_cast<uint8_t>(~u);
    const int sign = u & 0x80;
    const int exponent = (u >> 4) & 7;
    const int mantissa = u & 0x0F;
    int sample = ((mantissa << 3) + 0x84) << exponent;
    sample -= 0x84;
    return static_cast<int16_t>(sign != 0 ? -sample : sample);
}

MediaGateway::MediaGateway(GatewayConfig config) : mCfg(std::move(config)), mMask(mCfg.mask) {}

MediaGateway::~MediaGateway()
{
    Stop();
}

void MediaGateway::Log(const std::string& text)
{
    if (mCfg.log) {
        mCfg.log("gateway " + std::to_string(mPort) + ": " + text);
    }
}

void MediaGateway::Error(const std::string& why)
{
    {
        std::lock_guard<std::mutex> lock(mLock);
        ++mStats.errors[why];
    }
    Log("refused: " + why);
}

bool MediaGateway::Start()
{
    mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (mListen < 0 || bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(mListen, 4) != 0 ||
        getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (mListen >= 0) {
            close(mListen);
            mListen = -1;
        }
        return false;
    }
    mPort = ntohs(a.sin_port);
    mThread = std::thread([this] { Loop(); });
    Log("listening, session " + mCfg.sessionId + ", streams " + std::to_string(mCfg.mask));
    return true;
}

void MediaGateway::Stop()
{
    mStop.store(true);
    {
        std::lock_guard<std::mutex> lock(mSendLock);
        if (mFd >= 0) {
            shutdown(mFd, SHUT_RDWR);
        }
    }
    if (mThread.joinable()) {
        mThread.join();
    }
    if (mListen >= 0) {
        close(mListen);
        mListen = -1;
    }
    std::lock_guard<std::mutex> lock(mLock);
    for (FILE*& f : mFiles) {
        if (f != nullptr) {
            fclose(f);
            f = nullptr;
        }
    }
}

void MediaGateway::OpenFiles()
{
    if (mCfg.outDir.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mLock);
    const char* names[3] = {"audio.pcm", "main.h264", "sub.h264"};
    for (int i = 0; i < 3; ++i) {
        if (mFiles[i] == nullptr) {
            mFiles[i] = fopen((mCfg.outDir + "/" + names[i]).c_str(), "wbe");
        }
    }
}

void MediaGateway::Loop()
{
    OpenFiles();
    while (!mStop.load()) {
        pollfd p{mListen, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const int fd = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard<std::mutex> lock(mSendLock);
            mFd = fd;
        }
        {
            std::lock_guard<std::mutex> lock(mLock);
            ++mStats.connections;
            mStats.connected = true;
            for (auto& [bit, st] : mStats.streams) {
                st.started = false;
            }
        }
        Log("unit connected");
        Serve(fd);
        {
            std::lock_guard<std::mutex> lock(mSendLock);
            mFd = -1;
        }
        close(fd);
        std::lock_guard<std::mutex> lock(mLock);
        mStats.connected = false;
        mStats.streaming = false;
        Log("unit gone");
    }
}

std::string MediaGateway::Command(uint32_t id, const std::string& json)
{
    std::string frame;
    const std::string iv = RandomBytes(16);
    std::string cipher;
    if (!json.empty()) {
        cipher = AesCbcEncrypt(mCfg.mediaKey, iv, json);
    }
    Be32(&frame, 1);
    Be32(&frame, kTypeCmd);
    Be32(&frame, static_cast<uint32_t>(36 + (json.empty() ? 0 : cipher.size() + kSign)));
    frame += json.empty() ? std::string(16, '\0') : iv;
    Be32(&frame, id);
    std::string session = mCfg.sessionId.substr(0, 32);
    session.resize(32, '\0');
    frame += session;
    if (!json.empty()) {
        frame += cipher;
        frame += FrameSign(mCfg.localKey, frame, 64, cipher.size());
    }
    return frame;
}

bool MediaGateway::SendFrame(const std::string& frame)
{
    std::lock_guard<std::mutex> lock(mSendLock);
    if (mFd < 0 || mFrozen.load()) {
        return false;
    }
    size_t off = 0;
    while (off < frame.size()) {
        const ssize_t n = send(mFd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

void MediaGateway::Serve(int fd)
{
    if (!Handshake(fd)) {
        return;
    }
    Media(fd);
}

// A command frame from the unit, checked: its JSON body, or "" after logging why not.
static std::string ReadCommand(int fd, const GatewayConfig& cfg, const std::atomic<bool>& stop, uint32_t wantId,
                               std::string* why)
{
    std::string head;
    if (!ReadAll(fd, &head, kHead, stop, 10000)) {
        *why = "no command " + std::to_string(wantId);
        return "";
    }
    const uint32_t len = GetBe32(head, 8);
    if (GetBe32(head, 0) != 1 || GetBe32(head, 4) != kTypeCmd || len < 36 + 16 + kSign || len > 4096) {
        *why = "command " + std::to_string(wantId) + ": bad header";
        return "";
    }
    std::string body;
    if (!ReadAll(fd, &body, len, stop, 10000)) {
        *why = "command " + std::to_string(wantId) + " cut";
        return "";
    }
    const std::string frame = head + body;
    const size_t cipherLen = len - 36 - kSign;
    if (GetBe32(frame, 28) != wantId) {
        *why = "command " + std::to_string(GetBe32(frame, 28)) + " instead of " + std::to_string(wantId);
        return "";
    }
    std::string session = frame.substr(32, 32);
    session.resize(strnlen(session.c_str(), 32));
    if (session != cfg.sessionId) {
        *why = "command " + std::to_string(wantId) + ": session " + session;
        return "";
    }
    if (FrameSign(cfg.localKey, frame, 64, cipherLen) != frame.substr(64 + cipherLen)) {
        *why = "command " + std::to_string(wantId) + ": signature";
        return "";
    }
    std::string plain;
    if (!AesCbcDecrypt(cfg.mediaKey, frame.substr(12, 16), frame.substr(64, cipherLen), &plain)) {
        *why = "command " + std::to_string(wantId) + ": does not decrypt";
        return "";
    }
    return plain;
}

bool MediaGateway::Handshake(int fd)
{
    std::string why;
    const std::string c0 = ReadCommand(fd, mCfg, mStop, 0, &why);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> j0(cJSON_Parse(c0.c_str()), cJSON_Delete);
    const cJSON* dev = cJSON_GetObjectItemCaseSensitive(j0.get(), "devId");
    const cJSON* auth = cJSON_GetObjectItemCaseSensitive(j0.get(), "authorization");
    if (c0.empty() || !cJSON_IsString(dev) || !cJSON_IsString(auth) || mCfg.devId != dev->valuestring ||
        strncmp(auth->valuestring, "random=", 7) != 0 || strlen(auth->valuestring) != 7 + 32) {
        Error(why.empty() ? "command 0: body " + c0 : why);
        return false;
    }
    mRandom = auth->valuestring + 7;
    bool badSign = false;
    bool refuse = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        badSign = mBadSign;
        refuse = mRefuse;
    }
    std::string sign =
        HexLower(Hmac(mCfg.password, mCfg.username + ":" + mCfg.sessionId + ":" + mCfg.devId + ":" + mRandom));
    if (badSign) {
        sign[0] = sign[0] == '0' ? '1' : '0';
    }
    const std::string value = HexLower(RandomBytes(16));
    if (!SendFrame(Command(1, "{\"authorization\":\"sign=" + sign + ",value=" + value + "\"}"))) {
        return false;
    }
    if (badSign) {
        // A unit that believed it would answer; one that did not stays silent.
        std::string head;
        if (ReadAll(fd, &head, kHead, mStop, 1500)) {
            Error("answered a wrong server signature");
        } else {
            Log("wrong server signature: the unit stays silent");
        }
        return false;
    }
    const std::string c2 = ReadCommand(fd, mCfg, mStop, 2, &why);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> j2(cJSON_Parse(c2.c_str()), cJSON_Delete);
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(j2.get(), "statuscode");
    const cJSON* auth2 = cJSON_GetObjectItemCaseSensitive(j2.get(), "authorization");
    const std::string want =
        "signature=" +
        HexLower(Hmac(mCfg.password, mCfg.username + ":" + mCfg.sessionId + ":" + mCfg.devId + ":" + sign + ":" + value));
    if (c2.empty() || !cJSON_IsNumber(code) || code->valueint != 200 || !cJSON_IsString(auth2) ||
        want != auth2->valuestring) {
        Error(why.empty() ? "command 2: body " + c2 : why);
        return false;
    }
    if (refuse) {
        SendFrame(Command(3, "{\"statuscode\":401}"));
        Log("answered 401");
        std::string rest;
        ReadAll(fd, &rest, 1, mStop, 2000);  // the unit closes
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mLock);
        ++mStats.auths;
        mStats.streaming = true;
    }
    if (!SendFrame(Command(3, "{\"statuscode\":200}"))) {
        return false;
    }
    Log("authenticated " + mCfg.devId);
    return true;
}

bool MediaGateway::Media(int fd)
{
    for (;;) {
        // Frozen, the connection is neither read nor closed: the unit's bytes pile up.
        while (mFrozen.load()) {
            if (mStop.load()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::string head;
        if (!ReadAll(fd, &head, kHead, mStop, 0)) {
            return false;
        }
        const uint32_t len = GetBe32(head, 8);
        const uint32_t type = GetBe32(head, 4);
        if (GetBe32(head, 0) != 1 || (type != kTypeP && type != kTypeI && type != kTypeAudio) || len > kMaxFrame) {
            Error("bad header: version " + std::to_string(GetBe32(head, 0)) + " type " + std::to_string(type) +
                  " length " + std::to_string(len));
            return false;
        }
        std::string body;
        if (!ReadAll(fd, &body, len, mStop, 10000)) {
            return false;
        }
        if (!CheckMedia(head + body)) {
            return false;
        }
    }
}

bool MediaGateway::CheckMedia(const std::string& frame)
{
    const int64_t arrivedWall = WallMs();
    const uint32_t type = GetBe32(frame, 4);
    const uint32_t len = GetBe32(frame, 8);
    const bool audio = type == kTypeAudio;
    const size_t off = audio ? 68 : 72;
    if (len < off - kHead + 16 + kSign || (len - (off - kHead) - kSign) % 16 != 0) {
        Error("frame length " + std::to_string(len));
        return false;
    }
    const size_t cipherLen = len - (off - kHead) - kSign;
    if (FrameSign(mCfg.localKey, frame, off, cipherLen) != frame.substr(off + cipherLen)) {
        std::lock_guard<std::mutex> lock(mLock);
        ++mStats.signatureErrors;
        ++mStats.errors["frame signature"];
        return true;
    }
    const uint32_t bit = GetBe32(frame, 28);
    const uint32_t seq = GetBe32(frame, 32);
    if ((audio && bit != 1) || (!audio && bit != 2 && bit != 4 && bit != 8)) {
        Error("stream bit " + std::to_string(bit) + " on type " + std::to_string(type));
        return false;
    }
    const size_t stampAt = audio ? 52 : 56;
    const uint64_t stamp = (uint64_t{GetBe32(frame, stampAt)} << 32) | GetBe32(frame, stampAt + 4);
    std::string plain;
    if (!AesCbcDecrypt(mCfg.mediaKey, frame.substr(12, 16), frame.substr(off, cipherLen), &plain)) {
        Error("frame does not decrypt");
        return false;
    }
    std::lock_guard<std::mutex> lock(mLock);
    GatewayStream& st = mStats.streams[bit];
    if (st.started && seq <= st.lastSeq) {
        ++mStats.errors[std::string(StreamName(bit)) + " seqNo not rising"];
    } else if (st.started && seq != st.lastSeq + 1) {
        ++st.gaps;
    }
    if (!st.started && !audio && type != kTypeI) {
        ++mStats.errors[std::string(StreamName(bit)) + " starts without a key frame"];
    }
    if ((mMask & bit) == 0) {
        ++mStats.errors[std::string(StreamName(bit)) + " outside the mask"];
    }
    st.started = true;
    st.lastSeq = seq;
    ++st.frames;
    st.keyFrames += type == kTypeI ? 1 : 0;
    st.bytes += plain.size();
    st.lastMs = SteadyMs();
    if (st.firstMs == 0) {
        st.firstMs = st.lastMs;
    }
    if (st.latencyMs.size() < 100000) {
        st.latencyMs.push_back(arrivedWall - static_cast<int64_t>(stamp));
    }
    FILE* out = audio ? mFiles[0] : bit == 2 ? mFiles[1] : bit == 4 ? mFiles[2] : nullptr;
    if (out != nullptr) {
        const uint32_t codec = audio ? GetBe32(frame, 44) : 0;
        if (audio && codec == 105) {
            std::string pcm;
            for (unsigned char c : plain) {
                const int16_t v = MulawDecode(c);
                pcm.push_back(static_cast<char>(v & 0xFF));
                pcm.push_back(static_cast<char>((v >> 8) & 0xFF));
            }
            fwrite(pcm.data(), 1, pcm.size(), out);
        } else {
            fwrite(plain.data(), 1, plain.size(), out);
        }
        fflush(out);
    }
    return true;
}

bool MediaGateway::SendMask(uint32_t mask)
{
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (uint32_t bit = 1; bit <= 8; bit <<= 1) {
            if ((mask & bit) != 0 && (mMask & bit) == 0) {
                mStats.streams[bit].started = false;  // comes back on a key frame
            }
        }
        mMask = mask;
    }
    Log("stream mask " + std::to_string(mask));
    return SendFrame(Command(5, "{\"streamType\":" + std::to_string(mask) + "}"));
}

bool MediaGateway::SendStop()
{
    Log("stop");
    return SendFrame(Command(4, ""));
}

std::string MediaGateway::Talk(const std::string& wavPath)
{
    FILE* f = fopen(wavPath.c_str(), "rbe");
    if (f == nullptr) {
        return "cannot open " + wavPath;
    }
    std::string wav;
    char buf[65536];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && wav.size() < 64u * 1024 * 1024) {
        wav.append(buf, n);
    }
    fclose(f);
    auto le16 = [&](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(wav[at]) | (static_cast<uint8_t>(wav[at + 1]) << 8)); };
    auto le32 = [&](size_t at) { return le16(at) | (le16(at + 2) << 16); };
    if (wav.size() < 12 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(8, 4, "WAVE") != 0) {
        return wavPath + " is no WAV file";
    }
    std::string pcm;
    bool fmtOk = false;
    for (size_t at = 12; at + 8 <= wav.size();) {
        const uint32_t size = le32(at + 4);
        const std::string id = wav.substr(at, 4);
        if (size > wav.size() - at - 8) {
            break;
        }
        if (id == "fmt " && size >= 16) {
            fmtOk = le16(at + 8) == 1 && le16(at + 10) == 1 && le32(at + 12) == 8000 && le16(at + 22) == 16;
        } else if (id == "data") {
            pcm = wav.substr(at + 8, size);
        }
        at += 8 + size + (size & 1);
    }
    if (!fmtOk || pcm.empty()) {
        return wavPath + ": 16-bit mono PCM at 8000 Hz expected";
    }
    const std::string codec = "\"audioCodec\":{\"codecType\":105,\"sample\":8000,\"dateBit\":16,\"channels\":0}";
    if (!SendFrame(Command(6, "{\"sessionId\":\"" + mCfg.sessionId + "\",\"status\":1," + codec + "}"))) {
        return "no unit connected";
    }
    Log("talk " + wavPath + " (" + std::to_string(pcm.size() / 2) + " samples)");
    constexpr size_t kFrameSamples = 320;  // 40 ms
    auto next = std::chrono::steady_clock::now();
    bool sent = true;
    for (size_t at = 0; at + 1 < pcm.size() && sent; at += kFrameSamples * 2) {
        std::string law;
        for (size_t i = at; i + 1 < pcm.size() && i < at + kFrameSamples * 2; i += 2) {
            const auto sample = static_cast<int16_t>(static_cast<uint8_t>(pcm[i]) | (static_cast<uint8_t>(pcm[i + 1]) << 8));
            law.push_back(static_cast<char>(MulawEncode(sample)));
        }
        const std::string iv = RandomBytes(16);
        const std::string cipher = AesCbcEncrypt(mCfg.mediaKey, iv, law);
        std::string frame;
        Be32(&frame, 1);
        Be32(&frame, kTypeAudio);
        Be32(&frame, static_cast<uint32_t>(40 + cipher.size() + kSign));
        frame += iv;
        const uint64_t now = static_cast<uint64_t>(WallMs());
        for (uint32_t v : {1u, ++mTalkSeq, 16u, 8000u, 105u, 0u, static_cast<uint32_t>(now >> 32),
                           static_cast<uint32_t>(now), static_cast<uint32_t>(now >> 32), static_cast<uint32_t>(now)}) {
            Be32(&frame, v);
        }
        frame += cipher;
        frame += FrameSign(mCfg.localKey, frame, 68, cipher.size());
        sent = SendFrame(frame);
        next += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(next);
    }
    SendFrame(Command(6, "{\"sessionId\":\"" + mCfg.sessionId + "\",\"status\":0," + codec + "}"));
    return sent ? "" : "the unit went away during the talk";
}

std::string MediaGateway::Fault(GatewayFault f)
{
    std::string frame;
    switch (f) {
    case GatewayFault::None: {
        std::lock_guard<std::mutex> lock(mLock);
        mBadSign = false;
        mRefuse = false;
        mFrozen.store(false);
        return "faults off";
    }
    case GatewayFault::BadServerSign: {
        std::lock_guard<std::mutex> lock(mLock);
        mBadSign = true;
        return "server signature wrong from the next handshake";
    }
    case GatewayFault::Refuse401: {
        std::lock_guard<std::mutex> lock(mLock);
        mRefuse = true;
        return "401 from the next handshake";
    }
    case GatewayFault::Command60:
        frame = Command(5, "");
        frame.replace(8, 4, std::string("\0\0\0\x3c", 4));
        frame += std::string(24, '\0');
        break;
    case GatewayFault::Length5000:
        frame = Command(5, "");
        frame.replace(8, 4, std::string("\0\0\x13\x88", 4));
        frame += std::string(5000 - 36, '\0');  // all of it: a unit that trusts the length overflows
        break;
    case GatewayFault::BadFrameSign: {
        const std::string iv = RandomBytes(16);
        const std::string cipher = AesCbcEncrypt(mCfg.mediaKey, iv, std::string(320, '\x7f'));
        Be32(&frame, 1);
        Be32(&frame, kTypeAudio);
        Be32(&frame, static_cast<uint32_t>(40 + cipher.size() + kSign));
        frame += iv;
        for (uint32_t v : {1u, ++mTalkSeq, 16u, 8000u, 105u, 0u, 0u, 0u, 0u, 0u}) {
            Be32(&frame, v);
        }
        frame += cipher;
        std::string sign = FrameSign(mCfg.localKey, frame, 68, cipher.size());
        sign[0] = static_cast<char>(sign[0] ^ 1);
        frame += sign;
        break;
    }
    case GatewayFault::BadCipher: {
        // A talk-back frame signed rightly whose 100 bytes are no whole number of blocks.
        const std::string cipher = RandomBytes(100);
        Be32(&frame, 1);
        Be32(&frame, kTypeAudio);
        Be32(&frame, static_cast<uint32_t>(40 + cipher.size() + kSign));
        frame += RandomBytes(16);
        for (uint32_t v : {1u, ++mTalkSeq, 16u, 8000u, 105u, 0u, 0u, 0u, 0u, 0u}) {
            Be32(&frame, v);
        }
        frame += cipher;
        frame += FrameSign(mCfg.localKey, frame, 68, cipher.size());
        break;
    }
    case GatewayFault::UnknownType:
        frame = Command(5, "");
        frame.replace(4, 4, std::string("\0\0\0\x09", 4));
        break;
    case GatewayFault::Close: {
        std::lock_guard<std::mutex> lock(mSendLock);
        if (mFd < 0) {
            return "no unit connected";
        }
        shutdown(mFd, SHUT_RDWR);
        Log("connection closed");
        return "closed";
    }
    case GatewayFault::Freeze:
        mFrozen.store(true);
        Log("frozen");
        return "frozen";
    case GatewayFault::Vanish: {
        // A socket filter that drops all the connection receives: the kernel acknowledges
        // nothing more, so the unit's keep-alive probes go unanswered as with a host that is gone
        // (no firewall, nothing outside this socket).
        std::lock_guard<std::mutex> lock(mSendLock);
        if (mFd < 0) {
            return "no unit connected";
        }
        sock_filter dropAll[] = {{BPF_RET | BPF_K, 0, 0, 0}};
        sock_fprog prog{1, dropAll};
        if (setsockopt(mFd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
            return std::string("vanish failed: ") + strerror(errno);
        }
        mFrozen.store(true);
        Log("vanished");
        return "vanished";
    }
    }
    Log("misbehaving: " + std::to_string(static_cast<int>(f)));
    return SendFrame(frame) ? "sent" : "no unit connected";
}

GatewayStats MediaGateway::Stats()
{
    std::lock_guard<std::mutex> lock(mLock);
    return mStats;
}

std::string MediaGateway::Status()
{
    const GatewayStats s = Stats();
    // The unit stamps frames with the cloud's whole second plus its own ticks: its clock runs a
    // fixed 0 to 1 s off the host's for the whole run. That offset is taken as the smallest
    // arrival-minus-stamp of all streams (one clock stamps them all), so the latencies below are
    // those above the run's fastest frame, exact up to that frame's own (about a millisecond on
    // loopback).
    int64_t offset = 0;
    bool any = false;
    for (const auto& [bit, st] : s.streams) {
        for (int64_t v : st.latencyMs) {
            offset = any ? std::min(offset, v) : v;
            any = true;
        }
    }
    std::string out = "gateway port " + std::to_string(mPort) + " session " + mCfg.sessionId + " connections " +
                      std::to_string(s.connections) + " auths " + std::to_string(s.auths) +
                      (s.streaming ? " streaming" : s.connected ? " connected" : " idle") + "\n";
    for (const auto& [bit, st] : s.streams) {
        const double secs = static_cast<double>(st.lastMs - st.firstMs) / 1000.0;
        const double fps = secs > 0 ? static_cast<double>(st.frames - 1) / secs : 0.0;
        std::vector<int64_t> lat = st.latencyMs;
        for (int64_t& v : lat) {
            v -= offset;
        }
        char line[256];
        snprintf(line, sizeof line,
                 "%s frames %llu key %llu bytes %llu gaps %llu fps %.1f latency p50 %lld p95 %lld max %lld ms offset %lld\n",
                 StreamName(bit), static_cast<unsigned long long>(st.frames),
                 static_cast<unsigned long long>(st.keyFrames), static_cast<unsigned long long>(st.bytes),
                 static_cast<unsigned long long>(st.gaps), fps, static_cast<long long>(Percentile(lat, 0.5)),
                 static_cast<long long>(Percentile(lat, 0.95)), static_cast<long long>(Percentile(lat, 1.0)),
                 static_cast<long long>(offset));
        out += line;
    }
    for (const auto& [why, n] : s.errors) {
        out += "error " + why + " x" + std::to_string(n) + "\n";
    }
    return out;
}

}  // namespace cloudsim
