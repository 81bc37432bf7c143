// SOCKS4 and SOCKS5 clients: the bytes they send and how they read every
// reply, against a scripted fake for the error replies and against a real
// dante-server on loopback (with and without user name authentication).
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "http/header.h"
#include "http/upstream.h"
#include "net/dnscache.h"
#include "net/socks.h"
#include "support/upstream_test_support.h"

using namespace nettest;

namespace {

class SocksTest : public UpstreamFixture {
protected:
    Pair pair;
    CONNECTION_T* conn = nullptr;

    void SetUp() override {
        UpstreamFixture::SetUp();
        snprintf(username, sizeof username, "%s", "proxyuser");
        conn = connection_new();
        conn->client_ip = xstrdup("127.0.0.1");
        conn->server = new Socket(pair.take());
        conn->request = header_new();
        conn->request->host = xstrdup("192.0.2.7");
        conn->request->port = 8080;
    }
    void TearDown() override {
        delete conn->server;
        conn->server = nullptr;
        http_header_free(conn->request);
        conn->request = nullptr;
        connection_free(conn);
        UpstreamFixture::TearDown();
    }
    void set_credentials(const char* user, const char* password) {
        conn->parent_user = user ? xstrdup(user) : nullptr;
        conn->parent_password = password ? xstrdup(password) : nullptr;
    }
};

const std::string socks4_request =
    bytes({4, 1, 0x1F, 0x90, 192, 0, 2, 7}) + "proxyuser" + std::string(1, '\0');

struct Socks4Case {
    const char* name;
    std::string reply;
    int result;
};

TEST_F(SocksTest, Socks4RequestAndEveryReplyCode) {
    const Socks4Case cases[] = {
        {"granted", bytes({0, 0x5A, 0, 0, 0, 0, 0, 0}), 1},
        {"rejected", bytes({0, 0x5B, 0, 0, 0, 0, 0, 0}), -2},
        {"no identd", bytes({0, 0x5C, 0, 0, 0, 0, 0, 0}), -4},
        {"identd mismatch", bytes({0, 0x5D, 0, 0, 0, 0, 0, 0}), -4},
        {"unknown code", bytes({0, 0x42, 0, 0, 0, 0, 0, 0}), -1},
        {"seven bytes", bytes({0, 0x5A, 0, 0, 0, 0, 0}), -2},
        {"silent parent", "", -2},
    };
    for (const Socks4Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair link;
        delete conn->server;
        conn->server = new Socket(link.take());
        FakeParent parent(link.peer, {{socks4_request.size(), c.reply}});
        EXPECT_EQ(proxy_socks4(conn), c.result);
        EXPECT_EQ(parent.received(), socks4_request);
    }
}

TEST_F(SocksTest, Socks4UnresolvableHostSendsNothing) {
    free(conn->request->host);
    conn->request->host = xstrdup("name.invalid");
    dnscache_resolver = [](const char*) -> HOSTENT* { return nullptr; };
    FakeParent parent(pair.peer, {});
    EXPECT_EQ(proxy_socks4(conn), -3);
    EXPECT_EQ(parent.received(), "");
}

TEST_F(SocksTest, Socks4SendsTheWholeUserId) {
    std::string user(200, 'u');
    snprintf(username, sizeof username, "%s", user.c_str());
    std::string request = bytes({4, 1, 0x1F, 0x90, 192, 0, 2, 7}) + user + std::string(1, '\0');
    FakeParent parent(pair.peer, {{request.size(), bytes({0, 0x5A, 0, 0, 0, 0, 0, 0})}});
    EXPECT_EQ(proxy_socks4(conn), 1);
    EXPECT_EQ(parent.received(), request);
}

const std::string greeting = bytes({5, 2, 0, 2});

std::string connect_request(const std::string& host, int port) {
    return bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host +
           bytes({port >> 8, port & 0xFF});
}

struct Socks5Case {
    const char* name;
    const char* user;
    const char* password;
    std::vector<Step> steps;
    std::string expected_sent;
    int result;
};

TEST_F(SocksTest, Socks5DialoguesAndFailures) {
    const std::string conn_req = connect_request("192.0.2.7", 8080);
    const std::string login = bytes({1, 3}) + "ann" + bytes({6}) + "sesame";
    const std::string ok_v4 = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0x00});
    const Socks5Case cases[] = {
        {"no authentication", NULL, NULL,
         {{4, bytes({5, 0})}, {conn_req.size(), ok_v4}}, greeting + conn_req, 1},
        {"user and password accepted", "ann", "sesame",
         {{4, bytes({5, 2})}, {login.size(), bytes({1, 0})}, {conn_req.size(), ok_v4}},
         greeting + login + conn_req, 1},
        {"credentials refused", "ann", "sesame",
         {{4, bytes({5, 2})}, {login.size(), bytes({1, 1})}}, greeting + login, -2},
        {"credentials asked but none configured", NULL, NULL, {{4, bytes({5, 2})}}, greeting,
         -2},
        {"only a password configured", NULL, "sesame", {{4, bytes({5, 2})}}, greeting, -2},
        {"no acceptable method", NULL, NULL, {{4, bytes({5, 0xFF})}}, greeting, -2},
        {"host unreachable", NULL, NULL,
         {{4, bytes({5, 0})}, {conn_req.size(), bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0})}},
         greeting + conn_req, -2},
        {"short method reply", NULL, NULL, {{4, bytes({5})}}, greeting, -2},
        {"bound address cut short", NULL, NULL,
         {{4, bytes({5, 0})}, {conn_req.size(), bytes({5, 0, 0, 1, 127, 0})}},
         greeting + conn_req, -2},
    };
    for (const Socks5Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair link;
        delete conn->server;
        conn->server = new Socket(link.take());
        free(conn->parent_user);
        free(conn->parent_password);
        set_credentials(c.user, c.password);
        FakeParent parent(link.peer, c.steps);
        EXPECT_EQ(proxy_socks5(conn), c.result);
        EXPECT_EQ(parent.received(), c.expected_sent);
    }
}

TEST_F(SocksTest, Socks5ReadsEachBoundAddressFormWholeAndNoMore) {
    const std::string conn_req = connect_request("192.0.2.7", 8080);
    const std::string replies[] = {
        bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x04, 0x38}),
        bytes({5, 0, 0, 3, 6}) + "parent" + bytes({0x04, 0x38}),
        bytes({5, 0, 0, 4}) + std::string(16, '\1') + bytes({0x04, 0x38}),
    };
    for (const std::string& reply : replies) {
        Pair link;
        delete conn->server;
        conn->server = new Socket(link.take());
        // The first bytes of the tunnel arrive together with the reply.
        FakeParent parent(link.peer, {{4, bytes({5, 0})}, {conn_req.size(), reply + "HTTP/1.1"}});
        ASSERT_EQ(proxy_socks5(conn), 1);
        char tunnel[9] = "";
        EXPECT_EQ(conn->server->Read(tunnel, 8, 5), 8);
        EXPECT_STREQ(tunnel, "HTTP/1.1");
    }
}

TEST_F(SocksTest, Socks5OverlongFieldsAreRefusedWithoutSending) {
    // A host name that the length byte cannot carry: nothing at all is sent.
    std::string host(256, 'h');
    free(conn->request->host);
    conn->request->host = xstrdup(host.c_str());
    {
        FakeParent parent(pair.peer, {});
        EXPECT_EQ(proxy_socks5(conn), -2);
        EXPECT_EQ(parent.received(), "");
    }
    // Credentials over 255 bytes: the greeting goes out, the credentials
    // never do.
    free(conn->request->host);
    conn->request->host = xstrdup("192.0.2.7");
    std::string password(256, 'p');
    set_credentials("ann", password.c_str());
    FakeParent parent(pair.peer, {{4, bytes({5, 2})}});
    EXPECT_EQ(proxy_socks5(conn), -2);
    EXPECT_EQ(parent.received(), greeting);
}

// ---- Against a real dante-server ------------------------------------------

const char* const DANTED = "/usr/sbin/danted";

// An origin on loopback that answers one line with "hello " + that line.
class EchoOrigin {
public:
    Listener listener;
    EchoOrigin() {
        thread_ = std::thread([this] {
            struct pollfd entry = {listener.fd, POLLIN, 0};
            if (poll(&entry, 1, 15000) != 1)
                return;
            int fd = listener.accept_one();
            std::string line = read_until(fd, "\n", 10);
            send_all(fd, "hello " + line);
            read_until_close(fd, 2);
            close(fd);
        });
    }
    ~EchoOrigin() {
        // Wakes an accept that never came.
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(listener.port));
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        connect(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
        close(fd);
        thread_.join();
    }

private:
    std::thread thread_;
};

class DanteTest : public SocksTest {
protected:
    pid_t dante = -1;
    int dante_port = 0;
    std::string account;

    void SetUp() override {
        SocksTest::SetUp();
        if (access(DANTED, X_OK) != 0)
            GTEST_SKIP() << "dante-server is not installed (scripts/install-deps.sh)";
        general.timeout = 10;
        apply_general();
    }
    void TearDown() override {
        if (dante > 0) {
            kill(-dante, SIGTERM); // its own process group: the server and its helpers
            int status;
            waitpid(dante, &status, 0);
        }
        if (!account.empty())
            logtest::run("userdel " + account + " 2>&1");
        SocksTest::TearDown();
    }

    // Starts danted on a free loopback port with the given method; true
    // once it accepts connections.
    bool start_dante(const char* method) {
        dante_port = unused_port();
        std::string conf = dir + "/danted.conf";
        std::ofstream out(conf);
        out << "logoutput: " << dir << "/danted.log\n"
            << "internal: 127.0.0.1 port = " << dante_port << "\n"
            << "external: 127.0.0.1\n"
            << "socksmethod: " << method << "\n"
            << "clientmethod: none\n"
            << "user.privileged: root\n"
            << "user.unprivileged: nobody\n"
            << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
            << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n";
        out.close();
        std::string pidfile = dir + "/danted.pid";
        dante = fork();
        if (dante == 0) {
            setsid();
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execl(DANTED, "danted", "-f", conf.c_str(), "-p", pidfile.c_str(), (char*)NULL);
            _exit(127);
        }
        return wait_until([this] {
            int fd = net_connect("127.0.0.1", dante_port, 1);
            if (fd < 0)
                return false;
            close(fd);
            return true;
        }, 15);
    }

    // Connects the upstream socket to dante and points the request at the
    // origin.
    void route_to(int origin_port) {
        delete conn->server;
        int fd = net_connect("127.0.0.1", dante_port, 5);
        ASSERT_GE(fd, 0);
        conn->server = new Socket(fd);
        free(conn->request->host);
        conn->request->host = xstrdup("127.0.0.1");
        conn->request->port = origin_port;
    }

    // Sends a line through the tunnel and returns the origin's answer.
    std::string exchange(const char* line) {
        conn->server->Write(line, static_cast<int>(strlen(line)));
        conn->server->Flush();
        char answer[64] = "";
        int got = 0;
        while (got < 63 && strchr(answer, '\n') == NULL) {
            int n = conn->server->Read(answer + got, 63 - got, 5);
            if (n <= 0)
                break;
            got += n;
        }
        return answer;
    }

    // A throwaway system account for dante's user name method.
    bool make_account(const std::string& password) {
        if (geteuid() != 0)
            return false;
        account = "kvsocks" + std::to_string(getpid());
        logtest::run("useradd -M -s /usr/sbin/nologin " + account + " 2>&1");
        if (getpwnam(account.c_str()) == NULL) {
            account.clear();
            return false;
        }
        logtest::run("echo '" + account + ":" + password + "' | chpasswd 2>&1");
        return true;
    }
};

TEST_F(DanteTest, Socks4AndSocks5WithoutAuthentication) {
    ASSERT_TRUE(start_dante("none"));
    {
        EchoOrigin origin;
        route_to(origin.listener.port);
        ASSERT_EQ(proxy_socks4(conn), 1);
        EXPECT_EQ(exchange("four\n"), "hello four\n");
    }
    {
        EchoOrigin origin;
        route_to(origin.listener.port);
        ASSERT_EQ(proxy_socks5(conn), 1);
        EXPECT_EQ(exchange("five\n"), "hello five\n");
    }
    // A port nothing listens on: the parent's failure reply.
    route_to(unused_port());
    EXPECT_EQ(proxy_socks5(conn), -2);
    route_to(unused_port());
    EXPECT_EQ(proxy_socks4(conn), -2);
}

TEST_F(DanteTest, Socks5WithUserNameAuthentication) {
    if (!make_account("Kv-7ux!pw"))
        GTEST_SKIP() << "a throwaway account cannot be made here (needs root)";
    ASSERT_TRUE(start_dante("username"));
    {
        EchoOrigin origin;
        route_to(origin.listener.port);
        set_credentials(account.c_str(), "Kv-7ux!pw");
        ASSERT_EQ(proxy_socks5(conn), 1);
        EXPECT_EQ(exchange("authenticated\n"), "hello authenticated\n");
    }
    free(conn->parent_password);
    conn->parent_password = xstrdup("wrong");
    route_to(unused_port());
    EXPECT_EQ(proxy_socks5(conn), -2);
    // Without credentials the dialogue stops at the method choice.
    free(conn->parent_user);
    free(conn->parent_password);
    set_credentials(nullptr, nullptr);
    route_to(unused_port());
    EXPECT_EQ(proxy_socks5(conn), -2);
}

TEST_F(DanteTest, UpstreamRouteThroughDanteIsOpenedPooledAndKeptApart) {
    ASSERT_TRUE(start_dante("none"));
    EchoOrigin origin;
    conn->forward_mode = FORWARD_SOCKS5;
    conn->upstream_host = xstrdup("127.0.0.1");
    conn->upstream_port = dante_port;
    free(conn->request->host);
    conn->request->host = xstrdup("127.0.0.1");
    conn->request->port = origin.listener.port;
    conn->request->scheme = xstrdup("http");
    conn->request->type = REQUEST_PROXY;
    delete conn->server;
    conn->server = nullptr;
    ASSERT_GE(protocol_start(conn), 0);
    EXPECT_EQ(exchange("routed\n"), "hello routed\n");
    EXPECT_EQ(conn->log.peer, "127.0.0.1");

    // Parked, it serves the same route again, but never a direct request to
    // the same origin.
    Socket* tunnel = conn->server;
    conn->server_keepalive = 1;
    ASSERT_EQ(upstream_park(conn), 1);
    conn->forward_mode = FORWARD_DIRECT;
    ASSERT_GE(protocol_start(conn), 0);
    EXPECT_NE(conn->server, tunnel);
    EXPECT_FALSE(conn->flags & CONN_UPSTREAM_REUSED);
    delete conn->server;
    conn->server = nullptr;
    conn->forward_mode = FORWARD_SOCKS5;
    ASSERT_GE(protocol_start(conn), 0);
    EXPECT_EQ(conn->server, tunnel);
    EXPECT_TRUE(conn->flags & CONN_UPSTREAM_REUSED);
}

} // namespace
