#include "core/mem.h"

#include <errno.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "core/log.h"
#include "core/signals.h"

// A new zero-filled block. glibc's calloc never takes a block from the
// per-thread cache: each call would take an arena's lock, shared with other
// threads, where malloc hands out a block this thread freed a moment ago. So
// small blocks come from malloc and are cleared here; large ones from calloc,
// which on fresh pages clears without touching them.
static void* zeroed_block(size_t size) {
    if (size > ALLOCATOR_THREAD_CACHE_MAX)
        return calloc(1, size);
    void* block = malloc(size);
    if (block == NULL)
        return NULL;
    // Keeps the compiler from folding the pair back into calloc.
    asm volatile("" : : "r"(block) : "memory");
    memset(block, 0, size);
    return block;
}

void* xmalloc(size_t size) {
    if (size == 0)
        FATAL("src/mem");
    void* block = zeroed_block(size);
    if (block == NULL)
        putlog(LOG_ERROR, "[system: malloc:%d:%s], in %s, unable to allocate memory", errno,
               strerror(errno), __func__);
    return block;
}

void* xrealloc(void* block, size_t size) {
    if (size == 0)
        FATAL("src/mem");
    if (block == NULL) {
        void* fresh = zeroed_block(size);
        if (fresh == NULL)
            putlog(LOG_ERROR, "[system: realloc:%d:%s], in %s, unable to reallocate %zu memory",
                   errno, strerror(errno), __func__, size);
        return fresh;
    }
    return xrealloc_uncleared(block, size);
}

void* xrealloc_uncleared(void* block, size_t size) {
    if (size == 0)
        FATAL("src/mem");
    void* moved = realloc(block, size);
    if (moved == NULL)
        putlog(LOG_ERROR, "[system: realloc:%d:%s], in %s, unable to reallocate %zu memory",
               errno, strerror(errno), "xrealloc", size);
    return moved;
}

void memory_return_free(void*) { malloc_trim(0); }

char* xstrdup(const char* text) {
    if (text == NULL)
        return NULL;
    size_t length = strlen(text);
    // Not cleared: the copy fills every byte (several copies a request).
    char* copy = static_cast<char*>(xrealloc_uncleared(NULL, length + 1));
    if (copy != NULL)
        memcpy(copy, text, length + 1);
    return copy;
}

char* xstrndup(const char* text, size_t n) {
    if (text == NULL)
        return NULL;
    size_t length = strnlen(text, n);
    // Not cleared: the copy fills every byte (several copies a request).
    char* copy = static_cast<char*>(xrealloc_uncleared(NULL, length + 1));
    if (copy != NULL) {
        memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

void out_of_memory() {
    putlog(LOG_ERROR, "Out of memory: %s:%d in function %s", "src/mem", __LINE__, __func__);
    log_flush(1000);
    abort();
}

void hostent_free(HOSTENT* host) {
    if (host == NULL)
        return;
    if (host->addr == NULL)
        FATAL("src/mem");
    free(host->addr);
    free(host);
}

// Set on the thread that runs the sequence: an impossible state met while
// logging or shutting down must not start the sequence over (it would loop).
static thread_local bool fatal_running_here = false;
// Set by the first thread that reaches the shutdown.
static std::atomic<bool> shutdown_claimed{false};

static const char unstable_line[] = "\nSystem Unstable: Please Restart";

void fatal_error(const char* source, int line, const char* function, size_t failed_size) {
    if (fatal_running_here) {
        puts(unstable_line);
        fflush(stdout);
        _exit(1);
    }
    fatal_running_here = true;

    putlog(LOG_ADVICE, "System Unstable: Please Restart");
    putlog(LOG_ADVICE, "ASSERTION: %s:%d in function %s", source, line, function);
    if (failed_size != 0)
        putlog(LOG_ADVICE, "Failed to allocate %zu bytes of memory", failed_size);
    puts(unstable_line);
    // The shutdown leaves through _exit, which does not flush stdio.
    fflush(stdout);

    if (shutdown_claimed.exchange(true)) {
        // Another thread is already shutting the process down; running the
        // shutdown steps twice at once could race on the cache journal. Give
        // it time to finish, then leave on our own should it hang.
        for (int i = 0; i < 300; i++)
            usleep(100000);
        _exit(1);
    }
    sigterm();
}
