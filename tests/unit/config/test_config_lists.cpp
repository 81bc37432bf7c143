// Configuration value lists: StringList splitting, Couple, choice lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_lists.h"
#include "support/log_test_support.h"

namespace {

std::vector<std::string> items(const StringList& list) {
    return std::vector<std::string>(list.begin(), list.end());
}

struct SplitCase {
    const char* text;
    std::vector<std::string> expected;
};

} // namespace

TEST(StringList, SplitsKeepingInnerAndLeadingEmptyPiecesAndBlanks) {
    const SplitCase cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a,b", {"a", "b"}},
        {"a, b", {"a", " b"}},
        {"a,,b", {"a", "", "b"}},
        {",a", {"", "a"}},
        {"a,", {"a"}},
        {",", {""}},
        {"a,b,", {"a", "b"}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(items(StringList(c.text, ',')), c.expected);
    }
    StringList appended("x", ',');
    appended.parse("y,z", ',');
    EXPECT_EQ(items(appended), (std::vector<std::string>{"x", "y", "z"}));
}

TEST(StringList, HasComparesExactlyAndNeverFindsTheEmptyText) {
    StringList list("a, b,,C", ',');
    EXPECT_EQ(list.has("a"), 1);
    EXPECT_EQ(list.has(" b"), 1);
    EXPECT_EQ(list.has("b"), 0);
    EXPECT_EQ(list.has("c"), 0);
    EXPECT_EQ(list.has(""), 0); // even though the list holds an empty item
    EXPECT_EQ(StringList().has("a"), 0);
}

TEST(Couple, NeedsExactlyTwoItems) {
    Couple pair("1,2");
    EXPECT_EQ(pair.first(), "1");
    EXPECT_EQ(pair.second(), "2");
    Couple leading(",5");
    EXPECT_EQ(leading.first(), "");
    EXPECT_EQ(leading.second(), "5");
    for (const char* bad : {"1", "1,2,3", "", "1,"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(Couple{bad}, ConfigError);
    }
}

TEST(StringSelectVector, FindsChoicesIgnoringCaseAndResets) {
    StringSelectVector choices;
    EXPECT_THROW(choices.case_indexof("a"), ConfigError);
    choices.emplace_back("red", "Red", "", true);
    choices.emplace_back("Green", "Green", "", true);
    EXPECT_EQ(choices.case_indexof("RED"), 0);
    EXPECT_EQ(choices.case_indexof("green"), 1);
    EXPECT_THROW(choices.case_indexof("blue"), ConfigError);
    choices.reset();
    EXPECT_FALSE(choices[0].selected);
    EXPECT_FALSE(choices[1].selected);
}

class StringListLog : public logtest::LogDirTest {};

TEST_F(StringListLog, ShowPLogsTheProfileLine) {
    EXPECT_EQ(StringList().show_p("added", "guest"), 1);
    std::vector<std::string> lines = logtest::file_lines(log_path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(logtest::after_stamp(lines[0]), " [0] profiles: added Profile: guest");
}
