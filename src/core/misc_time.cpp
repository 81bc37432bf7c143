// Time windows and clock helpers; see misc_time.h.
#include "core/misc_time.h"

#include <climits>
#include <cstdio>

#include "core/mem.h"

namespace {

// One component of a window as the tests walk them.
struct component {
    int set;
    int bound;
    int now;
};

const int DATE_COMPONENTS = 4; // year, month, day of month, weekday

// Fills the components in the order year, month, day of month, weekday,
// hour, minute; the minute is last.
void components_of(const struct tm& now, const tm_partial& bound, component out[6])
{
    out[0] = {bound.year_set, bound.year, now.tm_year};
    out[1] = {bound.mon_set, bound.mon, now.tm_mon};
    out[2] = {bound.mday_set, bound.mday, now.tm_mday};
    out[3] = {bound.wday_set, bound.wday, now.tm_wday};
    out[4] = {bound.hour_set, bound.hour, now.tm_hour};
    out[5] = {bound.min_set, bound.min, now.tm_min};
}

const int64_t MICROSECONDS = 1000000;

int64_t total_microseconds(const struct timeval* value)
{
    return (int64_t)value->tv_sec * MICROSECONDS + (int64_t)value->tv_usec;
}

} // namespace

int in_absolutetimerange(const struct tm& now, const tm_partial& start, const tm_partial& end)
{
    component c[6];

    // Start: the first set component that differs decides; the minute only
    // matters when every component before it was equal.
    components_of(now, start, c);
    bool start_passed = false;
    for (int i = 0; i < 5 && !start_passed; i++) {
        if (!c[i].set)
            continue;
        if (c[i].now < c[i].bound)
            return 0;
        if (c[i].now > c[i].bound)
            start_passed = true;
    }
    if (!start_passed && c[5].set && c[5].now < c[5].bound)
        return 0;

    // End: the same walk from the other side.
    components_of(now, end, c);
    for (int i = 0; i < 5; i++) {
        if (!c[i].set)
            continue;
        if (c[i].now > c[i].bound)
            return 0;
        if (c[i].now < c[i].bound)
            return 1;
    }
    return (!c[5].set || c[5].now <= c[5].bound) ? 1 : 0;
}

int in_alltimerange(const struct tm& now, const tm_partial& start, const tm_partial& end)
{
    component c[6];

    components_of(now, start, c);
    for (int i = 0; i < DATE_COMPONENTS; i++)
        if (c[i].set && c[i].now < c[i].bound)
            return 0;
    const component& start_hour = c[4];
    const component& start_min = c[5];
    if (start_hour.set) {
        if (start_hour.now < start_hour.bound)
            return 0;
        if (start_hour.now == start_hour.bound && start_min.set && start_min.now < start_min.bound)
            return 0;
    } else if (start_min.set && start_min.now < start_min.bound) {
        return 0;
    }

    components_of(now, end, c);
    for (int i = 0; i < DATE_COMPONENTS; i++)
        if (c[i].set && c[i].now > c[i].bound)
            return 0;
    const component& end_hour = c[4];
    const component& end_min = c[5];
    if (end_hour.set) {
        if (end_hour.now > end_hour.bound)
            return 0;
        if (end_hour.now < end_hour.bound)
            return 1;
    }
    return (!end_min.set || end_min.now <= end_min.bound) ? 1 : 0;
}

bool local_time_of_second(time_t now, struct tm* out)
{
    thread_local time_t cached_at = -1;
    thread_local struct tm cached;
    if (now != cached_at) {
        if (localtime_r(&now, &cached) == NULL) {
            cached_at = -1;
            return false;
        }
        cached_at = now;
    }
    *out = cached;
    return true;
}

time_t utc_time(time_t* out)
{
    time_t now = time(NULL) + gmtoffset;
    if (out != NULL)
        *out = now;
    return now;
}

time_t http_date_parse(const char* text)
{
    if (text == NULL)
        return -1;
    struct tm broken = {};
    const char* end = strptime(text, "%a, %d %b %Y %T GMT", &broken);
    if (end == NULL)
        return -1;
    while (*end == ' ' || *end == '\t')
        end++;
    if (*end != '\0')
        return -1;
    return timegm(&broken);
}

time_t local_mktime(struct tm* broken_down)
{
    return mktime(broken_down) - gmtoffset;
}

int64_t timeval_diff_ms(const struct timeval* a, const struct timeval* b)
{
    // Integer division truncates toward zero, for negative intervals too.
    return (total_microseconds(b) - total_microseconds(a)) / 1000;
}

int timeval_cmp(const struct timeval* a, const struct timeval* b)
{
    if (a->tv_sec != b->tv_sec) {
        int64_t difference = (int64_t)a->tv_sec - (int64_t)b->tv_sec;
        if (difference > INT_MAX)
            return INT_MAX;
        if (difference < INT_MIN)
            return INT_MIN;
        return (int)difference;
    }
    return (int)(a->tv_usec - b->tv_usec);
}

char* timeval_to_string(const struct timeval* duration)
{
    int64_t total = total_microseconds(duration);
    const char* sign = "";
    if (total < 0) {
        sign = "-";
        total = -total;
    }
    int64_t seconds = total / MICROSECONDS;
    int64_t hundredths = (total % MICROSECONDS) / 10000;

    // A sign, up to 19 hour digits and ":MM:SS.hh" fit in 32 bytes.
    char text[32];
    snprintf(text, sizeof(text), "%s%.2lld:%.2d:%.2d.%.2d", sign, (long long)(seconds / 3600),
             (int)(seconds % 3600 / 60), (int)(seconds % 60), (int)hundredths);
    char* copy = xstrdup(text);
    if (copy == NULL)
        FATAL_ALLOC("src/misc", sizeof(text));
    return copy;
}

const char* month_name(int month)
{
    static const char* const names[] = {"January", "February", "March",     "April",
                                        "May",     "June",     "July",      "August",
                                        "September", "October", "November", "December"};
    return (month >= 1 && month <= 12) ? names[month - 1] : "Invalid";
}

const char* weekday_name(int weekday)
{
    static const char* const names[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    return (weekday >= 1 && weekday <= 7) ? names[weekday - 1] : "Invalid";
}
