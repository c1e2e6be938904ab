// The user settings the phone changes through data points: one small text file per key in
// "/DeviceInfo/noxa.cfgs" (a number "%d\n", or a text line in the form a shell echo leaves it),
// with the door-phone state words they feed. Also the alarm-zone parser, the SD capacity, the
// unmount and the format worker behind the SD data points, and a few fixed answers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* kCfgDir = "/DeviceInfo/noxa.cfgs";
// Longer zone texts are refused. Six regions take about 260 characters, so the buffers hold 512.
constexpr size_t kZoneTextMax = 512;
// Zone regions are in percent of the picture.
constexpr int kZonePercentMax = 100;

// Every setting file is replaced whole (written aside, synced, renamed in, the folder synced), so a
// power cut leaves the old value or the new one; a value equal to the stored one is not written.
// Number files: written "%d\n" directly (no shell). 0, or -1 when the file could not be written.
int SetCfgInt(const char* key, int value);
// The stored number; a missing, empty or garbled file (anything but one decimal number) reads 0,
// logged once a key until it is written again.
int GetCfgInt(const char* key);
// Text files in the form "echo TEXT > file" leaves them: double quotes removed, runs of blanks
// collapsed to one space, then "\n". 0, or -1.
int SetCfgText(const char* key, const char* text);
// Clears buf and reads one line (at most size - 1 characters) without its newline; a missing
// file leaves buf empty, and so does a garbled one (a longer line, control characters, no UTF-8;
// logged once). 0.
int GetCfgText(const char* key, char* buf, size_t size);
// The echo form of a text, as SetCfgText stores it.
void CfgEchoForm(const char* text, char* out, size_t size);

// Setters store and refresh the state word; getters read back and refresh it.
void IPC_APP_set_watermark_onoff(int on);
uint32_t IPC_APP_get_watermark_onoff();  // 1 when the file is missing, empty or garbled
void IPC_APP_set_alarm_function_onoff(int on);
uint8_t IPC_APP_get_alarm_function_onoff();
void IPC_APP_set_sd_record_onoff(int on);
// A stored 0 stops a running recording.
uint8_t IPC_APP_get_sd_record_onoff();
void IPC_APP_set_sd_record_mode(int mode);
int IPC_APP_get_sd_record_mode();
void IPC_APP_set_alarm_zone_onoff(int on);
int IPC_APP_get_alarm_zone_onoff();
void IPC_APP_set_human_filter(int on);
int IPC_APP_get_human_filter();
void IPC_APP_set_night_mode(const char* text);
const char* IPC_APP_get_night_mode();

// Level from the first of '0', '1', '2' found in the text (in that order); none found stores
// "0" and leaves the caller's text as it is. Hands the level to the motion detection.
void IPC_APP_set_alarm_sensitivity(const char* text);
const char* IPC_APP_get_alarm_sensitivity();
uint8_t GetAlarmSensitivityLevel();

// The zone JSON {"num":n,"region0":{"x","y","xlen","ylen"},...}: n at most 6, text at most 512
// characters of UTF-8; each region in percent (values 0..100, x + xlen and y + ylen at most 100).
// 0 stored and applied; -1 refused (nothing stored, nothing applied).
int IPC_APP_set_alarm_zone_draw(const char* text);
// The cloud form of the stored zone text; it only reads (the zone is applied at start).
const char* IPC_APP_get_alarm_zone_draw();
struct ALARM_ZONE_S {
    uint8_t x, y, xlen, ylen;
};
ALARM_ZONE_S GetAlarmZone();

// SD card.
void GetSdCapacity(uint32_t* total, uint32_t* used, uint32_t* free);
uint32_t GetSdStatus();
// Stops the recording and flushes the file systems first (the phone takes the card out next). 1.
int SdUnmount();
// 0 started; -1 refused while a format runs.
int StartSdFormat();
int SdFormatRunning();
uint32_t GetSdFormatProgress();
void* SdFormatThread(void* arg);
// The worker's body on the caller's thread (tests).
void SdFormatRun();
// The format step: playback and recording stopped, the card formatted. 0, or the failure.
int FormatSdCardStep();

// Fixed answers of a unit without battery or pan/tilt.
constexpr int kBatteryLevel = 80;
constexpr const char* kPowerModeText = "1";

// Values as last stored or restored, for the detection pass, which reads no file.
uint8_t CachedHumanFilter();
uint8_t CachedAlarmZoneOn();
int CachedSdRecordMode();

// Start: the settings into the door-phone state and the stored zone applied (NoxaAppThread's
// restore); nothing is written.
void RestoreNoxaSettings();

// The seam through which the settings reach the rooms that act on them (motion detection, SD
// event storage, recording playback), filled at start-up. Every entry is filled in the unit, so
// an empty one is a wiring fault: logged naming the link and answered -1.
struct NOXA_SETTINGS_LINKS_S {
    int (*MotionDetectSetZone)(uint8_t on, uint8_t x, uint8_t y, uint8_t xlen, uint8_t ylen);
    int (*SetMotionSensitivity)(uint8_t level);  // the alarm-sensitivity level 0, 1, 2
    int (*SdWriteMode)(int mode);        // SD event storage write mode
    int (*StopAllPlayback)();            // SD event storage playback
    int (*StopSdPlayback)();             // recording playback
};
extern NOXA_SETTINGS_LINKS_S gNoxaSettingsLinks;
// Every wait of the format worker; tests replace it.
extern void (*gSettingsSleep)(uint32_t ms);
// How the worker's progress and the capacity reach the phone (DpTable sets them).
extern void (*gSdFormatProgressReport)(uint32_t progress);
extern void (*gSdCapacityReport)();
extern void (*gSdStatusReport)(uint32_t status);
