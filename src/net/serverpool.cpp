#include "net/serverpool.h"

#include <stdlib.h>
#include <strings.h>
#include <string.h>
#include <unistd.h>

#include "config/general.h"
#include "core/compat.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "iface/performance.h"
#include "net/connection.h"
#include "net/socket.h"

static const char* const SOURCE = "src/serverpool";

// The bytes a copy of text takes in an entry's block (none for NULL).
static size_t copy_size(const char* text) {
    return text != NULL ? strlen(text) + 1 : 0;
}

// Copies text to *area and moves *area past the copy; NULL stays NULL.
static char* copy_into(char** area, const char* text) {
    if (text == NULL)
        return NULL;
    size_t size = strlen(text) + 1;
    char* copy = static_cast<char*>(memcpy(*area, text, size));
    *area += size;
    return copy;
}

static bool same_text(const char* a, const char* b) {
    return a != NULL && b != NULL && strcmp(a, b) == 0;
}

static const char* shown(const char* text) { return text != NULL ? text : ""; }

static int pool_size_limit() { return general_section != NULL ? general_section->poolsize_get() : 0; }

static int pool_timeout() { return general_section != NULL ? general_section->pooltimeout_get() : 0; }

ServerPool::ServerPool() : warn_level(0) {}

ServerPool::~ServerPool() {
    Clean(1);
    std::list<serverpool_t*> doomed;
    mutex.lock();
    doomed.splice(doomed.end(), pool);
    mutex.unlock();
    ReleaseEntries(doomed, "~ServerPool");
}

// A new entry with its own copies of the key; allocation failure is fatal.
static serverpool_t* entry_new(Socket* sock, const char* protocol, const char* host, int port,
                               const char* user, const char* password, unsigned tunnel_id,
                               const char* route) {
    if (route == NULL)
        route = "";
    // One block for the entry and its copies: a socket is parked after
    // every request, and six allocations to park it showed in the profile.
    size_t size = sizeof(serverpool_t) + copy_size(protocol) + copy_size(host) +
                  copy_size(user) + copy_size(password) + copy_size(route);
    serverpool_t* entry = static_cast<serverpool_t*>(xmalloc(size));
    if (entry == NULL)
        FATAL_ALLOC(SOURCE, size);
    char* area = reinterpret_cast<char*>(entry + 1);
    entry->sock = sock;
    entry->added = time(NULL);
    entry->protocol = copy_into(&area, protocol);
    entry->host = copy_into(&area, host);
    entry->user = copy_into(&area, user);
    entry->password = copy_into(&area, password);
    entry->port = port;
    entry->tunnel_id = tunnel_id;
    entry->route = copy_into(&area, route);
    return entry;
}

// Frees an unlinked entry and its copies, the password wiped first; the
// socket is left to the caller.
static void entry_free(serverpool_t* entry, const char* function) {
    if (entry->protocol == NULL || entry->host == NULL)
        fatal_error(SOURCE, __LINE__, function, 0);
    if (entry->password != NULL)
        explicit_bzero(entry->password, strlen(entry->password));
    free(entry);
}

void ServerPool::ReleaseEntries(std::list<serverpool_t*>& doomed, const char* function) {
    for (serverpool_t* entry : doomed) {
        delete entry->sock;
        entry_free(entry, function);
    }
    doomed.clear();
}

int ServerPool::Add(Socket* sock, const char* protocol, const char* host, int port,
                    const char* user, const char* password, unsigned tunnel_id,
                    const char* route) {
    if (protocol == NULL || host == NULL)
        FATAL(SOURCE);
    // Anything left to read (bytes past the end of the last answer, or the
    // peer's close) would be taken for the answer to the next request sent
    // on the socket, perhaps another client's. Bytes already read are seen
    // here and such a socket is closed; the descriptor itself is asked by
    // Find, right before a request would be sent (asking it here as well
    // cost every request one more system call).
    if (sock == NULL || sock->BufferedInput()) {
        putlog(LOG_DEBUG, "Connection Pool: not kept, bytes left over: %s:%d", host, port);
        delete sock;
        return 0;
    }
    if (tunnel_id != TUNNEL_ID_NONE)
        putlog(LOG_ADVICE, "debug: added secured socket [%d] to pool: %s:%d",
               static_cast<int>(tunnel_id), host, port);

    // The entry, its copies and its list node are made before locking, so
    // that under the mutex the node is only linked in (splice allocates
    // nothing); the oldest entry of a full pool is unlinked the same way and
    // its socket closed after unlocking.
    int size_limit = pool_size_limit();
    std::list<serverpool_t*> added(1, entry_new(sock, protocol, host, port, user, password,
                                                tunnel_id, route));
    std::list<serverpool_t*> dropped;
    bool warn = false;
    mutex.lock();
    int n = static_cast<int>(pool.size());
    if (n >= size_limit && !pool.empty()) {
        dropped.splice(dropped.end(), pool, pool.begin());
        if (n != warn_level) {
            warn_level = n;
            warn = true;
        }
    }
    pool.splice(pool.end(), added);
    mutex.unlock();
    ReleaseEntries(dropped, "Add");
    if (warn)
        putlog(LOG_ADVICE,
               "Connection Pool: size:%d is inadequate, users accessing %s://%s:%s@%s:%d could "
               "report problems, consider increasing this, else reduce Connection Pool Timeout",
               n, protocol, shown(user), "*", host, port);
    return 0;
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
    // The oldest matching entry is unlinked under the mutex and checked
    // after releasing it (InputPending is a system call). A socket that
    // received something while parked (the server closed it, or sent bytes
    // nobody asked for) serves no request: it is closed, and the next
    // oldest of the key is tried.
    std::list<serverpool_t*> taken;
    for (;;) {
        mutex.lock();
        for (auto position = pool.begin(); position != pool.end(); ++position) {
            if (entry_matches(*position, protocol, host, port, user, password, tunnel_id,
                              route)) {
                taken.splice(taken.end(), pool, position);
                break;
            }
        }
        mutex.unlock();
        if (taken.empty())
            break;
        serverpool_t* entry = taken.front();
        Socket* candidate = entry->sock;
        entry_free(entry, "Find");
        taken.clear();
        if (!candidate->InputPending()) {
            found = candidate;
            break;
        }
        delete candidate;
    }

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
    int size_limit = pool_size_limit();
    int timeout = pool_timeout();
    std::list<serverpool_t*> doomed;
    mutex.lock();
    size_t examined = pool.size();
    int dropped = CleanUnlocked(all, size_limit, timeout, doomed);
    mutex.unlock();
    ReleaseEntries(doomed, "CleanUnlocked");
    if (examined > 0)
        putlog(LOG_DEBUG, "connection pool: deleted: %d of %d connections", dropped,
               static_cast<int>(examined));
    return dropped;
}

void shed_server_pool() {
    if (global != NULL && global->serverpool != NULL)
        global->serverpool->Clean(1);
}

int ServerPool::CleanUnlocked(int all, int size_limit, int timeout,
                              std::list<serverpool_t*>& doomed) {
    time_t now = time(NULL);
    if (performance_log != NULL)
        performance_log->set_connection_pool_size(pool.size());
    warn_level = 0;
    int examined = 0;
    int dropped = 0;
    for (auto position = pool.begin(); position != pool.end();) {
        serverpool_t* entry = *position;
        auto next = std::next(position);
        int p = examined++;
        if (entry->tunnel_id == TUNNEL_ID_NONE &&
            (now >= entry->added + timeout || p > size_limit || all != 0)) {
            doomed.splice(doomed.end(), pool, position);
            dropped++;
        }
        position = next;
    }
    return dropped;
}

int ServerPool::CloseMyTunnel(unsigned tunnel_id) {
    if (tunnel_id == TUNNEL_ID_NONE)
        return 0;
    std::list<serverpool_t*> doomed;
    mutex.lock();
    for (auto position = pool.begin(); position != pool.end();) {
        auto next = std::next(position);
        if ((*position)->tunnel_id == tunnel_id)
            doomed.splice(doomed.end(), pool, position);
        position = next;
    }
    mutex.unlock();
    int closed = static_cast<int>(doomed.size());
    ReleaseEntries(doomed, "CloseMyTunnel");
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
