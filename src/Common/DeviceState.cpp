#include "AppState.h"
#include "DeviceState.h"

DEVICE_STATE_S gDeviceState;
Countdown gPushWaitTimer{kCountdownStopped};
APP_STATE_S gAppState;
std::atomic<uint8_t> gCurrentDoor{0};
std::atomic<uint8_t> gTriggerType{0};
