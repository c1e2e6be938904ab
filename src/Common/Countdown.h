// 16-bit countdowns run by the timer task in 10 ms ticks: 1..0x7FFF running, 0 due now,
// 0x8000 and above stopped (0xFFFF is what writers store to cancel).
#pragma once

#include <atomic>
#include <cstdint>

using Countdown = std::atomic<uint16_t>;

constexpr uint16_t kCountdownStopped = 0xFFFF;

inline bool CountdownRunning(uint16_t value)
{
    return value >= 1 && value <= 0x7FFF;
}

inline bool CountdownStopped(uint16_t value)
{
    return value >= 0x8000;
}

// One tick of a countdown: decrements a running value (compare-and-swap, so a cancel or restart
// stored by another thread meanwhile is never overwritten) and says whether it is now due.
inline bool CountdownTick(Countdown& c)
{
    uint16_t v = c.load();
    while (CountdownRunning(v)) {
        if (c.compare_exchange_weak(v, static_cast<uint16_t>(v - 1))) {
            return v == 1;
        }
    }
    return v == 0;
}

// After the action of a due countdown: stop it, unless somebody (the action itself or another
// thread) has stored a new value meanwhile.
inline void CountdownExpire(Countdown& c)
{
    uint16_t due = 0;
    c.compare_exchange_strong(due, kCountdownStopped);
}
