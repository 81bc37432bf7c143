#include "core/threads.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>

#include "core/compat.h"
#include "core/daemon.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"

thread_t threads[THREAD_TABLE_SIZE];
pthread_mutex_t threadlistlock = PTHREAD_MUTEX_INITIALIZER;

static bool table_ready = false;
// One past the highest slot ever taken: the slots above it are all free, so
// scans for idle workers and for the caller's slot stop there.
static int slots_used = 1;

int thread_slots_used_locked() {
    return slots_used;
}

// The calling thread's slot as last found, checked before it is trusted.
static thread_local int own_slot = -1;

// A slot's client id is written only by the thread that owns the slot (and
// zeroed when the slot is taken or given back), so each thread keeps a copy
// of its own: every error-log line asks for it, and reading the copy spares
// all workers a round on threadlistlock per line.
static thread_local unsigned own_client_id = 0;

static int table_size() {
    return MAXTHREADS < THREAD_TABLE_SIZE ? MAXTHREADS : THREAD_TABLE_SIZE;
}

void threads_init() {
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < table_size(); i++) {
        threads[i].tid = 0;
        threads[i].state = THREAD_FREE;
        threads[i].conn = nullptr;
        threads[i].client_id = 0;
        threads[i].requests = 0;
        threads[i].ip = threads[i].url = threads[i].method = nullptr;
        // Idle workers wait for a span of time on it.
        p_cond_init_monotonic(&threads[i].cond);
    }
    threads[0].tid = pthread_self();
    threads[0].state = THREAD_STARTING;
    threads[0].client_id = 0;
    slots_used = 1;
    own_slot = 0;
    own_client_id = 0;
    table_ready = true;
    pthread_mutex_unlock(&threadlistlock);
}

void thread_report(thread_repo_t* report) {
    memset(report, 0, sizeof *report);
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < table_size(); i++) {
        switch (threads[i].state) {
        case THREAD_FREE: report->free++; break;
        case THREAD_SERVING: report->serving++; break;
        case THREAD_IDLE: report->idle++; break;
        case THREAD_STARTING: report->starting++; break;
        case THREAD_PREFETCHING: report->prefetching++; break;
        }
    }
    pthread_mutex_unlock(&threadlistlock);
}

// Caller holds threadlistlock.
static int find_locked() {
    if (!table_ready)
        return -1;
    pthread_t self = pthread_self();
    if (own_slot >= 0 && own_slot < slots_used && threads[own_slot].state != THREAD_FREE &&
        pthread_equal(threads[own_slot].tid, self))
        return own_slot;
    for (int i = 0; i < slots_used; i++)
        if (threads[i].state != THREAD_FREE && pthread_equal(threads[i].tid, self)) {
            own_slot = i;
            return i;
        }
    return -1;
}

int thread_find() {
    pthread_mutex_lock(&threadlistlock);
    int slot = find_locked();
    pthread_mutex_unlock(&threadlistlock);
    return slot;
}


unsigned thread_get_clientid() {
    return own_client_id;
}

void thread_set_clientid(unsigned client_id) {
    // The slot already holds the copy's value whenever the thread owns a
    // slot (both start at 0 and change only here), so storing the same id
    // again needs no round on threadlistlock: a worker stores its
    // connection's id before every request on it.
    if (client_id == own_client_id)
        return;
    pthread_mutex_lock(&threadlistlock);
    int slot = find_locked();
    if (slot != -1) {
        threads[slot].client_id = client_id;
        own_client_id = client_id;
    }
    pthread_mutex_unlock(&threadlistlock);
}

void rusage_update() {
    struct rusage usage;
    if (global == nullptr || getrusage(RUSAGE_THREAD, &usage) == -1)
        return;
    pthread_mutex_lock(&global->mutex);
    global->utime.sec += static_cast<int64_t>(usage.ru_utime.tv_sec);
    global->utime.usec += static_cast<int64_t>(usage.ru_utime.tv_usec);
    if (global->utime.usec >= 1000000) {
        global->utime.sec += global->utime.usec / 1000000;
        global->utime.usec %= 1000000;
    }
    global->stime.sec += static_cast<int64_t>(usage.ru_stime.tv_sec);
    global->stime.usec += static_cast<int64_t>(usage.ru_stime.tv_usec);
    if (global->stime.usec >= 1000000) {
        global->stime.sec += global->stime.usec / 1000000;
        global->stime.usec %= 1000000;
    }
    global->minflt += static_cast<uint64_t>(usage.ru_minflt);
    global->majflt += static_cast<uint64_t>(usage.ru_majflt);
    pthread_mutex_unlock(&global->mutex);
}

void thread_slot_forget_request_locked(thread_t& slot) {
    free(slot.method);
    free(slot.url);
    free(slot.ip);
    slot.method = slot.url = slot.ip = nullptr;
}

void thread_slot_release_locked(int slot) {
    thread_slot_forget_request_locked(threads[slot]);
    threads[slot].state = THREAD_FREE;
    threads[slot].conn = nullptr;
    threads[slot].requests = 0;
    threads[slot].client_id = 0;
}

// Caller holds threadlistlock.
static int first_free_locked() {
    for (int i = 0; i < table_size(); i++)
        if (threads[i].state == THREAD_FREE)
            return i;
    return -1;
}

// Caller holds threadlistlock.
static void slot_take(int slot, CONNECTION_T* arg) {
    threads[slot].state = THREAD_STARTING;
    threads[slot].conn = arg;
    threads[slot].requests = 0;
    threads[slot].client_id = 0;
    threads[slot].ip = threads[slot].url = threads[slot].method = nullptr;
    if (slot + 1 > slots_used)
        slots_used = slot + 1;
}

struct thread_start {
    void* (*fn)(void*);
    void* arg;
};

// Runs the thread's function; a function that returns gives its slot back
// unless it already did (a worker frees its own slot as it ends).
static void* thread_trampoline(void* start_arg) {
    thread_start start = *static_cast<thread_start*>(start_arg);
    delete static_cast<thread_start*>(start_arg);
    void* result = start.fn(start.arg);
    pthread_mutex_lock(&threadlistlock);
    int slot = find_locked();
    if (slot > 0)
        thread_slot_release_locked(slot);
    pthread_mutex_unlock(&threadlistlock);
    return result;
}

// Thread attributes: detached, with the given stack. Returns NULL after
// logging the failing step, naming `caller`.
static pthread_attr_t* thread_attributes(pthread_attr_t* attributes, size_t stack,
                                         const char* caller, const char* init_words) {
    int rc = pthread_attr_init(attributes);
    if (rc != 0) {
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, %s", rc, strerror(rc),
               caller, init_words);
        return nullptr;
    }
    rc = pthread_attr_setstacksize(attributes, stack);
    if (rc != 0) {
        putlog(LOG_ERROR,
               "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to set thread "
               "stack_size: %d",
               rc, strerror(rc), caller, static_cast<int>(stack));
        pthread_attr_destroy(attributes);
        return nullptr;
    }
    rc = pthread_attr_setdetachstate(attributes, PTHREAD_CREATE_DETACHED);
    if (rc != 0) {
        putlog(LOG_ERROR,
               "[system: pthread_attr_setdetachstate:%d:%s], in %s, failed to start thread", rc,
               strerror(rc), caller);
        pthread_attr_destroy(attributes);
        return nullptr;
    }
    return attributes;
}

// Starts the thread in `slot` (already taken, lock held by the caller);
// the new thread finds its slot once the caller has stored its id and
// released the lock. Returns pthread_create's result.
static int start_thread_locked(int slot, void* (*fn)(void*), void* arg, pthread_attr_t* attributes) {
    thread_start* start = new thread_start{fn, arg};
    pthread_t tid;
    int rc = pthread_create(&tid, attributes, thread_trampoline, start);
    if (rc != 0) {
        delete start;
        return rc;
    }
    threads[slot].tid = tid;
    return 0;
}

// Workers refused for want of a free slot, and when that was last logged
// (monotonic milliseconds): a flood of connections beyond -t is told once a
// second with its count instead of once per connection, or never.
static std::atomic<uint64_t> refused_since_report{0};
static std::atomic<int64_t> last_refusal_report{-1000};

static int64_t monotonic_milliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static void report_no_free_slot() {
    refused_since_report.fetch_add(1);
    int64_t now = monotonic_milliseconds();
    int64_t last = last_refusal_report.load();
    if (now - last < 1000 || !last_refusal_report.compare_exchange_strong(last, now))
        return;
    unsigned long long refused = refused_since_report.exchange(0);
    putlog(LOG_ERROR,
           "no thread could be started: all %d thread slots are in use (option -t); %llu "
           "connection(s) refused since the last report",
           table_size(), refused);
}

// Starts fn(arg) in the first free slot. A worker's slot is filled once
// its thread exists; a service thread's slot is taken first and given back
// when the thread cannot be started.
static int create_in_slot(void* (*fn)(void*), void* arg, size_t stack, bool service) {
    const char* caller = service ? "thread_create_internal" : "thread_create";
    pthread_attr_t storage;
    pthread_attr_t* attributes = thread_attributes(
        &storage, stack, caller,
        service ? "failed to inititalise thread" : "failed to initialize thread");
    if (attributes == nullptr)
        return -1;
    pthread_mutex_lock(&threadlistlock);
    int slot = first_free_locked();
    int rc = 0;
    if (slot != -1) {
        if (service)
            slot_take(slot, static_cast<CONNECTION_T*>(arg));
        rc = start_thread_locked(slot, fn, arg, attributes);
        if (rc == 0 && !service)
            slot_take(slot, static_cast<CONNECTION_T*>(arg));
        if (rc != 0 && service)
            thread_slot_release_locked(slot); // no thread will ever use it
    }
    pthread_mutex_unlock(&threadlistlock);
    pthread_attr_destroy(attributes);
    if (slot == -1) {
        if (service)
            putlog(LOG_ADVICE, "error: increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
        else
            report_no_free_slot();
        return -1;
    }
    if (rc != 0) {
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread", rc,
               strerror(rc), caller);
        return -1;
    }
    return slot;
}

int thread_create(void* (*fn)(void*), void* arg) {
    return create_in_slot(fn, arg, static_cast<size_t>(max_opt_stack), false);
}

int thread_create_internal(void* (*fn)(void*), void* arg) {
    return create_in_slot(fn, arg, INTERNAL_THREAD_STACK, true);
}
