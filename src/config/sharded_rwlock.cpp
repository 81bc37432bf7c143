#include "config/sharded_rwlock.h"

#include <errno.h>
#include <sched.h>

#include "core/mem.h"

namespace {

// What this thread holds: the lock and its shard, -1 for the write lock
// (every shard). Newest last.
struct Hold {
    const ShardedRwLock* lock;
    int shard;
};
thread_local Hold holds[ShardedRwLock::MAX_HOLDS];
thread_local int hold_count = 0;

void remember(const ShardedRwLock* lock, int shard) {
    // More nested holds than any caller takes: an impossible state.
    if (hold_count == ShardedRwLock::MAX_HOLDS)
        FATAL("src/section");
    holds[hold_count++] = Hold{lock, shard};
}

// The newest hold of the lock, removed; -2 when the thread holds none.
int forget(const ShardedRwLock* lock) {
    for (int i = hold_count - 1; i >= 0; i--) {
        if (holds[i].lock != lock)
            continue;
        int shard = holds[i].shard;
        for (int j = i + 1; j < hold_count; j++)
            holds[j - 1] = holds[j];
        hold_count--;
        return shard;
    }
    return -2;
}

// The shard of the newest read hold of the lock; -2 when the thread holds
// none (or only the write lock).
int held_read_shard(const ShardedRwLock* lock) {
    for (int i = hold_count - 1; i >= 0; i--)
        if (holds[i].lock == lock && holds[i].shard >= 0)
            return holds[i].shard;
    return -2;
}

int current_shard() {
    int cpu = sched_getcpu();
    return cpu < 0 ? 0 : cpu % ShardedRwLock::SHARDS;
}

} // namespace

ShardedRwLock::ShardedRwLock() {
    for (Shard& shard : shards)
        pthread_rwlock_init(&shard.lock, nullptr);
}

ShardedRwLock::~ShardedRwLock() {
    for (Shard& shard : shards)
        pthread_rwlock_destroy(&shard.lock);
}

int ShardedRwLock::read_lock() {
    return lock_own_shard(pthread_rwlock_rdlock);
}

int ShardedRwLock::try_read_lock() {
    return lock_own_shard(pthread_rwlock_tryrdlock);
}

// A thread reading again takes the shard it already holds, wherever it runs
// now: a writer may hold the shards before that one already and wait for
// it, so the shard of another CPU would never come.
int ShardedRwLock::lock_own_shard(int (*take)(pthread_rwlock_t*)) {
    int shard = held_read_shard(this);
    if (shard < 0)
        shard = current_shard();
    int rc = take(&shards[shard].lock);
    if (rc == 0)
        remember(this, shard);
    return rc;
}

int ShardedRwLock::write_lock() {
    return lock_every_shard(pthread_rwlock_wrlock);
}

int ShardedRwLock::try_write_lock() {
    return lock_every_shard(pthread_rwlock_trywrlock);
}

int ShardedRwLock::lock_every_shard(int (*take)(pthread_rwlock_t*)) {
    for (int i = 0; i < SHARDS; i++) {
        int rc = take(&shards[i].lock);
        if (rc != 0) {
            while (--i >= 0)
                pthread_rwlock_unlock(&shards[i].lock);
            return rc;
        }
    }
    remember(this, -1);
    return 0;
}

int ShardedRwLock::unlock() {
    int shard = forget(this);
    if (shard == -2)
        return EPERM;
    if (shard >= 0)
        return pthread_rwlock_unlock(&shards[shard].lock);
    int result = 0;
    for (int i = SHARDS - 1; i >= 0; i--) {
        int rc = pthread_rwlock_unlock(&shards[i].lock);
        if (rc != 0)
            result = rc;
    }
    return result;
}
