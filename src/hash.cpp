#include "hash.h"

#include "mem.h"

HASH_TABLE* hash_create(int n) {
    HASH_TABLE* table = static_cast<HASH_TABLE*>(xmalloc(sizeof(HASH_TABLE)));
    if (table == nullptr)
        FATAL_ALLOC("src/hash", sizeof(HASH_TABLE));
    table->buckets = n;
    table->table = static_cast<HASH_ENTRY**>(xmalloc(sizeof(HASH_ENTRY*) * static_cast<unsigned>(n)));
    if (table->table == nullptr)
        FATAL_ALLOC("src/hash", static_cast<unsigned>(sizeof(HASH_ENTRY*) * n));
    return table;
}
