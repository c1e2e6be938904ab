// What the cloud side calls back into the application for: a factory reset, a restart, a firmware
// upgrade; and what the application keeps for itself from the cloud: the network indicator on
// the LEDs and the clock (the system clock and the real-time clock hold local time).
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

#include <cstdint>
#include <cstdio>

// Indicator events (SetIndicatorEvent) and the LED pattern each selects.
enum INDICATOR_EVENT_E : int {
    INDICATOR_START = 0,       // pattern 0
    INDICATOR_SNIFFER = 1,     // pattern 3
    INDICATOR_STA_RESUME = 2,  // leaves the pattern
    INDICATOR_STA_JOIN = 3,    // pattern 3
    INDICATOR_ONLINE = 4,      // pattern 2
    INDICATOR_RESET = 5,       // pattern 3
};
constexpr uint32_t kLedPatternUpgrade = 4;

// The upgrade image's path and the installer the system image carries.
constexpr const char* kUpgradeImagePath = "/dev/VN204QH_APP.bin";
constexpr const char* kUpgradeScript = "/customer/upgrade.sh";
// The cloud's upgrade status of a failed upgrade.
constexpr int kUpgradeStatusFailed = 4;

// Prints "curr event:%d" and sets the LED pattern of the event (others leave it).
void SetIndicatorEvent(int event);

// Factory reset (the cloud's reset, the key held for 3 s): device file writes stop and the cloud
// side's store is closed, then the store, the room, push and channel files and the settings are
// removed, the LEDs go dark, and the unit restarts 1 s later. Does not return on the unit.
void IPC_APP_on_reset(GW_RESET_TYPE_E type);
void IPC_APP_on_restart_request(void);

// Firmware upgrade: the recording and the media system stop, the image is downloaded to
// kUpgradeImagePath and the system's installer runs it; the unit restarts afterwards, and also
// after a failure (reported to the cloud as kUpgradeStatusFailed), since the media system is down.
// 0 when the download started.
int IPC_APP_upgrade_inform(const NOXA_FW_INFO_S* fw);
// The download's callbacks (the file is the image's, opened by IPC_APP_upgrade_inform). The data
// callback asks to report offset x 100 / (total + 1) percent; a chunk that cannot be written
// stops the download.
int IPC_APP_upgrade_data(const NOXA_FW_INFO_S* fw, uint32_t total_len, uint32_t offset, const uint8_t* data,
                         uint32_t len, uint32_t* remain_len, void* file);
void IPC_APP_upgrade_finish(const NOXA_FW_INFO_S* fw, int result, void* file);

// The cloud's time into the system clock (local time: UTC + zone + 3600 in summer time) and the
// real-time clock. 0, or the failing call's code (the clocks stay as they were). The forced form
// asks the cloud when the core's clock is not synced; the other only reads the core's clock.
int IPC_APP_Sync_Utc_Time(void);
int SyncUtcTimeFromCore(void);
// The hourly clock row of the timer task: starts SyncUtcTimeFromCore on the door-phone worker,
// one at a time, and returns at once.
void ClockSyncHourly(void);
// Seconds east of UTC the system clock is ahead, summer time included (signed); 0 until synced.
int GetLocalTimeOffset(void);

// Prints the cloud core's local time, summer time applied, as "Dbg:show OSD [YYYY-MM-DD hh:mm:ss]".
// A debugging hook nothing calls. 0, or the time read's failure (nothing printed).
int ShowOsdTime(void);

// Every restart of these callbacks goes through here (SafeReboot; tests replace it).
extern void (*gSystemReboot)(void);

// Fills the links and hooks these callbacks answer (cloud-side start, key, timer task).
void SystemCallbacksInstall();
