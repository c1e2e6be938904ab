// The timer task's countdowns, driven tick by tick.
#include "AppState.h"
#include "DeviceState.h"
#include "Media/osd.h"
#include "TimeTask.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

int gClockSyncCalls = 0;
void CountClockSync()
{
    ++gClockSyncCalls;
}

class TimeTask : public testing::Test {
protected:
    void SetUp() override { TimeTaskInit(); }
};

}  // namespace

TEST_F(TimeTask, DueValuesFireOnceAndStoppedValuesNever)
{
    // The key window without a key step only clears the coding-enable flag: an action to watch.
    Countdown& c = gDeviceState.KeyWindowTimer;

    gAppState.CodingEnable = 1;
    c = 1;  // fires on the next tick
    TimeTaskTick();
    EXPECT_EQ(0u, gAppState.CodingEnable);
    EXPECT_EQ(kCountdownStopped, c);
    gAppState.CodingEnable = 1;
    TimeTaskTick();
    EXPECT_EQ(1u, gAppState.CodingEnable) << "fired twice";

    c = 0;  // fires without a decrement
    TimeTaskTick();
    EXPECT_EQ(0u, gAppState.CodingEnable);
    EXPECT_EQ(kCountdownStopped, c);

    c = 3;
    gAppState.CodingEnable = 1;
    TimeTaskTick();
    TimeTaskTick();
    EXPECT_EQ(1u, gAppState.CodingEnable);
    EXPECT_EQ(1, c);
    TimeTaskTick();
    EXPECT_EQ(0u, gAppState.CodingEnable);

    for (uint16_t v : {uint16_t{0x8000}, uint16_t{0x9000}, uint16_t{0xFFFE}}) {
        c = v;
        gAppState.CodingEnable = 1;
        for (int i = 0; i < 100; ++i) {
            TimeTaskTick();
        }
        EXPECT_EQ(v, c) << "a stopped value counted";
        EXPECT_EQ(1u, gAppState.CodingEnable) << "a stopped value fired";
    }
}

TEST_F(TimeTask, MinuteActionAndHourlyClockSync)
{
    gTimeTaskClockSync = CountClockSync;
    gAppState.UptimeMinutes = 0;
    EXPECT_EQ(6000, gDeviceState.MinuteTimer);
    for (int i = 0; i < 5999; ++i) {
        TimeTaskTick();
    }
    EXPECT_EQ(0u, gAppState.UptimeMinutes);
    TimeTaskTick();
    EXPECT_EQ(1u, gAppState.UptimeMinutes);
    EXPECT_EQ(6000, gDeviceState.MinuteTimer) << "the minute counter must reload, not stop";

    for (int i = 0; i < 6000 * 58; ++i) {
        TimeTaskTick();
    }
    EXPECT_EQ(59u, gAppState.UptimeMinutes);
    EXPECT_EQ(0, gClockSyncCalls);
    for (int i = 0; i < 6000; ++i) {
        TimeTaskTick();
    }
    EXPECT_EQ(60u, gAppState.UptimeMinutes);
    EXPECT_EQ(1, gClockSyncCalls);
    for (int i = 0; i < 6000 * 60; ++i) {
        TimeTaskTick();
    }
    EXPECT_EQ(120u, gAppState.UptimeMinutes);
    EXPECT_EQ(2, gClockSyncCalls);
    gTimeTaskClockSync = nullptr;
}

TEST_F(TimeTask, BlinkReloadsUntilTheHideTimerExpires)
{
    OSD_ICON_S& icon = gOsdIcon[0];
    icon.FirstCountdown = 50;
    icon.DisplayCountdown = 400;
    int reloads = 0;
    for (int i = 0; i < 400; ++i) {
        TimeTaskTick();
        if (icon.FirstCountdown == 50) {
            ++reloads;
        }
    }
    EXPECT_EQ(7, reloads);  // at ticks 50, 100, ... 350; the hide timer wins at 400
    EXPECT_EQ(kCountdownStopped, icon.DisplayCountdown);
    EXPECT_EQ(kCountdownStopped, icon.FirstCountdown);
    for (int i = 0; i < 100; ++i) {
        TimeTaskTick();
    }
    EXPECT_EQ(kCountdownStopped, icon.FirstCountdown) << "blink came back after the hide";
    EXPECT_EQ(kCountdownStopped, gOsdIcon[1].FirstCountdown);
}

TEST_F(TimeTask, RecordHoldStaysAtZeroAndVideoSettleStopsOnTheFirstTick)
{
    gDeviceState.RecordHoldTimer = 2;
    TimeTaskTick();
    TimeTaskTick();
    EXPECT_EQ(0, gDeviceState.RecordHoldTimer);
    for (int i = 0; i < 10; ++i) {
        TimeTaskTick();
    }
    EXPECT_EQ(0, gDeviceState.RecordHoldTimer);

    gDeviceState.VideoSettleTimer = 0;  // its initial value
    TimeTaskTick();
    EXPECT_EQ(kCountdownStopped, gDeviceState.VideoSettleTimer);
}

TEST_F(TimeTask, InitStopsTheInitialisedRowsOnly)
{
    gDeviceState.PushGuardTimer = 1234;
    gDeviceState.RecordHoldTimer = 77;
    gDeviceState.ViewingTimer = 5;
    gPushWaitTimer = 9;
    TimeTaskInit();
    EXPECT_EQ(1234, gDeviceState.PushGuardTimer);
    EXPECT_EQ(77, gDeviceState.RecordHoldTimer);
    EXPECT_EQ(kCountdownStopped, gDeviceState.ViewingTimer);
    EXPECT_EQ(kCountdownStopped, gPushWaitTimer);
    EXPECT_EQ(6000, gDeviceState.MinuteTimer);
}

// A cancel stored by another thread while the tick decrements must never be lost: with a plain
// read-modify-write the tick writes back the decremented value over the cancel.
TEST_F(TimeTask, CancelRacingTheTickIsNeverLost)
{
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> ticks{0};
    std::thread ticker([&] {
        while (!stop) {
            TimeTaskTick();
            ++ticks;
        }
    });
    Countdown& c = gDeviceState.UnlockSessionTimer;
    int lost = 0;
    for (int i = 0; i < 20000; ++i) {
        c = 0x7000;
        while (c == 0x7000) {  // the ticker is on it now
        }
        // Land the cancel at varying points of the next tick.
        std::atomic<int> spin{0};
        while (spin.fetch_add(1, std::memory_order_relaxed) < i % 97) {
        }
        c = kCountdownStopped;
        uint64_t seen = ticks.load();
        while (ticks.load() < seen + 2) {
            std::this_thread::yield();
        }
        if (c != kCountdownStopped) {
            ++lost;
        }
    }
    stop = true;
    ticker.join();
    EXPECT_EQ(0, lost);
}
