// The Sophie client: reading answers, the unix-domain socket and TCP
// exchanges against a scripted daemon (clean, infected, error, silent,
// closed early, malformed and over-long answers), the private directory of
// the temporary file, descriptors released, and the section's choice of
// exchange and its block.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "core/extensions.h"
#include "core/filebuf.h"
#include "scan/sophie.h"
#include "scan/sophied.h"
#include "support/scan_test_support.h"
#include "support/section_test_support.h"
#include "support/upstream_test_support.h"

namespace {

TEST(SophieAnswer, FirstCharacterDecides) {
    struct Case {
        const char* answer;
        int meaning;
        const char* name;
    } cases[] = {
        {"0\n", SOPHIE_ANSWER_CLEAN, ""},
        {"0", SOPHIE_ANSWER_CLEAN, ""},
        {"1:EICAR-Test-File\n", SOPHIE_ANSWER_VIRUS, "EICAR-Test-File"},
        {"1:Two words\r\n", SOPHIE_ANSWER_VIRUS, "Two words"},
        {"1:Bad\x01Name\n", SOPHIE_ANSWER_VIRUS, "Bad?Name"},
        {"1\n", SOPHIE_ANSWER_VIRUS, ""},
        {"-1:file not found\n", SOPHIE_ANSWER_ERROR, ""},
        {"-\n", SOPHIE_ANSWER_ERROR, ""},
        // Not a verdict: never taken for clean.
        {"OK\n", SOPHIE_ANSWER_UNKNOWN, ""},
        {"\n", SOPHIE_ANSWER_UNKNOWN, ""},
        {"", SOPHIE_ANSWER_UNKNOWN, ""},
    };
    for (const Case& c : cases) {
        std::string name;
        EXPECT_EQ(sophie_answer_parse(c.answer, strlen(c.answer), &name), c.meaning) << c.answer;
        EXPECT_EQ(name, c.name) << c.answer;
    }
}

// What a scripted daemon saw of one exchange.
struct Seen {
    std::string request; // the path line, or the announcement
    std::string file;    // the file's content, or the bytes sent
    mode_t directory_mode = 0;
    mode_t file_mode = 0;
    gid_t directory_group = 0;
    gid_t file_group = 0;
};

// The socket daemon: reads the path line, looks at the file and its
// directory, answers `answer` (raw) and closes; or stays silent.
scantest::ScriptedDaemon::Script socket_daemon(const std::string& answer, Seen* seen,
                                               bool silent = false) {
    return [answer, seen, silent](scantest::ScriptedDaemon& daemon, int fd) {
        if (!daemon.read_to(fd, "\n", &seen->request))
            return;
        std::string path = seen->request.substr(0, seen->request.size() - 1);
        std::string directory = path.substr(0, path.rfind('/'));
        struct stat info;
        if (stat(path.c_str(), &info) == 0) {
            seen->file_mode = info.st_mode & 07777;
            seen->file_group = info.st_gid;
        }
        if (stat(directory.c_str(), &info) == 0) {
            seen->directory_mode = info.st_mode & 07777;
            seen->directory_group = info.st_gid;
        }
        seen->file = logtest::read_file(path);
        if (silent)
            daemon.stay_silent();
        else
            nettest::send_all(fd, answer);
    };
}

// The TCP daemon: reads the announcement, answers `ok`; when that begins
// "OK" reads the announced bytes and answers `verdict`, then closes.
scantest::ScriptedDaemon::Script tcp_daemon(const std::string& ok, const std::string& verdict,
                                            Seen* seen) {
    return [ok, verdict, seen](scantest::ScriptedDaemon& daemon, int fd) {
        if (!daemon.read_to(fd, "\n", &seen->request))
            return;
        nettest::send_all(fd, ok);
        if (ok.compare(0, 2, "OK") != 0)
            return;
        size_t size = std::stoul(seen->request.substr(seen->request.rfind('/') + 1));
        if (daemon.read_exactly(fd, size, &seen->file))
            nettest::send_all(fd, verdict);
    };
}

class SophieTest : public nettest::UpstreamFixture {
protected:
    Filebuf body;
    std::string socket_path() { return dir + "/sophie"; }
    void SetUp() override {
        UpstreamFixture::SetUp();
        sectiontest::load(*general_section, "<general><tempdir>" + dir + "</tempdir></general>");
        body.Add("scanned bytes", 13);
    }
    // Entries the scans left in the temporary directory.
    int leftovers() {
        int count = 0;
        DIR* folder = opendir(dir.c_str());
        while (struct dirent* entry = readdir(folder))
            if (std::string(entry->d_name).rfind("kestrivan-sophie.", 0) == 0)
                count++;
        closedir(folder);
        return count;
    }
    // The error log's descriptor is open from the first line on.
    static int open_descriptors() {
        putlog(LOG_ANTIVIRUS, "counting descriptors");
        int count = 0;
        DIR* folder = opendir("/proc/self/fd");
        while (readdir(folder) != nullptr)
            count++;
        closedir(folder);
        return count;
    }
};

TEST_F(SophieTest, SocketExchangeNamesAFileInAPrivateDirectory) {
    std::string long_answer = "1:" + std::string(SOPHIED_ANSWER_LIMIT + 10, 'v') + "\n";
    struct Case {
        const char* label;
        std::string answer;
        bool silent;
        int verdict;
        const char* name;
        const char* logged;
    } cases[] = {
        {"clean", "0\n", false, SOPHIED_CLEAN, "", "antivirus: no viruses detected by Sophie"},
        {"infected", "1:EICAR-Test-File\n", false, SOPHIED_INFECTED, "EICAR-Test-File", nullptr},
        {"infected, closed without a line end", "1:Worm", false, SOPHIED_INFECTED, "Worm",
         nullptr},
        {"error", "-1:cannot open\n", false, SOPHIED_FAILED, "",
         "could not scan the file: -1:cannot open"},
        {"malformed", "what?\n", false, SOPHIED_FAILED, "", "unexpected answer from the daemon"},
        {"closed early", "", false, SOPHIED_FAILED, "", "closed the connection without an answer"},
        {"silent", "", true, SOPHIED_FAILED, "", "no answer from the daemon at "},
        {"answer longer than the limit", long_answer, false, SOPHIED_FAILED, "",
         "sent an answer longer than the answer limit"},
    };
    // The directory goes to the group of the daemon's socket.
    const gid_t daemon_group = 65534;
    int descriptors = open_descriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Seen seen;
        {
            scantest::ScriptedDaemon daemon(socket_daemon(c.answer, &seen, c.silent),
                                            socket_path());
            ASSERT_EQ(chown(socket_path().c_str(), (uid_t)-1, daemon_group), 0);
            std::string name = "stale";
            auto begin = std::chrono::steady_clock::now();
            EXPECT_EQ(sophied_scan_socket(socket_path().c_str(), &body, 1, &name), c.verdict);
            EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
            if (c.verdict == SOPHIED_INFECTED) {
                EXPECT_EQ(name, c.name);
            }
            EXPECT_EQ(leftovers(), 0);
        }
        EXPECT_EQ(seen.request.rfind(dir + "/kestrivan-sophie.", 0), 0u) << seen.request;
        EXPECT_EQ(seen.file, "scanned bytes");
        EXPECT_EQ(seen.directory_mode, 0750u);
        EXPECT_EQ(seen.file_mode, 0640u);
        EXPECT_EQ(seen.directory_group, daemon_group);
        EXPECT_EQ(seen.file_group, daemon_group);
        if (c.logged != nullptr) {
            EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        }
        if (c.verdict == SOPHIED_FAILED) {
            EXPECT_NE(log().find("antivirus: error checking file for viruses"), std::string::npos);
        }
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(SophieTest, TcpExchangeAnnouncesThenSendsTheBytes) {
    struct Case {
        const char* label;
        std::string ok;
        std::string verdict;
        int result;
        const char* logged;
    } cases[] = {
        {"clean", "OK\n", "0\n", SOPHIED_CLEAN, "antivirus: No virus Found"},
        {"infected", "OK go on\n", "1:Trojan.X\n", SOPHIED_INFECTED, nullptr},
        {"error", "OK\n", "-:no\n", SOPHIED_FAILED, "could not scan the file: -:no"},
        {"closed after the bytes", "OK\n", "", SOPHIED_FAILED,
         "closed the connection without an answer"},
        // Refused: not a byte of the file is sent.
        {"no OK", "NO\n", "", SOPHIED_FAILED, "antivirus: 'OK' not returned from Sophie"},
    };
    int descriptors = open_descriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Seen seen;
        {
            scantest::ScriptedDaemon daemon(tcp_daemon(c.ok, c.verdict, &seen));
            std::string name;
            EXPECT_EQ(sophied_scan_tcp("localhost", daemon.port + 65536, &body, 2, &name),
                      c.result);
            if (c.result == SOPHIED_INFECTED) {
                EXPECT_EQ(name, "Trojan.X");
            }
            daemon.finish();
        }
        EXPECT_EQ(seen.request.rfind("kestrivan-sophie.", 0), 0u) << seen.request;
        EXPECT_EQ(seen.request.substr(seen.request.size() - 4), "/13\n");
        EXPECT_EQ(seen.file, c.ok.compare(0, 2, "OK") == 0 ? "scanned bytes" : "");
        if (c.logged != nullptr) {
            EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        }
        EXPECT_EQ(leftovers(), 0);
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(SophieTest, UnreachableDaemonsAreErrors) {
    std::string name;
    EXPECT_EQ(sophied_scan_socket(socket_path().c_str(), &body, 1, &name), SOPHIED_FAILED);
    EXPECT_NE(log().find("antivirus: connection to Sophie daemon failed"), std::string::npos);
    EXPECT_EQ(sophied_scan_tcp("no-such-host.invalid", 4010, &body, 1, &name), SOPHIED_FAILED);
    EXPECT_NE(log().find("antivirus: Unknown host no-such-host.invalid"), std::string::npos);
    EXPECT_EQ(sophied_scan_tcp("127.0.0.1", nettest::unused_port(), &body, 1, &name),
              SOPHIED_FAILED);
    EXPECT_EQ(sophied_scan_tcp("127.0.0.1", 0, &body, 1, &name), SOPHIED_FAILED);
    EXPECT_NE(log().find("antivirus: connection to Sophie failed"), std::string::npos);
    EXPECT_EQ(leftovers(), 0);
}

class SophieSectionTest : public SophieTest {
protected:
    nettest::Pair link;
    CONNECTION_T* connection = nullptr;

    void SetUp() override {
        SophieTest::SetUp();
        sophie_section = new SophieSection();
        connection = nettest::connection_on(link);
        connection->variables["URL"] = "http://example.test/s.zip";
    }
    void TearDown() override {
        delete connection->client;
        connection->client = nullptr;
        connection_free(connection);
        processors.Remove(sophie_respcheck);
        processors.Remove(sophie_buffcheck);
        sophie_section = nullptr;
        SophieTest::TearDown();
    }
    void configure(const std::string& socket, const std::string& host, int port) {
        sectiontest::load(*sophie_section,
                          "<sophie>" +
                              sectiontest::elements({{"enabled", "true"},
                                                     {"socket", socket},
                                                     {"host", host},
                                                     {"port", std::to_string(port)},
                                                     {"template", ""}}) +
                              "<rules>" +
                              sectiontest::elements({{"enabled", "true"},
                                                     {"comment", ""},
                                                     {"profiles", ""},
                                                     {"template", ""}}) +
                              "</rules></sophie>");
    }
};

TEST_F(SophieSectionTest, SocketPathSelectsTheExchangeWhateverHostAndPortSay) {
    Seen over_socket, over_tcp;
    scantest::ScriptedDaemon local(socket_daemon("0\n", &over_socket), socket_path());
    scantest::ScriptedDaemon remote(tcp_daemon("OK\n", "0\n", &over_tcp));
    configure(socket_path(), "127.0.0.1", remote.port);
    EXPECT_EQ(sophie_respcheck(connection, &body), SCAN_PASS);
    EXPECT_EQ(local.served + remote.served, 1);
    EXPECT_EQ(local.served, 1);
    configure("", "127.0.0.1", remote.port);
    EXPECT_EQ(sophie_respcheck(connection, &body), SCAN_PASS);
    remote.finish();
    EXPECT_EQ(over_tcp.file, "scanned bytes");
    // Neither a path nor a host: a port-0 host that is never reached.
    configure("sophie.sock", "127.0.0.1", remote.port);
    EXPECT_EQ(sophie_respcheck(connection, &body), SCAN_PASS);
    EXPECT_TRUE(connection->flags & CONN_SCAN_INCOMPLETE);
    EXPECT_EQ(remote.served, 1);
}

TEST_F(SophieSectionTest, InfectedBodyGetsTheVirusPage) {
    Seen seen;
    scantest::ScriptedDaemon daemon(socket_daemon("1:EICAR-Test-File\n", &seen), socket_path());
    configure(socket_path(), "", 0);
    EXPECT_EQ(sophie_respcheck(connection, &body), SCAN_BLOCKED);
    delete connection->client;
    connection->client = nullptr;
    std::string page = nettest::read_until_close(link.peer, 2);
    EXPECT_NE(page.find("Sophie found the virus <b>EICAR-Test-File</b> in "
                        "<b>http://example.test/s.zip</b>"),
              std::string::npos) << page;
    EXPECT_EQ(connection->log.filter_name, "Sophie");
    EXPECT_EQ(connection->log.filtering_reason, "EICAR-Test-File");
    EXPECT_EQ(connection->log.cachecode(), "TCP_DENIED");
    EXPECT_EQ(connection->log.status, 403);
    EXPECT_NE(log().find("antivirus: detected EICAR-Test-File virus with Sophie"),
              std::string::npos);
}

} // namespace
