// The application state record: plain words of the application, written by one thread and read
// by others (atomics for that reason).
#pragma once

#include <atomic>
#include <cstdint>

struct APP_STATE_S {
    std::atomic<uint8_t> PushReady{1};        // 1 when no doorbell push is in progress
    std::atomic<uint32_t> UptimeMinutes{0};   // counted by the timer task
    std::atomic<uint8_t> FloorModel{0};       // 1: the bus works in floor (coding) model
};

extern APP_STATE_S gAppState;

// The door of the current call or view: 0 or 1 ("Door 1", "Door 2").
extern std::atomic<uint8_t> gCurrentDoor;
