#include "core/timers.h"

#include <stdlib.h>
#include <unistd.h>

#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/threads.h"

static const char SOURCE[] = "src/timers";

// The thread of one TIMER_OWN_THREAD job. The timer list asks for runs; the
// thread runs them one at a time. Once the timer is gone (`quit`) the thread
// frees this record and ends.
struct TIMER_RUNNER {
    pthread_mutex_t lock;
    pthread_cond_t wake;
    void (*fn)(void*);
    void* arg;
    int id;
    bool requested; // a run is wanted
    bool busy;      // fn is running
    bool quit;      // the timer was freed
};

static time_t wall_clock() {
    return time(NULL);
}

static void* runner_thread(void* arg) {
    TIMER_RUNNER* runner = static_cast<TIMER_RUNNER*>(arg);
    pthread_mutex_lock(&runner->lock);
    for (;;) {
        while (!runner->requested && !runner->quit)
            pthread_cond_wait(&runner->wake, &runner->lock);
        if (!runner->requested)
            break;
        runner->requested = false;
        runner->busy = true;
        pthread_mutex_unlock(&runner->lock);
        runner->fn(runner->arg);
        pthread_mutex_lock(&runner->lock);
        runner->busy = false;
    }
    pthread_mutex_unlock(&runner->lock);
    pthread_mutex_destroy(&runner->lock);
    pthread_cond_destroy(&runner->wake);
    free(runner);
    return NULL;
}

// A started runner, or NULL when its thread cannot be started (logged by
// thread_create_internal); the job then runs on the timer thread.
static TIMER_RUNNER* runner_start(void (*fn)(void*), void* arg) {
    TIMER_RUNNER* runner = static_cast<TIMER_RUNNER*>(xmalloc(sizeof(TIMER_RUNNER)));
    if (runner == NULL)
        FATAL_ALLOC(SOURCE, sizeof(TIMER_RUNNER));
    pthread_mutex_init(&runner->lock, NULL);
    pthread_cond_init(&runner->wake, NULL);
    runner->fn = fn;
    runner->arg = arg;
    if (thread_create_internal(runner_thread, runner) == -1) {
        pthread_mutex_destroy(&runner->lock);
        pthread_cond_destroy(&runner->wake);
        free(runner);
        return NULL;
    }
    return runner;
}

// Asks for one run unless one is waiting or still busy.
static void runner_request(TIMER_RUNNER* runner, int id) {
    pthread_mutex_lock(&runner->lock);
    bool skipped = runner->busy || runner->requested;
    if (!skipped) {
        runner->requested = true;
        pthread_cond_signal(&runner->wake);
    }
    pthread_mutex_unlock(&runner->lock);
    if (skipped)
        putlog(LOG_DEBUG, "timer %d still running, run skipped", id);
}

// Lets the runner end once it is idle. A run asked for by the timer's last
// check still happens unless `drop_pending`.
static void runner_stop(TIMER_RUNNER* runner, bool drop_pending) {
    pthread_mutex_lock(&runner->lock);
    if (drop_pending)
        runner->requested = false;
    runner->quit = true;
    pthread_cond_signal(&runner->wake);
    pthread_mutex_unlock(&runner->lock);
}

static void timer_free(TIMERS_LIST* timer, bool drop_pending) {
    if (timer->runner != NULL)
        runner_stop(timer->runner, drop_pending);
    free(timer);
}

// The caller holds the lock.
static void timer_unlink(TIMERS* list, TIMERS_LIST* timer) {
    if (timer->prev != NULL)
        timer->prev->next = timer->next;
    else
        list->head = timer->next;
    if (timer->next != NULL)
        timer->next->prev = timer->prev;
    timer->prev = NULL;
    timer->next = NULL;
}

TIMERS* timers_init() {
    TIMERS* list = static_cast<TIMERS*>(xmalloc(sizeof(TIMERS)));
    if (list == NULL)
        FATAL_ALLOC(SOURCE, sizeof(TIMERS));
    pthread_mutex_init(&list->lock, NULL);
    list->next_id = 0;
    list->head = NULL;
    list->clock = wall_clock;
    return list;
}

void timers_insert(TIMERS* list, TIMERS_LIST* timer) {
    TIMERS_LIST* before = NULL;
    TIMERS_LIST* after = list->head;
    while (after != NULL && after->due <= timer->due) {
        before = after;
        after = after->next;
    }
    timer->prev = before;
    timer->next = after;
    if (before != NULL)
        before->next = timer;
    else
        list->head = timer;
    if (after != NULL)
        after->prev = timer;
}

int timers_add(TIMERS* list, int interval, int flags, void (*fn)(void*), void* arg) {
    TIMERS_LIST* timer = static_cast<TIMERS_LIST*>(xmalloc(sizeof(TIMERS_LIST)));
    if (timer == NULL)
        FATAL_ALLOC(SOURCE, sizeof(TIMERS_LIST));
    timer->interval = interval;
    timer->flags = flags;
    timer->fn = fn;
    timer->arg = arg;
    if (flags & TIMER_OWN_THREAD) {
        timer->runner = runner_start(fn, arg);
        if (timer->runner == NULL)
            timer->flags &= ~TIMER_OWN_THREAD;
    }

    pthread_mutex_lock(&list->lock);
    int id = list->next_id++;
    timer->id = id;
    if (timer->runner != NULL)
        timer->runner->id = id;
    timer->due = list->clock() + interval;
    timers_insert(list, timer);
    pthread_mutex_unlock(&list->lock);

    putlog(LOG_DEBUG, "added timer %d", id);
    return id;
}

void timers_check(TIMERS* list) {
    time_t now = list->clock();
    pthread_mutex_lock(&list->lock);
    TIMERS_LIST* timer = list->head;
    while (timer != NULL && timer->due <= now) {
        TIMERS_LIST* successor = timer->next;
        if (timer->runner != NULL)
            runner_request(timer->runner, timer->id);
        else
            timer->fn(timer->arg);
        timer_unlink(list, timer);
        if (timer->flags & TIMER_REPEAT) {
            // Missed runs are not made up: a timer that fell behind is next
            // due one second from now and keeps that cadence.
            time_t next = timer->due + timer->interval;
            timer->due = next > now ? next : now + 1;
            timers_insert(list, timer);
        } else {
            timer_free(timer, false);
        }
        timer = successor;
    }
    pthread_mutex_unlock(&list->lock);
}

TIMERS_LIST* timers_find(TIMERS* list, int id) {
    for (TIMERS_LIST* timer = list->head; timer != NULL; timer = timer->next)
        if (timer->id == id)
            return timer;
    return NULL;
}

int timers_remove(TIMERS* list, int id) {
    pthread_mutex_lock(&list->lock);
    TIMERS_LIST* timer = timers_find(list, id);
    if (timer != NULL) {
        timer_unlink(list, timer);
        timer_free(timer, true);
    }
    pthread_mutex_unlock(&list->lock);
    return timer != NULL ? 1 : 0;
}

void* timer_thread(void*) {
    for (;;) {
        sleep(1);
        timers_check(global->timers);
    }
    return NULL;
}
