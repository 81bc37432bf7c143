// What the statistics hold: the global groups with their process figures,
// the feeds into the global and the rule's object, and /proc/self/statm
// read at full width.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "core/filebuf.h"
#include "core/global.h"
#include "http/header.h"
#include "iface/process_figures.h"
#include "iface/stats.h"
#include "net/connection.h"

namespace {

std::vector<std::string> names(Stats& stats, const std::string& group) {
    std::vector<std::string> list;
    for (const StatCounter& counter : stats.Group(group)->counters)
        list.push_back(counter.name);
    return list;
}

uint64_t count_of(Stats& stats, const std::string& group, const std::string& name) {
    for (const StatCounter& counter : stats.Group(group)->counters)
        if (counter.name == name)
            return counter.count;
    return 0;
}

class StatsFeeds : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = global;
        global = new GLOBAL();
        pthread_mutex_init(&global->mutex, nullptr);
        globalstats_init();
        rule_ = userstats_init();
        request_.host = host_;
        response_.mime_type = mime_;
        connection_.request = &request_;
        connection_.response = &response_;
        connection_.client_ip = ip_;
        connection_.user_stats = rule_;
    }
    void TearDown() override {
        connection_.request = nullptr;
        connection_.response = nullptr;
        request_.host = nullptr;
        response_.mime_type = nullptr;
        rule_->Delete();
        delete rule_;
        global->stats.Delete(); // the process's object has its one holder
        delete global;
        global = saved_;
    }

    GLOBAL* saved_ = nullptr;
    Stats* rule_ = nullptr;
    char host_[32] = "www.example.org";
    char mime_[32] = "text/html";
    char ip_[32] = "127.0.0.9";
    HEADER request_;
    HEADER response_;
    CONNECTION_T connection_{};
};

TEST_F(StatsFeeds, GlobalObjectHoldsItsElevenGroups) {
    std::vector<std::string> groups;
    for (const StatGroup& group : global->stats.groups)
        groups.push_back(group.name);
    EXPECT_EQ(groups, (std::vector<std::string>{"system", "requests", "network", "DNS cache",
                                                 "cache", "cache refresh", "connection pool",
                                                 "hosts", "mimes", "users", "ip addresses"}));
    EXPECT_EQ(names(global->stats, "system"),
              (std::vector<std::string>{"user time", "system time", "memory resident",
                                        "memory size", "memory shared", "minor pagefaults",
                                        "major pagefaults"}));
    EXPECT_EQ(names(global->stats, "network"),
              (std::vector<std::string>{"successful connections", "failed connections",
                                        "DNS failures", "bytes in", "bytes out"}));
    for (const char* group : {"DNS cache", "cache", "cache refresh", "connection pool"}) {
        EXPECT_EQ(global->stats.Group(group)->type, STAT_PERCENT) << group;
        EXPECT_EQ(names(global->stats, group), (std::vector<std::string>{"hit", "miss"}));
    }
    for (const char* group : {"hosts", "mimes", "users", "ip addresses"}) {
        EXPECT_EQ(global->stats.Group(group)->limit, STAT_LIMIT) << group;
        EXPECT_EQ(global->stats.Group(group)->prune_mode, STAT_PRUNE_OLDEST);
    }

    // The process figures show: CPU times as hours to hundredths, memory
    // as sizes (the process has some), page faults as numbers.
    pthread_mutex_lock(&global->mutex);
    global->utime.sec = 3725;
    global->utime.usec = 500000;
    global->minflt = 5000000000ull; // beyond 32 bits
    pthread_mutex_unlock(&global->mutex);
    char* user = stat_usertime();
    EXPECT_STREQ(user, "01:02:05.50");
    free(user);
    EXPECT_EQ(stat_minflt(), 5000000000ull);
    EXPECT_GT(stat_resident(), 0u);
    Filebuf page;
    global->stats.Display(&page);
    std::string shown(page.data, page.size);
    EXPECT_NE(shown.find("01:02:05.50"), std::string::npos) << shown;
    EXPECT_NE(shown.find("5000000000"), std::string::npos) << shown;
}

TEST_F(StatsFeeds, FeedsCountGloballyAndForTheRule) {
    statincr_httprequests(&connection_);
    statincr_httprequests(&connection_);
    statincr_ftprequests(&connection_);
    statincr_connectrequests(&connection_);
    statincr_hosts(&connection_);
    statincr_mimes(&connection_);
    statincr_cachehit(&connection_);
    statincr_cachehit(&connection_);
    // A failed revalidation: the hit becomes a miss.
    statdecr_cachehit(&connection_);
    statincr_cachemiss(&connection_);
    statincr_cacherefreshmiss(&connection_);
    statincr_cacherefreshhit(&connection_);
    statincr_ipaddresses(&connection_);
    for (Stats* stats : {&global->stats, rule_}) {
        SCOPED_TRACE(stats == rule_ ? "rule" : "global");
        EXPECT_EQ(count_of(*stats, "requests", "HTTP requests"), 2u);
        EXPECT_EQ(count_of(*stats, "requests", "FTP requests"), 1u);
        EXPECT_EQ(count_of(*stats, "requests", "CONNECT requests"), 1u);
        EXPECT_EQ(names(*stats, "hosts"), (std::vector<std::string>{"www.example.org"}));
        EXPECT_EQ(names(*stats, "mimes"), (std::vector<std::string>{"text/html"}));
        EXPECT_EQ(count_of(*stats, "cache", "hit"), 1u);
        EXPECT_EQ(count_of(*stats, "cache", "miss"), 1u);
        EXPECT_EQ(stats->Group("cache")->total, 2u);
        EXPECT_EQ(count_of(*stats, "cache refresh", "hit"), 1u);
        EXPECT_EQ(count_of(*stats, "cache refresh", "miss"), 1u);
    }
    // Client addresses only globally; the rule has no such group.
    EXPECT_EQ(names(global->stats, "ip addresses"), (std::vector<std::string>{"127.0.0.9"}));
    EXPECT_EQ(rule_->Group("ip addresses"), nullptr);

    // Without a rule object only the global one counts.
    connection_.user_stats = nullptr;
    statincr_connectrequests(&connection_);
    EXPECT_EQ(count_of(global->stats, "requests", "CONNECT requests"), 2u);
    EXPECT_EQ(count_of(*rule_, "requests", "CONNECT requests"), 1u);
}

TEST_F(StatsFeeds, NamedFeedsSkipMissingNamesAndPruneTheOldestHost) {
    response_.mime_type = nullptr;
    statincr_mimes(&connection_);
    host_[0] = '\0';
    statincr_hosts(&connection_);
    EXPECT_TRUE(global->stats.Group("mimes")->counters.empty());
    EXPECT_TRUE(global->stats.Group("hosts")->counters.empty());

    for (int i = 0; i < 100; i++) {
        snprintf(host_, sizeof host_, "host%d.example", i);
        statincr_hosts(&connection_);
    }
    std::vector<std::string> held = names(*rule_, "hosts");
    ASSERT_EQ(held.size(), 99u);
    EXPECT_EQ(held.front(), "host1.example"); // host0, counted first, went
    EXPECT_EQ(names(global->stats, "hosts"), held);
}

TEST(ProcessFigures, StatmIsReadAtFullWidthInFileOrder) {
    statm_t figures = {};
    // Page counts of a large process: beyond 32 bits once in bytes.
    ASSERT_TRUE(statm_parse("2000000 1500000 30000 400 0 1200000 0\n", 4096, &figures));
    EXPECT_EQ(figures.size, 2000000ull * 4096);
    EXPECT_EQ(figures.resident, 1500000ull * 4096);
    EXPECT_EQ(figures.share, 30000ull * 4096);
    EXPECT_EQ(figures.text, 400ull * 4096);
    EXPECT_EQ(figures.lib, 0u);
    EXPECT_EQ(figures.data, 1200000ull * 4096);
    EXPECT_FALSE(statm_parse("1 2 3 4 5 6\n", 4096, &figures));
    EXPECT_FALSE(statm_parse("", 4096, &figures));

    ASSERT_TRUE(statm_load(&figures, 1));
    EXPECT_GT(figures.size, 0u);
    EXPECT_GE(figures.size, figures.resident);
}

} // namespace
