// The phone's viewer on the simulated board: connects to the unit's transfer port
// ("<root>/.board/p2p.port"), answers its challenge with the device's local key, watches live
// media, talks back, sends events, browses and downloads recordings. Its reading of the records is its own (the
// table of docs/viewers.md); G.711 goes through libavcodec's pcm_mulaw. Answers, lists and ends are printed one a
// line; media frames (25 video and 25 audio a second) are counted on one progress line, or printed one a line
// with --frames.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

enum Kind : uint32_t {
    kHello = 1, kWelcome = 2, kEvent = 3, kRefused = 4, kTalk = 5, kAnswer = 6, kBye = 7,
    kLiveVideo = 10, kLiveAudio = 11, kPbVideo = 12, kPbAudio = 13, kPbFinish = 14, kFragmentEnd = 15,
    kDlData = 16, kDlStatus = 17, kChallenge = 18, kPbDayList = 19,
};
enum Wire : uint32_t { kH264 = 1, kH265 = 2, kPcm16 = 10, kG711u = 11, kG711a = 12 };

constexpr uint32_t kPayloadMax = 4 * 1024 * 1024;

FILE* gOut = stdout;  // arrival lines (stderr when the video goes to stdout)
bool gPerFrame = false;  // --frames: one line per media frame instead of the progress line
// The unit's zone in seconds: its clock holds local time (the cloud's UTC plus its zone), kept as
// an offset to the host's clock in "<root>/.board/clock_offset" (microseconds).
long gUnitZone = 0;

long UnitZone(const std::string& root)
{
    std::ifstream f(root + "/.board/clock_offset");
    long long us = 0;
    if (!(f >> us)) {
        return 0;
    }
    // Zones are whole quarter hours; the rest is the clock's own drift.
    const long long quarter = 900LL * 1000000LL;
    return long((us >= 0 ? (us + quarter / 2) / quarter : -((-us + quarter / 2) / quarter)) * 900);
}

uint32_t W32(const std::vector<uint8_t>& b, size_t at)
{
    return at + 4 > b.size() ? 0 : b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

uint64_t W64(const std::vector<uint8_t>& b, size_t at)
{
    return W32(b, at) | (uint64_t(W32(b, at + 4)) << 32);
}

void Add32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b.push_back(uint8_t(v >> (8 * i)));
    }
}

const char* CodecName(uint32_t c)
{
    switch (c) {
    case kH264: return "h264";
    case kH265: return "h265";
    case kPcm16: return "pcm16";
    case kG711u: return "g711u";
    case kG711a: return "g711a";
    default: return "unknown";
    }
}

struct Record {
    uint32_t kind = 0;
    uint32_t client = 0;
    std::vector<uint8_t> payload;
};

// The device's local key as the owner's phone gets it from the cloud: `tools/phone ROOT viewer-key`.
std::string KeyFromPhone(const std::string& root)
{
    int out[2];
    if (pipe(out) != 0) {
        return "";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(VIEWER_PHONE_TOOL, VIEWER_PHONE_TOOL, root.c_str(), "viewer-key", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while (pid > 0 && (n = read(out[0], buf, sizeof buf)) > 0) {
        text.append(buf, size_t(n));
    }
    close(out[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "";
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text.size() == 16 && text.find_first_of(" \t") == std::string::npos ? text : "";
}

// What the unit's refusal reasons mean.
const char* RefusalText(uint32_t reason)
{
    switch (reason) {
    case 1: return "the client number is outside the unit's client count";
    case 2: return "that client is connected already";
    case 3: return "no hello in time (or another record first)";
    case 4: return "the proof is missing or wrong (not the device's local key?)";
    case 5: return "the unit has no key (never activated, or reset by the cloud)";
    case 6: return "a hello of another length";
    case 7: return "a record above 64 KiB";
    default: return "a reason this viewer does not know";
    }
}

// HMAC-SHA256 under the key over the challenge and the client number (little-endian).
std::vector<uint8_t> Proof(const std::string& key, const std::vector<uint8_t>& challenge, uint32_t client)
{
    std::vector<uint8_t> msg = challenge;
    Add32(msg, client);
    std::vector<uint8_t> mac(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()), msg.data(), msg.size(), mac.data(), &len);
    mac.resize(len);
    return mac;
}

class Link {
public:
    bool Open(const std::string& root, uint32_t client, uint32_t quality, std::string key)
    {
        mClient = client;
        std::ifstream f(root + "/.board/p2p.port");
        int port = 0;
        if (!(f >> port) || port <= 0 || port > 65535) {
            fprintf(stderr, "viewer: no unit port in %s/.board/p2p.port\n", root.c_str());
            return false;
        }
        mFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            perror("viewer: connect");
            return false;
        }
        // The unit speaks first: a challenge the hello must answer with the key.
        Record r;
        if (!Next(r, 5000) || r.kind != kChallenge || r.payload.size() != 16) {
            fprintf(stderr, "viewer: no challenge\n");
            return false;
        }
        if (key.empty()) {
            key = KeyFromPhone(root);
        }
        if (key.empty()) {
            fprintf(stderr, "viewer: no key (tools/phone %s viewer-key; or --key KEY)\n", root.c_str());
            return false;
        }
        std::vector<uint8_t> hello;
        Add32(hello, quality);
        std::vector<uint8_t> proof = Proof(key, r.payload, client);
        hello.insert(hello.end(), proof.begin(), proof.end());
        Send(kHello, hello);
        if (!Next(r, 5000)) {
            fprintf(stderr, "viewer: no welcome\n");
            return false;
        }
        if (r.kind == kRefused) {
            fprintf(stderr, "viewer: refused, reason %u: %s\n", W32(r.payload, 0), RefusalText(W32(r.payload, 0)));
            return false;
        }
        if (r.kind != kWelcome) {
            return false;
        }
        fprintf(gOut, "welcome client=%u quality=%u channel=%u video=%s %ux%u@%u audio=%s/%u talk=%s/%u/%u/%u clients=%u\n",
                r.client, W32(r.payload, 0), W32(r.payload, 4), CodecName(W32(r.payload, 8)), W32(r.payload, 12),
                W32(r.payload, 16), W32(r.payload, 20), CodecName(W32(r.payload, 24)), W32(r.payload, 28),
                CodecName(W32(r.payload, 32)), W32(r.payload, 36), W32(r.payload, 40), W32(r.payload, 44),
                W32(r.payload, 48));
        mTalkCodec = W32(r.payload, 32);
        return true;
    }

    ~Link()
    {
        if (mFd >= 0) {
            Send(kBye, {});
            close(mFd);
        }
    }

    bool Send(uint32_t kind, const std::vector<uint8_t>& payload)
    {
        std::vector<uint8_t> rec;
        Add32(rec, kind);
        Add32(rec, mClient);
        Add32(rec, uint32_t(payload.size()));
        rec.insert(rec.end(), payload.begin(), payload.end());
        size_t at = 0;
        while (at < rec.size()) {
            ssize_t n = send(mFd, rec.data() + at, rec.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            at += size_t(n);
        }
        return true;
    }

    bool Event(uint32_t code, const std::vector<uint32_t>& words)
    {
        std::vector<uint8_t> p;
        Add32(p, code);
        Add32(p, uint32_t(words.size()));
        for (uint32_t w : words) {
            Add32(p, w);
        }
        return Send(kEvent, p);
    }

    // The next record within waitMs; false on time-out or a closed link.
    bool Next(Record& r, int waitMs)
    {
        uint8_t head[12];
        // waitMs bounds the wait for a record to begin; one begun is read whole, or the link would
        // lose its place in the stream.
        if (!Read(head, 1, waitMs) || !Read(head + 1, 11, 5000)) {
            return false;
        }
        std::vector<uint8_t> h(head, head + 12);
        r.kind = W32(h, 0);
        r.client = W32(h, 4);
        uint32_t len = W32(h, 8);
        if (len > kPayloadMax) {
            return false;
        }
        r.payload.resize(len);
        return Read(r.payload.data(), len, 5000);
    }

    uint32_t Client() const { return mClient; }
    uint32_t TalkCodec() const { return mTalkCodec; }

private:
    bool Read(uint8_t* p, size_t len, int waitMs)
    {
        size_t got = 0;
        while (got < len) {
            pollfd pf = {mFd, POLLIN, 0};
            if (poll(&pf, 1, waitMs) <= 0) {
                return false;
            }
            ssize_t n = recv(mFd, p + got, len - got, 0);
            if (n <= 0) {
                return false;
            }
            got += size_t(n);
        }
        return true;
    }

    int mFd = -1;
    uint32_t mClient = 0;
    uint32_t mTalkCodec = 0;
};

// libavcodec's G.711 for one direction.
class G711 {
public:
    G711(bool encode, bool alaw)
    {
        AVCodecID id = alaw ? AV_CODEC_ID_PCM_ALAW : AV_CODEC_ID_PCM_MULAW;
        const AVCodec* c = encode ? avcodec_find_encoder(id) : avcodec_find_decoder(id);
        mCtx = avcodec_alloc_context3(c);
        mCtx->sample_rate = 8000;
        mCtx->sample_fmt = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&mCtx->ch_layout, 1);
        if (avcodec_open2(mCtx, c, nullptr) < 0) {
            avcodec_free_context(&mCtx);
        }
        mFrame = av_frame_alloc();
        mPacket = av_packet_alloc();
    }
    ~G711()
    {
        av_frame_free(&mFrame);
        av_packet_free(&mPacket);
        avcodec_free_context(&mCtx);
    }

    bool Decode(const uint8_t* in, size_t n, std::vector<int16_t>& out)
    {
        std::vector<uint8_t> buf(n + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        memcpy(buf.data(), in, n);
        mPacket->data = buf.data();
        mPacket->size = int(n);
        bool ok = mCtx != nullptr && avcodec_send_packet(mCtx, mPacket) == 0 && avcodec_receive_frame(mCtx, mFrame) == 0;
        mPacket->data = nullptr;
        mPacket->size = 0;
        if (ok) {
            auto* s = reinterpret_cast<const int16_t*>(mFrame->data[0]);
            out.assign(s, s + mFrame->nb_samples);
        }
        return ok;
    }

    bool Encode(const int16_t* pcm, size_t n, std::vector<uint8_t>& out)
    {
        av_frame_unref(mFrame);
        mFrame->nb_samples = int(n);
        mFrame->format = AV_SAMPLE_FMT_S16;
        mFrame->sample_rate = 8000;
        av_channel_layout_default(&mFrame->ch_layout, 1);
        if (mCtx == nullptr || av_frame_get_buffer(mFrame, 0) < 0) {
            return false;
        }
        memcpy(mFrame->data[0], pcm, n * 2);
        bool ok = avcodec_send_frame(mCtx, mFrame) == 0 && avcodec_receive_packet(mCtx, mPacket) == 0;
        if (ok) {
            out.assign(mPacket->data, mPacket->data + mPacket->size);
            av_packet_unref(mPacket);
        }
        return ok;
    }

private:
    AVCodecContext* mCtx = nullptr;
    AVFrame* mFrame = nullptr;
    AVPacket* mPacket = nullptr;
};

// A 16-bit mono WAV at 8 kHz; the sizes are written when it is closed.
class WavOut {
public:
    bool Open(const std::string& path)
    {
        mFile = fopen(path.c_str(), "wb");
        if (mFile == nullptr) {
            return false;
        }
        uint8_t head[44] = {};
        mOk = fwrite(head, 1, sizeof head, mFile) == sizeof head;
        return true;
    }
    void Write(const std::vector<int16_t>& s)
    {
        if (mFile != nullptr) {
            mOk = fwrite(s.data(), 2, s.size(), mFile) == s.size() && mOk;
            mBytes += uint32_t(s.size() * 2);
        }
    }
    // False when a byte of the file could not be written.
    bool Close()
    {
        if (mFile == nullptr) {
            return true;
        }
        std::vector<uint8_t> h;
        auto tag = [&h](const char* t) { h.insert(h.end(), t, t + 4); };
        tag("RIFF");
        Add32(h, 36 + mBytes);
        tag("WAVE");
        tag("fmt ");
        Add32(h, 16);
        Add32(h, 1 | (1 << 16));  // PCM, mono
        Add32(h, 8000);
        Add32(h, 16000);
        Add32(h, 2 | (16 << 16));  // block align, bits
        tag("data");
        Add32(h, mBytes);
        bool ok = mOk && fseek(mFile, 0, SEEK_SET) == 0 && fwrite(h.data(), 1, h.size(), mFile) == h.size();
        ok = fclose(mFile) == 0 && ok;
        mFile = nullptr;
        return ok;
    }
    ~WavOut() { Close(); }

private:
    FILE* mFile = nullptr;
    uint32_t mBytes = 0;
    bool mOk = true;
};

// Samples of a 16-bit PCM WAV file, with its rate and channel count.
bool ReadWav(const std::string& path, std::vector<int16_t>& pcm, uint32_t& rate, uint32_t& channels)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (b.size() < 12 || memcmp(b.data(), "RIFF", 4) != 0 || memcmp(b.data() + 8, "WAVE", 4) != 0) {
        return false;
    }
    uint32_t bits = 0;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        uint32_t len = W32(b, at + 4);
        size_t body = at + 8;
        if (memcmp(b.data() + at, "fmt ", 4) == 0 && len >= 16) {
            channels = W32(b, body + 2) & 0xFFFF;
            rate = W32(b, body + 4);
            bits = W32(b, body + 14) & 0xFFFF;
        } else if (memcmp(b.data() + at, "data", 4) == 0) {
            size_t n = std::min<size_t>(len, b.size() - body) / 2;
            pcm.resize(n);
            memcpy(pcm.data(), b.data() + body, n * 2);
            return bits == 16 && channels > 0;
        }
        at = body + len + (len & 1);
    }
    return false;
}

// The media frames counted instead of one line each: on a terminal one line rewritten in place
// (4 times a second), elsewhere a line every 5 s; the totals as the last line.
class Progress {
public:
    void Count(const char* what, bool audio, bool key, size_t bytes)
    {
        const auto now = std::chrono::steady_clock::now();
        if (mWhat == nullptr) {
            mWhat = what;
            mStart = mLast = now;
            mTty = isatty(fileno(gOut)) != 0;
        }
        (audio ? mAudio : mVideo) += 1;
        mKeys += key ? 1 : 0;
        mBytes += bytes;
        if (now - mLast >= (mTty ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000))) {
            mLast = now;
            Show(mTty ? "\r" : "", mTty ? "\033[K" : "\n");
            mShown = mTty;
        }
    }
    // Before another line: the line in place is taken away (it comes back with the next frame).
    void Clear()
    {
        if (mShown) {
            fputs("\r\033[K", gOut);
            mShown = false;
        }
    }
    // The totals, once, when anything was counted.
    void Finish()
    {
        if (mWhat != nullptr) {
            Show(mShown ? "\r" : "", mShown ? "\033[K\n" : "\n");
            mShown = false;
            mWhat = nullptr;
        }
    }

private:
    void Show(const char* head, const char* tail)
    {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - mStart).count();
        fprintf(gOut, "%s%s: video %llu frames (%llu key), audio %llu frames, %.1f MB, %.1f s%s", head, mWhat,
                (unsigned long long)mVideo, (unsigned long long)mKeys, (unsigned long long)mAudio, double(mBytes) / 1e6,
                s, tail);
        fflush(gOut);
    }

    const char* mWhat = nullptr;
    bool mTty = false;
    bool mShown = false;
    uint64_t mVideo = 0;
    uint64_t mKeys = 0;
    uint64_t mAudio = 0;
    uint64_t mBytes = 0;
    std::chrono::steady_clock::time_point mStart;
    std::chrono::steady_clock::time_point mLast;
};

Progress gProgress;

void PrintAnswer(const Record& r)
{
    gProgress.Clear();
    fprintf(gOut, "answer event=%u result=%d words=", W32(r.payload, 0), int(W32(r.payload, 4)));
    uint32_t n = W32(r.payload, 8);
    for (uint32_t i = 0; i < n; ++i) {
        fprintf(gOut, "%s%u", i ? " " : "", W32(r.payload, 12 + 4 * i));
    }
    fprintf(gOut, "\n");
    fflush(gOut);
}

// One line per record (media frames only with --frames, else counted on the progress line);
// playback and download bytes are counted, not shown.
void PrintRecord(const Record& r)
{
    const auto& p = r.payload;
    if (!gPerFrame) {
        switch (r.kind) {
        case kLiveVideo:
            gProgress.Count("live", false, W32(p, 8) == 1, p.size() > 28 ? p.size() - 28 : 0);
            return;
        case kLiveAudio:
            gProgress.Count("live", true, false, p.size() > 20 ? p.size() - 20 : 0);
            return;
        case kPbVideo:
            gProgress.Count("playback", false, W32(p, 4) == 1, p.size() > 16 ? p.size() - 16 : 0);
            return;
        case kPbAudio:
            gProgress.Count("playback", true, false, p.size() > 24 ? p.size() - 24 : 0);
            return;
        case kDlData:
            // The stored record's type: 1 a key frame, 3 audio.
            gProgress.Count("download", W32(p, 0) == 3, W32(p, 0) == 1, p.size() > 24 ? p.size() - 24 : 0);
            return;
        default:
            gProgress.Clear();
            break;
        }
    }
    switch (r.kind) {
    case kAnswer:
        PrintAnswer(r);
        return;
    case kLiveVideo:
        fprintf(gOut, "live video channel=%u codec=%s key=%u pts=%llu ms=%llu bytes=%zu\n", W32(p, 0),
                CodecName(W32(p, 4)), W32(p, 8), (unsigned long long)W64(p, 12), (unsigned long long)W64(p, 20),
                p.size() - 28);
        break;
    case kLiveAudio:
        fprintf(gOut, "live audio codec=%s pts=%llu ms=%llu bytes=%zu\n", CodecName(W32(p, 0)),
                (unsigned long long)W64(p, 4), (unsigned long long)W64(p, 12), p.size() - 20);
        break;
    case kPbVideo:
        fprintf(gOut, "playback video codec=%s key=%u ms=%llu bytes=%zu\n", CodecName(W32(p, 0)), W32(p, 4),
                (unsigned long long)W64(p, 8), p.size() - 16);
        break;
    case kPbAudio:
        fprintf(gOut, "playback audio codec=%s rate=%u bits=%u ms=%llu bytes=%zu\n", CodecName(W32(p, 0)), W32(p, 4),
                W32(p, 8), (unsigned long long)W64(p, 16), p.size() - 24);
        break;
    case kPbFinish:
        fprintf(gOut, "playback finished\n");
        break;
    case kFragmentEnd:
        fprintf(gOut, "playback fragment end %u %u\n", W32(p, 0), W32(p, 4));
        break;
    case kDlData:
        fprintf(gOut, "download type=%u size=%u ms=%llu pts=%llu\n", W32(p, 0), W32(p, 4),
                (unsigned long long)W64(p, 8), (unsigned long long)W64(p, 16));
        break;
    case kDlStatus:
        fprintf(gOut, W32(p, 0) == 100 ? "download finished\n" : "download status %u\n", W32(p, 0));
        break;
    case kPbDayList: {
        // u32 count, then type, start, end per recording; the times also as local clock times.
        uint32_t n = W32(p, 0);
        if (p.size() < 4 || (p.size() - 4) / 12 < n) {
            fprintf(gOut, "day list cut short: %u announced, %zu bytes\n", n, p.size());
            break;
        }
        fprintf(gOut, "day list files=%u\n", n);
        for (uint32_t i = 0; i < n; ++i) {
            // As the files are named: in the unit's local time.
            time_t start = time_t(W32(p, 4 + 12 * i + 4)) + gUnitZone;
            time_t end = time_t(W32(p, 4 + 12 * i + 8)) + gUnitZone;
            struct tm a {}, b {};
            localtime_r(&start, &a);
            localtime_r(&end, &b);
            fprintf(gOut, "file type=%u start=%u end=%u %02d:%02d:%02d-%02d:%02d:%02d\n", W32(p, 4 + 12 * i),
                    W32(p, 4 + 12 * i + 4), W32(p, 4 + 12 * i + 8), a.tm_hour, a.tm_min, a.tm_sec, b.tm_hour, b.tm_min, b.tm_sec);
        }
        break;
    }
    default:
        fprintf(gOut, "record kind=%u bytes=%zu\n", r.kind, p.size());
        break;
    }
    fflush(gOut);
}

// Waits for the answer to `code`; what arrives before it goes to `other` (printed by default).
template <typename Other>
bool AwaitAnswer(Link& link, uint32_t code, Record& answer, Other other)
{
    Record r;
    while (link.Next(r, 5000)) {
        if (r.kind == kAnswer && W32(r.payload, 0) == code) {
            answer = r;
            PrintAnswer(r);
            return true;
        }
        other(r);
    }
    gProgress.Clear();
    fprintf(stderr, "viewer: no answer to event %u\n", code);
    return false;
}

bool AwaitAnswer(Link& link, uint32_t code, Record& answer)
{
    return AwaitAnswer(link, code, answer, PrintRecord);
}

// Why `path` cannot be written, or "" when it can: an existing file that may be written, or a
// new one in a folder that may be written to. Nothing is created or truncated.
std::string Unwritable(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return "cannot write " + path + ": it is a folder";
        }
        return access(path.c_str(), W_OK) == 0 ? "" : "cannot write " + path + ": " + strerror(errno);
    }
    if (errno != ENOENT) {
        return "cannot write " + path + ": " + strerror(errno);
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &st) != 0) {
        return "cannot write " + path + ": its folder " + folder + ": " + strerror(errno);
    }
    return access(folder.c_str(), W_OK | X_OK) == 0 ? "" : "cannot write " + path + ": " + strerror(errno);
}

// An output named on the command line: none (empty path), standard output ("-") or a file. The
// file is made only when its first bytes come (or when the stream is over: `Touch`), so a
// stream that never came leaves no file behind, and an earlier file of that name stays as it was.
class Output {
public:
    explicit Output(std::string path) : mPath(std::move(path)) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Close(); }

    bool Named() const { return !mPath.empty(); }
    // Opens it now (an empty file) if nothing came; false when it cannot be made.
    bool Touch()
    {
        if (mFile == nullptr && Named() && mOk) {
            mFile = mPath == "-" ? stdout : fopen(mPath.c_str(), "wb");
            if (mFile == nullptr) {
                mError = errno;
                mOk = false;
            }
        }
        return mOk;
    }
    void Write(const uint8_t* p, size_t n)
    {
        if (!Named() || !Touch()) {
            return;
        }
        if (fwrite(p, 1, n, mFile) != n || fflush(mFile) != 0) {
            mError = errno;
            mOk = false;
        }
    }
    // False (with the reason on stderr) when a byte could not be written.
    bool Close()
    {
        if (mFile != nullptr && (mFile == stdout ? fflush(mFile) : fclose(mFile)) != 0 && mOk) {
            mError = errno;
            mOk = false;
        }
        mFile = nullptr;
        if (!mOk && !mSaid) {
            fprintf(stderr, "viewer: cannot write %s: %s\n", mPath == "-" ? "standard output" : mPath.c_str(),
                    strerror(mError));
            mSaid = true;
        }
        return mOk;
    }

private:
    std::string mPath;
    FILE* mFile = nullptr;
    bool mOk = true;
    bool mSaid = false;
    int mError = 0;
};

int Live(Link& link, double seconds, const std::string& videoPath, const std::string& audioPath)
{
    Output video(videoPath);
    WavOut wav;
    G711 dec(false, false);
    if (!video.Touch()) {
        video.Close();
        return 1;
    }
    if (!audioPath.empty() && !wav.Open(audioPath)) {
        fprintf(stderr, "viewer: cannot write %s: %s\n", audioPath.c_str(), strerror(errno));
        return 1;
    }
    std::vector<int16_t> pcm;
    auto keep = [&](const Record& r) {
        PrintRecord(r);
        if (r.kind == kLiveVideo && r.payload.size() > 28) {
            video.Write(r.payload.data() + 28, r.payload.size() - 28);
        } else if (r.kind == kLiveAudio && r.payload.size() > 20 && W32(r.payload, 0) == kG711u &&
                   dec.Decode(r.payload.data() + 20, r.payload.size() - 20, pcm)) {
            wav.Write(pcm);
        }
    };
    // The video's first key frame may come before the audio start is answered: it is kept too.
    Record answer;
    if (!link.Event(0, {link.Client()}) || !AwaitAnswer(link, 0, answer, keep) || !link.Event(2, {link.Client()}) ||
        !AwaitAnswer(link, 2, answer, keep)) {
        return 1;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
    Record r;
    while (std::chrono::steady_clock::now() < end) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (link.Next(r, std::max(left, 1))) {
            keep(r);
        }
    }
    link.Event(3, {link.Client()});
    link.Event(1, {link.Client()});
    AwaitAnswer(link, 1, answer, keep);
    int rc = video.Close() ? 0 : 1;
    if (!wav.Close()) {
        fprintf(stderr, "viewer: cannot write %s\n", audioPath.c_str());
        rc = 1;
    }
    return rc;
}

// 40 ms frames (320 samples) in real time between talk start and stop.
int Talk(Link& link, const std::string& path)
{
    std::vector<int16_t> pcm;
    uint32_t rate = 0;
    uint32_t channels = 0;
    if (!ReadWav(path, pcm, rate, channels) || rate != 8000 || channels != 1) {
        fprintf(stderr, "viewer: %s is no 16-bit mono WAV at 8000 Hz\n", path.c_str());
        return 1;
    }
    if (link.TalkCodec() != kG711u && link.TalkCodec() != kG711a) {
        fprintf(stderr, "viewer: the unit takes talk-back as %s\n", CodecName(link.TalkCodec()));
        return 1;
    }
    G711 enc(true, link.TalkCodec() == kG711a);
    Record answer;
    if (!link.Event(16, {link.Client()}) || !AwaitAnswer(link, 16, answer)) {
        return 1;
    }
    auto next = std::chrono::steady_clock::now();
    std::vector<uint8_t> bytes;
    int frames = 0;
    for (size_t at = 0; at < pcm.size(); at += 320) {
        size_t n = std::min<size_t>(320, pcm.size() - at);
        if (!enc.Encode(pcm.data() + at, n, bytes) || !link.Send(kTalk, bytes)) {
            break;
        }
        ++frames;
        next += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(next);
    }
    fprintf(gOut, "talk sent frames=%d\n", frames);
    link.Event(17, {link.Client()});
    AwaitAnswer(link, 17, answer);
    return 0;
}

// Prints what arrives until `done` says the stream is over (or 10 s of silence).
template <typename Done>
int Drain(Link& link, Done done)
{
    Record r;
    while (link.Next(r, 10000)) {
        PrintRecord(r);
        if (done(r)) {
            return 0;
        }
    }
    gProgress.Clear();
    fprintf(stderr, "viewer: stream ended without its end\n");
    return 1;
}

// Download (event 19) until its status 100. Each record's payload is the stored record itself
// (the 24-byte head, then the bytes): written as it came, the file is the event's slices in
// order; the video frames' bytes alone make an Annex B stream.
int Download(Link& link, const std::vector<uint32_t>& words, const std::string& recordsPath,
             const std::string& videoPath)
{
    Output records(recordsPath);
    Output video(videoPath);
    int rc = 1;
    bool refused = false;
    if (link.Event(19, words)) {
        rc = Drain(link, [&](const Record& r) {
            const auto& p = r.payload;
            // An answer of not done: nothing follows.
            if (r.kind == kAnswer && p.size() >= 8 && W32(p, 0) == 19 && W32(p, 4) != 0) {
                fprintf(stderr, "viewer: download refused\n");
                refused = true;
                return true;
            }
            if (r.kind == kDlData && p.size() >= 24 && W32(p, 4) == p.size() - 24) {
                records.Write(p.data(), p.size());
                if (W32(p, 0) != 3) {
                    video.Write(p.data() + 24, p.size() - 24);
                }
            }
            return r.kind == kDlStatus && W32(p, 0) == 100;
        });
    }
    if (rc == 0 && !refused) {
        // A download that finished with no record is an empty file.
        records.Touch();
        video.Touch();
    }
    const bool recordsWritten = records.Close();
    const bool videoWritten = video.Close();
    return recordsWritten && videoWritten && !refused ? rc : 1;
}

void Usage()
{
    fprintf(stderr,
            "usage: viewer ROOT --client N [--key KEY] [--frames] ACTION\n"
            "  (without --key the key comes from tools/phone ROOT viewer-key, as the phone has it;\n"
            "   media frames are counted on one progress line, --frames prints one line per frame)\n"
            "  --live SECONDS [--quality 0|1] [--video FILE|-] [--audio FILE.wav]\n"
            "  --talk FILE.wav\n"
            "  --event CODE [WORDS...]\n"
            "  --days [YEAR MONTH]\n"
            "  --files [YEAR MONTH DAY]\n"
            "      (the unit's local day by default; a recording is listed once it is closed)\n"
            "  --play [START END [TIME]] [--video FILE|-]\n"
            "      (a recording's START and END in seconds since 1970, as --files lists them, TIME the moment\n"
            "       to begin at; it goes on into the day's later recordings, as the unit's playback does)\n"
            "  --download [START END] [--records FILE] [--video FILE|-]\n"
            "      (records as the card keeps them: 24-byte head and bytes; video frames as Annex B)\n");
}

// A whole decimal number up to `max` (or hex after "0x" when `hex`); false for anything else.
bool Number(const std::string& text, uint64_t max, uint32_t* out, bool hex = false)
{
    const bool isHex = hex && text.rfind("0x", 0) == 0;
    const std::string digits = isHex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of(isHex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
        return false;
    }
    const uint64_t v = std::stoull(digits, nullptr, isHex ? 16 : 10);
    if (v > max) {
        return false;
    }
    *out = uint32_t(v);
    return true;
}

// A refused command line: what is wrong, then the usage; status 2.
int Refuse(const std::string& why)
{
    fprintf(stderr, "viewer: %s\n", why.c_str());
    Usage();
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        return Refuse(argc < 2 ? "no board root" : "no --client N and action");
    }
    std::string root = argv[1];
    uint32_t client = 0;
    bool haveClient = false;
    uint32_t quality = 0xFFFFFFFF;
    std::string key;
    std::string action;
    std::vector<std::string> args;
    std::string videoPath;
    std::string audioPath;
    std::string recordsPath;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        const bool valued = a == "--client" || a == "--key" || a == "--quality" || a == "--video" || a == "--audio" ||
                            a == "--records";
        if (valued && (i + 1 >= argc || argv[i + 1][0] == '\0')) {
            return Refuse(a + " needs a value");
        }
        if (a == "--client") {
            if (!Number(argv[++i], 0xFFFFFFFFu, &client)) {
                return Refuse(std::string("--client takes a client number, not '") + argv[i] + "'");
            }
            haveClient = true;
        } else if (a == "--key") {
            key = argv[++i];
        } else if (a == "--quality") {
            if (!Number(argv[++i], 1, &quality)) {
                return Refuse(std::string("--quality takes 0 or 1, not '") + argv[i] + "'");
            }
        } else if (a == "--video") {
            videoPath = argv[++i];
        } else if (a == "--audio") {
            audioPath = argv[++i];
        } else if (a == "--records") {
            recordsPath = argv[++i];
        } else if (a == "--frames") {
            gPerFrame = true;
        } else if (a.rfind("--", 0) == 0 && action.empty()) {
            action = a;
        } else if (!action.empty()) {
            args.push_back(a);
        } else {
            return Refuse("unknown argument " + a);
        }
    }
    if (!haveClient) {
        return Refuse("no --client N");
    }
    if (action.empty()) {
        return Refuse("no action");
    }
    // Every number is checked before connecting.
    std::vector<uint32_t> n(args.size(), 0);
    struct Field {
        const char* name;
        uint32_t lo;
        uint32_t hi;
    };
    auto numbers = [&](std::initializer_list<Field> fields) {
        if (args.size() > fields.size()) {
            return action + " takes at most " + std::to_string(fields.size()) + " values";
        }
        size_t i = 0;
        for (const Field& f : fields) {
            if (i < args.size() && (!Number(args[i], f.hi, &n[i]) || n[i] < f.lo)) {
                return action + ": " + f.name + " '" + args[i] + "' is no whole number from " + std::to_string(f.lo) +
                       " to " + std::to_string(f.hi);
            }
            ++i;
        }
        return std::string();
    };
    std::string wrong;
    double seconds = 0;
    if (action == "--live") {
        char* end = nullptr;
        seconds = args.size() == 1 && args[0].find_first_not_of("0123456789.") == std::string::npos
                      ? strtod(args[0].c_str(), &end)
                      : 0;
        if (end == nullptr || *end != '\0' || !(seconds > 0) || seconds > 86400) {
            wrong = "--live takes the seconds to watch (more than 0, at most 86400)";
        }
    } else if (action == "--talk") {
        std::vector<int16_t> pcm;
        uint32_t rate = 0;
        uint32_t channels = 0;
        if (args.size() != 1) {
            wrong = "--talk takes one WAV file";
        } else if (!ReadWav(args[0], pcm, rate, channels) || rate != 8000 || channels != 1) {
            wrong = args[0] + " is no 16-bit mono WAV at 8000 Hz";
        }
    } else if (action == "--event") {
        if (args.empty() || args.size() > 17) {
            wrong = "--event takes a code and at most 16 words";
        }
        for (size_t i = 0; i < args.size() && wrong.empty(); ++i) {
            if (!Number(args[i], 0xFFFFFFFFu, &n[i], true)) {
                wrong = "--event: '" + args[i] + "' is no number";
            }
        }
    } else if (action == "--days") {
        wrong = numbers({{"YEAR", 1970, 2105}, {"MONTH", 1, 12}});
    } else if (action == "--files") {
        wrong = numbers({{"YEAR", 1970, 2105}, {"MONTH", 1, 12}, {"DAY", 1, 31}});
    } else if (action == "--play" || action == "--download") {
        // Seconds since 1970.
        wrong = action == "--play" ? numbers({{"START", 0, 0xFFFFFFFFu}, {"END", 0, 0xFFFFFFFFu}, {"TIME", 0, 0xFFFFFFFFu}})
                                   : numbers({{"START", 0, 0xFFFFFFFFu}, {"END", 0, 0xFFFFFFFFu}});
        if (wrong.empty() && args.size() == 1) {
            wrong = action + " takes START and END together";
        } else if (wrong.empty() && args.size() >= 2 && n[1] < n[0]) {
            wrong = action + ": END " + args[1] + " is before START " + args[0];
        }
    } else {
        wrong = "unknown action " + action;
    }
    // The files it writes: each for an action that makes it, and each one it can write (checked
    // without making or truncating it), before connecting.
    const struct {
        const char* option;
        const std::string& path;
        bool taken;
    } outputs[] = {
        {"--video", videoPath, action == "--live" || action == "--play" || action == "--download"},
        {"--audio", audioPath, action == "--live"},
        {"--records", recordsPath, action == "--download"},
    };
    for (const auto& o : outputs) {
        if (!wrong.empty() || o.path.empty()) {
            continue;
        }
        if (!o.taken) {
            wrong = std::string(o.option) + " does not go with " + action;
        } else if (o.path == "-" && std::string(o.option) == "--audio") {
            wrong = "--audio takes a file (a WAV is finished by going back to its head)";
        } else if (o.path != "-") {
            wrong = Unwritable(o.path);
        }
    }
    if (wrong.empty() && videoPath == "-" && recordsPath == "-") {
        wrong = "--video and --records cannot both go to standard output";
    }
    if (!wrong.empty()) {
        return Refuse(wrong);
    }
    if (videoPath == "-" || recordsPath == "-") {
        gOut = stderr;  // the arrival lines stay apart from the bytes
    }
    gUnitZone = UnitZone(root);
    Link link;
    // The progress line's totals as the last line, however the action ends.
    struct Totals {
        ~Totals() { gProgress.Finish(); }
    } totals;
    if (!link.Open(root, client, quality, key)) {
        return 1;
    }
    auto num = [&](size_t i, uint32_t def) { return i < args.size() ? n[i] : def; };
    // "Today" on the unit's clock.
    time_t now = time(nullptr);
    time_t unitNow = now + gUnitZone;
    struct tm t {};
    localtime_r(&unitNow, &t);
    struct tm midnight = t;
    midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
    uint32_t dayStart = uint32_t(mktime(&midnight) - gUnitZone);
    Record answer;
    if (action == "--live") {
        return Live(link, seconds, videoPath, audioPath);
    }
    if (action == "--talk") {
        return Talk(link, args[0]);
    }
    if (action == "--event") {
        uint32_t code = num(0, 0);
        std::vector<uint32_t> words;
        for (size_t i = 1; i < args.size(); ++i) {
            words.push_back(num(i, 0));
        }
        return link.Event(code, words) && AwaitAnswer(link, code, answer) ? 0 : 1;
    }
    if (action == "--days") {
        const uint32_t year = num(0, uint32_t(t.tm_year + 1900));
        const uint32_t month = num(1, uint32_t(t.tm_mon + 1));
        std::vector<uint32_t> w = {client, year, month, 0};
        if (!link.Event(8, w) || !AwaitAnswer(link, 8, answer)) {
            return 1;
        }
        // Word 3 of the answer: bit N for day N of the month.
        const uint32_t mask = W32(answer.payload, 12 + 4 * 3);
        fprintf(gOut, "days with recordings in %04u-%02u:", year, month);
        for (int day = 1; day <= 31; ++day) {
            if ((mask >> day) & 1u) {
                fprintf(gOut, " %d", day);
            }
        }
        fprintf(gOut, "%s\n", mask == 0 ? " none" : "");
        fflush(gOut);
        return 0;
    }
    if (action == "--files") {
        std::vector<uint32_t> w = {client, num(0, uint32_t(t.tm_year + 1900)), num(1, uint32_t(t.tm_mon + 1)),
                                   num(2, uint32_t(t.tm_mday))};
        w.resize(16, 0);
        return link.Event(9, w) && AwaitAnswer(link, 9, answer) ? 0 : 1;
    }
    if (action == "--play") {
        uint32_t start = num(0, dayStart);
        uint32_t stop = num(1, uint32_t(now));
        // The played H.264 in Annex B, as the live view writes it.
        Output video(videoPath);
        if (!link.Event(10, {client, start, stop, num(2, start)})) {
            return 1;
        }
        size_t frames = 0;
        int rc = Drain(link, [&video, &frames](const Record& r) {
            if (r.kind == kPbVideo && r.payload.size() > 16) {
                video.Write(r.payload.data() + 16, r.payload.size() - 16);
                ++frames;
            }
            return r.kind == kPbFinish;
        });
        if (!video.Close()) {
            return 1;
        }
        if (rc == 0 && frames == 0) {
            // The unit plays a recording named by its own start and end, and finishes at once otherwise.
            fprintf(stderr, "viewer: nothing played: no recording from %u to %u (--files lists the recordings' START and END)\n",
                    start, stop);
            return 1;
        }
        return rc;
    }
    if (action == "--download") {
        return Download(link, {client, num(0, dayStart), num(1, uint32_t(now))}, recordsPath, videoPath);
    }
    Usage();
    return 2;
}
