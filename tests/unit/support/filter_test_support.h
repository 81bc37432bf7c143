// Helpers for tests of the filter sections: a fixture with the shipped
// definitions, the general section and the built-in page templates in force,
// which makes connections for requests and frees them; and the check of the
// access-log record a refusal leaves.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/general.h"
#include "core/access_log.h"
#include "core/filebuf.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "support/section_test_support.h"

namespace filtertest {

using sectiontest::Connection;

// The texts of the order field.
const char* const ALLOW_BY_DEFAULT = "allow-by-default";
const char* const DENY_BY_DEFAULT = "deny-by-default";

class FilterSectionTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        template_section = new TemplateSection();
        sectiontest::load(*template_section, "<templates></templates>");
    }
    void TearDown() override {
        for (Connection* connection : connections) {
            free((*connection)->client_ip);
            delete (*connection)->body;
            delete connection;
        }
        ShippedSectionTest::TearDown();
    }

    // A connection of client 127.0.0.1 with the profiles, asking for the URL
    // with further header lines (each ending in CRLF).
    Connection& request(const std::string& url, const std::string& profiles = "",
                        const std::string& header = "") {
        std::string text = "GET " + url + " HTTP/1.1\r\n" + header + "\r\n";
        connections.push_back(new Connection(text.c_str()));
        Connection& connection = *connections.back();
        connection->client_ip = strdup("127.0.0.1");
        connection->profiles = StringList(profiles, ',');
        return connection;
    }

    std::vector<Connection*> connections;
};

// A verdict as a test names it: "pass" when no rule refused, "default" for
// the section's built-in rule, else the deciding rule's comment.
template <class Rule>
std::string verdict_name(const Rule* rule, const Rule& default_rule) {
    if (rule == nullptr)
        return "pass";
    return rule == &default_rule ? "default" : rule->comment;
}

// The record of a request or response the filter refused: its name and
// reason, denied, answered by the proxy itself, status 403.
inline void expect_refusal_record(const LogEntry& record, const std::string& filter_name,
                                  const std::string& reason) {
    EXPECT_EQ(record.filter_name, filter_name);
    EXPECT_EQ(record.filtering_reason, reason);
    EXPECT_EQ(record.cachecode(), "TCP_DENIED");
    EXPECT_EQ(record.peercode(), "DIRECT");
    EXPECT_EQ(record.peer, "kestrivan");
    EXPECT_EQ(record.status, 403);
}

} // namespace filtertest
