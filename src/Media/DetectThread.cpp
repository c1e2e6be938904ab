#include "DetectThread.h"

#include "Common/AppLog.h"
#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Common/DoorPhone.h"
#include "Common/DoorPhoneLinks.h"
#include "Common/NoxaSettings.h"
#include "HumanDetect.h"
#include "MotionDetect.h"
#include "Mp4Record.h"
#include "platform/mi/mi_divp.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const MI_SYS_ChnPort_t kDetectPort{E_MI_MODULE_ID_DIVP, 0, 0, 0};

// The detection picture: the scaler's input and its output when no zone applies.
constexpr int kZoneInWidth = 640;
constexpr int kZoneInHeight = 360;
constexpr MI_U32 kDetectOutWidth = 480;
constexpr MI_U32 kDetectOutHeight = 288;
// Smaller zones are widened to this: fewer than 4x4 blocks of 8 pixels measure nothing.
constexpr int kZoneMinSide = 32;

std::atomic<uint8_t> gRun{0};
pthread_t gThread;
std::atomic<bool> gThreadStarted{false};  // the start's (start-up) and the stop's (media teardown)
std::mutex gWaitLock;         // with gWaitCv: a stop ends the thread's wait at once
std::condition_variable gWaitCv;

std::atomic<uint8_t> gHumanFlag{0};
std::atomic<uint8_t> gHumanMiss{0};
std::atomic<uint32_t> gMotionPushFlag{0};

// The zone's calls on the scaler channel, one at a time: the settings handlers and the thread's
// first application may come together.
std::mutex gZoneLock;

void WaitOrStop(uint32_t ms)
{
    std::unique_lock<std::mutex> lk(gWaitLock);
    gWaitCv.wait_for(lk, std::chrono::milliseconds(ms), [] { return gRun == 0; });
}

struct DETECT_ZONE_S {
    MI_SYS_WindowRect_t Crop;
    MI_U32 Width;
    MI_U32 Height;
};

// The crop in pixels of the 640x360 input, each side the percentage truncated to a multiple of
// 4; the output the percentage of 480x288 rounded up to a multiple of 32. Values past 100 count
// as 100, a crop reaching past the picture is moved inside it, and neither is smaller than 32.
DETECT_ZONE_S ZoneFor(uint8_t on, uint8_t px, uint8_t py, uint8_t pw, uint8_t ph)
{
    if (on == 0) {
        return {{0, 0, kZoneInWidth, kZoneInHeight}, kDetectOutWidth, kDetectOutHeight};
    }
    auto pct = [](uint8_t v) { return std::min<int>(v, kZonePercentMax); };
    const int w = std::clamp(pct(pw) * kZoneInWidth / 400 * 4, kZoneMinSide, kZoneInWidth);
    const int h = std::clamp(pct(ph) * kZoneInHeight / 400 * 4, kZoneMinSide, kZoneInHeight);
    const int x = std::min(pct(px) * kZoneInWidth / 400 * 4, kZoneInWidth - w);
    const int y = std::min(pct(py) * kZoneInHeight / 400 * 4, kZoneInHeight - h);
    const int ow = std::max(kZoneMinSide, (pct(pw) * static_cast<int>(kDetectOutWidth) / 100 + 31) / 32 * 32);
    const int oh = std::max(kZoneMinSide, (pct(ph) * static_cast<int>(kDetectOutHeight) / 100 + 31) / 32 * 32);
    return {{static_cast<MI_U16>(x), static_cast<MI_U16>(y), static_cast<MI_U16>(w), static_cast<MI_U16>(h)},
            static_cast<MI_U32>(ow), static_cast<MI_U32>(oh)};
}

int ApplyZoneLocked(uint8_t on, uint8_t x, uint8_t y, uint8_t width, uint8_t height)
{
    MI_DIVP_ChnAttr_t attr{};
    MI_S32 ret = MI_DIVP_GetChnAttr(0, &attr);
    if (ret != MI_SUCCESS) {
        AppLogPrint(APP_LOG_RED, "MotionDetectSetZone", "MI_DIVP_GetChnAttr Fail %#x", static_cast<unsigned>(ret));
    }
    const DETECT_ZONE_S z = ZoneFor(on, x, y, width, height);
    attr.cropRect = z.Crop;
    ret = MI_DIVP_SetChnAttr(0, &attr);
    if (ret != MI_SUCCESS) {
        AppLogPrint(APP_LOG_RED, "MotionDetectSetZone", "MI_DIVP_SetChnAttr Fail %#x", static_cast<unsigned>(ret));
    }
    MI_DIVP_OutputPortAttr_t out{z.Width, z.Height, E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420,
                                 E_MI_SYS_COMPRESS_MODE_NONE};
    ret = MI_DIVP_SetOutputPortAttr(0, &out);
    if (ret != MI_SUCCESS) {
        AppLogPrint(APP_LOG_RED, "MotionDetectSetZone", "MI_DIVP_SetOutputPortAttr Fail %#x", static_cast<unsigned>(ret));
    }
    return ret;
}

// The thread's first application, from the store's cached zone (no file is read). Read under
// the lock, so a setting handler that stored a newer zone meanwhile applies it after this.
void ApplyStoredZone()
{
    std::lock_guard<std::mutex> lk(gZoneLock);
    const ALARM_ZONE_S z = GetAlarmZone();
    ApplyZoneLocked(CachedAlarmZoneOn(), z.x, z.y, z.xlen, z.ylen);
}

bool SameSize(const MI_SYS_BufInfo_t& a, const MI_SYS_BufInfo_t& b)
{
    return a.frame.width == b.frame.width && a.frame.height == b.frame.height;
}

}  // namespace

DETECT_OPS_S gDetectOps = {HumanDetectProc, MotionDetectProc, WaitOrStop};

uint8_t CheckMotionAlarm(int32_t changedBlocks)
{
    switch (CheckHumanFliter()) {
    case 1:
        return 1;
    case 2:
        return changedBlocks != 0 ? 1 : 0;
    default:
        return 0;
    }
}

void SetHumanFliterResult(uint8_t found)
{
    if (found == gHumanFlag) {
        gHumanMiss = 0;
    }
    if (found != 0) {
        gHumanMiss = 0;
        gHumanFlag = 1;
        APP_DBG("Detect Human");
        return;
    }
    if (++gHumanMiss > kHumanMissMax) {
        gHumanMiss = 0;
        gHumanFlag = 0;
        APP_DBG("No Detect Human");
    }
}

uint8_t GetHumanFliterResult()
{
    return gHumanFlag;
}

int CheckHumanFliter()
{
    if (CachedHumanFilter() == 0) {
        return 2;
    }
    return GetHumanFliterResult() != 0 ? 1 : 0;
}

int MotionDetectSetZone(uint8_t on, uint8_t x, uint8_t y, uint8_t width, uint8_t height)
{
    std::lock_guard<std::mutex> lk(gZoneLock);
    return ApplyZoneLocked(on, x, y, width, height);
}

int TakeMotionPushFlag()
{
    return gMotionPushFlag.exchange(0) != 0 ? 1 : 0;
}

uint8_t DetectPass(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b)
{
    DEVICE_STATE_S& s = gDeviceState;
    // While a person is flagged the detector rests: the flag holds the alarm for 20 passes.
    const int persons = GetHumanFliterResult() == 1 ? 0 : gDetectOps.Human(a, b);
    const int32_t changed = gDetectOps.Motion(a, b);
    SetHumanFliterResult(static_cast<uint8_t>(persons & 0xFF));
    if (CheckMotionAlarm(changed) != 1) {
        return 0;
    }
    const uint8_t door = gCurrentDoor;
    if (MotionAlarmAllowed() && door == 0) {
        gMotionPushFlag = 1;
    }
    if (GetMP4RecordState() == 0 && CountdownStopped(s.VideoSettleTimer) && door == 0 && CachedSdRecordMode() == 0 &&
        MotionRecordAllowed()) {
        MotionRecordStart();
    }
    if (GetMP4RecordState() == 1 && (changed != 0 || CheckHumanFliter() == 1)) {
        MP4RecordHold();
    }
    return 1;
}

void RecordingUpkeep()
{
    DEVICE_STATE_S& s = gDeviceState;
    if (CachedSdRecordMode() == 0) {
        // Event recording: 5 s without an alarm end it, once it has lasted just over 10 s.
        const uint16_t timer = s.RecordTimer;
        if (s.RecordHoldTimer == 0 && !CountdownStopped(timer) && timer <= kEventRecordStopTimerMax) {
            s.RecordHoldTimer = kCountdownStopped;
            if (GetMP4RecordState() == 1) {
                MP4RecordStop();
            }
        }
        return;
    }
    // Continuous recording: the next file opens as soon as one has closed.
    if (GetMP4RecordState() == 0 && MotionRecordAllowed()) {
        MP4RecordStart();
    }
}

bool DetectThreadStep()
{
    MI_SYS_BufInfo_t a{};
    MI_SYS_BufInfo_t b{};
    MI_SYS_BUF_HANDLE ha = 0;
    MI_SYS_BUF_HANDLE hb = 0;
    bool both = false;
    if (MI_SYS_ChnOutputPortGetBuf(&kDetectPort, &a, &ha) == MI_SUCCESS) {
        gDetectOps.Sleep(kDetectFrameGapMs);
        if (MI_SYS_ChnOutputPortGetBuf(&kDetectPort, &b, &hb) == MI_SUCCESS) {
            // A zone applied between the two frames changes the picture's size: such a pair
            // compares nothing (the engine refuses it, which would count as motion).
            both = SameSize(a, b);
            if (both) {
                DetectPass(&a, &b);
                RecordingUpkeep();
            }
            MI_SYS_ChnOutputPortPutBuf(hb);
        }
        MI_SYS_ChnOutputPortPutBuf(ha);
    }
    gDetectOps.Sleep(kDetectPassGapMs);
    return both;
}

void* DetectThread(void*)
{
    prctl(PR_SET_NAME, "DetectThread");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    gDetectOps.Sleep(kDetectStartDelayMs);
    if (gRun == 0) {
        return nullptr;  // stopped before the detectors were made
    }
    MotionDetectInit();
    HumanDetectInit();
    ApplyStoredZone();
    while (gRun != 0) {
        DetectThreadStep();
    }
    HumanDetectDeInit();
    MotionDetectDeInit();
    return nullptr;
}

int StartDetectThread()
{
    if (gThreadStarted) {
        return 0;
    }
    gRun = 1;
    const int rc = pthread_create(&gThread, nullptr, DetectThread, nullptr);
    if (rc != 0) {
        gRun = 0;
        APP_ERR("DetectThread not started: %d", rc);
        return rc;
    }
    gThreadStarted = true;
    return 0;
}

void StopDetectThread()
{
    if (!gThreadStarted) {
        return;
    }
    {
        std::lock_guard<std::mutex> lk(gWaitLock);
        gRun = 0;
    }
    gWaitCv.notify_all();
    pthread_join(gThread, nullptr);
    gThreadStarted = false;
}

uint8_t GetDetectThreadRun()
{
    return gRun;
}

void DetectThreadInstallLinks()
{
    gNoxaSettingsLinks.MotionDetectSetZone = MotionDetectSetZone;
    gDoorPhoneLinks.TakeMotionFlag = TakeMotionPushFlag;
}
