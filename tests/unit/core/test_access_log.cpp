#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/access_log.h"
#include "core/daemon.h"
#include "core/misc_time.h"
#include "support/log_test_support.h"

namespace {

using logtest::file_lines;
using logtest::list_dir;
using logtest::read_file;

std::string legend_native() {
    return access_legend;
}

std::string legend_extended() {
    return apache_legend;
}

TEST(LogEntryCodes, EveryCodeHasItsWordAndUnknownCodesFallBack) {
    const char* cache_words[] = {
        "UNSPECIFIED", "TCP_HIT", "TCP_MISS", "TCP_REFRESH_HIT", "TCP_REF_FAIL_HIT",
        "TCP_REFRESH_MISS", "TCP_CLIENT_REFRESH", "TCP_IMS_HIT", "TCP_IMS_MISS", "TCP_DENIED",
        "UDP_HIT", "UDP_MISS", "UDP_HIT_OBJ", "UDP_DENIED", "UDP_INVALID",
        "UNSPECIFIED", "UNSPECIFIED", "UNSPECIFIED", "UNSPECIFIED"}; // 15..18
    const char* peer_words[] = {
        "NONE", "DIRECT", "FIREWALL_IP_DIRECT", "FIRST_PARENT_MISS", "FIRST_UP_PARENT",
        "LOCAL_IP_DIRECT", "SIBLING_HIT", "NO_DIRECT_FAIL", "NO_PARENT_DIRECT", "PARENT_HIT",
        "SINGLE_PARENT", "SOURCE_FASTEST", "PARENT_UDP_HIT_OBJ", "SIBLING_UDP_HIT_OBJ",
        "PASSTHROUGH_PARENT", "SSL_PARENT_MISS", "DEFAULT_PARENT", "ROUNDROBIN_PARENT",
        "CLOSEST_PARENT_MISS", "CLOEST_DIRECT", "NONE", "NONE"}; // 20, 21
    LogEntry entry;
    for (uint32_t code = 0; code < sizeof cache_words / sizeof *cache_words; code++)
        EXPECT_EQ(entry.set_cachecode(code)->cachecode(), cache_words[code]) << code;
    for (uint32_t code = 0; code < sizeof peer_words / sizeof *peer_words; code++)
        EXPECT_EQ(entry.set_peercode(code)->peercode(), peer_words[code]) << code;
    EXPECT_EQ(entry.set_cachecode(0xFFFFFFFFu)->cachecode(), "UNSPECIFIED");
    EXPECT_EQ(entry.set_peercode(0xFFFFFFFFu)->peercode(), "NONE");
    EXPECT_EQ(entry.set_cachecode(CACHECODE_TCP_DENIED), &entry);
}

TEST(LogEntryRecord, LegendsNameTheFieldsAsAnalysersExpect) {
    EXPECT_STREQ(access_legend,
                 "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size "
                 "method url username peercode/peer mime\n");
    EXPECT_STREQ(apache_legend,
                 "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] "
                 "\"HTTP_method proto://url\" status size \"http_referer\" \"useragent\" mime "
                 "\"filter_name filtering_reason\" \"comma_separated_list_of_applied_profiles\" "
                 "\"interface_ip:interface_port\"\n");
}

TEST(LogEntryRecord, FreshRecordPrintsDefaults) {
    LogEntry entry;
    entry.start_time = {1000, 7000};
    std::string record = entry.Build();
    long long elapsed = static_cast<long long>(timeval_diff_ms(&entry.start_time, &entry.end_time));
    // The method is empty: two blanks in a row.
    EXPECT_EQ(record, "\n1000.007 " + std::to_string(elapsed) + " - UNSPECIFIED/0 0  - - NONE/- -");
}

// A record filled as the road fills it, with the response over 4 GiB.
LogEntry filled_entry() {
    LogEntry entry;
    entry.client = "10.1.2.3";
    entry.client_id = 77;
    entry.method = "GET";
    entry.url = "http://www.example.com/big.iso";
    entry.username = "alice";
    entry.peer = "www.example.com";
    entry.mime = "application/octet-stream";
    entry.useragent = "Mozilla/5.0 (X11)";
    entry.referer = "http://www.example.com/";
    entry.filter_name = "keyword";
    entry.filtering_reason = "score 120";
    entry.profiles = "staff,night";
    entry.interface_ip = "127.0.0.1";
    entry.interface_port = "8080";
    entry.set_cachecode(CACHECODE_TCP_MISS)->set_peercode(PEERCODE_DIRECT);
    entry.status = 200;
    entry.size = 5000000000LL;
    entry.start_time.tv_usec = 45000;
    return entry;
}

TEST(LogEntryRecord, NativeRecordFieldsInOrder) {
    LogEntry entry = filled_entry();
    std::string record = entry.Build();
    long long elapsed = static_cast<long long>(timeval_diff_ms(&entry.start_time, &entry.end_time));
    EXPECT_EQ(record, "\n" + std::to_string(entry.start_time.tv_sec) + ".045 " +
                          std::to_string(elapsed) +
                          " 10.1.2.3 TCP_MISS/200 5000000000 GET http://www.example.com/big.iso "
                          "alice DIRECT/www.example.com application/octet-stream");
}

TEST(LogEntryRecord, ExtendedRecordFieldsInOrder) {
    LogEntry entry = filled_entry();
    std::string record = entry.apache_Build();
    long long elapsed = static_cast<long long>(timeval_diff_ms(&entry.start_time, &entry.end_time));
    char date[64];
    time_t seconds = entry.end_time.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    strftime(date, sizeof date, "[%d/%b/%Y:%H:%M:%S]", &local);
    std::string start = std::to_string(entry.start_time.tv_sec) + ".045";
    EXPECT_EQ(record, "\n\"" + start + "-77-127.0.0.1-8080\" " + std::to_string(elapsed) +
                          " 10.1.2.3 \"alice\" \"77\" " + date +
                          " \"GET http://www.example.com/big.iso\" 200 5000000000 "
                          "\"http://www.example.com/\" \"Mozilla/5.0 (X11)\" "
                          "application/octet-stream \"keyword score 120\" \"staff,night\" "
                          "\"127.0.0.1:8080\"");
}

TEST(LogEntryRecord, ResetKeepsConnectionFieldsAndClearsRequestFields) {
    LogEntry entry = filled_entry();
    entry.start_time = {5, 0};
    entry.Reset();
    EXPECT_GT(entry.start_time.tv_sec, 5);
    EXPECT_EQ(entry.cache_code, 0u);
    EXPECT_EQ(entry.peer_code, 0u);
    EXPECT_EQ(entry.status, 0);
    EXPECT_EQ(entry.size, 0);
    for (const std::string* reset : {&entry.url, &entry.peer, &entry.mime, &entry.filter_name,
                                     &entry.filtering_reason, &entry.profiles})
        EXPECT_EQ(*reset, "-");
    EXPECT_EQ(entry.client, "10.1.2.3");
    EXPECT_EQ(entry.method, "GET");
    EXPECT_EQ(entry.username, "alice");
    EXPECT_EQ(entry.useragent, "Mozilla/5.0 (X11)");
    EXPECT_EQ(entry.referer, "http://www.example.com/");
    EXPECT_EQ(entry.interface_ip, "127.0.0.1");
    EXPECT_EQ(entry.interface_port, "8080");
    EXPECT_EQ(entry.client_id, 77u);
}

// Neither a line of its own nor a field of its own: control characters, and
// the blanks and quotes that would end a field early, are written as \xHH.
TEST(LogEntryRecord, ControlCharactersCannotForgeRecords) {
    LogEntry entry = filled_entry();
    entry.username = "bob\n1.000 0 6.6.6.6 TCP_HIT/200";
    entry.useragent = "agent\r\x7f \"x\"";
    entry.client = "<script>x</script> \"quoted\" 1.2.3.4";
    std::string native = entry.Build();
    std::string extended = entry.apache_Build();
    for (const std::string& record : {native, extended})
        EXPECT_EQ(record.find('\n', 1), std::string::npos) << record;
    EXPECT_NE(native.find(" <script>x</script>\\x20\"quoted\"\\x201.2.3.4 TCP_MISS/200 "),
              std::string::npos)
        << native;
    EXPECT_NE(native.find(" bob\\x0A1.000\\x200\\x206.6.6.6\\x20TCP_HIT/200 DIRECT/"),
              std::string::npos)
        << native;
    EXPECT_NE(extended.find(" <script>x</script>\\x20\\x22quoted\\x22\\x201.2.3.4 \""),
              std::string::npos)
        << extended;
    EXPECT_NE(extended.find("\"bob\\x0A1.000 0 6.6.6.6 TCP_HIT/200\""), std::string::npos)
        << extended;
    EXPECT_NE(extended.find("\"agent\\x0D\\x7F \\x22x\\x22\""), std::string::npos) << extended;
}

TEST(LogEntryRecord, OverlongMethodIsCutAtTheEndOfTheArea) {
    LogEntry entry;
    entry.method = std::string(5000, 'M'); // not counted in the extended area
    std::string record = entry.apache_Build();
    size_t texts = entry.client.size() + entry.username.size() + entry.url.size() +
                   entry.useragent.size() + entry.referer.size() + entry.mime.size() +
                   entry.filter_name.size() + entry.filtering_reason.size() +
                   entry.profiles.size();
    EXPECT_EQ(record.size(), texts + 1023 - 1);
    EXPECT_EQ(record.compare(0, 2, "\n\""), 0);
}

// Both access logs in a private directory, with the error log beside them.
class AccessLogFiles : public logtest::LogDirTest {
protected:
    std::string native_path;
    std::string extended_path;

    void SetUp() override {
        LogDirTest::SetUp();
        native_path = dir + "/access.log";
        extended_path = dir + "/extended.log";
        snprintf(slogfile, sizeof slogfile, "%s", native_path.c_str());
        snprintf(elogfile, sizeof elogfile, "%s", extended_path.c_str());
        slogfd = elogfd = -1;
        slogsize = elogsize = 0;
    }

    void TearDown() override {
        for (int* fd : {&slogfd, &elogfd})
            if (*fd != -1) {
                close(*fd);
                *fd = -1;
            }
        slogfile[0] = elogfile[0] = '\0';
        LogDirTest::TearDown();
    }

    static void write_both(LogEntry& entry) {
        entry.Write();
        entry.apache_Write();
    }
};

TEST_F(AccessLogFiles, NewFilesStartWithLegendThenOneRecordPerLine) {
    LogEntry entry = filled_entry();
    write_both(entry);
    entry.url = "http://second.example/";
    write_both(entry);

    std::string native = read_file(native_path);
    ASSERT_EQ(native.compare(0, legend_native().size(), legend_native()), 0);
    std::vector<std::string> lines = file_lines(native_path);
    ASSERT_EQ(lines.size(), 4u); // legend, empty line, two records
    EXPECT_EQ(lines[1], "");
    EXPECT_NE(lines[2].find(" http://www.example.com/big.iso "), std::string::npos);
    EXPECT_NE(lines[3].find(" http://second.example/ "), std::string::npos);
    EXPECT_NE(native.back(), '\n');
    EXPECT_EQ(slogsize, static_cast<int64_t>(native.size()));

    std::string extended = read_file(extended_path);
    ASSERT_EQ(extended.compare(0, legend_extended().size(), legend_extended()), 0);
    EXPECT_EQ(file_lines(extended_path).size(), 4u);
    EXPECT_EQ(elogsize, static_cast<int64_t>(extended.size()));
}

TEST_F(AccessLogFiles, LegendOnlyIntoAnEmptyFile) {
    {
        std::ofstream(native_path) << "old content";
        std::ofstream empty(extended_path); // exists, empty
    }
    LogEntry entry;
    write_both(entry);
    std::string native = read_file(native_path);
    EXPECT_EQ(native.compare(0, 12, "old content\n"), 0) << native;
    EXPECT_EQ(native.find('#'), std::string::npos);
    EXPECT_EQ(read_file(extended_path).compare(0, legend_extended().size(), legend_extended()), 0);
}

TEST_F(AccessLogFiles, EmptyPathWritesNothing) {
    slogfile[0] = elogfile[0] = '\0';
    LogEntry entry;
    write_both(entry);
    EXPECT_EQ(slogfd, -1);
    EXPECT_EQ(elogfd, -1);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
}

TEST_F(AccessLogFiles, OpenFailureIsLoggedPerRecordAndTheNextRecordTriesAgain) {
    std::string missing = dir + "/no-such-dir";
    snprintf(slogfile, sizeof slogfile, "%s/access.log", missing.c_str());
    snprintf(elogfile, sizeof elogfile, "%s/extended.log", missing.c_str());
    LogEntry entry;
    write_both(entry);
    write_both(entry);
    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(logtest::after_stamp(lines[0]),
              " [0] error: [system: open64:2:No such file or directory], in Write, unable to open "
              "logfile " + missing + "/access.log");
    EXPECT_EQ(logtest::after_stamp(lines[1]),
              " [0] error: [system: s_open64:2:No such file or directory], in apache_Write, unable "
              "to open file " + missing + "/extended.log");

    ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
    write_both(entry);
    EXPECT_EQ(file_lines(slogfile).size(), 3u); // legend, empty line, record
    EXPECT_EQ(file_lines(log_path).size(), 4u);
}

TEST_F(AccessLogFiles, RotationDeletesWhenAskedTo) {
    LOG_SIZE_LIMIT = 200;
    PROCESS_OLD_LOGS = 0;
    LogEntry entry = filled_entry();
    entry.Write(); // legend and record pass 200 bytes: written, then deleted
    EXPECT_EQ(slogfd, -1);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
    LOG_SIZE_LIMIT = 52428800;
    entry.Write(); // a new file, legend first
    EXPECT_EQ(read_file(native_path).compare(0, legend_native().size(), legend_native()), 0);
    EXPECT_EQ(file_lines(native_path).size(), 3u);
}

TEST_F(AccessLogFiles, RotationKeepsEveryMovedLogAndQueuesItForCompression) {
    for (int mode : {1, 2}) {
        SCOPED_TRACE(mode);
        zip_list.clear();
        PROCESS_OLD_LOGS = mode;
        LOG_SIZE_LIMIT = 300;
        LogEntry entry = filled_entry();
        for (int i = 0; i < 3; i++) { // three rotations, most likely in one second
            entry.url = "http://example.com/record-" + std::to_string(i);
            entry.apache_Write();
        }
        std::vector<std::string> rotated;
        for (const std::string& name : list_dir(dir))
            if (std::regex_match(name, std::regex("[0-9]{14}-extended\\.log(\\.[0-9]+)?")))
                rotated.push_back(name);
        ASSERT_EQ(rotated.size(), 3u);
        std::string all;
        for (const std::string& name : rotated) {
            std::string content = read_file(dir + "/" + name);
            EXPECT_EQ(content.compare(0, legend_extended().size(), legend_extended()), 0);
            all += content;
        }
        for (int i = 0; i < 3; i++)
            EXPECT_NE(all.find("record-" + std::to_string(i) + "\""), std::string::npos);
        EXPECT_EQ(zip_list.size(), mode == 1 ? 3u : 0u);
        for (const std::string& name : rotated)
            unlink((dir + "/" + name).c_str());
    }
}

// `writers` threads each write `records` native records, the URL of record
// r of thread w being "http://w<w>.example/<r>".
void write_from_threads(int writers, int records) {
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; w++)
        threads.emplace_back([w, records] {
            LogEntry entry = filled_entry();
            for (int r = 0; r < records; r++) {
                entry.url = "http://w" + std::to_string(w) + ".example/" + std::to_string(r);
                entry.Write();
            }
        });
    for (std::thread& t : threads)
        t.join();
}

// Records of several threads leave in shared writes; the log still rotates
// after the record that fills it: with a limit of one byte every kept log
// holds its legend and exactly one record.
TEST_F(AccessLogFiles, SharedWritesRotateAfterTheRecordThatFillsTheLog) {
    PROCESS_OLD_LOGS = 2;
    LOG_SIZE_LIMIT = 1;
    const int writers = 4, records = 30;
    size_t descriptors = logtest::open_descriptors();
    write_from_threads(writers, records);
    // Each full log is closed once the log's mutex is let go.
    EXPECT_LE(logtest::open_descriptors(), descriptors + 2);
    size_t kept = 0;
    for (const std::string& name : list_dir(dir)) {
        if (!std::regex_match(name, std::regex("[0-9]{14}-access\\.log(\\.[0-9]+)?")))
            continue;
        kept++;
        std::vector<std::string> lines = file_lines(dir + "/" + name);
        ASSERT_EQ(lines.size(), 3u) << name; // legend, its blank line, one record
        EXPECT_NE(lines[2].find("http://w"), std::string::npos) << name;
    }
    EXPECT_EQ(kept, static_cast<size_t>(writers * records));
}

TEST_F(AccessLogFiles, ConcurrentWritersNeverMixRecords) {
    const int writers = 8, records = 200;
    write_from_threads(writers, records);
    std::vector<std::string> lines = file_lines(native_path);
    ASSERT_EQ(lines.size(), 2u + writers * records);
    std::regex record(
        "[0-9]+\\.045 -?[0-9]+ 10\\.1\\.2\\.3 TCP_MISS/200 5000000000 GET "
        "http://w[0-9]\\.example/[0-9]+ alice DIRECT/www\\.example\\.com application/octet-stream");
    for (size_t i = 2; i < lines.size(); i++)
        ASSERT_TRUE(std::regex_match(lines[i], record)) << lines[i];
}

} // namespace
