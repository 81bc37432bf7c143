#include "net/clientpool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/general.h"
#include "core/compat.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/threads.h"
#include "iface/performance.h"
#include "net/connection.h"
#include "net/socket.h"
#include "net/workers.h"

int wakepipe_calls = 0;
int new_client = 0;

// Every pooled descriptor is watched for input, error, hang-up and an
// invalid descriptor.
static const short POOL_EVENTS = POLLIN | POLLERR | POLLHUP | POLLNVAL;
static const short POOL_GONE = POLLERR | POLLHUP | POLLNVAL;
static const int DEFAULT_TIMEOUT = 60;

static time_t pool_clock() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

static int idle_limit(const CONNECTION_T* connection) {
    return connection->requests > 0 ? connection->keepalive_timeout : connection->timeout;
}

ClientPool::ClientPool() {
    if (pipe2(wakepipe, O_NONBLOCK | O_CLOEXEC) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: pipe:%d:%s], in %s, client pool wake-up pipe unavailable",
               error, strerror(error), "ClientPool");
        FATAL("src/clientpool");
    }
    pthread_mutex_init(&mutex, nullptr);
    pthread_mutex_init(&pending_mutex, nullptr);
}

ClientPool::~ClientPool() {
    for (clientpool_t* entry : pool)
        free(entry);
    for (clientpool_t* entry : pending)
        free(entry);
    close(wakepipe[0]);
    close(wakepipe[1]);
    pthread_mutex_destroy(&mutex);
    pthread_mutex_destroy(&pending_mutex);
}

int ClientPool::Wakeup() {
    char byte = 0;
    return static_cast<int>(write(wakepipe[1], &byte, 1));
}

void ClientPool::Add(CONNECTION_T* connection) {
    if (general_section != nullptr) {
        general_section->timeout_get(connection);
        general_section->keeptimeout_get(connection);
    } else {
        connection->timeout = connection->keepalive_timeout = DEFAULT_TIMEOUT;
    }

    if (connection->requests == 0) {
        pthread_mutex_lock(&pending_mutex);
        new_client++;
        pthread_mutex_unlock(&pending_mutex);
        thread_set_clientid(connection->client_id);
        int slot = process_new(connection);
        putlog(LOG_DEBUG, "network: new connection thread: %d", slot);
        if (slot < 0)
            net_close(connection);
        return;
    }

    // An idle connection keeps no buffer memory while it waits.
    Socket* client = connection->client;
    if (client != nullptr) {
        if (client->read_pending == 0)
            client->XfertoFilebuf(nullptr, 0);
        if (client->write_pending == 0)
            client->XfertoFilebuf(nullptr, 1);
    }

    clientpool_t* entry = static_cast<clientpool_t*>(xmalloc(sizeof(clientpool_t)));
    if (entry == nullptr)
        FATAL_ALLOC("src/clientpool", sizeof(clientpool_t));
    entry->conn = connection;
    entry->added = pool_clock();
    entry->poll_index = 0;
    pthread_mutex_lock(&pending_mutex);
    pending.push_back(entry);
    wakepipe_calls++;
    pthread_mutex_unlock(&pending_mutex);
    Wakeup();
}

void ClientPool::CloseEntry(clientpool_t* entry) {
    thread_set_clientid(entry->conn->client_id);
    net_close(entry->conn);
    free(entry);
}

void ClientPool::Cycle() {
    time_t now = pool_clock();
    int wait = CLIENT_POOL_TIMEOUT;

    pthread_mutex_lock(&mutex);
    pthread_mutex_lock(&pending_mutex);
    if (wakepipe_calls >= 1)
        pool.splice(pool.end(), pending);
    int handled = new_client;
    wakepipe_calls = 0;
    new_client = 0;
    pthread_mutex_unlock(&pending_mutex);

    poll_set.resize(1 + pool.size());
    poll_set[0] = {wakepipe[0], POOL_EVENTS, 0};
    int index = 1;
    for (clientpool_t* entry : pool) {
        poll_set[index] = {entry->conn->client->fd, POOL_EVENTS, 0};
        entry->poll_index = index++;
        time_t remaining = idle_limit(entry->conn) - (now - entry->added);
        if (remaining < wait)
            wait = static_cast<int>(remaining);
    }
    size_t pooled = pool.size();
    pthread_mutex_unlock(&mutex);

    if (wait < 1)
        wait = 1;
    if (performance_log != nullptr) {
        performance_log->set_clients_in_pool(pooled);
        if (handled >= 1)
            performance_log->set_connections_handled(static_cast<uint64_t>(handled));
    }

    nfds_t watched = static_cast<nfds_t>(index);
    if (poll(poll_set.data(), watched, wait * 1000) == -1 && errno != EINTR) {
        int error = errno;
        putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, client pool poll failed, socket unavailable",
               error, strerror(error), "Poll");
        fd_failure();
        return;
    }

    if (poll_set[0].revents & POLLIN) {
        char bytes[256];
        ssize_t got = read(wakepipe[0], bytes, sizeof bytes);
        if (got == -1 && errno != EAGAIN) {
            int error = errno;
            putlog(LOG_ERROR, "[system: read:%d:%s], in %s, client pool failed to read from wakepipe",
                   error, strerror(error), "Poll");
            putlog(LOG_ADVICE, "system unstable, please restart the service");
        } else {
            putlog(LOG_DEBUG, "client pool: size:%d poll received wakeup %d signals",
                   static_cast<int>(pooled), static_cast<int>(got > 0 ? got : 0));
        }
    }

    int threading_errors = 0;
    unsigned own_id = thread_get_clientid();
    pthread_mutex_lock(&mutex);
    for (auto it = pool.begin(); it != pool.end();) {
        clientpool_t* entry = *it;
        int i = entry->poll_index;
        // Entries queued after the set was built are not in it this time.
        if (i <= 0 || i >= index || poll_set[i].fd != entry->conn->client->fd) {
            ++it;
            continue;
        }
        short events = poll_set[i].revents;
        CONNECTION_T* connection = entry->conn;
        entry->poll_index = 0;
        // A connection that stays is left alone: only one that is handed
        // over or closed has lines to log, so only then does the thread
        // take its client id (a round on the thread table's lock each).
        if (events == 0 && now - entry->added < idle_limit(connection)) {
            ++it;
            continue;
        }
        thread_set_clientid(connection->client_id);
        bool leaves = true;
        if (events & POLLIN) {
            if (process_new(connection) < 0) {
                net_close(connection);
                threading_errors++;
            }
        } else if (events & POOL_GONE) {
            net_close(connection);
        } else if (now - entry->added >= idle_limit(connection)) {
            net_close(connection);
        } else {
            leaves = false;
        }
        entry->poll_index = 0;
        if (leaves) {
            free(entry);
            it = pool.erase(it);
        } else {
            ++it;
        }
    }
    pthread_mutex_unlock(&mutex);
    thread_set_clientid(own_id);
    if (threading_errors > 0 && performance_log != nullptr)
        performance_log->set_threading_error(static_cast<uint64_t>(threading_errors));
}

void ClientPool::Poll() {
    for (;;)
        Cycle();
}

int ClientPool::Clean() {
    putlog(LOG_DEBUG, "client pool: load shedding");
    unsigned own_id = thread_get_clientid();
    pthread_mutex_lock(&mutex);
    int closed = 0;
    for (clientpool_t* entry : pool) {
        CloseEntry(entry);
        closed++;
    }
    pool.clear();
    pthread_mutex_unlock(&mutex);
    thread_set_clientid(own_id);
    Wakeup();
    return closed;
}

void shed_client_pool() {
    if (global != NULL && global->clientpool != NULL)
        global->clientpool->Clean();
}

int ClientPool::load_shedding() {
    putlog(LOG_DEBUG, "client pool: load shedding");
    unsigned own_id = thread_get_clientid();
    pthread_mutex_lock(&mutex);
    int closed = 0;
    int count = static_cast<int>(pool.size());
    while (!pool.empty() && MAXTHREADS / (count + 1) < overload_factor) {
        CloseEntry(pool.front());
        pool.pop_front();
        count--;
        closed++;
    }
    pthread_mutex_unlock(&mutex);
    thread_set_clientid(own_id);
    return closed;
}

int ClientPool::show_connections(Filebuf* page) {
    time_t now = pool_clock();
    page->Addf("<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n");
    page->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n");
    pthread_mutex_lock(&mutex);
    bool even = true;
    for (clientpool_t* entry : pool) {
        page->Addf("<tr class=\"%s\"><td>%u</td><td>%s</td><td>%d</td><td>%d</td></tr>\n",
                   even ? "listeven" : "listodd", entry->conn->client_id, entry->conn->client_ip,
                   entry->conn->requests, static_cast<int>(now - entry->added));
        even = !even;
    }
    pthread_mutex_unlock(&mutex);
    page->Addf("</table>\n");
    return 1;
}

void* clientpool_thread(void*) {
    global->clientpool->Poll();
}
