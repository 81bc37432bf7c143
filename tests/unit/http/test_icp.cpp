// ICP messages: one datagram is one message (never glued), lengths outside
// the datagram are dropped, and the server's answers to well-formed and
// malformed queries.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "http/icp.h"
#include "support/config_test_support.h"
#include "support/log_test_support.h"

namespace {

// A UDP socket pair on loopback: `sender` talks to `receiver`.
struct UdpPair {
    int receiver = -1;
    int sender = -1;
    struct sockaddr_in to {};
    UdpPair() {
        receiver = socket(AF_INET, SOCK_DGRAM, 0);
        sender = socket(AF_INET, SOCK_DGRAM, 0);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(receiver, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
        socklen_t length = sizeof to;
        getsockname(receiver, reinterpret_cast<struct sockaddr*>(&to), &length);
    }
    ~UdpPair() {
        close(receiver);
        close(sender);
    }
    void send(const std::string& datagram) {
        sendto(sender, datagram.data(), datagram.size(), 0,
               reinterpret_cast<struct sockaddr*>(&to), sizeof to);
    }
};

// A message: header fields, then the payload; `length` -1 = the real size.
std::string message(int opcode, const std::string& payload, int length = -1,
                    uint32_t number = 0x01020304) {
    std::string text(20, '\0');
    text[0] = static_cast<char>(opcode);
    text[1] = 2;
    uint16_t wire_length = htons(static_cast<uint16_t>(length < 0 ? 20 + payload.size() : length));
    memcpy(&text[2], &wire_length, 2);
    uint32_t wire_number = htonl(number);
    memcpy(&text[4], &wire_number, 4);
    text[8] = 'o';   // options, echoed
    text[16] = 10;   // sender address, echoed
    return text + payload;
}

std::string query_payload(const std::string& url) { return std::string("\x7f\0\0\x01", 4) + url + '\0'; }

struct PacketDeleter {
    void operator()(icp_packet* packet) const { free(packet); }
};
using Packet = std::unique_ptr<icp_packet, PacketDeleter>;
Packet new_packet() { return Packet(static_cast<icp_packet*>(calloc(1, sizeof(icp_packet)))); }

class IcpTest : public logtest::LogDirTest {};

TEST_F(IcpTest, EachDatagramIsOneMessage) {
    UdpPair pair;
    Packet packet = new_packet();
    struct sockaddr_in from;
    struct Case {
        const char* name;
        std::string datagram;
        int expected; // bytes, or -1
    } cases[] = {
        {"whole message", message(ICP_OP_QUERY, query_payload("http://a/")), 34},
        {"shorter than a header", std::string(12, '\1'), -1},
        {"length below 20", message(ICP_OP_QUERY, "abcd", 19), -1},
        // The rest of a message longer than its datagram is never glued on
        // from the next one.
        {"length beyond the datagram", message(ICP_OP_QUERY, query_payload("http://a/"), 200), -1},
        {"next datagram stands alone", message(ICP_OP_MISS, std::string("http://b/") + '\0'), 30},
    };
    for (const Case& c : cases) {
        pair.send(c.datagram);
        EXPECT_EQ(icp_packet_receive(pair.receiver, &from, packet.get()), c.expected) << c.name;
    }
    EXPECT_EQ(packet->opcode, ICP_OP_MISS);
    EXPECT_EQ(packet->length, 30);
    EXPECT_EQ(packet->request_number, 0x01020304u);
    EXPECT_STREQ(packet->payload, "http://b/");
    EXPECT_TRUE(configtest::log_has(log_path, "error: ICP packet too short"));
}

TEST_F(IcpTest, ServerAnswers) {
    Packet packet = new_packet();
    struct Case {
        const char* name;
        std::string received;
        int opcode;
        int length;
        std::string url;
        std::string log;
    } cases[] = {
        {"query: a miss, URL moved over the requester address",
         message(ICP_OP_QUERY, query_payload("http://www.example.com/x")), ICP_OP_MISS,
         20 + 25, "http://www.example.com/x", "miss: http://www.example.com:80/x"},
        {"header only", message(ICP_OP_QUERY, ""), ICP_OP_INVALID, 20, "",
         "error: received ICP QUERY with no payload"},
        {"no NUL in the URL area", message(ICP_OP_QUERY, std::string("\0\0\0\0http://a/", 13)),
         ICP_OP_INVALID, 20, "", "error: received ICP QUERY with no payload"},
        {"unparsable URL", message(ICP_OP_QUERY, query_payload("no url here")), ICP_OP_INVALID, 20,
         "", "error: received invalid URL in query"},
        {"not a query", message(ICP_OP_HIT, query_payload("http://a/")), ICP_OP_INVALID, 20, "",
         "error: unhandled ICP opcode: ICP_OP_HIT"},
    };
    for (const Case& c : cases) {
        memset(packet.get(), 0, sizeof(icp_packet));
        memcpy(packet.get(), c.received.data(), c.received.size());
        packet->length = static_cast<uint16_t>(c.received.size());
        packet->request_number = 77;
        icp_answer(packet.get());
        EXPECT_EQ(packet->opcode, c.opcode) << c.name;
        EXPECT_EQ(packet->length, c.length) << c.name;
        EXPECT_EQ(packet->request_number, 77u) << c.name;
        EXPECT_EQ(packet->options, static_cast<uint32_t>('o')) << c.name;
        if (!c.url.empty()) {
            EXPECT_STREQ(packet->payload, c.url.c_str()) << c.name;
        }
        EXPECT_TRUE(configtest::log_has(log_path, c.log)) << c.name;
    }
}

TEST(IcpNames, OpcodeNames) {
    EXPECT_STREQ(icp_opcode_name(0), "ICP_OP_INVALID");
    EXPECT_STREQ(icp_opcode_name(21), "ICP_OP_MISS_NOFETCH");
    EXPECT_STREQ(icp_opcode_name(23), "ICP_OP_HIT_OBJ");
    EXPECT_STREQ(icp_opcode_name(5), "ICP_OP_UNKNOWN");
}

} // namespace
