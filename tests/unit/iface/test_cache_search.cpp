// The cache browser's search bounds and object links.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <string>

#include "iface/cache_search.h"
#include "iface/cgimap.h"

namespace {

// 2024-03-15 10:42:31 UTC.
const time_t NOW = 1710499351;

time_t utc(int year, int month, int day, int hour, int minute) {
    struct tm broken = {};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    return timegm(&broken);
}

cache_search_t read(const char* query) {
    CGIMap arguments(query);
    return cache_search_read(arguments, NOW);
}

// Dates are universal time whatever the zone the daemon runs in.
class CacheSearchTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const char* zone = getenv("TZ");
        saved = zone != nullptr ? zone : "";
        had_zone = zone != nullptr;
        setenv("TZ", GetParam(), 1);
        tzset();
    }
    void TearDown() override {
        if (had_zone)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved;
    bool had_zone = false;
};

TEST_P(CacheSearchTest, TheFirstVisitSpansTheEpochToTheCurrentMinute) {
    cache_search_t search = read("");
    EXPECT_FALSE(search.show);
    EXPECT_FALSE(search.remove);
    EXPECT_EQ(search.modified_after.when, 0);
    EXPECT_EQ(search.accessed_after.when, 0);
    EXPECT_EQ(search.modified_before.when, utc(2024, 3, 15, 10, 42));
    EXPECT_EQ(search.accessed_before.when, utc(2024, 3, 15, 10, 42));
    EXPECT_EQ(search.modified_before.month, 2);
    EXPECT_EQ(search.modified_before.day, 15);
    EXPECT_EQ(search.min_size, 0u);
    EXPECT_EQ(search.max_size, UINT64_MAX);
    EXPECT_TRUE(search.errors.empty());
    // Stored during the current minute: after the bound's 0 seconds.
    EXPECT_FALSE(cache_search_admits(search, NOW, NOW, 10));
    EXPECT_TRUE(cache_search_admits(search, NOW - 60, NOW - 31, 10));
}

TEST_P(CacheSearchTest, DatePartsRollOverAndBoxesWin) {
    struct Case {
        const char* query;
        time_t modified_after;
        time_t modified_before;
    };
    const Case cases[] = {
        {"mamonth=February&maday=31&mayear=2023&mahour=5&maminute=7",
         utc(2023, 3, 3, 5, 7), utc(2024, 3, 15, 10, 42)},
        // "Jan" names no month: January of the following year.
        {"mamonth=Jan&maday=2&mayear=2023", utc(2024, 1, 2, 0, 0), utc(2024, 3, 15, 10, 42)},
        {"mamonth=march&maday=2&mayear=2023", utc(2023, 3, 2, 0, 0), utc(2024, 3, 15, 10, 42)},
        {"mamonth=May&maday=2&mayear=2023&maepoch=on", 0, utc(2024, 3, 15, 10, 42)},
        {"mbmonth=May&mbday=2&mbyear=2020&mbhour=1&mbminute=0", 0, utc(2020, 5, 2, 1, 0)},
        // The box takes every part of the current time, the month too.
        {"mbmonth=May&mbday=2&mbyear=2020&mbcurtime=on", 0, utc(2024, 3, 15, 10, 42)},
        // Missing parts of a "before" bound are the current time's.
        {"mbyear=2020", 0, utc(2020, 3, 15, 10, 42)},
        {"mahour=25&maday=1&mamonth=January&mayear=2000", utc(2000, 1, 2, 1, 0),
         utc(2024, 3, 15, 10, 42)},
    };
    for (const Case& c : cases) {
        cache_search_t search = read(c.query);
        EXPECT_EQ(search.modified_after.when, c.modified_after) << c.query;
        EXPECT_EQ(search.modified_before.when, c.modified_before) << c.query;
    }
}

TEST_P(CacheSearchTest, SizesParseOrAreErrorsOnThePage) {
    struct Case {
        const char* query;
        uint64_t min;
        uint64_t max;
        size_t errors;
    };
    const Case cases[] = {
        {"maxsize=10k", 0, 10240, 0},
        {"minsize=1&maxsize=2m", 1, 2097152, 0},
        {"maxsize=8g", 0, 8589934592ULL, 0}, // beyond 32 bits
        {"minsize=5&maxsize=6&allsizes=on", 0, UINT64_MAX, 0},
        {"maxsize=lots", 0, UINT64_MAX, 1},
        {"minsize=-3&maxsize=1q", 0, UINT64_MAX, 2},
        {"maxsize=99999999999999999999999", 0, UINT64_MAX, 1},
        {"maxsize=lots&allsizes=on", 0, UINT64_MAX, 0},
    };
    for (const Case& c : cases) {
        cache_search_t search = read(c.query);
        EXPECT_EQ(search.min_size, c.min) << c.query;
        EXPECT_EQ(search.max_size, c.max) << c.query;
        EXPECT_EQ(search.errors.size(), c.errors) << c.query;
    }
    cache_search_t search = read("maxsize=%3Cscript%3E");
    ASSERT_EQ(search.errors.size(), 1u);
    EXPECT_NE(search.errors.front().find("<script>"), std::string::npos); // escaped by the page
}

INSTANTIATE_TEST_SUITE_P(Zones, CacheSearchTest,
                         ::testing::Values("UTC", "America/New_York", "Asia/Kolkata"));

TEST(CacheKeyLink, IsPercentEncodedEscapedAndOnlyForWebSchemes) {
    struct Case {
        const char* key;
        const char* href;
    };
    const Case cases[] = {
        {"http://origin.test/a/b?x=1&y=2", "http://xx--cache.origin.test/a/b?x=1&amp;y=2"},
        {"https://h:8443/", "https://xx--cache.h:8443/"},
        {"ftp://files.test/pub/a b", "ftp://xx--cache.files.test/pub/a%20b"},
        {"http://h/\"><script>alert(1)</script>",
         "http://xx--cache.h/%22%3E%3Cscript%3Ealert(1)%3C/script%3E"},
        {"http://h/'onmouseover='x", "http://xx--cache.h/%27onmouseover=%27x"},
        {"http://h/\xc3\xa9", "http://xx--cache.h/%C3%A9"},
        {"javascript://h/%0aalert(1)", ""},
        {"data://text/html,<b>", ""},
        {"no scheme", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cache_key_link(c.key), c.href) << c.key;
}

} // namespace
