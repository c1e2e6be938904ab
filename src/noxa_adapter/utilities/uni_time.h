// Time of the cloud-side runtime.
//
// One monotonic clock: uni_get_tick_ms(). Every age and time-out of the cloud side reads it
// (directly or through uni_get_system_time), so a test can install the test clock below and
// move time by hand. The wall clock (posix seconds set from the cloud, running on from the tick)
// is only for time stamps, never for ages or time-outs.
#pragma once

#include <cstdint>

typedef uint32_t TIME_T;  // posix seconds

// Broken-down time.
struct POSIX_TM_S {
    int32_t tm_sec;
    int32_t tm_min;
    int32_t tm_hour;
    int32_t tm_mday;  // 1..31
    int32_t tm_mon;   // 0..11
    int32_t tm_year;  // years since 1900
    int32_t tm_wday;  // 0 Sunday
};

// One summer-time interval, in posix seconds (start and end included).
struct SUM_ZONE_S {
    TIME_T start;
    TIME_T end;
};

#define SUM_ZONE_TAB_LMT 6

// Returned by uni_mktime for a broken-down time it cannot convert.
constexpr TIME_T UNI_TIME_INVALID = 0xFFFFFFFFu;

int uni_time_init(void);
// Sets the wall clock from the cloud; a clock up to 5 s ahead of t is left as it is.
int uni_time_set(TIME_T t, int synced);
// 0 when the clock is synced and a zone is set, else -1.
int uni_time_check_sync(void);
TIME_T uni_time_get_posix(void);
uint64_t uni_time_get_posix_ms(void);
int uni_get_utc_tm(POSIX_TM_S* tm);
// Zone texts "+08:00", "-03:30", "05:00" (positive): hours of one or two digits, a colon, two
// digits of minutes (0-59), between -12:00 and +14:00. Anything else is -2 and the zone in force
// stays.
int uni_set_time_zone(const char* zone);
// The same parse and check without setting: the offset in seconds.
int uni_parse_time_zone(const char* zone, int32_t* offset);
// 1 January of the year this build was made, 00:00 UTC: a clock before it was never set.
TIME_T uni_time_build_year_start(void);
int uni_get_time_zone(int32_t* offset);
// Local time of t (0: now): zone offset, plus an hour when t lies in a summer-time interval.
int uni_local_time_get(TIME_T t, POSIX_TM_S* tm);
int uni_get_local_tm(POSIX_TM_S* tm);
// Keeps at most SUM_ZONE_TAB_LMT intervals; a null table or count 0 clears it.
int uni_set_sum_zone_tbl(const SUM_ZONE_S* zones, uint32_t count);
int uni_is_in_sum_zone(TIME_T t);
int uni_is_in_sum_zone_now(void);
int uni_get_dst_tm(POSIX_TM_S* tm);
TIME_T uni_get_dst_posix(void);
int uni_gmtime(TIME_T t, POSIX_TM_S* tm);
// UNI_TIME_INVALID for a month outside 0..11 or a year outside 1970..2105.
TIME_T uni_mktime(const POSIX_TM_S* tm);
// "Jan".."Dec" to 0..11; 12 when none matches.
int uni_month_str_to_num(const char* month);
// RFC 1123, asctime and RFC 850 dates; 0 on any mismatch.
TIME_T uni_http_date_to_time(const char* date);

// Monotonic time since start (seconds and milliseconds, each optional).
int uni_get_system_time(uint32_t* sec, uint32_t* ms);
// The one monotonic clock, in ms: CLOCK_MONOTONIC, or the test clock while one is installed.
uint64_t uni_get_tick_ms(void);
uint32_t uni_get_tick_rate_ms(void);
void uni_sleep_ms(uint32_t ms);

// Random bytes in 0..range-1 (range 0 means 255, so 0..254).
int uni_random_bytes(uint8_t* buf, uint32_t len, uint8_t range);
// Hex digits "0123456789abcdef", not NUL-terminated.
int uni_random_string(char* buf, uint32_t len);
uint32_t uni_random(void);

const char* uni_get_serial_no(void);
const char* uni_get_reset_reason(void);
void uni_system_reset(void);
int uni_platform_pre_init(void);

// The test clock. While installed, uni_get_tick_ms() returns its value, which moves only when
// the test moves it.
void uni_test_clock_set(uint64_t ms);
void uni_test_clock_advance(uint64_t ms);
void uni_test_clock_clear(void);
// The wall clock as at start, for tests: not synced, no zone, no summer-time table.
void uni_time_reset_for_test(void);

// Installs the test clock for one scope (at `startMs`), and removes it again.
class UniTestClock {
public:
    explicit UniTestClock(uint64_t startMs = 1000000) { uni_test_clock_set(startMs); }
    ~UniTestClock() { uni_test_clock_clear(); }
    UniTestClock(const UniTestClock&) = delete;
    UniTestClock& operator=(const UniTestClock&) = delete;
    void Advance(uint64_t ms) { uni_test_clock_advance(ms); }
    void Set(uint64_t ms) { uni_test_clock_set(ms); }
    uint64_t Now() const { return uni_get_tick_ms(); }
};
