#include "cache.h"

CacheSection* cache_section = nullptr;

CacheSection::CacheSection() : Section("cache", SECTION_MUTEX) {}

void CacheSection::graceful_exit() {}

void* unlink_thread(void*) {
    return nullptr;
}
