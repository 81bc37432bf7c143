#include "relay.h"

#include "connection.h"
#include "filebuf.h"
#include "socket.h"

int net_filebuf_send(Filebuf* fb, CONNECTION_T* conn, int side) {
    if (side == 0 && (conn->flags & CONN_NO_CLIENT))
        return static_cast<int>(fb->size);
    Socket* sock = side == 0 ? conn->client : conn->server;
    if (sock == nullptr)
        return -1;
    return sock->WriteFilebuf(fb);
}
