#include "SystemCallbacks.h"

#include "AppLog.h"
#include "AppState.h"
#include "AppWorker.h"
#include "ConfigFileParse.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "DoorPhoneLinks.h"
#include "Media/VideoPipeline.h"
#include "NoxaApp.h"
#include "PCF8563.h"
#include "Peripheral.h"
#include "RingKeyDetect.h"
#include "TalkSerial.h"
#include "TimeTask.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "platform/board.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <atomic>
#include <cstdarg>
#include <ctime>
#include <unistd.h>

void (*gSystemReboot)(void) = SafeReboot;

namespace {

// The cloud glue's own lines: "Dbg:" or "Err:" and "\r\n".
__attribute__((format(printf, 1, 2))) void GluePrint(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}
#define GLUE_DBG(fmt, ...) GluePrint("Dbg:" fmt "\r\n", ##__VA_ARGS__)
#define GLUE_ERR(fmt, ...) GluePrint("Err:" fmt "\r\n", ##__VA_ARGS__)

constexpr uint8_t kTalkOrderReset = 5;
constexpr uint32_t kResetRebootMs = 1000;
constexpr int32_t kSummerSeconds = 3600;

// What a factory reset removes, in this order: the cloud side's store, the room, push and channel
// files, the settings.
constexpr const char* kResetCommands[] = {
    "rm /DeviceInfo/noxa/*",
    "rm /DeviceInfo/RoomInfo.conf",
    "rm /DeviceInfo/PushInfo.conf",
    "rm /DeviceInfo/Channel.conf",
    "rm /DeviceInfo/noxa.cfgs/* -r",
};

// Signed: a zone west of UTC is a negative offset, and the clock must go back, not wrap ahead.
std::atomic<int32_t> s_localOffset{0};
std::atomic<bool> s_clockSyncQueued{false};
// One upgrade at a time: a second notice must not tear the first one down.
std::atomic<bool> s_upgrading{false};

void LedsOff()
{
    for (int led = 0; led < 3; ++led) {
        SetLed(led, 0);
    }
}

// A failed upgrade leaves the media system down: the cloud hears of it and the unit restarts.
void UpgradeFailed()
{
    int ret = noxa_ipc_upgrade_progress_status(nullptr, 0, kUpgradeStatusFailed);
    if (ret != 0) {
        GLUE_ERR("upgrade status not sent: %d", ret);
    }
    s_upgrading = false;
    gSystemReboot();
}

int SyncUtcTime(bool force)
{
    TIME_T utc = 0;
    int32_t zone = 0;
    int ret = force ? noxa_ipc_get_service_time_force(&utc, &zone) : noxa_ipc_get_service_time(&utc, &zone);
    if (ret != 0) {
        return ret;
    }
    int dls = 0;
    ret = noxa_ipc_check_in_dls(utc, &dls);
    if (ret != 0) {
        return ret;
    }
    AppLogPrint(APP_LOG_BLUE, "IPC_APP_Sync_Utc_Time", "Get Server Time Success: %lu %d %d",
                static_cast<unsigned long>(utc), zone, dls);
    const int32_t offset = dls * kSummerSeconds + zone;
    struct timeval tv = {};
    tv.tv_sec = static_cast<time_t>(utc) + offset;
    if (BoardSetTimeOfDay(&tv) != 0) {
        APP_ERR("system clock not set");
        return -1;
    }
    s_localOffset = offset;
    tzset();
    // The system clock holds local time as if it were UTC: broken down the same way for the chip.
    struct tm tm = {};
    gmtime_r(&tv.tv_sec, &tm);
    const RTC_TIME_S rtc = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                            tm.tm_min,         tm.tm_sec,     tm.tm_wday};
    if (PCF8563_SetTime(&rtc) != 0) {
        APP_ERR("rtc not set");
    }
    return 0;
}

}  // namespace

void SetIndicatorEvent(int event)
{
    std::printf("curr event:%d\n", event);
    std::fflush(stdout);
    switch (event) {
    case INDICATOR_START:
        SetLedPattern(0);
        break;
    case INDICATOR_SNIFFER:
    case INDICATOR_STA_JOIN:
    case INDICATOR_RESET:
        SetLedPattern(3);
        break;
    case INDICATOR_ONLINE:
        SetLedPattern(2);
        break;
    default:
        break;
    }
}

void IPC_APP_on_reset(GW_RESET_TYPE_E type)
{
    APP_INFO("reset ipc success. please restart the ipc %d", static_cast<int>(type));
    SetIndicatorEvent(INDICATOR_RESET);
    PostTalkCommand(kTalkOrderReset, 0, 0, 0);
    // Nothing may write what the reset removes: a device file or a store write in the second
    // before the restart would bring the old unit back (the store's from its open files, with the
    // key file gone).
    StopDeviceFileWrites();
    const int closed = kvs_factory();
    if (closed != 0) {
        APP_ERR("store not closed: %d", closed);
    }
    for (const char* cmd : kResetCommands) {
        BoardSystem(cmd);
    }
    LedsOff();
    gAppState.ResetFlag = 1;
    BoardIoSleep(kResetRebootMs);
    gSystemReboot();
}

void IPC_APP_on_restart_request(void)
{
    APP_INFO("sdk internal restart request. please restart the ipc");
    gSystemReboot();
}

int IPC_APP_upgrade_inform(const NOXA_FW_INFO_S* fw)
{
    if (fw == nullptr) {
        return -2;
    }
    if (s_upgrading.exchange(true)) {
        GLUE_ERR("an upgrade runs already: %s ignored", fw->sw_ver);
        return -1;
    }
    GLUE_DBG("Rev Upgrade Info");
    GLUE_DBG("fw->fw_url:%s", fw->fw_url);
    GLUE_DBG("fw->fw_md5:%s", fw->fw_md5);
    GLUE_DBG("fw->sw_ver:%s", fw->sw_ver);
    GLUE_DBG("fw->file_size:%u", fw->file_size);
    LedsOff();
    SetLedPattern(kLedPatternUpgrade);
    // The image needs the memory the recorder and the media system hold.
    gDeviceState.RecordTimer = kCountdownStopped;
    DoorPhoneLink(gDoorPhoneLinks.RecordStop);
    MediaSystemDeInit();
    BoardSystem("echo 1 > /proc/sys/vm/drop_caches");
    FILE* file = BoardFopen(kUpgradeImagePath, "w+b");
    if (file == nullptr) {
        GLUE_ERR("cannot open %s", kUpgradeImagePath);
        UpgradeFailed();
        return -1;
    }
    int ret = noxa_ipc_upgrade_download_start(fw, reinterpret_cast<void*>(IPC_APP_upgrade_data),
                                              reinterpret_cast<void*>(IPC_APP_upgrade_finish), file);
    if (ret != 0) {
        GLUE_ERR("download not started: %d", ret);
        std::fclose(file);
        UpgradeFailed();
    }
    return ret;
}

int IPC_APP_upgrade_data(const NOXA_FW_INFO_S* fw, uint32_t total_len, uint32_t offset, const uint8_t* data,
                         uint32_t len, uint32_t* remain_len, void* file)
{
    GLUE_DBG("Rev File Data");
    GLUE_DBG("total_len:%u  fw_url:%s", total_len, fw != nullptr ? fw->fw_url : "");
    GLUE_DBG("Offset:%u Len:%u", offset, len);
    // In 64 bits: offset x 100 passes 32 bits from about 42 MB on.
    const uint64_t percent = static_cast<uint64_t>(offset) * 100 / (static_cast<uint64_t>(total_len) + 1);
    noxa_ipc_upgrade_progress_report(static_cast<uint32_t>(percent));
    auto* f = static_cast<FILE*>(file);
    if (f == nullptr || (len > 0 && data == nullptr) || std::fwrite(data, 1, len, f) != len) {
        // A short write would leave an image the installer must never see.
        GLUE_ERR("image not written at %u", offset);
        return -1;
    }
    if (remain_len != nullptr) {
        *remain_len = 0;
    }
    return 0;
}

void IPC_APP_upgrade_finish(const NOXA_FW_INFO_S* fw, int result, void* file)
{
    auto* f = static_cast<FILE*>(file);
    // The last buffered bytes reach the file at the close: a failure there is a failed image.
    const bool closed = f != nullptr && std::fclose(f) == 0;
    GLUE_DBG("Upgrade Finish");
    GLUE_DBG("download_result:%d fw_url:%s", result, fw != nullptr ? fw->fw_url : "");
    if (result != 0 || !closed) {
        UpgradeFailed();
        return;
    }
    noxa_ipc_upgrade_progress_report(100);
    BoardSystem("sync");
    BoardSystem("echo 1 > /proc/sys/vm/drop_caches");
    if (BoardAccess(kUpgradeScript, F_OK) != 0) {
        GLUE_ERR("no installer %s", kUpgradeScript);
        UpgradeFailed();
        return;
    }
    BoardSystem("cp /customer/upgrade.sh /dev/");
    int status = BoardSystem("/dev/upgrade.sh");
    if (status != 0) {
        GLUE_ERR("installer ends with %d", status);
        UpgradeFailed();
        return;
    }
    s_upgrading = false;
    gSystemReboot();
}

int IPC_APP_Sync_Utc_Time(void)
{
    return SyncUtcTime(true);
}

int SyncUtcTimeFromCore(void)
{
    return SyncUtcTime(false);
}

void ClockSyncHourly(void)
{
    // The timer thread never waits here: the sync runs on the worker, and a sync still queued
    // or running makes a second one pointless.
    if (s_clockSyncQueued.exchange(true)) {
        APP_DBG("clock sync pending, not queued again");
        return;
    }
    bool posted = DoorPhoneWorker().Post([] {
        int ret = SyncUtcTimeFromCore();
        if (ret != 0) {
            APP_DBG("clock not synced: %d", ret);
        }
        s_clockSyncQueued = false;
    });
    if (!posted) {
        s_clockSyncQueued = false;
    }
}

int GetLocalTimeOffset(void)
{
    return s_localOffset.load();
}

int ShowOsdTime(void)
{
    POSIX_TM_S tm = {};
    const int ret = noxa_ipc_get_local_time_dls(&tm);
    if (ret != 0) {
        return ret;
    }
    // The record counts years from 1900 and months from 0.
    GLUE_DBG("show OSD [%04d-%02d-%02d %02d:%02d:%02d]", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec);
    return 0;
}

void SystemCallbacksInstall()
{
    NOXA_APP_LINKS_S& n = gNoxaAppLinks;
    n.SetIndicatorEvent = SetIndicatorEvent;
    n.SyncUtcTime = [] { IPC_APP_Sync_Utc_Time(); };
    n.LocalTimeOffset = GetLocalTimeOffset;
    n.UpgradeInform = IPC_APP_upgrade_inform;
    n.OnReset = IPC_APP_on_reset;
    n.OnRestartRequest = IPC_APP_on_restart_request;
    gKeyResetHandler = [](int type) { IPC_APP_on_reset(static_cast<GW_RESET_TYPE_E>(type)); };
    gTimeTaskClockSync = ClockSyncHourly;
}
