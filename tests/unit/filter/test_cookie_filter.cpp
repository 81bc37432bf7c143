// The cookie filter: decisions for incoming and outgoing cookies by
// direction, domain, path, expiry window and profile in both orders; session
// cookies against windows; the section off or bypassed; the serialiser
// dropping refused lines; and the "cookies" page, escaped.
#include <gtest/gtest.h>

#include <string>

#include "config/general.h"
#include "core/filebuf.h"
#include "filter/cookie_filter.h"
#include "http/header.h"
#include "http/header_io.h"
#include "iface/interface.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

// The time parts of a rule: each "" (switched off) or "low,high".
struct Window {
    std::string year, month, day, weekday, hour, minute;
    std::string mode = "span";
};

std::string part(const char* name, const std::string& bounds, const char* unused) {
    std::string active = bounds.empty() ? "false" : "true";
    return std::string("<") + name + " active=\"" + active + "\">" +
           (bounds.empty() ? unused : bounds) + "</" + name + ">";
}

std::string entry(const std::string& list, const std::string& comment, const std::string& direction,
                  const std::string& domain = "", const std::string& path = "",
                  const Window& window = Window(), const std::string& profiles = "") {
    return "<" + list + ">" +
           elements({{"enabled", "true"}, {"comment", comment}, {"groups", ""},
                     {"profiles", profiles}}) +
           part("year", window.year, "1970,2100") + part("month", window.month, "January,December") +
           part("day", window.day, "1,31") + part("weekday", window.weekday, "Sunday,Saturday") +
           part("hour", window.hour, "0,23") + part("minute", window.minute, "0,59") +
           elements({{"domain_pattern", domain}, {"path_pattern", path}, {"direction", direction},
                     {"time_mode", window.mode}}) +
           "</" + list + ">";
}

class CookieFilterTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        template_section = new TemplateSection();
        sectiontest::load(*template_section, "<templates></templates>");
        cookie_section = new CookieSection();
    }

    void configure(const char* order, const std::string& rules, const char* enabled = "true") {
        sectiontest::load(*cookie_section, "<cookies-filtering>" +
                                               elements({{"enabled", enabled}, {"order", order}}) +
                                               rules + "</cookies-filtering>");
    }

    // "pass" or "drop" for one cookie value going that way.
    std::string decide(int way, const std::string& value, const std::string& profiles = "",
                       unsigned bypass = 0) {
        Connection connection;
        connection->profiles = StringList(profiles, ',');
        connection->bypass = bypass;
        CookieHeader cookie(value);
        return cookie_section->check(way, connection.get(), cookie) ? "pass" : "drop";
    }
};

TEST_F(CookieFilterTest, DecisionsByDirectionAttributesWindowAndProfile) {
    Window long_lived;
    long_lived.year = "2030,2100";
    Window office_hours;
    office_hours.hour = "8,17";
    office_hours.mode = "each_part";
    struct Case {
        int way;
        const char* value;
        const char* profiles;
        const char* expected;
    } cases[] = {
        {COOKIE_INCOMING, "a=1; domain=ads.tracker.test", "", "drop"},
        {COOKIE_INCOMING, "a=1; domain=ads.tracker.test; path=/keep", "", "pass"},
        {COOKIE_INCOMING, "a=1; domain=ADS.TRACKER.TEST", "", "drop"}, // patterns ignore case
        // A cookie without a domain never matches a pattern that needs one.
        {COOKIE_INCOMING, "a=1", "", "pass"},
        {COOKIE_INCOMING, "a=1; expires=Tue, 01 Jan 2030 00:00:00 GMT", "", "drop"},
        {COOKIE_INCOMING, "a=1; expires=Wed, 01-Jan-2025 00:00:00 GMT", "", "pass"},
        // A session cookie has no expiry to lie in a window.
        {COOKIE_INCOMING, "a=1; domain=day.test", "", "pass"},
        {COOKIE_INCOMING, "a=1; domain=day.test; expires=Fri, 02 Jan 2026 12:30:00 GMT", "", "drop"},
        {COOKIE_INCOMING, "a=1; domain=day.test; expires=Fri, 02 Jan 2026 18:00:00 GMT", "", "pass"},
        // Outgoing cookies: the rule's domain, path and window play no part.
        {COOKIE_OUTGOING, "a=1; $Domain=tracker.test", "", "drop"},
        {COOKIE_OUTGOING, "b=2; $Domain=elsewhere.test; $Path=/keep", "", "drop"},
    };
    configure("allow-by-default",
              entry("deny", "trackers", "incoming", "tracker\\.test$") +
                  entry("deny", "long-lived", "incoming", "", "", long_lived) +
                  entry("deny", "daytime", "incoming", "^day\\.test$", "", office_hours) +
                  entry("deny", "outgoing to trackers", "outgoing", "tracker") +
                  entry("allow", "kept paths", "incoming", "", "^/keep"));
    for (const Case& c : cases)
        EXPECT_EQ(decide(c.way, c.value, c.profiles), c.expected) << c.value;

    // Profiles scope a rule.
    configure("allow-by-default",
              entry("deny", "strict users send none", "outgoing", "", "", Window(), "strict"));
    EXPECT_EQ(decide(COOKIE_OUTGOING, "a=1"), "pass");
    EXPECT_EQ(decide(COOKIE_OUTGOING, "a=1", "strict"), "drop");
    EXPECT_EQ(decide(COOKIE_INCOMING, "a=1", "strict"), "pass");
}

TEST_F(CookieFilterTest, DenyByDefaultOffAndBypassed) {
    configure("deny-by-default", "");
    EXPECT_EQ(decide(COOKIE_INCOMING, "a=1"), "drop");
    EXPECT_EQ(decide(COOKIE_OUTGOING, "a=1"), "drop");
    EXPECT_EQ(decide(COOKIE_OUTGOING, "a=1", "", BYPASS_COOKIE_FILTER), "pass");
    configure("deny-by-default", entry("allow", "local", "incoming", "^local\\.test$"));
    EXPECT_EQ(decide(COOKIE_INCOMING, "a=1; domain=local.test"), "pass");
    EXPECT_EQ(decide(COOKIE_INCOMING, "a=1; domain=other.test"), "drop");
    configure("deny-by-default", "", "false");
    EXPECT_EQ(decide(COOKIE_INCOMING, "a=1"), "pass");
}

TEST_F(CookieFilterTest, SerialiserDropsRefusedLinesAndPassesTheRestAsTheyCame) {
    configure("allow-by-default", entry("deny", "trackers", "incoming", "tracker"));
    Connection connection("GET http://www.example.test/ HTTP/1.1\r\n"
                          "Cookie: sid=1; $Path=/\r\n\r\n");
    connection->response = http_header_parse_response(
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
        "Set-Cookie: t=1; Domain=tracker.test; Secure\r\n"
        "Set-Cookie: keep=1; Path=/; HttpOnly\r\n\r\n");
    Filebuf out;
    header_send_filebuf(&out, connection->response, connection.get(), HEADER_SEND_RESPONSE);
    std::string text(out.data, out.size);
    EXPECT_EQ(text.find("t=1"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nSet-Cookie: keep=1; Path=/; HttpOnly\r\n"), std::string::npos) << text;
    EXPECT_TRUE(logged("blocked: incoming from www.example.test"));
    // An incoming rule leaves the request's cookie alone.
    Filebuf request;
    header_send_filebuf(&request, connection->request, connection.get(), HEADER_SEND_ORIGIN);
    EXPECT_NE(std::string(request.data, request.size).find("\r\nCookie: sid=1; $Path=/\r\n"),
              std::string::npos);
}

TEST_F(CookieFilterTest, CookiesPageShowsBothSidesEscaped) {
    configure("deny-by-default", ""); // the page shows what came, decisions aside
    Connection connection("GET http://www.example.test/%3Cb%3E\"q\" HTTP/1.1\r\n"
                          "Cookie: a=<b>; $Path=/\r\n"
                          "cookie: lower=case\r\n\r\n");
    connection->response = http_header_parse_response(
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
        "Set-Cookie: x=\"y\"&z; Domain=<evil>.test; Path=/p; "
        "Expires=Fri, 02 Jan 2026 12:30:00 GMT; Secure\r\n"
        "Set-Cookie: session=1\r\n\r\n");
    connection.attach_client();
    EXPECT_EQ(interface_cookies_show(connection.get()), 1);
    std::string page = connection.sent();
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("<title>Cookies for www.example.test/%3Cb%3E&quot;q&quot;</title>"),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find("<b>"), std::string::npos) << page;
    EXPECT_EQ(page.find("<evil>"), std::string::npos) << page;
    const char* expected[] = {
        "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Sent cookie</td></tr>\n"
        "<tr><td>a</td><td>&lt;b&gt;</td></tr>\n</table>",
        "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Received cookie</td></tr>\n"
        "<tr><td>Expires</td><td>Fri, 02-Jan-2026 12:30:00 GMT</td></tr>\n"
        "<tr><td>Domain</td><td>&lt;evil&gt;.test</td></tr>\n"
        "<tr><td>Path</td><td>/p</td></tr>\n"
        "<tr><td>x</td><td>&quot;y&quot;&amp;z</td></tr>\n</table>",
        "Received cookie</td></tr>\n<tr><td>session</td><td>1</td></tr>\n</table>",
    };
    for (const char* part : expected)
        EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
    // Only lines named exactly Cookie count.
    EXPECT_EQ(page.find("lower"), std::string::npos);
}

TEST_F(CookieFilterTest, BadPatternRefusesTheLoad) {
    EXPECT_THROW(configure("allow-by-default", entry("deny", "bad", "incoming", "", "[unclosed")),
                 ConfigError);
    EXPECT_TRUE(cookie_section->deny.empty());
}

} // namespace
