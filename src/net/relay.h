// Relays and body transfer: moving message bodies between the two sockets
// of a connection (CONNECTION_T::client and CONNECTION_T::server). Reading a
// body into a Filebuf, sending a Filebuf plainly or as HTTP chunks, sending
// the stored part of a cached object, relaying a body of known or unknown
// length one way while it arrives, and relaying both ways for a tunnel.
//
// Contract:
// - `side` SIDE_SERVER (1) names the upstream socket, any other value the
//   client socket; for the relays the side is the socket read from.
// - On the client side with CONN_NO_CLIENT set the sending functions send
//   nothing and return the size they were given. A missing socket on the
//   side asked for sends and reads nothing.
// - Every wait is bounded: reads wait the connection's I/O time-out
//   (GeneralSection::timeout_get; 1 second for the body of a non-200
//   response), and so do the waits for a slow peer to take queued bytes and
//   the idle wait of a tunnel. A write that Socket queued counts as written.
// - A body that ends early (the peer closes, fails or goes silent before the
//   known length) sets CONN_TRANSFER_FAILED, so the worker closes both
//   connections and never stores the object. So does a relay or chunked
//   send whose destination cannot take the bytes; a chunked send that could
//   not finish never writes the terminating chunk, so the receiver cannot
//   take the shortened body for a complete one.
// - A body read into a buffer is capped (relay_buffer_limit) whether or not
//   it declared a length: beyond the cap the read fails as above. Only a
//   declared length read whole into an empty buffer (the "process" URL
//   command buffers such bodies on purpose) may pass the limit, and never
//   RELAY_BUFFER_DEFAULT_MAX.
// - The functions keep no state; they leave the destination of a relay
//   unfrozen, blocking and with nothing queued (or failed).
#pragma once

#include <stdint.h>

class Filebuf;
class Socket;
struct CACHEMAP;
struct CONNECTION_T;

// Cap of a body collected into a buffer when the general section gives no
// download or upload buffer limit.
constexpr uint64_t RELAY_BUFFER_DEFAULT_MAX = 64ull * 1024 * 1024;

// Sends the whole buffer: TCP_NODELAY on; blocking for the server side,
// non-blocking for the client; then waits (bounded) until everything queued
// has gone. Returns the bytes the first write sent (0 when all was queued),
// -1 when the write failed or the queued bytes could not be delivered
// (CONN_TRANSFER_FAILED is then set).
int net_filebuf_send(Filebuf* fb, CONNECTION_T* conn, int side);

// Sends the buffer as HTTP chunks of at most BLOCKSIZE bytes ("%x\r\n",
// data, "\r\n") without the last chunk; returns the data bytes of the
// chunks sent whole. A write that fails ends the send with
// CONN_TRANSFER_FAILED set and the side's keep-alive dropped.
int net_filebuf_send_chunked_p(Filebuf* fb, CONNECTION_T* conn, int side);
// The same for `size` bytes at `data` (a part of a body).
int net_chunks_send(const char* data, unsigned size, CONNECTION_T* conn, int side);

// The same, then the last chunk "0\r\n\r\n" and a bounded flush; after a
// failure the last chunk is not written.
int net_filebuf_send_chunked(Filebuf* fb, CONNECTION_T* conn, int side);

// Writes the stored body of a cached object from `offset` to the end of
// what is stored now, with one Socket::Write; returns its result (0 also
// when nothing is left to send).
int net_cache_send(CACHEMAP* object, CONNECTION_T* conn, int side, unsigned offset);

// Reads len bytes (len -1: until the peer closes or goes silent for the
// time-out) from the side's socket, appending them to fb (NULL: read and
// discard). While waiting, bytes arriving on the other socket are kept in
// its read buffer. 1 when the wanted bytes arrived (len -1: the peer went
// silent); 0 otherwise: with a known length the transfer is marked failed;
// with len -1 a peer that closes gives 0 without the mark.
int net_filebuf_read(Filebuf* fb, CONNECTION_T* conn, int side, int len);

// Relays len bytes (len -1: until the source closes or goes silent) from the
// side's socket to the other one (which may be absent: the bytes are read
// and dropped). Returns the bytes read from the source. When the client
// goes away while a response is stored into a cache object that other
// requests wait for, the relay goes on without the client (CONN_NO_CLIENT
// set, CONNECTION_T::client deleted and NULL).
int net_transfer(CONNECTION_T* conn, int side, int len);

// Relays both ways between client and server until one side closes or
// fails, the tunnel is idle for the I/O time-out, or len bytes (-1:
// unlimited) have passed in total. Returns the bytes relayed.
int net_proxy(CONNECTION_T* conn, int len);

// The cap on a body collected from the side into a buffer: the general
// section's download (server side) or upload (client side) buffer limit, or
// RELAY_BUFFER_DEFAULT_MAX when it gives none.
uint64_t relay_buffer_limit(CONNECTION_T* conn, int side);

// Waits (each wait at most `timeout` seconds) until the socket has sent
// every queued byte; false when the peer does not take them in time or the
// socket fails. Leaves the socket blocking and unfrozen.
bool net_drain(Socket* sock, int timeout);
