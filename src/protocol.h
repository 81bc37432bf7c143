// The road of one request on a client connection.
#pragma once

struct CONNECTION_T;

// Serves one request on the connection (a worker calls it once per
// request); sets CONNECTION_T::client_keepalive to 1 when the client
// connection may stay open afterwards.
//
// Until requests are forwarded, every request is answered with the fixed
// page "501 Not Implemented" after its header has been read; a request
// that carries a body ends its connection (the body is not read).
void handle_request(CONNECTION_T* connection);

// Applies the "bypass" URL command to CONNECTION_T::bypass when the access
// rule grants ACCESS_BYPASS. Until URL commands reach the road it changes
// nothing.
void bypass_check(CONNECTION_T* connection);
