// The connection's template variables: a recycled map must read exactly like
// a fresh one - no value of an earlier request survives, every new value is
// whole - whatever the sizes of the recycled names and values.
#include "net/variable_map.h"

#include <gtest/gtest.h>

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

} // namespace
