// Download of a stored event to a viewer: the slot's download task sends every record of the
// event's slices, in order, through the transfer module, then tells the viewer it is finished.
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"
#include "ss_internal.h"
#include "ss_slots.h"

#include <cstring>
#include <new>

namespace ss {

namespace {

constexpr size_t kTaskStack = 512 * 1024;
constexpr uint32_t kPauseMs = 50;
constexpr uint32_t kRecordGapMs = 5;
constexpr uint32_t kFinished = 100;

// __ss_dl_clear: the slot takes a new download.
void ClearDownload(Slot& s)
{
    std::lock_guard<std::mutex> lock(s.dlLock);
    s.dlRunning.store(0);
    s.dlStatus.store(SS_DL_IDLE);
    s.dlPath[0] = '\0';
    s.dlDir[0] = '\0';
    s.dlLast = 0;
}

// Sends one slice; false when a send failed (the viewer is gone: the task ends).
bool SendSlice(Slot& s, uint32_t slot, FILE* f)
{
    bool pauseLogged = false;
    while (s.dlRunning.load() == 1) {
        if (s.dlStatus.load() == SS_DL_PAUSE) {
            if (!pauseLogged) {
                PR_DEBUG("index[%u] cur pause", slot);
                pauseLogged = true;
            }
            uni_sleep_ms(kPauseMs);
            continue;
        }
        pauseLogged = false;
        STORAGE_FRAME_HEAD_S h{};
        if (!ReadHead(f, &h)) {
            return true;
        }
        if (h.size > s.dlBufSize) {
            PR_ERR("frame size too big[%u]", h.size);
            return true;
        }
        if (fread(s.dlBuf.get(), 1, h.size, f) != h.size) {
            return true;
        }
        if (noxa_ipc_4_app_download_data(slot, &h, s.dlBuf.get()) != 0) {
            PR_ERR("download data failed, exit task");
            return false;
        }
        uni_sleep_ms(kRecordGapMs);
    }
    return true;
}

void DownloadTask(uint32_t slot)
{
    Slot& s = gSlots[slot];
    char day[kPathMax];
    char dir[kNameMax];
    uint32_t last = 0;
    {
        std::lock_guard<std::mutex> lock(s.dlLock);
        memcpy(day, s.dlPath, sizeof(day));
        memcpy(dir, s.dlDir, sizeof(dir));
        last = s.dlLast;
    }
    for (uint32_t i = 0; i <= last && s.dlRunning.load() == 1; ++i) {
        char path[kPathMax];
        FILE* f = FmtPath(path, "%s/%s/%04u.media", day, dir, i) ? OpenFile(path, "rb") : nullptr;
        if (f == nullptr) {
            continue;
        }
        PR_DEBUG("open new file %s", path);
        bool sent = SendSlice(s, slot, f);
        fclose(f);
        if (!sent) {
            ClearDownload(s);
            return;
        }
    }
    // The slot takes the viewer's next download as soon as it hears of this one's end.
    const bool whole = s.dlRunning.load() == 1;
    ClearDownload(s);
    if (whole) {
        PR_NOTICE("send stop to app");
        noxa_ipc_4_app_download_status(slot, kFinished);
    }
}

}  // namespace

void CancelDownload(Slot& s)
{
    s.dlRunning.store(0);
    s.dlTask.Join();
    ClearDownload(s);
    s.dlBuf.reset();
    s.dlBufSize = 0;
}

}  // namespace ss

using namespace ss;

int noxa_ipc_ss_donwload_pre(uint32_t slot, const uint32_t* range)
{
    // Without storage there is no DCIM: the search would start at the board's root.
    if (!StoringPossible()) {
        PR_ERR("stream storage not inited");
        return -1;
    }
    if (range == nullptr) {
        return -1;
    }
    if (slot >= SS_PB_SLOT_NUM) {
        return -2;
    }
    Slot& s = gSlots[slot];
    std::lock_guard<std::mutex> control(s.control);
    if (s.dlRunning.load() != 0) {
        PR_ERR("curr pb %u already start[%u].", slot, s.dlStatus.load());
        return -2;
    }
    const uint32_t start = range[0];
    char day[kPathMax];
    char name[kNameMax];
    if (!DayPath(day, Dcim(), start) || !FindEventDir(day, start, name)) {
        PR_ERR("cant find file time[%u]", start);
        return -1;
    }
    // An open event sends up to its newest slice, a closed one up to its duration (a slice can
    // begin in the very second the event ends).
    const int last = EventDuration(day, name);
    PR_DEBUG("dlEventSize [%d]", last + 1);
    std::lock_guard<std::mutex> lock(s.dlLock);
    memcpy(s.dlPath, day, sizeof(day));
    memcpy(s.dlDir, name, sizeof(name));
    s.dlLast = last < 0 ? 0 : static_cast<uint32_t>(last);
    return 0;
}

int noxa_ipc_ss_download_set_status(uint32_t slot, int status)
{
    if (slot >= SS_PB_SLOT_NUM) {
        return -2;
    }
    Slot& s = gSlots[slot];
    std::lock_guard<std::mutex> control(s.control);
    if (s.inited.load() == 0) {
        PR_ERR("pb index[%u] not init", slot);
        return -2;
    }
    const uint32_t cur = s.dlStatus.load();
    if (status >= 0 && static_cast<uint32_t>(status) == cur) {
        PR_ERR("stat already set [%d]", status);
        return -1;
    }
    switch (status) {
    case SS_DL_START: {
        if (s.dlRunning.load() == 1) {
            s.dlStatus.store(SS_DL_START);
            return 0;
        }
        {
            std::lock_guard<std::mutex> lock(s.dlLock);
            if (s.dlDir[0] == '\0') {
                PR_ERR("index [%u] no download prepared", slot);
                return -1;
            }
        }
        s.dlTask.Join();  // the last download's task has ended
        const uint32_t size = SlotFrameSize();
        if (s.dlBufSize != size) {
            s.dlBuf.reset(new (std::nothrow) uint8_t[size]);
            s.dlBufSize = s.dlBuf ? size : 0;
        }
        if (!s.dlBuf) {
            return -1;
        }
        s.dlStatus.store(SS_DL_START);
        s.dlRunning.store(1);
        char name[16];
        snprintf(name, sizeof(name), "ss_dl%u", slot);
        if (!s.dlTask.Start(name, kTaskStack, [slot] { DownloadTask(slot); })) {
            ClearDownload(s);
            return -1;
        }
        return 0;
    }
    case SS_DL_STOP:
    case SS_DL_PAUSE:
        s.dlStatus.store(static_cast<uint32_t>(status));
        return 0;
    case SS_DL_RESUME:
        s.dlStatus.store(SS_DL_RESUME);
        if (cur != SS_DL_PAUSE) {
            PR_ERR("index [%u] cur not in pause", slot);
            return -1;
        }
        return 0;
    case SS_DL_CANCLE:
        CancelDownload(s);
        return 0;
    default:
        PR_ERR("not support stat[%d]", status);
        return -1;
    }
}
