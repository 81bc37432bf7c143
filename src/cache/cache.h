// The object cache: whole responses kept by the URL of the request that
// fetched them, opened for lookup or creation, shared by reference,
// followed by other requests while still being written, invalidated and
// revalidated. It is the configuration section "cache".
//
// An object (CACHEMAP) is one byte image, the stored response-header text
// followed by the body, in one memory mapping: an anonymous mapping for an
// object that lives in memory only, or a shared mapping of its file in a
// disk store (store.h). The table has CACHE_TABLE_SIZE chains chosen by
// hash_key; keys are compared byte for byte and never held twice.
//
// Contract:
// - One mutex, the section mutex, guards the table and every object field.
//   Operations take it themselves unless their name ends in _unlocked (the
//   caller holds it). No socket is written and no HTML parser is fed while it
//   is held: followers copy a range under the mutex and write it after
//   releasing it; a finished object is written straight from its mapping,
//   which the caller's reference keeps in place.
// - References: cache_open returns an object with one reference for the
//   caller (a created object starts at 1); every holder gives it back exactly
//   once, by cache_close or by invalidate (which consumes it). An object is
//   freed only when nobody holds it: invalidated with no other holder, the
//   last reference of an invalid object given back, or by cleaning, which
//   touches only objects without references.
// - The writer of an object (cache_open with CACHE_WRITING) stores the
//   header text at creation, appends the body with add and ends with
//   cache_close(object, true) after a whole transfer or invalidate after a
//   failed one. Readers follow it with send or read_filebuf.
// - A failed mapping, a size beyond the limits or a huge announced length
//   fails that object only (it becomes invalid); nothing here is fatal but
//   broken invariants.
// - The cache clock (CacheSection::clock, utc_time unless a test injects
//   another) gives every stored and compared time, in UTC seconds.
// - Lock order: the prefetch section's mutex before this one; this one
//   before the unlink queue's mutex.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/section.h"

struct CONNECTION_T;
struct HEADER;
class Filebuf;
class HTMLStream;
class Item;
class Store;

// For a request: a proxy-form GET without Authorization, without Range,
// whose URL names no user or the user "anonymous". For a response: status
// 200 and no Cache-Control "private" or "no-store" (such a response is for
// one client only and is never stored). Nothing else is cacheable.
bool cacheable(const HEADER* header);

// Bits of CACHEMAP::flags; the same bits are the flags of cache_open.
enum {
    CACHE_WRITING = 0x1,     // open: create; object: a writer is filling it
    CACHE_INVALID = 0x2,     // dead: never returned by a lookup
    CACHE_EXPIRED = 0x4,     // stale by its own headers and Refresh numbers
    CACHE_VALIDATE = 0x8,    // must be revalidated with the origin before use
    CACHE_PREFETCHED = 0x10, // stored by prefetching: kept for the prefetch window
    CACHE_VIOLATION = 0x20,  // stored although the response said no-cache
    CACHE_OFFLINE = 0x40,    // open only: the lookup also returns violation objects
    CACHE_DISK = 0x80,       // the object has a file in its store
    CACHE_MEM = 0x100,       // the object is mapped
    CACHE_CONDVAR = 0x200,   // CACHEMAP::cond is initialised
    CACHE_CLEAN = 0x400,     // the body passed the response processors
    CACHE_BUFFERWAIT = 0x800, // the client got the "downloading" page
    CACHE_DISCARD = 0x1000,  // temporary: gone 60 s after it was stored
    CACHE_FORCE = 0x2000,    // exempt from the maximum size and a non-cacheable rule
};

// CacheSection::clean_state.
enum {
    CLEAN_STATE_DONE = 0,       // the last cleaning brought memory below its target
    CLEAN_STATE_DEFERRED = 1,   // a cleaning was asked for within the interval
    CLEAN_STATE_UNDERSIZED = 2, // the last cleaning left memory above its target
    CLEAN_STATE_PRESSURE = 3,   // a lookup saw memory above its target within the interval
};

constexpr unsigned CACHE_TABLE_SIZE = 104729;
// Mapped objects at which a growing object triggers cleaning.
constexpr int max_mementries = 2000;
// Seconds a CACHE_DISCARD object lives after it was stored.
constexpr time_t CACHE_DISCARD_SECONDS = 60;
// Mappings without an announced length grow in steps of this many bytes.
constexpr size_t CACHE_MAP_STEP = 65536;

// Cache-Control directives of a stored response, read once when its header
// is parsed (CACHEMAP::cc).
enum {
    CACHE_CC_MUST_REVALIDATE = 0x1,
    CACHE_CC_NO_CACHE = 0x2, // no-cache or no-store
};

// One cached object. Every field is read and written under the section
// mutex, except that the mapping of a finished object (addr, start, size)
// stays in place while the reader holds its reference.
struct CACHEMAP {
    pthread_cond_t cond; // followers wait here (CACHE_CONDVAR)
    int fd;              // store file descriptor while writing, else -1
    char* key;           // owned copy of the URL key
    char* addr;          // base of the mapping; NULL when unmapped
    int refcount;        // references of the writer and the readers
    size_t size;         // bytes stored: header text plus body
    size_t maplen;       // length of the mapping, never below size
    size_t start;        // length of the header text: offset of the body
    unsigned flags;      // CACHE_*
    HEADER* header;      // the stored header parsed; owned; NULL while unmapped
    Store* store;        // the store holding the file; NULL: memory only
    char md5[33];        // MD5 text of the stored bytes, "0" when none is kept
    time_t atime;        // last access
    time_t mtime;        // stored or last revalidated
    time_t expires;      // expiry from the stored response, 0 = none
    time_t lmexpires;    // expiry derived from Last-Modified, 0 = none
    time_t lastmod;      // Last-Modified of the stored response, 0 = none
    int minage;          // seconds, from the Refresh rule
    int maxage;          // seconds, from the Refresh rule
    int maxnoexp;        // seconds, from the Refresh rule
    unsigned lmfactor;   // percent, from the Refresh rule

    // The stored response's freshness headers, read once when `header` is
    // parsed so that a lookup only does arithmetic under the mutex.
    time_t hdr_expires;  // Expires (1 for one that is not a date), 0 = none
    time_t hdr_lastmod;  // Last-Modified, 0 = none or not a date
    int64_t hdr_maxage;  // the last max-age, -1 = none
    unsigned cc;         // CACHE_CC_*

    CACHEMAP* chain_prev; // neighbours in the table chain
    CACHEMAP* chain_next;
};

// One freshness rule (subsection "refresh"), copied from its entry.
class Refresh {
public:
    explicit Refresh(const Item& item);

    bool enabled;
    StringList profiles;
    bool cacheable;
    unsigned min_age;
    unsigned max_age;
    unsigned max_age_no_expiry;
    unsigned lm_factor;
};

class CacheSection : public Section {
public:
    CacheSection();
    ~CacheSection() override;
    // Rebuilds the Refresh rules, then the stores (store.cpp).
    void update() override;

    // ---- Objects (cache.cpp) ----
    // Looks up, maps or creates the object of `url`. flags: CACHE_WRITING
    // creates (with `header_text` as the stored header text; NULL
    // otherwise) or replaces an unreferenced object; CACHE_OFFLINE also
    // returns violation objects; further bits are stored on a new object.
    // connection may be NULL except when writing. NULL: nothing to use.
    CACHEMAP* cache_open(CONNECTION_T* connection, const char* url, const char* header_text,
                         int flags);
    // Marks the object dead and consumes the caller's reference.
    void invalidate(CACHEMAP* object);
    void invalidate_unlocked(CACHEMAP* object);
    int flag_get(CACHEMAP* object);
    // Set or clear bits; both return the new flag word.
    int flag_set(CACHEMAP* object, int bits);
    int flag_unset(CACHEMAP* object, int bits);
    // New text naming the set bits ("CACHE_WRITING, CACHE_MEM"); the caller
    // holds the mutex and frees the text.
    char* flag_string(CACHEMAP* object);
    // Number of references; exactly 1 also marks the object CACHE_INVALID, so
    // that a writer left alone drops it when it lets go.
    int refcount(CACHEMAP* object);
    // 1 when an object (valid or not) is stored under the key, else 0.
    int exists(const char* url);
    // The origin confirmed the object: CACHE_VALIDATE cleared, stored and
    // access times now, journalled.
    void validated(CACHEMAP* object);
    // CACHEMAP::mtime and CACHEMAP::lastmod; 0 for NULL.
    time_t get_mtime(CACHEMAP* object);
    time_t get_lmtime(CACHEMAP* object);
    // New copy of the stored header text; NULL without mapping or header.
    char* cachemap_headers(CACHEMAP* object);
    // Body length (size minus start), 0 without mapping or header text.
    uint64_t get_cachemap_size(CACHEMAP* object);
    // Copies the first matching Refresh rule into the object; the caller
    // holds the mutex. Without a connection only rules without profiles.
    void select_refresh(CONNECTION_T* connection, CACHEMAP* object);

    // ---- Freshness (freshness.cpp) ----
    // Response side: recomputes the expiry fields and CACHE_EXPIRED, sets
    // CACHE_VIOLATION for a no-cache response; the caller holds the mutex.
    void check_header(CACHEMAP* object);
    // Request side: sets CACHE_VALIDATE on the object of the request's URL
    // when the request's Cache-Control demands revalidation.
    void check(HEADER* request);

    // ---- Filling and following (cache_fill.cpp) ----
    // Appends body bytes: 0, or -1 when the object is or became invalid
    // (nothing is stored then).
    int add(CACHEMAP* object, const void* data, unsigned length);
    bool add_unlocked(CACHEMAP* object, const void* data, size_t length);
    // Gives a reference back; complete = true finishes the writer's object.
    // An object without key is left alone.
    void cache_close(CACHEMAP* object, bool complete);
    void close_unlocked(CACHEMAP* object, bool complete);
    // Writes the body to the connection's client socket (side 1: server
    // socket), following an object still being written; a follower that
    // sees no new byte for the connection's I/O time-out gives up. Returns
    // the body bytes written. A client that fails or leaves ends only this
    // send (the connection is not kept alive); the object stays. `head`
    // (the response header text, or NULL) goes out first: in the same write
    // as a small finished body, which the call may append to it.
    int64_t send(CACHEMAP* object, CONNECTION_T* connection, int side, Filebuf* head = nullptr);
    // A new buffer holding the body once the writer has finished; NULL when
    // the object ended without its whole body (the writer failed, or wrote
    // nothing for `stall_seconds`).
    Filebuf* read_filebuf(CACHEMAP* object, int stall_seconds = 60);
    // Answers the client with the page "downloading" (template variables
    // "TRANSFERRED", "MTIME", "SIZE").
    void send_status(CONNECTION_T* connection, CACHEMAP* object);
    // Feeds the whole stored image (header text and body) of a finished
    // object to the parser, without the mutex.
    void feed_html(CACHEMAP* object, HTMLStream* stream);

    // ---- Cleaning (cache_clean.cpp) ----
    // Frees unreferenced objects, oldest access first, until memory (and
    // the stores) are within their targets; at most once per clean
    // interval. The caller holds the mutex.
    void clean();

    // ---- Stores (store.cpp: the disk half) ----
    void stores_update();
    void select_store(CONNECTION_T* connection, CACHEMAP* object);
    bool disk_create(CACHEMAP* object);
    bool disk_map(CACHEMAP* object);
    void disk_delete(CACHEMAP* object);
    void store_grow(CACHEMAP* object, size_t length);
    bool store_over_limit(const CACHEMAP* object) const;
    int journal_add(CACHEMAP* object);
    void touch_unlocked(CACHEMAP* object, bool also_mtime);
    void md5_again(CACHEMAP* object);
    int md5_check(CACHEMAP* object);
    void stores_warn_over_limit();
    void stores_clean_begin();
    bool store_sheds(CACHEMAP* object);
    void stores_clean_end();
    // Deletes the queued files and rewrites the open journals; called by the
    // shutdown sequence and SIGHUP.
    void graceful_exit();

    // The ICP server's UDP port (0: no ICP server) and the milliseconds the
    // ICP client waits for replies, read atomically without the section lock.
    int icpport_get();
    int icptimeout_get();

    // The cache clock.
    time_t (*clock)(time_t* out);

    // Values of the global fields 0 to 11.
    int* enabled;
    int* serve_violations;
    uint64_t* memory_size;
    unsigned* memory_free_extra;
    unsigned* min_size;
    unsigned* max_size;
    int* prefetch_window;
    int* icp_port;
    int* icp_timeout;
    int* store_policy;
    unsigned* journal_threshold;
    unsigned* clean_interval;

    pthread_mutex_t unlink_mutex;
    pthread_cond_t unlink_cond;
    std::list<std::string> unlink_queue;
    int unlink_count;

    unsigned table_size;
    uint64_t mem_bytes; // sum of CACHEMAP::size over the mapped objects
    int mem_objects;    // mapped objects
    time_t last_clean;
    int clean_state;    // CLEAN_STATE_*
    bool cleaning;
    std::list<Store*> stores;
    std::list<Refresh> refreshes;
    CACHEMAP** table;

    // The object stored under the key in its chain (hash_key of the key),
    // or NULL; the caller holds the mutex.
    CACHEMAP* find_object_unlocked(unsigned chain, const char* key) const;

private:
    void table_remove(CACHEMAP* object);
    void release_unlocked(CACHEMAP* object);
    void mem_delete(CACHEMAP* object);
    bool resize(CACHEMAP* object, size_t length);
    void clean_if_needed(const CACHEMAP* object);
    void clean_trigger(CACHEMAP* result, time_t now);
    bool wait_for_writer(CACHEMAP* object, size_t position, int stall_seconds);
    void memory_line();
};

extern CacheSection* cache_section;

// A new object: every field 0 or NULL, fd -1, md5 "0", hdr_maxage -1; with
// `condvar` an initialised condition and CACHE_CONDVAR. NULL when there is
// no memory for it (logged).
CACHEMAP* cachemap_new(bool condvar);

// Service thread deleting queued cache files one at a time.
void* unlink_thread(void*);
