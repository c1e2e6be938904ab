// The stream commands of the phone (tools/cloudsim/stream.cpp): the cloud's media gateway.
#pragma once

#include <string>
#include <vector>

namespace cloudsim {

// "stream ..." commands: true when w is one (its answer in out). Runs without the state lock held
// (a talk lasts as long as its file).
bool StreamCommand(const std::vector<std::string>& w, const std::string& devId, std::string* out);
// Closes every gateway (the simulator's end).
void StopStreams();

}  // namespace cloudsim
