// Shared by the board I/O suites: a sandbox with fresh device models and state, and waits that
// take no time but are recorded.
#pragma once

#include "AppState.h"
#include "DeviceState.h"
#include "Peripheral.h"
#include "RingKeyDetect.h"
#include "TimeTask.h"
#include "platform/board_sim.h"
#include "sandbox.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Waits of the board I/O: recorded, and `during` runs in their place (to look at a pulse).
inline std::vector<uint32_t> gSleeps;
inline std::function<void(uint32_t)> gDuringSleep;

inline void RecordSleep(uint32_t ms)
{
    gSleeps.push_back(ms);
    if (gDuringSleep) {
        gDuringSleep(ms);
    }
}

class BoardIoTest : public testing::Test {
protected:
    void SetUp() override
    {
        BoardDevReset();
        gSleeps.clear();
        gDuringSleep = nullptr;
        gBoardIoSleep = RecordSleep;
        TimeTaskInit();
        DEVICE_STATE_S& s = gDeviceState;
        s.SystemMainState = 0;
        s.KeyStep = 0;
        s.LedPattern = 0;
        s.LedPatternSaved = 0;
        s.ViewingMark = 0;
        s.PushGuardTimer = kCountdownStopped;
        gCurrentDoor = 0;
        gAppState.FloorModel = 0;
        gAppState.Online = 0;
        gAppState.ResetFlag = 0;
        gAppState.PushDelay = 0;
        gAppState.CodingEnable = 0;
        gAppState.UnlockedDoor = 0;
        gAppState.UnlockEndsSession = 0;
        gAppState.MotionResumeAtOnce = 0;
        ASSERT_EQ(0, Hc595Init());
    }

    // The first character of a GPIO value file ('0', '1').
    char Gpio(int line) const
    {
        std::string v = mSb.Read("/sys/class/gpio/gpio" + std::to_string(line) + "/value");
        return v.empty() ? '?' : v[0];
    }
    void SetSar(int level) const { mSb.Write("/.board/sar_ch2", std::to_string(level) + "\n"); }
    void Key(bool down) const { mSb.Write("/sys/class/gpio/gpio66/value", down ? "0\n" : "1\n"); }
    static void Ticks(int n)
    {
        for (int i = 0; i < n; ++i) {
            TimeTaskTick();
        }
    }

    TestSandbox mSb;
};
