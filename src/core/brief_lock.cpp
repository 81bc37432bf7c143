#include "core/brief_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

void BriefLock::lock_contended() {
    // Marking the lock as having sleepers before sleeping means its release
    // wakes us; taking it that way leaves the mark, so our own release wakes
    // whoever went to sleep meanwhile. No spinning first: measured, it made
    // the slowest answers slower (the waiters spun on the CPUs the preempted
    // holder needed).
    while (state_.exchange(HELD_WITH_SLEEPERS, std::memory_order_acquire) != FREE)
        syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE,
                HELD_WITH_SLEEPERS, nullptr, nullptr, 0);
}

void BriefLock::wake_all() {
    syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}
