// Checked memory, the fatal-error sequence and the resolver result HOSTENT.
//
// Every allocation of the proxy's own records goes through xmalloc, xrealloc,
// xstrdup or xstrndup. They never return a zero-size block and they log a
// failed allocation; the caller decides what a NULL result means (most treat
// it as an impossible state and run FATAL_ALLOC). The routines hold no lock
// of their own and are as thread-safe as the C library allocator. They are
// exported by name: the image-filter plug-in calls them too.
//
// Every impossible state (a NULL where a value is guaranteed, a count out of
// range, an allocation the code cannot do without) ends in fatal_error():
//   1. advice line "System Unstable: Please Restart"
//   2. advice line "ASSERTION: <source>:<line> in function <function>"
//   3. only when an allocation failed: "Failed to allocate <n> bytes of memory"
//   4. "\nSystem Unstable: Please Restart" on standard output
//   5. sigterm(): the orderly shutdown, which leaves the process with status 1.
// A fatal state is never reported as a clean exit.
#pragma once

#include <stddef.h>

// Blocks are zero-filled. Size 0 is an impossible state (fatal). On failure
// logs "[system: malloc:...], in xmalloc, unable to allocate memory" and
// returns NULL.
void* xmalloc(size_t size);

// Resizes `block` (NULL: a new zero-filled block). Size 0 is an impossible
// state (fatal). Bytes added to an existing block are not cleared. On failure
// logs "[system: realloc:...], in xrealloc, unable to reallocate <n> memory",
// returns NULL and leaves the old block untouched (still owned by the caller).
void* xrealloc(void* block, size_t size);

// xrealloc for a buffer whose bytes are written before they are read (a
// socket's queues): a new block is not cleared either, so its pages are
// touched only as far as the buffer is filled. Same failure handling.
void* xrealloc_uncleared(void* block, size_t size);

// Timer job: hands the free pages inside the allocator's arenas back to the
// system. Relay and socket buffers of 64 KiB and more are freed in one
// arena and their space reused in pieces, so under changing load the pages
// of blocks no longer in use stay resident and the process grows with each
// burst; this returns them. Takes each arena's lock in turn, for a
// millisecond or two under load: run it every few seconds on a thread of
// its own (MEMORY_TRIM_INTERVAL), never on the request road. `unused` is the
// timer's argument.
void memory_return_free(void* unused);

// Seconds between runs of memory_return_free.
constexpr int MEMORY_TRIM_INTERVAL = 5;

// Largest block glibc's per-thread cache keeps: blocks up to this size go
// out and come back through it without the arena's lock while it has room;
// larger ones always take the lock.
constexpr size_t ALLOCATOR_THREAD_CACHE_MAX = 1032;

// New copy of `text` (caller frees); NULL for NULL or when allocation failed.
char* xstrdup(const char* text);

// New, terminated copy of the first min(strlen, n) characters of `text`
// (never reads beyond n characters); NULL for NULL or when allocation failed.
char* xstrndup(const char* text, size_t n);

// The runtime's allocation-failure handler (start-up installs it with
// std::set_new_handler): logs "Out of memory: ..." at LOG_ERROR and aborts.
void out_of_memory();

// The system's own resolver result: one IPv4 address in network order.
struct HOSTENT {
    char* addr; // 4 owned bytes
    int length; // always 4
};

// Frees the address block and the record. A record without an address is an
// impossible state (fatal); a NULL record is ignored.
void hostent_free(HOSTENT* host);

// The fatal-error sequence described above. `source` names the checking
// component ("src/mem", "src/log", ...), `failed_size` the size of the
// allocation that failed, 0 when none did. Runs on any thread; a second
// thread that meets a fatal state while the first is shutting down logs its
// lines and waits for the process to end instead of running the shutdown
// twice. Never returns.
[[noreturn]] void fatal_error(const char* source, int line, const char* function,
                              size_t failed_size);

#define FATAL(source) fatal_error((source), __LINE__, __func__, 0)
#define FATAL_ALLOC(source, size) fatal_error((source), __LINE__, __func__, (size))
