// Cache of directory users: user name (compared ignoring case) to DN and
// group names.
#pragma once

struct DN_CACHE_TABLE;

DN_CACHE_TABLE* dn_cache_create(int n);
