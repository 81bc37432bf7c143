// Socket: the one buffered TCP socket through which the proxy talks to every
// peer (browsers, origin servers, parent proxies, SOCKS and ICAP servers,
// scanner daemons), and LimitGroup, a byte-rate budget shared by sockets.
//
// Contract:
// - A Socket owns its descriptor (closed by the destructor, -1 = none), a
//   read buffer (bytes received and not yet consumed: line reading and
//   push-back need it) and a write buffer (bytes accepted by Write that could
//   not be sent yet, or that wait while the socket is frozen). No byte that
//   Write accepted (result 0 or more) is ever dropped: what is not sent now
//   goes out with a later Write or Flush.
// - Both buffers grow and shrink in steps of SOCKET_BUFFER_STEP bytes: the
//   capacity is the pending count rounded up to the step, except that an
//   emptied buffer of at most one step is kept for reuse.
// - A Socket has no lock: only the thread that owns it at the moment (the
//   worker of its connection, or the server pool while parked) uses it.
// - LimitGroups are shared between sockets of many threads: their holder
//   count is atomic (core/atom.h), their window changes only under their
//   own mutex.
// - Client-side TLS (Encrypt) verifies the server's certificate chain
//   against the system's CA store and its name against the host the caller
//   connected to, and sends that name as SNI. All sessions share one
//   SSL_CTX. A peer that closes without close_notify ends the data like a
//   clean close.
// - Change the descriptor's blocking mode only through Blocking() (or
//   Flush), so the socket knows which mode it is in and can skip fcntl calls
//   that would change nothing.
// - Byte counters are 64-bit; the destructor adds them to the statistics
//   group "network" and the performance log.
#pragma once

#include <openssl/ssl.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#include <list>

#include "core/atom.h"

class Filebuf;

// Event codes, each also a mask bit of SocketCallBack::mask.
enum {
    SOCKET_EVENT_READ = 1,  // bytes delivered to a reader
    SOCKET_EVENT_WRITE = 2, // a write request
    SOCKET_EVENT_ERROR = 4, // a read or write failure
};

// Buffer sizes are multiples of this many bytes.
constexpr unsigned SOCKET_BUFFER_STEP = 65536;

// GetLine gives up on a line that holds no line feed after this many bytes
// (or after its `max`, when that is larger): one client sending an endless
// line cannot make the read buffer grow without bound.
constexpr unsigned SOCKET_LINE_LIMIT = 65536;

// Seconds Encrypt waits for the TLS handshake when the caller names none.
constexpr int SOCKET_TLS_HANDSHAKE_TIMEOUT = 60;

typedef int (*socket_callback_t)(void* argument, unsigned length, char* data);

struct SocketCallBack {
    socket_callback_t function;
    int id;
    int mask;
    void* argument;

    SocketCallBack(socket_callback_t function, void* argument)
        : function(function), id(0), mask(0), argument(argument) {}
    int Call(unsigned length, char* data) { return function(argument, length, data); }
};

// A shared byte-rate budget: `rate` bytes per second, handed out as `quota`
// (= rate / 10) bytes per 100 ms window. The holder count starts at 1 (the
// creator); sockets take further holds through Socket::SetRate, and the
// holder whose Delete returns true destroys the group.
class LimitGroup : public Atom {
public:
    unsigned rate;
    int64_t used;                // bytes counted in the current window
    unsigned quota;              // bytes per 100 ms window
    struct timeval window_start; // monotonic clock
    pthread_mutex_t mutex;

    explicit LimitGroup(unsigned rate);
    ~LimitGroup();
    LimitGroup(const LimitGroup&) = delete;
    LimitGroup& operator=(const LimitGroup&) = delete;

    void Lock() { pthread_mutex_lock(&mutex); }
    void Unlock() { pthread_mutex_unlock(&mutex); }
    // Adds n bytes to the window's count under the mutex; returns the count.
    int64_t Incr(int64_t n);
};

class Socket {
public:
    int ssl;              // 1 while the TLS session is on
    int next_callback_id; // id the next CallBackAdd hands out
    unsigned read_capacity;
    unsigned write_capacity;
    char* read_buffer;  // NULL while read_capacity is 0
    char* write_buffer; // NULL while write_capacity is 0
    std::list<SocketCallBack> callbacks;
    SSL* ssl_handle;
    SSL_CTX* ssl_context; // the shared context; this socket holds a reference
    struct timeval start; // construction or last Set_start
    LimitGroup* read_rate;  // caps reads; NULL = unlimited
    LimitGroup* write_rate; // caps writes; NULL = unlimited
    int fd;
    unsigned read_pending;
    unsigned write_pending;
    uint64_t bytes_read;    // from the peer (TLS plaintext while ssl is on)
    uint64_t bytes_written; // handed to the descriptor or the TLS session
    bool frozen;  // while set, Write only appends to write_buffer
    bool hung_up; // the peer is gone: Flush works in non-blocking mode

    Socket();
    explicit Socket(int fd);
    // Flushes, shuts TLS down, closes the descriptor, drops the rate groups
    // and reports the byte counts.
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // One read. len -1 is buffer mode: the bytes read are appended to the
    // read buffer and the read's own result is returned (bytes appended, 0
    // at end of stream, -1 on failure), without an event. Otherwise buffered
    // bytes are served first, then at most one read from the descriptor;
    // the result is the number of bytes placed in buf (SOCKET_EVENT_READ
    // fires for them), or the read's own result when nothing was placed.
    // timeout: seconds to wait for input when the buffer cannot satisfy the
    // request; -1 = no wait. A time-out or failed wait returns -1 before any
    // buffered byte is taken. A read never loops to fill len: callers loop.
    int Read(char* buf, int len, int timeout);
    int Read(char* buf, int len) { return Read(buf, len, -1); }

    // Reads one line (up to and including its line feed). With max not -1
    // the line is copied into dst, cut to max-1 characters plus a NUL when
    // it is longer (its tail is lost), and the copied count is returned;
    // with max -1 nothing is copied and the result is 0 when the line was
    // already buffered, else the count of the last read. Either way the
    // whole line leaves the read buffer. A read result below 1 is returned
    // as it is; a line with no line feed within SOCKET_LINE_LIMIT (or max)
    // bytes gives -1 and is left in the buffer.
    int GetLine(char* dst, int max, int timeout);
    int GetLine(char* dst, int max) { return GetLine(dst, max, -1); }
    // Copies one line of line_length bytes into dst (max >= 1) as GetLine
    // does: cut to max-1 characters plus a NUL when it does not fit in max,
    // else followed by a NUL; returns the count copied (at most max).
    static unsigned CopyLine(char* dst, unsigned max, const char* line, unsigned line_length);
    // Removes the first len bytes of the read buffer (all of them when len
    // is more), for a caller that read several lines of it in place: the
    // rest moves to the front once, not once per line.
    void TakeBuffered(unsigned len) { Consume(0, len); }

    // Writes len bytes (len -1: only sends what is pending). Returns the
    // bytes sent now; bytes not sent now (partial write, would-block,
    // frozen socket, earlier bytes still pending) are queued and count as
    // accepted, so 0 means "all queued". -1 only on a real failure, after
    // which nothing of this request is queued.
    int Write(const char* buf, int len);
    // Queues bytes without sending them: they go out in front of the next
    // Write, in the same system call on a plain socket, or at the next Flush.
    // The caller makes sure one of the two follows soon.
    void Hold(const char* data, unsigned len);
    // printf-style text (cut to 8191 characters) through Write.
    int PutSock(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Unfreezes and sends every pending byte (blocking mode, or non-blocking
    // when hung_up, where it stops as soon as nothing more can be sent).
    // Returns 0.
    int Flush();
    // Writes the whole buffer with TCP_NODELAY on, then Flush; returns the
    // Write's result.
    int WriteFilebuf(const Filebuf* buffer);

    // True when anything waits to be read: bytes in the read buffer or in
    // the TLS session, or data, the peer's close or an error on the
    // descriptor (looked at without waiting). A kept-alive connection is
    // reused only when this is false: a byte left over belongs to no
    // request that may follow.
    bool InputPending();
    // True when bytes already wait on this side of the descriptor: in the
    // read buffer, or decrypted by OpenSSL. No system call.
    bool BufferedInput() const;
    // True when the peer has closed or reset the connection (looked at
    // without waiting) and no byte of it waits in the read buffer.
    bool PeerClosed();

    // Puts bytes back in front of the read buffer; returns the earlier
    // pending count.
    int PushFront(const char* data, unsigned len);
    // Appends the pending bytes of one buffer (0 read, 1 write) to fb (when
    // not NULL), empties that buffer and releases its memory; returns the
    // number of bytes that were pending.
    int XfertoFilebuf(Filebuf* fb, int side);
    // Pending count 0; the memory is released when above one step.
    void Clear(int side);
    // Makes the pending count of one buffer `size` (see the contract).
    void Resize(unsigned size, int side);

    // true: the socket's reads and writes wait; false: they return at once
    // (EAGAIN) when they cannot go on. Returns 0, or -1 when the mode cannot
    // be set. A plain stream socket keeps its descriptor blocking and takes
    // the mode per call (MSG_DONTWAIT), so that the relays, which set the
    // mode before every read and write, cost no system call for it; a TLS
    // socket and any other descriptor get O_NONBLOCK cleared or set
    // (fcntl), and only when the mode changes.
    int Blocking(bool on);
    void Freeze(bool on) { frozen = on; }
    // Turns TCP_NODELAY on; it stays on, so only the first call asks.
    void NoDelayOnce();

    // Starts client-side TLS (mode 1; any other mode returns false and
    // leaves the socket plain) towards `host`, the name (or IPv4 literal)
    // the caller connected to: the server's certificate must chain to the
    // system's CA store and match that name. Waits at most timeout seconds
    // for the handshake (-1: no limit). On failure (logged) the socket
    // stays plain and the result is false.
    bool Encrypt(int mode, const char* host, int timeout = SOCKET_TLS_HANDSHAKE_TIMEOUT);

    // Replaces both rate groups, dropping the old holds and taking new ones.
    void SetRate(LimitGroup* read, LimitGroup* write);
    // Allowance for the next transfer (0 read, 1 write); 0 = no cap. May
    // sleep until the group's window ends. The caller adds the bytes moved
    // to the same group with Incr.
    unsigned Throttle(int direction);

    void Set_start();
    int Get_delay(); // milliseconds since `start`
    void Set_timeout(int seconds) { timeout = seconds; }
    int Get_timeout() { return timeout; }

    int CallBackAdd(socket_callback_t function, void* argument, int mask);
    int CallBackRemove(int id);
    void CallBackMaskSet(int id, int mask);
    int CallBackMaskGet(int id);
    // Calls every callback whose mask has a bit of event, in registration
    // order; -1 from one stops the walk and is the result; else 0.
    int CallBackEvent(int event, int len, char* data);

private:
    int timeout; // seconds; only through Get_timeout and Set_timeout
    // What this socket last set on its descriptor, so repeated requests
    // cost no system call: -1 unknown, 0 off, 1 on.
    signed char mode_blocking;
    // How the mode is applied: MODE_UNDECIDED until the first Blocking,
    // then MODE_PER_CALL (a plain stream socket, descriptor kept blocking)
    // or MODE_DESCRIPTOR (O_NONBLOCK on the descriptor).
    enum { MODE_UNDECIDED, MODE_PER_CALL, MODE_DESCRIPTOR };
    signed char mode_applied;
    int PerCallFlags() const; // MSG_DONTWAIT when the mode says so
    bool nodelay_on;
    bool quickack_on;
    // Length of a TLS write that must be retried: OpenSSL wants the retry
    // to offer at least as many of the same bytes.
    unsigned tls_retry;

    void Init(int descriptor);
    char*& Buffer(int side) { return side == 0 ? read_buffer : write_buffer; }
    unsigned& Capacity(int side) { return side == 0 ? read_capacity : write_capacity; }
    unsigned& Pending(int side) { return side == 0 ? read_pending : write_pending; }
    void Append(int side, const char* data, unsigned len);
    void Consume(int side, unsigned len);
    bool SetBlockingMode(bool blocking);
    void QuickAckOnce();
    long SendSome(const char* data, unsigned len);
    long SendPair(const char* first, unsigned first_len, const char* second, unsigned second_len);
    // The end of a Write whose send (`sent`, or -1) offered the first
    // `queued` bytes of the write buffer and then buf: counts what left,
    // keeps the rest queued in order, reports. Returns Write's result.
    int SettleWrite(long sent, unsigned queued, const char* buf, int len);
    // now_only: never wait, whatever the socket's mode (a read whose wait
    // is zero).
    long ReceiveSome(char* data, unsigned len, char* spare, unsigned spare_len,
                     bool now_only = false);
    void DrainTls();
    void CountWritten(long n);
    void CountRead(long n);
    void ReleaseTls();
};
