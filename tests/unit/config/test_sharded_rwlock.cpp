// ShardedRwLock: readers share, a writer excludes everyone, a reader may
// read again while a writer waits, and a read lock taken on one CPU is
// released by its thread from another.
#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

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
bool writer_gets_it(ShardedRwLock& lock, std::chrono::milliseconds within) {
    auto done = std::async(std::launch::async, [&] {
        lock.write_lock();
        lock.unlock();
    });
    return done.wait_for(within) == std::future_status::ready;
}

} // namespace

// Writers see no reader and no other writer; readers see no writer. The
// shared value is only ever changed under the write lock, in two steps a
// reader must never see apart.
TEST(ShardedRwLock, WritersExcludeReadersAndEachOther) {
    ShardedRwLock lock;
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
TEST(ShardedRwLock, ReaderReadsAgainWhileAWriterWaits) {
    ShardedRwLock lock;
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
// writer may already hold the shard of the new CPU, so the second hold must
// take the shard of the first, or reader and writer wait for each other.
TEST(ShardedRwLock, ReaderOnAnotherCpuReadsAgainWhileAWriterWaits) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || !pin_to_cpu(1))
        GTEST_SKIP() << "needs two CPUs";
    ShardedRwLock lock;
    ASSERT_EQ(lock.read_lock(), 0); // shard 1
    auto writer = std::async(std::launch::async, [&] {
        lock.write_lock(); // takes shard 0, then waits for shard 1
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
// lock: each unlock releases the shard its hold took, so a writer is not
// kept out for ever.
TEST(ShardedRwLock, ReleasedFromAnotherCpuInAnyOrder) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || !pin_to_cpu(0))
        GTEST_SKIP() << "needs two CPUs";
    ShardedRwLock a, b;
    ASSERT_EQ(a.read_lock(), 0);
    ASSERT_EQ(b.read_lock(), 0);
    ASSERT_TRUE(pin_to_cpu(1));
    ASSERT_EQ(a.read_lock(), 0); // a second hold of a, on another shard
    EXPECT_EQ(a.unlock(), 0);
    EXPECT_EQ(b.unlock(), 0);
    EXPECT_EQ(a.unlock(), 0);
    unpin();
    EXPECT_TRUE(writer_gets_it(a, std::chrono::seconds(5)));
    EXPECT_TRUE(writer_gets_it(b, std::chrono::seconds(5)));
}

TEST(ShardedRwLock, UnlockWithoutAHoldIsRefused) {
    ShardedRwLock lock;
    EXPECT_EQ(lock.unlock(), EPERM);
    ASSERT_EQ(lock.write_lock(), 0);
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(lock.unlock(), EPERM);
    EXPECT_TRUE(writer_gets_it(lock, std::chrono::seconds(5)));
}
