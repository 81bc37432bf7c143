// CONNECT tunnels: serving a client's CONNECT (directly, or through an HTTP
// parent that is asked for the tunnel first), and opening a tunnel through
// a parent proxy for the forward mode FORWARD_CONNECT_PARENT.
//
// Contract:
// - The client is told "HTTP/1.1 200 Connection Established" only when the
//   tunnel is really open: directly, or after the parent's 2xx. A parent's
//   other answer, or a 407 the proxy cannot answer with the forward rule's
//   credentials (or a second 407), gets the page "noconnect" with status
//   503 (a 200 would tell the client the tunnel is open) and log status
//   503; nothing is relayed then.
// - A parent's 407 is answered once per request (CONN_PARENT_AUTH_TRIED).
// - After a tunnel the client connection is not kept alive.
#pragma once

struct CONNECTION_T;

// Serves the client's CONNECT once the upstream socket is open (by
// protocol_start): answers the client, relays both ways until a side
// closes, writes both access-log records. Always 0.
int protocol_connect(CONNECTION_T* connection);

// Asks the parent proxy on CONNECTION_T::server for a tunnel to the
// request's host and port: 1 when the parent opened it (2xx), -1 when it
// gave no readable answer or refused. The request header is put back and
// CONNECTION_T::response left empty on every path.
int proxy_connect(CONNECTION_T* connection);
