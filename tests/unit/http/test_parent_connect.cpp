// Parent proxy authentication (Basic, and NTLM built with libntlm) and
// CONNECT tunnels (directly, through an HTTP parent, and opened through a
// parent for the CONNECT-parent route), against scripted parents on
// loopback.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <thread>

#include "auth/base64.h"
#include "auth/parent_auth.h"
#include "core/access_log.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/proto_connect.h"
#include "net/network.h"
#include "net/relay.h"
#include "net/socket.h"
#include "support/config_test_support.h"
#include "support/upstream_test_support.h"

using namespace nettest;

namespace {

// Reads one request: its header and, with Content-Length, its body.
std::string read_request(int fd) {
    std::string got = read_until(fd, "\r\n\r\n", 5);
    size_t end = got.find("\r\n\r\n");
    if (end == std::string::npos)
        return got;
    size_t at = got.find("Content-Length: ");
    if (at != std::string::npos && at < end) {
        size_t length = strtoul(got.c_str() + at + 16, nullptr, 10);
        while (got.size() < end + 4 + length) {
            std::string more = read_until(fd, std::string(1, '\0'), 1);
            if (more.empty())
                break;
            got += more;
        }
    }
    return got;
}

// A parent on loopback for one connection: answers each request with the
// next reply; after the last one, with `echo`, it answers tunnelled bytes
// with "echo:" and the bytes, then closes.
class ScriptedParent {
public:
    Listener listener;
    std::vector<std::string> requests;

    ScriptedParent(std::vector<std::string> replies, bool echo = false)
        : replies_(std::move(replies)) {
        thread_ = std::thread([this, echo] {
            struct pollfd entry = {listener.fd, POLLIN, 0};
            if (poll(&entry, 1, 10000) != 1)
                return;
            int fd = listener.accept_one();
            for (const std::string& reply : replies_) {
                std::string request = read_request(fd);
                if (request.empty())
                    break;
                requests.push_back(request);
                send_all(fd, reply);
            }
            if (echo) {
                std::string tunnelled = read_until(fd, "\n", 5);
                send_all(fd, "echo:" + tunnelled);
            } else {
                read_until_close(fd, 1);
            }
            close(fd);
        });
    }
    ~ScriptedParent() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::vector<std::string> replies_;
    std::thread thread_;
};

const char* const CHALLENGE_BASIC =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"parent\"\r\n"
    "Content-Length: 6\r\n\r\ndenied";
const char* const OK_EMPTY = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const char* const ESTABLISHED = "HTTP/1.1 200 Connection established\r\n\r\n";
const char* const NTLM_OFFER =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n"
    "Content-Length: 0\r\n\r\n";

// A type-2 NTLM message: signature, type, empty target, flags, challenge.
std::string ntlm_challenge_text() {
    unsigned char message[48] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 2, 0, 0, 0};
    message[16] = 48; // target name offset
    message[20] = 0x01;
    message[21] = 0x02; // unicode, NTLM
    memcpy(message + 24, "12345678", 8);
    char text[base64_encoded_size(sizeof message)];
    to64frombits(text, message, sizeof message);
    return text;
}

// The NTLM message type in a Proxy-Authorization line of a request, or -1.
int ntlm_type(const std::string& request) {
    size_t at = request.find("Proxy-Authorization: NTLM ");
    if (at == std::string::npos)
        return -1;
    std::string text = request.substr(at + 26, request.find("\r\n", at) - at - 26);
    char message[4096];
    int n = from64tobits(message, text.c_str(), sizeof message);
    if (n < 12 || memcmp(message, "NTLMSSP", 8) != 0)
        return -1;
    return static_cast<unsigned char>(message[8]);
}

class ParentConnectTest : public UpstreamFixture {
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
        request("GET http://www.example.com/index.html HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
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
    void request(const char* text) {
        http_header_free(conn->request);
        conn->request = http_header_parse_request(text);
        ASSERT_NE(conn->request, nullptr);
    }
    // A POST with a four-byte body, as the road hands it over.
    void post_with_body() {
        request("POST http://www.example.com/form HTTP/1.1\r\nHost: www.example.com\r\n"
                "Content-Length: 4\r\n\r\n");
        conn->body = new Filebuf();
        conn->body->Add("data", 4);
    }
    void credentials(const char* user, const char* password) {
        conn->parent_user = xstrdup(user);
        conn->parent_password = xstrdup(password);
    }
    void connect_to(ScriptedParent& parent, int mode = FORWARD_HTTP_PARENT) {
        conn->forward_mode = mode;
        conn->upstream_host = xstrdup("127.0.0.1");
        conn->upstream_port = parent.listener.port;
        int fd = net_connect("127.0.0.1", parent.listener.port, 5);
        ASSERT_GE(fd, 0);
        conn->server = new Socket(fd);
    }
    // Sends the request to the parent and reads its answer as the response.
    void exchange() {
        header_send(conn->request, conn, SIDE_SERVER, HEADER_SEND_PARENT);
        if (conn->body != nullptr)
            net_filebuf_send(conn->body, conn, SIDE_SERVER);
        read_answer();
    }
    void read_answer() {
        char* text = header_get(conn, SIDE_SERVER, 5);
        ASSERT_NE(text, nullptr);
        http_header_free(conn->response);
        conn->response = http_header_parse_response(text);
        free(text);
        ASSERT_NE(conn->response, nullptr);
    }
    // Serves the client's CONNECT while the client waits for the proxy's
    // answer and, once the tunnel is established, sends "ping\n" through
    // it; returns what the client saw.
    std::string connect_as_client() {
        std::string seen;
        std::thread player([&] {
            seen = read_until(client_link.peer, "\r\n\r\n", 5);
            if (seen.find("200 Connection Established") == std::string::npos)
                return;
            send_all(client_link.peer, "ping\n");
            seen += read_until(client_link.peer, "echo:ping\n", 5);
        });
        EXPECT_EQ(protocol_connect(conn), 0);
        player.join();
        // Whatever else the proxy sent (the rest of a page).
        seen += read_until(client_link.peer, std::string(1, '\0'), 0);
        return seen;
    }
    bool logged(const std::string& text) { return configtest::log_has(log_path, text); }
};

TEST_F(ParentConnectTest, BasicIsAnsweredOnceAnyCaseNtlmOnlyInCapitals) {
    struct Case {
        const char* challenge;
        int result;
    } cases[] = {
        {"Basic realm=\"parent\"", 1},
        {"basic realm=parent", 1},
        {"ntlm", 0},
        {"Digest realm=\"parent\"", 0},
    };
    for (const Case& c : cases) {
        std::string first = std::string("HTTP/1.1 407 Proxy Authentication Required\r\n"
                                        "Proxy-Authenticate: ") +
                            c.challenge + "\r\nContent-Length: 6\r\n\r\ndenied";
        ScriptedParent parent({first, OK_EMPTY});
        connect_to(parent);
        credentials("alice", "secret");
        exchange();
        EXPECT_EQ(proxy_authenticate(conn), c.result) << c.challenge;
        EXPECT_EQ(conn->parent_auth, nullptr);
        if (c.result == 1) {
            // The 407's body was dropped: the next answer is the 200.
            read_answer();
            EXPECT_EQ(conn->response->status, 200) << c.challenge;
        }
        delete conn->server;
        conn->server = nullptr;
        parent.join();
        if (c.result == 1) {
            ASSERT_EQ(parent.requests.size(), 2u) << c.challenge;
            // base64("alice:secret")
            EXPECT_NE(parent.requests[1].find("Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n"),
                      std::string::npos)
                << parent.requests[1];
        } else {
            EXPECT_EQ(parent.requests.size(), 1u) << c.challenge;
        }
        free(conn->parent_user);
        free(conn->parent_password);
        free(conn->upstream_host);
        conn->parent_user = conn->parent_password = conn->upstream_host = nullptr;
    }
}

TEST_F(ParentConnectTest, NtlmHandshakeKeepsTheBodyForTheLastMessage) {
    post_with_body();
    std::string challenge = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                            "Proxy-Authenticate: NTLM " + ntlm_challenge_text() +
                            "\r\nContent-Length: 0\r\n\r\n";
    ScriptedParent parent({NTLM_OFFER, challenge, OK_EMPTY});
    connect_to(parent);
    credentials("alice", "secret");
    conn->parent_domain = xstrdup("CORP");
    exchange();
    ASSERT_EQ(proxy_authenticate(conn), 1);
    net_filebuf_send(conn->body, conn, SIDE_SERVER);
    read_answer();
    EXPECT_EQ(conn->response->status, 200);
    EXPECT_STREQ(conn->request->method, "POST");
    EXPECT_EQ(conn->request->content_length, 4u);
    delete conn->server;
    conn->server = nullptr;
    parent.join();

    ASSERT_EQ(parent.requests.size(), 3u);
    const std::string& negotiate = parent.requests[1];
    EXPECT_EQ(negotiate.rfind("GET http://www.example.com:80/form HTTP/1.1\r\n", 0), 0u) << negotiate;
    EXPECT_EQ(negotiate.find("Content-Length"), std::string::npos) << negotiate;
    EXPECT_EQ(ntlm_type(negotiate), 1);
    const std::string& authenticate = parent.requests[2];
    EXPECT_EQ(authenticate.rfind("POST http://www.example.com:80/form HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(authenticate.find("Content-Length: 4\r\n"), std::string::npos);
    EXPECT_EQ(authenticate.substr(authenticate.size() - 4), "data");
    EXPECT_EQ(ntlm_type(authenticate), 3);
    EXPECT_TRUE(logged("[IP:10.0.0.9] got NTLM header"));
}

TEST_F(ParentConnectTest, NtlmWithoutChallengeFailsAndRestoresTheRequest) {
    post_with_body();
    ScriptedParent parent({NTLM_OFFER, CHALLENGE_BASIC});
    connect_to(parent);
    credentials("alice", "secret");
    exchange();
    EXPECT_EQ(proxy_authenticate(conn), 0);
    EXPECT_TRUE(logged("error in NTLM forwarding"));
    EXPECT_STREQ(conn->request->method, "POST");
    EXPECT_TRUE(conn->request->flags & HEADER_HAS_LENGTH);
    EXPECT_EQ(conn->request->content_length, 4u);
    EXPECT_EQ(conn->response->status, 407);
    EXPECT_EQ(conn->parent_auth, nullptr);
}

// ---- CONNECT ------------------------------------------------------------------------

const char* const CONNECT_REQUEST =
    "CONNECT secure.example:443 HTTP/1.1\r\nHost: secure.example:443\r\n\r\n";

TEST_F(ParentConnectTest, DirectTunnelRelaysAtOnce) {
    request(CONNECT_REQUEST);
    ScriptedParent target({}, true); // no header expected: straight to the tunnel
    connect_to(target, FORWARD_DIRECT);
    EXPECT_EQ(connect_as_client(), "HTTP/1.1 200 Connection Established\r\n\r\necho:ping\n");
    EXPECT_EQ(conn->client_keepalive, 0);
    target.join();
    EXPECT_TRUE(target.requests.empty());
}

TEST_F(ParentConnectTest, TunnelThroughParentOnlyWhenItSaysYes) {
    const std::string challenge = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        bool with_credentials;
        bool established;
        size_t parent_requests;
    } cases[] = {
        {"200 at once", {ESTABLISHED}, false, true, 1},
        {"407 then 200 with credentials", {challenge, ESTABLISHED}, true, true, 2},
        {"403", {"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"}, true, false, 1},
        {"407 without credentials", {challenge}, false, false, 1},
        {"407 twice", {challenge, challenge}, true, false, 2},
    };
    for (const Case& c : cases) {
        request(CONNECT_REQUEST);
        ScriptedParent parent(c.replies, c.established);
        connect_to(parent);
        if (c.with_credentials)
            credentials("alice", "secret");
        conn->flags = 0;
        conn->log.status = 0;
        std::string seen = connect_as_client();
        delete conn->server;
        conn->server = nullptr;
        parent.join();
        if (c.established) {
            EXPECT_EQ(seen, "HTTP/1.1 200 Connection Established\r\n\r\necho:ping\n") << c.name;
        } else {
            EXPECT_EQ(seen.rfind("HTTP/1.1 503 ", 0), 0u) << c.name << ": " << seen;
            EXPECT_EQ(seen.find("Connection Established"), std::string::npos) << c.name;
            EXPECT_EQ(conn->log.status, 503) << c.name;
        }
        ASSERT_EQ(parent.requests.size(), c.parent_requests) << c.name;
        EXPECT_EQ(parent.requests[0].rfind("CONNECT secure.example:443 HTTP/1.1\r\n", 0), 0u);
        if (c.parent_requests == 2 && c.with_credentials) {
            EXPECT_NE(parent.requests[1].find("Proxy-Authorization: Basic YWxpY2U6c2VjcmV0"),
                      std::string::npos);
        }
        EXPECT_EQ(conn->client_keepalive, 0);
        EXPECT_EQ(conn->response, nullptr);
        free(conn->parent_user);
        free(conn->parent_password);
        free(conn->upstream_host);
        conn->parent_user = conn->parent_password = conn->upstream_host = nullptr;
    }
}

TEST_F(ParentConnectTest, ConnectParentRouteOpensOnlyOn2xx) {
    const std::string challenge = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        int result;
    } cases[] = {
        {"200", {ESTABLISHED}, 1},
        {"407 answered, then 200", {challenge, ESTABLISHED}, 1},
        {"403", {"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"}, -1},
        {"no answer", {""}, -1},
    };
    for (const Case& c : cases) {
        request("GET http://www.example.com:8080/x HTTP/1.1\r\nHost: www.example.com:8080\r\n\r\n");
        HEADER* original = conn->request;
        ScriptedParent parent(c.replies);
        connect_to(parent, FORWARD_CONNECT_PARENT);
        credentials("alice", "secret");
        conn->flags = 0;
        EXPECT_EQ(proxy_connect(conn), c.result) << c.name;
        EXPECT_EQ(conn->request, original) << c.name;
        EXPECT_EQ(conn->response, nullptr) << c.name;
        delete conn->server;
        conn->server = nullptr;
        parent.join();
        ASSERT_FALSE(parent.requests.empty()) << c.name;
        const std::string& asked = parent.requests[0];
        EXPECT_EQ(asked.rfind("CONNECT www.example.com:8080 HTTP/1.1\r\n", 0), 0u) << asked;
        EXPECT_NE(asked.find("Host: www.example.com:8080\r\n"), std::string::npos) << asked;
        EXPECT_EQ(asked.find("Proxy-Authorization"), std::string::npos) << asked;
        free(conn->parent_user);
        free(conn->parent_password);
        free(conn->upstream_host);
        conn->parent_user = conn->parent_password = conn->upstream_host = nullptr;
    }
}

} // namespace
