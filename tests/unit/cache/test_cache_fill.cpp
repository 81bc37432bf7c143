// Filling and following objects: how mappings grow, what finishes or kills
// an object, and readers that follow an object another request writes.
#include <gtest/gtest.h>

#include <poll.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "cache/cache.h"
#include "config/general.h"
#include "http/header_io.h"
#include "net/connection.h"
#include "net/socket.h"
#include "support/cache_test_support.h"

using cachetest::CacheTest;
using cachetest::response;

namespace {

const std::string URL = "http://origin.test:80/file";

std::string pattern(size_t n) {
    std::string text(n, '\0');
    for (size_t i = 0; i < n; i++)
        text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return text;
}

// Reads from the descriptor until `want` bytes came or the peer closed (or
// stayed silent for 10 s).
std::string read_all(int fd, size_t want) {
    std::string got;
    char piece[65536];
    while (got.size() < want) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, 10000) != 1)
            break;
        ssize_t n = read(fd, piece, sizeof piece);
        if (n <= 0)
            break;
        got.append(piece, static_cast<size_t>(n));
    }
    return got;
}

class CacheFillTest : public CacheTest {
protected:
    // A second request following the object, with a client socket pair.
    sectiontest::Connection reader{"GET http://origin.test/file HTTP/1.1\r\nHost: origin.test\r\n\r\n"};

    void SetUp() override {
        CacheTest::SetUp();
        reader.attach_client();
        reader->client_keepalive = 1;
    }

    // Appends the text in pieces of `piece` bytes, pausing between them.
    void trickle(CACHEMAP* object, const std::string& text, size_t piece, int pause_ms) {
        for (size_t at = 0; at < text.size(); at += piece) {
            size_t n = std::min(piece, text.size() - at);
            ASSERT_EQ(cache->add(object, text.data() + at, static_cast<unsigned>(n)), 0);
            if (pause_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        }
    }
};

TEST_F(CacheFillTest, MappingIsSizedByTheAnnouncedLength) {
    // A 300-byte header text announcing 100000 bytes: one mapping for all.
    std::string filler(300 - response("Content-Length: 100000\r\nX-Fill: \r\n").size(), 'f');
    std::string header = response("Content-Length: 100000\r\nX-Fill: " + filler + "\r\n");
    ASSERT_EQ(header.size(), 300u);
    CACHEMAP* object = create(URL, header);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->maplen, 100300u);
    char* first = object->addr;
    trickle(object, pattern(100000), 8192, 0);
    EXPECT_EQ(object->addr, first);
    EXPECT_EQ(object->maplen, 100300u);
    cache->cache_close(object, true);
    EXPECT_EQ(object->size, 100300u);

    // Without a length the mapping grows in 64 KiB steps and is cut to the
    // stored bytes at the end.
    std::string plain = response();
    CACHEMAP* grown = create(URL + "2", plain);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown->maplen, 65536u);
    std::string body = pattern(70000 - plain.size());
    ASSERT_EQ(cache->add(grown, body.data(), 65536 - static_cast<unsigned>(plain.size())), 0);
    EXPECT_EQ(grown->maplen, 65536u);
    ASSERT_EQ(cache->add(grown, body.data() + 65536 - plain.size(),
                         static_cast<unsigned>(body.size() - (65536 - plain.size()))),
              0);
    EXPECT_EQ(grown->maplen, 131072u);
    cache->cache_close(grown, true);
    EXPECT_EQ(grown->maplen, 70000u);
    CACHEMAP* again = lookup(URL + "2");
    ASSERT_EQ(again, grown);
    EXPECT_EQ(body_of(again), body);
    EXPECT_EQ(cache->get_cachemap_size(again), body.size());
    cache->cache_close(again, false);
}

TEST_F(CacheFillTest, SizeLimitsOfFinishedAndGrowingObjects) {
    configure("<min_size>100</min_size><max_size>1000</max_size>");
    loglevel |= LOG_DEBUG;
    std::string header = response();
    ASSERT_TRUE(store(URL + "small", header, std::string(99 - header.size(), 's')));
    EXPECT_EQ(cache->exists((URL + "small").c_str()), 0);
    EXPECT_TRUE(logged("cache: file size: 99 less than minsize: 100"));
    ASSERT_TRUE(store(URL + "enough", header, std::string(100 - header.size(), 's')));
    EXPECT_EQ(cache->exists((URL + "enough").c_str()), 1);

    // Growing past the maximum kills the object at the add that passes it;
    // later adds fail too, and the writer's close frees it.
    CACHEMAP* object = create(URL, header);
    ASSERT_NE(object, nullptr);
    std::string body(1000 - header.size(), 'b');
    EXPECT_EQ(cache->add(object, body.data(), static_cast<unsigned>(body.size())), 0);
    EXPECT_EQ(cache->add(object, "x", 1), -1);
    EXPECT_TRUE(cache->flag_get(object) & CACHE_INVALID);
    EXPECT_FALSE(cache->flag_get(object) & CACHE_WRITING);
    EXPECT_EQ(cache->add(object, "y", 1), -1);
    EXPECT_EQ(lookup(URL), nullptr);
    cache->cache_close(object, true);
    EXPECT_EQ(cache->exists(URL.c_str()), 0);
    EXPECT_TRUE(logged("cache: invalidating object: file size: 1001 exceeds maxsize: 1000"));
}

TEST_F(CacheFillTest, HugeAnnouncedLengthFailsThatObjectOnly) {
    // No size limit: an announced length beyond what the cache may hold is
    // not reserved; the object grows with what really arrives.
    configure("<max_size>0</max_size>");
    CACHEMAP* object = create(URL, response("Content-Length: 1152921504606846976\r\n"),
                              CACHE_WRITING | CACHE_FORCE);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->maplen, 65536u);
    EXPECT_EQ(cache->add(object, "abc", 3), 0);
    cache->invalidate(object);

    // A believable length that the process cannot map: that object dies,
    // the process and the other objects go on.
    ASSERT_TRUE(store(URL + "other", response(), "still here"));
    configure("<memory_size>4G</memory_size><max_size>0</max_size>");
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &limit), 0);
    FILE* status = fopen("/proc/self/status", "r");
    ASSERT_NE(status, nullptr);
    char line[256];
    unsigned long long kib = 0;
    while (fgets(line, sizeof line, status) != nullptr)
        if (sscanf(line, "VmSize: %llu kB", &kib) == 1)
            break;
    fclose(status);
    ASSERT_GT(kib, 0u);
    struct rlimit tight = limit;
    tight.rlim_cur = (kib + 64 * 1024) * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    CACHEMAP* unmappable = create(URL, response("Content-Length: 1073741824\r\n"));
    setrlimit(RLIMIT_AS, &limit);
    ASSERT_NE(unmappable, nullptr);
    EXPECT_TRUE(cache->flag_get(unmappable) & CACHE_INVALID);
    EXPECT_EQ(cache->add(unmappable, "abc", 3), -1);
    cache->cache_close(unmappable, true);
    EXPECT_EQ(cache->exists(URL.c_str()), 0);
    EXPECT_TRUE(logged("in resize, cache: unable to create memory map"));
    CACHEMAP* other = lookup(URL + "other");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(body_of(other), "still here");
    cache->cache_close(other, false);
}

TEST_F(CacheFillTest, FollowerGetsEveryByteOnceAndInOrder) {
    std::string body = pattern(200000);
    CACHEMAP* object = create(URL, response("Content-Length: 200000\r\n"));
    ASSERT_NE(object, nullptr);
    CACHEMAP* followed = lookup(URL);
    ASSERT_EQ(followed, object);

    std::string received;
    std::thread client([&] { received = read_all(reader.peer, body.size()); });
    int64_t sent = -1;
    std::thread follower([&] { sent = cache->send(followed, reader.get(), SIDE_CLIENT); });
    trickle(object, body, 7000, 2);
    cache->cache_close(object, true);
    follower.join();
    client.join();
    EXPECT_EQ(sent, 200000);
    EXPECT_TRUE(received == body) << received.size() << " bytes received";
    EXPECT_EQ(reader->client_keepalive, 1);
    // A buffered reader of the finished object gets the same bytes.
    EXPECT_TRUE(body_of(followed) == body);
    cache->cache_close(followed, false);
}

TEST_F(CacheFillTest, HeaderGoesOutBeforeTheBody) {
    // Small and large finished bodies, and a body still being written.
    for (size_t size : {size_t(10), size_t(100000)}) {
        SCOPED_TRACE(size);
        std::string body = pattern(size);
        std::string url = URL + std::to_string(size);
        ASSERT_TRUE(store(url, response(), body));
        CACHEMAP* object = lookup(url);
        ASSERT_NE(object, nullptr);
        Filebuf head;
        head.Add("HEAD\r\n\r\n", 8);
        std::string received;
        std::thread client([&] { received = read_all(reader.peer, 8 + size); });
        EXPECT_EQ(cache->send(object, reader.get(), SIDE_CLIENT, &head), static_cast<int64_t>(size));
        client.join();
        EXPECT_TRUE(received == "HEAD\r\n\r\n" + body);
        cache->cache_close(object, false);
    }
    CACHEMAP* object = create(URL, response());
    CACHEMAP* followed = lookup(URL);
    Filebuf head;
    head.Add("HEAD\r\n\r\n", 8);
    std::string received;
    std::thread client([&] { received = read_all(reader.peer, 13); });
    int64_t sent = -1;
    std::thread follower([&] { sent = cache->send(followed, reader.get(), SIDE_CLIENT, &head); });
    ASSERT_EQ(cache->add(object, "later", 5), 0);
    cache->cache_close(object, true);
    follower.join();
    client.join();
    EXPECT_EQ(sent, 5);
    EXPECT_EQ(received, "HEAD\r\n\r\nlater");
    cache->cache_close(followed, false);
}

TEST_F(CacheFillTest, FollowerOfAnObjectWithoutBodyYetWaitsForIt) {
    CACHEMAP* object = create(URL, response());
    CACHEMAP* followed = lookup(URL);
    ASSERT_EQ(followed, object);
    std::string received;
    std::thread client([&] { received = read_all(reader.peer, 5); });
    int64_t sent = -1;
    std::thread follower([&] { sent = cache->send(followed, reader.get(), SIDE_CLIENT); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(cache->add(object, "late!", 5), 0);
    cache->cache_close(object, true);
    follower.join();
    client.join();
    EXPECT_EQ(sent, 5);
    EXPECT_EQ(received, "late!");
    cache->cache_close(followed, false);
}

TEST_F(CacheFillTest, SlowFollowerNeverHoldsTheCacheWhileWriting) {
    // The follower's client reads nothing at first: its socket fills up.
    // The writer and every other cache operation go on all the same.
    std::string body = pattern(4 * 1024 * 1024);
    CACHEMAP* object = create(URL, response("Content-Length: 4194304\r\n"));
    CACHEMAP* followed = lookup(URL);
    ASSERT_EQ(followed, object);
    int64_t sent = -1;
    std::thread follower([&] { sent = cache->send(followed, reader.get(), SIDE_CLIENT); });
    auto begin = std::chrono::steady_clock::now();
    trickle(object, body, 65536, 0);
    EXPECT_EQ(cache->exists(URL.c_str()), 1);
    cache->cache_close(object, true);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    std::string received = read_all(reader.peer, body.size());
    follower.join();
    EXPECT_EQ(sent, static_cast<int64_t>(body.size()));
    EXPECT_TRUE(received == body) << received.size() << " bytes received";
    cache->cache_close(followed, false);
}

TEST_F(CacheFillTest, FailedWriterEndsItsFollowersShort) {
    configure("<max_size>5000</max_size>");
    std::string header = response("Content-Length: 4000\r\n");
    CACHEMAP* object = create(URL, header);
    CACHEMAP* followed = lookup(URL);
    ASSERT_EQ(followed, object);
    std::string received;
    std::thread client([&] { received = read_all(reader.peer, 4000); });
    int64_t sent = -1;
    std::thread follower([&] { sent = cache->send(followed, reader.get(), SIDE_CLIENT); });
    ASSERT_EQ(cache->add(object, "first part", 10), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The writer's transfer breaks off.
    cache->invalidate(object);
    follower.join();
    shutdown(reader->client->fd, SHUT_WR);
    client.join();
    EXPECT_EQ(sent, 10);
    EXPECT_EQ(received, "first part");
    EXPECT_EQ(reader->client_keepalive, 0); // the client sees the body end short
    EXPECT_EQ(cache->read_filebuf(followed), nullptr);
    cache->cache_close(followed, false);
    EXPECT_EQ(cache->exists(URL.c_str()), 0);
}

TEST_F(CacheFillTest, FollowerWhoseClientLeavesKeepsTheObject) {
    std::string body = pattern(3 * 1024 * 1024);
    CACHEMAP* object = create(URL, response("Content-Length: 3145728\r\n"));
    CACHEMAP* followed = lookup(URL);
    ASSERT_EQ(followed, object);
    close(reader.peer);
    reader.peer = -1;
    int64_t sent = -1;
    std::thread follower([&] { sent = cache->send(followed, reader.get(), SIDE_CLIENT); });
    trickle(object, body, 65536, 0);
    follower.join();
    cache->cache_close(object, true);
    EXPECT_LT(sent, static_cast<int64_t>(body.size()));
    EXPECT_EQ(reader->client_keepalive, 0);
    cache->cache_close(followed, false);
    CACHEMAP* later = lookup(URL);
    ASSERT_NE(later, nullptr);
    EXPECT_TRUE(body_of(later) == body);
    cache->cache_close(later, false);
}

TEST_F(CacheFillTest, SilentWriterCostsTheFollowerABoundedWait) {
    general_section = new GeneralSection();
    sectiontest::load(
        *general_section,
        "<general><poolsize>1</poolsize><pooltimeout>1</pooltimeout><general>" +
            sectiontest::elements({{"enabled", "true"}, {"comment", "t"}, {"groups", ""},
                                   {"profiles", ""}, {"connecttimeout", "1"}, {"timeout", "1"},
                                   {"keepalivetimeout", "1"}, {"maxdownloadbuffer", "0"},
                                   {"maxuploadbuffer", "0"}, {"bufferwait", "0"},
                                   {"connectports", ""}, {"compressmime", ""},
                                   {"compressout", "false"}, {"compressin", "false"},
                                   {"xforwardedfor", "false"}, {"via", "false"}}) +
            "</general></general>");
    CACHEMAP* object = create(URL, response("Content-Length: 100\r\n"));
    ASSERT_EQ(cache->add(object, "some", 4), 0);
    CACHEMAP* followed = lookup(URL);
    auto begin = std::chrono::steady_clock::now();
    int64_t sent = cache->send(followed, reader.get(), SIDE_CLIENT);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_EQ(sent, 4);
    EXPECT_EQ(reader->client_keepalive, 0);
    cache->cache_close(followed, false);
    cache->invalidate(object);
    general_section = nullptr;
}

TEST_F(CacheFillTest, DownloadingPageTellsTheProgress) {
    CACHEMAP* object = create(URL, response("Content-Length: 1000\r\n"));
    ASSERT_EQ(cache->add(object, "0123456789", 10), 0);
    cache->send_status(reader.get(), object);
    EXPECT_EQ(reader->variables["TRANSFERRED"], "10");
    EXPECT_EQ(reader->variables["SIZE"], "1000");
    EXPECT_EQ(reader->variables["MTIME"], std::to_string(cachetest::now_value));
    cache->invalidate(object);
}

} // namespace
