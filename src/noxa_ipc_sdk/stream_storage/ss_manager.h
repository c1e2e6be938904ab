// The storage manager: one instance, shared by the API, the storage thread and the disk monitor.
// Internal to stream_storage/.
#pragma once

#include "noxa_iot_sdk/online_log/log_seq.h"
#include "ss_internal.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace ss {

enum MANAGER_STATE_E : uint32_t {
    kNotInited = 0,
    kInited = 1,   // the disk monitor runs
    kStoring = 2,  // working buffer and storage thread ready
};

struct Manager {
    std::atomic<uint32_t> state{kNotInited};
    std::atomic<uint32_t> status{E_STORAGE_STOP};
    std::atomic<uint32_t> writeMode{SS_WRITE_MODE_NONE};
    std::atomic<uint32_t> dataMode{1};
    char basePath[kPathMax] = {};
    char dcimPath[kPathMax] = {};
    std::mutex eventLock;  // eventPath: written by the storage thread, read by the deletion
    char eventPath[kPathMax] = {};
    char slicePath[kPathMax] = {};
    uint32_t eventStart = 0;
    uint32_t sliceStart = 0;
    uint64_t eventStartMs = 0;
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t bufferSize = 0;
    uint32_t fill = 0;
    uint32_t sliceDuration = 0;
    std::atomic<uint32_t> eventLimit{0};  // s from the event start; 0 ends the event at the next video frame
    std::atomic<uint32_t> maxEventDuration{600};
    std::atomic<uint32_t> preRecordSecs{2};
    uint32_t maxEventsPerDay = 0;
    std::atomic<uint32_t> eventType{0};
    NOXA_MEDIA_INFO_S media{};
    Thread storageThread;
    Thread monitorThread;
    LOG_SEQ_HANDLE logSeq = nullptr;
    std::atomic<uint32_t> ioErrors{0};
    std::atomic<uint32_t> unwritableChecks{0};

    // The storage thread's own.
    std::unique_ptr<uint8_t[]> frame;  // one frame copied out of the ring buffer
    uint32_t frameSize = 0;
    std::vector<uint8_t> zeros;  // audio in data mode 0
    bool retryVideo = false;
    bool retryAudio = false;
    std::atomic<bool> reading{false};
    bool eventOpen = false;
    uint32_t lastKeyDay = 0;
    uint32_t lastFrameSec = 0;
};

// Never destroyed: a process that ends while storage runs must not join or free it under its
// threads.
extern Manager& gMgr;

int InitReal(const char* base);
// The disk monitor (ss_disk_monitor.cpp).
void ResetMonitor();
void DiskMonitorThread();
// Sizes fixed when storing becomes possible.
uint32_t SliceDurationFor(uint32_t gop, uint32_t fps);
uint32_t BufferSizeFor(const NOXA_MEDIA_INFO_S& media);

}  // namespace ss
