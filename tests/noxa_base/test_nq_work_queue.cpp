// Work pools and the process-wide work queue.
#include "events.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_base/sys_serv/nq_work_queue.h"

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The test links with --wrap=pthread_create: thread creation can be made to fail on demand.
extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
static std::atomic<int> gCreatesBeforeFailure{-1};
extern "C" int __wrap_pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg)
{
    if (gCreatesBeforeFailure.fetch_sub(1) == 0) {
        return EAGAIN;
    }
    return __real_pthread_create(t, a, f, arg);
}

namespace {

using namespace std::chrono_literals;

Events gEvents;
std::mutex gThreadsMutex;
std::multiset<std::string> gJobThreads;

// Names of this process's threads that start with `prefix`.
std::vector<std::string> LiveThreads(const std::string& prefix)
{
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return names;
    }
    while (dirent* e = readdir(dir)) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind(prefix, 0) == 0) {
            names.push_back(name);
        }
    }
    closedir(dir);
    return names;
}

struct BlockingJob {
    Gate gate;
    std::string name;
    std::string thread;
};

void RunBlocking(void* arg)
{
    auto* job = static_cast<BlockingJob*>(arg);
    job->thread = ThreadName();
    gEvents.Add(job->name + " started");
    job->gate.Pass();
    gEvents.Add(job->name + " done");
}

}  // namespace

TEST(WorkQueue, JobsRunOnceOnTheWorkThreads)
{
    ASSERT_EQ(0, nq_work_queue_init());
    ASSERT_EQ(0, nq_work_queue_init()) << "a second init is harmless";
    constexpr int kJobs = 500;
    static std::atomic<int> runs[kJobs];
    for (int i = 0; i < kJobs; ++i) {
        ASSERT_EQ(0, nq_work_queue_add(
                         [](void* arg) {
                             runs[reinterpret_cast<uintptr_t>(arg)]++;
                             {
                                 std::lock_guard<std::mutex> lock(gThreadsMutex);
                                 gJobThreads.insert(ThreadName());
                             }
                             gEvents.Add("job");
                         },
                         reinterpret_cast<void*>(static_cast<uintptr_t>(i))));
    }
    ASSERT_TRUE(gEvents.WaitFor("job", kJobs));
    for (int i = 0; i < kJobs; ++i) {
        EXPECT_EQ(1, runs[i].load()) << "job " << i;
    }
    std::lock_guard<std::mutex> lock(gThreadsMutex);
    for (const std::string& name : gJobThreads) {
        EXPECT_TRUE(name == "wk_th-0" || name == "wk_th-1") << name;
    }
    EXPECT_EQ(UNI_INVALID_PARM, nq_work_queue_add(nullptr, nullptr));
}

TEST(WorkQueue, ThirdJobRunsWhenTheFirstBusyThreadIsFree)
{
    ASSERT_EQ(0, nq_work_queue_init());
    BlockingJob first{{}, "first", {}};
    BlockingJob second{{}, "second", {}};
    BlockingJob third{{}, "third", {}};
    ASSERT_EQ(0, nq_work_queue_add(RunBlocking, &first));
    ASSERT_TRUE(gEvents.WaitFor("first started"));
    ASSERT_EQ(0, nq_work_queue_add(RunBlocking, &second));
    ASSERT_TRUE(gEvents.WaitFor("second started"));
    EXPECT_NE(first.thread, second.thread);
    ASSERT_EQ(0, nq_work_queue_add(RunBlocking, &third));
    third.gate.Open();
    first.gate.Open();
    ASSERT_TRUE(gEvents.WaitFor("third done"));
    EXPECT_EQ(first.thread, third.thread) << "the queued job waited for the busy second thread";
    EXPECT_EQ(0, gEvents.Count("second done"));
    second.gate.Open();
    ASSERT_TRUE(gEvents.WaitFor("second done"));
}

TEST(WorkPool, FailedCreationStopsTheStartedThreads)
{
    WORK_THRD_POOL_HANDLE pool = nullptr;
    EXPECT_EQ(UNI_INVALID_PARM, CreateWorkThrdPool(nullptr, 2560, 3, 2));
    gCreatesBeforeFailure = 2;  // the third thread fails
    EXPECT_EQ(UNI_THRD_CREATE_FAILED, CreateWorkThrdPool(&pool, 2560, 3, 3));
    gCreatesBeforeFailure = -1;
    EXPECT_EQ(nullptr, pool);
    // The two started threads end; their records were freed only after they stopped using
    // them (AddressSanitizer sees a use after free).
    auto deadline = std::chrono::steady_clock::now() + kEventWait;
    while (!LiveThreads("wk_th").empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(LiveThreads("wk_th").empty());

    ASSERT_EQ(0, CreateWorkThrdPool(&pool, 2560, 3, 3));
    BlockingJob job{{}, "after", {}};
    job.gate.Open();
    ASSERT_EQ(0, AddWorkToThrdPool(pool, RunBlocking, &job));
    ASSERT_TRUE(gEvents.WaitFor("after done"));
    EXPECT_EQ("wk_th-0", job.thread);
    EXPECT_EQ(UNI_INVALID_PARM, AddWorkToThrdPool(nullptr, RunBlocking, &job));
    EXPECT_EQ(UNI_INVALID_PARM, AddWorkToThrdPool(pool, nullptr, &job));
}
