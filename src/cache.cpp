#include "cache.h"

CacheSection* cache_section = nullptr;

CacheSection::CacheSection() : Section("cache", SECTION_MUTEX) {}

void CacheSection::graceful_exit() {}

// No object is stored until the cache itself is built.
time_t CacheSection::get_mtime(CACHEMAP*)
{
    return 0;
}

void* unlink_thread(void*) {
    return nullptr;
}
