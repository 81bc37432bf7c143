#include "cache.h"

CacheSection* cache_section = nullptr;

CacheSection::CacheSection() : Section("cache", SECTION_MUTEX) {}

void CacheSection::graceful_exit() {}

int CacheSection::refcount(CACHEMAP* object) {
    if (object->holders == 1)
        object->flags |= CACHE_INVALID;
    return object->holders;
}

int CacheSection::flag_set(CACHEMAP* object, int bits) {
    object->flags |= bits;
    return object->flags;
}

void CacheSection::flag_unset(CACHEMAP* object, int bits) { object->flags &= ~bits; }

void CacheSection::send_status(CONNECTION_T*, CACHEMAP*) {}

// No object is stored until the cache itself is built.
time_t CacheSection::get_mtime(CACHEMAP*)
{
    return 0;
}

void* unlink_thread(void*) {
    return nullptr;
}
