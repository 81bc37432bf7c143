// The object cache: the section, the object table, lookup and creation,
// invalidation and the small accessors.
#include "cache/cache.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "auth/profiles.h"
#include "cache/freshness.h"
#include "cache/store.h"
#include "core/compat.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc_time.h"
#include "http/header.h"
#include "net/connection.h"

CacheSection* cache_section = nullptr;

static const char SOURCE[] = "src/cache";

namespace {

// The header text an object keeps: the response's, without its Set-Cookie
// lines (a cookie set for one client is never handed to another), and
// without their continuation lines. A new string the caller frees; NULL
// when there is no memory for it (logged).
char* stored_header_text(const char* text) {
    size_t length = strlen(text);
    char* kept = static_cast<char*>(xmalloc(length + 1));
    if (kept == nullptr)
        return nullptr;
    size_t used = 0;
    bool dropping = false;
    bool first = true;
    for (const char* line = text; *line != '\0';) {
        const char* end = strchr(line, '\n');
        end = end != nullptr ? end + 1 : line + strlen(line);
        bool continuation = !first && (*line == ' ' || *line == '\t');
        if (!continuation)
            dropping = !first && (strncasecmp(line, "Set-Cookie:", 11) == 0 ||
                                  strncasecmp(line, "Set-Cookie2:", 12) == 0);
        if (!dropping) {
            memcpy(kept + used, line, static_cast<size_t>(end - line));
            used += static_cast<size_t>(end - line);
        }
        first = false;
        line = end;
    }
    kept[used] = '\0';
    return kept;
}

void cache_free(CACHEMAP* object) {
    if (object->key == nullptr)
        FATAL(SOURCE);
    if (object->fd != -1)
        close(object->fd);
    http_header_free(object->header);
    if (object->flags & CACHE_CONDVAR)
        pthread_cond_destroy(&object->cond);
    free(object->key);
    free(object);
}

} // namespace

unsigned cache_chain(const char* key) {
    // FNV-1a over the whole key. A sum of the characters would put the
    // URLs of one site, which differ in a few characters, into a few
    // hundred chains of thousands of objects.
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != '\0'; p++) {
        hash ^= *p;
        hash *= 1099511628211ull;
    }
    return static_cast<unsigned>(hash % CACHE_TABLE_SIZE);
}

CACHEMAP* cachemap_new(bool condvar) {
    CACHEMAP* object = static_cast<CACHEMAP*>(xmalloc(sizeof(CACHEMAP)));
    if (object == nullptr)
        return nullptr;
    object->fd = -1;
    strcpy(object->md5, "0");
    object->hdr_maxage = -1;
    if (condvar) {
        // Followers wait with deadlines on the monotonic clock, which a
        // change of the system time does not move.
        p_cond_init_monotonic(&object->cond);
        object->flags |= CACHE_CONDVAR;
    }
    return object;
}

Refresh::Refresh(const Item& item)
    : enabled(item.fields[0].value != 0),
      profiles(item.fields[2].list),
      cacheable(item.fields[3].value != 0),
      min_age(item.fields[4].uvalue),
      max_age(item.fields[5].uvalue),
      max_age_no_expiry(item.fields[6].uvalue),
      lm_factor(item.fields[7].uvalue) {}

CacheSection::CacheSection()
    : Section("cache", SECTION_MUTEX),
      clock(utc_time),
      enabled(&global_field(0, FIELD_BOOL).value),
      serve_violations(&global_field(1, FIELD_BOOL).value),
      memory_size(&global_field(2, FIELD_LONG_FILE_SIZE).lvalue),
      memory_free_extra(&global_field(3, FIELD_FILE_SIZE).uvalue),
      min_size(&global_field(4, FIELD_FILE_SIZE).uvalue),
      max_size(&global_field(5, FIELD_FILE_SIZE).uvalue),
      prefetch_window(&global_field(6, FIELD_INT).value),
      icp_port(&global_field(7, FIELD_INT).value),
      icp_timeout(&global_field(8, FIELD_INT).value),
      store_policy(&global_field(9, FIELD_INT).value),
      journal_threshold(&global_field(10, FIELD_UINT).uvalue),
      clean_interval(&global_field(11, FIELD_UINT).uvalue),
      unlink_count(0),
      table_size(CACHE_TABLE_SIZE),
      mem_bytes(0),
      mem_objects(0),
      last_clean(0),
      clean_state(CLEAN_STATE_DONE),
      cleaning(false),
      stores_generation(0),
      table(nullptr) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING,
                      FIELD_LONG_FILE_SIZE, FIELD_FILE_SIZE, FIELD_BOOL});
    subsection_at(1, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_BOOL, FIELD_UINT,
                      FIELD_UINT, FIELD_UINT, FIELD_UINT});
    table = static_cast<CACHEMAP**>(xmalloc(sizeof(CACHEMAP*) * CACHE_TABLE_SIZE));
    if (table == nullptr)
        FATAL_ALLOC(SOURCE, sizeof(CACHEMAP*) * CACHE_TABLE_SIZE);
    pthread_mutex_init(&unlink_mutex, nullptr);
    pthread_cond_init(&unlink_cond, nullptr);
}

// The section lives for the whole run; objects still in the table are left
// to the end of the process.
CacheSection::~CacheSection() {
    for (Store* store : stores) {
        journal_close(store);
        delete store;
    }
    stores.clear();
    refreshes.clear();
    unlink_queue.clear();
    free(table);
    pthread_cond_destroy(&unlink_cond);
    pthread_mutex_destroy(&unlink_mutex);
}

void CacheSection::update() {
    refreshes.clear();
    for (const Item& item : subsections[1].items)
        refreshes.emplace_back(item);
    stores_update();
}

int CacheSection::icpport_get() { return __atomic_load_n(icp_port, __ATOMIC_RELAXED); }

int CacheSection::icptimeout_get() { return __atomic_load_n(icp_timeout, __ATOMIC_RELAXED); }

// ---- The table ------------------------------------------------------------------

CACHEMAP* CacheSection::find_object_unlocked(unsigned chain, const char* key) const {
    for (CACHEMAP* object = table[chain]; object != nullptr; object = object->chain_next)
        if (strcmp(object->key, key) == 0)
            return object;
    return nullptr;
}

void CacheSection::table_append(unsigned chain, CACHEMAP* object) {
    CACHEMAP** link = &table[chain];
    CACHEMAP* last = nullptr;
    while (*link != nullptr) {
        last = *link;
        link = &(*link)->chain_next;
    }
    object->chain_prev = last;
    object->chain_next = nullptr;
    *link = object;
}

void CacheSection::table_remove(CACHEMAP* object) {
    unsigned chain = cache_chain(object->key);
    CACHEMAP* found = table[chain];
    while (found != nullptr && found != object)
        found = found->chain_next;
    if (found == nullptr) {
        putlog(LOG_ERROR, "cache: cachemaplist[%u]: NULL", chain);
        return;
    }
    if (object->chain_prev != nullptr)
        object->chain_prev->chain_next = object->chain_next;
    else
        table[chain] = object->chain_next;
    if (object->chain_next != nullptr)
        object->chain_next->chain_prev = object->chain_prev;
    object->chain_prev = object->chain_next = nullptr;
}

void CacheSection::release_unlocked(CACHEMAP* object) {
    if (object->flags & CACHE_MEM)
        mem_delete(object);
    if (object->flags & CACHE_DISK)
        disk_delete(object);
    table_remove(object);
    cache_free(object);
}

void CacheSection::forget_unlocked(CACHEMAP* object) {
    if (object->flags & CACHE_MEM)
        mem_delete(object);
    table_remove(object);
    cache_free(object);
}

void CacheSection::invalidate_unlocked(CACHEMAP* object) {
    if (!(object->flags & CACHE_INVALID)) {
        putlog(LOG_CACHE, "debug: invalidated: %s", object->key);
        object->flags |= CACHE_INVALID;
        journal_add(object);
    }
    if (object->refcount < 2) {
        release_unlocked(object);
        return;
    }
    object->refcount--;
    if (object->flags & CACHE_WRITING) {
        object->flags &= ~CACHE_WRITING;
        pthread_cond_broadcast(&object->cond);
    }
}

void CacheSection::invalidate(CACHEMAP* object) {
    if (object == nullptr || object->key == nullptr)
        return;
    mutex_lock();
    invalidate_unlocked(object);
    unlock();
}

// ---- Lookup and creation ----------------------------------------------------------

void CacheSection::select_refresh(CONNECTION_T* connection, CACHEMAP* object) {
    for (const Refresh& rule : refreshes) {
        if (!rule.enabled)
            continue;
        if (connection != nullptr ? !profile_find(connection->profiles, rule.profiles)
                                  : !rule.profiles.empty())
            continue;
        if (!rule.cacheable && !(object->flags & CACHE_FORCE))
            object->flags |= CACHE_INVALID;
        object->minage = static_cast<int>(rule.min_age > INT32_MAX ? INT32_MAX : rule.min_age);
        object->maxage = static_cast<int>(rule.max_age > INT32_MAX ? INT32_MAX : rule.max_age);
        object->maxnoexp = static_cast<int>(
            rule.max_age_no_expiry > INT32_MAX ? INT32_MAX : rule.max_age_no_expiry);
        object->lmfactor = rule.lm_factor;
        return;
    }
}

// Memory pressure seen by a lookup, the full mark of its store, and the
// cleaning they call for (the tail of every cache_open).
void CacheSection::clean_trigger(CACHEMAP* result, time_t now) {
    unsigned interval = *clean_interval != 0 ? *clean_interval : 30;
    if (clean_state <= CLEAN_STATE_UNDERSIZED && memory_above_target() &&
        now < last_clean + static_cast<time_t>(interval))
        clean_state = CLEAN_STATE_PRESSURE;
    bool store_over = result != nullptr && store_over_limit(result);
    if (mem_bytes > *memory_size || store_over)
        clean();
}

CACHEMAP* CacheSection::cache_open(CONNECTION_T* connection, const char* url,
                                   const char* header_text, int flags) {
    if (url == nullptr)
        return nullptr;
    time_t now = clock(nullptr);
    bool writing = (flags & CACHE_WRITING) != 0;
    if (writing && (connection == nullptr || header_text == nullptr))
        return nullptr;

    // A disabled cache is seen without the lock, which every request would
    // otherwise queue for, and a creation's stored text is prepared before
    // the lock only while the cache is on: a disabled cache would parse
    // every cacheable response for nothing. A look without the lock is
    // enough here (a reload that switches the cache on just now costs one
    // object or one lookup); the check under the lock below decides.
    char* stored = nullptr;
    HEADER* parsed = nullptr;
    if (__atomic_load_n(enabled, __ATOMIC_RELAXED) == 0)
        return nullptr;
    if (writing) {
        // No memory for what it would keep: this object is not stored.
        stored = stored_header_text(header_text);
        if (stored == nullptr)
            return nullptr;
        parsed = http_header_parse_response(stored);
    }

    CACHEMAP* result = nullptr;
    CACHEMAP* object = nullptr;
    mutex_lock();
    if (*enabled == 0 || (writing && (connection->flags & CONN_CARP))) {
        unlock();
        free(stored);
        http_header_free(parsed);
        return nullptr;
    }
    unsigned chain = cache_chain(url);
    object = find_object_unlocked(chain, url);

    if (object != nullptr) {
        if (object->flags & CACHE_INVALID) {
            putlog(LOG_DEBUG, "cache: object is invalid");
            goto tail;
        }
        if ((object->flags & CACHE_PREFETCHED) && now - object->mtime > *prefetch_window)
            object->flags &= ~CACHE_PREFETCHED;
        if (writing) {
            if (object->refcount > 0 || (object->flags & CACHE_PREFETCHED)) {
                if (object->flags & CACHE_PREFETCHED)
                    putlog(LOG_CACHE, "debug: attempted to recreate cached file within prefetch window");
                goto tail;
            }
            putlog(LOG_CACHE, "debug: recreating file");
            invalidate_unlocked(object);
            object = nullptr;
        } else {
            if ((object->flags & CACHE_WRITING) && (object->flags & CACHE_BUFFERWAIT)) {
                // The repeated request of a client that got the "downloading"
                // page receives the unfinished object as it stands.
                object->refcount++;
                result = object;
                goto tail;
            }
            if (!(object->flags & CACHE_MEM)) {
                if (object->store == nullptr || !disk_map(object)) {
                    putlog(LOG_ERROR, "cache: failed to open cache file: %s", object->key);
                    invalidate_unlocked(object);
                    goto tail;
                }
            }
            if (!md5_check(object)) {
                invalidate_unlocked(object);
                goto tail;
            }
            object->refcount++;
        }
    } else if (!writing) {
        goto tail;
    }

    if (object == nullptr) {
        object = cachemap_new(true);
        char* key = object != nullptr ? xstrdup(url) : nullptr;
        if (key == nullptr) {
            // No memory for the record: this object is not stored.
            if (object != nullptr)
                pthread_cond_destroy(&object->cond);
            free(object);
            object = nullptr;
            goto tail;
        }
        select_refresh(connection, object);
        object->key = key;
        object->flags |= static_cast<unsigned>(flags);
        object->mtime = now;
        object->refcount = 1;
        table_append(chain, object);
    }

    if (object->flags & CACHE_INVALID) {
        putlog(LOG_CACHE, "debug: refresh: uncachable: %s", object->key);
        invalidate_unlocked(object);
        object = nullptr;
        goto done;
    }
    if ((object->flags & CACHE_DISCARD) && now > object->mtime + CACHE_DISCARD_SECONDS) {
        invalidate_unlocked(object);
        object = nullptr;
        goto done;
    }
    object->atime = now;
    if (writing) {
        select_store(connection, object);
        object->header = parsed;
        parsed = nullptr;
        object->start = strlen(stored);
        HEADER* header = object->header;
        if (header != nullptr && (header->flags & HEADER_HAS_LENGTH) && *max_size != 0 &&
            header->content_length > *max_size && !(object->flags & CACHE_FORCE)) {
            putlog(LOG_DEBUG, "cache: file size: %zu exceeds maxsize: %u", header->content_length,
                   *max_size);
            invalidate_unlocked(object);
            object = nullptr;
            goto done;
        }
        if (header != nullptr)
            freshness_read(header, object);
        // A failure here (no memory for the mapping) leaves the object
        // invalid; the writer's close frees it.
        add_unlocked(object, stored, object->start);
        putlog(LOG_DEBUG, "cache header offset: %zu", object->start);
    } else if (object->header == nullptr) {
        object->start = static_cast<size_t>(
            header_length(object->addr, object->size > UINT32_MAX ? UINT32_MAX
                                                                  : static_cast<unsigned>(object->size)));
        if (object->start == 0) {
            putlog(LOG_ERROR, "cache: corrupt object: %s", url);
            invalidate_unlocked(object);
            object = nullptr;
            goto done;
        }
        char* text = xstrndup(object->addr, object->start);
        object->header = text != nullptr ? http_header_parse_response(text) : nullptr;
        free(text);
        if (object->header != nullptr)
            freshness_read(object->header, object);
    }
    if (object->start == 0 || object->header == nullptr || !cacheable(object->header)) {
        putlog(LOG_ERROR, "cache: corrupt object: %s", url);
        invalidate_unlocked(object);
        object = nullptr;
        goto done;
    }
    if (!writing)
        check_header(object);
    if (!(flags & CACHE_OFFLINE) && (object->flags & CACHE_VIOLATION) && *serve_violations == 0) {
        close_unlocked(object, false);
        goto tail;
    }
    result = object;

tail:
    clean_trigger(result, now);
done:
    unlock();
    free(stored);
    http_header_free(parsed);
    return result;
}

// ---- Accessors ---------------------------------------------------------------------

int CacheSection::flag_get(CACHEMAP* object) {
    mutex_lock();
    int flags = static_cast<int>(object->flags);
    unlock();
    return flags;
}

int CacheSection::flag_set(CACHEMAP* object, int bits) {
    mutex_lock();
    object->flags |= static_cast<unsigned>(bits);
    int flags = static_cast<int>(object->flags);
    unlock();
    return flags;
}

int CacheSection::flag_unset(CACHEMAP* object, int bits) {
    mutex_lock();
    object->flags &= ~static_cast<unsigned>(bits);
    int flags = static_cast<int>(object->flags);
    unlock();
    return flags;
}

char* CacheSection::flag_string(CACHEMAP* object) {
    static const struct {
        unsigned bit;
        const char* name;
    } names[] = {
        {CACHE_WRITING, "CACHE_WRITING"},     {CACHE_INVALID, "CACHE_INVALID"},
        {CACHE_EXPIRED, "CACHE_EXPIRED"},     {CACHE_VALIDATE, "CACHE_VALIDATE"},
        {CACHE_PREFETCHED, "CACHE_PREFETCHED"}, {CACHE_VIOLATION, "CACHE_VIOLATION"},
        {CACHE_OFFLINE, "CACHE_OFFLINE"},     {CACHE_DISK, "CACHE_DISK"},
        {CACHE_MEM, "CACHE_MEM"},             {CACHE_CLEAN, "CACHE_CLEAN"},
        {CACHE_BUFFERWAIT, "CACHE_BUFFERWAIT"}, {CACHE_DISCARD, "CACHE_DISCARD"},
        {CACHE_FORCE, "CACHE_FORCE"},
    };
    std::string text;
    for (const auto& name : names) {
        if (!(object->flags & name.bit))
            continue;
        if (!text.empty())
            text += ", ";
        text += name.name;
    }
    char* copy = xstrdup(text.c_str());
    if (copy == nullptr)
        FATAL_ALLOC(SOURCE, text.size() + 1);
    return copy;
}

int CacheSection::refcount(CACHEMAP* object) {
    mutex_lock();
    int count = object->refcount;
    if (count == 1)
        object->flags |= CACHE_INVALID;
    unlock();
    return count;
}

int CacheSection::exists(const char* url) {
    if (url == nullptr)
        return 0;
    unsigned chain = cache_chain(url);
    mutex_lock();
    bool found = find_object_unlocked(chain, url) != nullptr;
    unlock();
    return found ? 1 : 0;
}

void CacheSection::validated(CACHEMAP* object) {
    mutex_lock();
    object->flags &= ~CACHE_VALIDATE;
    touch_unlocked(object, true);
    unlock();
}

time_t CacheSection::get_mtime(CACHEMAP* object) {
    if (object == nullptr)
        return 0;
    mutex_lock();
    time_t mtime = object->mtime;
    unlock();
    return mtime;
}

time_t CacheSection::get_lmtime(CACHEMAP* object) {
    if (object == nullptr)
        return 0;
    mutex_lock();
    time_t lastmod = object->lastmod;
    unlock();
    return lastmod;
}

char* CacheSection::cachemap_headers(CACHEMAP* object) {
    if (object == nullptr)
        return nullptr;
    mutex_lock();
    char* text = nullptr;
    // NULL also when there is no memory for the copy: the request fails,
    // the process goes on.
    if (object->addr != nullptr && object->start != 0 && object->start <= object->size)
        text = xstrndup(object->addr, object->start);
    unlock();
    return text;
}

uint64_t CacheSection::get_cachemap_size(CACHEMAP* object) {
    if (object == nullptr)
        return 0;
    mutex_lock();
    uint64_t size = 0;
    if (object->addr != nullptr && object->start != 0 && object->size > object->start)
        size = object->size - object->start;
    unlock();
    return size;
}
