// Register access on the I2C buses and the PCF8563 real-time clock, down to the messages on the
// bus, and the system clock set from it at start.
#include "DeviceState.h"
#include "I2C.h"
#include "PCF8563.h"
#include "TimeTask.h"
#include "platform/board.h"
#include "platform/board_sim.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Records the messages it gets; reads return 0x5A.
class RecordingDevice : public BoardI2cDevice {
public:
    int Write(const uint8_t* data, size_t len) override
    {
        Log.push_back("W" + Hex(data, len));
        return 0;
    }
    int Read(uint8_t* data, size_t len) override
    {
        for (size_t i = 0; i < len; ++i) {
            data[i] = 0x5A;
        }
        Log.push_back("R" + std::to_string(len));
        return 0;
    }
    static std::string Hex(const uint8_t* d, size_t n)
    {
        std::string s;
        char t[4];
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(t, sizeof(t), " %02X", d[i]);
            s += t;
        }
        return s;
    }
    std::vector<std::string> Log;
};

class Rtc : public testing::Test {
protected:
    void SetUp() override
    {
        BoardDevReset();
        I2cBusTableInit();
        BoardRtcSetHostClock([this] { return mHostNow; });
    }
    void TearDown() override { BoardRtcSetHostClock(nullptr); }

    uint8_t Reg(uint8_t reg)
    {
        uint8_t v = 0xEE;
        EXPECT_EQ(0, I2C_ReadReg(kPcf8563Bus, kPcf8563Address, reg, &v));
        return v;
    }

    TestSandbox mSb;
    time_t mHostNow = 1700000000;
};

bool operator==(const RTC_TIME_S& a, const RTC_TIME_S& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second && a.weekday == b.weekday;
}

}  // namespace

TEST_F(Rtc, RegisterOperationsAreOneTransferEach)
{
    auto dev = std::make_shared<RecordingDevice>();
    BoardI2cAttach(0, 0x22, dev);
    EXPECT_EQ(0, I2C_WriteReg(0, 0x22, 0x10, 0xAB));
    uint8_t v = 0;
    EXPECT_EQ(0, I2C_ReadReg(0, 0x22, 0x10, &v));
    EXPECT_EQ(0x5A, v);
    // Write: one message of register and value. Read: the register, then one byte back.
    EXPECT_EQ((std::vector<std::string>{"W 10 AB", "W 10", "R1"}), dev->Log);

    v = 0x11;
    EXPECT_EQ(-1, I2C_ReadReg(0, 0x23, 0x10, &v)) << "nobody at 0x23";
    EXPECT_EQ(0x11, v) << "a failed read handed back a value";
    EXPECT_EQ(-1, I2C_WriteReg(0, 0x23, 0x10, 1));
    EXPECT_EQ(-1, I2C_WriteReg(2, 0x22, 0x10, 1)) << "there are two buses";
    EXPECT_EQ(-1, I2C_ReadReg(-1, 0x22, 0x10, &v));
}

TEST_F(Rtc, SetThenGetGivesTheSameRecordAndTheClockRuns)
{
    const RTC_TIME_S set = {2031, 2, 3, 4, 5, 6, 1};
    EXPECT_EQ(0, PCF8563_SetTime(&set));
    RTC_TIME_S got = {};
    EXPECT_EQ(0, PCF8563_GetTime(&got));
    EXPECT_TRUE(got == set) << got.year << "-" << got.month << "-" << got.day << " " << got.hour << ":" << got.minute
                            << ":" << got.second << " wd " << got.weekday;
    EXPECT_EQ(0, Reg(0)) << "the clock was left stopped";

    mHostNow += 24 * 3600 + 3661;
    EXPECT_EQ(0, PCF8563_GetTime(&got));
    const RTC_TIME_S later = {2031, 2, 4, 5, 6, 7, 2};
    EXPECT_TRUE(got == later) << got.day << " " << got.hour << ":" << got.minute << ":" << got.second;
}

TEST_F(Rtc, CenturyBitAndTheTurnOfTheCentury)
{
    // Month register with bit 7 and year 0x99: 1999.
    for (auto [reg, value] : std::vector<std::pair<uint8_t, uint8_t>>{
             {0, 0x20}, {2, 0x30}, {3, 0x15}, {4, 0x12}, {5, 0x24}, {6, 5}, {7, 0x80 | 0x12}, {8, 0x99}}) {
        ASSERT_EQ(0, I2C_WriteReg(kPcf8563Bus, kPcf8563Address, reg, value));
    }
    RTC_TIME_S got = {};
    EXPECT_EQ(0, PCF8563_GetTime(&got));
    const RTC_TIME_S christmasEve = {1999, 12, 24, 12, 15, 30, 5};
    EXPECT_TRUE(got == christmasEve) << got.year << "-" << got.month;

    const RTC_TIME_S y2k = {2000, 1, 1, 0, 0, 0, 6};
    EXPECT_EQ(0, PCF8563_SetTime(&y2k));
    EXPECT_EQ(0x01, Reg(7)) << "no century bit in 2000";
    EXPECT_EQ(0x00, Reg(8));
    const RTC_TIME_S nye = {1999, 12, 31, 23, 59, 59, 5};
    EXPECT_EQ(0, PCF8563_SetTime(&nye));
    EXPECT_EQ(0x92, Reg(7));
    EXPECT_EQ(0x99, Reg(8));
    EXPECT_EQ(0x59, Reg(2));
}

TEST_F(Rtc, RecordsOutsideTheChipAreRefused)
{
    const RTC_TIME_S ok = {2024, 5, 6, 7, 8, 9, 1};
    ASSERT_EQ(0, PCF8563_SetTime(&ok));
    const RTC_TIME_S bad[] = {
        {1899, 1, 1, 0, 0, 0, 0}, {2100, 1, 1, 0, 0, 0, 0}, {2024, 0, 1, 0, 0, 0, 0}, {2024, 13, 1, 0, 0, 0, 0},
        {2024, 1, 0, 0, 0, 0, 0}, {2024, 1, 1, 24, 0, 0, 0}, {2024, 1, 1, 0, 60, 0, 0}, {2024, 1, 1, 0, 0, -1, 0},
        {2024, 1, 1, 0, 0, 0, 7},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(-1, PCF8563_SetTime(&b)) << b.year << "-" << b.month << "-" << b.day;
    }
    EXPECT_EQ(-1, PCF8563_SetTime(nullptr));
    RTC_TIME_S got = {};
    EXPECT_EQ(0, PCF8563_GetTime(&got));
    EXPECT_TRUE(got == ok) << "a refused record changed the clock";
}

TEST_F(Rtc, MissingBusFailsEveryCallAndFreesTheBus)
{
    ASSERT_EQ(0, unlink(mSb.Path("/dev/i2c-1").c_str()));
    RTC_TIME_S got = {1, 2, 3, 4, 5, 6, 0};
    EXPECT_EQ(-1, PCF8563_GetTime(&got));
    EXPECT_EQ(-1, PCF8563_GetTime(&got)) << "the second call must not hang on the bus lock";
    EXPECT_EQ(1, got.year) << "a failed read changed the record";
    const RTC_TIME_S set = {2024, 1, 1, 0, 0, 0, 1};
    EXPECT_EQ(-1, PCF8563_SetTime(&set));
    ASSERT_TRUE(gDeviceState.I2cBus[1].Mutex.try_lock());
    gDeviceState.I2cBus[1].Mutex.unlock();

    // Bus 0 is not affected.
    BoardI2cAttach(0, 0x22, std::make_shared<RecordingDevice>());
    EXPECT_EQ(0, I2C_WriteReg(0, 0x22, 1, 2));
}

TEST_F(Rtc, OneReadCannotTearAtMidnight)
{
    const RTC_TIME_S nye = {2031, 12, 31, 23, 59, 59, 3};
    ASSERT_EQ(0, PCF8563_SetTime(&nye));
    // From here on the host clock moves a second at every look, so between two register reads.
    BoardRtcSetHostClock([this] { return mHostNow++; });
    RTC_TIME_S got = {};
    ASSERT_EQ(0, PCF8563_GetTime(&got));
    const RTC_TIME_S newYear = {2032, 1, 1, 0, 0, 0, 4};
    EXPECT_TRUE(got == nye || got == newYear) << got.year << "-" << got.month << "-" << got.day << " " << got.hour
                                              << ":" << got.minute << ":" << got.second << " wd " << got.weekday;
}

TEST_F(Rtc, ClockSetUpLeavesTheClockAloneOnANackOrALostTime)
{
    BoardI2cSetNack(kPcf8563Bus, kPcf8563Address, true);
    EXPECT_EQ(0, SetSystemTimeFromRtc());
    EXPECT_FALSE(mSb.Exists("/.board/clock_offset")) << "the clock was set from a failed read";
    EXPECT_LE(std::llabs(BoardTime(nullptr) - time(nullptr)), 2);

    // A clock that was never set says its time is not valid.
    BoardI2cSetNack(kPcf8563Bus, kPcf8563Address, false);
    EXPECT_EQ(0x80, Reg(2) & 0x80);
    RTC_TIME_S got = {};
    EXPECT_EQ(kPcf8563TimeNotValid, PCF8563_GetTime(&got));
    EXPECT_EQ(0, SetSystemTimeFromRtc());
    EXPECT_FALSE(mSb.Exists("/.board/clock_offset")) << "the clock was set from a lost time";

    // Setting the clock makes its time valid again, and the set-up takes it.
    const RTC_TIME_S set = {2031, 2, 3, 4, 5, 6, 1};
    ASSERT_EQ(0, PCF8563_SetTime(&set));
    EXPECT_EQ(0, Reg(2) & 0x80);
    EXPECT_EQ(0, PCF8563_GetTime(&got));
    EXPECT_EQ(0, SetSystemTimeFromRtc());
    struct tm tm = {};
    tm.tm_year = 131;
    tm.tm_mon = 1;
    tm.tm_mday = 3;
    tm.tm_hour = 4;
    tm.tm_min = 5;
    tm.tm_sec = 6;
    EXPECT_LE(std::llabs(BoardTime(nullptr) - mktime(&tm)), 2);
}

TEST_F(Rtc, BusesAreUsedFromSeveralThreads)
{
    auto dev = std::make_shared<RecordingDevice>();
    BoardI2cAttach(0, 0x22, dev);
    const RTC_TIME_S set = {2031, 2, 3, 4, 5, 6, 1};
    ASSERT_EQ(0, PCF8563_SetTime(&set));
    std::atomic<int> failures{0};
    std::thread clock([&] {
        RTC_TIME_S t = {};
        for (int i = 0; i < 200; ++i) {
            failures += PCF8563_GetTime(&t) != 0;
        }
    });
    std::thread decoder([&] {
        for (int i = 0; i < 500; ++i) {
            failures += I2C_WriteReg(0, 0x22, static_cast<uint8_t>(i), 1) != 0;
        }
    });
    clock.join();
    decoder.join();
    EXPECT_EQ(0, failures);
    EXPECT_EQ(500u, dev->Log.size());
}
