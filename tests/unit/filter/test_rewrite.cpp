// Rewrite rules: which rules apply to which target and content type, the
// substitution options, template variables in replacements, rules applied
// in turn, NUL bytes in bodies, the header's terminating NUL, the buffering
// decision, the processors, the section off or bypassed, and patterns
// refused at load.
#include <gtest/gtest.h>

#include <string>

#include "core/filebuf.h"
#include "filter/rewrite.h"
#include "http/header.h"
#include "net/connection.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

std::string rule(const std::string& pattern, const std::string& replacement,
                 const std::string& targets, const std::string& mime_type = "",
                 const std::string& profiles = "", const std::string& enabled = "true") {
    return "<rules>" +
           elements({{"enabled", enabled}, {"comment", ""}, {"profiles", profiles},
                     {"mime_type", mime_type}, {"pattern", pattern},
                     {"replacement", replacement}, {"targets", targets}}) +
           "</rules>";
}

class RewriteTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        rewrite_section = new RewriteSection();
    }

    void configure(const std::string& rules, const char* enabled = "true") {
        sectiontest::load(*rewrite_section,
                          "<rewrite>" + elements({{"enabled", enabled}}) + rules + "</rewrite>");
    }

    // The connection as the road holds it while a response body is
    // rewritten: a request, and a response of that content type (none for
    // "").
    static void respond(Connection& connection, const std::string& content_type) {
        std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n";
        if (!content_type.empty())
            text += "Content-Type: " + content_type + "\r\n";
        connection->response = http_header_parse_response((text + "\r\n").c_str());
    }

    static std::string apply(Connection& connection, int type, const std::string& input) {
        Filebuf text;
        text.Add(input.data(), static_cast<unsigned>(input.size()));
        rewrite_section->rewrite_do(connection.get(), &text, type);
        return std::string(text.data == nullptr ? "" : text.data, text.size);
    }

    std::string body(const std::string& input, const std::string& content_type = "text/html") {
        Connection connection("GET http://www.example.test/ HTTP/1.1\r\n\r\n");
        respond(connection, content_type);
        connection->variables["USERNAME"] = "alice";
        return apply(connection, REWRITE_BODY, input);
    }
};

TEST_F(RewriteTest, RulesByTargetContentTypeAndOptions) {
    struct Case {
        std::string rules;
        const char* content_type;
        const char* input;
        const char* expected;
    } cases[] = {
        {rule("foo", "bar", "body", "text/html"), "text/html; charset=utf-8", "a foo b FOO",
         "a bar b bar"},
        {rule("foo", "bar", "body", "text/html"), "image/gif", "foo", "foo"},
        // No Content-Type: the pattern is tried on the empty text.
        {rule("foo", "bar", "body", "text/html"), "", "foo", "foo"},
        {rule("foo", "bar", "body", ".*"), "", "foo", "bar"},
        {rule("foo", "bar", "client_header,post_body"), "text/html", "foo", "foo"},
        // Extended: blanks in the pattern are ignored.
        {rule("two words", "X", "body"), "text/html", "twowords two words", "X two words"},
        {rule("two\\ words", "X", "body"), "text/html", "twowords two words", "twowords X"},
        // Multi-line and dot-all.
        {rule("^b.*?$", "[$0]", "body"), "text/html", "a\nbc\nd", "a\n[bc]\nd"},
        {rule("a.c", "-", "body"), "text/html", "a\nc", "-"},
        // Groups, variables, deletion.
        {rule("(\\w+)@(\\w+)", "$2 at $1", "body"), "text/html", "x me@home y", "x home at me y"},
        {rule("USER", "[@USERNAME@]", "body"), "text/html", "hi USER", "hi [alice]"},
        {rule("\\s*secret", "", "body"), "text/html", "keep secret", "keep"},
        // Rules in turn, each on what the one before left.
        {rule("a", "b", "body") + rule("b", "c", "body"), "text/html", "ab", "cc"},
        {rule("a", "b", "body", "", "", "false"), "text/html", "a", "a"},
        {rule("a", "b", "body", "", "staff"), "text/html", "a", "a"},
        {rule("", "b", "body"), "text/html", "a", "a"},
    };
    for (const Case& c : cases) {
        configure(c.rules);
        EXPECT_EQ(body(c.input, c.content_type), c.expected) << c.rules << " / " << c.content_type;
    }
}

TEST_F(RewriteTest, BodiesAreMatchedByTheirLength) {
    configure(rule("foo", "bar", "body"));
    const std::string input("\0foo\0foo", 8);
    EXPECT_EQ(body(input), std::string("\0bar\0bar", 8));
    EXPECT_TRUE(logged("foo matched 2 times in body"));
}

TEST_F(RewriteTest, HeadersKeepTheirTerminatingNul) {
    // The request header is taken apart during its stage: a content-type
    // pattern cannot restrict a client-header rule.
    configure(rule("^X-Agent:\\ [^\\r\\n]*", "X-Agent: anonymous", "client_header,server_header",
                   "text/html") +
              rule("\\r\\n\\r\\n$", "\\r\\nX-Added: 1\\r\\n\\r\\n", "client_header"));
    Connection stage;
    const std::string request("GET / HTTP/1.1\r\nX-Agent: browser 1.0\r\n\r\n", 40);
    Filebuf text;
    text.Add(request.c_str(), static_cast<unsigned>(request.size() + 1));
    EXPECT_EQ(rewrite_reqheader(stage.get(), &text), 1);
    EXPECT_EQ(std::string(text.data, text.size),
              std::string("GET / HTTP/1.1\r\nX-Agent: anonymous\r\nX-Added: 1\r\n\r\n") + '\0');
    EXPECT_TRUE(logged("^X-Agent:\\ [^\\r\\n]* matched 1 times in client header"));

    // The response header: its rules need a content-type pattern that
    // matches the empty text.
    Connection connection("GET http://www.example.test/ HTTP/1.1\r\n\r\n");
    const std::string response = std::string("HTTP/1.1 200 OK\r\nX-Agent: server\r\n\r\n") + '\0';
    EXPECT_EQ(apply(connection, REWRITE_SERVER_HEADER, response), response);
    configure(rule("^X-Agent:\\ [^\\r\\n]*", "X-Agent: anonymous", "server_header", "^$"));
    EXPECT_EQ(apply(connection, REWRITE_SERVER_HEADER, response),
              std::string("HTTP/1.1 200 OK\r\nX-Agent: anonymous\r\n\r\n") + '\0');
}

TEST_F(RewriteTest, ProcessorsBufferingOffAndBypass) {
    // A post-body rule with a content-type pattern applies only when that
    // pattern matches the empty text.
    configure(rule("a", "b", "body", "text/html") + rule("a", "b", "post_body") +
              rule("a", "c", "post_body", "text/html") + rule("", "", "body"));
    Connection connection("POST http://www.example.test/ HTTP/1.1\r\nContent-Length: 1\r\n\r\n");
    respond(connection, "text/html");
    EXPECT_EQ(rewrite_buffcheck(connection.get(), nullptr), 1);
    Filebuf post;
    post.Add("a", 1);
    EXPECT_EQ(rewrite_reqmod(connection.get(), &post), 0); // later processors still run
    EXPECT_EQ(std::string(post.data, post.size), "b");
    Filebuf empty;
    EXPECT_EQ(rewrite_reqmod(connection.get(), &empty), 0);
    EXPECT_EQ(empty.size, 0u);
    Filebuf response;
    response.Add("aa", 2);
    EXPECT_EQ(rewrite_respmod(connection.get(), &response), 1);
    EXPECT_EQ(std::string(response.data, response.size), "bb");

    // A response of another type is neither buffered nor rewritten; a rule
    // without a pattern never asks for buffering.
    respond(connection, "image/png");
    EXPECT_EQ(rewrite_buffcheck(connection.get(), nullptr), 0);
    configure(rule("", "x", "body"));
    EXPECT_EQ(rewrite_buffcheck(connection.get(), nullptr), 0);

    // Zero matches: applied all the same, nothing logged.
    configure(rule("zzz", "y", "body"));
    Filebuf untouched;
    untouched.Add("abc", 3);
    EXPECT_EQ(rewrite_section->rewrite_do(connection.get(), &untouched, REWRITE_BODY), 1);
    EXPECT_FALSE(logged("zzz matched 0 times in body"));

    configure(rule("a", "b", "body"), "false");
    EXPECT_EQ(rewrite_buffcheck(connection.get(), nullptr), 0);
    EXPECT_EQ(body("a"), "a");
    configure(rule("a", "b", "body"));
    connection->bypass = BYPASS_REWRITE;
    EXPECT_EQ(rewrite_buffcheck(connection.get(), nullptr), 0);
    Filebuf bypassed;
    bypassed.Add("a", 1);
    EXPECT_EQ(rewrite_section->rewrite_do(connection.get(), &bypassed, REWRITE_BODY), 0);
    EXPECT_EQ(std::string(bypassed.data, bypassed.size), "a");
}

TEST_F(RewriteTest, BadPatternsRefuseTheLoad) {
    configure(rule("a", "b", "body"));
    EXPECT_THROW(configure(rule("(a", "b", "body")), ConfigError);
    EXPECT_TRUE(logged("section rewrite, element rules: pattern must be a regular expression, but "
                       "it is given value (a (missing closing parenthesis at offset 2)"));
    EXPECT_THROW(configure(rule("a", "b", "body", "[html")), ConfigError);
    ASSERT_EQ(rewrite_section->rules.size(), 1u);
    EXPECT_EQ(body("a"), "b");
}

} // namespace
