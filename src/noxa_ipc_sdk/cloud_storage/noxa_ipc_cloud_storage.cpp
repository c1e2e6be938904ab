#include "noxa_ipc_cloud_storage.h"

#include "cloud_storage_internal.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_log_floor.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_iot_sdk/online_log/log_serv.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>

namespace cs {

Manager gM;
std::atomic<bool> gThreadsOn{true};

}  // namespace cs

using cs::gM;

namespace {

constexpr int kVideoChannel = 0;
constexpr int kAudioChannel = 9;
constexpr int kReader = RING_BUFFER_USER_CLOUD_STORAGE;
constexpr uint32_t kMaxBitrate = 2048;
constexpr uint32_t kDefaultFrameMax = 307200;
constexpr uint32_t kAudioFrameMax = 16384;
constexpr uint32_t kRecordExtra = 40;  // head and the padding block a frame may gain
constexpr uint32_t kGroupSecs = 1800;
constexpr uint64_t kConfigRefetchMs = 1800 * 1000ull;
constexpr uint64_t kNoneRetryMs = 3600 * 1000ull;
constexpr size_t kThreadStack = 1024 * 1024;
// A store that refused a slice is not asked again at once.
constexpr uint32_t kUploadRetryMs = 200;
// A group's stop (its last slice, then its notice) is tried this many times at kUploadRetryMs
// before it is given up: a cloud that never takes it must not hold the next group back for ever.
constexpr uint32_t kStopTries = 300;
// A start notice the cloud refused is sent again after this pause.
constexpr uint32_t kStartRetryMs = 3000;
constexpr const char* kKeyRecord = "md5_encrypt_key";
constexpr const char* kRestrictionRecord = "storage_restriction";

// Tags of the "cloud_storage" log sequence.
enum : uint8_t { kSeqConfig = 1, kSeqStart = 2, kSeqUpload = 3, kSeqStop = 4, kSeqKey = 5 };

// What the thread reads, kept between passes.
struct Reader {
    std::unique_ptr<uint8_t[]> video;
    uint32_t videoCap = 0;
    std::unique_ptr<uint8_t[]> audio;
    std::unique_ptr<uint8_t[]> zeros;
    bool retryVideo = false;  // the channel's last frame read was not stored: read it again
    bool retryAudio = false;
    bool pausedSeen = false;
    uint32_t lastVideoSeq = 0;  // the ring's sequence number of the last video frame read
    const RING_BUFFER_NODE_S* lastVideoNode = nullptr;  // and its node
    uint32_t lastVideoSync = 0;  // and its append count
    uint32_t lastAudioSeq = 0;   // of the last audio frame read; 0 after the audio was lined up
    uint32_t lastType = CS_TYPE_ALLTIME;
    uint32_t lastVideoTime = 0;
    // The group changed at the frame read last but the new one did not start (its stop notice or
    // its start refused): that frame opens it, not a pre-record.
    bool startAtRetried = false;
};
Reader gR;

struct Frame {
    uint32_t type;
    const uint8_t* data;
    uint32_t size;
    uint64_t pts;
    uint64_t ms;
};

uint64_t Tick()
{
    return uni_get_tick_ms();
}

void Seq(uint8_t tag, int32_t value)
{
    if (gM.seq != nullptr) {
        LOG_SEQ_ENTRY_S e = log_seq_int(tag, value);
        insert_log_seq(gM.seq, &e);
    }
}

void Md5Hex(const uint8_t* data, uint32_t len, char out[33])
{
    UNI_MD5_CTX_S ctx;
    uint8_t d[UNI_MD5_DIGEST_LEN];
    uni_md5_init(&ctx);
    uni_md5_update(&ctx, data, len);
    uni_md5_final(&ctx, d);
    for (int i = 0; i < UNI_MD5_DIGEST_LEN; ++i) {
        snprintf(out + 2 * i, 3, "%02x", d[i]);
    }
}

// The key record: md5 text, its length, the key text, its length.
struct KeyRecord {
    char md5[33] = {};
    int32_t md5Len = 0;
    char key[17] = {};
    int32_t keyLen = 0;
};

void KeyFields(KeyRecord* r, NQ_DB_RW_S out[4])
{
    out[0] = {"md5_value", NQ_DB_STR, r->md5, sizeof(r->md5)};
    out[1] = {"md5_len", NQ_DB_INT32, &r->md5Len, sizeof(r->md5Len)};
    out[2] = {"encrypt_key_value", NQ_DB_STR, r->key, sizeof(r->key)};
    out[3] = {"encrypt_key_len", NQ_DB_INT32, &r->keyLen, sizeof(r->keyLen)};
}

int __check_md5_encrypt_key()
{
    KeyRecord r;
    NQ_DB_RW_S f[4];
    KeyFields(&r, f);
    int ret = __nq_db_deserialize_restore(kKeyRecord, f, 4);
    if (ret != UNI_OK) {
        // A unit that never recorded to the cloud has no record yet: not an error.
        if (ret == KVS_ERR_NOT_FOUND) {
            PR_DEBUG("read key_key file failed.\r\n");
        } else {
            PR_ERR("read key_key file failed.\r\n");
        }
        return ret;
    }
    if (r.md5Len != 32 || r.keyLen != 16 || strlen(r.key) != 16) {
        PR_ERR("len error md5_len %d, encrypt_key_len %d", r.md5Len, r.keyLen);
        return UNI_COM_ERROR;
    }
    char md5[33];
    Md5Hex(reinterpret_cast<const uint8_t*>(r.key), 16, md5);
    if (strcmp(md5, r.md5) != 0) {
        PR_ERR("MD5 check failed!\r\n");
        return UNI_COM_ERROR;
    }
    PR_NOTICE("encrypt key and md5 check pass");
    memcpy(gM.key, r.key, 16);
    memcpy(gM.md5, md5, sizeof(md5));
    PR_NOTICE("use current encrypt key");
    return UNI_OK;
}

// The new key into the manager and the store.
int __update_md5_encrypt_key(const char key[16])
{
    memcpy(gM.key, key, 16);
    Md5Hex(gM.key, 16, gM.md5);
    KeyRecord r;
    memcpy(r.md5, gM.md5, 33);
    r.md5Len = 32;
    memcpy(r.key, key, 16);
    r.keyLen = 16;
    NQ_DB_RW_S f[4];
    KeyFields(&r, f);
    int ret = __nq_db_serialize_save(kKeyRecord, f, 4);
    if (ret != UNI_OK) {
        PR_ERR("write key_key file failed.\r\n");
        Seq(kSeqKey, ret);
        return CS_ERR_KV_WRITE;
    }
    PR_NOTICE("new encrypt key and md5 saved");
    return UNI_OK;
}

// Case 1: the stored restriction; case 2: the cloud's (stored); case 3: from the GOP.
uint32_t SliceDuration()
{
    int32_t stored = 0;
    NQ_DB_RW_S f[] = {{"slice_duration", NQ_DB_INT32, &stored, sizeof(stored)}};
    int ret = __nq_db_deserialize_restore(kRestrictionRecord, f, 1);
    if (ret == UNI_OK && stored >= 3 && stored <= 60) {
        PR_NOTICE("case 1 read slice duration from db %d", stored);
        return static_cast<uint32_t>(stored);
    }
    if (ret != UNI_OK) {
        PR_WARN("read slice_duration fails %d", ret);
    }
    CLOUD_STORAGE_CFG_S c{};
    if (cloud_get_storage_restriction_config(&c) == UNI_OK) {
        int32_t d = static_cast<int32_t>(c.slice_duration);
        if (d < 3 || d > 60) {
            PR_WARN("slice duration %d is too small or too large, use default %d", d, 10);
            d = 10;
        }
        int32_t keep = d;
        NQ_DB_RW_S w[] = {{"slice_duration", NQ_DB_INT32, &keep, sizeof(keep)}};
        if (__nq_db_serialize_save(kRestrictionRecord, w, 1) == UNI_OK) {
            PR_NOTICE("slice_duration write success");
        } else {
            PR_ERR("write slice_duration failed.");
        }
        PR_NOTICE("case 2 get slice duration from cloud %d", d);
        return static_cast<uint32_t>(d);
    }
    uint32_t fps = gM.media.video_fps[kVideoChannel];
    uint32_t g = fps != 0 ? gM.media.video_gop[kVideoChannel] / fps : 0;
    uint32_t d = g > 9 ? g : (g >= 6 ? 2 * g : 10);
    PR_NOTICE("case 3 use default slice duration %d", d);
    return d;
}

bool HasAudio()
{
    return gM.media.channel_enable[kAudioChannel] != 0;
}

int NotifyStart(uint32_t start, char keyOut[16])
{
    const NOXA_MEDIA_INFO_S& m = gM.media;
    char body[257];
    int n;
    if (HasAudio()) {
        n = snprintf(body, sizeof(body),
                     "{\"startTime\":%u,\"payloadInfo\":\"{\\\"v\\\":1,\\\"vType\\\":\\\"%u\\\",\\\"vFps\\\":%u,"
                     "\\\"vWide\\\":%u,\\\"vHigh\\\":%u,\\\"aType\\\":\\\"%u\\\",\\\"aSampling\\\":%u,"
                     "\\\"aBitwide\\\":%u,\\\"aChannels\\\":%u}\",\"mtu\":%u,\"enKeyMd5\":\"%s\"}",
                     start, m.video_codec[0], m.video_fps[0], m.video_width[0], m.video_height[0],
                     m.audio_codec[kAudioChannel], m.audio_sample[kAudioChannel], m.audio_databits[kAudioChannel],
                     m.audio_channel[kAudioChannel], gM.sliceDuration, gM.md5);
    } else {
        n = snprintf(body, sizeof(body),
                     "{\"startTime\":%u,\"payloadInfo\":\"{\\\"v\\\":1,\\\"vType\\\":\\\"%u\\\",\\\"vFps\\\":%u,"
                     "\\\"vWide\\\":%u,\\\"vHigh\\\":%u}\",\"mtu\":%u,\"enKeyMd5\":\"%s\"}",
                     start, m.video_codec[0], m.video_fps[0], m.video_width[0], m.video_height[0], gM.sliceDuration,
                     gM.md5);
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof(body)) {
        PR_ERR("start notification does not fit: %d", n);
        return CS_ERR_NOTIFY;
    }
    cJSON* reply = nullptr;
    int ret = http_ipc_cloud_storage_event_notify_v10(0, body, &reply);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> hold(reply, cJSON_Delete);
    if (ret != UNI_OK) {
        PR_ERR("httpc_ipc_cloud_storage_event_notify fail!\n");
        return CS_ERR_NOTIFY;
    }
    const cJSON* need = cJSON_GetObjectItemCaseSensitive(reply, "needUpdate");
    if (!cJSON_IsBool(need)) {
        PR_ERR("fail to get value for key needUpdate");
        return CS_ERR_NOTIFY;
    }
    if (cJSON_IsFalse(need)) {
        return UNI_OK;
    }
    const cJSON* key = cJSON_GetObjectItemCaseSensitive(reply, "encryptKey");
    if (!cJSON_IsString(key)) {
        PR_ERR("fail to get value for key encryptKey");
        return CS_ERR_NOTIFY;
    }
    // A key shorter than 16 characters would be padded with zeros the cloud does not know.
    size_t len = strlen(key->valuestring);
    if (len > 64 || len < 16) {
        PR_ERR("invalid key value for key encryptKey");
        return CS_ERR_NOTIFY;
    }
    memcpy(keyOut, key->valuestring, 16);
    return CS_ERR_NEW_KEY;
}

// The buffers of a recording: the slice, the encryption output and the frames read. Taken when a
// recording starts (a group is about to open, or an event waits for its frames) and given back
// when it stops, so that the unit holds them only while it records.
void GiveBuffersBack()
{
    gM.buf.reset();
    gM.enc.reset();
    gR.video.reset();
    gR.audio.reset();
    gR.zeros.reset();
    gM.cap = 0;
    gM.used = 0;
}

bool TakeBuffers()
{
    if (gM.buf) {
        return true;
    }
    gM.buf.reset(new (std::nothrow) uint8_t[gM.bufSize]);
    gM.enc.reset(new (std::nothrow) uint8_t[gM.encCap]);
    gR.video.reset(new (std::nothrow) uint8_t[gR.videoCap]);
    gR.audio.reset(new (std::nothrow) uint8_t[kAudioFrameMax]);
    gR.zeros.reset(new (std::nothrow) uint8_t[kAudioFrameMax]);
    if (!gM.buf || !gM.enc || !gR.video || !gR.audio || !gR.zeros) {
        PR_ERR("fail to malloc buffer for cloud storage size %u. [bitrate %d, slice_duration %d]", gM.bufSize,
               gM.media.video_bitrate[kVideoChannel], gM.sliceDuration);
        GiveBuffersBack();
        return false;
    }
    gM.cap = gM.bufSize;
    gM.used = 0;
    return true;
}

// Seconds from `from` to `t`; 0 for a t before it (a frame older than its group's start).
uint32_t Since(uint32_t t, uint32_t from)
{
    return t > from ? t - from : 0;
}

// A new group at t, or at the next second no group of the run took: the first slice's name is
// the start second, and a second group of the same second would overwrite it in the store.
void ResetSlice(uint32_t t)
{
    if (gM.lastGroupStart != 0 && t <= gM.lastGroupStart) {
        t = gM.lastGroupStart + 1;
    }
    gM.lastGroupStart = t;
    gM.groupStart = gM.sliceStart = gM.lastEndTime = t;
    gM.used = 0;
    gM.sliceOffset = 0;
    snprintf(gM.mediaName, sizeof(gM.mediaName), "%u_0000.media", t);
}

// The start notification; a new key from the cloud is taken and stored (-2001 returned).
int NotifyStartTakingKey(uint32_t t)
{
    char key[16];
    int ret = NotifyStart(t, key);
    if (ret == CS_ERR_NEW_KEY) {
        PR_NOTICE("encrypt key updated");
        __update_md5_encrypt_key(key);
        gM.keyNeedsUpdate = false;
    }
    return ret;
}

// A start the cloud refuses is asked again every kStartRetryMs for as long as it refuses: one line
// when the refusals begin (the transport's details of the first try as warnings), the tries after
// it at Debug, one line with their count and length when the cloud takes a start again. Counted
// apart from the other calls the cloud may refuse meanwhile (stops, reports, configuration).
void StartRefused(const char* what, int ret)
{
    Seq(kSeqStart, ret);
    if (gM.starts.Add(Tick())) {
        PR_ERR("%s, ret %d; asked again every %u ms", what, ret, kStartRetryMs);
    } else {
        PR_DEBUG("%s, ret %d", what, ret);
    }
}

void StartTaken()
{
    unsigned long long ms = 0;
    if (const uint32_t refused = gM.starts.End(Tick(), &ms)) {
        PR_ERR("the cloud took the start of group %u after %u refused starts in %llu ms", gM.groupStart, refused, ms);
    }
}

int __start_cloud_storage(uint32_t t)
{
    if (!TakeBuffers()) {
        return UNI_MALLOC_FAILED;
    }
    // A group the cloud refused leaves no object behind: its second stays free for the next try.
    const uint32_t claimed = gM.lastGroupStart;
    ResetSlice(t);
    t = gM.groupStart;
    PR_DEBUG("start: media_file name %s", gM.mediaName);
    char key[16];
    int ret;
    const char* what = "fail to notify cloud start";
    {
        UniLogFloor floor(gM.starts.LogFloor());
        ret = NotifyStartTakingKey(t);
        if (ret == CS_ERR_NEW_KEY) {
            ret = NotifyStart(t, key);
            what = "fail to notify cloud start 2";
        }
    }
    if (ret != UNI_OK) {
        StartRefused(what, ret);
        gM.lastGroupStart = claimed;
        return ret;
    }
    StartTaken();
    gM.state = CS_STATE_OPEN;
    gR.startAtRetried = false;
    return UNI_OK;
}

// The slice as it stands, under the manager lock. 0 (the buffer emptied) or -5 (kept).
int UploadBuffer()
{
    uint64_t t0 = Tick();
    int ret;
    {
        // A refusal is this module's error (below); the transport's details of the first come
        // as warnings, those of the tries after it at Debug only.
        UniLogFloor floor(gM.uploads.LogFloor());
        std::lock_guard<std::mutex> lock(gM.lock);
        ret = cloud_put_data_to_file(&gM.cfg, "https", CLOUD_STORAGE_KIND_CLOUD, gM.mediaName, "media/av",
                                     gM.buf.get(), gM.used);
    }
    // A store away is tried again every kUploadRetryMs: one line when the refusals begin, one
    // with their count and length when it takes a slice again.
    if (ret != UNI_OK) {
        if (gM.uploads.Add(t0)) {
            PR_ERR("fail to upload media file %s (%d); tried again every %u ms", gM.mediaName, ret, kUploadRetryMs);
            cs::SeqError(kSeqUpload, gM.mediaName);
        }
        return CS_ERR_UPLOAD;
    }
    // At the unit's own level (errors only): the line that ends the one of the first refusal.
    unsigned long long ms = 0;
    if (const uint32_t refused = gM.uploads.End(Tick(), &ms)) {
        PR_ERR("the store took %s after %u refused uploads in %llu ms", gM.mediaName, refused, ms);
    }
    gM.uploadMsLast = Tick() - t0;
    ++gM.slicesUploaded;
    gM.used = 0;
    gM.lastEndTime = gM.lastFrameTime;
    return UNI_OK;
}

// The stop notice of the group, one try. The first refusal is told once (the transport's details
// as warnings), the tries after it at Debug, and the answer that ends them at the unit's level.
int PostStop(uint32_t start, uint32_t end)
{
    char body[64];
    snprintf(body, sizeof(body), "{\"startTime\":%u,\"endTime\":%u}", start, end);
    int ret;
    {
        UniLogFloor floor(gM.stopTries > 1 ? LOG_LEVEL_DEBUG : LOG_LEVEL_WARN);
        ret = cs::PostStorageNotice(1, body);
    }
    Seq(kSeqStop, ret);
    if (ret != UNI_OK && gM.stopTries == 1) {
        PR_ERR("fail to notify cloud stop of group %u, ret %d; tried again every %u ms", start, ret, kUploadRetryMs);
    } else if (ret == UNI_OK && gM.stopTries > 1) {
        PR_ERR("the cloud took the stop of group %u after %u tries", start, gM.stopTries);
    }
    return ret;
}

// One try at closing the group (gM.closing set): its last slice, then its stop notice. 0 when
// both went (or were given up after kStopTries tries each), else the refusal; the state tells
// which part is left (open: the slice, stopped: the notice). Callers pass last_end_time.
int __stop_cloud_storage(uint32_t end)
{
    ++gM.stopTries;
    if (gM.state == CS_STATE_OPEN) {
        if (gM.used != 0) {
            PR_DEBUG("upload rest media buffer size %u to %s", gM.used, gM.mediaName);
            if (UploadBuffer() != UNI_OK) {
                if (gM.stopTries < kStopTries) {
                    return CS_ERR_UPLOAD;  // the group stays open: the next pass tries again
                }
                PR_ERR("group %u: its last slice %s of %u bytes given up after %u refused uploads", gM.groupStart,
                       gM.mediaName, gM.used, gM.stopTries);
                cs::SeqError(kSeqStop, gM.mediaName);
                gM.used = 0;
            }
        }
        end = gM.lastEndTime;
        gM.state = CS_STATE_STOPPED;
        gM.stopTries = 1;  // the notice's first try
    }
    int ret = PostStop(gM.groupStart, end);
    if (ret != UNI_OK && gM.stopTries < kStopTries) {
        return ret;
    }
    if (ret != UNI_OK) {
        PR_ERR("stop notice of group %u given up after %u tries", gM.groupStart, gM.stopTries);
    }
    gM.closing = false;
    return UNI_OK;
}

// A failed upload keeps the slice (and its name) for the next try rather than dropping it.
int __update_slice(uint32_t t)
{
    PR_DEBUG("upload buffer data size %u to file %s", gM.used, gM.mediaName);
    int ret = UploadBuffer();
    if (ret != UNI_OK) {
        return ret;
    }
    gM.sliceStart = t;
    // A slice forced out by a full buffer within its first second would give the next one the
    // same name, and the store would replace it.
    uint32_t offset = Since(t, gM.groupStart);
    gM.sliceOffset = offset > gM.sliceOffset ? offset : gM.sliceOffset + 1;
    snprintf(gM.mediaName, sizeof(gM.mediaName), "%u_%04u.media", gM.groupStart, gM.sliceOffset);
    PR_DEBUG("new media file name %s", gM.mediaName);
    return UNI_OK;
}

// -5 when the store refused the group's last slice: it stays, with the group open, and goes up
// before the new group's first (the frame that changes the group comes again). A refused stop
// notice is tried again by the passes before the new group starts; a refused start leaves no group
// open (no slice may go up under a group the cloud does not know) and is tried again. Either way
// the frame that changed the group comes again and opens the new one.
int __update_group(uint32_t t)
{
    if (gM.used != 0 && UploadBuffer() != UNI_OK) {
        return CS_ERR_UPLOAD;
    }
    gM.closing = true;
    gM.stopTries = 0;
    gR.startAtRetried = true;
    int ret = __stop_cloud_storage(gM.lastEndTime);
    if (ret != UNI_OK) {
        return ret;
    }
    const uint32_t claimed = gM.lastGroupStart;
    ResetSlice(t);
    {
        UniLogFloor floor(gM.starts.LogFloor());
        ret = NotifyStartTakingKey(gM.groupStart);
    }
    if (ret != UNI_OK && ret != CS_ERR_NEW_KEY) {
        StartRefused("fail to notify cloud start", ret);
        gM.lastGroupStart = claimed;
        return ret;
    }
    StartTaken();
    gM.state = CS_STATE_OPEN;
    gR.startAtRetried = false;
    return ret;
}

// A slice forced out by a full buffer inside a group of pictures: the next slice opens with a key
// frame and drops the P frames before it. Asked at once, that is a frame or two, not the rest of
// the group (a busy scene at a fixed QP fills the buffer every second or so).
void RequestKeyFrame()
{
    CS_KEY_FRAME_REQUEST request = gM.keyFrameRequest.load();
    if (request == nullptr) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            PR_ERR("cloud storage: the key-frame request link is empty");
        }
        return;
    }
    PR_DEBUG("slice forced out inside a group: key frame asked of channel %d", kVideoChannel);
    request(kVideoChannel);
}

void Append(const uint8_t* head, const uint8_t* data, uint32_t size)
{
    memcpy(gM.buf.get() + gM.used, head, STORAGE_FRAME_HEAD_SIZE);
    memcpy(gM.buf.get() + gM.used + STORAGE_FRAME_HEAD_SIZE, data, size);
    gM.used += STORAGE_FRAME_HEAD_SIZE + size;
}

int __upload_media_frame(const Frame& f)
{
    const uint32_t t = static_cast<uint32_t>(f.ms / 1000);
    PR_TRACE("upload frame type %u, timestamp %llu", f.type, static_cast<unsigned long long>(f.ms));
    if (f.type == MEDIA_FRAME_TYPE_I) {
        POSIX_TM_S tm{};
        uni_local_time_get(t, &tm);
        if (tm.tm_min > 0) {
            gM.newDayLatch = false;
        }
        if (tm.tm_hour == 0 && tm.tm_min == 0 && static_cast<uint32_t>(tm.tm_sec) <= gM.sliceDuration &&
            !gM.newDayLatch) {
            PR_NOTICE("new day start");
            if (__update_group(t) == CS_ERR_UPLOAD) {
                return CS_ERR_UPLOAD;
            }
            gM.newDayLatch = true;
            return CS_ERR_CHANGED;
        }
        if (Since(t, gM.groupStart) >= kGroupSecs) {
            PR_NOTICE("update group");
            return __update_group(t) == CS_ERR_UPLOAD ? CS_ERR_UPLOAD : CS_ERR_CHANGED;
        }
        if (Since(t, gM.sliceStart) >= gM.sliceDuration) {
            PR_DEBUG("update slice");
            // A refusal is logged by the upload, once for a run of them.
            int ret = __update_slice(t);
            return ret != UNI_OK ? ret : CS_ERR_CHANGED;
        }
    }
    if (static_cast<uint64_t>(gM.used) + f.size + kRecordExtra >= gM.cap) {
        if (gM.uploads.count == 0) {
            PR_WARN("memory insufficient to buffer data[%u + %u > %u]", gM.used, f.size, gM.cap);
        }
        // Asked before the upload, which lasts a few frames. While the store refuses the slice,
        // only once it took it: a key frame asked at every retry would go by unread.
        const bool inGroup = !gM.waitI && f.type != MEDIA_FRAME_TYPE_I;
        const bool askedFirst = inGroup && gM.uploads.count == 0;
        if (askedFirst) {
            RequestKeyFrame();
        }
        int ret = __update_slice(t);
        if (ret != UNI_OK) {
            return ret;
        }
        if (inGroup && !askedFirst) {
            RequestKeyFrame();
        }
        return CS_ERR_BUFFER_FULL;
    }
    if (gM.used == 0) {
        gM.waitI = true;
    }
    uint8_t head[STORAGE_FRAME_HEAD_SIZE];
    if (f.type != MEDIA_FRAME_TYPE_I && f.type != MEDIA_FRAME_TYPE_AUDIO) {
        if (gM.waitI) {
            PR_TRACE("P frame arrive before I frame, skip");
            return UNI_OK;
        }
        ss::PutHead(head, STORAGE_FRAME_HEAD_S{f.type, f.size, f.ms, f.pts});
        Append(head, f.data, f.size);
    } else {
        uint32_t outLen = 0;
        int ret = gM.aesEncrypt != nullptr
                      ? gM.aesEncrypt(f.data, f.size, gM.enc.get(), &outLen, gM.key, gM.iv)
                      : OpensslAES_CBC128_encrypt(f.data, f.size, gM.enc.get(), &outLen, gM.key, gM.iv);
        if (ret != 0 || outLen > f.size + 16) {
            PR_ERR("encrypt frame fails %d", ret);
            return UNI_COM_ERROR;
        }
        ss::PutHead(head, STORAGE_FRAME_HEAD_S{f.type, outLen, f.ms, f.pts});
        Append(head, gM.enc.get(), outLen);
        if (f.type == MEDIA_FRAME_TYPE_I) {
            gM.waitI = false;
        }
    }
    gM.lastFrameTime = t;
    gM.lastFrameMs = f.ms;
    return UNI_OK;
}

// The reader skipped from the frame after gR.lastVideoSeq to the key frame `n`. When a live
// view's start cut the ring's history ahead of the reader (it asks the encoder for a key frame at
// once), the ring waits for the key frame after that one: the group of pictures in between is
// intact but would be missing from the recording. Back to the oldest intact key frame after the
// last frame read, when there is one.
RING_BUFFER_NODE_S* BackToSkippedKeyFrame(RING_BUFFER_NODE_S* n)
{
    const uint32_t seq = n->seqNo.load(std::memory_order_acquire);
    const int secs = noxa_ipc_ring_buffer_get_max_buf_secs();
    const int64_t back = static_cast<int64_t>(gM.media.video_fps[kVideoChannel]) * (secs - 1) - 10;
    if (back <= 0) {
        return n;
    }
    RING_BUFFER_NODE_S* key = noxa_ipc_ring_buffer_find_pre_video_by_frame(kVideoChannel, static_cast<uint32_t>(back));
    if (key == nullptr) {
        return n;
    }
    const uint32_t keySeq = key->seqNo.load(std::memory_order_acquire);
    if (static_cast<int32_t>(keySeq - gR.lastVideoSeq) <= 0 || static_cast<int32_t>(seq - keySeq) <= 0) {
        return n;
    }
    PR_NOTICE("video skipped from %u to %u: back to the key frame %u", gR.lastVideoSeq, seq, keySeq);
    noxa_ipc_ring_buffer_anchor_user_to_node(kVideoChannel, kReader, key);
    return noxa_ipc_ring_buffer_get_video_frame(kVideoChannel, kReader, 1);
}

bool ReadFrame(bool video, Frame* out)
{
    const int ch = video ? kVideoChannel : kAudioChannel;
    RING_BUFFER_NODE_S* n = video ? noxa_ipc_ring_buffer_get_video_frame(ch, kReader, gR.retryVideo ? 1 : 0)
                                  : noxa_ipc_ring_buffer_get_audio_frame(ch, kReader, gR.retryAudio ? 1 : 0);
    // Within a group only: a group's first frame is where the reader stands.
    if (video && n != nullptr && gM.state == CS_STATE_OPEN && gR.lastVideoSeq != 0 &&
        static_cast<int32_t>(n->seqNo.load(std::memory_order_acquire) - gR.lastVideoSeq) > 1) {
        n = BackToSkippedKeyFrame(n);
    }
    // The audio reader fell behind the ring and was moved to the newest frame, seconds after the
    // video the recording stands at (a store away holds both readers; the audio ring holds less
    // time than the video one): back to the oldest sound still held from that video frame on.
    if (!video && n != nullptr && gR.lastAudioSeq != 0 && gR.lastVideoSync != 0) {
        const uint32_t seq = n->seqNo.load(std::memory_order_acquire);
        if (seq != gR.lastAudioSeq && seq != gR.lastAudioSeq + 1 &&
            noxa_ipc_ring_buffer_sync_audio_to(kReader, gR.lastVideoSync) == 0) {
            n = noxa_ipc_ring_buffer_get_audio_frame(ch, kReader, 0);
        }
    }
    if (n == nullptr) {
        return false;
    }
    uint8_t* dst = video ? gR.video.get() : gR.audio.get();
    RING_BUFFER_FRAME_S fr{};
    int len = noxa_ipc_ring_buffer_copy_frame(ch, kReader, n, dst, video ? gR.videoCap : kAudioFrameMax, &fr);
    if (len < 0) {
        PR_WARN("frame of channel %d lost while copied (%d)", ch, len);
        return false;
    }
    if (video) {
        // A video frame that does not follow the one read before (the reader's first, a skip to a
        // key frame, back to a skipped one): the sound goes on from the same moment. The audio
        // reader's own skips take it to the newest frame, seconds after the key frame the video
        // resumes at; the sound between would be missing from the slice.
        if (HasAudio() && fr.seqNo != gR.lastVideoSeq && fr.seqNo != gR.lastVideoSeq + 1) {
            noxa_ipc_ring_buffer_sync_audio_to(kReader, fr.syncSeq);
            gR.retryAudio = false;
            gR.lastAudioSeq = 0;
        }
        gR.lastVideoSeq = fr.seqNo;
        gR.lastVideoNode = n;
        gR.lastVideoSync = fr.syncSeq;
    } else {
        gR.lastAudioSeq = fr.seqNo;
    }
    *out = Frame{fr.type, dst, fr.size, fr.pts, fr.timestamp};
    return true;
}

// One more try at a stop in progress. True when none is left.
bool ContinueStop()
{
    if (!gM.closing) {
        return true;
    }
    if (__stop_cloud_storage(gM.lastEndTime) != UNI_OK) {
        return false;
    }
    if (!gR.startAtRetried) {
        GiveBuffersBack();
    }
    return true;
}

// Closes the open group. True when it is closed; else the passes go on with it (ContinueStop),
// and no group opens before it is.
bool StopGroup()
{
    gR.startAtRetried = false;
    if (gM.state == CS_STATE_OPEN && !gM.closing) {
        gM.closing = true;
        gM.stopTries = 0;
    }
    return ContinueStop();
}

// The ring says the reader must skip forward. When it is only that the frame it stands on was
// cut from the history (a live view starting), nothing is lost: the next read goes on from the
// key frame after the cut, in the same group.
bool Lagging()
{
    if (noxa_ipc_ring_buffer_if_delay(kVideoChannel, kReader) == 0) {
        return false;
    }
    return gR.lastVideoNode == nullptr || gR.lastVideoNode->seqNo.load(std::memory_order_acquire) != 0;
}

// A slice the store refused stays in memory with its group open and is tried again after a
// pause (a stop now would only ask the store again at once); other failures stop the group.
uint32_t AfterFailure(int ret)
{
    if (ret == CS_ERR_UPLOAD) {
        return kUploadRetryMs;
    }
    return StopGroup() ? 0 : kUploadRetryMs;
}

// Stores what the pass read: 0 to go on at once, else the milliseconds to sleep. A frame read but
// not stored is handed out again by the next read of its channel.
uint32_t StoreFrames(bool haveVideo, const Frame& v, bool haveAudio, Frame a)
{
    gR.retryVideo = false;
    gR.retryAudio = false;
    if (!haveVideo && !haveAudio) {
        return 10;
    }
    if (haveVideo) {
        int ret = __upload_media_frame(v);
        if (ret != UNI_OK) {
            gR.retryVideo = true;
            gR.retryAudio = haveAudio;
        }
        // A full buffer went out as a slice of its own: the frame opens the next one in the same
        // group. A new group would start in the same second and take the slice's object name.
        if (ret == CS_ERR_CHANGED || ret == CS_ERR_BUFFER_FULL) {
            if (Lagging() && !StopGroup()) {
                return kUploadRetryMs;
            }
            return 0;
        }
        if (ret != UNI_OK) {
            return AfterFailure(ret);
        }
    }
    if (haveAudio) {
        if (gM.audioStat == 0) {
            memset(gR.zeros.get(), 0, a.size);
            a.data = gR.zeros.get();
        }
        int ret = __upload_media_frame(a);
        gR.retryAudio = ret != UNI_OK;
        if (ret == CS_ERR_BUFFER_FULL) {
            return 0;
        }
        if (ret != UNI_OK) {
            return AfterFailure(ret);
        }
    }
    if (Lagging() && !StopGroup()) {
        return kUploadRetryMs;
    }
    PR_TRACE("cloud storage loop end");
    return 0;
}

uint32_t ContinuousPass()
{
    cs::StopEndedEvents(gR.lastVideoTime);
    if (gM.state != CS_STATE_OPEN && !TakeBuffers()) {
        return 3000;
    }
    Frame v{};
    Frame a{};
    bool haveVideo = ReadFrame(true, &v);
    // The group opens at its first frame's second: the reader starts on the newest key frame,
    // often of an earlier second than now.
    if (gM.state != CS_STATE_OPEN) {
        if (!haveVideo) {
            return 10;
        }
        if (__start_cloud_storage(static_cast<uint32_t>(v.ms / 1000)) != UNI_OK) {
            gR.retryVideo = true;
            return kStartRetryMs;
        }
    }
    // Audio switched off is still read, and stored as silence of the same length.
    bool haveAudio = HasAudio() ? ReadFrame(false, &a) : false;
    if (haveVideo) {
        gR.lastVideoTime = static_cast<uint32_t>(v.ms / 1000);
    }
    cs::StartNewEvents();
    return StoreFrames(haveVideo, v, haveAudio, a);
}

// No recording runs (nor a group stays open with a slice the store refused): its buffers go.
void Idle()
{
    if (gM.state != CS_STATE_OPEN) {
        GiveBuffersBack();
    }
}

uint32_t EventPass(uint32_t now)
{
    if (!cs::AnyEventActive()) {
        gR.startAtRetried = false;
        Idle();
        return 100;
    }
    Frame v{};
    Frame a{};
    bool haveVideo = false;
    bool haveAudio = false;
    if (gM.state != CS_STATE_OPEN) {
        if (!TakeBuffers()) {
            cs::StopEndedEvents(now);
            return 100;
        }
        // After a group change the new group opens at the frame that changed it (read again):
        // the frames before it are in the old group.
        if (!gR.startAtRetried) {
            PR_DEBUG("get pre record av needed");
            uint32_t frames = gM.media.video_fps[kVideoChannel] * static_cast<uint32_t>(gM.preRecordSecs.load());
            // Retried by the next pass (the loop tests inited): with no frames nothing else would end it.
            if (noxa_ipc_ring_buffer_anchor_user(kVideoChannel, kReader, frames, 0) != 0) {
                cs::StopEndedEvents(now);
                return 20;
            }
            gR.retryVideo = false;
        }
        haveVideo = ReadFrame(true, &v);
        if (!haveVideo) {
            return 20;
        }
        if (__start_cloud_storage(static_cast<uint32_t>(v.ms / 1000)) != UNI_OK) {
            cs::StopEndedEvents(now);
            return kStartRetryMs;
        }
    } else {
        haveVideo = ReadFrame(true, &v);
        haveAudio = HasAudio() ? ReadFrame(false, &a) : false;
    }
    const uint32_t t = haveVideo ? static_cast<uint32_t>(v.ms / 1000) : now;
    cs::StopEndedEvents(t);
    cs::StartNewEvents();
    if (!cs::AnyEventActive()) {
        PR_NOTICE("no event exist now, stop uploading");
        return StopGroup() ? 100 : kUploadRetryMs;
    }
    return StoreFrames(haveVideo, v, haveAudio, a);
}

void ThreadMain()
{
    while (gM.inited != 0) {
        uint32_t ms = noxa_ipc_cloud_storage_pass();
        if (ms != 0 && gM.inited != 0) {
            uni_sleep_ms(ms);
        }
    }
    GiveBuffersBack();
    gR = Reader{};
    PR_NOTICE("free media_buffer");
}

void ErrorSeqCb(LOG_SEQ_HANDLE seq)
{
    log_serv_handle_err_log_seq_cb(seq);
}

}  // namespace

namespace cs {

void SeqError(uint8_t tag, const char* text)
{
    if (gM.seq != nullptr) {
        LOG_SEQ_ENTRY_S e = log_seq_str(tag, text);
        insert_error_log_seq(gM.seq, &e);
    }
}

namespace {

// A fetch that keeps failing is retried every few seconds: one line when the failures begin (the
// transport's details as warnings), the tries after it at Debug, one line with their count and
// length when the cloud answers again.
int ConfigFailed(const char* what, int ret)
{
    if (gM.configFetches.Add(Tick())) {
        PR_ERR("%s ret %d; asked again until it answers", what, ret);
        Seq(kSeqConfig, ret);
    } else {
        PR_DEBUG("%s ret %d", what, ret);
    }
    return ret;
}

void ConfigAnswered()
{
    unsigned long long ms = 0;
    if (const uint32_t failures = gM.configFetches.End(Tick(), &ms)) {
        PR_ERR("the cloud storage configuration came after %u failed fetches in %llu ms", failures, ms);
    }
}

}  // namespace

int UpdateConfig()
{
    std::lock_guard<std::mutex> lock(gM.lock);
    CLOUD_STORAGE_CFG_S c = gM.cfg;
    int ret;
    {
        UniLogFloor floor(gM.configFetches.LogFloor());
        ret = cloud_get_storage_config(&c, 1);
    }
    if (ret == -2006 || ret == -2002) {
        ConfigAnswered();
        PR_ERR("order expire or remote server error");
        gM.type = CS_TYPE_NONE;
        gM.failMs = Tick();
        snprintf(gM.cfg.store_mode, sizeof(gM.cfg.store_mode), "max");
        return CS_ERR_NO_ORDER;
    }
    if (ret != UNI_OK) {
        gM.failMs = Tick();
        return ConfigFailed("fail to get cloud config", ret);
    }
    gM.cfg = c;
    PR_NOTICE("store mode update to %s", c.store_mode);
    if (strcmp(c.store_mode, "alltime") == 0) {
        gM.type = CS_TYPE_ALLTIME;
    } else if (strcmp(c.store_mode, "event") == 0) {
        gM.type = CS_TYPE_EVENT;
    } else {
        ConfigAnswered();
        gM.type = CS_TYPE_NONE;
        gM.failMs = Tick();
        return CS_ERR_NO_ORDER;
    }
    gM.hasConfig = true;
    gM.configMs = Tick();
    char url[CLOUD_CA_URL_MAX + 1];
    int n = strcmp(c.provider, "azure") == 0 ? snprintf(url, sizeof(url), "%s%s", c.ak, c.endpoint)
                                              : snprintf(url, sizeof(url), "%s.%s", c.bucket, c.endpoint);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(url)) {
        return ConfigFailed("update cloud storage config fail", UNI_INVALID_PARM);
    }
    {
        UniLogFloor floor(gM.configFetches.LogFloor());
        ret = cloud_require_new_ca(url, CLOUD_CA_KIND_CLOUD);
    }
    if (ret != UNI_OK && ret != CS_ERR_NO_ORDER) {
        return ConfigFailed("update cloud storage config fail", ret);
    }
    ConfigAnswered();
    return UNI_OK;
}

int UploadEventPicture(const uint8_t* pic, uint32_t size, uint32_t name)
{
    uint8_t* enc = nullptr;
    uint32_t encLen = 0;
    int ret = cloud_encrypt_pic_with_random_iv(pic, size, &enc, &encLen, nullptr);
    if (ret != UNI_OK) {
        return ret;
    }
    char file[24];
    snprintf(file, sizeof(file), "%u.jpg", name);
    {
        std::lock_guard<std::mutex> lock(gM.lock);
        ret = cloud_put_data_to_file(&gM.cfg, "https", CLOUD_STORAGE_KIND_CLOUD, file, "media/jpeg", enc, encLen);
    }
    free(enc);
    return ret;
}

}  // namespace cs

int noxa_ipc_cloud_storage_init(const NOXA_MEDIA_INFO_S* media, const NOXA_HW_AES_CBS_S* aes)
{
    if (media == nullptr || aes == nullptr) {
        PR_ERR("invalid param");
        return UNI_INVALID_PARM;
    }
    if (media->video_bitrate[kVideoChannel] > kMaxBitrate) {
        PR_ERR("main video stream bitrate too big: %d", media->video_bitrate[kVideoChannel]);
        return UNI_INVALID_PARM;
    }
    if (gM.inited != 0) {
        PR_ERR("cloud storage already inited");
        return UNI_COM_ERROR;
    }
    if (gM.seq == nullptr) {
        int ret = create_log_seq("cloud_storage", ErrorSeqCb, &gM.seq);
        if (ret != UNI_OK) {
            PR_ERR("create log seq for cloud storage fail..%d", ret);
        }
    }
    const int maxFrame = noxa_ipc_ring_buffer_get_max_frame_size();
    gM.encCap = (maxFrame > 0 ? static_cast<uint32_t>(maxFrame) : kDefaultFrameMax) + 16;
    static_assert(sizeof(NOXA_CLOUD_STORAGE_IV) - 1 == 16, "the fixed IV has 16 bytes");
    memcpy(gM.iv, NOXA_CLOUD_STORAGE_IV, 16);
    gM.aesCreate = aes->create;
    gM.aesEncrypt = aes->encrypt;
    gM.aesDestroy = aes->destroy;
    if (gM.aesCreate != nullptr) {
        gM.aesCreate();
    }
    if (__check_md5_encrypt_key() != UNI_OK) {
        gM.keyNeedsUpdate = true;
        memset(gM.key, 0, sizeof(gM.key));
        snprintf(gM.md5, sizeof(gM.md5), "0000");
        PR_WARN("__check_md5_encrypt_key fail, need update from server");
    }
    gM.media = *media;
    gM.sliceDuration = SliceDuration();
    uint64_t size = static_cast<uint64_t>(media->video_bitrate[0]) * 1024 / 8 * (gM.sliceDuration + 1);
    if (HasAudio()) {
        size += static_cast<uint64_t>(media->audio_sample[kAudioChannel]) * media->audio_databits[kAudioChannel] / 8 *
                (gM.sliceDuration + 1);
    }
    if (size > UINT32_MAX) {
        PR_ERR("fail to malloc buffer for cloud storage size %llu. [bitrate %d, slice_duration %d]",
               static_cast<unsigned long long>(size), media->video_bitrate[0], gM.sliceDuration);
        return UNI_MALLOC_FAILED;
    }
    gM.bufSize = static_cast<uint32_t>(size);
    // Taken when a recording starts.
    PR_NOTICE("cloud storage seize %d bytes memory for media data, each slice %d seconds", gM.bufSize,
              gM.sliceDuration);
    gM.hasConfig = false;
    gM.type = CS_TYPE_ALLTIME;
    gM.configFetches.count = 0;
    int ret = cs::UpdateConfig();
    if (ret != UNI_OK && ret != CS_ERR_NO_ORDER) {
        PR_DEBUG("update cloud storage config fail");  // the fetch told it
    }
    cs::ResetEvents();
    gM.preRecordSecs = 2;
    gM.audioStat = 1;
    gM.state = CS_STATE_IDLE;
    gM.closing = false;
    gM.starts.count = 0;
    gM.waitI = true;
    gM.newDayLatch = false;
    GiveBuffersBack();
    gR = Reader{};
    gR.lastType = gM.type;
    gR.videoCap = maxFrame > 0 ? static_cast<uint32_t>(maxFrame) : kDefaultFrameMax;
    gM.enable = 1;
    gM.inited = 1;
    if (cs::gThreadsOn && !gM.thread.Start("cloud_storage", kThreadStack, ThreadMain)) {
        PR_ERR("cloud task create failed ret[%d]", -1);
        gM.inited = 0;
        return UNI_COM_ERROR;
    }
    noxa_ipc_mqt_set_cloud_storage_order_cb(__cloud_storage_order_change_callback);
    noxa_ipc_mqt_set_cloud_storage_event_cb(__cloud_storage_iot_event_trigger_callback);
    const int32_t one = 1;
    noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_STORAGE, &one);
    PR_NOTICE("init cloud storage success");
    return UNI_OK;
}

void noxa_ipc_cloud_storage_uninit(void)
{
    PR_NOTICE("uninit begin");
    gM.inited = 0;
    gM.enable = 0;
    gM.thread.Join();
    if (!cs::gThreadsOn) {
        GiveBuffersBack();
        gR = Reader{};
    }
    cs::ForceStopEvents(uni_time_get_posix());
    if (gM.aesDestroy != nullptr) {
        gM.aesDestroy();
    }
    noxa_ipc_mqt_set_cloud_storage_order_cb(nullptr);
    noxa_ipc_mqt_set_cloud_storage_event_cb(nullptr);
    if (gM.seq != nullptr) {
        release_log_seq(gM.seq);
        gM.seq = nullptr;
    }
    gM.state = CS_STATE_IDLE;
    PR_NOTICE("uninit done");
}

uint32_t noxa_ipc_cloud_storage_pass(void)
{
    if (gM.inited == 0) {
        return 100;
    }
    const uint32_t now = uni_time_get_posix();
    PR_TRACE("cloud storage loop time %u, enable %d, type %u", now, gM.enable.load(), gM.type.load());
    // A group whose stop the store or the cloud refused is closed before anything else: paused
    // or not, and before a new group may open.
    if (!ContinueStop()) {
        return kUploadRetryMs;
    }
    if (gM.enable == 0) {
        if (!gR.pausedSeen) {
            gR.pausedSeen = true;
            cs::ForceStopEvents(now);
            StopGroup();
        }
        Idle();
        return 300;
    }
    gR.pausedSeen = false;
    // A group of the mode before a change is closed before the new mode records.
    if (gM.type != gR.lastType) {
        gR.lastType = gM.type;
        if (!StopGroup()) {
            return kUploadRetryMs;
        }
    }
    if (gM.type == CS_TYPE_NONE) {
        cs::ForceStopEvents(now);
        if (!StopGroup()) {
            return kUploadRetryMs;
        }
        Idle();
        if (Tick() - gM.failMs >= kNoneRetryMs) {
            PR_NOTICE("active require cloud storage config");
            if (cs::UpdateConfig() == UNI_OK && gM.type == CS_TYPE_ALLTIME) {
                gR.lastType = gM.type;
                __start_cloud_storage(now);
            }
        }
        return 1000;
    }
    if (!gM.hasConfig || Tick() - gM.configMs >= kConfigRefetchMs) {
        if (cs::UpdateConfig() != UNI_OK) {
            // The fetch told it (once for a run of failures).
            PR_DEBUG("fail to update cloud storage config");
            cs::StopEndedEvents(now);
            return 3000;
        }
        if (gM.type != gR.lastType) {
            return 0;
        }
    }
    return gM.type == CS_TYPE_ALLTIME ? ContinuousPass() : EventPass(now);
}

int noxa_ipc_cloud_storage_set_pre_record_time(int secs)
{
    if (secs < 0) {
        PR_ERR("pre_record_time error：%d", secs);
        return UNI_INVALID_PARM;
    }
    if (gM.inited == 0) {
        PR_ERR("cloud storage not inited");
        return UNI_COM_ERROR;
    }
    int max = noxa_ipc_ring_buffer_get_max_buf_secs();
    if (max < 0) {
        PR_ERR("ringbuf not inited, can't set cloud pre record");
        return UNI_COM_ERROR;
    }
    if (secs >= max - 2) {
        PR_ERR("pre_record too long, pre record %d seconds, ringbuf max :%d seconds. valid size[0 ~ (ringbuf_max -2)]",
               secs, max);
        return UNI_INVALID_PARM;
    }
    gM.preRecordSecs = secs;
    return UNI_OK;
}

void noxa_ipc_cloud_storage_pause(void)
{
    PR_NOTICE("pause cloud storage");
    if (gM.enable == 0) {
        PR_NOTICE("cloud storage is already disabled now");
        return;
    }
    gM.enable = 0;
    PR_NOTICE("pause cloud storage done");
}

void noxa_ipc_cloud_storage_resume(void)
{
    PR_NOTICE("resume cloud storage");
    if (gM.enable != 0) {
        PR_NOTICE("cloud storage is already enabled now");
        return;
    }
    gM.enable = 1;
    PR_NOTICE("resume cloud storage done");
}

void noxa_ipc_cloud_storage_set_audio_stat(int on)
{
    if (gM.inited == 0) {
        PR_ERR("cloud storage not inited");
        return;
    }
    gM.audioStat = on;
}

void noxa_ipc_cloud_storage_set_key_frame_request(CS_KEY_FRAME_REQUEST request)
{
    gM.keyFrameRequest = request;
}

void noxa_ipc_cloud_storage_threads_for_test(int on)
{
    cs::gThreadsOn = on != 0;
}

void noxa_ipc_cloud_storage_status(CS_STATUS_S* st)
{
    *st = CS_STATUS_S{};
    st->state = gM.state;
    st->type = gM.type;
    st->slice_duration = gM.sliceDuration;
    st->group_start = gM.groupStart;
    st->slice_start = gM.sliceStart;
    st->last_end_time = gM.lastEndTime;
    st->buffer_used = gM.used;
    st->buffer_capacity = gM.cap;
    memcpy(st->key, gM.key, 16);
    memcpy(st->md5, gM.md5, sizeof(st->md5));
    snprintf(st->media_name, sizeof(st->media_name), "%s", gM.mediaName);
    st->slices_uploaded = gM.slicesUploaded;
    st->upload_ms_last = gM.uploadMsLast;
    st->last_frame_ms = gM.lastFrameMs;
}
