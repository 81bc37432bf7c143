// The network layer: the table of listening sockets, accepting clients as
// connection records, opening outgoing TCP connections with the proxy's
// socket tuning and a connect time-out, and single socket options.
//
// Contract:
// - The listener table (`socklist`) has no lock: it changes at start-up,
//   where the network section opens its listeners, and in the signal
//   handling, all on one thread at a time. net_accept runs on the main
//   thread only.
// - net_accept returns a new connection record owned by the caller (the
//   main loop numbers it and hands it to the client pool), or NULL.
// - net_connect returns a connected descriptor in blocking mode, owned by
//   the caller (normally wrapped in a Socket), or a negative code: -1 no
//   host or a port of 0 or less, -2 the socket cannot be made or the
//   connection fails or times out, -3 the host name does not resolve. Every
//   outcome is counted in the statistics group "network" and the
//   performance log; DNS failures are counted apart, so the request road can
//   tell "nodns" from "noconnect" (error_to_template).
// - Nothing here is fatal; failures are reported by result and a log line.
#pragma once

#include <netinet/in.h>

#include "core/mem.h"
#include "net/dnscache.h" // net_dns: host names resolve through the DNS cache

struct CONNECTION_T;

// Listener slots.
constexpr int SOCKLIST_SIZE = 20;

struct socklist_t {
    int inuse;     // 1 = open
    int fd;
    int port;
    char* address; // owned copy of the address text; NULL = all addresses
};

extern socklist_t socklist[SOCKLIST_SIZE];

// Marks every listener slot free; called once at start-up.
void net_init();

// Opens a listener on port (and address, NULL for all) in the first free
// slot, tuning it (buffer sizes, keep-alive, close-on-exec). BLOCKSIZE
// becomes the receive buffer size the system reports, raised to any larger
// buffer size it reports or grants.
// An address that is not an IPv4 literal, or a port above 65535 or below 0,
// is refused (never taken for all addresses, nor wrapped round 65536); port
// 0 lets the system choose one.
// Returns the slot index, or -1 (logged "error: failed to bind to %s:%d"
// with the reason).
int net_listen(int port, const char* address);

// What a listener may be given: an IPv4 literal address, a port 1-65535.
bool listen_address_valid(const char* address);
bool listen_port_valid(int port);

// The listen backlog: the number in `somaxconn_path` (25 when the file does
// not open or holds no number), capped by MAXTHREADS; logs what it found.
int net_listen_backlog(const char* somaxconn_path);

// Closes every open listener and frees its slot.
void net_listen_closeall();

// Waits up to timeout seconds (-1: for ever) on all listeners and accepts
// at most one client; NULL when nothing was accepted.
CONNECTION_T* net_accept(int timeout);

// Connects to host:port from the local address `bind_address` (INADDR_ANY:
// any), waiting at most timeout seconds (-1: no limit). See the contract.
int net_connect(const char* host, int port, struct in_addr bind_address, int timeout);
int net_connect(const char* host, int port, int timeout);
int net_connect(const char* host, int port);

// TCP_NODELAY on or off: 0, or -errno after logging the failure (a unix-domain
// stream, which has no such option, gives -EOPNOTSUPP without a log line).
int set_nodelay(int fd, bool on);
// TCP_QUICKACK on or off: setsockopt's result.
int SetACK(int fd, bool on);
// For fd > 0: closing resets the connection at once (SO_LINGER 0 seconds,
// TCP_LINGER2 0).
void net_linger_off(int fd);
// Clears (on) or sets (off) O_NONBLOCK: 0, or errno after logging; fd < 0
// gives 0.
int net_blocking(int fd, bool on);
// Bytes waiting to be read (FIONREAD) into count: the ioctl result, or
// -errno after logging; fd <= 0 gives -1.
int net_get_unread(int fd, unsigned long* count);
