// Deleting store files: the unlink queue, the thread that works it off one
// file at a time, and the shutdown step that empties it and rewrites the
// journals.
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "cache/cache.h"
#include "cache/store.h"
#include "core/log.h"

namespace {

// Pause after each deletion: deleting files is slow for the disk, and the
// cache's own I/O comes first.
const useconds_t UNLINK_PAUSE_US = 10000;
// Seconds graceful_exit waits for each of the two locks.
const int GRACEFUL_EXIT_WAIT = 3;

struct timespec monotonic_in(int seconds) {
    struct timespec when;
    clock_gettime(CLOCK_MONOTONIC, &when);
    when.tv_sec += seconds;
    return when;
}

} // namespace

void CacheSection::unlink_list_add(const char* path, const char* key) {
    pthread_mutex_lock(&unlink_mutex);
    unlink_count++;
    unlink_queue.push_back(UnlinkEntry{path, key != nullptr ? key : ""});
    pthread_cond_signal(&unlink_cond);
    pthread_mutex_unlock(&unlink_mutex);
}

void CacheSection::unlink_list_zap(const char* path) {
    pthread_mutex_lock(&unlink_mutex);
    for (auto entry = unlink_queue.begin(); entry != unlink_queue.end(); ++entry) {
        if (entry->path == path) {
            unlink_queue.erase(entry);
            if (unlink_count > 0)
                unlink_count--;
            break;
        }
    }
    pthread_mutex_unlock(&unlink_mutex);
}

bool CacheSection::unlink_one(bool wait) {
    pthread_mutex_lock(&unlink_mutex);
    while (unlink_queue.empty()) {
        if (!wait) {
            pthread_mutex_unlock(&unlink_mutex);
            return false;
        }
        pthread_cond_wait(&unlink_cond, &unlink_mutex);
    }
    // Deleted under the queue's mutex: a new object of the same key that
    // withdraws the path waits for this deletion instead of racing it.
    std::string path = std::move(unlink_queue.front().path);
    // A file already gone is what was wanted.
    bool failed = unlink(path.c_str()) == -1 && errno != ENOENT;
    unlink_queue.pop_front();
    int count = unlink_count;
    if (unlink_count > 0)
        unlink_count--;
    pthread_mutex_unlock(&unlink_mutex);
    if (failed)
        putlog(LOG_ERROR, "cache: failed to delete file (1 of %d) %s", count, path.c_str());
    return true;
}

void CacheSection::unlink_thread() {
    for (;;) {
        unlink_one(true);
        usleep(UNLINK_PAUSE_US);
    }
}

void* unlink_thread(void*) {
    if (cache_section != nullptr)
        cache_section->unlink_thread();
    return nullptr;
}

void CacheSection::graceful_exit() {
    putlog(LOG_ADVICE, "cache: starting graceful exit");
    struct timespec deadline = monotonic_in(GRACEFUL_EXIT_WAIT);
    if (pthread_mutex_clocklock(&mutex, CLOCK_MONOTONIC, &deadline) != 0) {
        putlog(LOG_ERROR, "cache: graceful exit: the cache stayed busy, the journals are left as "
                          "they are");
        return;
    }
    // The rewrite takes the queue's mutex as well: without it, nothing is
    // written.
    deadline = monotonic_in(GRACEFUL_EXIT_WAIT);
    if (pthread_mutex_clocklock(&unlink_mutex, CLOCK_MONOTONIC, &deadline) != 0) {
        unlock();
        putlog(LOG_ERROR, "cache: graceful exit: the unlink queue stayed busy, the journals are "
                          "left as they are");
        return;
    }
    for (const UnlinkEntry& entry : unlink_queue)
        unlink(entry.path.c_str());
    unlink_queue.clear();
    unlink_count = 0;
    pthread_mutex_unlock(&unlink_mutex);
    for (Store* store : stores) {
        if (store->journal_fd == -1 || !store->has_directory())
            continue;
        store->last_rewrite = 0;
        journal_write(store);
    }
    unlock();
    putlog(LOG_ADVICE, "cache: graceful exit done");
}
