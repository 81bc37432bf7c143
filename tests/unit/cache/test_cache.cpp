// The object table: lookup and creation, references, replacement and
// invalidation, and what a stored header keeps.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "cache/cache.h"
#include "net/connection.h"
#include "support/cache_test_support.h"

using cachetest::CacheTest;
using cachetest::now_value;
using cachetest::response;

namespace {

const std::string URL = "http://origin.test:80/page";

TEST_F(CacheTest, StoredObjectIsFoundWithItsHeaderAndBody) {
    std::string header = response("Content-Length: 5\r\nCache-Control: max-age=60\r\n");
    ASSERT_TRUE(store(URL, header, "hello"));
    EXPECT_EQ(cache->exists(URL.c_str()), 1);
    EXPECT_EQ(cache->exists("http://origin.test:80/other"), 0);

    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    char* text = cache->cachemap_headers(object);
    EXPECT_EQ(std::string(text), header);
    free(text);
    EXPECT_EQ(cache->get_cachemap_size(object), 5u);
    EXPECT_EQ(body_of(object), "hello");
    EXPECT_EQ(cache->flag_get(object) & (CACHE_MEM | CACHE_WRITING | CACHE_INVALID), CACHE_MEM);
    EXPECT_EQ(cache->get_mtime(object), now_value);
    cache->cache_close(object, false);
    EXPECT_EQ(cache->mem_objects, 1);
    EXPECT_EQ(cache->mem_bytes, header.size() + 5);
    EXPECT_EQ(performance_log->get_cache_mmaps_created(), 1u);

    // A key is the text as given: case matters.
    EXPECT_EQ(lookup("http://origin.test:80/PAGE"), nullptr);
}

TEST_F(CacheTest, CreationRefusals) {
    struct Case {
        const char* name;
        std::string globals;
        std::string rules;
        std::string header;
        int flags;
        unsigned connection_flags;
        bool created;
    } cases[] = {
        {"disabled cache", "<enabled>false</enabled>", cachetest::refresh_rule(), response(),
         CACHE_WRITING, 0, false},
        {"parent chosen by CARP", "", cachetest::refresh_rule(), response(), CACHE_WRITING,
         CONN_CARP, false},
        {"rule not cacheable", "", cachetest::refresh_rule(86400, 3600, 10, 0, false), response(),
         CACHE_WRITING, 0, false},
        {"rule not cacheable, forced", "", cachetest::refresh_rule(86400, 3600, 10, 0, false),
         response(), CACHE_WRITING | CACHE_FORCE, 0, false},
        {"length above the maximum", "<max_size>999</max_size>", cachetest::refresh_rule(),
         response("Content-Length: 1000\r\n"), CACHE_WRITING, 0, false},
        {"length at the maximum", "<max_size>1000</max_size>", cachetest::refresh_rule(),
         response("Content-Length: 1000\r\n"), CACHE_WRITING, 0, true},
        {"length above the maximum, forced", "<max_size>999</max_size>", cachetest::refresh_rule(),
         response("Content-Length: 1000\r\n"), CACHE_WRITING | CACHE_FORCE, 0, true},
        {"not a response", "", cachetest::refresh_rule(), "", CACHE_WRITING, 0, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure(c.globals, c.rules);
        conn->flags = c.connection_flags;
        std::string url = URL + std::to_string(n++);
        CACHEMAP* object = create(url, c.header, c.flags);
        EXPECT_EQ(object != nullptr, c.created);
        if (object != nullptr)
            cache->cache_close(object, true);
        EXPECT_EQ(cache->exists(url.c_str()), c.created ? 1 : 0);
    }
    EXPECT_TRUE(logged("debug: refresh: uncachable: " + URL + "2"));
}

TEST_F(CacheTest, ReferencesDecideReplacementAndInvalidation) {
    ASSERT_TRUE(store(URL, response(), "old"));
    CACHEMAP* reader = lookup(URL);
    ASSERT_NE(reader, nullptr);
    // A referenced object is not replaced.
    EXPECT_EQ(create(URL), nullptr);
    cache->cache_close(reader, false);

    // An unreferenced one is.
    // (The new object may sit where the old one did: the allocator hands a
    // block just freed back out. What tells them apart is its state.)
    CACHEMAP* writer = create(URL);
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(cache->flag_get(writer) & CACHE_WRITING);
    EXPECT_FALSE(cache->flag_get(writer) & CACHE_INVALID);
    EXPECT_TRUE(logged("debug: recreating file"));
    ASSERT_EQ(cache->add(writer, "new", 3), 0);

    // While it is written a lookup returns it to follow; a writing open is
    // refused. The writer alone counts 1 and is then marked dead.
    CACHEMAP* follower = lookup(URL);
    ASSERT_EQ(follower, writer);
    EXPECT_EQ(create(URL), nullptr);
    EXPECT_EQ(cache->refcount(writer), 2);
    EXPECT_FALSE(cache->flag_get(writer) & CACHE_INVALID);
    cache->cache_close(follower, false);
    EXPECT_TRUE(cache->flag_get(writer) & CACHE_WRITING); // a reader's close changes nothing else
    EXPECT_EQ(cache->refcount(writer), 1);
    EXPECT_TRUE(cache->flag_get(writer) & CACHE_INVALID);

    // A dead object is never returned, nor replaced, until its last holder
    // lets go; then it is gone.
    EXPECT_EQ(lookup(URL), nullptr);
    EXPECT_EQ(create(URL), nullptr);
    cache->cache_close(writer, true);
    EXPECT_EQ(cache->exists(URL.c_str()), 0);
    EXPECT_EQ(cache->mem_objects, 0);
    EXPECT_EQ(cache->mem_bytes, 0u);
    EXPECT_EQ(performance_log->get_cache_mmaps_deleted(), 2u);
}

TEST_F(CacheTest, InvalidationWithOtherHoldersWaitsForTheLast) {
    ASSERT_TRUE(store(URL, response(), "body"));
    CACHEMAP* first = lookup(URL);
    CACHEMAP* second = lookup(URL);
    ASSERT_EQ(first, second);
    cache->invalidate(first);
    EXPECT_EQ(cache->exists(URL.c_str()), 1);
    EXPECT_EQ(body_of(second), "body"); // the holder still reads its copy
    cache->cache_close(second, false);
    EXPECT_EQ(cache->exists(URL.c_str()), 0);
}

TEST_F(CacheTest, PrefetchedObjectIsKeptForItsWindow) {
    CACHEMAP* object = create(URL, response(), CACHE_WRITING | CACHE_PREFETCHED);
    ASSERT_NE(object, nullptr);
    cache->cache_close(object, true);
    now_value += 60;
    EXPECT_EQ(create(URL), nullptr);
    EXPECT_TRUE(logged("debug: attempted to recreate cached file within prefetch window"));
    now_value += 1;
    CACHEMAP* replaced = create(URL);
    ASSERT_NE(replaced, nullptr);
    EXPECT_FALSE(cache->flag_get(replaced) & CACHE_PREFETCHED);
    cache->cache_close(replaced, true);
}

TEST_F(CacheTest, TemporaryObjectLivesSixtySeconds) {
    CACHEMAP* object = create(URL, response(), CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
    ASSERT_NE(object, nullptr);
    cache->cache_close(object, true);
    now_value += 60;
    CACHEMAP* found = lookup(URL);
    ASSERT_NE(found, nullptr);
    cache->cache_close(found, false);
    // Its stored time moved with the finishing close, not with the lookup.
    now_value += 1;
    EXPECT_EQ(lookup(URL), nullptr);
    EXPECT_EQ(cache->exists(URL.c_str()), 0);
}

TEST_F(CacheTest, ObjectStoredAgainstNoCacheIsForOfflineLookups) {
    ASSERT_TRUE(store(URL, response("Cache-Control: no-cache\r\n"), "kept anyway"));
    EXPECT_EQ(lookup(URL), nullptr);
    CACHEMAP* offline = lookup(URL, CACHE_OFFLINE);
    ASSERT_NE(offline, nullptr);
    EXPECT_EQ(cache->flag_get(offline) & (CACHE_VIOLATION | CACHE_EXPIRED),
              CACHE_VIOLATION | CACHE_EXPIRED);
    cache->cache_close(offline, false);

    configure("<serve_violations>true</serve_violations>");
    CACHEMAP* served = lookup(URL);
    ASSERT_NE(served, nullptr);
    cache->cache_close(served, false);
}

TEST_F(CacheTest, StoredHeaderKeepsNoCookieForOtherClients) {
    std::string header = "HTTP/1.1 200 OK\r\nSet-Cookie: session=alice\r\nContent-Type: "
                         "text/plain\r\nset-cookie2: other=1;\r\n  continued=2\r\nX-Kept: "
                         "yes\r\n\r\n";
    ASSERT_TRUE(store(URL, header, "body"));
    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    char* text = cache->cachemap_headers(object);
    EXPECT_EQ(std::string(text),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Kept: yes\r\n\r\n");
    free(text);
    EXPECT_EQ(body_of(object), "body");
    cache->cache_close(object, false);
}

TEST_F(CacheTest, FlagNames) {
    CACHEMAP* object = cachemap_new(true);
    object->flags |= CACHE_DISK;
    char* text = cache->flag_string(object);
    EXPECT_STREQ(text, "CACHE_DISK");
    free(text);
    object->flags = CACHE_WRITING | CACHE_MEM | CACHE_FORCE;
    text = cache->flag_string(object);
    EXPECT_STREQ(text, "CACHE_WRITING, CACHE_MEM, CACHE_FORCE");
    free(text);
    object->flags = 0;
    text = cache->flag_string(object);
    EXPECT_STREQ(text, "");
    free(text);
    free(object);
}

TEST_F(CacheTest, RevalidationMovesTheStoredTime) {
    ASSERT_TRUE(store(URL, response("Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\n"), "x"));
    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(cache->get_lmtime(object), 1700000000 - 0); // that date is the clock's start
    cache->flag_set(object, CACHE_VALIDATE);
    now_value += 500;
    cache->validated(object);
    EXPECT_FALSE(cache->flag_get(object) & CACHE_VALIDATE);
    EXPECT_EQ(cache->get_mtime(object), now_value);
    cache->cache_close(object, false);
}

} // namespace
