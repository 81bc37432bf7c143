// ReadMostlyLock: the read-write lock of a configuration section, read
// dozens of times by every request and written only by loads and web
// actions.
//
// A read lock that changes a shared word costs every request a locked
// instruction on a cache line the other cores write too; with the workers
// reading some fifty such locks per request, that was the largest cost the
// daemon spent in its own code. Here a reader only marks its own per-thread
// counter for the lock and checks whether a writer is in. A writer pays
// instead: it announces itself, makes every thread of the process pass a
// memory barrier (membarrier; a fence in every reader where the kernel
// lacks it), and then looks at the counters of all threads. A reader either
// saw the writer, or the writer sees the reader.
//
// Contract, as for a pthread read-write lock with reader preference (the
// glibc default): any number of readers or one writer. A thread may take
// the read lock again while it holds it, even while a writer waits. A
// writer that finds readers steps back, lets waiting readers in and tries
// again a little later, so a writer never keeps readers waiting for other
// readers: a thread holding one lock for reading that waits for another
// cannot be caught between two writers. A lock is released by the thread
// that took it, on whatever CPU. Results are 0 on success; EBUSY from the
// try_ calls where the plain ones would wait; EDEADLK from write_lock in a
// thread that already holds the lock (either way) and from read_lock in its
// writer, which would wait for themselves; EPERM for unlock of a lock the
// thread does not hold. Up to MAX_LOCKS locks exist at once and a thread holds
// one lock at most MAX_DEPTH times over; more is a fatal error.
#pragma once

#include <pthread.h>

#include <atomic>

class ReadMostlyLock {
public:
    static constexpr int MAX_LOCKS = 1024;
    static constexpr int MAX_DEPTH = 255;

    ReadMostlyLock();
    ~ReadMostlyLock();
    ReadMostlyLock(const ReadMostlyLock&) = delete;
    ReadMostlyLock& operator=(const ReadMostlyLock&) = delete;

    int read_lock();
    int write_lock();
    // As read_lock and write_lock, but EBUSY at once where they would wait.
    int try_read_lock();
    int try_write_lock();
    int unlock();

private:
    // Index of this lock's counter in every thread's table.
    int slot_;
    // True while a writer holds the lock or is checking for readers.
    std::atomic<bool> writer_in_{false};
    // The holding writer's thread mark (see the .cpp), null when none.
    std::atomic<const void*> owner_{nullptr};
    // One writer at a time, held for the whole write hold.
    pthread_mutex_t writers_;
    // Readers wait here while writer_in_ is set.
    pthread_mutex_t wait_mutex_;
    pthread_cond_t writer_gone_;

    int take_read(bool wait);
    int take_write(bool wait);
    // Announces the writer and reports whether no thread reads the lock;
    // a false answer withdraws the announcement again.
    bool announce_and_check();
    void withdraw();
};
