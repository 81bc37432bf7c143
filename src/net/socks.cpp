#include "net/socks.h"

#include <string.h>

#include "config/general.h"
#include "core/daemon.h"
#include "core/mem.h"
#include "http/header.h"
#include "net/connection.h"
#include "net/dnscache.h"
#include "net/relay.h"
#include "net/socket.h"

// Seconds each read of a handshake may wait.
static int socks_timeout(CONNECTION_T* connection) {
    if (general_section == NULL)
        return 60;
    int seconds = general_section->timeout_get(connection);
    return seconds > 0 ? seconds : 60;
}

// Writes the whole request and waits (bounded) until it is out; false on a
// write failure or a parent that takes nothing.
static bool socks_send(Socket* sock, const unsigned char* data, unsigned length, int timeout) {
    if (sock->Write(reinterpret_cast<const char*>(data), static_cast<int>(length)) == -1)
        return false;
    return net_drain(sock, timeout);
}

// Reads exactly `length` bytes, each wait bounded; false when fewer came.
static bool socks_receive(Socket* sock, unsigned char* data, unsigned length, int timeout) {
    unsigned got = 0;
    while (got < length) {
        int n = sock->Read(reinterpret_cast<char*>(data) + got, static_cast<int>(length - got),
                           timeout);
        if (n <= 0)
            return false;
        got += static_cast<unsigned>(n);
    }
    return true;
}

static bool request_usable(CONNECTION_T* connection) {
    return connection != NULL && connection->server != NULL && connection->request != NULL &&
           connection->request->host != NULL && connection->request->host[0] != '\0' &&
           connection->request->port > 0 && connection->request->port <= 65535;
}

int proxy_socks4(CONNECTION_T* connection) {
    if (connection == NULL || connection->server == NULL)
        return -2;
    if (!request_usable(connection))
        return -3;
    size_t user_length = strlen(username);
    if (user_length > SOCKS_FIELD_MAX)
        return -2;
    HOSTENT* resolved = net_dns(connection->request->host);
    if (resolved == NULL)
        return -3;

    // version, command, port (2), address (4), user id, NUL
    unsigned char request[8 + SOCKS_FIELD_MAX + 1];
    unsigned port = static_cast<unsigned>(connection->request->port);
    request[0] = 0x04;
    request[1] = 0x01;
    request[2] = static_cast<unsigned char>(port >> 8);
    request[3] = static_cast<unsigned char>(port & 0xFF);
    memcpy(request + 4, resolved->addr, 4);
    hostent_free(resolved);
    memcpy(request + 8, username, user_length);
    request[8 + user_length] = '\0';
    int timeout = socks_timeout(connection);
    if (!socks_send(connection->server, request, static_cast<unsigned>(8 + user_length + 1),
                    timeout))
        return -2;

    unsigned char reply[8];
    if (!socks_receive(connection->server, reply, sizeof reply, timeout))
        return -2;
    switch (reply[1]) {
    case 0x5A:
        return 1;
    case 0x5B:
        return -2;
    case 0x5C:
    case 0x5D:
        return -4;
    default:
        return -1;
    }
}

// The user/password sub-negotiation of RFC 1929: true when the parent
// accepted the credentials.
static bool socks5_login(CONNECTION_T* connection, int timeout) {
    const char* user = connection->parent_user;
    const char* password = connection->parent_password;
    if (user == NULL || password == NULL)
        return false;
    size_t user_length = strlen(user);
    size_t password_length = strlen(password);
    if (user_length > SOCKS_FIELD_MAX || password_length > SOCKS_FIELD_MAX)
        return false;
    unsigned char request[3 + 2 * SOCKS_FIELD_MAX];
    unsigned n = 0;
    request[n++] = 0x01;
    request[n++] = static_cast<unsigned char>(user_length);
    memcpy(request + n, user, user_length);
    n += static_cast<unsigned>(user_length);
    request[n++] = static_cast<unsigned char>(password_length);
    memcpy(request + n, password, password_length);
    n += static_cast<unsigned>(password_length);
    bool sent = socks_send(connection->server, request, n, timeout);
    // The password does not stay on the stack longer than needed.
    memset(request, 0, sizeof request);
    if (!sent)
        return false;
    unsigned char reply[2];
    return socks_receive(connection->server, reply, sizeof reply, timeout) && reply[1] == 0x00;
}

int proxy_socks5(CONNECTION_T* connection) {
    if (!request_usable(connection))
        return -2;
    const char* host = connection->request->host;
    size_t host_length = strlen(host);
    if (host_length > SOCKS_FIELD_MAX)
        return -2;
    Socket* server = connection->server;
    int timeout = socks_timeout(connection);

    static const unsigned char greeting[] = {0x05, 0x02, 0x00, 0x02};
    unsigned char choice[2];
    if (!socks_send(server, greeting, sizeof greeting, timeout) ||
        !socks_receive(server, choice, sizeof choice, timeout))
        return -2;
    if (choice[1] == 0x02) {
        if (!socks5_login(connection, timeout))
            return -2;
    } else if (choice[1] != 0x00) {
        return -2;
    }

    unsigned char request[5 + SOCKS_FIELD_MAX + 2];
    unsigned n = 0;
    unsigned port = static_cast<unsigned>(connection->request->port);
    request[n++] = 0x05;
    request[n++] = 0x01;
    request[n++] = 0x00;
    request[n++] = 0x03;
    request[n++] = static_cast<unsigned char>(host_length);
    memcpy(request + n, host, host_length);
    n += static_cast<unsigned>(host_length);
    request[n++] = static_cast<unsigned char>(port >> 8);
    request[n++] = static_cast<unsigned char>(port & 0xFF);
    unsigned char reply[4];
    if (!socks_send(server, request, n, timeout) ||
        !socks_receive(server, reply, sizeof reply, timeout) ||
        reply[1] != 0x00)
        return -2;

    // The bound address is not used; it is read so that the first byte
    // after the reply belongs to the tunnel.
    unsigned rest;
    switch (reply[3]) {
    case 0x01:
        rest = 6;
        break;
    case 0x03: {
        unsigned char length;
        if (!socks_receive(server, &length, 1, timeout))
            return -2;
        rest = length + 2u;
        break;
    }
    case 0x04:
        rest = 18;
        break;
    default:
        rest = 2;
        break;
    }
    unsigned char bound[SOCKS_FIELD_MAX + 2];
    if (!socks_receive(server, bound, rest, timeout))
        return -2;
    return 1;
}
