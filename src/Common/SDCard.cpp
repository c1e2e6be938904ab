#include "SDCard.h"
#include "AppThread.h"

#include "AppLog.h"
#include "AppState.h"
#include "ConfigFileParse.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "RecordFile.h"
#include "platform/board.h"
#include "platform/board_card.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

SD_CARD_LINKS_S gSdCardLinks = {};

namespace {

// A unit's mount table is a few hundred bytes; the bound keeps a runaway table from costing
// memory, and the card's line is searched in all of what was read.
constexpr size_t kMountTableMax = 8192;
constexpr size_t kDeviceNameMax = 15;
constexpr const char* kCardDevicePrefix = "/dev/mmcblk";

std::atomic<uint8_t> gFormatting{0};

std::mutex gDeviceNameMutex;
std::string gDeviceName = kSdDevice;

// Card thread only.
bool gCardMounted = false;
uint32_t gTracedState = 0xFFFFFFFFu;

struct FREE_SIZE_KIND_S {
    const char* BaseDir;
    const char* Extension;  // with its dot
    uint64_t ThresholdKib;
    bool Video;  // names carry a start and an end time
};

constexpr FREE_SIZE_KIND_S kRecordKind = {kRecordBaseDir, ".mp4", kRecordFreeThresholdKib, true};
constexpr FREE_SIZE_KIND_S kPictureKind = {kPictureBaseDir, ".jpg", kPictureFreeThresholdKib, false};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

void __SetDeviceName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(gDeviceNameMutex);
    gDeviceName = name;
}

std::vector<std::string_view> __Fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t') {
            ++j;
        }
        if (j > i) {
            fields.push_back(line.substr(i, j - i));
        }
        i = j;
    }
    return fields;
}

bool __HasOption(std::string_view options, std::string_view option)
{
    size_t i = 0;
    while (i <= options.size()) {
        size_t j = options.find(',', i);
        if (j == std::string_view::npos) {
            j = options.size();
        }
        if (options.substr(i, j - i) == option) {
            return true;
        }
        i = j + 1;
    }
    return false;
}

// The state the card's own line of the mount table gives (the last line on "/mnt/sdcard" is the
// one in force); the device name is taken from it.
uint32_t __StateFromTable(const char* table, std::string* deviceName)
{
    std::string_view rest(table);
    std::vector<std::string_view> card;
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        std::vector<std::string_view> fields = __Fields(line);
        if (fields.size() >= 4 && fields[1] == kSdMountPoint) {
            card = fields;
        }
    }
    if (card.empty() || card[0].compare(0, std::strlen(kCardDevicePrefix), kCardDevicePrefix) != 0 ||
        card[0].size() > kDeviceNameMax) {
        return SD_STATUS_ABNORMAL;
    }
    *deviceName = std::string(card[0]);
    if (card[2] != "vfat" || __HasOption(card[3], "ro") || !__HasOption(card[3], "rw")) {
        return SD_STATUS_ABNORMAL;
    }
    return SD_STATUS_NORMAL;
}

const FREE_SIZE_KIND_S* __Kind(int kind)
{
    if (kind == kFreeSizeRecords) {
        return &kRecordKind;
    }
    if (kind == kFreeSizePictures) {
        return &kPictureKind;
    }
    return nullptr;
}

// Key (year x 10000 + month x 100 + day) of a day folder's name, or -1.
int __DayKey(const char* name)
{
    int year = 0;
    int month = 0;
    int day = 0;
    if (std::sscanf(name, "%04d%02d%02d", &year, &month, &day) != 3 || year < 0 || month < 0 || day < 0) {
        return -1;
    }
    return year * 10000 + month * 100 + day;
}

// A real directory (or a regular file) at the unit path, links not followed.
bool __IsType(const std::string& unitPath, mode_t type)
{
    struct stat st;
    return ::lstat(BoardPath(unitPath).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

struct DAY_DIR_S {
    std::string Name;
    int Key;
};

// Calls `fn` with each day folder of a base folder (real folders named by a date), in listing
// order, until it returns false. False when the base cannot be opened.
template <typename FN>
bool __ForEachDayDir(const char* base, FN fn)
{
    DirPtr d(opendir(BoardPath(base).c_str()));
    if (!d) {
        return false;
    }
    while (struct dirent* e = readdir(d.get())) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
            continue;
        }
        int key = __DayKey(e->d_name);
        if (key >= 0 && __IsType(std::string(base) + "/" + e->d_name, S_IFDIR) && !fn(DAY_DIR_S{e->d_name, key})) {
            break;
        }
    }
    return true;
}

struct DAY_FILE_S {
    std::string Name;
    bool Playable;  // start and end time in the name
    time_t Time;    // local time of the start; 0 when not playable
};

// Reads the times from a file name. The times stand right before the extension: "HHMMSS_HHMMSS"
// for a closed recording, "HHMMSS" for a picture or a recording never closed. A name too short
// for a field is not scanned for it. False when no start time is found.
bool __ScanName(const std::string& name, size_t extPos, bool video, int dayKey, DAY_FILE_S* out)
{
    int t[6] = {};
    int got = 0;
    if (video && extPos >= 13) {
        got = std::sscanf(name.c_str() + extPos - 13, "%02d%02d%02d_%02d%02d%02d", &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
    }
    if (got < 3) {
        got = extPos >= 6 ? std::sscanf(name.c_str() + extPos - 6, "%02d%02d%02d", &t[0], &t[1], &t[2]) : 0;
        if (got < 3) {
            return false;
        }
    }
    out->Name = name;
    out->Playable = got == 6;
    out->Time = 0;
    if (out->Playable) {
        struct tm local = {};
        local.tm_year = dayKey / 10000 - 1900;
        local.tm_mon = dayKey / 100 % 100 - 1;
        local.tm_mday = dayKey % 100;
        local.tm_hour = t[0];
        local.tm_min = t[1];
        local.tm_sec = t[2];
        local.tm_isdst = -1;
        out->Time = mktime(&local);
    }
    return true;
}

// The day's files of a kind, in name order, at most kSdDayFileMax. False when the folder cannot
// be opened.
bool __ListDayFiles(const std::string& dir, int dayKey, const FREE_SIZE_KIND_S& kind, std::vector<DAY_FILE_S>* out)
{
    DirPtr d(opendir(BoardPath(dir).c_str()));
    if (!d) {
        return false;
    }
    const size_t extLen = std::strlen(kind.Extension);
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d.get())) {
        const size_t len = std::strlen(e->d_name);
        if (len < 9 || std::strcmp(e->d_name + len - extLen, kind.Extension) != 0 ||
            !__IsType(dir + "/" + e->d_name, S_IFREG)) {
            continue;
        }
        names.emplace_back(e->d_name);
        if (names.size() >= kSdDayFileMax) {
            break;
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        DAY_FILE_S f;
        if (!__ScanName(name, name.size() - extLen, kind.Video, dayKey, &f)) {
            continue;
        }
        out->push_back(f);
    }
    return true;
}

// Removes a folder with everything in it, through the file-system calls: the names come from
// the card and never reach a shell.
int __RemoveTree(const std::string& dir)
{
    std::error_code ec;
    std::filesystem::remove_all(BoardPath(dir), ec);
    if (ec) {
        APP_ERR("cannot remove %s: %s", dir.c_str(), ec.message().c_str());
        return -1;
    }
    return 0;
}

// Free space of the card in KiB (free blocks, reserved ones included); statfs gets a second try.
int __CardFreeKib(uint64_t* kib)
{
    struct statfs st;
    if (BoardStatfs(kSdMountPoint, &st) != 0) {
        std::perror("~");
        if (BoardStatfs(kSdMountPoint, &st) != 0) {
            return -1;
        }
    }
    *kib = static_cast<uint64_t>(st.f_bfree) * static_cast<uint64_t>(st.f_frsize) / 1024;
    return 0;
}

bool __FreeAbove(uint64_t thresholdKib)
{
    uint64_t kib = 0;
    return __CardFreeKib(&kib) == 0 && kib > thresholdKib;
}

void __StopRecording()
{
    if (gSdCardLinks.RecordState == nullptr || gSdCardLinks.RecordState() == 0) {
        return;
    }
    gDeviceState.RecordTimer = kCountdownStopped;
    if (gSdCardLinks.RecordStop != nullptr) {
        gSdCardLinks.RecordStop();  // MP4RecordStop of the recorder
    }
}

void __ReportState(uint32_t state)
{
    if (gAppState.Online == 0) {
        return;
    }
    if (gSdCardLinks.ReportState != nullptr) {
        gSdCardLinks.ReportState(state);  // IPC_APP_report_sd_status_changed (data point 110)
    }
}

// The motion alarm runs while it is allowed and the camera shows door 0, and stops otherwise;
// it is not started into a call or a talk.
void __MotionAlarmUpkeep()
{
    // GetMDMsgState and NoxaMDMsgHandle of the motion detection.
    if (gSdCardLinks.MotionAlarmState == nullptr || gSdCardLinks.MotionAlarmSwitch == nullptr) {
        return;
    }
    const bool allowed = MotionAlarmAllowed() != 0 || MotionRecordAllowed() != 0;
    const bool active = gSdCardLinks.MotionAlarmState() != 0;
    const bool door1 = gCurrentDoor == 1;
    if (allowed && !active && !door1) {
        const uint16_t main = GetSystemMainState();
        if (main != SYS_STATE_TALK && main != SYS_STATE_CALL) {
            gSdCardLinks.MotionAlarmSwitch(1);
        }
    } else if (active && (!allowed || door1)) {
        gSdCardLinks.MotionAlarmSwitch(0);
    }
}

void __SdUpgradeHandOver()
{
    if (BoardAccess(kSdUpgradeFile, F_OK) != 0) {
        return;
    }
    char chip[64] = {};
    char device[64] = {};
    if (GetProfileString(kSdUpgradeFile, "upgrade", "CHIP", chip, sizeof(chip)) != 0 ||
        GetProfileString(kSdUpgradeFile, "upgrade", "DEVICE", device, sizeof(device)) != 0) {
        return;
    }
    APP_DBG("Get Upgrade File (%s) (%s)", chip, device);
    if (std::strcmp(chip, "KR4172") != 0 || std::strcmp(device, "TB017D") != 0) {
        return;
    }
    // The marker and the tools are for the system's upgrader, which takes over once the
    // application is gone.
    FILE* marker = BoardFopen(kSdUpgradeMarker, "w");
    if (marker != nullptr) {
        std::fclose(marker);
    }
    BoardSystem("cp /usr/bin/flashcp /dev");
    BoardSystem("cp /bin/busybox /dev");
    BoardSystem("killall -9 Tools");
    BoardSystem("killall -9 app");
}

}  // namespace

uint32_t GetSDCardState()
{
    FILE* dev = BoardFopen(kSdDevice, "rb");
    if (dev == nullptr) {
        return SD_STATUS_NO_CARD;
    }
    std::fclose(dev);
    std::string name = kSdDevice;
    if (BoardAccess(kSdPartition, F_OK) == 0) {
        name += "p1";
    }
    FILE* mounts = BoardFopen("/proc/mounts", "r");
    if (mounts == nullptr) {
        __SetDeviceName(name);
        return SD_STATUS_NO_TABLE;
    }
    char table[kMountTableMax + 1];
    size_t n = 0;
    while (n < kMountTableMax) {
        size_t got = std::fread(table + n, 1, kMountTableMax - n, mounts);
        if (got == 0) {
            break;
        }
        n += got;
    }
    std::fclose(mounts);
    table[n] = '\0';
    uint32_t state = __StateFromTable(table, &name);
    __SetDeviceName(name);
    if (state != SD_STATUS_NORMAL) {
        return state;
    }
    return BoardAccess(name.c_str(), F_OK) == 0 ? SD_STATUS_NORMAL : SD_STATUS_ABNORMAL;
}

std::string GetSDCardDeviceName()
{
    std::lock_guard<std::mutex> lock(gDeviceNameMutex);
    return gDeviceName;
}

void SetSDCardDeviceName(const std::string& name)
{
    __SetDeviceName(name);
}

void InitSDCard()
{
    const uint32_t state = GetSDCardState();
    if (state == SD_STATUS_NO_CARD || state == SD_STATUS_NO_TABLE) {
        APP_INFO("no SD card to mount (state %u)", state);
        return;
    }
    if (BoardAccess(kSdMountPoint, F_OK) != 0) {
        BoardSystem("mkdir /mnt/sdcard");  // a mount point that is there already is no error
    }
    int rc = BoardSystem("mount -t vfat /dev/mmcblk0p1 /mnt/sdcard");
    APP_INFO("mount %s on %s: %d, state %u", kSdPartition, kSdMountPoint, rc, GetSDCardState());
    __SdUpgradeHandOver();
}

uint8_t SDCardFormatting()
{
    return gFormatting;
}

int SDCardFormat()
{
    const uint32_t state = GetSDCardState();
    if (state == SD_STATUS_NO_CARD || state == SD_STATUS_NO_TABLE) {
        return -1;
    }
    gFormatting = 1;
    __StopRecording();
    int rc = 0;
    {
        // No picture is written into the card while it is formatted.
        MP4RecordWriteLock lock;
        BoardSystem("umount /mnt/sdcard");
        const int mkfs = BoardSystem("mkfs.vfat /dev/mmcblk0p1");
        const int mount = BoardSystem("mount -t vfat /dev/mmcblk0p1 /mnt/sdcard");
        // A format that failed is a failure even when the card mounts again.
        rc = mkfs != 0 ? mkfs : mount;
    }
    gFormatting = 0;
    return rc;
}

int FreeSize(int kind)
{
    const FREE_SIZE_KIND_S* k = __Kind(kind);
    if (k == nullptr) {
        return -1;
    }
    if (GetSDCardState() != SD_STATUS_NORMAL) {
        APP_ERR("SD Card abnormal");
        return -1;
    }
    uint64_t freeKib = 0;
    if (__CardFreeKib(&freeKib) != 0) {
        return -1;
    }
    if (freeKib > k->ThresholdKib) {
        if (kind == kFreeSizeRecords) {
            ClearBadFile();
        }
        return 0;
    }
    // Oldest day first. Each day folder is visited once per call (one whose removal fails is not
    // picked again), and the call ends at 30 removals or as soon as the space suffices.
    std::set<std::string> visited;
    int removed = 0;
    for (;;) {
        DAY_DIR_S oldest = {"", -1};
        __ForEachDayDir(k->BaseDir, [&](const DAY_DIR_S& day) {
            if (visited.count(day.Name) == 0 &&
                (oldest.Key < 0 || day.Key < oldest.Key || (day.Key == oldest.Key && day.Name < oldest.Name))) {
                oldest = day;
            }
            return true;
        });
        if (oldest.Key < 0) {
            break;
        }
        visited.insert(oldest.Name);
        const std::string dir = std::string(k->BaseDir) + "/" + oldest.Name;
        APP_DBG("Oldest Dir Name = %s", dir.c_str());
        std::vector<DAY_FILE_S> files;
        if (!__ListDayFiles(dir, oldest.Key, *k, &files)) {
            APP_ERR("fail to open dir %s", dir.c_str());
            return -1;
        }
        if (files.empty()) {
            __RemoveTree(dir);
            continue;
        }
        for (const auto& f : files) {
            if (!f.Playable) {
                APP_DBG("this file cannot play");
            }
        }
        // Unplayable files (time 0) go first; equal times keep their name order.
        std::stable_sort(files.begin(), files.end(), [](const DAY_FILE_S& a, const DAY_FILE_S& b) { return a.Time < b.Time; });
        bool enough = false;
        size_t next = 0;
        int removedHere = 0;
        while (next < files.size() && !enough) {
            const std::string path = dir + "/" + files[next++].Name;
            APP_DBG("Delete %s", path.c_str());
            if (BoardUnlink(path.c_str()) != 0) {
                APP_ERR("cannot delete %s: %s", path.c_str(), std::strerror(errno));
                continue;
            }
            ++removed;
            ++removedHere;
            enough = removed >= kFreeSizeMaxRemovals || __FreeAbove(k->ThresholdKib);
        }
        if (next < files.size()) {
            break;  // the day still holds files
        }
        if (__RemoveTree(dir) == 0) {
            APP_DBG("Delete %d File", removedHere);
        }
        if (enough) {
            break;
        }
    }
    BoardSync();
    return 0;
}

int ClearBadFile()
{
    // A card that never held a recording has no record folder yet: nothing to clear.
    if (BoardAccess(kRecordBaseDir, F_OK) != 0 && errno == ENOENT) {
        return 0;
    }
    std::vector<DAY_DIR_S> days;
    const bool listed = __ForEachDayDir(kRecordBaseDir, [&](const DAY_DIR_S& day) {
        days.push_back(day);
        return days.size() < kSdDayDirMax;
    });
    if (!listed) {
        APP_ERR("fail to open dir");
        return -1;
    }
    std::sort(days.begin(), days.end(), [](const DAY_DIR_S& a, const DAY_DIR_S& b) { return a.Name < b.Name; });
    for (const auto& day : days) {
        const std::string dir = std::string(kRecordBaseDir) + "/" + day.Name;
        APP_DBG("Oldest Dir Name = %s", dir.c_str());
        std::vector<DAY_FILE_S> files;
        if (!__ListDayFiles(dir, day.Key, kRecordKind, &files)) {
            APP_ERR("fail to open dir %s", dir.c_str());
            return -1;
        }
        int good = 0;
        for (const auto& f : files) {
            if (f.Playable) {
                ++good;
                continue;
            }
            const std::string path = dir + "/" + f.Name;
            // A recording cut by a power loss keeps what its complete fragments hold.
            const int kept = gSdCardLinks.RecoverRecording != nullptr ? gSdCardLinks.RecoverRecording(path.c_str()) : -1;
            if (kept >= 0) {
                ++good;
                continue;
            }
            APP_DBG("this file cannot play %s", path.c_str());
            BoardUnlink(path.c_str());
        }
        if (good == 0) {
            __RemoveTree(dir);
        }
    }
    return 0;
}

int SaveImageToSDCard(const uint8_t* data, uint32_t length)
{
    if (data == nullptr || length < kSdPictureMinBytes) {
        return -1;
    }
    const uint32_t state = GetSDCardState();
    if (state == SD_STATUS_NO_CARD || state == SD_STATUS_NO_TABLE) {
        return -1;
    }
    MP4RecordWriteLock lock;
    // Only onto a card mounted read-write: a picture written into the bare mount point would
    // fill the unit's own flash.
    if (FreeSize(kFreeSizePictures) != 0) {
        APP_ERR("picture not saved: no usable SD card");
        return -1;
    }
    PICTURE_RECORD_S pic = {};
    MakePictureRecord(&pic);
    APP_DBG("%s %s", pic.Directory, pic.Name);
    APP_DBG("Image File Name: %s", pic.Name);
    char path[sizeof(pic.Directory) + sizeof(pic.Name) + 1];
    std::snprintf(path, sizeof(path), "%s/%s", pic.Directory, pic.Name);
    FILE* f = BoardFopen(path, "wb+");
    if (f == nullptr) {
        APP_ERR("cannot open %s: %s", path, std::strerror(errno));
        return -1;
    }
    const bool written = std::fwrite(data, 1, length, f) == length;
    if (std::fclose(f) != 0 || !written) {
        // A cut JPEG shows as a broken picture: none is better.
        APP_ERR("cannot write %s", path);
        BoardUnlink(path);
        return -1;
    }
    BoardSync();
    return 0;
}

uint64_t GetSystemTimeMs()
{
    struct timeval tv = {};
    BoardGetTimeOfDay(&tv);
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

void CardDetPass()
{
    if (gFormatting != 0) {
        return;
    }
    __MotionAlarmUpkeep();
    const uint32_t state = GetSDCardState();
    // The state every 100 ms would bury the log: it is traced when it changes.
    if (state != gTracedState) {
        AppLogPrint(APP_LOG_BLUE, "CardDetThread", "%d", static_cast<int>(state));
        gTracedState = state;
    }
    switch (state) {
    case SD_STATUS_NORMAL:
        if (!gCardMounted) {
            __ReportState(state);
            gCardMounted = true;
            if (gSdCardLinks.RecoverRecordings != nullptr) {
                gSdCardLinks.RecoverRecordings();  // MP4RecoverRecordings of the recorder
            }
        }
        break;
    case SD_STATUS_ABNORMAL:
        if (MotionAlarmAllowed() == 0 && gSdCardLinks.MotionAlarmState != nullptr &&
            gSdCardLinks.MotionAlarmSwitch != nullptr && gSdCardLinks.MotionAlarmState() != 0) {
            gSdCardLinks.MotionAlarmSwitch(0);  // NoxaMDMsgHandle(0) of the motion detection
        }
        BoardUmount(kSdMountPoint);
        BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr);
        break;
    case SD_STATUS_NO_CARD:
        __StopRecording();
        if (gCardMounted) {
            gCardMounted = false;
            BoardUmount(kSdMountPoint);
            __ReportState(state);
        }
        break;
    default:
        break;
    }
}

void* CardDetThread(void*)
{
    prctl(PR_SET_NAME, "CardDetThread");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    for (;;) {
        CardDetPass();
        std::this_thread::sleep_for(std::chrono::milliseconds(kCardDetPeriodMs));
    }
    return nullptr;
}

int StartCardDet()
{
    return AppStartDetachedThread(CardDetThread);
}
