// Cache of checked credentials (user and password to the result of the last
// check), aged by a timer job.
#pragma once

struct PASSWORD_CACHE_TABLE;

PASSWORD_CACHE_TABLE* password_cache_create(int n);
// Timer job: drops entries older than the configured age.
void password_cache_clean(void*);
