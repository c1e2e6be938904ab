#include "noxa_ipc_sdk/video_msg/noxa_ipc_video_msg.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_bytes.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/prctl.h>

VIDEO_MSG_LINKS_S gVideoMsgLinks = {};

namespace {

constexpr int kMainChannel = 0;
constexpr int kAudioChannel = 9;
constexpr int kReader = RING_BUFFER_USER_VIDEO_MSG;
constexpr uint32_t kIdleSleepMs = 100;
constexpr uint32_t kPollSleepMs = 10;
constexpr uint32_t kMaxBitrate = 2048;
constexpr int kMaxVideoSeconds = 10;
constexpr int kMaxAudioSeconds = 15;
constexpr uint32_t kFrameHead = 24;
// A record's head and the padding its encryption may add: what a frame needs beyond its bytes.
constexpr uint32_t kRecordSlack = 40;
constexpr uint32_t kFrameFallback = 256 * 1024;  // before the main ring exists
constexpr size_t kThreadStack = 1 << 20;
constexpr int kBufferFull = -112;

static_assert(sizeof(NOXA_VIDEO_MSG_IV) - 1 == 16, "the message IV is 16 bytes");

struct Manager {
    std::atomic<uint32_t> inited{0};
    // Made at init and destroyed last at uninit, after the thread that takes it has ended.
    std::unique_ptr<std::mutex> lock;
    pthread_t thread{};
    bool threadStarted = false;
    NOXA_MEDIA_INFO_S media{};
    int type = VIDEO_MSG_TYPE_AV;
    int duration = kMaxVideoSeconds;
    // Buffers: made by the leave under the lock, released by the thread under the lock, used by
    // the thread alone in between (the state's store publishes them).
    std::unique_ptr<uint8_t[]> pic;
    uint32_t picSize = 0;
    std::unique_ptr<uint8_t[]> buf;
    std::atomic<uint32_t> capacity{0};
    std::atomic<uint32_t> used{0};
    std::unique_ptr<uint8_t[]> frame;
    uint32_t frameCap = 0;
    std::atomic<uint32_t> videoFrames{0};
    uint32_t name = NOTIFICATION_NAME_LEAVE_MSG;
    // Written by the leave's caller, the thread and uninit.
    std::atomic<uint32_t> state{VIDEO_MSG_IDLE};
    uint32_t startTime = 0;  // posix seconds
    char key[VIDEO_MSG_KEY_LEN + 1] = {};  // under the lock
    uint8_t iv[16] = {};
    uint64_t startMs = 0;  // uni_get_tick_ms of the leave
    // The thread's own.
    bool started = false;
    bool videoAnchored = false;
    bool audioAnchored = false;
    bool waitKey = true;
    uint32_t audioFrames = 0;
    // The last frames any message took, so that no frame goes into two messages.
    uint32_t lastVideoSeq = 0;
    uint32_t lastAudioSeq = 0;
};

Manager g;
int s_runThread = 1;

bool SeqAfter(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) > 0;
}

bool WantVideo()
{
    return g.type != VIDEO_MSG_TYPE_AUDIO;
}

bool WantAudio()
{
    return g.type != VIDEO_MSG_TYPE_VIDEO && g.media.channel_enable[kAudioChannel] != 0;
}

// The message's end is counted from the leave, frames or none: with the frame gate closed no
// frame comes, and a message that waited for one would hold its buffers and refuse every later
// message.
bool DurationPassed()
{
    return uni_get_tick_ms() - g.startMs >= static_cast<uint64_t>(g.duration) * 1000;
}

void Finish()
{
    g.state.store(VIDEO_MSG_FINISHING);
}

// Under the lock.
void ReleaseBuffersLocked()
{
    g.pic.reset();
    g.picSize = 0;
    g.buf.reset();
    g.frame.reset();
    g.frameCap = 0;
    g.capacity = 0;
    g.used = 0;
}

// The message's key, its IV and the start. The key comes from the kernel's generator: one seeded
// with the time would be found again from the message's time stamp.
bool StartMessage()
{
    std::lock_guard<std::mutex> lock(*g.lock);
    char key[VIDEO_MSG_KEY_LEN + 1] = {};
    const bool keyed = uni_random_string(key, VIDEO_MSG_KEY_LEN) == UNI_OK;
    memcpy(g.key, key, sizeof(key));
    memcpy(g.iv, NOXA_VIDEO_MSG_IV, sizeof(g.iv));
    g.used = VIDEO_MSG_HEADER_SIZE;
    g.videoFrames = 0;
    g.audioFrames = 0;
    g.waitKey = true;
    g.videoAnchored = false;
    g.audioAnchored = false;
    g.started = true;
    PR_DEBUG("get pre record av needed");
    if (!keyed) {
        PR_ERR("no random key for the message");
    }
    return keyed;
}

// One frame into the message (the record's head, the bytes encrypted for key and audio frames).
// 0; -112 the message is over (duration or buffer); -1 an inter frame before the first key frame;
// -3 the frame cannot be encrypted.
int AppendMediaFrame(const RING_BUFFER_FRAME_S& f, const uint8_t* data)
{
    PR_TRACE("upload frame type %d, timestamp %lld", f.type, static_cast<long long>(f.timestamp));
    if (DurationPassed()) {
        PR_NOTICE("STOP because of timeout");
        Finish();
        return kBufferFull;
    }
    const uint32_t used = g.used.load();
    const uint32_t cap = g.capacity.load();
    if (static_cast<uint64_t>(used) + f.size + kRecordSlack >= cap) {
        PR_NOTICE("memory insufficient to buffer data[%d + %d > %d]", used, f.size, cap);
        Finish();
        return kBufferFull;
    }
    const bool encrypted = f.type == MEDIA_FRAME_TYPE_I || f.type == MEDIA_FRAME_TYPE_AUDIO;
    if (!encrypted && g.waitKey) {
        PR_DEBUG("P frame arrive before I frame, skip");
        return UNI_COM_ERROR;
    }
    uint8_t* rec = g.buf.get() + used;
    uint32_t size = f.size;
    if (encrypted) {
        if (OpensslAES_CBC128_encrypt(data, f.size, rec + kFrameHead, &size, reinterpret_cast<const uint8_t*>(g.key),
                                      g.iv) != 0) {
            PR_ERR("aes encrypt of a frame failed");
            return UNI_MALLOC_FAILED;
        }
    } else {
        memcpy(rec + kFrameHead, data, f.size);
    }
    uni_put_le32(rec, f.type);
    uni_put_le32(rec + 4, size);
    uni_put_le64(rec + 8, f.timestamp);
    uni_put_le64(rec + 16, f.pts);
    g.used = used + kFrameHead + size;
    if (f.type == MEDIA_FRAME_TYPE_AUDIO) {
        ++g.audioFrames;
    } else {
        ++g.videoFrames;
        if (f.type == MEDIA_FRAME_TYPE_I) {
            g.waitKey = false;
        }
    }
    return 0;
}

// Takes a frame the reader was handed: copied at once (the ring reuses the node), then appended.
void Consume(int channel, RING_BUFFER_NODE_S* node)
{
    (channel == kMainChannel ? g.lastVideoSeq : g.lastAudioSeq) = node->seqNo.load();
    RING_BUFFER_FRAME_S f{};
    if (noxa_ipc_ring_buffer_copy_frame(channel, kReader, node, g.frame.get(), g.frameCap, &f) < 0) {
        PR_DEBUG("frame of channel %d gone before its copy", channel);
        return;
    }
    (channel == kMainChannel ? g.lastVideoSeq : g.lastAudioSeq) = f.seqNo;
    if (f.size != 0) {
        AppendMediaFrame(f, g.frame.get());
    }
}

// The message's first frame of a channel: the newest key frame (video) or frame (audio), or, when
// the last message already took it, the first one after what that message took.
RING_BUFFER_NODE_S* Anchor(int channel)
{
    const bool video = channel == kMainChannel;
    RING_BUFFER_NODE_S* node = video ? noxa_ipc_ring_buffer_find_pre_video_by_frame(channel, 0)
                                     : noxa_ipc_ring_buffer_find_pre_audio_by_frame(channel, 0);
    if (node == nullptr) {
        return nullptr;  // nothing buffered yet
    }
    const uint32_t last = video ? g.lastVideoSeq : g.lastAudioSeq;
    if (last != 0 && !SeqAfter(node->seqNo.load(), last)) {
        PR_DEBUG(video ? "event overlap, skip to next I frame" : "event overlap, skip to next audio frame");
        return noxa_ipc_ring_buffer_get_next_target_frame(channel, kReader, last,
                                                          video ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_AUDIO);
    }
    noxa_ipc_ring_buffer_anchor_user_to_node(channel, kReader, node);
    return node;
}

// One frame of the channel into the message; whether one came.
bool ReadChannel(int channel, bool& anchored)
{
    RING_BUFFER_NODE_S* node = nullptr;
    if (!anchored) {
        node = Anchor(channel);
        anchored = node != nullptr;
    } else {
        node = channel == kMainChannel ? noxa_ipc_ring_buffer_get_video_frame(channel, kReader, 0)
                                       : noxa_ipc_ring_buffer_get_audio_frame(channel, kReader, 0);
    }
    if (node == nullptr) {
        return false;
    }
    Consume(channel, node);
    return true;
}

uint32_t RecordPass()
{
    if (!g.started && !StartMessage()) {
        Finish();  // nothing gathered: dropped
        return 0;
    }
    if (DurationPassed()) {
        PR_NOTICE("STOP because of timeout");
        Finish();
        return 0;
    }
    bool any = false;
    if (WantVideo()) {
        any = ReadChannel(kMainChannel, g.videoAnchored);
    }
    if (WantAudio() && g.state.load() == VIDEO_MSG_RECORDING) {
        any = ReadChannel(kAudioChannel, g.audioAnchored) || any;
    }
    return any ? 0 : kPollSleepMs;
}

int UploadVideoMessage();

void FinishPass()
{
    // A message without a key frame shows nothing on the phone (an audio-only one needs audio).
    const bool worth = g.started && (g.type == VIDEO_MSG_TYPE_AUDIO ? g.audioFrames != 0 : !g.waitKey);
    if (worth) {
        PR_NOTICE("START TO upload....");
        noxa_ipc_video_msg_put_header(g.buf.get(), &g.media, g.type, g.videoFrames.load(), g.iv);
        const int ret = UploadVideoMessage();
        PR_NOTICE("video message upload: %d", ret);
    } else {
        PR_ERR("video message without %s: dropped", g.type == VIDEO_MSG_TYPE_AUDIO ? "audio" : "a key frame");
    }
    std::lock_guard<std::mutex> lock(*g.lock);
    g.videoFrames = 0;
    g.started = false;
    ReleaseBuffersLocked();
    g.state.store(VIDEO_MSG_IDLE);
}

// __upload_video_message: the picture and the media as one "ipc_leave_msg" event. A unit whose
// cloud takes no video (audio for an audio-only message) sends nothing: an event whose media is
// refused would show the phone a message it cannot play.
int UploadVideoMessage()
{
    const bool audioOnly = g.type == VIDEO_MSG_TYPE_AUDIO;
    CLOUD_DETECT_STORAGE_CFG_S cfg{};
    if (notification_config_copy(&cfg) == UNI_OK &&
        (cfg.flags & (audioOnly ? CLOUD_CONTENT_AUDIO : CLOUD_CONTENT_VIDEO)) == 0) {
        PR_ERR(audioOnly ? "audio not support" : "video not support");
        return NOTIFICATION_ERR_REFUSED;
    }
    NOXA_NOTIFICATION_S n{};
    n.name = g.name;
    snprintf(n.kind, sizeof(n.kind), "%s", audioOnly ? "audio" : "image");
    snprintf(n.resource, sizeof(n.resource), "resources");
    uint32_t i = 0;
    if (!audioOnly) {
        n.files[i].data = reinterpret_cast<const char*>(g.pic.get());
        n.files[i].size = g.picSize;
        n.files[i].type = 1;  // jpeg
        ++i;
    }
    n.files[i].data = reinterpret_cast<const char*>(g.buf.get());
    n.files[i].size = g.used.load();
    memcpy(n.files[i].key, g.key, VIDEO_MSG_KEY_LEN);
    n.files[i].type = audioOnly ? 3 : 0;  // pcm, media
    n.file_count = i + 1;
    return noxa_ipc_notify_generic(&n);
}

void* ThreadVideoMsg(void*)
{
    prctl(PR_SET_NAME, "video_msg");
    while (g.inited.load() != 0) {
        const uint32_t ms = noxa_ipc_video_msg_pass();
        if (ms != 0) {
            uni_sleep_ms(ms);
        }
    }
    return nullptr;
}

}  // namespace

uint32_t noxa_ipc_video_msg_buffer_size(const NOXA_MEDIA_INFO_S* media, int type, int duration_s)
{
    const uint64_t seconds = static_cast<uint64_t>(duration_s) + 1;
    uint64_t size = 0;
    if (type != VIDEO_MSG_TYPE_AUDIO) {
        size += static_cast<uint64_t>(media->video_bitrate[kMainChannel]) * 1024 / 8 * seconds;
    }
    if (type != VIDEO_MSG_TYPE_VIDEO && media->channel_enable[kAudioChannel] != 0) {
        size += static_cast<uint64_t>(media->audio_sample[kAudioChannel]) * media->audio_databits[kAudioChannel] / 8 *
                seconds;
    }
    return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}

void noxa_ipc_video_msg_put_header(uint8_t out[VIDEO_MSG_HEADER_SIZE], const NOXA_MEDIA_INFO_S* media, int type,
                                   uint32_t videoFrames, const uint8_t iv[16])
{
    const bool video = type != VIDEO_MSG_TYPE_AUDIO;
    const uint32_t words[10] = {
        VIDEO_MSG_VERSION,
        video ? media->video_codec[kMainChannel] : 0,
        video ? media->video_fps[kMainChannel] : 0,
        video ? media->video_width[kMainChannel] : 0,
        video ? media->video_height[kMainChannel] : 0,
        video ? videoFrames : 0,
        media->audio_codec[kAudioChannel],
        media->audio_databits[kAudioChannel],
        media->audio_channel[kAudioChannel],
        media->audio_sample[kAudioChannel],
    };
    for (size_t i = 0; i < 10; ++i) {
        uni_put_le32(out + 4 * i, words[i]);
    }
    memcpy(out + 40, iv, 16);
}

uint32_t noxa_ipc_video_msg_pass(void)
{
    switch (g.state.load()) {
    case VIDEO_MSG_IDLE:
        return kIdleSleepMs;
    case VIDEO_MSG_RECORDING:
        return RecordPass();
    default:
        FinishPass();
        return 0;
    }
}

void noxa_ipc_video_msg_thread_for_test(int run)
{
    s_runThread = run;
}

int noxa_ipc_video_msg_init(const NOXA_MEDIA_INFO_S* media, int type, int duration_s)
{
    PR_NOTICE("init video msg begin");
    if (media == nullptr) {
        PR_ERR("invalid param");
        return UNI_INVALID_PARM;
    }
    if (type < VIDEO_MSG_TYPE_AV || type > VIDEO_MSG_TYPE_AUDIO) {
        PR_ERR("invalid type");
        return UNI_INVALID_PARM;
    }
    if (type != VIDEO_MSG_TYPE_AUDIO && media->video_bitrate[kMainChannel] > kMaxBitrate) {
        PR_ERR("main video stream bitrate too big: %d", media->video_bitrate[kMainChannel]);
        return UNI_INVALID_PARM;
    }
    if (g.inited.load() != 0) {
        PR_ERR("video msg already inited");
        return UNI_COM_ERROR;
    }
    const int longest = type == VIDEO_MSG_TYPE_AUDIO ? kMaxAudioSeconds : kMaxVideoSeconds;
    if (duration_s < 1 || duration_s > longest) {
        duration_s = longest;
        PR_NOTICE("invalid msg_duration ,set to %d seconds", duration_s);
    }
    g.media = *media;
    g.type = type;
    g.duration = duration_s;
    g.lock = std::make_unique<std::mutex>();
    g.state = VIDEO_MSG_IDLE;
    g.started = false;
    g.inited = 1;
    g.threadStarted = false;
    if (s_runThread != 0) {
        pthread_attr_t attr;
        int ret = pthread_attr_init(&attr);
        if (ret != 0) {
            PR_ERR("pthread_attr_init failed ret[%d]", ret);
            g.inited = 0;
            g.lock.reset();
            return -302;
        }
        pthread_attr_setstacksize(&attr, kThreadStack);
        ret = pthread_create(&g.thread, &attr, ThreadVideoMsg, nullptr);
        pthread_attr_destroy(&attr);
        if (ret != 0) {
            PR_ERR("video msg task create failed ret[%d]", ret);
            g.inited = 0;
            g.lock.reset();
            return UNI_COM_ERROR;
        }
        g.threadStarted = true;
    }
    noxa_ipc_mqt_set_doorbell_status_cb(__doorbell_status_change_callback);
    const uint32_t skill = static_cast<uint32_t>(type);
    noxa_ipc_skill_enable(NOXA_SKILL_DOORBELL_STORAGE, &skill);
    PR_NOTICE("init video msg success");
    return UNI_OK;
}

void noxa_ipc_video_msg_uninit(void)
{
    PR_NOTICE("noxa_ipc_video_msg_uninit start");
    // The thread takes the lock until it ends: it is stopped first and the lock goes last.
    if (g.inited.exchange(0) != 0) {
        if (g.threadStarted) {
            pthread_join(g.thread, nullptr);
            g.threadStarted = false;
        }
        {
            std::lock_guard<std::mutex> lock(*g.lock);
            ReleaseBuffersLocked();
            g.started = false;
            g.state = VIDEO_MSG_IDLE;
        }
        g.lock.reset();
    }
    PR_NOTICE("noxa_ipc_video_msg_uninit end");
}

int __leave_video_msg(const uint8_t* pic, uint32_t size, uint32_t name)
{
    if (g.inited.load() == 0) {
        PR_ERR("noxa_ipc_leave_video_msg error");
        return UNI_COM_ERROR;
    }
    if (name > VIDEO_MSG_NAME_MAX) {
        PR_ERR("invalid notification name %d", name);
        return UNI_INVALID_PARM;
    }
    const bool withPic = g.type != VIDEO_MSG_TYPE_AUDIO;
    // A picture of no bytes is none: the event would name a picture that never went up.
    if (withPic && (pic == nullptr || size == 0 || size >= VIDEO_MSG_PIC_MAX)) {
        PR_ERR("PIC is null or too big");
        return UNI_COM_ERROR;
    }
    std::lock_guard<std::mutex> lock(*g.lock);
    if (g.state.load() != VIDEO_MSG_IDLE) {
        PR_ERR("Already start leaving message");
        return UNI_COM_ERROR;
    }
    const uint32_t cap = noxa_ipc_video_msg_buffer_size(&g.media, g.type, g.duration);
    const int ringMax = noxa_ipc_ring_buffer_get_max_frame_size();
    const uint32_t frameCap = ringMax > 0 ? static_cast<uint32_t>(ringMax) : kFrameFallback;
    g.buf.reset(new (std::nothrow) uint8_t[cap]);
    g.frame.reset(new (std::nothrow) uint8_t[frameCap]);
    if (!g.buf || !g.frame) {
        PR_ERR("fail to malloc buffer for video msg size %d. [type %d, MAX_MESSAGE_TIME %d]", cap, g.type, g.duration);
        ReleaseBuffersLocked();
        return UNI_MALLOC_FAILED;
    }
    if (withPic) {
        g.pic.reset(new (std::nothrow) uint8_t[VIDEO_MSG_PIC_MAX]);
        if (!g.pic) {
            PR_ERR("fail to malloc buffer for video msg size %d. ", VIDEO_MSG_PIC_MAX);
            ReleaseBuffersLocked();
            return UNI_MALLOC_FAILED;
        }
        memcpy(g.pic.get(), pic, size);
        g.picSize = size;
    }
    PR_NOTICE("video msg seize %d bytes memory for media data, each slice %d seconds", cap, g.duration);
    g.frameCap = frameCap;
    g.startTime = uni_time_get_posix();
    g.startMs = uni_get_tick_ms();
    g.capacity = cap;
    g.used = 0;
    g.name = name;
    g.state.store(VIDEO_MSG_RECORDING);
    return UNI_OK;
}

int noxa_ipc_video_msg_leave(const uint8_t* pic, uint32_t size)
{
    return __leave_video_msg(pic, size, NOTIFICATION_NAME_LEAVE_MSG);
}

int __doorbell_status_change_callback(const char* action, const char* data)
{
    const char* a = action != nullptr ? action : "";
    PR_NOTICE("receive message from server[action:%s ]", a);
    if (strncmp(a, "accept", 6) == 0) {
        // The phone that took the call hears it was taken before anything else happens.
        const char* text = data != nullptr ? data : "{}";
        if (gNoxaIpcOps.door_bell_answer == nullptr || gNoxaIpcOps.door_bell_answer(text) != 0) {
            PR_ERR("doorbell answer not sent");
        }
    }
    if (gVideoMsgLinks.DoorbellStatusHandle == nullptr) {
        PR_ERR("wiring fault: link gVideoMsgLinks.DoorbellStatusHandle is empty");
        return 0;
    }
    gVideoMsgLinks.DoorbellStatusHandle(a);
    return 0;
}

VIDEO_MSG_VIEW_S noxa_ipc_video_msg_view(void)
{
    VIDEO_MSG_VIEW_S v{};
    v.inited = g.inited.load();
    v.state = g.state.load();
    v.type = g.type;
    v.duration = g.duration;
    v.capacity = g.capacity.load();
    v.used = g.used.load();
    v.videoFrames = g.videoFrames.load();
    if (g.lock) {
        std::lock_guard<std::mutex> lock(*g.lock);
        memcpy(v.key, g.key, sizeof(v.key));
    }
    return v;
}
