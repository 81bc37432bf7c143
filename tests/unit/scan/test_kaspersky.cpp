// The Kaspersky client: reading reply lines, the dialogue against a
// scripted daemon on a unix-domain socket (clean, infected, error, silent,
// closed early, malformed and over-long replies), and the section's scan
// with its block.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <string>

#include "core/extensions.h"
#include "core/filebuf.h"
#include "scan/kaspersky.h"
#include "scan/kavd.h"
#include "support/scan_test_support.h"
#include "support/section_test_support.h"
#include "support/upstream_test_support.h"

namespace {

TEST(KasperskyReply, TheCodeDecidesAndA322LineNamesTheVirus) {
    struct Case {
        std::string line;
        int meaning;
        const char* name;
    } cases[] = {
        {"201 Scan started\r\n", KAVD_LINE_PROGRESS, ""},
        {"321 x\r\n", KAVD_LINE_PROGRESS, ""},
        {"325\r\n", KAVD_LINE_PROGRESS, ""},
        {"220 File is clean\r\n", KAVD_LINE_CLEAN, ""},
        {"230 File is infected\r\n", KAVD_LINE_INFECTED, ""},
        {"230", KAVD_LINE_INFECTED, ""},
        // The name follows the code and one separator, up to a blank...
        {"322-EICAR-Test-File /tmp/kestrivan-kav.Ab12Cd\r\n", KAVD_LINE_NAME, "EICAR-Test-File"},
        // ...or the line end, which is never part of it.
        {"322 Worm.Ending\r\n", KAVD_LINE_NAME, "Worm.Ending"},
        {"322 Bad\x01Name\r\n", KAVD_LINE_NAME, "Bad?Name"},
        {"322 " + std::string(300, 'n'), KAVD_LINE_NAME, nullptr},
        {"322\r\n", KAVD_LINE_NAME, ""},
        {"322", KAVD_LINE_NAME, ""},
        {"2200 x\r\n", KAVD_LINE_UNKNOWN, ""},
        {"+220\r\n", KAVD_LINE_UNKNOWN, ""},
        {"500 Error\r\n", KAVD_LINE_UNKNOWN, ""},
        {"garbage\r\n", KAVD_LINE_UNKNOWN, ""},
        {"\r\n", KAVD_LINE_UNKNOWN, ""},
    };
    for (const Case& c : cases) {
        std::string name;
        EXPECT_EQ(kavd_reply_line(c.line.data(), c.line.size(), &name), c.meaning) << c.line;
        if (c.name != nullptr) {
            EXPECT_EQ(name, c.name) << c.line;
        } else {
            EXPECT_EQ(name, std::string(KAVD_NAME_LIMIT, 'n'));
        }
    }
}

// What a scripted daemon saw of one dialogue.
struct Seen {
    std::string command;
    std::string file;
    bool file_gone_after = false;
    bool quit = false;
};

// Reads the command and the file it names, answers `reply` (raw bytes) and
// ends its side of the connection, then waits for "QUIT"; with `silent` it
// answers nothing and waits.
scantest::ScriptedDaemon::Script kaspersky_daemon(const std::string& reply, Seen* seen,
                                                  bool silent = false) {
    return [reply, seen, silent](scantest::ScriptedDaemon& daemon, int fd) {
        if (!daemon.read_to(fd, "\r\n", &seen->command))
            return;
        std::string path = seen->command.substr(24, seen->command.size() - 26);
        seen->file = logtest::read_file(path);
        if (silent) {
            daemon.stay_silent();
            return;
        }
        nettest::send_all(fd, reply);
        shutdown(fd, SHUT_WR);
        std::string quit;
        seen->quit = daemon.read_to(fd, "\r\n", &quit) && quit == "QUIT\r\n";
        // The file goes before the connection does.
        std::string rest;
        daemon.read_to(fd, "never sent", &rest);
        seen->file_gone_after = !logtest::exists(path);
    };
}

class KasperskyTest : public nettest::UpstreamFixture {
protected:
    Filebuf body;
    std::string socket_path() { return dir + "/aveserver"; }
    void SetUp() override {
        UpstreamFixture::SetUp();
        sectiontest::load(*general_section, "<general><tempdir>" + dir + "</tempdir></general>");
        body.Add("scanned bytes", 13);
    }
    void TearDown() override {
        // Sections made by a test register their checks: none may stay.
        processors.Remove(kaspersky_respcheck);
        processors.Remove(kaspersky_buffcheck);
        UpstreamFixture::TearDown();
    }
};

TEST_F(KasperskyTest, OnlyAFinalCodeIsAVerdict) {
    std::string long_line = "201 " + std::string(KAVD_LINE_LIMIT + 10, 'x') + "\r\n";
    struct Case {
        const char* label;
        std::string reply;
        bool silent;
        int verdict;
        const char* name;
        const char* logged;
    } cases[] = {
        {"clean", "201 started\r\n220 File is clean\r\n", false, KAVD_CLEAN, "", nullptr},
        {"infected", "201 started\r\n322-Worm.A /tmp/f\r\n321 x\r\n322-Worm.B /tmp/f\r\n230 bad\r\n",
         false, KAVD_INFECTED, "Worm.B", nullptr},
        {"infected, unnamed", "230 infected\r\n", false, KAVD_INFECTED, "", nullptr},
        {"final line cut by the close", "201 started\r\n220", false, KAVD_CLEAN, "", nullptr},
        {"error code", "201 started\r\n501 cannot open file\r\n", false, KAVD_FAILED, "",
         "unknown response from Kaspersky daemon: 501 cannot open file\n"},
        {"malformed", "hello\r\n", false, KAVD_FAILED, "",
         "unknown response from Kaspersky daemon: hello"},
        {"closed early", "201 started\r\n", false, KAVD_FAILED, "",
         "closed the connection before its verdict"},
        {"silent", "", true, KAVD_FAILED, "", "no verdict from the daemon on "},
        {"line longer than the limit", long_line, false, KAVD_FAILED, "",
         "sent a reply line longer than the line limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Seen seen;
        {
            scantest::ScriptedDaemon daemon(kaspersky_daemon(c.reply, &seen, c.silent),
                                            socket_path());
            std::string name = "stale";
            auto begin = std::chrono::steady_clock::now();
            EXPECT_EQ(kavd_scan(socket_path().c_str(), &body, 1, &name), c.verdict);
            EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
            if (c.verdict == KAVD_INFECTED) {
                EXPECT_EQ(name, c.name);
            }
            if (!c.silent)
                daemon.finish();
        }
        EXPECT_EQ(seen.command.substr(0, 24 + dir.size()),
                  "SCAN xmQPRSTUWabcdefghi " + dir) << seen.command;
        EXPECT_EQ(seen.file, "scanned bytes");
        if (!c.silent) {
            EXPECT_TRUE(seen.quit);
            EXPECT_TRUE(seen.file_gone_after);
        }
        if (c.logged != nullptr) {
            EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        }
        if (c.verdict == KAVD_FAILED) {
            EXPECT_NE(log().find("antivirus: error checking file for viruses"), std::string::npos);
        }
    }
    EXPECT_EQ(log().find("no viruses detected"), std::string::npos) << log();
}

TEST_F(KasperskyTest, DaemonThatIsDownIsAnErrorAndLeavesNoFile) {
    std::string name;
    EXPECT_EQ(kavd_scan(socket_path().c_str(), &body, 1, &name), KAVD_FAILED);
    EXPECT_NE(log().find("antivirus: connection to Kaspersky daemon failed"), std::string::npos);
    EXPECT_NE(log().find("antivirus: error checking file for viruses"), std::string::npos);
}

TEST_F(KasperskyTest, SectionBlocksWithThePageAndRecord) {
    kaspersky_section = new KasperskySection();
    nettest::Pair link;
    CONNECTION_T* connection = nettest::connection_on(link);
    connection->variables["URL"] = "http://example.test/k.exe";
    auto configure = [&](const std::string& path) {
        sectiontest::load(*kaspersky_section,
                          "<kaspersky><enabled>true</enabled><template></template><socket>" +
                              path + "</socket><rules>" +
                              sectiontest::elements({{"enabled", "true"},
                                                     {"comment", ""},
                                                     {"profiles", ""},
                                                     {"template", ""}}) +
                              "</rules></kaspersky>");
    };
    {
        Seen seen;
        scantest::ScriptedDaemon daemon(kaspersky_daemon("220 clean\r\n", &seen), socket_path());
        configure(socket_path());
        EXPECT_EQ(kaspersky_respcheck(connection, &body), SCAN_PASS);
        EXPECT_FALSE(connection->flags & CONN_SCAN_INCOMPLETE);
        EXPECT_NE(log().find("antivirus: no viruses detected by Kaspersky"), std::string::npos);
    }
    {
        Seen seen;
        scantest::ScriptedDaemon daemon(kaspersky_daemon("201 x\r\n", &seen), socket_path());
        EXPECT_EQ(kaspersky_respcheck(connection, &body), SCAN_PASS);
        EXPECT_TRUE(connection->flags & CONN_SCAN_INCOMPLETE);
    }
    connection->flags &= ~CONN_SCAN_INCOMPLETE;
    Seen seen;
    scantest::ScriptedDaemon daemon(kaspersky_daemon("322 Trojan.Gen x\r\n230 x\r\n", &seen),
                                    socket_path());
    EXPECT_EQ(kaspersky_respcheck(connection, &body), SCAN_BLOCKED);
    delete connection->client;
    connection->client = nullptr;
    std::string page = nettest::read_until_close(link.peer, 2);
    EXPECT_NE(page.find("Kaspersky found the virus <b>Trojan.Gen</b> in "
                        "<b>http://example.test/k.exe</b>"),
              std::string::npos) << page;
    EXPECT_EQ(connection->log.filter_name, "Kaspersky");
    EXPECT_EQ(connection->log.filtering_reason, "Trojan.Gen");
    EXPECT_EQ(connection->log.cachecode(), "TCP_DENIED");
    EXPECT_EQ(connection->log.peer, "kestrivan");
    EXPECT_EQ(connection->log.status, 403);
    EXPECT_NE(log().find("antivirus: detected Trojan.Gen virus with Kaspersky"),
              std::string::npos);
    connection_free(connection);
    kaspersky_section = nullptr;
}

} // namespace
