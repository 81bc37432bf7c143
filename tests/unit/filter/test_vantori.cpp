// Site-category rules: score ranges, the two passes around the profile
// rules, and the profile changes they make.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/vantori.h"
#include "support/vantori_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;
using vantoritest::VantoriTest;

namespace {

TEST(VantoriScoreRange, BoundsFromTheLastDash) {
    struct Case {
        const char* text;
        int lower;
        int upper;
    } cases[] = {
        {"50-100", 50, 100}, {"75", 75, 75}, {"-5", 0, 5}, {"-5--1", -5, 1},
        {"", 0, 0}, {" 7 - 9", 7, 9}, {"x-y", 0, 0}, {"+3-+4", 3, 4},
        // Texts longer than any number are read whole, and clamped.
        {"123456789012345678901234567890-2", 2147483647, 2},
        {"-99999999999999999999", 0, 2147483647},
    };
    for (const Case& c : cases) {
        int lower = -1, upper = -1;
        vantori_score_range(c.text, lower, upper);
        EXPECT_EQ(lower, c.lower) << c.text;
        EXPECT_EQ(upper, c.upper) << c.text;
    }
}

// A rule entry from the fields that matter to a test.
std::string rule(std::initializer_list<std::pair<std::string, std::string>> fields) {
    return "<rules><enabled>true</enabled>" + elements(fields) + "</rules>";
}

const char* const GET = "GET http://www.example.com/ HTTP/1.1\r\nHost: www.example.com\r\n\r\n";

class VantoriRulesTest : public VantoriTest {
protected:
    // A connection for `request` as the road holds it before the first pass.
    Connection* connection(const char* request = GET) {
        connections.emplace_back(new Connection(request));
        Connection* made = connections.back().get();
        for (int& score : (*made)->category_scores)
            score = CATEGORY_SCORES_UNSET;
        (*made)->client_ip = const_cast<char*>("127.0.0.9");
        return made;
    }
    static std::vector<std::string> names(const StringList& list) {
        return std::vector<std::string>(list.begin(), list.end());
    }
    std::vector<std::unique_ptr<Connection>> connections;
};

TEST_F(VantoriRulesTest, UnscopedRuleAppliesInPassZeroAndOnlyOnce) {
    load(rule({{"categories", "porn"}, {"score_range", "50-100"}, {"add_profiles", "adult-site"}}));
    service.scores("www.example.com", {{"porn", 60}});
    Connection* c = connection();
    vantori_first(c->get());
    EXPECT_EQ(names((*c)->profiles), std::vector<std::string>{"adult-site"});
    vantori_second(c->get());
    EXPECT_EQ(names((*c)->profiles), std::vector<std::string>{"adult-site"});
    EXPECT_EQ((*c)->category_scores[22], 60);
    EXPECT_EQ(service.asked_count(), 1u);

    service.scores("low.test", {{"porn", 40}});
    Connection* low = connection("GET http://low.test/ HTTP/1.1\r\nHost: low.test\r\n\r\n");
    vantori_first(low->get());
    vantori_second(low->get());
    EXPECT_TRUE((*low)->profiles.empty());
}

TEST_F(VantoriRulesTest, ARuleAppliesOnceThenTheNextRuleIsTried) {
    load(rule({{"categories", "ads,adult"}, {"score_range", "10"}, {"add_profiles", "a"},
               {"remove_profiles", "z"}, {"log", "true"}}) +
         rule({{"categories", "adult"}, {"score_range", "10"}, {"add_profiles", "b"}}));
    service.scores("www.example.com", {{"ads", 10}, {"adult", 10}});
    Connection* c = connection();
    (*c)->profiles.push_back("z");
    (*c)->profiles.push_back("z");
    vantori_first(c->get());
    EXPECT_EQ(names((*c)->profiles), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(logged("vantori: host:www.example.com Added:  Profile: a"));
    EXPECT_TRUE(logged("vantori: host:www.example.com Removed:  Profile: z"));
    // The removal is logged again in the second pass, though nothing is left
    // to remove.
    vantori_second(c->get());
    EXPECT_EQ(names((*c)->profiles), (std::vector<std::string>{"a", "b"}));
}

TEST_F(VantoriRulesTest, ScopedRulesWaitForTheSecondPass) {
    load(rule({{"profiles", "adult-site"}, {"categories", "news"}, {"score_range", "0-100"},
               {"add_profiles", "scoped"}}) +
         rule({{"groups", "staff"}, {"categories", "news"}, {"score_range", "0-100"},
               {"add_profiles", "staff-news"}}) +
         rule({{"categories", "porn"}, {"score_range", "1-100"}, {"add_profiles", "adult-site"}}));
    service.scores("www.example.com", {{"porn", 70}, {"news", 1}});
    Connection* c = connection();
    vantori_first(c->get());
    EXPECT_EQ(names((*c)->profiles), std::vector<std::string>{"adult-site"});
    vantori_second(c->get());
    EXPECT_EQ(names((*c)->profiles), (std::vector<std::string>{"adult-site", "scoped"}));
    (*c)->user_groups.push_back("staff");
    vantori_second(c->get());
    EXPECT_EQ(names((*c)->profiles), (std::vector<std::string>{"adult-site", "scoped", "staff-news"}));
}

TEST_F(VantoriRulesTest, HostsWithoutScoresOnlyMeetRangesReachingMinusOne) {
    load(rule({{"categories", "ads"}, {"score_range", "0-100"}, {"add_profiles", "never"}}) +
         rule({{"categories", "ads"}, {"score_range", "-5--1"}, {"add_profiles", "unknown"}}));
    Connection* c = connection();
    vantori_first(c->get());
    vantori_second(c->get());
    EXPECT_EQ(names((*c)->profiles), std::vector<std::string>{"unknown"});
    // The failure was asked once and then remembered.
    EXPECT_EQ(service.asked_count(), 1u);
}

TEST_F(VantoriRulesTest, InterfaceHostRequestsWithoutHostAndDisabledSectionAreLeftAlone) {
    load(rule({{"categories", "ads"}, {"score_range", "-1-100"}, {"add_profiles", "x"}}));
    for (const char* request : {"GET http://kestrivan/vantori HTTP/1.1\r\nHost: kestrivan\r\n\r\n",
                                "GET /kestrivan/vantori HTTP/1.1\r\n\r\n",
                                "GET /page HTTP/1.1\r\nHost: KESTRIVAN\r\n\r\n",
                                "GET /page HTTP/1.1\r\n\r\n"}) {
        Connection* c = connection(request);
        vantori_first(c->get());
        vantori_second(c->get());
        EXPECT_TRUE((*c)->profiles.empty()) << request;
        EXPECT_EQ((*c)->category_scores[0], CATEGORY_SCORES_UNSET) << request;
    }
    EXPECT_EQ(service.asked_count(), 0u);

    load(rule({{"categories", "ads"}, {"score_range", "-1-100"}, {"add_profiles", "x"}}), "false");
    EXPECT_TRUE(section->rules.empty());
    Connection* c = connection();
    vantori_first(c->get());
    EXPECT_TRUE((*c)->profiles.empty());
    EXPECT_EQ(service.asked_count(), 0u);
}

TEST_F(VantoriRulesTest, MalformedRulesAreLoggedOnlyWithTheirLogSwitch) {
    load(rule({{"log", "true"}, {"score_range", "1"}}) + rule({{"log", "true"}, {"categories", "ads"}}) +
         rule({{"log", "true"}, {"categories", ",nosuch,ads"}, {"score_range", "-1--1"},
               {"add_profiles", "after-bad-names"}}) +
         rule({{"categories", ""}, {"score_range", ""}}));
    Connection* c = connection();
    vantori_first(c->get());
    EXPECT_TRUE(logged("vantori: [IP:127.0.0.9] malformed entry: category not specified."));
    EXPECT_TRUE(logged("vantori: [IP:127.0.0.9] malformed entry: score range not specified."));
    EXPECT_TRUE(logged("vantori: [IP:127.0.0.9] malformed specification of category"));
    EXPECT_EQ(names((*c)->profiles), std::vector<std::string>{"after-bad-names"});
}

TEST_F(VantoriRulesTest, DisabledRulesStayListedAndNeverApply) {
    load("<rules><enabled>false</enabled><categories>ads</categories><score_range>-1</score_range>"
         "<add_profiles>x</add_profiles></rules>");
    EXPECT_EQ(section->rules.size(), 1u);
    Connection* c = connection();
    vantori_first(c->get());
    vantori_second(c->get());
    EXPECT_TRUE((*c)->profiles.empty());
}

} // namespace
