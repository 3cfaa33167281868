// Time, sleep, tick count and dates: local date and clock in a fixed zone,
// the zone offset kept once taken, UTC time of day, one-reading time
// stamps, the six text styles, whole years, day numbers (also across
// daylight-saving changes) and date arithmetic with yymmdd deltas.
#include "runtime/XKWTime.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "runtime/XKWDate.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"

namespace {

constexpr int64_t april_12_2020_153045_jst = 1586673045;  // 06:30:45 UTC

void set_zone(const char* tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

// Each test runs in Japan's zone (UTC+9, no daylight saving), given as a
// rule so that no zone files are needed.
class TimeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        old_tz_ = tz != nullptr ? tz : "";
        set_zone("JST-9");
    }
    void TearDown() override
    {
        if (old_tz_.empty())
            unsetenv("TZ");
        else
            set_zone(old_tz_.c_str());
        tzset();
    }

    std::string old_tz_;
};

std::string format(int32_t style, int64_t t)
{
    char text[64];
    std::memset(text, 'X', sizeof text);
    int32_t n = XKWTimeFormat(style, t, text, sizeof text);
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(text)));
    return text;
}

}  // namespace

TEST_F(TimeTest, DateAndClockAreLocalTimeOfDayIsUtcAndZoneIsKept)
{
    EXPECT_EQ(XKWTimeDate(april_12_2020_153045_jst), 20200412);
    EXPECT_EQ(XKWTimeClock(april_12_2020_153045_jst), 153045);
    EXPECT_EQ(XKWTimeDate(1586617199), 20200411);  // a second before local midnight
    EXPECT_EQ(XKWTimeClock(1586617199), 235959);
    int64_t now = XKWTimeNow();
    EXPECT_TRUE(XKWTimeDate(0) == XKWTimeDate(now) || XKWTimeDate(0) == XKWTimeDate(now + 1));

    int32_t ms = XKWTimeOfDayMs();
    ASSERT_TRUE(ms >= 0 && ms < 86400000) << ms;
    EXPECT_LE((ms / 1000 - now % 86400 + 86400) % 86400, 1);  // UTC, not local +9 h
    int32_t date = 0, clock = 0, milli = -1;
    int64_t stamp = XKWTimeStamp(&date, &clock, &milli);  // one reading: all agree
    EXPECT_EQ(milli, stamp % 1000);
    EXPECT_EQ(date, XKWTimeDate(stamp / 1000));
    EXPECT_EQ(clock, XKWTimeClock(stamp / 1000));
    EXPECT_LE(stamp / 1000 - now, 1);

    // In a child process, so that no earlier caller has fixed the offset.
    pid_t pid = fork();
    if (pid == 0) {
        bool east = XKWTimeZone() == -32400;
        set_zone("EST5");
        _exit(east && XKWTimeZone() == -32400 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(TimeTest, FormatStylesCutToFitAndUnknownStyleIsEmpty)
{
    int64_t t = april_12_2020_153045_jst;
    EXPECT_EQ(format(0, t), "2020.04.12 15:30'45");
    EXPECT_EQ(format(1, t), "20.04.12 15:30'45");
    EXPECT_EQ(format(2, t), "2020.04.12");
    EXPECT_EQ(format(3, 1230735600), "09.01.01");  // 2009-01-01 00:00 local
    EXPECT_EQ(format(4, t), "15:30'45");
    EXPECT_EQ(format(5, t), "15:30");
    EXPECT_EQ(format(6, t), "");
    EXPECT_EQ(format(-1, t), "");
    char small[5];
    EXPECT_EQ(XKWTimeFormat(0, t, small, sizeof small), 4);
    EXPECT_STREQ(small, "2020");
    EXPECT_EQ(XKWTimeFormat(0, t, small, 0), XKW_E_INVAL);
}

TEST_F(TimeTest, YearIsMadeWholeAroundSeventy)
{
    EXPECT_EQ(XKWTimeYear(0), 2000);
    EXPECT_EQ(XKWTimeYear(69), 2069);
    EXPECT_EQ(XKWTimeYear(70), 1970);
    EXPECT_EQ(XKWTimeYear(99), 1999);
    EXPECT_EQ(XKWTimeYear(2020), 2020);
    EXPECT_EQ(XKWTimeYear(-1), XKWTimeDate(0) / 10000);
}

TEST_F(TimeTest, SleepWaitsAndTickCountFollowsTheMonotonicClock)
{
    uint64_t t0 = XKWTickCount();
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    EXPECT_LE(static_cast<uint64_t>(mono.tv_sec) * 1000 + mono.tv_nsec / 1000000 - t0, 50u);
    EXPECT_EQ(XKWSleep(50), 0);
    EXPECT_EQ(XKWSleep(-5), 0);
    uint64_t t1 = XKWTickCount();
    EXPECT_GE(t1 - t0, 50u);
    EXPECT_LT(t1 - t0, 1000u);
}

TEST_F(TimeTest, DayNumbersIgnoreDaylightSavingChanges)
{
    set_zone("CET-1CEST,M3.5.0,M10.5.0/3");  // 29 Mar 2020 has 23 hours, 25 Oct 25
    EXPECT_EQ(XKWDateDay(20200330) - XKWDateDay(20200328), 2);
    EXPECT_EQ(XKWDateAdd(20201030, -7), 20201023);
}

TEST(DateTest, DayNumbersCountFromNineteenSeventyAndRoundTrip)
{
    EXPECT_EQ(XKWDateDay(19700101), 0);
    EXPECT_EQ(XKWDateDay(19691231), -1);
    EXPECT_EQ(XKWDateDay(20000301), 11017);
    EXPECT_EQ(XKWDateDay(21000301) - XKWDateDay(21000228), 1);  // 2100 is no leap year
    EXPECT_EQ(XKWDateDay(20201301), XKWDateDay(20210101));      // out of range runs on
    EXPECT_EQ(XKWDateDay(20200100), XKWDateDay(20191231));
    for (int32_t day = -1000; day <= 60000; day += 7) {
        if (day != 0) {  // day 0 means today
            ASSERT_EQ(XKWDateDay(XKWDateOfDay(day)), day) << day;
        }
    }
    int32_t today = XKWDateOfDay(0);
    EXPECT_TRUE(today == XKWTimeDate(0) || today == XKWDateAdd(XKWTimeDate(0), -1));
}

TEST(DateTest, AddCountsYymmddDeltasAndRejectsBadMonthsAndDays)
{
    EXPECT_EQ(XKWDateAdd(20200412, -7), 20200405);
    EXPECT_EQ(XKWDateAdd(20200412, 100), 20200512);
    EXPECT_EQ(XKWDateAdd(20200412, -400), 20191212);
    EXPECT_EQ(XKWDateAdd(20200412, -1200), 20190412);  // twelve months carry into a year
    EXPECT_EQ(XKWDateAdd(20200412, 10203), 20210615);
    EXPECT_EQ(XKWDateAdd(20200131, 100), 20200302);  // "31 February" runs into March
    EXPECT_EQ(XKWDateAdd(19700102, -1), 19700101);   // day number 0 is that day, not today
    EXPECT_EQ(XKWDateAdd(200412, -7), 20200405);     // two-digit years made whole
    EXPECT_EQ(XKWDateAdd(991231, 1), 20000101);
    for (int32_t bad : {20201312, 20200012, 20200400, 20200432, -20200412})
        EXPECT_EQ(XKWDateAdd(bad, 0), -1) << bad;
}
