#include "noxa_adapter/utilities/uni_time.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr uint32_t SEC_PER_YR[2] = {31536000, 31622400};
constexpr uint32_t SEC_PER_DY = 86400;
constexpr uint32_t SEC_PER_HR = 3600;
constexpr uint32_t SEC_PER_MT[2][12] = {
    {31 * SEC_PER_DY, 28 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY,
     31 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY, 31 * SEC_PER_DY},
    {31 * SEC_PER_DY, 29 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY,
     31 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY, 31 * SEC_PER_DY, 30 * SEC_PER_DY, 31 * SEC_PER_DY},
};
constexpr int kWeekdayOffset[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// A clock ahead of the cloud's value by up to this much is not set back.
constexpr TIME_T kSetTolerance = 5;
constexpr uint64_t kTickWrap = 1ull << 32;
constexpr int32_t kFirstYear = 70;
constexpr int32_t kLastYear = 205;  // 2105: the last whole year in 32 bits of posix seconds
// Zones kept on earth: UTC-12:00 to UTC+14:00.
constexpr int32_t kZoneMinS = -12 * 3600;
constexpr int32_t kZoneMaxS = 14 * 3600;
// The year of this build, from the compiler's date ("Mmm dd yyyy").
constexpr int kBuildYear = (__DATE__[7] - '0') * 1000 + (__DATE__[8] - '0') * 100 + (__DATE__[9] - '0') * 10 +
                           (__DATE__[10] - '0');

// The wall clock: cloud-set seconds, running on from the tick at which they were set.
struct ClockState {
    std::mutex mutex;
    TIME_T cloudSec = 0;
    uint64_t setTick = 0;
    bool synced = false;
    uint32_t sumCount = 0;
    SUM_ZONE_S sum[SUM_ZONE_TAB_LMT] = {};
};
ClockState s_clock;
std::once_flag s_clockOnce;
std::atomic<int32_t> s_zoneOffset{0};
std::atomic<bool> s_zoneSet{false};

struct SystemTimeState {
    std::mutex mutex;
    uint32_t secOffset = 0;
    uint32_t msOffset = 0;
    uint64_t lastTick = 0;
};
SystemTimeState s_sysTime;

std::atomic<bool> s_testClockOn{false};
std::atomic<uint64_t> s_testClockMs{0};

bool __is_leap(uint32_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Caller holds the clock mutex.
TIME_T __posix_locked(uint64_t now)
{
    if (now < s_clock.setTick) {
        // A counter that wrapped at 32 bits: the time up to the wrap is kept in the seconds.
        s_clock.cloudSec += static_cast<TIME_T>((kTickWrap - s_clock.setTick) / 1000);
        s_clock.setTick = 0;
    }
    return s_clock.cloudSec + static_cast<TIME_T>((now - s_clock.setTick) / 1000);
}

bool __in_sum_zone(TIME_T t)
{
    std::lock_guard<std::mutex> lock(s_clock.mutex);
    for (uint32_t i = 0; i < s_clock.sumCount; ++i) {
        if (s_clock.sum[i].start <= t && t <= s_clock.sum[i].end) {
            return true;
        }
    }
    return false;
}

// `n` decimal digits at s[pos]; -1 when one is not a digit.
int __digits(const char* s, int pos, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        char c = s[pos + i];
        if (c < '0' || c > '9') {
            return -1;
        }
        v = v * 10 + (c - '0');
    }
    return v;
}

// "hh:mm:ss" at s[pos].
bool __clock_fields(const char* s, int pos, POSIX_TM_S* tm)
{
    tm->tm_hour = __digits(s, pos, 2);
    tm->tm_min = __digits(s, pos + 3, 2);
    tm->tm_sec = __digits(s, pos + 6, 2);
    return tm->tm_hour >= 0 && tm->tm_min >= 0 && tm->tm_sec >= 0 && s[pos + 2] == ':' && s[pos + 5] == ':';
}

TIME_T __to_time(POSIX_TM_S* tm)
{
    if (tm->tm_mday < 0 || tm->tm_year < 0) {
        return 0;
    }
    TIME_T t = uni_mktime(tm);
    return t == UNI_TIME_INVALID ? 0 : t;
}

}  // namespace

int uni_time_init(void)
{
    std::call_once(s_clockOnce, [] {
        std::lock_guard<std::mutex> lock(s_clock.mutex);
        s_clock.cloudSec = 0;
        s_clock.setTick = uni_get_tick_ms();
        s_clock.sumCount = 0;
    });
    return UNI_OK;
}

int uni_time_set(TIME_T t, int synced)
{
    std::lock_guard<std::mutex> lock(s_clock.mutex);
    uint64_t now = uni_get_tick_ms();
    TIME_T current = __posix_locked(now);
    if (!(t <= current && static_cast<uint64_t>(current) <= static_cast<uint64_t>(t) + kSetTolerance)) {
        s_clock.cloudSec = t;
        s_clock.setTick = now;
    }
    if (synced == 1) {
        s_clock.synced = true;
    }
    return UNI_OK;
}

int uni_time_check_sync(void)
{
    std::lock_guard<std::mutex> lock(s_clock.mutex);
    return s_clock.synced && s_zoneSet.load() ? UNI_OK : UNI_COM_ERROR;
}

TIME_T uni_time_get_posix(void)
{
    std::lock_guard<std::mutex> lock(s_clock.mutex);
    return __posix_locked(uni_get_tick_ms());
}

uint64_t uni_time_get_posix_ms(void)
{
    std::lock_guard<std::mutex> lock(s_clock.mutex);
    uint64_t now = uni_get_tick_ms();
    __posix_locked(now);
    return static_cast<uint64_t>(s_clock.cloudSec) * 1000 + (now - s_clock.setTick);
}

int uni_get_utc_tm(POSIX_TM_S* tm)
{
    if (tm == nullptr) {
        return UNI_INVALID_PARM;
    }
    return uni_gmtime(uni_time_get_posix(), tm) == UNI_OK ? UNI_OK : UNI_COM_ERROR;
}

int uni_parse_time_zone(const char* zone, int32_t* offset)
{
    if (zone == nullptr || offset == nullptr) {
        return UNI_INVALID_PARM;
    }
    // Digits are read one by one: a number scanned as a whole could overflow.
    const char* p = zone;
    int sign = 1;
    if (*p == '+' || *p == '-') {
        sign = *p == '-' ? -1 : 1;
        ++p;
    }
    int hours = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 3; ++p, ++digits) {
        hours = hours * 10 + (*p - '0');
    }
    // The minutes are read only behind a colon (a digit that fails stops the read).
    int minutes = digits >= 1 && digits <= 2 && p[0] == ':' ? __digits(p, 1, 2) : -1;
    if (minutes < 0 || minutes > 59 || p[3] != '\0') {
        PR_ERR("time zone \"%.16s\" not taken", zone);
        return UNI_INVALID_PARM;
    }
    int32_t value = sign * (hours * 60 + minutes) * 60;
    if (value < kZoneMinS || value > kZoneMaxS) {
        PR_ERR("time zone \"%.16s\" out of range", zone);
        return UNI_INVALID_PARM;
    }
    *offset = value;
    return UNI_OK;
}

int uni_set_time_zone(const char* zone)
{
    int32_t offset = 0;
    int ret = uni_parse_time_zone(zone, &offset);
    if (ret != UNI_OK) {
        return ret;
    }
    s_zoneOffset.store(offset);
    s_zoneSet.store(true);
    return UNI_OK;
}

TIME_T uni_time_build_year_start(void)
{
    POSIX_TM_S tm = {};
    tm.tm_mday = 1;
    tm.tm_year = kBuildYear - 1900;
    return uni_mktime(&tm);
}

int uni_get_time_zone(int32_t* offset)
{
    if (offset == nullptr) {
        return UNI_INVALID_PARM;
    }
    *offset = s_zoneOffset.load();
    return UNI_OK;
}

int uni_local_time_get(TIME_T t, POSIX_TM_S* tm)
{
    if (tm == nullptr) {
        return UNI_INVALID_PARM;
    }
    if (t == 0) {
        t = uni_time_get_posix();
    }
    // Summer time is decided for the time asked about, not for now.
    int64_t local = static_cast<int64_t>(t) + s_zoneOffset.load();
    if (__in_sum_zone(t)) {
        local += SEC_PER_HR;
    }
    return uni_gmtime(static_cast<TIME_T>(local), tm);
}

int uni_get_local_tm(POSIX_TM_S* tm)
{
    return uni_local_time_get(0, tm);
}

int uni_set_sum_zone_tbl(const SUM_ZONE_S* zones, uint32_t count)
{
    std::lock_guard<std::mutex> lock(s_clock.mutex);
    if (zones == nullptr || count == 0) {
        s_clock.sumCount = 0;
        return UNI_OK;
    }
    s_clock.sumCount = count < SUM_ZONE_TAB_LMT ? count : SUM_ZONE_TAB_LMT;
    memcpy(s_clock.sum, zones, sizeof(SUM_ZONE_S) * s_clock.sumCount);
    return UNI_OK;
}

int uni_is_in_sum_zone(TIME_T t)
{
    return __in_sum_zone(t) ? 1 : 0;
}

int uni_is_in_sum_zone_now(void)
{
    return uni_is_in_sum_zone(uni_time_get_posix());
}

int uni_get_dst_tm(POSIX_TM_S* tm)
{
    if (tm == nullptr) {
        return UNI_INVALID_PARM;
    }
    return uni_gmtime(uni_get_dst_posix(), tm);
}

TIME_T uni_get_dst_posix(void)
{
    TIME_T now = uni_time_get_posix();
    return __in_sum_zone(now) ? now + SEC_PER_HR : now;
}

int uni_gmtime(TIME_T t, POSIX_TM_S* tm)
{
    if (tm == nullptr) {
        return UNI_INVALID_PARM;
    }
    uint32_t rest = t;
    uint32_t year = 1970;
    while (rest >= SEC_PER_YR[__is_leap(year)]) {
        rest -= SEC_PER_YR[__is_leap(year)];
        ++year;
    }
    const uint32_t* months = SEC_PER_MT[__is_leap(year)];
    int mon = 0;
    while (rest >= months[mon]) {
        rest -= months[mon];
        ++mon;
    }
    tm->tm_mday = static_cast<int32_t>(rest / SEC_PER_DY + 1);
    rest %= SEC_PER_DY;
    tm->tm_hour = static_cast<int32_t>(rest / SEC_PER_HR);
    tm->tm_min = static_cast<int32_t>(rest % SEC_PER_HR / 60);
    tm->tm_sec = static_cast<int32_t>(rest % 60);
    tm->tm_mon = mon;
    tm->tm_year = static_cast<int32_t>(year - 1900);
    uint32_t y = mon < 2 ? year - 1 : year;
    tm->tm_wday = static_cast<int32_t>((y + y / 4 - y / 100 + y / 400 + kWeekdayOffset[mon] + tm->tm_mday) % 7);
    return UNI_OK;
}

TIME_T uni_mktime(const POSIX_TM_S* tm)
{
    // The month indexes the month table.
    if (tm == nullptr || tm->tm_mon < 0 || tm->tm_mon > 11 || tm->tm_year < kFirstYear || tm->tm_year > kLastYear) {
        return UNI_TIME_INVALID;
    }
    const uint32_t year = static_cast<uint32_t>(tm->tm_year) + 1900;
    int64_t t = 0;
    for (uint32_t y = 1970; y < year; ++y) {
        t += SEC_PER_YR[__is_leap(y)];
    }
    for (int m = 0; m < tm->tm_mon; ++m) {
        t += SEC_PER_MT[__is_leap(year)][m];
    }
    t += static_cast<int64_t>(tm->tm_mday - 1) * SEC_PER_DY + static_cast<int64_t>(tm->tm_hour) * SEC_PER_HR +
         static_cast<int64_t>(tm->tm_min) * 60 + tm->tm_sec;
    if (t < 0 || t >= static_cast<int64_t>(UNI_TIME_INVALID)) {
        return UNI_TIME_INVALID;
    }
    return static_cast<TIME_T>(t);
}

int uni_month_str_to_num(const char* month)
{
    if (month == nullptr) {
        return 12;
    }
    for (int i = 0; i < 12; ++i) {
        if (strncmp(month, kMonths[i], 3) == 0) {
            return i;
        }
    }
    return 12;
}

TIME_T uni_http_date_to_time(const char* date)
{
    if (date == nullptr || strlen(date) < 4) {
        return 0;
    }
    const size_t len = strlen(date);
    POSIX_TM_S tm = {};
    if (date[3] == ',') {
        // "Sun, 06 Nov 1994 08:49:37 GMT"
        if (len != 29 || date[4] != ' ' || date[7] != ' ' || date[11] != ' ' || date[16] != ' ' ||
            date[25] != ' ' || strncmp(date + 26, "GMT", 3) != 0 || !__clock_fields(date, 17, &tm)) {
            return 0;
        }
        tm.tm_mday = __digits(date, 5, 2);
        tm.tm_mon = uni_month_str_to_num(date + 8);
        int year = __digits(date, 12, 4);
        tm.tm_year = year < 0 ? -1 : year - 1900;
    } else if (date[3] == ' ') {
        // "Sun Nov  6 08:49:37 1994"
        if (len != 24 || date[7] != ' ' || date[10] != ' ' || date[19] != ' ' || !__clock_fields(date, 11, &tm)) {
            return 0;
        }
        tm.tm_mday = date[8] == ' ' ? __digits(date, 9, 1) : __digits(date, 8, 2);
        tm.tm_mon = uni_month_str_to_num(date + 4);
        int year = __digits(date, 20, 4);
        tm.tm_year = year < 0 ? -1 : year - 1900;
    } else {
        // "Sunday, 06-Nov-94 08:49:37 GMT"
        const char* space = strchr(date, ' ');
        if (len < 11 || space == nullptr || strlen(space + 1) != 22) {
            return 0;
        }
        const char* d = space + 1;
        if (d[2] != '-' || d[6] != '-' || d[9] != ' ' || d[18] != ' ' || strncmp(d + 19, "GMT", 3) != 0 ||
            !__clock_fields(d, 10, &tm)) {
            return 0;
        }
        tm.tm_mday = __digits(d, 0, 2);
        tm.tm_mon = uni_month_str_to_num(d + 3);
        int yy = __digits(d, 7, 2);
        tm.tm_year = yy < 0 ? -1 : (yy < 20 ? 100 + yy : yy);
    }
    if (tm.tm_mon == 12) {
        return 0;
    }
    return __to_time(&tm);
}

int uni_get_system_time(uint32_t* sec, uint32_t* ms)
{
    uint64_t tick = uni_get_tick_ms();
    uint64_t last = 0;
    bool recycled = false;
    uint32_t outSec;
    uint32_t outMs;
    {
        std::lock_guard<std::mutex> lock(s_sysTime.mutex);
        last = s_sysTime.lastTick;
        if (tick < last) {
            recycled = true;
            s_sysTime.secOffset += static_cast<uint32_t>(kTickWrap / 1000);
            s_sysTime.msOffset += static_cast<uint32_t>(kTickWrap % 1000);
        }
        s_sysTime.lastTick = tick;
        uint64_t totalMs = tick % 1000 + s_sysTime.msOffset;
        // Milliseconds stay below 1000 so that (seconds, ms) pairs compare in order.
        outSec = static_cast<uint32_t>(tick / 1000 + s_sysTime.secOffset + totalMs / 1000);
        outMs = static_cast<uint32_t>(totalMs % 1000);
    }
    if (recycled) {
        PR_WARN("recycle!! last_tick:0x%x curr_tick:0x%x", static_cast<unsigned>(last), static_cast<unsigned>(tick));
    }
    if (sec != nullptr) {
        *sec = outSec;
    }
    if (ms != nullptr) {
        *ms = outMs;
    }
    return UNI_OK;
}

uint64_t uni_get_tick_ms(void)
{
    if (s_testClockOn.load(std::memory_order_acquire)) {
        return s_testClockMs.load(std::memory_order_acquire);
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

uint32_t uni_get_tick_rate_ms(void)
{
    return 1;
}

void uni_sleep_ms(uint32_t ms)
{
    if (ms / 1000 != 0) {
        sleep(ms / 1000);
    }
    if (ms % 1000 != 0) {
        usleep((ms % 1000) * 1000);
    }
}

int uni_random_bytes(uint8_t* buf, uint32_t len, uint8_t range)
{
    if (buf == nullptr) {
        return UNI_INVALID_PARM;
    }
    const uint32_t r = range == 0 ? 255 : range;
    // Bytes at or above the largest multiple of r are drawn again, so every value is as likely.
    const uint32_t limit = 256 - 256 % r;
    uint8_t pool[64];
    uint32_t have = 0;
    uint32_t next = 0;
    for (uint32_t i = 0; i < len;) {
        if (next == have) {
            ssize_t got = getrandom(pool, sizeof(pool), 0);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                return UNI_COM_ERROR;
            }
            have = static_cast<uint32_t>(got);
            next = 0;
        }
        uint8_t b = pool[next++];
        if (b < limit) {
            buf[i++] = static_cast<uint8_t>(b % r);
        }
    }
    return UNI_OK;
}

int uni_random_string(char* buf, uint32_t len)
{
    static const char kHex[] = "0123456789abcdef";
    if (buf == nullptr) {
        return UNI_INVALID_PARM;
    }
    auto* bytes = reinterpret_cast<uint8_t*>(buf);
    int ret = uni_random_bytes(bytes, len, 16);
    if (ret != UNI_OK) {
        return ret;
    }
    for (uint32_t i = 0; i < len; ++i) {
        buf[i] = kHex[bytes[i]];
    }
    return UNI_OK;
}

uint32_t uni_random(void)
{
    uint8_t b[4] = {};
    uni_random_bytes(b, sizeof(b), 255);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

const char* uni_get_serial_no(void)
{
    return nullptr;
}

const char* uni_get_reset_reason(void)
{
    return "do't support get reset reason";
}

void uni_system_reset(void)
{
}

int uni_platform_pre_init(void)
{
    return UNI_OK;
}

void uni_test_clock_set(uint64_t ms)
{
    s_testClockMs.store(ms, std::memory_order_release);
    s_testClockOn.store(true, std::memory_order_release);
}

void uni_test_clock_advance(uint64_t ms)
{
    s_testClockMs.fetch_add(ms, std::memory_order_acq_rel);
}

void uni_test_clock_clear(void)
{
    s_testClockOn.store(false, std::memory_order_release);
}

void uni_time_reset_for_test(void)
{
    std::lock_guard<std::mutex> lock(s_clock.mutex);
    s_clock.cloudSec = 0;
    s_clock.setTick = uni_get_tick_ms();
    s_clock.synced = false;
    s_clock.sumCount = 0;
    s_zoneOffset.store(0);
    s_zoneSet.store(false);
}
