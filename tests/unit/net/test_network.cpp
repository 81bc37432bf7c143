// The network layer: listeners, accepting clients, connecting upstream with
// its three failures, and single socket options.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "net/connection.h"
#include "net/network.h"
#include "net/socket.h"
#include "support/net_test_support.h"

namespace {

class NetworkTest : public nettest::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        net_init();
    }
    void TearDown() override {
        net_listen_closeall();
        NetTest::TearDown();
    }

    int option(int fd, int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        getsockopt(fd, level, name, &value, &length);
        return value;
    }
};

} // namespace

TEST_F(NetworkTest, ConnectFailuresAreToldApart) {
    int closed_port = nettest::unused_port();
    const struct {
        const char* host;
        int port;
        int result;
        const char* logged;  // NULL: nothing
    } cases[] = {
        {nullptr, 80, -1, nullptr},
        {"127.0.0.1", 0, -1, nullptr},
        {"127.0.0.1", -5, -1, nullptr},
        {"", 80, -3, nullptr},
        {"127.0.0.1", closed_port, -2,
         "error: network: outbound connection: poll[1]: 111:Connection refused"},
    };
    uint64_t failed = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(net_connect(c.host, c.port, 5), c.result) << (c.host ? c.host : "NULL");
        EXPECT_EQ(performance_log->connection_fail.load(), ++failed);
        if (c.logged != nullptr) {
            EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        }
    }
    EXPECT_EQ(performance_log->new_connection.load(), 0u);
}

// A listener whose queue is full drops further connection attempts, so the
// connect can only end by its time-out.
TEST_F(NetworkTest, ConnectTimesOut) {
    nettest::Listener full(0);
    int first = net_connect("127.0.0.1", full.port, 5);
    ASSERT_GE(first, 0);
    EXPECT_EQ(net_connect("127.0.0.1", full.port, 1), -2);
    EXPECT_NE(log().find("error: network: outbound connection: poll[0]: 110:Connection timed out"),
              std::string::npos)
        << log();
    close(first);
}

TEST_F(NetworkTest, ConnectedDescriptorIsTunedAndBlocking) {
    TCP_KEEPIDLE_TIME = 300;
    TCP_KEEPINTVL_TIME = 20;
    TCP_KEEPCNT_COUNTS = 0; // keep the system's count
    nettest::Listener server;
    int fd = net_connect("127.0.0.1", server.port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 300);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 20);
    int fresh = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPCNT), option(fresh, IPPROTO_TCP, TCP_KEEPCNT));
    close(fresh);
    EXPECT_EQ(performance_log->new_connection.load(), 1u);
    EXPECT_EQ(performance_log->connection_fail.load(), 0u);
    close(fd);
}

TEST_F(NetworkTest, ConnectFromAChosenAddress) {
    nettest::Listener server;
    struct in_addr from;
    inet_pton(AF_INET, "127.0.0.2", &from);
    int fd = net_connect("localhost", server.port, from, 5);
    ASSERT_GE(fd, 0);
    int accepted = server.accept_one();
    struct sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    getpeername(accepted, reinterpret_cast<struct sockaddr*>(&peer), &length);
    char text[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text), "127.0.0.2");
    close(accepted);
    close(fd);
}

TEST_F(NetworkTest, ListenAcceptAndNumberTheAddresses) {
    int port = nettest::unused_port();
    int slot = net_listen(port, "127.0.0.1");
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(socklist[0].inuse, 1);
    EXPECT_EQ(socklist[0].port, port);
    EXPECT_STREQ(socklist[0].address, "127.0.0.1");
    EXPECT_EQ(fcntl(socklist[0].fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    std::string text = log();
    EXPECT_NE(text.find("network: listening on 127.0.0.1:" + std::to_string(port)),
              std::string::npos);
    EXPECT_NE(text.find("network: listen queue: "), std::string::npos);
    EXPECT_NE(text.find("advice: network: Memory allocation: per socket R/W: "), std::string::npos);

    // Nothing to accept: the wait ends empty.
    EXPECT_EQ(net_accept(0), nullptr);

    struct in_addr from;
    inet_pton(AF_INET, "127.0.0.3", &from);
    int client = net_connect("127.0.0.1", port, from, 5);
    ASSERT_GE(client, 0);
    CONNECTION_T* connection = net_accept(5);
    ASSERT_NE(connection, nullptr);
    EXPECT_STREQ(connection->client_ip, "127.0.0.3");
    EXPECT_EQ(connection->log.client, "127.0.0.3");
    EXPECT_STREQ(connection->interface_ip, "127.0.0.1");
    EXPECT_EQ(connection->port, port);
    ASSERT_NE(connection->client, nullptr);
    EXPECT_EQ(connection->client->Write("hi", 2), 2);
    char got[2];
    EXPECT_EQ(read(client, got, 2), 2);
    net_close(connection);
    close(client);
}

// Closing the listeners while the accept loop waits on them really ends
// the listening, and the loop takes nothing from them.
TEST_F(NetworkTest, CloseAllWhileAcceptWaits) {
    int port = nettest::unused_port();
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    CONNECTION_T* accepted = reinterpret_cast<CONNECTION_T*>(1);
    std::thread loop([&] { accepted = net_accept(10); });
    usleep(200000); // the loop is waiting by now
    net_listen_closeall();
    int late = net_connect("127.0.0.1", port, 5);
    EXPECT_EQ(late, -2);
    if (late >= 0)
        close(late);
    loop.join();
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(log().find("failed to accept"), std::string::npos);
}

TEST_F(NetworkTest, BlocksizeFollowsTheSocketBuffers) {
    BLOCKSIZE = 8192;
    ASSERT_GE(net_listen(nettest::unused_port(), "127.0.0.1"), 0);
    int fresh = socket(AF_INET, SOCK_STREAM, 0);
    unsigned system_size = static_cast<unsigned>(option(fresh, SOL_SOCKET, SO_RCVBUF));
    close(fresh);
    EXPECT_GE(BLOCKSIZE, system_size);
    EXPECT_NE(log().find("network: Memory allocation: per socket R/W: " +
                         std::to_string(BLOCKSIZE) + " bytes"),
              std::string::npos);
}

TEST_F(NetworkTest, AllAddressesAndTheTwentyFirstListener) {
    int port = nettest::unused_port();
    ASSERT_EQ(net_listen(port, nullptr), 0);
    EXPECT_EQ(socklist[0].address, nullptr);
    EXPECT_NE(log().find("network: listening on 0.0.0.0:" + std::to_string(port)),
              std::string::npos);
    for (int i = 1; i < SOCKLIST_SIZE; i++)
        ASSERT_EQ(net_listen(0, "127.0.0.1"), i);
    EXPECT_EQ(net_listen(0, "127.0.0.1"), -1);
    EXPECT_NE(log().find("network: error: failed to bind to 127.0.0.1:0"), std::string::npos);
    net_listen_closeall();
    for (const socklist_t& slot : socklist)
        EXPECT_EQ(slot.inuse, 0);
}

TEST_F(NetworkTest, BusyPortLeavesTheSlotFree) {
    nettest::Listener taken;
    EXPECT_EQ(net_listen(taken.port, "127.0.0.1"), -1);
    EXPECT_NE(log().find("network: error: failed to bind to 127.0.0.1:" +
                         std::to_string(taken.port)),
              std::string::npos);
    EXPECT_EQ(socklist[0].inuse, 0);
}

TEST_F(NetworkTest, ListenerKeepAliveSettings) {
    TCP_KEEPIDLE_TIME = 600;
    TCP_KEEPINTVL_TIME = 30;
    TCP_KEEPCNT_COUNTS = 0;
    ASSERT_EQ(net_listen(0, "127.0.0.1"), 0);
    int fd = socklist[0].fd;
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 600);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 30);
    std::string text = log();
    EXPECT_NE(text.find("network: Changed TCP_KEEPIDLE to 600 seconds"), std::string::npos);
    EXPECT_NE(text.find("network: Changed TCP_KEEPINTVL to 30 seconds"), std::string::npos);
    EXPECT_EQ(text.find("Changed TCP_KEEPCNT"), std::string::npos);
    EXPECT_NE(text.find("network: System Default TCP_KEEPCNT "), std::string::npos);
}

TEST_F(NetworkTest, ListenBacklog) {
    std::string file = dir + "/somaxconn";
    const struct {
        const char* content; // NULL: no file
        int maxthreads;
        int backlog;
    } cases[] = {
        {nullptr, 10, 10},
        {nullptr, 16384, 25},
        {"128\n", 16384, 128},
        {"128\n", 64, 64},
        {"many\n", 16384, 25},
    };
    for (const auto& c : cases) {
        remove(file.c_str());
        if (c.content != nullptr)
            std::ofstream(file) << c.content;
        MAXTHREADS = c.maxthreads;
        EXPECT_EQ(net_listen_backlog(file.c_str()), c.backlog) << (c.content ? c.content : "none");
    }
    std::string text = log();
    EXPECT_NE(text.find("network: default system somaxconn: 128"), std::string::npos);
    EXPECT_NE(text.find("error: default system somaxconn: 25"), std::string::npos);
    EXPECT_NE(text.find("network: listen queue: 10"), std::string::npos);
}

TEST_F(NetworkTest, SingleOptions) {
    nettest::Pair pair;
    int fd = pair.ours;
    nettest::send_all(pair.peer, "12345");
    unsigned long unread = 0;
    ASSERT_TRUE(nettest::wait_until([&] { return net_get_unread(fd, &unread) == 0 && unread == 5; }));
    EXPECT_EQ(net_get_unread(0, &unread), -1);

    EXPECT_EQ(net_blocking(fd, false), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(net_blocking(fd, true), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(net_blocking(-1, true), 0);

    nettest::Listener server;
    int tcp = net_connect("127.0.0.1", server.port, 5);
    ASSERT_GE(tcp, 0);
    EXPECT_EQ(set_nodelay(tcp, false), 0);
    EXPECT_EQ(option(tcp, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(SetACK(tcp, true), 0);
    net_linger_off(tcp);
    struct linger linger = {};
    socklen_t length = sizeof linger;
    getsockopt(tcp, SOL_SOCKET, SO_LINGER, &linger, &length);
    EXPECT_EQ(linger.l_onoff, 1);
    EXPECT_EQ(linger.l_linger, 0);
    // A unix-domain stream has no such option: reported, but nothing is wrong.
    EXPECT_EQ(set_nodelay(pair.ours, true), -EOPNOTSUPP);
    EXPECT_EQ(log().find("TCP_NODELAY retune"), std::string::npos);
    // On a descriptor that is no socket the failure is reported and logged.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_LT(set_nodelay(ends[0], true), 0);
    EXPECT_NE(log().find("error: [socket read TCP_NODELAY retune :"), std::string::npos);
    close(ends[0]);
    close(ends[1]);
    close(tcp);
}
