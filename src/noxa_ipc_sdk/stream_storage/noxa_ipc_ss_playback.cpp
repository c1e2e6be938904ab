// Playback of stored events: queries of the days and events on the card, and ten slots, each
// with a task that reads the slices of the event being played, paces the frames by their time
// stamps and hands them to the slot's callbacks. Events that abut in time play as one stream.
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "platform/board_path.h"
#include "ss_internal.h"
#include "ss_slots.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unistd.h>

namespace ss {

std::array<Slot, SS_PB_SLOT_NUM>& gSlots = *new std::array<Slot, SS_PB_SLOT_NUM>;

namespace {

constexpr size_t kTaskStack = 1024 * 1024;
constexpr uint32_t kSliceTries = 15;
constexpr uint32_t kSeekGuessBack = 9;
constexpr uint32_t kMaxKeyFrames = 50;
constexpr uint32_t kNextEventMaxDuration = 3600;
constexpr int64_t kPacingMaxMs = 80;
constexpr int kAccelerateMin = -10;
constexpr int kAccelerateMax = 50;
constexpr uint32_t kIdleSleepMs = 1000;
constexpr uint32_t kErrorLimit = 500;
constexpr uint32_t kCountLogEvery = 200;
constexpr uint32_t kSleepSliceMs = 20;

std::atomic<int> sAccelerate{0};

bool BadSlot(uint32_t slot)
{
    return slot >= SS_PB_SLOT_NUM;
}

void CloseFiles(Slot& s)
{
    for (FILE** f : {&s.file, &s.file2}) {
        if (*f != nullptr) {
            fclose(*f);
            *f = nullptr;
        }
    }
}

// Sleeps while the task is asked to run, so that a stop does not wait out a long pause.
void SleepWhileRunning(Slot& s, uint32_t ms)
{
    for (uint32_t slept = 0; slept < ms && s.running.load() == 1; slept += kSleepSliceMs) {
        uni_sleep_ms(std::min(kSleepSliceMs, ms - slept));
    }
}

FILE* OpenSlice(const char* day, const char* dir, uint32_t number)
{
    char path[kPathMax];
    if (!FmtPath(path, "%s/%s/%04u.media", day, dir, number)) {
        return nullptr;
    }
    return OpenFile(path, "rb");
}

void UseFile(Slot& s, FILE* f, uint32_t number)
{
    CloseFiles(s);
    s.file = f;
    s.curFileIndex = number;
    PR_DEBUG("open new file %s/%s/%04u.media", s.curPath, s.curDir, number);
}

// The smallest slice number above `index` in the event folder.
bool SliceAbove(const char* day, const char* dir, uint32_t index, uint32_t* number)
{
    char event[kPathMax];
    std::vector<std::string> names;
    if (!FmtPath(event, "%s/%s", day, dir) || !ListDir(event, names)) {
        return false;
    }
    bool found = false;
    for (const std::string& n : names) {
        uint32_t v = 0;
        if (SliceName(n.c_str(), &v) && v > index && (!found || v < *number)) {
            *number = v;
            found = true;
        }
    }
    return found;
}

// __ss_pb_move_to_next_file: the slice at or after `index` in the event, else the first slice of
// the event that begins where this one ends. 0, or -1 when there is none. Under the slot lock.
int MoveToNextFile(Slot& s, uint32_t index)
{
    if (s.curDir[0] == '\0') {
        return -1;
    }
    for (uint32_t i = index; i < index + kSliceTries; ++i) {
        if (FILE* f = OpenSlice(s.curPath, s.curDir, i)) {
            UseFile(s, f, i);
            return 0;
        }
    }
    uint32_t number = 0;
    if (index < s.curFileTimeSize) {
        PR_DEBUG("unnormel curPath[%s] curEvent[%s] curPbTimeValue[%u] curFileTimeSize[%u]", s.curPath, s.curDir,
                 index, s.curFileTimeSize);
        if (SliceAbove(s.curPath, s.curDir, index, &number)) {
            if (FILE* f = OpenSlice(s.curPath, s.curDir, number)) {
                UseFile(s, f, number);
                return 0;
            }
        }
    }
    uint32_t start = 0;
    uint32_t nameDuration = 0;
    if (!ParseEventName(s.curDir, &start, &nameDuration)) {
        return -1;
    }
    const uint32_t key = start + s.curFileTimeSize;
    PR_DEBUG("searchKey = %u", key);
    char next[kNameMax];
    if (!FindEventDir(s.curPath, key, next)) {
        PR_DEBUG("cant find file time[%u]", key);
        return -1;
    }
    int duration = EventDuration(s.curPath, next);
    if (duration < 0 || static_cast<uint32_t>(duration) > kNextEventMaxDuration) {
        PR_ERR("curFileTimeSize[%d]  error", duration);
        return -1;
    }
    FILE* f = OpenSlice(s.curPath, next, 0);
    if (f == nullptr) {
        return -1;
    }
    char event[kPathMax];
    uint32_t type = 0;
    uint32_t version = 0;
    if (FmtPath(event, "%s/%s", s.curPath, next)) {
        ReadInfo(event, &type, &version, &s.codec);
    }
    memcpy(s.curDir, next, sizeof(next));
    s.curFileTimeSize = static_cast<uint32_t>(duration);
    UseFile(s, f, 0);
    s.fragment.start = key;
    s.fragment.end = key + static_cast<uint32_t>(duration);
    PR_DEBUG("next fragment info [%u-%u]", s.fragment.start, s.fragment.end);
    return 0;
}

// __ss_pb_seek_file: positions the open slice at the last key frame before `time` (s), the
// first key frame when none is before it. 0, or -1 on a bad record or a failed read or seek.
int SeekFile(Slot& s, uint32_t time)
{
    if (fseek(s.file, 0, SEEK_SET) != 0) {
        return -1;
    }
    long offsets[kMaxKeyFrames];
    uint64_t stamps[kMaxKeyFrames];
    uint32_t keys = 0;
    for (;;) {
        long at = ftell(s.file);
        STORAGE_FRAME_HEAD_S h{};
        if (!ReadHead(s.file, &h)) {
            break;
        }
        if (h.size > kRecordDataMax) {
            PR_ERR("date too big [%u]", h.size);
            return -1;
        }
        if (h.type == MEDIA_FRAME_TYPE_I) {
            if (keys >= kMaxKeyFrames) {
                PR_DEBUG("INum[%u] overflow max[%u]", keys, kMaxKeyFrames);
                break;
            }
            offsets[keys] = at;
            stamps[keys] = h.timestamp;
            ++keys;
        }
        if (fseek(s.file, static_cast<long>(h.size), SEEK_CUR) != 0) {
            return -1;
        }
    }
    long target = 0;
    if (keys != 0) {
        target = offsets[0];
        for (uint32_t i = 0; i < keys; ++i) {
            if (stamps[i] / 1000 < time) {
                target = offsets[i];
            }
        }
    }
    return fseek(s.file, target, SEEK_SET) == 0 ? 0 : -1;
}

// The played range ran out with no slice after it: the viewer is told, the event let go.
void FragmentOver(Slot& s, uint32_t slot)
{
    if (MoveToNextFile(s, s.curFileIndex + 1) == 0) {
        return;
    }
    const uint32_t range[2] = {s.fragment.start, s.fragment.end};
    noxa_ipc_playback_send_fragment_end(slot, range);
    s.curDir[0] = '\0';
    CloseFiles(s);
}

enum class Read { Frame, Again, Idle, Over };

// What the hand-over needs of the slot, taken under its lock with the record.
struct HandOver {
    bool mute = false;
    bool h265 = false;
};

// One record of the open slice into the send buffer, under the slot lock.
Read ReadRecord(Slot& s, uint32_t slot, STORAGE_FRAME_HEAD_S& h, bool& skipToKey, HandOver& how)
{
    std::lock_guard<std::mutex> lock(s.lock);
    how.mute = s.mute != 0;
    how.h265 = s.codec == NOXA_CODEC_VIDEO_H265;
    if (s.pause != 0) {
        PR_DEBUG("PB Pause %u", slot);
        return Read::Idle;
    }
    if (s.file == nullptr) {
        PR_DEBUG("PB[%u] Video File NOT OPEN", slot);
        return Read::Idle;
    }
    if (!ReadHead(s.file, &h)) {
        PR_DEBUG("video cfg read failed. maybe reach the end");
        FragmentOver(s, slot);
        return Read::Again;
    }
    PR_TRACE("read video header. type:%u size:%u ts:%llu pts:%llu", h.type, h.size,
             static_cast<unsigned long long>(h.timestamp), static_cast<unsigned long long>(h.pts));
    if (h.size > s.sendBufSize) {
        PR_ERR("pb[%u] frame size too big[%u], max frame size[%u] sendbBuf size[%u], should skip", slot, h.size,
               s.sendBufSize, s.sendBufSize);
        skipToKey = true;
    } else if (skipToKey && h.type != MEDIA_FRAME_TYPE_I) {
        PR_DEBUG("pb[%u] skip_to_I_frame, skip frame type[%u]", slot, h.type);
    } else {
        skipToKey = false;
        if (fread(s.sendBuf.get(), 1, h.size, s.file) != h.size) {
            PR_ERR("video raw read failed len[%u]", h.size);
            FragmentOver(s, slot);
            return Read::Again;
        }
        if (h.timestamp >= static_cast<uint64_t>(s.playEnd.load()) * 1000) {
            PR_NOTICE("play over time1[%llu] time2[%u]", static_cast<unsigned long long>(h.timestamp),
                      s.playEnd.load());
            CloseFiles(s);
            return Read::Over;
        }
        return Read::Frame;
    }
    if (fseek(s.file, static_cast<long>(h.size), SEEK_CUR) != 0) {
        FragmentOver(s, slot);
    }
    return Read::Again;
}

void VideoTask(uint32_t slot)
{
    Slot& s = gSlots[slot];
    PR_DEBUG("pb:%u video task start", slot);
    bool skipToKey = false;
    bool first = true;
    uint64_t prevStamp = 0;
    uint64_t handOverMs = 0;
    uint32_t errors = 0;
    uint32_t videoCnt = 0;
    uint32_t audioCnt = 0;
    while (s.running.load() == 1) {
        STORAGE_FRAME_HEAD_S h{};
        HandOver how;
        Read r = ReadRecord(s, slot, h, skipToKey, how);
        if (r == Read::Idle) {
            SleepWhileRunning(s, kIdleSleepMs);
            continue;
        }
        if (r == Read::Over) {
            if (s.finishCb != nullptr) {
                s.finishCb(slot, 0, 0);
            }
            continue;
        }
        if (r == Read::Again) {
            continue;
        }
        if (!first) {
            int64_t wait = static_cast<int64_t>(h.timestamp - prevStamp) - static_cast<int64_t>(handOverMs) -
                           sAccelerate.load();
            if (wait > 0 && wait <= kPacingMaxMs) {
                uni_sleep_ms(static_cast<uint32_t>(wait));
            }
        }
        first = false;
        prevStamp = h.timestamp;
        const uint64_t t0 = uni_get_tick_ms();
        SS_PB_FRAME_S f{h.type, s.sendBuf.get(), h.size, 0, h.pts, h.timestamp};
        if (h.type == MEDIA_FRAME_TYPE_AUDIO) {
            errors = 0;
            ++audioCnt;
            if (!how.mute && s.audioCb != nullptr) {
                s.audioCb(slot, &f);
            }
        } else if (h.type == MEDIA_FRAME_TYPE_I || h.type == MEDIA_FRAME_TYPE_P) {
            errors = 0;
            if (how.h265) {
                f.type |= SS_PB_H265_FLAG;
            }
            if (s.videoCb != nullptr) {
                s.videoCb(slot, &f, h.timestamp);
            }
            if (++videoCnt % kCountLogEvery == 0) {
                PR_DEBUG("PB send videoCnt = %u audioCnt = %u", videoCnt, audioCnt);
            }
        } else {
            PR_ERR("not support type = %u", h.type);
            if (++errors >= kErrorLimit) {
                PR_ERR("error num = %u,exit", errors);
                if (s.finishCb != nullptr) {
                    s.finishCb(slot, 0, 0);
                }
                break;
            }
        }
        handOverMs = uni_get_tick_ms() - t0;
    }
    PR_DEBUG("pb:%u video quit while", slot);
    std::lock_guard<std::mutex> lock(s.lock);
    CloseFiles(s);
    s.running.store(0);
}

// Ends the slot's tasks and clears it, all but its locks; the caller holds control.
void StopSlot(Slot& s, uint32_t slot)
{
    s.inited.store(0);
    if (s.task.Started()) {
        PR_DEBUG("curr video thread not null. delete pb:%u", slot);
        s.running.store(2);
        s.task.Join();
        PR_DEBUG("video task stop over");
    }
    CancelDownload(s);
    std::lock_guard<std::mutex> lock(s.lock);
    CloseFiles(s);
    s.running.store(0);
    s.finishCb = nullptr;
    s.videoCb = nullptr;
    s.audioCb = nullptr;
    s.codec = NOXA_CODEC_VIDEO_H264;
    s.fragment = SS_PB_FRAGMENT_S{};
    s.mute = 0;
    s.pause = 0;
    s.curPath[0] = '\0';
    s.curDir[0] = '\0';
    s.curFileIndex = 0;
    s.curFileTimeSize = 0;
    s.sendBuf.reset();
    s.sendBufSize = 0;
    s.playEnd.store(0);
    s.curPbFileSeek = 0;
    s.pausedWithFile = false;
}

}  // namespace

uint32_t SlotFrameSize()
{
    int max = noxa_ipc_ring_buffer_get_max_frame_size();
    return max > 0 ? static_cast<uint32_t>(max) : kDefaultFrameMax;
}

int EventDuration(const char* dayPath, const char* name)
{
    uint32_t start = 0;
    uint32_t duration = 0;
    if (!ParseEventName(name, &start, &duration)) {
        return -1;
    }
    if (duration != 0) {
        return static_cast<int>(duration);
    }
    char event[kPathMax];
    return FmtPath(event, "%s/%s", dayPath, name) ? LargestSlice(event) : -1;
}

bool PlaybackHolds(const char* dayPath, const char* name)
{
    for (Slot& s : gSlots) {
        {
            std::lock_guard<std::mutex> lock(s.lock);
            if (s.inited.load() != 0 && strcmp(s.curDir, name) == 0 && strcmp(s.curPath, dayPath) == 0) {
                return true;
            }
        }
        std::lock_guard<std::mutex> lock(s.dlLock);
        if (s.dlRunning.load() != 0 && strcmp(s.dlDir, name) == 0 && strcmp(s.dlPath, dayPath) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace ss

using namespace ss;

int noxa_ipc_pb_query_by_month(uint32_t year, uint32_t month, uint32_t* bitmap)
{
    if (bitmap == nullptr) {
        PR_ERR("input fail.");
        return -2;
    }
    *bitmap = 0;
    if (!StoringPossible()) {
        PR_ERR("stream storage not inited");
        return -1;
    }
    char path[kPathMax];
    std::vector<std::string> names;
    if (!FmtPath(path, "%s/%04u/%02u", Dcim(), year, month) || !ListDir(path, names)) {
        return 0;
    }
    for (const std::string& n : names) {
        uint32_t day = 0;
        if (!DigitsName(n.c_str(), 2, &day) || day < 1 || day > 31) {
            PR_DEBUG("find day:%s But Invalid", n.c_str());
            continue;
        }
        *bitmap |= 1u << day;
    }
    return 0;
}

int noxa_ipc_pb_query_by_day(uint32_t slot, uint32_t year, uint32_t month, uint32_t day,
                             PLAYBACK_TIME_ARR_S** result)
{
    if (result == nullptr || BadSlot(slot)) {
        return -2;
    }
    *result = nullptr;
    if (!StoringPossible()) {
        PR_ERR("stream storage not inited");
        return -1;
    }
    char path[kPathMax];
    if (!FmtPath(path, "%s/%04u/%02u/%02u", Dcim(), year, month, day)) {
        return -2;
    }
    std::vector<PLAYBACK_TIME_S> found;
    std::vector<std::string> names;
    if (!ListDir(path, names)) {
        // Only ever an empty folder goes: rmdir removes nothing else.
        ::rmdir(BoardPath(path).c_str());
    }
    for (const std::string& n : names) {
        uint32_t start = 0;
        uint32_t nameDuration = 0;
        if (!ParseEventName(n.c_str(), &start, &nameDuration)) {
            continue;
        }
        int duration = EventDuration(path, n.c_str());
        if (duration < 0) {
            PR_ERR("file[%s] invTime[%d] err\n", n.c_str(), duration);
            continue;
        }
        char event[kPathMax];
        uint32_t type = 0;
        uint32_t version = 0;
        uint32_t codec = 0;
        if (FmtPath(event, "%s/%s", path, n.c_str())) {
            ReadInfo(event, &type, &version, &codec);
        }
        found.push_back(PLAYBACK_TIME_S{type, start, start + static_cast<uint32_t>(duration)});
    }
    const uint32_t max = MaxEventsPerDay();
    if (max != 0 && found.size() > max) {
        PR_ERR("find total cnt:%zu too big [%u]", found.size(), max);
        return -1;
    }
    std::sort(found.begin(), found.end(),
              [](const PLAYBACK_TIME_S& a, const PLAYBACK_TIME_S& b) { return a.start_timestamp < b.start_timestamp; });
    auto* arr = static_cast<PLAYBACK_TIME_ARR_S*>(
        Malloc(static_cast<uint32_t>(sizeof(PLAYBACK_TIME_ARR_S) + found.size() * sizeof(PLAYBACK_TIME_S))));
    if (arr == nullptr) {
        return -3;
    }
    arr->file_count = static_cast<uint32_t>(found.size());
    arr->file_arr = reinterpret_cast<PLAYBACK_TIME_S*>(arr + 1);
    uint32_t end = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        arr->file_arr[i] = found[i];
        end = std::max(end, found[i].end_timestamp);
    }
    gSlots[slot].queryEnd.store(end);
    *result = arr;
    return 0;
}

int noxa_ipc_pb_query_free_ts_arr(PLAYBACK_TIME_ARR_S* result)
{
    if (result == nullptr) {
        return -2;
    }
    Free(result);
    return 0;
}

int noxa_ipc_ss_pb_start(uint32_t slot, SS_PB_FINISH_CB finishCb, SS_PB_VIDEO_CB videoCb, SS_PB_AUDIO_CB audioCb)
{
    if (BadSlot(slot)) {
        return -2;
    }
    Slot& s = gSlots[slot];
    std::lock_guard<std::mutex> control(s.control);
    if (s.inited.load() != 0) {
        if (s.running.load() == 1) {
            PR_NOTICE("pb[%u] already start", slot);
            s.playEnd.store(s.queryEnd.load());
            std::lock_guard<std::mutex> lock(s.lock);
            s.pause = 0;
            return 0;
        }
        StopSlot(s, slot);  // its task ended on errors: start afresh
    }
    const uint32_t size = SlotFrameSize();
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.sendBuf.reset(new (std::nothrow) uint8_t[size]);
        if (!s.sendBuf) {
            return -1;
        }
        s.sendBufSize = size;
        s.finishCb = finishCb;
        s.videoCb = videoCb;
        s.audioCb = audioCb;
        s.pause = 0;
        s.mute = 0;
    }
    s.playEnd.store(s.queryEnd.load());
    s.running.store(1);
    s.inited.store(1);
    char name[16];
    snprintf(name, sizeof(name), "ss_pb%u", slot);
    if (!s.task.Start(name, kTaskStack, [slot] { VideoTask(slot); })) {
        PR_ERR("Create PB Video Thread Fail. %d %u", -1, slot);
        StopSlot(s, slot);
        return -1;
    }
    PR_NOTICE("start pb:%u success", slot);
    return 0;
}

int noxa_ipc_ss_pb_seek(uint32_t slot, const SS_PB_FRAGMENT_S* fragment, uint32_t time)
{
    if (BadSlot(slot) || fragment == nullptr) {
        return -2;
    }
    Slot& s = gSlots[slot];
    std::lock_guard<std::mutex> control(s.control);
    if (s.inited.load() == 0) {
        PR_ERR("curr pb %u not inited.", slot);
        return -2;
    }
    if (time < fragment->start || time > fragment->end) {
        PR_ERR("seek pb:%u to %u [%u %u] param error", slot, time, fragment->start, fragment->end);
        return -2;
    }
    if (!StoringPossible()) {
        PR_ERR("stream storage not inited");
        return -1;
    }
    std::lock_guard<std::mutex> lock(s.lock);
    const uint32_t guess = time - fragment->start < 10 ? 0 : time - fragment->start - kSeekGuessBack;
    if (memcmp(fragment, &s.fragment, sizeof(*fragment)) != 0 || s.curDir[0] == '\0') {
        PR_DEBUG("seek to anothere file.");
        CloseFiles(s);
        s.curDir[0] = '\0';
        if (!DayPath(s.curPath, Dcim(), fragment->start)) {
            return -1;
        }
        PR_DEBUG("abs_file[%s]", s.curPath);
        if (!FindEventDir(s.curPath, fragment->start, s.curDir)) {
            PR_ERR("cant find file time[%u]", fragment->start);
            return -1;
        }
        PR_DEBUG("pb_idx[%u]get fileName[%s]", slot, s.curDir);
        char event[kPathMax];
        uint32_t type = 0;
        uint32_t version = 0;
        if (FmtPath(event, "%s/%s", s.curPath, s.curDir)) {
            ReadInfo(event, &type, &version, &s.codec);
        }
        int duration = EventDuration(s.curPath, s.curDir);
        if (duration < 0 || static_cast<uint32_t>(duration) > MaxEventDuration() + std::max(SliceDuration(), 10u)) {
            PR_ERR("pb_idx[%u]curFileTimeSize[%d]  error", slot, duration);
            s.curDir[0] = '\0';
            return -1;
        }
        s.curFileTimeSize = static_cast<uint32_t>(duration);
    }
    if (MoveToNextFile(s, guess) != 0) {
        PR_ERR("pb_idx[%u]no suit file", slot);
        return -1;
    }
    if (SeekFile(s, time) != 0) {
        PR_ERR("__ss_pb_seek_file failed [%d] time[%u]", -1, time);
        CloseFiles(s);
        return -1;
    }
    s.fragment = *fragment;
    s.pause = 0;
    PR_NOTICE("pb_idx[%u]seek success", slot);
    return 0;
}

int noxa_ipc_ss_pb_set_status(uint32_t slot, int status)
{
    if (BadSlot(slot)) {
        return -2;
    }
    Slot& s = gSlots[slot];
    std::lock_guard<std::mutex> control(s.control);
    if (s.inited.load() == 0) {
        PR_ERR("curr pb %u not inited.", slot);
        return -2;
    }
    std::lock_guard<std::mutex> lock(s.lock);
    switch (status) {
    case SS_PB_MUTE:
        s.mute = 1;
        break;
    case SS_PB_UNMUTE:
        s.mute = 0;
        break;
    case SS_PB_PAUSE:
        if (s.pause != 0) {
            break;
        }
        s.pausedWithFile = s.file != nullptr;
        s.curPbFileSeek = s.file != nullptr ? static_cast<uint32_t>(ftell(s.file)) : 0;
        CloseFiles(s);
        s.pause = 1;
        PR_DEBUG("curPbFileSeek[%u]", s.curPbFileSeek);
        break;
    case SS_PB_RESUME:
        if (s.pause != 0 && s.pausedWithFile) {
            char path[kPathMax];
            if (FmtPath(path, "%s/%s/%04u.media", s.curPath, s.curDir, s.curFileIndex)) {
                s.file = OpenFile(path, "rb");
                if (s.file == nullptr) {
                    PR_ERR("pb file[%s] open failed", path);
                } else if (fseek(s.file, static_cast<long>(s.curPbFileSeek), SEEK_SET) != 0) {
                    PR_ERR("pb file[%s] fseek failed", path);
                }
            }
        }
        s.pause = 0;
        s.pausedWithFile = false;
        break;
    default:
        PR_ERR("pb:%u status err %d", slot, status);
        break;
    }
    return 0;
}

int noxa_ipc_ss_pb_stop(uint32_t slot)
{
    if (BadSlot(slot)) {
        return -2;
    }
    Slot& s = gSlots[slot];
    std::lock_guard<std::mutex> control(s.control);
    StopSlot(s, slot);
    return 0;
}

int noxa_ipc_ss_pb_stop_all(void)
{
    PR_NOTICE("stop all pb videos");
    for (uint32_t i = 0; i < SS_PB_SLOT_NUM; ++i) {
        noxa_ipc_ss_pb_stop(i);
    }
    return 0;
}

int noxa_ipc_ss_pb_accelerate_send_frame(int time_ms)
{
    if (time_ms < kAccelerateMin || time_ms > kAccelerateMax) {
        PR_ERR("time_ms should in [-10,50]");
        return -1;
    }
    PR_NOTICE("set pb frame accelerate time_ms %d -> %d", sAccelerate.load(), time_ms);
    sAccelerate.store(time_ms);
    return 0;
}

namespace ss {

int __ss_pb_open_cur_file(Slot& s, uint32_t number)
{
    CloseFiles(s);
    // A slice that was never written (a gap in the recording) leaves the one before it.
    const uint32_t lowest = number >= kSliceTries - 1 ? number - (kSliceTries - 1) : 0;
    for (uint32_t i = number + 1; i-- > lowest;) {
        char path[kPathMax];
        if (!FmtPath(path, "%s/%s/%04u.media", s.curPath, s.curDir, i)) {
            break;
        }
        if (FILE* f = OpenFile(path, "rb")) {
            PR_DEBUG("file[%s] open success,%p", path, static_cast<void*>(f));
            s.file = f;
            s.curFileIndex = i;
            return 0;
        }
        PR_DEBUG("file[%s] open failed", path);
    }
    return -1;
}

}  // namespace ss
