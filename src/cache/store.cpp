// The disk half of the object cache; see store.h for what each operation
// will do once the stores exist and what it does until then.
#include "cache/store.h"

#include <string.h>

#include "cache/cache.h"
#include "config/section.h"

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
      clean_target(0) {}

void CacheSection::stores_update() {}

void CacheSection::select_store(CONNECTION_T*, CACHEMAP* object) { object->store = nullptr; }

bool CacheSection::disk_create(CACHEMAP* object) {
    object->store = nullptr;
    return true;
}

bool CacheSection::disk_map(CACHEMAP*) { return false; }

void CacheSection::disk_delete(CACHEMAP* object) { object->flags &= ~CACHE_DISK; }

void CacheSection::store_grow(CACHEMAP*, size_t) {}

bool CacheSection::store_over_limit(const CACHEMAP*) const { return false; }

int CacheSection::journal_add(CACHEMAP*) { return 1; }

void CacheSection::touch_unlocked(CACHEMAP* object, bool also_mtime) {
    object->atime = clock(nullptr);
    if (also_mtime)
        object->mtime = object->atime;
    journal_add(object);
}

void CacheSection::md5_again(CACHEMAP* object) { strcpy(object->md5, "0"); }

int CacheSection::md5_check(CACHEMAP* object) {
    strcpy(object->md5, "0");
    return 1;
}

void CacheSection::stores_warn_over_limit() {}

void CacheSection::stores_clean_begin() {}

bool CacheSection::store_sheds(CACHEMAP*) { return false; }

void CacheSection::stores_clean_end() {}

void CacheSection::graceful_exit() {}

void* unlink_thread(void*) { return nullptr; }
