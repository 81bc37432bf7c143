// The performance log: its legend, the record, the file and the writer
// thread (see performance.h).
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "core/compat.h"
#include "core/daemon.h"
#include "core/log.h"
#include "core/threads.h"
#include "iface/performance.h"

int performance_log_write_invl = 2;
int plogfd = -1;

const char performance_legend[] =
    "Time Stamp (YYYYMMDDhhmmss) , Elapsed Time , Client Connections Handled , Client "
    "Connections Closed , Client Transactions Handled , Client Connections in Pool , Spare "
    "Client Threads , Client Threads in Use , Client Threads in Waiting , Threads Starting up , "
    "Threads Reserved for Prefetching , Threading Errors , Outbound Connections created , "
    "Outbound Connections Failed , Outbound Connection Pool Reused , Outbound Connections in "
    "Pool , Bytes in (KBytes) , Bytes Out (KBytes) , Caching Objects Created in Memory , "
    "Caching Objects Removed from Memory , DNS Queries Reused , New DNS Queries , DNS Query "
    "failures , Total System Memory (KBytes) , Free System Memory (KBytes) , Kestrivan Virtual "
    "Memory (KBytes) , Kestrivan Resident Memory (KBytes) , Kestrivan Shared Memory (KBytes) , "
    "Kestrivan Code Memory (KBytes) , Kestrivan Data Memory (KBytes) , Kestrivan Library "
    "Memory (KBytes) , Connections Handled Delta , Connections Closed Delta , Transactions "
    "Handled Delta , Client Pool Delta , Spare Threads Delta , Active Threads Delta , Threads "
    "Waiting Delta , Threads Starting up Delta , Threads Prefetching Delta , Threading Errors "
    "Delta , Outbound Connections created Delta , Outbound Connections Failed Delta , Outbound "
    "Connection Pool Reused Delta , Outbound Connections in Pool Delta , Bytes in (KBytes) "
    "Delta , Bytes Out (KBytes) Delta , Caching Objects Created in Memory Delta , Caching "
    "Objects Removed from Memory Delta , DNS Queries Reused Delta , New DNS Queries Delta , DNS "
    "Query failures Delta, load avg.(1 min), load avg.(5 min), load avg.(15 min), Running "
    "Processes, Waiting Processes, User Time, System Time, Total (user + system) Time , User "
    "Time Delta , System Time Delta , Total Time Delta\n";

namespace {

// Physical memory in KB, from `pages` pages.
uint64_t pages_kb(long pages) {
    return pages > 0 ? static_cast<uint64_t>(pages) * system_pagesize() / 1024 : 0;
}

// A fixed record buffer filled field by field, each within the space left.
class Record {
public:
    __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
        if (used_ >= sizeof text_ - 1)
            return;
        va_list arguments;
        va_start(arguments, format);
        int n = vsnprintf(text_ + used_, sizeof text_ - used_, format, arguments);
        va_end(arguments);
        if (n > 0)
            used_ += static_cast<size_t>(n) < sizeof text_ - used_ ? static_cast<size_t>(n)
                                                                    : sizeof text_ - 1 - used_;
    }
    std::string text() const { return std::string(text_, used_); }

private:
    char text_[1024] = {};
    size_t used_ = 0;
};

// A counter and its change since the previous record; the previous value
// becomes the current one.
int64_t delta(uint64_t now, uint64_t& previous) {
    int64_t change = static_cast<int64_t>(now - previous);
    previous = now;
    return change;
}

int delta(unsigned now, unsigned& previous) {
    int change = static_cast<int>(now - previous);
    previous = now;
    return change;
}

// The record is lost; the next interval opens the file again.
void write_failed() {
    putlog(LOG_ERROR, "[system: write:%d:%s], in %s, failed to write into %s", errno,
           strerror(errno), "PerformanceLog::Write", plogfile);
    close(plogfd);
    plogfd = -1;
}

} // namespace

bool PerformanceLog::read_memory_usage(statm_t* figures) {
    return statm_load(figures, system_pagesize() / 1024, false);
}

bool PerformanceLog::set_read_load_avg() {
    FILE* file = s_fopen("/proc/loadavg", "r");
    if (file == nullptr)
        return false;
    char line[1024];
    bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read)
        return false;
    float averages[3];
    unsigned now_running, all;
    if (sscanf(line, "%f %f %f %u/%u", &averages[0], &averages[1], &averages[2], &now_running,
               &all) != 5)
        return false;
    memcpy(load, averages, sizeof load);
    running = now_running;
    entities = all;
    return true;
}

bool PerformanceLog::set_my_rusage() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == -1)
        return false;
    user_time = static_cast<double>(usage.ru_utime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec) / 1000000;
    system_time = static_cast<double>(usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_stime.tv_usec) / 1000000;
    total_time = user_time + system_time;
    return true;
}

std::string PerformanceLog::Build() {
    statm_t memory = {};
    if (!read_memory_usage(&memory))
        memory = {};
    set_read_load_avg();
    set_my_rusage();
    thread_repo_t threads_now;
    thread_report(&threads_now);
    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local;
    char stamp[32] = "";
    if (localtime_r(&seconds, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);

    const uint64_t handled = get_connections_handled(), closed = get_connections_closed(),
                   completed = get_requests_completed(), in_pool = get_clients_in_pool();
    const unsigned unused = static_cast<unsigned>(threads_now.free),
                   client = static_cast<unsigned>(threads_now.serving),
                   waiting = static_cast<unsigned>(threads_now.idle),
                   special = static_cast<unsigned>(threads_now.starting),
                   prefetch = static_cast<unsigned>(threads_now.prefetching);
    const uint64_t errors = get_threading_error(), created = get_new_connection(),
                   failed = get_connection_fail(), pool_hit = get_connection_pool_hit(),
                   pool_size = get_connection_pool_size(), kb_in = get_bytes_in() / 1024,
                   kb_out = get_bytes_out() / 1024, mapped = get_cache_mmaps_created(),
                   unmapped = get_cache_mmaps_deleted(), hit = get_dns_hit(),
                   miss = get_dns_miss(), dns_failed = get_dns_fail();
    // Elapsed since start-up in every record, also the first after the
    // log was (re)opened.
    const uint64_t elapsed =
        now.tv_sec > start.tv_sec ? static_cast<uint64_t>(now.tv_sec - start.tv_sec) : 0;

    Record record;
    record.add("\n%s,%" PRIu64 ",", stamp, elapsed);
    for (uint64_t value : {handled, closed, completed, in_pool})
        record.add("%" PRIu64 ",", value);
    for (unsigned value : {unused, client, waiting, special, prefetch})
        record.add("%u,", value);
    for (uint64_t value : {errors, created, failed, pool_hit, pool_size, kb_in, kb_out, mapped,
                           unmapped, hit, miss, dns_failed})
        record.add("%" PRIu64 ",", value);
    record.add("%" PRIu64 ",%" PRIu64 ",", pages_kb(sysconf(_SC_PHYS_PAGES)),
               pages_kb(sysconf(_SC_AVPHYS_PAGES)));
    // Data memory is the sixth number of statm, library memory the fifth.
    for (uint64_t value :
         {memory.size, memory.resident, memory.share, memory.text, memory.data, memory.lib})
        record.add("%" PRIu64 ",", value);
    for (auto pair : {std::make_pair(handled, &prv.connections_handled),
                      std::make_pair(closed, &prv.connections_closed),
                      std::make_pair(completed, &prv.requests_completed),
                      std::make_pair(in_pool, &prv.clients_in_pool)})
        record.add("%" PRId64 ",", delta(pair.first, *pair.second));
    for (auto pair : {std::make_pair(unused, &prv.thread_unused),
                      std::make_pair(client, &prv.thread_client),
                      std::make_pair(waiting, &prv.thread_waiting),
                      std::make_pair(special, &prv.thread_special),
                      std::make_pair(prefetch, &prv.thread_prefetch)})
        record.add("%d,", delta(pair.first, *pair.second));
    for (auto pair : {std::make_pair(errors, &prv.threading_error),
                      std::make_pair(created, &prv.new_connection),
                      std::make_pair(failed, &prv.connection_fail),
                      std::make_pair(pool_hit, &prv.connection_pool_hit),
                      std::make_pair(pool_size, &prv.connection_pool_size),
                      std::make_pair(kb_in, &prv.bytes_in),
                      std::make_pair(kb_out, &prv.bytes_out),
                      std::make_pair(mapped, &prv.cache_mmaps_created),
                      std::make_pair(unmapped, &prv.cache_mmaps_deleted),
                      std::make_pair(hit, &prv.dns_hit), std::make_pair(miss, &prv.dns_miss),
                      std::make_pair(dns_failed, &prv.dns_fail)})
        record.add("%" PRId64 ",", delta(pair.first, *pair.second));
    prv.clients_active = get_clients_active();
    record.add("%.2f,%.2f,%.2f,%u,%u,", load[0], load[1], load[2], running, entities);
    record.add("%.6f,%.6f,%.6f,%.6f,%.6f,%.6f", user_time, system_time, total_time,
               user_time - prev_user_time, system_time - prev_system_time,
               total_time - prev_total_time);
    prev_user_time = user_time;
    prev_system_time = system_time;
    prev_total_time = total_time;
    return record.text();
}

void PerformanceLog::Write() {
    std::string record = Build();
    if (plogfile[0] == '\0')
        return;
    if (plogfd == -1) {
        int fd = s_open64(plogfile, O_RDWR | O_CREAT | O_CLOEXEC, 0640);
        if (fd == -1) {
            putlog(LOG_ERROR, "[system: s_open64:%d:%s], in %s, failed to open %s", errno,
                   strerror(errno), "PerformanceLog::Write", plogfile);
            return;
        }
        plogfd = fd;
        off_t end = lseek(plogfd, 0, SEEK_END);
        if (end == 0 && s_write_all(plogfd, performance_legend, strlen(performance_legend)) == -1) {
            write_failed();
            return;
        }
    }
    if (s_write_all(plogfd, record.data(), record.size()) == -1)
        write_failed();
}

void* performance_check(void*) {
    for (;;) {
        if (performance_log != nullptr)
            performance_log->Write();
        sleep(static_cast<unsigned>(performance_log_write_invl));
    }
    return nullptr;
}
