#include "core/log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>

#include "core/compat.h"
#include "core/line_combiner.h"
#include "core/mem.h"
#include "core/threads.h"

char logfile[256];
int loglevel = 0x07FFFFFF;
int daemonize = 1;
int64_t LOG_SIZE_LIMIT = 52428800;
int PROCESS_OLD_LOGS = 0;

int logfd = -1;
int64_t logsize = 0;
pthread_mutex_t logfile_lock = PTHREAD_MUTEX_INITIALIZER;

std::list<std::string> zip_list;
pthread_mutex_t ziplist_lock = PTHREAD_MUTEX_INITIALIZER;

LOGBUFFER* log_buffer = NULL;

namespace {

// The line is built in this area: at most 8190 characters, its newline and
// the terminating NUL.
constexpr size_t LINE_AREA = 8192;
constexpr size_t LINE_MAX_CHARS = LINE_AREA - 2;

// Lines logged on a thread while that thread opens the error log (the
// descriptor-shortage handling of the open logs as well). They cannot wait
// for the log to be open, so they are kept here and written right after the
// line whose open they interrupted; what does not fit is dropped from the
// file (it is still in the log buffer and on standard output).
struct PendingLines {
    size_t used;
    char text[LINE_AREA];
};

// What this thread is doing inside the log right now, so a line logged by
// the same thread in the middle (a signal handler, a fatal state, the open's
// own messages) never waits for a lock the thread itself holds.
struct ThreadLogState {
    bool inside_buffer;    // in logbuffer_add/resize/clear, lock held or allocating
    bool skip_buffer;      // buffer allocation failed: the fatal lines bypass it
    bool holds_file_lock;  // logfile_lock is ours
    PendingLines* opening; // non-NULL while this thread opens the error log
};

thread_local ThreadLogState self;

// Counts rotations (changed under logfile_lock). A thread that opened the
// log without the lock checks it to know the file it opened is still the
// current one and not a log another thread has rotated meanwhile.
std::atomic<unsigned> rotations{0};

const char* category_word(int category) {
    switch (category) {
    case LOG_ADVICE: return "advice: ";
    case LOG_REQUEST: return "request: ";
    case LOG_NETWORK: return "network: ";
    case LOG_URLFILTER: return "url filter: ";
    case LOG_HEADER: return "header: ";
    case LOG_MIMEFILTER: return "mime filter: ";
    case LOG_COOKIEFILTER: return "cookie filter: ";
    case LOG_REDIRECT: return "redirect: ";
    case LOG_TEMPLATE: return "template: ";
    case LOG_KEYWORDFILTER: return "keyword filter: ";
    case LOG_REWRITE: return "rewriting: ";
    case LOG_LIMITS: return "limits: ";
    case LOG_CACHE: return "cache: ";
    case LOG_PREFETCH: return "prefetch: ";
    case LOG_ICP: return "ICP: ";
    case LOG_FORWARD: return "forwarding: ";
    case LOG_SYNC: return "sync: ";
    case LOG_ANTIVIRUS: return "antivirus: ";
    case LOG_EXTERNAL: return "external: ";
    case LOG_ICAP: return "ICAP: ";
    case LOG_DNSBL: return "dnsbl: ";
    case LOG_URLBLACKLIST: return "URL blacklist: ";
    case LOG_URLCOMMAND: return "URL command: ";
    case LOG_MODULE: return "module: ";
    case LOG_SECURITY: return "security: ";
    case LOG_WARNING: return "warning: ";
    case LOG_ERROR: return "error: ";
    case LOG_PROFILES: return "profiles: ";
    case LOG_DEBUG: return "debug: ";
    case LOG_VERIFY: return "verify: ";
    default: return "";
    }
}

size_t format_prefix(char* line, int category) {
    // The stamp is made once a second per thread: localtime_r takes the C
    // library's time-zone lock, which every line of every worker would
    // otherwise queue for.
    static thread_local time_t stamp_second = -1;
    static thread_local char stamp[32];
    static thread_local size_t stamp_length = 0;
    time_t now = time(NULL);
    if (now != stamp_second) {
        struct tm local;
        stamp_length = localtime_r(&now, &local) != NULL
                           ? strftime(stamp, sizeof stamp, "%Y %m %d %H:%M:%S", &local)
                           : 0;
        stamp_second = now;
    }
    memcpy(line, stamp, stamp_length);
    size_t length = stamp_length;
    int added = snprintf(line + length, LINE_AREA - length, " [%u] %s", thread_get_clientid(),
                         category_word(category));
    if (added > 0)
        length += static_cast<size_t>(added);
    return length;
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// The rewriting from the first control character on. Out of line: its copy
// of the line's rest would otherwise double putlog's stack frame on every
// call, and every worker keeps the deepest stack it ever reached resident.
__attribute__((noinline)) size_t escape_controls_from(char* line, size_t first, size_t end,
                                                      size_t length) {
    static const char HEX[] = "0123456789ABCDEF";
    char rest[LINE_AREA];
    size_t rest_length = end - first;
    memcpy(rest, line + first, rest_length);
    size_t out = first;
    for (size_t i = 0; i < rest_length; i++) {
        unsigned char c = static_cast<unsigned char>(rest[i]);
        size_t needed = is_control(c) ? 4 : 1;
        if (out + needed > LINE_MAX_CHARS)
            break;
        if (is_control(c)) {
            line[out++] = '\\';
            line[out++] = 'x';
            line[out++] = HEX[c >> 4];
            line[out++] = HEX[c & 0xf];
        } else {
            line[out++] = static_cast<char>(c);
        }
    }
    if (end != length && out < LINE_MAX_CHARS)
        line[out++] = '\n';
    line[out] = '\0';
    return out;
}

// Writes each control character of the message line[from, length) as \xHH
// (a final line feed stays as it is), as the access logs do: a user name,
// host or URL taken from a request or a server cannot forge a line of its
// own. The line is cut at LINE_MAX_CHARS; returns its new length.
size_t escape_controls(char* line, size_t from, size_t length) {
    size_t end = length > from && line[length - 1] == '\n' ? length - 1 : length;
    size_t first = from;
    while (first < end && !is_control(static_cast<unsigned char>(line[first])))
        first++;
    if (first == end)
        return length;
    return escape_controls_from(line, first, end, length);
}

void lock_logfile() {
    pthread_mutex_lock(&logfile_lock);
    self.holds_file_lock = true;
}

// The error log rotated under logfile_lock and not yet closed; its
// descriptor is synced and closed by the thread that releases the lock,
// after releasing it.
RetiredLog retired_error_log = {-1, false};

void unlock_logfile() {
    RetiredLog retired = retired_error_log;
    retired_error_log.fd = -1;
    self.holds_file_lock = false;
    pthread_mutex_unlock(&logfile_lock);
    close_retired_log(retired);
}

void write_counted(const char* text, size_t length) {
    ssize_t written;
    do
        written = write(logfd, text, length);
    while (written == -1 && errno == EINTR);
    if (written > 0)
        logsize += written;
}

// Caller holds logfile_lock and the log is open. The full file is synced
// and closed by unlock_logfile, after the lock is released.
void rotate_locked() {
    int fd = logfd;
    __atomic_store_n(&logfd, -1, __ATOMIC_RELEASE);
    // One rotation per holding of the lock; should a second come first, the
    // earlier file is finished here.
    close_retired_log(retired_error_log);
    retired_error_log = retire_full_log(fd, logfile);
    // Counted only once the old file is out of the way: whoever opened the
    // path before this point holds the old file and must open again.
    rotations++;
}

// How much of `lines` (whole lines, each ending in a line feed) to write
// before the log reaches `limit` with `size` bytes in it: up to and with the
// line that reaches it, as when lines came one by one.
size_t lines_before_rotation(const char* lines, size_t length, int64_t size, int64_t limit) {
    if (limit <= 0 || size + static_cast<int64_t>(length) < limit)
        return length;
    size_t room = size < limit ? static_cast<size_t>(limit - size) : 1;
    const char* end = static_cast<const char*>(memchr(lines + room - 1, '\n', length - (room - 1)));
    return end != NULL ? static_cast<size_t>(end - lines) + 1 : length;
}

// Caller holds logfile_lock and the log is open. Writes the lines up to the
// one that fills the log (then rotated); returns the bytes of `lines` taken.
size_t append_locked(const char* lines, size_t length, const PendingLines* pending) {
    size_t taken = lines_before_rotation(lines, length, logsize, LOG_SIZE_LIMIT);
    write_counted(lines, taken);
    if (pending != NULL && pending->used != 0)
        write_counted(pending->text, pending->used);
    if (LOG_SIZE_LIMIT > 0 && logsize >= LOG_SIZE_LIMIT)
        rotate_locked();
    return taken;
}

// The log is closed: open it without holding logfile_lock (a descriptor
// shortage sheds the pools, which takes their locks and logs), then install
// the descriptor unless another thread was faster.
__attribute__((noinline)) size_t open_then_write(const char* line, size_t length) {
    PendingLines pending;
    pending.used = 0;
    unsigned generation = rotations.load();
    self.opening = &pending;
    int fd = s_open64(logfile, O_RDWR | O_CREAT, 0640);
    self.opening = NULL;

    lock_logfile();
    if (logfd == -1) {
        if (fd != -1 && generation != rotations.load()) {
            // Ours may be the file a rotation has just moved away. Open the
            // path again, now under the lock; without the shortage handling,
            // which must not take the pools' locks while we hold ours.
            close(fd);
            fd = open64(logfile, O_RDWR | O_CREAT, 0640);
        }
        if (fd != -1) {
            off_t end = lseek(fd, 0, SEEK_END);
            logsize = end == -1 ? 0 : end;
            __atomic_store_n(&logfd, fd, __ATOMIC_RELEASE);
            fd = -1;
        }
    }
    if (fd != -1)
        close(fd); // another thread opened the log first
    // Without a log (it cannot be opened) the lines are lost from the file;
    // the next line tries again.
    size_t taken = length;
    if (logfd != -1)
        taken = append_locked(line, length, &pending);
    unlock_logfile();
    return taken;
}

// Writes whole lines through the open log, opening it when needed; returns
// the bytes taken (less than length when the log was rotated after them).
size_t write_open_or_opening(const char* lines, size_t length) {
    if (__atomic_load_n(&logfd, __ATOMIC_ACQUIRE) != -1) {
        lock_logfile();
        if (logfd != -1) {
            size_t taken = append_locked(lines, length, NULL);
            unlock_logfile();
            return taken;
        }
        unlock_logfile(); // rotated since the check
    }
    return open_then_write(lines, length);
}

// The combiner's batch writer: lines handed over by any thread.
void write_batch(void*, const char* lines, size_t length) noexcept {
    while (length > 0) {
        size_t taken = write_open_or_opening(lines, length);
        lines += taken;
        length -= taken;
    }
}

// Never destroyed: threads may still log while the process ends.
LineCombiner& error_log_lines() {
    static LineCombiner* combiner = new LineCombiner(write_batch, NULL);
    return *combiner;
}

// noexcept: an exception (a failed allocation while rotating) must not leave
// logfile_lock held for ever; it ends the process instead.
void write_logfile(const char* line, size_t length) noexcept {
    if (self.opening != NULL) {
        PendingLines* pending = self.opening;
        if (length <= sizeof pending->text - pending->used) {
            memcpy(pending->text + pending->used, line, length);
            pending->used += length;
        }
        return;
    }
    if (self.holds_file_lock) {
        // Logged in the middle of our own write or rotation: the lock is ours.
        if (logfd != -1)
            write_counted(line, length);
        return;
    }
    error_log_lines().Add(line, length);
}

void buffer_line(const char* line) {
    if (log_buffer == NULL || self.inside_buffer || self.skip_buffer)
        return;
    logbuffer_add(log_buffer, line);
}

LOGBUFFER_ENTRY* unlink_oldest(LOGBUFFER* buffer) {
    LOGBUFFER_ENTRY* entry = buffer->oldest;
    buffer->oldest = entry->newer;
    if (buffer->oldest != NULL)
        buffer->oldest->older = NULL;
    else
        buffer->newest = NULL;
    entry->newer = NULL;
    entry->older = NULL;
    return entry;
}

// Moves the lines pushed onto `incoming` into the ring, oldest first, and
// returns the lines that made room (a chain through `older`, to be freed
// after the lock is released). The lock is held.
LOGBUFFER_ENTRY* take_incoming_locked(LOGBUFFER* buffer) {
    LOGBUFFER_ENTRY* dropped = NULL;
    LOGBUFFER_ENTRY* newest_first = __atomic_exchange_n(&buffer->incoming,
                                                        static_cast<LOGBUFFER_ENTRY*>(NULL),
                                                        __ATOMIC_ACQUIRE);
    LOGBUFFER_ENTRY* oldest_first = NULL;
    while (newest_first != NULL) {
        LOGBUFFER_ENTRY* next = newest_first->older;
        newest_first->newer = oldest_first;
        oldest_first = newest_first;
        newest_first = next;
    }
    while (oldest_first != NULL) {
        LOGBUFFER_ENTRY* entry = oldest_first;
        oldest_first = entry->newer;
        if (buffer->capacity <= 0) {
            entry->older = dropped;
            dropped = entry;
            continue;
        }
        entry->newer = NULL;
        entry->older = buffer->newest;
        if (buffer->newest != NULL)
            buffer->newest->newer = entry;
        else
            buffer->oldest = entry;
        buffer->newest = entry;
        if (buffer->count >= buffer->capacity) {
            LOGBUFFER_ENTRY* oldest = unlink_oldest(buffer);
            oldest->older = dropped;
            dropped = oldest;
        } else {
            buffer->count++;
        }
    }
    return dropped;
}

void lock_buffer(LOGBUFFER* buffer) {
    self.inside_buffer = true;
    pthread_mutex_lock(&buffer->lock);
}

void unlock_buffer(LOGBUFFER* buffer) {
    pthread_mutex_unlock(&buffer->lock);
    self.inside_buffer = false;
}

// Frees a chain of entries linked through `older`. Runs after the lock is
// released, so the fatal sequence for an entry without text can log (and
// buffer) its lines.
void free_entries(LOGBUFFER_ENTRY* entry, const char* caller) {
    while (entry != NULL) {
        LOGBUFFER_ENTRY* older = entry->older;
        if (entry->text == NULL)
            fatal_error("src/log", __LINE__, caller, 0);
        free(entry);
        entry = older;
    }
}

void drop_from_ziplist(const std::string& path) {
    pthread_mutex_lock(&ziplist_lock);
    zip_list.remove(path);
    pthread_mutex_unlock(&ziplist_lock);
}

bool path_taken(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 || lstat((path + ".gz").c_str(), &info) == 0;
}

} // namespace

void putlog(int category, const char* format, ...) {
    if (category == LOG_DEBUG && (loglevel & LOG_DEBUG) == 0)
        return;
    int saved_errno = errno;

    char line[LINE_AREA];
    size_t prefix = format_prefix(line, category);
    size_t length = prefix;
    va_list args;
    va_start(args, format);
    int added = vsnprintf(line + length, LINE_MAX_CHARS + 1 - length, format, args);
    va_end(args);
    if (added < 0)
        line[length] = '\0';
    else
        length += static_cast<size_t>(added);
    if (length > LINE_MAX_CHARS)
        length = LINE_MAX_CHARS;
    line[length] = '\0';
    length = escape_controls(line, prefix, length);

    if (category != LOG_DEBUG)
        buffer_line(line);

    if (length == 0 || line[length - 1] != '\n') {
        line[length++] = '\n';
        line[length] = '\0';
    }

    bool enabled = category == LOG_ADVICE || (category & loglevel) != 0;
    if (enabled && daemonize == 0) {
        fwrite(line, 1, length, stdout);
        fflush(stdout);
    }
    if (enabled && logfile[0] != '\0')
        write_logfile(line, length);
    errno = saved_errno;
}

bool log_flush(int timeout_ms) {
    if (self.opening != NULL || self.holds_file_lock)
        return false;
    return error_log_lines().Flush(timeout_ms);
}

LOGBUFFER* logbuffer_new(int capacity) {
    LOGBUFFER* buffer = static_cast<LOGBUFFER*>(xmalloc(sizeof(LOGBUFFER)));
    if (buffer == NULL)
        return NULL;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&buffer->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    buffer->count = 0;
    buffer->capacity = capacity < 0 ? 0 : capacity;
    buffer->newest = NULL;
    buffer->oldest = NULL;
    buffer->incoming = NULL;
    return buffer;
}

void logbuffer_add(LOGBUFFER* buffer, const char* text) {
    if (buffer == NULL || text == NULL)
        return;
    // Allocated before the lock is taken: a failure runs the fatal sequence,
    // whose lines must not wait for this buffer.
    // The line lives in the entry's own allocation: one allocation a line.
    self.inside_buffer = true;
    size_t length = strlen(text);
    LOGBUFFER_ENTRY* entry =
        static_cast<LOGBUFFER_ENTRY*>(xmalloc(sizeof(LOGBUFFER_ENTRY) + length + 1));
    if (entry == NULL) {
        self.skip_buffer = true;
        FATAL_ALLOC("src/log", sizeof(LOGBUFFER_ENTRY) + length + 1);
    }
    entry->text = reinterpret_cast<char*>(entry + 1);
    memcpy(entry->text, text, length + 1);
    entry->newer = NULL;

    LOGBUFFER_ENTRY* head = __atomic_load_n(&buffer->incoming, __ATOMIC_RELAXED);
    do {
        entry->older = head;
    } while (!__atomic_compare_exchange_n(&buffer->incoming, &head, entry, true, __ATOMIC_RELEASE,
                                          __ATOMIC_RELAXED));
    // The holder, or whoever takes the lock next, moves the line in.
    if (pthread_mutex_trylock(&buffer->lock) != 0) {
        self.inside_buffer = false;
        return;
    }
    LOGBUFFER_ENTRY* dropped = take_incoming_locked(buffer);
    unlock_buffer(buffer);
    free_entries(dropped, __func__);
}

void logbuffer_settle(LOGBUFFER* buffer) {
    if (buffer == NULL)
        return;
    lock_buffer(buffer);
    LOGBUFFER_ENTRY* dropped = take_incoming_locked(buffer);
    unlock_buffer(buffer);
    free_entries(dropped, __func__);
}

void logbuffer_resize(LOGBUFFER* buffer, int capacity) {
    if (buffer == NULL || capacity < 0)
        return;
    lock_buffer(buffer);
    LOGBUFFER_ENTRY* dropped = take_incoming_locked(buffer);
    while (buffer->count > capacity && buffer->oldest != NULL) {
        LOGBUFFER_ENTRY* entry = unlink_oldest(buffer);
        entry->older = dropped;
        dropped = entry;
        buffer->count--;
    }
    buffer->capacity = capacity;
    unlock_buffer(buffer);
    free_entries(dropped, __func__);
}

void logbuffer_clear(LOGBUFFER* buffer) {
    if (buffer == NULL)
        return;
    lock_buffer(buffer);
    // Lines added before the clear go as well.
    LOGBUFFER_ENTRY* dropped = take_incoming_locked(buffer);
    if (buffer->newest != NULL) {
        buffer->oldest->older = dropped;
        dropped = buffer->newest;
    }
    buffer->newest = NULL;
    buffer->oldest = NULL;
    buffer->count = 0;
    unlock_buffer(buffer);
    free_entries(dropped, __func__);
}

RetiredLog retire_full_log(int fd, const char* path) {
    if (PROCESS_OLD_LOGS == 0) {
        unlink(path);
        return RetiredLog{fd, false};
    }
    // The moved log is kept whatever happens: when it cannot be moved it
    // stays under its name and the next full line tries again.
    std::string moved = time_stamped_rename(path);
    if (PROCESS_OLD_LOGS == 1 && !moved.empty())
        add_to_ziplist(moved);
    return RetiredLog{fd, true};
}

void close_retired_log(RetiredLog retired) {
    if (retired.fd == -1)
        return;
    // A deleted log needs no sync: its blocks are freed at this close.
    if (retired.kept)
        fsync(retired.fd);
    close(retired.fd);
}

std::string time_stamped_rename(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* name = slash != NULL ? slash + 1 : path;

    char stamp[32];
    time_t now = time(NULL);
    struct tm local;
    if (localtime_r(&now, &local) == NULL ||
        strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local) == 0)
        return std::string();

    // A log without a directory rotates in the working directory.
    std::string base = slash != NULL ? std::string(path, static_cast<size_t>(slash - path)) + "/"
                                     : std::string();
    base += stamp;
    base += "-";
    base += name;

    // Two rotations within one second (a small size limit) must not
    // overwrite each other, nor a compressed log of the same name.
    std::string target = base;
    for (int suffix = 1; suffix <= 1000; suffix++) {
        if (!path_taken(target)) {
            if (renameat2(AT_FDCWD, path, AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
                return target;
            if (errno == EINVAL || errno == ENOSYS) {
                // The file system cannot refuse to replace; the check above
                // has to do.
                if (rename(path, target.c_str()) == 0)
                    return target;
                return std::string();
            }
            if (errno != EEXIST)
                return std::string();
        }
        target = base + "." + std::to_string(suffix);
    }
    return std::string();
}

int add_to_ziplist(const std::string& path) {
    pthread_mutex_lock(&ziplist_lock);
    if (!path.empty())
        zip_list.push_back(path);
    int queued = static_cast<int>(zip_list.size());
    pthread_mutex_unlock(&ziplist_lock);
    return queued;
}

void zip_files(void*) {
    pthread_mutex_lock(&ziplist_lock);
    if (zip_list.empty()) {
        pthread_mutex_unlock(&ziplist_lock);
        return;
    }
    std::string input = zip_list.front();
    pthread_mutex_unlock(&ziplist_lock);
    std::string output = input + ".gz";

    // The input is opened first, so a missing one leaves no empty output.
    FILE* in = s_fopen(input.c_str(), "rb");
    if (in == NULL) {
        int error = errno;
        printf("fopen failed to get infile[%s] pointer", input.c_str());
        fflush(stdout);
        // A log that is gone cannot be compressed; it must not hold up the
        // logs queued behind it.
        if (error == ENOENT)
            drop_from_ziplist(input);
        return;
    }
    int fd = s_open64(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
    gzFile out = fd == -1 ? NULL : gzdopen(fd, "wb");
    if (out == NULL) {
        if (fd != -1) {
            close(fd);
            unlink(output.c_str());
        }
        printf("fopen failed to get outfile[%s] pointer", output.c_str());
        fflush(stdout);
        fclose(in);
        return;
    }

    putlog(LOG_ADVICE, "debug: compressing: %s", input.c_str());
    char piece[256];
    size_t got;
    uint64_t total = 0;
    bool compressed = true;
    while ((got = fread(piece, 1, sizeof piece, in)) > 0) {
        int put = gzwrite(out, piece, static_cast<unsigned>(got));
        if (put != static_cast<int>(got)) {
            int code;
            const char* text = gzerror(out, &code);
            if (code == Z_ERRNO)
                text = strerror(errno);
            putlog(LOG_ERROR, "[system: gzwrite:%d:%s], in %s, unable to compress %s", code, text,
                   __func__, input.c_str());
            compressed = false;
            break;
        }
        total += static_cast<uint64_t>(put);
    }
    if (compressed && ferror(in)) {
        putlog(LOG_ERROR, "[system: fread:%d:%s], in %s, unable to read %s", errno,
               strerror(errno), __func__, input.c_str());
        compressed = false;
    }
    fclose(in);
    errno = 0;
    int closed = gzclose(out);
    if (closed != Z_OK && compressed) {
        putlog(LOG_ERROR, "[system: gzclose:%d:%s], in %s, unable to compress %s", closed,
               closed == Z_ERRNO ? strerror(errno) : zError(closed), __func__, input.c_str());
        compressed = false;
    }
    if (!compressed) {
        // The input stays queued and is tried again at the next run.
        unlink(output.c_str());
        return;
    }
    putlog(LOG_ADVICE, "debug: generated: %s", output.c_str());

    if (total != 0)
        unlink(input.c_str());
    drop_from_ziplist(input);
}
