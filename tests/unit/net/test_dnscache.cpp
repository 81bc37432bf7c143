// The DNS cache: one resolver call per name while the entry is young,
// failures never stored, literals never touched, purge and cleaning.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include <map>
#include <string>

#include "core/global.h"
#include "core/hash.h"
#include "core/mem.h"
#include "iface/performance.h"
#include "net/dnscache.h"
#include "support/log_test_support.h"

namespace {

// The names the fake resolver knows, and every name it was asked.
std::map<std::string, std::string> known;
std::vector<std::string> asked;

HOSTENT* fake_resolver(const char* name) {
    asked.push_back(name);
    auto found = known.find(name);
    if (found == known.end())
        return NULL;
    HOSTENT* host = static_cast<HOSTENT*>(xmalloc(sizeof(HOSTENT)));
    host->addr = static_cast<char*>(xmalloc(4));
    host->length = 4;
    inet_pton(AF_INET, found->second.c_str(), host->addr);
    return host;
}

std::string text_of(HOSTENT* host) {
    char text[INET_ADDRSTRLEN] = "";
    if (host != NULL)
        inet_ntop(AF_INET, host->addr, text, sizeof text);
    hostent_free(host);
    return text;
}

class DnsCacheTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        loglevel = 0x0FFFFFFF; // debug lines too
        global = new GLOBAL();
        pthread_mutex_init(&global->dnscache_lock, NULL);
        global->dnscache = hash_create(8111);
        performance_log = new PerformanceLog();
        dnscache_resolver = fake_resolver;
        known = {{"www.example.test", "192.0.2.10"}};
        asked.clear();
    }

    HASH_ENTRY* entry(const char* key) { return hash_search(global->dnscache, key); }
    std::string log() { return logtest::read_file(log_path); }
};

TEST_F(DnsCacheTest, NameInCapitalsAndInLowerCaseCostsOneLookup) {
    known["WWW.EXAMPLE.TEST"] = "192.0.2.10";
    EXPECT_EQ(text_of(net_dns("WWW.EXAMPLE.TEST")), "192.0.2.10");
    EXPECT_EQ(text_of(net_dns("www.example.test")), "192.0.2.10");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], "WWW.EXAMPLE.TEST"); // the resolver gets the name as given
    EXPECT_EQ(performance_log->dns_miss.load(), 1u);
    EXPECT_EQ(performance_log->dns_hit.load(), 1u);
    EXPECT_NE(log().find("DNS: cache: insert: www.example.test -> 192.0.2.10"), std::string::npos);
    EXPECT_NE(log().find("DNS: cache: hit: www.example.test -> 192.0.2.10"), std::string::npos);
}

TEST_F(DnsCacheTest, EntryIsUsedAt600SecondsAndReplacedAt601) {
    ASSERT_EQ(text_of(net_dns("www.example.test")), "192.0.2.10");
    ASSERT_NE(entry("www.example.test"), nullptr);

    entry("www.example.test")->stamp = time(NULL) - DNS_CACHE_TIMEOUT;
    EXPECT_EQ(text_of(net_dns("www.example.test")), "192.0.2.10");
    EXPECT_EQ(asked.size(), 1u);

    known["www.example.test"] = "192.0.2.99";
    entry("www.example.test")->stamp = time(NULL) - DNS_CACHE_TIMEOUT - 1;
    EXPECT_EQ(text_of(net_dns("www.example.test")), "192.0.2.99");
    EXPECT_EQ(asked.size(), 2u);
    ASSERT_NE(entry("www.example.test"), nullptr);
    EXPECT_STREQ(static_cast<char*>(entry("www.example.test")->value), "192.0.2.99");
    EXPECT_GE(entry("www.example.test")->stamp, time(NULL) - 5);
}

TEST_F(DnsCacheTest, FailedNameIsAskedAgainAndNeverStored) {
    EXPECT_EQ(net_dns("nothing.invalid"), nullptr);
    EXPECT_EQ(net_dns("Nothing.invalid"), nullptr);
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_EQ(entry("nothing.invalid"), nullptr);
    EXPECT_EQ(performance_log->dns_fail.load(), 2u);
    EXPECT_EQ(logtest::run("grep -c 'error: DNS: failed: nothing.invalid' " + log_path), "2\n");
}

TEST_F(DnsCacheTest, LiteralsBypassResolverCacheAndCounters) {
    EXPECT_EQ(text_of(net_dns("10.1.2.3")), "10.1.2.3");
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(entry("10.1.2.3"), nullptr);
    EXPECT_EQ(performance_log->dns_hit.load() + performance_log->dns_miss.load() +
                  performance_log->dns_fail.load(),
              0u);

    net_dns_purge("10.1.2.3");
    net_dns_purge(NULL);
    net_dns_purge("");
    EXPECT_EQ(log().find("purged dns"), std::string::npos);
}

TEST_F(DnsCacheTest, PurgeRemovesTheNameWhateverItsCase) {
    ASSERT_EQ(text_of(net_dns("www.example.test")), "192.0.2.10");
    net_dns_purge("WWW.Example.Test");
    EXPECT_EQ(entry("www.example.test"), nullptr);
    EXPECT_NE(log().find("purged dns: www.example.test"), std::string::npos);
    EXPECT_EQ(text_of(net_dns("www.example.test")), "192.0.2.10");
    EXPECT_EQ(asked.size(), 2u);
}

TEST_F(DnsCacheTest, CleaningDropsOnlyEntriesOfTheCacheAge) {
    known["young.test"] = "192.0.2.1";
    known["old.test"] = "192.0.2.2";
    hostent_free(net_dns("young.test"));
    hostent_free(net_dns("old.test"));
    entry("young.test")->stamp = time(NULL) - DNS_CACHE_TIMEOUT + 30;
    entry("old.test")->stamp = time(NULL) - DNS_CACHE_TIMEOUT - 1;
    dnscache_clean(NULL);
    EXPECT_NE(entry("young.test"), nullptr);
    EXPECT_EQ(entry("old.test"), nullptr);
}

TEST_F(DnsCacheTest, OverlongNameIsCutForTheKeyOnly) {
    std::string name(600, 'a');
    name += ".test";
    known[name] = "192.0.2.5";
    EXPECT_EQ(text_of(net_dns(name.c_str())), "192.0.2.5");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], name);
    EXPECT_NE(entry(std::string(DNS_CACHE_KEY_MAX, 'a').c_str()), nullptr);
}

TEST_F(DnsCacheTest, WithoutTheProcessTableNamesStillResolve) {
    hash_destroy(global->dnscache);
    global->dnscache = NULL;
    EXPECT_EQ(text_of(net_dns("www.example.test")), "192.0.2.10");
    EXPECT_EQ(text_of(net_dns("www.example.test")), "192.0.2.10");
    EXPECT_EQ(asked.size(), 2u);
}

} // namespace
