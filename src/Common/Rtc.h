// The real-time clock record: seven signed 32-bit fields in this order.
#pragma once

#include <cstdint>

struct RTC_TIME_S {
    int32_t year;     // full year, e.g. 2024
    int32_t month;    // 1..12
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
    int32_t weekday;  // 0..6 as the chip stores it
};
