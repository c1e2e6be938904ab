// The timer task: one thread that ticks every 10 ms and runs the application's countdowns.
#pragma once

#include "Rtc.h"

// Sets the system clock from the real-time clock, then starts TimeTaskThread.
// Returns the pthread_create result.
int StartTimeTask();

// Clock set-up from the real-time clock; leaves the clock alone when the clock cannot be read.
int SetSystemTimeFromRtc();
// The same from a given clock record.
int SetSystemTimeFromRecord(RTC_TIME_S rtc);

void* TimeTaskThread(void* arg);

// Thread start: stops every countdown the task initialises and loads the minute counter.
void TimeTaskInit();
// One tick: every countdown in order, with its action when it is due.
void TimeTaskTick();

// Run when the uptime minutes reach a multiple of 60 (the clock synchronisation from the cloud).
extern void (*gTimeTaskClockSync)();
