// Disk stores of the object cache: one directory per store holding a file
// per object and a journal of the store's objects, so that the cache
// survives a restart.
//
// Files. An object's file is "<store>/<xx>/<md5>": xx the two lowercase hex
// digits of hash_key(256, key), md5 the 32 lowercase hex digits of the MD5
// of the key, so one URL always lands in the same file of a store. It holds
// exactly the object's bytes (stored header text, then body) once the
// object is finished; while it is written the file is extended, with its
// blocks reserved (a full disk fails that object, it never faults a
// mapping), ahead of the data and cut back at the writer's completing close.
// Its access and modification times are the object's atime and mtime.
//
// Journal. "<store>/journal" lists state changes, one line each of ten TAB
// separated fields: flags, key, size, mtime, atime, minage, maxage,
// maxnoexp, lmfactor, md5 (journal.h). Every state change of an object with
// a store appends a line; the last line of a key is the object's state. A
// rewrite writes "journal.new" with one line per object of the store, syncs
// it and renames it over "journal", then syncs the directory: whenever the
// process stops, one whole journal is in place. At every configuration
// update each store's journal is read back into the table (objects that
// ended unfinished, invalid or temporary are dropped and their files
// deleted) and rewritten. A key that cannot be written into a journal line
// (TAB, CR or LF in it, or longer than JOURNAL_KEY_MAX) never goes to a
// store: such an object lives in memory only.
//
// Every store operation of CacheSection (declared in cache.h, defined in
// store.cpp, journal.cpp and unlink.cpp) runs under the section mutex, but
// unlink_thread, which takes only the unlink queue's mutex, and
// graceful_exit, which takes both itself with a bounded wait.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>

#include "config/config_lists.h"

class Item;

// One store (an entry of subsection 0 of "cache"). The pointers point into
// the entry's fields, which stay in place until the next update() rebuilds
// the stores.
class Store {
public:
    explicit Store(Item& item);

    int* enabled;
    std::string* comment;
    StringList* profiles;
    std::string* path;     // the store directory; empty: inert
    uint64_t* limit;       // bytes the store may hold; 0: never chosen
    unsigned* free_extra;  // bytes cleaning frees below usage when over or full
    int* md5;              // 1: keep and verify MD5 texts
    int journal_fd;        // the journal open for appending, -1 when closed
    unsigned journal_lines; // lines appended since it was opened or rewritten
    int entries;           // objects of the store on disk
    uint64_t bytes;        // their bytes (sum of CACHEMAP::size)
    bool diskfull;         // over its limit, or its disk refused a write
    time_t last_rewrite;   // when the journal was last rewritten; 0: never
    uint64_t clean_target; // the level a cleaning brings the store down to
    size_t position;       // place in CacheSection::stores

    // A store with a directory: it keeps files and a journal.
    bool has_directory() const { return !path->empty(); }
    // Strictly more bytes than its limit.
    bool over_limit() const { return bytes > *limit; }
};

// Writes the path of the key's file in the store ("<store>/<xx>/<md5>");
// returns the subdirectory number xx.
unsigned store_file_path(const Store* store, const char* key, char* path, size_t size);
// True when the path names an object file of the store.
bool store_holds_path(const Store* store, const char* path);

// Rewrites of one journal are at least this many seconds apart.
constexpr time_t JOURNAL_REWRITE_GAP = 30;
// Journal lines after which a journal is rewritten when the configured
// threshold is 0.
constexpr unsigned JOURNAL_DEFAULT_THRESHOLD = 128000;
