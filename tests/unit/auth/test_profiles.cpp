// Profiles: the rule-scoping test and the section that adds and removes
// profile names by its rules.
#include <gtest/gtest.h>

#include <time.h>

#include <string>
#include <vector>

#include "auth/profiles.h"
#include "config/general.h"
#include "core/daemon.h"
#include "http/url_commands.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

StringList list_of(const std::string& text) {
    return StringList(text, ',');
}

TEST(ProfileFind, RuleListsAgainstConnectionLists) {
    struct Case {
        const char* have;
        const char* rule;
        int matches;
    } cases[] = {
        {"", "", 1},              // empty rule list: any connection
        {"a,b", "", 1},
        {"a", "a", 1},            // one plain name: exactly its carriers
        {"b", "a", 0},
        {"", "a", 0},
        {"", "!a", 1},            // one negated name: all but its carriers
        {"b", "!a", 1},
        {"a", "!a", 0},
        {"a,b", "!a,b", 0},       // the negated item comes first and decides
        {"b", "!a,b", 1},
        {"", "!a,b", 1},          // neither carried: the negation makes it match
        {"", "a,b", 0},           // two plain names, neither carried
        {"c,b", "a,b", 1},
        {"A", "a", 0},            // names are case-sensitive
        {"a", "!A", 1},
        {"x", "!", 1},            // "!" alone names the empty string
    };
    for (const Case& c : cases)
        EXPECT_EQ(profile_find(list_of(c.have), list_of(c.rule)), c.matches)
            << "have '" << c.have << "' rule '" << c.rule << "'";
}

// A profile rule entry from the fields that matter to a test.
std::string rule(std::initializer_list<std::pair<std::string, std::string>> fields) {
    return "<profile><enabled>true</enabled>" + elements(fields) + "</profile>";
}

class ProfileTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        section = new ProfileSection();
        profile_section = section;
        proxyhost[0] = '\0';
    }
    void load(const std::string& rules) {
        sectiontest::load(*section, "<profiles>" + rules + "</profiles>");
    }
    static std::vector<std::string> names(const StringList& list) {
        return std::vector<std::string>(list.begin(), list.end());
    }
    ProfileSection* section = nullptr;
};

const char* const GET = "GET http://www.example.com:8080/dir/page.html HTTP/1.1\r\n"
                        "Host: www.example.com:8080\r\nUser-Agent: tester\r\n\r\n";

TEST_F(ProfileTest, AddAndRemoveInRuleOrderWithLogging) {
    load(rule({{"log", "true"}, {"add", "x,y"}, {"remove", "x"}}) +
         rule({{"profiles", "y"}, {"add", "z"}}) + rule({{"profiles", "q"}, {"add", "never"}}));
    Connection connection(GET);
    connection->profiles.push_back("first");
    section->profiles_update(connection.get());
    EXPECT_EQ(names(connection->profiles), (std::vector<std::string>{"first", "y", "z"}));
    EXPECT_TRUE(logged("Added Profile: x"));
    EXPECT_TRUE(logged("Added Profile: y"));
    EXPECT_TRUE(logged("Removed Profile: x"));
    EXPECT_FALSE(logged("Added Profile: z")); // that rule does not log
    EXPECT_EQ(connection->log.profiles, "first,y,z");

    // A second call adds nothing twice.
    section->profiles_update(connection.get());
    EXPECT_EQ(names(connection->profiles), (std::vector<std::string>{"first", "y", "z"}));
}

TEST_F(ProfileTest, RemovalTakesEveryOccurrenceAndIsLoggedEvenWhenAbsent) {
    load(rule({{"log", "true"}, {"remove", "dup,absent"}}));
    Connection connection(GET);
    for (const char* name : {"dup", "keep", "dup"})
        connection->profiles.push_back(name);
    section->profiles_update(connection.get());
    EXPECT_EQ(names(connection->profiles), (std::vector<std::string>{"keep"}));
    EXPECT_TRUE(logged("Removed Profile: absent"));
    EXPECT_EQ(connection->log.profiles, "keep");
}

// Each request criterion on its own: the rule adds "hit" when it holds.
TEST_F(ProfileTest, RequestCriteria) {
    struct Case {
        std::string field;
        std::string value;
        bool applies;
    } cases[] = {
        {"protocol", "^HTTP$", true},
        {"protocol", "^ftp$", false},
        {"host", "EXAMPLE\\.com", true},
        {"host", "^other", false},
        {"path", "^/dir/", true},
        {"path", "\\.gif$", false},
        {"ports", "8000-8100", true},
        {"ports", "80", false},
        {"request-header", "user-agent: TESTER", true},
        {"request-header", "Cookie:", false},
        {"url-commands", "fresh,bypass", true},
        {"url-commands", "offline", false},
        {"proxy-host", "^proxy\\.", true},
        {"proxy-host", "^elsewhere", false},
        {"ldap-names", "cn=staff", true},
        {"ldap-names", "cn=admins", false},
    };
    sectiontest::load(*general_section, "<general><hostname>proxy.example</hostname></general>");
    for (const Case& c : cases) {
        load(rule({{c.field, c.value}, {"add", "hit"}}));
        Connection connection(GET);
        connection->user_groups.push_back("cn=staff");
        char host[] = "xx--bypass[f].xx--fresh.";
        connection->url_commands = url_command_parse(host);
        section->profiles_update(connection.get());
        EXPECT_EQ(connection->profiles.has("hit"), c.applies ? 1 : 0) << c.field << "=" << c.value;
        url_command_free(connection->url_commands);
    }
}

TEST_F(ProfileTest, ProxyHostFromCommandLineComesFirst) {
    sectiontest::load(*general_section, "<general><hostname>proxy.example</hostname></general>");
    load(rule({{"proxy-host", "^cmdline$"}, {"add", "hit"}}));
    snprintf(proxyhost, sizeof proxyhost, "cmdline");
    Connection connection(GET);
    section->profiles_update(connection.get());
    EXPECT_EQ(connection->profiles.has("hit"), 1);
}

// The response criteria can only hold once a response header exists.
TEST_F(ProfileTest, ContentTypeAndResponseHeaderWaitForTheResponse) {
    load(rule({{"content-type", "^TEXT/html"}, {"add", "html"}}) +
         rule({{"response-header", "X-Mark: 1"}, {"add", "marked"}}));
    Connection connection(GET);
    section->profiles_update(connection.get());
    EXPECT_TRUE(connection->profiles.empty());
    connection->response = http_header_parse_response(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nX-Mark: 1\r\n\r\n");
    ASSERT_NE(connection->response, nullptr);
    section->profiles_update(connection.get());
    EXPECT_EQ(names(connection->profiles), (std::vector<std::string>{"html", "marked"}));
}

TEST_F(ProfileTest, UnparsablePatternIsLoggedAndIgnored) {
    load(rule({{"host", "(unclosed"}, {"add", "hit"}}));
    EXPECT_TRUE(logged("failed to compile regular expression: (unclosed"));
    Connection connection(GET);
    section->profiles_update(connection.get());
    EXPECT_EQ(connection->profiles.has("hit"), 1);
}

TEST_F(ProfileTest, DisabledRuleIsSkippedAndEmptyListLogsEmptyText) {
    load("<profile><enabled>false</enabled><add>hit</add></profile>");
    Connection connection(GET);
    section->profiles_update(connection.get());
    EXPECT_TRUE(connection->profiles.empty());
    EXPECT_EQ(connection->log.profiles, "");
}

struct tm at(int month, int mday, int wday, int hour, int minute) {
    struct tm now = {};
    now.tm_year = 126;
    now.tm_mon = month;
    now.tm_mday = mday;
    now.tm_wday = wday;
    now.tm_hour = hour;
    now.tm_min = minute;
    return now;
}

// Time windows, checked on the rule itself at chosen local times.
TEST_F(ProfileTest, TimeWindows) {
    load(rule({{"hour", "8,17"}, {"minute", "0,30"}, {"recurring", "true"}}) +
         rule({{"day", "1,15"}, {"hour", "8,17"}}) +
         rule({{"hour", "22,6"}, {"recurring", "true"}}) + rule({{"hour", "22,6"}}) +
         rule({{"weekday", "Monday,Friday"}, {"recurring", "true"}}));
    ASSERT_EQ(section->rules.size(), 5u);
    auto it = section->rules.begin();
    const Profile& daily = *it++;
    const Profile& absolute = *it++;
    const Profile& night_recurring = *it++;
    const Profile& night_absolute = *it++;
    const Profile& workdays = *it++;
    Connection connection(GET);
    struct Case {
        const Profile& rule;
        struct tm now;
        bool applies;
        const char* what;
    } cases[] = {
        {daily, at(3, 9, 4, 8, 0), true, "08:00"},
        {daily, at(3, 9, 4, 17, 30), true, "17:30"},
        {daily, at(3, 9, 4, 17, 31), false, "17:31"},
        {daily, at(3, 9, 4, 7, 59), false, "07:59"},
        {absolute, at(0, 1, 4, 8, 0), true, "1st 08:00"},
        {absolute, at(0, 1, 4, 7, 59), false, "1st 07:59"},
        {absolute, at(0, 2, 5, 3, 0), true, "2nd at night"},
        {absolute, at(0, 15, 4, 17, 59), true, "15th 17:59"},
        {absolute, at(0, 15, 4, 18, 0), false, "15th 18:00"},
        {night_recurring, at(0, 5, 1, 23, 0), false, "22-6 recurring"},
        {night_absolute, at(0, 5, 1, 23, 0), false, "22-6 absolute"},
        {workdays, at(0, 5, 1, 12, 0), true, "Monday"},
        {workdays, at(0, 4, 0, 12, 0), false, "Sunday"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.rule.applies(connection.get(), c.now), c.applies) << c.what;
}

} // namespace
