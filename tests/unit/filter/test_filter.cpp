// The URL filter: verdicts by host, path, destination address and profile in
// both orders, the one address lookup made without the section lock, the
// block page and record, the "filter" verdict page, and patterns refused at
// load.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/general.h"
#include "core/filebuf.h"
#include "filter/filter.h"
#include "http/header.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/dnscache.h"
#include "support/filter_test_support.h"

using sectiontest::Connection;
using filtertest::ALLOW_BY_DEFAULT;
using filtertest::DENY_BY_DEFAULT;
using sectiontest::elements;

namespace {

// An entry of the allow ("allow") or deny ("deny") list.
std::string entry(const std::string& list, const std::string& comment,
                  const std::string& host = "", const std::string& path = "",
                  const std::string& addresses = "", const std::string& profiles = "",
                  const std::string& page = "", const std::string& enabled = "true") {
    return "<" + list + ">" +
           elements({{"enabled", enabled}, {"comment", comment}, {"groups", ""},
                     {"profiles", profiles}, {"host", host}, {"path", path},
                     {"addresses", addresses}, {"template", page}}) +
           "</" + list + ">";
}

// The names the fake resolver knows, how often it was asked, and whether
// the section's lock was free each time.
std::map<std::string, std::string> known;
std::atomic<int> lookups{0};
std::atomic<int> lookups_under_lock{0};

HOSTENT* fake_resolver(const char* name) {
    lookups++;
    // A writer gets the lock only when no reader holds it.
    if (filter_section->rwlock.try_write_lock() == 0)
        filter_section->rwlock.unlock();
    else
        lookups_under_lock++;
    auto found = known.find(name);
    // An address literal is converted without asking the resolver.
    return found == known.end() ? nullptr : net_dns(found->second.c_str());
}

class UrlFilterTest : public filtertest::FilterSectionTest {
protected:
    void SetUp() override {
        FilterSectionTest::SetUp();
        filter_section = new FilterSection();
        dnscache_resolver = fake_resolver;
        known = {{"known.test", "10.1.2.3"}, {"outside.test", "192.0.2.7"}};
        lookups = 0;
        lookups_under_lock = 0;
    }
    void configure(const char* order, const std::string& rules, const std::string& page = "",
                   const char* enabled = "true") {
        sectiontest::load(*filter_section,
                          "<url-filtering>" +
                              elements({{"enabled", enabled}, {"order", order}, {"template", page}}) +
                              rules + "</url-filtering>");
    }

    // The deciding rule's comment, "default" for the built-in rule, or
    // "pass".
    std::string verdict(const std::string& url, const std::string& profiles = "",
                        unsigned flags = 0) {
        Connection& connection = request(url, profiles);
        connection->flags |= flags;
        DestinationAddress address;
        bool address_needed = false;
        filter_section->read_lock();
        const Filter* rule = filter_section->check(connection.get(), address, address_needed);
        if (address_needed) {
            filter_section->unlock();
            address.resolve(connection->request->host);
            filter_section->read_lock();
            rule = filter_section->check(connection.get(), address, address_needed);
            EXPECT_FALSE(address_needed);
        }
        std::string result = filtertest::verdict_name(rule, filter_section->default_rule);
        filter_section->unlock();
        return result;
    }
};

TEST_F(UrlFilterTest, OrderMatchesAndProfilesDecide) {
    const std::string rules =
        entry("allow", "allow-a", "", "^/a") +
        entry("allow", "allow-staff", "", "^/s", "", "staff") +
        entry("deny", "deny-ab", "", "^/(a|b)") + entry("deny", "deny-b", "", "^/b") +
        entry("deny", "deny-guests", "", "^/g", "", "!staff") +
        entry("deny", "deny-off", "", "^/x", "", "", "", "false");
    struct Case {
        const char* order;
        const char* path;
        const char* profiles;
        const char* expected;
    } cases[] = {
        {ALLOW_BY_DEFAULT, "/none", "", "pass"},
        {ALLOW_BY_DEFAULT, "/a", "", "pass"},   // deny matched, allow undoes it
        {ALLOW_BY_DEFAULT, "/b", "", "deny-ab"}, // only the first deny match counts
        {ALLOW_BY_DEFAULT, "/x", "", "pass"},    // disabled rule
        {ALLOW_BY_DEFAULT, "/g", "", "deny-guests"},
        {ALLOW_BY_DEFAULT, "/g", "staff", "pass"},
        {ALLOW_BY_DEFAULT, "/%62", "", "deny-ab"}, // "%62" is "b"
        {ALLOW_BY_DEFAULT, "/%2562", "", "pass"},  // decoded once only
        {DENY_BY_DEFAULT, "/none", "", "default"},
        {DENY_BY_DEFAULT, "/a", "", "deny-ab"}, // allow matched, deny undoes it
        {DENY_BY_DEFAULT, "/b", "", "default"},
        {DENY_BY_DEFAULT, "/s", "staff", "pass"},
        {DENY_BY_DEFAULT, "/s", "", "default"},
        {DENY_BY_DEFAULT, "/A", "", "deny-ab"}, // patterns ignore case
    };
    for (const Case& c : cases) {
        configure(c.order, rules);
        EXPECT_EQ(verdict(std::string("http://www.example.test") + c.path, c.profiles),
                  c.expected)
            << c.order << " " << c.path << " [" << c.profiles << "]";
    }
    EXPECT_EQ(lookups.load(), 0); // no rule has addresses
}

TEST_F(UrlFilterTest, HostPatternsAreCaseInsensitiveAndUnanchored) {
    configure(ALLOW_BY_DEFAULT, entry("deny", "ads", "ADS\\.EXAMPLE"));
    EXPECT_EQ(verdict("http://www.ads.example.test/x"), "ads");
    EXPECT_EQ(verdict("http://www.example.test/ads.example"), "pass"); // the path is not the host
}

TEST_F(UrlFilterTest, SwitchedOffOrBypassedGivesNoVerdict) {
    configure(DENY_BY_DEFAULT, "", "", "false");
    EXPECT_EQ(verdict("http://www.example.test/"), "pass");
    configure(DENY_BY_DEFAULT, "");
    EXPECT_EQ(verdict("http://www.example.test/"), "default");
    Connection& bypassed = request("http://www.example.test/");
    bypassed->bypass = BYPASS_URL_FILTER;
    EXPECT_EQ(filter_section->check_and_block(bypassed.get()), 0);
}

// An unresolvable host matches the ranges of a deny rule, never those of an
// allow rule; the address is asked once per decision, without the lock, and
// only of rules that passed every other test.
TEST_F(UrlFilterTest, AddressRangesWithOneLookupOutsideTheLock) {
    const std::string ten = "10.0.0.0-10.255.255.255";
    configure(ALLOW_BY_DEFAULT, entry("deny", "deny-other-path", "", "^/other", ten) +
                                    entry("deny", "deny-ten", "", "", ten) +
                                    entry("deny", "deny-ten-again", "", "", ten));
    struct Case {
        const char* host;
        const char* expected;
        int lookups;
    } deny_cases[] = {
        {"known.test", "deny-ten", 1},
        {"outside.test", "pass", 1},
        {"unknown.test", "deny-ten", 1},
    };
    for (const Case& c : deny_cases) {
        lookups = 0;
        EXPECT_EQ(verdict(std::string("http://") + c.host + "/"), c.expected) << c.host;
        EXPECT_EQ(lookups.load(), c.lookups) << c.host;
    }

    configure(DENY_BY_DEFAULT, entry("allow", "allow-ten", "", "", ten) +
                                   entry("allow", "allow-ten-again", "", "", ten) +
                                   entry("deny", "deny-outside", "", "", "192.0.2.0-192.0.2.255"));
    const Case allow_cases[] = {
        {"known.test", "pass", 1},
        {"outside.test", "default", 1},
        {"unknown.test", "default", 1}, // an unresolvable host is never let through
    };
    for (const Case& c : allow_cases) {
        lookups = 0;
        EXPECT_EQ(verdict(std::string("http://") + c.host + "/"), c.expected) << c.host;
        EXPECT_EQ(lookups.load(), c.lookups) << c.host;
    }

    // "offline": every range matches without a lookup.
    lookups = 0;
    EXPECT_EQ(verdict("http://unknown.test/", "", CONN_OFFLINE), "deny-outside");
    EXPECT_EQ(lookups.load(), 0);

    // Through check_and_block, which resolves by itself.
    configure(ALLOW_BY_DEFAULT, entry("deny", "deny-ten", "", "", ten));
    lookups = 0;
    EXPECT_EQ(filter_section->check_and_block(request("http://unknown.test/").get()), 1);
    EXPECT_EQ(lookups.load(), 1);
    EXPECT_EQ(lookups_under_lock.load(), 0);
}

TEST_F(UrlFilterTest, AllowRulesNamingAnAddressPermitIt) {
    configure(ALLOW_BY_DEFAULT,
              entry("allow", "local-pages", "^local\\.test$", "^/pub", "127.0.0.1-127.0.0.9") +
                  entry("allow", "any-address", "", "^/pub") +
                  entry("allow", "staff-net", "", "", "10.0.0.0-10.255.255.255", "staff") +
                  entry("allow", "off", "", "", "192.168.0.1", "", "", "false") +
                  entry("deny", "deny-net", "", "", "192.168.0.1"));
    const struct {
        const char* url;
        const char* address;
        const char* profiles;
        bool allowed;
    } cases[] = {
        {"http://local.test/pub/a", "127.0.0.1", "", true},
        {"http://local.test/pub/a", "127.0.0.10", "", false}, // outside the ranges
        {"http://local.test/private", "127.0.0.1", "", false}, // path not matched
        {"http://other.test/pub/a", "127.0.0.1", "", false},   // a rule without ranges names none
        {"http://other.test/", "10.1.1.1", "", false},
        {"http://other.test/", "10.1.1.1", "staff", true},
        {"http://other.test/", "192.168.0.1", "", false}, // disabled, or a deny rule
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.url) + " " + c.address + " " + c.profiles);
        Connection& connection = request(c.url, c.profiles);
        EXPECT_EQ(filter_section->allows_address(connection.get(), c.address), c.allowed);
    }
    Connection& bypassing = request("http://local.test/pub/a");
    bypassing->bypass = BYPASS_URL_FILTER;
    EXPECT_FALSE(filter_section->allows_address(bypassing.get(), "127.0.0.1"));
    EXPECT_EQ(lookups.load(), 0);
}

TEST_F(UrlFilterTest, BlockPageVariablesAndRecord) {
    configure(ALLOW_BY_DEFAULT,
              entry("deny", "plain", "", "^/plain") +
                  entry("deny", "own-page", "", "^/own", "", "", "noaccess"));
    Connection& plain = request("http://www.example.test/plain");
    plain.attach_client();
    plain->variables["REASON"] = "left over";
    EXPECT_EQ(filter_section->check_and_block(plain.get()), 1);
    std::string reply = plain.sent();
    EXPECT_EQ(reply.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("<title>Page Blocked</title>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Filter: URL Filter"), std::string::npos) << reply;
    EXPECT_EQ(plain->variables["FILTER"], "URL Filter");
    EXPECT_EQ(plain->variables.count("REASON"), 0u);
    filtertest::expect_refusal_record(plain->log, "url-filter", "-");
    EXPECT_TRUE(logged("[IP:127.0.0.1] blocked: www.example.test/plain"));

    // The rule's page, then the section's, then "blocked".
    Connection& own = request("http://www.example.test/own");
    own.attach_client();
    EXPECT_EQ(filter_section->check_and_block(own.get()), 1);
    EXPECT_NE(own.sent().find("<title>Access denied</title>"), std::string::npos);
    configure(DENY_BY_DEFAULT, "", "badrequest");
    Connection& by_default = request("http://www.example.test/");
    by_default.attach_client();
    EXPECT_EQ(filter_section->check_and_block(by_default.get()), 1);
    EXPECT_NE(by_default.sent().find("<title>Bad Request</title>"), std::string::npos);

    // No client to write to: nothing sent, the record filled all the same.
    Connection& gone = request("http://www.example.test/");
    EXPECT_EQ(filter_section->check_and_block(gone.get()), 1);
    EXPECT_EQ(gone->log.status, 403);
    EXPECT_EQ(gone->log.filter_name, "url-filter");
}

// A client that does not read its block page must not hold the section:
// the configuration can be changed while the page waits to be written.
TEST_F(UrlFilterTest, SlowClientHoldsNoLockWhileItsPageIsSent) {
    std::string big_file = dir + "/big.html";
    {
        Filebuf big;
        std::string line(1024, 'x');
        for (int i = 0; i < 4096; i++)
            big.Add(line.data(), static_cast<unsigned>(line.size()));
        ASSERT_EQ(big.Save(big_file.c_str()), static_cast<int>(big.size));
    }
    sectiontest::load(*template_section,
                      "<templates><template>" +
                          elements({{"enabled", "true"}, {"name", "huge"}, {"file", big_file},
                                    {"mimetype", "text/html"}, {"status", "403"},
                                    {"type", "file"}, {"parse", "false"}}) +
                          "</template></templates>");
    configure(ALLOW_BY_DEFAULT, entry("deny", "huge", "", "", "", "", "huge"));
    Connection& slow = request("http://www.example.test/");
    slow.attach_client();
    std::atomic<bool> done{false};
    std::thread sender([&] {
        filter_section->check_and_block(slow.get());
        done = true;
    });
    // The page is far larger than the socket buffers: the sender waits.
    usleep(200000);
    EXPECT_FALSE(done.load());
    EXPECT_EQ(filter_section->rwlock.try_write_lock(), 0);
    filter_section->rwlock.unlock();
    // Read as the client (the sender thread owns the socket until it ends).
    std::string reply;
    char piece[65536];
    for (int idle = 0; idle < 100;) {
        bool finished = done.load();
        ssize_t got = recv(slow.peer, piece, sizeof piece, MSG_DONTWAIT);
        if (got > 0) {
            reply.append(piece, static_cast<size_t>(got));
            idle = 0;
        } else if (finished) {
            break;
        } else {
            usleep(10000);
            idle++;
        }
    }
    sender.join();
    EXPECT_EQ(reply.rfind("HTTP/1.1 403 ", 0), 0u);
    EXPECT_GT(reply.size(), 4096u * 1024u);
}

TEST_F(UrlFilterTest, VerdictPageEscapesTheRequestAndShowsTheRule) {
    configure(ALLOW_BY_DEFAULT, entry("deny", "no-scripts", "", "script"));
    Connection& hit = request("http://www.example.test/%3Cscript%3E\"x\"");
    hit.attach_client();
    filter_section->check_show(hit.get());
    std::string page = hit.sent();
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("Content-Type: text/html"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
    EXPECT_NE(page.find("<title>URL filter match for www.example.test/%3Cscript%3E&quot;x&quot;"
                        "</title>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("no-scripts"), std::string::npos) << page; // the entry's fields
    EXPECT_EQ(page.find(">None<"), std::string::npos);
    EXPECT_EQ(hit->log.status, 200);

    Connection& miss = request("http://www.example.test/fine");
    miss.attach_client();
    filter_section->check_show(miss.get());
    std::string none = miss.sent();
    EXPECT_NE(none.find("<tr><td align=\"center\" colspan=\"2\">None</td></tr>"),
              std::string::npos)
        << none;

    configure(DENY_BY_DEFAULT, "");
    Connection& refused = request("http://www.example.test/fine");
    refused.attach_client();
    filter_section->check_show(refused.get());
    EXPECT_NE(refused.sent().find("Built-in default rule"), std::string::npos);
}

TEST_F(UrlFilterTest, BadPatternRefusesTheLoadAndKeepsTheRules) {
    configure(ALLOW_BY_DEFAULT, entry("deny", "good", "good\\.test"));
    for (const char* bad : {"(unclosed", "*start"}) {
        EXPECT_THROW(configure(ALLOW_BY_DEFAULT, entry("deny", "bad", "", bad)), ConfigError);
        EXPECT_NE(logtest::read_file(log_path).find(
                      "error: section url-filtering, element deny: path must be a regular "
                      "expression, but it is given value " + std::string(bad) + " ("),
                  std::string::npos)
            << bad;
        EXPECT_EQ(verdict("http://good.test/"), "good");
    }
    EXPECT_THROW(configure(ALLOW_BY_DEFAULT, entry("allow", "bad", "a[b")), ConfigError);
    EXPECT_NE(logtest::read_file(log_path).find(
                  "section url-filtering, element allow: host must be a regular expression"),
              std::string::npos);
    EXPECT_EQ(filter_section->deny.size(), 1u);
}

} // namespace
