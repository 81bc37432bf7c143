// ICP (Internet Cache Protocol, RFC 2186) messages over UDP: sending and
// receiving one message, the opcode names, and the ICP server thread that
// answers other proxies' queries from the cache.
//
// Contract:
// - One UDP datagram is one ICP message. icp_packet_receive never glues
//   datagrams together: a datagram shorter than the 20-byte header, or
//   whose length field is below 20 or beyond the bytes received, is
//   dropped (-1).
// - In memory an icp_packet holds `length` and `request_number` in host
//   order; every other field stays as on the wire (network order).
//   icp_packet_send writes both in network order and puts them back.
// - The server thread reads the ICP port once (a change needs a restart),
//   waits with poll, and answers malformed or unexpected messages with
//   ICP_OP_INVALID; it only reads the cache (CacheSection::exists).
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

enum {
    ICP_OP_INVALID = 0,
    ICP_OP_QUERY = 1,
    ICP_OP_HIT = 2,
    ICP_OP_MISS = 3,
    ICP_OP_ERR = 4,
    ICP_OP_SECHO = 10,
    ICP_OP_DECHO = 11,
    ICP_OP_MISS_NOFETCH = 21,
    ICP_OP_DENIED = 22,
    ICP_OP_HIT_OBJ = 23,
};

// Queries carry the version of RFC 2186 (2), which every ICP peer speaks;
// squid (5.x) dies on version-3 queries after answering them.
constexpr uint8_t ICP_VERSION = 2;
constexpr size_t ICP_HEADER_SIZE = 20;
// Whole buffer of one message, and the most bytes one receive takes.
constexpr size_t ICP_BUFFER_SIZE = 65568;
constexpr size_t ICP_RECEIVE_MAX = 65546;
// The largest message the 16-bit length field can describe.
constexpr size_t ICP_MESSAGE_MAX = 65535;

struct icp_packet {
    uint8_t opcode;
    uint8_t version;
    uint16_t length;         // whole message, header included (host order)
    uint32_t request_number; // host order
    uint32_t options;
    uint32_t option_data;
    uint32_t sender;         // sender host address (IPv4, network order)
    // Query: requester address (4 bytes), URL, NUL. HIT/MISS: URL, NUL.
    char payload[ICP_BUFFER_SIZE - ICP_HEADER_SIZE];
};
static_assert(offsetof(icp_packet, payload) == ICP_HEADER_SIZE, "ICP header is 20 bytes");

// sendto of `length` bytes; sendto's result.
int icp_packet_send(int fd, struct sockaddr_in* to, icp_packet* packet);

// Receives one datagram as one message (see the contract); the bytes
// received, or -1 (nothing received, or a malformed message, logged).
int icp_packet_receive(int fd, struct sockaddr_in* from, icp_packet* packet);

// "ICP_OP_QUERY" and the like; "ICP_OP_UNKNOWN" for any other value.
const char* icp_opcode_name(int opcode);

// Builds the answer to one received message in place (the server's
// decision, kept apart from the socket so it can be checked on its own):
// QUERY with a URL the cache holds -> HIT, else MISS (URL moved over the
// requester address, length reduced by 4); anything malformed or another
// opcode -> INVALID with length 20. The other header fields are echoed.
void icp_answer(icp_packet* packet);

// Service thread answering ICP queries on the cache section's ICP port;
// returns at once when the port is 0 or the socket cannot be opened.
void* icp_thread(void*);
