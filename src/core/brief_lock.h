// BriefLock: a mutex for critical sections of a few pointer moves, taken by
// every worker on every request (the server pool's list).
//
// Why not a pthread mutex: under load (hundreds of runnable workers on a few
// CPUs) the scheduler now and then preempts a holder. Every thread that
// wants the lock meanwhile goes to sleep, and a pthread mutex wakes its
// sleepers one at a time: each one must wait its turn on a crowded run queue,
// take the lock, release it and only then wake the next. The last sleeper of
// such a queue waits for the sum of all those turns (tens of milliseconds,
// the slowest answers of a busy daemon). Here a release that finds sleepers
// wakes them all at once, so each waits for one turn of its own.
//
// Contract:
// - lock() takes a free lock at once and otherwise sleeps on a futex until a
//   release; unlock() by the holder wakes every sleeper, and the first of
//   them to run takes the lock. No recursion, no ownership check, no
//   fairness (a thread that comes along may take a lock just released
//   before the woken ones run).
// - try_lock() returns true when it took the lock. lock, try_lock and
//   unlock are those of the standard library, so std::lock_guard serves.
// - Meant for short sections that never wait on a peer: a release with
//   sleepers costs one system call and wakes them all.
#pragma once

#include <atomic>

class BriefLock {
public:
    BriefLock() = default;
    BriefLock(const BriefLock&) = delete;
    BriefLock& operator=(const BriefLock&) = delete;

    void lock() {
        int expected = FREE;
        if (!state_.compare_exchange_strong(expected, HELD, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            lock_contended();
    }
    bool try_lock() {
        int expected = FREE;
        return state_.compare_exchange_strong(expected, HELD, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unlock() {
        if (state_.exchange(FREE, std::memory_order_release) == HELD_WITH_SLEEPERS)
            wake_all();
    }

private:
    enum : int { FREE = 0, HELD = 1, HELD_WITH_SLEEPERS = 2 };
    void lock_contended();
    void wake_all();
    std::atomic<int> state_{FREE};
};
