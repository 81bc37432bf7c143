// The performance log: process-wide counters written as comma-separated
// records at a fixed interval.
//
// Until the log's writer exists the counters are only kept: each set_ call
// adds its amount (64-bit) to its own counter, or, for the two "replace"
// counters, stores it; any thread may call them at any time.
#pragma once

#include <stdint.h>

#include <atomic>

class PerformanceLog {
public:
    PerformanceLog();

    void set_bytes_in(uint64_t amount) { bytes_in += amount; }
    void set_bytes_out(uint64_t amount) { bytes_out += amount; }
    void set_new_connection(uint64_t amount) { new_connection += amount; }
    void set_connection_fail(uint64_t amount) { connection_fail += amount; }
    void set_connections_handled(uint64_t amount) { connections_handled += amount; }
    void set_connections_closed(uint64_t amount) { connections_closed += amount; }
    void set_requests_completed(uint64_t amount) { requests_completed += amount; }
    void set_threading_error(uint64_t amount) { threading_error += amount; }
    void set_connection_pool_hit(uint64_t amount) { connection_pool_hit += amount; }
    void set_dns_hit(uint64_t amount) { dns_hit += amount; }
    void set_dns_miss(uint64_t amount) { dns_miss += amount; }
    void set_dns_fail(uint64_t amount) { dns_fail += amount; }
    void set_clients_in_pool(uint64_t value) { clients_in_pool = value; }
    void set_connection_pool_size(uint64_t value) { connection_pool_size = value; }

    std::atomic<uint64_t> bytes_in{0}, bytes_out{0}, new_connection{0}, connection_fail{0},
        connections_handled{0}, connections_closed{0}, requests_completed{0},
        threading_error{0}, connection_pool_hit{0}, dns_hit{0}, dns_miss{0}, dns_fail{0},
        clients_in_pool{0}, connection_pool_size{0};
};

extern PerformanceLog* performance_log;

// Service thread writing the performance log at its interval.
void* performance_check(void*);
