// Threads, mutexes, semaphores and the list operations under them.
#include "noxa_adapter/system/uni_list.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/system/uni_semaphore.h"
#include "noxa_adapter/system/uni_thread.h"
#include "noxa_adapter/uni_error_code.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kEventWait = 10s;  // generous: only a hang reaches it

// Events seen by the threads under test, in order.
class EventLog {
public:
    void Add(const std::string& e)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEvents.push_back(e);
        mCv.notify_all();
    }
    bool WaitFor(const std::string& e)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCv.wait_for(lock, kEventWait, [&] {
            for (const auto& x : mEvents) {
                if (x == e) {
                    return true;
                }
            }
            return false;
        });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEvents.clear();
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEvents;
    }

private:
    std::mutex mMutex;
    std::condition_variable mCv;
    std::vector<std::string> mEvents;
};

EventLog gEvents;
THRD_HANDLE gHandle = nullptr;
std::string gName;
std::promise<void> gEnterRelease;

void LoopUntilStopped(void*)
{
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    gName = name;
    gEvents.Add("running");
    while (GetThrdSta(gHandle) == THRD_STA_RUNNING) {
        std::this_thread::sleep_for(1ms);
    }
    gEvents.Add("func returned");
}

void OnEnter()
{
    gEvents.Add("enter");
    gEnterRelease.get_future().wait();
}

void OnExit()
{
    gEvents.Add("exit");
}

}  // namespace

TEST(Thread, DeleteBeforeRunningIsRefusedAndExitFollowsStop)
{
    gEvents.Clear();
    THRD_PARAM_S param = {4096, 3, "abcdefghijklmno"};
    ASSERT_EQ(0, CreateAndStart(&gHandle, OnEnter, OnExit, LoopUntilStopped, nullptr, &param));
    // The enter callback holds the thread before it is marked running.
    ASSERT_TRUE(gEvents.WaitFor("enter"));
    EXPECT_EQ(-1, DeleteThrdHandle(gHandle));
    EXPECT_EQ(THRD_STA_INIT, GetThrdSta(gHandle)) << "a refused delete changed the state";
    gEnterRelease.set_value();
    ASSERT_TRUE(gEvents.WaitFor("running"));
    EXPECT_EQ(THRD_STA_RUNNING, GetThrdSta(gHandle));
    EXPECT_EQ("abcdefghij", gName) << "names are cut to ten characters";

    EXPECT_EQ(0, DeleteThrdHandle(gHandle));
    ASSERT_TRUE(gEvents.WaitFor("exit"));
    std::vector<std::string> expected = {"enter", "running", "func returned", "exit"};
    EXPECT_EQ(expected, gEvents.Events());
}

TEST(Thread, ManyThreadsComeAndGo)
{
    // Functions that return without a stop: each runs once, the thread waits for its delete.
    // Every record goes through the delete list and is freed by a sweep; LeakSanitizer and
    // AddressSanitizer see a lost or twice-freed record.
    constexpr int kThreads = 16;
    static std::atomic<int> exits{0};
    std::vector<THRD_HANDLE> handles(kThreads);
    static std::atomic<int> running{0};
    for (int i = 0; i < kThreads; ++i) {
        THRD_PARAM_S param = {4096, 3, "many"};
        ASSERT_EQ(0, CreateAndStart(
                         &handles[i], nullptr, [] { exits++; }, [](void*) { running++; }, nullptr, &param));
    }
    for (int i = 0; i < kThreads; ++i) {
        while (GetThrdSta(handles[i]) != THRD_STA_RUNNING) {
            std::this_thread::yield();
        }
        EXPECT_EQ(0, DeleteThrdHandle(handles[i]));
    }
    auto deadline = std::chrono::steady_clock::now() + kEventWait;
    while (exits.load() < kThreads && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(kThreads, exits.load());
    EXPECT_EQ(kThreads, running.load());
}

TEST(Mutex, CodesAndExclusion)
{
    EXPECT_EQ(UNI_INVALID_PARM, CreateMutexAndInit(nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, MutexLock(nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, MutexUnLock(nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, ReleaseMutex(nullptr));

    MUTEX_HANDLE m = nullptr;
    ASSERT_EQ(0, CreateMutexAndInit(&m));
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                UniMutexGuard lock(m);
                ++counter;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(40000, counter);
    EXPECT_EQ(0, ReleaseMutex(m));
}

TEST(Semaphore, CountsPostsAndBlocksAtZero)
{
    EXPECT_EQ(UNI_INVALID_PARM, CreateAndInitSemaphore(nullptr, 0, 1));
    EXPECT_EQ(UNI_INVALID_PARM, WaitSemaphore(nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, PostSemaphore(nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, ReleaseSemaphore(nullptr));

    SEM_HANDLE s = nullptr;
    ASSERT_EQ(0, CreateAndInitSemaphore(&s, 2, 10));
    EXPECT_EQ(0, WaitSemaphore(s));
    EXPECT_EQ(0, WaitSemaphore(s));
    auto waiter = std::async(std::launch::async, [s] { return WaitSemaphore(s); });
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(50ms)) << "a wait at zero returned";
    EXPECT_EQ(0, PostSemaphore(s));
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(kEventWait));
    EXPECT_EQ(0, waiter.get());
    EXPECT_EQ(0, ReleaseSemaphore(s));
}

TEST(List, AddAddTailDelAndEmpty)
{
    struct Item {
        LIST_HEAD node;
        int value;
    };
    LIST_HEAD head;
    uni_list_init(&head);
    EXPECT_EQ(1, uni_list_empty(&head));
    Item a{{}, 1}, b{{}, 2}, c{{}, 3};
    uni_list_add_tail(&a.node, &head);
    uni_list_add(&b.node, &head);       // b a
    uni_list_add_tail(&c.node, &head);  // b a c
    EXPECT_EQ(0, uni_list_empty(&head));
    std::vector<int> seen;
    UNI_LIST_FOR_EACH(pos, &head) {
        seen.push_back(UNI_LIST_ENTRY(pos, Item, node)->value);
    }
    EXPECT_EQ((std::vector<int>{2, 1, 3}), seen);
    seen.clear();
    UNI_LIST_FOR_EACH_SAFE(pos, nxt, &head) {
        auto* item = UNI_LIST_ENTRY(pos, Item, node);
        if (item->value != 3) {
            uni_list_del(pos);
        }
    }
    UNI_LIST_FOR_EACH(pos, &head) {
        seen.push_back(UNI_LIST_ENTRY(pos, Item, node)->value);
    }
    EXPECT_EQ(std::vector<int>{3}, seen);
    uni_list_del(&c.node);
    EXPECT_EQ(1, uni_list_empty(&head));
}
