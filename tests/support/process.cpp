#include "process.h"
#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);

    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        envStore.push_back(*e);
    }
    for (const auto& e : env) {
        envStore.push_back(e);
    }
    std::vector<char*> envp;
    for (auto& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStore = argv;
    std::vector<char*> args;
    for (auto& a : argStore) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    int rc = posix_spawnp(&mPid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(in[0]);
    mOut = out[0];
    mIn = in[1];
    if (rc != 0) {
        close(mOut);
        close(mIn);
        throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess()
{
    if (!mExited && mPid > 0) {
        kill(mPid, SIGKILL);
        waitpid(mPid, &mStatus, 0);
    }
    if (mOut >= 0) {
        close(mOut);
    }
    if (mIn >= 0) {
        close(mIn);
    }
}

void ChildProcess::Drain(int timeoutMs)
{
    struct pollfd p = {mOut, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0) {
        char buf[4096];
        ssize_t n = read(mOut, buf, sizeof(buf));
        if (n > 0) {
            mOutput.append(buf, static_cast<size_t>(n));
        }
    }
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (mOutput.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        Drain(20);
        if (!mExited && waitpid(mPid, &mStatus, WNOHANG) == mPid) {
            mExited = true;
            Drain(0);
            while (true) {  // collect what is left in the pipe
                size_t before = mOutput.size();
                Drain(0);
                if (mOutput.size() == before) {
                    break;
                }
            }
            return mOutput.find(text) != std::string::npos;
        }
    }
    return true;
}

int ChildProcess::WaitExit(std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!mExited) {
        if (waitpid(mPid, &mStatus, WNOHANG) == mPid) {
            mExited = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        Drain(20);
    }
    while (true) {
        size_t before = mOutput.size();
        Drain(0);
        if (mOutput.size() == before) {
            break;
        }
    }
    return mStatus;
}

void ChildProcess::Kill(int sig)
{
    if (!mExited && mPid > 0) {
        kill(mPid, sig);
    }
}

std::string ChildProcess::Output()
{
    Drain(0);
    return mOutput;
}

void ChildProcess::WriteLine(const std::string& line)
{
    std::string l = line + "\n";
    ssize_t n = write(mIn, l.data(), l.size());
    (void)n;
}

std::string Doorphone()
{
    return BinaryDir() + "/src/Common/doorphone";
}

std::vector<PROC_STAT_S> ProcessTable()
{
    std::vector<PROC_STAT_S> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(e.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The name may hold blanks and parentheses: it ends at the last ") ".
        const size_t open = stat.find('(');
        const size_t close = stat.rfind(") ");
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        PROC_STAT_S p;
        p.Pid = std::stoi(name);
        p.Name = stat.substr(open + 1, close - open - 1);
        std::istringstream rest(stat.substr(close + 2));
        rest >> p.State >> p.Parent;
        out.push_back(std::move(p));
    }
    return out;
}
