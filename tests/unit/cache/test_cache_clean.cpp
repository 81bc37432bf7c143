// Cleaning of the memory cache: within its size and object count, oldest
// access first, never touching what somebody holds, at most once per clean
// interval.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cache/cache.h"
#include "support/cache_test_support.h"

using cachetest::CacheTest;
using cachetest::now_value;
using cachetest::response;

namespace {

std::string url_of(int n) { return "http://origin.test:80/object" + std::to_string(n); }

class CacheCleanTest : public CacheTest {
protected:
    // Stores objects first..first+count-1 of `body` bytes, one second apart.
    void fill(int first, int count, size_t body) {
        for (int i = first; i < first + count; i++) {
            ASSERT_TRUE(store(url_of(i), response(), std::string(body, 'x'))) << i;
            now_value += 1;
        }
    }
    int kept(int count) {
        int n = 0;
        for (int i = 0; i < count; i++)
            n += cache->exists(url_of(i).c_str());
        return n;
    }
};

TEST_F(CacheCleanTest, MemoryOverItsSizeLosesTheOldestObjects) {
    // 100 KiB of memory, 20 KiB freed extra, objects of about 10 KiB.
    configure("<memory_size>100K</memory_size><memory_free_extra>20K</memory_free_extra>");
    fill(0, 10, 10000);
    EXPECT_EQ(kept(10), 10);
    CACHEMAP* held = lookup(url_of(0)); // the oldest, but held
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(store(url_of(10), response(), std::string(10000, 'x')));
    EXPECT_TRUE(logged("cleaning triggered"));
    // Down to 80 KiB: the oldest unheld objects went, the held one stayed.
    EXPECT_LE(cache->mem_bytes, 80u * 1024);
    EXPECT_EQ(cache->exists(url_of(0).c_str()), 1);
    EXPECT_EQ(cache->exists(url_of(1).c_str()), 0);
    EXPECT_EQ(cache->exists(url_of(2).c_str()), 0);
    EXPECT_EQ(cache->exists(url_of(10).c_str()), 1);
    EXPECT_EQ(cache->exists(url_of(9).c_str()), 1);
    EXPECT_EQ(cache->clean_state, CLEAN_STATE_DONE);
    cache->cache_close(held, false);
}

TEST_F(CacheCleanTest, ObjectCountIsKeptDown) {
    // Memory enough for all: the count alone triggers. The cleaning that
    // starts with max_mementries mapped objects leaves 500.
    fill(0, max_mementries - 1, 10);
    EXPECT_EQ(cache->mem_objects, max_mementries - 1);
    EXPECT_FALSE(logged("cleaning triggered"));
    fill(max_mementries - 1, 1, 10); // the 2000th: its first bytes trigger the cleaning
    EXPECT_TRUE(logged("cleaning triggered"));
    EXPECT_EQ(cache->mem_objects, 500);
    // The oldest went; the newest (and the one being written) stayed.
    EXPECT_EQ(cache->exists(url_of(0).c_str()), 0);
    EXPECT_EQ(cache->exists(url_of(1400).c_str()), 0);
    EXPECT_EQ(cache->exists(url_of(1600).c_str()), 1);
    EXPECT_EQ(cache->exists(url_of(max_mementries - 1).c_str()), 1);
}

TEST_F(CacheCleanTest, EarlyRequestsWarnOnceThenStaySilent) {
    configure("<memory_size>30K</memory_size><memory_free_extra>0</memory_free_extra>"
              "<clean_interval>100</clean_interval>");
    fill(0, 4, 10000); // the fourth passes 30 KiB: cleaned at once
    EXPECT_TRUE(logged("cleaning triggered"));
    EXPECT_EQ(cache->clean_state, CLEAN_STATE_DONE);
    // Everything held: memory passes its size again within the interval.
    std::vector<CACHEMAP*> held;
    for (int i = 0; i < 4; i++)
        if (CACHEMAP* object = lookup(url_of(i)))
            held.push_back(object);
    CACHEMAP* big = create(url_of(100));
    ASSERT_NE(big, nullptr);
    std::string body(40000, 'y');
    ASSERT_EQ(cache->add(big, body.data(), static_cast<unsigned>(body.size())), 0);
    EXPECT_EQ(cache->clean_state, CLEAN_STATE_DEFERRED);
    EXPECT_TRUE(logged("can not clean for next 99 seconds"));
    std::string log_before = logtest::read_file(log_path);
    ASSERT_EQ(cache->add(big, "z", 1), 0);
    EXPECT_EQ(logtest::read_file(log_path), log_before);
    // After the interval, with every object held, there is nothing to free.
    now_value += 100;
    ASSERT_EQ(cache->add(big, "z", 1), 0);
    EXPECT_TRUE(logged("cache: no new objects to clean"));
    cache->invalidate(big);
    for (CACHEMAP* object : held)
        cache->cache_close(object, false);
}

TEST_F(CacheCleanTest, TemporaryObjectsGoAfterSixtySeconds) {
    configure("<memory_size>100K</memory_size>");
    CACHEMAP* temporary = create(url_of(50), response(), CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
    ASSERT_NE(temporary, nullptr);
    cache->cache_close(temporary, true);
    now_value += 61;
    fill(0, 11, 10000); // passes 100 KiB: a cleaning
    EXPECT_TRUE(logged("cleaning triggered"));
    EXPECT_EQ(cache->exists(url_of(50).c_str()), 0);
}

} // namespace
