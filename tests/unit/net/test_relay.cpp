// Relays and body transfer over socket pairs: chunk framing, short bodies
// marked failed, silent and closing peers, the buffer cap, tunnels both
// ways with their idle time-out, and a relay that outlives its client for
// the sake of a shared cache object.
#include <gtest/gtest.h>

#include <thread>

#include "cache/cache.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "http/header_io.h"
#include "net/relay.h"
#include "support/upstream_test_support.h"

using namespace nettest;

namespace {

class RelayTest : public LinkedConnectionFixture {
protected:
    static std::string pattern(size_t n) {
        std::string text(n, '\0');
        for (size_t i = 0; i < n; i++)
            text[i] = static_cast<char>('a' + i % 26);
        return text;
    }
    static Filebuf* buffer_of(const std::string& text) {
        Filebuf* fb = new Filebuf();
        fb->Add(text.data(), static_cast<unsigned>(text.size()));
        return fb;
    }
    bool failed() { return (conn->flags & CONN_TRANSFER_FAILED) != 0; }
};

TEST_F(RelayTest, ChunkedSendFramesBlocksAndEndsWithTheLastChunk) {
    std::string body = pattern(20000);
    std::unique_ptr<Filebuf> fb(buffer_of(body));
    EXPECT_EQ(net_filebuf_send_chunked(fb.get(), conn, SIDE_CLIENT), 20000);
    std::string expected = "2000\r\n" + body.substr(0, 8192) + "\r\n2000\r\n" +
                           body.substr(8192, 8192) + "\r\ne20\r\n" + body.substr(16384) +
                           "\r\n0\r\n\r\n";
    EXPECT_EQ(read_until(client_link.peer, "0\r\n\r\n", 5), expected);
    EXPECT_FALSE(failed());

    std::unique_ptr<Filebuf> part(buffer_of("abc"));
    EXPECT_EQ(net_filebuf_send_chunked_p(part.get(), conn, SIDE_SERVER), 3);
    EXPECT_EQ(read_until(server_link.peer, "abc\r\n", 5), "3\r\nabc\r\n");
}

TEST_F(RelayTest, ChunkedSendToAGonePeerNeverWritesTheLastChunk) {
    client_link.close_peer();
    std::unique_ptr<Filebuf> fb(buffer_of(pattern(50000)));
    EXPECT_LT(net_filebuf_send_chunked(fb.get(), conn, SIDE_CLIENT), 50000);
    EXPECT_TRUE(failed());
    EXPECT_EQ(conn->client_keepalive, 0);
    EXPECT_NE(log().find("chunked send to the client failed"), std::string::npos);
}

TEST_F(RelayTest, NothingGoesToAnAbsentClient) {
    conn->flags |= CONN_NO_CLIENT;
    std::unique_ptr<Filebuf> fb(buffer_of("twelve bytes"));
    EXPECT_EQ(net_filebuf_send(fb.get(), conn, SIDE_CLIENT), 12);
    EXPECT_EQ(net_filebuf_send_chunked(fb.get(), conn, SIDE_CLIENT), 12);
    EXPECT_EQ(read_until_close(client_link.peer, 1), "");
    // The server side is not affected.
    EXPECT_EQ(net_filebuf_send(fb.get(), conn, SIDE_SERVER), 12);
    EXPECT_EQ(read_until(server_link.peer, "bytes", 5), "twelve bytes");
}

TEST_F(RelayTest, PlainSendDeliversMoreThanTheSocketBuffers) {
    std::string body = pattern(3 * 1024 * 1024);
    std::unique_ptr<Filebuf> fb(buffer_of(body));
    std::string got;
    std::thread reader([&] { got = read_until_close(client_link.peer, 5); });
    EXPECT_GE(net_filebuf_send(fb.get(), conn, SIDE_CLIENT), 0);
    delete conn->client;
    conn->client = nullptr;
    reader.join();
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
    EXPECT_FALSE(failed());
}

TEST_F(RelayTest, TransferOfKnownLengthEndingEarlyIsMarkedFailed) {
    send_all(server_link.peer, pattern(400));
    server_link.close_peer();
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, 1000), 400);
    EXPECT_TRUE(failed());
    EXPECT_NE(log().find("network: [IP: 10.0.0.9] transfer failed"), std::string::npos);
    EXPECT_EQ(read_until(client_link.peer, pattern(400), 5), pattern(400));
}

TEST_F(RelayTest, TransferUntilCloseEndsCleanly) {
    std::string body = pattern(100000);
    std::thread writer([&] {
        send_all(server_link.peer, body);
        server_link.close_peer();
    });
    std::string got;
    std::thread reader([&] { got = read_until_close(client_link.peer, 5); });
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, -1), 100000);
    writer.join();
    delete conn->client;
    conn->client = nullptr;
    reader.join();
    EXPECT_FALSE(failed());
    EXPECT_TRUE(got == body);
}

TEST_F(RelayTest, TransferOfExactLengthLeavesTheRestForTheNextMessage) {
    send_all(server_link.peer, "0123456789NEXT");
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, 10), 10);
    EXPECT_FALSE(failed());
    EXPECT_EQ(read_until(client_link.peer, "9", 5), "0123456789");
    char rest[5] = "";
    EXPECT_EQ(conn->server->Read(rest, 4, 1), 4);
    EXPECT_STREQ(rest, "NEXT");
}

// Most of an answer came with its header and waits in the read buffer,
// with room where the header was taken out; the rest is in the socket
// already. The body reaches the client whole and in order, and what follows
// it stays for the next message.
TEST_F(RelayTest, BodyPartlyReadWithItsHeaderArrivesWholeAndInOrder) {
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 33000\r\n\r\n";
    const std::string body = pattern(33000);
    send_all(server_link.peer, header + body.substr(0, 30000));
    while (conn->server->read_pending < header.size() + 30000)
        ASSERT_GT(conn->server->Read(nullptr, -1, 5), 0);
    conn->server->TakeBuffered(static_cast<unsigned>(header.size()));
    send_all(server_link.peer, body.substr(30000) + "NEXT");

    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, 33000), 33000);
    EXPECT_FALSE(failed());
    std::string got;
    char piece[4096];
    while (got.size() < body.size()) {
        struct pollfd entry = {client_link.peer, POLLIN, 0};
        ssize_t n = poll(&entry, 1, 5000) == 1 ? read(client_link.peer, piece, sizeof piece) : 0;
        if (n <= 0)
            break;
        got.append(piece, static_cast<size_t>(n));
    }
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
    char rest[5] = "";
    EXPECT_EQ(conn->server->Read(rest, 4, 1), 4);
    EXPECT_STREQ(rest, "NEXT");
}

TEST_F(RelayTest, TransferToAGoneClientIsMarkedFailed) {
    client_link.close_peer();
    std::thread writer([&] { send_all(server_link.peer, pattern(200000)); });
    net_transfer(conn, SIDE_SERVER, 200000);
    server_link.close_peer();
    writer.join();
    EXPECT_TRUE(failed());
    EXPECT_EQ(conn->client_keepalive, 0);
}

TEST_F(RelayTest, TransferGoesOnWithoutClientForAnotherCacheReader) {
    CACHEMAP object = {};
    object.refcount = 2;
    conn->cachemap = &object;
    conn->flags |= CONN_CACHE_STORE;
    send_all(server_link.peer, pattern(1000));
    std::thread writer([&] {
        read_until(client_link.peer, pattern(1000), 5);
        client_link.close_peer();
        usleep(200000);
        send_all(server_link.peer, pattern(500));
        server_link.close_peer();
    });
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, 1500), 1500);
    writer.join();
    EXPECT_FALSE(failed());
    EXPECT_EQ(conn->client, nullptr);
    EXPECT_TRUE(conn->flags & CONN_NO_CLIENT);
    EXPECT_NE(log().find("allowing transfer with no client to continue"), std::string::npos);
    conn->cachemap = nullptr;
}

TEST_F(RelayTest, TransferStopsWhenTheClientGoesAndNobodyElseWaits) {
    CACHEMAP object = {};
    object.refcount = 1;
    conn->cachemap = &object;
    conn->flags |= CONN_CACHE_STORE;
    client_link.close_peer();
    send_all(server_link.peer, pattern(100));
    std::thread writer([&] {
        usleep(300000);
        send_all(server_link.peer, pattern(100));
    });
    net_transfer(conn, SIDE_SERVER, 5000);
    writer.join();
    EXPECT_TRUE(failed());
    EXPECT_NE(conn->client, nullptr);
    EXPECT_FALSE(conn->flags & CONN_NO_CLIENT);
    conn->cachemap = nullptr;
}

TEST_F(RelayTest, ReadIntoBufferEndings) {
    // A silent peer with an open-ended read: what arrived, success.
    send_all(server_link.peer, "partial");
    Filebuf fb;
    EXPECT_EQ(net_filebuf_read(&fb, conn, SIDE_SERVER, -1), 1);
    EXPECT_EQ(std::string(fb.data, fb.size), "partial");
    EXPECT_FALSE(failed());

    // The exact length, then nothing more is taken.
    send_all(server_link.peer, "abcdefXYZ");
    Filebuf exact;
    EXPECT_EQ(net_filebuf_read(&exact, conn, SIDE_SERVER, 6), 1);
    EXPECT_EQ(std::string(exact.data, exact.size), "abcdef");

    // A known length cut short by a close: failure, marked.
    server_link.close_peer();
    Filebuf short_body;
    EXPECT_EQ(net_filebuf_read(&short_body, conn, SIDE_SERVER, 10), 0);
    EXPECT_EQ(std::string(short_body.data, short_body.size), "XYZ");
    EXPECT_TRUE(failed());
}

TEST_F(RelayTest, ReadUntilCloseGivesZeroWithoutMark) {
    send_all(server_link.peer, "whole");
    server_link.close_peer();
    Filebuf fb;
    EXPECT_EQ(net_filebuf_read(&fb, conn, SIDE_SERVER, -1), 0);
    EXPECT_EQ(std::string(fb.data, fb.size), "whole");
    EXPECT_FALSE(failed());
}

TEST_F(RelayTest, KnownLengthGoneSilentIsMarkedFailed) {
    send_all(client_link.peer, "12345");
    EXPECT_EQ(net_filebuf_read(NULL, conn, SIDE_CLIENT, 10), 0);
    EXPECT_TRUE(failed());
}

TEST_F(RelayTest, BodyOfUnknownLengthIsCappedAtTheBufferLimit) {
    general.maxdownloadbuffer = "100000";
    apply_general();
    std::thread writer([&] {
        send_all(server_link.peer, pattern(300000));
        server_link.close_peer();
    });
    Filebuf fb;
    EXPECT_EQ(net_filebuf_read(&fb, conn, SIDE_SERVER, -1), 0);
    delete conn->server; // the writer stops at the closed socket
    conn->server = nullptr;
    writer.join();
    EXPECT_TRUE(failed());
    EXPECT_LE(fb.size, 100001u);
    EXPECT_NE(log().find("body exceeds the buffer limit of 100000 bytes"), std::string::npos);

    // Chunk by chunk the same cap holds over the whole body.
    conn->flags = 0;
    Pair link;
    delete conn->server;
    conn->server = new Socket(link.take());
    std::thread chunks([&] { send_all(link.peer, pattern(120000)); });
    Filebuf collected;
    int result = 1;
    for (int i = 0; i < 12 && result == 1; i++)
        result = net_filebuf_read(&collected, conn, SIDE_SERVER, 10000);
    delete conn->server;
    conn->server = nullptr;
    chunks.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(failed());

    // A declared length the caller chose to buffer is read whole.
    conn->flags = 0;
    Pair declared;
    delete conn->server;
    conn->server = new Socket(declared.take());
    std::thread body([&] { send_all(declared.peer, pattern(150000)); });
    Filebuf whole;
    EXPECT_EQ(net_filebuf_read(&whole, conn, SIDE_SERVER, 150000), 1);
    body.join();
    EXPECT_EQ(whole.size, 150000u);
}

TEST_F(RelayTest, WhileReadingTheServerClientBytesAreKept) {
    send_all(client_link.peer, "GET /next");
    std::thread writer([&] {
        usleep(100000);
        send_all(server_link.peer, "body");
    });
    Filebuf fb;
    EXPECT_EQ(net_filebuf_read(&fb, conn, SIDE_SERVER, 4), 1);
    writer.join();
    EXPECT_EQ(std::string(fb.data, fb.size), "body");
    char pipelined[10] = "";
    EXPECT_EQ(conn->client->Read(pipelined, 9, 1), 9);
    EXPECT_STREQ(pipelined, "GET /next");
}

TEST_F(RelayTest, CacheSendWritesTheStoredBodyFromTheOffset) {
    char stored[] = "HTTP/1.1 200 OK\r\n\r\nbody-bytes";
    CACHEMAP object = {};
    object.addr = stored;
    object.start = 19;
    object.size = sizeof stored - 1;
    EXPECT_EQ(net_cache_send(&object, conn, SIDE_CLIENT, 5), 5);
    EXPECT_EQ(net_cache_send(&object, conn, SIDE_CLIENT, 99), 0);
    EXPECT_EQ(read_until(client_link.peer, "bytes", 5), "bytes");
}

TEST_F(RelayTest, TunnelRelaysBothWaysUntilOneSideCloses) {
    std::string up = pattern(70000) + "<end of upload>";
    std::string down = pattern(90000) + "<end of download>";
    std::string at_server, at_client;
    std::thread server_side([&] {
        send_all(server_link.peer, down);
        at_server = read_until(server_link.peer, "<end of upload>", 5);
        shutdown(server_link.peer, SHUT_WR);
    });
    std::thread client_side([&] {
        send_all(client_link.peer, up);
        at_client = read_until(client_link.peer, "<end of download>", 5);
    });
    int total = net_proxy(conn, -1);
    server_side.join();
    client_side.join();
    EXPECT_EQ(total, static_cast<int>(up.size() + down.size()));
    EXPECT_TRUE(at_server == up);
    EXPECT_TRUE(at_client == down);
}

TEST_F(RelayTest, IdleTunnelEndsAfterTheTimeout) {
    send_all(client_link.peer, "hello");
    EXPECT_EQ(net_proxy(conn, -1), 5);
    EXPECT_EQ(read_until(server_link.peer, "hello", 2), "hello");
    EXPECT_NE(log().find("tunnel idle for 1 seconds, closed"), std::string::npos);
}

TEST_F(RelayTest, BytesBufferedBeforeTheTunnelGoUpAtOnce) {
    // The client spoke right after its CONNECT: the header reader left those
    // bytes in the client socket's buffer, and nothing more is coming until
    // the server answers them.
    send_all(client_link.peer, "early");
    ASSERT_EQ(conn->client->Read(nullptr, -1), 5);
    std::string at_server, at_client;
    std::thread server_side([&] {
        at_server = read_until(server_link.peer, "early", 3);
        send_all(server_link.peer, "reply");
    });
    std::thread client_side([&] {
        at_client = read_until(client_link.peer, "reply", 4);
        client_link.close_peer();
    });
    net_proxy(conn, -1);
    server_side.join();
    client_side.join();
    EXPECT_EQ(at_server, "early");
    EXPECT_EQ(at_client, "reply");
}

TEST_F(RelayTest, TunnelWithLengthStopsThere) {
    send_all(client_link.peer, "0123456789");
    EXPECT_EQ(net_proxy(conn, 4), 4);
    EXPECT_EQ(read_until(server_link.peer, "3", 2), "0123");
}

TEST_F(RelayTest, NonOkResponseBodyWaitsOneSecond) {
    conn->response = header_new();
    conn->response->status = 404;
    general.timeout = 30;
    apply_general();
    send_all(server_link.peer, "not");
    Filebuf fb;
    // Returns after the one-second wait, not the 30-second I/O time-out:
    // bounded by the test's own time-out.
    EXPECT_EQ(net_filebuf_read(&fb, conn, SIDE_SERVER, 10), 0);
    EXPECT_TRUE(failed());
}

} // namespace
