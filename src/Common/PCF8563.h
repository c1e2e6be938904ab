// The PCF8563 real-time clock on I2C bus 1, address 0x51.
#pragma once

#include "Rtc.h"

#include <cstdint>

constexpr int kPcf8563Bus = 1;
constexpr uint8_t kPcf8563Address = 0x51;

// The chip's "time not valid" bit: its supply dropped and the time registers mean nothing.
constexpr int kPcf8563TimeNotValid = -2;

// Reads the clock's seven time registers in one transfer, so a rollover cannot tear the read:
// 0 and the record; kPcf8563TimeNotValid with the record as the chip holds it when the chip lost
// its time (setting the clock clears that); -1 when the clock cannot be read (record unchanged).
int PCF8563_GetTime(RTC_TIME_S* rtc);
// Sets the clock (stopped while the registers are written). 0, or -1 when the record is out of
// the chip's range (years 1900..2099) or a register write failed.
int PCF8563_SetTime(const RTC_TIME_S* rtc);
