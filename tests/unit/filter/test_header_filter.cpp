// The header filter: lines kept and removed in both orders, by direction,
// pattern and profile; inserted lines; the section off or bypassed; secrets
// kept out of the log; a header no rule changes left as it is; patterns
// refused at load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/header_filter.h"
#include "http/header.h"
#include "net/connection.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

// An entry of "allow", "deny" or "insert"; direction "client", "server" or
// "client,server".
std::string entry(const std::string& list, const std::string& name, const std::string& value,
                  const std::string& direction = "client,server",
                  const std::string& profiles = "", const std::string& enabled = "true") {
    return "<" + list + ">" +
           elements({{"enabled", enabled}, {"comment", list + " " + name}, {"groups", ""},
                     {"profiles", profiles}, {"name", name}, {"value", value},
                     {"direction", direction}}) +
           "</" + list + ">";
}

const char* const REQUEST =
    "GET http://www.example.test/ HTTP/1.1\r\n"
    "Host: www.example.test\r\n"
    "X-Tracking: abc\r\n"
    "Accept-Language: de\r\n"
    "Cookie: sid=secret\r\n"
    "x-debug: on\r\n"
    "\r\n";

const char* const RESPONSE =
    "HTTP/1.1 200 OK\r\n"
    "Content-Length: 0\r\n"
    "X-Tracking: srv\r\n"
    "Set-Cookie: a=1\r\n"
    "\r\n";

class HeaderFilterTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        header_section = new HeaderSection();
    }

    void configure(const char* order, const std::string& rules, const char* enabled = "true") {
        sectiontest::load(*header_section, "<header-filtering>" +
                                               elements({{"enabled", enabled}, {"order", order}}) +
                                               rules + "</header-filtering>");
    }

    // The names (and inserted values) of the lines the serialiser would
    // write from the list, "|"-joined; "as received" when the header was
    // left alone.
    static std::string written(const HEADER* header) {
        if (!(header->flags & HEADER_FILTERED))
            return "as received";
        std::string names;
        for (const HTTP_HEADER& line : header->filtered_lines)
            names += (names.empty() ? "" : "|") + line.name;
        return names;
    }

    std::string filter_request(const std::string& profiles = "", unsigned bypass = 0) {
        Connection connection(REQUEST);
        connection->profiles = StringList(profiles, ',');
        connection->bypass = bypass;
        header_section->filter(connection.get(), HEADER_RULE_CLIENT);
        return written(connection->request);
    }

    std::string filter_response() {
        Connection connection;
        connection->response = http_header_parse_response(RESPONSE);
        header_section->filter(connection.get(), HEADER_RULE_SERVER);
        return written(connection->response);
    }
};

TEST_F(HeaderFilterTest, LinesKeptRemovedAndAddedByOrderDirectionAndProfile) {
    struct Case {
        const char* order;
        std::string rules;
        const char* profiles;
        const char* request;
        const char* response;
    } cases[] = {
        {"allow-by-default", "", "", "as received", "as received"},
        // Names are searched without case, anywhere in the name.
        {"allow-by-default", entry("deny", "TRACKING", ""), "",
         "Host|Accept-Language|Cookie|x-debug", "Content-Length|Set-Cookie"},
        // Direction: responses only.
        {"allow-by-default", entry("deny", "^x-", "", "server"), "", "as received",
         "Content-Length|Set-Cookie"},
        // A deny match undone by an allow match.
        {"allow-by-default", entry("deny", "^x-", "") + entry("allow", "", "^on$"), "",
         "Host|Accept-Language|Cookie|x-debug", "Content-Length|Set-Cookie"},
        // A deny rule with neither pattern removes every line of its side.
        {"allow-by-default", entry("deny", "", "", "client"), "", "", "as received"},
        // Profiles scope a rule.
        {"allow-by-default", entry("deny", "^x-", "", "client", "strict"), "", "as received",
         "as received"},
        {"allow-by-default", entry("deny", "^x-", "", "client", "strict"), "strict",
         "Host|Accept-Language|Cookie", "as received"},
        // A disabled rule never matches.
        {"allow-by-default", entry("deny", "", "", "client", "", "false"), "", "as received",
         "as received"},
        // Deny by default: only what an allow rule keeps, minus what a deny
        // rule takes back.
        {"deny-by-default", "", "", "", ""},
        {"deny-by-default", entry("allow", "^(host|cookie|x-debug)$", "") + entry("deny", "", "on"),
         "", "Host|Cookie", ""},
        // Inserted lines follow the kept ones; empty texts insert nothing.
        {"allow-by-default",
         entry("insert", "X-Proxy", "kestrivan") + entry("insert", "X-Proxy", "again", "client") +
             entry("insert", "X-Empty", "") + entry("insert", "X-Server", "s", "server"),
         "", "Host|X-Tracking|Accept-Language|Cookie|x-debug|X-Proxy|X-Proxy",
         "Content-Length|X-Tracking|Set-Cookie|X-Proxy|X-Server"},
        // Insert rule texts are never patterns.
        {"deny-by-default", entry("insert", "X-Odd", "(unclosed"), "", "X-Odd", "X-Odd"},
    };
    for (const Case& c : cases) {
        configure(c.order, c.rules);
        EXPECT_EQ(filter_request(c.profiles), c.request) << c.order << " " << c.rules;
        EXPECT_EQ(filter_response(), c.response) << c.order << " " << c.rules;
    }
}

TEST_F(HeaderFilterTest, OffOrBypassedLeavesTheHeaderAlone) {
    configure("deny-by-default", entry("insert", "X-Proxy", "kestrivan"), "false");
    EXPECT_EQ(filter_request(), "as received");
    configure("deny-by-default", entry("insert", "X-Proxy", "kestrivan"));
    EXPECT_EQ(filter_request(), "X-Proxy");
    EXPECT_EQ(filter_request("", BYPASS_HEADER_FILTER), "as received");
}

TEST_F(HeaderFilterTest, LogLinesNeverShowSecrets) {
    configure("allow-by-default", entry("deny", "cookie|tracking", "", "client") +
                                      entry("insert", "Authorization", "Basic dXNlcjpwdw==") +
                                      entry("insert", "X-Via", "proxy"));
    Connection connection(REQUEST);
    header_section->filter(connection.get(), HEADER_RULE_CLIENT);
    // The lines as received stay as they were.
    EXPECT_EQ(connection->request->lines.size(), 5u);
    std::string log = logtest::read_file(log_path);
    EXPECT_NE(log.find("removed: from client: X-Tracking: abc"), std::string::npos) << log;
    EXPECT_NE(log.find("removed: from client: Cookie: ***"), std::string::npos) << log;
    EXPECT_NE(log.find("added: to client: Authorization: ***"), std::string::npos) << log;
    EXPECT_NE(log.find("added: to client: X-Via: proxy"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
    EXPECT_EQ(log.find("dXNlcjpwdw"), std::string::npos) << log;
}

TEST_F(HeaderFilterTest, BadPatternRefusesTheLoadAndKeepsTheRules) {
    configure("allow-by-default", entry("deny", "^x-", ""));
    EXPECT_THROW(configure("allow-by-default", entry("deny", "", "(unclosed")), ConfigError);
    EXPECT_TRUE(logged("section header-filtering, element deny: value must be a regular "
                       "expression, but it is given value (unclosed (missing closing parenthesis at "
                       "offset 9)"));
    ASSERT_EQ(header_section->deny.size(), 1u);
    EXPECT_EQ(header_section->deny.front().name.text(), "^x-");
}

} // namespace
