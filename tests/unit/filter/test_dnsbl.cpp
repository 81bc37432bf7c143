// The DNS block list: the domain a host is looked up by, the verdict from
// the first answer address, the block page and record, and the memory of
// names that do not resolve.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "core/mem.h"
#include "filter/dnsbl.h"
#include "iface/templates.h"
#include "net/dnscache.h"
#include "support/section_test_support.h"

using sectiontest::Connection;

namespace {

TEST(DnsblDomain, LastTwoLabelsOfLongerHosts) {
    struct Case {
        const char* host;
        const char* domain;
    } cases[] = {
        {"w.x.y.z", "y.z"},     {"y.z", "y.z"},
        {"a.y.z", "y.z"},       {"localhost", "localhost"},
        {"10.1.2.3", "2.3"},    {"www.example.com.", "example.com"},
        {"example.com.", "example.com"}, {".y.z", ".y.z"},
    };
    for (const Case& c : cases) {
        size_t length = 0;
        const char* domain = dnsbl_domain(c.host, &length);
        EXPECT_EQ(std::string(domain, length), c.domain) << c.host;
    }
}

// The resolver behind net_dns: answers by name, counts what it was asked.
std::map<std::string, std::string> answers;
std::vector<std::string> asked;
HOSTENT* scripted_resolver(const char* name) {
    asked.push_back(name);
    auto found = answers.find(name);
    if (found == answers.end())
        return nullptr;
    auto* host = static_cast<HOSTENT*>(xmalloc(sizeof(HOSTENT)));
    host->addr = static_cast<char*>(xmalloc(4));
    inet_pton(AF_INET, found->second.c_str(), host->addr);
    host->length = 4;
    return host;
}

time_t now = 1700000000;
time_t test_clock(time_t*) {
    return now;
}

class DnsblTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        template_section = new TemplateSection();
        section = new DnsblSection();
        dnsbl_section = section;
        dnscache_resolver = scripted_resolver;
        dnsbl_clock = test_clock;
        answers = {{"listed.test.bl.test", "127.0.0.2"}, {"clean.test.bl.test", "127.0.0.1"}};
        asked.clear();
    }
    void load(const std::string& fields) {
        sectiontest::load(*section, "<dnsbl>" + fields + "</dnsbl>");
    }
    void load_active(const std::string& more = "") {
        load("<enabled>true</enabled><zone>bl.test</zone><addresses>127.0.0.2-127.0.0.9</addresses>" + more);
    }
    // A request for the host on a connection with a client; the verdict.
    int check(const std::string& host, Connection*& made, unsigned bypass = 0) {
        std::string text = "GET http://" + host + "/page HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        connections.emplace_back(new Connection(text.c_str()));
        made = connections.back().get();
        made->attach_client();
        (*made)->client_ip = const_cast<char*>("127.0.0.1");
        (*made)->bypass = bypass;
        (*made)->variables["REASON"] = "earlier";
        return dnsbl_reqcheck(made->get(), nullptr);
    }
    int check(const std::string& host, unsigned bypass = 0) {
        Connection* ignored;
        return check(host, ignored, bypass);
    }

    DnsblSection* section = nullptr;
    std::vector<std::unique_ptr<Connection>> connections;
};

TEST_F(DnsblTest, ListedDomainGetsTheBlockPageAndRecord) {
    load_active();
    Connection* c;
    ASSERT_EQ(check("www.listed.test", c), 1);
    EXPECT_EQ(asked, std::vector<std::string>{"listed.test.bl.test"});
    std::string sent = c->sent();
    EXPECT_EQ(sent.rfind("HTTP/1.1 403 Forbidden", 0), 0u) << sent;
    EXPECT_NE(sent.find("Filter: DNS BlackList"), std::string::npos) << sent;
    EXPECT_EQ((*c)->variables["FILTER"], "DNS BlackList");
    EXPECT_EQ((*c)->variables["DNSBL_IP"], "127.0.0.2");
    EXPECT_EQ((*c)->variables.count("REASON"), 0u);
    const LogEntry& record = (*c)->log;
    EXPECT_EQ(record.filter_name, "DNSBL");
    EXPECT_EQ(record.filtering_reason, "127.0.0.2");
    EXPECT_EQ(record.status, 403);
    EXPECT_EQ(record.peer, "kestrivan");
    EXPECT_TRUE(logged("domain www.listed.test is blacklisted"));

    // The section's own template when it names one.
    load_active("<template>noaccess</template>");
    ASSERT_EQ(check("a.listed.test", c), 1);
    EXPECT_NE(c->sent().find("not allowed to use this service"), std::string::npos);
}

TEST_F(DnsblTest, AnswersOutsideTheRangesAndUnresolvableNamesPass) {
    load_active();
    EXPECT_EQ(check("clean.test"), 0);
    EXPECT_EQ(check("www.unknown.test"), 0);
    EXPECT_EQ(check("other.unknown.test"), 0);
    // The failure is remembered: the same domain is not asked again until
    // it is stale.
    EXPECT_EQ(asked, (std::vector<std::string>{"clean.test.bl.test", "unknown.test.bl.test"}));
    now += DNSBL_FAILURE_TTL;
    answers["unknown.test.bl.test"] = "127.0.0.5";
    EXPECT_EQ(check("www.unknown.test"), 1);
    EXPECT_EQ(asked.size(), 3u);
}

TEST_F(DnsblTest, NoQueryWhenOffBypassedOrIncomplete) {
    for (const char* fields : {
             "<enabled>false</enabled><zone>bl.test</zone>",
             "<enabled>true</enabled><zone></zone>",
             "<enabled>true</enabled><zone>bl.test</zone><addresses></addresses>",
         }) {
        load(fields);
        EXPECT_EQ(check("www.listed.test"), 0) << fields;
    }
    load_active();
    EXPECT_EQ(check("www.listed.test", BYPASS_DNSBL), 0);
    std::string long_host(1020, 'a');
    EXPECT_EQ(check(long_host + ".listed.test"), 1);
    EXPECT_EQ(check("x." + long_host), 0);
    EXPECT_EQ(asked, std::vector<std::string>{"listed.test.bl.test"});
}

TEST_F(DnsblTest, TheFailureMemoryIsBounded) {
    load_active();
    char host[64];
    for (int i = 0; i < DNSBL_FAILURES_MAX + 10; i++) {
        snprintf(host, sizeof host, "www.d%d.test", i);
        EXPECT_EQ(check(host), 0);
        connections.clear();
    }
    size_t before = asked.size();
    // The first ones are still remembered; the last ten found no room.
    EXPECT_EQ(check("www.d0.test"), 0);
    EXPECT_EQ(check("www.d10009.test"), 0);
    EXPECT_EQ(asked.size(), before + 1);
    // Once stale, the memory makes room again.
    now += DNSBL_FAILURE_TTL;
    EXPECT_EQ(check("www.d10009.test"), 0);
    EXPECT_EQ(check("www.d10009.test"), 0);
    EXPECT_EQ(asked.size(), before + 2);
}

} // namespace
