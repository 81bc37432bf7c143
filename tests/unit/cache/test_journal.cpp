// The journal of a store: its lines, reading them back, rewriting it (its
// threshold, its failures, the deletions it keeps), the unlink queue and
// the shutdown step.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "cache/cache.h"
#include "cache/journal.h"
#include "cache/store.h"
#include "support/cache_test_support.h"

using cachetest::refresh_rule;
using cachetest::response;
using cachetest::store_entry;
using cachetest::StoreTest;

namespace {

const std::string URL = "http://origin.test:80/object";

TEST(JournalLineTest, LinesAreTakenWhole) {
    struct Case {
        const char* text;
        bool taken;
        const char* key;
        uint64_t size;
        bool freshness;
        const char* md5;
    } cases[] = {
        {"384\thttp://a:80/\t120\t1700000000\t1700000001\t1\t2\t3\t4\tabc\n", true, "http://a:80/",
         120, true, "abc"},
        {"384\thttp://a:80/\t120\t1700000000\t1700000001\t1\t2\t3\t4\r\n", true, "http://a:80/", 120,
         true, nullptr},
        {"384\thttp://a:80/\t120\t1700000000\t1700000001\t1\t2\t3", true, "http://a:80/", 120, false,
         nullptr},
        {"384\t\thttp://a:80/\t\t120\t1700000000\t1700000001", true, "http://a:80/", 120, false,
         nullptr},
        {"384\thttp://a:80/\t120\t1700000000", false, nullptr, 0, false, nullptr},
        {"384\thttp://a:80/\t12x\t1700000000\t1700000001", false, nullptr, 0, false, nullptr},
        {"384\thttp://a:80/\t-1\t1700000000\t1700000001", false, nullptr, 0, false, nullptr},
        {"384\thttp://a:80/\t120\t1700000000\t1700000001\t1\t2\t3\t4x\t0", false, nullptr, 0, false,
         nullptr},
        {"384\thttp://a:80/\t99999999999999999999999\t1\t1", false, nullptr, 0, false, nullptr},
        {"\n", false, nullptr, 0, false, nullptr},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        JournalLine line;
        ASSERT_EQ(journal_parse(&text[0], &line), c.taken) << c.text;
        if (!c.taken)
            continue;
        EXPECT_STREQ(line.key, c.key) << c.text;
        EXPECT_EQ(line.flags, 384u) << c.text;
        EXPECT_EQ(line.size, c.size) << c.text;
        EXPECT_EQ(line.mtime, 1700000000u) << c.text;
        EXPECT_EQ(line.has_freshness, c.freshness) << c.text;
        if (c.md5 == nullptr)
            EXPECT_EQ(line.md5, nullptr) << c.text;
        else
            EXPECT_STREQ(line.md5, c.md5) << c.text;
    }
}

TEST(JournalLineTest, FormattedLinesParseBackAndKeysAreChecked) {
    JournalLine line = {CACHE_DISK | CACHE_MEM, "http://a:80/x?y", 12345, 1700000000, 1700000100,
                        true, 60, 86400, 3600, 10, "0123456789abcdef0123456789abcdef"};
    char text[JOURNAL_LINE_MAX];
    size_t length = journal_format(line, text, sizeof text);
    EXPECT_STREQ(text, "384\thttp://a:80/x?y\t12345\t1700000000\t1700000100\t60\t86400\t3600\t10\t"
                       "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(length, strlen(text));
    JournalLine back;
    ASSERT_TRUE(journal_parse(text, &back));
    EXPECT_STREQ(back.key, "http://a:80/x?y");
    EXPECT_EQ(back.atime, 1700000100u);
    EXPECT_EQ(back.maxage, 86400u);
    EXPECT_STREQ(back.md5, "0123456789abcdef0123456789abcdef");
    char small[20];
    EXPECT_EQ(journal_format(line, small, sizeof small), 0u);

    EXPECT_TRUE(journal_key_storable("http://a:80/"));
    EXPECT_FALSE(journal_key_storable(""));
    EXPECT_FALSE(journal_key_storable("http://a:80/\tx"));
    EXPECT_FALSE(journal_key_storable("http://a:80/\nx"));
    EXPECT_FALSE(journal_key_storable(std::string(JOURNAL_KEY_MAX + 1, 'k').c_str()));
}

class JournalTest : public StoreTest {
protected:
    void write_journal(const std::string& text) {
        FILE* file = fopen((store_dir + "/journal").c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs(text.c_str(), file);
        fclose(file);
    }
    CACHEMAP* find(const std::string& url) {
        return cache->find_object_unlocked(cache_chain(url.c_str()), url.c_str());
    }
    size_t journal_lines() {
        size_t count = 0;
        for (const std::string& line : logtest::split_lines(journal()))
            count += line.empty() ? 0 : 1;
        return count;
    }
    int rewrites() {
        std::string log = logtest::read_file(log_path);
        int count = 0;
        for (size_t at = 0; (at = log.find("writing new journal for", at)) != std::string::npos; at++)
            count++;
        return count;
    }
};

TEST_F(JournalTest, AppendedLinesFollowTheRewrittenOnes) {
    ASSERT_TRUE(store(URL, response(), "body"));
    std::string text = journal();
    // The rewrite at start-up left an empty journal; every append begins
    // with its line end: the creation, the completing close.
    ASSERT_EQ(text.substr(0, 1), "\n");
    std::vector<std::string> lines = logtest::split_lines(text.substr(1));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, lines[0].find('\t')),
              std::to_string(CACHE_WRITING | CACHE_DISK | CACHE_CONDVAR));
    EXPECT_EQ(lines[1].substr(0, lines[1].find('\t')),
              std::to_string(CACHE_DISK | CACHE_CONDVAR | CACHE_MEM));
    cachetest::now_value += JOURNAL_REWRITE_GAP;
    restart_stores();
    // Rewritten: one line per object, each ending in its line end.
    text = journal();
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(logtest::split_lines(text).size(), 1u);
}

TEST_F(JournalTest, TheLastLineOfAKeyDecidesAndShortLinesTakeTheRefreshRule) {
    std::string rules = refresh_rule(100, 50, 7, 0, true, "staff") + refresh_rule(900, 300, 20, 5);
    write_journal("384\t" + URL + "/a\t10\t1700000000\t1700000000\t1\t2\t3\t4\t0\n"
                  "\n384\t" + URL + "/a\t20\t1700000500\t1700000600\t1\t2\t3\t4\t0"
                  "\n384\t" + URL + "/b\t30\t1700000000\t1700000000\t1\t2\t3"
                  "\n384\t" + URL + "/torn\t3");
    restart(store_xml, rules);
    CACHEMAP* a = find(URL + "/a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->size, 20u);
    EXPECT_EQ(a->mtime, 1700000500);
    EXPECT_EQ(a->atime, 1700000600);
    EXPECT_EQ(a->maxage, 2);
    EXPECT_EQ(a->flags, static_cast<unsigned>(CACHE_DISK));
    CACHEMAP* b = find(URL + "/b");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->maxage, 900); // the first enabled rule without profiles
    EXPECT_EQ(b->minage, 5);
    EXPECT_EQ(b->lmfactor, 20u);
    EXPECT_EQ(find(URL + "/torn"), nullptr);
    EXPECT_EQ(first_store()->entries, 2);
    EXPECT_EQ(first_store()->bytes, 50u);
}

TEST_F(JournalTest, AJournalMissingItsNameIsReadFromTheNewOne) {
    ASSERT_TRUE(store(URL, response(), "body"));
    // A stop between writing the new journal and renaming it, by an older
    // writer that deleted the journal first.
    ASSERT_EQ(rename((store_dir + "/journal").c_str(), (store_dir + "/journal.new").c_str()), 0);
    restart_stores();
    EXPECT_TRUE(logged("reading journal: " + store_dir + "/journal.new"));
    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(body_of(object), "body");
    cache->cache_close(object, false);
    // Neither: the store's objects are lost, and the log says so.
    unlink((store_dir + "/journal").c_str());
    restart_stores();
    EXPECT_TRUE(logged("cache:  store: " + store_dir +
                       " journal missing, all cached objects have been lost"));
}

TEST_F(JournalTest, TheThresholdRewritesAtMostEveryThirtySeconds) {
    configure_stores("", "<journal_threshold>3</journal_threshold>");
    int at_start = rewrites();
    ASSERT_TRUE(store(URL + "/1", response(), "1")); // two lines
    EXPECT_EQ(first_store()->journal_lines, 2u);
    ASSERT_TRUE(store(URL + "/2", response(), "2")); // the third: too soon after start-up
    EXPECT_EQ(rewrites(), at_start);
    EXPECT_EQ(first_store()->journal_lines, 4u);
    cachetest::now_value += JOURNAL_REWRITE_GAP;
    ASSERT_TRUE(store(URL + "/3", response(), "3")); // the fifth retries and rewrites
    EXPECT_EQ(rewrites(), at_start + 1);
    // The second line of the object came after the rewrite, in a new journal.
    EXPECT_EQ(first_store()->journal_lines, 1u);
    EXPECT_EQ(journal_lines(), 3u + 1u);
}

TEST_F(JournalTest, ARewriteThatFailsKeepsTheOldJournal) {
    // Enough objects for a new journal beyond the file-size limit set
    // below, which still leaves room for the error log.
    off_t limit = file_size(log_path) + 32768;
    int count = 0;
    while (static_cast<off_t>(journal().size()) < 2 * limit + 8192) {
        ASSERT_TRUE(store(URL + "/" + std::to_string(count), response(), "b"));
        count++;
    }
    std::string before = journal();
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = static_cast<rlim_t>(limit);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    cache->mutex_lock();
    first_store()->last_rewrite = 0;
    cache->journal_write(first_store());
    cache->unlock();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(log_contains("failed to write to"));
    EXPECT_TRUE(logged("cache: journal of " + store_dir + " not rewritten, the old one stays in use"));
    EXPECT_EQ(journal(), before);
    EXPECT_FALSE(logtest::exists(store_dir + "/journal.new"));
    // Appends go on into the old journal, and it reads back whole.
    ASSERT_TRUE(store(URL + "/after", response(), "after"));
    restart_stores();
    EXPECT_EQ(first_store()->entries, count + 1);
}

TEST_F(JournalTest, DeletionsPendingAtARewriteAreDoneAfterACrash) {
    ASSERT_TRUE(store(URL, response(), "body"));
    CACHEMAP* object = lookup(URL);
    ASSERT_NE(object, nullptr);
    cache->invalidate(object); // freed; its file waits in the queue
    std::string file = file_of(URL);
    ASSERT_TRUE(logtest::exists(file));
    cache->mutex_lock();
    first_store()->last_rewrite = 0;
    cache->journal_write(first_store());
    cache->unlock();
    cache->unlink_queue.clear(); // the process dies before the unlink thread's turn
    restart_stores();
    unlink_all();
    EXPECT_FALSE(logtest::exists(file));
    EXPECT_EQ(first_store()->entries, 0);
}

TEST_F(JournalTest, OfTwoStoresTheNewerCopyWins) {
    std::string second = dir + "/second";
    configure_stores(store_entry(store_dir) + store_entry(second));
    ASSERT_TRUE(store(URL, response(), "older"));
    Store* first = cache->stores.front();
    ASSERT_EQ(lookup(URL)->store, first);
    // The same object written later into the second store (as after a
    // change of the store list).
    cachetest::now_value += 100;
    std::string line = std::to_string(CACHE_DISK) + "\t" + URL + "\t" +
                       std::to_string(response().size() + 5) + "\t" +
                       std::to_string(cachetest::now_value) + "\t" +
                       std::to_string(cachetest::now_value) + "\t0\t0\t0\t0\t0\n";
    FILE* journal_file = fopen((second + "/journal").c_str(), "w");
    ASSERT_NE(journal_file, nullptr);
    fputs(line.c_str(), journal_file);
    fclose(journal_file);
    restart_stores();
    EXPECT_EQ(find(URL)->store, cache->stores.back());
    EXPECT_EQ(cache->stores.front()->entries, 0);
    EXPECT_EQ(cache->stores.front()->bytes, 0u);
    EXPECT_EQ(cache->stores.back()->entries, 1);
    unlink_all();
    EXPECT_FALSE(logtest::exists(file_of(URL, cache->stores.front())));
}

TEST_F(JournalTest, TheUnlinkQueueDeletesInOrderAndWithdrawsAPath) {
    std::string a = dir + "/a", b = dir + "/b", folder = dir + "/folder";
    for (const std::string& path : {a, b})
        fclose(fopen(path.c_str(), "w"));
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    cache->mutex_lock();
    cache->unlink_list_add(a.c_str());
    cache->unlink_list_add(b.c_str());
    cache->unlink_list_add((dir + "/gone already").c_str());
    cache->unlink_list_add(folder.c_str());
    cache->unlink_list_zap(b.c_str());
    cache->unlock();
    EXPECT_EQ(cache->unlink_count, 3);
    unlink_all();
    EXPECT_FALSE(logtest::exists(a));
    EXPECT_TRUE(logtest::exists(b));
    // A file already gone is no failure; one that cannot be deleted is.
    EXPECT_FALSE(logged("gone already"));
    EXPECT_TRUE(logged("cache: failed to delete file (1 of 1) " + folder));
    EXPECT_EQ(cache->unlink_count, 0);
}

TEST_F(JournalTest, GracefulExitDeletesQueuedFilesAndRewritesOpenJournals) {
    ASSERT_TRUE(store(URL, response(), "kept"));
    ASSERT_TRUE(store(URL + "/gone", response(), "gone"));
    CACHEMAP* gone = lookup(URL + "/gone");
    ASSERT_NE(gone, nullptr);
    cache->invalidate(gone);
    ASSERT_NE(first_store()->journal_fd, -1);
    int at_start = rewrites();
    cache->graceful_exit();
    EXPECT_TRUE(logged("cache: starting graceful exit"));
    EXPECT_TRUE(logged("cache: graceful exit done"));
    EXPECT_FALSE(logtest::exists(file_of(URL + "/gone")));
    EXPECT_EQ(rewrites(), at_start + 1);
    EXPECT_EQ(logtest::split_lines(journal()).size(), 1u);
    EXPECT_EQ(first_store()->journal_fd, -1);
}

TEST_F(JournalTest, GracefulExitWaitsABoundedTimeForABusyCache) {
    ASSERT_TRUE(store(URL, response(), "kept"));
    std::string before = journal();
    // A thread that ended inside the cache's mutex (a fatal state).
    std::thread holder([this] { cache->mutex_lock(); });
    holder.join();
    auto start = std::chrono::steady_clock::now();
    cache->graceful_exit();
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 2.5);
    EXPECT_LT(waited, 10.0);
    EXPECT_TRUE(logged("cache: graceful exit: the cache stayed busy, the journals are left as they are"));
    EXPECT_FALSE(logged("cache: graceful exit done"));
    EXPECT_EQ(journal(), before);
}

} // namespace
