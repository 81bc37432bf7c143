// The network section: configured listeners opened at start-up, and the
// local address of outgoing connections per profile, checked by what a
// loopback peer sees (127.0.0.2 and 127.0.0.3 need no set-up).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net/network.h"
#include "net/network_section.h"
#include "support/net_test_support.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

std::string listen_entry(const std::string& enabled, int port, const std::string& address) {
    return "<listen>" +
           elements({{"enabled", enabled}, {"comment", ""}, {"port", std::to_string(port)},
                     {"address", address}}) +
           "</listen>";
}

std::string interface_entry(const std::string& enabled, const std::string& profiles,
                            const std::string& address) {
    return "<interface>" +
           elements({{"enabled", enabled}, {"comment", ""}, {"groups", ""},
                     {"profiles", profiles}, {"address", address}}) +
           "</interface>";
}

class NetworkSectionTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        net_init();
        section = new NetworkSection();
        network_section = section;
    }
    void TearDown() override {
        net_listen_closeall();
        delete section;
        network_section = nullptr;
        ShippedSectionTest::TearDown();
    }
    NetworkSection* section = nullptr;
};

// The local address a peer listening on 127.0.0.1 sees for a connection
// bound the way the section says.
std::string peer_sees(CONNECTION_T* connection) {
    nettest::Listener listener;
    struct in_addr bound = network_section->interface_select(connection);
    int fd = net_connect("127.0.0.1", listener.port, bound, 5);
    if (fd < 0)
        return "connect failed";
    int accepted = listener.accept_one();
    struct sockaddr_in peer {};
    socklen_t length = sizeof peer;
    getpeername(accepted, reinterpret_cast<struct sockaddr*>(&peer), &length);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    close(accepted);
    close(fd);
    return text;
}

TEST_F(NetworkSectionTest, ListenersOpenOnlyWhenEnabledWithAPort) {
    int on_2 = nettest::unused_port(), on_3 = nettest::unused_port(), off = nettest::unused_port();
    sectiontest::load(*section, "<network>" + listen_entry("true", on_2, "127.0.0.2") +
                                    listen_entry("true", -1, "127.0.0.2") +
                                    listen_entry("false", off, "127.0.0.2") +
                                    listen_entry("true", on_3, "") + "</network>");
    EXPECT_EQ(section->check(), 2);

    struct Case {
        const char* address;
        int port;
        bool open;
    } cases[] = {{"127.0.0.2", on_2, true},  {"127.0.0.3", on_2, false},
                 {"127.0.0.3", on_3, true},  {"127.0.0.1", on_3, true},
                 {"127.0.0.2", off, false}};
    for (const Case& c : cases) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(c.port));
        inet_pton(AF_INET, c.address, &to.sin_addr);
        bool connected = connect(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to) == 0;
        close(fd);
        EXPECT_EQ(connected, c.open) << c.address << ":" << c.port;
    }

    // A listener that cannot be opened is logged and the others still open.
    net_listen_closeall();
    nettest::Listener taken(16, "127.0.0.2");
    int free_port = nettest::unused_port();
    sectiontest::load(*section, "<network>" + listen_entry("true", taken.port, "127.0.0.2") +
                                    listen_entry("true", free_port, "127.0.0.2") + "</network>");
    EXPECT_EQ(section->check(), 1);
    EXPECT_TRUE(logged("error: failed to bind to 127.0.0.2:" + std::to_string(taken.port) +
                       ": Address already in use"));
}

TEST_F(NetworkSectionTest, OutgoingAddressByProfile) {
    sectiontest::load(*section,
                      "<network>" + interface_entry("false", "", "127.0.0.5") +
                          interface_entry("true", "staff", "127.0.0.2") +
                          interface_entry("true", "!guest", "127.0.0.3") +
                          interface_entry("true", "guest", "not-an-address") + "</network>");
    struct Case {
        const char* profile;
        const char* seen;
    } cases[] = {{"staff", "127.0.0.2"}, {"", "127.0.0.3"}, {"guest", "127.0.0.1"}};
    for (const Case& c : cases) {
        Connection connection;
        if (c.profile[0] != '\0')
            connection->profiles.push_back(c.profile);
        EXPECT_EQ(peer_sees(connection.get()), c.seen) << c.profile;
    }
    EXPECT_TRUE(logged("binding outgoing connection to 127.0.0.2"));
    EXPECT_TRUE(logged("binding outgoing connection to not-an-address"));

    // No entries: any local address, nothing logged.
    sectiontest::load(*section, "<network></network>");
    Connection plain;
    EXPECT_EQ(network_section->interface_select(plain.get()).s_addr, htonl(INADDR_ANY));
}

} // namespace
