// Filling and following objects: the writer appends to an object's mapping
// and finishes it; readers stream it to a socket as the bytes arrive, or
// wait for the whole body.
#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "cache/cache.h"
#include "cache/hstream.h"
#include "config/general.h"
#include "core/compat.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "http/header.h"
#include "http/header_io.h"
#include "iface/performance.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/relay.h"
#include "net/socket.h"

namespace {

// A follower copies at most this much under the mutex at a time.
const size_t FOLLOW_PIECE = 65536;
// A finished body is written in pieces of this size, each delivered before
// the next, so that a slow client never makes the socket queue a copy of
// more than one piece.
const size_t WRITE_PIECE = 256 * 1024;
// A finished body up to this size goes out in the same write as the header.
const uint64_t COALESCE_LIMIT = 65536;

struct timespec monotonic_after(int seconds) {
    struct timespec when;
    clock_gettime(CLOCK_MONOTONIC, &when);
    when.tv_sec += seconds;
    return when;
}

// Did the object end with its whole body? A finished object carries its
// exact length; a failed one is invalid and short of what it announced.
bool body_whole(const CACHEMAP* object) {
    if (!(object->flags & CACHE_INVALID))
        return true;
    const HEADER* header = object->header;
    return header != nullptr && (header->flags & HEADER_HAS_LENGTH) &&
           object->size >= object->start && object->size - object->start == header->content_length;
}

int io_timeout(CONNECTION_T* connection) {
    int seconds = general_section != nullptr ? general_section->timeout_get(connection) : 60;
    return seconds > 0 ? seconds : 60;
}

// Writes bytes that stay in place during the call to the socket, each piece
// delivered (bounded by the time-out) before the next. Returns the bytes
// delivered; fewer than asked when the peer failed or took nothing in time.
// The header was flushed before the body, which set TCP_NODELAY.
uint64_t write_from_memory(Socket* socket, const char* data, uint64_t length, int timeout) {
    uint64_t done = 0;
    socket->Blocking(false);
    while (done < length) {
        uint64_t left = length - done;
        size_t piece = left < WRITE_PIECE ? static_cast<size_t>(left) : WRITE_PIECE;
        if (socket->Write(data + done, static_cast<int>(piece)) == -1)
            break;
        if (socket->write_pending > 0) {
            // A slow client: what it has not taken yet is delivered (or
            // given up) before the next piece is offered.
            if (!net_drain(socket, timeout))
                break;
            socket->Blocking(false);
        }
        done += piece;
    }
    socket->Blocking(true);
    return done;
}

// What a client that cannot take the body costs: its connection, never the
// object, which other requests may still use.
void client_failed(CONNECTION_T* connection, int side) {
    if (side == SIDE_SERVER)
        connection->server_keepalive = 0;
    else
        connection->client_keepalive = 0;
}

} // namespace

// ---- Writing -------------------------------------------------------------------------

void CacheSection::memory_line() {
    putlog(LOG_ERROR,
           "cache: memory: %d objects, %llu bytes, Memory cache size: %llu bytes, Memory free "
           "extra: %u bytes",
           mem_objects, static_cast<unsigned long long>(mem_bytes),
           static_cast<unsigned long long>(*memory_size), *memory_free_extra);
}

bool CacheSection::resize(CACHEMAP* object, size_t length) {
    size_t new_length;
    if (length == 0) {
        // The writer's final shrink: the mapping and the file keep exactly
        // the stored bytes.
        if (object->addr == nullptr || object->size == object->maplen || object->size == 0)
            return true;
        new_length = object->size;
    } else {
        size_t needed;
        if (__builtin_add_overflow(object->size, length, &needed))
            return false;
        if (needed <= object->maplen)
            return true;
        new_length = 0;
        // One mapping for the announced length, when it is believable: no
        // larger than what the cache may hold at all.
        const HEADER* header = object->header;
        uint64_t believable = *max_size > *memory_size ? *max_size : *memory_size;
        size_t whole;
        if (header != nullptr && (header->flags & HEADER_HAS_LENGTH) &&
            !__builtin_add_overflow(object->start, header->content_length, &whole) &&
            whole >= needed && header->content_length <= believable)
            new_length = whole;
        if (new_length == 0) {
            if (needed > SIZE_MAX - CACHE_MAP_STEP)
                return false;
            new_length = (needed + CACHE_MAP_STEP - 1) / CACHE_MAP_STEP * CACHE_MAP_STEP;
        }
    }

    if (object->fd != -1 && ftruncate(object->fd, static_cast<off_t>(new_length)) == -1) {
        int error = errno;
        putlog(LOG_ERROR,
               "[system: ftruncate:%d:%s], in %s, cache: failed to resize [%zu] memory map from "
               "%zu to %zu",
               error, strerror(error), "resize", length, object->size, new_length);
        memory_line();
        return false;
    }
    bool first = object->addr == nullptr;
    void* mapped;
    if (!first)
        mapped = p_mremap(object->addr, object->maplen, new_length, 0);
    else if (object->fd != -1)
        mapped = mmap(nullptr, new_length, PROT_READ | PROT_WRITE, MAP_SHARED, object->fd, 0);
    else
        mapped = mmap(nullptr, new_length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
    if (mapped == MAP_FAILED) {
        int error = errno;
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, cache: unable to create memory map",
               first ? "mmap" : "p_mremap", error, strerror(error), "resize");
        memory_line();
        return false;
    }
    object->addr = static_cast<char*>(mapped);
    object->maplen = new_length;
    if (first) {
        mem_objects++;
        object->flags |= CACHE_MEM;
        if (performance_log != nullptr)
            performance_log->set_cache_mmaps_created(1);
    }
    // Only a file has pages to read ahead.
    if (object->fd != -1 && object->size > 0 &&
        madvise(object->addr, object->size, MADV_WILLNEED) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "[system: madvise:%d:%s], in %s, cache: unable to create memory map", error,
               strerror(error), "resize");
    }
    return true;
}

void CacheSection::mem_delete(CACHEMAP* object) {
    if (object->addr == nullptr)
        FATAL("src/cache");
    if (object->flags & CACHE_CONDVAR) {
        pthread_cond_destroy(&object->cond);
        object->flags &= ~CACHE_CONDVAR;
    }
    http_header_free(object->header);
    object->header = nullptr;
    if (object->fd != -1) {
        madvise(object->addr, object->maplen, MADV_DONTNEED);
        close(object->fd);
        object->fd = -1;
    }
    putlog(LOG_CACHE, "debug: unmapping: %s", object->key);
    munmap(object->addr, object->maplen);
    mem_bytes -= object->size;
    mem_objects--;
    object->flags &= ~CACHE_MEM;
    object->addr = nullptr;
    if (performance_log != nullptr)
        performance_log->set_cache_mmaps_deleted(1);
}

// Cleaning asked for by a growing object.
void CacheSection::clean_if_needed(const CACHEMAP* object) {
    if (mem_objects >= max_mementries || mem_bytes > *memory_size || store_over_limit(object))
        clean();
}

bool CacheSection::add_unlocked(CACHEMAP* object, const void* data, size_t length) {
    // The bytes of a dead object are not kept: its writer's close frees it.
    if (object->flags & CACHE_INVALID)
        return false;
    if (length == 0)
        return true;
    if (!(object->flags & CACHE_MEM)) {
        if (object->store != nullptr) {
            if (!disk_create(object)) {
                clean_if_needed(object);
                return false;
            }
        } else {
            putlog(LOG_DEBUG, "cache: warn: caching only in memory");
            object->flags &= ~CACHE_DISK;
        }
    }
    bool stored = resize(object, length);
    if (stored) {
        memcpy(object->addr + object->size, data, length);
        object->size += length;
        mem_bytes += length;
        if (object->flags & CACHE_DISK)
            store_grow(object, length);
        if (*max_size != 0 && object->size > *max_size &&
            !(object->flags & (CACHE_FORCE | CACHE_INVALID))) {
            putlog(LOG_DEBUG, "cache: invalidating object: file size: %zu exceeds maxsize: %u",
                   object->size, *max_size);
            stored = false;
        }
    }
    if (!stored) {
        // Marked dead; the writer keeps its reference and followers end.
        object->refcount++;
        invalidate_unlocked(object);
    } else if (object->refcount > 1) {
        pthread_cond_broadcast(&object->cond);
    }
    clean_if_needed(object);
    return stored;
}

int CacheSection::add(CACHEMAP* object, const void* data, unsigned length) {
    if (object == nullptr)
        return -1;
    mutex_lock();
    bool stored = add_unlocked(object, data, length);
    unlock();
    return stored ? 0 : -1;
}

void CacheSection::close_unlocked(CACHEMAP* object, bool complete) {
    if (object->refcount > 0)
        object->refcount--;
    bool finishing = (object->flags & CACHE_WRITING) != 0;
    if (finishing) {
        if (!complete)
            return;
        pthread_cond_broadcast(&object->cond);
    }
    if (object->flags & CACHE_BUFFERWAIT)
        return;
    if (finishing) {
        if (object->header != nullptr) {
            object->header->content_length = object->size - object->start;
            object->header->flags |= HEADER_HAS_LENGTH;
        }
        if (object->size != object->maplen)
            resize(object, 0);
        if (object->fd != -1 && object->addr != nullptr) {
            msync(object->addr, object->size, MS_ASYNC);
            fsync(object->fd);
        }
    }
    if (object->flags & CACHE_INVALID) {
        if (object->refcount == 0)
            invalidate_unlocked(object);
        return;
    }
    if (!finishing) {
        touch_unlocked(object, false);
        return;
    }
    object->flags &= ~(CACHE_WRITING | CACHE_BUFFERWAIT);
    if (object->size == 0 || object->size < *min_size) {
        if (*min_size != 0)
            putlog(LOG_DEBUG, "cache: file size: %zu less than minsize: %u", object->size,
                   *min_size);
        // Followers still hold what they were sent; nobody else gets it, and
        // without followers it goes at once instead of blocking its URL.
        if (object->refcount == 0)
            invalidate_unlocked(object);
        else
            object->flags |= CACHE_INVALID;
        return;
    }
    md5_again(object);
    touch_unlocked(object, true);
    if (object->refcount > 0)
        pthread_cond_broadcast(&object->cond);
}

void CacheSection::cache_close(CACHEMAP* object, bool complete) {
    if (object == nullptr || object->key == nullptr)
        return;
    mutex_lock();
    close_unlocked(object, complete);
    unlock();
}

// ---- Reading -------------------------------------------------------------------------

// With the mutex held: waits until the object holds bytes beyond `position`
// or is no longer being written. False when the writer added nothing for
// `stall_seconds`.
bool CacheSection::wait_for_writer(CACHEMAP* object, size_t position, int stall_seconds) {
    if (object->size > position || !(object->flags & CACHE_WRITING))
        return true;
    struct timespec deadline = monotonic_after(stall_seconds);
    while (object->size <= position && (object->flags & CACHE_WRITING)) {
        if (cond_timedwait(&object->cond, &deadline) == ETIMEDOUT)
            return object->size > position || !(object->flags & CACHE_WRITING);
    }
    return true;
}

int64_t CacheSection::send(CACHEMAP* object, CONNECTION_T* connection, int side, Filebuf* head) {
    if (object == nullptr || connection == nullptr)
        return 0;
    Socket* socket = side == SIDE_SERVER ? connection->server : connection->client;
    bool to_nobody = side != SIDE_SERVER && (connection->flags & CONN_NO_CLIENT);
    if (socket == nullptr && !to_nobody)
        return 0;
    // Read before the mutex: it takes the general section's lock.
    int timeout = io_timeout(connection);
    uint64_t head_size = head != nullptr && !to_nobody ? head->size : 0;

    mutex_lock();
    bool finished = !(object->flags & CACHE_WRITING);
    const char* body = object->addr != nullptr ? object->addr + object->start : nullptr;
    uint64_t length = finished && object->size > object->start ? object->size - object->start : 0;
    if (object->addr == nullptr || object->start == 0 || (finished && length == 0)) {
        unlock();
        if (head_size > 0 && write_from_memory(socket, head->data, head_size, timeout) < head_size)
            client_failed(connection, side);
        return 0;
    }
    if (finished) {
        // The caller's reference keeps the mapping in place, so the body
        // goes out straight from it, without the mutex.
        unlock();
        if (to_nobody)
            return static_cast<int64_t>(length);
        if (head_size > 0 && length <= COALESCE_LIMIT) {
            // One write for header and body: copying a small body costs
            // less than a second send.
            head->Add(body, static_cast<unsigned>(length));
            uint64_t written = write_from_memory(socket, head->data, head->size, timeout);
            if (written < head->size)
                client_failed(connection, side);
            return static_cast<int64_t>(written > head_size ? written - head_size : 0);
        }
        if (head_size > 0 && write_from_memory(socket, head->data, head_size, timeout) < head_size) {
            client_failed(connection, side);
            return 0;
        }
        uint64_t written = write_from_memory(socket, body, length, timeout);
        if (written < length)
            client_failed(connection, side);
        return static_cast<int64_t>(written);
    }

    // Being written: follow it, copying each new range under the mutex and
    // writing it after releasing it.
    putlog(LOG_DEBUG, "cache: sending file while being written");
    if (head_size > 0) {
        unlock();
        bool sent = write_from_memory(socket, head->data, head_size, timeout) == head_size;
        mutex_lock();
        if (!sent) {
            unlock();
            client_failed(connection, side);
            return 0;
        }
    }
    std::unique_ptr<char[]> piece(new char[FOLLOW_PIECE]);
    size_t position = object->start;
    bool whole = false;
    for (;;) {
        if (!wait_for_writer(object, position, timeout))
            break; // the writer went silent
        size_t available = object->size > position ? object->size - position : 0;
        if (available == 0) {
            whole = body_whole(object);
            break;
        }
        size_t count = available < FOLLOW_PIECE ? available : FOLLOW_PIECE;
        memcpy(piece.get(), object->addr + position, count);
        unlock();
        bool written = to_nobody || write_from_memory(socket, piece.get(), count, timeout) == count;
        mutex_lock();
        if (!written)
            break;
        position += count;
    }
    size_t sent = position - object->start;
    unlock();
    if (!whole)
        client_failed(connection, side);
    return static_cast<int64_t>(sent);
}

Filebuf* CacheSection::read_filebuf(CACHEMAP* object, int stall_seconds) {
    if (object == nullptr)
        return nullptr;
    mutex_lock();
    if (object->flags & CACHE_WRITING)
        putlog(LOG_DEBUG, "cache: reading file while being written");
    while ((object->flags & CACHE_WRITING) && wait_for_writer(object, object->size, stall_seconds)) {
    }
    bool usable = !(object->flags & CACHE_WRITING) && body_whole(object) &&
                  object->addr != nullptr && object->size >= object->start &&
                  object->size - object->start <= UINT32_MAX;
    const char* body = usable ? object->addr + object->start : nullptr;
    size_t length = usable ? object->size - object->start : 0;
    unlock();
    if (!usable)
        return nullptr;
    // Finished: the caller's reference keeps the mapping in place while the
    // body is copied without the mutex.
    Filebuf* buffer = new Filebuf();
    if (length > 0)
        buffer->Add(body, static_cast<unsigned>(length));
    return buffer;
}

void CacheSection::feed_html(CACHEMAP* object, HTMLStream* stream) {
    if (object == nullptr || stream == nullptr)
        return;
    mutex_lock();
    while ((object->flags & CACHE_WRITING) && wait_for_writer(object, object->size, 60)) {
    }
    bool finished = !(object->flags & CACHE_WRITING) && object->addr != nullptr &&
                    object->size <= UINT32_MAX;
    const char* image = object->addr;
    size_t size = object->size;
    unlock();
    // The parser's callbacks call back into the cache: fed without the mutex.
    if (finished)
        stream->Add(image, static_cast<unsigned>(size));
}

void CacheSection::send_status(CONNECTION_T* connection, CACHEMAP* object) {
    if (connection == nullptr || object == nullptr)
        return;
    mutex_lock();
    size_t transferred = object->size > object->start ? object->size - object->start : 0;
    time_t mtime = object->mtime;
    const HEADER* header = object->header;
    bool has_length = header != nullptr && (header->flags & HEADER_HAS_LENGTH);
    size_t announced = has_length ? header->content_length : 0;
    unlock();
    char text[32];
    snprintf(text, sizeof text, "%zu", transferred);
    connection->variables["TRANSFERRED"] = text;
    snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(mtime));
    connection->variables["MTIME"] = text;
    snprintf(text, sizeof text, "%zu", announced);
    connection->variables["SIZE"] = text;
    if (template_section != nullptr)
        template_section->send("downloading", connection, 200);
}
