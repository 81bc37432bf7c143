// The thread table and the worker threads.
//
// Every thread of the daemon, the main thread included, owns one slot of a
// fixed table. The slot gives the thread its client id (the error log tags
// every line with it), lets the client pool hand a connection to an idle
// worker without starting a thread, and shows the web interface what each
// thread serves. Every slot field is guarded by `threadlistlock`.
//
// Workers run process_entry: they serve requests on one connection after
// another, keep a connection for a short adaptive wait after each request,
// give it back to the client pool otherwise, and end after THREAD_TIMEOUT
// seconds without work. A connection belongs to exactly one party at a time;
// the slot's `conn` field is the only place the hand-over passes through,
// read and cleared under the lock.
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
// no slot free thread_create fails silently and thread_create_internal logs
// "error: increase MAXTHREADS: %d maybe inadequate"; a thread that cannot
// be started is logged and leaves its slot free. A thread whose function
// returns gives its slot back.
int thread_create(void* (*fn)(void*), void* arg);
int thread_create_internal(void* (*fn)(void*), void* arg);

// Hands a connection whose client has sent data to an idle worker, or to a
// new one when none is idle. Returns the slot index, or -1 when no worker
// can be had (the caller still owns the connection then).
int process_new(CONNECTION_T* connection);

// Body of a worker thread (argument: the connection it starts with).
void* process_entry(void* connection);

// Seconds a worker in `slot` keeps a kept-alive connection waiting for its
// next request before giving it to the client pool:
// ((T - s) * C) / (T + s * F), with F taken as 1 when below 1 (T
// MAXTHREADS, C the client-pool time-out, F the overload factor).
unsigned keepalive_wait(int slot, int max_threads, int pool_timeout, int overload);
