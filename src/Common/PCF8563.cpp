#include "PCF8563.h"

#include "AppLog.h"
#include "I2C.h"

namespace {

constexpr uint8_t kRegControl1 = 0;
constexpr uint8_t kRegSeconds = 2;
constexpr uint8_t kControlStop = 0x20;
constexpr uint8_t kCentury = 0x80;  // set: 19xx
constexpr uint8_t kTimeNotValid = 0x80;  // in the seconds register; cleared by writing it

bool __InRange(const RTC_TIME_S& t)
{
    return t.year >= 1900 && t.year <= 2099 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59 &&
           t.weekday >= 0 && t.weekday <= 6;
}

}  // namespace

int PCF8563_GetTime(RTC_TIME_S* rtc)
{
    if (rtc == nullptr) {
        return -1;
    }
    // Registers 2..8: seconds, minutes, hours, day, weekday, month/century, year. The chip
    // holds them still for one read message, so they all belong to the same second.
    uint8_t r[7];
    if (I2C_ReadRegs(kPcf8563Bus, kPcf8563Address, kRegSeconds, r, sizeof(r)) != 0) {
        return -1;
    }
    rtc->second = BcdToBin(r[0] & 0x7F);
    rtc->minute = BcdToBin(r[1] & 0x7F);
    rtc->hour = BcdToBin(r[2] & 0x3F);
    rtc->day = BcdToBin(r[3] & 0x3F);
    rtc->weekday = r[4] & 0x3F;
    rtc->month = BcdToBin(r[5] & 0x1F);
    rtc->year = ((r[5] & kCentury) != 0 ? 1900 : 2000) + BcdToBin(r[6]);
    APP_DBG("%04d-%02d-%02d  %02d:%02d:%02d", rtc->year, rtc->month, rtc->day, rtc->hour, rtc->minute, rtc->second);
    if ((r[0] & kTimeNotValid) != 0) {
        // A chip never set, or one that lost its supply: the caller decides what that means.
        return kPcf8563TimeNotValid;
    }
    return 0;
}

int PCF8563_SetTime(const RTC_TIME_S* rtc)
{
    if (rtc == nullptr || !__InRange(*rtc)) {
        return -1;
    }
    auto bcd = [](int v) { return BinToBcd(static_cast<uint8_t>(v)); };
    const uint8_t month = static_cast<uint8_t>(bcd(rtc->month) | (rtc->year < 2000 ? kCentury : 0));
    const struct {
        uint8_t reg;
        uint8_t value;
    } writes[] = {
        {kRegControl1, kControlStop},
        {2, bcd(rtc->second)},
        {3, bcd(rtc->minute)},
        {4, bcd(rtc->hour)},
        {5, bcd(rtc->day)},
        {6, static_cast<uint8_t>(rtc->weekday)},
        {7, month},
        {8, bcd(rtc->year % 100)},
        {kRegControl1, 0},
    };
    // Every write is tried, so that the clock is started again even after a failed one; the
    // result tells whether all of them went through.
    int result = 0;
    for (const auto& w : writes) {
        if (I2C_WriteReg(kPcf8563Bus, kPcf8563Address, w.reg, w.value) != 0) {
            result = -1;
        }
    }
    return result;
}
