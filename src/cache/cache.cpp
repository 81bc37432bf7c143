#include "cache/cache.h"

#include "core/filebuf.h"

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

bool cacheable(const HEADER*) {
    return false;
}

CACHEMAP* CacheSection::cache_open(CONNECTION_T*, const char*, const char*, int) {
    return nullptr;
}

void CacheSection::cache_close(CACHEMAP*, bool) {}
void CacheSection::invalidate(CACHEMAP*) {}

int CacheSection::flag_get(CACHEMAP* object) {
    return object->flags;
}

void CacheSection::check(HEADER*) {}
void CacheSection::validated(CACHEMAP*) {}

char* CacheSection::cachemap_headers(CACHEMAP*) {
    return nullptr;
}

Filebuf* CacheSection::read_filebuf(CACHEMAP*) {
    return new Filebuf();
}

int CacheSection::add(CACHEMAP*, const void*, unsigned) {
    return -1;
}

int64_t CacheSection::send(CACHEMAP*, CONNECTION_T*, int) {
    return 0;
}

uint64_t CacheSection::get_cachemap_size(CACHEMAP*) {
    return 0;
}

void CacheSection::feed_html(CACHEMAP*, HTMLStream*) {}
