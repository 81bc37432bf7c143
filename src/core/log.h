// The error log: putlog, the one logging call of the whole system (the
// plug-in calls it by name as well), size-based rotation shared with the
// access logs, compression of rotated logs, and the ring of newest lines that
// the web interface's log page shows.
//
// A line reads "<%Y %m %d %H:%M:%S> [<client id>] <category word><message>"
// and is at most 8191 characters with its newline (a longer message is cut).
// Control characters in the message (but a final line feed) are written as
// \xHH, like the access logs do, so that no value taken from a request or a
// server (a user name, host or URL) can forge a line of its own.
// Every category but LOG_DEBUG enters the log buffer whether or not it is
// enabled; a line is echoed on standard output (foreground only) and written
// to the error-log file when its category is LOG_ADVICE or enabled in
// `loglevel`. LOG_DEBUG lines are formatted only when the debug bit is set
// and never enter the buffer.
//
// Locks: the LOGBUFFER lock is taken and released before `logfile_lock`; the
// two are never held together. The lock of the file's line queue is held
// only while a line enters or a batch leaves the queue, with no other lock. `ziplist_lock` is taken inside `logfile_lock`
// (rotation queues the moved log) and by zip_files on its own, never during
// compression. putlog never re-enters a lock its thread already holds: a line
// logged on the same thread while putlog is inside its buffer or its file
// (a signal handler, a fatal state in the buffer) skips that step rather than
// wait for itself. The error log is opened without any of putlog's locks
// held; lines the open itself logs (the descriptor-shortage handling) are
// written right after the line that opened the log. That handling sheds the
// pools and takes their locks, so code holding a pool lock must not log while
// the error log may be closed. Callers must not call putlog while they hold
// LOGBUFFER::lock themselves. putlog keeps errno as it found it.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <list>
#include <string>

// Categories: one bit each; LOG_ADVICE (0) is always written.
enum {
    LOG_ADVICE = 0,
    LOG_REQUEST = 0x1,
    LOG_NETWORK = 0x2,
    LOG_URLFILTER = 0x4,
    LOG_HEADER = 0x8,
    LOG_MIMEFILTER = 0x10,
    LOG_COOKIEFILTER = 0x20,
    LOG_REDIRECT = 0x40,
    LOG_TEMPLATE = 0x80,
    LOG_KEYWORDFILTER = 0x100,
    LOG_REWRITE = 0x200,
    LOG_LIMITS = 0x400,
    LOG_CACHE = 0x800,
    LOG_PREFETCH = 0x1000,
    LOG_ICP = 0x2000,
    LOG_FORWARD = 0x4000,
    LOG_SYNC = 0x8000,
    LOG_ANTIVIRUS = 0x10000,
    LOG_EXTERNAL = 0x20000,
    LOG_ICAP = 0x40000,
    LOG_DNSBL = 0x80000,
    LOG_URLBLACKLIST = 0x100000,
    LOG_URLCOMMAND = 0x200000,
    LOG_MODULE = 0x400000,
    LOG_SECURITY = 0x800000,
    LOG_WARNING = 0x1000000,
    LOG_ERROR = 0x2000000,
    LOG_PROFILES = 0x4000000,
    LOG_DEBUG = 0x8000000,
    LOG_VERIFY = 0x10000000,
};

// Settings written by the command line before any thread starts.
extern char logfile[256];        // error-log path; empty: no error-log file
extern int loglevel;             // enabled category bits (default 0x07FFFFFF)
extern int daemonize;            // 0: echo lines on standard output
extern int64_t LOG_SIZE_LIMIT;   // rotate a log at this size; <= 0: never
extern int PROCESS_OLD_LOGS;     // rotation: 0 delete, 1 move and compress, else move

// The open error log, guarded by logfile_lock (-1 while closed).
extern int logfd;
extern int64_t logsize; // bytes in the open error log as counted by putlog
extern pthread_mutex_t logfile_lock;

// Rotated logs waiting for compression, oldest first, guarded by ziplist_lock.
extern std::list<std::string> zip_list;
extern pthread_mutex_t ziplist_lock;

// One kept line. `text` is a copy of the line without the newline putlog
// adds, kept in the entry's own allocation (freeing the entry frees it).
struct LOGBUFFER_ENTRY {
    LOGBUFFER_ENTRY* older; // NULL at the oldest end
    LOGBUFFER_ENTRY* newer; // NULL at the newest end
    char* text;
};

// The newest lines. Readers (the log page) call logbuffer_settle, then walk
// from `newest` through the `older` links holding `lock`.
//
// A logging thread never waits for the lock: it pushes its line onto
// `incoming` (atomically, newest first through `older`) and moves what is
// there into the ring only when it gets the lock at once. Whoever holds the
// lock next (the next logging thread that gets it, a reader's settle, a
// resize or a clear) moves in what came meanwhile, oldest first. A waiting
// logger would otherwise sleep behind a holder the scheduler preempted, and
// on a busy daemon every request logs.
struct LOGBUFFER {
    pthread_mutex_t lock;
    int count;    // lines held in the ring
    int capacity; // most lines kept; 0 keeps nothing
    LOGBUFFER_ENTRY* newest;
    LOGBUFFER_ENTRY* oldest;
    LOGBUFFER_ENTRY* incoming; // not yet in the ring; __atomic builtins only
};

// The process's buffer, made by start-up (GLOBAL::logbuffer points at the
// same object). While it is NULL putlog buffers nothing.
extern LOGBUFFER* log_buffer;

__attribute__((format(printf, 2, 3))) void putlog(int category, const char* format, ...);

// Lines written to the error-log file by several threads at once leave in
// one write by one of them (see core/line_combiner.h): putlog may return
// while the thread writing at that moment is about to write its line; a
// thread alone on the log writes its line before putlog returns.
// log_flush waits at most timeout_ms until every line logged so far is
// written; the ends of the process call it. false when it gave up (or was
// called inside the error log's own writing).
bool log_flush(int timeout_ms);

// New empty buffer keeping at most `capacity` lines (a negative capacity
// keeps nothing); NULL (logged) when it cannot be allocated. It lives for the
// whole process.
LOGBUFFER* logbuffer_new(int capacity);
// Adds a copy of `text` as the newest line, dropping the oldest when full.
// Never waits for the buffer's lock (see LOGBUFFER).
void logbuffer_add(LOGBUFFER* buffer, const char* text);
// Moves every line added so far into the ring; readers call it before they
// take the lock.
void logbuffer_settle(LOGBUFFER* buffer);
// Keeps the newest `capacity` lines and allows that many; negative: no change.
void logbuffer_resize(LOGBUFFER* buffer, int capacity);
// Drops every line; the capacity stays.
void logbuffer_clear(LOGBUFFER* buffer);

// Moves a full log aside in its own directory (the working directory for a
// path without '/') under "<%Y%m%d%H%M%S local time>-<name>"; when that name
// (or its ".gz") is taken, ".1", ".2", ... is appended so no earlier log is
// overwritten. Returns the new path, or "" when the log could not be moved.
std::string time_stamped_rename(const char* path);

// Disposes of a log that reached LOG_SIZE_LIMIT, in two steps shared by the
// error log and the access logs. Under the log's lock, retire_full_log
// deletes the file (PROCESS_OLD_LOGS 0) or moves it aside with
// time_stamped_rename and, with 1, queues it for compression; a log that
// cannot be moved stays under its name: nothing that is to be kept is ever
// deleted. Once the lock is released, close_retired_log syncs a file that
// is kept and closes the descriptor. Syncing tens of megabytes can keep the
// disk busy for a long while, and every thread that logs would wait for it
// on the lock; the next line opens the new file meanwhile.
struct RetiredLog {
    int fd;    // -1: nothing to close
    bool kept; // still on disk (moved aside, or left under its name)
};
RetiredLog retire_full_log(int fd, const char* path);
void close_retired_log(RetiredLog retired);

// Queues a rotated log for compression; returns the number of queued paths.
// An empty path is not queued.
int add_to_ziplist(const std::string& path);

// Timer job (argument ignored): compresses the oldest queued log to the same
// path plus ".gz" (mode 0640). The input is deleted only when every byte was
// read, compressed and the output closed successfully and the input was not
// empty; a failed compression keeps the input queued and removes the partial
// output. A queued log that no longer exists is dropped from the queue.
void zip_files(void* unused);
