// Freshness and cacheability: which exchanges are stored, when a stored
// response is stale by its own headers and the Refresh numbers, and when a
// request's Cache-Control demands revalidation. The clock is injected.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <string>

#include "cache/cache.h"
#include "core/misc_time.h"
#include "http/header.h"
#include "support/cache_test_support.h"

using cachetest::CacheTest;
using cachetest::now_value;
using cachetest::refresh_rule;
using cachetest::response;

namespace {

const std::string URL = "http://origin.test:80/fresh";
const time_t STORED = 1700000000;

std::string http_date(time_t t) {
    struct tm broken;
    gmtime_r(&t, &broken);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &broken);
    return text;
}

TEST(Cacheable, RequestsAndResponses) {
    struct Case {
        const char* text;
        bool request;
        bool expected;
    } cases[] = {
        {"GET http://a.test/x HTTP/1.1\r\nHost: a.test\r\n\r\n", true, true},
        {"get http://a.test/x HTTP/1.1\r\nHost: a.test\r\n\r\n", true, true},
        {"HEAD http://a.test/x HTTP/1.1\r\nHost: a.test\r\n\r\n", true, false},
        {"POST http://a.test/x HTTP/1.1\r\nHost: a.test\r\nContent-Length: 0\r\n\r\n", true, false},
        {"GET http://a.test/x HTTP/1.1\r\nHost: a.test\r\nAuthorization: Basic eDp5\r\n\r\n", true,
         false},
        {"GET http://a.test/x HTTP/1.1\r\nHost: a.test\r\nRange: bytes=0-1\r\n\r\n", true, false},
        {"GET ftp://bob:pw@f.test/x HTTP/1.1\r\nHost: f.test\r\n\r\n", true, false},
        {"GET ftp://Anonymous:me@f.test/x HTTP/1.1\r\nHost: f.test\r\n\r\n", true, true},
        {"GET /x HTTP/1.1\r\nHost: a.test\r\n\r\n", true, false},
        {"HTTP/1.1 200 OK\r\n\r\n", false, true},
        {"HTTP/1.1 200 OK\r\nCache-Control: public, max-age=60\r\n\r\n", false, true},
        {"HTTP/1.1 206 Partial Content\r\n\r\n", false, false},
        {"HTTP/1.1 304 Not Modified\r\n\r\n", false, false},
        {"HTTP/1.1 404 Not Found\r\n\r\n", false, false},
        {"HTTP/1.1 200 OK\r\nCache-Control: private\r\n\r\n", false, false},
        {"HTTP/1.1 200 OK\r\nCache-Control: max-age=60, Private\r\n\r\n", false, false},
        {"HTTP/1.1 200 OK\r\nCache-Control: private=\"Set-Cookie\"\r\n\r\n", false, false},
        {"HTTP/1.1 200 OK\r\nCache-Control: public,no-store\r\n\r\n", false, false},
        {"HTTP/1.1 200 OK\r\nCache-Control: no-store\r\nCache-Control: max-age=60\r\n\r\n", false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        HEADER* header = c.request ? http_header_parse_request(c.text)
                                   : http_header_parse_response(c.text);
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(cacheable(header), c.expected);
        http_header_free(header);
    }
    EXPECT_FALSE(cacheable(nullptr));
}

TEST_F(CacheTest, ResponseFreshnessByHeadersAndRule) {
    struct Case {
        const char* name;
        std::string lines;
        std::string rule;
        time_t age;
        bool expired;
        bool violation;
    } cases[] = {
        {"max-age at its end", "Cache-Control: max-age=60\r\n", refresh_rule(), 60, false, false},
        {"max-age past its end", "Cache-Control: max-age=60\r\n", refresh_rule(), 61, true, false},
        {"max-age after a comma and blank", "Cache-Control: public, max-age=60\r\n",
         refresh_rule(), 60, false, false},
        {"max-age after a comma", "Cache-Control: public,max-age=60\r\n", refresh_rule(), 60,
         false, false},
        {"max-age across two lines", "Cache-Control: public\r\nCache-Control: max-age=60\r\n",
         refresh_rule(), 30, false, false},
        {"later max-age wins", "Cache-Control: max-age=10, max-age=60\r\n", refresh_rule(), 30,
         false, false},
        {"max-age beyond the rule's maximum", "Cache-Control: max-age=600\r\n",
         refresh_rule(300), 301, true, false},
        {"max-age replaces Expires",
         "Expires: " + http_date(STORED + 10) + "\r\nCache-Control: max-age=60\r\n",
         refresh_rule(), 30, false, false},
        {"no dates at all", "", refresh_rule(), 0, true, false},
        {"Expires ahead", "Expires: " + http_date(STORED + 100) + "\r\n", refresh_rule(), 100,
         false, false},
        {"Expires passed", "Expires: " + http_date(STORED + 100) + "\r\n", refresh_rule(), 101,
         true, false},
        {"Expires not a date", "Expires: 0\r\n", refresh_rule(), 0, true, false},
        {"Last-Modified factor within",
         "Last-Modified: " + http_date(STORED - 1000) + "\r\n", refresh_rule(), 100, false, false},
        {"Last-Modified factor passed",
         "Last-Modified: " + http_date(STORED - 1000) + "\r\n", refresh_rule(), 101, true, false},
        {"Last-Modified too recent for the minimum age",
         "Cache-Control: max-age=600\r\nLast-Modified: " + http_date(STORED - 30) + "\r\n",
         refresh_rule(86400, 3600, 10, 60), 0, true, false},
        {"no expiry beyond the validate age",
         "Last-Modified: " + http_date(STORED - 100000) + "\r\n", refresh_rule(86400, 50), 51, true,
         false},
        {"must-revalidate", "Cache-Control: max-age=60, must-revalidate\r\n", refresh_rule(), 0,
         true, false},
        {"no-cache", "Cache-Control: max-age=60, no-cache\r\n", refresh_rule(), 0, true, true},
        {"no rule at all", "Cache-Control: max-age=60\r\n", "", 1, true, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure("<serve_violations>true</serve_violations>", c.rule);
        now_value = STORED;
        std::string url = URL + std::to_string(n++);
        ASSERT_TRUE(store(url, response(c.lines), "body"));
        now_value = STORED + c.age;
        CACHEMAP* object = lookup(url);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ((cache->flag_get(object) & CACHE_EXPIRED) != 0, c.expired);
        EXPECT_EQ((cache->flag_get(object) & CACHE_VIOLATION) != 0, c.violation);
        cache->cache_close(object, false);
    }
}

TEST_F(CacheTest, LastModifiedFactorIsSixtyFourBit) {
    // Fifty years since the last change with a factor of 1000 %: the
    // product passes 32 bits and still lands 500 years ahead.
    configure("", refresh_rule(0x7fffffff, 0x7fffffff, 1000));
    time_t age = 50LL * 365 * 86400;
    now_value = STORED;
    ASSERT_TRUE(store(URL, response("Last-Modified: " + http_date(STORED - age) + "\r\n"), "b"));
    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->lmexpires, STORED + age * 10);
    EXPECT_FALSE(cache->flag_get(object) & CACHE_EXPIRED);
    cache->cache_close(object, false);
}

TEST_F(CacheTest, RequestCacheControlDemandsRevalidation) {
    struct Case {
        const char* name;
        std::string object_lines;
        time_t age;
        const char* request_lines;
        bool validate;
    } cases[] = {
        // Expires 100 s after storing, asked 200 s after: expired 100 s ago.
        {"expired, no demand", "Expires: " + http_date(STORED + 100) + "\r\n", 200, "", true},
        {"expired, max-stale covers it", "Expires: " + http_date(STORED + 100) + "\r\n", 200,
         "Cache-Control: max-stale=3600\r\n", false},
        {"expired, max-stale too short", "Expires: " + http_date(STORED + 100) + "\r\n", 200,
         "Cache-Control: max-stale=50\r\n", true},
        {"max-stale undoes no-cache", "Expires: " + http_date(STORED + 100) + "\r\n", 200,
         "Cache-Control: no-cache, max-stale=3600\r\n", false},
        {"fresh, no-cache", "Cache-Control: max-age=600\r\n", 20, "Cache-Control: no-cache\r\n",
         true},
        {"fresh, Pragma is not Cache-Control", "Cache-Control: max-age=600\r\n", 20,
         "Pragma: no-cache\r\n", false},
        {"fresh, younger than max-age", "Cache-Control: max-age=600\r\n", 20,
         "Cache-Control: max-age=30\r\n", false},
        {"fresh, older than max-age", "Cache-Control: max-age=600\r\n", 20,
         "Cache-Control: max-age=10\r\n", true},
        {"fresh for less than min-fresh", "Cache-Control: max-age=600\r\n", 550,
         "Cache-Control: min-fresh=100\r\n", true},
        {"fresh for more than min-fresh", "Cache-Control: max-age=600\r\n", 400,
         "Cache-Control: min-fresh=100\r\n", false},
        {"min-fresh by Last-Modified",
         "Last-Modified: " + http_date(STORED - 1000) + "\r\n", 50,
         "Cache-Control: min-fresh=60\r\n", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        now_value = STORED;
        std::string url = URL + std::to_string(n++);
        ASSERT_TRUE(store(url, response(c.object_lines), "body"));
        now_value = STORED + c.age;
        std::string text = "GET " + url + " HTTP/1.1\r\nHost: origin.test\r\n" +
                           c.request_lines + "\r\n";
        HEADER* request = http_header_parse_request(text.c_str());
        ASSERT_NE(request, nullptr);
        CACHEMAP* object = lookup(url);
        ASSERT_NE(object, nullptr);
        cache->check(request);
        EXPECT_EQ((cache->flag_get(object) & CACHE_VALIDATE) != 0, c.validate);
        cache->cache_close(object, false);
        http_header_free(request);
    }
}

TEST_F(CacheTest, PrefetchedObjectIsServedAsStored) {
    CACHEMAP* object = create(URL, response(), CACHE_WRITING | CACHE_PREFETCHED);
    ASSERT_NE(object, nullptr);
    cache->cache_close(object, true);
    now_value += 30;
    HEADER* request = http_header_parse_request(
        ("GET " + URL + " HTTP/1.1\r\nHost: o\r\nCache-Control: no-cache\r\n\r\n").c_str());
    ASSERT_NE(request, nullptr);
    cache->check(request);
    CACHEMAP* found = lookup(URL);
    ASSERT_NE(found, nullptr);
    EXPECT_FALSE(cache->flag_get(found) & CACHE_VALIDATE);
    cache->cache_close(found, false);
    http_header_free(request);
}

// The real cache clock against real dates: fresh and stale come out the same
// whatever the daemon's time zone.
class CacheClockZones : public CacheTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CacheClockZones, DatesAndTheClockShareOneScale) {
    setenv("TZ", GetParam(), 1);
    tzset();
    cache->clock = utc_time;
    time_t now = time(nullptr);
    EXPECT_LE(utc_time(nullptr) - now, 1);
    ASSERT_TRUE(store(URL + "ahead", response("Expires: " + http_date(now + 120) + "\r\n"), "a"));
    ASSERT_TRUE(store(URL + "behind", response("Expires: " + http_date(now - 120) + "\r\n"), "b"));
    CACHEMAP* ahead = lookup(URL + "ahead");
    CACHEMAP* behind = lookup(URL + "behind");
    ASSERT_NE(ahead, nullptr);
    ASSERT_NE(behind, nullptr);
    EXPECT_FALSE(cache->flag_get(ahead) & CACHE_EXPIRED);
    EXPECT_TRUE(cache->flag_get(behind) & CACHE_EXPIRED);
    EXPECT_EQ(http_date_parse("Tue, 14 Nov 2023 22:13:20 GMT"), STORED);
    cache->cache_close(ahead, false);
    cache->cache_close(behind, false);
    unsetenv("TZ");
    tzset();
}

INSTANTIATE_TEST_SUITE_P(Zones, CacheClockZones,
                         ::testing::Values("UTC", "America/New_York", "Asia/Kolkata"));

} // namespace
