#include "net/relay.h"

#include <errno.h>
#include <poll.h>
#include <string.h>

#include <memory>

#include "cache/cache.h"
#include "config/general.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "http/header.h"
#include "http/header_io.h"
#include "net/connection.h"
#include "net/network.h"
#include "net/socket.h"

static const short POLL_TROUBLE = POLLERR | POLLHUP | POLLNVAL;

static Socket* side_socket(CONNECTION_T* conn, int side) {
    return side == SIDE_SERVER ? conn->server : conn->client;
}

static Socket* other_socket(CONNECTION_T* conn, int side) {
    return side == SIDE_SERVER ? conn->client : conn->server;
}

static const char* client_address(CONNECTION_T* conn) {
    return conn->client_ip != NULL ? conn->client_ip : "-";
}

static unsigned block_size() { return BLOCKSIZE > 0 ? BLOCKSIZE : 8192; }

// The relays' piece buffer, one per thread and kept for its life: a block
// is as large as the socket buffers (128 KiB by default), and allocating
// and freeing one for every response made the allocator merge and split
// its free chunks each time. Pages are taken only as far as pieces reach.
// The two relays never run inside one another on a thread.
static char* relay_piece(unsigned size) {
    static thread_local std::unique_ptr<char[]> piece;
    static thread_local unsigned capacity = 0;
    if (capacity < size) {
        piece.reset(new char[size]);
        capacity = size;
    }
    return piece.get();
}

// The connection's I/O time-out in seconds.
static int io_timeout(CONNECTION_T* conn) {
    int seconds = general_section != NULL ? general_section->timeout_get(conn) : 60;
    return seconds > 0 ? seconds : 60;
}

// Seconds each read wait of a one-way transfer lasts: the body of a non-200
// response gets 1 second, everything else the I/O time-out.
static int read_wait(CONNECTION_T* conn, int side) {
    if (side == SIDE_SERVER && conn->response != NULL && conn->response->status != 200)
        return 1;
    return io_timeout(conn);
}

// The receiving side cannot take more: it will be closed after this
// request, and nothing stored from it.
static void mark_failed(CONNECTION_T* conn, int side) {
    conn->flags |= CONN_TRANSFER_FAILED;
    if (side == SIDE_SERVER)
        conn->server_keepalive = 0;
    else
        conn->client_keepalive = 0;
}

bool net_drain(Socket* sock, int timeout) {
    bool delivered = true;
    sock->Freeze(false);
    if (sock->write_pending > 0) {
        sock->Blocking(false);
        while (sock->write_pending > 0) {
            if (sock->Write(NULL, -1) == -1) {
                delivered = false;
                break;
            }
            if (sock->write_pending == 0)
                break;
            struct pollfd entry = {sock->fd, POLLOUT, 0};
            int ready = poll(&entry, 1, timeout * 1000);
            if (ready == -1 && errno == EINTR)
                continue;
            if (ready <= 0 || (entry.revents & POLLOUT) == 0) {
                delivered = false;
                break;
            }
        }
    }
    sock->Blocking(true);
    return delivered;
}

uint64_t relay_buffer_limit(CONNECTION_T* conn, int side) {
    unsigned limit = 0;
    if (general_section != NULL)
        limit = side == SIDE_SERVER ? general_section->maxdbuffer_get(conn)
                                    : general_section->maxubuffer_get(conn);
    return limit > 0 ? limit : RELAY_BUFFER_DEFAULT_MAX;
}

// ---- Sending ----------------------------------------------------------------

int net_filebuf_send(Filebuf* fb, CONNECTION_T* conn, int side) {
    if (side != SIDE_SERVER && (conn->flags & CONN_NO_CLIENT))
        return static_cast<int>(fb->size);
    Socket* sock = side_socket(conn, side);
    if (sock == NULL)
        return 0;
    sock->NoDelayOnce();
    sock->Blocking(side == SIDE_SERVER);
    int result = sock->Write(fb->data, static_cast<int>(fb->size));
    if (result == -1 || !net_drain(sock, io_timeout(conn))) {
        putlog(LOG_ERROR, "network: [IP: %s] failed to send %u bytes to the %s",
               client_address(conn), fb->size, side == SIDE_SERVER ? "server" : "client");
        mark_failed(conn, side);
        return -1;
    }
    return result;
}

// Sends the chunks; false when a write failed (the send is marked failed).
static bool send_chunks(const char* data, unsigned size, CONNECTION_T* conn, int side, int* sent) {
    *sent = 0;
    Socket* sock = side_socket(conn, side);
    unsigned piece_max = block_size();
    int timeout = io_timeout(conn);
    for (unsigned offset = 0; offset < size;) {
        unsigned n = size - offset < piece_max ? size - offset : piece_max;
        bool written = sock->PutSock("%x\r\n", n) != -1 &&
                       sock->Write(data + offset, static_cast<int>(n)) != -1 &&
                       sock->PutSock("\r\n") != -1;
        // Queued bytes count as written, but a peer that takes none of them
        // must not make the queue grow without bound.
        if (written && sock->write_pending > piece_max)
            written = net_drain(sock, timeout);
        if (!written) {
            putlog(LOG_ERROR, "network: [IP: %s] chunked send to the %s failed after %d bytes",
                   client_address(conn), side == SIDE_SERVER ? "server" : "client", *sent);
            mark_failed(conn, side);
            return false;
        }
        *sent += static_cast<int>(n);
        offset += n;
    }
    return true;
}

int net_filebuf_send_chunked_p(Filebuf* fb, CONNECTION_T* conn, int side) {
    return net_chunks_send(fb->data, fb->size, conn, side);
}

int net_chunks_send(const char* data, unsigned size, CONNECTION_T* conn, int side) {
    if (side != SIDE_SERVER && (conn->flags & CONN_NO_CLIENT))
        return static_cast<int>(size);
    if (side_socket(conn, side) == NULL)
        return 0;
    int sent;
    send_chunks(data, size, conn, side, &sent);
    return sent;
}

int net_filebuf_send_chunked(Filebuf* fb, CONNECTION_T* conn, int side) {
    if (side != SIDE_SERVER && (conn->flags & CONN_NO_CLIENT))
        return static_cast<int>(fb->size);
    Socket* sock = side_socket(conn, side);
    if (sock == NULL)
        return 0;
    int sent;
    if (!send_chunks(fb->data, fb->size, conn, side, &sent))
        return sent;
    if (sock->PutSock("0\r\n\r\n") == -1 || !net_drain(sock, io_timeout(conn))) {
        putlog(LOG_ERROR, "network: [IP: %s] chunked send to the %s failed at its end",
               client_address(conn), side == SIDE_SERVER ? "server" : "client");
        mark_failed(conn, side);
    }
    return sent;
}

int net_cache_send(CACHEMAP* object, CONNECTION_T* conn, int side, unsigned offset) {
    uint64_t stored = object->size;
    uint64_t from = static_cast<uint64_t>(offset) + object->start;
    if (from > stored)
        from = stored;
    if (side != SIDE_SERVER && (conn->flags & CONN_NO_CLIENT))
        return static_cast<int>(stored - from);
    Socket* sock = side_socket(conn, side);
    if (sock == NULL || from == stored)
        return 0;
    return sock->Write(object->addr + from, static_cast<int>(stored - from));
}

// ---- Reading into a buffer ----------------------------------------------------

int net_filebuf_read(Filebuf* fb, CONNECTION_T* conn, int side, int len) {
    Socket* source = side_socket(conn, side);
    if (source == NULL) {
        if (len > 0)
            conn->flags |= CONN_TRANSFER_FAILED;
        return len <= 0 ? 1 : 0;
    }
    Socket* other = other_socket(conn, side);
    int wait_ms = read_wait(conn, side) * 1000;
    unsigned piece_max = block_size();
    // A declared length that the caller chose to buffer whole (one read into
    // an empty buffer) may pass the limit up to RELAY_BUFFER_DEFAULT_MAX;
    // bodies read piece by piece (chunks) and bodies of unknown length stop
    // at the limit.
    uint64_t cap = relay_buffer_limit(conn, side);
    if (fb != NULL && fb->size == 0 && len > 0 && static_cast<uint64_t>(len) > cap)
        cap = static_cast<uint64_t>(len) < RELAY_BUFFER_DEFAULT_MAX ? static_cast<uint64_t>(len)
                                                                  : RELAY_BUFFER_DEFAULT_MAX;
    std::unique_ptr<char[]> discard;

    while (len == -1 || len > 0) {
        if (source->read_pending == 0) {
            struct pollfd entries[2] = {{source->fd, POLLIN, 0},
                                        {other != NULL ? other->fd : -1, POLLIN, 0}};
            source->Blocking(true);
            int ready = poll(entries, other != NULL ? 2 : 1, wait_ms);
            if (ready == -1) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (ready == 0)
                break;
            if ((entries[0].revents & POLLIN) == 0) {
                if (entries[0].revents & POLL_TROUBLE) {
                    putlog(LOG_ERROR,
                           "network: [IP: %s] sock1 lost while reading data, system overloaded "
                           "or network disrupted",
                           client_address(conn));
                    break;
                }
                if (other != NULL && (entries[1].revents & POLLIN)) {
                    if (other->Read(NULL, -1) <= 0)
                        break;
                    continue;
                }
                if (other != NULL && (entries[1].revents & POLL_TROUBLE)) {
                    putlog(LOG_ERROR,
                           "network: [IP: %s] sock2 lost while reading data, system overloaded "
                           "or network disrupted",
                           client_address(conn));
                    break;
                }
                continue;
            }
        }

        unsigned want = len == -1 || static_cast<unsigned>(len) > piece_max
                            ? piece_max
                            : static_cast<unsigned>(len);
        if (source->read_pending > 0 && source->read_pending < want)
            want = source->read_pending;
        char* destination;
        unsigned old_size = 0;
        if (fb != NULL) {
            // One byte beyond the cap is enough to tell an oversized body.
            uint64_t room = cap + 1 - fb->size;
            if (want > room)
                want = static_cast<unsigned>(room);
            old_size = fb->size;
            fb->Resize(static_cast<int>(old_size + want));
            destination = fb->data + old_size;
        } else {
            if (!discard)
                discard.reset(new char[piece_max]);
            destination = discard.get();
        }
        if (source->read_pending < want)
            SetACK(source->fd, true);
        int count = source->Read(destination, static_cast<int>(want));
        if (fb != NULL)
            fb->Resize(static_cast<int>(old_size + (count > 0 ? count : 0)));
        if (count <= 0) {
            if (len > 0) {
                putlog(LOG_ERROR, "network: [IP: %s] transfer failed", client_address(conn));
                conn->flags |= CONN_TRANSFER_FAILED;
            }
            return 0;
        }
        if (fb != NULL && fb->size > cap) {
            putlog(LOG_ERROR, "network: [IP: %s] body exceeds the buffer limit of %llu bytes",
                   client_address(conn), static_cast<unsigned long long>(cap));
            conn->flags |= CONN_TRANSFER_FAILED;
            return 0;
        }
        if (len != -1)
            len -= count;
    }
    if (len == -1 || len == 0)
        return 1;
    putlog(LOG_ERROR, "network: [IP: %s] transfer failed", client_address(conn));
    conn->flags |= CONN_TRANSFER_FAILED;
    return 0;
}

// ---- Relaying one way -----------------------------------------------------------

// The client went away while the response is stored into a cache object
// that other requests read: may the relay go on without it? An object held
// by this request alone is marked invalid by refcount, so it is dropped.
static bool may_continue_without_client(CONNECTION_T* conn, int side, int error) {
    return error != EAGAIN && side == SIDE_SERVER && (conn->flags & CONN_CACHE_STORE) &&
           conn->cachemap != NULL && cache_section != NULL &&
           cache_section->refcount(conn->cachemap) >= 2;
}

static void drop_client(CONNECTION_T* conn) {
    putlog(LOG_ERROR, "network: [IP: %s] allowing transfer with no client to continue",
           client_address(conn));
    conn->client->hung_up = true;
    conn->client->Blocking(false);
    delete conn->client;
    conn->client = NULL;
    conn->flags |= CONN_NO_CLIENT;
}

int net_transfer(CONNECTION_T* conn, int side, int len) {
    Socket* source = side_socket(conn, side);
    if (source == NULL)
        return 0;
    const char* source_label = side == SIDE_SERVER ? "server" : "client";
    const char* destination_label = side == SIDE_SERVER ? "client" : "server";
    int wait_ms = read_wait(conn, side) * 1000;
    int timeout = io_timeout(conn);
    unsigned piece_max = block_size();
    char* piece = relay_piece(piece_max);
    int64_t total = 0;
    bool destination_failed = false;
    // Set once a piece went out: the next one is often in the socket
    // already (the rest of an answer whose start came with its header), so
    // the poll is skipped and the receive does not wait. When it finds
    // nothing yet, or fails, the loop goes round again and the poll decides
    // as before.
    bool try_at_once = false;
    // An answer read with its header leaves room in the read buffer where
    // the header was taken out, about as much as the part of the body that
    // did not fit: when that part is there already, it joins the buffered
    // bytes and goes out in the same write.
    if (source->read_pending > 0 && source->read_pending < source->read_capacity &&
        (len == -1 || static_cast<unsigned>(len) > source->read_pending)) {
        SetACK(source->fd, true);
        source->Read(NULL, -1, 0);
    }

    while (len == -1 || len > 0) {
        Socket* destination = other_socket(conn, side);
        if (source->read_pending == 0 && !try_at_once) {
            struct pollfd entries[2] = {{source->fd, POLLIN, 0},
                                        {destination != NULL ? destination->fd : -1, POLLIN, 0}};
            int ready = poll(entries, destination != NULL ? 2 : 1, wait_ms);
            if (ready == -1) {
                if (errno == EINTR)
                    continue;
                int error = errno;
                putlog(LOG_ERROR, "network: poll:%d %s net_transfer failed read from:%s send to: %s",
                       error, strerror(error), source_label, destination_label);
                break;
            }
            if (ready == 0)
                break;
            if ((entries[0].revents & POLLIN) == 0) {
                if (entries[0].revents & POLL_TROUBLE) {
                    if (side == SIDE_SERVER)
                        conn->server_keepalive = 0;
                    else
                        conn->client_keepalive = 0;
                    putlog(LOG_ERROR,
                           "network: [IP:%s] %s closed while transferring data between sockets",
                           client_address(conn), source_label);
                    break;
                }
                if (destination != NULL && (entries[1].revents & (POLLIN | POLL_TROUBLE))) {
                    errno = 0;
                    int got = destination->Read(NULL, -1);
                    if (got > 0)
                        continue;
                    int error = errno;
                    if (side == SIDE_SERVER && may_continue_without_client(conn, side, error)) {
                        drop_client(conn);
                        continue;
                    }
                    putlog(LOG_ERROR, "network: read:%d %s net_transfer failed read from:%s",
                           error, strerror(error), destination_label);
                    destination_failed = true;
                    break;
                }
                continue;
            }
        }

        unsigned want = source->read_pending > 0 ? source->read_pending : piece_max;
        if (want > piece_max)
            want = piece_max;
        if (len != -1 && want > static_cast<unsigned>(len))
            want = static_cast<unsigned>(len);
        // Bytes already buffered (most of an answer read with its header)
        // are passed on from the read buffer itself and taken from it once
        // written; only a read that reaches the socket goes through the
        // piece. The read callback sees them either way. Quick
        // acknowledgements matter only for that read.
        int count;
        const char* data;
        unsigned buffered = 0;
        if (source->read_pending > 0) {
            buffered = want;
            count = static_cast<int>(want);
            data = source->read_buffer;
            if (source->CallBackEvent(SOCKET_EVENT_READ, count, source->read_buffer) == -1) {
                source->TakeBuffered(buffered);
                break;
            }
        } else {
            SetACK(source->fd, true);
            count = source->Read(piece, static_cast<int>(want), try_at_once ? 0 : -1);
            data = piece;
            if (count < 0 && try_at_once) {
                try_at_once = false;
                continue;
            }
        }
        if (count <= 0)
            break;
        if (len != -1)
            len -= count;
        total += count;

        // The read callback may have let the client go (a buffered download
        // turned into the "downloading" page): ask again who receives.
        destination = other_socket(conn, side);
        if (destination == NULL) {
            source->TakeBuffered(buffered);
        } else {
            destination->Blocking(false);
            bool written = destination->Write(data, count) != -1;
            int write_error = errno;
            source->TakeBuffered(buffered);
            errno = write_error;
            // A slow destination may hold a few blocks; beyond that the relay
            // waits (bounded) for it rather than buffer the whole body.
            if (written && destination->write_pending > 4 * piece_max)
                written = net_drain(destination, timeout);
            if (!written) {
                int error = errno;
                if (may_continue_without_client(conn, side, error)) {
                    drop_client(conn);
                    continue;
                }
                destination->hung_up = true;
                putlog(LOG_ERROR, "network: write:%d %s net_transfer failed send to: %s", error,
                       strerror(error), destination_label);
                destination_failed = true;
                break;
            }
        }
        try_at_once = true;
    }

    Socket* destination = other_socket(conn, side);
    if (destination != NULL && !destination_failed && !net_drain(destination, timeout)) {
        putlog(LOG_ERROR, "network: [IP: %s] %s did not take the relayed data in time",
               client_address(conn), destination_label);
        destination_failed = true;
    }
    // The destination missed bytes: its connection cannot go on.
    if (destination_failed)
        mark_failed(conn, side == SIDE_SERVER ? SIDE_CLIENT : SIDE_SERVER);
    if (len != -1 && len != 0) {
        putlog(LOG_ERROR, "network: [IP: %s] transfer failed", client_address(conn));
        conn->flags |= CONN_TRANSFER_FAILED;
    }
    return static_cast<int>(total);
}

// ---- Relaying both ways -----------------------------------------------------------

// Moves one piece from one socket to the other; false when the tunnel ends.
static bool tunnel_step(Socket* from, Socket* to, char* piece, unsigned want, int timeout,
                        int64_t* total) {
    // Bytes already buffered (a client that spoke right after its CONNECT)
    // go on by themselves: asking for more than is buffered would make the
    // read wait for the peer, which may be waiting for an answer to them.
    if (from->read_pending > 0 && want > from->read_pending)
        want = from->read_pending;
    int count = from->Read(piece, static_cast<int>(want));
    if (count <= 0)
        return false;
    to->Blocking(false);
    if (to->Write(piece, count) == -1)
        return false;
    *total += count;
    return to->write_pending == 0 || net_drain(to, timeout);
}

int net_proxy(CONNECTION_T* conn, int len) {
    Socket* client = conn->client;
    Socket* server = conn->server;
    if (client == NULL || server == NULL)
        return 0;
    int timeout = io_timeout(conn);
    unsigned piece_max = block_size();
    char* piece = relay_piece(piece_max);
    int64_t total = 0;

    for (;;) {
        if (len != -1 && total >= len)
            break;
        unsigned want = piece_max;
        if (len != -1 && static_cast<int64_t>(want) > len - total)
            want = static_cast<unsigned>(len - total);
        SetACK(client->fd, true);
        SetACK(server->fd, true);
        struct pollfd entries[2] = {{client->fd, POLLIN, 0}, {server->fd, POLLIN, 0}};
        bool buffered = client->read_pending > 0 || server->read_pending > 0;
        int ready = poll(entries, 2, buffered ? 0 : timeout * 1000);
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0 && !buffered) {
            putlog(LOG_NETWORK, "network: [IP: %s] tunnel idle for %d seconds, closed",
                   client_address(conn), timeout);
            break;
        }
        bool server_turn = false;
        if (client->read_pending > 0 || (entries[0].revents & POLLIN)) {
            if (!tunnel_step(client, server, piece, want, timeout, &total))
                break;
            server_turn = server->read_pending > 0;
        } else if (entries[0].revents & POLL_TROUBLE) {
            putlog(LOG_ERROR,
                   "network: [IP: %s] active client socket lost while trying to make a connection",
                   client_address(conn));
            break;
        }
        if (!server_turn) {
            if (server->read_pending > 0 || (entries[1].revents & POLLIN))
                server_turn = true;
            else if (entries[1].revents & POLL_TROUBLE) {
                putlog(LOG_ERROR,
                       "network: [IP: %s] active outgoing socket lost while trying to make a "
                       "connection",
                       client_address(conn));
                break;
            }
        }
        if (server_turn) {
            if (len != -1 && total >= len)
                break;
            want = piece_max;
            if (len != -1 && static_cast<int64_t>(want) > len - total)
                want = static_cast<unsigned>(len - total);
            if (!tunnel_step(server, client, piece, want, timeout, &total))
                break;
        }
    }
    net_drain(client, timeout);
    net_drain(server, timeout);
    return static_cast<int>(total);
}
