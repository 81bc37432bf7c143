// DNS cache: host name to addresses, aged by a timer job.
#pragma once

// Timer job (every 60 s): drops entries older than the cache's age.
void dnscache_clean(void*);
