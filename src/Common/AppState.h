// The application state record: plain words of the application, written by one thread and read
// by others (atomics for that reason).
#pragma once

#include <atomic>
#include <cstdint>

struct APP_STATE_S {
    std::atomic<uint8_t> PushReady{1};        // 1 when no doorbell push is in progress
    std::atomic<uint32_t> UptimeMinutes{0};   // counted by the timer task
    std::atomic<uint8_t> FloorModel{0};       // 1: the bus works in floor (coding) model

    // Board I/O and the door-phone control.
    std::atomic<uint8_t> ResetFlag{0};            // set by the reset callback: LEDs dark
    std::atomic<uint8_t> UnlockedDoor{0};         // door whose lock the unlock hold releases
    std::atomic<uint32_t> CodingEnable{0};        // 1: a room address may be assigned (key window)
    std::atomic<uint32_t> PushDelay{0};           // push-delay setting in ticks, stepped by the key
    std::atomic<uint32_t> UnlockEndsSession{0};   // 1: an unlock ends the door session
    std::atomic<uint32_t> MotionResumeAtOnce{0};  // 1: the motion alarm resumes at once after a call
    std::atomic<uint8_t> Wired{0};                // 1: the unit runs on the cable (network bring-up)
    std::atomic<uint32_t> Online{0};              // 1 once the cloud link is up (cloud-side start)
};

extern APP_STATE_S gAppState;

// The door of the current call or view: 0 or 1 ("Door 1", "Door 2").
extern std::atomic<uint8_t> gCurrentDoor;
// 1 when the last call order on the bus started no call (another door number, or door 0 on a
// floor-model bus).
extern std::atomic<uint8_t> gTriggerType;
