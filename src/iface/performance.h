// The performance counters: process-wide figures that the network layer,
// the pools, the request loop and the object cache feed, and that the
// performance log's writer reads at its interval.
//
// Contract:
// - One object, `performance_log`, made by start-up right after the
//   section-definition file is read and never freed.
// - Every counter is an unsigned 64-bit value of its own. A set_ call adds
//   its amount to it, except for the two levels (clients_in_pool,
//   connection_pool_size), which take the value given. A get_ call returns
//   the current value. Any thread may call either at any time.
// - Counters live on cache lines of their own: feeders of different
//   counters never touch the same line, and no call takes a lock.
// - `start` is the time of construction (time of day), the base of the
//   log's elapsed-time column.
#pragma once

#include <stdint.h>
#include <sys/time.h>

#include <atomic>

// One counter. Relaxed ordering is enough: a counter orders nothing else.
class PerformanceCounter {
public:
    void add(uint64_t amount) { value_.fetch_add(amount, std::memory_order_relaxed); }
    void assign(uint64_t value) { value_.store(value, std::memory_order_relaxed); }
    uint64_t load() const { return value_.load(std::memory_order_relaxed); }

private:
    alignas(64) std::atomic<uint64_t> value_{0};
};

class PerformanceLog {
public:
    PerformanceLog();

    void set_varcounter1(uint64_t amount) { varcounter1.add(amount); }
    void set_threading_error(uint64_t amount) { threading_error.add(amount); }
    void set_connection_pool_size(uint64_t value) { connection_pool_size.assign(value); }
    void set_new_connection(uint64_t amount) { new_connection.add(amount); }
    void set_connection_fail(uint64_t amount) { connection_fail.add(amount); }
    void set_connection_pool_hit(uint64_t amount) { connection_pool_hit.add(amount); }
    void set_dns_fail(uint64_t amount) { dns_fail.add(amount); }
    void set_dns_hit(uint64_t amount) { dns_hit.add(amount); }
    void set_bytes_out(uint64_t amount) { bytes_out.add(amount); }
    void set_bytes_in(uint64_t amount) { bytes_in.add(amount); }
    void set_clients_in_pool(uint64_t value) { clients_in_pool.assign(value); }
    void set_clients_active(uint64_t amount) { clients_active.add(amount); }
    void set_requests_completed(uint64_t amount) { requests_completed.add(amount); }
    void set_connections_closed(uint64_t amount) { connections_closed.add(amount); }
    void set_connections_handled(uint64_t amount) { connections_handled.add(amount); }
    void set_cache_mmaps_created(uint64_t amount) { cache_mmaps_created.add(amount); }
    void set_cache_mmaps_deleted(uint64_t amount) { cache_mmaps_deleted.add(amount); }
    void set_dns_miss(uint64_t amount) { dns_miss.add(amount); }

    uint64_t get_varcounter1() const { return varcounter1.load(); }
    uint64_t get_threading_error() const { return threading_error.load(); }
    uint64_t get_connection_pool_size() const { return connection_pool_size.load(); }
    uint64_t get_new_connection() const { return new_connection.load(); }
    uint64_t get_connection_fail() const { return connection_fail.load(); }
    uint64_t get_connection_pool_hit() const { return connection_pool_hit.load(); }
    uint64_t get_dns_fail() const { return dns_fail.load(); }
    uint64_t get_dns_hit() const { return dns_hit.load(); }
    uint64_t get_bytes_out() const { return bytes_out.load(); }
    uint64_t get_bytes_in() const { return bytes_in.load(); }
    uint64_t get_clients_in_pool() const { return clients_in_pool.load(); }
    uint64_t get_clients_active() const { return clients_active.load(); }
    uint64_t get_requests_completed() const { return requests_completed.load(); }
    uint64_t get_connections_closed() const { return connections_closed.load(); }
    uint64_t get_connections_handled() const { return connections_handled.load(); }
    uint64_t get_cache_mmaps_created() const { return cache_mmaps_created.load(); }
    uint64_t get_cache_mmaps_deleted() const { return cache_mmaps_deleted.load(); }
    uint64_t get_dns_miss() const { return dns_miss.load(); }

    struct timeval start;
    PerformanceCounter varcounter1;         // spare; no column shows it
    PerformanceCounter threading_error;     // connections closed for want of a worker
    PerformanceCounter connection_pool_size; // level: pooled upstream connections
    PerformanceCounter new_connection;      // outbound connections established
    PerformanceCounter connection_fail;     // outbound connection attempts that failed
    PerformanceCounter connection_pool_hit; // upstream connections reused from the pool
    PerformanceCounter dns_fail;            // name resolutions that failed
    PerformanceCounter dns_hit;             // names answered from the DNS cache
    PerformanceCounter bytes_out;           // bytes written by sockets, added at close
    PerformanceCounter bytes_in;            // bytes read by sockets, added at close
    PerformanceCounter clients_in_pool;     // level: idle keep-alive client connections
    PerformanceCounter clients_active;      // nothing feeds it
    PerformanceCounter requests_completed;  // requests served
    PerformanceCounter connections_closed;  // client connections closed
    PerformanceCounter connections_handled; // client connections handed to workers
    PerformanceCounter cache_mmaps_created; // cached objects made memory-resident
    PerformanceCounter cache_mmaps_deleted; // cached objects released from memory
    PerformanceCounter dns_miss;            // names resolved and entered into the DNS cache
};

extern PerformanceLog* performance_log;

// Service thread writing the performance log at its interval.
void* performance_check(void*);
