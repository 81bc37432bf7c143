// Cleaning of the memory cache: within its size and object count, oldest
// access first, never touching what somebody holds, at most once per clean
// interval.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "core/log.h"
#include "support/cache_test_support.h"

using cachetest::CacheTest;
using cachetest::now_value;
using cachetest::response;
using cachetest::store_entry;
using cachetest::StoreTest;

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

TEST_F(CacheCleanTest, AFreeExtraAboveTheMemorySizeEmptiesMemory) {
    // The target is below zero: everything unheld goes, and the state says
    // memory is still above its target while anything is left (here the
    // sixth object, held by its writer while it asked for the cleaning).
    configure("<memory_size>50K</memory_size><memory_free_extra>60K</memory_free_extra>");
    fill(0, 6, 10000);
    EXPECT_TRUE(logged("cleaning triggered"));
    EXPECT_EQ(cache->mem_objects, 1);
    EXPECT_EQ(kept(6), 1);
    EXPECT_EQ(cache->exists(url_of(5).c_str()), 1);
    EXPECT_EQ(cache->clean_state, CLEAN_STATE_UNDERSIZED);
}

TEST_F(CacheCleanTest, ForcedCleaningFlushesWhatNobodyHolds) {
    fill(0, 3, 1000);
    CACHEMAP* held = lookup(url_of(1));
    ASSERT_NE(held, nullptr);
    loglevel |= LOG_DEBUG; // its lines are debugging lines
    cache->force_clean();
    EXPECT_TRUE(logged("cache: flushing 104729 objects from the memory"));
    EXPECT_TRUE(logged("cache: flushed " + url_of(0) + " from memory"));
    EXPECT_FALSE(logged("cache: flushed " + url_of(1) + " from memory"));
    EXPECT_EQ(kept(3), 1);
    EXPECT_EQ(cache->exists(url_of(1).c_str()), 1);
    EXPECT_EQ(cache->mem_objects, 1);
    cache->cache_close(held, false);
}

class StoreCleanTest : public StoreTest {
protected:
    void fill(int first, int count, size_t body) {
        for (int i = first; i < first + count; i++) {
            ASSERT_TRUE(store(url_of(i), response(), std::string(body, 'x'))) << i;
            now_value += 1;
        }
    }
    // Bytes and number of the object files in the store, as du counts them.
    std::pair<uint64_t, int> files_on_disk() {
        uint64_t bytes = 0;
        int files = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(store_dir)) {
            if (!entry.is_regular_file() || entry.path().parent_path() == store_dir)
                continue; // the journal
            bytes += entry.file_size();
            files++;
        }
        return {bytes, files};
    }
};

TEST_F(StoreCleanTest, AStoreOverItsLimitComesBackBelowItOldestFirst) {
    configure_stores(store_entry(store_dir, "100K", "20K"));
    fill(0, 10, 10000);
    EXPECT_FALSE(logged("cleaning triggered"));
    CACHEMAP* held = lookup(url_of(0)); // the oldest, but held
    ASSERT_NE(held, nullptr);
    fill(10, 1, 10000); // 110 KB: over the limit
    EXPECT_TRUE(logged("cleaning triggered"));
    Store* store = first_store();
    EXPECT_EQ(store->clean_target, 100u * 1024 - 20u * 1024);
    EXPECT_LE(store->bytes, store->clean_target);
    EXPECT_FALSE(store->diskfull);
    EXPECT_EQ(cache->exists(url_of(0).c_str()), 1);
    EXPECT_EQ(cache->exists(url_of(1).c_str()), 0);
    EXPECT_EQ(cache->exists(url_of(10).c_str()), 1);
    EXPECT_EQ(cache->exists(url_of(9).c_str()), 1);
    cache->cache_close(held, false);
    // Once the unlink thread is through, the disk holds what the store
    // counts.
    unlink_all();
    std::pair<uint64_t, int> disk = files_on_disk();
    EXPECT_EQ(disk.first, store->bytes);
    EXPECT_EQ(disk.second, store->entries);
    EXPECT_TRUE(log_contains("after cleaning: disk store: " + store_dir + ", entries: " +
                             std::to_string(store->entries) + " entries, bytes: " +
                             std::to_string(store->bytes)));

    // Over the limit again within the interval: one warning, then silence.
    fill(11, 3, 10000);
    EXPECT_TRUE(log_contains("cache: disk store " + store_dir +
                             " is underdimensioned, please consider increasing it"));
    std::string log_before = logtest::read_file(log_path);
    fill(14, 1, 10000);
    EXPECT_EQ(logtest::read_file(log_path), log_before);
}

TEST_F(StoreCleanTest, StoreTargetsNeverWrapAndAFullDiskGetsRoom) {
    struct Case {
        const char* name;
        uint64_t bytes;
        const char* limit;
        const char* extra;
        bool full;
        uint64_t target;
    } cases[] = {
        {"over its limit", 150000000, "100000000", "20000000", false, 80000000},
        {"over, small free extra", 150000000, "100000000", "5000000", false, 95000000},
        {"full below its limit", 50000000, "100000000", "5000000", true, 45000000},
        {"free extra above the usage", 3000000, "2000000", "5000000", false, 0},
        {"within its limit", 50000000, "100000000", "5000000", false, 100000000},
    };
    for (const Case& c : cases) {
        configure_stores(store_entry(store_dir, c.limit, c.extra));
        Store* store = first_store();
        store->bytes = c.bytes;
        store->diskfull = c.full;
        cache->stores_clean_begin();
        EXPECT_EQ(store->clean_target, c.target) << c.name;
    }
}

} // namespace
