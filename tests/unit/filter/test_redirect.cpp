// Redirect rules: the 302 answer, the in-place rewrite (the request's URL,
// which keys the cache, rebuilt), the Location of a redirecting response,
// path coding, URL commands, scoping, the section off or bypassed, and the
// section unlocked while a 302 goes out.
#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "filter/redirect.h"
#include "http/header.h"
#include "http/url_commands.h"
#include "net/connection.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

std::string rule(const std::string& pattern, const std::string& replacement,
                 const std::string& action = "reply-302", const std::string& applies_to = "request",
                 int port = -1, const std::string& encoding = "", const std::string& profiles = "",
                 const std::string& enabled = "true") {
    return "<rules>" +
           elements({{"enabled", enabled}, {"comment", ""}, {"groups", ""}, {"profiles", profiles},
                     {"pattern", pattern}, {"replacement", replacement},
                     {"port", std::to_string(port)}, {"action", action},
                     {"encoding", encoding}, {"applies_to", applies_to}}) +
           "</rules>";
}

class RedirectTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        redirect_section = new RedirectSection();
    }

    void configure(const std::string& rules, const char* enabled = "true") {
        sectiontest::load(*redirect_section,
                          "<redirect>" + elements({{"enabled", enabled}}) + rules + "</redirect>");
    }

    // What the client got ("302 <Location>") or where the request now goes
    // (its URL, or its path while it has no host).
    static std::string outcome(Connection& connection, int result) {
        if (result == 1) {
            std::string sent = connection.sent();
            EXPECT_EQ(sent.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << sent;
            EXPECT_NE(sent.find("\r\nContent-Length: 0\r\n"), std::string::npos) << sent;
            EXPECT_EQ(sent.substr(sent.size() - 4), "\r\n\r\n") << sent; // a header alone
            size_t at = sent.find("\r\nLocation: ");
            if (at == std::string::npos)
                return "302 without Location";
            at += 12;
            return "302 " + sent.substr(at, sent.find("\r\n", at) - at);
        }
        const HEADER* request = connection->request;
        return request->url != nullptr ? request->url : request->path;
    }

    std::string request(const std::string& target, const std::string& profiles = "",
                        const char* commands = nullptr) {
        std::string text = "GET " + target + " HTTP/1.1\r\nHost: h.test\r\n\r\n";
        Connection connection(text.c_str());
        connection.attach_client();
        connection->client_ip = const_cast<char*>("127.0.0.1");
        connection->profiles = StringList(profiles, ',');
        connection->variables["IP"] = "127.0.0.1";
        if (commands != nullptr) {
            std::string labels = commands;
            connection->url_commands = url_command_parse(&labels[0]);
        }
        int result = redirect_section->redirect_do(connection.get(), 0);
        std::string seen = outcome(connection, result);
        url_command_free(connection->url_commands);
        connection->client_ip = nullptr;
        return seen;
    }
};

TEST_F(RedirectTest, RequestsAnsweredOrRewrittenInPlace) {
    const std::string to_new = "^http://old\\.test/(.*)";
    struct Case {
        std::string rules;
        const char* target;
        const char* expected;
    } cases[] = {
        {rule(to_new, "http://new.test/$1"), "http://old.test/a/b?c=1", "302 http://new.test/a/b?c=1"},
        // The old URL never carries the port.
        {rule("^http://old\\.test/x$", "http://new.test/y"), "http://old.test:8000/x",
         "302 http://new.test/y"},
        {rule(to_new, "http://new.test/$1"), "http://other.test/a", "http://other.test:80/a"},
        // In place: the rule's port, else the one the host part names, else
        // the new scheme's own when the request named none.
        {rule(to_new, "http://new.test/$1", "rewrite", "request", 8080), "http://old.test/a",
         "http://new.test:8080/a"},
        {rule(to_new, "HTTP://NEW.test:9090/$1", "rewrite"), "http://old.test/a",
         "http://new.test:9090/a"},
        {rule(to_new, "ftp://new.test/$1", "rewrite"), "http://old.test/a",
         "ftp://new.test:21/a"},
        {rule(to_new, "ftp://new.test/$1", "rewrite"), "http://old.test:8000/a",
         "ftp://new.test:8000/a"},
        // A host part that is no host name leaves the request alone.
        {rule(to_new, "http://new test/$1", "rewrite"), "http://old.test/a",
         "http://old.test:80/a"},
        // A new URL beginning with "/" changes the path only; one without a
        // path gets "/".
        {rule(to_new, "/moved/$1", "rewrite"), "http://old.test:8000/a", "http://old.test:8000/moved/a"},
        {rule(to_new, "http://bare.test", "rewrite"), "http://old.test/a", "http://bare.test:80/"},
        // Path coding: everything after the path's first "/".
        {rule(to_new, "http://new.test/a b?x=1", "reply-302", "request", -1, "encode-path"),
         "http://old.test/", "302 http://new.test/a+b%3fx%3d1"},
        {rule(to_new, "http://new.test/$1", "reply-302", "request", -1, "decode-path"),
         "http://old.test/%7Euser", "302 http://new.test/~user"},
        // The subject decoded first.
        {rule("/A$", "http://new.test/", "reply-302", "request", -1, "decode-url"),
         "http://old.test/%41", "302 http://new.test/"},
        {rule("/A$", "http://new.test/"), "http://old.test/%41", "http://old.test:80/%41"},
        // Rules that never touch a request; only the first match counts.
        {rule(to_new, "http://new.test/", "reply-302", "location"), "http://old.test/a",
         "http://old.test:80/a"},
        {rule("", "http://new.test/"), "http://old.test/a", "http://old.test:80/a"},
        {rule(to_new, "http://first.test/") + rule(to_new, "http://second.test/"),
         "http://old.test/a", "302 http://first.test/"},
        {rule(to_new, "http://new.test/", "reply-302", "both", -1, "", "", "false"),
         "http://old.test/a", "http://old.test:80/a"},
        // Template variables and escapes in the replacement.
        {rule(to_new, "http://new.test/@IP@\\t$$"), "http://old.test/", "302 http://new.test/127.0.0.1\t$"},
    };
    for (const Case& c : cases) {
        configure(c.rules);
        EXPECT_EQ(request(c.target), c.expected) << c.rules << " " << c.target;
    }
}

TEST_F(RedirectTest, OriginFormRequestsAndCommandsAndScoping) {
    configure(rule("^/old/(.*)", "/new/$1", "rewrite") +
              rule("^http://a\\.test/", "http://b.test/", "reply-302", "request", -1, "", "staff"));
    // Before its Host header is applied an origin-form request is its path.
    EXPECT_EQ(request("/old/x"), "/new/x");
    EXPECT_EQ(request("http://a.test/"), "http://a.test:80/");
    EXPECT_EQ(request("http://a.test/", "staff"), "302 http://b.test/");
    // A 302 keeps the client's URL commands in front of the new host.
    EXPECT_EQ(request("http://a.test/", "staff", "xx--nocache.xx--bypass[f]."),
              "302 http://xx--nocache.xx--bypass[f].b.test/");
    configure(rule("^http://a\\.test/", "/local"));
    EXPECT_EQ(request("http://a.test/", "", "xx--nocache."), "302 /local");

    // Off, or bypassed: nothing changes.
    configure(rule("^http://a\\.test/", "http://b.test/"), "false");
    EXPECT_EQ(request("http://a.test/"), "http://a.test:80/");
    configure(rule("^http://a\\.test/", "http://b.test/"));
    Connection bypassed("GET http://a.test/ HTTP/1.1\r\n\r\n");
    bypassed->bypass = BYPASS_REDIRECT;
    EXPECT_EQ(redirect_section->redirect_do(bypassed.get(), 0), 0);
    EXPECT_STREQ(bypassed->request->host, "a.test");
}

TEST_F(RedirectTest, InPlaceRewriteLogsAndMakesAProxyRequest) {
    configure(rule("^/(.*)", "http://new.test/$1", "rewrite"));
    Connection connection("GET /x HTTP/1.1\r\nHost: h.test\r\n\r\n");
    connection->client_ip = const_cast<char*>("127.0.0.1");
    ASSERT_EQ(connection->request->type, REQUEST_TRANSPARENT);
    EXPECT_EQ(redirect_section->redirect_do(connection.get(), 0), 0);
    connection->client_ip = nullptr;
    EXPECT_EQ(connection->request->type, REQUEST_PROXY);
    EXPECT_STREQ(connection->request->scheme, "http");
    EXPECT_STREQ(connection->request->url, "http://new.test:80/x");
    EXPECT_TRUE(logged("[IP:127.0.0.1] request for /x to http://new.test/x"));
}

TEST_F(RedirectTest, LocationOfRedirectingResponses) {
    configure(rule("^http://old\\.test/(.*)", "http://new.test/$1", "reply-302", "location") +
              rule("^http://req\\.test/", "http://never.test/", "reply-302", "request"));
    struct Case {
        const char* location;
        const char* expected;
    } cases[] = {
        {"http://old.test/a?b", "http://new.test/a?b"},
        {"http://req.test/", "http://req.test/"},
        {"/relative", "/relative"},
    };
    for (const Case& c : cases) {
        Connection connection;
        std::string text = std::string("HTTP/1.1 301 Moved\r\nLocation: ") + c.location +
                           "\r\nContent-Length: 0\r\n\r\n";
        connection->response = http_header_parse_response(text.c_str());
        connection->client_ip = const_cast<char*>("127.0.0.1");
        EXPECT_EQ(redirect_section->redirect_do(connection.get(), 1), 0);
        connection->client_ip = nullptr;
        EXPECT_STREQ(connection->response->location, c.expected);
        EXPECT_EQ(connection->response->status, 301);
    }
    EXPECT_TRUE(logged("[IP:127.0.0.1] 302 redirect for http://old.test/a?b to http://new.test/a?b"));
}

TEST_F(RedirectTest, BadRulesRefuseTheLoad) {
    configure(rule("^/a", "/b"));
    EXPECT_THROW(configure(rule("(unclosed", "/b")), ConfigError);
    EXPECT_TRUE(logged("section redirect, element rules: pattern must be a regular expression, "
                       "but it is given value (unclosed (missing closing parenthesis at offset 9)"));
    EXPECT_THROW(configure(rule("^/a", "/b", "rewrite", "request", 0)), ConfigError);
    EXPECT_TRUE(logged("section redirect, element rules: port must be -1 or a port number from 1 "
                       "to 65535, but it is given value 0"));
    ASSERT_EQ(redirect_section->rules.size(), 1u);
    EXPECT_EQ(redirect_section->rules.front().pattern.text(), "^/a");
}

// A client that does not read its 302 must not hold the section.
TEST_F(RedirectTest, SlowClientHoldsNoLockWhileTheRedirectIsSent) {
    configure(rule("^http://old\\.test/", "http://new.test/" + std::string(2 << 20, 'x')));
    Connection slow("GET http://old.test/ HTTP/1.1\r\n\r\n");
    slow.attach_client();
    std::atomic<bool> done{false};
    std::thread sender([&] {
        EXPECT_EQ(redirect_section->redirect_do(slow.get(), 0), 1);
        done = true;
    });
    // The answer is far larger than the socket buffers: the sender waits for
    // the client, and meanwhile the section can be taken for writing. Polled
    // rather than slept, so that a busy machine only makes it slower.
    bool locked = false;
    for (int tries = 0; tries < 500 && !locked; ++tries) {
        locked = redirect_section->rwlock.try_write_lock() == 0;
        if (!locked)
            usleep(10000);
    }
    EXPECT_TRUE(locked);
    EXPECT_FALSE(done.load());
    if (locked)
        redirect_section->rwlock.unlock();
    // Read as the client (the sender thread owns the socket until it ends).
    size_t received = 0;
    char piece[65536];
    for (int idle = 0; idle < 1000;) {
        bool finished = done.load();
        ssize_t got = recv(slow.peer, piece, sizeof piece, MSG_DONTWAIT);
        if (got > 0) {
            received += static_cast<size_t>(got);
            idle = 0;
        } else if (finished) {
            break;
        } else {
            usleep(10000);
            idle++;
        }
    }
    sender.join();
    EXPECT_GT(received, size_t(2) << 20);
}

} // namespace
