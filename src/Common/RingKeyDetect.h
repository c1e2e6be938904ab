// The threads of the board I/O: ring detection on the analogue doors, the key, and the LEDs.
// Each thread is a loop around one step that tests call directly; waits go through
// BoardIoSleep.
#pragma once

#include <cstdint>

constexpr uint16_t kKeyWindowCodingTicks = 1000;  // 10 s to assign a room address
constexpr uint16_t kKeyWindowStepTicks = 500;
constexpr uint16_t kKeyWindowLastTicks = 10;
constexpr uint32_t kKeyHoldSamples = 29;  // a count above this (3 s) is a reset
constexpr uint32_t kKeyStepDone = 255;

// Start-up step 17: RingDetectThread and KeyDetectThred. 0, or the failing pthread_create result.
int StartRingKeyDetect();
// Started by BoardInit.
int StartLedThread();

void* RingDetectThread(void* arg);
void* KeyDetectThred(void* arg);
void* LedThread(void* arg);

// The SAR set-up of the ring thread (converter init and a first read of channel 2).
void RingDetectInit();
// One pass of the ring thread: door 0, then door 1.
void RingDetectPass();
// One sample of the key (every 100 ms). Returns 1 when the key was held for 3 s and the reset
// hook has been called; without a hook the hold is logged and ignored. Either way the hold
// counts once, its release is no press, and the thread goes on sampling.
int KeyDetectStep();
// One step of the LED thread; returns the wait before the next one in milliseconds.
uint32_t LedStep();
// Key window over (timer task): a stepped push delay is kept and the LEDs go back to their
// pattern, or the coding window closes.
void KeyWindowExpired();

// Called with the reset type 0 when the key is held for 3 s (the reset callback of the unit).
extern void (*gKeyResetHandler)(int type);
