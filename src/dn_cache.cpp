#include "dn_cache.h"

// No directory is consulted yet, so nothing is cached.
DN_CACHE_TABLE* dn_cache_create(int) { return nullptr; }
