// Disk stores: file names, the choice of a store, objects that survive a
// restart, files that do not match their journal, MD5 texts, keys that no
// journal line can hold, and a disk that refuses the bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "auth/md5.h"
#include "cache/cache.h"
#include "cache/store.h"
#include "core/hash.h"
#include "support/cache_test_support.h"

using cachetest::response;
using cachetest::store_entry;
using cachetest::StoreTest;

namespace {

const std::string URL = "http://origin.test:80/object";

std::string body_bytes(size_t n, int seed = 0) {
    std::string text(n, '\0');
    for (size_t i = 0; i < n; i++)
        text[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 7 + i / 253) % 256);
    return text;
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

class StoreFileTest : public StoreTest {};

TEST_F(StoreFileTest, OneKeyNamesTheSameFileInEveryStore) {
    std::string second = dir + "/second";
    configure_stores(store_entry(store_dir) + store_entry(second));
    for (const std::string& key : {URL, std::string("http://other.test:8080/a?b=c")}) {
        char digest[MD5_TEXT_SIZE];
        md5_string(key.c_str(), digest);
        char sub[3];
        snprintf(sub, sizeof sub, "%.2x", hash_key(256, key.c_str()));
        EXPECT_EQ(file_of(key, cache->stores.front()), store_dir + "/" + sub + "/" + digest);
        EXPECT_EQ(file_of(key, cache->stores.back()), second + "/" + sub + "/" + digest);
    }
}

TEST_F(StoreFileTest, StoreChoiceFollowsThePolicy) {
    const uint64_t GiB = 1ull << 30;
    struct Case {
        const char* name;
        int policy;
        uint64_t used[2];
        uint64_t limits[2];
        int chosen; // -1: memory only
    } cases[] = {
        {"least bytes", 0, {5 * GiB, 6 * GiB}, {100 * GiB, 100 * GiB}, 0},
        {"least bytes, second", 0, {6 * GiB, 5 * GiB}, {100 * GiB, 100 * GiB}, 1},
        {"equal percentages: the first", 1, {50 * GiB, 5 * GiB}, {100 * GiB, 10 * GiB}, 0},
        {"lower percentage", 1, {50 * GiB, 4 * GiB}, {100 * GiB, 10 * GiB}, 1},
        {"unknown policy", 2, {0, 0}, {GiB, GiB}, -1},
    };
    for (const Case& c : cases) {
        std::string second = dir + "/second";
        configure_stores(store_entry(store_dir, std::to_string(c.limits[0])) +
                             store_entry(second, std::to_string(c.limits[1])),
                         "<store_policy>" + std::to_string(c.policy) + "</store_policy>");
        Store* stores[2] = {cache->stores.front(), cache->stores.back()};
        stores[0]->bytes = c.used[0];
        stores[1]->bytes = c.used[1];
        CACHEMAP* object = create(URL + c.name);
        ASSERT_NE(object, nullptr) << c.name;
        EXPECT_EQ(object->store, c.chosen < 0 ? nullptr : stores[c.chosen]) << c.name;
        cache->invalidate(object);
    }
}

TEST_F(StoreFileTest, StoresWithoutLimitDirectoryOrMatchingProfileAreNeverChosen) {
    std::string other = dir + "/other";
    struct Case {
        const char* name;
        std::string entries;
    } cases[] = {
        {"limit 0", store_entry(store_dir, "0")},
        {"no directory", store_entry("")},
        {"disabled", store_entry(store_dir, "1M", "0", false, "", false)},
        {"other profile", store_entry(store_dir, "1M", "0", false, "staff")},
    };
    for (const Case& c : cases) {
        configure_stores(c.entries);
        CACHEMAP* object = create(URL);
        ASSERT_NE(object, nullptr) << c.name;
        EXPECT_EQ(object->store, nullptr) << c.name;
        cache->invalidate(object);
    }
    // A disabled store's journal is not read either.
    configure_stores(store_entry(store_dir, "1M", "0", false, "", false));
    EXPECT_FALSE(logged("reading journal: " + store_dir));
}

TEST_F(StoreFileTest, FinishedObjectsComeBackAfterARestart) {
    std::string body = body_bytes(100000);
    std::string header = response("Content-Length: 100000\r\nCache-Control: max-age=600\r\n");
    ASSERT_TRUE(store(URL, header, body));
    ASSERT_TRUE(store(URL + "2", response(), "small"));
    // The file holds exactly the stored bytes, with the object's times.
    std::string path = file_of(URL);
    EXPECT_EQ(logtest::read_file(path), header + body);
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mtime, cachetest::now_value);
    EXPECT_EQ(first_store()->entries, 2);
    EXPECT_EQ(first_store()->bytes, header.size() + body.size() + response().size() + 5);

    cachetest::now_value += 100;
    restart_stores();
    EXPECT_TRUE(logged("reading journal: " + store_dir + "/journal"));
    EXPECT_EQ(first_store()->entries, 2);
    EXPECT_EQ(first_store()->bytes, header.size() + body.size() + response().size() + 5);
    // The rewritten journal holds one line per object.
    EXPECT_EQ(logtest::split_lines(journal()).size(), 2u);
    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(body_of(object), body);
    EXPECT_EQ(object->mtime, cachetest::now_value - 100);
    EXPECT_EQ(cache->get_cachemap_size(object), body.size());
    cache->cache_close(object, false);
}

TEST_F(StoreFileTest, UnfinishedInvalidAndTemporaryObjectsGoAtTheNextStart) {
    CACHEMAP* unfinished = create(URL + "/unfinished");
    ASSERT_NE(unfinished, nullptr);
    ASSERT_EQ(cache->add(unfinished, "partial", 7), 0);
    ASSERT_TRUE(store(URL + "/dead", response(), "dead"));
    CACHEMAP* dead = lookup(URL + "/dead");
    ASSERT_NE(dead, nullptr);
    cache->cache_close(dead, false);
    CACHEMAP* temporary = create(URL + "/temporary", response(),
                                 CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
    ASSERT_NE(temporary, nullptr);
    cache->cache_close(temporary, true);
    ASSERT_TRUE(store(URL + "/kept", response(), "kept"));
    // The invalid one is freed at once; its file waits in the queue.
    CACHEMAP* held = lookup(URL + "/dead");
    ASSERT_NE(held, nullptr);
    cache->invalidate(held);
    std::string files[] = {file_of(URL + "/unfinished"), file_of(URL + "/dead"),
                           file_of(URL + "/temporary")};

    // The process stops without deleting anything (a crash).
    cache->unlink_queue.clear();
    restart_stores();
    unlink_all();
    for (const std::string& file : files)
        EXPECT_FALSE(logtest::exists(file)) << file;
    EXPECT_EQ(cache->exists((URL + "/unfinished").c_str()), 0);
    EXPECT_EQ(cache->exists((URL + "/dead").c_str()), 0);
    EXPECT_EQ(cache->exists((URL + "/temporary").c_str()), 0);
    EXPECT_EQ(cache->exists((URL + "/kept").c_str()), 1);
    EXPECT_EQ(first_store()->entries, 1);
    EXPECT_EQ(first_store()->bytes, response().size() + 4);
}

TEST_F(StoreFileTest, AFileThatIsNotTheJournalledObjectIsNeverServed) {
    std::string header = response("Content-Length: 5000\r\n");
    std::string body = body_bytes(5000);
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"cut in the header", header.substr(0, 20)},
        {"cut in the body", header + body.substr(0, 4000)},
        {"grown", header + body + "tail"},
    };
    for (const Case& c : cases) {
        std::string url = URL + "/" + c.name;
        ASSERT_TRUE(store(url, header, body)) << c.name;
        // Unmapped, as after a restart or a cleaning.
        restart_stores();
        write_file(file_of(url), c.bytes);
        EXPECT_EQ(lookup(url), nullptr) << c.name;
        EXPECT_TRUE(logged("cache: file meta information didn't match journaled data")) << c.name;
        EXPECT_EQ(cache->exists(url.c_str()), 0) << c.name;
        // The store's counts lost the object.
        EXPECT_EQ(first_store()->entries, 0) << c.name;
        EXPECT_EQ(first_store()->bytes, 0u) << c.name;
        unlink_all();
    }
}

TEST_F(StoreFileTest, Md5TextsAreVerifiedWhateverTheirFirstDigit) {
    configure_stores(store_entry(store_dir, "100M", "0", true));
    // Bodies whose digest begins with '0', and with another digit.
    for (char first : {'0', 'a'}) {
        std::string body;
        char digest[MD5_TEXT_SIZE];
        std::string url = URL + "/" + first;
        for (int seed = 0;; seed++) {
            body = body_bytes(3000, seed);
            std::string image = response() + body;
            md5_context context;
            unsigned char raw[MD5_DIGEST_BYTES];
            ASSERT_EQ(md5_starts(&context), 0);
            md5_update(&context, image.data(), image.size());
            md5_finish(&context, raw);
            snprintf(digest, sizeof digest, "%02x", raw[0]);
            if (digest[0] == first)
                break;
        }
        ASSERT_TRUE(store(url, response(), body));
        CACHEMAP* object = lookup(url);
        ASSERT_NE(object, nullptr);
        std::string recorded = object->md5;
        EXPECT_EQ(recorded[0], first);
        EXPECT_EQ(recorded.size(), 32u);
        cache->cache_close(object, false);
        // Unchanged bytes pass again.
        object = lookup(url);
        ASSERT_NE(object, nullptr);
        cache->cache_close(object, false);
        // One byte of the file changes: the next lookup refuses it.
        std::string path = file_of(url);
        int fd = open(path.c_str(), O_WRONLY);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(pwrite(fd, "#", 1, static_cast<off_t>(response().size() + 10)), 1);
        close(fd);
        EXPECT_EQ(lookup(url), nullptr) << first;
        EXPECT_TRUE(log_contains("cache: md5 check: mismatch, expected: [" + recorded + "]"));
        EXPECT_EQ(cache->exists(url.c_str()), 0) << first;
    }
}

TEST_F(StoreFileTest, KeysNoJournalLineCanHoldStayInMemory) {
    for (const std::string& url : {URL + "/tab\there", URL + "/line\nfeed", URL + "/cr\rhere",
                                   URL + "/" + std::string(5000, 'x')}) {
        CACHEMAP* object = create(url);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->store, nullptr);
        ASSERT_EQ(cache->add(object, "body", 4), 0);
        cache->cache_close(object, true);
    }
    EXPECT_EQ(first_store()->entries, 0);
    EXPECT_EQ(journal().find("tab"), std::string::npos);
}

TEST_F(StoreFileTest, ADiskThatRefusesTheBytesFailsThatObjectOnly) {
    // A file-size limit below the object: the reservation fails.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 200000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    CACHEMAP* big = create(URL + "/big", response("Content-Length: 300000\r\n"));
    bool created = big != nullptr;
    int added = created ? cache->add(big, body_bytes(1000).data(), 1000) : 0;
    setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_TRUE(created);
    EXPECT_EQ(added, -1);
    EXPECT_TRUE(log_contains("[system: posix_fallocate:27:"));
    cache->invalidate(big);
    unlink_all();
    EXPECT_FALSE(logtest::exists(file_of(URL + "/big")));
    // The cache goes on storing what fits.
    ASSERT_TRUE(store(URL + "/small", response(), "fits"));
    CACHEMAP* small_object = lookup(URL + "/small");
    ASSERT_NE(small_object, nullptr);
    EXPECT_EQ(body_of(small_object), "fits");
    cache->cache_close(small_object, false);
    EXPECT_EQ(first_store()->entries, 1);
}

TEST_F(StoreFileTest, AStoreDirectoryThatCannotHoldFilesLeavesObjectsInMemory) {
    // A plain file where the store directory should be.
    write_file(store_dir + "-file", "x");
    configure_stores(store_entry(store_dir + "-file"));
    ASSERT_TRUE(store(URL, response(), "memory"));
    EXPECT_TRUE(logged("cache: failed to create cache directory structure in store: " + store_dir +
                       "-file"));
    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->store, nullptr);
    EXPECT_EQ(body_of(object), "memory");
    cache->cache_close(object, false);
}

TEST_F(StoreFileTest, AnUpdateKeepsHeldObjectsInMemoryAndReadsTheRestBack) {
    ASSERT_TRUE(store(URL + "/held", response(), "held"));
    ASSERT_TRUE(store(URL + "/free", response(), "free"));
    CACHEMAP* held = lookup(URL + "/held");
    ASSERT_NE(held, nullptr);
    configure_stores(store_xml); // a web edit of the section
    EXPECT_EQ(held->store, nullptr);
    EXPECT_EQ(body_of(held), "held");
    cache->cache_close(held, false);
    CACHEMAP* free_object = lookup(URL + "/free");
    ASSERT_NE(free_object, nullptr);
    EXPECT_EQ(free_object->store, first_store());
    EXPECT_EQ(body_of(free_object), "free");
    cache->cache_close(free_object, false);
    EXPECT_EQ(first_store()->entries, 1);
}

} // namespace
