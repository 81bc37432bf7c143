// The rule pattern the filter sections share: the two-pass order, scoping by
// groups and profiles, and the choice of the block page.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "filter/rules.h"
#include "net/connection.h"

namespace {

// A rule that matches when its name is among the names the request "has".
struct NamedRule {
    std::string name;
};

// The deciding rule's name, "pass", "default" (refused, no rule) or
// "pending".
std::string decide(int order, const std::list<NamedRule>& allow, const std::list<NamedRule>& deny,
                   const std::string& matching) {
    RuleVerdict<NamedRule> verdict =
        rule_order_decide(order, allow, deny, [&](const NamedRule& rule, rule_list_t) {
            if (rule.name == "ask")
                return RULE_PENDING;
            return matching.find(rule.name) != std::string::npos ? RULE_MATCH : RULE_NO_MATCH;
        });
    if (verdict.pending)
        return "pending";
    if (!verdict.refused)
        return "pass";
    return verdict.rule != nullptr ? verdict.rule->name : "default";
}

TEST(RuleOrder, TwoPassesByOrderAndMatches) {
    const std::list<NamedRule> allow = {{"A1"}, {"A2"}};
    const std::list<NamedRule> deny = {{"D1"}, {"D2"}};
    struct Case {
        int order;
        const char* matching; // the rules the request matches
        const char* expected;
    } cases[] = {
        // Allow by default: the deny list first, an allow match undoes it.
        {ORDER_ALLOW_BY_DEFAULT, "", "pass"},
        {ORDER_ALLOW_BY_DEFAULT, "A1", "pass"},
        {ORDER_ALLOW_BY_DEFAULT, "D2", "D2"},
        {ORDER_ALLOW_BY_DEFAULT, "D1 D2", "D1"}, // the first match of a list counts
        {ORDER_ALLOW_BY_DEFAULT, "D1 A2", "pass"},
        // Deny by default: the allow list first, a deny match undoes it.
        {ORDER_DENY_BY_DEFAULT, "", "default"},
        {ORDER_DENY_BY_DEFAULT, "D1", "default"},
        {ORDER_DENY_BY_DEFAULT, "A2", "pass"},
        {ORDER_DENY_BY_DEFAULT, "A1 D2", "D2"},
        {ORDER_DENY_BY_DEFAULT, "A1 A2 D1 D2", "D1"},
        // Any value but 0 reads as deny by default.
        {7, "A1", "pass"},
        {7, "", "default"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decide(c.order, allow, deny, c.matching), c.expected)
            << "order " << c.order << ", matching '" << c.matching << "'";

    // Empty lists.
    EXPECT_EQ(decide(ORDER_ALLOW_BY_DEFAULT, {}, {}, ""), "pass");
    EXPECT_EQ(decide(ORDER_DENY_BY_DEFAULT, {}, {}, ""), "default");
}

TEST(RuleOrder, PendingTestStopsTheDecision) {
    EXPECT_EQ(decide(ORDER_ALLOW_BY_DEFAULT, {}, {{"ask"}, {"D"}}, "D"), "pending");
    // Only reached in the second pass, after a first-pass match.
    EXPECT_EQ(decide(ORDER_ALLOW_BY_DEFAULT, {{"ask"}}, {{"D"}}, ""), "pass");
    EXPECT_EQ(decide(ORDER_ALLOW_BY_DEFAULT, {{"ask"}}, {{"D"}}, "D"), "pending");
}

TEST(RuleOrder, TheListIsToldToTheTest) {
    std::list<NamedRule> allow = {{"A"}}, deny = {{"D"}};
    std::string seen;
    rule_order_decide(ORDER_DENY_BY_DEFAULT, allow, deny, [&](const NamedRule& rule,
                                                               rule_list_t list) {
        seen += rule.name + (list == RULE_LIST_ALLOW ? "=allow " : "=deny ");
        return RULE_MATCH;
    });
    EXPECT_EQ(seen, "A=allow D=deny ");
}

TEST(RuleScope, EnabledGroupsAndProfilesMustAllAdmit) {
    CONNECTION_T connection{};
    connection.user_groups = StringList("sales,cn=bob", ',');
    connection.profiles = StringList("staff", ',');
    struct Case {
        int enabled;
        const char* groups;
        const char* profiles;
        bool applies;
    } cases[] = {
        {1, "", "", true},
        {0, "", "", false},
        {1, "sales", "", true},
        {1, "it", "", false},
        {1, "!sales", "", false},
        {1, "!it", "", true},
        {1, "", "staff", true},
        {1, "", "guests", false},
        {1, "", "!staff", false},
        {1, "sales", "!guests", true},
        {1, "Sales", "", false}, // names compare exactly
    };
    for (const Case& c : cases) {
        RuleScope scope;
        scope.enabled = c.enabled;
        scope.groups = StringList(c.groups, ',');
        scope.profiles = StringList(c.profiles, ',');
        EXPECT_EQ(scope.applies(&connection), c.applies)
            << c.enabled << " '" << c.groups << "' '" << c.profiles << "'";
    }
    RuleScope default_rule;
    EXPECT_TRUE(default_rule.applies(&connection));
}

TEST(RuleSectionTakesPart, SwitchedOnAndNotBypassed) {
    CONNECTION_T connection{};
    EXPECT_TRUE(rule_section_takes_part(1, &connection, BYPASS_URL_FILTER));
    EXPECT_FALSE(rule_section_takes_part(0, &connection, BYPASS_URL_FILTER));
    connection.bypass = BYPASS_MIME_FILTER;
    EXPECT_TRUE(rule_section_takes_part(1, &connection, BYPASS_URL_FILTER));
    connection.bypass |= BYPASS_URL_FILTER;
    EXPECT_FALSE(rule_section_takes_part(1, &connection, BYPASS_URL_FILTER));
}

TEST(BlockPage, RuleThenSectionThenBuiltIn) {
    EXPECT_EQ(block_page_choose("rulepage", "sectionpage", "blocked"), "rulepage");
    EXPECT_EQ(block_page_choose("", "sectionpage", "blocked"), "sectionpage");
    EXPECT_EQ(block_page_choose("", "", "blacklisted"), "blacklisted");
}

} // namespace
