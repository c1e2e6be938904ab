// A worker thread of the door-phone application for jobs that wait (the doorbell push's waits
// and snapshot), so that the bus and ring threads that start them never wait themselves. Jobs
// run one after another in the order posted; the thread starts with the first job and lives as
// long as the process.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

class AppWorker {
public:
    explicit AppWorker(const char* name, size_t maxJobs = 4);
    AppWorker(const AppWorker&) = delete;
    AppWorker& operator=(const AppWorker&) = delete;

    // Queues a job. false when the queue is full or the thread could not be started (the job
    // is then not run).
    bool Post(std::function<void()> job);
    // Waits until no job is queued or running.
    void WaitIdle();
    // A job is queued or running.
    bool Busy();

private:
    static void* Main(void* self);
    void Loop();

    const char* mName;
    size_t mMaxJobs;
    std::mutex mLock;
    std::condition_variable mWake;
    std::condition_variable mIdle;
    std::deque<std::function<void()>> mJobs;
    bool mRunning = false;  // a job is being run
    bool mStarted = false;
};

// The door-phone's worker: the doorbell push, later the notifications. Never destroyed, since
// its thread may still wait on it while the process exits.
AppWorker& DoorPhoneWorker();
