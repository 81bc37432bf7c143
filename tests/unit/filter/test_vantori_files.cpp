// The site-category files: hint files and the cache file read at start,
// the cache file written whole and only when something changed, and the
// host feed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/daemon.h"
#include "core/filebuf.h"
#include "filter/vantori.h"
#include "support/vantori_test_support.h"

using vantoritest::clock_now;
using vantoritest::scores;
using vantoritest::VantoriTest;

namespace {

// "1,2,...,n" from `first` on.
std::string numbers(int n, int first = 1) {
    std::string text;
    for (int i = 0; i < n; i++)
        text += (i > 0 ? "," : "") + std::to_string(first + i);
    return text;
}

std::vector<int> counting(int first) {
    std::vector<int> all;
    for (int i = 0; i < CATEGORY_SCORES; i++)
        all.push_back(first + i);
    return all;
}

class VantoriFilesTest : public VantoriTest {
protected:
    void SetUp() override {
        VantoriTest::SetUp();
        folder = dir + "/categories";
        mkdir(folder.c_str(), 0755);
        load();
    }
    void write(const std::string& name, const std::string& text) {
        configtest::write_file(folder + "/" + name, text);
    }
    std::string cache_file() { return logtest::read_file(folder + "/vantori.cache"); }

    std::string folder;
};

TEST_F(VantoriFilesTest, HintLinesAreReadWhenWholeAndWellFormed) {
    std::string over_long = "long.test\t" + numbers(32) + std::string(3000, ' ') + "\n";
    write("lists.vantori",
          "good.test\t" + numbers(32) + "\n" +
          "short.test\t" + numbers(31) + "\n" +
          "   spaced.test   " + numbers(32, -5) + " trailing words\n" +
          "signs.test\t+1,-2," + numbers(30, 3) + "\n" +
          "blank-before-comma.test\t1 ,2," + numbers(30, 3) + "\n" +
          "word.test\t1,two," + numbers(30, 3) + "\n" +
          "huge.test\t99999999999," + numbers(31) + "\n" +
          "\n" + over_long +
          // Exactly one piece of x, then a rest that reads like a record.
          std::string(2047, 'x') + "\tpiece.test\t" + numbers(32) + "\n" +
          "last.test\t" + numbers(32, 100));
    write("other.vantori.bak", "bak.test\t" + numbers(32) + "\n");
    write(".vantori", "dotfile.test\t" + numbers(32) + "\n");
    mkdir((folder + "/sub.vantori").c_str(), 0755);

    section->vantori_filetocache_insert();
    EXPECT_EQ(scores_of("good.test"), counting(1));
    EXPECT_EQ(scores_of("spaced.test"), counting(-5));
    EXPECT_EQ(scores_of("last.test"), counting(100));
    EXPECT_EQ(scores_of("dotfile.test"), counting(1));
    std::vector<int> signs = counting(1);
    signs[1] = -2;
    EXPECT_EQ(scores_of("signs.test"), signs);
    // All 33 items fit in the first piece of the over-long line.
    EXPECT_EQ(scores_of("long.test"), counting(1));
    EXPECT_EQ(service.asked_count(), 0u);
    for (const char* skipped : {"short.test", "blank-before-comma.test", "word.test", "huge.test",
                                "piece.test", "bak.test"})
        EXPECT_TRUE(scores_of(skipped).empty()) << skipped;
    EXPECT_TRUE(logged("vantori: read from " + folder + "/lists.vantori, records: 5"));
    EXPECT_TRUE(logged("vantori: read from " + folder + "/.vantori, records: 1"));
}

TEST_F(VantoriFilesTest, HintsWinOverTheCacheFileAndAreNeverWrittenBack) {
    write("a.vantori", "both.test\t" + numbers(32, 10) + "\n");
    write("vantori.cache", "\nboth.test\t" + numbers(32, 20) + "\nfile.test\t" + numbers(32, 30));
    section->vantori_filetocache_insert();
    EXPECT_EQ(scores_of("both.test"), counting(10));
    EXPECT_EQ(scores_of("file.test"), counting(30));
    EXPECT_TRUE(logged("vantori: read from " + folder + "/vantori.cache, records: 2"));
    EXPECT_EQ(records_of(""), 0);

    // Nothing changed since the start: no write, no new file left behind.
    std::string before = cache_file();
    section->vantori_dnstofile_insert();
    EXPECT_EQ(cache_file(), before);
    EXPECT_FALSE(logtest::exists(folder + "/vantori.cache.new"));

    // A looked-up site changes the file: the service's and the file's
    // records are written, the hint record is not; the file keeps its size
    // over restarts.
    service.scores("new.test", {{"adult", 10}});
    scores_of("new.test");
    section->vantori_dnstofile_insert();
    std::string written = cache_file();
    EXPECT_EQ(written.find("both.test"), std::string::npos);
    EXPECT_NE(written.find("\nfile.test\t" + numbers(32, 30)), std::string::npos);
    std::string zeros;
    for (int i = 2; i < CATEGORY_SCORES; i++)
        zeros += ",0";
    EXPECT_NE(written.find("\nnew.test\t0,10" + zeros), std::string::npos);
    EXPECT_EQ(written[0], '\n');
    EXPECT_NE(written.back(), '\n');
    EXPECT_EQ(section->cache->added, 0);
    EXPECT_FALSE(logtest::exists(folder + "/vantori.cache.new"));
}

TEST_F(VantoriFilesTest, WrittenFileReadsBackAsTheSameRecords) {
    service.scores("one.test", {{"ads", 1}, {"business", 30}});
    service.scores("two.test", {{"travel", 29}});
    scores_of("one.test");
    scores_of("two.test");
    scores_of("failed.test");
    section->vantori_dnstofile_insert();
    std::string written = cache_file();
    EXPECT_EQ(written.find("failed.test"), std::string::npos);

    // A second process reading the file.
    VANTORI_Section* restarted = new VANTORI_Section();
    vantori_section = restarted;
    sectiontest::load(*restarted, "<vantori><enabled>true</enabled><directory>" + folder +
                                      "</directory></vantori>");
    restarted->vantori_filetocache_insert();
    int got[CATEGORY_SCORES];
    ASSERT_EQ(restarted->vantori_cache_search("one.test", got), 1);
    EXPECT_EQ(std::vector<int>(got, got + CATEGORY_SCORES), scores({{0, 1}, {30, 30}}));
    ASSERT_EQ(restarted->vantori_cache_search("two.test", got), 1);
    EXPECT_EQ(service.asked_count(), 3u);
    EXPECT_EQ(restarted->cache->added, 0);
}

TEST_F(VantoriFilesTest, ChangesDuringAWriteStayCountedAndFailuresKeepTheOldFile) {
    service.scores("one.test", {{"ads", 1}});
    service.scores("two.test", {{"ads", 2}});
    scores_of("one.test");
    Filebuf text;
    int64_t changes = section->cache_file_text(&text);
    EXPECT_EQ(changes, 1);
    scores_of("two.test"); // added while the snapshot is being written
    section->cache_file_written(changes);
    EXPECT_EQ(section->cache->added, 1);

    // The new file cannot be made: the old file stays and the changes stay
    // counted for the next try.
    write("vantori.cache", "\nold.test\t" + numbers(32));
    mkdir((folder + "/vantori.cache.new").c_str(), 0755);
    section->vantori_dnstofile_insert();
    EXPECT_TRUE(logged("vantori: failed to create " + folder + "/vantori.cache.new"));
    EXPECT_EQ(cache_file(), "\nold.test\t" + numbers(32));
    EXPECT_EQ(section->cache->added, 1);

    // A stale new file of an interrupted write is emptied, not appended to.
    rmdir((folder + "/vantori.cache.new").c_str());
    write("vantori.cache.new", std::string(5000, 'z'));
    section->vantori_dnstofile_insert();
    EXPECT_EQ(cache_file().find('z'), std::string::npos);
    EXPECT_NE(cache_file().find("two.test"), std::string::npos);
    EXPECT_EQ(section->cache->added, 0);
}

TEST_F(VantoriFilesTest, DirectoryIsMadeByTheWriterAndNeededByTheLoader) {
    std::string deeper = folder + "/a/b";
    sectiontest::load(*section, "<vantori><enabled>true</enabled><directory>" + deeper +
                                    "</directory></vantori>");
    section->vantori_filetocache_insert();
    EXPECT_TRUE(logged("vantori: hints directory: " + deeper + ", does not exist"));
    service.scores("one.test", {{"ads", 1}});
    scores_of("one.test");
    section->vantori_dnstofile_insert();
    EXPECT_NE(logtest::read_file(deeper + "/vantori.cache").find("one.test"), std::string::npos);

    // No directory configured: nothing is read or written anywhere.
    sectiontest::load(*section, "<vantori><enabled>true</enabled><directory></directory></vantori>");
    scores_of("two.test");
    section->vantori_dnstofile_insert();
    section->vantori_filetocache_insert();
    EXPECT_FALSE(logtest::exists("/vantori.cache.new"));

    // Disabled: neither reads nor writes.
    sectiontest::load(*section, "<vantori><enabled>false</enabled><directory>" + folder +
                                    "</directory></vantori>");
    section->vantori_dnstofile_insert();
    EXPECT_FALSE(logtest::exists(folder + "/vantori.cache"));
}

TEST_F(VantoriFilesTest, FeedAsksForEachUnknownHostOnceAndIsDeleted) {
    int known[CATEGORY_SCORES] = {0};
    section->update_vantori_cache("known.test", known, true);
    std::string feed = dir + "/access.log.vantorifeed";
    snprintf(vantorifeed, sizeof vantorifeed, "%s", feed.c_str());
    configtest::write_file(feed, "\nfirst.test\r\nknown.test\nsecond.test\nfirst.test");
    service.scores("first.test", {{"ads", 1}});
    get_access_log_url();
    EXPECT_EQ(service.asked_count(), 2u);
    EXPECT_EQ(scores_of("first.test"), scores({{0, 1}}));
    EXPECT_FALSE(logtest::exists(feed));
    EXPECT_TRUE(logged("vantori: read from vantorifeed:" + feed + ", records: 4"));

    get_access_log_url();
    EXPECT_TRUE(logged("failed to open vantorifeed: " + feed));
}

} // namespace
