// The F-Prot client: reading the daemon's XML reports, the HTTP exchange
// against a scripted daemon (clean, infected, error, silent, closed early,
// malformed and over-long answers, the ports tried in order), and the
// section's scan with its option words, its block and its temporary file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <string.h>

#include <chrono>

#include <string>

#include "cache/cache.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "scan/fprot.h"
#include "scan/fprotd.h"
#include "support/scan_test_support.h"
#include "support/section_test_support.h"
#include "support/upstream_test_support.h"

namespace {

const char CLEAN_REPORT[] =
    "<?xml version=\"1.0\"?>\n<fprot-results><filename>f</filename>"
    "<summary code=\"0\">clean</summary></fprot-results>\n";
const char INFECTED_REPORT[] =
    "<?xml version=\"1.0\"?>\n<fprot-results><detected><name>EICAR_Test_File</name>"
    "</detected><summary code=\"3\">infected</summary></fprot-results>\n";

TEST(FProtReport, SummaryAndNameDecide) {
    struct Case {
        std::string report;
        int verdict;
        const char* name;
    } cases[] = {
        {CLEAN_REPORT, FPROT_REPORT_CLEAN, ""},
        {INFECTED_REPORT, FPROT_REPORT_INFECTED, "EICAR_Test_File"},
        {"<fprot-results><summary> INFECTED\n</summary></fprot-results>", FPROT_REPORT_INFECTED,
         ""},
        {"<fprot-results><summary/></fprot-results>", FPROT_REPORT_CLEAN, ""},
        {"<fprot-results><summary>infected</summary><detected/></fprot-results>",
         FPROT_REPORT_INFECTED, ""},
        {"<fprot-results><summary>infected</summary><detected><name>A\x01"
         "B</name></detected></fprot-results>",
         FPROT_REPORT_INFECTED, "A?B"},
        // Only the first summary counts.
        {"<fprot-results><summary>clean</summary><summary>infected</summary></fprot-results>",
         FPROT_REPORT_CLEAN, ""},
        // The declaration and its internal subset go before parsing; the
        // entity it declares is never expanded.
        {"<?xml version=\"1.0\"?><!DOCTYPE fprot-results [ <!ENTITY e SYSTEM "
         "\"file:///etc/passwd\"> ]><fprot-results><summary>infected</summary><detected>"
         "<name>Worm</name></detected></fprot-results>",
         FPROT_REPORT_INFECTED, "Worm"},
        {"<fprot-results><detected><name>x</name></detected></fprot-results>",
         FPROT_REPORT_UNPARSABLE, ""},
        {"<results><summary>infected</summary></results>", FPROT_REPORT_UNPARSABLE, ""},
        {"<fprot-results><summary>infected", FPROT_REPORT_UNPARSABLE, ""},
        {"<html>500 Internal Server Error</html>", FPROT_REPORT_UNPARSABLE, ""},
        {"", FPROT_REPORT_UNPARSABLE, ""},
    };
    for (const Case& c : cases) {
        std::string name;
        EXPECT_EQ(fprot_report_parse(c.report.data(), c.report.size(), &name), c.verdict)
            << c.report;
        EXPECT_EQ(name, c.name) << c.report;
    }
    // Only declarations with an internal subset go.
    EXPECT_EQ(fprot_report_strip_doctype("a<!doctype x [ y ]>b<!DOCTYPE z>c]>d<!DOCTYPE [ ]"),
              "ab<!DOCTYPE z>c]>d<!DOCTYPE [ ]");
}

// What a scripted daemon saw of one request.
struct Seen {
    std::string request; // the header
    std::string file;    // the content of the file the request named
};

std::string url_decoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A daemon that reads the request and the file it names, then answers
// `answer` (raw bytes) and closes, or stays silent after the request.
scantest::ScriptedDaemon::Script fprot_daemon(const std::string& answer, Seen* seen,
                                              bool silent = false) {
    return [answer, seen, silent](scantest::ScriptedDaemon& daemon, int fd) {
        std::string header;
        if (!daemon.read_to(fd, "\r\n\r\n", &header))
            return;
        seen->request = header;
        size_t start = header.find(' ') + 1;
        std::string path = url_decoded(header.substr(start, header.find('?') - start));
        seen->file = logtest::read_file(path);
        if (silent)
            daemon.stay_silent();
        else
            nettest::send_all(fd, answer);
    };
}

std::string http_answer(const std::string& report) {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + report;
}

// True when nobody accepts connections on the loopback port.
bool refuses(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool refused = connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0;
    close(fd);
    return refused;
}

class FProtDaemonTest : public nettest::UpstreamFixture {
protected:
    std::string path;
    void SetUp() override {
        UpstreamFixture::SetUp();
        path = dir + "/body file";
        configtest::write_file(path, "the body");
    }
};

TEST_F(FProtDaemonTest, AsksForThePathWithTheOptionsAndReadsTheReport) {
    Seen seen;
    scantest::ScriptedDaemon daemon(fprot_daemon(http_answer(INFECTED_REPORT), &seen));
    std::string name;
    EXPECT_EQ(fprotd_scan(path, "-archive=3%20-packed%20", daemon.port, 1, 5, &name),
              FPROTD_INFECTED);
    EXPECT_EQ(name, "EICAR_Test_File");
    daemon.finish();
    EXPECT_EQ(seen.request.substr(0, seen.request.find("\r\n")),
              "GET " + dir + "/body%20file?-archive=3%20-packed%20-remote-dtd%20 HTTP/1.0");
    EXPECT_NE(seen.request.find("\r\nHost: 127.0.0.1:" + std::to_string(daemon.port) + "\r\n"),
              std::string::npos) << seen.request;
    EXPECT_EQ(seen.file, "the body");
}

TEST_F(FProtDaemonTest, OnlyAWholeUsableReportIsAVerdict) {
    std::string big(FPROTD_REPORT_LIMIT, 'x');
    // SILENT: after the request; OPEN: keeps the connection after answering.
    enum After { CLOSE, SILENT, OPEN };
    struct Case {
        const char* label;
        std::string answer;
        After after;
        int verdict;
        const char* logged;
    } cases[] = {
        {"clean", http_answer(CLEAN_REPORT), CLOSE, FPROTD_CLEAN, nullptr},
        // Taken without waiting for the close.
        {"length-framed and kept open",
         "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(strlen(CLEAN_REPORT)) +
             "\r\n\r\n" + CLEAN_REPORT,
         OPEN, FPROTD_CLEAN, nullptr},
        {"bare report", CLEAN_REPORT, CLOSE, FPROTD_CLEAN, nullptr},
        {"error page", "HTTP/1.0 500 Error\r\n\r\n<html>no such file</html>", CLOSE,
         FPROTD_FAILED, "antivirus: error parsing F-Prot result XML"},
        {"malformed", http_answer("<fprot-results><summary>infec"), CLOSE, FPROTD_FAILED,
         "antivirus: error parsing F-Prot result XML"},
        {"silent", "", SILENT, FPROTD_FAILED, "no report from the daemon on 127.0.0.1:"},
        {"closed early", "", CLOSE, FPROTD_FAILED, "closed the connection without a report"},
        {"closed in the header", "HTTP/1.0 200 OK\r\nContent-", CLOSE, FPROTD_FAILED,
         "closed the connection within its answer's header"},
        {"closed in the report",
         "HTTP/1.0 200 OK\r\nContent-Length: 500\r\n\r\n<fprot-results>", CLOSE,
         FPROTD_FAILED, "closed the connection before the end of its report"},
        {"longer than the limit", http_answer(big), CLOSE, FPROTD_FAILED,
         "sent an answer longer than the report limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Seen seen;
        scantest::ScriptedDaemon daemon([&](scantest::ScriptedDaemon& d, int fd) {
            fprot_daemon(c.answer, &seen, c.after == SILENT)(d, fd);
            if (c.after == OPEN)
                d.stay_silent();
        });
        std::string name;
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(fprotd_scan(path, "", daemon.port, 1, 1, &name), c.verdict);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
        if (c.logged != nullptr) {
            EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        }
    }
}

TEST_F(FProtDaemonTest, PortsAreTriedInOrderUntilOneAccepts) {
    // A listener with two refusing ports just below it.
    for (int attempt = 0; attempt < 20; attempt++) {
        Seen seen;
        scantest::ScriptedDaemon daemon(fprot_daemon(http_answer(CLEAN_REPORT), &seen));
        int first = daemon.port - 2;
        if (first < 1024 || !refuses(first) || !refuses(first + 1))
            continue;
        std::string name;
        EXPECT_EQ(fprotd_scan(path, "", first, 5, 5, &name), FPROTD_CLEAN);
        daemon.finish();
        EXPECT_EQ(seen.file, "the body");
        EXPECT_EQ(log().find("connection to F-Prot daemon scanner failed"), std::string::npos);
        // Nobody on any port.
        EXPECT_EQ(fprotd_scan(path, "", first, 2, 5, &name), FPROTD_FAILED);
        EXPECT_NE(log().find("antivirus: connection to F-Prot daemon scanner failed"),
                  std::string::npos) << log();
        return;
    }
    GTEST_SKIP() << "no listener with two free ports below it";
}

// The section: rules, options, the cached-copy skip, the block and the file.
class FProtSectionTest : public nettest::UpstreamFixture {
protected:
    nettest::Pair link;
    CONNECTION_T* connection = nullptr;
    Filebuf body;

    void SetUp() override {
        UpstreamFixture::SetUp();
        sectiontest::load(*general_section, "<general><tempdir>" + dir + "</tempdir></general>");
        fprot_section = new FProtSection();
        connection = nettest::connection_on(link);
        connection->variables["URL"] = "http://example.test/file.bin";
        body.Add("infected body", 13);
    }
    void TearDown() override {
        delete connection->client;
        connection->client = nullptr;
        connection_free(connection);
        processors.Remove(fprot_respcheck);
        processors.Remove(fprot_buffcheck);
        fprot_section = nullptr;
        UpstreamFixture::TearDown();
    }
    void configure(int port, const std::string& options, const std::string& depth = "3") {
        sectiontest::load(*fprot_section,
                          "<fprot><enabled>true</enabled><template></template><rules>" +
                              sectiontest::elements({{"enabled", "true"},
                                                     {"comment", ""},
                                                     {"profiles", ""},
                                                     {"template", ""},
                                                     {"archive_depth", depth},
                                                     {"options", options}}) +
                              "</rules></fprot>");
        fprot_section->first_port = port;
        fprot_section->port_count = 1;
    }
    std::string client_received() {
        delete connection->client;
        connection->client = nullptr;
        return nettest::read_until_close(link.peer, 2);
    }
    // Files left in the temporary directory besides the error log.
    int leftovers() {
        int count = 0;
        DIR* folder = opendir(dir.c_str());
        while (struct dirent* entry = readdir(folder))
            if (std::string(entry->d_name).rfind("kestrivan-fprot.", 0) == 0)
                count++;
        closedir(folder);
        return count;
    }
};

TEST_F(FProtSectionTest, RuleOptionsBecomeTheQueryInTheirOrder) {
    struct Case {
        const char* options;
        const char* words;
    } cases[] = {
        {"", ""},
        {"packed,archive", "-archive=3%20-packed%20"},
        {"onlymacro,nomacro,noheur,ai", "-ai%20-noheur%20-nomacro%20-onlymacro%20"},
    };
    for (const Case& c : cases) {
        configure(1, c.options);
        EXPECT_EQ(fprot_section->rules.front().options_text(), c.words) << c.options;
    }
}

TEST_F(FProtSectionTest, InfectedBodyGetsTheVirusPageAndTheFileGoes) {
    Seen seen;
    scantest::ScriptedDaemon daemon(fprot_daemon(http_answer(INFECTED_REPORT), &seen));
    configure(daemon.port, "");
    EXPECT_EQ(fprot_respcheck(connection, &body), SCAN_BLOCKED);
    daemon.finish();
    EXPECT_EQ(seen.file, "infected body");
    EXPECT_NE(seen.request.find("?-remote-dtd%20 HTTP/1.0"), std::string::npos) << seen.request;
    EXPECT_EQ(leftovers(), 0);
    std::string page = client_received();
    EXPECT_NE(page.find("F-Prot found the virus <b>EICAR_Test_File</b> in "
                        "<b>http://example.test/file.bin</b>"),
              std::string::npos) << page;
    EXPECT_EQ(connection->variables["AVSCANNER"], "F-Prot");
    EXPECT_EQ(connection->log.filter_name, "f-prot");
    EXPECT_EQ(connection->log.filtering_reason, "EICAR_Test_File");
    EXPECT_EQ(connection->log.cachecode(), "TCP_DENIED");
    EXPECT_EQ(connection->log.status, 403);
    EXPECT_NE(log().find("antivirus: detected EICAR_Test_File virus with F-Prot"),
              std::string::npos) << log();
}

TEST_F(FProtSectionTest, UnnamedVirusIsBlockedAsUnknown) {
    Seen seen;
    scantest::ScriptedDaemon daemon(fprot_daemon(
        http_answer("<fprot-results><summary>Infected</summary></fprot-results>"), &seen));
    configure(daemon.port, "");
    EXPECT_EQ(fprot_respcheck(connection, &body), SCAN_BLOCKED);
    EXPECT_EQ(connection->log.filtering_reason, "unknown");
    EXPECT_NE(log().find("antivirus: detected unknown virus with F-Prot"), std::string::npos);
}

TEST_F(FProtSectionTest, CleanPassesAndFailuresPassUnjudged) {
    {
        Seen seen;
        scantest::ScriptedDaemon daemon(fprot_daemon(http_answer(CLEAN_REPORT), &seen));
        configure(daemon.port, "");
        EXPECT_EQ(fprot_respcheck(connection, &body), SCAN_PASS);
        EXPECT_FALSE(connection->flags & CONN_SCAN_INCOMPLETE);
        EXPECT_NE(log().find("antivirus: no viruses detected by F-Prot"), std::string::npos);
    }
    configure(nettest::unused_port(), "");
    EXPECT_EQ(fprot_respcheck(connection, &body), SCAN_PASS);
    EXPECT_TRUE(connection->flags & CONN_SCAN_INCOMPLETE);
    EXPECT_NE(log().find("antivirus: connection to F-Prot daemon scanner failed"),
              std::string::npos) << log();
    EXPECT_EQ(leftovers(), 0);
    EXPECT_EQ(client_received(), "");
}

TEST_F(FProtSectionTest, CleanCachedCopyIsNeverSentToTheDaemon) {
    Seen seen;
    scantest::ScriptedDaemon daemon(fprot_daemon(http_answer(INFECTED_REPORT), &seen));
    configure(daemon.port, "");
    CACHEMAP object = {};
    cache_section->flag_set(&object, CACHE_CLEAN);
    connection->cachemap = &object;
    EXPECT_EQ(fprot_buffcheck(connection, nullptr), 0);
    EXPECT_NE(log().find("antivirus: cached file already checked for viruses"),
              std::string::npos) << log();
    // Collected for another section all the same: still not scanned.
    EXPECT_EQ(fprot_respcheck(connection, &body), SCAN_PASS);
    EXPECT_EQ(daemon.served, 0);
    connection->cachemap = nullptr;
}

} // namespace
