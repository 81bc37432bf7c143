// Periodic housekeeping: one timer list (GLOBAL::timers) checked once a
// second by one thread (timer_thread).
//
// The list is kept in due order; timers with equal due times stay in the
// order they were inserted. Ids are handed out 0, 1, 2, ... per list.
//
// Jobs run one after another on the timer thread with the list's lock held:
// such a job must not call timers_add or timers_remove on the same list (the
// lock is not recursive), and a slow job delays every other one. A job that
// may block for long (network I/O, compressing a log) is added with
// TIMER_OWN_THREAD instead: the timer thread then only wakes the job's own
// thread and goes on, so the one-second jobs keep their cadence. Such a job
// runs without the list's lock; a run still busy when the job is due again
// makes that run be skipped (missed runs are never made up).
//
// A failed allocation is an impossible state (fatal-error sequence, source
// "src/timers").
#pragma once

#include <pthread.h>
#include <time.h>

constexpr int TIMER_REPEAT = 1;     // re-arm after each run
constexpr int TIMER_OWN_THREAD = 2; // run on a thread of its own (see above)

struct TIMER_RUNNER;

struct TIMERS_LIST {
    TIMERS_LIST* prev; // neighbours in due order
    TIMERS_LIST* next;
    int id;
    int interval; // seconds between runs
    time_t due;   // next run
    int flags;    // TIMER_REPEAT, TIMER_OWN_THREAD
    void (*fn)(void*);
    void* arg;
    TIMER_RUNNER* runner; // the job's own thread; NULL without TIMER_OWN_THREAD
};

struct TIMERS {
    pthread_mutex_t lock;
    int next_id;       // id of the next timer added
    TIMERS_LIST* head; // earliest timer, NULL when empty
    // Where the list reads the current time: the wall clock in the daemon,
    // a controlled clock in tests.
    time_t (*clock)();
};

// An empty list reading the wall clock.
TIMERS* timers_init();

// Under the lock: a new timer with the next id, due now + interval, inserted
// in order; logs "added timer %d" at LOG_DEBUG after unlocking. With
// TIMER_OWN_THREAD the job's thread is started here (a thread that cannot be
// started leaves the job on the timer thread, logged). Returns the id.
int timers_add(TIMERS* list, int interval, int flags, void (*fn)(void*), void* arg);

// Links `timer` in after every timer due at or before it; the caller holds
// the lock.
void timers_insert(TIMERS* list, TIMERS_LIST* timer);

// Runs every timer due at the list's current time, read once. A repeating
// timer is next due at its old due time plus its interval, or one second
// after now when that is not later than now; any other timer is freed after
// its run.
void timers_check(TIMERS* list);

// Under the lock: unlinks and frees the timer with that id (an own-thread
// job's run in progress finishes first, then its thread ends). 1 when one was
// found, else 0.
int timers_remove(TIMERS* list, int id);

// The timer with that id, NULL when there is none; the caller holds the lock.
TIMERS_LIST* timers_find(TIMERS* list, int id);

// Thread body: for ever, sleep one second, then timers_check(GLOBAL::timers).
void* timer_thread(void*);
