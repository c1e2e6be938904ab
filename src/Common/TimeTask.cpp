#include "TimeTask.h"

#include "AppLog.h"
#include "AppState.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "Media/AudioPlayback.h"
#include "Media/VencStream.h"
#include "Media/osd.h"
#include "PCF8563.h"
#include "Peripheral.h"
#include "RingKeyDetect.h"
#include "TalkSerial.h"
#include "platform/board.h"

#include <ctime>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <unistd.h>

void (*gTimeTaskClockSync)() = nullptr;

namespace {

constexpr uint16_t kMinuteTicks = 6000;
constexpr uint16_t kIconBlinkTicks = 50;

// Runs one countdown: its action when due, then it stops (unless the action re-armed it).
template <typename Action>
void __Run(Countdown& c, Action action)
{
    if (CountdownTick(c)) {
        action();
        CountdownExpire(c);
    }
}

void __Run(Countdown& c)
{
    __Run(c, [] {});
}

void __MinuteAction()
{
    gDeviceState.MinuteTimer = kMinuteTicks;
    uint32_t minutes = ++gAppState.UptimeMinutes;
    if (minutes % 60 == 0 && gTimeTaskClockSync != nullptr) {
        gTimeTaskClockSync();
    }
}

}  // namespace

int SetSystemTimeFromRecord(RTC_TIME_S rtc)
{
    struct tm tm = {};
    tm.tm_sec = rtc.second;
    tm.tm_min = rtc.minute;
    tm.tm_hour = rtc.hour;
    tm.tm_mday = rtc.day;
    tm.tm_mon = rtc.month - 1;
    tm.tm_year = rtc.year - 1900;
    tm.tm_wday = rtc.weekday;
    struct timeval tv = {};
    tv.tv_sec = mktime(&tm);
    tv.tv_usec = 0;
    if (tv.tv_sec == static_cast<time_t>(-1)) {
        return 0;  // not a time: the clock stays as it is
    }
    BoardSetTimeOfDay(&tv);
    return 0;
}

int SetSystemTimeFromRtc()
{
    RTC_TIME_S rtc = {};
    const int rc = PCF8563_GetTime(&rtc);
    if (rc == kPcf8563TimeNotValid) {
        // A fresh board's chip was never set; the cloud's time sets the system clock (and the
        // chip) once the unit is online, so this is a notice, not a fault.
        APP_INFO("rtc time not valid (never set, or the clock lost its supply): system clock left alone");
        return 0;
    }
    if (rc != 0) {
        return 0;  // a clock that cannot be read leaves the system clock alone
    }
    return SetSystemTimeFromRecord(rtc);
}

void TimeTaskInit()
{
    DEVICE_STATE_S& s = gDeviceState;
    Countdown* initialised[] = {
        &s.PushDelayTimer,     &s.UnlockHoldTimer,    &s.FloorSessionTimer,  &s.CallTimeoutTimer,
        &s.MotionResumeTimer,  &s.ViewingTimer,       &s.KeyWindowTimer,     &s.CodingReplyTimer,
        &s.UnlockSessionTimer, &s.RecordTimer,        &s.AnnounceGuardTimer, &s.LevelGuardTimer,
        &s.RingPulseGuardTimer, &s.MotionCooldownTimer, &s.CaptureWaitTimer, &s.TalkAudioSettleTimer,
        &gPushWaitTimer,       &s.RingToneTimer,      &s.BusUnlockTimer[0],  &s.BusUnlockTimer[1],
    };
    for (Countdown* c : initialised) {
        c->store(kCountdownStopped);
    }
    s.MinuteTimer = kMinuteTicks;
}

void TimeTaskTick()
{
    DEVICE_STATE_S& s = gDeviceState;

    __Run(s.PushDelayTimer, PushDelayExpired);
    __Run(s.MinuteTimer, __MinuteAction);
    __Run(s.UnlockHoldTimer, UnlockHoldExpired);
    __Run(s.FloorSessionTimer, FloorSessionExpired);
    __Run(s.CallTimeoutTimer, CallTimeoutExpired);
    __Run(s.MotionResumeTimer, MotionResumeExpired);
    __Run(s.ViewingTimer, [] {
        // The door's picture has settled: viewers get it from a key frame on.
        gDeviceState.ViewingMark = 1;
        RequestVideoIdr();
    });
    for (uint8_t i = 0; i < kOsdIconCount; ++i) {
        OSD_ICON_S& icon = gOsdIcon[i];
        __Run(icon.DisplayCountdown, [&icon, i] {
            icon.DisplayCountdown = kCountdownStopped;
            icon.FirstCountdown = kCountdownStopped;
            HideIconOsd(i);
        });
    }
    for (uint8_t i = 0; i < kOsdIconCount; ++i) {
        OSD_ICON_S& icon = gOsdIcon[i];
        __Run(icon.FirstCountdown, [&icon, i] {
            if (icon.Shown == 0) {
                ShowIconOsd(i, kIconBlinkTicks, 0);
            } else {
                HideIconOsd(i);
            }
            icon.FirstCountdown = kIconBlinkTicks;
        });
    }
    __Run(s.KeyWindowTimer, KeyWindowExpired);
    __Run(s.CodingReplyTimer, CodingReplyExpired);
    __Run(s.UnlockSessionTimer, UnlockSessionExpired);
    __Run(s.BusUnlockTimer[0], [] { BusUnlockExpired(0); });
    __Run(s.BusUnlockTimer[1], [] { BusUnlockExpired(1); });
    __Run(s.RecordTimer, RecordTimerExpired);
    __Run(s.VideoSettleTimer);
    __Run(s.AnnounceGuardTimer);
    __Run(s.LevelGuardTimer);
    __Run(s.RingPulseGuardTimer);
    __Run(s.MotionCooldownTimer);
    __Run(s.CaptureWaitTimer, CaptureWaitExpired);
    __Run(s.TalkAudioSettleTimer);
    __Run(gPushWaitTimer);
    __Run(s.PushGuardTimer);
    __Run(s.RingToneTimer, StopRingbellAudio);
    // The record hold stays at 0 once it has run out: the recorder reads 0 as "hold over".
    CountdownTick(s.RecordHoldTimer);
}

void* TimeTaskThread(void*)
{
    prctl(PR_SET_NAME, "TimeTaskThread");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    TimeTaskInit();
    for (;;) {
        TimeTaskTick();
        struct timeval tv = {0, 10000};
        select(0, nullptr, nullptr, nullptr, &tv);
    }
    return nullptr;
}

int StartTimeTask()
{
    SetSystemTimeFromRtc();
    pthread_t tid;
    return pthread_create(&tid, nullptr, TimeTaskThread, nullptr);
}
