#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/timers.h"

namespace {

// The clock every list in these tests reads.
time_t fake_now = 0;
time_t fake_clock() {
    return fake_now;
}

// Job runs recorded by name, in order.
std::vector<std::string> runs;

void record_a(void*) { runs.push_back("a"); }
void record_b(void*) { runs.push_back("b"); }
void record_c(void*) { runs.push_back("c"); }

class Timers : public ::testing::Test {
protected:
    TIMERS* list = NULL;

    void SetUp() override {
        fake_now = 1000;
        runs.clear();
        list = timers_init();
        list->clock = fake_clock;
    }

    // Runs a check at time t.
    void check_at(time_t t) {
        fake_now = t;
        timers_check(list);
    }

    time_t due_of(int id) {
        pthread_mutex_lock(&list->lock);
        TIMERS_LIST* timer = timers_find(list, id);
        time_t due = timer != NULL ? timer->due : -1;
        pthread_mutex_unlock(&list->lock);
        return due;
    }
};

TEST_F(Timers, IdsCountUpAndTimersAreDueNowPlusInterval) {
    EXPECT_EQ(list->next_id, 0);
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(timers_add(list, 60, TIMER_REPEAT, record_a, NULL), 0);
    EXPECT_EQ(timers_add(list, 1, TIMER_REPEAT, record_b, NULL), 1);
    EXPECT_EQ(timers_add(list, 10, 0, record_c, NULL), 2);
    EXPECT_EQ(due_of(0), 1060);
    EXPECT_EQ(due_of(1), 1001);
    EXPECT_EQ(due_of(2), 1010);
    // Kept in due order.
    std::vector<int> order;
    for (TIMERS_LIST* t = list->head; t != NULL; t = t->next) {
        order.push_back(t->id);
        if (t->next != NULL) {
            EXPECT_EQ(t->next->prev, t);
        }
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
}

TEST_F(Timers, JobsRunOnlyWhenDueAndEqualDueTimesKeepInsertionOrder) {
    timers_add(list, 5, TIMER_REPEAT, record_b, NULL);
    timers_add(list, 5, TIMER_REPEAT, record_a, NULL);
    timers_add(list, 5, TIMER_REPEAT, record_c, NULL);
    check_at(1004);
    EXPECT_TRUE(runs.empty());
    check_at(1005);
    EXPECT_EQ(runs, (std::vector<std::string>{"b", "a", "c"}));
    check_at(1010);
    EXPECT_EQ(runs, (std::vector<std::string>{"b", "a", "c", "b", "a", "c"}));
}

TEST_F(Timers, RepeatingTimerKeepsCadenceButDoesNotMakeUpMissedRuns) {
    fake_now = 90;
    int id = timers_add(list, 10, TIMER_REPEAT, record_a, NULL);
    EXPECT_EQ(due_of(id), 100);
    check_at(100);
    EXPECT_EQ(due_of(id), 110); // on time: old due + interval
    check_at(103);
    EXPECT_EQ(runs.size(), 1u);
    check_at(125); // fell behind: one run, next one second from now
    EXPECT_EQ(runs.size(), 2u);
    EXPECT_EQ(due_of(id), 126);
    check_at(126);
    EXPECT_EQ(runs.size(), 3u);
    EXPECT_EQ(due_of(id), 136);
}

TEST_F(Timers, OneShotTimerRunsOnceAndDisappears) {
    int id = timers_add(list, 3, 0, record_a, NULL);
    check_at(1003);
    check_at(1010);
    EXPECT_EQ(runs, (std::vector<std::string>{"a"}));
    EXPECT_EQ(due_of(id), -1);
    EXPECT_EQ(list->head, nullptr);
}

TEST_F(Timers, RemoveTakesOutOnlyAKnownTimer) {
    int a = timers_add(list, 1, TIMER_REPEAT, record_a, NULL);
    int b = timers_add(list, 1, TIMER_REPEAT, record_b, NULL);
    EXPECT_EQ(timers_remove(list, 99), 0);
    EXPECT_EQ(timers_remove(list, a), 1);
    EXPECT_EQ(timers_remove(list, a), 0);
    check_at(1001);
    EXPECT_EQ(runs, (std::vector<std::string>{"b"}));
    EXPECT_NE(due_of(b), -1);
}

// A job on its own thread that blocks until the test lets it go, like a
// synchronisation with a master that does not answer.
struct SlowJob {
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    bool release = false;
    int finished = 0;
    TIMERS* list = NULL;
    int added_id = -1;

    static void run(void* arg) {
        SlowJob* job = static_cast<SlowJob*>(arg);
        std::unique_lock<std::mutex> lock(job->mutex);
        job->started++;
        job->changed.notify_all();
        job->changed.wait(lock, [job] { return job->release; });
        job->release = false;
        job->finished++;
        job->changed.notify_all();
    }

    static void run_and_add_timer(void* arg) {
        SlowJob* job = static_cast<SlowJob*>(arg);
        // Runs without the list's lock: may add timers to its own list.
        job->added_id = timers_add(job->list, 100, 0, record_c, NULL);
        run(arg);
    }

    template <class Predicate> bool wait_until(Predicate done) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), done);
    }

    void let_go() {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
    }
};

TEST_F(Timers, SlowOwnThreadJobDoesNotHoldUpOneSecondJobs) {
    SlowJob slow;
    slow.list = list;
    timers_add(list, 1, TIMER_REPEAT, record_a, NULL);
    int sync_id = timers_add(list, 2, TIMER_REPEAT | TIMER_OWN_THREAD, SlowJob::run_and_add_timer,
                             &slow);

    check_at(1001);
    check_at(1002); // the slow job starts and blocks
    ASSERT_TRUE(slow.wait_until([&] { return slow.started == 1; }));
    EXPECT_EQ(slow.added_id, 2);
    for (time_t t = 1003; t <= 1008; t++)
        check_at(t); // its next due times pass while it is busy: skipped
    EXPECT_EQ(runs, std::vector<std::string>(8, "a"));
    EXPECT_EQ(due_of(sync_id), 1010);

    slow.let_go();
    ASSERT_TRUE(slow.wait_until([&] { return slow.finished == 1; }));
    // Once its thread is idle again it runs at its next due time. The thread
    // may still be leaving the first run: such a check skips it too.
    for (time_t t = 1010; t < 1010 + 2 * 5000; t += 2) {
        check_at(t);
        std::unique_lock<std::mutex> lock(slow.mutex);
        if (slow.changed.wait_for(lock, std::chrono::milliseconds(2),
                                  [&] { return slow.started == 2; }))
            break;
    }
    ASSERT_TRUE(slow.wait_until([&] { return slow.started == 2; }));
    slow.let_go();
    ASSERT_TRUE(slow.wait_until([&] { return slow.finished == 2; }));
    EXPECT_EQ(slow.started, 2);

    // Removed while idle: its thread ends and it never runs again.
    EXPECT_EQ(timers_remove(list, sync_id), 1);
    check_at(fake_now + 100);
    EXPECT_EQ(slow.started, 2);
}

TEST_F(Timers, OwnThreadOneShotStillRunsAfterItsTimerIsFreed) {
    SlowJob job;
    job.let_go(); // does not block
    int id = timers_add(list, 1, TIMER_OWN_THREAD, SlowJob::run, &job);
    check_at(1001);
    EXPECT_EQ(due_of(id), -1);
    ASSERT_TRUE(job.wait_until([&] { return job.finished == 1; }));
}

} // namespace
