// The simulator's own mosquitto: one TLS listener on 127.0.0.1, no anonymous access, a password
// file and an ACL that the simulator rewrites and makes the broker reload (SIGHUP). Its log is
// read line by line: it is how the cloud learns which device is connected.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cloudsim {

class Broker {
public:
    // dir holds mosquitto.conf, passwd, acl and mosquitto.log.
    Broker(std::string dir, std::string certFile, std::string keyFile);
    ~Broker();

    // Starts on the port; false when it did not come up (the port taken, say).
    bool Start(uint16_t port);
    void Stop();
    void Pause();
    void Resume();
    bool Running() const { return mPid > 0; }
    pid_t Pid() const { return mPid; }
    uint16_t Port() const { return mPort; }

    // Adds or changes an account with its ACL lines ("topic read ...") and reloads the broker;
    // true once the broker has taken the files again.
    bool SetAccount(const std::string& user, const std::string& pass, const std::vector<std::string>& acl);
    // New lines of the broker's log since the last call.
    std::vector<std::string> NewLogLines();
    // True when the child ended on its own (then Running() turns false).
    bool Reap();

private:
    bool WriteAcl();
    void ReadLogLocked();
    std::string File(const std::string& name) const { return mDir + "/" + name; }

    std::string mDir;
    std::string mCert;
    std::string mKey;
    uint16_t mPort = 0;
    pid_t mPid = -1;
    std::map<std::string, std::vector<std::string>> mAcl;
    std::mutex mLogLock;
    long mLogOffset = 0;
    std::string mPartial;
    std::vector<std::string> mPending;
    int mRunningSeen = 0;
    int mReloads = 0;
    int mStarts = 0;
};

}  // namespace cloudsim
