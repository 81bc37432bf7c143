// CONNECT tunnels: serving a client's CONNECT and opening a tunnel through a
// parent proxy for the forward mode FORWARD_CONNECT_PARENT.
#pragma once

struct CONNECTION_T;

// Asks the parent proxy on CONNECTION_T::server for a tunnel to the
// request's host and port: 1 when the tunnel counts as open, -1 when the
// parent gave no readable answer.
int proxy_connect(CONNECTION_T* connection);
