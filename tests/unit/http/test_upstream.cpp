// Upstream connection and the common policies: pooled reuse by key,
// SOCKS failures reaching the error page, reconnecting for a dead pooled
// socket, keep-alive rules, buffering decisions, the download limit, the
// processor stages and the self-test.
#include <gtest/gtest.h>

#include <thread>

#include "cache/cache.h"
#include "core/access_log.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/http_text.h"
#include "http/upstream.h"
#include "iface/templates.h"
#include "net/dnscache.h"
#include "net/network_section.h"
#include "net/relay.h"
#include "support/upstream_test_support.h"

using namespace nettest;

namespace {

// A loopback origin that serves `count` connections: on each it reads one
// request header, records it, and answers with `reply` (an empty reply
// closes the connection instead).
class Origin {
public:
    Listener listener;
    std::vector<std::string> requests;

    // `wait`: seconds to wait for a request on each connection.
    Origin(int count, std::vector<std::string> replies, int wait = 5)
        : replies_(std::move(replies)) {
        thread_ = std::thread([this, count, wait] {
            for (int i = 0; i < count; i++) {
                struct pollfd entry = {listener.fd, POLLIN, 0};
                if (poll(&entry, 1, 10000) != 1)
                    return;
                int fd = listener.accept_one();
                std::string request = read_until(fd, "\r\n\r\n", wait);
                requests.push_back(request);
                const std::string& reply = replies_[std::min<size_t>(i, replies_.size() - 1)];
                if (!reply.empty())
                    send_all(fd, reply);
                read_until_close(fd, 1);
                close(fd);
            }
        });
    }
    ~Origin() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::vector<std::string> replies_;
    std::thread thread_;
};

class UpstreamTest : public UpstreamFixture {
protected:
    Pair client_link;
    CONNECTION_T* conn = nullptr;

    void SetUp() override {
        UpstreamFixture::SetUp();
        loglevel = 0x0FFFFFFF;
        general.timeout = 2;
        apply_general();
        snprintf(slogfile, sizeof slogfile, "%s/access.log", dir.c_str());
        snprintf(elogfile, sizeof elogfile, "%s/extended.log", dir.c_str());
        conn = connection_on(client_link);
        conn->request = header_new();
        set_request("GET", "http", "127.0.0.1", 80, "/index.html");
    }
    void TearDown() override {
        delete conn->server;
        conn->server = nullptr;
        delete conn->client;
        conn->client = nullptr;
        http_header_free(conn->request);
        http_header_free(conn->response);
        conn->request = conn->response = nullptr;
        connection_free(conn);
        UpstreamFixture::TearDown();
    }
    void set_request(const char* method, const char* scheme, const char* host, int port,
                     const char* path) {
        HEADER* r = conn->request;
        free(r->method);
        free(r->scheme);
        free(r->host);
        free(r->path);
        r->method = xstrdup(method);
        r->scheme = xstrdup(scheme);
        r->host = xstrdup(host);
        r->path = xstrdup(path);
        r->port = port;
        r->type = REQUEST_PROXY;
        r->version = HTTP_VERSION_11;
        header_complete(r);
    }
    HEADER* response(const char* text) {
        http_header_free(conn->response);
        conn->response = http_header_parse_response(text);
        return conn->response;
    }
    std::string to_client() { return read_until_close(client_link.peer, 1); }
};

TEST_F(UpstreamTest, GetReusesParkedSocketAndBodiesNeverDo) {
    Origin origin(2, {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, 1);
    conn->request->port = origin.listener.port;
    ASSERT_GE(protocol_start(conn), 0);
    EXPECT_FALSE(conn->flags & CONN_UPSTREAM_REUSED);
    Socket* first = conn->server;
    conn->server_keepalive = 1;
    ASSERT_EQ(upstream_park(conn), 1);
    EXPECT_EQ(conn->server, nullptr);

    ASSERT_EQ(protocol_start(conn), first->fd);
    EXPECT_EQ(conn->server, first);
    EXPECT_TRUE(conn->flags & CONN_UPSTREAM_REUSED);
    EXPECT_EQ(conn->server_keepalive, 1);

    // The same socket parked again is not used for a POST with a body.
    conn->flags = 0;
    ASSERT_EQ(upstream_park(conn), 1);
    free(conn->request->method);
    conn->request->method = xstrdup("POST");
    conn->request->flags |= HEADER_HAS_LENGTH;
    conn->request->content_length = 5;
    ASSERT_GE(protocol_start(conn), 0);
    EXPECT_NE(conn->server, first);
    EXPECT_FALSE(conn->flags & CONN_UPSTREAM_REUSED);
    EXPECT_EQ(global->serverpool->pool.size(), 1u);
}

TEST_F(UpstreamTest, PoolKeySeparatesRoutesCredentialsAndTls) {
    upstream_key_t direct = upstream_key(conn);
    EXPECT_EQ(direct.route, "");
    EXPECT_EQ(direct.host, "127.0.0.1");

    conn->forward_mode = FORWARD_SOCKS5;
    conn->upstream_host = xstrdup("socks.test");
    conn->upstream_port = 1080;
    EXPECT_EQ(upstream_key(conn).route, "socks5 socks.test:1080");
    EXPECT_EQ(upstream_key(conn).host, "127.0.0.1");

    conn->forward_mode = FORWARD_HTTP_PARENT;
    conn->upstream_port = 3128;
    EXPECT_EQ(upstream_key(conn).route, "parent");
    EXPECT_EQ(upstream_key(conn).host, "socks.test");
    EXPECT_EQ(upstream_key(conn).port, 3128);

    conn->forward_mode = FORWARD_CONNECT_PARENT;
    conn->flags |= CONN_SSL_UPSTREAM;
    EXPECT_EQ(upstream_key(conn).route, "tunnel socks.test:3128 tls");

    conn->forward_mode = FORWARD_DIRECT;
    EXPECT_EQ(upstream_key(conn).route, "tls");
}

struct SocksFailure {
    const char* name;
    int mode;
    std::vector<Step> steps;
    int result;
    const char* page;
};

TEST_F(UpstreamTest, FailedSocksHandshakePassesItsCodeToThePage) {
    snprintf(username, sizeof username, "%s", "proxy");
    const std::string socks4_request =
        bytes({4, 1, 0, 80, 127, 0, 0, 1}) + "proxy" + std::string(1, '\0');
    const SocksFailure cases[] = {
        {"socks4 identification refused", FORWARD_SOCKS4,
         {{socks4_request.size(), bytes({0, 0x5D, 0, 0, 0, 0, 0, 0})}}, -4, "badauth"},
        {"socks4 rejected", FORWARD_SOCKS4,
         {{socks4_request.size(), bytes({0, 0x5B, 0, 0, 0, 0, 0, 0})}}, -2, "noconnect"},
        {"socks5 no method", FORWARD_SOCKS5, {{4, bytes({5, 0xFF})}}, -2, "noconnect"},
    };
    for (const SocksFailure& c : cases) {
        SCOPED_TRACE(c.name);
        Listener parent;
        std::unique_ptr<FakeParent> fake;
        std::thread acceptor([&] {
            int fd = parent.accept_one();
            fake.reset(new FakeParent(fd, c.steps));
        });
        conn->forward_mode = c.mode;
        free(conn->upstream_host);
        conn->upstream_host = xstrdup("127.0.0.1");
        conn->upstream_port = parent.port;
        int result = protocol_start(conn);
        acceptor.join();
        EXPECT_EQ(result, c.result);
        EXPECT_STREQ(error_to_template(result), c.page);
        EXPECT_EQ(conn->server, nullptr);
        fake.reset();
    }
    EXPECT_NE(log().find("network: [IP:10.0.0.9] connection to socks4 server failed"),
              std::string::npos);
    EXPECT_NE(log().find("network: [IP:10.0.0.9] connection to socks5 server failed"),
              std::string::npos);

    // A SOCKS4 request host that does not resolve: "nodns".
    Listener parent;
    std::thread acceptor([&] { close(parent.accept_one()); });
    conn->forward_mode = FORWARD_SOCKS4;
    conn->upstream_port = parent.port;
    free(conn->request->host);
    conn->request->host = xstrdup("host.invalid");
    dnscache_resolver = [](const char*) -> HOSTENT* { return nullptr; };
    int result = protocol_start(conn);
    acceptor.join();
    EXPECT_EQ(result, -3);
    EXPECT_STREQ(error_to_template(result), "nodns");
}

TEST_F(UpstreamTest, DeadPooledSocketIsReplacedAndTheRequestSentAgain) {
    // The first connection is parked, then the origin closes it unanswered.
    Origin origin(2, {"", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, 1);
    conn->request->port = origin.listener.port;
    ASSERT_GE(protocol_start(conn), 0);
    conn->server_keepalive = 1;
    Socket* parked = conn->server;
    upstream_park(conn);
    ASSERT_TRUE(wait_until([&] { return origin.requests.size() == 1; }, 10));

    ASSERT_GE(protocol_start(conn), 0);
    ASSERT_EQ(conn->server, parked);
    header_send(conn->request, conn, SIDE_SERVER, HEADER_SEND_ORIGIN);
    char* text = header_get_reconnect(conn, 2);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text).rfind("HTTP/1.1 200 OK", 0), 0u);
    free(text);
    origin.join();
    ASSERT_EQ(origin.requests.size(), 2u);
    EXPECT_EQ(origin.requests[1].rfind("GET /index.html HTTP/1.1\r\n", 0), 0u);
}

TEST_F(UpstreamTest, FreshConnectionWithoutAnswerGetsNoconnect) {
    Origin origin(1, {""});
    conn->request->port = origin.listener.port;
    free(conn->request->host);
    conn->request->host = xstrdup("origin.test");
    dnscache_resolver = [](const char*) -> HOSTENT* { return net_dns("127.0.0.1"); };
    ASSERT_GE(protocol_start(conn), 0);
    header_send(conn->request, conn, SIDE_SERVER, HEADER_SEND_ORIGIN);
    EXPECT_EQ(header_get_reconnect(conn, 2), nullptr);
    EXPECT_EQ(conn->log.status, 503);
    EXPECT_EQ(conn->log.cache_code, static_cast<uint32_t>(CACHECODE_UNSPECIFIED));
    EXPECT_NE(to_client().find("HTTP/1.1 503"), std::string::npos);
    EXPECT_NE(log().find("[IP:10.0.0.9] sent noconnect"), std::string::npos);
    EXPECT_NE(log().find("purged dns: origin.test"), std::string::npos);
}

TEST_F(UpstreamTest, StreamedBodyIsNotSentAgain) {
    Origin origin(1, {""});
    conn->request->port = origin.listener.port;
    ASSERT_GE(protocol_start(conn), 0);
    conn->server_keepalive = 1; // as for a reused socket
    conn->client_keepalive = 1;
    conn->flags |= CONN_BODY_STREAMED;
    header_send(conn->request, conn, SIDE_SERVER, HEADER_SEND_ORIGIN);
    EXPECT_EQ(header_get_reconnect(conn, 2), nullptr);
    EXPECT_EQ(conn->client_keepalive, 0);
    EXPECT_NE(log().find("server dropped connection during direct POST"), std::string::npos);
    origin.join();
    EXPECT_EQ(origin.requests.size(), 1u);
}

struct ClientKeepCase {
    int type;
    int version;
    int keep_alive;
    int proxy_keep_alive;
    int response_keep_alive; // -2: no response
    int expected;
};

TEST_F(UpstreamTest, ClientKeepAliveRules) {
    const ClientKeepCase cases[] = {
        {REQUEST_PROXY, HTTP_VERSION_11, -1, -1, -1, 0},
        {REQUEST_PROXY, HTTP_VERSION_11, -1, -1, 1, 1},
        {REQUEST_PROXY, HTTP_VERSION_11, -1, -1, -2, 0},
        {REQUEST_PROXY, HTTP_VERSION_10, -1, -1, 1, 0},
        {REQUEST_PROXY, HTTP_VERSION_10, 1, -1, -1, 1},
        {REQUEST_PROXY, HTTP_VERSION_10, -1, 1, -1, 1},
        {REQUEST_PROXY, HTTP_VERSION_11, 1, 0, 1, 0},
        {REQUEST_PROXY, HTTP_VERSION_11, 0, 1, 1, 0},
        {REQUEST_CONNECT, HTTP_VERSION_11, 1, 1, 1, 0},
    };
    for (const ClientKeepCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << "/" << c.version << "/" << c.keep_alive
                                        << "/" << c.proxy_keep_alive << "/"
                                        << c.response_keep_alive);
        conn->request->type = c.type;
        conn->request->version = c.version;
        conn->request->keep_alive = c.keep_alive;
        conn->request->proxy_keep_alive = c.proxy_keep_alive;
        http_header_free(conn->response);
        conn->response = nullptr;
        if (c.response_keep_alive != -2) {
            conn->response = header_new();
            conn->response->keep_alive = c.response_keep_alive;
        }
        keepalive_check_client(conn);
        EXPECT_EQ(conn->client_keepalive, c.expected);
    }
}

TEST_F(UpstreamTest, ServerKeepAliveRules) {
    const struct {
        const char* response;
        int server;
        int client_after;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n", 0, 1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n", 0, 1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\nConnection: keep-alive\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response);
        ASSERT_NE(response(c.response), nullptr);
        conn->client_keepalive = 1;
        keepalive_check_server(conn);
        EXPECT_EQ(conn->server_keepalive, c.server);
        EXPECT_EQ(conn->client_keepalive, c.client_after);
    }
}

int buffcheck_says_yes(CONNECTION_T*, Filebuf*) { return 1; }

TEST_F(UpstreamTest, BufferDecisions) {
    general.maxdownloadbuffer = "1000";
    apply_general();
    conn->request->version = HTTP_VERSION_10;
    ASSERT_NE(response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), nullptr);
    // Chunks to an HTTP/1.0 client are relayed without their framing, not
    // collected (they may be larger than any buffer).
    EXPECT_EQ(buffer_check(conn), 0);

    ASSERT_NE(response("HTTP/1.1 200 OK\r\nContent-Length: 1001\r\n\r\n"), nullptr);
    EXPECT_EQ(buffer_check(conn), 0);
    EXPECT_NE(log().find("response exceeds maximum download buffer size"), std::string::npos);

    conn->request->version = HTTP_VERSION_11;
    ASSERT_NE(response("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Encoding: gzip\r\n\r\n"),
              nullptr);
    EXPECT_EQ(buffer_check(conn), 1); // the client does not accept encodings
    conn->request->accept_encoding = xstrdup("gzip, deflate");
    conn->flags |= CONN_PROCESSING;
    EXPECT_EQ(buffer_check(conn), 0);
    EXPECT_FALSE(conn->flags & CONN_PROCESSING);
    // A gzip body for a client that offered another coding, or refused gzip,
    // is decoded for it.
    for (const char* offered : {"deflate", "gzip;q=0, deflate", "br"}) {
        SCOPED_TRACE(offered);
        free(conn->request->accept_encoding);
        conn->request->accept_encoding = xstrdup(offered);
        EXPECT_EQ(buffer_check(conn), 1);
    }
    free(conn->request->accept_encoding);
    conn->request->accept_encoding = xstrdup("gzip, deflate");

    processors.Add(buffcheck_says_yes, PROCESSOR_BUFFCHECK);
    conn->flags |= CONN_PROCESSING;
    EXPECT_EQ(buffer_check(conn), 1);
    EXPECT_TRUE(conn->flags & CONN_PROCESSING);
}

TEST_F(UpstreamTest, DownloadLimitAtTheBoundary) {
    conn->down_allowance = 1000;
    ASSERT_NE(response("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"), nullptr);
    EXPECT_EQ(transfer_limit_check(conn), 1);

    ASSERT_NE(response("HTTP/1.1 200 OK\r\nContent-Length: 1001\r\n\r\n"), nullptr);
    conn->client_keepalive = 1;
    EXPECT_EQ(transfer_limit_check(conn), 0);
    EXPECT_EQ(conn->client_keepalive, 0);
    EXPECT_EQ(conn->variables["FILTER"], "Download Limits");
    EXPECT_EQ(conn->variables["DOWNLOADLIMIT"], "1000");
    EXPECT_EQ(to_client().rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
    EXPECT_NE(log().find("[IP:10.0.0.9] sent downloadlimit"), std::string::npos);
    EXPECT_EQ(conn->log.status, 403);
    std::string access = logtest::read_file(slogfile);
    EXPECT_NE(access.find("TCP_DENIED/403 1001 "), std::string::npos);
    EXPECT_NE(access.find("DIRECT/kestrivan"), std::string::npos);
    EXPECT_TRUE(logtest::exists(elogfile));
    EXPECT_NE(log().find("limits: [IP:10.0.0.9] transfer would exceed transfer limit"),
              std::string::npos);

    conn->down_allowance = -1;
    EXPECT_EQ(transfer_limit_check(conn), 1);
}

TEST_F(UpstreamTest, RequestBodyFramingAfterTheProcessors) {
    // A chunked body that was read whole goes on with its length.
    conn->request->chunked = 1;
    Filebuf body;
    body.Add("hello", 5);
    EXPECT_EQ(process_request(conn, &body), 1);
    EXPECT_EQ(conn->request->chunked, 0);
    EXPECT_TRUE(conn->request->flags & HEADER_HAS_LENGTH);
    EXPECT_EQ(conn->request->content_length, 5u);

    // An empty chunked body still gets a length: the server must not wait.
    conn->request->chunked = 1;
    conn->request->flags = 0;
    Filebuf empty;
    EXPECT_EQ(process_request(conn, &empty), 1);
    EXPECT_EQ(conn->request->chunked, 0);
    EXPECT_TRUE(conn->request->flags & HEADER_HAS_LENGTH);
    EXPECT_EQ(conn->request->content_length, 0u);

    // A streamed body keeps its own framing.
    conn->request->chunked = 1;
    conn->request->flags = 0;
    conn->flags |= CONN_BODY_STREAMED;
    EXPECT_EQ(process_request(conn, &empty), 1);
    EXPECT_EQ(conn->request->chunked, 1);
    EXPECT_FALSE(conn->request->flags & HEADER_HAS_LENGTH);

    // A request without a body stays without one.
    conn->flags = 0;
    conn->request->chunked = 0;
    conn->request->flags = 0;
    EXPECT_EQ(process_request(conn, &empty), 1);
    EXPECT_FALSE(conn->request->flags & HEADER_HAS_LENGTH);
}

int answer_with_page(CONNECTION_T* connection, Filebuf*) {
    connection->response = http_header_parse_response("HTTP/1.1 403 Forbidden\r\n\r\n");
    connection->body = new Filebuf();
    connection->body->Add("denied", 6);
    return 1;
}

TEST_F(UpstreamTest, RequestProcessorAnswerGoesToTheClient) {
    processors.Add(answer_with_page, PROCESSOR_REQMOD);
    conn->user = xstrdup("ann@10.0.0.9");
    Filebuf body;
    EXPECT_EQ(process_request(conn, &body), 0);
    EXPECT_EQ(conn->response, nullptr);
    EXPECT_EQ(conn->variables["USERNAME"], "ann@10.0.0.9");
    EXPECT_EQ(conn->log.username, "ann@10.0.0.9");
    std::string sent = to_client();
    EXPECT_EQ(sent.rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_NE(sent.find("Content-Length: 6\r\n"), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 6), "denied");
}

int block_it(CONNECTION_T*, Filebuf*) { return 1; }
int respmod_runs = 0;
int count_respmod(CONNECTION_T*, Filebuf*) { return ++respmod_runs, 0; }

TEST_F(UpstreamTest, ResponseProcessors) {
    CACHEMAP object = {};
    conn->cachemap = &object;
    processors.Add(count_respmod, PROCESSOR_RESPMOD);
    Filebuf body;
    EXPECT_EQ(process_response(conn, &body), 1);
    EXPECT_EQ(respmod_runs, 1);
    EXPECT_TRUE(object.flags & CACHE_CLEAN);

    processors.Add(block_it, PROCESSOR_RESPCHECK);
    EXPECT_EQ(process_response(conn, &body), 0);
    EXPECT_EQ(respmod_runs, 1);
    EXPECT_EQ(conn->log.status, 403);
    EXPECT_EQ(conn->log.cache_code, static_cast<uint32_t>(CACHECODE_TCP_DENIED));
    conn->cachemap = nullptr;
}

TEST_F(UpstreamTest, BufferingPastItsDeadlineLetsTheClientGo) {
    CACHEMAP object = {};
    conn->cachemap = &object;
    general.bufferwait = 30;
    apply_general();
    buffertimeout_set(conn);
    EXPECT_GE(conn->buffer_deadline, time(NULL) + 29);
    conn->flags |= CONN_BUFFERING | CONN_CACHE_STORE;
    buffertimeout_check(conn);
    EXPECT_NE(conn->client, nullptr); // not yet

    conn->buffer_deadline = time(NULL) - 1;
    conn->client_keepalive = 1;
    buffertimeout_check(conn);
    EXPECT_EQ(conn->client, nullptr);
    EXPECT_TRUE(conn->flags & CONN_NO_CLIENT);
    EXPECT_EQ(conn->client_keepalive, 0);
    EXPECT_EQ(object.flags & (CACHE_BUFFERWAIT | CACHE_PREFETCHED),
              CACHE_BUFFERWAIT | CACHE_PREFETCHED);
    conn->cachemap = nullptr;

    general.bufferwait = 0;
    apply_general();
    buffertimeout_set(conn);
    EXPECT_EQ(conn->buffer_deadline, 0);
}

TEST_F(UpstreamTest, SelfTestSeesTheRequestTheParentForwards) {
    // A parent that forwards the absolute-URL request to the host it names.
    Listener parent;
    std::thread forwarder([&] {
        int fd = parent.accept_one();
        std::string request = read_until(fd, "\r\n\r\n", 5);
        size_t at = request.find("http://");
        std::string rest = request.substr(at + 7);
        std::string host = rest.substr(0, rest.find(':'));
        int port = atoi(rest.c_str() + host.size() + 1);
        int out = net_connect(host.c_str(), port, 5);
        send_all(out, "GET / HTTP/1.1\r\nHost: " + host + "\r\nVia: 1.1 parent\r\n\r\n");
        read_until_close(out, 2);
        close(out);
        close(fd);
    });
    int fd = net_connect("127.0.0.1", parent.port, 5);
    ASSERT_GE(fd, 0);
    conn->server = new Socket(fd);
    conn->server_keepalive = 1;
    proxy_test(conn);
    forwarder.join();
    ASSERT_NE(conn->response, nullptr);
    EXPECT_STREQ(conn->response->via, "1.1 parent");
    EXPECT_STREQ(conn->request->path, "/");
    EXPECT_STREQ(conn->request->host, "127.0.0.1");
    EXPECT_EQ(conn->server_keepalive, 0);
    EXPECT_NE(conn->server, nullptr);
}

TEST_F(UpstreamTest, UnreachableParentGivesTheConnectCode) {
    conn->forward_mode = FORWARD_HTTP_PARENT;
    conn->upstream_host = xstrdup("127.0.0.1");
    conn->upstream_port = unused_port();
    int result = protocol_start(conn);
    EXPECT_EQ(result, -2);
    EXPECT_STREQ(error_to_template(result), "noconnect");
    EXPECT_EQ(conn->server, nullptr);
    EXPECT_EQ(conn->log.peer, "127.0.0.1");
    EXPECT_NE(log().find("network: [IP:10.0.0.9]connection to proxy server failed"),
              std::string::npos);
}

TEST_F(UpstreamTest, EndOfRequestParksOnlyAHealthyKeptAliveUpstream) {
    Origin origin(1, {""}, 1);
    conn->request->port = origin.listener.port;
    ASSERT_GE(protocol_start(conn), 0);
    conn->server_keepalive = 1;
    connection_reset(conn);
    EXPECT_EQ(conn->server, nullptr);
    ASSERT_EQ(global->serverpool->pool.size(), 1u);
    EXPECT_EQ(global->serverpool->pool.front()->port, origin.listener.port);

    conn->request = header_new();
    set_request("GET", "http", "127.0.0.1", origin.listener.port, "/");
    ASSERT_GE(protocol_start(conn), 0);
    EXPECT_TRUE(conn->flags & CONN_UPSTREAM_REUSED);
    conn->flags |= CONN_TRANSFER_FAILED;
    connection_reset(conn);
    EXPECT_EQ(conn->server, nullptr);
    EXPECT_TRUE(global->serverpool->pool.empty());
}

} // namespace
