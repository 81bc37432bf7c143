// The thread table and the workers: creation limits and failures, the
// keep-alive wait, serving, idling, ending, the hand-over at the moment a
// worker times out, and the resource usage an ending worker adds.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <fstream>
#include <string>

#include "core/threads.h"
#include "net/workers.h"
#include "support/upstream_test_support.h"

namespace {

class ThreadsTest : public nettest::UpstreamFixture {
protected:
    // Interface requests, which the fixture's access rules refuse: a 403
    // page, whole and of known length, shows the request was served.
    static constexpr const char* REQUEST_10 = "GET http://kestrivan/ HTTP/1.0\r\n\r\n";
    static constexpr const char* REQUEST_11 = "GET http://kestrivan/ HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";

    // The slot of the one idle worker, or -1.
    int idle_slot() {
        pthread_mutex_lock(&threadlistlock);
        int found = -1;
        for (int i = 0; i < MAXTHREADS; i++)
            if (threads[i].state == THREAD_IDLE)
                found = i;
        pthread_mutex_unlock(&threadlistlock);
        return found;
    }
};

void* sleep_briefly(void*) {
    usleep(200000);
    return nullptr;
}

} // namespace

TEST(KeepaliveWait, ShrinksAsSlotsFillUp) {
    const struct {
        int slot, threads, pool_timeout, overload;
        unsigned seconds;
    } cases[] = {
        {1, 16384, 10, 1, 9},    // (16383 * 10) / 16385
        {8192, 16384, 10, 1, 3}, // (8192 * 10) / (16384 + 8192)
        {5, 16384, 1, 1, 0},     // the defaults: no wait at all
        {8192, 16384, 10, 0, 3}, // a factor below 1 counts as 1
        {4096, 16384, 10, 2, 5}, // (12288 * 10) / (16384 + 8192)
        {100, 100, 10, 1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(keepalive_wait(c.slot, c.threads, c.pool_timeout, c.overload), c.seconds)
            << c.slot << " " << c.overload;
}

// When the wait in seconds is 0, a worker still watches its connection for
// a moment that shrinks by the same rule, over KEEPALIVE_LINGER_MAX_US.
TEST(KeepaliveWait, LingerShrinksBySlotsAndOverload) {
    const struct {
        int slot, threads, overload;
        unsigned micros;
    } cases[] = {
        {1, 16384, 1, 19997},    // (16383 * 20000) / 16385
        {8192, 16384, 1, 6666},  // (8192 * 20000) / (16384 + 8192)
        {8192, 16384, 0, 6666},  // a factor below 1 counts as 1
        {4096, 16384, 2, 10000}, // (12288 * 20000) / (16384 + 8192)
        {40, 1000, 1, 18461},    // a table of -t 1000, as the bench runs
        {1000, 1000, 1, 0},      // the last slot hands over at once
    };
    for (const auto& c : cases)
        EXPECT_EQ(keepalive_linger_us(c.slot, c.threads, c.overload), c.micros)
            << c.slot << " " << c.overload;
}

TEST_F(ThreadsTest, FullTableRefusesThreads) {
    MAXTHREADS = 1; // only the main thread's slot
    // A refused worker is told, but a flood of them only once a second.
    EXPECT_EQ(thread_create(sleep_briefly, nullptr), -1);
    EXPECT_EQ(thread_create(sleep_briefly, nullptr), -1);
    EXPECT_NE(log().find("error: no thread could be started: all 1 thread slots are in use "
                         "(option -t); 1 connection(s) refused since the last report\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(log().find("thread slots are in use", log().find("in use") + 1),
              std::string::npos)
        << log();
    EXPECT_EQ(thread_create_internal(sleep_briefly, nullptr), -1);
    EXPECT_NE(log().find("advice: error: increase MAXTHREADS: 1 maybe inadequate"),
              std::string::npos);
}

TEST_F(ThreadsTest, FinishedThreadGivesItsSlotBack) {
    int slot = thread_create_internal(sleep_briefly, nullptr);
    ASSERT_GT(slot, 0);
    EXPECT_EQ(threads[slot].state, THREAD_STARTING);
    EXPECT_TRUE(nettest::wait_until([&] { return slots_in(THREAD_FREE) == MAXTHREADS - 1; }));
}

// A thread that cannot be started leaves its slot free: the address space
// is limited so that no stack can be mapped. The child runs in a fresh
// process, where no stack of an earlier thread is cached for reuse.
TEST_F(ThreadsTest, FailedStartLeavesTheSlotFree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::ifstream statm("/proc/self/statm");
            unsigned long pages = 0;
            statm >> pages;
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = pages * sysconf(_SC_PAGESIZE) + (4 << 20);
            setrlimit(RLIMIT_AS, &limit);
            max_opt_stack = 64 << 20;
            int free_before = slots_in(THREAD_FREE);
            bool failed = thread_create(sleep_briefly, nullptr) == -1 &&
                          thread_create_internal(sleep_briefly, nullptr) == -1;
            bool slots_free = slots_in(THREAD_FREE) == free_before;
            std::string text = log();
            bool logged =
                text.find("[system: pthread_create:11:Resource temporarily unavailable], in "
                          "thread_create, failed to create thread") != std::string::npos &&
                text.find("in thread_create_internal, failed to create thread") !=
                    std::string::npos;
            _exit(failed && slots_free && logged ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadsTest, WorkerServesClosesIdlesAndEnds) {
    nettest::Pair pair;
    CONNECTION_T* connection = nettest::connection_on(pair, 41);
    int slot = process_new(connection);
    ASSERT_GT(slot, 0);
    nettest::send_all(pair.peer, REQUEST_10);
    std::string answer = nettest::read_until_close(pair.peer, 10);
    EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Proxy-Connection: close\r\n"), std::string::npos);
    // HTTP/1.0 without keep-alive: closed after the answer, the worker idles
    // and ends when THREAD_TIMEOUT passes without work.
    EXPECT_TRUE(nettest::wait_until([&] { return slots_in(THREAD_IDLE) == 1; }));
    EXPECT_TRUE(nettest::wait_until([&] { return slots_in(THREAD_FREE) == MAXTHREADS - 1; }));
    std::string text = log();
    EXPECT_NE(text.find("[41] network: fd: "), std::string::npos);
    EXPECT_NE(text.find("[41] network: 10.0.0.9 disconnected after making 1 requests"),
              std::string::npos);
    EXPECT_EQ(performance_log->requests_completed.load(), 1u);
}

TEST_F(ThreadsTest, IdleWorkerIsReusedBeforeANewThread) {
    THREAD_TIMEOUT = 5;
    nettest::Pair first;
    int slot = process_new(nettest::connection_on(first, 1));
    ASSERT_GT(slot, 0);
    nettest::send_all(first.peer, REQUEST_10);
    nettest::read_until_close(first.peer, 10);
    ASSERT_TRUE(nettest::wait_until([&] { return idle_slot() == slot; }));

    nettest::Pair second;
    EXPECT_EQ(process_new(nettest::connection_on(second, 2)), slot);
    nettest::send_all(second.peer, REQUEST_10);
    EXPECT_EQ(nettest::read_until_close(second.peer, 10).rfind("HTTP/1.1 403", 0), 0u);
}

// A connection handed over while the worker's wait is timing out must be
// served: the client pool already let go of it. The test holds the table's
// lock across the worker's deadline and hands the connection over then.
TEST_F(ThreadsTest, ConnectionHandedAtTheTimeOutIsServed) {
    THREAD_TIMEOUT = 1;
    nettest::Pair first;
    ASSERT_GT(process_new(nettest::connection_on(first, 1)), 0);
    nettest::send_all(first.peer, REQUEST_10);
    nettest::read_until_close(first.peer, 10);
    int slot = -1;
    ASSERT_TRUE(nettest::wait_until([&] { return (slot = idle_slot()) > 0; }));

    nettest::Pair second;
    CONNECTION_T* late = nettest::connection_on(second, 2);
    pthread_mutex_lock(&threadlistlock);
    ASSERT_EQ(threads[slot].state, THREAD_IDLE); // waiting on its condition
    usleep(1500000);                             // its deadline passes meanwhile
    late->thread_slot = slot;
    threads[slot].conn = late;
    threads[slot].state = THREAD_STARTING;
    pthread_cond_signal(&threads[slot].cond);
    pthread_mutex_unlock(&threadlistlock);

    nettest::send_all(second.peer, REQUEST_10);
    std::string answer = nettest::read_until_close(second.peer, 10);
    EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden", 0), 0u) << answer;
    EXPECT_NE(log().find("[2] network: 10.0.0.9 disconnected after making 1 requests"),
              std::string::npos);
}

TEST_F(ThreadsTest, KeptAliveConnectionGoesToThePool) {
    nettest::Pair pair;
    ASSERT_GT(process_new(nettest::connection_on(pair, 5)), 0);
    nettest::send_all(pair.peer, REQUEST_11);
    std::string answer = nettest::read_until(pair.peer, "</html>\n", 10);
    EXPECT_NE(answer.find("Proxy-Connection: keep-alive\r\n"), std::string::npos);
    ClientPool* pool = global->clientpool;
    EXPECT_TRUE(nettest::wait_until([&] {
        pthread_mutex_lock(&pool->pending_mutex);
        bool queued = pool->pending.size() == 1;
        pthread_mutex_unlock(&pool->pending_mutex);
        return queued;
    }));
    EXPECT_EQ(pool->pending.front()->conn->requests, 1);
}

// Requests that are already waiting are served without the client pool.
TEST_F(ThreadsTest, PipelinedRequestsStayWithTheWorker) {
    nettest::Pair pair;
    ASSERT_GT(process_new(nettest::connection_on(pair, 6)), 0);
    nettest::send_all(pair.peer, std::string(REQUEST_11) + REQUEST_11 +
                                     "HEAD http://kestrivan/ HTTP/1.1\r\nConnection: close\r\n\r\n");
    std::string answers = nettest::read_until_close(pair.peer, 10);
    EXPECT_EQ(nettest::count_in(answers, "HTTP/1.1 403 Forbidden\r\n"), 3);
    EXPECT_EQ(nettest::count_in(answers, "</html>"), 2); // no body for HEAD
    EXPECT_NE(answers.find("Connection: close\r\n\r\n"), std::string::npos);
    EXPECT_TRUE(global->clientpool->pending.empty());
    EXPECT_TRUE(nettest::wait_until([&] {
        return log().find("[6] network: 10.0.0.9 disconnected after making 3 requests") !=
               std::string::npos;
    }));
}

TEST_F(ThreadsTest, ClientThatSendsNothingIsClosedUncounted) {
    nettest::Pair pair;
    ASSERT_GT(process_new(nettest::connection_on(pair, 8)), 0);
    pair.close_peer();
    EXPECT_TRUE(nettest::wait_until([&] {
        return log().find("[8] network: 10.0.0.9 disconnected after making 0 requests") !=
               std::string::npos;
    }));
    EXPECT_NE(log().find("[8] warning: request: timeout waiting for header from 10.0.0.9"),
              std::string::npos);
}

// An ending worker adds its own usage, not the whole process's.
TEST_F(ThreadsTest, RusageUpdateAddsTheThreadsOwnUsage) {
    struct timespec begin, now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
    volatile unsigned long sink = 0;
    do {
        for (int i = 0; i < 1000000; i++)
            sink = sink + static_cast<unsigned long>(i);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while (now.tv_sec - begin.tv_sec < 1 &&
             (now.tv_sec - begin.tv_sec) * 1000 + (now.tv_nsec - begin.tv_nsec) / 1000000 < 400);

    pthread_t other;
    pthread_create(&other, nullptr, [](void*) -> void* {
        rusage_update();
        return nullptr;
    }, nullptr);
    pthread_join(other, nullptr);
    long added_ms = global->utime.sec * 1000L + global->utime.usec / 1000 +
                    global->stime.sec * 1000L + global->stime.usec / 1000;
    EXPECT_LT(added_ms, 200); // the 400 ms burnt here are not the new thread's
    rusage_update();          // this thread's own: the burnt time shows
    long with_main_ms = global->utime.sec * 1000L + global->utime.usec / 1000 +
                        global->stime.sec * 1000L + global->stime.usec / 1000;
    EXPECT_GE(with_main_ms, 350);
    EXPECT_LT(global->utime.usec, 1000000);
}
