// The disk monitor: once a second it asks the application about the card, tests that it can be
// written, reports the card state on data point 110, makes storing possible the first time the
// card is usable, and deletes the oldest events while space runs low. Also the deletion itself.
//
// The deletion walks only the storage's own layout under DCIM: 4-digit year, 2-digit month and
// day folders, 15-character event folders. Anything else there (the application's picture
// folders) is never opened or removed. Folders are removed with rmdir, files one by one: nothing
// is ever removed recursively.
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "platform/board_path.h"
#include "ss_internal.h"
#include "ss_manager.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace ss {

namespace {

// Card states as the write test refines them; the hook's own values pass through.
enum SD_STATE_E : int {
    kSdUnknown = 0,
    kSdNormal = 1,
    kSdAbnormal = 2,
    kSdLackSpace = 3,
    kSdNoCard = 5,
};

constexpr uint8_t kDpSdStatus = 110;
constexpr uint32_t kLowSpaceKb = 20480;
constexpr uint32_t kEnoughSpaceKb = 102400;
constexpr uint64_t kTestRetryMs = 10000;
constexpr uint32_t kCapacityEvery = 10;
constexpr uint32_t kFsErrorReportAfter = 11;
constexpr uint32_t kRoundMs = 1000;
constexpr uint32_t kRoundSliceMs = 50;
constexpr int kRemoveTries = 10;
constexpr useconds_t kRemoveGapUs = 100;
constexpr uint32_t kSkipEscalateAfter = 4;
constexpr uint32_t kDeleteAllSixLimit = 10;
constexpr uint32_t kDeleteAllWaitMs = 500;
constexpr uint8_t kSeqFsErr = 8;

struct MonitorState {
    int lastReported = kSdUnknown;
    int lastTest = kSdUnknown;
    uint64_t lastTestMs = 0;
    bool forceTest = true;
    uint32_t round = 0;
    bool capacityNext = false;
    bool lowReported = false;
    uint32_t fsErrors = 0;
};
MonitorState sMon;

// Levels of the search: 0 years in DCIM, 1 months, 2 days, 3 events.
constexpr int kLevels = 4;
struct DeleteState {
    uint32_t skip[kLevels] = {};    // entries at or below it are passed over
    uint32_t chosen[kLevels] = {};  // the entry taken last time
    uint32_t fails[kLevels] = {};
};
std::mutex sDeleteLock;
DeleteState sDel;

void Report(int value)
{
    int32_t v = value;
    int rc = noxa_ipc_dp_report(nullptr, kDpSdStatus, PROP_VALUE, &v, 1);
    if (rc != 0) {
        PR_ERR("report sd status %d failed %d", value, rc);
    }
}

int CardStatus()
{
    return gNoxaSsSdHooks.CardStatus != nullptr ? gNoxaSsSdHooks.CardStatus() : kSdUnknown;
}

int RecordMode()
{
    return gNoxaSsSdHooks.RecordMode != nullptr ? gNoxaSsSdHooks.RecordMode() : SS_WRITE_MODE_NONE;
}

uint32_t FreeKb()
{
    uint32_t total = 0;
    uint32_t used = 0;
    uint32_t free = 0;
    if (gNoxaSsSdHooks.Capacity != nullptr) {
        gNoxaSsSdHooks.Capacity(&total, &used, &free);
    }
    return free;
}

const char* MountPath()
{
    const char* p = gNoxaSsSdHooks.MountPath != nullptr ? gNoxaSsSdHooks.MountPath() : nullptr;
    return p != nullptr ? p : "";
}

bool RemoveDir(const char* unitPath)
{
    return ::rmdir(BoardPath(unitPath).c_str()) == 0;
}

// The card can be written: a folder made and removed on it.
int WriteTest()
{
    char path[kPathMax];
    if (!FmtPath(path, "%s/.noxa_sd_test", MountPath())) {
        return kSdAbnormal;
    }
    if (::access(BoardPath(path).c_str(), F_OK) == 0 && !RemoveDir(path)) {
        PR_ERR("left-over %s cannot be removed, errno %d", path, errno);
        return kSdAbnormal;
    }
    if (::mkdir(BoardPath(path).c_str(), 0755) != 0) {
        int err = errno;
        if (FreeKb() >= kLowSpaceKb) {
            PR_ERR("mkdir test fail. test_path = %s, errno %d\n", path, err);
            return kSdAbnormal;
        }
        PR_ERR("sdcard is full ,mkidr test fail\n");
        return kSdLackSpace;
    }
    return RemoveDir(path) ? kSdNormal : kSdAbnormal;
}

int CardResult()
{
    int state = CardStatus();
    if (state == kSdNoCard) {
        sMon.forceTest = true;  // a card put back in is tested again
    }
    if (state != kSdNormal) {
        return state;
    }
    uint64_t now = uni_get_tick_ms();
    bool recentFail = sMon.lastTest != kSdNormal && sMon.lastTestMs != 0 && now - sMon.lastTestMs < kTestRetryMs;
    if (!sMon.forceTest && (sMon.lastTest == kSdNormal || recentFail)) {
        return sMon.lastTest;
    }
    sMon.forceTest = false;
    sMon.lastTest = WriteTest();
    sMon.lastTestMs = now != 0 ? now : 1;
    return sMon.lastTest;
}

void CardChanged(int result)
{
    PR_NOTICE("report sd status %d -> %d\n", sMon.lastReported, result);
    sMon.lastReported = result;
    Report(result);
    if (result != kSdNormal) {
        if (StoringPossible()) {
            noxa_ipc_ss_set_write_mode(SS_WRITE_MODE_NONE);
        }
        return;
    }
    if (gMgr.state.load() == kInited) {
        InitReal(gMgr.basePath);
    }
    int mode = RecordMode();
    if (mode == SS_WRITE_MODE_EVENT || mode == SS_WRITE_MODE_ALL) {
        char dcim[kPathMax];
        if (FmtPath(dcim, "%s/DCIM", MountPath()) && !IsDir(dcim)) {
            MakeDirs(dcim);
        }
        noxa_ipc_ss_set_write_mode(static_cast<uint32_t>(mode));
    }
}

void WatchSpace()
{
    if (RecordMode() == SS_WRITE_MODE_ALL && gMgr.status.load() == E_STORAGE_UNWRITEABLE) {
        noxa_ipc_ss_set_write_mode(SS_WRITE_MODE_ALL);  // try again after an error
    }
    if (++sMon.round < kCapacityEvery && !sMon.capacityNext) {
        return;
    }
    sMon.round = 0;
    sMon.capacityNext = false;
    const uint32_t free = FreeKb();
    bool justLow = false;
    if (free < kLowSpaceKb) {
        if (!sMon.lowReported) {
            PR_NOTICE("sd card free %u KB <= %u KB, report abnormal state.", free, kLowSpaceKb);
            Report(kSdAbnormal);
            sMon.lowReported = true;
            justLow = true;
        }
    } else if (free > kLowSpaceKb && sMon.lowReported) {
        PR_NOTICE("sd card return back to normal capacity state.");
        Report(kSdNormal);
        sMon.lowReported = false;
    }
    if (free >= kEnoughSpaceKb || justLow) {
        return;
    }
    int rc = noxa_ipc_ss_delete_oldest_event();
    if (rc == 4) {
        sMon.capacityNext = true;  // look again a second later rather than ten
    } else if (rc == 6) {
        if (gMgr.logSeq != nullptr) {
            LOG_SEQ_ENTRY_S e = log_seq_str(kSeqFsErr, "fs_err");
            insert_log_seq(gMgr.logSeq, &e);
        }
        if (gNoxaSsSdHooks.Remount != nullptr) {
            gNoxaSsSdHooks.Remount();
        }
        if (RecordMode() == SS_WRITE_MODE_ALL) {
            noxa_ipc_ss_set_write_mode(SS_WRITE_MODE_ALL);
        }
        if (++sMon.fsErrors >= kFsErrorReportAfter) {
            Report(kSdAbnormal);
            sMon.fsErrors = 0;
        }
    }
}

// One entry given up on: passed over from now on; after more than four at one level, its whole
// parent is passed over instead.
void Fail(int level, uint32_t value)
{
    sDel.skip[level] = value;
    for (int d = level + 1; d < kLevels; ++d) {
        sDel.skip[d] = 0;
        sDel.fails[d] = 0;
    }
    if (++sDel.fails[level] > kSkipEscalateAfter && level > 0) {
        PR_ERR("Can't remove! Skip dir happend!! deep-name : %d-%u\n", level - 1, sDel.chosen[level - 1]);
        sDel.skip[level - 1] = sDel.chosen[level - 1];
        sDel.skip[level] = 0;
        sDel.fails[level] = 0;
    }
}

bool RemoveEntry(const char* unitPath)
{
    const std::string path = BoardPath(unitPath);
    for (int i = 0; i < kRemoveTries; ++i) {
        if (::access(path.c_str(), F_OK) != 0) {
            return true;
        }
        ::remove(path.c_str());
        usleep(kRemoveGapUs);
    }
    if (::access(path.c_str(), F_OK) != 0) {
        return true;
    }
    PR_ERR("delete file %s failed", unitPath);
    return false;
}

// The folder holds nothing left to delete: removed when it is really empty. 1..3, or 6.
int RemoveEmpty(const char* path, int level, uint32_t value)
{
    if (RemoveDir(path)) {
        PR_NOTICE("remove empty dir %s", path);
        return level;
    }
    PR_ERR("remove empty dir %s failed!\n", path);
    Fail(level - 1, value);
    return 6;
}

// The smallest entry of `digits` digits above the level's skip value; false when none. `any`
// tells whether the folder holds such entries at all.
bool Smallest(const std::vector<std::string>& names, size_t digits, uint32_t skip, uint32_t* value,
              std::string* name, bool* any)
{
    bool found = false;
    *any = false;
    for (const std::string& n : names) {
        uint32_t v = 0;
        if (!DigitsName(n.c_str(), digits, &v)) {
            continue;
        }
        *any = true;
        if (v > skip && (!found || v < *value)) {
            *value = v;
            *name = n;
            found = true;
        }
    }
    return found;
}

void Choose(int level, uint32_t value)
{
    if (sDel.chosen[level] != value) {
        sDel.chosen[level] = value;
        for (int d = level + 1; d < kLevels; ++d) {
            sDel.skip[d] = 0;
            sDel.fails[d] = 0;
        }
    }
}

int DeleteEvent(const char* day, const std::string& name, uint32_t start)
{
    char event[kPathMax];
    if (!FmtPath(event, "%s/%s", day, name.c_str())) {
        Fail(3, start);
        return 6;
    }
    const uint32_t now = uni_time_get_posix();
    if (now >= start && now <= start + MaxEventDuration()) {
        PR_ERR("current time %u, delete %s dir, should NOT happend", now, event);
        return 5;
    }
    if (RecordingInto(day, name.c_str()) || PlaybackHolds(day, name.c_str())) {
        PR_NOTICE("dir %s is opened for pb, can NOT be deleted now", event);
        return 5;
    }
    std::vector<std::string> files;
    ListDir(event, files);
    for (const std::string& f : files) {
        char file[kPathMax];
        if (!FmtPath(file, "%s/%s", event, f.c_str()) || !RemoveEntry(file)) {
            Fail(3, start);
            return 6;
        }
    }
    if (!RemoveEntry(event)) {
        Fail(3, start);
        return 6;
    }
    PR_NOTICE("remove dir %s", event);
    return 4;
}

int DeleteOldestLocked()
{
    static const char* const kOpen[] = {"open root dir:%s", "open year sub:%s", "open month sub:%s", "open day sub:%s"};
    static const size_t kDigits[] = {4, 2, 2};
    char path[kLevels][kPathMax];
    FmtPath(path[0], "%s", Dcim());
    for (int level = 0; level < 3; ++level) {
        PR_DEBUG(kOpen[level], path[level]);
        std::vector<std::string> names;
        ListDir(path[level], names);
        uint32_t value = 0;
        std::string name;
        bool any = false;
        if (!Smallest(names, kDigits[level], sDel.skip[level], &value, &name, &any)) {
            if (level > 0) {
                return RemoveEmpty(path[level], level, sDel.chosen[level - 1]);
            }
            if (!any) {
                return 0;
            }
            // Every year was passed over: the next search starts from the top again.
            sDel = DeleteState{};
            return 6;
        }
        Choose(level, value);
        if (!FmtPath(path[level + 1], "%s/%s", path[level], name.c_str())) {
            Fail(level, value);
            return 6;
        }
    }
    PR_DEBUG(kOpen[3], path[3]);
    std::vector<std::string> names;
    ListDir(path[3], names);
    bool found = false;
    uint32_t oldest = 0;
    std::string oldestName;
    for (const std::string& n : names) {
        uint32_t start = 0;
        uint32_t duration = 0;
        if (ParseEventName(n.c_str(), &start, &duration) && start > sDel.skip[3] && (!found || start < oldest)) {
            oldest = start;
            oldestName = n;
            found = true;
        }
    }
    if (!found) {
        return RemoveEmpty(path[3], 3, sDel.chosen[2]);
    }
    return DeleteEvent(path[3], oldestName, oldest);
}

}  // namespace

void ResetMonitor()
{
    sMon = MonitorState{};
    std::lock_guard<std::mutex> lock(sDeleteLock);
    sDel = DeleteState{};
}

void DiskMonitorThread()
{
    PR_DEBUG("SD task begin___");
    while (gMgr.state.load() != kNotInited) {
        if (noxa_ipc_ss_disk_monitor_round() != 0) {
            continue;
        }
        for (uint32_t slept = 0; slept < kRoundMs && gMgr.state.load() != kNotInited; slept += kRoundSliceMs) {
            uni_sleep_ms(kRoundSliceMs);
        }
    }
}

}  // namespace ss

using namespace ss;

int noxa_ipc_ss_disk_monitor_round(void)
{
    if (gMgr.state.load() == kNotInited) {
        return 0;
    }
    const int result = CardResult();
    if (result != sMon.lastReported) {
        CardChanged(result);
    }
    if (result == kSdNormal || result == kSdLackSpace) {
        WatchSpace();
    }
    return gMgr.ioErrors.exchange(0) != 0 ? 1 : 0;
}

int noxa_ipc_ss_delete_oldest_event(void)
{
    if (!StoringPossible()) {
        PR_ERR("storage not inited");
        return 5;
    }
    if (!WritableMode(Dcim())) {
        PR_ERR("path not writable");
        return 5;
    }
    std::lock_guard<std::mutex> lock(sDeleteLock);
    return DeleteOldestLocked();
}

int noxa_ipc_ss_delete_all_files(void)
{
    if (!StoringPossible()) {
        PR_ERR("stream storage not inited");
        return -1;
    }
    const uint32_t mode = gMgr.writeMode.load();
    noxa_ipc_ss_set_write_mode(SS_WRITE_MODE_NONE);
    uni_sleep_ms(kDeleteAllWaitMs);
    // A removal that keeps failing would spin here for ever: ten failures in a row end it.
    uint32_t sixes = 0;
    for (;;) {
        int rc = noxa_ipc_ss_delete_oldest_event();
        if (rc == 0 || rc == 5) {
            break;
        }
        sixes = rc == 6 ? sixes + 1 : 0;
        if (sixes >= kDeleteAllSixLimit) {
            PR_ERR("delete all: %u removals failed in a row, stop", sixes);
            break;
        }
    }
    uni_sleep_ms(kDeleteAllWaitMs);
    noxa_ipc_ss_set_write_mode(mode);
    return 0;
}
