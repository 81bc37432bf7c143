// The performance counters: every setter feeds its own counter, read back
// by its getter; the two levels are replaced, the others add up, in 64 bits.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <thread>
#include <vector>

#include "iface/performance.h"

namespace {

TEST(PerformanceCounters, SettersFeedTheirOwnGetters) {
    struct timeval before;
    gettimeofday(&before, nullptr);
    PerformanceLog log;
    EXPECT_GE(log.start.tv_sec, before.tv_sec);

    using Set = void (PerformanceLog::*)(uint64_t);
    using Get = uint64_t (PerformanceLog::*)() const;
    struct Counter {
        Set set;
        Get get;
        bool level;
    } counters[] = {
        {&PerformanceLog::set_varcounter1, &PerformanceLog::get_varcounter1, false},
        {&PerformanceLog::set_threading_error, &PerformanceLog::get_threading_error, false},
        {&PerformanceLog::set_connection_pool_size, &PerformanceLog::get_connection_pool_size, true},
        {&PerformanceLog::set_new_connection, &PerformanceLog::get_new_connection, false},
        {&PerformanceLog::set_connection_fail, &PerformanceLog::get_connection_fail, false},
        {&PerformanceLog::set_connection_pool_hit, &PerformanceLog::get_connection_pool_hit, false},
        {&PerformanceLog::set_dns_fail, &PerformanceLog::get_dns_fail, false},
        {&PerformanceLog::set_dns_hit, &PerformanceLog::get_dns_hit, false},
        {&PerformanceLog::set_bytes_out, &PerformanceLog::get_bytes_out, false},
        {&PerformanceLog::set_bytes_in, &PerformanceLog::get_bytes_in, false},
        {&PerformanceLog::set_clients_in_pool, &PerformanceLog::get_clients_in_pool, true},
        {&PerformanceLog::set_clients_active, &PerformanceLog::get_clients_active, false},
        {&PerformanceLog::set_requests_completed, &PerformanceLog::get_requests_completed, false},
        {&PerformanceLog::set_connections_closed, &PerformanceLog::get_connections_closed, false},
        {&PerformanceLog::set_connections_handled, &PerformanceLog::get_connections_handled, false},
        {&PerformanceLog::set_cache_mmaps_created, &PerformanceLog::get_cache_mmaps_created, false},
        {&PerformanceLog::set_cache_mmaps_deleted, &PerformanceLog::get_cache_mmaps_deleted, false},
        {&PerformanceLog::set_dns_miss, &PerformanceLog::get_dns_miss, false},
    };
    const uint64_t big = 5000000000ull; // beyond 32 bits
    for (size_t i = 0; i < sizeof counters / sizeof counters[0]; i++) {
        SCOPED_TRACE(i);
        const Counter& c = counters[i];
        EXPECT_EQ((log.*c.get)(), 0u);
        (log.*c.set)(big);
        (log.*c.set)(i + 1);
        EXPECT_EQ((log.*c.get)(), c.level ? i + 1 : big + i + 1);
        // Every other counter is untouched.
        for (size_t j = i + 1; j < sizeof counters / sizeof counters[0]; j++)
            EXPECT_EQ((log.*counters[j].get)(), 0u);
    }
}

TEST(PerformanceCounters, ConcurrentFeedersLoseNothing) {
    PerformanceLog log;
    std::vector<std::thread> feeders;
    for (int t = 0; t < 8; t++)
        feeders.emplace_back([&log] {
            for (int i = 0; i < 100000; i++) {
                log.set_requests_completed(1);
                log.set_bytes_out(3);
            }
        });
    for (std::thread& feeder : feeders)
        feeder.join();
    EXPECT_EQ(log.get_requests_completed(), 800000u);
    EXPECT_EQ(log.get_bytes_out(), 2400000u);
}

} // namespace
