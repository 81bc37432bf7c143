// What the statistics hold: the groups of the global object and of every
// access rule's object, and the feeds the request road calls.
#include <string>

#include "core/global.h"
#include "http/header.h"
#include "iface/process_figures.h"
#include "iface/stats.h"
#include "net/connection.h"

void globalstats_init() {
    Stats& stats = global->stats;
    stats.AddGroup("system", STAT_PLAIN);
    stats.AddCounter("system", "user time", stat_usertime, STAT_STRING);
    stats.AddCounter("system", "system time", stat_systime, STAT_STRING);
    stats.AddCounter("system", "memory resident", stat_resident, STAT_SIZE);
    stats.AddCounter("system", "memory size", stat_size, STAT_SIZE);
    stats.AddCounter("system", "memory shared", stat_share, STAT_SIZE);
    stats.AddCounter("system", "minor pagefaults", stat_minflt, STAT_COUNT);
    stats.AddCounter("system", "major pagefaults", stat_majflt, STAT_COUNT);
    stats.AddGroup("requests", STAT_PLAIN);
    stats.AddCounter("requests", "HTTP requests", STAT_COUNT);
    stats.AddCounter("requests", "FTP requests", STAT_COUNT);
    stats.AddCounter("requests", "CONNECT requests", STAT_COUNT);
    stats.AddGroup("network", STAT_PLAIN);
    stats.AddCounter("network", "successful connections", STAT_COUNT);
    stats.AddCounter("network", "failed connections", STAT_COUNT);
    stats.AddCounter("network", "DNS failures", STAT_COUNT);
    stats.AddCounter("network", "bytes in", STAT_SIZE);
    stats.AddCounter("network", "bytes out", STAT_SIZE);
    for (const char* group : {"DNS cache", "cache", "cache refresh", "connection pool"}) {
        stats.AddGroup(group, STAT_PERCENT);
        stats.AddCounter(group, "hit", STAT_COUNT);
        stats.AddCounter(group, "miss", STAT_COUNT);
    }
    for (const char* group : {"hosts", "mimes", "users", "ip addresses"}) {
        stats.AddGroup(group, STAT_PERCENT);
        stats.Limit(group, STAT_LIMIT, STAT_PRUNE_OLDEST);
    }
}

Stats* userstats_init() {
    Stats* stats = new Stats();
    stats->AddGroup("requests", STAT_PLAIN);
    stats->AddCounter("requests", "HTTP requests", STAT_COUNT);
    stats->AddCounter("requests", "FTP requests", STAT_COUNT);
    stats->AddCounter("requests", "CONNECT requests", STAT_COUNT);
    for (const char* group : {"cache", "cache refresh"}) {
        stats->AddGroup(group, STAT_PERCENT);
        stats->AddCounter(group, "hit", STAT_COUNT);
        stats->AddCounter(group, "miss", STAT_COUNT);
    }
    for (const char* group : {"hosts", "mimes"}) {
        stats->AddGroup(group, STAT_PERCENT);
        stats->Limit(group, STAT_LIMIT, STAT_PRUNE_OLDEST);
    }
    return stats;
}

namespace {

// One unit into the global object, then into the connection's rule object.
void count(CONNECTION_T* connection, const char* group, const char* name) {
    if (global != nullptr)
        global->stats.Increment(group, name);
    if (connection != nullptr && connection->user_stats != nullptr)
        connection->user_stats->Increment(group, name);
}

void uncount(CONNECTION_T* connection, const char* group, const char* name) {
    if (global != nullptr)
        global->stats.Decrement(group, name);
    if (connection != nullptr && connection->user_stats != nullptr)
        connection->user_stats->Decrement(group, name);
}

// A counter named by request data: added when new (pruning a full group),
// then counted.
void count_named(Stats* stats, const char* group, const char* name) {
    if (stats == nullptr || name == nullptr || name[0] == '\0')
        return;
    stats->IncrementOrAdd(group, name);
}

void count_named(CONNECTION_T* connection, const char* group, const char* name) {
    count_named(global != nullptr ? &global->stats : nullptr, group, name);
    if (connection != nullptr)
        count_named(connection->user_stats, group, name);
}

} // namespace

void statincr_httprequests(CONNECTION_T* connection) { count(connection, "requests", "HTTP requests"); }
void statincr_ftprequests(CONNECTION_T* connection) { count(connection, "requests", "FTP requests"); }
void statincr_connectrequests(CONNECTION_T* connection) {
    count(connection, "requests", "CONNECT requests");
}
void statincr_cachehit(CONNECTION_T* connection) { count(connection, "cache", "hit"); }
void statincr_cachemiss(CONNECTION_T* connection) { count(connection, "cache", "miss"); }
void statdecr_cachehit(CONNECTION_T* connection) { uncount(connection, "cache", "hit"); }
void statincr_cacherefreshhit(CONNECTION_T* connection) { count(connection, "cache refresh", "hit"); }
void statincr_cacherefreshmiss(CONNECTION_T* connection) {
    count(connection, "cache refresh", "miss");
}

void statincr_hosts(CONNECTION_T* connection) {
    if (connection != nullptr && connection->request != nullptr)
        count_named(connection, "hosts", connection->request->host);
}

void statincr_mimes(CONNECTION_T* connection) {
    if (connection != nullptr && connection->response != nullptr)
        count_named(connection, "mimes", connection->response->mime_type);
}

void statincr_ipaddresses(CONNECTION_T* connection) {
    if (connection != nullptr && global != nullptr)
        count_named(&global->stats, "ip addresses", connection->client_ip);
}
