// Calls with host-wide effect. On the unit they are the kernel's; on the simulated board they act
// on the sandbox's state (under "<root>/.board") and never on the host.
#pragma once

#include <sys/time.h>
#include <ctime>

// Exit status of the process when the simulated board reboots.
constexpr int kBoardRebootExitStatus = 86;

// Restarts the board. On the simulated board the request is recorded in "<root>/.board/reboot"
// and the process ends at once with kBoardRebootExitStatus. Does not return.
[[noreturn]] void BoardReboot();

// The board's wall clock. settimeofday on the simulated board keeps an offset to the host clock
// (in "<root>/.board/clock_offset", so a restarted unit keeps its time as a real one would).
int BoardSetTimeOfDay(const struct timeval* tv);
int BoardGetTimeOfDay(struct timeval* tv);
time_t BoardTime(time_t* out);

// Flushes file-system buffers of the board's storage.
void BoardSync();
