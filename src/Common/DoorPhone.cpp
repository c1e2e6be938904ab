#include "DoorPhone.h"
#include "AppThread.h"
#include "AppWorker.h"
#include "DoorPhoneLinks.h"

#include "AppLog.h"
#include "AppState.h"
#include "ConfigFileParse.h"
#include "DeviceState.h"
#include "Media/AudioPlayback.h"
#include "Media/Pr2000.h"
#include "Media/osd.h"
#include "Media/VencStream.h"
#include "Peripheral.h"
#include "SDCard.h"
#include "TalkSerial.h"
#include "platform/board.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <mutex>
#include <vector>

DOOR_PHONE_LINKS_S gDoorPhoneLinks;

namespace {

// Addresses of door stations on a floor-model bus start here; rooms lie below.
constexpr uint32_t kFloorDoorAddressMin = 10000001;
constexpr uint32_t kRoomAddressMax = 9999999;
constexpr uint8_t kNoRoom = 255;
constexpr uint8_t kDoorStationSource = 1;
constexpr uint8_t kFloorSessionRoom = 5;
constexpr uint32_t kMotionResumeSplit = 3000;
constexpr uint32_t kPushWaitFloorDoor0Ms = 5000;
constexpr uint32_t kPushWaitVideoMs = 1000;
constexpr uint32_t kPushSettleMs = 1000;
constexpr int kPushFormatWaits = 11;  // waits of 200 ms for the picture to settle
constexpr uint32_t kPushFormatWaitMs = 200;
constexpr uint32_t kSnapshotWaitMs = 300;
constexpr int kSnapshotWaitRounds = 10;  // tries after the waits of rounds 0..9; round 10 only waits
constexpr int kTalkPassWaitMs = 10;

// The push's waits run on the door-phone worker: one push at a time, and a take-up cancels it
// until its delay is armed (the lock makes the cancel and the arming exclusive).
std::mutex gPushLock;
std::atomic<bool> gPushRunning{false};
bool gPushCancelled = false;  // under gPushLock

uint16_t __Ticks(uint32_t ticks)
{
    return static_cast<uint16_t>(std::min<uint32_t>(ticks, 0x7FFF));
}

bool __AnyMotionAllowed()
{
    return MotionAlarmAllowed() || MotionRecordAllowed() || DetectionAllowed();
}

uint16_t __CallOf(uint8_t door)
{
    return static_cast<uint16_t>(SYS_STATE_CALL | static_cast<uint8_t>(door + 1));
}

// Busy doors are not tracked on this bus: a door is never reported busy.
bool __DoorBusy()
{
    return false;
}

// The room digits of the unit's address as a floor-model frame carries them: the high nibbles of
// bytes 7 and 9 and the whole of byte 8 must match, else the frame is for another room.
bool __ForOurRoom(const uint8_t* f)
{
    uint32_t room = gDeviceState.CodingAddress % 10000;
    uint32_t d1000 = room / 1000, d100 = room / 100 % 10, d10 = room / 10 % 10, d1 = room % 10;
    return (f[9] >> 4) == d1 && f[8] == ((d100 << 4) + d10) && (f[7] >> 4) == d1000;
}

void __CodingOrder(const uint8_t* f)
{
    DEVICE_STATE_S& s = gDeviceState;
    const uint8_t order = f[1];
    const uint32_t a = ComBase240Join(f + 2);
    const uint32_t b = ComBase240Join(f + 6);
    const uint32_t coding = s.CodingAddress;
    const bool floor = gAppState.FloorModel != 0;

    switch (order) {
    case ComOrder_CodingCall:
        if ((!floor || b > kRoomAddressMax) && a == coding) {
            s.DoorAddress = b;
            APP_DBG("Com Order ComOrder_CodingCall %d", gCurrentDoor.load());
            if (gAppState.PushReady != 0) {
                PushMsgTrigger();
            }
        }
        break;
    case ComOrder_CodingBusy:
        if (a == coding) {
            s.ViewingTimer = kCountdownStopped;
            SetSystemMainState(SYS_STATE_CODING_BUSY);
        }
        break;
    case ComOrder_CodingRing:
        if (a == coding && b >= kFloorDoorAddressMin) {
            if (CountdownStopped(s.RingPulseGuardTimer)) {
                RingOutputPulse();
                s.RingPulseGuardTimer = kCodingRingGuardTicks;
            }
            SetSystemMainState(__CallOf(gCurrentDoor));
            s.ViewingMark = 1;
        }
        // Also for another room's ring: the unit's user talking through the bus answers it.
        if (s.TalkFlag != 0) {
            s.CodingReplyTimer = kCodingReplyTicks;
        }
        break;
    case ComOrder_CodingTakeOff:
        APP_DBG("MyADDR(%u) ADDR(%u) CodingAddress(%u) GetSystemMainState(%d)", b, a, coding,
                GetSystemMainState());
        if (b == coding && a >= kFloorDoorAddressMin && GetSystemMainState() == SYS_STATE_CALL) {
            PostTalkCommand(ComOrder_TakeOff, 0, 0, 0);
            SetSystemMainState(SYS_STATE_IDLE);
        }
        break;
    case ComOrder_CodingAssign:
        if (floor && gAppState.CodingEnable != 0) {
            SaveRoomAddress(b);
            uint32_t stored = 0;
            if (ReadRoomAddress(&stored) == 0) {
                s.CodingAddress = stored;
            }
            s.KeyWindowTimer = kCountdownStopped;
            gAppState.CodingEnable = 0;
            SetLedPattern(0);
            SendCodingOrder(ComOrder_CodingAddress, 0, s.CodingAddress, kComBusPort);
        }
        break;
    case ComOrder_CodingConfig: {
        const uint8_t value1 = f[2];
        const uint8_t value2 = f[3];
        if (value1 != 0) {
            gAppState.FloorModel = 1;
        }
        if (gAppState.FloorModel != 0) {
            s.CodingAddress = 10000u * value2 + s.CodingAddress % 10000;
            s.DoorAddress = 10000000u * value1 + 10000u * value2 + 1;
            APP_DBG("RecvBuffer[2] %d   RecvBuffer[3] %d", value1, value2);
            APP_DBG("CodingAddress %u   gDeviceState.DoorAddress %u", s.CodingAddress.load(), s.DoorAddress.load());
        }
        break;
    }
    default:
        break;
    }
}

void __DeviceTrigger(uint8_t door)
{
    DEVICE_STATE_S& s = gDeviceState;
    APP_DBG("Trigger(%d)  SystemMainState(%#x), gTriggerType(%d)", door, s.SystemMainState.load(),
            gTriggerType.load());
    if (door > 1) {
        gTriggerType = 1;
        return;
    }
    if (GetSystemMainState() == SYS_STATE_TALK) {
        gCurrentDoor = door;
        APP_DBG("Taking phone");
        return;
    }
    // The phone hears the ring at once, not after the ring output's 200 ms pulse below: the call
    // rings when it pushes (a floor-model bus calls door 0 through its coding orders).
    const bool rings = !(gAppState.FloorModel != 0 && door == 0) && gAppState.PushReady != 0;
    if (rings) {
        DoorPhoneLink(gDoorPhoneLinks.RespondDoorbell, door, uint8_t{0});
    }
    if (CountdownStopped(s.RingPulseGuardTimer)) {
        RingOutputPulse();
        s.RingPulseGuardTimer = kCallRingGuardTicks;
    }
    // The call state names the door that was current before this order: the rest of the unit
    // (viewers, the state reply) reads it so.
    SetSystemMainState(__CallOf(gCurrentDoor));
    s.ViewingMark = 1;
    gCurrentDoor = door;
    APP_INFO("call from Door %d", door + 1);
    // The door's picture before the push's snapshot: the board path only, since the bus call
    // already shows the door (no talk order 6).
    DoorMonitorHw(door, 1);
    if (gAppState.FloorModel != 0 && door == 0) {
        gTriggerType = 1;  // on a floor-model bus door 0 calls through its coding orders
        return;
    }
    gTriggerType = 0;
    APP_DBG("Com Order ComOrder_DeviceTriger %d", door);
    if (gAppState.PushReady == 0) {
        return;  // a push is on its way
    }
    PushMsgTrigger();
}

void __TakeOff(uint8_t source)
{
    DEVICE_STATE_S& s = gDeviceState;
    APP_DBG("ComOrder_TakeOff TakeUpRoom(%d)  uSource(%d)", s.TakeUpRoom.load(), source);
    if (source != s.TakeUpRoom) {
        // The door station hanging up a call that no room took.
        if (s.TakeUpRoom == kNoRoom && source == kDoorStationSource) {
            RingReset();
            s.TakeUpRoom = kNoRoom;
        }
        return;
    }
    RingReset();
    s.TakeUpRoom = kNoRoom;
    if (gAppState.UnlockEndsSession != 0 && CountdownStopped(s.UnlockSessionTimer)) {
        DoorSessionEnd();
    }
}

void __TakeUp(uint8_t source)
{
    DEVICE_STATE_S& s = gDeviceState;
    if (gAppState.PushReady == 0) {
        PushCancel();  // somebody answers: no doorbell push
    }
    if (gAppState.UnlockEndsSession == 0) {
        s.CallTimeoutTimer = kTakeUpTimeoutTicks;
    }
    if (s.ViewerCount == 0) {
        s.TakeUpRoom = source;
        APP_DBG("Com Order ComOrder_TakeUp %d", source);
    } else {
        SendTalkOrder(ComOrder_MonitorOn, gCurrentDoor, 0, 0);
    }
}

void __UnLock(uint8_t source)
{
    DEVICE_STATE_S& s = gDeviceState;
    APP_DBG("ComOrder_UnLock TakeUpRoom(%d)  uSource(%d)", s.TakeUpRoom.load(), source);
    if (source != s.TakeUpRoom) {
        return;  // only the room that took the call opens the door
    }
    s.UnlockSessionTimer = kUnlockSessionTicks;
    DoorPhoneLink(gDoorPhoneLinks.ReportDoorLockState, gCurrentDoor.load(), uint8_t{1});
    UnlockCurrentDoor();
    ShowIconOsd(0, kOsdIconBlinkTicks, kOsdIconShowTicks);  // the lock icon, blinking
}

void __TalkOrder(const uint8_t* f)
{
    const uint8_t order = f[1];
    const uint8_t value1 = f[2];
    const uint8_t source = f[9] & 0x0F;
    switch (order) {
    case ComOrder_DeviceTriger:
        __DeviceTrigger(value1);
        break;
    case ComOrder_StateQuery:
    case ComOrder_StateQuery2:
        SendDeviceState(source);
        break;
    case ComOrder_TakeOff:
        __TakeOff(source);
        break;
    case ComOrder_TakeUp:
        __TakeUp(source);
        break;
    case ComOrder_UnLock:
        __UnLock(source);
        break;
    case ComOrder_UnLockFeedback:
        APP_DBG("Com Order ComOrder_UnLockFeedback %d", value1);
        gDeviceState.UnlockSessionTimer = __Ticks(value1 * 100u);
        break;
    default:
        break;
    }
}


std::vector<uint8_t> __ReadPicture(FILE* f)
{
    std::vector<uint8_t> picture;
    if (std::fseek(f, 0, SEEK_END) != 0) {
        return picture;
    }
    long size = std::ftell(f);
    std::rewind(f);
    if (size > kSnapshotMaxBytes) {
        // A cut JPEG is a broken picture on the phone: better none.
        APP_ERR("picture of %ld bytes is larger than %ld: the push goes without it", size, kSnapshotMaxBytes);
        return picture;
    }
    if (size > 0) {
        picture.resize(static_cast<size_t>(size));
        picture.resize(std::fread(picture.data(), 1, picture.size(), f));
    }
    return picture;
}

}  // namespace

uint16_t GetSystemMainState()
{
    return gDeviceState.SystemMainState & 0xFF00;
}

uint8_t GetSystemSubState()
{
    return gDeviceState.SystemMainState & 0x00FF;
}

void SetSystemMainState(uint16_t value)
{
    DEVICE_STATE_S& s = gDeviceState;
    uint16_t before = s.SystemMainState.exchange(value);
    if (before != value) {
        APP_INFO("SystemMainState %#x -> %#x", before, value);
    }
    const uint16_t main = value & 0xFF00;
    switch (main) {
    case SYS_STATE_CALL:
        s.CallTimeoutTimer = __Ticks(kCallTimeoutBaseTicks + gAppState.PushDelay);
        s.MotionResumeTimer = kCountdownStopped;
        break;
    case SYS_STATE_IDLE:
    case SYS_STATE_CODING_BUSY:
        gPushWaitTimer = kCountdownStopped;
        s.CallTimeoutTimer = kCountdownStopped;
        break;
    default:  // monitor, talk
        s.MotionResumeTimer = kCountdownStopped;
        gPushWaitTimer = kCountdownStopped;
        s.CallTimeoutTimer = kMonitorTimeoutTicks;
        break;
    }
    const bool session = main == SYS_STATE_TALK || main == SYS_STATE_CALL || main == SYS_STATE_CODING_BUSY;
    s.FloorSessionTimer = gAppState.FloorModel != 0 && session ? kFloorSessionTicks : kCountdownStopped;
}

void LoadDoorSettings()
{
    DEVICE_STATE_S& s = gDeviceState;
    // An empty link is a wiring fault (logged); the unit then has a new unit's setting there:
    // alarm 0, SD recording 0, watermark 1.
    const DOOR_PHONE_LINKS_S& l = gDoorPhoneLinks;
    auto setting = [](auto& link, auto fallback) -> decltype(fallback) {
        if (link == nullptr) {
            DoorPhoneLinkEmpty(&link);
            return fallback;
        }
        return link();
    };
    s.AlarmSetting = setting(l.AlarmSetting, uint8_t{0});
    s.SdRecordSetting = setting(l.SdRecordSetting, uint8_t{0});
    s.WatermarkSetting = setting(l.WatermarkSetting, uint32_t{1});
}

int MotionAlarmAllowed()
{
    return !__DoorBusy() && gDeviceState.AlarmSetting == 1 && gAppState.FloorModel == 0;
}

int MotionRecordAllowed()
{
    const bool cardMounted = GetSDCardState() == SD_STATUS_NORMAL;
    return !__DoorBusy() && cardMounted && gDeviceState.SdRecordSetting == 1 && gAppState.FloorModel == 0;
}

int DetectionAllowed()
{
    return !__DoorBusy() && gAppState.FloorModel == 0;
}

void ComMonitorControl(uint8_t door, int on)
{
    if (on != 0) {
        PostTalkCommand(ComOrder_MonitorOn, door, 0, 0);
        return;
    }
    DEVICE_STATE_S& s = gDeviceState;
    if (s.TalkFlag != 0) {
        APP_DBG("SystemMainState(%#x)", s.SystemMainState.load());
        s.TalkFlag = 0;
        if (GetSystemMainState() != SYS_STATE_CODING_BUSY) {
            PostCodingCommand(ComOrder_CodingTakeOff, 1);
        }
    }
    PostTalkCommand(ComOrder_TakeOff, 0, 0, 0);
}

void DoorMonitorControl(uint8_t door, int on)
{
    DoorMonitorHw(door, on);
    ComMonitorControl(door, on);
}

int DoorUnlock(uint8_t door)
{
    if (gAppState.FloorModel == 0) {
        return PostTalkCommand(ComOrder_UnLock, door, 0, 0);
    }
    const uint8_t current = gCurrentDoor;
    if (current == 1) {
        return PostTalkCommand(ComOrder_UnLock, current, 0, 0);
    }
    // Door 0 of a floor-model bus opens through the coding order, to the calling station while
    // the unit's user is in the call.
    const bool inCall = GetSystemMainState() == SYS_STATE_TALK || gDeviceState.ViewerCount > 0;
    return PostCodingCommand(ComOrder_CodingUnlock, inCall ? 1 : 0);
}

void UnlockCurrentDoor()
{
    DoorUnlockPulse();
    DoorUnlock(gCurrentDoor);
}

void GateOpen()
{
    GatePulse();
    PostTalkCommand(ComOrder_GateOpen, gCurrentDoor, 0, 0);
}

void RingReset()
{
    DoorPhoneLink(gDoorPhoneLinks.RespondDoorbell, uint8_t{0}, uint8_t{1});
    DoorPhoneLink(gDoorPhoneLinks.RespondDoorbell, uint8_t{1}, uint8_t{1});
    StopRingbellAudio();
}

void PushMsgTrigger()
{
    DEVICE_STATE_S& s = gDeviceState;
    const int videoLoss = GetVideoLoss();
    const bool floor = gAppState.FloorModel != 0;
    const uint8_t door = gCurrentDoor;
    APP_DBG("FloorModel(%d)  gCurrentDoor(%d)  GetVideoLoss(%d) gPushWaitTimer(%d)", floor, door, videoLoss,
            gPushWaitTimer.load());
    s.PushGuardTimer = kPushGuardTicks;
    const uint16_t wait = gPushWaitTimer;
    if (wait >= 1 && wait <= 0xFFFE) {
        return;  // a push has just been armed
    }
    gAppState.PushReady = 0;
    if (door == 1 && gDoorPhoneLinks.MotionAlarmState != nullptr && gDoorPhoneLinks.MotionAlarmState() != 0) {
        // The motion alarm's recording of door 0 ends: door 1 takes the picture.
        s.RecordTimer = kCountdownStopped;
        DoorPhoneLink(gDoorPhoneLinks.RecordStop);
    }
    if (gPushRunning.exchange(true)) {
        return;  // this push's waits are under way already
    }
    // The setting the delay will use, known now: a call armed after this waits that much longer.
    if (gAppState.PushDelay < kPushDelayMin) {
        gAppState.PushDelay = kPushDelayShort;
    }
    {
        std::lock_guard<std::mutex> lk(gPushLock);
        gPushCancelled = false;
    }
    // The waits take seconds: the bus and ring threads that call this go on meanwhile.
    if (!DoorPhoneWorker().Post([floor, door, videoLoss] { PushCapture(floor, door, videoLoss); })) {
        gPushRunning = false;
        gAppState.PushReady = 1;
        APP_ERR("no doorbell push: the worker took no job");
    }
}

void PushCapture(bool floor, uint8_t door, int videoLoss)
{
    DEVICE_STATE_S& s = gDeviceState;
    const auto cancelled = [] {
        std::lock_guard<std::mutex> lk(gPushLock);
        return gPushCancelled;
    };
    if (floor && door == 0) {
        BoardIoSleep(kPushWaitFloorDoor0Ms);
    } else if (videoLoss != 0 || door == 1) {
        APP_DBG("VideoLoss");
        BoardIoSleep(kPushWaitVideoMs);
    }
    for (int i = 0; i < kPushFormatWaits && !cancelled() && (GetVideoFmtChanging() != 0 || GetVideoLoss() != 0);
         ++i) {
        APP_DBG("Cnt %d", i);
        BoardIoSleep(kPushFormatWaitMs);
    }
    if (!cancelled()) {
        BoardIoSleep(kPushSettleMs);
    }
    {
        std::lock_guard<std::mutex> lk(gPushLock);
        if (gPushCancelled) {
            APP_DBG("the call was taken up: no doorbell push");
        } else {
            CapturePicture(0);  // the snapshot "/dev/demo_snapshot.jpg" the push sends
            s.PushDelayTimer = __Ticks(gAppState.PushDelay);
            gPushWaitTimer = kPushWaitTicks;
        }
    }
    gPushRunning = false;
}

void PushCancel()
{
    std::lock_guard<std::mutex> lk(gPushLock);
    gPushCancelled = true;
    gDeviceState.PushDelayTimer = kCountdownStopped;
}

void PushWaitIdle()
{
    DoorPhoneWorker().WaitIdle();
}

int StartSendImageThread()
{
    int rc = AppStartDetachedThread(SendImageThread);
    if (rc != 0) {
        APP_ERR("SendImageThread not started: %d", rc);
    }
    return rc;
}

void* SendImageThread(void*)
{
    prctl(PR_SET_NAME, "SendImageThread");
    SendDoorbellImage();
    return nullptr;
}

int SendDoorbellImage()
{
    // The snapshot is written by the encoder thread shortly before: wait for it a while.
    FILE* f = nullptr;
    for (int round = 0; round <= kSnapshotWaitRounds && f == nullptr; ++round) {
        APP_DBG("Cnt(%d)", round);
        BoardIoSleep(kSnapshotWaitMs);
        if (round < kSnapshotWaitRounds) {
            f = BoardFopen(kSnapshotFile, "r+");
        }
    }
    if (f == nullptr) {
        f = BoardFopen(kLogoFile, "rb");
    }
    if (f == nullptr) {
        APP_ERR("no %s and no %s: no doorbell push", kSnapshotFile, kLogoFile);
        return -1;
    }
    std::vector<uint8_t> picture = __ReadPicture(f);
    std::fclose(f);
    const int size = static_cast<int>(picture.size());
    APP_DBG("len(%d)", size);
    APP_DBG("\n\n size is %d\n\n", size);
    if (gDoorPhoneLinks.NotifyDoorbell != nullptr) {
        gDoorPhoneLinks.NotifyDoorbell(picture.data(), static_cast<uint32_t>(size));
    } else {
        DoorPhoneLinkEmpty(&gDoorPhoneLinks.NotifyDoorbell);
    }
    picture = {};
    BoardSystem("rm /dev/demo_snapshot.jpg");
    APP_DBG("SendImageThread End");
    return size;
}

void SafeReboot()
{
    gDeviceState.RecordTimer = kCountdownStopped;
    DoorPhoneLink(gDoorPhoneLinks.RecordStop);
    BoardSync();
    BoardReboot();
}

int ProcessTalkDataInit()
{
    gAppState.FloorModel = 0;
    int rc = TalkQueueInit();
    if (RoomFileExist() == 0) {
        uint32_t address = 0;
        if (ReadRoomAddress(&address) == 0) {
            gDeviceState.CodingAddress = address;
        }
        APP_DBG("CodingAddress(%u)", gDeviceState.CodingAddress.load());
    }
    SendAnnounceFrame(0, 255);
    SendCodingOrder(ComOrder_CodingAddress, 0, 0, kComBusPort);
    return rc;
}

void HandleTalkFrame(const uint8_t* f)
{
    const uint8_t order = f[1];
    APP_DBG("FloorModel(%d) %#x", gAppState.FloorModel.load(), order);
    if (order >= kComCodingOrderMin) {
        __CodingOrder(f);
    }
    uint8_t target = f[7];
    if (gAppState.FloorModel != 0) {
        if (!__ForOurRoom(f)) {
            return;
        }
        target = f[7] & 0x0F;
    }
    if ((target != 0 && target != kComUnitSource) || order > ComOrder_StateReply) {
        return;
    }
    __TalkOrder(f);
}

int ProcessTalkPass()
{
    return TalkLinkPass(kTalkPassWaitMs, HandleTalkFrame);
}

void* ProcessTalkData(void*)
{
    prctl(PR_SET_NAME, "ProcessTalkData");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    ProcessTalkDataInit();
    for (;;) {
        ProcessTalkPass();
    }
    return nullptr;
}

int StartProcessTalkData()
{
    return AppStartDetachedThread(ProcessTalkData);
}

void DoorSessionEnd()
{
    DEVICE_STATE_S& s = gDeviceState;
    gAppState.UnlockEndsSession = 0;
    SetSystemMainState(SYS_STATE_IDLE);
    DoorMonitorControl(gCurrentDoor, 0);
    if (__AnyMotionAllowed()) {
        // Back to watching door 0 for the motion detection.
        SetSystemMainState(SYS_STATE_MONITOR | 0x01);
        s.ViewingTimer = kCountdownStopped;
        s.ViewerCount = 0;
        gCurrentDoor = 0;
        DoorMonitorControl(0, 1);
        DoorPhoneLink(gDoorPhoneLinks.MotionAlarmSwitch, uint8_t{1});
    }
}

void PushDelayExpired()
{
    gAppState.PushReady = 1;
    StartSendImageThread();
}

void FloorSessionExpired()
{
    DEVICE_STATE_S& s = gDeviceState;
    if (s.TalkFlag != 0) {
        s.TalkFlag = 0;
        PostCodingCommand(ComOrder_CodingTakeOff, 1);
    }
    SetSystemMainState(SYS_STATE_IDLE);
    PostTalkCommand(ComOrder_TakeOff, 0, 0, 0);
    DoorMonitorHw(gCurrentDoor, 0);
    s.ViewingTimer = kCountdownStopped;
    s.ViewerCount = 0;
    gCurrentDoor = 0;
    s.ViewingMark = 0;
    if (s.TakeUpRoom == kFloorSessionRoom) {
        RingReset();
        s.TakeUpRoom = kNoRoom;
    }
    gAppState.PushReady = 1;
}

void CallTimeoutExpired()
{
    DEVICE_STATE_S& s = gDeviceState;
    APP_INFO("call/monitor time-out");
    SetSystemMainState(SYS_STATE_IDLE);
    if (s.ViewerCount == 0) {
        DoorMonitorHw(gCurrentDoor, 0);
        RingReset();
        if (__AnyMotionAllowed()) {
            if (gAppState.MotionResumeAtOnce != 0) {
                gAppState.MotionResumeAtOnce = 0;
                DoorPhoneLink(gDoorPhoneLinks.MotionAlarmSwitch, uint8_t{1});
            } else {
                s.MotionResumeTimer =
                    gAppState.PushDelay < kMotionResumeSplit ? kMotionResumeLongTicks : kMotionResumeShortTicks;
            }
        }
        s.ViewingMark = 0;
    }
    gAppState.PushReady = 1;
}

void UnlockSessionExpired()
{
    DoorPhoneLink(gDoorPhoneLinks.ReportDoorLockState, gCurrentDoor.load(), uint8_t{0});
    if (gAppState.UnlockEndsSession != 0) {
        DoorSessionEnd();
    }
}

void BusUnlockExpired(uint8_t door)
{
    DoorPhoneLink(gDoorPhoneLinks.ReportDoorLockState, door, uint8_t{0});
}

void MotionResumeExpired()
{
    if (__AnyMotionAllowed()) {
        DoorPhoneLink(gDoorPhoneLinks.MotionAlarmSwitch, uint8_t{1});
    }
}

void RecordTimerExpired()
{
    DoorPhoneLink(gDoorPhoneLinks.RecordStop);
}

void CodingReplyExpired()
{
    // The answer to a coding ring while the unit's user talks: sent from here, not queued.
    DEVICE_STATE_S& s = gDeviceState;
    SendCodingOrder(ComOrder_CodingAnswer, s.DoorAddress, s.CodingAddress, kComBusPort);
    SendTalkOrder(ComOrder_TakeUp, 0, 1, 0);
}
