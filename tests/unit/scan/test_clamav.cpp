// The clamd client: reading clamd's answers, the INSTREAM exchange against a
// scripted clamd on a unix-domain socket and on TCP (clean, infected, error
// answers, a body over the stream limit, a daemon that closes, one that
// stays silent), and the ClamAV section's scan with its block and its
// failures.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/filebuf.h"
#include "scan/clamav.h"
#include "scan/clamd.h"
#include "support/section_test_support.h"
#include "support/upstream_test_support.h"

namespace {

TEST(ClamdReply, VerdictIsTheLastWord) {
    struct Case {
        std::string reply;
        int verdict;
        const char* name;
    } cases[] = {
        {std::string("stream: OK\0", 11), CLAMD_REPLY_OK, ""},
        {"stream: OK\n", CLAMD_REPLY_OK, ""},
        {std::string("stream: Eicar-Test-Signature FOUND\0", 35), CLAMD_REPLY_FOUND,
         "Eicar-Test-Signature"},
        {"stream: Kestrivan.Test.Marker.UNOFFICIAL FOUND", CLAMD_REPLY_FOUND,
         "Kestrivan.Test.Marker.UNOFFICIAL"},
        // A name with a blank is still one name: the verdict is the last word.
        {"stream: Two Words FOUND", CLAMD_REPLY_FOUND, "Two Words"},
        {"FOUND", CLAMD_REPLY_FOUND, "unknown"},
        {"stream:  FOUND", CLAMD_REPLY_FOUND, "unknown"},
        {"stream: Bad\x01Name FOUND", CLAMD_REPLY_FOUND, "Bad?Name"},
        {std::string("INSTREAM size limit exceeded. ERROR\0", 36), CLAMD_REPLY_ERROR, ""},
        {"stream: Can't allocate memory ERROR", CLAMD_REPLY_ERROR, ""},
        {std::string("UNKNOWN COMMAND\0", 16), CLAMD_REPLY_UNKNOWN, ""},
        {"stream: ok", CLAMD_REPLY_UNKNOWN, ""},
        {"stream: OK FOUNDX", CLAMD_REPLY_UNKNOWN, ""},
        {"", CLAMD_REPLY_UNKNOWN, ""},
        {std::string("\0stream: OK", 11), CLAMD_REPLY_UNKNOWN, ""},
        {" \r\n", CLAMD_REPLY_UNKNOWN, ""},
    };
    for (const Case& c : cases) {
        std::string name;
        EXPECT_EQ(clamd_reply_parse(c.reply.data(), c.reply.size(), &name), c.verdict) << c.reply;
        EXPECT_EQ(name, c.name) << c.reply;
    }
}

// A clamd played on a unix-domain socket (a path) or on a loopback TCP port:
// it serves one connection, reassembles the INSTREAM chunks into `body` and
// then behaves as its mode says.
class ScriptedClamd {
public:
    enum Mode {
        ANSWER, // answers `reply` (with its NUL) after the last chunk, closes
        CLOSE,  // closes after the last chunk without a word
        LIMIT,  // once more than `limit` body bytes came: answers the size
                // error and closes without reading the rest, as clamd does
        SILENT, // accepts and then neither reads nor answers until destroyed
    };

    ScriptedClamd(Mode mode, const std::string& reply, const std::string& socket_path = "",
                  size_t limit = 0)
        : mode_(mode), reply_(reply), limit_(limit) {
        if (pipe(stop_) != 0)
            ADD_FAILURE() << "pipe";
        if (socket_path.empty()) {
            tcp_ = new nettest::Listener();
            listen_fd_ = tcp_->fd;
            port = tcp_->port;
            address = "127.0.0.1";
        } else {
            listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_un local = {};
            local.sun_family = AF_UNIX;
            snprintf(local.sun_path, sizeof local.sun_path, "%s", socket_path.c_str());
            unlink(socket_path.c_str());
            if (bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
                listen(listen_fd_, 4) != 0)
                ADD_FAILURE() << "cannot listen on " << socket_path;
            address = socket_path;
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedClamd() {
        if (write(stop_[1], "x", 1) != 1)
            ADD_FAILURE() << "stop";
        thread_.join();
        close(stop_[0]);
        close(stop_[1]);
        if (tcp_ != nullptr)
            delete tcp_;
        else
            close(listen_fd_);
    }
    // Waits for the exchange to end (not for a silent clamd).
    void finish() {
        for (int i = 0; i < 1000 && !done; i++)
            usleep(10000);
    }

    std::string address;
    int port = 0;
    std::string command;
    std::string body;
    std::atomic<bool> terminated{false}; // the zero-length chunk arrived
    std::atomic<bool> done{false};

private:
    // Waits up to 10 s for input on fd, or for the stop signal; false then.
    bool wait(int fd) {
        struct pollfd entries[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return poll(entries, 2, 10000) > 0 && (entries[0].revents & (POLLIN | POLLHUP)) &&
               !(entries[1].revents & POLLIN);
    }
    bool read_exactly(int fd, char* data, size_t length) {
        size_t got = 0;
        while (got < length) {
            if (!wait(fd))
                return false;
            ssize_t n = read(fd, data + got, length - got);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }
    void Serve() {
        if (!wait(listen_fd_))
            return;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd == -1)
            return;
        if (mode_ == SILENT) {
            struct pollfd entry = {stop_[0], POLLIN, 0};
            poll(&entry, 1, 30000);
            close(fd);
            return;
        }
        char c;
        while (read_exactly(fd, &c, 1) && c != '\0')
            command += c;
        for (;;) {
            uint32_t length;
            if (!read_exactly(fd, reinterpret_cast<char*>(&length), 4))
                break;
            length = ntohl(length);
            if (length == 0) {
                terminated = true;
                break;
            }
            std::string chunk(length, '\0');
            if (!read_exactly(fd, &chunk[0], length))
                break;
            body += chunk;
            if (mode_ == LIMIT && body.size() > limit_) {
                nettest::send_all(fd, std::string("INSTREAM size limit exceeded. ERROR\0", 36));
                break;
            }
        }
        if (mode_ == ANSWER && terminated)
            nettest::send_all(fd, reply_ + std::string(1, '\0'));
        close(fd);
        done = true;
    }

    Mode mode_;
    std::string reply_;
    size_t limit_;
    int stop_[2] = {-1, -1};
    int listen_fd_ = -1;
    nettest::Listener* tcp_ = nullptr;
    std::thread thread_;
};

Filebuf* filled(size_t size, char fill) {
    Filebuf* body = new Filebuf();
    std::string bytes(size, fill);
    for (size_t i = 0; i < size; i += 7)
        bytes[i] = static_cast<char>('a' + i % 26);
    body->Add(bytes.data(), static_cast<unsigned>(bytes.size()));
    return body;
}

class ClamdTest : public nettest::UpstreamFixture {
protected:
    std::string unix_path() { return dir + "/clamd.sock"; }
    size_t advice_count() {
        std::string text = log();
        size_t count = 0;
        const std::string advice = "advice: ClamAV: clamd refuses bodies over its StreamMaxLength";
        for (size_t at = text.find(advice); at != std::string::npos; at = text.find(advice, at + 1))
            count++;
        return count;
    }
    // Every failure ends with this line.
    bool failure_logged() {
        return log().find("antivirus: error: ClamAV: failed to check file for viruses") !=
               std::string::npos;
    }
};

TEST_F(ClamdTest, StreamsTheBodyInChunksAndReadsTheVerdictOnBothSockets) {
    Filebuf* body = filled(3 * CLAMD_CHUNK + 123, 'x');
    for (bool local : {true, false}) {
        SCOPED_TRACE(local ? "unix socket" : "tcp");
        {
            ScriptedClamd clamd(ScriptedClamd::ANSWER, "stream: OK", local ? unix_path() : "");
            std::string name;
            EXPECT_EQ(clamd_scan(clamd.address.c_str(), clamd.port, body, 5, &name), CLAMD_CLEAN);
            clamd.finish();
            EXPECT_EQ(clamd.command, "zINSTREAM");
            EXPECT_TRUE(clamd.terminated);
            EXPECT_EQ(clamd.body, std::string(body->data, body->size));
        }
        {
            ScriptedClamd clamd(ScriptedClamd::ANSWER, "stream: Test.Marker FOUND",
                                local ? unix_path() : "");
            std::string name;
            EXPECT_EQ(clamd_scan(clamd.address.c_str(), clamd.port, body, 5, &name),
                      CLAMD_INFECTED);
            EXPECT_EQ(name, "Test.Marker");
        }
    }
    EXPECT_FALSE(failure_logged()) << log();
    EXPECT_EQ(log().find("TCP_NODELAY"), std::string::npos) << log();
    delete body;
}

TEST_F(ClamdTest, AnswersWithoutAVerdictAreFailuresNeverClean) {
    Filebuf* body = filled(1000, 'y');
    struct Case {
        ScriptedClamd::Mode mode;
        const char* reply;
        const char* logged;
    } cases[] = {
        {ScriptedClamd::ANSWER, "stream: Can't allocate memory ERROR",
         "could not scan the body: stream: Can't allocate memory ERROR"},
        {ScriptedClamd::ANSWER, "UNKNOWN COMMAND", "unexpected answer from clamd at "},
        {ScriptedClamd::ANSWER, "garbage\nwith lines", "unexpected answer from clamd at "},
        {ScriptedClamd::CLOSE, "", "closed the connection without an answer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ScriptedClamd clamd(c.mode, c.reply, unix_path());
        std::string name;
        EXPECT_EQ(clamd_scan(clamd.address.c_str(), 0, body, 5, &name), CLAMD_FAILED);
        EXPECT_NE(log().find(c.logged), std::string::npos) << log();
    }
    EXPECT_NE(log().find("garbage?with lines"), std::string::npos) << log();
    EXPECT_TRUE(failure_logged());
    delete body;
}

TEST_F(ClamdTest, BodyOverTheStreamLimitIsAFailureWithAdvice) {
    Filebuf* body = filled(8 * CLAMD_CHUNK, 'z');
    for (bool local : {true, false}) {
        SCOPED_TRACE(local ? "unix socket" : "tcp");
        ScriptedClamd clamd(ScriptedClamd::LIMIT, "", local ? unix_path() : "", 2 * CLAMD_CHUNK);
        std::string name;
        size_t before = advice_count();
        EXPECT_EQ(clamd_scan(clamd.address.c_str(), clamd.port, body, 5, &name), CLAMD_FAILED);
        EXPECT_EQ(advice_count(), before + 1) << log();
    }
    EXPECT_TRUE(failure_logged());
    delete body;
}

TEST_F(ClamdTest, DaemonThatIsDownOrSilentCostsABoundedWait) {
    Filebuf* small = filled(100, 's');
    std::string name;
    EXPECT_EQ(clamd_scan(unix_path().c_str(), 0, small, 1, &name), CLAMD_FAILED);
    EXPECT_NE(log().find("ClamAV: Please Verify that ClamAV is listening on " + unix_path()),
              std::string::npos) << log();
    int closed_port = nettest::unused_port();
    EXPECT_EQ(clamd_scan("127.0.0.1", closed_port, small, 1, &name), CLAMD_FAILED);
    EXPECT_NE(log().find("listening on 127.0.0.1:" + std::to_string(closed_port)),
              std::string::npos) << log();

    // Silent after taking a small body: the answer is waited for 1 s.
    {
        ScriptedClamd clamd(ScriptedClamd::SILENT, "", unix_path());
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(clamd_scan(clamd.address.c_str(), 0, small, 1, &name), CLAMD_FAILED);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
        EXPECT_NE(log().find("no answer from clamd at " + unix_path() + " within 1 seconds"),
                  std::string::npos) << log();
    }
    // Silent and not reading: sending stops when the send limit runs out.
    Filebuf* big = filled(64 << 20, 'b');
    for (bool local : {true, false}) {
        SCOPED_TRACE(local ? "unix socket" : "tcp");
        ScriptedClamd clamd(ScriptedClamd::SILENT, "", local ? unix_path() : "");
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(clamd_scan(clamd.address.c_str(), clamd.port, big, 1, &name), CLAMD_FAILED);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    }
    EXPECT_NE(log().find("took no data for 1 seconds"), std::string::npos) << log();
    delete small;
    delete big;
}

// The section: what the client and the access-log record see.
class ClamAVSectionTest : public ClamdTest {
protected:
    nettest::Pair link;
    CONNECTION_T* connection = nullptr;

    void SetUp() override {
        ClamdTest::SetUp();
        clamav_section = new ClamAVSection();
        connection = nettest::connection_on(link);
        connection->variables["URL"] = "http://example.test/file.bin";
    }
    void TearDown() override {
        delete connection->client;
        connection->client = nullptr;
        connection_free(connection);
        clamav_section = nullptr;
        ClamdTest::TearDown();
    }
    void configure(const std::string& address, int port, const std::string& section_page = "") {
        sectiontest::load(*clamav_section,
                          "<clamav>" +
                              sectiontest::elements({{"enabled", "true"},
                                                     {"address", address},
                                                     {"port", std::to_string(port)},
                                                     {"template", section_page}}) +
                              "<rules>" +
                              sectiontest::elements({{"enabled", "true"},
                                                     {"comment", ""},
                                                     {"groups", ""},
                                                     {"profiles", ""},
                                                     {"template", ""}}) +
                              "</rules></clamav>");
    }
    std::string client_received() {
        delete connection->client;
        connection->client = nullptr;
        return nettest::read_until_close(link.peer, 2);
    }
};

TEST_F(ClamAVSectionTest, InfectedBodyIsAnsweredWithTheVirusPage) {
    ScriptedClamd clamd(ScriptedClamd::ANSWER, "stream: Test.Marker.UNOFFICIAL FOUND", "");
    configure(clamd.address, clamd.port);
    Filebuf* body = filled(5000, 'v');
    EXPECT_EQ(clamav_respcheck(connection, body), SCAN_BLOCKED);
    std::string page = client_received();
    EXPECT_NE(page.find("ClamAV found the virus <b>Test.Marker.UNOFFICIAL</b> in "
                        "<b>http://example.test/file.bin</b>"),
              std::string::npos) << page;
    EXPECT_EQ(connection->variables["AVSCANNER"], "ClamAV");
    EXPECT_EQ(connection->variables["VIRUSNAME"], "Test.Marker.UNOFFICIAL");
    EXPECT_EQ(connection->variables["FILTER"], "Antivirus");
    EXPECT_EQ(connection->variables["REASON"], "Test.Marker.UNOFFICIAL");
    EXPECT_EQ(connection->log.filter_name, "ClamAV");
    EXPECT_EQ(connection->log.filtering_reason, "Test.Marker.UNOFFICIAL");
    EXPECT_EQ(connection->log.cachecode(), "TCP_DENIED");
    EXPECT_EQ(connection->log.status, 403);
    EXPECT_NE(log().find("antivirus: ClamAV: detected Test.Marker.UNOFFICIAL virus"),
              std::string::npos) << log();
    delete body;
}

TEST_F(ClamAVSectionTest, CleanBodyPassesAndFailuresPassUnjudged) {
    Filebuf* body = filled(5000, 'c');
    {
        ScriptedClamd clamd(ScriptedClamd::ANSWER, "stream: OK", unix_path());
        configure(clamd.address, 0);
        EXPECT_EQ(clamav_respcheck(connection, body), SCAN_PASS);
        EXPECT_FALSE(connection->flags & CONN_SCAN_INCOMPLETE);
    }
    // Down: passes, logged, and the road is told the body was not judged.
    configure(dir + "/gone.sock", 0);
    EXPECT_EQ(clamav_respcheck(connection, body), SCAN_PASS);
    EXPECT_TRUE(connection->flags & CONN_SCAN_INCOMPLETE);
    EXPECT_TRUE(failure_logged());
    EXPECT_EQ(connection->log.filter_name, "-");
    EXPECT_EQ(client_received(), "");
    delete body;
}

} // namespace
