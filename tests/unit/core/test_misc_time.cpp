// Time windows and clock helpers, all on fixed broken-down times and fixed
// time values: nothing here waits or reads the clock for its verdict.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/misc_time.h"

namespace {

// Broken-down time for 2024: month counted from 1 here for readability,
// weekday as in struct tm (0 = Sunday).
struct tm at(int month, int mday, int wday, int hour, int min)
{
    struct tm t = {};
    t.tm_year = 124;
    t.tm_mon = month - 1;
    t.tm_mday = mday;
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = min;
    return t;
}

// Builds the start and end of a window from the components both ends set.
struct Window {
    tm_partial start = {};
    tm_partial end = {};
    Window& year(int from, int to) { return set(&tm_partial::year_set, &tm_partial::year, from, to); }
    Window& mon(int from, int to) { return set(&tm_partial::mon_set, &tm_partial::mon, from, to); }
    Window& mday(int from, int to) { return set(&tm_partial::mday_set, &tm_partial::mday, from, to); }
    Window& wday(int from, int to) { return set(&tm_partial::wday_set, &tm_partial::wday, from, to); }
    Window& hour(int from, int to) { return set(&tm_partial::hour_set, &tm_partial::hour, from, to); }
    Window& min(int from, int to) { return set(&tm_partial::min_set, &tm_partial::min, from, to); }

private:
    Window& set(int tm_partial::*flag, int tm_partial::*value, int from, int to)
    {
        start.*flag = end.*flag = 1;
        start.*value = from;
        end.*value = to;
        return *this;
    }
};

struct Probe {
    struct tm now;
    int expected;
    const char* what;
};

void expect_absolute(const Window& w, std::initializer_list<Probe> probes)
{
    for (const Probe& p : probes)
        EXPECT_EQ(in_absolutetimerange(p.now, w.start, w.end), p.expected) << p.what;
}

void expect_recurring(const Window& w, std::initializer_list<Probe> probes)
{
    for (const Probe& p : probes)
        EXPECT_EQ(in_alltimerange(p.now, w.start, w.end), p.expected) << p.what;
}

struct timeval tv(time_t sec, suseconds_t usec)
{
    struct timeval t;
    t.tv_sec = sec;
    t.tv_usec = usec;
    return t;
}

std::string take(char* text)
{
    std::string copy = text;
    free(text);
    return copy;
}

// ---- Absolute windows -----------------------------------------------------------

TEST(AbsoluteWindow, DaysOfOneMonthRunContinuously)
{
    Window w = Window().mon(2, 2).mday(10, 20); // 10 to 20 March
    expect_absolute(w, {
                           {at(3, 9, 6, 23, 59), 0, "9 March 23:59"},
                           {at(3, 10, 0, 0, 0), 1, "10 March 00:00"},
                           {at(3, 15, 5, 12, 0), 1, "15 March"},
                           {at(3, 20, 3, 23, 59), 1, "20 March 23:59"},
                           {at(3, 21, 4, 0, 0), 0, "21 March 00:00"},
                           {at(2, 15, 4, 12, 0), 0, "15 February"},
                           {at(4, 15, 1, 12, 0), 0, "15 April"},
                       });
}

TEST(AbsoluteWindow, DaysWithHoursSpanFromFirstStartToLastEnd)
{
    Window w = Window().mday(1, 15).hour(8, 17);
    expect_absolute(w, {
                           {at(5, 1, 3, 7, 59), 0, "1st 07:59"},
                           {at(5, 1, 3, 8, 0), 1, "1st 08:00"},
                           {at(5, 7, 2, 2, 0), 1, "7th 02:00 (inside the span)"},
                           {at(5, 15, 3, 17, 59), 1, "15th 17:59"},
                           {at(5, 15, 3, 18, 0), 0, "15th 18:00"},
                       });
}

TEST(AbsoluteWindow, MinutesArePartOfOneTimeLine)
{
    Window w = Window().hour(8, 17).min(30, 15);
    expect_absolute(w, {
                           {at(1, 1, 1, 8, 29), 0, "08:29"},
                           {at(1, 1, 1, 8, 30), 1, "08:30"},
                           {at(1, 1, 1, 12, 0), 1, "12:00"},
                           {at(1, 1, 1, 12, 50), 1, "12:50"},
                           {at(1, 1, 1, 17, 15), 1, "17:15"},
                           {at(1, 1, 1, 17, 16), 0, "17:16"},
                           {at(1, 1, 1, 7, 45), 0, "07:45"},
                       });
}

TEST(AbsoluteWindow, StartAfterEndNeverMatches)
{
    Window w = Window().hour(22, 6);
    for (int hour = 0; hour < 24; hour++)
        EXPECT_EQ(in_absolutetimerange(at(1, 1, 1, hour, 0), w.start, w.end), 0) << hour;
}

TEST(AbsoluteWindow, YearsBoundTheSpan)
{
    Window w = Window().year(124, 124).mon(11, 11); // December 2024
    struct tm december_2025 = at(12, 5, 5, 10, 0);
    december_2025.tm_year = 125;
    expect_absolute(w, {
                           {at(12, 5, 4, 10, 0), 1, "December 2024"},
                           {december_2025, 0, "December 2025"},
                       });
}

// ---- Recurring windows -----------------------------------------------------------

TEST(RecurringWindow, WorkingHoursOnWorkingDays)
{
    Window w = Window().wday(1, 5).hour(8, 17).min(0, 30); // Mon-Fri 08:00-17:30
    expect_recurring(w, {
                            {at(6, 3, 1, 8, 0), 1, "Monday 08:00"},
                            {at(6, 3, 1, 7, 59), 0, "Monday 07:59"},
                            {at(6, 5, 3, 12, 45), 1, "Wednesday 12:45 (hour inside)"},
                            {at(6, 7, 5, 17, 30), 1, "Friday 17:30"},
                            {at(6, 7, 5, 17, 31), 0, "Friday 17:31"},
                            {at(6, 8, 6, 12, 0), 0, "Saturday"},
                            {at(6, 9, 0, 12, 0), 0, "Sunday"},
                        });
}

TEST(RecurringWindow, HourStrictlyInsideIgnoresMinutes)
{
    Window w = Window().hour(8, 17).min(30, 15);
    expect_recurring(w, {
                            {at(1, 1, 1, 8, 29), 0, "08:29"},
                            {at(1, 1, 1, 8, 30), 1, "08:30"},
                            {at(1, 1, 1, 12, 0), 1, "12:00"},
                            {at(1, 1, 1, 17, 15), 1, "17:15"},
                            {at(1, 1, 1, 17, 16), 0, "17:16"},
                        });
}

TEST(RecurringWindow, MinutesAloneRecurEveryHour)
{
    Window w = Window().min(0, 15);
    for (int hour : {0, 9, 23}) {
        expect_recurring(w, {
                                {at(1, 1, 1, hour, 0), 1, "minute 0"},
                                {at(1, 1, 1, hour, 15), 1, "minute 15"},
                                {at(1, 1, 1, hour, 16), 0, "minute 16"},
                                {at(1, 1, 1, hour, 59), 0, "minute 59"},
                            });
    }
}

TEST(RecurringWindow, EachDateComponentOnItsOwn)
{
    // Days 10 to 20 of every month from March to May: unlike the absolute
    // window, 25 April is outside.
    Window w = Window().mon(2, 4).mday(10, 20);
    expect_recurring(w, {
                            {at(4, 15, 1, 12, 0), 1, "15 April"},
                            {at(4, 25, 4, 12, 0), 0, "25 April"},
                            {at(6, 15, 6, 12, 0), 0, "15 June"},
                        });
    expect_absolute(w, {{at(4, 25, 4, 12, 0), 1, "25 April, absolute"}});
}

TEST(RecurringWindow, NeverWrapsAround)
{
    Window days = Window().wday(5, 1);
    for (int wday = 0; wday < 7; wday++)
        EXPECT_EQ(in_alltimerange(at(1, 1, wday, 12, 0), days.start, days.end), 0) << wday;
    Window night = Window().hour(22, 6);
    for (int hour = 0; hour < 24; hour++)
        EXPECT_EQ(in_alltimerange(at(1, 1, 1, hour, 0), night.start, night.end), 0) << hour;
}

TEST(Windows, NoComponentSetAlwaysMatches)
{
    Window w;
    struct tm odd = at(7, 31, 3, 23, 59);
    EXPECT_EQ(in_absolutetimerange(odd, w.start, w.end), 1);
    EXPECT_EQ(in_alltimerange(odd, w.start, w.end), 1);
}

// ---- Clock arithmetic --------------------------------------------------------------

TEST(Clock, DiffInMilliseconds)
{
    struct Case {
        struct timeval a, b;
        int64_t expected;
    } cases[] = {
        {tv(100, 0), tv(101, 1000), 1001},
        {tv(101, 1000), tv(100, 0), -1001},
        {tv(100, 999999), tv(101, 0), 0},      // 1 microsecond
        {tv(100, 500000), tv(101, 499999), 999}, // truncated, not rounded
        {tv(101, 0), tv(100, 999000), -1},
        {tv(101, 0), tv(100, 999999), 0}, // truncated toward zero
        // Beyond 2147 seconds the microsecond product needs 64 bits.
        {tv(0, 0), tv(3000, 0), 3000000},
        {tv(1700000000, 0), tv(1700086400, 250000), 86400250},
        {tv(0, 0), tv(40L * 365 * 86400, 0), 40LL * 365 * 86400 * 1000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(timeval_diff_ms(&c.a, &c.b), c.expected)
            << c.a.tv_sec << "." << c.a.tv_usec << " -> " << c.b.tv_sec << "." << c.b.tv_usec;
}

TEST(Clock, CompareOrdersBySecondsThenMicroseconds)
{
    struct timeval early = tv(100, 900000), late = tv(101, 0), same = tv(101, 0);
    EXPECT_LT(timeval_cmp(&early, &late), 0);
    EXPECT_GT(timeval_cmp(&late, &early), 0);
    EXPECT_EQ(timeval_cmp(&late, &same), 0);
    struct timeval a = tv(5, 10), b = tv(5, 20);
    EXPECT_EQ(timeval_cmp(&a, &b), -10);
    // Second differences that do not fit an int keep their sign.
    struct timeval far = tv((time_t)1 << 40, 0), zero = tv(0, 0);
    EXPECT_GT(timeval_cmp(&far, &zero), 0);
    EXPECT_LT(timeval_cmp(&zero, &far), 0);
}

TEST(Clock, DurationText)
{
    struct Case {
        struct timeval duration;
        const char* expected;
    } cases[] = {
        {tv(3725, 500000), "01:02:05.50"},
        {tv(0, 0), "00:00:00.00"},
        {tv(59, 999999), "00:00:59.99"}, // truncated, never "60"
        {tv(0, 90000), "00:00:00.09"},
        {tv(0, 9999), "00:00:00.00"},
        {tv(360000, 0), "100:00:00.00"},
        {tv(86399, 10000), "23:59:59.01"},
        {tv(10LL * 1000 * 1000 * 3600, 0), "10000000:00:00.00"},
        {tv(-3725, -500000), "-01:02:05.50"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(timeval_to_string(&c.duration)), c.expected) << c.duration.tv_sec;
}

TEST(Clock, DurationTextLeavesItsArgument)
{
    struct timeval duration = tv(3725, 500000);
    free(timeval_to_string(&duration));
    EXPECT_EQ(duration.tv_sec, 3725);
    EXPECT_EQ(duration.tv_usec, 500000);
}

TEST(Clock, UtcTimeAddsTheOffset)
{
    int saved = gmtoffset;
    gmtoffset = 3600;
    time_t before = time(NULL);
    time_t stored = 0;
    time_t result = utc_time(&stored);
    time_t after = time(NULL);
    gmtoffset = saved;
    EXPECT_EQ(result, stored);
    EXPECT_GE(result, before + 3600);
    EXPECT_LE(result, after + 3600);
    EXPECT_GT(utc_time(nullptr), 0);
}

TEST(Clock, LocalMktimeSubtractsTheOffset)
{
    // A POSIX rule needs no zone database on the host.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    int saved = gmtoffset;
    gmtoffset = 7200;
    struct tm noon = {};
    noon.tm_year = 124;
    noon.tm_mon = 6; // July: summer time, UTC+2
    noon.tm_mday = 1;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    time_t result = local_mktime(&noon);
    gmtoffset = saved;
    // 2024-07-01 12:00 in Berlin is 10:00 UTC = 1719828000.
    EXPECT_EQ(result, (time_t)1719828000 - 7200);
    unsetenv("TZ");
    tzset();
}

// The per-second local time a thread keeps must follow every change of
// second, back and forth, and across a summer-time change.
TEST(Clock, LocalTimeOfSecondFollowsEachSecond)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    // 2024-03-31 00:59:59 UTC is the last second of winter time in Berlin.
    const time_t change = 1711846799;
    const time_t seconds[] = {change, change + 1, change, change + 1, change + 86400, 0};
    for (time_t second : seconds) {
        struct tm expected = {};
        struct tm got = {};
        ASSERT_NE(localtime_r(&second, &expected), nullptr);
        ASSERT_TRUE(local_time_of_second(second, &got));
        EXPECT_EQ(got.tm_hour, expected.tm_hour) << second;
        EXPECT_EQ(got.tm_min, expected.tm_min) << second;
        EXPECT_EQ(got.tm_mday, expected.tm_mday) << second;
        EXPECT_EQ(got.tm_isdst, expected.tm_isdst) << second;
    }
    struct tm summer = {};
    ASSERT_TRUE(local_time_of_second(change + 1, &summer));
    EXPECT_EQ(summer.tm_hour, 3); // 01:00 UTC is 03:00 summer time
    unsetenv("TZ");
    tzset();
}

TEST(Names, MonthsAndWeekdaysCountFromOne)
{
    EXPECT_STREQ(month_name(1), "January");
    EXPECT_STREQ(month_name(9), "September");
    EXPECT_STREQ(month_name(12), "December");
    EXPECT_STREQ(weekday_name(1), "Sunday");
    EXPECT_STREQ(weekday_name(7), "Saturday");
    for (int bad : {0, 13, -1, 1000})
        EXPECT_STREQ(month_name(bad), "Invalid") << bad;
    for (int bad : {0, 8, -1})
        EXPECT_STREQ(weekday_name(bad), "Invalid") << bad;
}

} // namespace
