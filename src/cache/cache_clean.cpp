// Cleaning: keeps the memory cache and the disk stores within their sizes
// by freeing objects nobody holds, oldest access first. It runs in the
// thread whose operation asked for it, at most once per clean interval.
//
// The age range of the unheld objects is cut into 128 slices; objects are
// freed slice by slice, oldest first, until memory and each store are down
// to their targets. Instead of walking the table once per slice, one walk
// counts the bytes of each slice, which tells the slice at which each
// target is met, and two more walks free what lies below it (the second
// with that slice itself, objects freed only while their target is not
// met yet). Every walk holds the section mutex for CHAINS_PER_HOLD chains
// at a time and lets other threads in between, so a cleaning of a large
// cache never stops the cache for a whole walk.
#include "cache/cache.h"

#include <sched.h>

#include <algorithm>
#include <vector>

#include "cache/store.h"
#include "core/log.h"
#include "core/mem.h"

namespace {

const time_t AGE_SLICES = 128;
// Mapped objects left after a cleaning that started with max_mementries or
// more of them.
const int CROWDED_COUNT_TARGET = 500;
// Chains walked per hold of the mutex (a few thousand objects in a large
// cache, well under a millisecond).
const unsigned CHAINS_PER_HOLD = 2048;

unsigned percent(uint64_t used, uint64_t size) {
    return size == 0 ? 0 : static_cast<unsigned>(used * 100 / size);
}

// The pass of the age slices at which an object of this access time is
// first freed: 1 for the oldest slice.
size_t pass_of(time_t atime, time_t oldest, time_t slice) {
    if (atime <= oldest)
        return 1;
    return static_cast<size_t>((atime - oldest + slice - 1) / slice);
}

// The first pass after which freeing everything up to it meets the
// target: `total` minus the bytes of passes 0..k at most `target`. The last
// pass when no pass does.
size_t pass_meeting(int64_t total, const std::vector<uint64_t>& bytes, int64_t target) {
    int64_t left = total;
    for (size_t pass = 0; pass < bytes.size(); pass++) {
        left -= static_cast<int64_t>(bytes[pass]);
        if (left <= target)
            return pass;
    }
    return bytes.size() - 1;
}

} // namespace

bool CacheSection::memory_above_target() const {
    return static_cast<int64_t>(mem_bytes) >
           static_cast<int64_t>(*memory_size) - static_cast<int64_t>(*memory_free_extra);
}

// Visits every object of the table (visit may free the object it is given),
// CHAINS_PER_HOLD chains per hold of the mutex, which the caller holds on
// entry and on return. False when the stores were rebuilt meanwhile: what
// the cleaning knows of them is void and it stops.
template <typename Visit> bool CacheSection::walk_in_slices(Visit visit) {
    unsigned generation = stores_generation;
    for (unsigned first = 0; first < table_size; first += CHAINS_PER_HOLD) {
        if (first != 0) {
            unlock();
            sched_yield();
            mutex_lock();
            if (stores_generation != generation)
                return false;
        }
        unsigned last = first + CHAINS_PER_HOLD < table_size ? first + CHAINS_PER_HOLD : table_size;
        for (unsigned chain = first; chain < last; chain++) {
            CACHEMAP* next;
            for (CACHEMAP* object = table[chain]; object != nullptr; object = next) {
                next = object->chain_next;
                visit(object);
            }
        }
    }
    return true;
}

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

    // The age range of the objects nobody holds.
    time_t oldest = 0;
    time_t newest = 0;
    bool any = false;
    bool whole = walk_in_slices([&](CACHEMAP* object) {
        if (object->refcount != 0)
            return;
        any = true;
        if (oldest == 0 || object->atime < oldest)
            oldest = object->atime;
        if (newest == 0 || object->atime > newest)
            newest = object->atime;
    });
    if (whole && (!any || newest == 0)) {
        putlog(LOG_ERROR, "cache: no new objects to clean");
        cleaning = false;
        return;
    }

    stores_clean_begin();
    putlog(LOG_CACHE, "before cleaning: memory: %d entries, bytes %llu, used: %u%%", mem_objects,
           static_cast<unsigned long long>(mem_bytes), percent(mem_bytes, size));
    int64_t byte_target = mem_bytes <= size ? static_cast<int64_t>(size)
                                            : static_cast<int64_t>(size) - static_cast<int64_t>(extra);
    int count_target = mem_objects < max_mementries ? max_mementries : CROWDED_COUNT_TARGET;
    time_t slice = (newest - oldest) / AGE_SLICES + 1;
    size_t passes = static_cast<size_t>((newest - oldest) / slice + 1);
    auto expired_discard = [&](const CACHEMAP* object) {
        return (object->flags & CACHE_DISCARD) && now > object->mtime + CACHE_DISCARD_SECONDS;
    };

    // Bytes (and mapped objects) each pass would free; pass 0 holds the
    // temporary objects past their time, which go whatever their age.
    std::vector<uint64_t> memory_bytes(passes + 1, 0);
    std::vector<uint64_t> memory_count(passes + 1, 0);
    std::vector<std::vector<uint64_t>> store_bytes(stores.size(),
                                                   std::vector<uint64_t>(passes + 1, 0));
    if (whole)
        whole = walk_in_slices([&](CACHEMAP* object) {
            if (object->refcount != 0)
                return;
            size_t pass = expired_discard(object) ? 0 : pass_of(object->atime, oldest, slice);
            if (pass > passes)
                return; // touched since the range was taken
            if (object->flags & CACHE_MEM) {
                memory_bytes[pass] += object->size;
                memory_count[pass]++;
            }
            if ((object->flags & CACHE_DISK) && object->store != nullptr)
                store_bytes[object->store->position][pass] += object->size;
        });

    // The pass at which each target is met.
    size_t memory_pass = std::max(
        pass_meeting(static_cast<int64_t>(mem_bytes), memory_bytes, byte_target),
        pass_meeting(mem_objects, memory_count, count_target));
    // Stores rebuilt during the count leave store_bytes sized for the old
    // list; nothing is freed then.
    std::vector<size_t> store_pass(stores.size(), 0);
    for (Store* store : stores)
        if (whole)
            store_pass[store->position] =
                pass_meeting(static_cast<int64_t>(store->bytes), store_bytes[store->position],
                             static_cast<int64_t>(store->clean_target));

    // Frees what lies before (then at) the pass of each target, while the
    // live counts are still above the target.
    for (size_t reach = 0; whole && reach < 2; reach++) {
        whole = walk_in_slices([&](CACHEMAP* object) {
            if (object->refcount != 0)
                return;
            if (expired_discard(object)) {
                invalidate_unlocked(object);
                return;
            }
            size_t pass = pass_of(object->atime, oldest, slice);
            if (pass > passes)
                return;
            bool on_disk = (object->flags & CACHE_DISK) != 0;
            if ((!on_disk && !(object->flags & CACHE_MEM)) || (on_disk && object->store == nullptr))
                FATAL("src/cache");
            if (on_disk && pass + 1 - reach <= store_pass[object->store->position] &&
                store_sheds(object)) {
                invalidate_unlocked(object);
                return;
            }
            if ((object->flags & CACHE_MEM) && pass + 1 - reach <= memory_pass &&
                (static_cast<int64_t>(mem_bytes) > byte_target || mem_objects > count_target)) {
                if (on_disk)
                    mem_delete(object);
                else
                    invalidate_unlocked(object);
            }
        });
    }

    putlog(LOG_CACHE, "after cleaning: memory: %d entries, bytes %llu, used: %u%%", mem_objects,
           static_cast<unsigned long long>(mem_bytes), percent(mem_bytes, size));
    if (memory_above_target()) {
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

void CacheSection::force_clean() {
    mutex_lock();
    putlog(LOG_DEBUG, "cache: flushing %d objects from the memory", static_cast<int>(table_size));
    walk_in_slices([&](CACHEMAP* object) {
        if (object->refcount != 0)
            return;
        putlog(LOG_DEBUG, "cache: flushed %s from memory", object->key);
        forget_unlocked(object);
    });
    unlock();
}
