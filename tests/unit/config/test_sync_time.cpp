// The Last-Modified stamp of configuration synchronisation: written and read
// as universal time, whatever the local zone and its daylight saving.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <string>

#include "config/sync.h"

TEST(SyncTime, TheStampIsUniversalTimeInEveryZone) {
    struct Case {
        time_t stamp;
        const char* text;
    };
    const Case cases[] = {
        {1700000000, "Tue, 14 Nov 2023 22:13:20 GMT"}, // winter in the north
        {1688000000, "Thu, 29 Jun 2023 00:53:20 GMT"}, // summer: daylight saving
        {1679792400, "Sun, 26 Mar 2023 01:00:00 GMT"}, // the hour Europe springs forward
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
    };
    for (const char* zone : {"UTC", "America/New_York", "Europe/Berlin", "Asia/Kolkata"}) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        tzset();
        for (const Case& c : cases) {
            char text[64];
            ASSERT_GT(sync_time_format(c.stamp, text, sizeof text), 0u);
            EXPECT_STREQ(text, c.text);
            EXPECT_EQ(sync_time_parse(c.text), c.stamp);
        }
    }
}

TEST(SyncTime, TextThatIsNoHttpDateIsRefused) {
    for (const char* text : {"", "yesterday", "Tue, 14 Nov 2023 22:13:20", "Tue, 14 Nov 2023 "
                             "22:13:20 GMT trailing", "Tue, 31 Foo 2023 22:13:20 GMT"})
        EXPECT_EQ(sync_time_parse(text), -1) << text;
    EXPECT_EQ(sync_time_parse(nullptr), -1);
    char small[8];
    EXPECT_EQ(sync_time_format(1700000000, small, sizeof small), 0u);
    EXPECT_STREQ(small, "") ;
}
