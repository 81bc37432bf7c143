// The NTLM and Negotiate relay: the client's tokens are handed, one request
// after another, to the separate authentication service, and its
// challenges back to the client, until the service accepts or refuses.
//
// Contract:
// - The service is an HTTP peer at AUTH_SERVICE_HOST, port
//   AUTH_SERVICE_PORT. Each exchange is one request
//   "GET http://<host>/authenticate HTTP/1.1" with Host, X-Forwarded-For
//   (the request's value, else the client address) and Proxy-Authorization
//   (the client's token, scheme word included). It answers 407 (challenge in
//   Proxy-Authenticate, connection kept open) or 200 (user name in
//   Proxy-Authenticate; optionally "DN;group,group" in Location). Any other
//   answer, a 200 without a user name or an answer that is no status line is
//   a failure.
// - The token is read from the header it came in: Proxy-Authorization for
//   proxy requests, Authorization for transparent ones (which are
//   challenged with 401 and WWW-Authenticate).
// - During the dialogue CONNECTION_T::server is the socket to the service;
//   it lives for one dialogue and is closed at its end, whatever the
//   outcome. No lock is taken; the DN cache update takes its own.
// - Each further client request read during the dialogue replaces
//   CONNECTION_T::request (with its body, when it announces one); the
//   request finally served is the last one read. A request that does not
//   arrive whole or does not parse leaves the previous request in place and
//   ends the client connection after the next answer
//   (CONNECTION_T::client_keepalive 0).
#pragma once

struct CONNECTION_T;

// Where the authentication service listens.
extern const char* const AUTH_SERVICE_HOST;
constexpr int AUTH_SERVICE_PORT = 8080;
constexpr int AUTH_SERVICE_CONNECT_TIMEOUT = 10; // seconds

// Runs the whole dialogue for the connection's current request: 200 when
// the service accepted the user (CONNECTION_T::auth_host_state is then
// AUTH_HOST_AUTHENTICATED and CONNECTION_T::auth_host_user names the
// user), 407 when it did not. `scratch` is not used. Called by access_auth.
int ntlm_communicate(CONNECTION_T* connection, char* scratch);

// 0 when CONNECTION_T::server is set, or a connection to the service was
// made and stored there; -1 when it cannot be reached.
int make_new_httpauth_socket(CONNECTION_T* connection);

// One exchange with the service: 200 accepted, 407 a challenge to relay
// (stored in CONNECTION_T::auth_host_challenge), 500 any failure.
int validate_auth_tracking(CONNECTION_T* connection);

// Sends the stored challenge to the client and reads its next request: 0
// when a request carrying a token was read (CONN_REQUEST_REPLACED is set),
// -1 otherwise. A request whose body is still on the client socket gets no
// challenge here: -1, and the client connection ends after the answer.
int send_auth_request_to_client(CONNECTION_T* connection);

// Flushes CONNECTION_T::server when set.
void flush_httpauth_socket(CONNECTION_T* connection);

// Flushes, deletes and clears CONNECTION_T::server when set.
void close_httpauth_socket(CONNECTION_T* connection);
