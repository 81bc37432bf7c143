#include "net/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "core/misc_time.h"
#include "iface/performance.h"
#include "net/network.h"

// ---- LimitGroup -------------------------------------------------------------

static struct timeval monotonic_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct timeval tv;
    tv.tv_sec = now.tv_sec;
    tv.tv_usec = now.tv_nsec / 1000;
    return tv;
}

LimitGroup::LimitGroup(unsigned rate) : rate(rate), used(0), quota(rate / 10) {
    window_start = monotonic_now();
    pthread_mutex_init(&mutex, nullptr);
}

LimitGroup::~LimitGroup() { pthread_mutex_destroy(&mutex); }

int64_t LimitGroup::Incr(int64_t n) {
    Lock();
    used += n;
    int64_t now_used = used;
    Unlock();
    return now_used;
}

// ---- The shared TLS context -------------------------------------------------

static pthread_mutex_t tls_context_lock = PTHREAD_MUTEX_INITIALIZER;
static SSL_CTX* tls_context = nullptr;

// The one client context of the process, made on first use: certificates
// are checked against the system's CA store, writes may be partial and may
// be retried from a buffer that moved, and a close without close_notify ends
// the data. A context that cannot be made is logged and tried again on the
// next use. Returns a new reference (the caller frees it) or NULL.
static SSL_CTX* shared_tls_context() {
    pthread_mutex_lock(&tls_context_lock);
    if (tls_context == nullptr) {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        if (context == nullptr) {
            putlog(LOG_ERROR, "socket: cannot create the TLS context: %s",
                   ERR_reason_error_string(ERR_get_error()));
        } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
            putlog(LOG_ERROR, "socket: cannot load the system's CA certificates: %s",
                   ERR_reason_error_string(ERR_get_error()));
            SSL_CTX_free(context);
        } else {
            SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
            SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
            SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE |
                                          SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                          SSL_MODE_AUTO_RETRY);
            SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
            tls_context = context;
        }
        ERR_clear_error();
    }
    SSL_CTX* context = tls_context;
    if (context != nullptr)
        SSL_CTX_up_ref(context);
    pthread_mutex_unlock(&tls_context_lock);
    return context;
}

// ---- Construction and destruction -------------------------------------------

void Socket::Init(int descriptor) {
    ssl = 0;
    next_callback_id = 0;
    read_capacity = write_capacity = 0;
    read_buffer = write_buffer = nullptr;
    ssl_handle = nullptr;
    ssl_context = nullptr;
    timeout = CLIENT_POOL_TIMEOUT;
    gettimeofday(&start, nullptr);
    read_rate = write_rate = nullptr;
    fd = descriptor;
    read_pending = write_pending = 0;
    bytes_read = bytes_written = 0;
    frozen = false;
    hung_up = false;
    mode_blocking = -1;
    mode_applied = MODE_UNDECIDED;
    nodelay_on = false;
    quickack_on = false;
    tls_retry = 0;
}

Socket::Socket() { Init(-1); }

Socket::Socket(int descriptor) { Init(descriptor); }

static void network_stat_add(const char* name, uint64_t amount) {
    if (global != nullptr && amount > 0)
        global->stats.Increment("network", name, amount);
}

void Socket::ReleaseTls() {
    if (ssl_handle != nullptr)
        SSL_free(ssl_handle);
    if (ssl_context != nullptr)
        SSL_CTX_free(ssl_context);
    ssl_handle = nullptr;
    ssl_context = nullptr;
    ssl = 0;
}

Socket::~Socket() {
    Flush();
    if (ssl) {
        // Our close_notify goes out; waiting for the peer's would let a
        // silent server hold this thread, and the descriptor closes anyway.
        SSL_shutdown(ssl_handle);
        ERR_clear_error();
        ReleaseTls();
    }
    if (fd != -1)
        close(fd);
    free(read_buffer);
    free(write_buffer);
    read_buffer = write_buffer = nullptr;
    SetRate(nullptr, nullptr);
    if (performance_log != nullptr) {
        performance_log->set_bytes_in(bytes_read);
        performance_log->set_bytes_out(bytes_written);
    }
    network_stat_add("bytes out", bytes_written);
    network_stat_add("bytes in", bytes_read);
    callbacks.clear();
}

// ---- Buffers ----------------------------------------------------------------

void Socket::Clear(int side) {
    Pending(side) = 0;
    if (Capacity(side) > SOCKET_BUFFER_STEP) {
        free(Buffer(side));
        Buffer(side) = nullptr;
        Capacity(side) = 0;
    }
    if (side == 1)
        tls_retry = 0;
}

void Socket::Resize(unsigned size, int side) {
    unsigned capacity = Capacity(side);
    if (Buffer(side) != nullptr && size <= capacity &&
        static_cast<uint64_t>(capacity) < static_cast<uint64_t>(size) + SOCKET_BUFFER_STEP) {
        Pending(side) = size;
        return;
    }
    if (size == 0) {
        Clear(side);
        return;
    }
    uint64_t rounded = (static_cast<uint64_t>(size) + SOCKET_BUFFER_STEP - 1) /
                       SOCKET_BUFFER_STEP * SOCKET_BUFFER_STEP;
    if (rounded > 0xFFFFFFFFu)
        FATAL_ALLOC("src/socket", static_cast<size_t>(rounded));
    // Not cleared: only the pending bytes are ever read, and clearing
    // 64 KiB made every page of every connection's buffers resident where
    // reads of a few KiB touch one or two.
    char* grown =
        static_cast<char*>(xrealloc_uncleared(Buffer(side), static_cast<size_t>(rounded)));
    if (grown == nullptr)
        FATAL_ALLOC("src/socket", static_cast<size_t>(rounded));
    Buffer(side) = grown;
    Capacity(side) = static_cast<unsigned>(rounded);
    Pending(side) = size;
}

void Socket::Append(int side, const char* data, unsigned len) {
    if (len == 0)
        return;
    unsigned old = Pending(side);
    Resize(old + len, side);
    memcpy(Buffer(side) + old, data, len);
}

void Socket::Consume(int side, unsigned len) {
    unsigned pending = Pending(side);
    if (len >= pending) {
        Clear(side);
        return;
    }
    memmove(Buffer(side), Buffer(side) + len, pending - len);
    Resize(pending - len, side);
}

void Socket::Hold(const char* data, unsigned len) {
    // A header waiting for its body is kept in a buffer of its own size: a
    // step of SOCKET_BUFFER_STEP would stay with every kept-alive
    // connection, and with it memory the relays could have used again.
    if (write_pending == 0 && write_capacity < SOCKET_BUFFER_STEP && len <= SOCKET_BUFFER_STEP) {
        if (write_capacity < len) {
            char* grown = static_cast<char*>(xrealloc_uncleared(write_buffer, len));
            if (grown == nullptr)
                FATAL_ALLOC("src/socket", len);
            write_buffer = grown;
            write_capacity = len;
        }
        memcpy(write_buffer, data, len);
        write_pending = len;
        return;
    }
    Append(1, data, len);
}

int Socket::PushFront(const char* data, unsigned len) {
    unsigned earlier = read_pending;
    if (len == 0)
        return static_cast<int>(earlier);
    Resize(earlier + len, 0);
    memmove(read_buffer + len, read_buffer, earlier);
    memcpy(read_buffer, data, len);
    return static_cast<int>(earlier);
}

int Socket::XfertoFilebuf(Filebuf* fb, int side) {
    unsigned pending = Pending(side);
    if (fb != nullptr && pending > 0)
        fb->Add(Buffer(side), pending);
    free(Buffer(side));
    Buffer(side) = nullptr;
    Capacity(side) = 0;
    Pending(side) = 0;
    if (side == 1)
        tls_retry = 0;
    return static_cast<int>(pending);
}

// ---- Descriptor modes -------------------------------------------------------

// True for a descriptor that is a stream socket: send and recv take
// MSG_DONTWAIT there.
static bool is_stream_socket(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

static int set_descriptor_blocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        return -1;
    if (((flags & O_NONBLOCK) == 0) == on)
        return 0;
    return fcntl(fd, F_SETFL, on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

int Socket::PerCallFlags() const {
    return mode_applied == MODE_PER_CALL && mode_blocking == 0 ? MSG_DONTWAIT : 0;
}

int Socket::Blocking(bool on) {
    if (fd == -1)
        return -1;
    if (mode_applied == MODE_UNDECIDED) {
        bool per_call = !ssl && is_stream_socket(fd) && set_descriptor_blocking(fd, true) == 0;
        mode_applied = per_call ? MODE_PER_CALL : MODE_DESCRIPTOR;
        if (per_call) {
            mode_blocking = on ? 1 : 0;
            return 0;
        }
        mode_blocking = -1;
    }
    if (mode_applied == MODE_PER_CALL && !ssl) {
        mode_blocking = on ? 1 : 0;
        return 0;
    }
    if (mode_blocking == (on ? 1 : 0))
        return 0;
    int result = set_descriptor_blocking(fd, on);
    mode_blocking = result == -1 ? -1 : (on ? 1 : 0);
    return result;
}

bool Socket::SetBlockingMode(bool blocking) {
    if (fd == -1)
        return false;
    if (mode_blocking == (blocking ? 1 : 0))
        return true;
    return Blocking(blocking) != -1;
}

// TCP_NODELAY stays on once set, so one call per socket is enough (a
// descriptor that refuses it is not asked again).
void Socket::NoDelayOnce() {
    if (nodelay_on || fd <= 0)
        return;
    set_nodelay(fd, true);
    nodelay_on = true;
}

// Quick acknowledgements are asked for once per socket: with TCP_NODELAY on
// our side, renewing them before every write would only cost a system call
// per write.
void Socket::QuickAckOnce() {
    if (quickack_on || fd < 0)
        return;
    SetACK(fd, true);
    quickack_on = true;
}

// ---- Rate groups ------------------------------------------------------------

void Socket::SetRate(LimitGroup* read, LimitGroup* write) {
    LimitGroup* old_read = read_rate;
    LimitGroup* old_write = write_rate;
    // The new holds come first: a group passed in again must not be
    // destroyed by dropping the old hold on it.
    if (read != nullptr)
        read->New();
    if (write != nullptr)
        write->New();
    read_rate = read;
    write_rate = write;
    atom_release(old_read);
    atom_release(old_write);
}

unsigned Socket::Throttle(int direction) {
    LimitGroup* group = direction == 1 ? write_rate : read_rate;
    if (group == nullptr)
        return 0;
    group->Lock();
    struct timeval now = monotonic_now();
    if (group->used == 0) {
        group->window_start = now;
        group->Unlock();
        return group->quota;
    }
    int64_t elapsed = timeval_diff_ms(&group->window_start, &now);
    if (elapsed >= 100 || elapsed < 0) {
        group->used = 0;
        group->window_start = now;
        group->Unlock();
        sched_yield();
        return group->quota;
    }
    if (group->used < static_cast<int64_t>(group->quota)) {
        unsigned allowance = group->quota - static_cast<unsigned>(group->used);
        group->Unlock();
        sched_yield();
        return allowance;
    }
    // The window's budget is spent: sleep out the window while holding the
    // group, so the other sockets of the group wait their turn as well.
    usleep(static_cast<useconds_t>((100 - elapsed) * 1000));
    group->used = 0;
    group->window_start = monotonic_now();
    group->Unlock();
    sched_yield();
    return group->quota;
}

void Socket::CountWritten(long n) {
    bytes_written += static_cast<uint64_t>(n);
    if (write_rate != nullptr)
        write_rate->Incr(n);
}

void Socket::CountRead(long n) {
    bytes_read += static_cast<uint64_t>(n);
    if (read_rate != nullptr)
        read_rate->Incr(n);
}

// ---- Transfers --------------------------------------------------------------

// One send of at most len bytes. -1 with errno EAGAIN when nothing could be
// sent now (the caller keeps the bytes); -1 with another errno on failure.
long Socket::SendSome(const char* data, unsigned len) {
    if (ssl) {
        unsigned offer = len < tls_retry ? tls_retry : len;
        int sent = SSL_write(ssl_handle, data, static_cast<int>(offer));
        if (sent > 0) {
            tls_retry = 0;
            return sent;
        }
        int error = SSL_get_error(ssl_handle, sent);
        if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
            tls_retry = offer;
            errno = EAGAIN;
        } else if (error != SSL_ERROR_SYSCALL || errno == 0) {
            errno = EPROTO;
        }
        ERR_clear_error();
        return -1;
    }
    return SendPair(data, len, nullptr, 0);
}

// One send of two pieces (the second may be empty), plain sockets only: the
// bytes sent (first's before second's), or -1 as SendSome.
long Socket::SendPair(const char* first, unsigned first_len, const char* second,
                      unsigned second_len) {
    struct iovec pieces[2] = {{const_cast<char*>(first), first_len},
                              {const_cast<char*>(second), second_len}};
    int count = second_len > 0 ? 2 : 1;
    struct msghdr message = {};
    message.msg_iov = pieces;
    message.msg_iovlen = count;
    for (;;) {
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL | PerCallFlags());
        if (sent == -1 && errno == ENOTSOCK)
            sent = writev(fd, pieces, count);
        if (sent == -1 && errno == EINTR)
            continue;
        if (sent == -1 && errno == EWOULDBLOCK)
            errno = EAGAIN;
        return static_cast<long>(sent);
    }
}

// One read of at most len bytes into data; on a plain socket the bytes
// beyond len that fit into `spare` arrive in the same call. 0 at the end of
// the stream (a TLS peer closing without close_notify included), -1 on
// failure (errno EAGAIN when nothing is there yet).
long Socket::ReceiveSome(char* data, unsigned len, char* spare, unsigned spare_len,
                         bool now_only) {
    if (ssl) {
        int got = SSL_read(ssl_handle, data, static_cast<int>(len));
        if (got > 0)
            return got;
        int error = SSL_get_error(ssl_handle, got);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            errno = EAGAIN;
            return -1;
        }
        if (error == SSL_ERROR_SYSCALL && errno == 0)
            return 0;
        if (error != SSL_ERROR_SYSCALL)
            errno = EPROTO;
        return -1;
    }
    for (;;) {
        ssize_t got;
        if (mode_applied == MODE_PER_CALL) {
            struct iovec pieces[2] = {{data, len}, {spare, spare_len}};
            struct msghdr message = {};
            message.msg_iov = pieces;
            message.msg_iovlen = spare_len > 0 ? 2 : 1;
            got = recvmsg(fd, &message, now_only ? MSG_DONTWAIT : PerCallFlags());
        } else if (spare_len > 0) {
            struct iovec pieces[2] = {{data, len}, {spare, spare_len}};
            got = readv(fd, pieces, 2);
        } else {
            got = read(fd, data, len);
        }
        if (got == -1 && errno == EINTR)
            continue;
        return static_cast<long>(got);
    }
}

// Moves the plaintext OpenSSL already decrypted into the read buffer, so
// that every byte waiting on this socket shows in read_pending and no wait
// on the descriptor can miss it.
void Socket::DrainTls() {
    while (ssl && SSL_pending(ssl_handle) > 0) {
        unsigned want = static_cast<unsigned>(SSL_pending(ssl_handle));
        unsigned old = read_pending;
        Resize(old + want, 0);
        read_pending = old;
        int got = SSL_read(ssl_handle, read_buffer + old, static_cast<int>(want));
        if (got <= 0) {
            ERR_clear_error();
            break;
        }
        read_pending = old + static_cast<unsigned>(got);
        CountRead(got);
    }
}

// Waits up to `seconds` for input; true when the descriptor is ready.
static bool wait_readable(int fd, int seconds) {
    struct timeval begin = monotonic_now();
    int64_t total_ms = static_cast<int64_t>(seconds) * 1000;
    for (;;) {
        struct timeval now = monotonic_now();
        int64_t left = total_ms - timeval_diff_ms(&begin, &now);
        if (left < 0)
            left = 0;
        struct pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready == -1 && errno == EINTR)
            continue;
        return ready == 1;
    }
}

// The descriptor's events now, without waiting; -1 when it cannot be asked.
static int events_now(int fd) {
    if (fd < 0)
        return -1;
    struct pollfd entry = {fd, POLLIN | POLLRDHUP, 0};
    int ready;
    do
        ready = poll(&entry, 1, 0);
    while (ready == -1 && errno == EINTR);
    if (ready == -1)
        return -1;
    return ready == 0 ? 0 : entry.revents;
}

bool Socket::BufferedInput() const {
    return read_pending > 0 || (ssl && ssl_handle != nullptr && SSL_pending(ssl_handle) > 0);
}

bool Socket::InputPending() {
    return BufferedInput() || events_now(fd) != 0;
}

bool Socket::PeerClosed() {
    if (BufferedInput())
        return false;
    int events = events_now(fd);
    return events == -1 || (events & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int Socket::Read(char* buf, int len, int wait_seconds) {
    bool buffer_mode = len == -1;
    // A zero wait on a plain stream socket is the receive itself, made
    // non-blocking: one system call instead of a poll and a receive, with
    // the same answer (-1 when nothing waits, 0 when the peer closed).
    bool now_only = wait_seconds == 0 && !ssl && mode_applied == MODE_PER_CALL;
    if (wait_seconds != -1 && !now_only &&
        (buffer_mode || read_pending < static_cast<unsigned>(len))) {
        // OpenSSL may already hold what the descriptor will not show again:
        // records it read ahead, or the peer's close_notify.
        bool tls_ready = ssl && (SSL_has_pending(ssl_handle) ||
                                 (SSL_get_shutdown(ssl_handle) & SSL_RECEIVED_SHUTDOWN) != 0);
        if (!tls_ready && !wait_readable(fd, wait_seconds))
            return -1;
    }

    unsigned served = 0;
    if (!buffer_mode && read_pending > 0) {
        unsigned take = read_pending < static_cast<unsigned>(len) ? read_pending
                                                                  : static_cast<unsigned>(len);
        memcpy(buf, read_buffer, take);
        Consume(0, take);
        if (take == static_cast<unsigned>(len))
            return CallBackEvent(SOCKET_EVENT_READ, len, buf) == -1 ? -1 : len;
        served = take;
    }

    unsigned allowance = Throttle(0);
    unsigned cap = BLOCKSIZE > 0 ? BLOCKSIZE : 1;
    if (allowance != 0 && allowance < cap)
        cap = allowance;

    if (buffer_mode) {
        unsigned old = read_pending;
        if (read_capacity - old == 0) {
            Resize(old + (cap < SOCKET_BUFFER_STEP ? cap : SOCKET_BUFFER_STEP), 0);
            read_pending = old;
        }
        unsigned room = read_capacity - old;
        long got = ReceiveSome(read_buffer + old, room < cap ? room : cap, nullptr, 0, now_only);
        if (got > 0) {
            CountRead(got);
            read_pending = old + static_cast<unsigned>(got);
            DrainTls();
        }
        return static_cast<int>(got);
    }

    unsigned want = static_cast<unsigned>(len) - served;
    unsigned direct = want < cap ? want : cap;
    // Bytes beyond the request that arrive with it wait in the read buffer
    // (empty at this point), as far as its kept memory reaches.
    unsigned spare = 0;
    if (!ssl && direct < cap && read_capacity > 0)
        spare = cap - direct < read_capacity ? cap - direct : read_capacity;
    long got = ReceiveSome(buf + served, direct, read_buffer, spare, now_only);
    if (got > 0) {
        CountRead(got);
        if (static_cast<unsigned long>(got) > direct) {
            read_pending = static_cast<unsigned>(got) - direct;
            served += direct;
        } else {
            served += static_cast<unsigned>(got);
        }
        DrainTls();
    }
    if (served == 0)
        return static_cast<int>(got);
    int result = static_cast<int>(served);
    if (CallBackEvent(SOCKET_EVENT_READ, result, buf) == -1)
        result = -1;
    if (got == -1)
        CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
    return result;
}

int Socket::GetLine(char* dst, int max, int wait_seconds) {
    unsigned limit = SOCKET_LINE_LIMIT;
    if (max > 0 && static_cast<unsigned>(max) > limit)
        limit = static_cast<unsigned>(max);
    unsigned searched = 0;
    bool was_buffered = true;
    int last = 0;
    char* line_feed = nullptr;
    for (;;) {
        if (read_pending > searched)
            line_feed = static_cast<char*>(
                memchr(read_buffer + searched, '\n', read_pending - searched));
        if (line_feed != nullptr)
            break;
        searched = read_pending;
        if (searched >= limit) {
            putlog(LOG_WARNING, "socket: line without end after %u bytes refused", searched);
            return -1;
        }
        was_buffered = false;
        last = Read(nullptr, -1, wait_seconds);
        if (last < 1)
            return last;
    }
    unsigned line_length = static_cast<unsigned>(line_feed - read_buffer) + 1;
    int result;
    if (max == -1) {
        result = was_buffered ? 0 : last;
    } else if (max <= 0) {
        result = 0;
    } else {
        result = static_cast<int>(CopyLine(dst, static_cast<unsigned>(max), read_buffer, line_length));
    }
    Consume(0, line_length);
    return result;
}

unsigned Socket::CopyLine(char* dst, unsigned max, const char* line, unsigned line_length) {
    unsigned copied = line_length < max ? line_length : max;
    memcpy(dst, line, copied);
    dst[copied == max ? max - 1 : copied] = '\0';
    return copied;
}

int Socket::Write(const char* buf, int len) {
    QuickAckOnce();

    long drained = 0;
    if (write_pending > 0 && !frozen && len > 0 && !ssl && write_rate == nullptr) {
        // Queued bytes and the new ones leave in one system call (and, on a
        // small answer, one segment): the header held back for the body.
        unsigned queued = write_pending;
        return SettleWrite(SendPair(write_buffer, queued, buf, static_cast<unsigned>(len)), queued,
                           buf, len);
    }
    if (write_pending > 0 && !frozen) {
        unsigned allowance = Throttle(1);
        unsigned amount = allowance != 0 && allowance < write_pending ? allowance : write_pending;
        drained = SendSome(write_buffer, amount);
        if (drained > 0) {
            CountWritten(drained);
            Consume(1, static_cast<unsigned>(drained));
        } else if (drained == -1 && errno == EAGAIN) {
            drained = 0; // still queued, nothing lost
        }
    }

    if (len == -1) {
        if (drained == -1) {
            CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            return -1;
        }
        CallBackEvent(SOCKET_EVENT_WRITE, -1, const_cast<char*>(buf));
        return static_cast<int>(drained);
    }

    if (write_pending > 0 || frozen) {
        Append(1, buf, static_cast<unsigned>(len));
        CallBackEvent(SOCKET_EVENT_WRITE, len, const_cast<char*>(buf));
        return 0;
    }

    if (len == 0) {
        CallBackEvent(SOCKET_EVENT_WRITE, 0, const_cast<char*>(buf));
        return 0;
    }

    unsigned allowance = Throttle(1);
    unsigned amount = allowance != 0 && allowance < static_cast<unsigned>(len)
                          ? allowance
                          : static_cast<unsigned>(len);
    return SettleWrite(SendSome(buf, amount), 0, buf, len);
}

int Socket::SettleWrite(long sent, unsigned queued, const char* buf, int len) {
    if (sent == -1 && errno != EAGAIN) {
        int error = errno;
        putlog(LOG_ERROR, "[socket write.2:%d] %s", error, strerror(error));
        CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        return -1;
    }
    if (sent < 0)
        sent = 0; // would block: everything is queued
    if (sent > 0)
        CountWritten(sent);
    unsigned from_queue = static_cast<unsigned long>(sent) < queued ? static_cast<unsigned>(sent)
                                                                    : queued;
    if (from_queue > 0)
        Consume(1, from_queue);
    unsigned from_buf = static_cast<unsigned>(sent) - from_queue;
    if (from_buf < static_cast<unsigned>(len))
        Append(1, buf + from_buf, static_cast<unsigned>(len) - from_buf);
    CallBackEvent(SOCKET_EVENT_WRITE, len, const_cast<char*>(buf));
    return static_cast<int>(from_buf);
}

int Socket::PutSock(const char* format, ...) {
    char text[8192];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0)
        return -1;
    if (length > static_cast<int>(sizeof text) - 1)
        length = static_cast<int>(sizeof text) - 1;
    return Write(text, length);
}

int Socket::Flush() {
    frozen = false;
    SetBlockingMode(!hung_up);
    NoDelayOnce();
    while (write_pending > 0) {
        // Blocking sends always make progress or fail; in non-blocking mode
        // a send that moves nothing ends the attempt (the bytes stay queued).
        if (Write(nullptr, -1) <= 0)
            break;
    }
    return 0;
}

int Socket::WriteFilebuf(const Filebuf* buffer) {
    QuickAckOnce();
    NoDelayOnce();
    int result = Write(buffer->data, static_cast<int>(buffer->size));
    Flush();
    return result;
}

// ---- TLS --------------------------------------------------------------------

// Drives the client handshake on a non-blocking descriptor, waiting at most
// `seconds` in all (-1: no limit). Returns NULL on success, else the reason.
static const char* tls_handshake(SSL* session, int fd, int seconds) {
    struct timeval begin = monotonic_now();
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(session);
        if (result == 1)
            return nullptr;
        int error = SSL_get_error(session, result);
        short events;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        else {
            long verify = SSL_get_verify_result(session);
            if (verify != X509_V_OK)
                return X509_verify_cert_error_string(verify);
            unsigned long code = ERR_peek_last_error();
            if (code != 0 && ERR_reason_error_string(code) != nullptr)
                return ERR_reason_error_string(code);
            return "connection closed during the handshake";
        }
        int wait_ms = -1;
        if (seconds >= 0) {
            struct timeval now = monotonic_now();
            int64_t left = static_cast<int64_t>(seconds) * 1000 - timeval_diff_ms(&begin, &now);
            if (left <= 0)
                return "handshake timed out";
            wait_ms = static_cast<int>(left);
        }
        struct pollfd entry = {fd, events, 0};
        int ready = poll(&entry, 1, wait_ms);
        if (ready == 0)
            return "handshake timed out";
        if (ready == -1 && errno != EINTR)
            return strerror(errno);
    }
}

bool Socket::Encrypt(int mode, const char* host, int wait_seconds) {
    if (mode != 1 || ssl)
        return false;
    if (host == nullptr || host[0] == '\0') {
        putlog(LOG_ERROR, "socket: TLS refused: no server name to verify");
        return false;
    }
    SSL_CTX* context = shared_tls_context();
    if (context == nullptr)
        return false;
    SSL* session = SSL_new(context);
    if (session == nullptr) {
        putlog(LOG_ERROR, "socket: cannot create a TLS session: %s",
               ERR_reason_error_string(ERR_get_error()));
        ERR_clear_error();
        SSL_CTX_free(context);
        return false;
    }
    SSL_set_connect_state(session);
    SSL_set_fd(session, fd);
    SSL_set_hostflags(session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool names_set;
    if (isip(host)) {
        // An address is checked against the certificate's IP entries and is
        // never sent as SNI.
        names_set = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session), host) == 1;
    } else {
        names_set = SSL_set_tlsext_host_name(session, host) == 1 && SSL_set1_host(session, host) == 1;
    }

    const char* failure = names_set ? nullptr : "cannot set the server name";
    int saved_flags = fcntl(fd, F_GETFL);
    if (failure == nullptr && saved_flags == -1)
        failure = strerror(errno);
    if (failure == nullptr) {
        // OpenSSL reads and writes the descriptor itself: from here on the
        // mode lives on the descriptor, as the socket had it so far.
        if (mode_applied == MODE_PER_CALL && mode_blocking == 0)
            saved_flags |= O_NONBLOCK;
        mode_applied = MODE_DESCRIPTOR;
        fcntl(fd, F_SETFL, saved_flags | O_NONBLOCK);
        failure = tls_handshake(session, fd, wait_seconds);
        fcntl(fd, F_SETFL, saved_flags);
        mode_blocking = (saved_flags & O_NONBLOCK) ? 0 : 1;
    }
    if (failure != nullptr) {
        putlog(LOG_ERROR, "socket: TLS connection to %s failed: %s", host, failure);
        ERR_clear_error();
        SSL_free(session);
        SSL_CTX_free(context);
        return false;
    }
    ssl_handle = session;
    ssl_context = context;
    ssl = 1;
    tls_retry = 0;
    return true;
}

// ---- Timing and callbacks ---------------------------------------------------

void Socket::Set_start() { gettimeofday(&start, nullptr); }

int Socket::Get_delay() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<int>(timeval_diff_ms(&start, &now));
}

int Socket::CallBackAdd(socket_callback_t function, void* argument, int mask) {
    callbacks.emplace_back(function, argument);
    callbacks.back().id = next_callback_id++;
    callbacks.back().mask = mask;
    return callbacks.back().id;
}

int Socket::CallBackRemove(int id) {
    for (auto entry = callbacks.begin(); entry != callbacks.end(); ++entry)
        if (entry->id == id) {
            callbacks.erase(entry);
            return 1;
        }
    FATAL("src/socket");
}

int Socket::CallBackMaskGet(int id) {
    for (SocketCallBack& entry : callbacks)
        if (entry.id == id)
            return entry.mask;
    FATAL("src/socket");
}

void Socket::CallBackMaskSet(int id, int mask) {
    for (SocketCallBack& entry : callbacks)
        if (entry.id == id) {
            entry.mask = mask;
            return;
        }
    FATAL("src/socket");
}

int Socket::CallBackEvent(int event, int len, char* data) {
    for (SocketCallBack& entry : callbacks)
        if ((entry.mask & event) != 0 && entry.Call(static_cast<unsigned>(len), data) == -1)
            return -1;
    return 0;
}
