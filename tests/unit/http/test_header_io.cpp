// Header I/O: the serialiser in its three modes, the cookie filter hook,
// reading header blocks from a socket within their limit, and the Via,
// X-Cache and header-variable updates.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "core/filebuf.h"
#include "filter/cookie_filter.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/http_text.h"
#include "net/connection.h"
#include "net/relay.h"
#include "net/socket.h"
#include "support/log_test_support.h"

namespace {

struct HeaderDeleter {
    void operator()(HEADER* header) const { http_header_free(header); }
};
using HeaderPtr = std::unique_ptr<HEADER, HeaderDeleter>;

HeaderPtr parse_request(const std::string& text)
{
    HEADER* header = http_header_parse_request(text.c_str());
    EXPECT_NE(header, nullptr) << text;
    return HeaderPtr(header);
}

HeaderPtr parse_response(const std::string& text)
{
    HEADER* header = http_header_parse_response(text.c_str());
    EXPECT_NE(header, nullptr) << text;
    return HeaderPtr(header);
}

std::string serialise(const HEADER* header, const header_send_context_t& context, int mode)
{
    Filebuf out;
    header_serialise(&out, header, context, mode);
    return std::string(out.data == nullptr ? "" : out.data, out.size);
}

// ---- Serialiser -----------------------------------------------------------------

TEST(Serialiser, OriginModeWritesPathHostAndNoCacheControl)
{
    HeaderPtr request = parse_request("GET http://Example.com/a?b HTTP/1.1\r\n"
                                      "Cache-Control: no-cache\r\nAccept: */*\r\n"
                                      "User-Agent: t\r\nProxy-Authorization: Basic x\r\n\r\n");
    header_send_context_t context;
    context.request = request.get();
    EXPECT_EQ(serialise(request.get(), context, HEADER_SEND_ORIGIN),
              "GET /a?b HTTP/1.1\r\n"
              "Accept: */*\r\n"
              "User-Agent: t\r\n"
              "Host: example.com\r\n"
              "Connection: keep-alive\r\n"
              "\r\n");
}

// The client's own login to this proxy never reaches the parent: only the
// parent's credentials do, when there are any.
TEST(Serialiser, ParentModeWritesAbsoluteUrlParentCredentialsAndCacheControl)
{
    HeaderPtr request = parse_request("GET http://j%40e%20x:p%3Aw+@h:8080/x HTTP/1.1\r\n"
                                      "Cache-Control: max-age=0\r\n"
                                      "Proxy-Authorization: Basic client\r\n\r\n");
    header_send_context_t context;
    context.request = request.get();
    EXPECT_EQ(serialise(request.get(), context, HEADER_SEND_PARENT),
              "GET http://j%40e%20x:p%3Aw%2B@h:8080/x HTTP/1.1\r\n"
              "Proxy-Connection: keep-alive\r\n"
              "Cache-Control: max-age=0\r\n"
              "Host: h:8080\r\n"
              "Connection: keep-alive\r\n"
              "\r\n");
    context.parent_auth = "Basic parent";
    std::string text = serialise(request.get(), context, HEADER_SEND_PARENT);
    EXPECT_NE(text.find("Proxy-Authorization: Basic parent\r\n"), std::string::npos);
    EXPECT_EQ(text.find("client"), std::string::npos) << text;
}

TEST(Serialiser, ParentRequestLineForms)
{
    struct Case {
        const char* request;
        const char* line;
    } cases[] = {
        {"GET http://joe@h/x HTTP/1.1", "GET http://joe@h:80/x HTTP/1.1\r\n"},
        {"GET http://h/x HTTP/1.1", "GET http://h:80/x HTTP/1.1\r\n"},
        {"CONNECT h:443 HTTP/1.1", "CONNECT h:443 HTTP/1.1\r\n"},
    };
    for (const Case& c : cases) {
        HeaderPtr request = parse_request(std::string(c.request) + "\r\n\r\n");
        header_send_context_t context;
        std::string text = serialise(request.get(), context, HEADER_SEND_PARENT);
        EXPECT_EQ(text.substr(0, strlen(c.line)), c.line);
    }
    HeaderPtr connect = parse_request("CONNECT h:443 HTTP/1.1\r\n\r\n");
    header_send_context_t context;
    EXPECT_NE(serialise(connect.get(), context, HEADER_SEND_PARENT).find("Host: h:443\r\n"),
              std::string::npos);
}

TEST(Serialiser, ResponseModeConnectionHeaderFollowsTheRequestKind)
{
    HeaderPtr response = parse_response("HTTP/1.1 404 Whatever\r\nContent-Type: text/html\r\n"
                                        "Content-Length: 12\r\nLocation: /x\r\n"
                                        "X-Other: kept\r\n\r\n");
    HeaderPtr transparent = parse_request("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    HeaderPtr proxy = parse_request("GET http://h/ HTTP/1.1\r\n\r\n");
    header_send_context_t context;
    context.request = transparent.get();
    context.client_keepalive = 0;
    EXPECT_EQ(serialise(response.get(), context, HEADER_SEND_RESPONSE),
              "HTTP/1.1 404 Not Found\r\n"
              "X-Other: kept\r\n"
              "Content-Type: text/html\r\n"
              "Content-Length: 12\r\n"
              "Location: /x\r\n"
              "Connection: close\r\n"
              "\r\n");
    context.request = proxy.get();
    context.client_keepalive = 1;
    EXPECT_NE(serialise(response.get(), context, HEADER_SEND_RESPONSE)
                  .find("Proxy-Connection: keep-alive\r\n"),
              std::string::npos);
}

TEST(Serialiser, ChunkedNeverCarriesContentLength)
{
    HeaderPtr request = parse_request("POST http://h/ HTTP/1.1\r\nContent-Length: 5\r\n"
                                      "Transfer-Encoding: chunked\r\n\r\n");
    request->flags |= HEADER_HAS_LENGTH; // even when someone sets it again
    request->content_length = 5;
    header_send_context_t context;
    std::string text = serialise(request.get(), context, HEADER_SEND_ORIGIN);
    EXPECT_NE(text.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Content-Length"), std::string::npos) << text;
}

TEST(Serialiser, FilteredLinesReplaceTheLines)
{
    HeaderPtr response = parse_response("HTTP/1.1 200 OK\r\nX-Secret: s\r\nX-Kept: k\r\n\r\n");
    response->filtered_lines.push_back(HTTP_HEADER{1, "X-Kept", "k"});
    response->filtered_lines.push_back(HTTP_HEADER{1, "X-Added", "a"});
    response->flags |= HEADER_FILTERED;
    header_send_context_t context;
    std::string text = serialise(response.get(), context, HEADER_SEND_RESPONSE);
    EXPECT_EQ(text.find("X-Secret"), std::string::npos);
    EXPECT_NE(text.find("X-Kept: k\r\nX-Added: a\r\n"), std::string::npos) << text;
}

TEST(Serialiser, NoFieldCanAddLines)
{
    HeaderPtr response = parse_response("HTTP/1.1 302 Found\r\n\r\n");
    response->location = strdup("http://h/\r\nSet-Cookie: evil=1");
    response->lines.push_back(HTTP_HEADER{1, "X-A\r\nX-B", "v\nw"});
    header_send_context_t context;
    std::string text = serialise(response.get(), context, HEADER_SEND_RESPONSE);
    EXPECT_NE(text.find("Location: http://h/  Set-Cookie: evil=1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("X-A  X-B: v w\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\r\nSet-Cookie"), std::string::npos);
}

// The cookie filter hook: refuses cookies named "track".
int refuse_tracking(void* calls, int direction, CookieHeader& cookie)
{
    ((std::vector<int>*)calls)->push_back(direction);
    for (const auto& pair : cookie.pairs)
        if (pair.first == "track")
            return 0;
    return 1;
}

class SerialiserCookies : public logtest::LogDirTest {};

TEST_F(SerialiserCookies, RefusedCookiesAreDroppedAndLogged)
{
    HeaderPtr request = parse_request("GET http://shop.example/ HTTP/1.1\r\n\r\n");
    HeaderPtr response = parse_response("HTTP/1.1 200 OK\r\n"
                                        "Set-Cookie: track=1; Path=/\r\n"
                                        "Set-Cookie: sid=2;path=/a; Secure; HttpOnly\r\n"
                                        "Set-Cookie: flagonly\r\n"
                                        "Set-Cookie: old=; Max-Age=0\r\n"
                                        "Set-Cookie: Pref=a b;  Expires=Wed, 09 Jun 2100 10:18:14 GMT\r\n\r\n");
    std::vector<int> calls;
    header_send_context_t context;
    context.request = request.get();
    context.cookie_check = refuse_tracking;
    context.cookie_argument = &calls;
    std::string text = serialise(response.get(), context, HEADER_SEND_RESPONSE);
    EXPECT_EQ(text.find("track"), std::string::npos);
    // Passing lines go on byte for byte as they came.
    for (const char* line : {"Set-Cookie: sid=2;path=/a; Secure; HttpOnly\r\n",
                             "Set-Cookie: flagonly\r\n", "Set-Cookie: old=; Max-Age=0\r\n",
                             "Set-Cookie: Pref=a b;  Expires=Wed, 09 Jun 2100 10:18:14 GMT\r\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(calls, (std::vector<int>(5, COOKIE_INCOMING)));
    EXPECT_NE(logtest::read_file(log_path).find("blocked: incoming from shop.example"),
              std::string::npos);

    HeaderPtr outgoing = parse_request("GET http://shop.example/ HTTP/1.1\r\n"
                                       "Cookie: track=1; other=2\r\n\r\n");
    calls.clear();
    text = serialise(outgoing.get(), context, HEADER_SEND_ORIGIN);
    EXPECT_EQ(text.find("Cookie"), std::string::npos);
    EXPECT_EQ(calls, (std::vector<int>{COOKIE_OUTGOING}));
    EXPECT_NE(logtest::read_file(log_path).find("blocked: outgoing to shop.example"),
              std::string::npos);
}

TEST(HeaderTextForLog, SecretLinesAreMasked)
{
    EXPECT_EQ(header_text_for_log("GET http://h/ HTTP/1.1\r\n"
                                  "Host: h\r\n"
                                  "Cookie: login=abc\r\n"
                                  "authorization: Basic YWRtaW46cHc=\r\n"
                                  "Proxy-Authorization: Basic eDp5\n"
                                  "X-Cookie: visible\r\n"
                                  "Set-Cookie: sid=1\r\n\r\n"),
              "GET http://h/ HTTP/1.1\r\n"
              "Host: h\r\n"
              "Cookie: ***\r\n"
              "authorization: ***\r\n"
              "Proxy-Authorization: ***\n"
              "X-Cookie: visible\r\n"
              "Set-Cookie: ***\r\n\r\n");
    EXPECT_EQ(header_text_for_log("Cookie: a=1"), "Cookie: ***");
    EXPECT_EQ(header_text_for_log(""), "");
}

// ---- Through a connection -----------------------------------------------------

// A connection whose client (and optionally server) socket is one end of a
// socket pair; the test talks through the other ends.
class HeaderReaderTest : public ::testing::Test {
protected:
    CONNECTION_T connection{};
    int client_peer = -1;
    int server_peer = -1;

    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        connection.client = new Socket(pair[0]);
        client_peer = pair[1];
        connection.client_ip = strdup("127.0.0.1");
    }

    void add_server()
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        connection.server = new Socket(pair[0]);
        server_peer = pair[1];
    }

    void TearDown() override
    {
        delete connection.client;
        delete connection.server;
        http_header_free(connection.request);
        http_header_free(connection.response);
        free(connection.client_ip);
        free(connection.interface_ip);
        if (client_peer != -1)
            close(client_peer);
        if (server_peer != -1)
            close(server_peer);
    }

    static void send_all(int fd, const std::string& text)
    {
        ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    }

    static std::string read_available(int fd)
    {
        std::string text;
        char piece[4096];
        fcntl(fd, F_SETFL, O_NONBLOCK);
        ssize_t got;
        while ((got = read(fd, piece, sizeof piece)) > 0)
            text.append(piece, (size_t)got);
        return text;
    }

    std::string get(int side, int timeout, int* refusal = nullptr)
    {
        char* text = header_get(&connection, side, timeout, refusal);
        std::string copy = text == nullptr ? "<null>" : text;
        free(text);
        return copy;
    }
};

TEST_F(HeaderReaderTest, ReadsOneBlockAndLeavesTheBodyBuffered)
{
    send_all(client_peer, "\r\n\r\nGET / HTTP/1.1\r\nHost: h\n\r\nbody");
    EXPECT_EQ(get(SIDE_CLIENT, 5), "GET / HTTP/1.1\r\nHost: h\n\r\n");
    EXPECT_EQ(std::string(connection.client->read_buffer, connection.client->read_pending), "body");
}

TEST_F(HeaderReaderTest, LinesArrivingInPiecesAreJoined)
{
    std::thread writer([this] {
        const char* pieces[] = {"GET / HT", "TP/1.1\r\nHo", "st: h\r", "\n\r\n"};
        for (const char* piece : pieces) {
            send_all(client_peer, piece);
            usleep(20000);
        }
    });
    EXPECT_EQ(get(SIDE_CLIENT, 10), "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    writer.join();
}

TEST_F(HeaderReaderTest, PeerClosingGivesNullOrTheLinesSoFar)
{
    shutdown(client_peer, SHUT_WR);
    EXPECT_EQ(get(SIDE_CLIENT, 5), "<null>");

    TearDown();
    SetUp();
    send_all(client_peer, "GET / HTTP/1.1\r\nHost: h\r\nPartial");
    shutdown(client_peer, SHUT_WR);
    EXPECT_EQ(get(SIDE_CLIENT, 5), "GET / HTTP/1.1\r\nHost: h\r\n");
}

TEST_F(HeaderReaderTest, TimeOutWithNothingReadGivesNull)
{
    int refusal = -1;
    EXPECT_EQ(get(SIDE_CLIENT, 1, &refusal), "<null>");
    EXPECT_EQ(refusal, 0);
}

TEST_F(HeaderReaderTest, BlockAtTheLimitIsReadWhole)
{
    // Lines of 100 characters with their CRLF up to exactly the limit.
    std::string block = "GET / HTTP/1.1\r\n";
    while (block.size() + 100 <= HEADER_BLOCK_MAX)
        block += "X-Fill: " + std::string(90, 'f') + "\r\n";
    block += "X-Last: " + std::string(HEADER_BLOCK_MAX - block.size() - 10, 'l') + "\r\n";
    ASSERT_EQ(block.size(), (size_t)HEADER_BLOCK_MAX);
    std::thread writer([&] { send_all(client_peer, block + "\r\n"); });
    int refusal = -1;
    EXPECT_EQ(get(SIDE_CLIENT, 10, &refusal), block + "\r\n");
    EXPECT_EQ(refusal, 0);
    writer.join();
}

TEST_F(HeaderReaderTest, OverLimitBlocksAreRefusedNotCut)
{
    struct Case {
        std::string text;
        int refusal;
    } cases[] = {
        // The first line alone is too long: 414.
        {"GET /" + std::string(HEADER_BLOCK_MAX, 'a') + " HTTP/1.1\r\n\r\n", 414},
        // One header line too many: 431.
        {"GET / HTTP/1.1\r\nX-A: " + std::string(HEADER_BLOCK_MAX - 20, 'a') +
             "\r\nX-B: bb\r\n\r\n",
         431},
        // A single endless line is refused without waiting for its end.
        {"GET / HTTP/1.1\r\nX-A: " + std::string(HEADER_BLOCK_MAX + 5000, 'a'), 431},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        std::thread writer([&] { send_all(client_peer, c.text); });
        int refusal = -1;
        EXPECT_EQ(get(SIDE_CLIENT, 10, &refusal), "<null>");
        EXPECT_EQ(refusal, c.refusal);
        shutdown(client_peer, SHUT_RDWR);
        writer.join();
    }
}

TEST_F(HeaderReaderTest, DataFromTheClientWhileReadingTheServerIsBuffered)
{
    add_server();
    send_all(client_peer, "GET /next HTTP/1.1\r\n");
    std::thread writer([this] {
        usleep(50000);
        send_all(server_peer, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    });
    EXPECT_EQ(get(SIDE_SERVER, 10), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    writer.join();
    EXPECT_EQ(std::string(connection.client->read_buffer, connection.client->read_pending),
              "GET /next HTTP/1.1\r\n");
}

TEST_F(HeaderReaderTest, ClientGoneStopsTheServerRead)
{
    add_server();
    close(client_peer);
    client_peer = -1;
    EXPECT_EQ(get(SIDE_SERVER, 10), "<null>");
}

TEST_F(HeaderReaderTest, ServerGoneWhileReadingTheClientDropsTheServer)
{
    add_server();
    close(server_peer);
    server_peer = -1;
    std::thread writer([this] {
        usleep(50000);
        send_all(client_peer, "GET / HTTP/1.1\r\n\r\n");
    });
    EXPECT_EQ(get(SIDE_CLIENT, 10), "GET / HTTP/1.1\r\n\r\n");
    writer.join();
    EXPECT_EQ(connection.server, nullptr);
}

TEST_F(HeaderReaderTest, SendWritesTheHeaderUnlessTheClientIsGone)
{
    connection.request = http_header_parse_request("GET http://h/ HTTP/1.1\r\n\r\n");
    HeaderPtr response = parse_response("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    connection.client_keepalive = 1;
    header_send(response.get(), &connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    EXPECT_EQ(read_available(client_peer),
              "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nProxy-Connection: keep-alive\r\n\r\n");

    connection.flags |= CONN_NO_CLIENT;
    header_send(response.get(), &connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    EXPECT_EQ(read_available(client_peer), "");
}

TEST_F(HeaderReaderTest, ViaAndXCacheGrowAsLists)
{
    connection.request = http_header_parse_request("GET http://h/ HTTP/1.1\r\n\r\n");
    connection.response = http_header_parse_response("HTTP/1.1 200 OK\r\nX-Cache: HIT from up\r\n\r\n");
    connection.interface_ip = strdup("10.0.0.1");
    connection.port = 3128;
    connection.variables["VERSION"] = "9.9";
    via_header_update(&connection);
    EXPECT_STREQ(connection.request->via, "10.0.0.1:3128 (Kestrivan 9.9)");
    via_header_update(&connection);
    EXPECT_STREQ(connection.request->via,
                 "10.0.0.1:3128 (Kestrivan 9.9), 10.0.0.1:3128 (Kestrivan 9.9)");
    xcache_header_update(&connection, 1);
    EXPECT_STREQ(connection.response->x_cache, "HIT from up, MISS from Kestrivan 9.9");
    free(connection.response->x_cache);
    connection.response->x_cache = nullptr;
    xcache_header_update(&connection, 0);
    EXPECT_STREQ(connection.response->x_cache, "HIT from Kestrivan 9.9");
}

TEST_F(HeaderReaderTest, HeaderVariablesUseLowerCaseNamesAndTheLastValue)
{
    HeaderPtr response = parse_response("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                                        "X-Twice: one\r\nx-twice: two\r\n\r\n");
    header_variables(&connection, "SERVER", response->lines);
    EXPECT_EQ(connection.variables["SERVER[content-type]"], "text/html");
    EXPECT_EQ(connection.variables["SERVER[x-twice]"], "two");
    EXPECT_EQ(connection.variables.size(), 2u);
}

} // namespace
