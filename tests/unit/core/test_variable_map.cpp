// The connection's template variables: a recycled map must read exactly like
// a fresh one - no value of an earlier request survives, every new value is
// whole - whatever the sizes of the recycled names and values.
#include "core/variable_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace {

TEST(VariableMap, RecycledNodesHoldOnlyTheNewRequestsValues) {
    VariableMap variables;
    variables.Set("CLIENT[user-agent]", std::string(300, 'a'));
    variables.Set("IP", "10.0.0.1");
    variables.Set("IP", "10.0.0.2"); // an existing name is overwritten in place
    variables["FILTER"] = "set through the map";
    EXPECT_EQ(variables.size(), 3u);
    EXPECT_EQ(variables["IP"], "10.0.0.2");

    variables.Recycle();
    EXPECT_TRUE(variables.empty());
    EXPECT_EQ(variables.find("IP"), variables.end());

    // Longer and shorter than what the kept nodes held before.
    variables.Set("SERVER[content-type-of-a-rather-long-header-name]", "x");
    variables.Set("P", std::string(500, 'b'));
    variables.Set("IP", "");
    variables.Set("HTTP_PORT", "8080");
    ASSERT_EQ(variables.size(), 4u);
    EXPECT_EQ(variables["SERVER[content-type-of-a-rather-long-header-name]"], "x");
    EXPECT_EQ(variables["P"], std::string(500, 'b'));
    EXPECT_EQ(variables["IP"], "");
    EXPECT_EQ(variables["HTTP_PORT"], "8080");
    EXPECT_EQ(variables.count("FILTER"), 0u);
    EXPECT_EQ(variables.count("CLIENT[user-agent]"), 0u);
    // The map stays ordered for the pages that list it.
    std::string previous;
    for (const auto& entry : variables) {
        EXPECT_LT(previous, entry.first);
        previous = entry.first;
    }
}

TEST(VariableMap, KeepsAtMostTheSpareLimitAndReleasesOnDemand) {
    VariableMap variables;
    const size_t many = VariableMap::SPARE_LIMIT + 40;
    for (int round = 0; round < 3; round++) {
        for (size_t i = 0; i < many; i++)
            variables.Set("V" + std::to_string(i), std::to_string(i + round));
        ASSERT_EQ(variables.size(), many);
        EXPECT_EQ(variables["V7"], std::to_string(7 + round));
        variables.Recycle();
        EXPECT_TRUE(variables.empty());
    }
    variables.ReleaseSpare();
    variables.Set("after", "release");
    EXPECT_EQ(variables["after"], "release");
}

// Whatever mix of calls, the map reads exactly like a std::map given the
// same calls, recycled or not.
TEST(VariableMap, ReadsLikeAStdMapThroughAnyMixOfCalls) {
    std::mt19937 random(7);
    VariableMap variables;
    for (int request = 0; request < 40; request++) {
        std::map<std::string, std::string> expected;
        int calls = static_cast<int>(random() % 60);
        for (int call = 0; call < calls; call++) {
            // Few names, so that calls meet names already there; some long.
            std::string name = "N" + std::to_string(random() % 24);
            if (random() % 4 == 0)
                name += std::string(20, 'x');
            std::string value(random() % 40, static_cast<char>('a' + random() % 26));
            switch (random() % 6) {
            case 0:
            case 1:
                variables.Set(name, value);
                expected[name] = value;
                break;
            case 2:
                variables[name] = value;
                expected[name] = value;
                break;
            case 3:
                EXPECT_EQ(variables.emplace(name, value).second,
                          expected.emplace(name, value).second);
                break;
            case 4:
                variables.emplace_hint(variables.end(), name, value);
                expected.emplace_hint(expected.end(), name, value);
                break;
            default:
                EXPECT_EQ(variables.erase(name), expected.erase(name));
                break;
            }
        }
        ASSERT_EQ(variables.size(), expected.size()) << "request " << request;
        auto want = expected.begin();
        for (const auto& entry : variables) {
            ASSERT_NE(want, expected.end());
            EXPECT_EQ(entry.first, want->first);
            EXPECT_EQ(entry.second, want->second);
            ++want;
        }
        for (const auto& entry : expected) {
            auto found = variables.find(entry.first);
            ASSERT_NE(found, variables.end());
            EXPECT_EQ(found->second, entry.second);
        }
        EXPECT_EQ(variables.count("absent"), 0u);
        if (request % 3 == 2)
            variables.ReleaseSpare();
        variables.Recycle();
    }
}

TEST(VariableMap, ValuesStayPutWhileNamesComeAndGo) {
    VariableMap variables = {{"B", "first"}, {"A", "kept"}, {"B", "second"}};
    EXPECT_EQ(variables["B"], "first"); // a list keeps the first of equal names
    std::string& kept = variables["A"];
    for (int i = 0; i < 500; i++)
        variables.Set("V" + std::to_string(i), std::to_string(i));
    for (int i = 0; i < 500; i += 2)
        variables.erase("V" + std::to_string(i));
    for (int i = 0; i < 100; i++)
        variables.Set("W" + std::to_string(i), "reuses an erased slot");
    EXPECT_EQ(kept, "kept");
    kept = "changed through the reference";
    EXPECT_EQ(variables.find("A")->second, "changed through the reference");
    EXPECT_EQ(variables.size(), 2u + 250u + 100u);
}

} // namespace
