// SOCKS4 and SOCKS5 clients: they open the tunnel through a SOCKS parent on
// CONNECTION_T::server, which the caller has already connected to that
// parent, towards the request's host and port (CONNECTION_T::request).
//
// Contract:
// - Every read waits at most the connection's I/O time-out
//   (GeneralSection::timeout_get); a parent that goes silent fails the
//   handshake like a short reply.
// - Lengths that the one-byte fields cannot carry (a host name, user or
//   password over 255 bytes) and a SOCKS4 user id over 255 bytes are refused
//   before anything is sent.
// - On success the socket is connected through the parent, ready for the
//   request; on failure the caller closes it.
// - The results are negative codes the request road turns into error pages
//   (error_to_template): -4 "badauth", -3 "nodns", -2 "noconnect", others
//   "unknown".
#pragma once

struct CONNECTION_T;

// Longest name, user or password a SOCKS exchange carries.
constexpr unsigned SOCKS_FIELD_MAX = 255;

// SOCKS4 CONNECT to the request host (resolved here through the DNS cache)
// with the daemon's user (`username`, option -u) as user id: 1 granted; -2
// rejected (0x5B), short or missing reply, or a request that cannot be sent;
// -4 refused for the identification reasons (0x5C, 0x5D); -1 any other reply
// code; -3 the request host does not resolve.
int proxy_socks4(CONNECTION_T* connection);

// SOCKS5 (RFC 1928) offering no authentication and user/password (RFC
// 1929, with CONNECTION_T::parent_user and parent_password), then CONNECT
// by host name (resolved by the parent): 1 success; -2 any failure,
// including a parent that asks for credentials the forward rule does not
// have (nothing is sent then).
int proxy_socks5(CONNECTION_T* connection);
