// The network layer: listeners, accepting clients, connecting upstream.
#pragma once

struct CONNECTION_T;

// Marks every listener slot free; called once at start-up.
void net_init();
// Opens a listener on port (and address, NULL for all); returns its
// descriptor or -1.
int net_listen(int port, const char* address);
// Waits for the next client connection (-1: no time-out); NULL when none.
CONNECTION_T* net_accept(int timeout);
// Closes every listener; nothing is accepted afterwards.
void net_listen_closeall();
