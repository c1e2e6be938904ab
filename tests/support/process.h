// A child process with its output captured, for tests that run the unit or its tools.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    // Starts argv[0] with the given extra environment ("NAME=value"); stdout and stderr are
    // captured together.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~ChildProcess();

    // Waits until the captured output holds `text`; false on time-out or exit without it.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Waits for the exit; returns the wait status, or -1 on time-out.
    int WaitExit(std::chrono::milliseconds timeout);
    void Kill(int sig);
    std::string Output();
    // The child's process id (its /proc entry, for benchmarks that watch it).
    pid_t Pid() const { return mPid; }
    // Writes a line to the child's standard input.
    void WriteLine(const std::string& line);

private:
    void Drain(int timeoutMs);

    pid_t mPid = -1;
    int mOut = -1;
    int mIn = -1;
    int mStatus = -1;
    bool mExited = false;
    std::string mOutput;
};

// The unit's program in the build tree.
std::string Doorphone();

// One process of the host as /proc/PID/stat gives it.
struct PROC_STAT_S {
    pid_t Pid = 0;
    pid_t Parent = 0;
    std::string State;  // "R", "S", "Z", ...
    std::string Name;   // the command name, as (name) shows it
};

// Every process of the host now (one that ends while it is read is passed over).
std::vector<PROC_STAT_S> ProcessTable();

// Polls `cond` every 50 ms until it holds or `limit` has passed; whether it held.
template <typename Cond>
bool Eventually(Cond cond, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}
