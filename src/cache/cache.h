// Configuration section: object cache.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include <stdint.h>
#include <time.h>

#include "config/section.h"

struct CONNECTION_T;
struct HEADER;
class Filebuf;
class HTMLStream;

// For a request: an absolute-URL GET without Authorization, URL user (or
// "anonymous") or Range; for a response: status 200. Nothing is cacheable
// until the cache is built.
bool cacheable(const HEADER* header);

// Bits of CACHEMAP::flags.
enum {
    CACHE_WRITING = 0x1,
    CACHE_INVALID = 0x2,
    CACHE_EXPIRED = 0x4,
    CACHE_VALIDATE = 0x8,
    CACHE_PREFETCHED = 0x10,
    CACHE_OFFLINE = 0x40,
    CACHE_CLEAN = 0x400,
    CACHE_BUFFERWAIT = 0x800,
    CACHE_DISCARD = 0x1000,
    CACHE_FORCE = 0x2000,
};

// One cached object: the stored response-header text at `addr`, then the
// body; `start` is the length of the header text, `size` the bytes stored so
// far (header included). Until the cache is built only what its callers
// read exists, and `holders` counts the references.
struct CACHEMAP {
    char* key;
    char* addr;
    unsigned start;
    uint64_t size;
    time_t mtime;
    time_t lastmod;
    HEADER* header;
    int flags;
    int holders;
};
class CacheSection : public Section {
public:
    CacheSection();
    void update() override {}
    // Deletes the files queued for deletion and journals every object
    // still being stored; called by the shutdown sequence and SIGHUP.
    void graceful_exit();
    // Number of holders (readers and writer); an object held by one only is
    // marked CACHE_INVALID so that it is dropped when released.
    int refcount(CACHEMAP* object);
    // ORs bits into the object's flags; returns the new flags.
    int flag_set(CACHEMAP* object, int bits);
    void flag_unset(CACHEMAP* object, int bits);
    // Answers the client with the page "downloading" for an object still
    // being fetched; nothing is sent until the cache is built.
    void send_status(CONNECTION_T* connection, CACHEMAP* object);
    // The object's stored time (fetched or last revalidated), read under the
    // cache lock; 0 for NULL.
    time_t get_mtime(CACHEMAP* object);

    // What the request road and the HTTP exchange use. Until the cache is
    // built nothing is stored: cache_open finds and creates nothing, so the
    // other calls are never reached with an object.
    CACHEMAP* cache_open(CONNECTION_T* connection, const char* url, const char* header_text,
                         int flags);
    void cache_close(CACHEMAP* object, bool complete);
    void invalidate(CACHEMAP* object);
    int flag_get(CACHEMAP* object);
    void check(HEADER* request);
    void validated(CACHEMAP* object);
    char* cachemap_headers(CACHEMAP* object);
    Filebuf* read_filebuf(CACHEMAP* object);
    int add(CACHEMAP* object, const void* data, unsigned length);
    int64_t send(CACHEMAP* object, CONNECTION_T* connection, int side);
    uint64_t get_cachemap_size(CACHEMAP* object);
    // Feeds the stored bytes of a mapped object to an HTML parser.
    void feed_html(CACHEMAP* object, HTMLStream* stream);
    // 1 when an object is stored under the URL key, else 0; changes nothing.
    // Nothing is stored until the cache is built.
    int exists(const char* url);
    // The ICP server's UDP port (0: no ICP server) and the milliseconds the
    // ICP client waits for replies, read atomically without the section lock.
    int icpport_get();
    int icptimeout_get();

private:
    int* icp_port;
    int* icp_timeout;
};

extern CacheSection* cache_section;

// Service thread deleting queued cache files one at a time.
void* unlink_thread(void*);
