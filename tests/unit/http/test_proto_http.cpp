// HTTP body functions over socket pairs: chunked bodies relayed and framed
// again, bodies that end early (short length, a server gone between chunks,
// a broken size line) marked failed and never completed towards the
// receiver, trailers consumed, the download allowance counted exactly; and
// the "bypass" URL command's letters.
#include <gtest/gtest.h>

#include <memory>

#include "core/filebuf.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "http/url_commands.h"
#include "net/relay.h"
#include "support/upstream_test_support.h"

using namespace nettest;

namespace {

class HttpBodyTest : public LinkedConnectionFixture {
protected:
    void SetUp() override {
        LinkedConnectionFixture::SetUp();
        conn->request = header_new();
        conn->response = header_new();
    }
    // A connection of its own for one case of a table: client and upstream
    // played through the pairs, an empty response header.
    static CONNECTION_T* case_connection(Pair& client, Pair& server) {
        CONNECTION_T* one = connection_on(client);
        one->server = new Socket(server.take());
        one->response = header_new();
        return one;
    }
    void response_chunked() { conn->response->chunked = 1; }
    void response_length(size_t length) {
        conn->response->flags |= HEADER_HAS_LENGTH;
        conn->response->content_length = length;
    }
    bool failed() { return (conn->flags & CONN_TRANSFER_FAILED) != 0; }
};

TEST_F(HttpBodyTest, ChunkedBodyIsRelayedFramedAgainAndEndsWithTheLastChunk) {
    response_chunked();
    send_all(server_link.peer, "5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\nNEXT");
    EXPECT_EQ(http_transfer(conn, SIDE_SERVER), 11);
    EXPECT_FALSE(failed());
    EXPECT_EQ(read_until(client_link.peer, "0\r\n\r\n", 5),
              "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
    // The trailer was consumed: what follows the body is still there whole.
    char rest[8] = {};
    EXPECT_EQ(conn->server->Read(rest, 4, 2), 4);
    EXPECT_STREQ(rest, "NEXT");
}

// Bodies that end before their end: the transfer fails and a relayed
// chunked body never gets its last chunk.
TEST_F(HttpBodyTest, BodiesEndingEarlyFailAndAreNeverCompleted) {
    struct Case {
        const char* name;
        bool chunked;
        size_t length;
        const char* sent;
    } cases[] = {
        {"server gone between chunks", true, 0, "5\r\nhello\r\n"},
        {"server gone inside a chunk", true, 0, "a\r\nhel"},
        {"size line not hexadecimal", true, 0, "zz\r\nhello\r\n0\r\n\r\n"},
        {"chunk not followed by its line end", true, 0, "5\r\nhelloXX\r\n0\r\n\r\n"},
        {"fewer bytes than announced", false, 100, "only a few"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair client;
        Pair server;
        CONNECTION_T* one = case_connection(client, server);
        one->response->chunked = c.chunked ? 1 : 0;
        if (!c.chunked) {
            one->response->flags |= HEADER_HAS_LENGTH;
            one->response->content_length = c.length;
        }
        send_all(server.peer, c.sent);
        server.close_peer();
        http_transfer(one, SIDE_SERVER);
        EXPECT_TRUE(one->flags & CONN_TRANSFER_FAILED);
        delete one->client;
        one->client = nullptr;
        std::string relayed = read_until_close(client.peer, 5);
        EXPECT_EQ(relayed.find("0\r\n\r\n"), std::string::npos) << relayed;

        // Read into a buffer, the same body is marked short too.
        Pair server2;
        Pair client2;
        CONNECTION_T* two = case_connection(client2, server2);
        http_header_free(two->response);
        two->response = http_header_dup(one->response);
        send_all(server2.peer, c.sent);
        server2.close_peer();
        std::unique_ptr<Filebuf> body(http_transfer_filebuf(two, SIDE_SERVER));
        EXPECT_TRUE(two->flags & CONN_TRANSFER_FAILED);

        release_connection(one);
        release_connection(two);
    }
}

TEST_F(HttpBodyTest, ChunkedBodyIsReadWholeIntoABuffer) {
    response_chunked();
    send_all(server_link.peer, "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
    std::unique_ptr<Filebuf> body(http_transfer_filebuf(conn, SIDE_SERVER));
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(std::string(body->data, body->size), "abcde");
    EXPECT_FALSE(failed());
    EXPECT_EQ(conn->bytes_down, 5);

    // The upstream socket is reused for the next response: each byte is
    // counted once, so nothing of the first body's reading stays attached.
    http_header_free(conn->response);
    conn->response = header_new();
    response_length(4);
    send_all(server_link.peer, "wxyz");
    std::unique_ptr<Filebuf> second(http_transfer_filebuf(conn, SIDE_SERVER));
    EXPECT_EQ(std::string(second->data, second->size), "wxyz");
    EXPECT_EQ(conn->bytes_down, 9);
}

// The download allowance: a body exactly its size passes, one byte more
// fails; the unlimited allowance (-1) never runs out.
TEST_F(HttpBodyTest, DownloadAllowanceAdmitsExactlyItsSize) {
    struct Case {
        int64_t allowance;
        size_t length;
        bool fails;
    } cases[] = {{10, 10, false}, {10, 11, true}, {-1, 5000, false}, {0, 1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Pair client;
        Pair server;
        CONNECTION_T* one = case_connection(client, server);
        one->response->flags |= HEADER_HAS_LENGTH;
        one->response->content_length = c.length;
        one->down_allowance = c.allowance;
        send_all(server.peer, std::string(c.length, 'x'));
        std::unique_ptr<Filebuf> body(http_transfer_filebuf(one, SIDE_SERVER));
        EXPECT_EQ((one->flags & CONN_TRANSFER_FAILED) != 0, c.fails);
        if (!c.fails) {
            EXPECT_EQ(body->size, c.length);
        }
        release_connection(one);
    }
}

TEST_F(HttpBodyTest, ChunkSizeLines) {
    struct Case {
        const char* line;
        int size;
    } cases[] = {
        {"1a\r\n", 26}, {"0\r\n", 0}, {"FF; name=value\r\n", 255},
        {"\r\n", -1},   {"x1\r\n", -1}, {"-1\r\n", -1}, {"100000000\r\n", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        send_all(server_link.peer, c.line);
        EXPECT_EQ(next_chunksize(conn, SIDE_SERVER), c.size);
    }
}

TEST_F(HttpBodyTest, HeadRequestGetsNoBody) {
    std::unique_ptr<Filebuf> body(new Filebuf());
    body->Add("page", 4);
    conn->flags |= CONN_HEAD;
    EXPECT_EQ(http_send_body(conn, body.get()), 0);
    conn->flags &= ~CONN_HEAD;
    http_send_body(conn, body.get());
    EXPECT_EQ(read_until(client_link.peer, "page", 5), "page");
}

// The "bypass" URL command: its letters set and clear their bits, only with
// the access rule's bypass right.
TEST(BypassCheck, LettersSetAndClearBits) {
    struct Case {
        const char* label;
        unsigned access;
        unsigned before;
        unsigned after;
    } cases[] = {
        {"xx--bypass.", ACCESS_BYPASS, 0, 4294967295u},
        {"xx--bypass.", 0, 0, 0},
        {"xx--bypass[].", ACCESS_BYPASS, BYPASS_ICAP, BYPASS_ICAP},
        {"xx--bypass[-f+a].", ACCESS_BYPASS, BYPASS_URL_FILTER, BYPASS_ANTIVIRUS},
        {"xx--bypass[fhzq9].", ACCESS_BYPASS, 0, BYPASS_URL_FILTER | BYPASS_HEADER_FILTER},
        {"xx--bypass[cdeikmprw].", ACCESS_BYPASS, 0,
         BYPASS_COOKIE_FILTER | BYPASS_DNSBL | BYPASS_EXTERNAL | BYPASS_ICAP |
             BYPASS_KEYWORD_FILTER | BYPASS_MIME_FILTER | BYPASS_FORWARD | BYPASS_REDIRECT |
             BYPASS_REWRITE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CONNECTION_T* connection = connection_new();
        char text[64];
        snprintf(text, sizeof text, "%shost.example", c.label);
        connection->url_commands = url_command_parse(text);
        connection->access = c.access;
        connection->bypass = c.before;
        bypass_check(connection);
        EXPECT_EQ(connection->bypass, c.after);
        url_command_free(connection->url_commands);
        connection->url_commands = nullptr;
        connection_free(connection);
    }
}

} // namespace
