// Waiting for things other threads do, without sleeping for time: a counter per name, and a
// gate that holds a callback until the test opens it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>

// Long enough that only a hang reaches it.
constexpr std::chrono::seconds kEventWait{10};

class Events {
public:
    void Add(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mCounts[name];
        mCv.notify_all();
    }
    int Count(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCounts[name];
    }
    // True once `name` has happened `n` times.
    bool WaitFor(const std::string& name, int n = 1)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCv.wait_for(lock, kEventWait, [&] { return mCounts[name] >= n; });
    }

private:
    std::mutex mMutex;
    std::condition_variable mCv;
    std::map<std::string, int> mCounts;
};

class Gate {
public:
    void Open()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpen = true;
        mCv.notify_all();
    }
    void Pass()
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mCv.wait(lock, [this] { return mOpen; });
    }

private:
    std::mutex mMutex;
    std::condition_variable mCv;
    bool mOpen = false;
};

inline std::string ThreadName()
{
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}
