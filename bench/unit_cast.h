// The door-station simulator and the unit paired at the local cloud, each its own process: what
// the whole-process benchmarks start from.
#pragma once

#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

struct UnitCast {
    std::unique_ptr<ChildProcess> station;
    std::unique_ptr<ChildProcess> unit;
};

// Starts the station (with the bus frames time-stamped when `stamp`) and the unit; false, the
// benchmark skipped with the reason, when one of them did not come up.
inline bool StartUnitCast(benchmark::State& state, const TestSandbox& box, CloudPeer& cloud, UnitCast* cast,
                          bool stamp)
{
    std::vector<std::string> station{BinaryDir() + "/tools/doorstation", "--root", box.Root()};
    if (stamp) {
        station.insert(station.end(), {"--stamp", "1"});
    }
    cast->station = std::make_unique<ChildProcess>(station);
    if (!cast->station->WaitForOutput("linked at", std::chrono::seconds(10))) {
        state.SkipWithError("no door station");
        return false;
    }
    cast->unit = std::make_unique<ChildProcess>(
        std::vector<std::string>{BinaryDir() + "/src/Common/doorphone", "-m", "2", "-t", cloud.Pair()},
        std::vector<std::string>{"DOORPHONE_ROOT=" + box.Root()});
    if (!cast->unit->WaitForOutput("Dbg:mqtt is online", std::chrono::seconds(60))) {
        state.SkipWithError("the unit did not come online");
        return false;
    }
    return true;
}
