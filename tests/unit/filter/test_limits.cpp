// The limits, on an injected clock and under a time zone other than UTC:
// windows, refusals by time and by request quota, allowances, rates and
// their groups, counting (cached responses, 64-bit saturating counters, the
// upload size), and the reset of counters when a window is over.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/filebuf.h"
#include "filter/limits_section.h"
#include "http/header.h"
#include "net/connection.h"
#include "net/socket.h"
#include "support/filter_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

time_t fake_now;
time_t fake_clock() {
    return fake_now;
}

// The local time of a day in March 2024: Monday the 4th is weekday 1.
time_t local(int mday, int hour, int minute) {
    struct tm broken_down = {};
    broken_down.tm_year = 124;
    broken_down.tm_mon = 2;
    broken_down.tm_mday = mday;
    broken_down.tm_hour = hour;
    broken_down.tm_min = minute;
    broken_down.tm_isdst = -1;
    return mktime(&broken_down);
}

// A "rules" entry: every field at its neutral value unless given.
std::string rule(std::initializer_list<std::pair<std::string, std::string>> given) {
    std::map<std::string, std::string> fields = {
        {"enabled", "true"},    {"comment", ""},        {"groups", ""},
        {"profiles", ""},       {"block", "false"},     {"template", ""},
        {"download_limit", "0"}, {"upload_limit", "0"}, {"request_limit", "0"},
        {"rate", "0"},          {"time_mode", "span"},  {"options", ""},
    };
    for (const auto& field : given)
        fields[field.first] = field.second;
    std::string text = "<rules>";
    // Definition order, so the file reads as a saved one would.
    for (const char* name : {"enabled", "comment", "groups", "profiles", "block", "template",
                             "months", "days", "weekdays", "hours", "minutes", "download_limit",
                             "upload_limit", "request_limit", "rate", "time_mode", "options"})
        if (fields.count(name))
            text += "<" + std::string(name) + ">" + fields[name] + "</" + name + ">";
    return text + "</rules>";
}

class LimitsTest : public filtertest::FilterSectionTest {
protected:
    void SetUp() override {
        FilterSectionTest::SetUp();
        // Windows are local time: a zone far from UTC shows any mix-up.
        setenv("TZ", "America/New_York", 1);
        tzset();
        limit_section = new LimitSection();
        limit_section->clock = fake_clock;
        fake_now = local(5, 12, 30); // Tuesday 12:30
    }
    void configure(const std::string& rules, const char* enabled = "true") {
        sectiontest::load(*limit_section,
                          "<limits>" + elements({{"enabled", enabled}}) + rules + "</limits>");
    }

    // A connection with a request read (its body empty) and a client socket.
    Connection& asked(const std::string& profiles = "", const std::string& header = "") {
        Connection& connection = request("http://www.test/", profiles, header);
        connection.attach_client();
        connection->body = new Filebuf();
        return connection;
    }

    // One whole request: checked, given the response size, counted.
    bool served(int64_t bytes_down = 0, const std::string& profiles = "") {
        Connection& connection = asked(profiles);
        bool refused = limit_section->check_and_block(connection.get());
        connection->bytes_down = bytes_down;
        limit_section->update(connection.get());
        return refused;
    }

    Limit& first() { return limit_section->rules.front(); }
};

TEST_F(LimitsTest, WindowsByPartAndMode) {
    const std::string weekdays_hours = "<weekdays>Monday,Friday</weekdays><hours>9,17</hours>";
    struct Case {
        std::string parts; // the range fields of the entry
        const char* mode;
        time_t at;
        bool active;
    } cases[] = {
        {"", "span", local(5, 3, 0), true}, // no part: always
        {"<hours>12,13</hours>", "each_part", local(5, 12, 30), true},
        {"<hours>12,13</hours>", "each_part", local(5, 13, 59), true},
        {"<hours>12,13</hours>", "each_part", local(5, 14, 0), false},
        // Monday to Friday, 9:00 to 17:59: recurring, or one stretch.
        {weekdays_hours, "each_part", local(5, 8, 0), false},
        {weekdays_hours, "each_part", local(5, 10, 0), true},
        {weekdays_hours, "each_part", local(9, 10, 0), false}, // Saturday
        {weekdays_hours, "span", local(5, 8, 0), true},
        {weekdays_hours, "span", local(4, 8, 0), false},
        {weekdays_hours, "span", local(8, 17, 59), true},
        {weekdays_hours, "span", local(8, 18, 0), false},
        {"<months>February,April</months>", "span", local(5, 0, 0), true}, // March is inside
        {"<months>April,May</months>", "span", local(5, 0, 0), false},
        {"<days>1,4</days>", "each_part", local(5, 0, 0), false},
        {"<minutes>0,29</minutes>", "each_part", local(5, 12, 30), false},
        // A part switched off takes no part.
        {"<hours active=\"false\">1,2</hours>", "each_part", local(5, 12, 30), true},
    };
    for (const Case& c : cases) {
        std::string entry = rule({{"time_mode", c.mode}});
        entry.insert(entry.find("<download_limit>"), c.parts);
        configure(entry);
        struct tm now;
        localtime_r(&c.at, &now);
        EXPECT_EQ(first().window_active(now), c.active) << c.parts << " " << c.mode << " "
                                                       << asctime(&now);
    }
}

TEST_F(LimitsTest, TimeBlockAndRequestQuotaRefuse) {
    configure(rule({{"block", "true"}, {"hours", "12,13"}, {"time_mode", "each_part"}}));
    Connection& noon = asked();
    noon->variables["REASON"] = "left over";
    EXPECT_TRUE(limit_section->check_and_block(noon.get()));
    std::string reply = noon.sent();
    EXPECT_NE(reply.find("<title>Page Blocked</title>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Filter: User Limits<br>\nReason: Time Limits"), std::string::npos);
    EXPECT_EQ(noon->variables["LIMIT_TYPE"], "Time Limits");
    filtertest::expect_refusal_record(noon->log, "limit-section", "time limit restrictions");
    EXPECT_TRUE(logged("blocked: time limit restrictions"));
    fake_now = local(5, 14, 0);
    EXPECT_FALSE(served());

    // The first ten requests of the window pass, the eleventh gets the
    // rule's page; refused requests go on counting.
    configure(rule({{"request_limit", "10"}, {"template", "noaccess"}}));
    for (int i = 0; i < 10; i++)
        EXPECT_FALSE(served()) << i;
    Connection& eleventh = asked();
    EXPECT_TRUE(limit_section->check_and_block(eleventh.get()));
    EXPECT_NE(eleventh.sent().find("<title>Access denied</title>"), std::string::npos);
    EXPECT_EQ(eleventh->variables["REASON"], "Max Requests");
    EXPECT_EQ(eleventh->log.filtering_reason, "max-requests restrictions");
    limit_section->update(eleventh.get());
    EXPECT_EQ(first().requests.load(), 11u);
    configure(rule({{"request_limit", "10"}}));
    Connection& built_in = asked();
    first().requests = 10;
    EXPECT_TRUE(limit_section->check_and_block(built_in.get()));
    EXPECT_NE(built_in.sent().find("<title>Request limit exceeded</title>"), std::string::npos);

    // Not counted: a quota of 1 never refuses.
    configure(rule({{"request_limit", "1"}, {"options", "not_counted"}}));
    for (int i = 0; i < 3; i++)
        EXPECT_FALSE(served()) << i;
    EXPECT_EQ(first().requests.load(), 0u);
}

TEST_F(LimitsTest, AllowancesAreWhatIsLeftOfTheSmallestQuota) {
    // Nothing applies: both unlimited, no line, no flag.
    configure(rule({{"download_limit", "1000"}, {"profiles", "staff"}}));
    Connection& outside = asked();
    outside->down_allowance = 5;
    EXPECT_FALSE(limit_section->check_and_block(outside.get()));
    EXPECT_EQ(outside->down_allowance, -1);
    EXPECT_EQ(outside->up_allowance, -1);
    EXPECT_EQ(outside->flags & CONN_LIMIT_COUNT_CACHED, 0u);
    EXPECT_FALSE(logged("transfer download limit: 4294967295"));

    // 1500 counted against 1000: nothing left, never negative.
    configure(rule({{"download_limit", "1000"}, {"upload_limit", "2k"},
                    {"options", "count_cached"}}));
    first().downloaded = 1500;
    Connection& spent = asked();
    EXPECT_FALSE(limit_section->check_and_block(spent.get()));
    EXPECT_EQ(spent->down_allowance, 0);
    EXPECT_EQ(spent->variables["DOWNLOADLIMIT"], "1000");
    EXPECT_EQ(spent->up_allowance, 2048);
    EXPECT_EQ(spent->variables["UPLOADLIMIT"], "2048");
    EXPECT_NE(spent->flags & CONN_LIMIT_COUNT_CACHED, 0u);
    EXPECT_TRUE(logged("transfer download limit: 0"));
    EXPECT_TRUE(logged("transfer upload limit: 2048"));

    // Remaining 5000 and 3000: 3000, in either order.
    for (bool smaller_first : {true, false}) {
        std::string small = rule({{"download_limit", "4000"}});
        std::string large = rule({{"download_limit", "6000"}});
        configure(smaller_first ? small + large : large + small);
        for (Limit& each : limit_section->rules)
            each.downloaded = 1000;
        Connection& both = asked();
        limit_section->check_and_block(both.get());
        EXPECT_EQ(both->down_allowance, 3000) << smaller_first;
        EXPECT_EQ(both->variables["DOWNLOADLIMIT"], "4000");
    }

    // Off or bypassed: reset to unlimited and nothing else.
    configure(rule({{"download_limit", "1000"}}), "false");
    Connection& off = asked();
    off->down_allowance = 5;
    EXPECT_FALSE(limit_section->check_and_block(off.get()));
    EXPECT_EQ(off->down_allowance, -1);
    configure(rule({{"block", "true"}}));
    Connection& bypassed = asked();
    bypassed->bypass = BYPASS_LIMITS;
    EXPECT_FALSE(limit_section->check_and_block(bypassed.get()));
}

// The rate of the rules that apply: the first, replaced by any lower one
// (0 included); it lasts for the requests the rules cover.
TEST_F(LimitsTest, RatesAndTheirGroups) {
    struct Case {
        std::vector<const char*> rates;
        unsigned expected; // 0: no group
    } cases[] = {
        {{"100000", "50000"}, 50000},
        {{"50000", "100000"}, 50000},
        {{"100000", "0"}, 0},
        {{"100000", "0", "70000"}, 70000}, // after 0 nothing is chosen yet
        {{"0", "20000"}, 20000},
    };
    for (const Case& c : cases) {
        std::string rules;
        for (const char* rate : c.rates)
            rules += rule({{"rate", rate}});
        configure(rules);
        Connection& connection = asked();
        limit_section->check_and_block(connection.get());
        Socket* client = connection->client;
        EXPECT_EQ(client->read_rate, nullptr);
        unsigned chosen = client->write_rate != nullptr ? client->write_rate->rate : 0;
        EXPECT_EQ(chosen, c.expected) << c.rates.size() << " rules";
    }

    // Shared: every connection of the rule gets the rule's group; otherwise
    // each request has its own.
    configure(rule({{"rate", "30000"}, {"options", "shared_rate"}, {"profiles", "shared"}}) +
              rule({{"rate", "40000"}, {"profiles", "own"}}));
    Connection& a = asked("shared");
    Connection& b = asked("shared");
    Connection& c = asked("own");
    Connection& d = asked("own");
    for (Connection* connection : {&a, &b, &c, &d})
        limit_section->check_and_block(connection->get());
    EXPECT_EQ(a->client->write_rate, first().group);
    EXPECT_EQ(b->client->write_rate, first().group);
    EXPECT_EQ(first().group->count, 3); // the rule and two sockets
    EXPECT_NE(c->client->write_rate, d->client->write_rate);
    EXPECT_EQ(c->client->write_rate->count, 1); // the socket alone

    // A later request on the same connection that no rule covers keeps no
    // rate of an earlier one.
    c->profiles = StringList("", ',');
    limit_section->check_and_block(c.get());
    EXPECT_EQ(c->client->write_rate, nullptr);
    a->profiles = StringList("", ',');
    limit_section->check_and_block(a.get());
    EXPECT_EQ(first().group->count, 2);
    // A rebuild lets go of the rule's hold; the socket keeps the group alive.
    LimitGroup* kept = first().group;
    configure("");
    EXPECT_EQ(b->client->write_rate, kept);
    EXPECT_EQ(kept->count, 1);
}

TEST_F(LimitsTest, CountingCachedResponsesUploadsAndSaturation) {
    configure(rule({{"download_limit", "1M"}, {"profiles", "plain"}}) +
              rule({{"download_limit", "1M"}, {"options", "count_cached"}, {"profiles", "cached"}}));
    CACHEMAP* object = reinterpret_cast<CACHEMAP*>(&fake_now); // never looked into
    struct Case {
        const char* profiles;
        bool cached;
        bool storing;
        uint64_t counted;
    } cases[] = {
        {"plain", false, false, 700}, {"plain", true, false, 0}, {"plain", true, true, 700},
        {"cached", true, false, 700},
    };
    for (const Case& c : cases) {
        for (Limit& each : limit_section->rules)
            each.downloaded = 0;
        Connection& connection = asked(c.profiles);
        limit_section->check_and_block(connection.get());
        connection->bytes_down = 700;
        connection->cachemap = c.cached ? object : nullptr;
        if (c.storing)
            connection->flags |= CONN_CACHE_STORE;
        limit_section->update(connection.get());
        connection->cachemap = nullptr;
        const Limit& counted = std::string(c.profiles) == "plain" ? limit_section->rules.front()
                                                                  : limit_section->rules.back();
        EXPECT_EQ(counted.downloaded.load(), c.counted) << c.profiles << c.cached << c.storing;
        EXPECT_EQ(connection->bytes_down, 0); // consumed: never counted twice
    }

    // The upload size is the Content-Length the road recorded, kept by the
    // check; without one it is 0.
    configure(rule({{"upload_limit", "1M"}, {"request_limit", "100"}}));
    Connection& post = asked("", "Content-Length: 300\r\n");
    post->bytes_up = 300;
    limit_section->check_and_block(post.get());
    EXPECT_EQ(post->bytes_up, 300);
    limit_section->update(post.get());
    Connection& get = asked();
    get->bytes_up = 300; // left over from an earlier request
    limit_section->check_and_block(get.get());
    EXPECT_EQ(get->bytes_up, 0);
    limit_section->update(get.get());
    EXPECT_EQ(first().uploaded.load(), 300u);
    EXPECT_EQ(first().requests.load(), 2u);

    // A connection on which no request arrived counts nothing.
    Connection& idle = asked();
    http_header_free(idle->request);
    idle->request = nullptr;
    limit_section->update(idle.get());
    EXPECT_EQ(first().requests.load(), 2u);

    // 64-bit counters stop at their largest value.
    configure(rule({{"download_limit", "4000m"}}));
    first().downloaded = UINT64_MAX - 5;
    EXPECT_FALSE(served(5000000000LL));
    EXPECT_EQ(first().downloaded.load(), UINT64_MAX);
    Connection& after = asked();
    limit_section->check_and_block(after.get());
    EXPECT_EQ(after->down_allowance, 0);
}

TEST_F(LimitsTest, CountersClearWhenTheWindowIsOver) {
    configure(rule({{"request_limit", "5"}, {"hours", "9,17"}, {"time_mode", "each_part"}}) +
              rule({{"request_limit", "5"}}));
    fake_now = local(5, 17, 30);
    for (int i = 0; i < 3; i++)
        served();
    limits_reset(nullptr);
    EXPECT_EQ(first().requests.load(), 3u);
    fake_now = local(5, 17, 59);
    limits_reset(nullptr);
    EXPECT_EQ(first().requests.load(), 3u);
    fake_now = local(5, 18, 0);
    limits_reset(nullptr);
    EXPECT_EQ(first().requests.load(), 0u);
    // Every switch off: always in its window, never cleared by the timer.
    EXPECT_EQ(limit_section->rules.back().requests.load(), 3u);
    // Any edit of the section starts every quota afresh.
    configure(rule({{"request_limit", "5"}}));
    EXPECT_EQ(first().requests.load(), 0u);
}

} // namespace
