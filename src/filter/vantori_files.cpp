// The site-category files and the site-category thread (see
// filter/vantori.h).
//
// Line format of the hint files and of the cache file: a site name (a run of
// non-blank characters, at most VANTORI_SITE_MAX), blanks, then 32 decimal
// scores joined by commas (blanks and a sign allowed before a number, none
// before a comma); text after the 32nd number is ignored. Any other line is
// skipped. The cache file is written as "\n<site>\t<scores>" per record, so
// it begins with an empty line.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/compat.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "filter/vantori.h"
#include "iface/interface.h"

namespace {

// Piece of a line read at once; a longer line is skipped.
const int LINE_SIZE = 2048;
// Piece of a feed line read at once.
const int FEED_LINE_SIZE = 4096;
// Longest wait for another writer of the cache file.
const int DUMP_LOCK_WAIT_SECONDS = 10;

const char CACHE_FILE[] = "vantori.cache";
const char HINT_SUFFIX[] = ".vantori";

// Reads "<site><blanks><32 scores>" from a line; true when all 33 items are
// there. `whole` tells whether the line ended inside the piece read: a
// piece cut short must not end inside its last number.
bool parse_record(const char* line, bool whole, char (&site)[VANTORI_SITE_MAX + 1], int* scores) {
    const char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f')
        p++;
    const char* start = p;
    while (*p != '\0' && strchr(" \t\r\n\v\f", *p) == nullptr)
        p++;
    size_t length = static_cast<size_t>(p - start);
    if (length == 0 || length > static_cast<size_t>(VANTORI_SITE_MAX))
        return false;
    memcpy(site, start, length);
    site[length] = '\0';
    for (int slot = 0; slot < CATEGORY_SCORES; slot++) {
        if (slot > 0) {
            if (*p != ',')
                return false;
            p++;
        }
        char* end;
        errno = 0;
        long value = strtol(p, &end, 10);
        if (end == p || errno == ERANGE || value > INT_MAX || value < INT_MIN)
            return false;
        scores[slot] = static_cast<int>(value);
        p = end;
    }
    return whole || *p != '\0';
}

// Inserts every record of an open file; returns the count of records read.
int read_records(VANTORI_Section* section, FILE* file, bool hint) {
    char line[LINE_SIZE];
    char site[VANTORI_SITE_MAX + 1];
    int scores[CATEGORY_SCORES];
    int records = 0;
    bool line_start = true;
    while (fgets(line, sizeof line, file) != nullptr) {
        // A line longer than the piece arrives in further pieces, which are
        // not lines of their own.
        bool starts_line = line_start;
        bool whole = strchr(line, '\n') != nullptr || feof(file);
        line_start = whole;
        if (!starts_line || !parse_record(line, whole, site, scores))
            continue;
        section->update_vantori_cache(site, scores, hint);
        records++;
    }
    return records;
}

bool is_hint_file(const char* name) {
    const char* dot = strrchr(name, '.');
    return dot != nullptr && strcmp(dot, HINT_SUFFIX) == 0;
}

bool regular_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The hint files of the directory, in name order so that the first record
// of a site is always the same one.
std::vector<std::string> hint_files(DIR* folder) {
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(folder)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
            is_hint_file(entry->d_name))
            names.push_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Writes the text to `fresh`, syncs it, renames it over `path` and syncs
// the directory; false (logged) on any failure, the old file then stays.
bool replace_file(const std::string& directory, const std::string& path, const std::string& fresh,
                  Filebuf& text) {
    int fd = s_open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) {
        putlog(LOG_ERROR, "vantori: failed to create %s", fresh.c_str());
        return false;
    }
    const char* failed = nullptr;
    int error = 0;
    if (text.size > 0 && text.Save(fd) == -1)
        failed = "write";
    else if (fsync(fd) == -1)
        failed = "fsync";
    if (failed != nullptr)
        error = errno;
    if (close(fd) == -1 && failed == nullptr) {
        failed = "close";
        error = errno;
    }
    if (failed != nullptr) {
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, failed to write %s", failed, error,
               strerror(error), "vantori_dnstofile_insert", fresh.c_str());
        unlink(fresh.c_str());
        return false;
    }
    if (rename(fresh.c_str(), path.c_str()) == -1) {
        putlog(LOG_ERROR, "vantori: failed to move %s -> %s", fresh.c_str(), path.c_str());
        unlink(fresh.c_str());
        return false;
    }
    // The rename is durable only once the directory is on disk too.
    int folder = s_open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (folder == -1 || fsync(folder) == -1)
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, failed to sync directory %s",
               folder == -1 ? "open" : "fsync", errno, strerror(errno), "vantori_dnstofile_insert",
               directory.c_str());
    if (folder != -1)
        close(folder);
    return true;
}

// One writer of the cache file at a time. The shutdown sequence waits for
// a write in progress, for a bounded time; a thread that already holds the
// lock (a fatal state inside a write) does not wait for itself.
bool dump_lock_take(pthread_mutex_t* lock) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += DUMP_LOCK_WAIT_SECONDS;
    int result = pthread_mutex_timedlock(lock, &deadline);
    if (result != 0)
        putlog(LOG_ERROR, "vantori: cache file busy, not written (%s)", strerror(result));
    return result == 0;
}

time_t monotonic_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// When the site-category thread next sweeps the cache and writes the file.
time_t next_dump = 0;

// The thread's periodic work, when it is due.
void dump_when_due() {
    time_t now = monotonic_seconds();
    if (now < next_dump)
        return;
    next_dump = now + VANTORI_DUMP_INTERVAL;
    if (!vantori_section->is_enabled())
        return;
    vantori_section->vantori_cache_expire();
    vantori_section->vantori_dnstofile_insert();
}

} // namespace

void VANTORI_Section::vantori_filetocache_insert() {
    if (!is_enabled())
        return;
    read_lock();
    std::string folder_path = *directory;
    unlock();
    if (folder_path.empty())
        return;

    DIR* folder = s_opendir(folder_path.c_str());
    if (folder == nullptr) {
        putlog(LOG_ERROR, "vantori: hints directory: %s, does not exist", folder_path.c_str());
        return;
    }
    std::vector<std::string> names = hint_files(folder);
    closedir(folder);

    for (const std::string& name : names) {
        std::string path = folder_path + "/" + name;
        if (!regular_file(path))
            continue;
        FILE* file = s_fopen(path.c_str(), "r");
        if (file == nullptr) {
            putlog(LOG_ERROR, "[system: open_1:%d:%s], in %s, failed to open private cache: %s", errno,
                   strerror(errno), "vantori_filetocache_insert", path.c_str());
            continue;
        }
        int records = read_records(this, file, true);
        fclose(file);
        putlog(LOG_ADVICE, "vantori: read from %s, records: %d", path.c_str(), records);
    }

    // Hint records come first: a site a hint file lists keeps its hint
    // scores whatever the cache file says.
    std::string path = folder_path + "/" + CACHE_FILE;
    FILE* file = s_fopen(path.c_str(), "r");
    if (file == nullptr) {
        putlog(LOG_ERROR, "[system: open_2:%d:%s], in %s, failed to open ccs cache: %s", errno,
               strerror(errno), "vantori_filetocache_insert", path.c_str());
        return;
    }
    int records = read_records(this, file, false);
    fclose(file);
    putlog(LOG_ADVICE, "vantori: read from %s, records: %d", path.c_str(), records);
}

void VANTORI_Section::vantori_dnstofile_insert() {
    if (!is_enabled())
        return;
    read_lock();
    std::string folder = *directory;
    unlock();
    // Without a directory there is no place for the file (not the root).
    if (folder.empty())
        return;
    if (!dump_lock_take(&dump_lock))
        return;

    std::string path = folder + "/" + CACHE_FILE;
    std::string fresh = path + ".new";
    if (create_recursive_directory(folder.c_str()) != 1) {
        putlog(LOG_ADVICE, "error: vantori: failed to create the hints directory");
        pthread_mutex_unlock(&dump_lock);
        return;
    }
    Filebuf text;
    int64_t changes = cache_file_text(&text);
    if (changes > 0 && replace_file(folder, path, fresh, text))
        cache_file_written(changes);
    pthread_mutex_unlock(&dump_lock);
}

void get_access_log_url() {
    FILE* feed = s_fopen(vantorifeed, "r");
    if (feed == nullptr) {
        putlog(LOG_ERROR, "[system: open_2:%d:%s], in %s, failed to open vantorifeed: %s", errno,
               strerror(errno), "get_access_log_url", vantorifeed);
        return;
    }
    char line[FEED_LINE_SIZE];
    int records = 0;
    bool line_start = true;
    while (fgets(line, sizeof line, feed) != nullptr) {
        bool starts_line = line_start;
        line_start = strchr(line, '\n') != nullptr;
        if (!starts_line)
            continue;
        line[strcspn(line, "\r\n")] = '\0';
        // The feed begins with an empty line; a name too long for a site is
        // no host; the interface host is never looked up.
        if (line[0] == '\0' || strlen(line) > static_cast<size_t>(VANTORI_SITE_MAX) ||
            strcasecmp(line, INTERFACE_HOSTNAME) == 0)
            continue;
        int scores[CATEGORY_SCORES];
        vantori_section->vantori_cache_search(line, scores);
        records++;
        // A long feed asked of a slow service must not hold up the
        // periodic work.
        dump_when_due();
    }
    fclose(feed);
    putlog(LOG_ADVICE, "vantori: read from vantorifeed:%s, records: %d", vantorifeed, records);
    if (unlink(vantorifeed) == -1)
        putlog(LOG_ERROR, "[system: unlink:%d:%s], in %s, failed to delete %s", errno, strerror(errno),
               "get_access_log_url", vantorifeed);
}

void* vantori_cachedump(void*) {
    while (vantori_section == nullptr || !vantori_section->is_enabled())
        sleep(10);
    vantori_section->vantori_filetocache_insert();
    next_dump = monotonic_seconds() + VANTORI_DUMP_INTERVAL;
    get_access_log_url();
    for (;;) {
        time_t wait = next_dump - monotonic_seconds();
        if (wait > 0)
            sleep(static_cast<unsigned>(wait));
        dump_when_due();
    }
    return nullptr;
}
