#include "http/icp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cache/cache.h"
#include "core/compat.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/url.h"

const char* icp_opcode_name(int opcode) {
    switch (opcode) {
    case ICP_OP_INVALID: return "ICP_OP_INVALID";
    case ICP_OP_QUERY: return "ICP_OP_QUERY";
    case ICP_OP_HIT: return "ICP_OP_HIT";
    case ICP_OP_MISS: return "ICP_OP_MISS";
    case ICP_OP_ERR: return "ICP_OP_ERR";
    case ICP_OP_SECHO: return "ICP_OP_SECHO";
    case ICP_OP_DECHO: return "ICP_OP_DECHO";
    case ICP_OP_MISS_NOFETCH: return "ICP_OP_MISS_NOFETCH";
    case ICP_OP_DENIED: return "ICP_OP_DENIED";
    case ICP_OP_HIT_OBJ: return "ICP_OP_HIT_OBJ";
    default: return "ICP_OP_UNKNOWN";
    }
}

int icp_packet_send(int fd, struct sockaddr_in* to, icp_packet* packet) {
    uint16_t length = packet->length;
    uint32_t number = packet->request_number;
    packet->length = htons(length);
    packet->request_number = htonl(number);
    ssize_t sent = sendto(fd, packet, length, 0, reinterpret_cast<struct sockaddr*>(to),
                          sizeof *to);
    packet->length = length;
    packet->request_number = number;
    return static_cast<int>(sent);
}

int icp_packet_receive(int fd, struct sockaddr_in* from, icp_packet* packet) {
    socklen_t from_length = sizeof *from;
    ssize_t received;
    do
        received = recvfrom(fd, packet, ICP_RECEIVE_MAX, 0,
                            reinterpret_cast<struct sockaddr*>(from), &from_length);
    while (received == -1 && errno == EINTR);
    if (received <= 0)
        return -1;
    if (static_cast<size_t>(received) < ICP_HEADER_SIZE) {
        putlog(LOG_ICP, "error: ICP packet too short");
        return -1;
    }
    uint16_t length = ntohs(packet->length);
    if (length < ICP_HEADER_SIZE) {
        putlog(LOG_ICP, "error: ICP packet too short");
        return -1;
    }
    // The datagram is the whole message: a length beyond it is a lie, and
    // the rest of the message will never come.
    if (length > received) {
        putlog(LOG_ICP, "error: ICP packet length %u exceeds the %d bytes received",
               static_cast<unsigned>(length), static_cast<int>(received));
        return -1;
    }
    packet->length = length;
    packet->request_number = ntohl(packet->request_number);
    return static_cast<int>(received);
}

static void answer_invalid(icp_packet* packet) {
    packet->opcode = ICP_OP_INVALID;
    packet->length = ICP_HEADER_SIZE;
}

void icp_answer(icp_packet* packet) {
    if (packet->opcode != ICP_OP_QUERY) {
        putlog(LOG_ICP, "error: unhandled ICP opcode: %s", icp_opcode_name(packet->opcode));
        answer_invalid(packet);
        return;
    }
    // The URL lies between the requester address and the end of the
    // message, and must end with a NUL inside it.
    size_t url_area = packet->length > ICP_HEADER_SIZE + 4 ? packet->length - ICP_HEADER_SIZE - 4
                                                           : 0;
    if (url_area == 0 || memchr(packet->payload + 4, '\0', url_area) == NULL) {
        answer_invalid(packet);
        putlog(LOG_ICP, "error: received ICP QUERY with no payload");
        return;
    }
    URL* url = url_parse(packet->payload + 4);
    if (url == NULL) {
        answer_invalid(packet);
        putlog(LOG_ICP, "error: received invalid URL in query");
        return;
    }
    char* key = url_create(url);
    url_free(url);
    if (key == NULL)
        FATAL("src/icp");

    memmove(packet->payload, packet->payload + 4, url_area);
    packet->length = static_cast<uint16_t>(packet->length - 4);
    if (cache_section != NULL && cache_section->exists(key) == 1) {
        packet->opcode = ICP_OP_HIT;
        putlog(LOG_ICP, "hit: %s", key);
    } else {
        packet->opcode = ICP_OP_MISS;
        putlog(LOG_ICP, "miss: %s", key);
    }
    free(key);
}

void* icp_thread(void*) {
    int port = cache_section != NULL ? cache_section->icpport_get() : 0;
    if (port == 0)
        return nullptr;

    int fd = s_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (fd == -1 || bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == -1) {
        if (fd != -1)
            close(fd);
        putlog(LOG_ERROR, "ICP: failed to start ICP thread");
        return nullptr;
    }
    putlog(LOG_ICP, "network: listening on port *:%d", port);

    icp_packet* packet = static_cast<icp_packet*>(xmalloc(sizeof(icp_packet)));
    if (packet == NULL)
        FATAL_ALLOC("src/icp", static_cast<unsigned>(sizeof(icp_packet)));
    for (;;) {
        struct pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, -1);
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            // The socket itself is broken: waiting again would spin.
            putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, ICP server wait failed", errno,
                   strerror(errno), __func__);
            break;
        }
        struct sockaddr_in from;
        if (icp_packet_receive(fd, &from, packet) == -1)
            continue;
        icp_answer(packet);
        icp_packet_send(fd, &from, packet);
    }
    free(packet);
    close(fd);
    return nullptr;
}
