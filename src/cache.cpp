#include "cache.h"

CacheSection* cache_section = nullptr;

CacheSection::CacheSection()
    : Section("cache", SECTION_MUTEX),
      icp_port(&global_field(7, FIELD_INT).value),
      icp_timeout(&global_field(8, FIELD_INT).value) {}

int CacheSection::exists(const char*) { return 0; }

int CacheSection::icpport_get() { return __atomic_load_n(icp_port, __ATOMIC_RELAXED); }

int CacheSection::icptimeout_get() { return __atomic_load_n(icp_timeout, __ATOMIC_RELAXED); }

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
