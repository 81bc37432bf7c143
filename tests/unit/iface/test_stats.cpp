// Statistics: adding, counting, pruning and showing groups of counters, and
// the per-rule object's groups.
#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/filebuf.h"
#include "iface/stats.h"

namespace {

// A statistics object with holder count 1, deleted the way its last holder
// deletes it.
struct StatsPtr {
    Stats* stats = new Stats();
    ~StatsPtr() {
        stats->Delete();
        delete stats;
    }
    Stats* operator->() { return stats; }
};

std::string shown(const Stats& stats) {
    Filebuf page;
    stats.Display(&page);
    return std::string(page.data != nullptr ? page.data : "", page.size);
}

std::vector<std::string> names(Stats& stats, const std::string& group) {
    std::vector<std::string> list;
    for (const StatCounter& counter : stats.Group(group)->counters)
        list.push_back(counter.name);
    return list;
}

uint64_t fixed_number() {
    return 3ull << 32;
}

char* fixed_text() {
    return strdup("01:02:05.50");
}

} // namespace

TEST(StatsTest, AddingCountersAndFlagsThatDoNotFit) {
    StatsPtr stats;
    stats->AddGroup("g", STAT_PLAIN);
    stats->AddGroup("g", STAT_PERCENT); // exists: nothing changes
    ASSERT_EQ(stats->groups.size(), 1u);
    EXPECT_EQ(stats->groups.front().type, STAT_PLAIN);

    EXPECT_TRUE(stats->AddCounter("g", "a", STAT_COUNT));
    EXPECT_EQ(stats->Increment("g", "a", 5), 5u);
    EXPECT_FALSE(stats->AddCounter("g", "a", STAT_SIZE)); // keeps its count and flags
    EXPECT_EQ(stats->Group("g")->counters.front().count, 5u);
    EXPECT_EQ(stats->Group("g")->counters.front().flags, STAT_COUNT);

    EXPECT_FALSE(stats->AddCounter("g", "n", fixed_number, STAT_STRING));
    EXPECT_FALSE(stats->AddCounter("g", "s", fixed_text, STAT_COUNT));
    EXPECT_TRUE(stats->AddCounter("g", "n", fixed_number, STAT_COUNT));
    EXPECT_TRUE(stats->AddCounter("g", "s", fixed_text, STAT_STRING));
    EXPECT_EQ(stats->Group("g")->counters.back().flags, STAT_STRING | STAT_CALLBACK);
    EXPECT_EQ(names(*stats.stats, "g"), (std::vector<std::string>{"a", "n", "s"}));

    // Names are compared byte for byte; unknown names are ignored.
    EXPECT_FALSE(stats->AddCounter("G", "x", STAT_COUNT));
    EXPECT_EQ(stats->Increment("g", "A"), 0u);
    EXPECT_EQ(stats->Increment("nogroup", "a"), 0u);
    EXPECT_EQ(stats->Group("g")->total, 5u);
}

TEST(StatsTest, CountsAreSixtyFourBitAndWrap) {
    StatsPtr stats;
    stats->AddGroup("network", STAT_PLAIN);
    stats->AddCounter("network", "bytes in", STAT_SIZE);
    stats->AddCounter("network", "count", STAT_COUNT);
    stats->Increment("network", "bytes in", 5ull << 30);
    stats->Increment("network", "count", 4294967295ull);
    EXPECT_EQ(stats->Increment("network", "count"), 4294967296ull);
    EXPECT_EQ(stats->Decrement("network", "count", 4294967297ull), UINT64_MAX);
    std::string page = shown(*stats.stats);
    EXPECT_NE(page.find("<td width=\"40%\">bytes in</td><td>5.0 GB</td>"), std::string::npos)
        << page;
    EXPECT_NE(page.find("<td width=\"40%\">count</td><td>18446744073709551615</td>"),
              std::string::npos)
        << page;
}

TEST(StatsTest, PruningKeepsOneLessThanTheLimit) {
    StatsPtr stats;
    stats->AddGroup("hosts", STAT_PERCENT);
    stats->Limit("hosts", 100, STAT_PRUNE_OLDEST);
    for (int i = 0; i < 150; i++) {
        std::string host = "host" + std::to_string(i);
        stats->AddCounter("hosts", host, STAT_COUNT);
        stats->Increment("hosts", host);
    }
    std::vector<std::string> kept = names(*stats.stats, "hosts");
    ASSERT_EQ(kept.size(), 99u);
    EXPECT_EQ(kept.front(), "host51");
    // The total keeps what the dropped counters held.
    EXPECT_EQ(stats->Group("hosts")->total, 150u);
    // A dropped name is no longer counted; a kept one is.
    EXPECT_EQ(stats->Increment("hosts", "host50"), 0u);
    EXPECT_EQ(stats->Increment("hosts", "host51"), 2u);

    StatsPtr one;
    one->AddGroup("g", STAT_PLAIN);
    one->Limit("g", 1, STAT_PRUNE_OLDEST);
    one->AddCounter("g", "a", STAT_COUNT);
    one->AddCounter("g", "b", STAT_COUNT);
    EXPECT_EQ(names(*one.stats, "g"), (std::vector<std::string>{"b"}));
}

TEST(StatsTest, PruningChoosesTheOldestOrTheSmallestFirstAddedAmongEquals) {
    struct Case {
        int mode;
        std::vector<std::pair<std::string, int>> increments; // in time order
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        // "a" was updated last, "b" earliest: "b" goes.
        {STAT_PRUNE_OLDEST, {{"b", 1}, {"c", 1}, {"a", 1}}, {"a", "c", "new"}},
        // Smallest count: "c" (1) goes.
        {STAT_PRUNE_SMALLEST, {{"a", 3}, {"b", 2}, {"c", 1}}, {"a", "b", "new"}},
        // Equal counts: the one added first goes.
        {STAT_PRUNE_SMALLEST, {{"c", 1}, {"b", 1}, {"a", 1}}, {"b", "c", "new"}},
    };
    for (const Case& c : cases) {
        StatsPtr stats;
        stats->AddGroup("g", STAT_PERCENT);
        stats->Limit("g", 4, c.mode);
        for (const char* name : {"a", "b", "c"})
            stats->AddCounter("g", name, STAT_COUNT);
        for (const auto& step : c.increments) {
            stats->Increment("g", step.first, static_cast<uint64_t>(step.second));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        stats->AddCounter("g", "new", STAT_COUNT);
        EXPECT_EQ(names(*stats.stats, "g"), c.kept) << c.mode;
        // Lookups follow the pruning: only the kept names are counted.
        for (const char* name : {"a", "b", "c", "new"}) {
            bool kept = std::find(c.kept.begin(), c.kept.end(), name) != c.kept.end();
            EXPECT_EQ(stats->Increment("g", name) != 0, kept) << c.mode << " " << name;
        }
    }
}

TEST(StatsTest, DisplayRowsSharesAndEscaping) {
    StatsPtr stats;
    stats->AddGroup("<g>", STAT_PERCENT);
    stats->AddCounter("<g>", "a<b", STAT_COUNT);
    stats->AddCounter("<g>", "c", STAT_COUNT);
    stats->Increment("<g>", "a<b", 1);
    stats->Increment("<g>", "c", 2);
    stats->AddGroup("empty", STAT_PERCENT);
    stats->AddCounter("empty", "x", STAT_COUNT);
    stats->AddGroup("plain", STAT_PLAIN);
    stats->AddCounter("plain", "time", fixed_text, STAT_STRING);
    stats->AddCounter("plain", "big", fixed_number, STAT_COUNT);
    EXPECT_EQ(shown(*stats.stats),
              "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
              "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\"><g></td></tr>\n"
              "<tr class=\"listeven\"><td width=\"40%\">a&lt;b</td><td>1 (33%)</td></tr>\n"
              "<tr class=\"listodd\"><td width=\"40%\">c</td><td>2 (66%)</td></tr>\n"
              "</table></td></tr> <tr><td><br></td></tr>\n"
              "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
              "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">empty</td></tr>\n"
              "<tr class=\"listeven\"><td width=\"40%\">x</td><td>0 (0%)</td></tr>\n"
              "</table></td></tr> <tr><td><br></td></tr>\n"
              "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
              "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">plain</td></tr>\n"
              "<tr class=\"listeven\"><td width=\"40%\">time</td><td>01:02:05.50</td></tr>\n"
              "<tr class=\"listodd\"><td width=\"40%\">big</td><td>12884901888</td></tr>\n"
              "</table></td></tr> <tr><td><br></td></tr>\n");
    StatsPtr none;
    EXPECT_EQ(shown(*none.stats), "");
}

TEST(StatsTest, ConcurrentCountingLosesNothing) {
    StatsPtr stats;
    stats->AddGroup("hosts", STAT_PERCENT);
    stats->Limit("hosts", 10, STAT_PRUNE_OLDEST);
    stats->AddGroup("requests", STAT_PLAIN);
    stats->AddCounter("requests", "HTTP requests", STAT_COUNT);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&stats, t] {
            for (int i = 0; i < 2000; i++) {
                stats.stats->Increment("requests", "HTTP requests");
                std::string host = "h" + std::to_string((t * 7 + i) % 25);
                stats.stats->AddCounter("hosts", host, STAT_COUNT);
                stats.stats->Increment("hosts", host);
                if (i % 100 == 0)
                    shown(*stats.stats);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(stats->Group("requests")->counters.front().count, 16000u);
    EXPECT_LE(stats->Group("hosts")->counters.size(), 9u);
}

TEST(StatsTest, NamesAreViewsThatNeedNoTerminatingNul) {
    StatsPtr stats;
    // Each view is a prefix of a longer text: only its own bytes count.
    const char text[] = "hostswww.example.comXYZ";
    std::string_view group(text, 5);
    std::string_view host(text + 5, 15);
    stats->AddGroup(group, STAT_PERCENT);
    stats->Limit(group, 3, STAT_PRUNE_OLDEST);
    ASSERT_NE(stats->Group("hosts"), nullptr);
    EXPECT_EQ(stats->Group(std::string_view(text, 4)), nullptr);
    EXPECT_EQ(stats->Group(std::string_view(text, 6)), nullptr);

    EXPECT_TRUE(stats->AddCounter(group, host, STAT_COUNT));
    EXPECT_FALSE(stats->AddCounter("hosts", "www.example.com", STAT_COUNT));
    EXPECT_EQ(stats->Increment(group, host, 2), 2u);
    EXPECT_EQ(stats->Increment("hosts", std::string_view(text + 5, 14)), 0u);
    EXPECT_EQ(stats->Decrement("hosts", std::string("www.example.com")), 1u);
    EXPECT_EQ(names(*stats.stats, "hosts"), (std::vector<std::string>{"www.example.com"}));

    // IncrementOrAdd adds an unknown name as a STAT_COUNT counter with a copy
    // of the view's bytes, counts a known one, and in a full group the
    // counter it adds is the one that stays and is counted.
    EXPECT_EQ(stats->IncrementOrAdd(group, std::string_view(text + 5, 3)), 1u);
    EXPECT_EQ(stats->IncrementOrAdd("hosts", "www", 4), 5u);
    EXPECT_EQ(stats->Group("hosts")->counters.back().flags, STAT_COUNT);
    EXPECT_EQ(stats->IncrementOrAdd(group, "other"), 1u);
    EXPECT_EQ(names(*stats.stats, "hosts"), (std::vector<std::string>{"www", "other"}));
    EXPECT_EQ(stats->Group("hosts")->total, 7u);
    EXPECT_EQ(stats->IncrementOrAdd("nogroup", "www"), 0u);
}

TEST(StatsTest, ConcurrentIncrementOrAddLosesNothingWhilePruning) {
    StatsPtr stats;
    stats->AddGroup("hosts", STAT_PERCENT);
    stats->Limit("hosts", 10, STAT_PRUNE_OLDEST);
    std::vector<std::thread> threads;
    std::vector<int> uncounted(8, 0);
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&stats, &uncounted, t] {
            for (int i = 0; i < 2000; i++) {
                std::string host = "h" + std::to_string((t * 7 + i) % 25);
                if (stats.stats->IncrementOrAdd("hosts", host) == 0)
                    uncounted[t]++;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(uncounted, std::vector<int>(8, 0));
    EXPECT_EQ(stats->Group("hosts")->total, 16000u);
    EXPECT_LE(stats->Group("hosts")->counters.size(), 9u);
}

TEST(StatsTest, RuleObjectHoldsItsFiveGroups) {
    Stats* stats = userstats_init();
    EXPECT_EQ(stats->count, 1);
    std::vector<std::string> groups;
    for (const StatGroup& group : stats->groups)
        groups.push_back(group.name);
    EXPECT_EQ(groups, (std::vector<std::string>{"requests", "cache", "cache refresh", "hosts",
                                                 "mimes"}));
    EXPECT_EQ(names(*stats, "requests"),
              (std::vector<std::string>{"HTTP requests", "FTP requests", "CONNECT requests"}));
    EXPECT_EQ(names(*stats, "cache refresh"), (std::vector<std::string>{"hit", "miss"}));
    EXPECT_EQ(stats->Group("cache")->type, STAT_PERCENT);
    EXPECT_EQ(stats->Group("hosts")->limit, 100);
    EXPECT_EQ(stats->Group("mimes")->prune_mode, STAT_PRUNE_OLDEST);
    EXPECT_TRUE(stats->Group("hosts")->counters.empty());
    // Shared by a copy of the rule, freed by its last holder.
    stats->New();
    EXPECT_FALSE(stats->Delete());
    bool last = stats->Delete();
    EXPECT_TRUE(last);
    delete stats;
}
