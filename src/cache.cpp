#include "cache.h"

CacheSection* cache_section = nullptr;

CacheSection::CacheSection() {}

void CacheSection::graceful_exit() {}

void* unlink_thread(void*) {
    return nullptr;
}
