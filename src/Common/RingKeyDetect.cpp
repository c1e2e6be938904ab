#include "RingKeyDetect.h"
#include "AppThread.h"

#include "AppLog.h"
#include "AppState.h"
#include "ConfigFileParse.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "DoorPhoneLinks.h"
#include "Media/AudioPlayback.h"
#include "Peripheral.h"
#include "TalkSerial.h"
#include "platform/board_dev.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

void (*gKeyResetHandler)(int type) = nullptr;

namespace {

constexpr uint32_t kRingPassMs = 20;
constexpr uint32_t kRingStartMs = 2000;
constexpr uint32_t kKeySampleMs = 100;
constexpr uint32_t kLedPatternCoding = 6;
constexpr uint32_t kLedPatternKey = 7;

// Samples the key has been down, and whether this hold already counted as a reset; only the key
// thread touches them.
uint32_t gKeyCount = 0;
bool gKeyHeld = false;

// Everything a ringing door sets off, on every pass while its level stays in the band.
void __DoorRings(uint8_t door)
{
    DEVICE_STATE_S& s = gDeviceState;
    if (CountdownStopped(s.RingPulseGuardTimer)) {
        RingOutputPulse();
    }

    uint16_t state = GetSystemMainState();
    if (state != SYS_STATE_TALK && state != SYS_STATE_CALL) {
        if (RingProbe(door) == 1) {
            APP_DBG("Door%d xxxxxxx Monitor\r", door + 1);
        } else {
            APP_DBG("Door%d ======= Monitor\r", door + 1);
        }
        gCurrentDoor = door;
        SetSystemMainState(static_cast<uint16_t>(SYS_STATE_CALL | (door + 1)));
        s.ViewingMark = 1;
        DoorMonitorControl(door, 1);
        gAppState.UnlockEndsSession = 1;
        gAppState.MotionResumeAtOnce = 1;
        PostTalkCommand(0, door, 0, 0);
        DoorPhoneLink(gDoorPhoneLinks.RespondDoorbell, door, uint8_t{0});
        if (door == 1) {
            s.RecordTimer = kCountdownStopped;
            DoorPhoneLink(gDoorPhoneLinks.RecordStop);
        }
    }

    if (GetSystemMainState() != SYS_STATE_TALK && gCurrentDoor == door) {
        StartRingbellAudio();
    }

    if (CountdownStopped(s.PushGuardTimer)) {
        if (gCurrentDoor == door) {
            PushMsgTrigger();
        }
        // A door that keeps ringing keeps its call from timing out.
        const uint16_t call = static_cast<uint16_t>(SYS_STATE_CALL | (door + 1));
        if (s.SystemMainState == call) {
            SetSystemMainState(call);
        }
    }
}

void __ShortPress()
{
    DEVICE_STATE_S& s = gDeviceState;
    if (gAppState.FloorModel != 0 && gAppState.Online == 0) {
        gAppState.CodingEnable = 1;
        for (int led = 0; led < 3; ++led) {
            SetLed(led, 0);
        }
        s.LedPattern = kLedPatternCoding;
        s.KeyWindowTimer = kKeyWindowCodingTicks;
        APP_INFO("key: room address may be assigned for 10 s");
        return;
    }
    // The push delay steps 100, 1500, 3000, 6000 ticks; the LEDs show the step.
    static const struct {
        uint8_t leds[3];
        uint32_t pushDelay;
    } kSteps[] = {
        {{0, 0, 0}, 100},
        {{1, 0, 0}, 1500},
        {{1, 1, 0}, 3000},
        {{1, 1, 1}, 6000},
    };
    uint32_t step = s.KeyStep;
    if (step < 4) {
        if (step == 0) {
            s.LedPatternSaved = s.LedPattern.load();
            s.LedPattern = kLedPatternKey;
        }
        s.KeyStep = step + 1;  // the LEDs are the key's from here on
        for (int led = 0; led < 3; ++led) {
            SetLed(led, kSteps[step].leds[led]);
        }
        gAppState.PushDelay = kSteps[step].pushDelay;
        s.KeyWindowTimer = kKeyWindowStepTicks;
    } else {
        s.KeyStep = kKeyStepDone;
        s.KeyWindowTimer = kKeyWindowLastTicks;
    }
    gAppState.PushReady = 1;
    APP_INFO("key press: step %u, push delay %u", s.KeyStep.load(), gAppState.PushDelay.load());
}


}  // namespace

void RingDetectInit()
{
    int fd = BoardDevOpen("/dev/sar", O_RDWR);
    if (fd < 0) {
        APP_ERR("Open /dev/sar Fail %d", fd);
        return;
    }
    BoardDevIoctl(fd, kSarIoctlInit, nullptr);
    SAR_CHANNEL_READ_S read = {2, 0};
    BoardDevIoctl(fd, IOCTL_SAR_SET_CHANNEL_READ_VALUE, &read);
    BoardDevClose(fd);
}

void RingDetectPass()
{
    for (uint8_t door = 0; door < 2; ++door) {
        if (Per_GetRingStatus(door) == 1) {
            __DoorRings(door);
        }
    }
}

int KeyDetectStep()
{
    if (GpioRead(kGpioKey) == 0) {
        if (gKeyHeld) {
            return 0;  // the hold was taken; nothing more until the key is let go
        }
        if (++gKeyCount > kKeyHoldSamples) {
            gKeyCount = 0;
            gKeyHeld = true;
            // IPC_APP_on_reset of the system callbacks is set into gKeyResetHandler.
            if (gKeyResetHandler == nullptr) {
                APP_ERR("key held for 3 s: no reset handler, ignored");
                return 0;
            }
            APP_INFO("key held for 3 s: reset");
            gKeyResetHandler(0);
            return 1;
        }
        return 0;
    }
    uint32_t count = gKeyCount;
    gKeyCount = 0;
    gKeyHeld = false;
    if (count >= 1 && count <= 4) {
        __ShortPress();
    }
    return 0;
}

uint32_t LedStep()
{
    if (gDeviceState.KeyStep != 0) {
        return 500;  // the key shows its step
    }
    if (gAppState.ResetFlag != 0) {
        for (int led = 0; led < 3; ++led) {
            SetLed(led, 0);
        }
        return 500;
    }
    const uint32_t pattern = gDeviceState.LedPattern;
    switch (pattern) {
    case 0:
        SetLed(0, kLedToggle);
        SetLed(1, 0);
        SetLed(2, 0);
        return 800;
    case 1:
        return 500;  // the network supervisor's pattern leaves the LEDs as they are
    case 2: {
        int lit = gAppState.Wired != 0 ? 1 : 2;
        for (int led = 0; led < 3; ++led) {
            SetLed(led, led == lit ? 1 : 0);
        }
        return 500;
    }
    case 3:
        SetLed(0, kLedToggle);
        return 80;
    case 4:
    case 6:
        for (int led = 0; led < 3; ++led) {
            SetLed(led, kLedToggle);
        }
        return pattern == 6 ? 80 : 500;
    case 5:
        for (int led = 0; led < 3; ++led) {
            SetLed(led, 1);
        }
        return 500;
    default:
        return 500;
    }
}

void KeyWindowExpired()
{
    DEVICE_STATE_S& s = gDeviceState;
    if (s.KeyStep != 0) {
        APP_INFO("push delay %u", gAppState.PushDelay.load());
        SavePushDelay(gAppState.PushDelay);
        s.KeyStep = 0;
        s.LedPattern = s.LedPatternSaved.load();
    } else {
        s.LedPattern = 0;
        gAppState.CodingEnable = 0;
    }
}

void* RingDetectThread(void*)
{
    prctl(PR_SET_NAME, "RingDetectThread");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    RingDetectInit();
    BoardIoSleep(kRingStartMs);
    for (;;) {
        RingDetectPass();
        BoardIoSleep(kRingPassMs);
    }
    return nullptr;
}

void* KeyDetectThred(void*)
{
    prctl(PR_SET_NAME, "KeyDetectThred");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    // The key keeps working after a reset hold: a reset that does not happen must not leave
    // the unit without its key until the next restart.
    for (;;) {
        KeyDetectStep();
        BoardIoSleep(kKeySampleMs);
    }
    return nullptr;
}

void* LedThread(void*)
{
    prctl(PR_SET_NAME, "LedThread");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    for (;;) {
        BoardIoSleep(LedStep());
    }
    return nullptr;
}

int StartRingKeyDetect()
{
    int rc = AppStartDetachedThread(RingDetectThread);
    int rc2 = AppStartDetachedThread(KeyDetectThred);
    return rc != 0 ? rc : rc2;
}

int StartLedThread()
{
    return AppStartDetachedThread(LedThread);
}
