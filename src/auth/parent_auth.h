// Authentication towards a parent proxy that answered 407: Basic in one
// step, or NTLM in a two-message handshake built with libntlm, with the
// credentials of the forward rule that chose the parent
// (CONNECTION_T::parent_user, parent_password, parent_domain).
//
// Contract:
// - The credentials travel in CONNECTION_T::parent_auth, which the header
//   serialiser writes as Proxy-Authorization towards a parent; it is set
//   only for the one header send of each step and cleared after it.
// - The caller sets CONN_PARENT_AUTH_TRIED after a 407 is answered, so a
//   second 407 on the same request is not answered again.
// - Every call into libntlm is made under one process-wide mutex.
// - The request's method, flags, length and the upstream keep-alive are
//   put back on every path of the NTLM handshake.
#pragma once

struct CONNECTION_T;

// Answers the 407 in CONNECTION_T::response: 1 when the request header was
// sent again with credentials (the caller sends the body and reads the next
// answer), 0 when there was nothing to answer or the handshake failed.
int proxy_authenticate(CONNECTION_T* connection);

// Basic: drops the 407's body, sends the request with "Basic <user:password
// in Base64>"; always 1.
int send_basic_response(CONNECTION_T* connection);

// NTLM: negotiate, challenge, authenticate; 1 when the request was sent with
// the authenticate message, 0 on failure.
int send_ntlm_response(CONNECTION_T* connection);

// Basic credentials of the request URL towards an origin server (internal
// client): sends the request header with them; always 1.
int authenicate_basic_response(CONNECTION_T* connection);
