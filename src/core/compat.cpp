#include "core/compat.h"

#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"

namespace {

// Logging may change errno; the wrappers hand their caller the errno of the
// failing system call, so every log line on a failure path keeps it.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved_;
};

// The system-wide file table is full, or this process has used up its own
// descriptor limit. A busy proxy meets the second first; in both cases the
// idle pooled connections hold descriptors that can be given back.
bool descriptor_shortage(int error)
{
    return error == ENFILE || error == EMFILE;
}

} // namespace

void fd_failure()
{
    {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "failure opening file descriptor, attempting to free resources");
    }
    shed_client_pool();
    shed_server_pool();
}

void client_pool_failure()
{
    {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "flushing client pool, attempting to free resources");
    }
    shed_client_pool();
}

void server_pool_failure()
{
    {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "flushing outbound connections, attempting to free resources");
    }
    shed_server_pool();
}

DIR* s_opendir(const char* path)
{
    DIR* directory = opendir(path);
    if (directory != NULL || !descriptor_shortage(errno))
        return directory;
    fd_failure();
    directory = opendir(path);
    if (directory == NULL) {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "[system: opendir:%d:%s], in %s, unable to open directory", errno,
               strerror(errno), __func__);
    }
    return directory;
}

FILE* s_fopen(const char* path, const char* mode)
{
    FILE* file = fopen(path, mode);
    if (file != NULL || !descriptor_shortage(errno))
        return file;
    fd_failure();
    file = fopen(path, mode);
    if (file == NULL) {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "[system: fopen:%d:%s], in %s, unable to open file", errno,
               strerror(errno), __func__);
    }
    return file;
}

int s_open(const char* path, int flags, mode_t mode)
{
    int fd = open(path, flags, mode);
    if (fd != -1 || !descriptor_shortage(errno))
        return fd;
    fd_failure();
    fd = open(path, flags, mode);
    if (fd == -1) {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, failed to open file %s", errno,
               strerror(errno), __func__, path);
    }
    return fd;
}

int s_open64(const char* path, int flags, mode_t mode)
{
    int fd = open64(path, flags, mode);
    if (fd != -1 || !descriptor_shortage(errno))
        return fd;
    fd_failure();
    fd = open64(path, flags, mode);
    if (fd == -1) {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, failed to open file %s", errno,
               strerror(errno), __func__, path);
    }
    return fd;
}

int s_socket(int family, int type, int protocol)
{
    int fd = socket(family, type, protocol);
    if (fd != -1 || !descriptor_shortage(errno))
        return fd;
    fd_failure();
    fd = socket(family, type, protocol);
    if (fd == -1) {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "[system: socket:%d:%s], in %s unable to create socket", errno,
               strerror(errno), __func__);
    }
    return fd;
}

// Accepted sockets are close-on-exec: an external program started by a
// worker must never inherit, and keep open, another client's connection.
int s_accept(int listen_fd, struct sockaddr* address, socklen_t* address_length)
{
    // The length is in/out: a retry must offer the caller's full buffer again.
    socklen_t offered_length = address_length != NULL ? *address_length : 0;
    int fd = accept4(listen_fd, address, address_length, SOCK_CLOEXEC);
    if (fd != -1)
        return fd;
    if (errno == ENOTSOCK)
        return -1;
    {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket", errno,
               strerror(errno), __func__);
    }
    if (!descriptor_shortage(errno))
        return -1;
    fd_failure();
    if (address_length != NULL)
        *address_length = offered_length;
    fd = accept4(listen_fd, address, address_length, SOCK_CLOEXEC);
    if (fd == -1) {
        ErrnoKeeper keep;
        putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket", errno,
               strerror(errno), __func__);
    }
    return fd;
}

int create_recursive_directory(const char* path)
{
    const char* shown = path != NULL ? path : "";
    size_t length = path != NULL ? strlen(path) : 0;
    // Refusals keep the same line as a failed mkdir, with the errno mkdir
    // would have given, so the operator sees one shape for every failure.
    auto fail = [shown](int error) {
        errno = error;
        {
            ErrnoKeeper keep;
            putlog(LOG_ERROR, "[system: mkdir:%d:%s], in %s, failed to create directory %s", error,
                   strerror(error), "create_recursive_directory", shown);
        }
        return -1;
    };
    if (length == 0)
        return fail(ENOENT);
    if (length > CREATE_DIRECTORY_PATH_MAX)
        return fail(ENAMETOOLONG);

    // Pieces are joined with exactly one '/', so the path built so far is
    // never longer than the path given. A relative path stays relative, so
    // mkdir resolves it against the working directory.
    char built[CREATE_DIRECTORY_PATH_MAX + 1];
    size_t built_length = 0;
    bool absolute = path[0] == '/';
    size_t position = 0;
    while (position < length) {
        while (position < length && path[position] == '/')
            position++;
        if (position == length)
            break;
        size_t piece_end = position;
        while (piece_end < length && path[piece_end] != '/')
            piece_end++;
        if (built_length > 0 || absolute)
            built[built_length++] = '/';
        memcpy(built + built_length, path + position, piece_end - position);
        built_length += piece_end - position;
        built[built_length] = '\0';
        position = piece_end;

        if (mkdir(built, 0755) == 0)
            continue;
        if (errno != EEXIST)
            return fail(errno);
        // Something stands there already; only a directory will do.
        struct stat status;
        if (stat(built, &status) == -1)
            return fail(errno);
        if (!S_ISDIR(status.st_mode))
            return fail(ENOTDIR);
    }
    return 1;
}

void* p_mremap(void* address, size_t old_length, size_t new_length, int /* flags */)
{
    return mremap(address, old_length, new_length, MREMAP_MAYMOVE);
}

int p_clearenv()
{
    return clearenv();
}

int p_setenv(const char* name, const char* value, int overwrite)
{
    return setenv(name, value, overwrite);
}

int p_poll(struct pollfd* fds, nfds_t count, int timeout_ms)
{
    return poll(fds, count, timeout_ms);
}

int p_cond_init_monotonic(pthread_cond_t* cond)
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(cond, &attributes);
    pthread_condattr_destroy(&attributes);
    return rc;
}

HOSTENT* p_gethostbyname(const char* host)
{
    if (host == NULL)
        return NULL;

    // The resolver fills a caller-supplied work area and answers ERANGE when
    // it is too small (many aliases or addresses); it then grows, doubling,
    // up to a bound that no sane host entry reaches.
    const size_t area_limit = 1024 * 1024;
    char first_area[1024];
    char* area = first_area;
    char* grown_area = NULL;
    size_t area_size = sizeof(first_area);
    struct hostent entry;
    struct hostent* result = NULL;
    int resolver_error = 0;
    int status;
    while ((status = gethostbyname_r(host, &entry, area, area_size, &result, &resolver_error))
               == ERANGE
           && area_size < area_limit) {
        area_size *= 2;
        free(grown_area);
        grown_area = static_cast<char*>(xmalloc(area_size));
        if (grown_area == NULL)
            FATAL_ALLOC("src/compat", area_size);
        area = grown_area;
    }

    bool found = status == 0 && result != NULL && result->h_addrtype == AF_INET
                 && result->h_length == 4 && result->h_addr_list != NULL
                 && result->h_addr_list[0] != NULL;
    char address[4];
    if (found)
        memcpy(address, result->h_addr_list[0], sizeof(address));
    free(grown_area);
    if (!found)
        return NULL;

    HOSTENT* resolved = static_cast<HOSTENT*>(xmalloc(sizeof(HOSTENT)));
    if (resolved == NULL)
        FATAL_ALLOC("src/compat", sizeof(HOSTENT));
    resolved->addr = static_cast<char*>(xmalloc(sizeof(address)));
    if (resolved->addr == NULL)
        FATAL_ALLOC("src/compat", sizeof(address));
    memcpy(resolved->addr, address, sizeof(address));
    resolved->length = sizeof(address);
    return resolved;
}

int s_write_all(int fd, const void* bytes, size_t n) {
    const char* next = static_cast<const char*>(bytes);
    while (n > 0) {
        ssize_t written = write(fd, next, n);
        if (written == -1) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        next += written;
        n -= static_cast<size_t>(written);
    }
    return 0;
}
