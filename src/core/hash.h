// Chained hash table from text keys to owned heap values, with a time stamp
// per entry for age expiry. No lock inside: every user guards its table with
// its own lock (the DNS cache holds GLOBAL::dnscache_lock around each call).
//
// Keys: the chain is chosen by hash_key, which takes the characters as they
// are (case counts), while keys within a chain compare ignoring case. Two
// keys that differ only in case therefore usually land in different chains
// and are different entries; users that want case-insensitive keys lower-case
// them before every call (the DNS cache does).
//
// Ownership: the table owns its entries, each entry a copy of its key and
// the value handed to hash_insert (released with free()). A value is never
// NULL. The chain count is fixed at creation; no resizing ever happens.
//
// Impossible states (a NULL table, an entry without key or value, a failed
// allocation) end in the fatal-error sequence with source "src/hash".
#pragma once

#include <time.h>

struct HASH_ENTRY {
    HASH_ENTRY* next; // next entry of the chain, NULL at the end
    time_t stamp;     // 0 at insertion; set by users (e.g. time of a lookup)
    char* key;        // owned copy of the key text
    void* value;      // owned heap value, released with free()
    void* reserved;   // always 0
};

struct HASH_TABLE {
    int buckets;       // number of chains, the modulus of hash_key
    HASH_ENTRY** table; // chain heads, NULL when empty
};

// Index of the chain of `key` among n chains; 0 for the empty key. Each
// character c, taken as a signed byte, adds 20*c + (c >> 2) + (c >> 4) + 8111
// to a wrapping 32-bit sum; the index is that sum modulo n. n must be > 0.
unsigned hash_key(unsigned n, const char* key);

// A table with n empty chains; n <= 0 is an impossible state.
HASH_TABLE* hash_create(int n);

// Takes ownership of `value` (not NULL). A NULL key returns NULL and the value
// stays the caller's. When the key is already present (ignoring case, within
// its chain) the offered value is freed and the existing entry is returned
// unchanged; otherwise a new entry (stamp 0) is appended at the end of its
// chain and returned. The entry stays the table's.
HASH_ENTRY* hash_insert(HASH_TABLE* table, const char* key, void* value);

// The entry of `key` (ignoring case, within its chain), or NULL when there is
// none or the key is NULL.
HASH_ENTRY* hash_search(HASH_TABLE* table, const char* key);

// Removes and frees the entry of `key` with its key and value; nothing when
// there is none or the key is NULL.
void hash_purge(HASH_TABLE* table, const char* key);

// Removes and frees every entry whose stamp is at or before now minus `age`
// seconds; entries that stay keep their order. Returns the number removed.
int hash_expire(HASH_TABLE* table, unsigned age);
// The same against a given current time.
int hash_expire_at(HASH_TABLE* table, unsigned age, time_t now);

// Frees every entry with its key and value, the chains and the table.
void hash_destroy(HASH_TABLE* table);
