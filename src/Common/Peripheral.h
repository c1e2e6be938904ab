// Board I/O: the GPIO lines (sysfs), the 74HC595 output register (LEDs, lock outputs, monitor
// paths, video select), the ring level on the SAR input, and the board operations built on them.
#pragma once

#include <cstdint>

// GPIO lines (sysfs numbers).
constexpr int kGpioSpeaker = 16;     // speaker amplifier, 0 = on
constexpr int kGpioDecoderCtl = 46;  // decoder control line
constexpr int kGpioRingSense = 52;   // ring-sense enable, 0 while the ring probe measures
constexpr int kGpioKey = 66;         // the key, 0 = pressed
constexpr int kGpioGate = 78;        // gate output
constexpr int kGpioRing = 79;        // ring output

// 74HC595 output bits.
constexpr uint8_t kHc595Led2 = 0x01;
constexpr uint8_t kHc595Led1 = 0x02;
constexpr uint8_t kHc595Led0 = 0x04;
constexpr uint8_t kHc595Monitor0 = 0x08;
constexpr uint8_t kHc595Monitor1 = 0x10;
constexpr uint8_t kHc595Lock0 = 0x20;
constexpr uint8_t kHc595VideoDoor0 = 0x40;  // 1: video of door 0, 0: door 1
constexpr uint8_t kHc595Lock1 = 0x80;

constexpr uint8_t kLedToggle = 255;  // SetLed value that toggles the LED

constexpr uint16_t kUnlockHoldTicks = 500;
constexpr uint16_t kLevelGuardTicks = 200;
constexpr uint16_t kRingPulseGuardTicks = 100;
constexpr uint32_t kOutputPulseMs = 200;
constexpr uint32_t kRingProbeMs = 500;

// Every wait of the board I/O and its threads goes through here; tests put a hook of their own in
// (it is given the milliseconds).
extern void (*gBoardIoSleep)(uint32_t ms);
void BoardIoSleep(uint32_t ms);

// sysfs GPIO. Export and direction through the shell ("echo ... > /sys/class/gpio/..."); value
// files are opened for each access. GpioRead returns 0..255, 255 on error.
int GpioExport(int line);
int GpioSetDirection(int line, bool out);
int GpioWrite(int line, int value);
int GpioRead(int line);

// The shift register: set-up (lines 47, 45, 44 to the driver, all outputs off) and the current
// image. Every change of the image and its write to "/dev/74HC595" happen under one lock.
int Hc595Init();
uint8_t Hc595Image();

// Start-up step 1: shift register, GPIO lines, I2C bus table, the bus's level-frame handler and
// the LED thread.
void BoardInit();

void SetSpeakerPower(int on);
// led 0, 1, 2; value 0 off, 1 on, kLedToggle toggles.
void SetLed(int led, uint8_t value);
void LockOutput(int door, int on);
void VideoSelect(int door);
void MonitorPower(int door, int on);
// Monitor path and video select of a door; switching on selects the door's camera first.
void DoorMonitorHw(int door, int on);
// Lock output of the current door on for the unlock hold; nothing while a hold runs.
void DoorUnlockPulse();
// Unlock hold over (timer task): the unlocked door's lock output off.
void UnlockHoldExpired();
// Gate output pulse of 200 ms, only while the level guard is stopped; then the guard runs.
void GatePulse();
// Ring output pulse of 200 ms; then the ring pulse guard runs.
void RingOutputPulse();
void Per_CtrComData(int value);
// 1 when the ring level on SAR channel 2 is in the door's band (door 0: 401..599, door 1: 901 and
// above), else 0 (also on a SAR error).
int Per_GetRingStatus(int door);
// Measures the door's ring with ring sense off and both locks released (500 ms); 0 without the
// shift register.
int RingProbe(int door);

void SetLedPattern(uint32_t pattern);
uint32_t GetLedPattern();
