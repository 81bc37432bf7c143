// The journal of each store: appending a line per state change, rewriting
// the whole journal, and reading it back into the object table.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "cache/cache.h"
#include "cache/journal.h"
#include "cache/store.h"
#include "core/compat.h"
#include "core/log.h"
#include "core/mem.h"

namespace {

// Bytes the rewrite collects before each write.
const size_t REWRITE_BUFFER = 256 * 1024;

void journal_path(const Store* store, const char* name, char* path, size_t size) {
    snprintf(path, size, "%s/%s", store->path->c_str(), name);
}

// Writes the whole range to the descriptor; false (errno set) on a failed
// or short write.
bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written == -1 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The rewritten journal, collected in a buffer and written in large pieces;
// the first failure is kept and everything after it is dropped.
class JournalFile {
public:
    JournalFile(int fd, const char* path) : fd_(fd), path_(path), buffer_(new char[REWRITE_BUFFER]) {}

    void line(const JournalLine& line) {
        if (failed_)
            return;
        if (REWRITE_BUFFER - used_ < JOURNAL_LINE_MAX && !flush())
            return;
        size_t length = journal_format(line, buffer_.get() + used_, JOURNAL_LINE_MAX - 1);
        if (length == 0)
            return; // no key of a store is this long
        used_ += length;
        buffer_[used_++] = '\n';
    }
    bool flush() {
        if (failed_ || used_ == 0)
            return !failed_;
        if (!write_all(fd_, buffer_.get(), used_)) {
            int error = errno;
            putlog(LOG_ERROR, "[system: write:%d:%s], cache: [%s], failed to write to [%d] %s", error,
                   strerror(error), "journal_write", fd_, path_);
            failed_ = true;
        }
        used_ = 0;
        return !failed_;
    }
    bool failed() const { return failed_; }

private:
    int fd_;
    const char* path_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
    bool failed_ = false;
};

// Syncs the directory, so that a rename in it survives a crash of the system.
void sync_directory(const char* directory) {
    int fd = s_open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd == -1 || fsync(fd) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: fsync:%d:%s], in %s, unable to sync directory %s", error,
               strerror(error), "journal_write", directory);
    }
    if (fd != -1)
        close(fd);
}

} // namespace

void CacheSection::journal_close(Store* store) {
    if (store->journal_fd == -1)
        return;
    fsync(store->journal_fd);
    close(store->journal_fd);
    store->journal_fd = -1;
}

int CacheSection::journal_add(CACHEMAP* object) {
    Store* store = object->store;
    if (store == nullptr || !store->has_directory())
        return 1;
    char path[1024];
    journal_path(store, "journal", path, sizeof path);
    if (store->journal_fd == -1) {
        store->journal_fd = s_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        store->journal_lines = 0;
        if (store->journal_fd == -1) {
            int error = errno;
            putlog(LOG_ERROR, "[system: open:%d:%s], in %s, unable to open file %s", error,
                   strerror(error), "journal_add", path);
            return -1;
        }
        putlog(LOG_CACHE, "opened new %s", path);
    }
    // An appended line starts with its line end, so that a line torn by a
    // crash stays a line of its own, which the reader skips.
    char line[JOURNAL_LINE_MAX];
    line[0] = '\n';
    size_t length = journal_format(journal_line_of(object), line + 1, sizeof line - 1);
    if (length > 0 && !write_all(store->journal_fd, line, length + 1)) {
        int error = errno;
        putlog(LOG_ERROR, "[system: write:%d:%s], cache: [%s], failed to write to [%d] %s", error,
               strerror(error), "journal_add", store->journal_fd, path);
    }
    store->journal_lines++;
    unsigned threshold = *journal_threshold != 0 ? *journal_threshold : JOURNAL_DEFAULT_THRESHOLD;
    if (store->journal_lines >= threshold)
        journal_write(store);
    return 1;
}

void CacheSection::journal_write(Store* store) {
    time_t now = clock(nullptr);
    if (store->last_rewrite != 0 && now < store->last_rewrite + JOURNAL_REWRITE_GAP)
        return;
    // A rewrite that fails waits its turn like one that succeeds, instead
    // of walking the table again at every appended line.
    store->last_rewrite = now;
    char path[1024];
    char fresh[1024];
    journal_path(store, "journal", path, sizeof path);
    journal_path(store, "journal.new", fresh, sizeof fresh);
    int fd = s_open(fresh, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) {
        putlog(LOG_ERROR, "cache: failed to open new journal: %s", fresh);
        return;
    }
    putlog(LOG_CACHE, "writing new journal for %s", store->path->c_str());

    JournalFile out(fd, fresh);
    // Files whose deletion is pending come first, as dead objects, so that
    // a restart deletes them even though their objects are gone from the
    // table; a later line of a live object of the same key supersedes them.
    pthread_mutex_lock(&unlink_mutex);
    for (const UnlinkEntry& entry : unlink_queue) {
        if (entry.key.empty() || !store_holds_path(store, entry.path.c_str()))
            continue;
        JournalLine line = {};
        line.flags = CACHE_INVALID | CACHE_DISK;
        line.key = entry.key.c_str();
        out.line(line);
    }
    pthread_mutex_unlock(&unlink_mutex);
    for (unsigned chain = 0; chain < table_size; chain++)
        for (CACHEMAP* object = table[chain]; object != nullptr; object = object->chain_next)
            if (object->store == store)
                out.line(journal_line_of(object));

    bool written = out.flush();
    if (written && fsync(fd) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: fsync:%d:%s], in %s, unable to write in journal", error,
               strerror(error), "journal_write");
        written = false;
    }
    if (close(fd) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: close:%d:%s], in %s, unable to close the file pointer", error,
               strerror(error), "journal_write");
        written = false;
    }
    if (!written) {
        unlink(fresh);
        putlog(LOG_ERROR, "cache: journal of %s not rewritten, the old one stays in use",
               store->path->c_str());
        return;
    }
    if (rename(fresh, path) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: rename:%d:%s], in %s, unable to change the name of file", error,
               strerror(error), "journal_write");
        unlink(fresh);
        return;
    }
    sync_directory(store->path->c_str());
    // Every line of the old journal is in the new one: its appends end here.
    if (store->journal_fd != -1) {
        close(store->journal_fd);
        store->journal_fd = -1;
    }
    store->journal_lines = 0;
}

// Takes the journal line for an object of the table: the object gets the
// line's state and this store.
void CacheSection::journal_apply(Store* store, CACHEMAP* object, const JournalLine& line) {
    object->size = line.size;
    // The mapping and its condition are this process's, not the journal's.
    const unsigned live_bits = CACHE_MEM | CACHE_CONDVAR;
    object->flags = (line.flags & ~live_bits) | (object->flags & live_bits);
    object->atime = static_cast<time_t>(line.atime);
    object->mtime = static_cast<time_t>(line.mtime);
    if (line.has_freshness) {
        object->minage = static_cast<int>(line.minage > INT32_MAX ? INT32_MAX : line.minage);
        object->maxage = static_cast<int>(line.maxage > INT32_MAX ? INT32_MAX : line.maxage);
        object->maxnoexp = static_cast<int>(line.maxnoexp > INT32_MAX ? INT32_MAX : line.maxnoexp);
        object->lmfactor = line.lmfactor;
    } else {
        select_refresh(nullptr, object);
    }
    if (line.md5 != nullptr) {
        strncpy(object->md5, line.md5, sizeof object->md5 - 1);
        object->md5[sizeof object->md5 - 1] = '\0';
    }
    object->store = store;
}

// One line read from the store's journal.
void CacheSection::journal_take(Store* store, const JournalLine& line) {
    unsigned chain = cache_chain(line.key);
    CACHEMAP* object = find_object_unlocked(chain, line.key);
    if (object != nullptr) {
        if (object->refcount > 0)
            return;
        if (object->store != store) {
            // Of two stores, the newer copy wins. A copy kept in memory only
            // gives way to the store's: nobody holds it, and the store's
            // file would otherwise be nobody's.
            if (object->store != nullptr && object->mtime > static_cast<time_t>(line.mtime))
                return;
            store_forget(object);
        }
    } else {
        object = cachemap_new(false);
        char* key = object != nullptr ? xstrdup(line.key) : nullptr;
        if (key == nullptr) {
            free(object); // no memory for it: the object is not restored
            return;
        }
        object->key = key;
        table_append(chain, object);
    }
    journal_apply(store, object, line);
}

void CacheSection::journal_read(Store* store) {
    char path[1024];
    journal_path(store, "journal", path, sizeof path);
    FILE* file = s_fopen(path, "re");
    if (file == nullptr) {
        journal_path(store, "journal.new", path, sizeof path);
        file = s_fopen(path, "re");
    }
    if (file == nullptr) {
        putlog(LOG_WARNING, "cache:  store: %s journal missing, all cached objects have been lost",
               store->path->c_str());
        return;
    }
    putlog(LOG_CACHE, "reading journal: %s", path);
    setvbuf(file, nullptr, _IOFBF, REWRITE_BUFFER);
    std::unique_ptr<char[]> text(new char[JOURNAL_LINE_MAX]);
    while (fgets(text.get(), JOURNAL_LINE_MAX, file) != nullptr) {
        if (strchr(text.get(), '\n') == nullptr && !feof(file)) {
            // A line longer than any this cache writes: damage, skipped whole.
            int c;
            while ((c = getc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        JournalLine line;
        if (journal_parse(text.get(), &line))
            journal_take(store, line);
    }
    fclose(file);

    // The last line of each key decided its object's state: finished
    // objects on disk stay; unfinished, invalid and temporary ones go, with
    // their files.
    const unsigned kept_mask = CACHE_WRITING | CACHE_INVALID | CACHE_DISK | CACHE_DISCARD;
    for (unsigned chain = 0; chain < table_size; chain++) {
        CACHEMAP* next;
        for (CACHEMAP* object = table[chain]; object != nullptr; object = next) {
            next = object->chain_next;
            if (object->store != store || object->refcount != 0)
                continue;
            object->flags &= ~(CACHE_EXPIRED | CACHE_VALIDATE | CACHE_PREFETCHED | CACHE_VIOLATION |
                               CACHE_BUFFERWAIT);
            if (object->flags & CACHE_DISK) {
                store->entries++;
                store->bytes += object->size;
            }
            if ((object->flags & kept_mask) == CACHE_DISK)
                continue;
            putlog(LOG_DEBUG, "cache: object %s final state was invalid: %u", object->key,
                   object->flags);
            // Unmapped, its file queued for deletion and its counts taken
            // back, freed.
            release_unlocked(object);
        }
    }
}
