// The thread table.
//
// Every thread of the daemon, the main thread included, owns one slot of a
// fixed table. The slot gives the thread its client id (the error log tags
// every line with it), lets the client pool hand a connection to an idle
// worker without starting a thread, and shows the web interface what each
// thread serves. Every slot field is guarded by `threadlistlock`. What a
// worker does with its slot (serving, idling, ending) is net/workers.h.
//
// Lock order: a client-pool lock, then `threadlistlock`, then
// `GLOBAL::mutex`.
#pragma once

#include <pthread.h>

struct CONNECTION_T;

enum {
    THREAD_FREE = 0,        // the slot is unused
    THREAD_SERVING = 1,     // a worker serves a request
    THREAD_IDLE = 2,        // a worker waits on its condition for a connection
    THREAD_STARTING = 3,    // just taken or handed a connection; service threads keep it
    THREAD_PREFETCHING = 4, // a prefetch thread fetches a URL
};

struct thread_t {
    pthread_t tid;
    pthread_cond_t cond; // signalled when a connection is handed to the idle worker
    CONNECTION_T* conn;  // handed connection (or a service thread's argument)
    unsigned client_id;  // 0 for the main thread
    int state;           // THREAD_*
    int requests;        // requests completed on the connection being served
    char* ip;            // owned copies shown by the interface
    char* url;
    char* method;
};

struct thread_repo_t {
    int free;
    int serving;
    int idle;
    int starting;
    int prefetching;
};

constexpr int THREAD_TABLE_SIZE = 16384;
constexpr int INTERNAL_THREAD_STACK = 10485760;

extern thread_t threads[THREAD_TABLE_SIZE];
extern pthread_mutex_t threadlistlock;

// Marks every used slot free and records the calling (main) thread in slot
// 0 (THREAD_STARTING, client id 0). Called once before anything is logged.
void threads_init();
// Counts the used slots by state.
void thread_report(thread_repo_t* report);
// Slot of the calling thread, or -1 when it has none.
int thread_find();
// Client id of the calling thread; 0 for a thread without a slot (the table
// may not be set up yet, as in tools and tests).
unsigned thread_get_clientid();
// Stores the calling thread's client id (nothing without a slot).
void thread_set_clientid(unsigned client_id);

// Adds the calling thread's own CPU times and page faults (RUSAGE_THREAD)
// to the totals in GLOBAL; called by a worker as it ends.
void rusage_update();

// Start a detached thread running fn(arg) in the first free slot (whose
// `conn` is arg): workers and prefetch threads with the -z stack size,
// service threads with a 10 MiB stack. Return the slot index or -1. With
// no slot free thread_create logs the refusal (LOG_ERROR, at most once a
// second, with the number refused since the last such line) and
// thread_create_internal logs "error: increase MAXTHREADS: %d maybe
// inadequate"; a thread that cannot
// be started is logged and leaves its slot free. A thread whose function
// returns gives its slot back.
int thread_create(void* (*fn)(void*), void* arg);
int thread_create_internal(void* (*fn)(void*), void* arg);

// For the workers, which hand connections over through their slots; each
// is called with threadlistlock held. One past the highest slot ever taken
// (the slots above it are all free):
int thread_slots_used_locked();
// Frees the display copies (ip, url, method) of a slot:
void thread_slot_forget_request_locked(thread_t& slot);
// Gives a slot back: free, no connection, no request, client id 0:
void thread_slot_release_locked(int slot);
