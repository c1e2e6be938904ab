#include "noxa_ipc_sdk/NStreamer/noxa_ipc_streamer.h"

#include "streamer_internal.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_bytes.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_ipc_sdk/NStreamer/noxa_ipc_packager.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "noxa_ipc_sdk/moto_mqtt/noxa_ipc_moto_mqtt.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "platform/board_path.h"

#include <mbedtls/md.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using nstream::Copy;
using nstream::St;

namespace nstream {

namespace {
NSTREAMER_S s_st;
}  // namespace

NSTREAMER_S& St()
{
    return s_st;
}

void Copy(char* dst, size_t size, const char* src)
{
    const size_t n = src != nullptr ? strnlen(src, size - 1) : 0;
    memmove(dst, src != nullptr ? src : "", n);
    dst[n] = '\0';
}

}  // namespace nstream

namespace {

constexpr int kErrFrameLen = -918;
constexpr int kErrSend = -909;
constexpr int kErrUnknownType = -4;
constexpr uint32_t kFrameP = 0;
constexpr uint32_t kFrameI = 1;
constexpr uint32_t kFrameAudio = 3;
constexpr uint32_t kFrameCmd = 4;
constexpr uint32_t kAudioDataOff = NSTREAM_HEAD_LEN + NSTREAM_AUDIO_FIELDS;  // 68
constexpr uint32_t kVideoDataOff = NSTREAM_HEAD_LEN + NSTREAM_VIDEO_FIELDS;  // 72
constexpr uint32_t kCmdBodyOff = NSTREAM_HEAD_LEN + NSTREAM_CMD_FIELDS;      // 64
constexpr uint32_t kBareCmdLen = NSTREAM_CMD_FIELDS;                         // 36
constexpr uint32_t kMinSignedCmdLen = 84;   // shorter bodies hold no whole block
constexpr uint32_t kMinAudioLen = 89;
constexpr uint32_t kSendSlack = 120;         // header, fields, padding and signature
constexpr uint32_t kDefaultFrameMax = 307200;
constexpr uint32_t kBackoffFirstMs = 100;
constexpr uint32_t kBackoffMaxMs = 30000;
constexpr uint32_t kSelectMs = 10000;
// A gateway that stalls: its answer to the challenge, and a link that moves nothing (no byte in,
// no room to send) or a talk-back without audio.
constexpr uint32_t kHandshakeMs = 10000;
constexpr uint32_t kStallMs = 30000;
// A dead host or link: 30 s without a byte, then three probes 5 s apart (found within 45 s).
constexpr uint32_t kKeepIdleS = 30;
constexpr uint32_t kKeepIntvlS = 5;
constexpr uint32_t kKeepCnt = 3;
// The send queue of the socket: a gateway that stops reading fills it in seconds, not minutes,
// and live frames queued beyond it would be stale anyway.
constexpr int kSendQueue = 64 * 1024;
// The "local" diagnostics file is in RAM on the unit (/tmp).
constexpr uint32_t kLocalFileMax = 2 * 1024 * 1024;
constexpr uint32_t kRoundMs = 20;
constexpr int kChannelOf[NSTREAM_TYPES] = {9, 0, 1, 2};  // audio, main, sub, third
constexpr const char* kLocalHost = "local";
constexpr const char* kLocalFile = "/tmp/nstreamer_local.bin";

std::mutex s_instLock;
bool s_made = false;
// Never destroyed: the unit never stops the thread, and a process may end with it running.
std::thread& s_thread = *new std::thread;
std::atomic<bool> s_stop{false};
// Set when streaming started on this connection: its stop is reported, and only then.
bool s_started = false;
// The stream type of the media frame in the send buffer.
uint32_t s_sendType = 0;
// Set when a request was taken, until its first connect.
bool s_newRequest = false;
// Set when a round found no frame to send: the pause waits for the next append on the streams'
// channels (noted before their reads) rather than a fixed nap.
bool s_idleOnRing = false;
RING_BUFFER_APPEND_MARK_S s_idleMark{};


// Sleeps in short steps so that a test's stop is noticed.
void Nap(uint32_t ms)
{
    while (ms > 0 && !s_stop.load()) {
        const uint32_t step = std::min<uint32_t>(ms, 50);
        uni_sleep_ms(step);
        ms -= step;
    }
}


void Event(int code)
{
    NSTREAM_EVENT_CB cb = St().eventCb.load();
    if (cb != nullptr) {
        uint32_t args[16] = {NSTREAM_EVENT_SOURCE};
        cb(code, args);
    }
}

void ToHex(const uint8_t* p, size_t n, char* out)
{
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kHex[p[i] >> 4];
        out[2 * i + 1] = kHex[p[i] & 15];
    }
    out[2 * n] = '\0';
}

// HMAC-SHA256 of text under key, as 64 lower-case hex characters.
bool HexSign(const char* key, const std::string& text, char out[65])
{
    uint8_t mac[32];
    if (mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), reinterpret_cast<const uint8_t*>(key),
                        strlen(key), reinterpret_cast<const uint8_t*>(text.data()), text.size(), mac) != 0) {
        return false;
    }
    ToHex(mac, sizeof mac, out);
    return true;
}

// The frame signature: HMAC-SHA256 under the local key over the bytes before the ciphertext and
// the ciphertext's last 16 bytes.
bool FrameSign(const uint8_t* frame, uint32_t cipherOff, uint32_t cipherLen, uint8_t out[NSTREAM_SIGN_LEN])
{
    if (cipherLen < 16) {
        return false;
    }
    const char* key = St().localKey;
    mbedtls_md_context_t ctx;
    mbedtls_md_init(&ctx);
    bool ok = mbedtls_md_setup(&ctx, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1) == 0 &&
              mbedtls_md_hmac_starts(&ctx, reinterpret_cast<const uint8_t*>(key), strlen(key)) == 0 &&
              mbedtls_md_hmac_update(&ctx, frame, cipherOff) == 0 &&
              mbedtls_md_hmac_update(&ctx, frame + cipherOff + cipherLen - 16, 16) == 0 &&
              mbedtls_md_hmac_finish(&ctx, out) == 0;
    mbedtls_md_free(&ctx);
    return ok;
}

bool SignOk(const uint8_t* frame, uint32_t cipherOff, uint32_t cipherLen)
{
    uint8_t want[NSTREAM_SIGN_LEN];
    if (!FrameSign(frame, cipherOff, cipherLen, want)) {
        return false;
    }
    uint8_t diff = 0;
    for (uint32_t i = 0; i < NSTREAM_SIGN_LEN; ++i) {
        diff |= want[i] ^ frame[cipherOff + cipherLen + i];
    }
    return diff == 0;
}

void PutHead(uint8_t* p, uint32_t type, uint32_t len, const char iv[NOXA_ENC_IV_LEN])
{
    uni_put_be32(p, 1);
    uni_put_be32(p + 4, type);
    uni_put_be32(p + 8, len);
    if (iv != nullptr) {
        memcpy(p + 12, iv, NOXA_ENC_IV_LEN);
    } else {
        memset(p + 12, 0, NOXA_ENC_IV_LEN);
    }
}

// ---- connection ----

void ClearProgress()
{
    NSTREAMER_S& s = St();
    s.recvPhase = 0;
    s.recvLen = 0;
    s.recvLeft = NSTREAM_HEAD_LEN;
    s.sendPending = 0;
    s.sendOffset = 0;
    s.sendLeft = 0;
}

void Disconnect()
{
    NSTREAMER_S& s = St();
    PR_NOTICE("disconnect");
    if (s.socket >= 0) {
        close(s.socket);
        s.socket = -1;
    }
    ClearProgress();
    // The stop pairs with the start: a connection that never streamed stopped nothing, and a
    // gateway refusing again and again must not end the application's watching each time.
    if (s_started || s.speaker != 0) {
        PR_NOTICE("stop speaker...");
        s.speaker = 0;
        Event(17);
    }
    if (s_started) {
        s_started = false;
        Event(101);
    }
    s.state.store(NSTREAM_IDLE);
}

// After a failure: the same gateway again once the back-off has run, which doubles while no
// authentication completes.
void Reconnect()
{
    NSTREAMER_S& s = St();
    Disconnect();
    s.connectAt = uni_get_tick_ms() + s.backoffMs;
    PR_NOTICE("reconnect in %u ms", s.backoffMs);
    s.backoffMs = std::min(s.backoffMs * 2, kBackoffMaxMs);
    s.state.store(NSTREAM_CONNECT);
}

bool LocalMode()
{
    return strcmp(St().host, kLocalHost) == 0;
}

void Connect()
{
    NSTREAMER_S& s = St();
    if (s.encKeyMd5[0] != '\0') {
        // A new gateway request whose key the unit lacks asks the cloud at once; a reconnect keeps
        // to the wait after a failed fetch (a stalled secret API holds this thread for its whole
        // time-out at each fetch).
        if (s_newRequest) {
            s.encryptor->ops.CheckAndUpdateEncKey(s.encKeyMd5);
        } else {
            CheckEncKeyWhenDue(s.encKeyMd5);
        }
    }
    s_newRequest = false;
    PR_NOTICE("connect to %s:%u", s.host, s.port);
    if (LocalMode()) {
        // Diagnostics: the stream as it would go out, into a file of the board.
        const std::string path = BoardPath(kLocalFile);
        s.socket = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (s.socket < 0) {
            PR_ERR("fail to open %s", path.c_str());
            s.state.store(NSTREAM_IDLE);
            return;
        }
        s.localBytes = 0;
        for (auto& f : s.freshStart) {
            f.store(1);
        }
        s.state.store(NSTREAM_STREAMING);
        return;
    }
    int fd = -1;
    const int ret = unw_connect_to_domain(&fd, s.host, static_cast<uint16_t>(s.port), 3, 10000);
    if (ret != 0 || fd < 0) {
        PR_ERR("fail to connect to server, ret %d", ret);
        s.state.store(NSTREAM_IDLE);
        return;
    }
    // The loop waits on the socket with select: a descriptor past its set would be written out of it.
    if (fd >= FD_SETSIZE) {
        PR_ERR("stream socket %d beyond the select set: closed", fd);
        close(fd);
        s.state.store(NSTREAM_IDLE);
        return;
    }
    unw_set_block(fd, 0);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendQueue, sizeof kSendQueue);
    // With the stream mask at 0 nothing is sent and a quiet gateway is no fault: only the kernel's
    // probes tell a gateway that is gone from one that has nothing to say.
    if (unw_set_keepalive(fd, 1, s.keepIdleS.load(), s.keepIntvlS.load(), s.keepCnt.load()) != 0) {
        PR_ERR("keep-alive not set on the stream socket");
    }
    s.socket = fd;
    ClearProgress();
    s.connectedAt = s.movedAt = uni_get_tick_ms();
    s.state.store(NSTREAM_CONNECTED);
    PR_NOTICE("connect success, ready to start auth");
}

// ---- sending ----

// The pending frame as far as the socket takes it: 0 done or waiting, else the send error.
int Flush()
{
    NSTREAMER_S& s = St();
    while (s.sendLeft > 0) {
        const ssize_t n = LocalMode() ? write(s.socket, s.sendBuf + s.sendOffset, s.sendLeft)
                                      : send(s.socket, s.sendBuf + s.sendOffset, s.sendLeft, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return 0;
            }
            return -errno;
        }
        s.sendOffset += static_cast<uint32_t>(n);
        s.sendLeft -= static_cast<uint32_t>(n);
        s.localBytes += static_cast<uint32_t>(n);
    }
    s.sendPending = 0;
    return 0;
}

// The local file takes whole frames up to its bound; the frame that would pass it ends the
// diagnostics (true, logged once: the connection ends with it).
bool LocalFull()
{
    NSTREAMER_S& s = St();
    if (s.sendOffset != 0 || s.localBytes + s.sendLeft <= s.localFileMax.load()) {
        return false;
    }
    PR_ERR("local stream file full at %u bytes: no more written", s.localBytes);
    return true;
}

void StartSend(uint32_t total)
{
    NSTREAMER_S& s = St();
    s.sendPending = 1;
    s.sendOffset = 0;
    s.sendLeft = total;
}

// A command frame with the JSON body encrypted: its size, 0 when it could not be made.
uint32_t BuildCommand(uint32_t id, const std::string& body)
{
    NSTREAMER_S& s = St();
    uint8_t* p = s.sendBuf;
    uint32_t cipherLen = 0;
    char iv[NOXA_ENC_IV_LEN];
    if (body.size() + 16 > s.sendBufSize - kCmdBodyOff - NSTREAM_SIGN_LEN ||
        s.encryptor->ops.Encrypt(reinterpret_cast<const uint8_t*>(body.data()), static_cast<uint32_t>(body.size()),
                                 p + kCmdBodyOff, &cipherLen, iv) != 0) {
        PR_ERR("encrypt fail");
        return 0;
    }
    const uint32_t len = NSTREAM_CMD_FIELDS + cipherLen + NSTREAM_SIGN_LEN;
    PutHead(p, kFrameCmd, len, iv);
    uni_put_be32(p + NSTREAM_HEAD_LEN, id);
    memset(p + NSTREAM_HEAD_LEN + 4, 0, 32);
    memcpy(p + NSTREAM_HEAD_LEN + 4, s.sessionId, strnlen(s.sessionId, 32));
    if (!FrameSign(p, kCmdBodyOff, cipherLen, p + kCmdBodyOff + cipherLen)) {
        PR_ERR("fail to malloc %u buffer for sign calculation", kCmdBodyOff + 16);
        return 0;
    }
    PR_DEBUG("auth message size=%u+%u+%u+%u", NSTREAM_HEAD_LEN, NSTREAM_CMD_FIELDS, cipherLen, NSTREAM_SIGN_LEN);
    return NSTREAM_HEAD_LEN + len;
}

bool PrepareAuthBuffer(uint32_t id, int status)
{
    NSTREAMER_S& s = St();
    PR_DEBUG("prepare auth cmdID %u status %d", id, status);
    uni_random_string(s.deviceRandom, 32);
    s.deviceRandom[32] = '\0';
    std::string body;
    if (id == 0) {
        body = std::string("{\"devId\":\"") + s.devId + "\",\"authorization\":\"random=" + s.deviceRandom + "\"}";
    } else if (id == 2) {
        const std::string text =
            std::string(s.username) + ":" + s.sessionId + ":" + s.devId + ":" + s.serverSign + ":" + s.serverValue;
        PR_DEBUG("string to sign [%s] size %zu", text.c_str(), text.size());
        char sign[65];
        if (!HexSign(s.password, text, sign)) {
            return false;
        }
        body = std::string("{\"devId\":\"") + s.devId + "\",\"statuscode\":" + std::to_string(status) +
               ",\"authorization\":\"signature=" + sign + "\"}";
    } else {
        PR_ERR("unsupported cmd ID: %u", id);
        return false;
    }
    PR_DEBUG("auth message %s", body.c_str());
    const uint32_t total = BuildCommand(id, body);
    if (total == 0) {
        return false;
    }
    StartSend(total);
    return true;
}

// The next frame of the enabled streams into the send buffer: true when one is ready to go.
bool PrepareStreamBuffer()
{
    NSTREAMER_S& s = St();
    const uint32_t mask = s.streamType.load();
    for (uint32_t i = 0; i < NSTREAM_TYPES; ++i) {
        const uint32_t t = (s.nextType + i) % NSTREAM_TYPES;
        if ((mask & (1u << t)) == 0) {
            continue;
        }
        const int ch = kChannelOf[t];
        if (s.freshStart[t].load() != 0) {
            noxa_ipc_ring_buffer_clean_user_state(ch, RING_BUFFER_USER_STREAMER);
        }
        RING_BUFFER_NODE_S* node =
            t == 0 ? noxa_ipc_ring_buffer_get_audio_frame(ch, RING_BUFFER_USER_STREAMER, static_cast<int>(s.retry[t]))
                   : noxa_ipc_ring_buffer_get_video_frame(ch, RING_BUFFER_USER_STREAMER, static_cast<int>(s.retry[t]));
        s.retry[t] = 0;
        if (node == nullptr) {
            continue;
        }
        RING_BUFFER_FRAME_S f{};
        const int got =
            noxa_ipc_ring_buffer_copy_frame(ch, RING_BUFFER_USER_STREAMER, node, s.plainBuf, s.plainBufSize, &f);
        if (got < 0) {
            if (got == -2) {
                PR_ERR("channel[%d] frame of %u bytes skipped", ch, node->size.load());
            }
            continue;
        }
        const bool audio = t == 0;
        if ((audio && f.type != kFrameAudio) || (!audio && f.type != kFrameP && f.type != kFrameI)) {
            PR_ERR("node type wrong");
            Nap(kRoundMs);
            continue;
        }
        uint8_t* p = s.sendBuf;
        const uint32_t off = audio ? kAudioDataOff : kVideoDataOff;
        uint32_t cipherLen = 0;
        char iv[NOXA_ENC_IV_LEN];
        if (s.encryptor->ops.Encrypt(s.plainBuf, f.size, p + off, &cipherLen, iv) != 0) {
            PR_ERR("encrypt fail");
            continue;
        }
        uint8_t* q = p + NSTREAM_HEAD_LEN;
        uni_put_be32(q, 1u << t);
        uni_put_be32(q + 4, f.seqNo);
        if (audio) {
            uni_put_be32(q + 8, s.mediaSetting.audio_databits[ch]);
            uni_put_be32(q + 12, s.mediaSetting.audio_sample[ch]);
            uni_put_be32(q + 16, s.mediaSetting.audio_codec[ch]);
            uni_put_be32(q + 20, 0);
            q += 24;
        } else {
            uni_put_be32(q + 8, f.type);
            uni_put_be32(q + 12, s.mediaSetting.video_codec[ch]);
            uni_put_be32(q + 16, s.mediaSetting.video_width[ch]);
            uni_put_be32(q + 20, s.mediaSetting.video_height[ch]);
            uni_put_be32(q + 24, s.mediaSetting.video_fps[ch]);
            q += 28;
        }
        uni_put_be32(q, static_cast<uint32_t>(f.timestamp >> 32));
        uni_put_be32(q + 4, static_cast<uint32_t>(f.timestamp));
        uni_put_be32(q + 8, static_cast<uint32_t>(f.pts >> 32));
        uni_put_be32(q + 12, static_cast<uint32_t>(f.pts));
        PutHead(p, f.type, off - NSTREAM_HEAD_LEN + cipherLen + NSTREAM_SIGN_LEN, iv);
        if (!FrameSign(p, off, cipherLen, p + off + cipherLen)) {
            PR_ERR("fail to malloc %u buffer for sign calculation", off + 16);
            continue;
        }
        s.freshStart[t].store(0);
        s_sendType = t;
        // The stream behind in time is served again before the turn moves on.
        if (f.pts > s.lastPts) {
            s.lastPts = f.pts;
            s.nextType = (t + 1) % NSTREAM_TYPES;
        } else {
            s.nextType = t;
        }
        StartSend(off + cipherLen + NSTREAM_SIGN_LEN);
        return true;
    }
    return false;
}

// ---- receiving ----

// The application watches the door (monitor) while the gateway takes media: a connection whose
// mask is 0 sends nothing and must not hold the unit in monitor, so its stop is told then, and
// its start again when a stream is asked for. Disconnect tells the stop of a stream still told
// started.
void TellStreaming()
{
    NSTREAMER_S& s = St();
    const bool on = s.state.load() == NSTREAM_STREAMING && s.streamType.load() != 0;
    if (on && !s_started) {
        s_started = true;
        Event(100);
    } else if (!on && s_started) {
        s_started = false;
        PR_NOTICE("stream mask 0: streaming stop told");
        Event(101);
    }
}

void SetMask(uint32_t mask)
{
    NSTREAMER_S& s = St();
    const uint32_t old = s.streamType.exchange(mask);
    PR_NOTICE("set streamType to %u", mask);
    if (old == mask) {
        return;
    }
    TellStreaming();
    // A stream that leaves the mask starts on fresh data when it comes back.
    for (uint32_t t = 0; t < NSTREAM_TYPES; ++t) {
        if ((mask & (1u << t)) == 0) {
            s.freshStart[t].store(1);
        }
    }
}

// Checks the gateway's "authorization" ("sign=<hex>,value=<random>") against the signature of
// user:session:devId:deviceRandom under the password.
void CheckServerAuth(const cJSON* root)
{
    NSTREAMER_S& s = St();
    const cJSON* auth = cJSON_GetObjectItemCaseSensitive(root, "authorization");
    const char* text = cJSON_IsString(auth) ? auth->valuestring : nullptr;
    PR_DEBUG("auth string[%s]", text != nullptr ? text : "");
    const char* comma = text != nullptr ? strchr(text, ',') : nullptr;
    const char* eq1 = text != nullptr ? strchr(text, '=') : nullptr;
    const char* eq2 = comma != nullptr ? strchr(comma, '=') : nullptr;
    if (text == nullptr || comma == nullptr || eq1 == nullptr || eq1 > comma || eq2 == nullptr ||
        static_cast<size_t>(comma - eq1 - 1) >= sizeof(s.serverSign) || strlen(eq2 + 1) >= sizeof(s.serverValue)) {
        PR_ERR("unexpected format authinfo [%s]", text != nullptr ? text : "");
        return;
    }
    const std::string got(eq1 + 1, comma);
    const std::string toSign = std::string(s.username) + ":" + s.sessionId + ":" + s.devId + ":" + s.deviceRandom;
    PR_DEBUG("string to sign [%s] size %zu", toSign.c_str(), toSign.size());
    char want[65];
    if (!HexSign(s.password, toSign, want) || got != want) {
        PR_ERR("sign not match [%s][%s]", got.c_str(), want);
        return;
    }
    Copy(s.serverSign, sizeof s.serverSign, got.c_str());
    Copy(s.serverValue, sizeof s.serverValue, eq2 + 1);
    PR_NOTICE("check server sign PASS");
    s.state.store(NSTREAM_VERIFIED);
}

void SpeakerCommand(const cJSON* root)
{
    NSTREAMER_S& s = St();
    const cJSON* session = cJSON_GetObjectItemCaseSensitive(root, "sessionId");
    if (!cJSON_IsString(session) || strcmp(session->valuestring, s.sessionId) != 0) {
        PR_ERR("sessionId error");
        return;
    }
    const cJSON* codec = cJSON_GetObjectItemCaseSensitive(root, "audioCodec");
    if (cJSON_IsObject(codec)) {
        const struct {
            const char* name;
            uint32_t* field;
        } rows[] = {{"codecType", &s.codecType}, {"sample", &s.sample}, {"dateBit", &s.dateBit},
                    {"channels", &s.channels}};
        for (const auto& r : rows) {
            const cJSON* v = cJSON_GetObjectItemCaseSensitive(codec, r.name);
            if (cJSON_IsNumber(v) && v->valuedouble >= 0) {
                *r.field = static_cast<uint32_t>(v->valuedouble);
            }
        }
    }
    const cJSON* status = cJSON_GetObjectItemCaseSensitive(root, "status");
    if (cJSON_IsNumber(status)) {
        s.speaker = status->valuedouble != 0 ? 1 : 0;
        s.heardAt = uni_get_tick_ms();  // the talk's audio is awaited from now
        PR_NOTICE("set speaker... %u", s.speaker);
        Event(s.speaker != 0 ? 16 : 17);
    }
}

// A command: 0, or a code that ends the connection.
int HandleCommand(uint32_t id, const char* body)
{
    NSTREAMER_S& s = St();
    PR_DEBUG("receive cmd frame id %u", id);
    if (id == 4) {
        s.state.store(NSTREAM_CLOSING);
        return 0;
    }
    cJSON* root = body != nullptr ? cJSON_Parse(body) : nullptr;
    if (root == nullptr) {
        PR_ERR("json parse fail. Rev:%s", body != nullptr ? body : "");
        return 0;
    }
    int ret = 0;
    const uint32_t state = s.state.load();
    if (id == 1) {
        // Only the answer to our own challenge counts.
        if (state == NSTREAM_WAITING) {
            CheckServerAuth(root);
        }
    } else if (id == 3) {
        const cJSON* code = cJSON_GetObjectItemCaseSensitive(root, "statuscode");
        const int status = cJSON_IsNumber(code) ? code->valueint : 0;
        if (state != NSTREAM_WAITING) {
            PR_ERR("auth result %d out of turn", status);
        } else if (status == 200) {
            PR_NOTICE("auth complete, 200 OK");
            s.state.store(NSTREAM_STREAMING);
            for (auto& f : s.freshStart) {
                f.store(1);
            }
            s.backoffMs = kBackoffFirstMs;
            TellStreaming();
        } else if (status == 401) {
            PR_ERR("auth 401 fail");
            ret = -401;
        }
    } else if (id == 5) {
        const cJSON* mask = cJSON_GetObjectItemCaseSensitive(root, "streamType");
        if (cJSON_IsNumber(mask) && mask->valuedouble >= 0) {
            SetMask(static_cast<uint32_t>(mask->valuedouble) & 0xF);
        }
    } else if (id == 6) {
        SpeakerCommand(root);
    } else {
        PR_ERR("unknow cmd ID: %u", id);
        ret = -1;
    }
    cJSON_Delete(root);
    return ret;
}

// The received frame's encrypted part, its signature checked, decrypted into the plain buffer:
// false (logged) when the frame is dropped.
bool OpenFrame(uint32_t cipherOff, uint32_t cipherLen, const char* what, uint32_t* plainLen)
{
    NSTREAMER_S& s = St();
    if (!SignOk(s.recvBuf, cipherOff, cipherLen)) {
        PR_ERR("Signature error!");
        return false;
    }
    char iv[NOXA_ENC_IV_LEN];
    memcpy(iv, s.recvBuf + 12, sizeof iv);
    if (s.encryptor->ops.Decrypt(s.recvBuf + cipherOff, cipherLen, s.plainBuf, plainLen, iv) != 0) {
        PR_ERR("%s does not decrypt, dropped", what);
        return false;
    }
    return true;
}

// The whole frame in the receive buffer: 0, or a code that ends the connection.
int HandleFrame()
{
    NSTREAMER_S& s = St();
    const uint8_t* p = s.recvBuf;
    const uint32_t type = uni_get_be32(p + 4);
    const uint32_t len = s.recvLen;
    if (type == kFrameP || type == kFrameI) {
        return 0;
    }
    if (type == kFrameAudio) {
        if (s.state.load() != NSTREAM_STREAMING) {
            PR_ERR("Not auth ready for receive audio data");
            return 0;
        }
        if (len < kMinAudioLen) {
            PR_ERR("frame len error!!!!");
            return kErrFrameLen;
        }
        uint32_t plainLen = 0;
        if (!OpenFrame(kAudioDataOff, len - NSTREAM_AUDIO_FIELDS - NSTREAM_SIGN_LEN, "audio frame", &plainLen)) {
            return 0;
        }
        s.heardAt = uni_get_tick_ms();
        NSTREAM_AUDIO_CB cb = s.audioCb.load();
        if (cb != nullptr) {
            NSTREAM_AUDIO_S a{s.codecType, s.sample, s.dateBit, s.channels, s.plainBuf, plainLen};
            cb(&a, NSTREAM_EVENT_SOURCE);
        }
        return 0;
    }
    if (type == kFrameCmd) {
        const uint32_t id = uni_get_be32(p + NSTREAM_HEAD_LEN);
        if (len == kBareCmdLen) {
            return HandleCommand(id, nullptr);
        }
        if (len <= kMinSignedCmdLen) {
            PR_ERR("frame len error!!!!");
            return kErrFrameLen;
        }
        uint32_t plainLen = 0;
        if (!OpenFrame(kCmdBodyOff, len - NSTREAM_CMD_FIELDS - NSTREAM_SIGN_LEN, "command", &plainLen)) {
            return 0;
        }
        s.plainBuf[plainLen] = '\0';
        return HandleCommand(id, reinterpret_cast<const char*>(s.plainBuf));
    }
    PR_ERR("receive unknown frame type %u", type);
    return kErrUnknownType;
}

// Reads what the socket has, frame by frame: 0, or a code that ends the connection.
int Receive()
{
    NSTREAMER_S& s = St();
    for (;;) {
        const uint32_t have = s.recvPhase == 0 ? NSTREAM_HEAD_LEN - s.recvLeft : NSTREAM_HEAD_LEN + s.recvLen - s.recvLeft;
        const ssize_t n = recv(s.socket, s.recvBuf + have, s.recvLeft, 0);
        if (n == 0) {
            PR_ERR("service stopped by server!");
            PR_ERR("recv failed: ret(%d) status(%u)\n", 0, s.state.load());
            return -1;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return 0;
            }
            if (errno == ETIMEDOUT) {
                PR_ERR("no answer to keep-alive: the gateway is gone");
            }
            PR_ERR("remote service reset");
            PR_ERR("recv failed: ret(%d) status(%u)\n", -errno, s.state.load());
            return -1;
        }
        s.movedAt = uni_get_tick_ms();
        s.recvLeft -= static_cast<uint32_t>(n);
        if (s.recvLeft > 0) {
            continue;
        }
        if (s.recvPhase == 0) {
            s.recvLen = uni_get_be32(s.recvBuf + 8);
            // The buffer holds the header and 4172 bytes: a longer frame would overflow it.
            if (s.recvLen > NSTREAM_RECV_MAX) {
                PR_ERR("frame len error!!!! %u", s.recvLen);
                return kErrFrameLen;
            }
            s.recvPhase = 1;
            s.recvLeft = s.recvLen;
            if (s.recvLeft > 0) {
                continue;
            }
        }
        const int ret = HandleFrame();
        s.recvPhase = 0;
        s.recvLen = 0;
        s.recvLeft = NSTREAM_HEAD_LEN;
        if (ret != 0 || s.state.load() == NSTREAM_CLOSING || s.state.load() == NSTREAM_IDLE) {
            return ret;
        }
    }
}

// ---- the thread ----

// Takes the pending request: its fields become the connection's.
void TakeRequest()
{
    NSTREAMER_S& s = St();
    std::lock_guard<std::mutex> lock(s.requestLock);
    const NSTREAM_REQUEST_S& r = s.pending;
    Copy(s.host, sizeof s.host, r.host);
    s.port = r.port;
    Copy(s.username, sizeof s.username, r.username);
    Copy(s.password, sizeof s.password, r.password);
    Copy(s.sessionId, sizeof s.sessionId, r.sessionId);
    Copy(s.encKeyMd5, sizeof s.encKeyMd5, r.encKeyMd5);
    Copy(s.motoId, sizeof s.motoId, r.motoId);
    s.streamType.store(r.streamType);
    s.request.store(NSTREAM_REQ_NONE);
}

// The ring-buffer channels of a stream mask.
uint32_t ChannelsOf(uint32_t mask)
{
    uint32_t channels = 0;
    for (uint32_t t = 0; t < NSTREAM_TYPES; ++t) {
        if ((mask & (1u << t)) != 0) {
            channels |= 1u << kChannelOf[t];
        }
    }
    return channels;
}

// Streaming: frames while they are ready. Returns the pause before the next round, which waits
// for the next frame when none was ready.
uint32_t StreamingRound(bool writable)
{
    NSTREAMER_S& s = St();
    if (!writable) {
        return kRoundMs;
    }
    for (int sent = 0; sent < 64; ++sent) {
        if (s.sendPending == 0) {
            // Noted before the reads: a frame appended after them ends the wait at once.
            noxa_ipc_ring_buffer_append_mark(ChannelsOf(s.streamType.load()), &s_idleMark);
            if (!PrepareStreamBuffer()) {
                s_idleOnRing = true;
                return kRoundMs;
            }
        }
        if (LocalMode() && LocalFull()) {
            Disconnect();
            return 0;
        }
        const int ret = Flush();
        if (ret != 0) {
            PR_ERR("channel[%d] send data fail ret %d", kChannelOf[s_sendType], ret);
            // The frame that did not go is read again after the reconnect.
            s.retry[s_sendType] = 1;
            PR_ERR("send failed: ret(%d) status(%u)\n", kErrSend, s.state.load());
            Reconnect();
            return 0;
        }
        if (s.sendPending != 0) {
            return 0;  // the socket is full: select waits for room
        }
    }
    return 0;
}

// A gateway that stalls holds the unit for no longer than its bounds: past them the handshake or
// the link is dropped and tried again with the back-off, and a talk-back without audio ends as the
// gateway's own stop would end it. False when the link was dropped; else *wait is the time to the
// nearest bound.
bool WatchBounds(uint32_t state, uint32_t* wait)
{
    NSTREAMER_S& s = St();
    const uint64_t now = uni_get_tick_ms();
    uint64_t next = kSelectMs;
    if (state != NSTREAM_STREAMING) {
        const uint32_t bound = s.handshakeMs.load();
        if (now - s.connectedAt >= bound) {
            PR_ERR("no handshake answer within %u ms", bound);
            Reconnect();
            return false;
        }
        next = std::min<uint64_t>(next, s.connectedAt + bound - now);
    } else {
        // In a talk-back the gateway sends audio every few tens of ms and ends the talk with a
        // command: a talk gone silent is a gateway that stopped, whose socket may yet take our
        // frames for minutes (its receive buffer). The talk ends as the gateway's stop would end
        // it, and the link with it.
        const uint32_t bound = s.stallMs.load();
        if (s.speaker != 0 && now - s.heardAt >= bound) {
            PR_ERR("no talk-back audio for %u ms: speaker off, link dropped", bound);
            s.speaker = 0;
            Event(17);
            Reconnect();
            return false;
        }
        if (s.speaker != 0) {
            next = std::min<uint64_t>(next, s.heardAt + bound - now);
        }
        if (now - s.movedAt >= bound) {
            PR_ERR("no progress on the link for %u ms", bound);
            Reconnect();
            return false;
        }
        next = std::min<uint64_t>(next, s.movedAt + bound - now);
    }
    *wait = static_cast<uint32_t>(std::max<uint64_t>(next, 1));
    return true;
}

// One round of the thread: the pause to take before the next.
uint32_t StreamStep()
{
    NSTREAMER_S& s = St();
    if (s.paused.load() != 0) {
        s.request.store(NSTREAM_REQ_NONE);
        if (s.state.load() != NSTREAM_IDLE && s.state.load() != NSTREAM_CLOSING) {
            s.state.store(NSTREAM_CLOSING);
        }
    }
    const uint32_t req = s.request.load();
    if (req == NSTREAM_REQ_NEW) {
        if (s.state.load() == NSTREAM_IDLE) {
            TakeRequest();
            s_newRequest = true;
            s.backoffMs = kBackoffFirstMs;
            s.connectAt = 0;
            s.state.store(NSTREAM_CONNECT);
        } else {
            Disconnect();  // the request stays for the next round
            return 0;
        }
    } else if (req == NSTREAM_REQ_STOP) {
        s.request.store(NSTREAM_REQ_NONE);
        if (s.state.load() != NSTREAM_IDLE) {
            s.state.store(NSTREAM_CLOSING);
        }
    }
    switch (s.state.load()) {
    case NSTREAM_IDLE:
        return 100;
    case NSTREAM_CLOSING:
        Disconnect();
        return 0;
    case NSTREAM_CONNECT: {
        const uint64_t now = uni_get_tick_ms();
        if (now < s.connectAt) {
            return static_cast<uint32_t>(std::min<uint64_t>(s.connectAt - now, kRoundMs));
        }
        Connect();
        return 0;
    }
    default:
        break;
    }
    if (LocalMode()) {
        return StreamingRound(true);
    }
    uint32_t wait = 0;
    if (!WatchBounds(s.state.load(), &wait)) {
        return 0;
    }
    fd_set rd;
    fd_set wr;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_SET(s.socket, &rd);
    FD_SET(s.socket, &wr);
    const int sel = unw_select(s.socket + 1, &rd, &wr, nullptr, wait);
    if (sel == 0) {
        PR_DEBUG("select timeout");
        return 0;
    }
    if (sel < 0) {
        PR_ERR("Select failed,errno:%d", errno);
        Reconnect();
        return 0;
    }
    if (FD_ISSET(s.socket, &wr)) {
        s.movedAt = uni_get_tick_ms();  // room to send: the gateway takes what comes
    }
    if (FD_ISSET(s.socket, &rd)) {
        const int ret = Receive();
        if (ret != 0) {
            Reconnect();
            return 0;
        }
    }
    const uint32_t state = s.state.load();
    if (!FD_ISSET(s.socket, &wr) || state == NSTREAM_CLOSING || state == NSTREAM_IDLE) {
        return 0;
    }
    if (s.sendPending != 0 && state != NSTREAM_STREAMING) {
        if (Flush() != 0) {
            Reconnect();
        }
        return kRoundMs;
    }
    if (state == NSTREAM_CONNECTED || state == NSTREAM_VERIFIED) {
        if (!PrepareAuthBuffer(state == NSTREAM_CONNECTED ? 0 : 2, 200)) {
            Reconnect();
            return 0;
        }
        s.state.store(NSTREAM_WAITING);
        if (Flush() != 0) {
            Reconnect();
        }
        return kRoundMs;
    }
    if (state == NSTREAM_STREAMING) {
        return StreamingRound(true);
    }
    return kRoundMs;
}

void ThreadStreaming()
{
    NSTREAMER_S& s = St();
    pthread_setname_np(pthread_self(), "streamer");
    PR_NOTICE("ThreadStreaming thread start");
    for (;;) {
        char devId[GW_ID_LEN + 1];
        char key[GW_LOCAL_KEY_LEN + 1];
        gw_get_active_ids(devId, key);
        if (devId[0] != '\0' && key[0] != '\0') {
            Copy(s.devId, sizeof s.devId, devId);
            Copy(s.localKey, sizeof s.localKey, key);
            break;
        }
        if (s_stop.load()) {
            return;
        }
        PR_DEBUG("wait gw init ...");
        Nap(200);
    }
    PR_NOTICE("local key %.2s**************", s.localKey);
    s.encryptor = GetEncryptorInstance();
    // The device topic carries the requests: booked until the MQTT layer holds it.
    while (!s_stop.load() && s.moto->ops.MotoMqttBookTopicForce() != 0) {
        Nap(2000);
    }
    while (!s_stop.load()) {
        s_idleOnRing = false;
        const uint32_t pause = StreamStep();
        if (pause > 0 && s_idleOnRing) {
            // At most a round: the socket (talk-back, commands) and the bounds are looked at again.
            noxa_ipc_ring_buffer_wait_append(&s_idleMark, pause);
        } else if (pause > 0) {
            Nap(pause);
        }
    }
    if (s.socket >= 0) {
        Disconnect();
    }
}

bool Start()
{
    NSTREAMER_S& s = St();
    s.packager = GetPackagerInstance(0, 0);
    // The encryptor is taken by the thread: without a stored key it asks the cloud, which must
    // not hold up the caller's start-up.
    s.moto = GetMotoMqttInstance();
    s.ops = nstream::Ops();
    s.moto->ops.MotoModuleRegist("wg", ProcessMqttMessage);
    const int max = noxa_ipc_ring_buffer_get_max_frame_size();
    const uint32_t frameMax = max > 0 ? static_cast<uint32_t>(max) : kDefaultFrameMax;
    // The plain buffer takes a received body and its NUL too; whatever it holds fits the send
    // buffer with header, fields, padding and signature.
    s.plainBufSize = std::max<uint32_t>(frameMax, NSTREAM_RECV_BUF) + 1;
    s.sendBufSize = s.plainBufSize + kSendSlack;
    s.recvBufSize = NSTREAM_RECV_BUF;
    s.sendBuf = new (std::nothrow) uint8_t[s.sendBufSize];
    s.recvBuf = new (std::nothrow) uint8_t[s.recvBufSize];
    s.plainBuf = new (std::nothrow) uint8_t[s.plainBufSize];
    if (s.sendBuf == nullptr || s.recvBuf == nullptr || s.plainBuf == nullptr) {
        PR_ERR("fail to malloc buffer for streaming");
        delete[] s.sendBuf;
        delete[] s.recvBuf;
        delete[] s.plainBuf;
        s.sendBuf = s.recvBuf = s.plainBuf = nullptr;
        return false;
    }
    s.socket = -1;
    s.backoffMs = kBackoffFirstMs;
    s.handshakeMs.store(kHandshakeMs);
    s.stallMs.store(kStallMs);
    s.localFileMax.store(kLocalFileMax);
    s.keepIdleS.store(kKeepIdleS);
    s.keepIntvlS.store(kKeepIntvlS);
    s.keepCnt.store(kKeepCnt);
    ClearProgress();
    return true;
}

}  // namespace

NSTREAMER_S* GetNStreamerInstance(void)
{
    std::lock_guard<std::mutex> lock(s_instLock);
    if (!s_made) {
        PR_NOTICE("nstream init start");
        if (!Start()) {
            return nullptr;
        }
        s_made = true;
        St().inited = 1;
        PR_NOTICE("nstream init done");
    }
    if (!s_thread.joinable()) {
        s_stop.store(false);
        s_thread = std::thread(ThreadStreaming);
    }
    return &St();
}

void noxa_ipc_streamer_stop_thread(void)
{
    std::lock_guard<std::mutex> lock(s_instLock);
    if (s_thread.joinable()) {
        s_stop.store(true);
        s_thread.join();
    }
}
