// The timer queue driven pass by pass on the test clock, and the system timer service.
#include "events.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/sys_serv/sys_timer.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Fired {
    std::vector<TIMER_ID> ids;
    std::vector<uint64_t> at;  // test-clock time of each call
    std::vector<int> runningInside;
};

TIMER_QUE_HANDLE gQue = nullptr;

void Record(TIMER_ID id, void* arg)
{
    auto* f = static_cast<Fired*>(arg);
    f->ids.push_back(id);
    f->at.push_back(uni_get_tick_ms());
    f->runningInside.push_back(IsTimerRunFromQue(gQue, id));
}

class TimerQueue : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, CreateTimerQueAndInit(&gQue)); }
    void TearDown() override { EXPECT_EQ(0, ReleaseTimerQue(gQue)); }

    // Moves the clock in 10 ms passes, as the timer thread would see it.
    void Run(uint64_t ms)
    {
        for (uint64_t t = 0; t < ms; t += 10) {
            mClock.Advance(10);
            DispatchTimerFromQue(gQue);
        }
    }

    UniTestClock mClock{50000};
    Fired mFired;
};

}  // namespace

TEST_F(TimerQueue, OneShotFiresOnceAtItsTime)
{
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, Record, 1, &mFired));
    const uint64_t start = mClock.Now();
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 1000, TIMER_ONCE));
    EXPECT_EQ(1, IsTimerRunFromQue(gQue, 1));
    mClock.Advance(999);
    DispatchTimerFromQue(gQue);
    EXPECT_TRUE(mFired.ids.empty()) << "fired 1 ms early";
    mClock.Advance(1);
    DispatchTimerFromQue(gQue);
    ASSERT_EQ(1u, mFired.ids.size());
    EXPECT_EQ(start + 1000, mFired.at[0]);
    EXPECT_EQ(0, mFired.runningInside[0]) << "a one-shot timer is disarmed before its callback";
    Run(5000);
    EXPECT_EQ(1u, mFired.ids.size()) << "a one-shot timer fired twice";
    EXPECT_EQ(0, IsTimerRunFromQue(gQue, 1));
}

TEST_F(TimerQueue, CyclicPeriodsCountFromEachCallback)
{
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, Record, 1, &mFired));
    const uint64_t start = mClock.Now();
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 250, TIMER_CYCLE));
    Run(1000);
    ASSERT_EQ(4u, mFired.ids.size());
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(start + 250 * (i + 1), mFired.at[i]);
        EXPECT_EQ(1, mFired.runningInside[i]);
    }
    // A late pass delays every later period: they count from the callback, not the schedule.
    mClock.Advance(1105);  // 105 ms late
    DispatchTimerFromQue(gQue);
    ASSERT_EQ(5u, mFired.ids.size()) << "a late cyclic timer fires once, not once per missed period";
    Run(250);
    ASSERT_EQ(6u, mFired.ids.size());
    EXPECT_EQ(mFired.at[4] + 250, mFired.at[5]);
}

TEST_F(TimerQueue, CyclicTimerStopsItselfAndDeletesItself)
{
    static int calls = 0;
    calls = 0;
    auto stopOnThird = [](TIMER_ID id, void*) {
        if (++calls == 3) {
            EXPECT_EQ(0, StopTimerFromQue(gQue, id));
        }
    };
    ASSERT_EQ(0, AddTimerToQue(gQue, 100, stopOnThird, 1, nullptr));
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, Record, 2, &mFired));
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 0, TIMER_CYCLE));  // the interval given at the add
    ASSERT_EQ(0, StartTimerFromQue(gQue, 2, 100, TIMER_CYCLE));
    Run(1000);
    EXPECT_EQ(3, calls) << "a cyclic timer stopped in its callback fired again";
    EXPECT_EQ(10u, mFired.ids.size());

    static int deletes = 0;
    auto deleteSelf = [](TIMER_ID id, void*) {
        ++deletes;
        EXPECT_EQ(0, DeleteTimerFromQue(gQue, id));
    };
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, deleteSelf, 3, nullptr));
    ASSERT_EQ(0, StartTimerFromQue(gQue, 3, 20, TIMER_CYCLE));
    mFired.ids.clear();
    Run(200);
    EXPECT_EQ(1, deletes);
    EXPECT_EQ(UNI_TIMER_ID_NOT_FOUND, StopTimerFromQue(gQue, 3));
    EXPECT_EQ(2u, mFired.ids.size()) << "a timer deleting itself disturbed the others";
}

TEST_F(TimerQueue, ZeroIntervalAndTrigger)
{
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, Record, 1, &mFired));
    // A fresh timer has interval 0: it fires at the next pass.
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 0, TIMER_ONCE));
    DispatchTimerFromQue(gQue);
    ASSERT_EQ(1u, mFired.ids.size());

    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 500, TIMER_ONCE));
    Run(500);
    ASSERT_EQ(2u, mFired.ids.size());
    const uint64_t restart = mClock.Now();
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 0, TIMER_ONCE));  // reuses 500
    Run(490);
    EXPECT_EQ(2u, mFired.ids.size());
    Run(10);
    ASSERT_EQ(3u, mFired.ids.size());
    EXPECT_EQ(restart + 500, mFired.at[2]);

    // A cyclic timer of interval 0 fires once per pass instead of spinning inside one.
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, Record, 2, &mFired));
    ASSERT_EQ(0, StartTimerFromQue(gQue, 2, 0, TIMER_CYCLE));
    DispatchTimerFromQue(gQue);
    DispatchTimerFromQue(gQue);
    EXPECT_EQ(5u, mFired.ids.size());
    ASSERT_EQ(0, StopTimerFromQue(gQue, 2));

    // Trigger: an armed timer fires at the next pass, a stopped one stays stopped.
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 60000, TIMER_ONCE));
    ASSERT_EQ(0, TriggerTimerFromQue(gQue, 1));
    ASSERT_EQ(0, TriggerTimerFromQue(gQue, 2));
    DispatchTimerFromQue(gQue);
    ASSERT_EQ(6u, mFired.ids.size());
    EXPECT_EQ(1, mFired.ids[5]);
    Run(100);
    EXPECT_EQ(6u, mFired.ids.size());
}

TEST_F(TimerQueue, TriggerAtClockZeroStillFires)
{
    mClock.Set(300);
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, Record, 1, &mFired));
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 60000, TIMER_ONCE));
    ASSERT_EQ(0, TriggerTimerFromQue(gQue, 1));
    DispatchTimerFromQue(gQue);
    EXPECT_EQ(1u, mFired.ids.size());
}

TEST_F(TimerQueue, IdsAndTheirCodes)
{
    TIMER_ID id = 0;
    ASSERT_EQ(0, GetIdleTimerId(gQue, &id));
    EXPECT_EQ(1, id);
    struct Row {
        TIMER_ID id;
        int code;
    };
    const Row rows[] = {
        {0, UNI_INVALID_PARM}, {1, 0}, {2, 0}, {5, 0},
        {5, UNI_TIMER_ID_EXIST},    // equal to the last one
        {2, UNI_TIMER_ID_EXIST},    // below, in the queue
        {3, UNI_TIMER_ID_INVALID},  // below, not in the queue
        {6, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.code, AddTimerToQue(gQue, 0, Record, row.id, &mFired)) << row.id;
    }
    EXPECT_EQ(UNI_INVALID_PARM, AddTimerToQue(gQue, 0, nullptr, 9, nullptr));
    ASSERT_EQ(0, GetIdleTimerId(gQue, &id));
    EXPECT_EQ(7, id);
    // Deleting the last timer lowers the next id.
    ASSERT_EQ(0, DeleteTimerFromQue(gQue, 6));
    ASSERT_EQ(0, GetIdleTimerId(gQue, &id));
    EXPECT_EQ(6, id);

    for (auto call : {+[](TIMER_ID i) { return DeleteTimerFromQue(gQue, i); },
                      +[](TIMER_ID i) { return StopTimerFromQue(gQue, i); },
                      +[](TIMER_ID i) { return TriggerTimerFromQue(gQue, i); },
                      +[](TIMER_ID i) { return StartTimerFromQue(gQue, i, 10, TIMER_ONCE); }}) {
        EXPECT_EQ(UNI_TIMER_ID_NOT_FOUND, call(4));
        EXPECT_EQ(UNI_INVALID_PARM, call(0));
    }
    EXPECT_EQ(0, IsTimerRunFromQue(gQue, 4));

    // Past 65535 the lowest free id comes back instead of 0.
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, Record, 65535, &mFired));
    ASSERT_EQ(0, GetIdleTimerId(gQue, &id));
    EXPECT_EQ(3, id);
}

TEST_F(TimerQueue, DeleteWaitsForTheRunningCallback)
{
    struct Ctx {
        Events events;
        Gate gate;
        std::atomic<bool> done{false};
    } ctx;
    auto slow = [](TIMER_ID, void* arg) {
        auto* c = static_cast<Ctx*>(arg);
        c->events.Add("started");
        c->gate.Pass();
        c->done = true;
    };
    ASSERT_EQ(0, AddTimerToQue(gQue, 0, slow, 1, &ctx));
    ASSERT_EQ(0, StartTimerFromQue(gQue, 1, 0, TIMER_ONCE));
    std::thread timerThread([] { DispatchTimerFromQue(gQue); });
    ASSERT_TRUE(ctx.events.WaitFor("started"));
    auto deleted = std::async(std::launch::async, [&ctx] {
        int ret = DeleteTimerFromQue(gQue, 1);
        return ret == 0 && ctx.done.load();
    });
    EXPECT_EQ(std::future_status::timeout, deleted.wait_for(100ms)) << "delete returned under a running callback";
    ctx.gate.Open();
    EXPECT_TRUE(deleted.get()) << "the callback was still running when delete returned";
    timerThread.join();
}

TEST(SysTimer, CallbacksRunOnTheTimerThread)
{
    UniTestClock clock;
    ASSERT_EQ(0, system_timer_init());
    ASSERT_EQ(0, system_timer_init()) << "a second init is harmless";
    static Events events;
    static std::string thread;
    static int runningInside = -1;
    TIMER_ID id = 0;
    ASSERT_EQ(0, sys_add_timer(
                     [](TIMER_ID tid, void*) {
                         thread = ThreadName();
                         runningInside = IsThisSysTimerRun(tid);
                         events.Add("fired");
                     },
                     nullptr, &id));
    EXPECT_EQ(UNI_INVALID_PARM, sys_add_timer(nullptr, nullptr, &id));
    EXPECT_EQ(UNI_INVALID_PARM, sys_add_timer(Record, nullptr, nullptr));
    ASSERT_EQ(0, sys_start_timer(id, 42000, TIMER_ONCE));
    EXPECT_EQ(1, IsThisSysTimerRun(id));
    clock.Advance(42000);
    ASSERT_TRUE(events.WaitFor("fired"));
    EXPECT_EQ("sys_timer", thread);
    EXPECT_EQ(0, runningInside);
    EXPECT_EQ(0, IsThisSysTimerRun(id));
    EXPECT_EQ(UNI_TIMER_ID_NOT_FOUND, sys_stop_timer(id + 1));
    EXPECT_EQ(0, sys_delete_timer(id));
}

TEST(SysTimer, IdsWrapToTheLowestFree)
{
    ASSERT_EQ(0, system_timer_init());
    auto noop = [](TIMER_ID, void*) {};
    TIMER_ID id = 0;
    for (uint32_t i = 1; i <= 65535; ++i) {
        ASSERT_EQ(0, sys_add_timer(noop, nullptr, &id));
        ASSERT_EQ(i, id);
    }
    EXPECT_EQ(UNI_COM_ERROR, sys_add_timer(noop, nullptr, &id)) << "every id is in use";
    ASSERT_EQ(0, sys_delete_timer(700));
    ASSERT_EQ(0, sys_delete_timer(9));
    ASSERT_EQ(0, sys_add_timer(noop, nullptr, &id));
    EXPECT_EQ(9, id);
    ASSERT_EQ(0, sys_add_timer(noop, nullptr, &id));
    EXPECT_EQ(700, id);
    // The list stays in id order: a reused id can be started and deleted like any other.
    EXPECT_EQ(0, sys_start_timer(700, 10, TIMER_ONCE));
    EXPECT_EQ(1, IsThisSysTimerRun(700));
    EXPECT_EQ(0, sys_delete_timer(700));
    EXPECT_EQ(0, sys_delete_timer(65535));
    ASSERT_EQ(0, sys_add_timer(noop, nullptr, &id));
    EXPECT_EQ(65535, id);
}

TEST(SysTimer, ConcurrentAddersGetDistinctIds)
{
    ASSERT_EQ(0, system_timer_init());
    constexpr int kThreads = 4;
    constexpr int kAdds = 2000;
    std::vector<std::vector<TIMER_ID>> ids(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kAdds; ++i) {
                TIMER_ID id = 0;
                if (sys_add_timer([](TIMER_ID, void*) {}, nullptr, &id) == 0) {
                    ids[t].push_back(id);
                }
            }
        });
    }
    go = true;
    for (auto& th : threads) {
        th.join();
    }
    std::vector<TIMER_ID> all;
    for (const auto& v : ids) {
        all.insert(all.end(), v.begin(), v.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(static_cast<size_t>(kThreads * kAdds), all.size());
    EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end())) << "one id given twice";
    for (TIMER_ID id : all) {
        EXPECT_EQ(0, sys_delete_timer(id)) << id;
    }
}

TEST(SysTimer, ReleaseWaitsForARunningPass)
{
    UniTestClock clock;
    ASSERT_EQ(0, system_timer_init());
    static Events events;
    static Gate gate;
    static std::atomic<bool> done{false};
    TIMER_ID id = 0;
    ASSERT_EQ(0, sys_add_timer(
                     [](TIMER_ID, void*) {
                         events.Add("started");
                         gate.Pass();
                         done = true;
                     },
                     nullptr, &id));
    ASSERT_EQ(0, sys_start_timer(id, 10, TIMER_ONCE));
    clock.Advance(10);
    ASSERT_TRUE(events.WaitFor("started"));
    auto released = std::async(std::launch::async, [] { return system_timer_release() == 0 && done.load(); });
    EXPECT_EQ(std::future_status::timeout, released.wait_for(100ms)) << "released under a running pass";
    gate.Open();
    EXPECT_TRUE(released.get());
    EXPECT_EQ(-1, sys_add_timer([](TIMER_ID, void*) {}, nullptr, &id));
    EXPECT_EQ(-1, system_timer_init()) << "the service does not come back after its release";
}

TEST(SysTimer, ReleaseFromItsOwnCallback)
{
    UniTestClock clock;
    ASSERT_EQ(0, system_timer_init());
    static Events events;
    TIMER_ID first = 0;
    TIMER_ID second = 0;
    ASSERT_EQ(0, sys_add_timer(
                     [](TIMER_ID, void*) {
                         EXPECT_EQ(0, system_timer_release());
                         events.Add("released");
                     },
                     nullptr, &first));
    ASSERT_EQ(0, sys_add_timer([](TIMER_ID, void*) { events.Add("second"); }, nullptr, &second));
    ASSERT_EQ(0, sys_start_timer(first, 10, TIMER_ONCE));
    ASSERT_EQ(0, sys_start_timer(second, 10, TIMER_ONCE));
    clock.Advance(10);
    ASSERT_TRUE(events.WaitFor("released"));
    // The pass goes on over the queue, which the thread frees once it is over.
    ASSERT_TRUE(events.WaitFor("second"));
    EXPECT_EQ(0, IsThisSysTimerRun(second));
}
