#include "core/hash.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "core/mem.h"

static const char SOURCE[] = "src/hash";

unsigned hash_key(unsigned n, const char* key) {
    if (key == NULL || key[0] == '\0')
        return 0;
    uint32_t sum = 0;
    for (const char* p = key; *p != '\0'; p++) {
        int c = static_cast<signed char>(*p);
        // Arithmetic shifts of the signed value, as the index has always been.
        int term = 20 * c + (c >> 2) + (c >> 4) + 8111;
        sum += static_cast<uint32_t>(term);
    }
    return sum % n;
}

static HASH_ENTRY** chain_of(HASH_TABLE* table, const char* key) {
    return &table->table[hash_key(static_cast<unsigned>(table->buckets), key)];
}

// Frees one unlinked entry; an entry without key or value means the table
// was corrupted.
static void entry_free(HASH_ENTRY* entry, const char* caller) {
    if (entry->key == NULL || entry->value == NULL)
        fatal_error(SOURCE, __LINE__, caller, 0);
    free(entry->key);
    free(entry->value);
    free(entry);
}

HASH_TABLE* hash_create(int n) {
    if (n <= 0)
        FATAL(SOURCE);
    HASH_TABLE* table = static_cast<HASH_TABLE*>(xmalloc(sizeof(HASH_TABLE)));
    if (table == NULL)
        FATAL_ALLOC(SOURCE, sizeof(HASH_TABLE));
    size_t chains_size = sizeof(HASH_ENTRY*) * static_cast<size_t>(n);
    table->table = static_cast<HASH_ENTRY**>(xmalloc(chains_size));
    if (table->table == NULL)
        FATAL_ALLOC(SOURCE, chains_size);
    table->buckets = n;
    return table;
}

HASH_ENTRY* hash_search(HASH_TABLE* table, const char* key) {
    if (table == NULL)
        FATAL(SOURCE);
    if (key == NULL)
        return NULL;
    for (HASH_ENTRY* entry = *chain_of(table, key); entry != NULL; entry = entry->next)
        if (strcasecmp(entry->key, key) == 0)
            return entry;
    return NULL;
}

HASH_ENTRY* hash_insert(HASH_TABLE* table, const char* key, void* value) {
    if (table == NULL)
        FATAL(SOURCE);
    if (key == NULL)
        return NULL;
    if (value == NULL)
        FATAL(SOURCE);
    HASH_ENTRY** link = chain_of(table, key);
    for (; *link != NULL; link = &(*link)->next)
        if (strcasecmp((*link)->key, key) == 0) {
            free(value);
            return *link;
        }

    HASH_ENTRY* entry = static_cast<HASH_ENTRY*>(xmalloc(sizeof(HASH_ENTRY)));
    if (entry == NULL)
        FATAL_ALLOC(SOURCE, sizeof(HASH_ENTRY));
    entry->key = xstrdup(key);
    if (entry->key == NULL)
        FATAL_ALLOC(SOURCE, strlen(key) + 1);
    entry->value = value;
    *link = entry; // the end of the chain: chains keep insertion order
    return entry;
}

void hash_purge(HASH_TABLE* table, const char* key) {
    if (table == NULL)
        FATAL(SOURCE);
    if (key == NULL)
        return;
    for (HASH_ENTRY** link = chain_of(table, key); *link != NULL; link = &(*link)->next) {
        HASH_ENTRY* entry = *link;
        if (entry->key != NULL && strcasecmp(entry->key, key) == 0) {
            *link = entry->next;
            entry_free(entry, __func__);
            return;
        }
    }
}

int hash_expire_at(HASH_TABLE* table, unsigned age, time_t now) {
    if (table == NULL)
        FATAL(SOURCE);
    // Signed 64-bit time: an age beyond the present removes nothing rather
    // than wrapping into a cut-off far in the future.
    int64_t cutoff = static_cast<int64_t>(now) - static_cast<int64_t>(age);
    int removed = 0;
    for (int i = 0; i < table->buckets; i++) {
        HASH_ENTRY** link = &table->table[i];
        while (*link != NULL) {
            HASH_ENTRY* entry = *link;
            if (static_cast<int64_t>(entry->stamp) <= cutoff) {
                *link = entry->next;
                entry_free(entry, "hash_expire");
                removed++;
            } else {
                link = &entry->next;
            }
        }
    }
    return removed;
}

int hash_expire(HASH_TABLE* table, unsigned age) {
    return hash_expire_at(table, age, time(NULL));
}

void hash_destroy(HASH_TABLE* table) {
    if (table == NULL || table->table == NULL)
        FATAL(SOURCE);
    for (int i = 0; i < table->buckets; i++) {
        HASH_ENTRY* entry = table->table[i];
        while (entry != NULL) {
            HASH_ENTRY* next = entry->next;
            entry_free(entry, __func__);
            entry = next;
        }
    }
    free(table->table);
    free(table);
}
