// The HTTP exchange: sending a request upstream (or taking the answer from a
// cached copy), reading the response header, revalidation, the answer's
// filters, and the body collected whole or relayed as it arrives; and the
// body functions the FTP client and the internal HTTP client share: read,
// relay or discard a body delimited by Content-Length, chunks or the end of
// the connection.
//
// Contract:
// - Runs on the worker that owns the connection. `side` SIDE_SERVER is the
//   response body (upstream socket, response HEADER), SIDE_CLIENT the
//   request body (client socket, request HEADER).
// - A body that ends before its end (fewer bytes than its length, a server
//   that dies between chunks, a chunk-size line that is not hexadecimal)
//   sets CONN_TRANSFER_FAILED; a relayed chunked body then never gets its
//   last chunk, so the receiver cannot take the shortened body for whole.
// - Interim replies (1xx but 101) are skipped while the final reply is
//   awaited; every wait for a response is bounded by the I/O time-out.
// - The response HEADER is freed before protocol_http returns.
#pragma once

#include <stdint.h>

class Filebuf;
struct CONNECTION_T;

// Carries out one HTTP request: 1 when the exchange ran to an end (answered,
// blocked or given up after sending something), -1 when no response header
// could be obtained (the client has been answered) or it was unreadable.
int protocol_http(CONNECTION_T* connection);

// Sends a body to the client; nothing for a HEAD request (0).
int http_send_body(CONNECTION_T* connection, Filebuf* body);

// Socket read callback for upstream body bytes: feeds the HTML parser and
// the cache object, counts the bytes against the download allowance (a body
// exactly the size of the allowance passes). 0 go on, -1 stop.
int protocol_http_read_callback(void* connection, unsigned length, char* data);

// Reads one chunk-size line from the side's socket: the size, or -1 when
// the line cannot be read or holds no hexadecimal size.
int next_chunksize(CONNECTION_T* connection, int side);

// Reads and drops the side's body; 1 when it was read whole, else 0.
int http_transfer_discard(CONNECTION_T* connection, int side);

// Reads the side's body into a new buffer (possibly short, with
// CONN_TRANSFER_FAILED set); owned by the caller.
Filebuf* http_transfer_filebuf(CONNECTION_T* connection, int side);

// Relays the side's body to the other side as it arrives, chunks framed
// again - except towards an HTTP/1.0 client, which gets the bare body and
// whose connection the caller closes after it. Returns the body bytes
// relayed.
int64_t http_transfer(CONNECTION_T* connection, int side);
