#include "net/dnscache.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include "core/compat.h"
#include "core/global.h"
#include "core/hash.h"
#include "core/log.h"
#include "core/misc.h"
#include "iface/performance.h"

HOSTENT* (*dnscache_resolver)(const char* name) = p_gethostbyname;

// A new HOSTENT holding one IPv4 address (network order).
static HOSTENT* hostent_make(struct in_addr address) {
    HOSTENT* host = static_cast<HOSTENT*>(xmalloc(sizeof(HOSTENT)));
    if (host == NULL)
        FATAL_ALLOC("src/dnscache", sizeof(HOSTENT));
    host->addr = static_cast<char*>(xmalloc(sizeof address));
    if (host->addr == NULL)
        FATAL_ALLOC("src/dnscache", sizeof address);
    memcpy(host->addr, &address, sizeof address);
    host->length = sizeof address;
    return host;
}

// The cache key of a name: cut to DNS_CACHE_KEY_MAX characters, lower case.
static void make_key(char (&key)[DNS_CACHE_KEY_MAX + 1], const char* name) {
    s_strncpy(key, name, sizeof key);
    string_tolower(key);
}

static bool cache_present() { return global != NULL && global->dnscache != NULL; }

HOSTENT* net_dns(const char* name) {
    if (name == NULL || name[0] == '\0')
        return NULL;
    char key[DNS_CACHE_KEY_MAX + 1];
    make_key(key, name);

    if (isip(key)) {
        struct in_addr address;
        if (inet_aton(key, &address) == 0)
            return NULL;
        return hostent_make(address);
    }

    time_t now = time(NULL);
    if (cache_present()) {
        pthread_mutex_lock(&global->dnscache_lock);
        HASH_ENTRY* entry = hash_search(global->dnscache, key);
        if (entry != NULL && entry->stamp + DNS_CACHE_TIMEOUT >= now) {
            const char* text = static_cast<const char*>(entry->value);
            struct in_addr address;
            if (inet_aton(text, &address) != 0) {
                if (performance_log != NULL)
                    performance_log->set_dns_hit(1);
                global->stats.Increment("DNS cache", "hit");
                putlog(LOG_DEBUG, "DNS: cache: hit: %s -> %s", key, text);
                HOSTENT* host = hostent_make(address);
                pthread_mutex_unlock(&global->dnscache_lock);
                return host;
            }
        }
        if (entry != NULL)
            hash_purge(global->dnscache, key);
        pthread_mutex_unlock(&global->dnscache_lock);
    }

    HOSTENT* resolved = dnscache_resolver(name);
    if (resolved == NULL) {
        if (performance_log != NULL)
            performance_log->set_dns_fail(1);
        putlog(LOG_ERROR, "DNS: failed: %s", key);
        return NULL;
    }
    if (!cache_present())
        return resolved;

    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, resolved->addr, text, sizeof text) == NULL)
        return resolved;
    char* value = xstrdup(text);
    if (value == NULL)
        FATAL_ALLOC("src/dnscache", strlen(text) + 1);
    pthread_mutex_lock(&global->dnscache_lock);
    // Another thread may have inserted the name meanwhile: its entry is kept
    // and only re-stamped.
    HASH_ENTRY* entry = hash_insert(global->dnscache, key, value);
    if (entry != NULL)
        entry->stamp = now;
    if (performance_log != NULL)
        performance_log->set_dns_miss(1);
    global->stats.Increment("DNS cache", "miss");
    putlog(LOG_DEBUG, "DNS: cache: insert: %s -> %s", key, text);
    pthread_mutex_unlock(&global->dnscache_lock);
    return resolved;
}

void net_dns_purge(const char* name) {
    if (name == NULL || name[0] == '\0' || isip(name))
        return;
    char key[DNS_CACHE_KEY_MAX + 1];
    make_key(key, name);
    putlog(LOG_NETWORK, "purged dns: %s", key);
    if (!cache_present())
        return;
    pthread_mutex_lock(&global->dnscache_lock);
    hash_purge(global->dnscache, key);
    pthread_mutex_unlock(&global->dnscache_lock);
}

void dnscache_clean(void*) {
    if (!cache_present())
        return;
    pthread_mutex_lock(&global->dnscache_lock);
    hash_expire(global->dnscache, DNS_CACHE_TIMEOUT);
    pthread_mutex_unlock(&global->dnscache_lock);
}
