// ServerPool: idle upstream connections (to origin servers, parent proxies,
// SOCKS routes, ICAP servers) kept open after a request, so that a later
// request to the same place reuses them without a new TCP or TLS handshake.
// One pool, made at start-up, reached through GLOBAL::serverpool; the
// service thread serverpool_clean ages it every 10 seconds.
//
// Contract:
// - A parked socket is keyed by protocol, host, port, the upstream session's
//   user and password, the tunnel id and the route. Protocol and host compare
//   ignoring case; user and password compare exactly; port, tunnel id and
//   route exactly. The route text says how the socket reaches the host (the
//   forward mode and its parent or SOCKS server, the local address it is
//   bound to, TLS; see upstream_route in upstream.h); "" is a plain direct
//   connection from the default local address. A socket opened for one route
//   therefore never serves another.
// - A socket with tunnel id other than TUNNEL_ID_NONE belongs to one client
//   connection (an origin demanded connection-bound authentication on it):
//   only a Find with that id gets it, cleaning never drops it, and
//   CloseMyTunnel drops it when its client connection ends.
// - While parked the socket belongs to the pool; Find hands it back to the
//   caller, who owns it again. Dropping deletes the socket (its destructor
//   flushes, shuts TLS down and closes).
// - Locking: every request parks and takes sockets, so the mutex covers
//   list manipulation only. Entries and their copies are made and freed,
//   limits read (general-section locks), sockets polled (InputPending) and
//   dropped sockets deleted with the mutex released. An entry is unlinked
//   before anything is done with it, so no two threads ever hold the same
//   socket. The mutex is a BriefLock: when a holder is preempted, the
//   threads that queued behind it are woken together rather than one after
//   another.
// - Limits are read from the general section at every use: poolsize_get
//   (most sockets kept) and pooltimeout_get (idle seconds).
// - Passwords never reach the error log: lines print "*" in their place.
// - A NULL protocol or host is an impossible state (fatal-error sequence,
//   source "src/serverpool").
#pragma once

#include <time.h>

#include <list>

#include "core/brief_lock.h"

class Socket;

// The texts are copies kept in the entry's own block, behind it: freeing the
// entry frees them.
struct serverpool_t {
    Socket* sock;    // owned by the pool while parked
    time_t added;    // when parked
    char* protocol;  // "http", "ftp", "icap", ...
    char* host;      // origin or parent host
    char* user;      // or NULL
    char* password;  // or NULL; wiped before the entry is freed
    int port;
    unsigned tunnel_id; // TUNNEL_ID_NONE for ordinary sockets
    char* route;        // "" for plain direct
};

class ServerPool {
public:
    BriefLock mutex;
    std::list<serverpool_t*> pool; // front = parked longest ago

    ServerPool();
    ~ServerPool(); // Clean(1), then drops the tunnel-bound sockets as well
    ServerPool(const ServerPool&) = delete;
    ServerPool& operator=(const ServerPool&) = delete;

    // Parks the socket (the pool owns it from now on). A socket with
    // anything left to read (Socket::InputPending) is closed instead. A full
    // pool first drops its oldest entry and warns once per distinct size
    // until the next clean. Returns 0.
    int Add(Socket* sock, const char* protocol, const char* host, int port, const char* user,
            const char* password, unsigned tunnel_id, const char* route = "");

    // Removes and returns the oldest socket parked under the same key, or
    // NULL; parked sockets of the key that received anything meanwhile are
    // closed on the way. Counts a hit or a miss in the statistics group "connection pool"
    // (and hits in the performance log). user and password may be NULL.
    Socket* Find(const char* protocol, const char* host, int port, const char* user,
                 const char* password, unsigned tunnel_id, const char* route = "");

    // Reads the limits, runs CleanUnlocked under the mutex and deletes the
    // dropped sockets after releasing it; returns the number dropped.
    int Clean(int all);
    // Moves into `doomed` every ordinary entry that is idle for `timeout`
    // seconds or longer, lies beyond `size_limit`, or (all != 0) any
    // ordinary entry. The caller holds the mutex, and after releasing it
    // hands `doomed` to ReleaseEntries. Returns the number moved.
    int CleanUnlocked(int all, int size_limit, int timeout, std::list<serverpool_t*>& doomed);

    // Deletes the sockets of unlinked entries and frees the entries; called
    // without the mutex. `function` names the caller in a fatal error.
    static void ReleaseEntries(std::list<serverpool_t*>& doomed, const char* function);

    // Drops every socket bound to the client connection with this tunnel id;
    // TUNNEL_ID_NONE does nothing. Returns how many.
    int CloseMyTunnel(unsigned tunnel_id);

private:
    // The pool size for which the last size warning was written; 0 after
    // every clean.
    int warn_level;
};

// Service thread: for ever, every 10 seconds, Clean(0) on GLOBAL::serverpool.
void* serverpool_clean(void*);
