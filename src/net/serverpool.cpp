#include "net/serverpool.h"

#include <stdlib.h>
#include <strings.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "config/general.h"
#include "core/compat.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "iface/performance.h"
#include "net/connection.h"
#include "net/socket.h"

static const char* const SOURCE = "src/serverpool";

// A copy of text, or NULL for NULL; allocation failure is fatal.
static char* copy_or_null(const char* text) {
    if (text == NULL)
        return NULL;
    char* copy = xstrdup(text);
    if (copy == NULL)
        FATAL_ALLOC(SOURCE, strlen(text) + 1);
    return copy;
}

static bool same_text(const char* a, const char* b) {
    return a != NULL && b != NULL && strcmp(a, b) == 0;
}

static const char* shown(const char* text) { return text != NULL ? text : ""; }

static int pool_size_limit() { return general_section != NULL ? general_section->poolsize_get() : 0; }

static int pool_timeout() { return general_section != NULL ? general_section->pooltimeout_get() : 0; }

ServerPool::ServerPool() : warn_level(0) { pthread_mutex_init(&mutex, NULL); }

ServerPool::~ServerPool() {
    pthread_mutex_lock(&mutex);
    CleanUnlocked(1);
    while (!pool.empty())
        Drop(pool.begin(), "~ServerPool", false);
    pthread_mutex_unlock(&mutex);
    pthread_mutex_destroy(&mutex);
}

// Frees an entry and unlinks it; deletes its socket unless it is handed out.
void ServerPool::Drop(std::list<serverpool_t*>::iterator position, const char* function,
                      bool keep_socket) {
    serverpool_t* entry = *position;
    if (entry->protocol == NULL || entry->host == NULL)
        fatal_error(SOURCE, __LINE__, function, 0);
    if (!keep_socket)
        delete entry->sock;
    free(entry->protocol);
    free(entry->host);
    free(entry->user);
    if (entry->password != NULL) {
        memset(entry->password, 0, strlen(entry->password));
        free(entry->password);
    }
    free(entry->route);
    free(entry);
    pool.erase(position);
}

int ServerPool::Add(Socket* sock, const char* protocol, const char* host, int port,
                    const char* user, const char* password, unsigned tunnel_id,
                    const char* route) {
    if (protocol == NULL || host == NULL)
        FATAL(SOURCE);
    // Anything left to read (bytes past the end of the last answer, or the
    // peer's close) would be taken for the answer to the next request sent
    // on the socket, perhaps another client's: such a socket is closed.
    if (sock == NULL || sock->InputPending()) {
        putlog(LOG_DEBUG, "Connection Pool: not kept, bytes left over: %s:%d", host, port);
        delete sock;
        return 0;
    }
    if (tunnel_id != TUNNEL_ID_NONE)
        putlog(LOG_ADVICE, "debug: added secured socket [%d] to pool: %s:%d",
               static_cast<int>(tunnel_id), host, port);

    pthread_mutex_lock(&mutex);
    int n = static_cast<int>(pool.size());
    bool warn = false;
    if (n >= pool_size_limit() && !pool.empty()) {
        Drop(pool.begin(), "Add", false);
        if (n != warn_level) {
            warn_level = n;
            warn = true;
        }
    }
    serverpool_t* entry = static_cast<serverpool_t*>(xmalloc(sizeof(serverpool_t)));
    if (entry == NULL)
        FATAL_ALLOC(SOURCE, sizeof(serverpool_t));
    entry->sock = sock;
    entry->added = time(NULL);
    entry->protocol = copy_or_null(protocol);
    entry->host = copy_or_null(host);
    entry->user = copy_or_null(user);
    entry->password = copy_or_null(password);
    entry->port = port;
    entry->tunnel_id = tunnel_id;
    entry->route = copy_or_null(route != NULL ? route : "");
    pool.push_back(entry);
    if (warn)
        putlog(LOG_ADVICE,
               "Connection Pool: size:%d is inadequate, users accessing %s://%s:%s@%s:%d could "
               "report problems, consider increasing this, else reduce Connection Pool Timeout",
               n, protocol, shown(user), "*", host, port);
    return pthread_mutex_unlock(&mutex);
}

// Does a parked entry answer the key of a Find?
static bool entry_matches(const serverpool_t* entry, const char* protocol, const char* host,
                          int port, const char* user, const char* password, unsigned tunnel_id,
                          const char* route) {
    if (entry->tunnel_id != tunnel_id)
        return false;
    if (user != NULL ? !same_text(entry->user, user) : entry->user != NULL)
        return false;
    if (password != NULL && entry->password != NULL) {
        if (strcmp(password, entry->password) != 0)
            return false;
    } else if (user != NULL || entry->user != NULL) {
        return false;
    }
    return strcasecmp(entry->protocol, protocol) == 0 && strcasecmp(entry->host, host) == 0 &&
           entry->port == port && strcmp(entry->route, route) == 0;
}

Socket* ServerPool::Find(const char* protocol, const char* host, int port, const char* user,
                         const char* password, unsigned tunnel_id, const char* route) {
    if (protocol == NULL || host == NULL)
        return NULL;
    if (route == NULL)
        route = "";
    Socket* found = NULL;
    // Sockets that received something while parked (the server closed
    // them, or sent bytes nobody asked for) serve no request: they are
    // closed once the mutex is released.
    std::vector<Socket*> stale;
    pthread_mutex_lock(&mutex);
    for (auto position = pool.begin(); position != pool.end();) {
        if (!entry_matches(*position, protocol, host, port, user, password, tunnel_id, route)) {
            ++position;
            continue;
        }
        Socket* candidate = (*position)->sock;
        auto next = std::next(position);
        Drop(position, "Find", true);
        if (!candidate->InputPending()) {
            found = candidate;
            break;
        }
        stale.push_back(candidate);
        position = next;
    }
    pthread_mutex_unlock(&mutex);
    for (Socket* sock : stale)
        delete sock;

    if (found != NULL) {
        if (performance_log != NULL)
            performance_log->set_connection_pool_hit(1);
        if (global != NULL)
            global->stats.Increment("connection pool", "hit");
        putlog(LOG_DEBUG, "Connection Pool: hit: %s://%s:*@%s:%d ", protocol, shown(user), host,
               port);
    } else {
        if (global != NULL)
            global->stats.Increment("connection pool", "miss");
        putlog(LOG_DEBUG, "Connection Pool: miss: %s://%s:*@%s:%d ", protocol, shown(user), host,
               port);
    }
    return found;
}

int ServerPool::Clean(int all) {
    pthread_mutex_lock(&mutex);
    int dropped = CleanUnlocked(all);
    pthread_mutex_unlock(&mutex);
    return dropped;
}

void shed_server_pool() {
    if (global != NULL && global->serverpool != NULL)
        global->serverpool->Clean(1);
}

int ServerPool::CleanUnlocked(int all) {
    time_t now = time(NULL);
    int size_limit = pool_size_limit();
    int timeout = pool_timeout();
    if (performance_log != NULL)
        performance_log->set_connection_pool_size(pool.size());
    if (pool.empty()) {
        warn_level = 0;
        return 0;
    }
    int examined = 0;
    int dropped = 0;
    for (auto position = pool.begin(); position != pool.end();) {
        serverpool_t* entry = *position;
        int p = examined++;
        if (entry->tunnel_id == TUNNEL_ID_NONE &&
            (now >= entry->added + timeout || p > size_limit || all != 0)) {
            auto next = std::next(position);
            Drop(position, "CleanUnlocked", false);
            position = next;
            dropped++;
        } else {
            ++position;
        }
    }
    putlog(LOG_DEBUG, "connection pool: deleted: %d of %d connections", dropped, examined);
    warn_level = 0;
    return dropped;
}

int ServerPool::CloseMyTunnel(unsigned tunnel_id) {
    if (tunnel_id == TUNNEL_ID_NONE)
        return 0;
    int closed = 0;
    pthread_mutex_lock(&mutex);
    for (auto position = pool.begin(); position != pool.end();) {
        auto next = std::next(position);
        if ((*position)->tunnel_id == tunnel_id) {
            Drop(position, "CloseMyTunnel", false);
            closed++;
        }
        position = next;
    }
    pthread_mutex_unlock(&mutex);
    return closed;
}

void* serverpool_clean(void*) {
    for (;;) {
        sleep(10);
        if (global != NULL && global->serverpool != NULL)
            global->serverpool->Clean(0);
    }
    return NULL;
}
