// The process-wide record GLOBAL: made once by config() at start-up, reached
// through `global`, never freed. Everything in it is created before the
// service threads start and only read (or changed under its own lock) after.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "iface/stats.h"

struct LOGBUFFER;
struct HASH_TABLE;
struct TIMERS;
struct PASSWORD_CACHE_TABLE;
struct DN_CACHE_TABLE;
class ServerPool;
class ClientPool;

struct GLOBAL {
    // Guards the resource-usage totals that ending workers add.
    pthread_mutex_t mutex;
    struct {
        int64_t sec;
        int64_t usec;
    } utime, stime;
    uint64_t minflt;
    uint64_t majflt;

    LOGBUFFER* logbuffer;          // newest error-log lines
    HASH_TABLE* dnscache;          // DNS cache, 8111 chains
    ServerPool* serverpool;        // idle upstream connections
    ClientPool* clientpool;        // idle keep-alive client connections
    TIMERS* timers;                // periodic jobs of the timer thread
    Stats stats;                   // global statistics
    pthread_mutex_t dnscache_lock; // guards dnscache
    PASSWORD_CACHE_TABLE* password_cache;
    pthread_rwlock_t password_cache_lock;
    DN_CACHE_TABLE* dn_cache;
    pthread_rwlock_t dn_cache_lock;
};

extern GLOBAL* global;
