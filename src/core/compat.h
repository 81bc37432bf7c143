// Descriptor wrappers and the small portability layer.
//
// Every place that opens a file, a directory or a socket, or accepts a
// connection, goes through an s_ wrapper. When descriptors run out - the
// system file table is full (ENFILE) or the process has reached its own
// limit (EMFILE) - the wrapper sheds the idle pooled connections
// (fd_failure) and calls the system function once more with the same
// arguments. It never retries more than once.
//
//   s_opendir, s_fopen, s_open, s_open64, s_socket:
//     success returns the system's result. Any other failure returns the
//     failure result silently. After a shortage and a failed second try the
//     failure is logged at LOG_ERROR with the errno of the second try.
//   s_accept:
//     ENOTSOCK returns -1 silently; every other failure is logged at
//     LOG_ERROR. A shortage is logged, the pools are shed and accept is tried
//     once more; a second failure is logged again.
//
// Every wrapper returns with errno as the (last) failing system call left it,
// so callers may still test for EINTR, EAGAIN and the like.
//
// fd_failure takes the pools' locks inside their Clean operations, so callers
// of the wrappers must not hold a pool lock. It does nothing with a pool that
// does not exist yet (before start-up made it, or in tools and tests).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "core/mem.h"

// Writes all n bytes, repeating short and interrupted writes. Returns 0, or
// -1 with errno set (nothing logged).
int s_write_all(int fd, const void* bytes, size_t n);

// Descriptor-shortage aware openers (see above).
DIR* s_opendir(const char* path);
FILE* s_fopen(const char* path, const char* mode);
int s_open(const char* path, int flags, mode_t mode);
int s_open64(const char* path, int flags, mode_t mode); // large-file open
int s_socket(int family, int type, int protocol);
int s_accept(int listen_fd, struct sockaddr* address, socklen_t* address_length);

// Descriptor-shortage handlers; each logs one line at LOG_ERROR and cannot
// fail. fd_failure closes every idle pooled client connection and every idle
// upstream connection (the SIGHUP handler calls it too);
// client_pool_failure and server_pool_failure shed one pool only.
void fd_failure();
void client_pool_failure();
void server_pool_failure();

// What the handlers need of the pools, defined by the pools themselves
// (net/clientpool.cpp, net/serverpool.cpp): each closes every idle
// connection of its pool, and does nothing while the pool does not exist.
void shed_client_pool();
void shed_server_pool();

// Makes every directory of `path` that does not exist yet, mode 0755 (less
// the umask). An absolute path is made from the root, a relative one from
// the working directory; empty pieces ("a//b", a trailing '/') are skipped.
// Returns 1 when the whole path stands as a directory. Returns -1, after
// logging "[system: mkdir:...], in create_recursive_directory, failed to
// create directory <path>" at LOG_ERROR, when a directory cannot be made,
// when a piece exists but is not a directory (ENOTDIR), when the path is
// NULL or empty (ENOENT), or when it is longer than
// CREATE_DIRECTORY_PATH_MAX characters (ENAMETOOLONG; nothing is made).
enum { CREATE_DIRECTORY_PATH_MAX = 255 };
int create_recursive_directory(const char* path);

// Resizes a mapping, always allowing it to move (`flags` is not used).
// Returns the new address or MAP_FAILED.
void* p_mremap(void* address, size_t old_length, size_t new_length, int flags);
// Empties the environment (before a child program starts); 0 on success.
int p_clearenv();
// Sets one environment variable; setenv's result.
int p_setenv(const char* name, const char* value, int overwrite);
// poll(2).
int p_poll(struct pollfd* fds, nfds_t count, int timeout_ms);
// Initialises a condition variable whose timed waits run on the monotonic
// clock: a waiter's span of time is not stretched or cut when the system
// time is set. pthread_cond_init's result.
int p_cond_init_monotonic(pthread_cond_t* cond);

// Resolves `host` with the reentrant resolver. Returns a new HOSTENT (the
// caller frees it with hostent_free) holding a copy of the first IPv4 address
// and length 4, or NULL when the name does not resolve to an IPv4 address
// (the resolver's error code is not kept) or `host` is NULL. Thread-safe.
// Allocation failure of the result is fatal.
HOSTENT* p_gethostbyname(const char* host);
