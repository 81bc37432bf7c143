// The brief lock: one holder at a time, also when holders are preempted
// inside the section; try_lock never takes a held lock; a release wakes
// every thread asleep on the lock, so none is left behind.
#include "core/brief_lock.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Runs `threads` threads that each take the lock `rounds` times and, inside,
// check that nobody else is inside and add one to a plain counter.
void contend(BriefLock& lock, int threads, int rounds, long& counter, std::atomic<bool>& overlap) {
    std::atomic<int> inside{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; i++) {
                std::lock_guard<BriefLock> guard(lock);
                if (inside.fetch_add(1) != 0)
                    overlap = true;
                counter++;
                if (i % 64 == 0)
                    sched_yield(); // now and then give the CPU away inside
                inside.fetch_sub(1);
            }
        });
    for (auto& worker : workers)
        worker.join();
}

TEST(BriefLock, OneHolderAtATimeAndNothingLost) {
    struct Case {
        const char* name;
        bool one_cpu; // all threads on one CPU: holders are preempted inside
    } cases[] = {{"all CPUs", false}, {"one CPU", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cpu_set_t saved;
        ASSERT_EQ(0, sched_getaffinity(0, sizeof saved, &saved));
        if (c.one_cpu) {
            cpu_set_t one;
            CPU_ZERO(&one);
            for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
                if (CPU_ISSET(cpu, &saved)) {
                    CPU_SET(cpu, &one);
                    break;
                }
            ASSERT_EQ(0, sched_setaffinity(0, sizeof one, &one)); // inherited by the threads
        }
        BriefLock lock;
        long counter = 0;
        std::atomic<bool> overlap{false};
        contend(lock, 8, 20000, counter, overlap);
        sched_setaffinity(0, sizeof saved, &saved);
        EXPECT_FALSE(overlap.load());
        EXPECT_EQ(8L * 20000, counter);
        EXPECT_TRUE(lock.try_lock()); // left free
        lock.unlock();
    }
}

TEST(BriefLock, TryLockNeverTakesAHeldLock) {
    BriefLock lock;
    ASSERT_TRUE(lock.try_lock());
    bool taken_elsewhere = true;
    std::thread([&] { taken_elsewhere = lock.try_lock(); }).join();
    EXPECT_FALSE(taken_elsewhere);
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
    std::thread([&] { taken_elsewhere = lock.try_lock(); }).join();
    EXPECT_TRUE(taken_elsewhere);
    lock.unlock();
}

TEST(BriefLock, OneReleaseLetsEverySleeperThrough) {
    BriefLock lock;
    lock.lock();
    const int sleepers = 6;
    std::atomic<int> started{0};
    std::atomic<int> through{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < sleepers; t++)
        threads.emplace_back([&] {
            started++;
            lock.lock();
            through++;
            lock.unlock();
        });
    while (started.load() < sleepers)
        std::this_thread::yield();
    // Give them time to go to sleep on the lock; none may get through.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, through.load());
    lock.unlock();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (through.load() < sleepers && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(sleepers, through.load());
    for (auto& thread : threads)
        thread.join();
}

} // namespace
