#include "broker.h"

#include "proc.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace cloudsim {

Broker::Broker(std::string dir, std::string certFile, std::string keyFile)
    : mDir(std::move(dir)), mCert(std::move(certFile)), mKey(std::move(keyFile))
{
    // The broker starts with an empty account list; the simulator adds every account again.
    std::ofstream(File("passwd"), std::ios::trunc).close();
    chmod(File("passwd").c_str(), 0600);
    std::remove(File("mosquitto.log.old").c_str());
    std::rename(File("mosquitto.log").c_str(), File("mosquitto.log.old").c_str());
    WriteAcl();
}

Broker::~Broker()
{
    Stop();
}

bool Broker::WriteAcl()
{
    std::string tmp = File("acl.tmp");
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "# written by the cloud simulator at every activation\n";
        for (const auto& [user, lines] : mAcl) {
            out << "\nuser " << user << "\n";
            for (const auto& l : lines) {
                out << l << "\n";
            }
        }
        if (!out) {
            return false;
        }
    }
    chmod(tmp.c_str(), 0600);
    return std::rename(tmp.c_str(), File("acl").c_str()) == 0;
}

bool Broker::Start(uint16_t port)
{
    mPort = port;
    {
        std::ofstream out(File("mosquitto.conf"), std::ios::trunc);
        // The broker runs as whoever runs the simulator: as root without this line it would
        // switch to the "mosquitto" user, which cannot read the 0600 key and files here.
        if (const passwd* pw = getpwuid(geteuid())) {
            out << "user " << pw->pw_name << "\n";
        }
        out << "persistence false\n"
               "log_dest file "
            << File("mosquitto.log")
            << "\nlog_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
               "log_timestamp false\nconnection_messages true\nset_tcp_nodelay true\n"
               "allow_anonymous false\n"
               // A cloud reading behind a burst of reports must not lose them (the default drops
               // QoS 0 messages past 1,000 waiting for one reader).
               "max_queued_messages 0\npassword_file "
            << File("passwd") << "\nacl_file " << File("acl") << "\nlistener " << port
            << " 127.0.0.1\ncertfile " << mCert << "\nkeyfile " << mKey << "\n";
    }
    int starts = ++mStarts;
    mPid = Spawn({"mosquitto", "-c", File("mosquitto.conf")}, "", File("mosquitto.stderr"));
    if (mPid < 0) {
        --mStarts;
        return false;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> lock(mLogLock);
            ReadLogLocked();
            if (mRunningSeen >= starts) {
                return true;
            }
        }
        int status = 0;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            --mStarts;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    --mStarts;
    return false;
}

void Broker::Stop()
{
    if (mPid <= 0) {
        return;
    }
    kill(mPid, SIGCONT);
    kill(mPid, SIGTERM);
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(mPid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mPid = -1;
}

void Broker::Pause()
{
    if (mPid > 0) {
        kill(mPid, SIGSTOP);
    }
}

void Broker::Resume()
{
    if (mPid > 0) {
        kill(mPid, SIGCONT);
    }
}

bool Broker::Reap()
{
    if (mPid <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(mPid, &status, WNOHANG) == mPid) {
        mPid = -1;
        return true;
    }
    return false;
}

bool Broker::SetAccount(const std::string& user, const std::string& pass, const std::vector<std::string>& acl)
{
    if (!RunProgram({"mosquitto_passwd", "-b", File("passwd"), user, pass})) {
        return false;
    }
    mAcl[user] = acl;
    if (!WriteAcl()) {
        return false;
    }
    if (mPid <= 0) {
        return true;
    }
    // The broker logs the reload before it reads the files again, in the same pass of its loop:
    // once the line is there, the next packet it handles meets the new accounts.
    std::unique_lock<std::mutex> lock(mLogLock);
    ReadLogLocked();
    int before = mReloads;
    lock.unlock();
    kill(mPid, SIGHUP);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
        lock.lock();
        ReadLogLocked();
        bool done = mReloads > before;
        lock.unlock();
        if (done) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::vector<std::string> Broker::NewLogLines()
{
    std::lock_guard<std::mutex> lock(mLogLock);
    ReadLogLocked();
    std::vector<std::string> lines;
    lines.swap(mPending);
    return lines;
}

void Broker::ReadLogLocked()
{
    FILE* f = std::fopen(File("mosquitto.log").c_str(), "rb");
    if (f == nullptr) {
        return;
    }
    std::fseek(f, mLogOffset, SEEK_SET);
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
        mPartial.append(buf, n);
        mLogOffset += static_cast<long>(n);
    }
    std::fclose(f);
    size_t at = 0;
    for (size_t nl = mPartial.find('\n'); nl != std::string::npos; nl = mPartial.find('\n', at)) {
        std::string line = mPartial.substr(at, nl - at);
        if (line.find(" running") != std::string::npos && line.find("mosquitto version") != std::string::npos) {
            ++mRunningSeen;
        }
        if (line.find("Reloading config.") != std::string::npos) {
            ++mReloads;
        }
        mPending.push_back(line);
        at = nl + 1;
    }
    mPartial.erase(0, at);
}

}  // namespace cloudsim
