// The MIME filter: verdicts by Content-Type, host, path and profile in both
// orders, responses without a Content-Type, the block page and record, and
// the "mime" verdict page with its values escaped.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "filter/mime.h"
#include "http/header.h"
#include "net/connection.h"
#include "support/filter_test_support.h"

using sectiontest::Connection;
using filtertest::ALLOW_BY_DEFAULT;
using filtertest::DENY_BY_DEFAULT;
using sectiontest::elements;

namespace {

std::string entry(const std::string& list, const std::string& comment,
                  const std::string& mime_type, const std::string& host = "",
                  const std::string& path = "", const std::string& profiles = "",
                  const std::string& page = "") {
    return "<" + list + ">" +
           elements({{"enabled", "true"}, {"comment", comment}, {"groups", ""},
                     {"profiles", profiles}, {"host", host}, {"path", path},
                     {"mime_type", mime_type}, {"template", page}}) +
           "</" + list + ">";
}

class MimeTest : public filtertest::FilterSectionTest {
protected:
    void SetUp() override {
        FilterSectionTest::SetUp();
        mime_section = new MimeSection();
    }

    void configure(const char* order, const std::string& rules, const std::string& page = "",
                   const char* enabled = "true") {
        sectiontest::load(*mime_section,
                          "<mime-filtering>" +
                              elements({{"enabled", enabled}, {"order", order}, {"template", page}}) +
                              rules + "</mime-filtering>");
    }

    // A connection that asked for the URL and got a response of the type
    // (NULL: no Content-Type line).
    Connection& exchange(const std::string& url, const char* type,
                         const std::string& profiles = "") {
        Connection& connection = request(url, profiles);
        std::string answer = "HTTP/1.1 200 OK\r\n";
        if (type != nullptr)
            answer += std::string("Content-Type: ") + type + "\r\n";
        connection->response = http_header_parse_response((answer + "\r\n").c_str());
        EXPECT_NE(connection->response, nullptr);
        return connection;
    }

    // The deciding rule's comment, "default" or "pass".
    std::string verdict(const std::string& url, const char* type,
                        const std::string& profiles = "") {
        Connection& connection = exchange(url, type, profiles);
        mime_section->read_lock();
        const Mime* rule = mime_section->check(connection.get());
        std::string result = filtertest::verdict_name(rule, mime_section->default_rule);
        mime_section->unlock();
        return result;
    }
};

TEST_F(MimeTest, TypesHostsPathsOrderAndProfilesDecide) {
    const std::string rules = entry("allow", "allow-images", "^image/") +
                              entry("allow", "allow-staff-video", "^video/", "", "", "staff") +
                              entry("deny", "deny-executables", "application/(x-msdownload|octet)") +
                              entry("deny", "deny-svg", "svg") +
                              entry("deny", "deny-html-at-ads", "TEXT/HTML", "^ads\\.") +
                              entry("deny", "deny-scripts-path", "", "", "^/scripts/") +
                              entry("deny", "deny-video-guests", "^video/", "", "", "!staff");
    const char* const html = "text/html; charset=utf-8";
    struct Case {
        const char* order;
        const char* url;
        const char* type;
        const char* profiles;
        const char* expected;
    } cases[] = {
        {ALLOW_BY_DEFAULT, "http://www.test/", html, "", "pass"},
        {ALLOW_BY_DEFAULT, "http://www.test/x.exe", "application/x-msdownload", "", "deny-executables"},
        // A pattern for the bare type finds it with parameters, in any case.
        {ALLOW_BY_DEFAULT, "http://ads.test/", html, "", "deny-html-at-ads"},
        {ALLOW_BY_DEFAULT, "http://www.test/", "APPLICATION/OCTET-STREAM; x=1", "", "deny-executables"},
        // Deny and allow both match: the allow rule undoes the refusal.
        {ALLOW_BY_DEFAULT, "http://www.test/a.svg", "image/svg+xml", "", "pass"},
        // A rule without a MIME pattern matches responses without a type;
        // one with a pattern never does.
        {ALLOW_BY_DEFAULT, "http://www.test/scripts/a", nullptr, "", "deny-scripts-path"},
        {ALLOW_BY_DEFAULT, "http://www.test/%73cripts/a", nullptr, "", "deny-scripts-path"},
        {ALLOW_BY_DEFAULT, "http://www.test/other", nullptr, "", "pass"},
        {ALLOW_BY_DEFAULT, "http://www.test/v", "video/mp4", "", "deny-video-guests"},
        {ALLOW_BY_DEFAULT, "http://www.test/v", "video/mp4", "staff", "pass"},
        {DENY_BY_DEFAULT, "http://www.test/", "image/png", "", "pass"},
        {DENY_BY_DEFAULT, "http://www.test/", html, "", "default"},
        {DENY_BY_DEFAULT, "http://www.test/", nullptr, "", "default"},
        {DENY_BY_DEFAULT, "http://www.test/a.svg", "image/svg+xml", "", "deny-svg"},
        {DENY_BY_DEFAULT, "http://www.test/v", "video/webm", "staff", "pass"},
        {DENY_BY_DEFAULT, "http://www.test/v", "video/webm", "", "default"},
    };
    for (const Case& c : cases) {
        configure(c.order, rules);
        EXPECT_EQ(verdict(c.url, c.type, c.profiles), c.expected)
            << c.order << " " << c.url << " " << (c.type ? c.type : "(none)");
    }
}

TEST_F(MimeTest, SwitchedOffOrBypassedPassesAndShowsNone) {
    configure(DENY_BY_DEFAULT, "", "", "false");
    EXPECT_EQ(verdict("http://www.test/", "text/plain"), "pass");
    configure(DENY_BY_DEFAULT, "");
    Connection& bypassed = exchange("http://www.test/", "text/plain");
    bypassed->bypass = BYPASS_MIME_FILTER;
    bypassed.attach_client();
    EXPECT_EQ(mime_section->check_and_block(bypassed.get()), 1);
    mime_section->check_show(bypassed.get());
    EXPECT_NE(bypassed.sent().find("<tr><td align=\"center\" colspan=\"2\">None</td></tr>"),
              std::string::npos);
}

TEST_F(MimeTest, BlockPageVariablesAndRecord) {
    configure(ALLOW_BY_DEFAULT, entry("deny", "no-pdf", "pdf"));
    Connection& pdf = exchange("http://www.test/a.pdf", "application/pdf");
    pdf.attach_client();
    pdf->variables["REASON"] = "left over";
    EXPECT_EQ(mime_section->check_and_block(pdf.get()), 0);
    std::string reply = pdf.sent();
    EXPECT_EQ(reply.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Filter: MiMe Filter<br>\nReason: application/pdf"), std::string::npos)
        << reply;
    EXPECT_EQ(pdf->variables["MIME"], "application/pdf");
    filtertest::expect_refusal_record(pdf->log, "mime-filter", "application/pdf");
    EXPECT_TRUE(logged("blocked: mime-type application/pdf from www.test/a.pdf"));
    EXPECT_TRUE(logged("blocked: [IP: 127.0.0.1] application/pdf"));

    // Refused without a Content-Type, by the default rule with the
    // section's page.
    configure(DENY_BY_DEFAULT, "", "noaccess");
    Connection& untyped = exchange("http://www.test/", nullptr);
    untyped.attach_client();
    EXPECT_EQ(mime_section->check_and_block(untyped.get()), 0);
    EXPECT_NE(untyped.sent().find("<title>Access denied</title>"), std::string::npos);
    EXPECT_EQ(untyped->variables["MIME"], "(UNKNOWN)");
    EXPECT_EQ(untyped->variables["REASON"], "(none)");
    EXPECT_EQ(untyped->log.filtering_reason, "(none)");

    // No client to write to: the record is filled all the same.
    Connection& gone = exchange("http://www.test/", "text/plain");
    EXPECT_EQ(mime_section->check_and_block(gone.get()), 0);
    EXPECT_EQ(gone->log.status, 403);
}

TEST_F(MimeTest, VerdictPageEscapesTheRequestAndShowsTheRule) {
    configure(ALLOW_BY_DEFAULT, entry("deny", "no-&lt;b&gt;-types", "^text/")); // "no-<b>-types"
    Connection& hit = exchange("http://www.test/%3Cscript%3E\"x\"", "text/html");
    hit.attach_client();
    mime_section->check_show(hit.get());
    std::string page = hit.sent();
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
    EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
    EXPECT_NE(page.find("<title>MIME filter match for www.test/%3Cscript%3E&quot;x&quot;</title>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("no-&lt;b&gt;-types"), std::string::npos) << page; // the entry, escaped
    EXPECT_EQ(page.find("no-<b>-types"), std::string::npos) << page;

    configure(DENY_BY_DEFAULT, "");
    Connection& refused = exchange("http://www.test/", "text/plain");
    refused.attach_client();
    mime_section->check_show(refused.get());
    EXPECT_NE(refused.sent().find("Built-in default rule"), std::string::npos);
}

TEST_F(MimeTest, BadPatternRefusesTheLoadAndKeepsTheRules) {
    configure(ALLOW_BY_DEFAULT, entry("deny", "good", "pdf"));
    EXPECT_THROW(configure(ALLOW_BY_DEFAULT, entry("deny", "bad", "(unclosed")), ConfigError);
    EXPECT_NE(logtest::read_file(log_path).find(
                  "section mime-filtering, element deny: mime_type must be a regular expression"),
              std::string::npos);
    EXPECT_EQ(verdict("http://www.test/", "application/pdf"), "good");
}

} // namespace
