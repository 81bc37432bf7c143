// The performance log: the legend, the record's 63 fields with their deltas,
// and the file (legend once, records appended, failures logged).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/daemon.h"
#include "core/threads.h"
#include "iface/performance.h"
#include "support/log_test_support.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

// The fields of a record (its leading newline checked and dropped).
std::vector<std::string> fields(const std::string& record) {
    EXPECT_FALSE(record.empty());
    EXPECT_EQ(record[0], '\n');
    return split(record.substr(1), ',');
}

// Column n (counting from 1 as the legend does).
const std::string& column(const std::vector<std::string>& record, size_t n) {
    return record.at(n - 1);
}

TEST(PerformanceLegend, HoldsTheSixtyThreeTitles) {
    std::string legend = performance_legend;
    EXPECT_EQ(legend.size(), 1705u);
    ASSERT_EQ(legend.back(), '\n');
    std::vector<std::string> titles = split(legend.substr(0, legend.size() - 1), ',');
    ASSERT_EQ(titles.size(), 63u);
    EXPECT_EQ(titles[0], "Time Stamp (YYYYMMDDhhmmss) ");
    EXPECT_EQ(titles[16], " Bytes in (KBytes) ");
    EXPECT_EQ(titles[29], " Kestrivan Data Memory (KBytes) ");
    EXPECT_EQ(titles[62], " Total Time Delta");
}

class PerformanceRecord : public ::testing::Test {
protected:
    void SetUp() override { threads_init(); }
};

TEST_F(PerformanceRecord, FieldsCountersAndDeltas) {
    // Local time for the stamp, also away from UTC.
    const char* saved_tz = getenv("TZ");
    std::string saved = saved_tz != nullptr ? saved_tz : "";
    setenv("TZ", "America/New_York", 1);
    tzset();

    PerformanceLog log;
    log.set_connections_handled(5);
    log.set_connections_closed(4);
    log.set_requests_completed(7);
    log.set_clients_in_pool(3);
    log.set_connection_pool_size(6);
    log.set_bytes_in(1023);
    log.set_bytes_out(1024);
    log.set_new_connection(5000000000ull); // beyond 32 bits
    log.set_dns_fail(2);
    time_t before = time(nullptr);
    std::vector<std::string> first = fields(log.Build());
    time_t after = time(nullptr);
    ASSERT_EQ(first.size(), 63u);

    char low[16], high[16];
    struct tm local;
    strftime(low, sizeof low, "%Y%m%d%H%M%S", localtime_r(&before, &local));
    strftime(high, sizeof high, "%Y%m%d%H%M%S", localtime_r(&after, &local));
    EXPECT_TRUE(column(first, 1) == low || column(first, 1) == high) << column(first, 1);
    EXPECT_EQ(column(first, 3), "5");
    EXPECT_EQ(column(first, 4), "4");
    EXPECT_EQ(column(first, 5), "7");
    EXPECT_EQ(column(first, 6), "3");
    EXPECT_EQ(column(first, 10), "1"); // the calling (main) thread's slot
    EXPECT_EQ(column(first, 13), "5000000000");
    EXPECT_EQ(column(first, 16), "6");
    EXPECT_EQ(column(first, 17), "0"); // 1023 bytes
    EXPECT_EQ(column(first, 18), "1"); // 1024 bytes
    EXPECT_EQ(column(first, 23), "2");
    EXPECT_GT(std::stoull(column(first, 24)), 0u);
    EXPECT_GT(std::stoull(column(first, 26)), 0u); // the process has memory
    EXPECT_GE(std::stoull(column(first, 26)), std::stoull(column(first, 27)));
    // The first record's deltas are the figures themselves.
    EXPECT_EQ(column(first, 32), "5");
    EXPECT_EQ(column(first, 42), "5000000000");
    EXPECT_EQ(column(first, 47), "1");
    EXPECT_NE(column(first, 53).find('.'), std::string::npos);
    EXPECT_EQ(column(first, 58).size() - column(first, 58).find('.'), 7u); // six decimals

    // Levels may fall: their deltas go negative; counters add up.
    log.set_clients_in_pool(1);
    log.set_connection_pool_size(2);
    log.set_connections_handled(2);
    log.set_bytes_out(2048);
    std::vector<std::string> second = fields(log.Build());
    ASSERT_EQ(second.size(), 63u);
    EXPECT_EQ(column(second, 3), "7");
    EXPECT_EQ(column(second, 32), "2");
    EXPECT_EQ(column(second, 33), "0");
    EXPECT_EQ(column(second, 35), "-2");
    EXPECT_EQ(column(second, 45), "-4");
    EXPECT_EQ(column(second, 47), "2");
    EXPECT_EQ(column(second, 42), "0");
    EXPECT_GE(std::stod(column(second, 61)), 0.0);

    if (saved_tz != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

class PerformanceFile : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        threads_init();
        snprintf(saved_, sizeof saved_, "%s", plogfile);
        path_ = dir + "/performance.log";
        snprintf(plogfile, sizeof plogfile, "%s", path_.c_str());
        plogfd = -1;
    }
    void TearDown() override {
        if (plogfd != -1)
            close(plogfd);
        plogfd = -1;
        snprintf(plogfile, sizeof plogfile, "%s", saved_);
        LogDirTest::TearDown();
    }
    char saved_[512];
    std::string path_;
};

TEST_F(PerformanceFile, NewFileGetsTheLegendThenRecordsAppended) {
    PerformanceLog log;
    log.Write();
    log.set_requests_completed(3);
    log.Write();
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    std::string text = logtest::read_file(path_);
    std::string legend = performance_legend;
    ASSERT_EQ(text.compare(0, legend.size(), legend), 0);
    // An empty line after the legend, then one line per record, the last
    // without a newline.
    std::vector<std::string> lines = split(text.substr(legend.size()), '\n');
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(split(lines[1], ',').size(), 63u);
    EXPECT_EQ(split(lines[2], ',').at(4), "3");
}

TEST_F(PerformanceFile, AFileWithContentGetsNoLegend) {
    {
        FILE* file = fopen(path_.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs("earlier", file);
        fclose(file);
    }
    PerformanceLog log;
    log.Write();
    std::string text = logtest::read_file(path_);
    EXPECT_EQ(text.rfind("earlier\n", 0), 0u);
    EXPECT_EQ(text.find("Time Stamp"), std::string::npos);
    EXPECT_EQ(split(text.substr(8), ',').size(), 63u);
}

TEST_F(PerformanceFile, NoPathWritesNothingAndAnUnopenablePathIsLoggedEachTime) {
    PerformanceLog log;
    plogfile[0] = '\0';
    log.Write();
    EXPECT_EQ(plogfd, -1);
    EXPECT_EQ(logtest::read_file(log_path).find("failed"), std::string::npos);

    std::string missing = dir + "/no/such/dir/performance.log";
    snprintf(plogfile, sizeof plogfile, "%s", missing.c_str());
    log.Write();
    log.Write();
    EXPECT_EQ(plogfd, -1);
    std::string errors = logtest::read_file(log_path);
    size_t first = errors.find("failed to open " + missing);
    ASSERT_NE(first, std::string::npos) << errors;
    EXPECT_NE(errors.find("failed to open " + missing, first + 1), std::string::npos);
}

} // namespace
