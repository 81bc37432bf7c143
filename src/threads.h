// The thread table: every thread of the daemon, the main thread included,
// owns one slot. The slot gives the thread its client id (the error log tags
// every line with it) and lets the client pool hand connections to idle
// workers. Every slot field is guarded by `threadlistlock`.
#pragma once

#include <pthread.h>

struct CONNECTION_T;

enum {
    THREAD_FREE = 0,
    THREAD_SERVING = 1,
    THREAD_IDLE = 2,
    THREAD_STARTING = 3,
    THREAD_PREFETCHING = 4,
};

struct thread_t {
    pthread_t tid;
    pthread_cond_t cond;
    CONNECTION_T* conn;
    unsigned client_id;
    int state;
    int requests;
    char* ip;
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

// Marks every used slot free and records the calling (main) thread in slot 0.
void threads_init();
// Slot of the calling thread, or -1 when it has none.
int thread_find();
// Client id of the calling thread; 0 for a thread without a slot (the table
// may not be set up yet, as in tests or before threads_init()).
unsigned thread_get_clientid();
void thread_set_clientid(unsigned client_id);
void thread_report(thread_repo_t* report);

// Start a detached thread in the first free slot: workers and prefetch
// threads with the -z stack size, service threads with a 10 MiB stack.
// Return the slot index, or -1 (logged) when no slot or thread is available.
int thread_create(void* (*fn)(void*), void* arg);
int thread_create_internal(void* (*fn)(void*), void* arg);
