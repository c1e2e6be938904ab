// SD event storage: the manager, its API and the storage thread that writes event folders.
//
// Three threads meet here: the callers of the API, which only set status, mode and limits; the
// storage thread ("stream_storage"), the only writer of event folders and slice files; and the
// disk monitor ("disk_monitor", ss_disk_monitor.cpp). The status word is one atomic: the API
// turns requests into it with compare-and-swap, and the storage thread carries them out at frame
// boundaries, again by compare-and-swap, so a request made while it acts is never lost.
#include "noxa_ipc_stream_storage.h"

#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/online_log/log_serv.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "platform/board_path.h"
#include "ss_internal.h"
#include "ss_manager.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

NOXA_SS_SD_HOOKS_S gNoxaSsSdHooks{};

namespace ss {

Manager& gMgr = *new Manager;

namespace {

constexpr uint32_t kDefaultPreRecord = 2;
constexpr uint32_t kPreRecordLimit = 10;
constexpr uint32_t kMaxVideoCodec = 98;
constexpr int kMainChannel = 0;
constexpr int kAudioChannel = 9;
constexpr int kReader = RING_BUFFER_USER_SD_STORAGE;
constexpr size_t kStorageStack = 256 * 1024;
constexpr uint32_t kUnwritableLogEvery = 50;
constexpr uint32_t kDataModeWaitRounds = 60;
constexpr uint32_t kDataModeWaitMs = 50;
// Folder names hold four digits of duration.
constexpr uint32_t kDurationMax = 9999;

// Log sequence tags.
enum : uint8_t {
    kSeqInit = 1,
    kSeqInitReal = 2,
    kSeqBuffer = 3,
    kSeqStatus = 4,
    kSeqWriteMode = 5,
    kSeqEvent = 6,
    kSeqIoError = 7,
};

bool gThreadsOn = true;

void SeqUint(uint8_t tag, uint32_t value)
{
    if (gMgr.logSeq != nullptr) {
        LOG_SEQ_ENTRY_S e = log_seq_uint(tag, value);
        insert_log_seq(gMgr.logSeq, &e);
    }
}

void SeqError(uint8_t tag, const char* text)
{
    if (gMgr.logSeq != nullptr) {
        LOG_SEQ_ENTRY_S e = log_seq_str(tag, text);
        insert_error_log_seq(gMgr.logSeq, &e);
    }
}

// Writability of a folder the storage writes into; every 50th refusal is logged and counted as
// an I/O error, which makes the disk monitor look again at once.
bool Writable(const char* path)
{
    if (WritableMode(path)) {
        return true;
    }
    if (gMgr.unwritableChecks++ % kUnwritableLogEvery == 0) {
        PR_ERR("base_path[%s] un writeable", path);
        CountIoError();
    }
    return false;
}

bool Cas(uint32_t from, uint32_t to)
{
    return gMgr.status.compare_exchange_strong(from, to);
}

void SetEventPath(const char* path)
{
    std::lock_guard<std::mutex> lock(gMgr.eventLock);
    snprintf(gMgr.eventPath, sizeof(gMgr.eventPath), "%s", path);
}

// The working buffer onto the current slice file: opened, appended, flushed, synced and closed,
// so that a card pulled out loses at most the buffer.
void AppendToSlice(const uint8_t* data, size_t len)
{
    if (len == 0) {
        return;
    }
    FILE* f = OpenFile(gMgr.slicePath, "ab");
    if (f == nullptr) {
        PR_ERR("slice %s open failed, errno %d", gMgr.slicePath, errno);
        CountIoError();
        return;
    }
    size_t n = fwrite(data, 1, len, f);
    if (n != len) {
        PR_ERR("fwrite error! ret = %d\n", static_cast<int>(n));
        CountIoError();
    }
    fflush(f);
    fsync(fileno(f));
    fclose(f);
}

void Flush()
{
    AppendToSlice(gMgr.buffer.get(), gMgr.fill);
    gMgr.fill = 0;
}

void WriteInfo()
{
    char path[kPathMax];
    if (!FmtPath(path, "%s/.info", gMgr.eventPath)) {
        return;
    }
    PR_DEBUG("type[%u] version[%d]", gMgr.eventType.load(), 1);
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr) {
        PR_ERR("create cJSON failed");
        return;
    }
    cJSON_AddNumberToObject(root, "version", 1);
    cJSON_AddNumberToObject(root, "eventType", gMgr.eventType.load());
    cJSON_AddNumberToObject(root, "codec", gMgr.media.video_codec[kMainChannel]);
    char* text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (text == nullptr) {
        PR_ERR("create cJSON failed");
        return;
    }
    PR_DEBUG("cjsonStr [%s]", text);
    FILE* f = OpenFile(path, "wb+");
    if (f == nullptr) {
        PR_ERR("info %s open failed", path);
    } else {
        fwrite(text, 1, strlen(text), f);
        fflush(f);
        fsync(fileno(f));
        fclose(f);
    }
    cJSON_free(text);
}

// Closes the open event at t: the buffer onto its slice, the folder renamed with its duration.
// 0; -1 when the folder could not be written (its buffer is dropped).
int StopEventStorage(uint32_t t)
{
    if (!gMgr.eventOpen) {
        gMgr.fill = 0;
        return 0;
    }
    gMgr.eventOpen = false;
    int rc = 0;
    if (Writable(gMgr.eventPath)) {
        PR_DEBUG("stop event time %u", t);
        Flush();
        uint32_t duration = t > gMgr.eventStart ? t - gMgr.eventStart : 0;
        if (duration > kDurationMax) {
            duration = kDurationMax;  // a clock jump: the name keeps its four digits
        }
        char done[kPathMax];
        snprintf(done, sizeof(done), "%s", gMgr.eventPath);
        snprintf(done + strlen(done) - 4, 5, "%04u", duration);
        PR_DEBUG("rename event dir %s to %s", gMgr.eventPath, done);
        if (rename(BoardPath(gMgr.eventPath).c_str(), BoardPath(done).c_str()) != 0) {
            PR_ERR("rename fail, errno %d", errno);
            CountIoError();
        }
        SeqUint(kSeqEvent, duration);
    } else {
        rc = -1;
    }
    gMgr.fill = 0;
    SetEventPath("");
    return rc;
}

// Opens a new event folder at the frame's time. 0; -1 when the card cannot take it.
int StartEventStorage(uint64_t ms)
{
    if (gMgr.eventOpen) {
        StopEventStorage(gMgr.lastFrameSec);  // never leave a folder open behind a new one
    }
    uint32_t t = static_cast<uint32_t>(ms / 1000);
    gMgr.eventStart = t;
    gMgr.sliceStart = t;
    gMgr.eventStartMs = ms;
    gMgr.fill = 0;
    PR_DEBUG("new event time %u", t);
    char day[kPathMax];
    char event[kPathMax];
    if (!Writable(gMgr.dcimPath) || !DayPath(day, gMgr.dcimPath, t) ||
        !FmtPath(event, "%s/%010u_0000", day, t) || !MakeDirs(event)) {
        return -1;
    }
    SetEventPath(event);
    if (!FmtPath(gMgr.slicePath, "%s/0000.media", event)) {
        SetEventPath("");
        return -1;
    }
    gMgr.eventOpen = true;
    WriteInfo();
    return 0;
}

void AppendRecord(const STORAGE_FRAME_HEAD_S& head, const uint8_t* data)
{
    const uint32_t need = head.size + STORAGE_FRAME_HEAD_SIZE;
    if (gMgr.fill + static_cast<uint64_t>(need) >= gMgr.bufferSize) {
        if (Writable(gMgr.eventPath)) {
            Flush();
        } else {
            PR_ERR("clean buffer...");
        }
        gMgr.fill = 0;
    }
    if (need > gMgr.bufferSize) {
        // Larger than the whole buffer: straight onto the slice, behind what was just flushed.
        if (Writable(gMgr.eventPath)) {
            uint8_t raw[STORAGE_FRAME_HEAD_SIZE];
            PutHead(raw, head);
            AppendToSlice(raw, sizeof(raw));
            AppendToSlice(data, head.size);
        }
        return;
    }
    PutHead(gMgr.buffer.get() + gMgr.fill, head);
    memcpy(gMgr.buffer.get() + gMgr.fill + STORAGE_FRAME_HEAD_SIZE, data, head.size);
    gMgr.fill += need;
}

// __ss_put_frame: one frame into the event. 0, or -1 when the status lets nothing be written.
int PutFrame(const STORAGE_FRAME_HEAD_S& head, const uint8_t* data)
{
    const uint32_t t = static_cast<uint32_t>(head.timestamp / 1000);
    gMgr.lastFrameSec = t;
    uint32_t s = gMgr.status.load();
    if (s == E_STORAGE_READY_TO_STOP || gMgr.writeMode.load() == SS_WRITE_MODE_NONE) {
        StopEventStorage(t);
        Cas(s, E_STORAGE_STOP);
        return 0;
    }
    if (s == E_STORAGE_RESTART || s == E_STORAGE_START) {
        if (s == E_STORAGE_RESTART) {
            StopEventStorage(t);
        }
        if (StartEventStorage(head.timestamp) != 0) {
            Cas(s, E_STORAGE_UNWRITEABLE);
            return -1;
        }
        // A request that came meanwhile stays for the next frame; this one goes into the event.
        Cas(s, E_STORAGE_ONGOING);
        s = E_STORAGE_ONGOING;
    } else if (s != E_STORAGE_ONGOING) {
        return -1;
    }
    const bool video = head.type != MEDIA_FRAME_TYPE_AUDIO;
    if (video) {
        if (gMgr.writeMode.load() == SS_WRITE_MODE_EVENT && t - gMgr.eventStart >= gMgr.eventLimit.load()) {
            if (gMgr.fill + static_cast<uint64_t>(head.size) + STORAGE_FRAME_HEAD_SIZE < gMgr.bufferSize) {
                AppendRecord(head, data);
            }
            StopEventStorage(t);
            Cas(s, E_STORAGE_STOP);
            return 0;
        }
        if (head.type == MEDIA_FRAME_TYPE_I) {
            const uint32_t day = LocalDay(t);
            bool restart = false;
            if (gMgr.lastKeyDay != 0 && day != gMgr.lastKeyDay) {
                PR_DEBUG("dayswitch\n");
                restart = true;
            } else if (t - gMgr.eventStart >= gMgr.maxEventDuration.load()) {
                PR_DEBUG("event too long, split");
                restart = true;
            }
            gMgr.lastKeyDay = day;
            if (restart) {
                StopEventStorage(t);
                if (StartEventStorage(head.timestamp) != 0) {
                    Cas(s, E_STORAGE_UNWRITEABLE);
                    return -1;
                }
            } else if (t - gMgr.sliceStart >= gMgr.sliceDuration) {
                if (Writable(gMgr.eventPath)) {
                    Flush();
                    const uint32_t name = t - gMgr.eventStart;
                    if (FmtPath(gMgr.slicePath, "%s/%04u.media", gMgr.eventPath, name)) {
                        gMgr.sliceStart = t;
                        PR_DEBUG("new slice time %u, name %u", t, name);
                    }
                } else {
                    Cas(s, E_STORAGE_UNWRITEABLE);
                }
            }
        }
    }
    AppendRecord(head, data);
    return 0;
}

// One frame read as reader 0 and written; whether a frame came.
bool TakeFrame(int channel, bool& retry)
{
    RING_BUFFER_NODE_S* node = channel == kMainChannel
                                   ? noxa_ipc_ring_buffer_get_video_frame(channel, kReader, retry ? 1 : 0)
                                   : noxa_ipc_ring_buffer_get_audio_frame(channel, kReader, retry ? 1 : 0);
    if (node == nullptr) {
        return false;
    }
    RING_BUFFER_FRAME_S f{};
    int n = noxa_ipc_ring_buffer_copy_frame(channel, kReader, node, gMgr.frame.get(), gMgr.frameSize, &f);
    if (n < 0) {
        retry = false;  // overwritten or too large: gone
        return true;
    }
    STORAGE_FRAME_HEAD_S head{f.type, f.size, f.timestamp, f.pts};
    const uint8_t* data = gMgr.frame.get();
    if (f.type == MEDIA_FRAME_TYPE_AUDIO && gMgr.dataMode.load() == 0) {
        if (gMgr.zeros.size() < f.size) {
            gMgr.zeros.resize(f.size, 0);
        }
        data = gMgr.zeros.data();
    }
    retry = PutFrame(head, data) != 0;
    return true;
}

void StorageThread()
{
    PR_DEBUG("stream_storage thread start");
    while (gMgr.state.load() == kStoring) {
        uint32_t sleepMs = noxa_ipc_ss_storage_pass();
        if (sleepMs != 0) {
            uni_sleep_ms(sleepMs);
        }
    }
    // Nothing stays open behind the thread: the last event is closed with what it has.
    StopEventStorage(gMgr.lastFrameSec);
    gMgr.reading.store(false);
    PR_DEBUG("stream_storage thread finish");
}

// Start and stop requests (__ss_set_stream_storage_status). 0, or -2 for another request. Never
// waits: only a frame carries a request out, and the disk monitor that asks must go on seeing the
// card while no frame comes.
int RequestStatus(uint32_t request)
{
    if (request != E_STORAGE_START && request != E_STORAGE_READY_TO_STOP) {
        PR_ERR("invalid status setting, START & STOP only");
        return -2;
    }
    for (;;) {
        uint32_t cur = gMgr.status.load();
        uint32_t next;
        if (request == E_STORAGE_READY_TO_STOP) {
            if (cur == E_STORAGE_READY_TO_STOP) {
                return 0;
            }
            // A restart not yet carried out may hold an open event: a frame must still close it.
            next = cur == E_STORAGE_START || cur == E_STORAGE_ONGOING || cur == E_STORAGE_RESTART ? E_STORAGE_READY_TO_STOP
                                                                                                 : E_STORAGE_STOP;
        } else if (cur == E_STORAGE_READY_TO_STOP) {
            // A start behind a pending stop: the next frame ends the event and opens a new one.
            PR_DEBUG("during stop process, restart");
            next = E_STORAGE_RESTART;
        } else if (cur == E_STORAGE_RESTART) {
            return 0;
        } else {
            next = cur == E_STORAGE_ONGOING ? E_STORAGE_RESTART : E_STORAGE_START;
        }
        if (gMgr.status.compare_exchange_weak(cur, next)) {
            PR_DEBUG("set status to %u, current status: %u", next, cur);
            SeqUint(kSeqStatus, next);
            return 0;
        }
    }
}

// An idle (or failed) storage asked to start an event of the full length. The limit is set only
// while nothing runs: a refused start leaves a running event's limit (a pending stop) alone.
bool StartIdle()
{
    uint32_t s = gMgr.status.load();
    if (s != E_STORAGE_STOP && s != E_STORAGE_UNWRITEABLE) {
        return false;
    }
    gMgr.eventLimit.store(kMaxEventDurationLimit);
    return Cas(s, E_STORAGE_START);
}

bool EventMode()
{
    uint32_t mode = gMgr.writeMode.load();
    if (mode != SS_WRITE_MODE_EVENT) {
        PR_ERR("curr mode:%u not support event.", mode);
        return false;
    }
    return true;
}

}  // namespace

bool StoringPossible()
{
    return gMgr.state.load() == kStoring;
}

const char* Dcim()
{
    return gMgr.dcimPath;
}

uint32_t SliceDuration()
{
    return gMgr.sliceDuration;
}

uint32_t MaxEventDuration()
{
    return gMgr.maxEventDuration.load();
}

uint32_t MaxEventsPerDay()
{
    return gMgr.maxEventsPerDay;
}

bool RecordingInto(const char* dayPath, const char* name)
{
    char path[kPathMax];
    if (!FmtPath(path, "%s/%s", dayPath, name)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(gMgr.eventLock);
    return strcmp(path, gMgr.eventPath) == 0;
}

void CountIoError()
{
    gMgr.ioErrors.fetch_add(1);
    SeqUint(kSeqIoError, gMgr.ioErrors.load());
}

uint32_t SliceDurationFor(uint32_t gop, uint32_t fps)
{
    uint32_t d = fps == 0 ? 0 : gop / fps;
    if (d >= 10) {
        return d;
    }
    return d >= 6 ? d * 2 : 10;
}

uint32_t BufferSizeFor(const NOXA_MEDIA_INFO_S& m)
{
    uint64_t size = static_cast<uint64_t>(m.video_bitrate[kMainChannel]) * 6144 / 8;
    if (m.channel_enable[kAudioChannel] != 0) {
        size += static_cast<uint64_t>(m.audio_sample[kAudioChannel]) * m.audio_databits[kAudioChannel] * 6 / 8;
    }
    return static_cast<uint32_t>(size);
}

// __noxa_ipc_ss_init_real: storing becomes possible on a usable card.
int InitReal(const char* base)
{
    if (base == nullptr || base[0] == '\0') {
        PR_ERR("the base path is null");
        return -2;
    }
    if (::access(BoardPath(base).c_str(), F_OK) != 0) {
        PR_ERR("the base path NOT exist %s", base);
        SeqError(kSeqInitReal, "no_base");
        return -2;
    }
    size_t len = strlen(base);
    if (!(base[len - 1] == '/' ? FmtPath(gMgr.dcimPath, "%sDCIM", base) : FmtPath(gMgr.dcimPath, "%s/DCIM", base))) {
        return -2;
    }
    MakeDirs(gMgr.dcimPath);
    const NOXA_MEDIA_INFO_S& m = gMgr.media;
    gMgr.sliceDuration = SliceDurationFor(m.video_gop[kMainChannel], m.video_fps[kMainChannel]);
    gMgr.bufferSize = BufferSizeFor(m);
    int maxFrame = noxa_ipc_ring_buffer_get_max_frame_size();
    gMgr.frameSize = maxFrame > 0 ? static_cast<uint32_t>(maxFrame) : kDefaultFrameMax;
    gMgr.buffer.reset(new (std::nothrow) uint8_t[gMgr.bufferSize]);
    gMgr.frame.reset(new (std::nothrow) uint8_t[gMgr.frameSize]);
    if (!gMgr.buffer || !gMgr.frame) {
        PR_ERR("fail to malloc buffer for stream storage size %u, slice_duration %u", gMgr.bufferSize,
               gMgr.sliceDuration);
        gMgr.buffer.reset();
        gMgr.frame.reset();
        SeqError(kSeqBuffer, "no_mem");
        return -1;
    }
    gMgr.fill = 0;
    PR_NOTICE("stream storage seize %u bytes memory for media data, slice duration %u", gMgr.bufferSize,
              gMgr.sliceDuration);
    SeqUint(kSeqBuffer, gMgr.bufferSize);
    uint32_t inited = kInited;
    if (!gMgr.state.compare_exchange_strong(inited, kStoring)) {
        gMgr.buffer.reset();  // uninit came first
        gMgr.frame.reset();
        return -1;
    }
    if (gThreadsOn && !gMgr.storageThread.Start("stream_storage", kStorageStack, StorageThread)) {
        PR_ERR("__thread_stream_storage create failed ret[%d]", -1);
        gMgr.state.store(kInited);
        gMgr.buffer.reset();
        gMgr.frame.reset();
        SeqError(kSeqInitReal, "thread");
        return -1;
    }
    PR_NOTICE("stream storage with SD init success");
    SeqUint(kSeqInitReal, 0);
    return 0;
}

}  // namespace ss

using namespace ss;

int noxa_ipc_ss_init(const char* base_path, const NOXA_MEDIA_INFO_S* media, uint32_t max_event_per_day)
{
    if (base_path == nullptr || base_path[0] == '\0') {
        PR_ERR("the base path is null");
        return -2;
    }
    if (media == nullptr || media->video_codec[kMainChannel] > kMaxVideoCodec) {
        PR_ERR("video codec invalid %d", media == nullptr ? -1 : static_cast<int>(media->video_codec[kMainChannel]));
        return -2;
    }
    uint32_t expected = kNotInited;
    if (!gMgr.state.compare_exchange_strong(expected, kInited)) {
        PR_ERR("stream storage is inited already %u", expected);
        return -1;
    }
    if (gMgr.logSeq == nullptr) {
        create_log_seq("stream_stg", log_serv_handle_err_log_seq_cb, &gMgr.logSeq);
    }
    if (!FmtPath(gMgr.basePath, "%s", base_path)) {
        gMgr.state.store(kNotInited);
        return -2;
    }
    gMgr.media = *media;
    gMgr.maxEventsPerDay = max_event_per_day;
    gMgr.preRecordSecs.store(kDefaultPreRecord);
    gMgr.maxEventDuration.store(kMaxEventDurationLimit);
    gMgr.dataMode.store(1);
    gMgr.writeMode.store(SS_WRITE_MODE_NONE);
    gMgr.status.store(E_STORAGE_STOP);
    gMgr.eventLimit.store(0);
    gMgr.eventType.store(0);
    gMgr.ioErrors.store(0);
    gMgr.unwritableChecks.store(0);
    gMgr.eventOpen = false;
    gMgr.lastKeyDay = 0;
    gMgr.lastFrameSec = 0;
    gMgr.retryVideo = false;
    gMgr.retryAudio = false;
    SetEventPath("");
    ResetMonitor();
    if (gThreadsOn && !gMgr.monitorThread.Start("disk_monitor", kStorageStack, DiskMonitorThread)) {
        gMgr.state.store(kNotInited);
        return -1;
    }
    const int32_t on = 1;
    noxa_ipc_skill_enable(NOXA_SKILL_LOCAL_STORAGE, &on);
    SeqUint(kSeqInit, 0);
    PR_NOTICE("stream storage task init success");
    return 0;
}

void noxa_ipc_ss_uninit(void)
{
    gMgr.writeMode.store(SS_WRITE_MODE_NONE);
    gMgr.state.store(kNotInited);
    // The monitor first: it may be starting the storage thread right now.
    gMgr.monitorThread.Join();
    gMgr.storageThread.Join();
    if (!gThreadsOn) {
        StopEventStorage(gMgr.lastFrameSec);
    }
    gMgr.buffer.reset();
    gMgr.frame.reset();
    gMgr.bufferSize = 0;
    gMgr.fill = 0;
    gMgr.status.store(E_STORAGE_STOP);
    if (gMgr.logSeq != nullptr) {
        release_log_seq(gMgr.logSeq);
        gMgr.logSeq = nullptr;
    }
}

int noxa_ipc_ss_set_write_mode(uint32_t mode)
{
    if (!StoringPossible()) {
        PR_ERR("storage not inited");
        return -1;
    }
    if (mode > SS_WRITE_MODE_ALL) {
        PR_ERR("unsupported write mode %u", mode);
        return -2;
    }
    uint32_t old = gMgr.writeMode.exchange(mode);
    PR_NOTICE("write_mode set %u -> %u", old, mode);
    SeqUint(kSeqWriteMode, mode);
    if (mode == SS_WRITE_MODE_NONE && old != SS_WRITE_MODE_NONE) {
        RequestStatus(E_STORAGE_READY_TO_STOP);
    } else if (mode == SS_WRITE_MODE_ALL &&
               (old != SS_WRITE_MODE_ALL || gMgr.status.load() == E_STORAGE_UNWRITEABLE)) {
        RequestStatus(E_STORAGE_START);
    }
    return 0;
}

int noxa_ipc_ss_set_data_mode(uint32_t enable)
{
    uint32_t mode = gMgr.writeMode.load();
    PR_NOTICE("cur write_mode %u enable[%u]", mode, enable);
    if (mode == SS_WRITE_MODE_EVENT && StoringPossible()) {
        RequestStatus(E_STORAGE_READY_TO_STOP);
        for (uint32_t i = 0; i < kDataModeWaitRounds && gMgr.reading.load(); ++i) {
            uni_sleep_ms(kDataModeWaitMs);
        }
        gMgr.dataMode.store(enable != 0 ? 1 : 0);
        RequestStatus(E_STORAGE_START);
        return 0;
    }
    gMgr.dataMode.store(enable != 0 ? 1 : 0);
    return 0;
}

int noxa_ipc_ss_start_event(void)
{
    if (!EventMode()) {
        return -1;
    }
    if (StartIdle()) {
        return 0;
    }
    PR_ERR("current event is not stopped,unable to start new one");
    return -1;
}

int noxa_ipc_ss_stop_event(void)
{
    if (!EventMode()) {
        return -1;
    }
    uint32_t s = gMgr.status.load();
    if (s == E_STORAGE_START || s == E_STORAGE_ONGOING || s == E_STORAGE_RESTART) {
        gMgr.eventLimit.store(0);  // the next video frame ends the event
        return 0;
    }
    PR_ERR("No event on going now");
    return -1;
}

int noxa_ipc_ss_start_event_by_type(uint32_t type)
{
    uint32_t mode = gMgr.writeMode.load();
    if (mode == SS_WRITE_MODE_NONE) {
        PR_ERR("curr mode:%u not support event.", mode);
        return -1;
    }
    gMgr.eventType.store(type);
    if (StartIdle()) {
        return 0;
    }
    if (mode == SS_WRITE_MODE_ALL) {
        PR_NOTICE("cur all time mode,force split new file type[%u]", type);
        gMgr.status.store(E_STORAGE_RESTART);
    }
    return -1;
}

int noxa_ipc_ss_stop_event_by_type(uint32_t type)
{
    uint32_t mode = gMgr.writeMode.load();
    if (mode == SS_WRITE_MODE_EVENT) {
        return noxa_ipc_ss_stop_event();
    }
    if (mode == SS_WRITE_MODE_ALL) {
        PR_NOTICE("cur all write mode,force restart");
        gMgr.status.store(E_STORAGE_RESTART);
        gMgr.eventType.store(0);
        return 0;
    }
    PR_ERR("cur not support type[%u]", type);
    return -1;
}

int noxa_ipc_ss_trigger_event(uint32_t duration)
{
    if (duration > gMgr.maxEventDuration.load()) {
        PR_ERR("max event duration %u(%u)", duration, gMgr.maxEventDuration.load());
        return -2;
    }
    if (!EventMode()) {
        return -1;
    }
    for (;;) {
        uint32_t s = gMgr.status.load();
        if (s == E_STORAGE_STOP) {
            gMgr.eventLimit.store(duration);
            if (Cas(s, E_STORAGE_START)) {
                return 0;
            }
        } else if (s == E_STORAGE_START || s == E_STORAGE_ONGOING || s == E_STORAGE_RESTART) {
            // The running event is lengthened in its own folder: a start here would open a new
            // folder over the open one and drop the buffer.
            gMgr.eventLimit.fetch_add(duration);
            return 0;
        } else {
            PR_ERR("curr status:%u not valid for new event.", s);
            return -1;
        }
    }
}

int noxa_ipc_ss_set_pre_record_time(uint32_t seconds)
{
    if (gMgr.state.load() == kNotInited) {
        PR_ERR("stream storage not inited");
        return -1;
    }
    if (seconds >= kPreRecordLimit) {
        PR_ERR("pre record frame num too big, %u max", kPreRecordLimit - 1);
        return -1;
    }
    gMgr.preRecordSecs.store(seconds);
    return 0;
}

int noxa_ipc_ss_set_max_event_duration(uint32_t seconds)
{
    if (seconds > kMaxEventDurationLimit) {
        PR_ERR("max event duration should NOT > %u", kMaxEventDurationLimit);
        return -1;
    }
    gMgr.maxEventDuration.store(seconds);
    return 0;
}

STORAGE_STATUS_E noxa_ipc_ss_get_status(void)
{
    return static_cast<STORAGE_STATUS_E>(gMgr.status.load());
}

void noxa_ipc_ss_threads_for_test(int on)
{
    gThreadsOn = on != 0;
}

uint32_t noxa_ipc_ss_storage_pass(void)
{
    if (gMgr.state.load() != kStoring) {
        return 50;
    }
    uint32_t s = gMgr.status.load();
    if (s == E_STORAGE_STOP || s == E_STORAGE_UNWRITEABLE || s == E_STORAGE_UNKNOWN) {
        gMgr.reading.store(false);
        return 50;
    }
    gMgr.reading.store(true);
    if (s == E_STORAGE_START) {
        // Start a few seconds back, on a key frame; the audio of reader 0 lines up behind it.
        uint32_t frames = gMgr.preRecordSecs.load() * gMgr.media.video_fps[kMainChannel];
        if (noxa_ipc_ring_buffer_anchor_user(kMainChannel, kReader, frames, 1) != 0) {
            return 20;
        }
        gMgr.retryVideo = false;
        gMgr.retryAudio = false;
    }
    bool moved = TakeFrame(kMainChannel, gMgr.retryVideo);
    if (gMgr.media.channel_enable[kAudioChannel] != 0) {
        moved = TakeFrame(kAudioChannel, gMgr.retryAudio) || moved;
    }
    return moved ? 0 : 10;
}
