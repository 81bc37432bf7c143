// Client-side TLS of Socket against `openssl s_server` on loopback, with a
// certificate authority and server certificates made by the test.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "net/network.h"
#include "net/socket.h"
#include "support/net_test_support.h"

namespace {

// openssl s_server on a free loopback port, with its standard input on a
// pipe (echo mode sends what is written there) and its output in a file.
class TlsServer {
public:
    int port = 0;
    int input = -1;

    TlsServer(const std::string& dir, const std::vector<std::string>& options) {
        port = nettest::unused_port();
        output_ = dir + "/s_server." + std::to_string(port) + ".out";
        std::vector<std::string> args = {"openssl", "s_server", "-accept",
                                         "127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), options.begin(), options.end());
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipe_fds[0], 0);
            int out = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execvp("openssl", argv.data());
            _exit(127);
        }
        close(pipe_fds[0]);
        input = pipe_fds[1];
        // s_server says ACCEPT once it listens.
        ready_ = nettest::wait_until(
            [&] { return logtest::read_file(output_).find("ACCEPT") != std::string::npos; }, 20);
    }

    ~TlsServer() { stop(); }

    bool ready() const { return ready_; }

    // Ends the server at once: its socket closes without close_notify.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (input != -1) {
            close(input);
            input = -1;
        }
    }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string output_;
};

// The certificates are made once per process: the process's one TLS context
// reads its trusted authorities when it is first used.
class TlsTest : public nettest::NetTest {
protected:
    static std::string certs;
    static std::string ca, server_cert, server_key, other_cert, other_key, self_cert, self_key;

    static bool run(const std::string& command) {
        return system((command + " >>" + certs + "/openssl.log 2>&1").c_str()) == 0;
    }

    static bool issue(const std::string& name, const std::string& cn, const std::string& san) {
        std::string base = certs + "/" + name;
        std::ofstream(base + ".ext") << "subjectAltName=" << san << "\n";
        return run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                   " -keyout " + base + ".key -out " + base + ".csr -subj /CN=" + cn) &&
               run("openssl x509 -req -in " + base + ".csr -CA " + ca + " -CAkey " + certs +
                   "/ca.key -CAcreateserial -days 2 -out " + base + ".pem -extfile " + base +
                   ".ext");
    }

    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kestrivan-tls-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        certs = pattern;
        ca = certs + "/ca.pem";
        std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
        ASSERT_TRUE(run("openssl req -x509" + ec + " -keyout " + certs + "/ca.key -out " + ca +
                        " -subj '/CN=Kestrivan Test CA' -addext basicConstraints=critical,CA:TRUE"));
        ASSERT_TRUE(issue("server", "localhost", "DNS:localhost,IP:127.0.0.1"));
        ASSERT_TRUE(issue("other", "wrong.example", "DNS:wrong.example"));
        server_cert = certs + "/server.pem";
        server_key = certs + "/server.key";
        other_cert = certs + "/other.pem";
        other_key = certs + "/other.key";
        // A certificate for the right name that no trusted authority signed.
        self_cert = certs + "/self.pem";
        self_key = certs + "/self.key";
        ASSERT_TRUE(run("openssl req -x509" + ec + " -keyout " + self_key + " -out " + self_cert +
                        " -subj /CN=localhost -addext subjectAltName=DNS:localhost"));
        // The system store as this process sees it: the test's authority only.
        setenv("SSL_CERT_FILE", ca.c_str(), 1);
        setenv("SSL_CERT_DIR", certs.c_str(), 1);
    }

    static void TearDownTestSuite() { std::filesystem::remove_all(certs); }

    // A plain connection to the server, wrapped in a Socket.
    Socket* connect_to(int port) {
        int fd = net_connect("127.0.0.1", port, 5);
        return fd < 0 ? nullptr : new Socket(fd);
    }

    // A verified session with the server, or NULL.
    Socket* session_to(int port, const char* name = "localhost") {
        Socket* sock = connect_to(port);
        if (sock != nullptr && !sock->Encrypt(1, name)) {
            delete sock;
            return nullptr;
        }
        return sock;
    }

    static std::string read_all(Socket* sock) {
        std::string got;
        char piece[4096];
        for (int i = 0; i < 1000; i++) {
            int n = sock->Read(piece, sizeof piece, 5);
            if (n <= 0)
                break;
            got.append(piece, static_cast<size_t>(n));
        }
        return got;
    }
};

std::string TlsTest::certs, TlsTest::ca, TlsTest::server_cert, TlsTest::server_key,
    TlsTest::other_cert, TlsTest::other_key, TlsTest::self_cert, TlsTest::self_key;

} // namespace

TEST_F(TlsTest, VerifiedSessionCarriesData) {
    TlsServer server(dir, {"-cert", server_cert, "-key", server_key, "-www"});
    ASSERT_TRUE(server.ready());
    for (const char* name : {"localhost", "127.0.0.1"}) {
        Socket* sock = connect_to(server.port);
        ASSERT_NE(sock, nullptr);
        ASSERT_TRUE(sock->Encrypt(1, name)) << name << "\n" << log();
        EXPECT_EQ(sock->ssl, 1);
        const char request[] = "GET / HTTP/1.0\r\n\r\n";
        EXPECT_EQ(sock->Write(request, sizeof request - 1), static_cast<int>(sizeof request - 1));
        std::string page = read_all(sock);
        EXPECT_EQ(page.rfind("HTTP/1.0 200 ok\r\n", 0), 0u) << page.substr(0, 200);
        EXPECT_EQ(sock->bytes_read, page.size());
        delete sock;
    }
}

TEST_F(TlsTest, SessionsShareOneContext) {
    TlsServer server(dir, {"-cert", server_cert, "-key", server_key, "-www"});
    ASSERT_TRUE(server.ready());
    // s_server serves one connection at a time: one session after the other.
    Socket* first = session_to(server.port);
    ASSERT_NE(first, nullptr);
    SSL_CTX* shared = first->ssl_context;
    EXPECT_EQ(SSL_CTX_get_verify_mode(shared) & SSL_VERIFY_PEER, SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_ssl_method(shared), TLS_client_method());
    delete first;
    Socket* second = session_to(server.port);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->ssl_context, shared);
    delete second;
}

TEST_F(TlsTest, RefusedCertificatesLeaveTheSocketPlain) {
    const struct {
        std::string cert, key;
        const char* name;
        const char* reason;
    } cases[] = {
        {server_cert, server_key, "otherhost", "hostname mismatch"},
        {other_cert, other_key, "localhost", "hostname mismatch"},
        {self_cert, self_key, "localhost", "self-signed certificate"},
    };
    for (const auto& c : cases) {
        TlsServer server(dir, {"-cert", c.cert, "-key", c.key, "-www"});
        ASSERT_TRUE(server.ready());
        Socket* sock = connect_to(server.port);
        ASSERT_NE(sock, nullptr);
        EXPECT_FALSE(sock->Encrypt(1, c.name));
        EXPECT_EQ(sock->ssl, 0);
        EXPECT_EQ(sock->ssl_handle, nullptr);
        std::string expected =
            std::string("socket: TLS connection to ") + c.name + " failed: " + c.reason;
        EXPECT_NE(log().find(expected), std::string::npos) << log();
        delete sock;
    }
    Socket plain;
    EXPECT_FALSE(plain.Encrypt(1, ""));
    EXPECT_FALSE(plain.Encrypt(1, nullptr));
}

// The server shows the right certificate only to a client that names it
// through SNI; any other client gets one for another name.
TEST_F(TlsTest, ServerNameIsSent) {
    TlsServer server(dir, {"-cert", other_cert, "-key", other_key, "-cert2", server_cert, "-key2",
                           server_key, "-servername", "localhost", "-www"});
    ASSERT_TRUE(server.ready());
    Socket* sock = session_to(server.port);
    EXPECT_NE(sock, nullptr) << log();
    delete sock;
}

TEST_F(TlsTest, CloseWithoutCloseNotifyEndsTheData) {
    TlsServer server(dir, {"-cert", server_cert, "-key", server_key});
    ASSERT_TRUE(server.ready());
    Socket* sock = session_to(server.port);
    ASSERT_NE(sock, nullptr) << log();
    const char hello[] = "hello from the server\n";
    ASSERT_EQ(write(server.input, hello, sizeof hello - 1), static_cast<ssize_t>(sizeof hello - 1));
    char line[64];
    ASSERT_GT(sock->GetLine(line, sizeof line, 10), 0);
    EXPECT_STREQ(line, hello);
    server.stop(); // killed: TCP closes, no close_notify
    char rest[16];
    EXPECT_EQ(sock->Read(rest, sizeof rest, 10), 0);
    delete sock;
}

TEST_F(TlsTest, SilentServerTimesOutTheHandshake) {
    nettest::Listener silent; // completes TCP, never answers
    Socket* sock = connect_to(silent.port);
    ASSERT_NE(sock, nullptr);
    EXPECT_FALSE(sock->Encrypt(1, "localhost", 1));
    EXPECT_NE(log().find("socket: TLS connection to localhost failed: handshake timed out"),
              std::string::npos);
    // The descriptor is back in blocking mode for the caller.
    EXPECT_EQ(fcntl(sock->fd, F_GETFL) & O_NONBLOCK, 0);
    delete sock;
}

// A non-blocking TLS socket that meets a full send path queues the rest
// and later sends it from its (moved) buffer without losing a byte.
TEST_F(TlsTest, LargeWriteGoesOutWhole) {
    TlsServer server(dir, {"-cert", server_cert, "-key", server_key});
    ASSERT_TRUE(server.ready());
    Socket* sock = session_to(server.port);
    ASSERT_NE(sock, nullptr) << log();
    ASSERT_EQ(sock->Blocking(false), 0);
    const size_t total = 4 * 1024 * 1024;
    std::string payload(total, '~'); // a byte s_server's own output never holds
    int sent = sock->Write(payload.data(), static_cast<int>(total));
    ASSERT_GE(sent, 0);
    EXPECT_EQ(static_cast<size_t>(sent) + sock->write_pending, total);
    EXPECT_GT(sock->write_pending, 0u); // the send path filled up
    for (int i = 0; i < 1000 && sock->write_pending > 0; i++)
        ASSERT_GE(sock->Write(nullptr, -1), 0);
    sock->Flush();
    EXPECT_EQ(sock->write_pending, 0u);
    EXPECT_EQ(sock->bytes_written, total);
    std::string output = dir + "/s_server." + std::to_string(server.port) + ".out";
    EXPECT_TRUE(nettest::wait_until([&] {
        std::string text = logtest::read_file(output);
        return static_cast<size_t>(std::count(text.begin(), text.end(), '~')) == total;
    }, 20));
    delete sock;
}
