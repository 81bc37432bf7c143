// The two read-write locks, ShardedRwLock (statistics groups) and
// ReadMostlyLock (configuration sections), against their common contract:
// readers share, a writer excludes everyone, a reader may read again while
// a writer waits, a read lock taken on one CPU is released by its thread
// from another, and the try_ calls are busy where the plain ones wait. Then
// what only ReadMostlyLock promises: a thread is told when it would wait
// for itself, and a writer that finds readers steps back instead of keeping
// other readers out.
#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "config/read_mostly_lock.h"
#include "config/sharded_rwlock.h"

namespace {

bool pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

void unpin() {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
        CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Takes the write lock on another thread; true when it got it within the time.
template <typename Lock>
bool writer_gets_it(Lock& lock, std::chrono::milliseconds within) {
    auto done = std::async(std::launch::async, [&] {
        lock.write_lock();
        lock.unlock();
    });
    return done.wait_for(within) == std::future_status::ready;
}

template <typename Lock>
class RwLockContract : public ::testing::Test {};
using RwLocks = ::testing::Types<ShardedRwLock, ReadMostlyLock>;
TYPED_TEST_SUITE(RwLockContract, RwLocks);

} // namespace

// Writers see no reader and no other writer; readers see no writer. The
// shared value is only ever changed under the write lock, in two steps a
// reader must never see apart.
TYPED_TEST(RwLockContract, WritersExcludeReadersAndEachOther) {
    TypeParam lock;
    long first = 0, second = 0;
    std::atomic<int> torn{0}, inside{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4000; i++) {
                if ((i + t) % 16 == 0) {
                    ASSERT_EQ(lock.write_lock(), 0);
                    if (inside.fetch_add(1) != 0)
                        torn++;
                    first++;
                    std::this_thread::yield();
                    second++;
                    inside.fetch_sub(1);
                    ASSERT_EQ(lock.unlock(), 0);
                } else {
                    ASSERT_EQ(lock.read_lock(), 0);
                    if (first != second)
                        torn++;
                    ASSERT_EQ(lock.unlock(), 0);
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, 8 * 4000 / 16);
}

// A reader takes the lock again while a writer waits for it, and the writer
// gets it once both holds are released.
TYPED_TEST(RwLockContract, ReaderReadsAgainWhileAWriterWaits) {
    TypeParam lock;
    ASSERT_EQ(lock.read_lock(), 0);
    auto writer = std::async(std::launch::async, [&] {
        lock.write_lock();
        lock.unlock();
    });
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_EQ(lock.read_lock(), 0); // would hang with writer preference
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(writer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Reading again after moving to another CPU while a writer waits: the
// second hold must not wait for the writer (which, in the sharded lock, may
// already hold the shard of the new CPU), or reader and writer wait for
// each other.
TYPED_TEST(RwLockContract, ReaderOnAnotherCpuReadsAgainWhileAWriterWaits) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || !pin_to_cpu(1))
        GTEST_SKIP() << "needs two CPUs";
    TypeParam lock;
    ASSERT_EQ(lock.read_lock(), 0); // on CPU 1
    auto writer = std::async(std::launch::async, [&] {
        lock.write_lock(); // waits for the hold taken on CPU 1
        lock.unlock();
    });
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(pin_to_cpu(0));
    int again = lock.try_read_lock();
    EXPECT_EQ(again, 0);
    if (again == 0) { // else a blocking read would never return
        EXPECT_EQ(lock.unlock(), 0);
        ASSERT_EQ(lock.read_lock(), 0);
        EXPECT_EQ(lock.unlock(), 0);
    }
    unpin();
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(writer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Taken on one CPU and released on another, in any order with a second
// lock: each unlock releases the hold it took, so a writer is not kept out
// for ever.
TYPED_TEST(RwLockContract, ReleasedFromAnotherCpuInAnyOrder) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || !pin_to_cpu(0))
        GTEST_SKIP() << "needs two CPUs";
    TypeParam a, b;
    ASSERT_EQ(a.read_lock(), 0);
    ASSERT_EQ(b.read_lock(), 0);
    ASSERT_TRUE(pin_to_cpu(1));
    ASSERT_EQ(a.read_lock(), 0); // a second hold of a, on another CPU
    EXPECT_EQ(a.unlock(), 0);
    EXPECT_EQ(b.unlock(), 0);
    EXPECT_EQ(a.unlock(), 0);
    unpin();
    EXPECT_TRUE(writer_gets_it(a, std::chrono::seconds(5)));
    EXPECT_TRUE(writer_gets_it(b, std::chrono::seconds(5)));
}

TYPED_TEST(RwLockContract, UnlockWithoutAHoldIsRefused) {
    TypeParam lock;
    EXPECT_EQ(lock.unlock(), EPERM);
    ASSERT_EQ(lock.write_lock(), 0);
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(lock.unlock(), EPERM);
    EXPECT_TRUE(writer_gets_it(lock, std::chrono::seconds(5)));
}

// The try_ calls answer EBUSY where the plain ones would wait, and a reader
// kept out by a writer gets in once the writer lets go.
TYPED_TEST(RwLockContract, TryCallsAreBusyWhereThePlainOnesWait) {
    TypeParam lock;
    ASSERT_EQ(lock.read_lock(), 0);
    EXPECT_EQ(std::async(std::launch::async, [&] { return lock.try_write_lock(); }).get(), EBUSY);
    EXPECT_EQ(std::async(std::launch::async, [&] {
                  int got = lock.try_read_lock();
                  if (got == 0)
                      lock.unlock();
                  return got;
              }).get(),
              0);
    EXPECT_EQ(lock.unlock(), 0);

    ASSERT_EQ(lock.write_lock(), 0);
    EXPECT_EQ(std::async(std::launch::async, [&] { return lock.try_read_lock(); }).get(), EBUSY);
    EXPECT_EQ(std::async(std::launch::async, [&] { return lock.try_write_lock(); }).get(), EBUSY);
    std::atomic<bool> reader_in{false};
    auto reader = std::async(std::launch::async, [&] {
        lock.read_lock();
        reader_in = true;
        lock.unlock();
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_FALSE(reader_in);
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(reader_in);
}

// A thread that asks for what it would wait for itself is told so at once
// instead of hanging (the try_ calls say busy, as for any other holder).
TEST(ReadMostlyLock, WaitingForItselfIsRefused) {
    ReadMostlyLock lock;
    ASSERT_EQ(lock.read_lock(), 0);
    EXPECT_EQ(lock.write_lock(), EDEADLK);
    EXPECT_EQ(lock.try_write_lock(), EBUSY);
    EXPECT_EQ(lock.unlock(), 0);
    ASSERT_EQ(lock.write_lock(), 0);
    EXPECT_EQ(lock.write_lock(), EDEADLK);
    EXPECT_EQ(lock.try_write_lock(), EBUSY);
    EXPECT_EQ(lock.read_lock(), EDEADLK);
    EXPECT_EQ(lock.try_read_lock(), EBUSY);
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(lock.unlock(), EPERM);
}

// Two threads each hold one lock for reading and then ask for the other's,
// while a writer waits on each lock. Writers that kept new readers out would
// leave all four waiting for ever; here both readers get in, and the writers
// follow once the reads end.
TEST(ReadMostlyLock, ReadersCrossingTwoLocksPassTheirWaitingWriters) {
    ReadMostlyLock a, b;
    std::promise<void> first_holds_a, second_holds_b, writers_started;
    std::shared_future<void> started = writers_started.get_future().share();
    auto reader = [&](ReadMostlyLock& own, ReadMostlyLock& other, std::promise<void>& holding) {
        own.read_lock();
        holding.set_value();
        started.wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the writers are waiting
        int got = other.read_lock();
        if (got == 0)
            other.unlock();
        own.unlock();
        return got;
    };
    auto first = std::async(std::launch::async, reader, std::ref(a), std::ref(b), std::ref(first_holds_a));
    auto second = std::async(std::launch::async, reader, std::ref(b), std::ref(a), std::ref(second_holds_b));
    first_holds_a.get_future().wait();
    second_holds_b.get_future().wait();
    auto writer_a = std::async(std::launch::async, [&] { a.write_lock(); a.unlock(); });
    auto writer_b = std::async(std::launch::async, [&] { b.write_lock(); b.unlock(); });
    writers_started.set_value();
    ASSERT_EQ(first.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
    EXPECT_EQ(writer_a.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(writer_b.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Locks are built and destroyed far more often than the number that may
// exist at once, each read by a thread that then ends: a new lock starts
// free whatever lock had its place before, and an ended thread's holds are
// no one's.
TEST(ReadMostlyLock, LocksAndThreadsComeAndGo) {
    for (int i = 0; i < 3 * ReadMostlyLock::MAX_LOCKS; i++) {
        ReadMostlyLock lock;
        if (i % 64 == 0) {
            std::thread([&] {
                lock.read_lock();
                lock.read_lock();
                lock.unlock();
                lock.unlock();
            }).join();
        }
        ASSERT_EQ(lock.try_write_lock(), 0) << i;
        ASSERT_EQ(lock.unlock(), 0);
        ASSERT_EQ(lock.try_read_lock(), 0) << i;
        ASSERT_EQ(lock.unlock(), 0);
    }
}
