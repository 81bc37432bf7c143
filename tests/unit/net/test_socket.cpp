// Socket: buffering, line reading, writing with queued bytes, callbacks,
// rate groups and byte counters, against a real socket pair.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include "core/filebuf.h"
#include "net/socket.h"
#include "support/net_test_support.h"

using nettest::Pair;

namespace {

class SocketTest : public nettest::NetTest {};

struct EventLog {
    std::vector<std::string> seen;
    int answer = 0;
};

int record_event(void* argument, unsigned length, char* data) {
    EventLog* events = static_cast<EventLog*>(argument);
    int len = static_cast<int>(length);
    events->seen.push_back(std::to_string(len) + ":" +
                           (data != nullptr && len > 0 ? std::string(data, static_cast<size_t>(len))
                                                       : std::string()));
    return events->answer;
}

// Fills the socket's send path until the kernel takes nothing more.
size_t fill_until_full(int fd) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string chunk(65536, 'f');
    size_t total = 0;
    for (;;) {
        ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
    }
    fcntl(fd, F_SETFL, flags);
    return total;
}

double seconds_since(const struct timespec& begin) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - begin.tv_sec) +
           static_cast<double>(now.tv_nsec - begin.tv_nsec) / 1e9;
}

} // namespace

TEST_F(SocketTest, ReadServesBufferedBytesBeforeTheDescriptor) {
    Pair pair;
    Socket sock(pair.take());
    sock.PushFront("0123456789abcdefghijklmno", 25);
    char buf[32] = {};
    // No byte waits on the descriptor: the buffer alone answers at once.
    EXPECT_EQ(sock.Read(buf, 10, 1), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(sock.read_pending, 15u);

    // A request larger than the buffer waits; a time-out takes nothing.
    EXPECT_EQ(sock.Read(buf, 20, 1), -1);
    EXPECT_EQ(sock.read_pending, 15u);

    // Once bytes arrive, the buffered ones come first.
    nettest::send_all(pair.peer, "XYZ");
    EXPECT_EQ(sock.Read(buf, 20, 5), 18);
    EXPECT_EQ(std::string(buf, 18), "abcdefghijklmnoXYZ");
}

TEST_F(SocketTest, PartialBufferThenDescriptorInOneRead) {
    Pair pair;
    Socket sock(pair.take());
    sock.PushFront("abcde", 5);
    nettest::send_all(pair.peer, "fghij");
    char buf[16] = {};
    EXPECT_EQ(sock.Read(buf, 10, 5), 10);
    EXPECT_EQ(std::string(buf, 10), "abcdefghij");
    EXPECT_EQ(sock.read_pending, 0u);
}

TEST_F(SocketTest, BufferModeAppendsAndFiresNoEvent) {
    Pair pair;
    Socket sock(pair.take());
    EventLog events;
    sock.CallBackAdd(record_event, &events, SOCKET_EVENT_READ | SOCKET_EVENT_ERROR);
    sock.PushFront("old", 3);
    nettest::send_all(pair.peer, "new!");
    EXPECT_EQ(sock.Read(nullptr, -1, 5), 4);
    EXPECT_EQ(sock.read_pending, 7u);
    EXPECT_EQ(std::string(sock.read_buffer, 7), "oldnew!");
    EXPECT_TRUE(events.seen.empty());

    char buf[8] = {};
    EXPECT_EQ(sock.Read(buf, 7), 7);
    ASSERT_EQ(events.seen.size(), 1u);
    EXPECT_EQ(events.seen[0], "7:oldnew!");
}

TEST_F(SocketTest, SurplusOfAReadWaitsForTheNextOne) {
    Pair pair;
    Socket sock(pair.take());
    // A buffer that was used once is kept (one step) and takes the surplus.
    nettest::send_all(pair.peer, "x");
    ASSERT_EQ(sock.Read(nullptr, -1, 5), 1);
    char one;
    ASSERT_EQ(sock.Read(&one, 1), 1);
    ASSERT_EQ(sock.read_capacity, SOCKET_BUFFER_STEP);

    std::string sent;
    for (int i = 0; i < 100; i++)
        sent += static_cast<char>('A' + i % 26);
    nettest::send_all(pair.peer, sent);
    char buf[128] = {};
    ASSERT_EQ(sock.Read(buf, 10, 5), 10);
    EXPECT_EQ(sock.read_pending, 90u);
    // The next read is served from the buffer alone.
    pair.close_peer();
    ASSERT_EQ(sock.Read(buf + 10, 90), 90);
    EXPECT_EQ(std::string(buf, 100), sent);
    EXPECT_EQ(sock.Read(buf, 10), 0); // end of stream
}

TEST_F(SocketTest, GetLineCutsLongLinesButConsumesThem) {
    Pair pair;
    Socket sock(pair.take());
    nettest::send_all(pair.peer, "abcdefghij\nsecond\r\nthird\n");
    char line[64];
    EXPECT_EQ(sock.GetLine(line, 8, 5), 8);
    EXPECT_STREQ(line, "abcdefg");
    EXPECT_EQ(sock.GetLine(line, sizeof line, 5), 8);
    EXPECT_STREQ(line, "second\r\n");
    // Without a destination: 0 when the line was already buffered.
    EXPECT_EQ(sock.GetLine(nullptr, -1, 5), 0);
    EXPECT_EQ(sock.read_pending, 0u);
    pair.close_peer();
    EXPECT_EQ(sock.GetLine(line, sizeof line, 5), 0);
}

TEST_F(SocketTest, GetLineRefusesAnEndlessLine) {
    Pair pair;
    Socket sock(pair.take());
    std::thread flood([fd = pair.peer] {
        std::string chunk(16384, 'a');
        for (int i = 0; i < 64; i++) // 1 MiB, never a line feed
            if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0)
                break;
    });
    char line[16384];
    EXPECT_EQ(sock.GetLine(line, 16382, 5), -1);
    // What was taken in stays bounded by the cap and one read.
    EXPECT_LE(sock.read_pending, SOCKET_LINE_LIMIT + BLOCKSIZE);
    EXPECT_LE(sock.read_capacity, SOCKET_LINE_LIMIT + BLOCKSIZE + SOCKET_BUFFER_STEP);
    EXPECT_NE(log().find("warning: socket: line without end after"), std::string::npos);
    shutdown(sock.fd, SHUT_RDWR); // the flood's blocked send fails now
    flood.join();
}

TEST_F(SocketTest, FrozenWritesWaitForFlush) {
    Pair pair;
    Socket sock(pair.take());
    EventLog events;
    sock.CallBackAdd(record_event, &events, SOCKET_EVENT_WRITE);
    sock.Freeze(true);
    EXPECT_EQ(sock.Write("abc", 3), 0);
    EXPECT_EQ(sock.Write("def", 3), 0);
    EXPECT_EQ(sock.write_pending, 6u);
    ASSERT_EQ(events.seen.size(), 2u);
    EXPECT_EQ(events.seen[0], "3:abc");
    char probe[8];
    EXPECT_EQ(recv(pair.peer, probe, sizeof probe, MSG_DONTWAIT), -1); // nothing sent
    EXPECT_EQ(sock.Flush(), 0);
    EXPECT_FALSE(sock.frozen);
    EXPECT_EQ(sock.write_pending, 0u);
    EXPECT_EQ(nettest::read_until(pair.peer, "abcdef", 5), "abcdef");
}

// A write that would block keeps its bytes queued and says so (0): the
// caller must neither send them again nor give them up.
TEST_F(SocketTest, WouldBlockWriteIsQueuedNotFailed) {
    Pair pair;
    int fd = pair.take();
    Socket sock(fd);
    ASSERT_EQ(sock.Blocking(false), 0);
    size_t filler = fill_until_full(fd);
    ASSERT_GT(filler, 0u);

    EventLog events;
    sock.CallBackAdd(record_event, &events, SOCKET_EVENT_ERROR);
    std::string first(1000, '1'), second(500, '2');
    EXPECT_EQ(sock.Write(first.data(), static_cast<int>(first.size())), 0);
    EXPECT_EQ(sock.write_pending, 1000u);
    // Further bytes queue behind the first ones; draining finds no room yet.
    EXPECT_EQ(sock.Write(second.data(), static_cast<int>(second.size())), 0);
    EXPECT_EQ(sock.Write(nullptr, -1), 0);
    EXPECT_EQ(sock.write_pending, 1500u);
    EXPECT_TRUE(events.seen.empty());

    std::string received;
    std::thread reader([&] { received = nettest::read_until_close(pair.peer, 5); });
    sock.Flush();
    EXPECT_EQ(sock.write_pending, 0u);
    shutdown(sock.fd, SHUT_WR);
    reader.join();
    EXPECT_EQ(received, std::string(filler, 'f') + first + second);
}

// A held header leaves with the next Write in one system call, both counted;
// when the peer takes only part, the rest of both stays queued in order and
// the held buffer stays as small as the header (no 64 KiB step).
TEST_F(SocketTest, HeldBytesLeaveWithTheNextWriteInOrder) {
    {
        Pair pair;
        Socket sock(pair.take());
        sock.Hold("HEAD", 4);
        EXPECT_EQ(sock.write_pending, 4u);
        EXPECT_LT(sock.write_capacity, SOCKET_BUFFER_STEP);
        EXPECT_EQ(sock.bytes_written, 0u);
        EXPECT_EQ(sock.Write("body", 4), 4); // the new bytes sent now
        EXPECT_EQ(sock.write_pending, 0u);
        EXPECT_EQ(sock.bytes_written, 8u);
        char got[16] = {};
        EXPECT_EQ(recv(pair.peer, got, sizeof got, MSG_DONTWAIT), 8);
        EXPECT_STREQ(got, "HEADbody");
    }
    Pair pair;
    int fd = pair.take();
    Socket sock(fd);
    ASSERT_EQ(sock.Blocking(false), 0);
    size_t filler = fill_until_full(fd);
    std::string head(300, 'h'), body(5000, 'b');
    sock.Hold(head.data(), static_cast<unsigned>(head.size()));
    EXPECT_EQ(sock.Write(body.data(), static_cast<int>(body.size())), 0); // all queued
    EXPECT_EQ(sock.write_pending, 5300u);
    std::string received;
    std::thread reader([&] { received = nettest::read_until_close(pair.peer, 5); });
    sock.Flush();
    shutdown(sock.fd, SHUT_WR);
    reader.join();
    EXPECT_EQ(received, std::string(filler, 'f') + head + body);
}

// The mode of a stream socket holds per call: a non-blocking read of an
// empty socket returns at once while its descriptor stays blocking (no
// fcntl for each switch), and a blocking one waits for the bytes. A
// descriptor that is no socket gets the mode on the descriptor itself.
TEST_F(SocketTest, ModeOfAStreamSocketHoldsPerCall) {
    Pair pair;
    Socket sock(pair.take());
    ASSERT_EQ(sock.Blocking(false), 0);
    EXPECT_EQ(fcntl(sock.fd, F_GETFL) & O_NONBLOCK, 0);
    char got[8];
    errno = 0;
    EXPECT_EQ(sock.Read(got, sizeof got), -1);
    EXPECT_EQ(errno, EAGAIN);

    ASSERT_EQ(sock.Blocking(true), 0);
    std::thread writer([&] {
        usleep(100000);
        nettest::send_all(pair.peer, "late");
    });
    EXPECT_EQ(sock.Read(got, 4), 4);
    writer.join();
    EXPECT_EQ(std::string(got, 4), "late");

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    Socket piped(pipe_ends[0]);
    ASSERT_EQ(piped.Blocking(false), 0);
    EXPECT_EQ(fcntl(pipe_ends[0], F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    ASSERT_EQ(piped.Blocking(true), 0);
    EXPECT_EQ(fcntl(pipe_ends[0], F_GETFL) & O_NONBLOCK, 0);
    close(pipe_ends[1]);
}

// A zero wait never blocks, even on a socket in blocking mode: nothing
// waiting is -1 at once, waiting bytes are read (into the buffer or the
// caller's area), and a closed peer is 0.
TEST_F(SocketTest, ZeroWaitReadNeverBlocks) {
    Pair pair;
    Socket sock(pair.take());
    ASSERT_EQ(sock.Blocking(true), 0);
    struct timespec begin;
    clock_gettime(CLOCK_MONOTONIC, &begin);
    EXPECT_EQ(sock.Read(nullptr, -1, 0), -1);
    char got[8];
    EXPECT_EQ(sock.Read(got, sizeof got, 0), -1);
    EXPECT_LT(seconds_since(begin), 0.5);

    nettest::send_all(pair.peer, "GET /");
    for (int tries = 0; tries < 100 && sock.read_pending == 0; tries++)
        if (sock.Read(nullptr, -1, 0) <= 0)
            usleep(10000);
    ASSERT_EQ(sock.read_pending, 5u);
    nettest::send_all(pair.peer, "x");
    usleep(20000);
    EXPECT_EQ(sock.Read(got, 6, 0), 6);
    EXPECT_EQ(std::string(got, 6), "GET /x");

    close(pair.peer);
    pair.peer = -1;
    EXPECT_EQ(sock.Read(nullptr, -1, 0), 0);
}

TEST_F(SocketTest, FailedWriteQueuesNothing) {
    Pair pair;
    Socket sock(pair.take());
    EventLog events;
    sock.CallBackAdd(record_event, &events, SOCKET_EVENT_ERROR);
    pair.close_peer();
    EXPECT_EQ(sock.Write("lost", 4), -1);
    EXPECT_EQ(sock.write_pending, 0u);
    ASSERT_EQ(events.seen.size(), 1u);
    EXPECT_EQ(events.seen[0], "-1:");
    EXPECT_NE(log().find("error: [socket write.2:32] Broken pipe"), std::string::npos);
}

TEST_F(SocketTest, PutSockCutsAt8191Characters) {
    Pair pair;
    Socket sock(pair.take());
    std::string text(10000, 'p');
    EXPECT_EQ(sock.PutSock("%s", text.c_str()), 8191);
    sock.Flush();
    shutdown(sock.fd, SHUT_WR);
    EXPECT_EQ(nettest::read_until_close(pair.peer, 5).size(), 8191u);
}

TEST_F(SocketTest, BuffersKeepOneStepAndReleaseLarger) {
    Socket sock;
    sock.Resize(100, 0);
    EXPECT_EQ(sock.read_capacity, SOCKET_BUFFER_STEP);
    sock.Clear(0);
    EXPECT_EQ(sock.read_capacity, SOCKET_BUFFER_STEP); // kept for reuse
    EXPECT_NE(sock.read_buffer, nullptr);

    sock.Resize(131072, 1);
    EXPECT_EQ(sock.write_capacity, 131072u);
    sock.Resize(70000, 1); // still within one step of the size: unchanged
    EXPECT_EQ(sock.write_capacity, 131072u);
    EXPECT_EQ(sock.write_pending, 70000u);
    sock.Resize(10, 1);
    EXPECT_EQ(sock.write_capacity, SOCKET_BUFFER_STEP);
    sock.Resize(131072, 1);
    sock.Clear(1);
    EXPECT_EQ(sock.write_capacity, 0u);
    EXPECT_EQ(sock.write_buffer, nullptr);
}

TEST_F(SocketTest, PushFrontAndTransferToFilebuf) {
    Socket sock;
    sock.PushFront("world", 5);
    EXPECT_EQ(sock.PushFront("hello ", 6), 5);
    Filebuf fb;
    fb.Add(">", 1);
    EXPECT_EQ(sock.XfertoFilebuf(&fb, 0), 11);
    EXPECT_EQ(std::string(fb.data, fb.size), ">hello world");
    EXPECT_EQ(sock.read_pending, 0u);
    EXPECT_EQ(sock.read_capacity, 0u); // memory released
    EXPECT_EQ(sock.XfertoFilebuf(nullptr, 1), 0);
}

TEST_F(SocketTest, CallbacksRunInOrderByMaskAndStopAtMinusOne) {
    Socket sock;
    EventLog a, b, c;
    int ida = sock.CallBackAdd(record_event, &a, SOCKET_EVENT_READ);
    int idb = sock.CallBackAdd(record_event, &b, SOCKET_EVENT_READ | SOCKET_EVENT_WRITE);
    int idc = sock.CallBackAdd(record_event, &c, SOCKET_EVENT_READ);
    EXPECT_EQ(ida, 0);
    EXPECT_EQ(idb, 1);
    EXPECT_EQ(idc, 2);

    char data[] = "xy";
    EXPECT_EQ(sock.CallBackEvent(SOCKET_EVENT_WRITE, 2, data), 0);
    EXPECT_TRUE(a.seen.empty());
    EXPECT_EQ(b.seen.size(), 1u);

    b.answer = -1;
    EXPECT_EQ(sock.CallBackEvent(SOCKET_EVENT_READ, 2, data), -1);
    EXPECT_EQ(a.seen.size(), 1u);
    EXPECT_EQ(b.seen.size(), 2u);
    EXPECT_TRUE(c.seen.empty()); // the walk stopped at b

    EXPECT_EQ(sock.CallBackRemove(idb), 1);
    sock.CallBackMaskSet(ida, SOCKET_EVENT_ERROR);
    EXPECT_EQ(sock.CallBackMaskGet(ida), SOCKET_EVENT_ERROR);
    EXPECT_EQ(sock.CallBackEvent(SOCKET_EVENT_READ, 2, data), 0);
    EXPECT_EQ(a.seen.size(), 1u);
    EXPECT_EQ(c.seen.size(), 1u);
}

TEST_F(SocketTest, UnknownCallbackIdIsFatal) {
    Socket sock;
    sock.CallBackAdd(record_event, nullptr, SOCKET_EVENT_READ);
    EXPECT_EXIT(sock.CallBackRemove(5), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(sock.CallBackMaskGet(5), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(sock.CallBackMaskSet(5, 1), ::testing::ExitedWithCode(1), "");
}

TEST_F(SocketTest, ThrottleHandsOutTheWindowQuota) {
    LimitGroup* group = new LimitGroup(10000);
    EXPECT_EQ(group->quota, 1000u);
    Socket sock;
    sock.SetRate(nullptr, group);
    EXPECT_EQ(sock.Throttle(0), 0u); // no read group: no cap
    EXPECT_EQ(sock.Throttle(1), 1000u);
    group->Incr(400);
    EXPECT_EQ(sock.Throttle(1), 600u);

    // The window's budget is spent: the next transfer waits for its end.
    group->Incr(600);
    struct timespec begin;
    clock_gettime(CLOCK_MONOTONIC, &begin);
    EXPECT_EQ(sock.Throttle(1), 1000u);
    EXPECT_GE(seconds_since(begin), 0.05);
    EXPECT_EQ(group->used, 0);

    // Below 10 bytes a second the quota is 0: no cap on the size.
    LimitGroup* slow = new LimitGroup(5);
    EXPECT_EQ(slow->quota, 0u);
    sock.SetRate(slow, nullptr);
    EXPECT_EQ(sock.Throttle(0), 0u);
    bool last_group = group->Delete();
    bool last_slow = slow->Delete();
    EXPECT_TRUE(last_group); // the socket let go of it already
    delete group;
    EXPECT_FALSE(last_slow);
}

// The window arithmetic is 64-bit: a window that began long ago is over,
// whatever the distance, and costs no sleep.
TEST_F(SocketTest, LongPastWindowIsOverAtOnce) {
    LimitGroup* group = new LimitGroup(10000);
    Socket sock;
    sock.SetRate(group, nullptr);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    for (time_t ago : {5000L, 3000000L}) {
        group->used = 5000; // far beyond the quota
        group->window_start.tv_sec = now.tv_sec - ago;
        group->window_start.tv_usec = 0;
        struct timespec begin;
        clock_gettime(CLOCK_MONOTONIC, &begin);
        EXPECT_EQ(sock.Throttle(0), 1000u);
        EXPECT_EQ(group->used, 0);
        EXPECT_LT(seconds_since(begin), 0.05) << ago;
    }
    group->Delete();
}

// Reads need no scratch area of BLOCKSIZE bytes on the stack: a huge
// BLOCKSIZE on a small worker stack still reads correctly.
TEST_F(SocketTest, ReadsFitASmallStackWhateverTheBlocksize) {
    BLOCKSIZE = 64u << 20;
    Pair pair;
    Socket sock(pair.take());
    nettest::send_all(pair.peer, "first line\nsecond part");
    struct Work {
        Socket* sock;
        std::string line, rest;
    } work{&sock, "", ""};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t reader;
    ASSERT_EQ(pthread_create(&reader, &attributes, [](void* arg) -> void* {
        Work* work = static_cast<Work*>(arg);
        char line[64];
        if (work->sock->GetLine(line, sizeof line, 5) > 0)
            work->line = line;
        char rest[64];
        int n = work->sock->Read(rest, 11, 5);
        if (n > 0)
            work->rest.assign(rest, static_cast<size_t>(n));
        return nullptr;
    }, &work), 0);
    pthread_join(reader, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(work.line, "first line\n");
    EXPECT_EQ(work.rest, "second part");
}

TEST_F(SocketTest, RateGroupsCapReadsAndWrites) {
    Pair pair;
    Socket sock(pair.take());
    LimitGroup* group = new LimitGroup(20000); // 2000 bytes per window
    sock.SetRate(group, group);
    std::string data(5000, 'r');
    nettest::send_all(pair.peer, data);
    char buf[5000];
    ASSERT_TRUE(nettest::wait_until([&] {
        unsigned long unread = 0;
        return net_get_unread(sock.fd, &unread) == 0 && unread == 5000;
    }));
    EXPECT_EQ(sock.Read(buf, 5000, 5), 2000);

    std::string out(5000, 'w');
    EXPECT_EQ(sock.Write(out.data(), 5000), 2000);
    EXPECT_EQ(sock.write_pending, 3000u);
    sock.Flush(); // the rest goes out window by window
    EXPECT_EQ(sock.write_pending, 0u);
    EXPECT_EQ(sock.bytes_written, 5000u);
    EXPECT_EQ(nettest::read_until(pair.peer, out, 5), out);
    group->Delete();
}

TEST_F(SocketTest, ReattachingTheOnlyHeldGroupKeepsIt) {
    LimitGroup* group = new LimitGroup(1000);
    Socket* sock = new Socket();
    sock->SetRate(group, group);
    group->Delete(); // the creator lets go: the socket holds it twice
    EXPECT_EQ(group->count, 2);
    sock->SetRate(group, group);
    EXPECT_EQ(group->count, 2);
    EXPECT_EQ(sock->Throttle(0), 100u); // still alive and usable
    delete sock;                        // the last holder destroys it
}

TEST_F(SocketTest, ByteCountsAreReportedIn64Bits) {
    Socket* sock = new Socket();
    sock->bytes_written = 5000000000ull;
    sock->bytes_read = 4294967296ull + 7;
    delete sock;
    EXPECT_EQ(performance_log->bytes_out.load(), 5000000000ull);
    EXPECT_EQ(performance_log->bytes_in.load(), 4294967303ull);
}

TEST_F(SocketTest, OnlyClientModeEncrypts) {
    Pair pair;
    Socket sock(pair.take());
    EXPECT_FALSE(sock.Encrypt(0, "localhost"));
    EXPECT_FALSE(sock.Encrypt(2, "localhost"));
    EXPECT_EQ(sock.ssl, 0);
    EXPECT_EQ(sock.ssl_handle, nullptr);
}
