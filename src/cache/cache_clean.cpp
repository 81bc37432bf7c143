// Cleaning: keeps the memory cache (and, with the stores, the disk) within
// its configured size by freeing objects nobody holds, oldest access first.
// It runs in the thread whose operation asked for it, under the section
// mutex it already holds, at most once per clean interval; slicing the age
// range into 128 parts frees the oldest objects first without sorting.
#include "cache/cache.h"

#include <vector>

#include "core/log.h"
#include "core/mem.h"

namespace {

const int AGE_SLICES = 128;
// Mapped objects left after a cleaning that started with max_mementries or
// more of them.
const int CROWDED_COUNT_TARGET = 500;

unsigned percent(uint64_t used, uint64_t size) {
    return size == 0 ? 0 : static_cast<unsigned>(used * 100 / size);
}

} // namespace

void CacheSection::clean() {
    time_t interval = *clean_interval != 0 ? *clean_interval : 30;
    if (cleaning)
        return;
    time_t now = clock(nullptr);
    uint64_t size = *memory_size;
    uint64_t extra = *memory_free_extra;

    if (last_clean != 0 && last_clean + interval > now) {
        if (clean_state <= CLEAN_STATE_DONE) {
            if (mem_bytes > size) {
                putlog(LOG_ERROR,
                       "cache: memory: [objects:bytes max_size:free_extra - %d:%llu %llu:%llu] can "
                       "not clean for next %lld seconds",
                       mem_objects, static_cast<unsigned long long>(mem_bytes),
                       static_cast<unsigned long long>(size), static_cast<unsigned long long>(extra),
                       static_cast<long long>(last_clean + interval - now));
                putlog(LOG_ADVICE,
                       "cache: Memory cache size: %llu bytes, Memory free extra: %llu bytes maybe "
                       "too less, if system has more free memory - increase Memory cache size, "
                       "else increase Memory free extra",
                       static_cast<unsigned long long>(size), static_cast<unsigned long long>(extra));
            }
            stores_warn_over_limit();
        }
        clean_state = CLEAN_STATE_DEFERRED;
        return;
    }
    last_clean = now;
    putlog(LOG_CACHE, "cleaning triggered");
    cleaning = true;

    // The objects nobody holds, in chain order, and the range of their
    // access times. Nothing else can change them while the mutex is held, so
    // the passes below walk this list instead of the whole table.
    std::vector<CACHEMAP*> candidates;
    time_t oldest = 0;
    time_t newest = 0;
    for (unsigned chain = 0; chain < CACHE_TABLE_SIZE; chain++) {
        for (CACHEMAP* object = table[chain]; object != nullptr; object = object->chain_next) {
            if (object->refcount != 0)
                continue;
            candidates.push_back(object);
            if (oldest == 0 || object->atime < oldest)
                oldest = object->atime;
            if (newest == 0 || object->atime > newest)
                newest = object->atime;
        }
    }
    if (candidates.empty() || newest == 0) {
        putlog(LOG_ERROR, "cache: no new objects to clean");
        cleaning = false;
        return;
    }

    stores_clean_begin();
    putlog(LOG_CACHE, "before cleaning: memory: %d entries, bytes %llu, used: %u%%", mem_objects,
           static_cast<unsigned long long>(mem_bytes), percent(mem_bytes, size));
    uint64_t byte_target = mem_bytes <= size ? size : (size > extra ? size - extra : 0);
    int count_target = mem_objects < max_mementries ? max_mementries : CROWDED_COUNT_TARGET;

    time_t slice = (newest - oldest) / AGE_SLICES + 1;
    for (time_t threshold = oldest + slice; threshold <= newest + slice; threshold += slice) {
        for (CACHEMAP*& object : candidates) {
            if (object == nullptr)
                continue; // freed by an earlier pass
            bool discard = (object->flags & CACHE_DISCARD) != 0;
            if (discard ? now <= object->mtime + CACHE_DISCARD_SECONDS : object->atime > threshold)
                continue;
            bool on_disk = (object->flags & CACHE_DISK) != 0;
            if ((!on_disk && !(object->flags & CACHE_MEM)) || (on_disk && object->store == nullptr))
                FATAL("src/cache");
            if (discard || (on_disk && store_sheds(object))) {
                invalidate_unlocked(object);
                object = nullptr;
                continue;
            }
            if ((object->flags & CACHE_MEM) &&
                (mem_bytes > byte_target || mem_objects > count_target)) {
                if (on_disk) {
                    mem_delete(object);
                } else {
                    invalidate_unlocked(object);
                    object = nullptr;
                }
            }
        }
    }

    putlog(LOG_CACHE, "after cleaning: memory: %d entries, bytes %llu, used: %u%%", mem_objects,
           static_cast<unsigned long long>(mem_bytes), percent(mem_bytes, size));
    if (mem_bytes > size - extra) {
        clean_state = CLEAN_STATE_UNDERSIZED;
        last_clean = now;
        putlog(LOG_ERROR,
               "cache: memory cache: underdimensioned, please consider increasing memory cache "
               "size");
    } else {
        clean_state = CLEAN_STATE_DONE;
    }
    stores_clean_end();
    cleaning = false;
}
