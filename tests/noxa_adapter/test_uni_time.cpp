// Time: the cloud-set wall clock on the test clock, zones, summer time, broken-down time against
// the C library, HTTP dates, the system time and random values.
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>

namespace {

constexpr TIME_T kExample = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

class Time : public testing::Test {
protected:
    void SetUp() override
    {
        uni_time_init();
        uni_set_sum_zone_tbl(nullptr, 0);
        ASSERT_EQ(0, uni_set_time_zone("+00:00"));
    }
    UniTestClock mClock{10000};
};

void ExpectTm(const POSIX_TM_S& got, const struct tm& want, const std::string& what)
{
    EXPECT_EQ(want.tm_sec, got.tm_sec) << what;
    EXPECT_EQ(want.tm_min, got.tm_min) << what;
    EXPECT_EQ(want.tm_hour, got.tm_hour) << what;
    EXPECT_EQ(want.tm_mday, got.tm_mday) << what;
    EXPECT_EQ(want.tm_mon, got.tm_mon) << what;
    EXPECT_EQ(want.tm_year, got.tm_year) << what;
    EXPECT_EQ(want.tm_wday, got.tm_wday) << what;
}

}  // namespace

TEST_F(Time, CloudClockRunsOnTheTick)
{
    uni_time_set(kExample, 0);
    EXPECT_EQ(kExample, uni_time_get_posix());
    mClock.Advance(1999);
    EXPECT_EQ(kExample + 1, uni_time_get_posix());
    EXPECT_EQ(uint64_t{kExample} * 1000 + 1999, uni_time_get_posix_ms());

    // A clock up to 5 s ahead of the cloud's value is kept; more than that is set back.
    mClock.Advance(2001);  // now kExample + 4 s
    uni_time_set(kExample + 1, 0);
    EXPECT_EQ(kExample + 4, uni_time_get_posix());
    uni_time_set(kExample - 1, 0);  // 5 s behind: kept
    EXPECT_EQ(kExample + 4, uni_time_get_posix());
    uni_time_set(kExample - 2, 0);  // 6 s behind: the clock jumps back
    EXPECT_EQ(kExample - 2, uni_time_get_posix());
    uni_time_set(kExample + 100, 0);  // ahead: always taken
    EXPECT_EQ(kExample + 100, uni_time_get_posix());
    EXPECT_EQ(uint64_t{kExample + 100} * 1000, uni_time_get_posix_ms());
    // In sync only once the cloud says so (the zone was set in SetUp).
    EXPECT_EQ(-1, uni_time_check_sync());
    uni_time_set(kExample, 1);
    EXPECT_EQ(0, uni_time_check_sync());
}

TEST_F(Time, ZoneTexts)
{
    struct Row {
        const char* text;
        int code;
        int32_t offset;
    };
    const Row rows[] = {
        {"+08:00", 0, 28800}, {"-03:30", 0, -12600}, {"05:45", 0, 20700},  {"+00:00", 0, 0},
        {"-12:00", 0, -43200}, {"+8", -2, 0},        {"", -2, 0},          {"abc", -2, 0},
        {"+14:00", 0, 50400},
        // Outside the zones kept on earth, minutes past 59, numbers that overflow a scan, junk
        // behind: refused, the zone in force stays.
        {"+99999999:00", -2, 0}, {"-99999999999:00", -2, 0}, {"+99:99", -2, 0}, {"+14:01", -2, 0},
        {"-12:30", -2, 0},       {"+05:60", -2, 0},         {"+08:00junk", -2, 0}, {"+008:00", -2, 0},
        {"08:5", -2, 0},         {":30", -2, 0},            {"-00:30", 0, -1800},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(0, uni_set_time_zone("+00:00"));
        EXPECT_EQ(row.code, uni_set_time_zone(row.text)) << row.text;
        int32_t offset = 1;
        EXPECT_EQ(0, uni_get_time_zone(&offset));
        EXPECT_EQ(row.offset, offset) << row.text;
    }
    EXPECT_EQ(UNI_INVALID_PARM, uni_set_time_zone(nullptr));
}

TEST_F(Time, TheBuildYearStartsBeforeNow)
{
    TIME_T start = uni_time_build_year_start();
    POSIX_TM_S tm = {};
    ASSERT_EQ(0, uni_gmtime(start, &tm));
    EXPECT_EQ(0, tm.tm_mon);
    EXPECT_EQ(1, tm.tm_mday);
    EXPECT_EQ(0, tm.tm_hour);
    EXPECT_GE(tm.tm_year, 124);
    EXPECT_LE(start, static_cast<TIME_T>(time(nullptr))) << "built before it runs";
}

TEST_F(Time, SummerTimeTable)
{
    SUM_ZONE_S zones[8];
    for (int i = 0; i < 8; ++i) {
        zones[i] = {1000u * (i + 1), 1000u * (i + 1) + 500};
    }
    uni_set_sum_zone_tbl(zones, 8);
    struct Row {
        TIME_T t;
        int in;
    };
    const Row rows[] = {{999, 0}, {1000, 1}, {1500, 1}, {1501, 0}, {6000, 1}, {6500, 1},
                        {7000, 0}, {7200, 0}, {8000, 0}, {8250, 0}};
    for (const Row& row : rows) {
        EXPECT_EQ(row.in, uni_is_in_sum_zone(row.t)) << row.t << " (only the first 6 intervals are kept)";
    }
    uni_set_sum_zone_tbl(zones, 0);
    EXPECT_EQ(0, uni_is_in_sum_zone(1000));
}

TEST_F(Time, LocalTimeTestsTheGivenTimeForSummerTime)
{
    ASSERT_EQ(0, uni_set_time_zone("-03:30"));
    const TIME_T summer = kExample + 86400 * 30;
    SUM_ZONE_S zone = {summer - 100, summer + 100};
    uni_set_sum_zone_tbl(&zone, 1);
    uni_time_set(kExample, 0);  // now is outside the interval

    POSIX_TM_S tm = {};
    ASSERT_EQ(0, uni_local_time_get(summer, &tm));
    POSIX_TM_S want = {};
    uni_gmtime(summer - 12600 + 3600, &want);
    EXPECT_EQ(0, memcmp(&want, &tm, sizeof(tm))) << "summer time of the given time was not applied";

    ASSERT_EQ(0, uni_local_time_get(0, &tm));  // now: no summer time
    uni_gmtime(kExample - 12600, &want);
    EXPECT_EQ(0, memcmp(&want, &tm, sizeof(tm)));

    uni_time_set(summer, 0);  // now inside, the given time outside
    ASSERT_EQ(0, uni_local_time_get(kExample, &tm));
    uni_gmtime(kExample - 12600, &want);
    EXPECT_EQ(0, memcmp(&want, &tm, sizeof(tm)));

    EXPECT_EQ(1, uni_is_in_sum_zone_now());
    EXPECT_EQ(summer + 3600, uni_get_dst_posix());
    ASSERT_EQ(0, uni_get_dst_tm(&tm));
    uni_gmtime(summer + 3600, &want);
    EXPECT_EQ(0, memcmp(&want, &tm, sizeof(tm)));
    ASSERT_EQ(0, uni_get_utc_tm(&tm));
    uni_gmtime(summer, &want);
    EXPECT_EQ(0, memcmp(&want, &tm, sizeof(tm)));
    EXPECT_EQ(UNI_INVALID_PARM, uni_local_time_get(0, nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, uni_get_utc_tm(nullptr));
}

TEST(TimeConversion, GmtimeAndMktimeAgreeWithTheCLibrary)
{
    std::vector<TIME_T> values = {
        0, 1, 59, 86399, 86400, 68169599, 68169600,  // 1972-02-29 23:59:59 and 1972-03-01
        951782399, 951782400, 951868800,             // 2000-02-28 23:59:59, 02-29, 03-01
        946684799, 946684800,                        // the turn of 2000
        4107456000, 4107542400,                      // 2100-02-28 and 2100-03-01 (no 29th)
        4102444800, 4133980799, 4133980800,          // 2100 begins, ends, 2101 begins
        kExample,
    };
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) {
        values.push_back(rng() % 4354819200u);  // up to 2107-12-31
    }
    for (TIME_T t : values) {
        POSIX_TM_S got = {};
        ASSERT_EQ(0, uni_gmtime(t, &got));
        time_t tt = t;
        struct tm want = {};
        gmtime_r(&tt, &want);
        ExpectTm(got, want, std::to_string(t));
        if (want.tm_year <= 205) {
            EXPECT_EQ(t, uni_mktime(&got)) << t;
        } else {
            EXPECT_EQ(UNI_TIME_INVALID, uni_mktime(&got)) << t;
        }
        if (HasFailure()) {
            break;
        }
    }
}

TEST(TimeConversion, MktimeRefusesWhatItCannotConvert)
{
    // {month, year}: a month outside 0..11, years before 1970 or after 2105.
    for (auto [mon, year] : {std::pair{-1, 100}, {12, 100}, {1000, 100}, {0, 69}, {0, 206}}) {
        POSIX_TM_S tm = {0, 0, 0, 1, mon, year, 0};
        EXPECT_EQ(UNI_TIME_INVALID, uni_mktime(&tm)) << mon << " " << year;
    }
    EXPECT_EQ(UNI_TIME_INVALID, uni_mktime(nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, uni_gmtime(0, nullptr));
}

TEST(TimeConversion, HttpDates)
{
    struct Row {
        const char* text;
        TIME_T t;
    };
    const Row rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", kExample},
        {"Sun Nov  6 08:49:37 1994", kExample},
        {"Sunday, 06-Nov-94 08:49:37 GMT", kExample},
        {"Sun Nov 16 08:49:37 1994", kExample + 10 * 86400},
        {"Wednesday, 06-Nov-19 08:49:37 GMT", 1573030177},  // below 20: 20yy
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"Mon, 28 Feb 2100 23:59:59 GMT", 4107542399},
        {"Sun, 06 Nov 1994 08:49:37 UTC", 0},
        {"Sun, 06 Nov 1994 08:49:37 GMT ", 0},
        {"Sun, 06 Nov 1994 08:49:37 GM", 0},
        {"Sun, 06 Xyz 1994 08:49:37 GMT", 0},
        {"Sun, 0a Nov 1994 08:49:37 GMT", 0},
        {"Sun, 06 Nov 1994 08-49:37 GMT", 0},
        {"Sun Nov  6 08:49:37 94", 0},
        {"Sun Nov  x 08:49:37 1994", 0},
        {"Sunday, 06-Nov-94 08:49:37 UTC", 0},
        {"Sunday, 06 Nov 94 08:49:37 GMT", 0},
        {"Sunday,06-Nov-94 08:49:37 GMT", 0},
        {"Sun, 06 Nov 1994 08:49:37 GMTxxxxxxxxxx", 0},
        {"", 0},
        {"Sun", 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.t, uni_http_date_to_time(row.text)) << row.text;
    }
    EXPECT_EQ(0u, uni_http_date_to_time(nullptr));
    // Month names: case and length count, 12 is "none".
    for (auto [name, num] : {std::pair<const char*, int>{"Jan", 0}, {"Dec", 11}, {"November", 10}, {"nov", 12},
                             {"No", 12}, {nullptr, 12}}) {
        EXPECT_EQ(num, uni_month_str_to_num(name)) << (name ? name : "null");
    }
}

TEST(SystemTime, ReadsTheTestClock)
{
    UniTestClock clock(12345);
    uint32_t sec = 0;
    uint32_t ms = 0;
    EXPECT_EQ(0, uni_get_system_time(&sec, &ms));
    EXPECT_EQ(12u, sec);
    EXPECT_EQ(345u, ms);
    clock.Advance(120000);
    EXPECT_EQ(0, uni_get_system_time(&sec, nullptr));
    EXPECT_EQ(132u, sec);
    EXPECT_EQ(0, uni_get_system_time(nullptr, nullptr));

    // A 32-bit tick counter that wraps keeps the system time going forward.
    clock.Set(0xFFFFFF00ull);
    uni_get_system_time(&sec, &ms);
    uint64_t before = uint64_t{sec} * 1000 + ms;
    clock.Set(0x10);
    uni_get_system_time(&sec, &ms);
    uint64_t after = uint64_t{sec} * 1000 + ms;
    EXPECT_EQ(before + 0x110, after);
    EXPECT_LT(ms, 1000u);
    EXPECT_EQ(1u, uni_get_tick_rate_ms());
}

TEST(Random, RangesAndSources)
{
    std::vector<uint8_t> buf(100000);
    ASSERT_EQ(0, uni_random_bytes(buf.data(), static_cast<uint32_t>(buf.size()), 0));
    std::set<uint8_t> seen(buf.begin(), buf.end());
    EXPECT_EQ(0u, seen.count(255)) << "range 0 means 0..254";
    EXPECT_EQ(255u, seen.size()) << "every value of 0..254 should come up in 100000 draws";

    ASSERT_EQ(0, uni_random_bytes(buf.data(), 1000, 10));
    for (int i = 0; i < 1000; ++i) {
        EXPECT_LT(buf[i], 10);
    }
    EXPECT_EQ(UNI_INVALID_PARM, uni_random_bytes(nullptr, 4, 0));

    // Calls within one millisecond differ: the source is not reseeded from the tick.
    char a[17] = {};
    char b[17] = {};
    ASSERT_EQ(0, uni_random_string(a, 16));
    ASSERT_EQ(0, uni_random_string(b, 16));
    EXPECT_STRNE(a, b);
    EXPECT_EQ(16u, strspn(a, "0123456789abcdef"));
    EXPECT_NE(uni_random() ^ uni_random(), 0u);
}
