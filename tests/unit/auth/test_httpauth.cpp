// The NTLM and Negotiate relay: one exchange with the service for each kind
// of answer, whole dialogues with the client and the service both played
// through socket pairs, and the requests that end a dialogue.
#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>

#include <string>
#include <thread>

#include "auth/dn_cache.h"
#include "auth/httpauth.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "support/net_test_support.h"

namespace {

using nettest::Pair;
using nettest::read_until;
using nettest::send_all;

class HttpAuthTest : public nettest::NetTest {
protected:
    Pair client_pair;
    Pair service_pair;
    CONNECTION_T* connection = nullptr;

    void SetUp() override {
        NetTest::SetUp();
        pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        global->dn_cache = dn_cache_create(8111);
        connection = nettest::connection_on(client_pair);
        connection->auth_scheme = AUTH_SCHEME_NTLM;
        // The dialogue uses the service socket it finds.
        connection->server = new Socket(service_pair.take());
    }
    void TearDown() override {
        http_header_free(connection->request);
        connection->request = nullptr;
        delete connection->server;
        connection->server = nullptr;
        delete connection->client;
        connection->client = nullptr;
        connection_free(connection);
        NetTest::TearDown();
    }

    void set_request(const char* text) {
        http_header_free(connection->request);
        connection->request = http_header_parse_request(text);
        ASSERT_NE(connection->request, nullptr) << text;
    }

    static std::string dn_entry(const char* user) {
        DN_CACHE_ENTRY* e = dn_cache_search(global->dn_cache, user);
        return e == nullptr ? "<none>" : std::string(e->dn) + "|" + e->groups;
    }
};

const char* const PROXY_REQUEST =
    "GET http://origin.test/page HTTP/1.1\r\nHost: origin.test\r\n"
    "Proxy-Authorization: NTLM TlRMTVNTUAABAAAA\r\n\r\n";

TEST_F(HttpAuthTest, OneExchangeByAnswer) {
    struct Case {
        const char* answer;
        int result;
        int state;
        const char* user;      // stored user afterwards, or NULL
        const char* challenge; // stored challenge afterwards, or NULL
        const char* dn_entry;  // DN cache entry of "alice"
        const char* log_line;  // expected in the error log, or ""
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nProxy-Authenticate: alice\r\n"
         "Location: uid=alice,dc=example;staff,admins\r\nContent-Length: 0\r\n\r\n",
         200, AUTH_HOST_AUTHENTICATED, "alice", "old", "uid=alice,dc=example|staff,admins", ""},
        // A DN alone: empty group names.
        {"HTTP/1.1 200 OK\r\nProxy-Authenticate: alice\r\nLocation: uid=alice,dc=example\r\n\r\n",
         200, AUTH_HOST_AUTHENTICATED, "alice", "old", "uid=alice,dc=example|", ""},
        // No Location: the DN cache is not touched.
        {"HTTP/1.1 200 OK\r\nProxy-Authenticate: alice\r\n\r\n", 200, AUTH_HOST_AUTHENTICATED,
         "alice", "old", "<none>", ""},
        // An acceptance that names nobody is a failure.
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 500, AUTH_HOST_FAILED, nullptr, nullptr,
         "<none>", "localhost:accepted without a user name"},
        {"HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n\r\n", 407,
         AUTH_HOST_CHALLENGE, nullptr, "NTLM TlRMTVNTUAACAAAA", "<none>", ""},
        {"HTTP/1.1 407 Auth\r\nProxy-Connection: keep-alive\r\n\r\n", 407, AUTH_HOST_CHALLENGE,
         nullptr, nullptr, "<none>", ""},
        {"HTTP/1.1 407 Auth\r\nProxy-Connection: close\r\nProxy-Authenticate: NTLM x\r\n\r\n",
         500, AUTH_HOST_CHALLENGE, nullptr, nullptr, "<none>", ""},
        {"HTTP/1.1 403 Forbidden\r\nProxy-Authenticate: NTLM x\r\n\r\n", 500,
         AUTH_HOST_CHALLENGE, nullptr, nullptr, "<none>", "trace: code:403 challenge: NTLM x"},
        // Text that is no status line is no answer, not an acceptance.
        {"Proxy-Authenticate: alice\r\n\r\n", 500, AUTH_HOST_CHALLENGE, nullptr, "old", "<none>",
         "[IP:10.0.0.9] [NTLM:0] localhost:response corrupted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        if (connection->server == nullptr) {
            Pair fresh;
            connection->server = new Socket(fresh.take());
            service_pair.close_peer();
            service_pair.peer = fresh.peer;
            fresh.peer = -1;
        }
        set_request(PROXY_REQUEST);
        free(connection->auth_host_user);
        connection->auth_host_user = nullptr;
        free(connection->auth_host_challenge);
        connection->auth_host_challenge = xstrdup("old");
        connection->auth_host_state = AUTH_HOST_CHALLENGE;
        pthread_rwlock_wrlock(&global->dn_cache_lock);
        dn_cache_purge(global->dn_cache, "alice");
        pthread_rwlock_unlock(&global->dn_cache_lock);

        std::string asked;
        std::thread service([&] {
            asked = read_until(service_pair.peer, "\r\n\r\n");
            send_all(service_pair.peer, c.answer);
        });
        int result = validate_auth_tracking(connection);
        service.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(asked, "GET http://localhost/authenticate HTTP/1.1\r\nHost: localhost\r\n"
                         "X-Forwarded-For: 10.0.0.9\r\n"
                         "Proxy-Authorization: NTLM TlRMTVNTUAABAAAA\r\n\r\n");
        EXPECT_EQ(connection->auth_host_state, c.state);
        EXPECT_STREQ(connection->auth_host_user, c.user);
        EXPECT_STREQ(connection->auth_host_challenge, c.challenge);
        EXPECT_EQ(dn_entry("alice"), c.dn_entry);
        if (c.log_line[0] != '\0') {
            EXPECT_NE(log().find(c.log_line), std::string::npos) << log();
        }
    }
}

// The service learns the client's own address: an X-Forwarded-For value
// counts only from a trusted proxy, and none is configured here.
TEST_F(HttpAuthTest, LongTokenAndTheClientAddressReachTheService) {
    std::string token(4000, 'A');
    std::string text = "GET http://origin.test/ HTTP/1.1\r\nX-Forwarded-For: 192.0.2.7\r\n"
                       "Proxy-Authorization: Negotiate " + token + "\r\n\r\n";
    set_request(text.c_str());
    connection->auth_scheme = AUTH_SCHEME_NEGOTIATE;
    std::string asked;
    std::thread service([&] {
        asked = read_until(service_pair.peer, "\r\n\r\n");
        send_all(service_pair.peer, "HTTP/1.1 200 OK\r\nProxy-Authenticate: carol\r\n\r\n");
    });
    EXPECT_EQ(validate_auth_tracking(connection), 200);
    service.join();
    EXPECT_NE(asked.find("\r\nX-Forwarded-For: 10.0.0.9\r\n"), std::string::npos) << asked;
    EXPECT_NE(asked.find("\r\nProxy-Authorization: Negotiate " + token + "\r\n\r\n"),
              std::string::npos);
}

// The whole dialogue: token, challenge relayed, next request with the next
// token, acceptance; the request served is the last one read, with its body.
TEST_F(HttpAuthTest, DialogueRelaysTheChallengeAndServesTheLastRequest) {
    set_request(PROXY_REQUEST);
    std::string first_ask, second_ask, challenge, extra;
    std::thread service([&] {
        first_ask = read_until(service_pair.peer, "\r\n\r\n");
        send_all(service_pair.peer, "HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM "
                                    "TlRMTVNTUAACAAAA\r\nContent-Length: 0\r\n\r\n");
        second_ask = read_until(service_pair.peer, "\r\n\r\n");
        send_all(service_pair.peer, "HTTP/1.1 200 OK\r\nProxy-Authenticate: bob\r\n"
                                    "Location: uid=bob,dc=example;staff\r\n\r\n");
    });
    std::thread client([&] {
        challenge = read_until(client_pair.peer, "\r\n\r\n");
        send_all(client_pair.peer, "POST http://origin.test/form HTTP/1.1\r\nHost: origin.test\r\n"
                                   "Proxy-Authorization: NTLM TlRMTVNTUAADAAAA\r\n"
                                   "Content-Length: 5\r\n\r\nhello");
    });
    EXPECT_EQ(ntlm_communicate(connection, nullptr), 200);
    service.join();
    client.join();
    EXPECT_NE(challenge.find("HTTP/1.1 407 "), std::string::npos) << challenge;
    EXPECT_NE(challenge.find("\r\nProxy-support: Session-Based-Authentication\r\n"),
              std::string::npos) << challenge;
    EXPECT_NE(challenge.find("\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n"),
              std::string::npos) << challenge;
    EXPECT_NE(challenge.find("Content-Length: 0\r\n"), std::string::npos) << challenge;
    EXPECT_NE(second_ask.find("\r\nProxy-Authorization: NTLM TlRMTVNTUAADAAAA\r\n"),
              std::string::npos) << second_ask;
    EXPECT_EQ(connection->auth_host_state, AUTH_HOST_AUTHENTICATED);
    EXPECT_STREQ(connection->auth_host_user, "bob");
    EXPECT_EQ(dn_entry("bob"), "uid=bob,dc=example|staff");
    ASSERT_NE(connection->request, nullptr);
    EXPECT_STREQ(connection->request->method, "POST");
    EXPECT_STREQ(connection->request->path, "/form");
    ASSERT_NE(connection->body, nullptr);
    EXPECT_EQ(std::string(connection->body->data, connection->body->size), "hello");
    EXPECT_EQ(connection->server, nullptr); // the service socket lives one dialogue

    // Later requests of the connection are not relayed again.
    EXPECT_EQ(ntlm_communicate(connection, nullptr), 200);
    EXPECT_NE(log().find("[IP:10.0.0.9] NTLM:0 connection already authenticated"),
              std::string::npos);
}

// Transparent clients carry the token in Authorization and are challenged
// with 401 and WWW-Authenticate; the token is forwarded from there.
TEST_F(HttpAuthTest, TransparentRequestUsesAuthorization) {
    set_request("GET /page HTTP/1.1\r\nHost: origin.test\r\nAuthorization: NTLM T1\r\n\r\n");
    ASSERT_EQ(connection->request->type, REQUEST_TRANSPARENT);
    std::string first_ask, second_ask, challenge;
    std::thread service([&] {
        first_ask = read_until(service_pair.peer, "\r\n\r\n");
        send_all(service_pair.peer, "HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM C2\r\n\r\n");
        second_ask = read_until(service_pair.peer, "\r\n\r\n");
        send_all(service_pair.peer, "HTTP/1.1 200 OK\r\nProxy-Authenticate: dave\r\n\r\n");
    });
    std::thread client([&] {
        challenge = read_until(client_pair.peer, "\r\n\r\n");
        send_all(client_pair.peer,
                 "GET /page HTTP/1.1\r\nHost: origin.test\r\nAuthorization: NTLM T3\r\n\r\n");
    });
    EXPECT_EQ(ntlm_communicate(connection, nullptr), 200);
    service.join();
    client.join();
    EXPECT_NE(first_ask.find("\r\nProxy-Authorization: NTLM T1\r\n"), std::string::npos);
    EXPECT_NE(second_ask.find("\r\nProxy-Authorization: NTLM T3\r\n"), std::string::npos);
    EXPECT_NE(challenge.find("HTTP/1.1 401 "), std::string::npos) << challenge;
    EXPECT_NE(challenge.find("\r\nWWW-Authenticate: NTLM C2\r\n"), std::string::npos);
    EXPECT_EQ(challenge.find("Proxy-Authenticate"), std::string::npos) << challenge;
}

// The client's answer to a relayed challenge ends the dialogue: text that is
// no request keeps the request being authenticated and closes the client
// after the next answer; a request without a token replaces it.
TEST_F(HttpAuthTest, ClientAnswersThatEndTheDialogue) {
    struct Case {
        const char* reply;
        bool close_peer;
        bool replaced;
        int keepalive;
        const char* log_line;
    } cases[] = {
        {"GARBAGE\x01 \r\n\r\n", false, false, 0, ""},
        {"GET http://origin.test/x HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n",
         false, false, 0, ""},
        {"GET http://origin.test/x HTTP/1.1\r\nHost: orig", true, false, 0, ""},
        {"", true, false, 0, ""},
        {"GET http://origin.test/next HTTP/1.1\r\nHost: origin.test\r\n"
         "Proxy-Connection: Keep-Alive\r\n\r\n",
         false, true, 1,
         "warn: [IP:10.0.0.9] [request:0] NULL Proxy-Authorization Headers recieved"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        Pair service_fresh, client_fresh;
        delete connection->server;
        connection->server = new Socket(service_fresh.take());
        delete connection->client;
        connection->client = new Socket(client_fresh.take());
        connection->auth_host_state = AUTH_HOST_CHALLENGE;
        set_request(PROXY_REQUEST);
        const HEADER* before = connection->request;
        std::thread service([&] {
            read_until(service_fresh.peer, "\r\n\r\n");
            send_all(service_fresh.peer, "HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM C\r\n\r\n");
            // Nothing more is asked of the service.
            EXPECT_EQ(nettest::read_until_close(service_fresh.peer, 10), "");
        });
        std::thread client([&] {
            read_until(client_fresh.peer, "\r\n\r\n");
            send_all(client_fresh.peer, c.reply);
            if (c.close_peer)
                shutdown(client_fresh.peer, SHUT_WR);
        });
        EXPECT_EQ(ntlm_communicate(connection, nullptr), 407);
        client.join();
        service.join();
        ASSERT_NE(connection->request, nullptr);
        if (c.replaced) {
            EXPECT_STREQ(connection->request->path, "/next");
        } else {
            EXPECT_EQ(connection->request, before);
            EXPECT_STREQ(connection->request->path, "/page");
        }
        EXPECT_EQ(connection->client_keepalive, c.keepalive);
        EXPECT_EQ(connection->server, nullptr);
        EXPECT_NE(connection->auth_host_state, AUTH_HOST_AUTHENTICATED);
        if (c.log_line[0] != '\0') {
            EXPECT_NE(log().find(c.log_line), std::string::npos) << log();
        }
    }
}

TEST_F(HttpAuthTest, ServiceThatClosesOrFailsEndsWithoutAcceptance) {
    set_request(PROXY_REQUEST);
    std::thread service([&] {
        read_until(service_pair.peer, "\r\n\r\n");
        service_pair.close_peer();
    });
    EXPECT_EQ(ntlm_communicate(connection, nullptr), 407);
    service.join();
    EXPECT_EQ(connection->auth_host_state, AUTH_HOST_FAILED);
    EXPECT_EQ(connection->server, nullptr);
    EXPECT_NE(log().find("[IP:10.0.0.9] [NTLM:0] localhost:socket read failed"),
              std::string::npos) << log();
}

} // namespace
