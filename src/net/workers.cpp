#include "net/workers.h"

#include <poll.h>
#include <stdint.h>
#include <time.h>

#include "core/daemon.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/threads.h"
#include "filter/limits_section.h"
#include "http/protocol.h"
#include "iface/performance.h"
#include "net/clientpool.h"
#include "net/connection.h"
#include "net/socket.h"

int process_new(CONNECTION_T* connection) {
    pthread_mutex_lock(&threadlistlock);
    int used = thread_slots_used_locked();
    for (int i = 0; i < used; i++) {
        if (threads[i].state != THREAD_IDLE)
            continue;
        connection->thread_slot = i;
        threads[i].conn = connection;
        threads[i].state = THREAD_STARTING;
        pthread_mutex_unlock(&threadlistlock);
        // Signalled after the unlock, so the woken worker does not at once
        // block on the lock still held here. The worker tests `conn` under
        // the lock, so the signal cannot be missed, and the condition
        // belongs to the static table, so it outlives any hand-over.
        pthread_cond_signal(&threads[i].cond);
        return i;
    }
    pthread_mutex_unlock(&threadlistlock);
    return thread_create(process_entry, connection);
}

// (T - s) * budget / (T + s * F), F taken as 1 when below 1.
static unsigned shrink_with_slot(int slot, int max_threads, unsigned budget, int overload) {
    uint64_t others = static_cast<uint64_t>(static_cast<unsigned>(max_threads - slot));
    uint64_t factor = overload >= 1 ? static_cast<uint64_t>(overload) : 1;
    uint64_t divisor = static_cast<uint64_t>(static_cast<unsigned>(max_threads)) +
                       static_cast<uint64_t>(static_cast<unsigned>(slot)) * factor;
    if (divisor == 0)
        return 0;
    return static_cast<unsigned>(others * budget / divisor);
}

unsigned keepalive_wait(int slot, int max_threads, int pool_timeout, int overload) {
    return shrink_with_slot(slot, max_threads, static_cast<unsigned>(pool_timeout), overload);
}

unsigned keepalive_linger_us(int slot, int max_threads, int overload) {
    return shrink_with_slot(slot, max_threads, KEEPALIVE_LINGER_MAX_US, overload);
}

// True when the client's next request is there or arrives within
// `linger_us`: what it sent is then read into the socket's buffer, as Read
// with no destination does. Without a linger, and for a TLS client (its
// library may hold bytes the descriptor does not show), only what is there
// now counts. The wait itself answers at once when bytes are waiting, so
// no check without waiting goes first.
static bool request_within(Socket* client, unsigned linger_us) {
    if (linger_us == 0 || client->ssl || client->fd < 0)
        return client->Read(nullptr, -1, 0) > 0;
    struct pollfd entry = {client->fd, POLLIN, 0};
    struct timespec span = {0, static_cast<long>(linger_us) * 1000};
    if (ppoll(&entry, 1, &span, nullptr) != 1 || (entry.revents & POLLIN) == 0)
        return false;
    return client->Read(nullptr, -1) > 0;
}

// Serves requests on the connection until it is closed or given to the
// client pool.
static void serve_connection(CONNECTION_T* connection, int slot, int pool_timeout) {
    connection->thread_slot = slot;
    for (;;) {
        thread_set_clientid(connection->client_id);
        handle_request(connection);
        if (performance_log != nullptr)
            performance_log->set_requests_completed(1);
        if (connection->bytes_down != 0 && connection->down_allowance == 0)
            putlog(LOG_LIMITS,
                   "[IP:%s] process: transfer prematurely terminated due to transfer limit "
                   "restrictions",
                   connection->client_ip);
        if (limit_section != nullptr)
            limit_section->update(connection);
        connection_reset(connection);

        if ((connection->flags & CONN_NO_CLIENT) || connection->client_keepalive != 1 ||
            connection->client == nullptr) {
            net_close(connection);
            return;
        }
        connection->client_keepalive = 0;
        int wait = static_cast<int>(keepalive_wait(slot, MAXTHREADS, pool_timeout, overload_factor));
        Socket* client = connection->client;
        if (client->read_pending > 0)
            continue;
        if (wait > 0 ? client->Read(nullptr, -1, wait) > 0
                     : request_within(client, keepalive_linger_us(slot, MAXTHREADS, overload_factor)))
            continue;
        // An idle connection keeps no spare memory.
        connection->variables.ReleaseSpare();
        global->clientpool->Add(connection);
        return;
    }
}

// The idle worker's wait for its next connection. Returns the connection
// handed to it, or NULL when THREAD_TIMEOUT passed without one; the slot
// is then free and the thread must end.
static CONNECTION_T* await_connection(int slot) {
    pthread_mutex_lock(&threadlistlock);
    thread_t& me = threads[slot];
    thread_slot_forget_request_locked(me);
    me.state = THREAD_IDLE;
    me.conn = nullptr;
    me.requests = 0;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += THREAD_TIMEOUT;
    int rc = 0;
    while (me.conn == nullptr && rc == 0)
        rc = pthread_cond_timedwait(&me.cond, &threadlistlock, &deadline);
    // A connection handed over just as the wait timed out is served all the
    // same: the client pool already let go of it.
    CONNECTION_T* handed = me.conn;
    if (handed != nullptr) {
        me.conn = nullptr;
        me.state = THREAD_SERVING;
        pthread_mutex_unlock(&threadlistlock);
        return handed;
    }
    rusage_update();
    thread_slot_release_locked(slot);
    pthread_mutex_unlock(&threadlistlock);
    return nullptr;
}

void* process_entry(void* arg) {
    CONNECTION_T* connection = static_cast<CONNECTION_T*>(arg);
    int pool_timeout = CLIENT_POOL_TIMEOUT;
    int slot = thread_find();
    if (slot == -1)
        FATAL("src/main");
    while (connection != nullptr) {
        serve_connection(connection, slot, pool_timeout);
        connection = await_connection(slot);
    }
    return nullptr;
}
