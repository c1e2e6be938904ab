// What the cloud-storage files share: the one manager, the event list's operations the thread
// calls, and the cloud calls both sides make. Internal to cloud_storage/.
#pragma once

#include "noxa_ipc_cloud_storage.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/online_log/log_seq.h"
#include "noxa_ipc_sdk/stream_storage/ss_internal.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace cs {

constexpr uint32_t kEventTextLen = 512;

// Calls of one kind refused in a row, and since when (monotonic): the module tells a row once when
// it begins and once, with its count and length, when the call is taken again.
struct Refusals {
    std::atomic<uint32_t> count{0};
    std::atomic<uint64_t> sinceMs{0};

    // The transport's lines of a try: warnings for the first of a row, Debug after it.
    uint32_t LogFloor() const { return count.load() != 0 ? LOG_LEVEL_DEBUG : LOG_LEVEL_WARN; }
    // One more refusal at `nowMs`; true for the first of a row.
    bool Add(uint64_t nowMs)
    {
        if (count.fetch_add(1) != 0) {
            return false;
        }
        sinceMs = nowMs;
        return true;
    }
    // The row ends at `nowMs`: its refusals (0 when there was none) and, in *ms, its length.
    uint32_t End(uint64_t nowMs, unsigned long long* ms)
    {
        const uint32_t n = count.exchange(0);
        *ms = static_cast<unsigned long long>(nowMs - sinceMs.load());
        return n;
    }
};

struct Event {
    int32_t id = -1;
    uint32_t state = 0;   // 0 free, 1 running, 2 new (not yet started)
    uint32_t type = CS_EVENT_TYPE_MAX;
    uint32_t start = 0;
    uint32_t end = 0;
    uint32_t notify = 0;  // 0 never, 1 the stored text at start, 2 start/end at stop, 3 both
    char text[kEventTextLen] = {};
};

struct Manager {
    std::atomic<int> inited{0};
    // Every object upload, the configuration and the order change.
    std::mutex lock;
    ss::Thread thread;
    std::atomic<int> state{CS_STATE_IDLE};
    std::atomic<int> enable{0};
    std::atomic<uint32_t> type{CS_TYPE_ALLTIME};
    CLOUD_STORAGE_CFG_S cfg{};  // under lock
    NOXA_MEDIA_INFO_S media{};
    // Configuration ages on the monotonic clock: a fetch is due while none succeeded.
    std::atomic<bool> hasConfig{false};
    std::atomic<uint64_t> configMs{0};
    std::atomic<uint64_t> failMs{0};
    std::atomic<int> preRecordSecs{2};

    // The slice, written by the thread only.
    char mediaName[32] = {};
    std::unique_ptr<uint8_t[]> buf;  // held while a recording runs (see TakeBuffers)
    uint32_t bufSize = 0;            // what a recording takes
    uint32_t cap = 0;                // what is held now
    uint32_t used = 0;
    uint32_t lastFrameTime = 0;
    uint32_t lastEndTime = 0;
    uint32_t sliceDuration = 0;
    uint32_t sliceStart = 0;
    uint32_t sliceOffset = 0;  // seconds of the slice's name after the group start
    uint32_t groupStart = 0;
    uint32_t lastGroupStart = 0;  // the newest group's start in this run (its objects carry it)
    bool waitI = true;
    bool newDayLatch = false;

    // Slice uploads refused in a row: logged once, then counted.
    Refusals uploads;
    // A group being closed: its last slice (state still open) or its stop notice (state stopped)
    // not yet taken. No group opens before it is done; tried again by the thread's passes.
    bool closing = false;
    uint32_t stopTries = 0;
    // Group starts the cloud refused in a row, and configuration fetches failed in a row.
    Refusals starts;
    Refusals configFetches;
    std::atomic<CS_KEY_FRAME_REQUEST> keyFrameRequest{nullptr};

    bool keyNeedsUpdate = false;
    uint8_t key[16] = {};
    uint8_t iv[16] = {};
    char md5[33] = {};

    int (*aesCreate)(void) = nullptr;
    int (*aesEncrypt)(const uint8_t*, uint32_t, uint8_t*, uint32_t*, const uint8_t*, const uint8_t*) = nullptr;
    int (*aesDestroy)(void) = nullptr;

    std::mutex eventLock;
    Event events[CS_EVENT_NUM];
    std::atomic<int> audioStat{1};
    LOG_SEQ_HANDLE seq = nullptr;
    std::unique_ptr<uint8_t[]> enc;
    uint32_t encCap = 0;

    std::atomic<uint32_t> slicesUploaded{0};
    std::atomic<uint64_t> uploadMsLast{0};
    std::atomic<uint64_t> lastFrameMs{0};
};
extern Manager gM;
extern std::atomic<bool> gThreadsOn;

// Events (cloud_storage_events.cpp). All take the event lock.
int AddEvent(uint32_t type, uint32_t start, uint32_t end, const char* source);
void StartNewEvents();
void StopEndedEvents(uint32_t end);
void ForceStopEvents(uint32_t now);
bool AnyEventActive();
void ResetEvents();
// Posts an event report (type 2) or the stop (type 1) through the cloud API; 0 or its error.
int PostStorageNotice(int type, const char* body);

// The configuration fetch (takes the manager lock). 0, -2004 type none, or the fetch's error.
int UpdateConfig();
// Uploads an encrypted picture of an event as "<name>.jpg" ("media/jpeg"). 0 or the error.
int UploadEventPicture(const uint8_t* pic, uint32_t size, uint32_t name);
void SeqError(uint8_t tag, const char* text);

}  // namespace cs
