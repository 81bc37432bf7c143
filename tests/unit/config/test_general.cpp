// The general section: proxy-wide values and the per-connection entries
// that decide time-outs, buffer limits, CONNECT ports, compression and the
// forwarding headers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/general.h"
#include "core/filebuf.h"
#include "core/misc.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

// One General entry; the arguments that matter to a test, the rest plain.
std::string entry(const std::string& enabled, const std::string& profiles, int timeout,
                  const std::string& mime = "", const std::string& ports = "",
                  const std::string& groups = "") {
    return "<general>" +
           elements({{"enabled", enabled},
                     {"comment", "entry " + std::to_string(timeout)},
                     {"groups", groups},
                     {"profiles", profiles},
                     {"connecttimeout", std::to_string(timeout + 1)},
                     {"timeout", std::to_string(timeout)},
                     {"keepalivetimeout", std::to_string(timeout + 2)},
                     {"maxdownloadbuffer", "2M"},
                     {"maxuploadbuffer", "3k"},
                     {"bufferwait", "7"},
                     {"connectports", ports},
                     {"compressmime", mime},
                     {"compressout", "true"},
                     {"compressin", "true"},
                     {"xforwardedfor", "true"},
                     {"via", "true"}}) +
           "</general>";
}

class GeneralTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        section = new GeneralSection();
        general_section = section;
    }
    void load(const std::string& entries) {
        sectiontest::load(*section,
                          "<general>" +
                              elements({{"hostname", "proxy.example"},
                                        {"tempdir", "/var/tmp"},
                                        {"linelength", "72"},
                                        {"poolsize", "9"},
                                        {"pooltimeout", "33"}}) +
                              entries + "</general>");
    }
    GeneralSection* section = nullptr;
};

TEST_F(GeneralTest, GlobalValuesFollowEveryLoad) {
    load("");
    EXPECT_EQ(section->hostname_get(), "proxy.example");
    EXPECT_EQ(section->tempdir_get(), "/var/tmp");
    EXPECT_EQ(section->linelength_get(), 72);
    EXPECT_EQ(section->poolsize_get(), 9);
    EXPECT_EQ(section->pooltimeout_get(), 33);
    sectiontest::load(*section, "<general><hostname>other</hostname><linelength>5</linelength>"
                                "</general>");
    EXPECT_EQ(section->hostname_get(), "other");
    EXPECT_EQ(section->linelength_get(), 5);
}

// Without a matching entry every getter gives its default; an entry that is
// disabled, or scoped to a profile the connection lacks, does not match.
TEST_F(GeneralTest, DefaultsWithoutMatchingEntry) {
    const std::string setups[] = {
        "",
        entry("false", "", 5),
        entry("true", "staff", 5),
        entry("true", "", 5, "", "", "admins"),
    };
    for (const std::string& setup : setups) {
        load(setup);
        Connection connection;
        connection->timeout = 1;
        connection->keepalive_timeout = 1;
        EXPECT_EQ(section->ctimeout_get(connection.get()), 60) << setup;
        EXPECT_EQ(section->timeout_get(connection.get()), 60);
        EXPECT_EQ(connection->timeout, 60);
        EXPECT_EQ(section->keeptimeout_get(connection.get()), 60);
        EXPECT_EQ(connection->keepalive_timeout, 60);
        EXPECT_EQ(section->maxdbuffer_get(connection.get()), 0u);
        EXPECT_EQ(section->maxubuffer_get(connection.get()), 0u);
        EXPECT_EQ(section->bufferwait_get(connection.get()), 0);
        EXPECT_EQ(section->cportrange_check(connection.get(), 25), 1);
        EXPECT_EQ(section->encodemime_check(connection.get(), "text/html"), 0);
        EXPECT_EQ(section->compressout_get(connection.get()), 0);
        EXPECT_EQ(section->compressin_get(connection.get()), 0);
        EXPECT_EQ(section->xforwardedfor_get(connection.get()), 0);
        EXPECT_EQ(section->via_get(connection.get()), 0);
    }
}

TEST_F(GeneralTest, FirstEnabledMatchingEntryDecidesEveryGetter) {
    load(entry("false", "", 10) + entry("true", "staff", 20) + entry("true", "", 30, "^text/") +
         entry("true", "", 40));
    Connection plain;
    EXPECT_EQ(section->timeout_get(plain.get()), 30);
    EXPECT_EQ(plain->timeout, 30);
    EXPECT_EQ(section->ctimeout_get(plain.get()), 31);
    EXPECT_EQ(section->keeptimeout_get(plain.get()), 32);
    EXPECT_EQ(plain->keepalive_timeout, 32);
    EXPECT_EQ(section->maxdbuffer_get(plain.get()), 2u * 1024 * 1024);
    EXPECT_EQ(section->maxubuffer_get(plain.get()), 3u * 1024);
    EXPECT_EQ(section->bufferwait_get(plain.get()), 7);
    EXPECT_EQ(section->compressout_get(plain.get()), 1);
    EXPECT_EQ(section->compressin_get(plain.get()), 1);
    EXPECT_EQ(section->xforwardedfor_get(plain.get()), 1);
    EXPECT_EQ(section->via_get(plain.get()), 1);

    Connection staff;
    staff->profiles.push_back("staff");
    EXPECT_EQ(section->timeout_get(staff.get()), 20);
}

TEST_F(GeneralTest, CompressionNeedsACompiledMimePattern) {
    load(entry("true", "a", 1, "") + entry("true", "b", 2, "^TEXT/") + entry("true", "c", 3, "(["));
    struct Case {
        const char* profile;
        const char* mime;
        int allowed;
    } cases[] = {
        {"a", "text/html", 0},  // empty pattern: never, though compress-out is on
        {"b", "text/html", 1},  // case ignored
        {"b", "image/png", 0},
        {"b", nullptr, 0},
        {"c", "text/html", 0},  // pattern that does not compile
    };
    for (const Case& c : cases) {
        Connection connection;
        connection->profiles.push_back(c.profile);
        EXPECT_EQ(section->encodemime_check(connection.get(), c.mime), c.allowed)
            << c.profile << " " << (c.mime ? c.mime : "(null)");
        EXPECT_EQ(section->compressout_get(connection.get()), 1);
    }
    EXPECT_TRUE(logged("failed to compile regular expression: (["));
}

TEST_F(GeneralTest, ConnectPortsOfTheMatchingEntry) {
    load(entry("true", "a", 1, "", "") + entry("true", "", 2, "", "443,8000-8080"));
    Connection open;
    open->profiles.push_back("a");
    EXPECT_EQ(section->cportrange_check(open.get(), 25), 1);
    Connection limited;
    EXPECT_EQ(section->cportrange_check(limited.get(), 443), 1);
    EXPECT_EQ(section->cportrange_check(limited.get(), 8080), 1);
    EXPECT_EQ(section->cportrange_check(limited.get(), 25), 0);
}

// Copies of an entry (the list rebuilt by every load) own their patterns.
TEST_F(GeneralTest, ReloadsReplaceTheEntries) {
    load(entry("true", "", 11, "html"));
    load(entry("true", "", 12, "xml"));
    Connection connection;
    EXPECT_EQ(section->timeout_get(connection.get()), 12);
    EXPECT_EQ(section->encodemime_check(connection.get(), "text/html"), 0);
    EXPECT_EQ(section->encodemime_check(connection.get(), "text/xml"), 1);
    EXPECT_EQ(section->generals.size(), 1u);
}

} // namespace

namespace {

// Text shown in pages is broken after the general section's line length.
TEST_F(GeneralTest, HtmlEscapingWrapsAtTheConfiguredLineLength) {
    load("");
    sectiontest::load(*section, "<general><linelength>4</linelength></general>");
    char* wrapped = string_to_html("abcdefgh <x>", HTML_NEWLINE_BREAK);
    char* expected = string_to_html("abcdefgh <x>", HTML_NEWLINE_BREAK, 4);
    EXPECT_STREQ(wrapped, expected);
    EXPECT_NE(strstr(wrapped, "abcd<br>"), nullptr) << wrapped;
    free(wrapped);
    free(expected);
}

// Response bodies are compressed for a client only when its entry says so.
TEST_F(GeneralTest, BodiesAreEncodedForClientsWhoseEntryCompresses) {
    std::string plain = entry("true", "", 2);
    plain.replace(plain.find("<compressout>true"), 17, "<compressout>false");
    load(entry("true", "on", 1) + plain);
    struct Case {
        const char* profile;
        const char* accept;
        unsigned flags;
        const char* coding; // nullptr: left alone
    } cases[] = {
        {"on", "deflate, gzip", 0, "gzip"},
        {"on", "deflate", 0, "deflate"},
        {"on", "br", 0, nullptr},
        {"on", nullptr, 0, nullptr},
        {"on", "gzip", CONN_ENCODING_ASKED, nullptr},
        {"off", "gzip", 0, nullptr},
    };
    const std::string body(5000, 'k');
    for (const Case& c : cases) {
        std::string request = "GET http://h/ HTTP/1.1\r\n";
        if (c.accept != nullptr)
            request += std::string("Accept-Encoding: ") + c.accept + "\r\n";
        Connection connection((request + "\r\n").c_str());
        connection->profiles.push_back(c.profile);
        connection->flags = c.flags;
        connection->response = http_header_parse_response("HTTP/1.1 200 OK\r\n\r\n");
        Filebuf buffer;
        buffer.Add(body.data(), static_cast<unsigned>(body.size()));
        EXPECT_EQ(buffer.Encode(connection.get()), c.coding != nullptr ? 1 : 0) << c.profile;
        if (c.coding == nullptr) {
            EXPECT_EQ(connection->response->content_encoding, nullptr);
            EXPECT_EQ(std::string(buffer.data, buffer.size), body);
            continue;
        }
        EXPECT_STREQ(connection->response->content_encoding, c.coding);
        EXPECT_LT(buffer.size, body.size());
        EXPECT_EQ(buffer.Decode(connection.get()), 1);
        EXPECT_EQ(std::string(buffer.data, buffer.size), body);
    }
}

} // namespace
