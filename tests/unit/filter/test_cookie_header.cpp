// CookieHeader: parsing Cookie and Set-Cookie values and building them back.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "filter/cookie_filter.h"
#include "support/log_test_support.h"

TEST(CookieHeaderTest, BuildsBackInItsOwnOrder) {
    struct Case {
        const char* value;
        const char* built;
    };
    const Case cases[] = {
        {"id=a3fWa; Path=/docs; DOMAIN=example.com; Expires=Wed, 21-Oct-2037 07:28:00 GMT; Secure",
         "id=a3fWa; domain=example.com; path=/docs; expires=Wed, 21-Oct-2037 07:28:00 GMT; Secure"},
        // The date of RFC 1123 comes back with dashes.
        {"a=1; expires=Wed, 09 Jun 2021 10:18:14 GMT",
         "a=1; expires=Wed, 09-Jun-2021 10:18:14 GMT"},
        // Two-digit years belong to this era.
        {"a=1; expires=Fri, 01-Jan-38 00:00:00 GMT", "a=1; expires=Fri, 01-Jan-2038 00:00:00 GMT"},
        {"a=1; expires=Fri, 31-Dec-99 23:59:59 GMT", "a=1; expires=Fri, 31-Dec-1999 23:59:59 GMT"},
        // Request attributes are written with a dollar sign.
        {"$Version=1; sid=x; $Path=/", "sid=x; path=/; version=1"},
        // A pair without value stays (it deletes the cookie).
        {"sid=; Max-Age=0", "sid=; Max-Age=0"},
        {"a=1;;  ; b=2;", "a=1; b=2"},
        {"a=b=c", "a=b=c"},
        // Only attributes: nothing to build.
        {"path=/; domain=x", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CookieHeader(c.value).Build(), c.built) << c.value;
}

TEST(CookieHeaderTest, ExpiryIsParsedIntoItsFields) {
    CookieHeader cookie("a=1; expires=Wed, 09 Jun 2021 10:18:14 GMT; expires=bad");
    ASSERT_TRUE(cookie.has_expiry);
    EXPECT_EQ(cookie.expiry.tm_year, 121);
    EXPECT_EQ(cookie.expiry.tm_mon, 5);
    EXPECT_EQ(cookie.expiry.tm_mday, 9);
    EXPECT_EQ(cookie.expiry.tm_hour, 10);
    EXPECT_EQ(cookie.expiry.tm_wday, 3);
    // A later unreadable expires stays a pair, as written.
    EXPECT_EQ(cookie.Build(), "a=1; expires=bad; expires=Wed, 09-Jun-2021 10:18:14 GMT");

    CookieHeader reused("x=1; expires=Wed, 09 Jun 2021 10:18:14 GMT; secure");
    reused.Parse("y=2");
    EXPECT_FALSE(reused.has_expiry);
    EXPECT_TRUE(reused.flags.empty());
    EXPECT_EQ(reused.Build(), "x=1; y=2");
}

class CookieHeaderLogTest : public logtest::LogDirTest {};

TEST_F(CookieHeaderLogTest, AnUnreadableExpiryIsLoggedAndKept) {
    CookieHeader cookie("a=1; Expires=tomorrow");
    EXPECT_FALSE(cookie.has_expiry);
    EXPECT_EQ(cookie.Build(), "a=1; Expires=tomorrow");
    EXPECT_NE(logtest::read_file(log_path).find("failed to parse cookie expiry time: tomorrow"),
              std::string::npos);
}

TEST(CookieHeaderTest, ExpiryIsUniversalTimeWhateverTheZone) {
    setenv("TZ", "America/New_York", 1);
    tzset();
    CookieHeader cookie;
    cookie.pairs.emplace_back("login", "t");
    time_t t = 2000000000; // Wed, 18 May 2033 03:33:20 UTC
    ASSERT_NE(gmtime_r(&t, &cookie.expiry), nullptr);
    cookie.has_expiry = true;
    EXPECT_EQ(cookie.Build(), "login=t; expires=Wed, 18-May-2033 03:33:20 GMT");
    unsetenv("TZ");
    tzset();
}
