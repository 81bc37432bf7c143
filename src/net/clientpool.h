// The client pool: client connections with no request in progress (kept
// alive after a request, waiting for the next one). One service thread
// polls them all together with a wake-up pipe, hands a connection that
// becomes readable to a worker, and closes connections whose peer has gone
// or that stayed idle longer than their limit. Brand-new connections do not
// wait here: Add gives them to a worker at once.
//
// Ownership: while a connection is in the pool it belongs to the pool; only
// the pool thread and Clean/load_shedding close it. Idle connections keep no
// socket buffer memory while they wait.
//
// Idle limit of a pooled connection: its keepalive_timeout once it has
// served a request, else its timeout; Add refreshes both from the general
// section.
//
// Locks: the pool mutex before the pending mutex; the thread table's lock
// (process_new, and the client id of the thread) is taken inside the pool
// mutex. Add takes only the pending mutex.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <time.h>

#include <list>
#include <vector>

struct CONNECTION_T;
class Filebuf;

struct clientpool_t {
    CONNECTION_T* conn;
    time_t added;   // when it was queued (seconds, monotonic clock)
    int poll_index; // its entry in the current poll set; 0 = not in it
};

// Entries queued since the last poll cycle, and new connections handed to
// workers since then; changed under the pending mutex.
extern int wakepipe_calls;
extern int new_client;

class ClientPool {
public:
    int wakepipe[2]; // [0] polled by the pool thread, [1] written by Wakeup
    pthread_mutex_t mutex;
    std::list<clientpool_t*> pool;
    pthread_mutex_t pending_mutex;
    std::list<clientpool_t*> pending;

    ClientPool();
    ~ClientPool();
    ClientPool(const ClientPool&) = delete;
    ClientPool& operator=(const ClientPool&) = delete;

    // Takes a connection: a new one (no request served yet) goes to a
    // worker at once and is closed when none can be had; a served one is
    // queued for the pool thread, which is woken.
    void Add(CONNECTION_T* connection);
    // Wakes the pool thread; write's result.
    int Wakeup();
    // The pool thread's loop; never returns.
    [[noreturn]] void Poll();
    // One cycle of Poll: takes the queued connections over, waits up to the
    // nearest idle deadline (between 1 s and CLIENT_POOL_TIMEOUT), then
    // hands readable connections to workers and closes the gone and the
    // expired ones.
    void Cycle();
    // Descriptor shortage: closes every pooled connection (queued ones
    // stay). Returns the number closed.
    int Clean();
    // Overload: closes the longest-waiting connections while
    // MAXTHREADS / (pooled + 1) < overload_factor. Returns the number closed.
    int load_shedding();
    // Appends the HTML table of the pooled connections.
    int show_connections(Filebuf* page);

private:
    std::vector<struct pollfd> poll_set; // reused from cycle to cycle
    // Closes one pooled connection with the thread's client id set to its.
    void CloseEntry(clientpool_t* entry);
};

// Service thread: runs Poll of GLOBAL::clientpool.
void* clientpool_thread(void*);
