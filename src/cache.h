// Configuration section: object cache.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include <time.h>

#include "section.h"

// One cached object; only the cache section looks inside it.
struct CACHEMAP;

class CacheSection : public Section {
public:
    CacheSection();
    void update() override {}
    // Deletes the files queued for deletion and journals every object
    // still being stored; called by the shutdown sequence and SIGHUP.
    void graceful_exit();
    // The object's stored time (fetched or last revalidated), read under the
    // cache lock; 0 for NULL.
    time_t get_mtime(CACHEMAP* object);
};

extern CacheSection* cache_section;

// Service thread deleting queued cache files one at a time.
void* unlink_thread(void*);
