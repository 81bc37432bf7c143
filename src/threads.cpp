#include "threads.h"

#include <errno.h>
#include <string.h>

#include "daemon.h"
#include "log.h"

thread_t threads[THREAD_TABLE_SIZE];
pthread_mutex_t threadlistlock = PTHREAD_MUTEX_INITIALIZER;

static bool table_ready = false;

void threads_init() {
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < MAXTHREADS; i++) {
        threads[i].tid = 0;
        threads[i].state = THREAD_FREE;
        threads[i].conn = nullptr;
        pthread_cond_init(&threads[i].cond, nullptr);
    }
    threads[0].tid = pthread_self();
    threads[0].state = THREAD_STARTING;
    threads[0].client_id = 0;
    table_ready = true;
    pthread_mutex_unlock(&threadlistlock);
}

// Caller holds threadlistlock.
static int find_locked() {
    if (!table_ready)
        return -1;
    pthread_t self = pthread_self();
    for (int i = 0; i < MAXTHREADS; i++)
        if (threads[i].state != THREAD_FREE && pthread_equal(threads[i].tid, self))
            return i;
    return -1;
}

int thread_find() {
    pthread_mutex_lock(&threadlistlock);
    int slot = find_locked();
    pthread_mutex_unlock(&threadlistlock);
    return slot;
}

unsigned thread_get_clientid() {
    pthread_mutex_lock(&threadlistlock);
    int slot = find_locked();
    unsigned id = slot == -1 ? 0 : threads[slot].client_id;
    pthread_mutex_unlock(&threadlistlock);
    return id;
}

void thread_set_clientid(unsigned client_id) {
    pthread_mutex_lock(&threadlistlock);
    int slot = find_locked();
    if (slot != -1)
        threads[slot].client_id = client_id;
    pthread_mutex_unlock(&threadlistlock);
}

void thread_report(thread_repo_t* report) {
    memset(report, 0, sizeof(*report));
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < MAXTHREADS; i++) {
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

struct thread_start {
    void* (*fn)(void*);
    void* arg;
    int slot;
};

// Runs the thread's function and gives its slot back when it returns, so a
// thread that ends never leaves its slot taken.
static void* thread_trampoline(void* start_arg) {
    thread_start start = *static_cast<thread_start*>(start_arg);
    delete static_cast<thread_start*>(start_arg);
    void* result = start.fn(start.arg);
    pthread_mutex_lock(&threadlistlock);
    threads[start.slot].state = THREAD_FREE;
    threads[start.slot].conn = nullptr;
    threads[start.slot].client_id = 0;
    pthread_mutex_unlock(&threadlistlock);
    return result;
}

static int start_in_slot(void* (*fn)(void*), void* arg, size_t stack) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stack);

    pthread_mutex_lock(&threadlistlock);
    int slot = -1;
    for (int i = 1; i < MAXTHREADS; i++)
        if (threads[i].state == THREAD_FREE) {
            slot = i;
            break;
        }
    if (slot == -1) {
        pthread_mutex_unlock(&threadlistlock);
        pthread_attr_destroy(&attr);
        putlog(LOG_ERROR, "no free thread slot, %d threads in use", MAXTHREADS);
        return -1;
    }
    threads[slot].state = THREAD_STARTING;
    threads[slot].client_id = 0;
    threads[slot].conn = static_cast<CONNECTION_T*>(arg);
    // The slot is filled in before the thread runs: the lock is held until
    // pthread_create has stored the new id, so the thread finds itself.
    thread_start* start = new thread_start{fn, arg, slot};
    int rc = pthread_create(&threads[slot].tid, &attr, thread_trampoline, start);
    if (rc != 0) {
        threads[slot].state = THREAD_FREE;
        delete start;
    }
    pthread_mutex_unlock(&threadlistlock);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to start thread", rc,
               strerror(rc), __func__);
        return -1;
    }
    return slot;
}

int thread_create(void* (*fn)(void*), void* arg) {
    return start_in_slot(fn, arg, static_cast<size_t>(max_opt_stack));
}

int thread_create_internal(void* (*fn)(void*), void* arg) {
    return start_in_slot(fn, arg, INTERNAL_THREAD_STACK);
}
