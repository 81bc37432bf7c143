// Time windows and clock helpers. Time windows decide when rules apply
// (profiles, cookie and limit rules); the clock helpers serve the logs,
// sockets, statistics and the cache. No state of their own, no lock: safe
// from any thread. Texts returned are new (xmalloc) and belong to the caller;
// an allocation failure is an impossible state (fatal-error sequence).
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>

// Offset in seconds that utc_time adds to the current time and
// local_mktime subtracts; defined by start-up. It is 0: the cache clock,
// the times of cache files and converted HTTP dates are all plain UTC
// seconds, whatever the daemon's time zone.
extern int gmtoffset;

// A partial point in time; two of them (start and end) make a window. Each
// component is a set flag (0 or 1) and a value compared with the struct tm
// field of the same meaning. An unset component does not constrain.
struct tm_partial {
    int year_set, year; // years since 1900, as tm_year
    int mon_set, mon;   // 0 = January to 11, as tm_mon
    int mday_set, mday; // 1 to 31, as tm_mday
    int wday_set, wday; // 0 = Sunday to 6, as tm_wday
    int hour_set, hour; // 0 to 23
    int min_set, min;   // 0 to 59
};

// How a rule reads its window of tm_partial parts.
enum {
    TIME_RANGE_SPAN = 0,      // one span from start to end (in_absolutetimerange)
    TIME_RANGE_EACH_PART = 1, // any other value: each part within its bounds (in_alltimerange)
};

// Absolute window: the set components, in the order year, month, day of
// month, weekday, hour, minute, read as the digits of one number; 1 when
// start <= now <= end (both ends included), else 0. Day 1 to 15 with hours
// 8 to 17 runs continuously from the 1st 08:00 to the 15th 17:59. 1 when no
// component is set.
int in_absolutetimerange(const struct tm& now, const tm_partial& start, const tm_partial& end);

// Recurring window: each set date component (year, month, day of month,
// weekday) must lie within its own bounds, and the time of day (hour with
// minute) between the start and the end time; both ends included. Neither
// wraps around (weekdays 5 to 1 or hours 22 to 6 never match). 1 when no
// component is set.
int in_alltimerange(const struct tm& now, const tm_partial& start, const tm_partial& end);

// `now` broken down in local time, as localtime_r gives it. Each thread
// keeps the last second it broke down: localtime_r takes the C library's
// time-zone lock, which every request would otherwise queue for. False
// when localtime_r fails (`out` is then left as it was).
bool local_time_of_second(time_t now, struct tm* out);

// time(NULL) plus gmtoffset; also stored through `out` when it is not null.
time_t utc_time(time_t* out);

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") as UTC seconds, converted
// with timegm whatever the process's time zone; trailing blanks are allowed.
// -1 for NULL or for a text that is not such a date.
time_t http_date_parse(const char* text);

// mktime of the broken-down time (which mktime may normalise) minus
// gmtoffset.
time_t local_mktime(struct tm* broken_down);

// Whole milliseconds from a to b, truncated toward zero, negative when b is
// earlier; 64-bit arithmetic, so any interval is exact.
int64_t timeval_diff_ms(const struct timeval* a, const struct timeval* b);

// Negative, 0 or positive as a is earlier than, equal to or later than b:
// the difference of the seconds when they differ (held within the range of
// int), else the difference of the microseconds.
int timeval_cmp(const struct timeval* a, const struct timeval* b);

// New text "HH:MM:SS.hh" of a duration: hours unbounded (two digits at
// least), minutes, seconds, and hundredths (microseconds / 10000,
// truncated). A negative duration is shown with a leading "-". The argument
// is not changed.
char* timeval_to_string(const struct timeval* duration);

// "January" for 1 up to "December" for 12 (counting from 1, unlike tm_mon);
// "Invalid" for any other number.
const char* month_name(int month);

// "Sunday" for 1 up to "Saturday" for 7 (counting from 1, unlike tm_wday);
// "Invalid" for any other number.
const char* weekday_name(int weekday);
