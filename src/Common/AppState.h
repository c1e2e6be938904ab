// The application state record: plain words of the application, written by one thread and read
// by others (atomics for that reason).
#pragma once

#include <atomic>
#include <cstdint>

struct APP_STATE_S {
    std::atomic<uint8_t> PushReady{1};        // 1 when no doorbell push is in progress
    std::atomic<uint32_t> UptimeMinutes{0};   // counted by the timer task
};

extern APP_STATE_S gAppState;
