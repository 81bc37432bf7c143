// ShardedRwLock: the read-write lock of a statistics group, read by every
// request that counts into the group and written whenever a request names
// a counter the group lacks (a host, MIME type, user or client address not
// among the group's last ones), which in a busy organisation is often. A
// writer here costs little; ReadMostlyLock, whose writers are dear, serves
// the configuration sections, which only loads and web actions write.
//
// A plain pthread read-write lock keeps its reader count in one cache line,
// which every reading core then writes: with all workers counting into the
// same groups, that line moves between cores on every request. Here readers
// take one of SHARDS read-write locks, chosen by the CPU they run on, each
// in a cache line of its own; a writer takes all of them, in order.
//
// Contract, as for a pthread read-write lock with reader preference (the
// glibc default): any number of readers or one writer; a thread may take
// the read lock again while it holds it, even with a writer waiting (it then
// takes the shard it already holds, on whatever CPU it runs now). Each
// thread records what it holds (lock and shard, up to MAX_HOLDS at once),
// so that unlock releases the right shard even when the thread moved to
// another CPU meanwhile; a lock is released by the thread that took it.
// Results are those of the pthread calls (0 on success); unlock of a lock
// the thread does not hold returns EPERM.
#pragma once

#include <pthread.h>

class ShardedRwLock {
public:
    static constexpr int SHARDS = 8;
    static constexpr int MAX_HOLDS = 64;

    ShardedRwLock();
    ~ShardedRwLock();
    ShardedRwLock(const ShardedRwLock&) = delete;
    ShardedRwLock& operator=(const ShardedRwLock&) = delete;

    int read_lock();
    int write_lock();
    // As read_lock and write_lock, but EBUSY at once where they would wait.
    int try_read_lock();
    int try_write_lock();
    int unlock();

private:
    struct alignas(64) Shard {
        pthread_rwlock_t lock;
    };
    Shard shards[SHARDS];

    // With `take`, the shard this thread already reads, else the one of the
    // CPU it runs on; remembered.
    int lock_own_shard(int (*take)(pthread_rwlock_t*));
    // Every shard in order with `take`; on a failure the ones taken are
    // released and its result returned.
    int lock_every_shard(int (*take)(pthread_rwlock_t*));
};
