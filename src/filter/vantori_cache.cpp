// The category cache of the section "vantori" (see filter/vantori.h).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "filter/vantori.h"
#include "filter/vantori_mx.h"
#include "http/header.h"

time_t (*vantori_clock)(time_t*) = time;

unsigned vantori_cache_key(int size, const char* site) {
    if (site == nullptr || site[0] == '\0' || size <= 0)
        return 0;
    // FNV-1a over the lower-cased bytes: every byte and its place count, so
    // host names that differ only in the order of their characters (www1,
    // www2, ...) spread over the buckets instead of sharing a few.
    uint32_t hash = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(site); *p != '\0'; p++) {
        unsigned char c = *p >= 'A' && *p <= 'Z' ? static_cast<unsigned char>(*p - 'A' + 'a') : *p;
        hash = (hash ^ c) * 16777619u;
    }
    return hash % static_cast<unsigned>(size);
}

namespace {

bool expired(const VANTORI_CACHE_ENTRY* record, time_t now) {
    switch (record->kind) {
    case VANTORI_RECORD_HINT:
        return false;
    case VANTORI_RECORD_FAILED:
        return now - record->time_added >= VANTORI_FAILURE_TTL || now < record->time_added;
    default:
        return now - record->time_added >= VANTORI_RECORD_TTL || now < record->time_added;
    }
}

// The link that points at the site's record (the bucket head or the
// predecessor's `next`), or at the chain's terminating NULL.
VANTORI_CACHE_ENTRY** find_link(VANTORI_CACHE_TABLE* table, const char* site) {
    VANTORI_CACHE_ENTRY** link = &table->buckets[vantori_cache_key(table->size, site)];
    while (*link != nullptr && strcasecmp((*link)->site, site) != 0)
        link = &(*link)->next;
    return link;
}

// Whether the record is one the cache file holds.
bool in_file(const VANTORI_CACHE_ENTRY* record) {
    return record->kind == VANTORI_RECORD_SERVICE;
}

// Unlinks and frees the record `link` points at; write lock held.
void remove_record(VANTORI_CACHE_TABLE* table, VANTORI_CACHE_ENTRY** link) {
    VANTORI_CACHE_ENTRY* record = *link;
    *link = record->next;
    if (in_file(record))
        table->added++;
    if (record->kind != VANTORI_RECORD_HINT)
        table->records--;
    free(record->site);
    free(record);
}

void sweep(VANTORI_CACHE_TABLE* table, time_t now) {
    for (int bucket = 0; bucket < table->size; bucket++) {
        VANTORI_CACHE_ENTRY** link = &table->buckets[bucket];
        while (*link != nullptr) {
            if (expired(*link, now))
                remove_record(table, link);
            else
                link = &(*link)->next;
        }
    }
    if (table->records < VANTORI_CACHE_RECORDS_MAX)
        table->full = false;
}

// Appends a new record at `link` (the end of the site's chain); write lock
// held. NULL when the bound keeps it out.
VANTORI_CACHE_ENTRY* append_record(VANTORI_CACHE_TABLE* table, VANTORI_CACHE_ENTRY** link,
                                   const char* site, int kind, const int* scores, time_t now) {
    if (kind != VANTORI_RECORD_HINT && table->records >= VANTORI_CACHE_RECORDS_MAX) {
        sweep(table, now);
        // The sweep may have emptied the chain up to here.
        link = find_link(table, site);
        if (table->records >= VANTORI_CACHE_RECORDS_MAX) {
            if (!table->full)
                putlog(LOG_WARNING, "vantori: cache holds %lld records: new sites are not cached",
                       static_cast<long long>(table->records));
            table->full = true;
            return nullptr;
        }
    }
    auto* record = static_cast<VANTORI_CACHE_ENTRY*>(xmalloc(sizeof(VANTORI_CACHE_ENTRY)));
    char* name = xstrdup(site);
    if (record == nullptr || name == nullptr)
        FATAL_ALLOC("src/vantori", sizeof(VANTORI_CACHE_ENTRY) + strlen(site) + 1);
    record->next = nullptr;
    record->time_added = now;
    record->site = name;
    record->kind = kind;
    memcpy(record->scores, scores, sizeof record->scores);
    *link = record;
    table->count++;
    if (kind != VANTORI_RECORD_HINT)
        table->records++;
    return record;
}

} // namespace

int VANTORI_Section::cache_init() {
    if (vantori_cache_create(VANTORI_CACHE_BUCKETS) == 1) {
        putlog(LOG_ADVICE, "vantori: cache initialized for %d records and is ready to use",
               VANTORI_CACHE_BUCKETS);
        putlog(LOG_DEBUG, "vantori: Allocated %zu Memory for cached records",
               VANTORI_CACHE_BUCKETS * sizeof(VANTORI_CACHE_ENTRY*));
        return 1;
    }
    putlog(LOG_ERROR, "vantori: Failed to allocate Memory vantori cache");
    return 0;
}

int VANTORI_Section::vantori_cache_create(int size) {
    if (size <= 0) {
        putlog(LOG_ADVICE, "vantori: size: %d is too small for cache, please increase it", size);
        return -1;
    }
    auto* table = static_cast<VANTORI_CACHE_TABLE*>(calloc(1, sizeof(VANTORI_CACHE_TABLE)));
    auto* buckets = static_cast<VANTORI_CACHE_ENTRY**>(
        calloc(static_cast<size_t>(size), sizeof(VANTORI_CACHE_ENTRY*)));
    if (table == nullptr || buckets == nullptr) {
        putlog(LOG_ADVICE,
               "error: vantori: System failed to allocate memory, size: %d is too large for cache, "
               "please reduce it",
               size);
        free(table);
        free(buckets);
        return -1;
    }
    table->size = size;
    table->buckets = buckets;
    pthread_rwlock_wrlock(&cache_lock);
    cache = table;
    pthread_rwlock_unlock(&cache_lock);
    return 1;
}

int VANTORI_Section::vantori_cache_search(const char* site, int* scores) {
    if (site == nullptr || site[0] == '\0')
        return 0;
    time_t now = vantori_clock(nullptr);
    pthread_rwlock_rdlock(&cache_lock);
    if (cache == nullptr) {
        pthread_rwlock_unlock(&cache_lock);
        return 0;
    }
    const VANTORI_CACHE_ENTRY* record = *find_link(cache, site);
    if (record != nullptr && !expired(record, now)) {
        int found = record->kind != VANTORI_RECORD_FAILED;
        if (found)
            memcpy(scores, record->scores, sizeof record->scores);
        pthread_rwlock_unlock(&cache_lock);
        return found;
    }
    pthread_rwlock_unlock(&cache_lock);

    // Ask the service, with no lock held. A name that cannot be a DNS name
    // is not sent and counts as a failure.
    int answer[CATEGORY_SCORES] = {0};
    int named = 0;
    char query[VANTORI_QUERY_NAME_SIZE];
    int length = snprintf(query, sizeof query, "%s.%s", site, VANTORI_ZONE);
    if (length > 0 && length < static_cast<int>(sizeof query))
        named = getmx(answer, query, sizeof query);
    int kind = named > 0 ? VANTORI_RECORD_SERVICE : VANTORI_RECORD_FAILED;
    if (named <= 0)
        putlog(LOG_ERROR, "vantori: failed to lookup site: %s", site);

    now = vantori_clock(nullptr);
    uint64_t number = 0;
    pthread_rwlock_wrlock(&cache_lock);
    // Another thread may have asked for the same site meanwhile: one record
    // per site, refreshed in place.
    VANTORI_CACHE_ENTRY** link = find_link(cache, site);
    VANTORI_CACHE_ENTRY* existing = *link;
    if (existing == nullptr) {
        if (append_record(cache, link, site, kind, answer, now) != nullptr &&
            kind == VANTORI_RECORD_SERVICE) {
            cache->added++;
            number = cache->count;
        }
    } else if (expired(existing, now) || existing->kind == VANTORI_RECORD_FAILED) {
        if (in_file(existing) || kind == VANTORI_RECORD_SERVICE)
            cache->added++;
        existing->kind = kind;
        existing->time_added = now;
        memcpy(existing->scores, answer, sizeof existing->scores);
    } else if (kind == VANTORI_RECORD_FAILED) {
        // Our question failed, but another thread's got scores meanwhile.
        kind = VANTORI_RECORD_SERVICE;
        memcpy(answer, existing->scores, sizeof answer);
    }
    pthread_rwlock_unlock(&cache_lock);
    if (number != 0)
        putlog(LOG_ADVICE, "vantori: cache[%llu]: Added :%s", static_cast<unsigned long long>(number),
               site);
    if (kind == VANTORI_RECORD_FAILED)
        return 0;
    memcpy(scores, answer, sizeof answer);
    return 1;
}

int VANTORI_Section::update_vantori_cache(const char* site, const int* scores, bool hint) {
    int added = 0;
    time_t now = vantori_clock(nullptr);
    pthread_rwlock_wrlock(&cache_lock);
    if (cache != nullptr) {
        VANTORI_CACHE_ENTRY** link = find_link(cache, site);
        if (*link == nullptr)
            added = append_record(cache, link, site,
                                  hint ? VANTORI_RECORD_HINT : VANTORI_RECORD_SERVICE, scores,
                                  now) != nullptr;
    }
    pthread_rwlock_unlock(&cache_lock);
    return added;
}

void VANTORI_Section::vantori_cache_purge(const char* site) {
    pthread_rwlock_wrlock(&cache_lock);
    if (cache != nullptr) {
        VANTORI_CACHE_ENTRY** link = find_link(cache, site);
        if (*link != nullptr)
            remove_record(cache, link);
    }
    pthread_rwlock_unlock(&cache_lock);
}

void VANTORI_Section::vantori_cache_expire() {
    time_t now = vantori_clock(nullptr);
    pthread_rwlock_wrlock(&cache_lock);
    if (cache != nullptr)
        sweep(cache, now);
    pthread_rwlock_unlock(&cache_lock);
}

int64_t VANTORI_Section::cache_file_text(Filebuf* text) {
    time_t now = vantori_clock(nullptr);
    pthread_rwlock_rdlock(&cache_lock);
    int64_t changes = cache != nullptr ? cache->added : 0;
    for (int bucket = 0; changes > 0 && bucket < cache->size; bucket++) {
        for (const VANTORI_CACHE_ENTRY* record = cache->buckets[bucket]; record != nullptr;
             record = record->next) {
            // A name the loader could not read back whole is not written.
            if (!in_file(record) || expired(record, now) || strlen(record->site) > VANTORI_SITE_MAX)
                continue;
            const int* s = record->scores;
            text->Addf("\n%s\t%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,"
                       "%d,%d,%d,%d,%d,%d,%d,%d",
                       record->site, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9],
                       s[10], s[11], s[12], s[13], s[14], s[15], s[16], s[17], s[18], s[19], s[20],
                       s[21], s[22], s[23], s[24], s[25], s[26], s[27], s[28], s[29], s[30], s[31]);
        }
    }
    pthread_rwlock_unlock(&cache_lock);
    return changes > 0 ? changes : 0;
}

void VANTORI_Section::cache_file_written(int64_t changes) {
    pthread_rwlock_wrlock(&cache_lock);
    if (cache != nullptr)
        cache->added -= changes;
    pthread_rwlock_unlock(&cache_lock);
}

int VANTORI_Section::store_vantori(CONNECTION_T* connection) {
    if (connection->request == nullptr || connection->request->host == nullptr)
        return 0;
    int scores[CATEGORY_SCORES];
    if (vantori_cache_search(connection->request->host, scores) == 0)
        return 0;
    memcpy(connection->category_scores, scores, sizeof scores);
    return 1;
}
