// Chained hash table from text keys to owned heap values; no lock inside,
// every user guards its table with its own lock.
#pragma once

struct HASH_ENTRY;

struct HASH_TABLE {
    int buckets;
    HASH_ENTRY** table;
};

// A table with n empty chains.
HASH_TABLE* hash_create(int n);
