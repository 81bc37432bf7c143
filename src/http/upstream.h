// Upstream connection and the policies the exchanges share: opening the
// upstream socket (a pooled one, straight to the origin, through an HTTP
// parent, a SOCKS4 or SOCKS5 server or a CONNECT tunnel through a parent,
// with TLS when asked), re-opening it while a response header is awaited,
// keep-alive of both connections, whether a response body is collected
// whole, the buffering deadline, the download limit, and the request and
// response processor stages.
//
// Contract:
// - Everything runs in the worker that owns the connection; the server
//   pool, cache objects and statistics lock themselves.
// - Negative results of opening the upstream name the error page through
//   error_to_template: -4 "badauth", -3 "nodns", -2 "noconnect", others
//   "unknown". A failed SOCKS handshake passes its own code on.
// - An upstream socket is pooled and found under one key (upstream_key):
//   scheme, host and port of the place it is connected to, the request's
//   URL user and password, the connection's tunnel id and the route (forward
//   mode with its parent or SOCKS server, the bound local address, TLS), so
//   a socket never serves another route. upstream_park is the one way to
//   park a kept-alive upstream socket after a request.
#pragma once

#include <string>

class Filebuf;
struct CACHEMAP;
struct CONNECTION_T;

// Opens CONNECTION_T::server: a pooled socket for the same key (except for
// CONNECT requests and requests with a body), else a new connection by the
// forward mode. Returns the socket's descriptor, or a negative code with
// CONNECTION_T::server NULL.
int protocol_start(CONNECTION_T* connection);

// Drops the upstream socket, flushes the client socket and opens again.
int protocol_reconnect(CONNECTION_T* connection);

// Reads the upstream response header. The request goes once more, on a new
// connection, only when its pooled socket turned out closed by the server
// before any byte of the answer came, and only a GET, HEAD or OPTIONS
// request without a body; after a time-out nothing is sent again. Only a
// whole header block is returned. NULL after answering the client (a
// streamed request body also ends the client's keep-alive) with the page
// and record status of what went wrong: "noconnect" 503 when the server
// closed without a header, "noconnect" 504 when the time ran out before a
// whole header came, "badresponse" 502 for a header cut short by the
// server or too long to be one. The text is the caller's to free.
char* header_get_reconnect(CONNECTION_T* connection, int timeout);

// CONNECTION_T::client_keepalive from the request (and response) headers.
void keepalive_check_client(CONNECTION_T* connection);

// CONNECTION_T::server_keepalive from the response header; a response that
// ends with the connection also ends the client's keep-alive.
void keepalive_check_server(CONNECTION_T* connection);

// 1 when the response body must be collected whole before it is sent, 0
// when it is streamed. May clear CONN_PROCESSING.
int buffer_check(CONNECTION_T* connection);

// Sets CONNECTION_T::buffer_deadline from the general section's buffer wait
// (0: no deadline).
void buffertimeout_set(CONNECTION_T* connection);

// After the deadline of a body being buffered into a cache object: the
// client gets the "downloading" page and is let go (CONN_NO_CLIENT); the
// download goes on into the cache.
void buffertimeout_check(CONNECTION_T* connection);

// 1 when the client may receive gzip or deflate bodies.
int accepts_encoded_content(CONNECTION_T* connection);

// 1 when the client may receive a body in that content coding (NULL or
// empty: not encoded): it offered exactly that coding, and the proxy did not
// ask the server for codings of its own accord (CONN_ENCODING_ASKED).
int accepts_response_encoding(CONNECTION_T* connection, const char* coding);

// 1 when the cached object can be served to the client: its body is not
// encoded, or in a coding the client offered, or one the buffered path
// decodes within the download buffer limit. 0: it must be fetched again.
int cached_encoding_servable(CONNECTION_T* connection, CACHEMAP* object);

// Authentication and request-body processors. 1: go on (the request's body
// framing is settled: a buffered body is sent with its length, a streamed
// one keeps its own framing); 0: a processor answered the client, or the
// request the login dialogue read in its place lost its body (the client
// connection then ends).
int process_request(CONNECTION_T* connection, Filebuf* body);

// Response check and modification processors: 1 passed, 0 blocked (the
// blocking processor has answered). A passed body marks the cache object
// CACHE_CLEAN, unless a scanner could not judge it (CONN_SCAN_INCOMPLETE).
int process_response(CONNECTION_T* connection, Filebuf* body);

// 1: the response fits the download allowance; 0: refused with the page
// "downloadlimit" and both access-log lines written.
int transfer_limit_check(CONNECTION_T* connection);

// Upstream self-test: sends the request through the upstream socket to a
// listener of our own and leaves what arrives there, parsed, in
// CONNECTION_T::response (NULL when nothing came).
void proxy_test(CONNECTION_T* connection);

// The pool key of the connection's upstream (see the contract).
struct upstream_key_t {
    std::string protocol;
    std::string host;
    int port;
    const char* user;
    const char* password;
    unsigned tunnel_id;
    std::string route;
};
upstream_key_t upstream_key(CONNECTION_T* connection);

// Parks CONNECTION_T::server in the server pool under upstream_key when the
// upstream may be kept alive (server_keepalive 1, no failed transfer); the
// connection lets go of it. 1 when parked, 0 otherwise (the socket stays).
int upstream_park(CONNECTION_T* connection);
