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
//
// The performance log (performance_log.cpp): the thread performance_check
// appends one record every `performance_log_write_invl` seconds to
// `plogfile` (nothing when the path is empty). A new or empty file gets
// `performance_legend` first; each record is a newline and 63 comma-
// separated fields (the legend's titles, in order): the counters, the
// thread table, memory of the system and of the process, load averages and
// CPU times, most with their change since the previous record. A file that
// cannot be opened or written is logged ("failed to open %s", "failed to
// write into %s") and opened again at the next interval; those records are
// lost. Only the writer thread calls Build and Write and touches the
// sampled fields and the previous values.
#pragma once

#include <stdint.h>
#include <sys/time.h>

#include <atomic>
#include <string>

#include "iface/process_figures.h"

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

    // One record: a newline and the 63 fields, at most 1023 characters;
    // the previous values become the ones just read.
    std::string Build();
    // Builds a record and appends it to `plogfile` (see above).
    void Write();
    // Samplers of the record; false when the source cannot be read (the
    // previous figures stay).
    bool read_memory_usage(statm_t* figures); // /proc/self/statm in KB
    bool set_read_load_avg();                 // /proc/loadavg
    bool set_my_rusage();                     // CPU times of the process

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

    // Sampled by the writer.
    float load[3] = {0, 0, 0}; // 1, 5 and 15 minute load averages
    unsigned running = 0;      // runnable scheduling entities
    unsigned entities = 0;     // all scheduling entities
    double user_time = 0;      // CPU seconds in user mode
    double system_time = 0;
    double total_time = 0;
    double prev_user_time = 0;
    double prev_system_time = 0;
    double prev_total_time = 0;

    // The counters as the previous record read them (bytes in KB), and its
    // thread figures; 0 before the first record.
    struct Previous {
        uint64_t connections_handled, connections_closed, requests_completed, clients_in_pool,
            clients_active, threading_error, new_connection, connection_fail,
            connection_pool_hit, connection_pool_size, bytes_in, bytes_out, cache_mmaps_created,
            cache_mmaps_deleted, dns_hit, dns_miss, dns_fail;
        unsigned thread_unused, thread_client, thread_waiting, thread_special, thread_prefetch;
    } prv = {};
};

extern PerformanceLog* performance_log;

// Seconds between two records (2).
extern int performance_log_write_invl;
// Descriptor of the open log; -1 while closed. The writer's alone.
extern int plogfd;
// The legend line: the 63 column titles, comma-separated, and a newline.
extern const char performance_legend[];

// Service thread: Write on performance_log, then sleep the interval, for
// ever.
void* performance_check(void*);
