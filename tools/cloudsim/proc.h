// The simulator's child programs (mosquitto, openssl, the object stores) and its loopback ports.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cloudsim {

// fork and exec (no shell) with the signal mask cleared; the child dies with the simulator, so a
// killed simulator leaves nothing behind. Its output goes to outFile, its errors to errFile
// (appended; empty: /dev/null). -1 when fork failed.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outFile, const std::string& errFile);
// Runs a program with arguments (no shell) and waits; true on exit status 0.
bool RunProgram(const std::vector<std::string>& argv);

// A port on 127.0.0.1 that is free now (0: none).
uint16_t FreeLoopbackPort();
// True when something accepts connections on 127.0.0.1:port.
bool PortOpen(uint16_t port);

}  // namespace cloudsim
