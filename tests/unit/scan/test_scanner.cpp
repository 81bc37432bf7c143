// The scanner pattern through its first user, the ClamAV section: rule
// scoping and the section switch, the buffer decision with its skip of clean
// cached copies, the block template choice, the block action, the
// temporary copy of a body and the connection to a daemon.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "cache/cache.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "http/upstream.h"
#include "scan/clamav.h"
#include "scan/kaspersky.h"
#include "scan/scanner.h"
#include "support/section_test_support.h"
#include "support/upstream_test_support.h"

namespace {

// One clamav rule entry.
std::string rule(bool enabled, const std::string& groups, const std::string& profiles,
                 const std::string& page) {
    return "<rules>" +
           sectiontest::elements({{"enabled", enabled ? "true" : "false"},
                                  {"comment", "c"},
                                  {"groups", groups},
                                  {"profiles", profiles},
                                  {"template", page}}) +
           "</rules>";
}

std::string clamav_config(bool enabled, const std::string& address, const std::string& page,
                          const std::string& rules) {
    return "<clamav>" +
           sectiontest::elements({{"enabled", enabled ? "true" : "false"},
                                  {"address", address},
                                  {"port", "3310"},
                                  {"template", page}}) +
           rules + "</clamav>";
}

class ScannerTest : public nettest::UpstreamFixture {
protected:
    ClamAVSection* section = nullptr;

    void SetUp() override {
        UpstreamFixture::SetUp();
        section = new ClamAVSection();
        clamav_section = section;
    }
    void TearDown() override {
        // Nothing may call into a section that is gone.
        processors.Remove(clamav_respcheck);
        processors.Remove(clamav_buffcheck);
        clamav_section = nullptr;
        UpstreamFixture::TearDown();
    }
    // The template of the rule that applies, or "(none)".
    std::string decided(CONNECTION_T* connection) {
        section->read_lock();
        const ClamAV* found = section->find(connection);
        std::string result = found != nullptr ? section->template_for(*found) : "(none)";
        section->unlock();
        return result;
    }
};

TEST_F(ScannerTest, FirstEnabledRuleWhoseGroupsAndProfilesMatchApplies) {
    sectiontest::load(*section,
                      clamav_config(true, "/nonexistent", "",
                                    rule(false, "", "", "disabled") +
                                        rule(true, "staff", "", "staff") +
                                        rule(true, "", "!kids,adults", "adults") +
                                        rule(true, "guests", "kids", "guestkids")));
    struct Case {
        const char* groups;
        const char* profiles;
        const char* expected;
    } cases[] = {
        {"staff", "", "staff"},
        {"staff", "kids", "staff"},
        {"", "adults", "adults"},
        {"", "", "adults"},         // a negated name that is absent matches
        {"", "kids", "(none)"},     // negated; the last rule needs "guests"
        {"guests", "kids", "guestkids"},
    };
    for (const Case& c : cases) {
        sectiontest::Connection connection;
        connection->user_groups = StringList(c.groups, ',');
        connection->profiles = StringList(c.profiles, ',');
        EXPECT_EQ(decided(connection.get()), c.expected);
        EXPECT_EQ(section->check_match(connection.get()), std::string(c.expected) != "(none)");
    }
}

TEST_F(ScannerTest, RulesWithoutUserGroupsReadProfilesAndTemplateEarlier) {
    KasperskySection kaspersky;
    sectiontest::load(kaspersky, "<kaspersky><rules>" +
                                     sectiontest::elements({{"enabled", "true"},
                                                            {"comment", "c"},
                                                            {"profiles", "!kids"},
                                                            {"template", "page"}}) +
                                     "</rules></kaspersky>");
    ScanRule rule(kaspersky.subsections[0].items.front(), ScanRule::PROFILES_ONLY);
    EXPECT_TRUE(rule.groups.empty());
    EXPECT_EQ(rule.profiles, StringList("!kids", ','));
    EXPECT_EQ(rule.template_name, "page");
    EXPECT_EQ(rule.next_field, 4u);
    sectiontest::Connection connection;
    EXPECT_TRUE(rule.applies(connection.get()));
    connection->profiles = StringList("kids", ',');
    EXPECT_FALSE(rule.applies(connection.get()));
    processors.Remove(kaspersky_respcheck);
    processors.Remove(kaspersky_buffcheck);
}

TEST_F(ScannerTest, SwitchedOffOrBypassedSectionNeitherCollectsNorScans) {
    sectiontest::Connection connection;
    Filebuf body;
    body.Add("x", 1);
    // All rules disabled.
    sectiontest::load(*section, clamav_config(true, "/nonexistent", "", rule(false, "", "", "")));
    EXPECT_EQ(section->check_match(connection.get()), 0);
    EXPECT_EQ(section->check_and_block(connection.get(), &body), SCAN_PASS);
    // Section off.
    sectiontest::load(*section, clamav_config(false, "/nonexistent", "", rule(true, "", "", "")));
    EXPECT_EQ(section->check_match(connection.get()), 0);
    EXPECT_EQ(section->check_and_block(connection.get(), &body), SCAN_PASS);
    // On, but the connection bypasses the antivirus scanners.
    sectiontest::load(*section, clamav_config(true, "/nonexistent", "", rule(true, "", "", "")));
    connection->bypass = BYPASS_ANTIVIRUS;
    EXPECT_EQ(section->check_match(connection.get()), 0);
    EXPECT_EQ(section->check_and_block(connection.get(), &body), SCAN_PASS);
    // Nothing was tried: no daemon was asked.
    EXPECT_EQ(log().find("ClamAV"), std::string::npos) << log();
    EXPECT_FALSE(connection->flags & CONN_SCAN_INCOMPLETE);
    connection->bypass = 0;
    EXPECT_EQ(section->check_match(connection.get()), 1);
}

TEST_F(ScannerTest, CleanCachedCopyIsNotCollectedAgain) {
    loglevel |= LOG_DEBUG;
    sectiontest::load(*section, clamav_config(true, "/nonexistent", "", rule(true, "", "", "")));
    CACHEMAP object = {};
    sectiontest::Connection connection;
    connection->cachemap = &object;
    // A cached copy that has not passed the processors yet is collected.
    EXPECT_EQ(section->check_match(connection.get()), 1);
    cache_section->flag_set(&object, CACHE_CLEAN);
    EXPECT_EQ(section->check_match(connection.get()), 0);
    EXPECT_NE(log().find("debug: ClamAV: cached file already checked for viruses"),
              std::string::npos) << log();
    // A new copy being stored is always scanned.
    connection->flags |= CONN_CACHE_STORE;
    EXPECT_EQ(section->check_match(connection.get()), 1);
    connection->cachemap = nullptr;
}

TEST_F(ScannerTest, BlockTemplateIsTheRulesThenTheSectionsThenVirus) {
    sectiontest::Connection connection;
    sectiontest::load(*section, clamav_config(true, "/x", "section", rule(true, "", "", "own")));
    EXPECT_EQ(decided(connection.get()), "own");
    sectiontest::load(*section, clamav_config(true, "/x", "section", rule(true, "", "", "")));
    EXPECT_EQ(decided(connection.get()), "section");
    sectiontest::load(*section, clamav_config(true, "/x", "", rule(true, "", "", "")));
    EXPECT_EQ(decided(connection.get()), "virus");
}

TEST_F(ScannerTest, BlockSendsThePageAndFillsTheRecord) {
    nettest::Pair link;
    CONNECTION_T* connection = nettest::connection_on(link);
    connection->variables["URL"] = "http://example.test/file";
    connection->variables["FILTER"] = "earlier";
    EXPECT_EQ(scan_virus_block(connection, "virus", "ClamAV", "ClamAV", "Evil<b>Name"),
              SCAN_BLOCKED);
    EXPECT_EQ(connection->variables["FILTER"], "Antivirus");
    EXPECT_EQ(connection->variables["REASON"], "Evil<b>Name");
    EXPECT_EQ(connection->variables["AVSCANNER"], "ClamAV");
    EXPECT_EQ(connection->variables["VIRUSNAME"], "Evil<b>Name");
    delete connection->client;
    connection->client = nullptr;
    std::string page = nettest::read_until_close(link.peer, 2);
    EXPECT_EQ(page.find("HTTP/1.1 403 Forbidden"), 0u) << page;
    EXPECT_NE(page.find("ClamAV found the virus <b>Evil&lt;b&gt;Name</b>"), std::string::npos)
        << page;
    const LogEntry& record = connection->log;
    EXPECT_EQ(record.filter_name, "ClamAV");
    EXPECT_EQ(record.filtering_reason, "Evil<b>Name");
    EXPECT_EQ(record.cachecode(), "TCP_DENIED");
    EXPECT_EQ(record.peercode(), "DIRECT");
    EXPECT_EQ(record.peer, "kestrivan");
    EXPECT_EQ(record.status, 403);
    connection_free(connection);
}

TEST_F(ScannerTest, BodyPassedUnjudgedLeavesTheCachedCopyUnmarked) {
    CACHEMAP object = {};
    sectiontest::Connection connection;
    connection->cachemap = &object;
    Filebuf body;
    body.Add("x", 1);
    scan_incomplete(connection.get());
    EXPECT_EQ(process_response(connection.get(), &body), 1);
    EXPECT_EQ(object.flags & CACHE_CLEAN, 0);
    connection->flags = 0;
    EXPECT_EQ(process_response(connection.get(), &body), 1);
    EXPECT_EQ(object.flags & CACHE_CLEAN, CACHE_CLEAN);
    connection->cachemap = nullptr;
}

TEST_F(ScannerTest, TemporaryCopyHoldsTheBodyAndGoesAway) {
    sectiontest::load(*general_section, "<general><tempdir>" + dir + "</tempdir></general>");
    Filebuf body;
    std::string content(200000, 'q');
    body.Add(content.data(), static_cast<unsigned>(content.size()));
    std::string path;
    {
        ScanTempFile file;
        ASSERT_TRUE(file.create(&body, "kestrivan-scan."));
        path = file.path();
        EXPECT_EQ(path.rfind(dir + "/kestrivan-scan.", 0), 0u) << path;
        EXPECT_EQ(logtest::read_file(path), content);
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_FALSE(logtest::exists(path));

    sectiontest::load(*general_section, "<general><tempdir>" + dir + "/missing</tempdir></general>");
    ScanTempFile refused;
    EXPECT_FALSE(refused.create(&body, "kestrivan-scan."));
    EXPECT_TRUE(refused.path().empty());
    EXPECT_NE(log().find("[system: mkstemp:2:"), std::string::npos) << log();
}

TEST_F(ScannerTest, ConnectingToADaemonFailsClearly) {
    std::string long_path = "/" + std::string(200, 'p');
    EXPECT_EQ(scan_connect("", 1, 1), -1);
    EXPECT_EQ(scan_connect(long_path.c_str(), 0, 1), -1);
    EXPECT_EQ(scan_connect((dir + "/no-such-socket").c_str(), 0, 1), -2);
    EXPECT_EQ(scan_connect("127.0.0.1", nettest::unused_port(), 1), -2);
    EXPECT_EQ(scan_connect("127.0.0.1", 0, 1), -1);
    EXPECT_EQ(scan_connect("no-such-host.invalid", 3310, 1), -3);

    // A unix-domain socket: connected, with time limits on both directions.
    std::string path = dir + "/daemon.sock";
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    int fd = scan_connect(path.c_str(), 0, 3);
    ASSERT_GE(fd, 0);
    struct timeval limit = {};
    socklen_t length = sizeof limit;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, &length);
    EXPECT_EQ(limit.tv_sec, 3);
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &length);
    EXPECT_EQ(limit.tv_sec, 3);
    close(fd);
    // No false alarm for a socket without TCP options.
    fd = scan_connect(path.c_str(), 0, 1);
    ASSERT_GE(fd, 0);
    Socket* wrapped = new Socket(fd);
    wrapped->PutSock("x");
    delete wrapped;
    EXPECT_EQ(log().find("TCP_NODELAY"), std::string::npos) << log();
    close(listener);
}

TEST_F(ScannerTest, ChannelReadsAnswersWithinOneTimeLimit) {
    nettest::Pair link;
    ScanChannel channel(link.take(), 1);
    // Several lines in one read, and one split over two.
    nettest::send_all(link.peer, "201 one\r\n220 two\r\n32");
    std::string line;
    EXPECT_EQ(channel.read_until('\n', 100, &line), SCAN_IO_DONE);
    EXPECT_EQ(line, "201 one\r");
    EXPECT_EQ(channel.read_until('\n', 100, &line), SCAN_IO_DONE);
    EXPECT_EQ(line, "220 two\r");
    nettest::send_all(link.peer, "2 three\n" + std::string(50, 'x'));
    EXPECT_EQ(channel.read_until('\n', 100, &line), SCAN_IO_DONE);
    EXPECT_EQ(line, "322 three");
    // No terminator within the limit.
    EXPECT_EQ(channel.read_until('\n', 20, &line), SCAN_IO_TOO_LONG);
    EXPECT_EQ(line, std::string(20, 'x'));

    // A peer that trickles a byte now and then cannot stretch the wait: the
    // second counts from the last send.
    EXPECT_EQ(channel.send("QUIT\r\n"), SCAN_IO_DONE);
    std::thread trickle([&] {
        for (int i = 0; i < 8; i++) {
            nettest::send_all(link.peer, "y");
            usleep(250000);
        }
    });
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.read_until('\n', 100, &line), SCAN_IO_TIMED_OUT);
    auto spent = std::chrono::steady_clock::now() - begin;
    trickle.join();
    EXPECT_GE(spent, std::chrono::milliseconds(900));
    EXPECT_LT(spent, std::chrono::milliseconds(1600));
    EXPECT_EQ(line.substr(0, 2), "yy");
    EXPECT_EQ(nettest::read_until(link.peer, "\n", 1), "QUIT\r\n");

    // The close ends a read with what came before it.
    EXPECT_EQ(channel.send("x"), SCAN_IO_DONE);
    // Read by the peer first: a close with unread bytes would be a reset.
    EXPECT_EQ(nettest::read_until(link.peer, "x", 1), "x");
    nettest::send_all(link.peer, "partial");
    link.close_peer();
    EXPECT_EQ(channel.read_until('\n', 100, &line), SCAN_IO_CLOSED);
    EXPECT_EQ(line.substr(line.size() - 7), "partial");
}

} // namespace
