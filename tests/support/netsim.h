// The simulated board's network from outside the unit, as a person changes it with
// tools/netsim: the cable, the Wi-Fi module on the USB port, the networks in range.
#pragma once

#include "process.h"
#include "sandbox.h"

#include <chrono>
#include <string>
#include <sys/wait.h>
#include <vector>

// Runs "tools/netsim ROOT ARGS..."; true when it succeeded.
inline bool NetSim(const TestSandbox& sb, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {SourceDir() + "/tools/netsim", sb.Root()};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess tool(argv);
    int status = tool.WaitExit(std::chrono::seconds(20));
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
