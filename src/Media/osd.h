// On-screen display: the icon table (lock, gate) whose two countdowns the timer task runs.
#pragma once

#include "Common/Countdown.h"

#include <atomic>
#include <cstdint>

constexpr int kOsdIconCount = 2;  // lock, gate

struct OSD_ICON_S {
    std::atomic<uint8_t> Shown{0};
    Countdown FirstCountdown{kCountdownStopped};    // blink: toggles the icon, reloads itself
    Countdown DisplayCountdown{kCountdownStopped};  // hide: removes the icon
};

extern OSD_ICON_S gOsdIcon[kOsdIconCount];
