#include "dnscache.h"

void dnscache_clean(void*) {}
