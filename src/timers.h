// Periodic jobs run one after another by the timer thread, once a second.
#pragma once

#include <pthread.h>
#include <time.h>

constexpr int TIMER_REPEAT = 1;

struct TIMERS_LIST;

struct TIMERS {
    pthread_mutex_t lock;
    int next_id;
    TIMERS_LIST* head;
};

TIMERS* timers_init();
// Adds a job due in `interval` seconds; returns its id.
int timers_add(TIMERS* list, int interval, int flags, void (*fn)(void*), void* arg);
// Thread body: every second runs the due jobs of GLOBAL::timers.
void* timer_thread(void*);
