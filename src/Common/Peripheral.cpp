#include "Peripheral.h"

#include "DoorPhoneLinks.h"

#include "AppLog.h"
#include "AppState.h"
#include "DeviceState.h"
#include "I2C.h"
#include "Media/AudioPlayback.h"
#include "Media/Pr2000.h"
#include "RingKeyDetect.h"
#include "TalkSerial.h"
#include "platform/board_dev.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kHc595Device = "/dev/74HC595";
constexpr const char* kSarDevice = "/dev/sar";
constexpr uint32_t kSarRingChannel = 2;
// The GPIO lines that shift the register, in the order the driver takes them.
constexpr uint8_t kHc595Lines[3] = {47, 45, 44};

void __Sleep(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Every change of the image is a read-modify-write of one byte shared by the LED, key, ring and
// bus threads and the timer task; it is made and written under one lock, so that no change
// (a lock output above all) is lost to a concurrent one.
std::mutex gHc595Mutex;

void __Hc595WriteLocked(uint8_t image)
{
    int fd = BoardDevOpen(kHc595Device, O_RDWR);
    if (fd < 0) {
        APP_ERR("can not open file %s", kHc595Device);
        return;
    }
    if (BoardDevIoctl(fd, kHc595IoctlWrite, &image) < 0) {
        APP_ERR("%s write: %s", kHc595Device, std::strerror(errno));
    }
    BoardDevClose(fd);
}

template <typename Change>
void __Hc595Change(Change change)
{
    std::lock_guard<std::mutex> lock(gHc595Mutex);
    uint8_t* image = gDeviceState.Hc595ImagePtr;
    if (image == nullptr) {
        return;  // not set up: there is no register to drive
    }
    *image = change(*image);
    __Hc595WriteLocked(*image);
}

void __Hc595Set(uint8_t mask, bool on)
{
    __Hc595Change([mask, on](uint8_t v) { return static_cast<uint8_t>(on ? (v | mask) : (v & ~mask)); });
}

std::string __GpioFile(int line, const char* name)
{
    return "/sys/class/gpio/gpio" + std::to_string(line) + "/" + name;
}

// A level frame heard on the bus opens the gate.
void __LevelFrame(const uint8_t*)
{
    GatePulse();
}

}  // namespace

void (*gBoardIoSleep)(uint32_t ms) = __Sleep;

void BoardIoSleep(uint32_t ms)
{
    gBoardIoSleep(ms);
}

int GpioExport(int line)
{
    char cmd[64];
    std::snprintf(cmd, sizeof(cmd), "echo %d > /sys/class/gpio/export", line);
    return BoardSystem(cmd);
}

int GpioSetDirection(int line, bool out)
{
    char cmd[80];
    std::snprintf(cmd, sizeof(cmd), "echo %s > /sys/class/gpio/gpio%d/direction", out ? "out" : "in", line);
    return BoardSystem(cmd);
}

int GpioWrite(int line, int value)
{
    int fd = BoardOpen(__GpioFile(line, "value").c_str(), O_WRONLY);
    if (fd < 0) {
        APP_ERR("Failed to open gpio value for reading!");
        return -1;
    }
    char text[3] = {static_cast<char>(value != 0 ? '1' : '0'), 0, 0};
    ssize_t n = write(fd, text, sizeof(text));
    close(fd);
    if (n != static_cast<ssize_t>(sizeof(text))) {
        APP_ERR("Failed to read value!");
        return -1;
    }
    return 0;
}

int GpioRead(int line)
{
    int fd = BoardOpen(__GpioFile(line, "value").c_str(), O_RDONLY);
    if (fd < 0) {
        APP_ERR("Failed to open gpio value for reading!");
        return 255;
    }
    char text[4] = {};
    ssize_t n = read(fd, text, 3);
    close(fd);
    if (n <= 0) {
        APP_ERR("Failed to read value!");
        return 255;
    }
    return std::atoi(text) & 0xFF;
}

int Hc595Init()
{
    std::lock_guard<std::mutex> lock(gHc595Mutex);
    gDeviceState.Hc595ImagePtr = &gDeviceState.Hc595Image;
    gDeviceState.Hc595Image = 0;
    int fd = BoardDevOpen(kHc595Device, O_RDWR);
    if (fd < 0) {
        APP_ERR("can not open file %s", kHc595Device);
        return -1;
    }
    uint8_t lines[3] = {kHc595Lines[0], kHc595Lines[1], kHc595Lines[2]};
    int rc = BoardDevIoctl(fd, kHc595IoctlSetup, lines);
    BoardDevClose(fd);
    if (rc < 0) {
        APP_ERR("%s set-up: %s", kHc595Device, std::strerror(errno));
    }
    __Hc595WriteLocked(gDeviceState.Hc595Image);
    return rc < 0 ? -1 : 0;
}

uint8_t Hc595Image()
{
    std::lock_guard<std::mutex> lock(gHc595Mutex);
    return gDeviceState.Hc595Image;
}

void BoardInit()
{
    Hc595Init();
    const int exported[] = {kGpioGate, kGpioRing, kGpioRingSense, kGpioSpeaker, kGpioKey, kGpioDecoderCtl};
    for (int line : exported) {
        GpioExport(line);
    }
    for (int line : exported) {
        GpioSetDirection(line, line != kGpioKey);
    }
    GpioWrite(kGpioSpeaker, 1);
    GpioWrite(kGpioRingSense, 1);
    GpioWrite(kGpioGate, 0);
    GpioWrite(kGpioRing, 0);
    I2cBusTableInit();
    gComLevelHandler = __LevelFrame;
    StartLedThread();
}

void SetSpeakerPower(int on)
{
    GpioWrite(kGpioSpeaker, on == 0 ? 1 : 0);
}

void SetLed(int led, uint8_t value)
{
    if (led < 0 || led > 2 || (value > 1 && value != kLedToggle)) {
        return;
    }
    const uint8_t mask = static_cast<uint8_t>(kHc595Led0 >> led);
    if (value == kLedToggle) {
        __Hc595Change([mask](uint8_t v) { return static_cast<uint8_t>(v ^ mask); });
    } else {
        __Hc595Set(mask, value == 1);
    }
}

void LockOutput(int door, int on)
{
    __Hc595Set(door == 0 ? kHc595Lock0 : kHc595Lock1, on != 0);
}

void VideoSelect(int door)
{
    __Hc595Set(kHc595VideoDoor0, door == 0);
}

void MonitorPower(int door, int on)
{
    __Hc595Set(door == 0 ? kHc595Monitor0 : kHc595Monitor1, on != 0);
}

void DoorMonitorHw(int door, int on)
{
    if (on == 0) {
        VideoSelect(door);
        MonitorPower(door, 0);
        return;
    }
    SetPr2000Input(static_cast<uint32_t>(door));  // the decoder takes the door's camera first
    MonitorPower(door == 0 ? 1 : 0, 0);
    VideoSelect(door);
    MonitorPower(door, 1);
}

void DoorUnlockPulse()
{
    // Claimed in one step, so that two callers never both start a pulse.
    uint16_t hold = gDeviceState.UnlockHoldTimer;
    do {
        if (hold >= 1 && hold <= 0xFFFE) {
            return;  // a hold runs
        }
    } while (!gDeviceState.UnlockHoldTimer.compare_exchange_weak(hold, kUnlockHoldTicks));
    StartUnlockAudio();
    uint8_t door = gCurrentDoor;
    if (door <= 1) {
        gAppState.UnlockedDoor = door;
    }
    LockOutput(door, 1);
}

void UnlockHoldExpired()
{
    uint8_t door = gAppState.UnlockedDoor;
    if (door <= 1) {
        LockOutput(door, 0);
    }
    DoorPhoneLink(gDoorPhoneLinks.ReportDoorLockState, door, uint8_t{0});
}

void GatePulse()
{
    if (gDeviceState.LevelGuardTimer < 0x8000) {
        return;
    }
    GpioWrite(kGpioGate, 1);
    BoardIoSleep(kOutputPulseMs);
    GpioWrite(kGpioGate, 0);
    gDeviceState.LevelGuardTimer = kLevelGuardTicks;
}

void RingOutputPulse()
{
    GpioWrite(kGpioRing, 1);
    BoardIoSleep(kOutputPulseMs);
    GpioWrite(kGpioRing, 0);
    gDeviceState.RingPulseGuardTimer = kRingPulseGuardTicks;
}

void Per_CtrComData(int value)
{
    APP_DBG("value(%d)", value);
    GpioWrite(kGpioDecoderCtl, value);
}

int Per_GetRingStatus(int door)
{
    if (door != 0 && door != 1) {
        return 0;
    }
    int fd = BoardDevOpen(kSarDevice, O_RDWR);
    if (fd < 0) {
        APP_ERR("Open %s Fail %d", kSarDevice, fd);
        return 0;
    }
    SAR_CHANNEL_READ_S read = {kSarRingChannel, 0};
    int rc = BoardDevIoctl(fd, IOCTL_SAR_SET_CHANNEL_READ_VALUE, &read);
    BoardDevClose(fd);
    if (rc < 0) {
        APP_ERR("IOCTL_SAR_SET_CHANNEL_READ_VALUE %s Fail %d", kSarDevice, rc);
        return 0;
    }
    if (door == 0) {
        return read.Value >= 401 && read.Value <= 599 ? 1 : 0;
    }
    return read.Value >= 901 ? 1 : 0;
}

int RingProbe(int door)
{
    if (gDeviceState.Hc595ImagePtr == nullptr) {
        return 0;
    }
    GpioWrite(kGpioRingSense, 0);
    __Hc595Set(kHc595Lock0 | kHc595Lock1, false);
    BoardIoSleep(kRingProbeMs);
    int status = Per_GetRingStatus(door);
    GpioWrite(kGpioRingSense, 1);
    __Hc595Change([](uint8_t v) { return v; });
    return status;
}

void SetLedPattern(uint32_t pattern)
{
    gDeviceState.LedPattern = pattern;
}

uint32_t GetLedPattern()
{
    return gDeviceState.LedPattern;
}
