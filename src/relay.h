// Relays and body transfer between the client and the upstream sockets.
#pragma once

class Filebuf;
struct CONNECTION_T;

// Sends the whole buffer on the side's socket (SIDE_CLIENT 0, SIDE_SERVER
// 1); on the client side with CONN_NO_CLIENT set it only returns the size.
// Returns the bytes written, -1 when the write failed.
int net_filebuf_send(Filebuf* fb, CONNECTION_T* conn, int side);
