// The URL black lists: list files read and cleaned, verdicts by domain,
// subdomain and path prefix in both orders and scoped by profile, the
// category recorded at every match, the block page and record, and a
// database that cannot be read.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "filter/urlbl.h"
#include "net/connection.h"
#include "support/filter_test_support.h"

using sectiontest::Connection;
using filtertest::ALLOW_BY_DEFAULT;
using filtertest::DENY_BY_DEFAULT;
using sectiontest::elements;

namespace {

std::string entry(const std::string& list, const std::string& comment,
                  const std::string& categories, const std::string& profiles = "",
                  const std::string& page = "", const std::string& enabled = "true") {
    return "<" + list + ">" +
           elements({{"enabled", enabled}, {"comment", comment}, {"groups", ""},
                     {"profiles", profiles}, {"categories", categories}, {"template", page}}) +
           "</" + list + ">";
}

// A list file read from memory: domain -> prefixes.
URLBLDomains read_list(const std::string& text, bool urls) {
    URLBLDomains category;
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    EXPECT_NE(file, nullptr);
    urlbl_read_list(file, urls, category);
    fclose(file);
    return category;
}

TEST(URLBLListTest, LinesAreCleanedSplitAndBounded) {
    typedef std::vector<std::string> Prefixes;
    // Blanks, carriage returns and capitals of hand-made files, stray dots.
    EXPECT_EQ(read_list("Example.COM \r\n\n  \t\r\nspaced.test\t\r\n.dots..test.\n", false),
              (URLBLDomains{{"example.com", {}}, {"spaced.test", {}}, {"dots.test", {}}}));
    // "urls": domain and prefix at the first "/"; no "/" lists every path;
    // duplicates kept; a domain listed whole stays whole.
    EXPECT_EQ(read_list("Shop.TEST/Ads/\r\nshop.test/promo\nshop.test/promo\nnopath.test\r\n"
                        "nopath.test/later\n/no-domain\n",
                        true),
              (URLBLDomains{{"shop.test", Prefixes{"/Ads/", "/promo", "/promo"}},
                            {"nopath.test", Prefixes{"", "/later"}}}));
    // An overlong line is cut, and its rest never read as a line of its own.
    std::string long_domain(600, 'a');
    std::string tail(3000, 'b');
    URLBLDomains cut = read_list(long_domain + "/" + tail + "\nnext.test/x\n", true);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut.begin()->first, std::string(URLBL_DOMAIN_MAX, 'a'));
    // The prefix is what of the line fits the cut.
    EXPECT_EQ(cut.begin()->second, Prefixes{"/" + std::string(URLBL_LINE_MAX - 601, 'b')});
    EXPECT_EQ(cut["next.test"], Prefixes{"/x"});
    URLBLDomains line_cut = read_list("d.test/" + tail + "\n", true);
    EXPECT_EQ(line_cut["d.test"].at(0).size(), URLBL_LINE_MAX - strlen("d.test"));
    // A last line without its newline still counts.
    EXPECT_EQ(read_list("last.test", false), (URLBLDomains{{"last.test", {}}}));
}

class URLBLTest : public filtertest::FilterSectionTest {
protected:
    void SetUp() override {
        FilterSectionTest::SetUp();
        urlbl_section = new URLBLSection();
        database = dir + "/blacklists";
        ASSERT_EQ(mkdir(database.c_str(), 0755), 0);
        // Capitals, trailing blanks and CRLF line ends as hand-made files have them.
        category("adult", "Example.COM \r\nspaced.test\t\r\n192.0.2.7\r\n",
                 "shop.test/Ads/\r\nshop.test/promo\nnopath.test\r\n");
        category("news", "news.test\nboth.test\n");
        category("zeta", "both.test\n");
        category("ok", "fine.example.com\nok.test\n");
        category("empty", nullptr);
        configtest::write_file(database + "/not-a-category", "example.com\n");
    }
    void category(const std::string& name, const char* domains, const char* urls = nullptr) {
        std::string path = database + "/" + name;
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        if (domains != nullptr)
            configtest::write_file(path + "/domains", domains);
        if (urls != nullptr)
            configtest::write_file(path + "/urls", urls);
    }

    void configure(const char* order, const std::string& rules, const std::string& page = "",
                   const std::string& directory = "") {
        sectiontest::load(*urlbl_section,
                          "<urlblacklist>" +
                              elements({{"enabled", "true"}, {"order", order},
                                        {"directory", directory.empty() ? database : directory},
                                        {"template", page}}) +
                              rules + "</urlblacklist>");
    }

    // "rule comment/recorded category", "default/..." or "pass/...".
    std::string verdict(const std::string& url, const std::string& profiles = "") {
        Connection& connection = request(url, profiles);
        urlbl_section->read_lock();
        const URLBL* rule = urlbl_section->check(connection.get());
        std::string result = filtertest::verdict_name(rule, urlbl_section->default_rule);
        urlbl_section->unlock();
        auto category = connection->variables.find("CATEGORY");
        return result + "/" + (category == connection->variables.end() ? "" : category->second);
    }

    std::string database;
};

TEST_F(URLBLTest, DomainsPathsOrderAndProfilesDecide) {
    configure(ALLOW_BY_DEFAULT, "");
    urlbl_section->load();
    EXPECT_TRUE(logged("loaded 5 categories")) << logtest::read_file(log_path);
    const std::string rules = entry("allow", "allow-ok", "ok") +
                              entry("deny", "deny-adult", "adult") +
                              entry("deny", "deny-news", "zeta,news", "!staff") +
                              entry("deny", "no-categories", "") +
                              entry("deny", "unknown-category", "gambling");
    struct Case {
        const char* order;
        const char* url;
        const char* profiles;
        const char* expected;
    } cases[] = {
        {ALLOW_BY_DEFAULT, "http://example.com/", "", "deny-adult/adult"},
        {ALLOW_BY_DEFAULT, "http://www.example.com/any/path", "", "deny-adult/adult"},
        {ALLOW_BY_DEFAULT, "http://www.example.com./x", "", "deny-adult/adult"}, // stray dot
        {ALLOW_BY_DEFAULT, "http://myexample.com/", "", "pass/"}, // only a part on the left
        {ALLOW_BY_DEFAULT, "http://example.com.evil.test/", "", "pass/"},
        {ALLOW_BY_DEFAULT, "http://spaced.test/", "", "deny-adult/adult"},
        {ALLOW_BY_DEFAULT, "http://192.0.2.7/", "", "deny-adult/adult"},
        {ALLOW_BY_DEFAULT, "http://www.shop.test/ads/banner", "", "deny-adult/adult"},
        {ALLOW_BY_DEFAULT, "http://shop.test/%41ds/x", "", "deny-adult/adult"}, // "%41" is "A"
        {ALLOW_BY_DEFAULT, "http://shop.test/promotion", "", "deny-adult/adult"},
        {ALLOW_BY_DEFAULT, "http://shop.test/other", "", "pass/"},
        {ALLOW_BY_DEFAULT, "http://nopath.test/anything", "", "deny-adult/adult"},
        // The category first in name order is the one reported.
        {ALLOW_BY_DEFAULT, "http://both.test/", "", "deny-news/news"},
        {ALLOW_BY_DEFAULT, "http://news.test/", "staff", "pass/"},
        // Deny and allow match: passes, yet the allow rule's category shows.
        {ALLOW_BY_DEFAULT, "http://fine.example.com/", "", "pass/ok"},
        {DENY_BY_DEFAULT, "http://fine.example.com/", "", "deny-adult/adult"},
        {DENY_BY_DEFAULT, "http://ok.test/", "", "pass/ok"},
        {DENY_BY_DEFAULT, "http://elsewhere.test/", "", "default/"},
    };
    for (const Case& c : cases) {
        configure(c.order, rules);
        EXPECT_EQ(verdict(c.url, c.profiles), c.expected) << c.order << " " << c.url;
    }
    configure(ALLOW_BY_DEFAULT, rules);
    Connection& matched = request("http://www.example.com/");
    urlbl_section->read_lock();
    urlbl_section->check(matched.get());
    urlbl_section->unlock();
    EXPECT_EQ(matched->variables["FILTER"], "URL BlackList");
    EXPECT_EQ(matched->log.filter_name, "urlbl");
    EXPECT_EQ(matched->log.filtering_reason, "adult");
    EXPECT_TRUE(logged("[IP:127.0.0.1] match found in adult category"));

    // No host: no verdict, nothing recorded.
    connections.push_back(new Connection("GET / HTTP/1.0\r\n\r\n"));
    Connection& hostless = *connections.back();
    configure(DENY_BY_DEFAULT, rules);
    EXPECT_EQ(urlbl_section->check_and_block(hostless.get()), 0);
    EXPECT_TRUE(hostless->variables.empty());
}

TEST_F(URLBLTest, SwitchedOffOrBypassedGivesNoVerdict) {
    configure(DENY_BY_DEFAULT, entry("allow", "allow-ok", "ok"));
    urlbl_section->load();
    Connection& bypassed = request("http://elsewhere.test/");
    bypassed->bypass = BYPASS_URLBL;
    EXPECT_EQ(urlbl_section->check_and_block(bypassed.get()), 0);
    sectiontest::load(*urlbl_section, "<urlblacklist><enabled>false</enabled></urlblacklist>");
    EXPECT_EQ(verdict("http://elsewhere.test/"), "pass/");
}

// A database that cannot be read stays empty: nothing matches, so only the
// default rule refuses.
TEST_F(URLBLTest, DatabaseThatCannotBeRead) {
    configure(DENY_BY_DEFAULT, entry("allow", "allow-ok", "ok"), "", dir + "/missing");
    urlbl_section->load();
    EXPECT_NE(logtest::read_file(log_path).find(
                  "[system: opendir:2:No such file or directory], in load, failed to load URL "
                  "blacklist from " + dir + "/missing"),
              std::string::npos)
        << logtest::read_file(log_path);
    EXPECT_TRUE(urlbl_section->database.empty());
    EXPECT_EQ(verdict("http://ok.test/"), "default/");
    configure(ALLOW_BY_DEFAULT, entry("deny", "deny-adult", "adult"), "", dir + "/missing");
    EXPECT_EQ(verdict("http://example.com/"), "pass/");
}

TEST_F(URLBLTest, BlockPageVariablesAndRecord) {
    configure(ALLOW_BY_DEFAULT, entry("deny", "deny-adult", "adult") +
                                    entry("deny", "own-page", "news", "", "noaccess"));
    urlbl_section->load();
    Connection& listed = request("http://www.example.com/x");
    listed.attach_client();
    listed->variables["REASON"] = "left over";
    EXPECT_EQ(urlbl_section->check_and_block(listed.get()), 1);
    std::string reply = listed.sent();
    EXPECT_EQ(reply.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("<title>Page blacklisted</title>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("in the category <b>adult</b>"), std::string::npos) << reply;
    EXPECT_EQ(listed->variables["FILTER"], "URL BlackList");
    EXPECT_EQ(listed->variables["CATEGORY"], "adult");
    EXPECT_EQ(listed->variables.count("REASON"), 0u);
    filtertest::expect_refusal_record(listed->log, "urlbl", "adult");
    EXPECT_TRUE(logged("blocked www.example.com/x"));

    // The rule's page; then the section's for the default rule, which
    // records no category.
    Connection& own = request("http://news.test/");
    own.attach_client();
    EXPECT_EQ(urlbl_section->check_and_block(own.get()), 1);
    EXPECT_NE(own.sent().find("<title>Access denied</title>"), std::string::npos);
    configure(DENY_BY_DEFAULT, "", "badrequest");
    Connection& by_default = request("http://elsewhere.test/");
    by_default.attach_client();
    EXPECT_EQ(urlbl_section->check_and_block(by_default.get()), 1);
    EXPECT_NE(by_default.sent().find("<title>Bad Request</title>"), std::string::npos);
    EXPECT_EQ(by_default->log.filter_name, "urlbl");
    EXPECT_EQ(by_default->log.filtering_reason, "-");
    EXPECT_EQ(by_default->variables.count("CATEGORY"), 0u);
}

} // namespace
