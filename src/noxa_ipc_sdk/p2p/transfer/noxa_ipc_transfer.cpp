#include "noxa_ipc_transfer.h"

#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_ipc_sdk/NStreamer/noxa_ipc_streamer.h"
#include "noxa_ipc_sdk/noxa_g711.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "platform/board/devices.h"
#include "transfer_internal.h"
#include "transfer_wire.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace transfer {

Module& Mod()
{
    // Never destroyed: a process that exits while viewers are connected must not tear down the
    // sessions under their running threads (joinable threads at exit end in std::terminate).
    static Module& m = *new Module;
    return m;
}

bool SendAll(int fd, const struct iovec* iov, int cnt)
{
    struct iovec v[3];
    memcpy(v, iov, sizeof(struct iovec) * cnt);
    int at = 0;
    while (at < cnt) {
        struct msghdr msg {};
        msg.msg_iov = v + at;
        msg.msg_iovlen = cnt - at;
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        while (at < cnt && static_cast<size_t>(n) >= v[at].iov_len) {
            n -= static_cast<ssize_t>(v[at].iov_len);
            ++at;
        }
        if (at < cnt) {
            v[at].iov_base = static_cast<uint8_t*>(v[at].iov_base) + n;
            v[at].iov_len -= static_cast<size_t>(n);
        }
    }
    return true;
}

void Refuse(int fd, uint32_t client, uint32_t reason)
{
    uint8_t rec[P2P_WIRE_HEAD_SIZE + 4];
    Put32(rec, P2P_WIRE_REFUSED);
    Put32(rec + 4, client);
    Put32(rec + 8, 4);
    Put32(rec + 12, reason);
    struct iovec iov = {rec, sizeof rec};
    SendAll(fd, &iov, 1);
    // What the viewer sent already is read away first: closing on unread bytes would reset the
    // connection, and the viewer might lose the refusal with it.
    shutdown(fd, SHUT_WR);
    uint8_t sink[4096];
    for (int i = 0; i < 16 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    close(fd);
}

}  // namespace transfer

namespace {

using namespace transfer;

// Video copy buffer when the ring buffer does not yet know its largest frame.
constexpr uint32_t kVideoBufDefault = 512 * 1024;
constexpr uint32_t kAudioBuf = 4096;
constexpr int kAudioChannel = 9;
// The sender's longest idle wait when no frame comes.
constexpr uint32_t kIdleWaitMs = 10;

Module& gMod = Mod();

uint32_t VideoWire(uint32_t codec)
{
    return codec == NOXA_CODEC_VIDEO_H265 ? P2P_WIRE_CODEC_H265 : P2P_WIRE_CODEC_H264;
}

uint32_t AudioWire(uint32_t codec)
{
    switch (codec) {
    case NOXA_CODEC_AUDIO_PCM:
        return P2P_WIRE_CODEC_PCM16;
    case NOXA_CODEC_AUDIO_G711U:
        return P2P_WIRE_CODEC_G711U;
    case NOXA_CODEC_AUDIO_G711A:
        return P2P_WIRE_CODEC_G711A;
    default:
        return P2P_WIRE_CODEC_UNKNOWN;
    }
}

// One record to the client; the caller holds the session lock. A failed write ends the
// connection (its reader sees the shutdown and frees the session).
bool SendLocked(Session& s, uint32_t kind, uint32_t client, const void* fields, uint32_t fieldLen,
                const void* data, uint32_t dataLen)
{
    if (s.fd < 0) {
        return false;
    }
    uint8_t head[P2P_WIRE_HEAD_SIZE];
    Put32(head, kind);
    Put32(head + 4, client);
    Put32(head + 8, fieldLen + dataLen);
    struct iovec iov[3] = {{head, sizeof head}, {const_cast<void*>(fields), fieldLen}, {const_cast<void*>(data), dataLen}};
    if (!SendAll(s.fd, iov, 3)) {
        shutdown(s.fd, SHUT_RDWR);
        return false;
    }
    return true;
}

bool Send(Session& s, uint32_t kind, uint32_t client, const void* fields, uint32_t fieldLen, const void* data = nullptr,
          uint32_t dataLen = 0)
{
    std::lock_guard<std::mutex> lock(s.lock);
    return SendLocked(s, kind, client, fields, fieldLen, data, dataLen);
}

bool RecvAll(int fd, uint8_t* buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// Quality 0 watches the main stream (channel 0), quality 1 the sub stream (channel 1).
int ChannelOf(uint32_t quality)
{
    return quality == 1 ? 1 : 0;
}

void LiveThread(uint32_t client)
{
    // Named, or it would carry the acceptor's name, which starts it.
    pthread_setname_np(pthread_self(), "p2p_live");
    Session& s = gMod.sessions[client];
    const int user = RING_BUFFER_USER_P2P_BASE + static_cast<int>(client);
    int channel = -1;
    bool videoWas = false;
    bool audioWas = false;
    bool keySeen = false;
    while (!s.stop.load()) {
        bool moved = false;
        bool videoOn = s.videoOn.load();
        int want = ChannelOf(s.quality.load());
        // Noted before the reads: a frame appended after them ends the idle wait below at once.
        RING_BUFFER_APPEND_MARK_S mark{};
        noxa_ipc_ring_buffer_append_mark((videoOn ? 1u << want : 0u) | (s.audioOn.load() ? 1u << kAudioChannel : 0u),
                                         &mark);
        if (videoOn && (!videoWas || want != channel)) {
            // A new or switched view starts afresh at the next key frame.
            channel = want;
            noxa_ipc_ring_buffer_clean_user_state(channel, user);
            keySeen = false;
        }
        videoWas = videoOn;
        if (videoOn) {
            RING_BUFFER_NODE_S* node = noxa_ipc_ring_buffer_get_video_frame(channel, user, 0);
            RING_BUFFER_FRAME_S f{};
            int n = node == nullptr ? -2
                                    : noxa_ipc_ring_buffer_copy_frame(channel, user, node, s.video.data(),
                                                                      static_cast<uint32_t>(s.video.size()), &f);
            if (node != nullptr) {
                moved = true;
                // A frame lost to the writer or too large breaks the chain: wait for a key frame.
                keySeen = keySeen && n >= 0;
            }
            if (n >= 0 && (keySeen || f.type == MEDIA_FRAME_TYPE_I)) {
                keySeen = true;
                uint8_t fields[28];
                Put32(fields, static_cast<uint32_t>(channel));
                Put32(fields + 4, gMod.videoCodec[channel]);
                Put32(fields + 8, f.type == MEDIA_FRAME_TYPE_I ? 1 : 0);
                Put64(fields + 12, f.pts);
                Put64(fields + 20, f.timestamp);
                Send(s, P2P_WIRE_LIVE_VIDEO, client, fields, sizeof fields, s.video.data(), static_cast<uint32_t>(n));
            }
        }
        bool audioOn = s.audioOn.load();
        if (audioOn && !audioWas) {
            noxa_ipc_ring_buffer_clean_user_state(kAudioChannel, user);
        }
        audioWas = audioOn;
        if (audioOn) {
            RING_BUFFER_NODE_S* node = noxa_ipc_ring_buffer_get_audio_frame(kAudioChannel, user, 0);
            RING_BUFFER_FRAME_S f{};
            int n = node == nullptr ? -2
                                    : noxa_ipc_ring_buffer_copy_frame(kAudioChannel, user, node, s.audio.data(),
                                                                      static_cast<uint32_t>(s.audio.size()), &f);
            if (node != nullptr) {
                moved = true;
            }
            uint32_t len = 0;
            if (n > 0 && noxa_g711_encode(NOXA_G711_ULAW, reinterpret_cast<const int16_t*>(s.audio.data()), n,
                                          s.g711.data(), &len) == 0) {
                uint8_t fields[20];
                Put32(fields, P2P_WIRE_CODEC_G711U);
                Put64(fields + 4, f.pts);
                Put64(fields + 12, f.timestamp);
                Send(s, P2P_WIRE_LIVE_AUDIO, client, fields, sizeof fields, s.g711.data(), len);
            }
        }
        if (!moved) {
            // Until the next frame of a stream the viewer watches; the bound keeps the stream
            // starts, stops and the session's end noticed.
            noxa_ipc_ring_buffer_wait_append(&mark, kIdleWaitMs);
        }
    }
}

uint32_t OnlineCount()
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < gMod.clients; ++i) {
        n += gMod.sessions[i].connected.load() ? 1 : 0;
    }
    return n;
}

uint32_t WatchingCount()
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < gMod.clients; ++i) {
        const Session& s = gMod.sessions[i];
        n += s.videoOn.load() || s.streaming.load() ? 1 : 0;
    }
    return n;
}

// The session's mark of the stream an event starts or stops (live video, live audio, talk,
// streaming); null for other events.
std::atomic<bool>* StreamMark(Session& s, uint32_t code, bool* start, uint32_t* bit)
{
    switch (code) {
    case TRANS_LIVE_VIDEO_START:
    case TRANS_LIVE_VIDEO_STOP:
        *start = code == TRANS_LIVE_VIDEO_START;
        *bit = 1;
        return &s.videoOn;
    case TRANS_LIVE_AUDIO_START:
    case TRANS_LIVE_AUDIO_STOP:
        *start = code == TRANS_LIVE_AUDIO_START;
        *bit = 2;
        return &s.audioOn;
    case TRANS_SPEAKER_START:
    case TRANS_SPEAKER_STOP:
        *start = code == TRANS_SPEAKER_START;
        *bit = 4;
        return &s.talkOn;
    case TRANS_STREAMING_VIDEO_START:
    case TRANS_STREAMING_VIDEO_STOP:
        *start = code == TRANS_STREAMING_VIDEO_START;
        *bit = 8;
        return &s.streaming;
    default:
        return nullptr;
    }
}

void Answer(Session& s, uint32_t client, uint32_t code, int rc, const uint32_t* words, uint32_t count)
{
    uint8_t answer[12 + 4 * NOXA_P2P_EVENT_WORDS];
    Put32(answer, code);
    Put32(answer + 4, static_cast<uint32_t>(rc));
    Put32(answer + 8, count);
    for (uint32_t i = 0; i < count; ++i) {
        Put32(answer + 12 + 4 * i, words[i]);
    }
    Send(s, P2P_WIRE_ANSWER, client, answer, 12 + 4 * count);
}

// A start or stop of one of the session's streams. Only a change reaches the application: a
// start of a running stream (answered 0, logged once a session) and a stop of one never started
// (answered -1, logged) leave the unit as it is, so a viewer that never watched cannot end a
// call, and repeated starts cannot flood every viewer with key frames.
int StreamEvent(Session& s, uint32_t client, uint32_t code, uint32_t* words)
{
    bool start = false;
    uint32_t bit = 0;
    std::atomic<bool>* mark = StreamMark(s, code, &start, &bit);
    // Only the watching streams are counted across sessions; audio and talk are the session's own.
    std::unique_lock<std::mutex> view(gMod.viewLock, std::defer_lock);
    if (mark == &s.videoOn || mark == &s.streaming) {
        view.lock();
    }
    if (mark->load() == start) {
        if (!start) {
            PR_ERR("p2p client %u: event %u without its start: ignored", client, code);
            return -1;
        }
        if ((s.repeatLogged & bit) == 0) {
            s.repeatLogged |= bit;
            PR_ERR("p2p client %u: event %u while its stream runs: ignored", client, code);
        }
        return 0;
    }
    mark->store(start);
    if (mark == &s.videoOn || mark == &s.audioOn) {
        std::lock_guard<std::mutex> lock(s.lock);
        const bool live = s.videoOn.load() || s.audioOn.load();
        if (live && s.state.load() == SessionState::Free) {
            s.state.store(SessionState::Live);
        } else if (!live && s.state.load() == SessionState::Live) {
            s.state.store(SessionState::Free);
        }
    }
    return gMod.param.on_event_cb(static_cast<NOXA_P2P_EVENT_E>(code), words);
}

void HandleEvent(uint32_t client, const uint8_t* p, uint32_t len)
{
    Session& s = gMod.sessions[client];
    const uint32_t code = len >= 4 ? Get32(p) : UINT32_MAX;
    const uint32_t count = len >= 8 ? Get32(p + 4) : 0;
    if (len < 8 || count > NOXA_P2P_EVENT_WORDS || len < 8 + 4 * count) {
        PR_ERR("p2p client %u: bad event record (%u bytes): refused", client, len);
        Answer(s, client, code, -1, nullptr, 0);
        return;
    }
    // Only the codes the application knows reach it (an outside number is no enum value).
    bool known = code <= TRANS_DOWNLOAD_CANCLE || code == TRANS_STREAMING_VIDEO_START ||
                 code == TRANS_STREAMING_VIDEO_STOP;
    uint32_t words[NOXA_P2P_EVENT_WORDS] = {};
    for (uint32_t i = 0; i < count; ++i) {
        words[i] = Get32(p + 8 + 4 * i);
    }
    // Word 0 names the client, so a viewer acts only on its own session.
    if (code != TRANS_LIVE_VIDEO_CLARITY_SET && code != TRANS_LIVE_VIDEO_CLARITY_QUERY) {
        words[0] = client;
    }
    if (!known) {
        PR_ERR("client %u: unknown event %u", client, code);
    }
    bool start = false;
    uint32_t bit = 0;
    int rc = -1;
    if (!known) {
        rc = -1;
    } else if (StreamMark(s, code, &start, &bit) != nullptr) {
        rc = StreamEvent(s, client, code, words);
    } else {
        if (code == TRANS_LIVE_QUALITY_CHANGE) {
            s.quality.store(words[2] == 1 ? 1 : 0);
        } else if (code == TRANS_PLAYBACK_START_TS) {
            // In playback before the application starts sending frames.
            std::lock_guard<std::mutex> lock(s.lock);
            s.state.store(SessionState::Playback);
        }
        rc = gMod.param.on_event_cb(static_cast<NOXA_P2P_EVENT_E>(code), words);
        if (code == TRANS_PLAYBACK_STOP) {
            std::lock_guard<std::mutex> lock(s.lock);
            if (s.state.load() == SessionState::Playback) {
                s.state.store(s.videoOn.load() || s.audioOn.load() ? SessionState::Live : SessionState::Free);
            }
        }
    }
    Answer(s, client, code, rc, words, count);
}

// Talk-back plays only while the session's own talk runs (between its events 16 and 17).
void HandleTalk(uint32_t client, uint8_t* p, uint32_t len)
{
    Session& s = gMod.sessions[client];
    if (!s.talkOn.load()) {
        if (s.talkDropped++ == 0) {
            PR_ERR("p2p client %u: talk frame without a talk start dropped", client);
        }
        return;
    }
    TRANSFER_MEDIA_FRAME_S f{};
    f.audio.audio_codec = gMod.param.rev_audio_codec;
    f.audio.audio_sample = gMod.param.rev_audio_sample;
    f.audio.audio_databits = gMod.param.rev_audio_databits;
    f.audio.audio_channel = gMod.param.rev_audio_channel;
    f.audio.p_audio_buf = p;
    f.audio.buf_len = len;
    f.audio.pts = uni_time_get_posix_ms();
    f.audio.timestamp = f.audio.pts / 1000;
    gMod.param.on_rev_audio_cb(&f, client);
}

void ReaderThread(uint32_t client)
{
    pthread_setname_np(pthread_self(), "p2p_reader");
    Session& s = gMod.sessions[client];
    uint8_t head[P2P_WIRE_HEAD_SIZE];
    while (!s.stop.load() && RecvAll(s.fd, head, sizeof head)) {
        uint32_t kind = Get32(head);
        uint32_t len = Get32(head + 8);
        if (len > kRecvMax) {
            PR_ERR("p2p client %u: record of %u bytes: refused", client, len);
            uint8_t reason[4];
            Put32(reason, P2P_REFUSED_TOO_LARGE);
            Send(s, P2P_WIRE_REFUSED, client, reason, sizeof reason);
            break;
        }
        if (!RecvAll(s.fd, s.recv.data(), len)) {
            break;
        }
        if (kind == P2P_WIRE_EVENT) {
            HandleEvent(client, s.recv.data(), len);
        } else if (kind == P2P_WIRE_TALK) {
            HandleTalk(client, s.recv.data(), len);
        } else if (kind == P2P_WIRE_BYE) {
            break;
        }
    }
    s.stop.store(true);
    s.live.join();
    bool wasPlayback = false;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        close(s.fd);
        s.fd = -1;
        wasPlayback = s.state.load() == SessionState::Playback;
        s.state.store(SessionState::Free);
    }
    // A viewer gone without its stops (bye, drop, refusal) still has the stop of everything it
    // started told: its view, counted out before its stop is told (as a stop from a live viewer
    // is), its audio, its talk and its playback.
    const bool tell = !gMod.stopping.load();
    uint32_t words[NOXA_P2P_EVENT_WORDS] = {client};
    {
        std::lock_guard<std::mutex> view(gMod.viewLock);
        const bool wasVideo = s.videoOn.exchange(false);
        const bool wasStreaming = s.streaming.exchange(false);
        if (wasVideo && tell) {
            gMod.param.on_event_cb(TRANS_LIVE_VIDEO_STOP, words);
        }
        if (wasStreaming && tell) {
            gMod.param.on_event_cb(TRANS_STREAMING_VIDEO_STOP, words);
        }
    }
    const std::pair<bool, NOXA_P2P_EVENT_E> ends[] = {{s.audioOn.exchange(false), TRANS_LIVE_AUDIO_STOP},
                                                      {s.talkOn.exchange(false), TRANS_SPEAKER_STOP},
                                                      {wasPlayback, TRANS_PLAYBACK_STOP}};
    for (const auto& [was, code] : ends) {
        if (was && tell) {
            gMod.param.on_event_cb(code, words);
        }
    }
    if (s.talkDropped > 0) {
        PR_ERR("p2p client %u: %u talk frames without a talk start dropped", client, s.talkDropped);
    }
    s.connected.store(false);
    PR_NOTICE("p2p client %u gone", client);
    if (gMod.param.on_online_cb != nullptr) {
        gMod.param.on_online_cb(OnlineCount());
    }
}

}  // namespace

namespace transfer {

void OpenSession(int fd, uint32_t client, uint32_t quality)
{
    Session& s = gMod.sessions[client];
    if (s.reader.joinable()) {
        s.reader.join();  // the last connection's reader has finished
    }
    // A viewer that stops reading is cut off rather than holding its session lock for ever.
    struct timeval tv = {3, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (quality > 1) {
        quality = gMod.param.live_mode == 1 ? 1 : 0;
    }
    int maxFrame = noxa_ipc_ring_buffer_get_max_frame_size();
    s.video.resize(maxFrame > 0 ? static_cast<size_t>(maxFrame) : kVideoBufDefault);
    s.audio.resize(kAudioBuf);
    s.g711.resize(kAudioBuf / 2);
    s.recv.resize(kRecvMax);
    s.quality.store(quality);
    s.state.store(SessionState::Free);
    s.stop.store(false);
    s.talkDropped = 0;
    s.repeatLogged = 0;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.fd = fd;
    }
    s.connected.store(true);

    const NOXA_MEDIA_INFO_S& m = gMod.param.media_info;
    int ch = ChannelOf(quality);
    uint32_t w[P2P_WIRE_WELCOME_WORDS] = {quality,
                                          static_cast<uint32_t>(ch),
                                          gMod.videoCodec[ch],
                                          m.video_width[ch],
                                          m.video_height[ch],
                                          m.video_fps[ch],
                                          P2P_WIRE_CODEC_G711U,
                                          8000,
                                          gMod.talkCodec,
                                          gMod.param.rev_audio_sample,
                                          gMod.param.rev_audio_databits,
                                          gMod.param.rev_audio_channel,
                                          gMod.clients};
    uint8_t words[4 * P2P_WIRE_WELCOME_WORDS];
    for (int i = 0; i < P2P_WIRE_WELCOME_WORDS; ++i) {
        Put32(words + 4 * i, w[i]);
    }
    Send(s, P2P_WIRE_WELCOME, client, words, sizeof words);
    PR_NOTICE("p2p client %u online, quality %u", client, quality);
    s.live = std::thread(LiveThread, client);
    s.reader = std::thread(ReaderThread, client);
    if (gMod.param.on_online_cb != nullptr) {
        gMod.param.on_online_cb(OnlineCount());
    }
}

}  // namespace transfer

namespace {

// The skill value of viewers served through this module.
constexpr int32_t kTransferWebrtcSkill = 51;

// The cloud gateway's stream starts and stops and speaker on and off reach the application as a
// viewer's would.
int StreamerEvent(int event, void* args)
{
    return gMod.param.on_event_cb(static_cast<NOXA_P2P_EVENT_E>(event), args);
}

// The gateway's talk-back to the application's talk-back hook.
void StreamerAudio(const NSTREAM_AUDIO_S* audio, uint32_t source)
{
    TRANSFER_MEDIA_FRAME_S f{};
    f.audio.audio_codec = audio->codecType;
    f.audio.audio_sample = audio->sample;
    f.audio.audio_databits = audio->dateBit;
    f.audio.audio_channel = audio->channels;
    f.audio.p_audio_buf = audio->data;
    f.audio.buf_len = audio->len;
    f.audio.pts = uni_time_get_posix_ms();
    f.audio.timestamp = f.audio.pts / 1000;
    gMod.param.on_rev_audio_cb(&f, source);
}

uint32_t StreamerAlive()
{
    uint32_t n = 0;
    noxa_ipc_streamer_alive_cnt(&n);
    return n;
}

// The port the viewers find the unit on, in place of a rendezvous server.
bool Listen()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    // A deep queue: connections beyond it are not refused but dropped, and their clients retry
    // only after a second or more.
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
        close(fd);
        return false;
    }
    std::string file = SimStateFile("p2p.port");
    if (!file.empty() && !SimWriteFileAtomic(file, std::to_string(ntohs(a.sin_port)) + "\n")) {
        PR_ERR("cannot write %s", file.c_str());
    }
    gMod.listenFd = fd;
    return true;
}

// The session of a client for the senders; null (and the result in rc) when refused.
Session* SessionFor(uint32_t client, int badIndex, int* rc)
{
    if (!gMod.inited.load()) {
        PR_ERR("The Transfer Module Is Not Inited");
        *rc = -1;
        return nullptr;
    }
    if (client >= gMod.clients) {
        *rc = badIndex;
        return nullptr;
    }
    return &gMod.sessions[client];
}

uint64_t StampMs(uint64_t pts, uint64_t timestamp)
{
    return pts != 0 ? pts : timestamp * 1000;
}

// The playback senders' common checks: the client's session, the argument given and, under the
// session's lock, the session in playback; then send(session). -ENOENT no such client or no
// argument, -ENXIO not in playback, -1 (with needOpen) the connection already gone.
template <typename Send>
int WithPlayback(uint32_t client, const void* arg, bool needOpen, Send send)
{
    int rc = 0;
    Session* s = SessionFor(client, -ENOENT, &rc);
    if (s == nullptr) {
        return rc;
    }
    if (arg == nullptr) {
        return -ENOENT;
    }
    std::lock_guard<std::mutex> lock(s->lock);
    if (needOpen && s->fd < 0) {
        return -1;
    }
    if (s->state.load() != SessionState::Playback) {
        return -ENXIO;
    }
    return send(*s);
}

}  // namespace

int noxa_ipc_tranfser_init(const NOXA_P2P_TRANSFER_PARAM_S* param)
{
    if (param == nullptr || param->on_rev_audio_cb == nullptr || param->on_event_cb == nullptr) {
        PR_ERR("transfer init: talk-back and event callbacks are required");
        return -1;
    }
    if (gMod.inited.load()) {
        PR_ERR("transfer module already started");
        return -1;
    }
    gMod.param = *param;
    gMod.clients = param->max_client_num == 0 || param->max_client_num > NOXA_P2P_CLIENT_MAX ? NOXA_P2P_CLIENT_MAX
                                                                                           : param->max_client_num;
    if (param->max_client_num > NOXA_P2P_CLIENT_MAX) {
        PR_NOTICE("p2p clients %u capped to %u", param->max_client_num, gMod.clients);
    }
    gMod.videoCodec[0] = VideoWire(param->media_info.video_codec[0]);
    gMod.videoCodec[1] = VideoWire(param->media_info.video_codec[1]);
    gMod.talkCodec = AudioWire(param->rev_audio_codec);
    if (gMod.talkCodec == P2P_WIRE_CODEC_UNKNOWN) {
        PR_ERR("talk-back codec %u has no wire code", param->rev_audio_codec);
    }
    gMod.stopping.store(false);
    if (!Listen()) {
        PR_ERR("p2p transport: no port");
        return -1;
    }
    gMod.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (gMod.wakeFd < 0) {
        PR_ERR("p2p transport: no eventfd (%d)", errno);
        close(gMod.listenFd);
        gMod.listenFd = -1;
        return -1;
    }
    gMod.acceptor = std::thread(AcceptLoop);
    gMod.inited.store(true);
    // The cloud learns from the skills upload that viewers can be served.
    const int32_t webrtc = kTransferWebrtcSkill;
    noxa_ipc_skill_enable(NOXA_SKILL_WEBRTC, &webrtc);
    // The cloud gateway's stream: the media described, its events and talk-back routed as a
    // viewer's, its skills for the upload.
    NSTREAMER_S* streamer = GetNStreamerInstance();
    if (streamer != nullptr) {
        streamer->ops.SetMediaSetting(&param->media_info);
        streamer->ops.RegisterCallBack(StreamerEvent, StreamerAudio);
        streamer->ops.FillCloudGwSkills();
    }
    noxa_ipc_mqt_set_rtc_msg_cb(noxa_ipc_p2p_rtc_msg_cb);
    return 0;
}

void noxa_ipc_tranfser_deinit(void)
{
    if (!gMod.inited.exchange(false)) {
        return;
    }
    gMod.stopping.store(true);
    const uint64_t one = 1;
    (void)!write(gMod.wakeFd, &one, sizeof one);
    noxa_ipc_streamer_stop_thread();
    gMod.acceptor.join();
    close(gMod.listenFd);
    gMod.listenFd = -1;
    close(gMod.wakeFd);
    gMod.wakeFd = -1;
    for (Session& s : gMod.sessions) {
        {
            std::lock_guard<std::mutex> lock(s.lock);
            if (s.fd >= 0) {
                shutdown(s.fd, SHUT_RDWR);
            }
        }
        if (s.reader.joinable()) {
            s.reader.join();
        }
    }
}

int noxa_ipc_get_online_client_cnt(void)
{
    // The cloud gateway's stream counts as one viewer.
    return gMod.inited.load() ? static_cast<int>(OnlineCount() + StreamerAlive()) : -1;
}

int noxa_ipc_get_watching_client_cnt(void)
{
    return gMod.inited.load() ? static_cast<int>(WatchingCount()) : -1;
}

int noxa_ipc_playback_send_video_frame(uint32_t client, const TRANSFER_MEDIA_FRAME_S* frame)
{
    return WithPlayback(client, frame, false, [&](Session& s) {
        const TRANSFER_VIDEO_FRAME_S& v = frame->video;
        uint8_t fields[16];
        Put32(fields, VideoWire(v.media_codec));
        Put32(fields + 4, v.frame_type == 1 ? 1 : 0);
        Put64(fields + 8, StampMs(v.pts, v.timestamp));
        if (v.buf_len > P2P_WIRE_PAYLOAD_MAX || (v.p_buf == nullptr && v.buf_len != 0) ||
            !SendLocked(s, P2P_WIRE_PB_VIDEO, client, fields, sizeof fields, v.p_buf, v.buf_len)) {
            PR_ERR("pb video send error");
            return -1;
        }
        return 0;
    });
}

int noxa_ipc_playback_send_audio_frame(uint32_t client, const TRANSFER_MEDIA_FRAME_S* frame)
{
    return WithPlayback(client, frame, true, [&](Session& s) {
        const TRANSFER_AUDIO_FRAME_S& a = frame->audio;
        uint32_t codec = AudioWire(a.audio_codec);
        if (codec == P2P_WIRE_CODEC_UNKNOWN || a.buf_len > P2P_WIRE_PAYLOAD_MAX ||
            (a.p_audio_buf == nullptr && a.buf_len != 0)) {
            return -1;
        }
        uint8_t fields[24];
        Put32(fields, codec);
        Put32(fields + 4, a.audio_sample);
        Put32(fields + 8, a.audio_databits);
        Put32(fields + 12, a.audio_channel);
        Put64(fields + 16, StampMs(a.pts, a.timestamp));
        return SendLocked(s, P2P_WIRE_PB_AUDIO, client, fields, sizeof fields, a.p_audio_buf, a.buf_len) ? 0 : -1;
    });
}

int noxa_ipc_playback_send_finish(uint32_t client)
{
    int rc = 0;
    Session* s = SessionFor(client, -ENOENT, &rc);
    if (s == nullptr) {
        return rc;
    }
    std::lock_guard<std::mutex> lock(s->lock);
    if (s->state.load() == SessionState::Playback) {
        s->state.store(s->videoOn.load() || s->audioOn.load() ? SessionState::Live : SessionState::Free);
    }
    SendLocked(*s, P2P_WIRE_PB_FINISH, client, nullptr, 0, nullptr, 0);
    return 0;
}

int noxa_ipc_playback_send_day_list(uint32_t client, const PLAYBACK_TIME_S* files, uint32_t count)
{
    int rc = 0;
    Session* s = SessionFor(client, -ENOENT, &rc);
    if (s == nullptr) {
        return rc;
    }
    if (files == nullptr && count != 0) {
        return -ENOENT;
    }
    if (count > (P2P_WIRE_PAYLOAD_MAX - 4) / 12) {
        return -E2BIG;
    }
    std::vector<uint8_t> payload(4 + 12 * static_cast<size_t>(count));
    Put32(payload.data(), count);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* p = payload.data() + 4 + 12 * i;
        Put32(p, files[i].type);
        Put32(p + 4, files[i].start_timestamp);
        Put32(p + 8, files[i].end_timestamp);
    }
    std::lock_guard<std::mutex> lock(s->lock);
    return SendLocked(*s, P2P_WIRE_PB_DAY_LIST, client, payload.data(), static_cast<uint32_t>(payload.size()), nullptr, 0)
               ? 0
               : -1;
}

int noxa_ipc_playback_send_fragment_end(uint32_t client, const uint32_t* fragment)
{
    return WithPlayback(client, fragment, false, [&](Session& s) {
        uint8_t fields[8];
        Put32(fields, fragment[0]);
        Put32(fields + 4, fragment[1]);
        return SendLocked(s, P2P_WIRE_PB_FRAGMENT_END, client, fields, sizeof fields, nullptr, 0) ? 0 : -1;
    });
}

int noxa_ipc_4_app_download_data(uint32_t client, const STORAGE_FRAME_HEAD_S* head, const uint8_t* data)
{
    int rc = 0;
    Session* s = SessionFor(client, -2, &rc);
    if (s == nullptr) {
        return rc;
    }
    if (head == nullptr || data == nullptr || head->size > P2P_WIRE_PAYLOAD_MAX) {
        return -2;
    }
    uint8_t fields[24];
    Put32(fields, head->type);
    Put32(fields + 4, head->size);
    Put64(fields + 8, head->timestamp);
    Put64(fields + 16, head->pts);
    std::lock_guard<std::mutex> lock(s->lock);
    return SendLocked(*s, P2P_WIRE_DL_DATA, client, fields, sizeof fields, data, head->size) ? 0 : -1;
}

int noxa_ipc_4_app_download_status(uint32_t client, uint32_t status)
{
    int rc = 0;
    Session* s = SessionFor(client, -2, &rc);
    if (s == nullptr) {
        return rc;
    }
    if (status == 100) {
        PR_NOTICE("send finish to app");
    }
    uint8_t fields[4];
    Put32(fields, status);
    return Send(*s, P2P_WIRE_DL_STATUS, client, fields, sizeof fields) ? 0 : -1;
}

void noxa_ipc_p2p_rtc_msg_cb(const char* dev_id, const char* msg, int len)
{
    PR_NOTICE("rtc signalling for %s, %d bytes: viewers use the local transport", dev_id != nullptr ? dev_id : "?",
              msg != nullptr ? len : 0);
}
