// Disk stores of the object cache: one directory per store holding a file
// per object and a journal of the store's objects, so that the cache
// survives a restart.
//
// The stores are not built yet: every object lives in memory only. The
// object cache already calls the store operations of CacheSection (defined
// in store.cpp) at the points where the disk half joins it; each one states
// below what it will do and what it does until then. All of them run under
// the section mutex except graceful_exit and unlink_thread.
//
// - stores_update(): rebuilds CacheSection::stores from subsection 0 and
//   reads and rewrites every store's journal (at every update()). Now: the
//   list stays empty.
// - select_store(connection, object): gives a new object the store chosen
//   by the store policy among the stores whose profiles match. Now: no
//   store, so the object lives in memory.
// - disk_create(object): at the first write of an object with a store,
//   creates its file (CACHEMAP::fd, CACHE_DISK, first journal line); false
//   when a full disk made it fail, the object then already invalid. Now: the
//   object loses its store and goes on in memory; true.
// - disk_map(object): maps the file of an object on disk only for reading
//   (CACHE_MEM, addr, size, times from the file); false when it cannot be
//   opened, the caller then frees the object. Now: false.
// - disk_delete(object): closes the descriptor, queues the file for
//   deletion, takes the object off its store's counts, clears CACHE_DISK.
// - store_grow(object, n): adds n stored bytes to the object's store and
//   marks a store over its limit full.
// - store_over_limit(object): the object's store holds more than its limit
//   (marked full then). Now: false.
// - journal_add(object): appends the object's journal line; 1, -1 when the
//   journal cannot be opened; 1 without store.
// - touch_unlocked(object, also_mtime): access time (and stored time) now,
//   the file's times set to them, a journal line.
// - md5_again / md5_check: the MD5 text of a finished object, and its check
//   at every reading lookup (0: mismatch, the caller frees the object).
//   Without a store the text is "0" and the check passes.
// - stores_warn_over_limit, stores_clean_begin, store_sheds,
//   stores_clean_end: the store half of cleaning (warnings of an early
//   request, store targets, whether a disk object is freed because its
//   store is above its target, the closing report). store_sheds now: false.
// - graceful_exit(): deletes the queued files and rewrites open journals at
//   shutdown and SIGHUP. Now: nothing to do.
// - unlink_thread(): deletes queued files one at a time. Now: nothing is
//   ever queued; the thread ends at once.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>

#include "config/config_lists.h"

class Item;

// One store (an entry of subsection 0 of "cache").
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
    unsigned journal_lines;
    int entries;           // objects of the store on disk
    uint64_t bytes;        // their bytes
    bool diskfull;         // over its limit, or its disk refused a write
    time_t last_rewrite;
    uint64_t clean_target;
};
