// DNS cache: every host name the proxy connects to is resolved through
// net_dns, which keeps the system resolver's answers for DNS_CACHE_TIMEOUT
// seconds in GLOBAL::dnscache (a HASH_TABLE made by start-up) under
// GLOBAL::dnscache_lock.
//
// Contract:
// - Keys are the host names lower-cased and cut to DNS_CACHE_KEY_MAX
//   characters; values are the dotted IPv4 text of the first address the
//   resolver returned; the stamp is the time the lookup began.
// - Only successful lookups are stored; a failed name is asked again on the
//   next request. IPv4 literals are converted directly and never stored or
//   counted.
// - The lock is held for table work only, never during the resolver call,
//   so a slow lookup does not stall the other threads.
// - Every result is a new HOSTENT owned by the caller (hostent_free).
// - Without the process record or its table (tools, early start-up) names
//   are resolved without caching.
#pragma once

#include "core/mem.h"

// Seconds an entry is used after the lookup that made it began.
constexpr int DNS_CACHE_TIMEOUT = 600;

// Longest key; longer names are cut for the key (the resolver still gets the
// whole name).
constexpr int DNS_CACHE_KEY_MAX = 511;

// Resolves a host name or IPv4 literal through the cache; NULL when the name
// is NULL, empty or does not resolve (logged "DNS: failed: %s" at LOG_ERROR
// and counted as a DNS failure).
HOSTENT* net_dns(const char* name);

// Removes the cached entry of a name whose server could not be reached
// (logged "purged dns: %s" at LOG_NETWORK). NULL, empty names and IPv4
// literals: nothing, not even the log line.
void net_dns_purge(const char* name);

// Timer job (every 60 s, argument ignored): removes every entry whose stamp
// is at or before now - DNS_CACHE_TIMEOUT.
void dnscache_clean(void*);

// The resolver net_dns asks on a miss: p_gethostbyname. Tests replace it to
// count and steer lookups.
extern HOSTENT* (*dnscache_resolver)(const char* name);
