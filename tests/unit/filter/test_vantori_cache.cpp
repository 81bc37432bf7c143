// The category cache: one record per site, fresh records answer without
// the service, failures are remembered briefly, records expire, the number
// of records is bounded, and lookups hand out copies.
#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "filter/vantori.h"
#include "support/vantori_test_support.h"

using vantoritest::clock_now;
using vantoritest::query_name;
using vantoritest::scores;
using vantoritest::VantoriTest;

namespace {

TEST(VantoriCacheKey, EmptyNameAndCaseShareBucketsAndSimilarNamesSpread) {
    EXPECT_EQ(vantori_cache_key(8111, ""), 0u);
    EXPECT_EQ(vantori_cache_key(8111, "Example.COM"), vantori_cache_key(8111, "example.com"));
    EXPECT_LT(vantori_cache_key(8111, "\xff\xfe\x80"), 8111u);
    // Names that differ only in the order of their characters, as numbered
    // hosts do, must not pile up in a few chains.
    std::vector<int> chain(8111, 0);
    char name[32];
    for (int i = 0; i < 50000; i++) {
        snprintf(name, sizeof name, "www%d.example.com", i);
        chain[vantori_cache_key(8111, name)]++;
    }
    EXPECT_LE(*std::max_element(chain.begin(), chain.end()), 25);
}

class VantoriCacheTest : public VantoriTest {};

TEST_F(VantoriCacheTest, ServiceIsAskedOncePerSiteAndCaseDoesNotMatter) {
    service.scores("example.com", {{"adult", 10}, {"porn", 90}});
    EXPECT_EQ(scores_of("example.com"), scores({{1, 10}, {22, 90}}));
    EXPECT_EQ(scores_of("EXAMPLE.com"), scores({{1, 10}, {22, 90}}));
    ASSERT_EQ(service.asked.size(), 1u);
    EXPECT_EQ(service.asked[0], query_name("example.com"));
    EXPECT_EQ(records_of("example.com"), 1);
    EXPECT_EQ(section->cache->added, 1);
    EXPECT_TRUE(logged("vantori: cache[1]: Added :example.com"));
}

TEST_F(VantoriCacheTest, FailuresAreRememberedBrieflyAndNotWritten) {
    EXPECT_TRUE(scores_of("unknown.test").empty());
    EXPECT_TRUE(scores_of("unknown.test").empty());
    EXPECT_EQ(service.asked_count(), 1u);
    EXPECT_TRUE(logged("vantori: failed to lookup site: unknown.test"));
    EXPECT_EQ(section->cache->added, 0);

    // A site whose MX records name no category fails the same way.
    service.scores("plain.test", {{"mail.plain.test", 10}});
    EXPECT_TRUE(scores_of("plain.test").empty());
    EXPECT_EQ(service.asked_count(), 2u);

    clock_now() += VANTORI_FAILURE_TTL - 1;
    EXPECT_TRUE(scores_of("unknown.test").empty());
    EXPECT_EQ(service.asked_count(), 2u);
    // Once the failure is stale the service is asked again, and its answer
    // replaces the failure in place.
    clock_now() += 1;
    service.scores("unknown.test", {{"news", 3}});
    EXPECT_EQ(scores_of("unknown.test"), scores({{21, 3}}));
    EXPECT_EQ(service.asked_count(), 3u);
    EXPECT_EQ(records_of("unknown.test"), 1);
    EXPECT_EQ(section->cache->added, 1);
}

TEST_F(VantoriCacheTest, ServiceRecordsExpireHintRecordsDoNot) {
    service.scores("example.com", {{"adult", 10}});
    int hint_scores[CATEGORY_SCORES] = {0};
    hint_scores[22] = 100;
    EXPECT_EQ(section->update_vantori_cache("hinted.test", hint_scores, true), 1);
    EXPECT_EQ(scores_of("example.com"), scores({{1, 10}}));

    clock_now() += VANTORI_RECORD_TTL;
    service.scores("example.com", {{"adult", 20}});
    EXPECT_EQ(scores_of("example.com"), scores({{1, 20}}));
    EXPECT_EQ(scores_of("hinted.test"), scores({{22, 100}}));
    EXPECT_EQ(service.asked_count(), 2u);
    EXPECT_EQ(records_of("example.com"), 1);

    // The sweep takes expired records away and counts the change for the
    // cache file; hint records stay.
    clock_now() += VANTORI_RECORD_TTL;
    int64_t before = section->cache->added;
    section->vantori_cache_expire();
    EXPECT_EQ(records_of("example.com"), 0);
    EXPECT_EQ(records_of("hinted.test"), 1);
    EXPECT_EQ(section->cache->added, before + 1);
    EXPECT_EQ(section->cache->records, 0);
}

TEST_F(VantoriCacheTest, FileRecordsNeverDuplicateAndTheFirstWins) {
    int first[CATEGORY_SCORES] = {0}, second[CATEGORY_SCORES] = {0};
    first[3] = 1;
    second[3] = 2;
    EXPECT_EQ(section->update_vantori_cache("site.test", first, true), 1);
    EXPECT_EQ(section->update_vantori_cache("SITE.test", second, false), 0);
    EXPECT_EQ(records_of("site.test"), 1);
    EXPECT_EQ(scores_of("site.test"), scores({{3, 1}}));
    EXPECT_EQ(service.asked_count(), 0u);
    // Records read from files are no change of the cache file.
    EXPECT_EQ(section->cache->added, 0);

    // Removal takes the record away; the next lookup asks the service.
    section->vantori_cache_purge("site.test");
    EXPECT_EQ(records_of("site.test"), 0);
    service.scores("site.test", {{"arts", 5}});
    EXPECT_EQ(scores_of("site.test"), scores({{3, 5}}));
    EXPECT_EQ(service.asked_count(), 1u);
}

TEST_F(VantoriCacheTest, ConcurrentMissesOfOneSiteLeaveOneRecord) {
    service.scores("busy.test", {{"games", 7}});
    // Both threads are inside the query before either inserts.
    pthread_barrier_t both;
    pthread_barrier_init(&both, nullptr, 2);
    service.while_asked = [&both] { pthread_barrier_wait(&both); };
    std::vector<int> got[2];
    std::thread one([&] { got[0] = scores_of("busy.test"); });
    std::thread two([&] { got[1] = scores_of("busy.test"); });
    one.join();
    two.join();
    pthread_barrier_destroy(&both);
    EXPECT_EQ(got[0], scores({{10, 7}}));
    EXPECT_EQ(got[1], scores({{10, 7}}));
    EXPECT_EQ(service.asked_count(), 2u);
    EXPECT_EQ(records_of("busy.test"), 1);
    EXPECT_EQ(section->cache->records, 1);
}

TEST_F(VantoriCacheTest, RecordsThatExpireAreBounded) {
    int none[CATEGORY_SCORES] = {0};
    char name[32];
    for (int64_t i = 0; i < VANTORI_CACHE_RECORDS_MAX; i++) {
        snprintf(name, sizeof name, "s%lld.test", static_cast<long long>(i));
        ASSERT_EQ(section->update_vantori_cache(name, none, false), 1);
    }
    // Full: the answer is used but not kept, and said once.
    service.scores("late.test", {{"jobs", 4}});
    EXPECT_EQ(scores_of("late.test"), scores({{17, 4}}));
    EXPECT_EQ(scores_of("late.test"), scores({{17, 4}}));
    EXPECT_EQ(service.asked_count(), 2u);
    EXPECT_EQ(records_of("late.test"), 0);
    EXPECT_TRUE(logged("vantori: cache holds 100000 records: new sites are not cached"));
    // Hint records are the administrator's and do not count.
    EXPECT_EQ(section->update_vantori_cache("hint.test", none, true), 1);

    // Once the old records are stale, the next newcomer sweeps them away.
    clock_now() += VANTORI_RECORD_TTL;
    EXPECT_EQ(scores_of("late.test"), scores({{17, 4}}));
    EXPECT_EQ(records_of("late.test"), 1);
    EXPECT_EQ(section->cache->records, 1);
}

TEST_F(VantoriCacheTest, StoreCopiesTheHostsScoresIntoTheConnection) {
    service.scores("www.example.com", {{"news", 50}});
    sectiontest::Connection connection("GET http://www.example.com/ HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
    for (int& score : connection->category_scores)
        score = CATEGORY_SCORES_UNSET;
    EXPECT_EQ(section->store_vantori(connection.get()), 1);
    EXPECT_EQ(std::vector<int>(connection->category_scores, connection->category_scores + CATEGORY_SCORES),
              scores({{21, 50}}));

    sectiontest::Connection unknown("GET http://unknown.test/ HTTP/1.1\r\nHost: unknown.test\r\n\r\n");
    for (int& score : unknown->category_scores)
        score = CATEGORY_SCORES_UNSET;
    EXPECT_EQ(section->store_vantori(unknown.get()), 0);
    EXPECT_EQ(unknown->category_scores[0], CATEGORY_SCORES_UNSET);
}

TEST_F(VantoriCacheTest, NamesThatCannotBeAskedAreNotSent) {
    std::string long_site(VANTORI_QUERY_NAME_SIZE, 'a');
    EXPECT_TRUE(scores_of(long_site).empty());
    EXPECT_TRUE(scores_of("").empty());
    EXPECT_EQ(service.asked_count(), 0u);
}

} // namespace
