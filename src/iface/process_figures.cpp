#include "iface/process_figures.h"

#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/compat.h"
#include "core/global.h"
#include "core/log.h"
#include "core/misc_time.h"

bool statm_parse(const char* line, uint64_t unit, statm_t* figures) {
    uint64_t n[7];
    if (sscanf(line, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                     " %" SCNu64,
               &n[0], &n[1], &n[2], &n[3], &n[4], &n[5], &n[6]) != 7)
        return false;
    figures->size = n[0] * unit;
    figures->resident = n[1] * unit;
    figures->share = n[2] * unit;
    figures->text = n[3] * unit;
    figures->lib = n[4] * unit;
    figures->data = n[5] * unit;
    figures->dt = n[6] * unit;
    return true;
}

bool statm_load(statm_t* figures, uint64_t unit, bool log_failures) {
    FILE* file = s_fopen("/proc/self/statm", "r");
    if (file == nullptr) {
        if (log_failures)
            putlog(LOG_ERROR, "failed to open /proc/self/statm");
        return false;
    }
    char line[1024];
    bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read) {
        if (log_failures)
            putlog(LOG_ERROR, "failed to read from /proc/self/statm");
        return false;
    }
    return statm_parse(line, unit, figures);
}

uint64_t system_pagesize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

namespace {

// A CPU-time total of GLOBAL, copied under its mutex and formatted after.
char* global_time_text(bool user) {
    struct timeval copy = {0, 0};
    if (global != nullptr) {
        pthread_mutex_lock(&global->mutex);
        const auto& total = user ? global->utime : global->stime;
        copy.tv_sec = total.sec;
        copy.tv_usec = total.usec;
        pthread_mutex_unlock(&global->mutex);
    }
    return timeval_to_string(&copy);
}

uint64_t global_faults(bool major) {
    if (global == nullptr)
        return 0;
    pthread_mutex_lock(&global->mutex);
    uint64_t faults = major ? global->majflt : global->minflt;
    pthread_mutex_unlock(&global->mutex);
    return faults;
}

statm_t statm_bytes() {
    statm_t figures = {};
    if (!statm_load(&figures, system_pagesize()))
        figures = {};
    return figures;
}

} // namespace

char* stat_usertime() { return global_time_text(true); }
char* stat_systime() { return global_time_text(false); }
uint64_t stat_size() { return statm_bytes().size; }
uint64_t stat_resident() { return statm_bytes().resident; }
uint64_t stat_share() { return statm_bytes().share; }
uint64_t stat_minflt() { return global_faults(false); }
uint64_t stat_majflt() { return global_faults(true); }
