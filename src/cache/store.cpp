// The disk stores: the store list and the choice of a store, object files
// (names, creation, mapping, times, deletion), MD5 texts and the store half
// of cleaning. See store.h.
#include "cache/store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "auth/md5.h"
#include "auth/profiles.h"
#include "cache/cache.h"
#include "cache/journal.h"
#include "config/section.h"
#include "core/compat.h"
#include "core/hash.h"
#include "core/log.h"
#include "core/misc_time.h"
#include "iface/performance.h"
#include "net/connection.h"

namespace {

// Subdirectories of a store: the files are spread over 256 of them.
const unsigned STORE_DIRECTORIES = 256;

// Percent of the limit used, as the cleaning lines print it.
unsigned store_percent(const Store* store) {
    if (store->bytes == 0 || *store->limit == 0)
        return 0;
    return static_cast<unsigned>(static_cast<float>(store->bytes) * 100.0f /
                                 static_cast<float>(*store->limit));
}

// The MD5 of the bytes as 32 lowercase hex digits; false when it could not
// be computed.
bool md5_text(const char* data, size_t length, char out[MD5_TEXT_SIZE]) {
    md5_context context;
    unsigned char digest[MD5_DIGEST_BYTES];
    if (md5_starts(&context) != 0 || md5_update(&context, data, length) != 0 ||
        md5_finish(&context, digest) != 0)
        return false;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < MD5_DIGEST_BYTES; i++) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0xf];
    }
    out[2 * MD5_DIGEST_BYTES] = '\0';
    return true;
}

// A text recorded by md5_again: 32 lowercase hex digits. Anything else
// ("0", nothing, damage) means no digest was recorded.
bool md5_recorded(const char* text) {
    return strlen(text) == 2 * MD5_DIGEST_BYTES &&
           strspn(text, "0123456789abcdef") == 2 * MD5_DIGEST_BYTES;
}

} // namespace

Store::Store(Item& item)
    : enabled(&item.fields[0].value),
      comment(&item.fields[1].text),
      profiles(&item.fields[2].list),
      path(&item.fields[3].text),
      limit(&item.fields[4].lvalue),
      free_extra(&item.fields[5].uvalue),
      md5(&item.fields[6].value),
      journal_fd(-1),
      journal_lines(0),
      entries(0),
      bytes(0),
      diskfull(false),
      last_rewrite(0),
      clean_target(0),
      position(0) {}

unsigned store_file_path(const Store* store, const char* key, char* path, size_t size) {
    unsigned directory = hash_key(STORE_DIRECTORIES, key);
    char name[MD5_TEXT_SIZE];
    md5_string(key, name);
    snprintf(path, size, "%s/%.2x/%s", store->path->c_str(), directory, name);
    return directory;
}

bool store_holds_path(const Store* store, const char* path) {
    const std::string& directory = *store->path;
    return strncmp(path, directory.c_str(), directory.size()) == 0 &&
           path[directory.size()] == '/' &&
           strlen(path + directory.size()) == 1 + 2 + 1 + 2 * MD5_DIGEST_BYTES;
}

unsigned CacheSection::filename(const CACHEMAP* object, char* path, size_t size) const {
    return store_file_path(object->store, object->key, path, size);
}

// ---- The store list -------------------------------------------------------------

void CacheSection::stores_update() {
    for (Store* store : stores)
        journal_close(store);
    std::list<Store*> old = std::move(stores);
    stores.clear();
    for (Item& item : subsections[0].items) {
        Store* store = new Store(item);
        store->position = stores.size();
        stores.push_back(store);
    }
    stores_generation++;

    // The old records go. Objects nobody holds are freed (the journals
    // bring those of the stores back); held ones stay in memory only.
    for (unsigned chain = 0; chain < table_size; chain++) {
        CACHEMAP* next;
        for (CACHEMAP* object = table[chain]; object != nullptr; object = next) {
            next = object->chain_next;
            if (object->store == nullptr)
                continue;
            if (object->refcount == 0) {
                forget_unlocked(object);
            } else {
                object->flags &= ~CACHE_DISK;
                object->store = nullptr;
            }
        }
    }
    for (Store* store : old)
        delete store;

    // Every journal is read before any is rewritten: an object found in two
    // stores settles in one of them before either journal is written.
    for (Store* store : stores) {
        if (!store->has_directory() || *store->enabled == 0)
            continue;
        // The store's own directory is made when missing; its
        // subdirectories come with their first files.
        if (access(store->path->c_str(), F_OK) != 0)
            create_recursive_directory(store->path->c_str());
        store->entries = 0;
        store->bytes = 0;
        journal_read(store);
    }
    for (Store* store : stores)
        if (store->has_directory() && *store->enabled != 0)
            journal_write(store);
}

void CacheSection::select_store(CONNECTION_T* connection, CACHEMAP* object) {
    if (connection == nullptr)
        FATAL("src/cache");
    object->store = nullptr;
    if (!journal_key_storable(object->key))
        return;
    double best = 0;
    for (Store* store : stores) {
        if (*store->enabled == 0 || !store->has_directory() || *store->limit == 0)
            continue;
        if (store->over_limit())
            store->diskfull = true;
        if (!profile_find(connection->profiles, *store->profiles))
            continue;
        double value;
        if (*store_policy == 0)
            value = static_cast<double>(store->bytes);
        else if (*store_policy == 1)
            value = static_cast<double>(static_cast<uint64_t>(
                static_cast<double>(store->bytes) / static_cast<double>(*store->limit) * 100.0));
        else
            continue;
        if (object->store == nullptr || value < best) {
            object->store = store;
            best = value;
        }
    }
}

// ---- Files ---------------------------------------------------------------------------

bool CacheSection::disk_create(CACHEMAP* object) {
    Store* store = object->store;
    char path[1024];
    unsigned number = filename(object, path, sizeof path);
    char directory[1024];
    snprintf(directory, sizeof directory, "%s/%.2x", store->path->c_str(), number);
    int error = 0;
    if (mkdir(directory, 0755) == -1 && errno != EEXIST) {
        error = errno;
        putlog(LOG_ERROR, "cache: %s [%d:%s]", directory, error, strerror(error));
        if (error != ENOSPC && error != EDQUOT)
            putlog(LOG_ERROR, "cache: failed to create cache directory structure in store: %s",
                   store->path->c_str());
    }
    // A replaced object's file is about to be this object's: its pending
    // deletion is withdrawn first.
    unlink_list_zap(path);
    int fd = -1;
    if (error != ENOSPC && error != EDQUOT) {
        fd = s_open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd == -1) {
            error = errno;
            putlog(LOG_ERROR, "cache: %s [%d:%s]", store->path->c_str(), error, strerror(error));
        }
    }
    if (fd == -1) {
        if (error != ENOSPC && error != EDQUOT) {
            object->store = nullptr; // goes on in memory only
            return true;
        }
        store->diskfull = true;
        object->refcount++;
        invalidate_unlocked(object);
        clean();
        return false;
    }
    object->fd = fd;
    store->entries++;
    object->flags |= CACHE_DISK;
    journal_add(object);
    return true;
}

bool CacheSection::disk_map(CACHEMAP* object) {
    if (!(object->flags & CACHE_DISK) || object->addr != nullptr || object->fd != -1 ||
        object->refcount != 0)
        FATAL("src/cache");
    char path[1024];
    filename(object, path, sizeof path);
    int fd = s_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd == -1)
        return false;
    struct stat status;
    if (fstat(fd, &status) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: fstat:%d:%s], in %s, unable to return information about %s",
               error, strerror(error), "cache_open", path);
        close(fd);
        return false;
    }
    // A file that is not the journalled object (cut short, emptied,
    // grown) is never served: what it holds cannot be told complete.
    if (status.st_size <= 0 || static_cast<uint64_t>(status.st_size) != object->size) {
        putlog(LOG_ERROR, "cache: file meta information didn't match journaled data");
        close(fd);
        return false;
    }
    size_t size = static_cast<size_t>(status.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        int error = errno;
        putlog(LOG_ERROR, "[system: mmap:%d:%s], in %s, cache: unable to create memory map", error,
               strerror(error), "cache_open");
        memory_line();
        close(fd);
        return false;
    }
    close(fd);
    object->mtime = status.st_mtime + gmtoffset;
    object->atime = status.st_atime + gmtoffset;
    object->addr = static_cast<char*>(mapped);
    object->maplen = size;
    object->flags |= CACHE_MEM;
    mem_bytes += size;
    mem_objects++;
    if (performance_log != nullptr)
        performance_log->set_cache_mmaps_created(1);
    if (madvise(mapped, size, MADV_WILLNEED) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: madvise:%d:%s], in %s, cache: unable to create memory map", error,
               strerror(error), "cache_open");
        memory_line();
    }
    return true;
}

void CacheSection::disk_delete(CACHEMAP* object) {
    Store* store = object->store;
    if (!(object->flags & CACHE_DISK) || object->addr != nullptr || store == nullptr)
        FATAL("src/cache");
    putlog(LOG_CACHE, "debug: unlinking: %s", object->key);
    if (object->fd != -1) {
        close(object->fd);
        object->fd = -1;
    }
    if (store->has_directory()) {
        char path[1024];
        filename(object, path, sizeof path);
        unlink_list_add(path, object->key);
    }
    store->bytes = store->bytes > object->size ? store->bytes - object->size : 0;
    if (store->entries > 0)
        store->entries--;
    object->flags &= ~CACHE_DISK;
}

void CacheSection::store_forget(CACHEMAP* object) {
    if (object->flags & CACHE_MEM)
        mem_delete(object);
    if (object->flags & CACHE_DISK)
        disk_delete(object);
    object->store = nullptr;
}

void CacheSection::store_grow(CACHEMAP* object, size_t length) {
    Store* store = object->store;
    if (store == nullptr)
        return;
    store->bytes += length;
    if (store->over_limit())
        store->diskfull = true;
}

bool CacheSection::store_over_limit(CACHEMAP* object) {
    Store* store = object->store;
    if (store == nullptr || !store->over_limit())
        return false;
    store->diskfull = true;
    return true;
}

void CacheSection::touch_unlocked(CACHEMAP* object, bool also_mtime) {
    object->atime = clock(nullptr);
    if (also_mtime)
        object->mtime = object->atime;
    if (object->store != nullptr && (object->flags & CACHE_DISK)) {
        struct timespec times[2];
        times[0].tv_sec = object->atime - gmtoffset;
        times[0].tv_nsec = 0;
        times[1].tv_sec = object->mtime - gmtoffset;
        times[1].tv_nsec = 0;
        // The journal holds the same times: a failure here costs nothing.
        if (object->fd != -1) {
            futimens(object->fd, times);
        } else {
            char path[1024];
            filename(object, path, sizeof path);
            utimensat(AT_FDCWD, path, times, 0);
        }
    }
    journal_add(object);
}

// ---- MD5 texts -----------------------------------------------------------------------

void CacheSection::md5_again(CACHEMAP* object) {
    char text[MD5_TEXT_SIZE];
    if (object->store != nullptr && *object->store->md5 == 1 && object->addr != nullptr &&
        md5_text(object->addr, object->size, text))
        memcpy(object->md5, text, sizeof object->md5);
    else
        strcpy(object->md5, "0");
}

int CacheSection::md5_check(CACHEMAP* object) {
    if (object->flags & CACHE_WRITING)
        return 1;
    if (object->store == nullptr || *object->store->md5 != 1 || object->addr == nullptr) {
        strcpy(object->md5, "0");
        return 1;
    }
    char text[MD5_TEXT_SIZE];
    if (!md5_text(object->addr, object->size, text))
        return 1; // nothing to compare with; the bytes are not judged
    if (!md5_recorded(object->md5)) {
        memcpy(object->md5, text, sizeof object->md5);
        return 1;
    }
    if (strcmp(object->md5, text) == 0)
        return 1;
    putlog(LOG_ERROR, "cache: md5 check: mismatch, expected: [%s] got: [%s]", object->md5, text);
    return 0;
}

// ---- The store half of cleaning --------------------------------------------------------

void CacheSection::stores_warn_over_limit() {
    for (Store* store : stores) {
        if (!store->has_directory() || !store->over_limit())
            continue;
        putlog(LOG_ERROR, "cache: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%",
               store->path->c_str(), store->entries, static_cast<unsigned long long>(store->bytes),
               store_percent(store));
        putlog(LOG_ADVICE, "cache: disk store %s is underdimensioned, please consider increasing it",
               store->path->c_str());
    }
}

void CacheSection::stores_clean_begin() {
    for (Store* store : stores) {
        if (!store->has_directory())
            continue;
        putlog(LOG_CACHE,
               "before cleaning: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%, "
               "diskfull: %d",
               store->path->c_str(), store->entries, static_cast<unsigned long long>(store->bytes),
               store_percent(store), store->diskfull ? 1 : 0);
        if (store->diskfull || store->over_limit()) {
            // The free extra below what the store may hold: a store over
            // its limit comes back within it, and a full disk gets room.
            uint64_t level = store->bytes < *store->limit ? store->bytes : *store->limit;
            store->clean_target = level > *store->free_extra ? level - *store->free_extra : 0;
        } else {
            store->clean_target = *store->limit;
        }
    }
}

bool CacheSection::store_sheds(CACHEMAP* object) {
    return object->store->bytes > object->store->clean_target;
}

void CacheSection::stores_clean_end() {
    for (Store* store : stores) {
        if (!store->has_directory())
            continue;
        // Down to its target, a store is no longer full.
        if (store->bytes <= store->clean_target)
            store->diskfull = false;
        putlog(LOG_CACHE,
               "after cleaning: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%, "
               "diskfull: %d",
               store->path->c_str(), store->entries, static_cast<unsigned long long>(store->bytes),
               store_percent(store), store->diskfull ? 1 : 0);
    }
}
