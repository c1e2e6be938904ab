#include "AppWorker.h"

#include "AppLog.h"

#include <pthread.h>
#include <sys/prctl.h>

AppWorker::AppWorker(const char* name, size_t maxJobs) : mName(name), mMaxJobs(maxJobs) {}

bool AppWorker::Post(std::function<void()> job)
{
    std::lock_guard<std::mutex> lk(mLock);
    if (mJobs.size() >= mMaxJobs) {
        APP_ERR("%s: %zu jobs wait, one more is dropped", mName, mJobs.size());
        return false;
    }
    if (!mStarted) {
        pthread_t tid;
        int rc = pthread_create(&tid, nullptr, &AppWorker::Main, this);
        if (rc != 0) {
            APP_ERR("%s not started: %d", mName, rc);
            return false;
        }
        pthread_detach(tid);
        mStarted = true;
    }
    mJobs.push_back(std::move(job));
    mWake.notify_one();
    return true;
}

void AppWorker::WaitIdle()
{
    std::unique_lock<std::mutex> lk(mLock);
    mIdle.wait(lk, [this] { return mJobs.empty() && !mRunning; });
}

bool AppWorker::Busy()
{
    std::lock_guard<std::mutex> lk(mLock);
    return !mJobs.empty() || mRunning;
}

void* AppWorker::Main(void* self)
{
    static_cast<AppWorker*>(self)->Loop();
    return nullptr;
}

void AppWorker::Loop()
{
    prctl(PR_SET_NAME, mName);
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    std::unique_lock<std::mutex> lk(mLock);
    for (;;) {
        mWake.wait(lk, [this] { return !mJobs.empty(); });
        std::function<void()> job = std::move(mJobs.front());
        mJobs.pop_front();
        mRunning = true;
        lk.unlock();
        job();
        job = nullptr;
        lk.lock();
        mRunning = false;
        if (mJobs.empty()) {
            mIdle.notify_all();
        }
    }
}

AppWorker& DoorPhoneWorker()
{
    static AppWorker* worker = new AppWorker("DoorPhoneWorker");
    return *worker;
}
