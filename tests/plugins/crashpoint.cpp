// A preload library for the crash tests: it kills the process it is loaded
// into (SIGKILL, as a power cut or the OOM killer would) at a chosen point
// of a cache journal rewrite, so the tests can check what a restart finds.
//
//   KESTRIVAN_CRASH_AT=write    halfway through the first write to journal.new
//   KESTRIVAN_CRASH_AT=fsync    before journal.new is synced
//   KESTRIVAN_CRASH_AT=rename   before journal.new is renamed over journal
//   KESTRIVAN_CRASH_AT=renamed  right after that rename
//   KESTRIVAN_CRASH_SKIP=N      let the first N rewrites pass (default 0)
//
// A rewrite is counted when journal.new is opened.

// open and open64 are both defined here: neither may be renamed to the other.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> rewrites_seen{0};
std::atomic<int> armed_fd{-1};

const char* crash_point() {
    const char* point = getenv("KESTRIVAN_CRASH_AT");
    return point != nullptr ? point : "";
}

bool crash_at(const char* point) { return strcmp(crash_point(), point) == 0; }

bool is_new_journal(const char* path) {
    size_t length = strlen(path);
    const char suffix[] = "/journal.new";
    return length >= sizeof suffix - 1 && strcmp(path + length - (sizeof suffix - 1), suffix) == 0;
}

[[noreturn]] void die() {
    kill(getpid(), SIGKILL);
    for (;;)
        pause();
}

template <typename Function> Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int opened(const char* path, int fd) {
    if (fd >= 0 && is_new_journal(path)) {
        const char* skip = getenv("KESTRIVAN_CRASH_SKIP");
        if (++rewrites_seen > (skip != nullptr ? atoi(skip) : 0))
            armed_fd = fd;
    }
    return fd;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & O_CREAT) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    static auto real = next<int (*)(const char*, int, ...)>("open");
    return opened(path, real(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & O_CREAT) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    static auto real = next<int (*)(const char*, int, ...)>("open64");
    return opened(path, real(path, flags, mode));
}

ssize_t write(int fd, const void* data, size_t count) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (fd == armed_fd && crash_at("write") && count > 1) {
        real(fd, data, count / 2);
        die();
    }
    return real(fd, data, count);
}

int fsync(int fd) {
    static auto real = next<int (*)(int)>("fsync");
    if (fd == armed_fd && crash_at("fsync"))
        die();
    return real(fd);
}

int rename(const char* from, const char* to) {
    static auto real = next<int (*)(const char*, const char*)>("rename");
    bool journal = armed_fd != -1 && is_new_journal(from);
    if (journal && crash_at("rename"))
        die();
    int result = real(from, to);
    if (journal && crash_at("renamed"))
        die();
    return result;
}

int close(int fd) {
    static auto real = next<int (*)(int)>("close");
    if (fd == armed_fd && !crash_at("rename") && !crash_at("renamed"))
        armed_fd = -1;
    return real(fd);
}

} // extern "C"
